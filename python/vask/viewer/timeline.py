"""The flame chart's answer: the bars of a window of a thread's timeline at a given resolution.

For a window [lo, hi] drawn ``width`` pixels wide (a pixel lasting
``pixel`` seconds), the answer holds, level by level from the top:

- a bar for every call that lasts at least a pixel and overlaps the window;
- for the calls narrower than a pixel, one merged bar per parent and pixel
  (the pixels counted from ``lo``): the calls of one parent that begin in one
  pixel, with everything they called;
- a block for each fold record ("folded": the calls a parent made that were
  counted, not recorded) overlapping the window, labelled with its count;
- a flushed subtree (stored as a trace of its own) in place of its marker:
  its calls, loaded through ``subtrees``, drawn as the marker's parent's
  children; a placeholder bar while it loads or when it is not needed.

Levels are added whole while the bars stay within ``cap``: the answer goes
down to the depth that fits, and says so (``depth``, ``complete``).

The work grows with the bars, not with the calls: nodes are numbered in
pre-order, so a parent's subtree is a run of node numbers and its start times
grow with them; the first child in the window, and the end of a pixel's
calls, are found by bisection.
"""

from __future__ import annotations

import bisect
import math
from collections.abc import Callable
from typing import Any

from vask.traceindex import NODE_CALL, NODE_FLUSHED, NODE_PLUGIN, ThreadIndex, TraceIndex

__all__ = ["DEFAULT_CAP", "SubtreeLookup", "timeline_bars"]

#: The most bars an answer holds.
DEFAULT_CAP = 40_000
#: A flushed subtree is loaded when the gap its marker stands in spans this many pixels.
STITCH_PIXELS = 4
#: How many plugin records at a parent's end are looked at for fold records.
_FOLD_REACH = 64
#: How far left a start time is looked for when a node has none.
_KEY_REACH = 64

#: ``lookup(trace_id)``: the flushed trace's index, or None; and whether it is still loading.
SubtreeLookup = Callable[[str], tuple[TraceIndex | None, bool]]


class _Answer:
    def __init__(
        self,
        trace: TraceIndex,
        lo: float,
        hi: float,
        pixel: float,
        t0: float,
        subtrees: SubtreeLookup | None,
    ) -> None:
        self.trace = trace
        self.lo, self.hi, self.pixel, self.t0 = lo, hi, pixel, t0
        self.lookup = subtrees
        self.names: dict[str, str] = {}
        self.labels = {info.label: i for i, info in enumerate(trace.names)}
        self.subtrees: list[dict[str, Any]] = []
        self.sub_numbers: dict[tuple[str, str], int] = {}
        self.loading: list[str] = []
        self.loaded: dict[str, TraceIndex | None] = {}

    def name(self, thread: ThreadIndex, node: int) -> int:
        """The answer's number of a node's function (the main trace's own where it has it)."""
        name = thread.name_id[node]
        if name < 0:
            return -1
        label = thread.trace.names[name].label
        if thread.trace is not self.trace:
            number = self.labels.get(label)
            if number is None:
                number = self.labels[label] = len(self.trace.names) + len(self.labels)
            name = number
        self.names.setdefault(str(name), label)
        return name

    def subtree(self, trace_id: str) -> TraceIndex | None:
        if trace_id in self.loaded:
            return self.loaded[trace_id]
        index, loading = (None, False) if self.lookup is None else self.lookup(trace_id)
        self.loaded[trace_id] = index
        if loading:
            self.loading.append(trace_id)
        return index

    def sub_number(self, thread: ThreadIndex) -> int:
        key = (thread.trace.trace_id, thread.key)
        number = self.sub_numbers.get(key)
        if number is None:
            number = self.sub_numbers[key] = len(self.subtrees)
            self.subtrees.append({"trace": key[0], "thread": key[1]})
        return number


def _subtree_end(thread: ThreadIndex, node: int) -> int:
    """The first node number after ``node``'s subtree (nodes are numbered in pre-order)."""
    while node > 0:
        after = thread.next_sibling[node]
        if after >= 0:
            return after
        node = thread.parent[node]
    return thread.nodes


def _child_holding(thread: ThreadIndex, node: int, parent: int) -> int:
    """The child of ``parent`` whose subtree holds ``node`` (-1 when none does)."""
    while node > 0:
        up = thread.parent[node]
        if up == parent:
            return node
        node = up
    return -1


def _ordered_start(thread: ThreadIndex, node: int) -> float:
    """A start time that never decreases along the node numbers.

    A node with no time, and a flushed marker (timed when the subtree was
    stored, not when it ran), take the start of the node before them.
    """
    starts, kinds = thread.start, thread.kind
    for _ in range(_KEY_REACH):
        if node <= 0:
            break
        ts = starts[node]
        if not math.isnan(ts) and kinds[node] != NODE_FLUSHED:
            return ts
        node -= 1
    return -math.inf


