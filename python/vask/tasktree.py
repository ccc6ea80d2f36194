"""A thread's calls grouped by asyncio task, from the records of :mod:`vask.asynctasks`.

In a thread's call tree the records of one step of a task ("asyncio_step",
then "asyncio_step_end") are siblings, and the calls between them ran in that
task: its coroutine's first start or resume, and what that awaited, nested
where it was awaited.  :func:`group_by_task` collects, per task, its steps in
order (with the stretches it was suspended in between), its creation record
and the call that created it; every call outside a step stays with the
thread.

A task started eagerly (its "asyncio_task_created" record has ``eager``) ran
its first step inside the creating call: the call of its coroutine just
before that record is that step, taken out of the creating task's tree.

Works on :class:`vask.traceindex.IndexNode` and :class:`vask.calltree.CallNode`
trees alike (anything with ``kind``, ``record``, ``children``, ``walk``).
"""

from __future__ import annotations

from collections.abc import Callable, Iterator
from dataclasses import dataclass, field
from typing import Any

from vask.asynctasks import STEP_END_TYPE, STEP_TYPE, TASK_CREATED_TYPE
from vask.document import record_time

__all__ = [
    "RESUMES_AS_CALLS",
    "Note",
    "Step",
    "TaskTree",
    "TaskView",
    "group_by_task",
    "task_label",
]

#: What a reader is told when :attr:`TaskView.resumes_as_calls`.
RESUMES_AS_CALLS = (
    "recorded by the profile hook, which sees no resumes: each time a task resumes, "
    "its coroutines show as new calls; the monitor engine, on Python 3.12 and later, "
    "records them as resumes"
)


@dataclass
class Step:
    """One step of a task: the calls it ran, between its two records."""

    start: dict[str, Any]
    end: dict[str, Any] | None = None
    nodes: list[Any] = field(default_factory=list)


@dataclass
class TaskTree:
    """One task: its steps in order, and where it was created."""

    task_id: int
    name: str | None = None
    coroutine: str | None = None
    parent_task_id: int | None = None
    created: dict[str, Any] | None = None
    #: The call (a node) the task was created in, when it was recorded.
    created_in: Any = None
    steps: list[Step] = field(default_factory=list)
    #: Whether its first step ran inside the creating call (an eager start).
    eager: bool = False
    #: Calls below its steps' nodes that ran in other tasks' eager first steps.
    lent: int = 0

    @property
    def calls(self) -> int:
        """Calls the task ran (resumed parts are not calls)."""
        total = -self.lent
        for step in self.steps:
            for node in step.nodes:
                total += node.calls_below + _is_call(node)
        return total


@dataclass
class TaskView:
    """A thread's calls by task: the tasks in order of their first record, and the rest."""

    tasks: dict[int, TaskTree]
    #: Keys of the nodes that ran in a step (left out of the thread's own tree).
    in_steps: set[Any]

    @property
    def resumes_as_calls(self) -> bool:
        """Whether resumed coroutines were recorded as new calls (the profile hook's way):
        some task ran more than one step and no step began with a resume."""
        resumed = False
        for task in self.tasks.values():
            for step in task.steps[1:]:
                resumed = True
                for node in step.nodes:
                    if node.kind == "call" and (node.start or {}).get("event") in (
                        "resume",
                        "throw",
                    ):
                        return False
        return resumed

    def outside(self, node: Any) -> bool:
        """Whether the node is not part of any task's step."""
        return node.key not in self.in_steps


def _is_call(node: Any) -> bool:
    return node.kind == "call" and (node.start is None or node.start.get("event") == "call")


def _task_id(record: dict[str, Any]) -> int | None:
    value = record.get("task_id")
    return value if type(value) is int else None


def _text(record: dict[str, Any] | None, key: str) -> str | None:
    value = record.get(key) if record is not None else None
    return value if isinstance(value, str) else None


