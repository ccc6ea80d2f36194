"""Folding repeated calls: past the first few calls of one function under one
recorded call, the rest leave one "folded" record.

The engine suites run against both engines (the ``engine`` fixture).
"""

from __future__ import annotations

import sys
import threading
import weakref

import pytest
import vask.db
import vask.plugins
import vask.serialize
from engine_driver import all_records, decode, frames_named, records_of
from vask import config as vask_config
from vask.profiler import create
from vask.render import folded_text

def needs_raises_told_apart(engine) -> None:
    """3.12's profile hook gives a frame that an exception left the same None
    as a return, so there a folded call that raised folds like one that returned."""
    if not engine.monitor and sys.version_info[:2] == (3, 12):
        pytest.skip("3.12's profile hook does not tell an exception's exit from a return")


FOLD_KEYS = [
    "type",
    "frame_id",
    "co_name",
    "qualname",
    "path",
    "event",
    "count",
    "total_duration",
    "min_duration",
    "max_duration",
    "first_timestamp",
    "last_timestamp",
    "timestamp",
]


def leaf(i):
    return i * 2


def looped(n):
    total = 0
    for i in range(n):
        total += leaf(i)
    return total


def recursive(depth, n):
    total = looped(n) if depth == 0 else 0
    for i in range(n):
        total += leaf(i)
    if depth:
        total += recursive(depth - 1, n)
    return total


def produce(n):
    yield from range(n)


def consume(n):
    return sum(produce(n))


def maybe_raise(i, bad):
    if i == bad:
        raise ValueError(i)
    return i


def catches(n, bad):
    total = 0
    for i in range(n):
        try:
            total += maybe_raise(i, bad)
        except ValueError:
            total -= 1
    return total


class Payload:
    def __init__(self):
        self.text = "x" * 4000


def raise_with(i, bad, payload):
    if i in bad:
        raise ValueError(i)
    return i


def catches_with(n, bad, payload):
    total = 0
    for i in range(n):
        try:
            total += raise_with(i, bad, payload)
        except ValueError:
            total -= 1
    return total


def full(value):
    return decode(vask.serialize.dump_msgpack(value))


def light(value):
    return decode(vask.serialize.dump_msgpack_lightweight_repr(value))


def closing_of(doc, call):
    (close,) = [
        r
        for r in all_records(doc)
        if r.get("frame_id") == call["frame_id"] and r["event"] not in ("call", "resume")
    ]
    return close


def inner_leaf(i):
    return leaf(i) + 1


def nested(n):
    total = 0
    for i in range(n):
        total += inner_leaf(i)
    return total


def folds_of(doc):
    return [r for r in all_records(doc) if r.get("type") == "folded"]


def opened(doc, co_name):
    return [r for r in frames_named(doc, co_name) if r["event"] in ("call", "resume")]


