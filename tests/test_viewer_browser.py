"""The viewer page in a real browser: headless Chromium from Debian, driven by selenium.

Runs on Python 3.13 only (the page does not depend on the Python version)
and not in the sanitizer run.  Without Chromium, chromedriver or selenium
the tests skip, except in CI (``CI`` set), where scripts/test installs them
and a missing browser is a failure.

Screenshots go to build/reports/viewer/ of the checkout (or to pytest's
temporary directory when there is no build/ directory) for a person to look at.
"""

from __future__ import annotations

import os
import shutil
import sys
import threading
import time
from collections.abc import Iterator
from pathlib import Path

import pytest
from test_cli import REPO, vask_cmd
from tracedocs import big_document

from vask import db
from vask.viewer.server import Viewer, make_server

CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")
CHROMEDRIVER = shutil.which("chromedriver")
BIG = "trc_01BIGBIGBIGBIGBIGBIGBIGBIG"
BIG_CALLS = 200_000

try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.action_chains import ActionChains
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait
except ImportError:  # pragma: no cover - selenium is in the test requirements
    webdriver = None


def _why_not() -> str | None:
    if sys.version_info[:2] != (3, 13):
        return "browser tests run on Python 3.13 only"
    if "libasan" in os.environ.get("LD_PRELOAD", ""):
        return "browser tests do not run under the sanitizers"
    missing = [
        name
        for name, found in (
            ("chromium", CHROMIUM),
            ("chromium-driver", CHROMEDRIVER),
            ("selenium", webdriver),
        )
        if not found
    ]
    if missing:
        if os.environ.get("CI"):
            pytest.fail(f"browser tests need {', '.join(missing)} (scripts/test installs them)")
        return f"{', '.join(missing)} not installed (scripts/test installs them)"
    return None


pytestmark = pytest.mark.skipif(_why_not() is not None, reason=str(_why_not()))

THREADED = """
import threading

def work(n, results):
    total = 0
    for i in range(n):
        total += square(i)
    results.append(total)

def square(x):
    return x * x

def main():
    results = []
    threads = [
        threading.Thread(target=work, args=(20, results), name=f"worker-{k}") for k in range(3)
    ]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return sorted(results)

main()
"""

FLUSHING = """
def leaf(i):
    payload = "x" * 200
    return i + len(payload)

def branch(n):
    return sum(leaf(i) for i in range(n))

def program():
    return [branch(40) for _ in range(60)]

program()
"""


@pytest.fixture(scope="module")
def traces(tmp_path_factory: pytest.TempPathFactory) -> dict[str, str]:
    """The example shop, a threaded program, one with flushed subtrees and a large trace."""
    work = tmp_path_factory.mktemp("browser")
    shutil.copytree(REPO / "examples", work / "examples")
    (work / "threaded.py").write_text(THREADED)
    (work / "flushing.py").write_text(FLUSHING)
    path = work / ".vask" / "db.sqlite3"
    ids = {}
    vask_cmd("run", "-m", "examples.shop", cwd=work)
    ids["shop"] = db.list_traces(path)[0].trace_id
    vask_cmd("run", "--name", "threaded", "threaded.py", cwd=work)
    ids["threaded"] = db.list_traces(path)[0].trace_id
    vask_cmd("run", "--name", "flushing", "--flush-subtree-mb", "0.02", "flushing.py", cwd=work)
    roots = [s for s in db.list_traces(path) if s.trace_name == "flushing"]
    ids["flushing"] = next(s.trace_id for s in roots if s.root_trace_id in (None, s.trace_id))
    db.save_trace(BIG, msgpack_data=big_document(BIG, BIG_CALLS, needle_at=150_000), db_path=path)
    ids["big"] = BIG
    ids["db"] = str(path)
    return ids


@pytest.fixture(scope="module")
def base_url(traces: dict[str, str]) -> Iterator[str]:
    viewer = Viewer(Path(traces["db"]))
    httpd = make_server(viewer, 0)
    thread = threading.Thread(target=httpd.serve_forever, daemon=True)
    thread.start()
    yield f"http://127.0.0.1:{httpd.server_address[1]}"
    httpd.shutdown()
    httpd.server_close()
    viewer.close()


