"""The calls index: one row per recorded call of every stored trace, without values.

It lives in the trace database next to ``traces``, in tables of its own with
a version of its own (the table ``call_index_version``; the database's
``user_version`` belongs to the trace tables):

``call_traces``   one row per indexed trace id: ``last_row``, the newest
                  ``traces`` row the index covers (a trace saved again is
                  indexed again), its test's node id and outcome (those of
                  the root trace for a flushed subtree or a trace point),
                  its root trace id
``call_threads``  per indexed trace, its threads: ``seq``, key and name
``call_names``    (qualified name, file) pairs, named by number
``calls``         one row per node of a call tree that is a call (or the
                  resumed part of one), or a folded range of calls

A row of ``calls`` says where the call is (trace, thread, node and parent
node as :mod:`vask.traceindex` numbers them, depth), what it is (name, line),
when it ran (start, duration), how it ended (``outcome``: 0 returned,
1 raised, 2 yielded, 3 never closed, 4 a folded range), the exception type,
the number of calls of a folded range, and where its opening and closing
records lie in the trace's documents (positions as the trace index counts
them, the documents one after the other in storage order), so that a value
predicate decodes only those records.

Everything here reads the documents through :mod:`vask.storage.query` and
:mod:`vask.traceindex`: how pieces are stored stays theirs.
"""

from __future__ import annotations

import math
import re
import sqlite3
from collections.abc import Callable, Iterable
from typing import Any

from vask.document import decode_record, plausible_time
from vask.storage import query
from vask.storage.schema import transaction

__all__ = [
    "INDEX_VERSION",
    "OUTCOME_NAMES",
    "drop_orphans",
    "ensure_tables",
    "has_index",
    "index_traces",
    "pending_traces",
    "RecordReader",
    "reindex",
]

#: Version of the index tables; an index of another version is built again.
INDEX_VERSION = 1

#: ``calls.outcome`` by its code.
OUTCOME_NAMES = ("returned", "raised", "yielded", "unfinished", "folded")
RETURNED, RAISED, YIELDED, UNFINISHED, FOLDED = range(5)

_TABLES = (
    "CREATE TABLE IF NOT EXISTS call_index_version (version INTEGER NOT NULL)",
    """
    CREATE TABLE IF NOT EXISTS call_traces (
        id INTEGER PRIMARY KEY,
        trace_id TEXT NOT NULL UNIQUE,
        last_row INTEGER NOT NULL,
        root_trace_id TEXT,
        test TEXT,
        test_outcome TEXT
    )
    """,
    """
    CREATE TABLE IF NOT EXISTS call_threads (
        trace INTEGER NOT NULL,
        seq INTEGER NOT NULL,
        key TEXT NOT NULL,
        name TEXT,
        PRIMARY KEY (trace, seq)
    ) WITHOUT ROWID
    """,
    """
    CREATE TABLE IF NOT EXISTS call_names (
        id INTEGER PRIMARY KEY,
        qualname TEXT NOT NULL,
        file TEXT NOT NULL,
        UNIQUE (qualname, file)
    )
    """,
    """
    CREATE TABLE IF NOT EXISTS calls (
        trace INTEGER NOT NULL,
        thread INTEGER NOT NULL,
        node INTEGER NOT NULL,
        parent INTEGER NOT NULL,
        name INTEGER NOT NULL,
        line INTEGER,
        depth INTEGER NOT NULL,
        start REAL,
        duration REAL,
        outcome INTEGER NOT NULL,
        exc_type TEXT,
        folded INTEGER,
        open_pos INTEGER,
        open_len INTEGER,
        close_pos INTEGER,
        close_len INTEGER
    )
    """,
    "CREATE INDEX IF NOT EXISTS calls_by_name ON calls (name, duration)",
    "CREATE INDEX IF NOT EXISTS calls_by_trace ON calls (trace)",
)

# The type of the record a range of folded calls leaves.
FOLDED_TYPE = "folded"

_INDEX_TABLES = ("calls", "call_names", "call_threads", "call_traces", "call_index_version")

# The type an exception's stored text names: ``ValueError('x')``, ``pkg.Error: x``.
_EXC_TYPE = re.compile(r"^\s*<?([A-Za-z_][\w.]*)")

# Traces whose documents together are smaller than this are read into memory
# to be indexed; larger ones are read part by part from the database.
_IN_MEMORY = 256 << 20