class TestFoldingOnBothEngines:
    def test_calls_past_the_first_k_leave_one_record_before_the_parent_closes(self, engine):
        result, doc = engine.run(looped, 50, config={"fold_after": 5})
        assert result == looped(50)
        assert len(opened(doc, "leaf")) == 5
        (fold,) = folds_of(doc)
        assert list(fold) == FOLD_KEYS
        (parent_call, parent_return) = frames_named(doc, "looped")
        assert fold["frame_id"] == parent_call["frame_id"]
        assert (fold["co_name"], fold["event"], fold["count"]) == ("leaf", "call", 45)
        assert fold["qualname"] == opened(doc, "leaf")[0]["qualname"]
        assert fold["path"] == opened(doc, "leaf")[0]["path"]
        assert 0 <= fold["min_duration"] <= fold["max_duration"] <= fold["total_duration"]
        assert parent_call["timestamp"] <= fold["first_timestamp"] <= fold["last_timestamp"]
        assert fold["last_timestamp"] <= parent_return["timestamp"]
        # Right before the parent's closing record, on the parent's thread.
        (records,) = [rs for rs in records_of(doc).values() if fold in rs]
        at = records.index(fold)
        assert records[at + 1] == parent_return

    def test_the_subtree_of_a_folded_call_is_left_out_with_it(self, engine):
        _, doc = engine.run(nested, 30, config={"fold_after": 4})
        assert len(opened(doc, "inner_leaf")) == 4
        assert len(opened(doc, "leaf")) == 4
        assert [(f["co_name"], f["count"]) for f in folds_of(doc)] == [("inner_leaf", 26)]

    def test_recursion_keeps_fold_state_per_frame(self, engine):
        _, doc = engine.run(recursive, 3, 10, config={"fold_after": 3})
        calls = {r["frame_id"]: r for r in opened(doc, "recursive")}
        loops = {r["frame_id"] for r in opened(doc, "looped")}
        folds = folds_of(doc)
        by_parent = {f["frame_id"]: f for f in folds if f["co_name"] == "leaf"}
        # Four levels of recursion and the loop at the bottom: each folds 7 of its own 10.
        assert set(by_parent) == set(calls) | loops
        assert all(f["count"] == 7 for f in by_parent.values())
        assert len(opened(doc, "leaf")) == 3 * 5

    def test_generator_stretches_fold_like_calls(self, engine):
        result, doc = engine.run(consume, 40, config={"fold_after": 5})
        assert result == sum(range(40))
        folds = folds_of(doc)
        assert [f["co_name"] for f in folds] == ["produce"]
        (consumer,) = [r for r in opened(doc, "consume")]
        assert folds[0]["frame_id"] == consumer["frame_id"]
        # The first entry and the 40 resumes (the last one returns).
        recorded = len(opened(doc, "produce"))
        assert recorded + folds[0]["count"] == 41
        if engine.monitor:
            assert folds[0]["event"] == "resume"
            assert recorded == 1 + 5
        else:
            # The profile hook sees a resume as a call.
            assert folds[0]["event"] == "call"
            assert recorded == 5

    def test_each_thread_folds_under_its_own_parent(self, engine):
        results = []

        def program():
            threads = [
                threading.Thread(target=lambda: results.append(looped(30))) for _ in range(3)
            ]
            for t in threads:
                t.start()
            for t in threads:
                t.join()

        _, doc = engine.run(program, config={"fold_after": 10, "threading": True})
        assert results == [looped(30)] * 3
        folds = folds_of(doc)
        assert sorted(f["count"] for f in folds if f["co_name"] == "leaf") == [20, 20, 20]
        for records in records_of(doc).values():
            ids = {r["frame_id"] for r in records if r.get("co_name") == "looped"}
            assert {f["frame_id"] for f in records if f.get("type") == "folded"} <= ids

    def test_a_folded_call_that_raises_is_kept(self, engine):
        needs_raises_told_apart(engine)
        result, doc = engine.run(catches, 30, 20, config={"fold_after": 5})
        assert result == catches(30, 20)
        (fold,) = folds_of(doc)
        calls = opened(doc, "maybe_raise")
        assert [c["locals"]["i"] for c in calls] == [0, 1, 2, 3, 4, 20]
        # The profile hook sees the exception leave as a return with no value.
        assert closing_of(doc, calls[-1])["event"] == engine.exception_exit
        if engine.monitor:
            unwinds = [r for r in frames_named(doc, "maybe_raise") if r["event"] == "unwind"]
            assert [u["frame_id"] for u in unwinds] == [calls[-1]["frame_id"]]
        assert calls[-1]["user_code_call_site"]["call_frame_id"] == fold["frame_id"]
        assert fold["count"] == 24

    @pytest.mark.parametrize("config", [{"fold_after": 5}, {"fold_trace_after": 5}])
    def test_a_folded_raise_is_written_short_and_an_unfolded_one_in_full(self, engine, config):
        needs_raises_told_apart(engine)
        payload = Payload()
        bad = (2, 20)
        result, doc = engine.run(catches_with, 30, bad, payload, config=config)
        assert result == catches_with(30, bad, payload)
        calls = opened(doc, "raise_with")
        assert [c["locals"]["i"] for c in calls] == [0, 1, 2, 3, 4, 20]
        unfolded, folded = calls[2], calls[-1]
        local_values = {"bad": bad, "payload": payload}
        assert unfolded["locals"] == full({"i": 2, **local_values})
        assert folded["locals"] == light({"i": 20, **local_values})
        assert folded["locals"] != full({"i": 20, **local_values})
        # The closing records follow their calls' forms; the exception is kept.
        unfolded_close, folded_close = closing_of(doc, unfolded), closing_of(doc, folded)
        assert unfolded_close["locals"] == full({"i": 2, **local_values})
        assert folded_close["locals"] == light({"i": 20, **local_values})
        assert folded_close["event"] == engine.exception_exit
        if engine.monitor:
            assert folded_close["exception"] == light(ValueError(20))
        # What came after the folded raise is folded and counted as before.
        (fold,) = folds_of(doc)
        assert fold["count"] == 24
        assert len(vask.serialize.dump_msgpack(folded)) < len(vask.serialize.dump_msgpack(unfolded))

    def test_complete_records_a_raise_in_full(self, engine):
        payload = Payload()
        _, doc = engine.run(catches_with, 30, (20,), payload, config={"fold_after": False})
        assert not folds_of(doc)
        call = opened(doc, "raise_with")[20]
        expected = full({"i": 20, "bad": (20,), "payload": payload})
        assert call["locals"] == closing_of(doc, call)["locals"] == expected

    def test_plugin_records_inside_folded_calls_are_kept(self, engine, monkeypatch):
        description = {
            "co_names": ["leaf"],
            "path_fragment": "test_folding",
            "call_type": "leaf_call",
            "return_type": "leaf_return",
            "process": lambda frame, event, arg, context: {"seen": event},
        }
        monkeypatch.setattr(vask.plugins, "load_plugin_data", lambda config: [description])
        _, doc = engine.run(nested, 30, config={"fold_after": 4})
        plugin = [r for r in all_records(doc) if r.get("type") == "leaf_call"]
        assert len(plugin) == 30
        # Watched code is never folded itself.
        assert len(opened(doc, "leaf")) == 30
        assert [(f["co_name"], f["count"]) for f in folds_of(doc)] == [("inner_leaf", 26)]

    def test_fold_records_travel_with_a_flushed_subtree(self, engine, monkeypatch):
        stored = []

        def save_trace(trace_id, **kwargs):
            stored.append(decode(kwargs["msgpack_data"]))

        monkeypatch.setattr(vask.db, "save_trace", save_trace)

        def program():
            total = 0
            for _ in range(3):
                total += looped(200)
            return total

        _, doc = engine.run(program, config={"fold_after": 3, "flush_subtree_mb": 0.001})
        assert stored, "a 1 KB threshold must flush"
        everything = folds_of(doc) + [f for d in stored for f in folds_of(d)]
        assert len(everything) == 3
        assert all(f["count"] == 197 for f in everything)
        for flushed in stored:
            for records in records_of(flushed).values():
                loops = {r["frame_id"] for r in records if r.get("co_name") == "looped"}
                assert {f["frame_id"] for f in records if f.get("type") == "folded"} <= loops

    @pytest.mark.parametrize("off", [False, None, 0])
    def test_complete_records_every_call(self, engine, off):
        _, folded = engine.run(looped, 50, config={"fold_after": 5})
        _, complete = engine.run(looped, 50, config={"fold_after": off})
        _, native = engine.run(looped, 50, config={"fold_after": False})
        assert not folds_of(complete)
        assert len(opened(complete, "leaf")) == 50

        def shape(doc):
            return [
                (r.get("type"), r.get("co_name"), r.get("event"), r.get("locals"))
                for r in all_records(doc)
            ]

        assert shape(complete) == shape(native)
        assert len(shape(folded)) < len(shape(complete))

    def test_the_package_folds_past_twenty_by_default(self, engine):
        recorder = create(engine.name, config={"threading": False})
        recorder.start()
        try:
            looped(25)
        finally:
            recorder.stop()
        doc = decode(recorder.build_trace())
        assert len(opened(doc, "leaf")) == vask_config.DEFAULT_FOLD_AFTER == 20
        assert [f["count"] for f in folds_of(doc)] == [5]


