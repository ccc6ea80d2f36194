"""Trace documents made by hand, in the engines' own layout, for the reading side's tests.

``frame`` and ``document`` build small documents record by record (any of
the six frame events, plugin records, markers, assignments); ``big_document``
writes a large, regular trace quickly by splicing pre-encoded pieces, for the
viewer's browser tests and its benchmark.
"""

from __future__ import annotations

import struct
import time
from typing import Any

import msgpack

__all__ = [
    "big_document",
    "document",
    "frame",
    "frame_id",
    "marker",
    "plugin",
    "task_document",
]


def frame_id(n: int) -> str:
    return f"frm_{n:026d}"


def frame(
    event: str,
    n: int,
    ts: float,
    name: str = "f",
    *,
    arg: Any = None,
    exception: Any = None,
    locals: dict[str, Any] | None = None,  # noqa: A002 - the record's key
    line: int | None = None,
    module: str = "app",
    site: tuple[int, int] | None = None,
) -> dict[str, Any]:
    """A frame record as the engines write it (keys in their order)."""
    record: dict[str, Any] = {
        "path": f"{module.replace('.', '/')}.py:{n if line is None else line}",
        "co_name": name,
        "qualname": f"{module}.{name}",
        "event": event,
        "frame_id": frame_id(n),
    }
    if event in ("unwind", "throw"):
        record["exception"] = exception
    else:
        record["arg"] = arg
    record["locals"] = locals if locals is not None else {}
    record["timestamp"] = float(ts)
    record["type"] = "frame"
    record["user_code_call_site"] = (
        None if site is None else {"call_frame_id": frame_id(site[0]), "line_number": site[1]}
    )
    return record


def assignment(n: int | None, ts: float, name: str, value: Any, fn: str = "f") -> dict[str, Any]:
    """An assignment record of the monitoring engine (``n``: the frame's number, if known)."""
    return {
        "path": f"app.py:{int(ts * 10) % 1000}",
        "co_name": fn,
        "qualname": f"app.{fn}",
        "event": "line",
        "frame_id": None if n is None else frame_id(n),
        "timestamp": float(ts),
        "type": "frame",
        "assign": msgpack.ExtType(6, msgpack.packb([name, value])),
    }


def plugin(kind: str, ts: float, **extra: Any) -> dict[str, Any]:
    return {
        "frame_id": "frm_plugin",
        "timestamp": ts,
        "user_code_call_site": None,
        "type": kind,
        **extra,
    }


def marker(target: str, ts: float, name: str = "f", calls: int = 1) -> dict[str, Any]:
    return {
        "type": "subtree_flushed",
        "frame_id": "frm_marker",
        "co_name": name,
        "flushed_trace_id": target,
        "flushed_bytes": 5000,
        "flushed_segment_count": calls,
        "timestamp": ts,
    }


def document(
    trace_id: str,
    threads: dict[str, list[dict[str, Any]]],
    *,
    name: str | None = None,
    root: str | None = None,
    timestamp: float = 100.0,
    source: str = "cli",
    thread_names: dict[str, str] | None = None,
    version: str = "test",
    trace_point: dict[str, Any] | None = None,
) -> bytes:
    """A trace document holding ``threads`` (thread key -> records).

    ``version`` is the vask version it says wrote it: before 0.2 values were
    stored without marks (a repr as a plain string).  ``trace_point`` makes it
    a trace point (its "meta" entry).
    """
    names = thread_names or {}
    meta: dict[str, Any] = {"version": version, "source": source}
    if trace_point is not None:
        meta["trace_point"] = trace_point
    meta.update(environment={}, config={})
    doc = {
        "trace_id": trace_id,
        "trace_name": name,
        "current_thread_id": next(iter(threads), "native_1"),
        "timestamp": timestamp,
        "current_commit_sha": None,
        "root_trace_id": root or trace_id,
        "meta": meta,
        "command_line_args": ["app.py"],
        "threads": {
            key: {
                "name": names.get(key, "MainThread" if i == 0 else f"worker-{i}"),
                "ident": 1000 + i,
                "native_id": int(key.rpartition("_")[2])
                if key.rpartition("_")[2].isdigit()
                else None,
                "daemon": False,
                "is_alive": False,
                "frames": records,
            }
            for i, (key, records) in enumerate(threads.items())
        },
        "frames_of_interest": [],
        "frames": {},
    }
    return msgpack.packb(doc)


