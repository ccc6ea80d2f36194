"""The calls index and the search across traces: `vask calls`, `vask.calls`, `traces show --at`."""

from __future__ import annotations

import os
import re
import sqlite3
import subprocess
import sys
import threading
import time
from pathlib import Path

import msgpack
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
import vask
from tracedocs import document, frame, marker, plugin
from vask import callsearch, traceindex
from vask.cli import main
from vask.storage import backend, callindex, maintain, schema, store
from vask.storage.query import list_traces
from vask.storage.schema import transaction


def reserve(qty, password="hunter2"):
    if qty > 100:
        raise ValueError(qty)
    return qty * 2


def countdown(n):
    while n:
        yield n
        n -= 1


def shop():
    for qty in (5, 150, 7):
        try:
            reserve(qty)
        except ValueError:
            pass
    list(countdown(2))
    worker = threading.Thread(target=reserve, args=(42,), name="worker")
    worker.start()
    worker.join()


def _index_rows(db_path):
    """(thread, node, parent, qualname, depth, outcome, exception type, folded) of every row."""
    with sqlite3.connect(db_path) as conn:
        rows = []
        for (trace_id,) in conn.execute("SELECT trace_id FROM call_traces").fetchall():
            for r in callindex.all_rows(conn, trace_id):
                rows.append(
                    (r["thread_key"], r["node"], r["parent"], r["qualname"], r["depth"])
                    + (r["outcome"], r["exc_type"], r["folded"])
                )
        return sorted(rows, key=lambda r: (r[0], r[1]))


@pytest.fixture
def recorded(engine, tmp_path):
    db_path = tmp_path / "db.sqlite3"
    recorder = engine.recorder(config={"threading": True}, db_path=db_path)
    recorder.start()
    try:
        shop()
    finally:
        recorder.stop()
    recorder.save()
    return db_path, recorder.trace_id


def test_the_index_holds_every_call_of_the_tree(engine, recorded):
    db_path, trace_id = recorded
    callsearch.ensure_index(db_path)
    rows = _index_rows(db_path)
    trace = traceindex.open_trace(db_path, trace_id)
    try:
        expected = []
        records = {}
        for thread in trace.threads.values():
            for depth, node in thread.walk():
                if thread.kind[node] == traceindex.NODE_CALL:
                    name = thread.node_name(node)
                    expected.append((thread.key, node, thread.parent[node], name.qualname, depth))
                    records[thread.key, node] = tuple(
                        thread.rec_pos[rec] if rec >= 0 else -1
                        for rec in (thread.open_rec[node], thread.close_rec[node])
                    )
    finally:
        trace.close()
    assert sorted(r[:5] for r in rows) == sorted(expected)
    # the records' positions: the closing one's found past the opening one, as measured
    with sqlite3.connect(db_path) as conn:
        found = {
            (r["thread_key"], r["node"]): (r["open_pos"], r["close_pos"])
            for r in callindex.all_rows(conn, trace_id)
        }
    assert found == records
    reserves = [r for r in rows if r[3].endswith("reserve")]
    assert len(reserves) == 4
    assert len({r[0] for r in reserves}) == 2  # the worker thread's call is there too
    raised = [r for r in reserves if r[5] == callindex.RAISED]
    if engine.monitor:
        assert [r[6] for r in raised] == ["ValueError"]
        # the generator's resumed parts are rows of their own; it yielded before them
        parts = [r for r in rows if r[3].endswith("countdown")]
        assert len(parts) == 3
        assert [r[5] for r in parts] == [callindex.YIELDED] * 2 + [callindex.RETURNED]
    else:
        assert raised == []  # the profile hook sees a return of None


def test_find_by_name_outcome_duration_and_values(engine, recorded):
    db_path, _ = recorded
    found = vask.calls("reserve", db_path=db_path)
    assert sorted(m.args["qty"] for m in found) == [5, 7, 42, 150]
    assert all(m.qualname.endswith(".reserve") and m.thread_name for m in found)
    big = vask.calls("*reserve", db_path=db_path, args={"qty": (">", 100)})
    assert [m.args["qty"] for m in big] == [150]
    if engine.monitor:
        assert big[0].outcome == "raised"
        assert vask.calls("reserve", db_path=db_path, raised="ValueError")[0].args == big[0].args
        assert vask.calls("reserve", db_path=db_path, raised="KeyError") == []
    doubled = vask.calls("reserve", db_path=db_path, returned=True, returns=(">=", 14))
    assert sorted(m.return_value for m in doubled) == [14, 84]
    slow = vask.calls("*", db_path=db_path, slowest=2)
    durations = [m.duration for m in vask.calls("*", db_path=db_path) if m.duration is not None]
    assert [m.duration for m in slow] == sorted(durations, reverse=True)[:2]
    # the password argument is redacted: no operator matches on its content
    for op, value in (("==", "hunter2"), ("!=", "x"), ("~", "hunt")):
        assert vask.calls("reserve", db_path=db_path, args={"password": (op, value)}) == []
    assert len(vask.calls("reserve", db_path=db_path, args={"self": 1})) == 0
    assert len(vask.calls("reserve", db_path=db_path, locals={"qty": ("~", "^4")})) == 1


def _predicate(where, *words):
    return callsearch.Predicate.parse(where, list(words))


class Shelf:
    def take(self, qty):
        return qty - 1


def test_a_name_is_found_by_its_last_parts_as_show_prints_it(engine, tmp_path):
    db_path = tmp_path / "db.sqlite3"
    recorder = engine.recorder(db_path=db_path)
    recorder.start()
    try:
        Shelf().take(3)
    finally:
        recorder.stop()
    recorder.save()
    qualname = vask.calls("take", db_path=db_path)[0].qualname
    assert qualname.endswith(".Shelf.take") and qualname != "Shelf.take"
    for pattern in (qualname, "Shelf.take", "*helf.take", "Shelf.*"):
        assert [m.args["qty"] for m in vask.calls(pattern, db_path=db_path)] == [3], pattern
    # only from a dot on: a cut inside a part of the name is no match
    for pattern in ("helf.take", "x" + qualname, "Shelf"):
        assert vask.calls(pattern, db_path=db_path) == [], pattern


@pytest.mark.parametrize(
    ("words", "value", "expected"),
    [
        (("n", "==", "3"), 3, True),
        (("n", "<", "3"), 3, False),
        (("n", ">=", "3"), 3.0, True),
        (("n", "<", "3"), "2", False),  # a text is not less than a number
        (("n", "==", "True"), 1, False),  # a bool is no number here
        (("n", "==", "abc"), "abc", True),  # a bare word compares as text
        (("n", "~", "^Item\\("), vask.values.ObjectRepr("Item(qty=3)"), True),
        (("n", "==", "Item(qty=3)"), vask.values.ObjectRepr("Item(qty=3)"), True),
        (("n", "~", "2, 3"), [1, 2, 3], True),
        (("n", "==", "(1, 2)"), (1, 2), True),
        (("n.qty", ">", "2"), {"qty": 3}, True),
        (("n.missing", "==", "None"), {"qty": 3}, False),
    ],
)
def test_predicates_compare_stored_values(words, value, expected):
    predicate = _predicate("arg", *words)
    assert predicate.test({"locals": {"n": value}}, None) == (expected, False)


