"""The viewer's call tree regrouped by asyncio task, served level by level.

One root per task (see :func:`vask.tasktree.group_by_task`, the one grouping):
its entries are the top-level calls of its steps in order, with a note for
each stretch it was suspended in between.  Below an entry the tree is the
thread's own, less the nodes of other tasks' steps nested in it (a task
started eagerly ran its first step inside the creating call).  The thread's
root keeps the calls that ran in no task.

The grouping walks the whole thread once; it is kept per thread index (and
goes with it), so that each later request reads one page.
"""

from __future__ import annotations

import threading
import weakref
from dataclasses import dataclass, field
from typing import Any

from vask.document import record_time
from vask.render import format_duration
from vask.tasktree import (
    RESUMES_AS_CALLS,
    TaskTree,
    TaskView,
    group_by_task,
    task_label,
    waiting_text,
)
from vask.traceindex import IndexNode, ThreadIndex, TraceIndex
from vask.viewer.queries import BadRequest, row

__all__ = ["task_children", "task_entries", "task_path", "tasks"]

@dataclass
class _Grouping:
    view: TaskView
    #: Per task (with any code recorded): its entries in order, each a node of the
    #: thread or the text of a suspended stretch.
    entries: dict[int, list[Any]] = field(default_factory=dict)
    #: Per top-level node of a step: its task and its place among the task's entries.
    place: dict[int, tuple[int, int]] = field(default_factory=dict)


_groupings: weakref.WeakKeyDictionary[ThreadIndex, _Grouping] = weakref.WeakKeyDictionary()
_lock = threading.Lock()


def _suspended_text(previous: Any, step: Any) -> str:
    text = "suspended"
    end = record_time(previous.end) if previous.end is not None else None
    start = record_time(step.start)
    if end is not None and start is not None and start >= end:
        text += f" {format_duration(start - end)}"
    waiting = waiting_text(previous.end)
    return f"{text}, {waiting}" if waiting else text


def _grouping(thread: ThreadIndex) -> _Grouping:
    with _lock:
        found = _groupings.get(thread)
        if found is not None:
            return found
        grouping = _Grouping(group_by_task(IndexNode(thread, 0)))
        for task in grouping.view.tasks.values():
            entries: list[Any] = []
            previous = None
            for step in task.steps:
                if previous is not None:
                    entries.append(_suspended_text(previous, step))
                for node in step.nodes:
                    grouping.place[node.key] = (task.task_id, len(entries))
                    entries.append(node.key)
                previous = step
            last = previous.end if previous is not None else None
            if last is not None and last.get("done") is False:
                waiting = waiting_text(last)
                text = "still suspended when the trace ended"
                entries.append(f"{text}, {waiting}" if waiting else text)
            if any(type(e) is int for e in entries):
                grouping.entries[task.task_id] = entries
        _groupings[thread] = grouping
        return grouping


def _task_of(grouping: _Grouping, task_id: int) -> TaskTree:
    task = grouping.view.tasks.get(task_id)
    if task is None or task_id not in grouping.entries:
        raise BadRequest(f"no task {task_id} with recorded calls")
    return task


def tasks(trace: TraceIndex, thread: ThreadIndex) -> dict[str, Any]:
    """The roots of the thread's tree by task: each task with recorded calls, in order
    of appearance, and how many calls ran in no task."""
    grouping = _grouping(thread)
    view = grouping.view
    out = []
    for task_id, entries in grouping.entries.items():
        task = view.tasks[task_id]
        created_in = task.created_in
        out.append(
            {
                "task_id": task_id,
                "label": task_label(task),
                "calls": task.calls,
                "steps": len(task.steps),
                "entries": len(entries),
                "eager": task.eager,
                "parent_task_id": task.parent_task_id,
                "created_in": row(trace, thread, created_in.key)
                if created_in is not None
                else None,
            }
        )
    outside = thread.calls_below[0] - sum(t.calls for t in view.tasks.values())
    return {
        "thread": thread.key,
        "tasks": out,
        "outside_calls": max(outside, 0),
        "note": RESUMES_AS_CALLS if view.resumes_as_calls else None,
    }


def task_entries(
    trace: TraceIndex, thread: ThreadIndex, task_id: int, offset: int, limit: int
) -> dict[str, Any]:
    """A page of a task root's entries: tree rows, and ``{"kind": "suspended"}`` notes."""
    grouping = _grouping(thread)
    _task_of(grouping, task_id)
    entries = grouping.entries[task_id]
    limit = max(1, min(limit, 500))
    offset = max(0, offset)
    items = [
        row(trace, thread, e) if type(e) is int else {"kind": "suspended", "text": e}
        for e in entries[offset : offset + limit]
    ]
    return {"task": task_id, "total": len(entries), "offset": offset, "items": items}


def _kept_children(grouping: _Grouping, thread: ThreadIndex, node: int) -> list[int]:
    """A node's children in the tree by task: without the nodes of tasks' steps."""
    nested = grouping.view.in_steps
    return [c for c in thread.children_arrays(node)[0] if c not in nested]


def task_children(
    trace: TraceIndex, thread: ThreadIndex, node: int, offset: int, limit: int
) -> dict[str, Any]:
    """A page of a node's children in the tree by task (node 0: the calls of no task)."""
    ids = _kept_children(_grouping(thread), thread, node)
    limit = max(1, min(limit, 500))
    offset = max(0, offset)
    items = [row(trace, thread, c) for c in ids[offset : offset + limit]]
    return {"node": node, "total": len(ids), "offset": offset, "items": items}


def task_path(thread: ThreadIndex, node: int) -> dict[str, Any]:
    """Where a node stands in the tree by task: its task (None: the thread's own calls)
    and the nodes down to it, each with its place among what its parent shows."""
    grouping = _grouping(thread)
    chain = [*thread.ancestors(node), node] if node > 0 else []
    # The innermost step the node ran in: the last of its ancestors that tops a step.
    top = max((i for i, n in enumerate(chain) if n in grouping.place), default=None)
    task_id = None
    path: list[dict[str, Any]] = []
    parent = 0
    if top is not None:
        task_id, index = grouping.place[chain[top]]
        if task_id not in grouping.entries:
            task_id = None
        else:
            path.append({"node": chain[top], "index": index})
            parent = chain[top]
            chain = chain[top + 1 :]
    for step in chain:
        kept = _kept_children(grouping, thread, parent)
        try:
            index = kept.index(step)
        except ValueError:
            index = 0
        path.append({"node": step, "index": index})
        parent = step
    return {"task": task_id, "path": path}
