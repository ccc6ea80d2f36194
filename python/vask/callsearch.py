"""Finding calls across every stored trace, through the calls index.

:func:`find_calls` answers a query: a qualified name pattern (``*`` for any
text), how the call ended, its test, its trace, and value predicates on its
arguments, locals and return value.  Names, outcomes, tests and durations are
answered by the index alone (:mod:`vask.storage.callindex`); a value
predicate decodes only the opening and closing records of the calls that
pass the rest.

Values are matched as stored:

* a redacted value (``<redacted>``) never matches by its content, whatever
  the operator;
* a value cut by the dumpers (a long text, a long container, past the output
  limit) matches only on what was kept, and the match says so
  (:attr:`CallMatch.truncated`);
* ``NAME.FIELD`` reaches into a stored dict's entries and an object stored
  by its fields, as they are shown.
"""

from __future__ import annotations

import ast
import contextlib
import functools
import heapq
import math
import operator
import os
import re
import sqlite3
import threading
from collections.abc import Callable, Iterable, Iterator
from dataclasses import dataclass
from itertools import islice, repeat
from typing import Any

from vask import _paths
from vask.document import upgrade_legacy_record
from vask.storage import backend, callindex, schema
from vask.storage.schema import with_path
from vask.values import ObjectRepr, StoredSet

__all__ = [
    "OPERATORS",
    "CallMatch",
    "Predicate",
    "QueryError",
    "ensure_index",
    "find_calls",
    "parse_node_ref",
    "parse_query",
]

#: The comparison operators of a value predicate.
OPERATORS = ("==", "!=", "<=", ">=", "<", ">", "~")

_REDACTED = "<redacted>"
# What the dumpers leave where they cut a value.
_MORE_CHARS = re.compile(r"\.\.\.<\d+ more (chars|bytes)>$")
_MORE_ITEMS = re.compile(r"^<\d+ more items>$")


class QueryError(ValueError):
    """A query that cannot be answered as written (a bad predicate, a bad node)."""


@dataclass(frozen=True)
class Predicate:
    """``where NAME OP VALUE``: ``where`` is "arg", "local" or "return"."""

    where: str
    name: str | None
    op: str
    value: Any

    @classmethod
    def parse(cls, where: str, parts: list[str] | tuple[str, ...]) -> Predicate:
        """From the words of ``--arg NAME OP VALUE`` (``--return OP VALUE``)."""
        want = 2 if where == "return" else 3
        if len(parts) != want:
            raise QueryError(
                f"--{where} takes {'OP VALUE' if where == 'return' else 'NAME OP VALUE'}"
            )
        name = None if where == "return" else parts[0]
        op, text = parts[-2], parts[-1]
        if op not in OPERATORS:
            raise QueryError(f"unknown operator {op!r} (one of {' '.join(OPERATORS)})")
        value: Any = text
        if op == "~":
            try:
                value = re.compile(text)
            except re.error as error:
                raise QueryError(f"bad regular expression {text!r}: {error}") from None
        else:
            try:
                value = ast.literal_eval(text)
            except (ValueError, SyntaxError, MemoryError, RecursionError):
                value = text  # a bare word: compared as text
        return cls(where, name, op, value)

    @classmethod
    def of(cls, where: str, name: str | None, wanted: Any) -> Predicate:
        """From a value to equal, or an ``(OP, VALUE)`` pair (scripts' form)."""
        if isinstance(wanted, tuple) and len(wanted) == 2 and wanted[0] in OPERATORS:
            op, value = wanted
        else:
            op, value = "==", wanted
        if op == "~":
            try:
                value = re.compile(value) if isinstance(value, str) else value
            except re.error as error:
                raise QueryError(f"bad regular expression {value!r}: {error}") from None
            if not isinstance(value, re.Pattern):
                raise QueryError("~ takes a regular expression")
        return cls(where, name, op, value)

    def test(self, start: dict[str, Any] | None, end: dict[str, Any] | None) -> tuple[bool, bool]:
        """(matches, on a cut value) for a call's opening and closing records."""
        found, value = self.value_in(start, end)
        if not found:
            return False, False
        return _compare(value, self.op, self.value), _is_cut(value)

    def matches(self, start: dict[str, Any] | None, end: dict[str, Any] | None) -> bool:
        """Whether the call's records match (the first of :meth:`test`, without
        looking for cut values)."""
        found, value = self.value_in(start, end)
        return found and _compare(value, self.op, self.value)

    @functools.cached_property
    def needle(self) -> bytes | None:
        """Bytes every record this predicate matches holds (the text of the value, or
        of a literal part of the regular expression, as UTF-8), or ``None`` when no
        such bytes are known: a record without them is passed over undecoded."""
        return _needle(self.op, self.value)

    def value_in(
        self, start: dict[str, Any] | None, end: dict[str, Any] | None
    ) -> tuple[bool, Any]:
        """(whether there is one, the value) this predicate compares in a call's
        records: none when not recorded, not returned, or redacted."""
        if self.where == "return":
            if end is None or "exception" in end or end.get("event") not in ("return", None):
                return False, None
            value = end.get("arg")
        else:
            record = start if self.where == "arg" else (end if end is not None else start)
            local_vars = record.get("locals") if isinstance(record, dict) else None
            if not isinstance(local_vars, dict):
                return False, None
            assert self.name is not None
            head, *rest = self.name.split(".")
            if head not in local_vars:
                return False, None
            value = local_vars[head]
            for part in rest:
                found, value = _field(value, part)
                if not found:
                    return False, None
        if _is_redacted(value):
            return False, None
        return True, value


