"""Exports of a trace to other tools' formats: Chrome Trace Event JSON."""

from __future__ import annotations

import math
from typing import Any

from vask.calltree import build_call_tree
from vask.document import Trace, record_time
from vask.render import short_name
from vask.version import __version__

__all__ = ["chrome_trace"]


# Containers nested deeper than this are written as "…": far deeper than what
# the tracer's dumpers write, far shallower than what json.dump can recurse into.
_MAX_DEPTH = 64


def _key(key: Any) -> str:
    if isinstance(key, str):
        return key
    if key is None or isinstance(key, (bool, int, float, bytes)):
        return repr(key)
    return f"<{type(key).__name__}>"


def _jsonable(value: Any, depth: int = 0) -> Any:
    """``value`` with everything JSON cannot hold turned into text."""
    if value is None or isinstance(value, (bool, int, str)):
        return value
    if isinstance(value, float):
        return value if math.isfinite(value) else repr(value)
    if isinstance(value, (dict, list, tuple)) and depth >= _MAX_DEPTH:
        return "…"
    if isinstance(value, dict):
        return {_key(k): _jsonable(v, depth + 1) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_jsonable(v, depth + 1) for v in value]
    if isinstance(value, bytes):
        return repr(value)
    return f"<{type(value).__name__}>"


def chrome_trace(trace: Trace, *, pid: int = 1) -> dict[str, Any]:
    """The trace as Chrome Trace Event JSON (a dict ready for ``json.dump``).

    One complete event ("X") per call with its arguments and return value (or
    exception) in ``args``; times are microseconds since the trace started.
    A generator or coroutine gives one event per stretch it runs, from its
    call, resume or throw to its yield, return or unwind: ``entered_by`` says
    how it began (when not by a call) and ``yield`` holds a yielded value.
    Calls that never returned end at the trace's last timestamp.  Plugin
    records and flushed-subtree markers are instant events.  Each thread is a
    track named by a "thread_name" metadata event.
    """
    t0 = trace.timestamp
    last = trace.last_timestamp()
    if t0 is None:
        t0 = min(
            (ts for t in trace.threads.values() for r in t.records[:1] if (ts := record_time(r))),
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
                begin = record_time(node.start) if node.start is not None else t0
                finish = record_time(node.end) if node.end is not None else last
                begin = t0 if begin is None else begin
                finish = last if finish is None else max(finish, begin)
                args: dict[str, Any] = {
                    "path": _jsonable(record.get("path")),
                    "frame_id": _jsonable(record.get("frame_id")),
                }
                if node.start is not None:
                    args["arguments"] = _jsonable(node.start.get("locals"))
                    if node.start.get("event") in ("resume", "throw"):
                        args["entered_by"] = node.start["event"]
                        if "exception" in node.start:
                            args["thrown"] = _jsonable(node.start["exception"])
                if node.end is None:
                    args["returned"] = False
                elif "exception" in node.end:
                    args["exception"] = _jsonable(node.end["exception"])
                elif node.end.get("event") == "yield":
                    args["yield"] = _jsonable(node.end.get("arg"))
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
                ts = record_time(record)
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
