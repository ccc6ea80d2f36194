"""asyncio tasks as trees of their own in the viewer's tree by task and as tracks in the exports.

One program runs each way of starting a task (gather, create_task, TaskGroup,
an eager start), a cancelled task and a failing one; it is recorded once per
engine and read through the viewer's requests and both exporters.
"""

from __future__ import annotations

import io
import json
import sys
import textwrap
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import pytest
from engine_driver import ENGINE_PARAMS
from test_cli import vask_cmd
from vask import db, traceindex
from vask.export import write_chrome_trace, write_speedscope
from vask.viewer import tasks as viewer_tasks

PROGRAM = textwrap.dedent(
    """
    import asyncio
    import sys

    async def leaf(i):
        await asyncio.sleep(0.001 * i)
        return i

    async def fetch(i):
        return await leaf(i)

    async def quick(i):
        return i + 1

    async def sleeper():
        await asyncio.sleep(10)

    async def failing():
        await asyncio.sleep(0)
        raise ValueError("boom")

    async def gathering():
        return await asyncio.gather(fetch(1), fetch(2))

    async def creating():
        return await asyncio.create_task(fetch(3), name="solo")

    async def grouping():
        async with asyncio.TaskGroup() as group:
            group.create_task(fetch(4), name="g1")
            group.create_task(fetch(5), name="g2")

    async def cancelling():
        task = asyncio.create_task(sleeper(), name="doomed")
        await asyncio.sleep(0)
        task.cancel()
        try:
            await task
        except asyncio.CancelledError:
            pass

    async def raising():
        try:
            await asyncio.create_task(failing(), name="failing")
        except ValueError:
            pass

    async def eagerly():
        loop = asyncio.get_running_loop()
        loop.set_task_factory(asyncio.eager_task_factory)
        waits = asyncio.create_task(fetch(6), name="eager-waits")
        done = asyncio.create_task(quick(7), name="eager-done")
        loop.set_task_factory(None)
        return await waits + await done

    async def main():
        await gathering()
        await creating()
        if sys.version_info >= (3, 11):
            await grouping()
        await cancelling()
        await raising()
        if sys.version_info >= (3, 12):
            await eagerly()

    asyncio.run(main())
    """
)

PROFILE_TITLE = " (profile hook: each resume of a task is a new call)"
needs_312 = pytest.mark.skipif(sys.version_info < (3, 12), reason="eager tasks need Python 3.12")


class Recorded:
    """The program's trace as the viewer reads it: its tasks, their entries, the tree by task."""

    def __init__(self, engine: str, work: Path, trace: traceindex.TraceIndex) -> None:
        self.engine = engine
        self.work = work
        self.trace = trace
        (self.thread,) = trace.ordered_threads()
        self.listing = viewer_tasks.tasks(trace, self.thread)
        self.by_id = {t["task_id"]: t for t in self.listing["tasks"]}

    @property
    def monitor(self) -> bool:
        return self.engine == "monitor"

    def task(self, *, name: str | None = None, coroutine: str | None = None) -> dict[str, Any]:
        found = [
            t
            for t in self.listing["tasks"]
            if (name is None or f" {name!r}" in t["label"])
            and (coroutine is None or t["label"].endswith(f"({coroutine})"))
        ]
        assert len(found) == 1, (name, coroutine, [t["label"] for t in self.listing["tasks"]])
        return found[0]

    def entries(self, task: dict[str, Any]) -> list[dict[str, Any]]:
        page = viewer_tasks.task_entries(self.trace, self.thread, task["task_id"], 0, 500)
        assert page["total"] == task["entries"] == len(page["items"])
        return page["items"]

    def below(self, node: int) -> list[dict[str, Any]]:
        return viewer_tasks.task_children(self.trace, self.thread, node, 0, 500)["items"]

    def labels_below(self, node: int) -> list[str]:
        return [r["label"] for r in self.below(node)]


