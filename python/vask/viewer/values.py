"""Stored values as the JSON the viewer page shows.

Every value the page gets goes through :func:`to_json`, the one place that
knows how stored values look.  Plain JSON values stay themselves; the others
become small tagged objects ``{"t": kind, ...}`` that the page draws:

=========  ===========================================================
``repr``   an object stored as its repr text (``{"t": "repr", "v": "<Foo ...>"}``)
``dict``   a map, its entries in order (``"v": [[key, value], ...]``)
``list``   an array (``"v": [...]``); ``tuple``, ``set`` and ``frozenset`` alike
``bytes``  binary, as Python shows it (``"v": "b'...'"``)
``num``    a number JSON cannot hold exactly (big ints, nan, inf) as text
``ext``    a MessagePack extension the viewer does not know (``"code"``, ``"v"``)
``assign`` an assignment (:class:`vask.values.Assignment`): ``"name"`` and ``"v"``
=========  ===========================================================
"""

from __future__ import annotations

import math
from typing import Any

import msgpack

from vask.document import decode_record
from vask.values import Assignment, ObjectRepr, StoredObject, StoredSet

__all__ = ["ASSIGNMENT_EXT", "to_json"]

#: The MessagePack extension type of an assignment record's value: [name, value].
ASSIGNMENT_EXT = 6

_MAX_DEPTH = 24


def _ext(code: int, data: bytes, depth: int) -> Any:
    try:
        inner = decode_record(data)
    except Exception:  # noqa: BLE001 - not MessagePack inside: show the bytes
        return {"t": "ext", "code": code, "v": {"t": "bytes", "v": repr(bytes(data[:200]))}}
    if code == ASSIGNMENT_EXT and isinstance(inner, (list, tuple)) and len(inner) == 2:
        return {"t": "assign", "name": str(inner[0]), "v": to_json(inner[1], depth + 1)}
    return {"t": "ext", "code": code, "v": to_json(inner, depth + 1)}


def to_json(value: Any, depth: int = 0) -> Any:
    """``value``, as decoded from a stored document, in the page's JSON form."""
    if depth > _MAX_DEPTH:
        return {"t": "repr", "v": "<nested too deep>"}
    if value is None or isinstance(value, bool):
        return value
    if isinstance(value, int):
        return value if abs(value) < 1 << 53 else {"t": "num", "v": str(value)}
    if isinstance(value, float):
        return value if math.isfinite(value) else {"t": "num", "v": repr(value)}
    if isinstance(value, str):
        return value
    if isinstance(value, ObjectRepr):
        return {"t": "repr", "v": value.text}
    if isinstance(value, StoredObject):
        return {
            "t": "object",
            "type": value.type_name,
            "name": value.short_name,
            "addr": f"{value.address:#x}",
            "v": [[str(k), to_json(v, depth + 1)] for k, v in value.fields.items()],
        }
    if isinstance(value, Assignment):
        return {"t": "assign", "name": value.name, "v": to_json(value.value, depth + 1)}
    if isinstance(value, msgpack.ExtType):  # a namedtuple: before the tuples
        return _ext(value.code, value.data, depth)
    if isinstance(value, tuple):
        return {"t": "tuple", "v": [to_json(v, depth + 1) for v in value]}
    if isinstance(value, StoredSet):
        kind = "frozenset" if value.frozen else "set"
        return {"t": kind, "v": [to_json(v, depth + 1) for v in value.items]}
    if isinstance(value, dict):
        return {"t": "dict", "v": [[str(k), to_json(v, depth + 1)] for k, v in value.items()]}
    if isinstance(value, list):
        return {"t": "list", "v": [to_json(v, depth + 1) for v in value]}
    if isinstance(value, (bytes, bytearray, memoryview)):
        return {"t": "bytes", "v": repr(bytes(value))}
    return {"t": "repr", "v": str(value)}
