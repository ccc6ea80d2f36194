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
import heapq
import math
import os
import re
import sqlite3
import threading
from collections.abc import Callable, Iterable, Iterator
from dataclasses import dataclass, field
from typing import Any

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


@dataclass
class CallMatch:
    """A call found across traces, with its values decoded."""

    trace_id: str
    #: the test the trace is of (its node id), and its outcome; ``None`` when none
    test: str | None
    test_outcome: str | None
    thread: str
    thread_name: str | None
    node: int
    qualname: str
    file: str
    line: int | None
    depth: int
    start: float | None
    duration: float | None
    #: "returned", "raised", "yielded", "unfinished" or "folded"
    outcome: str
    exception_type: str | None
    #: the number of calls of a folded range (``None`` for a call)
    folded: int | None
    #: whether a value predicate matched on a value the dumpers had cut
    truncated: bool = False
    # The opening and closing records: where they lie ((position, length) in the
    # trace, read through _records), decoded once read through start_record /
    # end_record.  A match whose values are never looked at reads nothing.
    _start: Any = field(default=None, repr=False, compare=False)
    _end: Any = field(default=None, repr=False, compare=False)
    _records: Any = field(default=None, repr=False, compare=False)
    #: how the trace stored its values, if before 0.2 (see vask.document.legacy_form)
    _legacy: bool | None = field(default=None, repr=False, compare=False)

    @property
    def start_record(self) -> dict[str, Any] | None:
        """The call's opening record, decoded (``None`` when not recorded)."""
        if isinstance(self._start, tuple):
            self._start = self._records.decoded(self.trace_id, *self._start, self._legacy)
        return self._start

    @property
    def end_record(self) -> dict[str, Any] | None:
        """The call's closing record, decoded (``None`` when not recorded)."""
        if isinstance(self._end, tuple):
            self._end = self._records.decoded(self.trace_id, *self._end, self._legacy)
        return self._end


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
        self, trace_id: str, pos: int, n: int, legacy: bool | None
    ) -> dict[str, Any] | None:
        with self._lock:
            try:
                if self._reader is None:
                    self._conn = schema.connect_readonly(
                        self.db_path, self.timeout, check_same_thread=False
                    )
                    # the matches' records are read one match at a time, as shown
                    self._reader = callindex.RecordReader(self._conn, _SHOWN_FRAME_BYTES)
                data = self._reader.read(trace_id, pos, n)
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
    """Index the traces the index does not cover yet; returns how many were indexed."""
    path = backend.locate(db_path)
    conn = schema.open_existing(path, timeout)
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
        yield from _query(
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
        )
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
) -> Iterator[CallMatch]:
    """The matches, read from the summary first and then from the blocks of the
    candidate traces only.

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
        yield from _matches(
            conn,
            names,
            _trace_rows_in_order(conn, callindex.traces_in_order(conn, **filters), raised, returned),
            predicates,
            limit,
            records,
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
        # the slowest of every name: read from the top of the summary, not all of it
        # (of the traces a filter picks, their rows, which the filter finds at once)
        longest_first=slowest is not None
        and every_name
        and test is None
        and outcome is None
        and trace is None,
    )
    if isinstance(groups, list) and not groups:
        return
    facts = _Facts(conn)
    cap = slowest
    if limit is not None:
        cap = limit if cap is None else min(cap, limit)
    select = _RowFilter(raised, returned)
    if slowest is not None:
        rows = _slowest_rows(conn, groups, facts, select, slowest if not predicates else None)
    else:
        rows = _rows_in_order(conn, groups, facts, select)
    yield from _matches(conn, names, rows, predicates, cap, records, facts)


def _matches(
    conn: sqlite3.Connection,
    names: dict[int, tuple[str, str]],
    rows: Iterable[tuple[int, dict[str, Any], int]],
    predicates: list[Predicate],
    cap: int | None,
    records: _Records,
    facts: dict[int, dict[str, Any]] | None = None,
) -> Iterator[CallMatch]:
    """The rows that pass the predicates as matches, ``cap`` of them at the most."""
    facts = facts if facts is not None else _Facts(conn)
    reader = callindex.RecordReader(conn)
    try:
        found = 0
        for key, cols, i in rows:
            if cap is not None and found >= cap:
                return
            match = _match(reader, facts[key], names, cols, i, predicates, records)
            if match is not None:
                found += 1
                yield match
    finally:
        reader.close()


class _Facts(dict):  # type: ignore[type-arg]
    """The facts of the traces (see :func:`callindex.trace_facts`), read when first asked."""

    def __init__(self, conn: sqlite3.Connection) -> None:
        super().__init__()
        self.conn = conn

    def __missing__(self, key: int) -> dict[str, Any]:
        found = callindex.trace_facts(self.conn, [key])[key]
        self[key] = found
        return found


class _RowFilter:
    """How a call ended, tested on the rows of the index."""

    def __init__(self, raised: bool | str, returned: bool) -> None:
        self.raised = raised
        self.returned = returned

    def rows(self, cols: dict[str, Any], exc_types: list[str]) -> Iterable[int]:
        outcomes = cols["outcome"]
        if not self.raised and not self.returned:
            return range(len(outcomes))
        if self.returned and self.raised:
            return ()
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


def _trace_rows_in_order(
    conn: sqlite3.Connection,
    traces: list[tuple[int, int]],
    raised: bool | str,
    returned: bool,
) -> Iterator[tuple[int, dict[str, Any], int]]:
    """Every row of ``traces`` (in their order) that ends as asked, each trace's rows in
    the order they started: as :func:`_rows_in_order` gives them for every name."""
    select = _RowFilter(raised, returned)
    facts = _Facts(conn)
    blocks: dict[Any, Any] = {}
    for key, count in traces:
        cols = callindex.read_rows(conn, key, 0, count, blocks)
        start, thread, node = cols["start"], cols["thread"], cols["node"]

        def began(i: int) -> tuple[int, int, int]:
            at = start[i]
            return (at if at >= 0 else _LAST, thread[i], node[i])

        for i in sorted(select.rows(cols, facts[key]["exc_types"]), key=began):
            yield key, cols, i


def _rows_in_order(
    conn: sqlite3.Connection,
    groups: list[tuple[Any, ...]],
    facts: dict[int, dict[str, Any]],
    select: _RowFilter,
) -> Iterator[tuple[int, dict[str, Any], int]]:
    blocks: dict[Any, Any] = {}
    by_trace: dict[int, list[tuple[Any, ...]]] = {}
    for group in groups:
        by_trace.setdefault(group[0], []).append(group)

    def first(key: int) -> tuple[float, int]:
        start = by_trace[key][0][7]
        return (start if start is not None else math.inf, key)

    for key in sorted(by_trace, key=first):
        streams = []
        for group in by_trace[key]:
            cols = callindex.read_rows(conn, key, group[6], group[2], blocks)
            # a name's rows are stored by start time already
            streams.append(_in_start_order(cols, select.rows(cols, facts[key]["exc_types"])))
        merged = streams[0] if len(streams) == 1 else heapq.merge(*streams)
        for *_, i, cols in merged:
            yield key, cols, i


def _in_start_order(
    cols: dict[str, Any], rows: Iterable[int]
) -> Iterator[tuple[int, int, int, int, dict[str, Any]]]:
    start, thread, node = cols["start"], cols["thread"], cols["node"]
    for i in rows:
        began = start[i]
        yield (began if began >= 0 else _LAST, thread[i], node[i], i, cols)


def _slowest_rows(
    conn: sqlite3.Connection,
    groups: Iterable[tuple[Any, ...]],
    facts: dict[int, dict[str, Any]],
    select: _RowFilter,
    keep: int | None,
) -> Iterator[tuple[int, dict[str, Any], int]]:
    """Rows longest first; with ``keep``, only that many (reading stops as soon as no
    other group can hold a longer call).  ``groups`` that are not a list come
    longest first already."""
    if isinstance(groups, list):
        ordered: Iterable[tuple[Any, ...]] = sorted(
            (g for g in groups if g[5] is not None), key=lambda g: g[5], reverse=True
        )
    else:
        ordered = groups
    best: list[tuple[int, int, int, int, dict[str, Any]]] = []  # a min-heap
    blocks: dict[Any, Any] = {}
    tie = 0
    for group in ordered:
        key = group[0]
        if keep is not None and len(best) >= keep and group[5] * 1e9 <= best[0][0]:
            break
        cols = callindex.read_rows(conn, key, group[6], group[2], blocks)
        durations = cols["duration"]
        rows = select.rows(cols, facts[key]["exc_types"])
        if keep is not None:
            rows = heapq.nlargest(keep, rows, key=durations.__getitem__)
        for i in rows:
            d = durations[i]
            if d < 0:
                continue
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
        yield key, cols, i


def _match(
    reader: callindex.RecordReader,
    facts: dict[str, Any],
    names: dict[int, tuple[str, str]],
    cols: dict[str, Any],
    i: int,
    predicates: list[Predicate],
    records: _Records,
) -> CallMatch | None:
    trace_id = facts["trace_id"]
    row = callindex.row_at(cols, i, facts["base"])
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
        end = _peek(reader, facts, row["close_pos"], row["close_len"], wanted)
        if any(p.where == "arg" or (p.where == "local" and end is None) for p in predicates):
            start = _peek(reader, facts, row["open_pos"], row["open_len"], wanted)
        for predicate in predicates:
            # whether the value was cut matters only to a call that matches
            if not predicate.matches(start, end):
                return None
        truncated = any(_is_cut(p.value_in(start, end)[1]) for p in predicates)
    # where the records lie: read when the match's values are first asked for
    end = (row["close_pos"], row["close_len"]) if row["close_pos"] >= 0 else None
    start = (row["open_pos"], row["open_len"]) if row["open_pos"] >= 0 and not folded else None
    thread_key, thread_name = facts["threads"][row["thread"]]
    qualname, file = names[row["name"]]
    exc = row["exc"]
    return CallMatch(
        trace_id=trace_id,
        test=facts["test"],
        test_outcome=facts["test_outcome"],
        thread=thread_key,
        thread_name=thread_name,
        node=row["node"],
        qualname=qualname,
        file=file,
        line=row["line"],
        depth=row["depth"],
        start=row["start"],
        duration=row["duration"],
        outcome=callindex.OUTCOME_NAMES[row["outcome"]],
        exception_type=facts["exc_types"][exc] if exc is not None else None,
        folded=row["folded"] if folded else None,
        truncated=truncated,
        _start=start,
        _end=end,
        _records=records,
        _legacy=facts["legacy"],
    )


def _wanted(predicates: list[Predicate]) -> frozenset[str]:
    """The locals the predicates read (by their first name)."""
    return frozenset(p.name.split(".")[0] for p in predicates if p.name is not None)


# The entries of a record a predicate reads, besides the locals it names.
_PEEKED = frozenset(("type", "event", "arg"))


def _peek(
    reader: callindex.RecordReader,
    facts: dict[str, Any],
    pos: int | None,
    n: int | None,
    local_names: frozenset[str],
) -> dict[str, Any] | None:
    """The record at ``pos`` with only what :meth:`Predicate.test` reads decoded: its
    type, event and return value, whether it holds an exception, and the locals named
    (``None`` when not recorded; decoded whole when not a map as the engines write it)."""
    if pos is None or n is None or pos < 0:
        return None
    try:
        data = reader.read(facts["trace_id"], pos, n)
    except Exception:  # noqa: BLE001 - a damaged record: the call is shown without values
        return None
    if data is None:
        return None
    try:
        record = _entries(data, local_names)
    except Exception:  # noqa: BLE001 - not as the engines write it: decoded whole
        return _decode(reader, facts, pos, n)
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
    n: int | None,
) -> dict[str, Any] | None:
    if pos is None or n is None or pos < 0:
        return None
    try:
        record = reader.decode(facts["trace_id"], pos, n, facts["legacy"])
    except Exception:  # noqa: BLE001 - a damaged record: the call is shown without values
        return None
    return record if isinstance(record, dict) else None
