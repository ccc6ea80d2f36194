"""The calls index: a row per recorded call of every stored trace, without values.

It lives in the trace database next to ``traces``, in tables of its own with
a version of its own (the table ``call_index_version``; the database's
``user_version`` belongs to the trace tables).  A "row" is logical: the calls
of a trace are kept as packed columns in compressed blocks, and a small
summary per (function, trace) answers most questions before a block is read.

``call_traces``   one row per indexed trace id: ``last_row``, the newest
                  ``traces`` row the index covers (a trace saved again is
                  indexed again), its test (a ``call_tests`` id) and outcome
                  (those of the root trace for a flushed subtree or a trace
                  point), its threads and exception types (JSON
                  lists the blocks number into), the time its first call
                  started, its number of calls, and how a trace stored
                  before 0.2 stored its values (``legacy``: NULL for a trace
                  whose values say what they are, 1 when every value was a
                  repr, 0 otherwise; see :func:`vask.document.legacy_form`),
                  the names it has (``names``: its ascending ids as the
                  varint differences between neighbours, by which its
                  summary rows are found), how many of its calls raised,
                  how long its longest call and its longest call that
                  raised took (``max_duration``, ``max_raised``: the
                  slowest calls of every name are read from the trace
                  that may hold the longest down), and the seconds its
                  blocks count times in (``tick``)
``call_tests``    test node ids, named by number
``call_names``    (qualified name, file) pairs, named by number
``call_summary``  per (name, trace): the calls, the calls that raised, the
                  longest duration (``longest``: whole microseconds rounded
                  up, a bound) and where the name's rows begin in the
                  trace's blocks; of SQLite kept in the order of (trace,
                  name), so that a trace's rows are written together (kept
                  by name, each trace indexed would change a page per name
                  it called, many times the bytes of its rows); a query by
                  name reads the whole summary, a few bytes per name a
                  trace called
``call_blocks``   per trace, its rows in blocks of ``BLOCK_ROWS`` (the last
                  may hold fewer), sorted by name and then start time; each
                  block is one zstd frame of the columns one after another
                  (see ``_COLUMNS``): the blocks of a name's rows are found
                  from its summary row.  A trace's blocks are one row, their
                  frames one after another in ``data`` and their sizes in
                  ``sizes`` (LEB128 varints): a row per block of a few KiB
                  would leave a database page part empty for most of them

A row says where the call is (thread, node and parent node as
:mod:`vask.traceindex` numbers them, depth), what it is (name, line), when it
ran (start, duration), how it ended (``outcome``: 0 returned, 1 raised,
2 yielded, 3 never closed, 4 a folded range), the exception type, the number
of calls of a folded range, and where its opening and closing records lie in
the trace's documents (positions as the trace index counts them, the
documents one after the other in storage order), so that a value predicate
decodes only those records.

The SQL here is plain and portable: integer, real, text and blob columns;
where the backends differ (name patterns, new row ids, the tables' types and
version) :func:`vask.storage.backend.is_postgres` chooses.  In a PostgreSQL
database the tables are the component "calls" of vask's schema (see
:func:`vask.storage.schema.ensure_pg_tables`), with ``bytea`` blocks,
``bigint`` identity keys and ``double precision`` times; writes to the index
take turns under an advisory lock, as SQLite's write lock makes them.  Everything
reads the documents through :mod:`vask.storage.query` and
:mod:`vask.traceindex`: how pieces are stored stays theirs.  A trace stored as one
document of this version's engines has its rows read natively instead
(``vask._dump._call_rows``: the same trees, numbered alike), a document it
refuses by the trace index.
"""

from __future__ import annotations

import bisect
import contextlib
import io
import json
import math
import operator
import os
import queue
import re
import sqlite3
import struct
import sys
import threading
from array import array
from collections.abc import Callable, Iterable, Iterator, Sequence
from concurrent.futures import Executor, ThreadPoolExecutor
from itertools import accumulate, chain, islice, repeat
from math import isfinite
from typing import Any

import msgpack
import zstandard

from vask import _dump
from vask._dump import _spans_lacking
from vask.document import HEAD_READ, decode_record, plausible_time, upgrade_legacy_record
from vask.storage import backend, codec, query, schema
from vask.storage.schema import transaction

__all__ = [
    "BLOCK_ROWS",
    "build_document",
    "build_written",
    "INDEX_VERSION",
    "OUTCOME_NAMES",
    "RecordReader",
    "drop_orphans",
    "ensure_tables",
    "has_index",
    "index_traces",
    "is_pending",
    "name_ids",
    "pending_traces",
    "BlockCache",
    "block_bytes",
    "decode_rows",
    "read_ranges",
    "read_rows",
    "reindex",
    "row_at",
    "summaries",
    "trace_facts",
    "traces_longest_first",
    "traces_in_order",
    "write_blocks",
    "write_built",
]

#: Version of the index tables; an index of another version is built again.
INDEX_VERSION = 10

#: ``outcome`` by its code.
OUTCOME_NAMES = ("returned", "raised", "yielded", "unfinished", "folded")
RETURNED, RAISED, YIELDED, UNFINISHED, FOLDED = range(5)

#: Rows in a block (the last of a trace may hold fewer): a query of one name
#: decompresses the blocks its rows lie in, so blocks are small; smaller ones
#: compress worse (see ``bench/bench_calls.py``).
BLOCK_ROWS = 1 << 10

# The finest tick of times, about a microsecond: what the index answers (the
# slowest calls, calls in the order they began, durations shown to three
# figures from a microsecond up) needs no finer, and each halving of the tick
# costs every call two bits more of start and duration.  The exact times are
# in the documents.  A trace whose times are so large that doubles are spaced
# wider than this counts in that spacing.
_FINEST_TICK = 2.0**-20

#: Starts count this many ticks (about 4 µs): they order a trace's calls, which
#: those of one thread keep at any tick (calls that began at the same one go by
#: node), and two bits fewer per call.
START_TICKS = 4

_TABLES = (
    "CREATE TABLE IF NOT EXISTS call_index_version (version INTEGER NOT NULL)",
    """
    CREATE TABLE IF NOT EXISTS call_traces (
        id INTEGER PRIMARY KEY,
        trace_id TEXT NOT NULL UNIQUE,
        last_row INTEGER NOT NULL,
        test INTEGER,
        test_outcome TEXT,
        threads TEXT NOT NULL,
        exc_types TEXT NOT NULL,
        base REAL,
        first_start REAL,
        calls INTEGER NOT NULL,
        legacy INTEGER,
        names BLOB,
        raised INTEGER,
        max_duration REAL,
        max_raised REAL,
        tick REAL
    )
    """,
    """
    CREATE TABLE IF NOT EXISTS call_tests (
        id INTEGER PRIMARY KEY,
        test TEXT NOT NULL UNIQUE
    )
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
    CREATE TABLE IF NOT EXISTS call_summary (
        name INTEGER NOT NULL,
        trace INTEGER NOT NULL,
        calls INTEGER NOT NULL,
        raised INTEGER NOT NULL,
        longest INTEGER,
        first_row INTEGER NOT NULL,
        PRIMARY KEY (trace, name)
    ) WITHOUT ROWID
    """,
    """
    CREATE TABLE IF NOT EXISTS call_blocks (
        trace INTEGER PRIMARY KEY,
        sizes BLOB NOT NULL,
        data BLOB NOT NULL
    )
    """,
)

# The same tables in vask's PostgreSQL schema, the component "calls" (its
# version in ``schema_version``).  Nothing references ``traces``: a trace id
# has many rows there, and the index of a trace deleted is dropped by
# :func:`drop_orphans` in the transaction that deleted it.
PG_COMPONENT = "calls"
_PG_MIGRATIONS: list[tuple[str, ...]] = [
    (
        """
        CREATE TABLE call_traces (
            id bigint GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY,
            trace_id text NOT NULL UNIQUE,
            last_row bigint NOT NULL,
            test bigint,
            test_outcome text,
            threads text NOT NULL,
            exc_types text NOT NULL,
            base double precision,
            first_start double precision,
            calls bigint NOT NULL,
            legacy integer
        )
        """,
        """
        CREATE TABLE call_tests (
            id bigint GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY,
            test text NOT NULL UNIQUE
        )
        """,
        """
        CREATE TABLE call_names (
            id bigint GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY,
            qualname text NOT NULL,
            file text NOT NULL,
            UNIQUE (qualname, file)
        )
        """,
        """
        CREATE TABLE call_summary (
            name bigint NOT NULL,
            trace bigint NOT NULL,
            calls bigint NOT NULL,
            raised bigint NOT NULL,
            min_duration double precision,
            max_duration double precision,
            first_row bigint NOT NULL,
            PRIMARY KEY (name, trace)
        )
        """,
        "CREATE INDEX call_summary_by_trace ON call_summary (trace)",
        """
        CREATE TABLE call_blocks (
            trace bigint NOT NULL,
            block integer NOT NULL,
            rows integer NOT NULL,
            data bytea NOT NULL,
            PRIMARY KEY (trace, block)
        )
        """,
        # zstd frames already: not compressed again
        "ALTER TABLE call_blocks ALTER COLUMN data SET STORAGE EXTERNAL",
    ),
    (
        # the index is derived: an index of the version before is emptied, to be built again
        "DELETE FROM call_blocks",
        "DELETE FROM call_summary",
        "DELETE FROM call_traces",
        "ALTER TABLE call_traces ADD COLUMN names bytea",
        "ALTER TABLE call_traces ADD COLUMN raised bigint",
        "CREATE INDEX call_summary_by_duration ON call_summary (max_duration)",
    ),
    (
        "DELETE FROM call_blocks",
        "DELETE FROM call_summary",
        "DELETE FROM call_traces",
        "ALTER TABLE call_traces ADD COLUMN max_duration double precision",
        "ALTER TABLE call_traces ADD COLUMN max_raised double precision",
    ),
    (
        # blocks of fewer rows, columns in fewer bytes and times in ticks
        "DELETE FROM call_blocks",
        "DELETE FROM call_summary",
        "DELETE FROM call_traces",
        "ALTER TABLE call_traces ADD COLUMN tick double precision",
        "DROP INDEX call_summary_by_duration",
        "ALTER TABLE call_summary DROP COLUMN min_duration",
        "ALTER TABLE call_summary DROP COLUMN max_duration",
        "ALTER TABLE call_summary ADD COLUMN longest bigint",
    ),
    (
        # a trace's blocks in one row, without the records' lengths, times in coarser ticks
        "DELETE FROM call_summary",
        "DELETE FROM call_traces",
        "DROP TABLE call_blocks",
        """
        CREATE TABLE call_blocks (
            trace bigint PRIMARY KEY,
            sizes bytea NOT NULL,
            data bytea NOT NULL
        )
        """,
        "ALTER TABLE call_blocks ALTER COLUMN data SET STORAGE EXTERNAL",
    ),
]

_INDEX_TABLES = (
    "call_blocks",
    "call_summary",
    "call_names",
    "call_tests",
    "call_traces",
    "call_index_version",
    # the tables of version 1
    "calls",
    "call_threads",
)

