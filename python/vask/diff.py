"""Two traces compared call by call.

Each side's threads are paired by name, and threads of one name by the order
they started in.  Within a pair of threads the call trees are aligned from the
top: the children of two matched calls are matched in order by what names a
call (kind, qualified name, file, call site), with a longest common
subsequence over the sibling lists, so that one call more or less on one side
does not shift everything after it; matched calls are then compared by their
values and their children aligned the same way.

Values are compared as the text the views show, with what differs on every
run masked: addresses (``0x7f...`` in default reprs, the address of an object
stored by its fields), frame and trace ids, pids.  Times, durations and ids of
the records themselves are never compared.  Flushed subtrees are read where
their markers stand, as the exports put them back.

A diff holds the differing calls only (with the path of calls leading to
each); the counts cover every call.  Memory stays bounded by the sibling lists
on the path being compared, not by the size of the traces.
"""

from __future__ import annotations

import bisect
import math
import re
import struct
from collections.abc import Callable, Iterable, Iterator
from dataclasses import dataclass, field
from difflib import SequenceMatcher
from typing import Any

import msgpack

from vask import _dump
from vask.calltree import body_kind
from vask.render import call_label, format_value
from vask.traceindex import (
    _FRAME_HEAD,
    _KEY_FRAME_ID,
    _KEY_TIMESTAMP,
    EVENT_NAMES,
    NODE_CALL,
    NODE_FLUSHED,
    NODE_PLUGIN,
    ThreadIndex,
    TraceIndex,
    _str_span,
)
from vask.values import ObjectRepr, StoredSet, ext_hook

__all__ = ["DEFAULT_MASKS", "CallDiff", "Change", "TraceDiff", "diff_traces", "merged_rows"]

#: Read a trace that a "subtree_flushed" marker names (``None`` when it cannot be).
Loader = Callable[[str], "TraceIndex | None"]

#: Patterns of what differs between two runs of the same program, and their stand-ins.
DEFAULT_MASKS: tuple[tuple[re.Pattern[str], str], ...] = (
    (re.compile(r"0x[0-9a-fA-F]+"), "0x…"),
    (re.compile(r"\bfrm_[0-9A-Za-z_-]+"), "frm_…"),
    (re.compile(r"\b(?:trace|trc)_[0-9A-Za-z_-]{6,}"), "trace_…"),
    (re.compile(r"\bpid([=: ]\s*)\d+"), r"pid\1…"),
    # a thread's ident in its repr: <Thread(worker, started 140388954273472)>
    (re.compile(r"\b((?:started|stopped|initial)(?: daemon)?) \d+"), r"\1 …"),
)

# The extension type of an object stored by its fields: [type name, address, fields].
_EXT_OBJECT = 7
_MAX_DEPTH = 64
# Sibling lists longer than this (after the common start and end are set
# aside) are matched by difflib's longest matching blocks instead of an exact
# longest common subsequence, which would cost their product in time.
_EXACT_LCS_CELLS = 1_000_000

Ref = tuple[ThreadIndex, int]

# Bytes of a trace read at a time while comparing.
_WINDOW = 256 * 1024
# Two calls whose subtrees are byte for byte the same (ids and times aside)
# match with everything below them, without a look at each call; subtrees
# larger than this are compared call by call.
_SUBTREE_BYTES = 8 << 20
# In stored records: a frame id (in "frame_id" or a call site's
# "call_frame_id") and a time ("timestamp", always a float 64).
_FRAME_IDS = re.compile(rb"frm_[0-9A-Za-z]{26}")
_TIMES = re.compile(rb"\xa9timestamp\xcb[\x00-\xff]{8}")


def _cut_ids_and_times_py(data: bytes) -> bytes:
    return _TIMES.sub(b"", _FRAME_IDS.sub(b"", data))


#: Stored records with their frame ids, then their times cut out.
_cut_ids_and_times: Callable[[bytes], bytes] = getattr(
    _dump, "_cut_ids_and_times", _cut_ids_and_times_py
)


