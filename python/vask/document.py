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

import itertools
import math
from collections.abc import Iterable
from dataclasses import dataclass, field
from typing import Any

import msgpack

from vask.db import _CALL_PATTERN as CALL_PATTERN
from vask.db import document_damage, plausible_time
from vask.values import ext_hook, upgrade_legacy_value

__all__ = [
    "CALLS_DROPPED_TYPE",
    "CLOSING_EVENTS",
    "FLUSHED_TYPE",
    "OPENING_EVENTS",
    "DamagedDocument",
    "ThreadTrace",
    "Trace",
    "check_document",
    "decode_document",
    "decode_record",
    "document_facts",
    "merge_documents",
    "record_time",
    "legacy_form",
    "take_facts",
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


class DamagedDocument(ValueError):
    """A stored trace document that cannot be read (truncated, overwritten, not a trace)."""


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
    return msgpack.unpackb(
        data, raw=False, strict_map_key=False, unicode_errors="replace", ext_hook=ext_hook
    )


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
