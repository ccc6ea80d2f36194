"""A compact index of a stored trace: its call trees per thread, built without decoding values.

The index is made by one streaming pass over the stored document bytes: each
record is skipped by the MessagePack reader (which only measures it) and the
few facts the tree needs (event, frame id, time, function name) are read from
the record's head.  Per thread it keeps flat arrays (``array``/``bytearray``,
a few dozen bytes per call) instead of decoded records; a record's values are
decoded only when asked for, from its byte range in the document.

The documents themselves are read through a :class:`DocumentSource`: bytes in
memory (:class:`BytesSource`) or a reader of a database row that reads only
the parts asked for, so that an index can be used while the document stays
on disk.

The call trees are those of :func:`vask.calltree.build_call_tree`: "call",
"resume" and "throw" frame records open a node, the matching (same frame id)
"return", "unwind" or "yield" record closes it, plugin records and
"subtree_flushed" markers become leaves, and a closing record with no open
frame makes a node for a call that began before tracing, adopting what ran
before it.  Assignment records (event "line") belong to the call they ran in.
Resumes of a generator or coroutine frame (a new frame id each time) are
linked to the frame's first part: by function and by the line it yielded at.
"""

from __future__ import annotations

import bisect
import math
import sqlite3
import struct
import threading
from array import array
from collections import deque
from collections.abc import Callable, Iterable, Iterator
from dataclasses import dataclass
from itertools import filterfalse
from typing import Any

import msgpack

from vask import _dump
from vask.asynctasks import STEP_END_TYPE, STEP_TYPE, TASK_CREATED_TYPE
from vask.calltree import body_kind
from vask.document import (
    CHUNK,
    FLUSHED_TYPE,
    PLAUSIBLE_TIMES,
    BytesSource,
    DamagedDocument,
    DocumentSource,
    DocumentStream,
    FileSource,
    decode_record,
    legacy_form,
    plausible_time,
    read_process_facts,
    source_damage,
    take_facts,
    upgrade_legacy_record,
)
from vask.storage import codec, query, schema
from vask.values import ext_hook

__all__ = [
    "EVENT_NAMES",
    "AssignmentNode",
    "BytesSource",
    "DocumentSource",
    "FileSource",
    "IndexNode",
    "NameInfo",
    "StoredDocument",
    "ThreadIndex",
    "TraceIndex",
    "build_index",
    "open_trace",
    "source_damage",
    "stored_sources",
]

#: Record kinds of the index, the frame events first (their codes are the engines').
EVENT_NAMES = ("call", "return", "unwind", "resume", "yield", "throw")
_EVENT_CODE = {name: code for code, name in enumerate(EVENT_NAMES)}
# A frame record's event text by its header byte and its fourth byte: "call" is
# 0xa4 "c" "a" "l" ..., "resume" 0xa6 "r" "e" "s" ...; all six differ there.
_EVENT_CODE_BYTES = {
    (0xA0 + len(name)) << 8 | name.encode()[2]: code for name, code in _EVENT_CODE.items()
}
assert len(_EVENT_CODE_BYTES) == len(_EVENT_CODE)
OPEN_CODES = frozenset((0, 3, 5))
CLOSE_CODES = frozenset((1, 2, 4))
REC_PLUGIN = 6
REC_FLUSHED = 7
REC_LINE = 8  # an assignment record (event "line")
REC_OTHER = 9  # a frame record of another event, or a record with no text type

#: Kinds of the asyncio tasks' records (see :mod:`vask.asynctasks`) that
#: :attr:`ThreadIndex.task_codes` keeps: a step's start and end, a task's
#: creation, and the creation of a task that ran its first step eagerly.
TASK_STEP, TASK_STEP_END, TASK_CREATED, TASK_CREATED_EAGER = 1, 2, 3, 4
_TASK_CODES = {STEP_TYPE: TASK_STEP, STEP_END_TYPE: TASK_STEP_END, TASK_CREATED_TYPE: TASK_CREATED}
_NO_TASK_FACTS = (0, 0)

#: Node kinds; the names are those of :class:`vask.calltree.CallNode`.
NODE_ROOT, NODE_CALL, NODE_PLUGIN, NODE_FLUSHED = 0, 1, 2, 3
NODE_KINDS = ("root", "call", "plugin", "flushed")

_NONE = -1
_NAN = math.nan
# Bytes read from a source at a time.  Kept below glibc's mmap threshold
# (128 KiB): freeing a larger buffer raises that threshold, after which the
# growing index arrays are reallocated on the heap, copied and fragmented,
# which costs more memory than the arrays themselves.

# The head of a frame record as the engines write it: a map of 10 entries
# whose first key is "path" (then "co_name", "qualname", "event", "frame_id")
# and whose "timestamp" entry is the last float of the record (only the fixed
# "type" and "user_code_call_site" entries follow it).
_FRAME_HEAD = b"\x8a\xa4path"
_KEY_CO_NAME = b"\xa7co_name"
_KEY_QUALNAME = b"\xa8qualname"
_KEY_EVENT = b"\xa5event"
_KEY_FRAME_ID = b"\xa8frame_id"
_KEY_TIMESTAMP = b"\xa9timestamp\xcb"
_FLOAT = struct.Struct(">d")
# A record the scanner leaves to the decoder (not in the engines' frame layout).
_SLOW = 255
_NO_SPANS = (0, 0, 0, 0, 0, 0)
# Bytes read at a time for the records asked for one by one (below glibc's
# mmap threshold, as CHUNK), and how many such windows are kept: a record's
# closing record may lie far past the next record asked for.
_WINDOW = 64 << 10
_WINDOWS = 4
# Decompressed bytes a trace's stored documents keep once indexed (codec frames
# are of 1 MiB): a reader that moves among far parts of a trace (a task's steps,
# each among other tasks' records) decompresses each part once while they fit.
_FRAME_CACHE = 4 << 20
# Records per call of the scanner: bounds the columns held at once.
_SCAN_BATCH = 1 << 16
# Why the scanner stopped: the records asked for were read, the next one is incomplete.
_SCAN_COUNT, _SCAN_INCOMPLETE = 0, 1
#: The native scanner (``None``: records are measured by the MessagePack reader).
_scan_records: Callable[..., tuple[Any, ...]] | None = getattr(_dump, "_scan_records", None)
#: The native linking of the common records (``None``: all are linked in Python).
_link_records: Callable[..., tuple[Any, ...]] | None = getattr(_dump, "_link_records", None)
_U16 = struct.Struct(">H")
_U32 = struct.Struct(">I")


