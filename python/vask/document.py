"""Stored trace documents: checking, decoding, their facts, and traces merged from them.

A trace id may have several documents (consecutive saves of one run); they
are read as one trace whose threads hold the concatenation of the documents'
records, in order.

Documents are untrusted input (a database may come from anywhere, imports
from files): every reader here either returns what it could read or raises
:class:`DamagedDocument`, and a document that cannot be read is named and
skipped, never the end of the whole trace.  Values of the wrong type read as
missing; times that cannot be a time (NaN, infinities, 1e300) too.
"""

from __future__ import annotations

import io
import itertools
import math
import os
from collections.abc import Callable, Iterable
from dataclasses import dataclass, field
from typing import Any, BinaryIO, Protocol

import msgpack

from vask.values import unpack_stored, upgrade_legacy_value

__all__ = [
    "CALLS_DROPPED_TYPE",
    "FOLDED_TYPE",
    "HEAD_KEYS",
    "CALL_PATTERN",
    "CLOSING_EVENTS",
    "FLUSHED_TYPE",
    "HEAD_WINDOW",
    "OPENING_EVENTS",
    "OUTCOMES",
    "PLAUSIBLE_TIMES",
    "DamagedDocument",
    "ThreadTrace",
    "Trace",
    "check_document",
    "decode_document",
    "decode_record",
    "document_damage",
    "document_facts",
    "document_outcome",
    "end_test_record",
    "head_damage",
    "legacy_form",
    "merge_documents",
    "pid_or_none",
    "plausible_time",
    "read_head",
    "read_process",
    "read_process_facts",
    "record_time",
    "scan_file",
    "take_facts",
    "text_or_none",
    "trace_point_meta",
    "upgrade_legacy_record",
    "upgrade_legacy_values",
]

#: Frame events that open a frame (a call node) and those that close it.
OPENING_EVENTS = frozenset(("call", "resume", "throw"))
CLOSING_EVENTS = frozenset(("return", "unwind", "yield"))
#: The type of the marker record that stands in for a subtree stored apart.
FLUSHED_TYPE = "subtree_flushed"
#: The type of the record that counts the calls a trace left out past its size limit.
CALLS_DROPPED_TYPE = "calls_dropped"
#: The record of the calls of one function that a recorded call folded: left
#: out past the first few, counted and timed ("count", "total_duration",
#: "min_duration", "max_duration", "first_timestamp", "last_timestamp").
FOLDED_TYPE = "folded"


class DamagedDocument(ValueError):
    """A stored trace document that cannot be read (truncated, overwritten, not a trace)."""


# -- the head and the facts read without decoding a document -----------------

# The head of every trace document: the keys save_trace reads, all of which
# come before the (large) rest of the document.
HEAD_KEYS = (
    "trace_id",
    "trace_name",
    "current_thread_id",
    "timestamp",
    "current_commit_sha",
    "root_trace_id",
)

# Frame records write "event" directly followed by "frame_id", whose value is
# "frm_" and a 26-character ULID (a 30-character fixstr).  Counting this byte
# pattern counts the call records without decoding the document; a user value
# would have to hold these exact bytes (a map with the keys "event" = "call"
# and "frame_id" = a 30-character "frm_..." text, in that order) to be counted.
CALL_PATTERN = (
    msgpack.packb("event") + msgpack.packb("call") + msgpack.packb("frame_id") + b"\xbefrm_"
)

#: The outcomes a test's trace can have (the ``outcome`` of its "end_test" record).
OUTCOMES = ("passed", "failed", "error", "skipped", "xfailed", "xpassed", "interrupted")
# The "type" entry of an "end_test" record; the record (a map written by the
# dumpers, keys in the plugin's order) starts with its "frame_id" entry.
END_TEST = msgpack.packb("type") + msgpack.packb("end_test")
_FRAME_ID_KEY = msgpack.packb("frame_id")
# How far before its "type" entry a record's "frame_id" entry can be: the id,
# the time and the call site (a map of an id and a line) come between.
_END_TEST_REACH = 512
# How much of a document after that is read to decode the record.
_END_TEST_WINDOW = 64 << 10