def _field(value: Any, name: str) -> tuple[bool, Any]:
    if isinstance(value, dict):
        return (True, value[name]) if name in value else (False, None)
    fields = getattr(value, "fields", None)
    if isinstance(fields, dict) and name in fields:
        return True, fields[name]
    return False, None


# Words the text of a stored value may show that its record does not hold as
# they are shown: Python's own spellings of values, and the names the text of
# a value read back (see vask.values) or of a marker of an unreadable one uses.
_SHOWN_WORDS = (
    "True False None inf nan set frozenset object at Assignment name value StoredObject"
    " type_name address fields StoredSet items frozen ObjectRepr text ExtType code data"
    " unreadable stored extension type bytes MessagePack map key Timestamp seconds"
    " nanoseconds"
).split()
# The escapes of a text shown as a repr, by their letter: the hex digits after it.
_ESCAPE_DIGITS = {"n": 0, "t": 0, "r": 0, "x": 2, "u": 4, "U": 8}
# Letters and digits a number or an address may be shown with (``1e-05``, ``0x7f3a``).
_NUMBER_LIKE = re.compile(r"[0-9a-fA-FxX]*")


def _needle(op: str, value: Any) -> bytes | None:
    """See :attr:`Predicate.needle`.

    ``==`` with a text matches only a text or a repr equal to it, each stored
    as its UTF-8 bytes.  ``~`` matches the text a value is shown as
    (:func:`stored_text`), which holds the stored texts in it, escaped where
    they are quoted, among the value's punctuation, numbers and words of its
    own: of a run of letters and digits (and "_") the regular expression
    requires as it stands, neither inside one of those words nor a number's
    letters, what follows a possible escape tail at its head is known to lie
    in the record as it is shown.
    """
    if op == "==":
        if isinstance(value, str) and value and "\ufffd" not in value:
            return value.encode("utf-8")
        return None
    if op != "~" or not isinstance(value, re.Pattern) or not isinstance(value.pattern, str):
        return None
    best = ""
    for run in _literal_runs(value):
        if _NUMBER_LIKE.fullmatch(run) or any(run in word for word in _SHOWN_WORDS):
            continue
        run = run[_escape_tail(run) :]
        if len(run) > len(best):
            best = run
    return best.encode("utf-8") if best else None


def _escape_tail(run: str) -> int:
    """How many leading characters of ``run`` may be the end of an escape (``\\n``,
    ``\\x1b``, ``\\u200b``) where a text is shown as a repr: those are not in
    the record as they are shown."""

    def digits(at: int, most: int) -> int:
        n = 0
        while n < most and at + n < len(run) and run[at + n] in "0123456789abcdefABCDEF":
            n += 1
        return n

    letter = _ESCAPE_DIGITS.get(run[0])
    by_letter = 0 if letter is None else 1 + digits(1, letter)
    return max(by_letter, digits(0, 8))  # or its digits alone, the letter before the run


def _literal_runs(pattern: re.Pattern[str]) -> list[str]:
    """The runs of letters, digits and "_" that every match of ``pattern`` holds, as
    its top level spells them (none when it ignores case)."""
    if pattern.flags & re.IGNORECASE:
        return []
    try:
        try:
            from re import _parser as parser  # type: ignore[attr-defined]
        except ImportError:  # Python 3.10
            import sre_parse as parser  # type: ignore[no-redef]
        parsed = parser.parse(pattern.pattern, pattern.flags)
    except Exception:  # noqa: BLE001 - compiled already: a parser that differs finds nothing
        return []
    if parsed.state.flags & re.IGNORECASE:
        return []
    literal = parser.LITERAL  # type: ignore[attr-defined]
    runs, run = [], []
    for op, arg in parsed:
        ch = chr(arg) if op is literal else ""
        if ch and (ch.isalnum() or ch == "_"):
            run.append(ch)
            continue
        runs.append("".join(run))
        run = []
    runs.append("".join(run))
    return [r for r in runs if r]


def _is_redacted(value: Any) -> bool:
    return isinstance(value, ObjectRepr) and value.text == _REDACTED


def _is_cut(value: Any, depth: int = 0) -> bool:
    """Whether the dumpers cut the value (or something in it)."""
    if depth > 32:
        return False
    if isinstance(value, str):
        return bool(_MORE_CHARS.search(value))
    if isinstance(value, ObjectRepr):
        from vask.serialize import OUTPUT_LIMIT_MARKER

        return (
            bool(_MORE_CHARS.search(value.text) or _MORE_ITEMS.match(value.text))
            or value.text == OUTPUT_LIMIT_MARKER
        )
    if isinstance(value, (bytes, bytearray)):
        return bool(re.search(rb"\.\.\.<\d+ more bytes>$", bytes(value)))
    if isinstance(value, dict):
        from vask.serialize import TRUNCATED_KEY

        return TRUNCATED_KEY in value or any(_is_cut(v, depth + 1) for v in value.values())
    if isinstance(value, (list, tuple)):
        return any(_is_cut(v, depth + 1) for v in value)
    if isinstance(value, StoredSet):
        return any(_is_cut(v, depth + 1) for v in value.items)
    fields = getattr(value, "fields", None)
    if isinstance(fields, dict):
        return any(_is_cut(v, depth + 1) for v in fields.values())
    return False


def stored_text(value: Any) -> str:
    """The text a value is matched on by ``~``: a string itself, anything else as shown."""
    if isinstance(value, str):
        return value
    if isinstance(value, ObjectRepr):
        return value.text
    from vask.render import format_value

    return format_value(value)


def _plain(value: Any) -> Any:
    """A stored value as the Python value it compares as (a repr compares as its text)."""
    if isinstance(value, ObjectRepr):
        return value.text
    return value


