"""The viewer's questions to a trace index, answered as small JSON-ready dicts.

A level of the call tree (paged), one call's details, a window of the
timeline at a given resolution, and search by function name or by value
text.  Each answer decodes only the records it shows.
"""

from __future__ import annotations

import bisect
import math
import time
from typing import Any

from vask.arguments import call_arguments, split_call_locals
from vask.asynctasks import TASK_CREATED_TYPE
from vask.calltree import body_kind
from vask.document import CALLS_DROPPED_TYPE, FOLDED_TYPE
from vask.render import (
    call_label,
    calls_dropped_text,
    created_task_text,
    folded_text,
    format_value,
    not_stored_text,
)
from vask.traceindex import (
    EVENT_NAMES,
    NODE_CALL,
    NODE_FLUSHED,
    NODE_PLUGIN,
    IndexNode,
    ThreadIndex,
    TraceIndex,
)
from vask.viewer.timeline import DEFAULT_CAP, SubtreeLookup, timeline_bars
from vask.viewer.values import to_json

__all__ = [
    "SubtreeLookup",
    "children",
    "details",
    "search_name",
    "search_value",
    "summary",
    "timeline",
]

_SUMMARY_WIDTH = 60
_PLUGIN_BASE_KEYS = frozenset(("frame_id", "timestamp", "user_code_call_site", "type", "subtype"))
# How far the details look for plugin records around a call, in records.
_PLUGIN_REACH = 20_000
_MAX_ASSIGNMENTS = 500


class BadRequest(ValueError):
    """A request that names no thread, node or range of this trace."""


def _num(value: float) -> float | None:
    return None if math.isnan(value) else value


def time_origin(trace: TraceIndex) -> float:
    if trace.timestamp is not None:
        return trace.timestamp
    firsts = [t.time_span()[0] for t in trace.threads.values()]
    return min((f for f in firsts if not math.isnan(f)), default=0.0)


def thread_of(trace: TraceIndex, key: str) -> ThreadIndex:
    thread = trace.threads.get(key)
    if thread is None:
        raise BadRequest(f"no thread {key!r} in trace {trace.trace_id}")
    return thread


def node_of(thread: ThreadIndex, text: str | int) -> int:
    try:
        node = int(text)
    except (TypeError, ValueError):
        raise BadRequest(f"not a node number: {text!r}") from None
    if not 0 <= node < thread.nodes:
        raise BadRequest(f"no node {node} in thread {thread.key}")
    return node


def summary(trace: TraceIndex) -> dict[str, Any]:
    """The trace's facts and threads."""
    t0 = time_origin(trace)
    threads = []
    for thread in trace.ordered_threads():
        lo, hi = thread.time_span()
        threads.append(
            {
                "key": thread.key,
                "name": thread.name,
                "native_id": thread.native_id,
                "calls": thread.calls,
                "top": thread.child_count(0),
                "start": _num(lo - t0),
                "end": _num(hi - t0),
            }
        )
    env = trace.meta.get("environment") if isinstance(trace.meta, dict) else None
    last = trace.last_timestamp()
    return {
        "trace_id": trace.trace_id,
        "name": trace.name,
        "timestamp": trace.timestamp,
        "duration": (last - t0) if last is not None else None,
        "root_trace_id": trace.root_trace_id,
        "command": trace.command_line_args,
        "source": trace.meta.get("source") if isinstance(trace.meta, dict) else None,
        "python": env.get("py_version") if isinstance(env, dict) else None,
        "calls": trace.calls,
        "size": trace.size,
        "documents": trace.documents,
        "damaged": [{"document": n, "reason": r} for n, r in trace.damaged],
        "threads": threads,
    }


# -- rows of the tree ---------------------------------------------------------


def _args_text(record: dict[str, Any] | None, kind: str) -> str:
    if record is None or kind != "function":
        return ""
    local_vars = call_arguments(record)
    if isinstance(local_vars, dict):
        return ", ".join(f"{k}={format_value(v, _SUMMARY_WIDTH)}" for k, v in local_vars.items())
    return "" if local_vars is None else format_value(local_vars, _SUMMARY_WIDTH)


