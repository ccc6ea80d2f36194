"""Reading the trace database: traces listed and summed, documents read part by part.

Every function here reads through a read-only connection
(:func:`vask.storage.schema.connect_readonly`) and never changes a database;
one that does not exist reads as empty.  Every stored value is untrusted: a
``data`` that is no byte string reads as an empty document, and texts, times
and counts of the wrong type or out of range read as missing.
"""

from __future__ import annotations

import bisect
import math
import os
import sqlite3
from collections.abc import Callable, Iterable
from typing import Any, NamedTuple

from vask.document import (
    OUTCOMES,
    pid_or_none,
    plausible_time,
    read_process_facts,
    text_or_none,
    trace_point_meta,
)
from vask.storage import backend, codec
from vask.storage.schema import PROCESS_COLUMNS, columns, has_pieces, reading

__all__ = [
    "DocumentReader",
    "RootTotals",
    "TracePoint",
    "TraceSummary",
    "child_traces",
    "document_rows",
    "list_traces",
    "load_trace",
    "open_document",
    "process_tree",
    "read_document_part",
    "root_totals",
    "stored_count",
    "stored_process",
    "trace_points",
]


class TraceSummary(NamedTuple):
    """One trace id of the database, as :func:`list_traces` reports it."""

    trace_id: str
    root_trace_id: str | None
    #: Name of the latest document of the trace that has one.
    trace_name: str | None
    #: The tracing start time of the latest document.
    timestamp: float | None
    #: When the latest document was stored.
    stored_at: float | None
    #: Number of documents (rows) stored under the trace id.
    documents: int
    #: Total size of those documents in bytes.
    size: int
    #: Total number of call records in those documents.
    calls: int
    #: The outcome of the test the trace is of (see :data:`OUTCOMES`), or ``None``.
    outcome: str | None = None
    #: The process that recorded the latest document, and the traced process
    #: (and its trace) that started it; ``None`` where not known.
    pid: int | None = None
    parent_pid: int | None = None
    parent_trace_id: str | None = None
    #: A multiprocessing child's name, or the command of a followed process.
    process_name: str | None = None


class RootTotals(NamedTuple):
    """A root trace with the subtrees flushed from it, as :func:`root_totals` counts it."""

    root_trace_id: str
    #: Rows of the root id and of its subtrees.
    documents: int
    #: Number of subtree trace ids (stored apart from the root's own rows).
    subtrees: int
    #: Total size of all those rows in bytes.
    size: int
    #: Total number of call records in all those rows.
    calls: int
    #: The part of ``calls`` that is in the subtrees.
    subtree_calls: int
    #: Trace points linked to the root (:func:`trace_points`); not counted above.
    trace_points: int = 0


class TracePoint(NamedTuple):
    """A stored trace point, as :func:`trace_points` finds it.

    A trace point is a completed call of a function named under the
    configuration key ``trace_points``, stored as a trace of its own while
    the program ran.  Its document is an ordinary trace document whose
    ``root_trace_id`` is the trace it fired in and whose ``meta`` holds
    ``trace_point``: ``{"co_name", "thread", "frame_id"}``.  Its records are
    in that trace too, so it is not counted in the trace's totals.
    """

    trace_id: str
    #: The trace that was being recorded when it fired.
    root_trace_id: str
    #: The function's name.
    co_name: str | None
    #: The key of the thread it ran in.
    thread: str | None
    #: The frame id of the call, as the records of the root trace have it.
    frame_id: str | None
    #: When the call began.
    timestamp: float | None
    documents: int
    size: int
    calls: int


# The length of a stored value as the readers take it: a text as its UTF-8
# bytes, anything else that is no byte string as nothing.
_LENGTH = (
    "CASE typeof(data) WHEN 'blob' THEN length(data)"
    " WHEN 'text' THEN length(CAST(data AS BLOB)) ELSE 0 END"
)
# A stored value as bytes, by the same rule.
_AS_BYTES = (
    "CASE typeof(data) WHEN 'blob' THEN data WHEN 'text' THEN CAST(data AS BLOB) ELSE X'' END"
)
# PostgreSQL's columns have one type: a ``bytea`` is bytes.
_PG_LENGTH = "octet_length(data)"


def _length(conn: Any) -> str:
    return _PG_LENGTH if backend.is_postgres(conn) else _LENGTH


