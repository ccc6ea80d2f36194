"""Long runs: the process's memory budget, flushes that never wait for the
database, the size limit of a trace and what a call's duration holds.

Every test runs against both engines (the ``engine`` fixture).
"""

from __future__ import annotations

import contextlib
import gc
import io
import sqlite3
import subprocess
import sys
import threading
import time
from pathlib import Path

import msgpack
import pytest
import vask.cli
import vask.db
from engine_driver import decode
from test_subtree_flush import balanced, branch, calls_in, expanded, program, records, same_run
from vask import db
from vask.storage import writer

MIB = 1 << 20


def capture_stores(monkeypatch: pytest.MonkeyPatch) -> list[tuple[str, dict, str]]:
    """Replace the store of vask.db: (trace id, document, storing thread's name) of each call."""
    stored: list[tuple[str, dict, str]] = []

    def save_trace(trace_id, **kwargs):
        doc = decode(kwargs["msgpack_data"])
        stored.append((trace_id, doc, threading.current_thread().name))

    monkeypatch.setattr(vask.db, "save_trace", save_trace)
    return stored


def thread_records(doc: dict) -> dict[str, list[dict]]:
    """Thread name -> its records."""
    return {t["name"]: t["frames"] for t in doc["threads"].values()}


def run_threads(engine, config, work: dict, *, between=None):
    """Runs each of ``work`` (thread name -> function) on a thread of its own under a fresh
    recorder; returns the recorder and the trace built afterwards."""
    gc.collect()  # engines of earlier tests hold no records that count in the budget
    recorder = engine.recorder(config={"threading": True, **config})
    recorder.start()
    try:
        threads = {name: threading.Thread(target=f, name=name) for name, f in work.items()}
        for t in threads.values():
            t.start()
        if between is not None:
            between(threads)
        for t in threads.values():
            t.join()
    finally:
        recorder.stop()
    return recorder, recorder.build_trace()


def big_locals(n):
    blob = ["z" * 1000] * 100  # noqa: F841 - about 100 kB in each record of the call
    return n


class TestProcessBudget:
    def test_many_threads_stay_within_the_budget_and_lose_nothing(self, engine, monkeypatch):
        work = {f"worker-{i}": (lambda: program(40, 20)) for i in range(8)}
        _, whole_document = run_threads(
            engine, {"memory_budget_mb": False, "flush_subtree_mb": False}, work
        )
        stored = capture_stores(monkeypatch)
        budget = 0.25  # MiB: a small part of what the eight threads record
        _, kept_document = run_threads(
            engine, {"memory_budget_mb": budget, "flush_subtree_mb": False}, work
        )
        whole, doc = decode(whole_document), decode(kept_document)
        assert len(stored) > 8
        by_id = {trace_id: d for trace_id, d, _ in stored}
        # Every stored piece read back, markers replaced by the traces they
        # name, is the run without flushing, thread by thread.
        kept, unflushed = thread_records(doc), thread_records(whole)
        for name in work:
            assert [same_run(r) for r in expanded(kept[name], by_id)] == [
                same_run(r) for r in unflushed[name]
            ], name
            assert balanced(kept[name])
        for flushed in by_id.values():
            assert balanced(records(flushed))
        # What stays in memory is within the budget: the records kept in
        # the trace, and those each cut left behind.
        assert len(kept_document) < budget * MIB
        assert len(whole_document) > 8 * budget * MIB

    def test_a_thread_over_the_budget_cuts_the_finished_calls_of_another(self, engine, monkeypatch):
        idle_done, go_on = threading.Event(), threading.Event()

        def idle():
            for i in range(12):  # large finished calls, then nothing while the other records
                big_locals(i)
            idle_done.set()
            go_on.wait(30)
            branch(3)

        def busy():
            idle_done.wait(30)
            program(300, 20)
            go_on.set()

        # A budget the idle thread's calls stay below (their records are large:
        # they cost the process about their size), which the other thread
        # reaches with less of its own: the idle thread's run is then the
        # largest, and the first cut.
        # Values are written whole, so that the budget is large beside what
        # engines of earlier tests may still hold (their records count in the
        # process's memory until they are freed).
        whole = {"max_value_bytes": 0}
        _, alone = engine.run(lambda: [big_locals(i) for i in range(12)], config=whole)
        idle_size = len(msgpack.packb(alone["threads"], default=repr))
        stored = capture_stores(monkeypatch)
        _, document = run_threads(
            engine,
            {"memory_budget_mb": 1.5 * idle_size / MIB, "flush_subtree_mb": False, **whole},
            {"idle": idle, "busy": busy},
        )
        doc = decode(document)
        idle_cuts = [
            (d, by) for _, d, by in stored if [t["name"] for t in d["threads"].values()] == ["idle"]
        ]
        assert idle_cuts, "the idle thread's finished calls were never cut"
        # cut by the thread that went over the budget, while the idle one waited
        assert {by for _, by in idle_cuts} == {"busy"}
        markers = [r for r in thread_records(doc)["idle"] if r.get("type") == "subtree_flushed"]
        assert len(markers) == len(idle_cuts)
        assert balanced(thread_records(doc)["idle"])

    def test_flushed_subtrees_are_named_after_their_trace_and_function(self, engine, monkeypatch):
        stored = capture_stores(monkeypatch)
        recorder = engine.recorder(config={"flush_subtree_mb": 0.02}, trace_name="nightly job")
        recorder.start()
        try:
            program(40, 20)
        finally:
            recorder.stop()
        assert stored
        for _, doc, _ in stored:
            assert doc["trace_name"] == "nightly job / branch"


