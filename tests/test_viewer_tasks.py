"""The viewer's tree by asyncio task: its requests, and the "By task" toggle in a browser."""

from __future__ import annotations

import threading
from collections.abc import Iterator
from http.server import ThreadingHTTPServer
from pathlib import Path

import pytest
from test_asyncio_tasks import PROGRAM
from test_cli import vask_cmd
from test_viewer_browser import (  # noqa: F401
    _why_not,
    browser,
    click_row,
    errors,
    open_trace,
    rows,
    wait,
)
from test_viewer_server import get_json, ready
from tracedocs import task_document
from vask import db
from vask.viewer.server import Viewer, make_server

MANY = "trc_01MANYTASKSMANYTASKSMANYTA"
#: Tasks of the trace of many tasks: more than two pages of the largest size.
MANY_TASKS = 1234


def _serve(path: Path) -> tuple[Viewer, ThreadingHTTPServer]:
    viewer = Viewer(path)
    httpd = make_server(viewer, 0)
    thread = threading.Thread(target=httpd.serve_forever, daemon=True)
    thread.start()
    return viewer, httpd


@pytest.fixture(scope="module")
def many(tmp_path_factory: pytest.TempPathFactory) -> Iterator[tuple[str, int]]:
    """A server of a trace whose main task gathers MANY_TASKS tasks of two steps each."""
    path = tmp_path_factory.mktemp("many-tasks") / "db.sqlite3"
    db.save_trace(MANY, msgpack_data=task_document(MANY, MANY_TASKS, leaves=2), db_path=path)
    viewer, httpd = _serve(path)
    yield httpd.server_address
    httpd.shutdown()
    httpd.server_close()
    viewer.close()


def test_the_task_list_is_served_a_page_at_a_time(many) -> None:
    ready(many, MANY)
    base = f"/api/trace/{MANY}/tasks?thread=native_1"
    seen: list[int] = []
    offset = 0
    while True:
        status, page = get_json(many, f"{base}&offset={offset}&limit=500")
        assert status == 200 and page["offset"] == offset
        assert page["total"] == MANY_TASKS + 1  # and main's
        assert len(page["tasks"]) == min(500, page["total"] - offset)
        seen += [t["task_id"] for t in page["tasks"]]
        offset += len(page["tasks"])
        if offset >= page["total"]:
            break
    # Every task once, in order of its first record; the same order page after page.
    assert seen == list(range(1, MANY_TASKS + 2))
    _, again = get_json(many, f"{base}&offset=700&limit=3")
    assert [t["task_id"] for t in again["tasks"]] == seen[700:703]
    _, beyond = get_json(many, f"{base}&offset={MANY_TASKS + 5}&limit=10")
    assert beyond["tasks"] == [] and beyond["total"] == MANY_TASKS + 1
    # A page's facts: each gathered task ran two steps of work(), each over two leaves.
    far = again["tasks"][0]
    assert far["label"] == f"task {far['task_id']} 'Task-{far['task_id']}' (work)"
    assert (far["calls"], far["steps"], far["entries"]) == (5, 2, 3)  # a resume is no call
    assert far["parent_task_id"] == 1 and far["created_in"]["label"].endswith("main")
    assert page["outside_calls"] == 1  # the module's body
    # Where a task stands in the list, and a node of a far task found with it.
    _, where = get_json(many, f"{base}&index_of={far['task_id']}")
    assert where == {"task": far["task_id"], "index": 700}
    _, where = get_json(many, f"{base}&index_of=999999")
    assert where["index"] is None
    _, entries = get_json(many, f"{base}&task={far['task_id']}")
    resumed = entries["items"][2]["node"]
    _, below = get_json(
        many, f"/api/trace/{MANY}/children?thread=native_1&node={resumed}&group=task"
    )
    leaf = below["items"][1]["node"]
    _, path = get_json(many, f"{base}&node={leaf}")
    assert path["task"] == far["task_id"] and path["task_index"] == 700
    assert path["path"] == [{"node": resumed, "index": 2}, {"node": leaf, "index": 1}]
    # The module's level keeps none of the tasks' steps, a page at a time too.
    _, top = get_json(many, f"/api/trace/{MANY}/children?thread=native_1&node=0&group=task")
    module = top["items"][0]["node"]
    _, level = get_json(
        many, f"/api/trace/{MANY}/children?thread=native_1&node={module}&group=task&limit=5"
    )
    assert level["total"] == 1 and level["items"][0]["starts_task"] == 1
    status, _ = get_json(many, f"{base}&limit=0&offset=-4")
    assert status == 200


