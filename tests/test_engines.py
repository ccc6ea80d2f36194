"""Both engines end to end: traced code becomes a trace document.

Every test here runs against the profile-hook engine and the monitoring
engine (the ``engine`` fixture), so that each is held to the other's standard.
"""

from __future__ import annotations

import json
import logging
import os
import sqlite3
import subprocess
import sys
import textwrap
import threading
import time

import pytest
import vask
import vask.db
import vask.plugins
import vask.serialize
from engine_driver import all_records, decode, frames_named, records_of
from source_modules import load_source
from vask.storage import spool
from vask.values import ObjectRepr

DOCUMENT_KEYS = [
    "trace_id",
    "trace_name",
    "current_thread_id",
    "timestamp",
    "current_commit_sha",
    "root_trace_id",
    "meta",
    "command_line_args",
    "threads",
    "frames_of_interest",
    "frames",
]
RECORD_KEYS = [
    "path",
    "co_name",
    "qualname",
    "event",
    "frame_id",
    "arg",
    "locals",
    "timestamp",
    "type",
    "user_code_call_site",
]


# ---- a small "user program" ---------------------------------------------------


def leaf(x):
    y = x * 2
    return y + 1


def middle(n):
    total = 0
    for i in range(n):
        total += leaf(i)
    return total


def top():
    data = json.dumps({"a": 1})  # library code: never recorded
    return middle(3), data


def raises():
    raise ValueError("boom")


def catches():
    try:
        raises()
    except ValueError:
        return "caught"


class Shape:
    def __init__(self, side):
        self.side = side

    def area(self):
        return self.side * self.side


def use_shape():
    return Shape(3).area()


# ---- document and records ---------------------------------------------------------


