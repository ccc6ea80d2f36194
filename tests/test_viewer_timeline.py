"""The flame chart's timeline against a brute-force answer worked out from the generated calls.

Each trace is generated as a tree of calls with known times (long calls,
runs of calls far narrower than a pixel, deep recursion, fold records,
subtrees flushed into traces of their own), written as documents, indexed,
and asked for windows at several zooms.  The brute force walks the known
tree child by child; the timeline answers by bisection over the index.
"""

from __future__ import annotations

import math
import random
from dataclasses import dataclass, field
from typing import Any

import pytest
from tracedocs import document, flushed_big_documents, frame, marker, plugin
from vask.traceindex import build_index
from vask.viewer import queries
from vask.viewer.timeline import STITCH_PIXELS

MAIN = "trc_01TIMELINEMAINTIMELINEMAIN"
T0 = 1_000.0


@dataclass
class Call:
    name: str
    s: float
    e: float
    children: list[Call] = field(default_factory=list)
    kind: str = "call"  # "call", "flushed" (children: the subtree's top level), "folded"
    count: int = 0  # a fold's count
    target: str = ""  # a flushed subtree's trace

    def size(self) -> int:
        """Nodes of the index this stands for (a flushed subtree: its marker only)."""
        if self.kind != "call":
            return 1
        return 1 + sum(c.size() for c in self.children)


class Gen:
    """Calls and their records, numbered as they are made."""

    def __init__(self) -> None:
        self.n = 0
        self.subtrees: dict[str, list[dict[str, Any]]] = {}

    def records(self, calls: list[Call], parent_end: float = 0.0) -> list[dict[str, Any]]:
        out: list[dict[str, Any]] = []
        for call in calls:
            if call.kind == "folded":
                out.append(
                    plugin(
                        "folded",
                        parent_end - 1e-6,
                        co_name=call.name,
                        qualname=f"app.{call.name}",
                        path="app.py:1",
                        event="call",
                        count=call.count,
                        total_duration=0.5 * (call.e - call.s),
                        min_duration=1e-7,
                        max_duration=0.0,
                        first_timestamp=call.s,
                        last_timestamp=call.e,
                    )
                )
                continue
            if call.kind == "flushed":
                self.subtrees[call.target] = self.records(call.children)
                out.append(marker(call.target, call.e + 5.0, call.name, 10))
                continue
            self.n += 1
            n = self.n
            out.append(frame("call", n, call.s, call.name))
            out.extend(self.records(call.children, call.e))
            out.append(frame("return", n, call.e, call.name))
        return out


def tiny_run(name: str, start: float, count: int, step: float) -> list[Call]:
    return [Call(name, start + i * step, start + i * step + step * 0.6) for i in range(count)]


def recursion(start: float, depth: int, step: float) -> Call:
    top = Call("rec", start, start + 2 * depth * step)
    call = top
    for d in range(1, depth):
        inner = Call("rec", start + d * step, start + (2 * depth - d) * step)
        call.children.append(inner)
        call = inner
    call.children.extend(tiny_run("leaf", call.s + step * 0.1, 20, step * 0.04))
    return top