def row(trace: TraceIndex, thread: ThreadIndex, node: int) -> dict[str, Any]:
    """One line of the tree: what a person reads before opening the call."""
    t0 = time_origin(trace)
    kind = thread.kind[node]
    start, end = thread.start[node], thread.end[node]
    item: dict[str, Any] = {
        "node": node,
        "start": _num(start - t0),
        "children": thread.first_child[node] >= 0,
        "calls_below": thread.calls_below[node],
    }
    view = IndexNode(thread, node)
    if kind == NODE_CALL:
        body = body_kind(view.start, view.end)
        record = view.record
        item.update(
            kind="call",
            body=body,
            label=call_label(record, view.end),
            args=_args_text(view.start, body),
            path=record.get("path"),
            event=record.get("event") if view.start is not None else None,
            dur=_num(end - start),
        )
        closing = view.end
        if closing is None:
            item["status"] = "open"
        else:
            event = closing.get("event")
            item["status"] = event if event in ("unwind", "yield") else "return"
            value = closing.get("exception") if "exception" in closing else closing.get("arg")
            item["value"] = format_value(value, _SUMMARY_WIDTH)
        if node in thread.resumes:
            item["resumes"] = len(thread.resumes[node])
        if node in thread.resume_of:
            item["resume_of"] = thread.resume_of[node]
    elif kind == NODE_PLUGIN:
        record = view.record
        extra = ", ".join(
            f"{k}={format_value(v, _SUMMARY_WIDTH)}"
            for k, v in record.items()
            if k not in _PLUGIN_BASE_KEYS
        )
        label = str(record.get("type"))
        if record.get("type") == CALLS_DROPPED_TYPE:
            label, extra = f"… {calls_dropped_text(record)}", ""
        elif not_stored_text(record) is not None:
            label, extra = f"… {not_stored_text(record)}", ""
        elif record.get("type") == FOLDED_TYPE:
            label, extra = folded_text(record), ""
        elif record.get("type") == TASK_CREATED_TYPE and type(record.get("task_id")) is int:
            # A link to the task's own tree: the page opens it by task.
            label, extra = f"→ starts {created_task_text(record)}", ""
            item["starts_task"] = record["task_id"]
            if record.get("eager") is True:
                extra = "its first step ran here, eagerly"
        item.update(kind="plugin", label=label, subtype=record.get("subtype"), args=extra)
    elif kind == NODE_FLUSHED:
        record = view.record
        item.update(
            kind="flushed",
            label=f"subtree flushed: {record.get('co_name')}",
            flushed_trace=record.get("flushed_trace_id"),
            segments=record.get("flushed_segment_count"),
            bytes=record.get("flushed_bytes"),
        )
    return item


def children(
    trace: TraceIndex, thread: ThreadIndex, node: int, offset: int, limit: int, group: str = ""
) -> dict[str, Any]:
    """A page of a node's children; ``group="resumes"``: the later parts of a generator frame."""
    limit = max(1, min(limit, 500))
    offset = max(0, offset)
    if group == "resumes":
        ids: Any = thread.resumes.get(node, [])
    else:
        ids = thread.children_arrays(node)[0]
    items = [row(trace, thread, c) for c in ids[offset : offset + limit]]
    return {"node": node, "total": len(ids), "offset": offset, "items": items}


# -- one call -----------------------------------------------------------------


def _frame_id(thread: ThreadIndex, node: int) -> Any:
    record = thread.record(thread.open_rec[node])
    return record.get("frame_id") if isinstance(record, dict) else None


def _caller(thread: ThreadIndex, node: int, site: dict[str, Any]) -> int | None:
    """The node of the frame a call site names: the parent, or a caller further up."""
    wanted = site.get("call_frame_id")
    parent = thread.parent[node]
    for _ in range(64):
        if parent <= 0:
            return None
        if thread.kind[parent] == NODE_CALL and _frame_id(thread, parent) == wanted:
            return parent
        parent = thread.parent[parent]
    return None


def _plugins_around(thread: ThreadIndex, node: int) -> list[dict[str, Any]]:
    """The nearest plugin records before and after the call that enclose it (test, request).

    Plugin records are leaves of the tree: the nearest ones are siblings of
    the call or of one of its callers.
    """
    found: dict[str, int] = {}
    step = node
    while step > 0 and len(found) < 2:
        ids = thread.children_arrays(thread.parent[step])[0]
        at = ids.index(step)
        for where, places in (
            ("before", range(at - 1, max(at - _PLUGIN_REACH, 0) - 1, -1)),
            ("after", range(at + 1, min(at + _PLUGIN_REACH, len(ids)))),
        ):
            if where in found:
                continue
            for place in places:
                if thread.kind[ids[place]] == NODE_PLUGIN:
                    found[where] = ids[place]
                    break
        step = thread.parent[step]
    out = []
    for where in ("before", "after"):
        if where not in found:
            continue
        record = thread.record(thread.open_rec[found[where]])
        if isinstance(record, dict):
            out.append(
                {
                    "where": where,
                    "node": found[where],
                    "type": str(record.get("type")),
                    "subtype": record.get("subtype"),
                    "fields": to_json(
                        {k: v for k, v in record.items() if k not in _PLUGIN_BASE_KEYS}
                    ),
                }
            )
    return out