class TestDocument:
    def test_document_header_and_keys(self, engine):
        profiler = engine.recorder(trace_name="my trace", source="tests")
        profiler.start()
        try:
            top()
        finally:
            profiler.stop()
        raw = profiler.build_trace()
        assert raw[0] == 0x8B
        doc = decode(raw)
        assert list(doc) == DOCUMENT_KEYS
        assert doc["trace_id"] == profiler.trace_id
        assert doc["root_trace_id"] == profiler.trace_id
        assert doc["trace_name"] == "my trace"
        assert doc["frames_of_interest"] == [] and doc["frames"] == {}
        assert raw.endswith(b"\xa6frames\x80")
        assert doc["command_line_args"] == sys.argv
        meta = doc["meta"]
        # the process is the host's to store with the document
        assert list(meta) == ["version", "source", "environment", "config"]
        assert meta["version"] == vask.__version__
        assert meta["source"] == "tests"
        assert set(meta["environment"]) == {
            "py_version",
            "py_version_full",
            "platform",
            "system",
            "machine",
            "processor",
        }
        assert meta["config"]["use_rust"] is True
        assert meta["config"]["use_monitoring"] is engine.monitor
        assert meta["config"]["threading"] is False
        thread_key = doc["current_thread_id"]
        assert thread_key.startswith("native_")
        thread = doc["threads"][thread_key]
        assert list(thread) == ["name", "ident", "native_id", "daemon", "is_alive", "frames"]
        assert thread["name"] == threading.current_thread().name
        assert thread["ident"] == threading.get_ident()
        assert thread["is_alive"] is True

    def test_records_have_the_ten_keys_and_pair_up_in_order(self, engine):
        _, doc = engine.run(top)
        records = records_of(doc)[doc["current_thread_id"]]
        frames = [r for r in records if r["type"] == "frame"]
        for record in frames:
            assert list(record) == RECORD_KEYS
        names = [(r["co_name"], r["event"]) for r in frames if r["co_name"] != "run_traced"]
        assert names == [
            ("top", "call"),
            ("middle", "call"),
            ("leaf", "call"),
            ("leaf", "return"),
            ("leaf", "call"),
            ("leaf", "return"),
            ("leaf", "call"),
            ("leaf", "return"),
            ("middle", "return"),
            ("top", "return"),
        ]
        # Every call has the return of the same frame id, and ids differ per call.
        open_ids = []
        for record in frames:
            if record["co_name"] == "run_traced":
                continue
            if record["event"] == "call":
                open_ids.append(record["frame_id"])
            else:
                assert record["frame_id"] == open_ids.pop()
        assert not open_ids
        ids = {r["frame_id"] for r in frames if r["co_name"] == "leaf"}
        assert len(ids) == 3
        assert all(i.startswith("frm_") and len(i) == 30 for i in ids)

    def test_library_and_package_frames_are_absent(self, engine):
        _, doc = engine.run(top)
        paths = {r["path"] for r in all_records(doc)}
        assert not any("json" in p for p in paths)
        assert not any("/vask/" in p for p in paths)
        assert not any("site-packages" in p for p in paths)

    def test_files_under_the_package_directory_are_left_out_wherever_they_are(
        self, engine, tmp_path, monkeypatch
    ):
        import vask.engines.recorder

        package = tmp_path / "pkg"
        (package / "deep").mkdir(parents=True)
        (package / "deep" / "inside.py").write_text("def middle(f):\n    return f() + 1\n")
        (tmp_path / "beside.py").write_text(
            "def outer(middle):\n    return middle(leaf)\n\ndef leaf():\n    return 41\n"
        )
        modules = {}
        for name, path in (
            ("inside", package / "deep" / "inside.py"),
            ("beside", tmp_path / "beside.py"),
        ):
            modules[name] = load_source(f"pkgdir_{name}", path)
        monkeypatch.setattr(vask.engines.recorder, "PACKAGE_DIR", str(package) + "/")
        result, doc = engine.run(modules["beside"].outer, modules["inside"].middle)
        assert result == 42
        names = [r["co_name"] for r in all_records(doc) if r.get("type") == "frame"]
        assert "outer" in names and "leaf" in names
        assert "middle" not in names
        # The directory configures the engine; it is not stored with the trace.
        assert "package_dir" not in doc["meta"]["config"]

    def test_call_sites_point_at_the_caller_frame_and_line(self, engine):
        _, doc = engine.run(top)
        frames = [r for r in all_records(doc) if r["type"] == "frame"]
        by_id = {}
        for r in frames:
            if r["event"] == "call":
                by_id[r["frame_id"]] = r
        middle_call = next(r for r in frames if r["co_name"] == "middle" and r["event"] == "call")
        top_call = next(r for r in frames if r["co_name"] == "top" and r["event"] == "call")
        site = middle_call["user_code_call_site"]
        assert site["call_frame_id"] == top_call["frame_id"]
        # the line of `return middle(3), data` in top()
        assert site["line_number"] == top.__code__.co_firstlineno + 2
        leaf_call = next(r for r in frames if r["co_name"] == "leaf" and r["event"] == "call")
        assert leaf_call["user_code_call_site"]["call_frame_id"] == middle_call["frame_id"]
        assert leaf_call["path"].endswith(f"test_engines.py:{leaf.__code__.co_firstlineno}")

    def test_arguments_locals_return_values_and_qualnames(self, engine):
        result, doc = engine.run(use_shape)
        assert result == 9
        area_return = next(r for r in frames_named(doc, "area") if r["event"] == "return")
        assert area_return["arg"] == 9
        assert area_return["qualname"] == f"{__name__}.Shape.area"
        leaf_doc = engine.run(middle, 2)[1]
        leaf_return = [r for r in frames_named(leaf_doc, "leaf") if r["event"] == "return"][1]
        assert leaf_return["locals"] == {"x": 1, "y": 2}
        assert leaf_return["arg"] == 3
        leaf_call = frames_named(leaf_doc, "leaf")[0]
        assert leaf_call["arg"] is None
        assert leaf_call["locals"] == {"x": 0}

    def test_an_exception_leaving_a_function_closes_its_frame(self, engine):
        result, doc = engine.run(catches)
        assert result == "caught"
        call, exit_ = frames_named(doc, "raises")
        assert (call["event"], exit_["event"]) == ("call", engine.exception_exit)
        assert exit_["frame_id"] == call["frame_id"]
        if engine.monitor:
            # the monitoring engine sees the exception itself
            assert "arg" not in exit_ and exit_["exception"] == ObjectRepr("ValueError('boom')")
        else:
            assert exit_["arg"] is None

    def test_omit_return_locals(self, engine):
        _, doc = engine.run(middle, 1, config={"omit_return_locals": True})
        leaf_records = frames_named(doc, "leaf")
        assert leaf_records[0]["locals"] == {"x": 0}
        assert leaf_records[1]["locals"] is None

    def test_ignore_and_include_rules(self, engine):
        _, doc = engine.run(top, config={"filters": {"ignore_frames": ["test_engines"]}})
        assert frames_named(doc, "leaf") == []
        _, doc = engine.run(
            top, config={"filters": {"include_frames": ["json/"], "ignore_frames": []}}
        )
        assert any("json" in r["path"] for r in all_records(doc))

    def test_build_trace_twice_keeps_the_trace_id_and_empties(self, engine):
        profiler = engine.recorder()
        profiler.start()
        try:
            middle(1)
        finally:
            profiler.stop()
        first = decode(profiler.build_trace())
        second = decode(profiler.build_trace())
        assert all_records(first)
        assert second["threads"] == {}
        assert second["trace_id"] == first["trace_id"]