@dataclass
class Change:
    """One value that differs between two matched calls."""

    #: "args", "locals" (at return), "return", "yield", "exception", "record"
    what: str
    #: the variable's name for args and locals, else ""
    name: str
    a: str | None
    b: str | None

    def to_json(self) -> dict[str, Any]:
        return {"what": self.what, "name": self.name, "a": self.a, "b": self.b}


@dataclass
class CallDiff:
    """A call that differs: "changed" (values), "added" (in B only) or "removed" (in A only)."""

    status: str
    thread: str
    label: str
    path: str | None
    #: labels of the calls leading to this one, outermost first
    parents: list[str]
    changes: list[Change] = field(default_factory=list)
    #: start time of the call on its side, relative to its trace's start
    at: float = 0.0
    #: order in which the walk reached it (program order within its thread)
    seq: int = 0
    #: calls inside an added or removed call
    calls_below: int = 0
    #: identities of the calls leading to this one (as ``parents``), and of this one
    parent_keys: list[str] = field(default_factory=list)
    key: str = ""

    def to_json(self) -> dict[str, Any]:
        return {
            "status": self.status,
            "thread": self.thread,
            "call": self.label,
            "path": self.path,
            "parents": self.parents,
            "changes": [c.to_json() for c in self.changes],
            "calls_below": self.calls_below,
        }


@dataclass
class TraceDiff:
    a: str
    b: str
    matched: int = 0
    changed: int = 0
    added: int = 0
    removed: int = 0
    diffs: list[CallDiff] = field(default_factory=list)
    #: thread names present on one side only: (name, "added" | "removed")
    threads: list[tuple[str, str]] = field(default_factory=list)

    @property
    def first(self) -> CallDiff | None:
        """The earliest divergence in program order."""
        if not self.diffs:
            return None
        firsts: dict[str, CallDiff] = {}
        for d in self.diffs:
            if d.thread not in firsts or d.seq < firsts[d.thread].seq:
                firsts[d.thread] = d
        return min(firsts.values(), key=lambda d: (d.at, d.seq))

    def to_json(self) -> dict[str, Any]:
        first = self.first
        return {
            "a": self.a,
            "b": self.b,
            "counts": {
                "matched": self.matched,
                "changed": self.changed,
                "added": self.added,
                "removed": self.removed,
            },
            "first_divergence": first.to_json() if first else None,
            "differences": [d.to_json() for d in self.diffs],
            "threads": [{"name": n, "status": s} for n, s in self.threads],
        }


class _Masker:
    def __init__(self, extra: Iterable[str]) -> None:
        self.rules = list(DEFAULT_MASKS) + [(re.compile(p), "…") for p in extra]

    def text(self, value: Any) -> str:
        out = format_value(_plain(value, 0))
        for pattern, repl in self.rules:
            out = pattern.sub(repl, out)
        return out


def _plain(value: Any, depth: int) -> Any:
    """``value`` with objects stored by their fields shown without their address."""
    if depth > _MAX_DEPTH:
        return value
    if isinstance(value, msgpack.ExtType) and value.code == _EXT_OBJECT:
        try:
            parts = msgpack.unpackb(value.data, raw=False, strict_map_key=False, ext_hook=ext_hook)
        except Exception:  # noqa: BLE001 - not the object form: compared as it stands
            return value
        if isinstance(parts, list) and len(parts) == 3 and isinstance(parts[2], dict):
            return _object_text(str(parts[0]), parts[2], depth)
        return value
    fields = getattr(value, "fields", None)
    if isinstance(fields, dict) and hasattr(value, "type_name") and hasattr(value, "address"):
        return _object_text(str(value.type_name), fields, depth)
    if isinstance(value, dict):
        return {k: _plain(v, depth + 1) for k, v in value.items()}
    if isinstance(value, list):
        return [_plain(v, depth + 1) for v in value]
    if isinstance(value, tuple):
        return tuple(_plain(v, depth + 1) for v in value)
    if isinstance(value, StoredSet):
        return StoredSet(tuple(_plain(v, depth + 1) for v in value.items), value.frozen)
    return value