class TestTopLevelFolding:
    """Calls with no recorded parent fold under the thread's root ("frame_id": nil)."""

    def test_callbacks_from_c_code_fold_after_the_threads_records(self, engine):
        result, doc = engine.run(list, map(leaf, range(50)), config={"fold_after": 5})
        assert result == [leaf(i) for i in range(50)]
        assert len(opened(doc, "leaf")) == 5
        (fold,) = folds_of(doc)
        assert list(fold) == FOLD_KEYS
        assert (fold["frame_id"], fold["co_name"], fold["count"]) == (None, "leaf", 45)
        (records,) = [rs for rs in records_of(doc).values() if fold in rs]
        assert records[-1] == fold
        assert opened(doc, "leaf")[-1]["timestamp"] <= fold["first_timestamp"]
        assert fold["first_timestamp"] <= fold["last_timestamp"]

    def test_each_thread_folds_its_own_top_level(self, engine):
        def program():
            outputs = []
            threads = [
                threading.Thread(target=outputs.extend, args=(map(leaf, range(30)),))
                for _ in range(3)
            ]
            for t in threads:
                t.start()
            for t in threads:
                t.join()
            return outputs

        result, doc = engine.run(program, config={"fold_after": 10, "threading": True})
        assert sorted(result) == sorted([leaf(i) for i in range(30)] * 3)
        counts = []
        for records in records_of(doc).values():
            folds = [r for r in records if r.get("type") == "folded"]
            if any(r.get("co_name") == "leaf" for r in records):
                (fold,) = folds
                assert fold["frame_id"] is None and records[-1] == fold
                counts.append(fold["count"])
        assert counts == [20, 20, 20]

    def test_a_generator_driven_by_c_code_folds_its_resumes(self, engine):
        result, doc = engine.run(list, produce(40), config={"fold_after": 5})
        assert result == list(range(40))
        (fold,) = folds_of(doc)
        assert fold["frame_id"] is None and fold["co_name"] == "produce"
        recorded = len(opened(doc, "produce"))
        assert recorded + fold["count"] == 41
        assert fold["event"] == ("resume" if engine.monitor else "call")

    def test_each_trace_taken_counts_afresh(self, engine):
        recorder = engine.recorder(config={"fold_after": 5})
        recorder.start()
        try:
            list(map(leaf, range(30)))
            first = decode(recorder.build_trace())
            list(map(leaf, range(12)))
        finally:
            recorder.stop()
        second = decode(recorder.build_trace())
        assert [f["count"] for f in folds_of(first)] == [25]
        assert len(opened(first, "leaf")) == 5
        assert [f["count"] for f in folds_of(second)] == [7]
        assert len(opened(second, "leaf")) == 5

    def test_top_level_folds_pending_at_a_flush_reach_the_trace(self, engine, monkeypatch):
        stored = []

        def save_trace(trace_id, **kwargs):
            stored.append(decode(kwargs["msgpack_data"]))

        monkeypatch.setattr(vask.db, "save_trace", save_trace)
        result, doc = engine.run(
            list, map(looped, [200] * 12), config={"fold_after": 3, "flush_subtree_mb": 0.001}
        )
        assert result == [looped(200)] * 12
        assert stored, "a 1 KB threshold must flush"
        everything = folds_of(doc) + [f for d in stored for f in folds_of(d)]
        (root,) = [f for f in everything if f["frame_id"] is None]
        assert (root["co_name"], root["count"]) == ("looped", 9)
        assert root in folds_of(doc)
        assert sorted(f["count"] for f in everything if f["frame_id"] is not None) == [197] * 3

    def test_complete_folds_nothing_at_the_top_level(self, engine):
        _, doc = engine.run(list, map(leaf, range(50)), config={"fold_after": False})
        assert not folds_of(doc)
        assert len(opened(doc, "leaf")) == 50