def _pack(value: Any) -> bytes:
    return msgpack.packb(value)


def big_document(
    trace_id: str,
    calls: int,
    *,
    batch: int = 1000,
    needle_at: int | None = None,
    start: float | None = None,
) -> bytes:
    """A one-thread trace of ``calls`` calls: main -> process_batch x N -> compute x ``batch``.

    Every ``compute(batch=b, item='item-b-i', values=[...])`` returns ``i * 2``;
    the call numbered ``needle_at`` (when given) returns the text
    ``"needle-in-the-haystack"``.  Written by splicing pre-encoded pieces:
    about a second per 400,000 calls.
    """
    pack = _pack
    keys = {
        k: pack(k) for k in ("path", "co_name", "qualname", "event", "frame_id", "arg", "locals")
    }
    tail_type = pack("type") + pack("frame") + pack("user_code_call_site") + b"\xc0"
    ts_key = b"\xa9timestamp\xcb"
    f64 = struct.Struct(">d").pack

    def head(path: str, co: str, qual: str, event: str) -> bytes:
        return (
            b"\x8a"
            + keys["path"]
            + pack(path)
            + keys["co_name"]
            + pack(co)
            + keys["qualname"]
            + pack(qual)
            + keys["event"]
            + pack(event)
            + keys["frame_id"]
        )

    heads = {
        ("main", "call"): head("app/main.py:10", "main", "app.main.main", "call"),
        ("main", "return"): head("app/main.py:14", "main", "app.main.main", "return"),
        ("batch", "call"): head(
            "app/work.py:20", "process_batch", "app.work.process_batch", "call"
        ),
        ("batch", "return"): head(
            "app/work.py:25", "process_batch", "app.work.process_batch", "return"
        ),
        ("compute", "call"): head("app/work.py:5", "compute", "app.work.compute", "call"),
        ("compute", "return"): head("app/work.py:8", "compute", "app.work.compute", "return"),
    }
    records: list[bytes] = []
    counter = 0
    start = time.time() - 60 if start is None else start
    t = start

    def fid() -> bytes:
        nonlocal counter
        counter += 1
        return pack(frame_id(counter))

    def rec(kind: str, event: str, ident: bytes, arg: bytes, local_vars: bytes) -> None:
        nonlocal t
        t += 1e-6
        records.append(
            heads[(kind, event)]
            + ident
            + keys["arg"]
            + arg
            + keys["locals"]
            + local_vars
            + ts_key
            + f64(t)
            + tail_type
        )

    main_id = fid()
    rec("main", "call", main_id, b"\xc0", pack({"argv": ["app.py", "--fast"]}))
    done = 1
    b = 0
    while done < calls:
        batch_id = fid()
        batch_locals = pack({"batch": b, "size": batch})
        rec("batch", "call", batch_id, b"\xc0", batch_locals)
        done += 1
        total = 0
        for i in range(min(batch, calls - done)):
            ident = fid()
            local_vars = {"batch": b, "item": f"item-{b}-{i}", "values": [i, i + 1, i + 2]}
            rec("compute", "call", ident, b"\xc0", pack(local_vars))
            result: Any = i * 2
            if needle_at is not None and done == needle_at:
                result = "needle-in-the-haystack"
            local_vars["result"] = result
            rec("compute", "return", ident, pack(result), pack(local_vars))
            total += i * 2
            done += 1
        rec("batch", "return", batch_id, pack(total), batch_locals)
        b += 1
    rec("main", "return", main_id, pack(0), pack({"argv": ["app.py", "--fast"], "batches": b}))

    body = b"".join(records)
    records.clear()
    head_map = {
        "trace_id": trace_id,
        "trace_name": f"big trace of {calls:,} calls",
        "current_thread_id": "native_1",
        "timestamp": start,
        "current_commit_sha": None,
        "root_trace_id": trace_id,
        "meta": {"version": "test", "source": "cli", "environment": {}, "config": {}},
        "command_line_args": ["app.py", "--fast"],
    }
    out = bytearray(b"\x8b")
    for key, value in head_map.items():
        out += pack(key) + pack(value)
    out += pack("threads") + b"\x81" + pack("native_1")
    out += b"\x86" + pack("name") + pack("MainThread") + pack("ident") + pack(1) + pack("native_id")
    out += pack(1) + pack("daemon") + b"\xc2" + pack("is_alive") + b"\xc2" + pack("frames")
    count = 2 * counter
    out += b"\xdd" + struct.pack(">I", count) + body
    out += pack("frames_of_interest") + b"\x90" + pack("frames") + b"\x80"
    return bytes(out)


