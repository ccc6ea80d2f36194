"""Keeping only what failing tests need, as each test ends (``pytest --vask-keep``).

A pytest session that keeps the traces of failing tests only names its
database and mode here (:func:`configure`).  The writer asks :func:`drops`
of every document it is about to store: the trace of a test that did not
fail or error (in ``failed+baseline`` mode a passing test's trace excepted:
it is the test's new baseline) is not stored.  In its place, in one
transaction, :func:`discard` deletes what that test left in the database:
the subtrees flushed from its trace while it ran (stored before it, as the
writer stores in order) and the traces of the processes it started stored
so far, with theirs.  So a long session holds no more of a passing test
than the subtrees it flushes while it runs.

What reaches the database after its test's end (a started process's trace
stored later, a trace first kept in a side file) is left to the session's
end, which deletes whatever of its traces the mode does not keep.

Only root documents of tests count (a name, an outcome, no parent trace):
the same rows the session's end would judge.  Documents bound for other
databases (a test that records traces of its own) are stored as they come.
"""

from __future__ import annotations

from typing import Any

from vask import _forksafe
from vask.storage import backend, callindex

__all__ = ["FAILING_OUTCOMES", "configure", "discard", "dropped", "drops"]

#: Outcomes whose traces a failure-keeping run keeps.
FAILING_OUTCOMES = ("failed", "error")


class _Mode:
    def __init__(self) -> None:
        self.lock = _forksafe.lock()
        self.db_path: Any = None
        self.baseline = False
        self.dropped: set[str] = set()


_mode = _Mode()


def configure(db_path: Any, keep: str) -> None:
    """Keep only failing tests' traces in ``db_path`` (``keep``: "failed" or
    "failed+baseline"); ``db_path=None`` or ``keep="all"`` keeps everything again.
    The count of dropped traces starts afresh."""
    with _mode.lock:
        on = db_path is not None and keep != "all"
        _mode.db_path = backend.locate(db_path) if on else None
        _mode.baseline = keep == "failed+baseline"
        _mode.dropped = set()


def dropped() -> set[str]:
    """The trace ids of the tests' traces not stored since :func:`configure`."""
    with _mode.lock:
        return set(_mode.dropped)


def drops(db_path: Any, row: Any) -> bool:
    """Whether the document of ``row`` (a ``vask.storage.store.StoredRow``) bound for
    ``db_path`` is a test's trace the keep mode does not store."""
    with _mode.lock:
        if _mode.db_path is None or db_path != _mode.db_path:
            return False
        baseline = _mode.baseline
    if row.outcome is None or row.trace_name is None or row.parent_trace_id is not None:
        return False
    if row.root_trace_id not in (None, row.trace_id):
        return False  # a flushed subtree: judged with its trace
    if row.outcome in FAILING_OUTCOMES:
        return False
    return not (baseline and row.outcome == "passed")


# The rows a test's trace left: the subtrees flushed from it, and every trace
# of the processes it started (their rows name the trace that started them),
# down the generations.
_LEFT_ROWS = """
WITH RECURSIVE started(trace_id) AS (
    SELECT ?
    UNION
    SELECT t.trace_id FROM traces t JOIN started s ON t.parent_trace_id = s.trace_id
)
SELECT id FROM traces
 WHERE root_trace_id = ? OR trace_id IN (SELECT trace_id FROM started)
"""


def discard(conn: Any, trace_id: str) -> int:
    """Delete what the test trace ``trace_id`` left stored (inside the caller's
    transaction) and count it as dropped; returns the rows deleted."""
    ids = [int(row[0]) for row in conn.execute(_LEFT_ROWS, (trace_id, trace_id))]
    if ids:
        postgres = backend.is_postgres(conn)
        for row_id in ids:
            conn.execute("DELETE FROM traces WHERE id = ?", (row_id,))
            if not postgres:  # PostgreSQL deletes the pieces with their row
                conn.execute("DELETE FROM trace_pieces WHERE trace_row = ?", (row_id,))
        if not postgres:
            callindex.drop_orphans(conn)
    with _mode.lock:
        _mode.dropped.add(trace_id)
    return len(ids)
