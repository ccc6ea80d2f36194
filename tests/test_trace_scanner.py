"""The native document scanner under the trace index: the same index as the MessagePack reader's.

The reader in Python (``traceindex._read_records_py``) is the reference: for
every document, whole or read in chunks of any size, the index built from
the scanner's columns must equal the one built without it, array for array.
"""

from __future__ import annotations

import math
import struct
from array import array
from typing import Any

import msgpack
import pytest
from test_traceindex import ALL_EVENTS, TRACE
from tracedocs import big_document, document, frame, marker, plugin
from vask import _dump, traceindex
from vask import document as vask_document
from vask.traceindex import BytesSource, TraceIndex, build_index

EARLIEST, LATEST = vask_document.PLAUSIBLE_TIMES


class Pieces:
    """A document read as a database row is: part by part, never whole."""

    def __init__(self, data: bytes) -> None:
        self.data = data
        self.size = len(data)

    def read(self, offset: int, n: int) -> bytes:
        return self.data[offset : offset + n]


def _nan_safe(values: Any) -> list[Any]:
    return ["nan" if isinstance(v, float) and math.isnan(v) else v for v in values]


def snapshot(index: TraceIndex) -> dict[str, Any]:
    """Everything an index holds, comparable with ==."""
    threads = {}
    for key, t in index.threads.items():
        threads[key] = {
            "name": (t.name, t.native_id, t.ident),
            "records": (list(t.rec_pos), bytes(t.rec_kind), sorted(t._ends.items())),
            "nodes": (
                bytes(t.kind),
                list(t.open_rec),
                list(t.close_rec),
                _nan_safe(t.start),
                _nan_safe(t.end),
                list(t.parent),
                list(t.first_child),
                list(t.next_sibling),
                list(t.calls_below),
                list(t.name_id),
            ),
            "links": (t.resumes, t.resume_of, t.assignments),
        }
    return {
        "threads": threads,
        "names": [(n.label, n.qualname, n.co_name, n.kind) for n in index.names],
        "damaged": index.damaged,
        "facts": (index.main_thread, index.documents, index.size),
    }


def both_ways(documents: list[bytes], pieces: bool = False) -> tuple[dict, dict]:
    """The index of ``documents`` built with the scanner and with the Python reader."""
    sources = [Pieces(d) if pieces else BytesSource(d) for d in documents]
    native = build_index(TRACE, sources)
    scan, link = traceindex._scan_records, traceindex._link_records
    traceindex._scan_records = traceindex._link_records = None
    try:
        python = build_index(TRACE, sources)
    finally:
        traceindex._scan_records, traceindex._link_records = scan, link
    return snapshot(native), snapshot(python)


@pytest.fixture(params=[False, True], ids=["whole", "pieces"])
def pieces(request: pytest.FixtureRequest) -> bool:
    return request.param


@pytest.fixture(params=[64 << 10, 97, 7], ids=["chunk64k", "chunk97", "chunk7"])
def chunk(request: pytest.FixtureRequest, monkeypatch: pytest.MonkeyPatch) -> int:
    monkeypatch.setattr(vask_document, "CHUNK", request.param)
    return request.param


def test_scanner_is_there() -> None:
    assert traceindex._scan_records is _dump._scan_records
    assert traceindex._link_records is _dump._link_records


def test_every_event_kind_several_threads_and_documents(pieces: bool, chunk: int) -> None:
    first = document(
        TRACE,
        {"native_1": ALL_EVENTS[:6], "native_2": [frame("call", 40, 100.0, "w")]},
    )
    second = document(
        TRACE,
        {
            "native_1": ALL_EVENTS[6:],
            "native_2": [frame("return", 40, 100.5, "w"), frame("return", 41, 100.6, "outer")],
        },
    )
    native, python = both_ways([first, second], pieces)
    assert native == python
    assert sum(len(t["records"][1]) for t in native["threads"].values()) == len(ALL_EVENTS) + 3


def test_a_large_document_read_whole_and_in_pieces(pieces: bool) -> None:
    data = big_document(TRACE, 20_000, batch=300, needle_at=7_777)
    native, python = both_ways([data], pieces)
    assert native == python
    (thread,) = native["threads"].values()
    assert thread["nodes"][8][0] == 20_000  # calls below the root


def _record(**fields: Any) -> dict[str, Any]:
    record = frame("call", 5, 100.0, "odd")
    record.update(fields)
    return record


# Records near the engines' layout that must be read as the decoder reads them.
ODD_RECORDS = [
    _record(timestamp=math.inf),
    _record(timestamp=-1.0),
    _record(timestamp=math.nan),
    _record(timestamp=1),  # an int: not the float key the scanner looks for
    _record(event="line"),
    _record(event="ca"),
    _record(event=7),
    _record(event="resumX"),
    _record(frame_id=None),
    _record(frame_id=12),
    _record(path=None),
    _record(path="no-colon"),
    _record(path="é" * 40 + ":9", co_name="x" * 40, qualname="q" * 300),
    _record(frame_id="f" * 70_000),
    _record(arg="\xa9timestamp"),
    _record(locals={"timestamp": 3.0}),
    dict(reversed(list(frame("return", 5, 100.1, "odd").items()))),
    {
        "type": "frame",
        "event": "return",
        "frame_id": frame_id_5 if (frame_id_5 := frame("call", 5, 0)["frame_id"]) else None,
    },
    plugin("custom", 100.2),
    marker("trc_01FLUSHEDFLUSHEDFLUSHED00", 100.3),
    [1, 2, 3],
    "a text",
    None,
    {"timestamp": "later"},
]