# The columns of a block, in order: (name, array type, delta-coded).  Each is
# stored as its values less the block's least, in as few bytes as the block
# needs, with their bytes grouped by place (see _encode).  Columns that grow
# along the rows (a name's calls by start time) are stored as the differences
# between neighbours, which take a byte or two each.  A record's length is not
# kept: it is measured where the record is read.  Times are whole ticks
# of the trace's ``tick`` seconds: ``duration``, and ``start`` from the trace's
# ``base`` in ``START_TICKS`` of them; -1 for none.
_COLUMNS = (
    ("name", "i", True),
    ("thread", "i", False),
    ("node", "q", True),
    ("parent", "q", False),  # node - parent, or 0 for the parent _implied_parents gives
    ("depth", "i", False),
    ("line", "i", False),
    ("start", "q", True),
    ("duration", "q", False),
    ("outcome", "b", False),
    ("exc", "i", False),
    ("folded", "q", False),
    ("open_pos", "q", True),
    # the closing record's position less the opening record's end: 0 for a leaf
    # (its position when there is no opening record)
    ("close_after", "q", False),
)
_BLOCK_HEAD = struct.Struct("<I")
# The columns as the native decoder takes them: typecodes, "+" after a delta-coded one.
_LAYOUT = "".join(code + ("+" if delta else "") for _, code, delta in _COLUMNS)
# The native decoder (None: the blocks are decoded in Python, as tests compare them).
_decode_index_block: Callable[..., tuple[bytes, ...]] | None = getattr(
    _dump, "_decode_index_block", None
)
# The native reader of a document's rows and their encoder (None: documents are indexed
# by the trace index).
_call_rows: Callable[..., Any] | None = getattr(_dump, "_call_rows", None)
_encode_call_index: Callable[..., Any] | None = getattr(_dump, "_encode_call_index", None)
# The head of a frame record as the engines write it: a map whose first entry is "path".
_FRAME_HEAD = b"\x8a\xa4path"
_SWAP = sys.byteorder != "little"

# Bytes read first for a record of unknown length: most records are shorter.
_RECORD_READ = 2048

# The type of the record a range of folded calls leaves.
FOLDED_TYPE = "folded"

# The type an exception's stored text names: ``ValueError('x')``, ``pkg.Error: x``.
_EXC_TYPE = re.compile(r"^\s*<?([A-Za-z_][\w.]*)")

# Traces whose documents together are smaller than this are read into memory
# to be indexed; larger ones are read part by part from the database.
_IN_MEMORY = 256 << 20

_local = threading.local()


def _object_end(data: bytes) -> int:
    """Where the MessagePack object at the start of ``data`` ends: 0 when ``data`` ends
    first, -1 when it is not one."""
    import msgpack

    unpacker = msgpack.Unpacker(raw=True, max_buffer_size=max(len(data), 1 << 20))
    unpacker.feed(data)
    try:
        unpacker.skip()
    except msgpack.OutOfData:
        return 0
    except Exception:  # noqa: BLE001 - malformed, or nested too deep
        return -1
    return unpacker.tell()


#: The blocks' compression level where the index is built from stored documents (the
#: first query's build, a reindex): a twenty-fifth smaller than 12 for a tenth of the
#: build's time more (above it, each step saves less and costs more).
LEVEL = 15

#: The level where the writer builds it as it stores documents, in the traced process:
#: the blocks compress twenty times faster than at ``LEVEL``, and a tenth larger.
WRITER_LEVEL = 3


def _compressor(level: int = LEVEL) -> zstandard.ZstdCompressor:
    found = _local.__dict__.setdefault("compressors", {})
    compressor = found.get(level)
    if compressor is None:
        compressor = found[level] = zstandard.ZstdCompressor(level=level)
    return compressor


def _decompressor() -> zstandard.ZstdDecompressor:
    found = getattr(_local, "decompressor", None)
    if found is None:
        found = _local.decompressor = zstandard.ZstdDecompressor()
    return found


def has_index(conn: sqlite3.Connection) -> bool:
    """Whether the database holds index tables of this version."""
    if backend.is_postgres(conn):
        return schema._pg_version(conn, conn.url.schema, PG_COMPONENT) == len(_PG_MIGRATIONS)
    # known once found, while the schema stays as it was (the version changes only
    # with the tables, made again by ensure_tables)
    memo = schema.known_rows(conn)
    if memo is not None and (_HAS_INDEX in memo[0] or _HAS_INDEX in memo[1]):
        return True
    found = conn.execute(
        "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'call_index_version'"
    ).fetchone()
    if found is None:
        return False
    row = conn.execute("SELECT version FROM call_index_version").fetchone()
    current = row is not None and row[0] == INDEX_VERSION
    if current and memo is not None:
        memo[1][_HAS_INDEX] = True
    return current


# The key under which a connection remembers that the index's tables are current.
_HAS_INDEX = ("call index", INDEX_VERSION)


def ensure_tables(conn: sqlite3.Connection) -> None:
    """Create the index tables (of SQLite inside the caller's transaction; of
    PostgreSQL in a transaction of their own); an SQLite index of another version
    is dropped first, to be built again."""
    if has_index(conn):
        return
    if backend.is_postgres(conn):
        schema.ensure_pg_tables(conn, PG_COMPONENT, _PG_MIGRATIONS)
        return
    for table in _INDEX_TABLES:
        conn.execute(f"DROP TABLE IF EXISTS {table}")
    schema.forget_known(conn)  # of the tables dropped
    for statement in _TABLES:
        conn.execute(statement)
    conn.execute("INSERT INTO call_index_version VALUES (?)", (INDEX_VERSION,))


def drop_orphans(conn: sqlite3.Connection) -> None:
    """Drop the index rows of traces no longer stored (inside the transaction that
    deleted them)."""
    if not has_index(conn):
        return
    _take_turn(conn)
    gone = [
        row[0]
        for row in conn.execute(
            "SELECT id FROM call_traces WHERE trace_id NOT IN (SELECT trace_id FROM traces)"
        )
    ]
    if gone:
        _drop(conn, gone)


def _drop(conn: sqlite3.Connection, keys: list[int]) -> None:
    for key in keys:
        # found by trace: SQLite keeps the summary in that order, PostgreSQL indexes it so
        conn.execute("DELETE FROM call_summary WHERE trace = ?", (key,))
        conn.execute("DELETE FROM call_blocks WHERE trace = ?", (key,))
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


def is_pending(conn: Any, trace_id: str) -> bool:
    """Whether ``trace_id`` is stored and the index does not cover its newest document."""
    (last,) = conn.execute("SELECT MAX(id) FROM traces WHERE trace_id = ?", (trace_id,)).fetchone()
    if last is None:
        return False
    if not has_index(conn):
        return True
    (covered,) = conn.execute(
        "SELECT MAX(last_row) FROM call_traces WHERE trace_id = ?", (trace_id,)
    ).fetchone()
    return bool(last > (covered or 0))


def index_traces(
    conn: sqlite3.Connection,
    trace_ids: Iterable[str],
    progress: Callable[[int, int], None] | None = None,
) -> int:
    """Index the given traces (again, when indexed before); returns the calls indexed.

    Traces are indexed a few at a time, each few in a transaction of its own
    (one trace, or small ones up to ``_BATCH_CALLS`` calls in all), so that a
    store by another process waits for little; their rows are read before
    that transaction begins.  ``progress(done, total)`` is called after each
    trace.
    """
    ids = list(dict.fromkeys(trace_ids))
    if not has_index(conn):
        if backend.is_postgres(conn):
            ensure_tables(conn)
        else:
            with transaction(conn):
                ensure_tables(conn)
    total = done = 0
    batch: list[tuple[str, _Built | None]] = []
    held = 0  # what the batch holds (see _weight)

    writes = _BatchWrites()

    def write_batch() -> None:
        nonlocal total, done, held
        with transaction(conn):
            writes.blocks.clear()
            for trace_id, built in batch:
                total += _write(conn, trace_id, built, writes)
            writes.finish(conn)
        for _ in batch:
            done += 1
            if progress is not None:
                progress(done, len(ids))
        batch.clear()
        held = 0

    with _derived_writes(conn), _read_ahead(conn, ids) as read:
        for trace_id in ids:
            try:
                built = read(trace_id)
            except Exception:
                if batch:
                    write_batch()  # what was read before stays indexed
                raise
            batch.append((trace_id, built))
            held += _weight(built)
            if held >= _BATCH_CALLS or len(batch) >= _BATCH_TRACES:
                write_batch()
        if batch:
            write_batch()
    return total


@contextlib.contextmanager
def _read_ahead(conn: Any, ids: list[str]) -> Iterator[Callable[[str], _Built | None]]:
    """The rows of each of ``ids`` in turn (``read(trace_id)``, in their order), read on a
    thread of their own from an SQLite database file while the caller writes those before:
    most of the reading (decompressing the documents, the native reader) and most of the
    writing (encoding, compressing the blocks) let go of the GIL.  Without a second core,
    or of PostgreSQL, they are read by the caller, on ``conn``."""
    path = _file_of(conn)
    if path is None or len(ids) < 2 or (os.cpu_count() or 1) < 2:
        yield lambda trace_id: _build(conn, trace_id)
        return
    ready: queue.Queue[tuple[str, _Built | None, BaseException | None]] = queue.Queue(
        _READ_AHEAD
    )
    stop = threading.Event()

    def reader() -> None:
        try:
            source = schema.connect_readonly(path)
        except BaseException as error:  # noqa: BLE001 - handed to the caller
            _hand_over(ready, stop, (ids[0], None, error))
            return
        try:
            for trace_id in ids:
                try:
                    item = (trace_id, _build(source, trace_id), None)
                except BaseException as error:  # noqa: BLE001 - as above
                    item = (trace_id, None, error)
                if not _hand_over(ready, stop, item) or item[2] is not None:
                    return
        finally:
            source.close()

    thread = threading.Thread(target=reader, name="vask-calls-index-reader", daemon=True)
    thread.start()

    def read(trace_id: str) -> _Built | None:
        while True:
            try:
                got, built, error = ready.get(timeout=0.1)
                break
            except queue.Empty:
                if not thread.is_alive() and ready.empty():
                    raise RuntimeError("the calls index's reader ended early") from None
        if error is not None:
            raise error
        assert got == trace_id, (got, trace_id)
        return built

    try:
        yield read
    except BaseException:
        stop.set()  # an error or an interrupt of the caller's: the reader stops after its trace
        raise
    stop.set()
    thread.join()


# Traces read ahead of the one being written, at the most.
_READ_AHEAD = 2


def _hand_over(ready: queue.Queue[Any], stop: threading.Event, item: Any) -> bool:
    """Put ``item`` in ``ready`` once there is room; False when the caller stopped."""
    while not stop.is_set():
        try:
            ready.put(item, timeout=0.1)
            return True
        except queue.Full:
            continue
    return False


def _file_of(conn: Any) -> str | None:
    """The file of an SQLite connection's main database (``None``: of PostgreSQL, or in
    memory)."""
    if backend.is_postgres(conn):
        return None
    for _, name, file in conn.execute("PRAGMA database_list"):
        if name == "main":
            return file or None
    return None


# Traces whose index is written in one transaction: up to this weight in all (20,000
# calls: a few tens of milliseconds of writing; documents of 20 MB), or this many traces.
# A commit costs as much as a small trace's index.
_BATCH_CALLS = 20_000
_BATCH_TRACES = 16


