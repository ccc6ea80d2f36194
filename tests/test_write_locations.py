"""Where vask writes: only into directories and files that are the user's own.

A shared directory (``/tmp``) lets another user plant a ``.vask`` directory, a
database file or a symbolic link for vask to write the trace through.  The
tests make such places themselves: modes and links always, other owners with
``os.chown`` where the test runs as root (as CI does).
"""

from __future__ import annotations

import os
import stat
import sys
import tempfile
from pathlib import Path

import msgpack
import pytest
from vask import _paths, db

needs_root = pytest.mark.skipif(
    not hasattr(os, "geteuid") or os.geteuid() != 0, reason="chown to another user needs root"
)
pytestmark = pytest.mark.skipif(sys.platform == "win32", reason="POSIX owners and modes")
OTHER_UID = 54321


def document(trace_id: str = "trc_01LOCATIONLOCATIONLOCATION") -> bytes:
    return msgpack.packb(
        {"trace_id": trace_id, "timestamp": 1.0, "threads": {}, "root_trace_id": trace_id}
    )


def save(path: Path) -> None:
    db.save_trace("trc_1", timeout=0, msgpack_data=document(), db_path=path, keep_aside=False)


@pytest.fixture
def shared(tmp_path: Path) -> Path:
    """A directory like /tmp: everyone may write in it; the sticky bit protects entries."""
    directory = tmp_path / "shared"
    directory.mkdir()
    directory.chmod(0o1777)
    return directory


class TestDatabaseLocation:
    def test_a_directory_writable_by_others_is_refused_on_the_way_and_as_the_target(
        self, tmp_path: Path
    ) -> None:
        open_dir = tmp_path / "open"
        open_dir.mkdir()
        open_dir.chmod(0o777)  # no sticky bit: anyone may rename what is inside
        with pytest.raises(db.UnsafeLocation, match="other users can write in it"):
            save(open_dir / "project" / ".vask" / "db.sqlite3")
        assert not (open_dir / "project").exists()
        with pytest.raises(db.UnsafeLocation, match="other users can write in it"):
            save(open_dir / "db.sqlite3")
        assert list(open_dir.iterdir()) == []

    def test_a_sticky_shared_directory_is_fine_on_the_way_but_not_as_the_target(
        self, shared: Path
    ) -> None:
        # SQLite opens its -wal and -shm files by name beside the database.
        with pytest.raises(db.UnsafeLocation, match="only you can write in"):
            save(shared / "db.sqlite3")
        path = shared / "mine" / ".vask" / "db.sqlite3"
        save(path)
        assert stat.S_IMODE((shared / "mine").stat().st_mode) == 0o700
        assert stat.S_IMODE(path.parent.stat().st_mode) == 0o700
        assert stat.S_IMODE(path.stat().st_mode) == 0o600
        assert [s.trace_id for s in db.list_traces(path)] == ["trc_1"]

    def test_a_planted_database_link_is_never_written_through(self, tmp_path: Path) -> None:
        victim = tmp_path / "victim.txt"
        victim.write_text("precious")
        (tmp_path / ".vask").mkdir(mode=0o700)
        link = tmp_path / ".vask" / "db.sqlite3"
        link.symlink_to(victim)
        with pytest.raises(db.UnsafeLocation, match="symbolic link"):
            save(link)
        dangling = tmp_path / ".vask" / "other.sqlite3"
        dangling.symlink_to(tmp_path / "created-through-the-link")
        with pytest.raises(db.UnsafeLocation, match="symbolic link"):
            save(dangling)
        assert victim.read_text() == "precious"
        assert not (tmp_path / "created-through-the-link").exists()

    def test_a_database_others_can_write_is_refused(self, tmp_path: Path) -> None:
        path = tmp_path / "db.sqlite3"
        save(path)
        path.chmod(0o666)
        with pytest.raises(db.UnsafeLocation, match="chmod go-w"):
            save(path)

    def test_own_links_to_directories_are_followed(self, tmp_path: Path) -> None:
        real = tmp_path / "real"
        real.mkdir()
        (tmp_path / "alias").symlink_to(real)
        save(tmp_path / "alias" / "t.db")
        assert (real / "t.db").is_file()

    @needs_root
    def test_directories_and_files_of_another_user_are_refused(self, shared: Path) -> None:
        planted = shared / "project" / ".vask"
        planted.mkdir(parents=True, mode=0o700)
        for directory in (shared / "project", planted):
            os.chown(directory, OTHER_UID, OTHER_UID)
        with pytest.raises(db.UnsafeLocation, match=f"belongs to uid {OTHER_UID}"):
            save(planted / "db.sqlite3")
        assert list(planted.iterdir()) == []

        mine = shared / "mine"
        mine.mkdir(mode=0o700)
        planted_db = mine / "db.sqlite3"
        save(planted_db)
        os.chown(planted_db, OTHER_UID, OTHER_UID)
        with pytest.raises(db.UnsafeLocation, match="trace database .* belongs to uid"):
            save(planted_db)

    @needs_root
    def test_a_link_owned_by_another_user_is_not_followed(self, tmp_path: Path) -> None:
        target = tmp_path / "elsewhere"
        target.mkdir(mode=0o700)
        link = tmp_path / ".vask"
        link.symlink_to(target)
        os.lchown(link, OTHER_UID, OTHER_UID)
        with pytest.raises(db.UnsafeLocation, match="refusing to follow"):
            save(link / "db.sqlite3")
        assert list(target.iterdir()) == []

    def test_the_vask_command_reports_a_refusal(self, tmp_path: Path) -> None:
        from test_cli import vask_cmd

        (tmp_path / "prog.py").write_text("def f():\n    return 1\nf()\n")
        open_dir = tmp_path / "open"
        open_dir.mkdir()
        open_dir.chmod(0o777)
        result = vask_cmd("run", "--db", "open/db.sqlite3", "prog.py", cwd=tmp_path, check=0)
        assert "refusing to write into" in result.stderr
        (side,) = (tmp_path / ".vask" / "unsaved").iterdir()  # the trace is kept all the same
        assert f"vask traces import .vask/unsaved/{side.name}" in result.stderr

        (tmp_path / "proj").mkdir()
        save(tmp_path / "proj" / "db.sqlite3")
        (tmp_path / "proj").chmod(0o777)
        result = vask_cmd(
            "traces", "delete", "trc_1", "--db", "proj/db.sqlite3", cwd=tmp_path, check=1
        )
        assert "cannot use the trace database: refusing to write into" in result.stderr
        listed = vask_cmd("traces", "list", "--db", "proj/db.sqlite3", cwd=tmp_path)
        assert "trc_1" in listed.stdout  # reading writes nothing, so it needs no such care


