"""The monitoring engine's host, where the native module and users look for it.

The native monitor calls :func:`_save_trace_point_from_rust` and
:func:`get_instruction` here; the engine itself is :mod:`vask.engines.monitor`.
"""

from vask.engines.monitor import (
    EVENTS,
    INSTRUCTION_CALLBACK,
    TOOL_ID,
    TOOL_NAME,
    Monitor,
    _save_trace_point_from_rust,
    activate_monitoring,
    active_monitor,
    deactivate_monitoring,
    get_instruction,
)

__all__ = [
    "EVENTS",
    "INSTRUCTION_CALLBACK",
    "TOOL_ID",
    "TOOL_NAME",
    "Monitor",
    "_save_trace_point_from_rust",
    "activate_monitoring",
    "active_monitor",
    "deactivate_monitoring",
    "get_instruction",
]