class StoredDocument:
    """A document stored in the database, read part by part across its pieces.

    The :class:`vask.storage.query.DocumentReader` underneath keeps the handle of the
    piece being read open: reading far into a large document through a new
    handle walks its pages from the start.  ``lock`` serialises every use of
    ``conn`` (and so of the handles) among threads.
    """

    def __init__(
        self,
        conn: sqlite3.Connection,
        lock: threading.Lock,
        row_id: int,
        size: int,
        frames: codec.FrameCache | None = None,
    ):
        self.conn = conn
        self.lock = lock
        self.row_id = row_id
        self.size = size
        #: Decompressed frames kept for this document (shared by a trace's documents).
        self.frames = frames
        self._reader: query.DocumentReader | None = None

    def read(self, offset: int, n: int) -> bytes:
        with self.lock:
            if self._reader is None:
                self._reader = query.DocumentReader(self.conn, self.row_id, self.frames)
            return self._reader.read(offset, n)

    def keep_frames(self, frames: codec.FrameCache) -> None:
        """Keep decompressed frames in ``frames`` from now on (its users share ``lock``)."""
        with self.lock:
            self.frames = frames
            if self._reader is not None:
                self._reader.close()
                self._reader = None

    def close(self) -> None:
        with self.lock:
            if self._reader is not None:
                self._reader.close()
                self._reader = None


def stored_sources(
    conn: sqlite3.Connection, lock: threading.Lock, db_path: Any, trace_id: str, timeout: float
) -> list[DocumentSource]:
    """The documents of ``trace_id``, each read part by part (a piece at a time on 3.10).

    Once indexed (:func:`build_index`), they share a few decompressed frames.
    """
    with lock:
        rows = query.document_rows(conn, trace_id)
    return [StoredDocument(conn, lock, row_id, size or 0) for row_id, size in rows]


def open_trace(
    db_path: Any,
    trace_id: str,
    timeout: float = 60,
    progress: Callable[[int, int], None] | None = None,
) -> TraceIndex:
    """The index of a stored trace, its documents read from the database as needed.

    The index holds a connection of its own; :meth:`TraceIndex.close` closes it.
    """
    conn = schema.open_reader(db_path, timeout)
    if conn is None:
        return build_index(trace_id, [])
    lock = threading.Lock()
    try:
        index = build_index(
            trace_id, stored_sources(conn, lock, db_path, trace_id, timeout), progress
        )
    except BaseException:
        conn.close()
        raise
    index._closers.append(conn.close)
    with lock:
        index.process = query.stored_process(conn, trace_id)
    return index


@dataclass
class NameInfo:
    """A function (code object) as the index names it."""

    #: What a person reads: ``Inventory.reserve``, ``module examples.shop``, ``class body Item``.
    label: str
    qualname: str
    co_name: str
    #: "function", "module" or "class" (a class body).
    kind: str = "function"


def _str_span(buf: bytes, p: int) -> tuple[int, int]:
    """Start and end of the text (or nil: an empty span) whose header is at ``p``."""
    b = buf[p]
    if 0xA0 <= b <= 0xBF:
        return p + 1, p + 1 + (b & 0x1F)
    if b == 0xD9:
        return p + 2, p + 2 + buf[p + 1]
    if b == 0xDA:
        return p + 3, p + 3 + _U16.unpack_from(buf, p + 1)[0]
    if b == 0xDB:
        return p + 5, p + 5 + _U32.unpack_from(buf, p + 1)[0]
    if b == 0xC0:
        return p + 1, p + 1
    raise ValueError("not a text")


