"""The storage package's one pipeline: the writer's batches, the failure policy they share,
and the package's modules importable each on its own."""

from __future__ import annotations

import logging
import os
import pkgutil
import sqlite3
import subprocess
import sys
import threading
from collections import deque
from pathlib import Path

import msgpack
import pytest
import vask
from vask import db
from vask.storage import spool, store, writer


def document(trace_id: str, calls: int = 1) -> bytes:
    frames = [
        msgpack.packb({"event": "call", "frame_id": "frm_" + "0" * 26}, use_bin_type=True)
        for _ in range(calls)
    ]
    return msgpack.packb(
        {
            "trace_id": trace_id,
            "trace_name": None,
            "current_thread_id": "native_1",
            "timestamp": 1.0,
            "current_commit_sha": None,
            "root_trace_id": trace_id,
            "meta": {"version": "0.2"},
            "threads": {"native_1": {"frames": frames}},
            "frames_of_interest": [],
            "frames": {},
        },
        use_bin_type=True,
    )


@pytest.fixture
def path(tmp_path: Path) -> Path:
    return tmp_path / "db.sqlite3"


@pytest.fixture
def transactions(monkeypatch: pytest.MonkeyPatch) -> list[int]:
    """The number of documents in each write transaction the store opens."""
    counts: list[int] = []
    real = store.transaction

    class Counting:
        def __init__(self, conn: sqlite3.Connection) -> None:
            self.conn = conn
            self.before = conn.total_changes
            self.inner = real(conn)

        def __enter__(self) -> None:
            self.inner.__enter__()

        def __exit__(self, *exc: object) -> None:
            self.inner.__exit__(*exc)
            counts.append(self.conn.total_changes - self.before)

    monkeypatch.setattr(store, "transaction", Counting)
    return counts


