"""The ``vask`` command: trace a program, then list, show, export and manage its traces.

    vask run script.py [args...]          trace a script, as ``python script.py`` runs it
    vask run -m package.module [args...]  trace a module, as ``python -m`` runs it
    vask traces list                      the stored traces, newest first
    vask traces show [ID|latest]          the call tree of a trace
    vask traces export ID -o FILE         Chrome Trace Event JSON (Perfetto UI, speedscope)
    vask traces delete ID...              delete traces
    vask traces prune --keep N            keep only the newest N traces
    vask traces import FILE...            store trace documents kept in files

Settings come from ``[tool.vask]`` of the nearest pyproject.toml (see
:mod:`vask.config`); options on the command line win.
"""

from __future__ import annotations

import argparse
import importlib.util
import io
import json
import math
import os
import pkgutil
import runpy
import signal
import sqlite3
import sys
import tempfile
import threading
import traceback
import types
import zipfile
from collections.abc import Callable
from pathlib import Path
from types import TracebackType
from typing import Any, TextIO

from vask import config as vask_config
from vask import db, utils
from vask.version import __version__

__all__ = ["main"]

DEFAULT_BUSY_TIMEOUT = 60.0

# Options of ``vask run`` that take a value; needed to find where the
# program's own arguments begin.
_RUN_VALUE_OPTIONS = frozenset(
    ("--include", "--ignore", "--flush-subtree-mb", "--name", "--db", "--busy-timeout")
)


class CliError(Exception):
    """An error to report on one line, with the exit status to end with."""

    def __init__(self, message: str, status: int = 1) -> None:
        super().__init__(message)
        self.status = status


def _stderr() -> TextIO:
    # The traced program may have closed or replaced sys.stderr.
    stream = sys.stderr
    if stream is None or getattr(stream, "closed", False):
        stream = sys.__stderr__
    return stream  # type: ignore[return-value]


def _say(message: str) -> None:
    stream = _stderr()
    try:
        stream.write(f"vask: {message}\n")
        stream.flush()
    except (OSError, ValueError):
        pass


def _start_dir() -> Path:
    """The working directory vask was started in.

    Captured once: the traced program may change directory (``os.chdir``),
    and vask's messages and files after the run are about where the user is.
    """
    global _START_DIR
    if _START_DIR is None:
        try:
            _START_DIR = Path.cwd()
        except OSError:  # the directory was removed under us
            _START_DIR = Path(os.environ.get("PWD") or os.sep)
    return _START_DIR


_START_DIR: Path | None = None


def _display(path: Path) -> str:
    """``path`` relative to the starting working directory when it lies below it."""
    try:
        return str(path.relative_to(_start_dir()))
    except ValueError:
        return str(path)


def _plural(n: int, word: str) -> str:
    return f"{n:,} {word}{'' if n == 1 else 's'}"


def _calls_text(calls: int, totals: db.RootTotals | None) -> str:
    """A root's calls with its subtrees', as "257 calls (245 in 16 subtrees stored apart)"."""
    if totals is None or not totals.subtrees:
        return _plural(calls, "call")
    return (
        f"{_plural(totals.calls, 'call')} ({totals.subtree_calls:,} in "
        f"{_plural(totals.subtrees, 'subtree')} stored apart)"
    )


# -- argument parsing ------------------------------------------------------


