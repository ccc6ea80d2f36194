"""The trace index: the same call trees as the decoded records give, read from the bytes alone."""

from __future__ import annotations

import sqlite3
from pathlib import Path

import msgpack
import pytest
from tracedocs import assignment, big_document, document, frame, marker, plugin

from vask import db, render
from vask.calltree import build_call_tree
from vask.document import merge_documents
from vask.traceindex import BytesSource, IndexNode, build_index
from vask.viewer import queries
from vask.values import EXT_REPR, ObjectRepr, StoredSet
from vask.viewer.values import to_json

TRACE = "trc_01TESTTESTTESTTESTTESTTEST"


def lines(root) -> list[str]:
    return list(render.render_tree(root, style=render.Style(), width=30))


def same_as_decoded(*documents: bytes) -> None:
    """The index renders exactly as the records decoded in full do, thread by thread."""
    trace = merge_documents(TRACE, documents)
    index = build_index(TRACE, documents)
    assert [t.key for t in index.ordered_threads()] == [t.key for t in trace.ordered_threads()]
    for thread in trace.ordered_threads():
        tree = build_call_tree(thread.records)
        mine = index.threads[thread.key]
        assert lines(IndexNode(mine, 0)) == lines(tree)
        assert mine.calls == tree.calls_below


# Every kind of record the engines write: the six frame events, a generator
# resumed twice, a call that raised, one that began before tracing, plugin
# records, an assignment and a flushed-subtree marker.
ALL_EVENTS = [
    frame("return", 90, 99.0, "outer_before"),  # began before tracing: adopts nothing yet
    frame("call", 1, 100.0, "main", locals={"argv": ["a"]}),
    plugin("start_test", 100.05, test_name="test_x"),
    frame("call", 2, 100.1, "gen", locals={"n": 3}, line=10),
    frame("yield", 2, 100.2, "gen", arg=1, line=12),
    frame("call", 3, 100.3, "work", locals={"x": 1}),
    {
        "path": "app.py:31",
        "co_name": "work",
        "qualname": "app.work",
        "event": "line",
        "frame_id": "frm_00000000000000000000000003",
        "timestamp": 100.31,
        "type": "frame",
        "assign": msgpack.ExtType(6, msgpack.packb(["y", [1, 2]])),
    },
    frame("unwind", 3, 100.4, "work", exception="ValueError('bad x')"),
    frame("resume", 4, 100.5, "gen", line=12),
    frame("yield", 4, 100.6, "gen", arg=2, line=12),
    frame("throw", 5, 100.7, "gen", exception="GeneratorExit()", line=12),
    frame("return", 5, 100.8, "gen", arg=None, line=13),
    marker("trc_01FLUSHEDFLUSHEDFLUSHED00", 100.85, "work"),
    plugin("end_test", 100.9, outcome="passed"),
    frame("return", 1, 101.0, "main", arg=0, locals={"argv": ["a"], "done": True}),
]


def test_index_trees_equal_decoded_trees_for_every_event_kind() -> None:
    doc = document(TRACE, {"native_1": ALL_EVENTS, "native_2": [frame("call", 50, 100.2, "spin")]})
    same_as_decoded(doc)
    # Calls are what the stored trace counts: main, gen, work and the one that
    # began before tracing; the resumed and thrown-into parts of gen are not calls.
    assert build_index(TRACE, [doc]).threads["native_1"].calls == 4


def test_index_joins_documents_and_adopts_calls_begun_before_tracing() -> None:
    first = document(
        TRACE,
        {
            "native_1": [
                frame("call", 1, 100.0, "a"),
                frame("return", 1, 100.1, "a"),
                frame("call", 2, 100.2, "b"),
            ]
        },
    )
    # "b" returns in the second document; "outer" returned without a recorded call
    second = document(
        TRACE, {"native_1": [frame("return", 2, 100.3, "b"), frame("return", 9, 100.4, "outer")]}
    )
    same_as_decoded(first, second)
    index = build_index(TRACE, [first, second])
    thread = index.threads["native_1"]
    (outer,) = thread.iter_children(0)
    assert [thread.node_name(c).label for c in thread.iter_children(outer)] == ["a", "b"]
    assert thread.calls == 3


