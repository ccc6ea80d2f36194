"""The same trace documents stored as written and compressed: database size and read time.

Reads every document of an existing trace database (one written by any vask,
such as a run of ``bench_real_suites.py``), stores each into two new
databases, one as written (the documents' bytes unchanged, as before
compression) and one through the current storage (zstd frames), and prints,
side by side: the file sizes, the ratio, and the time to read every document
back whole and to index every trace (``traceindex``)::

    build/venv-3.13/bin/python bench/bench_storage_size.py build/bench/attrs/traces.sqlite3
"""

from __future__ import annotations

import argparse
import sqlite3
import tempfile
import time
from pathlib import Path

from vask import db, traceindex
from vask.storage import schema, store


def disk(path: Path) -> int:
    return sum(p.stat().st_size for p in (path, Path(f"{path}-wal")) if p.exists())


def store_raw(path: Path, documents: list[tuple[str, bytes]]) -> None:
    """The documents stored as written, in a database of the layout before compression."""
    conn = sqlite3.connect(path)
    for steps in schema._MIGRATIONS[:2]:
        for statement in steps:
            conn.execute(statement)
    conn.execute("PRAGMA user_version = 2")
    for trace_id, data in documents:
        conn.execute(
            "INSERT INTO traces (trace_id, root_trace_id, stored_at, size, calls, data, pieces)"
            " VALUES (?, ?, 0, ?, 0, ?, 0)",
            (trace_id, trace_id, len(data), data),
        )
    conn.commit()
    conn.execute("VACUUM")
    conn.close()


def read_all(path: Path, ids: list[str]) -> tuple[float, float]:
    started = time.perf_counter()
    for trace_id in ids:
        db.load_trace(path, trace_id)
    whole = time.perf_counter() - started
    started = time.perf_counter()
    for trace_id in ids:
        index = traceindex.open_trace(path, trace_id)
        index.close()
    return whole, time.perf_counter() - started


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("database", type=Path)
    args = parser.parse_args()
    ids = sorted({s.trace_id for s in db.list_traces(args.database)})
    documents = [(i, d) for i in ids for d in db.load_trace(args.database, i)]
    written = sum(len(d) for _, d in documents)
    with tempfile.TemporaryDirectory() as tmp:
        raw, packed = Path(tmp) / "raw.sqlite3", Path(tmp) / "packed.sqlite3"
        store_raw(raw, documents)
        started = time.perf_counter()
        store.save_traces(documents, db_path=packed)
        store_seconds = time.perf_counter() - started
        conn = schema.connect(packed)
        conn.execute("VACUUM")
        conn.close()
        raw_read, packed_read = read_all(raw, ids), read_all(packed, ids)
        print(f"{len(documents)} documents of {len(ids)} traces, {written / 2**20:.1f} MiB written")
        print(
            f"  database   as written {disk(raw) / 2**20:8.1f} MiB   compressed "
            f"{disk(packed) / 2**20:8.1f} MiB   {disk(raw) / max(disk(packed), 1):.1f}x smaller"
        )
        print(
            f"  storing    compressed in {store_seconds:.1f} s "
            f"({written / 2**20 / max(store_seconds, 1e-9):.0f} MiB/s)"
        )
        for what, a, b in (
            ("read whole", raw_read[0], packed_read[0]),
            ("index", raw_read[1], packed_read[1]),
        ):
            print(f"  {what:<10} as written {a:8.2f} s       compressed {b:8.2f} s       "
                  f"{b / max(a, 1e-9):.2f}x")  # fmt: skip


if __name__ == "__main__":
    main()
