"""The command line of ``vask``: its commands, options and their checks."""

from __future__ import annotations

import argparse
import functools
import math
from collections.abc import Callable
from pathlib import Path
from typing import Any

from vask import config as vask_config
from vask.cli.common import DEFAULT_BUSY_TIMEOUT
from vask.db import OUTCOMES
from vask.version import __version__

__all__ = ["build_parser", "non_negative", "run_value_options", "split_run_args"]

@functools.cache
def run_value_options() -> frozenset[str]:
    """The options of ``vask run`` that take a value, as its parser defines them: the
    one list that :func:`split_run_args` reads, so that an option added to the parser
    never makes the word after it look like the script."""
    # argparse has no public way to walk a parser's actions
    commands = next(
        action
        for action in build_parser()._actions
        if isinstance(action, argparse._SubParsersAction)
    )
    run = commands.choices["run"]
    return frozenset(
        option
        for action in run._actions
        if action.nargs != 0
        for option in action.option_strings
        if option.startswith("--")
    )


def non_negative(text: str) -> float:
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


def _port(text: str) -> int:
    value = _int_at_least(0, "a port number (0 to 65535)")(text)
    if value > 65535:
        raise argparse.ArgumentTypeError(f"must be a port number (0 to 65535): {text!r}")
    return value


def _megabytes(key: str) -> Callable[[str], float | bool]:
    def parse(text: str) -> float | bool:
        try:
            return vask_config.parse_flush_subtree_mb(text, key)
        except ValueError as error:
            raise argparse.ArgumentTypeError(str(error)) from None

    return parse


_flush_mb = _megabytes("flush_subtree_mb")


def _database(value: str) -> Any:
    """``--db``: a path, or a PostgreSQL URL (its password is better in ~/.pgpass)."""
    from vask.storage import backend

    try:
        return backend.locate(value)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def _database_options() -> argparse.ArgumentParser:
    parent = argparse.ArgumentParser(add_help=False)
    group = parent.add_argument_group("database")
    group.add_argument(
        "--db",
        metavar="PATH|URL",
        type=_database,
        help="trace database: an SQLite file, or postgresql://... (default: $VASK_DB,"
        " else [tool.vask] db, else .vask/db.sqlite3)",
    )
    group.add_argument(
        "--busy-timeout",
        metavar="SECONDS",
        type=non_negative,
        default=DEFAULT_BUSY_TIMEOUT,
        help="how long to wait for a database locked by another process (default: 60)",
    )
    return parent


