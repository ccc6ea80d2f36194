"""Where vask may write: directories and files that are the user's own.

Traces hold the local variables of the traced program.  Before vask creates
or opens anything for writing (the trace database, the directories above it,
the side files of traces that could not be stored) it makes sure that no other
user can have put something in its way:

* every existing directory on the way is owned by the user or by root, and is
  writable by no other user unless its sticky bit is set (as ``/tmp`` is);
* a symbolic link on the way is followed only when the user or root owns it;
* the directory that receives vask's files is the user's own and writable by
  no other user, sticky bit or not: SQLite opens its ``-wal``, ``-shm`` and
  ``-journal`` files there by name, and a name planted in a shared directory
  would receive the trace;
* the database file is the user's own, writable by no other user, and never a
  symbolic link.

Missing directories are created private (0o700), files 0o600, and a file is
only ever created with ``O_EXCL | O_NOFOLLOW``.  A directory group-writable
for the user's own private group (the usual ``umask 002`` set-up) counts as
the user's.  Where the platform has no user ids, nothing is checked.

This module runs while a program is traced (a save can happen at any call);
the tracer leaves its frames out.
"""

from __future__ import annotations

import errno
import os
import stat
from pathlib import Path

__all__ = ["UnsafeLocation", "create_private_file", "database_file", "private_directory"]

# At most this many symbolic links are followed on one path (as the kernel's
# ELOOP limit).
_MAX_LINKS = 40


#: How the text of every :class:`UnsafeLocation` begins (a side file's reason keeps it).
REFUSAL = "refusing to "


class UnsafeLocation(PermissionError):
    """A place vask refuses to write to: another user could read or replace what it writes."""

    def __init__(self, message: str) -> None:
        assert message.startswith(REFUSAL), message
        super().__init__(message)


def _uid() -> int | None:
    return os.geteuid() if hasattr(os, "geteuid") else None


def _owner(uid: int) -> str:
    try:
        import pwd

        return f"{pwd.getpwuid(uid).pw_name} (uid {uid})"
    except (ImportError, KeyError):
        return f"uid {uid}"


def _private_group(gid: int, uid: int) -> bool:
    """Whether ``gid`` is the user's own group with no other listed member."""
    if gid != os.getegid():
        return False
    try:
        import grp
        import pwd

        members = set(grp.getgrgid(gid).gr_mem)
        return members <= {pwd.getpwuid(uid).pw_name}
    except (ImportError, KeyError):
        return False


def _others_can_write(st: os.stat_result, uid: int) -> bool:
    if st.st_mode & stat.S_IWOTH:
        return True
    return bool(st.st_mode & stat.S_IWGRP) and not _private_group(st.st_gid, uid)


def _check_on_the_way(path: Path, st: os.stat_result, uid: int) -> None:
    if st.st_uid not in (uid, 0):
        raise UnsafeLocation(
            f"refusing to write below {path}: it belongs to {_owner(st.st_uid)}, "
            "who could replace what vask writes there"
        )
    if _others_can_write(st, uid) and not st.st_mode & stat.S_ISVTX:
        raise UnsafeLocation(
            f"refusing to write below {path}: other users can write in it "
            "(and it has no sticky bit)"
        )


def _check_own(
    st: os.stat_result, uid: int, refusing: str, write: str, advice: tuple[str, str]
) -> None:
    """Refuse, starting with ``refusing``, unless ``st`` is the user's and only theirs to write."""
    if st.st_uid != uid:
        raise UnsafeLocation(
            f"{refusing}: it belongs to {_owner(st.st_uid)}, not to you ({_owner(uid)})"
            + (f"; {advice[0]}" if advice[0] else "")
        )
    if _others_can_write(st, uid):
        raise UnsafeLocation(
            f"{refusing}: other users can {write} (mode {stat.S_IMODE(st.st_mode):04o}); "
            f"{advice[1]}"
        )


def _check_final(path: Path, st: os.stat_result, uid: int) -> None:
    _check_own(
        st,
        uid,
        f"refusing to write into {path}",
        "write in it",
        ("choose a directory of your own", "choose a directory only you can write in"),
    )


def _make_directory(path: Path) -> os.stat_result:
    """Create ``path`` private (0o700); the lstat of what is there afterwards."""
    try:
        os.mkdir(path, 0o700)
    except FileExistsError:
        return os.lstat(path)  # made concurrently: checked like any existing one
    st = os.lstat(path)
    if stat.S_ISDIR(st.st_mode) and stat.S_IMODE(st.st_mode) != 0o700:
        # mkdir's mode is filtered by the umask; say what we mean.
        os.chmod(path, 0o700)
        st = os.lstat(path)
    return st


