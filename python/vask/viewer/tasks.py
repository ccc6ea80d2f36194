"""The viewer's call tree regrouped by asyncio task, served level by level.

One root per task (see :func:`vask.tasktree.group_by_task`, the one grouping):
its entries are the top-level calls of its steps in order, with a note for
each stretch it was suspended in between.  Below an entry the tree is the
thread's own, less the nodes of other tasks' steps nested in it (a task
started eagerly ran its first step inside the creating call).  The thread's
root keeps the calls that ran in no task.

The grouping (:class:`vask.tasktree.IndexedTasks`) is made once per thread
index, from the task facts the index keeps, and goes with the index; every
request then reads one page: of the task list (tens of thousands of tasks
are served a page at a time, like any level of the tree), of a task's
entries, or of a level below.
"""

from __future__ import annotations

import bisect
import threading
import weakref
from array import array
from typing import Any

from vask.document import record_time
from vask.render import format_duration
from vask.tasktree import RESUMES_AS_CALLS, IndexedTasks, task_text, waiting_text
from vask.traceindex import ThreadIndex, TraceIndex
from vask.viewer.queries import BadRequest, row

__all__ = ["prepare", "task_children", "task_entries", "task_index", "task_path", "tasks"]

#: Most rows a page holds.
_PAGE_LIMIT = 500
# Levels longer than this keep their list without other tasks' steps, a few at a time.
_KEEP_LEVEL = 256
_KEPT_LEVELS = 16
# Tasks whose entries are kept (a task's page after page reads the same list).
_KEPT_ENTRIES = 8


class _Grouping:
    def __init__(self, thread: ThreadIndex) -> None:
        self.view = IndexedTasks(thread)
        view = self.view
        #: The tasks listed (those with any recorded code), by number, in order.
        self.listed = array("i", (t for t in range(len(view.ids)) if view.nodes[t]))
        self._entries: dict[int, list[Any]] = {}
        self._levels: dict[int, array] = {}
        self._lock = threading.Lock()

    def entries(self, task: int) -> list[Any]:
        """A task's entries in order: a node of the thread or the text of a suspended stretch."""
        with self._lock:
            found = self._entries.get(task)
        if found is not None:
            return found
        view = self.view
        out: list[Any] = []
        previous: tuple[dict[str, Any], dict[str, Any] | None] | None = None
        steps = view.steps[task]
        known = view.records(
            [view.step_start[s] for s in steps] + [view.step_end[s] for s in steps]
        )
        for step in steps:
            records = view.step_records(step, known)
            if previous is not None:
                out.append(_suspended_text(previous[1], records[0]))
            out.extend(view.step_nodes(step))
            previous = records
        last = previous[1] if previous is not None else None
        if last is not None and last.get("done") is False:
            waiting = waiting_text(last)
            text = "still suspended when the trace ended"
            out.append(f"{text}, {waiting}" if waiting else text)
        with self._lock:
            if len(self._entries) >= _KEPT_ENTRIES:
                self._entries.pop(next(iter(self._entries)))
            self._entries[task] = out
        return out

    def entry_count(self, task: int, known: dict[int, dict[str, Any]]) -> int:
        """How many entries :meth:`entries` gives the task, from the records of its facts."""
        view = self.view
        steps = len(view.steps[task])
        return view.nodes[task] + max(steps - 1, 0) + view.still_suspended(task, known)

    def kept_children(self, node: int) -> array:
        """A node's children in the tree by task: without the nodes of tasks' steps."""
        with self._lock:
            found = self._levels.get(node)
        if found is not None:
            return found
        owner = self.view.owner
        ids = self.view.thread.children_arrays(node)[0]
        if not owner:
            return ids  # a thread without tasks
        kept = array("i", (c for c in ids if owner[c] < 0))
        if len(ids) > _KEEP_LEVEL:
            with self._lock:
                if len(self._levels) >= _KEPT_LEVELS:
                    self._levels.pop(next(iter(self._levels)))
                self._levels[node] = kept
        return kept


_groupings: weakref.WeakKeyDictionary[ThreadIndex, _Grouping] = weakref.WeakKeyDictionary()
_lock = threading.Lock()


def _suspended_text(end: dict[str, Any] | None, start: dict[str, Any]) -> str:
    text = "suspended"
    stopped = record_time(end) if end is not None else None
    resumed = record_time(start)
    if stopped is not None and resumed is not None and resumed >= stopped:
        text += f" {format_duration(resumed - stopped)}"
    waiting = waiting_text(end)
    return f"{text}, {waiting}" if waiting else text


def _grouping(thread: ThreadIndex) -> _Grouping:
    # One grouping per thread: made under the lock, so that concurrent first
    # requests wait for it rather than each making one.
    with _lock:
        found = _groupings.get(thread)
        if found is None:
            found = _groupings[thread] = _Grouping(thread)
        return found


