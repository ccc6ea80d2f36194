"""The trace database: its tables, opening it for writing or reading, and its errors.

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
``size``           INTEGER    length of the document in bytes (as written, before
                              compression)
``calls``          INTEGER    number of "call" frame records in the document
``data``           BLOB       the MessagePack trace document (compressed when
                              ``codec`` says so); of a document stored in pieces,
                              its first piece
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
``codec``          TEXT       how ``data`` is compressed: NULL for a document
                              stored as written, "zstd" for zstd frames
                              (:mod:`vask.storage.codec`)
``dictionary``     INTEGER    the id of the dictionary the frames are primed with
``frames``         BLOB       the frame table: the document bytes per frame and
                              each frame's stored length
``stored``         INTEGER    the bytes stored, every piece counted (NULL for a
                              document stored as written: ``size``)
=================  =========  ====================================================

Since version 3 every document is stored compressed; the rows of a database
of version 1 or 2 stay as they are and read as before, and the documents
written after the upgrade are compressed.

SQLite takes no value larger than its length limit (1 GB by default), so a
larger document is stored in pieces: the first in ``data``, the others as rows
``(trace_row, seq, data)`` of the table ``trace_pieces``, ``seq`` counting
from 1.  Every reader reads a document as one stream across its pieces
(:class:`vask.storage.query.DocumentReader`), and only the parts it asks for.

A trace id saved twice (consecutive saves of one run) gives two rows; nothing
is ever overwritten.  The schema version is kept in ``PRAGMA user_version`` and
upgraded step by step by :data:`_MIGRATIONS`; databases of every earlier
version are read as they are.  The process columns are added to a table
that lacks them without a new version (:data:`_ADDED_COLUMNS`): they may be
NULL, so a vask without them reads and writes the table as before, and the
readers take a table without them.

The database and the directory vask creates for it are private to the user
(modes 0o600 and 0o700): traces hold the local variables of the traced program.
Nothing is written where another user could have planted a file or a link
for vask to write through (see :mod:`vask._paths`).

A PostgreSQL database (a ``postgresql://`` URL, :mod:`vask.storage.backend`)
holds the same tables, with the same columns, in vask's own schema there
(``bytea`` documents and pieces; see the end of this module).

Reading never changes a database: :func:`connect_readonly` opens it
read-only, does not create it, and refuses a file whose ``traces`` is not a
table with the columns above.
"""

from __future__ import annotations

import errno
import os
import sqlite3
import time
import urllib.parse
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from pathlib import Path
from typing import Any

from vask import _paths
from vask._paths import UnsafeLocation
from vask.storage import backend
from vask.storage.backend import DatabaseUrl

__all__ = [
    "PROCESS_COLUMNS",
    "SCHEMA_VERSION",
    "NotATraceDatabase",
    "UnsafeLocation",
    "connect",
    "connect_readonly",
    "ensure_pg_tables",
    "failure_reason",
    "has_pieces",
    "open_existing",
    "open_reader",
    "reading",
    "transaction",
    "with_path",
]