@pytest.fixture(scope="module")
def served(tmp_path_factory: pytest.TempPathFactory) -> Iterator[tuple[tuple[str, int], str]]:
    work = tmp_path_factory.mktemp("tasks")
    (work / "prog.py").write_text(PROGRAM)
    vask_cmd("run", "prog.py", cwd=work)
    path = work / ".vask" / "db.sqlite3"
    trace_id = db.list_traces(path)[0].trace_id
    viewer, httpd = _serve(path)
    yield httpd.server_address, trace_id
    httpd.shutdown()
    httpd.server_close()
    viewer.close()


def test_tasks_requests_serve_the_tree_by_task(served) -> None:
    server, trace_id = served
    summary = ready(server, trace_id)
    (thread,) = [t["key"] for t in summary["threads"]]
    base = f"/api/trace/{trace_id}"
    status, body = get_json(server, f"{base}/tasks?thread={thread}")
    assert status == 200
    labels = [t["label"] for t in body["tasks"]]
    assert labels == [
        "task 1 'Task-1' (gather_all)",
        "task 2 'Task-2' (fetch)",
        "task 3 'Task-3' (fetch)",
    ]
    assert body["outside_calls"] == 1  # the module's body
    gathered = body["tasks"][1]
    assert gathered["parent_task_id"] == 1 and gathered["entries"] == 3
    assert gathered["created_in"]["label"].endswith("gather_all")
    # A task's root, paged like any level of the tree.
    status, page = get_json(server, f"{base}/tasks?thread={thread}&task=2&offset=1&limit=5")
    assert status == 200 and page["total"] == 3 and page["offset"] == 1
    assert [r["kind"] for r in page["items"]] == ["suspended", "call"]
    resumed = page["items"][1]["node"]
    # Below a task's call, the thread's own tree; the node is found in its task.
    status, below = get_json(server, f"{base}/children?thread={thread}&node={resumed}&group=task")
    assert status == 200 and below["items"][0]["label"].endswith("leaf")
    leaf = below["items"][0]["node"]
    status, where = get_json(server, f"{base}/tasks?thread={thread}&node={leaf}")
    assert where["task"] == 2
    assert where["path"] == [{"node": resumed, "index": 2}, {"node": leaf, "index": 0}]
    # The gathering call links to the tasks it started.
    creator = gathered["created_in"]["node"]
    status, below = get_json(server, f"{base}/children?thread={thread}&node={creator}&group=task")
    assert [r.get("starts_task") for r in below["items"] if "starts_task" in r] == [2, 3]
    status, _ = get_json(server, f"{base}/tasks?thread={thread}&task=99")
    assert status == 400


