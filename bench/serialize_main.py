"""The Python value dumpers of vask before they were native (kept for bench_dumpers.py).

A copy of vask.serialize as it was, unchanged below this paragraph; the
package no longer uses it.

The tracing engines call the two dumpers of this module twice for every
recorded event (once for the argument, once for the frame's locals) and splice
the returned bytes into their frame records unchanged.  Both dumpers therefore
promise, for *any* Python value:

* the result is ``bytes`` holding exactly one MessagePack object;
* they never raise (the one exception is ``KeyboardInterrupt``, which is let
  through so that Ctrl-C still stops a traced program whose ``__repr__`` hangs);
* the result is bounded in size, whatever the value.

Encoding rules of :func:`dump_msgpack`:

* ``None``, ``bool``, ``float`` (``inf`` and ``nan`` included) and ``int``
  within the MessagePack range (-2**63 .. 2**64-1) are written as themselves;
  larger ints become their decimal text (or ``"<int of N bits>"`` when even
  that would be huge).
* ``str`` is written as text, ``bytes``/``bytearray``/``memoryview`` as binary.
  Anything longer than :data:`MAX_STRING_CHARS` characters or
  :data:`MAX_BYTES` bytes is cut and ends with a visible marker such as
  ``"...<9000 more chars>"``.
* ``list``, ``tuple``, ``set`` and ``frozenset`` become arrays, ``dict`` becomes
  a map.  Only the first :data:`MAX_ITEMS` items are written; a cut array ends
  with the text ``"<N more items>"``, a cut map with the entry
  ``TRUNCATED_KEY: "<N more items>"``.
* Map keys are always text, so that every MessagePack reader (Python's
  ``msgpack.unpackb`` refuses non-text keys by default) can read the result.
  A key that is not a ``str`` is written as its ``repr`` (the int key ``1``
  becomes ``"1"``); when two keys of a map end up as the same text, the later
  one gets its type name appended (``"1 <int>"``).
* Containers nested deeper than :data:`MAX_DEPTH` become
  ``"<list nested too deep>"``; a container that contains itself becomes
  ``"<cycle: list>"`` where it recurs.
* Subclasses of the built-in types are read through the built-in type's own
  methods (``dict.items``, ``list.__getitem__``, ``str.__getitem__`` ...), so
  overridden ``__iter__``, ``__len__``, ``items`` or ``__getitem__`` are never
  called.  Enum members (``IntEnum``, ``StrEnum`` ...) are written as their
  ``repr``, which names the member.
* Every other value is written as its ``repr``, cut like any text.  A ``repr``
  that raises becomes ``"<unrepresentable TypeName>"``.  Apart from ``repr``,
  no user code runs: no ``__eq__``, ``__hash__``, ``__len__``, ``__iter__`` or
  ``__getattr__`` of the value is called.
* One call writes at most about :data:`MAX_OUTPUT_UNITS` characters of text
  and values; past that, remaining values are replaced by
  :data:`OUTPUT_LIMIT_MARKER`.  With UTF-8 this bounds the result to roughly
  four times that many bytes.

:func:`dump_msgpack_lightweight_repr` writes short reprs only: a ``dict``
(the usual argument: a frame's locals) becomes a map of key text to the value's
repr cut to :data:`LIGHTWEIGHT_REPR_CHARS` characters; any other value becomes
such a short repr text itself.  Containers of more than that many items are
written as ``"<list of N items>"``.

Secrets.  Both dumpers replace the value of a map entry whose name looks like
a secret (a frame's local variable ``db_password``, the key ``"Authorization"``
of a headers dict, at any depth) by :data:`REDACTED`.  A name looks like a
secret when, lowercased and with every ``-`` and ``_`` removed, it contains one
of the configured fragments, normalised the same way: with the default
fragments (:data:`DEFAULT_REDACT_NAMES`) ``password``, ``DB_PASSWORD``,
``X-Api-Key``, ``apiKey``, ``csrftoken``, ``sessionid`` and ``Set-Cookie`` are
all redacted.  ``None`` and ``True``/``False`` are kept: they hold no secret and
tell whether one was given.  A redacted container is replaced whole.  The
fragments are process-wide (:func:`configure_redaction`); a profiler sets them
from its configuration key ``redact`` when it starts (:func:`redaction_from_config`).
In the short reprs of the lightweight form, a secret entry of a dict inside
the value (also inside lists and tuples, and subclasses of the three) is shown
as ``'Authorization': <redacted>``; only the entries that can show within the
cut are inspected, and a container nested deeper than :data:`MAX_DEPTH` that
could hold one is shown as ``<dict nested too deep>``.  Only text keys are
names there.  Values without a name (a function's return value) and the reprs
of other objects are not inspected.

Every map entry goes through ``_Walker.entry`` (name and value), where the
redaction happens; the fast paths below redact the top-level entries they
handle the same way and leave nested secrets to the walker, and the short
reprs to ``_scan_entries`` and ``_ShortEntries``.
"""