def test_predicates_on_cut_values_say_so():
    from vask.serialize import TRUNCATED_KEY

    cut_text = "a" * 50 + "...<9000 more chars>"
    assert _predicate("arg", "s", "~", "aaa").test({"locals": {"s": cut_text}}, None) == (
        True,
        True,
    )
    # only what was kept is compared: the cut-off part matches nothing
    assert _predicate("arg", "s", "~", "b").test({"locals": {"s": cut_text}}, None) == (False, True)
    items = [1, 2, vask.values.ObjectRepr("<40 more items>")]
    assert _predicate("arg", "s", "~", "1, 2").test({"locals": {"s": items}}, None) == (True, True)
    mapping = {"a": 1, TRUNCATED_KEY: vask.values.ObjectRepr("<3 more items>")}
    assert _predicate("arg", "s", "~", "'a': 1").test({"locals": {"s": mapping}}, None) == (
        True,
        True,
    )
    # a field that was kept is compared as itself
    assert _predicate("arg", "s.a", "==", "1").test({"locals": {"s": mapping}}, None) == (
        True,
        False,
    )
    # the return value: an exception is no return
    end = {"event": "unwind", "exception": vask.values.ObjectRepr("ValueError()")}
    assert _predicate("return", "==", "None").test({}, end) == (False, False)


def test_bad_predicates_are_refused():
    with pytest.raises(callsearch.QueryError, match="unknown operator"):
        _predicate("arg", "n", "=", "3")
    with pytest.raises(callsearch.QueryError, match="regular expression"):
        _predicate("arg", "n", "~", "(")
    with pytest.raises(callsearch.QueryError):
        _predicate("return", "n", "==", "3")


def _documents():
    """A test's trace with a folded range, a subtree flushed from it, and a trace point."""
    root = document(
        "trc_root",
        {
            "native_1": [
                frame("call", 1, 100.0, "main", locals={}),
                frame("call", 2, 100.1, "item", locals={"n": 1}),
                frame("return", 2, 100.2, "item", arg=2),
                {
                    "type": "folded",
                    "frame_id": "frm_x",
                    "co_name": "item",
                    "qualname": "app.item",
                    "path": "app.py:7",
                    "event": "call",
                    "count": 500,
                    "total_duration": 2.5,
                    "min_duration": 0.001,
                    "max_duration": 0.01,
                    "first_timestamp": 100.3,
                    "last_timestamp": 102.9,
                    "timestamp": 103.0,
                },
                marker("trc_sub", 103.1, "branch", calls=1),
                frame("return", 1, 104.0, "main", arg=None),
                plugin("end_test", 104.1, outcome="failed"),
            ]
        },
        name="tests/test_app.py::test_main",
    )
    sub = document(
        "trc_sub",
        {"native_1": [frame("call", 3, 103.1, "branch"), frame("return", 3, 103.2, "branch")]},
        root="trc_root",
    )
    point = document(
        "trc_point",
        {"native_1": [frame("call", 4, 105.0, "hook"), frame("return", 4, 105.1, "hook", arg=9)]},
        root="trc_root",
        trace_point={"co_name": "hook"},
    )
    return [("trc_sub", sub), ("trc_root", root), ("trc_point", point)]


def test_folded_ranges_flushed_subtrees_and_trace_points(tmp_path):
    db_path = tmp_path / "db.sqlite3"
    store.save_traces(_documents(), db_path=db_path)
    folded = vask.calls("item", db_path=db_path)
    assert [(m.outcome, m.folded) for m in folded] == [("returned", None), ("folded", 500)]
    assert folded[1].duration == 2.5 and folded[1].line == 7
    # a folded range keeps no values: a value predicate never matches it
    assert [m.folded for m in vask.calls("item", db_path=db_path, args={"n": ("!=", 0)})] == [None]
    # the subtree and the trace point are found under the test of the trace they belong to
    for name, trace_id in (("branch", "trc_sub"), ("hook", "trc_point")):
        (match,) = vask.calls(name, db_path=db_path, outcome="failed")
        assert (match.trace_id, match.test) == (trace_id, "tests/test_app.py::test_main")
    assert vask.calls("*", db_path=db_path, test="tests/*::test_main", trace="trc_root")
    assert vask.calls("*", db_path=db_path, outcome="passed") == []


def _indexed_ids(db_path):
    with sqlite3.connect(db_path) as conn:
        traces = {r[0] for r in conn.execute("SELECT trace_id FROM call_traces")}
        orphans = conn.execute(
            "SELECT (SELECT COUNT(*) FROM call_blocks WHERE trace NOT IN"
            " (SELECT id FROM call_traces)) + (SELECT COUNT(*) FROM call_summary WHERE trace"
            " NOT IN (SELECT id FROM call_traces))"
        ).fetchone()[0]
    assert orphans == 0
    return traces


def test_the_index_follows_store_delete_prune_and_import(tmp_path):
    db_path = tmp_path / "db.sqlite3"
    store.save_traces(_documents(), db_path=db_path)
    callsearch.ensure_index(db_path)
    assert _indexed_ids(db_path) == {"trc_root", "trc_sub", "trc_point"}
    # a trace saved again is indexed again, with the calls of both documents
    again = document("trc_point", {"native_2": [frame("call", 9, 106.0, "hook")]}, root="trc_root")
    store.save_traces([("trc_point", again)], db_path=db_path)
    assert len(vask.calls("hook", db_path=db_path)) == 2
    one = document("trc_one", {"native_1": [frame("call", 1, 1.0, "solo")]})
    store.save_traces([("trc_one", one)], db_path=db_path)
    assert len(vask.calls("solo", db_path=db_path)) == 1
    maintain.delete_traces(db_path, ["trc_root"])  # its subtree and trace point go with it
    assert _indexed_ids(db_path) == {"trc_one"}
    assert vask.calls("hook", db_path=db_path) == []
    maintain.prune(db_path, keep=0)
    assert _indexed_ids(db_path) == set()
    file = tmp_path / "one.msgpack"
    file.write_bytes(one)
    assert main(["traces", "import", str(file), "--db", str(db_path)]) == 0
    assert [m.trace_id for m in vask.calls("solo", db_path=db_path)] == ["trc_one"]