def generated() -> tuple[Call, dict[str, bytes]]:
    """main (100 s): imports, a long call of tiny ones, recursion, folds, flushed subtrees."""
    rng = random.Random(26)
    main = Call("main", T0, T0 + 100.0)
    main.children.append(Call("import_stuff", T0 + 0.001, T0 + 0.049))
    main.children.extend(tiny_run("early", T0 + 0.05, 50, 0.0005))
    long = Call("long_work", T0 + 0.1, T0 + 60.0)
    t = long.s + 0.001
    while t < long.e - 1.0:
        burst = rng.randint(1, 400)
        long.children.extend(tiny_run("tiny", t, burst, 1e-5))
        t += burst * 1e-5 + rng.choice((1e-4, 0.01, 0.3))
        if rng.random() < 0.05:
            mid = Call("mid", t, t + rng.uniform(0.05, 0.8))
            mid.children.extend(tiny_run("inner", mid.s + 1e-4, 30, 1e-4))
            long.children.append(mid)
            t = mid.e + 1e-3
    long.children.append(Call("wide_after_tiny", long.children[-1].e + 1e-6, long.e - 0.01))
    long.children.append(Call("fold_me", long.s + 2.0, long.s + 40.0, kind="folded", count=123_456))
    main.children.append(long)
    main.children.append(recursion(T0 + 61.0, 300, 0.01))
    # a subtree flushed apart, itself holding another
    inner_sub = Call("deep_sub", T0 + 81.0, T0 + 83.0, tiny_run("deeper", T0 + 81.1, 40, 0.01))
    sub_top = Call("sub_work", T0 + 70.5, T0 + 84.0, tiny_run("sub_tiny", T0 + 70.6, 500, 0.001))
    sub_top.children.append(Call("sub_mid", T0 + 71.5, T0 + 80.0))
    sub_top.children.append(
        Call("inner flushed", T0 + 80.5, T0 + 83.5, [inner_sub], kind="flushed", target="trc_sub2")
    )
    main.children.append(
        Call("work", T0 + 70.0, T0 + 85.0, [sub_top], "flushed", target="trc_sub1")
    )
    main.children.append(Call("finish", T0 + 90.0, T0 + 99.0, tiny_run("last", T0 + 90, 9, 1.0)))
    gen = Gen()
    records = gen.records([main])
    docs = {MAIN: document(MAIN, {"native_1": records}, timestamp=T0)}
    for target, recs in gen.subtrees.items():
        docs[target] = document(target, {"native_1": recs}, root=MAIN, timestamp=T0)
    return main, docs


# -- the brute force -----------------------------------------------------------


def _span(call: Call) -> tuple[float, float]:
    """A stitched subtree's span: from its first top-level call's start to their last end."""
    calls = [c for c in call.children if c.kind == "call"]
    return calls[0].s, max(c.e for c in calls)


def expected(root: Call, lo: float, hi: float, width: int) -> list[tuple[Any, ...]]:
    """(depth, start, end, label, merged) of every bar, level by level."""
    pixel = (hi - lo) / width
    bars: list[tuple[Any, ...]] = []
    level: list[tuple[Call, tuple[float, float]]] = [(Call("root", lo, hi, [root]), (lo, hi))]
    depth = 0
    while level:
        nxt: list[tuple[Call, tuple[float, float]]] = []
        for parent, pspan in level:
            _children(parent.children, pspan, depth, lo, hi, pixel, bars, nxt)
        level = nxt
        depth += 1
    return bars


def _children(kids, pspan, depth, lo, hi, pixel, bars, nxt) -> None:
    def span(i: int) -> tuple[float, float]:
        c = kids[i]
        if c.kind != "flushed":
            return (c.s, c.e) if c.kind == "call" else (pspan[1] - 1e-6, pspan[1] - 1e-6)
        # the marker is timed 5 s after the subtree's placeholder end
        gap_lo = pspan[0]
        if i > 0:
            gap_lo = kids[i - 1].e + (5.0 if kids[i - 1].kind == "flushed" else 0.0)
        gap_hi = kids[i + 1].s if i + 1 < len(kids) and kids[i + 1].kind == "call" else pspan[1]
        gap_hi = max(min(gap_hi, c.e + 5.0), gap_lo)
        if gap_hi - gap_lo >= STITCH_PIXELS * pixel and gap_hi >= lo and gap_lo <= hi:
            return _span(c)
        return gap_lo, gap_hi

    i = 0
    while i < len(kids):
        c = kids[i]
        if c.kind == "folded":
            i += 1
            continue
        s, e = span(i)
        if s > hi:
            break
        if e < lo:
            i += 1
            continue
        if e - s >= pixel:
            if c.kind == "flushed":
                _children(c.children, (s, e), depth, lo, hi, pixel, bars, nxt)
            else:
                bars.append((depth, s, e, c.name, 0))
                if c.children:
                    nxt.append((c, (s, e)))
            i += 1
            continue
        boundary = lo + (math.floor((s - lo) / pixel) + 1) * pixel
        j = i
        while j + 1 < len(kids):
            ns, ne = span(j + 1)
            if ns >= boundary or (ne - ns >= pixel and kids[j + 1].kind != "folded"):
                break
            j += 1
        bars.append((depth, s, max(span(j)[1], s), "", sum(k.size() for k in kids[i : j + 1])))
        i = j + 1
    for c in kids:
        if c.kind == "folded" and c.e >= lo and c.s <= hi:
            bars.append((depth, c.s, c.e, f"folded {c.count}", 0))


