"""Storage of trace documents in SQLite.

Each stored document is one row of the table ``traces``:

=================  =========  ====================================================
column             type       meaning
=================  =========  ====================================================
``id``             INTEGER    row id, AUTOINCREMENT: never reused, so it orders rows
                              by insertion even after deletions
``trace_id``       TEXT       the trace id the document was saved under
``root_trace_id``  TEXT       id of the root trace (a flushed subtree points to the
                              trace it was cut from; a root trace to itself)
``trace_name``     TEXT       the document's ``trace_name`` (NULL when unnamed)
``timestamp``      REAL       the document's ``timestamp``: when tracing started
``stored_at``      REAL       when the row was written, seconds since the epoch
``size``           INTEGER    length of ``data`` in bytes
``calls``          INTEGER    number of "call" frame records in the document
``data``           BLOB       the MessagePack trace document, unchanged; of a
                              document stored in pieces, its first piece
``outcome``        TEXT       the outcome of the test the trace is of ("passed",
                              "failed", "error", "skipped", "xfailed", "xpassed",
                              "interrupted"), read from its "end_test" record;
                              NULL for other traces
``pieces``         INTEGER    number of further pieces in ``trace_pieces``
``pid``            INTEGER    the process that recorded the trace (stored with the
                              document by the process itself; documents of vask 0.2
                              said it in "meta" "process")
``parent_pid``     INTEGER    the traced process that started that one (NULL when
                              vask did not follow it from a parent)
``parent_trace_id`` TEXT      the trace that process was recording then
``process_name``   TEXT       a multiprocessing child's name, or the command of a
                              followed process
=================  =========  ====================================================

SQLite takes no value larger than its length limit (1 GB by default), so a
larger document is stored in pieces: the first in ``data``, the others as rows
``(trace_row, seq, data)`` of the table ``trace_pieces``, ``seq`` counting
from 1.  Every reader reads a document as one stream across its pieces
(:class:`DocumentReader`), and only the parts it asks for.

A trace id saved twice (consecutive saves of one run) gives two rows; nothing
is ever overwritten.  The schema version is kept in ``PRAGMA user_version`` and
upgraded step by step by :data:`_MIGRATIONS`; databases of every earlier
version are read as they are.  The process columns are added to a table
that lacks them without a new version (:data:`_ADDED_COLUMNS`): they may be
NULL, so a vask without them reads and writes the table as before, and the
readers here take a table without them.

The database and the directory vask creates for it are private to the user
(modes 0o600 and 0o700): traces hold the local variables of the traced program.
Nothing is written where another user could have planted a file or a link
for vask to write through (see :mod:`vask._paths`).

Reading never changes a database: :func:`connect_readonly` opens it
read-only, does not create it, and refuses a file whose ``traces`` is not a
table with the columns above.  The reading functions treat every stored
value as untrusted: a ``data`` that is no byte string reads as an empty
document, and texts, times and counts of the wrong type or out of range read
as missing.

A trace that cannot be stored is kept in a side file
(:func:`write_side_file`), which ``vask traces import`` stores later:
:func:`save_trace` does so itself and says where on the "vask" logger, and
:func:`kept_aside` lists what it kept.  A store made while the program
records (a flushed subtree, a test's trace) hands the document to the
background writer (:mod:`vask.writer`) instead: it must never make the
program wait for the database.
"""

from __future__ import annotations

import bisect
import errno
import io
import logging
import math
import os
import re
import sqlite3
import tempfile
import threading
import time
import urllib.parse
from collections.abc import Callable, Iterable, Iterator
from contextlib import contextmanager
from pathlib import Path
from typing import Any, BinaryIO, NamedTuple

import msgpack

from vask import _paths, _process
from vask._paths import UnsafeLocation

__all__ = [
    "OUTCOMES",
    "SCHEMA_VERSION",
    "DocumentReader",
    "KeptAside",
    "NotATraceDatabase",
    "RootTotals",
    "TracePoint",
    "TraceSummary",
    "UnsafeLocation",
    "child_traces",
    "compact",
    "connect",
    "connect_readonly",
    "delete_traces",
    "document_damage",
    "document_outcome",
    "document_rows",
    "failure_reason",
    "find_damage",
    "keep_aside",
    "kept_aside",
    "list_traces",
    "load_trace",
    "open_document",
    "open_reader",
    "plausible_time",
    "process_tree",
    "prune",
    "read_document_part",
    "read_process",
    "read_process_facts",
    "stored_process",
    "root_totals",
    "save_trace",
    "save_traces",
    "StoredRow",
    "still_kept_aside",
    "store_document",
    "store_file",
    "trace_points",
    "write_side_file",
]

#: Schema version written to ``PRAGMA user_version``.
SCHEMA_VERSION = 2

# Statements that bring a database from version ``i`` to ``i + 1``, at index ``i``.
_MIGRATIONS: list[tuple[str, ...]] = [
    (
        """
        CREATE TABLE IF NOT EXISTS traces (
            id INTEGER PRIMARY KEY AUTOINCREMENT,
            trace_id TEXT NOT NULL,
            root_trace_id TEXT,
            trace_name TEXT,
            timestamp REAL,
            stored_at REAL NOT NULL,
            size INTEGER NOT NULL,
            calls INTEGER NOT NULL,
            data BLOB NOT NULL
        )
        """,
        "CREATE INDEX IF NOT EXISTS traces_by_trace_id ON traces (trace_id, id)",
        "CREATE INDEX IF NOT EXISTS traces_by_root ON traces (root_trace_id)",
    ),
    (
        "ALTER TABLE traces ADD COLUMN outcome TEXT",
        "ALTER TABLE traces ADD COLUMN pieces INTEGER NOT NULL DEFAULT 0",
        """
        CREATE TABLE IF NOT EXISTS trace_pieces (
            id INTEGER PRIMARY KEY AUTOINCREMENT,
            trace_row INTEGER NOT NULL,
            seq INTEGER NOT NULL,
            data BLOB NOT NULL
        )
        """,
        "CREATE UNIQUE INDEX IF NOT EXISTS trace_pieces_by_row ON trace_pieces (trace_row, seq)",
    ),
]
assert len(_MIGRATIONS) == SCHEMA_VERSION

# Columns added to ``traces`` where they are missing, at any schema version:
# NULL for the rows stored without them.
_ADDED_COLUMNS = (
    ("pid", "INTEGER"),
    ("parent_pid", "INTEGER"),
    ("parent_trace_id", "TEXT"),
    ("process_name", "TEXT"),
)
_PROCESS_COLUMNS = tuple(name for name, _ in _ADDED_COLUMNS)