def test_a_database_without_the_index_is_indexed_when_first_asked(tmp_path, capsys):
    db_path = tmp_path / "db.sqlite3"
    old = document(
        "trc_old",
        {"native_1": [frame("call", 1, 1.0, "f"), frame("return", 1, 2.0, "f", arg=3)]},
        version="0.2",
    )
    store.save_traces([("trc_old", old), ("trc_old2", old)], db_path=db_path)
    with sqlite3.connect(db_path) as conn:  # as vask 0.2 left it: the trace tables only
        for table in callindex._INDEX_TABLES:
            conn.execute(f"DROP TABLE IF EXISTS {table}")
    seen = []
    found = list(callsearch.find_calls(db_path, "f", progress=lambda *a: seen.append(a)))
    assert [(m.trace_id, m.return_value) for m in found] == [("trc_old", 3), ("trc_old2", 3)]
    assert seen == [(1, 2), (2, 2)]
    # an index of another version is built again
    with sqlite3.connect(db_path) as conn:
        conn.execute("UPDATE call_index_version SET version = 0")
    assert len(vask.calls("f", db_path=db_path)) == 2
    assert main(["traces", "reindex", "--db", str(db_path)]) == 0
    assert "indexed 2 calls of 2 traces" in capsys.readouterr().err
    assert len(list_traces(db_path)) == 2


class Crate:
    def __init__(self, qty, label):
        self.qty = qty
        self.label = label


class OutOfStock(Exception):
    def __init__(self, crate):
        super().__init__("out of stock")
        self.crate = crate


def ship(crate):
    return crate.qty


def restock(crate):
    if crate.qty > 2:
        raise OutOfStock(crate)
    return crate.qty


def test_predicates_reach_into_objects_stored_by_their_fields(engine, tmp_path):
    db_path = tmp_path / "db.sqlite3"
    recorder = engine.recorder(db_path=db_path)
    recorder.start()
    try:
        for qty in (1, 5):
            ship(Crate(qty, f"crate-{qty}"))
            try:
                restock(Crate(qty, "again"))
            except OutOfStock:
                pass
    finally:
        recorder.stop()
    recorder.save()
    (big,) = vask.calls("ship", db_path=db_path, args={"crate.qty": (">", 2)})
    assert isinstance(big.args["crate"], vask.values.StoredObject)
    assert big.args["crate"].fields["label"] == "crate-5" and big.return_value == 5
    # ~ searches the object as shown: its type and fields
    assert len(vask.calls("ship", db_path=db_path, args={"crate": ("~", r"Crate\(")})) == 2
    assert vask.calls("ship", db_path=db_path, args={"crate.missing": ("!=", 0)}) == []
    if engine.monitor:
        (raised,) = vask.calls("restock", db_path=db_path, raised="OutOfStock")
        assert raised.exception_type.rpartition(".")[2] == "OutOfStock"
        assert raised.args["crate"].fields["qty"] == 5
    # an exception stored by its fields is known by its type's name, not the reader's class
    stored = vask.values.StoredObject("shop.errors.OutOfStock", 0x7F, {"crate": 5})
    assert callindex._exception_type(stored) == "shop.errors.OutOfStock"


def test_a_call_that_began_before_tracing_is_indexed_above_what_it_adopted(tmp_path):
    db_path = tmp_path / "db.sqlite3"
    records = [
        frame("call", 2, 1.0, "inner"),
        frame("return", 2, 2.0, "inner", arg=1),
        frame("return", 1, 3.0, "outer", arg=2),  # opened before tracing began
        frame("return", 3, 4.0, "main", arg=3),  # and so was its caller
    ]
    store.save_traces([("trc_late", document("trc_late", {"native_1": records}))], db_path=db_path)
    callsearch.ensure_index(db_path)
    rows = {r[3]: r for r in _index_rows(db_path)}
    assert [rows[f"app.{name}"][4] for name in ("main", "outer", "inner")] == [0, 1, 2]
    assert rows["app.inner"][2] == rows["app.outer"][1]  # its parent
    with sqlite3.connect(db_path) as conn:
        cols = callindex.read_rows(conn, 1, 0, 3)
    # the blocks keep a parent made after its call; one its neighbours imply is left out
    stored = dict(zip(cols["node"], cols["parent"], strict=True))
    assert stored[rows["app.inner"][1]] == rows["app.inner"][1] - rows["app.outer"][1]
    assert stored[rows["app.main"][1]] == 0
    (outer,) = vask.calls("outer", db_path=db_path)
    assert (outer.start_record, outer.return_value) == (None, 2)


def test_values_of_a_trace_from_before_0_2_are_read_as_show_reads_them(tmp_path):
    """Before 0.2 a repr was stored as a plain string: a predicate sees it as a repr,
    and a redacted value among them is still never matched by content."""
    from vask.values import ObjectRepr

    db_path = tmp_path / "db.sqlite3"
    records = [
        frame("call", 1, 1.0, "f", locals={"item": "<Item object at 0x7f>", "pw": "<redacted>"}),
        frame("return", 1, 2.0, "f", arg="<Item object at 0x7f>"),
    ]
    old = document("trc_01", {"native_1": records}, version="0.1.9")
    store.save_traces([("trc_01", old)], db_path=db_path)
    (match,) = vask.calls("f", db_path=db_path, args={"item": ("~", "Item")})
    assert isinstance(match.args["item"], ObjectRepr)
    assert isinstance(match.return_value, ObjectRepr)
    assert vask.calls("f", db_path=db_path, args={"pw": ("~", "redacted")}) == []
    assert vask.calls("f", db_path=db_path, args={"pw": "<redacted>"}) == []


def test_the_command_prints_each_match_with_a_way_to_open_it(tmp_path, capsys):
    db_path = tmp_path / "db.sqlite3"
    store.save_traces(_documents(), db_path=db_path)
    assert main(["calls", "main", "--db", str(db_path)]) == 0
    out = capsys.readouterr().out.splitlines()
    assert out[0].startswith("trace trc_root  test tests/test_app.py::test_main (failed)")
    assert "main()" in out[1] and "→ None" in out[1]
    command = out[2].split()
    assert command[:4] == ["vask", "traces", "show", "trc_root"]
    assert main(["traces", "show", *command[3:]]) == 0
    assert "▶ main()" in capsys.readouterr().out
    assert main(["calls", "item", "--db", str(db_path), "--arg", "n", "==", "1", "--json"]) == 0
    import json

    (match,) = json.loads(capsys.readouterr().out)
    assert (match["args"], match["return"], match["outcome"]) == ({"n": 1}, 2, "returned")
    assert main(["calls", "nothing", "--db", str(db_path)]) == 0
    assert "no calls match" in capsys.readouterr().err


