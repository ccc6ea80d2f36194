"""The host side of vask's ``sys.monitoring`` engine (Python 3.12 and later).

The native ``VaskMonitor`` (built by ``vask._vask.register_monitor``) has a
callback for each of the events PY_START, PY_RETURN, PY_UNWIND, PY_RESUME,
PY_YIELD and PY_THROW. :func:`activate_monitoring` claims ``sys.monitoring``
tool id 3 for it and turns the events on; :func:`deactivate_monitoring` turns
them off, gives the tool id back and re-enables the code locations the
monitor switched off (``sys.monitoring.restart_events()``).

``sys.monitoring`` is process-wide: while a monitor is active, every thread
of the process is recorded, including threads started before it, and the
``threading`` configuration key (which makes the profile engine hook new
threads) has nothing to do. Only one tool can hold an id, so only one vask
monitor is active at a time; :func:`active_monitor` tells which.

Assignments.  With the configuration key ``assignments`` (the engine's own
name for it is ``line_events``) the INSTRUCTION event is turned on too, and
each assignment to a variable in recorded code becomes a record of its own
(event "line"), between the records of the calls around it.  The monitor asks
:func:`get_instruction` once per code location about what the instruction
there is; every location that stores nothing is switched off after that.

Trace points.  With ``trace_points`` (a list of function names, or
``{"on_return": [...]}``) every call of a function of one of those names that
returns (not raises) is stored at once as a trace of its own, while the
program keeps running.  The traced thread only hands the call's records to a
background worker (:func:`_save_trace_point_from_rust`), which stores them in
the monitor's database; :meth:`Monitor.stop` waits until every trace point
handed over is stored.  A trace point is an ordinary trace document: its
``root_trace_id`` is the trace that was being recorded when it fired, its name
is the function's name, and its ``meta`` holds the entry ``trace_point``:
``{"co_name": name, "thread": thread key, "frame_id": the call's frame id}``
(see :func:`vask.db.trace_points`).  Its records stay in the main trace too.
A trace point the database does not take is kept in a side file
(:func:`vask.db.write_side_file`), as every trace is.

This module runs while a program is traced; its frames are never recorded.
"""

from __future__ import annotations

import atexit
import contextlib
import dis
import logging
import os
import queue
import sqlite3
import sys
import threading
import time
import weakref
from collections.abc import Iterable
from typing import Any, NamedTuple

from vask import writer
from vask.profiler import Recorder, new_trace_id

__all__ = [
    "EVENTS",
    "INSTRUCTION_CALLBACK",
    "TOOL_ID",
    "TOOL_NAME",
    "Monitor",
    "activate_monitoring",
    "active_monitor",
    "deactivate_monitoring",
    "get_instruction",
]

#: The ``sys.monitoring`` tool id the engine registers under.
TOOL_ID = 3
#: The name the tool id is claimed with (``sys.monitoring.get_tool(3)``).
TOOL_NAME = "vask"
#: ``sys.monitoring`` event name -> the native monitor's callback for it.
EVENTS = {
    "PY_START": "monitor_pystart",
    "PY_RETURN": "monitor_pyreturn",
    "PY_UNWIND": "monitor_pyunwind",
    "PY_RESUME": "monitor_pyresume",
    "PY_YIELD": "monitor_pyyield",
    "PY_THROW": "monitor_pythrow",
}

#: The native monitor's callback of the INSTRUCTION event (with ``line_events``).
INSTRUCTION_CALLBACK = "monitor_instruction"

_lock = threading.Lock()
_active: Monitor | None = None
# The worker that stores the active monitor's trace points, when it has any.
_worker: _TracePointWorker | None = None
_logger = logging.getLogger("vask")


def _sys_monitoring() -> Any:
    monitoring = getattr(sys, "monitoring", None)
    if monitoring is None:
        version = f"{sys.version_info.major}.{sys.version_info.minor}"
        raise RuntimeError(
            "vask's monitoring engine needs sys.monitoring, which Python 3.12 and later have; "
            f"this is Python {version}: use the profile engine"
        )
    return monitoring


def _stop_at_exit() -> None:
    """Turns an active monitor off before the interpreter shuts down.

    Daemon threads still run while atexit handlers do and are stopped later
    wherever they are; with the events off, none of them is inside the
    engine then.
    """
    monitor = _active
    if monitor is not None:
        monitor.stop()


atexit.register(_stop_at_exit)