# ---- errors while recording -----------------------------------------------------


def _raising_dumper(value):
    if isinstance(value, dict) and "secret_marker" in value:
        raise RuntimeError("dumper failed")
    return _real_dump(value)


_real_dump = vask.serialize.dump_msgpack


def marked():
    secret_marker = 1
    return secret_marker


def after_marked():
    return 5


def program_with_bad_locals():
    return marked() + after_marked()


class TestRecordingErrors:
    def test_dumper_error_is_logged_once_and_recording_goes_on(self, engine, monkeypatch, caplog):
        monkeypatch.setattr(vask.serialize, "dump_msgpack", _raising_dumper)
        caplog.set_level(logging.WARNING, logger="vask")
        result, doc = engine.run(program_with_bad_locals)
        assert result == 6
        warnings = [r for r in caplog.records if r.name == "vask"]
        # only the return of marked() has the marker among its locals
        assert len(warnings) == 1
        message = warnings[0].getMessage()
        if engine.monitor:
            assert message == "Unexpected exception in Rust."
        else:
            assert message.startswith("Unexpected exception in Rust.\n    co_filename: ")
            assert "\n    co_name: marked\n    event: return\n    frame locals: " in message
            assert message.endswith("{'secret_marker': 1}\n")
        assert warnings[0].exc_info is not None
        assert isinstance(warnings[0].exc_info[1], RuntimeError)
        assert [r["event"] for r in frames_named(doc, "marked")] == ["call"]
        assert [r["event"] for r in frames_named(doc, "after_marked")] == ["call", "return"]

    def test_traced_program_exceptions_are_unchanged(self, engine, monkeypatch):
        monkeypatch.setattr(vask.serialize, "dump_msgpack", _raising_dumper)

        def program():
            try:
                raises()
            except ValueError as exc:
                return exc.args

        result, _ = engine.run(program)
        assert result == ("boom",)


# ---- plugins -----------------------------------------------------------------------


def watched(value):
    return value + 1


def calls_watched():
    return watched(1)


def _plugin(**overrides):
    description = {
        "co_names": ["watched"],
        "path_fragment": "test_engines",
        "call_type": "watch_call",
        "return_type": "watch_return",
        "process": lambda frame, event, arg, context: {"seen": event},
    }
    description.update(overrides)
    return description


