"""Subtree flushing: finished parts of a large trace are stored while it runs."""

from __future__ import annotations

import logging
import sqlite3

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