# What a reader of a document's first entries reads of it at a time: an
# Unpacker reading a file reads a megabyte at a time by default, a copy that
# costs more than decoding the entries (the reader reads on as it needs).
HEAD_READ = 64 << 10


def read_head(data: bytes) -> dict[str, Any]:
    """The head entries of a trace document, decoding nothing else.

    Raises ``ValueError`` (and nothing else) for bytes that do not start
    with a MessagePack map.
    """
    try:
        unpacker = msgpack.Unpacker(
            io.BytesIO(bytes(data)),
            raw=False,
            max_buffer_size=1 << 20,
            read_size=HEAD_READ,
            strict_map_key=False,
        )
        n = unpacker.read_map_header()
    except Exception as error:  # any malformation means "not a document"
        raise ValueError(f"trace document is not a MessagePack map: {error}") from error
    head: dict[str, Any] = {}
    try:
        for _ in range(n):
            key = unpacker.unpack()
            if not isinstance(key, str) or key not in HEAD_KEYS:
                break
            head[key] = unpacker.unpack()
            if key == HEAD_KEYS[-1]:
                break
    except Exception as error:
        raise ValueError(f"trace document head is malformed: {error}") from error
    return head


def text_or_none(value: Any) -> str | None:
    return value if isinstance(value, str) else None


def pid_or_none(value: Any) -> int | None:
    return value if type(value) is int and 0 < value < 1 << 32 else None


def read_process(data: bytes | BinaryIO) -> dict[str, Any]:
    """The "meta" "process" facts of a trace document stored by vask 0.2 (``pid``,
    ``parent_pid``, ``parent_trace_id``, ``name``), each ``None`` where the
    document lacks it or holds a value of the wrong type (every later
    document: the host stores them in the row); decodes nothing after "meta".

    ``data`` is the document, or a binary file holding it from its current
    position (read only up to "meta").
    """
    facts: dict[str, Any] = {}
    try:
        source = data if hasattr(data, "read") else io.BytesIO(bytes(data))
        unpacker = msgpack.Unpacker(
            source, raw=False, max_buffer_size=1 << 24, read_size=HEAD_READ, strict_map_key=False
        )
        for _ in range(unpacker.read_map_header()):
            key = unpacker.unpack()
            if key != "meta":
                unpacker.skip()
                continue
            meta = unpacker.unpack()
            process = meta.get("process") if isinstance(meta, dict) else None
            facts = process if isinstance(process, dict) else {}
            break
    except Exception:  # noqa: BLE001 - a document without readable facts has none
        facts = {}
    return read_process_facts(facts)


def read_process_facts(process: dict[str, Any]) -> dict[str, Any]:
    """A decoded "process" map's facts, each ``None`` where missing or of the wrong type."""
    facts = process
    return {
        "pid": pid_or_none(facts.get("pid")),
        "parent_pid": pid_or_none(facts.get("parent_pid")),
        "parent_trace_id": text_or_none(facts.get("parent_trace_id")),
        "name": text_or_none(facts.get("name")),
    }


# Times outside these bounds (seconds since the epoch: about 1200 BC to AD
# 5100) are no time a trace was made at; the platform's calendar functions
# fail on far smaller values than a float can hold.
_EARLIEST, _LATEST = -1e11, 1e11
#: The open range of times :func:`plausible_time` accepts.
PLAUSIBLE_TIMES = (_EARLIEST, _LATEST)


def plausible_time(value: Any) -> float | None:
    """``value`` as a float when it can be a time in seconds since the epoch, else ``None``.

    Refuses booleans, non-numbers, infinities, NaN and times tens of
    centuries away.
    """
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        return None
    try:
        number = float(value)
    except OverflowError:
        return None
    return number if _EARLIEST < number < _LATEST else None


