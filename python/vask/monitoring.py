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

This module runs while a program is traced; its frames are never recorded.
"""

from __future__ import annotations

import atexit
import sys
import threading
from typing import Any

from vask.profiler import Recorder

__all__ = [
    "EVENTS",
    "TOOL_ID",
    "TOOL_NAME",
    "Monitor",
    "activate_monitoring",
    "active_monitor",
    "deactivate_monitoring",
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

_lock = threading.Lock()
_active: Monitor | None = None


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
    for event_name in EVENTS:
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

    def _native(self) -> Any:
        return self.rust_monitor

    def start(self) -> None:
        """Build the native engine, claim tool id 3 and turn the events on."""
        super().start()

    def stop(self) -> None:
        """Turn the events off and give the tool id back."""
        super().stop()

    def _start_engine(self) -> None:
        global _active
        _sys_monitoring()
        from vask import _vask

        self._configure_values()
        native = _vask.register_monitor(
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

    def _drop_engine_in_child(self) -> None:
        global _active, _lock
        # Another thread of the parent may have held the lock at the fork.
        _lock = threading.Lock()
        mon = _sys_monitoring()
        # The inherited engine's callbacks go; the engine itself is not called.
        if mon.get_tool(TOOL_ID) == TOOL_NAME:
            _release(mon)
        if _active is self:
            _active = None
        self.rust_monitor = None

    def set_suspended(self, value: bool) -> None:
        """Whether the calling thread's own calls are left out while the monitor runs."""
        self._engine().set_suspend_hooks(value)