@pytest.fixture(scope="module", params=ENGINE_PARAMS)
def recorded(
    request: pytest.FixtureRequest, tmp_path_factory: pytest.TempPathFactory
) -> Iterator[Recorded]:
    work = tmp_path_factory.mktemp(f"tasks-{request.param}")
    (work / "prog.py").write_text(PROGRAM)
    vask_cmd("run", "--engine", request.param, "prog.py", cwd=work)
    path = work / ".vask" / "db.sqlite3"
    trace = traceindex.open_trace(path, db.list_traces(path)[0].trace_id)
    try:
        yield Recorded(request.param, work, trace)
    finally:
        trace.close()


def calls_of(items: list[dict[str, Any]]) -> list[str]:
    return [r["label"] for r in items if r["kind"] == "call"]


# -- the viewer's tree by task ---------------------------------------------------


def test_each_task_is_a_root_and_its_creator_links_to_it(recorded: Recorded) -> None:
    main = recorded.task(coroutine="main")
    assert main["parent_task_id"] is None
    fetches = [t for t in recorded.listing["tasks"] if t["parent_task_id"] == main["task_id"]]
    gathered = [t for t in fetches if t["created_in"]["label"].endswith("gathering")]
    assert len(gathered) == 2
    for task in gathered:
        items = recorded.entries(task)
        # fetch over leaf, suspended on the sleep, then resumed to its return.
        assert [r["kind"] for r in items] == ["call", "suspended", "call"]
        assert all(label.endswith("fetch") for label in calls_of(items))
        assert "waiting on" in items[1]["text"]
        assert [x.endswith("leaf") for x in recorded.labels_below(items[0]["node"])] == [True]
        # The gathering call shows a link to each task it started.
        links = [
            r["starts_task"]
            for r in recorded.below(task["created_in"]["node"])
            if "starts_task" in r
        ]
        assert task["task_id"] in links
    # The profile hook sees no resumes, and the listing says so.
    assert (recorded.listing["note"] is not None) is (not recorded.monitor)
    # No task's step is left at the thread's level (nor its records).
    top = recorded.below(0)
    assert [r["label"] for r in top] == ["module __main__"]
    assert all(not r["label"].startswith("asyncio_step") for r in recorded.below(top[0]["node"]))


def test_create_task_and_task_group(recorded: Recorded) -> None:
    solo = recorded.task(name="solo")
    assert solo["created_in"]["label"].endswith("creating")
    assert calls_of(recorded.entries(solo))[0].endswith("fetch")
    if sys.version_info >= (3, 11):
        for name in ("g1", "g2"):
            task = recorded.task(name=name)
            assert task["created_in"]["label"].endswith("grouping")
            assert task["steps"] == 2 and task["calls"] >= 2


def test_cancelled_and_failing_tasks_end_their_trees(recorded: Recorded) -> None:
    doomed = recorded.entries(recorded.task(name="doomed"))
    assert [r["kind"] for r in doomed] == ["call", "suspended", "call"]
    assert all(label.endswith("sleeper") for label in calls_of(doomed))
    failing = recorded.entries(recorded.task(name="failing"))
    assert calls_of(failing)[-1].endswith("failing")
    if recorded.monitor:
        assert doomed[-1]["status"] == "unwind" and "CancelledError" in doomed[-1]["value"]
        assert failing[-1]["status"] == "unwind" and "boom" in failing[-1]["value"]


