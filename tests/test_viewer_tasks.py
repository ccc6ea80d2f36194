"""The viewer's tree by asyncio task: its requests, and the "By task" toggle in a browser."""

from __future__ import annotations

import threading
from collections.abc import Iterator

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
from vask import db
from vask.viewer.server import Viewer, make_server


@pytest.fixture(scope="module")
def served(tmp_path_factory: pytest.TempPathFactory) -> Iterator[tuple[tuple[str, int], str]]:
    work = tmp_path_factory.mktemp("tasks")
    (work / "prog.py").write_text(PROGRAM)
    vask_cmd("run", "prog.py", cwd=work)
    path = work / ".vask" / "db.sqlite3"
    trace_id = db.list_traces(path)[0].trace_id
    viewer = Viewer(path)
    httpd = make_server(viewer, 0)
    thread = threading.Thread(target=httpd.serve_forever, daemon=True)
    thread.start()
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
