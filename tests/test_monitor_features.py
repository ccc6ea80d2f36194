"""What the monitoring engine records beyond calls: trace points and assignments.

Trace points: every completed call of a target function handed over as a
trace of its own while the program runs (the host hands it to a background
worker, which stores it). Assignments: each store into a variable of recorded
code, as a record of its own between the records of the calls around it.
"""

from __future__ import annotations

import dis
import logging
import sqlite3
import sys
import threading
from pathlib import Path

import pytest
import vask.monitoring
import vask.serialize
from engine_driver import EngineDriver, all_records, decode, records_of
from vask import _vask, db, document, traceindex
from vask.storage import spool, store, writer
from vask.values import Assignment, ObjectRepr

pytestmark = pytest.mark.skipif(sys.version_info < (3, 12), reason="sys.monitoring needs 3.12")

MONITOR = EngineDriver("monitor")
GLOBAL_TOTAL = 0


@pytest.fixture
def saves(monkeypatch: pytest.MonkeyPatch) -> list[dict]:
    """Every trace-point save the monitor makes, instead of storing it."""
    calls: list[dict] = []

    def save(thread_id, records, co_name, db_path, source, light, trace_id, config, timeout):
        calls.append(
            {
                "thread_id": thread_id,
                "records": [decode(r) for r in records],
                "co_name": co_name,
                "db_path": db_path,
                "source": source,
                "lightweight_repr": light,
                "trace_id": trace_id,
                "config": config,
                "timeout": timeout,
            }
        )

    monkeypatch.setattr(vask.monitoring, "_save_trace_point_from_rust", save)
    return calls


def frame_events(records: list[dict]) -> list[tuple[str, str]]:
    return [(r["event"], r["co_name"]) for r in records if r.get("type") == "frame"]


# ---- trace points -------------------------------------------------------------------


def countdown(n):
    if n == 0:
        return 0
    return countdown(n - 1) + 1


def leaf(x):
    return x * 2


def target(x):
    return leaf(x) + 1


def raising_target():
    leaf(1)
    raise KeyError("no")


def calls_raising_target():
    try:
        raising_target()
    except KeyError:
        pass
    return target(1)


