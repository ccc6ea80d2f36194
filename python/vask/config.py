"""Configuration: the tracing configuration dict, and the ``[tool.vask]`` settings.

:func:`check_config` checks the configuration dict an engine is built from,
whichever way tracing starts (``vask.enable``, ``Profiler.start``, ``vask run``,
the pytest plugin, the Django middleware), before anything is installed.

Settings of the ``vask`` command come from ``[tool.vask]`` in pyproject.toml.

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
``follow``              bool                trace the Python processes the program starts,
                                            each into a trace of its own (default true)
``flush_subtree_mb``    number or false     size at which a thread's finished subtrees are
                                            stored apart
``memory_budget_mb``    number or false     memory of the buffered records of the whole
                                            process at which the largest finished subtrees
                                            are stored apart (default 256)
``max_trace_mb``        number or false     size past which a trace records no more calls,
                                            counting them in a "calls_dropped" record
                                            (default: no limit)
``trace_cap_mb``        number or false     bytes stored (compressed) per trace, its
                                            subtrees counted with it, past which its
                                            documents are replaced by a record of what
                                            was not stored (default 64)
``session_budget_mb``   number or false     bytes a pytest session stores, past which the
                                            traces of passing tests are no longer stored
                                            (default 2048 under pytest)
``redact``              bool or list of str names whose values are redacted (replaces the
                                            defaults; false: redact nothing)
``redact_extra``        list of str         names redacted besides the defaults
``engine``              str                 "monitor" (sys.monitoring, Python 3.12+; the
                                            default there) or "profile" (the profile hook)
``trace_points``        list of str         functions whose every completed call is stored
                                            at once as a trace of its own (by ``co_name``;
                                            monitoring engine only)
``assignments``         bool                record each assignment to a variable in
                                            recorded code (monitoring engine only)
``values``              str                 how objects are recorded: "safe" (the
                                            default: by their fields, reprs only where
                                            known to be pure), "fields" (no repr at all)
                                            or "repr" (every repr called)
``repr_types``          list of str         types whose repr is recorded anyway
                                            ("mypkg.Money")
``max_value_bytes``     int                 most bytes one recorded value writes
                                            (default 2048; 0: no cap)
``fold_after``          int or false        calls of one function recorded in full under
                                            one call before the rest are folded into one
                                            "folded" record (default 20; false: none)
``fold_trace_after``    int or false        calls of one function recorded in full in one
                                            trace (per thread) before every later one is
                                            folded, under whichever call it runs in
                                            (default 200; false: no such limit)
``fold_keep_last``      bool                keep the last folded call of each function
                                            in full (every folded call is then dumped;
                                            default false)
``complete``            bool                record every call, folding none
======================  ==================  ================================================

Unknown keys produce a warning naming them; a value of the wrong type is an
error (:class:`ConfigError`).  Options given on the command line win over
these settings.
"""

from __future__ import annotations

import logging
import math
import os
import sys
from collections.abc import Mapping
from dataclasses import dataclass, field, replace
from pathlib import Path
from typing import Any

if sys.version_info >= (3, 11):
    import tomllib
else:  # pragma: no cover - exercised on 3.10 only
    import tomli as tomllib

__all__ = [
    "CONFIG_KEYS",
    "DEFAULT_MEMORY_BUDGET_MB",
    "DEFAULT_SESSION_BUDGET_MB",
    "DEFAULT_TRACE_CAP_MB",
    "KNOWN_KEYS",
    "ConfigError",
    "FileSettings",
    "Settings",
    "check_config",
    "find_pyproject",
    "load_settings",
    "monitor_only_features",
    "resolve_limits",
]

