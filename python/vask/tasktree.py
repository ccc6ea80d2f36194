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
trees alike (anything with ``kind``, ``record``, ``children``, ``walk``).  A
thread's index is grouped by :class:`IndexedTasks` instead: from its flat
arrays, decoding only the plugin records, keeping a few numbers per task and
per step and making a task's :class:`TaskTree` only when it is asked for, so
that tens of thousands of tasks over millions of calls group in about a
second and a reader holds one task at a time.
"""

from __future__ import annotations

from array import array
from collections.abc import Callable, Iterable, Iterator, Mapping
from dataclasses import dataclass, field
from typing import Any

from vask.asynctasks import STEP_END_TYPE, STEP_TYPE, TASK_CREATED_TYPE
from vask.document import record_time
from vask.traceindex import (
    NODE_CALL,
    TASK_CREATED_EAGER,
    TASK_STEP,
    TASK_STEP_END,
    IndexNode,
    ThreadIndex,
)

__all__ = [
    "RESUMES_AS_CALLS",
    "IndexedTasks",
    "Note",
    "Step",
    "TaskFacts",
    "TaskTree",
    "TaskView",
    "group_by_task",
    "task_label",
    "task_text",
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

    def calls_in_tasks(self) -> int:
        """Calls that ran in a task's step."""
        return sum(task.calls for task in self.tasks.values())


def _is_call(node: Any) -> bool:
    return node.kind == "call" and (node.start is None or node.start.get("event") == "call")


def _task_id(record: dict[str, Any]) -> int | None:
    value = record.get("task_id")
    return value if type(value) is int else None


def _text(record: dict[str, Any] | None, key: str) -> str | None:
    value = record.get(key) if record is not None else None
    return value if isinstance(value, str) else None


def group_by_task(root: Any) -> TaskView | IndexedTasks:
    """Group the calls under ``root`` (a thread's root node) by the task they ran in.

    The root of an indexed thread is grouped from the index (:class:`IndexedTasks`).
    """
    if isinstance(root, IndexNode) and root.node == 0:
        return IndexedTasks(root.thread)
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


_NONE = -1
# Record kinds (vask.traceindex.EVENT_NAMES) of a call's first record.
_CALL_EVENT, _RESUME_EVENTS = 0, (3, 5)


class _Nodes:
    """``key in nodes``: whether a node of the thread is part of a task's step."""

    __slots__ = ("owner",)

    def __init__(self, owner: array) -> None:
        self.owner = owner

    def __contains__(self, key: Any) -> bool:
        return type(key) is int and 0 <= key < len(self.owner) and self.owner[key] >= 0


class _LazyTasks(Mapping[int, TaskTree]):
    """Task id -> its :class:`TaskTree`, made when asked for (in order of first record)."""

    def __init__(self, index: IndexedTasks) -> None:
        self._index = index

    def __getitem__(self, task_id: int) -> TaskTree:
        return self._index.tree(self._index.number[task_id])

    def __iter__(self) -> Iterator[int]:
        return iter(self._index.ids)

    def __len__(self) -> int:
        return len(self._index.ids)


@dataclass
class TaskFacts:
    """What a task's records say of it (read from them when asked for)."""

    name: str | None
    coroutine: str | None
    parent_task_id: int | None
    created: dict[str, Any] | None


