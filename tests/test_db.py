"""Trace storage: saving and reading back (with each backend: SQLite and PostgreSQL), and of
SQLite files their permissions, locking and schema."""

from __future__ import annotations

import sqlite3
import stat
import time
from contextlib import closing

import msgpack
import pytest
from vask import db


def frame(event: str, frame_id: str) -> bytes:
    # Same key order as the engines' frame records.
    return msgpack.packb(
        {
            "path": "app.py:1",
            "co_name": "f",
            "qualname": "f",
            "event": event,
            "frame_id": frame_id,
            "arg": None,
            "locals": {},
            "timestamp": 1.0,
            "type": "frame",
            "user_code_call_site": None,
        }
    )


def document(trace_id="trc_1", name=None, root=None, calls=1, extra=None, point=None) -> bytes:
    frames = [frame("call", f"frm_{i:026d}") for i in range(calls)]
    frames += [frame("return", f"frm_{i:026d}") for i in range(calls)]
    return msgpack.packb(
        {
            "trace_id": trace_id,
            "trace_name": name,
            "current_thread_id": "native_1",
            "timestamp": 1700000000.5,
            "current_commit_sha": None,
            "root_trace_id": root or trace_id,
            "meta": {"version": "0", "blob": extra, **({"trace_point": point} if point else {})},
            "command_line_args": [],
            "threads": {"native_1": {"name": "MainThread", "frames": frames}},
            "frames_of_interest": [],
            "frames": {},
        }
    )


@pytest.fixture
def path(tmp_path):
    return tmp_path / "store" / "traces.sqlite3"


def save(path, trace_id, data, timeout=1):
    db.save_trace(trace_id, timeout=timeout, msgpack_data=data, db_path=path, keep_aside=False)


class TestSaveAndRead:
    @pytest.fixture
    def path(self, database):
        return database

    def test_round_trip_keeps_every_document(self, path):
        first, second = document(name="first"), document(name=None, calls=3)
        save(path, "trc_1", first)
        save(path, "trc_1", second)
        assert db.load_trace(path, "trc_1") == [first, second]
        assert db.load_trace(path, "trc_other") == []
        [summary] = db.list_traces(path)
        assert summary.trace_id == "trc_1"
        assert summary.documents == 2
        assert summary.size == len(first) + len(second)
        assert summary.calls == 1 + 3
        assert summary.trace_name == "first"  # the latest that has a name
        assert summary.timestamp == 1700000000.5

    def test_columns_come_from_the_document_head(self, path):
        save(path, "trc_c", document("trc_c", name="GET / 200", root="trc_root", calls=2))
        with closing(db.connect(path)) as conn:
            row = conn.execute(
                "SELECT trace_id, root_trace_id, trace_name, size, calls, stored_at FROM traces"
            ).fetchone()
        assert row[:5] == (
            "trc_c",
            "trc_root",
            "GET / 200",
            len(document("trc_c", "GET / 200", "trc_root", 2)),
            2,
        )
        assert abs(row[5] - time.time()) < 60

    def test_list_is_newest_first_and_limited(self, path):
        for i in range(4):
            save(path, f"trc_{i}", document(f"trc_{i}"))
        save(path, "trc_0", document("trc_0"))  # stored again: newest now
        ids = [s.trace_id for s in db.list_traces(path)]
        assert ids == ["trc_0", "trc_3", "trc_2", "trc_1"]
        assert [s.trace_id for s in db.list_traces(path, limit=2)] == ["trc_0", "trc_3"]

    def test_reading_a_missing_database_creates_nothing(self, path):
        assert db.list_traces(path) == []
        assert db.load_trace(path, "trc_1") == []
        assert db.delete_traces(path, ["trc_1"]) == 0
        assert db.prune(path, 1) == 0
        assert isinstance(path, str) or not path.parent.exists()

    def test_delete_takes_subtrees_along(self, path):
        save(path, "trc_root", document("trc_root"))
        save(path, "trc_sub", document("trc_sub", root="trc_root"))
        save(path, "trc_other", document("trc_other"))
        assert db.delete_traces(path, ["trc_root"]) == 2
        assert [s.trace_id for s in db.list_traces(path)] == ["trc_other"]
        assert db.delete_traces(path, "trc_other") == 1

    def test_prune_keeps_the_newest_roots(self, path):
        for name in ("old", "mid", "new"):
            save(path, f"trc_{name}", document(f"trc_{name}"))
            save(path, f"trc_{name}_sub", document(f"trc_{name}_sub", root=f"trc_{name}"))
        assert db.prune(path, 2) == 2
        remaining = {s.trace_id for s in db.list_traces(path)}
        assert remaining == {"trc_mid", "trc_mid_sub", "trc_new", "trc_new_sub"}
        with pytest.raises(ValueError):
            db.prune(path, -1)

    def test_call_count_ignores_other_records(self, path):
        # Only "call" frame records count: not returns, nor user maps that
        # look alike.
        data = document(calls=2, extra={"event": "call", "frame_id": "frm_1", "x": "event call"})
        save(path, "trc_1", data)
        assert db.list_traces(path)[0].calls == 2