def test_json_says_the_type_of_an_object_stored_without_fields(tmp_path, capsys):
    """An object stored by its state prints as its fields; one with none (a datetime
    whose repr would run the program's tzinfo) as show prints it, not as an empty map."""
    import json

    def stored(type_name, address, fields):
        return msgpack.ExtType(7, msgpack.packb([type_name, address, fields]))

    db_path = tmp_path / "db.sqlite3"
    args = {
        "when": stored("datetime.datetime", 0x1234, {}),
        "order": stored("shop.Order", 9, {"n": 1}),
    }
    records = [frame("call", 1, 1.0, "f", locals=args), frame("return", 1, 2.0, "f", arg=None)]
    store.save_traces([("trc_01", document("trc_01", {"native_1": records}))], db_path=db_path)
    assert main(["calls", "f", "--db", str(db_path), "--json"]) == 0
    (match,) = json.loads(capsys.readouterr().out)
    assert match["args"] == {"when": "<datetime.datetime object at 0x1234>", "order": {"n": 1}}
    assert main(["calls", "x", "--db", str(db_path), "--arg", "n", "=", "1"]) == 2
    assert main(["traces", "show", "trc_root", "--at", "native_1/99", "--db", str(db_path)]) == 1


def test_a_sub_microsecond_call_is_printed_with_its_exact_duration(tmp_path, capsys):
    # The index keeps durations to about a microsecond; its records keep them exactly.
    import json

    db_path = tmp_path / "db.sqlite3"
    records = [frame("call", 1, 1000.0, "f"), frame("return", 1, 1000.0 + 3e-7, "f", arg=1)]
    store.save_traces([("trc_01", document("trc_01", {"native_1": records}))], db_path=db_path)
    (match,) = vask.calls("f", db_path=db_path)
    assert match.duration == 0.0
    assert match.recorded_duration == pytest.approx(3e-7, rel=1e-3)
    assert main(["calls", "f", "--db", str(db_path), "--json"]) == 0
    (shown,) = json.loads(capsys.readouterr().out)
    assert shown["duration"] == pytest.approx(3e-7, rel=1e-3)
    assert main(["calls", "f", "--db", str(db_path)]) == 0
    assert "300 ns" in capsys.readouterr().out


def test_the_writer_indexes_in_its_spare_time_and_nobody_waits_for_it(tmp_path, monkeypatch):
    """The traced program never waits for the index: the writer stores documents first,
    and indexes the traces it stored when it has nothing to store.  What it leaves (a
    trace too large for its spare time, or all of them when told not to), the first
    query indexes, with progress."""
    from vask.storage import writer

    db_path = tmp_path / "db.sqlite3"

    def stored(trace_id, name="f", wait=False):
        doc = document(trace_id, {"native_1": [frame("call", 1, 1.0, name)]})
        writer.save_trace(trace_id, 60, doc, db_path, wait=wait)
        assert writer.drain(30)

    def pending():
        conn = schema.connect(db_path)
        try:
            return callindex.pending_traces(conn)
        finally:
            conn.close()

    def pending_soon(expected):
        """The pending traces once they are ``expected`` (the writer indexes them on its
        own thread), or after 30 s."""
        deadline = time.monotonic() + 30
        while (now := pending()) != expected and time.monotonic() < deadline:
            time.sleep(0.02)
        return now

    monkeypatch.setattr(writer, "INDEX_IN_SPARE_TIME", False)
    stored("trc_off")
    assert pending() == ["trc_off"]
    seen = []
    (match,) = callsearch.find_calls(db_path, "f", progress=lambda *p: seen.append(p))
    assert (match.trace_id, seen) == ("trc_off", [(1, 1)])

    monkeypatch.setattr(writer, "INDEX_IN_SPARE_TIME", True)
    stored("trc_a")
    stored("trc_b", "g")
    assert pending_soon([]) == []
    seen.clear()
    (match,) = callsearch.find_calls(db_path, "g", progress=lambda *p: seen.append(p))
    assert (match.trace_id, seen) == ("trc_b", [])

    # too large for spare time: the first query's
    monkeypatch.setattr(store, "SPARE_TIME_INDEX_BYTES", 0)
    stored("trc_large")
    time.sleep(0.2)
    assert pending() == ["trc_large"]
    monkeypatch.undo()

    # while the writer indexes, a store waited for is made at once and drain() does not
    # wait; a document handed over meanwhile is stored after it
    busy, free = threading.Event(), threading.Event()
    indexing = store.index_in_spare_time

    def slow(conn, trace_id):
        busy.set()
        assert free.wait(30)
        indexing(conn, trace_id)

    monkeypatch.setattr(store, "index_in_spare_time", slow)
    stored("trc_c")
    assert busy.wait(30)
    began = time.monotonic()
    stored("trc_waited", wait=True)
    assert writer.drain(0) and time.monotonic() - began < 10
    doc = document("trc_queued", {"native_1": [frame("call", 1, 1.0, "f")]})
    writer.save_trace("trc_queued", 60, doc, db_path, wait=False)
    assert not writer.drain(0.1)
    free.set()
    assert writer.drain(30)
    # the trace stored on its caller's thread is left to the first query
    assert pending_soon(["trc_large", "trc_waited"]) == ["trc_large", "trc_waited"]


WRITER_AT_EXIT = """
import sys, threading, time
from vask.storage import callindex, schema, writer
from tracedocs import document, frame

db_path = sys.argv[1]
writer.save_trace("trc_a", 60, document("trc_a", {"native_1": [frame("call", 1, 1.0, "f")]}),
                  db_path, wait=False)
assert writer.drain(30)
deadline = time.monotonic() + 30
while time.monotonic() < deadline:  # indexed on the writer's thread, in its spare time
    conn = schema.connect(db_path)
    try:
        if not callindex.pending_traces(conn):
            break
    finally:
        conn.close()
    time.sleep(0.05)
writer._at_exit()
print([t.name for t in threading.enumerate() if t.name.startswith("vask")])
"""


def test_the_writer_has_ended_when_the_exit_handler_returns(tmp_path):
    """A daemon thread alive as the interpreter finalises keeps what it holds unfreed
    (the spare time's decompressors): the exit handler leaves none of the writer's."""
    (tmp_path / "prog.py").write_text(WRITER_AT_EXIT)
    result = subprocess.run(
        [sys.executable, "prog.py", str(tmp_path / "db.sqlite3")],
        cwd=tmp_path,
        env={**os.environ, "PYTHONPATH": str(Path(__file__).parent)},
        capture_output=True,
        text=True,
        timeout=120,
        check=False,
    )
    assert (result.returncode, result.stdout) == (0, "[]\n"), result.stderr


def test_the_viewer_searches_every_trace_without_changing_the_database(tmp_path):
    from vask.viewer import queries
    from vask.viewer.server import Viewer

    db_path = tmp_path / "db.sqlite3"
    store.save_traces(_documents()[:2], db_path=db_path)
    callsearch.ensure_index(db_path)
    store.save_traces(_documents()[2:], db_path=db_path)
    before = db_path.read_bytes()
    viewer = Viewer(db_path)
    try:
        answer = viewer.calls("item --arg n == 1 --outcome failed")
        assert answer["not_indexed"] == 1  # the trace point came after the index: not built here
        (match,) = answer["matches"]
        assert (match["trace"], match["thread"], match["test"]) == (
            "trc_root",
            "native_1",
            "tests/test_app.py::test_main",
        )
        assert match["label"].startswith("item(n=1)")
        assert viewer.calls("'*' --raised")["matches"] == []
        for bad in ("--arg n == 1", "x --arg n", "x --slowest 0", "x --nope"):
            with pytest.raises(queries.BadRequest):
                viewer.calls(bad)
    finally:
        viewer.close()
    assert db_path.read_bytes() == before