def prepare(thread: ThreadIndex) -> None:
    """Group the thread by task ahead of the first request that needs it."""
    _grouping(thread)


def _number_of(grouping: _Grouping, task_id: int) -> int:
    number = grouping.view.number.get(task_id)
    if number is None or not grouping.view.nodes[number]:
        raise BadRequest(f"no task {task_id} with recorded calls")
    return number


def _page(offset: int, limit: int) -> tuple[int, int]:
    return max(0, offset), max(1, min(limit, _PAGE_LIMIT))


def tasks(
    trace: TraceIndex, thread: ThreadIndex, offset: int = 0, limit: int = 200
) -> dict[str, Any]:
    """A page of the roots of the thread's tree by task: the tasks with recorded calls,
    in order of appearance (``total`` of them), and how many calls ran in no task."""
    grouping = _grouping(thread)
    view = grouping.view
    offset, limit = _page(offset, limit)
    out = []
    page = grouping.listed[offset : offset + limit]
    # The page's records read at once, in the order they are stored.
    known = view.records(n for task in page for n in view.fact_nodes(task))
    rows: dict[int, dict[str, Any]] = {}  # tasks made in the same call share its row
    for task in page:
        facts = view.facts(task, known)
        created_in = view.created_in(task)
        if created_in > 0 and created_in not in rows:
            rows[created_in] = row(trace, thread, created_in)
        task_id = view.ids[task]
        out.append(
            {
                "task_id": task_id,
                "label": task_text(task_id, facts.name, facts.coroutine),
                "calls": view.calls[task],
                "steps": len(view.steps[task]),
                "entries": grouping.entry_count(task, known),
                "eager": bool(view.eager[task]),
                "parent_task_id": facts.parent_task_id,
                "created_in": rows.get(created_in),
            }
        )
    outside = thread.calls_below[0] - view.calls_in_tasks()
    return {
        "thread": thread.key,
        "total": len(grouping.listed),
        "offset": offset,
        "tasks": out,
        "outside_calls": max(outside, 0),
        "note": RESUMES_AS_CALLS if view.resumes_as_calls else None,
    }


def task_index(thread: ThreadIndex, task_id: int) -> dict[str, Any]:
    """Where a task stands in the thread's task list (``index`` None: it is not listed)."""
    grouping = _grouping(thread)
    number = grouping.view.number.get(task_id)
    index = bisect.bisect_left(grouping.listed, number) if number is not None else None
    if index is not None and (index >= len(grouping.listed) or grouping.listed[index] != number):
        index = None
    return {"task": task_id, "index": index}


def task_entries(
    trace: TraceIndex, thread: ThreadIndex, task_id: int, offset: int, limit: int
) -> dict[str, Any]:
    """A page of a task root's entries: tree rows, and ``{"kind": "suspended"}`` notes."""
    grouping = _grouping(thread)
    entries = grouping.entries(_number_of(grouping, task_id))
    offset, limit = _page(offset, limit)
    items = [
        row(trace, thread, e) if type(e) is int else {"kind": "suspended", "text": e}
        for e in entries[offset : offset + limit]
    ]
    return {"task": task_id, "total": len(entries), "offset": offset, "items": items}


def task_children(
    trace: TraceIndex, thread: ThreadIndex, node: int, offset: int, limit: int
) -> dict[str, Any]:
    """A page of a node's children in the tree by task (node 0: the calls of no task)."""
    ids = _grouping(thread).kept_children(node)
    offset, limit = _page(offset, limit)
    items = [row(trace, thread, c) for c in ids[offset : offset + limit]]
    return {"node": node, "total": len(ids), "offset": offset, "items": items}


def task_path(thread: ThreadIndex, node: int) -> dict[str, Any]:
    """Where a node stands in the tree by task: its task (None: the thread's own calls),
    the task's place in the task list, and the nodes down to it, each with its place
    among what its parent shows."""
    grouping = _grouping(thread)
    owner = grouping.view.owner
    chain = [*thread.ancestors(node), node] if node > 0 else []
    task_id = None
    path: list[dict[str, Any]] = []
    parent = 0
    # The innermost step the node ran in: the last of its ancestors among a task's
    # entries (a step's own records are part of it, but no entry).
    for top in range(len(chain) - 1, -1, -1) if owner else ():
        task = owner[chain[top]]
        if task < 0:
            continue
        entries = grouping.entries(task)
        try:
            index = entries.index(chain[top])
        except ValueError:
            continue
        task_id = grouping.view.ids[task]
        path.append({"node": chain[top], "index": index})
        parent = chain[top]
        chain = chain[top + 1 :]
        break
    for step in chain:
        kept = grouping.kept_children(parent)
        try:
            index = kept.index(step)
        except ValueError:
            index = 0
        path.append({"node": step, "index": index})
        parent = step
    out: dict[str, Any] = {"task": task_id, "path": path}
    if task_id is not None:
        out["task_index"] = task_index(thread, task_id)["index"]
    return out