def chain(n):
    leaf(n)
    return 0 if n == 0 else 1 + chain(n - 1)


# Plain loops, not generator expressions: a generator's resumes would
# spend a budget of their own and fold the calls under them.
def spread(parents, per_parent):
    total = 0
    for _ in range(parents):
        total += looped(per_parent)
    return total


def consume_often(times, n):
    total = 0
    for _ in range(times):
        total += consume(n)
    return total


def catches_twice():
    return catches(3, -1) + catches(30, 20)


class TestTraceBudget:
    """Past ``fold_trace_after`` calls recorded in full in one trace, a code
    object's calls fold under whichever recorded call they run in."""

    def test_the_budget_folds_across_parents(self, engine):
        result, doc = engine.run(spread, 10, 3, config={"fold_after": 20, "fold_trace_after": 12})
        assert result == spread(10, 3)
        assert len(opened(doc, "looped")) == 10
        assert len(opened(doc, "leaf")) == 12
        loops = [r["frame_id"] for r in opened(doc, "looped")]
        folds = folds_of(doc)
        # The first four loops record their three calls; the other six fold theirs.
        assert [(f["frame_id"], f["co_name"], f["count"]) for f in folds] == [
            (frame_id, "leaf", 3) for frame_id in loops[4:]
        ]

    def test_the_budget_alone_folds_with_fold_after_off(self, engine):
        _, doc = engine.run(looped, 30, config={"fold_after": False, "fold_trace_after": 7})
        assert len(opened(doc, "leaf")) == 7
        assert [f["count"] for f in folds_of(doc)] == [23]

    def test_recursion_folds_the_call_past_the_budget_with_its_subtree(self, engine):
        result, doc = engine.run(chain, 10, config={"fold_trace_after": 3})
        assert result == 10
        calls = opened(doc, "chain")
        assert len(calls) == 3
        assert len(opened(doc, "leaf")) == 3
        (fold,) = folds_of(doc)
        assert (fold["frame_id"], fold["co_name"], fold["count"]) == (calls[-1]["frame_id"], "chain", 1)

    def test_generator_resumes_have_their_own_budget(self, engine):
        result, doc = engine.run(consume_often, 5, 10, config={"fold_trace_after": 8})
        assert result == consume_often(5, 10)
        recorded = len(opened(doc, "produce"))
        folded = sum(f["count"] for f in folds_of(doc) if f["co_name"] == "produce")
        if engine.monitor:
            # Five first entries (all within the budget), then 8 of 50 resumes.
            assert (recorded, folded) == (5 + 8, 42)
        else:
            # The profile hook sees each resume as a call: 8 of 55.
            assert (recorded, folded) == (8, 47)

    def test_a_call_that_raises_past_the_budget_is_kept(self, engine):
        needs_raises_told_apart(engine)
        result, doc = engine.run(catches_twice, config={"fold_trace_after": 5})
        assert result == catches_twice()
        calls = opened(doc, "maybe_raise")
        (fold,) = folds_of(doc)
        # Three calls under the first catches(), two under the second: the
        # budget is spent there.
        assert fold["frame_id"] == opened(doc, "catches")[1]["frame_id"]
        assert [c["locals"]["i"] for c in calls] == [0, 1, 2, 0, 1, 20]
        assert closing_of(doc, calls[-1])["event"] == engine.exception_exit
        assert fold["count"] == 27

    def test_each_trace_taken_counts_afresh(self, engine):
        recorder = engine.recorder(config={"fold_trace_after": 4})
        recorder.start()
        try:
            spread(3, 3)
            first = decode(recorder.build_trace())
            spread(2, 3)
        finally:
            recorder.stop()
        second = decode(recorder.build_trace())
        assert len(opened(first, "leaf")) == len(opened(second, "leaf")) == 4
        assert sum(f["count"] for f in folds_of(first) if f["co_name"] == "leaf") == 5
        assert sum(f["count"] for f in folds_of(second) if f["co_name"] == "leaf") == 2

    def test_the_package_default_and_complete(self, engine):
        def recorded(config):
            recorder = create(engine.name, config={"threading": False, **config})
            recorder.start()
            try:
                chain(600)
            finally:
                recorder.stop()
            return decode(recorder.build_trace())

        budget = vask_config.DEFAULT_FOLD_TRACE_AFTER
        doc = recorded({})
        assert len(opened(doc, "chain")) == len(opened(doc, "leaf")) == budget
        assert [(f["co_name"], f["count"]) for f in folds_of(doc)] == [("chain", 1)]
        complete = vask_config.FileSettings(complete=True).to_engine_config()
        doc = recorded({"fold_after": complete["fold_after"],
                        "fold_trace_after": complete["fold_trace_after"]})  # fmt: skip
        assert len(opened(doc, "chain")) == 601
        assert not folds_of(doc)


