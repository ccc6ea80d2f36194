"""The calls index on a database of millions of calls: build cost, size, and query times.

    python bench/bench_calls.py [--db FILE [--sample N] [--calls N]] [--calls N] [--traces N]
                                [--keep DIR]
    python bench/bench_calls.py --indexed FILE [--values | --needles] [--quick]
    python bench/bench_calls.py --written [--db FILE [--sample N] | --calls N --traces N
                                           | --engine NAME --traces N]
    python bench/bench_calls.py --indexed FILE --columns
    python bench/bench_calls.py --first-build FILE

With ``--db`` it works on that database's documents (one made by ``pytest
--vask`` on a real suite, say ``bench/bench_real_suites.py``'s): it stores
every ``--sample``-th trace again into a new database, timed, and builds
each one's index from the document in hand, timed, as the background writer
would (the ratio of the two is what building the index as documents are
stored would add to the store time); then it indexes a copy of the whole
database, timed (the first query's build, reading the documents from
storage), and copies its traces with their index under new trace ids until
the database holds ``--calls`` calls (5 million by default), for the size and
the queries, which are picked from what the suite called (its most called
function, a function that raised, ...).  Without ``--db``, it stores
``--traces`` test traces of ``--calls`` calls in all, written as the engines
lay them out (main -> batches -> calls, with arguments and return values),
half of them of failed tests.  It reports, side by side in one run:

* the time to store the documents, and the time to index them, as a ratio
  (building the index is CPU time of one thread, wherever it runs: what it
  would add to a traced process if its writer built it, which is why the
  index is built by the first query while it costs more than a tenth of
  the store);
* the index's size (its tables and their indexes) against the database's;
* the time of name, outcome and duration queries (answered by the summary and
  the candidate traces' blocks), of the first 100 matches of a listing of
  every match (what ``vask calls`` prints first, as it goes on), and of value
  predicates (which decode the candidate calls' records).

The aims: queries under 1 s, value predicates under 10 s, the index built
in under 10% of the store time, at most 10% of the database.

``--written`` times only the index built as the background writer builds it
(from the records' table the engines' core hands over with each document),
against the store of the same documents, side by side: the rows read
natively and their write, each part, and the trace index's build that reads
the document again; and what the stores write to the database's files (its
write-ahead log and, as it is checkpointed, the database), with the index
and without.  It then stores the documents again while a thread of pure
Python runs beside the store, as a traced program runs beside the background
writer: the store's wall time per document, without the index and with it
(every statement and every native or zstd call lets go of the GIL, and each
time the store waits for it to come back).  Last, it runs a suite's worth of
tests of pure Python, each handing its document to the writer, with the index
built in the writer's spare time and without, side by side: the program's
time, the traces left unindexed at its end, and the first query's build.  With ``--engine``, the documents
are those the engine writes of ``bench/workloads.py``'s programs, with the
tables it hands over; otherwise each table is made here from the document,
untimed.

``--values`` times only the value queries, each twice side by side: with
each document keeping the frame it decompressed last (as before the frame
cache) and with the frame cache; ``--needles`` likewise with every
candidate's record decoded and with the records that lack a predicate's
bytes passed over (its needle); ``--quick`` leaves out those that read every
candidate's record.  ``--columns`` says what each index table takes per call,
and each column of the blocks.

``--first-build`` times only the first query's build of a copy of that
database, twice side by side: each document read by the trace index (as
before the native reader) and read by the native reader where it can be.
The ratio is of CPU time (the machine may be shared: its wall time too).
"""

from __future__ import annotations

import argparse
import itertools
import shutil
import sqlite3
import sys
import tempfile
import threading
import time
from array import array
from pathlib import Path
from typing import Any

REPO = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO / "tests"))

from tracedocs import big_document
from vask import callsearch
from vask.storage import callindex, schema, store


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


def _restore_indexed(source: Path, db_path: Path, sample: int) -> tuple[float, float, int]:
    """Store every ``sample``-th trace of ``source`` again into ``db_path``, and build
    each one's index from its document in hand as the writer would: (seconds the
    stores took, seconds the index builds took, calls indexed).  The two alternate
    trace by trace, so that the machine's load weighs on both alike."""
    from vask.storage import query

    conn = sqlite3.connect(f"file:{source}?mode=ro", uri=True)
    try:
        ids = [
            r[0]
            for r in conn.execute(
                "SELECT trace_id FROM traces GROUP BY trace_id HAVING COUNT(*) = 1 ORDER BY MIN(id)"
            )
        ]
    finally:
        conn.close()
    stored = indexed = 0.0
    calls = 0
    target = schema.connect(db_path)
    try:
        for trace_id in ids[::sample]:
            (doc,) = query.load_trace(source, trace_id)
            began = time.perf_counter()
            store.save_traces([(trace_id, doc)], db_path=db_path)
            stored += time.perf_counter() - began
            began = time.perf_counter()
            built = callindex.build_document(trace_id, doc)
            if built is not None:
                with schema.transaction(target):
                    (row,) = target.execute(
                        "SELECT MAX(id) FROM traces WHERE trace_id = ?", (trace_id,)
                    ).fetchone()
                    calls += callindex.write_built(target, trace_id, built, row)
            indexed += time.perf_counter() - began
    finally:
        target.close()
    return stored, indexed, calls


