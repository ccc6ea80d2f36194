"""The traced process's lifecycle: fork, exec, SIGTERM and exit.

Every recorder that starts and stops tells this module
(:func:`started`, :func:`stopped`); it needs nothing else of them but their
methods, so it imports no engine.

``os.fork()``
    The child never records into the engine it inherited: each running
    recorder restarts there through its ``_restart_in_child`` (a trace of the
    child's own, linked to the parent's, with ``follow``; none without).
    Hooks registered with :func:`after_fork_in_child` run after that.  The
    child ``subprocess`` forks to run a ``preexec_fn`` before it execs is
    not traced.  While SIGTERM's handler is vask's it is blocked across the
    fork, so that a child sent SIGTERM as it is forked still dies of it.
Following
    A recorder whose configuration has ``follow`` true is the process's
    *follower*: the environment variable :data:`VARIABLE` hands its
    database, engine, configuration and current trace to the Python
    processes the program starts, which the ``.pth`` start-up hook traces
    (:mod:`vask.engines.follow`).
Exit, ``os._exit``, ``os.exec*`` and SIGTERM
    A followed process (:func:`save_at_exit`) stores its trace however it
    ends: at interpreter exit (``sys.exit`` included), at ``os._exit`` (how
    multiprocessing's forked workers end), and on SIGTERM (how a pool's
    ``terminate()`` ends its workers) while the program has no handler of
    its own: the trace is stored, then the process dies of SIGTERM as it
    would have.  A process that execs stores what it recorded first; the
    new program's trace is linked to it.  Nothing is stored for a process
    killed with SIGKILL, nor for one SIGTERM ends before its tracing started.

This module runs while a program is traced; the tracer leaves its frames out.
"""

from __future__ import annotations

import atexit
import contextlib
import functools
import json
import logging
import os
import signal
import sys
import threading
import time
from collections.abc import Callable
from typing import Any

from vask import _dump, _forksafe
from vask._threads import HiddenThread
from vask.storage import backend

__all__ = [
    "FORMAT",
    "VARIABLE",
    "Current",
    "after_fork_in_child",
    "begin_following",
    "current",
    "end_following",
    "forget",
    "inherited",
    "publish",
    "retake_wakeup_fd",
    "save_at_exit",
    "started",
    "stopped",
]

#: The environment variable a follower hands to the processes it starts.
VARIABLE = "VASK_FOLLOW"
#: The version of the variable's JSON form.
FORMAT = 1

_logger = logging.getLogger("vask")

# The recorders started in this process and not stopped: a fork restarts
# each in the child.
_running: set[Any] = set()
# Native engines a forked child inherited. They are never called again (a
# thread the child does not have may have held one of their locks) and never
# freed: their destructors would write to every page of the parent's
# buffered records, copying them into the child for nothing.
_inherited: list[Any] = []


class Current:
    """The process's one enabled recorder, guarded by :attr:`lock`."""

    def __init__(self) -> None:
        self.lock = threading.Lock()
        #: The recorder ``vask.enable`` started, or a followed process's own; or ``None``.
        self.recorder: Any = None


#: The process's enabled recorder (``vask.current_profiler()``).
current = Current()

# Called in a forked child once the recorders have restarted.
_child_hooks: list[Callable[[], None]] = []

# The recorder whose child processes are followed, and the configuration it
# hands to them.
_follower: Any = None
_child_config: dict[str, Any] = {}
# The recorder whose trace this process stores when it ends (a followed child).
_saver: Any = None
# Serialises the final save (at exit, at os._exit, on SIGTERM, before exec).
_finish_lock = threading.Lock()
_atexit_registered = False
# The functions of ``os`` that are wrapped while a process follows or is followed.
_originals: dict[str, Any] = {}


def _database_text(db_path: Any) -> str:
    """The database as a child process is told it: a server's URL whole (its password
    too: the environment is the child's alone), a path as it stands."""
    if isinstance(db_path, backend.DatabaseUrl):
        return db_path.full_text()
    return str(db_path)


# -- recorders -------------------------------------------------------------------


def started(recorder: Any) -> None:
    """``recorder`` started: it restarts in forked children, and follows if it is to."""
    _running.add(recorder)
    if recorder.follows:
        begin_following(recorder)


def stopped(recorder: Any) -> None:
    """``recorder`` stopped."""
    _running.discard(recorder)
    if recorder.follows:
        end_following(recorder)


