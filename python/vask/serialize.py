"""Bounded MessagePack encoding of arbitrary Python values.

The tracing engines call the two dumpers of this module twice for every
recorded event (once for the argument, once for the frame's locals) and splice
the returned bytes into their frame records unchanged.  The dumpers are native
(``vask._dump``); no Python code of theirs runs while a program is traced.
Both promise, for *any* Python value:

* the result is ``bytes`` holding exactly one MessagePack object;
* the result is bounded in size, whatever the value;
* they never raise, with one exception: an exception that belongs to the
  traced program is let through, so that it arrives where it would arrive
  untraced.  That is ``KeyboardInterrupt``, ``SystemExit`` (any exception that
  is not an ``Exception``), and any exception raised by a Python signal handler
  that ran while a ``repr`` called by the dumper was running (a ``SIGALRM``
  timeout, a ``SIGTERM`` handler calling ``sys.exit``).  Errors that come from
  the values themselves (a ``__repr__`` that raises) are contained.

Encoding rules of :func:`dump_msgpack`:

* ``None``, ``bool``, ``float`` (``inf`` and ``nan`` included) and ``int``
  within the MessagePack range (-2**63 .. 2**64-1) are written as themselves;
  larger ints become their decimal text as a repr (below), or
  ``<int of N bits>`` when even that would be huge.
* ``str`` is written as text, ``bytes``/``bytearray``/``memoryview`` as binary.
  Anything longer than :data:`MAX_STRING_CHARS` characters or
  :data:`MAX_BYTES` bytes is cut and ends with a visible marker such as
  ``"...<9000 more chars>"``.
* ``list`` becomes an array; ``tuple``, ``set`` and ``frozenset`` become
  MessagePack extensions whose payload is an array (:mod:`vask.values` lists
  the extension types and decodes them), so that they read back as what they
  were.  ``dict`` becomes a map.  Only the first :data:`MAX_ITEMS` items are
  written; a cut array ends with the marker ``<N more items>``, a cut map with
  the entry ``TRUNCATED_KEY: <N more items>``.
* Map keys are always text, so that every MessagePack reader (Python's
  ``msgpack.unpackb`` refuses non-text keys by default) can read the result.
  A key that is not a ``str`` is written as its ``repr`` (the int key ``1``
  becomes ``"1"``); when two keys of a map end up as the same text, the later
  one gets its type name appended (``"1 <int>"``).
* Containers nested deeper than :data:`MAX_DEPTH` become the marker
  ``<list nested too deep>``; a container that contains itself becomes
  ``<cycle: list>`` where it recurs.
* Subclasses of the built-in types are read through the built-in type's own
  storage (as ``dict.items``, ``list.__getitem__``, ``str.__getitem__`` would
  read them), so overridden ``__iter__``, ``__len__``, ``items`` or
  ``__getitem__`` are never called.  Enum members (``IntEnum``, ``StrEnum``
  ...) are written as their ``repr``, which names the member.  An
  ``OrderedDict`` keeps its own order when its keys are built-in values.
* Every other object is written without running any of its code, by the
  ``values`` setting (:func:`configure_values`):

  - ``"safe"`` (the default): objects whose ``repr`` is known to run nothing
    but formatting are written as that ``repr`` (functions, classes, code
    objects, generators, ``range``, ``complex``; ``datetime``, ``date``,
    ``time`` and ``datetime`` with a ``timezone`` or ``ZoneInfo`` or no
    tzinfo, ``timedelta``, ``Decimal``, ``Fraction``, ``UUID``, the
    ``pathlib`` paths and ``re.Pattern``, exactly these types; enum members
    whose ``repr`` is enum's own over a built-in value; exceptions whose
    ``repr`` is the built-in one over built-in arguments).  A module is
    ``<module 'name'>``.  Everything else is written by its fields, as the
    extension :data:`vask.values.EXT_OBJECT`: the qualified type name, the
    address, and a map of the instance's own attributes (its slots, bases
    first, then its ``__dict__``; an exception's ``args``; a bound method's
    ``__func__`` and ``__self__``), read through the object's storage: no
    ``__getattribute__``, ``__getattr__``, property, ``__dict__`` descriptor or
    ``__repr__`` of its class runs, and no ``__dict__`` is made for an
    instance that keeps its attributes inline.  A dataclass whose
    ``__repr__`` dataclasses generated, or an attrs class whose ``__repr__``
    attrs generated, is written with the fields that repr shows, in its
    order, without calling it.  The
    fields are values like any other (nested, cut, redacted by name, a cycle
    through objects marked ``<cycle: TypeName>``).  An object with no fields
    whose class keeps ``object``'s repr is written as that text.
  - ``"fields"``: every object by its fields, no ``repr`` called at all.
  - ``"repr"``: every object as its ``repr``, cut like any text, as the
    extension :data:`vask.values.EXT_REPR`; a ``repr`` that raises becomes
    ``<unrepresentable TypeName>``.

  Types named in ``repr_types`` (``"mypkg.Money"``: the module and qualified
  name) are written as their ``repr`` in every mode.  Apart from those reprs,
  no user code runs: no ``__eq__``, ``__hash__``, ``__len__``, ``__iter__`` or
  ``__getattr__`` of the value is called.
* Markers of the dumper (``<redacted>``, ``<cycle: list>``, ``<3 more items>``,
  :data:`OUTPUT_LIMIT_MARKER`, ``<unserializable value>``) are written as reprs
  too: a string value is always the program's own text.
* One value writes at most about ``max_value_bytes`` bytes
  (:data:`DEFAULT_MAX_VALUE_BYTES` unless configured; 0 is no cap) across all
  its nesting; past that, the remaining items of each container it is in are
  replaced by one marker ``<N more items>``.  Each entry of a dict given at
  the top (a frame's locals) is a value of its own.  Within a value, each
  item of a container (each field of an object) may use at most its fair
  share of the bytes left, those bytes divided by the items still to come
  (and at least 100): one large item cannot crowd out the ones after it, and
  a text past its share is cut.  An object written by its fields inside two
  others so written, or inside one when it has more than eight fields, is
  written with its type, address and number of fields only (``<N more
  items>``), unless its fields are a few short plain values.
* One call writes at most about :data:`MAX_OUTPUT_UNITS` bytes of text and
  values; past that, remaining values are replaced by
  :data:`OUTPUT_LIMIT_MARKER`.
* A dump that fails as a whole (out of memory, or nested more than eight
  levels deep through reprs that dump) writes ``<unserializable value>``.

:func:`dump_msgpack_lightweight_repr` writes short values only: a ``dict``
(the usual argument: a frame's locals, a plugin's record) becomes a map of key
text to the value's short form, and any other value becomes its short form
itself.  Short plain values are kept as they are: ``None``, ``True`` and
``False``, an ``int`` that fits 64 bits, a ``float`` and a ``str`` (exactly
``str``) of at most :data:`LIGHTWEIGHT_REPR_CHARS` characters, so that a test's
name, an outcome or a status code reads back as itself.  Everything else is
its repr cut to :data:`LIGHTWEIGHT_REPR_CHARS` characters (and marked with
"..."), written as a repr extension; objects follow the ``values`` setting
there too: one written by its fields becomes the text ``QualName(field=short
value, ...)``.  Containers of more than that many items
are written as ``<list of N items>``.

Secrets.  Both dumpers replace the value of a map entry whose name looks like
a secret (a frame's local variable ``db_password``, the key ``"Authorization"``
of a headers dict, at any depth) by the marker :data:`REDACTED`.  Names are
judged by their words, not by substrings: a name is split into lower-case
words at every character that is not a letter (``_``, ``-``, ``.``, spaces,
digits) and where camelCase starts a new word, and the configured names are
split the same way.  A configured name matches a name that holds its words in
a row (``api_key`` matches ``X-Api-Key``, ``apiKey``, ``AWS_API_KEY``) or one
word that is its words written together (``csrf_token`` matches
``csrftoken``).  A match does not count when the next word says the value is
about the secret rather than the secret itself: ``token_count``,
``password_min_length``, ``session_timeout`` and ``otp_enabled`` are kept (the
words are count, counts, counter, len, length, size, max, min, limit, type,
types, kind, name, names, field, fields, timeout, ttl, age, expiry, expires,
expiration, enabled, required, policy, prefix).  A configured name written
with a leading ``=`` matches only a name made of exactly its words: the
default ``=key`` redacts ``key`` (and ``KEY``, ``key2``) but keeps ``keys``,
``sort_key``, ``primary_key`` and ``monkey``.  So with the defaults
(:data:`DEFAULT_REDACT_NAMES`) ``password``, ``DB_PASSWORD``, ``password2``,
``X-Api-Key``, ``apiKey``, ``csrftoken``, ``sessionid``, ``Set-Cookie``,
``private_key``, ``credit_card_number``, ``DATABASE_URL`` and ``auth`` are
redacted, while ``tokens``, ``tokenizer``, ``max_tokens``, ``token_count``,
``session_count``, ``secretary``, ``author`` and ``spin`` are not.

``None`` and ``True``/``False`` are kept: they hold no secret and tell whether
one was given.  Only text keys are names (the repr of an object used as a key
is not judged).  A redacted container is replaced whole.  The names are
process-wide (:func:`configure_redaction`); a profiler sets them from its
configuration keys ``redact`` (replaces the defaults; ``False`` turns
redaction off) and ``redact_extra`` (adds to them) when it starts
(:func:`redaction_from_config`).  In the short reprs of the lightweight form, a
secret entry of a dict inside the value (also inside lists and tuples, and
subclasses of the three) is shown as ``'Authorization': <redacted>``; only the
entries that can show within the cut are inspected, and a container nested
deeper than :data:`MAX_DEPTH` that could hold one is shown as
``<dict nested too deep>``.

What redaction does not cover: values without a name (a function's return
value, a yielded value, an exception), the text of strings (``"password=x"``
is kept as it is), and the ``repr`` of objects, which is written as the object
makes it (an object whose repr shows a password shows it).  The command line
stored with a trace (``command_line_args``, and the trace name that
``vask run`` makes from it) is redacted by the same names:
:func:`redact_command_line`.
"""

