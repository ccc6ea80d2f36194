"""Subtree flushing: finished parts of a large trace are stored while it runs.

Every test runs against both engines (the ``engine`` fixture).
"""

from __future__ import annotations

import logging
import sqlite3
import threading

import msgpack
import pytest
import vask.db
from engine_driver import decode


def records(doc: dict) -> list[dict]:
    return [r for thread in doc["threads"].values() for r in thread["frames"]]


def leaf(i):
    payload = "x" * 40
    return i + len(payload)


def branch(n):
    total = 0
    for i in range(n):
        total += leaf(i)
    return total


def program(branches, width):
    total = 0
    for _ in range(branches):
        total += branch(width)
    return total


def produce(n):
    for i in range(n):
        yield leaf(i)


def program_with_generators(branches, width):
    total = 0
    for _ in range(branches):
        total += sum(produce(width)) + branch(width)
    return total


def run(engine, monkeypatch, config, *, fail=False, branches=40, width=20, func=program):
    stored = []

    def save_trace(trace_id, **kwargs):
        # Every store, a flush's too, passes these keywords in this order.
        assert list(kwargs) == ["timeout", "msgpack_data", "db_path"]
        if fail:
            raise sqlite3.OperationalError("database is locked")
        stored.append((trace_id, decode(kwargs["msgpack_data"])))

    monkeypatch.setattr(vask.db, "save_trace", save_trace)
    profiler = engine.recorder(config=config)
    profiler.start()
    try:
        result = func(branches, width)
    finally:
        profiler.stop()
    assert result == func(branches, width)
    return profiler, stored, decode(profiler.build_trace())


def calls_in(recs):
    return [r for r in recs if r.get("type") == "frame" and r["event"] == "call"]


def test_without_flushing_everything_stays_in_the_trace(engine, monkeypatch):
    _, stored, doc = run(engine, monkeypatch, {"flush_subtree_mb": False})
    assert stored == []
    assert len(calls_in(records(doc))) == 40 * 21 + 1
    assert not [r for r in records(doc) if r.get("type") == "subtree_flushed"]


def test_flushed_subtrees_are_stored_and_replaced_by_markers(engine, monkeypatch):
    profiler, stored, doc = run(engine, monkeypatch, {"flush_subtree_mb": 0.02})
    assert stored, "a 20 KB threshold must flush"
    markers = [r for r in records(doc) if r.get("type") == "subtree_flushed"]
    assert markers
    flushed = {trace_id: flushed_doc for trace_id, flushed_doc in stored}
    for marker in markers:
        assert list(marker) == [
            "type",
            "frame_id",
            "co_name",
            "flushed_trace_id",
            "flushed_bytes",
            "flushed_segment_count",
            "timestamp",
        ]
        flushed_doc = flushed[marker["flushed_trace_id"]]
        assert flushed_doc["root_trace_id"] == profiler.trace_id
        assert flushed_doc["trace_id"] != profiler.trace_id
        # The stored run is complete calls: every call has its return.
        flushed_records = records(flushed_doc)
        assert sum(len(r) for r in flushed_doc["threads"].values()) > 0
        stack = []
        for r in flushed_records:
            if r["event"] == "call":
                stack.append(r["frame_id"])
            else:
                assert r["frame_id"] == stack.pop()
        assert not stack
        assert len(calls_in(flushed_records)) >= marker["flushed_segment_count"]
        assert marker["co_name"] in ("branch", "leaf")
    # Nothing is lost: the calls left in the trace and the flushed ones add up.
    total = len(calls_in(records(doc))) + sum(len(calls_in(records(d))) for _, d in stored)
    assert total == 40 * 21 + 1
    # The trace keeps its shape: program's call and return are still there.
    names = [(r["co_name"], r["event"]) for r in records(doc) if r.get("type") == "frame"]
    assert names[0] == ("program", "call") and names[-1] == ("program", "return")


def same_run(record):
    """What two runs of the same program must agree on, record by record."""
    if record.get("type") != "frame":
        return (record.get("type"),)
    site = record["user_code_call_site"]
    return (
        record["co_name"],
        record["event"],
        record["qualname"],
        record["path"],
        record.get("arg"),
        record.get("exception"),
        record["locals"],
        site and site["line_number"],
    )


