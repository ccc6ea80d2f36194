"""The commit of the git repository the traced program runs in.

:data:`COMMIT_SHA` is found once, at import, from the current working
directory upwards.  This module is imported inside the traced process, so it
reads the repository files itself instead of starting ``git``: ``HEAD``
(symbolic or detached), loose refs, ``packed-refs``, and ``.git`` files of
worktrees and submodules (``gitdir:``, with ``commondir`` for worktrees).
Anything it does not understand (a reftable repository, an unborn branch, a
damaged file) gives ``None``; it never raises.
"""

from __future__ import annotations

import os
import re
from pathlib import Path

__all__ = ["COMMIT_SHA", "find_commit_sha", "find_git_dir"]

# SHA-1 object names are 40 hex digits; repositories in SHA-256 mode use 64.
_OBJECT_NAME = re.compile(r"[0-9a-f]{40}(?:[0-9a-f]{24})?")
# Refs that live in a worktree's own git dir rather than in the common dir.
_PER_WORKTREE_PREFIXES = ("refs/bisect/", "refs/worktree/", "refs/rewritten/")
# Symbolic refs point to symbolic refs at most this deep, as in git.
_MAX_SYMREF_DEPTH = 5
# HEAD, loose refs and gitdir files are one line; read no more than this.
_SMALL_FILE = 4096


def _read_small(path: Path) -> str | None:
    try:
        with open(path, "rb") as f:
            data = f.read(_SMALL_FILE)
    except OSError:
        return None
    try:
        return data.decode("utf-8").strip()
    except UnicodeDecodeError:
        return None


def find_git_dir(start: str | os.PathLike[str] | None = None) -> Path | None:
    """The git directory of the repository containing ``start`` (default: cwd)."""
    env = os.environ.get("GIT_DIR")
    if start is None and env:
        git_dir = Path(env)
        return git_dir if git_dir.is_dir() else None
    here = Path(os.getcwd() if start is None else start).absolute()
    for directory in (here, *here.parents):
        dot_git = directory / ".git"
        if dot_git.is_dir():
            return dot_git
        if dot_git.is_file():
            # Worktrees and submodules: a file "gitdir: <path>", relative to
            # the directory holding it.
            content = _read_small(dot_git)
            if content is None or not content.startswith("gitdir:"):
                return None
            git_dir = directory / content[len("gitdir:") :].strip()
            return git_dir if git_dir.is_dir() else None
    return None


def _common_dir(git_dir: Path) -> Path:
    content = _read_small(git_dir / "commondir")
    if not content:
        return git_dir
    return git_dir / content


def _valid_ref_name(name: str) -> bool:
    # Ref names are read from files and joined to paths: keep them inside refs/.
    return name.startswith("refs/") and ".." not in name and "\\" not in name


def _packed_ref(common_dir: Path, name: str) -> str | None:
    try:
        with open(common_dir / "packed-refs", encoding="utf-8") as f:
            for line in f:
                if line.startswith(("#", "^")):
                    continue
                sha, _, ref = line.rstrip("\n").partition(" ")
                if ref == name:
                    return sha
    except (OSError, UnicodeDecodeError):
        return None
    return None


def _resolve(git_dir: Path, common_dir: Path, content: str) -> str | None:
    """Follow ``content`` (of HEAD or a ref file) to an object name."""
    for _ in range(_MAX_SYMREF_DEPTH):
        if not content.startswith("ref:"):
            return content if _OBJECT_NAME.fullmatch(content) else None
        name = content[len("ref:") :].strip()
        if not _valid_ref_name(name):
            return None
        base = git_dir if name.startswith(_PER_WORKTREE_PREFIXES) else common_dir
        loose = _read_small(base / name)
        if loose is None:
            # Not loose (or a directory, or unreadable): maybe packed.  A
            # branch without commits is in neither place: None.
            loose = _packed_ref(common_dir, name)
            if loose is None:
                return None
        content = loose
    return None


def find_commit_sha(start: str | os.PathLike[str] | None = None) -> str | None:
    """The commit checked out in the repository containing ``start`` (default: cwd).

    ``None`` outside a repository, on an unborn branch, or on anything
    unexpected; never raises.
    """
    try:
        git_dir = find_git_dir(start)
        if git_dir is None:
            return None
        head = _read_small(git_dir / "HEAD")
        if head is None:
            return None
        return _resolve(git_dir, _common_dir(git_dir), head)
    except Exception:  # noqa: BLE001 - runs at import in the traced program
        return None


#: The commit (hex text) of the repository of the working directory, or ``None``.
COMMIT_SHA: str | None = find_commit_sha()