BUDGETED_TESTS = """
def helper(i):
    return i + 1


def through(i):
    return helper(i)


def six():
    total = 0
    for i in range(6):
        total += through(i)
    return total


def test_one():
    assert six() == 21


def test_two():
    assert six() == 21
"""


def test_each_test_of_a_session_has_its_own_budget(tmp_path):
    import subprocess

    import msgpack

    (tmp_path / "test_budget.py").write_text(BUDGETED_TESTS)
    result = subprocess.run(
        [sys.executable, "-m", "pytest", "--vask", "--vask-fold-trace-after", "4",
         "-p", "no:cacheprovider", "test_budget.py"],
        cwd=tmp_path, capture_output=True, text=True, timeout=120, check=False,
    )  # fmt: skip
    assert result.returncode == 0, result.stdout + result.stderr
    db_path = tmp_path / ".vask" / "db.sqlite3"
    summaries = vask.db.list_traces(db_path)
    assert len(summaries) == 2
    for summary in summaries:
        (data,) = vask.db.load_trace(db_path, summary.trace_id)
        doc = msgpack.unpackb(data, raw=False, strict_map_key=False)
        assert doc["meta"]["config"]["fold_trace_after"] == 4
        assert len(opened(doc, "through")) == 4, summary.trace_name
        assert [(f["co_name"], f["count"]) for f in folds_of(doc)] == [("through", 2)]
        # The calls under a folded call go unrecorded with it.
        assert len(opened(doc, "helper")) == 4


class Token:
    def __init__(self, i):
        self.i = i


def take(token):
    return token.i


def lifetimes(n):
    dead = []
    for i in range(n):
        token = Token(i)
        ref = weakref.ref(token)
        take(token)
        del token
        dead.append(ref() is None)
    return dead


KEEP = {"fold_after": 5, "fold_keep_last": True}