def answered(index, docs, lo: float, hi: float, width: int) -> list[tuple[Any, ...]]:
    subs = {tid: build_index(tid, [doc]) for tid, doc in docs.items() if tid != MAIN}
    answer = queries.timeline(
        index, index.threads["native_1"], lo - T0, hi - T0, width, lambda t: (subs.get(t), False)
    )
    assert answer["complete"]
    out = []
    for node, depth, s, e, name, merged, *extra in answer["bars"]:
        label = answer["names"].get(str(name), "") if name >= 0 else ""
        if extra and "folded" in extra[0]:
            label = f"folded {extra[0]['folded']}"
        assert not extra or "flushed" not in extra[0], extra
        out.append((depth, s + T0, e + T0, label, merged))
    return out


def _rounded(bars: list[tuple[Any, ...]]) -> list[tuple[Any, ...]]:
    return sorted((d, round(s, 7), round(e, 7), label, m) for d, s, e, label, m in bars)


@pytest.fixture(scope="module")
def trace():
    root, docs = generated()
    return root, docs, build_index(MAIN, [docs[MAIN]])


@pytest.mark.parametrize(
    ("lo", "hi", "width"),
    [
        (T0 - 1, T0 + 101, 1000),  # the whole run
        (T0, T0 + 160, 300),  # wider than the run, few pixels
        (T0 + 0.05, T0 + 0.08, 800),  # the early run of narrow calls
        (T0 + 5.0, T0 + 5.5, 1200),  # inside the long call: bursts of tiny calls
        (T0 + 61.0, T0 + 67.0, 500),  # the deep recursion
        (T0 + 66.5, T0 + 68.0, 2000),
        (T0 + 70.0, T0 + 86.0, 700),  # the flushed subtrees, stitched
        (T0 + 80.9, T0 + 81.6, 900),  # inside the subtree's subtree
        (T0 + 59.9, T0 + 61.05, 333),  # across the end of one call and the start of another
    ],
)
def test_timeline_matches_brute_force(trace, lo: float, hi: float, width: int) -> None:
    root, docs, index = trace
    got = _rounded(answered(index, docs, lo, hi, width))
    want = _rounded(expected(root, lo, hi, width))
    assert got == want


def test_whole_run_shows_the_long_calls_and_a_bounded_number_of_bars(trace) -> None:
    _, docs, index = trace
    bars = answered(index, docs, T0 - 1, T0 + 101, 1000)
    labels = {b[3] for b in bars if b[0] <= 1}
    assert {"main", "long_work", "finish", "rec", "sub_work"} <= labels
    assert len(bars) < 8 * 1000
    # zooming in keeps each call of at least a pixel, and the count of merged nodes adds up
    narrow = answered(index, docs, T0 + 5.0, T0 + 5.5, 1200)
    assert any(b[3] == "long_work" for b in narrow)