class TestWriterBatches:
    def test_documents_nobody_waits_for_share_one_transaction_in_order(self, path, transactions):
        writer.save_trace("trc_first", 60, document("trc_first"), path)  # creates the schema
        transactions.clear()
        gate = threading.Event()
        hold = writer.Job("trc_hold", document("trc_hold"), {}, path, 60)
        # A job nobody waits for that blocks the writer until the others queued.
        hold.on_done = lambda _: None
        real_store = store.store_document

        def held(job, timeout, conn=None):
            if job is hold:
                gate.wait(10)
            return real_store(job, timeout, conn)

        store.store_document = held
        try:
            writer.store(hold, wait=False)
            for _ in range(1000):  # the writer has taken it before the others come
                if writer._state.current is hold:
                    break
                threading.Event().wait(0.01)
            done = []
            for i in range(20):
                writer.save_trace(
                    f"trc_{i:02}", 60, document(f"trc_{i:02}"), path, wait=False,
                    on_done=done.append,
                )  # fmt: skip
            gate.set()
            assert writer.drain(30)
        finally:
            store.store_document = real_store
        assert done == [None] * 20
        # The held job alone, then the twenty queued behind it in one transaction.
        assert transactions == [1, 20]
        stored = [s.trace_id for s in db.list_traces(path)]
        assert sorted(stored) == sorted(
            ["trc_first", "trc_hold", *(f"trc_{i:02}" for i in range(20))]
        )
        ids = [
            row[0]
            for row in sqlite3.connect(path).execute("SELECT trace_id FROM traces ORDER BY id")
        ]
        assert ids[2:] == [f"trc_{i:02}" for i in range(20)]

    def test_a_batch_is_the_run_of_jobs_of_one_database_nobody_waits_for(self, tmp_path):
        def job(name: str, db_name: str = "a", waited: bool = False, keep: bool = True):
            made = writer.Job(name, b"", {}, tmp_path / db_name, 60, keep_aside=keep)
            made.waited_for = waited
            return made

        a1, a2, b1, a3, w, a4, k = (
            job("a1"), job("a2"), job("b1", "b"), job("a3"), job("w", waited=True), job("a4"),
            job("k", keep=False),
        )  # fmt: skip
        assert writer._next_batch(deque([a1, a2, b1, a3])) == [a1, a2]
        assert writer._next_batch(deque([a3, w, a4])) == [a3]
        assert writer._next_batch(deque([w, a4])) == [w]
        assert writer._next_batch(deque([a4, k])) == [a4]
        assert writer._next_batch(deque([k, a4])) == [k]

    def test_a_batch_the_database_refuses_is_kept_aside_document_by_document(
        self, tmp_path, caplog
    ):
        path = tmp_path / "db.sqlite3"
        path.mkdir()  # a directory where the database should be
        jobs = [
            writer.Job(f"trc_p{i}", document(f"trc_p{i}"), {}, path, 1, what="trace point")
            for i in range(3)
        ]
        mark = len(spool.kept_aside())
        with caplog.at_level(logging.WARNING, logger="vask"):
            sides = store.store_batch(jobs, 1)
        assert all(isinstance(side, Path) and side.exists() for side in sides)
        assert [k.trace_id for k in spool.kept_aside(mark)] == ["trc_p0", "trc_p1", "trc_p2"]
        assert all(spool.still_kept_aside(k) for k in spool.kept_aside(mark))
        messages = [r.getMessage() for r in caplog.records]
        assert sum("could not store trace point trc_p" in m for m in messages) == 3
        # Read back whole from their side files.
        assert [msgpack.unpackb(spool.read_side_file(s))["trace_id"] for s in sides] == [
            "trc_p0",
            "trc_p1",
            "trc_p2",
        ]

    def test_side_files_are_stored_by_the_next_batch_that_succeeds(self, path, monkeypatch):
        def refused(*args, **kwargs):
            raise sqlite3.OperationalError("database is locked")

        mark = len(spool.kept_aside())
        with monkeypatch.context() as m:
            m.setattr(store, "transaction", refused)
            (side,) = store.store_batch([writer.Job("trc_k", document("trc_k"), {}, path, 1)], 1)
        assert side.exists()
        jobs = [writer.Job(f"trc_b{i}", document(f"trc_b{i}"), {}, path, 1) for i in range(2)]
        assert store.store_batch(jobs, 1) == [None, None]
        assert not side.exists()
        (kept,) = spool.kept_aside(mark)
        assert not spool.still_kept_aside(kept)
        assert {s.trace_id for s in db.list_traces(path)} == {"trc_k", "trc_b0", "trc_b1"}

    def test_a_callback_that_raises_does_not_stop_the_writer(self, path, caplog):
        def broken(_):
            raise RuntimeError("the owner's fault")

        with caplog.at_level(logging.ERROR, logger="vask"):
            writer.save_trace("trc_cb", 60, document("trc_cb"), path, wait=False, on_done=broken)
            assert writer.drain(30)
            writer.save_trace("trc_after", 60, document("trc_after"), path)
        assert {s.trace_id for s in db.list_traces(path)} == {"trc_cb", "trc_after"}
        assert any("the owner's fault" in str(r.exc_info) for r in caplog.records)


def test_db_save_trace_is_the_writers_front_door(path):
    assert (
        db.save_trace("trc_door", msgpack_data=document("trc_door", calls=3), db_path=path) is None
    )
    (summary,) = db.list_traces(path)
    assert (summary.trace_id, summary.calls) == ("trc_door", 3)


def test_a_trace_for_the_null_device_is_thrown_away(tmp_path, monkeypatch):
    # Nothing is stored, and no side file is kept anywhere: not beside the
    # device (a directory in /dev), not in the working directory.
    monkeypatch.chdir(tmp_path)
    for wait in (True, False):
        assert (
            writer.save_trace("trc_null", 60, document("trc_null"), os.devnull, wait=wait) is None
        )
    assert writer.drain(30)
    assert list(tmp_path.iterdir()) == []
    assert not (Path(os.devnull).parent / "unsaved" / "trc_null.msgpack.zst").exists()


def test_every_module_imports_on_its_own():
    """A module imported first, in a fresh interpreter: no import circle breaks it."""
    names = sorted(
        info.name
        for info in pkgutil.walk_packages(vask.__path__, "vask.")
        if not info.name.startswith(("vask.pytest_plugin", "vask.middleware"))
    )
    assert {"vask.storage.writer", "vask.engines.follow", "vask.cli.run"} <= set(names)
    code = "import importlib, sys; importlib.import_module(sys.argv[1])"
    failed = {}
    for name in names:
        result = subprocess.run(
            [sys.executable, "-c", code, name],
            capture_output=True,
            text=True,
            timeout=60,
            check=False,
        )
        if result.returncode != 0:
            failed[name] = result.stderr.strip().splitlines()[-1:]
    assert failed == {}