FORKED_CHILD_RECORDS_UNDER_ITS_OWN_BUDGET = """
import os, sys
sys.path.insert(0, {tests!r})
import vask.db
from engine_driver import EngineDriver
from test_budget import big_locals
from test_subtree_flush import program

engine = EngineDriver({engine!r})
# About 3 MB of records left in this process's memory: the parent's trace.
parent = engine.recorder(config={{"max_value_bytes": 0, "memory_budget_mb": False}})
parent.start()
[big_locals(i) for i in range(30)]
parent.stop()
pid = os.fork()
if pid == 0:
    cuts = []
    vask.db.save_trace = lambda trace_id, **kwargs: cuts.append(trace_id)
    child = engine.recorder(config={{"memory_budget_mb": 2, "flush_subtree_mb": False}})
    child.start()
    program(40, 20)
    child.stop()
    os._exit(min(len(cuts), 100))
_, status = os.waitpid(pid, 0)
print("cuts", os.waitstatus_to_exitcode(status))
print("parent calls", len(parent.build_trace()) > 2_000_000)
"""


def test_a_forked_child_counts_only_what_it_records(engine, tmp_path):
    """The records a forked child inherits are its parent's: they neither push
    the child's engine over its budget nor make it cut its own calls."""
    program_text = FORKED_CHILD_RECORDS_UNDER_ITS_OWN_BUDGET.format(
        tests=str(Path(__file__).parent), engine=engine.name
    )
    result = subprocess.run(
        [sys.executable, "-c", program_text], capture_output=True, text=True, timeout=120
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split("\n")[:2] == ["cuts 0", "parent calls True"], result.stderr


def test_the_package_passes_its_defaults_and_the_settings_are_checked(engine):
    recorder = engine.recorder()
    recorder.start()
    recorder.stop()
    assert decode(recorder.build_trace())["meta"]["config"]["memory_budget_mb"] == 256
    assert recorder.config["flush_subtree_mb"] == 128  # a thread alone flushes at half of it
    if engine.monitor:
        assert recorder.native.flush_subtree_bytes == 128 * MIB
    for key in ("memory_budget_mb", "max_trace_mb"):
        with pytest.raises(ValueError, match=key):
            engine.recorder(config={key: -1}).start()
        with pytest.raises(TypeError, match=key):
            engine.recorder(config={key: "lots"}).start()


def test_a_flush_never_waits_for_a_locked_database(engine, tmp_path, caplog):
    """A database locked for longer than the busy timeout: the program runs on at
    full speed, what is cut waits in side files, and the next store that gets
    through stores them too."""
    caplog.set_level("WARNING", logger="vask")
    path = tmp_path / "db.sqlite3"
    db.connect(path).close()
    holder = sqlite3.connect(str(path), isolation_level=None)
    holder.execute("BEGIN EXCLUSIVE")
    timeout = 2
    recorder = engine.recorder(
        config={"flush_subtree_mb": 0.02, "sqlite_busy_timeout": timeout}, db_path=path
    )
    recorder.start()
    try:
        started = time.monotonic()
        program(60, 20)  # a dozen cuts: each would wait the whole timeout
        elapsed = time.monotonic() - started
    finally:
        recorder.stop()
    assert elapsed < timeout
    assert writer.drain(timeout + 5)  # the writer gives up on the lock, keeps them aside
    kept = [r.getMessage() for r in caplog.records if "it is kept in" in r.getMessage()]
    assert kept
    holder.rollback()
    holder.close()
    recorder.save()  # gets through, and stores what was kept aside
    assert not list((tmp_path / "unsaved").glob("*.msgpack*"))
    (root,) = db.load_trace(path, recorder.trace_id)
    doc = decode(root)
    stored = {s.trace_id for s in db.list_traces(path)}
    markers = [r for r in records(doc) if r.get("type") == "subtree_flushed"]
    assert markers and {m["flushed_trace_id"] for m in markers} <= stored
    by_id = {i: decode(d) for i in stored for d in db.load_trace(path, i)}
    assert len(calls_in(expanded(records(doc), by_id))) == 60 * 21 + 1


class TestSizeLimit:
    def test_calls_past_the_limit_are_counted_in_one_marker(self, engine):
        limit = 0.02
        config = {"max_trace_mb": limit, "flush_subtree_mb": False}
        _, doc = engine.run(program, 60, 20, config=config)
        recs = records(doc)
        dropped = [r for r in recs if r.get("type") == "calls_dropped"]
        assert len(dropped) == 1 and recs[-1] is dropped[0]
        marker = dropped[0]
        assert list(marker) == ["type", "count", "max_trace_bytes", "since", "timestamp"]
        assert marker["max_trace_bytes"] == int(limit * MIB)
        recorded = len(calls_in(recs))
        assert recorded + marker["count"] == 60 * 21 + 1
        assert 0 < recorded < 60 * 21
        # The calls that were recorded are whole: none lost its return.
        assert balanced(recs)
        assert sum(len(msgpack.packb(r)) for r in recs) < 2 * limit * MIB

    def test_the_marker_is_shown_and_each_trace_starts_afresh(self, engine, tmp_path):
        path = tmp_path / "db.sqlite3"
        recorder = engine.recorder(config={"max_trace_mb": 0.01}, db_path=path)
        recorder.start()
        try:
            program(40, 20)
            recorder.save()
            branch(5)  # the next trace is below the limit again
        finally:
            recorder.stop()
        second = decode(recorder.build_trace())
        assert not [r for r in records(second) if r.get("type") == "calls_dropped"]
        assert len(calls_in(records(second))) == 6
        out = io.StringIO()
        with contextlib.redirect_stdout(out):
            assert vask.cli.main(["traces", "show", "--db", str(path), "--color", "never"]) == 0
        assert "calls left out: the trace reached its size limit (max_trace_mb" in out.getvalue()


class SlowRepr:
    def __repr__(self) -> str:
        time.sleep(0.15)
        return "SlowRepr()"


def takes(value):
    return 1


def gives():
    return SlowRepr()


def both():
    takes(SlowRepr())
    return gives()


def test_a_duration_holds_the_call_not_the_recording_of_its_values(engine):
    """The time of a call is read once its arguments are recorded, that of its
    return before its value and locals are; what a duration still holds is the
    recording of the calls it makes."""
    _, doc = engine.run(both, config={"values": "repr"})  # the slow values are slow reprs
    times: dict[str, list[float]] = {}
    for r in records(doc):
        if r.get("type") == "frame":
            times.setdefault(r["co_name"], []).append(r["timestamp"])
    for name in ("takes", "gives"):
        start, end = times[name]
        assert end - start < 0.1, name  # each recorded a slow value at the call or the return
    start, end = times["both"]
    assert end - start >= 3 * 0.15  # the recording of takes and gives