def test_a_database_indexed_is_only_read_wherever_it_lies(tmp_path):
    """vask writes nowhere others can write in; a query of a complete index writes
    nothing, so it answers there, and one with traces to index says why it cannot."""
    shared = tmp_path / "shared"
    shared.mkdir()
    db_path = shared / "db.sqlite3"
    store.save_traces(_documents()[:2], db_path=db_path)
    callsearch.ensure_index(db_path)
    shared.chmod(0o1777)
    try:
        assert callsearch.ensure_index(db_path) == 0
        assert {m.qualname for m in callsearch.find_calls(db_path, "item")} == {"app.item"}
        shared.chmod(0o755)
        store.save_traces(_documents()[2:], db_path=db_path)
        shared.chmod(0o1777)
        with pytest.raises(PermissionError, match=r"refusing to write .* the calls index of the 1"
                           r" trace not indexed yet is built in the database itself"):
            list(callsearch.find_calls(db_path, "item"))
    finally:
        shared.chmod(0o755)


# -- either backend ----------------------------------------------------------------


def _index_of(database):
    """The trace ids the index of ``database`` covers (``None``: no index yet), checking
    that no summary or block outlives its trace."""
    conn = schema.open_existing(database, 30)
    try:
        if not callindex.has_index(conn):
            return None
        traces = {r[0] for r in conn.execute("SELECT trace_id FROM call_traces")}
        orphans = conn.execute(
            "SELECT (SELECT COUNT(*) FROM call_blocks WHERE trace NOT IN"
            " (SELECT id FROM call_traces)) + (SELECT COUNT(*) FROM call_summary WHERE trace"
            " NOT IN (SELECT id FROM call_traces))"
        ).fetchone()[0]
    finally:
        conn.close()
    assert orphans == 0
    return traces


def _found(db, pattern, **query):
    return [
        (m.trace_id, m.qualname, m.outcome, m.folded, m.return_value, m.test, m.duration, m.ref)
        for m in vask.calls(pattern, db_path=db, **query)
    ]


_QUERIES = [
    ("item", {}),
    ("*", {}),
    ("ma*", {}),
    ("app.*", {"slowest": 2}),
    ("item", {"args": {"n": ("!=", 0)}}),
    ("hook", {"outcome": "failed", "returns": 9}),
    ("*", {"test": "tests/*::test_main", "trace": "trc_root"}),
    ("*", {"test": "tests/test_app.py::test_main"}),
    ("*", {"test": "tests/*::test_other"}),
    ("branch", {"raised": True}),
]


def test_the_index_on_either_backend_answers_as_on_sqlite(database, tmp_path, capsys):
    reference = tmp_path / "reference.sqlite3"
    for db in (database, reference):
        store.save_traces(_documents(), db_path=db)
    assert _index_of(database) is None  # built by the first query, not by the writer
    # as the viewer reads it: only what the index covers, the database unchanged
    assert list(callsearch.find_calls(database, "*", build=False)) == []
    conn = schema.connect_readonly(database, 30)
    try:
        assert callindex.pending_traces(conn) == ["trc_sub", "trc_root", "trc_point"]
    finally:
        conn.close()
    assert _index_of(database) is None
    for pattern, query in _QUERIES:
        assert _found(database, pattern, **query) == _found(reference, pattern, **query)
    assert len(_found(database, "item")) == 2 and len(_found(database, "*")) == 5
    assert _index_of(database) == {"trc_root", "trc_sub", "trc_point"}
    # the command prints the same, and the index is built again on request
    assert main(["calls", "app.*", "--db", str(database)]) == 0
    shown = capsys.readouterr().out
    assert main(["calls", "app.*", "--db", str(reference)]) == 0
    assert shown.replace(str(database), "DB") == capsys.readouterr().out.replace(
        str(reference), "DB"
    )
    assert main(["traces", "reindex", "--db", str(database)]) == 0
    assert "calls of 3 traces" in capsys.readouterr().err
    assert _found(database, "*") == _found(reference, "*")
    # a trace saved again is indexed again; deleted and pruned traces leave the index
    one = document("trc_one", {"native_1": [frame("call", 1, 1.0, "solo")]})
    store.save_traces([("trc_one", one)], db_path=database)
    assert len(vask.calls("solo", db_path=database)) == 1
    maintain.delete_traces(database, ["trc_root"])
    assert _index_of(database) == {"trc_one"}
    assert vask.calls("hook", db_path=database) == []
    maintain.prune(database, keep=0)
    assert _index_of(database) == set()


@pytest.mark.parametrize(
    ("text", "pattern", "matches"),
    [
        ("app.item", "app.*", True),
        ("appXitem", "app.*", False),
        ("a+b", "a+b", True),
        ("aab", "a+b", False),
        ("a(b)|c$", "a(b)|c$", True),
        ("a\\b", "a\\b", True),
        ("ab", "a?", True),
        ("a?", "a[?]", True),
        ("ab", "a[?]", False),
        ("t.py::test[1]", "t.py::test[[]1[]]", True),
        ("b", "[a-c]", True),
        ("-", "[a-c]", False),
        ("d", "[^a-c]", True),
        ("a", "[^a-c]", False),
        ("xa.item", "a.*", False),
    ],
)
def test_name_patterns_match_alike_on_either_backend(database, text, pattern, matches):
    store.save_traces([("trc_one", document("trc_one", {}))], db_path=database)
    conn = schema.open_existing(database, 30)
    try:
        condition = callindex.glob_sql(conn, "CAST(? AS text)")
        found = conn.execute(
            f"SELECT CASE WHEN {condition} THEN 1 ELSE 0 END",
            (text, callindex.glob_param(conn, pattern)),
        ).fetchone()[0]
    finally:
        conn.close()
    assert bool(found) is matches


def _exc_object(type_name, **fields):
    """An exception stored by its fields, as the dumpers write one."""
    import msgpack

    return msgpack.ExtType(7, msgpack.packb([type_name, 0x1234, fields]))


@pytest.mark.parametrize(
    ("exception", "expected"),
    [
        (_exc_object("pkg.errors.OutOfStock", args=["x" * 2000]), "pkg.errors.OutOfStock"),
        ("KeyError('k')", "KeyError"),
        ({"type": "ValueError", "message": "bad"}, "ValueError"),
        (None, None),
    ],
)
def test_the_exception_type_is_read_from_the_records_head_or_whole(tmp_path, exception, expected):
    # the exception first and the locals after it, or (not the engines' layout) the
    # locals first, past the head the type is looked for in
    for first_locals in (False, True):
        unwind = frame("unwind", 1, 2.0, "f", exception=exception, locals={"big": "y" * 3000})
        if first_locals:
            unwind = {"locals": unwind.pop("locals"), **unwind}
        doc = document("trc_exc", {"native_1": [frame("call", 1, 1.0, "f"), unwind]})
        db_path = tmp_path / f"db{first_locals}.sqlite3"
        store.save_traces([("trc_exc", doc)], db_path=db_path)
        (match,) = vask.calls("f", db_path=db_path, raised=True)
        assert match.exception_type == expected


