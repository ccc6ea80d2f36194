"""The calls index's column blocks read back natively, held to the decoding in Python.

``callindex._decode`` and ``callindex._stretch`` read a block as
``callindex._encode`` writes it, in Python: the native decoder
(``_dump._decode_index_block``) must give the same columns for any rows of
any block, and refuse a damaged block rather than read past it.
"""

from __future__ import annotations

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from vask import _dump, callsearch
from vask.storage import callindex

_LIMITS = {"b": 7, "i": 31, "q": 63}


def _column(code: str, rows: int) -> st.SearchStrategy[list[int]]:
    bits = _LIMITS[code]
    return st.lists(st.integers(-(1 << bits), (1 << bits) - 1), min_size=rows, max_size=rows)


@st.composite
def blocks(draw: st.DrawFn) -> tuple[bytes, list[list[int]]]:
    rows = draw(st.integers(0, 120))
    columns = [draw(_column(code, rows)) for _, code, _ in callindex._COLUMNS]
    raw = callindex._decompressor().decompress(callindex._encode(columns))
    return raw, columns


def _python(raw: bytes, lo: int, hi: int) -> dict[str, list[int]]:
    return {k: list(v) for k, v in callindex._stretch(callindex._decode(raw), lo, hi).items()}


def _native(raw: bytes, lo: int, hi: int) -> dict[str, list[int]]:
    return {k: list(v) for k, v in callindex.decode_rows(raw, lo, hi).items()}


@settings(max_examples=200, deadline=None)
@given(blocks(), st.data())
def test_any_rows_of_any_block_read_as_in_python(block, data):
    raw, columns = block
    rows = len(columns[0])
    lo = data.draw(st.integers(0, rows))
    hi = data.draw(st.integers(lo, rows))
    got = _native(raw, lo, hi)
    assert got == _python(raw, lo, hi)
    # and both are the values written
    assert got == {name: col[lo:hi] for (name, _, _), col in zip(callindex._COLUMNS, columns)}


def test_extreme_values_and_empty_blocks():
    # every column at the ends of its type, the delta-coded ones stepping by what fits
    ends = {"b": (-128, 127), "i": (-(1 << 31), (1 << 31) - 1), "q": (-(1 << 63), (1 << 63) - 1)}
    columns = []
    for _, code, delta in callindex._COLUMNS:
        low, high = ends[code]
        if delta:
            step = (high + 1) // 2
            columns.append([low, low + step, -1, step - 1, high, high - step, 0, -1])
        else:
            columns.append([low, high, -1, 0, 1, high, low, -1])
    raw = callindex._decompressor().decompress(callindex._encode(columns))
    for lo, hi in ((0, 8), (3, 8), (7, 8), (8, 8), (0, 0), (2, 5)):
        assert _native(raw, lo, hi) == _python(raw, lo, hi)
    assert _native(raw, 0, 8) == {
        name: col for (name, _, _), col in zip(callindex._COLUMNS, columns)
    }

    empty = callindex._decompressor().decompress(
        callindex._encode([[] for _ in callindex._COLUMNS])
    )
    assert _native(empty, 0, 0) == {name: [] for name, _, _ in callindex._COLUMNS}


@settings(max_examples=100, deadline=None)
@given(blocks(), st.data())
def test_a_damaged_block_is_refused_not_overread(block, data):
    raw, columns = block
    rows = len(columns[0])
    cut = data.draw(st.integers(0, max(len(raw) - 1, 0)))
    if rows:
        with pytest.raises(ValueError, match="shorter"):
            callindex.decode_rows(raw[:cut], 0, rows)
    with pytest.raises(ValueError, match="outside"):
        callindex.decode_rows(raw, 0, rows + 1)
    with pytest.raises(ValueError, match="outside"):
        callindex.decode_rows(raw, 1, 0)
    # a head whose count claims more rows than the block holds (a column of one value
    # stores no bytes: the block cannot tell); bytes after the columns
    if any(len(set(column)) > 1 for column in columns):
        bigger = (rows + 1).to_bytes(4, "little") + raw[4:]
        with pytest.raises(ValueError, match="index block"):
            callindex.decode_rows(bigger, 0, 0)
    with pytest.raises(ValueError, match="longer"):
        callindex.decode_rows(raw + b"\0", 0, rows)


@pytest.mark.parametrize("layout", ["x", "+", "i++", "iq+l"])
def test_a_layout_it_does_not_know_is_refused(layout):
    raw = callindex._decompressor().decompress(callindex._encode([[1] for _ in callindex._COLUMNS]))
    with pytest.raises(ValueError, match="layout"):
        _dump._decode_index_block(raw, layout, 0, 1)
    # a layout of other columns than the block's
    with pytest.raises(ValueError, match="index block"):
        _dump._decode_index_block(raw, "i", 0, 1)


