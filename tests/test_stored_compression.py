"""Stored documents compressed into zstd frames: every reader gets back the bytes written,
a part read anywhere, damage found, and a database of schema 2 read and then written."""

from __future__ import annotations

import hashlib
import json
import sqlite3
import subprocess
import sys
from pathlib import Path

import msgpack
import pytest
from tracedocs import big_document, document, frame
from vask import db, traceindex
from vask.storage import codec, schema, spool, store
from vask.viewer.server import Viewer

BIG = "trc_01BIGBIGBIGBIGBIGBIGBIGBIG"
SMALL = "trc_01SMALLSMALLSMALLSMALLSMA"


def vask(*args: str, cwd: Path) -> str:
    result = subprocess.run(
        [sys.executable, "-m", "vask", *args],
        cwd=cwd,
        capture_output=True,
        text=True,
        timeout=120,
        check=False,
    )
    assert result.returncode == 0, result.stderr
    return result.stdout + result.stderr


def small_document() -> bytes:
    records = [
        frame("call", 1, 100.0, "main", locals={"argv": ["x"]}),
        frame("call", 2, 100.1, "check", locals={"order": "A-1"}),
        frame("return", 2, 100.2, "check", arg="ok"),
        frame("return", 1, 100.3, "main", arg=0),
    ]
    return document(SMALL, {"native_1": records}, name="small")


@pytest.fixture(scope="module")
def stored(tmp_path_factory: pytest.TempPathFactory) -> tuple[Path, bytes, bytes]:
    path = tmp_path_factory.mktemp("compressed") / "db.sqlite3"
    big = big_document(BIG, 12_000, batch=500, needle_at=11_000)
    assert len(big) > 2 * codec.FRAME_SIZE  # several frames
    small = small_document()
    db.save_trace(BIG, msgpack_data=big, db_path=path)
    db.save_trace(SMALL, msgpack_data=small, db_path=path)
    return path, big, small


def rows(path: Path) -> list[tuple]:
    conn = sqlite3.connect(path)
    try:
        return conn.execute(
            "SELECT trace_id, size, stored, codec, dictionary, length(data) FROM traces ORDER BY id"
        ).fetchall()
    finally:
        conn.close()


class TestEveryReader:
    def test_rows_are_compressed_and_keep_the_document_size(self, stored) -> None:
        path, big, small = stored
        (big_row, small_row) = rows(path)
        assert big_row[1] == len(big) and small_row[1] == len(small)
        for _, size, stored_size, name, dictionary, length in (big_row, small_row):
            assert name == codec.CODEC and dictionary == codec.DICTIONARY_ID
            assert length == stored_size < size
        # primed with the record keys, even a trace of four calls shrinks
        assert small_row[2] < len(small) * 0.7
        assert db.list_traces(path)[0].size in (len(big), len(small))

    def test_whole_documents_and_parts_across_frame_boundaries(self, stored) -> None:
        path, big, small = stored
        assert db.load_trace(path, BIG) == [big]
        assert db.load_trace(path, SMALL) == [small]
        conn = db.connect_readonly(path)
        try:
            ((row_id, size),) = db.document_rows(conn, BIG)
            assert size == len(big)
            edge = codec.FRAME_SIZE
            for offset, n in ((0, 10), (edge - 5, 10), (2 * edge - 1, edge + 2), (size - 3, 50)):
                assert db.read_document_part(conn, row_id, offset, n) == big[offset : offset + n]
            reader = db.open_document(conn, row_id)
            try:  # backwards after forwards: each frame found again
                assert reader.read(2 * edge, 4) == big[2 * edge : 2 * edge + 4]
                assert reader.read(7, 4) == big[7:11]
            finally:
                reader.close()
        finally:
            conn.close()

    def test_index_show_and_both_exports(self, stored, tmp_path: Path) -> None:
        path, _, _ = stored
        index = traceindex.open_trace(path, BIG)
        try:
            assert not index.damaged and index.documents == 1
        finally:
            index.close()
        shown = vask("traces", "show", BIG, "--db", str(path), cwd=tmp_path)
        assert "12,000 calls" in shown or "12000" in shown.replace(",", "")
        for fmt in ("chrome", "speedscope"):
            out = tmp_path / f"{fmt}.json"
            vask("traces", "export", SMALL, "--db", str(path), "--format", fmt, "-o", str(out),
                 cwd=tmp_path)  # fmt: skip
            assert "check" in json.dumps(json.loads(out.read_text()))

    def test_viewer(self, stored) -> None:
        path, _, _ = stored
        viewer = Viewer(path)
        try:
            listed = {t["id"]: t for t in viewer.traces()}
            assert listed[SMALL]["name"] == "small" and not listed[SMALL].get("damaged")
            index = viewer.index(BIG, wait=60)
            assert index is not None and not index.damaged
        finally:
            viewer.close()

    def test_import_and_the_spool(self, stored, tmp_path: Path) -> None:
        _, big, small = stored
        target = tmp_path / "imported.sqlite3"
        file = tmp_path / "big.msgpack"
        file.write_bytes(big)
        vask("traces", "import", "--db", str(target), str(file), cwd=tmp_path)
        assert db.load_trace(target, BIG) == [big]
        assert rows(target)[0][3] == codec.CODEC
        # a document the database did not take, kept aside and stored from there
        side = spool.keep_aside(SMALL, small, target, "locked")
        store.store_kept(target, 5, None)
        assert not side.exists()
        assert db.load_trace(target, SMALL) == [small]


