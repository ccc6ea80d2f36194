"""Where traces are stored: an SQLite file, or a PostgreSQL database named by a URL.

A trace database is named by a path (an SQLite file) or by a URL
``postgresql://[user[:password]@][host][:port]/dbname[?param=value...]``
(``postgres://`` too).  :func:`locate` turns either into what the storage
package works with: a :class:`~pathlib.Path`, or a :class:`DatabaseUrl`.

The rest of the package speaks to both through one connection interface,
the subset of :class:`sqlite3.Connection` it uses: ``execute(sql, params)``
with ``?`` placeholders, cursors with ``fetchone``/``fetchall``/``rowcount``,
``executemany`` and ``close``.  :class:`PgConnection` gives that interface
over a psycopg 3 connection; the few statements that differ are chosen by
:func:`is_postgres` where they are written.  Errors of the server and of the
connection are raised as :class:`ServerError`, an ``sqlite3.OperationalError``:
every caller handles them as it handles a locked or unwritable SQLite file
(a store keeps the trace in a side file, a reader reports the error).

A module with tables of its own (the calls index) does the same: its SQL
with ``?`` placeholders, :func:`is_postgres` where a statement differs, its
tables created in vask's schema by
:func:`vask.storage.schema.ensure_pg_tables` under its own component name.

The password of a URL is never shown: ``str()`` of a :class:`DatabaseUrl`
(what logs, messages, traces and the viewer show) leaves it out, and the
text of every server error has it masked.  Credentials may come from the
URL, from libpq's environment variables (``PGPASSWORD``, ``PGSERVICE``...)
or from ``~/.pgpass``; the URL's parameters (``sslmode``, ``sslrootcert``...)
are passed to libpq as they stand, so TLS is used as the URL asks.  The
parameter ``schema`` (default ``vask``) is vask's own: the PostgreSQL schema
that holds vask's tables; vask creates and touches nothing outside it.
"""

from __future__ import annotations

import os
import re
import sqlite3
import urllib.parse
from decimal import Decimal
from pathlib import Path
from typing import Any

__all__ = [
    "DEFAULT_SCHEMA",
    "DatabaseUrl",
    "DriverMissing",
    "PgConnection",
    "ServerError",
    "connect_postgres",
    "is_postgres",
    "is_url",
    "locate",
    "password_warning",
]

#: The PostgreSQL schema vask's tables are in unless the URL names another.
DEFAULT_SCHEMA = "vask"

_SCHEMES = ("postgresql:", "postgres:")
_IDENTIFIER = re.compile(r"[A-Za-z_][A-Za-z0-9_]{0,62}\Z")
_MASK = "********"


class ServerError(sqlite3.OperationalError):
    """An error of a PostgreSQL server or of the connection to it (down, refusing,
    a lost connection, a failed statement), its text free of the URL's password."""


class DriverMissing(ServerError):
    """A ``postgresql://`` database was named, and the psycopg driver is not installed."""


def is_url(value: Any) -> bool:
    """Whether ``value`` names a PostgreSQL database (a :class:`DatabaseUrl` or a URL text)."""
    if isinstance(value, DatabaseUrl):
        return True
    return isinstance(value, str) and value.lower().startswith(_SCHEMES)


