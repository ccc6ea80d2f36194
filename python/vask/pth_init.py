"""Following the Python processes a traced program starts.

A recorder whose configuration has ``follow`` true (``vask run``,
``pytest --vask``, ``vask.enable`` and ``vask.enabled`` unless told
otherwise) is the process's *follower*: every Python process the program
starts is traced too, into a trace of its own in the same database, stored
with facts that name the process (its pid, and a multiprocessing child's
name) and link it to the trace and pid of the process that started it
(``parent_trace_id``, ``parent_pid``; see :mod:`vask._process`).

How a child comes to be traced:

``os.fork()`` (multiprocessing's fork start method too)
    The child drops the engine it inherited and starts a new one with the
    same configuration (:class:`vask.profiler.Recorder`).
a new interpreter (``subprocess``, ``os.exec*``, multiprocessing's spawn)
    The follower keeps the environment variable :data:`VARIABLE` set to a
    JSON object: the database, the engine, the configuration, the source,
    and its own pid and current trace id.  vask installs ``vask_follow.pth``
    into site-packages; its one line, run by every interpreter at start-up::

        import os; os.environ.get('VASK_FOLLOW') and __import__('vask.pth_init')
        .pth_init.start_from_environment()

    imports this module only where the variable is set, so a process that
    is neither traced nor followed imports nothing of vask.  An interpreter
    run with ``-S``, or one without vask installed, is not followed.
multiprocessing's forkserver
    The fork server process itself (and the resource tracker) is not traced:
    it passes the variable on, and each process it forks starts its own trace,
    linked to the trace that was current when the server started.
``vask run`` in a followed process
    Its own trace replaces the one started for the process, and carries the
    link to the parent.

A followed child stores its trace when it ends: at interpreter exit
(``sys.exit`` included), at ``os._exit`` (how multiprocessing's forked
workers end), and on SIGTERM (how a pool's ``terminate()`` ends its
workers) while the program has no handler of its own: the trace is stored,
then the process dies of SIGTERM as it would have.  A process that execs
(``os.exec*``) stores what it recorded first; the new program's trace is
linked to it.  Nothing is stored for a process killed with SIGKILL, nor for
one SIGTERM ends before its tracing started.

This module runs while a program is traced; the tracer leaves its frames out.
"""

from __future__ import annotations

import atexit
import contextlib
import json
import logging
import os
import signal
import sys
import threading
import time
from typing import Any

__all__ = [
    "VARIABLE",
    "begin_following",
    "drop_startup_trace",
    "end_following",
    "publish",
    "reset_after_fork",
    "save_at_exit",
    "start_from_environment",
]

#: The environment variable a follower hands to the processes it starts.
VARIABLE = "VASK_FOLLOW"
# The version of the variable's JSON form.
_FORMAT = 1

_logger = logging.getLogger("vask")

# The recorder whose child processes are followed, and the configuration it
# hands to them.
_follower: Any = None
_child_config: dict[str, Any] = {}
# The recorder whose trace this process stores when it ends (a followed child).
_saver: Any = None
# The recorder started at interpreter start-up from the variable, if any.
_startup: Any = None
_started_from_environment = False
# Settings of a multiprocessing helper process, which passes them on to the
# processes it forks instead of being traced itself.
_relay: dict[str, Any] | None = None
# Serialises the final save (at exit, at os._exit, on SIGTERM, before exec).
_finish_lock = threading.Lock()
_atexit_registered = False
# The functions of ``os`` that are wrapped while a process follows or is followed.
_originals: dict[str, Any] = {}


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
            "format": _FORMAT,
            "db": str(recorder.db_path),
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


# -- the followed child's side ------------------------------------------------


def start_from_environment() -> None:
    """Start tracing this process as :data:`VARIABLE` says (the start-up hook).

    Never raises: a variable that cannot be read, or an engine that cannot
    start, is reported on the "vask" logger and the program runs untraced.
    """
    global _started_from_environment, _relay
    if _started_from_environment:
        return  # site may read the same .pth twice (lib and lib64 of a venv)
    _started_from_environment = True
    try:
        settings = _read_variable(os.environ.get(VARIABLE, ""))
    except ValueError as error:
        _logger.warning("vask: %s is not usable (%s); this process is not traced", VARIABLE, error)
        return
    if _multiprocessing_helper():
        _relay = settings
        return
    _follow(settings)


def _read_variable(text: str) -> dict[str, Any]:
    try:
        settings = json.loads(text)
    except ValueError as error:
        raise ValueError(f"not JSON: {error}") from None
    if not isinstance(settings, dict) or settings.get("format") != _FORMAT:
        raise ValueError("written by another version of vask")
    wanted = {"db": str, "engine": str, "config": dict, "source": str, "parent_pid": int}
    for key, kind in wanted.items():
        if not isinstance(settings.get(key), kind) or isinstance(settings.get(key), bool):
            raise ValueError(f"{key!r} is missing or of the wrong type")
    if not isinstance(settings.get("parent_trace_id"), (str, type(None))):
        raise ValueError("'parent_trace_id' is of the wrong type")
    return settings


def _multiprocessing_helper() -> bool:
    """Whether this interpreter is multiprocessing's fork server or resource tracker."""
    argv = list(getattr(sys, "orig_argv", ()))
    try:
        code = argv[argv.index("-c") + 1]
    except (ValueError, IndexError):
        return False
    return code.startswith(
        (
            "from multiprocessing.forkserver import main",
            "from multiprocessing.resource_tracker import main",
        )
    )


