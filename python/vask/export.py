"""Exports of a trace to other tools' formats: Chrome Trace Event JSON and speedscope.

Both are written while the trace's index is walked, one event at a time, so
a large trace is never held in memory as JSON.  Subtrees that were flushed
apart while the trace ran are put back where their markers stand, read from
the traces the markers name (through ``load``).
"""

from __future__ import annotations

import json
import math
from collections.abc import Callable, Iterator
from typing import Any, TextIO

from vask.arguments import call_arguments
from vask import tasktree
from vask.asynctasks import STEP_END_TYPE, STEP_TYPE
from vask.calltree import body_kind
from vask.document import CALLS_DROPPED_TYPE, FOLDED_TYPE, plausible_time, record_time
from vask.render import call_label, calls_dropped_text, folded_text, format_value
from vask.traceindex import NODE_CALL, NODE_FLUSHED, NODE_PLUGIN, IndexNode, ThreadIndex, TraceIndex
from vask.version import __version__

__all__ = ["Loader", "write_chrome_trace", "write_speedscope"]

#: Reads the trace a "subtree_flushed" marker names (``None`` when it cannot be read).
Loader = Callable[[str], "TraceIndex | None"]


# Events written to the output at a time.
_BATCH = 4096
# json.dumps(value, ensure_ascii=False, separators=(",", ":")) without a new encoder per value.
_encode = json.JSONEncoder(ensure_ascii=False, separators=(",", ":")).encode

# Containers nested deeper than this are written as "…": far deeper than what
# the tracer's dumpers write, far shallower than what json.dump can recurse into.
_MAX_DEPTH = 64


def _key(key: Any) -> str:
    if isinstance(key, str):
        return key
    if key is None or isinstance(key, (bool, int, float, bytes)):
        return repr(key)
    return f"<{type(key).__name__}>"


def _jsonable(value: Any, *, traced: bool = False, depth: int = 0) -> Any:
    """``value`` for JSON: numbers, booleans, None, dicts and lists in their JSON form.

    Every other value becomes the text the text view shows for it. For a
    ``traced`` value (an argument, a local, a return value) that includes
    strings, which are quoted (``'Foo(1)'``) and so stay apart from the repr
    of an object (``Foo(1)``); a record's own fields keep their texts as they are.
    """
    kind = type(value)  # the decoder's own types first, by their exact type
    if kind is str:
        return format_value(value) if traced else value
    if kind is int or kind is bool or value is None:
        return value
    if value is None or isinstance(value, (bool, int)) or (isinstance(value, str) and not traced):
        return value
    if isinstance(value, float):
        return value if math.isfinite(value) else repr(value)
    if isinstance(value, (dict, list)) and depth >= _MAX_DEPTH:
        return "…"
    if isinstance(value, dict):
        return {_key(k): _jsonable(v, traced=traced, depth=depth + 1) for k, v in value.items()}
    if isinstance(value, list):
        return [_jsonable(v, traced=traced, depth=depth + 1) for v in value]
    return format_value(value)


def _time_base(trace: TraceIndex) -> tuple[float, float]:
    """The trace's start and end times."""
    t0 = trace.timestamp
    last = trace.last_timestamp()
    if t0 is None:
        firsts = [t.time_span()[0] for t in trace.threads.values()]
        t0 = min((f for f in firsts if f == f), default=0.0)
    return t0, last if last is not None else t0


def _shared_time_base(traces: list[TraceIndex]) -> tuple[float, float]:
    """The start of the earliest and the end of the latest of ``traces``."""
    bases = [_time_base(trace) for trace in traces]
    return min(t0 for t0, _ in bases), max(last for _, last in bases)


def _process_pids(traces: list[TraceIndex], default: int) -> list[int]:
    """Each trace's process id: the pid it was recorded in, else a number no other has."""
    pids = [_recorded_pid(trace) for trace in traces]
    if pids[0] is None:
        pids[0] = default
    taken = {pid for pid in pids if pid is not None}
    spare = max(taken, default=0) + 1
    for i, pid in enumerate(pids):
        if pid is None:
            pids[i], spare = spare, spare + 1
    return pids  # type: ignore[return-value]


def _recorded_pid(trace: TraceIndex) -> int | None:
    pid = trace.process_facts()["pid"]
    return pid if pid is not None and pid < 1 << 31 else None