def test_assignments_show_under_the_call_that_made_them_in_order() -> None:
    records = [
        assignment(None, 99.0, "before", 0, "outer"),  # in a call begun before tracing
        frame("call", 1, 100.0, "a"),
        assignment(1, 100.1, "x", 1, "a"),
        frame("call", 2, 100.2, "b"),
        assignment(2, 100.3, "y", [1, 2], "b"),
        frame("return", 2, 100.4, "b"),
        assignment(1, 100.5, "z", "done", "a"),
        frame("return", 1, 100.6, "a"),
        frame("return", 9, 100.7, "outer"),
        assignment(None, 100.8, "after", None, "<module>"),  # at the top level
    ]
    doc = document(TRACE, {"native_1": records})
    same_as_decoded(doc)
    root = IndexNode(build_index(TRACE, [doc]).threads["native_1"], 0)
    shown = [line.split("  →")[0] for line in lines(root)]
    assert shown == [
        "outer(…)",
        "  before = 0",
        "  a()",
        "    x = 1",
        "    b()",
        "      y = [1, 2]",
        "    z = 'done'",
        "after = None",
    ]
    deep = list(render.render_tree(root, style=render.Style(), max_depth=3))
    assert "    x = 1" in deep and not any("y = " in line for line in deep)
    found = list(render.render_tree(root, style=render.Style(), grep="y ="))
    assert [line.split("  →")[0] for line in found] == [
        "outer(…)",
        "  a()",
        "    b()",
        "      y = [1, 2]",
    ]


def test_index_of_records_in_another_key_order_and_mismatched_returns() -> None:
    # Records not in the engines' key order go the slow way and give the same tree.
    shuffled = [dict(reversed(list(frame("call", 1, 100.0, "f").items())))]
    shuffled.append(frame("call", 2, 100.1, "g"))
    shuffled.append(frame("return", 1, 100.3, "f"))  # closes f: g never returned
    doc = document(TRACE, {"native_1": shuffled})
    same_as_decoded(doc)


def test_generator_parts_are_linked_to_their_first_part() -> None:
    index = build_index(TRACE, [document(TRACE, {"native_1": ALL_EVENTS})])
    thread = index.threads["native_1"]
    gens = [
        n
        for n in range(1, thread.nodes)
        if (thread.node_name(n) or None) and thread.node_name(n).label == "gen"
    ]
    first, *parts = gens
    assert thread.resumes[first] == parts
    assert all(thread.resume_of[p] == first for p in parts)
    page = queries.children(index, thread, first, 0, 10, group="resumes")
    assert [item["event"] for item in page["items"]] == ["resume", "throw"]
    assert [item["status"] for item in page["items"]] == ["yield", "return"]
    assert queries.row(index, thread, first)["resumes"] == 2


def test_details_show_values_assignments_plugins_and_call_site() -> None:
    records = [
        frame("call", 1, 100.0, "main"),
        plugin("start_test", 100.01, test_name="test_x", subtype="pytest"),
        frame("call", 2, 100.1, "work", locals={"x": 1}, site=(1, 7)),
        {
            "path": "app.py:31",
            "co_name": "work",
            "qualname": "app.work",
            "event": "line",
            "frame_id": "frm_00000000000000000000000002",
            "timestamp": 100.11,
            "type": "frame",
            "assign": msgpack.ExtType(6, msgpack.packb(["y", [1, 2]])),
        },
        frame(
            "unwind",
            2,
            100.2,
            "work",
            exception=msgpack.ExtType(EXT_REPR, b"ValueError('bad x')"),
            locals={"x": 1, "y": [1, 2]},
        ),
        plugin("end_test", 100.3, outcome="failed"),
        frame("return", 1, 100.4, "main", arg=0),
    ]
    index = build_index(TRACE, [document(TRACE, {"native_1": records})])
    thread = index.threads["native_1"]
    work = next(
        n
        for n in range(1, thread.nodes)
        if thread.node_name(n) and thread.node_name(n).label == "work"
    )
    d = queries.details(index, thread, work)
    assert d["locals_call"] == {"t": "dict", "v": [["x", 1]]}
    assert d["exception"] == {"t": "repr", "v": "ValueError('bad x')"}
    assert d["locals_return"]["v"][1] == ["y", {"t": "list", "v": [1, 2]}]
    assert d["call_site"] == {"line": 7, "frame_id": "frm_00000000000000000000000001", "caller": 1}
    assert [a["value"] for a in d["assignments"]] == [
        {"t": "assign", "name": "y", "v": {"t": "list", "v": [1, 2]}}
    ]
    assert [(p["where"], p["type"]) for p in d["plugins"]] == [
        ("before", "start_test"),
        ("after", "end_test"),
    ]
    assert [p["node"] for p in d["path_to"]] == [1, work]
    assert queries.row(index, thread, work)["status"] == "unwind"