def _frame_bytes(
    path: str, co: str, event: str, ident: str, arg: Any, local_vars: Any
) -> tuple[bytes, bytes]:
    """A frame record in the engines' layout, cut where its timestamp goes."""
    pack = _pack
    head = b"\x8a" + b"".join(
        pack(k) + pack(v)
        for k, v in (
            ("path", path),
            ("co_name", co),
            ("qualname", co),
            ("event", event),
            ("frame_id", ident),
            ("arg", arg),
            ("locals", local_vars),
        )
    )
    return head + b"\xa9timestamp\xcb", pack("type") + pack("frame") + pack(
        "user_code_call_site"
    ) + b"\xc0"


def _head(trace_id: str, root: str, start: float, name: str, records: int) -> bytes:
    pack = _pack
    head_map = {
        "trace_id": trace_id,
        "trace_name": name,
        "current_thread_id": "native_1",
        "timestamp": start,
        "current_commit_sha": None,
        "root_trace_id": root,
        "meta": {"version": "test", "source": "cli", "environment": {}, "config": {}},
        "command_line_args": ["app.py", "--fast"],
    }
    out = bytearray(b"\x8b")
    for key, value in head_map.items():
        out += pack(key) + pack(value)
    out += pack("threads") + b"\x81" + pack("native_1")
    out += b"\x86" + pack("name") + pack("MainThread") + pack("ident") + pack(1) + pack("native_id")
    out += pack(1) + pack("daemon") + b"\xc2" + pack("is_alive") + b"\xc2" + pack("frames")
    out += b"\xdd" + struct.pack(">I", records)
    return bytes(out)


_TAIL = _pack("frames_of_interest") + b"\x90" + _pack("frames") + b"\x80"


def flushed_big_documents(
    trace_id: str, batches: int, batch: int, flushed: set[int], *, start: float, step: float = 1e-6
) -> dict[str, bytes]:
    """A large trace whose batches in ``flushed`` were stored apart, as the engines flush subtrees.

    ``main`` calls ``process_batch`` ``batches`` times, each calling
    ``compute`` ``batch`` times (calls ``step`` seconds apart).  A flushed
    batch is a trace of its own (``{trace_id}_sub{b}``) and a
    "subtree_flushed" marker in its place.  Returns trace id -> document;
    quick: identical records are spliced, only the times differ.
    """
    f64 = struct.Struct(">d").pack
    c_call = _frame_bytes("app/work.py:5", "compute", "call", frame_id(3), None, {"x": 1})
    c_ret = _frame_bytes("app/work.py:8", "compute", "return", frame_id(3), 2, {"x": 1})
    b_call = _frame_bytes(
        "app/work.py:20", "process_batch", "call", frame_id(2), None, {"n": batch}
    )
    b_ret = _frame_bytes("app/work.py:25", "process_batch", "return", frame_id(2), 0, {"n": batch})
    m_call = _frame_bytes("app/main.py:10", "main", "call", frame_id(1), None, {})
    m_ret = _frame_bytes("app/main.py:14", "main", "return", frame_id(1), 0, {})
    docs: dict[str, bytes] = {}
    t = start

    def batch_records() -> list[bytes]:
        nonlocal t
        out = [b_call[0] + f64(t) + b_call[1]]
        c0, c1, r0, r1 = c_call[0], c_call[1], c_ret[0], c_ret[1]
        for i in range(batch):
            ts = t + (i + 1) * step
            out.append(c0 + f64(ts) + c1)
            out.append(r0 + f64(ts + step * 0.5) + r1)
        t += (batch + 1) * step
        out.append(b_ret[0] + f64(t) + b_ret[1])
        t += step
        return out

    main = [m_call[0] + f64(t) + m_call[1]]
    t += step
    for b in range(batches):
        records = batch_records()
        if b not in flushed:
            main.extend(records)
            continue
        sub = f"{trace_id}_sub{b}"
        docs[sub] = (
            _head(sub, trace_id, start, f"subtree {b}", len(records)) + b"".join(records) + _TAIL
        )
        main.append(_pack(marker(sub, t, "process_batch", batch + 1)))
    main.append(m_ret[0] + f64(t) + m_ret[1])
    docs[trace_id] = (
        _head(
            trace_id,
            trace_id,
            start,
            f"flushed trace of {batches * (batch + 1) + 1:,} calls",
            len(main),
        )
        + b"".join(main)
        + _TAIL
    )
    return dict(sorted(docs.items(), key=lambda kv: kv[0] != trace_id))