def _process_title(trace: TraceIndex) -> str:
    return trace.name or trace.process_facts()["name"] or trace.trace_id


def _flushed_thread(
    thread: ThreadIndex, node: int, load: Loader | None, seen: set[str]
) -> ThreadIndex | None:
    """The thread of the trace a marker names, when it can be read (and is not already open)."""
    if load is None:
        return None
    record = thread.record(thread.open_rec[node]) or {}
    target = record.get("flushed_trace_id") if isinstance(record, dict) else None
    if not isinstance(target, str) or target in seen:
        return None
    sub = load(target)
    if sub is None:
        return None
    seen.add(target)
    found = sub.threads.get(thread.key)
    if found is None and len(sub.threads) == 1:
        found = next(iter(sub.threads.values()))
    return found


def _stitched(
    thread: ThreadIndex, load: Loader | None, seen: set[str]
) -> Iterator[tuple[int, IndexNode]]:
    """(depth, node) of a thread's tree with flushed subtrees in place of their markers.

    A marker whose trace cannot be read stays a marker.
    """
    for depth, current, node in _stitched_numbers(thread, load, seen):
        yield depth, IndexNode(current, node)


def _stitched_numbers(
    thread: ThreadIndex, load: Loader | None, seen: set[str]
) -> Iterator[tuple[int, ThreadIndex, int]]:
    """As :func:`_stitched`, each node as (depth, its thread, its number): no node objects.

    The index of a flushed subtree is closed once its nodes are all given.
    """
    stack: list[tuple[int, Iterator[tuple[int, int]], ThreadIndex]] = [(0, thread.walk(0), thread)]
    try:
        while stack:
            shift, walk, current = stack[-1]
            kinds = current.kind
            for depth, node in walk:
                if kinds[node] == NODE_FLUSHED:
                    sub = _flushed_thread(current, node, load, seen)
                    if sub is not None:
                        stack.append((shift + depth, sub.walk(0), sub))
                        break
                yield shift + depth, current, node
            else:
                stack.pop()
                if stack:
                    current.trace.close()
    finally:
        for _, _, current in stack[1:]:
            current.trace.close()


class _TaskTracker:
    """The asyncio task a node of a pre-order walk ran in, from the task step records.

    A step's start record and its end record are siblings; every node after
    the start, at its depth or below, ran in the task until the end record or
    until the walk leaves the start's parent.
    """

    def __init__(self) -> None:
        self.task: tuple[int, str | None] | None = None
        self.depth = 0

    def at(self, depth: int, node: Any) -> tuple[int, str | None] | None:
        if self.task is not None and depth < self.depth:
            self.task = None  # the walk left the step's parent
        if node.kind == "plugin":
            record = node.record
            rtype = record.get("type")
            if rtype == STEP_TYPE and self.task is None and type(record.get("task_id")) is int:
                name = record.get("task_name")
                self.task = (record["task_id"], name if isinstance(name, str) else None)
                self.depth = depth
            elif rtype == STEP_END_TYPE and self.task is not None and depth == self.depth:
                self.task = None
        return self.task


def _stitched_walk(
    walk: Iterator[tuple[int, Any]], load: Loader | None, seen: set[str]
) -> Iterator[tuple[int, IndexNode]]:
    """As :func:`_stitched`, for the nodes of any walk of a thread (a task's, the rest)."""
    for depth, node in walk:
        if node.kind == "note":
            continue  # a task's suspended stretch: no event
        if node.kind == "flushed":
            sub = _flushed_thread(node.thread, node.node, load, seen)
            if sub is not None:
                for below, inner in _stitched(sub, load, seen):
                    yield depth + below, inner
                continue
        yield depth, node


