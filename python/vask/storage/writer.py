"""The front door of storage: every trace document goes through :func:`save_trace`.

The engines' host (``vask.db.save_trace``, the recorders, trace points)
hands documents here; they are stored in the order they come, by
:mod:`vask.storage.store`, with its one failure policy (stored, or kept in a
side file and named on the "vask" logger).

Stores made while a program is traced (a subtree flushed because the trace
grew large, a test's trace at the test's end, a trace point) must never make
the program wait for the database: :func:`save_trace` hands such a document
to the background writer and returns at once.  It tells them from the stores
that wait by the document (a flushed subtree's ``root_trace_id`` names
another trace) and by :func:`in_background`: an engine's store while a
recorder runs, outside the recorder's own save (:func:`recording`,
:func:`saving`); a caller may also say (``wait``).  The writer stores the
documents one after the other, on a daemon thread of its own, in the order
they were handed over; a store that waits comes after every document handed
over before it, so a trace is stored after the subtrees flushed from it.

Memory stays bounded: the documents waiting take at most the queue limit
(:func:`set_queue_limit`).  A document that does not fit waits for room while
the writer makes progress, and is kept in a side file at once (never
waiting) while the writer is held up by a locked database.  After a store
that a database refused, the next ones to it do not wait for its lock
either; the first that succeeds stores the side files kept meanwhile.
Consecutive documents nobody waits for, bound for one database, are stored
in one transaction (trace points come many and small).

The writer shares the GIL with the traced program, and what it costs the
program is counted in the times it lets the GIL go more than in its CPU time:
it lets go at every step of an SQLite statement (each statement, and each row
an ``executemany`` adds or a query reads) and at every zstd or native call,
and while the program runs Python each time costs the writer a wait of up to
the interpreter's switch interval to get the GIL back.  So the stores behind
it say things in few steps: rows many to a statement, answers in one row,
frames in one call (``bench/bench_calls.py --written`` measures a store
beside a busy thread).

While it has no document to store, the writer indexes the traces it stored
(the calls index, :func:`vask.storage.store.index_in_spare_time`), one at a
time, looking at the queue between them; nobody waits for that, and what it
does not reach, the first query indexes.

Whatever is still waiting when the interpreter exits is stored first (an
``atexit`` handler).  A child made by ``fork`` starts with an empty queue:
the documents waiting belong to the parent.

This module runs while a program is traced; its frames are never recorded,
and the writer's thread takes the profile hook off itself.
"""

from __future__ import annotations

import atexit
import contextlib
import itertools
import logging
import os
import sqlite3
import sys
import threading
import time
from collections import deque
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any

from vask import _dump, _forksafe, _process
from vask._threads import HiddenThread
from vask.storage import backend, schema, spool
from vask.storage import store as _store

__all__ = [
    "Job",
    "drain",
    "in_background",
    "pending",
    "recording",
    "save_trace",
    "saving",
    "set_queue_limit",
    "store",
]

_logger = logging.getLogger("vask")

# The records' table of the document an engine hands over (None: no native reader).
_document_table: Callable[[Any], bytes | None] | None = getattr(_dump, "_document_table", None)

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
        "on_done",
        "process",
        "result",
        "table",
        "timeout",
        "trace_id",
        "waited_for",
        "what",
    )

    def __init__(
        self,
        trace_id: str,
        data: bytes,
        head: dict[str, Any],
        db_path: Path,
        timeout: float,
        keep_aside: bool = True,
        what: str = "trace",
        on_done: Callable[[Path | None], None] | None = None,
    ) -> None:
        self.trace_id = trace_id
        self.data = data
        self.head = head
        self.db_path = db_path
        self.timeout = timeout
        self.keep_aside = keep_aside
        #: The facts of the process that recorded it, for the row (see vask._process).
        self.process: dict[str, Any] | None = None
        #: The document's records' table, when an engine wrote it: its calls index is
        #: built with it as it is stored (see vask.storage.callindex.build_written).
        self.table: bytes | None = None
        self.done = threading.Event()
        #: The side file the document was kept in, or ``None`` when stored.
        self.result: Path | None = None
        self.error: BaseException | None = None
        #: Whether a caller waits for it (and gets its error raised).
        self.waited_for = False
        #: What the document is, as messages name it ("trace", "trace point").
        self.what = what
        #: Called with :attr:`result` once stored or kept aside (not after an error).
        self.on_done = on_done