def test_unloaded_subtrees_are_placeholders_and_are_asked_for(trace) -> None:
    _, _, index = trace
    asked: list[str] = []

    def loading(target: str):
        asked.append(target)
        return None, True

    answer = queries.timeline(index, index.threads["native_1"], 69.0, 86.0, 800, loading)
    flushed = [b for b in answer["bars"] if len(b) > 6 and "flushed" in b[6]]
    assert asked == ["trc_sub1"] and answer["loading"] == ["trc_sub1"]
    assert [b[6]["flushed"] for b in flushed] == ["trc_sub1"] and flushed[0][6]["loading"]
    assert not answer["complete"]
    # without a way to load subtrees, the marker is a placeholder, not loading
    plain = queries.timeline(index, index.threads["native_1"], 69.0, 86.0, 800)
    assert [b[6]["loading"] for b in plain["bars"] if len(b) > 6 and "flushed" in b[6]] == [False]


def test_the_cap_keeps_whole_levels_from_the_top(trace) -> None:
    index = trace[2]
    full = queries.timeline(index, index.threads["native_1"], 0.0, 60.0, 2000)
    capped = queries.timeline(index, index.threads["native_1"], 0.0, 60.0, 2000, cap=50)
    assert not capped["complete"] and capped["bars"]
    depth = capped["depth"]
    assert all(b[1] < depth for b in capped["bars"])
    assert sorted(map(str, capped["bars"])) == sorted(str(b) for b in full["bars"] if b[1] < depth)


