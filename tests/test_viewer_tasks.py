"""The viewer's grouping by asyncio task: the tasks request and the "By task" toggle."""

from __future__ import annotations

import threading
from collections.abc import Iterator

import pytest
from test_asyncio_tasks import PROGRAM
from test_cli import vask_cmd
from test_viewer_browser import _why_not, browser, errors, open_trace, wait  # noqa: F401
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


def test_tasks_request_lists_each_task_with_its_steps(served) -> None:
    server, trace_id = served
    summary = ready(server, trace_id)
    (thread,) = [t["key"] for t in summary["threads"]]
    status, body = get_json(server, f"/api/trace/{trace_id}/tasks?thread={thread}")
    assert status == 200
    labels = [t["label"] for t in body["tasks"]]
    assert labels == [
        "task 1 'Task-1' (gather_all)",
        "task 2 'Task-2' (fetch)",
        "task 3 'Task-3' (fetch)",
    ]
    gathered = body["tasks"][1]
    assert gathered["parent_task_id"] == 1
    assert gathered["created_in"]["label"].endswith("gather_all")
    kinds = [r["kind"] for r in gathered["rows"]]
    assert kinds == ["call", "suspended", "call"]
    assert gathered["rows"][0]["label"].endswith("fetch")
    # Each call row names a node of the call tree, which answers for it.
    node = gathered["rows"][2]["node"]
    status, detail = get_json(server, f"/api/trace/{trace_id}/node?thread={thread}&node={node}")
    assert status == 200 and detail["label"].endswith("fetch")


@pytest.mark.skipif(_why_not() is not None, reason=str(_why_not()))
def test_by_task_toggle_shows_task_trees_linked_to_the_call_tree(browser, served) -> None:  # noqa: F811
    (host, port), trace_id = served
    open_trace(browser, f"http://{host}:{port}", trace_id)
    browser.execute_script("document.getElementById('by-task').click()")
    text = "return document.getElementById('tasks-box').innerText"
    wait(browser, lambda d: "task 3 'Task-3' (fetch)" in d.execute_script(text))
    shown = browser.execute_script(text)
    assert "started by task 1" in shown and "⏸ suspended" in shown
    # A call of a task selects that call in the tree.
    browser.execute_script(
        "[...document.querySelectorAll('#tasks-box a')].find(a => a.textContent.includes('fetch(i=1)')).click()"
    )
    selected = (
        "const r = document.querySelector('#tree-rows .row.selected'); return r && r.textContent;"
    )
    wait(browser, lambda d: "fetch(i=1)" in (d.execute_script(selected) or ""))
    browser.execute_script("document.getElementById('by-task').click()")
    assert browser.execute_script("return document.getElementById('tasks-box').hidden")
    assert errors(browser) == []