def _task_tracks(
    thread: ThreadIndex, load: Loader | None, seen: set[str], by_task: bool
) -> Iterator[tuple[str, Any, Iterator[tuple[int, Any, Any]]]]:
    """The thread's tracks, each (title, task facts, its (depth, node, task facts) walk):
    the whole thread, each node with the task it ran in; or, ``by_task``, the calls
    that ran in no task, then one track per asyncio task with recorded calls, in order
    of appearance."""
    if not by_task:
        tracker = _TaskTracker()
        walk = ((d, n, tracker.at(d, n)) for d, n in _stitched(thread, load, seen))
        yield thread.name, None, walk
        return
    root = IndexNode(thread, 0)
    view = tasktree.group_by_task(root)
    outside = tasktree.OutsideRoot(root, view).walk()
    title = thread.name
    if view.resumes_as_calls:
        # Said where a reader of the tracks sees it: the thread's own title.
        title += " (profile hook: each resume of a task is a new call)"
    yield title, None, ((d, n, None) for d, n in _stitched_walk(outside, load, seen))
    for task in view.tasks.values():
        if not any(step.nodes for step in task.steps):
            continue  # none of its code was recorded
        title = f"task {task.task_id}" + (f": {task.name}" if task.name is not None else "")
        if task.coroutine is not None:
            title += f" ({task.coroutine})"
        facts = (task.task_id, task.name)
        steps = _stitched_walk(tasktree.TaskRoot(task, str, view).walk(), load, seen)
        yield title, facts, ((d, n, facts) for d, n in steps)


def _free_tid(wanted: int, used: set[int]) -> int:
    while wanted in used:
        wanted += 1
    used.add(wanted)
    return wanted


def write_chrome_trace(
    trace: TraceIndex,
    out: TextIO,
    *,
    load: Loader | None = None,
    pid: int = 1,
    children: list[TraceIndex] | None = None,
    by_task: bool = False,
    progress: Callable[[int], None] | None = None,
) -> int:
    """Write the trace as Chrome Trace Event JSON to ``out``; returns the number of calls.

    ``progress(events)`` is called now and then with the number of events written.

    Each process is a process track ("pid") of its own: the trace's, and
    each of ``children`` (the traces of the processes it started), under the
    pid each was recorded in (``pid`` for a trace that does not say), named
    after the trace or process; all share one time line.

    One complete event ("X") per call with its arguments and return value (or
    exception) in ``args``, strings quoted and reprs as they stand, as the
    text view shows them; times are microseconds since the trace started.
    A generator or coroutine gives one event per stretch it runs, from its
    call, resume or throw to its yield, return or unwind: ``entered_by`` says
    how it began (when not by a call) and ``yield`` holds a yielded value.
    Calls that never returned end at the trace's last timestamp.  Plugin
    records and flushed-subtree markers that cannot be stitched back are
    instant events.  Each thread is a track named by a "thread_name"
    metadata event.  Module and class bodies have no arguments (their locals
    are globals).

    With ``by_task``, each asyncio task is a track of its own ("task N: name
    (coroutine)", after its thread's), holding the calls of its steps; the
    thread's track keeps the calls that ran in no task.
    """
    processes = [trace, *(children or ())]
    t0, last = _shared_time_base(processes)

    def us(ts: float) -> float:
        return round((ts - t0) * 1e6, 3)

    # The events as text, written a batch at a time.
    pieces: list[str] = []

    events = 0

    def emit(event: dict[str, Any]) -> None:
        nonlocal first, events
        pieces.append(("" if first else ",") + _encode(event))
        first = False
        if len(pieces) >= _BATCH:
            out.write("".join(pieces))
            events += len(pieces)
            pieces.clear()
            if progress is not None:
                progress(events)

    out.write('{"traceEvents":[')
    first = True
    calls = 0
    for order, (process, process_pid) in enumerate(zip(processes, _process_pids(processes, pid))):
        title = _process_title(process)
        if children:
            title += f" (pid {process_pid})"
        for meta, args in (
            ("process_name", {"name": title}),
            ("process_sort_index", {"sort_index": order}),
        ):
            emit({"name": meta, "ph": "M", "pid": process_pid, "tid": 0, "args": args})
        calls += _chrome_process(process, process_pid, last, t0, us, emit, load, by_task)
    out.write("".join(pieces))
    other = {"trace_id": trace.trace_id, "trace_name": trace.name, "vask": __version__}
    if children:
        other["child_trace_ids"] = [child.trace_id for child in children]
    out.write('],"displayTimeUnit":"ms","otherData":')
    out.write(json.dumps(other, ensure_ascii=False, separators=(",", ":")))
    out.write("}")
    return calls