def active_monitor() -> Monitor | None:
    """The :class:`Monitor` that holds the tool id now, or ``None``."""
    return _active


def activate_monitoring(monitor: Any) -> None:
    """Claim tool id 3 for a native ``VaskMonitor`` and turn its six events on.

    Raises ``RuntimeError`` naming the tool that holds the id when it is
    taken; nothing is changed then.
    """
    mon = _sys_monitoring()
    holder = mon.get_tool(TOOL_ID)
    if holder == TOOL_NAME:
        raise RuntimeError(
            "another vask monitor is already recording this process (vask run, pytest --vask "
            "or vask.enable); only one can run at a time"
        )
    if holder is not None:
        raise RuntimeError(
            f"sys.monitoring tool id {TOOL_ID} is already in use by {holder!r}, and vask's "
            "monitoring engine needs it; stop that tool first, or trace with the profile engine"
        )
    mon.use_tool_id(TOOL_ID, TOOL_NAME)
    try:
        mask = 0
        for event_name, method in EVENTS.items():
            event = getattr(mon.events, event_name)
            mon.register_callback(TOOL_ID, event, getattr(monitor, method))
            mask |= event
        if monitor.line_events:
            event = mon.events.INSTRUCTION
            mon.register_callback(TOOL_ID, event, getattr(monitor, INSTRUCTION_CALLBACK))
            mask |= event
        # Locations switched off under this id before (by an earlier holder)
        # would never report to this monitor.
        mon.restart_events()
        mon.set_events(TOOL_ID, mask)
    except BaseException:
        _release(mon)
        raise
    monitor.set_active(True)


def deactivate_monitoring(monitor: Any) -> None:
    """Turn the events off, give tool id 3 back and re-enable switched-off locations.

    Does nothing to a tool id that another tool holds.
    """
    mon = _sys_monitoring()
    monitor.set_active(False)
    if mon.get_tool(TOOL_ID) != TOOL_NAME:
        return
    _release(mon)


def _release(mon: Any) -> None:
    mon.set_events(TOOL_ID, 0)
    for event_name in (*EVENTS, "INSTRUCTION"):
        mon.register_callback(TOOL_ID, getattr(mon.events, event_name), None)
    mon.free_tool_id(TOOL_ID)
    # The locations the monitor answered with DISABLE report again, to
    # whichever tool comes next.
    mon.restart_events()


class Monitor(Recorder):
    """Records the calls of the running program into a trace, with ``sys.monitoring``.

    The native engine is built by ``vask._vask.register_monitor`` at
    :meth:`start` and kept as :attr:`rust_monitor`. While started it records
    every thread of the process; :meth:`stop` turns it off again and
    :meth:`save` stores what was recorded into the SQLite database at
    :attr:`db_path`.
    """

    engine = "monitor"
    #: The native engine, built at :meth:`start`.
    rust_monitor: Any = None
    _worker: _TracePointWorker | None = None

    @property
    def trace_id(self) -> str:
        """The id of the trace being recorded (a new one for each test's trace)."""
        return self._engine().trace_id

    def _native(self) -> Any:
        return self.rust_monitor

    #: Trace points stored in the database so far (the others are in :attr:`side_files`).
    trace_points_stored: int = 0

    def start(self) -> None:
        """Build the native engine, claim tool id 3 and turn the events on.

        With trace points configured, their worker starts first.
        """
        super().start()

    def stop(self) -> None:
        """Turn the events off and give the tool id back.

        Returns once every trace point handed over is stored (or kept aside).
        """
        super().stop()

    def _start_engine(self) -> None:
        global _active, _worker
        _sys_monitoring()
        from vask import _vask

        self._configure_values()
        native = _vask.register_monitor(
            str(self.db_path), self.config, self.source, self.one_trace_per_test, self.trace_name
        )
        # Started only where a trace point can fire.
        worker = _TracePointWorker(native, self) if native.has_trace_points else None
        with _lock:
            try:
                activate_monitoring(native)
            except BaseException:
                if worker is not None:
                    worker.close()
                raise
            _active = self
            _worker = worker
        self.rust_monitor = native
        self._worker = worker

    def _stop_engine(self) -> None:
        global _active, _worker
        with _lock:
            deactivate_monitoring(self.rust_monitor)
            if _active is self:
                _active = None
            worker, self._worker = self._worker, None
            if _worker is worker:
                _worker = None
        if worker is not None:
            worker.close()

    def _drop_engine_in_child(self) -> None:
        global _active, _lock, _worker
        # Another thread of the parent may have held the lock at the fork.
        _lock = threading.Lock()
        mon = _sys_monitoring()
        # The inherited engine's callbacks go; the engine itself is not called.
        if mon.get_tool(TOOL_ID) == TOOL_NAME:
            _release(mon)
        if _active is self:
            _active = None
        # The worker's thread is not in the child, and what it was handed is
        # the parent's to store.
        if _worker is self._worker:
            _worker = None
        self._worker = None
        self.rust_monitor = None

    def set_suspended(self, value: bool) -> None:
        """Whether the calling thread's own calls are left out while the monitor runs."""
        self._engine().set_suspend_hooks(value)


