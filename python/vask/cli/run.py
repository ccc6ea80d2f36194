"""``vask run``: run a program under the tracer, as ``python`` would run it, and store its trace.

Everything that runs while the program is traced lives in the package, whose
frames the tracer leaves out of the trace.
"""

from __future__ import annotations

import argparse
import importlib.util
import io
import math
import os
import pkgutil
import runpy
import shlex
import signal
import sqlite3
import sys
import threading
import traceback
import types
import zipfile
from pathlib import Path
from types import TracebackType
from typing import Any

from vask import config as vask_config
from vask import document, render
from vask.cli.common import (
    CliError,
    calls_text,
    db_path_for,
    display,
    plural,
    say,
    start_dir,
    stderr,
)
from vask.storage import caps, query, spool, writer
from vask.storage.schema import failure_reason

__all__ = ["cmd_run"]


#: The options of ``vask run`` that set a ``[tool.vask]`` setting of the same name.
_SETTING_OPTIONS = (
    "include",
    "ignore",
    "omit_return_locals",
    "lightweight_repr",
    "values",
    "threads",
    "follow",
    *vask_config.MEGABYTE_KEYS,
    "trace_points",
    "assignments",
    "fold_after",
    "fold_trace_after",
    "fold_keep_last",
    "complete",
)


def tracing_config(args: argparse.Namespace, settings: vask_config.FileSettings) -> dict[str, Any]:
    """The engine configuration: command-line options over [tool.vask] over defaults."""
    options = {key: getattr(args, key, None) for key in _SETTING_OPTIONS}
    config = settings.overlaid(**options).to_engine_config()
    config["sqlite_busy_timeout"] = math.ceil(args.busy_timeout)
    # A run is one trace: its cap bounds it, and a test session's budget has no part here.
    config.pop("session_budget_mb", None)
    return config


class _TargetMissing(Exception):
    pass


def _check_module(name: str) -> None:
    """Raise _TargetMissing when ``python -m name`` would find nothing to run.

    Importing the parent packages runs their code, so this is called while
    tracing. An import error from inside a package (not about the target's own
    name) is the program's error and propagates.
    """
    try:
        module_spec = importlib.util.find_spec(name)
    except ModuleNotFoundError as error:
        parts = name.split(".")
        prefixes = {".".join(parts[: i + 1]) for i in range(len(parts))}
        if error.name in prefixes:
            raise _TargetMissing(f"No module named {name}") from None
        raise
    except ValueError as error:  # empty or relative names
        raise _TargetMissing(f"cannot run module {name!r}: {error}") from None
    if module_spec is None:
        raise _TargetMissing(f"No module named {name}")
    if module_spec.submodule_search_locations is not None:
        try:
            main_spec = importlib.util.find_spec(f"{name}.__main__")
        except ModuleNotFoundError:
            main_spec = None
        if main_spec is None:
            raise _TargetMissing(
                f"No module named {name}.__main__; '{name}' is a package and cannot be "
                "directly executed"
            )


def _join_threads() -> None:
    """Wait for the program's non-daemon threads, as the interpreter does at exit."""
    me = threading.current_thread()
    while True:
        pending = [
            t for t in threading.enumerate() if t is not me and not t.daemon and t.is_alive()
        ]
        if not pending:
            return
        for thread in pending:
            thread.join()


def _program_traceback(tb: TracebackType | None) -> TracebackType | None:
    """``tb`` without the leading frames of vask and runpy, as python would show it."""
    ours = {os.path.normcase(os.path.abspath(__file__)), os.path.normcase(runpy.__file__ or "")}
    while tb is not None:
        filename = tb.tb_frame.f_code.co_filename
        if os.path.normcase(os.path.abspath(filename)) in ours or filename.startswith(
            ("<frozen runpy", "<frozen importlib")
        ):
            tb = tb.tb_next
            continue
        break
    return tb


def _report_exception(error: BaseException) -> None:
    try:
        if sys.stdout is not None:
            sys.stdout.flush()
    except (OSError, ValueError):
        pass
    # The default hook reads the traceback off the exception, not its argument.
    tb = _program_traceback(error.__traceback__)
    error.__traceback__ = tb
    try:
        sys.excepthook(type(error), error, tb)
    except Exception:  # noqa: BLE001 - a broken hook: fall back to the default output
        traceback.print_exception(type(error), error, tb, file=stderr())


