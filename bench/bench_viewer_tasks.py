"""The viewer's tree by task on an asyncio trace of tens of thousands of tasks.

    python bench/bench_viewer_tasks.py [--tasks N] [--leaves N] [--keep DIR] [--before DIR]

Stores one trace of an asyncio program as the monitor engine records it
(``main`` gathers ``--tasks`` tasks, each running two steps of a coroutine
that calls ``--leaves`` functions per step: about ``tasks * 2 * (leaves + 1)``
calls; see ``tests/tracedocs.task_document``), starts ``vask traces view``
on it in a process of its own and reports:

* how long the server took to index the trace before it printed its URL;
* the time to first paint of the tree by task (``by=task``): through
  headless Chromium when it is installed (from navigation to the first task
  rows drawn), else the requests the page makes before it draws them; the
  first one groups the thread by task;
* the time of the task list's pages (first, middle, last), of a task's
  place in the list, a task's entries, a node's place in the tree by task
  and the module's level without the tasks' steps;
* the server's peak memory (VmHWM) against the trace's stored size, with
  the memory of an idle interpreter that imported the same modules;
* ``vask traces show --by task`` (to depth 2, and whole) and ``vask traces
  export --by task``: time and peak memory against the stored size, next to
  ``show`` by thread.

``--before DIR`` (as in bench_viewer.py) measures another revision's
``python/`` directory first, in the same run.
"""

from __future__ import annotations

import argparse
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO / "tests"))
sys.path.insert(0, str(REPO / "bench"))

from bench_viewer import (  # noqa: E402
    command_peak,
    first_paint_browser,
    get,
    idle_peak,
    mib,
    peak_kib,
    revision_env,
    revisions,
)
from tracedocs import task_document  # noqa: E402

from vask import db  # noqa: E402

TRACE = "trc_01BENCHTASKSBENCHTASKSBEN"
THREAD = "native_1"


def measure_server(label: str, env: dict[str, str], path: Path, stored_kib: float) -> None:
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
        summary = get(base, f"/api/trace/{TRACE}")[2]
        calls = summary["calls"]
        print(label + f"server indexed the trace ({calls:,} calls) in {indexed:.2f} s")

        api = f"/api/trace/{TRACE}/tasks?thread={THREAD}"
        paint = first_paint_browser(url + "&by=task")
        if paint is not None:
            print(
                label + "first paint of the tree by task (headless Chromium, from navigation, "
                f"grouping included): {paint * 1000:.0f} ms"
            )
        else:
            first = 0.0
            for asset in ("/", "/static/viewer.js", "/static/tasks.js", f"/api/trace/{TRACE}"):
                first += get(base, asset)[0]
            first += get(base, f"{api}&offset=0&limit=200")[0]
            print(
                label + "the page and the requests before the tree by task is drawn "
                f"(grouping included): {first * 1000:.0f} ms"
            )

        page = get(base, f"{api}&offset=0&limit=200")[2]
        total = page.get("total", len(page["tasks"]))  # (before: the whole list at once)
        far = page["tasks"][0]["task_id"] + total - 10
        entries = get(base, f"{api}&task={far}")[2]
        resumed = entries["items"][-1]["node"]
        leaf = get(base, f"/api/trace/{TRACE}/children?thread={THREAD}&node={resumed}&group=task")
        leaf_node = leaf[2]["items"][-1]["node"]
        module = get(base, f"/api/trace/{TRACE}/children?thread={THREAD}&node=0&group=task")
        module_node = module[2]["items"][0]["node"]
        requests = {
            "task list, first page (200)": f"{api}&offset=0&limit=200",
            "task list, a middle page (200)": f"{api}&offset={total // 2}&limit=200",
            "task list, the last page": f"{api}&offset={total - 100}&limit=200",
            "a task's place in the list": f"{api}&index_of={far}",
            "a task's entries": f"{api}&task={far}",
            "a node's place in the tree by task": f"{api}&node={leaf_node}",
            "the module's level without the steps": (
                f"/api/trace/{TRACE}/children?thread={THREAD}&node={module_node}"
                "&group=task&offset=0&limit=200"
            ),
        }
        print(label + f"requests ({total:,} tasks listed; the best of 3):")
        for what, request in requests.items():
            took = min(get(base, request)[0] for _ in range(3))
            size = get(base, request)[1]
            print(label + f"  {what:40s} {took * 1000:8.1f} ms  {size / 1024:8.1f} KiB")
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
    parser.add_argument("--tasks", type=int, default=60_000)
    parser.add_argument("--leaves", type=int, default=8, help="calls per step of a task")
    parser.add_argument("--keep", type=Path, help="keep the database in this directory")
    parser.add_argument("--before", type=Path, help="another revision's python/ directory")
    options = parser.parse_args()

    work = options.keep or Path(tempfile.mkdtemp(prefix="vask-bench-tasks-"))
    work.mkdir(parents=True, exist_ok=True)
    path = work / "db.sqlite3"
    if not path.exists():
        started = time.perf_counter()
        data = task_document(TRACE, options.tasks, leaves=options.leaves)
        db.save_trace(TRACE, msgpack_data=data, db_path=path)
        print(
            f"stored an asyncio trace of {options.tasks:,} tasks: {len(data) / 2**20:.1f} MiB "
            f"in {time.perf_counter() - started:.1f} s"
        )
        del data
    (stored_trace,) = db.list_traces(path)
    stored_kib = stored_trace.size / 1024

    for label, python_path in revisions(options.before):
        measure_server(label, revision_env(python_path), path, stored_kib)

    db_args = ["--db", str(path)]
    out = str(work / "t.json.gz")
    commands = {
        "show --depth 2 (by thread)": ["traces", "show", TRACE, *db_args, "--depth", "2"],
        "show --by task --depth 2": ["traces", "show", TRACE, *db_args, "--by", "task"]
        + ["--depth", "2"],
        "show --by task": ["traces", "show", TRACE, *db_args, "--by", "task"],
        "export --gzip --by task": ["traces", "export", TRACE, *db_args, "--by", "task"]
        + ["-o", out, "--gzip"],
    }
    for what, args in commands.items():
        for label, python_path in revisions(options.before):
            if python_path is not None and what == "show --by task":
                continue  # the whole text of every task: long enough once
            took, peak = command_peak(args, work, revision_env(python_path))
            print(
                f"{label}vask traces {what}: {took:.1f} s, peak {mib(peak)} = "
                f"{peak / stored_kib:.2f}x the stored size"
            )
    if options.keep is None:
        shutil.rmtree(work)
    return 0


if __name__ == "__main__":
    sys.exit(main())