from __future__ import annotations

import enum
import threading
from collections import OrderedDict
from collections.abc import Iterable
from itertools import islice
from typing import Any

import msgpack

__all__ = [
    "DEFAULT_REDACT_NAMES",
    "LIGHTWEIGHT_REPR_CHARS",
    "MAX_BYTES",
    "MAX_DEPTH",
    "MAX_ITEMS",
    "MAX_OUTPUT_UNITS",
    "MAX_STRING_CHARS",
    "OUTPUT_LIMIT_MARKER",
    "REDACTED",
    "TRUNCATED_KEY",
    "configure_redaction",
    "dump_msgpack",
    "dump_msgpack_lightweight_repr",
    "is_secret_name",
    "redaction_from_config",
]

#: Longest text written, in characters; longer texts (and reprs) are cut.
MAX_STRING_CHARS = 1000
#: Longest binary written, in bytes; longer ``bytes`` are cut.
MAX_BYTES = 1000
#: Most items written per list, tuple, set or dict.
MAX_ITEMS = 100
#: Deepest nesting of containers written; the outermost container is level 1.
MAX_DEPTH = 8
#: Length of each repr written by the lightweight dumper.
LIGHTWEIGHT_REPR_CHARS = 100
#: Budget of one dump: each value costs one unit plus its length as text or binary.
MAX_OUTPUT_UNITS = 256 * 1024
#: Ints with more bits than this are not converted to decimal text (quadratic cost).
MAX_INT_REPR_BITS = 10_000

#: Key of the extra entry that marks a map cut at :data:`MAX_ITEMS` entries.
TRUNCATED_KEY = "<...>"
#: Written in place of values once :data:`MAX_OUTPUT_UNITS` is used up.
OUTPUT_LIMIT_MARKER = "<output limit reached>"
#: Written in place of the value of an entry whose name looks like a secret.
REDACTED = "<redacted>"
#: Name fragments redacted unless the configuration key ``redact`` says otherwise.
DEFAULT_REDACT_NAMES: tuple[str, ...] = (
    "password",
    "passwd",
    "secret",
    "token",
    "api_key",
    "authorization",
    "cookie",
    "session",
)
#: Entries of the per-name verdict cache before it is emptied (dict keys of
#: traced data can be unbounded: ids, words ...).
_REDACT_CACHE_SIZE = 4096

_MIN_INT = -(2**63)
_MAX_INT = 2**64 - 1
_NONE_TYPE = type(None)

# The getter behind ``type.__name__``: reads the C-level name directly, so a
# metaclass cannot run code here.
_type_name_of = type.__dict__["__name__"].__get__

# Types whose subclasses need the careful path (they have a natural form, read
# through the base type's own methods).
_NATIVE_BASES = (
    str,
    bytes,
    bytearray,
    memoryview,
    int,
    float,
    list,
    tuple,
    dict,
    set,
    frozenset,
)

# Last resort if even the walker fails (MemoryError, a RecursionError because
# the traced program is already at the recursion limit, ...).
_FALLBACK = msgpack.packb("<unserializable value>")


def _type_name(tp: type) -> str:
    try:
        return _type_name_of(tp)
    except Exception:  # noqa: BLE001 - a name is only decoration
        return "?"


def _cut_text(s: str, limit: int, total: int = -1) -> str:
    """``s`` (an exact str) cut to ``limit`` characters with a visible marker.

    ``total`` is the length of the whole text when ``s`` is only its head.
    """
    n = len(s) if total < 0 else total
    if n <= limit:
        return s
    return f"{s[:limit]}...<{n - limit} more chars>"


def _safe_repr(value: Any) -> str:
    """``repr(value)`` as an exact str, or a placeholder if it raises."""
    try:
        r = repr(value)
    except KeyboardInterrupt:
        raise
    except BaseException:  # noqa: BLE001 - any failure of user code becomes the placeholder
        return f"<unrepresentable {_type_name(type(value))}>"
    if type(r) is not str:
        # repr() guarantees a str instance; a subclass is copied to a plain str
        # without calling any of its methods.
        r = str.__str__(r)
    return r


def _int_text(value: int) -> str:
    bits = value.bit_length()
    if bits > MAX_INT_REPR_BITS:
        return f"<int of {bits} bits>"
    try:
        return int.__repr__(value)
    except ValueError:  # the interpreter's int-to-text digit limit
        return f"<int of {bits} bits>"


# -- redaction ---------------------------------------------------------------
#
# The verdict for a name is cached: frames of one function have the same
# local names call after call, so the common case costs one set lookup per
# entry (``name in _plain_names``).  The globals are replaced, never changed
# in place, by configure_redaction; the caches are only added to or cleared.