#: The keys ``[tool.vask]`` understands.
KNOWN_KEYS = (
    "db",
    "include",
    "ignore",
    "omit_return_locals",
    "lightweight_repr",
    "threads",
    "follow",
    "flush_subtree_mb",
    "memory_budget_mb",
    "max_trace_mb",
    "trace_cap_mb",
    "session_budget_mb",
    "redact",
    "redact_extra",
    "engine",
    "trace_points",
    "assignments",
    "values",
    "repr_types",
    "max_value_bytes",
    "fold_after",
    "fold_trace_after",
    "fold_keep_last",
    "complete",
)
#: How objects are recorded (see vask.serialize).
VALUES_MODES = ("safe", "repr", "fields")
VALUE_KEYS = ("values", "repr_types", "max_value_bytes")
#: How many calls of one function under one call are recorded in full before
#: the rest are folded, when the configuration sets none (``fold_after``).
DEFAULT_FOLD_AFTER = 20
#: How many calls of one function one trace records in full (on each thread)
#: before every later one is folded wherever it runs, when the configuration
#: sets none (``fold_trace_after``) and folding is on.
DEFAULT_FOLD_TRACE_AFTER = 200
#: The settings in megabytes (a non-negative number, or false for none).
MEGABYTE_KEYS = (
    "flush_subtree_mb",
    "memory_budget_mb",
    "max_trace_mb",
    "trace_cap_mb",
    "session_budget_mb",
)