def _multiply(db_path: Path, calls: int) -> int:
    """Copy the traces of ``db_path`` and their index under new trace ids until it holds
    ``calls`` calls; returns the calls it holds."""
    conn = sqlite3.connect(db_path)
    try:
        (have,) = conn.execute("SELECT SUM(calls) FROM call_traces").fetchone()
        base = have or 0
        if not base:
            return 0
        trace_cols = [r[1] for r in conn.execute("PRAGMA table_info(traces)") if r[1] != "id"]
        index_cols = [r[1] for r in conn.execute("PRAGMA table_info(call_traces)")]
        renamed = {"trace_id", "root_trace_id", "parent_trace_id"}
        copy = 0
        while have < calls:
            copy += 1
            suffix = f"~{copy}"
            with conn:
                (row_shift,) = conn.execute("SELECT MAX(id) FROM traces").fetchone()
                (piece_shift,) = conn.execute(
                    "SELECT COALESCE(MAX(id), 0) FROM trace_pieces"
                ).fetchone()
                (key_shift,) = conn.execute("SELECT MAX(id) FROM call_traces").fetchone()
                picked = ", ".join(
                    f"CASE WHEN {c} IS NULL THEN NULL ELSE {c} || '{suffix}' END"
                    if c in renamed
                    else c
                    for c in trace_cols
                )
                conn.execute(
                    f"INSERT INTO traces (id, {', '.join(trace_cols)})"
                    f" SELECT id + {row_shift}, {picked} FROM traces"
                    f" WHERE id <= {row_shift} AND trace_id NOT LIKE '%~%'"
                )
                conn.execute(
                    f"INSERT INTO trace_pieces (id, trace_row, seq, data)"
                    f" SELECT id + {piece_shift}, trace_row + {row_shift}, seq, data"
                    f" FROM trace_pieces WHERE id <= {piece_shift} AND trace_row IN"
                    " (SELECT id FROM traces WHERE trace_id NOT LIKE '%~%')"
                )
                cols = ", ".join(
                    {
                        "id": f"id + {key_shift}",
                        "trace_id": f"trace_id || '{suffix}'",
                        "last_row": f"last_row + {row_shift}",
                    }.get(c, c)
                    for c in index_cols
                )
                originals = f"SELECT id FROM call_traces WHERE trace_id NOT LIKE '%~%' AND id <= {key_shift}"
                conn.execute(
                    f"INSERT INTO call_traces ({', '.join(index_cols)}) SELECT {cols}"
                    f" FROM call_traces WHERE id IN ({originals})"
                )
                summary_cols = [r[1] for r in conn.execute("PRAGMA table_info(call_summary)")]
                picked_summary = ", ".join(
                    f"trace + {key_shift}" if c == "trace" else c for c in summary_cols
                )
                conn.execute(
                    f"INSERT INTO call_summary ({', '.join(summary_cols)})"
                    f" SELECT {picked_summary} FROM call_summary WHERE trace IN ({originals})"
                )
                conn.execute(
                    f"INSERT INTO call_blocks (trace, sizes, data) SELECT trace + {key_shift},"
                    f" sizes, data FROM call_blocks WHERE trace IN ({originals})"
                )
            have += base
        conn.execute("PRAGMA wal_checkpoint(TRUNCATE)")
        return have
    finally:
        conn.close()


def _picked(db_path: Path) -> dict[str, Any]:
    """Functions of the stored suite to query: the most called, the most raising, ..."""
    conn = sqlite3.connect(db_path)
    try:
        most = conn.execute(
            "SELECT n.qualname, SUM(s.calls) AS c FROM call_summary s JOIN call_names n"
            " ON n.id = s.name GROUP BY n.qualname ORDER BY c DESC LIMIT 1"
        ).fetchone()
        raising = conn.execute(
            "SELECT n.qualname, SUM(s.raised) AS r FROM call_summary s JOIN call_names n"
            " ON n.id = s.name GROUP BY n.qualname ORDER BY r DESC LIMIT 1"
        ).fetchone()
        test = conn.execute(
            "SELECT ct.test FROM call_traces t JOIN call_tests ct ON ct.id = t.test"
            " ORDER BY t.calls DESC LIMIT 1"
        ).fetchone()
        # a function called about 100,000 times: every match of it is a query of its own
        some = conn.execute(
            "SELECT n.qualname, SUM(s.calls) AS c FROM call_summary s JOIN call_names n"
            " ON n.id = s.name GROUP BY n.qualname ORDER BY ABS(c - 100000) LIMIT 1"
        ).fetchone()
        # the method name most classes share (not a dunder, nor a <genexpr>): a pattern
        # without a dot matches them all
        by_name: dict[str, set[str]] = {}
        for (qualname,) in conn.execute("SELECT DISTINCT qualname FROM call_names"):
            by_name.setdefault(qualname.rpartition(".")[2], set()).add(qualname)
        shared = [k for k in by_name if not k.startswith(("__", "<"))]
        bare = max(shared, key=lambda k: (len(by_name[k]), k), default="*")
    finally:
        conn.close()
    return {
        "bare": bare,
        "most": most[0] if most else "*",
        "raising": raising[0] if raising else "*",
        "test": test[0] if test else "*",
        "some": some[0] if some else "*",
        "some_calls": some[1] if some else 0,
    }