def _exit_status(error: SystemExit) -> int:
    code = error.code
    if code is None:
        return 0
    if isinstance(code, int):  # bool too: python exits 0 for False, 1 for True
        return code & 0xFF if code >= 0 else code % 256
    try:
        stderr().write(f"{code}\n")
    except (OSError, ValueError):
        pass
    return 1


def _run_script(script: str, target: str) -> None:
    """Run a script as ``python target`` does.

    A file runs in a fresh ``__main__`` module whose ``__file__`` is absolute
    (``script``), so the program may change directory and still find the
    files next to it; ``sys.argv[0]`` stays as typed (runpy.run_path would set
    it to the path it is given).  A directory or zip file with a
    ``__main__.py`` is left to runpy.
    """
    if not os.path.isfile(script) or zipfile.is_zipfile(script):
        runpy.run_path(target, run_name="__main__")
        return
    with io.open_code(script) as f:
        code = pkgutil.read_code(f)  # a compiled .pyc
    if code is None:
        with io.open_code(script) as f:
            # dont_inherit: not this file's "from __future__ import annotations"
            code = compile(f.read(), script, "exec", dont_inherit=True)
    main_module = types.ModuleType("__main__")
    main_module.__dict__.update(
        __file__=script, __cached__=None, __loader__=None, __package__=None, __spec__=None
    )
    previous = sys.modules.get("__main__")
    sys.modules["__main__"] = main_module
    try:
        exec(code, main_module.__dict__)  # noqa: S102 - running the program is the point
    finally:
        if previous is not None:
            sys.modules["__main__"] = previous


def _default_trace_name(
    target: str, module: bool, program_args: list[str], config: dict[str, Any]
) -> str:
    """The command, with the values of secret options hidden as the trace hides them."""
    from vask import serialize

    try:
        names = serialize.redaction_from_config(
            config.get("redact", True), config.get("redact_extra")
        )
    except (TypeError, ValueError):
        names = list(serialize.DEFAULT_REDACT_NAMES)  # starting will say what is wrong
    words = (["-m", target] if module else [target]) + serialize.redact_command_line(
        program_args, names
    )
    name = " ".join(words)
    return name if len(name) <= 100 else name[:99] + "…"


def cmd_run(args: argparse.Namespace, settings: vask_config.FileSettings) -> int:
    from vask.engines.choice import create, resolve_engine

    module: str | None = args.module
    target: str | None = args.target
    program_args: list[str] = list(args.program_args)
    if module is not None:
        if target is not None:
            program_args.insert(0, target)
        target = module
    if target is None:
        raise CliError("nothing to run: give a script or -m module (see: vask run --help)", 2)

    script = ""
    if module is None:
        script = os.path.abspath(target)
        if not os.path.exists(script):
            raise CliError(f"can't open file {script!r}: [Errno 2] No such file or directory", 2)
        if os.path.isdir(script) and not os.path.exists(os.path.join(script, "__main__.py")):
            raise CliError(f"can't find '__main__' module in {target!r}", 2)

    db_path = db_path_for(args, settings)
    config = tracing_config(args, settings)
    try:
        engine = resolve_engine(args.engine if args.engine is not None else settings.engine)
    except ValueError as error:
        raise CliError(f"cannot start tracing: {error}", 2) from None
    if engine == "monitor" and config["threading"] is False:
        say(
            "note: the monitoring engine traces every thread, so --no-threads "
            "(threads = false) has no effect; --engine profile traces the main thread only"
        )
    name = (
        args.name
        if args.name is not None
        else _default_trace_name(target, module is not None, program_args, config)
    )
    # Run in a process vask follows (a traced program ran `vask run`): the
    # run's trace, linked to the parent's, replaces the one started for it.
    if "vask.engines.follow" in sys.modules:
        sys.modules["vask.engines.follow"].drop_startup_trace()
    profiler = create(engine, config=config, db_path=db_path, trace_name=name, source="cli")

    # The program's view of the interpreter, as python sets it up.
    sys.argv = [target, *program_args]
    if module is None:
        sys.path[0] = os.path.dirname(os.path.realpath(target))
    else:
        sys.path[0] = os.getcwd()

    status = 0
    failure: BaseException | None = None
    try:
        profiler.start()
    except Exception as error:  # noqa: BLE001 - a bad configuration value, for one
        raise CliError(f"cannot start tracing: {error}", 2) from None
    sigterm = _Sigterm()
    sigterm.take()
    try:
        try:
            if module is not None:
                _check_module(module)
                runpy.run_module(module, run_name="__main__", alter_sys=True)
            else:
                _run_script(script, target)
        except _TargetMissing:
            raise
        except _Terminated:
            pass
        except SystemExit as error:
            status = _exit_status(error)
        except BaseException as error:  # noqa: BLE001 - reported like python does
            failure = error
            _report_exception(error)
            status = 1
        if not sigterm.received:
            try:
                _join_threads()
            except KeyboardInterrupt as error:
                failure = failure or error
    except _Terminated:
        pass  # arrived while vask itself was at work: the run ends all the same
    except _TargetMissing as error:
        sigterm.release()
        profiler.stop()
        raise CliError(str(error), 2) from None
    finally:
        sigterm.hold()
        profiler.stop()

    for stream in (sys.stdout, sys.stderr):
        try:
            if stream is not None:
                stream.flush()
        except (OSError, ValueError):
            pass
    if sigterm.received:
        say("terminated (SIGTERM); storing what was recorded")
    _save_run(profiler, args, db_path)
    sigterm.release()
    if sigterm.received:
        # End the way the program would have: killed by SIGTERM.
        _die_of(signal.SIGTERM)
        return 128 + signal.SIGTERM
    if isinstance(failure, KeyboardInterrupt):
        # End the way python does after Ctrl-C: killed by SIGINT.
        _die_of(signal.SIGINT)
        return 130
    return status