def _compare(stored: Any, op: str, wanted: Any) -> bool:
    if op == "~":
        return wanted.search(stored_text(stored)) is not None
    value = _plain(stored)
    if isinstance(value, StoredSet):
        value = set(value.items) if not value.frozen else frozenset(value.items)
    try:
        if op == "==":
            return bool(_same(value, wanted))
        if op == "!=":
            return not _same(value, wanted)
        if isinstance(value, bool) or isinstance(wanted, bool):
            return False
        numbers = isinstance(value, (int, float)) and isinstance(wanted, (int, float))
        texts = isinstance(value, str) and isinstance(wanted, str)
        if not (numbers or texts):
            return False
        if op == "<":
            return value < wanted
        if op == "<=":
            return value <= wanted
        if op == ">":
            return value > wanted
        if op == ">=":
            return value >= wanted
    except (TypeError, ValueError):
        return False
    return False


def _same(value: Any, wanted: Any) -> bool:
    if isinstance(value, bool) != isinstance(wanted, bool):
        return False
    if isinstance(value, float) and isinstance(wanted, float) and math.isnan(value):
        return math.isnan(wanted)
    try:
        return bool(value == wanted)
    except Exception:  # noqa: BLE001 - a comparison of stored values never fails a query
        return False


# The columns of an index row a match keeps, in this order.
_ROW = ("name", "thread", "node", "depth", "line", "start", "duration", "outcome", "exc")
_ROW += ("folded", "open_pos", "close_after")


class _TraceOf:
    """What the matches of one trace share: its facts (see
    :func:`callindex.trace_facts`), the query's names and where its records are read."""

    __slots__ = ("base", "decoded", "exc_types", "legacy", "names", "records", "test")
    __slots__ += ("test_outcome", "threads", "tick", "trace_id")

    def __init__(
        self, facts: dict[str, Any], names: dict[int, tuple[str, str]], records: Any
    ) -> None:
        self.trace_id: str = facts["trace_id"]
        self.test: str | None = facts["test"]
        self.test_outcome: str | None = facts["test_outcome"]
        self.threads: list[tuple[str, str | None]] = facts["threads"]
        self.exc_types: list[str] = facts["exc_types"]
        self.base: float = facts["base"]
        self.tick: float = facts["tick"]
        self.legacy: bool | None = facts["legacy"]
        self.names = names
        self.records = records
        # (row, "start" or "end") -> the record of a match, decoded when first asked for
        self.decoded: dict[tuple[int, str], dict[str, Any] | None] = {}


_UNREAD = object()