def document_outcome(data: bytes | memoryview) -> str | None:
    """The outcome of the test a document is the trace of, from its last "end_test" record.

    ``None`` for a document without one (a trace of no test, an old plugin)
    or whose record does not read as one.
    """
    at = data.rfind(END_TEST) if isinstance(data, bytes) else bytes(data).rfind(END_TEST)
    if at < 0:
        return None
    return outcome_near(data, at)


def outcome_near(data: bytes | memoryview, at: int) -> str | None:
    """The outcome of the "end_test" record whose "type" entry is at ``at`` in ``data``."""
    record = end_test_near(data, at)
    outcome = record.get("outcome") if record is not None else None
    return outcome if outcome in OUTCOMES else None


def end_test_record(data: bytes | memoryview) -> dict[str, Any] | None:
    """A document's last "end_test" record, decoded, or ``None``."""
    at = data.rfind(END_TEST) if isinstance(data, bytes) else bytes(data).rfind(END_TEST)
    return None if at < 0 else end_test_near(data, at)


def end_test_near(data: bytes | memoryview, at: int) -> dict[str, Any] | None:
    """The "end_test" record whose "type" entry is at ``at`` in ``data``, decoded."""
    view = memoryview(data)
    window = bytes(view[max(at - _END_TEST_REACH, 0) : at])
    key = window.rfind(_FRAME_ID_KEY)
    if key < 0:
        return None
    start = at - len(window) + key
    # The map header is one byte (up to 15 entries) or three (map 16).
    for header in (1, 3):
        if start - header < 0:
            continue
        try:
            unpacker = msgpack.Unpacker(None, raw=False, strict_map_key=False)
            unpacker.feed(bytes(view[start - header : start - header + _END_TEST_WINDOW]))
            record = unpacker.unpack()
        except Exception:  # noqa: BLE001 - any malformation: not the record
            continue
        if isinstance(record, dict) and record.get("type") == "end_test":
            return record
    return None


def trace_point_meta(start: bytes) -> dict[str, Any] | None | bool:
    """The ``meta`` ``trace_point`` entry of a document starting with ``start``.

    ``None`` when the document has none; ``False`` when ``start`` ends before
    its ``meta`` does.
    """
    unpacker = msgpack.Unpacker(
        None, raw=False, strict_map_key=False, unicode_errors="replace", max_buffer_size=1 << 20
    )
    unpacker.feed(start)
    try:
        for _ in range(unpacker.read_map_header()):
            key = unpacker.unpack()
            if key != "meta":
                if key in ("threads", "command_line_args"):
                    return None
                unpacker.skip()
                continue
            meta = unpacker.unpack()
            entry = meta.get("trace_point") if isinstance(meta, dict) else None
            return entry if isinstance(entry, dict) else None
    except msgpack.OutOfData:
        return False
    except Exception:  # noqa: BLE001 - a damaged head: no trace point
        return None
    return None


# How much of a document's start find_damage reads: far more than a head needs.
HEAD_WINDOW = 4096


def document_damage(data: bytes) -> str | None:
    """Why ``data`` is not a complete MessagePack map, or ``None`` when it is.

    Walks the structure without building it.
    """
    if not data:
        return "empty document"
    unpacker = msgpack.Unpacker(None, max_buffer_size=max(len(data), 1))
    unpacker.feed(data)
    try:
        n = unpacker.read_map_header()
        for _ in range(n):
            unpacker.skip()
            unpacker.skip()
    except msgpack.OutOfData:
        return f"truncated after {len(data)} bytes"
    except Exception as error:  # noqa: BLE001 - any malformation is damage
        return f"not a trace document ({error or type(error).__name__})"
    if unpacker.tell() != len(data):
        return f"{len(data) - unpacker.tell()} stray bytes after the document"
    return None


def head_damage(start: bytes, length: int) -> str | None:
    """Why a ``length``-byte document starting with ``start`` is damaged, if that shows.

    A document read whole (a small one) is checked whole; of a larger one
    only the head is decoded.
    """
    if len(start) >= length:
        return document_damage(start)
    try:
        read_head(start)
    except ValueError as error:
        if isinstance(error.__cause__, msgpack.OutOfData):
            return None  # a head longer than the part read: nothing wrong seen
        return str(error)
    return None