def _die_of(signum: int) -> None:
    signal.signal(signum, signal.SIG_DFL)
    os.kill(os.getpid(), signum)


class _Terminated(BaseException):
    """SIGTERM under ``vask run``: ends the program as Ctrl-C does, so that its trace is kept."""


_RECORDING_FILES = frozenset(
    os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), name)
    for name in ("serialize.py", "plugins.py")
)


def _recording(frame: types.FrameType | None) -> bool:
    """Whether ``frame`` runs inside vask's recording code (a dumper, a plugin)."""
    while frame is not None:
        if frame.f_code.co_filename in _RECORDING_FILES:
            return True
        frame = frame.f_back
    return False


class _Sigterm:
    """SIGTERM under ``vask run``, while the program has no handler of its own.

    Untraced, SIGTERM kills the program and whatever it recorded; a CI job
    that is cancelled, a container that is stopped end that way.  While the
    program runs, SIGTERM raises :class:`_Terminated` in it instead (its
    ``finally`` blocks run, as after Ctrl-C); vask then stores the trace and
    ends the process with SIGTERM, so the status is the one the program would
    have had.  A program that sets its own handler replaces this one.

    The exception is raised where the program's own code runs: vask's value
    dumpers and plugins keep going whatever a value's ``__repr__`` raises, so
    a signal that lands in them is raised at the next call or line outside
    them, through a trace function set for that moment alone.  A forked child
    is killed by SIGTERM as it would be untraced.
    """

    def __init__(self) -> None:
        self.received = False
        self._taken = False
        self._raising = False
        self._pid = os.getpid()
        # The trace function to put back once a pending raise is done with.
        self._restore_trace: list[Any] = []

    def take(self) -> None:
        """Handle SIGTERM from now on, if the program would die of it."""
        try:
            if signal.getsignal(signal.SIGTERM) is not signal.SIG_DFL:
                return  # ignored or handled by whoever started vask
            signal.signal(signal.SIGTERM, self._handle)
        except (ValueError, OSError, AttributeError):
            return  # not the main thread, or no SIGTERM on this platform
        self._taken = self._raising = True
        if hasattr(os, "register_at_fork"):
            os.register_at_fork(after_in_child=self._forget_in_child)

    def hold(self) -> None:
        """The program is done: a SIGTERM from now on is noted, and acted on after the save."""
        self._raising = False
        if self._restore_trace:
            sys.settrace(self._restore_trace.pop())
        if self.received and self._taken:
            # The first one is being acted on; a second one kills at once.
            signal.signal(signal.SIGTERM, signal.SIG_DFL)

    def release(self) -> None:
        """Give SIGTERM its default action back, when it is still ours."""
        if self._taken and signal.getsignal(signal.SIGTERM) == self._handle:
            signal.signal(signal.SIGTERM, signal.SIG_DFL)
        self._taken = False

    def _forget_in_child(self) -> None:
        if signal.getsignal(signal.SIGTERM) == self._handle:
            signal.signal(signal.SIGTERM, signal.SIG_DFL)

    def _handle(self, signum: int, frame: types.FrameType | None) -> None:
        if os.getpid() != self._pid:
            _die_of(signum)  # a child forked without the at-fork hook
            return
        self.received = True
        if not self._raising:
            return
        if _recording(frame):
            self._raise_outside_recording(frame)
            return
        raise _Terminated

    # A forked child drops this handler (_forget_in_child): a followed child
    # may put vask's own in its place (vask.engines.lifecycle), as for the default.
    _handle.vask_parent_only = True  # type: ignore[attr-defined]

    def _raise_outside_recording(self, frame: types.FrameType | None) -> None:
        if self._restore_trace:
            return  # already pending
        previous = sys.gettrace()
        self._restore_trace.append(previous)

        def trace(frame: types.FrameType, event: str, arg: Any) -> Any:
            if not self._restore_trace or not self._raising or _recording(frame):
                return None  # vask's recording code itself runs untraced
            frame.f_trace = None
            sys.settrace(self._restore_trace.pop())
            raise _Terminated

        # New frames get the global trace function; the running frame that
        # the outermost recording code was called for gets it as its line
        # tracer.
        sys.settrace(trace)
        caller = None
        while frame is not None:
            if frame.f_code.co_filename in _RECORDING_FILES:
                caller = frame.f_back
            frame = frame.f_back
        if caller is not None:
            caller.f_trace = trace
            caller.f_trace_lines = True


