"""Settings of the ``vask`` command from ``[tool.vask]`` in pyproject.toml.

The nearest ``pyproject.toml`` (the working directory, then each parent in
turn) is read; its ``[tool.vask]`` table may hold these keys:

======================  ==================  ================================================
key                     type                meaning
======================  ==================  ================================================
``db``                  str                 trace database, relative to the pyproject.toml
``include``             list of str         path fragments of frames to record anyway
``ignore``              list of str         path fragments of frames to leave out
``omit_return_locals``  bool                store no locals with return records
``lightweight_repr``    bool                store short reprs instead of full values
``threads``             bool                trace threads the program starts (default true)
``flush_subtree_mb``    number or false     size at which finished subtrees are stored apart
``engine``              str                 "monitor" (sys.monitoring, Python 3.12+; the
                                            default there) or "profile" (the profile hook)
======================  ==================  ================================================

Unknown keys produce a warning naming them; a value of the wrong type is an
error (:class:`ConfigError`).  Options given on the command line win over
these settings.
"""

from __future__ import annotations

import math
import os
import sys
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

if sys.version_info >= (3, 11):
    import tomllib
else:  # pragma: no cover - exercised on 3.10 only
    import tomli as tomllib

__all__ = ["KNOWN_KEYS", "ConfigError", "FileSettings", "find_pyproject", "load_settings"]

#: The keys ``[tool.vask]`` understands.
KNOWN_KEYS = (
    "db",
    "include",
    "ignore",
    "omit_return_locals",
    "lightweight_repr",
    "threads",
    "flush_subtree_mb",
    "engine",
)


class ConfigError(Exception):
    """A pyproject.toml that cannot be read, or a ``[tool.vask]`` value of the wrong type."""


@dataclass
class FileSettings:
    """What ``[tool.vask]`` of one pyproject.toml says; ``None`` where it says nothing."""

    path: Path | None = None
    db: Path | None = None
    include: list[str] | None = None
    ignore: list[str] | None = None
    omit_return_locals: bool | None = None
    lightweight_repr: bool | None = None
    threads: bool | None = None
    flush_subtree_mb: float | bool | None = None
    engine: str | None = None
    unknown_keys: list[str] = field(default_factory=list)


def find_pyproject(start: str | os.PathLike[str] | None = None) -> Path | None:
    """The nearest pyproject.toml at or above ``start`` (default: the working directory)."""
    directory = Path(start if start is not None else Path.cwd()).resolve()
    for candidate in (directory, *directory.parents):
        path = candidate / "pyproject.toml"
        if path.is_file():
            return path
    return None


def _text_list(value: Any, key: str, where: Path) -> list[str]:
    if isinstance(value, str):
        return [value]
    if isinstance(value, list) and all(isinstance(item, str) for item in value):
        return list(value)
    raise ConfigError(f"{where}: [tool.vask] {key} must be a list of strings, not {value!r}")


def _flag(value: Any, key: str, where: Path) -> bool:
    if isinstance(value, bool):
        return value
    raise ConfigError(f"{where}: [tool.vask] {key} must be true or false, not {value!r}")


def parse_flush_subtree_mb(value: Any) -> float | bool:
    """A ``flush_subtree_mb`` value: a non-negative number, or ``False`` to turn flushing off.

    Texts (from the command line) may say "off" or "false".  Raises
    ``ValueError`` for anything else.
    """
    if value is False:
        return False
    if isinstance(value, str) and value.strip().lower() in ("false", "off", "no", "none"):
        return False
    number = math.nan
    if isinstance(value, (int, float, str)) and not isinstance(value, bool):
        try:
            number = float(value)
        except ValueError:
            pass
    if math.isnan(number) or math.isinf(number) or number < 0:
        raise ValueError(f"flush_subtree_mb must be a non-negative number or false, not {value!r}")
    return number


def load_settings(pyproject: str | os.PathLike[str] | None = None) -> FileSettings:
    """Read ``[tool.vask]`` from ``pyproject`` (default: the nearest pyproject.toml).

    No file, or a file without the table, gives empty settings.  Raises
    :class:`ConfigError` for a file that is not valid TOML or a value of the
    wrong type.  A relative ``db`` is taken relative to the file's directory.
    """
    path = Path(pyproject) if pyproject is not None else find_pyproject()
    if path is None:
        return FileSettings()
    try:
        with open(path, "rb") as f:
            document = tomllib.load(f)
    except OSError as error:
        raise ConfigError(f"cannot read {path}: {error.strerror or error}") from error
    except tomllib.TOMLDecodeError as error:
        raise ConfigError(f"{path} is not valid TOML: {error}") from error
    table = document.get("tool", {}).get("vask") if isinstance(document.get("tool"), dict) else None
    settings = FileSettings(path=path)
    if table is None:
        return settings
    if not isinstance(table, dict):
        raise ConfigError(f"{path}: [tool.vask] must be a table")
    settings.unknown_keys = sorted(key for key in table if key not in KNOWN_KEYS)
    if "db" in table:
        if not isinstance(table["db"], str) or not table["db"]:
            raise ConfigError(f"{path}: [tool.vask] db must be a path, not {table['db']!r}")
        db = Path(table["db"]).expanduser()
        settings.db = db if db.is_absolute() else path.parent / db
    if "include" in table:
        settings.include = _text_list(table["include"], "include", path)
    if "ignore" in table:
        settings.ignore = _text_list(table["ignore"], "ignore", path)
    for key in ("omit_return_locals", "lightweight_repr", "threads"):
        if key in table:
            setattr(settings, key, _flag(table[key], key, path))
    if "engine" in table:
        engine = table["engine"]
        if engine not in ("auto", "monitor", "profile"):
            raise ConfigError(
                f'{path}: [tool.vask] engine must be "monitor", "profile" or "auto", not {engine!r}'
            )
        settings.engine = engine
    if "flush_subtree_mb" in table:
        try:
            settings.flush_subtree_mb = parse_flush_subtree_mb(table["flush_subtree_mb"])
        except ValueError as error:
            raise ConfigError(f"{path}: [tool.vask] {error}") from None
    return settings
