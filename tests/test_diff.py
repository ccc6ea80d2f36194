"""``vask traces diff``: two runs of a real program, each with one planted difference.

Every run goes through ``vask run`` with either engine; the planted change
must come out as the first divergence, and two runs with nothing changed
must compare equal although their default reprs hold different addresses.
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
from pathlib import Path

import msgpack
import pytest
from engine_driver import ENGINE_PARAMS
from vask import traceindex
from vask.diff import _align, _lcs, diff_traces
from vask.storage import query

ENV = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "NO_COLOR", "VASK_FOLLOW")}

PROGRAM = """
import os
import threading

PLANT = os.environ.get("PLANT", "")
RATE = 7 if PLANT == "constant" else 5


class Widget:
    def __init__(self, n):
        self.n = n


def price(n):
    return n * RATE


def line_total(n):
    return price(n) + 1


def order(items):
    total = 0
    for item in items:
        total += line_total(item)
    return total


def checkout():
    widget = Widget(3)
    return order([1, 2, 3]), widget


def audit(x):
    return x


def process(items):
    out = []
    for i in items:
        out.append(i)
        if PLANT == "extra" and i == 2:
            audit(i)
    return len(out)


def risky(x):
    if PLANT == "raise":
        raise ValueError("planted")
    return x


def guarded():
    try:
        risky(2)
    except ValueError:
        pass
    return "done"


def level3(x):
    return x + (1 if PLANT == "ret" else 0)


def level2(x):
    return level3(x) * 1


def level1(x):
    level2(x)
    return "same"


def work(item):
    return item * 2


def in_threads():
    items = ["b", "a"] if PLANT == "order" else ["a", "b"]
    for item in items:
        thread = threading.Thread(target=work, args=(item,))
        thread.start()
        thread.join()


def numbers(n):
    for i in range(n):
        yield i
    if PLANT == "gen":
        yield n


def consume():
    return sum(numbers(3))


def main():
    print(checkout())
    print(process([1, 2, 3]))
    print(guarded())
    print(level1(10))
    in_threads()
    print(consume())
    print(object(), Widget)