class TestTracePoints:
    def test_a_recursive_target_gives_one_save_per_level_innermost_first(self, saves):
        config = {"trace_points": {"on_return": ["countdown"]}, "sqlite_busy_timeout": 7}
        result, doc = MONITOR.run(countdown, 2, config=config, source="tests")
        assert result == 2
        assert [s["records"][0]["locals"]["n"] for s in saves] == [0, 1, 2]
        for level, save in enumerate(saves):
            # exactly the level's own records: its call record to its return record
            assert frame_events(save["records"]) == [("call", "countdown")] * (level + 1) + [
                ("return", "countdown")
            ] * (level + 1)
            first, last = save["records"][0], save["records"][-1]
            assert first["frame_id"] == last["frame_id"] and last["arg"] == level
            assert save["co_name"] == "countdown" and save["source"] == "tests"
            assert save["timeout"] == 7 and save["lightweight_repr"] is False
            assert save["trace_id"] == doc["trace_id"]
            assert save["thread_id"] in doc["threads"]
        # the records stay in the trace too
        assert len(frame_events(all_records(doc))) == 6

    def test_a_target_that_raises_gives_nothing_and_its_caller_goes_on(self, saves):
        config = {"trace_points": {"on_return": ["raising_target", "target"]}}
        MONITOR.run(calls_raising_target, config=config)
        assert [s["co_name"] for s in saves] == ["target"]
        assert frame_events(saves[0]["records"]) == [
            ("call", "target"),
            ("call", "leaf"),
            ("return", "leaf"),
            ("return", "target"),
        ]

    def test_a_target_called_as_a_threads_first_event_is_saved_too(self, saves):
        def run():
            thread = threading.Thread(target=target, args=(3,))
            thread.start()
            thread.join()

        _, doc = MONITOR.run(run, config={"trace_points": {"on_return": ["target"]}})
        (save,) = saves
        records = records_of(doc)[save["thread_id"]]
        assert records[0]["co_name"] == "target"  # the thread's first record
        assert save["records"] == records

    def test_the_configuration_handed_over(self, saves):
        config = {
            "trace_points": {"on_return": ["target"]},
            "filters": {"ignore_frames": ["nothing-matches-this"]},
            "flush_subtree_mb": 100,
            "processors": [],
            "auto_emit": True,
            "use_rust": False,
            "use_monitoring": False,
            "lightweight_repr": True,
            "custom": "kept",
        }
        MONITOR.run(target, 1, config=config)
        (save,) = saves
        handed = save["config"]
        for key in ("filters", "auto_emit", "processors", "trace_points", "flush_subtree_mb"):
            assert key not in handed
        assert handed["use_monitoring"] is True and handed["use_rust"] is True
        assert handed["custom"] == "kept" and handed["lightweight_repr"] is True
        assert save["lightweight_repr"] is True

    def test_no_targets_no_store_and_no_save(self, saves):
        recorder = MONITOR.recorder(config={"trace_points": {"on_return": []}})
        recorder.start()
        try:
            target(1)
            assert recorder.native.has_trace_points is False
            assert writer.pending() == (0, 0)
        finally:
            recorder.stop()
        assert saves == []

    def test_a_trace_point_open_across_a_build_saves_nothing(self, saves):
        recorder = MONITOR.recorder(config={"trace_points": {"on_return": ["across"]}})
        built = []

        def across(n):
            built.append(recorder.build_trace())
            # more records than before the build: an index that survived it
            # would point at these
            for i in range(n):
                leaf(i)
            return n

        recorder.start()
        try:
            across(5)
            across(0)  # its list is shorter than the index of the first's start
            target(1)
        finally:
            recorder.stop()
        assert [s["co_name"] for s in saves] == []
        # a target that started after the build is saved as usual
        recorder = MONITOR.recorder(config={"trace_points": {"on_return": ["target"]}})
        recorder.start()
        try:
            recorder.build_trace()
            target(2)
        finally:
            recorder.stop()
        assert [s["co_name"] for s in saves] == ["target"]

    def test_a_failing_save_is_logged_and_recording_goes_on(self, monkeypatch, caplog):
        def broken(*args):
            raise RuntimeError("the store is broken")

        monkeypatch.setattr(vask.monitoring, "_save_trace_point_from_rust", broken)
        with caplog.at_level(logging.WARNING, logger="vask"):
            result, doc = MONITOR.run(
                calls_raising_target, config={"trace_points": {"on_return": ["target"]}}
            )
        assert result == 3
        failures = [r for r in caplog.records if r.getMessage() == "Unexpected exception in Rust."]
        assert len(failures) == 1 and "the store is broken" in str(failures[0].exc_info[1])
        names = [name for _, name in frame_events(all_records(doc))]
        assert names.count("target") == 2 and names[-1] == "calls_raising_target"

    def test_the_writer_stores_every_trace_point_by_stop(self, tmp_path):
        path = tmp_path / "db.sqlite3"
        recorder = MONITOR.recorder(
            config={"trace_points": ["target"]}, db_path=path, trace_name="run"
        )
        recorder.start()
        try:
            for i in range(300):
                target(i)
        finally:
            recorder.stop()
        assert writer.pending() == (0, 0)
        assert recorder.trace_points_stored == 300 and recorder.side_files == []
        recorder.save()
        points = db.trace_points(path)
        assert len(points) == 300
        assert {p.root_trace_id for p in points.values()} == {recorder.trace_id}
        assert {p.co_name for p in points.values()} == {"target"}
        totals = db.root_totals(path)[recorder.trace_id]
        assert (totals.trace_points, totals.subtrees, totals.calls) == (300, 0, 600)
        # read back as traces: one call of target, with the call under it
        some = next(iter(points.values()))
        trace = traceindex.open_trace(path, some.trace_id)
        try:
            assert trace.name == "target" and trace.root_trace_id == recorder.trace_id
            assert trace.meta["trace_point"]["frame_id"] == some.frame_id
            (thread,) = trace.threads.values()
            call = traceindex.IndexNode(thread, thread.first_child[0])
            assert call.start["co_name"] == "target" and call.end["event"] == "return"
            assert [c.start["co_name"] for c in call.children] == ["leaf"]
        finally:
            trace.close()

    def test_a_store_that_fails_keeps_the_trace_points_aside(self, tmp_path, caplog):
        path = tmp_path / "db.sqlite3"
        path.mkdir()  # a directory where the database should be
        recorder = MONITOR.recorder(config={"trace_points": ["target"]}, db_path=path)
        with caplog.at_level(logging.WARNING, logger="vask"):
            recorder.start()
            try:
                target(1)
                target(2)
            finally:
                recorder.stop()
        assert recorder.trace_points_stored == 0
        assert len(recorder.side_files) == 2
        kept = [document.decode_document(spool.read_side_file(p)) for p in recorder.side_files]
        assert {d["meta"]["trace_point"]["co_name"] for d in kept} == {"target"}
        assert any("trace point" in r.getMessage() for r in caplog.records)