@pytest.fixture(scope="module")
def browser() -> Iterator[webdriver.Chrome]:
    options = webdriver.ChromeOptions()
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage"):
        options.add_argument(arg)
    options.add_argument("--window-size=1600,1000")
    options.binary_location = CHROMIUM
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    driver = webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)
    driver.set_script_timeout(30)
    yield driver
    driver.quit()


@pytest.fixture(scope="module")
def shots(tmp_path_factory: pytest.TempPathFactory) -> Path:
    reports = REPO / "build" / "reports"
    where = reports / "viewer" if reports.is_dir() else tmp_path_factory.mktemp("viewer-shots")
    where.mkdir(parents=True, exist_ok=True)
    return where


def errors(driver: webdriver.Chrome) -> list[str]:
    return [e["message"] for e in driver.get_log("browser") if e["level"] == "SEVERE"]


def wait(driver: webdriver.Chrome, test, timeout: float = 20):  # noqa: ANN001 - a predicate
    return WebDriverWait(driver, timeout, poll_frequency=0.05).until(lambda d: test(d))


def rows(driver: webdriver.Chrome) -> list[str]:
    return driver.execute_script(
        "return [...document.querySelectorAll('#tree-rows .row')].map(r => r.textContent)"
    )


def open_trace(driver: webdriver.Chrome, base_url: str, trace_id: str) -> None:
    driver.get("about:blank")  # a new page, not a new #hash of the same one
    driver.get(f"{base_url}/#trace={trace_id}")
    wait(driver, lambda d: any(r.startswith("▾thread") for r in rows(d)))
    wait(
        driver,
        lambda d: len(rows(d)) > 1 and not any("⋯" in r and "loading" in r for r in rows(d)[:3]),
    )


def click_row(driver: webdriver.Chrome, text: str, part: str = ".main") -> None:
    """Click (a part of) the first tree row holding ``text``, once it is there.

    Rows are drawn anew as the tree changes, so the row is found and clicked
    in one step inside the page.
    """
    script = """
        const [text, part] = arguments;
        const row = [...document.querySelectorAll('#tree-rows .row')]
            .find(r => r.textContent.includes(text));
        if (!row) return false;
        row.querySelector(part).dispatchEvent(new MouseEvent('click', {bubbles: true}));
        return true;
    """
    wait(driver, lambda d: d.execute_script(script, text, part))


def selected_row(driver: webdriver.Chrome) -> str:
    """The text of the selected tree row, once the tree has scrolled to it."""
    script = (
        "const r = document.querySelector('#tree-rows .row.selected'); return r && r.textContent;"
    )
    return wait(driver, lambda d: d.execute_script(script))


def search(driver: webdriver.Chrome, mode: str, text: str) -> None:
    """Search for ``text`` in the search field's ``mode`` (name, value, calls), as typed."""
    driver.execute_script(f"document.getElementById('search-mode').value = '{mode}'")
    box = driver.find_element(By.ID, "search-text")
    box.clear()
    box.send_keys(text + "\n")


def details(driver: webdriver.Chrome) -> str:
    return driver.find_element(By.ID, "details").text


def test_shop_tree_renders_and_a_call_shows_its_values(
    browser: webdriver.Chrome, base_url: str, traces: dict[str, str], shots: Path
) -> None:
    open_trace(browser, base_url, traces["shop"])
    shown = rows(browser)
    assert any(r.startswith("▾thread MainThread") for r in shown)
    assert any("module examples.shop" in r for r in shown)
    click_row(browser, "module __main__", ".tw")
    click_row(browser, "main(argv=None)", ".tw")
    click_row(browser, "run(workers=2)", ".tw")
    click_row(browser, "order_total(order=Order(order_id='A-1001'")
    wait(browser, lambda d: details(d).startswith("order_total"))
    text = details(browser)
    assert "order_total" in text and "4500" in text
    assert "LOCALS AT RETURN" in text.upper() and "subtotal" in text and "percent" in text
    browser.save_screenshot(str(shots / "shop-details.png"))
    assert errors(browser) == []