# The head of every trace document: the keys save_trace reads, all of which
# come before the (large) rest of the document.
_HEAD_KEYS = (
    "trace_id",
    "trace_name",
    "current_thread_id",
    "timestamp",
    "current_commit_sha",
    "root_trace_id",
)

# Frame records write "event" directly followed by "frame_id", whose value is
# "frm_" and a 26-character ULID (a 30-character fixstr).  Counting this byte
# pattern counts the call records without decoding the document; a user value
# would have to hold these exact bytes (a map with the keys "event" = "call"
# and "frame_id" = a 30-character "frm_..." text, in that order) to be counted.
_CALL_PATTERN = (
    msgpack.packb("event") + msgpack.packb("call") + msgpack.packb("frame_id") + b"\xbefrm_"
)

#: The outcomes a test's trace can have (the ``outcome`` of its "end_test" record).
OUTCOMES = ("passed", "failed", "error", "skipped", "xfailed", "xpassed", "interrupted")
# The "type" entry of an "end_test" record; the record (a map written by the
# dumpers, keys in the plugin's order) starts with its "frame_id" entry.
_END_TEST = msgpack.packb("type") + msgpack.packb("end_test")
_FRAME_ID_KEY = msgpack.packb("frame_id")
# How far before its "type" entry a record's "frame_id" entry can be: the id,
# the time and the call site (a map of an id and a line) come between.
_END_TEST_REACH = 512
# How much of a document after that is read to decode the record.
_END_TEST_WINDOW = 64 << 10

# Pieces are at most this long: the sqlite3 module copies a value it binds,
# so a piece is what a store holds twice at most.
_MAX_PIECE = 32 << 20
# Room left in a row for the columns besides its piece.
_ROW_MARGIN = 64 << 10

_logger = logging.getLogger("vask")


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


def _with_path(error: Exception, path: Path) -> Exception:
    """``error`` again, of the same type, with the database path in its message.

    An ``OSError`` keeps its errno, reason and file names (``str()`` still
    reads ``[Errno 2] No such file or directory (database ...): 'file'``); an
    ``sqlite3.Error`` keeps its message and error code.
    """
    if str(path) in str(error):
        return error
    try:
        if isinstance(error, OSError) and error.errno is not None:
            args: tuple[Any, ...] = (error.errno, f"{error.strerror} (database {path})")
            if error.filename is not None or error.filename2 is not None:
                args += (error.filename, None, error.filename2)
            new = type(error)(*args)
        else:
            new = type(error)(f"{error} (database {path})")
    except Exception:  # noqa: BLE001 - an exotic constructor: keep the original
        return error
    for attr in ("sqlite_errorcode", "sqlite_errorname"):
        if hasattr(error, attr):
            try:
                setattr(new, attr, getattr(error, attr))
            except (AttributeError, TypeError):
                pass
    return new


def failure_reason(error: BaseException, db_path: str | os.PathLike[str]) -> str:
    """The text of a storage error, without the database path the caller names already."""
    return str(error).replace(f" (database {Path(db_path)})", "")


@contextmanager
def _transaction(conn: sqlite3.Connection) -> Iterator[None]:
    """A write transaction; IMMEDIATE, so that it waits for the lock at its start."""
    conn.execute("BEGIN IMMEDIATE")
    try:
        yield
    except BaseException:
        conn.execute("ROLLBACK")
        raise
    conn.execute("COMMIT")


def _ensure_schema(conn: sqlite3.Connection) -> None:
    version = conn.execute("PRAGMA user_version").fetchone()[0]
    if version == SCHEMA_VERSION:
        return
    if version > SCHEMA_VERSION:
        raise sqlite3.DatabaseError(
            f"schema version {version} is newer than this vask supports ({SCHEMA_VERSION})"
        )
    # Two processes creating the schema at once take turns; the second finds
    # the version already current.
    with _transaction(conn):
        version = conn.execute("PRAGMA user_version").fetchone()[0]
        for steps in _MIGRATIONS[version:]:
            for statement in steps:
                conn.execute(statement)
        if version < SCHEMA_VERSION:
            conn.execute(f"PRAGMA user_version = {SCHEMA_VERSION}")


def _columns(conn: sqlite3.Connection, table: str = "traces") -> set[str]:
    """The lower-case names of a table's stored columns."""
    info = conn.execute(f"PRAGMA table_xinfo({table})").fetchall()
    return {str(row[1]).lower() for row in info if row[6] not in (2, 3)}


def _add_columns(conn: sqlite3.Connection) -> None:
    """Add the columns of :data:`_ADDED_COLUMNS` that the table lacks."""
    if _columns(conn).issuperset(_PROCESS_COLUMNS):
        return
    with _transaction(conn):
        present = _columns(conn)
        for name, kind in _ADDED_COLUMNS:
            if name not in present:
                conn.execute(f"ALTER TABLE traces ADD COLUMN {name} {kind}")
        conn.execute("CREATE INDEX IF NOT EXISTS traces_by_parent ON traces (parent_trace_id)")


def connect(db_path: str | os.PathLike[str], timeout: float = 60) -> sqlite3.Connection:
    """Open the trace database for writing, creating it, its directory and its schema if needed.

    The location is checked first (:func:`vask._paths.database_file`): a
    directory or file that another user could have planted raises
    :class:`UnsafeLocation` (a ``PermissionError``).  The connection is in
    autocommit mode (``isolation_level=None``), in WAL journal mode, and
    waits up to ``timeout`` seconds for a lock held by another connection
    before it raises ``sqlite3.OperationalError``.
    Errors name the database path.
    """
    path = Path(db_path)
    try:
        real = _paths.database_file(path)
        conn = sqlite3.connect(str(real), timeout=timeout, isolation_level=None)
    except (OSError, sqlite3.Error) as error:
        raise _with_path(error, path) from error
    return _set_up(conn, path, lambda conn, path: _for_writing(conn, path, timeout))


def _for_writing(conn: sqlite3.Connection, path: Path, timeout: float) -> None:
    _use_wal(conn, timeout)
    _ensure_schema(conn)
    _add_columns(conn)


def _use_wal(conn: sqlite3.Connection, timeout: float) -> None:
    """Put the database in WAL journal mode, waiting up to ``timeout`` seconds.

    Switching a new database takes a lock that SQLite does not wait for:
    processes that store their first traces at once (a program's children
    and the program) would be told "database is locked" at once.  Once one
    has switched it, the others find it in WAL mode and change nothing.
    """
    deadline = time.monotonic() + timeout
    delay = 0.002
    while True:
        try:
            conn.execute("PRAGMA journal_mode = WAL")
            return
        except sqlite3.OperationalError as error:
            if "locked" not in str(error) or time.monotonic() + delay > deadline:
                raise
        time.sleep(delay)
        delay = min(delay * 2, 0.1)