main()
"""


def vask(*args: str, cwd: Path, env: dict[str, str] | None = None, check: int | None = 0):
    result = subprocess.run(
        [sys.executable, "-m", "vask", *args],
        cwd=cwd,
        env={**ENV, **(env or {})},
        capture_output=True,
        text=True,
        timeout=120,
        check=False,
    )
    if check is not None:
        assert result.returncode == check, (result.stdout, result.stderr)
    return result


@pytest.fixture(scope="module", params=ENGINE_PARAMS)
def runs(request: pytest.FixtureRequest, tmp_path_factory: pytest.TempPathFactory):
    """A directory with the program and a function that traces it with a plant, per engine."""
    work = tmp_path_factory.mktemp("diff")
    (work / "prog.py").write_text(PROGRAM)
    engine = request.param
    made: dict[tuple[str, tuple[str, ...]], str] = {}

    def trace(plant: str = "", *extra: str) -> str:
        """The trace of a run with ``plant``; extra arguments that start with "#"
        only make a run of its own."""
        key = (plant, extra)
        extra = tuple(e for e in extra if not e.startswith("#"))
        if key not in made:
            before = (
                {s.trace_id for s in query.list_traces(work / "db.sqlite3")}
                if (work / "db.sqlite3").exists()
                else set()
            )
            vask(
                "run",
                "--engine",
                engine,
                "--db",
                "db.sqlite3",
                *extra,
                "prog.py",
                cwd=work,
                env={"PLANT": plant},
            )
            after = {s.trace_id for s in query.list_traces(work / "db.sqlite3")}
            roots = [
                s
                for s in query.list_traces(work / "db.sqlite3")
                if s.trace_id in after - before and s.root_trace_id in (None, s.trace_id)
            ]
            made[key] = roots[0].trace_id
        return made[key]

    trace.dir = work  # type: ignore[attr-defined]
    trace.engine = engine  # type: ignore[attr-defined]
    return trace


def diff_json(runs, a: str, b: str, *extra: str, check: int = 1) -> dict:
    out = vask(
        "traces", "diff", "--db", "db.sqlite3", "--json", a, b, *extra, cwd=runs.dir, check=check
    )
    return json.loads(out.stdout)


def test_same_program_twice_has_no_differences(runs) -> None:
    first, second = runs(""), runs("", "#again")
    data = diff_json(runs, first, second, check=0)
    assert data["first_divergence"] is None and data["differences"] == []
    counts = data["counts"]
    assert counts["changed"] == counts["added"] == counts["removed"] == 0
    assert counts["matched"] > 20
    # the reprs really held addresses that differ from run to run
    text = vask("traces", "show", "--db", "db.sqlite3", first, cwd=runs.dir).stdout
    assert "object at 0x" in text


@pytest.mark.parametrize(
    ("plant", "status", "call", "parents", "what", "a", "b"),
    [
        ("constant", "changed", "price", ["checkout", "order", "line_total"], "return", "5", "7"),
        ("extra", "added", "audit", ["process"], None, None, None),
        ("raise", "changed", "risky", ["guarded"], "exception", None, "ValueError('planted')"),
        ("ret", "changed", "level3", ["level1", "level2"], "return", "10", "11"),
        ("order", "changed", "work", [], "args", "'a'", "'b'"),
        ("gen", "changed", "numbers", ["consume"], "yield", None, "3"),
    ],
)
def test_planted_change_is_the_first_divergence(runs, plant, status, call, parents, what, a, b):
    data = diff_json(runs, runs(""), runs(plant))
    first = data["first_divergence"]
    assert first["status"] == status, first
    assert first["call"] == call, first
    assert first["parents"][-len(parents) :] == parents if parents else True
    if plant == "raise" and runs.engine == "profile":
        # the profile hook sees an exception leave a function as a return of None
        what, a, b = "return", "2", "None"
    if plant == "gen" and runs.engine == "profile":
        what, a = "return", "None"  # and sees a yield as a return
    if what is not None:
        change = next(c for c in first["changes"] if c["what"] == what)
        assert (change["a"], change["b"]) == (a, b), first
    if plant == "extra":
        assert data["counts"]["added"] == 1 and data["counts"]["removed"] == 0
    if plant == "order":
        assert first["thread"].startswith("Thread-1"), first


def test_text_output_names_the_change_and_counts(runs) -> None:
    out = vask(
        "traces", "diff", "--db", "db.sqlite3", runs(""), runs("constant"), cwd=runs.dir, check=1
    ).stdout
    head = out.split("differing calls:")[0]
    assert "first divergence" in head and "~ price" in head
    assert "A: 5" in head and "B: 7" in head
    assert "changed, 0 added, 0 removed" in out.splitlines()[-1]


def test_mask_option_hides_a_difference(runs) -> None:
    base, planted = runs(""), runs("order")
    assert diff_json(runs, base, planted)["first_divergence"]["call"] == "work"
    data = diff_json(runs, base, planted, "--mask", "'[ab]+'", check=0)
    assert data["first_divergence"] is None
    out = vask(
        "traces", "diff", "--db", "db.sqlite3", base, base, "--mask", "(", cwd=runs.dir, check=2
    )
    assert "not a regular expression" in out.stderr


def test_flushed_subtrees_are_compared_in_place(runs) -> None:
    flushed = ("--flush-subtree-mb", "0")
    base, planted = runs("", *flushed), runs("constant", *flushed)
    with_markers = traceindex.open_trace(runs.dir / "db.sqlite3", base)
    try:
        assert with_markers.flushed_trace_ids(), "nothing was flushed"
    finally:
        with_markers.close()
    assert diff_json(runs, base, runs(""), check=0)["first_divergence"] is None
    first = diff_json(runs, base, planted)["first_divergence"]
    assert (first["call"], first["changes"][0]["b"]) == ("price", "7")


# -- alignment --------------------------------------------------------------


@pytest.mark.parametrize(
    ("a", "b"),
    [
        ("abcabc", "abcxabc"),
        ("aaaa", "aaaaa"),
        ("abcd", "bcda"),
        ("", "ab"),
        ("xyz", "abc"),
        ("abxcd", "abycd"),
    ],
)
def test_alignment_is_a_longest_common_subsequence(a: str, b: str) -> None:
    pairs = list(_align(list(a), list(b)))
    assert [i for i, _ in pairs if i is not None] == list(range(len(a)))
    assert [j for _, j in pairs if j is not None] == list(range(len(b)))
    matched = [(i, j) for i, j in pairs if i is not None and j is not None]
    assert all(a[i] == b[j] for i, j in matched)
    best = sum(1 for i, j in _lcs(list(a), list(b)) if i is not None and j is not None)
    assert len(matched) == best


def test_missing_trace_and_bad_arguments(runs) -> None:
    base = runs("")
    assert (
        "two trace ids"
        in vask("traces", "diff", "--db", "db.sqlite3", base, cwd=runs.dir, check=2).stderr
    )
    assert (
        "no trace"
        in vask(
            "traces", "diff", "--db", "db.sqlite3", base, "trc_nothing", cwd=runs.dir, check=1
        ).stderr
    )
    assert (
        "no traces of the test"
        in vask(
            "traces", "diff", "--db", "db.sqlite3", "--test", "t.py::nothing", cwd=runs.dir, check=1
        ).stderr
    )


def test_api_diff_of_a_trace_with_itself(runs) -> None:
    trace = traceindex.open_trace(runs.dir / "db.sqlite3", runs(""))
    try:
        result = diff_traces(trace, trace)
    finally:
        trace.close()
    assert result.first is None and result.matched == trace.calls


def test_large_traces_match_by_whole_subtrees_and_find_the_one_change(tmp_path) -> None:
    from tracedocs import big_document
    from vask import db

    path = tmp_path / "db.sqlite3"
    db.save_trace("trc_A", msgpack_data=big_document("trc_A", 5000, batch=100), db_path=path)
    db.save_trace(
        "trc_B", msgpack_data=big_document("trc_B", 5000, batch=100, needle_at=2345), db_path=path
    )
    a, b = traceindex.open_trace(path, "trc_A"), traceindex.open_trace(path, "trc_B")
    try:
        result = diff_traces(a, b)
        same = diff_traces(a, a)
    finally:
        a.close()
        b.close()
    assert same.diffs == [] and same.matched == a.calls
    assert (result.matched, result.changed, result.added, result.removed) == (a.calls, 1, 0, 0)
    changes = {c.what: (c.a, c.b) for c in result.first.changes}
    assert changes["return"] == ("40", "'needle-in-the-haystack'"), result.first


def _folded(parent: int, count: int, ts: float) -> dict:
    return {
        "type": "folded",
        "frame_id": f"frm_{parent:026d}",
        "co_name": "tick",
        "qualname": "app.tick",
        "path": "app.py:3",
        "event": "call",
        "count": count,
        "total_duration": ts / 1000,
        "min_duration": 1e-6,
        "max_duration": ts / 100,
        "first_timestamp": ts,
        "last_timestamp": ts + 1,
        "timestamp": ts + 2,
    }


def _stored_object(address: int, total: int) -> msgpack.ExtType:
    return msgpack.ExtType(7, msgpack.packb(["app.Order", address, {"total": total}]))


@pytest.mark.parametrize(
    ("count", "total", "expected"),
    [
        (5, 3, []),  # other addresses, other times, other ids: the same
        (6, 3, [("folded", "record", "count", "5", "6")]),
        (5, 4, [("f", "args", "order", "Order(total=3)", "Order(total=4)")]),
    ],
)
def test_folded_calls_and_object_fields_are_compared_without_run_noise(
    tmp_path, count, total, expected
) -> None:
    from tracedocs import document, frame
    from vask import db

    def run(trace_id: str, count: int, total: int, address: int, ts: float) -> bytes:
        order = {"order": _stored_object(address, total)}
        records = [
            frame("call", 1, ts, "f", locals=order),
            _folded(1, count, ts + 1),
            frame("return", 1, ts + 5, "f", locals=order, arg=None),
        ]
        return document(trace_id, {"native_1": records}, timestamp=ts)

    path = tmp_path / "db.sqlite3"
    db.save_trace("trc_A", msgpack_data=run("trc_A", 5, 3, 0x7F0001, 100.0), db_path=path)
    db.save_trace("trc_B", msgpack_data=run("trc_B", count, total, 0x7F0999, 200.0), db_path=path)
    a, b = traceindex.open_trace(path, "trc_A"), traceindex.open_trace(path, "trc_B")
    try:
        result = diff_traces(a, b)
    finally:
        a.close()
        b.close()
    found = [
        (d.label.split(" ")[0].replace("app.tick", "folded"), c.what, c.name or c.what, c.a, c.b)
        for d in result.diffs
        for c in d.changes
        if c.what != "locals"
    ]
    assert found == expected
