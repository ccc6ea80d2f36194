"""Stored documents compressed: zstd frames primed with a dictionary of the record keys.

A document is cut into stretches of :data:`FRAME_SIZE` bytes (the last one
shorter), and each stretch is compressed into a zstd frame of its own, all of
them primed with the same dictionary.  The frames are stored one after the
other, as the document was before (across pieces when long); the row keeps
the codec's name, the dictionary's id and a table of the frames' lengths
(:func:`frame_table`).  A reader finds the frame holding any offset from that
table and decompresses that frame only: reading a part of a large document
costs one frame, never the document up to it.

The dictionary is raw content: the MessagePack form of the keys and the
common values of trace records, which every document repeats.  Primed with
it, even a trace of a few calls shrinks to a fraction.  A dictionary, once
shipped, never changes: documents name it by its id.  A better one is added
under a new id, and :data:`DICTIONARY_ID` moves to it; the old ones stay to
read what they compressed.

Each frame carries its content size and a checksum: a damaged frame fails
to decompress (:class:`CorruptFrame`) instead of reading as other bytes.
"""

from __future__ import annotations

import itertools
import os
import struct
import threading
from collections import deque
from collections.abc import Callable, Iterable, Iterator
from concurrent.futures import Executor, Future
from typing import Any

import msgpack
import zstandard

from vask import _forksafe

__all__ = [
    "CODEC",
    "DICTIONARY_ID",
    "FRAME_SIZE",
    "Compressed",
    "CorruptFrame",
    "FrameCache",
    "FrameReader",
    "compress",
    "frame_table",
    "open_packed_file",
    "pack_file",
    "read_frame_table",
]

#: The name stored in a row's ``codec`` column for a compressed document.
CODEC = "zstd"
#: Document bytes per frame: what reading any part of a document decompresses.
FRAME_SIZE = 1 << 20
#: The compression level: fast enough for the writer to keep up with the engines.
LEVEL = 3

# The record keys and common values, most frequent last (zstd reaches the end
# of a raw-content dictionary most cheaply).  Dictionary 1: never edit.
_DICTIONARY_1_WORDS = (
    "version", "meta", "config", "platform", "system", "machine", "python_version",
    "py_version", "py_version_full", "command_line_args", "current_commit_sha",
    "environment", "process", "pid", "parent_pid", "parent_trace_id", "name",
    "trace_points", "trace_point", "line_number", "source", "events",
    "start_test", "end_test", "outcome", "passed", "failed", "skipped", "error",
    "xfailed", "xpassed", "interrupted", "subtree_flushed", "flushed_trace_id",
    "calls_dropped", "plugin", "processor", "assign", "user_code_call_site",
    "current_thread_id", "threads", "native_id", "ident", "thread", "trace_id",
    "root_trace_id", "trace_name", "frames", "frame", "code", "co_names",
    "exception", "throw_type", "throw", "unwind_type", "unwind", "yield_type",
    "yield", "resume_type", "resume", "return_type", "retval", "locals", "args",
    "line", "path", "qualname", "co_name", "return", "call", "event", "timestamp",
    "frame_id", "type",
)  # fmt: skip

_DICTIONARIES: dict[int, bytes] = {
    1: b"".join(msgpack.packb(word) for word in _DICTIONARY_1_WORDS),
}
#: The id of the dictionary new documents are compressed with.
DICTIONARY_ID = 1

_TABLE_HEAD = struct.Struct("<I")


class CorruptFrame(ValueError):
    """A stored frame that does not decompress: the document is damaged there."""


_dicts: dict[int, zstandard.ZstdCompressionDict] = {}
_dicts_lock = _forksafe.lock()


def _dictionary(dictionary_id: int) -> zstandard.ZstdCompressionDict | None:
    if dictionary_id == 0:
        return None
    with _dicts_lock:
        found = _dicts.get(dictionary_id)
        if found is None:
            content = _DICTIONARIES.get(dictionary_id)
            if content is None:
                raise CorruptFrame(f"unknown compression dictionary {dictionary_id}")
            found = zstandard.ZstdCompressionDict(content, dict_type=zstandard.DICT_TYPE_RAWCONTENT)
            _dicts[dictionary_id] = found
        return found


# Compressors and decompressors are not safe for two threads at once: one
# of each per thread and dictionary.
_local = threading.local()