class TestTheLastFoldedCallIsKept:
    """With ``fold_keep_last`` the last folded call of each kind is recorded in full."""

    def test_it_comes_right_before_the_fold_record_and_is_not_counted(self, engine):
        result, doc = engine.run(looped, 50, config=KEEP)
        assert result == looped(50)
        calls = opened(doc, "leaf")
        assert [c["locals"]["i"] for c in calls] == [0, 1, 2, 3, 4, 49]
        (fold,) = folds_of(doc)
        assert fold["count"] == 44
        (records,) = [rs for rs in records_of(doc).values() if fold in rs]
        at = records.index(fold)
        kept_call, kept_return, parent_return = records[at - 2], records[at - 1], records[at + 1]
        assert kept_call == calls[-1]
        assert kept_return["event"] == "return" and kept_return["frame_id"] == kept_call["frame_id"]
        assert kept_return["arg"] == 98
        assert parent_return["co_name"] == "looped" and parent_return["event"] == "return"
        (parent_call, _) = frames_named(doc, "looped")
        assert kept_call["user_code_call_site"]["call_frame_id"] == parent_call["frame_id"]
        # The counts leave the kept call out: it started after the last counted one ended.
        assert fold["last_timestamp"] <= kept_call["timestamp"]

    def test_a_single_folded_call_is_kept_without_a_fold_record(self, engine):
        _, doc = engine.run(looped, 6, config=KEEP)
        assert [c["locals"]["i"] for c in opened(doc, "leaf")] == [0, 1, 2, 3, 4, 5]
        assert not folds_of(doc)

    def test_at_the_top_level_and_for_generators(self, engine):
        _, doc = engine.run(list, map(leaf, range(50)), config=KEEP)
        (fold,) = folds_of(doc)
        assert fold["frame_id"] is None and fold["count"] == 44
        (records,) = [rs for rs in records_of(doc).values() if fold in rs]
        assert records[-1] == fold and records[-3]["locals"]["i"] == 49
        _, doc = engine.run(consume, 40, config=KEEP)
        (fold,) = folds_of(doc)
        assert len(opened(doc, "produce")) + fold["count"] == 41
        (records,) = [rs for rs in records_of(doc).values() if fold in rs]
        kept_close = records[records.index(fold) - 1]
        # The generator's last stretch: it ends by returning.
        assert kept_close["co_name"] == "produce" and kept_close["event"] == "return"

    def test_a_folded_call_that_raises_is_still_kept_with_its_unwind(self, engine):
        needs_raises_told_apart(engine)
        payload = Payload()
        result, doc = engine.run(catches_with, 30, (20,), payload, config=KEEP)
        assert result == catches_with(30, (20,), payload)
        (fold,) = folds_of(doc)
        calls = opened(doc, "raise_with")
        assert [c["locals"]["i"] for c in calls] == [0, 1, 2, 3, 4, 20, 29]
        assert closing_of(doc, calls[-2])["event"] == engine.exception_exit
        assert fold["count"] == 23
        # The raise is written short; the kept last call stays in full.
        local_values = {"bad": (20,), "payload": payload}
        assert calls[-2]["locals"] == light({"i": 20, **local_values})
        assert calls[-1]["locals"] == full({"i": 29, **local_values})
        assert closing_of(doc, calls[-1])["arg"] == 29

    def test_no_object_of_the_program_lives_longer(self, engine):
        result, doc = engine.run(lifetimes, 40, config=KEEP)
        complete, _ = engine.run(lifetimes, 40, config={"fold_after": False})
        # Kept calls hold nothing of the program: objects die as they do when
        # every call is recorded (as untraced, where the engine allows it;
        # the profile hook of 3.10 keeps a call's locals a while longer).
        assert result == complete
        if engine.monitor or sys.version_info >= (3, 13):
            assert result == [True] * 40
        assert opened(doc, "take")[-1]["locals"]["token"] is not None
        counts = {f["co_name"]: f["count"] for f in folds_of(doc)}
        assert counts == {"take": 40 - 5 - 1, "__init__": 40 - 5 - 1}

    def test_off_by_default(self, engine):
        _, doc = engine.run(looped, 50, config={"fold_after": 5})
        assert [c["locals"]["i"] for c in opened(doc, "leaf")] == [0, 1, 2, 3, 4]
        assert folds_of(doc)[0]["count"] == 45


def test_trace_point_targets_inside_folded_calls_are_kept(engine, monkeypatch):
    if not engine.monitor:
        pytest.skip("trace points are the monitoring engine's")
    import vask.monitoring

    saved = []
    monkeypatch.setattr(
        vask.monitoring, "_save_trace_point_from_rust", lambda *args: saved.append(args[2])
    )
    _, doc = engine.run(nested, 30, config={"fold_after": 4, "trace_points": ["leaf"]})
    assert saved == ["leaf"] * 30
    assert len(opened(doc, "leaf")) == 30
    assert [(f["co_name"], f["count"]) for f in folds_of(doc)] == [("inner_leaf", 26)]


