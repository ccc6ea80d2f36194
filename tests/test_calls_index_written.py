"""The calls index built as documents are stored, from the records' table the engines'
core writes with each document: the same rows the trace index gives, for both engines."""

from __future__ import annotations

import asyncio
import itertools
import math
import os
import sqlite3
import threading
import uuid

import pytest
import vask
import vask.db
from tracedocs import document, frame
from vask import _dump, callsearch
from vask.document import CALL_PATTERN
from vask.storage import callindex, schema, store, writer


def reserve(qty, password="hunter2"):
    if qty > 100:
        raise ValueError(qty)
    return qty * 2


def countdown(n):
    while n:
        yield n
        n -= 1


def refuse(kind):
    raise kind("no")


def shop():
    for qty in (5, 150, 7):
        try:
            reserve(qty)
        except ValueError:
            pass
    for kind in (KeyError, LookupError, KeyError):
        try:
            refuse(kind)
        except LookupError:
            pass
    list(countdown(3))
    gen = countdown(5)
    next(gen)
    try:
        gen.throw(RuntimeError("stop"))
    except RuntimeError:
        pass
    worker = threading.Thread(target=reserve, args=(42,), name="worker")
    worker.start()
    worker.join()


def item(n):
    return n + 1


def many_items():
    return sum(item(n) for n in range(40))


def deep(n):
    return n if n == 0 else deep(n - 1) + 1


def branches():
    return sum(deep(30) for _ in range(40))


async def step(n):
    await asyncio.sleep(0)
    return n


async def steps():
    return await asyncio.gather(*(step(n) for n in range(3)))


