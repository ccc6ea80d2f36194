"""What the value dumpers store, and the classes the reading side decodes it into.

The dumpers (:mod:`vask.serialize`) write plain values as MessagePack values
(``None``, booleans, numbers, ``str``, ``bytes``, lists as arrays, dicts as
maps with text keys) and mark what MessagePack cannot say with extension
types:

======================  ====  ==================================  =====================
constant                code  payload                             decoded as
======================  ====  ==================================  =====================
:data:`EXT_REPR`        1     UTF-8 text                          :class:`ObjectRepr`
:data:`EXT_TUPLE`       2     one MessagePack array of the items  ``tuple``
:data:`EXT_SET`         3     one MessagePack array of the items  :class:`StoredSet`
:data:`EXT_FROZENSET`   4     one MessagePack array of the items  :class:`StoredSet`
:data:`EXT_ASSIGNMENT`  6     an array: the name, the value       :class:`Assignment`
:data:`EXT_OBJECT`      7     an array: the qualified type name,  :class:`StoredObject`
                              the address, a map of the fields
======================  ====  ==================================  =====================

An :class:`StoredObject` is an object written by its state rather than by its
``repr``: ``["mypkg.shop.Order", 140234, {"order_id": "A-1", "lines": [...]}]``.
Its fields are stored values like any other (an object inside is another
:class:`StoredObject`); a field that leads back to an object being written
is the repr ``<cycle: TypeName>``, fields past the item limit or the byte cap
end with the entry ``"<...>": <N more items>``.  It is shown as
``Order(order_id='A-1', lines=[...])``, or, with no fields, as
``<mypkg.shop.Order object at 0x...>``.  A payload that is not such an array
is left as :class:`msgpack.ExtType`.

An :class:`ObjectRepr` is text that stands for a value which is not stored as
itself: the ``repr`` of an object, an int too large for MessagePack, or a
marker of the dumper (``<redacted>``, ``<cycle: list>``, ``<3 more items>``).
It is shown as it stands, where a ``str`` is shown quoted.

Extension type 6 is not written by the dumpers: it is the ``assign`` entry of
the monitoring engine's assignment record (a frame record of event "line"),
``[variable name, value]`` with the value as the dumpers wrote it (and redacted
as the frame's locals would be).  It decodes as :class:`Assignment`; one whose
payload is not such a pair, and any other type, is left as
:class:`msgpack.ExtType` (a negative type, reserved by MessagePack itself, as
an :class:`ObjectRepr` that names it).

Documents stored by vask before 0.2 hold reprs as plain strings and tuples and
sets as lists; :func:`upgrade_legacy_value` turns their repr-like strings into
:class:`ObjectRepr` (a guess: a string that looks like a repr is taken for
one).

Everything that reads stored values decodes them with :func:`ext_hook` (or
:func:`unpack_value`), so that every view renders them alike.
"""

from __future__ import annotations

import re
from dataclasses import dataclass
from typing import Any

import msgpack

__all__ = [
    "EXT_ASSIGNMENT",
    "EXT_FROZENSET",
    "EXT_OBJECT",
    "EXT_REPR",
    "EXT_SET",
    "EXT_TUPLE",
    "Assignment",
    "ObjectRepr",
    "StoredObject",
    "StoredSet",
    "ext_hook",
    "unpack_value",
    "upgrade_legacy_value",
]

EXT_REPR = 1
EXT_TUPLE = 2
EXT_SET = 3
EXT_FROZENSET = 4
EXT_ASSIGNMENT = 6
EXT_OBJECT = 7


@dataclass(frozen=True)
class ObjectRepr:
    """Text standing for a value not stored as itself (a repr, a marker); shown unquoted."""

    text: str

    def __str__(self) -> str:
        return self.text


@dataclass(frozen=True)
class StoredSet:
    """A set or frozenset as stored: its items (at most the dumpers' item limit), in order."""

    items: tuple[Any, ...]
    frozen: bool = False

    def __hash__(self) -> int:
        return hash((self.frozen, len(self.items)))  # the items may be lists read back


@dataclass(frozen=True)
class StoredObject:
    """An object as stored by its state: its type, address and own attributes."""

    type_name: str  # "module.QualName"
    address: int
    fields: dict[str, Any]

    def __hash__(self) -> int:
        # Stored values can be map keys (a damaged document makes anything
        # one): hashed by what equal objects share, whatever the fields hold.
        return hash((self.type_name, self.address))

    @property
    def short_name(self) -> str:
        """The type's own name, the last part of the qualified name."""
        return self.type_name.rsplit(".", 1)[-1]


