"""What assignment tracking and trace points cost in the monitoring engine (Python 3.12+).

    python bench/bench_monitor_features.py [--repeat N]

Runs in one process, side by side:

* A store-heavy loop of user code, traced with assignment tracking off and
  on; the difference per assignment record is set against the cost of one
  recorded call (its call and return records), measured on a loop of calls.
  The aim: a store costs no more than a recorded call.
* A function called 100,000 times, traced with no trace points configured,
  with trace points naming a function that is never called, and as the
  target itself (100,000 trace points, handed to the background worker and
  all stored in SQLite before the run counts as done). The aim: a program
  with no trace-point target pays nothing for the feature.

Every traced row includes building the trace document. Times are the best of
--repeat runs; ratios are to the untraced run of the same workload.
"""

from __future__ import annotations

import argparse
import os
import sys
import tempfile
from pathlib import Path

from bench_overhead import timed
from vask import db
from vask.profiler import create

CALLS = 100_000


def store_heavy(n: int = 20_000) -> int:
    total = 0
    for i in range(n):
        a = i * 2
        b = a + 1
        c = b - i
        total = total + c
    return total


def callee(x: int) -> int:
    return x


def call_heavy(n: int = 20_000) -> int:
    total = 0
    for i in range(n):
        total += callee(i)
    return total


def target(x: int) -> int:
    return x + 1


def call_target() -> int:
    total = 0
    for i in range(CALLS):
        total += target(i)
    return total


def traced(func, config: dict, db_path: Path | None = None, counts: dict | None = None):
    """func under the monitoring engine; the stop waits for the stored trace points."""

    def run() -> None:
        recorder = create("monitor", config={"threading": False, **config}, db_path=db_path)
        recorder.start()
        try:
            func()
        finally:
            recorder.stop()
        document = recorder.build_trace()
        if counts is not None:
            counts["document"] = document
            counts["trace_points"] = recorder.trace_points_stored

    return run


def record_count(document: bytes, pattern: bytes) -> int:
    return document.count(pattern)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    if sys.version_info < (3, 12):
        sys.exit("the monitoring engine needs Python 3.12 or later")
    repeat = args.repeat
    print(f"Python {sys.version.split()[0]}, best of {repeat} runs, ratio to untraced")

    # ---- assignments -------------------------------------------------------------
    counts: dict = {}
    base_stores = timed(store_heavy, repeat)
    off = timed(traced(store_heavy, {}), repeat)
    on = timed(traced(store_heavy, {"line_events": True}, counts=counts), repeat)
    assignments = record_count(counts["document"], b"\xa5event\xa4line")
    base_calls = timed(call_heavy, repeat)
    calls_traced = timed(traced(call_heavy, {}, counts=counts), repeat)
    calls = record_count(counts["document"], b"\xa5event\xa4call")
    per_store = (on - off) / assignments
    per_call = (calls_traced - base_calls) / calls
    print(f"\nstore-heavy loop: untraced {base_stores * 1000:.1f} ms, {assignments:,} assignments")
    for label, seconds in (("untraced", base_stores), ("assignments off", off), ("on", on)):
        print(f"  {label:34s} {seconds / base_stores:7.2f}x  {seconds * 1000:9.1f} ms")
    print(f"  {'one assignment record':34s} {per_store * 1e6:7.2f} µs")
    print(f"  {'one recorded call (call + return)':34s} {per_call * 1e6:7.2f} µs")
    print(f"  assignment / recorded call: {per_store / per_call:.2f}x (aim: at most 1)")

    # ---- trace points -------------------------------------------------------------
    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "db.sqlite3"
        base = timed(call_target, repeat)
        rows = [
            ("untraced", base),
            ("no trace points", timed(traced(call_target, {}), repeat)),
            (
                "trace points, none fires",
                timed(traced(call_target, {"trace_points": ["never_called"]}), repeat),
            ),
        ]
        stored: dict = {}
        rows.append(
            (
                "every call a trace point (stored)",
                timed(traced(call_target, {"trace_points": ["target"]}, path, stored), repeat),
            )
        )
        in_db = len(db.trace_points(path))
        size = os.path.getsize(path)
    print(f"\n{CALLS:,} calls of a trace-point target: untraced {base * 1000:.1f} ms")
    for label, seconds in rows:
        print(f"  {label:34s} {seconds / base:7.2f}x  {seconds * 1000:9.1f} ms")
    none, idle, every = rows[1][1], rows[2][1], rows[3][1]
    print(f"  configured, none fires / none configured: {idle / none:.3f}x (aim: 1)")
    print(
        f"  per trace point, stored: {(every - none) / CALLS * 1e6:.2f} µs "
        f"({stored['trace_points']:,} in the last run; {in_db:,} in the database, "
        f"{size / 1e6:.1f} MB)"
    )


if __name__ == "__main__":
    main()