def _weight(built: _Built | None) -> int:
    """What a trace read for the index weighs in a batch: its calls, and a call for every
    kilobyte of the document its native rows hold."""
    if built is None:
        return 0
    if built.native is not None:
        return int(built.count) + built.document_bytes // 1024
    return sum(len(rows) for rows in built.rows.values())


@contextlib.contextmanager
def _derived_writes(conn: Any) -> Iterator[None]:
    """Commit without waiting for the disk meanwhile (an SQLite database in write-ahead
    logging, as the writer stores): a commit the disk lost is only an index not built,
    built again by the next query, and waiting for the disk at every trace's commit
    costs as much as building the index of a small trace."""
    if backend.is_postgres(conn):
        yield
        return
    (before,) = conn.execute("PRAGMA synchronous").fetchone()
    (mode,) = conn.execute("PRAGMA journal_mode").fetchone()
    if str(mode).lower() != "wal" or before <= 1:
        yield
        return
    conn.execute("PRAGMA synchronous = NORMAL")
    try:
        yield
    finally:
        conn.execute(f"PRAGMA synchronous = {int(before)}")


def build_document(trace_id: str, data: bytes) -> _Built | None:
    """The index of a trace's one document held in memory (``None`` when it cannot be
    read), to be written by :func:`write_built` in the transaction that stores it.

    This reads the document again as the trace index does, record by record:
    several times the store's own work (compression).  The writer's way is
    :func:`build_written`, from the records' table the engines hand over
    (``bench/bench_calls.py --written`` compares the two with the store).
    """
    from vask import traceindex

    try:
        index = traceindex.build_index(trace_id, [data])
    except Exception:  # noqa: BLE001 - the store goes on; the trace stays pending
        return None
    try:
        if index.damaged:
            return None
        return _rows_of(index, -1)
    except Exception:  # noqa: BLE001 - as above
        return None
    finally:
        _let_go(index)


def build_written(
    trace_id: str, data: bytes, table: bytes | None, head: dict[str, Any] | None = None
) -> _Built | None:
    """The index of a trace's one document as this version's engines write it, read
    natively without decoding it (``None`` when the native reader leaves it to the
    trace index: such a trace is indexed by the first query).

    ``table`` is the document's records' table, which the engines' core makes
    with each document it writes and hands over while the document is stored
    (:func:`vask._dump._document_table`): with it no record is measured again.
    Without one (``None``) every record is measured natively, as the first
    query's build does.  ``head`` is the document's head when it has been read
    (:func:`vask.document.read_head`).  The index is that :func:`build_document`
    makes of the same document.
    """
    if _call_rows is None:
        return None
    from vask.document import read_head

    if head is None:
        try:
            head = read_head(data)
        except ValueError:
            return None
    built = _native_rows(data, table, head.get("root_trace_id"), None)
    if built is not None:
        built.level = WRITER_LEVEL
    return built


def _native_rows(data: bytes, table: bytes | None, root: Any, legacy: bool | None) -> _Built | None:
    """The rows of one document read by the native reader (``None``: it refused the
    document, or the texts it gives would not be the trace index's), the document's
    facts (``root``, ``legacy``) as read from its head."""
    from vask.document import PLAUSIBLE_TIMES

    assert _call_rows is not None
    got = _call_rows(data, table, *PLAUSIBLE_TIMES)
    if isinstance(got, str):  # why not: a form only the trace index reads
        return None
    threads, keys, exc_types, count, native = got
    try:
        thread_names = [(key.decode(), name.decode()) for key, name in threads]
    except UnicodeDecodeError:
        return None
    # texts as the trace index decodes them; two that decode alike are one to it
    names = [(q.decode("utf-8", "replace"), f.decode("utf-8", "replace")) for q, f in keys]
    excs = [e.decode("utf-8", "replace") for e in exc_types]
    if len(set(names)) != len(names) or len(set(excs)) != len(excs):
        return None
    built = _Built(-1)
    built.root = root if isinstance(root, str) else None
    built.legacy = legacy
    built.threads = thread_names
    built.exc_types = excs
    built.native = native
    built.names = names
    built.count = count
    built.document_bytes = len(data)
    return built


def _stored_rows(data: bytes) -> _Built | None:
    """The rows of a trace's one stored document read natively, for the first query's
    build (``None``: the trace index reads it).  Its facts come from the entries
    before "threads", where the engines write them: a document with its "meta" anywhere
    else, or from before 0.2 (values stored in another form), is the trace index's."""
    if _call_rows is None:
        return None
    from vask.document import legacy_form

    facts: dict[str, Any] = {}
    try:
        unpacker = msgpack.Unpacker(
            io.BytesIO(data),
            raw=False,
            max_buffer_size=max(len(data), 1),
            read_size=min(HEAD_READ, max(len(data), 1)),
            strict_map_key=False,
        )
        for _ in range(unpacker.read_map_header()):
            key = unpacker.unpack()
            if key == "threads":
                break
            if key in ("root_trace_id", "meta"):
                facts[key] = unpacker.unpack()
            else:
                unpacker.skip()
    except Exception:  # noqa: BLE001 - not a document the native reader takes
        return None
    if not isinstance(facts.get("meta"), dict) or legacy_form(facts["meta"]) is not None:
        return None
    return _native_rows(data, None, facts.get("root_trace_id"), None)


def write_built(conn: Any, trace_id: str, built: _Built, last_row: int) -> int:
    """Write what :func:`build_document` built, as the index of the trace whose newest
    row is ``last_row`` (inside a transaction); returns the calls written."""
    ensure_tables(conn)
    built.last_row = last_row
    return _write(conn, trace_id, built)


def reindex(conn: sqlite3.Connection, progress: Callable[[int, int], None] | None = None) -> int:
    """Build the whole index again from the documents; returns the calls indexed."""
    if backend.is_postgres(conn):
        # the tables made again too (as of SQLite), under the index's write turn
        with transaction(conn):
            _take_turn(conn)
            for table in _INDEX_TABLES:
                conn.execute(f"DROP TABLE IF EXISTS {table}")
            if schema._pg_version(conn, conn.url.schema, PG_COMPONENT) is not None:
                conn.execute("DELETE FROM schema_version WHERE component = ?", (PG_COMPONENT,))
        ensure_tables(conn)
        return index_traces(conn, pending_traces(conn), progress)
    with transaction(conn):
        for table in _INDEX_TABLES:
            conn.execute(f"DROP TABLE IF EXISTS {table}")
        ensure_tables(conn)
    ids = pending_traces(conn)
    return index_traces(conn, ids, progress)


# -- building ----------------------------------------------------------------


class _Built:
    """The index of one trace as read from its documents, before it is written."""

    def __init__(self, last_row: int) -> None:
        self.last_row = last_row
        self.root: str | None = None
        self.legacy: bool | None = None
        self.threads: list[tuple[str, str | None]] = []
        self.exc_types: list[str] = []
        # (qualname, file) -> the rows of that function:
        # (thread, node, parent, depth, line, start, end, outcome, exc, folded,
        #  open_pos, open_len, close_pos, close_len); the lengths are not written (a
        #  record is measured where it is read: the closing one is found after the
        #  opening one)
        self.rows: dict[tuple[str, str], list[tuple[Any, ...]]] = {}
        # Or the rows the native reader read (vask._dump._call_rows), encoded by it as
        # they are written; ``names`` the keys of their groups.
        self.native: Any = None
        self.names: list[tuple[str, str]] = []
        self.count = 0  # of the native rows
        self.document_bytes = 0  # of the document they hold
        #: The blocks' compression level.
        self.level = LEVEL


def _build(conn: sqlite3.Connection, trace_id: str) -> _Built | None:
    """The rows of ``trace_id`` read from its documents (``None``: none stored)."""
    from vask import traceindex

    rows = query.document_rows(conn, trace_id)
    if not rows:
        return None
    size = sum(s or 0 for _, s in rows)
    sources: list[Any]
    if size <= _IN_MEMORY:
        sources = [query.read_document_part(conn, row_id, 0, s or 0) for row_id, s in rows]
        # a trace of one document (most are) is read natively when it can be
        built = _stored_rows(sources[0]) if len(sources) == 1 else None
        if built is not None:
            built.last_row = rows[-1][0]
            return built
    else:
        lock = threading.Lock()
        sources = [traceindex.StoredDocument(conn, lock, row_id, s or 0) for row_id, s in rows]
    index = traceindex.build_index(trace_id, sources)
    try:
        return _rows_of(index, rows[-1][0])
    finally:
        _let_go(index)


def _let_go(index: Any) -> None:
    """Close an index and free its documents now: its threads and the index refer to
    each other, which would keep every document read alive until the cycle collector
    runs (traces are indexed one after the other: hundreds of MiB each)."""
    index.close()
    index.threads.clear()


def _rows_of(index: Any, last_row: int) -> _Built:
    from vask import traceindex as ti

    built = _Built(last_row)
    built.root = index.root_trace_id if isinstance(index.root_trace_id, str) else None
    # a trace id is written by one process: its documents share a form
    built.legacy = index.legacy_form_at(0)
    exc_numbers: dict[str, int] = {}
    out = built.rows
    names = index.names
    # one document in memory (the writer's): its records are read in place
    buf = _in_memory(index)
    for seq, thread in enumerate(index.ordered_threads()):
        built.threads.append((thread.key, thread.name))
        kind, parent, open_rec, close_rec = (
            thread.kind,
            thread.parent,
            thread.open_rec,
            thread.close_rec,
        )
        starts, ends, name_id, rec_kind = thread.start, thread.end, thread.name_id, thread.rec_kind
        count = len(kind)
        # Nodes are mostly made after their parent: one pass gives every depth.
        # A call that began before tracing is made at its end and adopts what
        # ran before it: then the tree is walked instead.
        depth = array("i", bytes(4 * count))
        depth[0] = -1
        adopted = False
        for node in range(1, count):
            up = parent[node]
            depth[node] = depth[up] + 1
            adopted = adopted or up > node
        if adopted:
            for below, node in thread.walk(0):
                depth[node] = below
        # (name id, path text) -> (qualname, file), line
        where: dict[tuple[int, bytes], tuple[tuple[str, str], int]] = {}
        rec_pos, rec_ends = thread.rec_pos, thread._ends
        head = _FRAME_HEAD
        node = kind.find(ti.NODE_CALL)
        while node > 0:
            opened = open_rec[node]
            last = close_rec[node]
            first = opened if opened >= 0 else last
            path = None
            if buf is not None and first >= 0:
                at = rec_pos[first]
                if buf.startswith(head, at):
                    b = buf[at + 6]
                    if 0xA0 <= b <= 0xBF:
                        path = buf[at + 7 : at + 7 + (b & 0x1F)]
                    elif b == 0xD9:
                        path = buf[at + 8 : at + 8 + buf[at + 7]]
            key = where.get((name_id[node], path)) if path is not None else None
            if key is None:
                key = _where(thread, first, name_id[node], names, where)
            close_kind = rec_kind[last] if last >= 0 else None
            exc = -1
            if close_kind is None:
                outcome = UNFINISHED
            elif close_kind == 2:  # unwind
                outcome = RAISED
                exc_type = _exception_type_at(thread, last, buf)
                if exc_type is not None:
                    exc = exc_numbers.get(exc_type, -1)
                    if exc < 0:
                        exc = exc_numbers[exc_type] = len(built.exc_types)
                        built.exc_types.append(exc_type)
            elif close_kind == 4:
                outcome = YIELDED
            else:
                outcome = RETURNED
            if opened >= 0:
                opos = rec_pos[opened]
                end = rec_ends.get(opened)
                olen = (end if end is not None else rec_pos[opened + 1]) - opos
            else:
                opos = olen = -1
            if last >= 0:
                cpos = rec_pos[last]
                end = rec_ends.get(last)
                clen = (end if end is not None else rec_pos[last + 1]) - cpos
            else:
                cpos = clen = -1
            rows = out.get(key[0])
            if rows is None:
                rows = out[key[0]] = []
            rows.append(
                (
                    seq,
                    node,
                    parent[node],
                    depth[node],
                    key[1],
                    starts[node],
                    ends[node],
                    outcome,
                    exc,
                    -1,
                    opos,
                    olen,
                    cpos,
                    clen,
                )
            )
            node = kind.find(ti.NODE_CALL, node + 1)
        node = kind.find(ti.NODE_PLUGIN)
        while node > 0:
            _folded_row(thread, node, seq, depth[node], out)
            node = kind.find(ti.NODE_PLUGIN, node + 1)
    return built