class ThreadIndex:
    """One thread of an indexed trace: its records and its call tree as flat arrays.

    Records are numbered in order (all documents of the trace one after the
    other); nodes are numbered in the order they were made, node 0 being the
    thread's root.  ``-1`` stands for "none" in the integer arrays and NaN
    for "no time" in the float ones.
    """

    def __init__(self, trace: TraceIndex, key: str) -> None:
        self.trace = trace
        self.key = key
        self.name = key
        self.native_id: int | None = None
        self.ident: int | None = None
        # per record
        # position in the trace (see TraceIndex.read); 4 bytes while traces stay below 4 GiB
        self.rec_pos = array("I" if trace.size_hint < 1 << 32 else "q")
        self.rec_kind = bytearray()
        self._ends: dict[int, int] = {}  # last record of a frames array -> its end position
        # per node
        self.kind = bytearray([NODE_ROOT])
        # The record that opened the node; for a call that began before tracing
        # -(its closing record + 2), so that the values, read through _made_at,
        # grow with the node numbers.
        self.open_rec = array("i", [_NONE])
        self.close_rec = array("i", [_NONE])
        self.start = array("d", [_NAN])
        self.end = array("d", [_NAN])
        self.parent = array("i", [_NONE])
        self.first_child = array("i", [_NONE])
        self.next_sibling = array("i", [_NONE])
        self.calls_below = array("i", [0])
        self.name_id = array("i", [_NONE])
        #: First part of a generator or coroutine frame -> its later parts (resumes), in order.
        self.resumes: dict[int, list[int]] = {}
        #: A later part of a frame -> the frame's first part.
        self.resume_of: dict[int, int] = {}
        #: Node -> its assignment records (event "line"), in order: those made
        #: while it was the innermost open call (node 0: none was open).
        self.assignments: dict[int, list[int]] = {}
        #: The plugin nodes of asyncio tasks' records, in order, with their kind
        #: (``TASK_STEP`` ...) and task id (0 for a step's end without one): what
        #: grouping by task reads (vask.tasktree) without decoding each record.
        self.task_nodes = array("i")
        self.task_codes = bytearray()
        self.task_ids = array("q")
        self._children_cache: dict[int, tuple[array, array, array]] = {}
        self._span: tuple[float, float] | None = None
        self._lock = threading.Lock()

    # -- facts -------------------------------------------------------------

    @property
    def nodes(self) -> int:
        return len(self.kind)

    @property
    def calls(self) -> int:
        return self.calls_below[0]

    def first_time(self) -> float:
        for ts in self.start[1:64]:
            if ts == ts:
                return ts
        return self.time_span()[0]

    def time_span(self) -> tuple[float, float]:
        """The earliest and latest time of any of the thread's nodes (NaN when none)."""
        if self._span is None:
            # (filterfalse with a C predicate: no Python call per node)
            lo = min(filterfalse(math.isnan, self.start), default=_NAN)
            hi = max(filterfalse(math.isnan, self.end), default=_NAN)
            last_start = max(filterfalse(math.isnan, self.start), default=_NAN)
            if hi != hi or last_start > hi:
                hi = last_start
            if lo != lo or (hi == hi and lo > hi):
                lo = min(filterfalse(math.isnan, self.end), default=hi)
            self._span = (lo, hi)
        return self._span

    def record_span(self, rec: int) -> tuple[int, int]:
        """Start and end position of record ``rec``."""
        pos = self.rec_pos[rec]
        end = self._ends.get(rec)
        return pos, end if end is not None else self.rec_pos[rec + 1]

    def record(self, rec: int) -> Any:
        """Record ``rec`` decoded (a dict for every well-formed record)."""
        if rec < 0:
            return None
        pos, end = self.record_span(rec)
        record = decode_record(self.trace.read(pos, end - pos))
        lightweight = self.trace.legacy_form_at(pos)
        return record if lightweight is None else upgrade_legacy_record(record, lightweight)

    def node_name(self, node: int) -> NameInfo | None:
        name = self.name_id[node]
        return self.trace.names[name] if name >= 0 else None

    # -- structure ---------------------------------------------------------

    def iter_children(self, node: int) -> Iterator[int]:
        child = self.first_child[node]
        next_sibling = self.next_sibling
        while child != _NONE:
            yield child
            child = next_sibling[child]

    def children_arrays(self, node: int) -> tuple[array, array, array]:
        """The children of ``node`` with their start and end times (cached for long lists)."""
        cached = self._children_cache.get(node)
        if cached is not None:
            return cached
        ids = array("i", self.iter_children(node))
        starts = array("d", (self.start[c] for c in ids))
        ends = array("d", (self.end[c] for c in ids))
        if len(ids) > 256:
            with self._lock:
                if len(self._children_cache) >= 16:
                    self._children_cache.pop(next(iter(self._children_cache)))
                self._children_cache[node] = (ids, starts, ends)
        return ids, starts, ends

    def child_count(self, node: int) -> int:
        cached = self._children_cache.get(node)
        if cached is not None:
            return len(cached[0])
        return sum(1 for _ in self.iter_children(node))

    def ancestors(self, node: int) -> list[int]:
        """The nodes from the root's child down to ``node``'s parent."""
        out = []
        node = self.parent[node]
        while node > 0:
            out.append(node)
            node = self.parent[node]
        out.reverse()
        return out

    def depth(self, node: int) -> int:
        return len(self.ancestors(node)) if node > 0 else -1

    def walk(
        self,
        node: int = 0,
        max_depth: int | None = None,
        descend: Callable[[int], bool] | None = None,
    ) -> Iterator[tuple[int, int]]:
        """(depth, node) of every node below ``node`` in pre-order (depth 0: its children).

        ``max_depth`` leaves out nodes at that depth and below; ``descend``,
        when given, says whether to go below a node.
        """
        first_child, next_sibling = self.first_child, self.next_sibling
        stack = [(0, first_child[node])]
        while stack:
            depth, child = stack.pop()
            if child == _NONE:
                continue
            stack.append((depth, next_sibling[child]))
            yield depth, child
            below = first_child[child]
            if below == _NONE or (max_depth is not None and depth + 1 >= max_depth):
                continue
            if descend is None or descend(child):
                stack.append((depth + 1, below))

    def records_between(self, node: int) -> range:
        """The record numbers from ``node``'s opening record to its closing one."""
        first = self.open_rec[node]
        last = self.close_rec[node]
        if first < 0:
            first = last
        if last < 0:
            last = len(self.rec_kind) - 1
        return range(max(first, 0), last + 1)

    def node_at_record(self, rec: int) -> int:
        """The node record ``rec`` opens or closes, or the call it ran in (0: top level)."""
        # the last node made at or before the record: the record is its own, or
        # one of its open ancestors' (a closing record, an assignment)
        node = bisect.bisect_right(self.open_rec, rec, key=_made_at) - 1
        if node <= 0:
            return 0
        if _made_at(self.open_rec[node]) == rec:
            return node
        closing = self.rec_kind[rec] in CLOSE_CODES
        while node > 0:
            end = self.close_rec[node]
            if end == rec:
                return node
            if not closing and self.kind[node] == NODE_CALL and (end < 0 or end > rec):
                return node
            node = self.parent[node]
        return 0

    def own_records(self, node: int) -> Iterator[int]:
        """The records of ``node`` that none of its children hold (assignments ...), in order."""
        span = self.records_between(node)
        at = span.start + 1
        for child in self.iter_children(node):
            first = _made_at(self.open_rec[child])
            yield from range(at, min(first, span.stop))
            last = self.close_rec[child]
            at = max(at, (last if last >= 0 else first) + 1)
        yield from range(at, span.stop - 1 if self.close_rec[node] >= 0 else span.stop)


