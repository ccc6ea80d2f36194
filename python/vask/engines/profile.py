"""The profile engine's host: :class:`Profiler` drives the native ``VaskProfiler``.

The profile hook (``sys.setprofile``) records per thread: the calling
thread from :meth:`Profiler.start`, and threads started afterwards when the
``threading`` configuration key is true.
"""

from __future__ import annotations

import logging
import sys
import threading
from typing import Any

from vask.engines.recorder import Recorder, new_trace_id

__all__ = ["Profiler"]

_logger = logging.getLogger("vask")


class Profiler(Recorder):
    """Records the calls of the running program into a trace, with the profile hook.

    The native engine is built from this object by ``vask._vask.register_profiler``
    and kept as :attr:`rust_profiler`. :meth:`start` installs it as the profile
    hook of the calling thread (and of threads started afterwards when the
    ``threading`` configuration key is true); :meth:`stop` removes it again;
    :meth:`save` stores what was recorded into the SQLite database at
    :attr:`db_path`.
    """

    engine = "profile"
    #: The native engine, set by ``register_profiler``.
    rust_profiler: Any = None
    _threading_hook: Any = None

    def __init__(self, **settings: Any) -> None:
        """``settings`` are those of :class:`Recorder`."""
        super().__init__(**settings)
        self._trace_id: str = new_trace_id()

    @property
    def trace_id(self) -> str:
        """The id of the trace being recorded (a new one for each test's trace).

        Before :meth:`start` it is the id the engine will start with; setting
        it then chooses that id.
        """
        if self.rust_profiler is not None:
            return self.rust_profiler.trace_id
        return self._trace_id

    @trace_id.setter
    def trace_id(self, value: str) -> None:
        self._trace_id = value

    def _reset_trace_id(self) -> None:
        self._trace_id = new_trace_id()

    def __call__(self, frame: Any, event: str, arg: Any) -> None:
        """Profile-function signature; the native engine does the recording."""
        return

    def _native(self) -> Any:
        return self.rust_profiler

    def start(self) -> None:
        """Build the native engine and install it on this thread (and new threads)."""
        super().start()

    def stop(self) -> None:
        """Stop recording on every thread the engine runs on, and on threads started later.

        Any thread may call it. Hooks the program installed itself are left
        alone; the program is told once, on the "vask" logger, about threads
        where such a hook had stopped the recording early.
        """
        super().stop()

    def _start_engine(self) -> None:
        from vask._vask import register_profiler

        self._configure_values()
        register_profiler(self)
        # Only the hook this engine installed for new threads is ours to remove.
        if self.config.get("threading") is True:
            self._threading_hook = self.rust_profiler.register_threading_profiler

    def _stop_engine(self) -> None:
        # The engine leaves this thread's hook now and the others' at once or
        # at their next event, whichever thread started it. Hooks the program
        # installed itself are left alone; the program is told once, on the
        # "vask" logger, about threads where such a hook had stopped the
        # recording early.
        replaced = self.rust_profiler.stop()
        threading_replaced = False
        if self._threading_hook is not None:
            # threading.getprofile() exists from 3.10 on, like this package.
            hook = threading.getprofile()
            if hook == self._threading_hook:
                threading.setprofile(None)
            elif hook is not None:
                threading_replaced = True
        self._threading_hook = None
        _report_replaced_hooks(replaced, threading_replaced)

    def _drop_engine_in_child(self) -> None:
        # The forking thread is the child's only thread: its hook and the one
        # for new threads are all there is to remove.
        sys.setprofile(None)
        if self._threading_hook is not None and threading.getprofile() == self._threading_hook:
            threading.setprofile(None)
        self._threading_hook = None
        self.rust_profiler = None


def _report_replaced_hooks(idents: list[int], threading_replaced: bool) -> None:
    """One warning about the threads whose recording a hook of the program's own ended."""
    parts = []
    if idents:
        names = {thread.ident: thread.name for thread in threading.enumerate()}
        threads = ", ".join(repr(names.get(ident, f"ident {ident}")) for ident in idents)
        parts.append(
            f"the program installed a profile function of its own (sys.setprofile) on "
            f"{'thread' if len(idents) == 1 else 'threads'} {threads}, so their calls "
            "after that are not in the trace"
        )
    if threading_replaced:
        parts.append(
            "the program replaced vask's hook for new threads (threading.setprofile), so "
            "threads it started after that are not in the trace"
        )
    if parts:
        _logger.warning("tracing stopped early: %s", "; ".join(parts))