def group_by_task(root: Any) -> TaskView:
    """Group the calls under ``root`` (a thread's root node) by the task they ran in."""
    tasks: dict[int, TaskTree] = {}
    in_steps: set[Any] = set()
    step_names: dict[int, str | None] = {}

    def task(task_id: int) -> TaskTree:
        found = tasks.get(task_id)
        if found is None:
            found = tasks[task_id] = TaskTree(task_id)
        return found

    # Each parent's children are scanned in order; a step is open from its
    # start record to the end record of the same task among the same siblings.
    # Each parent comes with the task it ran in (None: the thread's own).
    pending: list[tuple[Any, TaskTree | None]] = [(root, None)]
    while pending:
        parent, around = pending.pop()
        step: Step | None = None
        owner: TaskTree | None = None
        previous: Any = None
        for child in parent.children:
            record = child.record if child.kind == "plugin" else None
            rtype = record.get("type") if record is not None else None
            if rtype == STEP_TYPE and _task_id(record) is not None:
                owner = task(_task_id(record))  # type: ignore[arg-type]
                # A name given after the creation (asyncio before 3.11 names a
                # task once create_task has returned) is the step's.
                step_names[owner.task_id] = _text(record, "task_name") or owner.name
                owner.coroutine = owner.coroutine or _text(record, "coroutine")
                step = Step(record)
                owner.steps.append(step)
                in_steps.add(child.key)
                previous = None
                continue
            if rtype == STEP_END_TYPE and step is not None:
                step.end = record
                in_steps.add(child.key)
                step = owner = None
                previous = None
                continue
            if rtype == TASK_CREATED_TYPE and _task_id(record) is not None:
                created = task(_task_id(record))  # type: ignore[arg-type]
                created.created = record
                created.created_in = parent if parent is not root else None
                created.name = created.name or _text(record, "task_name")
                created.coroutine = _text(record, "coroutine") or created.coroutine
                parent_id = record.get("parent_task_id")
                created.parent_task_id = parent_id if type(parent_id) is int else None
                if record.get("eager") is True:
                    created.eager = True
                    first = previous if _first_start_of(previous, created.coroutine) else None
                    # Its first step: the start of its coroutine, just before the record.
                    created.steps.insert(0, Step(record, record, [first] if first else []))
                    if first is not None:
                        if step is not None and step.nodes and step.nodes[-1] is first:
                            step.nodes.pop()
                        lender = owner if step is not None else around
                        if lender is not None:
                            lender.lent += first.calls_below + 1
                        in_steps.add(first.key)
                        # Its callees ran in the new task: it was queued last, with the old one.
                        if pending and pending[-1][0] is first:
                            pending[-1] = (first, created)
            if step is not None:
                step.nodes.append(child)
                in_steps.add(child.key)
            if child.kind == "call":
                pending.append((child, owner if step is not None else around))
            previous = child
    for task_id, name in step_names.items():
        if name is not None:
            tasks[task_id].name = name
    return TaskView(tasks, in_steps)


def _first_start_of(node: Any, coroutine: str | None) -> bool:
    """Whether ``node`` is the first start of a frame of the coroutine named ``coroutine``."""
    if node is None or node.kind != "call" or coroutine is None:
        return False
    if node.start is None or node.start.get("event") != "call":
        return False
    # The record's qualname is module-qualified ("pkg.mod.Class.meth"), the
    # coroutine's is not ("Class.meth").
    name = node.record.get("qualname")
    if isinstance(name, str):
        return name == coroutine or name.endswith("." + coroutine)
    return node.record.get("co_name") == coroutine.rsplit(".", 1)[-1]


def task_label(task: TaskTree) -> str:
    """``task 3 'Task-2' (fetch)``."""
    label = f"task {task.task_id}"
    if task.name is not None:
        label += f" {task.name!r}"
    if task.coroutine is not None:
        label += f" ({task.coroutine})"
    return label