class TraceIndex:
    """A trace id read back through its index: facts, threads and function names."""

    def __init__(self, trace_id: str) -> None:
        self.trace_id = trace_id
        self.name: str | None = None
        self.timestamp: float | None = None
        self.root_trace_id: str | None = None
        self.command_line_args: list[str] = []
        self.main_thread: str | None = None
        self.meta: dict[str, Any] = {}
        #: The process that recorded it (``pid``, ``parent_pid``,
        #: ``parent_trace_id``, ``name``), as stored with it; ``None`` when
        #: read from elsewhere than a database (see :meth:`process_facts`).
        self.process: dict[str, Any] | None = None
        self.threads: dict[str, ThreadIndex] = {}
        self.documents = 0
        #: (1-based document number, reason) of each document that could not be read.
        self.damaged: list[tuple[int, str]] = []
        self.names: list[NameInfo] = []
        self.size = 0
        #: The total size of the documents, known before they are read.
        self.size_hint = 0
        self._sources: list[DocumentSource] = []
        self._bases: list[int] = []
        # Per document: how it stored its values when it is from before 0.2
        # (see vask.document.legacy_form), else None.
        self._legacy: list[bool | None] = []
        self._closers: list[Callable[[], None]] = []
        self._flushed: list[str] | None = None
        self._read_lock = threading.Lock()
        # (trace position, bytes) of the windows read last, the latest first;
        # a window lies within one document (a read stops at its end).
        self._windows: list[tuple[int, bytes]] = []

    def close(self) -> None:
        """Let go of the documents (blob handles, the connection the index opened)."""
        for source in self._sources:
            if isinstance(source, StoredDocument):
                source.close()
        for closer in self._closers:
            closer()
        self._closers.clear()

    # -- reading -----------------------------------------------------------

    def legacy_form_at(self, pos: int) -> bool | None:
        """How the document holding position ``pos`` stored its values, if from before 0.2."""
        if len(self._legacy) == 1:
            return self._legacy[0]
        doc = bisect.bisect_right(self._bases, pos) - 1
        return self._legacy[doc] if 0 <= doc < len(self._legacy) else None

    def read(self, pos: int, n: int) -> bytes:
        """``n`` bytes at trace position ``pos`` (documents follow one another).

        Small reads are served from the last few windows of :data:`_WINDOW`
        bytes read: a walk of a tree reads its records mostly in order, each
        near one read before.
        """
        windows = self._windows
        with self._read_lock:
            for i, (start, data) in enumerate(windows):
                at = pos - start
                if 0 <= at and at + n <= len(data):
                    if i:
                        windows.insert(0, windows.pop(i))
                    return data[at : at + n]
            doc = bisect.bisect_right(self._bases, pos) - 1
            offset = pos - self._bases[doc]
            if n >= _WINDOW:
                return self._sources[doc].read(offset, n)
            data = self._sources[doc].read(offset, _WINDOW)
            windows.insert(0, (pos, data))
            del windows[_WINDOWS:]
            return data[:n]

    def chunks(self, size: int = CHUNK, overlap: int = 0) -> Iterator[tuple[int, bytes]]:
        """(position, bytes) pieces of every readable document, overlapping by ``overlap``."""
        for doc, source in enumerate(self._sources):
            base = self._bases[doc]
            offset = 0
            while offset < source.size:
                with self._read_lock:
                    data = source.read(offset, size + overlap)
                if not data:
                    break
                yield base + offset, data
                offset += size

    def process_facts(self) -> dict[str, Any]:
        """The process that recorded the trace: the facts stored with it, else
        what a document of vask 0.2 said of it in "meta" "process"."""
        if self.process is not None and self.process["pid"] is not None:
            return self.process
        process = self.meta.get("process") if isinstance(self.meta, dict) else None
        return read_process_facts(process if isinstance(process, dict) else {})

    def ordered_threads(self) -> list[ThreadIndex]:
        """The saving (main) thread first, then the others by their first record."""

        def first(t: ThreadIndex) -> float:
            ts = t.first_time()
            return ts if ts == ts else math.inf

        return sorted(self.threads.values(), key=lambda t: (t.key != self.main_thread, first(t)))

    def last_timestamp(self) -> float | None:
        last = None
        for thread in self.threads.values():
            hi = thread.time_span()[1]
            if hi == hi:
                last = hi if last is None else max(last, hi)
        return last

    @property
    def calls(self) -> int:
        return sum(t.calls for t in self.threads.values())

    def flushed_trace_ids(self) -> list[str]:
        """The traces the "subtree_flushed" markers of this trace name, in order."""
        if self._flushed is None:
            out = []
            for thread in self.threads.values():
                node = thread.kind.find(NODE_FLUSHED)
                while node > 0:
                    record = thread.record(thread.open_rec[node])
                    target = record.get("flushed_trace_id") if isinstance(record, dict) else None
                    if isinstance(target, str):
                        out.append(target)
                    node = thread.kind.find(NODE_FLUSHED, node + 1)
            self._flushed = out
        return list(self._flushed)


# -- building ----------------------------------------------------------------


class _ThreadBuild:
    """What building one thread needs while its records are read; dropped afterwards."""

    __slots__ = ("fids", "last_child", "stack", "suspended")

    def __init__(self) -> None:
        self.stack = [0]  # open nodes, the thread root at the bottom
        # the last child of each open node, while a frames array is read
        self.last_child: list[int] | None = None
        self.fids: list[Any] = [None]  # their frame ids
        # (name id) -> (line text -> first parts of the frames that yielded there,
        # oldest first): a resume finds its frame without a scan of the others
        self.suspended: dict[int, dict[bytes, deque[int]]] = {}