def _reindex(db_path: Path) -> tuple[float, int]:
    """(seconds, calls) of building the whole index of ``db_path``."""
    conn = schema.connect(db_path)
    try:
        began = time.perf_counter()
        indexed = callindex.reindex(conn)
        took = time.perf_counter() - began
        conn.execute("PRAGMA wal_checkpoint(TRUNCATE)")
    finally:
        conn.close()
    return took, indexed


def _first_builds(source: Path, work: Path) -> None:
    """The first query's build of a copy of ``source``, with and without the native reader."""
    results = {}
    for label, native in (("trace index", False), ("native reader", True)):
        db_path = work / f"first-{int(native)}.sqlite3"
        _copy(source, db_path)
        saved = callindex._call_rows
        if not native:
            callindex._call_rows = None
        try:
            cpu = time.process_time()
            took, calls = _reindex(db_path)
            cpu = time.process_time() - cpu
        finally:
            callindex._call_rows = saved
        db_path.unlink()
        results[label] = (cpu, calls)
        print(
            f"first query's build, {label:<14} {took:6.1f} s, CPU {cpu:6.1f} s"
            f" ({calls / cpu:,.0f} calls per CPU second)"
        )
    before, after = results["trace index"][0], results["native reader"][0]
    if results["trace index"][1] != results["native reader"][1]:
        print("the two builds indexed different counts of calls")
    print(f"native reader / trace index: {after / before:.0%} of the CPU time ({before / after:.1f}x)")


def _copy(source: Path, target: Path) -> None:
    """A copy of the database ``source`` at ``target``."""
    src = sqlite3.connect(f"file:{source}?mode=ro", uri=True)
    dst = sqlite3.connect(target)
    try:
        src.backup(dst)
    finally:
        src.close()
        dst.close()


def _columns_of(db_path: Path) -> None:
    """The bytes per call of each index table (pages, and those unused) and of each column
    of the blocks: as stored uncompressed, and compressed alone (their sum is more than
    the blocks take, which compress the columns together)."""
    import collections

    import zstandard

    conn = sqlite3.connect(f"file:{db_path}?mode=ro", uri=True)
    try:
        (calls,) = conn.execute("SELECT SUM(calls) FROM call_traces").fetchone()
        total = conn.execute("SELECT SUM(pgsize) FROM dbstat").fetchone()[0]
        print(f"{calls:,} calls; the database {total / 2**20:.1f} MiB")
        for name, pages, unused in conn.execute(
            "SELECT name, SUM(pgsize), SUM(unused) FROM dbstat WHERE name LIKE '%call%'"
            " GROUP BY name ORDER BY 2 DESC"
        ):
            print(
                f"  {name:<34} {pages / calls:6.2f} B/call  {pages / total:6.2%}"
                f"  ({unused / calls:.2f} B/call unused)"
            )
        raw = collections.Counter()
        alone = collections.Counter()
        compress = callindex._compressor().compress
        decompress = callindex._decompressor().decompress
        frames = (
            bytes(data[start:end])
            for sizes, data in conn.execute("SELECT sizes, data FROM call_blocks")
            for start, end in itertools.pairwise([0, *callindex._unpack_ids(sizes)])
        )
        for data in frames:
            block = decompress(data)
            (count,) = callindex._BLOCK_HEAD.unpack_from(block, 0)
            at = callindex._BLOCK_HEAD.size
            for name, _, delta in callindex._COLUMNS:
                began = at
                width = block[at]
                _, at = callindex._read_varint(block, at + 1)
                if delta:
                    _, at = callindex._read_varint(block, at)
                at += count * width
                raw[name] += at - began
                alone[name] += len(compress(block[began:at]))
        print("  block columns: stored, compressed alone (B/call)")
        for name, _, _ in callindex._COLUMNS:
            print(f"    {name:<12} {raw[name] / calls:6.2f} {alone[name] / calls:6.2f}")
    finally:
        conn.close()