_redact_fragments: tuple[str, ...] = ()
#: Names seen so far that are not secrets.
_plain_names: set[str] = set()
#: Names seen so far that are secrets.
_secret_names: set[str] = set()


def _fold(name: str) -> str:
    return name.lower().replace("-", "").replace("_", "")


def configure_redaction(names: Iterable[str] | None) -> None:
    """Set the name fragments whose entries the dumpers redact, process-wide.

    ``None`` or an empty list turns redaction off.  Each fragment is matched
    as described in the module documentation (case, ``-`` and ``_`` ignored).
    """
    global _redact_fragments, _plain_names, _secret_names
    fragments: list[str] = []
    for name in names or ():
        if not isinstance(name, str):
            raise TypeError(f"redaction names must be str, not {type(name).__name__}: {name!r}")
        folded = _fold(name)
        if not folded:
            raise ValueError(f"redaction name {name!r} is empty once '-' and '_' are removed")
        if folded not in fragments:
            fragments.append(folded)
    # Fragments first: a verdict taken meanwhile lands in the old caches.
    _redact_fragments = tuple(fragments)
    _plain_names = set()
    _secret_names = set()


def redaction_from_config(value: Any) -> list[str] | None:
    """The redaction fragments that the configuration value ``redact`` asks for.

    ``True`` (and an absent key, which callers pass as ``True``) gives
    :data:`DEFAULT_REDACT_NAMES`; ``False`` or ``None`` turns redaction off;
    a list of str, or one str of comma-separated fragments, replaces the
    defaults.  Anything else raises ``TypeError`` or ``ValueError``.
    """
    if value is True:
        return list(DEFAULT_REDACT_NAMES)
    if value is False or value is None:
        return None
    if isinstance(value, str):
        names = [part.strip() for part in value.split(",") if part.strip()]
    elif isinstance(value, (list, tuple)):
        names = list(value)
        for name in names:
            if not isinstance(name, str):
                raise TypeError(
                    f"config 'redact' must hold only str, found {type(name).__name__}: {name!r}"
                )
    else:
        raise TypeError(
            "config 'redact' must be true, false, a list of name fragments or a "
            f"comma-separated str, not {type(value).__name__}"
        )
    for name in names:
        if not _fold(name):
            raise ValueError(f"config 'redact': {name!r} is empty once '-' and '_' are removed")
    return names


def is_secret_name(name: str) -> bool:
    """Whether the dumpers redact the value of an entry called ``name``."""
    if name in _plain_names:
        return False
    if name in _secret_names:
        return True
    folded = _fold(name)
    secret = any(fragment in folded for fragment in _redact_fragments)
    known = _secret_names if secret else _plain_names
    if len(known) >= _REDACT_CACHE_SIZE:
        known.clear()
    known.add(name)
    return secret


def _redacts(name: str, value: Any) -> bool:
    """Whether the entry ``name: value`` is written as :data:`REDACTED`."""
    return (
        bool(_redact_fragments)
        and value is not None
        and type(value) is not bool
        and is_secret_name(name)
    )


configure_redaction(DEFAULT_REDACT_NAMES)


def _sanitize(s: str) -> str:
    """Replace lone surrogates, which UTF-8 cannot encode, by their escapes."""
    return s.encode("utf-8", "backslashreplace").decode("utf-8")