def _assignments(thread: ThreadIndex, node: int, t0: float) -> list[dict[str, Any]]:
    out = []
    for rec in thread.assignments.get(node, ()):
        record = thread.record(rec)
        if not isinstance(record, dict):
            continue
        ts = record.get("timestamp")
        out.append(
            {
                "path": record.get("path"),
                "time": ts - t0 if isinstance(ts, (int, float)) else None,
                "value": to_json(record.get("assign")),
            }
        )
        if len(out) >= _MAX_ASSIGNMENTS:
            break
    return out


def details(
    trace: TraceIndex,
    thread: ThreadIndex,
    node: int,
    trace_points: list[dict[str, Any]] | None = None,
) -> dict[str, Any]:
    """Everything about one node: values, call site, times, plugin records, assignments."""
    t0 = time_origin(trace)
    view = IndexNode(thread, node)
    out = row(trace, thread, node)
    out["thread"] = {"key": thread.key, "name": thread.name, "native_id": thread.native_id}
    out["path_to"] = path_to(thread, node)
    kind = thread.kind[node]
    if kind != NODE_CALL:
        out["record"] = to_json(view.record)
        return out
    start, end = view.start, view.end
    record = view.record
    body = body_kind(start, end)
    out["qualname"] = record.get("qualname")
    out["frame_id"] = record.get("frame_id")
    out["started"] = _num(thread.start[node])
    out["ended"] = _num(thread.end[node])
    if start is not None:
        out["locals_call"] = to_json(start.get("locals"))
        split = split_call_locals(start)
        if split is not None:
            out["arguments"] = to_json(split[0])
            if split[1]:
                out["locals_call_other"] = to_json(split[1])
    if end is not None:
        out["end_event"] = end.get("event")
        out["end_path"] = end.get("path")
        if "exception" in end:
            out["exception"] = to_json(end.get("exception"))
        else:
            out["returned"] = to_json(end.get("arg"))
        if end.get("locals") is not None:
            out["locals_return"] = to_json(end.get("locals"))
    if body != "function":
        # a module's or class body's locals are its globals: not arguments
        out["globals_note"] = f"the locals of a {body} body are its namespace"
    site = start.get("user_code_call_site") if start is not None else None
    if isinstance(site, dict):
        out["call_site"] = {
            "line": site.get("line_number"),
            "frame_id": site.get("call_frame_id"),
            "caller": _caller(thread, node, site),
        }
    out["plugins"] = _plugins_around(thread, node)
    out["assignments"] = _assignments(thread, node, t0)
    first = thread.resume_of.get(node, node)
    parts = [first, *thread.resumes.get(first, [])]
    if len(parts) > 1:
        out["parts"] = [
            {"node": p, "event": EVENT_NAMES[thread.rec_kind[thread.open_rec[p]]]}
            for p in parts
            if thread.open_rec[p] >= 0
        ]
    frame_id = record.get("frame_id")
    out["trace_points"] = [tp for tp in trace_points or [] if tp.get("frame_id") == frame_id]
    return out


def _label(thread: ThreadIndex, node: int) -> str:
    info = thread.node_name(node)
    if info is not None:
        return info.label
    return NODE_KIND_LABELS.get(thread.kind[node], "?")


NODE_KIND_LABELS = {NODE_PLUGIN: "plugin record", NODE_FLUSHED: "flushed subtree"}


# -- the timeline -------------------------------------------------------------


def timeline(
    trace: TraceIndex,
    thread: ThreadIndex,
    t_from: float,
    t_to: float,
    width: int,
    subtrees: SubtreeLookup | None = None,
    cap: int = DEFAULT_CAP,
) -> dict[str, Any]:
    """The bars of ``thread`` in [t_from, t_to] (seconds from the trace's start).

    See :mod:`vask.viewer.timeline`: every call of at least a pixel, calls
    narrower than a pixel merged per parent and pixel, fold records as
    blocks, flushed subtrees (read through ``subtrees``) in place, level by
    level while the bars stay within ``cap``.
    """
    t0 = time_origin(trace)
    width = max(10, min(int(width), 8000))
    if not t_to > t_from:
        raise BadRequest("the time range is empty")
    answer = timeline_bars(trace, thread, t0 + t_from, t0 + t_to, width, t0, subtrees, cap)
    return {"from": t_from, "to": t_to, **answer}