@pytest.mark.parametrize("odd", range(len(ODD_RECORDS)))
def test_records_outside_the_engines_layout(odd: int, pieces: bool) -> None:
    records = [frame("call", 1, 99.0, "main"), ODD_RECORDS[odd], frame("return", 1, 101.0, "main")]
    data = document(TRACE, {"native_1": records})
    native, python = both_ways([data], pieces)
    assert native == python


def test_a_timestamp_key_with_no_room_for_its_float_is_not_read_past_the_record() -> None:
    # The record's last bytes are a "timestamp" key with no float after it
    # (the bytes after it belong to the next record): the time is the decoder's.
    odd = frame("call", 2, 100.0, "f")
    odd["user_code_call_site"] = b"\xa9timestamp\xcb"
    records = [odd, frame("return", 2, 101.0, "f")]
    native, python = both_ways([document(TRACE, {"native_1": records})])
    assert native == python
    assert native["threads"]["native_1"]["nodes"][3][1] == 100.0


def _damaged(data: bytes, at: int, how: str) -> bytes:
    if how == "cut":
        return data[:at]
    if how == "c1":
        return data[:at] + b"\xc1" + data[at + 1 :]
    if how == "deep":
        return data[:at] + b"\x91" * 2000 + data[at:]
    return data[:at] + b"\xdd\xff\xff\xff\xff" + data[at:]  # a huge array header


@pytest.mark.parametrize("how", ["cut", "c1", "deep", "huge"])
def test_damaged_documents_agree(how: str, pieces: bool, monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setattr(vask_document, "CHUNK", 211)
    data = document(TRACE, {"native_1": ALL_EVENTS})
    good = document(TRACE, {"native_2": ALL_EVENTS[1:3]})
    for at in range(len(data) // 3, len(data), 37):
        native, python = both_ways([_damaged(data, at, how), good], pieces)
        assert native == python, at


def test_the_scanner_reads_columns_and_stops_where_it_must() -> None:
    records = [msgpack.packb(frame("call", 1, 100.0, "main")), msgpack.packb(plugin("p", 100.1))]
    data = b"".join(records)
    nxt, stop, ends, codes, times, spans, starts = _dump._scan_records(
        data, 0, 5, EARLIEST, LATEST, 10, 4
    )
    assert (nxt, stop, list(array("q", ends))) == (len(data), 1, [len(records[0]), len(data)])
    assert list(array("I", starts)) == [10, 10 + len(records[0])]
    assert list(codes) == [0, 255] and array("d", times)[0] == 100.0
    f0, f1, n0, n1, l0, l1 = array("q", spans)[:6]
    assert data[f0:f1] == frame("call", 1, 0)["frame_id"].encode()
    assert data[l0:l1] == b"1" and data[n0:n1].endswith(b"app.main")
    # exactly as many as asked
    assert _dump._scan_records(data, 0, 1, EARLIEST, LATEST, 0, 8)[:2] == (len(records[0]), 0)
    # an incomplete record is not read; a malformed one stops the scan
    assert _dump._scan_records(data[:-1], 0, 5, EARLIEST, LATEST, 0, 8)[:2] == (len(records[0]), 1)
    assert _dump._scan_records(b"\xc0\xc1\xc0", 0, 5, EARLIEST, LATEST, 0, 8)[:2] == (1, 2)
    assert _dump._scan_records(b"\x91" * 600 + b"\xc0", 0, 1, EARLIEST, LATEST, 0, 8)[:2] == (0, 2)
    assert _dump._scan_records(data, len(data) + 10, 1, EARLIEST, LATEST, 0, 8)[:2] == (
        len(data) + 10,
        1,
    )
    with pytest.raises(TypeError):
        _dump._scan_records("text", 0, 1, EARLIEST, LATEST, 0, 8)
    with pytest.raises(TypeError):
        _dump._scan_records(data, -1, 1, EARLIEST, LATEST, 0, 8)


def test_the_scanner_never_reads_outside_its_bytes() -> None:
    # every prefix of every record, and every header byte followed by a few lengths
    whole = msgpack.packb([frame("call", 1, 100.0, "m", locals={"x": [1.5, b"b", {"k": None}]})])
    for n in range(len(whole) + 1):
        nxt, stop, _, codes, *_ = _dump._scan_records(whole[:n], 0, 3, EARLIEST, LATEST, 0, 8)
        assert nxt <= n and stop in (0, 1) and len(codes) == (1 if n == len(whole) else 0)
    for b in range(256):
        for tail in (b"", b"\xff", b"\xff\xff\xff\xff", b"\x00\x00\x00\x01\x00"):
            data = bytes([b]) + tail
            nxt, stop, *_ = _dump._scan_records(data, 0, 9, EARLIEST, LATEST, 0, 8)
            assert 0 <= nxt <= len(data)
    assert struct.calcsize("q") == 8


@pytest.mark.parametrize(
    "data",
    [
        b"",
        b"frm_" + b"A" * 26,
        b"xfrm_" + b"a1" * 13 + b"Z" + b"frm_" + b"9" * 25,  # the second is too short
        b"frm_frm_" + b"b" * 26 + b"frm_" + b"c" * 26,
        b"\xa9timestamp\xcb" + b"\x00" * 8 + b"tail\xa9timestamp\xcb\x01\x02",
        b"\xa9timest" + b"frm_" + b"d" * 26 + b"amp\xcb" + b"12345678",  # formed by the first cut
        b"frm_" + b"e" * 10 + b"-" + b"e" * 15 + b"frm_" + b"f" * 30,
        msgpack.packb([frame("call", n, 100.0 + n, "g") for n in range(1, 50)]),
    ],
)
def test_cutting_frame_ids_and_times_is_the_patterns_cut(data: bytes) -> None:
    from vask import diff

    assert _dump._cut_ids_and_times(data) == diff._cut_ids_and_times_py(data)