def test_an_index_is_never_written_for_documents_gone_or_stored_again(tmp_path):
    """The index is built outside the transaction that writes it: a trace deleted or
    saved again meanwhile gets no index rows (none left behind, none out of date)."""
    db_path = tmp_path / "db.sqlite3"
    store.save_traces(_documents(), db_path=db_path)
    conn = schema.connect(db_path)
    try:
        with schema.transaction(conn):
            callindex.ensure_tables(conn)
        built = callindex._build(conn, "trc_point")
        again = document("trc_point", {"native_2": [frame("call", 9, 106.0, "hook")]})
        store.save_traces([("trc_point", again)], db_path=db_path)
        with schema.transaction(conn):
            assert callindex._write(conn, "trc_point", built) == 0
        built = callindex._build(conn, "trc_sub")
        maintain.delete_traces(db_path, ["trc_sub"])
        with schema.transaction(conn):
            assert callindex._write(conn, "trc_sub", built) == 0
        assert callindex.pending_traces(conn) == ["trc_root", "trc_point"]
    finally:
        conn.close()
    assert _indexed_ids(db_path) == set()
    assert len(vask.calls("hook", db_path=db_path)) == 2


def test_a_subtree_indexed_before_its_root_is_stored_is_of_the_root_s_test(tmp_path):
    db_path = tmp_path / "db.sqlite3"
    sub, root, _ = _documents()
    store.save_traces([sub], db_path=db_path)
    (match,) = vask.calls("branch", db_path=db_path)
    assert match.test is None
    store.save_traces([root], db_path=db_path)
    (match,) = vask.calls("branch", db_path=db_path, outcome="failed")
    assert (match.trace_id, match.test) == ("trc_sub", "tests/test_app.py::test_main")


def test_every_name_is_searched_as_the_names_one_by_one(tmp_path):
    """``*`` reads each trace's rows without the summary (and with ``slowest``, the
    summary from its longest rows down, stopping early): it must find what the
    summary of each name finds, in the same order, with the filters too."""
    db_path = tmp_path / "db.sqlite3"
    docs = list(_documents())
    for t in range(6):
        records = []
        for n in range(1, 25):
            start = 100.0 + n
            # durations spread across names and traces, some of them equal
            took = ((n * 7 + t * 13) % 17) / 100
            name = ("parse", "scan", "emit")[n % 3]
            records.append(frame("call", n, start, name))
            if n % 5 == t % 5:
                records.append(frame("unwind", n, start + took, name, exception="KeyError(1)"))
            else:
                records.append(frame("return", n, start + took, name, arg=n))
        outcome = "failed" if t % 2 else "passed"
        records.append(plugin("end_test", 130.0, outcome=outcome))
        docs.append(
            (f"trc_{t}", document(f"trc_{t}", {"native_1": records}, name=f"t.py::test_{t}"))
        )
    store.save_traces(docs, db_path=db_path)
    queries = [{}, {"outcome": "failed"}, {"test": "t.py::test_3"}, {"trace": "trc_root"}]
    queries += [{"raised": True}, {"raised": "KeyError", "test": "t.py::*"}, {"returned": True}]
    queries += [{"limit": 7}, {"outcome": "failed", "limit": 30}]
    for query in queries:
        among = vask.calls("*", db_path=db_path, **query)
        assert [(m.trace_id, m.ref, m.qualname, m.outcome) for m in among] == [
            (m.trace_id, m.ref, m.qualname, m.outcome)
            for m in vask.calls("app.*", db_path=db_path, **query)
        ]
        assert among
        if "limit" in query:
            continue
        for n in (1, 5, 40):
            found = vask.calls("*", db_path=db_path, slowest=n, **query)
            assert [m.duration for m in found] == sorted(
                (m.duration for m in among), reverse=True
            )[:n]
    assert len(vask.calls("*", db_path=db_path, test="t.py::*")) == 6 * 24


def test_a_match_reads_its_values_when_first_asked_for(tmp_path):
    db_path = tmp_path / "db.sqlite3"
    store.save_traces(_documents(), db_path=db_path)
    (seen,), (unseen,) = (vask.calls("item", db_path=db_path, returned=True) for _ in "ab")
    assert seen.args == {"n": 1} and seen.return_value == 2
    # the values are read from the database then: a trace deleted since has none left
    maintain.delete_traces(db_path, ["trc_root"])
    assert (unseen.args, unseen.return_value, unseen.duration) == ({}, None, seen.duration)
    assert seen.args == {"n": 1}


@pytest.fixture(scope="module")
def two_big_traces(tmp_path_factory):
    """Two compressed traces of several frames each, alike but for where the needle is:
    the same frame of each holds other bytes."""
    from tracedocs import big_document
    from vask.storage import codec

    db_path = tmp_path_factory.mktemp("frames") / "db.sqlite3"
    docs = {
        "trc_big_a": big_document("trc_big_a", 12_000, batch=500, needle_at=600),
        "trc_big_b": big_document("trc_big_b", 12_000, batch=500, needle_at=11_000),
    }
    for trace_id, doc in docs.items():
        assert len(doc) > 2 * codec.FRAME_SIZE
        store.save_traces([(trace_id, doc)], db_path=db_path)
    return db_path, docs


def _record_spans(db_path, trace_id, doc):
    """(position, end) of every call's records in a trace of one document, as indexed."""
    import msgpack

    with sqlite3.connect(db_path) as conn:
        rows = callindex.all_rows(conn, trace_id)
    spans = []
    for pos in sorted({r[k] for r in rows for k in ("open_pos", "close_pos") if r[k] >= 0}):
        unpacker = msgpack.Unpacker(raw=True)
        unpacker.feed(doc[pos : pos + (1 << 16)])
        unpacker.skip()
        spans.append((pos, pos + unpacker.tell()))
    return spans


def test_a_record_reader_decompresses_each_frame_once_within_its_budget(two_big_traces):
    """Records are read whole from where they begin (their length measured as read),
    each frame decompressed once while it fits the budget."""
    from vask.storage import codec

    db_path, docs = two_big_traces
    callsearch.ensure_index(db_path)
    size = codec.FRAME_SIZE
    spans = {t: _record_spans(db_path, t, doc) for t, doc in docs.items()}

    def first_from(trace_id, at):
        return next(span for span in spans[trace_id] if span[0] >= at)

    # back and forth between the first and the third frame of both documents
    reads = [first_from(t, at) + (t,) for _ in range(3) for t in docs for at in (100, 2 * size)]
    across = [s for s in spans["trc_big_a"] if s[0] < size < s[1]]
    reads.append(across[0] + ("trc_big_a",))  # across two frames
    for budget, decompressed in ((8 * size, 5), (size, None), (0, None)):
        conn = schema.connect_readonly(db_path, 10)
        reader = callindex.RecordReader(conn, budget)
        try:
            for at, end, trace_id in reads:
                assert reader.read(trace_id, at) == docs[trace_id][at:end]
                assert reader.frames is None or reader.frames.held <= budget
            if decompressed is not None:
                assert reader.frames.misses == decompressed
        finally:
            reader.close()
            conn.close()


