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


def _column(code: str, delta: bool, rows: int) -> st.SearchStrategy[list[int]]:
    bits = _LIMITS[code]
    if not delta:
        return st.lists(
            st.integers(-(1 << bits), (1 << bits) - 1), min_size=rows, max_size=rows
        )
    # a delta-coded column: the differences between neighbours fit its type too
    half = 1 << (bits - 1)
    return st.lists(st.integers(-half, half - 1), min_size=rows, max_size=rows)


@st.composite
def blocks(draw: st.DrawFn) -> tuple[bytes, list[list[int]]]:
    rows = draw(st.integers(0, 120))
    columns = [draw(_column(code, delta, rows)) for _, code, delta in callindex._COLUMNS]
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
    assert _native(raw, 0, 8) == {name: col for (name, _, _), col in zip(callindex._COLUMNS, columns)}

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
    # a head whose count claims more rows than the block holds
    bigger = (rows + 1).to_bytes(4, "little") + raw[4:]
    with pytest.raises(ValueError, match="shorter"):
        callindex.decode_rows(bigger, 0, 0)


@pytest.mark.parametrize("layout", ["", "x", "+", "i++", "iq+l"])
def test_a_layout_it_does_not_know_is_refused(layout):
    raw = callindex._decompressor().decompress(callindex._encode([[1] for _ in callindex._COLUMNS]))
    if layout == "":
        assert _dump._decode_index_block(raw, layout, 0, 1) == ()
        return
    with pytest.raises(ValueError, match="layout"):
        _dump._decode_index_block(raw, layout, 0, 1)
