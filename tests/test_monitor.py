"""What only the monitoring engine does: its Python surface, DISABLE answers,
generator and coroutine events, and the sys.monitoring tool id.

Behaviour both engines share is tested by the suites parametrised by engine
(test_engines.py, test_subtree_flush.py).
"""

from __future__ import annotations

import asyncio
import collections
import contextlib
import inspect
import json
import logging
import sys
import threading

import pytest
import vask
import vask.plugins
import vask.serialize
from engine_driver import EngineDriver, all_records, decode, frames_named
from vask import _vask
from vask.monitoring import EVENTS
from vask.values import ObjectRepr

pytestmark = pytest.mark.skipif(sys.version_info < (3, 12), reason="sys.monitoring needs 3.12")

MONITOR = EngineDriver("monitor")


def new_monitor(config=None, **kwargs):
    return _vask.register_monitor("/nonexistent/db.sqlite3", config or {}, "tests", False, **kwargs)


@contextlib.contextmanager
def counting(native):
    """Runs `native` under tool id 3 through callbacks that count what the
    interpreter reports, per (event, code object), and forward to it.

    The native callbacks take the current frame: through these wrappers,
    that is the wrapper's, so the records made here carry its locals."""
    mon = sys.monitoring
    counts = collections.Counter()
    mon.use_tool_id(3, "vask-counting")

    def forward(event, method):
        def callback(code, offset, *rest):
            counts[(event, code)] += 1
            return method(code, offset, *rest)

        return callback

    try:
        mask = 0
        for event, method in EVENTS.items():
            number = getattr(mon.events, event)
            mon.register_callback(3, number, forward(event, getattr(native, method)))
            mask |= number
        mon.restart_events()
        mon.set_events(3, mask)
        yield counts
    finally:
        mon.set_events(3, 0)
        for event in EVENTS:
            mon.register_callback(3, getattr(mon.events, event), None)
        mon.free_tool_id(3)
        mon.restart_events()


# ---- a small program -------------------------------------------------------------


def user_leaf(x):
    return x + 1


def user_program():
    json.dumps({"k": [1, 2, 3]})  # library code
    return user_leaf(1)


def countdown(n):
    for i in range(n, 0, -1):
        received = yield i
        if received == "stop":
            return "stopped"
    return "done"


async def pause():
    await asyncio.sleep(0)
    return "paused"


async def coroutine_program():
    first = await pause()
    try:
        await failing_coroutine()
    except LookupError:
        pass
    return first


async def failing_coroutine():
    await asyncio.sleep(0)
    raise LookupError("missing")


# ---- surface -----------------------------------------------------------------------


