"""The viewer on a trace of five million calls: first paint, the largest request, server memory.

    python bench/bench_viewer.py [--calls N] [--flushed N] [--keep DIR] [--before DIR]
        [--no-commands]

Stores one trace of ``--calls`` calls (written directly as documents, as
the engines lay them out: main -> batches -> 1,000 calls each), its calls in
``--flushed`` flushed subtrees (default 50; 0: all in the one document), starts
``vask traces view`` on it in a process of its own and reports:

* how long the server took to index the trace before it printed its URL;
* the time to first paint of the tree: through headless Chromium when it is
  installed (from navigation to the first rows of the tree), else the page
  and the requests the page makes before it draws the tree;
* the time of each kind of JSON request, the largest one marked;
* the server's peak memory (VmHWM) against the trace's stored size, with
  the memory of an idle interpreter that imported the same modules, for
  reference.

``--before DIR`` names another revision's ``python/`` directory holding the
same built native modules (``git archive REV python | tar -x -C DIR``, then
copy ``vask/_*.so`` of the installed package into it): the server is
measured with it first on ``PYTHONPATH``, then as installed, in the same run.

Also shows (unless ``--no-commands``), in the same run, the memory of ``vask traces show`` and of
``vask traces export`` on the same trace against its stored size, and
``vask traces show`` on a smaller trace (``--show-calls``) next to the way it
read traces before the index (every document decoded whole, then a tree of
records), which a million calls would not fit in memory for.
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.request
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO / "tests"))

from tracedocs import big_document, document, frame, marker  # noqa: E402

from vask import db  # noqa: E402

TRACE = "trc_01BENCHBENCHBENCHBENCHBENC"


def subtree_id(i: int) -> str:
    return f"trc_01BENCHSUBTREE{i:012d}"


def store_flushed(path: Path, calls: int, flushed: int) -> int:
    """The trace as a recording that flushed its subtrees leaves it: ``main`` calling
    ``flushed`` batches of calls, each stored as a trace of its own; its stored bytes."""
    per = calls // flushed
    start = time.time() - 3600
    records = [frame("call", 1, start, "main")]
    size = 0
    for i in range(flushed):
        sub = subtree_id(i)
        at = start + i * per * 2e-6 + 1e-3
        data = big_document(sub, per, start=at, needle_at=per - 10 if i == flushed - 1 else None)
        data = data.replace(
            b"\xadroot_trace_id" + _packed(sub), b"\xadroot_trace_id" + _packed(TRACE), 1
        )
        db.save_trace(sub, msgpack_data=data, db_path=path)
        size += len(data)
        records.append(marker(sub, at, "process_batch", per))
    records.append(frame("return", 1, start + calls * 2e-6 + 1.0, "main"))
    root = document(TRACE, {"native_1": records}, timestamp=start)
    db.save_trace(TRACE, msgpack_data=root, db_path=path)
    return size + len(root)


def _packed(text: str) -> bytes:
    import msgpack

    return msgpack.packb(text)


def peak_kib(pid: int) -> int:
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith("VmHWM:"):
            return int(line.split()[1])
    return 0


def mib(kib: float) -> str:
    return f"{kib / 1024:.1f} MiB"


def get(base: str, path: str) -> tuple[float, int, object]:
    for _ in range(6000):
        started = time.perf_counter()
        with urllib.request.urlopen(base + path, timeout=600) as response:
            body = response.read()
            status = response.status
        took = time.perf_counter() - started
        if status != 202:
            return took, len(body), json.loads(body) if body[:1] in b"{[" else None
        time.sleep(0.05)
    raise RuntimeError(f"{path} never became ready")


def first_paint_browser(url: str) -> float | None:
    chromium = shutil.which("chromium")
    driver_path = shutil.which("chromedriver")
    try:
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
    except ImportError:
        return None
    if not chromium or not driver_path:
        return None
    options = webdriver.ChromeOptions()
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--window-size=1600,1000"):
        options.add_argument(arg)
    options.binary_location = chromium
    driver = webdriver.Chrome(service=Service(driver_path), options=options)
    try:
        driver.get("about:blank")
        started = time.perf_counter()
        driver.get(url)
        while not driver.execute_script(
            "return typeof S !== 'undefined' && S.rows.length > 1 && "
            "document.querySelectorAll('#tree-rows .row').length > 1"
        ):
            time.sleep(0.005)
        return time.perf_counter() - started
    finally:
        driver.quit()


def revision_env(python_path: str | None) -> dict[str, str]:
    """The environment of a vask process: with ``python_path`` first on ``PYTHONPATH``
    (another revision's ``python/`` directory), or the installed package."""
    env = dict(os.environ)
    env.pop("PYTHONPATH", None)
    if python_path:
        env["PYTHONPATH"] = python_path
    return env


def revisions(before: Path | None) -> list[tuple[str, str | None]]:
    """(label, python path) of each revision measured: ``before`` first, if given."""
    if before is None:
        return [("", None)]
    if not (before / "vask").is_dir():
        raise SystemExit(f"{before} holds no vask package")
    return [("before: ", str(before.resolve())), ("now:    ", None)]


def command_peak(
    args: list[str], cwd: Path, env: dict[str, str] | None = None
) -> tuple[float, int]:
    """Wall time and peak memory (KiB) of a vask command, its output thrown away."""
    started = time.perf_counter()
    process = subprocess.Popen(
        [sys.executable, "-c", _PEAK_WRAPPER, *args],
        cwd=cwd,
        env=env,
        stdout=subprocess.DEVNULL,
        stderr=subprocess.PIPE,
        text=True,
    )
    _, err = process.communicate()
    took = time.perf_counter() - started
    return took, int(err.strip().splitlines()[-1])


# Runs "python -m vask ARGS" and prints its own peak memory (KiB) on stderr.
# Reads and shows a trace the way show did before the index: every document
# decoded whole, then a tree of the decoded records.
_DECODED_SHOW = """
import sys
from pathlib import Path
from vask import db, document, render
from vask.calltree import build_call_tree
path, trace_id = Path(sys.argv[1]), sys.argv[2]
trace = document.merge_documents(trace_id, db.load_trace(path, trace_id))
with open("/dev/null", "w") as out:
    for thread in trace.ordered_threads():
        tree = build_call_tree(thread.records)
        for line in render.render_tree(tree, style=render.Style(), width=80):
            out.write(line + "\\n")
for line in open("/proc/self/status"):
    if line.startswith("VmHWM:"):
        print(line.split()[1], file=sys.stderr)
"""

# (VmHWM: ru_maxrss would count the parent's memory at the fork too.)
_PEAK_WRAPPER = """
import sys
from vask.cli import main
try:
    main(sys.argv[1:])
finally:
    for line in open("/proc/self/status"):
        if line.startswith("VmHWM:"):
            print(line.split()[1], file=sys.stderr)
"""


def idle_peak(env: dict[str, str] | None = None) -> int:
    """Peak memory (KiB) of an idle interpreter that imported the viewer's modules."""
    idle = subprocess.run(
        [
            sys.executable,
            "-c",
            # VmHWM: ru_maxrss would count this process's memory at the fork too
            "import vask.viewer.server, vask.traceindex, vask.tasktree; "
            "print([l.split()[1] for l in open('/proc/self/status') if l.startswith('VmHWM')][0])",
        ],
        capture_output=True,
        text=True,
        check=True,
        env=env,
    )
    return int(idle.stdout)


def measure_server(
    label: str, env: dict[str, str], path: Path, calls: int, stored_kib: float, calls_trace: str
) -> None:
    """Starts ``vask traces view`` on the trace and prints its figures (see the module)."""
    idle_kib = idle_peak(env)

    started = time.perf_counter()
    server = subprocess.Popen(
        [sys.executable, "-m", "vask", "traces", "view", TRACE, "--no-open", "--db", str(path)],
        stderr=subprocess.PIPE,
        text=True,
        env=env,
    )
    try:
        url = ""
        while "http://" not in url:
            url = server.stderr.readline()
            if not url:
                raise RuntimeError("the server stopped")
        indexed = time.perf_counter() - started
        url = url.split(" at ", 1)[1].split()[0]
        base = url.split("/#")[0]
        print(
            label + f"server indexed the trace in {indexed:.2f} s ({calls / indexed:,.0f} calls/s)"
        )

        paint = first_paint_browser(url)
        if paint is not None:
            print(
                label + "first paint of the tree (headless Chromium, from navigation): "
                f"{paint * 1000:.0f} ms"
            )
        page = 0.0
        for asset in (
            "/",
            "/static/viewer.css",
            "/static/viewer.js",
            # (the trace list loads alongside: the page does not wait for it)
            f"/api/trace/{TRACE}",
            f"/api/trace/{TRACE}/children?thread=native_1&node=0",
        ):
            page += get(base, asset)[0]
        print(label + f"the page and the requests before the tree is drawn: {page * 1000:.0f} ms")

        summary = get(base, f"/api/trace/{TRACE}")[2]
        end = summary["threads"][0]["end"]
        root_window = f"/api/trace/{TRACE}/timeline?thread=native_1&width=1600"
        api = f"/api/trace/{calls_trace}"
        _, _, top = get(base, f"{api}/children?thread=native_1&node=0")
        main_node = top["items"][0]["node"]
        _, _, batches = get(base, f"{api}/children?thread=native_1&node={main_node}")
        batch = batches["items"][0]["node"]
        sub_end = get(base, api)[2]["threads"][0]["end"]
        level = f"{api}/children?thread=native_1"
        window = f"{api}/timeline?thread=native_1&width=1600"
        requests = {
            "trace list": "/api/traces",
            "a level (200 batches)": f"{level}&node={main_node}&limit=200",
            "a level (500 calls, the largest page)": f"{level}&node={batch}&limit=500",
            "one call's details": f"{api}/node?thread=native_1&node={batch + 1}",
            "timeline, whole trace, 1600 px": f"{root_window}&from=0&to={end}",
            "timeline, 1% of it": f"{root_window}&from={end / 2}&to={end / 2 + end / 100}",
            "timeline, a whole subtree": f"{window}&from=0&to={sub_end}",
            "timeline, 1% of a subtree": f"{window}&from={sub_end / 2}&to={sub_end * 0.51}",
            "search by name (first match)": f"{api}/search?q=compute&mode=name",
            "search by value (a slice of the scan)": f"{api}/search?q=needle-in&mode=value",
        }
        timings = []
        for what, request in requests.items():
            took = min(get(base, request)[0] for _ in range(3))
            size = get(base, request)[1]
            timings.append((took, what, size))
        worst = max(timings)
        for took, what, size in timings:
            mark = "  <- largest" if (took, what, size) == worst else ""
            print(label + f"  {what:40s} {took * 1000:8.1f} ms  {size / 1024:8.1f} KiB{mark}")
        value_scan = 0.0
        cursor = 0
        while True:
            took, _, answer = get(base, f"{api}/search?q=needle-in&mode=value&cursor={cursor}")
            value_scan += took
            if answer["match"] or answer["done"]:
                break
            cursor = answer["cursor"]
        print(
            label + f"  a value search through the whole trace, in 0.5-s slices: {value_scan:.2f} s"
        )
        peak = peak_kib(server.pid)
        print(
            label + f"server peak memory {mib(peak)} = {peak / stored_kib:.1%} of the stored "
            f"{mib(stored_kib)}; above an idle interpreter with the same modules "
            f"({mib(idle_kib)}): {(peak - idle_kib) / stored_kib:.1%}"
        )
    finally:
        server.terminate()
        server.wait()


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--calls", type=int, default=5_000_000)
    parser.add_argument("--flushed", type=int, default=50, help="flushed subtrees (0: none)")
    parser.add_argument("--keep", type=Path, help="keep the database in this directory")
    parser.add_argument("--show-calls", type=int, default=50_000)
    parser.add_argument("--before", type=Path, help="another revision's python/ directory")
    parser.add_argument(
        "--no-commands", action="store_true", help="measure the server only (not show, export)"
    )
    options = parser.parse_args()

    work = options.keep or Path(tempfile.mkdtemp(prefix="vask-bench-viewer-"))
    work.mkdir(parents=True, exist_ok=True)
    path = work / "db.sqlite3"
    if not path.exists():
        started = time.perf_counter()
        if options.flushed:
            size = store_flushed(path, options.calls, options.flushed)
        else:
            data = big_document(TRACE, options.calls, needle_at=options.calls - 10)
            db.save_trace(TRACE, msgpack_data=data, db_path=path)
            size = len(data)
            del data
        print(
            f"stored a trace of {options.calls:,} calls in {options.flushed} flushed subtrees: "
            f"{size / 2**20:.1f} MiB in {time.perf_counter() - started:.1f} s"
        )
    stored = sum(t.size for t in db.list_traces(path))
    stored_kib = stored / 1024
    # the trace whose calls the level, details and search requests read
    calls_trace = subtree_id(0) if options.flushed else TRACE

    for label, python_path in revisions(options.before):
        measure_server(
            label, revision_env(python_path), path, options.calls, stored_kib, calls_trace
        )
    if options.no_commands:
        if options.keep is None:
            shutil.rmtree(work)
        return 0

    took, peak = command_peak(["traces", "show", TRACE, "--db", str(path), "--depth", "2"], work)
    print(
        f"vask traces show --depth 2: {took:.1f} s, peak {mib(peak)} = "
        f"{peak / stored_kib:.2f}x the stored size"
    )
    took, peak = command_peak(
        ["traces", "export", TRACE, "--db", str(path), "-o", str(work / "t.json.gz"), "--gzip"],
        work,
    )
    print(
        f"vask traces export --gzip: {took:.1f} s, peak {mib(peak)} = "
        f"{peak / stored_kib:.2f}x the stored size"
    )

    small = work / "small.sqlite3"
    if not small.exists():
        data = big_document(TRACE, options.show_calls)
        db.save_trace(TRACE, msgpack_data=data, db_path=small)
    small_kib = db.list_traces(small)[0].size / 1024
    started = time.perf_counter()
    process = subprocess.run(
        [sys.executable, "-c", _DECODED_SHOW, str(small), TRACE], capture_output=True, text=True
    )
    took, before = time.perf_counter() - started, int(process.stderr.strip().splitlines()[-1])
    print(
        f"show of {options.show_calls:,} calls ({mib(small_kib)} stored), documents decoded whole "
        f"(before): {took:.1f} s, peak {mib(before)} = {before / small_kib:.1f}x"
    )
    took, after = command_peak(["traces", "show", TRACE, "--db", str(small)], work)
    print(
        f"show of the same through the index (now): {took:.1f} s, peak {mib(after)} = "
        f"{after / small_kib:.1f}x  (an idle interpreter: {mib(idle_peak())})"
    )
    if options.keep is None:
        shutil.rmtree(work)
    return 0


if __name__ == "__main__":
    sys.exit(main())
