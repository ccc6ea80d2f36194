"""Keeping the trace database in shape: deleting, pruning, finding damage, compacting."""

from __future__ import annotations

import os
import sqlite3
from collections.abc import Iterable
from pathlib import Path

from vask.document import HEAD_WINDOW, head_damage
from vask.storage import backend, callindex
from vask.storage.keep import FAILING_OUTCOMES
from vask.storage.query import TraceSummary, list_traces, open_document, stored_count
from vask.storage.schema import (
    columns,
    connect,
    has_pieces,
    open_existing,
    reading,
    transaction,
    with_path,
)

__all__ = [
    "compact",
    "delete_traces",
    "find_damage",
    "keep_failed_tests",
    "prune",
    "prune_per_test",
    "with_child_processes",
]


def delete_traces(db_path: str | os.PathLike[str], ids: Iterable[str], timeout: float = 60) -> int:
    """Delete the traces with the given trace ids; returns the number of rows deleted.

    Deleting a root trace also deletes the subtrees flushed from it (the
    traces whose ``root_trace_id`` it is), which are meaningless without it.
    """
    ids = [ids] if isinstance(ids, str) else list(ids)
    conn = open_existing(db_path, timeout)
    if conn is None or not ids:
        if conn is not None:
            conn.close()
        return 0
    try:
        if backend.is_postgres(conn):
            with transaction(conn):
                cursor = conn.execute(
                    "DELETE FROM traces WHERE trace_id = ANY(?) OR root_trace_id = ANY(?)",
                    (ids, ids),
                )
                _delete_orphan_pieces(conn)
                return cursor.rowcount
        with transaction(conn):
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
    conn = open_existing(db_path, timeout)
    if conn is None:
        return 0
    try:
        with transaction(conn):
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


def with_child_processes(summaries: Iterable[TraceSummary], ids: Iterable[str]) -> list[str]:
    """``ids`` and the traces of the processes they started (and theirs), in that order."""
    children: dict[str, list[str]] = {}
    for s in summaries:
        if s.parent_trace_id is not None and s.parent_trace_id != s.trace_id:
            children.setdefault(s.parent_trace_id, []).append(s.trace_id)
    out = dict.fromkeys(ids)
    todo = list(out)
    while todo:
        for child in children.get(todo.pop(), ()):
            if child not in out:
                out[child] = None
                todo.append(child)
    return list(out)


def _test_roots(summaries: Iterable[TraceSummary]) -> list[TraceSummary]:
    """The root traces of tests (named, with an outcome), newest first."""
    return [
        s
        for s in summaries
        if s.outcome is not None
        and s.trace_name is not None
        and s.parent_trace_id is None
        and s.root_trace_id in (None, s.trace_id)
    ]


def prune_per_test(db_path: str | os.PathLike[str], keep: int, timeout: float = 60) -> int:
    """Keep the newest ``keep`` traces of each test (by node id); returns the rows deleted.

    Traces of no test are left alone; a test's trace goes with the subtrees
    flushed from it and the traces of the processes it started.
    """
    if keep < 0:
        raise ValueError(f"keep must be >= 0, not {keep}")
    summaries = list_traces(db_path, timeout=timeout)
    seen: dict[str, int] = {}
    doomed = []
    for s in _test_roots(summaries):  # newest first
        n = seen[s.trace_name] = seen.get(s.trace_name, 0) + 1  # type: ignore[index]
        if n > keep:
            doomed.append(s.trace_id)
    return delete_traces(db_path, with_child_processes(summaries, doomed), timeout=timeout)


def keep_failed_tests(
    db_path: str | os.PathLike[str],
    session: Iterable[str],
    baseline: bool,
    timeout: float = 60,
) -> tuple[int, dict[str, str]]:
    """Delete the traces of a test session's tests that did not fail.

    ``session`` holds the trace ids the session stored.  The traces of tests
    that failed or errored stay.  With ``baseline``, each test that passed
    keeps its new trace as its baseline (its older passing traces go), and a
    failing test keeps the newest passing trace stored before it.  Returns
    the rows deleted and, per failing test that has a baseline, its node id
    mapped to the baseline's trace id.
    """
    summaries = list_traces(db_path, timeout=timeout)
    ours = set(session)
    tests = _test_roots(summaries)
    doomed: list[str] = []
    baselines: dict[str, str] = {}
    newest_pass: dict[str, str] = {}
    failing: set[str] = set()
    for s in tests:  # newest first
        name = s.trace_name or ""
        if s.outcome == "passed":
            newest_pass.setdefault(name, s.trace_id)
        if s.trace_id in ours and s.outcome in FAILING_OUTCOMES:
            failing.add(name)
    for s in tests:
        name = s.trace_name or ""
        if s.trace_id in ours:
            if s.outcome in FAILING_OUTCOMES:
                continue
            if baseline and s.outcome == "passed" and newest_pass.get(name) == s.trace_id:
                continue
            doomed.append(s.trace_id)
        elif (
            baseline
            and s.outcome == "passed"
            and name not in failing
            and newest_pass.get(name) in ours
        ):
            doomed.append(s.trace_id)  # replaced by this session's baseline
    for name in failing:
        passed = newest_pass.get(name)
        if passed is not None and passed not in ours:
            baselines[name] = passed
    rows = delete_traces(db_path, with_child_processes(summaries, doomed), timeout=timeout)
    return rows, baselines