class DatabaseUrl:
    """A PostgreSQL database named by a URL.

    ``str()`` is the URL without its password, fit for any message;
    :meth:`conninfo` is what libpq is given.  It answers the few questions
    callers ask of a database path (``exists``, ``absolute``...) as a
    database that is always there.  Two of them are equal when they name
    the same database and schema with the same credentials.
    """

    __slots__ = ("_conninfo", "_password", "display", "schema")

    def __init__(self, url: str) -> None:
        if not is_url(url):
            raise ValueError("a PostgreSQL database URL starts with postgresql://")
        parts = urllib.parse.urlsplit(url)
        if not parts.netloc and not url.lower().split(":", 1)[1].startswith("//"):
            raise ValueError("a PostgreSQL database URL starts with postgresql://")
        query = urllib.parse.parse_qsl(parts.query, keep_blank_values=True)
        schema = DEFAULT_SCHEMA
        kept = []
        password = urllib.parse.unquote(parts.password) if parts.password else None
        for key, value in query:
            if key == "schema":
                schema = value
            else:
                if key == "password":
                    password = value
                kept.append((key, value))
        if not _IDENTIFIER.match(schema):
            raise ValueError(
                f"schema={schema!r}: a schema name is letters, digits and '_' (at most 63)"
            )
        self.schema = schema
        self._password = password or None
        self._conninfo = _unsplit(parts._replace(query=urllib.parse.urlencode(kept, safe="/")))
        host = parts.netloc.rpartition("@")[2]
        user = parts.netloc.rpartition("@")[0].partition(":")[0] if "@" in parts.netloc else ""
        netloc = f"{user}@{host}" if user else host
        shown = [(k, _MASK if k == "password" else v) for k, v in query]
        self.display = _unsplit(
            parts._replace(netloc=netloc, query=urllib.parse.urlencode(shown, safe="/*"))
        )

    def conninfo(self) -> str:
        """The URL libpq connects with: its password too, without vask's ``schema``."""
        return self._conninfo

    @property
    def has_password(self) -> bool:
        """Whether the URL itself holds a password."""
        return self._password is not None

    def masked(self, text: str) -> str:
        """``text`` with the URL's password masked wherever it appears."""
        if self._password:
            for form in {self._password, urllib.parse.quote(self._password, safe="")}:
                text = text.replace(form, _MASK)
        return text

    def __str__(self) -> str:
        return self.display

    def __repr__(self) -> str:
        return f"DatabaseUrl({self.display!r})"

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, DatabaseUrl):
            return NotImplemented
        return (self._conninfo, self.schema) == (other._conninfo, other.schema)

    def __hash__(self) -> int:
        return hash((self._conninfo, self.schema))

    # What callers ask of a database path.
    def exists(self) -> bool:
        return True

    def absolute(self) -> DatabaseUrl:
        return self

    def expanduser(self) -> DatabaseUrl:
        return self

    def is_absolute(self) -> bool:
        return True

    def full_text(self) -> str:
        """The URL as given (password and schema too), for a process vask starts."""
        query = urllib.parse.parse_qsl(urllib.parse.urlsplit(self._conninfo).query, True)
        if self.schema != DEFAULT_SCHEMA:
            query.append(("schema", self.schema))
        parts = urllib.parse.urlsplit(self._conninfo)
        return _unsplit(parts._replace(query=urllib.parse.urlencode(query, safe="/")))


def _unsplit(parts: urllib.parse.SplitResult) -> str:
    """The URL of ``parts``, with its ``//`` also when it names no host."""
    text = urllib.parse.urlunsplit(parts._replace(fragment=""))
    if not parts.netloc:
        text = f"{parts.scheme}://{text.split(':', 1)[1].lstrip('/')}"
        if parts.path.startswith("/"):
            text = text.replace("://", ":///", 1)
    return text


# The URLs this process has named, by every text they come back as: their
# display, and that display once made a Path (which folds "//" into "/"):
# the native engines hand the database back as ``Path(str(db))``.
_named: dict[str, DatabaseUrl] = {}


def _remember(url: DatabaseUrl) -> DatabaseUrl:
    for text in (url.display, str(Path(url.display))):
        _named.setdefault(text, url)
    return url


def locate(db: Any) -> Any:
    """The database ``db`` names: a :class:`DatabaseUrl` for a URL, else a ``Path``.

    A URL that went through ``Path()`` (its ``//`` folded) is found again as
    the URL this process named, password included.
    """
    if isinstance(db, DatabaseUrl):
        return db
    if isinstance(db, str) and is_url(db):
        found = _named.get(db)
        return found if found is not None else _remember(DatabaseUrl(db))
    text = os.fspath(db)
    if isinstance(text, str) and text.lower().startswith(_SCHEMES) and isinstance(db, Path):
        found = _named.get(text)
        if found is not None:
            return found
        scheme, rest = text.split(":", 1)
        return _remember(DatabaseUrl(f"{scheme}://{rest.lstrip('/')}"))
    return Path(db)