from __future__ import annotations

from collections.abc import Iterable
from typing import Any

from vask._dump import (
    DEFAULT_MAX_VALUE_BYTES,
    DEFAULT_REDACT_NAMES,
    LIGHTWEIGHT_REPR_CHARS,
    MAX_BYTES,
    MAX_DEPTH,
    MAX_INT_REPR_BITS,
    MAX_ITEMS,
    MAX_OUTPUT_UNITS,
    MAX_STRING_CHARS,
    OUTPUT_LIMIT_MARKER,
    REDACTED,
    TRUNCATED_KEY,
    UNSERIALIZABLE,
    _configure_values,
    configure_redaction,
    dump_msgpack,
    dump_msgpack_lightweight_repr,
    is_secret_name,
    redact_command_line,
    redaction_from_config,
    value_settings,
)

__all__ = [
    "DEFAULT_MAX_VALUE_BYTES",
    "DEFAULT_REDACT_NAMES",
    "LIGHTWEIGHT_REPR_CHARS",
    "MAX_BYTES",
    "MAX_DEPTH",
    "MAX_INT_REPR_BITS",
    "MAX_ITEMS",
    "MAX_OUTPUT_UNITS",
    "MAX_STRING_CHARS",
    "OUTPUT_LIMIT_MARKER",
    "REDACTED",
    "TRUNCATED_KEY",
    "UNSERIALIZABLE",
    "VALUES_MODES",
    "configure_redaction",
    "configure_values",
    "dump_msgpack",
    "dump_msgpack_lightweight_repr",
    "is_secret_name",
    "redact_command_line",
    "redaction_from_config",
    "value_settings",
    "values_from_config",
]