def _first_at(thread: ThreadIndex, first: int, stop: int, t: float) -> int:
    """The first node in [first, stop) that begins at ``t`` or later (``stop`` when none).

    Bisection over the start times themselves, checked against the ordered
    ones at the place found (where they agree the answer is the same); over
    the ordered ones when an untimed node or a marker misled it.
    """
    at = bisect.bisect_left(thread.start, t, first, stop)
    if (at == first or _ordered_start(thread, at - 1) < t) and (
        at == stop or _ordered_start(thread, at) >= t
    ):
        return at

    def key(node: int) -> float:
        return _ordered_start(thread, node)

    return bisect.bisect_left(range(first, stop), t, key=key) + first


class _Level:
    """The bars of one level: the children of some parents, at one depth."""

    def __init__(self, answer: _Answer, depth: int, limit: int) -> None:
        self.answer = answer
        self.depth = depth
        self.limit = limit
        self.bars: list[list[Any]] = []
        self.parents: list[tuple[ThreadIndex, int]] = []

    @property
    def full(self) -> bool:
        return len(self.bars) > self.limit

    def bar(
        self,
        thread: ThreadIndex,
        node: int,
        s: float,
        e: float,
        name: int,
        merged: int,
        extra: dict[str, Any] | None = None,
    ) -> None:
        t0 = self.answer.t0
        item: list[Any] = [node, self.depth, s - t0, e - t0, name, merged]
        if thread.trace is not self.answer.trace:
            extra = dict(extra or {}, sub=self.answer.sub_number(thread))
        if extra:
            item.append(extra)
        self.bars.append(item)

    # -- spans -------------------------------------------------------------

    def span(
        self,
        thread: ThreadIndex,
        node: int,
        parent_span: tuple[float, float],
        prev_end: float | None,
    ) -> tuple[float, float]:
        """When a node ran: a call's times, unknown ones taken from its neighbours."""
        s, e = thread.start[node], thread.end[node]
        if math.isnan(s):
            s = prev_end if prev_end is not None else parent_span[0]
        if math.isnan(e):
            after = thread.next_sibling[node]
            e = _ordered_start(thread, after) if after >= 0 else parent_span[1]
            e = max(e, s)
        return s, e

    def gap(
        self,
        thread: ThreadIndex,
        node: int,
        parent: int,
        parent_span: tuple[float, float],
        prev_end: float | None,
    ) -> tuple[float, float]:
        """Where a flushed subtree ran: after its marker's previous sibling, before the next.

        The marker is timed when the subtree was stored, after it ended: that
        bounds the end too (and stands for the end of a marker before it).
        """
        own = thread.start[node]
        if prev_end is None:
            prev = _child_holding(thread, node - 1, parent) if node - 1 > parent else -1
            prev_end = parent_span[0]
            if prev > 0:
                if thread.kind[prev] == NODE_FLUSHED:
                    pe = thread.start[prev]
                elif thread.kind[prev] == NODE_CALL:
                    pe = thread.end[prev]
                else:
                    pe = _ordered_start(thread, prev)
                if not math.isnan(pe) and pe >= prev_end:
                    prev_end = pe
        after = thread.next_sibling[node]
        end = parent_span[1]
        if (
            after >= 0
            and thread.kind[after] == NODE_CALL
            and thread.start[after] == thread.start[after]
        ):
            end = thread.start[after]
        if not math.isnan(own) and own < end:
            end = own
        if math.isnan(end) or end < prev_end:
            end = prev_end
        return prev_end, end

    # -- the children of one parent ----------------------------------------

    def children(self, thread: ThreadIndex, parent: int, parent_span: tuple[float, float]) -> None:
        """Bars for the children of ``parent``; wide calls become the next level's parents."""
        answer = self.answer
        lo, hi, pixel = answer.lo, answer.hi, answer.pixel
        first_child, next_sibling, kinds = thread.first_child, thread.next_sibling, thread.kind
        child = first_child[parent]
        if child < 0:
            return
        # A call that began before tracing adopts the calls before it: its
        # children come before it in the numbering, and are walked one by one.
        ordered = child > parent
        stop = _subtree_end(thread, parent) if ordered else thread.nodes
        if ordered:
            before = _first_at(thread, child, stop, lo) - 1
            if before > child:
                holder = _child_holding(thread, before, parent)
                if holder > 0:
                    child = holder
            # a marker's or an untimed node's start is only a bound: the
            # siblings before it may still run at ``lo``
            for _ in range(_KEY_REACH):
                prev = _child_holding(thread, child - 1, parent) if child - 1 > parent else -1
                if prev <= 0:
                    break
                pe = thread.end[prev]
                if thread.kind[prev] == NODE_CALL and not math.isnan(pe) and pe < lo:
                    break
                child = prev
        prev_end: float | None = None
        if child != first_child[parent] and ordered:
            prev = _child_holding(thread, child - 1, parent)
            if prev > 0 and thread.end[prev] == thread.end[prev]:
                prev_end = thread.end[prev]
        while child >= 0 and not self.full:
            kind = kinds[child]
            if kind == NODE_PLUGIN:
                child = next_sibling[child]
                continue
            if kind == NODE_FLUSHED:
                s, e = self.gap(thread, child, parent, parent_span, prev_end)
                stitched = self.flushed(thread, child, s, e)
                if stitched is not None:
                    s, e = stitched
            else:
                s, e = self.span(thread, child, parent_span, prev_end)
            if s > hi:
                break
            if e < lo:
                prev_end = e
                child = next_sibling[child]
                continue
            if e - s >= pixel:
                if kind == NODE_FLUSHED:
                    self.draw_flushed(thread, child, s, e)
                else:
                    self.bar(thread, child, s, e, answer.name(thread, child), 0)
                    if first_child[child] >= 0:
                        self.parents.append((thread, child))
                prev_end = e
                child = next_sibling[child]
                continue
            child, prev_end = self.merge(thread, parent, child, s, stop, ordered, parent_span)
        if ordered and not self.full:
            self.folds(thread, parent, stop)

    def merge(
        self,
        thread: ThreadIndex,
        parent: int,
        child: int,
        s: float,
        stop: int,
        ordered: bool,
        parent_span: tuple[float, float],
    ) -> tuple[int, float]:
        """One bar for the narrow calls of ``parent`` that begin in the pixel ``child`` begins in.

        Of the children that begin in one pixel only the last can outlast it
        (they follow one another): a wide one ends the merged run and is
        drawn on its own.  Returns the next child to look at and the run's end.
        """
        answer = self.answer
        pixel = answer.pixel
        k = math.floor((s - answer.lo) / pixel)
        boundary = answer.lo + (k + 1) * pixel
        next_sibling = thread.next_sibling
        if ordered:
            # the last child that begins in the pixel
            after = _first_at(thread, child + 1, stop, boundary)
            cand = _child_holding(thread, after, parent) if after < stop else -1
            if cand < 0 or cand == after:
                cand = _child_holding(thread, after - 1, parent)
            last, nxt = cand, next_sibling[cand]
            if cand != child and thread.kind[cand] != NODE_PLUGIN:
                cs, ce = self.span_of(thread, cand, parent, parent_span)
                if ce - cs >= pixel:  # it is drawn on its own
                    last, nxt = _child_holding(thread, cand - 1, parent), cand
            count = (nxt if nxt >= 0 else stop) - child
        else:
            last, nxt, count = child, next_sibling[child], 0
            while True:
                count += 1 + thread.calls_below[last]
                if nxt < 0:
                    break
                ns, ne = self.span_of(thread, nxt, parent, parent_span)
                if ns >= boundary or ne - ns >= pixel:
                    break
                last, nxt = nxt, next_sibling[nxt]
        _, e = self.span_of(thread, last, parent, parent_span)
        e = max(e, s)
        self.bar(thread, child, s, e, -1, count)
        return nxt, e

    def span_of(
        self, thread: ThreadIndex, node: int, parent: int, parent_span: tuple[float, float]
    ) -> tuple[float, float]:
        if thread.kind[node] == NODE_FLUSHED:
            s, e = self.gap(thread, node, parent, parent_span, None)
            stitched = self.flushed(thread, node, s, e)
            return stitched if stitched is not None else (s, e)
        if thread.kind[node] != NODE_CALL:
            ts = _ordered_start(thread, node)
            return ts, ts
        return self.span(thread, node, parent_span, None)

    # -- flushed subtrees and folds ----------------------------------------

    def flushed(
        self, thread: ThreadIndex, node: int, s: float, e: float
    ) -> tuple[float, float] | None:
        """The span of the flushed subtree behind a marker, once loaded (None: not loaded)."""
        answer = self.answer
        if e - s < STITCH_PIXELS * answer.pixel or e < answer.lo or s > answer.hi:
            return None
        record = thread.record(thread.open_rec[node])
        target = record.get("flushed_trace_id") if isinstance(record, dict) else None
        if not isinstance(target, str):
            return None
        index = answer.subtree(target)
        return _stitched_span(_subtree_thread(index, thread.key))

    def draw_flushed(self, thread: ThreadIndex, node: int, s: float, e: float) -> None:
        answer = self.answer
        record = thread.record(thread.open_rec[node])
        target = record.get("flushed_trace_id") if isinstance(record, dict) else None
        index = answer.loaded.get(target) if isinstance(target, str) else None
        sub = _subtree_thread(index, thread.key)
        if sub is not None:
            # the subtree's top-level calls stand where the marker stands
            self.children(sub, 0, (s, e))
            return
        calls = record.get("flushed_segment_count") if isinstance(record, dict) else None
        self.bar(
            thread,
            node,
            s,
            e,
            -1,
            0,
            {
                "flushed": target,
                "calls": calls if isinstance(calls, int) else None,
                "loading": target in answer.loading,
                "label": record.get("co_name") if isinstance(record, dict) else None,
            },
        )

    def folds(self, thread: ThreadIndex, parent: int, stop: int) -> None:
        """A block for each fold record of ``parent`` (written as its last children)."""
        answer = self.answer
        node = stop - 1
        for _ in range(_FOLD_REACH):
            if node <= parent or thread.parent[node] != parent or thread.kind[node] != NODE_PLUGIN:
                return
            record = thread.record(thread.open_rec[node])
            if isinstance(record, dict) and record.get("type") == "folded":
                s, e = _fold_span(record)
                if s is not None and e >= answer.lo and s <= answer.hi:
                    from vask.render import folded_text

                    count = record.get("count")
                    self.bar(
                        thread,
                        node,
                        s,
                        e,
                        -1,
                        0,
                        {
                            "folded": count if isinstance(count, int) else None,
                            "label": folded_text(record),
                        },
                    )
            node -= 1