class _Walker:
    """Turns one value into a tree of plain, bounded, MessagePack-ready objects.

    The tree holds only exact ``dict`` (with ``str`` keys), ``list``, ``str``,
    ``bytes``, ``int``, ``float``, ``bool`` and ``None`` and is at most
    ``MAX_DEPTH`` containers deep, so packing it cannot fail (except for lone
    surrogates in texts, which ``sanitize`` takes care of on a second pass).
    """

    __slots__ = ("budget", "path", "sanitize")

    def __init__(self, sanitize: bool = False) -> None:
        self.budget = MAX_OUTPUT_UNITS
        # ids of the containers being walked, to detect cycles.  Only the
        # current path: a list referenced twice side by side is written twice.
        self.path: set[int] = set()
        self.sanitize = sanitize

    # -- leaves ------------------------------------------------------------

    def text(self, s: str, limit: int = MAX_STRING_CHARS, total: int = -1) -> str:
        s = _cut_text(s, limit, total)
        self.budget -= len(s)
        return _sanitize(s) if self.sanitize else s

    def binary(self, data: bytes, total: int) -> bytes:
        if total > MAX_BYTES:
            data = data[:MAX_BYTES] + f"...<{total - MAX_BYTES} more bytes>".encode()
        self.budget -= len(data)
        return data

    def repr_text(self, value: Any) -> str:
        return self.text(_safe_repr(value))

    def integer(self, value: int) -> int | str:
        if _MIN_INT <= value <= _MAX_INT:
            return value
        return self.text(_int_text(value))

    # -- dispatch ----------------------------------------------------------

    def value(self, v: Any, depth: int) -> Any:
        self.budget -= 1
        if self.budget < 0:
            return OUTPUT_LIMIT_MARKER
        tp = type(v)
        if tp is str:
            return self.text(v)
        if tp is int:
            return self.integer(v)
        if tp is float or tp is bool or v is None:
            return v
        if tp is dict:
            return self.mapping(v, dict.items, len(v), tp, depth)
        if tp is list:
            return self.sequence(v, list, tp, depth)
        if tp is tuple:
            return self.sequence(v, tuple, tp, depth)
        if tp is bytes:
            return self.binary(v[: MAX_BYTES + 1], len(v))
        return self.other(v, tp, depth)

    def other(self, v: Any, tp: type, depth: int) -> Any:
        if not issubclass(tp, _NATIVE_BASES) or issubclass(tp, enum.Enum):
            return self.repr_text(v)
        # Subclasses of built-in types, and the rarer built-ins themselves.
        if issubclass(tp, str):
            head = str.__getitem__(v, slice(0, MAX_STRING_CHARS + 1))
            return self.text(head, total=str.__len__(v))
        if issubclass(tp, int):  # bool is final, so never a subclass here
            return self.integer(int.__int__(v))
        if issubclass(tp, float):
            return float.__float__(v)
        if issubclass(tp, dict):
            items = OrderedDict.items if issubclass(tp, OrderedDict) else dict.items
            return self.mapping(v, items, dict.__len__(v), tp, depth)
        if issubclass(tp, list):
            return self.sequence(v, list, tp, depth)
        if issubclass(tp, tuple):
            return self.sequence(v, tuple, tp, depth)
        if issubclass(tp, (set, frozenset)):
            base = set if issubclass(tp, set) else frozenset
            return self.collection(v, base, tp, depth)
        if issubclass(tp, bytes):
            return self.binary(bytes.__getitem__(v, slice(0, MAX_BYTES + 1)), bytes.__len__(v))
        if issubclass(tp, bytearray):
            head = bytes(bytearray.__getitem__(v, slice(0, MAX_BYTES + 1)))
            return self.binary(head, bytearray.__len__(v))
        return self.view(v)

    def view(self, v: memoryview) -> Any:
        try:
            total = v.nbytes
            if total <= MAX_BYTES:
                head = v.tobytes()
            else:
                # Multi-dimensional or non-contiguous views cannot be cast to
                # bytes cheaply; those fall back to the repr below.
                head = v.cast("B")[: MAX_BYTES + 1].tobytes()
        except (ValueError, TypeError):  # released, or not castable
            return self.repr_text(v)
        return self.binary(head, total)

    # -- containers --------------------------------------------------------

    def enter(self, v: Any, tp: type, depth: int) -> str | None:
        """Marker text if ``v`` must not be expanded here, else ``None``."""
        if depth >= MAX_DEPTH:
            return f"<{_type_name(tp)} nested too deep>"
        if id(v) in self.path:
            return f"<cycle: {_type_name(tp)}>"
        return None

    def sequence(self, v: Any, base: type, tp: type, depth: int) -> Any:
        marker = self.enter(v, tp, depth)
        if marker is not None:
            return marker
        # A slice is a snapshot: element reprs that mutate ``v`` cannot disturb us.
        head = base.__getitem__(v, slice(0, MAX_ITEMS))
        return self.array(v, head, base.__len__(v), depth)

    def collection(self, v: Any, base: type, tp: type, depth: int) -> Any:
        marker = self.enter(v, tp, depth)
        if marker is not None:
            return marker
        head = list(islice(base.__iter__(v), MAX_ITEMS))
        return self.array(v, head, base.__len__(v), depth)

    def array(self, v: Any, head: Any, total: int, depth: int) -> list[Any]:
        key = id(v)
        self.path.add(key)
        try:
            out = []
            for item in head:
                if self.budget < 0:
                    out.append(OUTPUT_LIMIT_MARKER)
                    return out
                out.append(self.value(item, depth + 1))
        finally:
            self.path.discard(key)
        if total > len(head):
            out.append(f"<{total - len(head)} more items>")
        return out

    def mapping(self, v: Any, items: Any, total: int, tp: type, depth: int) -> Any:
        marker = self.enter(v, tp, depth)
        if marker is not None:
            return marker
        key = id(v)
        head = list(islice(items(v), MAX_ITEMS))
        self.path.add(key)
        try:
            out: dict[str, Any] = {}
            for k, item in head:
                if self.budget < 0:
                    out[TRUNCATED_KEY] = OUTPUT_LIMIT_MARKER
                    return out
                name = self.key(k, out)
                out[name] = self.entry(name, item, depth)
        finally:
            self.path.discard(key)
        if total > len(head):
            out[TRUNCATED_KEY] = f"<{total - len(head)} more items>"
        return out

    def key(self, k: Any, taken: dict[str, Any]) -> str:
        tp = type(k)
        if tp is str:
            name = self.text(k)
        elif issubclass(tp, str) and not issubclass(tp, enum.Enum):
            head = str.__getitem__(k, slice(0, MAX_STRING_CHARS + 1))
            name = self.text(head, total=str.__len__(k))
        elif tp is int:
            name = self.text(_int_text(k))
        else:
            name = self.repr_text(k)
        if name in taken:
            # Distinct keys with one text (1 and "1"): keep both entries.
            suffix = f" <{_type_name(tp)}>"
            while name in taken:
                name += suffix
        return name

    def entry(self, name: str, value: Any, depth: int) -> Any:
        """The value written for the map entry ``name``.

        The single place where an entry's name and value meet: values of
        names that look like secrets are redacted here.
        """
        if _redacts(name, value):
            self.budget -= 1
            return self.text(REDACTED)
        return self.value(value, depth + 1)

    # -- lightweight form --------------------------------------------------

    def short(self, value: Any) -> str:
        self.budget -= 1
        if self.budget < 0:
            return OUTPUT_LIMIT_MARKER
        # _short_repr is already cut: text() only accounts and sanitizes.
        return self.text(_short_repr(value), LIGHTWEIGHT_REPR_CHARS + 3)

    def short_entry(self, name: str, value: Any) -> str:
        """Lightweight counterpart of :meth:`entry`."""
        if _redacts(name, value):
            self.budget -= 1
            return self.text(REDACTED)
        return self.short(value)

    def short_mapping(self, v: Any, items: Any, total: int) -> dict[str, str]:
        out: dict[str, str] = {}
        for k, item in list(islice(items(v), MAX_ITEMS)):
            name = self.key(k, out)
            out[name] = self.short_entry(name, item)
        if total > len(out):
            out[TRUNCATED_KEY] = f"<{total - len(out)} more items>"
        return out