#: Schema version written to ``PRAGMA user_version``.
SCHEMA_VERSION = 3

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
    (
        "ALTER TABLE traces ADD COLUMN codec TEXT",
        "ALTER TABLE traces ADD COLUMN dictionary INTEGER",
        "ALTER TABLE traces ADD COLUMN frames BLOB",
        "ALTER TABLE traces ADD COLUMN stored INTEGER",
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
PROCESS_COLUMNS = tuple(name for name, _ in _ADDED_COLUMNS)


def with_path(error: Exception, path: Any) -> Exception:
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
    return str(error).replace(f" (database {backend.locate(db_path)})", "")


@contextmanager
def transaction(conn: Any) -> Iterator[None]:
    """A write transaction; of SQLite IMMEDIATE, so that it waits for the lock at its start.

    Of PostgreSQL, a transaction its connection lost ends with the error that
    lost it (the server rolls it back).
    """
    postgres = backend.is_postgres(conn)
    conn.execute("BEGIN" if postgres else "BEGIN IMMEDIATE")
    if isinstance(conn, Connection):
        conn.transactions += 1
    try:
        yield
    except BaseException:
        forget_written(conn)
        try:
            conn.execute("ROLLBACK")
        except sqlite3.Error:
            if not postgres:
                raise
        raise
    try:
        conn.execute("COMMIT")
    except BaseException:
        forget_written(conn)
        raise
    if isinstance(conn, Connection) and conn.written:
        conn.known.update(conn.written)
        conn.written.clear()


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
    with transaction(conn):
        version = conn.execute("PRAGMA user_version").fetchone()[0]
        for steps in _MIGRATIONS[version:]:
            for statement in steps:
                conn.execute(statement)
        if version < SCHEMA_VERSION:
            conn.execute(f"PRAGMA user_version = {SCHEMA_VERSION}")


class Connection(sqlite3.Connection):
    """An SQLite connection vask opened.  It remembers what it found of the tables' shape
    (:func:`columns`, :func:`has_pieces`) while the schema's version cookie stays the
    same and no other connection committed: reading a document asks for them several
    times, and each answer costs a look at the schema that far exceeds reading the two."""

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        super().__init__(*args, **kwargs)
        self.shape: dict[Any, Any] = {}
        self.shape_version: Any = None
        # Rows its writers look up again and again, that never change once committed (the
        # calls index's names), by a key of their own: found in the open transaction
        # (`written`), kept (`known`) once it commits; see known_rows.
        self.known: dict[Any, Any] = {}
        self.written: dict[Any, Any] = {}
        self.known_schema: Any = None
        # the busy timeout a store set last (store._wait_for_locks), in seconds
        self.busy_timeout: float | None = None
        # the transactions begun (see transaction), and the one whose schema was checked
        self.transactions = 0
        self.known_checked = -1


def known_rows(conn: Any) -> tuple[dict[Any, Any], dict[Any, Any]] | None:
    """What this connection's writers found before of rows that never change once
    committed, to look up first, inside a transaction: (what transactions that committed
    found, while the schema stays as it was; what the open one found, kept if it commits,
    where a writer adds what it finds).  ``None`` for a connection that keeps none (not
    vask's SQLite one).  A writer that rolls back part of a transaction calls
    :func:`forget_written`."""
    if not isinstance(conn, Connection):
        return None
    # Once a transaction: inside it only its own writer changes the schema, and one
    # that makes tables again says so (forget_known).
    if not conn.in_transaction or conn.known_checked != conn.transactions:
        now = conn.execute("PRAGMA schema_version").fetchone()
        if now != conn.known_schema:
            # the tables were made again (maybe by another process): their rows are others
            forget_known(conn)
            conn.known_schema = now
        conn.known_checked = conn.transactions if conn.in_transaction else -1
    return conn.known, conn.written


def forget_known(conn: Any) -> None:
    """Everything of :func:`known_rows` is taken back: the caller makes tables again."""
    if isinstance(conn, Connection):
        conn.known.clear()
        conn.written.clear()
        conn.known_schema = None
        conn.known_checked = -1


def forget_written(conn: Any) -> None:
    """What the open transaction found of :func:`known_rows` is taken back (it, or a part
    of it, rolls back)."""
    if isinstance(conn, Connection):
        conn.written.clear()


def _remembered(conn: Any, key: Any, find: Callable[[], Any]) -> Any:
    """What ``find()`` says of the schema, found again once the schema may have changed:
    by this connection (committed or rolled back, the cookie moves either way) or by
    another (whose commits move the data version)."""
    if not isinstance(conn, Connection):
        return find()
    version = conn.execute("SELECT * FROM pragma_schema_version, pragma_data_version").fetchone()
    if version != conn.shape_version:
        conn.shape.clear()
        conn.shape_version = version
    if key not in conn.shape:
        conn.shape[key] = find()
    return conn.shape[key]


def columns(conn: Any, table: str = "traces") -> set[str]:
    """The lower-case names of a table's stored columns."""
    if backend.is_postgres(conn):
        return _PG_COLUMNS if table == "traces" else {"id", "trace_row", "seq", "data"}

    def find() -> frozenset[str]:
        info = conn.execute(f"PRAGMA table_xinfo({table})").fetchall()
        return frozenset(str(row[1]).lower() for row in info if row[6] not in (2, 3))

    return set(_remembered(conn, ("columns", table), find))


def _add_columns(conn: sqlite3.Connection) -> None:
    """Add the columns of :data:`_ADDED_COLUMNS` that the table lacks."""
    if columns(conn).issuperset(PROCESS_COLUMNS):
        return
    with transaction(conn):
        present = columns(conn)
        for name, kind in _ADDED_COLUMNS:
            if name not in present:
                conn.execute(f"ALTER TABLE traces ADD COLUMN {name} {kind}")
        conn.execute("CREATE INDEX IF NOT EXISTS traces_by_parent ON traces (parent_trace_id)")


def connect(db_path: str | os.PathLike[str] | DatabaseUrl, timeout: float = 60) -> Any:
    """Open the trace database for writing, creating it, its directory and its schema if needed.

    The location is checked first (:func:`vask._paths.database_file`): a
    directory or file that another user could have planted raises
    :class:`UnsafeLocation` (a ``PermissionError``).  The connection is in
    autocommit mode (``isolation_level=None``), in WAL journal mode, and
    waits up to ``timeout`` seconds for a lock held by another connection
    before it raises ``sqlite3.OperationalError``.
    Errors name the database path.

    A PostgreSQL URL (:mod:`vask.storage.backend`) gives a connection to
    vask's schema there, created or upgraded first (:func:`_ensure_pg_schema`).
    """
    path = backend.locate(db_path)
    if isinstance(path, DatabaseUrl):
        conn = backend.connect_postgres(path, timeout)
        return _set_up(conn, path, lambda conn, path: _ensure_pg_schema(conn))
    try:
        real = _paths.database_file(path)
        conn = sqlite3.connect(
            str(real), timeout=timeout, isolation_level=None, factory=Connection
        )
    except (OSError, sqlite3.Error) as error:
        raise with_path(error, path) from error
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


def _set_up(conn: Any, path: Any, setup: Callable[[Any, Any], None]) -> Any:
    """``conn`` after ``setup``; closed, and the error naming ``path``, when that fails."""
    try:
        setup(conn, path)
    except BaseException as error:
        conn.close()
        if isinstance(error, sqlite3.Error):
            raise with_path(error, path) from error
        raise
    return conn


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
    db_path: str | os.PathLike[str] | DatabaseUrl,
    timeout: float = 60,
    *,
    check_same_thread: bool = True,
) -> Any:
    """Open an existing trace database for reading only.

    Nothing about the file changes: it is opened read-only (its journal mode
    and schema stay as they are) and never created; a missing file raises
    ``FileNotFoundError``, a database whose ``traces`` is not a table with
    vask's columns :class:`NotATraceDatabase`.  Errors name the path.

    Of a PostgreSQL database: a connection whose transactions are read-only;
    ``FileNotFoundError`` when vask's schema holds no traces table yet.
    """
    located = backend.locate(db_path)
    if isinstance(located, DatabaseUrl):
        conn = backend.connect_postgres(located, timeout, read_only=True)
        return _set_up(conn, located, lambda conn, path: _check_pg_schema(conn, located))
    path = located.absolute()
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
            factory=Connection,
        )
    except sqlite3.Error as error:
        raise with_path(error, path) from error
    return _set_up(conn, path, _for_reading)