def scan_file(f: io.BufferedReader, size: int) -> tuple[int, str | None]:
    """The call records of a document in a file, and its test outcome, reading it once."""
    chunk = 8 << 20
    keep = max(len(CALL_PATTERN), len(END_TEST)) - 1
    calls = 0
    last_end_test = -1
    tail = b""
    offset = 0
    f.seek(0)
    while True:
        data = f.read(chunk)
        if not data:
            break
        window = tail + data
        base = offset - len(tail)
        # Occurrences that start in the kept tail were counted with it only
        # when they lay wholly inside it, which they cannot (it is shorter).
        calls += window.count(CALL_PATTERN)
        at = window.rfind(END_TEST)
        if at >= 0:
            last_end_test = base + at
        tail = window[-keep:] if keep else b""
        offset += len(data)
    outcome = None
    if last_end_test >= 0:
        start = max(last_end_test - _END_TEST_REACH, 0)
        f.seek(start)
        window = f.read(last_end_test - start + _END_TEST_WINDOW)
        outcome = outcome_near(window, last_end_test - start)
    return calls, outcome


# -- reading a document as a stream ------------------------------------------------
#
# Every reader of whole documents reads them here, a chunk at a time, so that
# a document larger than memory (or stored in pieces) is never held whole.

#: How much of a document a stream reads at a time.
CHUNK = 64 << 10
#: The longest single record a stream accepts.
MAX_RECORD = 1 << 30


class DocumentSource(Protocol):
    """The bytes of one stored document."""

    size: int

    def read(self, offset: int, n: int) -> bytes:
        """``n`` bytes (fewer at the end) starting at ``offset``."""
        ...


class BytesSource:
    """A document held in memory."""

    def __init__(self, data: bytes) -> None:
        self.data = data
        self.size = len(data)

    def read(self, offset: int, n: int) -> bytes:
        return self.data[offset : offset + n]


class FileSource:
    """A document held in a file (a side file), read part by part."""

    def __init__(self, path: Any) -> None:
        from vask.storage import codec

        self._file = open(path, "rb")  # noqa: SIM115 - closed by close()
        try:
            # Side files are compressed as stored documents are; older ones
            # hold the document as it is.
            self._packed = codec.open_packed_file(self._file.fileno())
        except codec.CorruptFrame as error:
            self._file.close()
            raise ValueError(f"damaged compressed document: {error}") from error
        except BaseException:
            self._file.close()
            raise
        self.size = (
            self._packed.size if self._packed is not None else os.fstat(self._file.fileno()).st_size
        )

    @property
    def compressed(self) -> bool:
        """Whether the file holds the document compressed."""
        return self._packed is not None

    def file(self) -> BinaryIO:
        """The document as a binary file, positioned at its start (closed with the source)."""
        if self._packed is None:
            self._file.seek(0)
            return self._file
        return io.BufferedReader(SourceFile(self), 1 << 20)

    def read(self, offset: int, n: int) -> bytes:
        if self._packed is not None:
            return self._packed.read(offset, n)
        return os.pread(self._file.fileno(), n, offset)

    def close(self) -> None:
        if self._packed is not None:
            self._packed.close()
        self._file.close()


class SourceFile(io.RawIOBase):
    """A document source read as a binary file (for readers that take one)."""

    def __init__(self, source: Any) -> None:
        self._source = source
        self._pos = 0

    def readable(self) -> bool:
        return True

    def seekable(self) -> bool:
        return True

    def tell(self) -> int:
        return self._pos

    def seek(self, offset: int, whence: int = io.SEEK_SET) -> int:
        base = {io.SEEK_SET: 0, io.SEEK_CUR: self._pos, io.SEEK_END: self._source.size}[whence]
        self._pos = max(0, base + offset)
        return self._pos

    def readinto(self, buffer: Any) -> int:
        data = self._source.read(self._pos, len(buffer))
        buffer[: len(data)] = data
        self._pos += len(data)
        return len(data)


