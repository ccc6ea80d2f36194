"""The text view of a trace: values, durations, sizes and call trees as terminal lines."""

from __future__ import annotations

import math
import time
from collections.abc import Iterator
from dataclasses import dataclass
from typing import Any

from vask.arguments import call_arguments
from vask.asynctasks import TASK_CREATED_TYPE
from vask.calltree import CallNode, body_kind
from vask.document import CALLS_DROPPED_TYPE, FOLDED_TYPE, plausible_time, record_time
from vask.textsafe import terminal_safe
from vask.values import Assignment, ObjectRepr, StoredObject, StoredSet

__all__ = [
    "Style",
    "call_label",
    "calls_dropped_text",
    "folded_text",
    "format_bytes",
    "format_duration",
    "format_time",
    "format_value",
    "not_stored_text",
    "node_line",
    "render_tree",
    "short_name",
]

# Keys every plugin record has; the rest is what the plugin added.
_PLUGIN_BASE_KEYS = frozenset(("frame_id", "timestamp", "user_code_call_site", "type", "subtype"))

# Containers nested deeper than this are shown as "…" (the tracer's dumpers
# write far shallower values; a deeper one is a damaged or crafted document).
_MAX_VALUE_DEPTH = 32

#: Calls deeper than this are indented no further; their lines show the depth.
MAX_INDENT_DEPTH = 50


def _cut(text: str, width: int) -> str:
    if width > 0 and len(text) > width:
        return text[: max(width - 1, 0)] + "…"
    return text


# Values shown as their repr, whole (their exact types: a subclass may have a repr of its own).
_SCALARS = frozenset((str, int, float, bool, type(None)))


# The parts of a datetime and a time stored by its fields (its tzinfo's repr is the
# program's), in the order of their reprs; the last two may be left out when 0.
_TIME_PARTS = {
    "datetime.datetime": ("year", "month", "day", "hour", "minute", "second", "microsecond"),
    "datetime.time": ("hour", "minute", "second", "microsecond"),
}
_NO_TZINFO = object()


def _time_parts(v: StoredObject) -> tuple[str, bool, Any] | None:
    """A datetime's or time's parts as its repr writes them (the numbers, whether
    ``fold`` is set, the tzinfo or ``_NO_TZINFO``); ``None`` for any other object, or
    one whose fields are not exactly those parts."""
    names = _TIME_PARTS.get(v.type_name)
    if names is None:
        return None
    fields = v.fields
    if not set(names) <= fields.keys() <= {*names, "fold", "tzinfo"}:
        return None
    numbers = [fields[n] for n in names]
    if not all(type(x) is int for x in numbers) or fields.get("fold", 0) not in (0, 1):
        return None
    # as the reprs do: microsecond left out when 0, then second when 0 too
    keep = len(names) - (2 if numbers[-1] == numbers[-2] == 0 else 1 if numbers[-1] == 0 else 0)
    shown = ", ".join(map(str, numbers[:keep]))
    return shown, bool(fields.get("fold")), fields.get("tzinfo", _NO_TZINFO)