def _fold_span(record: dict[str, Any]) -> tuple[float | None, float]:
    first, last = record.get("first_timestamp"), record.get("last_timestamp")
    if not isinstance(first, (int, float)) or not isinstance(last, (int, float)):
        return None, 0.0
    high = record.get("max_duration")
    end = last + (high if isinstance(high, (int, float)) and not math.isnan(high) else 0.0)
    if math.isnan(first) or math.isnan(end):
        return None, 0.0
    return float(first), float(max(end, first))


def _stitched_span(sub: ThreadIndex | None) -> tuple[float, float] | None:
    """When a flushed subtree ran: from its first top-level call's start to their last end.

    (Not the thread's time span: a marker in the subtree is timed when its
    own subtree was stored, which may be after the subtree ended.)
    """
    if sub is None:
        return None
    lo = hi = math.nan
    for n, child in enumerate(sub.iter_children(0)):
        if n >= 10_000:
            return sub.time_span()
        if sub.kind[child] != NODE_CALL:
            continue
        s, e = sub.start[child], sub.end[child]
        if math.isnan(lo) and not math.isnan(s):
            lo = s
        if not math.isnan(e) and not e <= hi:
            hi = e
    if math.isnan(lo) or math.isnan(hi) or hi < lo:
        return None
    return lo, hi