def _for_reading(conn: sqlite3.Connection, path: Path) -> None:
    conn.execute("PRAGMA query_only = ON")
    # Functions with side effects are not run from the schema (views,
    # triggers, indexes) of a file someone else made.
    conn.execute("PRAGMA trusted_schema = OFF")
    _check_schema(conn, path)


@contextmanager
def reading(db_path: str | os.PathLike[str] | DatabaseUrl, timeout: float) -> Iterator[Any]:
    """A read-only connection, or ``None`` when there is no database (nothing to read)."""
    try:
        conn = connect_readonly(db_path, timeout)
    except FileNotFoundError:
        yield None
        return
    try:
        yield conn
    except sqlite3.Error as error:
        raise with_path(error, backend.locate(db_path)) from error
    finally:
        conn.close()


def open_existing(db_path: str | os.PathLike[str] | DatabaseUrl, timeout: float) -> Any:
    """A connection for writing, or ``None`` when there is no database yet (nothing to change)."""
    path = backend.locate(db_path)
    if not path.exists():
        return None
    return connect(path, timeout)


def open_reader(db_path: str | os.PathLike[str] | DatabaseUrl, timeout: float = 60) -> Any:
    """A connection for reading documents part by part, or ``None`` when there is no database.

    It may be used from any thread, by one thread at a time (the caller
    serialises its use).
    """
    try:
        return connect_readonly(db_path, timeout, check_same_thread=False)
    except FileNotFoundError:
        return None


def has_pieces(conn: Any) -> bool:
    """Whether the database has vask's table of pieces (schema 2 on) in a form it reads."""
    if backend.is_postgres(conn):
        return True

    def find() -> bool:
        found = conn.execute(
            "SELECT type FROM sqlite_master WHERE name = 'trace_pieces' COLLATE NOCASE"
        ).fetchall()
        if found != [("table",)]:
            return False
        info = conn.execute("PRAGMA table_xinfo(trace_pieces)").fetchall()
        if any(row[6] in (2, 3) for row in info):
            return False  # a generated column: no value vask stored
        return {"trace_row", "seq", "data"} <= {str(row[1]).lower() for row in info}

    return bool(_remembered(conn, "pieces", find))