def has_index(conn: sqlite3.Connection) -> bool:
    """Whether the database holds index tables of this version."""
    found = conn.execute(
        "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'call_index_version'"
    ).fetchone()
    if found is None:
        return False
    row = conn.execute("SELECT version FROM call_index_version").fetchone()
    return row is not None and row[0] == INDEX_VERSION


def ensure_tables(conn: sqlite3.Connection) -> None:
    """Create the index tables (inside the caller's transaction); an index of another
    version is dropped first, to be built again."""
    if has_index(conn):
        return
    for table in _INDEX_TABLES:
        conn.execute(f"DROP TABLE IF EXISTS {table}")
    for statement in _TABLES:
        conn.execute(statement)
    conn.execute("INSERT INTO call_index_version VALUES (?)", (INDEX_VERSION,))


def drop_orphans(conn: sqlite3.Connection) -> None:
    """Drop the index rows of traces no longer stored (inside the transaction that
    deleted them)."""
    found = conn.execute(
        "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'call_traces'"
    ).fetchone()
    if found is None:
        return
    gone = [
        row[0]
        for row in conn.execute(
            "SELECT id FROM call_traces WHERE trace_id NOT IN (SELECT trace_id FROM traces)"
        )
    ]
    _drop(conn, gone)


def _drop(conn: sqlite3.Connection, keys: list[int]) -> None:
    for key in keys:
        conn.execute("DELETE FROM calls WHERE trace = ?", (key,))
        conn.execute("DELETE FROM call_threads WHERE trace = ?", (key,))
        conn.execute("DELETE FROM call_traces WHERE id = ?", (key,))


def pending_traces(conn: sqlite3.Connection) -> list[str]:
    """The trace ids whose newest document the index does not cover yet, oldest first."""
    if not has_index(conn):
        rows = conn.execute("SELECT trace_id, MAX(id) AS last FROM traces GROUP BY trace_id")
        return [r[0] for r in sorted(rows, key=lambda r: r[1])]
    rows = conn.execute(
        """
        SELECT t.trace_id, MAX(t.id) AS last FROM traces t
          LEFT JOIN call_traces c ON c.trace_id = t.trace_id
         GROUP BY t.trace_id
        HAVING MAX(t.id) > COALESCE(MAX(c.last_row), 0)
         ORDER BY last
        """
    )
    return [r[0] for r in rows]


def index_traces(
    conn: sqlite3.Connection,
    trace_ids: Iterable[str],
    progress: Callable[[int, int], None] | None = None,
) -> int:
    """Index the given traces (again, when indexed before); returns the calls indexed.

    Each trace is indexed in a transaction of its own, so that a store by
    another process waits for one trace at the most.  ``progress(done,
    total)`` is called after each trace.
    """
    ids = list(dict.fromkeys(trace_ids))
    if not has_index(conn):
        with transaction(conn):
            ensure_tables(conn)
    total = 0
    for done, trace_id in enumerate(ids, 1):
        rows = _trace_rows(conn, trace_id)
        with transaction(conn):
            total += _index_one(conn, trace_id, rows)
        if progress is not None:
            progress(done, len(ids))
    return total


def reindex(conn: sqlite3.Connection, progress: Callable[[int, int], None] | None = None) -> int:
    """Build the whole index again from the documents; returns the calls indexed."""
    with transaction(conn):
        for table in _INDEX_TABLES:
            conn.execute(f"DROP TABLE IF EXISTS {table}")
        ensure_tables(conn)
    ids = pending_traces(conn)
    return index_traces(conn, ids, progress)


# -- building ----------------------------------------------------------------


def _trace_rows(conn: sqlite3.Connection, trace_id: str) -> list[tuple[int, int]]:
    return query.document_rows(conn, trace_id)


def _index_one(conn: sqlite3.Connection, trace_id: str, rows: list[tuple[int, int]]) -> int:
    """Replace the index rows of ``trace_id`` by those of its documents ``rows``."""
    from vask import traceindex

    old = conn.execute("SELECT id FROM call_traces WHERE trace_id = ?", (trace_id,)).fetchone()
    if old is not None:
        _drop(conn, [old[0]])
    if not rows:
        return 0
    size = sum(s or 0 for _, s in rows)
    sources: list[Any]
    if size <= _IN_MEMORY:
        sources = [query.read_document_part(conn, row_id, 0, s or 0) for row_id, s in rows]
    else:
        import threading

        lock = threading.Lock()
        sources = [traceindex.StoredDocument(conn, lock, row_id, s or 0) for row_id, s in rows]
    index = traceindex.build_index(trace_id, sources)
    try:
        return _write_index(conn, trace_id, rows[-1][0], index)
    finally:
        for source in sources:
            if isinstance(source, traceindex.StoredDocument):
                source.close()