def _short_repr(value: Any) -> str:
    """The repr of ``value`` cut to ``LIGHTWEIGHT_REPR_CHARS`` characters plus "...".

    Long built-in texts, binaries and containers are cut before their repr is
    built, so a 10 MB string costs no more than a short one.  Dicts, lists
    and tuples that hold a secret entry within the cut are written by
    :class:`_ShortEntries`, with the secret values redacted.
    """
    tp = type(value)
    limit = LIGHTWEIGHT_REPR_CHARS
    if tp is str or tp is bytes or tp is bytearray:
        r = repr(value[:limit]) if len(value) > limit else repr(value)
    elif tp is int:
        r = _int_text(value)
    elif tp is float or tp is bool or value is None:
        return repr(value)  # at most 24 characters
    elif tp is list or tp is tuple or tp is dict or tp is set or tp is frozenset:
        n = len(value)
        if n > limit:
            # The built-in repr would walk every item; each item takes at least
            # one character, so none past the first ``limit`` could show anyway.
            return f"<{_type_name(tp)} of {n} items>"
        if _redact_fragments and not _plain_container(value, tp):
            r = _redacted_repr(value, tp, tp)
        else:
            r = _safe_repr(value)
    elif _redact_fragments and (base := _entries_base(tp)) is not None:
        r = _redacted_repr(value, tp, base)
    else:
        r = _safe_repr(value)
    return r if len(r) <= limit else r[:limit] + "..."


def _plain_container(value: Any, tp: type) -> bool:
    """Whether the exact container ``value`` certainly holds no secret entry (at C speed)."""
    if tp is list or tp is tuple:
        return _LEAF_TYPES.issuperset(map(type, value))
    if tp is dict:
        return (
            _LEAF_TYPES.issuperset(map(type, value.values()))
            and _TEXT_TYPE.issuperset(map(type, value))
            and _plain_names.issuperset(value)  # names known to be no secrets
        )
    return True  # sets hold no dicts


def _redacted_repr(value: Any, tp: type, base: type) -> str:
    """The repr of ``value`` with secret entries redacted, if it shows one, else its repr."""
    if _scan_entries(value, tp, base, 1, LIGHTWEIGHT_REPR_CHARS + 1) < 0:
        return _ShortEntries().text(value, tp, base)
    return _safe_repr(value)


# -- lightweight form: secrets inside containers -----------------------------
#
# The short repr of a container shows its first items only: every item (a
# value, a key, a container's opening bracket) takes at least one character,
# so the items past the first ``LIGHTWEIGHT_REPR_CHARS`` of a pre-order walk
# cannot show.  _scan_entries looks for secret entries among those items,
# reading them through the built-in types' own methods, without user code;
# only when it finds one is the repr written by _ShortEntries instead of the
# built-in repr.

