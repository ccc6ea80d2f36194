"""What the engines keep between events must never show: the native dumpers
called in place, and the facts kept per code object and per thread."""

from __future__ import annotations

import gc
import sys
import threading

import attr
import pytest
import vask.serialize
from engine_driver import decode, frames_named, records_of
from vask import _dump

SECRET = "hunter2"


def takes(value, password=SECRET):
    pair = (value, [value])
    return pair


class Opaque:
    def __repr__(self):
        return "Opaque(7)"


# ---- the native dumpers called without a Python-level call ---------------------------


class TestDumpersInPlace:
    def test_records_hold_what_the_native_dumper_returns(self, engine):
        value = {"n": 1, "t": (1, "x"), "o": Opaque()}
        _, doc = engine.run(takes, value)
        call, ret = frames_named(doc, "takes")
        expected_locals = {"value": value, "password": SECRET}
        assert call["locals"] == decode(vask.serialize.dump_msgpack(expected_locals))
        assert call["locals"]["password"] != SECRET  # redacted, as the dumper does
        assert ret["arg"] == decode(vask.serialize.dump_msgpack(takes(value)))

    def test_the_lightweight_form_too(self, engine):
        value = {"o": Opaque(), "n": list(range(3))}
        _, doc = engine.run(takes, value, config={"lightweight_repr": True})
        call, ret = frames_named(doc, "takes")
        expected = {"value": value, "password": SECRET}
        assert call["locals"] == decode(vask.serialize.dump_msgpack_lightweight_repr(expected))
        assert ret["arg"] == decode(vask.serialize.dump_msgpack_lightweight_repr(takes(value)))

    def test_a_change_of_redaction_reaches_a_running_engine(self, engine):
        recorder = engine.recorder()
        recorder.start()
        try:
            takes(1)
            _dump.configure_redaction(["value"])
            try:
                takes(2)
            finally:
                _dump.configure_redaction(_dump.DEFAULT_REDACT_NAMES)
        finally:
            recorder.stop()
        doc = decode(recorder.build_trace())
        first, second = [r for r in frames_named(doc, "takes") if r["event"] == "call"]
        assert first["locals"]["value"] == 1
        assert second["locals"]["value"] != 2
        assert second["locals"]["password"] == SECRET  # no longer a secret name

    def test_a_replaced_dumper_is_called(self, engine, monkeypatch):
        seen = []

        def dumper(value):
            # A copy: before 3.13 the locals are the frame's own dict, updated later.
            seen.append(dict(value) if isinstance(value, dict) else value)
            return b"\xa3own"

        monkeypatch.setattr(vask.serialize, "dump_msgpack", dumper)
        _, doc = engine.run(takes, 5)
        call, ret = frames_named(doc, "takes")
        assert (call["locals"], ret["arg"]) == ("own", "own")
        assert {"value": 5, "password": SECRET} in seen


# ---- facts kept per code object ---------------------------------------------------------


def make_function(module: str, qualname: str, filename: str):
    namespace = {"__name__": module}
    exec(compile(f"def {qualname}(x):\n    return x\n", filename, "exec"), namespace)  # noqa: S102
    return namespace[qualname]


class TestCodeFacts:
    def test_code_objects_made_and_freed_in_turn_keep_their_own_names(self, engine):
        # Each function is dropped before the next is made, so code objects
        # (and their facts) come and go, often at the same address.
        def program():
            for i in range(60):
                f = make_function(f"mod{i}", f"fn{i}", f"/nowhere/file{i}.py")
                f(i)
                del f
                gc.collect()

        _, doc = engine.run(program)
        for i in range(60):
            records = frames_named(doc, f"fn{i}")
            assert [r["event"] for r in records] == ["call", "return"]
            assert [r["qualname"] for r in records] == [f"mod{i}.fn{i}"] * 2
            assert [r["path"] for r in records] == [f"/nowhere/file{i}.py:{n}" for n in (1, 2)]

    @pytest.mark.skipif(
        sys.version_info < (3, 11),
        reason="before 3.11 the name is searched for and takes the function's __module__",
    )
    def test_the_qualified_name_follows_a_change_of_module_name(self, engine):
        f = make_function("before", "named", "/nowhere/named.py")

        def program():
            f(1)
            f.__globals__["__name__"] = "after"
            f(2)

        _, doc = engine.run(program)
        calls = [r for r in frames_named(doc, "named") if r["event"] == "call"]
        assert [r["qualname"] for r in calls] == ["before.named", "after.named"]


# ---- the thread object, asked once per thread ------------------------------------------


def work(n):
    return n


def test_a_thread_renamed_while_recorded_is_stored_under_its_new_name(engine):
    def program():
        work(1)
        threading.current_thread().name = "renamed-worker"
        work(2)

    def run_in_thread():
        thread = threading.Thread(target=program, name="worker")
        thread.start()
        thread.join()

    _, doc = engine.run(run_in_thread, config={"threading": True})
    names = {
        doc["threads"][key]["name"]
        for key, records in records_of(doc).items()
        if any(r.get("co_name") == "work" for r in records)
    }
    assert names == {"renamed-worker"}


# ---- the generated-code rule of the profile engine ---------------------------------------