def password_warning(db: Any, where: str) -> str | None:
    """The warning to give when a URL with a password was given on a command line."""
    if isinstance(db, DatabaseUrl) and db.has_password:
        return (
            f"the password in {where} is visible to other users of this machine (ps); "
            "give it in ~/.pgpass or PGPASSWORD instead"
        )
    return None


# -- connections ---------------------------------------------------------------


def _driver() -> Any:
    try:
        import psycopg
    except ImportError as error:
        raise DriverMissing(
            "a postgresql:// trace database needs the psycopg driver: "
            "pip install 'vask[postgres]'"
        ) from error
    return psycopg


def is_postgres(conn: Any) -> bool:
    """Whether ``conn`` is a connection to a PostgreSQL database."""
    return isinstance(conn, PgConnection)


def _error(url: DatabaseUrl, error: BaseException) -> ServerError:
    text = " ".join(str(error).split()) or type(error).__name__
    return ServerError(url.masked(text))


class _Cursor:
    """A finished statement's rows, as sqlite3's cursors give them."""

    __slots__ = ("_cursor", "rowcount")

    def __init__(self, cursor: Any) -> None:
        self._cursor = cursor
        self.rowcount = cursor.rowcount

    @staticmethod
    def _row(row: tuple[Any, ...]) -> tuple[Any, ...]:
        # SUM() of integers is numeric in PostgreSQL: counts stay ints.
        return tuple(int(v) if isinstance(v, Decimal) else v for v in row)

    def fetchone(self) -> tuple[Any, ...] | None:
        if self._cursor.description is None:
            return None
        row = self._cursor.fetchone()
        return None if row is None else self._row(row)

    def fetchall(self) -> list[tuple[Any, ...]]:
        if self._cursor.description is None:
            return []
        return [self._row(row) for row in self._cursor.fetchall()]

    def __iter__(self) -> Any:
        return iter(self.fetchall())


class PgConnection:
    """A connection to vask's schema in a PostgreSQL database, in autocommit mode, with
    the interface of :class:`sqlite3.Connection` the storage package uses."""

    def __init__(self, raw: Any, url: DatabaseUrl) -> None:
        self.raw = raw
        self.url = url
        self._psycopg = _driver()

    def execute(self, sql: str, params: Any = ()) -> _Cursor:
        # Without parameters psycopg sends the text as it stands ("%" too).
        statement = sql.replace("%", "%%").replace("?", "%s") if params else sql
        try:
            cursor = self.raw.execute(statement, tuple(params) if params else None)
        except self._psycopg.Error as error:
            raise _error(self.url, error) from None
        return _Cursor(cursor)

    def executemany(self, sql: str, rows: Any) -> None:
        statement = sql.replace("%", "%%").replace("?", "%s")
        try:
            with self.raw.cursor() as cursor:
                cursor.executemany(statement, list(rows))
        except self._psycopg.Error as error:
            raise _error(self.url, error) from None

    @property
    def broken(self) -> bool:
        return bool(self.raw.closed or self.raw.broken)

    def close(self) -> None:
        try:
            self.raw.close()
        except Exception:  # noqa: BLE001 - closing a connection the server dropped
            pass


def connect_postgres(url: DatabaseUrl, timeout: float, read_only: bool = False) -> PgConnection:
    """A connection to ``url`` with vask's schema as its search path.

    ``timeout`` bounds the wait to connect and the wait for a lock held by
    another connection.  Raises :class:`ServerError` when the server is down
    or refuses, :class:`DriverMissing` without psycopg.
    """
    psycopg = _driver()
    seconds = max(int(timeout), 1)
    try:
        raw = psycopg.connect(
            url.conninfo(),
            autocommit=True,
            connect_timeout=seconds,
            application_name="vask",
        )
    except psycopg.Error as error:
        raise _error(url, error) from None
    conn = PgConnection(raw, url)
    try:
        # One round trip: the schema name is an identifier checked by DatabaseUrl.
        settings = [f"SET search_path TO {url.schema}", f"SET lock_timeout = {int(timeout * 1000)}"]
        if read_only:
            settings.append("SET default_transaction_read_only = on")
        conn.execute("; ".join(settings))
    except BaseException:
        conn.close()
        raise
    return conn