def waiting_text(record: dict[str, Any] | None) -> str:
    """What a step's end record says the task waits on, as text ("" when nothing is known)."""
    waiting = record.get("waiting_on") if record is not None else None
    if not isinstance(waiting, dict):
        return ""
    ids = waiting.get("tasks")
    future = waiting.get("future")
    if isinstance(ids, list) and ids:
        what = "task" + ("s " if len(ids) != 1 else " ") + ", ".join(str(i) for i in ids)
        return f"waiting on {what}" + (f" ({future})" if isinstance(future, str) else "")
    if isinstance(future, str):
        return f"waiting on a {future}"
    return ""


class Note:
    """A line of its own in a task's tree (a step's start, a suspended stretch)."""

    kind = "note"
    calls_below = 0
    children: tuple[Any, ...] = ()

    def __init__(self, text: str, key: Any) -> None:
        self.text = text
        self.key = key
        self.record: dict[str, Any] = {}


def _gap(end: dict[str, Any] | None, start: dict[str, Any] | None) -> float | None:
    first = record_time(end) if end is not None else None
    second = record_time(start) if start is not None else None
    if first is None or second is None or second < first:
        return None
    return second - first


class TaskRoot:
    """A task's tree shaped for :func:`vask.render.render_tree`: each step's calls at the
    top level, and a note before each step after the first saying how long the task was
    suspended and what it waited on."""

    kind = "root"

    def __init__(
        self, task: TaskTree, duration: Callable[[float], str], view: TaskView | None = None
    ) -> None:
        self.task = task
        self.duration = duration
        self.key = ("task", task.task_id)
        #: Nodes of other tasks' steps (eager first steps nested in this task's calls).
        self.elsewhere: set[Any] = view.in_steps if view is not None else set()

    @property
    def calls_below(self) -> int:
        return self.task.calls

    def walk(
        self,
        max_depth: int | None = None,
        descend: Callable[[Any], bool] | None = None,
        assignments: bool = False,
    ) -> Iterator[tuple[int, Any]]:
        previous: Step | None = None
        for number, step in enumerate(self.task.steps):
            if previous is not None:
                text = "⏸ suspended"
                gap = _gap(previous.end, step.start)
                if gap is not None:
                    text += f" {self.duration(gap)}"
                waiting = waiting_text(previous.end)
                if waiting:
                    text += f", {waiting}"
                yield 0, Note(text, ("suspended", self.task.task_id, number))
            elsewhere = self.elsewhere

            def go_below(node: Any) -> bool:
                return node.key not in elsewhere and (descend is None or descend(node))

            for node in step.nodes:
                yield 0, node
                if max_depth is not None and max_depth <= 1:
                    continue
                if descend is not None and not descend(node):
                    continue
                below = max_depth - 1 if max_depth is not None else None
                for depth, child in node.walk(below, go_below, assignments):
                    if child.kind == "assign" or child.key not in elsewhere:
                        yield depth + 1, child
            previous = step
        if previous is not None and previous.end is not None:
            done = previous.end.get("done")
            if done is False:
                waiting = waiting_text(previous.end)
                text = "⏸ still suspended when the trace ended"
                yield (
                    0,
                    Note(text + (f", {waiting}" if waiting else ""), ("end", self.task.task_id)),
                )


class OutsideRoot:
    """A thread's tree without the calls that ran in a task's step (for
    :func:`vask.render.render_tree`)."""

    kind = "root"

    def __init__(self, root: Any, view: TaskView) -> None:
        self.root = root
        self.view = view
        self.key = root.key

    @property
    def calls_below(self) -> int:
        total = self.root.calls_below
        for task in self.view.tasks.values():
            total -= task.calls
        return max(total, 0)

    def walk(
        self,
        max_depth: int | None = None,
        descend: Callable[[Any], bool] | None = None,
        assignments: bool = False,
    ) -> Iterator[tuple[int, Any]]:
        def go_below(node: Any) -> bool:
            return self.view.outside(node) and (descend is None or descend(node))

        for depth, node in self.root.walk(max_depth, go_below, assignments):
            if node.kind != "assign" and not self.view.outside(node):
                continue
            yield depth, node
