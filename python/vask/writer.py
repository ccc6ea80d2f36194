"""The background writer: trace documents stored in the order they come, off the traced program.

Stores made while a program is traced (a subtree flushed because the trace
grew large, a test's trace at the test's end) must never make the program
wait for the database: ``vask.db.save_trace`` hands such a document to this
writer and returns at once.  It tells them from the stores that wait by the
document (a flushed subtree's ``root_trace_id`` names another trace) and by
:func:`in_background`: an engine's store while a recorder runs, outside the
recorder's own save (:func:`recording`, :func:`saving`).  The writer stores
the documents one after the other, on a daemon thread of its own, in the
order they were handed over; a store that waits comes after every document
handed over before it, so a trace is stored after the subtrees flushed from
it.

Memory stays bounded: the documents waiting take at most the queue limit
(:func:`set_queue_limit`).  A document that does not fit waits for room while
the writer makes progress, and is kept in a side file at once (never
waiting) while the writer is held up by a locked database.  After a store
that a database refused, the next ones to it do not wait for its lock
either; the first that succeeds stores the side files kept meanwhile (see
:func:`vask.db.save_trace`).

Whatever is still waiting when the interpreter exits is stored first (an
``atexit`` handler).  A child made by ``fork`` starts with an empty queue:
the documents waiting belong to the parent.

This module runs while a program is traced; its frames are never recorded,
and the writer's thread takes the profile hook off itself.
"""

from __future__ import annotations

import atexit
import contextlib
import logging
import os
import sqlite3
import sys
import threading
import time
from collections import deque
from collections.abc import Iterator
from pathlib import Path
from typing import Any

__all__ = [
    "Job",
    "drain",
    "in_background",
    "pending",
    "recording",
    "saving",
    "set_queue_limit",
    "store",
]

_logger = logging.getLogger("vask")

#: The queue limit before :func:`set_queue_limit` is called.
DEFAULT_QUEUE_LIMIT = 32 << 20
# A store is taken to be held up by a lock once it has run this long, or
# longer than its size takes to write at the slow rate below.
_HELD_UP_AFTER = 2.0
_SLOW_RATE = 20e6  # bytes per second


class Job:
    """One document to store, and what became of it."""

    __slots__ = (
        "data",
        "db_path",
        "done",
        "error",
        "head",
        "keep_aside",
        "process",
        "result",
        "timeout",
        "trace_id",
        "waited_for",
    )

    def __init__(
        self,
        trace_id: str,
        data: bytes,
        head: dict[str, Any],
        db_path: Path,
        timeout: float,
        keep_aside: bool = True,
    ) -> None:
        self.trace_id = trace_id
        self.data = data
        self.head = head
        self.db_path = db_path
        self.timeout = timeout
        self.keep_aside = keep_aside
        #: The facts of the process that recorded it, for the row (see vask._process).
        self.process: dict[str, Any] | None = None
        self.done = threading.Event()
        #: The side file the document was kept in, or ``None`` when stored.
        self.result: Path | None = None
        self.error: BaseException | None = None
        #: Whether a caller waits for it (and gets its error raised).
        self.waited_for = False


class _State:
    """The writer's queue and thread (all guarded by ``cond``)."""

    def __init__(self) -> None:
        self.cond = threading.Condition(threading.Lock())
        self.queue: deque[Job] = deque()
        self.queued_bytes = 0
        self.limit = DEFAULT_QUEUE_LIMIT
        self.thread: threading.Thread | None = None
        self.current: Job | None = None
        self.busy_since = 0.0
        # Databases whose last store failed: the next stores to them do not
        # wait for their lock.
        self.refused: set[Path] = set()
        # Set at exit: the thread closes its connections once the queue is
        # empty (a database's last connection checkpoints it when closed).
        self.closing = False
        self.closed = threading.Event()
        # Set while a fork waits: the thread ends once the queue is empty.
        self.retiring = False


_state = _State()

# The recorders of this process that are running (by id), and the threads
# inside a recorder's save.
_recorders: set[int] = set()
_saves = threading.local()


def recording(recorder: object, running: bool) -> None:
    """Note that ``recorder`` started (``running``) or stopped recording."""
    if running:
        _recorders.add(id(recorder))
    else:
        _recorders.discard(id(recorder))


