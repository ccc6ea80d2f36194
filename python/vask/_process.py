"""The process this is: what the host stores with every trace it stores.

Each stored trace says which process recorded it (its pid) and, for a process
vask follows, which traced process started it and the trace that one was
recording (see :mod:`vask.engines.follow`).  The trace documents do not hold these
facts: :func:`vask.db.save_trace` takes them from here when it stores a
document of this process, into the row's columns.
"""

from __future__ import annotations

import contextlib
import os
import sys
from typing import Any

__all__ = ["process_facts", "set_parent_process"]

# (pid, trace id) of the traced process that started this one, and a name
# for this process, when vask follows it (see vask.engines.follow).
_parent: tuple[int, str | None] | None = None
_process_name: str | None = None


def set_parent_process(pid: int, trace_id: str | None, name: str | None = None) -> None:
    """Link the traces of this process to the trace ``trace_id`` of process ``pid``."""
    global _parent, _process_name
    _parent = (pid, trace_id)
    _process_name = name


def process_facts() -> dict[str, Any]:
    """The facts stored with the traces of this process.

    ``pid``: this process; ``parent_pid`` and ``parent_trace_id``: the traced
    process that started this one and the trace it was recording then
    (``None`` for a process vask did not follow); ``name``: a multiprocessing
    child's process name (``ForkPoolWorker-1``), else the command a followed
    process runs.
    """
    name = _process_name
    mp = sys.modules.get("multiprocessing")
    # A name is a nicety: a multiprocessing that cannot say never fails a store.
    with contextlib.suppress(Exception):
        if mp is not None and mp.parent_process() is not None:
            name = mp.current_process().name
    parent_pid, parent_trace_id = _parent if _parent is not None else (None, None)
    return {
        "pid": os.getpid(),
        "parent_pid": parent_pid,
        "parent_trace_id": parent_trace_id,
        "name": name,
    }
