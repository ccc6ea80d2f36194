"""The engines' recorders, where users import them from: see :mod:`vask.engines`."""

from vask._process import process_facts, set_parent_process
from vask.engines.choice import ENGINES, create, default_engine, resolve_engine
from vask.engines.monitor import Monitor
from vask.engines.profile import Profiler
from vask.engines.recorder import (
    DEFAULT_CONFIG,
    DEFAULT_MEMORY_BUDGET_MB,
    Recorder,
    default_db_path,
    new_trace_id,
)

__all__ = [
    "DEFAULT_CONFIG",
    "DEFAULT_MEMORY_BUDGET_MB",
    "ENGINES",
    "Monitor",
    "Profiler",
    "Recorder",
    "create",
    "default_db_path",
    "default_engine",
    "new_trace_id",
    "process_facts",
    "resolve_engine",
    "set_parent_process",
]