def format_value(value: Any, width: int = 0) -> str:
    """A stored value as Python-like text, cut to ``width`` characters (0: no cut).

    Strings are shown quoted; reprs and markers of the dumpers
    (:class:`~vask.values.ObjectRepr`) as they stand, on one line; tuples in
    parentheses and sets in braces.
    """
    kind = type(value)
    if kind in _SCALARS:  # one piece: the same text as the walk below makes
        return _cut(repr(value), width)
    if kind is ObjectRepr:
        return _cut(value.text.replace("\n", "\\n"), width)
    parts: list[str] = []
    budget = [width + 1 if width > 0 else -1]

    def emit(text: str) -> bool:
        parts.append(text)
        if budget[0] < 0:
            return True
        budget[0] -= len(text)
        return budget[0] > 0

    def items(values: Any, depth: int, opening: str, closing: str, single: str = "") -> bool:
        if not emit(opening):
            return False
        for i, item in enumerate(values):
            if i and not emit(", "):
                return False
            if not go(item, depth + 1):
                return False
        return emit(single + closing)

    def go(v: Any, depth: int) -> bool:
        if isinstance(v, (dict, list, tuple, StoredSet, StoredObject)) and depth >= _MAX_VALUE_DEPTH:
            return emit("…")
        if isinstance(v, StoredObject):
            if not v.fields:
                return emit(f"<{v.type_name} object at {v.address:#x}>")
            shown = _time_parts(v)
            if shown is not None:  # as its repr shows it
                numbers, fold, tz = shown
                # a datetime's repr says fold before tzinfo, a time's after it
                fold_first = v.type_name == "datetime.datetime"
                if not emit(f"{v.type_name}({numbers}{', fold=1' if fold and fold_first else ''}"):
                    return False
                if tz is not _NO_TZINFO and not (emit(", tzinfo=") and go(tz, depth + 1)):
                    return False
                return emit(", fold=1)" if fold and not fold_first else ")")
            if not emit(f"{v.short_name}("):
                return False
            for i, (k, item) in enumerate(v.fields.items()):
                if i and not emit(", "):
                    return False
                if not emit("…=" if k == "<...>" else f"{k}="):
                    return False
                if not go(item, depth + 1):
                    return False
            return emit(")")
        if isinstance(v, ObjectRepr):
            return emit(v.text.replace("\n", "\\n"))
        if isinstance(v, str):
            return emit(repr(v))
        if isinstance(v, dict):
            if not emit("{"):
                return False
            for i, (k, item) in enumerate(v.items()):
                if i and not emit(", "):
                    return False
                if not emit(f"{k!r}: " if isinstance(k, str) else f"{k}: "):
                    return False
                if not go(item, depth + 1):
                    return False
            return emit("}")
        if isinstance(v, list):
            return items(v, depth, "[", "]")
        if isinstance(v, tuple):
            return items(v, depth, "(", ")", "," if len(v) == 1 else "")
        if isinstance(v, StoredSet):
            if not v.items:
                return emit("frozenset()" if v.frozen else "set()")
            if v.frozen:
                return items(v.items, depth, "frozenset({", "})")
            return items(v.items, depth, "{", "}")
        return emit(repr(v))

    go(value, 0)
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
    try:
        return time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(timestamp))
    except (OverflowError, OSError, ValueError):
        return "?"  # a time the platform's calendar cannot hold


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
            parts = file[:-3].replace("\\", "/").split("/")[-32:]
            if parts and parts[-1] == "__init__":
                parts.pop()
            for i in range(len(parts)):
                module = ".".join(parts[i:])
                if module and qualname.startswith(module + "."):
                    return qualname[len(module) + 1 :]
    return qualname


def call_label(record: dict[str, Any], end: dict[str, Any] | None = None) -> str:
    """The name a call is shown under; module and class bodies are named as such.

    ``Inventory.reserve``, ``module examples.shop.main``, ``class body Inventory``;
    ``end`` is the call's closing record, when there is one.
    """
    kind = body_kind(record, end)
    record = record or end or {}
    if kind == "module":
        qualname = record.get("qualname")
        module = qualname[: -len(".<module>")] if isinstance(qualname, str) else None
        if not module or not qualname.endswith(".<module>"):
            path = record.get("path")
            module = path.rsplit(":", 1)[0] if isinstance(path, str) else "?"
        return f"module {module}"
    if kind == "class":
        return f"class body {short_name(record)}"
    return short_name(record)


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


def _call_parts(node: CallNode, width: int) -> list[tuple[str, str]]:
    """The pieces of a call's line as (style field, text) pairs."""
    record = node.record
    start, end = node.start, node.end
    pieces: list[tuple[str, str]] = []
    kind = body_kind(start, end)
    # Names and paths are cut too, more generously than values.
    name = _cut(call_label(record, end), 4 * width)
    if start is not None:
        local_vars = call_arguments(start)
        if kind != "function":
            args = ""  # a module's or class body's locals are its globals: not arguments
        elif isinstance(local_vars, dict):
            args = ", ".join([f"{k}={format_value(v, width)}" for k, v in local_vars.items()])
        elif local_vars is None:
            args = ""
        else:
            args = format_value(local_vars, width)
        pieces.append(("name", name))
        if kind == "function":
            pieces.append(("", f"({args})"))
        event = start.get("event")
        if event in ("resume", "throw"):
            pieces.append(("dim", f" [{event}]"))
    else:
        pieces.append(("name", name))
        pieces.append(("dim", "(…)"))
    if end is None:
        pieces.append(("error", "  (no return recorded)"))
    elif "exception" in end:
        pieces.append(("error", f"  !! {format_value(end['exception'], width)}"))
    elif end.get("event") == "yield":
        pieces.append(("value", f"  ⇢ {format_value(end.get('arg'), width)}"))
    else:
        pieces.append(("value", f"  → {format_value(end.get('arg'), width)}"))
    begin, finish = record_time(start), record_time(end)
    if begin is not None and finish is not None:
        pieces.append(("dim", f"  {format_duration(finish - begin)}"))
    elif start is None:
        pieces.append(("dim", "  (began before tracing)"))
    path = record.get("path")
    if isinstance(path, str):
        pieces.append(("dim", f"  {_cut(path, 4 * width)}"))
    return pieces


