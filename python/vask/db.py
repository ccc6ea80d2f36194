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
=================  =========  ====================================================

A trace id saved twice (consecutive saves of one run) gives two rows; nothing
is ever overwritten.  The schema version is kept in ``PRAGMA user_version`` and
upgraded step by step by :data:`_MIGRATIONS`.

The database and the directory vask creates for it are private to the user
(modes 0o600 and 0o700): traces hold the local variables of the traced program.
"""

from __future__ import annotations

import io
import os
import sqlite3
import time
from collections.abc import Iterable, Iterator
from contextlib import contextmanager
from pathlib import Path
from typing import Any, NamedTuple

import msgpack

__all__ = [
    "SCHEMA_VERSION",
    "RootTotals",
    "TraceSummary",
    "compact",
    "connect",
    "delete_traces",
    "document_damage",
    "document_rows",
    "find_damage",
    "list_traces",
    "load_trace",
    "open_document",
    "open_reader",
    "prune",
    "read_document_part",
    "root_totals",
    "save_trace",
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
    stored_at: float
    #: Number of documents (rows) stored under the trace id.
    documents: int
    #: Total size of those documents in bytes.
    size: int
    #: Total number of call records in those documents.
    calls: int


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


def _make_dirs(directory: Path) -> None:
    """Create ``directory`` and its missing parents, each private (0o700)."""
    missing = []
    d = directory
    while not d.exists():
        missing.append(d)
        if d.parent == d:
            break
        d = d.parent
    for d in reversed(missing):
        try:
            d.mkdir(mode=0o700)
        except FileExistsError:
            continue  # made concurrently; it is not ours to chmod
        # mkdir's mode is filtered by the umask; say what we mean.
        d.chmod(0o700)


def _create_file(path: Path) -> None:
    """Create the database file private (0o600) if it does not exist yet.

    SQLite gives its -wal and -shm files the mode of the database file.
    """
    try:
        fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
    except FileExistsError:
        return
    os.close(fd)


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


def connect(
    db_path: str | os.PathLike[str], timeout: float = 60, *, check_same_thread: bool = True
) -> sqlite3.Connection:
    """Open the trace database, creating it, its directory and its schema if needed.

    The connection is in autocommit mode (``isolation_level=None``), in WAL
    journal mode, and waits up to ``timeout`` seconds for a lock held by
    another connection before it raises ``sqlite3.OperationalError``.
    Errors name the database path.
    """
    path = Path(db_path)
    try:
        _make_dirs(path.parent)
        _create_file(path)
        conn = sqlite3.connect(
            str(path), timeout=timeout, isolation_level=None, check_same_thread=check_same_thread
        )
    except (OSError, sqlite3.Error) as error:
        raise _with_path(error, path) from error
    try:
        conn.execute("PRAGMA journal_mode = WAL")
        _ensure_schema(conn)
    except BaseException as error:
        conn.close()
        if isinstance(error, sqlite3.Error):
            raise _with_path(error, path) from error
        raise
    return conn


def _read_head(data: bytes) -> dict[str, Any]:
    """The head entries of a trace document, decoding nothing else."""
    unpacker = msgpack.Unpacker(io.BytesIO(data), raw=False, max_buffer_size=1 << 20)
    try:
        n = unpacker.read_map_header()
    except Exception as error:  # any malformation means "not a document"
        raise ValueError(f"trace document is not a MessagePack map: {error}") from error
    head: dict[str, Any] = {}
    try:
        for _ in range(n):
            key = unpacker.unpack()
            if key not in _HEAD_KEYS:
                break
            head[key] = unpacker.unpack()
            if key == _HEAD_KEYS[-1]:
                break
    except Exception as error:
        raise ValueError(f"trace document head is malformed: {error}") from error
    return head


def _text_or_none(value: Any) -> str | None:
    return value if isinstance(value, str) else None


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
    before the database is touched.
    """
    if msgpack_data is None or db_path is None:
        raise TypeError("save_trace needs both msgpack_data and db_path")
    if not isinstance(trace_id, str):
        raise TypeError(f"trace_id must be a str, not {type(trace_id).__name__}")
    if not isinstance(msgpack_data, (bytes, bytearray, memoryview)):
        raise TypeError(f"msgpack_data must be bytes, not {type(msgpack_data).__name__}")
    data = bytes(msgpack_data)
    head = _read_head(data)
    timestamp = head.get("timestamp")
    row = (
        trace_id,
        _text_or_none(head.get("root_trace_id")),
        _text_or_none(head.get("trace_name")),
        float(timestamp) if isinstance(timestamp, (int, float)) else None,
        time.time(),
        len(data),
        data.count(_CALL_PATTERN),
        data,
    )
    path = Path(db_path)
    conn = connect(path, timeout)
    try:
        conn.execute(
            "INSERT INTO traces (trace_id, root_trace_id, trace_name, timestamp,"
            " stored_at, size, calls, data) VALUES (?, ?, ?, ?, ?, ?, ?, ?)",
            row,
        )
    except sqlite3.Error as error:
        raise _with_path(error, path) from error
    finally:
        conn.close()