POINT = {"co_name": "handle", "thread": "native_1", "frame_id": "frm_X"}


class TestTracePoints:
    @pytest.fixture
    def path(self, database):
        return database

    def test_trace_points_are_told_from_subtrees_and_counted_apart(self, path):
        save(path, "trc_root", document("trc_root", calls=3))
        save(path, "trc_sub", document("trc_sub", root="trc_root", calls=2))
        point = document("trc_tp", name="handle", root="trc_root", point=POINT)
        # its "meta" entry lies beyond the first part read of the document
        far = document("trc_far", root="trc_root", extra="x" * 6000, point=POINT)
        elsewhere = document("trc_tp2", root="trc_gone", point=POINT)
        db.save_traces([("trc_tp", point), ("trc_far", far), ("trc_tp2", elsewhere)], db_path=path)
        points = db.trace_points(path)
        assert set(points) == {"trc_tp", "trc_far", "trc_tp2"}
        assert points["trc_tp"] == db.TracePoint(
            "trc_tp", "trc_root", "handle", "native_1", "frm_X", 1700000000.5, 1, len(point), 1
        )
        assert set(db.trace_points(path, "trc_root")) == {"trc_tp", "trc_far"}
        totals = db.root_totals(path)
        root = totals["trc_root"]
        assert (root.documents, root.subtrees, root.calls, root.subtree_calls) == (2, 1, 5, 2)
        assert root.trace_points == 2 and root.size == len(document("trc_root", calls=3)) + len(
            document("trc_sub", root="trc_root", calls=2)
        )
        assert db.root_totals(path, "trc_root") == {"trc_root": root}
        assert totals["trc_gone"].trace_points == 1 and totals["trc_gone"].documents == 0
        assert db.delete_traces(path, ["trc_root"]) == 4  # its trace points go with it

    def test_save_traces_stores_all_or_none(self, path):
        db.save_traces([("trc_a", document("trc_a")), ("trc_b", document("trc_b"))], db_path=path)
        with pytest.raises(ValueError):
            db.save_traces([("trc_c", document("trc_c")), ("trc_d", b"\x01")], db_path=path)
        assert {s.trace_id for s in db.list_traces(path)} == {"trc_a", "trc_b"}
        db.save_traces([], db_path=path)


class TestCreation:
    def test_private_directory_and_file_wal_mode(self, path):
        save(path, "trc_1", document())
        assert stat.S_IMODE(path.parent.stat().st_mode) == 0o700
        assert stat.S_IMODE(path.stat().st_mode) == 0o600
        with closing(db.connect(path)) as conn:
            assert conn.execute("PRAGMA journal_mode").fetchone()[0] == "wal"
            assert conn.execute("PRAGMA user_version").fetchone()[0] == db.SCHEMA_VERSION

    def test_existing_directory_keeps_its_mode(self, tmp_path):
        tmp_path.chmod(0o755)
        save(tmp_path / "t.db", "trc_1", document())
        assert stat.S_IMODE(tmp_path.stat().st_mode) == 0o755

    def test_newer_schema_is_refused(self, path):
        save(path, "trc_1", document())
        with closing(db.connect(path)) as conn:
            conn.execute(f"PRAGMA user_version = {db.SCHEMA_VERSION + 1}")
        with pytest.raises(sqlite3.DatabaseError, match="newer"):
            save(path, "trc_2", document())

    def test_unwritable_location_names_the_path(self, tmp_path):
        blocker = tmp_path / "file"
        blocker.write_text("not a directory")
        target = blocker / "traces.sqlite3"
        with pytest.raises(OSError) as info:
            save(target, "trc_1", document())
        assert str(blocker) in str(info.value)

    @pytest.mark.parametrize(
        "data, error",
        [
            (b"\x93\x01\x02\x03", ValueError),
            (b"", ValueError),
            ("text", TypeError),
            (None, TypeError),
        ],
    )
    def test_non_documents_are_refused_before_touching_the_db(self, path, data, error):
        with pytest.raises(error):
            save(path, "trc_1", data)
        assert not path.exists()


class TestLocking:
    def test_locked_database_raises_after_the_busy_timeout(self, path):
        save(path, "trc_1", document())
        holder = sqlite3.connect(str(path), isolation_level=None)
        try:
            holder.execute("BEGIN IMMEDIATE")
            holder.execute(
                "INSERT INTO traces (trace_id, stored_at, size, calls, data)"
                " VALUES ('x', 0, 0, 0, x'')"
            )
            for timeout in (0, 1):
                started = time.monotonic()
                with pytest.raises(sqlite3.OperationalError, match="locked") as info:
                    save(path, "trc_2", document(), timeout=timeout)
                waited = time.monotonic() - started
                assert str(path) in str(info.value)
                if timeout:
                    assert waited >= 0.9 * timeout  # it did wait, not fail at once
        finally:
            holder.execute("ROLLBACK")
            holder.close()
        save(path, "trc_2", document(), timeout=0)
        assert [s.trace_id for s in db.list_traces(path)] == ["trc_2", "trc_1"]