def _save_run(profiler: Any, args: argparse.Namespace, db_path: Path) -> bool:
    """Store the run's trace and report it; keep it in a side file when the store fails."""
    try:
        data = profiler.build_trace()
    except Exception as error:  # noqa: BLE001 - the program's status is what matters here
        say(f"error: could not build the trace: {error}")
        return False
    facts = document.document_facts(data)
    trace_id = facts["trace_id"] if isinstance(facts["trace_id"], str) else profiler.trace_id
    timeout = args.busy_timeout
    try:
        writer.save_trace(
            trace_id, timeout=timeout, msgpack_data=data, db_path=db_path, keep_aside=False
        )
    except (sqlite3.Error, OSError) as error:
        reason = failure_reason(error, db_path)
        if "locked" in reason:
            reason = f"{reason} (waited {timeout:g} s; see --busy-timeout)"
        say(f"error: could not store trace {trace_id} in {display(db_path)}: {reason}")
        try:
            side = spool.write_side_file(trace_id, data, db_path, start_dir())
        except OSError as side_error:
            say(f"error: could not keep the trace in a file either: {side_error}; it is lost")
            return False
        say(
            f"the trace is kept in {display(side)}; store it later with: "
            f"vask traces import {display(side)}"
        )
        return False
    hint = f"vask traces show {trace_id}"
    if args.db is not None:
        hint += f" --db {shlex.quote(str(args.db))}"
    threads = facts["threads"]
    try:
        totals = query.root_totals(db_path, trace_id, timeout=timeout).get(trace_id)
    except (sqlite3.Error, OSError):
        totals = None  # stored, but not countable now: report the document alone
    size = totals.size if totals is not None else len(data)
    summary = (
        f"{calls_text(facts['calls'], totals)} recorded in {plural(threads, 'thread')}, "
        f"{render.format_bytes(size)}"
    )
    say(f"trace {trace_id} saved in {display(db_path)}")
    say(f"{summary}; see it with: {hint}")
    left_out = [r for r in caps.left_out() if r.root_trace_id == trace_id]
    line = caps.summary(left_out, "trace", "--trace-cap-mb", "--session-budget-mb")
    if line is not None:
        say(line)
    points = getattr(profiler, "trace_points_stored", 0)
    if points:
        say(f"{plural(points, 'trace point')} stored apart; the command above lists them")
    try:
        children = len(query.child_traces(db_path, [trace_id], timeout=timeout)[trace_id])
    except (sqlite3.Error, OSError):
        children = 0  # the run's own trace is stored; its children are listed all the same
    if children:
        processes = f"{children:,} process{'' if children == 1 else 'es'}"
        say(f"the traces of {processes} it started are stored too; vask traces list shows them")
    return True