class _State:
    """The writer's queue and thread (all guarded by ``cond``)."""

    def __init__(self) -> None:
        self.cond = threading.Condition(threading.Lock())
        self.queue: deque[Job] = deque()
        self.queued_bytes = 0
        self.limit = DEFAULT_QUEUE_LIMIT
        self.thread: HiddenThread | None = None
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
        # The traces this process stored, in the order stored, that the thread
        # indexes while it has no document to store (see _run).
        self.unindexed: dict[tuple[Path, str], None] = {}
        # Whether the thread indexes one of them now, and how many holds there
        # are on that work (see quiet() and hold_spare_time()): none starts
        # while one is held.
        self.spare_busy = False
        self.spare_held = 0


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


def save_trace(
    trace_id: str,
    timeout: float = 60,
    msgpack_data: bytes | None = None,
    db_path: str | os.PathLike[str] | None = None,
    *,
    wait: bool | None = None,
    keep_aside: bool = True,
    what: str = "trace",
    on_done: Callable[[Path | None], None] | None = None,
) -> Path | None:
    """Store one trace document under ``trace_id`` as a new row; a large one in pieces.

    ``timeout`` is the SQLite busy timeout in seconds.  ``msgpack_data`` must
    be a MessagePack map (a trace document); anything else raises
    ``TypeError``/``ValueError`` before the database is touched.

    A database that does not take the document (locked by a writer for
    longer than ``timeout``, unwritable, full, refused as unsafe) does not
    lose it: it is kept in a side file, a warning on the "vask" logger names
    the file, and the file is returned (``None`` when the document was
    stored).  Once the database takes writes again, the side files kept this
    way are stored from there and removed.  Only when no side file can be
    written either is the store's error raised.  ``keep_aside=False`` raises
    the store's error instead of keeping the document aside.

    A store made while the program records never waits for the database:
    a subtree flushed apart (its ``root_trace_id`` names another trace), and
    any store an engine makes while a recorder of this process runs (a
    test's trace at the test's end), outside a recorder's own ``save()``.
    Such a document is handed to the background writer and ``None`` returned
    at once, unless the writer is stuck on a locked database with a full
    queue: then the document is kept aside at once, never waiting.  Every
    other store waits, and so does one with ``keep_aside=False`` (its error
    is raised); ``wait`` given says which it is instead.  Documents are
    stored in the order they were given, waiting or not, so a store that
    waits comes after every one handed over before it.  ``on_done`` is
    called with the outcome (``None`` or the side file).

    A document for ``os.devnull`` is thrown away: nothing is stored or kept.

    The row names the process that stores the document
    (:func:`vask._process.process_facts`).
    """
    # asked for the object handed over, before it is copied: the engines' core
    # hands the table only with the very document it wrote
    table = _document_table(msgpack_data) if _document_table is not None else None
    data, head = _store.checked_document(trace_id, msgpack_data)
    if db_path is None:
        raise TypeError("save_trace needs both msgpack_data and db_path")
    db_path = backend.locate(db_path)
    if db_path == Path(os.devnull):
        # The null device is where traces go to be thrown away: never a side
        # file beside it (that would be a directory in /dev).
        return None
    if wait is None:
        root = head.get("root_trace_id")
        flushed = isinstance(root, str) and root != head.get("trace_id", trace_id)
        wait = not keep_aside or (not flushed and not in_background())
    job = Job(trace_id, data, head, db_path, float(timeout), keep_aside, what, on_done)
    job.process = _process.process_facts()
    job.table = table
    return store(job, wait=wait)


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
    if _on_writer_thread():
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


def _on_writer_thread() -> bool:
    thread = _state.thread
    return thread is not None and thread.ident == threading.get_ident()


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


# How long quiet() waits for the writer to finish what it is doing, at the most.
QUIET_WAIT = 10.0