def _index_bytes(db_path: Path) -> int | None:
    """Bytes of the index tables, from SQLite's dbstat table when it has one."""
    conn = sqlite3.connect(db_path)
    try:
        names = (
            "call_blocks",
            "call_summary",
            "call_names",
            "call_tests",
            "call_traces",
            "call_index_version",
        )
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


def _values_of_db(  # type: ignore[no-untyped-def]
    picked: dict[str, Any], q, pred, quick: bool, side_by_side: bool = True, needles: bool = False
) -> None:
    """The value queries on a suite's database (see :func:`_picked`)."""
    most, raising, some = picked["most"], picked["raising"], picked["some"]
    rows = [
        (
            f"value: {some} --return != 'zzz', first 2000",
            q(pattern=some, limit=2000, predicates=[pred("return", ["!=", "zzz"])]),
        ),
        (
            f"value: {raising} --local self != 0, first 100",
            q(pattern=raising, limit=100, predicates=[pred("local", ["self", "!=", "0"])]),
        ),
        (
            f"value: {most} --arg self ~ 'zzz' in failed tests",
            q(pattern=most, outcome="failed", predicates=[pred("arg", ["self", "~", "zzz"])]),
        ),
    ]
    if not quick:
        rows += [
            (
                f"value: {some} --return ~ 'zzz' (every call's record)",
                q(pattern=some, predicates=[pred("return", ["~", "zzz"])]),
            ),
            (
                f"value: {most} --return ~ 'zzz' (every call's record)",
                q(pattern=most, predicates=[pred("return", ["~", "zzz"])]),
            ),
        ]
    for what, run in rows:
        if needles:
            _timed_needles(what, run)
        else:
            _timed_frames(what, run, side_by_side)


def _timed_needles(what: str, run) -> None:  # type: ignore[no-untyped-def]
    """A value query timed twice side by side: every candidate's record decoded (no
    predicate searched for its bytes first, as before needles), then as queries run."""
    took = [0.0, 0.0]
    cpu = [0.0, 0.0]
    for n, needles in ((0, False), (1, True)):
        with _patched(callsearch.Predicate, "needle", None, not needles):
            began, began_cpu = time.perf_counter(), time.process_time()
            found = run()
            took[n] = time.perf_counter() - began
            cpu[n] = time.process_time() - began_cpu
    # the CPU time of every thread of the process: what a loaded machine changes least
    print(
        f"  {what:<52} every record {took[0]:8.3f} s (CPU {cpu[0]:.3f} s)"
        f"  needles {took[1]:8.3f} s (CPU {cpu[1]:.3f} s)"
        f"  ({took[0] / max(took[1], 1e-9):.1f}x)  {len(found):>7,} matches"
    )


class _patched:
    """``setattr(owner, name, value)`` for the length of a ``with`` when ``active``."""

    def __init__(self, owner: Any, name: str, value: Any, active: bool) -> None:
        self.owner, self.name, self.value, self.active = owner, name, value, active
        self.saved = owner.__dict__.get(name)

    def __enter__(self) -> None:
        if self.active:
            setattr(self.owner, self.name, self.value)

    def __exit__(self, *exc: Any) -> None:
        if self.active:
            setattr(self.owner, self.name, self.saved)


def _timed_frames(what: str, run, side_by_side: bool) -> None:  # type: ignore[no-untyped-def]
    """A value query timed as it runs; ``side_by_side``: timed first with each
    document keeping the frame it read last only (as before the frame cache),
    then with the frame cache, with the ratio."""
    if not side_by_side:
        _timed(what, run)
        return
    kept = callindex.FRAME_CACHE_BYTES
    took = [0.0, 0.0]
    # the frame cache first: the pages it reads are warm for the other run
    for n, budget in ((1, kept), (0, 0)):
        callindex.FRAME_CACHE_BYTES = budget
        try:
            began = time.perf_counter()
            found = run()
            took[n] = time.perf_counter() - began
        finally:
            callindex.FRAME_CACHE_BYTES = kept
    print(
        f"  {what:<52} last frame {took[0]:8.3f} s  frame cache {took[1]:8.3f} s"
        f"  ({took[0] / max(took[1], 1e-9):.1f}x)  {len(found):>7,} matches"
    )


