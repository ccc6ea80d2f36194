"""Bounds on what is stored: a cap per trace and a budget per session, and what they left out.

The trace cap bounds the bytes stored (compressed) for one trace, its
subtrees flushed apart counted with it.  The session budget bounds the bytes
a pytest session stores: past it, the traces of passing tests are no longer
stored; a document of a failing test (or one that errored) always is.

A document a bound refuses is replaced by a short one with the same head
(trace id, root, name, time, process) whose one record says what was left
out: a record of type "trace_not_stored" with the reason ("trace_cap" or
"session_budget"), the document's size and stored size, its calls, the
limit in bytes and the time.  The test's "end_test" record is kept with it,
so that its outcome stays stored.  Readers that do not know the record show
it as a note.

The bounds are the process's: set by every recorder as it starts
(:func:`configure`, from ``trace_cap_mb`` and ``session_budget_mb``), and
counted on the writer's thread; a pytest session starts the count afresh
(:func:`reset`) and says at its end what was left out (:func:`left_out`).
"""

from __future__ import annotations

import time
from dataclasses import dataclass
from typing import Any

import msgpack

from vask import _forksafe
from vask.document import HEAD_KEYS

__all__ = [
    "NOT_STORED_TYPE",
    "LeftOut",
    "admit",
    "configure",
    "forget",
    "left_out",
    "limits",
    "not_stored_document",
    "reset",
    "summary",
]

#: The "type" of the record a refused document is replaced with.
NOT_STORED_TYPE = "trace_not_stored"

# What a document that stands for a refused one keeps of it: its head, then
# the facts of the run that follow it.
_KEPT_KEYS = (*HEAD_KEYS, "meta", "command_line_args")


@dataclass(frozen=True)
class LeftOut:
    """One document a bound kept out of the database."""

    trace_id: str
    root_trace_id: str
    trace_name: str | None
    reason: str
    size: int
    stored_size: int
    calls: int
    limit: int


class _Bounds:
    def __init__(self) -> None:
        self.lock = _forksafe.lock()
        self.trace_cap: int | None = None
        self.session_budget: int | None = None
        self.stored_by_root: dict[str, int] = {}
        self.session_stored = 0
        self.left_out: list[LeftOut] = []


_bounds = _Bounds()


def _bytes_of(megabytes: Any) -> int | None:
    if megabytes is None or isinstance(megabytes, bool) or megabytes <= 0:
        return None
    return int(megabytes * (1 << 20))


def configure(trace_cap_mb: Any, session_budget_mb: Any) -> None:
    """Set the bounds in megabytes (``None``, ``False`` or 0: none); the counts stay."""
    with _bounds.lock:
        _bounds.trace_cap = _bytes_of(trace_cap_mb)
        _bounds.session_budget = _bytes_of(session_budget_mb)


def limits() -> tuple[int | None, int | None]:
    """(trace cap, session budget) in bytes, ``None`` where there is none."""
    with _bounds.lock:
        return _bounds.trace_cap, _bounds.session_budget


def reset() -> None:
    """Count afresh: nothing stored, nothing left out (a new pytest session)."""
    with _bounds.lock:
        _bounds.stored_by_root.clear()
        _bounds.session_stored = 0
        _bounds.left_out.clear()


def left_out() -> list[LeftOut]:
    """The documents left out since the last :func:`reset`, in the order refused."""
    with _bounds.lock:
        return list(_bounds.left_out)