def _non_negative(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not math.isfinite(value) or value < 0:
        raise argparse.ArgumentTypeError(f"must be a non-negative number: {text!r}")
    return value


def _int_at_least(minimum: int, what: str) -> Callable[[str], int]:
    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
        if value < minimum:
            raise argparse.ArgumentTypeError(f"must be {what}: {text!r}")
        return value

    return parse


_positive_int = _int_at_least(1, "at least 1")
_count = _int_at_least(0, "0 or more")


def _flush_mb(text: str) -> float | bool:
    try:
        return vask_config.parse_flush_subtree_mb(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def _database_options() -> argparse.ArgumentParser:
    parent = argparse.ArgumentParser(add_help=False)
    group = parent.add_argument_group("database")
    group.add_argument(
        "--db",
        metavar="PATH",
        type=Path,
        help="trace database (default: [tool.vask] db, else .vask/db.sqlite3)",
    )
    group.add_argument(
        "--busy-timeout",
        metavar="SECONDS",
        type=_non_negative,
        default=DEFAULT_BUSY_TIMEOUT,
        help="how long to wait for a database locked by another process (default: 60)",
    )
    return parent


def _build_parser() -> argparse.ArgumentParser:
    database = _database_options()
    parser = argparse.ArgumentParser(
        prog="vask",
        description="Trace the calls of a Python program: arguments, locals, return values "
        "and exceptions, stored in SQLite.",
        epilog="Run 'vask COMMAND --help' for the options of a command.",
    )
    parser.add_argument("--version", action="version", version=f"vask {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")

    run = commands.add_parser(
        "run",
        parents=[database],
        help="run a program under the tracer",
        usage="vask run [options] script.py [args...]\n"
        "       vask run [options] -m module [args...]",
        description="Run a Python program as 'python' would and store a trace of its calls. "
        "Everything after the script (or -m module) goes to the program.",
    )
    run.add_argument("-m", dest="module", metavar="MODULE", help="run a module as python -m does")
    tracing = run.add_argument_group("tracing (override [tool.vask])")
    tracing.add_argument(
        "--include",
        action="append",
        metavar="FRAGMENT",
        help="record frames whose file path contains FRAGMENT even where they would be "
        "left out (installed packages ...); repeatable",
    )
    tracing.add_argument(
        "--ignore",
        action="append",
        metavar="FRAGMENT",
        help="leave out frames whose file path contains FRAGMENT; repeatable",
    )
    tracing.add_argument(
        "--omit-return-locals",
        action=argparse.BooleanOptionalAction,
        default=None,
        help="store no local variables with return records (smaller traces)",
    )
    tracing.add_argument(
        "--lightweight-repr",
        action=argparse.BooleanOptionalAction,
        default=None,
        help="store short reprs instead of full values (faster, smaller)",
    )
    tracing.add_argument(
        "--threads",
        action=argparse.BooleanOptionalAction,
        default=None,
        help="also trace threads the program starts (default: on)",
    )
    tracing.add_argument(
        "--flush-subtree-mb",
        metavar="MB",
        type=_flush_mb,
        help="store finished subtrees as traces of their own once a thread buffered this "
        "many MiB ('off' to never)",
    )
    tracing.add_argument("--name", metavar="NAME", help="name of the trace (default: the command)")
    run.add_argument("target", nargs="?", metavar="script.py", help=argparse.SUPPRESS)
    run.add_argument("program_args", nargs=argparse.REMAINDER, help=argparse.SUPPRESS)

    traces = commands.add_parser("traces", help="list, show, export and manage stored traces")
    actions = traces.add_subparsers(dest="action", metavar="ACTION")

    listing = actions.add_parser("list", parents=[database], help="the stored traces, newest first")
    listing.add_argument("--json", action="store_true", help="print a JSON list of objects")

    show = actions.add_parser(
        "show", parents=[database], help="the call tree of a trace, per thread"
    )
    show.add_argument(
        "ids",
        nargs="*",
        metavar="ID",
        help="trace id, a unique prefix of one, or 'latest' (default)",
    )
    show.add_argument("--depth", type=_positive_int, metavar="N", help="show N levels of calls")
    show.add_argument(
        "--grep",
        metavar="TEXT",
        help="show only calls whose line contains TEXT, with their callers",
    )
    show.add_argument(
        "--max-width",
        type=_count,
        default=80,
        metavar="N",
        help="cut each value to N characters (default: 80; 0: never cut)",
    )
    show.add_argument(
        "--color",
        choices=("auto", "always", "never"),
        default="auto",
        help="colour the output (default: auto: on a terminal unless NO_COLOR is set)",
    )

    export = actions.add_parser(
        "export", parents=[database], help="write a trace in another format"
    )
    export.add_argument("id", metavar="ID", help="trace id, a unique prefix of one, or 'latest'")
    export.add_argument(
        "--format",
        choices=("chrome",),
        default="chrome",
        help="chrome: Trace Event JSON for Perfetto UI, chrome://tracing and speedscope",
    )
    export.add_argument(
        "-o",
        "--output",
        metavar="FILE",
        help="file to write ('-': standard output; default: ID.json)",
    )

    delete = actions.add_parser("delete", parents=[database], help="delete traces")
    delete.add_argument("ids", nargs="+", metavar="ID")

    prune = actions.add_parser("prune", parents=[database], help="keep only the newest traces")
    prune.add_argument(
        "--keep", type=_count, required=True, metavar="N", help="how many traces to keep"
    )

    importing = actions.add_parser(
        "import", parents=[database], help="store trace documents kept in files"
    )
    importing.add_argument("files", nargs="+", metavar="FILE", type=Path)
    parser.set_defaults(traces_parser=traces)
    return parser


def _split_run_args(argv: list[str]) -> tuple[list[str], list[str]]:
    """Split the arguments after ``run`` into vask's and the program's.

    The program's part starts at the script (the first argument that is not an
    option) or right after ``-m MODULE``; it is handed over untouched, so a
    program option that looks like one of vask's stays the program's.
    """
    i = 0
    while i < len(argv):
        arg = argv[i]
        if arg == "--":
            return argv[: i + 2], argv[i + 2 :]
        if arg == "-m":
            return argv[: i + 2], argv[i + 2 :]
        if arg.startswith("-m") and not arg.startswith("--"):
            return argv[: i + 1], argv[i + 1 :]
        if arg.startswith("-"):
            if arg in _RUN_VALUE_OPTIONS:
                i += 1
            i += 1
            continue
        return argv[: i + 1], argv[i + 1 :]
    return argv, []


# -- settings --------------------------------------------------------------


def _load_settings() -> vask_config.FileSettings:
    try:
        settings = vask_config.load_settings()
    except vask_config.ConfigError as error:
        raise CliError(str(error), 2) from None
    if settings.unknown_keys:
        names = ", ".join(settings.unknown_keys)
        _say(f"warning: {settings.path}: unknown keys in [tool.vask] ignored: {names}")
    return settings


def _db_path(args: argparse.Namespace, settings: vask_config.FileSettings) -> Path:
    path = args.db if args.db is not None else settings.db
    if path is None:
        from vask.profiler import default_db_path

        path = default_db_path()
    return Path(path).expanduser().absolute()


def _tracing_config(args: argparse.Namespace, settings: vask_config.FileSettings) -> dict[str, Any]:
    """The profiler configuration: command-line options over [tool.vask] over defaults."""

    def pick(name: str) -> Any:
        value = getattr(args, name)
        return value if value is not None else getattr(settings, name)

    threads = pick("threads")
    config: dict[str, Any] = {
        "threading": True if threads is None else threads,
        "sqlite_busy_timeout": math.ceil(args.busy_timeout),
    }
    include, ignore = pick("include"), pick("ignore")
    if include or ignore:
        config["filters"] = {"include_frames": include or [], "ignore_frames": ignore or []}
    for key in ("omit_return_locals", "lightweight_repr", "flush_subtree_mb"):
        value = pick(key)
        if value is not None:
            config[key] = value
    return config


# -- vask run --------------------------------------------------------------


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
        traceback.print_exception(type(error), error, tb, file=_stderr())


def _exit_status(error: SystemExit) -> int:
    code = error.code
    if code is None:
        return 0
    if isinstance(code, int):  # bool too: python exits 0 for False, 1 for True
        return code & 0xFF if code >= 0 else code % 256
    try:
        _stderr().write(f"{code}\n")
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


def _write_side_file(trace_id: str, data: bytes, db_path: Path) -> Path:
    """Keep a trace document that could not be stored; returns the file (mode 0600)."""
    last_error: OSError | None = None
    for directory in (
        db_path.parent / "unsaved",
        _start_dir() / ".vask" / "unsaved",
        Path(tempfile.gettempdir()) / f"vask-unsaved-{os.getuid() if hasattr(os, 'getuid') else 0}",
    ):
        try:
            directory.mkdir(mode=0o700, parents=True, exist_ok=True)
            path = directory / f"{trace_id}.msgpack"
            fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
            with os.fdopen(fd, "wb") as f:
                f.write(data)
            return path
        except OSError as error:
            last_error = error
    assert last_error is not None
    raise last_error


def _default_trace_name(target: str, module: bool, program_args: list[str]) -> str:
    words = (["-m", target] if module else [target]) + program_args
    name = " ".join(words)
    return name if len(name) <= 100 else name[:99] + "…"


def _cmd_run(args: argparse.Namespace, settings: vask_config.FileSettings) -> int:
    from vask.profiler import Profiler

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

    db_path = _db_path(args, settings)
    config = _tracing_config(args, settings)
    name = (
        args.name
        if args.name is not None
        else _default_trace_name(target, module is not None, program_args)
    )
    profiler = Profiler(config=config, db_path=db_path, trace_name=name, source="cli")

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
    try:
        try:
            if module is not None:
                _check_module(module)
                runpy.run_module(module, run_name="__main__", alter_sys=True)
            else:
                _run_script(script, target)
        except _TargetMissing:
            raise
        except SystemExit as error:
            status = _exit_status(error)
        except BaseException as error:  # noqa: BLE001 - reported like python does
            failure = error
            _report_exception(error)
            status = 1
        try:
            _join_threads()
        except KeyboardInterrupt as error:
            failure = failure or error
    except _TargetMissing as error:
        profiler.stop()
        raise CliError(str(error), 2) from None
    finally:
        profiler.stop()

    for stream in (sys.stdout, sys.stderr):
        try:
            if stream is not None:
                stream.flush()
        except (OSError, ValueError):
            pass
    _save_run(profiler, args, db_path)
    if isinstance(failure, KeyboardInterrupt):
        # End the way python does after Ctrl-C: killed by SIGINT.
        signal.signal(signal.SIGINT, signal.SIG_DFL)
        os.kill(os.getpid(), signal.SIGINT)
        return 130
    return status


def _save_run(profiler: Any, args: argparse.Namespace, db_path: Path) -> bool:
    """Store the run's trace and report it; keep it in a side file when the store fails."""
    try:
        data = profiler.build_trace()
    except Exception as error:  # noqa: BLE001 - the program's status is what matters here
        _say(f"error: could not build the trace: {error}")
        return False
    facts = utils.document_facts(data)
    trace_id = facts["trace_id"] if isinstance(facts["trace_id"], str) else profiler.trace_id
    timeout = args.busy_timeout
    try:
        db.save_trace(trace_id, timeout=timeout, msgpack_data=data, db_path=db_path)
    except (sqlite3.Error, OSError) as error:
        reason = str(error).replace(f" (database {db_path})", "")
        if "locked" in reason:
            reason = f"{reason} (waited {timeout:g} s; see --busy-timeout)"
        _say(f"error: could not store trace {trace_id} in {_display(db_path)}: {reason}")
        try:
            side = _write_side_file(trace_id, data, db_path)
        except OSError as side_error:
            _say(f"error: could not keep the trace in a file either: {side_error}; it is lost")
            return False
        _say(
            f"the trace is kept in {_display(side)}; store it later with: "
            f"vask traces import {_display(side)}"
        )
        return False
    hint = f"vask traces show {trace_id}"
    if args.db is not None:
        hint += f" --db {args.db}"
    threads = facts["threads"]
    try:
        totals = db.root_totals(db_path, trace_id, timeout=timeout).get(trace_id)
    except (sqlite3.Error, OSError):
        totals = None  # stored, but not countable now: report the document alone
    size = totals.size if totals is not None else len(data)
    summary = (
        f"{_calls_text(facts['calls'], totals)} recorded in {_plural(threads, 'thread')}, "
        f"{utils.format_bytes(size)}"
    )
    _say(f"trace {trace_id} saved in {_display(db_path)}")
    _say(f"{summary}; see it with: {hint}")
    return True


# -- vask traces -----------------------------------------------------------


def _summaries(db_path: Path, timeout: float) -> list[db.TraceSummary]:
    return db.list_traces(db_path, timeout=timeout)


def _resolve_ids(db_path: Path, given: list[str], timeout: float, roots: bool = False) -> list[str]:
    """Full trace ids for ids, unique prefixes of ids, or 'latest'.

    With ``roots``, the id of a root trace that was never stored itself (only
    subtrees flushed from it are: the run was killed) counts as known too.
    """
    summaries = _summaries(db_path, timeout)
    if not summaries:
        raise CliError(f"no traces in {_display(db_path)}", 1)
    known = [s.trace_id for s in summaries]
    if roots:
        stored = set(known)
        known += list(
            dict.fromkeys(
                s.root_trace_id
                for s in summaries
                if s.root_trace_id is not None and s.root_trace_id not in stored
            )
        )
    resolved = []
    for text in given:
        if text == "latest":
            roots = [s.trace_id for s in summaries if s.root_trace_id in (None, s.trace_id)]
            resolved.append((roots or known)[0])
            continue
        if text in known:
            resolved.append(text)
            continue
        matches = [k for k in known if k.startswith(text)] if len(text) >= 5 else []
        if len(matches) == 1:
            resolved.append(matches[0])
        elif matches:
            raise CliError(f"{text!r} matches {len(matches)} traces: {', '.join(matches[:5])}", 1)
        else:
            raise CliError(
                f"no trace {text} in {_display(db_path)} "
                "(vask traces list shows the stored traces)",
                1,
            )
    return resolved


def _is_root(summary: db.TraceSummary) -> bool:
    return summary.root_trace_id in (None, summary.trace_id)


def _cmd_list(args: argparse.Namespace, db_path: Path) -> int:
    # Cheap checks only (stored sizes, document heads): reading every document
    # of a large database in full takes minutes. show and export check fully.
    timeout = args.busy_timeout
    summaries = _summaries(db_path, timeout)
    found = db.find_damage(db_path, timeout=timeout) if summaries else {}
    damage = {s.trace_id: found.get(s.trace_id, []) for s in summaries}
    totals = db.root_totals(db_path, timeout=timeout) if summaries else {}
    for trace_id, problems in damage.items():
        for number, reason in problems:
            _say(f"warning: trace {trace_id}: document {number} is damaged ({reason})")
    if args.json:
        items = []
        for s in summaries:
            item = {
                "trace_id": s.trace_id,
                "root_trace_id": s.root_trace_id,
                "name": s.trace_name,
                "timestamp": s.timestamp,
                "time": utils.format_time(s.timestamp) if s.timestamp is not None else None,
                "stored_at": s.stored_at,
                "documents": s.documents,
                "size": s.size,
                "calls": s.calls,
                "damaged": [{"document": n, "reason": r} for n, r in damage[s.trace_id]],
            }
            total = totals.get(s.trace_id) if _is_root(s) else None
            if total is not None:
                # the root with every subtree flushed from it
                item["subtrees"] = total.subtrees
                item["total_size"] = total.size
                item["total_calls"] = total.calls
            items.append(item)
        json.dump(items, sys.stdout, indent=2)
        sys.stdout.write("\n")
        return 0
    if not summaries:
        _say(f"no traces in {_display(db_path)}")
        return 0
    rows = [("ID", "TIME", "CALLS", "SIZE", "NAME")]
    for s in summaries:
        name = s.trace_name or "-"
        calls, size = s.calls, s.size
        total = totals.get(s.trace_id) if _is_root(s) else None
        if not _is_root(s):
            name += f" [subtree of {s.root_trace_id}]"
        if s.documents > 1:
            name += f" [{s.documents} documents]"
        if total is not None and total.subtrees:
            # CALLS and SIZE of a root count its subtrees too
            calls, size = total.calls, total.size
            name += (
                f" [{total.subtree_calls:,} calls in "
                f"{_plural(total.subtrees, 'subtree')} stored apart]"
            )
        if damage[s.trace_id]:
            name = f"[DAMAGED] {name}"
        rows.append(
            (
                s.trace_id,
                utils.format_time(s.timestamp if s.timestamp is not None else s.stored_at),
                f"{calls:,}",
                utils.format_bytes(size),
                name,
            )
        )
    widths = [max(len(row[i]) for row in rows) for i in range(4)]
    for row in rows:
        sys.stdout.write(
            f"{row[0]:<{widths[0]}}  {row[1]:<{widths[1]}}  {row[2]:>{widths[2]}}  "
            f"{row[3]:>{widths[3]}}  {row[4]}\n"
        )
    return 0


def _use_color(choice: str) -> bool:
    if choice == "always":
        return True
    if choice == "never":
        return False
    return sys.stdout.isatty() and not os.environ.get("NO_COLOR")


def _cmd_show(args: argparse.Namespace, db_path: Path) -> int:
    ids = _resolve_ids(db_path, args.ids or ["latest"], args.busy_timeout)
    style = utils.Style.colored() if _use_color(args.color) else utils.Style()
    summaries = {s.trace_id: s for s in _summaries(db_path, args.busy_timeout)}
    flushed_calls = {k: s.calls for k, s in summaries.items()}
    totals = db.root_totals(db_path, timeout=args.busy_timeout)
    status = 0
    out = sys.stdout
    for index, trace_id in enumerate(ids):
        if index:
            out.write("\n")
        documents = db.load_trace(db_path, trace_id, timeout=args.busy_timeout)
        trace = utils.merge_documents(trace_id, documents)
        for number, reason in trace.damaged:
            _say(
                f"trace {trace_id}: document {number} of {trace.documents} is damaged "
                f"({reason}); showing the rest"
            )
            status = 1
        if len(trace.damaged) == trace.documents:
            _say(f"error: trace {trace_id} cannot be shown: all its documents are damaged")
            continue
        summary = summaries.get(trace_id)
        facts = [f"started {utils.format_time(trace.timestamp)}"]
        if summary is not None:
            total = totals.get(trace_id) if _is_root(summary) else None
            if total is not None and total.subtrees:
                facts += [_calls_text(summary.calls, total), utils.format_bytes(total.size)]
            else:
                facts += [_plural(summary.calls, "call"), utils.format_bytes(summary.size)]
        facts.append(f"{len(trace.threads)} thread{'s' if len(trace.threads) != 1 else ''}")
        if trace.documents > 1:
            facts.append(f"{trace.documents} documents")
        title = f"{style.header}trace {trace_id}{style.reset}"
        if trace.name:
            title += f"  {trace.name}"
        out.write(f"{title}\n{style.dim}{' · '.join(facts)}{style.reset}\n")
        if trace.command_line_args:
            out.write(f"{style.dim}command: {' '.join(trace.command_line_args)}{style.reset}\n")
        if trace.root_trace_id not in (None, trace_id):
            out.write(
                f"{style.dim}a subtree flushed from trace {trace.root_trace_id}{style.reset}\n"
            )
        for thread in trace.ordered_threads():
            root = utils.build_call_tree(thread.records)
            calls = root.calls_below
            ident = f"native {thread.native_id}" if thread.native_id is not None else thread.key
            lines = utils.render_tree(
                root,
                style=style,
                max_depth=args.depth,
                grep=args.grep,
                width=args.max_width,
                flushed_calls=flushed_calls,
                indent="  ",
            )
            first = next(lines, None)
            if first is None and args.grep is not None:
                continue  # nothing of this thread matches
            out.write(
                f"\n{style.header}thread {thread.name}{style.reset}{style.dim} ({ident}) · "
                f"{calls:,} call{'s' if calls != 1 else ''}{style.reset}\n"
            )
            if first is not None:
                out.write(first + "\n")
            for line in lines:
                out.write(line + "\n")
    return status


def _cmd_export(args: argparse.Namespace, db_path: Path) -> int:
    (trace_id,) = _resolve_ids(db_path, [args.id], args.busy_timeout)
    documents = db.load_trace(db_path, trace_id, timeout=args.busy_timeout)
    size = sum(len(d) for d in documents)
    if size > 50 * 1024 * 1024:
        _say(f"reading trace {trace_id} ({utils.format_bytes(size)}) …")
    trace = utils.merge_documents(trace_id, documents)
    for number, reason in trace.damaged:
        _say(f"trace {trace_id}: document {number} is damaged ({reason}); exporting the rest")
    if len(trace.damaged) == trace.documents:
        raise CliError(f"trace {trace_id} cannot be exported: all its documents are damaged", 1)
    chrome = utils.chrome_trace(trace)
    calls = sum(1 for e in chrome["traceEvents"] if e["ph"] == "X")
    output = args.output or f"{trace_id}.json"
    if output == "-":
        json.dump(chrome, sys.stdout, separators=(",", ":"), ensure_ascii=False)
        sys.stdout.write("\n")
        return 1 if trace.damaged else 0
    path = Path(output)
    tmp = path.with_name(f".{path.name}.tmp{os.getpid()}")
    created = False
    try:
        # Private, like the database: traces hold the program's local variables.
        fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
        created = True
        with open(fd, "w", encoding="utf-8") as f:
            json.dump(chrome, f, separators=(",", ":"), ensure_ascii=False)
        os.replace(tmp, path)
    except OSError as error:
        if created:
            tmp.unlink(missing_ok=True)
        raise CliError(f"cannot write {output}: {error.strerror or error}", 1) from None
    _say(
        f"wrote {calls:,} calls of trace {trace_id} in {len(trace.threads)} threads to "
        f"{output}; open it in Perfetto UI, chrome://tracing or speedscope"
    )
    return 1 if trace.damaged else 0


def _cmd_delete(args: argparse.Namespace, db_path: Path) -> int:
    ids = list(dict.fromkeys(_resolve_ids(db_path, args.ids, args.busy_timeout, roots=True)))
    rows = db.delete_traces(db_path, ids, timeout=args.busy_timeout)
    freed = _compact(args, db_path, rows)
    _say(f"deleted {len(ids)} trace{'s' if len(ids) != 1 else ''} ({rows} documents){freed}")
    return 0


def _compact(args: argparse.Namespace, db_path: Path, rows: int) -> str:
    """Shrink the database file after deleting ``rows`` rows; the text to report it."""
    if not rows:
        return ""
    try:
        freed = db.compact(db_path, timeout=args.busy_timeout)
    except sqlite3.Error as error:
        _say(f"warning: could not shrink {_display(db_path)}: {error}")
        return ""
    return f"; freed {utils.format_bytes(freed)}"


def _cmd_prune(args: argparse.Namespace, db_path: Path) -> int:
    before = len({s.root_trace_id or s.trace_id for s in _summaries(db_path, args.busy_timeout)})
    rows = db.prune(db_path, args.keep, timeout=args.busy_timeout)
    removed = max(before - args.keep, 0)
    _say(
        f"deleted {removed} trace{'s' if removed != 1 else ''} ({rows} documents); "
        f"kept the newest {min(before, args.keep)}{_compact(args, db_path, rows)}"
    )
    return 0


def _cmd_import(args: argparse.Namespace, db_path: Path) -> int:
    status = 0
    for path in args.files:
        try:
            data = path.read_bytes()
        except OSError as error:
            _say(f"error: cannot read {path}: {error.strerror or error}")
            status = 1
            continue
        # Read it the way show does: what imports can be shown.
        try:
            doc = utils.decode_document(data)
        except utils.DamagedDocument as error:
            _say(f"error: cannot import {path}: {error}")
            status = 1
            continue
        trace_id = doc.get("trace_id")
        if not (isinstance(trace_id, str) and trace_id.startswith("trc_")):
            _say(f"error: cannot import {path}: not a trace document (it has no trace id)")
            status = 1
            continue
        facts = utils.document_facts(data)
        stored = db.load_trace(db_path, trace_id, timeout=args.busy_timeout)
        if data in stored:
            _say(f"trace {trace_id} from {path} is already in {_display(db_path)}")
            continue
        db.save_trace(trace_id, timeout=args.busy_timeout, msgpack_data=data, db_path=db_path)
        _say(
            f"imported trace {trace_id} ({facts['calls']:,} calls) from {path} into "
            f"{_display(db_path)}; see it with: vask traces show {trace_id}"
        )
    return status


_TRACE_COMMANDS = {
    "list": _cmd_list,
    "show": _cmd_show,
    "export": _cmd_export,
    "delete": _cmd_delete,
    "prune": _cmd_prune,
    "import": _cmd_import,
}


def _dispatch(argv: list[str]) -> int:
    parser = _build_parser()
    if argv[:1] == ["run"]:
        ours, program = _split_run_args(argv[1:])
        args = parser.parse_args(["run", *ours])
        args.program_args = program
    else:
        args = parser.parse_args(argv)
    if args.command is None:
        parser.print_help(sys.stderr)
        return 2
    settings = _load_settings()
    if args.command == "run":
        return _cmd_run(args, settings)
    if args.action is None:
        args.traces_parser.print_help(sys.stderr)
        return 2
    db_path = _db_path(args, settings)
    try:
        return _TRACE_COMMANDS[args.action](args, db_path)
    except sqlite3.Error as error:
        message = str(error)
        if str(db_path) not in message:
            message = f"{message} (database {_display(db_path)})"
        raise CliError(f"cannot use the trace database: {message}", 1) from None


def main(argv: list[str] | None = None) -> int:
    """Run the ``vask`` command with ``argv`` (default: ``sys.argv[1:]``); returns the status."""
    _start_dir()  # before the traced program can change directory
    try:
        return _dispatch(list(sys.argv[1:] if argv is None else argv))
    except CliError as error:
        _say(f"error: {error}")
        return error.status
    except BrokenPipeError:
        # The reader went away (vask traces show | head); not an error of ours.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 0
    except KeyboardInterrupt:
        _say("interrupted")
        return 130


if __name__ == "__main__":
    sys.exit(main())