class DocumentStream:
    """MessagePack reading over a source, with the bytes of the records it passed.

    ``buf[pos - base : end - base]`` holds every complete object read since
    the last :meth:`refill`.  A source held in memory is one buffer; others
    are read in chunks, keeping from the first object not yet read.  A reader
    that measures records itself reads on in ``buf`` (:meth:`more`) and then
    moves the MessagePack reading past them (:meth:`resync`).
    """

    #: The most bytes :meth:`more` holds for one record: a longer one is read
    #: through the MessagePack reader, which keeps no more than it must.
    MORE_LIMIT = 8 << 20

    def __init__(self, source: DocumentSource) -> None:
        self.source = source
        self.unpacker = self._unpacker()
        self.origin = 0  # the document position the unpacker started at
        self.fed = 0
        self.base = 0
        if isinstance(source, BytesSource):
            self.buf: bytes = source.data
            self.whole = True
        else:
            self.buf = b""
            self.whole = False

    @staticmethod
    def _unpacker() -> msgpack.Unpacker:
        return msgpack.Unpacker(
            None,
            raw=False,
            strict_map_key=False,
            unicode_errors="replace",
            max_buffer_size=MAX_RECORD + CHUNK,
        )

    def tell(self) -> int:
        """The document position of the next object the unpacker reads."""
        return self.origin + self.unpacker.tell()

    def refill(self, keep_from: int) -> None:
        """Feed the next chunk; the bytes from ``keep_from`` on stay in ``buf``."""
        if self.fed >= self.source.size:
            raise DamagedDocument(f"truncated after {self.source.size} bytes")
        if self.whole:
            view = memoryview(self.buf)[self.fed : self.fed + CHUNK]
            self.unpacker.feed(view)
            self.fed += len(view)
            return
        chunk = self.source.read(self.fed, CHUNK)
        if not chunk:
            raise DamagedDocument(f"truncated after {self.fed} bytes")
        self.buf = self.buf[keep_from - self.base :] + chunk
        self.base = keep_from
        self.unpacker.feed(chunk)
        self.fed += len(chunk)

    def more(self, keep_from: int) -> bool:
        """Read the next chunk into ``buf`` alone (the unpacker is not fed), keeping
        from ``keep_from`` on; False at the end of the document, or when more than
        :attr:`MORE_LIMIT` bytes would be held.  :meth:`resync` must follow."""
        if self.whole or self.fed >= self.source.size or self.fed - keep_from > self.MORE_LIMIT:
            return False
        chunk = self.source.read(self.fed, CHUNK)
        if not chunk:
            return False
        self.buf = self.buf[keep_from - self.base :] + chunk
        self.base = keep_from
        self.fed += len(chunk)
        return True

    def resync(self, pos: int) -> None:
        """Go on reading objects at document position ``pos`` (at or after the last
        object read, within or at the end of ``buf``)."""
        self.unpacker = self._unpacker()
        self.origin = pos
        if self.whole:
            view = memoryview(self.buf)[pos : pos + CHUNK]
            self.unpacker.feed(view)
            self.fed = pos + len(view)
            return
        self.buf = self.buf[pos - self.base :]
        self.base = pos
        if self.buf:
            self.unpacker.feed(self.buf)

    def call(self, method: Callable[[], Any]) -> Any:
        """``method()`` of the unpacker, feeding more bytes until it completes."""
        start = self.tell()
        while True:
            try:
                return method()
            except msgpack.OutOfData:
                self.refill(start)
            except TypeError as error:
                # A map key that cannot be a key (a map, say) damages the
                # document, not the reader.
                raise DamagedDocument(f"not a trace document ({error})") from error

    def unpack(self) -> Any:
        return self.call(self.unpacker.unpack)

    def skip(self) -> None:
        self.call(self.unpacker.skip)

    def read_map_header(self) -> int:
        return self.call(self.unpacker.read_map_header)

    def read_array_header(self) -> int:
        return self.call(self.unpacker.read_array_header)