def inherited(native: Any) -> None:
    """Keep an engine a forked child inherited, never to be called or freed."""
    _inherited.append(native)


def after_fork_in_child(hook: Callable[[], None]) -> None:
    """Run ``hook`` in every forked child, after the recorders restarted there."""
    _child_hooks.append(hook)


# -- the follower's side -----------------------------------------------------


def begin_following(recorder: Any) -> None:
    """Follow the Python processes started from now on into traces linked to ``recorder``'s."""
    global _follower, _child_config
    if _follower is not None and _follower is not recorder and _follower.active:
        _logger.warning(
            "vask: another recorder follows this process's children already; "
            "the processes started while both run are linked to its trace"
        )
        return
    _follower = recorder
    _child_config = _config_for_children(recorder.config)
    publish()
    _wrap_os()


def end_following(recorder: Any) -> None:
    """Processes started from now on are not followed (``recorder`` stopped)."""
    global _follower
    if _follower is not recorder:
        return
    _follower = None
    os.environ.pop(VARIABLE, None)
    if _saver is None:
        _unwrap_os()


def publish() -> None:
    """Hand the follower's current trace to the processes started from now on.

    Called when the follower starts, and again where it moves to a new trace
    (each test of ``pytest --vask``).
    """
    recorder = _follower
    if recorder is None or not recorder.active:
        return
    try:
        trace_id = recorder.trace_id
    except Exception:  # noqa: BLE001 - children are then linked by pid alone
        trace_id = None
    os.environ[VARIABLE] = json.dumps(
        {
            "format": FORMAT,
            "db": _database_text(recorder.db_path),
            "engine": recorder.engine,
            "config": _child_config,
            "source": recorder.source,
            "parent_pid": os.getpid(),
            "parent_trace_id": trace_id,
        },
        separators=(",", ":"),
    )


def _config_for_children(config: dict[str, Any]) -> dict[str, Any]:
    """The configuration a child is traced with: every key whose value JSON can carry."""
    passed: dict[str, Any] = {}
    left_out = []
    for key, value in config.items():
        try:
            json.dumps(value)
        except (TypeError, ValueError):
            left_out.append(key)
            continue
        passed[key] = value
    if left_out:
        _logger.warning(
            "vask: the configuration key(s) %s cannot be handed to child processes "
            "(only JSON values can); the children are traced without them",
            ", ".join(sorted(left_out)),
        )
    return passed


# -- the end of a followed process -------------------------------------------------


def save_at_exit(recorder: Any) -> None:
    """Store ``recorder``'s trace when this (followed) process ends, however it ends."""
    global _saver, _atexit_registered
    _saver = recorder
    if not _atexit_registered:
        atexit.register(_finish)
        _atexit_registered = True
    _wrap_os()
    _take_sigterm()


def _finish() -> None:
    """Stop the process's trace and store what it holds, once.

    After a SIGTERM the process then dies of it, as it would have untraced.
    """
    with _finish_lock:
        recorder = _saver if _saver is not None else _follower
        # A stop that failed leaves what was recorded in the engine: it is
        # stored all the same (a save does not need the recording stopped).
        try:
            if recorder is not None and recorder.active:
                recorder.stop()
        except Exception:  # noqa: BLE001 - the process is ending; say so and store
            _logger.exception(
                "vask: could not stop recording in process %d; storing what was recorded",
                os.getpid(),
            )
        try:
            if recorder is not None and recorder.pending:
                recorder.save()
        except Exception:  # noqa: BLE001 - the process is ending; say so and let it
            _logger.exception("vask: could not store the trace of process %d", os.getpid())
    if _terminated:
        _die_of_sigterm()


# -- SIGTERM ---------------------------------------------------------------------
#
# A Python signal handler runs on the main thread, between two bytecodes: a
# SIGTERM that lands just before the main thread blocks in C (a pool worker
# waiting for its next task on a multiprocessing lock, as Pool.terminate()
# finds it) waits there for good, and so would the pool. So the handler's
# real work starts from the signal wakeup fd instead: Python's C-level
# handler writes the signal number into a pipe, whose reader, a thread of
# its own, stores the trace and then has the process die of SIGTERM.

# Set by SIGTERM: the process ends once its trace is stored.
_terminated = False
# (read end, write end) of the wakeup pipe while this module owns the wakeup fd.
_wakeup: tuple[int, int] | None = None


