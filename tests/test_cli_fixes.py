"""The vask command and the store on the edges: programs that change directory or exit
with a bool, flushed subtrees in the counts, damaged and orphaned rows, exported files."""

from __future__ import annotations

import errno
import json
import os
import sqlite3
import stat
import sys
import textwrap
from contextlib import closing
from pathlib import Path

import msgpack
import pytest
from test_cli import ROOT, document, frame, vask_cmd
import vask.cli as cli
from vask import document as vask_document
from vask import db

# -- vask run --------------------------------------------------------------


def test_script_that_changes_directory_finds_its_files_and_the_trace_is_reported(
    tmp_path: Path,
) -> None:
    (tmp_path / "sub").mkdir()
    (tmp_path / "sub" / "data.txt").write_text("beside the script")
    (tmp_path / "sub" / "prog.py").write_text(
        textwrap.dedent(
            """
            import os, sys
            here = os.path.dirname(__file__)
            os.chdir("/")
            with open(os.path.join(here, "data.txt")) as f:
                print(f.read(), sys.argv[0], os.path.isabs(__file__))
            """
        )
    )
    result = vask_cmd("run", "sub/prog.py", cwd=tmp_path)
    assert result.stdout == "beside the script sub/prog.py True\n"
    assert "saved in .vask/db.sqlite3" in result.stderr  # relative to where vask started
    assert (tmp_path / ".vask" / "db.sqlite3").exists()

    # The side file of an unstorable trace lands where vask started, too.
    (tmp_path / "blocker").write_text("a file, not a directory")
    result = vask_cmd("run", "--db", "blocker/db.sqlite3", "sub/prog.py", cwd=tmp_path)
    (side,) = (tmp_path / ".vask" / "unsaved").iterdir()
    assert f"vask traces import .vask/unsaved/{side.name}" in result.stderr
    assert "Not a directory" in result.stderr and "None:" not in result.stderr


@pytest.mark.parametrize(("code", "status"), [("False", 0), ("True", 1), ("0", 0), ("258", 2)])
def test_exit_with_bool_or_int_is_silent_like_python(
    tmp_path: Path, code: str, status: int
) -> None:
    (tmp_path / "bye.py").write_text(f"import sys\nsys.exit({code})\n")
    result = vask_cmd("run", "bye.py", cwd=tmp_path, check=status)
    assert result.stderr.startswith("vask: trace trc_")  # nothing printed before it


def test_run_summary_list_and_show_count_flushed_subtrees(tmp_path: Path) -> None:
    (tmp_path / "deep.py").write_text(
        textwrap.dedent(
            """
            def leaf(i):
                return i * 2
            def mid(n):
                return [leaf(i) for i in range(n)]
            def top():
                return [mid(12) for _ in range(12)]
            top()
            """
        )
    )
    result = vask_cmd("run", "--flush-subtree-mb", "0.01", "deep.py", cwd=tmp_path)
    path = tmp_path / ".vask" / "db.sqlite3"
    with closing(db.connect(path)) as conn:
        rows = conn.execute("SELECT trace_id, root_trace_id, calls, size FROM traces").fetchall()
    (root,) = {r[1] for r in rows}
    subtrees = {r[0] for r in rows} - {root}
    total = sum(r[2] for r in rows)
    in_subtrees = sum(r[2] for r in rows if r[0] != root)
    assert len(subtrees) > 1 and 0 < in_subtrees <= total
    expected = f"{total:,} calls ({in_subtrees:,} in {len(subtrees)} subtrees stored apart)"
    assert f"{expected} recorded in 1 thread" in result.stderr

    listing = {
        t["trace_id"]: t
        for t in json.loads(vask_cmd("traces", "list", "--json", cwd=tmp_path).stdout)
    }
    assert listing[root]["total_calls"] == total
    assert listing[root]["total_size"] == sum(r[3] for r in rows)
    assert listing[root]["subtrees"] == len(subtrees)
    assert all("total_calls" not in listing[s] for s in subtrees)
    (line,) = [
        x
        for x in vask_cmd("traces", "list", cwd=tmp_path).stdout.splitlines()
        if x.startswith(root)
    ]
    assert f" {total:,} " in line and f"[{in_subtrees:,} calls in {len(subtrees)} subtrees" in line

    header = vask_cmd("traces", "show", root, "--depth", "1", cwd=tmp_path).stdout.splitlines()[1]
    assert expected in header


# -- vask traces -----------------------------------------------------------


def test_list_reads_no_document_in_full_and_still_names_damage(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch, capsys: pytest.CaptureFixture[str]
) -> None:
    path = tmp_path / "t.db"
    big = document(ROOT, {"native_1": [frame("call", i, 100.0 + i) for i in range(200)]})
    db.save_trace(ROOT, msgpack_data=big, db_path=path)
    cut, garbage = "trc_01CUTCUTCUTCUTCUTCUTCUTCUT", "trc_01GARBAGEGARBAGEGARBAGEGAR"
    db.save_trace(cut, msgpack_data=document(cut, {"native_1": []}), db_path=path)
    db.save_trace(garbage, msgpack_data=big.replace(ROOT.encode(), garbage.encode()), db_path=path)
    with closing(db.connect(path)) as conn:  # damage at rest, after storing
        conn.execute("UPDATE traces SET data = substr(data, 1, 40) WHERE trace_id = ?", (cut,))
        (data,) = conn.execute("SELECT data FROM traces WHERE trace_id = ?", (garbage,)).fetchone()
        conn.execute(  # the head overwritten, the length unchanged
            "UPDATE traces SET data = ? WHERE trace_id = ?", (b"\xc1" * 4 + data[4:], garbage)
        )

    def no_full_reads(*args: object, **kwargs: object) -> None:
        raise AssertionError("list read a whole document")

    monkeypatch.setattr(db, "load_trace", no_full_reads)
    monkeypatch.setattr(vask_document, "check_document", no_full_reads)
    assert cli.main(["traces", "list", "--json", "--db", str(path)]) == 0
    out, err = capsys.readouterr()
    damaged = {t["trace_id"]: t["damaged"] for t in json.loads(out)}
    assert damaged[ROOT] == []
    assert damaged[cut][0]["reason"].startswith("truncated: 40 of ")
    # the stored (compressed) head overwritten: its first frame does not decompress
    assert "does not decompress" in damaged[garbage][0]["reason"]
    assert f"trace {cut}: document 1 is damaged" in err