def test_search_by_value_finds_the_call(
    browser: webdriver.Chrome, base_url: str, traces: dict[str, str], shots: Path
) -> None:
    open_trace(browser, base_url, traces["shop"])
    search(browser, "value", "backordered (KTL-03")
    wait(browser, lambda d: "match 1: " in d.find_element(By.ID, "search-status").text)
    # the first call with the text among its values, in the order the trace recorded them
    status = browser.find_element(By.ID, "search-status").text
    label = status.split(": ", 1)[1].rsplit(" › ", 1)[-1]
    wait(browser, lambda d: details(d).startswith(label))
    assert "backordered (KTL-03" in details(browser)
    assert selected_row(browser).lstrip("▸▾").startswith(label)
    browser.save_screenshot(str(shots / "shop-search.png"))
    assert errors(browser) == []


def test_flame_chart_click_selects_a_call(
    browser: webdriver.Chrome, base_url: str, traces: dict[str, str], shots: Path
) -> None:
    open_trace(browser, base_url, traces["threaded"])
    wait(browser, lambda d: d.execute_script("return !!(S.flame.data && S.flame.data.bars.length)"))
    # the widest bar at depth 1 (under the module body): main
    bar = browser.execute_script(
        """
        const f = S.flame, c = document.getElementById('flame'), w = c.clientWidth;
        const bars = f.data.bars.filter(b => !b[5]).sort((a, b) => (b[3]-b[2]) - (a[3]-a[2]));
        const b = bars.find(b => b[1] === 1) || bars[0];
        const x = ((b[2] + b[3]) / 2 - f.from) / (f.to - f.from) * w;
        return {x: x - w / 2, y: b[1] * 18 + 10 - c.clientHeight / 2, node: b[0],
                name: f.data.names[b[4]]};
        """
    )
    canvas = browser.find_element(By.ID, "flame")
    ActionChains(browser).move_to_element_with_offset(
        canvas, int(bar["x"]), int(bar["y"])
    ).click().perform()
    wait(browser, lambda d: d.execute_script("return S.selected && S.selected.node") == bar["node"])
    wait(browser, lambda d: details(d).startswith(bar["name"]))
    assert selected_row(browser).lstrip("▸▾").startswith(bar["name"])
    threads = [r for r in rows(browser) if r.lstrip("▸▾").startswith("thread")]
    assert len(threads) == 4  # the main thread and three workers
    browser.save_screenshot(str(shots / "threaded-flame.png"))
    assert errors(browser) == []


def test_a_flushed_subtree_opens_in_place(
    browser: webdriver.Chrome, base_url: str, traces: dict[str, str], shots: Path
) -> None:
    open_trace(browser, base_url, traces["flushing"])
    # The tree on screen shows a call's children as soon as they are in, and a click on a
    # twisty drawn before they came (a second click on "▸") does not close the call again.
    late_click = """
        const done = arguments[arguments.length - 1];
        const drawn = (i) => document.querySelector(`#tree-rows .row[data-index="${i}"] .tw`);
        const i = S.rows.findIndex(r => r.type === 'node' && expandable(r) && !r.expanded);
        const before = drawn(i);
        expand(i).then(() => {
            const twisty = drawn(i).textContent;
            before.dispatchEvent(new MouseEvent('click', {bubbles: true}));
            done({twisty, expanded: S.rows[i].expanded, label: S.rows[i].data.label});
        });
    """
    late = browser.execute_async_script(late_click)
    assert late == {"twisty": "▾", "expanded": True, "label": "module __main__"}
    # expand down to the first flushed marker, opening the first closed call each time
    opener = """
        const row = [...document.querySelectorAll('#tree-rows .row')].find(r =>
            r.classList.length === 1 && r.querySelector('.tw').textContent === '▸');
        if (row) row.querySelector('.tw').dispatchEvent(new MouseEvent('click', {bubbles: true}));
        return !!row;
    """
    # The page's row model (S.rows) is ahead of the rows drawn: ask the model.
    has_marker = "return S.rows.some(r => r.type === 'node' && r.data && r.data.kind === 'flushed')"
    for _ in range(8):
        if browser.execute_script(has_marker):
            break
        count = browser.execute_script("return S.rows.length")
        assert browser.execute_script(opener), rows(browser)
        wait(browser, lambda d, count=count: d.execute_script("return S.rows.length") > count)
    wait(browser, lambda d: any("⤓ subtree flushed" in r for r in rows(d)))
    before = browser.execute_script("return S.rows.length")
    click_row(browser, "⤓ subtree flushed", ".tw")
    wait(browser, lambda d: d.execute_script("return S.rows.length") > before)
    loaded = browser.execute_script(
        """
        const i = S.rows.findIndex(r => r.type === 'node' && r.data.kind === 'flushed');
        const m = S.rows[i], next = S.rows[i + 1];
        return {depth: m.depth, next_depth: next.depth, next_trace: next.trace,
                marker_trace: m.trace, target: m.data.flushed_trace,
                label: next.data && next.data.label};
        """
    )
    assert loaded["next_depth"] == loaded["depth"] + 1
    assert loaded["next_trace"] == loaded["target"] != loaded["marker_trace"]
    assert loaded["label"] in ("branch", "leaf", "<genexpr>", "branch.<locals>.<genexpr>")
    browser.save_screenshot(str(shots / "flushed-in-place.png"))
    assert errors(browser) == []


