"""Traces larger than SQLite takes in one value are stored in pieces and read back whole.

SQLite refuses a value longer than its length limit (1 GB by default). The
tests set a small limit on the connection that writes (Python 3.11 and later
can), or, where the limit cannot be set (3.10), a small piece size.
"""

from __future__ import annotations

import contextlib
import io
import os
import sqlite3
import sys
from pathlib import Path

import msgpack
import pytest
import vask.cli
from engine_driver import decode
from test_db import frame
from vask import db, traceindex
from vask.storage import schema, store, writer

LIMIT = 100_000


def document(trace_id="trc_1", calls=1, extra=None, root=None) -> bytes:
    """A trace document of one thread with ``calls`` calls and their returns
    (``root``: the trace it was flushed from)."""
    ids = [f"frm_{i:026d}" for i in range(calls)]
    frames = [msgpack.unpackb(frame("call", i)) for i in ids]
    frames += [msgpack.unpackb(frame("return", i)) for i in reversed(ids)]
    return msgpack.packb(
        {
            "trace_id": trace_id,
            "trace_name": None,
            "current_thread_id": "native_1",
            "timestamp": 1700000000.5,
            "current_commit_sha": None,
            "root_trace_id": root or trace_id,
            "meta": {"version": "0.2", "blob": extra},
            "command_line_args": [],
            "threads": {"native_1": {"name": "MainThread", "frames": frames}},
            "frames_of_interest": [],
            "frames": {},
        }
    )


needs_limits = pytest.mark.skipif(
    sys.version_info < (3, 11), reason="Connection.setlimit needs Python 3.11"
)


@pytest.fixture
def small_values(monkeypatch: pytest.MonkeyPatch) -> None:
    """Every connection vask writes with takes values of LIMIT bytes at most."""
    if not hasattr(sqlite3.Connection, "setlimit"):
        monkeypatch.setattr(store, "_MAX_PIECE", LIMIT - 1000)
        return
    connect = schema.connect

    def limited(*args, **kwargs):
        conn = connect(*args, **kwargs)
        conn.setlimit(sqlite3.SQLITE_LIMIT_LENGTH, LIMIT)
        return conn

    monkeypatch.setattr(schema, "connect", limited)


def pieces_of(path: Path) -> list[int]:
    with contextlib.closing(sqlite3.connect(path)) as conn:
        return [n for (n,) in conn.execute("SELECT length(data) FROM trace_pieces ORDER BY id")]


def run_cli(*args: str) -> str:
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        assert vask.cli.main(list(args)) == 0
    return out.getvalue()


@needs_limits
def test_the_limit_refuses_a_document_in_one_value(tmp_path):
    conn = db.connect(tmp_path / "db.sqlite3")
    conn.setlimit(sqlite3.SQLITE_LIMIT_LENGTH, LIMIT)
    with pytest.raises(sqlite3.DataError, match="too big"):
        conn.execute("INSERT INTO traces (trace_id, stored_at, size, calls, data) VALUES"
                     " ('x', 0, 0, 0, ?)", (b"x" * (2 * LIMIT),))  # fmt: skip
    conn.close()