class TestSideFiles:
    @pytest.fixture
    def tmpdir_env(self, tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> Path:
        """A temporary directory of the test's own, as TMPDIR."""
        temp = tmp_path / "tmp"
        temp.mkdir()
        temp.chmod(0o1777)
        monkeypatch.setenv("TMPDIR", str(temp))
        monkeypatch.setattr(tempfile, "tempdir", None)
        return temp

    def test_side_files_go_into_owner_only_directories(self, tmp_path: Path) -> None:
        start = tmp_path / "work"
        start.mkdir()
        blocked = tmp_path / "blocker"
        blocked.write_text("a file, not a directory")
        side = db.write_side_file("trc_1", b"\x80", blocked / "db.sqlite3", start)
        assert side == start / ".vask" / "unsaved" / "trc_1.msgpack.zst"
        for directory in (start / ".vask", side.parent):
            assert stat.S_IMODE(directory.stat().st_mode) == 0o700
        assert stat.S_IMODE(side.stat().st_mode) == 0o600
        again = db.write_side_file("trc_1", b"\x81", blocked / "db.sqlite3", start)
        assert again.name == "trc_1-2.msgpack.zst" and db.read_side_file(side) == b"\x80"

    def test_no_side_file_directory_is_made_beside_a_database_in_a_shared_place(
        self, tmp_path: Path, shared: Path
    ) -> None:
        side = db.write_side_file("trc_1", b"\x80", shared / "db.sqlite3", tmp_path)
        assert side.parent == tmp_path / ".vask" / "unsaved"
        assert list(shared.iterdir()) == []

    def test_an_existing_side_file_directory_of_ours_is_made_private(self, tmp_path: Path) -> None:
        unsaved = tmp_path / "unsaved"
        unsaved.mkdir()
        unsaved.chmod(0o755)
        db.write_side_file("trc_1", b"\x80", tmp_path / "db.sqlite3", tmp_path)
        assert stat.S_IMODE(unsaved.stat().st_mode) == 0o700

    def test_trace_ids_cannot_leave_the_directory(self, tmp_path: Path) -> None:
        side = db.write_side_file("../../escape", b"\x80", tmp_path / "db.sqlite3", tmp_path)
        assert side.parent == tmp_path / "unsaved"

    def test_a_failed_write_leaves_nothing_behind(
        self, tmp_path: Path, tmpdir_env: Path, monkeypatch: pytest.MonkeyPatch
    ) -> None:
        def full(fd: int) -> None:
            raise OSError(28, "No space left on device")

        monkeypatch.setattr(os, "fsync", full)
        with pytest.raises(OSError, match="No space left on device"):
            db.write_side_file("trc_1", b"\x80" * 100, tmp_path / "db.sqlite3", tmp_path)
        for directory in (tmp_path / "unsaved", tmp_path / ".vask" / "unsaved"):
            assert list(directory.iterdir()) == []

    @needs_root
    def test_a_temporary_directory_of_another_user_is_not_used(
        self, tmp_path: Path, tmpdir_env: Path
    ) -> None:
        planted = tmpdir_env / f"vask-unsaved-{os.getuid()}"
        planted.mkdir(mode=0o777)
        os.chown(planted, OTHER_UID, OTHER_UID)
        blocked = tmp_path / "blocker"
        blocked.write_text("")
        start = tmp_path / "start"
        start.write_text("")  # no .vask there either
        with pytest.raises(OSError) as info:
            db.write_side_file("trc_1", b"\x80", blocked / "db.sqlite3", start)
        assert f"{planted}: refusing to write into" in str(info.value)
        assert list(planted.iterdir()) == []

    def test_the_temporary_directory_is_the_last_resort(
        self, tmp_path: Path, tmpdir_env: Path
    ) -> None:
        blocked = tmp_path / "blocker"
        blocked.write_text("")
        side = db.write_side_file("trc_1", b"\x80", blocked / "db.sqlite3", blocked)
        assert side.parent == tmpdir_env / f"vask-unsaved-{os.getuid()}"
        assert stat.S_IMODE(side.parent.stat().st_mode) == 0o700


def test_private_directory_returns_the_real_path(tmp_path: Path) -> None:
    (tmp_path / "a").mkdir()
    (tmp_path / "link").symlink_to("a")
    assert _paths.private_directory(tmp_path / "link" / "b") == tmp_path / "a" / "b"
    assert stat.S_IMODE((tmp_path / "a" / "b").stat().st_mode) == 0o700
