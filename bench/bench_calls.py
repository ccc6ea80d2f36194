"""The calls index on a database of millions of calls: build cost, size, and query times.

    python bench/bench_calls.py [--db FILE] [--calls N] [--traces N] [--keep DIR]

With ``--db`` it works on a copy of that database (one made by
``pytest --vask`` on a real suite, say ``bench/bench_real_suites.py``'s);
without, it stores ``--traces`` test traces of ``--calls`` calls in all,
written as the engines lay them out (main -> batches -> calls, with
arguments and return values), half of them of failed tests.  It reports,
side by side in one run:

* the time to store the documents, and the time to index them, as a ratio;
* the index's size (its tables and their indexes) against the database's;
* the time of name, outcome and duration queries (answered by the index)
  and of value predicates (which decode the candidate calls' records).

The aims: queries under 1 s, value predicates under 10 s, the index built
in under 10% of the store time, at most 10% of the database.
"""

from __future__ import annotations

import argparse
import shutil
import sqlite3
import sys
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO / "tests"))

from tracedocs import big_document  # noqa: E402

from vask import callsearch  # noqa: E402
from vask.storage import callindex, schema, store  # noqa: E402


def _end_test(outcome: str) -> bytes:
    """The bytes of an "end_test" record, spliced into a document's record list."""
    import msgpack

    return msgpack.packb(
        {
            "frame_id": "frm_end",
            "timestamp": time.time(),
            "user_code_call_site": None,
            "type": "end_test",
            "outcome": outcome,
        }
    )


def _make(db_path: Path, calls: int, traces: int) -> float:
    """Store the generated traces; returns the seconds the stores took."""
    per = max(calls // traces, 1000)
    spent = 0.0
    for n in range(traces):
        trace_id = f"trc_bench{n:06d}"
        doc = big_document(trace_id, per, needle_at=per // 2)
        # name the trace after a test, and give it the test's outcome
        import msgpack

        decoded = msgpack.unpackb(doc, raw=False, strict_map_key=False)
        decoded["trace_name"] = f"tests/test_bench.py::test_{n}"
        thread = next(iter(decoded["threads"].values()))
        outcome = "failed" if n % 2 else "passed"
        thread["frames"].append(msgpack.unpackb(_end_test(outcome), raw=False))
        doc = msgpack.packb(decoded)
        began = time.perf_counter()
        store.save_traces([(trace_id, doc)], db_path=db_path)
        spent += time.perf_counter() - began
    return spent


def _index_bytes(db_path: Path) -> int | None:
    """Bytes of the index tables, from SQLite's dbstat table when it has one."""
    conn = sqlite3.connect(db_path)
    try:
        names = ("calls", "call_names", "call_threads", "call_traces", "call_index_version")
        marks = ",".join("?" * len(names))
        rows = conn.execute(
            f"SELECT SUM(pgsize) FROM dbstat WHERE name IN ({marks})"
            f" OR name IN (SELECT name FROM sqlite_master WHERE tbl_name IN ({marks})"
            " AND type = 'index')",
            (*names, *names),
        ).fetchone()
        return rows[0]
    except sqlite3.OperationalError:
        return None
    finally:
        conn.close()


def _timed(what: str, run) -> None:  # type: ignore[no-untyped-def]
    began = time.perf_counter()
    found = run()
    took = time.perf_counter() - began
    print(f"  {what:<52} {took:8.3f} s  {len(found):>7,} matches")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--db", type=Path, help="a trace database to copy and index")
    parser.add_argument("--calls", type=int, default=5_000_000)
    parser.add_argument("--traces", type=int, default=50)
    parser.add_argument("--keep", type=Path, help="keep the database in this directory")
    args = parser.parse_args()
    work = Path(tempfile.mkdtemp(prefix="vask-bench-calls-", dir=args.keep))
    db_path = work / "db.sqlite3"
    try:
        if args.db is not None:
            shutil.copyfile(args.db, db_path)
            store_seconds = None
        else:
            print(f"storing {args.traces} traces of {args.calls:,} calls in all ...")
            store_seconds = _make(db_path, args.calls, args.traces)
        conn = schema.connect(db_path)
        try:
            began = time.perf_counter()
            indexed = callindex.reindex(conn)
            index_seconds = time.perf_counter() - began
            conn.execute("PRAGMA wal_checkpoint(TRUNCATE)")
        finally:
            conn.close()
        size = db_path.stat().st_size
        print(f"calls indexed        {indexed:,}")
        if store_seconds is not None:
            print(
                f"store / index time   {store_seconds:.1f} s / {index_seconds:.1f} s"
                f"  (index: {index_seconds / store_seconds:.0%} of the store time)"
            )
        else:
            print(f"index time           {index_seconds:.1f} s")
        part = _index_bytes(db_path)
        if part is not None:
            print(
                f"database / index     {size / 2**20:.1f} MiB / {part / 2**20:.1f} MiB"
                f"  (index: {part / size:.1%} of the database)"
            )
        else:
            print(f"database             {size / 2**20:.1f} MiB (no dbstat: index size unknown)")
        print("queries:")
        find = callsearch.find_calls

        def q(**kw):  # type: ignore[no-untyped-def]
            return lambda: list(find(db_path, build=False, **kw))

        _timed("name: compute, first 100", q(pattern="compute", limit=100))
        _timed("name: *batch (every match)", q(pattern="*batch"))
        _timed("outcome: raised", q(pattern="*", raised=True))
        _timed("test outcome failed: main", q(pattern="main", outcome="failed"))
        _timed("duration: 20 slowest compute", q(pattern="compute", slowest=20))
        _timed("test: one test's calls, first 1000", q(pattern="*", test="*::test_3", limit=1000))
        pred = callsearch.Predicate.parse
        _timed(
            "value: process_batch --arg batch == 7",
            q(pattern="process_batch", predicates=[pred("arg", ["batch", "==", "7"])]),
        )
        _timed(
            "value: compute --return ~ needle (in test_3)",
            q(pattern="compute", test="*::test_3", predicates=[pred("return", ["~", "needle"])]),
        )
        _timed(
            "value: compute --return ~ needle (every trace)",
            q(pattern="compute", predicates=[pred("return", ["~", "needle"])]),
        )
    finally:
        if args.keep is None:
            shutil.rmtree(work, ignore_errors=True)
        else:
            print(f"kept {work}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