def _compressor(dictionary_id: int) -> zstandard.ZstdCompressor:
    cache = _local.__dict__.setdefault("compressors", {})
    found = cache.get(dictionary_id)
    if found is None:
        found = cache[dictionary_id] = zstandard.ZstdCompressor(
            level=LEVEL,
            dict_data=_dictionary(dictionary_id),
            write_checksum=True,
            write_content_size=True,
            write_dict_id=False,
        )
    return found


def _decompressor(dictionary_id: int) -> zstandard.ZstdDecompressor:
    cache = _local.__dict__.setdefault("decompressors", {})
    found = cache.get(dictionary_id)
    if found is None:
        found = cache[dictionary_id] = zstandard.ZstdDecompressor(
            dict_data=_dictionary(dictionary_id)
        )
    return found


class Compressed:
    """A document compressed into frames, held in memory until stored."""

    def __init__(self, frames: list[bytes], dictionary_id: int) -> None:
        self.frames = frames
        self.dictionary_id = dictionary_id
        #: The bytes stored: every frame's length.
        self.size = sum(len(f) for f in frames)
        self._bases: list[int] = []
        total = 0
        for frame in frames:
            self._bases.append(total)
            total += len(frame)

    def table(self) -> bytes:
        """The frame table stored with the document (:func:`frame_table`)."""
        return frame_table([len(f) for f in self.frames])

    def read(self, offset: int, n: int) -> bytes:
        """``n`` stored bytes from ``offset`` on, across frames (what a piece holds)."""
        import bisect

        out = []
        while n > 0 and offset < self.size:
            i = bisect.bisect_right(self._bases, offset) - 1
            within = offset - self._bases[i]
            chunk = self.frames[i][within : within + n]
            out.append(chunk)
            offset += len(chunk)
            n -= len(chunk)
        return b"".join(out)


def compress(
    read: Callable[[int, int], bytes | memoryview], size: int, dictionary_id: int = DICTIONARY_ID
) -> Compressed:
    """The document of ``size`` bytes that ``read(offset, n)`` gives, compressed."""
    compressor = _compressor(dictionary_id)
    pieces = [read(offset, min(FRAME_SIZE, size - offset)) for offset in range(0, size, FRAME_SIZE)]
    return Compressed(compress_each(compressor, pieces), dictionary_id)


def compress_each(compressor: zstandard.ZstdCompressor, pieces: list[Any]) -> list[bytes]:
    """Each of ``pieces`` compressed as a frame of its own, by one call where the zstd
    binding can (the same bytes): each call lets the GIL go (see vask.storage.writer)."""
    if len(pieces) > 1 and hasattr(compressor, "multi_compress_to_buffer"):
        return [bytes(frame) for frame in compressor.multi_compress_to_buffer(pieces, threads=1)]
    return [compressor.compress(piece) for piece in pieces]


def frame_table(lengths: list[int]) -> bytes:
    """The stored frame table: the document bytes per frame, then each frame's stored length
    (little-endian 32-bit unsigned ints)."""
    return struct.pack(f"<{len(lengths) + 1}I", FRAME_SIZE, *lengths)


def read_frame_table(table: Any) -> tuple[int, list[int]]:
    """(document bytes per frame, stored lengths) of a stored frame table."""
    if not isinstance(table, bytes) or len(table) < 4 or len(table) % 4:
        raise CorruptFrame("the frame table is damaged")
    values = struct.unpack(f"<{len(table) // 4}I", table)
    if values[0] == 0:
        raise CorruptFrame("the frame table is damaged")
    return values[0], list(values[1:])