class IndexedTasks:
    """A thread's calls by task, grouped from its index as :func:`group_by_task` groups
    a tree.

    The index keeps each asyncio record's kind and task id
    (:attr:`vask.traceindex.ThreadIndex.task_codes`), so grouping reads no
    record but an eager task's creation.  Tasks are numbered in order of their
    first record; per task and per step a few numbers are kept, and ``owner``
    gives, per node of the thread, the task whose step it is part of (a step's
    records and its top-level nodes; -1: none; empty when the thread has no
    task).  A step's nodes are the siblings from its "asyncio_step" record to
    its "asyncio_step_end" record (or the next step's record at that level, or
    the end of the list), less one claimed by an eager task's first step.
    The :class:`TaskView` interface
    (``tasks``, ``in_steps``, ``outside``, ``resumes_as_calls``) makes each
    :class:`TaskTree` when asked for it; :meth:`facts` reads names.
    """

    def __init__(self, thread: ThreadIndex) -> None:
        self.thread = thread
        # (none at all for a thread without tasks: no node is in a step)
        self.owner = array("i", [_NONE]) * (thread.nodes if thread.task_nodes else 0)
        #: Per task number: its id (and task id -> number).
        self.ids: list[int] = []
        self.number: dict[int, int] = {}
        #: Per task: its creation record's node (-1: none).
        self.created = array("i")
        self.eager = bytearray()
        #: Per task: the calls it ran, and the nodes its steps hold (calls and records).
        self.calls = array("q")
        self.nodes = array("i")
        #: Per task: its steps' numbers, in order.
        self.steps: list[list[int]] = []
        # Per step: its task, its first record's node, the sibling it stops before
        # (-1: the end of the list), its end record's node (-1: none), and for an
        # eager first step (whose first record is the creation record) its call.
        self.step_task = array("i")
        self.step_start = array("i")
        self.step_stop = array("i")
        self.step_end = array("i")
        self.step_first = array("i")
        self.tasks: Mapping[int, TaskTree] = _LazyTasks(self)
        self.in_steps = _Nodes(self.owner)
        self._resumes_as_calls: bool | None = None
        self._group()

    # -- grouping ----------------------------------------------------------

    def _task(self, task_id: int) -> int:
        number = self.number.get(task_id)
        if number is None:
            number = self.number[task_id] = len(self.ids)
            self.ids.append(task_id)
            self.created.append(_NONE)
            self.eager.append(0)
            self.calls.append(0)
            self.nodes.append(0)
            self.steps.append([])
        return number

    def _new_step(self, task: int, start: int, first: int = _NONE) -> int:
        step = len(self.step_task)
        self.step_task.append(task)
        self.step_start.append(start)
        self.step_stop.append(_NONE)
        self.step_end.append(_NONE)
        self.step_first.append(first)
        return step

    def _close(self, step: int, stop: int) -> None:
        """Ends a step before sibling ``stop`` (-1: the end): its nodes are known now."""
        thread = self.thread
        next_sibling, kind, owner = thread.next_sibling, thread.kind, self.owner
        calls_below, open_rec, rec_kind = thread.calls_below, thread.open_rec, thread.rec_kind
        task = self.step_task[step]
        self.step_stop[step] = stop
        calls = nodes = 0
        node = next_sibling[self.step_start[step]]
        while node != _NONE and node != stop:
            if owner[node] == _NONE:  # else claimed by an eager task's first step
                owner[node] = task
                nodes += 1
                calls += calls_below[node]
                if kind[node] == NODE_CALL:
                    first = open_rec[node]
                    calls += first < 0 or rec_kind[first] == _CALL_EVENT
            node = next_sibling[node]
        self.calls[task] += calls
        self.nodes[task] += nodes

    def _previous_sibling(self, node: int) -> int:
        thread = self.thread
        parent, next_sibling = thread.parent, thread.next_sibling
        top = parent[node]
        # Nodes are made in record order: the one made just before is the previous
        # sibling or below it (unless a call that began before tracing adopted it).
        before = node - 1
        if before == top:
            return _NONE
        while before > 0 and parent[before] != top:
            before = parent[before]
        if before > 0 and next_sibling[before] == node:
            return before
        before = _NONE
        for child in thread.iter_children(top):
            if child == node:
                return before
            before = child
        return _NONE

    def _group(self) -> None:
        thread = self.thread
        parent, owner = thread.parent, self.owner
        open_steps: dict[int, int] = {}  # parent node -> its open step
        lend_later: list[tuple[int, int]] = []  # (an eager task's call, the creating call)
        number, steps, new_task = self.number, self.steps, self._task
        step_task, step_start, step_stop = self.step_task, self.step_start, self.step_stop
        step_end, step_first = self.step_end, self.step_first
        for node, code, task_id in zip(
            thread.task_nodes, thread.task_codes, thread.task_ids, strict=True
        ):
            top = parent[node]
            if code == TASK_STEP:  # the common record: its step made here, not in _new_step
                task = number.get(task_id)
                if task is None:
                    task = new_task(task_id)
                was = open_steps.get(top)
                if was is not None:
                    self._close(was, node)
                open_steps[top] = step = len(step_task)
                step_task.append(task)
                step_start.append(node)
                step_stop.append(_NONE)
                step_end.append(_NONE)
                step_first.append(_NONE)
                steps[task].append(step)
                owner[node] = task
            elif code == TASK_STEP_END:
                step = open_steps.pop(top, _NONE)
                if step != _NONE:
                    self.step_end[step] = node
                    owner[node] = self.step_task[step]
                    self._close(step, node)
            else:
                task = self._task(task_id)
                self.created[task] = node
                if code == TASK_CREATED_EAGER:
                    self._eager(task, node, top in open_steps, lend_later)
        for step in open_steps.values():
            self._close(step, _NONE)
        for first, top in lend_later:
            # The task the creating call ran in: that of the innermost step holding it.
            at = top
            while at > 0 and owner[at] == _NONE:
                at = parent[at]
            if at > 0:
                self.calls[owner[at]] -= thread.calls_below[first] + 1

    def _eager(
        self, task: int, created: int, in_step: bool, lend_later: list[tuple[int, int]]
    ) -> None:
        """A task that ran its first step in the creating call: the call of its coroutine
        just before its creation record (if recorded) is that step."""
        thread = self.thread
        self.eager[task] = 1
        record = thread.record(thread.open_rec[created])
        coroutine = _text(record, "coroutine") if isinstance(record, dict) else None
        before = self._previous_sibling(created)
        first = _NONE
        if before > 0 and _first_start_of(IndexNode(thread, before), coroutine):
            first = before
        step = self._new_step(task, created, first)
        self.steps[task].insert(0, step)
        if first == _NONE:
            return
        # Among a step's own nodes it is claimed (that step leaves it out); nested
        # in a call of a step, its calls are lent by that step's task.
        self.owner[first] = task
        self.nodes[task] += 1
        self.calls[task] += thread.calls_below[first] + 1
        if not in_step:
            lend_later.append((first, thread.parent[created]))

    # -- reading -----------------------------------------------------------

    def _is_eager_step(self, step: int) -> bool:
        task = self.step_task[step]
        return bool(self.eager[task]) and self.step_start[step] == self.created[task]

    def step_nodes(self, step: int) -> Iterator[int]:
        """The nodes of a step, in order."""
        if self._is_eager_step(step):
            first = self.step_first[step]
            if first != _NONE:
                yield first
            return
        next_sibling, owner = self.thread.next_sibling, self.owner
        task, stop = self.step_task[step], self.step_stop[step]
        node = next_sibling[self.step_start[step]]
        while node != _NONE and node != stop:
            if owner[node] == task:
                yield node
            node = next_sibling[node]

    def records(self, nodes: Iterable[int]) -> dict[int, dict[str, Any]]:
        """The records of plugin ``nodes`` (-1s left out), read in the order they are
        stored: the records of many tasks lie far apart, and read in that order the
        parts of the trace each needs are read once."""
        thread = self.thread
        open_rec = thread.open_rec
        out: dict[int, dict[str, Any]] = {}
        for node in sorted(n for n in set(nodes) if n != _NONE):
            record = thread.record(open_rec[node])
            if isinstance(record, dict):
                out[node] = record
        return out

    def _record(self, node: int, known: dict[int, dict[str, Any]] | None) -> dict[str, Any] | None:
        if node == _NONE:
            return None
        if known is not None and node in known:
            return known[node]
        record = self.thread.record(self.thread.open_rec[node])
        return record if isinstance(record, dict) else None

    def step_records(
        self, step: int, known: dict[int, dict[str, Any]] | None = None
    ) -> tuple[dict[str, Any], dict[str, Any] | None]:
        """A step's start and end records (an eager first step's: the creation record)."""
        start = self._record(self.step_start[step], known) or {}
        if self._is_eager_step(step):
            return start, start
        return start, self._record(self.step_end[step], known)

    def fact_nodes(self, task: int) -> list[int]:
        """The record nodes :meth:`facts` and :meth:`still_suspended` read (mostly)."""
        steps = self.steps[task]
        last = [s for s in steps[-1:] if not self._is_eager_step(s)]
        return [self.created[task], *(self.step_start[s] for s in last)] + [
            self.step_end[s] for s in last
        ]

    def facts(self, task: int, known: dict[int, dict[str, Any]] | None = None) -> TaskFacts:
        """The name, coroutine, creating task and creation record of task number ``task``
        (``known``: records already read, by node; see :meth:`records`).

        As :func:`group_by_task` reads them: the name the last step gives, else
        the creation's (asyncio before 3.11 names a task once it is created);
        the coroutine the creation names, else the first step that does.
        """
        created = self._record(self.created[task], known)
        name = coroutine = None
        steps = [s for s in self.steps[task] if not self._is_eager_step(s)]
        if steps:
            name = _text(self._record(self.step_start[steps[-1]], known), "task_name")
        name = name or _text(created, "task_name")
        coroutine = _text(created, "coroutine")
        for step in steps if coroutine is None else ():
            coroutine = _text(self._record(self.step_start[step], known), "coroutine")
            if coroutine is not None:
                break
        parent_id = created.get("parent_task_id") if created is not None else None
        return TaskFacts(name, coroutine, parent_id if type(parent_id) is int else None, created)

    def still_suspended(self, task: int, known: dict[int, dict[str, Any]] | None = None) -> bool:
        """Whether the task's last step ended with the task not done."""
        steps = self.steps[task]
        if not steps:
            return False
        end = self.step_records(steps[-1], known)[1]
        return end is not None and end.get("done") is False

    def created_in(self, task: int) -> int:
        """The call task number ``task`` was created in (-1: none, or at the top level)."""
        node = self.created[task]
        return self.thread.parent[node] if node != _NONE else _NONE

    def tree(self, task: int) -> TaskTree:
        """Task number ``task`` as a :class:`TaskTree` of index nodes."""
        thread = self.thread
        facts = self.facts(task)
        created_in = self.created_in(task)
        out = TaskTree(
            self.ids[task],
            name=facts.name,
            coroutine=facts.coroutine,
            parent_task_id=facts.parent_task_id,
            created=facts.created,
            created_in=IndexNode(thread, created_in) if created_in > 0 else None,
            eager=bool(self.eager[task]),
        )
        for step in self.steps[task]:
            start, end = self.step_records(step)
            nodes = [IndexNode(thread, n) for n in self.step_nodes(step)]
            out.steps.append(Step(start, end, nodes))
        # TaskTree.calls is its steps' calls less those lent: the count made here.
        out.lent = sum(n.calls_below + _is_call(n) for step in out.steps for n in step.nodes)
        out.lent -= self.calls[task]
        return out

    @property
    def resumes_as_calls(self) -> bool:
        """As :attr:`TaskView.resumes_as_calls`."""
        if self._resumes_as_calls is None:
            self._resumes_as_calls = self._find_resumes_as_calls()
        return self._resumes_as_calls

    def _find_resumes_as_calls(self) -> bool:
        thread = self.thread
        kind, open_rec, rec_kind = thread.kind, thread.open_rec, thread.rec_kind
        resumed = False
        for steps in self.steps:
            for step in steps[1:]:
                resumed = True
                for node in self.step_nodes(step):
                    first = open_rec[node]
                    if kind[node] == NODE_CALL and first >= 0 and rec_kind[first] in _RESUME_EVENTS:
                        return False
        return resumed

    def outside(self, node: Any) -> bool:
        """Whether the node is not part of any task's step."""
        return node.key not in self.in_steps

    def calls_in_tasks(self) -> int:
        """Calls that ran in a task's step."""
        return sum(self.calls)


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
    return task_text(task.task_id, task.name, task.coroutine)


def task_text(task_id: int, name: str | None, coroutine: str | None) -> str:
    """``task 3 'Task-2' (fetch)``, from a task's id, name and coroutine."""
    label = f"task {task_id}"
    if name is not None:
        label += f" {name!r}"
    if coroutine is not None:
        label += f" ({coroutine})"
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
        self,
        task: TaskTree,
        duration: Callable[[float], str],
        view: TaskView | IndexedTasks | None = None,
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

    def __init__(self, root: Any, view: TaskView | IndexedTasks) -> None:
        self.root = root
        self.view = view
        self.key = root.key

    @property
    def calls_below(self) -> int:
        return max(self.root.calls_below - self.view.calls_in_tasks(), 0)

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
