"""The engines' recorders, where users and the native module look for them.

The native writer asks :func:`process_facts` here for every document it
builds; the engines themselves are in :mod:`vask.engines`.
"""

from vask.engines.choice import ENGINES, create, default_engine, resolve_engine
from vask.engines.monitor import Monitor
from vask.engines.profile import Profiler
from vask.engines.recorder import (
    DEFAULT_CONFIG,
    DEFAULT_MEMORY_BUDGET_MB,
    Recorder,
    default_db_path,
    new_trace_id,
    process_facts,
    set_parent_process,
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