def test_a_document_over_the_limit_is_stored_in_pieces_and_read_back(tmp_path, small_values):
    path = tmp_path / "db.sqlite3"
    # bytes that do not compress: stored, the document still takes four pieces
    data = document("trc_big", calls=800, extra=os.urandom(4 * LIMIT))
    assert len(data) > 4 * LIMIT
    db.save_trace("trc_big", msgpack_data=data, db_path=path, keep_aside=False)
    db.save_trace("trc_small", msgpack_data=document("trc_small"), db_path=path)
    assert len(pieces_of(path)) >= 4 and max(pieces_of(path)) < LIMIT

    assert db.load_trace(path, "trc_big") == [data]
    (summary,) = [s for s in db.list_traces(path) if s.trace_id == "trc_big"]
    assert (summary.size, summary.calls) == (len(data), 800)
    assert db.find_damage(path) == {}
    conn = db.open_reader(path)
    try:
        ((row, size),) = db.document_rows(conn, "trc_big")
        assert size == len(data)
        reader = db.DocumentReader(conn, row)
        # a part that spans pieces, read in small steps and at once
        start = LIMIT - 10
        assert reader.read(start, 3 * LIMIT) == data[start : start + 3 * LIMIT]
        assert b"".join(reader.read(i, 7919) for i in range(0, size, 7919)) == data
        reader.close()
    finally:
        conn.close()
    trace = traceindex.open_trace(path, "trc_big")
    try:
        assert (trace.documents, trace.damaged, trace.calls) == (1, [], 800)
    finally:
        trace.close()
    assert "trc_big" in run_cli("traces", "show", "trc_big", "--db", str(path), "--depth", "1")

    run_cli("traces", "delete", "trc_big", "--db", str(path))
    assert pieces_of(path) == []  # the pieces go with their document
    assert [s.trace_id for s in db.list_traces(path)] == ["trc_small"]


def big_locals(n):
    # about 100 kB in each record of the call, half of it stored once compressed
    blob = [os.urandom(500).hex() for _ in range(100)]  # noqa: F841
    return n


LINE_OF_BIG_LOCALS = big_locals.__code__.co_firstlineno


def test_a_trace_over_the_limit_from_the_api_and_its_subtrees(engine, tmp_path, small_values):
    path = tmp_path / "db.sqlite3"
    # no byte cap per value: each record of the call stays about 100 kB
    recorder = engine.recorder(
        config={"flush_subtree_mb": 0.3, "max_value_bytes": 0}, db_path=path
    )
    recorder.start()
    try:
        for i in range(20):
            big_locals(i)
    finally:
        recorder.stop()
    recorder.save()
    assert recorder.side_files == []
    assert pieces_of(path)
    (document_bytes,) = db.load_trace(path, recorder.trace_id)
    doc = decode(document_bytes)
    subtrees = [s for s in db.list_traces(path) if s.trace_id != recorder.trace_id]
    assert subtrees  # flushed and stored too, each read back whole
    # (the connection hook above runs on the writer's thread, which the monitor may record)
    calls = sum(
        r.get("event") == "call" and r.get("path", "").endswith(f":{LINE_OF_BIG_LOCALS}")
        for d in [doc, *(decode(x) for s in subtrees for x in db.load_trace(path, s.trace_id))]
        for t in d["threads"].values()
        for r in t["frames"]
    )
    assert calls == 20


def test_import_reads_a_side_file_a_part_at_a_time(tmp_path, small_values, monkeypatch):
    side = tmp_path / "trc_big.msgpack"
    data = document("trc_big", calls=300, extra="z" * (3 * LIMIT))
    side.write_bytes(data)
    reads = []
    source_read = traceindex.FileSource.read

    def read(self, offset, n):
        reads.append(n)
        return source_read(self, offset, n)

    monkeypatch.setattr(traceindex.FileSource, "read", read)
    path = tmp_path / "db.sqlite3"
    out = io.StringIO()
    with contextlib.redirect_stderr(out):
        assert vask.cli.main(["traces", "import", str(side), "--db", str(path)]) == 0
        assert vask.cli.main(["traces", "import", str(side), "--db", str(path)]) == 0
    assert "imported trace trc_big (300 calls)" in out.getvalue()
    assert "is already in" in out.getvalue()
    assert max(reads) < len(data)
    assert db.load_trace(path, "trc_big") == [data]