def _follow(settings: dict[str, Any]) -> None:
    global _startup
    import vask
    from vask.profiler import create, set_parent_process

    engine = settings["engine"]
    if engine == "monitor" and sys.version_info < (3, 12):
        engine = "profile"  # a child on an older Python than its parent
    try:
        recorder = create(
            engine, config=settings["config"], db_path=settings["db"], source=settings["source"]
        )
        set_parent_process(
            settings["parent_pid"], settings["parent_trace_id"], _command_name(recorder.config)
        )
        with vask._lock:
            if vask._current is not None:
                return
            recorder.start()
            vask._current = recorder
    except Exception as error:  # noqa: BLE001 - the program runs untraced
        _logger.warning("vask: cannot trace this process (pid %d): %s", os.getpid(), error)
        return
    _startup = recorder
    save_at_exit(recorder)


def _command_name(config: dict[str, Any]) -> str:
    """The command this interpreter runs, as the trace lists it, with secret values hidden."""
    from vask import serialize

    words = [str(word) for word in getattr(sys, "orig_argv", sys.argv)[1:]]
    try:
        names = serialize.redaction_from_config(
            config.get("redact", True), config.get("redact_extra")
        )
    except (TypeError, ValueError):
        names = list(serialize.DEFAULT_REDACT_NAMES)
    name = " ".join(serialize.redact_command_line(words, names))
    return name if len(name) <= 100 else name[:99] + "…"


def drop_startup_trace() -> None:
    """``vask run`` in a followed process: its own trace replaces the start-up one.

    What the start-up trace recorded (vask's own start) is dropped; the link
    to the parent stays, and the run's trace carries it.
    """
    global _startup, _saver
    recorder, _startup = _startup, None
    if recorder is None:
        return
    import vask

    with vask._lock:
        if vask._current is recorder:
            vask._current = None
    recorder.stop()
    if _saver is recorder:
        _saver = None


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
        try:
            if recorder is not None and recorder.active:
                recorder.stop()
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
    """Handle SIGTERM, if the program would die of it. Main thread only."""
    try:
        handler = signal.getsignal(signal.SIGTERM)
        if handler is not signal.SIG_DFL and not getattr(handler, "vask_parent_only", False):
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
_waiter: threading.Thread | None = None
_STOP = b"\0"


def _start_waiter() -> None:
    global _waiter
    if _wakeup is None:
        return
    _waiter = threading.Thread(
        target=_wait_for_sigterm, args=(_wakeup[0],), name="vask-sigterm", daemon=True
    )
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
    waiter = _waiter
    if _wakeup is None or waiter is None or not waiter.is_alive():
        return
    with contextlib.suppress(OSError):
        os.write(_wakeup[1], _STOP)
    waiter.join(1.0)


def _resume_waiter() -> None:
    if _wakeup is not None and (_waiter is None or not _waiter.is_alive()) and not _terminated:
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
        threading.Thread(target=_finish, name="vask-sigterm", daemon=True).start()
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
        if threading.current_thread() is main:
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


_WRAPPERS = {"_exit": _exit, "execv": _execv, "execve": _execve}


def _wrap_os() -> None:
    """``os._exit`` and ``os.exec*`` (all of which go through execv or execve) store the trace."""
    for name, wrapper in _WRAPPERS.items():
        current = getattr(os, name)
        if current is not wrapper:
            _originals[name] = current
            setattr(os, name, wrapper)


def _unwrap_os() -> None:
    for name, wrapper in _WRAPPERS.items():
        if getattr(os, name) is wrapper and name in _originals:
            setattr(os, name, _originals[name])


# -- fork -----------------------------------------------------------------------


def reset_after_fork() -> None:
    """In a forked child, before anything else of vask runs there: the parent's state goes.

    The parent's follower, saver and lock are not the child's, and the
    wakeup fd the child inherited writes into the parent's pipe.  Called by
    the at-fork hooks of this module and of :mod:`vask.profiler`, whichever
    runs first; the second call does nothing.
    """
    global _follower, _saver, _startup, _finish_lock, _wakeup, _reset_in, _terminated, _waiter
    if _reset_in == os.getpid():
        return
    _reset_in = os.getpid()
    _follower = _saver = _startup = _waiter = None
    _terminated = False
    # Another thread of the parent may have held it at the fork.
    _finish_lock = threading.Lock()
    if _wakeup is not None:
        read_end, write_end = _wakeup
        _wakeup = None
        with contextlib.suppress(ValueError, OSError):
            current = signal.set_wakeup_fd(-1)
            if current != write_end:
                signal.set_wakeup_fd(current)  # the program's own since
        for fd in (read_end, write_end):
            with contextlib.suppress(OSError):
                os.close(fd)


# The process reset_after_fork() last ran in.
_reset_in = os.getpid()


def _after_fork_in_child() -> None:
    global _relay
    reset_after_fork()
    # A process forked by a multiprocessing helper is traced in its own right
    # (and passes nothing on when it forks in turn).
    settings, _relay = _relay, None
    if settings is None:
        return
    _follow(settings)
    # The fork server's child turns the wakeup fd (the server's own) off
    # before it runs the process; multiprocessing's after-fork callbacks run
    # after that, and give it to the SIGTERM handling.
    from multiprocessing import util as mp_util

    mp_util.register_after_fork(_take_wakeup_fd_again, _take_wakeup_fd_again)


class _Retaker:
    """A weakly referable object for multiprocessing's after-fork registry."""

    def __call__(self, _: object) -> None:
        ours = signal.getsignal(signal.SIGTERM) is _on_sigterm
        if ours and _saver is not None and not _terminated and _wakeup is None:
            _watch_wakeup_fd()


_take_wakeup_fd_again = _Retaker()


if hasattr(os, "register_at_fork"):  # not on Windows, which has no fork
    os.register_at_fork(
        before=_pause_waiter, after_in_parent=_resume_waiter, after_in_child=_after_fork_in_child
    )