class TestSurface:
    def test_attributes(self):
        monitor = new_monitor()
        assert type(monitor).__name__ == "VaskMonitor"
        assert monitor.tool_id == 3
        assert monitor.active is False
        assert monitor.line_events is False
        assert monitor.flush_subtree_bytes == 524_288_000
        assert monitor.trace_id.startswith("trc_") and len(monitor.trace_id) == 30
        assert monitor.root_trace_id == monitor.trace_id
        monitor.set_active(True)
        assert monitor.active is True
        for name in ("tool_id", "active", "trace_id", "flush_subtree_bytes"):
            with pytest.raises(AttributeError):
                setattr(monitor, name, 1)
        with pytest.raises(TypeError):
            type(monitor)()

    def test_signatures_and_docstrings(self):
        monitor = new_monitor()
        expected = {
            "set_active": "(value)",
            "set_timestamp": "(value)",
            "set_suspend_hooks": "(value)",
            "save": "()",
            "build_trace": "()",
            "monitor_pystart": "(code, _instruction_offset)",
            "monitor_pyreturn": "(code, _instruction_offset, retval)",
            "monitor_pyunwind": "(code, _instruction_offset, exception)",
            "monitor_pyresume": "(code, _instruction_offset)",
            "monitor_pyyield": "(code, _instruction_offset, retval)",
            "monitor_pythrow": "(code, _instruction_offset, exception)",
            "monitor_instruction": "(code, instruction_offset)",
        }
        for name, signature in expected.items():
            assert str(inspect.signature(getattr(monitor, name))) == signature, name
        cls = type(monitor)
        assert cls.has_trace_points.__doc__ == (
            "Whether at least one ``trace_points.on_return`` target is\n"
            "configured. Used by ``activate_monitoring`` to decide whether to\n"
            "spawn the daemon save worker \u2014 there's no point spinning the\n"
            "worker if no trace point can ever fire."
        )
        assert cls.flush_subtree_bytes.__doc__ == (
            "Maximum buffered bytes before flushing a subtree. None means disabled."
        )
        paragraphs = monitor.set_suspend_hooks.__doc__.split("\n\n")
        assert len(paragraphs) == 3
        assert "monitor.set_suspend_hooks(True)" in paragraphs[1]
        assert "shared reference" in paragraphs[2]

    @pytest.mark.parametrize(
        ("config", "expected"),
        [
            ({}, False),
            ({"trace_points": []}, False),
            ({"trace_points": {}}, False),
            ({"trace_points": {"on_return": "f"}}, False),
            ({"trace_points": {"on_return": [1, None]}}, False),
            ({"trace_points": {"on_return": [1, "f"]}}, True),
        ],
    )
    def test_has_trace_points(self, config, expected):
        assert new_monitor(config).has_trace_points is expected

    @pytest.mark.parametrize(
        ("mb", "expected"), [(0.5, 524_288), (100, 104_857_600), (False, None), (None, None)]
    )
    def test_flush_subtree_bytes(self, mb, expected):
        assert new_monitor({"flush_subtree_mb": mb}).flush_subtree_bytes == expected

    def test_construction_errors(self):
        with pytest.raises(ValueError, match="flush_subtree_mb"):
            new_monitor({"flush_subtree_mb": True})
        with pytest.raises(TypeError):
            new_monitor({"line_events": 1})
        with pytest.raises(TypeError):
            new_monitor({"filters": {"ignore_frames": "x"}})
        assert new_monitor({"line_events": True}).line_events is True

    def test_name_omitted_and_none_are_the_same(self):
        for monitor in (new_monitor(), new_monitor(name=None)):
            assert decode(monitor.build_trace())["trace_name"] is None
        assert decode(new_monitor(name="named").build_trace())["trace_name"] == "named"

    def test_setters_check_their_value(self):
        monitor = new_monitor()
        with pytest.raises(TypeError, match="'value'"):
            monitor.set_active(1)
        with pytest.raises(TypeError, match="'value'"):
            monitor.set_suspend_hooks("yes")
        with pytest.raises(TypeError, match="'value'"):
            monitor.set_timestamp("soon")
        monitor.set_timestamp(17)
        assert decode(monitor.build_trace())["timestamp"] == 17.0

    def test_callbacks_check_the_offset(self):
        monitor = new_monitor()
        code = user_leaf.__code__
        with pytest.raises(TypeError, match="_instruction_offset"):
            monitor.monitor_pystart(code, "0")
        # The interpreter passes a negative offset for a frame unwound before
        # its first instruction; raising would replace the program's exception.
        assert monitor.monitor_pyunwind(code, -2, ValueError()) is None
        with pytest.raises(TypeError):
            monitor.monitor_pyreturn(code, 0)


# ---- DISABLE -------------------------------------------------------------------------