def _open_existing(
    db_path: str | os.PathLike[str], timeout: float, check_same_thread: bool = True
) -> sqlite3.Connection | None:
    """A connection, or ``None`` when there is no database yet (nothing to read)."""
    path = Path(db_path)
    if not path.exists():
        return None
    return connect(path, timeout, check_same_thread=check_same_thread)


def open_reader(db_path: str | os.PathLike[str], timeout: float = 60) -> sqlite3.Connection | None:
    """A connection for reading documents part by part, or ``None`` when there is no database.

    It may be used from any thread, by one thread at a time (the caller
    serialises its use).
    """
    return _open_existing(db_path, timeout, check_same_thread=False)


def document_rows(conn: sqlite3.Connection, trace_id: str) -> list[tuple[int, int]]:
    """(row id, length) of each document stored under ``trace_id``, in storage order."""
    return conn.execute(
        "SELECT id, length(data) FROM traces WHERE trace_id = ? ORDER BY id", (trace_id,)
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
        "SELECT CAST(substr(data, ?, ?) AS BLOB) FROM traces WHERE id = ?", (offset + 1, n, row_id)
    ).fetchone()
    return bytes(row[0]) if row and row[0] is not None else b""


def list_traces(
    db_path: str | os.PathLike[str], limit: int | None = None, timeout: float = 60
) -> list[TraceSummary]:
    """One summary per trace id, the most recently stored first.

    ``limit`` caps the number of summaries.  A missing database has no traces.
    """
    conn = _open_existing(db_path, timeout)
    if conn is None:
        return []
    try:
        rows = conn.execute(
            """
            SELECT t.trace_id,
                   (SELECT root_trace_id FROM traces r
                     WHERE r.trace_id = t.trace_id ORDER BY r.id DESC LIMIT 1),
                   (SELECT trace_name FROM traces n
                     WHERE n.trace_id = t.trace_id AND n.trace_name IS NOT NULL
                     ORDER BY n.id DESC LIMIT 1),
                   (SELECT timestamp FROM traces s
                     WHERE s.trace_id = t.trace_id ORDER BY s.id DESC LIMIT 1),
                   MAX(t.stored_at), COUNT(*), SUM(t.size), SUM(t.calls)
              FROM traces t
             GROUP BY t.trace_id
             ORDER BY MAX(t.id) DESC
             LIMIT ?
            """,
            (-1 if limit is None else max(limit, 0),),
        ).fetchall()
    finally:
        conn.close()
    return [TraceSummary(*row) for row in rows]


def load_trace(db_path: str | os.PathLike[str], trace_id: str, timeout: float = 60) -> list[bytes]:
    """The documents stored under ``trace_id``, in the order they were stored."""
    conn = _open_existing(db_path, timeout)
    if conn is None:
        return []
    try:
        rows = conn.execute(
            "SELECT data FROM traces WHERE trace_id = ? ORDER BY id", (trace_id,)
        ).fetchall()
    finally:
        conn.close()
    return [bytes(row[0]) for row in rows]


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
    db_path: str | os.PathLike[str], root_trace_id: str | None = None, timeout: float = 60
) -> dict[str, RootTotals]:
    """Totals over every row of each root trace: its own and its flushed subtrees'.

    Subtrees (nested flushes too) are the rows whose ``root_trace_id`` is the
    root's id; a root that was never stored itself still has totals.  With
    ``root_trace_id`` only that root is counted.
    """
    conn = _open_existing(db_path, timeout)
    if conn is None:
        return {}
    where, params = "", ()
    if root_trace_id is not None:
        where, params = "WHERE root_trace_id = ? OR trace_id = ?", (root_trace_id, root_trace_id)
    try:
        rows = conn.execute(
            f"""
            SELECT root, COUNT(*), COUNT(DISTINCT CASE WHEN trace_id <> root THEN trace_id END),
                   SUM(size), SUM(calls), SUM(CASE WHEN trace_id <> root THEN calls ELSE 0 END)
              FROM (SELECT trace_id, COALESCE(root_trace_id, trace_id) AS root, size, calls
                      FROM traces {where})
             GROUP BY root
            """,
            params,
        ).fetchall()
    finally:
        conn.close()
    totals = {row[0]: RootTotals(*row) for row in rows}
    if root_trace_id is not None:
        totals = {k: v for k, v in totals.items() if k == root_trace_id}
    return totals


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
        return f"not a trace document ({error})"
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
    conn = _open_existing(db_path, timeout)
    if conn is None:
        return {}
    damaged: dict[str, list[tuple[int, str]]] = {}
    numbers: dict[str, int] = {}
    try:
        rows = conn.execute(
            "SELECT id, trace_id, size, length(data), typeof(data) FROM traces ORDER BY id"
        ).fetchall()
        for row_id, trace_id, size, length, kind in rows:
            number = numbers[trace_id] = numbers.get(trace_id, 0) + 1
            reason = None
            if kind not in ("blob", "text") or not length:
                reason = "empty document"
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
    finally:
        conn.close()
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