# Fields of an object stored by its fields that name a thread or a process:
# new numbers on every run (a Thread's _ident and _native_id, a Popen's pid).
_IDENTITY_FIELDS = frozenset(
    ("ident", "native_id", "pid", "ppid", "_ident", "_native_id", "_pid", "_ppid")
)


def _field_text(name: Any, value: Any, depth: int) -> str:
    if name in _IDENTITY_FIELDS and isinstance(value, int) and not isinstance(value, bool):
        return f"{name}=…"
    return f"{name}={format_value(_plain(value, depth + 1))}"


def _object_text(type_name: str, fields: dict[Any, Any], depth: int) -> ObjectRepr:
    inner = ", ".join(_field_text(k, v, depth) for k, v in fields.items())
    return ObjectRepr(f"{type_name.rsplit('.', 1)[-1]}({inner})")


class _Side:
    """One trace being compared: its threads and the flushed subtrees read so far."""

    def __init__(self, trace: TraceIndex, load: Loader | None) -> None:
        self.trace = trace
        self.load = load
        self.seen: set[str] = set()
        self._window: tuple[TraceIndex, int, int, bytes] | None = None
        t0 = trace.timestamp
        if t0 is None:
            starts = [t.first_time() for t in trace.threads.values()]
            t0 = min((s for s in starts if not math.isnan(s)), default=0.0)
        self.t0 = t0

    def read(self, thread: ThreadIndex, rec: int) -> bytes | None:
        """Record ``rec`` as stored (``None`` when there is none, or it is of a
        document from before 0.2, whose values are read differently)."""
        if rec < 0:
            return None
        pos, end = thread.record_span(rec)
        trace = thread.trace
        if trace.legacy_form_at(pos) is not None:
            return None
        window = self._window
        if window is None or window[0] is not trace or not window[1] <= pos or end > window[2]:
            # Records are read in rising order mostly: read ahead, within the document.
            doc = bisect.bisect_right(trace._bases, pos) - 1
            stop = trace._bases[doc + 1] if doc + 1 < len(trace._bases) else trace.size
            stop = max(end, min(pos + _WINDOW, stop))
            window = self._window = (trace, pos, stop, trace.read(pos, stop - pos))
        return window[3][pos - window[1] : end - window[1]]

    def subtree(self, thread: ThreadIndex, node: int) -> bytes | None:
        """The records of a call and of everything below it as stored, with frame
        ids and times cut out; ``None`` when they are too large to compare at
        once or not in one document."""
        if thread.kind[node] != NODE_CALL or thread.open_rec[node] < 0:
            return None
        span = thread.records_between(node)
        first, last = thread.record_span(span.start), thread.record_span(span.stop - 1)
        size = last[1] - first[0]
        trace = thread.trace
        if size > _SUBTREE_BYTES or trace.legacy_form_at(first[0]) is not None:
            return None
        if bisect.bisect_right(trace._bases, first[0]) != bisect.bisect_right(
            trace._bases, last[1] - 1
        ):
            return None
        return _cut_ids_and_times(trace.read(first[0], size))

    def children(self, thread: ThreadIndex, node: int) -> list[Ref]:
        """The children of ``node``, with flushed subtrees in place of their markers."""
        out: list[Ref] = []
        for child in thread.iter_children(node):
            if thread.kind[child] == NODE_FLUSHED:
                sub = self._flushed(thread, child)
                if sub is not None:
                    out.extend(self.children(sub, 0))
                    continue
            out.append((thread, child))
        return out

    def _flushed(self, thread: ThreadIndex, node: int) -> ThreadIndex | None:
        if self.load is None:
            return None
        record = thread.record(thread.open_rec[node])
        target = record.get("flushed_trace_id") if isinstance(record, dict) else None
        if not isinstance(target, str) or target in self.seen:
            return None
        sub = self.load(target)
        if sub is None:
            return None
        self.seen.add(target)
        found = sub.threads.get(thread.key)
        if found is None and len(sub.threads) == 1:
            found = next(iter(sub.threads.values()))
        return found