@contextlib.contextmanager
def saving() -> Iterator[None]:
    """A recorder's own save runs inside: its stores wait for the database."""
    depth = getattr(_saves, "depth", 0)
    _saves.depth = depth + 1
    try:
        yield
    finally:
        _saves.depth = depth


def in_background() -> bool:
    """Whether a store made now is made while the program records, outside a save."""
    return bool(_recorders) and not getattr(_saves, "depth", 0)


def set_queue_limit(nbytes: int) -> None:
    """How many bytes of documents may wait for the writer (at least one document always can)."""
    with _state.cond:
        _state.limit = max(int(nbytes), 1)
        _state.cond.notify_all()


def pending() -> tuple[int, int]:
    """The documents waiting or being stored, and their bytes."""
    with _state.cond:
        return len(_state.queue), _state.queued_bytes


def store(job: Job, wait: bool = True) -> Path | None:
    """Store ``job``'s document after every one handed over before it.

    With ``wait``, returns once it is stored (or kept aside: the side file)
    and raises what the store raised.  Without, returns ``None`` at once, or
    the side file when the document had to be kept aside without waiting.
    """
    state = _state
    job.waited_for = wait
    if threading.current_thread() is state.thread:
        return _execute(job, job.timeout)  # a store made by a store: in order already
    with state.cond:
        inline = wait and not state.queue and state.current is None
        if not inline:
            if wait or _room_for(len(job.data)):
                _enqueue(job)
            else:
                _kept_now(job)
                return job.result
    if inline:
        return _execute(job, job.timeout)
    if not wait:
        return None
    job.done.wait()
    if job.error is not None:
        raise job.error
    return job.result


def drain(timeout: float | None = None) -> bool:
    """Wait until every document handed over is stored or kept aside; False on a timeout."""
    deadline = None if timeout is None else time.monotonic() + timeout
    with _state.cond:
        while _state.queue or _state.current is not None:
            remaining = None if deadline is None else deadline - time.monotonic()
            if remaining is not None and remaining <= 0:
                return False
            _state.cond.wait(remaining)
    return True


def _held_up() -> bool:
    """Whether the store under way waits for a database (its lock) rather than writes."""
    state = _state
    current = state.current
    if current is None:
        return False
    if current.db_path in state.refused:
        return True
    running = time.monotonic() - state.busy_since
    return running > max(_HELD_UP_AFTER, len(current.data) / _SLOW_RATE)


def _room_for(size: int) -> bool:
    """Whether a document of ``size`` bytes may join the queue, waiting for room while
    the writer makes progress (``cond`` held)."""
    state = _state
    while state.queue and state.queued_bytes + size > state.limit:
        if _held_up():
            return False
        state.cond.wait(0.05)
    return True


def _enqueue(job: Job) -> None:
    """Queue a job and make sure the thread runs (``cond`` held)."""
    state = _state
    state.queue.append(job)
    state.queued_bytes += len(job.data)
    if state.thread is None or not state.thread.is_alive():
        thread = threading.Thread(target=_run, name="vask-writer", daemon=True)
        try:
            thread.start()
        except RuntimeError:
            # No new threads at interpreter shutdown: the job is stored here.
            state.queue.pop()
            state.queued_bytes -= len(job.data)
            state.cond.release()
            try:
                _execute(job, job.timeout)
            finally:
                state.cond.acquire()
            return
        state.thread = thread
    state.cond.notify_all()


def _kept_now(job: Job) -> None:
    """Keep a document aside at once: the queue is full and the writer held up (``cond`` held)."""
    from vask import db

    state = _state
    state.cond.release()
    try:
        try:
            job.result = db.keep_aside(
                job.trace_id,
                job.data,
                job.db_path,
                "the database is busy and the writer's queue full",
            )
        except BaseException as error:  # noqa: BLE001 - reported; the program goes on
            job.error = error
            _logger.error("trace %s is lost: %s", job.trace_id, error)
    finally:
        job.done.set()
        state.cond.acquire()