@dataclass(frozen=True)
class Assignment:
    """An assignment to a variable, as an assignment record stores it."""

    name: str
    value: Any

    def __hash__(self) -> int:
        return hash(self.name)  # the value may be a list or a dict


def _keyed(pairs: list[tuple[Any, Any]]) -> dict[Any, Any]:
    """A map whose keys cannot all be dict keys (a map as a key), with those keys marked."""
    out: dict[Any, Any] = {}
    for key, value in pairs:
        try:
            hash(key)
        except TypeError:
            key = ObjectRepr(f"<unreadable map key: {type(key).__name__}>")
        out[key] = value
    return out


def unpack_stored(data: bytes) -> Any:
    """One MessagePack object of a stored document, decoded the way every reader sees it.

    Only a damaged document holds a map used as a map key; such a key is
    read as a marker instead of failing the whole object.
    """
    try:
        return msgpack.unpackb(
            data, raw=False, strict_map_key=False, unicode_errors="replace", ext_hook=ext_hook
        )
    except TypeError:
        return msgpack.unpackb(
            data,
            raw=False,
            strict_map_key=False,
            unicode_errors="replace",
            ext_hook=ext_hook,
            object_pairs_hook=_keyed,
        )


def _unpack_items(data: bytes) -> list[Any]:
    items = unpack_stored(data)
    return items if isinstance(items, list) else [items]


def ext_hook(code: int, data: bytes) -> Any:
    """The ``ext_hook`` of :func:`msgpack.unpackb` for stored values."""
    if code == EXT_REPR:
        return ObjectRepr(data.decode("utf-8", "replace"))
    if code in (EXT_TUPLE, EXT_SET, EXT_FROZENSET):
        try:
            items = tuple(_unpack_items(data))
        except Exception:  # noqa: BLE001 - a damaged payload spoils this value, not its record
            return ObjectRepr(f"<unreadable stored value: extension type {code}, {len(data)} bytes>")
        return items if code == EXT_TUPLE else StoredSet(items, frozen=code == EXT_FROZENSET)
    if code == EXT_ASSIGNMENT:
        try:
            pair = _unpack_items(data)
        except Exception:  # noqa: BLE001 - not MessagePack inside: left as it is
            pair = None
        if pair is not None and len(pair) == 2 and isinstance(pair[0], str):
            return Assignment(pair[0], pair[1])
    if code == EXT_OBJECT:
        try:
            parts = _unpack_items(data)
        except Exception:  # noqa: BLE001 - not MessagePack inside: left as it is
            parts = None
        if (
            parts is not None
            and len(parts) == 3
            and isinstance(parts[0], str)
            and isinstance(parts[1], int)
            and isinstance(parts[2], dict)
        ):
            return StoredObject(parts[0], parts[1], parts[2])
    if not 0 <= code <= 127:  # MessagePack's own types, which ExtType cannot hold
        return ObjectRepr(f"<MessagePack extension type {code}, {len(data)} bytes>")
    return msgpack.ExtType(code, data)


def unpack_value(data: bytes) -> Any:
    """One value written by a dumper, decoded."""
    return unpack_stored(data)


# What the text view of vask before 0.2 took for a repr: ``<...>`` or ``Name(...)``.
_REPR_LIKE = re.compile(r"^(<.*>|[A-Za-z_][\w.]*\(.*\))$", re.DOTALL)


def upgrade_legacy_value(value: Any, *, all_reprs: bool = False) -> Any:
    """A value of a document stored before 0.2, with its reprs as :class:`ObjectRepr`.

    Those documents stored reprs as plain strings: a string that looks like a
    repr is taken for one (with ``all_reprs``, every string is: the
    lightweight form stored nothing but reprs).  Map keys stay text.
    """
    if isinstance(value, str):
        return ObjectRepr(value) if all_reprs or _REPR_LIKE.match(value) else value
    if isinstance(value, list):
        return [upgrade_legacy_value(v, all_reprs=all_reprs) for v in value]
    if isinstance(value, dict):
        return {k: upgrade_legacy_value(v, all_reprs=all_reprs) for k, v in value.items()}
    return value