@dataclass
class _Facts:
    """What a node is aligned by (``key``), and what its values are compared by.

    ``sig`` is the bytes of the node's values as stored (ids and times cut
    out), when the records have the engines' layout: equal bytes are equal
    values, and the records are decoded only where they differ.
    """

    key: tuple[Any, ...]
    start: float
    is_call: bool
    sig: tuple[bytes | None, bytes | None] | None
    _full: _Full | None = None


@dataclass
class _Full:
    label: str
    path: str | None
    values: dict[tuple[str, str], str]


def _raw_frame(data: bytes) -> tuple[bytes, int] | None:
    """The path and the end of the frame id of a frame record in the engines'
    layout (see vask.traceindex), else ``None``."""
    if not data.startswith(_FRAME_HEAD):
        return None
    try:
        s, e = _str_span(data, len(_FRAME_HEAD))
        at = data.find(_KEY_FRAME_ID, e)
        if at < 0:
            return None
        return data[s:e], _str_span(data, at + len(_KEY_FRAME_ID))[1]
    except (ValueError, IndexError, struct.error):
        return None


def _raw_values(data: bytes, at: int) -> bytes | None:
    """The bytes of a frame record's values: from its frame id to its time."""
    end = data.rfind(_KEY_TIMESTAMP, at)
    return data[at:end] if end >= 0 else None


def _raw_line(data: bytes) -> Any:
    """The line of the call site a frame record names (``None`` when none)."""
    at = data.rfind(b"\xabline_number")
    if at < 0:
        return None
    b = data[at + 12 : at + 13]
    if b and b[0] < 0x80 and len(data) == at + 13:
        return b[0]
    try:
        line = msgpack.unpackb(data[at + 12 :])
    except Exception:  # noqa: BLE001 - not the layout expected: no line
        return None
    return line if isinstance(line, int) else None


def _facts(ref: Ref, side: _Side, masker: _Masker) -> _Facts:
    thread, node = ref
    start = thread.start[node]
    name = thread.name_id[node]
    if thread.kind[node] == NODE_CALL and name >= 0:
        open_rec, close_rec = thread.open_rec[node], thread.close_rec[node]
        event = "call" if open_rec < 0 or thread.rec_kind[open_rec] == 0 else "resume"
        opening = side.read(thread, open_rec)
        closing = side.read(thread, close_rec)
        head_a = _raw_frame(opening) if opening is not None else None
        head_b = _raw_frame(closing) if closing is not None else None
        named = opening if head_a is not None else closing if head_b is not None else None
        if (opening is None or head_a) and (closing is None or head_b) and named is not None:
            path = (head_a or head_b)[0]  # type: ignore[index]
            file = path.rpartition(b":")[0] or path
            key = ("call", event, thread.trace.names[name].qualname, file, _raw_line(named))
            sig = (
                _raw_values(opening, head_a[1]) if opening and head_a else None,
                _raw_values(closing, head_b[1]) if closing and head_b else None,
            )
            return _Facts(key, start, event == "call", sig)
    full, key, is_call = _decoded(ref, masker)
    return _Facts(key, start, is_call, None, full)


def _full(ref: Ref, facts: _Facts, masker: _Masker) -> _Full:
    if facts._full is None:
        facts._full = _decoded(ref, masker)[0]
    return facts._full