# -- assignments --------------------------------------------------------------

# Code object -> its instructions by offset, made once per code object (equal
# code objects have the same instructions, and share them).
_instructions: weakref.WeakKeyDictionary[Any, dict[int, dis.Instruction]] = (
    weakref.WeakKeyDictionary()
)


def get_instruction(code: Any, offset: int) -> dis.Instruction | None:
    """The instruction of ``code`` that starts at ``offset``, or ``None``.

    The native monitor asks this about each code location the first time the
    INSTRUCTION event reports it (see the module's documentation).
    """
    try:
        table = _instructions.get(code)
    except TypeError:  # not weakly referable: not a code object
        table = None
    if table is None:
        try:
            table = {instruction.offset: instruction for instruction in dis.get_instructions(code)}
        except (TypeError, ValueError):
            return None
        try:
            _instructions[code] = table
        except TypeError:
            pass
    return table.get(offset)


# -- trace points --------------------------------------------------------------


class _TracePoint(NamedTuple):
    """One completed call of a trace-point target, as its thread handed it over."""

    thread: threading.Thread
    thread_id: str
    records: list[bytes]
    co_name: str
    db_path: str
    source: str
    trace_id: str
    config: dict[str, Any]
    timeout: int
    handed_at: float


def _save_trace_point_from_rust(
    thread_id: str,
    records: list[bytes],
    co_name: str,
    db_path: str,
    source: str,
    lightweight_repr: bool,
    trace_id: str,
    config: dict[str, Any],
    timeout: int,
) -> None:
    """Called by the native monitor on the thread whose target returned: queues the trace point.

    ``records`` are the call's frame records, from its call record to its
    return record; ``trace_id`` is the trace being recorded, which the trace
    point is linked to.  The worker of the active :class:`Monitor` stores it;
    without one (a native monitor driven directly) it is stored at once.
    ``lightweight_repr`` is in ``config`` as well.
    """
    point = _TracePoint(
        threading.current_thread(),
        thread_id,
        records,
        co_name,
        db_path,
        source,
        trace_id,
        config,
        timeout,
        time.time(),
    )
    worker = _worker
    if worker is not None:
        worker.submit(point)
    else:
        _store_trace_points([point])


_STOP: Any = object()
# Trace points stored in one transaction at the most.
_BATCH = 4096