def disk_size(path: Path) -> int:
    return sum(p.stat().st_size for p in (path, Path(f"{path}-wal")) if p.exists())


def test_delete_orphaned_subtrees_and_shrink_the_file(tmp_path: Path) -> None:
    path = tmp_path / ".vask" / "db.sqlite3"
    never_stored = "trc_01NEVERSTOREDROOTNEVERSTOR"
    # bytes that do not compress: each document stores about 200 KB
    blob = {"native_1": [frame("call", 1, 100.0, locals={"pad": os.urandom(200_000)})]}
    for n in range(3):
        sub = f"trc_01SUB{n}SUBSUBSUBSUBSUBSUBSU"
        data = msgpack.unpackb(document(sub, blob))
        data["root_trace_id"] = never_stored
        db.save_trace(sub, msgpack_data=msgpack.packb(data), db_path=path)
    kept = "trc_01KEPTKEPTKEPTKEPTKEPTKEPT"
    db.save_trace(kept, msgpack_data=document(kept, {"native_1": []}), db_path=path)
    before = disk_size(path)

    result = vask_cmd("traces", "delete", never_stored, cwd=tmp_path)
    assert "deleted 1 trace (3 documents); freed " in result.stderr
    assert [s.trace_id for s in db.list_traces(path)] == [kept]
    assert disk_size(path) < before - 500_000
    assert stat.S_IMODE(path.stat().st_mode) == 0o600

    result = vask_cmd("traces", "delete", "trc_NOPE", cwd=tmp_path, check=1)
    assert "no trace trc_NOPE" in result.stderr


def test_export_is_private(tmp_path: Path) -> None:
    path = tmp_path / ".vask" / "db.sqlite3"
    db.save_trace(
        ROOT, msgpack_data=document(ROOT, {"native_1": [frame("call", 1, 1.0)]}), db_path=path
    )
    vask_cmd("traces", "export", ROOT, "-o", "out.json", cwd=tmp_path)
    assert stat.S_IMODE((tmp_path / "out.json").stat().st_mode) == 0o600
    assert json.loads((tmp_path / "out.json").read_text())["otherData"]["trace_id"] == ROOT
    assert [p.name for p in tmp_path.iterdir() if p.name.startswith(".out")] == []


def test_import_takes_what_show_can_read(tmp_path: Path) -> None:
    (tmp_path / "id_only.msgpack").write_bytes(msgpack.packb({"trace_id": ROOT}))
    (tmp_path / "list.msgpack").write_bytes(msgpack.packb([1, 2]))
    no_id = msgpack.unpackb(document(ROOT, {"native_1": []}))
    no_id["trace_id"] = 7
    (tmp_path / "no_id.msgpack").write_bytes(msgpack.packb(no_id))
    (tmp_path / "good.msgpack").write_bytes(document(ROOT, {"native_1": [frame("call", 1, 1.0)]}))
    names = ["id_only", "list", "no_id", "good"]
    result = vask_cmd("traces", "import", *(f"{n}.msgpack" for n in names), cwd=tmp_path, check=1)
    lines = result.stderr.splitlines()
    assert (
        lines[0] == "vask: error: cannot import id_only.msgpack: not a trace document (no threads)"
    )
    assert lines[1].startswith("vask: error: cannot import list.msgpack: not a trace document (")
    assert lines[2] == (
        "vask: error: cannot import no_id.msgpack: not a trace document (it has no trace id)"
    )
    assert lines[3].startswith(f"vask: imported trace {ROOT} (1 calls)")
    assert [s.trace_id for s in db.list_traces(tmp_path / ".vask" / "db.sqlite3")] == [ROOT]
    vask_cmd("traces", "show", ROOT, cwd=tmp_path)


# -- storage errors --------------------------------------------------------


def test_storage_errors_keep_their_reason_and_name_the_database(tmp_path: Path) -> None:
    (tmp_path / "file").write_text("not a directory")
    target = tmp_path / "file" / "sub" / "t.db"
    with pytest.raises(NotADirectoryError) as info:
        db.connect(target)
    error = info.value
    assert error.errno == errno.ENOTDIR
    assert error.filename == str(tmp_path / "file" / "sub")
    assert error.strerror == f"Not a directory (database {target})"

    (tmp_path / "junk.db").write_bytes(b"junk" * 1024)
    with pytest.raises(sqlite3.DatabaseError) as info:
        db.connect(tmp_path / "junk.db")
    assert str(info.value) == f"file is not a database (database {tmp_path / 'junk.db'})"
    if sys.version_info >= (3, 11):
        assert info.value.sqlite_errorname == "SQLITE_NOTADB"