def _is_text(conn: Any, column: str) -> str:
    """The condition that ``column`` holds a text (always, in PostgreSQL)."""
    return f"{column} IS NOT NULL" if backend.is_postgres(conn) else f"typeof({column}) = 'text'"


def _rowid(conn: Any) -> str:
    return "id" if backend.is_postgres(conn) else "rowid"


def _document_parts(conn: Any, row_id: int) -> list[tuple[str, int, int]]:
    """(table, row id, length) of each piece of a row's document, in order."""
    _LENGTH = _length(conn)
    parts = conn.execute(f"SELECT 'traces', id, {_LENGTH} FROM traces WHERE id = ?", (row_id,))
    found = [(t, i, stored_count(n)) for t, i, n in parts.fetchall()]
    if found and has_pieces(conn):
        pieces = conn.execute(
            f"SELECT 'trace_pieces', id, {_LENGTH} FROM trace_pieces"
            " WHERE trace_row = ? ORDER BY seq",
            (row_id,),
        )
        found += [(t, i, stored_count(n)) for t, i, n in pieces.fetchall()]
    return [(t, i, n) for t, i, n in found if isinstance(i, int)]


def stored_process(conn: sqlite3.Connection, trace_id: str) -> dict[str, Any]:
    """The process facts stored with the first document of ``trace_id`` (as
    :func:`vask.document.read_process_facts` gives them); all ``None`` in a
    database of a version that stored none."""
    try:
        row = conn.execute(
            "SELECT pid, parent_pid, parent_trace_id, process_name FROM traces"
            " WHERE trace_id = ? ORDER BY id LIMIT 1",
            (trace_id,),
        ).fetchone()
    except sqlite3.OperationalError:  # no such columns
        row = None
    keys = ("pid", "parent_pid", "parent_trace_id", "name")
    return read_process_facts(dict(zip(keys, row or (None,) * 4)))


def document_rows(conn: sqlite3.Connection, trace_id: str) -> list[tuple[int, int]]:
    """(row id, length) of each document stored under ``trace_id``, in storage order.

    The length counts every piece; of a compressed document it is the length
    of the document itself.  As in :func:`load_trace`, a text counts as its
    UTF-8 bytes and any other value that is no byte string as an empty
    document.
    """
    stored = f"{_LENGTH}"
    if backend.is_postgres(conn):
        stored = (
            "octet_length(t.data) + COALESCE((SELECT SUM(octet_length(p.data))"
            " FROM trace_pieces p WHERE p.trace_row = t.id), 0)"
        )
    elif has_pieces(conn):
        stored = (
            f"{_LENGTH} + COALESCE((SELECT SUM(CASE typeof(p.data)"
            " WHEN 'blob' THEN length(p.data) WHEN 'text' THEN length(CAST(p.data AS BLOB))"
            " ELSE 0 END) FROM trace_pieces p WHERE p.trace_row = t.id), 0)"
        )
    if "codec" in columns(conn):
        stored = f"CASE WHEN t.codec IS NULL THEN {stored} ELSE t.size END"
    rows = conn.execute(
        f"SELECT t.id, {stored} FROM traces t WHERE t.trace_id = ? ORDER BY t.id", (trace_id,)
    ).fetchall()
    return [(row_id, stored_count(length)) for row_id, length in rows]


def holds_document(
    conn: sqlite3.Connection, trace_id: str, size: int, read: Callable[[int, int], bytes]
) -> bool:
    """Whether a document of ``size`` bytes, read by ``read(offset, n)``, is stored under
    ``trace_id`` with the same bytes (compared a part at a time: it may be larger than
    memory should hold)."""
    for row_id, stored_size in document_rows(conn, trace_id):
        if stored_size != size:
            continue
        stored = DocumentReader(conn, row_id)
        try:
            offset = 0
            while offset < size:
                n = min(256 << 10, size - offset)
                if stored.read(offset, n) != read(offset, n):
                    break
                offset += n
            else:
                return True
        finally:
            stored.close()
    return False


def _compression(conn: sqlite3.Connection, row_id: int) -> tuple[Any, ...] | None:
    """(codec, dictionary id, frame table, document length) of a compressed row, or
    ``None`` for a document stored as written (and in a database of version 1 or 2)."""
    try:
        found = conn.execute(
            "SELECT codec, dictionary, frames, size FROM traces WHERE id = ?", (row_id,)
        ).fetchone()
    except sqlite3.OperationalError:  # no such columns: stored before compression
        return None
    if found is None or found[0] is None:
        return None
    return found