def _decoded(ref: Ref, masker: _Masker) -> tuple[_Full, tuple[Any, ...], bool]:
    """A node's label, path, masked values and key, from its decoded records."""
    thread, node = ref
    kind = thread.kind[node]
    if kind == NODE_CALL:
        opening = thread.record(thread.open_rec[node])
        closing = thread.record(thread.close_rec[node])
        opening = opening if isinstance(opening, dict) else None
        closing = closing if isinstance(closing, dict) else None
        record = opening or closing or {}
        open_rec = thread.open_rec[node]
        event = EVENT_NAMES[thread.rec_kind[open_rec]] if open_rec >= 0 else "call"
        event = "call" if event == "call" else "resume"
        path = record.get("path") if isinstance(record.get("path"), str) else None
        file = path.encode("utf-8", "replace").rpartition(b":")[0] if path else None
        site = record.get("user_code_call_site")
        line = site.get("line_number") if isinstance(site, dict) else None
        name = thread.node_name(node)
        qualname = name.qualname if name is not None else record.get("qualname")
        key = ("call", event, qualname, file, _hashable(line))
        values: dict[tuple[str, str], str] = {}
        if opening is not None and body_kind(opening, closing) == "function":
            local_vars = opening.get("locals")
            if isinstance(local_vars, dict):
                for name, value in local_vars.items():
                    values["args", str(name)] = masker.text(value)
        if closing is not None:
            if "exception" in closing:
                values["exception", ""] = masker.text(closing["exception"])
            elif closing.get("event") == "yield":
                values["yield", ""] = masker.text(closing.get("arg"))
            else:
                values["return", ""] = masker.text(closing.get("arg"))
            local_vars = closing.get("locals")
            if isinstance(local_vars, dict) and body_kind(opening, closing) == "function":
                for name, value in local_vars.items():
                    values["locals", str(name)] = masker.text(value)
        else:
            values["return", ""] = "(no return recorded)"
        return _Full(call_label(record, closing), path, values), key, event == "call"
    record = thread.record(thread.open_rec[node])
    record = record if isinstance(record, dict) else {}
    rtype = record.get("type")
    if rtype == "folded":
        key = ("folded", record.get("qualname"), record.get("path"), record.get("event"))
        label = f"{record.get('qualname')} ×folded"
        values = {("record", "count"): masker.text(record.get("count"))}
        return _Full(label, record.get("path"), values), key, False
    # A plugin's record, an unread flushed marker, a note: compared by its own
    # fields, times and ids left out.
    values = {
        ("record", str(k)): masker.text(v)
        for k, v in record.items()
        if k not in ("timestamp", "frame_id", "type", "flushed_trace_id")
        and "time" not in str(k)
        and "duration" not in str(k)
    }
    kind_name = "plugin" if kind == NODE_PLUGIN else "marker"
    return _Full(str(rtype), None, values), (kind_name, _hashable(rtype)), False


def _hashable(value: Any) -> Any:
    if isinstance(value, list):
        return tuple(_hashable(v) for v in value)
    if isinstance(value, dict):
        return tuple((k, _hashable(v)) for k, v in value.items())
    try:
        hash(value)
    except TypeError:
        return repr(value)
    return value


def _align(a: list[Any], b: list[Any]) -> Iterator[tuple[int | None, int | None]]:
    """Pairs of positions of ``a`` and ``b`` (``None`` on the side without it), in order."""
    n, m = len(a), len(b)
    lo = 0
    while lo < n and lo < m and a[lo] == b[lo]:
        lo += 1
    hi_a, hi_b = n, m
    while hi_a > lo and hi_b > lo and a[hi_a - 1] == b[hi_b - 1]:
        hi_a -= 1
        hi_b -= 1
    for i in range(lo):
        yield i, i
    mid_a, mid_b = a[lo:hi_a], b[lo:hi_b]
    if mid_a and mid_b:
        for i, j in _middle(mid_a, mid_b):
            yield (None if i is None else lo + i), (None if j is None else lo + j)
    else:
        for i in range(len(mid_a)):
            yield lo + i, None
        for j in range(len(mid_b)):
            yield None, lo + j
    for k in range(n - hi_a):
        yield hi_a + k, hi_b + k