class _Builder:
    def __init__(self, index: TraceIndex, progress: Callable[[int, int], None] | None) -> None:
        self.index = index
        self.progress = progress
        self.names: dict[Any, int] = {}
        # names whose kind a closing record has confirmed (a class body shows only then)
        self.closed_names: set[int] = set()
        self.state: dict[str, _ThreadBuild] = {}
        self.total = 0
        self.done = 0

    # -- names -------------------------------------------------------------

    def name_for(self, key: Any, data: bytes) -> int:
        """The name id of the function of the record ``data`` (which names it the first time)."""
        name = self.names.get(key)
        if name is not None:
            return name
        try:
            record = _naming_record(data)
        except Exception:  # noqa: BLE001 - measured by the reader, yet not decodable
            record = {}
        if not isinstance(record, dict):
            record = {}
        from vask.render import call_label  # the text view's own naming

        qualname = record.get("qualname")
        co_name = record.get("co_name")
        info = NameInfo(
            label=call_label(record),
            qualname=qualname if isinstance(qualname, str) else str(co_name or "?"),
            co_name=co_name if isinstance(co_name, str) else "?",
            kind=body_kind(record),
        )
        name = self.names[key] = len(self.index.names)
        self.index.names.append(info)
        return name

    def confirm_name(self, name: int, data: bytes) -> None:
        """Settle what a function is from the first of its closing records ``data``."""
        self.closed_names.add(name)
        info = self.index.names[name]
        if info.kind != "function":
            return
        try:
            record = _naming_record(data)
        except Exception:  # noqa: BLE001 - measured by the reader, yet not decodable
            return
        if isinstance(record, dict) and body_kind(None, record) == "class":
            from vask.render import call_label

            info.kind = "class"
            info.label = call_label({}, record)

    # -- documents ---------------------------------------------------------

    def add_document(self, number: int, source: DocumentSource) -> None:
        index = self.index
        index.documents += 1
        reason = source_damage(source)
        if reason is not None:
            index.damaged.append((number, reason))
            return
        base = index.size
        index._sources.append(source)
        index._bases.append(base)
        index._legacy.append(None)
        index.size += source.size
        try:
            self._read_document(source, base)
        except DamagedDocument as error:
            index.damaged.append((number, str(error)))
        except (TypeError, ValueError, msgpack.UnpackException) as error:
            # Malformed beyond what the reader checks (a key of a type no
            # document has): the document is damaged, the reader goes on.
            index.damaged.append((number, f"not a trace document ({error})"))
        self.done += source.size

    def _read_document(self, source: DocumentSource, base: int) -> None:
        reader = DocumentStream(source)
        try:
            entries = reader.read_map_header()
        except (ValueError, msgpack.UnpackException) as error:
            raise DamagedDocument("not a trace document (not a map)") from error
        facts: dict[str, Any] = {}
        seen_threads = False
        for _ in range(entries):
            key = reader.unpack()
            if key != "threads":
                if isinstance(key, str) and key in _FACT_KEYS:
                    facts[key] = reader.unpack()
                else:
                    reader.skip()
                continue
            try:
                threads = reader.read_map_header()
            except (ValueError, msgpack.UnpackException):
                reader.skip()
                continue
            seen_threads = True
            for _ in range(threads):
                thread_key = str(reader.unpack())
                self._read_thread(reader, thread_key, base)
        if not seen_threads:
            raise DamagedDocument("not a trace document (no threads)")
        take_facts(self.index, facts)
        self.index._legacy[-1] = legacy_form(facts.get("meta"))

    def _read_thread(self, reader: DocumentStream, key: str, base: int) -> None:
        try:
            entries = reader.read_map_header()
        except (ValueError, msgpack.UnpackException):
            reader.skip()
            return
        thread = self.index.threads.get(key)
        if thread is None:
            thread = self.index.threads[key] = ThreadIndex(self.index, key)
            self.state[key] = _ThreadBuild()
        for _ in range(entries):
            field_name = reader.unpack()
            if field_name != "frames":
                value = reader.unpack()
                if field_name == "name" and isinstance(value, str):
                    thread.name = value
                elif field_name in ("native_id", "ident"):
                    number = _int_or_none(value)
                    if number:
                        setattr(thread, field_name, number)
                continue
            try:
                count = reader.read_array_header()
            except (ValueError, msgpack.UnpackException):
                reader.skip()
                continue
            self._read_records(reader, thread, count, base)

    def _read_records(
        self, reader: DocumentStream, thread: ThreadIndex, count: int, base: int
    ) -> None:
        """Index ``count`` records of ``thread``, measured by the native scanner when there is one."""
        self.state[thread.key].last_child = None
        if count == 0:
            return
        scan = _scan_records
        if scan is None:
            self._read_records_py(reader, thread, count, base)
            return
        earliest, latest = PLAUSIBLE_TIMES
        width = thread.rec_pos.itemsize
        pos = reader.tell()  # document position of the next record
        left = count
        while left:
            buf, rbase = reader.buf, reader.base
            nxt, stop, ends, codes, times, spans, starts = scan(
                buf, pos - rbase, min(left, _SCAN_BATCH), earliest, latest, base + rbase, width
            )
            n = len(codes)
            if n:
                columns = (array("q", ends), codes, array("d", times), array("q", spans))
                self._link(thread, buf, rbase, base, pos - rbase, columns, starts)
                left -= n
                pos = rbase + nxt
                if self.progress is not None:
                    self.progress(self.done + pos, self.total)
            if not left or stop == _SCAN_COUNT:
                continue
            if stop == _SCAN_INCOMPLETE and reader.more(pos):
                continue
            # Bytes the scanner does not measure (a damaged record, the end of
            # the document, a very large record): the MessagePack reader takes
            # over from the record the scanner stopped at.
            reader.resync(pos)
            self._read_records_py(reader, thread, left, base)
            return
        reader.resync(pos)
        thread._ends[len(thread.rec_kind) - 1] = base + pos

    def _read_records_py(
        self, reader: DocumentStream, thread: ThreadIndex, count: int, base: int
    ) -> None:
        """Index ``count`` records of ``thread`` measured by the MessagePack reader.

        Gives the facts the native scanner gives, in the same columns: the
        fallback when there is no scanner, and the scanner's reference.
        """
        u = reader.unpacker
        tell, skip = reader.tell, u.skip
        unpack_float = _FLOAT.unpack_from
        earliest, latest = PLAUSIBLE_TIMES
        str_span = _str_span
        buf, rbase = reader.buf, reader.base
        end = tell()
        first = end - rbase
        ends, codes, times, spans = array("q"), bytearray(), array("d"), array("q")
        report_every = 1 << 16
        for i in range(count):
            off = end
            while True:
                try:
                    skip()
                    break
                except msgpack.OutOfData:
                    if codes:  # the columns point into the buffer about to be replaced
                        self._link(thread, buf, rbase, base, first, (ends, codes, times, spans))
                        ends, codes, times, spans = array("q"), bytearray(), array("d"), array("q")
                    reader.refill(off)
                    buf, rbase = reader.buf, reader.base
                    first = off - rbase
            end = tell()
            p = off - rbase
            e = end - rbase
            ends.append(e)
            # -- the facts of the record, as the scanner reads them -----------
            # Texts are mostly fixstr or str8: those headers are read inline.
            code = _SLOW
            ts = _NAN
            if buf.startswith(_FRAME_HEAD, p):
                try:
                    q = p + 6
                    b = buf[q]
                    if 0xA0 <= b <= 0xBF:
                        q += b - 0x9F
                    elif b == 0xD9:
                        q += 2 + buf[q + 1]
                    else:
                        q = str_span(buf, q)[1]
                    path_end = q
                    if buf.startswith(_KEY_CO_NAME, q):
                        q += 8
                        b = buf[q]
                        if 0xA0 <= b <= 0xBF:
                            q += b - 0x9F
                        else:
                            q = str_span(buf, q)[1]
                        if buf.startswith(_KEY_QUALNAME, q):
                            q += 9
                            b = buf[q]
                            if 0xA0 <= b <= 0xBF:
                                q += b - 0x9F
                            elif b == 0xD9:
                                q += 2 + buf[q + 1]
                            else:
                                q = str_span(buf, q)[1]
                            n1 = q
                            b = buf[q + 6] if buf.startswith(_KEY_EVENT, q) else 0
                            if 0xA0 <= b <= 0xBF:
                                q += 6
                                event = REC_OTHER
                                if b >= 0xA3:
                                    event = _EVENT_CODE_BYTES.get(b << 8 | buf[q + 3], REC_OTHER)
                                q += b - 0x9F
                                if buf.startswith(_KEY_FRAME_ID, q):
                                    q += 9
                                    b = buf[q]
                                    if 0xA0 <= b <= 0xBF:
                                        f0 = q + 1
                                        q += b - 0x9F
                                    else:
                                        f0, q = str_span(buf, q)
                                    f1 = q
                                    t = buf.rfind(_KEY_TIMESTAMP, q, e)
                                    # the float itself inside the record too
                                    if t >= 0 and t + 19 <= e:
                                        ts = unpack_float(buf, t + 11)[0]
                                        if not earliest < ts < latest:
                                            ts = _NAN  # no clock shows it (inf, NaN too)
                                        code = event
                                        colon = buf.rfind(b":", p + 6, path_end)
                                        spans.extend(
                                            (f0, f1, path_end, n1)
                                            + (p + 6 if colon < 0 else colon + 1, path_end)
                                        )
                except (ValueError, IndexError, struct.error):
                    code = _SLOW
            if code == _SLOW:
                ts = _NAN
                spans.extend(_NO_SPANS)
            codes.append(code)
            times.append(ts)
            if i % report_every == report_every - 1 and self.progress is not None:
                self.progress(self.done + end, self.total)
        if codes:
            self._link(thread, buf, rbase, base, first, (ends, codes, times, spans))
        thread._ends[len(thread.rec_kind) - 1] = base + end

    def _link(
        self,
        thread: ThreadIndex,
        buf: bytes,
        rbase: int,
        base: int,
        first: int,
        columns: tuple[array, Any, array, array],
        positions: bytes | None = None,
    ) -> None:
        """Add records to ``thread``'s tree from their columns: the hot loop of the whole index.

        The records lie one after the other in ``buf`` (which holds the
        document from position ``rbase`` on) from ``first``; ``columns`` are
        their end offsets in ``buf``, codes (``_SLOW``: decode the record),
        times and six offsets each (see ``vask._dump._scan_records``).  The
        common records are linked natively (``_link_records``), the others
        one by one here (:meth:`_link_one`).  ``positions``, when given, are
        the records' trace positions as ``rec_pos`` holds them.
        """
        ends_col, codes_col, _, _ = columns
        state = self.state[thread.key]
        if state.last_child is None:
            # the last child of each open node (children are only added to open nodes)
            state.last_child = [self._last_child(thread, node) for node in state.stack]
        rec_pos, rec_kind = thread.rec_pos, thread.rec_kind
        # Each record starts where the one before ends.
        rec_starts = array("q", (first,))
        rec_starts.extend(ends_col[:-1])
        if positions is not None:
            rec_pos.frombytes(positions)
        else:
            at = base + rbase
            rec_pos.extend(at + p for p in rec_starts)
        rec0 = len(rec_kind)
        rec_kind.extend(codes_col)  # a record to decode gets its code when linked
        link = _link_records
        node_arrays = (
            thread.kind,
            thread.open_rec,
            thread.close_rec,
            thread.start,
            thread.end,
            thread.parent,
            thread.first_child,
            thread.next_sibling,
            thread.calls_below,
            thread.name_id,
        )
        n = len(codes_col)
        i = 0
        while i < n:
            if link is not None:
                out = link(
                    thread, state, self.names, self.closed_names, buf, columns, first, rec0, i
                )
                i = out[0]
                if out[1]:
                    thread.kind.extend(out[1])
                    for arr, made in zip(node_arrays[1:], out[2:]):
                        arr.frombytes(made)
                if i >= n:
                    break
            self._link_one(thread, state, buf, columns, rec_starts[i], rec0 + i, i)
            i += 1

    def _link_one(
        self,
        thread: ThreadIndex,
        state: _ThreadBuild,
        buf: bytes,
        columns: tuple[array, Any, array, array],
        p: int,
        rec: int,
        i: int,
    ) -> None:
        """Add record ``rec`` (the ``i``-th of ``columns``, at ``p`` in ``buf``) to the tree."""
        ends_col, codes_col, times_col, spans_col = columns
        end = ends_col[i]
        code = codes_col[i]
        rec_kind = thread.rec_kind
        task_facts = _NO_TASK_FACTS
        if code == _SLOW:
            code, ts, fid, name_key, line, task_facts = _slow_facts(buf[p:end])
            rec_kind[rec] = code
            n1 = 0
        else:
            ts = times_col[i]
            j = 6 * i
            fid = buf[spans_col[j] : spans_col[j + 1]]
            n1 = spans_col[j + 3]
            name_key = buf[spans_col[j + 2] : n1] if code in OPEN_CODES else None
            line = buf[spans_col[j + 4] : spans_col[j + 5]] if code >= 3 else b""
        stack, fids, last_child = state.stack, state.fids, state.last_child
        node_kind, open_rec, close_rec = thread.kind, thread.open_rec, thread.close_rec
        starts, ends, parents = thread.start, thread.end, thread.parent
        first_child, next_sibling = thread.first_child, thread.next_sibling
        calls_below, name_ids = thread.calls_below, thread.name_id
        assignments = thread.assignments
        names = self.names
        top = stack[-1]
        # -- the tree ----------------------------------------------------
        if code in OPEN_CODES or code == REC_PLUGIN or code == REC_FLUSHED:
            node = len(node_kind)
            node_kind.append(
                NODE_CALL if code < 6 else (NODE_PLUGIN if code == 6 else NODE_FLUSHED)
            )
            open_rec.append(rec)
            close_rec.append(_NONE)
            starts.append(ts)
            ends.append(_NAN)
            parents.append(top)
            first_child.append(_NONE)
            next_sibling.append(_NONE)
            calls_below.append(0)
            if name_key is not None and code < 6:
                name = names.get(name_key)
                if name is None:
                    name = self.name_for(name_key, buf[p:end])
                name_ids.append(name)
            else:
                name_ids.append(_NONE)
            prev = last_child[-1]
            if prev == _NONE:
                first_child[top] = node
            else:
                next_sibling[prev] = node
            last_child[-1] = node
            if code < 6:
                stack.append(node)
                fids.append(fid)
                last_child.append(_NONE)
                if code != 0 and name_key is not None:
                    self._link_resume(thread, state, node, name_ids[node], line)
            elif task_facts[0]:
                thread.task_nodes.append(node)
                thread.task_codes.append(task_facts[0])
                thread.task_ids.append(task_facts[1])
        elif code == REC_LINE:
            owned = assignments.get(top)
            if owned is None:
                assignments[top] = [rec]
            else:
                owned.append(rec)
        elif code in CLOSE_CODES:
            if fids[-1] == fid and len(stack) > 1:
                node = stack.pop()
                fids.pop()
                last_child.pop()
                close_rec[node] = rec
                ends[node] = ts
                # a resumed part of a generator is not another call
                calls_below[stack[-1]] += calls_below[node] + (rec_kind[open_rec[node]] == 0)
            elif fid in fids[1:]:
                while True:
                    node = stack.pop()
                    open_fid = fids.pop()
                    last_child.pop()
                    calls_below[stack[-1]] += calls_below[node] + (rec_kind[open_rec[node]] == 0)
                    if open_fid == fid:
                        close_rec[node] = rec
                        ends[node] = ts
                        break
            else:
                if n1:
                    name_key = buf[spans_col[6 * i + 2] : n1]
                name = _NONE
                if name_key is not None:
                    name = names.get(name_key)
                    if name is None:
                        name = self.name_for(name_key, buf[p:end])
                node = self._began_before(thread, rec, ts, name, stack, last_child)
            name = name_ids[node]
            if name >= 0 and name not in self.closed_names:
                self.confirm_name(name, buf[p:end])
            if code == 4 and name >= 0:  # a yield: the frame may be resumed
                first_part = thread.resume_of.get(node, node)
                lines = state.suspended.setdefault(name_ids[node], {})
                lines.setdefault(line, deque()).append(first_part)

    def _last_child(self, thread: ThreadIndex, node: int) -> int:
        last = _NONE
        for child in thread.iter_children(node):
            last = child
        return last

    def _began_before(
        self,
        thread: ThreadIndex,
        rec: int,
        ts: float,
        name: int,
        stack: list[int],
        last_child: list[int],
    ) -> int:
        """A node for a call that began before tracing; at the top level it adopts all so far."""
        top = stack[-1]
        node = len(thread.kind)
        thread.kind.append(NODE_CALL)
        thread.open_rec.append(-rec - 2)
        thread.close_rec.append(rec)
        thread.start.append(_NAN)
        thread.end.append(ts)
        thread.parent.append(top)
        thread.first_child.append(_NONE)
        thread.next_sibling.append(_NONE)
        thread.calls_below.append(0)
        thread.name_id.append(name)
        if top == 0:
            # everything recorded at the top level so far ran inside it
            child = thread.first_child[0]
            thread.first_child[node] = child
            while child != _NONE:
                thread.parent[child] = node
                child = thread.next_sibling[child]
            thread.calls_below[node] = thread.calls_below[0]
            thread.calls_below[0] = 0
            thread.first_child[0] = node
            last_child[-1] = node
            thread._children_cache.clear()
            if 0 in thread.assignments:  # they ran inside it too
                thread.assignments[node] = thread.assignments.pop(0)
        else:
            prev = last_child[-1]
            if prev == _NONE:
                thread.first_child[top] = node
            else:
                thread.next_sibling[prev] = node
            last_child[-1] = node
        thread.calls_below[top] += thread.calls_below[node] + 1
        return node

    def _link_resume(
        self, thread: ThreadIndex, state: _ThreadBuild, node: int, name: int, line: bytes
    ) -> None:
        """Link a resumed part to its frame's first part: same function, yielded at that line."""
        lines = state.suspended.get(name)
        if not lines:
            return
        parts = lines.get(line)
        if parts is None:
            # Resumed at another line than any yield: taken only when one frame is suspended.
            if len(lines) != 1:
                return
            ((line, parts),) = lines.items()
            if len(parts) != 1:
                return
        first = parts.popleft()
        if not parts:
            del lines[line]
        thread.resume_of[node] = first
        thread.resumes.setdefault(first, []).append(node)

    def finish(self) -> None:
        for key, state in self.state.items():
            thread = self.index.threads[key]
            stack = state.stack
            while len(stack) > 1:  # calls that never returned
                node = stack.pop()
                opened_by_call = thread.rec_kind[thread.open_rec[node]] == 0
                thread.calls_below[stack[-1]] += thread.calls_below[node] + opened_by_call
        self.state.clear()