class TestDisable:
    def test_direct_answers(self):
        monitor = new_monitor()
        disable = sys.monitoring.DISABLE
        library = json.dumps.__code__
        assert monitor.monitor_pystart(library, 0) is disable
        assert monitor.monitor_pyreturn(library, 0, None) is disable
        assert monitor.monitor_pyresume(library, 0) is disable
        assert monitor.monitor_pyyield(library, 0, None) is disable
        assert monitor.monitor_pyunwind(library, 0, ValueError()) is None
        assert monitor.monitor_pythrow(library, 0, ValueError()) is None

    def test_library_is_reported_once_per_location_user_code_always(self):
        monitor = new_monitor()
        with counting(monitor) as counts:
            user_program()
            first = dict(counts)
            user_program()
            user_program()
        library = {key: n for key, n in first.items() if "json" in key[1].co_filename}
        assert library, "json.dumps reports its first events"
        assert all(n == 1 for n in library.values())
        for key in library:
            assert counts[key] == 1, key  # never reported again
        leaf_start = ("PY_START", user_leaf.__code__)
        assert counts[leaf_start] == 3
        calls = [r for r in frames_named(decode(monitor.build_trace()), "user_leaf")]
        assert [r["event"] for r in calls] == ["call", "return"] * 3

    def test_unwind_and_throw_are_never_disabled(self):
        def raise_in_library():
            try:
                json.loads("{")
            except ValueError:
                pass

        monitor = new_monitor()
        with counting(monitor) as counts:
            for _ in range(3):
                raise_in_library()
        unwinds = [n for (event, code), n in counts.items() if event == "PY_UNWIND"]
        assert unwinds and all(n == 3 for n in unwinds)
        assert sys.monitoring.get_tool(3) is None

    def test_a_suspended_thread_answers_none_and_does_not_switch_others_off(self):
        monitor = new_monitor()
        results = []

        def suspended_worker():
            monitor.set_suspend_hooks(True)
            results.append(
                (
                    monitor.monitor_pystart(json.dumps.__code__, 0),
                    monitor.monitor_pyreturn(json.dumps.__code__, 0, None),
                    monitor.monitor_pyunwind(json.dumps.__code__, 0, ValueError()),
                )
            )
            user_leaf(1)  # user code run on the suspended thread

        with counting(monitor) as counts:
            worker = threading.Thread(target=suspended_worker)
            worker.start()
            worker.join()
            user_leaf(2)  # the same location, on a thread that is not suspended
        assert results == [(None, None, None)]
        assert counts[("PY_START", user_leaf.__code__)] == 2
        # one call and its return, of the thread that is not suspended (the
        # frame recorded is the current one: the forwarding wrapper's)
        calls = [r for r in frames_named(decode(monitor.build_trace()), "user_leaf")]
        assert [r["event"] for r in calls] == ["call", "return"]

    def test_a_watched_location_stays_on_when_its_plugin_does_not_match(self, monkeypatch):
        """A plugin may decline one call and match the next (the outermost-test
        claim does); switching the location off would lose the later ones."""
        calls = []

        def matches(frame, event, arg, context):
            calls.append(event)
            return event == "call" and calls.count("call") > 1  # declines the first call

        def plugin(config):
            return [
                {
                    "co_names": ["loads"],
                    "path_fragment": "json",
                    "call_type": "json_call",
                    "return_type": "json_return",
                    "events": ["call"],
                    "call": matches,
                }
            ]

        monkeypatch.setattr(vask.plugins, "load_plugin_data", plugin)
        monitor = new_monitor()
        with counting(monitor):
            for _ in range(3):
                json.loads("[]")
        kinds = [r["type"] for r in all_records(decode(monitor.build_trace()))]
        assert [k for k in kinds if k != "frame"] == ["json_call", "json_call"]
        assert calls == ["call", "return"] * 3


# ---- generators, coroutines, exceptions ------------------------------------------------


class TestGenerators:
    def test_generator_events_and_frame_ids(self):
        def drive():
            gen = countdown(3)
            next(gen)
            gen.send(None)
            with contextlib.suppress(StopIteration):
                gen.send("stop")

        _, doc = MONITOR.run(drive)
        events = [(r["event"], r["frame_id"]) for r in frames_named(doc, "countdown")]
        assert [e for e, _ in events] == ["call", "yield", "resume", "yield", "resume", "return"]
        ids = [i for _, i in events]
        # call (A), yield (A), resume (B), yield (B), resume (C), return (C)
        assert ids[0] == ids[1] != ids[2] == ids[3] != ids[4] == ids[5]
        assert len(set(ids)) == 3
        yields = [r["arg"] for r in frames_named(doc, "countdown") if r["event"] == "yield"]
        assert yields == [3, 2]
        assert frames_named(doc, "countdown")[-1]["arg"] == "stopped"

    def test_throw_into_a_generator(self):
        def drive():
            gen = countdown(2)
            next(gen)
            with contextlib.suppress(KeyError):
                gen.throw(KeyError("thrown"))

        _, doc = MONITOR.run(drive)
        records = frames_named(doc, "countdown")
        assert [r["event"] for r in records] == ["call", "yield", "throw", "unwind"]
        throw, unwind = records[2:]
        assert throw["exception"] == unwind["exception"] == ObjectRepr("KeyError('thrown')")
        assert throw["frame_id"] == unwind["frame_id"] != records[0]["frame_id"]

    def test_coroutines(self):
        result, doc = MONITOR.run(asyncio.run, coroutine_program())
        assert result == "paused"
        pause_events = [r["event"] for r in frames_named(doc, "pause")]
        assert pause_events[0] == "call" and pause_events[-1] == "return"
        assert "yield" in pause_events and "resume" in pause_events
        failing = frames_named(doc, "failing_coroutine")
        assert failing[-1]["event"] == "unwind"
        assert failing[-1]["exception"] == ObjectRepr("LookupError('missing')")
        # every opening event is closed by the frame id it opened
        for name in ("pause", "failing_coroutine", "coroutine_program"):
            open_ids = []
            for r in frames_named(doc, name):
                if r["event"] in ("call", "resume", "throw"):
                    open_ids.append(r["frame_id"])
                else:
                    assert r["frame_id"] == open_ids.pop()
            assert not open_ids


# ---- the tool id ----------------------------------------------------------------------


def no_vask_events_left():
    mon = sys.monitoring
    assert mon.get_tool(3) is None
    assert mon.get_events(3) == 0
    # register_callback returns the callback it replaces
    for event in EVENTS:
        assert mon.register_callback(3, getattr(mon.events, event), None) is None


