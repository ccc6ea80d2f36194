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
``data``           BLOB       the MessagePack trace document, unchanged
``pid``            INTEGER    the process that recorded the trace ("meta" "process")
``parent_pid``     INTEGER    the traced process that started that one (NULL when
                              vask did not follow it from a parent)
``parent_trace_id`` TEXT      the trace that process was recording then
``process_name``   TEXT       a multiprocessing child's name, or the command of a
                              followed process
=================  =========  ====================================================

A trace id saved twice (consecutive saves of one run) gives two rows; nothing
is ever overwritten.  The schema version is kept in ``PRAGMA user_version`` and
upgraded step by step by :data:`_MIGRATIONS`.  The process columns are added
to a table that lacks them without a new version (:data:`_ADDED_COLUMNS`):
they may be NULL, so a vask without them reads and writes the table as
before, and the readers here take a table without them.

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
(:func:`write_side_file`), which ``vask traces import`` stores later.
"""

from __future__ import annotations

import errno
import io
import math
import os
import re
import sqlite3
import tempfile
import time
import urllib.parse
from collections.abc import Callable, Iterable, Iterator
from contextlib import contextmanager
from pathlib import Path
from typing import Any, NamedTuple

import msgpack

from vask import _paths
from vask._paths import UnsafeLocation

__all__ = [
    "SCHEMA_VERSION",
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
    "document_rows",
    "failure_reason",
    "find_damage",
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
    "root_totals",
    "save_trace",
    "save_traces",
    "trace_points",
    "write_side_file",
]

#: Schema version written to ``PRAGMA user_version``.
SCHEMA_VERSION = 1

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


def _columns(conn: sqlite3.Connection) -> set[str]:
    return {str(row[1]).lower() for row in conn.execute("PRAGMA table_info(traces)")}


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


def read_process(data: bytes) -> dict[str, Any]:
    """The "meta" "process" facts of a trace document (``pid``, ``parent_pid``,
    ``parent_trace_id``, ``name``), each ``None`` where the document lacks it
    or holds a value of the wrong type; decodes nothing after "meta".
    """
    facts: dict[str, Any] = {}
    try:
        unpacker = msgpack.Unpacker(
            io.BytesIO(bytes(data)), raw=False, max_buffer_size=1 << 24, strict_map_key=False
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


def _row(trace_id: str, msgpack_data: Any) -> tuple[Any, ...]:
    """The ``traces`` row of one document; raises ``TypeError``/``ValueError`` for a bad one."""
    if not isinstance(trace_id, str):
        raise TypeError(f"trace_id must be a str, not {type(trace_id).__name__}")
    if not isinstance(msgpack_data, (bytes, bytearray, memoryview)):
        raise TypeError(f"msgpack_data must be bytes, not {type(msgpack_data).__name__}")
    data = bytes(msgpack_data)
    head = _read_head(data)
    process = read_process(data)
    return (
        trace_id,
        _text_or_none(head.get("root_trace_id")),
        _text_or_none(head.get("trace_name")),
        plausible_time(head.get("timestamp")),
        time.time(),
        len(data),
        data.count(_CALL_PATTERN),
        data,
        process["pid"],
        process["parent_pid"],
        process["parent_trace_id"],
        process["name"],
    )


_INSERT = (
    "INSERT INTO traces (trace_id, root_trace_id, trace_name, timestamp,"
    " stored_at, size, calls, data, pid, parent_pid, parent_trace_id, process_name)"
    " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"
)


def save_trace(
    trace_id: str,
    timeout: float = 60,
    msgpack_data: bytes | None = None,
    db_path: str | os.PathLike[str] | None = None,
) -> None:
    """Store one trace document under ``trace_id`` as a new row.

    ``timeout`` is the SQLite busy timeout in seconds: a database locked by a
    writer for longer makes this raise ``sqlite3.OperationalError`` and
    nothing is stored.  ``msgpack_data`` must be a MessagePack
    map (a trace document); anything else raises ``TypeError``/``ValueError``
    before the database is touched.  A location that is not safe to write
    raises :class:`UnsafeLocation`.
    """
    if msgpack_data is None or db_path is None:
        raise TypeError("save_trace needs both msgpack_data and db_path")
    save_traces([(trace_id, msgpack_data)], timeout=timeout, db_path=db_path)


def save_traces(
    documents: Iterable[tuple[str, bytes]],
    timeout: float = 60,
    db_path: str | os.PathLike[str] | None = None,
) -> None:
    """Store several (trace id, document) pairs, as :func:`save_trace` does, all or none.

    One connection and one transaction for all of them: many small traces
    (trace points) are stored far faster than one by one.
    """
    if db_path is None:
        raise TypeError("save_traces needs db_path")
    rows = [_row(trace_id, data) for trace_id, data in documents]
    if not rows:
        return
    path = Path(db_path)
    conn = connect(path, timeout)
    try:
        if len(rows) == 1:
            conn.execute(_INSERT, rows[0])
        else:
            with _transaction(conn):
                conn.executemany(_INSERT, rows)
    except sqlite3.Error as error:
        raise _with_path(error, path) from error
    finally:
        conn.close()


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


def document_rows(conn: sqlite3.Connection, trace_id: str) -> list[tuple[int, int]]:
    """(row id, length) of each document stored under ``trace_id``, in storage order.

    As in :func:`load_trace`, a text counts as its UTF-8 bytes and any other
    value that is no byte string as an empty document.
    """
    return conn.execute(
        "SELECT id, CASE typeof(data) WHEN 'blob' THEN length(data)"
        " WHEN 'text' THEN length(CAST(data AS BLOB)) ELSE 0 END"
        " FROM traces WHERE trace_id = ? ORDER BY id",
        (trace_id,),
    ).fetchall()


def open_document(conn: sqlite3.Connection, row_id: int) -> Any:
    """A read-only blob handle of a row's document (Python 3.11+), or ``None``.

    Reading a far part of a large document through one handle is cheap: the
    handle remembers where the document's pages are, where a new handle
    walks them from the start.  A handle whose row changed raises
    ``sqlite3.Error`` on reading.
    """
    if not hasattr(conn, "blobopen"):
        return None
    try:
        return conn.blobopen("traces", "data", row_id, readonly=True)
    except sqlite3.Error:
        return None  # not a blob (a text value)


def read_document_part(conn: sqlite3.Connection, row_id: int, offset: int, n: int) -> bytes:
    """``n`` bytes of a row's document from ``offset`` on, reading no more of it than needed.

    Without incremental blob I/O (Python 3.10) SQLite reads the whole
    document to cut the part out.
    """
    blob = open_document(conn, row_id)
    if blob is not None:
        with blob:
            blob.seek(offset)
            return blob.read(n)
    row = conn.execute(
        "SELECT substr(CAST(data AS BLOB), ?, ?) FROM traces"
        " WHERE id = ? AND typeof(data) IN ('blob', 'text')",
        (offset + 1, n, row_id),
    ).fetchone()
    return bytes(row[0]) if row and row[0] is not None else b""


def _count(value: Any) -> int:
    """A stored count or size as a non-negative int; anything else counts as 0."""
    if isinstance(value, bool):
        return 0
    if isinstance(value, float) and math.isfinite(value):
        value = int(value)
    return value if isinstance(value, int) and 0 <= value < 1 << 63 else 0


def list_traces(
    db_path: str | os.PathLike[str], limit: int | None = None, timeout: float = 60
) -> list[TraceSummary]:
    """One summary per trace id, the most recently stored first.

    ``limit`` caps the number of summaries.  A missing database has no
    traces.  Rows whose trace id is not a text are not traces vask stored and
    are left out.
    """
    with _reading(db_path, timeout) as conn:
        if conn is None:
            return []
        present = _columns(conn)
        process = ", ".join(
            f"latest.{name}" if name in present else "NULL" for name in _PROCESS_COLUMNS
        )
        # One pass over the table, then lookups by rowid (the id vask writes
        # is the rowid): linear in the rows even where the indexes are gone.
        rows = conn.execute(
            f"""
            SELECT g.trace_id, latest.root_trace_id, named.trace_name, latest.timestamp,
                   g.stored_at, g.documents, g.size, g.calls, {process}
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
            (-1 if limit is None else max(limit, 0),),
        ).fetchall()
    return [
        TraceSummary(
            trace_id,
            _text_or_none(root),
            _text_or_none(name),
            plausible_time(timestamp),
            plausible_time(stored_at),
            _count(documents),
            _count(size),
            _count(calls),
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
            pid,
            parent_pid,
            parent_trace_id,
            process_name,
        ) in rows
    ]


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
    """The documents stored under ``trace_id``, in the order they were stored.

    A stored value that is no byte string reads as an empty document (a
    text as its UTF-8 bytes), which the readers name as damaged.
    """
    with _reading(db_path, timeout) as conn:
        if conn is None:
            return []
        rows = conn.execute(
            "SELECT CASE typeof(data) WHEN 'blob' THEN data"
            " WHEN 'text' THEN CAST(data AS BLOB) ELSE X'' END"
            " FROM traces WHERE trace_id = ? ORDER BY id",
            (trace_id,),
        ).fetchall()
    return [bytes(row[0]) if isinstance(row[0], bytes) else b"" for row in rows]


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
            return cursor.rowcount
    finally:
        conn.close()


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
        rows = conn.execute(
            "SELECT rowid, trace_id, size, length(data), typeof(data) FROM traces"
            " WHERE typeof(trace_id) = 'text' ORDER BY id"
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