def _take_sigterm() -> None:
    """Handle SIGTERM, if the program would die of it. Main thread only.

    A forked child of a followed process inherits the handler, not the
    wakeup fd's reader: it takes both again.
    """
    try:
        handler = signal.getsignal(signal.SIGTERM)
        if handler is not signal.SIG_DFL and not _vask_handles_sigterm():
            return  # the program's own (or ignored)
        signal.signal(signal.SIGTERM, _on_sigterm)
    except (ValueError, OSError, AttributeError):
        return  # not the main thread, or no SIGTERM here: the other exits still store it
    _watch_wakeup_fd()


def _watch_wakeup_fd() -> None:
    global _wakeup
    read_end, write_end = os.pipe()
    os.set_blocking(write_end, False)
    try:
        previous = signal.set_wakeup_fd(write_end, warn_on_full_buffer=False)
    except (ValueError, OSError):
        previous = None
    if previous != -1:
        if previous is not None:
            signal.set_wakeup_fd(previous)  # the program's own: the handler alone will do
        os.close(read_end)
        os.close(write_end)
        return
    _wakeup = (read_end, write_end)
    _start_waiter()


# The thread that reads the wakeup fd, and the byte that stops it (no signal
# has the number 0).
_waiter: HiddenThread | None = None
_STOP = b"\0"
# Whether a fork under way has asked the waiter to stop, and how long the
# fork waits for it to.
_paused = False
_PAUSE_WAIT = 1.0


def _start_waiter() -> None:
    global _waiter
    if _wakeup is None:
        return
    # Out of the program's sight, as every thread of vask's (see vask._threads).
    _waiter = HiddenThread(functools.partial(_wait_for_sigterm, _wakeup[0]), "vask-sigterm")
    _waiter.start()


def _wait_for_sigterm(read_end: int) -> None:
    global _terminated
    while True:
        try:
            data = os.read(read_end, 64)
        except OSError:
            return
        if not data:
            return
        # Python's handler wrote it, so SIGTERM was handled by Python when it
        # came: by ours (which may have run already and put SIG_DFL back),
        # unless the program has put its own in place since.
        handler = signal.getsignal(signal.SIGTERM)
        if signal.SIGTERM in data and handler in (_on_sigterm, signal.SIG_DFL):
            break
        if _STOP in data:
            return
    _terminated = True
    _finish()


def _pause_waiter() -> None:
    """Before a fork: no thread of vask's runs, so that Python does not warn of one.

    A signal that comes meanwhile waits in the pipe for the next reader.
    """
    global _paused
    waiter = _waiter
    if _wakeup is None or waiter is None or not waiter.is_alive():
        return
    with contextlib.suppress(OSError):
        os.write(_wakeup[1], _STOP)
        _paused = True
    waiter.join(_PAUSE_WAIT)


def _resume_waiter() -> None:
    """After a fork, in the parent: a waiter reads the wakeup fd again.

    Every stop byte written ends one reader, and every pause is followed by
    one new reader: a waiter that had not stopped yet when the fork went
    ahead ends later on the byte meant for it (or the new one does and it
    reads on), so at least one reader is always left.
    """
    global _paused
    paused, _paused = _paused, False
    if _wakeup is None or _terminated:
        return
    if paused or _waiter is None or not _waiter.is_alive():
        _start_waiter()


def _on_sigterm(signum: int, frame: Any) -> None:
    global _terminated
    # A second SIGTERM kills at once.
    signal.signal(signal.SIGTERM, signal.SIG_DFL)
    _terminated = True
    # The save runs on a thread of its own: the signal may have landed while
    # this thread is inside the engine, holding what the save needs, or
    # inside a _finish() of its own. (The wakeup fd's reader, when it got
    # there first, has it stored already, or is storing it.)
    try:
        HiddenThread(_finish, "vask-sigterm").start()
    except RuntimeError:
        # No new threads at interpreter shutdown, where only this thread
        # runs: a _finish() under way here dies when it is done.
        if _finish_lock.acquire(blocking=False):
            _finish_lock.release()
            _finish()


def _die_of_sigterm() -> None:
    """End the process by SIGTERM's default action, from whichever thread asks."""
    main = threading.main_thread()
    while True:
        if threading.get_ident() == main.ident:
            signal.signal(signal.SIGTERM, signal.SIG_DFL)
            os.kill(os.getpid(), signal.SIGTERM)
        else:
            # Only the main thread can put the default action back: the
            # signal interrupts whatever it waits for and _on_sigterm runs
            # there, after which the next one is the default's to act on.
            try:
                signal.pthread_kill(main.ident, signal.SIGTERM)
            except (ProcessLookupError, TypeError):
                os.kill(os.getpid(), signal.SIGTERM)
        time.sleep(0.05)