# -- search -------------------------------------------------------------------


def path_to(thread: ThreadIndex, node: int) -> list[dict[str, Any]]:
    """The nodes from the top level down to ``node``, each with its place among its siblings."""
    out = []
    for step in [*thread.ancestors(node), node]:
        siblings = thread.children_arrays(thread.parent[step])[0]
        try:
            place = siblings.index(step)
        except ValueError:
            place = 0
        out.append({"node": step, "index": place, "label": _label(thread, step)})
    return out


def _hit(trace: TraceIndex, thread: ThreadIndex, node: int) -> dict[str, Any]:
    return {
        "thread": thread.key,
        "node": node,
        "label": _label(thread, node),
        "path": path_to(thread, node),
    }


def search_name(
    trace: TraceIndex, query: str, after_thread: str | None, after_node: int
) -> dict[str, Any]:
    """The next call (after the given one, in thread order then tree order) whose name matches."""
    needle = query.casefold()
    wanted = [
        i
        for i, info in enumerate(trace.names)
        if needle in info.label.casefold() or needle in info.qualname.casefold()
    ]
    threads = trace.ordered_threads()
    keys = [t.key for t in threads]
    first = keys.index(after_thread) if after_thread in keys else 0
    for number in range(first, len(threads)):
        thread = threads[number]
        start = after_node + 1 if thread.key == after_thread else 1
        best = None
        for name in wanted:
            try:
                found = thread.name_id.index(name, start)
            except ValueError:
                continue
            best = found if best is None else min(best, found)
        if best is not None:
            return {"match": _hit(trace, thread, best), "done": False}
    return {"match": None, "done": True}


def _value_texts(record: dict[str, Any]) -> list[str]:
    texts = []
    for key in ("arg", "exception", "assign"):
        if key in record:
            texts.append(format_value(record[key]))
    local_vars = record.get("locals")
    if isinstance(local_vars, dict):
        texts.extend(f"{k}={format_value(v)}" for k, v in local_vars.items())
    elif local_vars is not None:
        texts.append(format_value(local_vars))
    if record.get("type") not in ("frame", None):
        texts.append(format_value(record))
    return texts


def _record_at(trace: TraceIndex, pos: int) -> tuple[ThreadIndex, int] | None:
    """The thread and record number of the record that holds trace position ``pos``."""
    for thread in trace.threads.values():
        rec = bisect.bisect_right(thread.rec_pos, pos) - 1
        if rec < 0:
            continue
        start, end = thread.record_span(rec)
        if start <= pos < end:
            return thread, rec
    return None


def search_value(
    trace: TraceIndex, query: str, after: int, time_budget: float = 0.5
) -> dict[str, Any]:
    """The next call (after trace position ``after``) with a value whose text holds ``query``.

    The documents are scanned for the text's bytes (case-insensitively for
    ASCII); each place found is checked against the record's values as the
    tree shows them.  A search that runs out of ``time_budget`` seconds
    answers with the position to go on from.
    """
    needle = query.encode("utf-8").lower()
    if not needle:
        raise BadRequest("empty search")
    folded = query.casefold()
    deadline = time.monotonic() + time_budget
    overlap = len(needle) - 1
    seen_records: set[tuple[str, int]] = set()
    for base, chunk in trace.chunks(overlap=overlap):
        if base + len(chunk) <= after:
            continue
        lowered = chunk.lower()
        at = max(after - base, 0)
        while True:
            at = lowered.find(needle, at)
            if at < 0:
                break
            found = _record_at(trace, base + at)
            if found is not None:
                thread, rec = found
                start, end = thread.record_span(rec)
                if (thread.key, rec) not in seen_records:
                    seen_records.add((thread.key, rec))
                    record = thread.record(rec)
                    if isinstance(record, dict) and any(
                        folded in text.casefold() for text in _value_texts(record)
                    ):
                        hit = _hit(trace, thread, thread.node_at_record(rec))
                        hit["record"] = rec
                        return {"match": hit, "cursor": end, "done": False}
                at = max(at + 1, end - base)
            else:
                at += 1
        if time.monotonic() > deadline:
            return {
                "match": None,
                "cursor": base + len(chunk) - overlap,
                "done": False,
                "progress": (base + len(chunk)) / max(trace.size, 1),
            }
    return {"match": None, "cursor": trace.size, "done": True}
