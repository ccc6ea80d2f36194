"""The spool: trace documents the database did not take, kept in side files.

A document that cannot be stored (the database locked past the busy
timeout, unwritable, full, refused as unsafe) is never lost: it is kept in a
side file (:func:`write_side_file`) and a warning on the "vask" logger says
where.  The side files this process kept for a database are stored from
there by the first store to it that succeeds afterwards
(:func:`vask.storage.store.store_kept`); ``vask traces import`` stores them
later otherwise.  :func:`kept_aside` lists what this process kept.
"""

from __future__ import annotations

import logging
import os
import re
import tempfile
from pathlib import Path
from typing import NamedTuple

from vask import _forksafe, _paths
from vask.storage import backend, codec

__all__ = [
    "KeptAside",
    "keep_aside",
    "kept_aside",
    "next_waiting",
    "read_side_file",
    "settled",
    "side_file_directories",
    "still_kept_aside",
    "write_side_file",
]

_logger = logging.getLogger("vask")


class KeptAside(NamedTuple):
    """A trace document kept in a side file because the database did not take it."""

    trace_id: str
    path: Path
    db_path: Path
    reason: str


_kept_lock = _forksafe.lock()
_kept: list[KeptAside] = []
# Side files of this process not stored yet, by database, oldest first.
_pending: dict[Path, list[KeptAside]] = {}
# A forked child does not store the parent's: both would, at once.
_forksafe.at_fork_in_child(_pending.clear)


def kept_aside(since: int = 0) -> list[KeptAside]:
    """The documents this process kept aside, from the ``since``-th on.

    ``len(kept_aside())`` is the mark to pass as ``since`` later.  Documents
    stored from their side file since then are still listed;
    :func:`still_kept_aside` tells which are not.
    """
    with _kept_lock:
        return _kept[since:]


def still_kept_aside(kept: KeptAside) -> bool:
    """Whether a kept document is still only in its side file."""
    with _kept_lock:
        return kept in _pending.get(kept.db_path, ())


def next_waiting(db_path: Path) -> KeptAside | None:
    """The oldest side file kept for ``db_path`` and not stored yet, or ``None``."""
    with _kept_lock:
        waiting = _pending.get(db_path)
        return waiting[0] if waiting else None


def settled(kept: KeptAside) -> None:
    """``kept`` is done with (stored, or found unreadable or gone): no longer waiting."""
    with _kept_lock:
        waiting = _pending.get(kept.db_path)
        if waiting and waiting[0] is kept:
            waiting.pop(0)


def keep_aside(
    trace_id: str,
    data: bytes,
    db_path: Path,
    reason: str,
    error: BaseException | None = None,
    what: str = "trace",
) -> Path:
    """Keep a document the database did not take in a side file, and say where.

    The side file is stored by the first store to ``db_path`` that succeeds
    afterwards.  Raises ``error`` (or the side file's own error) when no side
    file can be written either.  ``what`` names the document in the messages
    ("trace", "trace point").
    """
    try:
        side = write_side_file(trace_id, data, db_path)
    except OSError as side_error:
        _logger.error(
            "could not store %s %s in %s: %s; nor keep it in a file: %s",
            what,
            trace_id,
            db_path,
            reason,
            side_error,
        )
        if error is None:
            raise
        raise error from side_error
    kept = KeptAside(trace_id, side, db_path, reason)
    with _kept_lock:
        _kept.append(kept)
        _pending.setdefault(db_path, []).append(kept)
    _logger.warning(
        "could not store %s %s in %s: %s; it is kept in %s and stored from there once the "
        "database takes it, or later with: vask traces import %s",
        what,
        trace_id,
        db_path,
        reason,
        side,
        side,
    )
    return side


# -- side files -----------------------------------------------------------------

_UNSAFE_NAME = re.compile(r"[^A-Za-z0-9_.-]")


def side_file_directories(
    db_path: str | os.PathLike[str], start_dir: str | os.PathLike[str] | None = None
) -> list[Path]:
    """Where :func:`write_side_file` tries to keep a trace, in order.

    ``unsaved`` beside the database; ``.vask/unsaved`` in ``start_dir`` (the
    working directory by default); ``vask-unsaved-<uid>`` in the temporary
    directory.
    """
    return list(dict.fromkeys(directory for _, directory in _side_file_places(db_path, start_dir)))


def _side_file_places(
    db_path: str | os.PathLike[str], start_dir: str | os.PathLike[str] | None
) -> list[tuple[Path | None, Path]]:
    """(directory that must be one of the user's own, or None; side-file directory in it)."""
    base = Path(start_dir) if start_dir is not None else Path.cwd()
    uid = os.getuid() if hasattr(os, "getuid") else 0
    project = base.absolute() / ".vask"
    # A database on a server has no directory: its side files start in the project's.
    located = backend.locate(db_path)
    beside = project if isinstance(located, backend.DatabaseUrl) else located.absolute().parent
    return [
        (beside, beside / "unsaved"),
        (project, project / "unsaved"),
        # The one place made for sharing: its name is the user's alone.
        (None, Path(tempfile.gettempdir()).absolute() / f"vask-unsaved-{uid}"),
    ]


def write_side_file(
    trace_id: str,
    data: bytes,
    db_path: str | os.PathLike[str],
    start_dir: str | os.PathLike[str] | None = None,
) -> Path:
    """Keep a trace document that could not be stored; returns the file.

    The file, ``<trace id>.msgpack.zst`` (mode 0o600), holds the document
    compressed as stored ones are (:func:`vask.storage.codec.pack_file`;
    ``vask traces import`` reads these and the plain ``.msgpack`` files of
    older versions). It goes into the first of
    :func:`side_file_directories` that is safe to write in; each is created
    owner-only (0o700) or made so.  ``unsaved`` is made only in a directory of
    the user's own (not beside a database in ``/tmp``).  The file appears
    whole or not at all.  Raises ``OSError`` naming every place tried when
    none could take it.
    """
    name = _UNSAFE_NAME.sub("_", trace_id)[:100] or "trace"
    packed = codec.pack_file(data)
    failures = []
    tried = set()
    for base, directory in _side_file_places(db_path, start_dir):
        if directory in tried:
            continue
        tried.add(directory)
        try:
            if base is not None:
                _paths.private_directory(base)
            real = _paths.private_directory(directory, owner_only=True)
            return _paths.create_private_file(real, f"{name}{codec.FILE_SUFFIX}", packed)
        except OSError as error:
            failures.append(f"{directory}: {error}")
    raise OSError(f"no place to keep trace {trace_id}: " + "; ".join(failures))


def read_side_file(path: str | os.PathLike[str]) -> bytes:
    """The whole document a side file holds, compressed (``.msgpack.zst``) or plain.

    Raises ``ValueError`` for a compressed file that is damaged.
    """
    from vask.document import FileSource

    source = FileSource(path)
    try:
        return source.read(0, source.size)
    finally:
        source.close()