@pytest.mark.skipif(_why_not() is not None, reason=str(_why_not()))
def test_by_task_toggle_regroups_the_tree_and_links_open_tasks(browser, served) -> None:  # noqa: F811
    (host, port), trace_id = served
    open_trace(browser, f"http://{host}:{port}", trace_id)
    browser.execute_script("document.getElementById('by-task').click()")
    # A root per task after the thread's; the first task open.
    wait(browser, lambda d: any(r.startswith("▸task 3 'Task-3' (fetch)") for r in rows(d)))
    wait(browser, lambda d: rows(d)[1].startswith("▾task 1 'Task-1' (gather_all)"))
    shown = rows(browser)
    assert shown[0].startswith("▸thread MainThread") and "1 call outside tasks" in shown[0]
    assert shown[1].startswith("▾task 1 'Task-1' (gather_all)")
    assert any("⏸ suspended" in r and "waiting on tasks 2, 3 (gather)" in r for r in shown)
    click_row(browser, "gather_all()", ".tw")
    wait(browser, lambda d: any("→ starts task 3" in r for r in rows(d)))
    # A "starts task" link opens that task's tree.
    browser.execute_script(
        "[...document.querySelectorAll('#tree-rows a.task-link')]"
        ".find(a => a.textContent.includes('starts task 3')).click()"
    )
    opened = "const r = document.querySelector('#tree-rows .row.selected'); return r?.textContent;"
    wait(browser, lambda d: (d.execute_script(opened) or "").startswith("▾task 3"))
    wait(browser, lambda d: any("fetch(i=1)" in r for r in rows(d)))
    # The page's address keeps the grouping: opened again, the tree is by task.
    assert "by=task" in browser.execute_script("return location.hash")
    browser.get("about:blank")
    browser.get(f"http://{host}:{port}/#trace={trace_id}&by=task")
    wait(browser, lambda d: any(r.startswith("▸task 3 'Task-3'") for r in rows(d)))
    # Toggled back: the tree by thread.
    browser.execute_script("document.getElementById('by-task').click()")
    wait(browser, lambda d: not any(r.startswith(("▸task", "▾task")) for r in rows(d)))
    wait(browser, lambda d: rows(d)[0].startswith("▾thread MainThread"))
    assert "by=task" not in browser.execute_script("return location.hash")
    assert errors(browser) == []


@pytest.mark.skipif(_why_not() is not None, reason=str(_why_not()))
def test_a_long_task_list_loads_as_it_is_scrolled_and_opens_far_tasks(browser, many) -> None:  # noqa: F811
    host, port = many
    browser.get("about:blank")
    browser.get(f"http://{host}:{port}/#trace={MANY}&by=task")
    wait(browser, lambda d: any(r.startswith("▸task 2 'Task-2'") for r in rows(d)))
    listed = "return S.rows.filter(r => r.type === 'task').length"
    assert browser.execute_script(listed) == 200
    gap = (
        "return S.rows.filter(r => r.type === 'gap' && r.group === 'tasklist')"
        ".map(r => r.to - r.from)"
    )
    assert browser.execute_script(gap) == [MANY_TASKS + 1 - 200]
    # Scrolled to the end, the list loads its next page, and the next.
    for pages in (2, 3):
        browser.execute_script(
            "const t = document.getElementById('tree'); t.scrollTop = t.scrollHeight;"
        )
        wait(browser, lambda d, n=pages: d.execute_script(listed) >= 200 * n)
    # A task far down the list opens where it stands, its page loaded around it.
    far = MANY_TASKS - 3
    browser.execute_script(f"openTask('{MANY}', 'native_1', {far})")
    opened = "const r = document.querySelector('#tree-rows .row.selected'); return r?.textContent;"
    wait(browser, lambda d: (d.execute_script(opened) or "").startswith(f"▾task {far} "))
    order = browser.execute_script("return S.rows.filter(r => r.type === 'task').map(r => r.node)")
    assert order == sorted(order) and len(order) == len(set(order))
    # Each task is shown once or counted once in a gap row of those not loaded yet.
    assert far in order
    assert sum(browser.execute_script(gap)) + len(order) == MANY_TASKS + 1
    assert errors(browser) == []


def test_a_thread_without_tasks_is_its_own_tree_by_task() -> None:
    from tracedocs import big_document
    from vask import traceindex
    from vask.viewer import tasks as viewer_tasks

    trace = traceindex.build_index(MANY, [big_document(MANY, 600, batch=200)])
    (thread,) = trace.ordered_threads()
    listing = viewer_tasks.tasks(trace, thread)
    assert (listing["total"], listing["tasks"], listing["outside_calls"]) == (0, [], 600)
    main = thread.first_child[0]
    batches = viewer_tasks.task_children(trace, thread, main, 0, 500)
    assert [r["node"] for r in batches["items"]] == list(thread.iter_children(main))
    leaf = thread.first_child[batches["items"][-1]["node"]]
    where = viewer_tasks.task_path(thread, leaf)
    assert where["task"] is None and [p["node"] for p in where["path"]][-1] == leaf