def _before_exec() -> None:
    """Store what was recorded: the new program replaces this one (unless exec fails)."""
    with _finish_lock:
        recorder = _saver if _saver is not None else _follower
        if recorder is None or not recorder.active:
            return
        try:
            recorder.save()
        except Exception:  # noqa: BLE001 - exec goes ahead all the same
            _logger.exception("vask: could not store the trace of process %d", os.getpid())


def _exit(status: int, /) -> None:
    try:
        _finish()
    finally:
        _originals["_exit"](status)


def _execv(path: Any, argv: Any, /) -> None:
    _before_exec()
    _originals["execv"](path, argv)


def _execve(path: Any, argv: Any, env: Any, /) -> None:
    _before_exec()
    _originals["execve"](path, argv, env)


# Set on a thread while it forks through os.fork: the wakeup fd's reader
# starts again once os.fork has returned, not in the after-fork hook.
# Python (3.13 on) counts the process's threads after those hooks have run,
# and warns of a fork made with other threads running (an error under
# ``-W error``): the reader must not be one of them.
_forking = threading.local()


def _fork_begins() -> Any:
    _forking.active = True
    return _originals["fork"]


def _fork_ended(pid: Any) -> None:
    _forking.active = False
    if pid != 0:  # the parent, also when the fork failed (None) or its warning raised
        _resume_waiter()


# os.fork's stand-in adds no Python frame of its own: Python's warning of a fork
# with threads running names the program's line that forked (and meets the
# program's warning filters there), as it does untraced.
_fork = functools.partial(_dump._call_between, _fork_begins, _fork_ended)


if hasattr(os, "fork"):
    _WRAPPERS = {"_exit": _exit, "execv": _execv, "execve": _execve, "fork": _fork}
else:
    _WRAPPERS = {"_exit": _exit, "execv": _execv, "execve": _execve}


def _wrap_os() -> None:
    """``os._exit`` and ``os.exec*`` (all of which go through execv or execve) store the
    trace; ``os.fork`` gets the wakeup fd's reader going again only once it has returned."""
    for name, wrapper in _WRAPPERS.items():
        current = getattr(os, name)
        if current is not wrapper:
            _originals[name] = current
            setattr(os, name, wrapper)


def _unwrap_os() -> None:
    for name, wrapper in _WRAPPERS.items():
        if getattr(os, name) is wrapper and name in _originals:
            setattr(os, name, _originals[name])


def forget(recorder: Any) -> None:
    """``recorder``'s trace is no longer this process's to store at its end."""
    global _saver
    if _saver is recorder:
        _saver = None


# -- fork -----------------------------------------------------------------------
#
# A signal that reaches a forked child before CPython's own after-fork code
# has run there is lost: the C-level handler the child inherited notes it
# (and writes its number to the wakeup fd, which is still the parent's pipe),
# then CPython clears the child's notes of pending signals.  Untraced, a
# child of a program without a SIGTERM handler dies of it at once; with
# vask's handler inherited it ran on, and a pool's terminate() sent just
# after the worker was forked left a worker waiting for tasks for good, and
# the pool waiting for it.  So while SIGTERM's handler is vask's, the forking
# thread blocks SIGTERM across the fork: a SIGTERM sent to the child meanwhile
# stays pending in the kernel until the child has reset vask's state, and is
# delivered then (the child dies of it, as it would have untraced).
# Invariant: no SIGTERM a forked child is sent is lost to vask's handler.

# The signal mask each forking thread had before SIGTERM was blocked, by thread.
_held_masks: dict[int, Any] = {}


def _vask_handles_sigterm() -> bool:
    try:
        handler = signal.getsignal(signal.SIGTERM)
    except (ValueError, AttributeError):
        return False
    return handler is _on_sigterm or getattr(handler, "vask_parent_only", False) is True


def _hold_sigterm() -> None:
    """Before a fork: block SIGTERM on the forking thread while the handler is vask's."""
    if not _vask_handles_sigterm():
        return
    try:
        previous = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGTERM})
    except (AttributeError, OSError, ValueError):
        return  # no signal masks here
    _held_masks[threading.get_ident()] = previous


