"""The viewer's grouping by asyncio task: one thread's tasks, their steps and suspended stretches."""

from __future__ import annotations

from typing import Any

from vask.render import format_duration
from vask.tasktree import group_by_task, task_label, waiting_text
from vask.traceindex import IndexNode, ThreadIndex, TraceIndex
from vask.viewer.queries import row

__all__ = ["tasks"]

# Rows listed per task at the most; the tree shows the rest.
_ROWS_PER_TASK = 500


def tasks(trace: TraceIndex, thread: ThreadIndex) -> dict[str, Any]:
    """The thread's tasks in order of appearance, each with the top-level calls of its
    steps (tree rows, which the page links to the call tree) and a note per suspended
    stretch."""
    view = group_by_task(IndexNode(thread, 0))
    out = []
    for task in view.tasks.values():
        rows: list[dict[str, Any]] = []
        previous = None
        for step in task.steps:
            if previous is not None:
                text = "suspended"
                start, end = step.start.get("timestamp"), (previous.end or {}).get("timestamp")
                if isinstance(start, float) and isinstance(end, float) and start >= end:
                    text += f" {format_duration(start - end)}"
                waiting = waiting_text(previous.end)
                rows.append(
                    {"kind": "suspended", "text": f"{text}, {waiting}" if waiting else text}
                )
            for node in step.nodes:
                if len(rows) < _ROWS_PER_TASK:
                    rows.append(row(trace, thread, node.key))
            previous = step
        if not any(r.get("kind") == "call" for r in rows):
            continue  # none of its code was recorded
        created_in = task.created_in
        out.append(
            {
                "task_id": task.task_id,
                "label": task_label(task),
                "calls": task.calls,
                "steps": len(task.steps),
                "parent_task_id": task.parent_task_id,
                "created_in": row(trace, thread, created_in.key)
                if created_in is not None
                else None,
                "rows": rows,
            }
        )
    return {"thread": thread.key, "tasks": out}