class TestSettings:
    def test_on_by_default_and_off_when_complete(self):
        settings = vask_config.FileSettings()
        assert settings.to_engine_config()["fold_after"] == 20
        assert settings.overlaid(fold_after=3).to_engine_config()["fold_after"] == 3
        assert (
            settings.overlaid(fold_after=3, complete=True).to_engine_config()["fold_after"] is False
        )

    def test_keep_last_is_passed_on_and_checked(self, tmp_path):
        settings = vask_config.FileSettings()
        assert "fold_keep_last" not in settings.to_engine_config()
        assert settings.overlaid(fold_keep_last=True).to_engine_config()["fold_keep_last"] is True
        path = tmp_path / "pyproject.toml"
        path.write_text("[tool.vask]\nfold_keep_last = true\n")
        assert vask_config.load_settings(path).fold_keep_last is True
        with pytest.raises(TypeError, match="fold_keep_last"):
            vask_config.check_config({"fold_keep_last": 1})

    def test_pyproject_keys(self, tmp_path):
        path = tmp_path / "pyproject.toml"
        path.write_text("[tool.vask]\nfold_after = 7\ncomplete = true\n")
        settings = vask_config.load_settings(path)
        assert (settings.fold_after, settings.complete, settings.unknown_keys) == (7, True, [])
        path.write_text('[tool.vask]\nfold_after = "many"\n')
        with pytest.raises(vask_config.ConfigError, match="fold_after"):
            vask_config.load_settings(path)

    @pytest.mark.parametrize(
        ("value", "expected"), [(0, 0), (5, 5), ("off", False), ("12", 12), (False, False)]
    )
    def test_parse_fold_after(self, value, expected):
        assert vask_config.parse_fold_after(value) == expected
        assert vask_config.parse_fold_trace_after(value) == expected

    def test_trace_budget_defaults_with_folding_and_goes_with_it(self, tmp_path):
        def resolved(config):
            vask_config.resolve_limits(config)
            return config["fold_trace_after"]

        settings = vask_config.FileSettings()
        assert resolved(settings.to_engine_config()) == vask_config.DEFAULT_FOLD_TRACE_AFTER
        assert resolved({"fold_after": False}) is False
        assert resolved({"fold_after": False, "fold_trace_after": 9}) == 9
        assert resolved(settings.overlaid(complete=True).to_engine_config()) is False
        laid = settings.overlaid(fold_trace_after=40, complete=True).to_engine_config()
        assert laid["fold_trace_after"] is False
        assert settings.overlaid(fold_trace_after=40).to_engine_config()["fold_trace_after"] == 40
        path = tmp_path / "pyproject.toml"
        path.write_text("[tool.vask]\nfold_trace_after = 300\n")
        assert vask_config.load_settings(path).fold_trace_after == 300
        path.write_text("[tool.vask]\nfold_trace_after = -3\n")
        with pytest.raises(vask_config.ConfigError, match="fold_trace_after"):
            vask_config.load_settings(path)

    def test_the_command_line_takes_the_budget(self):
        from vask.cli.parser import build_parser

        args = build_parser().parse_args(["run", "--fold-trace-after", "off", "x.py"])
        assert args.fold_trace_after is False
        with pytest.raises(SystemExit):
            build_parser().parse_args(["run", "--fold-trace-after", "many", "x.py"])

    @pytest.mark.parametrize("value", [-1, True, 2.5, "x"])
    def test_bad_fold_after_is_refused(self, value):
        with pytest.raises(ValueError, match="fold_after"):
            vask_config.parse_fold_after(value)
        with pytest.raises(TypeError, match="fold_after"):
            vask_config.check_config({"fold_after": value})
        with pytest.raises(ValueError, match="fold_trace_after"):
            vask_config.parse_fold_trace_after(value)
        with pytest.raises(TypeError, match="fold_trace_after"):
            vask_config.check_config({"fold_trace_after": value})


def test_folded_text():
    record = {
        "type": "folded",
        "co_name": "convolve",
        "qualname": "convolve",
        "event": "call",
        "count": 998_544,
        "total_duration": 12.4,
        "min_duration": 2e-6,
        "max_duration": 3e-3,
    }
    assert folded_text(record) == "… 998,544 more calls of convolve (12.4 s in all, 2 µs–3 ms)"
    resumes = dict(record, event="resume", count=1, qualname="Gen.run")
    assert folded_text(resumes).startswith("… 1 more resume of Gen.run (")
    assert folded_text({"type": "folded"}) == "… ? more calls of ?"


PROGRAM = """
def convolve(x):
    return x * 3


def main():
    total = 0
    for i in range(500):
        total += convolve(i)
    return total


main()
"""


def test_run_show_and_export_carry_the_fold(tmp_path):
    import json
    import subprocess
    import sys

    (tmp_path / "prog.py").write_text(PROGRAM)

    def vask_cmd(*args):
        result = subprocess.run(
            [sys.executable, "-m", "vask", *args],
            cwd=tmp_path,
            capture_output=True,
            text=True,
            timeout=120,
        )
        assert result.returncode == 0, result.stderr
        return result.stdout

    vask_cmd("run", "--fold-after", "5", "prog.py")
    shown = vask_cmd("traces", "show", "latest")
    lines = shown.splitlines()
    (fold_line,) = [line for line in lines if "more calls of" in line]
    assert fold_line.strip().startswith("… 495 more calls of convolve (")
    # Under its parent, after the recorded calls.
    main_at = next(i for i, line in enumerate(lines) if line.strip().startswith("main()"))
    indent = len(lines[main_at]) - len(lines[main_at].lstrip())
    assert len(fold_line) - len(fold_line.lstrip()) > indent
    assert sum("convolve(x=" in line for line in lines) == 5

    vask_cmd("traces", "export", "latest", "--format", "chrome", "-o", "t.json")
    events = json.loads((tmp_path / "t.json").read_text())["traceEvents"]
    (block,) = [e for e in events if e.get("cat") == "folded"]
    assert block["ph"] == "X" and block["dur"] >= 0
    assert block["args"]["count"] == 495 and "frame_id" not in block["args"]

    vask_cmd("traces", "export", "latest", "--format", "speedscope", "-o", "s.json")
    speedscope = json.loads((tmp_path / "s.json").read_text())
    names = [f["name"] for f in speedscope["shared"]["frames"]]
    (fold_frame,) = [i for i, name in enumerate(names) if name.startswith("… 495 more calls")]
    (profile,) = speedscope["profiles"]
    blocks = [e for e in profile["events"] if e["frame"] == fold_frame]
    assert [e["type"] for e in blocks] == ["O", "C"] and blocks[0]["at"] <= blocks[1]["at"]
    # One block within main's, after its recorded calls.
    main = names.index("main")
    (main_open, main_close) = [e for e in profile["events"] if e["frame"] == main]
    assert main_open["at"] <= blocks[0]["at"] and blocks[1]["at"] <= main_close["at"]
    at = [e["at"] for e in profile["events"]]
    assert at == sorted(at)

    vask_cmd("run", "--fold-after", "5", "--fold-keep-last", "prog.py")
    shown = vask_cmd("traces", "show", "latest")
    assert "… 494 more calls of convolve (" in shown
    assert sum("convolve(x=" in line for line in shown.splitlines()) == 6
    assert "convolve(x=499)" in shown

    vask_cmd("run", "--complete", "prog.py")
    shown = vask_cmd("traces", "show", "latest")
    assert "more calls of" not in shown
    assert sum("convolve(x=" in line for line in shown.splitlines()) == 500