class CallMatch(tuple):  # type: ignore[type-arg]
    """A call found across traces.

    A match holds its place in the index rows its query read (what its trace's
    matches share, the columns as read, never changed, and its row): what the
    row says (the call's place, name, time and outcome) is read from them when
    asked for, and the call's values from its records when first asked for (a
    match whose values are never looked at reads nothing).  It is a tuple of
    those, so that a query of many matches makes them in C (``tuple.__new__``)
    and builds little more than the matches; compare matches as matches, not as
    tuples.
    """

    __slots__ = ()

    def __new__(
        cls, of: _TraceOf, cols: dict[str, Any], i: int, truncated: bool = False
    ) -> CallMatch:
        return tuple.__new__(cls, (of, cols, i, truncated))

    _of: _TraceOf = property(operator.itemgetter(0))  # type: ignore[assignment]
    _cols: dict[str, Any] = property(operator.itemgetter(1))  # type: ignore[assignment]
    _i: int = property(operator.itemgetter(2))  # type: ignore[assignment]
    #: whether a value predicate matched on a value the dumpers had cut
    truncated: bool = property(operator.itemgetter(3))  # type: ignore[assignment]

    @property
    def trace_id(self) -> str:
        return self._of.trace_id

    @property
    def test(self) -> str | None:
        """The test the trace is of (its node id); ``None`` when none."""
        return self._of.test

    @property
    def test_outcome(self) -> str | None:
        return self._of.test_outcome

    @property
    def thread(self) -> str:
        return self._of.threads[self._cols["thread"][self._i]][0]

    @property
    def thread_name(self) -> str | None:
        return self._of.threads[self._cols["thread"][self._i]][1]

    @property
    def node(self) -> int:
        return self._cols["node"][self._i]

    @property
    def qualname(self) -> str:
        return self._of.names[self._cols["name"][self._i]][0]

    @property
    def file(self) -> str:
        return self._of.names[self._cols["name"][self._i]][1]

    @property
    def line(self) -> int | None:
        line = self._cols["line"][self._i]
        return line if line >= 0 else None

    @property
    def depth(self) -> int:
        return self._cols["depth"][self._i]

    @property
    def start(self) -> float | None:
        began = self._cols["start"][self._i]
        step = self._of.tick * callindex.START_TICKS
        return self._of.base + began * step if began >= 0 else None

    @property
    def duration(self) -> float | None:
        took = self._cols["duration"][self._i]
        return took * self._of.tick if took >= 0 else None

    @property
    def recorded_duration(self) -> float | None:
        """The duration its records' own times give, exactly (reading them when not
        read yet); where one is missing, the index's :attr:`duration`, to its tick."""
        began = (self.start_record or {}).get("timestamp")
        ended = (self.end_record or {}).get("timestamp")
        if isinstance(began, float) and isinstance(ended, float) and ended >= began:
            return ended - began
        return self.duration

    @property
    def outcome(self) -> str:
        """ "returned", "raised", "yielded", "unfinished" or "folded"."""
        return callindex.OUTCOME_NAMES[self._cols["outcome"][self._i]]

    @property
    def exception_type(self) -> str | None:
        exc = self._cols["exc"][self._i]
        return self._of.exc_types[exc] if exc >= 0 else None

    @property
    def folded(self) -> int | None:
        """The number of calls of a folded range (``None`` for a call)."""
        count = self._cols["folded"][self._i]
        folded = self._cols["outcome"][self._i] == callindex.FOLDED
        return count if folded and count >= 0 else None

    @property
    def start_record(self) -> dict[str, Any] | None:
        """The call's opening record, decoded (``None`` when not recorded)."""
        of, cols, i = self[0], self[1], self[2]
        found = of.decoded.get((i, "start"), _UNREAD)
        if found is _UNREAD:
            pos = cols["open_pos"][i]
            found = of.decoded[(i, "start")] = (
                of.records.decoded(of.trace_id, pos, of.legacy)
                if pos >= 0 and cols["outcome"][i] != callindex.FOLDED
                else None
            )
        return found  # type: ignore[return-value]

    @property
    def end_record(self) -> dict[str, Any] | None:
        """The call's closing record, decoded (``None`` when not recorded)."""
        of, cols, i = self[0], self[1], self[2]
        found = of.decoded.get((i, "end"), _UNREAD)
        if found is _UNREAD:
            # stored after the opening record's end
            close = cols["close_after"][i]
            found = of.decoded[(i, "end")] = (
                of.records.decoded(of.trace_id, cols["open_pos"][i], of.legacy, close)
                if close >= 0
                else None
            )
        return found  # type: ignore[return-value]

    @property
    def ref(self) -> str:
        """The node as ``vask traces show ID --at NODE`` takes it."""
        return f"{self.thread}/{self.node}"

    @property
    def args(self) -> dict[str, Any]:
        local_vars = (self.start_record or {}).get("locals")
        return dict(local_vars) if isinstance(local_vars, dict) else {}

    @property
    def locals(self) -> dict[str, Any]:
        record = self.end_record if self.end_record is not None else self.start_record
        local_vars = (record or {}).get("locals")
        return dict(local_vars) if isinstance(local_vars, dict) else {}

    @property
    def return_value(self) -> Any:
        end = self.end_record or {}
        return None if "exception" in end else end.get("arg")

    @property
    def exception(self) -> Any:
        return (self.end_record or {}).get("exception")

    def _key(self) -> tuple[Any, ...]:
        row = tuple(self._cols[c][self._i] for c in _ROW)
        return (self._of.trace_id, row, self.truncated)

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, CallMatch):
            return NotImplemented
        return self._key() == other._key()

    def __ne__(self, other: object) -> bool:
        if not isinstance(other, CallMatch):
            return NotImplemented
        return self._key() != other._key()

    def __hash__(self) -> int:
        return hash(self._key())

    def __repr__(self) -> str:
        return (
            f"CallMatch(trace_id={self.trace_id!r}, test={self.test!r}, thread={self.thread!r},"
            f" node={self.node}, qualname={self.qualname!r}, outcome={self.outcome!r},"
            f" duration={self.duration!r})"
        )


# The decompressed frames kept for the records of matches shown (a few frames:
# matches are shown in the order they started, which is mostly the order of
# their records).
_SHOWN_FRAME_BYTES = 8 << 20


class _Records:
    """The records of a query's matches, read when a match's values are first asked
    for: through a read-only connection of their own, opened then and closed once
    the matches are gone (or by :meth:`close`)."""

    def __init__(self, db_path: str | os.PathLike[str], timeout: float) -> None:
        self.db_path = db_path
        self.timeout = timeout
        self._lock = threading.Lock()
        self._conn: Any = None
        self._reader: callindex.RecordReader | None = None

    def decoded(
        self, trace_id: str, pos: int, legacy: bool | None, after: int | None = None
    ) -> dict[str, Any] | None:
        """The record at ``pos``, or with ``after`` the closing record of the call whose
        opening record is there (see :meth:`callindex.RecordReader.closing`), decoded."""
        with self._lock:
            try:
                if self._reader is None:
                    self._conn = schema.connect_readonly(
                        self.db_path, self.timeout, check_same_thread=False
                    )
                    # the matches' records are read one match at a time, as shown
                    self._reader = callindex.RecordReader(self._conn, _SHOWN_FRAME_BYTES)
                if after is not None:
                    pos = self._reader.closing(trace_id, pos, after)
                data = self._reader.read(trace_id, pos) if pos >= 0 else None
            except Exception:  # noqa: BLE001 - gone or damaged: the call is shown without values
                return None
        return _decoded(data, legacy) if data is not None else None

    def close(self) -> None:
        with self._lock:
            if self._reader is not None:
                self._reader.close()
                self._conn.close()
                self._reader = self._conn = None

    def __del__(self) -> None:
        with contextlib.suppress(Exception):
            self.close()