class TestSideFiles:
    """Side files are compressed as stored documents are; old plain ones still import."""

    def test_a_side_file_is_compressed_and_reads_back_whole(self, tmp_path: Path) -> None:
        big = big_document(BIG, 3_000, batch=500)
        side = spool.write_side_file(BIG, big, tmp_path / "db.sqlite3")
        assert side.name == f"{BIG}.msgpack.zst"
        raw = side.read_bytes()
        assert raw[:4] == b"\x5a\x2a\x4d\x18"  # a zstd skippable frame leads
        assert len(raw) * 5 < len(big)
        assert spool.read_side_file(side) == big
        # Read a part anywhere, as show and import do.
        source = traceindex.FileSource(side)
        try:
            assert source.size == len(big)
            assert source.read(len(big) - 10, 100) == big[-10:]
            assert source.read(codec.FRAME_SIZE - 3, 6) == big[codec.FRAME_SIZE - 3 :][:6]
        finally:
            source.close()

    def test_import_reads_new_and_old_side_files(self, tmp_path: Path) -> None:
        big = big_document(BIG, 3_000, batch=500)
        small = small_document()
        target = tmp_path / "db.sqlite3"
        new = spool.write_side_file(BIG, big, tmp_path / "elsewhere" / "db.sqlite3")
        old = tmp_path / f"{SMALL}.msgpack"
        old.write_bytes(small)
        out = vask("traces", "import", "--db", str(target), str(new), str(old), cwd=tmp_path)
        assert f"imported trace {BIG}" in out and f"imported trace {SMALL}" in out
        assert db.load_trace(target, BIG) == [big]
        assert db.load_trace(target, SMALL) == [small]
        summaries = {s.trace_id: s for s in db.list_traces(target)}
        assert summaries[BIG].calls == 3_000
        # Imported again: found already stored, the compressed one too.
        out = vask("traces", "import", "--db", str(target), str(new), cwd=tmp_path)
        assert "already in" in out

    def test_kept_aside_and_stored_from_a_compressed_side_file(self, tmp_path: Path) -> None:
        small = small_document()
        target = tmp_path / "db.sqlite3"
        side = spool.keep_aside(SMALL, small, target, "locked")
        assert side.suffixes[-2:] == [".msgpack", ".zst"]
        store.store_kept(target, 5, None)
        assert not side.exists()
        assert db.load_trace(target, SMALL) == [small]

    def test_a_damaged_compressed_side_file_is_refused_cleanly(self, tmp_path: Path) -> None:
        side = spool.write_side_file(SMALL, small_document(), tmp_path / "db.sqlite3")
        raw = bytearray(side.read_bytes())
        raw[12:16] = b"nope"  # the mark in the leading frame
        side.write_bytes(bytes(raw))
        with pytest.raises(ValueError, match="damaged"):
            spool.read_side_file(side)
        result = subprocess.run(
            [sys.executable, "-m", "vask", "traces", "import", "--db",
             str(tmp_path / "db.sqlite3"), str(side)],
            cwd=tmp_path, capture_output=True, text=True, timeout=120, check=False,
        )  # fmt: skip
        assert result.returncode == 1
        assert "cannot import" in result.stderr + result.stdout
        assert "Traceback" not in result.stderr