class TestToolId:
    def test_a_taken_tool_id_is_refused_with_its_holder(self):
        sys.monitoring.use_tool_id(3, "another-tool")
        try:
            recorder = MONITOR.recorder()
            with pytest.raises(RuntimeError, match="'another-tool'"):
                recorder.start()
            assert sys.monitoring.get_tool(3) == "another-tool"
            assert not recorder.active
            with pytest.raises(RuntimeError, match="another-tool"):
                vask.enable(engine="monitor")
            assert vask.current_profiler() is None
        finally:
            sys.monitoring.free_tool_id(3)

    def test_a_block_inside_a_monitored_run_joins_its_trace(self):
        outer = MONITOR.recorder()
        outer.start()
        try:
            with vask.enabled(config={"threading": False}) as inner:
                user_leaf(5)
            with pytest.raises(RuntimeError, match="another vask monitor"):
                MONITOR.recorder().start()
        finally:
            outer.stop()
        assert inner is outer
        assert [r["locals"]["x"] for r in frames_named(decode(outer.build_trace()), "user_leaf")]

    def test_start_stop_start_and_nothing_left_enabled(self):
        seen = []
        for i in range(2):
            recorder = MONITOR.recorder()
            recorder.start()
            assert sys.monitoring.get_tool(3) == "vask"
            assert recorder.rust_monitor.active
            try:
                user_leaf(i)
            finally:
                recorder.stop()
            assert not recorder.rust_monitor.active
            no_vask_events_left()
            seen.append(
                [
                    r["locals"]["x"]
                    for r in frames_named(decode(recorder.build_trace()), "user_leaf")
                ]
            )
        assert seen == [[0, 0], [1, 1]]

    def test_stop_re_enables_what_the_monitor_switched_off(self):
        recorder = MONITOR.recorder()
        recorder.start()
        try:
            json.dumps([1])  # switched off for tool 3 here
        finally:
            recorder.stop()
        counts = collections.Counter()
        mon = sys.monitoring
        mon.use_tool_id(3, "after")
        try:
            mon.register_callback(
                3, mon.events.PY_START, lambda code, offset: counts.update([code.co_name])
            )
            mon.set_events(3, mon.events.PY_START)
            json.dumps([1])
        finally:
            mon.set_events(3, 0)
            mon.register_callback(3, mon.events.PY_START, None)
            mon.free_tool_id(3)
        assert counts["dumps"] == 1


def test_a_stop_while_another_thread_is_inside_an_event(monkeypatch):
    """The interpreter holds no reference to a callback while it runs: the last
    reference may go while another thread is still inside the monitor."""
    inside, release = threading.Event(), threading.Event()
    real = vask.serialize.dump_msgpack

    def dumper(value):
        if threading.current_thread().name == "slow" and not inside.is_set():
            inside.set()
            release.wait(10)  # the GIL goes to the main thread meanwhile
        return real(value)

    monkeypatch.setattr(vask.serialize, "dump_msgpack", dumper)
    recorder = MONITOR.recorder()
    recorder.start()
    thread = threading.Thread(target=user_leaf, args=(1,), name="slow")
    thread.start()
    try:
        assert inside.wait(10)
        recorder.stop()
        del recorder  # the last reference to the engine
    finally:
        release.set()
        thread.join()


def test_logging_an_error_names_the_exception(monkeypatch, caplog):
    def failing_dumper(value):
        raise RuntimeError("dumper failed")

    monkeypatch.setattr(vask.serialize, "dump_msgpack", failing_dumper)
    caplog.set_level(logging.WARNING, logger="vask")
    result, doc = MONITOR.run(user_leaf, 1)
    assert result == 2
    warnings = [r for r in caplog.records if r.name == "vask"]
    assert [w.getMessage() for w in warnings] == ["Unexpected exception in Rust."] * 2
    assert all(isinstance(w.exc_info[1], RuntimeError) for w in warnings)
    assert frames_named(doc, "user_leaf") == []


def test_the_monitor_engine_is_the_default_here():
    with vask.enabled(config={"threading": False}) as recorder:
        pass
    assert recorder.engine == "monitor"
    assert type(recorder.rust_monitor).__name__ == "VaskMonitor"


def test_all_threads_are_recorded_without_a_threading_hook():
    def worker():
        user_leaf(7)

    def program():
        thread = threading.Thread(target=worker, name="late")
        thread.start()
        thread.join()

    _, doc = MONITOR.run(program, config={"threading": False})
    names = {t["name"] for t in doc["threads"].values() if t["frames"]}
    assert "late" in names
    assert threading.getprofile() is None