def source_damage(source: DocumentSource) -> str | None:
    """Why the document is not one complete trace document (a MessagePack map with a map
    of threads), reading it in chunks and holding no more of it than one record."""
    if source.size == 0:
        return "empty document"
    unpacker = msgpack.Unpacker(None, raw=False, max_buffer_size=MAX_RECORD + CHUNK)
    fed = 0

    def more() -> bool:
        nonlocal fed
        chunk = source.read(fed, CHUNK) if fed < source.size else b""
        if not chunk:
            return False
        unpacker.feed(chunk)
        fed += len(chunk)
        return True

    def fed_call(method: Callable[[], Any]) -> Any:
        while True:
            try:
                return method()
            except msgpack.OutOfData:
                if not more():
                    raise

    more()
    seen_threads = False
    try:
        n = fed_call(unpacker.read_map_header)
        for _ in range(n):
            key = fed_call(unpacker.unpack)
            if key != "threads":
                fed_call(unpacker.skip)
                continue
            try:
                threads = fed_call(unpacker.read_map_header)
            except (ValueError, msgpack.UnpackException):
                return "not a trace document (no threads)"
            seen_threads = True
            for _ in range(2 * threads):
                fed_call(unpacker.skip)
    except msgpack.OutOfData:
        return f"truncated after {source.size} bytes"
    except Exception as error:  # noqa: BLE001 - any malformation is damage
        return f"not a trace document ({error})"
    while more():
        pass
    if unpacker.tell() != source.size:
        return f"{source.size - unpacker.tell()} stray bytes after the document"
    if not seen_threads:
        return "not a trace document (no threads)"
    return None


# -- documents -------------------------------------------------------------


def check_document(data: bytes) -> str | None:
    """Why ``data`` is not a complete trace document, or ``None`` when it is.

    Walks the MessagePack structure without building it, so it is cheap enough
    to run over every document of a database.
    """
    return document_damage(data)


def decode_record(data: bytes) -> Any:
    """One MessagePack object of a stored document (a record, a value) decoded.

    Every reader of stored values decodes them here, so that they all see
    the same Python values.
    """
    return unpack_stored(data)


def decode_document(data: bytes) -> dict[str, Any]:
    """The trace document in ``data`` as a dict; raises :class:`DamagedDocument`.

    Stored values come back as :mod:`vask.values` describes (reprs as
    :class:`~vask.values.ObjectRepr`, tuples as tuples ...), also those of
    documents stored before the dumpers marked them (:func:`upgrade_legacy_values`).
    """
    reason = check_document(data)
    if reason is not None:
        raise DamagedDocument(reason)
    try:
        doc = decode_record(data)
    except Exception as error:
        raise DamagedDocument(f"cannot be decoded ({error})") from error
    if not isinstance(doc, dict) or not isinstance(doc.get("threads"), dict):
        raise DamagedDocument("not a trace document (no threads)")
    upgrade_legacy_values(doc)
    return doc


#: The first version of vask whose dumpers mark reprs, tuples and sets.
MARKED_VALUES_SINCE = (0, 2)
_VALUE_KEYS = ("arg", "exception", "locals")


def _version(text: Any) -> tuple[int, ...] | None:
    if not isinstance(text, str):
        return None
    parts = []
    for part in text.split("."):
        digits = "".join(itertools.takewhile(str.isdigit, part))
        if not digits:
            break
        parts.append(int(digits))
    return tuple(parts) or None


def legacy_form(meta: Any) -> bool | None:
    """How a document with this ``meta`` stored its values, when it is from before 0.2.

    ``None`` for a document whose values say what they were; otherwise
    whether it was written in the lightweight form (where every stored value
    was a repr).
    """
    meta = meta if isinstance(meta, dict) else {}
    version = _version(meta.get("version"))
    if version is None or version >= MARKED_VALUES_SINCE:
        return None
    config = meta.get("config")
    return isinstance(config, dict) and config.get("lightweight_repr") is True