#: Types whose repr shows no entries (a str value is never inspected).
_LEAF_TYPES = frozenset({_NONE_TYPE, bool, int, float, str, bytes})
_TEXT_TYPE = frozenset({str})
_CONTAINER_BASES = (dict, list, tuple)
_RECURSION_MARKERS = {dict: "{...}", list: "[...]", tuple: "(...)"}
_BRACKETS = {dict: ("{", "}"), list: ("[", "]"), tuple: ("(", ")")}


def _entries_base(tp: type) -> type | None:
    """``dict``, ``list`` or ``tuple`` if values of ``tp`` may hold entries, else None."""
    if tp is dict or tp is list or tp is tuple:
        return tp
    if tp in _LEAF_TYPES or not issubclass(tp, _CONTAINER_BASES) or issubclass(tp, enum.Enum):
        return None
    return dict if issubclass(tp, dict) else list if issubclass(tp, list) else tuple


def _dict_items(tp: type) -> Any:
    return OrderedDict.items if issubclass(tp, OrderedDict) else dict.items


def _entry_name(k: Any) -> str | None:
    """The name checked for the entry with key ``k``: only text keys are names."""
    tk = type(k)
    if tk is not str:
        if not issubclass(tk, str) or issubclass(tk, enum.Enum):
            return None
        k = str.__str__(k)
    return k if len(k) <= MAX_STRING_CHARS else _cut_text(k, MAX_STRING_CHARS)


def _scan_entries(x: Any, tp: type, base: type, depth: int, budget: int) -> int:
    """Pre-order walk of the first ``budget`` items of the container ``x``.

    Returns -1 if a secret entry is among them (or a container nested deeper
    than :data:`MAX_DEPTH`, which the walk does not enter), else the budget
    left, 0 once it is used up.
    """
    budget -= 1
    if budget <= 0:
        return 0
    if depth > MAX_DEPTH:
        return -1
    if base is dict:
        for k, y in list(islice(_dict_items(tp)(x), budget)):
            budget -= 1
            if budget <= 0:
                return 0
            name = _entry_name(k)
            if name is not None and _redacts(name, y):
                return -1
            budget = _scan_item(y, depth, budget)
            if budget <= 0:
                return budget
        return budget
    for y in base.__getitem__(x, slice(0, budget)):
        budget = _scan_item(y, depth, budget)
        if budget <= 0:
            return budget
    return budget


def _scan_item(y: Any, depth: int, budget: int) -> int:
    """:func:`_scan_entries` for one item of a container at ``depth``."""
    ty = type(y)
    base = _entries_base(ty)
    if base is None:
        return budget - 1
    if ty is base and len(y) < budget and _plain_container(y, ty):
        return max(budget - 1 - (2 * len(y) if ty is dict else len(y)), 0)
    return _scan_entries(y, ty, base, depth + 1, budget)


class _ShortEntries:
    """Writes the head of a container's repr with the values of secret entries redacted.

    Dicts, lists and tuples are written as the built-in reprs write them
    (a subclass inside ``TypeName(...)``), any other item as its short repr.
    Writing stops once the text is longer than the cut.
    """

    __slots__ = ("parts", "path", "room")

    def __init__(self) -> None:
        self.parts: list[str] = []
        self.path: set[int] = set()
        self.room = LIGHTWEIGHT_REPR_CHARS + 1

    def text(self, x: Any, tp: type, base: type) -> str:
        self.container(x, tp, base, 1)
        return "".join(self.parts)

    def put(self, s: str) -> None:
        self.parts.append(s)
        self.room -= len(s)

    def item(self, y: Any, depth: int) -> None:
        ty = type(y)
        base = _entries_base(ty)
        if base is None:
            self.put(_short_repr(y))
        else:
            self.container(y, ty, base, depth)

    def container(self, x: Any, tp: type, base: type, depth: int) -> None:
        key = id(x)
        if key in self.path:
            self.put(_RECURSION_MARKERS[base])
            return
        if depth > MAX_DEPTH:
            self.put(f"<{_type_name(tp)} nested too deep>")
            return
        if tp is not base:
            self.put(_type_name(tp) + "(")
        opening, closing = _BRACKETS[base]
        self.put(opening)
        self.path.add(key)
        try:
            if base is dict:
                for i, (k, y) in enumerate(list(islice(_dict_items(tp)(x), self.room))):
                    if self.room <= 0:
                        return
                    if i:
                        self.put(", ")
                    self.put(_short_repr(k))
                    self.put(": ")
                    name = _entry_name(k)
                    if name is not None and _redacts(name, y):
                        self.put(REDACTED)
                    else:
                        self.item(y, depth + 1)
            else:
                # A slice is a snapshot: reprs that change ``x`` cannot disturb us.
                for i, y in enumerate(base.__getitem__(x, slice(0, self.room))):
                    if self.room <= 0:
                        return
                    if i:
                        self.put(", ")
                    self.item(y, depth + 1)
                if base is tuple and tuple.__len__(x) == 1:
                    self.put(",")
        finally:
            self.path.discard(key)
        self.put(closing)
        if tp is not base:
            self.put(")")


