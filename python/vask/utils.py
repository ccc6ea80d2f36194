"""Reading stored traces back: documents, call trees, text and Chrome views.

A trace id may have several documents (consecutive saves of one run); they
are read as one trace whose threads hold the concatenation of the documents'
records, in order.  Each thread's records become a call tree: a "call",
"resume" or "throw" frame record opens a node, the matching (same frame id)
"return", "unwind" or "yield" record closes it.  Plugin records and
"subtree_flushed" markers become leaves where they occur.
"""

from __future__ import annotations

import math
import re
import time
from collections.abc import Iterable, Iterator
from dataclasses import dataclass, field
from typing import Any

import msgpack

from vask.db import _CALL_PATTERN as CALL_PATTERN
from vask.db import document_damage
from vask.version import __version__

__all__ = [
    "CallNode",
    "DamagedDocument",
    "Style",
    "ThreadTrace",
    "Trace",
    "build_call_tree",
    "check_document",
    "chrome_trace",
    "decode_document",
    "document_facts",
    "format_bytes",
    "format_duration",
    "format_time",
    "format_value",
    "merge_documents",
    "render_tree",
    "short_name",
]

OPENING_EVENTS = frozenset(("call", "resume", "throw"))
CLOSING_EVENTS = frozenset(("return", "unwind", "yield"))
FLUSHED_TYPE = "subtree_flushed"
# Keys every plugin record has; the rest is what the plugin added.
_PLUGIN_BASE_KEYS = frozenset(("frame_id", "timestamp", "user_code_call_site", "type", "subtype"))


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


# -- call trees ------------------------------------------------------------


class CallNode:
    """One node of a call tree.

    ``kind`` is "call" (a function call: ``start`` is its opening record,
    ``end`` its closing record or ``None`` when it never returned; ``start`` is
    ``None`` for a call that began before tracing did), "plugin" (a plugin's
    record in ``start``), "flushed" (a "subtree_flushed" marker in ``start``)
    or "root".
    """

    __slots__ = ("calls_below", "children", "end", "kind", "start")

    def __init__(self, kind: str, start: dict[str, Any] | None = None) -> None:
        self.kind = kind
        self.start = start
        self.end: dict[str, Any] | None = None
        self.children: list[CallNode] = []
        self.calls_below = 0

    @property
    def record(self) -> dict[str, Any]:
        """The record that names this node (opening record, else the closing one)."""
        return self.start if self.start is not None else (self.end or {})

    def walk(self) -> Iterator[tuple[int, CallNode]]:
        """(depth, node) of every node below this one, in pre-order, without recursion."""
        stack = [(0, child) for child in reversed(self.children)]
        while stack:
            depth, node = stack.pop()
            yield depth, node
            stack.extend((depth + 1, child) for child in reversed(node.children))


def build_call_tree(records: Iterable[dict[str, Any]]) -> CallNode:
    """The call tree of one thread's records, under a node of kind "root"."""
    root = CallNode("root")
    stack = [root]
    open_ids: dict[Any, int] = {}  # frame id -> how many open nodes carry it
    for record in records:
        rtype = record.get("type")
        if rtype == "frame":
            event = record.get("event")
            frame_id = record.get("frame_id")
            if event in OPENING_EVENTS:
                node = CallNode("call", record)
                stack[-1].children.append(node)
                stack.append(node)
                open_ids[frame_id] = open_ids.get(frame_id, 0) + 1
                continue
            if event not in CLOSING_EVENTS:
                continue
            if open_ids.get(frame_id):
                while len(stack) > 1:
                    node = stack.pop()
                    fid = node.record.get("frame_id")
                    open_ids[fid] -= 1
                    if fid == frame_id:
                        node.end = record
                        break
                continue
            # Closes a call that began before tracing started: everything
            # recorded at the top level so far ran inside it.
            node = CallNode("call")
            node.end = record
            parent = stack[-1]
            if parent is root:
                node.children, root.children = root.children, []
            parent.children.append(node)
        elif rtype == FLUSHED_TYPE:
            stack[-1].children.append(CallNode("flushed", record))
        elif isinstance(rtype, str):
            stack[-1].children.append(CallNode("plugin", record))
    _count_calls(root)
    return root


def _count_calls(root: CallNode) -> None:
    """Set ``calls_below`` (number of call nodes in the subtree, excluding itself)."""
    order = [node for _, node in root.walk()]
    for node in reversed(order):
        node.calls_below = sum(c.calls_below + (c.kind == "call") for c in node.children)
    root.calls_below = sum(c.calls_below + (c.kind == "call") for c in root.children)