def _table_of(doc: bytes) -> bytes:
    """The records' table of a document (as the engines' core hands it over with each
    document it writes: see vask.storage.callindex.build_written), made here by
    reading the document, outside the times measured."""
    import msgpack

    unpacker = msgpack.Unpacker(raw=False, strict_map_key=False, max_buffer_size=len(doc) + 1)
    unpacker.feed(doc)
    threads: list[tuple[int, int]] = []
    lengths = array("I")
    for _ in range(unpacker.read_map_header()):
        if unpacker.unpack() != "threads":
            unpacker.skip()
            continue
        for _ in range(unpacker.read_map_header()):
            unpacker.skip()  # the thread's key
            for _ in range(unpacker.read_map_header()):
                if unpacker.unpack() != "frames":
                    unpacker.skip()
                    continue
                count = unpacker.read_array_header()
                threads.append((unpacker.tell(), count))
                for _ in range(count):
                    at = unpacker.tell()
                    unpacker.skip()
                    lengths.append(unpacker.tell() - at)
    head = array("q", [len(threads)] + [v for t in threads for v in t])
    return head.tobytes() + lengths.tobytes()


def _engine_documents(engine: str, traces: int) -> list[tuple[str, bytes, bytes | None]]:
    """Documents an engine writes of bench/workloads.py's programs, each with the records'
    table the engine hands over with it (as vask.storage.writer takes it)."""
    import os

    import vask.db
    from vask import _dump
    from vask.engines.choice import create

    sys.path.insert(0, str(REPO / "bench"))
    import workloads

    seen: list[tuple[str, bytes, bytes | None]] = []
    saved = vask.db.save_trace

    def keep(trace_id, timeout=60, msgpack_data=None, db_path=None, **kwargs):  # type: ignore[no-untyped-def]
        seen.append((trace_id, msgpack_data, _dump._document_table(msgpack_data)))

    vask.db.save_trace = keep
    try:
        for n in range(traces):
            recorder = create(
                engine, config={"threading": False, "fold_after": False}, db_path=os.devnull
            )
            recorder.start()
            try:
                workloads.user_heavy(4000)
                workloads.grammar_heavy(20 + n % 3)
            finally:
                recorder.stop()
            recorder.save()
    finally:
        vask.db.save_trace = saved
    return [(f"trc_{engine}{n:04d}", doc, table) for n, (_, doc, table) in enumerate(seen)]