@contextlib.contextmanager
def quiet(timeout: float = QUIET_WAIT) -> Iterator[None]:
    """Around a part of the program that must not see the writer at work, such as a test's
    body that counts the process's objects or allocations: what was handed over before it
    is stored first, and spare-time work under way ends (waited for ``timeout`` seconds at
    the most, and not while a store waits for a database's lock), and none starts until it
    ends.  Documents handed over meanwhile are stored as they come: the memory they hold
    is bounded."""
    state = _state
    deadline = time.monotonic() + timeout
    with state.cond:
        state.spare_held += 1
        while (
            (state.queue or state.current is not None or state.spare_busy)
            and not _on_writer_thread()
            and not _held_up()
        ):
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                break
            state.cond.wait(min(remaining, 0.05))  # a store may be found held up meanwhile
    try:
        yield
    finally:
        # A forked child (which has a state of its own) leaves its parent's alone.
        if _state is state:
            with state.cond:
                state.spare_held -= 1
                state.cond.notify_all()


def hold_spare_time(held: bool) -> None:
    """Hold (or let go of a hold on) the writer's spare-time work: while held, it indexes
    nothing when it has nothing to store.  A test session holds it from its first test to
    its end: each test's body would wait for that work (see :func:`quiet`), which then
    took as long as the tests themselves on suites of many short ones; the first query
    indexes what is left."""
    with _state.cond:
        _state.spare_held = max(_state.spare_held + (1 if held else -1), 0)
        _state.cond.notify_all()


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
        # Out of the program's sight: see vask._threads.
        thread = HiddenThread(_run, "vask-writer")
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
    state = _state
    state.cond.release()
    try:
        try:
            job.result = spool.keep_aside(
                job.trace_id,
                job.data,
                job.db_path,
                "the database is busy and the writer's queue full",
                what=job.what,
            )
            _report(job)
        except BaseException as error:  # noqa: BLE001 - reported; the program goes on
            job.error = error
            _logger.error("trace %s is lost: %s", job.trace_id, error)
    finally:
        job.done.set()
        state.cond.acquire()


def _execute(job: Job, timeout: float, conns: _Connections | None = None) -> Path | None:
    """Store one job now, on this thread; records its result and error."""
    state = _state
    refused = job.db_path in state.refused
    conn = None
    try:
        if conns is not None:
            conn = conns.get(job.db_path, timeout)
        job.result = _store.store_document(job, 0 if refused else timeout, conn)
    except BaseException as error:
        job.error = error
        raise
    else:
        _report(job)
        if job.result is None:
            state.refused.discard(job.db_path)
            if conns is not None:
                _stored(job)
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
        conn = self._open.get(db_path)
        if conn is not None and backend.is_postgres(conn) and conn.broken:
            self.drop(db_path)  # the server closed it (restarted): a new one
            conn = None
        if conn is None:
            try:
                conn = schema.connect(db_path, timeout)
                if not backend.is_postgres(conn):
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


# Whether the writer indexes the traces it stored while it has nothing to store.
INDEX_IN_SPARE_TIME = True

# The traces waiting to be indexed in spare time, at the most (past it, the oldest
# are left to the first query).
_UNINDEXED_LIMIT = 100_000


def _stored(job: Job) -> None:
    """Note a trace the writer stored, for it to index in its spare time.  A store made
    on its caller's thread (one waited for, with nothing queued before it) is left to
    the first query: the caller is most often about to exit."""
    if not INDEX_IN_SPARE_TIME:
        return
    with _state.cond:
        unindexed = _state.unindexed
        key = (job.db_path, job.trace_id)
        unindexed.pop(key, None)  # a later document of it: indexed after the others
        unindexed[key] = None
        if len(unindexed) > _UNINDEXED_LIMIT:
            del unindexed[next(iter(unindexed))]
        _state.cond.notify_all()