def upgrade_legacy_record(record: Any, lightweight: bool) -> Any:
    """A frame record of a document from before 0.2 with its reprs marked; in place."""
    if isinstance(record, dict) and record.get("type") == "frame":
        for key in _VALUE_KEYS:
            if key in record:
                record[key] = upgrade_legacy_value(record[key], all_reprs=lightweight)
    return record


def upgrade_legacy_values(doc: dict[str, Any]) -> bool:
    """Mark the reprs of a document stored before 0.2 as the dumpers now do; in place.

    Returns whether the document was such a one. Its frame records' values
    are upgraded by :func:`vask.values.upgrade_legacy_value`.
    """
    lightweight = legacy_form(doc.get("meta"))
    if lightweight is None:
        return False
    for thread in doc["threads"].values():
        frames = thread.get("frames") if isinstance(thread, dict) else None
        for record in frames if isinstance(frames, list) else ():
            upgrade_legacy_record(record, lightweight)
    return True


def document_facts(data: bytes) -> dict[str, Any]:
    """``trace_id``, ``trace_name``, ``timestamp`` and counts (threads, calls, flushed subtrees).

    Reads the top level only; the records are skipped, not decoded.  Facts
    of the wrong type are ``None``.  Raises :class:`DamagedDocument` for
    bytes that are not a trace document.
    """
    facts: dict[str, Any] = {"trace_id": None, "trace_name": None, "threads": 0}
    try:
        data = bytes(data)
        unpacker = msgpack.Unpacker(
            None, raw=False, max_buffer_size=max(len(data), 1), strict_map_key=False
        )
        unpacker.feed(data)
        for _ in range(unpacker.read_map_header()):
            key = unpacker.unpack()
            if key in ("trace_id", "trace_name", "timestamp"):
                facts[key] = unpacker.unpack()
            elif key == "threads":
                facts["threads"] = _active_threads(unpacker)
            else:
                unpacker.skip()
    except Exception as error:  # noqa: BLE001 - any malformation is damage
        raise DamagedDocument(f"not a trace document ({error or type(error).__name__})") from None
    for key in ("trace_id", "trace_name"):
        if not isinstance(facts[key], str):
            facts[key] = None
    if "timestamp" in facts:
        facts["timestamp"] = plausible_time(facts["timestamp"])
    facts["calls"] = data.count(CALL_PATTERN)
    facts["flushed_subtrees"] = data.count(_FLUSHED_PATTERN)
    return facts


def _active_threads(unpacker: msgpack.Unpacker) -> int:
    """The number of threads with records in a ``threads`` map, read off ``unpacker``."""
    active = 0
    for _ in range(unpacker.read_map_header()):
        unpacker.skip()  # the thread key
        for _ in range(unpacker.read_map_header()):
            if unpacker.unpack() == "frames":
                records = unpacker.read_array_header()
                active += records > 0
                for _ in range(records):
                    unpacker.skip()
            else:
                unpacker.skip()
    return active


_FLUSHED_PATTERN = msgpack.packb("type") + msgpack.packb(FLUSHED_TYPE)


# -- merged traces ---------------------------------------------------------


@dataclass
class ThreadTrace:
    """One thread of a trace: its facts and its records in order."""

    key: str
    name: str
    native_id: int | None = None
    ident: int | None = None
    records: list[dict[str, Any]] = field(default_factory=list)