def test_documents_from_before_marked_values_read_their_reprs_as_reprs() -> None:
    records = [
        frame("call", 1, 100.0, "f", locals={"item": "Item(sku='A1')", "sku": "A1"}),
        frame("return", 1, 100.1, "f", arg="<Foo object at 0x1>"),
    ]
    for version, expected in (
        ("0.1.0", {"t": "repr", "v": "<Foo object at 0x1>"}),
        ("0.2.0", "<Foo object at 0x1>"),
    ):
        index = build_index(TRACE, [document(TRACE, {"native_1": records}, version=version)])
        thread = index.threads["native_1"]
        d = queries.details(index, thread, 1)
        assert d["returned"] == expected, version
        legacy = version == "0.1.0"
        item = {"t": "repr", "v": "Item(sku='A1')"} if legacy else "Item(sku='A1')"
        assert d["locals_call"] == {"t": "dict", "v": [["item", item], ["sku", "A1"]]}


def test_values_become_tagged_json() -> None:
    value = {
        "a": ObjectRepr("<Foo object at 0x1>"),
        "b": "<looks like a repr, is text>",
        "c": 2**70,
        "d": float("nan"),
        "e": (1, "x"),
        "f": StoredSet((1,), frozen=True),
    }
    assert to_json(value) == {
        "t": "dict",
        "v": [
            ["a", {"t": "repr", "v": "<Foo object at 0x1>"}],
            ["b", "<looks like a repr, is text>"],
            ["c", {"t": "num", "v": str(2**70)}],
            ["d", {"t": "num", "v": "nan"}],
            ["e", {"t": "tuple", "v": [1, "x"]}],
            ["f", {"t": "frozenset", "v": [1]}],
        ],
    }
    assert to_json(msgpack.ExtType(42, msgpack.packb("x"))) == {"t": "ext", "code": 42, "v": "x"}
    assert to_json(msgpack.ExtType(7, b"\xc1")) == {
        "t": "ext",
        "code": 7,
        "v": {"t": "bytes", "v": "b'\\xc1'"},
    }
    assert to_json(b"\x00") == {"t": "bytes", "v": "b'\\x00'"}


def test_module_and_class_bodies_are_labelled_not_called() -> None:
    records = [
        frame(
            "call",
            1,
            100.0,
            "<module>",
            module="shop.main",
            locals={"__name__": "shop.main", "os": "<module 'os'>"},
        ),
        frame("call", 2, 100.1, "Item", module="shop.main", locals={}),
        frame(
            "return",
            2,
            100.2,
            "Item",
            module="shop.main",
            locals={"__module__": "shop.main", "__qualname__": "Item"},
        ),
        frame("return", 1, 100.3, "<module>", module="shop.main", locals={"__name__": "shop.main"}),
    ]
    index = build_index(TRACE, [document(TRACE, {"native_1": records})])
    shown = list(
        render.render_tree(
            IndexNode(index.threads["native_1"], 0), style=render.Style(), show_locals=True
        )
    )
    assert shown[0].startswith("module shop.main  → None")
    assert shown[1].startswith("  class body Item  → None")
    assert "__name__" not in "\n".join(shown) and "locals at" not in "\n".join(shown)
    assert [n.label for n in index.names] == ["module shop.main", "class body Item"]