def expanded(recs, stored):
    """The records with every marker replaced, recursively, by the trace it names."""
    out = []
    for r in recs:
        if r.get("type") == "subtree_flushed":
            out.extend(expanded(records(stored[r["flushed_trace_id"]]), stored))
        else:
            out.append(r)
    return out


@pytest.mark.parametrize("func", [program, program_with_generators])
def test_markers_replaced_by_their_traces_give_back_the_whole_run(engine, monkeypatch, func):
    _, _, whole = run(engine, monkeypatch, {"flush_subtree_mb": False}, branches=60, func=func)
    _, stored, doc = run(engine, monkeypatch, {"flush_subtree_mb": 0.02}, branches=60, func=func)
    markers = [r for r in records(doc) if r.get("type") == "subtree_flushed"]
    assert markers and len(stored) >= len(markers)
    by_id = dict(stored)
    assert [same_run(r) for r in expanded(records(doc), by_id)] == [
        same_run(r) for r in records(whole)
    ]
    # Every stored run is complete calls, and what is left is too.
    assert balanced(records(doc))
    for _, flushed in stored:
        assert balanced(records(flushed))


def test_buffered_bytes_stay_bounded_on_a_long_run(engine, monkeypatch):
    _, stored, doc = run(engine, monkeypatch, {"flush_subtree_mb": 0.05}, branches=400, width=20)
    kept = sum(len(msgpack.packb(r)) for r in records(doc))
    flushed = sum(len(msgpack.packb(r)) for _, d in stored for r in records(d))
    assert flushed > 10 * kept
    assert kept < 2 * 0.05 * 1024 * 1024


def small(i):
    return i + 1


def descend(depth, blob, n):
    # Every open call holds a large argument: together they keep the thread
    # above its threshold, and none of it can be cut while they are open.
    if depth == 0:
        total = 0
        for i in range(n):
            total += small(i)
        return total
    return descend(depth - 1, blob, n) + len(blob)


def stuck_above_threshold(depth, calls):
    return descend(depth, "y" * 3000, calls)


def test_open_calls_above_the_threshold_do_not_make_a_cut_per_call(engine, monkeypatch):
    # Before, a thread held above its threshold by its open calls cut every
    # finished call on its own as it returned: one stored trace per call.
    threshold = 0.04 * 1024 * 1024
    _, stored, doc = run(
        engine,
        monkeypatch,
        {"flush_subtree_mb": 0.04},
        branches=60,
        width=3000,
        func=stuck_above_threshold,
    )
    by_id = dict(stored)
    whole = expanded(records(doc), by_id)
    markers = [r for d in [doc, *by_id.values()] for r in records(d)]
    markers = [r for r in markers if r.get("type") == "subtree_flushed"]
    assert stored and len(stored) == len(markers)
    # Every cut is a run worth a trace of its own; while the thread is stuck
    # it cuts once per eighth of its threshold that it grew, not per call.
    assert all(m["flushed_bytes"] >= threshold / 64 for m in markers)
    assert sum(m["flushed_bytes"] for m in markers) / len(markers) >= threshold / 16
    assert len(stored) < 3000 / 4
    assert len(calls_in(whole)) == 61 + 3000 + 1
    assert balanced(whole)


def test_a_failed_store_keeps_the_records_and_stops_trying(engine, monkeypatch, caplog):
    caplog.set_level(logging.WARNING, logger="vask")
    _, stored, doc = run(engine, monkeypatch, {"flush_subtree_mb": 0.02}, fail=True)
    assert stored == []
    assert len(calls_in(records(doc))) == 40 * 21 + 1
    assert not [r for r in records(doc) if r.get("type") == "subtree_flushed"]
    warnings = [r for r in caplog.records if r.name == "vask"]
    assert len(warnings) == 1
    assert isinstance(warnings[0].exc_info[1], sqlite3.OperationalError)


@pytest.mark.parametrize("value", [False, None])
def test_flushing_can_be_disabled(engine, monkeypatch, value):
    _, stored, _ = run(engine, monkeypatch, {"flush_subtree_mb": value}, branches=5)
    assert stored == []