@pytest.mark.parametrize("budget", [None, 1 << 20, 0])
def test_predicates_find_the_same_calls_whatever_frames_are_kept(
    two_big_traces, monkeypatch, budget
):
    db_path, _ = two_big_traces
    if budget is not None:
        monkeypatch.setattr(callindex, "FRAME_CACHE_BYTES", budget)
    needles = vask.calls("compute", db_path=db_path, returns=("~", "needle"))
    assert sorted((m.trace_id, m.args["batch"], m.args["item"]) for m in needles) == [
        ("trc_big_a", 1, "item-1-97"),
        ("trc_big_b", 21, "item-21-477"),
    ]
    picked = vask.calls("compute", db_path=db_path, args={"batch": 23}, returns=(">", 940))
    assert [(m.trace_id, m.return_value) for m in picked] == [
        (t, v) for t in ("trc_big_a", "trc_big_b") for v in (942, 944, 946, 948)
    ]


class _Shown:
    """An object stored by its fields: its type's name and field names are shown."""

    def __init__(self, text, number):
        self.text = text
        self.number = number


class _Bare:
    __slots__ = ()


_STORED = st.recursive(
    st.none()
    | st.booleans()
    | st.integers()
    | st.floats()
    | st.text()
    | st.binary(max_size=12)
    | st.builds(_Shown, st.text(max_size=8), st.integers())
    | st.builds(_Bare)
    | st.builds(object),
    lambda inner: st.lists(inner, max_size=4)
    | st.tuples(inner, inner)
    | st.dictionaries(st.text(max_size=5) | st.integers(), inner, max_size=3)
    | st.frozensets(st.integers(), max_size=3),
    max_leaves=8,
)


@settings(max_examples=400, deadline=None)
@given(value=_STORED, data=st.data())
def test_a_value_that_matches_is_stored_with_the_bytes_its_predicate_needs(value, data):
    """A record lacking a predicate's needle is passed over undecoded: every part of
    the text a value is shown as that ``~`` can look for, and every text ``==`` can
    equal, must leave its needle in the stored bytes."""
    from vask.serialize import dump_msgpack
    from vask.values import unpack_stored

    stored = dump_msgpack(value)
    shown = unpack_stored(stored)
    text = callsearch.stored_text(shown)
    if text:
        a = data.draw(st.integers(0, len(text) - 1))
        b = data.draw(st.integers(a + 1, len(text)))
        for part in (text[a:b], text):
            needle = callsearch.Predicate.of("return", None, ("~", re.escape(part))).needle
            assert needle is None or needle in stored, (part, needle)
    if isinstance(shown, str):
        needle = callsearch.Predicate.of("return", None, ("==", shown)).needle
        assert needle is None or needle in stored


@pytest.mark.parametrize(
    ("regex", "needle"),
    [
        ("zzz", b"zzz"),
        ("error: bad", b"rror"),  # "e" may end an escape (\xe); "bad" is all hex digits
        ("foo.*quux", b"quux"),
        ("needle", b"eedle"),  # "\n" shows as "\\n": the "n" may not be stored
        ("(?i)zzz", None),
        ("0x7f", None),  # an address, a number
        ("None", None),
        ("object", None),
        ("a|zzz", None),
    ],
)
def test_the_bytes_a_regular_expression_needs(regex, needle):
    assert callsearch.Predicate.parse("return", ["~", regex]).needle == needle


def test_predicates_with_and_without_needles_find_the_same_calls(tmp_path):
    """The same calls are found whether the records are searched for a predicate's
    bytes first or every one is decoded (a text in a list is shown escaped)."""
    db_path = tmp_path / "db.sqlite3"
    docs = [
        (
            f"trc_n{n}",
            document(
                f"trc_n{n}",
            {
                "native_1": [
                    frame("call", 1, 100.0 + n, "main", locals={}),
                    *[
                        record
                        for i, shown in enumerate(("plain", "has zzz", "x\x1bzzz", "zz\nzz"))
                        for record in (
                            frame("call", 10 + i, 100.1 + n, "item", locals={"s": shown}),
                            frame(
                                "return", 10 + i, 100.2 + n, "item", arg=[shown],
                                locals={"s": shown},
                            ),
                        )
                    ],
                    frame("return", 1, 104.0 + n, "main", arg=None),
                ]
            },
            ),
        )
        for n in range(3)
    ]
    store.save_traces(docs, db_path=db_path)
    for query in (
        {"returns": ("~", "zzz")},
        {"returns": ("~", "nzz")},
        {"args": {"s": ("~", "zzz")}},
        {"locals": {"s": ("==", "has zzz")}},
        {"args": {"s": ("==", "plain")}, "returns": ("~", "pla")},
    ):
        found = [(m.trace_id, m.node) for m in vask.calls("item", db_path=db_path, **query)]
        with pytest.MonkeyPatch.context() as patch:
            patch.setattr(callsearch.Predicate, "needle", None)
            every = [(m.trace_id, m.node) for m in vask.calls("item", db_path=db_path, **query)]
        assert found == every and found, query


def test_spans_lacking_a_needle_are_those_inside_the_data_without_it():
    from array import array

    import msgpack
    from vask._dump import _spans_lacking

    data = b"..zzz....zz.z"
    spans = array("q", [0, 5, 5, 8, 9, 4, 9, 5, -1, 2, 0, 0, 13, 0, 13, 1, 13, -1])
    # holds it; lacks it; lacks it (to the end); past the end; bad offset; empty;
    # empty at the end; past the end; an object measured past the end
    assert list(_spans_lacking(data, b"zzz", spans)) == [0, 1, 1, 0, 0, 1, 1, 0, 0]
    assert list(_spans_lacking(data, b"", spans)) == [0] * 9  # an empty needle: never lacking
    assert _spans_lacking(memoryview(data), b"z", array("q")) == b""
    # a length of -1: the MessagePack object at the offset, 2 when it runs past the data;
    # -2 - gap: the object gap bytes after that one's end
    packed = msgpack.packb(["zzz", 1]) + msgpack.packb({"a": "b" * 40}) + b"\xc1"
    second = len(msgpack.packb(["zzz", 1]))
    objects = array("q", [0, -1, second, -1, len(packed) - 1, -1, len(packed), -1, 0, -2])
    assert list(_spans_lacking(packed, b"zzz", objects)) == [0, 1, 0, 0, 1]
    assert list(_spans_lacking(packed[:-5], b"zzz", objects[:4])) == [0, 2]
    after = array("q", [0, -2, 0, -2 - len(packed), second, -2])
    # the map after the list; past the end; after the map: malformed
    assert list(_spans_lacking(packed, b"zzz", after)) == [1, 2, 0]
    assert list(_spans_lacking(packed[:-6], b"zzz", array("q", [0, -2]))) == [2]
    with pytest.raises(ValueError, match="pairs"):
        _spans_lacking(data, b"z", array("q", [0]))