def transform(cls, fields):
    return fields


def test_functions_called_by_attrs_class_generation_are_left_out(engine):
    if engine.monitor:
        pytest.skip("the monitor judges named files by their name alone")

    def program():
        transform(None, [])  # called by user code: recorded

        @attr.s(field_transformer=transform)
        class Point:
            x = attr.ib()

        return Point(1)

    _, doc = engine.run(program)
    assert len(frames_named(doc, "transform")) == 2


# ---- line numbers, kept per code object by instruction offset ----------------------------


def leafy(n):
    if n > 2:
        return n
    return -n


def calls_leafy():
    leafy(1)
    leafy(2), leafy(3)
    for n in (4, 1):
        leafy(n)


@pytest.mark.parametrize("with_trace_function", [False, True], ids=["plain", "settrace"])
def test_lines_follow_each_instruction(engine, with_trace_function):
    def program():
        if with_trace_function:
            sys.settrace(lambda frame, event, arg: None)
        try:
            calls_leafy()
        finally:
            sys.settrace(None)

    _, doc = engine.run(program)
    records = frames_named(doc, "leafy")
    first = calls_leafy.__code__.co_firstlineno
    call_sites = [r["user_code_call_site"]["line_number"] for r in records if r["event"] == "call"]
    assert call_sites == [first + 1, first + 2, first + 2, first + 4, first + 4]
    top = leafy.__code__.co_firstlineno
    returns = [int(r["path"].rsplit(":", 1)[1]) for r in records if r["event"] == "return"]
    assert returns == [top + 3, top + 3, top + 2, top + 2, top + 3]


# ---- the locals handed to the dumpers: what f_locals shows, in its order ----------------


class Pause:
    def __await__(self):
        yield "paused"


def shapes(arg, captured_arg, *rest, **named):
    captured = [arg]
    if arg is None:
        never_bound = 1  # noqa: F841
    deleted = 2
    del deleted

    def reads():
        return captured, captured_arg

    sys._getframe().f_locals["added_through_f_locals"] = reads
    SEEN.append(list(sys._getframe().f_locals.items()))


async def comprehends(items):
    total = 0
    return [await Pause() or x + total for x in items]


def drive(coroutine):
    coroutine.send(None)
    SEEN.append(list(coroutine.cr_frame.f_locals.items()))
    coroutine.close()


SEEN: list = []

# A function of 130 variables (more than a map keeps), among them a cell, a
# secret and one named __builtins__.
_MANY = "\n".join(
    ["def many_variables(opaque, password='hunter2'):", "    __builtins__ = 'shadowed'"]
    + [f"    v{i} = {i} if {i} % 3 else opaque" for i in range(127)]
    + [
        "    def reads():",
        "        return v5",
        "    SEEN.append(list(sys._getframe().f_locals.items()))",
    ]
)
exec(compile(_MANY, __file__, "exec"))  # noqa: S102 (a file vask records)


class TestLocalsAsFLocalsListsThem:
    @pytest.fixture
    def handed(self, monkeypatch):
        given = []

        def dumper(value):
            given.append(list(value.items()) if isinstance(value, dict) else value)
            return b"\xc0"

        monkeypatch.setattr(vask.serialize, "dump_msgpack", dumper)
        SEEN.clear()
        return given

    def test_cells_free_variables_unbound_and_added_names(self, engine, handed):
        engine.run(lambda: shapes(1, "c", 3, k=4))
        # the return's locals: the items as f_locals listed them just before
        assert SEEN[-1] in handed
        names = [name for name, _ in SEEN[-1]]
        assert {"arg", "captured_arg", "rest", "named", "captured", "reads"} <= set(names)
        assert "never_bound" not in names and "deleted" not in names
        assert "added_through_f_locals" in names

    @pytest.mark.parametrize("lightweight", [False, True], ids=["full", "lightweight"])
    def test_the_native_dumper_writes_what_it_writes_of_the_dict(self, engine, lightweight):
        # Written straight from the frame on 3.13: every way a variable can be
        # held, more variables than a map keeps, a secret name and a variable
        # named __builtins__ (left out, as a module's is).
        dump = _dump.dump_msgpack_lightweight_repr if lightweight else _dump.dump_msgpack
        SEEN.clear()
        _, doc = engine.run(many_variables, Opaque(), config={"lightweight_repr": lightweight})
        returned = [r for r in frames_named(doc, "many_variables") if r["event"] == "return"]
        expected = dict(SEEN[-1])
        del expected["__builtins__"]
        assert list(returned[0]["locals"].items()) == list(decode(dump(expected)).items())
        _, doc = engine.run(
            lambda: shapes(1, "c", 3, k=4), config={"lightweight_repr": lightweight}
        )
        returned = [r for r in frames_named(doc, "shapes") if r["event"] == "return"]
        assert list(returned[0]["locals"].items()) == list(decode(dump(dict(SEEN[-1]))).items())

    def test_a_comprehension_variable_while_it_awaits(self, engine, handed):
        engine.run(drive, comprehends([5, 6]))
        assert SEEN[-1] in handed
        if sys.version_info >= (3, 12):  # the comprehension runs in its function's frame
            assert ("x", 5) in SEEN[-1]