def test_flushed_traces_land_in_the_database(engine, tmp_path):
    db_path = tmp_path / "db.sqlite3"
    profiler = engine.recorder(config={"flush_subtree_mb": 0.02}, db_path=db_path)
    profiler.start()
    try:
        program(40, 20)
    finally:
        profiler.stop()
    profiler.save()
    with sqlite3.connect(db_path) as connection:
        rows = connection.execute(
            "select trace_id, root_trace_id from traces order by id"
        ).fetchall()
    assert len(rows) > 1
    assert all(root == profiler.trace_id for _, root in rows)
    # the flushed traces were stored before the trace that points at them
    assert rows[-1][0] == profiler.trace_id


def balanced(recs):
    """Whether every opening event has its closing one, in order (markers stand in
    for whole calls)."""
    stack = []
    for r in recs:
        if r.get("type") != "frame":
            continue
        if r["event"] in ("call", "resume", "throw"):
            stack.append(r["frame_id"])
        elif not stack or stack.pop() != r["frame_id"]:
            return False
    return not stack


def test_a_failed_save_while_another_thread_records_keeps_flushes_aligned(engine, monkeypatch):
    """Records restored after a failed save go in front of newer ones; what the
    flush accounting noted meanwhile must not point at the wrong records."""
    stored = []
    in_save, recorded, restored = threading.Event(), threading.Event(), threading.Event()
    profiler = engine.recorder(config={"threading": True, "flush_subtree_mb": 0.02})

    def save_trace(trace_id, **kwargs):
        if trace_id == main_trace_id:  # the main save meets a locked database
            in_save.set()
            recorded.wait(10)
            raise sqlite3.OperationalError("database is locked")
        stored.append((trace_id, decode(kwargs["msgpack_data"])))

    monkeypatch.setattr(vask.db, "save_trace", save_trace)

    def worker():
        in_save.wait(10)
        program(3, 20)  # recorded while the save is under way
        recorded.set()
        restored.wait(10)
        program(40, 20)  # enough to flush again after the restore

    profiler.start()
    main_trace_id = profiler.trace_id
    thread = threading.Thread(target=worker)
    thread.start()
    try:
        program(40, 20)
        with pytest.raises(sqlite3.OperationalError):
            profiler.native.save()
    finally:
        restored.set()
        thread.join()
        profiler.stop()
    doc = decode(profiler.build_trace())
    assert stored
    by_id = dict(stored)
    for thread_records in (t["frames"] for t in doc["threads"].values()):
        assert balanced(thread_records)
        for marker in (r for r in thread_records if r.get("type") == "subtree_flushed"):
            flushed = records(by_id[marker["flushed_trace_id"]])
            assert balanced(flushed)
            assert (flushed[0]["co_name"], flushed[0]["event"]) == (marker["co_name"], "call")


def start_or_end(name, size):
    body_of_run(size)
    return "y" * size


def body_of_run(size):
    return size


def test_a_failed_flush_at_a_test_end_still_stores_the_test(engine, monkeypatch, caplog):
    def process(frame, event, arg, context):
        return {"test_name": frame.f_locals["name"]}

    plugin = {
        "co_names": ["start_or_end"],
        "path_fragment": "test_subtree_flush",
        "call_type": "start_test",
        "return_type": "end_test",
        "process": process,
    }
    stored = []

    def save_trace(trace_id, **kwargs):
        doc = decode(kwargs["msgpack_data"])
        if doc["trace_id"] != doc["root_trace_id"]:  # only flushed subtrees fail
            raise sqlite3.OperationalError("database is locked")
        stored.append(doc["trace_name"])

    monkeypatch.setattr(vask.db, "save_trace", save_trace)
    caplog.set_level(logging.WARNING, logger="vask")
    profiler = engine.recorder(
        config={"flush_subtree_mb": 2000 / 1048576, "processors": [plugin]},
        one_trace_per_test=True,
    )
    profiler.start()
    try:
        start_or_end("first", 30000)  # its end batch crosses the threshold
        start_or_end("second", 10)
    finally:
        profiler.stop()
    assert stored == ["first", "second"]
    assert any(isinstance(r.exc_info[1], sqlite3.OperationalError) for r in caplog.records)