def test_an_index_of_the_version_before_is_built_again_on_either_backend(database, tmp_path):
    """An index left by the version before (its tables as they were, rows in them) is
    emptied and built again by the first query: of SQLite, its tables dropped and made
    again; of PostgreSQL, the component's last step applied."""
    reference = tmp_path / "reference.sqlite3"
    for db in (database, reference):
        store.save_traces(_documents(), db_path=db)
    conn = schema.connect(database)
    try:
        if backend.is_postgres(conn):
            # the tables as the steps before the last one left them, and a row of the old layout
            schema.ensure_pg_tables(conn, callindex.PG_COMPONENT, callindex._PG_MIGRATIONS[:-1])
            with transaction(conn):
                conn.execute(
                    "INSERT INTO call_traces (trace_id, last_row, threads, exc_types, calls)"
                    " VALUES ('trc_root', 1, '[]', '[]', 1)"
                )
                conn.execute(
                    "INSERT INTO call_summary (name, trace, calls, raised, longest, first_row)"
                    " VALUES (1, 1, 1, 0, 500000000, 0)"
                )
                conn.execute(
                    "INSERT INTO call_blocks (trace, block, rows, data) VALUES (1, 0, 1, ?)",
                    (b"not a block of this layout",),
                )
        else:
            with transaction(conn):
                callindex.ensure_tables(conn)
                conn.execute(
                    "UPDATE call_index_version SET version = ?", (callindex.INDEX_VERSION - 1,)
                )
                conn.execute(
                    "INSERT INTO call_traces (trace_id, last_row, threads, exc_types, calls)"
                    " VALUES ('trc_root', 1, '[]', '[]', 1)"
                )
        assert not callindex.has_index(conn)
    finally:
        conn.close()
    for pattern, query in _QUERIES:
        assert _found(database, pattern, **query) == _found(reference, pattern, **query)
    assert _index_of(database) == {"trc_root", "trc_sub", "trc_point"}


def _calls_document(trace_id, names, rows_each):
    """A trace whose thread calls each of ``names`` ``rows_each`` times, one after another,
    at times a tick of the index apart, each call returning its number."""
    records = []
    n = 0
    clock = 1_700_000_000.0
    tick = callindex._FINEST_TICK
    for round_ in range(rows_each):
        for name in names:
            n += 1
            records.append(frame("call", n, clock, name, locals={"i": round_}))
            clock += (n % 5 + 1) * tick
            records.append(frame("return", n, clock, name, arg=n))
            clock += tick
    return document(trace_id, {"native_1": records})


@pytest.mark.parametrize("block_rows", [1, 3, 1024])
def test_a_name_query_reads_only_the_blocks_of_its_rows(tmp_path, monkeypatch, block_rows):
    """A name's rows are found from the summary: the blocks read are the ones its rows lie
    in (a name's rows across several blocks, blocks of one row), and the calls, their
    times and their values are those recorded, exact to the tick."""
    monkeypatch.setattr(callindex, "BLOCK_ROWS", block_rows)
    db_path = tmp_path / "db.sqlite3"
    names = ("alpha", "beta", "gamma", "delta")
    store.save_traces(
        [
            ("trc_a", _calls_document("trc_a", names, 7)),
            ("trc_empty", document("trc_empty", {"native_1": []})),
        ],
        db_path=db_path,
    )
    callsearch.ensure_index(db_path)
    read = []
    real = callindex._decompressor

    class Counting:
        def decompress(self, data):
            read.append(data)
            return real().decompress(data)

    monkeypatch.setattr(callindex, "_decompressor", Counting)
    with sqlite3.connect(db_path) as conn:
        summary = {
            qualname.rpartition(".")[2]: first
            for qualname, first in conn.execute(
                "SELECT n.qualname, s.first_row FROM call_summary s JOIN call_names n"
                " ON n.id = s.name"
            )
        }
        empty = conn.execute("SELECT calls FROM call_traces WHERE trace_id = 'trc_empty'")
        assert empty.fetchone() == (0,)
    for name in names:
        read.clear()
        found = list(callsearch.find_calls(db_path, name, build=False))
        assert [m.return_value for m in found] == [names.index(name) + 1 + 4 * r for r in range(7)]
        assert [m.args for m in found] == [{"i": r} for r in range(7)]
        first = summary[name]
        assert len(read) == (first + 6) // block_rows - first // block_rows + 1
        # times since 1970 are kept to the tick: each duration a whole number of them
        for m in found:
            assert m.duration / callindex._FINEST_TICK == (m.return_value % 5 + 1)
    # every name, trace by trace, in the order the calls began
    everything = list(callsearch.find_calls(db_path, "*", build=False))
    assert [m.return_value for m in everything] == list(range(1, 29))
    assert [m.duration for m in callsearch.find_calls(db_path, "*", slowest=3)] == [
        5 * callindex._FINEST_TICK
    ] * 3


def test_times_are_kept_to_the_tick_and_calls_of_one_tick_keep_their_order(tmp_path):
    """Durations are whole ticks of about a microsecond and starts whole steps of
    START_TICKS ticks, to the nearest one: calls that began within one step come in
    the order they were made, and a call shorter than half a tick lasted 0."""
    tick = callindex._FINEST_TICK
    clock = 1_700_000_000.0
    records = []
    lasted = (0.25, 0.25, 1.75, 0.0, 3.25)  # quarters: doubles since 1970 are spaced so
    for n, took in enumerate(lasted, 1):
        records.append(frame("call", n, clock, "step", locals={"n": n}))
        clock += took * tick
        records.append(frame("return", n, clock, "step", arg=n))
        clock += 0.25 * tick
    db_path = tmp_path / "db.sqlite3"
    store.save_traces([("trc_t", document("trc_t", {"native_1": records}))], db_path=db_path)
    found = list(callsearch.find_calls(db_path, "step"))
    assert [m.return_value for m in found] == [1, 2, 3, 4, 5]
    assert [m.duration / tick for m in found] == [round(t) for t in lasted]
    began = [r["timestamp"] for r in records if r["event"] == "call"]
    step = tick * callindex.START_TICKS
    assert all(abs(m.start - t) <= step / 2 for m, t in zip(found, began, strict=True))
    assert len({m.start for m in found}) < len(found)  # some began within one step
    slowest = callsearch.find_calls(db_path, "step", slowest=2)
    assert [m.return_value for m in slowest] == [5, 3]
