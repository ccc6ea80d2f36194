"""Subtree flushing: finished parts of a large trace are stored while it runs."""

from __future__ import annotations

import logging
import sqlite3
import threading

import msgpack
import pytest

import vask.db
from vask.profiler import Profiler


def decode(document: bytes) -> dict:
    return msgpack.unpackb(document, raw=False, strict_map_key=False)


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


def run(monkeypatch, config, *, fail=False, branches=40, width=20):
    stored = []

    def save_trace(trace_id, **kwargs):
        if fail:
            raise sqlite3.OperationalError("database is locked")
        stored.append((trace_id, decode(kwargs["msgpack_data"])))

    monkeypatch.setattr(vask.db, "save_trace", save_trace)
    profiler = Profiler(config={"threading": False, **config})
    profiler.start()
    try:
        result = program(branches, width)
    finally:
        profiler.stop()
    assert result == program(branches, width)
    return profiler, stored, decode(profiler.build_trace())


def calls_in(recs):
    return [r for r in recs if r.get("type") == "frame" and r["event"] == "call"]


def test_without_flushing_everything_stays_in_the_trace(monkeypatch):
    _, stored, doc = run(monkeypatch, {"flush_subtree_mb": False})
    assert stored == []
    assert len(calls_in(records(doc))) == 40 * 21 + 1
    assert not [r for r in records(doc) if r.get("type") == "subtree_flushed"]


def test_flushed_subtrees_are_stored_and_replaced_by_markers(monkeypatch):
    profiler, stored, doc = run(monkeypatch, {"flush_subtree_mb": 0.02})
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


def test_buffered_bytes_stay_bounded_on_a_long_run(monkeypatch):
    _, stored, doc = run(monkeypatch, {"flush_subtree_mb": 0.05}, branches=400, width=20)
    kept = sum(len(msgpack.packb(r)) for r in records(doc))
    flushed = sum(len(msgpack.packb(r)) for _, d in stored for r in records(d))
    assert flushed > 10 * kept
    assert kept < 2 * 0.05 * 1024 * 1024


def test_a_failed_store_keeps_the_records_and_stops_trying(monkeypatch, caplog):
    caplog.set_level(logging.WARNING, logger="vask")
    _, stored, doc = run(monkeypatch, {"flush_subtree_mb": 0.02}, fail=True)
    assert stored == []
    assert len(calls_in(records(doc))) == 40 * 21 + 1
    assert not [r for r in records(doc) if r.get("type") == "subtree_flushed"]
    warnings = [r for r in caplog.records if r.name == "vask"]
    assert len(warnings) == 1
    assert isinstance(warnings[0].exc_info[1], sqlite3.OperationalError)


@pytest.mark.parametrize("value", [False, None])
def test_flushing_can_be_disabled(monkeypatch, value):
    _, stored, _ = run(monkeypatch, {"flush_subtree_mb": value}, branches=5)
    assert stored == []


def test_flushed_traces_land_in_the_database(tmp_path):
    db_path = tmp_path / "db.sqlite3"
    profiler = Profiler(config={"threading": False, "flush_subtree_mb": 0.02}, db_path=db_path)
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
    """Whether every call has its return, in order (markers stand in for whole calls)."""
    stack = []
    for r in recs:
        if r.get("type") != "frame":
            continue
        if r["event"] == "call":
            stack.append(r["frame_id"])
        elif not stack or stack.pop() != r["frame_id"]:
            return False
    return not stack


def test_a_failed_save_while_another_thread_records_keeps_flushes_aligned(monkeypatch):
    """Records restored after a failed save go in front of newer ones; what the
    flush accounting noted meanwhile must not point at the wrong records."""
    stored = []
    in_save, recorded, restored = threading.Event(), threading.Event(), threading.Event()
    profiler = Profiler(config={"threading": True, "flush_subtree_mb": 0.02})

    def save_trace(trace_id, **kwargs):
        if trace_id == profiler.trace_id:  # the main save meets a locked database
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
    thread = threading.Thread(target=worker)
    thread.start()
    try:
        program(40, 20)
        with pytest.raises(sqlite3.OperationalError):
            profiler.rust_profiler.save()
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


def test_a_failed_flush_at_a_test_end_still_stores_the_test(monkeypatch, caplog):
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
    profiler = Profiler(
        config={"threading": False, "flush_subtree_mb": 2000 / 1048576, "processors": [plugin]},
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