_FACT_KEYS = frozenset(
    ("trace_id", "trace_name", "timestamp", "root_trace_id", "command_line_args")
    + ("current_thread_id", "meta")
)


# The first byte of a MessagePack map's header.
_MAP_HEADS = frozenset((*range(0x80, 0x90), 0xDE, 0xDF))


def _naming_record(data: bytes) -> Any:
    """A frame record decoded for naming its function (:func:`body_kind`,
    :func:`vask.render.call_label`): whole, but for the values of its locals, read
    as ``None`` (only their names tell what a frame runs; the values are most of
    a record).  Decoded whole when not a map of locals as the engines write it."""
    try:
        unpacker = msgpack.Unpacker(
            raw=False, strict_map_key=False, unicode_errors="replace", ext_hook=ext_hook
        )
        unpacker.feed(data)
        record: dict[Any, Any] = {}
        for _ in range(unpacker.read_map_header()):
            key = unpacker.unpack()
            if key == "locals" and data[unpacker.tell()] in _MAP_HEADS:
                names: dict[Any, None] = {}
                for _ in range(unpacker.read_map_header()):
                    names[unpacker.unpack()] = None
                    unpacker.skip()
                record[key] = names
            else:
                record[key] = unpacker.unpack()
        if unpacker.tell() != len(data):
            raise ValueError("bytes after the record")
        return record
    except Exception:  # noqa: BLE001 - not as the engines write it: the reader's own decoding
        return decode_record(data)


