"""The start of a followed Python process: tracing begun from the ``.pth`` start-up hook.

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
    same configuration (:mod:`vask.engines.lifecycle`).
a new interpreter (``subprocess``, ``os.exec*``, multiprocessing's spawn)
    The follower keeps the environment variable :data:`VARIABLE` set to a
    JSON object: the database, the engine, the configuration, the source,
    and its own pid and current trace id.  vask installs ``vask_follow.pth``
    into site-packages; its one line, run by every interpreter at start-up::

        import os; os.environ.get('VASK_FOLLOW') and __import__('vask.engines.follow')
        .engines.follow.start_from_environment()

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

A followed child stores its trace however it ends (exit, ``os._exit``,
SIGTERM, exec): see :mod:`vask.engines.lifecycle`.

This module runs while a program is traced; the tracer leaves its frames out.
"""

from __future__ import annotations

import json
import logging
import os
import sys
from typing import Any

from vask._process import set_parent_process
from vask.engines import lifecycle
from vask.engines.choice import create
from vask.engines.lifecycle import FORMAT, VARIABLE

__all__ = ["VARIABLE", "drop_startup_trace", "start_from_environment"]

_logger = logging.getLogger("vask")

# The recorder started at interpreter start-up from the variable, if any.
_startup: Any = None
_started_from_environment = False
# Settings of a multiprocessing helper process, which passes them on to the
# processes it forks instead of being traced itself.
_relay: dict[str, Any] | None = None


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
    if not isinstance(settings, dict) or settings.get("format") != FORMAT:
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
        with lifecycle.current.lock:
            if lifecycle.current.recorder is not None:
                return
            recorder.start()
            lifecycle.current.recorder = recorder
    except Exception as error:  # noqa: BLE001 - the program runs untraced
        _logger.warning("vask: cannot trace this process (pid %d): %s", os.getpid(), error)
        return
    _startup = recorder
    lifecycle.save_at_exit(recorder)


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
    global _startup
    recorder, _startup = _startup, None
    if recorder is None:
        return
    with lifecycle.current.lock:
        if lifecycle.current.recorder is recorder:
            lifecycle.current.recorder = None
    recorder.stop()
    lifecycle.forget(recorder)


def _after_fork_in_child() -> None:
    global _relay, _startup
    _startup = None
    # A process forked by a multiprocessing helper is traced in its own right
    # (and passes nothing on when it forks in turn).
    settings, _relay = _relay, None
    if settings is None:
        return
    _follow(settings)
    lifecycle.retake_wakeup_fd()


lifecycle.after_fork_in_child(_after_fork_in_child)