class TestDamage:
    def test_a_damaged_frame_reads_short_and_is_found(self, tmp_path: Path) -> None:
        path = tmp_path / "db.sqlite3"
        big = big_document(BIG, 8_000, batch=500)
        db.save_trace(BIG, msgpack_data=big, db_path=path)
        conn = sqlite3.connect(path)
        (data, table) = conn.execute("SELECT data, frames FROM traces").fetchone()
        _, lengths = codec.read_frame_table(table)
        broken = bytearray(data)
        broken[lengths[0] + 100] ^= 0xFF  # inside the second frame
        conn.execute("UPDATE traces SET data = ?", (bytes(broken),))
        conn.commit()
        conn.close()
        (got,) = db.load_trace(path, BIG)
        assert got == big[: codec.FRAME_SIZE]  # the first frame, never other bytes
        index = traceindex.open_trace(path, BIG)
        try:
            assert index.damaged
        finally:
            index.close()

    def test_cut_rows_and_unknown_dictionaries(self, tmp_path: Path) -> None:
        path = tmp_path / "db.sqlite3"
        db.save_trace(SMALL, msgpack_data=small_document(), db_path=path)
        db.save_trace(BIG, msgpack_data=small_document().replace(SMALL.encode(), BIG.encode()),
                      db_path=path)  # fmt: skip
        conn = sqlite3.connect(path)
        conn.execute("UPDATE traces SET data = substr(data, 1, 20) WHERE trace_id = ?", (SMALL,))
        conn.execute("UPDATE traces SET dictionary = 99 WHERE trace_id = ?", (BIG,))
        conn.commit()
        conn.close()
        damage = db.find_damage(path)
        assert "truncated" in damage[SMALL][0][1]
        assert damage[BIG]
        assert db.load_trace(path, BIG) == [b""]

    def test_the_shipped_dictionary_never_changes(self) -> None:
        # documents name it by id: new content needs a new id
        assert hashlib.sha256(codec._DICTIONARIES[1]).hexdigest()[:16] == "270c287aac22e332"


def schema_2_database(path: Path, documents: list[tuple[str, bytes]]) -> None:
    """A database as vask wrote it before compression: schema 2, documents as written."""
    conn = sqlite3.connect(path)
    for steps in schema._MIGRATIONS[:2]:
        for statement in steps:
            conn.execute(statement)
    for trace_id, data in documents:
        conn.execute(
            "INSERT INTO traces (trace_id, root_trace_id, trace_name, timestamp, stored_at, size,"
            " calls, data, outcome, pieces) VALUES (?, ?, 'old', 1.0, 1.0, ?, 2, ?, NULL, 0)",
            (trace_id, trace_id, len(data), data),
        )
    conn.execute("PRAGMA user_version = 2")
    conn.commit()
    conn.close()


def test_a_schema_2_database_is_read_then_written(tmp_path: Path) -> None:
    path = tmp_path / "old.sqlite3"
    old = small_document()
    schema_2_database(path, [(SMALL, old)])
    # read as it is, and reading changes nothing
    assert db.load_trace(path, SMALL) == [old]
    shown = vask("traces", "show", SMALL, "--db", str(path), cwd=tmp_path)
    assert "check" in shown
    conn = sqlite3.connect(path)
    assert conn.execute("PRAGMA user_version").fetchone()[0] == 2
    conn.close()
    # written: upgraded, the new document compressed, the old one as it was
    new = big_document(BIG, 3_000)
    db.save_trace(BIG, msgpack_data=new, db_path=path)
    conn = sqlite3.connect(path)
    assert conn.execute("PRAGMA user_version").fetchone()[0] == 3
    conn.close()
    assert [(r[0], r[3]) for r in rows(path)] == [(SMALL, None), (BIG, codec.CODEC)]
    assert db.load_trace(path, SMALL) == [old]
    assert db.load_trace(path, BIG) == [new]
    assert db.find_damage(path) == {}
    index = traceindex.open_trace(path, SMALL)
    try:
        assert not index.damaged
    finally:
        index.close()
    decoded = msgpack.unpackb(db.load_trace(path, BIG)[0], raw=False, strict_map_key=False)
    assert decoded["trace_id"] == BIG


@pytest.mark.parametrize("threads", [0, 2])
def test_frames_come_in_the_order_asked_worked_on_and_damaged_ones_as_none(threads: int) -> None:
    from concurrent.futures import ThreadPoolExecutor

    size = codec.FRAME_SIZE
    data = bytes(range(256)) * (5 * size // 256 + 7)  # six frames, the last short
    packed = codec.compress(lambda offset, n: data[offset : offset + n], len(data))
    stored = bytearray(b"".join(packed.frames))
    damaged_at = sum(len(f) for f in packed.frames[:3])
    stored[damaged_at + len(packed.frames[3]) // 2] ^= 0xFF  # frame 3 no longer decompresses
    cache = codec.FrameCache(3 * size)
    reader = codec.FrameReader(
        lambda offset, n: bytes(stored[offset : offset + n]),
        len(data),
        packed.dictionary_id,
        packed.table(),
        cache,
        "doc",
    )
    assert reader.read(size + 5, 10) == data[size + 5 : size + 15]  # frame 1 held already
    pool = ThreadPoolExecutor(threads) if threads else None
    try:
        wanted = [5, 1, 3, 0, 9, 2]
        got = list(reader.frames(wanted, pool, lambda i, frame: (i, len(frame)), max(threads, 1)))
    finally:
        if pool is not None:
            pool.shutdown()
    assert [i for i, _, _ in got] == wanted
    for i, frame, worked in got:
        if i in (3, 9):  # damaged; past the last frame
            assert frame is None and worked is None
        else:
            assert frame == data[i * size : (i + 1) * size]
            assert worked == (i, len(frame))
    assert cache.held <= 3 * size
