"""``vask traces diff`` on large traces: time and peak memory, and the viewer's diff view.

    python bench/bench_diff.py [--calls N ...] [--no-browser] [--keep DIR]

For each size (default 100,000 and 1,000,000 calls) stores two traces of
that many calls (written directly as documents, as the engines lay them out:
main -> batches -> 1,000 calls each), the second with one call's return
value changed in the middle, and runs in the same run, one after the other:

* ``vask traces diff A B`` (time, peak memory): must find the one change;
* ``vask traces show A`` on the same trace, for reference: reading one trace
  through its index, which the diff does twice;
* the ratio of the two.

On the first size, also the viewer's diff view: time from navigation to
``#diff=A..B`` until the first divergence is shown, in headless Chromium
(when installed), with the server indexing both traces from cold.

Targets: 100,000-call pair under 5 s and 500 MB; 1,000,000-call pair under
60 s; the diff view's first paint under 2 s on the 100,000-call pair.
"""

from __future__ import annotations

import argparse
import json
import shutil
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO / "tests"))
sys.path.insert(0, str(REPO / "bench"))

from bench_viewer import command_peak
from tracedocs import big_document
from vask import db


def store_pair(path: Path, calls: int) -> tuple[str, str]:
    a, b = f"trc_A{calls}", f"trc_B{calls}"
    db.save_trace(a, msgpack_data=big_document(a, calls), db_path=path)
    db.save_trace(b, msgpack_data=big_document(b, calls, needle_at=calls // 2), db_path=path)
    return a, b


def diff_found(path: Path, a: str, b: str) -> dict:
    out = subprocess.run(
        [sys.executable, "-m", "vask", "traces", "diff", "--db", str(path), "--json", a, b],
        capture_output=True,
        text=True,
        check=False,
    )
    return json.loads(out.stdout)


def first_paint(path: Path, a: str, b: str) -> float | None:
    chromium, driver_path = shutil.which("chromium"), shutil.which("chromedriver")
    try:
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
    except ImportError:
        return None
    if not chromium or not driver_path:
        return None
    from vask.viewer.server import Viewer, make_server

    viewer = Viewer(path)
    httpd = make_server(viewer, 0)
    threading.Thread(target=httpd.serve_forever, daemon=True).start()
    options = webdriver.ChromeOptions()
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--window-size=1600,1000"):
        options.add_argument(arg)
    options.binary_location = chromium
    driver = webdriver.Chrome(service=Service(driver_path), options=options)
    try:
        driver.get("about:blank")
        started = time.perf_counter()
        driver.get(f"http://127.0.0.1:{httpd.server_address[1]}/#diff={a}..{b}")
        while not driver.execute_script(
            "return typeof S !== 'undefined' && S.diff && S.diff.at >= 0 && "
            "document.querySelector('#diff-rows .drow.sel') !== null"
        ):
            time.sleep(0.005)
        return time.perf_counter() - started
    finally:
        driver.quit()
        httpd.shutdown()
        httpd.server_close()
        viewer.close()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--calls", type=int, nargs="+", default=[100_000, 1_000_000])
    parser.add_argument("--no-browser", action="store_true")
    parser.add_argument("--keep", type=Path, help="keep the database in DIR")
    args = parser.parse_args()
    work = args.keep or Path(tempfile.mkdtemp(prefix="vask-bench-diff-"))
    work.mkdir(parents=True, exist_ok=True)
    print(f"{'calls':>10}  {'diff s':>7}  {'diff MiB':>8}  {'show s':>7}  {'show MiB':>8}  "
          f"{'time x':>6}  {'mem x':>5}  found")  # fmt: skip
    try:
        for n, calls in enumerate(args.calls):
            path = work / f"diff-{calls}.sqlite3"
            path.unlink(missing_ok=True)
            a, b = store_pair(path, calls)
            diff_s, diff_kib = command_peak(["traces", "diff", "--db", str(path), a, b], work)
            show_s, show_kib = command_peak(["traces", "show", "--db", str(path), a], work)
            found = diff_found(path, a, b)
            first = found["first_divergence"]
            ok = (
                first is not None
                and first["call"] == "compute"
                and found["counts"]["changed"] == 1
                and found["counts"]["added"] == found["counts"]["removed"] == 0
            )
            print(
                f"{calls:>10,}  {diff_s:>7.2f}  {diff_kib / 1024:>8.0f}  {show_s:>7.2f}  "
                f"{show_kib / 1024:>8.0f}  {diff_s / show_s:>6.2f}  "
                f"{diff_kib / show_kib:>5.2f}  {'yes' if ok else 'NO'}"
            )
            if n == 0 and not args.no_browser:
                paint = first_paint(path, a, b)
                if paint is None:
                    print("viewer diff first paint: no headless Chromium with selenium here")
                else:
                    print(f"viewer diff first paint ({calls:,} calls, cold): {paint:.2f} s")
    finally:
        if args.keep is None:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