def _set_up(
    conn: sqlite3.Connection, path: Path, setup: Callable[[sqlite3.Connection, Path], None]
) -> sqlite3.Connection:
    """``conn`` after ``setup``; closed, and the error naming ``path``, when that fails."""
    try:
        setup(conn, path)
    except BaseException as error:
        conn.close()
        if isinstance(error, sqlite3.Error):
            raise _with_path(error, path) from error
        raise
    return conn


def _read_head(data: bytes) -> dict[str, Any]:
    """The head entries of a trace document, decoding nothing else.

    Raises ``ValueError`` (and nothing else) for bytes that do not start
    with a MessagePack map.
    """
    try:
        unpacker = msgpack.Unpacker(
            io.BytesIO(bytes(data)), raw=False, max_buffer_size=1 << 20, strict_map_key=False
        )
        n = unpacker.read_map_header()
    except Exception as error:  # any malformation means "not a document"
        raise ValueError(f"trace document is not a MessagePack map: {error}") from error
    head: dict[str, Any] = {}
    try:
        for _ in range(n):
            key = unpacker.unpack()
            if not isinstance(key, str) or key not in _HEAD_KEYS:
                break
            head[key] = unpacker.unpack()
            if key == _HEAD_KEYS[-1]:
                break
    except Exception as error:
        raise ValueError(f"trace document head is malformed: {error}") from error
    return head


def _text_or_none(value: Any) -> str | None:
    return value if isinstance(value, str) else None


def _pid_or_none(value: Any) -> int | None:
    return value if type(value) is int and 0 < value < 1 << 32 else None


def read_process(data: bytes | BinaryIO) -> dict[str, Any]:
    """The "meta" "process" facts of a trace document stored by vask 0.2 (``pid``,
    ``parent_pid``, ``parent_trace_id``, ``name``), each ``None`` where the
    document lacks it or holds a value of the wrong type (every later
    document: the host stores them in the row); decodes nothing after "meta".

    ``data`` is the document, or a binary file holding it from its current
    position (read only up to "meta").
    """
    facts: dict[str, Any] = {}
    try:
        source = data if hasattr(data, "read") else io.BytesIO(bytes(data))
        unpacker = msgpack.Unpacker(
            source, raw=False, max_buffer_size=1 << 24, strict_map_key=False
        )
        for _ in range(unpacker.read_map_header()):
            key = unpacker.unpack()
            if key != "meta":
                unpacker.skip()
                continue
            meta = unpacker.unpack()
            process = meta.get("process") if isinstance(meta, dict) else None
            facts = process if isinstance(process, dict) else {}
            break
    except Exception:  # noqa: BLE001 - a document without readable facts has none
        facts = {}
    return read_process_facts(facts)


def read_process_facts(process: dict[str, Any]) -> dict[str, Any]:
    """A decoded "process" map's facts, each ``None`` where missing or of the wrong type."""
    facts = process
    return {
        "pid": _pid_or_none(facts.get("pid")),
        "parent_pid": _pid_or_none(facts.get("parent_pid")),
        "parent_trace_id": _text_or_none(facts.get("parent_trace_id")),
        "name": _text_or_none(facts.get("name")),
    }


# Times outside these bounds (seconds since the epoch: about 1200 BC to AD
# 5100) are no time a trace was made at; the platform's calendar functions
# fail on far smaller values than a float can hold.
_EARLIEST, _LATEST = -1e11, 1e11
#: The open range of times :func:`plausible_time` accepts.
PLAUSIBLE_TIMES = (_EARLIEST, _LATEST)


def plausible_time(value: Any) -> float | None:
    """``value`` as a float when it can be a time in seconds since the epoch, else ``None``.

    Refuses booleans, non-numbers, infinities, NaN and times tens of
    centuries away.
    """
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        return None
    try:
        number = float(value)
    except OverflowError:
        return None
    return number if _EARLIEST < number < _LATEST else None


def document_outcome(data: bytes | memoryview) -> str | None:
    """The outcome of the test a document is the trace of, from its last "end_test" record.

    ``None`` for a document without one (a trace of no test, an old plugin)
    or whose record does not read as one.
    """
    at = data.rfind(_END_TEST) if isinstance(data, bytes) else bytes(data).rfind(_END_TEST)
    if at < 0:
        return None
    return _outcome_near(data, at)


def _outcome_near(data: bytes | memoryview, at: int) -> str | None:
    """The outcome of the "end_test" record whose "type" entry is at ``at`` in ``data``."""
    view = memoryview(data)
    window = bytes(view[max(at - _END_TEST_REACH, 0) : at])
    key = window.rfind(_FRAME_ID_KEY)
    if key < 0:
        return None
    start = at - len(window) + key
    # The map header is one byte (up to 15 entries) or three (map 16).
    for header in (1, 3):
        if start - header < 0:
            continue
        try:
            unpacker = msgpack.Unpacker(None, raw=False, strict_map_key=False)
            unpacker.feed(bytes(view[start - header : start - header + _END_TEST_WINDOW]))
            record = unpacker.unpack()
        except Exception:  # noqa: BLE001 - any malformation: not the record
            continue
        if isinstance(record, dict) and record.get("type") == "end_test":
            outcome = record.get("outcome")
            return outcome if outcome in OUTCOMES else None
    return None


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
        _text_or_none(head.get("root_trace_id")),
        _text_or_none(head.get("trace_name")),
        plausible_time(head.get("timestamp")),
        size,
        calls,
        outcome if outcome in OUTCOMES else None,
        process["pid"],
        process["parent_pid"],
        process["parent_trace_id"],
        process["name"],
    )


def _row_of_document(
    trace_id: str, head: dict[str, Any], data: bytes, process: dict[str, Any] | None = None
) -> StoredRow:
    """The row of a document held in memory.

    ``process``: the facts of the process that stores the document it
    recorded (:func:`vask._process.process_facts`). A document that names
    its process itself (stored by vask 0.2, in "meta" "process") keeps those.
    """
    facts = read_process(data)
    if facts["pid"] is None and process is not None:
        facts = read_process_facts(process)
    return _row_of(
        trace_id,
        head,
        len(data),
        data.count(_CALL_PATTERN),
        document_outcome(data),
        facts,
    )