def _suite_documents():
    """Traces of a few tests: nested calls of several names on two threads, calls that
    raise (two exception types), equal start times, and a failed test or two."""
    import random

    from tracedocs import document, frame, plugin

    rng = random.Random(7)
    names = ("parse", "scan", "emit", "Lexer.parse", "Tree.emit")
    docs = []
    for t in range(9):
        threads = {}
        for thread in ("native_1", "native_2")[: 1 + t % 2]:
            records = []
            n = 0
            clock = 100.0 + t

            def call(depth, records=records):
                nonlocal n, clock
                n += 1
                me, name = n, rng.choice(names)
                records.append(frame("call", me, clock, name, locals={"i": me}))
                for _ in range(rng.randrange(0, 4) if depth < 3 else 0):
                    call(depth + 1)
                clock += rng.choice((0.0, 0.001, 0.013, 0.2))  # some calls start together
                if rng.random() < 0.2:
                    exc = rng.choice(("KeyError('k')", "pkg.ParseError('p')"))
                    records.append(frame("unwind", me, clock, name, exception=exc))
                else:
                    records.append(frame("return", me, clock, name, arg=me))

            for _ in range(6):
                call(0)
            if thread == "native_1":
                records.append(
                    plugin("end_test", clock + 1, outcome="failed" if t % 3 else "passed")
                )
            threads[thread] = records
        docs.append((f"trc_{t}", document(f"trc_{t}", threads, name=f"tests/t.py::test_{t}")))
    return docs


_QUERIES = [
    {"pattern": "parse"},
    {"pattern": "*"},
    {"pattern": "*emit", "raised": True},
    {"pattern": "*", "raised": "ParseError"},
    {"pattern": "scan", "returned": True},
    {"pattern": "*", "outcome": "failed"},
    {"pattern": "parse", "test": "tests/t.py::test_4"},
    {"pattern": "*", "slowest": 7},
    {"pattern": "*", "slowest": 5, "raised": True},
    {"pattern": "*", "slowest": 6, "outcome": "failed", "raised": "KeyError"},
    {"pattern": "*", "slowest": 4, "test": "tests/t.py::test_2"},
    {"pattern": "parse", "slowest": 9, "raised": True},
    {"pattern": "*", "limit": 11},
]


def _answers(db_path):
    return [
        [
            (m.trace_id, m.ref, m.qualname, m.file, m.line, m.depth, m.start, m.duration)
            + (m.outcome, m.exception_type, m.folded, m.test, m.test_outcome, m.thread_name)
            + (m.args, m.return_value)
            for m in callsearch.find_calls(db_path, **query)
        ]
        for query in _QUERIES
    ]


def _brute_force(rows, query):
    """The matches of a query from every row of the index, as (trace id, node ref)."""
    import fnmatch

    pattern = query["pattern"]
    out = []
    for row in rows:
        qualname = row["qualname"]
        if not (fnmatch.fnmatchcase(qualname, pattern) or fnmatchcase_last(qualname, pattern)):
            continue
        raised = query.get("raised")
        if raised and (
            row["outcome"] != callindex.RAISED
            or (isinstance(raised, str) and not row["exc_type"].endswith(raised))
        ):
            continue
        if query.get("returned") and row["outcome"] != callindex.RETURNED:
            continue
        if query.get("outcome") and row["test_outcome"] != query["outcome"]:
            continue
        if query.get("test") and row["test"] != query["test"]:
            continue
        out.append(row)
    return out


def fnmatchcase_last(qualname, pattern):
    import fnmatch

    return "." not in pattern and fnmatch.fnmatchcase(qualname, "*." + pattern)