def _test_of(conn: sqlite3.Connection, trace_id: str, root: str | None) -> tuple[Any, Any]:
    """The test node id and outcome of a trace: its own, else its root trace's."""
    for tid in (trace_id, root):
        if tid is None:
            continue
        row = conn.execute(
            "SELECT trace_name, outcome FROM traces WHERE trace_id = ? AND outcome IS NOT NULL"
            " ORDER BY id DESC LIMIT 1",
            (tid,),
        ).fetchone()
        if row is not None:
            return row[0], row[1]
    return None, None


def _write_index(conn: sqlite3.Connection, trace_id: str, last_row: int, index: Any) -> int:
    from vask import traceindex as ti

    root = index.root_trace_id if isinstance(index.root_trace_id, str) else None
    test, outcome = _test_of(conn, trace_id, root)
    key = conn.execute(
        "INSERT INTO call_traces (trace_id, last_row, root_trace_id, test, test_outcome)"
        " VALUES (?, ?, ?, ?, ?)",
        (trace_id, last_row, root, test, outcome),
    ).lastrowid
    names: dict[tuple[str, str], int] = {}

    def name_id(qualname: str, file: str) -> int:
        found = names.get((qualname, file))
        if found is not None:
            return found
        row = conn.execute(
            "SELECT id FROM call_names WHERE qualname = ? AND file = ?", (qualname, file)
        ).fetchone()
        if row is None:
            row = (
                conn.execute(
                    "INSERT INTO call_names (qualname, file) VALUES (?, ?)", (qualname, file)
                ).lastrowid,
            )
        names[(qualname, file)] = row[0]
        return row[0]

    out: list[tuple[Any, ...]] = []
    count = 0
    for seq, thread in enumerate(index.ordered_threads()):
        conn.execute(
            "INSERT INTO call_threads (trace, seq, key, name) VALUES (?, ?, ?, ?)",
            (key, seq, thread.key, thread.name),
        )
        # node -> (qualname, file, line) read from the opening record's head, by name id
        paths: dict[int, str] = {}
        for depth, node in thread.walk(0):
            kind = thread.kind[node]
            if kind == ti.NODE_CALL:
                row = _call_row(thread, node, depth, paths, name_id)
            elif kind == ti.NODE_PLUGIN:
                row = _folded_row(thread, node, depth, name_id)
            else:
                row = None
            if row is None:
                continue
            out.append((key, seq, *row))
            count += 1
            if len(out) >= 4096:
                _insert_calls(conn, out)
                out.clear()
    _insert_calls(conn, out)
    return count


def _insert_calls(conn: sqlite3.Connection, rows: list[tuple[Any, ...]]) -> None:
    conn.executemany(
        "INSERT INTO calls (trace, thread, node, parent, name, line, depth, start, duration,"
        " outcome, exc_type, folded, open_pos, open_len, close_pos, close_len)"
        " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
        rows,
    )


def _finite(x: float) -> float | None:
    return x if math.isfinite(x) else None


def _span(thread: Any, rec: int) -> tuple[int | None, int | None]:
    if rec < 0:
        return None, None
    pos, end = thread.record_span(rec)
    return pos, end - pos


def _path_of(thread: Any, rec: int) -> str | None:
    """The "path" entry of a frame record, read from its head when in the engines' layout."""
    pos, n = _span(thread, rec)
    if pos is None or n is None:
        return None
    from vask.traceindex import _FRAME_HEAD, _str_span

    head = thread.trace.read(pos, min(n, 512))
    if head.startswith(_FRAME_HEAD):
        try:
            a, b = _str_span(head, 6)
            if b <= len(head):
                return head[a:b].decode("utf-8", "replace")
        except (ValueError, IndexError):
            pass
    record = thread.record(rec)
    path = record.get("path") if isinstance(record, dict) else None
    return path if isinstance(path, str) else None


