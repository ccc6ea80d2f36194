"""The ``vask`` command: trace a program, then list, show, export and manage its traces.

    vask run script.py [args...]          trace a script, as ``python script.py`` runs it
    vask run -m package.module [args...]  trace a module, as ``python -m`` runs it
    vask traces list                      the stored traces, newest first
    vask traces show [ID|latest]          the call tree of a trace
    vask traces view [ID|latest]          browse traces in a local web viewer
    vask traces export ID -o FILE         Chrome Trace Event JSON (Perfetto UI), speedscope
    vask traces delete ID...              delete traces
    vask traces prune --keep N            keep only the newest N traces
    vask traces import FILE...            store trace documents kept in files
    vask traces reindex                   build the calls index again
    vask calls PATTERN [options]          find calls across every stored trace

Settings come from ``[tool.vask]`` of the nearest pyproject.toml (see
:mod:`vask.config`); options on the command line win.  ``vask run`` itself
lives in :mod:`vask.__main__`: its code runs while the program is traced, and
the tracer leaves that file's frames out.
"""

from __future__ import annotations

import os
import sqlite3
import sys

from vask.cli.common import CliError, db_path_for, display, load_settings, say, start_dir
from vask.cli.parser import build_parser, split_run_args
from vask.cli.traces import READING_COMMANDS, TRACE_COMMANDS

__all__ = ["CliError", "main"]


def _dispatch(argv: list[str]) -> int:
    parser = build_parser()
    if argv[:1] == ["run"]:
        ours, program = split_run_args(argv[1:])
        args = parser.parse_args(["run", *ours])
        args.program_args = program
    else:
        args = parser.parse_args(argv)
    if args.command is None:
        parser.print_help(sys.stderr)
        return 2
    settings = load_settings()
    if args.command == "run":
        from vask.cli.run import cmd_run

        return cmd_run(args, settings)
    if args.command == "calls":
        from vask.cli.calls import cmd_calls

        db_path = db_path_for(args, settings)
        if not db_path.exists():
            raise CliError(f"no trace database at {display(db_path)}", 1)
        return _with_database(cmd_calls, args, db_path)
    if args.action is None:
        args.traces_parser.print_help(sys.stderr)
        return 2
    db_path = db_path_for(args, settings)
    if (args.action in READING_COMMANDS or args.action == "reindex") and not db_path.exists():
        # Reading (or indexing what is stored) creates nothing, not even an empty database.
        raise CliError(f"no trace database at {display(db_path)}", 1)
    if args.action == "reindex":
        # The calls index's own command: it lives with `vask calls`.
        from vask.cli.calls import cmd_reindex

        return _with_database(cmd_reindex, args, db_path)
    return _with_database(TRACE_COMMANDS[args.action], args, db_path)


def _with_database(command, args, db_path) -> int:  # type: ignore[no-untyped-def]
    """Run a command on the database, its storage errors reported on one line."""
    try:
        return command(args, db_path)
    except BrokenPipeError:
        raise
    except (sqlite3.Error, OSError) as error:
        message = str(error)
        if str(db_path) not in message:
            message = f"{message} (database {display(db_path)})"
        raise CliError(f"cannot use the trace database: {message}", 1) from None


def main(argv: list[str] | None = None) -> int:
    """Run the ``vask`` command with ``argv`` (default: ``sys.argv[1:]``); returns the status."""
    start_dir()  # before the traced program can change directory
    try:
        return _dispatch(list(sys.argv[1:] if argv is None else argv))
    except CliError as error:
        say(f"error: {error}")
        return error.status
    except BrokenPipeError:
        # The reader went away (vask traces show | head); not an error of ours.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 0
    except KeyboardInterrupt:
        say("interrupted")
        return 130


if __name__ == "__main__":
    sys.exit(main())
