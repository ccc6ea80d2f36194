"""Stored trace documents: checking, decoding, their facts, and traces merged from them.

A trace id may have several documents (consecutive saves of one run); they
are read as one trace whose threads hold the concatenation of the documents'
records, in order.
"""

from __future__ import annotations

import math
from collections.abc import Iterable
from dataclasses import dataclass, field
from typing import Any

import msgpack

from vask.db import _CALL_PATTERN as CALL_PATTERN
from vask.db import document_damage

__all__ = [
    "CLOSING_EVENTS",
    "FLUSHED_TYPE",
    "OPENING_EVENTS",
    "DamagedDocument",
    "ThreadTrace",
    "Trace",
    "check_document",
    "decode_document",
    "document_facts",
    "merge_documents",
    "record_time",
]

#: Frame events that open a frame (a call node) and those that close it.
OPENING_EVENTS = frozenset(("call", "resume", "throw"))
CLOSING_EVENTS = frozenset(("return", "unwind", "yield"))
#: The type of the marker record that stands in for a subtree stored apart.
FLUSHED_TYPE = "subtree_flushed"


class DamagedDocument(ValueError):
    """A stored trace document that cannot be read (truncated, overwritten, not a trace)."""


# -- documents -------------------------------------------------------------


def check_document(data: bytes) -> str | None:
    """Why ``data`` is not a complete trace document, or ``None`` when it is.

    Walks the MessagePack structure without building it, so it is cheap enough
    to run over every document of a database.
    """
    return document_damage(data)


def decode_document(data: bytes) -> dict[str, Any]:
    """The trace document in ``data`` as a dict; raises :class:`DamagedDocument`."""
    reason = check_document(data)
    if reason is not None:
        raise DamagedDocument(reason)
    try:
        doc = msgpack.unpackb(data, raw=False, strict_map_key=False, unicode_errors="replace")
    except Exception as error:
        raise DamagedDocument(f"cannot be decoded ({error})") from error
    if not isinstance(doc, dict) or not isinstance(doc.get("threads"), dict):
        raise DamagedDocument("not a trace document (no threads)")
    return doc


def document_facts(data: bytes) -> dict[str, Any]:
    """``trace_id``, ``trace_name``, ``timestamp`` and counts (threads, calls, flushed subtrees).

    Reads the top level only; the records are skipped, not decoded.
    """
    facts: dict[str, Any] = {"trace_id": None, "trace_name": None, "threads": 0}
    unpacker = msgpack.Unpacker(None, raw=False, max_buffer_size=max(len(data), 1))
    unpacker.feed(data)
    n = unpacker.read_map_header()
    for _ in range(n):
        key = unpacker.unpack()
        if key in ("trace_id", "trace_name", "timestamp"):
            facts[key] = unpacker.unpack()
        elif key == "threads":
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
            facts["threads"] = active
        else:
            unpacker.skip()
    facts["calls"] = data.count(CALL_PATTERN)
    facts["flushed_subtrees"] = data.count(_FLUSHED_PATTERN)
    return facts


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
                ts = record.get("timestamp") if isinstance(record, dict) else None
                if isinstance(ts, (int, float)):
                    return float(ts)
            return math.inf

        return sorted(self.threads.values(), key=lambda t: (t.key != self.main_thread, first(t)))

    def last_timestamp(self) -> float | None:
        """The latest timestamp of any record (the end of the trace)."""
        last = None
        for thread in self.threads.values():
            for record in reversed(thread.records):
                ts = record.get("timestamp") if isinstance(record, dict) else None
                if isinstance(ts, (int, float)):
                    last = ts if last is None else max(last, ts)
                    break
        return last


def _int_or_none(value: Any) -> int | None:
    return value if isinstance(value, int) and not isinstance(value, bool) else None


def merge_documents(trace_id: str, documents: Iterable[bytes]) -> Trace:
    """The documents of one trace id read as one trace; damaged ones are noted and skipped."""
    trace = Trace(trace_id=trace_id)
    for number, data in enumerate(documents, 1):
        trace.documents += 1
        try:
            doc = decode_document(data)
        except DamagedDocument as error:
            trace.damaged.append((number, str(error)))
            continue
        if isinstance(doc.get("trace_name"), str):
            trace.name = doc["trace_name"]
        if trace.timestamp is None and isinstance(doc.get("timestamp"), (int, float)):
            trace.timestamp = float(doc["timestamp"])
        if isinstance(doc.get("root_trace_id"), str):
            trace.root_trace_id = doc["root_trace_id"]
        args = doc.get("command_line_args")
        if isinstance(args, list) and not trace.command_line_args:
            trace.command_line_args = [str(a) for a in args]
        if trace.main_thread is None and isinstance(doc.get("current_thread_id"), str):
            trace.main_thread = doc["current_thread_id"]
        if isinstance(doc.get("meta"), dict):
            trace.meta = doc["meta"]
        for key, info in doc["threads"].items():
            key = str(key)
            info = info if isinstance(info, dict) else {}
            thread = trace.threads.get(key)
            if thread is None:
                thread = trace.threads[key] = ThreadTrace(key=key, name=key)
            if isinstance(info.get("name"), str):
                thread.name = info["name"]
            thread.native_id = _int_or_none(info.get("native_id")) or thread.native_id
            thread.ident = _int_or_none(info.get("ident")) or thread.ident
            frames = info.get("frames")
            if isinstance(frames, list):
                thread.records.extend(r for r in frames if isinstance(r, dict))
    return trace


def record_time(record: dict[str, Any] | None) -> float | None:
    """The record's timestamp as a float, or ``None`` when it has none."""
    ts = record.get("timestamp") if record else None
    return float(ts) if isinstance(ts, (int, float)) and not isinstance(ts, bool) else None
