"""asyncio tasks recorded as plugin records, so a trace can be read task by task.

Three built-in plugins (see :data:`vask.plugins.BUILTIN_PLUGINS`) watch two
functions of asyncio itself:

- ``BaseEventLoop.create_task`` (asyncio/base_events.py), at its return: an
  "asyncio_task_created" record with the new task's id, name and coroutine,
  and the task that created it.  ``asyncio.create_task``, ``gather``,
  ``ensure_future``, ``TaskGroup.create_task`` and ``asyncio.run`` all create
  their tasks there; the record's ``user_code_call_site`` names the recorded
  call (and its line) that made the task.
- ``Handle._run`` (asyncio/events.py), the event loop running one callback:
  when the callback is a step of a task (its first start or a resume), an
  "asyncio_step" record at the call names the task, and an
  "asyncio_step_end" record at the return says whether the task is done or
  what it now waits on.  Every frame recorded between the two ran in that
  task: a coroutine's first start within the step (the task's own coroutine
  at its first step, or a coroutine awaited by a running one, nested under
  its awaiter's frame) and the resumes of suspended ones.

Nothing here calls code of the traced program: tasks are read through the
methods and attributes of asyncio's own Task classes (C code for the C Task)
taken from those classes, never looked up on the object, and names are
asyncio's or set by the program (always ``str``: asyncio converts them).
A program that never imports asyncio pays nothing beyond the plugin
registry's lookup of the names ``_run`` and ``create_task``.

Tasks that start eagerly (``eager_task_factory``, ``eager_start``) run their
first step inside ``create_task``, not in ``Handle._run``: its frames come
just before the "asyncio_task_created" record, nested in the creating call.
``create_task`` is watched at its call too (no record there): the coroutine it
is given, if not yet started then and started by the return, ran its first
step eagerly, and the record says so with ``eager`` (and, as a step's end
record does, ``done`` and ``waiting_on``).  The coroutine's name is read at
the call, while the task still holds it.
"""

from __future__ import annotations

import os
import sys
import threading
import types
import weakref
from typing import Any

__all__ = ["STEP_END_TYPE", "STEP_TYPE", "TASK_CREATED_TYPE", "task_plugins"]

STEP_TYPE = "asyncio_step"
STEP_END_TYPE = "asyncio_step_end"
TASK_CREATED_TYPE = "asyncio_task_created"
SUBTYPE = "asyncio"

# Callback types whose ``__self__`` is read without running program code: the
# C Task's step wrapper, built-in bound methods (the C Task's wakeup) and
# Python bound methods (the pure-Python Task's __step and __wakeup).
_BOUND_TYPES = (types.BuiltinMethodType, types.MethodType)
_WRAPPER_NAMES = frozenset(("TaskStepMethWrapper", "TaskWakeupMethWrapper"))


_found_classes: tuple[type, ...] = ()


def _task_classes() -> tuple[type, ...]:
    """asyncio's Task classes (C and Python), once asyncio is imported; kept once found."""
    global _found_classes
    if _found_classes:
        return _found_classes
    tasks = sys.modules.get("asyncio.tasks")
    if tasks is None:
        return ()
    found = []
    for name in ("_CTask", "_PyTask", "Task"):
        cls = getattr(tasks, name, None)
        if isinstance(cls, type) and cls not in found:
            found.append(cls)
    _found_classes = tuple(found)
    return _found_classes


def _base_task_class(obj: Any) -> type | None:
    """The asyncio Task class ``obj`` is an instance of (by its type's MRO), or None."""
    mro = type(obj).__mro__
    for cls in _task_classes():
        if cls in mro:
            return cls
    return None


class _TaskIds:
    """A serial number per task, the same for every record of the task in this process.

    Keyed by the task's address, each entry checked by a weak reference (an
    address may be reused once a task is gone); the entry goes with the task.
    """

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._entries: dict[int, tuple[Any, int, list[bool]]] = {}
        self._gone: list[tuple[int, Any]] = []
        self._next = 1

    def lookup(self, task: Any) -> int:
        """The task's id."""
        with self._lock:
            return self._entry(task)[1]

    def start(self, task: Any) -> bool:
        """Whether this is the task's first step (it has not been started before)."""
        with self._lock:
            unstarted = self._entry(task)[2]
            first = unstarted[0]
            unstarted[0] = False
            return first

    def _entry(self, task: Any) -> tuple[Any, int, list[bool]]:
        while self._gone:  # entries of tasks that are gone (appended by the weakref callback)
            key, ref = self._gone.pop()
            entry = self._entries.get(key)
            if entry is not None and entry[0] is ref:
                del self._entries[key]
        entry = self._entries.get(id(task))
        if entry is None or entry[0]() is not task:
            entry = self._add(task)
        return entry

    def _add(self, task: Any) -> tuple[Any, int, list[bool]]:
        key = id(task)
        gone = self._gone
        try:
            # The callback may run at any allocation, even under the lock: it
            # only appends (atomic), the next lookup removes the entry.
            ref: Any = weakref.ref(task, lambda r: gone.append((key, r)))
        except TypeError:  # no weak references: the task is kept (rare subclasses)
            ref = lambda: task
        entry = (ref, self._next, [True])
        self._next += 1
        self._entries[key] = entry
        return entry