def _in_memory(index: Any) -> bytes | None:
    """The bytes of an index's one document, when it is held in memory."""
    from vask.document import BytesSource

    sources = index._sources
    if len(sources) == 1 and isinstance(sources[0], BytesSource) and index._bases == [0]:
        return sources[0].data
    return None


def _span(thread: Any, rec: int) -> tuple[int, int]:
    if rec < 0:
        return -1, -1
    pos, end = thread.record_span(rec)
    return pos, end - pos


def _where(
    thread: Any,
    rec: int,
    name: int,
    names: list[Any],
    seen: dict[tuple[int, bytes], tuple[tuple[str, str], int]],
) -> tuple[tuple[str, str], int]:
    """((qualname, file), line) of the call whose frame record is ``rec``."""
    path = _path_bytes(thread, rec)
    found = seen.get((name, path))
    if found is not None:
        return found
    qualname = names[name].qualname if name >= 0 else "?"
    file, line = _split_path(path.decode("utf-8", "replace") if path else None)
    found = seen[(name, path)] = ((qualname, file), -1 if line is None else line)
    return found


def _path_bytes(thread: Any, rec: int) -> bytes:
    """The "path" entry of a frame record, read from its head when in the engines' layout."""
    if rec < 0:
        return b""
    head = thread.trace.read(thread.rec_pos[rec], 512)
    if head.startswith(_FRAME_HEAD):
        b = head[6]
        if 0xA0 <= b <= 0xBF:
            return head[7 : 7 + (b & 0x1F)]
        if b == 0xD9 and 8 + head[7] <= len(head):
            return head[8 : 8 + head[7]]
    record = thread.record(rec)
    path = record.get("path") if isinstance(record, dict) else None
    return path.encode("utf-8", "replace") if isinstance(path, str) else b""


def _exception_type_at(thread: Any, rec: int, buf: bytes | None = None) -> str | None:
    """The type of the exception of an "unwind" record.

    Read from the record's head: the engines write "exception" before the
    locals (most of the record), and an exception stored by its fields gives
    its type name before its fields.  The whole record is read only when the
    head does not hold it.  ``buf``: the trace's one document, held in memory.
    """
    import msgpack

    pos, end = thread.record_span(rec)
    size = min(end - pos, 512)
    head = buf[pos : pos + size] if buf is not None else thread.trace.read(pos, size)
    try:
        return _exception_type_in(head)
    except msgpack.OutOfData:
        pass
    except Exception:  # noqa: BLE001 - not a map as the engines write it: decoded whole below
        size = -1
    if size == end - pos:
        return None
    try:
        return _exception_type_in(thread.trace.read(pos, end - pos))
    except Exception:  # noqa: BLE001 - damaged or unusual: decode it whole
        record = thread.record(rec)
        return _exception_type(record.get("exception") if isinstance(record, dict) else None)


def _exception_type_in(data: bytes) -> str | None:
    """:func:`_exception_type_at` of the record whose first bytes are ``data``; raises
    ``msgpack.OutOfData`` when they do not reach far enough."""
    import msgpack

    unpacker = msgpack.Unpacker(raw=False, strict_map_key=False, unicode_errors="replace")
    unpacker.feed(data)
    for _ in range(unpacker.read_map_header()):
        if unpacker.unpack() == "exception":
            return _exception_type_of_bytes(data, unpacker.tell())
        unpacker.skip()
    return None


# MessagePack's extension headers: first byte -> (bytes of the length, fixed length).
_EXT_HEADS = {0xD4: (0, 1), 0xD5: (0, 2), 0xD6: (0, 4), 0xD7: (0, 8), 0xD8: (0, 16),
              0xC7: (1, 0), 0xC8: (2, 0), 0xC9: (4, 0)}  # fmt: skip


def _exception_type_of_bytes(data: bytes, at: int) -> str | None:
    """:func:`_exception_type` of the stored exception value at ``data[at:]``; raises
    ``msgpack.OutOfData`` when ``data`` ends before what it takes."""
    import msgpack

    from vask.values import EXT_OBJECT, EXT_REPR, unpack_stored

    if at >= len(data):
        raise msgpack.OutOfData
    head = _EXT_HEADS.get(data[at])
    if head is not None:
        width, size = head
        if at + 2 + width > len(data):
            raise msgpack.OutOfData
        if width:
            size = int.from_bytes(data[at + 1 : at + 1 + width], "big")
        code = data[at + 1 + width]
        payload = data[at + 2 + width : at + 2 + width + size]
        if code == EXT_OBJECT:  # [type name, address, fields]: the name is all it takes
            inner = msgpack.Unpacker(raw=False, unicode_errors="replace")
            inner.feed(payload)
            if inner.read_array_header() == 3:
                name = inner.unpack()
                if isinstance(name, str):
                    return name
        if len(payload) < size:
            raise msgpack.OutOfData
        if code == EXT_REPR:
            return _exception_type(payload.decode("utf-8", "replace"))
    unpacker = msgpack.Unpacker(raw=False)
    unpacker.feed(data[at:])
    unpacker.skip()  # OutOfData when cut
    return _exception_type(unpack_stored(data[at : at + unpacker.tell()]))


def _split_path(path: str | None) -> tuple[str, int | None]:
    if not path:
        return "?", None
    file, _, line = path.rpartition(":")
    if not file:
        return path, None
    return file, int(line) if line.isdigit() else None


def _exception_type(exc: Any) -> str | None:
    if exc is None:
        return None
    type_name = getattr(exc, "type_name", None)  # an exception stored by its fields
    if isinstance(type_name, str):
        return type_name
    if isinstance(exc, dict):
        for key in ("type", "exc_type", "class"):
            value = exc.get(key)
            if isinstance(value, str):
                return value
    text = exc if isinstance(exc, str) else str(getattr(exc, "text", exc))
    match = _EXC_TYPE.match(text)
    return match.group(1) if match else None


def _folded_row(
    thread: Any, node: int, seq: int, depth: int, out: dict[tuple[str, str], list[Any]]
) -> None:
    rec = thread.open_rec[node]
    pos, n = _span(thread, rec)
    _folded_row_of(thread.record(rec), seq, node, thread.parent[node], depth, pos, n, out)


def _folded_row_of(
    record: Any,
    seq: int,
    node: int,
    parent: int,
    depth: int,
    pos: int,
    n: int,
    out: dict[tuple[str, str], list[Any]],
) -> None:
    """The row of a folded range's record (at ``pos``, ``n`` bytes), added to ``out``."""
    if not isinstance(record, dict) or record.get("type") != FOLDED_TYPE:
        return
    qualname = record.get("qualname")
    if not isinstance(qualname, str):
        co_name = record.get("co_name")
        qualname = co_name if isinstance(co_name, str) else "?"
    path = record.get("path")
    file, line = _split_path(path if isinstance(path, str) else None)
    count = record.get("count")
    count = count if isinstance(count, int) and not isinstance(count, bool) else -1
    total = record.get("total_duration")
    total = (
        float(total) if isinstance(total, (int, float)) and not isinstance(total, bool) else None
    )
    start = plausible_time(record.get("first_timestamp"))
    start = math.nan if start is None else start
    end = start + total if total is not None and math.isfinite(total) else math.nan
    out.setdefault((qualname, file), []).append(
        (
            seq,
            node,
            parent,
            depth,
            -1 if line is None else line,
            start,
            end,
            FOLDED,
            -1,
            count,
            pos,
            n,
            -1,
            -1,
        )
    )


def _test_of(conn: Any, trace_id: str, root: str | None) -> tuple[Any, Any, int | None]:
    """The test node id and outcome of a trace (its own, else its root trace's), and the
    test's key in ``call_tests`` when it has one there already."""
    for tid in (trace_id, root):
        if tid is None:
            continue
        row = conn.execute(
            "SELECT t.trace_name, t.outcome, c.id FROM traces t"
            " LEFT JOIN call_tests c ON c.test = t.trace_name"
            " WHERE t.trace_id = ? AND t.outcome IS NOT NULL ORDER BY t.id DESC LIMIT 1",
            (tid,),
        ).fetchone()
        if row is not None:
            return row[0], row[1], None if row[2] is None else int(row[2])
    return None, None, None


def _bound_us(seconds: float) -> int:
    """A duration as the summary keeps it: whole microseconds, rounded up past it by more
    than the conversions to and from seconds can round down (it bounds the calls'
    durations from above: reading for the longest calls stops where it is no longer;
    microseconds, as the times' tick is about one, take a byte or two fewer)."""
    return math.floor(seconds * 1e6) + 2


def _pack_ids(ids: list[int]) -> bytes:
    """Ids in ascending order as the differences between neighbours, LEB128 varints."""
    out = bytearray()
    before = 0
    for value in ids:
        step = value - before
        before = value
        while step >= 0x80:
            out.append(step & 0x7F | 0x80)
            step >>= 7
        out.append(step)
    return bytes(out)


def _unpack_ids(data: bytes) -> list[int]:
    out = []
    value = step = shift = 0
    for byte in data:
        step |= (byte & 0x7F) << shift
        if byte >= 0x80:
            shift += 7
            continue
        value += step
        out.append(value)
        step = shift = 0
    return out


def _tick(largest: float) -> float:
    """The tick of a trace whose largest time (in magnitude) is ``largest``: ``_FINEST_TICK``,
    or the spacing of doubles there when wider (its times are then whole ticks)."""
    return max(math.ulp(largest), _FINEST_TICK)


def _take_turn(conn: Any) -> None:
    """Of PostgreSQL, wait for the other writers of the index (inside a transaction):
    two processes indexing the same trace, or adding the same name, take turns."""
    if backend.is_postgres(conn):
        conn.execute(
            "SELECT pg_advisory_xact_lock(hashtext(?))", (f"vask calls {conn.url.schema}",)
        )


def _inserted(conn: Any, sql: str, params: tuple[Any, ...]) -> int:
    """The id of the row ``sql`` (an INSERT into a table keyed by ``id``) adds."""
    if backend.is_postgres(conn):
        return int(conn.execute(sql + " RETURNING id", params).fetchone()[0])
    return int(conn.execute(sql, params).lastrowid)