def test_queries_answer_alike_however_the_blocks_are_read(tmp_path, monkeypatch):
    """The same answers with the native decoder, the Python one, and blocks of a few
    rows (a trace's rows spread over many blocks); and the calls a brute-force pass
    over every row finds."""
    import sqlite3

    from vask.storage import store

    db_path = tmp_path / "db.sqlite3"
    store.save_traces(_suite_documents(), db_path=db_path)
    native = _answers(db_path)
    with monkeypatch.context() as m:
        m.setattr(callindex, "_decode_index_block", None)
        assert _answers(db_path) == native
    with monkeypatch.context() as m:
        m.setattr(callindex, "BLOCK_ROWS", 7)
        small = tmp_path / "small.sqlite3"
        store.save_traces(_suite_documents(), db_path=small)
        assert _answers(small) == native
        with sqlite3.connect(small) as conn:
            # a trace's blocks in one row: their frames' ends in ``sizes``
            blocks = [
                callindex._unpack_ids(sizes)
                for (sizes,) in conn.execute("SELECT sizes FROM call_blocks")
            ]
            assert max(map(len, blocks)) > 4

    rows = []
    with sqlite3.connect(db_path) as conn:
        for trace_id, test, outcome in conn.execute(
            "SELECT t.trace_id, ct.test, t.test_outcome FROM call_traces t"
            " LEFT JOIN call_tests ct ON ct.id = t.test"
        ).fetchall():
            for row in callindex.all_rows(conn, trace_id):
                row.update(trace_id=trace_id, test=test, test_outcome=outcome)
                row["ref"] = f"{row['thread_key']}/{row['node']}"
                rows.append(row)
    for query, found in zip(_QUERIES, native):
        expected = _brute_force(rows, query)
        assert found, query
        if "slowest" in query:
            durations = sorted((r["duration"] for r in expected), reverse=True)
            assert [m[7] for m in found] == durations[: query["slowest"]], query
        elif "limit" in query:
            assert len(found) == query["limit"]
        else:
            assert sorted((m[0], m[1]) for m in found) == sorted(
                (r["trace_id"], r["ref"]) for r in expected
            ), query
            # each trace's calls in the order they began
            for trace_id in {m[0] for m in found}:
                starts = [m[6] for m in found if m[0] == trace_id]
                assert starts == sorted(starts)


@settings(max_examples=100, deadline=None)
@given(st.lists(blocks(), min_size=1, max_size=4), st.data())
def test_rows_across_blocks_read_as_in_python(parts, data):
    """A trace's consecutive blocks read as one run of rows: natively as in Python, and
    the values written."""
    raws = tuple(raw for raw, _ in parts)
    written = {
        name: [v for _, columns in parts for v in columns[k]]
        for k, (name, _, _) in enumerate(callindex._COLUMNS)
    }
    total = len(written["name"])
    lo = data.draw(st.integers(0, total))
    hi = data.draw(st.integers(lo, total))
    got = {k: list(v) for k, v in callindex.decode_rows(raws, lo, hi).items()}
    assert got == {name: column[lo:hi] for name, column in written.items()}
    python = callindex._decode_index_block
    try:
        callindex._decode_index_block = None
        assert {k: list(v) for k, v in callindex.decode_rows(raws, lo, hi).items()} == got
        with pytest.raises(ValueError, match="outside"):
            callindex.decode_rows(raws, 0, total + 1)
    finally:
        callindex._decode_index_block = python
    with pytest.raises(ValueError, match="outside"):
        callindex.decode_rows(raws, 0, total + 1)


@settings(max_examples=100, deadline=None)
@given(st.lists(blocks(), min_size=1, max_size=3), st.data())
def test_runs_of_rows_read_as_in_python(parts, data):
    """Several runs of a trace's rows (a few names' rows without those between them) read
    at once: natively as in Python, and the values written, run after run."""
    raws = tuple(raw for raw, _ in parts)
    written = {
        name: [v for _, columns in parts for v in columns[k]]
        for k, (name, _, _) in enumerate(callindex._COLUMNS)
    }
    total = len(written["name"])
    cuts = sorted(data.draw(st.lists(st.integers(0, total), max_size=6)))
    runs = list(zip(cuts[::2], cuts[1::2]))
    lo, hi = tuple(a for a, _ in runs), tuple(b for _, b in runs)
    expected = {name: [v for a, b in runs for v in column[a:b]] for name, column in written.items()}
    got = {k: list(v) for k, v in callindex.decode_rows(raws, lo, hi).items()}
    assert got == expected
    python = callindex._decode_index_block
    try:
        callindex._decode_index_block = None
        assert {k: list(v) for k, v in callindex.decode_rows(raws, lo, hi).items()} == expected
    finally:
        callindex._decode_index_block = python
    with pytest.raises(ValueError, match="unlike"):
        callindex.decode_rows(raws, (0,), (0, 0))


def test_a_large_traces_blocks_compressed_on_every_core_are_the_same_frames():
    rows = callindex.BLOCK_ROWS
    blocks = [
        callindex._encode_raw([[n * rows + r for r in range(rows)] for _ in callindex._COLUMNS])
        for n in range(callindex._BLOCKS_ON_EVERY_CORE + 3)
    ]
    level = callindex.LEVEL
    frames = callindex._compressed(blocks, level)
    assert frames == [callindex._compressor(level).compress(block) for block in blocks]
    assert [callindex._decompressor().decompress(f) for f in frames] == blocks