def private_directory(directory: str | os.PathLike[str], *, owner_only: bool = False) -> Path:
    """Make sure ``directory`` exists and is safe to write into; returns its real path.

    Walks the path from the root, creating what is missing (0o700) and
    checking what exists (see the module documentation); symbolic links it
    may follow are resolved, so the returned path holds none.  With
    ``owner_only`` the directory itself is made 0o700 when it is the user's
    but readable by others.  Raises :class:`UnsafeLocation`, or the
    ``OSError`` of a failed step (``NotADirectoryError`` naming the path that
    could not be a directory).
    """
    path = Path(os.path.abspath(directory))
    uid = _uid()
    if uid is None:
        path.mkdir(mode=0o700, parents=True, exist_ok=True)
        return path
    pending = list(path.parts[1:])
    current = Path(path.anchor)
    links = 0
    while pending:
        name = pending.pop(0)
        if name in ("", "."):
            continue
        if name == "..":
            current = current.parent
            continue
        candidate = current / name
        try:
            st = os.lstat(candidate)
        except FileNotFoundError:
            st = _make_directory(candidate)
        if stat.S_ISLNK(st.st_mode):
            links += 1
            if links > _MAX_LINKS:
                raise OSError(errno.ELOOP, os.strerror(errno.ELOOP), str(path))
            if st.st_uid not in (uid, 0):
                raise UnsafeLocation(
                    f"refusing to follow {candidate}: a symbolic link that belongs to "
                    f"{_owner(st.st_uid)}"
                )
            target = Path(os.readlink(candidate))
            if target.is_absolute():
                current = Path(target.anchor)
            pending[:0] = list(target.parts[1:] if target.is_absolute() else target.parts)
            continue
        if not stat.S_ISDIR(st.st_mode):
            where = candidate / pending[0] if pending else candidate
            raise NotADirectoryError(errno.ENOTDIR, os.strerror(errno.ENOTDIR), str(where))
        if pending:
            _check_on_the_way(candidate, st, uid)
        else:
            _check_final(candidate, st, uid)
            if owner_only and stat.S_IMODE(st.st_mode) & 0o077:
                os.chmod(candidate, 0o700)
        current = candidate
    if current == Path(path.anchor):
        _check_final(current, os.lstat(current), uid)
    return current


def database_file(path: str | os.PathLike[str]) -> Path:
    """The database file at ``path``, checked or created (0o600); returns its real path.

    Its directory is made ready by :func:`private_directory`.  An existing
    file must be a regular file of the user's that no other user can write;
    a symbolic link is refused.
    """
    path = Path(os.path.abspath(path))
    real = private_directory(path.parent) / path.name
    uid = _uid()
    try:
        fd = os.open(real, os.O_WRONLY | os.O_CREAT | os.O_EXCL | _NOFOLLOW | _CLOEXEC, 0o600)
    except FileExistsError:
        pass
    else:
        os.close(fd)
        return real
    if uid is None:
        return real
    st = os.lstat(real)
    if stat.S_ISLNK(st.st_mode):
        raise UnsafeLocation(
            f"refusing to write the trace database {path}: it is a symbolic link "
            f"(to {os.readlink(real)}); give the real path"
        )
    if not stat.S_ISREG(st.st_mode):
        raise UnsafeLocation(f"refusing to write the trace database {path}: not a regular file")
    _check_own(
        st,
        uid,
        f"refusing to write the trace database {path}",
        "write it",
        ("", f"if you trust its contents, make it yours alone: chmod go-w {path}"),
    )
    return real


_NOFOLLOW = getattr(os, "O_NOFOLLOW", 0)
_CLOEXEC = getattr(os, "O_CLOEXEC", 0)


def create_private_file(directory: Path, name: str, data: bytes) -> Path:
    """Write ``data`` to a new file ``name`` (or ``name`` with ``-2``, ``-3`` ... before
    its suffix, when taken) in the checked ``directory``; returns the file (0o600).

    The bytes go to a temporary name first and the file appears under its
    name only once they are all written and synced, so a failure (a full
    disk) leaves nothing behind.
    """
    stem, dot, suffix = name.partition(".")  # "-2" before every suffix: "a-2.msgpack.zst"
    if not dot:
        stem, suffix = name, ""
    tmp = directory / f".{name}.{os.getpid()}.{os.urandom(4).hex()}.tmp"
    fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL | _NOFOLLOW | _CLOEXEC, 0o600)
    try:
        try:
            view = memoryview(data)
            while view:
                view = view[os.write(fd, view) :]
            os.fsync(fd)
        finally:
            os.close(fd)
        for n in range(1, 1000):
            final = directory / (name if n == 1 else f"{stem}-{n}{dot}{suffix}")
            try:
                # link, unlike rename, never replaces an existing file.
                os.link(tmp, final, follow_symlinks=False)
                return final
            except FileExistsError:
                continue
            except OSError as error:
                if error.errno not in (errno.EPERM, errno.EOPNOTSUPP, errno.EXDEV):
                    raise
                # A file system without hard links: a rename is as good where
                # the name is free, as only the user writes in the directory.
                if os.path.lexists(final):
                    continue
                os.rename(tmp, final)
                return final
        raise FileExistsError(errno.EEXIST, "no free file name", str(directory / name))
    finally:
        try:
            os.unlink(tmp)
        except FileNotFoundError:
            pass