def parse_query(text: str) -> dict[str, Any]:
    """The keyword arguments of :func:`find_calls` for a query written as
    ``vask calls`` takes it: ``PATTERN [--raised [TYPE]] [--arg NAME OP VALUE] ...``."""
    import shlex

    try:
        words = shlex.split(text)
    except ValueError as error:
        raise QueryError(f"cannot read the query: {error}") from None
    out: dict[str, Any] = {"predicates": []}
    takes = {"--slowest": 1, "--test": 1, "--outcome": 1, "--trace": 1, "--limit": 1}
    takes.update({"--arg": 3, "--local": 3, "--return": 2})
    i = 0
    while i < len(words):
        word = words[i]
        if word == "--returned":
            out["returned"] = True
            i += 1
            continue
        if word == "--raised":
            nxt = words[i + 1] if i + 1 < len(words) else None
            if nxt is not None and not nxt.startswith("--") and "pattern" in out:
                out["raised"] = nxt
                i += 2
            else:
                out["raised"] = True
                i += 1
            continue
        if word in takes:
            n = takes[word]
            values = words[i + 1 : i + 1 + n]
            if len(values) != n:
                raise QueryError(f"{word} takes {n} value{'s' if n > 1 else ''}")
            i += 1 + n
            if word in ("--arg", "--local", "--return"):
                out["predicates"].append(Predicate.parse(word[2:], values))
            elif word in ("--slowest", "--limit"):
                if not values[0].isdigit() or int(values[0]) < 1:
                    raise QueryError(f"{word} takes a whole number from 1")
                out[word[2:]] = int(values[0])
            else:
                out[word[2:]] = values[0]
            continue
        if word.startswith("--") or "pattern" in out:
            raise QueryError(f"unknown in a query: {word!r}")
        out["pattern"] = word
        i += 1
    return out


def parse_node_ref(text: str) -> tuple[str, int]:
    """``THREAD/NODE`` as a match's :attr:`CallMatch.ref` writes it."""
    thread, _, node = text.rpartition("/")
    if not thread or not node.isdigit():
        raise QueryError(f"not a call's place: {text!r} (THREAD/NODE, as vask calls prints it)")
    return thread, int(node)


def ensure_index(
    db_path: str | os.PathLike[str],
    timeout: float = 60,
    progress: Callable[[int, int], None] | None = None,
) -> int:
    """Index the traces the index does not cover yet; returns how many were indexed.

    A database whose index covers every trace is only read: it may lie where vask
    would not write (a directory other users can write in), or be read-only.
    """
    path = backend.locate(db_path)
    try:
        reader = schema.connect_readonly(path, timeout)
    except FileNotFoundError:
        return 0
    try:
        unindexed = len(callindex.pending_traces(reader))
    except sqlite3.Error as error:
        raise with_path(error, path) from error
    finally:
        reader.close()
    if not unindexed:
        return 0
    try:
        conn = schema.open_existing(path, timeout)
    except _paths.UnsafeLocation as error:
        raise _paths.UnsafeLocation(
            f"{error}; the calls index of the {unindexed:,} trace{'s' * (unindexed != 1)} not"
            " indexed yet is built in the database itself"
        ) from error
    if conn is None:
        return 0
    try:
        pending = callindex.pending_traces(conn)
        if pending:
            callindex.index_traces(conn, pending, progress)
        return len(pending)
    except sqlite3.Error as error:
        raise with_path(error, path) from error
    finally:
        conn.close()


def _glob(pattern: str) -> str:
    """A name pattern with ``*`` as an SQL GLOB (other GLOB characters literal)."""
    out = []
    for ch in pattern:
        out.append("[" + ch + "]" if ch in "?[]" else ch)
    return "".join(out)


def find_calls(
    db_path: str | os.PathLike[str],
    pattern: str = "*",
    *,
    raised: bool | str = False,
    returned: bool = False,
    slowest: int | None = None,
    test: str | None = None,
    outcome: str | None = None,
    trace: str | None = None,
    predicates: list[Predicate] | tuple[Predicate, ...] = (),
    limit: int | None = None,
    timeout: float = 60,
    progress: Callable[[int, int], None] | None = None,
    build: bool = True,
) -> Iterator[CallMatch]:
    """The calls matching the query, in the order they started (``slowest``: longest first).

    ``pattern`` matches the qualified name (``*`` any text), or its last
    parts from a dot on (``reserve`` and ``Inventory.reserve`` find
    ``shop.Inventory.reserve``).  ``raised`` (``True`` or
    an exception type name), ``returned``, ``test`` (the node id, ``*``
    allowed), ``outcome`` (the test's), ``trace`` (a trace id) narrow it;
    ``predicates`` test the values.  Traces not indexed yet are indexed
    first (``progress(done, total)``); without ``build`` the database is
    only read, and only what the index covers is searched.
    """
    if build:
        ensure_index(db_path, timeout, progress)
    conn = schema.connect_readonly(db_path, timeout)
    try:
        # the matches come in lists (a trace's at once): one generator resumed per match
        for batch in _query(
            conn,
            pattern,
            raised,
            returned,
            slowest,
            test,
            outcome,
            trace,
            list(predicates),
            limit,
            _Records(db_path, timeout),
        ):
            yield from batch
    finally:
        conn.close()


def _name_globs(pattern: str) -> list[str]:
    # Every pattern also matches the end of a qualified name from a dot on: a
    # name as show prints it (`Inventory.reserve`, without its module) finds
    # the calls it was copied from.
    glob = _glob(pattern)
    return [glob] if pattern.startswith("*") else [glob, "*." + glob]


