"""The viewer's diff view in headless Chromium: two runs of a program as one merged tree."""

from __future__ import annotations

import os
import subprocess
import sys
import threading
from collections.abc import Iterator
from pathlib import Path

import pytest
from test_cli import vask_cmd
from test_viewer_browser import browser, errors, pytestmark, shots, wait  # noqa: F401
from vask import db
from vask.viewer.server import Viewer, make_server

PROGRAM = """
import os

PLANT = os.environ.get("PLANT") == "1"


def rate():
    return 3 if PLANT else 2


def note(x):
    return x


def step(i):
    if PLANT and i == 1:
        note(i)
    return i * rate()


def old_path():
    return "gone"


def main():
    total = sum(step(i) for i in range(3))
    if not PLANT:
        old_path()
    return total


main()
"""


@pytest.fixture(scope="module")
def pair(tmp_path_factory: pytest.TempPathFactory) -> dict[str, str]:
    work = tmp_path_factory.mktemp("diffview")
    (work / "prog.py").write_text(PROGRAM)
    path = work / ".vask" / "db.sqlite3"
    vask_cmd("run", "--name", "base", "prog.py", cwd=work)
    a = db.list_traces(path)[0].trace_id
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "VASK_FOLLOW")}
    subprocess.run(
        [sys.executable, "-m", "vask", "run", "--name", "planted", "prog.py"],
        cwd=work,
        env={**env, "PLANT": "1"},
        check=True,
        capture_output=True,
    )
    b = db.list_traces(path)[0].trace_id
    return {"a": a, "b": b, "db": str(path)}


@pytest.fixture(scope="module")
def url(pair: dict[str, str]) -> Iterator[str]:
    viewer = Viewer(Path(pair["db"]))
    httpd = make_server(viewer, 0)
    thread = threading.Thread(target=httpd.serve_forever, daemon=True)
    thread.start()
    yield f"http://127.0.0.1:{httpd.server_address[1]}"
    httpd.shutdown()
    httpd.server_close()
    viewer.close()


def diff_rows(driver) -> list[str]:
    return driver.execute_script(
        "return [...document.querySelectorAll('#diff-rows .drow')].map(r => r.textContent)"
    )


def selected(driver) -> str:
    return driver.execute_script(
        "const r = document.querySelector('#diff-rows .drow.sel'); return r ? r.textContent : ''"
    )


def test_diff_view_shows_the_change_and_reaches_every_change(browser, url, pair, shots) -> None:  # noqa: F811
    browser.get("about:blank")
    browser.get(f"{url}/#diff={pair['a']}..{pair['b']}")
    wait(browser, lambda d: "first divergence" in d.find_element("id", "diff-status").text)
    # the first divergence is selected: rate() returned 2 in A and 3 in B
    assert "rate" in selected(browser)
    cells = browser.execute_script(
        "return [...document.querySelectorAll('#details table.sbs td')].map(c => c.textContent)"
    )
    assert cells[:2] == ["2", "3"]
    texts = diff_rows(browser)
    assert any(t.startswith("+") and "note" in t and "only in B" in t for t in texts), texts
    assert any(t.startswith("−") and "old_path" in t and "only in A" in t for t in texts), texts
    counts = browser.find_element("id", "diff-counts").text
    assert "1 added" in counts and "1 removed" in counts
    browser.save_screenshot(str(shots / "diff-view.png"))

    # next/previous go through every change, in order, and stop at the ends
    changes = browser.execute_script("return S.diff.changes.length")
    browser.execute_script("selectDiffRow(S.diff.changes[0])")
    at = "return S.diff.at"
    seen, texts = [browser.execute_script(at)], [selected(browser)]
    for _ in range(changes - 1):
        browser.find_element("id", "diff-next").click()
        seen.append(browser.execute_script(at))
        texts.append(selected(browser))
    assert seen == sorted(set(seen)) and len(seen) == changes
    assert not browser.find_element("id", "diff-next").is_enabled()
    assert any("note" in s for s in texts) and any("old_path" in s for s in texts)
    browser.find_element("id", "diff-prev").click()
    assert browser.execute_script(at) == seen[-2]
    browser.find_element("id", "diff-first").click()
    assert "rate" in selected(browser)
    assert errors(browser) == []


def test_compare_picks_two_traces_from_the_list(browser, url, pair) -> None:  # noqa: F811
    browser.get("about:blank")
    browser.get(f"{url}/#trace={pair['a']}")
    wait(browser, lambda d: len(d.find_elements("css selector", "#trace-list li[data-id]")) == 2)
    browser.find_element("id", "compare").click()
    browser.find_element("css selector", f"#trace-list li[data-id='{pair['a']}']").click()
    browser.find_element("css selector", f"#trace-list li[data-id='{pair['b']}']").click()
    wait(browser, lambda d: "first divergence" in d.find_element("id", "diff-status").text)
    assert f"diff={pair['a']}..{pair['b']}" in browser.current_url
    # opening a trace again leaves the diff view
    browser.find_element("css selector", f"#trace-list li[data-id='{pair['b']}']").click()
    wait(browser, lambda d: not d.find_element("id", "tree").get_attribute("hidden"))
    assert browser.find_element("id", "diff-box").get_attribute("hidden")
    assert errors(browser) == []