def _middle(a: list[Any], b: list[Any]) -> Iterator[tuple[int | None, int | None]]:
    if len(a) * len(b) <= _EXACT_LCS_CELLS:
        yield from _lcs(a, b)
        return
    matcher = SequenceMatcher(None, a, b, autojunk=False)
    for tag, i1, i2, j1, j2 in matcher.get_opcodes():
        if tag == "equal":
            for k in range(i2 - i1):
                yield i1 + k, j1 + k
        else:
            for i in range(i1, i2):
                yield i, None
            for j in range(j1, j2):
                yield None, j


def _lcs(a: list[Any], b: list[Any]) -> Iterator[tuple[int | None, int | None]]:
    """An exact longest common subsequence; a removal comes before an addition at one place."""
    n, m = len(a), len(b)
    # lengths[i][j]: LCS of a[i:] and b[j:]
    lengths = [[0] * (m + 1) for _ in range(n + 1)]
    for i in range(n - 1, -1, -1):
        row, below = lengths[i], lengths[i + 1]
        ai = a[i]
        for j in range(m - 1, -1, -1):
            row[j] = below[j + 1] + 1 if ai == b[j] else max(below[j], row[j + 1])
    i = j = 0
    while i < n and j < m:
        if a[i] == b[j]:
            yield i, j
            i += 1
            j += 1
        elif lengths[i + 1][j] >= lengths[i][j + 1]:
            yield i, None
            i += 1
        else:
            yield None, j
            j += 1
    for k in range(i, n):
        yield k, None
    for k in range(j, m):
        yield None, k


def _pair_threads(
    a: TraceIndex, b: TraceIndex
) -> tuple[list[tuple[ThreadIndex, ThreadIndex]], list[ThreadIndex], list[ThreadIndex]]:
    """Threads paired by name, and threads of one name by their start order."""

    def by_name(trace: TraceIndex) -> dict[str, list[ThreadIndex]]:
        groups: dict[str, list[ThreadIndex]] = {}
        for thread in trace.ordered_threads():
            groups.setdefault(thread.name, []).append(thread)
        for group in groups.values():
            group.sort(key=lambda t: _first_time(t))
        return groups

    ga, gb = by_name(a), by_name(b)
    pairs, only_a, only_b = [], [], []
    for name, group in ga.items():
        other = gb.get(name, [])
        pairs.extend(zip(group, other))
        only_a.extend(group[len(other) :])
    for name, group in gb.items():
        only_b.extend(group[len(ga.get(name, [])) :])
    # The saving (main) threads are one program's main thread, whatever their names.
    if a.main_thread in a.threads and b.main_thread in b.threads:
        ma, mb = a.threads[a.main_thread], b.threads[b.main_thread]
        if ma in only_a and mb in only_b:
            only_a.remove(ma)
            only_b.remove(mb)
            pairs.insert(0, (ma, mb))
    return pairs, only_a, only_b