def glob_sql(conn: Any, column: str) -> str:
    """The condition that ``column`` matches a GLOB pattern given as the parameter
    (SQLite's ``GLOB``; of PostgreSQL the pattern is made a regular expression by
    :func:`glob_param`)."""
    return f"{column} ~ ?" if backend.is_postgres(conn) else f"{column} GLOB ?"


def glob_param(conn: Any, pattern: str) -> str:
    """The parameter of :func:`glob_sql` for the GLOB ``pattern``: itself for SQLite,
    the anchored regular expression of the same strings for PostgreSQL (``*`` any
    text, ``?`` one character, ``[...]`` and ``[^...]`` a class, the rest literal)."""
    if not backend.is_postgres(conn):
        return pattern
    out = ["^"]
    i = 0
    while i < len(pattern):
        ch = pattern[i]
        if ch == "*":
            out.append(".*")
        elif ch == "?":
            out.append(".")
        elif ch == "[" and pattern.find("]", i + 2) > 0:
            end = pattern.find("]", i + 2)  # a "]" first in the class is one of its members
            body = pattern[i + 1 : end]
            negate = body.startswith("^")
            if negate:
                body = body[1:]
            # every member literal but a "-" between two (a range)
            members = "".join(
                c if c.isalnum() or (c == "-" and 0 < k < len(body) - 1) else "\\" + c
                for k, c in enumerate(body)
            )
            out.append(f"[{'^' if negate else ''}{members}]")
            i = end
        else:
            out.append(re.escape(ch) if not ch.isalnum() and ch != "_" else ch)
        i += 1
    out.append("$")
    return "".join(out)


class _BatchWrites:
    """The blocks of rows read natively of the traces written in one transaction of a
    build, compressed together (a batch of small traces on every core, as one large
    trace's)."""

    def __init__(self) -> None:
        self.blocks: list[tuple[int, list[bytes], int]] = []  # (trace key, blocks, level)

    def finish(self, conn: Any) -> None:
        """Write the blocks left, in the transaction of the traces that left them."""
        for level in sorted({level for _, _, level in self.blocks}):
            of_level = [(key, blocks) for key, blocks, at in self.blocks if at == level]
            frames = iter(_compressed([b for _, blocks in of_level for b in blocks], level))
            for key, blocks in of_level:
                _write_frames(conn, key, list(islice(frames, len(blocks))))
        self.blocks.clear()


def _write(
    conn: sqlite3.Connection,
    trace_id: str,
    built: _Built | None,
    batch: _BatchWrites | None = None,
) -> int:
    """Replace the index of ``trace_id`` by ``built`` (inside a transaction).

    Written only while ``built.last_row`` is still the trace's newest row: an
    index is never written for documents deleted, or saved again, since it was
    built (those are indexed again by the next query).  With ``batch``, the
    blocks of rows read natively are left to its :meth:`_BatchWrites.finish`,
    in the same transaction.
    """
    _take_turn(conn)
    old, newest = conn.execute(
        "SELECT (SELECT id FROM call_traces WHERE trace_id = ?),"
        " (SELECT MAX(id) FROM traces WHERE trace_id = ?)",
        (trace_id, trace_id),
    ).fetchone()
    if old is not None:
        _drop(conn, [old])
    if built is None or newest != built.last_row:
        return 0
    test, outcome, test_key = _test_of(conn, trace_id, built.root)
    if test_key is None and isinstance(test, str):
        test_key = _inserted(conn, "INSERT INTO call_tests (test) VALUES (?)", (test,))
    if built.root in (None, trace_id) and test_key is not None:
        # the subtrees flushed from this trace were stored (and maybe indexed) before it:
        # they are of its test
        conn.execute(
            "UPDATE call_traces SET test = ?, test_outcome = ? WHERE trace_id IN"
            " (SELECT trace_id FROM traces WHERE root_trace_id = ? AND trace_id != ?)",
            (test_key, outcome, trace_id, trace_id),
        )
    if built.native is not None:
        return _write_native(conn, trace_id, built, test_key, outcome, batch)
    starts = [
        r[5] for rows in built.rows.values() for r in rows if r[5] == r[5] and r[5] != math.inf
    ]
    first = min(starts, default=None)
    base = math.floor(first) if first is not None else 0.0
    ends = (r[6] for rows in built.rows.values() for r in rows if math.isfinite(r[6]))
    tick = _tick(max(map(abs, chain(starts, ends)), default=0.0))
    total = sum(len(rows) for rows in built.rows.values())
    key = _insert_trace(
        conn, trace_id, built, test_key, outcome,
        {"base": base, "first_start": first, "calls": total, "tick": tick},
    )  # fmt: skip
    ids = _name_ids(conn, list(built.rows))
    names = _pack_ids(sorted(ids.values()))
    raised = sum(1 for rows in built.rows.values() for r in rows if r[7] == RAISED)
    conn.execute("UPDATE call_traces SET names = ?, raised = ? WHERE id = ?", (names, raised, key))
    # rows by name id, then by start time: a name's rows are one stretch
    ordered = sorted(built.rows.items(), key=lambda item: ids[item[0]])
    inf = math.inf
    for rows in built.rows.values():
        if not _in_block_order([r[5] for r in rows], [r[0] for r in rows], [r[1] for r in rows]):
            rows.sort(key=lambda r: (r[5] if r[5] == r[5] else inf, r[0], r[1]))
    every = [r for _, rows in ordered for r in rows]
    implied = _implied_parents([r[0] for r in every], [r[1] for r in every], [r[3] for r in every])
    columns: list[list[int]] = [[] for _ in _COLUMNS]
    summary = []
    at = 0
    step = tick * START_TICKS
    longest = longest_raised = -1
    for name_key, rows in ordered:
        name = ids[name_key]
        (thread, node, parent, depth, line, start, end, outcome, exc, folded, op, ol, cp, _) = zip(
            *rows
        )
        durations = [
            round((e - s) / tick) if e >= s and isfinite(e - s) else -1
            for s, e in zip(start, end)
        ]
        known = [d for d in durations if d >= 0]
        if known:
            longest = max(longest, max(known))
            if RAISED in outcome:
                longest_raised = max(
                    [longest_raised]
                    + [d for d, o in zip(durations, outcome) if o == RAISED and d >= 0]
                )
        summary.append(
            (
                name,
                key,
                len(rows),
                outcome.count(RAISED),
                _bound_us(max(known) * tick) if known else None,
                at,
            )
        )
        for column, values in zip(
            columns,
            (
                [name] * len(rows),
                thread,
                node,
                [
                    0 if p == q else n - p
                    for n, p, q in zip(node, parent, islice(implied, at, at + len(rows)))
                ],
                depth,
                line,
                [round((s - base) / step) if isfinite(s) else -1 for s in start],
                durations,
                outcome,
                exc,
                folded,
                op,
                [c - o - n if c >= 0 and o >= 0 else c for o, n, c in zip(op, ol, cp)],
            ),
        ):
            column.extend(values)
        at += len(rows)
    _insert_rows(conn, _INSERT_SUMMARY, summary, _SUMMARY_ROWS_AT_ONCE)
    write_blocks(conn, key, columns, built.level)
    conn.execute(
        "UPDATE call_traces SET max_duration = ?, max_raised = ? WHERE id = ?",
        (
            longest * tick if longest >= 0 else None,
            longest_raised * tick if longest_raised >= 0 else None,
            key,
        ),
    )
    return at


def _write_native(
    conn: sqlite3.Connection,
    trace_id: str,
    built: _Built,
    test_key: int | None,
    outcome: Any,
    batch: _BatchWrites | None = None,
) -> int:
    """The rest of :func:`_write` for rows the native reader read: encoded natively into the
    same blocks, summary and facts as the rows written here (see ``call_columns.hpp``)."""
    assert _encode_call_index is not None
    by_key = _name_ids(conn, built.names)
    ids = [by_key[k] for k in built.names]
    got = _encode_call_index(built.native, ids, BLOCK_ROWS, START_TICKS, _FINEST_TICK)
    if isinstance(got, str):
        raise ValueError(f"calls index of {trace_id} not written: {got}")
    first, base, tick, total, raised, longest, longest_raised, summary, blocks = got
    key = _insert_trace(
        conn, trace_id, built, test_key, outcome,
        {
            "base": base, "first_start": first, "calls": total, "tick": tick,
            "names": _pack_ids(sorted(ids)), "raised": raised,
            "max_duration": longest * tick if longest >= 0 else None,
            "max_raised": longest_raised * tick if longest_raised >= 0 else None,
        },
    )  # fmt: skip
    _insert_rows(
        conn,
        _INSERT_SUMMARY,
        [
            (ids[k], key, calls, n_raised, _bound_us(most * tick) if most >= 0 else None, at)
            for k, calls, n_raised, most, at in summary
        ],
        _SUMMARY_ROWS_AT_ONCE,
    )
    if batch is not None:
        batch.blocks.append((key, blocks, built.level))
    else:
        _write_frames(conn, key, _compressed(blocks, built.level))
    return int(total)


def _insert_rows(conn: Any, insert: str, rows: Sequence[Sequence[Any]], at_once: int) -> None:
    """``insert`` (an INSERT up to its VALUES) of ``rows``, ``at_once`` to a statement, not
    one each: every step lets the GIL go (see vask.storage.writer)."""
    for at in range(0, len(rows), at_once):
        chunk = rows[at : at + at_once]
        row = "(" + ", ".join("?" * len(chunk[0])) + ")"
        conn.execute(
            f"{insert} VALUES {','.join([row] * len(chunk))}",
            [value for values in chunk for value in values],
        )


# The summary rows added by one statement (their parameters within SQLite's oldest
# limit, 999).
_SUMMARY_ROWS_AT_ONCE = 150

_INSERT_SUMMARY = "INSERT INTO call_summary (name, trace, calls, raised, longest, first_row)"


def _compressed(blocks: list[bytes], level: int) -> list[bytes]:
    """``blocks`` compressed at ``level``; those of a large trace at the high level on
    every core (each is a frame of its own either way, the same bytes)."""
    compressor = _compressor(level)
    if (
        level >= LEVEL
        and len(blocks) >= _BLOCKS_ON_EVERY_CORE
        and (os.cpu_count() or 1) > 1
        and hasattr(compressor, "multi_compress_to_buffer")
    ):
        return [bytes(frame) for frame in compressor.multi_compress_to_buffer(blocks, threads=-1)]
    return codec.compress_each(compressor, blocks)


# The blocks of a trace worth compressing on every core (fewer: the threads cost more).
_BLOCKS_ON_EVERY_CORE = 8


def _insert_trace(
    conn: Any, trace_id: str, built: _Built, test_key: int | None, outcome: Any,
    facts: dict[str, Any],
) -> int:  # fmt: skip
    """Add the ``call_traces`` row of ``built`` (``facts``: the columns computed of its rows);
    returns its key."""
    columns = {
        "trace_id": trace_id,
        "last_row": built.last_row,
        "test": test_key,
        "test_outcome": outcome,
        "threads": json.dumps(built.threads),
        "exc_types": json.dumps(built.exc_types),
        "legacy": None if built.legacy is None else int(built.legacy),
        **facts,
    }
    return _inserted(
        conn,
        f"INSERT INTO call_traces ({', '.join(columns)}) VALUES ({', '.join('?' * len(columns))})",
        tuple(columns.values()),
    )