def _query(
    conn: sqlite3.Connection,
    pattern: str,
    raised: bool | str,
    returned: bool,
    slowest: int | None,
    test: str | None,
    outcome: str | None,
    trace: str | None,
    predicates: list[Predicate],
    limit: int | None,
    records: _Records,
) -> Iterator[list[CallMatch]]:
    """The matches in lists, read from the summary first and then from the blocks of
    the candidate traces only.

    Without ``slowest`` the traces come in the order their first call started,
    and each trace's matches in the order they started; with it, the longest
    calls first (traces are read longest summary first and reading stops once
    no other trace can hold a longer call).
    """
    if not callindex.has_index(conn):
        return
    names = callindex.name_ids(conn, _name_globs(pattern))
    if not names:
        return
    every_name = pattern.strip("*") == ""
    filters = {
        "raised": bool(raised),
        "test": (_glob(test) if "*" in test else test) if test is not None else None,
        "test_glob": test is not None and "*" in test,
        "outcome": outcome,
        "trace": trace,
    }
    if every_name and slowest is None:
        # every call of the traces that pass, in order: their blocks alone, trace by
        # trace, reading no further than the limit asks
        facts = _Facts(conn)
        yield from _matches(
            conn,
            names,
            _trace_rows_in_order(
                conn, callindex.traces_in_order(conn, **filters), raised, returned, facts
            ),
            predicates,
            limit,
            records,
            facts,
        )
        return
    facts = _Facts(conn)
    select = _RowFilter(raised, returned)
    keep = slowest if not predicates else None
    if slowest is not None and every_name:
        # the slowest of every name: the traces' rows, trace by trace from the trace
        # that may hold the longest call down, until no trace left can hold a longer one
        traces = callindex.traces_longest_first(conn, **filters)
        yield from _matches(
            conn,
            names,
            _slowest_rows(
                conn,
                iter([(key, None, count, None, top, 0) for key, count, top in traces]),
                facts,
                select,
                keep,
            ),
            predicates,
            slowest if limit is None else min(slowest, limit),
            records,
            facts,
        )
        return
    groups = callindex.summaries(
        conn,
        None if every_name else names,
        raised=bool(raised),
        test=(_glob(test) if "*" in test else test) if test is not None else None,
        test_glob=test is not None and "*" in test,
        outcome=outcome,
        trace=trace,
    )
    if isinstance(groups, list) and not groups:
        return
    cap = slowest
    if limit is not None:
        cap = limit if cap is None else min(cap, limit)
    if slowest is not None:
        rows = _slowest_rows(conn, groups, facts, select, keep)
    else:
        rows = _rows_in_order(conn, groups, facts, select)
    yield from _matches(conn, names, rows, predicates, cap, records, facts)


def _matches(
    conn: sqlite3.Connection,
    names: dict[int, tuple[str, str]],
    batches: Iterable[tuple[int, dict[str, Any], list[int]]],
    predicates: list[Predicate],
    cap: int | None,
    records: _Records,
    facts: _Facts | None = None,
) -> Iterator[list[CallMatch]]:
    """The rows that pass the predicates as matches, in lists (a trace's at once without
    predicates), ``cap`` of them at the most; ``batches`` are (trace key, columns, the
    rows of the columns in order)."""
    facts = facts if facts is not None else _Facts(conn)
    reader = callindex.RecordReader(conn) if predicates else None
    try:
        found = 0
        needles = [p for p in predicates if p.needle is not None]
        for key, cols, rows in batches:
            if cap is not None and found >= cap:
                return
            of = _TraceOf(facts[key], names, records)
            if reader is None:
                if cap is not None:
                    rows = rows[: cap - found]
                found += len(rows)
                # a match made of each row in C: each reads its columns when asked
                yield list(
                    map(
                        tuple.__new__,
                        repeat(CallMatch),
                        zip(repeat(of), repeat(cols), rows, repeat(False)),
                    )
                )
                continue
            for stretch in _stretches(rows):
                if needles:
                    stretch = _sift(reader, facts[key], cols, stretch, needles)
                for i in stretch:
                    if cap is not None and found >= cap:
                        return
                    match = _match(reader, of, cols, i, predicates)
                    if match is not None:
                        found += 1
                        yield [match]
    finally:
        if reader is not None:
            reader.close()


class _Facts(dict):  # type: ignore[type-arg]
    """The facts of the traces (see :func:`callindex.trace_facts`), read when first asked
    (with those of the traces :meth:`expect` names next, in one query)."""

    def __init__(self, conn: sqlite3.Connection) -> None:
        super().__init__()
        self.conn = conn
        self._next: list[int] = []

    def expect(self, keys: Iterable[int]) -> None:
        """The traces whose facts are asked for next, in order."""
        self._next = list(keys)
        self._next.reverse()

    def __missing__(self, key: int) -> dict[str, Any]:
        chunk = [key]
        while self._next and len(chunk) < 500:
            nxt = self._next.pop()
            if nxt not in self:
                chunk.append(nxt)
        found = callindex.trace_facts(self.conn, chunk)
        self.update(found)
        return found[key]  # KeyError: the trace is no longer indexed


class _RowFilter:
    """How a call ended, tested on the rows of the index."""

    def __init__(self, raised: bool | str, returned: bool) -> None:
        self.raised = raised
        self.returned = returned

    def rows(self, cols: dict[str, Any], exc_types: list[str]) -> list[int]:
        outcomes = cols["outcome"]
        if not self.raised and not self.returned:
            return list(range(len(outcomes)))
        if self.returned and self.raised:
            return []
        wanted = callindex.RETURNED if self.returned else callindex.RAISED
        # the outcome codes are bytes: find them in C rather than row by row
        codes = outcomes.tobytes()
        picked = []
        at = codes.find(wanted)
        while at >= 0:
            picked.append(at)
            at = codes.find(wanted, at + 1)
        if isinstance(self.raised, str):
            name = self.raised
            dotted = "." + name
            ok = {n for n, t in enumerate(exc_types) if t == name or t.endswith(dotted)}
            exc = cols["exc"]
            picked = [i for i in picked if exc[i] in ok]
        return picked


_LAST = 1 << 62  # sorts a row with no start time after every other