@dataclass
class Trace:
    """A trace id read back: its documents merged into one."""

    trace_id: str
    name: str | None = None
    timestamp: float | None = None
    root_trace_id: str | None = None
    command_line_args: list[str] = field(default_factory=list)
    main_thread: str | None = None
    meta: dict[str, Any] = field(default_factory=dict)
    threads: dict[str, ThreadTrace] = field(default_factory=dict)
    documents: int = 0
    #: (1-based document number, reason) of each document that could not be read.
    damaged: list[tuple[int, str]] = field(default_factory=list)

    def ordered_threads(self) -> list[ThreadTrace]:
        """The saving (main) thread first, then the others by their first record."""

        def first(t: ThreadTrace) -> float:
            for record in t.records:
                ts = record_time(record)
                if ts is not None:
                    return ts
            return math.inf

        return sorted(self.threads.values(), key=lambda t: (t.key != self.main_thread, first(t)))

    def last_timestamp(self) -> float | None:
        """The latest timestamp of any record (the end of the trace)."""
        last = None
        for thread in self.threads.values():
            for record in reversed(thread.records):
                ts = record_time(record)
                if ts is not None:
                    last = ts if last is None else max(last, ts)
                    break
        return last


def _int_or_none(value: Any) -> int | None:
    return value if isinstance(value, int) and not isinstance(value, bool) else None


def _thread_key(key: Any) -> str:
    """A thread key as text; keys of other types (the format's keys are texts) as a short repr."""
    if isinstance(key, str):
        return key
    if isinstance(key, (bytes, int, float)) or key is None:
        return repr(key)[:100]
    return f"<{type(key).__name__} key>"


def take_facts(trace: Any, doc: dict[str, Any]) -> None:
    """Take a document's facts into ``trace`` (a :class:`Trace` or a trace index).

    Documents are taken in storage order: the name, root and meta of the
    last one that has them win; the start time, command line and main thread
    of the first.  Values of the wrong type, and times no clock could show,
    read as missing.
    """
    if isinstance(doc.get("trace_name"), str):
        trace.name = doc["trace_name"]
    if trace.timestamp is None:
        trace.timestamp = plausible_time(doc.get("timestamp"))
    if isinstance(doc.get("root_trace_id"), str):
        trace.root_trace_id = doc["root_trace_id"]
    args = doc.get("command_line_args")
    if isinstance(args, list) and not trace.command_line_args:
        trace.command_line_args = [a if isinstance(a, str) else "?" for a in args]
    if trace.main_thread is None and isinstance(doc.get("current_thread_id"), str):
        trace.main_thread = doc["current_thread_id"]
    if isinstance(doc.get("meta"), dict):
        trace.meta = doc["meta"]


def _merge_one(trace: Trace, doc: dict[str, Any]) -> None:
    """Merge one decoded document into ``trace``.

    Everything is read into locals first and ``trace`` changes only at the
    end, so a document that turns out to be unreadable half-way leaves no
    trace of itself.
    """
    threads = []
    for key, info in doc["threads"].items():
        info = info if isinstance(info, dict) else {}
        frames = info.get("frames")
        name = info.get("name")
        threads.append(
            (
                _thread_key(key),
                name if isinstance(name, str) else None,
                _int_or_none(info.get("native_id")),
                _int_or_none(info.get("ident")),
                [r for r in frames if isinstance(r, dict)] if isinstance(frames, list) else [],
            )
        )
    take_facts(trace, doc)
    for key, name, native_id, ident, records in threads:
        thread = trace.threads.get(key)
        if thread is None:
            thread = trace.threads[key] = ThreadTrace(key=key, name=key)
        if name is not None:
            thread.name = name
        thread.native_id = native_id or thread.native_id
        thread.ident = ident or thread.ident
        thread.records.extend(records)


def merge_documents(trace_id: str, documents: Iterable[bytes]) -> Trace:
    """The documents of one trace id read as one trace; damaged ones are noted and skipped."""
    trace = Trace(trace_id=trace_id)
    for number, data in enumerate(documents, 1):
        trace.documents += 1
        try:
            _merge_one(trace, decode_document(data))
        except DamagedDocument as error:
            trace.damaged.append((number, str(error)))
        except Exception as error:  # noqa: BLE001 - one unreadable document is not the trace
            trace.damaged.append((number, f"cannot be read ({type(error).__name__}: {error})"))
    return trace


def record_time(record: dict[str, Any] | None) -> float | None:
    """The record's timestamp as a float, or ``None`` when it has none that can be a time."""
    return plausible_time(record.get("timestamp")) if isinstance(record, dict) else None