def calls_dropped_text(record: dict[str, Any]) -> str:
    """What a "calls_dropped" record says: how many calls the trace left out, and why."""
    count = record.get("count")
    count = count if isinstance(count, int) and not isinstance(count, bool) else "?"
    text = f"{count} call{'s' if count != 1 else ''} left out"
    limit = record.get("max_trace_bytes")
    if isinstance(limit, int) and not isinstance(limit, bool) and limit > 0:
        text += f": the trace reached its size limit (max_trace_mb, {format_bytes(limit)})"
    since = record.get("since")
    if plausible_time(since) is not None:
        text += f" at {format_time(since)}"
    return text


def not_stored_text(record: dict[str, Any]) -> str | None:
    """What a "trace_not_stored" record says (the storage bounds), or ``None`` for another."""
    if record.get("type") != "trace_not_stored":
        return None

    def number(key: str) -> int | None:
        value = record.get(key)
        return value if isinstance(value, int) and not isinstance(value, bool) else None

    size, calls, limit = number("size"), number("calls"), number("limit")
    what = "records" if size is None else f"{format_bytes(size)} of records"
    if calls is not None:
        what += f" ({calls:,} call{'s' if calls != 1 else ''})"
    why = {"trace_cap": "the cap per trace", "session_budget": "the session's budget"}.get(
        str(record.get("reason")), "a storage bound"
    )
    if limit is not None:
        why += f" of {format_bytes(limit)}"
    return f"{what} not stored: past {why}"


def _seconds(value: Any) -> float | None:
    if isinstance(value, (int, float)) and not isinstance(value, bool) and math.isfinite(value):
        return float(value)
    return None


def folded_text(record: dict[str, Any]) -> str:
    """What a "folded" record says: ``… 998,544 more calls of convolve (12.4 s in all, 2 µs–3 ms)``."""
    count = record.get("count")
    count_text = f"{count:,}" if isinstance(count, int) and not isinstance(count, bool) else "?"
    resumes = record.get("event") == "resume"
    noun = ("resume" if resumes else "call") + ("" if count == 1 else "s")
    text = f"… {count_text} more {noun} of {short_name(record)}"
    total = _seconds(record.get("total_duration"))
    low = _seconds(record.get("min_duration"))
    high = _seconds(record.get("max_duration"))
    facts = []
    if total is not None:
        facts.append(f"{format_duration(total)} in all")
    if low is not None and high is not None:
        facts.append(f"{format_duration(low)}–{format_duration(high)}")
    return text + (f" ({', '.join(facts)})" if facts else "")


def created_task_text(record: dict[str, Any]) -> str:
    """``task 3 'Task-2' (fetch)`` from an "asyncio_task_created" record."""
    text = f"task {record.get('task_id')}"
    if isinstance(record.get("task_name"), str):
        text += f" {record['task_name']!r}"
    if isinstance(record.get("coroutine"), str):
        text += f" ({record['coroutine']})"
    return text


def _plugin_parts(node: CallNode, width: int) -> list[tuple[str, str]]:
    record = node.record
    if record.get("type") == CALLS_DROPPED_TYPE:
        return [("marker", f"… {calls_dropped_text(record)}")]
    note = not_stored_text(record)
    if note is not None:
        return [("marker", f"… {note}")]
    if record.get("type") == FOLDED_TYPE:
        return [("marker", folded_text(record))]
    if record.get("type") == TASK_CREATED_TYPE:
        return [("marker", f"→ starts {created_task_text(record)}")]
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
        segments = segments if isinstance(segments, int) else "?"
        what = f"{segments} top-level call{'s' if segments != 1 else ''}"
        if isinstance(size, int):
            what += f" ({format_bytes(size)})"
    else:
        what = f"{calls} call{'s' if calls != 1 else ''}"
    text = f"… {what} flushed to trace {target}, see: vask traces show {target}"
    return [("marker", text)]


def _assignment_parts(node: Any, width: int) -> list[tuple[str, str]]:
    """``name = value`` of an assignment record."""
    assigned = node.record.get("assign")
    if isinstance(assigned, Assignment):
        return [
            ("", f"{_cut(assigned.name, 4 * width)} = "),
            ("value", format_value(assigned.value, width)),
        ]
    return [("dim", "(an assignment that cannot be read)")]