def _in_block_order(start: Sequence[float], seq: Sequence[int], node: Sequence[int]) -> bool:
    """Whether a name's rows are in the order its blocks hold them: by start (none last),
    then thread and node.  Both builders give each name's rows in their walk's order
    (threads in order, each thread's calls as they began), which is that order but
    where threads overlap or a folded range follows: then they are sorted."""
    if any(map(math.isnan, start)):
        return False
    keys = list(zip(start, seq, node))
    return all(map(operator.le, keys, islice(keys, 1, None)))


def _implied_parents(threads: list[int], nodes: list[int], depths: list[int]) -> list[int]:
    """Per row of a trace (its thread, node and depth), the parent its neighbours imply:
    the node of the last row of its thread before it, in node order, one level up (the
    thread's root, node 0, at depth 0); -1 when there is none.  Most calls' parents
    are: the blocks keep the others only."""
    implied = [-1] * len(nodes)
    last_at: dict[tuple[int, int], int] = {}
    for k in sorted(range(len(nodes)), key=lambda k: (threads[k], nodes[k])):
        depth = depths[k]
        implied[k] = 0 if depth == 0 else last_at.get((threads[k], depth - 1), -1)
        last_at[threads[k], depth] = nodes[k]
    return implied


def write_blocks(conn: Any, key: int, columns: list[list[int]], level: int = LEVEL) -> int:
    """Write a trace's rows as its blocks (inside a transaction): ``columns`` are its
    rows' values in the order of ``_COLUMNS``, as stored (node less parent, the
    closing position less the opening record's end, times in the trace's ticks; node less
    parent may be 0 for the parent :func:`_implied_parents` gives), the rows
    sorted by name and then start.  Returns the blocks written."""
    count = len(columns[0]) if columns else 0
    frames = [
        _encode([c[first_row : first_row + BLOCK_ROWS] for c in columns], level)
        for first_row in range(0, count, BLOCK_ROWS)
    ]
    _write_frames(conn, key, frames)
    return len(frames)


def _write_frames(conn: Any, key: int, frames: list[bytes]) -> None:
    """Write trace ``key``'s compressed blocks, in order, as its one row of them."""
    if frames:
        conn.execute(
            "INSERT INTO call_blocks (trace, sizes, data) VALUES (?, ?, ?)",
            # the frames' ends, as the differences between neighbours: their sizes
            (key, _pack_ids(list(accumulate(map(len, frames)))), b"".join(frames)),
        )


def _stored_blocks(conn: Any, key: int, blocks: Iterable[int]) -> dict[int, bytes]:
    """The compressed frames of trace ``key``'s blocks ``blocks`` (those it has)."""
    row = conn.execute("SELECT sizes, data FROM call_blocks WHERE trace = ?", (key,)).fetchone()
    if row is None:
        return {}
    ends = _unpack_ids(bytes(row[0]))
    data = memoryview(row[1])
    return {
        block: data[ends[block - 1] if block else 0 : ends[block]]
        for block in blocks
        if 0 <= block < len(ends)
    }


def _name_ids(conn: Any, keys: list[tuple[str, str]]) -> dict[tuple[str, str], int]:
    """The id of each (qualname, file) in ``keys``, those not known yet added in that order
    (inside a transaction).  Those the connection found before are taken as it knows them
    (``schema.known_rows``); the rest are found a few hundred at a statement (a trace
    calls hundreds of functions, most of them named by a trace before)."""
    memo = schema.known_rows(conn)
    out: dict[tuple[str, str], int] = {}
    if memo is not None:
        known, written = memo
        for key in keys:
            found = known.get(key)
            if found is None:
                found = written.get(key)
            if found is not None:
                out[key] = found
    wanted = list(dict.fromkeys(key for key in keys if key not in out))
    if backend.is_postgres(conn):
        _pg_name_ids(conn, wanted, out)
    elif wanted:
        # those it holds already are left as they are
        _insert_rows(
            conn, "INSERT OR IGNORE INTO call_names (qualname, file)", wanted, _NAMES_AT_ONCE
        )
        out.update(_stored_name_ids(conn, wanted))
    if memo is not None and wanted:
        memo[1].update((key, out[key]) for key in wanted)
    return out


def _stored_name_ids(conn: Any, keys: list[tuple[str, str]]) -> dict[tuple[str, str], int]:
    """The ids of those of ``keys`` that SQLite's ``call_names`` holds, each statement
    answering in one row: every row read lets the GIL go (see vask.storage.writer)."""
    out: dict[tuple[str, str], int] = {}
    for at in range(0, len(keys), _NAMES_AT_ONCE):
        chunk = keys[at : at + _NAMES_AT_ONCE]
        (found,) = conn.execute(
            "WITH wanted (n, qualname, file) AS (VALUES "
            + ",".join(["(?, ?, ?)"] * len(chunk))
            + ") SELECT group_concat(w.n || ':' || c.id) FROM wanted w"
            " JOIN call_names c ON c.qualname = w.qualname AND c.file = w.file",
            [value for n, key in enumerate(chunk) for value in (n, *key)],
        ).fetchone()
        for pair in found.split(",") if found else ():
            n, key = pair.split(":")
            out[chunk[int(n)]] = int(key)
    return out


def _pg_name_ids(
    conn: Any, wanted: list[tuple[str, str]], out: dict[tuple[str, str], int]
) -> None:
    """:func:`_name_ids` of PostgreSQL: those of ``wanted`` it holds are found by their
    qualified names, the others added one by one."""
    looked_for = set(wanted)
    qualnames = sorted({qualname for qualname, _ in wanted})
    for at in range(0, len(qualnames), _NAMES_AT_ONCE):
        chunk = qualnames[at : at + _NAMES_AT_ONCE]
        for key, qualname, file in conn.execute(
            "SELECT id, qualname, file FROM call_names WHERE qualname IN"
            f" ({','.join('?' * len(chunk))})",
            chunk,
        ):
            if (qualname, file) in looked_for:
                out[(qualname, file)] = int(key)
    for qualname, file in wanted:
        if (qualname, file) not in out:
            out[(qualname, file)] = _inserted(
                conn, "INSERT INTO call_names (qualname, file) VALUES (?, ?)", (qualname, file)
            )


# Names looked up or added by one statement (their parameters within SQLite's oldest
# limit, 999).
_NAMES_AT_ONCE = 300


_MASK = (1 << 64) - 1


def _varint(value: int) -> bytes:
    """``value`` (a signed 64-bit one) as a zigzag LEB128 varint."""
    raw = ((value << 1) ^ (value >> 63)) & _MASK
    out = bytearray()
    while raw >= 0x80:
        out.append(raw & 0x7F | 0x80)
        raw >>= 7
    out.append(raw)
    return bytes(out)


def _wrap(value: int) -> int:
    """``value`` modulo 2^64, as a signed 64-bit value."""
    return ((value + (1 << 63)) & _MASK) - (1 << 63)


def _read_varint(raw: bytes, at: int) -> tuple[int, int]:
    """The signed value of the zigzag varint at ``raw[at:]``, and where it ends."""
    value = shift = 0
    while True:
        if at >= len(raw):
            raise ValueError("index block shorter than its columns")
        byte = raw[at]
        at += 1
        value |= (byte & 0x7F) << shift
        if byte < 0x80:
            break
        shift += 7
        if shift > 63:
            raise ValueError("index block varint too long")
    return (value >> 1) ^ -(value & 1), at


def _encode(columns: list[list[int]], level: int = LEVEL) -> bytes:
    """One block of rows, compressed at ``level``."""
    return _compressor(level).compress(_encode_raw(columns))


def _encode_raw(columns: list[list[int]]) -> bytes:
    """One block of rows (the layout is in ``index_block.hpp``): each column its values
    less their least (a delta-coded one its differences), in as few bytes as the largest
    takes."""
    count = len(columns[0])
    parts = [_BLOCK_HEAD.pack(count)]
    for (_, _, delta), values in zip(_COLUMNS, columns, strict=True):
        first = _varint(values[0] if values else 0) if delta else b""
        if delta and values:
            # differences wrap to 64 bits, signed, as the decoder's sums do
            values = [0, *map(operator.sub, islice(values, 1, None), values)]
            if min(values) < -(1 << 63) or max(values) >= 1 << 63:
                values = [_wrap(v) for v in values]
        ref = min(values, default=0)
        # each stored value is from 0 to 2^64 - 1: the values fit 64 bits, signed
        stored = list(map(operator.sub, values, repeat(ref))) if ref else values
        width = (max(stored, default=0).bit_length() + 7) // 8
        parts.append(bytes((width,)) + _varint(ref) + first)
        if width:
            packed = array("Q", stored)
            if _SWAP:
                packed.byteswap()
            data = packed.tobytes()
            parts.extend(data[i::8] for i in range(width))
    return b"".join(parts)


def _decode(raw: bytes) -> dict[str, tuple[int, int, list[int]]]:
    """A decompressed block's columns as stored, in Python: per column its ``ref``,
    its ``first`` (0 when not delta-coded) and its stored values (:func:`_stretch` adds
    them up over the rows asked for only).  Queries read blocks through
    :func:`decode_rows`, which this defines."""
    if len(raw) < _BLOCK_HEAD.size:
        raise ValueError("index block shorter than its head")
    (count,) = _BLOCK_HEAD.unpack_from(raw, 0)
    at = _BLOCK_HEAD.size
    out = {}
    for name, _, delta in _COLUMNS:
        if at >= len(raw):
            raise ValueError("index block shorter than its columns")
        width = raw[at]
        if width > 8:
            raise ValueError("index block column stored too wide")
        ref, at = _read_varint(raw, at + 1)
        first = 0
        if delta:
            first, at = _read_varint(raw, at)
        if len(raw) - at < count * width:
            raise ValueError("index block shorter than its columns")
        wide = bytearray(8 * count)
        for i in range(width):
            wide[i::8] = raw[at + i * count : at + (i + 1) * count]
        at += count * width
        stored = array("Q")
        stored.frombytes(bytes(wide))
        if _SWAP:
            stored.byteswap()
        out[name] = (ref, first, stored.tolist())
    if at != len(raw):
        raise ValueError("index block longer than its columns")
    return out


def _stretch(
    decoded: dict[str, tuple[int, int, list[int]]], lo: int, hi: int
) -> dict[str, array]:
    """Rows ``lo`` to ``hi`` of a block decoded by :func:`_decode`, every column as values."""
    out = {}
    for name, code, delta in _COLUMNS:
        ref, first, stored = decoded[name]
        if delta and lo < hi:
            # row 0 is ``first``; each row after it adds its difference
            start = first + sum(ref + s for s in stored[1 : lo + 1])
            values = list(accumulate((ref + s for s in stored[lo + 1 : hi]), initial=start))
        elif delta:
            values = []
        else:
            values = [ref + s for s in stored[lo:hi]]
        bits = 8 * array(code).itemsize
        top = 1 << bits
        # as the native decoder narrows them: two's complement at the column's width
        out[name] = array(
            code, [v - top if v >= top >> 1 else v for v in (v & (top - 1) for v in values)]
        )
    return out


# -- reading -----------------------------------------------------------------


