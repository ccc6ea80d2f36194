"""A database that cannot take the trace: the Python API keeps it aside and says where.

``vask.disable()``, ``with vask.enabled()``, ``Profiler.save`` and the
background upload never lose a trace to a locked database and never raise
into the program because of it; the warning on the "vask" logger names the
side file, which ``vask traces import`` stores later.
"""

from __future__ import annotations

import logging
import sqlite3
import textwrap
from collections.abc import Iterator
from pathlib import Path

import msgpack
import pytest
import vask
import vask.cli
from test_pytest_plugin import run
from vask import db
from vask.storage import spool
from vask.profiler import Profiler

CONFIG = {"threading": False, "sqlite_busy_timeout": 0}


def leaf(n: int) -> int:
    return n + 1


@pytest.fixture
def db_path(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> Path:
    monkeypatch.chdir(tmp_path)
    path = tmp_path / ".vask" / "db.sqlite3"
    db.connect(path).close()
    return path


@pytest.fixture
def locked(db_path: Path) -> Iterator[sqlite3.Connection]:
    holder = sqlite3.connect(str(db_path), isolation_level=None)
    holder.execute("BEGIN EXCLUSIVE")
    yield holder
    holder.close()


def warnings_of(caplog: pytest.LogCaptureFixture) -> list[str]:
    return [r.getMessage() for r in caplog.records if r.name == "vask"]


def called(data: bytes, name: str) -> list[int]:
    doc = msgpack.unpackb(data, raw=False, strict_map_key=False)
    return [
        r["locals"]["n"]
        for t in doc["threads"].values()
        for r in t["frames"]
        if r.get("co_name") == name and r.get("event") == "call"
    ]


def test_disable_keeps_the_trace_aside_and_import_stores_it(
    db_path: Path, locked: sqlite3.Connection, caplog: pytest.LogCaptureFixture
) -> None:
    caplog.set_level(logging.WARNING, logger="vask")
    vask.enable(config=CONFIG, db_path=db_path)
    leaf(1)
    trace_id = vask.disable()  # does not raise
    (message,) = warnings_of(caplog)
    (side,) = (db_path.parent / "unsaved").iterdir()
    assert side.name == f"{trace_id}.msgpack.zst"
    assert f"could not store trace {trace_id}" in message and "locked" in message
    assert f"it is kept in {side}" in message and f"vask traces import {side}" in message
    assert called(spool.read_side_file(side), "leaf") == [1]

    locked.rollback()
    assert vask.cli.main(["traces", "import", str(side), "--db", str(db_path)]) == 0
    assert [s.trace_id for s in db.list_traces(db_path)] == [trace_id]


def test_a_block_that_ends_normally_does_not_raise(
    db_path: Path, locked: sqlite3.Connection, caplog: pytest.LogCaptureFixture
) -> None:
    caplog.set_level(logging.WARNING, logger="vask")
    with vask.enabled(config=CONFIG, db_path=db_path) as profiler:
        leaf(2)
    (side,) = profiler.side_files
    assert str(side) in warnings_of(caplog)[0]
    assert called(spool.read_side_file(side), "leaf") == [2]
    assert vask.current_profiler() is None


def test_what_no_file_takes_stays_in_memory_for_the_next_save(
    db_path: Path,
    locked: sqlite3.Connection,
    caplog: pytest.LogCaptureFixture,
    monkeypatch: pytest.MonkeyPatch,
) -> None:
    def no_room(*args: object, **kwargs: object) -> Path:
        raise OSError(28, "No space left on device")

    caplog.set_level(logging.WARNING, logger="vask")
    monkeypatch.setattr(spool, "write_side_file", no_room)
    profiler = Profiler(config=CONFIG, db_path=db_path)
    profiler.start()
    try:
        leaf(1)
        assert profiler.save() == profiler.trace_id
        assert any("stays in memory" in w for w in warnings_of(caplog))
        leaf(2)
        locked.rollback()
        profiler.save()
    finally:
        profiler.stop()
    documents = db.load_trace(db_path, profiler.trace_id)
    assert [called(d, "leaf") for d in documents] == [[1], [2]]


def test_a_background_upload_keeps_the_trace_aside(
    db_path: Path, locked: sqlite3.Connection, caplog: pytest.LogCaptureFixture
) -> None:
    profiler = Profiler(config=CONFIG, db_path=db_path)
    profiler.start()
    leaf(3)
    profiler.stop()
    worker = profiler.upload_trace_in_thread()
    worker.join()
    assert isinstance(worker.error, sqlite3.OperationalError)
    (side,) = profiler.side_files
    assert called(spool.read_side_file(side), "leaf") == [3]


def test_pytest_summary_counts_the_test_traces_that_could_not_be_stored(tmp_path: Path) -> None:
    (tmp_path / "conftest.py").write_text(
        textwrap.dedent(
            """
            import sqlite3
            import vask.db

            def locked(trace_id, **kwargs):
                raise sqlite3.OperationalError("database is locked")

            vask.db.save_trace = locked
            """
        )
    )
    (tmp_path / "test_two.py").write_text("def test_a():\n    pass\n\ndef test_b():\n    pass\n")
    result = run(["-m", "pytest", "--vask", "-p", "no:cacheprovider"], tmp_path)
    assert "2 passed" in result.stdout
    assert "attempts to store a test's trace failed (database is locked)" in result.stdout


def test_pytest_summary_says_where_the_traces_the_database_refused_are_kept(
    tmp_path: Path,
) -> None:
    (tmp_path / "conftest.py").write_text(
        textwrap.dedent(
            """
            import sqlite3
            import vask.storage.store

            def locked(*args, **kwargs):
                raise sqlite3.OperationalError("database is locked")

            vask.storage.store.transaction = locked
            """
        )
    )
    (tmp_path / "test_two.py").write_text("def test_a():\n    pass\n\ndef test_b():\n    pass\n")
    result = run(["-m", "pytest", "--vask", "-p", "no:cacheprovider"], tmp_path)
    assert "2 passed" in result.stdout
    kept = tmp_path / ".vask" / "unsaved"
    sides = sorted(kept.glob("*.msgpack.zst"))
    assert len(sides) == 2
    assert (
        f"vask: 2 traces the database did not take (database is locked) are kept in {kept}; "
        f"store them with: vask traces import --db {tmp_path / '.vask' / 'db.sqlite3'} "
        f"{kept}/*.msgpack*"
    ) in result.stdout
    db_path = tmp_path / ".vask" / "db.sqlite3"
    assert vask.cli.main(["traces", "import", "--db", str(db_path), *map(str, sides)]) == 0
    assert sorted(s.trace_name for s in db.list_traces(db_path)) == [
        "test_two.py::test_a",
        "test_two.py::test_b",
    ]


def test_pytest_summary_names_no_database_vask_refuses_for_the_traces_kept(
    tmp_path: Path,
) -> None:
    shared = tmp_path / "shared"
    shared.mkdir()
    shared.chmod(0o1777)  # like /tmp: others may write in it
    (tmp_path / "test_one.py").write_text("def test_a():\n    pass\n")
    refused = shared / "db.sqlite3"
    argv = ["-m", "pytest", "--vask", f"--vask-db={refused}", "-p", "no:cacheprovider"]
    result = run(argv, tmp_path)
    assert "1 passed" in result.stdout
    kept = tmp_path / ".vask" / "unsaved"
    assert len(list(kept.glob("*.msgpack.zst"))) == 1
    assert f"refusing to write into {shared}" in result.stdout
    assert (
        f"store it in a database of your own with: vask traces import --db DB {kept}/*.msgpack*"
    ) in result.stdout
    assert f"--db {refused}" not in result.stdout


def test_a_store_committed_though_it_failed_is_not_stored_again_from_its_side_file(
    db_path: Path, monkeypatch: pytest.MonkeyPatch
) -> None:
    # the connection lost as the database answered: the commit made, an error seen
    from contextlib import contextmanager

    from tracedocs import document, frame
    from vask.storage import query, schema, store, writer

    real = store.transaction
    failing = {"once": True}

    @contextmanager
    def committed_then_lost(conn):  # type: ignore[no-untyped-def]
        with real(conn):
            yield
        if failing.pop("once", False):
            raise sqlite3.OperationalError("disk I/O error")

    monkeypatch.setattr(store, "transaction", committed_then_lost)
    calls = [frame("call", 1, 1.0, "main"), frame("return", 1, 2.0, "main", arg=1)]
    side = writer.save_trace("trc_lost", 10, document("trc_lost", {"n_1": calls}), db_path)
    assert side is not None and side.exists()
    # the next store that succeeds stores what was kept aside: here, nothing more
    assert writer.save_trace("trc_next", 10, document("trc_next", {"n_1": calls}), db_path) is None
    assert not side.exists()
    conn = schema.connect(db_path)
    try:
        assert len(query.document_rows(conn, "trc_lost")) == 1
        assert len(query.document_rows(conn, "trc_next")) == 1
    finally:
        conn.close()