def _release_sigterm() -> None:
    """After a fork, in parent and child: the forking thread's signal mask as it was."""
    previous = _held_masks.pop(threading.get_ident(), None)
    if previous is not None:
        with contextlib.suppress(OSError, ValueError):
            signal.pthread_sigmask(signal.SIG_SETMASK, previous)


def _reset_after_fork() -> None:
    """In a forked child, before anything else of vask runs there: the parent's state goes.

    The parent's follower, saver and lock are not the child's, and the
    wakeup fd the child inherited writes into the parent's pipe.
    """
    global _follower, _saver, _finish_lock, _wakeup, _terminated, _waiter, _paused
    _follower = _saver = _waiter = None
    _terminated = _paused = False
    # Another thread of the parent may have held them at the fork.
    _finish_lock = threading.Lock()
    current.lock = threading.Lock()
    if _wakeup is not None:
        read_end, write_end = _wakeup
        _wakeup = None
        with contextlib.suppress(ValueError, OSError):
            installed = signal.set_wakeup_fd(-1)
            if installed != write_end:
                signal.set_wakeup_fd(installed)  # the program's own since
        for fd in (read_end, write_end):
            with contextlib.suppress(OSError):
                os.close(fd)


def _before_fork() -> None:
    for recorder in list(_running):
        recorder._note_fork()
    _pause_waiter()
    _hold_sigterm()


def _after_fork_in_parent() -> None:
    _release_sigterm()
    if not getattr(_forking, "active", False):
        _resume_waiter()  # a fork not made through os.fork (subprocess's, os.forkpty)


def _after_fork_in_child(parent_pid: int) -> None:
    # The package's locks and state first: the recorders restarted below
    # (and a SIGTERM's save on a thread of its own) use them at once.
    _forksafe.reset_in_child()
    try:
        _reset_after_fork()
    finally:
        # Only now: the wakeup fd is the child's own (none) again. And
        # whatever failed, never a child that SIGTERM cannot end.
        _release_sigterm()
        _held_masks.clear()  # other threads' forks in the parent
    execs = _forked_to_exec()
    running = list(_running)
    _running.clear()
    for recorder in running:
        try:
            recorder._restart_in_child(parent_pid, trace=not execs)
        except Exception:  # noqa: BLE001 - the child runs on untraced
            _logger.exception("vask: could not trace the forked process %d", os.getpid())
    if execs:
        return
    for hook in _child_hooks:
        try:
            hook()
        except Exception:  # noqa: BLE001 - the child runs on untraced
            _logger.exception("vask: could not trace the forked process %d", os.getpid())


def _forked_to_exec() -> bool:
    """Whether this child is ``subprocess``'s, forked to run the program's
    ``preexec_fn`` and then exec (or end).

    It is not traced: it records nothing of the program's own, and the
    program it execs is followed as a child of the parent's trace (the
    environment it inherits names that one).  A trace started here would
    take its place as the link, and never be stored.
    """
    popen = getattr(sys.modules.get("subprocess"), "Popen", None)
    code = getattr(getattr(popen, "_execute_child", None), "__code__", None)
    frame: Any = sys._getframe(1)
    while frame is not None:
        if frame.f_code is code:
            return True
        frame = frame.f_back
    return False


def retake_wakeup_fd() -> None:
    """In a process a multiprocessing fork server forked: take the wakeup fd again.

    The fork server's child turns the wakeup fd (the server's own) off before
    it runs the process; multiprocessing's after-fork callbacks run after
    that, and give it back to the SIGTERM handling.
    """
    from multiprocessing import util as mp_util

    mp_util.register_after_fork(_take_wakeup_fd_again, _take_wakeup_fd_again)


class _Retaker:
    """A weakly referable object for multiprocessing's after-fork registry."""

    def __call__(self, _: object) -> None:
        ours = signal.getsignal(signal.SIGTERM) is _on_sigterm
        if ours and _saver is not None and not _terminated and _wakeup is None:
            _watch_wakeup_fd()


_take_wakeup_fd_again = _Retaker()


def _register_fork_hooks() -> None:
    # The pid is read in the parent, before the fork: the child's link.
    parent = [0]

    def before() -> None:
        parent[0] = os.getpid()
        _before_fork()

    os.register_at_fork(
        before=before,
        after_in_parent=_after_fork_in_parent,
        after_in_child=lambda: _after_fork_in_child(parent[0]),
    )


if hasattr(os, "register_at_fork"):  # not on Windows, which has no fork
    _register_fork_hooks()