def _run() -> None:
    # Threads started while the profile engine traces carry its hook; the
    # writer's own work is never recorded.
    sys.setprofile(None)
    state = _state
    conns = _Connections()
    while True:
        spare: tuple[Path, str] | None = None
        with state.cond:
            while not state.queue:
                if state.closing:
                    # The thread ends rather than wait on: a daemon thread still
                    # alive when the interpreter finalises keeps what it holds
                    # (its decompressors, their dictionaries) unfreed.
                    conns.close()
                    state.thread = None
                    state.closed.set()
                    return
                if state.retiring:
                    conns.close()
                    state.thread = None
                    return
                if state.unindexed and not state.closing and not state.spare_held:
                    # Spare time: one trace indexed, then the queue looked at
                    # again. Not a store: drain() and the exit handler do not
                    # wait for it.
                    spare = next(iter(state.unindexed))
                    del state.unindexed[spare]
                    state.spare_busy = True
                    break
                if not state.cond.wait(_IDLE_CLOSE) and not state.queue:
                    conns.close()
            if spare is None:
                batch = _next_batch(state.queue)
                state.current = batch[0]
                state.busy_since = time.monotonic()
        if spare is not None:
            try:
                _index_in_spare_time(*spare, conns)
            finally:
                with state.cond:
                    state.spare_busy = False
                    state.cond.notify_all()
            continue
        try:
            if len(batch) == 1:
                _execute(batch[0], batch[0].timeout, conns)
            else:
                _execute_batch(batch, conns)
        except BaseException as error:  # noqa: BLE001 - raised to its caller, if it has one
            job = batch[0]
            conns.drop(job.db_path)
            if not job.waited_for:
                _logger.error(
                    "could not store %s %s in %s: %s", job.what, job.trace_id, job.db_path, error
                )
        finally:
            with state.cond:
                for job in batch:
                    state.queue.popleft()
                    state.queued_bytes -= len(job.data)
                state.current = None
                state.cond.notify_all()


def _index_in_spare_time(db_path: Path, trace_id: str, conns: _Connections) -> None:
    conn = conns.get(db_path, 0)
    if conn is not None:
        _store.index_in_spare_time(conn, trace_id)


# Documents stored in one transaction at the most.
_BATCH = 4096


def _batchable(job: Job) -> bool:
    """Whether ``job`` may share a transaction: nobody waits for it, and it may be kept aside."""
    return not job.waited_for and job.keep_aside


def _next_batch(queue: deque[Job]) -> list[Job]:
    """The jobs to store next (``cond`` held): the first, and the batchable ones after it
    bound for the same database."""
    first = queue[0]
    batch = [first]
    if not _batchable(first):
        return batch
    for job in itertools.islice(queue, 1, _BATCH):
        if job.db_path != first.db_path or not _batchable(job):
            break
        batch.append(job)
    return batch


def _execute_batch(batch: list[Job], conns: _Connections) -> None:
    """Store several jobs of one database in one transaction, on the writer's thread."""
    state = _state
    db_path = batch[0].db_path
    refused = db_path in state.refused
    timeout = 0 if refused else max(job.timeout for job in batch)
    try:
        results = _store.store_batch(batch, timeout, conns.get(db_path, timeout))
    except BaseException as error:
        for job in batch:
            job.error = error
        raise
    else:
        for job, result in zip(batch, results):
            job.result = result
            _report(job)
            if result is None:
                _stored(job)
        if all(result is None for result in results):
            state.refused.discard(db_path)
        else:
            state.refused.add(db_path)
            conns.drop(db_path)
    finally:
        for job in batch:
            job.done.set()


def _report(job: Job) -> None:
    """Tell the job's owner what became of it; its callback never stops the writer."""
    if job.on_done is None:
        return
    try:
        job.on_done(job.result)
    except Exception:  # noqa: BLE001 - the owner's fault, not the store's
        _logger.exception("vask: reporting the store of %s %s failed", job.what, job.trace_id)


def _at_exit() -> None:
    drain()
    with _state.cond:
        thread = _state.thread
        if thread is None or not thread.is_alive():
            return
        _state.closing = True
        _state.cond.notify_all()
    if _state.closed.wait(5):
        thread.join(1)  # past its last line: its thread-local data released


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
        if thread is None or not thread.is_alive() or _on_writer_thread():
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
_forksafe.at_fork_in_child(_after_fork_in_child)
if hasattr(os, "register_at_fork"):
    os.register_at_fork(before=_before_fork)
