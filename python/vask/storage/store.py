"""Storing trace documents: one row each, a large one in pieces; one failure policy.

Every store of a document goes through :func:`store_document` (the
background writer's jobs, waited for or not) or :func:`store_batch` (several
jobs nobody waits for, in one transaction), and ends the same way: stored,
or kept in a side file (:mod:`vask.storage.spool`) and named on the "vask"
logger, or, for a job that asked so, with the store's error raised.  After a
store that succeeds, the side files kept for that database are stored from
there (:func:`store_kept`).
"""

from __future__ import annotations

import logging
import os
import sqlite3
import threading
import time
from collections.abc import Callable, Iterable, Sequence
from pathlib import Path
from typing import Any, NamedTuple

from vask import _dump, _process
from vask.document import (
    CALL_PATTERN,
    HEAD_WINDOW,
    OUTCOMES,
    FileSource,
    document_outcome,
    end_test_record,
    plausible_time,
    read_head,
    read_process,
    read_process_facts,
    scan_file,
    text_or_none,
)
from vask.storage import backend, caps, codec, keep, query, schema, spool
from vask.storage.schema import failure_reason, transaction, with_path

__all__ = [
    "STORE_ERRORS",
    "StoredRow",
    "checked_document",
    "row_of_document",
    "save_traces",
    "store_batch",
    "store_document",
    "store_file",
    "store_kept",
]

_logger = logging.getLogger("vask")

# The errors of a store that a side file answers: the database could not be
# written (locked, read-only, full, refused as unsafe), as opposed to a
# document that is not one.
STORE_ERRORS = (sqlite3.Error, OSError)

# Pieces are at most this long: the sqlite3 module copies a value it binds,
# so a piece is what a store holds twice at most.
_MAX_PIECE = 32 << 20
# Room left in a row for the columns besides its piece.
_ROW_MARGIN = 64 << 10


class StoredRow(NamedTuple):
    """What a document's row holds besides the document (see the table above)."""

    trace_id: str
    root_trace_id: str | None
    trace_name: str | None
    timestamp: float | None
    size: int
    calls: int
    outcome: str | None
    #: the process facts, as :func:`read_process` gives them
    pid: int | None
    parent_pid: int | None
    parent_trace_id: str | None
    process_name: str | None


def _row_of(
    trace_id: str,
    head: dict[str, Any],
    size: int,
    calls: int,
    outcome: Any,
    process: dict[str, Any],
) -> StoredRow:
    return StoredRow(
        trace_id,
        text_or_none(head.get("root_trace_id")),
        text_or_none(head.get("trace_name")),
        plausible_time(head.get("timestamp")),
        size,
        calls,
        outcome if outcome in OUTCOMES else None,
        process["pid"],
        process["parent_pid"],
        process["parent_trace_id"],
        process["name"],
    )


def row_of_document(
    trace_id: str,
    head: dict[str, Any],
    data: bytes,
    process: dict[str, Any] | None = None,
    table: bytes | None = None,
) -> StoredRow:
    """The row of a document held in memory.

    ``process``: the facts of the process that stores the document it
    recorded (:func:`vask._process.process_facts`). A document that names
    its process itself (stored by vask 0.2, in "meta" "process") keeps those.
    ``table``: the document's records' table, as the engines' core hands it
    over with the document it wrote (see :mod:`vask.storage.writer`).
    """
    facts = read_process(data)
    if facts["pid"] is None and process is not None:
        facts = read_process_facts(process)
    return _row_of(
        trace_id,
        head,
        len(data),
        _calls_in(data, table),
        document_outcome(data),
        facts,
    )


_count_calls: Callable[[bytes, bytes], int | None] | None = getattr(_dump, "_count_calls", None)


def _calls_in(data: bytes, table: bytes | None) -> int:
    """The call records of a document: by its records' table when it has one (each record's
    head read, natively, with the GIL released), else by counting ``CALL_PATTERN`` through
    the whole of it (holding the GIL all the while)."""
    if table is not None and _count_calls is not None:
        calls = _count_calls(data, table)
        if calls is not None:
            return calls
    return data.count(CALL_PATTERN)