def build_parser() -> argparse.ArgumentParser:
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
        "--values",
        choices=("safe", "fields", "repr"),
        default=None,
        help="how objects are recorded: safe (default: by their fields, reprs only where "
        "known to be pure), fields (never a repr) or repr (every repr called)",
    )
    tracing.add_argument(
        "--threads",
        action=argparse.BooleanOptionalAction,
        default=None,
        help="also trace threads the program starts (default: on; the monitoring engine "
        "always traces every thread)",
    )
    tracing.add_argument(
        "--follow",
        action=argparse.BooleanOptionalAction,
        default=None,
        help="also trace the Python processes the program starts (os.fork, multiprocessing, "
        "subprocess), each into a trace of its own linked to the run's (default: on)",
    )
    tracing.add_argument(
        "--engine",
        choices=("auto", "monitor", "profile"),
        help="how calls are recorded: monitor (sys.monitoring, Python 3.12+; library code "
        "costs almost nothing) or profile (the profile hook); default: monitor where "
        "Python has it",
    )
    tracing.add_argument(
        "--flush-subtree-mb",
        metavar="MB",
        type=_flush_mb,
        help="store finished subtrees as traces of their own once a thread buffered this "
        "many MiB ('off' to never)",
    )
    tracing.add_argument(
        "--memory-budget-mb",
        metavar="MB",
        type=_megabytes("memory_budget_mb"),
        help="store the largest finished subtrees of any thread as traces of their own once "
        "the buffered records take this many MiB (default: 256; 'off' for no budget)",
    )
    tracing.add_argument(
        "--max-trace-mb",
        metavar="MB",
        type=_megabytes("max_trace_mb"),
        help="record no more calls once the trace holds this many MiB; a 'calls_dropped' "
        "record counts those left out (default: no limit)",
    )
    tracing.add_argument(
        "--trace-cap-mb",
        metavar="MB",
        type=_megabytes("trace_cap_mb"),
        help="store at most this many MiB (compressed) of the trace, its subtrees counted; a "
        "'trace_not_stored' record stands for the rest (default: 64; 'off' for no cap)",
    )
    tracing.add_argument(
        "--trace-point",
        dest="trace_points",
        action="append",
        metavar="FUNCTION",
        help="store every call of functions of this name that returns as a trace of its own, "
        "at once, while the program runs (monitoring engine); repeatable",
    )
    tracing.add_argument(
        "--assignments",
        action=argparse.BooleanOptionalAction,
        default=None,
        help="record each assignment to a variable in recorded code, shown as 'x = 1' under "
        "its call (monitoring engine)",
    )
    tracing.add_argument(
        "--fold-after",
        metavar="N",
        type=vask_config.parse_fold_after,
        default=None,
        help="calls of one function recorded in full under one call before the rest are "
        "folded into one record (default: 20; 'off' folds none)",
    )
    tracing.add_argument(
        "--fold-trace-after",
        metavar="N",
        type=vask_config.parse_fold_trace_after,
        default=None,
        help="calls of one function recorded in full in the whole trace (per thread) before "
        "every later one is folded under its caller (default: 200; 'off' for no limit)",
    )
    tracing.add_argument(
        "--fold-keep-last",
        action="store_true",
        default=None,
        help="keep the last folded call of each function in full (every folded call is then "
        "dumped, which costs time)",
    )
    tracing.add_argument(
        "--complete",
        action="store_true",
        default=None,
        help="record every call, folding none",
    )
    tracing.add_argument("--name", metavar="NAME", help="name of the trace (default: the command)")
    run.add_argument("target", nargs="?", metavar="script.py", help=argparse.SUPPRESS)
    run.add_argument("program_args", nargs=argparse.REMAINDER, help=argparse.SUPPRESS)

    _calls_parser(commands, database)

    traces = commands.add_parser("traces", help="list, show, export and manage stored traces")
    actions = traces.add_subparsers(dest="action", metavar="ACTION")

    listing = actions.add_parser("list", parents=[database], help="the stored traces, newest first")
    listing.add_argument("--json", action="store_true", help="print a JSON list of objects")
    listing.add_argument(
        "--limit", type=_positive_int, metavar="N", help="list the newest N traces (after filters)"
    )
    listing.add_argument(
        "--grep",
        metavar="TEXT",
        help="only traces whose name or id holds TEXT, in any case (a test's node id, ...)",
    )
    listing.add_argument(
        "--outcome",
        choices=OUTCOMES,
        help="only traces of tests with this outcome",
    )

    show = actions.add_parser(
        "show", parents=[database], help="the call tree of a trace, per thread"
    )
    show.add_argument(
        "ids",
        nargs="*",
        metavar="ID",
        help="trace id, a unique prefix of one, or 'latest' (default)",
    )
    show.add_argument(
        "--at",
        metavar="NODE",
        help="show only this call (THREAD/NODE, as vask calls prints it) with its callers above",
    )
    show.add_argument("--depth", type=_positive_int, metavar="N", help="show N levels of calls")
    show.add_argument(
        "--grep",
        metavar="TEXT",
        help="show only calls whose line contains TEXT, with their callers",
    )
    show.add_argument(
        "--locals",
        action="store_true",
        help="show each call's local variables at the call and at the return, under it",
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
    show.add_argument(
        "--by",
        choices=("thread", "task"),
        default="thread",
        help="group the calls by thread (default) or by asyncio task: each task a tree of "
        "its own, its suspended stretches marked",
    )

    export = actions.add_parser(
        "export", parents=[database], help="write a trace in another format"
    )
    export.add_argument("id", metavar="ID", help="trace id, a unique prefix of one, or 'latest'")
    export.add_argument(
        "--format",
        choices=("chrome", "speedscope"),
        default="chrome",
        help="chrome: Trace Event JSON for Perfetto UI, chrome://tracing and speedscope "
        "(with values); speedscope: a flame graph of durations (default: chrome)",
    )
    export.add_argument(
        "-o",
        "--output",
        metavar="FILE",
        help="file to write ('-': standard output; default: ID.json, ID.speedscope.json)",
    )
    export.add_argument(
        "--gzip", action="store_true", help="compress the output with gzip (adds .gz to the name)"
    )
    export.add_argument(
        "--children",
        action=argparse.BooleanOptionalAction,
        default=True,
        help="put the traces of the processes the traced one started (and theirs) into the "
        "same file, each process apart (default: on)",
    )
    export.add_argument(
        "--by",
        choices=("thread", "task"),
        default="thread",
        help="a track (chrome) or profile (speedscope) per thread (default), or also one per "
        "asyncio task, holding the calls of its steps",
    )

    view = actions.add_parser(
        "view",
        parents=[database],
        help="browse a trace in a local web viewer",
        description="Serve a viewer of the trace database on 127.0.0.1 and open it in the "
        "browser: call trees per thread, each call's values, a flame chart and search.",
    )
    view.add_argument(
        "id",
        nargs="?",
        default="latest",
        metavar="ID",
        help="trace to open first (default: latest)",
    )
    view.add_argument(
        "--port",
        type=_port,
        default=0,
        metavar="N",
        help="port on 127.0.0.1 (default: 0, a free one the system chooses)",
    )
    view.add_argument("--no-open", action="store_true", help="do not open the browser")

    diff = actions.add_parser(
        "diff",
        parents=[database],
        help="compare two traces call by call",
        description="Compare trace A (the reference) with trace B: the first divergence "
        "with the calls leading to it, every differing call under its parent, and the "
        "counts of matched, changed, added and removed calls. Addresses, ids, times "
        "and pids are masked. Exits 1 when the traces differ.",
    )
    diff.add_argument(
        "ids", nargs="*", metavar="ID", help="the two traces: ids, unique prefixes, or 'latest'"
    )
    diff.add_argument(
        "--test",
        metavar="NODEID",
        help="compare the test's last failing trace with its last passing one",
    )
    diff.add_argument(
        "--mask",
        action="append",
        default=[],
        metavar="REGEX",
        help="ignore text matching REGEX in values (repeatable)",
    )
    diff.add_argument("--json", action="store_true", help="write the differences as JSON")
    diff.add_argument(
        "--limit",
        type=_positive_int,
        default=50,
        metavar="N",
        help="list at most N differing calls (default: 50; --json lists all)",
    )

    delete = actions.add_parser("delete", parents=[database], help="delete traces")
    delete.add_argument("ids", nargs="+", metavar="ID")

    prune = actions.add_parser("prune", parents=[database], help="keep only the newest traces")
    how_many = prune.add_mutually_exclusive_group(required=True)
    how_many.add_argument("--keep", type=_count, metavar="N", help="how many traces to keep")
    how_many.add_argument(
        "--per-test",
        type=_count,
        metavar="N",
        help="keep the newest N traces of each test (by node id); other traces stay",
    )

    actions.add_parser(
        "reindex",
        parents=[database],
        help="build the calls index (vask calls) again from the stored traces",
    )

    importing = actions.add_parser(
        "import", parents=[database], help="store trace documents kept in files"
    )
    importing.add_argument("files", nargs="+", metavar="FILE", type=Path)
    parser.set_defaults(traces_parser=traces)
    return parser


def _calls_parser(commands: Any, database: argparse.ArgumentParser) -> None:
    calls = commands.add_parser(
        "calls",
        parents=[database],
        help="find calls across every stored trace",
        description="Find calls across every stored trace by name, outcome, test, duration "
        "and values. Each match names its trace and a command that opens it in place.",
    )
    calls.add_argument(
        "pattern",
        metavar="PATTERN",
        help="qualified name, '*' for any text; it also matches the last parts "
        "of a name (Inventory.reserve finds shop.Inventory.reserve)",
    )
    calls.add_argument(
        "--raised",
        nargs="?",
        const=True,
        default=False,
        metavar="TYPE",
        help="only calls that raised (an exception of TYPE)",
    )
    calls.add_argument("--returned", action="store_true", help="only calls that returned")
    calls.add_argument(
        "--slowest", type=_positive_int, metavar="N", help="the N longest calls, longest first"
    )
    calls.add_argument("--test", metavar="NODEID", help="only calls in this test's traces")
    calls.add_argument("--outcome", choices=OUTCOMES, help="only calls in tests of this outcome")
    calls.add_argument("--trace", metavar="ID", help="only calls of this trace (or unique prefix)")
    for where, what in (("arg", "an argument"), ("local", "a local variable at the return")):
        calls.add_argument(
            f"--{where}",
            nargs=3,
            action="append",
            default=[],
            metavar=("NAME", "OP", "VALUE"),
            dest=f"{where}_predicates",
            help=f"{what} compares: OP one of == != < <= > >= ~ (~: regular expression "
            "on the stored text); NAME.FIELD reaches into dicts and objects",
        )
    calls.add_argument(
        "--return",
        nargs=2,
        action="append",
        default=[],
        metavar=("OP", "VALUE"),
        dest="return_predicates",
        help="the return value compares (as --arg)",
    )
    calls.add_argument("--limit", type=_positive_int, metavar="N", help="at most N matches")
    calls.add_argument("--json", action="store_true", help="print a JSON list of objects")
    calls.add_argument(
        "--max-width",
        type=_count,
        default=80,
        metavar="N",
        help="cut each value to N characters (default: 80; 0: never cut)",
    )


def split_run_args(argv: list[str]) -> tuple[list[str], list[str]]:
    """Split the arguments after ``run`` into vask's and the program's.

    The program's part starts at the script (the first argument that is not an
    option) or right after ``-m MODULE``; it is handed over untouched, so a
    program option that looks like one of vask's stays the program's.
    """
    takes_value = run_value_options()
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
            if arg in takes_value:
                i += 1
            i += 1
            continue
        return argv[: i + 1], argv[i + 1 :]
    return argv, []
