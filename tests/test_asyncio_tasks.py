"""asyncio programs read task by task: the task records of both engines, the grouping, show --by task."""

from __future__ import annotations

import asyncio
import sys
import textwrap
import weakref
from pathlib import Path

import pytest
from engine_driver import records_of
from test_cli import vask_cmd
from vask.calltree import build_call_tree
from vask.tasktree import OutsideRoot, TaskRoot, TaskView, group_by_task

# -- the traced programs (module level: this file is the traced user code) ----


async def leaf(i):
    await asyncio.sleep(0.001 * i)
    return i * 2


async def fetch(i):
    value = await leaf(i)
    return value + 1


async def gather_main():
    return await asyncio.gather(fetch(0), fetch(1), fetch(2))


async def create_task_main():
    task = asyncio.create_task(fetch(3), name="solo")
    mine = await fetch(4)
    return mine + await task


async def group_main():
    async with asyncio.TaskGroup() as group:
        first = group.create_task(fetch(1), name="g1")
        second = group.create_task(fetch(2), name="g2")
    return first.result() + second.result()


async def sleeper():
    await asyncio.sleep(10)


async def cancel_main():
    task = asyncio.create_task(sleeper(), name="doomed")
    await asyncio.sleep(0)
    task.cancel()
    try:
        await task
    except asyncio.CancelledError:
        return "cancelled"
    return "not cancelled"


async def timeout_main():
    try:
        await asyncio.wait_for(sleeper(), 0.01)
    except asyncio.TimeoutError:  # TimeoutError from Python 3.11
        return "timed out"
    return "no timeout"


async def failing():
    await asyncio.sleep(0)
    raise ValueError("boom")


async def failure_main():
    task = asyncio.create_task(failing(), name="failing")
    try:
        await task
    except ValueError as error:
        return str(error)
    return "no error"


async def numbers(n):
    for i in range(n):
        await asyncio.sleep(0)
        yield i


async def agen_main():
    return [i async for i in numbers(3)]


async def quick(i):
    return i + 1


async def eager_main():
    loop = asyncio.get_running_loop()
    loop.set_task_factory(asyncio.eager_task_factory)
    waits = asyncio.create_task(fetch(1), name="waits")
    done = asyncio.create_task(quick(2), name="done")
    loop.set_task_factory(None)
    return await waits + await done


def trace(engine, main):
    """(result, TaskView, root) of ``asyncio.run(main())`` recorded by ``engine``."""
    result, doc = engine.run(lambda: asyncio.run(main()))
    (records,) = records_of(doc).values()
    root = build_call_tree(records)
    return result, group_by_task(root), root


def task_named(view: TaskView, name: str):
    (task,) = [t for t in view.tasks.values() if t.name == name]
    return task


def qualnames(task) -> list[str]:
    """Qualnames of the frames a task ran, step by step (resumes too), in order."""
    names = []
    for step in task.steps:
        for node in step.nodes:
            if node.kind == "call":
                names.append(node.record.get("co_name"))
                names += [n.record.get("co_name") for _, n in node.walk() if n.kind == "call"]
    return names


def top_task(view: TaskView):
    (task,) = [t for t in view.tasks.values() if t.coroutine and t.coroutine.endswith("_main")]
    return task


def test_gather_tasks_are_trees_started_by_the_gathering_call(engine):
    result, view, root = trace(engine, gather_main)
    assert result == [1, 3, 5]
    main = top_task(view)
    children = [t for t in view.tasks.values() if t.parent_task_id == main.task_id]
    assert [t.coroutine for t in children] == ["fetch", "fetch", "fetch"]
    for child in children:
        # Created in gather_main's frame, each its own tree: fetch over leaf, then resumed.
        assert child.created_in.record["co_name"] == "gather_main"
        assert qualnames(child)[:2] == ["fetch", "leaf"]
        assert qualnames(child)[2:] == ["fetch", "leaf"]
        assert len(child.steps) == 2
        assert child.steps[-1].end["done"] is True
    # The gathering task waits on exactly its three children.
    waits = main.steps[0].end["waiting_on"]
    assert waits["tasks"] == [c.task_id for c in children]
    # No call of a task stays at the thread's level.
    outside = [n for _, n in OutsideRoot(root, view).walk() if n.kind == "call"]
    assert {n.record.get("co_name") for n in outside} <= {"<lambda>"}


