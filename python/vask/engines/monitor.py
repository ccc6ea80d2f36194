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
program keeps running.  The traced thread builds its document and hands it
to the storage writer (:func:`_save_trace_point_from_rust`), which stores it
in the monitor's database with every other document, many in one
transaction; :meth:`Monitor.stop` waits until every trace point handed over
is stored.  A trace point is an ordinary trace document: its
``root_trace_id`` is the trace that was being recorded when it fired, its name
is the function's name, and its ``meta`` holds the entry ``trace_point``:
``{"co_name": name, "thread": thread key, "frame_id": the call's frame id}``
(see :func:`vask.storage.query.trace_points`).  Its records stay in the main
trace too.  A trace point the database does not take is kept in a side file,
as every trace is.

This module runs while a program is traced; its frames are never recorded.
"""

from __future__ import annotations

import atexit
import contextlib
import dis
import logging
import sys
import threading
import time
import weakref
from pathlib import Path
from typing import Any, NamedTuple

from vask import _forksafe
from vask.engines.recorder import Recorder, new_trace_id
from vask.storage import writer

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
    "make_room_for_hypothesis",
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

# Unlocked again in a forked child: another thread of the parent may have
# held it at the fork (starting or stopping a monitor).
_lock = _forksafe.lock()
_active: Monitor | None = None
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
    make_room_for_hypothesis()


# Hypothesis traces a failing test under tool id 3 too, to explain its failure ("these
# lines were always and only run by failing test cases"). Finding the id taken, it
# leaves that out and warns instead, which fails the test with the warning under
# ``-W error``: the test would not fail that way untraced. So while vask holds the
# id, Hypothesis is pointed at this one (free: Python reserves 0-2 and 5), and
# explains as it would without vask.
_HYPOTHESIS_TRACER = "hypothesis.internal.scrutineer"
_HYPOTHESIS_TOOL_ID = 4


def make_room_for_hypothesis() -> None:
    """Point Hypothesis's tracer at a free tool id while vask holds its usual one: at
    once when it is imported, else as it is (once: see :class:`_HypothesisImport`).
    Called as tracing starts, and before each test of ``pytest --vask``."""
    mon = getattr(sys, "monitoring", None)
    if mon is None or mon.get_tool(TOOL_ID) != TOOL_NAME:
        return
    tracer = sys.modules.get(_HYPOTHESIS_TRACER)
    if tracer is None:
        _HypothesisImport.watch()
    elif (
        getattr(tracer, "MONITORING_TOOL_ID", None) == TOOL_ID
        and mon.get_tool(_HYPOTHESIS_TOOL_ID) is None
    ):
        tracer.MONITORING_TOOL_ID = _HYPOTHESIS_TOOL_ID


class _HypothesisImport:
    """A finder on ``sys.meta_path`` that waits for Hypothesis's tracer to be imported
    (the program imports Hypothesis after tracing starts).  Asked for that module, it
    takes itself off the path and hands on what the other finders find, the module's
    loader set to make room for it once the module has run; it finds nothing else."""

    @classmethod
    def watch(cls) -> None:
        if not any(isinstance(finder, cls) for finder in sys.meta_path):
            sys.meta_path.insert(0, cls())

    @classmethod
    def forget(cls) -> None:
        """Off the path (tracing has stopped)."""
        sys.meta_path[:] = [finder for finder in sys.meta_path if not isinstance(finder, cls)]

    def find_spec(self, name: str, path: Any = None, target: Any = None) -> Any:
        if name != _HYPOTHESIS_TRACER:
            return None
        with contextlib.suppress(ValueError):
            sys.meta_path.remove(self)
        import importlib.util

        try:
            found = importlib.util.find_spec(name)
        except (ImportError, ValueError):
            return None  # the import goes on as it would, and fails as it would
        loader = getattr(found, "loader", None)
        run = getattr(loader, "exec_module", None)
        if run is None:
            return None

        def exec_module(module: Any) -> None:
            try:
                run(module)
            finally:
                with contextlib.suppress(AttributeError):
                    del loader.exec_module  # the loader's own method again
            make_room_for_hypothesis()

        try:
            loader.exec_module = exec_module
        except (AttributeError, TypeError):
            return None
        return found


def deactivate_monitoring(monitor: Any) -> None:
    """Turn the events off, give tool id 3 back and re-enable switched-off locations.

    Does nothing to a tool id that another tool holds.
    """
    mon = _sys_monitoring()
    monitor.set_active(False)
    _HypothesisImport.forget()
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

    @property
    def trace_id(self) -> str:
        """The id of the trace being recorded (a new one for each test's trace)."""
        return self._engine().trace_id

    def __init__(self, **settings: Any) -> None:
        """``settings`` are those of :class:`Recorder`."""
        super().__init__(**settings)
        #: Trace points stored in the database so far (the others are in :attr:`side_files`).
        self.trace_points_stored = 0
        self._points_lock = threading.Lock()

    def _native(self) -> Any:
        return self.rust_monitor

    def start(self) -> None:
        """Build the native engine, claim tool id 3 and turn the events on."""
        super().start()

    def stop(self) -> None:
        """Turn the events off and give the tool id back.

        Returns once every trace point handed over is stored (or kept aside).
        """
        super().stop()

    def _start_engine(self) -> None:
        global _active
        _sys_monitoring()
        from vask._vask import register_monitor

        self._configure_values()
        native = register_monitor(
            str(self.db_path), self.config, self.source, self.one_trace_per_test, self.trace_name
        )
        with _lock:
            activate_monitoring(native)
            _active = self
        self.rust_monitor = native

    def _stop_engine(self) -> None:
        global _active
        with _lock:
            deactivate_monitoring(self.rust_monitor)
            if _active is self:
                _active = None
        if self.rust_monitor.has_trace_points:
            writer.drain()

    def _drop_engine_in_child(self) -> None:
        global _active
        mon = _sys_monitoring()
        # The inherited engine's callbacks go; the engine itself is not called.
        if mon.get_tool(TOOL_ID) == TOOL_NAME:
            _release(mon)
        if _active is self:
            _active = None
        self.rust_monitor = None

    def _trace_point_done(self, side_file: Path | None) -> None:
        """A trace point of this monitor was stored (``None``) or kept in ``side_file``."""
        with self._points_lock:
            if side_file is None:
                self.trace_points_stored += 1
            elif side_file not in self.side_files:
                self.side_files.append(side_file)

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
    point is linked to.  The storage writer stores it in the background while
    a :class:`Monitor` of that database is active; without one (a native
    monitor driven directly) it is stored at once.  ``lightweight_repr`` is
    in ``config`` as well.
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
    point_id = new_trace_id()
    try:
        data = trace_point_document(point, point_id)
    except Exception:  # noqa: BLE001 - one broken trace point is not the run
        _logger.exception("could not build the trace point of %s", point.co_name)
        return
    monitor = _active
    mine = monitor is not None and str(monitor.db_path) == db_path
    try:
        writer.save_trace(
            point_id,
            timeout,
            data,
            db_path,
            wait=not mine,
            what="trace point",
            on_done=monitor._trace_point_done if mine else None,
        )
    except Exception:  # noqa: BLE001 - reported; the program goes on
        _logger.exception("could not store the trace point of %s", point.co_name)


# -- the trace-point document ---------------------------------------------------


def trace_point_document(point: _TracePoint, trace_id: str) -> bytes:
    """The trace document of one trace point, stored under ``trace_id``.

    An ordinary trace document of one thread (its records are spliced in
    unchanged), linked to the trace it fired in by ``root_trace_id``, named
    after the function, with ``meta`` ``trace_point`` saying what it is;
    written by the same native writer as every other document.
    """
    from vask._dump import trace_point_document as write_document

    return write_document(
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