PARAMETRISED = """
import pytest


def helper(i):
    return i + 1


@pytest.mark.parametrize("i", range(12))
def test_many(i):
    assert helper(i) == i + 1
"""


def test_each_test_of_a_parametrised_function_keeps_its_own_call(engine, tmp_path):
    import subprocess
    import sys

    import msgpack

    (tmp_path / "test_params.py").write_text(PARAMETRISED)
    result = subprocess.run(
        [sys.executable, "-m", "pytest", "--vask", "--vask-engine", engine.name,
         "--vask-fold-after", "3", "-p", "no:cacheprovider", "test_params.py"],
        cwd=tmp_path, capture_output=True, text=True, timeout=120, check=False,
    )  # fmt: skip
    assert result.returncode == 0, result.stdout + result.stderr
    db_path = tmp_path / ".vask" / "db.sqlite3"
    summaries = vask.db.list_traces(db_path)
    assert len(summaries) == 12
    for summary in summaries:
        (data,) = vask.db.load_trace(db_path, summary.trace_id)
        doc = msgpack.unpackb(data, raw=False, strict_map_key=False)
        assert len(opened(doc, "test_many")) == 1, summary.trace_name
        assert not folds_of(doc)
        (records,) = records_of(doc).values()
        assert records[-1]["type"] == "end_test"


SPREAD_PROGRAM = """
def convolve(x):
    return x * 3


def step(i):
    return convolve(i) + convolve(i + 1)


def main():
    total = 0
    for i in range(10):
        total += step(i)
    return total


main()
"""


def test_budget_folds_read_back_like_any_fold(tmp_path):
    """What the budget folds, traces show, the viewer and the exports present as any fold."""
    import json
    import subprocess

    from vask import traceindex
    from vask.viewer import queries

    (tmp_path / "prog.py").write_text(SPREAD_PROGRAM)

    def vask_cmd(*args):
        result = subprocess.run(
            [sys.executable, "-m", "vask", *args],
            cwd=tmp_path, capture_output=True, text=True, timeout=120, check=False,
        )  # fmt: skip
        assert result.returncode == 0, result.stderr
        return result.stdout

    vask_cmd("run", "--fold-after", "off", "--fold-trace-after", "5", "prog.py")
    # step() is recorded five times under main(), convolve() five times over
    # steps 1-3; the third step's second convolve() is past the budget.
    expected = [
        "… 1 more call of convolve",
        "… 2 more calls of convolve",
        "… 2 more calls of convolve",
        "… 5 more calls of step",
    ]
    shown = vask_cmd("traces", "show", "latest").splitlines()
    folds = [line.strip() for line in shown if "more call" in line]
    assert [f.split(" (")[0] for f in folds] == expected
    assert sum("convolve(x=" in line for line in shown) == 5

    db_path = tmp_path / ".vask" / "db.sqlite3"
    (summary,) = vask.db.list_traces(db_path)
    trace = traceindex.open_trace(db_path, summary.trace_id)
    try:
        (key,) = trace.threads
        thread = queries.thread_of(trace, key)
        labels = []

        def walk(node):
            for item in queries.children(trace, thread, node, 0, 500)["items"]:
                if item["label"].startswith("…"):
                    labels.append(item["label"].split(" (")[0])
                if item["children"]:
                    walk(item["node"])

        walk(0)
    finally:
        trace.close()
    assert labels == expected

    vask_cmd("traces", "export", "latest", "--format", "chrome", "-o", "t.json")
    events = json.loads((tmp_path / "t.json").read_text())["traceEvents"]
    blocks = [e for e in events if e.get("cat") == "folded"]
    assert sorted(b["args"]["count"] for b in blocks) == [1, 2, 2, 5]