def _delete_orphan_pieces(conn: sqlite3.Connection) -> None:
    """Delete the pieces whose row is gone, and the calls index of traces no longer
    stored (inside the transaction that deleted rows).

    PostgreSQL deletes the pieces with their row (``ON DELETE CASCADE``).
    """
    if not backend.is_postgres(conn):
        conn.execute("DELETE FROM trace_pieces WHERE trace_row NOT IN (SELECT id FROM traces)")
    callindex.drop_orphans(conn)


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
    with reading(db_path, timeout) as conn:
        if conn is None:
            return {}
        pieces = ""
        postgres = backend.is_postgres(conn)
        if postgres:
            pieces = (
                " + COALESCE((SELECT SUM(octet_length(p.data)) FROM trace_pieces p"
                " WHERE p.trace_row = t.id), 0)"
            )
        elif has_pieces(conn):
            pieces = (
                " + COALESCE((SELECT SUM(length(p.data)) FROM trace_pieces p"
                " WHERE p.trace_row = t.id), 0)"
            )
        # Of a compressed document the bytes stored are compared with "stored".
        expected = "t.size"
        if "codec" in columns(conn):
            expected = "CASE WHEN t.codec IS NULL THEN t.size ELSE t.stored END"
        if postgres:
            statement = (
                f"SELECT t.id, t.trace_id, {expected}, octet_length(t.data){pieces}, 'blob'"
                " FROM traces t ORDER BY t.id"
            )
        else:
            statement = (
                f"SELECT t.rowid, t.trace_id, {expected}, length(t.data){pieces}, typeof(t.data)"
                " FROM traces t WHERE typeof(t.trace_id) = 'text' ORDER BY t.id"
            )
        rows = conn.execute(statement).fetchall()
        for row_id, trace_id, size, length, kind in rows:
            number = numbers[trace_id] = numbers.get(trace_id, 0) + 1
            reason = None
            size = stored_count(size)
            if kind not in ("blob", "text") or not length:
                reason = "empty document" if kind in ("blob", "text") else f"no document ({kind})"
            elif length != size:
                reason = (
                    f"truncated: {length} of {size} bytes stored"
                    if length < size
                    else f"{length} bytes stored where {size} were written"
                )
            else:
                reader = open_document(conn, row_id)
                try:
                    want = min(reader.size, HEAD_WINDOW)
                    start = reader.read(0, want)
                    if not reader.size:
                        reason = "compressed in a form this vask does not know"
                    elif len(start) < want:
                        reason = "damaged: its start does not decompress"
                    else:
                        reason = head_damage(start, reader.size)
                finally:
                    reader.close()
            if reason is not None:
                damaged.setdefault(trace_id, []).append((number, reason))
    return damaged


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
    in free space while it runs) and truncates the write-ahead log.  Of a
    PostgreSQL database, ``VACUUM FULL`` of vask's two tables, measured by
    their sizes on the server.
    """
    path = backend.locate(db_path)
    if isinstance(path, backend.DatabaseUrl):
        return _compact_postgres(path, timeout)
    if not path.exists():
        return 0
    before = _disk_size(path)
    conn = connect(path, timeout)
    try:
        conn.execute("VACUUM")
        conn.execute("PRAGMA wal_checkpoint(TRUNCATE)")
    except sqlite3.Error as error:
        raise with_path(error, path) from error
    finally:
        conn.close()
    return max(before - _disk_size(path), 0)


def _compact_postgres(url: backend.DatabaseUrl, timeout: float) -> int:
    conn = connect(url, timeout)
    size = "SELECT pg_total_relation_size('traces') + pg_total_relation_size('trace_pieces')"
    try:
        (before,) = conn.execute(size).fetchone()
        conn.execute("VACUUM FULL traces")
        conn.execute("VACUUM FULL trace_pieces")
        (after,) = conn.execute(size).fetchone()
    except sqlite3.Error as error:
        raise with_path(error, url) from error
    finally:
        conn.close()
    return max(int(before) - int(after), 0)