def test_create_task_names_and_its_creator(engine):
    result, view, _ = trace(engine, create_task_main)
    assert result == 7 + 9
    solo = task_named(view, "solo")
    main = top_task(view)
    assert solo.parent_task_id == main.task_id
    assert solo.coroutine == "fetch"
    assert solo.created_in.record["co_name"] == "create_task_main"
    # fetch(4) was awaited directly: it runs in the main task, not a task of its own.
    assert "fetch" in qualnames(main) and "leaf" in qualnames(main)
    assert len(view.tasks) >= 2


@pytest.mark.skipif(sys.version_info < (3, 11), reason="TaskGroup needs Python 3.11")
def test_task_group(engine):
    result, view, _ = trace(engine, group_main)
    assert result == 3 + 5
    main = top_task(view)
    for name in ("g1", "g2"):
        task = task_named(view, name)
        assert task.parent_task_id == main.task_id
        assert task.created_in.record["co_name"] == "group_main"
        assert qualnames(task)[:2] == ["fetch", "leaf"]


def test_cancelled_task_ends_with_its_cancellation(engine):
    result, view, _ = trace(engine, cancel_main)
    assert result == "cancelled"
    doomed = task_named(view, "doomed")
    assert len(doomed.steps) == 2  # started, then thrown into with the cancellation
    assert doomed.steps[0].end["done"] is False
    assert doomed.steps[-1].end["done"] is True
    last = doomed.steps[-1].nodes[0]
    assert last.record["co_name"] == "sleeper"
    if engine.monitor:
        assert last.end["event"] == "unwind"


def test_timeout_runs_the_awaited_coroutine_in_the_waiting_task(engine):
    result, view, _ = trace(engine, timeout_main)
    assert result == "timed out"
    main = top_task(view)
    # wait_for awaits the coroutine in the calling task (3.12) or wraps it in a task.
    owners = [t for t in view.tasks.values() if "sleeper" in qualnames(t)]
    assert len(owners) == 1
    assert owners[0] is main or owners[0].parent_task_id == main.task_id


def test_exception_in_a_task(engine):
    result, view, _ = trace(engine, failure_main)
    assert result == "boom"
    failing_task = task_named(view, "failing")
    assert failing_task.steps[-1].end["done"] is True
    last = failing_task.steps[-1].nodes[0]
    assert last.record["co_name"] == "failing"
    if engine.monitor:
        assert last.end["event"] == "unwind"


@pytest.mark.skipif(sys.version_info < (3, 12), reason="eager tasks need Python 3.12")
def test_eager_tasks_take_their_first_step_from_the_creator(engine):
    result, view, _ = trace(engine, eager_main)
    assert result == 3 + 3
    main = top_task(view)
    waits = task_named(view, "waits")
    # On 3.12 asyncio.create_task names a task only after the loop made it,
    # and "done" never runs a step after that: found by its coroutine.
    (done,) = [t for t in view.tasks.values() if t.coroutine == "quick"]
    assert waits.eager and done.eager and not main.eager
    # The first step ran inside create_task; the resume came through the loop.
    assert qualnames(waits) == ["fetch", "leaf", "fetch", "leaf"]
    assert waits.steps[0].end["done"] is False and waits.steps[-1].end["done"] is True
    assert [s.start.get("first_step") for s in waits.steps[1:]] == [False]
    assert qualnames(done) == ["quick"] and done.steps[0].end["done"] is True
    assert done.coroutine == "quick"  # named though done before create_task returned
    # The creating task keeps neither step, and counts neither's calls.
    root = TaskRoot(main, str, view)
    mine = [n.record.get("co_name") for _, n in root.walk() if n.kind == "call"]
    assert "fetch" not in mine and "quick" not in mine and "leaf" not in mine
    assert mine == ["eager_main", "eager_main"]
    assert main.calls == (1 if engine.monitor else 2)  # the profile hook's resume is a call


@pytest.mark.skipif(
    sys.version_info < (3, 11),
    reason="before 3.11 a recorded frame's locals snapshot (f_locals) keeps the coroutine",
)
def test_create_task_holds_no_coroutine_it_is_given(engine):
    async def never():
        pass

    def refused():
        loop = asyncio.new_event_loop()
        loop.close()
        coro = never()
        ref = weakref.ref(coro)
        try:
            loop.create_task(coro)
        except RuntimeError:
            pass
        coro.close()
        del coro
        return ref() is None

    assert engine.run(refused)[0] is True