# -- formatting ------------------------------------------------------------

_REPR_LIKE = re.compile(r"^(<.*>|[A-Za-z_][\w.]*\(.*\))$", re.DOTALL)


def _cut(text: str, width: int) -> str:
    if width > 0 and len(text) > width:
        return text[: max(width - 1, 0)] + "…"
    return text


def format_value(value: Any, width: int = 0) -> str:
    """A stored value as Python-like text, cut to ``width`` characters (0: no cut).

    Stored values are what the tracer's dumpers wrote: plain values as
    themselves and other objects as their repr text, so a text that looks like
    a repr (``<Foo object at ...>``, ``Item(sku='A1')``) is shown unquoted.
    """
    parts: list[str] = []
    budget = [width + 1 if width > 0 else -1]

    def emit(text: str) -> bool:
        parts.append(text)
        if budget[0] < 0:
            return True
        budget[0] -= len(text)
        return budget[0] > 0

    def go(v: Any, top: bool) -> bool:
        if isinstance(v, str):
            one_line = v.replace("\n", "\\n") if _REPR_LIKE.match(v) else None
            return emit(one_line if one_line is not None else repr(v))
        if isinstance(v, dict):
            if not emit("{"):
                return False
            for i, (k, item) in enumerate(v.items()):
                if i and not emit(", "):
                    return False
                if not emit(f"{k!r}: " if isinstance(k, str) else f"{k}: "):
                    return False
                if not go(item, False):
                    return False
            return emit("}")
        if isinstance(v, list):
            if not emit("["):
                return False
            for i, item in enumerate(v):
                if i and not emit(", "):
                    return False
                if not go(item, False):
                    return False
            return emit("]")
        return emit(repr(v))

    go(value, True)
    return _cut("".join(parts), width)


def format_duration(seconds: float) -> str:
    """``seconds`` as a short text: 840 ns, 12.3 µs, 4.56 ms, 1.23 s, 2m03s."""
    if seconds < 0:
        seconds = 0.0
    if seconds < 1e-6:
        return f"{seconds * 1e9:.0f} ns"
    if seconds < 1e-3:
        return f"{seconds * 1e6:.3g} µs"
    if seconds < 1:
        return f"{seconds * 1e3:.3g} ms"
    if seconds < 60:
        return f"{seconds:.3g} s"
    minutes, rest = divmod(int(seconds), 60)
    return f"{minutes}m{rest:02d}s"


def format_bytes(size: float) -> str:
    """A size in bytes as 512 B, 45.6 KiB, 1.2 MiB ..."""
    value = float(size)
    for unit in ("B", "KiB", "MiB", "GiB"):
        if value < 1024 or unit == "GiB":
            return f"{int(value)} B" if unit == "B" else f"{value:.1f} {unit}"
        value /= 1024
    raise AssertionError("unreachable")


def format_time(timestamp: float | None) -> str:
    """A Unix time as local ``YYYY-MM-DD HH:MM:SS``, or ``-``."""
    if timestamp is None:
        return "-"
    return time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(timestamp))


def short_name(record: dict[str, Any]) -> str:
    """The function's name without its module when the record's path names the module.

    ``examples.shop.inventory.Inventory.reserve`` at examples/shop/inventory.py
    becomes ``Inventory.reserve``; ``__main__.main`` becomes ``main``.
    """
    qualname = record.get("qualname")
    co_name = record.get("co_name")
    if not isinstance(qualname, str) or not qualname:
        return co_name if isinstance(co_name, str) else "?"
    if co_name == "<module>":
        return qualname
    if qualname.startswith("__main__."):
        return qualname[len("__main__.") :]
    path = record.get("path")
    if isinstance(path, str):
        file = path.rsplit(":", 1)[0]
        if file.endswith(".py"):
            parts = file[:-3].replace("\\", "/").split("/")
            if parts and parts[-1] == "__init__":
                parts.pop()
            for i in range(len(parts)):
                module = ".".join(parts[i:])
                if module and qualname.startswith(module + "."):
                    return qualname[len(module) + 1 :]
    return qualname


@dataclass
class Style:
    """ANSI colours for the text view; all empty when colour is off."""

    name: str = ""
    value: str = ""
    error: str = ""
    dim: str = ""
    marker: str = ""
    header: str = ""
    reset: str = ""

    @classmethod
    def colored(cls) -> Style:
        return cls(
            name="\033[1;36m",
            value="\033[32m",
            error="\033[1;31m",
            dim="\033[2m",
            marker="\033[35m",
            header="\033[1m",
            reset="\033[0m",
        )