def _piece_sizes(conn: sqlite3.Connection, row: StoredRow) -> tuple[int, int]:
    """How long the first piece (in ``traces``) and the others may be on this connection."""
    limit = 1_000_000_000  # SQLite's default, where the limit cannot be read (3.10)
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
    with _transaction(conn):
        _insert_rows(conn, row, read)


def _insert_rows(
    conn: sqlite3.Connection, row: StoredRow, read: Callable[[int, int], bytes | memoryview]
) -> None:
    """:func:`_insert` inside a transaction the caller holds."""
    first, piece = _piece_sizes(conn, row)
    first = min(first, row.size)
    pieces = -(-(row.size - first) // piece)
    cursor = conn.execute(
        "INSERT INTO traces (trace_id, root_trace_id, trace_name, timestamp,"
        " stored_at, size, calls, outcome, pieces, data,"
        " pid, parent_pid, parent_trace_id, process_name)"
        " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
        (
            *row[:4],
            time.time(),
            row.size,
            row.calls,
            row.outcome,
            pieces,
            read(0, first),
            *row[7:],
        ),
    )
    row_id = cursor.lastrowid
    for seq in range(1, pieces + 1):
        offset = first + (seq - 1) * piece
        conn.execute(
            "INSERT INTO trace_pieces (trace_row, seq, data) VALUES (?, ?, ?)",
            (row_id, seq, read(offset, min(piece, row.size - offset))),
        )


def _checked_document(trace_id: Any, msgpack_data: Any) -> tuple[bytes, dict[str, Any]]:
    if msgpack_data is None:
        raise TypeError("save_trace needs both msgpack_data and db_path")
    if not isinstance(trace_id, str):
        raise TypeError(f"trace_id must be a str, not {type(trace_id).__name__}")
    if not isinstance(msgpack_data, (bytes, bytearray, memoryview)):
        raise TypeError(f"msgpack_data must be bytes, not {type(msgpack_data).__name__}")
    data = msgpack_data if isinstance(msgpack_data, bytes) else bytes(msgpack_data)
    return data, _read_head(data)


def save_trace(
    trace_id: str,
    timeout: float = 60,
    msgpack_data: bytes | None = None,
    db_path: str | os.PathLike[str] | None = None,
    *,
    keep_aside: bool = True,
) -> Path | None:
    """Store one trace document under ``trace_id`` as a new row; a large one in pieces.

    ``timeout`` is the SQLite busy timeout in seconds.  ``msgpack_data`` must
    be a MessagePack map (a trace document); anything else raises
    ``TypeError``/``ValueError`` before the database is touched.

    A database that does not take the document (locked by a writer for
    longer than ``timeout``, unwritable, full, refused as unsafe) does not
    lose it: it is kept in a side file (:func:`write_side_file`), a warning
    on the "vask" logger names the file, and the file is returned (``None``
    when the document was stored).  Once the database takes writes again,
    the side files kept this way are stored from there and removed.  Only
    when no side file can be written either is the store's error raised.
    ``keep_aside=False`` raises the store's error instead of keeping the
    document aside.

    A store made while the program records never waits for the database:
    a subtree flushed apart (its ``root_trace_id`` names another trace), and
    any store an engine makes while a recorder of this process runs (a
    test's trace at the test's end), outside a recorder's own ``save()``.
    Such a document is handed to the background writer and ``None`` returned
    at once, unless the writer is stuck on a locked database with a full
    queue: then the document is kept aside at once, never waiting.  Every
    other store waits, and so does one with ``keep_aside=False`` (its error
    is raised).  Documents are stored in the order they were given, waiting
    or not, so a store that waits comes after every one handed over before it.
    """
    data, head = _checked_document(trace_id, msgpack_data)
    if db_path is None:
        raise TypeError("save_trace needs both msgpack_data and db_path")
    path = Path(db_path)
    from vask import writer

    root = head.get("root_trace_id")
    flushed = isinstance(root, str) and root != head.get("trace_id", trace_id)
    wait = not keep_aside or (not flushed and not writer.in_background())
    job = writer.Job(trace_id, data, head, path, float(timeout), keep_aside)
    job.process = _process.process_facts()
    return writer.store(job, wait=wait)


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
    checked = [(trace_id, *_checked_document(trace_id, data)) for trace_id, data in documents]
    if not checked:
        return
    path = Path(db_path)
    process = _process.process_facts()
    conn = connect(path, timeout)
    try:
        with _transaction(conn):
            for trace_id, data, head in checked:
                row = _row_of_document(trace_id, head, data, process)
                view = memoryview(data)
                _insert_rows(conn, row, lambda offset, n, view=view: view[offset : offset + n])
    except sqlite3.Error as error:
        raise _with_path(error, path) from error
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
        _store_bytes(job.trace_id, job.data, job.head, job.db_path, timeout, conn, job.process)
    except _STORE_ERRORS as error:
        if not job.keep_aside:
            raise
        return keep_aside(
            job.trace_id, job.data, job.db_path, failure_reason(error, job.db_path), error
        )
    _store_kept(job.db_path, timeout, conn)
    return None


def _store_bytes(
    trace_id: str,
    data: bytes,
    head: dict[str, Any],
    path: Path,
    timeout: float,
    conn: sqlite3.Connection | None,
    process: dict[str, Any] | None = None,
) -> None:
    row = _row_of_document(trace_id, head, data, process)
    view = memoryview(data)
    own = conn is None
    if conn is None:
        conn = connect(path, timeout)
    try:
        if not own:
            conn.execute(f"PRAGMA busy_timeout = {int(timeout * 1000)}")
        _insert(conn, row, lambda offset, n: view[offset : offset + n])
    except sqlite3.Error as error:
        raise _with_path(error, path) from error
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
    path = Path(db_path)
    with open(file, "rb") as f:
        size = os.fstat(f.fileno()).st_size
        if head is None:
            head = _read_head(f.read(_HEAD_WINDOW))
        calls, outcome = _scan_file(f, size)
        f.seek(0)
        process = read_process(f)

        def read(offset: int, n: int) -> bytes:
            f.seek(offset)
            return f.read(n)

        row = _row_of(trace_id, head, size, calls, outcome, process)
        own = conn is None
        if conn is None:
            conn = connect(path, timeout)
        try:
            _insert(conn, row, read)
        except sqlite3.Error as error:
            raise _with_path(error, path) from error
        finally:
            if own:
                conn.close()
    return row


def _scan_file(f: io.BufferedReader, size: int) -> tuple[int, str | None]:
    """The call records of a document in a file, and its test outcome, reading it once."""
    chunk = 8 << 20
    keep = max(len(_CALL_PATTERN), len(_END_TEST)) - 1
    calls = 0
    last_end_test = -1
    tail = b""
    offset = 0
    f.seek(0)
    while True:
        data = f.read(chunk)
        if not data:
            break
        window = tail + data
        base = offset - len(tail)
        # Occurrences that start in the kept tail were counted with it only
        # when they lay wholly inside it, which they cannot (it is shorter).
        calls += window.count(_CALL_PATTERN)
        at = window.rfind(_END_TEST)
        if at >= 0:
            last_end_test = base + at
        tail = window[-keep:] if keep else b""
        offset += len(data)
    outcome = None
    if last_end_test >= 0:
        start = max(last_end_test - _END_TEST_REACH, 0)
        f.seek(start)
        window = f.read(last_end_test - start + _END_TEST_WINDOW)
        outcome = _outcome_near(window, last_end_test - start)
    return calls, outcome


# -- traces kept aside, and stored later --------------------------------------


class KeptAside(NamedTuple):
    """A trace document kept in a side file because the database did not take it."""

    trace_id: str
    path: Path
    db_path: Path
    reason: str


_kept_lock = threading.Lock()
_kept: list[KeptAside] = []
# Side files of this process not stored yet, by database, oldest first.
_pending: dict[Path, list[KeptAside]] = {}
_storing_kept = threading.local()


def kept_aside(since: int = 0) -> list[KeptAside]:
    """The documents this process kept aside, from the ``since``-th on.

    ``len(kept_aside())`` is the mark to pass as ``since`` later.  Documents
    stored from their side file since then are still listed;
    :func:`still_kept_aside` tells which are not.
    """
    with _kept_lock:
        return _kept[since:]


def still_kept_aside(kept: KeptAside) -> bool:
    """Whether a kept document is still only in its side file."""
    with _kept_lock:
        return kept in _pending.get(kept.db_path, ())


def keep_aside(
    trace_id: str, data: bytes, db_path: Path, reason: str, error: BaseException | None = None
) -> Path:
    """Keep a document the database did not take in a side file, and say where.

    The side file is stored by the first store to ``db_path`` that succeeds
    afterwards.  Raises ``error`` (or the side file's own error) when no side
    file can be written either.
    """
    try:
        side = write_side_file(trace_id, data, db_path)
    except OSError as side_error:
        _logger.error(
            "could not store trace %s in %s: %s; nor keep it in a file: %s",
            trace_id,
            db_path,
            reason,
            side_error,
        )
        if error is None:
            raise
        raise error from side_error
    kept = KeptAside(trace_id, side, db_path, reason)
    with _kept_lock:
        _kept.append(kept)
        _pending.setdefault(db_path, []).append(kept)
    _logger.warning(
        "could not store trace %s in %s: %s; it is kept in %s and stored from there once the "
        "database takes it, or later with: vask traces import %s",
        trace_id,
        db_path,
        reason,
        side,
        side,
    )
    return side


def _store_kept(db_path: Path, timeout: float, conn: sqlite3.Connection | None) -> None:
    """Store the side files this process kept for ``db_path``: the database took a write."""
    with _kept_lock:
        if not _pending.get(db_path) or getattr(_storing_kept, "active", False):
            return
    _storing_kept.active = True
    own = conn is None
    try:
        if conn is None:
            conn = connect(db_path, timeout)
        while True:
            with _kept_lock:
                waiting = _pending.get(db_path)
                if not waiting:
                    return
                kept = waiting[0]
            try:
                store_file(kept.trace_id, kept.path, db_path, timeout, conn=conn)
            except FileNotFoundError:
                pass  # imported or removed by hand meanwhile
            except ValueError as error:
                _logger.warning(
                    "trace %s kept in %s cannot be read: %s", kept.trace_id, kept.path, error
                )
            except _STORE_ERRORS:
                return  # tried again after the next store that succeeds
            else:
                kept.path.unlink(missing_ok=True)
                _logger.info("stored trace %s kept in %s", kept.trace_id, kept.path)
            with _kept_lock:
                if waiting and waiting[0] is kept:
                    waiting.pop(0)
    except _STORE_ERRORS:
        return  # tried again after the next store that succeeds
    finally:
        _storing_kept.active = False
        if own and conn is not None:
            conn.close()


# The errors of a store that a side file answers: the database could not be
# written (locked, read-only, full, refused as unsafe), as opposed to a
# document that is not one.
_STORE_ERRORS = (sqlite3.Error, OSError)


# -- reading ---------------------------------------------------------------


class NotATraceDatabase(sqlite3.DatabaseError):
    """An SQLite database that holds no vask traces (another program's, or a damaged one)."""


# The columns of ``traces`` that vask reads.
_COLUMNS = frozenset(
    (
        "id",
        "trace_id",
        "root_trace_id",
        "trace_name",
        "timestamp",
        "stored_at",
        "size",
        "calls",
        "data",
    )
)


def _check_schema(conn: sqlite3.Connection, path: Path) -> None:
    version = conn.execute("PRAGMA user_version").fetchone()[0]
    if isinstance(version, int) and version > SCHEMA_VERSION:
        raise NotATraceDatabase(
            f"{path}: schema version {version} is newer than this vask supports ({SCHEMA_VERSION})"
        )
    found = conn.execute(
        "SELECT type, sql FROM sqlite_master WHERE name = 'traces' COLLATE NOCASE"
    ).fetchall()
    kind, sql = found[0] if len(found) == 1 else (None, None)
    plain = (
        isinstance(sql, str)
        and sql.lstrip()[:12].upper() == "CREATE TABLE"
        and "WITHOUT ROWID" not in sql.upper()
    )
    if kind != "table" or not plain:
        what = "no table 'traces'" if kind is None else f"'traces' is a {kind}, not a table"
        if kind == "table":
            what = "'traces' is not a plain table"
        raise NotATraceDatabase(f"{path} is not a vask trace database ({what})")
    # table_xinfo marks generated columns (hidden 2 and 3): a value computed
    # when read, such as zeroblob(1000000000), is not one vask stored.
    info = conn.execute("PRAGMA table_xinfo(traces)").fetchall()
    generated = sorted(str(row[1]) for row in info if row[6] in (2, 3))
    if generated:
        raise NotATraceDatabase(
            f"{path} is not a vask trace database (table 'traces' has generated "
            f"column(s) {', '.join(generated)})"
        )
    columns = {str(row[1]).lower() for row in info}
    missing = sorted(_COLUMNS - columns)
    if missing:
        raise NotATraceDatabase(
            f"{path} is not a vask trace database (table 'traces' has no column "
            f"{', '.join(missing)})"
        )


def connect_readonly(
    db_path: str | os.PathLike[str], timeout: float = 60, *, check_same_thread: bool = True
) -> sqlite3.Connection:
    """Open an existing trace database for reading only.

    Nothing about the file changes: it is opened read-only (its journal mode
    and schema stay as they are) and never created; a missing file raises
    ``FileNotFoundError``, a database whose ``traces`` is not a table with
    vask's columns :class:`NotATraceDatabase`.  Errors name the path.
    """
    path = Path(db_path).absolute()
    if not path.exists():
        raise FileNotFoundError(errno.ENOENT, "no trace database", str(path))
    if os.name == "posix":
        # Quoted from its bytes: a name that is not UTF-8 (a surrogate-escaped
        # str) names the same file.
        quoted = urllib.parse.quote(os.fsencode(path))
    else:
        # Imported here: it costs tens of milliseconds, which a process that
        # only stores a trace (a short-lived child) need not pay.
        from urllib.request import pathname2url

        quoted = pathname2url(str(path))
    uri = f"file:{quoted}?mode=ro"
    try:
        conn = sqlite3.connect(
            uri,
            uri=True,
            timeout=timeout,
            isolation_level=None,
            check_same_thread=check_same_thread,
        )
    except sqlite3.Error as error:
        raise _with_path(error, path) from error
    return _set_up(conn, path, _for_reading)


def _for_reading(conn: sqlite3.Connection, path: Path) -> None:
    conn.execute("PRAGMA query_only = ON")
    # Functions with side effects are not run from the schema (views,
    # triggers, indexes) of a file someone else made.
    conn.execute("PRAGMA trusted_schema = OFF")
    _check_schema(conn, path)


@contextmanager
def _reading(
    db_path: str | os.PathLike[str], timeout: float
) -> Iterator[sqlite3.Connection | None]:
    """A read-only connection, or ``None`` when there is no database (nothing to read)."""
    try:
        conn = connect_readonly(db_path, timeout)
    except FileNotFoundError:
        yield None
        return
    try:
        yield conn
    except sqlite3.Error as error:
        raise _with_path(error, Path(db_path)) from error
    finally:
        conn.close()


def _open_existing(db_path: str | os.PathLike[str], timeout: float) -> sqlite3.Connection | None:
    """A connection for writing, or ``None`` when there is no database yet (nothing to change)."""
    path = Path(db_path)
    if not path.exists():
        return None
    return connect(path, timeout)


def open_reader(db_path: str | os.PathLike[str], timeout: float = 60) -> sqlite3.Connection | None:
    """A connection for reading documents part by part, or ``None`` when there is no database.

    It may be used from any thread, by one thread at a time (the caller
    serialises its use).
    """
    try:
        return connect_readonly(db_path, timeout, check_same_thread=False)
    except FileNotFoundError:
        return None


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


def _has_pieces(conn: sqlite3.Connection) -> bool:
    """Whether the database has vask's table of pieces (schema 2 on) in a form it reads."""
    found = conn.execute(
        "SELECT type FROM sqlite_master WHERE name = 'trace_pieces' COLLATE NOCASE"
    ).fetchall()
    if found != [("table",)]:
        return False
    info = conn.execute("PRAGMA table_xinfo(trace_pieces)").fetchall()
    if any(row[6] in (2, 3) for row in info):
        return False  # a generated column: no value vask stored
    return {"trace_row", "seq", "data"} <= {str(row[1]).lower() for row in info}


def _document_parts(conn: sqlite3.Connection, row_id: int) -> list[tuple[str, int, int]]:
    """(table, row id, length) of each piece of a row's document, in order."""
    parts = conn.execute(f"SELECT 'traces', id, {_LENGTH} FROM traces WHERE id = ?", (row_id,))
    found = [(t, i, _count(n)) for t, i, n in parts.fetchall()]
    if found and _has_pieces(conn):
        pieces = conn.execute(
            f"SELECT 'trace_pieces', id, {_LENGTH} FROM trace_pieces"
            " WHERE trace_row = ? ORDER BY seq",
            (row_id,),
        )
        found += [(t, i, _count(n)) for t, i, n in pieces.fetchall()]
    return [(t, i, n) for t, i, n in found if isinstance(i, int)]


def stored_process(conn: sqlite3.Connection, trace_id: str) -> dict[str, Any]:
    """The process facts stored with the first document of ``trace_id`` (as
    :func:`read_process_facts` gives them); all ``None`` in a database of a
    version that stored none."""
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

    The length counts every piece.  As in :func:`load_trace`, a text counts
    as its UTF-8 bytes and any other value that is no byte string as an empty
    document.
    """
    if _has_pieces(conn):
        return conn.execute(
            f"SELECT t.id, {_LENGTH} + COALESCE((SELECT SUM(CASE typeof(p.data)"
            " WHEN 'blob' THEN length(p.data) WHEN 'text' THEN length(CAST(p.data AS BLOB))"
            " ELSE 0 END) FROM trace_pieces p WHERE p.trace_row = t.id), 0)"
            " FROM traces t WHERE t.trace_id = ? ORDER BY t.id",
            (trace_id,),
        ).fetchall()
    return conn.execute(
        f"SELECT id, {_LENGTH} FROM traces WHERE trace_id = ? ORDER BY id", (trace_id,)
    ).fetchall()


class DocumentReader:
    """A stored document read part by part, as one stream across its pieces.

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
        if hasattr(self.conn, "blobopen"):
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


def open_document(conn: sqlite3.Connection, row_id: int) -> DocumentReader:
    """A reader of a row's document, across its pieces (see :class:`DocumentReader`)."""
    return DocumentReader(conn, row_id)


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


def _count(value: Any) -> int:
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
    with _reading(db_path, timeout) as conn:
        if conn is None:
            return []
        present = _columns(conn)
        outcome_column = "latest.outcome" if "outcome" in present else "NULL"
        process = ", ".join(
            f"latest.{name}" if name in present else "NULL" for name in _PROCESS_COLUMNS
        )
        # One pass over the table, then lookups by rowid (the id vask writes
        # is the rowid): linear in the rows even where the indexes are gone.
        rows = conn.execute(
            f"""
            SELECT g.trace_id, latest.root_trace_id, named.trace_name, latest.timestamp,
                   g.stored_at, g.documents, g.size, g.calls, {outcome_column}, {process}
              FROM (SELECT trace_id, MAX(rowid) AS last,
                           MAX(CASE WHEN trace_name IS NOT NULL THEN rowid END) AS last_named,
                           MAX(stored_at) AS stored_at, COUNT(*) AS documents,
                           SUM(size) AS size, SUM(calls) AS calls
                      FROM traces
                     WHERE typeof(trace_id) = 'text'
                     GROUP BY trace_id) g
              JOIN traces latest ON latest.rowid = g.last
              LEFT JOIN traces named ON named.rowid = g.last_named
             ORDER BY g.last DESC
             LIMIT ?
            """,
            (-1 if limit is None or filtered else max(limit, 0),),
        ).fetchall()
    summaries = [
        TraceSummary(
            trace_id,
            _text_or_none(root),
            _text_or_none(name),
            plausible_time(timestamp),
            plausible_time(stored_at),
            _count(documents),
            _count(size),
            _count(calls),
            test_outcome if test_outcome in OUTCOMES else None,
            _pid_or_none(pid),
            _pid_or_none(parent_pid),
            _text_or_none(parent_trace_id),
            _text_or_none(process_name),
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
    with _reading(db_path, timeout) as conn:
        if conn is None or "parent_trace_id" not in _columns(conn):
            return found
        for trace_id in ids:
            rows = conn.execute(
                "SELECT trace_id FROM traces WHERE parent_trace_id = ?"
                " AND typeof(trace_id) = 'text'"
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
    with _reading(db_path, timeout) as conn:
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


def delete_traces(db_path: str | os.PathLike[str], ids: Iterable[str], timeout: float = 60) -> int:
    """Delete the traces with the given trace ids; returns the number of rows deleted.

    Deleting a root trace also deletes the subtrees flushed from it (the
    traces whose ``root_trace_id`` it is), which are meaningless without it.
    """
    ids = [ids] if isinstance(ids, str) else list(ids)
    conn = _open_existing(db_path, timeout)
    if conn is None or not ids:
        if conn is not None:
            conn.close()
        return 0
    try:
        with _transaction(conn):
            conn.execute("CREATE TEMP TABLE doomed (trace_id TEXT PRIMARY KEY) WITHOUT ROWID")
            conn.executemany("INSERT OR IGNORE INTO doomed VALUES (?)", ((i,) for i in ids))
            cursor = conn.execute(
                "DELETE FROM traces WHERE trace_id IN doomed OR root_trace_id IN doomed"
            )
            _delete_orphan_pieces(conn)
            return cursor.rowcount
    finally:
        conn.close()


def prune(db_path: str | os.PathLike[str], keep: int, timeout: float = 60) -> int:
    """Keep the ``keep`` most recently stored root traces; returns the rows deleted.

    Traces are counted by root: a root trace and the subtrees flushed from it
    are kept or deleted together.
    """
    if keep < 0:
        raise ValueError(f"keep must be >= 0, not {keep}")
    conn = _open_existing(db_path, timeout)
    if conn is None:
        return 0
    try:
        with _transaction(conn):
            cursor = conn.execute(
                """
                DELETE FROM traces
                 WHERE COALESCE(root_trace_id, trace_id) NOT IN (
                       SELECT COALESCE(root_trace_id, trace_id) AS root FROM traces
                        GROUP BY root ORDER BY MAX(id) DESC LIMIT ?)
                """,
                (keep,),
            )
            _delete_orphan_pieces(conn)
            return cursor.rowcount
    finally:
        conn.close()


def _delete_orphan_pieces(conn: sqlite3.Connection) -> None:
    """Delete the pieces whose row is gone (inside the transaction that deleted rows)."""
    conn.execute("DELETE FROM trace_pieces WHERE trace_row NOT IN (SELECT id FROM traces)")


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
    with _reading(db_path, timeout) as conn:
        if conn is None:
            return {}
        rows = conn.execute(
            f"""
            SELECT root, COUNT(*), COUNT(DISTINCT CASE WHEN trace_id <> root THEN trace_id END),
                   SUM(size), SUM(calls), SUM(CASE WHEN trace_id <> root THEN calls ELSE 0 END)
              FROM (SELECT trace_id, COALESCE(root_trace_id, trace_id) AS root, size, calls
                      FROM traces WHERE typeof(trace_id) = 'text' {where})
             WHERE typeof(root) = 'text'
             GROUP BY root
            """,
            params,
        ).fetchall()
        if points is None:
            points = _trace_points(conn, root_trace_id)
    totals = {row[0]: RootTotals(row[0], *(_count(value) for value in row[1:])) for row in rows}
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
    with _reading(db_path, timeout) as conn:
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
        SELECT trace_id, root_trace_id, MIN(rowid), MIN(timestamp), COUNT(*), SUM(size),
               SUM(calls)
          FROM traces
         WHERE typeof(trace_id) = 'text' AND typeof(root_trace_id) = 'text'
           AND root_trace_id <> trace_id {where}
         GROUP BY trace_id
        """,
        params,
    ).fetchall()
    points = {}
    for trace_id, root, first_row, timestamp, documents, size, calls in rows:
        info = None
        for window in _META_WINDOWS:
            info = _trace_point_meta(read_document_part(conn, first_row, 0, window))
            if info is not False:
                break
        if not isinstance(info, dict):
            continue
        points[trace_id] = TracePoint(
            trace_id,
            root,
            _text_or_none(info.get("co_name")),
            _text_or_none(info.get("thread")),
            _text_or_none(info.get("frame_id")),
            plausible_time(timestamp),
            _count(documents),
            _count(size),
            _count(calls),
        )
    return points


def _trace_point_meta(start: bytes) -> dict[str, Any] | None | bool:
    """The ``meta`` ``trace_point`` entry of a document starting with ``start``.

    ``None`` when the document has none; ``False`` when ``start`` ends before
    its ``meta`` does.
    """
    unpacker = msgpack.Unpacker(
        None, raw=False, strict_map_key=False, unicode_errors="replace", max_buffer_size=1 << 20
    )
    unpacker.feed(start)
    try:
        for _ in range(unpacker.read_map_header()):
            key = unpacker.unpack()
            if key != "meta":
                if key in ("threads", "command_line_args"):
                    return None
                unpacker.skip()
                continue
            meta = unpacker.unpack()
            entry = meta.get("trace_point") if isinstance(meta, dict) else None
            return entry if isinstance(entry, dict) else None
    except msgpack.OutOfData:
        return False
    except Exception:  # noqa: BLE001 - a damaged head: no trace point
        return None
    return None


# How much of a document's start find_damage reads: far more than a head needs.
_HEAD_WINDOW = 4096


def document_damage(data: bytes) -> str | None:
    """Why ``data`` is not a complete MessagePack map, or ``None`` when it is.

    Walks the structure without building it.
    """
    if not data:
        return "empty document"
    unpacker = msgpack.Unpacker(None, max_buffer_size=max(len(data), 1))
    unpacker.feed(data)
    try:
        n = unpacker.read_map_header()
        for _ in range(n):
            unpacker.skip()
            unpacker.skip()
    except msgpack.OutOfData:
        return f"truncated after {len(data)} bytes"
    except Exception as error:  # noqa: BLE001 - any malformation is damage
        return f"not a trace document ({error or type(error).__name__})"
    if unpacker.tell() != len(data):
        return f"{len(data) - unpacker.tell()} stray bytes after the document"
    return None


def _head_damage(start: bytes, length: int) -> str | None:
    """Why a ``length``-byte document starting with ``start`` is damaged, if that shows.

    A document read whole (a small one) is checked whole; of a larger one
    only the head is decoded.
    """
    if len(start) >= length:
        return document_damage(start)
    try:
        _read_head(start)
    except ValueError as error:
        if isinstance(error.__cause__, msgpack.OutOfData):
            return None  # a head longer than the part read: nothing wrong seen
        return str(error)
    return None


def find_damage(
    db_path: str | os.PathLike[str], timeout: float = 60
) -> dict[str, list[tuple[int, str]]]:
    """Documents that are visibly damaged, without reading any document in full.

    Compares the stored length of each document with the size recorded when
    it was stored and decodes its head only; damage further inside is found
    when the document is read (show, export).  Returns, per trace id, the
    1-based numbers of its damaged documents (in storage order) with reasons.
    """
    damaged: dict[str, list[tuple[int, str]]] = {}
    numbers: dict[str, int] = {}
    with _reading(db_path, timeout) as conn:
        if conn is None:
            return {}
        pieces = ""
        if _has_pieces(conn):
            pieces = (
                " + COALESCE((SELECT SUM(length(p.data)) FROM trace_pieces p"
                " WHERE p.trace_row = t.id), 0)"
            )
        rows = conn.execute(
            f"SELECT t.rowid, t.trace_id, t.size, length(t.data){pieces}, typeof(t.data)"
            " FROM traces t WHERE typeof(t.trace_id) = 'text' ORDER BY t.id"
        ).fetchall()
        for row_id, trace_id, size, length, kind in rows:
            number = numbers[trace_id] = numbers.get(trace_id, 0) + 1
            reason = None
            size = _count(size)
            if kind not in ("blob", "text") or not length:
                reason = "empty document" if kind in ("blob", "text") else f"no document ({kind})"
            elif length != size:
                reason = (
                    f"truncated: {length} of {size} bytes stored"
                    if length < size
                    else f"{length} bytes stored where {size} were written"
                )
            else:
                reason = _head_damage(_read_start(conn, row_id, min(length, _HEAD_WINDOW)), length)
            if reason is not None:
                damaged.setdefault(trace_id, []).append((number, reason))
    return damaged


def _read_start(conn: sqlite3.Connection, row_id: int, n: int) -> bytes:
    """The first ``n`` bytes of a row's document, reading no more of it than needed."""
    return read_document_part(conn, row_id, 0, n)


def _disk_size(path: Path) -> int:
    total = 0
    for file in (path, path.with_name(path.name + "-wal")):
        try:
            total += file.stat().st_size
        except OSError:
            pass
    return total


def compact(db_path: str | os.PathLike[str], timeout: float = 60) -> int:
    """Give the space of deleted rows back to the file system; returns the bytes freed.

    Runs ``VACUUM`` (which rewrites the database, needing up to its size again
    in free space while it runs) and truncates the write-ahead log.
    """
    path = Path(db_path)
    if not path.exists():
        return 0
    before = _disk_size(path)
    conn = connect(path, timeout)
    try:
        conn.execute("VACUUM")
        conn.execute("PRAGMA wal_checkpoint(TRUNCATE)")
    except sqlite3.Error as error:
        raise _with_path(error, path) from error
    finally:
        conn.close()
    return max(before - _disk_size(path), 0)


# -- traces kept aside -----------------------------------------------------

_UNSAFE_NAME = re.compile(r"[^A-Za-z0-9_.-]")


def side_file_directories(
    db_path: str | os.PathLike[str], start_dir: str | os.PathLike[str] | None = None
) -> list[Path]:
    """Where :func:`write_side_file` tries to keep a trace, in order.

    ``unsaved`` beside the database; ``.vask/unsaved`` in ``start_dir`` (the
    working directory by default); ``vask-unsaved-<uid>`` in the temporary
    directory.
    """
    return list(dict.fromkeys(directory for _, directory in _side_file_places(db_path, start_dir)))


def _side_file_places(
    db_path: str | os.PathLike[str], start_dir: str | os.PathLike[str] | None
) -> list[tuple[Path | None, Path]]:
    """(directory that must be one of the user's own, or None; side-file directory in it)."""
    base = Path(start_dir) if start_dir is not None else Path.cwd()
    uid = os.getuid() if hasattr(os, "getuid") else 0
    beside = Path(db_path).absolute().parent
    project = base.absolute() / ".vask"
    return [
        (beside, beside / "unsaved"),
        (project, project / "unsaved"),
        # The one place made for sharing: its name is the user's alone.
        (None, Path(tempfile.gettempdir()).absolute() / f"vask-unsaved-{uid}"),
    ]


def write_side_file(
    trace_id: str,
    data: bytes,
    db_path: str | os.PathLike[str],
    start_dir: str | os.PathLike[str] | None = None,
) -> Path:
    """Keep a trace document that could not be stored; returns the file.

    The file, ``<trace id>.msgpack`` (mode 0o600), goes into the first of
    :func:`side_file_directories` that is safe to write in; each is created
    owner-only (0o700) or made so.  ``unsaved`` is made only in a directory of
    the user's own (not beside a database in ``/tmp``).  The file appears
    whole or not at all.  Raises ``OSError`` naming every place tried when
    none could take it.
    """
    name = _UNSAFE_NAME.sub("_", trace_id)[:100] or "trace"
    failures = []
    tried = set()
    for base, directory in _side_file_places(db_path, start_dir):
        if directory in tried:
            continue
        tried.add(directory)
        try:
            if base is not None:
                _paths.private_directory(base)
            real = _paths.private_directory(directory, owner_only=True)
            return _paths.create_private_file(real, f"{name}.msgpack", data)
        except OSError as error:
            failures.append(f"{directory}: {error}")
    raise OSError(f"no place to keep trace {trace_id}: " + "; ".join(failures))