def test_a_large_trace_opens_scrolls_and_finds_a_value(
    browser: webdriver.Chrome, base_url: str, traces: dict[str, str], shots: Path
) -> None:
    started = time.monotonic()
    open_trace(browser, base_url, traces["big"])
    first_paint = time.monotonic() - started
    click_row(browser, "main(argv=", ".tw")
    wait(browser, lambda d: sum("process_batch(" in r for r in rows(d)) > 5)
    # open a batch of a thousand calls and scroll through it: the rows come page by page
    browser.execute_script(
        "expand(S.rows.findIndex(r => r.type === 'node' && r.data.label === 'process_batch'));"
    )
    wait(browser, lambda d: d.execute_script("return S.rows.length") > 150)
    scroll = """
        const t = document.getElementById('tree');
        t.scrollTop += 400;
        return S.rows.length;
    """
    wait(browser, lambda d: d.execute_script(scroll) > 1000)
    assert any("compute(batch=0" in r for r in rows(browser))
    search(browser, "value", "needle-in-the")
    wait(browser, lambda d: "match 1" in d.find_element(By.ID, "search-status").text, timeout=30)
    wait(browser, lambda d: "needle-in-the-haystack" in details(d))
    selected = selected_row(browser)
    assert "compute(" in selected and "needle-in-the-haystack" in selected
    browser.save_screenshot(str(shots / "big-trace.png"))
    assert errors(browser) == []
    print(f"first paint of a {BIG_CALLS:,}-call trace: {first_paint:.2f} s (indexing included)")


def test_all_traces_search_indexes_on_asking_and_opens_a_call(
    browser: webdriver.Chrome, base_url: str, traces: dict[str, str], shots: Path
) -> None:
    open_trace(browser, base_url, traces["threaded"])
    search(browser, "calls", "order_total")
    # the traces were stored without the index: the page offers to build it
    note = "#calls-results .call-note"
    wait(browser, lambda d: "not indexed yet" in d.execute_script(
        f"const n = document.querySelector('{note}'); return n ? n.textContent : ''"
    ))  # fmt: skip
    browser.find_element(By.CSS_SELECTOR, "#calls-results .call-index").click()
    hits = "return [...document.querySelectorAll('#calls-results .call-hit')]" + (
        ".map(a => a.textContent)"
    )
    wait(browser, lambda d: any("order_total(order=" in h for h in d.execute_script(hits)), 60)
    # it asks again until every trace is indexed, then says no more about it
    wait(browser, lambda d: d.execute_script(f"return !document.querySelector('{note}')"), 60)
    browser.save_screenshot(str(shots / "calls-search.png"))
    browser.find_element(By.CSS_SELECTOR, "#calls-results .call-hit").click()
    wait(browser, lambda d: details(d).startswith("order_total"))
    assert browser.execute_script("return S.traceId") == traces["shop"]
    assert errors(browser) == []