def _split_path(path: str | None) -> tuple[str, int | None]:
    if not path:
        return "?", None
    file, _, line = path.rpartition(":")
    if not file:
        return path, None
    return file, int(line) if line.isdigit() else None


def _call_row(
    thread: Any, node: int, depth: int, paths: dict[int, str], name_id: Callable[..., int]
) -> tuple[Any, ...]:
    open_rec = thread.open_rec[node]
    close_rec = thread.close_rec[node]
    first = open_rec if open_rec >= 0 else close_rec
    info = thread.node_name(node)
    qualname = info.qualname if info is not None else "?"
    file, line = _split_path(_path_of(thread, first))
    close_kind = thread.rec_kind[close_rec] if close_rec >= 0 else None
    exc_type = None
    if close_kind is None:
        outcome = UNFINISHED
    elif close_kind == 2:  # unwind
        outcome = RAISED
        record = thread.record(close_rec)
        exc = record.get("exception") if isinstance(record, dict) else None
        exc_type = _exception_type(exc)
    elif close_kind == 4:
        outcome = YIELDED
    else:
        outcome = RETURNED
    start, end = thread.start[node], thread.end[node]
    duration = _finite(end - start)
    open_pos, open_len = _span(thread, open_rec) if open_rec >= 0 else (None, None)
    close_pos, close_len = _span(thread, close_rec)
    return (
        node,
        thread.parent[node],
        name_id(qualname, file),
        line,
        depth,
        _finite(start),
        duration,
        outcome,
        exc_type,
        None,
        open_pos,
        open_len,
        close_pos,
        close_len,
    )


def _exception_type(exc: Any) -> str | None:
    if exc is None:
        return None
    if isinstance(exc, dict):
        for key in ("type", "exc_type", "class"):
            value = exc.get(key)
            if isinstance(value, str):
                return value
    text = exc if isinstance(exc, str) else str(getattr(exc, "text", exc))
    match = _EXC_TYPE.match(text)
    return match.group(1) if match else None


def _folded_row(
    thread: Any, node: int, depth: int, name_id: Callable[..., int]
) -> tuple[Any, ...] | None:
    record = thread.record(thread.open_rec[node])
    if not isinstance(record, dict) or record.get("type") != FOLDED_TYPE:
        return None
    qualname = record.get("qualname")
    if not isinstance(qualname, str):
        co_name = record.get("co_name")
        qualname = co_name if isinstance(co_name, str) else "?"
    path = record.get("path")
    file, line = _split_path(path if isinstance(path, str) else None)
    count = record.get("count")
    count = count if isinstance(count, int) and not isinstance(count, bool) else None
    total = record.get("total_duration")
    total = (
        float(total) if isinstance(total, (int, float)) and not isinstance(total, bool) else None
    )
    start = plausible_time(record.get("first_timestamp"))
    pos, n = _span(thread, thread.open_rec[node])
    return (
        node,
        thread.parent[node],
        name_id(qualname, file),
        line,
        depth,
        start,
        _finite(total) if total is not None else None,
        FOLDED,
        None,
        count,
        pos,
        n,
        None,
        None,
    )


class RecordReader:
    """Reads records of stored traces at the positions the index gives, keeping each
    document's reader open (a new blob handle per record walks the piece's pages)."""

    def __init__(self, conn: sqlite3.Connection) -> None:
        self.conn = conn
        self._rows: dict[str, list[tuple[int, int]]] = {}
        self._readers: dict[int, query.DocumentReader] = {}

    def decode(self, trace_id: str, pos: int, n: int) -> Any:
        """The record at trace position ``pos`` (``n`` bytes) of ``trace_id``, decoded."""
        rows = self._rows.get(trace_id)
        if rows is None:
            rows = self._rows[trace_id] = query.document_rows(self.conn, trace_id)
        base = 0
        for row_id, size in rows:
            size = size or 0
            if pos < base + size:
                reader = self._readers.get(row_id)
                if reader is None:
                    if len(self._readers) >= 64:
                        self._readers.pop(next(iter(self._readers))).close()
                    reader = self._readers[row_id] = query.open_document(self.conn, row_id)
                return decode_record(reader.read(pos - base, n))
            base += size
        return None

    def close(self) -> None:
        for reader in self._readers.values():
            reader.close()
        self._readers.clear()