def name_ids(conn: sqlite3.Connection, globs: Iterable[str]) -> dict[int, tuple[str, str]]:
    """The names whose qualified name matches one of the GLOB patterns: id -> (qualname, file)."""
    out = {}
    for glob in globs:
        for row in conn.execute(
            f"SELECT id, qualname, file FROM call_names WHERE {glob_sql(conn, 'qualname')}",
            (glob_param(conn, glob),),
        ):
            out[row[0]] = (row[1], row[2])
    return out


def summaries(
    conn: sqlite3.Connection,
    names: Iterable[int] | None,
    *,
    raised: bool = False,
    test: str | None = None,
    test_glob: bool = False,
    outcome: str | None = None,
    trace: str | None = None,
) -> list[tuple[Any, ...]]:
    """The summary rows of ``names`` (``None``: of every name) in traces that pass the
    trace filters:
    (trace key, name, calls, raised, a bound on the longest duration in seconds (no
    call is as long), first row, the time the trace's first call started, the longest
    call of the trace that raised).
    """
    where, params = _trace_filters(conn, test, test_glob, outcome, trace)
    if raised:
        where.append("s.raised > 0")
    sql = (
        "SELECT s.trace, s.name, s.calls, s.raised, s.longest * 1e-6, s.first_row,"
        " t.first_start, t.max_raised FROM call_summary s JOIN call_traces t ON t.id = s.trace"
        " LEFT JOIN call_tests ct ON ct.id = t.test WHERE 1 = 1"
    )
    if where:
        sql += " AND " + " AND ".join(where)
    if names is None:  # every name: one pass over the summary
        return conn.execute(sql, params).fetchall()
    out = []
    wanted = list(names)
    for at in range(0, len(wanted), 500):
        chunk = wanted[at : at + 500]
        marks = ",".join("?" * len(chunk))
        out.extend(conn.execute(f"{sql} AND s.name IN ({marks})", [*params, *chunk]).fetchall())
    return out


def _trace_filters(
    conn: sqlite3.Connection,
    test: str | None,
    test_glob: bool,
    outcome: str | None,
    trace: str | None,
) -> tuple[list[str], list[Any]]:
    """The SQL conditions and parameters of the trace filters, on ``call_traces t``
    joined with ``call_tests ct``."""
    where: list[str] = []
    params: list[Any] = []
    if test is not None:
        where.append(glob_sql(conn, "ct.test") if test_glob else "ct.test = ?")
        params.append(glob_param(conn, test) if test_glob else test)
    if outcome is not None:
        where.append("t.test_outcome = ?")
        params.append(outcome)
    if trace is not None:
        where.append("t.trace_id = ?")
        params.append(trace)
    return where, params


def traces_in_order(
    conn: sqlite3.Connection,
    *,
    raised: bool = False,
    test: str | None = None,
    test_glob: bool = False,
    outcome: str | None = None,
    trace: str | None = None,
) -> list[tuple[int, int]]:
    """(trace key, calls) of the indexed traces that pass the trace filters (``raised``:
    that hold a call that raised), in the order their first call started: a query of
    every name reads their rows trace by trace, without the summary."""
    where, params = _trace_filters(conn, test, test_glob, outcome, trace)
    if raised:
        where.append("COALESCE(t.raised, 1) > 0")
    sql = (
        "SELECT t.id, t.calls FROM call_traces t LEFT JOIN call_tests ct ON ct.id = t.test"
        " WHERE t.calls > 0"
    )
    if where:
        sql += " AND " + " AND ".join(where)
    sql += " ORDER BY t.first_start IS NULL, t.first_start, t.id"
    return [(int(r[0]), int(r[1])) for r in conn.execute(sql, params)]


def traces_longest_first(
    conn: sqlite3.Connection,
    *,
    raised: bool = False,
    test: str | None = None,
    test_glob: bool = False,
    outcome: str | None = None,
    trace: str | None = None,
) -> list[tuple[int, int, float]]:
    """(trace key, calls, longest) of the indexed traces that pass the trace filters,
    the trace with the longest call first (``raised``: the longest call that raised):
    the slowest calls of every name in them are read trace by trace, until no trace
    left can hold a longer call."""
    where, params = _trace_filters(conn, test, test_glob, outcome, trace)
    longest = "t.max_raised" if raised else "t.max_duration"
    sql = (
        f"SELECT t.id, t.calls, {longest} FROM call_traces t"
        f" LEFT JOIN call_tests ct ON ct.id = t.test WHERE {longest} IS NOT NULL"
    )
    if where:
        sql += " AND " + " AND ".join(where)
    sql += f" ORDER BY {longest} DESC, t.id"
    return [(int(r[0]), int(r[1]), float(r[2])) for r in conn.execute(sql, params)]


def trace_facts(conn: sqlite3.Connection, keys: Iterable[int]) -> dict[int, dict[str, Any]]:
    """Per trace key: its id, test, outcome, threads, exception types, base, first start,
    how it stored its values before 0.2, and its tick (the seconds of a time unit)."""
    out = {}
    wanted = list(keys)
    # traces of one suite mostly share their threads and exception types: each list read once
    lists: dict[str, Any] = {}

    def listed(text: str, as_tuples: bool) -> Any:
        found = lists.get(text)
        if found is None:
            found = json.loads(text)
            found = lists[text] = [tuple(t) for t in found] if as_tuples else found
        return found

    for at in range(0, len(wanted), 500):
        chunk = wanted[at : at + 500]
        marks = ",".join("?" * len(chunk))
        for row in conn.execute(
            "SELECT t.id, t.trace_id, ct.test, t.test_outcome, t.threads, t.exc_types, t.base,"
            " t.first_start, t.legacy, t.tick FROM call_traces t"
            f" LEFT JOIN call_tests ct ON ct.id = t.test WHERE t.id IN ({marks})",
            chunk,
        ):
            out[row[0]] = {
                "trace_id": row[1],
                "test": row[2],
                "test_outcome": row[3],
                # shared between traces: read, never changed
                "threads": listed(row[4], True),
                "exc_types": listed(row[5], False),
                "base": row[6] or 0.0,
                "first_start": row[7],
                "legacy": None if row[8] is None else bool(row[8]),
                "tick": row[9] or 1e-9,
            }
    return out


def read_rows(
    conn: sqlite3.Connection,
    key: int,
    first_row: int,
    count: int,
    cache: BlockCache | None = None,
) -> dict[str, array]:
    """Rows ``first_row`` to ``first_row + count`` of trace ``key``, column by column, as
    stored: read each row's values through :func:`row_at`.  Only the blocks that hold
    them are read, in one query; ``cache`` keeps decompressed blocks for the next call."""
    return read_ranges(conn, key, [(first_row, count)], cache)