def _plain(value):
    """Rows compared as values: a missing time (NaN) equals another."""
    if isinstance(value, float) and math.isnan(value):
        return None
    if isinstance(value, dict):
        return {k: _plain(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_plain(v) for v in value]
    return value


def _written_tables(tmp_path, trace_id, data, built, names):
    """The index tables ``built`` writes for the document ``data`` into a database of its
    own, its blocks decompressed; ``names`` are given ids first, in order, so that two
    builds of one document number their names alike."""
    db_path = tmp_path / f"index-{uuid.uuid4().hex}.sqlite3"
    store.save_traces([(trace_id, data)], db_path=db_path)
    conn = schema.connect(db_path)
    try:
        with schema.transaction(conn):
            callindex.ensure_tables(conn)
            conn.executemany("INSERT INTO call_names (qualname, file) VALUES (?, ?)", names)
            (row,) = conn.execute("SELECT MAX(id) FROM traces").fetchone()
            calls = callindex.write_built(conn, trace_id, built, row)
        traces = conn.execute("SELECT * FROM call_traces").fetchall()
        summary = conn.execute("SELECT * FROM call_summary ORDER BY name").fetchall()
        blocks = []
        for key, sizes, frames in conn.execute("SELECT trace, sizes, data FROM call_blocks"):
            ends = [0, *callindex._unpack_ids(bytes(sizes))]
            unpack = callindex._decompressor().decompress
            raw = [unpack(frames[a:b]) for a, b in itertools.pairwise(ends)]
            blocks.append((key, raw))
        rows = callindex.all_rows(conn, trace_id)
    finally:
        conn.close()
    return {"calls": calls, "traces": traces, "summary": summary, "blocks": blocks, "rows": rows}


def _assert_same_rows(tmp_path, trace_id, data, table):
    """The index the writer builds of a document (read and encoded natively) is the one
    the trace index's rows give, written in Python: the same tables, byte for byte."""
    lazy = callindex.build_document(trace_id, data)
    written = callindex.build_written(trace_id, data, table)
    assert lazy is not None and written is not None
    assert written.native is not None and lazy.native is None
    assert (written.root, written.legacy) == (lazy.root, lazy.legacy)
    assert written.threads == lazy.threads
    assert written.exc_types == lazy.exc_types
    names = sorted(lazy.rows)
    expected = _written_tables(tmp_path, trace_id, data, lazy, names)
    got = _written_tables(tmp_path, trace_id, data, written, names)
    assert got["calls"] > 0 and all(raw for _, frames in got["blocks"] for raw in frames)
    assert _plain(got) == _plain(expected)
    return got


@pytest.fixture
def handed(monkeypatch):
    """Every document an engine hands to vask.db.save_trace, with its records' table."""
    seen = []
    original = vask.db.save_trace

    def spy(trace_id, timeout=60, msgpack_data=None, db_path=None, **kwargs):
        seen.append((trace_id, msgpack_data, _dump._document_table(msgpack_data)))
        return original(trace_id, timeout, msgpack_data, db_path, **kwargs)

    monkeypatch.setattr(vask.db, "save_trace", spy)
    return seen


@pytest.fixture(autouse=True)
def _index_as_stored(monkeypatch):
    monkeypatch.setattr(store, "BUILD_INDEX_AS_STORED", True)


def _record(engine, db_path, program, config=None):
    recorder = engine.recorder(config=config, db_path=db_path)
    recorder.start()
    try:
        program()
    finally:
        recorder.stop()
    recorder.save()
    assert writer.drain(30)


PROGRAMS = {
    "threads, generators and exceptions": (shop, {"threading": True}),
    "folded ranges": (many_items, {"fold_after": 5}),
    "flushed subtrees": (branches, {"flush_subtree_mb": 0.02}),
    "asyncio tasks": (lambda: asyncio.run(steps()), {}),
}


@pytest.mark.parametrize("program", list(PROGRAMS))
def test_rows_from_the_table_are_those_of_the_trace_index(engine, tmp_path, handed, program):
    run, config = PROGRAMS[program]
    db_path = tmp_path / "db.sqlite3"
    _record(engine, db_path, run, config)
    assert handed and all(table is not None for _, _, table in handed)
    for trace_id, data, table in handed:
        # the store counts the calls by the table, as the pattern counts them
        assert _dump._count_calls(data, table) == data.count(CALL_PATTERN) > 0
        written = _assert_same_rows(tmp_path, trace_id, data, table)
        # measured again without the table, the index is the same
        _assert_same_rows(tmp_path, trace_id, data, None)
    if program == "flushed subtrees":
        assert len({trace_id for trace_id, _, _ in handed}) > 1
    if program == "folded ranges":
        assert callindex.FOLDED in {row["outcome"] for row in written["rows"]}
    # the writer indexed every trace as it stored it: nothing is left to the first query
    conn = schema.connect(db_path)
    try:
        assert callindex.has_index(conn)
        assert callindex.pending_traces(conn) == []
        stored = {t: callindex.all_rows(conn, t) for t, _, _ in handed}
    finally:
        conn.close()
    callindex.reindex(sqlite3.connect(db_path))
    with sqlite3.connect(db_path) as conn:
        again = {t: callindex.all_rows(conn, t) for t in stored}
    assert _plain(stored) == _plain(again)


def test_trace_points_are_indexed_as_stored(engine, tmp_path, monkeypatch):
    if not engine.monitor:
        pytest.skip("trace points are the monitor's")
    points = []
    original = writer.save_trace

    def spy(trace_id, timeout=60, msgpack_data=None, db_path=None, **kwargs):
        if kwargs.get("what") == "trace point":
            points.append((trace_id, msgpack_data))
        return original(trace_id, timeout, msgpack_data, db_path, **kwargs)

    monkeypatch.setattr(writer, "save_trace", spy)
    db_path = tmp_path / "db.sqlite3"
    _record(engine, db_path, shop, {"trace_points": ["reserve"]})
    assert len(points) == 3  # the calls that returned, the worker's too
    for trace_id, data in points:
        _assert_same_rows(tmp_path, trace_id, data, None)
    conn = schema.connect(db_path)
    try:
        assert callindex.pending_traces(conn) == []
    finally:
        conn.close()
    tests = {m.trace_id for m in vask.calls("reserve", db_path=db_path)}
    assert {t for t, _ in points} <= tests


def test_the_table_is_handed_only_with_its_own_document(engine, tmp_path, handed):
    _record(engine, tmp_path / "db.sqlite3", shop, {"threading": True})
    _, data, table = handed[-1]
    assert _dump._document_table(data) is None  # outside the store's call
    assert _dump._document_table(bytes(data)) is None
    # the table says where each thread's records lie: lengths adding up to the document
    threads = int.from_bytes(table[:8], "little")
    assert threads == 2
    assert len(table) > 8 + 16 * threads


@pytest.mark.parametrize(
    "records",
    [
        # a call that began before tracing adopts what ran before it
        [
            frame("call", 2, 1.0, "inner"),
            frame("return", 2, 2.0, "inner", arg=1),
            frame("return", 1, 3.0, "outer", arg=2),
            frame("return", 3, 4.0, "main", arg=3),
        ],
        # a close for a call below the innermost: those between never closed
        [
            frame("call", 1, 1.0, "main"),
            frame("call", 2, 2.0, "lost"),
            frame("call", 3, 3.0, "lost2"),
            frame("return", 1, 4.0, "main", arg=None),
            frame("call", 4, 5.0, "after"),
        ],
        # exceptions stored as text, by their fields, as nothing
        [
            frame("call", 1, 1.0, "f"),
            frame("unwind", 1, 2.0, "f", exception="  <pkg.Err object at 0x1>"),
            frame("call", 2, 3.0, "g"),
            frame("unwind", 2, 4.0, "g", exception=None),
        ],
    ],
    ids=["began before tracing", "closed below the innermost", "exception forms"],
)
def test_rows_of_unusual_trees_are_those_of_the_trace_index(tmp_path, records):
    data = document("trc_odd", {"native_1": records, "native_2": records[:2]})
    _assert_same_rows(tmp_path, "trc_odd", data, None)


def _calls_of_f(*starts):
    out = []
    for n, start in enumerate(starts, 1):
        out += [frame("call", n, start, "f"), frame("return", n, start + 0.5, "f", arg=n)]
    return out


@pytest.mark.parametrize(
    "threads",
    [
        # a function's calls in two threads, interleaved in time: ordered by start
        {"native_1": _calls_of_f(1.0, 3.0, 5.0), "native_2": _calls_of_f(2.0, 4.0, 6.0)},
        # calls whose times no clock shows: after those with one
        {"native_1": _calls_of_f(1e30, 2.0, 1e30, 1.0), "native_2": _calls_of_f(1e30)},
        # calls at the same instant: by thread, then node
        {"native_1": _calls_of_f(2.0, 2.0), "native_2": _calls_of_f(2.0, 1.0)},
    ],
    ids=["threads interleaved", "no times", "ties"],
)
def test_a_names_calls_are_ordered_by_start_as_the_trace_index_orders_them(tmp_path, threads):
    data = document("trc_order", threads)
    got = _assert_same_rows(tmp_path, "trc_order", data, _table_of(data))
    starts = [row["start"] for row in got["rows"]]
    known = [s for s in starts if s is not None and not math.isnan(s)]
    assert known == sorted(known) and starts[: len(known)] == known


def test_the_first_query_writes_traces_a_few_at_a_time_and_reports_each(tmp_path, monkeypatch):
    db_path = tmp_path / "db.sqlite3"
    docs = [(f"trc_{n}", document(f"trc_{n}", {"native_1": _calls_of_f(*range(1, n + 2))}))
            for n in range(7)]  # fmt: skip
    store.save_traces(docs, db_path=db_path)
    monkeypatch.setattr(callindex, "_BATCH_TRACES", 3)
    commits, progress = [], []
    conn = schema.connect(db_path)
    conn.set_trace_callback(lambda sql: commits.append(sql) if sql == "COMMIT" else None)
    try:
        callindex.index_traces(conn, [t for t, _ in docs], lambda *p: progress.append(p))
        # the disk is waited for as before once the index is written
        assert conn.execute("PRAGMA synchronous").fetchone()[0] == 2
        assert callindex.pending_traces(conn) == []
        counts = dict(conn.execute("SELECT trace_id, calls FROM call_traces"))
    finally:
        conn.close()
    assert len(commits) == 3 + 1  # 3 + 3 + 1 traces, and the tables made first
    assert progress == [(n, 7) for n in range(1, 8)]
    assert counts == {f"trc_{n}": n + 1 for n in range(7)}


@pytest.mark.parametrize(
    "records",
    [
        # a frame record not in the engines' layout (its keys in another order)
        [{"type": "frame", "event": "call", "frame_id": "frm_1", "path": "a.py:1",
          "co_name": "f", "qualname": "f", "timestamp": 1.0}],
        # an exception whose type only decoding it tells
        [frame("call", 1, 1.0, "f"), frame("unwind", 1, 2.0, "f", exception={"type": "E"})],
    ],
    ids=["frame record in another layout", "exception read by decoding"],
)  # fmt: skip
def test_documents_the_native_reader_does_not_read_are_left_to_the_first_query(tmp_path, records):
    data = document("trc_left", {"native_1": records})
    assert callindex.build_written("trc_left", data, None) is None
    assert callindex.build_document("trc_left", data) is not None


def test_a_table_that_does_not_match_the_document_builds_nothing(engine, tmp_path, handed):
    _record(engine, tmp_path / "db.sqlite3", shop, {"threading": True})
    trace_id, data, table = handed[-1]
    assert callindex.build_written(trace_id, data, table[:-4]) is None
    wrong = bytearray(table)
    wrong[8] ^= 1  # the first thread's records said to start elsewhere
    assert callindex.build_written(trace_id, data, bytes(wrong)) is None


def test_calls_are_counted_by_the_table_without_looking_into_values(tmp_path, monkeypatch):
    """A value holding the call pattern's bytes is not a call; a table that does not match
    leaves the count to the pattern, as for a document handed over without one."""
    records = [
        frame("call", 1, 1.0, "main", locals={"text": CALL_PATTERN + b"x" * 26}),
        frame("call", 2, 2.0, "f"),
        frame("return", 2, 3.0, "f", arg=CALL_PATTERN),
        frame("return", 1, 4.0, "main", arg=None),
    ]
    data = document("trc_counted", {"native_1": records, "native_2": records[1:3]})
    table = _table_of(data)
    assert data.count(CALL_PATTERN) == 6
    assert _dump._count_calls(data, table) == 3
    assert store.row_of_document("trc_counted", {}, data, None, table).calls == 3
    for wrong in (table[:-4], table[:8] + (1 << 40).to_bytes(8, "little") + table[16:]):
        assert _dump._count_calls(data, wrong) is None
        assert store.row_of_document("trc_counted", {}, data, None, wrong).calls == 6
    # stored by the writer with its table, the trace says so
    monkeypatch.setattr(store, "BUILD_INDEX_AS_STORED", False)
    job = writer.Job("trc_counted", data, store.read_head(data), tmp_path / "db.sqlite3", 30.0)
    job.table = table
    assert store.store_document(job, 30.0) is None
    with sqlite3.connect(tmp_path / "db.sqlite3") as conn:
        assert conn.execute("SELECT calls FROM traces").fetchall() == [(3,)]


def test_an_index_that_cannot_be_written_leaves_the_trace_stored(
    engine, tmp_path, handed, monkeypatch
):
    def broken(*args, **kwargs):
        raise sqlite3.OperationalError("no index today")

    monkeypatch.setattr(callindex, "write_built", broken)
    db_path = tmp_path / "db.sqlite3"
    _record(engine, db_path, shop, {"threading": True})
    conn = schema.connect(db_path)
    try:
        assert [r[0] for r in conn.execute("SELECT trace_id FROM traces")] == [handed[-1][0]]
        assert callindex.pending_traces(conn) == [handed[-1][0]]
    finally:
        conn.close()
    assert len(list(callsearch.find_calls(db_path, "reserve"))) == 4


def _table_of(data):
    """The records' table of a document as the engines' core makes it (see utils/trace.hpp)."""
    from array import array

    import msgpack

    unpacker = msgpack.Unpacker(raw=False, strict_map_key=False)
    unpacker.feed(data)
    threads, lengths = [], array("I")
    for _ in range(unpacker.read_map_header()):
        if unpacker.unpack() != "threads":
            unpacker.skip()
            continue
        for _ in range(unpacker.read_map_header()):
            unpacker.skip()
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
    return (
        array("q", [len(threads)] + [v for t in threads for v in t]).tobytes() + lengths.tobytes()
    )


def test_damaged_bytes_give_rows_or_a_reason_never_a_crash():
    import random

    from vask.document import PLAUSIBLE_TIMES

    records = [
        frame("call", 1, 1.0, "main"),
        frame("call", 2, 2.0, "f", locals={"x": [1, "two", {"3": 4.0}]}),
        frame("unwind", 2, 3.0, "f", exception="ValueError('x')"),
        frame("return", 1, 4.0, "main", arg=None),
    ]
    data = document("trc_fuzz", {"native_1": records, "native_2": records[1:3]})
    table = _table_of(data)
    assert callindex.build_written("trc_fuzz", data, table) is not None
    rng = random.Random(7)
    for _ in range(400):
        damaged = bytearray(data)
        for _ in range(rng.randint(1, 4)):
            damaged[rng.randrange(len(damaged))] = rng.randrange(256)
        cut = bytes(damaged[: rng.randint(0, len(damaged))] if rng.random() < 0.3 else damaged)
        for given in (None, table, table[: rng.randrange(len(table))]):
            got = _dump._call_rows(cut, given, *PLAUSIBLE_TIMES)
            assert isinstance(got, (str, tuple))
            if given is not None:
                counted = _dump._count_calls(cut, given)
                assert counted is None or 0 <= counted <= len(cut)
            if isinstance(got, tuple):  # what was read is encoded, whatever it holds
                _, keys, _, count, rows = got
                encoded = _dump._encode_call_index(rows, list(range(len(keys))), 2, 4, 2.0**-20)
                assert isinstance(encoded, str) or encoded[3] == count


def _rows_of_db(db_path):
    with sqlite3.connect(db_path) as conn:
        ids = [r[0] for r in conn.execute("SELECT trace_id FROM call_traces ORDER BY trace_id")]
        legacy = dict(conn.execute("SELECT trace_id, legacy FROM call_traces"))
        return {t: callindex.all_rows(conn, t) for t in ids}, legacy


def _first_query(db_path, monkeypatch):
    """Index a database as the first query does; returns the traces pending, the root
    trace ids of the documents the native reader read (the others went to the trace
    index) and the progress reported."""
    read, progress = [], []
    original = callindex._native_rows

    def spy(data, table, root, legacy):
        got = original(data, table, root, legacy)
        if got is not None:
            read.append(root)
        return got

    monkeypatch.setattr(callindex, "_native_rows", spy)
    conn = schema.connect(db_path)
    try:
        pending = callindex.pending_traces(conn)
        callindex.index_traces(conn, pending, lambda done, total: progress.append((done, total)))
    finally:
        conn.close()
    monkeypatch.setattr(callindex, "_native_rows", original)
    return pending, read, progress


def _by_the_trace_index(db_path, monkeypatch):
    """The whole index built again with every document read by the trace index."""
    monkeypatch.setattr(callindex, "_call_rows", None)
    conn = sqlite3.connect(db_path)
    try:
        callindex.reindex(conn)
    finally:
        conn.close()
    monkeypatch.undo()


@pytest.mark.parametrize("program", list(PROGRAMS))
def test_the_first_query_reads_stored_documents_natively(engine, tmp_path, monkeypatch, program):
    monkeypatch.setattr(store, "BUILD_INDEX_AS_STORED", False)
    monkeypatch.setattr(writer, "INDEX_IN_SPARE_TIME", False)
    run, config = PROGRAMS[program]
    db_path = tmp_path / "db.sqlite3"
    _record(engine, db_path, run, config)
    pending, read, progress = _first_query(db_path, monkeypatch)
    assert pending and len(read) == len(pending)  # each document read natively
    assert progress == [(n, len(pending)) for n in range(1, len(pending) + 1)]
    native = _rows_of_db(db_path)
    _by_the_trace_index(db_path, monkeypatch)
    assert _plain(native) == _plain(_rows_of_db(db_path))


def test_the_first_query_leaves_what_the_native_reader_refuses_to_the_trace_index(
    tmp_path, monkeypatch
):
    calls = [frame("call", 1, 1.0, "main"), frame("return", 1, 2.0, "main", arg=3)]
    reordered = {
        "type": "frame", "event": "call", "frame_id": "frm_1", "path": "a.py:1",
        "co_name": "f", "qualname": "f", "timestamp": 1.0,
    }  # fmt: skip
    old = [frame("call", 1, 1.0, "f", locals={"item": "<Item object at 0x7f>"})]
    db_path = tmp_path / "db.sqlite3"
    store.save_traces(
        [
            ("trc_plain", document("trc_plain", {"native_1": calls})),
            ("trc_layout", document("trc_layout", {"native_1": [reordered]})),
            ("trc_old", document("trc_old", {"native_1": old}, version="0.1.9")),
            ("trc_twice", document("trc_twice", {"native_1": calls})),
            ("trc_twice", document("trc_twice", {"native_2": calls[:1]})),
            ("trc_bad", b"\x81\xa7threads\xc1"),
        ],
        db_path=db_path,
    )
    pending, read, _ = _first_query(db_path, monkeypatch)
    assert sorted(pending) == ["trc_bad", "trc_layout", "trc_old", "trc_plain", "trc_twice"]
    assert read == ["trc_plain"]
    native = _rows_of_db(db_path)
    assert native[1]["trc_old"] == 0 and native[1]["trc_plain"] is None  # values before 0.2
    assert [r["qualname"] for r in native[0]["trc_twice"]] == ["app.main", "app.main"]
    _by_the_trace_index(db_path, monkeypatch)
    assert _plain(native) == _plain(_rows_of_db(db_path))
    assert len(vask.calls("f", db_path=db_path, trace="trc_old", args={"item": ("~", "Item")})) == 1


def _folded(ts, **fields):
    record = {"type": "folded", "timestamp": ts}
    record.update(fields)
    return record


FOLDED_FORMS = {
    "as the engines write it": {
        "qualname": "app.item", "co_name": "item", "path": "app.py:12", "count": 35,
        "total_duration": 0.25, "first_timestamp": 1.5,
    },
    "no qualname: its co_name, even empty": {"co_name": "", "path": "app.py:3", "count": 2},
    "no name at all, no path": {"qualname": None, "count": 7, "total_duration": 1},
    "a path without a line, a line of letters": {"qualname": "f", "path": "app.py:x"},
    "a path that is only a line": {"qualname": "g", "path": ":12"},
    "a count that is not an int": {"qualname": "h", "count": True, "total_duration": True},
    "times outside any clock": {"qualname": "k", "first_timestamp": 1e30, "total_duration": 2.0},
    "a duration that is not finite": {
        "qualname": "m", "first_timestamp": 2.0, "total_duration": float("inf"),
    },
    "a name a call has too": {
        "qualname": "app.main", "path": "app.py:1", "count": 3, "first_timestamp": 0.5,
    },
}  # fmt: skip


@pytest.mark.parametrize("form", list(FOLDED_FORMS))
def test_folded_ranges_in_any_form_are_indexed_as_the_trace_index_reads_them(tmp_path, form):
    records = [
        frame("call", 1, 1.0, "main"),
        _folded(1.2, **FOLDED_FORMS[form]),
        frame("call", 2, 2.0, "inner"),
        _folded(2.1, qualname="app.item", path="app.py:12", count=4, first_timestamp=2.05),
        frame("return", 2, 3.0, "inner", arg=1),
        frame("return", 1, 4.0, "main", arg=2),
    ]
    data = document("trc_folded", {"native_1": records, "native_2": records[:3]})
    got = _assert_same_rows(tmp_path, "trc_folded", data, _table_of(data))
    assert sum(row["outcome"] == callindex.FOLDED for row in got["rows"]) == 3


def test_a_folded_range_named_outside_ascii_is_left_to_the_trace_index():
    records = [frame("call", 1, 1.0, "main"), _folded(1.5, qualname="app.ítem", count=2)]
    data = document("trc_accent", {"native_1": records})
    assert callindex.build_written("trc_accent", data, None) is None
    assert callindex.build_document("trc_accent", data) is not None


def test_a_trace_stored_twice_is_indexed_whole_by_the_first_query(tmp_path):
    from vask.storage.writer import Job

    db_path = tmp_path / "db.sqlite3"
    parts = [
        [frame("call", 1, 1.0, "main"), frame("return", 1, 2.0, "main", arg=1)],
        [frame("call", 2, 3.0, "again"), frame("return", 2, 4.0, "again", arg=2)],
    ]
    conn = schema.connect(db_path)
    try:
        for records in parts:
            data = document("trc_twice", {"native_1": records})
            job = Job("trc_twice", data, store.read_head(data), db_path, 10.0)
            job.table = _table_of(data)
            assert store.store_document(job, 10.0, conn) is None
        # the first document was indexed as stored; the second alone would not be the trace
        assert callindex.pending_traces(conn) == ["trc_twice"]
    finally:
        conn.close()
    found = {m.qualname for m in vask.calls("*", db_path=db_path)}
    assert found == {"app.main", "app.again"}


def calls(names):
    """A call of each of ``names`` in turn."""
    out = []
    for n, name in enumerate(names, 1):
        out += [frame("call", n, float(n), name), frame("return", n, n + 0.5, name, arg=n)]
    return out


def test_hundreds_of_names_a_trace_are_numbered_alike(tmp_path):
    # more names than one statement looks up, some known from a trace stored before
    first = document("trc_a", {"native_1": calls([f"f{n}" for n in range(300)])})
    second = document("trc_b", {"native_1": calls([f"f{n}" for n in range(150, 1400)])})
    db_path = tmp_path / "db.sqlite3"
    conn = schema.connect(db_path)
    try:
        for trace_id, data in (("trc_a", first), ("trc_b", second)):
            store.save_traces([(trace_id, data)], db_path=db_path)
            with schema.transaction(conn):
                callindex.ensure_tables(conn)
                (row,) = conn.execute(
                    "SELECT MAX(id) FROM traces WHERE trace_id = ?", (trace_id,)
                ).fetchone()
                built = callindex.build_written(trace_id, data, None)
                callindex.write_built(conn, trace_id, built, row)
        names = conn.execute("SELECT COUNT(*), COUNT(DISTINCT qualname) FROM call_names").fetchone()
        assert names == (1400, 1400)
        rows = callindex.all_rows(conn, "trc_b")
    finally:
        conn.close()
    assert sorted(row["qualname"] for row in rows) == sorted(f"app.f{n}" for n in range(150, 1400))


def _traces_db(tmp_path, name, count):
    db_path = tmp_path / name
    docs = [(f"trc_{n}", document(f"trc_{n}", {"native_1": _calls_of_f(*range(1, n + 2))}))
            for n in range(count)]  # fmt: skip
    store.save_traces(docs, db_path=db_path)
    return db_path, [t for t, _ in docs]


def test_traces_read_ahead_on_a_thread_are_indexed_as_when_read_in_turn(tmp_path, monkeypatch):
    readers = set()
    original = callindex._build

    def build(conn, trace_id):
        readers.add(threading.current_thread().name)
        return original(conn, trace_id)

    monkeypatch.setattr(callindex, "_build", build)
    indexed = {}
    for cpus in (1, 2):
        monkeypatch.setattr(os, "cpu_count", lambda cpus=cpus: cpus)
        db_path, ids = _traces_db(tmp_path, f"{cpus}.sqlite3", 9)
        conn = schema.connect(db_path)
        try:
            callindex.index_traces(conn, ids)
            indexed[cpus] = {t: callindex.all_rows(conn, t) for t in ids}
        finally:
            conn.close()
    assert readers == {threading.current_thread().name, "vask-calls-index-reader"}
    assert _plain(indexed[1]) == _plain(indexed[2])


@pytest.mark.parametrize("cpus", [1, 2])
def test_a_trace_that_cannot_be_read_stops_the_build_after_those_before(
    tmp_path, monkeypatch, cpus
):
    monkeypatch.setattr(os, "cpu_count", lambda: cpus)
    db_path, ids = _traces_db(tmp_path, "db.sqlite3", 6)
    original = callindex._build

    def build(conn, trace_id):
        if trace_id == "trc_3":
            raise sqlite3.OperationalError("disk I/O error")
        return original(conn, trace_id)

    monkeypatch.setattr(callindex, "_build", build)
    conn = schema.connect(db_path)
    try:
        with pytest.raises(sqlite3.OperationalError, match="disk I/O error"):
            callindex.index_traces(conn, ids)
        assert callindex.pending_traces(conn) == ["trc_3", "trc_4", "trc_5"]
    finally:
        conn.close()


def test_names_known_to_a_build_are_looked_up_again_once_the_tables_are_made_again(
    tmp_path, monkeypatch
):
    """A build keeps the ids of the names it looked up from batch to batch; another build
    that makes the tables again meanwhile numbers them anew, and the ids kept go."""
    db_path = tmp_path / "db.sqlite3"
    traces = {
        "trc_a": ["alpha", "beta"],
        "trc_b": ["gamma", "beta", "alpha"],
        "trc_c": ["beta", "delta"],
    }
    store.save_traces(
        [(t, document(t, {"native_1": calls(names)})) for t, names in traces.items()],
        db_path=db_path,
    )
    monkeypatch.setattr(callindex, "_BATCH_TRACES", 1)
    monkeypatch.setattr(os, "cpu_count", lambda: 1)
    other = schema.connect(db_path)

    def made_again(done, total):
        if done == 1:  # another build, of another version, makes the tables again
            with schema.transaction(other):
                other.execute("UPDATE call_index_version SET version = 0")
                callindex.ensure_tables(other)
                other.execute("INSERT INTO call_names (qualname, file) VALUES ('app.zeta', 'x')")

    conn = schema.connect(db_path)
    try:
        callindex.index_traces(conn, list(traces), made_again)
        assert callindex.pending_traces(conn) == ["trc_a"]
        for trace_id in ("trc_b", "trc_c"):
            got = sorted(row["qualname"] for row in callindex.all_rows(conn, trace_id))
            assert got == sorted(f"app.{name}" for name in traces[trace_id])
    finally:
        conn.close()
        other.close()


@pytest.mark.parametrize("taken_back", ["the index's savepoint", "the whole transaction"])
def test_names_a_connection_found_in_what_rolled_back_are_not_kept(tmp_path, taken_back):
    """A kept-open connection remembers the ids of the names it wrote; those of writes
    rolled back are forgotten, for their ids go to the next names added (here by another
    connection), and a trace indexed later must not be named by them."""
    db_path = tmp_path / "db.sqlite3"
    conn, other = schema.connect(db_path), schema.connect(db_path)
    names = ["alpha", "beta"]
    try:
        with schema.transaction(other):
            callindex.ensure_tables(other)
        with pytest.raises(RuntimeError), schema.transaction(conn):
            if taken_back == "the index's savepoint":
                conn.execute("SAVEPOINT vask_calls_index")
                callindex._name_ids(conn, [(f"app.{n}", "app.py") for n in names])
                conn.execute("ROLLBACK TO SAVEPOINT vask_calls_index")
                schema.forget_written(conn)
                conn.execute("RELEASE SAVEPOINT vask_calls_index")
            else:
                callindex._name_ids(conn, [(f"app.{n}", "app.py") for n in names])
            raise RuntimeError("rolled back")
        with schema.transaction(other):
            for n in ("zeta", "eta"):
                other.execute(
                    "INSERT INTO call_names (qualname, file) VALUES (?, 'x.py')", (f"app.{n}",)
                )
        store.save_traces(
            [("trc_a", document("trc_a", {"native_1": calls(names)}))], db_path=db_path
        )
        assert callindex.index_traces(conn, ["trc_a"]) == 2
        got = sorted(row["qualname"] for row in callindex.all_rows(conn, "trc_a"))
        assert got == ["app.alpha", "app.beta"]
    finally:
        conn.close()
        other.close()