def admit(
    trace_id: str,
    head: dict[str, Any],
    size: int,
    stored_size: int,
    calls: int,
    outcome: str | None,
) -> LeftOut | None:
    """Count a document of ``stored_size`` bytes to store; what it left out when a bound
    refuses it (the caller stores :func:`not_stored_document` instead)."""
    root = head.get("root_trace_id")
    root = root if isinstance(root, str) else trace_id
    name = head.get("trace_name")
    with _bounds.lock:
        reason = limit = None
        so_far = _bounds.stored_by_root.get(root, 0)
        if _bounds.trace_cap is not None and so_far + stored_size > _bounds.trace_cap:
            reason, limit = "trace_cap", _bounds.trace_cap
        elif (
            _bounds.session_budget is not None
            and _bounds.session_stored + stored_size > _bounds.session_budget
            and outcome not in ("failed", "error")
        ):
            reason, limit = "session_budget", _bounds.session_budget
        # A trace's own document is stored after its subtrees and trace
        # points: its count ends with it, so a long-running process (a web
        # server, one trace per request) keeps no count per trace it stored.
        last = root == trace_id
        if reason is None:
            if last:
                _bounds.stored_by_root.pop(root, None)
            else:
                _bounds.stored_by_root[root] = so_far + stored_size
            _bounds.session_stored += stored_size
            return None
        if last:
            _bounds.stored_by_root.pop(root, None)
        elif _bounds.trace_cap is not None:
            # Whatever follows of this trace is refused too: its total is past the cap.
            _bounds.stored_by_root[root] = max(so_far, _bounds.trace_cap)
        refused = LeftOut(
            trace_id,
            root,
            name if isinstance(name, str) else None,
            reason,
            size,
            stored_size,
            calls,
            limit,
        )
        _bounds.left_out.append(refused)
        return refused


def forget(root_trace_id: str) -> None:
    """End the count of a trace that is not stored at all (its subtrees deleted with it)."""
    with _bounds.lock:
        _bounds.stored_by_root.pop(root_trace_id, None)


def not_stored_document(head: dict[str, Any], refused: LeftOut, end_test: Any) -> bytes:
    """The document stored in place of a refused one: its head, the record of what was
    left out and the test's "end_test" record (``end_test``, when it had one)."""
    document = {key: head[key] for key in _KEPT_KEYS if key in head}
    document["trace_id"] = refused.trace_id
    thread = head.get("current_thread_id")
    thread = thread if isinstance(thread, str) else "main"
    record = {
        "type": NOT_STORED_TYPE,
        "frame_id": None,
        "reason": refused.reason,
        "size": refused.size,
        "stored_size": refused.stored_size,
        "calls": refused.calls,
        "limit": refused.limit,
        "timestamp": time.time(),
    }
    records: list[Any] = [record]
    if isinstance(end_test, dict):
        records.append(end_test)
    document["threads"] = {thread: {"name": thread, "frames": records}}
    document.setdefault("frames_of_interest", [])
    document.setdefault("frames", {})
    return msgpack.packb(document, use_bin_type=True)


def _mib(n: int) -> str:
    for unit, shift in (("GiB", 30), ("MiB", 20)):
        if n >= 1 << shift:
            return f"{n / (1 << shift):.4g} {unit}"
    return f"{n / 1024:.4g} KiB"


def summary(refused: list[LeftOut], what: str, cap_option: str, budget_option: str) -> str | None:
    """One line saying what the bounds left out (``None`` for nothing): how many traces
    (``what``: "test trace", "trace") over which bound, and the options that raise them."""
    if not refused:
        return None
    capped = {r.root_trace_id for r in refused if r.reason == "trace_cap"}
    budgeted = {r.root_trace_id for r in refused if r.reason == "session_budget"} - capped
    size = sum(r.size for r in refused)
    parts = []
    if capped:
        limit = next(r.limit for r in refused if r.reason == "trace_cap")
        parts.append(f"{len(capped)} over the cap of {_mib(limit)} per trace ({cap_option} MB)")
    if budgeted:
        limit = next(r.limit for r in refused if r.reason == "session_budget")
        parts.append(
            f"{len(budgeted)} of passing tests past the session budget of {_mib(limit)} "
            f"({budget_option} MB)"
        )
    count = len(capped | budgeted)
    return (
        f"{count} {what}{'s' if count != 1 else ''} not stored in full "
        f"({size / (1 << 20):.1f} MiB of records left out): {'; '.join(parts)}; "
        "each keeps a 'trace_not_stored' record, 'off' turns a bound off"
    )
