"""The PostgreSQL backend against SQLite, on the same traces in one run.

    python bench/bench_postgres.py [--docs N] [--calls N] [--big-calls N] [--repeat N]

Starts a throwaway PostgreSQL cluster (tests/pgcluster.py: initdb + pg_ctl on
a Unix socket, removed at the end) and an SQLite file, and measures on both:

* store throughput: ``--docs`` documents of ``--calls`` calls each, stored
  one by one through ``save_trace`` (each waited for), and the same number
  again through the background writer (nobody waits: batched transactions);
* ``list``: ``vask traces list`` of the database (in process, best of ``--repeat``);
* ``show``: ``vask traces show`` of one trace of ``--big-calls`` calls (a
  new process, best of ``--repeat``);
* the viewer's first paint: from a new viewer to the answers the page paints
  first (the trace list, and the big trace's facts and threads once indexed),
  best of ``--repeat``.

Prints each figure for both backends and their ratio (PostgreSQL / SQLite);
absolute times here are noisy, the ratios are what to compare.
"""

from __future__ import annotations

import argparse
import json
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO / "tests"))

from pgcluster import Cluster  # noqa: E402
from tracedocs import big_document  # noqa: E402
from vask import db  # noqa: E402
from vask.storage import query, writer  # noqa: E402


def store_one_by_one(target, documents) -> float:
    started = time.perf_counter()
    for trace_id, data in documents:
        db.save_trace(trace_id, msgpack_data=data, db_path=target, keep_aside=False)
    return time.perf_counter() - started


def store_in_background(target, documents) -> float:
    started = time.perf_counter()
    for trace_id, data in documents:
        writer.save_trace(trace_id, msgpack_data=data, db_path=target, wait=False)
    writer.drain()
    return time.perf_counter() - started


def best(repeat: int, measure) -> float:
    return min(measure() for _ in range(repeat))


def timed(action) -> float:
    started = time.perf_counter()
    action()
    return time.perf_counter() - started


def show_time(target, trace_id: str, cwd: Path) -> float:
    argv = [sys.executable, "-m", "vask", "traces", "show", trace_id, "--db", str(target)]
    if not isinstance(target, Path):
        argv[-1] = target.full_text()
    return timed(lambda: subprocess.run(argv, cwd=cwd, stdout=subprocess.DEVNULL, check=True))


def first_paint(target, trace_id: str) -> float:
    from vask.viewer.server import Viewer, make_server

    started = time.perf_counter()
    viewer = Viewer(target)
    server = make_server(viewer, 0)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    try:
        base = f"http://127.0.0.1:{server.server_address[1]}"
        json.load(urllib.request.urlopen(f"{base}/api/traces"))
        while True:
            facts = json.load(urllib.request.urlopen(f"{base}/api/trace/{trace_id}"))
            if facts.get("threads"):
                break
            time.sleep(0.005)
        return time.perf_counter() - started
    finally:
        server.shutdown()
        viewer.close()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--docs", type=int, default=300)
    parser.add_argument("--calls", type=int, default=200)
    parser.add_argument("--big-calls", type=int, default=100_000)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()

    from vask.storage import backend

    cluster = Cluster()
    work = Path(tempfile.mkdtemp(prefix="vask-bench-pg-"))
    try:
        targets = {
            "sqlite": work / "db.sqlite3",
            "postgresql": backend.locate(cluster.url(schema="bench")),
        }
        small = [(f"trc_S{i:05d}", big_document(f"trc_S{i:05d}", args.calls, batch=50))
                 for i in range(args.docs)]  # fmt: skip
        more = [(f"trc_T{i:05d}", big_document(f"trc_T{i:05d}", args.calls, batch=50))
                for i in range(args.docs)]  # fmt: skip
        big_id = f"trc_BIG{args.big_calls}"
        big = big_document(big_id, args.big_calls)
        mb = sum(len(d) for _, d in small) / 1e6
        rows: dict[str, dict[str, float]] = {}
        for name, target in targets.items():
            r = rows[name] = {}
            r["store, waited (docs/s)"] = args.docs / store_one_by_one(target, small)
            r["store, background (docs/s)"] = args.docs / store_in_background(target, more)
            r["store big trace (s)"] = timed(
                lambda target=target: db.save_trace(big_id, msgpack_data=big, db_path=target)
            )
            r["list (s)"] = best(
                args.repeat, lambda target=target: timed(lambda: query.list_traces(target))
            )
            r["show big (s)"] = best(
                args.repeat, lambda target=target: show_time(target, big_id, work)
            )
            r["viewer first paint (s)"] = best(
                args.repeat, lambda target=target: first_paint(target, big_id)
            )
        print(
            f"{args.docs} documents of {args.calls} calls ({mb:.1f} MB) stored twice;"
            f" a trace of {args.big_calls:,} calls ({len(big) / 1e6:.1f} MB)"
        )
        print(f"{'':30} {'SQLite':>10} {'PostgreSQL':>11} {'PG/SQLite':>10}")
        for key in rows["sqlite"]:
            a, b = rows["sqlite"][key], rows["postgresql"][key]
            print(f"{key:30} {a:10.3f} {b:11.3f} {b / a:10.2f}")
    finally:
        writer.drain()
        cluster.remove()
        import shutil

        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