def _in_start_order(cols: dict[str, Any], rows: list[int]) -> list[int]:
    """``rows`` in the order the calls began (by start, then thread and node)."""
    start = cols["start"]
    if -1 not in start:
        # by start alone, keyed in C; calls that began at the same tick are ordered
        # by thread and node below
        ordered = sorted(rows, key=start.__getitem__)
        starts = list(map(start.__getitem__, ordered))
        if not any(map(operator.eq, starts, islice(starts, 1, None))):
            return ordered
    starts_of: Iterable[int] = map(start.__getitem__, rows)
    if -1 in start:  # no start time: after every other
        starts_of = (s if s >= 0 else _LAST for s in starts_of)
    keyed = sorted(
        zip(
            starts_of,
            map(cols["thread"].__getitem__, rows),
            map(cols["node"].__getitem__, rows),
            rows,
        )
    )
    return [k[3] for k in keyed]


def _trace_rows_in_order(
    conn: sqlite3.Connection,
    traces: list[tuple[int, int]],
    raised: bool | str,
    returned: bool,
    facts: _Facts,
) -> Iterator[tuple[int, dict[str, Any], list[int]]]:
    """Every row of ``traces`` (in their order) that ends as asked, each trace's rows in
    the order they started: as :func:`_rows_in_order` gives them for every name."""
    select = _RowFilter(raised, returned)
    facts.expect(key for key, _ in traces)
    blocks = callindex.BlockCache()
    for key, count in traces:
        cols = callindex.read_rows(conn, key, 0, count, blocks)
        rows = select.rows(cols, facts[key]["exc_types"])
        if rows:
            yield key, cols, _in_start_order(cols, rows)


def _rows_in_order(
    conn: sqlite3.Connection,
    groups: list[tuple[Any, ...]],
    facts: _Facts,
    select: _RowFilter,
) -> Iterator[tuple[int, dict[str, Any], list[int]]]:
    blocks = callindex.BlockCache()
    by_trace: dict[int, list[tuple[Any, ...]]] = {}
    for group in groups:
        by_trace.setdefault(group[0], []).append(group)

    def first(key: int) -> tuple[float, int]:
        start = by_trace[key][0][6]
        return (start if start is not None else math.inf, key)

    ordered = sorted(by_trace, key=first)
    facts.expect(ordered)
    for key in ordered:
        found = by_trace[key]
        if len(found) == 1:
            # a name's rows are stored by start time already
            group = found[0]
            cols = callindex.read_rows(conn, key, group[5], group[2], blocks)
            rows = select.rows(cols, facts[key]["exc_types"])
        else:
            # the names' rows, read at once without those between them, merged by start
            found.sort(key=lambda g: g[5])
            cols = callindex.read_ranges(conn, key, [(g[5], g[2]) for g in found], blocks)
            rows = _in_start_order(cols, select.rows(cols, facts[key]["exc_types"]))
        if rows:
            yield key, cols, rows


def _slowest_rows(
    conn: sqlite3.Connection,
    groups: Iterable[tuple[Any, ...]],
    facts: _Facts,
    select: _RowFilter,
    keep: int | None,
) -> Iterator[tuple[int, dict[str, Any], list[int]]]:
    """Rows longest first; with ``keep``, only that many (reading stops as soon as no
    other group can hold a longer call).  ``groups`` that are not a list come
    longest first already.

    Of a query for calls that raised, a summary row's longest call is bounded by
    the longest call that raised in its trace too."""

    def bound(group: tuple[Any, ...]) -> float | None:
        if not select.raised or len(group) < 8 or group[4] is None:
            return group[4]
        return min(group[4], group[7]) if group[7] is not None else None

    if isinstance(groups, list):
        ordered: Iterable[tuple[Any, ...]] = sorted(
            (g for g in groups if bound(g) is not None), key=bound, reverse=True
        )
    else:
        ordered = groups
    # (duration in seconds, tie, trace, row, columns): a min-heap; durations are
    # counted in each trace's own ticks, compared in seconds
    best: list[tuple[float, int, int, int, dict[str, Any]]] = []
    blocks = callindex.BlockCache()
    tie = 0
    for group in ordered:
        key = group[0]
        top = bound(group)
        if top is None:
            continue
        if keep is not None and len(best) >= keep and top <= best[0][0]:
            break
        cols = callindex.read_rows(conn, key, group[5], group[2], blocks)
        durations = cols["duration"]
        of = facts[key]
        tick = of["tick"]
        rows: Iterable[int] = select.rows(cols, of["exc_types"])
        if keep is not None:
            rows = heapq.nlargest(keep, rows, key=durations.__getitem__)
        for i in rows:
            if durations[i] < 0:
                continue
            d = durations[i] * tick
            tie -= 1
            item = (d, tie, key, i, cols)
            if keep is None or len(best) < keep:
                heapq.heappush(best, item)
            elif d > best[0][0]:
                heapq.heapreplace(best, item)
            else:
                break
    best.sort(reverse=True, key=lambda item: item[:2])
    for _, _, key, i, cols in best:
        yield key, cols, [i]


def _match(
    reader: callindex.RecordReader,
    of: _TraceOf,
    cols: dict[str, Any],
    i: int,
    predicates: list[Predicate],
) -> CallMatch | None:
    facts = {"trace_id": of.trace_id, "legacy": of.legacy}
    row = callindex.row_at(cols, i, of.base, of.tick)
    folded = row["outcome"] == callindex.FOLDED
    if folded and predicates:
        return None  # a folded range keeps no values
    truncated = False
    start = end = None
    if predicates:
        # Tested on the entries the predicates read, decoded alone (a record's
        # other values, most of it, are skipped); a call that passes is decoded
        # whole below.  The closing record first: most predicates read only it.
        wanted = _wanted(predicates)
        close = reader.closing(facts["trace_id"], row["open_pos"], row["close_after"])
        end = _peek(reader, facts, close, wanted)
        if any(p.where == "arg" or (p.where == "local" and end is None) for p in predicates):
            start = _peek(reader, facts, row["open_pos"], wanted)
        for predicate in predicates:
            # whether the value was cut matters only to a call that matches
            if not predicate.matches(start, end):
                return None
        truncated = any(_is_cut(p.value_in(start, end)[1]) for p in predicates)
    # the records are read again, whole, when the match's values are first asked for
    return CallMatch(of, cols, i, truncated)