def test_damaged_documents_are_left_out_and_named() -> None:
    whole = document(TRACE, {"native_1": [frame("call", 1, 100.0), frame("return", 1, 100.1)]})
    index = build_index(TRACE, [whole[:-7], b"", whole])
    assert [n for n, _ in index.damaged] == [1, 2]
    assert "truncated" in index.damaged[0][1]
    assert index.calls == 1 and index.documents == 3


def test_timeline_merges_calls_narrower_than_a_pixel() -> None:
    index = build_index(TRACE, [big_document(TRACE, 5_000, batch=1000)])
    thread = index.threads["native_1"]
    t0 = queries.time_origin(index)
    _, hi = thread.time_span()
    wide = queries.timeline(index, thread, 0, hi - t0, 200)
    merged = [b for b in wide["bars"] if b[5]]
    assert merged and sum(b[5] for b in merged) <= 5_000
    assert len(wide["bars"]) < 1_000  # bounded by the pixels, not by the calls
    assert {wide["names"][str(b[4])] for b in wide["bars"] if not b[5]} >= {"main", "process_batch"}
    narrow = queries.timeline(
        index, thread, 0.001, 0.001 + 20e-6, 400
    )  # 20 µs: a few calls, each wide
    assert narrow["bars"] and not any(b[5] for b in narrow["bars"] if b[1] == 2)


def test_search_by_name_and_by_value_with_next_match() -> None:
    index = build_index(TRACE, [big_document(TRACE, 3_000, batch=500, needle_at=2_222)])
    first = queries.search_name(index, "compute", None, 0)["match"]
    second = queries.search_name(index, "compute", first["thread"], first["node"])["match"]
    assert first["label"] == second["label"] == "compute" and second["node"] > first["node"]
    found = queries.search_value(index, "NEEDLE-in", 0)
    thread = index.threads["native_1"]
    hit = found["match"]
    assert queries.details(index, thread, hit["node"])["returned"] == "needle-in-the-haystack"
    assert queries.search_value(index, "needle-in", found["cursor"])["done"] is True
    assert queries.search_value(index, "item-3-17", 0)["match"] is not None
    assert queries.search_name(index, "no-such-function", None, 0) == {"match": None, "done": True}


def test_index_read_from_the_database_part_by_part(tmp_path: Path) -> None:
    path = tmp_path / "db.sqlite3"
    doc = document(TRACE, {"native_1": ALL_EVENTS})
    db.save_trace(TRACE, msgpack_data=doc, db_path=path)
    conn = db.open_reader(path)
    ((row, size),) = db.document_rows(conn, TRACE)

    class Source:
        def __init__(self) -> None:
            self.size = size

        def read(self, offset: int, n: int) -> bytes:
            return db.read_document_part(conn, row, offset, n)

    from_db = build_index(TRACE, [Source()])
    in_memory = build_index(TRACE, [BytesSource(doc)])
    for key, thread in in_memory.threads.items():
        assert lines(IndexNode(from_db.threads[key], 0)) == lines(IndexNode(thread, 0))
    conn.close()
    with pytest.raises(sqlite3.ProgrammingError):
        conn.execute("SELECT 1")


def test_each_record_maps_back_to_its_node() -> None:
    index = build_index(TRACE, [document(TRACE, {"native_1": ALL_EVENTS})])
    thread = index.threads["native_1"]
    for node in range(1, thread.nodes):
        made = thread.open_rec[node]
        if made >= 0:
            assert thread.node_at_record(made) == node
        if thread.close_rec[node] >= 0:
            assert thread.node_at_record(thread.close_rec[node]) == node
    (assign,) = [r for r in range(len(thread.rec_kind)) if thread.rec_kind[r] == 8]
    work = thread.node_at_record(assign)
    assert thread.node_name(work).label == "work"
    assert list(thread.own_records(work)) == [assign]