class FrameCache:
    """Decompressed frames shared by the readers of one caller, the least recently
    read let go first: never more than ``budget`` bytes are held (a frame larger
    than the budget is not kept).  Readers that jump back and forth across a
    document's frames (the records of calls, opened in one frame and closed in
    another) decompress each frame once while the frames they move among fit.

    A frame is keyed by the reader's ``key`` (what identifies the document,
    see :class:`FrameReader`) and its index.  Not safe for use by two threads
    at once: the caller serialises it, as it does the readers.
    """

    def __init__(self, budget: int = 32 << 20) -> None:
        from collections import OrderedDict

        self.budget = budget
        #: The bytes of the frames held, at most ``budget``.
        self.held = 0
        #: Frames found held, and frames decompressed, since made.
        self.hits = 0
        self.misses = 0
        self._frames: OrderedDict[tuple[Any, int], bytes] = OrderedDict()

    def get(self, key: tuple[Any, int]) -> bytes | None:
        found = self._frames.get(key)
        if found is None:
            self.misses += 1
            return None
        self.hits += 1
        self._frames.move_to_end(key)
        return found

    def put(self, key: tuple[Any, int], data: bytes) -> None:
        if len(data) > self.budget:
            return
        old = self._frames.pop(key, None)
        if old is not None:
            self.held -= len(old)
        while self._frames and self.held + len(data) > self.budget:
            _, dropped = self._frames.popitem(last=False)
            self.held -= len(dropped)
        self._frames[key] = data
        self.held += len(data)

    def clear(self) -> None:
        self._frames.clear()
        self.held = 0