class DocumentReader:
    """A stored document read part by part, as one stream across its pieces and,
    when it is compressed, its frames (:mod:`vask.storage.codec`).

    Of a compressed document the offsets are those of the document itself;
    reading a part decompresses the frames holding it, and the frame read
    last is kept for the next read (with a ``cache``, the frames read are kept
    there, shared with the other readers given it).  A damaged frame ends a read as a
    truncated document does; a codec or dictionary this vask does not know
    reads as an empty document.  Not safe for use by two threads at once:
    the caller serialises it (and every other use of ``conn``).
    """

    def __init__(
        self, conn: sqlite3.Connection, row_id: int, cache: codec.FrameCache | None = None
    ) -> None:
        self.conn = conn
        self.row_id = row_id
        self._pieces = _PieceReader(conn, row_id)
        self._frames: codec.FrameReader | None = None
        #: The length of the document, every piece counted.
        self.size = self._pieces.size
        packed = _compression(conn, row_id)
        if packed is not None:
            name, dictionary, table, size = packed
            self.size = 0
            if name == codec.CODEC and isinstance(dictionary, int):
                try:
                    self._frames = codec.FrameReader(
                        self._pieces.read, stored_count(size), dictionary, table, cache, row_id
                    )
                except codec.CorruptFrame:
                    pass
                else:
                    self.size = self._frames.size

    @property
    def frame_reader(self) -> codec.FrameReader | None:
        """The reader of the frames of a compressed document (``None`` for a document
        stored as written): of offsets in the document, as :meth:`read` takes them."""
        return self._frames

    def read(self, offset: int, n: int) -> bytes:
        """``n`` bytes (fewer at the end) from ``offset`` on."""
        if self._frames is not None:
            return self._frames.read(offset, n)
        if self.size == 0:
            return b""
        return self._pieces.read(offset, n)

    def close(self) -> None:
        """Let go of the piece (and the frame) being read."""
        if self._frames is not None:
            self._frames.close()
        self._pieces.close()


class _PieceReader:
    """A stored row's bytes read part by part, as one stream across its pieces.
    Each piece is read through a blob handle (Python 3.11+), kept open while
    reads stay in it: reading a far part of a large piece through one handle
    is cheap, where a new handle walks its pages from the start.  Without
    incremental blob I/O (Python 3.10) the piece being read is held whole
    instead.  A handle whose row changed is opened again once.  Not safe for
    use by two threads at once: the caller serialises it (and every other use
    of ``conn``).
    """

    def __init__(self, conn: sqlite3.Connection, row_id: int) -> None:
        self.conn = conn
        self.row_id = row_id
        self._parts = _document_parts(conn, row_id)
        self._bases = []
        total = 0
        for _, _, length in self._parts:
            self._bases.append(total)
            total += length
        #: The length of the document, every piece counted.
        self.size = total
        self._current: tuple[int, Any] | None = None  # (part, blob handle or bytes)

    def read(self, offset: int, n: int) -> bytes:
        """``n`` bytes (fewer at the end) from ``offset`` on."""
        out = []
        while n > 0 and 0 <= offset < self.size:
            part = bisect.bisect_right(self._bases, offset) - 1
            within = offset - self._bases[part]
            take = min(n, self._parts[part][2] - within)
            if take <= 0:
                break
            data = self._read_part(part, within, take)
            if not data:
                break
            out.append(data)
            offset += len(data)
            n -= len(data)
        return b"".join(out)

    def _read_part(self, part: int, within: int, n: int) -> bytes:
        for attempt in (1, 2):
            source = self._open(part)
            if isinstance(source, bytes):
                return source[within : within + n]
            try:
                source.seek(within)
                return source.read(n)
            except sqlite3.Error:
                self.close()  # the row changed under the handle: open it again once
                if attempt == 2:
                    raise
        raise AssertionError("unreachable")

    def _open(self, part: int) -> Any:
        if self._current is not None and self._current[0] == part:
            return self._current[1]
        self.close()
        table, row_id, _ = self._parts[part]
        source: Any = None
        if backend.is_postgres(self.conn):
            source = _PgPart(self.conn, table, row_id)
        elif hasattr(self.conn, "blobopen"):
            try:
                source = self.conn.blobopen(table, "data", row_id, readonly=True)
            except sqlite3.Error:
                source = None  # not a blob (a text value)
        if source is None:
            row = self.conn.execute(
                f"SELECT {_AS_BYTES} FROM {table} WHERE id = ?", (row_id,)
            ).fetchone()
            source = bytes(row[0]) if row and isinstance(row[0], bytes) else b""
        self._current = (part, source)
        return source

    def close(self) -> None:
        """Let go of the piece being read."""
        current, self._current = self._current, None
        if current is not None and not isinstance(current[1], bytes):
            try:
                current[1].close()
            except sqlite3.Error:
                pass