class TestPlugins:
    def test_plugin_records_surround_the_own_record(self, engine, monkeypatch):
        monkeypatch.setattr(vask.plugins, "load_plugin_data", lambda config: [_plugin()])
        _, doc = engine.run(calls_watched)
        records = [
            r for r in all_records(doc) if r.get("type") != "frame" or r["co_name"] == "watched"
        ]
        kinds = [(r["type"], r.get("event") or r.get("seen")) for r in records]
        assert kinds == [
            ("watch_call", "call"),
            ("frame", "call"),
            ("frame", "return"),
            ("watch_return", "return"),
        ]
        call_record = records[0]
        own_call = records[1]
        assert call_record["frame_id"].startswith("frm_")
        assert call_record["frame_id"] == records[3]["frame_id"]
        # the plugin's call site is the caller's recorded frame
        caller = frames_named(doc, "calls_watched")[0]
        assert call_record["user_code_call_site"]["call_frame_id"] == caller["frame_id"]
        assert own_call["user_code_call_site"] == call_record["user_code_call_site"]

    def test_plugin_records_take_the_lightweight_form(self, engine, monkeypatch):
        handed = []
        real = vask.serialize.dump_msgpack_lightweight_repr

        def lightweight(value):
            handed.append(value)
            return real(value)

        def process(frame, event, arg, context):
            return {"seen": event, "n": 3, "ok": True, "obj": object(), "long": "x" * 500}

        monkeypatch.setattr(vask.serialize, "dump_msgpack_lightweight_repr", lightweight)
        monkeypatch.setattr(
            vask.plugins, "load_plugin_data", lambda config: [_plugin(process=process)]
        )
        _, doc = engine.run(calls_watched, config={"lightweight_repr": True})
        records = [r for r in all_records(doc) if r["type"] in ("watch_call", "watch_return")]
        # the record's names and numbers read back as themselves; objects as short reprs
        assert [(r["type"], r["seen"]) for r in records] == [
            ("watch_call", "call"),
            ("watch_return", "return"),
        ]
        first = records[0]
        assert first["n"] == 3 and first["ok"] is True
        assert first["frame_id"].startswith("frm_") and isinstance(first["timestamp"], float)
        assert isinstance(first["obj"], ObjectRepr) and isinstance(first["long"], ObjectRepr)
        assert first["long"].text.endswith("...") and len(first["long"].text) < 110
        assert records[1]["frame_id"] == first["frame_id"]
        # the whole record went through the lightweight dumper
        assert [v["type"] for v in handed if isinstance(v, dict) and "seen" in v] == [
            "watch_call",
            "watch_return",
        ]

    def test_plugin_error_is_logged_and_the_frame_is_still_recorded(
        self, engine, monkeypatch, caplog
    ):
        def bad_call(frame, event, arg, context):
            raise KeyError("plugin broke")

        monkeypatch.setattr(
            vask.plugins, "load_plugin_data", lambda config: [_plugin(call=bad_call)]
        )
        caplog.set_level(logging.WARNING, logger="vask")
        result, doc = engine.run(calls_watched)
        assert result == 2
        warnings = [r for r in caplog.records if r.name == "vask"]
        assert len(warnings) == 2  # call and return
        assert warnings[0].exc_info and isinstance(warnings[0].exc_info[1], KeyError)
        assert [r["event"] for r in frames_named(doc, "watched")] == ["call", "return"]


# ---- threads ---------------------------------------------------------------------------


def worker_leaf(i):
    return i * i


def worker(n):
    total = 0
    for i in range(n):
        total += worker_leaf(i)
    return total