def test_async_generator_runs_in_the_task_that_iterates_it(engine):
    result, view, _ = trace(engine, agen_main)
    assert result == [0, 1, 2]
    main = top_task(view)
    names = qualnames(main)
    assert names[0] == "agen_main"
    assert "numbers" in names
    assert len(main.steps) >= 4  # one per sleep(0) of the generator, and the first


def test_programs_without_asyncio_have_no_tasks(engine):
    def plain():
        return sum(range(3))

    _, doc = engine.run(plain)
    (records,) = records_of(doc).values()
    assert group_by_task(build_call_tree(records)).tasks == {}
    assert all(r.get("subtype") != "asyncio" for r in records)


# -- the command line ----------------------------------------------------------

PROGRAM = textwrap.dedent(
    """
    import asyncio

    async def leaf(i):
        await asyncio.sleep(0.001 * i)
        return i

    async def fetch(i):
        return await leaf(i)

    async def gather_all():
        return await asyncio.gather(fetch(0), fetch(1))

    asyncio.run(gather_all())
    """
)


def test_show_by_task(tmp_path: Path, engine):
    (tmp_path / "prog.py").write_text(PROGRAM)
    vask_cmd("run", "--engine", engine.name, "prog.py", cwd=tmp_path)
    by_thread = vask_cmd("traces", "show", "--color", "never", cwd=tmp_path).stdout
    out = vask_cmd("traces", "show", "--by", "task", "--color", "never", cwd=tmp_path).stdout
    assert "→ starts task" in by_thread
    header = [line for line in out.splitlines() if line.startswith("task ")]
    assert header[0].startswith("task 1 'Task-1' (gather_all)")
    assert [h.split(" · ")[-1] for h in header[1:]] == ["in gather_all", "in gather_all"]
    second = out.split("\ntask 2 ")[1].split("\ntask 3 ")[0]
    lines = second.splitlines()
    assert lines[1].startswith("  fetch(i=0)") and lines[2].startswith("    leaf(i=0)")
    assert "⏸ suspended" in second
    # The gathering call shows the tasks it started, where it started them.
    first = out.split("\ntask 1 ")[1].split("\ntask 2 ")[0]
    assert first.count("→ starts task") == 2
    assert "⏸ suspended" in first and "waiting on tasks 2, 3 (gather)" in first
    # The profile hook's resumes are calls, and the output says so.
    assert ("recorded by the profile hook" in out) is (not engine.monitor)
    assert ("[resume]" in second) is engine.monitor


class NoisyTask(asyncio.Task):
    """A task whose own methods would fail (or count) if the recorder called them."""

    calls = 0

    def get_name(self):
        NoisyTask.calls += 1
        raise RuntimeError("user get_name")

    def __repr__(self):
        NoisyTask.calls += 1
        raise RuntimeError("user repr")

    def __getattr__(self, name):
        NoisyTask.calls += 1
        raise AttributeError(name)


async def noisy_main():
    loop = asyncio.get_running_loop()
    loop.set_task_factory(lambda loop, coro, **kw: NoisyTask(coro, loop=loop, **kw))
    task = asyncio.create_task(fetch(1), name=12)  # asyncio makes the name a str
    return await task


def test_tasks_are_read_without_their_own_methods(engine):
    NoisyTask.calls = 0
    result, view, _ = trace(engine, noisy_main)
    assert result == 3
    task = task_named(view, "12")
    assert task.coroutine == "fetch"
    assert qualnames(task)[:2] == ["fetch", "leaf"]
    assert NoisyTask.calls == 0


def test_chrome_export_names_each_calls_task(tmp_path: Path, engine):
    import json

    (tmp_path / "prog.py").write_text(PROGRAM)
    vask_cmd("run", "--engine", engine.name, "prog.py", cwd=tmp_path)
    vask_cmd("traces", "export", "latest", "-o", "out.json", cwd=tmp_path)
    events = json.loads((tmp_path / "out.json").read_text())["traceEvents"]
    calls = [e for e in events if e.get("cat") == "call"]
    tasks = {(e["name"].split("(")[0], e["args"].get("task_id")) for e in calls}
    assert ("gather_all", 1) in tasks
    fetch_tasks = {t for name, t in tasks if name == "fetch"}
    leaf_tasks = {t for name, t in tasks if name == "leaf"}
    assert fetch_tasks == leaf_tasks == {2, 3}
    module = [e for e in calls if e["name"].startswith("module")]
    assert all("task_id" not in e["args"] for e in module)