def _subtree_thread(index: TraceIndex | None, key: str) -> ThreadIndex | None:
    if index is None or not index.threads:
        return None
    return index.threads.get(key) or next(iter(index.threads.values()))


def timeline_bars(
    trace: TraceIndex,
    thread: ThreadIndex,
    lo: float,
    hi: float,
    width: int,
    t0: float,
    subtrees: SubtreeLookup | None = None,
    cap: int = DEFAULT_CAP,
) -> dict[str, Any]:
    """The bars of ``thread`` in [lo, hi] (absolute times), ``width`` pixels wide.

    Each bar is ``[node, depth, start, end, name, merged]`` (times from
    ``t0``; ``merged``: how many nodes a merged bar stands for, 0 for one
    call), with a seventh entry for what is not a call of ``thread`` itself:
    ``{"sub": i}`` for a call of the flushed subtree ``subtrees[i]`` of the
    answer, ``{"folded": count, "label": text}`` for a fold record,
    ``{"flushed": trace_id, "loading": bool, ...}`` for a subtree not drawn.
    """
    pixel = (hi - lo) / width
    answer = _Answer(trace, lo, hi, pixel, t0, subtrees)
    first, last = thread.time_span()
    whole = (lo if math.isnan(first) else first, hi if math.isnan(last) else last)
    bars: list[list[Any]] = []
    parents: list[tuple[ThreadIndex, int]] = [(thread, 0)]
    depth = 0
    complete = True
    while parents:
        level = _Level(answer, depth, cap - len(bars))
        for owner, node in parents:
            span = whole if node == 0 else level.span(owner, node, whole, None)
            level.children(owner, node, span)
            if level.full:
                break
        if level.full:
            complete = False
            break
        bars.extend(level.bars)
        parents = level.parents
        depth += 1
    return {
        "bars": bars,
        "names": answer.names,
        "subtrees": answer.subtrees,
        "loading": answer.loading,
        "depth": depth,
        "complete": complete and not answer.loading,
    }