def _locals_lines(node: Any, width: int) -> list[tuple[str, str]]:
    """The call's locals at the call and at the return, as (label, text) pairs."""
    if body_kind(node.start, node.end) != "function":
        return []  # a module's or class body's globals
    lines = []
    for label, record in (("locals at call", node.start), ("locals at return", node.end)):
        local_vars = record.get("locals") if record is not None else None
        if isinstance(local_vars, dict):
            text = ", ".join(f"{k}={format_value(v, width)}" for k, v in local_vars.items())
            lines.append((label, text or "(none)"))
        elif local_vars is not None:
            lines.append((label, format_value(local_vars, width)))
    return lines


def node_line(node: Any, *, style: Style, width: int = 0) -> str:
    """The line of one node of a call tree as :func:`render_tree` shows it, unindented."""
    if node.kind == "call":
        pieces = _call_parts(node, width)
    elif node.kind == "plugin":
        pieces = _plugin_parts(node, width)
    else:
        pieces = [("", node.kind)]
    line = []
    for field_name, text in pieces:
        text = terminal_safe(text)
        color = getattr(style, field_name) if field_name else ""
        line.append(f"{color}{text}{style.reset}" if color else text)
    return "".join(line)


def render_tree(
    root: Any,
    *,
    style: Style,
    max_depth: int | None = None,
    grep: str | None = None,
    width: int = 0,
    flushed_calls: dict[str, int] | None = None,
    indent: str = "",
    show_locals: bool = False,
) -> Iterator[str]:
    """The lines of a call tree, indented by depth.

    ``root`` is a :class:`~vask.calltree.CallNode` or a node of the same shape
    (:class:`vask.traceindex.IndexNode`).  Assignments recorded in a call are
    lines ``name = value`` among its calls, in the order they ran.  ``max_depth`` hides nodes at that
    depth and below (a parent then says how many calls it hides); ``grep``
    keeps only nodes whose line contains the text, with their ancestors;
    ``show_locals`` adds each call's locals at the call and at the return
    under it.  Lines are safe to print on a terminal (see
    :mod:`vask.textsafe`); below :data:`MAX_INDENT_DEPTH` levels the
    indentation stops growing and each line starts with its depth instead.
    """
    calls_of = flushed_calls or {}

    def parts(node: Any) -> list[tuple[str, str]]:
        if node.kind == "note":  # a line of its own (a task's suspended stretch)
            return [("marker", node.text)]
        if node.kind == "call":
            return _call_parts(node, width)
        if node.kind == "plugin":
            return _plugin_parts(node, width)
        if node.kind == "assign":
            return _assignment_parts(node, width)
        return _flushed_parts(node, calls_of)

    keep: set[int] | None = None
    if grep is not None:
        keep = set()
        path: list[int] = []
        for depth, node in root.walk(max_depth, assignments=True):
            del path[depth:]
            path.append(node.key)
            if grep in "".join(text for _, text in parts(node)):
                for ancestor in reversed(path):
                    if ancestor in keep:
                        break
                    keep.add(ancestor)

    plain = not any(vars(style).values())
    deep_noted = False
    kept = None if keep is None else (lambda node: node.key in keep)
    for depth, node in root.walk(max_depth, kept, assignments=True):
        if keep is not None and node.key not in keep:
            continue
        line = [indent, "  " * min(depth, MAX_INDENT_DEPTH)]
        if depth > MAX_INDENT_DEPTH:
            if not deep_noted:
                deep_noted = True
                yield (
                    f"{indent}{'  ' * MAX_INDENT_DEPTH}{style.dim}(calls deeper than "
                    f"{MAX_INDENT_DEPTH} levels are not indented further; "
                    f"[depth N] gives their depth){style.reset}"
                )
            line.append(f"{style.dim}[depth {depth}]{style.reset} ")
        if plain:  # escaping text by text or all at once comes to the same
            line.append(terminal_safe("".join([text for _, text in parts(node)])))
        else:
            for field_name, text in parts(node):
                text = terminal_safe(text)
                color = getattr(style, field_name) if field_name else ""
                line.append(f"{color}{text}{style.reset}" if color else text)
        deeper = max_depth is not None and depth + 1 >= max_depth
        if deeper and node.calls_below:
            hidden = node.calls_below
            line.append(
                f"{style.dim}  (+{hidden} call{'s' if hidden != 1 else ''} below){style.reset}"
            )
        yield "".join(line)
        if show_locals and node.kind == "call":
            pad = indent + "  " * min(depth + 1, MAX_INDENT_DEPTH + 1)
            for label, text in _locals_lines(node, width):
                yield f"{pad}{style.dim}{label}:{style.reset} {terminal_safe(text)}"
