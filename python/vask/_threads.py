"""vask's own background threads, out of the traced program's sight.

A program may count its threads: test suites check that a test leaves none
behind (``threading.enumerate()``, ``threading.active_count()``).  vask's
background threads (the writer, the SIGTERM reader) are started with
:mod:`_thread`, which :mod:`threading` does not list, so the program sees the
threads it made and no others.

Invariant: code of vask's that runs on such a thread does not call
``threading.current_thread()`` (that would list the thread after all, as a
"Dummy" one); it compares ``threading.get_ident()`` with
:attr:`HiddenThread.ident`.  (Logging a record calls it: the writer logs only
when a store fails.)
"""

from __future__ import annotations

import _thread
import threading
from collections.abc import Callable

from vask import _forksafe

__all__ = ["HiddenThread", "alive"]

# Python 3.13 starts threads with a handle to join them by.
_JOINABLE = hasattr(_thread, "start_joinable_thread")

# Every hidden thread started and not known to have ended (for alive()); a
# forked child has none of them.
_started: set[HiddenThread] = set()
_started_lock = _forksafe.lock()
_forksafe.at_fork_in_child(_started.clear)


class HiddenThread:
    """A daemon thread that :mod:`threading` does not list, with what vask uses of a
    :class:`threading.Thread`: :meth:`start`, :meth:`is_alive`, :meth:`join`."""

    def __init__(self, target: Callable[[], object], name: str) -> None:
        self.name = name
        self.ident: int | None = None  # set once it runs
        self._target = target
        self._handle: object | None = None  # its _thread handle, on 3.13
        # Before 3.13: a lock held until the thread's state is gone.
        self._ended: _thread.LockType | None = None
        self._running = threading.Event()

    def start(self) -> None:
        """Start the thread; raises RuntimeError where threading's start would (no new
        threads at interpreter shutdown)."""
        if _JOINABLE:
            self._handle = _thread.start_joinable_thread(self._run, daemon=True)  # type: ignore[attr-defined]
        else:
            _thread.start_new_thread(self._run, ())
        self._running.wait()
        with _started_lock:
            _started.add(self)

    def _run(self) -> None:
        self.ident = _thread.get_ident()
        if not _JOINABLE:
            # Released by the interpreter once this thread's state is gone.
            ended = _thread._set_sentinel()  # type: ignore[attr-defined]
            ended.acquire()
            self._ended = ended
        self._running.set()
        self._target()

    def is_alive(self) -> bool:
        if self.ident is None:
            return False
        if _JOINABLE:
            return not self._handle.is_done()  # type: ignore[union-attr]
        assert self._ended is not None
        return self._ended.locked()

    def join(self, timeout: float | None = None) -> None:
        """Wait until the thread has ended, past its last line (its thread-local data
        released), or ``timeout`` seconds."""
        if self.ident is None:
            return
        if _JOINABLE:
            self._handle.join(timeout)  # type: ignore[union-attr]
        else:
            assert self._ended is not None
            if self._ended.acquire(timeout=-1 if timeout is None else max(timeout, 0)):
                self._ended.release()
        if not self.is_alive():
            with _started_lock:
                _started.discard(self)

    def __repr__(self) -> str:
        state = "alive" if self.is_alive() else "ended"
        return f"<HiddenThread {self.name!r} {self.ident} {state}>"


def alive() -> list[HiddenThread]:
    """vask's hidden threads of this process that run."""
    with _started_lock:
        threads = list(_started)
    running = [t for t in threads if t.is_alive()]
    with _started_lock:
        _started.difference_update(t for t in threads if t not in running)
    return running