def test_a_million_tiny_calls_under_one_long_call() -> None:
    trace_id = "trc_01MILLIONMILLIONMILLIONMI"
    docs = flushed_big_documents(trace_id, 4, 250_000, set(), start=T0)
    index = build_index(trace_id, [docs[trace_id]])
    thread = index.threads["native_1"]
    assert index.calls == 1_000_005
    _, last = thread.time_span()
    span = last - T0 + 1e-3
    whole = queries.timeline(index, thread, 0, span, 1500)
    names = whole["names"]
    assert [names[str(b[4])] for b in whole["bars"] if b[1] == 0] == ["main"]
    batches = [b for b in whole["bars"] if b[1] == 1]
    assert [names[str(b[4])] for b in batches] == ["process_batch"] * 4
    merged = [b for b in whole["bars"] if b[1] == 2]
    assert all(b[5] for b in merged) and sum(b[5] for b in merged) == 1_000_000
    # one merged bar per parent and pixel
    pixel = span / 1500
    assert len(merged) <= 1500 + 4
    cells = {(b[2] // pixel, sum(b[2] >= p[2] for p in batches)) for b in merged}
    assert len(cells) >= len(merged) - 8
    # zoomed to 30 µs: every call on its own
    mid = thread.start[500_100] - T0
    close = queries.timeline(index, thread, mid, mid + 30e-6, 1000)
    assert not any(b[5] for b in close["bars"])
    assert [names.get(str(b[4])) for b in close["bars"] if b[1] < 2] == ["main", "process_batch"]
    assert 20 <= sum(b[1] == 2 for b in close["bars"]) <= 31


def test_calls_begun_before_tracing_and_never_ended_are_drawn() -> None:
    """A return with no call adopts what ran before it; a call with no return lasts to the end."""
    records = [
        frame("call", 2, T0 + 1.0, "early"),
        frame("return", 2, T0 + 2.0, "early"),
        frame("call", 3, T0 + 3.0, "early"),
        frame("return", 3, T0 + 3.0001, "early"),
        frame("return", 1, T0 + 5.0, "outer"),  # began before tracing
        frame("call", 4, T0 + 6.0, "open_ended"),
        frame("call", 5, T0 + 7.0, "inner"),
        frame("return", 5, T0 + 8.0, "inner"),
        frame("call", 6, T0 + 9.0, "inner"),
    ]
    index = build_index(MAIN, [document(MAIN, {"native_1": records}, timestamp=T0)])
    thread = index.threads["native_1"]
    for lo, hi, width in ((0.0, 10.0, 100), (0.5, 3.5, 1000), (2.9, 3.2, 50), (8.5, 9.5, 10)):
        answer = queries.timeline(index, thread, lo, hi, width)
        names = answer["names"]
        shown = {(names.get(str(b[4]), "merged"), b[1]) for b in answer["bars"]}
        if hi >= 5.0:
            assert ("open_ended", 0) in shown
        if lo < 5.0:
            assert ("outer", 0) in shown
        if lo < 2.0:
            assert ("early", 1) in shown
        assert all(b[2] <= b[3] for b in answer["bars"])
    merged = queries.timeline(index, thread, 0.0, 10.0, 10)["bars"]
    assert any(b[5] for b in merged)  # the short second "early"


def test_the_server_loads_two_subtrees_at_a_time_and_draws_them(tmp_path) -> None:
    import time

    from vask import db
    from vask.storage import writer
    from vask.viewer.server import Viewer

    _, docs = generated()
    path = tmp_path / "db.sqlite3"
    for trace_id, doc in docs.items():
        db.save_trace(trace_id, msgpack_data=doc, db_path=path)
    writer.drain()  # subtrees are stored by the background writer
    viewer = Viewer(path)
    try:
        index = viewer.index(MAIN, wait=30)
        thread = index.threads["native_1"]
        deadline = time.monotonic() + 30
        while True:
            answer = queries.timeline(index, thread, 69.0, 86.0, 800, viewer.subtree_lookup())
            if answer["complete"] or time.monotonic() > deadline:
                break
            assert len(answer["loading"]) <= 2
            time.sleep(0.05)
        assert answer["complete"] and not answer["loading"]
        assert [s["trace"] for s in answer["subtrees"]] == ["trc_sub1", "trc_sub2"]
        names = {answer["names"].get(str(b[4])) for b in answer["bars"] if len(b) > 6}
        assert {"sub_work", "deep_sub", "sub_mid"} <= names
        # a name the page cannot ask for is no subtree
        assert viewer.subtree_lookup()("../etc") == (None, False)
        assert viewer.subtree_lookup()("trc_NOSUCHTRACE") == (None, False)
    finally:
        viewer.close()


def test_subtrees_are_loaded_within_the_servers_budget(tmp_path, monkeypatch) -> None:
    """Past the calls the server holds, older subtrees are forgotten, never the answer's own."""
    import time

    from vask import db
    from vask.storage import writer
    from vask.viewer import server

    _, docs = generated()
    path = tmp_path / "db.sqlite3"
    for trace_id, doc in docs.items():
        db.save_trace(trace_id, msgpack_data=doc, db_path=path)
    writer.drain()
    viewer = server.Viewer(path)
    try:
        index = viewer.index(MAIN, wait=30)
        thread = index.threads["native_1"]
        monkeypatch.setattr(server, "_INDEXED_CALLS", index.calls + 10)
        deadline = time.monotonic() + 30
        while True:
            answer = queries.timeline(index, thread, 69.0, 86.0, 800, viewer.subtree_lookup(MAIN))
            if answer["complete"] or time.monotonic() > deadline:
                break
            time.sleep(0.05)
        # the first subtree fits, the one inside it no more: a placeholder, not loading
        assert [s["trace"] for s in answer["subtrees"]] == ["trc_sub1"]
        placeholders = [b[6] for b in answer["bars"] if len(b) > 6 and "flushed" in b[6]]
        assert [(p["flushed"], p["loading"]) for p in placeholders] == [("trc_sub2", False)]
        # another answer that needs only the inner one: the first is forgotten for it
        lookup = viewer.subtree_lookup(MAIN)
        while lookup("trc_sub2")[0] is None and time.monotonic() < deadline:
            time.sleep(0.05)
            lookup = viewer.subtree_lookup(MAIN)
        assert set(viewer._entries) == {MAIN, "trc_sub2"}
    finally:
        viewer.close()