def read_ranges(
    conn: sqlite3.Connection,
    key: int,
    ranges: Iterable[tuple[int, int]],
    cache: BlockCache | None = None,
) -> dict[str, array]:
    """The rows of trace ``key`` in ``ranges`` ((first row, count) pairs, in ascending
    order, apart), one range after another, as :func:`read_rows` reads one."""
    wanted = [(first, first + count) for first, count in ranges if count > 0]
    needed = sorted(
        {b for lo, hi in wanted for b in range(lo // BLOCK_ROWS, (hi - 1) // BLOCK_ROWS + 1)}
    )
    found: dict[int, bytes] = {}
    if cache is not None:
        for block in needed:
            raw = cache.get((key, block))
            if raw is not None:
                found[block] = raw
    missing = [block for block in needed if block not in found]
    if missing:
        decompress = _decompressor().decompress
        for block, data in _stored_blocks(conn, key, missing).items():
            raw = found[block] = decompress(data)
            if cache is not None:
                cache.put((key, block), raw)
    # the needed blocks in runs of neighbours, each decoded at once with its ranges
    parts: list[dict[str, array]] = []
    run: list[int] = []
    for block in [*needed, None]:
        if block is not None and (not run or block == run[-1] + 1):
            run.append(block)
            continue
        if run:
            parts.append(_decode_run(found, run, wanted))
        run = [block] if block is not None else []
    if len(parts) == 1:
        return parts[0]
    out = {name: array(code) for name, code, _ in _COLUMNS}
    for part in parts:
        for name, column in part.items():
            out[name].extend(column)
    return out


def _decode_run(
    found: dict[int, bytes], run: list[int], wanted: list[tuple[int, int]]
) -> dict[str, array]:
    """The rows of ``wanted`` (row ranges) that lie in the neighbouring blocks ``run``."""
    at, end = run[0] * BLOCK_ROWS, (run[-1] + 1) * BLOCK_ROWS
    inside = [(lo - at, hi - at) for lo, hi in wanted if at <= lo and hi <= end]
    if any(block not in found for block in run):
        # a block gone (the trace indexed again meanwhile): the rows of those there
        out = {name: array(code) for name, code, _ in _COLUMNS}
        for block in run:
            raw = found.get(block)
            base = (block - run[0]) * BLOCK_ROWS
            for lo, hi in inside:
                lo, hi = max(lo - base, 0), min(hi - base, BLOCK_ROWS)
                if raw is not None and lo < hi:
                    for name, column in decode_rows(raw, lo, hi).items():
                        out[name].extend(column)
        return out
    raws = tuple(found[block] for block in run)
    raw: bytes | tuple[bytes, ...] = raws if len(raws) > 1 else raws[0]
    if len(inside) == 1:
        return decode_rows(raw, inside[0][0], inside[0][1])
    return decode_rows(raw, tuple(lo for lo, _ in inside), tuple(hi for _, hi in inside))


class BlockCache:
    """The decompressed blocks a query read last, ``budget`` bytes of them at the most
    (the names of a trace share its blocks)."""

    def __init__(self, budget: int = 64 << 20) -> None:
        self.budget = budget
        self._blocks: dict[tuple[int, int], bytes] = {}
        self._held = 0

    def get(self, key: tuple[int, int]) -> bytes | None:
        return self._blocks.get(key)

    def put(self, key: tuple[int, int], raw: bytes) -> None:
        self._held += len(raw)
        self._blocks[key] = raw
        while self._held > self.budget and len(self._blocks) > 1:
            self._held -= len(self._blocks.pop(next(iter(self._blocks))))


def block_bytes(
    conn: sqlite3.Connection, key: int, block: int, cache: BlockCache | None = None
) -> bytes | None:
    """Block ``block`` of trace ``key``, decompressed (``None``: no such block)."""
    raw = cache.get((key, block)) if cache is not None else None
    if raw is not None:
        return raw
    data = _stored_blocks(conn, key, [block]).get(block)
    if data is None:
        return None
    raw = _decompressor().decompress(data)
    if cache is not None:
        cache.put((key, block), raw)
    return raw


def decode_rows(
    raw: bytes | tuple[bytes, ...], lo: int | tuple[int, ...], hi: int | tuple[int, ...]
) -> dict[str, array]:
    """Rows ``lo`` to ``hi`` of a decompressed block (of a tuple of a trace's consecutive
    blocks: their rows one after another), every column as values (decoded natively;
    :func:`_decode` and :func:`_stretch` are the same in Python).  With tuples ``lo``
    and ``hi`` of as many ints, the rows of each of those runs, one after another."""
    if isinstance(lo, tuple) and isinstance(hi, tuple):
        if _decode_index_block is not None:
            return _columns(_decode_index_block(raw, _LAYOUT, lo, hi))
        if len(lo) != len(hi):
            raise ValueError("lo and hi of unlike lengths")
        out = {name: array(code) for name, code, _ in _COLUMNS}
        for one_lo, one_hi in zip(lo, hi, strict=True):
            for name, column in decode_rows(raw, one_lo, one_hi).items():
                out[name].extend(column)
        return out
    assert isinstance(lo, int) and isinstance(hi, int)
    if _decode_index_block is None:
        if not isinstance(raw, tuple):
            return _stretch(_decode(raw), lo, hi)
        out = {name: array(code) for name, code, _ in _COLUMNS}
        at = 0
        for one in raw:
            decoded = _decode(one)
            count = len(decoded[_COLUMNS[0][0]][2])
            if lo < at + count and hi > at:
                part = _stretch(decoded, max(lo - at, 0), min(hi - at, count))
                for name, column in part.items():
                    out[name].extend(column)
            at += count
        if lo > hi or hi > at:
            raise ValueError("rows outside the index block")
        return out
    return _columns(_decode_index_block(raw, _LAYOUT, lo, hi))


def _columns(decoded: tuple[bytes, ...]) -> dict[str, array]:
    """The native decoder's bytes as arrays of the columns' types."""
    out = {}
    for (name, code, _), data in zip(_COLUMNS, decoded, strict=True):
        column = array(code)
        column.frombytes(data)
        out[name] = column
    return out


def row_at(cols: dict[str, array], i: int, base: float, tick: float) -> dict[str, Any]:
    """Row ``i`` of columns read by :func:`read_rows` of a trace whose times start at
    ``base`` and count ``tick`` seconds (starts ``START_TICKS`` of them): ``start`` a time
    and ``duration`` seconds
    (``None`` when not known), ``line``, ``exc`` and ``folded`` ``None`` for none,
    ``open_pos`` -1 for no record, ``close_after`` as stored (see
    :meth:`RecordReader.closing`)."""
    start = cols["start"][i]
    duration = cols["duration"][i]
    node = cols["node"][i]
    open_pos = cols["open_pos"][i]
    line = cols["line"][i]
    exc = cols["exc"][i]
    folded = cols["folded"][i]
    return {
        "name": cols["name"][i],
        "thread": cols["thread"][i],
        "node": node,
        # None: the parent its neighbours imply (see all_rows)
        "parent": node - cols["parent"][i] if cols["parent"][i] else None,
        "depth": cols["depth"][i],
        "line": line if line >= 0 else None,
        "start": base + start * tick * START_TICKS if start >= 0 else None,
        "duration": duration * tick if duration >= 0 else None,
        "outcome": cols["outcome"][i],
        "exc": exc if exc >= 0 else None,
        "folded": folded if folded >= 0 else None,
        "open_pos": open_pos,
        "close_after": cols["close_after"][i],
    }


def all_rows(conn: sqlite3.Connection, trace_id: str) -> list[dict[str, Any]]:
    """Every row of a trace's index (see :func:`row_at`), with its thread key, qualified
    name and exception type (for checks; queries read the stretches they need)."""
    found = conn.execute(
        "SELECT id, calls FROM call_traces WHERE trace_id = ?", (trace_id,)
    ).fetchone()
    if found is None:
        return []
    key, count = found
    facts = trace_facts(conn, [key])[key]
    cols = read_rows(conn, key, 0, count)
    names = {
        r[0]: r[1]
        for r in conn.execute(
            "SELECT DISTINCT n.id, n.qualname FROM call_names n"
            " JOIN call_summary s ON s.name = n.id WHERE s.trace = ?",
            (key,),
        )
    }
    out = []
    implied = _implied_parents(list(cols["thread"]), list(cols["node"]), list(cols["depth"]))
    reader = RecordReader(conn, 0)
    for i in range(count):
        row = row_at(cols, i, facts["base"], facts["tick"])
        if row["parent"] is None:
            row["parent"] = implied[i]
        row["close_pos"] = reader.closing(trace_id, row["open_pos"], row["close_after"])
        row["thread_key"] = facts["threads"][row["thread"]][0]
        row["qualname"] = names.get(row["name"])
        row["exc_type"] = facts["exc_types"][row["exc"]] if row["exc"] is not None else None
        out.append(row)
    reader.close()
    return out


#: The decompressed frames a record reader keeps (see :class:`codec.FrameCache`).
FRAME_CACHE_BYTES = 32 << 20


class RecordReader:
    """Reads records of stored traces at the positions the index gives, keeping each
    document's reader open (a new blob handle per record walks the piece's pages).

    The decompressed frames of compressed documents are kept in one cache of
    ``cache_bytes`` for all of them: a call's opening and closing records, and
    the calls after it, lie in frames read a moment before.
    """

    def __init__(self, conn: sqlite3.Connection, cache_bytes: int | None = None) -> None:
        self.conn = conn
        self._rows: dict[str, list[tuple[int, int]]] = {}
        self._readers: dict[int, query.DocumentReader] = {}
        budget = FRAME_CACHE_BYTES if cache_bytes is None else cache_bytes
        #: ``None`` with a budget of 0: each reader keeps the frame it read last.
        self.frames = codec.FrameCache(budget) if budget > 0 else None
        self._pool: Executor | None = None
        self._workers = min(os.cpu_count() or 1, 4)

    def decode(self, trace_id: str, pos: int, legacy: bool | None = None) -> Any:
        """The record at trace position ``pos`` of ``trace_id``, decoded; ``legacy`` says
        how the trace stored its values if before 0.2."""
        data = self.read(trace_id, pos)
        if data is None:
            return None
        record = decode_record(data)
        return record if legacy is None else upgrade_legacy_record(record, legacy)

    def closing(self, trace_id: str, open_pos: int, after: int) -> int:
        """The trace position of a call's closing record, ``after`` bytes past the end
        of its opening record at ``open_pos`` (``after`` itself when it has none; -1
        when it has no closing record, or the opening one cannot be read)."""
        if after < 0 or open_pos < 0:
            return after
        try:
            data, whole = self._record(trace_id, open_pos)
        except Exception:  # noqa: BLE001 - damaged: the call is shown without its end
            return -1
        return open_pos + len(data) + after if whole else -1

    def lacking(
        self, trace_id: str, positions: list[int], needle: bytes, after: list[int] | None = None
    ) -> list[bool]:
        """Per record of ``trace_id`` at a trace position: whether it lacks ``needle``,
        read undecoded.  With ``after``, the records are the closing ones of calls
        whose opening records are at ``positions`` (see :meth:`closing`).  A record
        not recorded (position -1) lacks it; one cut, damaged or unreadable is not
        known to.

        The frames holding the records are each read once, in order, decompressed
        ahead in a pool of threads while the records of the frame before are
        searched (the frames stay in the reader's cache).
        """
        out = [False] * len(positions)
        rows = self._rows.get(trace_id)
        if rows is None:
            rows = self._rows[trace_id] = query.document_rows(self.conn, trace_id)
        bases = list(accumulate((size or 0 for _, size in rows), initial=0))
        # document -> frame -> [(offset in the frame, how it is measured, which)]
        wanted: dict[int, dict[int, list[tuple[int, int, int]]]] = {}
        slow = []
        readers: dict[int, codec.FrameReader | None] = {}
        for k, pos in enumerate(positions):
            # measured from where it begins (-1), or past the end of the one at pos (-2 - gap)
            how = -1
            if after is not None:
                if after[k] < 0 or pos < 0:
                    pos = after[k]
                else:
                    how = -2 - after[k]
            if pos < 0:
                out[k] = True
                continue
            doc = bisect.bisect_right(bases, pos) - 1
            if doc >= len(rows):
                continue
            if doc in readers:
                frames = readers[doc]
            else:
                frames = readers[doc] = self._reader(rows[doc][0]).frame_reader
            if frames is None:
                slow.append(k)
                continue
            size = frames.frame_size
            at = pos - bases[doc]
            i = at // size
            by_frame = wanted.get(doc)
            if by_frame is None:
                by_frame = wanted[doc] = {}
            items = by_frame.get(i)
            if items is None:
                items = by_frame[i] = []
            items.append((at - i * size, how, k))
        # a frame or two: decompressed here rather than handed over to another thread
        pool = self._threads() if sum(len(b) for b in wanted.values()) > 2 else None
        for doc, by_frame in wanted.items():
            frames = readers[doc]
            assert frames is not None
            # 2 when the record goes on into the next frame
            spans_of = {
                i: array("q", [v for within, how, _ in items for v in (within, how)])
                for i, items in by_frame.items()
            }

            def search(i: int, data: bytes, spans_of: dict[int, array] = spans_of) -> bytes:
                return _spans_lacking(data, needle, spans_of[i])  # the GIL let go

            for i, _, flags in frames.frames(sorted(by_frame), pool, search, self._workers):
                if flags is not None:
                    for (_, _, k), flag in zip(by_frame[i], flags, strict=True):
                        out[k] = flag == 1
                        if flag == 2:
                            slow.append(k)
        for k in slow:
            try:
                pos = positions[k]
                if after is not None:
                    pos = self.closing(trace_id, pos, after[k])
                data, whole = self._record(trace_id, pos) if pos >= 0 else (b"", False)
            except Exception:  # noqa: BLE001 - damaged: left to the decoder to say
                continue
            out[k] = whole and needle not in data
        return out

    def _threads(self) -> Executor | None:
        """The pool frames are decompressed in (zstd lets go of the GIL meanwhile)."""
        if self._pool is None and self._workers > 1:
            self._pool = ThreadPoolExecutor(
                max_workers=self._workers, thread_name_prefix="vask-frames"
            )
        return self._pool

    def _reader(self, row_id: int) -> query.DocumentReader:
        reader = self._readers.get(row_id)
        if reader is None:
            if len(self._readers) >= 64:
                self._readers.pop(next(iter(self._readers))).close()
            reader = self._readers[row_id] = query.open_document(self.conn, row_id, self.frames)
        return reader

    def read(self, trace_id: str, pos: int) -> bytes | None:
        """The bytes of the record at trace position ``pos`` of ``trace_id`` (``None``
        past its documents; up to their end when it is cut or damaged)."""
        return self._record(trace_id, pos)[0] or None

    def _record(self, trace_id: str, pos: int) -> tuple[bytes, bool]:
        """The bytes of the record at trace position ``pos``, and whether they are a whole
        MessagePack object: read a part at a time until they are, as records lie whole in
        one document."""
        rows = self._rows.get(trace_id)
        if rows is None:
            rows = self._rows[trace_id] = query.document_rows(self.conn, trace_id)
        base = 0
        for row_id, size in rows:
            size = size or 0
            if pos < base + size:
                reader = self._reader(row_id)
                at = pos - base
                want = _RECORD_READ
                frames = reader.frame_reader
                if frames is not None:  # first to the end of its frame: the next one may be far
                    want = min(want, frames.frame_size - at % frames.frame_size)
                while True:
                    data = reader.read(at, want)
                    end = _object_end(data)
                    if end > 0:
                        return data[:end], True
                    if end < 0 or len(data) < want:
                        return data, False  # damaged, or cut at the document's end
                    want = max(8 * want, _RECORD_READ)
            base += size
        return b"", False

    def close(self) -> None:
        if self._pool is not None:
            self._pool.shutdown(wait=True)
            self._pool = None
        for reader in self._readers.values():
            reader.close()
        self._readers.clear()
        if self.frames is not None:
            self.frames.clear()