# ---- assignments ----------------------------------------------------------------------


def _shown_file() -> str:
    """This file as records show it: relative to the working directory when under it."""
    here = Path(__file__)
    try:
        return str(here.relative_to(Path.cwd()))
    except ValueError:
        return str(here)


def assigns(doc_or_records) -> list[tuple[str, str, object]]:
    """(function, variable, value) of each assignment record, in order."""
    records = doc_or_records if isinstance(doc_or_records, list) else all_records(doc_or_records)
    out = []
    for r in records:
        if "engine_driver.py" in r.get("path", ""):
            continue  # the driver's own `result = func(*args)`
        if r.get("event") == "line":
            assert r["type"] == "frame" and isinstance(r["assign"], Assignment)
            out.append((r["co_name"], r["assign"].name, r["assign"].value))
    return out


def stores():
    global GLOBAL_TOTAL
    total = 0

    def add(k):
        nonlocal total
        total = total + k

    for i in range(2):
        add(i)
    GLOBAL_TOTAL = total
    items = []
    items.append(1)  # a change after the assignment is not what was assigned
    password = "hunter2"
    return total, items, password


def then_call():
    x = 1
    leaf(x)
    y = x + 1
    return y


class TestAssignments:
    def test_locals_globals_and_closure_variables(self):
        _, doc = MONITOR.run(stores, config={"line_events": True})
        assert assigns(doc) == [
            ("stores", "total", 0),
            ("stores", "add", assigns(doc)[1][2]),
            ("stores", "i", 0),
            ("add", "total", 0),
            ("stores", "i", 1),
            ("add", "total", 1),
            ("stores", "GLOBAL_TOTAL", 1),
            ("stores", "items", []),
            ("stores", "password", ObjectRepr("<redacted>")),
        ]
        record = next(r for r in all_records(doc) if r.get("event") == "line")
        assert list(record) == [
            "path",
            "co_name",
            "qualname",
            "event",
            "frame_id",
            "timestamp",
            "type",
            "assign",
        ]
        call = next(r for r in all_records(doc) if r.get("event") == "call")
        assert record["frame_id"] == call["frame_id"] and record["qualname"].endswith("stores")
        assert record["path"].endswith(
            f"test_monitor_features.py:{stores.__code__.co_firstlineno + 2}"
        )

    def test_the_assignment_comes_before_the_next_events_records(self):
        _, doc = MONITOR.run(then_call, config={"line_events": True})
        order = [
            ("assign", r["assign"].name) if r.get("event") == "line" else (r["event"], r["co_name"])
            for r in all_records(doc)
            if "engine_driver.py" not in r["path"]
        ]
        assert order == [
            ("call", "then_call"),
            ("assign", "x"),
            ("call", "leaf"),
            ("return", "leaf"),
            ("assign", "y"),
            ("return", "then_call"),
        ]

    def test_assignments_are_off_by_default_and_in_the_lightweight_form(self):
        _, doc = MONITOR.run(then_call)
        assert assigns(doc) == []
        _, doc = MONITOR.run(then_call, config={"assignments": True, "lightweight_repr": True})
        # a short plain value is kept as itself
        assert assigns(doc)[0] == ("then_call", "x", 1)

    def test_pairs_of_stores_record_both_names(self):
        def pair():
            a, b = 1, 2
            return a + b

        _, doc = MONITOR.run(pair, config={"line_events": True})
        assert [(n, v) for _, n, v in assigns(doc)] == [("a", 1), ("b", 2)]

    def test_module_and_class_bodies_leave_out_what_the_compiler_binds(self, tmp_path):
        source = '"""A module."""\nclass Shape:\n    """A shape."""\n    sides = 4\n'
        code = compile(source, str(tmp_path / "shapes.py"), "exec")
        _, doc = MONITOR.run(exec, code, {"__name__": "shapes"}, config={"line_events": True})
        assert [(fn, name) for fn, name, _ in assigns(doc)] == [
            ("Shape", "sides"),
            ("<module>", "Shape"),
        ]

    def test_direct_answers(self):
        native = _vask.register_monitor("/nonexistent/db.sqlite3", {}, "tests", False)
        disable = sys.monitoring.DISABLE
        code = sys._getframe().f_code
        instructions = list(dis.get_instructions(code))
        store = next(i for i in instructions if i.opname == "STORE_FAST")
        load = next(i for i in instructions if i.opname.startswith("LOAD_") and i.offset > 0)
        library = next(
            i for i in dis.get_instructions(json_code()) if i.opname.startswith("STORE_")
        )
        after = store.offset + 2
        assert native.monitor_instruction(code, load.offset) is disable
        assert native.monitor_instruction(json_code(), library.offset) is disable
        assert native.monitor_instruction(code, store.offset) is None
        assert native.monitor_instruction(code, after) is None  # records the store before it
        assert native.monitor_instruction(code, 10**6) is disable  # no instruction there
        # a suspended thread switches nothing off and notes nothing
        native.set_suspend_hooks(True)
        assert native.monitor_instruction(code, load.offset) is None
        assert native.monitor_instruction(code, store.offset) is None
        native.set_suspend_hooks(False)
        doc = decode(native.build_trace())
        assert [n for _, n, _ in assigns(doc)] == [store.argval]
        with pytest.raises(TypeError, match="instruction_offset"):
            native.monitor_instruction(code, "1")

    def test_the_dumper_is_handed_the_assigned_value_and_secrets_stay_hidden(self, monkeypatch):
        handed = []
        original = vask.serialize.dump_msgpack

        def dump(value):
            handed.append(value)
            return original(value)

        monkeypatch.setattr(vask.serialize, "dump_msgpack", dump)
        _, doc = MONITOR.run(stores, config={"line_events": True})
        found = assigns(doc)
        assert ("stores", "items", []) in found and ("stores", "i", 1) in found
        assert ("stores", "password", ObjectRepr("<redacted>")) in found
        # the values themselves, never a mapping of the name; the secret never
        assert "hunter2" not in handed
        assert 1 in handed
        entries = [next(iter(v.items())) for v in handed if isinstance(v, dict) and len(v) == 1]
        assigned = [(k, v) for k, v in entries if k in ("i", "items", "GLOBAL_TOTAL", "password")]
        assert {v for _, v in assigned} <= {"probe"}  # only what tells a secret name

    def test_one_host_lookup_per_instruction_event(self, monkeypatch):
        asked = []
        original = vask.monitoring.get_instruction

        def get_instruction(code, offset):
            asked.append((code, offset))
            return original(code, offset)

        monkeypatch.setattr(vask.monitoring, "get_instruction", get_instruction)
        native = _vask.register_monitor("/nonexistent/db.sqlite3", {}, "tests", False)
        # a code object no monitor has seen: what one learns about it, it keeps
        module = compile("def fresh(n):\n    m = n + 1\n    return m\n", __file__, "exec")
        code = next(c for c in module.co_consts if hasattr(c, "co_code"))
        store = next(i for i in dis.get_instructions(code) if i.opname.startswith("STORE_FAST"))
        after = store.offset + 2
        # reached before the store ahead of it ever ran, as a jump target is
        assert native.monitor_instruction(code, after) is None  # kept on: it follows a store
        assert asked == [(code, after)]
        # the store itself was read from the code object then: no host call
        assert native.monitor_instruction(code, store.offset) is None
        assert asked == [(code, after)]
        assert native.monitor_instruction(code, after + 2) is not None  # not after a store
        assert asked == [(code, after), (code, after + 2)]

    def test_a_callback_called_from_python_records_with_the_current_frame(self):
        native = _vask.register_monitor("/nonexistent/db.sqlite3", {}, "tests", False)
        code = then_call.__code__  # another function's: its facts name the record
        assert native.monitor_pystart(code, 0) is None
        assert native.monitor_pyreturn(code, 0, 2) is None
        records = [r for r in all_records(decode(native.build_trace())) if r["type"] == "frame"]
        assert [(r["event"], r["co_name"]) for r in records] == [
            ("call", "then_call"),
            ("return", "then_call"),
        ]
        assert records[1]["arg"] == 2
        assert records[0]["frame_id"] == records[1]["frame_id"]
        # the code object names the record: its file, its lines, its qualified name
        first = then_call.__code__.co_firstlineno
        assert [r["path"].rsplit(":", 1) for r in records] == [[_shown_file(), str(first)]] * 2
        assert [r["qualname"] for r in records] == [f"{__name__}.then_call"] * 2
        # the frame's own variables, read with its own layout: this test's
        assert {"native", "code"} <= set(records[0]["locals"])

    def test_a_callback_names_the_record_by_its_code_at_the_given_offset(self):
        native = _vask.register_monitor(
            "/nonexistent/db.sqlite3", {"line_events": True}, "tests", False
        )
        code = then_call.__code__
        ret = next(i for i in dis.get_instructions(code) if i.opname == "RETURN_VALUE")
        store = next(i for i in dis.get_instructions(code) if i.opname.startswith("STORE_FAST"))
        x = 5  # noqa: F841  the store's variable, read from this (the current) frame
        assert native.monitor_pystart(code, 0) is None
        native.monitor_instruction(code, store.offset)
        assert native.monitor_pyreturn(code, ret.offset, 6) is None
        doc = decode(native.build_trace())
        records = [r for r in all_records(doc) if r["event"] in ("call", "return")]
        assert [r["path"].rsplit(":", 1) for r in records] == [
            [_shown_file(), str(code.co_firstlineno)],
            [_shown_file(), str(ret.positions.lineno)],
        ]
        found = [r for r in all_records(doc) if r["event"] == "line"]
        assert [(r["co_name"], r["qualname"], r["assign"].name) for r in found] == [
            ("then_call", f"{__name__}.then_call", "x")
        ]
        assert found[0]["path"] == f"{_shown_file()}:{store.positions.lineno}"

    def test_a_suspended_thread_records_nothing_and_disables_nothing(self):
        recorder = MONITOR.recorder(config={"line_events": True})
        recorder.start()
        try:
            recorder.set_suspended(True)
            then_call()
            recorder.set_suspended(False)
            then_call()
        finally:
            recorder.stop()
        doc = decode(recorder.build_trace())
        # the second run records everything: nothing was switched off by the first
        assert [n for _, n, _ in assigns(doc)] == ["x", "y"]
        assert [name for event, name in frame_events(all_records(doc)) if event == "call"] == [
            "then_call",
            "leaf",
        ]

    def test_assignments_inside_a_trace_point(self, saves):
        MONITOR.run(then_call, config={"line_events": True, "trace_points": ["then_call"]})
        (save,) = saves
        assert [n for _, n, _ in assigns(save["records"])] == ["x", "y"]


def json_code():
    import json.encoder

    return json.encoder.JSONEncoder.encode.__code__


# ---- stores that fail -------------------------------------------------------------------


def test_sqlite_errors_reach_the_side_file_path(tmp_path: Path, monkeypatch) -> None:
    """A locked database: the batch is kept aside, nothing is lost."""

    def locked(*args, **kwargs):
        raise sqlite3.OperationalError("database is locked")

    monkeypatch.setattr(store, "transaction", locked)
    recorder = MONITOR.recorder(config={"trace_points": ["target"]}, db_path=tmp_path / "x.db")
    recorder.start()
    try:
        target(1)
    finally:
        recorder.stop()
    assert recorder.trace_points_stored == 0 and len(recorder.side_files) == 1