# -- fast path -------------------------------------------------------------
#
# The common case is a small dict of locals holding scalars, short texts,
# short containers of those, and a few arbitrary objects (``self``).  For it
# the precheck below confirms that ``msgpack`` writes exactly what the walker
# would write (tuples become arrays in both).
#
# No user code may run while packb works: packb writes a container's length
# before its items, so a ``repr`` that appended to a list being packed would
# make it write a corrupt stream.  Hence the reprs of the dict's objects are
# taken first, and what is packed holds exact built-in values only.

_FAST_SCALARS = frozenset({_NONE_TYPE, bool, int, float})
# Containers (and binaries) the fast path measures with _fast_cost.
_FAST_NESTED = frozenset({dict, list, tuple, bytes})
# Nesting checked by the fast path; deeper values (and cycles) take the walker.
_FAST_DEPTH = 4


def _fast_cost(x: Any, depth: int) -> int:
    """Output units of ``x`` if packb writes it as the walker would, else -1.

    Only built-in values qualify, so packing them runs no user code.
    """
    tp = type(x)
    if tp in _FAST_SCALARS:  # out-of-range ints make packb fail: slow path
        return 1
    if tp is str:
        n = len(x)
        return n + 1 if n <= MAX_STRING_CHARS else -1
    if tp is dict:
        if depth >= _FAST_DEPTH or len(x) > MAX_ITEMS:
            return -1
        total = 1
        for k, y in x.items():
            if type(k) is not str or len(k) > MAX_STRING_CHARS:
                return -1
            if _redact_fragments and k not in _plain_names and is_secret_name(k):
                return -1  # the walker redacts nested entries
            c = _fast_cost(y, depth + 1)
            if c < 0:
                return -1
            total += c + len(k)
            if total > MAX_OUTPUT_UNITS:
                return -1
        return total
    if tp is list or tp is tuple:
        if depth >= _FAST_DEPTH or len(x) > MAX_ITEMS:
            return -1
        total = 1
        for y in x:
            c = _fast_cost(y, depth + 1)
            if c < 0:
                return -1
            total += c
            if total > MAX_OUTPUT_UNITS:
                return -1
        return total
    if tp is bytes:
        n = len(x)
        return n + 1 if n <= MAX_BYTES else -1
    return -1


def _fast_tree(value: Any) -> Any:
    """``value`` ready for packb as the walker would write it, or None for the walker."""
    if type(value) is not dict:
        return value if 0 <= _fast_cost(value, 0) <= MAX_OUTPUT_UNITS else None
    if len(value) > MAX_ITEMS:
        return None
    # A first pass runs no user code: it sorts the entries, sums what scalars
    # and texts cost and defers containers, whose cost is taken once, at the end.
    total = 1
    objects = False
    nested = None
    redacting = bool(_redact_fragments)
    plain_names = _plain_names
    for k, x in value.items():
        if type(k) is not str or len(k) > MAX_STRING_CHARS:
            return None
        tx = type(x)
        # The common verdict inlined: a name already known to be no secret.
        if (
            redacting
            and k not in plain_names
            and tx is not bool
            and x is not None
            and is_secret_name(k)
        ):
            objects = True  # written by the second pass
        elif tx in _FAST_SCALARS:
            total += len(k) + 1
        elif tx is str:
            n = len(x)
            if n > MAX_STRING_CHARS:
                return None
            total += len(k) + n + 1
        elif tx in _FAST_NESTED:
            total += len(k)
            if nested is None:
                nested = [x]
            else:
                nested.append(x)
        elif issubclass(tx, _NATIVE_BASES):
            return None  # subclasses and the rarer built-ins: the walker
        else:
            objects = True  # written as its repr (``self``, functions ...)
    if objects:
        return _fast_tree_with_reprs(value)
    if nested is not None:
        for x in nested:
            c = _fast_cost(x, 1)
            if c < 0:
                return None
            total += c
    return value if total <= MAX_OUTPUT_UNITS else None