def _chrome_process(
    trace: TraceIndex,
    pid: int,
    last: float,
    t0: float,
    us: Callable[[float], float],
    emit: Callable[[dict[str, Any]], None],
    load: Loader | None,
    by_task: bool = False,
) -> int:
    """The events of one process's threads; returns the number of calls."""
    calls = 0
    used_tids: set[int] = set()
    seen = {trace.trace_id}
    order = 0
    threads = trace.ordered_threads()
    thread_tids = [
        _free_tid(t.native_id or t.ident or i + 1, used_tids) for i, t in enumerate(threads)
    ]
    # Tasks' tracks: tids after every thread's (kept small: readers take 32 bits).
    task_tid = max(used_tids, default=0) + 1
    for thread, thread_tid in zip(threads, thread_tids):
        for title, task_facts, walk in _task_tracks(thread, load, seen, by_task):
            tid = thread_tid if task_facts is None else _free_tid(task_tid, used_tids)
            for meta, args in (
                ("thread_name", {"name": title}),
                ("thread_sort_index", {"sort_index": order}),
            ):
                emit({"name": meta, "ph": "M", "pid": pid, "tid": tid, "args": args})
            order += 1
            calls += _chrome_track(walk, pid, tid, last, t0, us, emit)
    return calls


def _chrome_track(
    walk: Iterator[tuple[int, Any, Any]],
    pid: int,
    tid: int,
    last: float,
    t0: float,
    us: Callable[[float], float],
    emit: Callable[[dict[str, Any]], None],
) -> int:
    """The events of one track; returns the number of calls."""
    calls = 0
    for _depth, node, task in walk:
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
            if node.start is not None and body_kind(node.start, node.end) == "function":
                args["arguments"] = _jsonable(call_arguments(node.start), traced=True)
                if node.start.get("event") in ("resume", "throw"):
                    args["entered_by"] = node.start["event"]
                    if "exception" in node.start:
                        args["thrown"] = _jsonable(node.start["exception"], traced=True)
            if task is not None:
                args["task_id"], args["task_name"] = task
            if node.end is None:
                args["returned"] = False
            elif "exception" in node.end:
                args["exception"] = _jsonable(node.end["exception"], traced=True)
            elif node.end.get("event") == "yield":
                args["yield"] = _jsonable(node.end.get("arg"), traced=True)
            else:
                args["return"] = _jsonable(node.end.get("arg"), traced=True)
            calls += 1
            emit(
                {
                    "name": call_label(record, node.end),
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
            elif record.get("type") == CALLS_DROPPED_TYPE:
                name = calls_dropped_text(record)
            elif record.get("type") == FOLDED_TYPE:
                name = folded_text(record)
                first = plausible_time(record.get("first_timestamp"))
                final = plausible_time(record.get("last_timestamp"))
                if first is not None and final is not None and final >= first:
                    # The folded calls as one block, from the start of the
                    # first to the end of the last.
                    emit(
                        {
                            "name": name,
                            "cat": "folded",
                            "ph": "X",
                            "ts": us(first),
                            "dur": round((final - first) * 1e6, 3),
                            "pid": pid,
                            "tid": tid,
                            # The parent's id under its own name: a call's
                            # block is the one that carries "frame_id".
                            "args": _jsonable(
                                {
                                    ("parent_frame_id" if k == "frame_id" else k): v
                                    for k, v in record.items()
                                    if k != "timestamp"
                                }
                            ),
                        }
                    )
                    continue
            emit(
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
    return calls


def write_speedscope(
    trace: TraceIndex,
    out: TextIO,
    *,
    load: Loader | None = None,
    children: list[TraceIndex] | None = None,
    by_task: bool = False,
    progress: Callable[[int], None] | None = None,
) -> int:
    """Write the trace as a speedscope file (an evented profile per thread); returns the calls.

    ``progress(events)`` is called now and then with the number of events written.

    Durations only: no values.  A call that never returned ends with its
    caller, or at the trace's end; times are clamped so that every call lies
    within its caller.  The threads of ``children`` (the traces of the
    processes the trace's process started) are profiles too, named with
    their process's pid, on the same time line.  With ``by_task``, each
    asyncio task is a profile of its own ("thread · task N: name (coroutine)",
    after its thread's, which keeps the calls that ran in no task).
    """
    processes = [trace, *(children or ())]
    t0, last = _shared_time_base(processes)
    pids = _process_pids(processes, 1)

    def profiles() -> Iterator[tuple[ThreadIndex, str, Iterator[tuple[int, Any]]]]:
        for process, pid in zip(processes, pids):
            suffix = f" (pid {pid})" if children else ""
            for thread in process.ordered_threads():
                seen = {process.trace_id}
                if not by_task:
                    yield thread, thread.name + suffix, _stitched_numbers(thread, load, seen)
                    continue
                for title, task, walk in _task_tracks(thread, load, seen, by_task):
                    name = title if task is None else f"{thread.name} · {title}"
                    yield thread, name + suffix, ((d, n.thread, n.node) for d, n, _ in walk)

    frames: dict[tuple[str, str], int] = {}
    calls = events = 0
    out.write('{"$schema":"https://www.speedscope.app/file-format-schema.json","profiles":[')
    for number, (thread, thread_name, walk) in enumerate(profiles()):
        if number:
            out.write(",")
        lo, _ = thread.time_span()
        begin_at = round(((lo if lo == lo else t0) - t0) * 1e6, 3)
        name = json.dumps(thread_name, ensure_ascii=False)
        out.write(f'{{"type":"evented","name":{name},"unit":"microseconds",')
        out.write(f'"startValue":{max(begin_at, 0.0)},"events":[')
        # The events as text, written a batch at a time; "first" is whether
        # none was written yet (the next one has no comma before it).
        pieces: list[str] = []
        first = True
        # open calls: (frame, end time in µs)
        open_calls: list[tuple[int, float]] = []
        at = max(begin_at, 0.0)
        last_us = round((last - t0) * 1e6, 3)
        for depth, current, index in walk:
            folded = None
            kind = current.kind[index]
            if kind == NODE_PLUGIN:
                folded = current.record(current.open_rec[index])
                if not (isinstance(folded, dict) and folded.get("type") == FOLDED_TYPE):
                    continue
            elif kind != NODE_CALL:
                continue
            while len(open_calls) > depth:
                frame, end = open_calls.pop()
                if end > at:
                    at = end
                pieces.append(f'{"" if first else ","}{{"type":"C","frame":{frame},"at":{at}}}')
                first = False
            if folded is not None:
                # The folded calls as one block, from the start of the first
                # to the end of the last, within the caller.
                begin = plausible_time(folded.get("first_timestamp"))
                final = plausible_time(folded.get("last_timestamp"))
                if begin is None or final is None or final < begin:
                    continue
                parent_end = open_calls[-1][1] if open_calls else math.inf
                end_us = min(max(round((final - t0) * 1e6, 3), at), parent_end)
                start_us = min(max(at, round((begin - t0) * 1e6, 3)), end_us)
                key = (folded_text(folded), str(folded.get("qualname") or "?"))
                frame = frames.setdefault(key, len(frames))
                pieces.append(f'{"" if first else ","}{{"type":"O","frame":{frame},"at":{start_us}}}')
                pieces.append(f',{{"type":"C","frame":{frame},"at":{end_us}}}')
                first = False
                at = end_us
                continue
            start, end = current.start[index], current.end[index]
            parent_end = open_calls[-1][1] if open_calls else math.inf
            start_us = at if start != start else max(at, round((start - t0) * 1e6, 3))
            end_us = last_us if end != end else round((end - t0) * 1e6, 3)
            end_us = min(max(end_us, start_us), parent_end)
            start_us = min(start_us, end_us)
            info = current.node_name(index)
            key = (info.label, info.qualname) if info is not None else ("?", "?")
            frame = frames.setdefault(key, len(frames))
            at = start_us
            pieces.append(f'{"" if first else ","}{{"type":"O","frame":{frame},"at":{at}}}')
            first = False
            open_calls.append((frame, end_us))
            calls += 1
            if len(pieces) >= _BATCH:
                out.write("".join(pieces))
                events += len(pieces)
                pieces.clear()
                if progress is not None:
                    progress(events)
        while open_calls:
            frame, end = open_calls.pop()
            at = max(at, end)
            pieces.append(f'{"" if first else ","}{{"type":"C","frame":{frame},"at":{at}}}')
            first = False
        out.write("".join(pieces))
        out.write(f'],"endValue":{at}}}')
    shared = [{"name": label, "file": qualname} for label, qualname in frames]
    out.write('],"shared":{"frames":')
    out.write(json.dumps(shared, ensure_ascii=False, separators=(",", ":")))
    title = json.dumps(trace.name or trace.trace_id, ensure_ascii=False)
    out.write(f'}},"name":{title},"activeProfileIndex":0,"exporter":"vask {__version__}"}}')
    return calls