_ids = _TaskIds()
_open_steps = threading.local()


# On 3.12, the C Task's get_coro() of a task that finished eagerly (inside
# create_task) has no coroutine left to give, and crashes the interpreter
# (untraced programs that ask crash too): a done task is never asked there.
_CORO_OF_DONE_TASK_CRASHES = sys.version_info[:2] == (3, 12)


def _task_facts(task: Any, base: type) -> dict[str, Any]:
    """Id, name and coroutine of a task, read through asyncio's own Task methods."""
    task_id = _ids.lookup(task)
    facts: dict[str, Any] = {"task_id": task_id, "task_name": None, "coroutine": None}
    try:
        name = base.get_name(task)  # type: ignore[attr-defined]
        facts["task_name"] = name if type(name) is str else None
        if _CORO_OF_DONE_TASK_CRASHES and base.done(task):  # type: ignore[attr-defined]
            return facts
        coro = base.get_coro(task)  # type: ignore[attr-defined]
    except Exception:  # noqa: BLE001 - a task asyncio cannot describe: id only
        return facts
    if type(coro) in (types.CoroutineType, types.GeneratorType):
        facts["coroutine"] = coro.__qualname__
    elif coro is not None:
        facts["coroutine"] = type(coro).__qualname__
    return facts


def _stepped_task(frame: types.FrameType) -> Any:
    """The task whose step the ``Handle._run`` frame runs, or None."""
    events = sys.modules.get("asyncio.events")
    handle_type = getattr(events, "Handle", None)
    if handle_type is None:
        return None
    handle = frame.f_locals.get("self")
    if handle_type not in type(handle).__mro__:
        return None
    callback = handle_type._callback.__get__(handle, handle_type)
    kind = type(callback)
    if kind not in _BOUND_TYPES and kind.__name__ not in _WRAPPER_NAMES:
        return None
    owner = getattr(callback, "__self__", None)
    return owner if _base_task_class(owner) is not None else None


def _step_matches(frame: types.FrameType, event: str, arg: Any, context: dict[str, Any]) -> bool:
    open_steps = getattr(_open_steps, "frames", None)
    if open_steps is None:
        open_steps = _open_steps.frames = {}
    if event == "call":
        try:
            task = _stepped_task(frame)
        except Exception:  # noqa: BLE001 - not a handle asyncio made: not a step
            return False
        if task is None:
            return False
        open_steps[id(frame)] = task
        return True
    return id(frame) in open_steps


def _step_record(frame: types.FrameType, event: str, arg: Any, context: dict[str, Any]) -> Any:
    open_steps = _open_steps.frames
    if event == "call":
        task = open_steps[id(frame)]
        base = _base_task_class(task)
        assert base is not None
        facts = _task_facts(task, base)
        facts["first_step"] = _ids.start(task)
        return facts
    task = open_steps.pop(id(frame))
    base = _base_task_class(task)
    assert base is not None
    task_id = _ids.lookup(task)
    record: dict[str, Any] = {"task_id": task_id}
    try:
        done = base.done(task)  # type: ignore[attr-defined]
        record["done"] = bool(done) if type(done) is bool else None
        waiter = base._fut_waiter.__get__(task, base)  # type: ignore[attr-defined]
    except Exception:  # noqa: BLE001 - its state unknown: the id alone
        return record
    try:
        record["waiting_on"] = _waiting_on(waiter)
    except Exception:  # noqa: BLE001 - a foreign future: what it is stays unknown
        record["waiting_on"] = None
    return record


