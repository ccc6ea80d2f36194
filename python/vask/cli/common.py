"""What the ``vask`` commands share: messages, paths, settings and the database options."""

from __future__ import annotations

import os
import sys
from pathlib import Path
from typing import Any, TextIO

from vask import config as vask_config
from vask.storage import query
from vask.textsafe import terminal_safe

__all__ = [
    "DEFAULT_BUSY_TIMEOUT",
    "CliError",
    "calls_text",
    "db_path_for",
    "display",
    "load_settings",
    "plural",
    "say",
    "start_dir",
    "stderr",
]

DEFAULT_BUSY_TIMEOUT = 60.0

# Options of ``vask run`` that take a value; needed to find where the
# program's own arguments begin.


class CliError(Exception):
    """An error to report on one line, with the exit status to end with."""

    def __init__(self, message: str, status: int = 1) -> None:
        super().__init__(message)
        self.status = status


def stderr() -> TextIO:
    # The traced program may have closed or replaced sys.stderr.
    stream = sys.stderr
    if stream is None or getattr(stream, "closed", False):
        stream = sys.__stderr__
    return stream  # type: ignore[return-value]


def say(message: str) -> None:
    """Write ``vask: message`` on one line of standard error, safe for a terminal.

    Messages quote stored text (trace names and ids, reasons of damage), so
    they are escaped like everything else vask prints.
    """
    stream = stderr()
    try:
        stream.write(f"vask: {terminal_safe(message)}\n")
        stream.flush()
    except (OSError, ValueError):
        pass


def start_dir() -> Path:
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


def display(path: Path) -> str:
    """``path`` relative to the starting working directory when it lies below it; a
    server's database as its URL without the password."""
    if not isinstance(path, Path):
        return str(path)
    try:
        return str(path.relative_to(start_dir()))
    except ValueError:
        return str(path)


def plural(n: int, word: str) -> str:
    return f"{n:,} {word}{'' if n == 1 else 's'}"


def calls_text(calls: int, totals: query.RootTotals | None) -> str:
    """A root's calls with its subtrees', as "257 calls (245 in 16 subtrees stored apart)"."""
    if totals is None or not totals.subtrees:
        return plural(calls, "call")
    return (
        f"{plural(totals.calls, 'call')} ({totals.subtree_calls:,} in "
        f"{plural(totals.subtrees, 'subtree')} stored apart)"
    )


def load_settings() -> vask_config.FileSettings:
    try:
        settings = vask_config.load_settings()
    except vask_config.ConfigError as error:
        raise CliError(str(error), 2) from None
    if settings.unknown_keys:
        names = ", ".join(settings.unknown_keys)
        say(f"warning: {settings.path}: unknown keys in [tool.vask] ignored: {names}")
    return settings


def db_path_for(args: Any, settings: vask_config.FileSettings) -> Path:
    """The database a command uses: ``--db``, else ``VASK_DB``, else ``[tool.vask] db``,
    else the default; a path or a PostgreSQL URL (:mod:`vask.storage.backend`)."""
    from vask.storage import backend

    path = args.db
    if path is not None:
        warning = backend.password_warning(path, "--db")
        if warning is not None:
            say(f"warning: {warning}")
    else:
        path = vask_config.database_from_environment() or settings.db
    if path is None:
        from vask.engines.recorder import default_db_path

        path = default_db_path()
    return backend.locate(path).expanduser().absolute()