def test_a_head_larger_than_a_read_is_read_whole(tmp_path):
    """The head and the process facts are read a few KiB at a time: entries larger than
    that are read on, and the facts after them found."""
    from vask.document import HEAD_READ, read_head, read_process

    args = ["--flag=" + "x" * 1000] * (3 * HEAD_READ // 1000)
    doc = msgpack.packb(
        {
            "trace_id": "trc_big_head",
            "trace_name": "n" * (2 * HEAD_READ),
            "timestamp": 100.0,
            "command_line_args": args,
            "meta": {"process": {"pid": 4242, "name": "p" * HEAD_READ}},
            "root_trace_id": "trc_big_head",
            "threads": {},
        }
    )
    head = read_head(doc)
    assert head["trace_name"] == "n" * (2 * HEAD_READ) and head["timestamp"] == 100.0
    facts = read_process(doc)
    assert facts["pid"] == 4242 and facts["name"] == "p" * HEAD_READ
    store.save_traces([("trc_big_head", doc)], db_path=tmp_path / "db.sqlite3")
    with sqlite3.connect(tmp_path / "db.sqlite3") as conn:
        assert conn.execute("SELECT trace_name, pid FROM traces").fetchall() == [
            ("n" * (2 * HEAD_READ), 4242)
        ]


def test_what_a_connection_knows_of_the_tables_follows_every_change(tmp_path):
    """A connection remembers the tables' columns and the table of pieces while the schema
    stays as it was: a change by another connection, its own, or one rolled back, is seen."""
    from vask.storage import schema

    db_path = tmp_path / "db.sqlite3"
    conn = schema.connect(db_path)
    other = sqlite3.connect(db_path, isolation_level=None)
    try:
        assert "codec" in schema.columns(conn) and schema.has_pieces(conn)
        other.execute("ALTER TABLE traces ADD COLUMN added_later TEXT")
        assert "added_later" in schema.columns(conn)
        other.execute("ALTER TABLE trace_pieces RENAME TO kept_apart")
        assert not schema.has_pieces(conn)
        conn.execute("BEGIN")
        conn.execute("ALTER TABLE kept_apart RENAME TO trace_pieces")
        conn.execute("ALTER TABLE traces ADD COLUMN undone TEXT")
        assert schema.has_pieces(conn) and "undone" in schema.columns(conn)
        conn.execute("ROLLBACK")
        assert not schema.has_pieces(conn) and "undone" not in schema.columns(conn)
    finally:
        other.close()
        conn.close()


def test_a_store_on_a_kept_open_connection_waits_as_long_as_it_is_told(tmp_path):
    """The writer's connection sets its busy timeout again only when a store asks for
    another: each store still waits for a lock as long as it was given."""
    from vask.storage import schema
    from vask.storage.writer import Job

    db_path = tmp_path / "db.sqlite3"
    conn = schema.connect(db_path)
    try:
        for n, timeout in enumerate((60.0, 60.0, 0.25, 60.0)):
            trace_id = f"trc_wait_{n}"
            doc = msgpack.packb(
                {"trace_id": trace_id, "trace_name": "t", "timestamp": 1.0, "threads": {}}
            )
            job = Job(trace_id, doc, store.read_head(doc), db_path, timeout)
            assert store.store_document(job, timeout, conn) is None
            assert conn.execute("PRAGMA busy_timeout").fetchone()[0] == int(timeout * 1000)
    finally:
        conn.close()


def test_pieces_compressed_in_one_call_are_those_compressed_one_by_one():
    """However the zstd binding is asked to (one call for every piece, or a call each),
    the frames are the same bytes, each decompressed on its own."""
    import zstandard
    from vask.storage import codec

    compressor = zstandard.ZstdCompressor(level=3)
    pieces = [os.urandom(50) * 400, memoryview(b"abc" * 70_000)[5:], b"x"]
    frames = codec.compress_each(compressor, pieces)
    assert frames == [compressor.compress(piece) for piece in pieces]
    assert all(isinstance(frame, bytes) for frame in frames)
    back = [zstandard.ZstdDecompressor().decompress(frame) for frame in frames]
    assert back == [bytes(piece) for piece in pieces]
