"""The flame chart on a trace of a million calls, most of them in subtrees flushed apart.

In a real browser (as tests/test_viewer_browser.py: headless Chromium, 3.13
only): the whole-run chart shows the main call from the first answer, the
subtrees load with an indicator showing, and zooming in draws their calls in
place, each of which can be selected.
"""

from __future__ import annotations

import threading
from collections.abc import Iterator
from pathlib import Path

import pytest
from test_viewer_browser import browser, details, errors, open_trace, pytestmark, shots, wait
from tracedocs import flushed_big_documents
from vask import db
from vask.storage import writer
from vask.viewer.server import Viewer, make_server

__all__ = ["browser", "pytestmark", "shots"]  # fixtures and marks shared with the page's tests

STITCHED = "trc_01STITCHSTITCHSTITCHSTITC"
BATCHES, BATCH = 20, 50_000  # 1,000,021 calls; batches 2-19 stored apart


@pytest.fixture(scope="module")
def stitched_url(tmp_path_factory: pytest.TempPathFactory) -> Iterator[str]:
    path = tmp_path_factory.mktemp("stitched") / "db.sqlite3"
    docs = flushed_big_documents(STITCHED, BATCHES, BATCH, set(range(2, BATCHES)), start=1e9)
    for trace_id, doc in docs.items():
        db.save_trace(trace_id, msgpack_data=doc, db_path=path)
    writer.drain()  # subtrees are stored by the background writer
    docs.clear()
    viewer = Viewer(path)
    httpd = make_server(viewer, 0)
    thread = threading.Thread(target=httpd.serve_forever, daemon=True)
    thread.start()
    yield f"http://127.0.0.1:{httpd.server_address[1]}"
    httpd.shutdown()
    httpd.server_close()
    viewer.close()


def flame(driver, script: str):
    return driver.execute_script(script)


def zoom_to(driver, s: float, e: float) -> None:
    driver.execute_script(
        "S.flame.from = arguments[0]; S.flame.to = arguments[1]; drawFlame(); fetchFlame(0);", s, e
    )


def test_the_whole_run_shows_main_and_zooming_in_shows_stitched_subtrees(
    browser,
    stitched_url: str,
    shots: Path,
) -> None:
    open_trace(browser, stitched_url, STITCHED)
    wait(browser, lambda d: flame(d, "return !!(S.flame.data && S.flame.data.bars.length)"))
    top = flame(
        browser,
        """const f = S.flame; return f.data.bars.filter(b => b[1] === 0)
             .map(b => [f.data.names[b[4]], (b[3] - b[2]) / (f.to - f.from)]);""",
    )
    assert top and top[0][0] == "main" and top[0][1] > 0.9
    # the subtrees load in the background, with the indicator showing, until all are drawn
    wait(browser, lambda d: flame(d, "return !document.getElementById('flame-loading').hidden"))
    browser.save_screenshot(str(shots / "stitched-loading.png"))
    wait(
        browser,
        lambda d: flame(
            d,
            """const f = S.flame.data; return f && f.complete && !f.loading.length &&
                 document.getElementById('flame-loading').hidden;""",
        ),
        timeout=120,
    )
    subtrees = flame(browser, "return S.flame.data.subtrees.map(s => s.trace)")
    assert len(subtrees) == BATCHES - 2
    browser.save_screenshot(str(shots / "stitched-whole-run.png"))
    # zoom into one stitched batch, then to a few of its calls
    batch = flame(
        browser,
        """const f = S.flame.data;
           const b = f.bars.find(b => b[1] === 1 && b[6] && b[6].sub === 5);
           return [b[2], b[3], f.subtrees[5].trace];""",
    )
    zoom_to(browser, batch[0], batch[1])
    wait(
        browser,
        lambda d: flame(
            d, "return S.flame.data.bars.some(b => b[1] === 2 && b[5] && b[6] && b[6].sub >= 0)"
        ),
    )
    middle = (batch[0] + batch[1]) / 2
    zoom_to(browser, middle, middle + 20e-6)
    calls = """const f = S.flame.data;
        return f.bars.filter(b => b[1] === 2 && !b[5] && b[6] && f.subtrees[b[6].sub]
                             && f.subtrees[b[6].sub].trace === arguments[0]
                             && f.names[b[4]] === 'compute');"""
    wait(browser, lambda d: 10 <= len(d.execute_script(calls, batch[2])) <= 25)
    bar = browser.execute_script(calls, batch[2])[3]
    browser.execute_script(
        """const [node, trace] = arguments;
           const b = S.flame.data.bars.find(b => b[0] === node && b[6] && b[6].sub >= 0);
           const ext = flameExtra(b, false);
           selectNode(ext.select[0], ext.select[1], ext.select[2], ext.reveal);""",
        bar[0],
        batch[2],
    )
    wait(browser, lambda d: details(d).startswith("compute"))
    browser.save_screenshot(str(shots / "stitched-zoomed.png"))
    assert errors(browser) == []