def _timestamp(record: dict[str, Any] | None) -> float | None:
    ts = record.get("timestamp") if record else None
    return float(ts) if isinstance(ts, (int, float)) and not isinstance(ts, bool) else None


def _call_parts(node: CallNode, width: int) -> list[tuple[str, str]]:
    """The pieces of a call's line as (style field, text) pairs."""
    record = node.record
    pieces: list[tuple[str, str]] = []
    name = short_name(record)
    if node.start is not None:
        local_vars = node.start.get("locals")
        if record.get("co_name") == "<module>":
            args = ""  # a module's locals are its globals: noise, not arguments
        elif isinstance(local_vars, dict):
            args = ", ".join(f"{k}={format_value(v, width)}" for k, v in local_vars.items())
        elif local_vars is None:
            args = ""
        else:
            args = format_value(local_vars, width)
        pieces.append(("name", name))
        pieces.append(("", f"({args})"))
        if node.start.get("event") in ("resume", "throw"):
            pieces.append(("dim", f" [{node.start['event']}]"))
    else:
        pieces.append(("name", name))
        pieces.append(("dim", "(…)"))
    end = node.end
    if end is None:
        pieces.append(("error", "  (no return recorded)"))
    elif "exception" in end:
        pieces.append(("error", f"  !! {format_value(end['exception'], width)}"))
    elif end.get("event") == "yield":
        pieces.append(("value", f"  ⇢ {format_value(end.get('arg'), width)}"))
    else:
        pieces.append(("value", f"  → {format_value(end.get('arg'), width)}"))
    begin, finish = _timestamp(node.start), _timestamp(end)
    if begin is not None and finish is not None:
        pieces.append(("dim", f"  {format_duration(finish - begin)}"))
    elif node.start is None:
        pieces.append(("dim", "  (began before tracing)"))
    path = record.get("path")
    if isinstance(path, str):
        pieces.append(("dim", f"  {path}"))
    return pieces


def _plugin_parts(node: CallNode, width: int) -> list[tuple[str, str]]:
    record = node.record
    label = str(record.get("type"))
    if isinstance(record.get("subtype"), str):
        label += f" ({record['subtype']})"
    extra = ", ".join(
        f"{k}={format_value(v, width)}" for k, v in record.items() if k not in _PLUGIN_BASE_KEYS
    )
    return [("marker", f"◆ {label}"), ("", f"  {extra}" if extra else "")]


def _flushed_parts(node: CallNode, calls_of: dict[str, int]) -> list[tuple[str, str]]:
    record = node.record
    target = record.get("flushed_trace_id")
    calls = calls_of.get(target) if isinstance(target, str) else None
    if calls is None:
        segments = record.get("flushed_segment_count")
        size = record.get("flushed_bytes")
        what = f"{segments} top-level call{'s' if segments != 1 else ''}"
        if isinstance(size, int):
            what += f" ({format_bytes(size)})"
    else:
        what = f"{calls} call{'s' if calls != 1 else ''}"
    text = f"… {what} flushed to trace {target}, see: vask traces show {target}"
    return [("marker", text)]


def render_tree(
    root: CallNode,
    *,
    style: Style,
    max_depth: int | None = None,
    grep: str | None = None,
    width: int = 0,
    flushed_calls: dict[str, int] | None = None,
    indent: str = "",
) -> Iterator[str]:
    """The lines of a call tree, indented by depth.

    ``max_depth`` hides nodes at that depth and below (a parent then says how
    many calls it hides); ``grep`` keeps only nodes whose line contains the
    text, with their ancestors.
    """
    calls_of = flushed_calls or {}

    def parts(node: CallNode) -> list[tuple[str, str]]:
        if node.kind == "call":
            return _call_parts(node, width)
        if node.kind == "plugin":
            return _plugin_parts(node, width)
        return _flushed_parts(node, calls_of)

    keep: set[int] | None = None
    if grep is not None:
        keep = set()
        path: list[CallNode] = []
        for depth, node in root.walk():
            del path[depth:]
            path.append(node)
            if max_depth is not None and depth >= max_depth:
                continue
            if grep in "".join(text for _, text in parts(node)):
                for ancestor in reversed(path):
                    if id(ancestor) in keep:
                        break
                    keep.add(id(ancestor))

    stack = [(0, child) for child in reversed(root.children)]
    while stack:
        depth, node = stack.pop()
        if keep is not None and id(node) not in keep:
            continue
        line = [indent, "  " * depth]
        for field_name, text in parts(node):
            color = getattr(style, field_name) if field_name else ""
            line.append(f"{color}{text}{style.reset}" if color else text)
        deeper = max_depth is not None and depth + 1 >= max_depth
        if deeper and node.calls_below:
            hidden = node.calls_below
            line.append(
                f"{style.dim}  (+{hidden} call{'s' if hidden != 1 else ''} below){style.reset}"
            )
        yield "".join(line)
        if not deeper:
            stack.extend((depth + 1, child) for child in reversed(node.children))