class _Walker:
    def __init__(self, a: _Side, b: _Side, masker: _Masker, result: TraceDiff) -> None:
        self.a, self.b = a, b
        self.masker = masker
        self.result = result
        self.seq = 0

    def _count_calls(self, side: _Side, ref: Ref) -> int:
        """Calls in the subtree of ``ref`` (itself included), flushed subtrees counted in."""
        total = 0
        stack = [ref]
        while stack:
            thread, node = stack.pop()
            if thread.kind[node] == NODE_CALL and _is_call(thread, node):
                total += 1
            stack.extend(side.children(thread, node))
        return total

    def _chain(self, root: str, chain: list[Ref]) -> tuple[list[str], list[str]]:
        """Labels and identities of the calls leading to a node (the thread first)."""
        labels = [_label(ref, self.masker) for ref in chain]
        keys = [root, *("A" + _ref_key(ref) for ref in chain)]
        return labels, keys

    def one_side(
        self, status: str, side: _Side, ref: Ref, facts: _Facts, thread: str, root: str,
        chain: list[Ref],
    ) -> None:  # fmt: skip
        inside = self._count_calls(side, ref)
        own = 1 if facts.is_call else 0
        if status == "added":
            self.result.added += inside
        else:
            self.result.removed += inside
        self.seq += 1
        full = _full(ref, facts, self.masker)
        labels, keys = self._chain(root, chain)
        self.result.diffs.append(
            CallDiff(
                status,
                thread,
                full.label,
                full.path,
                labels,
                at=_rel(facts.start, side.t0),
                seq=self.seq,
                calls_below=inside - own,
                parent_keys=keys,
                key=("B" if status == "added" else "A") + _ref_key(ref),
            )
        )

    def thread_pair(self, ta: ThreadIndex, tb: ThreadIndex) -> None:
        """Compare two threads' trees in program order: a call's own values, the
        calls inside it, then what it returned."""
        root = "T" + _ref_key((ta, 0))
        stack = [self._level((ta, 0), (tb, 0), ta.name, root, [])]
        while stack:
            step = next(stack[-1], None)
            if step is None:
                stack.pop()
            elif step is not True:
                stack.append(step)

    def _level(
        self, ref_a: Ref, ref_b: Ref, name: str, root: str, chain: list[Ref]
    ) -> Iterator[Any]:
        """Aligns the children of two matched nodes; yields the walks of matched children."""
        masker = self.masker
        kids_a = self.a.children(*ref_a)
        kids_b = self.b.children(*ref_b)
        facts_a = [_facts(r, self.a, masker) for r in kids_a]
        facts_b = [_facts(r, self.b, masker) for r in kids_b]
        for i, j in _align([f.key for f in facts_a], [f.key for f in facts_b]):
            if j is None:
                self.one_side("removed", self.a, kids_a[i], facts_a[i], name, root, chain)
            elif i is None:
                self.one_side("added", self.b, kids_b[j], facts_b[j], name, root, chain)
            else:
                fa, fb = facts_a[i], facts_b[j]
                facts_a[i] = facts_b[j] = None  # type: ignore[call-overload]
                if fa.is_call:
                    self.result.matched += 1
                changes = []
                if fa.sig is None or fb.sig is None or fa.sig != fb.sig:
                    changes = _changes(
                        _full(kids_a[i], fa, masker).values, _full(kids_b[j], fb, masker).values
                    )
                opening = [c for c in changes if c.what == "args"]
                closing = [c for c in changes if c.what != "args"]
                diff = None
                if changes:
                    if fa.is_call:
                        self.result.changed += 1
                    labels, keys = self._chain(root, chain)
                    full = _full(kids_a[i], fa, masker)
                    diff = CallDiff(
                        "changed",
                        name,
                        full.label,
                        full.path,
                        labels,
                        changes,
                        parent_keys=keys,
                        key="A" + _ref_key(kids_a[i]),
                    )
                    self.result.diffs.append(diff)
                self.seq += 1
                if diff is not None and opening:
                    diff.seq, diff.at = self.seq, _rel(fa.start, self.a.t0)
                if diff is None and self._same_below(kids_a[i], kids_b[j]):
                    self.seq += 1
                    yield True
                    continue
                yield self._level(kids_a[i], kids_b[j], name, root, [*chain, kids_a[i]])
                self.seq += 1
                if diff is not None and not opening and closing:
                    thread, node = kids_a[i]
                    end = thread.end[node]
                    diff.seq = self.seq
                    diff.at = _rel(fa.start if math.isnan(end) else end, self.a.t0)
            yield True

    def _same_below(self, ref_a: Ref, ref_b: Ref) -> bool:
        """Whether two matched calls' subtrees are the same as stored; counts them matched."""
        (ta, na), (tb, nb) = ref_a, ref_b
        if ta.calls_below[na] != tb.calls_below[nb] or ta.calls_below[na] < 2:
            return False
        blob = self.a.subtree(ta, na)
        if blob is None or blob != self.b.subtree(tb, nb):
            return False
        self.result.matched += ta.calls_below[na]
        return True

    def whole_thread(self, status: str, side: _Side, thread: ThreadIndex) -> None:
        self.result.threads.append((thread.name, status))
        root = ("B" if status == "added" else "A") + "T" + _ref_key((thread, 0))
        for ref in side.children(thread, 0):
            facts = _facts(ref, side, self.masker)
            self.one_side(status, side, ref, facts, thread.name, root, [])