class _PgPart:
    """A piece of a PostgreSQL row read part by part: only the part asked for crosses
    the connection (the pieces are stored uncompressed by the server)."""

    def __init__(self, conn: Any, table: str, row_id: int) -> None:
        self._query = f"SELECT substring(data FROM ? FOR ?) FROM {table} WHERE id = ?"
        self._conn = conn
        self._row_id = row_id
        self._offset = 0

    def seek(self, offset: int) -> None:
        self._offset = offset

    def read(self, n: int) -> bytes:
        row = self._conn.execute(self._query, (self._offset + 1, n, self._row_id)).fetchone()
        data = bytes(row[0]) if row and row[0] is not None else b""
        self._offset += len(data)
        return data

    def close(self) -> None:
        pass


def open_document(
    conn: sqlite3.Connection, row_id: int, cache: codec.FrameCache | None = None
) -> DocumentReader:
    """A reader of a row's document, across its pieces (see :class:`DocumentReader`)."""
    return DocumentReader(conn, row_id, cache)


def read_document_part(conn: sqlite3.Connection, row_id: int, offset: int, n: int) -> bytes:
    """``n`` bytes of a row's document from ``offset`` on, reading no more of it than needed.

    Without incremental blob I/O (Python 3.10) SQLite reads the whole piece
    to cut the part out.
    """
    reader = DocumentReader(conn, row_id)
    try:
        return reader.read(offset, n)
    finally:
        reader.close()


def stored_count(value: Any) -> int:
    """A stored count or size as a non-negative int; anything else counts as 0."""
    if isinstance(value, bool):
        return 0
    if isinstance(value, float) and math.isfinite(value):
        value = int(value)
    return value if isinstance(value, int) and 0 <= value < 1 << 63 else 0


def list_traces(
    db_path: str | os.PathLike[str],
    limit: int | None = None,
    timeout: float = 60,
    *,
    grep: str | None = None,
    outcome: str | None = None,
) -> list[TraceSummary]:
    """One summary per trace id, the most recently stored first.

    ``grep`` keeps the traces whose name or id holds that text (in any
    case), ``outcome`` those of tests with that outcome; ``limit`` caps the
    number of summaries, after those filters.  A missing database has no
    traces.  Rows whose trace id is not a text are not traces vask stored and
    are left out.
    """
    filtered = grep is not None or outcome is not None
    with reading(db_path, timeout) as conn:
        if conn is None:
            return []
        present = columns(conn)
        outcome_column = "latest.outcome" if "outcome" in present else "NULL"
        process = ", ".join(
            f"latest.{name}" if name in present else "NULL" for name in PROCESS_COLUMNS
        )
        # One pass over the table, then lookups by rowid (the id vask writes
        # is the rowid): linear in the rows even where the indexes are gone.
        rowid = _rowid(conn)
        everything = None if backend.is_postgres(conn) else -1
        rows = conn.execute(
            f"""
            SELECT g.trace_id, latest.root_trace_id, named.trace_name, latest.timestamp,
                   g.stored_at, g.documents, g.size, g.calls, {outcome_column}, {process}
              FROM (SELECT trace_id, MAX({rowid}) AS last,
                           MAX(CASE WHEN trace_name IS NOT NULL THEN {rowid} END) AS last_named,
                           MAX(stored_at) AS stored_at, COUNT(*) AS documents,
                           SUM(size) AS size, SUM(calls) AS calls
                      FROM traces
                     WHERE {_is_text(conn, "trace_id")}
                     GROUP BY trace_id) g
              JOIN traces latest ON latest.{rowid} = g.last
              LEFT JOIN traces named ON named.{rowid} = g.last_named
             ORDER BY g.last DESC
             LIMIT ?
            """,
            (everything if limit is None or filtered else max(limit, 0),),
        ).fetchall()
    summaries = [
        TraceSummary(
            trace_id,
            text_or_none(root),
            text_or_none(name),
            plausible_time(timestamp),
            plausible_time(stored_at),
            stored_count(documents),
            stored_count(size),
            stored_count(calls),
            test_outcome if test_outcome in OUTCOMES else None,
            pid_or_none(pid),
            pid_or_none(parent_pid),
            text_or_none(parent_trace_id),
            text_or_none(process_name),
        )
        for (
            trace_id,
            root,
            name,
            timestamp,
            stored_at,
            documents,
            size,
            calls,
            test_outcome,
            pid,
            parent_pid,
            parent_trace_id,
            process_name,
        ) in rows
    ]
    if grep is not None:
        needle = grep.casefold()
        summaries = [
            s
            for s in summaries
            if needle in s.trace_id.casefold() or needle in (s.trace_name or "").casefold()
        ]
    if outcome is not None:
        summaries = [s for s in summaries if s.outcome == outcome]
    return summaries if limit is None else summaries[: max(limit, 0)]