# -- PostgreSQL ------------------------------------------------------------------
#
# The same tables in vask's own schema (the connection's search path):
# ``bytea`` for the documents and their pieces, stored EXTERNAL (they are
# compressed already, and a part of them is read without reading the rest),
# ``double precision`` for the times, ``bigint`` for ids, sizes and counts.
# The versions are in ``schema_version``, one row per component (the trace
# tables are "traces"; see :func:`ensure_pg_tables`).

#: Schema version of vask's tables in a PostgreSQL database.
PG_SCHEMA_VERSION = 1

_PG_MIGRATIONS: list[tuple[str, ...]] = [
    (
        """
        CREATE TABLE traces (
            id bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
            trace_id text NOT NULL,
            root_trace_id text,
            trace_name text,
            timestamp double precision,
            stored_at double precision NOT NULL,
            size bigint NOT NULL,
            calls bigint NOT NULL,
            data bytea NOT NULL,
            outcome text,
            pieces integer NOT NULL DEFAULT 0,
            codec text,
            dictionary bigint,
            frames bytea,
            stored bigint,
            pid bigint,
            parent_pid bigint,
            parent_trace_id text,
            process_name text
        )
        """,
        "ALTER TABLE traces ALTER COLUMN data SET STORAGE EXTERNAL",
        "CREATE INDEX traces_by_trace_id ON traces (trace_id, id)",
        "CREATE INDEX traces_by_root ON traces (root_trace_id)",
        "CREATE INDEX traces_by_parent ON traces (parent_trace_id)",
        """
        CREATE TABLE trace_pieces (
            id bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
            trace_row bigint NOT NULL REFERENCES traces (id) ON DELETE CASCADE,
            seq integer NOT NULL,
            data bytea NOT NULL,
            UNIQUE (trace_row, seq)
        )
        """,
        "ALTER TABLE trace_pieces ALTER COLUMN data SET STORAGE EXTERNAL",
    ),
]
assert len(_PG_MIGRATIONS) == PG_SCHEMA_VERSION

_PG_COLUMNS = frozenset(
    (*_COLUMNS, "outcome", "pieces", "codec", "dictionary", "frames", "stored", *PROCESS_COLUMNS)
)


def _pg_version(conn: Any, schema: str, component: str = "traces") -> int | None:
    """The version of a component's tables in ``schema``, ``None`` when it has none yet."""
    (present,) = conn.execute(
        "SELECT to_regclass(?) IS NOT NULL", (f"{schema}.schema_version",)
    ).fetchone()
    if not present:
        return None
    row = conn.execute(
        "SELECT version FROM schema_version WHERE component = ?", (component,)
    ).fetchone()
    return int(row[0]) if row else None


def ensure_pg_tables(conn: Any, component: str, migrations: list[tuple[str, ...]]) -> None:
    """Create or upgrade a component's tables in vask's PostgreSQL schema.

    ``migrations[i]`` brings the component from version ``i`` to ``i + 1``;
    its version is kept in ``schema_version``.  All of it happens in one
    transaction under an advisory lock of the schema: writers that start at
    once take turns, and a failed step leaves nothing half done.  The trace
    tables are the component "traces"; a module with tables of its own (the
    calls index) passes its own name and steps.
    """
    schema = conn.url.schema
    latest = len(migrations)
    version = _pg_version(conn, schema, component)
    if version == latest:
        return
    if version is not None and version > latest:
        raise NotATraceDatabase(
            f"{component} schema version {version} is newer than this vask supports ({latest})"
        )
    with transaction(conn):
        conn.execute("SELECT pg_advisory_xact_lock(hashtext(?))", (f"vask schema {schema}",))
        conn.execute(f"CREATE SCHEMA IF NOT EXISTS {schema}")
        conn.execute(
            "CREATE TABLE IF NOT EXISTS schema_version"
            " (component text PRIMARY KEY, version integer NOT NULL)"
        )
        version = _pg_version(conn, schema, component) or 0
        for steps in migrations[version:]:
            for statement in steps:
                conn.execute(statement)
        if version < latest:
            conn.execute(
                "INSERT INTO schema_version VALUES (?, ?)"
                " ON CONFLICT (component) DO UPDATE SET version = excluded.version",
                (component, latest),
            )


def _ensure_pg_schema(conn: Any) -> None:
    ensure_pg_tables(conn, "traces", _PG_MIGRATIONS)


def _check_pg_schema(conn: Any, url: DatabaseUrl) -> None:
    version = _pg_version(conn, url.schema)
    if version is None:
        raise FileNotFoundError(errno.ENOENT, "no trace database", str(url))
    if version > PG_SCHEMA_VERSION:
        raise NotATraceDatabase(
            f"{url}: schema version {version} is newer than this vask supports "
            f"({PG_SCHEMA_VERSION})"
        )