class _TracePointWorker:
    """The daemon thread that stores a monitor's trace points, in batches.

    Its own calls are never recorded: it suspends the monitor on itself
    first.  :meth:`close` returns once everything handed over is stored.
    """

    def __init__(self, native: Any, recorder: Monitor) -> None:
        self._native = native
        self._recorder = recorder
        self._queue: queue.SimpleQueue[Any] = queue.SimpleQueue()
        self._pid = os.getpid()
        # Guards starting the thread again and closing (the thread ends
        # before a fork and starts again with the next trace point).
        self._starting = threading.Lock()
        self._closed = False
        self._thread = self._new_thread()

    def _new_thread(self) -> threading.Thread:
        thread = threading.Thread(target=self._run, name="vask-trace-points", daemon=True)
        thread.start()
        return thread

    def submit(self, point: _TracePoint) -> None:
        if os.getpid() != self._pid:
            # A forked child has no worker thread: it stores its own.
            self._store([point])
            return
        self._queue.put(point)
        if not self._thread.is_alive():
            with self._starting:
                if self._closed or self._thread.is_alive():
                    return
                with contextlib.suppress(RuntimeError):  # at shutdown: close() stores it
                    self._thread = self._new_thread()

    def pause(self) -> None:
        """Before a fork: the thread stores what is queued and ends.

        A thread with a database connection open at a fork leaves the child
        unable to store (see :func:`vask.writer._before_fork`), and Python
        warns a process that forks while it has other threads.  The next
        trace point starts the thread again.
        """
        if os.getpid() != self._pid:
            return
        with self._starting:
            thread = self._thread
            if not thread.is_alive() or thread is threading.current_thread():
                return
            self._queue.put(_STOP)
        thread.join(writer.FORK_WAIT)

    def close(self) -> None:
        """Store what is queued and end the thread."""
        if os.getpid() == self._pid:
            with self._starting:
                self._closed = True
            if self._thread.is_alive():
                self._queue.put(_STOP)
                self._thread.join()
        # Handed over while the thread was ending (a callback in flight on
        # another thread), or in a forked child: stored here.
        while True:
            points = [item for item in self._take(block=False) if item is not _STOP]
            if not points:
                return
            self._store(points)

    def _take(self, block: bool) -> list[Any]:
        items = []
        try:
            if block:
                items.append(self._queue.get())
            while len(items) < _BATCH:
                items.append(self._queue.get_nowait())
        except queue.Empty:
            pass
        return items

    def _run(self) -> None:
        try:
            self._native.set_suspend_hooks(True)
        except Exception:  # noqa: BLE001 - recording this thread is harmless, if wasteful
            _logger.exception("could not keep the trace-point worker out of the trace")
        while True:
            items = self._take(block=True)
            points = [item for item in items if item is not _STOP]
            self._store(points)
            if len(points) < len(items):
                return

    def _store(self, points: list[_TracePoint]) -> None:
        if not points:
            return
        try:
            stored, side_files = _store_trace_points(points)
        except Exception:  # noqa: BLE001 - the worker must outlive whatever goes wrong
            _logger.exception("could not store %d trace point(s)", len(points))
            return
        self._recorder.trace_points_stored += stored
        self._recorder.side_files.extend(side_files)


def _store_trace_points(points: Iterable[_TracePoint]) -> tuple[int, list[Any]]:
    """Store trace points; returns how many the database took and the side files of the rest.

    Never raises: what cannot be stored is kept aside and reported on the
    "vask" logger.
    """
    from vask import db

    by_database: dict[tuple[str, int], list[tuple[str, bytes]]] = {}
    for point in points:
        trace_id = new_trace_id()
        try:
            data = trace_point_document(point, trace_id)
        except Exception:  # noqa: BLE001 - one broken trace point is not the run
            _logger.exception("could not build the trace point of %s", point.co_name)
            continue
        by_database.setdefault((point.db_path, point.timeout), []).append((trace_id, data))
    stored = 0
    side_files = []
    for (db_path, timeout), documents in by_database.items():
        try:
            db.save_traces(documents, timeout=timeout, db_path=db_path)
            stored += len(documents)
            continue
        except (sqlite3.Error, OSError) as error:
            reason = db.failure_reason(error, db_path)
        kept = []
        for trace_id, data in documents:
            try:
                kept.append(db.write_side_file(trace_id, data, db_path))
            except OSError as side_error:
                _logger.error(
                    "could not store trace point %s in %s: %s; nor keep it in a file: %s",
                    trace_id,
                    db_path,
                    reason,
                    side_error,
                )
        side_files += kept
        if kept:
            _logger.warning(
                "could not store %d trace point(s) in %s: %s; they are kept in %s; "
                "store them later with: vask traces import %s",
                len(kept),
                db_path,
                reason,
                kept[0].parent,
                " ".join(str(path) for path in kept[:3]) + (" ..." if len(kept) > 3 else ""),
            )
    return stored, side_files


# -- the trace-point document ---------------------------------------------------


def trace_point_document(point: _TracePoint, trace_id: str) -> bytes:
    """The trace document of one trace point, stored under ``trace_id``.

    An ordinary trace document of one thread (its records are spliced in
    unchanged), linked to the trace it fired in by ``root_trace_id``, named
    after the function, with ``meta`` ``trace_point`` saying what it is;
    written by the same native writer as every other document.
    """
    from vask import _dump

    return _dump.trace_point_document(
        trace_id,
        point.trace_id,
        point.thread_id,
        point.thread,
        point.co_name,
        point.records,
        point.source,
        point.config,
        point.handed_at,
    )


def _before_fork() -> None:
    worker = _worker
    if worker is not None:
        worker.pause()


if hasattr(os, "register_at_fork"):  # not on Windows, which has no fork
    os.register_at_fork(before=_before_fork)