@needs_312
def test_eager_tasks_own_their_first_step(recorded: Recorded) -> None:
    eager = [t for t in recorded.listing["tasks"] if t["eager"]]
    assert [t["label"].rsplit("(", 1)[-1] for t in eager] == ["fetch)", "quick)"]
    waits, done = eager
    first = recorded.entries(waits)
    # The first step ran inside eagerly(): it is the task's, the resume after it too.
    assert [r["kind"] for r in first] == ["call", "suspended", "call"]
    assert recorded.labels_below(first[0]["node"])[0].endswith("leaf")
    (quick,) = calls_of(recorded.entries(done))
    assert quick.endswith("quick")
    # The creating call keeps only the links to them.
    creator = waits["created_in"]
    assert creator["label"].endswith("eagerly")
    below = recorded.below(creator["node"])
    assert not any(r["kind"] == "call" and r["label"].endswith(("fetch", "quick")) for r in below)
    starts = [r for r in below if "starts_task" in r]
    assert [r["starts_task"] for r in starts] == [waits["task_id"], done["task_id"]]
    assert all("eagerly" in r["args"] for r in starts)
    # The tree by task places a node of the first step under its own task.
    where = viewer_tasks.task_path(recorded.thread, first[0]["node"])
    listed = [t["task_id"] for t in recorded.listing["tasks"]].index(waits["task_id"])
    assert where == {
        "task": waits["task_id"],
        "path": [{"node": first[0]["node"], "index": 0}],
        "task_index": listed,
    }


def test_a_node_is_found_in_its_task(recorded: Recorded) -> None:
    solo = recorded.task(name="solo")
    fetch = recorded.entries(solo)[-1]
    (leaf,) = recorded.below(fetch["node"])
    where = viewer_tasks.task_path(recorded.thread, leaf["node"])
    assert where["task"] == solo["task_id"]
    assert [p["node"] for p in where["path"]] == [fetch["node"], leaf["node"]]
    assert where["path"][0]["index"] == solo["entries"] - 1
    # The module's frame ran in no task.
    (module,) = recorded.below(0)
    assert viewer_tasks.task_path(recorded.thread, module["node"])["task"] is None


# -- the exports ---------------------------------------------------------------


def chrome(recorded: Recorded, by_task: bool) -> list[dict[str, Any]]:
    out = io.StringIO()
    write_chrome_trace(recorded.trace, out, by_task=by_task)
    return json.loads(out.getvalue())["traceEvents"]


def test_chrome_export_by_task_has_a_track_per_task(recorded: Recorded) -> None:
    events = chrome(recorded, by_task=True)
    names = {e["tid"]: e["args"]["name"] for e in events if e["name"] == "thread_name"}
    calls = [e for e in events if e.get("cat") == "call"]
    # Every call once, as without tracks per task.
    plain = [e for e in chrome(recorded, by_task=False) if e.get("cat") == "call"]
    assert sorted(e["ts"] for e in calls) == sorted(e["ts"] for e in plain)
    for task in recorded.listing["tasks"]:
        (tid,) = [t for t, n in names.items() if n.startswith(f"task {task['task_id']}:")]
        on_track = [e for e in calls if e["tid"] == tid]
        assert on_track and all(e["args"]["task_id"] == task["task_id"] for e in on_track)
    # The thread's track keeps only what ran in no task; task tracks come after it.
    (thread_tid,) = [t for t, n in names.items() if not n.startswith("task ")]
    assert [e["name"] for e in calls if e["tid"] == thread_tid] == ["module __main__"]
    doomed = recorded.task(name="doomed")
    (tid,) = [t for t, n in names.items() if n.startswith(f"task {doomed['task_id']}: doomed")]
    assert [e["name"] for e in calls if e["tid"] == tid] == ["sleeper", "sleeper"]
    if recorded.monitor:
        assert "CancelledError" in [e for e in calls if e["tid"] == tid][-1]["args"]["exception"]
    failing = recorded.task(name="failing")
    (tid,) = [t for t, n in names.items() if n.startswith(f"task {failing['task_id']}:")]
    assert [e["name"] for e in calls if e["tid"] == tid] == ["failing", "failing"]
    if sys.version_info >= (3, 12):
        waits = next(t for t in recorded.listing["tasks"] if t["eager"])
        (tid,) = [t for t, n in names.items() if n.startswith(f"task {waits['task_id']}:")]
        assert [e["name"] for e in calls if e["tid"] == tid] == ["fetch", "leaf", "fetch", "leaf"]