#: The memory budget of the process's buffered records when the configuration
#: sets none (``memory_budget_mb``): once they take this much, the largest
#: finished calls of any thread are stored as traces of their own. Unless
#: ``flush_subtree_mb`` is set, a thread alone flushes at half of it, and the
#: documents waiting for the background writer take an eighth of it at most.
DEFAULT_MEMORY_BUDGET_MB = 256
#: The size at which a thread alone flushes when there is no memory budget
#: (``memory_budget_mb = false``) and ``flush_subtree_mb`` is not set.
DEFAULT_FLUSH_SUBTREE_MB = 500
#: The bytes stored per trace when the configuration sets no ``trace_cap_mb``.
DEFAULT_TRACE_CAP_MB = 64
#: The bytes a pytest session stores when ``session_budget_mb`` is not set.
DEFAULT_SESSION_BUDGET_MB = 2048
#: Settings written into the engine configuration under their own name when set.
_PASSED_ON = (
    "omit_return_locals",
    "lightweight_repr",
    *MEGABYTE_KEYS,
    "redact",
    "redact_extra",
    *VALUE_KEYS,
    "fold_keep_last",
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
    follow: bool | None = None
    flush_subtree_mb: float | bool | None = None
    memory_budget_mb: float | bool | None = None
    max_trace_mb: float | bool | None = None
    trace_cap_mb: float | bool | None = None
    session_budget_mb: float | bool | None = None
    redact: bool | list[str] | None = None
    redact_extra: list[str] | None = None
    engine: str | None = None
    trace_points: list[str] | None = None
    assignments: bool | None = None
    values: str | None = None
    repr_types: list[str] | None = None
    max_value_bytes: int | None = None
    fold_after: int | bool | None = None
    fold_trace_after: int | bool | None = None
    fold_keep_last: bool | None = None
    complete: bool | None = None
    unknown_keys: list[str] = field(default_factory=list)

    def overlaid(self, **values: Any) -> FileSettings:
        """A copy with ``values`` laid over: each one not ``None`` wins (command-line options)."""
        unknown = sorted(set(values) - set(KNOWN_KEYS))
        if unknown:
            raise TypeError(f"not a [tool.vask] setting: {', '.join(unknown)}")
        return replace(self, **{k: v for k, v in values.items() if v is not None})

    def defaulted(self, **values: Any) -> FileSettings:
        """A copy where ``values`` fill the settings left unset (a front end's own defaults)."""
        unknown = sorted(set(values) - set(KNOWN_KEYS))
        if unknown:
            raise TypeError(f"not a [tool.vask] setting: {', '.join(unknown)}")
        return replace(self, **{k: v for k, v in values.items() if getattr(self, k) is None})

    def to_engine_config(self) -> dict[str, Any]:
        """The tracing configuration dict these settings describe.

        The one translation of settings into an engine configuration: ``vask
        run``, ``pytest --vask`` and the Django middleware all build theirs
        here, so a key means the same under each.  ``threads`` and ``follow``
        default to true; the limits left unset are resolved when the engine
        starts (:func:`resolve_limits`).  ``db`` and ``engine`` choose where
        and how, and are not part of the configuration.
        """
        config: dict[str, Any] = {
            "threading": True if self.threads is None else self.threads,
            "follow": True if self.follow is None else self.follow,
        }
        if self.include or self.ignore:
            config["filters"] = {
                "include_frames": list(self.include or []),
                "ignore_frames": list(self.ignore or []),
            }
        for key in _PASSED_ON:
            value = getattr(self, key)
            if value is not None:
                config[key] = list(value) if isinstance(value, list) else value
        if self.trace_points:
            config["trace_points"] = {"on_return": list(dict.fromkeys(self.trace_points))}
        if self.assignments:
            config["line_events"] = True
        if self.complete:
            config["fold_after"] = False
            config["fold_trace_after"] = False
        else:
            config["fold_after"] = (
                DEFAULT_FOLD_AFTER if self.fold_after is None else self.fold_after
            )
            # Left unset, it is resolved with the limits (resolve_limits),
            # from fold_after as a dict laid over this one says it.
            if self.fold_trace_after is not None:
                config["fold_trace_after"] = self.fold_trace_after
        return config


#: What the configuration and the command line call the settings of ``[tool.vask]``.
Settings = FileSettings


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


def parse_flush_subtree_mb(value: Any, key: str = "flush_subtree_mb") -> float | bool:
    """A value of a megabyte setting (:data:`MEGABYTE_KEYS`): a non-negative number, or
    ``False`` to turn it off.

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
        raise ValueError(f"{key} must be a non-negative number or false, not {value!r}")
    return number


def _default_trace_after(fold_after: Any) -> int | bool:
    # Folding turned off (fold_after false or 0) turns the trace budget off
    # too, unless it is given: "fold_after = false" records every call.
    return False if fold_after in (False, None, 0) else DEFAULT_FOLD_TRACE_AFTER


def parse_fold_after(value: Any, key: str = "fold_after") -> int | bool:
    """A ``fold_after`` (or ``fold_trace_after``) value: a non-negative whole number, or
    ``False`` to fold nothing.

    Texts (from the command line) may say "off" or "false".  Raises
    ``ValueError`` for anything else.
    """
    if value is False:
        return False
    if isinstance(value, str):
        text = value.strip().lower()
        if text in ("false", "off", "no", "none"):
            return False
        if text.isdigit():
            return int(text)
    if isinstance(value, int) and not isinstance(value, bool) and value >= 0:
        return value
    raise ValueError(f"{key} must be a non-negative whole number or false, not {value!r}")


def parse_fold_trace_after(value: Any) -> int | bool:
    """A ``fold_trace_after`` value (see :func:`parse_fold_after`)."""
    return parse_fold_after(value, "fold_trace_after")


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
        if is_database_url(table["db"]):
            settings.db = _database_url(table["db"], f"{path}: [tool.vask] db")
        else:
            db = Path(table["db"]).expanduser()
            settings.db = db if db.is_absolute() else path.parent / db
    if "include" in table:
        settings.include = _text_list(table["include"], "include", path)
    if "ignore" in table:
        settings.ignore = _text_list(table["ignore"], "ignore", path)
    if "trace_points" in table:
        settings.trace_points = _text_list(table["trace_points"], "trace_points", path)
    for key in ("fold_after", "fold_trace_after"):
        if key in table:
            try:
                setattr(settings, key, parse_fold_after(table[key], key))
            except ValueError as error:
                raise ConfigError(f"{path}: [tool.vask] {error}") from None
    for key in (
        "omit_return_locals",
        "lightweight_repr",
        "threads",
        "follow",
        "assignments",
        "fold_keep_last",
        "complete",
    ):
        if key in table:
            setattr(settings, key, _flag(table[key], key, path))
    if "engine" in table:
        engine = table["engine"]
        if engine not in ("auto", "monitor", "profile"):
            raise ConfigError(
                f'{path}: [tool.vask] engine must be "monitor", "profile" or "auto", not {engine!r}'
            )
        settings.engine = engine
    for key in MEGABYTE_KEYS:
        if key in table:
            try:
                setattr(settings, key, parse_flush_subtree_mb(table[key], key))
            except ValueError as error:
                raise ConfigError(f"{path}: [tool.vask] {error}") from None
    if "redact" in table:
        value = table["redact"]
        settings.redact = value if isinstance(value, bool) else _text_list(value, "redact", path)
    if "redact_extra" in table:
        settings.redact_extra = _text_list(table["redact_extra"], "redact_extra", path)
    _value_settings(table, settings, path)
    return settings


def _value_settings(table: dict[str, Any], settings: FileSettings, path: Path) -> None:
    """``values``, ``repr_types`` and ``max_value_bytes`` of a ``[tool.vask]`` table."""
    if "values" in table:
        if table["values"] not in VALUES_MODES:
            raise ConfigError(
                f'{path}: [tool.vask] values must be "safe", "repr" or "fields", '
                f"not {table['values']!r}"
            )
        settings.values = table["values"]
    if "repr_types" in table:
        settings.repr_types = _text_list(table["repr_types"], "repr_types", path)
    if "max_value_bytes" in table:
        cap = table["max_value_bytes"]
        if isinstance(cap, bool) or not isinstance(cap, int) or cap < 0:
            raise ConfigError(
                f"{path}: [tool.vask] max_value_bytes must be a whole number of bytes "
                f"(0: no cap), not {cap!r}"
            )
        settings.max_value_bytes = cap


# -- the tracing configuration ---------------------------------------------

_FLAGS = (
    "threading",
    "follow",
    "omit_return_locals",
    "lightweight_repr",
    "line_events",
    "fold_keep_last",
)
# The user's name for line_events.
_ASSIGNMENTS = "assignments"
_WRITTEN_BY_THE_ENGINE = ("use_monitoring", "use_rust")
#: The keys of the tracing configuration dict.
CONFIG_KEYS = frozenset(
    (
        *_FLAGS,
        *_WRITTEN_BY_THE_ENGINE,
        "sqlite_busy_timeout",
        "filters",
        *MEGABYTE_KEYS,
        "processors",
        "redact",
        "redact_extra",
        "trace_points",
        "auto_emit",
        "fold_after",
        "fold_trace_after",
        _ASSIGNMENTS,
        *VALUE_KEYS,
    )
)
_FILTER_KEYS = ("include_frames", "ignore_frames")
# The engine waits for a locked database in whole milliseconds of a C int.
_MAX_BUSY_TIMEOUT = 2_000_000
_MIB = 1 << 20

_unknown_reported: set[str] = set()


def _shown(value: Any) -> str:
    text = repr(value)
    return text if len(text) <= 80 else text[:77] + "..."


def _wrong(key: str, wanted: str, value: Any) -> TypeError:
    return TypeError(
        f"config {key!r} must be {wanted}, not {type(value).__name__}: {_shown(value)}"
    )


def _texts(value: Any, key: str) -> list[str]:
    # A str is a sequence too, but "tests" meaning ["t", "e", "s", "t", "s"]
    # is never what was meant.
    if not isinstance(value, (list, tuple)):
        raise _wrong(key, "a list of str", value)
    for item in value:
        if not isinstance(item, str):
            raise _wrong(key, "a list of str", item)
    return list(value)


def _fragments(value: Any, key: str) -> list[str]:
    fragments = _texts(value, key)
    if "" in fragments:
        raise ValueError(f"config {key!r} holds an empty fragment, which matches every file")
    return fragments


def _table(value: Any, key: str, known: tuple[str, ...]) -> Mapping[str, Any]:
    """``value`` checked as a mapping of some of the ``known`` keys."""
    if not isinstance(value, Mapping):
        raise _wrong(key, f"a dict with {' and '.join(known)}", value)
    unknown = sorted(repr(k) for k in value if k not in known)
    if unknown:
        raise ValueError(
            f"config {key!r}: unknown key(s) {', '.join(unknown)}; "
            f"known keys are {', '.join(known)}"
        )
    return value


def _filters(value: Any) -> dict[str, list[str]] | None:
    if value is None:
        return None
    table = _table(value, "filters", _FILTER_KEYS)
    return {
        k: _fragments(table[k], f"filters.{k}") for k in _FILTER_KEYS if table.get(k) is not None
    }


def _busy_timeout(value: Any) -> int:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise _wrong("sqlite_busy_timeout", "a number of seconds", value)
    if not math.isfinite(value) or value < 0:
        raise ValueError(
            f"config 'sqlite_busy_timeout' must be a non-negative number of seconds, not {value!r}"
        )
    if value > _MAX_BUSY_TIMEOUT:
        raise ValueError(
            f"config 'sqlite_busy_timeout' must be at most {_MAX_BUSY_TIMEOUT} seconds, "
            f"not {value!r}"
        )
    return math.ceil(value)


def _megabytes(key: str, value: Any) -> float | bool | None:
    if value is None or value is False:
        return value
    if value is True or not isinstance(value, (int, float)):
        raise _wrong(key, "a non-negative number of MiB or False", value)
    if not math.isfinite(value) or value < 0 or float(value) * _MIB >= 2.0**64:
        raise ValueError(
            f"config {key!r} must be a non-negative number of MiB or False, not {value!r}"
        )
    return value


def _trace_points(value: Any) -> dict[str, list[str]] | None:
    if value is None:
        return None
    if isinstance(value, (list, tuple)):  # the function names alone
        return {"on_return": _texts(value, "trace_points")}
    on_return = _table(value, "trace_points", ("on_return",)).get("on_return")
    return {} if on_return is None else {"on_return": _texts(on_return, "trace_points.on_return")}


def _redaction(redact: Any, extra: Any) -> None:
    """Raise when ``redact`` and ``redact_extra`` do not describe a set of secret names."""
    from vask import serialize

    # A str is the comma-separated form this check stores a list as: checking
    # a checked configuration again (a recorder started from it, a followed
    # child) takes it back unchanged.
    if not isinstance(redact, (bool, str)):
        redact = _texts(redact, "redact")
    if extra is not None and not isinstance(extra, str):
        extra = _texts(extra, "redact_extra")
    serialize.redaction_from_config(redact, extra)


def check_config(config: Mapping[str, Any] | None) -> dict[str, Any]:
    """The tracing configuration ``config``, checked and normalised, as a new dict.

    Called before an engine is built from the configuration; whatever it
    returns the engine takes without complaint.  A value of the wrong type
    raises ``TypeError``, a value out of range ``ValueError``; both name the
    key.  Normalised: ``sqlite_busy_timeout`` to whole seconds (rounded up),
    ``filters`` and ``trace_points`` to dicts of lists (``trace_points`` may
    be given as the list of function names alone), ``assignments`` to the
    engine's ``line_events``, ``redact`` (True,
    False or a list of names) and ``redact_extra`` (a list of names) checked
    together and a list stored as one comma-separated str, ``processors`` to
    a list.

    A key this version does not know is reported once on the "vask" logger
    and passed on (a plugin may read it) when its value can be stored with
    the trace: None, bool, int, float or str; other values are left out.
    """
    if config is None:
        return {}
    if not isinstance(config, Mapping):
        raise TypeError(f"config must be a dict, not {type(config).__name__}")
    checked: dict[str, Any] = {}
    for key, value in config.items():
        if not isinstance(key, str):
            raise TypeError(f"config keys must be str, not {type(key).__name__}: {_shown(key)}")
        if key in _FLAGS or key in _WRITTEN_BY_THE_ENGINE or key == _ASSIGNMENTS:
            if not isinstance(value, bool):
                raise _wrong(key, "True or False", value)
            if key == _ASSIGNMENTS:
                key = "line_events"
                if config.get(key, value) != value:
                    raise ValueError(
                        "config 'assignments' and 'line_events' are the same setting "
                        "and disagree; give one of them"
                    )
        elif key == "sqlite_busy_timeout":
            value = _busy_timeout(value)
        elif key == "filters":
            value = _filters(value)
        elif key in MEGABYTE_KEYS:
            value = _megabytes(key, value)
        elif key == "trace_points":
            value = _trace_points(value)
        elif key in ("fold_after", "fold_trace_after"):
            if value is not None and value is not False:
                try:
                    value = parse_fold_after(value, key)
                except ValueError:
                    raise _wrong(key, "a non-negative int, False or None", value) from None
        elif key in ("redact", "redact_extra") or key in VALUE_KEYS:
            pass  # checked together below
        elif key == "processors":
            if value is not None and not isinstance(value, (list, tuple)):
                raise _wrong("processors", "a list of plugin descriptions or import strings", value)
            value = None if value is None else list(value)
        elif key not in CONFIG_KEYS:
            storable = value is None or type(value) in (str, bool, int, float)
            if key not in _unknown_reported:
                _unknown_reported.add(key)
                logging.getLogger("vask").warning(
                    "unknown configuration key %r %s; known keys are %s",
                    key,
                    "passed on" if storable else "left out (its value cannot be stored)",
                    ", ".join(sorted(CONFIG_KEYS)),
                )
            if not storable:
                continue
        checked[key] = value
    if "redact" in checked or "redact_extra" in checked:
        _redaction(checked.get("redact", True), checked.get("redact_extra"))
        # The trace keeps only scalar configuration values: a list is stored
        # as one comma-separated str, which the dumpers read back the same.
        for key in ("redact", "redact_extra"):
            value = checked.get(key)
            if isinstance(value, (list, tuple)):
                checked[key] = ",".join(value) if value or key == "redact_extra" else False
    if any(key in checked for key in VALUE_KEYS):
        from vask import serialize

        values, repr_types, cap = serialize.values_from_config(checked)
        checked["values"] = values
        checked["max_value_bytes"] = cap
        # Stored with the trace as one comma-separated str, as redact is.
        checked["repr_types"] = ",".join(repr_types)
    if checked.get("processors"):
        from vask import plugins

        # Every description checked now, with a message naming the entry.
        plugins.load_plugin_data(checked)
    return checked


def resolve_limits(config: dict[str, Any]) -> None:
    """Fill in the limits a checked configuration leaves unset, in place.

    ``fold_after`` defaults to :data:`DEFAULT_FOLD_AFTER`, and
    ``fold_trace_after`` to :data:`DEFAULT_FOLD_TRACE_AFTER` unless folding is
    off (``fold_after`` false or 0).
    ``memory_budget_mb`` defaults to :data:`DEFAULT_MEMORY_BUDGET_MB`;
    ``flush_subtree_mb`` to half the budget, or :data:`DEFAULT_FLUSH_SUBTREE_MB`
    without one (``None`` or ``False`` given for either turns it off);
    ``trace_cap_mb`` to :data:`DEFAULT_TRACE_CAP_MB`.  Every recorder resolves
    them here before its engine is built, so the engine is always handed them.
    """
    config.setdefault("trace_cap_mb", DEFAULT_TRACE_CAP_MB)
    config.setdefault("fold_after", DEFAULT_FOLD_AFTER)
    if "fold_trace_after" not in config:
        config["fold_trace_after"] = _default_trace_after(config["fold_after"])
    budget = config.setdefault("memory_budget_mb", DEFAULT_MEMORY_BUDGET_MB)
    if "flush_subtree_mb" not in config:
        numeric = isinstance(budget, (int, float)) and not isinstance(budget, bool)
        config["flush_subtree_mb"] = budget / 2 if numeric else DEFAULT_FLUSH_SUBTREE_MB


def monitor_only_features(config: Mapping[str, Any]) -> list[str]:
    """The settings of a checked configuration that only the monitoring engine has."""
    features = []
    trace_points = config.get("trace_points")
    if isinstance(trace_points, Mapping) and trace_points.get("on_return"):
        features.append("trace points (trace_points)")
    if config.get("line_events"):
        features.append("assignment tracking (assignments)")
    return features


# -- the database named by a URL or by the environment ------------------------------

#: The environment variable that names the trace database where no option does.
DB_VARIABLE = "VASK_DB"


def is_database_url(value: Any) -> bool:
    """Whether ``value`` names a PostgreSQL database (``postgresql://...``)."""
    from vask.storage import backend

    return backend.is_url(value)


def _database_url(value: str, where: str) -> Any:
    from vask.storage import backend

    try:
        return backend.locate(value)
    except ValueError as error:
        raise ConfigError(f"{where}: {error}") from None


def database_from_environment() -> Any:
    """The database ``VASK_DB`` names (a path or a PostgreSQL URL), or ``None``."""
    value = os.environ.get(DB_VARIABLE)
    if not value:
        return None
    if is_database_url(value):
        return _database_url(value, DB_VARIABLE)
    return Path(value).expanduser().absolute()