# Rows whose records are searched for the predicates' bytes at once, at the most.
_SIFTED_ROWS = 4096


def _stretches(rows: list[int]) -> Iterator[list[int]]:
    """``rows`` in stretches whose records are searched at once (:func:`_sift`): the
    first ones short, since a query with a limit may need few rows."""
    size, at = 64, 0
    while at < len(rows):
        yield rows[at : at + size]
        at += size
        size = min(size * 4, _SIFTED_ROWS)


def _sift(
    reader: callindex.RecordReader,
    facts: dict[str, Any],
    cols: dict[str, Any],
    stretch: list[int],
    needles: list[Predicate],
) -> list[int]:
    """``stretch`` without the rows whose records lack the bytes a predicate needs
    (:attr:`Predicate.needle`): those calls cannot match, and are passed over
    without decoding.  A folded range (which keeps no values) never passes."""
    outcome = cols["outcome"]
    stretch = [i for i in stretch if outcome[i] != callindex.FOLDED]
    if facts["legacy"] is None:  # the values of a trace from before 0.2 are read as rewritten
        open_pos, close_after = cols["open_pos"], cols["close_after"]
        opening = [open_pos[i] for i in stretch]
        closing = [close_after[i] for i in stretch]
        keep = [True] * len(stretch)
        for predicate in needles:
            needle = predicate.needle
            assert needle is not None
            # a local is read from the closing record, or from the opening one when the
            # closing one is missing or unreadable: it must be in neither
            lacking = [True] * len(stretch)
            if predicate.where != "arg":
                lacking = reader.lacking(facts["trace_id"], opening, needle, closing)
            if predicate.where != "return":
                lacking = [
                    a and b
                    for a, b in zip(
                        lacking, reader.lacking(facts["trace_id"], opening, needle), strict=True
                    )
                ]
            keep = [k and not lacks for k, lacks in zip(keep, lacking, strict=True)]
        stretch = [i for i, k in zip(stretch, keep, strict=True) if k]
    return stretch


def _wanted(predicates: list[Predicate]) -> frozenset[str]:
    """The locals the predicates read (by their first name)."""
    return frozenset(p.name.split(".")[0] for p in predicates if p.name is not None)


# The entries of a record a predicate reads, besides the locals it names.
_PEEKED = frozenset(("type", "event", "arg"))


def _peek(
    reader: callindex.RecordReader,
    facts: dict[str, Any],
    pos: int | None,
    local_names: frozenset[str],
) -> dict[str, Any] | None:
    """The record at ``pos`` with only what :meth:`Predicate.test` reads decoded: its
    type, event and return value, whether it holds an exception, and the locals named
    (``None`` when not recorded; decoded whole when not a map as the engines write it)."""
    if pos is None or pos < 0:
        return None
    try:
        data = reader.read(facts["trace_id"], pos)
    except Exception:  # noqa: BLE001 - a damaged record: the call is shown without values
        return None
    if data is None:
        return None
    try:
        record = _entries(data, local_names)
    except Exception:  # noqa: BLE001 - not as the engines write it: decoded whole
        return _decode(reader, facts, pos)
    legacy = facts["legacy"]
    return record if legacy is None else upgrade_legacy_record(record, legacy)


def _entries(data: bytes, local_names: frozenset[str]) -> dict[str, Any]:
    import msgpack

    from vask.values import ext_hook

    unpacker = msgpack.Unpacker(
        raw=False, strict_map_key=False, unicode_errors="replace", ext_hook=ext_hook
    )
    unpacker.feed(data)
    record: dict[str, Any] = {}
    for _ in range(unpacker.read_map_header()):
        key = unpacker.unpack()
        if key in _PEEKED:
            record[key] = unpacker.unpack()
        elif key == "exception":
            record[key] = True  # that it holds one is all a predicate asks
            unpacker.skip()
        elif key == "locals" and local_names:
            found = record[key] = {}
            for _ in range(unpacker.read_map_header()):
                name = unpacker.unpack()
                if isinstance(name, str) and name in local_names:
                    found[name] = unpacker.unpack()
                else:
                    unpacker.skip()
        elif key == "locals":
            record[key] = {}
            unpacker.skip()
        else:
            unpacker.skip()
    return record


def _decoded(data: bytes, legacy: bool | None) -> dict[str, Any] | None:
    from vask.document import decode_record

    try:
        record = decode_record(data)
    except Exception:  # noqa: BLE001 - a damaged record: the call is shown without values
        return None
    if not isinstance(record, dict):
        return None
    return record if legacy is None else upgrade_legacy_record(record, legacy)


def _decode(
    reader: callindex.RecordReader,
    facts: dict[str, Any],
    pos: int | None,
) -> dict[str, Any] | None:
    if pos is None or pos < 0:
        return None
    try:
        record = reader.decode(facts["trace_id"], pos, facts["legacy"])
    except Exception:  # noqa: BLE001 - a damaged record: the call is shown without values
        return None
    return record if isinstance(record, dict) else None