def process_tree(summaries: list[TraceSummary]) -> list[tuple[int, TraceSummary]]:
    """(depth, summary) of every summary, the traces of child processes under their parent's.

    A run (a trace with the traces of the processes it started, and theirs)
    stands where its most recently stored trace puts it in ``summaries``;
    children follow their parent in the order they started.  Flushed
    subtrees and traces whose parent is not listed stand on their own.
    """
    by_id = {s.trace_id: s for s in summaries}
    children: dict[str, list[TraceSummary]] = {}
    tops = []
    for s in summaries:
        parent = s.parent_trace_id
        is_root = s.root_trace_id in (None, s.trace_id)
        if is_root and parent is not None and parent != s.trace_id and parent in by_id:
            children.setdefault(parent, []).append(s)
        else:
            tops.append(s)
    for kids in children.values():
        kids.sort(key=lambda s: (s.timestamp if s.timestamp is not None else math.inf, s.trace_id))
    position = {s.trace_id: i for i, s in enumerate(summaries)}
    placed: set[str] = set()

    def group(top: TraceSummary) -> list[tuple[int, TraceSummary]]:
        found = []
        stack = [(top, 0)]
        while stack:
            s, depth = stack.pop()
            if s.trace_id in placed:
                continue
            placed.add(s.trace_id)
            found.append((depth, s))
            stack.extend((kid, depth + 1) for kid in reversed(children.get(s.trace_id, ())))
        return found

    groups = [group(top) for top in tops]
    groups.sort(key=lambda found: min(position[s.trace_id] for _, s in found))
    # Parents that are each other's children (a damaged database) reach no
    # top: they stand on their own.
    groups += [group(s) for s in summaries if s.trace_id not in placed]
    return [item for found in groups for item in found]


def child_traces(
    db_path: str | os.PathLike[str], trace_ids: Iterable[str], timeout: float = 60
) -> dict[str, list[str]]:
    """The traces of the processes each of ``trace_ids`` started, oldest first.

    These are the root traces whose ``parent_trace_id`` is the given id (the
    processes started while it was recorded; their own children are theirs);
    subtrees flushed from a child's trace belong to that trace.
    """
    ids = list(dict.fromkeys(trace_ids))
    found: dict[str, list[str]] = {trace_id: [] for trace_id in ids}
    with reading(db_path, timeout) as conn:
        if conn is None or "parent_trace_id" not in columns(conn):
            return found
        for trace_id in ids:
            rows = conn.execute(
                "SELECT trace_id FROM traces WHERE parent_trace_id = ?"
                f" AND {_is_text(conn, 'trace_id')}"
                " AND (root_trace_id IS NULL OR root_trace_id = trace_id)"
                " GROUP BY trace_id ORDER BY MIN(timestamp), MIN(id)",
                (trace_id,),
            ).fetchall()
            found[trace_id] = [row[0] for row in rows if row[0] != trace_id]
    return found


def load_trace(db_path: str | os.PathLike[str], trace_id: str, timeout: float = 60) -> list[bytes]:
    """The documents stored under ``trace_id``, in the order they were stored, each whole.

    A stored value that is no byte string reads as an empty document (a
    text as its UTF-8 bytes), which the readers name as damaged.  Reading
    large traces part by part is :class:`DocumentReader`'s.
    """
    with reading(db_path, timeout) as conn:
        if conn is None:
            return []
        out = []
        for row_id, size in document_rows(conn, trace_id):
            reader = DocumentReader(conn, row_id)
            try:
                out.append(reader.read(0, reader.size))
            finally:
                reader.close()
        return out