def task_document(
    trace_id: str, tasks: int, *, steps: int = 2, leaves: int = 8, start: float | None = None
) -> bytes:
    """A one-thread asyncio trace as the monitor engine records it: ``main`` (task 1)
    gathers ``tasks`` tasks of ``work(i)``; each runs ``steps`` steps (its first start,
    then resumes), the steps of all tasks taking turns, and each step calls ``leaf``
    ``leaves`` times.  About ``tasks * steps * (leaves + 1)`` calls; quick: the
    records are spliced from pre-encoded pieces, only ids, times and numbers differ.

    Task ``t`` (2 .. tasks + 1) is named ``Task-t`` and created in ``main``'s
    first step; ``main`` resumes once every task is done.
    """
    pack = _pack
    f64 = struct.Struct(">d").pack
    t = start = time.time() - 60 if start is None else start
    out: list[bytes] = []

    def tick() -> bytes:
        nonlocal t
        t += 1e-6
        return f64(t)

    def framed(path: str, co: str, event: str, n: int, arg: Any, local_vars: Any) -> None:
        head, tail = _frame_bytes(path, co, event, frame_id(n), arg, local_vars)
        out.append(head + tick() + tail)

    def record(kind: str, **extra: Any) -> None:
        out.append(pack(plugin(kind, t, subtype="asyncio", **extra)))
        tick()

    # pre-encoded leaf call and return, cut where the frame id and the time go
    leaf_call = _frame_bytes("app/tasks.py:5", "leaf", "call", frame_id(0), None, {"i": 1})
    leaf_ret = _frame_bytes("app/tasks.py:6", "leaf", "return", frame_id(0), 2, {"i": 1})
    fid0 = pack(frame_id(0))

    call_head, call_tail = leaf_call[0].split(fid0)
    ret_head, ret_tail = leaf_ret[0].split(fid0)

    def leaf_calls(base: int) -> None:
        nonlocal t
        for k in range(leaves):
            ident = pack(frame_id(base + k))
            t += 2e-6
            out.append(call_head + ident + call_tail + f64(t - 1e-6) + leaf_call[1])
            out.append(ret_head + ident + ret_tail + f64(t) + leaf_ret[1])

    framed("app/tasks.py:20", "<module>", "call", 1, None, {})
    record(
        "asyncio_task_created", task_id=1, task_name="Task-1", coroutine="main", parent_task_id=None
    )
    record("asyncio_step", task_id=1, task_name="Task-1", coroutine="main")
    framed("app/tasks.py:12", "main", "call", 2, None, {})
    ids = list(range(2, tasks + 2))
    for task in ids:
        record(
            "asyncio_task_created",
            task_id=task,
            task_name=f"Task-{task}",
            coroutine="work",
            parent_task_id=1,
        )
    framed("app/tasks.py:13", "main", "yield", 2, None, {})
    record("asyncio_step_end", task_id=1, done=False, waiting_on={"tasks": ids, "future": "gather"})
    serial = 10
    for step in range(steps):
        last = step == steps - 1
        for task in ids:
            n = serial
            serial += leaves + 1
            record("asyncio_step", task_id=task, task_name=f"Task-{task}", coroutine="work")
            # a resume's record names the line the frame yielded at, as the engines write it
            where = "app/tasks.py:8" if step == 0 else "app/tasks.py:9"
            framed(where, "work", "call" if step == 0 else "resume", n, None, {"i": task})
            leaf_calls(n + 1)
            framed("app/tasks.py:9", "work", "return" if last else "yield", n, task, {"i": task})
            end: dict[str, Any] = {"done": last}
            if not last:
                end["waiting_on"] = {"future": "Future"}
            record("asyncio_step_end", task_id=task, **end)
    record("asyncio_step", task_id=1, task_name="Task-1", coroutine="main")
    framed("app/tasks.py:13", "main", "resume", 3, None, {})
    framed("app/tasks.py:13", "main", "return", 3, None, {})
    record("asyncio_step_end", task_id=1, done=True)
    framed("app/tasks.py:21", "<module>", "return", 1, None, {})
    name = f"asyncio trace of {tasks:,} tasks"
    return _head(trace_id, trace_id, start, name, len(out)) + b"".join(out) + _TAIL