def _fast_tree_with_reprs(value: dict[str, Any]) -> Any:
    """Second pass of :func:`_fast_tree` for a dict holding objects or secrets.

    Takes the reprs, then checks and measures the whole result: a repr may
    change the containers beside it (and another thread the dict itself).
    """
    items = list(value.items())  # snapshot: the reprs may change the dict
    tree: dict[str, Any] = {}
    total = 1
    nested = []
    for k, x in items:
        if type(k) is not str or len(k) > MAX_STRING_CHARS:
            return None
        tx = type(x)
        if _redacts(k, x):
            x = REDACTED
        elif tx in _FAST_NESTED:
            nested.append(x)
        elif tx is str:
            if len(x) > MAX_STRING_CHARS:
                return None
        elif tx not in _FAST_SCALARS:
            if issubclass(tx, _NATIVE_BASES):
                return None
            x = _cut_text(_safe_repr(x), MAX_STRING_CHARS)
        tree[k] = x
        total += len(k) + (len(x) + 1 if type(x) is str else 1)
    # Containers last, once every repr has run.
    for x in nested:
        c = _fast_cost(x, 1)
        if c < 0:
            return None
        total += c
    return tree if total <= MAX_OUTPUT_UNITS else None


_local = threading.local()


def _pack_plain(tree: Any) -> bytes:
    """packb for a tree of exact built-in values, through a per-thread Packer.

    Packing such a tree calls no Python code (no ``default`` hook, no
    subclass methods), so the Packer cannot be re-entered on its thread.
    Out-of-range ints and lone surrogates raise (OverflowError, ValueError).
    """
    try:
        packer = _local.packer
    except AttributeError:
        packer = _local.packer = msgpack.Packer()
    try:
        return packer.pack(tree)
    except BaseException:
        _local.packer = msgpack.Packer()  # do not reuse a half-written buffer
        raise


def _pack_tree(build: Any, value: Any) -> bytes:
    try:
        return _pack_plain(build(_Walker(), value))
    except UnicodeEncodeError:
        return _pack_plain(build(_Walker(sanitize=True), value))


def _build_full(walker: _Walker, value: Any) -> Any:
    return walker.value(value, 0)


def _build_light(walker: _Walker, value: Any) -> Any:
    tp = type(value)
    if tp is dict or (issubclass(tp, dict) and not issubclass(tp, enum.Enum)):
        items = OrderedDict.items if issubclass(tp, OrderedDict) else dict.items
        return walker.short_mapping(value, items, dict.__len__(value))
    return walker.short(value)


def dump_msgpack(value: Any) -> bytes:
    """One bounded MessagePack object for ``value``; never raises.

    See the module documentation for how each kind of value is written.
    """
    try:
        tree = _fast_tree(value)
        if tree is not None:
            try:
                return _pack_plain(tree)
            except (OverflowError, ValueError):
                pass  # big ints, lone surrogates: the walker writes them
        return _pack_tree(_build_full, value)
    except KeyboardInterrupt:
        raise
    except BaseException:  # noqa: BLE001 - the caller relies on getting bytes
        return _FALLBACK


def _light_tree(value: dict[Any, Any]) -> dict[str, str] | None:
    """The lightweight map of the exact dict ``value``, or None for the walker.

    The common case: a frame's locals, with text keys.  The usual scalars and
    short texts are written inline, every other value by :func:`_short_repr`.
    A repr that changes the dict makes the iteration raise, and the walker,
    which reads a snapshot, takes over; so does a key that is no short text.
    """
    if len(value) > MAX_ITEMS:
        return None
    limit = LIGHTWEIGHT_REPR_CHARS
    redacting = bool(_redact_fragments)
    plain_names = _plain_names
    out = {}
    for k, x in value.items():
        if type(k) is not str or len(k) > MAX_STRING_CHARS:
            return None
        if redacting and k not in plain_names and _redacts(k, x):
            out[k] = REDACTED
            continue
        tx = type(x)
        if tx is str and len(x) <= limit:
            r = repr(x)  # escapes may make it longer than the text
            out[k] = r if len(r) <= limit else r[:limit] + "..."
        elif tx is float or tx is bool or x is None or (tx is int and _MIN_INT <= x <= _MAX_INT):
            out[k] = repr(x)  # at most 24 characters
        else:
            out[k] = _short_repr(x)
    return out


def dump_msgpack_lightweight_repr(value: Any) -> bytes:
    """Like :func:`dump_msgpack`, but writes only short reprs.

    A dict becomes a map of key text to the repr of its value cut to
    :data:`LIGHTWEIGHT_REPR_CHARS` characters (and marked with "..."); any
    other value becomes such a short repr itself.
    """
    try:
        try:
            tp = type(value)
            if tp is dict:
                tree = _light_tree(value)
                if tree is not None:
                    return _pack_plain(tree)
            elif not issubclass(tp, dict):
                return _pack_plain(_short_repr(value))
        except KeyboardInterrupt:
            raise
        except Exception:  # noqa: BLE001, S110 - lone surrogates: the walker sanitizes
            pass
        return _pack_tree(_build_light, value)
    except KeyboardInterrupt:
        raise
    except BaseException:  # noqa: BLE001 - the caller relies on getting bytes
        return _FALLBACK