def _documents_of(args: argparse.Namespace) -> list[tuple[str, bytes]]:
    """--db's every --sample-th document, else --traces generated ones of --calls calls."""
    if args.db is None:
        per = max(args.calls // args.traces, 1000)
        return [
            (f"trc_bench{n:06d}", big_document(f"trc_bench{n:06d}", per, needle_at=per // 2))
            for n in range(args.traces)
        ]
    from vask.storage import query

    conn = sqlite3.connect(f"file:{args.db}?mode=ro", uri=True)
    try:
        ids = [
            r[0]
            for r in conn.execute(
                "SELECT trace_id FROM traces GROUP BY trace_id HAVING COUNT(*) = 1 ORDER BY MIN(id)"
            )
        ]
    finally:
        conn.close()
    return [(t, query.load_trace(args.db, t)[0]) for t in ids[:: args.sample]]


def _bytes_written() -> int:
    """The bytes this process has written to files so far (0 where the system does not say)."""
    try:
        with open("/proc/self/io") as io_counts:
            for line in io_counts:
                if line.startswith("wchar:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def _beside_a_program(
    docs: list[tuple[str, bytes]], tables: list[bytes | None], work: Path
) -> None:
    """Store ``docs`` again, without the index and with it built as stored, while a thread
    of pure Python runs: the store's wall time and CPU time per document."""
    from vask.storage.writer import Job

    stop = threading.Event()

    def program() -> None:
        n = 0
        while not stop.is_set():
            for i in range(1000):
                n += i

    beside = threading.Thread(target=program, daemon=True)
    beside.start()
    spent = {}
    saved = store.BUILD_INDEX_AS_STORED
    try:
        for index in (False, True):
            path = work / f"beside-{int(index)}.sqlite3"
            conn = schema.connect(path)
            store.BUILD_INDEX_AS_STORED = index
            began, cpu = time.perf_counter(), time.thread_time()
            try:
                for (trace_id, doc), table in zip(docs, tables, strict=True):
                    job = Job(trace_id, doc, store.read_head(doc), path, 60.0)
                    job.table = table
                    assert store.store_document(job, 60.0, conn) is None
            finally:
                conn.close()
            spent[index] = (time.perf_counter() - began, time.thread_time() - cpu)
    finally:
        store.BUILD_INDEX_AS_STORED = saved
        stop.set()
        beside.join()
    print("beside a thread of pure Python (per document: wall, CPU):")
    for index, what in ((False, "stored"), (True, "stored with the index built")):
        seconds, cpu = spent[index]
        print(f"  {what:<30} {seconds / len(docs) * 1e3:7.1f} ms {cpu / len(docs) * 1e3:7.2f} ms")
    print(f"  the index adds {spent[True][0] / spent[False][0] - 1:.0%} to the wall time")


def _written(
    docs: list[tuple[str, bytes]], work: Path, tables: list[bytes | None] | None = None
) -> None:
    """Store each document as the background writer stores it (a job with the records'
    table the engines hand over, on a connection kept open), into two databases side by
    side: one without the calls index and one with it built as the document is stored.
    The difference is what building the index adds to the store.  The build that reads
    the document again (the first query's, through the trace index) is timed beside
    them, and each part of the writer's build on its own."""
    from vask.storage.writer import Job

    if tables is None:
        tables = [_table_of(doc) for _, doc in docs]
    plain_path, indexed_path, parts_path = (
        work / f"{n}.sqlite3" for n in ("plain", "indexed", "parts")
    )
    conns = {path: schema.connect(path) for path in (plain_path, indexed_path, parts_path)}
    spent = {"plain": 0.0, "indexed": 0.0, "read": 0.0, "written": 0.0, "lazy": 0.0}
    wall = {"plain": 0.0, "indexed": 0.0}
    wrote = {"plain": 0, "indexed": 0}
    calls = 0
    clock = time.process_time

    def stored(
        path: Path, trace_id: str, doc: bytes, table: bytes | None, index: bool
    ) -> tuple[float, float]:
        job = Job(trace_id, doc, store.read_head(doc), path, 60.0)
        job.table = table
        saved = store.BUILD_INDEX_AS_STORED
        store.BUILD_INDEX_AS_STORED = index
        try:
            began, cpu, written = time.perf_counter(), clock(), _bytes_written()
            assert store.store_document(job, 60.0, conns[path]) is None
            if path != parts_path:
                wrote["indexed" if index else "plain"] += _bytes_written() - written
            return clock() - cpu, time.perf_counter() - began
        finally:
            store.BUILD_INDEX_AS_STORED = saved

    try:
        for n, ((trace_id, doc), table) in enumerate(zip(docs, tables, strict=True)):
            # in turn first and second: the machine's load and its caches weigh on both alike
            order = [(plain_path, False), (indexed_path, True)]
            for path, index in order if n % 2 else order[::-1]:
                cpu, seconds = stored(path, trace_id, doc, table, index)
                spent["indexed" if index else "plain"] += cpu
                wall["indexed" if index else "plain"] += seconds
            began = clock()
            callindex.build_document(trace_id, doc)
            spent["lazy"] += clock() - began
            began = clock()
            built = callindex.build_written(trace_id, doc, table)
            spent["read"] += clock() - began
            if built is None:
                print(f"  {trace_id}: left to the first query")
                continue
            stored(parts_path, trace_id, doc, table, False)
            target = conns[parts_path]
            began = clock()
            with schema.transaction(target):
                (row,) = target.execute(
                    "SELECT MAX(id) FROM traces WHERE trace_id = ?", (trace_id,)
                ).fetchone()
                calls += callindex.write_built(target, trace_id, built, row)
            spent["written"] += clock() - began
    finally:
        for conn in conns.values():
            conn.close()
    base = spent["plain"]
    print(
        f"{len(docs)} documents, {calls:,} calls, stored in {base:.2f} s of CPU"
        f" ({wall['plain']:.2f} s), with the index built as stored in {spent['indexed']:.2f} s"
        f" ({wall['indexed']:.2f} s)"
    )
    if wrote["plain"]:
        print(
            f"  written to the database's files: {wrote['plain'] / 1e6:.1f} MB,"
            f" with the index {wrote['indexed'] / 1e6:.1f} MB"
        )
    for what, seconds in (
        ("the index built as stored adds", spent["indexed"] - base),
        ("  rows from the table (build_written)", spent["read"]),
        ("  rows encoded and written (write_built)", spent["written"]),
        ("rows read again from the document", spent["lazy"]),
    ):
        print(f"  {what:<42} {seconds:7.2f} s  {seconds / base:6.1%} of the store")
    sizes = {}
    for path in (plain_path, indexed_path):
        conn = sqlite3.connect(path)
        try:
            conn.execute("PRAGMA wal_checkpoint(TRUNCATE)")
        finally:
            conn.close()
        sizes[path] = path.stat().st_size
    index_bytes = _index_bytes(indexed_path)
    if index_bytes is not None:
        print(
            f"  the index takes {index_bytes:,} bytes, {index_bytes / sizes[indexed_path]:.1%}"
            f" of the database ({sizes[indexed_path]:,} bytes)"
        )
    _beside_a_program(docs, tables, work)
    _in_spare_time(docs, tables, work)


def _in_spare_time(
    docs: list[tuple[str, bytes]], tables: list[bytes | None], work: Path
) -> None:
    """A traced suite's run as the writer sees it, with the index built in the writer's
    spare time and without, side by side: per document, a test of pure Python as long
    as a test of pyparsing's suite takes traced (97 s for 1,916 traces), then the
    document handed to the writer, which stores it on its own thread.  The program's
    time, the traces left unindexed when it ends (at exit the writer stores what is
    queued and stops), and the first query's build of those."""
    from vask.storage import writer

    per_test = 0.05

    def test() -> None:
        end = time.perf_counter() + per_test
        n = 0
        while time.perf_counter() < end:
            for i in range(200):
                n += i

    saved = writer.INDEX_IN_SPARE_TIME
    results: dict[bool, list[float]] = {}
    try:
        for run, spare in enumerate((False, True, True, False)):
            writer.INDEX_IN_SPARE_TIME = spare
            path = work / f"spare-{run}.sqlite3"
            began, cpu = time.perf_counter(), time.process_time()
            for trace_id, doc in docs:
                test()
                writer.save_trace(trace_id, 60, doc, path, wait=False)
            program = time.perf_counter() - began
            assert writer.drain(600)
            cpu = time.process_time() - cpu
            writer.INDEX_IN_SPARE_TIME = False  # what is left, as the program exits now
            time.sleep(0.2)  # the trace the writer was indexing
            conn = schema.connect(path)
            try:
                pending = len(callindex.pending_traces(conn))
            finally:
                conn.close()
            began = time.perf_counter()
            callsearch.ensure_index(path)
            first = time.perf_counter() - began
            row = results.setdefault(spare, [0.0, 0.0, 0.0, 0.0, 0.0])
            for n, value in enumerate((program, cpu, pending, first, 1)):
                row[n] += value
    finally:
        writer.INDEX_IN_SPARE_TIME = saved
    print(f"a suite of {len(docs)} tests of {per_test * 1e3:.0f} ms of Python, each trace handed"
          " to the writer (mean of two runs each):")
    for spare, what in ((False, "the index left to the first query"),
                        (True, "the index built in spare time")):
        program, cpu, pending, first, runs = results[spare]
        print(f"  {what:<36} program {program / runs:6.2f} s (CPU {cpu / runs:5.2f} s),"
              f" {pending / runs:5.1f} traces left, first query {first / runs:5.2f} s")
    off, on = results[False], results[True]
    print(f"  building the index in spare time adds {on[0] / off[0] - 1:+.1%} to the program's"
          f" time, {on[1] / off[1] - 1:+.1%} to the process's CPU time")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "--db", type=Path, help="a trace database whose documents to store and index"
    )
    parser.add_argument(
        "--calls",
        type=int,
        default=5_000_000,
        help="calls in all (with --db: the copies of its traces reach this many)",
    )
    parser.add_argument("--traces", type=int, default=50)
    parser.add_argument("--keep", type=Path, help="keep the database in this directory")
    parser.add_argument(
        "--indexed",
        type=Path,
        help="a database this benchmark kept (--keep, of --db): its size and queries only",
    )
    parser.add_argument(
        "--sample", type=int, default=20, help="with --db: store every Nth trace again"
    )
    parser.add_argument(
        "--values",
        action="store_true",
        help="the value queries only, each with and without the frame cache, side by side",
    )
    parser.add_argument(
        "--needles",
        action="store_true",
        help="the value queries only, each with every record decoded and with needles",
    )
    parser.add_argument(
        "--written",
        action="store_true",
        help="only the index built as the writer builds it, against the store, side by side"
        " (of --db's every --sample-th trace, or of --traces generated ones)",
    )
    parser.add_argument(
        "--engine",
        choices=("profile", "monitor"),
        help="with --written: --traces documents this engine writes of bench/workloads.py's"
        " programs, with the records' tables it hands over",
    )
    parser.add_argument(
        "--quick",
        action="store_true",
        help="leave out the value queries that read every candidate call's record",
    )
    parser.add_argument(
        "--columns",
        action="store_true",
        help="with --indexed: what each table and each column of the blocks takes, only",
    )
    parser.add_argument(
        "--first-build",
        type=Path,
        help="only the first query's build of a copy of this database, with the trace index"
        " and with the native reader, side by side",
    )
    args = parser.parse_args()
    if args.columns:
        if args.indexed is None:
            parser.error("--columns reads a database indexed already (--indexed FILE)")
        _columns_of(args.indexed)
        return 0
    work = Path(tempfile.mkdtemp(prefix="vask-bench-calls-", dir=args.keep))
    db_path = work / "db.sqlite3"
    try:
        if args.first_build is not None:
            _first_builds(args.first_build, work)
            return 0
        if args.written and args.engine:
            made = _engine_documents(args.engine, args.traces)
            _written([(t, d) for t, d, _ in made], work, [table for _, _, table in made])
            return 0
        if args.written:
            _written(_documents_of(args), work)
            return 0
        if args.indexed is not None:
            db_path = args.indexed
            args.db = args.indexed
        elif args.db is not None:
            # Storing every document again takes long: the store / index ratio
            # is measured on every --sample-th trace, then the whole database
            # is indexed (timed too) for the size and the queries.
            sample_path = work / "sample.sqlite3"
            print(f"storing every {args.sample}th trace of {args.db} again ...")
            store_seconds, built_seconds, sampled = _restore_indexed(
                args.db, sample_path, args.sample
            )
            print(
                f"sample: store / store + index built as stored {store_seconds:.1f} s"
                f" / {store_seconds + built_seconds:.1f} s of {sampled:,} calls"
                f" (the index would add {built_seconds / store_seconds:.0%} to the store time)"
            )
            index_seconds, _ = _reindex(sample_path)
            print(
                f"sample: the first query's build, from storage: {index_seconds:.1f} s"
                f" ({index_seconds / store_seconds:.0%} of the store time)"
            )
            _copy(args.db, db_path)
            store_seconds = None
        else:
            print(f"storing {args.traces} traces of {args.calls:,} calls in all ...")
            store_seconds = _make(db_path, args.calls, args.traces)
        if args.indexed is None:
            index_seconds, indexed = _reindex(db_path)
            print(f"calls indexed        {indexed:,}")
        if args.db is not None and args.indexed is None:
            held = _multiply(db_path, args.calls)
            print(f"copied under new trace ids, with their index: {held:,} calls in all")
        size = db_path.stat().st_size
        if args.indexed is not None:
            pass
        elif store_seconds is not None:
            print(
                f"store / index time   {store_seconds:.1f} s / {index_seconds:.1f} s"
                f"  (index: {index_seconds / store_seconds:.0%} of the store time)"
            )
        else:
            print(
                f"index time           {index_seconds:.1f} s"
                f" ({indexed / max(index_seconds, 1e-9):,.0f} calls/s)"
            )
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

        def first(n, **kw):  # type: ignore[no-untyped-def]
            # the first page of a listing that goes on (as vask calls prints it)
            return lambda: list(itertools.islice(find(db_path, build=False, **kw), n))

        pred = callsearch.Predicate.parse
        if args.db is None:
            _timed("name: compute, first 100", q(pattern="compute", limit=100))
            _timed("name: *batch (every match)", q(pattern="*batch"))
            _timed("outcome: raised", q(pattern="*", raised=True))
            _timed("test outcome failed: main", q(pattern="main", outcome="failed"))
            _timed("duration: 20 slowest compute", q(pattern="compute", slowest=20))
            _timed(
                "test: one test's calls, first 1000", q(pattern="*", test="*::test_3", limit=1000)
            )
            _timed(
                "value: process_batch --arg batch == 7",
                q(pattern="process_batch", predicates=[pred("arg", ["batch", "==", "7"])]),
            )
            _timed(
                "value: compute --return ~ needle (in test_3)",
                q(
                    pattern="compute",
                    test="*::test_3",
                    predicates=[pred("return", ["~", "needle"])],
                ),
            )
            _timed(
                "value: compute --return ~ needle (every trace)",
                q(pattern="compute", predicates=[pred("return", ["~", "needle"])]),
            )
        else:
            picked = _picked(db_path)
            most, raising, test = picked["most"], picked["raising"], picked["test"]
            some = picked["some"]
            print(
                f"  (most called: {most}; most raising: {raising}; biggest test: {test};"
                f" called {picked['some_calls']:,} times: {some})"
            )
            if args.values or args.needles:
                _values_of_db(picked, q, pred, args.quick, needles=args.needles)
                return 0
            _timed(f"name: {most}, first 100", q(pattern=most, limit=100))
            _timed(f"name: {some} (every match)", q(pattern=some))
            _timed(f"name: {some}, the first 100 of every match", first(100, pattern=some))
            bare = picked["bare"]
            _timed(f"name: {bare} (every match)", q(pattern=bare))
            _timed(f"name: {bare}, the first 100 of every match", first(100, pattern=bare))
            _timed("outcome: * --raised, first 1000", q(pattern="*", raised=True, limit=1000))
            _timed(
                f"outcome: {raising} --raised, first 100",
                q(pattern=raising, raised=True, limit=100),
            )
            _timed(f"outcome: {some} --returned (every match)", q(pattern=some, returned=True))
            _timed(
                "test outcome failed: * first 1000", q(pattern="*", outcome="failed", limit=1000)
            )
            _timed(f"duration: 20 slowest {most}", q(pattern=most, slowest=20))
            _timed("duration: 20 slowest of all", q(pattern="*", slowest=20))
            _timed(
                "duration: 20 slowest of all in failed tests",
                q(pattern="*", slowest=20, outcome="failed"),
            )
            _timed("duration: 20 slowest that raised", q(pattern="*", slowest=20, raised=True))
            _timed(
                "test: the biggest test's calls, first 1000", q(pattern="*", test=test, limit=1000)
            )
            _values_of_db(picked, q, pred, args.quick, side_by_side=False)
    finally:
        if args.keep is None:
            shutil.rmtree(work, ignore_errors=True)
        else:
            print(f"kept {work}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