def _waiting_on(waiter: Any) -> Any:
    """What a suspended task waits on: task ids, or the kind of future; None when nothing."""
    if waiter is None:
        return None
    base = _base_task_class(waiter)
    if base is not None:
        return {"tasks": [_ids.lookup(waiter)]}
    children = None
    tasks = sys.modules.get("asyncio.tasks")
    gathering = getattr(tasks, "_GatheringFuture", None)
    if isinstance(gathering, type) and gathering in type(waiter).__mro__:
        # asyncio's own class (no __getattr__, no descriptor of that name):
        # the generic lookup reads the instance's own attribute.
        children = object.__getattribute__(waiter, "_children")
    if type(children) is list:
        ids = [_ids.lookup(c) for c in children if _base_task_class(c) is not None]
        return {"tasks": ids, "future": "gather"}
    return {"future": type(waiter).__qualname__}


def _unstarted(coro: Any) -> bool:
    """Whether ``coro`` is a coroutine that has not run yet (read from its own C attributes)."""
    if type(coro) is not types.CoroutineType:
        return False
    return not _started(coro)


def _started(coro: Any) -> bool:
    """Whether the coroutine has run (it is suspended, running or finished)."""
    if coro.cr_frame is None or coro.cr_running:
        return True
    if sys.version_info >= (3, 11):
        return bool(coro.cr_suspended)
    return coro.cr_frame.f_lasti >= 0


def _created_matches(frame: types.FrameType, event: str, arg: Any, context: dict[str, Any]) -> bool:
    pending = getattr(_open_steps, "creating", None)
    if pending is None:
        pending = _open_steps.creating = {}
    if event == "call":
        # The coroutine create_task was given, while it is still unstarted: an
        # eager start runs it before the return.  Never a record by itself;
        # held weakly (keeping it would change when the program's unawaited
        # coroutines go), until the frame returns or unwinds.
        try:
            coro = frame.f_locals.get("coro")
            if _unstarted(coro):
                pending[id(frame)] = weakref.ref(coro)
            else:
                pending.pop(id(frame), None)
        except Exception:  # noqa: BLE001 - a frame that cannot be read: no eager start seen
            pending.pop(id(frame), None)
        return False
    ref = pending.pop(id(frame), None)
    coro = ref() if ref is not None else None
    if event != "return" or sys.modules.get("asyncio.tasks") is None:
        return False
    if _base_task_class(arg) is None:
        return False
    _open_steps.created_coro = coro  # for _created_record, next on this thread
    return True


def _created_record(frame: types.FrameType, event: str, arg: Any, context: dict[str, Any]) -> Any:
    base = _base_task_class(arg)
    assert base is not None
    record = _task_facts(arg, base)
    coro = getattr(_open_steps, "created_coro", None)
    _open_steps.created_coro = None
    if coro is not None and _started(coro):
        # Its first step ran inside create_task: no Handle._run step will be its first.
        _ids.start(arg)
        record["eager"] = True
        if record["coroutine"] is None:
            record["coroutine"] = coro.__qualname__
        try:
            done = base.done(arg)  # type: ignore[attr-defined]
            record["done"] = bool(done) if type(done) is bool else None
            waiter = base._fut_waiter.__get__(arg, base)  # type: ignore[attr-defined]
            record["waiting_on"] = _waiting_on(waiter)
        except Exception:  # noqa: BLE001 - its state unknown: the flag alone
            pass
    record["parent_task_id"] = None
    tasks = sys.modules.get("asyncio.tasks")
    current = getattr(tasks, "current_task", None)
    try:
        # C code: the running loop's current task (none before the loop runs).
        parent = current() if current is not None else None
    except Exception:  # noqa: BLE001 - no running loop: no creating task
        parent = None
    if parent is not None and _base_task_class(parent) is not None:
        record["parent_task_id"] = _ids.lookup(parent)
    return record


def _path(*parts: str) -> str:
    return os.sep + os.sep.join(parts)


def task_plugins() -> list[dict[str, Any]]:
    """The plugin descriptions that record asyncio tasks."""
    return [
        {
            "co_names": ["_run"],
            "path_fragment": _path("asyncio", "events.py"),
            "call_type": STEP_TYPE,
            "return_type": STEP_END_TYPE,
            "subtype": SUBTYPE,
            "events": ["call", "return", "unwind"],
            "call": _step_matches,
            "process": _step_record,
        },
        {
            "co_names": ["create_task"],
            "path_fragment": _path("asyncio", "base_events.py"),
            "call_type": TASK_CREATED_TYPE,
            "return_type": TASK_CREATED_TYPE,
            "subtype": SUBTYPE,
            "events": ["call", "return", "unwind"],
            "call": _created_matches,
            "process": _created_record,
        },
    ]