def run_threads(count, calls):
    results = [None] * count

    def target(slot):
        results[slot] = worker(calls)

    threads = [threading.Thread(target=target, args=(k,), name=f"w{k}") for k in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return results


def sleepy_process(frame, event, arg, context):
    time.sleep(0.0005)  # gives the GIL away in the middle of the event
    return {"slept": True}


# The stress case: 16 threads of 20,000 calls each, nothing lost. The
# sanitizer run of scripts/test scales it down (VASK_STRESS_CALLS), where
# every call costs ten times as much.
STRESS_CALLS = int(os.environ.get("VASK_STRESS_CALLS", "20000"))


class TestThreads:
    @pytest.mark.parametrize(
        ("plugin", "sleepy_dumper", "count", "calls"),
        [
            (False, False, 4, 60),
            (True, False, 4, 60),
            (False, True, 4, 60),
            (False, True, 16, 40),
            (False, False, 16, STRESS_CALLS),
        ],
        ids=["plain", "gil-releasing-plugin", "gil-releasing-dumper", "16-threads", "stress"],
    )
    def test_each_thread_records_completely_under_its_own_key(
        self, engine, monkeypatch, plugin, sleepy_dumper, count, calls
    ):
        if sleepy_dumper:
            real = vask.serialize.dump_msgpack

            def dumper(value):
                time.sleep(0.0002)  # the GIL goes to another thread mid-record
                return real(value)

            monkeypatch.setattr(vask.serialize, "dump_msgpack", dumper)
        if plugin:
            monkeypatch.setattr(
                vask.plugins,
                "load_plugin_data",
                lambda config: [
                    _plugin(co_names=["worker_leaf"], process=sleepy_process, call_type="leaf_call")
                ],
            )
        result, doc = engine.run(run_threads, count, calls, config={"threading": True})
        assert result == [sum(i * i for i in range(calls))] * count
        per_thread = records_of(doc)
        workers = {
            key: records
            for key, records in per_thread.items()
            if doc["threads"][key]["name"].startswith("w")
        }
        assert len(workers) == count
        for records in workers.values():
            frames = [r for r in records if r["type"] == "frame"]
            leafs = [r for r in frames if r["co_name"] == "worker_leaf"]
            assert len(leafs) == 2 * calls
            assert [r["arg"] for r in leafs[1::2]] == [i * i for i in range(calls)]
            # Every call has its return, in order, on its own thread.
            stack = []
            for r in frames:
                if r["event"] == "call":
                    stack.append(r["frame_id"])
                else:
                    assert stack and r["frame_id"] == stack.pop()
            assert stack == []
            if plugin:
                assert sum(1 for r in records if r["type"] == "leaf_call") == calls
                assert sum(1 for r in records if r["type"] == "watch_return") == calls
        all_ids = [
            r["frame_id"]
            for records in workers.values()
            for r in records
            if r["type"] == "frame" and r["event"] == "call"
        ]
        assert len(all_ids) == len(set(all_ids))


# ---- one trace per test ------------------------------------------------------------------


def start_test_hook(name):
    return name


def end_test_hook(name):
    return name


def body_of_test(name):
    return len(name)


def run_two_tests():
    before = body_of_test("outside")
    for name in ("t1", "t2"):
        start_test_hook(name)
        body_of_test(name)
        end_test_hook(name)
    return before


def _test_plugins(config):
    return [
        {
            "co_names": ["start_test_hook"],
            "path_fragment": "test_engines",
            "call_type": "start_test",
            "return_type": "start_test_return",
            "events": ["call"],
            "process": lambda frame, event, arg, ctx: {
                "test_name": frame.f_locals["name"],
                "test_class": "Suite",
            },
        },
        {
            "co_names": ["end_test_hook"],
            "path_fragment": "test_engines",
            "call_type": "end_test_call",
            "return_type": "end_test",
            "events": ["return"],
        },
    ]


class TestOneTracePerTest:
    def _run(self, engine, monkeypatch, saved, fail_first=False):
        monkeypatch.setattr(vask.plugins, "load_plugin_data", _test_plugins)
        attempts = []

        def fake_save(trace_id, **kwargs):
            attempts.append(trace_id)
            if fail_first and len(attempts) == 1:
                raise sqlite3.OperationalError("database is locked")
            saved.append((trace_id, kwargs))

        monkeypatch.setattr(vask.db, "save_trace", fake_save)
        profiler = engine.recorder(one_trace_per_test=True)
        profiler.start()
        self.first_trace_id = profiler.trace_id
        try:
            run_two_tests()
        finally:
            profiler.stop()
        return profiler

    def test_each_test_is_stored_as_its_own_named_trace(self, engine, monkeypatch):
        saved = []
        self._run(engine, monkeypatch, saved)
        assert len(saved) == 2
        docs = [decode(kwargs["msgpack_data"]) for _, kwargs in saved]
        assert [d["trace_name"] for d in docs] == ["Suite.t1", "Suite.t2"]
        ids = [d["trace_id"] for d in docs]
        assert len({*ids, self.first_trace_id}) == 3
        assert [trace_id for trace_id, _ in saved] == ids
        for doc, name in zip(docs, ("t1", "t2")):
            records = all_records(doc)
            assert records[0]["type"] == "start_test"
            assert records[-1]["type"] == "end_test"
            bodies = [r for r in records if r.get("co_name") == "body_of_test"]
            assert [r["locals"]["name"] for r in bodies] == [name, name]
            # the record of end_test_hook's return is in the finished test's trace
            assert records[-2]["co_name"] == "end_test_hook" and records[-2]["event"] == "return"
            assert doc["root_trace_id"] == doc["trace_id"]

    def test_records_after_end_test_in_the_same_batch_keep_their_thread(self, engine, monkeypatch):
        def plugins(config):
            after_end = {
                "co_names": ["end_test_hook"],
                "path_fragment": "test_engines",
                "call_type": "after_end_call",
                "return_type": "after_end",
                "events": ["return"],
            }
            # On a return the batch is reversed: frame, end_test, after_end.
            return [after_end] + _test_plugins(config)

        monkeypatch.setattr(vask.plugins, "load_plugin_data", plugins)
        saved = []
        monkeypatch.setattr(vask.db, "save_trace", lambda trace_id, **kw: saved.append(kw))
        # The driver lives in executed code, which is never recorded, so the
        # end hook's return is the last batch of the run.
        namespace = {}
        exec(
            compile("def drive(s, b, e):\n    s('t1'); b('t1'); e('t1')\n", "<string>", "exec"),
            namespace,
        )
        profiler = engine.recorder(one_trace_per_test=True)
        profiler.start()
        try:
            namespace["drive"](start_test_hook, body_of_test, end_test_hook)
        finally:
            profiler.stop()
        assert len(saved) == 1
        rest = decode(profiler.build_trace())
        assert [r["type"] for r in all_records(rest)] == ["after_end"]

    def test_a_failed_store_at_a_test_end_is_stored_later(self, engine, monkeypatch):
        saved = []
        self._run(engine, monkeypatch, saved, fail_first=True)
        names = [decode(kwargs["msgpack_data"])["trace_name"] for _, kwargs in saved]
        assert names == ["Suite.t1", "Suite.t2"]


# ---- saving --------------------------------------------------------------------------------


class TestSaving:
    def test_the_store_names_the_process_the_document_does_not(self, engine, tmp_path):
        path = tmp_path / "t.db"
        profiler = engine.recorder(db_path=path)
        profiler.start()
        try:
            middle(1)
        finally:
            profiler.stop()
        vask.db.save_trace(
            "trc_built", msgpack_data=profiler.build_trace(), db_path=path, keep_aside=False
        )
        (row,) = vask.db.list_traces(path)
        assert (row.pid, row.parent_pid, row.parent_trace_id) == (os.getpid(), None, None)

    def test_save_passes_exactly_three_keywords(self, engine, monkeypatch, tmp_path):
        calls = []
        monkeypatch.setattr(vask.db, "save_trace", lambda *a, **k: calls.append((a, k)))
        profiler = engine.recorder(config={"sqlite_busy_timeout": 7}, db_path=tmp_path / "t.db")
        profiler.start()
        try:
            middle(1)
        finally:
            profiler.stop()
        profiler.save()
        ((args, kwargs),) = calls
        assert args == (profiler.trace_id,)
        assert list(kwargs) == ["timeout", "msgpack_data", "db_path"]
        assert kwargs["timeout"] == 7
        assert str(kwargs["db_path"]) == str(tmp_path / "t.db")
        assert type(kwargs["db_path"]).__name__.endswith("Path")
        assert decode(kwargs["msgpack_data"])["trace_id"] == profiler.trace_id

    def test_failed_save_keeps_the_records_for_the_next_save(self, engine, monkeypatch):
        stored = []
        fail = [True]

        def flaky(trace_id, **kwargs):
            if fail[0]:
                raise sqlite3.OperationalError("database is locked")
            stored.append(decode(kwargs["msgpack_data"]))

        monkeypatch.setattr(vask.db, "save_trace", flaky)
        profiler = engine.recorder()
        profiler.start()
        try:
            middle(1)
            with pytest.raises(sqlite3.OperationalError):
                profiler.native.save()  # the engine's own save raises
            fail[0] = False
            leaf(10)  # recorded after the failed save
        finally:
            profiler.stop()
        profiler.save()
        (doc,) = stored
        names = [r["co_name"] for r in all_records(doc) if r["type"] == "frame"]
        assert names.index("middle") < names.index("leaf")
        assert names.count("middle") == 2
        assert [r["event"] for r in frames_named(doc, "leaf")][-2:] == ["call", "return"]
        assert doc["threads"][doc["current_thread_id"]]["name"] == "MainThread"


def test_round_trip_through_sqlite(engine, tmp_path):
    db_path = tmp_path / "traces" / "db.sqlite3"
    with vask.enabled(db_path=db_path, config={"threading": False}, engine=engine.name) as profiler:
        catches()
    with pytest.raises(ZeroDivisionError):
        with vask.enabled(db_path=db_path, config={"threading": False}, engine=engine.name):
            leaf(1) / 0
    connection = sqlite3.connect(db_path)
    try:
        tables = [
            r[0] for r in connection.execute("select name from sqlite_master where type='table'")
        ]
        assert tables
        documents = vask.db.load_trace(db_path, profiler.trace_id)
    finally:
        connection.close()
    assert len(documents) == 1
    doc = decode(documents[0])
    assert doc["trace_id"] == profiler.trace_id
    assert [r["event"] for r in frames_named(doc, "raises")] == ["call", engine.exception_exit]
    assert vask.current_profiler() is None
    assert sys.getprofile() is None


def test_enabled_as_decorator_saves(engine, tmp_path, monkeypatch):
    saved = []
    monkeypatch.setattr(vask.db, "save_trace", lambda trace_id, **kw: saved.append(trace_id))

    @vask.enabled(db_path=tmp_path / "x.db", config={"threading": False}, engine=engine.name)
    def traced():
        return middle(2)

    assert traced() == middle(2)
    assert len(saved) == 1


def test_paths_follow_a_change_of_directory(engine, tmp_path, monkeypatch):
    here = __file__.rsplit("/", 1)[0]
    monkeypatch.chdir(here)

    def program():
        leaf(1)
        os.chdir(tmp_path)
        leaf(2)
        os.chdir(here)
        leaf(3)

    _, doc = engine.run(program)
    paths = [r["path"] for r in frames_named(doc, "leaf") if r["event"] == "call"]
    line = leaf.__code__.co_firstlineno
    assert paths == [
        f"test_engines.py:{line}",
        f"{here}/test_engines.py:{line}",
        f"test_engines.py:{line}",
    ]


def test_ctrl_c_reaches_the_traced_program(engine, tmp_path):
    script = tmp_path / "loop.py"
    script.write_text(
        textwrap.dedent(
            """
            import os, signal, threading, time
            from vask.profiler import create

            def work(data):
                return len(data)

            def spin(data, deadline):
                while time.time() < deadline:
                    work(data)

            # Started as a shell's background job, the process inherits an
            # ignored SIGINT: install the usual Ctrl-C handler either way.
            signal.signal(signal.SIGINT, signal.default_int_handler)
            profiler = create(ENGINE, config={"threading": False}, db_path=os.devnull)
            profiler.start()
            data = {str(i): list(range(20)) for i in range(50)}
            threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT)).start()
            # The loop runs one frame down: CPython 3.13.0 can raise an
            # interrupt that lands on the loop's `time.time()` call past the
            # handlers of that frame (untraced too), never past its caller's.
            try:
                spin(data, time.time() + 20)
            except KeyboardInterrupt:
                print("interrupted")
            finally:
                profiler.stop()
            """
        ).replace("ENGINE", repr(engine.name))
    )
    result = subprocess.run(
        [sys.executable, str(script)], capture_output=True, text=True, timeout=60
    )
    assert result.stdout.strip() == "interrupted", result.stderr
    assert "Unexpected exception" not in result.stderr


class TestApi:
    def test_a_failed_store_keeps_the_blocks_own_exception(
        self, engine, monkeypatch, caplog, tmp_path
    ):
        def locked(trace_id, **kwargs):
            raise sqlite3.OperationalError("database is locked")

        monkeypatch.chdir(tmp_path)
        monkeypatch.setattr(vask.db, "save_trace", locked)
        caplog.set_level(logging.WARNING, logger="vask")
        with pytest.raises(ValueError, match="the program's own"):
            with vask.enabled(config={"threading": False}, engine=engine.name) as profiler:
                leaf(1)
                raise ValueError("the program's own")
        (warning,) = [r for r in caplog.records if r.name == "vask"]
        (side,) = profiler.side_files
        assert profiler.trace_id in warning.getMessage() and str(side) in warning.getMessage()
        assert frames_named(decode(spool.read_side_file(side)), "leaf")

    def test_nested_enabled_joins_the_outer_trace(self, engine, monkeypatch):
        saved = []
        monkeypatch.setattr(vask.db, "save_trace", lambda trace_id, **kw: saved.append(trace_id))

        @vask.enabled(config={"threading": False}, engine=engine.name)
        def countdown(n):
            return 0 if n == 0 else countdown(n - 1) + 1

        assert countdown(3) == 3
        assert len(saved) == 1
        assert vask.current_profiler() is None

    def test_a_relative_database_path_is_fixed_when_tracing_starts(
        self, engine, tmp_path, monkeypatch
    ):
        monkeypatch.chdir(tmp_path)
        (tmp_path / "sub").mkdir()
        with vask.enabled(db_path="rel.db", config={"threading": False}, engine=engine.name):
            os.chdir("sub")
            leaf(1)
        assert (tmp_path / "rel.db").exists()
        assert not (tmp_path / "sub" / "rel.db").exists()

    def test_threads_stop_recording_when_tracing_stops(self, engine, monkeypatch):
        monkeypatch.setattr(vask.db, "save_trace", lambda trace_id, **kw: None)
        stop, hooked_after = threading.Event(), []

        def worker():
            while not stop.is_set():
                leaf(1)
                time.sleep(0.001)
            hooked_after.append(sys.getprofile())

        with vask.enabled(config={"threading": True}, engine=engine.name) as profiler:
            thread = threading.Thread(target=worker)
            thread.start()
            time.sleep(0.05)
        time.sleep(0.05)
        stop.set()
        thread.join()
        assert hooked_after == [None]
        assert not [r for r in all_records(decode(profiler.build_trace())) if r.get("type")]
