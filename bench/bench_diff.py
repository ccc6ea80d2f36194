"""``vask traces diff`` on large traces: time and peak memory, and the viewer's diff view.

    python bench/bench_diff.py [--calls N ...] [--no-browser] [--keep DIR]

For each size (default 100,000 and 1,000,000 calls) stores two traces of
that many calls (written directly as documents, as the engines lay them out:
main -> batches -> 1,000 calls each), the second with one call's return
value changed in the middle, and runs in the same run, one after the other:

* ``vask traces diff A B`` (time, peak memory): must find the one change;
  first with the trace index read and linked in Python and subtrees cut by
  regular expressions (``python``, as before the native scanner), then as
  it runs now (``native``);
* ``vask traces show A`` on the same trace, for reference: reading one trace
  through its index, which the diff does twice;
* the ratio of the two.

On the first size, also the viewer's diff view: time from navigation to
``#diff=A..B`` until the first divergence is shown, in headless Chromium
(when installed), with the server indexing both traces from cold; again
both ways.

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
from vask import db, diff, traceindex

# Runs "python -m vask ARGS" the way it ran before the native scanner and
# prints its own peak memory (KiB) on stderr.
_PYTHON_PATH = """
import sys
from vask import diff, traceindex
traceindex._scan_records = traceindex._link_records = None
diff._cut_ids_and_times = diff._cut_ids_and_times_py
from vask.cli import main
try:
    main(sys.argv[1:])
finally:
    for line in open("/proc/self/status"):
        if line.startswith("VmHWM:"):
            print(line.split()[1], file=sys.stderr)
"""
_NATIVE = (traceindex._scan_records, traceindex._link_records, diff._cut_ids_and_times)


def native(on: bool) -> None:
    """Read traces with the native scanner (as vask does) or in Python only (as before)."""
    if on:
        traceindex._scan_records, traceindex._link_records, diff._cut_ids_and_times = _NATIVE
    else:
        traceindex._scan_records = traceindex._link_records = None
        diff._cut_ids_and_times = diff._cut_ids_and_times_py


def python_path_peak(args: list[str], cwd: Path) -> tuple[float, int]:
    started = time.perf_counter()
    process = subprocess.run(
        [sys.executable, "-c", _PYTHON_PATH, *args],
        cwd=cwd,
        stdout=subprocess.DEVNULL,
        stderr=subprocess.PIPE,
        text=True,
        check=False,
    )
    return time.perf_counter() - started, int(process.stderr.strip().splitlines()[-1])


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
    print(f"{'calls':>10}  {'way':>6}  {'diff s':>7}  {'diff MiB':>8}  {'show s':>7}  "
          f"{'show MiB':>8}  {'time x':>6}  {'mem x':>5}  found")  # fmt: skip
    try:
        for n, calls in enumerate(args.calls):
            path = work / f"diff-{calls}.sqlite3"
            path.unlink(missing_ok=True)
            a, b = store_pair(path, calls)
            found = diff_found(path, a, b)
            first = found["first_divergence"]
            ok = (
                first is not None
                and first["call"] == "compute"
                and found["counts"]["changed"] == 1
                and found["counts"]["added"] == found["counts"]["removed"] == 0
            )
            show_s, show_kib = command_peak(["traces", "show", "--db", str(path), a], work)
            ways = {
                "python": python_path_peak(["traces", "diff", "--db", str(path), a, b], work),
                "native": command_peak(["traces", "diff", "--db", str(path), a, b], work),
            }
            for way, (diff_s, diff_kib) in ways.items():
                print(
                    f"{calls:>10,}  {way:>6}  {diff_s:>7.2f}  {diff_kib / 1024:>8.0f}  "
                    f"{show_s:>7.2f}  {show_kib / 1024:>8.0f}  {diff_s / show_s:>6.2f}  "
                    f"{diff_kib / show_kib:>5.2f}  {'yes' if ok else 'NO'}"
                )
            print(
                f"{'':>10}  diff time python/native: {ways['python'][0] / ways['native'][0]:.1f}x"
            )
            if n == 0 and not args.no_browser:
                for way in ("python", "native"):
                    native(way == "native")
                    paint = first_paint(path, a, b)
                    if paint is None:
                        print("viewer diff first paint: no headless Chromium with selenium here")
                        break
                    print(f"viewer diff first paint ({calls:,} calls, cold, {way}): {paint:.2f} s")
                native(True)
    finally:
        if args.keep is None:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