def _execute(job: Job, timeout: float, conns: _Connections | None = None) -> Path | None:
    """Store one job now, on this thread; records its result and error."""
    from vask import db

    state = _state
    refused = job.db_path in state.refused
    conn = None
    try:
        if conns is not None:
            conn = conns.get(job.db_path, timeout)
        job.result = db.store_document(job, 0 if refused else timeout, conn)
    except BaseException as error:
        job.error = error
        raise
    else:
        if job.result is None:
            state.refused.discard(job.db_path)
        else:
            state.refused.add(job.db_path)
            if conns is not None:
                conns.drop(job.db_path)  # opened again for the next store
        return job.result
    finally:
        job.done.set()


class _Connections:
    """The writer's connections, kept open while documents keep coming.

    Opening a connection checks the database's location and schema, and
    closing the last one to a database checkpoints it: per store that would
    cost more than the store.  Commits do not wait for the disk to confirm
    them (``synchronous = NORMAL``, which write-ahead logging keeps safe
    from corruption): a crash of the system, not of the program, may lose
    the last traces written.
    """

    def __init__(self) -> None:
        self._open: dict[Path, Any] = {}

    def get(self, db_path: Path, timeout: float) -> Any:
        from vask import db

        conn = self._open.get(db_path)
        if conn is None:
            try:
                conn = db.connect(db_path, timeout)
                conn.execute("PRAGMA synchronous = NORMAL")
            except (OSError, sqlite3.Error):
                return None  # the store opens its own, and reports what fails
            self._open[db_path] = conn
        return conn

    def drop(self, db_path: Path) -> None:
        conn = self._open.pop(db_path, None)
        if conn is not None:
            conn.close()

    def close(self) -> None:
        for db_path in list(self._open):
            self.drop(db_path)


# How long the writer keeps its connections open without documents to store.
_IDLE_CLOSE = 2.0

# How long a fork waits for the writer to finish what is queued.
FORK_WAIT = 10.0


def _run() -> None:
    # Threads started while the profile engine traces carry its hook; the
    # writer's own work is never recorded.
    sys.setprofile(None)
    state = _state
    conns = _Connections()
    while True:
        with state.cond:
            while not state.queue:
                if state.closing:
                    conns.close()
                    state.closed.set()
                if state.retiring:
                    conns.close()
                    state.thread = None
                    return
                if not state.cond.wait(_IDLE_CLOSE) and not state.queue:
                    conns.close()
            job = state.queue[0]
            state.current = job
            state.busy_since = time.monotonic()
        try:
            _execute(job, job.timeout, conns)
        except BaseException as error:  # noqa: BLE001 - raised to its caller, if it has one
            conns.drop(job.db_path)
            if not job.waited_for:
                _logger.error(
                    "could not store trace %s in %s: %s", job.trace_id, job.db_path, error
                )
        finally:
            with state.cond:
                state.queue.popleft()
                state.queued_bytes -= len(job.data)
                state.current = None
                state.cond.notify_all()


def _at_exit() -> None:
    drain()
    with _state.cond:
        thread = _state.thread
        if thread is None or not thread.is_alive():
            return
        _state.closing = True
        _state.cond.notify_all()
    _state.closed.wait(5)


def _before_fork() -> None:
    """Before a fork: the thread stores what is queued, closes its connections and ends.

    A child forked while a connection is open finds SQLite's per-process lock
    records copied from the parent and is told "database is locked" when it
    stores its own trace, until its busy timeout runs out.  And a process that
    forks while it has other threads gets a warning from Python (an error
    under ``-W error``).  The thread starts again with the next document.  A
    store that takes longer than ``FORK_WAIT`` is left running.
    """
    state = _state
    with state.cond:
        thread = state.thread
        if thread is None or not thread.is_alive() or thread is threading.current_thread():
            return
        state.retiring = True
        state.cond.notify_all()
    thread.join(FORK_WAIT)
    with state.cond:
        state.retiring = False


def _after_fork_in_child() -> None:
    global _state
    limit = _state.limit
    _state = _State()
    _state.limit = limit


atexit.register(_at_exit)
if hasattr(os, "register_at_fork"):
    os.register_at_fork(before=_before_fork, after_in_child=_after_fork_in_child)