def _made_at(open_rec: int) -> int:
    """The record at which a node was made, from its ``open_rec`` entry."""
    return open_rec if open_rec >= -1 else -open_rec - 2


def _int_or_none(value: Any) -> int | None:
    return value if isinstance(value, int) and not isinstance(value, bool) else None


def _slow_facts(data: bytes) -> tuple[int, float, Any, Any, bytes, tuple[int, int]]:
    """(kind, time, frame id, name key, line, asyncio task facts) of a record not in the
    engines' own layout; the task facts (see :attr:`ThreadIndex.task_codes`) are
    ``(0, 0)`` for a record of no task."""
    try:
        record = decode_record(data)
    except Exception:  # noqa: BLE001 - a record the reader measured but cannot decode
        return REC_OTHER, _NAN, None, None, b"", _NO_TASK_FACTS
    if not isinstance(record, dict):
        return REC_OTHER, _NAN, None, None, b"", _NO_TASK_FACTS
    ts = plausible_time(record.get("timestamp"))
    ts = _NAN if ts is None else ts
    rtype = record.get("type")
    fid = record.get("frame_id")
    # Frame ids are texts; anything else (an unhashable list, say) is no id.
    fid = fid.encode("utf-8", "replace") if isinstance(fid, str) else None
    if rtype == "frame":
        event = record.get("event")
        event = event if isinstance(event, str) else None
        code = _EVENT_CODE.get(event, REC_LINE if event == "line" else REC_OTHER)
        name_key = (record.get("co_name"), record.get("qualname"))
        try:
            hash(name_key)
        except TypeError:
            name_key = None
        path = record.get("path")
        line = path.rpartition(":")[2].encode() if isinstance(path, str) else b""
        return code, ts, fid, name_key, line, _NO_TASK_FACTS
    if rtype == FLUSHED_TYPE:
        return REC_FLUSHED, ts, fid, None, b"", _NO_TASK_FACTS
    if isinstance(rtype, str):
        return REC_PLUGIN, ts, fid, None, b"", _task_facts(rtype, record)
    return REC_OTHER, ts, fid, None, b"", _NO_TASK_FACTS