def test_speedscope_export_by_task_has_a_profile_per_task(recorded: Recorded) -> None:
    out = io.StringIO()
    write_speedscope(recorded.trace, out, by_task=True)
    document = json.loads(out.getvalue())
    frames = [f["name"] for f in document["shared"]["frames"]]
    profiles = {p["name"]: p for p in document["profiles"]}
    thread = list(profiles)[0]
    # The profile hook's resumes are calls, and the thread's profile says so.
    assert thread == "MainThread" + ("" if recorded.monitor else PROFILE_TITLE)
    assert len(profiles) == 1 + len(recorded.listing["tasks"])

    def opened(name: str) -> list[str]:
        return [frames[e["frame"]] for e in profiles[name]["events"] if e["type"] == "O"]

    assert opened(thread) == ["module __main__"]
    for task in recorded.listing["tasks"]:
        (name,) = [n for n in profiles if f" · task {task['task_id']}:" in n]
        events = profiles[name]["events"]
        # Balanced and in time order: each step's calls nest within the profile.
        assert [e["at"] for e in events] == sorted(e["at"] for e in events)
        assert sum(1 if e["type"] == "O" else -1 for e in events) == 0
    solo = recorded.task(name="solo")
    (name,) = [n for n in profiles if f" · task {solo['task_id']}: solo" in n]
    assert opened(name) == ["fetch", "leaf", "fetch", "leaf"]
    # Without the option: a profile per thread, as before.
    plain = io.StringIO()
    write_speedscope(recorded.trace, plain)
    assert [p["name"] for p in json.loads(plain.getvalue())["profiles"]] == ["MainThread"]


def test_export_command_by_task(recorded: Recorded) -> None:
    vask_cmd("traces", "export", "latest", "--by", "task", "-o", "out.json", cwd=recorded.work)
    events = json.loads((recorded.work / "out.json").read_text())["traceEvents"]
    tracks = [e["args"]["name"] for e in events if e["name"] == "thread_name"]
    assert tracks[1] == "task 1: Task-1 (main)"
    assert tracks[0] == "MainThread" + ("" if recorded.monitor else PROFILE_TITLE)


# -- the grouping from the index ---------------------------------------------------


def _shape(view: Any, label: Any) -> list[tuple[Any, ...]]:
    """Each task of a grouping as plain facts: the same whatever the tree's nodes are."""
    return [
        (
            task.task_id,
            task.name,
            task.coroutine,
            task.parent_task_id,
            task.eager,
            task.calls,
            task.created_in is not None,
            [
                (label(step.start), label(step.end), [label(n.record) for n in step.nodes])
                for step in task.steps
            ],
        )
        for task in view.tasks.values()
    ]


def test_index_grouping_agrees_with_the_tree_of_decoded_records(recorded: Recorded) -> None:
    from vask.calltree import build_call_tree
    from vask.document import merge_documents
    from vask.tasktree import IndexedTasks, TaskView, group_by_task

    def label(record: dict[str, Any] | None) -> Any:
        if record is None:
            return None
        keys = ("type", "event", "qualname", "task_id", "timestamp")
        return tuple(record.get(k) for k in keys)

    path = recorded.work / ".vask" / "db.sqlite3"
    trace_id = recorded.trace.trace_id
    merged = merge_documents(trace_id, db.load_trace(path, trace_id))
    (decoded,) = merged.ordered_threads()
    tree = build_call_tree(decoded.records)
    by_tree = group_by_task(tree)
    by_index = group_by_task(traceindex.IndexNode(recorded.thread, 0))
    assert isinstance(by_tree, TaskView) and isinstance(by_index, IndexedTasks)
    assert len(by_index.tasks) == len(by_tree.tasks) >= 8
    # In order of their first record (here each task's creation, which numbers it).
    assert list(by_index.tasks) == sorted(by_index.tasks)
    assert sorted(_shape(by_index, label)) == sorted(_shape(by_tree, label))
    assert by_index.resumes_as_calls == by_tree.resumes_as_calls
    assert by_index.calls_in_tasks() == by_tree.calls_in_tasks()