def root_totals(
    db_path: str | os.PathLike[str],
    root_trace_id: str | None = None,
    timeout: float = 60,
    points: dict[str, TracePoint] | None = None,
) -> dict[str, RootTotals]:
    """Totals over every row of each root trace: its own and its flushed subtrees'.

    Subtrees (nested flushes too) are the rows whose ``root_trace_id`` is the
    root's id; a root that was never stored itself still has totals.  With
    ``root_trace_id`` only that root is counted.  Trace points linked to a
    root (:func:`trace_points`) repeat its records: they are not counted as
    subtrees, in its rows, size or calls, only in ``trace_points``.
    ``points``: what :func:`trace_points` returned for the same roots, when
    the caller has it already.
    """
    where, params = "", ()
    if root_trace_id is not None:
        where, params = "AND (root_trace_id = ? OR trace_id = ?)", (root_trace_id, root_trace_id)
    with reading(db_path, timeout) as conn:
        if conn is None:
            return {}
        rows = conn.execute(
            f"""
            SELECT root, COUNT(*), COUNT(DISTINCT CASE WHEN trace_id <> root THEN trace_id END),
                   SUM(size), SUM(calls), SUM(CASE WHEN trace_id <> root THEN calls ELSE 0 END)
              FROM (SELECT trace_id, COALESCE(root_trace_id, trace_id) AS root, size, calls
                      FROM traces WHERE {_is_text(conn, "trace_id")} {where}) r
             WHERE {_is_text(conn, "root")}
             GROUP BY root
            """,
            params,
        ).fetchall()
        if points is None:
            points = _trace_points(conn, root_trace_id)
    totals = {
        row[0]: RootTotals(row[0], *(stored_count(value) for value in row[1:])) for row in rows
    }
    # A trace point repeats records of its root: it is counted apart.
    for point in points.values():
        if root_trace_id is not None and point.root_trace_id != root_trace_id:
            continue
        total = totals.get(point.root_trace_id)
        if total is not None:
            totals[point.root_trace_id] = total._replace(
                documents=total.documents - point.documents,
                subtrees=total.subtrees - 1,
                size=total.size - point.size,
                calls=total.calls - point.calls,
                subtree_calls=total.subtree_calls - point.calls,
                trace_points=total.trace_points + 1,
            )
    if root_trace_id is not None:
        totals = {k: v for k, v in totals.items() if k == root_trace_id}
    return totals


def trace_points(
    db_path: str | os.PathLike[str], root_trace_id: str | None = None, timeout: float = 60
) -> dict[str, TracePoint]:
    """The stored trace points, by trace id (only those of ``root_trace_id`` when given).

    Only the traces linked to another trace (flushed subtrees and trace
    points) are looked at, and of each only the start of its first document.
    """
    with reading(db_path, timeout) as conn:
        if conn is None:
            return {}
        return _trace_points(conn, root_trace_id)


# How much of a linked trace's first document is read to see whether it is a
# trace point: its "meta" comes after a few short entries.
_META_WINDOWS = (4096, 65536)


def _trace_points(conn: sqlite3.Connection, root_trace_id: str | None) -> dict[str, TracePoint]:
    where, params = "", ()
    if root_trace_id is not None:
        where, params = "AND root_trace_id = ?", (root_trace_id,)
    rows = conn.execute(
        f"""
        SELECT trace_id, MIN(root_trace_id), MIN({_rowid(conn)}), MIN(timestamp), COUNT(*),
               SUM(size), SUM(calls)
          FROM traces
         WHERE {_is_text(conn, "trace_id")} AND {_is_text(conn, "root_trace_id")}
           AND root_trace_id <> trace_id {where}
         GROUP BY trace_id
        """,
        params,
    ).fetchall()
    points = {}
    for trace_id, root, first_row, timestamp, documents, size, calls in rows:
        info = None
        for window in _META_WINDOWS:
            info = trace_point_meta(read_document_part(conn, first_row, 0, window))
            if info is not False:
                break
        if not isinstance(info, dict):
            continue
        points[trace_id] = TracePoint(
            trace_id,
            root,
            text_or_none(info.get("co_name")),
            text_or_none(info.get("thread")),
            text_or_none(info.get("frame_id")),
            plausible_time(timestamp),
            stored_count(documents),
            stored_count(size),
            stored_count(calls),
        )
    return points