#: The settings of ``values``.
VALUES_MODES = ("safe", "repr", "fields")


def _type_names(value: Any, key: str) -> list[str]:
    if isinstance(value, str):  # the comma-separated form a stored trace keeps
        value = [part.strip() for part in value.split(",") if part.strip()]
    if not isinstance(value, (list, tuple)) or not all(isinstance(v, str) for v in value):
        raise TypeError(f"config {key!r} must be a list of str, not {value!r}")
    for name in value:
        if not name or "." not in name or name.startswith(".") or name.endswith("."):
            raise ValueError(
                f"config {key!r}: {name!r} is not a qualified type name such as 'mypkg.Money'"
            )
    return list(value)


def configure_values(
    values: str = "safe",
    repr_types: Iterable[str] = (),
    max_value_bytes: int = DEFAULT_MAX_VALUE_BYTES,
) -> None:
    """Set how the dumpers write objects, process-wide (the module docstring says how).

    Raises ``ValueError`` or ``TypeError`` for a setting it cannot take, and
    then changes nothing.
    """
    if values not in VALUES_MODES:
        raise ValueError(f'config \'values\' must be "safe", "repr" or "fields", not {values!r}')
    names = _type_names(list(repr_types) if not isinstance(repr_types, str) else repr_types,
                        "repr_types")
    if isinstance(max_value_bytes, bool) or not isinstance(max_value_bytes, int):
        raise TypeError(
            f"config 'max_value_bytes' must be an int, not {type(max_value_bytes).__name__}"
        )
    if max_value_bytes < 0:
        raise ValueError("config 'max_value_bytes' must be 0 (no cap) or more")
    _configure_values(values, names, max_value_bytes)


def values_from_config(config: Any) -> tuple[str, list[str], int]:
    """The ``values``, ``repr_types`` and ``max_value_bytes`` a configuration asks for.

    Missing keys take the defaults; raises ``TypeError`` or ``ValueError`` as
    :func:`configure_values`.
    """
    values = config.get("values", "safe")
    if values is None:
        values = "safe"
    if values not in VALUES_MODES:
        raise ValueError(f'config \'values\' must be "safe", "repr" or "fields", not {values!r}')
    repr_types = config.get("repr_types")
    names = [] if repr_types is None else _type_names(repr_types, "repr_types")
    cap = config.get("max_value_bytes", DEFAULT_MAX_VALUE_BYTES)
    if cap is None:
        cap = DEFAULT_MAX_VALUE_BYTES
    if isinstance(cap, bool) or not isinstance(cap, int):
        raise TypeError(f"config 'max_value_bytes' must be an int, not {type(cap).__name__}")
    if cap < 0:
        raise ValueError("config 'max_value_bytes' must be 0 (no cap) or more")
    return values, names, cap