def _piece_sizes(conn: Any, row: StoredRow) -> tuple[int, int]:
    """How long the first piece (in ``traces``) and the others may be on this connection."""
    limit = 1_000_000_000  # SQLite's default, where the limit cannot be read (3.10)
    if backend.is_postgres(conn):
        return _MAX_PIECE, _MAX_PIECE
    if hasattr(conn, "getlimit"):
        limit = conn.getlimit(sqlite3.SQLITE_LIMIT_LENGTH)
    texts = sum(
        len(t.encode("utf-8", "surrogatepass"))
        for t in (*row[:3], row.parent_trace_id, row.process_name)
        if t is not None
    )
    piece = max(min(_MAX_PIECE, limit - _ROW_MARGIN // 16), 1)
    first = max(min(piece, limit - _ROW_MARGIN // 16 - texts), 1)
    return first, piece


def _insert(
    conn: sqlite3.Connection, row: StoredRow, read: Callable[[int, int], bytes | memoryview]
) -> None:
    """Insert a document of ``row.size`` bytes, read ``read(offset, n)`` piece by piece."""
    with transaction(conn):
        insert_rows(conn, row, read)


def _reader_of(data: bytes) -> Callable[[int, int], memoryview]:
    view = memoryview(data)
    return lambda offset, n: view[offset : offset + n]


def insert_rows(
    conn: sqlite3.Connection,
    row: StoredRow,
    read: Callable[[int, int], bytes | memoryview],
    packed: codec.Compressed | None = None,
) -> int:
    """:func:`_insert` inside a transaction the caller holds; returns the bytes stored.

    The document is stored compressed (:mod:`vask.storage.codec`), as
    ``packed`` when the caller compressed it already; ``row.size`` stays the
    length of the document itself.
    """
    if packed is None:
        packed = codec.compress(read, row.size)
    first, piece = _piece_sizes(conn, row)
    first = min(first, packed.size)
    pieces = -(-(packed.size - first) // piece)
    returning = " RETURNING id" if backend.is_postgres(conn) else ""
    cursor = conn.execute(
        "INSERT INTO traces (trace_id, root_trace_id, trace_name, timestamp,"
        " stored_at, size, calls, outcome, pieces, data,"
        " pid, parent_pid, parent_trace_id, process_name,"
        " codec, dictionary, frames, stored)"
        " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)" + returning,
        (
            *row[:4],
            time.time(),
            row.size,
            row.calls,
            row.outcome,
            pieces,
            packed.read(0, first),
            *row[7:],
            codec.CODEC,
            packed.dictionary_id,
            packed.table(),
            packed.size,
        ),
    )
    row_id = cursor.fetchone()[0] if returning else cursor.lastrowid
    for seq in range(1, pieces + 1):
        offset = first + (seq - 1) * piece
        conn.execute(
            "INSERT INTO trace_pieces (trace_row, seq, data) VALUES (?, ?, ?)",
            (row_id, seq, packed.read(offset, min(piece, packed.size - offset))),
        )
    return packed.size


def checked_document(trace_id: Any, msgpack_data: Any) -> tuple[bytes, dict[str, Any]]:
    """The document as bytes and its head; ``TypeError``/``ValueError`` for what is none."""
    if msgpack_data is None:
        raise TypeError("save_trace needs both msgpack_data and db_path")
    if not isinstance(trace_id, str):
        raise TypeError(f"trace_id must be a str, not {type(trace_id).__name__}")
    if not isinstance(msgpack_data, (bytes, bytearray, memoryview)):
        raise TypeError(f"msgpack_data must be bytes, not {type(msgpack_data).__name__}")
    data = msgpack_data if isinstance(msgpack_data, bytes) else bytes(msgpack_data)
    return data, read_head(data)


def save_traces(
    documents: Iterable[tuple[str, bytes]],
    timeout: float = 60,
    db_path: str | os.PathLike[str] | None = None,
) -> None:
    """Store several (trace id, document) pairs in one transaction, all or none.

    One connection and one transaction for all of them: many small traces
    (trace points) are stored far faster than one by one.  A document over
    SQLite's length limit is stored in pieces, as by :func:`save_trace`.
    Unlike :func:`save_trace`, the store's error is raised: the caller keeps
    aside what it must.
    """
    if db_path is None:
        raise TypeError("save_traces needs db_path")
    checked = [(trace_id, *checked_document(trace_id, data)) for trace_id, data in documents]
    if not checked:
        return
    path = backend.locate(db_path)
    process = _process.process_facts()
    conn = schema.connect(path, timeout)
    try:
        with transaction(conn):
            for trace_id, data, head in checked:
                row = row_of_document(trace_id, head, data, process)
                view = memoryview(data)
                insert_rows(conn, row, lambda offset, n, view=view: view[offset : offset + n])
    except sqlite3.Error as error:
        raise with_path(error, path) from error
    finally:
        conn.close()


def store_document(job: Any, timeout: float, conn: sqlite3.Connection | None = None) -> Path | None:
    """Store one job of the writer now (waiting ``timeout`` for a lock), keeping it aside
    per its ``keep_aside``: returns the side file, or ``None`` when stored.

    Runs on the writer's thread, or on the caller's when nothing is queued.
    ``conn`` is a connection to the job's database to use (kept open by the
    writer between its stores); without one, a connection is opened for the
    store and closed after it.
    """
    try:
        _store_bytes(
            job.trace_id, job.data, job.head, job.db_path, timeout, conn, job.process,
            lambda data: _index_of(job, data), getattr(job, "table", None),
        )  # fmt: skip
    except STORE_ERRORS as error:
        if not job.keep_aside:
            raise
        return _keep_job_aside(job, error)
    store_kept(job.db_path, timeout, conn)
    return None


def store_batch(
    jobs: Sequence[Any], timeout: float, conn: sqlite3.Connection | None = None
) -> list[Path | None]:
    """Store jobs of one database in one transaction, all or none; per job its side file
    or ``None``.

    For many small documents (trace points), which one transaction stores far
    faster than one each.  When the database does not take them, each is
    kept aside as :func:`store_document` keeps one; every job must allow that
    (``keep_aside``).
    """
    if not jobs:
        return []
    path = jobs[0].db_path
    own = conn is None
    try:
        if conn is None:
            conn = schema.connect(path, timeout)
        try:
            if not own:
                _wait_for_locks(conn, timeout)
            with transaction(conn):
                for job in jobs:
                    row = row_of_document(
                        job.trace_id, job.head, job.data, job.process, getattr(job, "table", None)
                    )
                    if keep.drops(path, row):
                        keep.discard(conn, job.trace_id)
                        caps.forget(job.trace_id)
                        continue
                    row, data, packed = _within_caps(
                        job.trace_id, job.head, job.data, row, job.process
                    )
                    insert_rows(conn, row, _reader_of(data), packed)
                    if _indexes_as_stored(conn):
                        _write_index(conn, job.trace_id, _index_of(job, data))
        except sqlite3.Error as error:
            raise with_path(error, path) from error
        finally:
            if own:
                conn.close()
    except STORE_ERRORS as error:
        return [_keep_job_aside(job, error) for job in jobs]
    store_kept(path, timeout, None if own else conn)
    return [None] * len(jobs)


# Whether the writer builds a document's calls index as it stores it, from the
# records' table the engines hand over, so that the first query finds it
# built; otherwise the writer indexes it in its spare time
# (index_in_spare_time), or the first query does. Off while it costs the traced
# program more than it should: the rows are read and encoded natively, most
# of it with the GIL released, yet it adds about half to the store's CPU time
# (bench/bench_calls.py --written), and beside the running program a store
# with the index takes five times as long as one without (the same bench):
# on chardet's suite the writer is then busy for three quarters of the run
# instead of a third, and holds twice as many documents queued at the most.
# Its blocks, compressed fast, also make the index a tenth larger. Of SQLite
# only: a PostgreSQL database's writers would take turns at the index for the
# whole of each store (callindex._take_turn).
BUILD_INDEX_AS_STORED = False

# A document an engine handed over without its records' table (a trace point's) is
# indexed as it is stored only up to this size: its records are measured again.
_UNTABLED_INDEX_BYTES = 256 << 10


def _indexes_as_stored(conn: Any) -> bool:
    return BUILD_INDEX_AS_STORED and not backend.is_postgres(conn)


def _index_of(job: Any, data: bytes) -> Any:
    """The calls index of the document a job stores (``data``: what is stored of it),
    built as the engines' core wrote it; ``None`` leaves it to the first query: a
    document not written by an engine of this process, or replaced by the record of
    what a cap left out."""
    if not BUILD_INDEX_AS_STORED:
        return None
    from vask.storage import callindex

    table = getattr(job, "table", None)
    if data is not job.data or (table is None and getattr(job, "what", "") != "trace point"):
        return None
    if table is None and len(data) > _UNTABLED_INDEX_BYTES:
        return None
    try:
        return callindex.build_written(job.trace_id, data, table, job.head)
    except Exception:  # noqa: BLE001 - the store goes on; the first query indexes it
        _logger.debug("vask: the calls index of %s was not built", job.trace_id, exc_info=True)
        return None


def _write_index(conn: Any, trace_id: str, built: Any) -> None:
    """Write a trace's calls index built by :func:`_index_of`, inside the transaction
    that stored its document, under a savepoint: an index that cannot be written
    leaves the trace stored, to be indexed by the first query.  So does a trace
    saved before (of several documents): ``built`` holds only this one's calls."""
    if built is None:
        return
    from vask.storage import callindex

    conn.execute("SAVEPOINT vask_calls_index")
    try:
        first, row = conn.execute(
            "SELECT MIN(id), MAX(id) FROM traces WHERE trace_id = ?", (trace_id,)
        ).fetchone()
        if first == row:
            callindex.write_built(conn, trace_id, built, row)
    except Exception:  # noqa: BLE001 - as above
        conn.execute("ROLLBACK TO SAVEPOINT vask_calls_index")
        schema.forget_written(conn)
        _logger.debug("vask: the calls index of %s was not written", trace_id, exc_info=True)
    conn.execute("RELEASE SAVEPOINT vask_calls_index")


# How long indexing a stored trace in the writer's spare time waits for another's
# lock: a database busy with stores is left to the first query instead.
_SPARE_TIME_LOCK_WAIT = 0.05

# The largest trace indexed in the writer's spare time: reading one back and
# indexing it must end soon after a document comes (the writer takes one trace
# at a time between stores) and before the exit handler stops waiting for it.
SPARE_TIME_INDEX_BYTES = 16 << 20


def index_in_spare_time(conn: Any, trace_id: str) -> None:
    """Index a trace this process stored, while the writer has no document to store;
    whatever stops it (a lock held by another, a trace too large, an error) leaves the
    trace to the first query's build.  Of SQLite only, as the index built as stored."""
    from vask.storage import callindex

    if backend.is_postgres(conn):
        return
    try:
        _wait_for_locks(conn, _SPARE_TIME_LOCK_WAIT)
        (size,) = conn.execute(
            "SELECT SUM(size) FROM traces WHERE trace_id = ?", (trace_id,)
        ).fetchone()
        if size is None or size > SPARE_TIME_INDEX_BYTES or not callindex.is_pending(
            conn, trace_id
        ):
            return
        callindex.index_traces(conn, [trace_id])
    except Exception:  # noqa: BLE001 - the first query indexes it
        _logger.debug("vask: the calls index of %s was left to the first query", trace_id,
                      exc_info=True)  # fmt: skip


def _wait_for_locks(conn: Any, timeout: float) -> None:
    """Let a store on a kept-open connection wait up to ``timeout`` for another's lock."""
    if backend.is_postgres(conn):
        conn.execute(f"SET lock_timeout = {int(timeout * 1000)}")
    elif getattr(conn, "busy_timeout", None) != timeout:
        # set again only when it changes: each statement lets the GIL go (see writer)
        conn.execute(f"PRAGMA busy_timeout = {int(timeout * 1000)}")
        if isinstance(conn, schema.Connection):
            conn.busy_timeout = timeout


def _keep_job_aside(job: Any, error: BaseException) -> Path:
    return spool.keep_aside(
        job.trace_id,
        job.data,
        job.db_path,
        failure_reason(error, job.db_path),
        error,
        getattr(job, "what", "trace"),
    )


def _within_caps(
    trace_id: str,
    head: dict[str, Any],
    data: bytes,
    row: Any,
    process: dict[str, Any] | None,
) -> tuple[Any, bytes, codec.Compressed | None]:
    """The row, document and compressed form to store: the document itself, or, past
    the trace cap or the session budget, the record of what was left out."""
    packed: codec.Compressed | None = codec.compress(_reader_of(data), row.size)
    refused = caps.admit(trace_id, head, row.size, packed.size, row.calls, row.outcome)
    if refused is None:
        return row, data, packed
    _logger.info(
        "trace %s not stored: %s bytes stored past its %s (%s bytes)",
        trace_id, packed.size, refused.reason.replace("_", " "), refused.limit,
    )  # fmt: skip
    data = caps.not_stored_document(head, refused, end_test_record(data))
    return row_of_document(trace_id, head, data, process), data, None


def _store_bytes(
    trace_id: str,
    data: bytes,
    head: dict[str, Any],
    path: Path,
    timeout: float,
    conn: sqlite3.Connection | None,
    process: dict[str, Any] | None = None,
    index: Callable[[bytes], Any] | None = None,
    table: bytes | None = None,
) -> None:
    """Store one document; ``index(data)``, when given, builds the calls index of the
    document stored (before the transaction), written in the same transaction.
    ``table``: the document's records' table, when the engines' core handed one over."""
    own = conn is None
    if conn is None:
        # opened first: a database that refuses the document costs no compression
        conn = schema.connect(path, timeout)
    try:
        row = row_of_document(trace_id, head, data, process, table)
        if keep.drops(path, row):
            # a test's trace the session does not keep: what it left goes instead
            if not own:
                _wait_for_locks(conn, timeout)
            with transaction(conn):
                keep.discard(conn, trace_id)
            caps.forget(trace_id)
            return
        row, data, packed = _within_caps(trace_id, head, data, row, process)
        built = index(data) if index is not None and _indexes_as_stored(conn) else None
        if not own:
            _wait_for_locks(conn, timeout)
        with transaction(conn):
            insert_rows(conn, row, _reader_of(data), packed)
            _write_index(conn, trace_id, built)
    except sqlite3.Error as error:
        raise with_path(error, path) from error
    finally:
        if own:
            conn.close()


def store_file(
    trace_id: str,
    file: Path,
    db_path: str | os.PathLike[str],
    timeout: float = 60,
    head: dict[str, Any] | None = None,
    conn: sqlite3.Connection | None = None,
) -> StoredRow:
    """Store a trace document held in a file, reading it a piece at a time; returns its row.

    For documents larger than memory should hold (``vask traces import``):
    counting its calls and finding its outcome read it once, the store a
    second time.  Raises the store's error, as ``save_trace(...,
    keep_aside=False)``.
    """
    path = backend.locate(db_path)
    # A side file holds the document compressed, or as it is (older ones).
    source = FileSource(file)
    try:
        f = source.file()
        size = source.size
        if head is None:
            head = read_head(f.read(HEAD_WINDOW))
        calls, outcome = scan_file(f, size)
        f.seek(0)
        process = read_process(f)

        def read(offset: int, n: int) -> bytes:
            f.seek(offset)
            return f.read(n)

        row = _row_of(trace_id, head, size, calls, outcome, process)
        own = conn is None
        if conn is None:
            conn = schema.connect(path, timeout)
        try:
            _insert(conn, row, source.read if source.compressed else read)
        except sqlite3.Error as error:
            raise with_path(error, path) from error
        finally:
            if own:
                conn.close()
    finally:
        source.close()
    return row


def _stored_already(conn: Any, kept: Any) -> bool:
    """Whether the document of a side file is stored already: a store may fail after its
    commit (the connection lost as the server answered), and a side file is kept then."""
    source = FileSource(kept.path)
    try:
        return query.holds_document(conn, kept.trace_id, source.size, source.read)
    finally:
        source.close()


# Set on a thread while it stores the side files of a database: a store made
# meanwhile does not start another round.
_storing_kept = threading.local()


def store_kept(db_path: Path, timeout: float, conn: sqlite3.Connection | None) -> None:
    """Store the side files this process kept for ``db_path``: the database took a write."""
    if spool.next_waiting(db_path) is None or getattr(_storing_kept, "active", False):
        return
    _storing_kept.active = True
    own = conn is None
    try:
        if conn is None:
            conn = schema.connect(db_path, timeout)
        while True:
            kept = spool.next_waiting(db_path)
            if kept is None:
                return
            try:
                # a store whose commit the database made, though the error said not, kept it too
                done = "was stored already" if _stored_already(conn, kept) else "stored"
                if done == "stored":
                    store_file(kept.trace_id, kept.path, db_path, timeout, conn=conn)
            except FileNotFoundError:
                pass  # imported or removed by hand meanwhile
            except ValueError as error:
                _logger.warning(
                    "trace %s kept in %s cannot be read: %s", kept.trace_id, kept.path, error
                )
            except STORE_ERRORS:
                return  # tried again after the next store that succeeds
            else:
                kept.path.unlink(missing_ok=True)
                _logger.info("trace %s kept in %s %s", kept.trace_id, kept.path, done)
            spool.settled(kept)
    except STORE_ERRORS:
        return  # tried again after the next store that succeeds
    finally:
        _storing_kept.active = False
        if own and conn is not None:
            conn.close()