def _label(ref: Ref, masker: _Masker) -> str:
    thread, node = ref
    name = thread.node_name(node)
    if name is not None and thread.kind[node] == NODE_CALL:
        return name.label
    return _decoded(ref, masker)[0].label


def _ref_key(ref: Ref) -> str:
    thread, node = ref
    return f"{thread.trace.trace_id}/{thread.key}/{node}"


def _is_call(thread: ThreadIndex, node: int) -> bool:
    rec = thread.open_rec[node]
    return rec < 0 or thread.rec_kind[rec] == 0


def _first_time(thread: ThreadIndex) -> float:
    first = thread.first_time()
    return math.inf if math.isnan(first) else first


def _rel(t: float, t0: float) -> float:
    return math.inf if math.isnan(t) else t - t0


def _changes(a: dict[tuple[str, str], str], b: dict[tuple[str, str], str]) -> list[Change]:
    if a == b:
        return []
    out = []
    for key in dict.fromkeys([*a, *b]):
        va, vb = a.get(key), b.get(key)
        if va != vb:
            out.append(Change(key[0], key[1], va, vb))
    return out


def merged_rows(result: TraceDiff, limit: int = 20_000) -> tuple[list[dict[str, Any]], bool]:
    """The merged call tree of a diff, cut to the differing calls and the calls
    leading to them, as rows in pre-order: ``depth``, ``label``, ``status``
    ("thread", "context", "changed", "added", "removed") and, for a difference,
    its ``path``, ``changes`` and ``calls_below``.  The second value says
    whether ``limit`` rows cut it short."""
    rows: list[dict[str, Any]] = []
    shown: dict[str, int] = {}
    for d in result.diffs:
        if len(rows) >= limit:
            return rows, True
        chain = d.parent_keys
        for depth, key in enumerate(chain):
            if key in shown:
                continue
            shown[key] = len(rows)
            if depth == 0:
                label = f"thread {d.thread}"
                only = dict(result.threads).get(d.thread)
                status = only or "thread"
            else:
                label, status = d.parents[depth - 1], "context"
            rows.append({"depth": depth, "label": label, "status": status})
        if d.key in shown:
            # a changed call whose row stands as the context of a later difference
            row = rows[shown[d.key]]
        else:
            shown[d.key] = len(rows)
            row = {"depth": len(chain), "label": d.label, "status": d.status}
            rows.append(row)
        row.update(
            key=d.key,
            status=d.status,
            path=d.path,
            changes=[c.to_json() for c in d.changes],
            calls_below=d.calls_below,
        )
    return rows, False


def diff_traces(
    a: TraceIndex,
    b: TraceIndex,
    *,
    masks: Iterable[str] = (),
    load_a: Loader | None = None,
    load_b: Loader | None = None,
) -> TraceDiff:
    """Compare trace ``a`` (the reference) with trace ``b``.

    ``masks`` are regular expressions of text to ignore in values, on top of
    :data:`DEFAULT_MASKS`; ``load_a`` and ``load_b`` read the traces that
    flushed-subtree markers of each side name.
    """
    result = TraceDiff(a.trace_id, b.trace_id)
    walker = _Walker(_Side(a, load_a), _Side(b, load_b), _Masker(masks), result)
    pairs, only_a, only_b = _pair_threads(a, b)
    for ta, tb in pairs:
        walker.thread_pair(ta, tb)
    for thread in only_a:
        walker.whole_thread("removed", walker.a, thread)
    for thread in only_b:
        walker.whole_thread("added", walker.b, thread)
    return result