def test_a_database_of_the_first_schema_is_read_and_upgraded(tmp_path):
    path = tmp_path / "old.sqlite3"
    conn = sqlite3.connect(path)
    for statement in schema._MIGRATIONS[0]:
        conn.execute(statement)
    conn.execute("PRAGMA user_version = 1")
    old = document("trc_old", calls=2)
    conn.execute(
        "INSERT INTO traces (trace_id, root_trace_id, stored_at, size, calls, data)"
        " VALUES ('trc_old', 'trc_old', 1.0, ?, 2, ?)",
        (len(old), old),
    )
    conn.commit()
    conn.close()
    assert [(s.trace_id, s.outcome) for s in db.list_traces(path)] == [("trc_old", None)]
    assert db.load_trace(path, "trc_old") == [old]
    assert "trc_old" in run_cli("traces", "show", "trc_old", "--db", str(path))
    db.save_trace("trc_new", msgpack_data=document("trc_new"), db_path=path)
    with contextlib.closing(sqlite3.connect(path)) as conn:
        assert conn.execute("PRAGMA user_version").fetchone()[0] == db.SCHEMA_VERSION
    assert {s.trace_id for s in db.list_traces(path)} == {"trc_old", "trc_new"}
    assert db.load_trace(path, "trc_old") == [old]


def test_the_outcome_of_a_test_is_read_from_its_end_record(tmp_path):
    def with_end(outcome):
        doc = msgpack.unpackb(document("trc_t"))
        end = {
            "frame_id": "frm_" + "0" * 26,
            "timestamp": 2.0,
            "user_code_call_site": None,
            "type": "end_test",
            "subtype": "pytest",
            "test_name": "test_x",
            "test_id": "tests/test_a.py::test_x",
            "outcome": outcome,
        }
        doc["threads"]["native_1"]["frames"].append(msgpack.packb(end))
        return msgpack.packb(doc)

    assert db.document_outcome(with_end("failed")) == "failed"
    assert db.document_outcome(with_end("no such outcome")) is None
    assert db.document_outcome(document("trc_t")) is None
    path = tmp_path / "db.sqlite3"
    side = tmp_path / "side.msgpack"
    side.write_bytes(with_end("xfailed"))
    db.store_file("trc_t", side, path)
    assert [s.outcome for s in db.list_traces(path)] == ["xfailed"]
    assert db.list_traces(path, outcome="passed") == []


def test_documents_handed_over_are_stored_before_one_that_waits(tmp_path):
    path = tmp_path / "db.sqlite3"
    recorder = object()
    writer.recording(recorder, True)  # stores made while it records are handed over
    try:
        for i in range(30):
            db.save_trace(f"trc_{i:02d}", msgpack_data=document(f"trc_{i:02d}"), db_path=path)
    finally:
        writer.recording(recorder, False)
    db.save_trace("trc_last", msgpack_data=document("trc_last"), db_path=path)
    assert [s.trace_id for s in db.list_traces(path)] == [
        "trc_last", *(f"trc_{i:02d}" for i in reversed(range(30)))
    ]  # fmt: skip
    assert writer.pending() == (0, 0)


def test_the_host_tells_the_stores_that_must_not_wait_without_being_told(tmp_path, monkeypatch):
    """The engine's call carries no hint: a flushed subtree, and any engine store
    made while a recorder runs outside its own save, are handed over."""
    waits = []
    monkeypatch.setattr(writer, "store", lambda job, wait=True: waits.append(wait))
    path = tmp_path / "db.sqlite3"

    def save(trace_id="trc_a", root=None, **keywords):
        data = document(trace_id, root=root)
        db.save_trace(trace_id, timeout=5, msgpack_data=data, db_path=path, **keywords)
        return waits.pop()

    assert save() is True  # nothing records: a final save
    assert save("trc_b", root="trc_a") is False  # a subtree, whoever stores it
    recorder = object()
    writer.recording(recorder, True)
    try:
        assert save() is False  # a test's trace, stored at the test's end
        with writer.saving():
            assert save() is True  # the recorder's own save
            assert save("trc_b", root="trc_a") is False
        assert save(keep_aside=False) is True  # its error is the caller's to handle
    finally:
        writer.recording(recorder, False)
    assert save() is True
    with pytest.raises(TypeError):
        save(wait=False)  # the engine's keywords are timeout, msgpack_data, db_path