# -- Chrome trace events ---------------------------------------------------


def _jsonable(value: Any) -> Any:
    """``value`` with everything JSON cannot hold turned into text."""
    if value is None or isinstance(value, (bool, int, str)):
        return value
    if isinstance(value, float):
        return value if math.isfinite(value) else repr(value)
    if isinstance(value, dict):
        return {str(k): _jsonable(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_jsonable(v) for v in value]
    if isinstance(value, bytes):
        return repr(value)
    return str(value)


def chrome_trace(trace: Trace, *, pid: int = 1) -> dict[str, Any]:
    """The trace as Chrome Trace Event JSON (a dict ready for ``json.dump``).

    One complete event ("X") per call with its arguments and return value (or
    exception) in ``args``; times are microseconds since the trace started.
    Calls that never returned end at the trace's last timestamp.  Plugin
    records and flushed-subtree markers are instant events.  Each thread is a
    track named by a "thread_name" metadata event.
    """
    t0 = trace.timestamp
    last = trace.last_timestamp()
    if t0 is None:
        t0 = min(
            (ts for t in trace.threads.values() for r in t.records[:1] if (ts := _timestamp(r))),
            default=0.0,
        )
    if last is None:
        last = t0

    def us(ts: float) -> float:
        return round((ts - t0) * 1e6, 3)

    title = trace.name or trace.trace_id
    events: list[dict[str, Any]] = [
        {"name": "process_name", "ph": "M", "pid": pid, "tid": 0, "args": {"name": title}},
    ]
    used_tids: set[int] = set()
    for index, thread in enumerate(trace.ordered_threads()):
        tid = thread.native_id or thread.ident or index + 1
        while tid in used_tids:
            tid += 1
        used_tids.add(tid)
        events.append(
            {
                "name": "thread_name",
                "ph": "M",
                "pid": pid,
                "tid": tid,
                "args": {"name": thread.name},
            }
        )
        events.append(
            {
                "name": "thread_sort_index",
                "ph": "M",
                "pid": pid,
                "tid": tid,
                "args": {"sort_index": index},
            }
        )
        root = build_call_tree(thread.records)
        for _, node in root.walk():
            record = node.record
            if node.kind == "call":
                begin = _timestamp(node.start) if node.start is not None else t0
                finish = _timestamp(node.end) if node.end is not None else last
                begin = t0 if begin is None else begin
                finish = last if finish is None else max(finish, begin)
                args: dict[str, Any] = {
                    "path": record.get("path"),
                    "frame_id": record.get("frame_id"),
                }
                if node.start is not None:
                    args["arguments"] = _jsonable(node.start.get("locals"))
                if node.end is None:
                    args["returned"] = False
                elif "exception" in node.end:
                    args["exception"] = _jsonable(node.end["exception"])
                else:
                    args["return"] = _jsonable(node.end.get("arg"))
                events.append(
                    {
                        "name": short_name(record),
                        "cat": "call",
                        "ph": "X",
                        "ts": us(begin),
                        "dur": round((finish - begin) * 1e6, 3),
                        "pid": pid,
                        "tid": tid,
                        "args": args,
                    }
                )
            else:
                ts = _timestamp(record)
                name = str(record.get("type"))
                if node.kind == "flushed":
                    name = f"subtree flushed to {record.get('flushed_trace_id')}"
                events.append(
                    {
                        "name": name,
                        "cat": node.kind,
                        "ph": "i",
                        "s": "t",
                        "ts": us(ts if ts is not None else t0),
                        "pid": pid,
                        "tid": tid,
                        "args": _jsonable({k: v for k, v in record.items() if k != "timestamp"}),
                    }
                )
    return {
        "traceEvents": events,
        "displayTimeUnit": "ms",
        "otherData": {"trace_id": trace.trace_id, "trace_name": trace.name, "vask": __version__},
    }