def _task_facts(rtype: str, record: dict[str, Any]) -> tuple[int, int]:
    """(kind, task id) of an asyncio task's record; ``(0, 0)`` for any other record.

    A step or a creation needs a whole-number task id (a step's end does
    not); one beyond 64 bits is none.
    """
    code = _TASK_CODES.get(rtype, 0)
    if not code:
        return _NO_TASK_FACTS
    task_id = record.get("task_id")
    if type(task_id) is not int or not -(1 << 63) <= task_id < 1 << 63:
        return (code, 0) if code == TASK_STEP_END else _NO_TASK_FACTS
    if code == TASK_CREATED and record.get("eager") is True:
        code = TASK_CREATED_EAGER
    return code, task_id


def build_index(
    trace_id: str,
    documents: Iterable[DocumentSource | bytes],
    progress: Callable[[int, int], None] | None = None,
) -> TraceIndex:
    """The index of the documents of one trace id, read in storage order.

    Damaged documents are noted in ``damaged`` and left out, as
    :func:`vask.document.merge_documents` does.  ``progress(done, total)`` is
    called now and then with byte counts.
    """
    sources = [BytesSource(d) if isinstance(d, (bytes, bytearray)) else d for d in documents]
    index = TraceIndex(trace_id)
    index.size_hint = sum(s.size for s in sources)
    builder = _Builder(index, progress)
    builder.total = index.size_hint
    for number, source in enumerate(sources, 1):
        builder.add_document(number, source)
    builder.finish()
    stored = [s for s in sources if isinstance(s, StoredDocument)]
    if stored:
        frames = codec.FrameCache(_FRAME_CACHE)  # read sequentially until now: kept from now
        for source in stored:
            source.keep_frames(frames)
    return index


# -- nodes for the text view and the exports --------------------------------


class IndexNode:
    """A node of an indexed call tree, shaped like :class:`vask.calltree.CallNode`.

    Its records are decoded when first asked for and kept while the node
    object lives; walking makes a new, small node object per step.
    """

    __slots__ = ("_end", "_start", "node", "thread")

    def __init__(self, thread: ThreadIndex, node: int) -> None:
        self.thread = thread
        self.node = node
        self._start: Any = _UNSET
        self._end: Any = _UNSET

    @property
    def key(self) -> int:
        return self.node

    @property
    def kind(self) -> str:
        return NODE_KINDS[self.thread.kind[self.node]]

    @property
    def start(self) -> dict[str, Any] | None:
        if self._start is _UNSET:
            record = self.thread.record(self.thread.open_rec[self.node])
            self._start = record if isinstance(record, dict) else None
        return self._start

    @property
    def end(self) -> dict[str, Any] | None:
        if self._end is _UNSET:
            record = self.thread.record(self.thread.close_rec[self.node])
            self._end = record if isinstance(record, dict) else None
        return self._end

    @property
    def record(self) -> dict[str, Any]:
        return self.start if self.start is not None else (self.end or {})

    @property
    def calls_below(self) -> int:
        return self.thread.calls_below[self.node]

    @property
    def children(self) -> list[IndexNode]:
        return [IndexNode(self.thread, c) for c in self.thread.iter_children(self.node)]

    def walk(
        self,
        max_depth: int | None = None,
        descend: Callable[[Any], bool] | None = None,
        assignments: bool = False,
    ) -> Iterator[tuple[int, Any]]:
        """As :meth:`vask.calltree.CallNode.walk`; with ``assignments``, each
        call's assignments come too, as :class:`AssignmentNode` leaves among
        its children, in the order they ran."""
        thread = self.thread
        if not assignments:
            test = None if descend is None else (lambda n: descend(IndexNode(thread, n)))
            for depth, node in thread.walk(self.node, max_depth, test):
                yield depth, IndexNode(thread, node)
            return
        stack = [(0, self._steps(self.node))]
        while stack:
            depth, steps = stack[-1]
            step = next(steps, None)
            if step is None:
                stack.pop()
                continue
            yield depth, step
            if not isinstance(step, IndexNode):
                continue
            if max_depth is not None and depth + 1 >= max_depth:
                continue
            if descend is None or descend(step):
                stack.append((depth + 1, self._steps(step.node)))

    def _steps(self, node: int) -> Iterator[Any]:
        """The children of ``node`` and its assignments, in record order."""
        thread = self.thread
        owned = thread.assignments.get(node, ())
        i = 0
        for child in thread.iter_children(node):
            at = _made_at(thread.open_rec[child])
            while i < len(owned) and owned[i] < at:
                yield AssignmentNode(thread, owned[i])
                i += 1
            yield IndexNode(thread, child)
        for rec in owned[i:]:
            yield AssignmentNode(thread, rec)


class AssignmentNode:
    """An assignment record as a leaf of an indexed call tree (kind "assign")."""

    __slots__ = ("rec", "thread")
    kind = "assign"
    calls_below = 0

    def __init__(self, thread: ThreadIndex, rec: int) -> None:
        self.thread = thread
        self.rec = rec

    @property
    def key(self) -> tuple[str, int]:
        return ("assign", self.rec)

    @property
    def record(self) -> dict[str, Any]:
        record = self.thread.record(self.rec)
        return record if isinstance(record, dict) else {}


_UNSET: Any = object()