class FrameReader:
    """A compressed document read by document offsets, one frame decompressed at a time.

    ``read_stored(offset, n)`` reads the stored (compressed) bytes.  Without a
    ``cache`` the frame read last is kept: a reader moving forward through a
    document decompresses each frame once.  With one, the frames are kept
    there under ``(key, index)``; ``key`` must name this document alone among
    the readers sharing the cache (with its frame table: a row stored again
    under the same id has other frames).
    """

    def __init__(
        self,
        read_stored: Callable[[int, int], bytes],
        size: int,
        dictionary_id: int,
        table: Any,
        cache: FrameCache | None = None,
        key: Any = None,
    ) -> None:
        if dictionary_id != 0 and dictionary_id not in _DICTIONARIES:
            raise CorruptFrame(f"unknown compression dictionary {dictionary_id}")
        self._read_stored = read_stored
        #: The document's length.
        self.size = size
        self._dictionary_id = dictionary_id
        self._frame_size, lengths = read_frame_table(table)
        self._lengths = lengths
        self._bases = []
        total = 0
        for length in lengths:
            self._bases.append(total)
            total += length
        self._current: tuple[int, bytes] | None = None
        self._cache = cache
        self._key = (key, bytes(table))

    def _frame(self, i: int) -> bytes:
        if self._current is not None and self._current[0] == i:
            return self._current[1]
        if self._cache is not None:
            held = self._cache.get((self._key, i))
            if held is not None:
                return held
        data = self._decompress(i, self._read_stored(self._bases[i], self._lengths[i]))
        if self._cache is not None:
            self._cache.put((self._key, i), data)
        else:
            self._current = (i, data)
        return data

    @property
    def frame_size(self) -> int:
        """Document bytes per frame (the last frame may hold fewer)."""
        return self._frame_size

    def frames(
        self,
        indices: Iterable[int],
        pool: Executor | None = None,
        work: Callable[[int, bytes], Any] | None = None,
        workers: int = 2,
        most: int = 8,
    ) -> Iterator[tuple[int, bytes | None, Any]]:
        """(index, bytes, ``work(index, bytes)``) of the frames ``indices`` names, in that
        order (bytes and work ``None`` for a frame missing or damaged).

        With a ``pool`` of ``workers`` threads, the frames are decompressed and
        worked on there (``work`` should let go of the GIL to run alongside), in
        stretches of at most ``most`` frames, one per worker at a time: few
        hand-overs between threads, each costly.  The stored bytes are read by
        the caller's thread; frames decompressed are kept in the cache.
        """

        def worked(i: int, data: bytes | None) -> tuple[bytes | None, Any]:
            if data is None or work is None:
                return data, None
            return data, work(i, data)

        def decompress(i: int, stored: bytes) -> tuple[bytes | None, Any]:
            try:
                data = self._decompress(i, stored)
            except CorruptFrame:
                data = None
            return worked(i, data)

        def run(items: list[tuple[int, Any, bool]]) -> list[tuple[int, Any, Any, bool]]:
            return [
                (i, *(worked(i, data) if held else decompress(i, data)), held)
                for i, data, held in items
            ]

        todo = list(indices)
        per = max(1, min(most, -(-len(todo) // max(workers, 1))))
        stretches = iter([todo[k : k + per] for k in range(0, len(todo), per)])
        pending: deque[Any] = deque()

        def submit(stretch: list[int]) -> None:
            items: list[tuple[int, Any, bool]] = []
            for i in stretch:
                held = None
                if self._current is not None and self._current[0] == i:
                    held = self._current[1]
                elif self._cache is not None:
                    held = self._cache.get((self._key, i))
                if held is not None or not 0 <= i < len(self._lengths):
                    items.append((i, held, True))
                else:
                    items.append((i, self._read_stored(self._bases[i], self._lengths[i]), False))
            pending.append(pool.submit(run, items) if pool is not None else run(items))

        for stretch in itertools.islice(stretches, max(workers, 1) if pool is not None else 1):
            submit(stretch)
        while pending:
            found = pending.popleft()
            done = found.result() if isinstance(found, Future) else found
            following = next(stretches, None)
            if following is not None:
                submit(following)
            for i, data, result, held in done:
                if data is not None and not held and self._cache is not None:
                    self._cache.put((self._key, i), data)
                yield i, data, result

    def _decompress(self, i: int, stored: bytes) -> bytes:
        """Frame ``i`` from its stored bytes (safe in any thread: each has its
        own decompressor)."""
        if len(stored) != self._lengths[i]:
            raise CorruptFrame(f"frame {i} is truncated")
        try:
            return _decompressor(self._dictionary_id).decompress(
                stored, max_output_size=self._frame_size
            )
        except zstandard.ZstdError as error:
            raise CorruptFrame(f"frame {i} does not decompress: {error}") from error

    def read(self, offset: int, n: int) -> bytes:
        """``n`` bytes of the document (fewer at its end) from ``offset`` on.

        A damaged frame ends the read there: the bytes before it are returned,
        as a truncated document reads.
        """
        out = []
        while n > 0 and 0 <= offset < self.size:
            i = offset // self._frame_size
            if i >= len(self._lengths):
                break
            try:
                frame = self._frame(i)
            except CorruptFrame:
                break
            within = offset - i * self._frame_size
            chunk = frame[within : within + n]
            if not chunk:
                break
            out.append(chunk)
            offset += len(chunk)
            n -= len(chunk)
        return b"".join(out)

    def close(self) -> None:
        self._current = None


# -- documents in files (side files) ----------------------------------------------
#
# A file holds a compressed document as a zstd stream: a skippable frame
# first, whose content is b"vask", the dictionary id (u32), the document's
# length (u64) and its frame table; then the document's frames, as a row
# stores them.  zstd tools read it as any stream (given the dictionary); a
# file that does not start with that frame is a plain document.

_SKIPPABLE_MAGIC = 0x184D2A5A
_FILE_HEAD = struct.Struct("<II4sIQ")  # magic, content length, b"vask", dictionary id, size
#: The suffix of a compressed document's file.
FILE_SUFFIX = ".msgpack.zst"


def pack_file(data: bytes | memoryview, dictionary_id: int = DICTIONARY_ID) -> bytes:
    """The bytes of a file holding ``data`` compressed (:func:`open_packed_file` reads it)."""
    view = memoryview(data)
    packed = compress(lambda offset, n: view[offset : offset + n], len(view), dictionary_id)
    table = packed.table()
    head = _FILE_HEAD.pack(
        _SKIPPABLE_MAGIC, _FILE_HEAD.size - 8 + len(table), b"vask", dictionary_id, len(view)
    )
    return b"".join([head, table, *packed.frames])


def open_packed_file(fd: int) -> FrameReader | None:
    """A reader of the document in the open file ``fd`` when it is compressed
    (:func:`pack_file`), else ``None`` (a plain document).

    Raises :class:`CorruptFrame` for a compressed file whose head is damaged.
    """
    head = os.pread(fd, _FILE_HEAD.size, 0)
    if len(head) < 8 or struct.unpack_from("<I", head)[0] != _SKIPPABLE_MAGIC:
        return None
    if len(head) < _FILE_HEAD.size:
        raise CorruptFrame("the file's head is truncated")
    _, length, mark, dictionary_id, size = _FILE_HEAD.unpack(head)
    if mark != b"vask" or length < _FILE_HEAD.size - 8:
        raise CorruptFrame("not a vask document")
    table = os.pread(fd, length - (_FILE_HEAD.size - 8), _FILE_HEAD.size)
    base = 8 + length
    return FrameReader(lambda offset, n: os.pread(fd, n, base + offset), size, dictionary_id, table)
