"""``vask traces``: list, show, export, delete, prune and import stored traces."""

from __future__ import annotations

import argparse
import functools
import gzip
import io
import json
import os
import re
import sqlite3
import stat
import sys
import threading
import time
import weakref
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any, TextIO

from vask import document, render, tasktree, traceindex
from vask.arguments import held_sources
from vask.cli.common import CliError, calls_text, display, plural, say, stderr
from vask.export import write_chrome_trace, write_speedscope
from vask.storage import maintain, query, schema, store
from vask.textsafe import terminal_safe

__all__ = ["READING_COMMANDS", "TRACE_COMMANDS"]

#: The commands that only read the database: it is opened read-only, and
#: never created.
READING_COMMANDS = frozenset(("list", "show", "export", "view", "diff"))

# Stored names (of traces, threads) are cut to this many characters on a line.
_NAME_LIMIT = 200
# Trace points listed under their trace at the most; --json lists every one.
_TRACE_POINTS_SHOWN = 10


def _summaries(db_path: Path, timeout: float) -> list[query.TraceSummary]:
    return query.list_traces(db_path, timeout=timeout)


def _resolve_ids(db_path: Path, given: list[str], timeout: float, roots: bool = False) -> list[str]:
    """Full trace ids for ids, unique prefixes of ids, or 'latest'.

    With ``roots``, the id of a root trace that was never stored itself (only
    subtrees flushed from it are: the run was killed) counts as known too.
    """
    summaries = _summaries(db_path, timeout)
    if not summaries:
        raise CliError(f"no traces in {display(db_path)}", 1)
    known = [s.trace_id for s in summaries]
    if roots:
        stored = set(known)
        known += list(
            dict.fromkeys(
                s.root_trace_id
                for s in summaries
                if s.root_trace_id is not None and s.root_trace_id not in stored
            )
        )
    resolved = []
    for text in given:
        if text == "latest":
            # A run's own trace, not one of the processes it started (which
            # may be stored after it).
            roots = [s.trace_id for s in summaries if _is_root(s)]
            runs = [s.trace_id for s in summaries if _is_root(s) and s.parent_trace_id is None]
            resolved.append((runs or roots or known)[0])
            continue
        if text in known:
            resolved.append(text)
            continue
        matches = [k for k in known if k.startswith(text)] if len(text) >= 5 else []
        if len(matches) == 1:
            resolved.append(matches[0])
        elif matches:
            raise CliError(f"{text!r} matches {len(matches)} traces: {', '.join(matches[:5])}", 1)
        else:
            raise CliError(
                f"no trace {text} in {display(db_path)} (vask traces list shows the stored traces)",
                1,
            )
    return resolved


def _is_root(summary: query.TraceSummary) -> bool:
    return summary.root_trace_id in (None, summary.trace_id)


def _process_text(s: query.TraceSummary, in_tree: bool) -> str:
    """``pid N (parent M)`` for a trace of a process tree; empty otherwise."""
    if s.pid is None or not in_tree:
        return ""
    return f"pid {s.pid}" + (f" (parent {s.parent_pid})" if s.parent_pid is not None else "")


def _cmd_list(args: argparse.Namespace, db_path: Path) -> int:
    # Cheap checks only (stored sizes, document heads): reading every document
    # of a large database in full takes minutes. show and export check fully.
    timeout = args.busy_timeout
    summaries = query.list_traces(
        db_path, args.limit, timeout=timeout, grep=args.grep, outcome=args.outcome
    )
    found = maintain.find_damage(db_path, timeout=timeout) if summaries else {}
    damage = {s.trace_id: found.get(s.trace_id, []) for s in summaries}
    points = query.trace_points(db_path, timeout=timeout) if summaries else {}
    totals = query.root_totals(db_path, timeout=timeout, points=points) if summaries else {}
    for trace_id, problems in damage.items():
        for number, reason in problems:
            say(f"warning: trace {trace_id}: document {number} is damaged ({reason})")
    if args.json:
        items = []
        for s in summaries:
            item = {
                "trace_id": s.trace_id,
                "root_trace_id": s.root_trace_id,
                "name": s.trace_name,
                "timestamp": s.timestamp,
                "time": render.format_time(s.timestamp) if s.timestamp is not None else None,
                "stored_at": s.stored_at,
                "documents": s.documents,
                "size": s.size,
                "calls": s.calls,
                "outcome": s.outcome,
                "damaged": [{"document": n, "reason": r} for n, r in damage[s.trace_id]],
                "pid": s.pid,
                "parent_pid": s.parent_pid,
                "parent_trace_id": s.parent_trace_id,
                "process_name": s.process_name,
            }
            total = totals.get(s.trace_id) if _is_root(s) else None
            if total is not None:
                # the root with every subtree flushed from it
                item["subtrees"] = total.subtrees
                item["total_size"] = total.size
                item["total_calls"] = total.calls
                item["trace_points"] = total.trace_points
            point = points.get(s.trace_id)
            if point is not None:
                # a completed call stored apart; its records are in its root too
                item["trace_point"] = {
                    "function": point.co_name,
                    "thread": point.thread,
                    "frame_id": point.frame_id,
                }
            items.append(item)
        json.dump(items, sys.stdout, indent=2)
        sys.stdout.write("\n")
        return 0
    if not summaries:
        filtered = args.grep is not None or args.outcome is not None
        say(f"no traces{' that match' if filtered else ''} in {display(db_path)}")
        return 0
    listed = {s.trace_id for s in summaries}
    # Trace points are listed under their trace, in the order they fired.
    under: dict[str, list[query.TraceSummary]] = {}
    for s in reversed(summaries):
        point = points.get(s.trace_id)
        if point is not None and point.root_trace_id in listed:
            under.setdefault(point.root_trace_id, []).append(s)
    rows = [("ID", "TIME", "CALLS", "SIZE", "NAME")]
    # A run's processes stand together: each child's trace under its parent's.
    parents = {s.parent_trace_id for s in summaries if _is_root(s)}
    for depth, s in query.process_tree(summaries):
        point = points.get(s.trace_id)
        if point is not None and point.root_trace_id in listed:
            continue
        process = _process_text(s, depth > 0 or s.trace_id in parents)
        rows.append(_list_row(s, point, totals, damage, depth=depth, process=process))
        below = under.get(s.trace_id, [])
        for sub in below[:_TRACE_POINTS_SHOWN]:
            rows.append(
                _list_row(sub, points[sub.trace_id], totals, damage, nested=True, depth=depth)
            )
        if len(below) > _TRACE_POINTS_SHOWN:
            more = len(below) - _TRACE_POINTS_SHOWN
            rows.append(
                (
                    "  " * depth + "  └ …",
                    "",
                    "",
                    "",
                    f"{more:,} more trace points; vask traces show {s.trace_id} lists them",
                )
            )
    widths = [max(len(row[i]) for row in rows) for i in range(4)]
    for row in rows:
        sys.stdout.write(
            f"{row[0]:<{widths[0]}}  {row[1]:<{widths[1]}}  {row[2]:>{widths[2]}}  "
            f"{row[3]:>{widths[3]}}  {row[4]}\n"
        )
    return 0


def _list_row(
    s: query.TraceSummary,
    point: query.TracePoint | None,
    totals: dict[str, query.RootTotals],
    damage: dict[str, list[tuple[int, str]]],
    nested: bool = False,
    depth: int = 0,
    process: str = "",
) -> tuple[str, str, str, str, str]:
    """One line of ``vask traces list``: a trace, or a trace point (``nested`` under its trace).

    ``depth`` indents the trace of a child process under its parent's;
    ``process`` names the process (``pid N (parent M)``).
    """
    name = s.trace_name or s.process_name or "-"
    if s.outcome is not None:
        name += f" [{s.outcome}]"
    if process:
        name += f" · {process}"
    calls, size = s.calls, s.size
    total = totals.get(s.trace_id) if _is_root(s) else None
    if point is not None:
        name = f"trace point {point.co_name or name}"
        if not nested:
            name += f" [of {point.root_trace_id}, not stored]"
    elif not _is_root(s):
        name += f" [subtree of {s.root_trace_id}]"
    if s.documents > 1:
        name += f" [{s.documents} documents]"
    if total is not None and total.subtrees:
        # CALLS and SIZE of a root count its subtrees too
        calls, size = total.calls, total.size
        name += (
            f" [{total.subtree_calls:,} calls in {plural(total.subtrees, 'subtree')} stored apart]"
        )
    if total is not None and total.trace_points:
        name += f" [{plural(total.trace_points, 'trace point')}]"
    if damage[s.trace_id]:
        name = f"[DAMAGED] {name}"
    trace_id = terminal_safe(s.trace_id, _NAME_LIMIT)
    return (
        "  " * depth + (f"  └ {trace_id}" if nested else trace_id),
        render.format_time(s.timestamp if s.timestamp is not None else s.stored_at),
        f"{calls:,}",
        render.format_bytes(size),
        terminal_safe(name, 4 * _NAME_LIMIT),
    )


# Seconds of work before progress is shown, seconds between two reports, and
# lines of the text view written between two looks at the clock.
_PROGRESS_AFTER = 1.0
_PROGRESS_INTERVAL = 0.5
_PROGRESS_EVERY = 1024


class _Progress:
    """One line of progress on standard error, rewritten in place, for work that takes a while.

    Shown only when standard error is a terminal, and not while the output
    itself goes to that terminal (it shows its own progress); shown first
    after :data:`_PROGRESS_AFTER` seconds, then at most twice a second, and wiped by
    :meth:`done`.
    """

    def __init__(self, output_on_terminal: bool) -> None:
        stream = stderr()
        try:
            self.on = stream.isatty() and not output_on_terminal
        except (AttributeError, ValueError):
            self.on = False
        self.stream = stream
        self.shown = False
        self.next = time.monotonic() + _PROGRESS_AFTER

    def __call__(self, text: str) -> None:
        if not self.on:
            return
        now = time.monotonic()
        if now < self.next:
            return
        self.next = now + _PROGRESS_INTERVAL
        try:
            self.stream.write(f"\rvask: {terminal_safe(text, 120)}\033[K")
            self.stream.flush()
        except (OSError, ValueError):
            self.on = False
            return
        self.shown = True

    def indexing(self, trace_id: str) -> Callable[[int, int], None]:
        """A progress callback of :func:`vask.traceindex.open_trace`."""

        def report(done: int, total: int) -> None:
            if total:
                self(f"reading trace {trace_id}: {done * 100 // total}% of "
                     f"{render.format_bytes(total)}")

        return report

    def done(self) -> None:
        if self.shown:
            self.shown = False
            try:
                self.stream.write("\r\033[K")
                self.stream.flush()
            except (OSError, ValueError):
                pass


def _output_on_terminal() -> bool:
    try:
        return sys.stdout.isatty()
    except (AttributeError, ValueError):
        return False


def _use_color(choice: str) -> bool:
    if choice == "always":
        return True
    if choice == "never":
        return False
    return sys.stdout.isatty() and not os.environ.get("NO_COLOR")


def _cmd_show(args: argparse.Namespace, db_path: Path) -> int:
    ids = _resolve_ids(db_path, args.ids or ["latest"], args.busy_timeout)
    if args.at is not None and len(ids) != 1:
        raise CliError("--at takes one trace", 2)
    style = render.Style.colored() if _use_color(args.color) else render.Style()
    summaries = {s.trace_id: s for s in _summaries(db_path, args.busy_timeout)}
    flushed_calls = {k: s.calls for k, s in summaries.items()}
    points = query.trace_points(db_path, timeout=args.busy_timeout)
    totals = query.root_totals(db_path, timeout=args.busy_timeout, points=points)
    status = 0
    out = sys.stdout
    progress = _Progress(_output_on_terminal())
    for index, trace_id in enumerate(ids):
        if index:
            out.write("\n")
        trace = traceindex.open_trace(
            db_path, trace_id, timeout=args.busy_timeout, progress=progress.indexing(trace_id)
        )
        try:
            with held_sources():
                status = max(
                    status,
                    _show_trace(
                        args, out, style, trace, summaries, totals, flushed_calls, progress
                    ),
                )
        finally:
            trace.close()
            progress.done()
        _show_trace_points(out, style, trace_id, points, list(summaries))
    return status


# Trace points listed by show at the most, per trace.
_TRACE_POINTS_LISTED = 50


def _show_trace_points(
    out: TextIO,
    style: render.Style,
    trace_id: str,
    points: dict[str, query.TracePoint],
    newest_first: list[str],
) -> None:
    """The trace points of a trace, under its call trees, in the order they were stored."""
    position = {k: i for i, k in enumerate(newest_first)}
    mine = sorted(
        (p for p in points.values() if p.root_trace_id == trace_id),
        key=lambda p: -position.get(p.trace_id, 0),
    )
    if not mine:
        return
    counts: dict[str, int] = {}
    for point in mine:
        counts[point.co_name or "?"] = counts.get(point.co_name or "?", 0) + 1
    summary = ", ".join(f"{name} ×{n:,}" for name, n in counts.items())
    out.write(
        f"\n{style.header}{plural(len(mine), 'trace point')}{style.reset}"
        f"{style.dim} ({terminal_safe(summary, 4 * _NAME_LIMIT)}){style.reset}\n"
    )
    for point in mine[:_TRACE_POINTS_LISTED]:
        calls = plural(point.calls, "call")
        fired = render.format_time(point.timestamp)
        out.write(
            f"  {terminal_safe(point.trace_id, _NAME_LIMIT)}  {style.name}"
            f"{terminal_safe(point.co_name or '?', _NAME_LIMIT)}{style.reset}"
            f"{style.dim}  {fired} · {calls} · thread "
            f"{terminal_safe(point.thread or '?', _NAME_LIMIT)}{style.reset}\n"
        )
    if len(mine) > _TRACE_POINTS_LISTED:
        out.write(
            f"{style.dim}  … {len(mine) - _TRACE_POINTS_LISTED:,} more; "
            f"vask traces list --json lists every one{style.reset}\n"
        )


def _show_trace(
    args: argparse.Namespace,
    out: TextIO,
    style: render.Style,
    trace: traceindex.TraceIndex,
    summaries: dict[str, query.TraceSummary],
    totals: dict[str, query.RootTotals],
    flushed_calls: dict[str, int],
    progress: _Progress | None = None,
) -> int:
    """Write one trace's header and call trees; returns 1 when a document was damaged."""
    status = 0
    trace_id = trace.trace_id
    for number, reason in trace.damaged:
        say(
            f"trace {trace_id}: document {number} of {trace.documents} is damaged "
            f"({reason}); showing the rest"
        )
        status = 1
    if len(trace.damaged) == trace.documents:
        say(f"error: trace {trace_id} cannot be shown: all its documents are damaged")
        return status
    summary = summaries.get(trace_id)
    facts = [f"started {render.format_time(trace.timestamp)}"]
    if summary is not None and summary.outcome is not None:
        facts.insert(0, f"test {summary.outcome}")
    if summary is not None:
        total = totals.get(trace_id) if _is_root(summary) else None
        if total is not None and total.subtrees:
            facts += [calls_text(summary.calls, total), render.format_bytes(total.size)]
        else:
            facts += [plural(summary.calls, "call"), render.format_bytes(summary.size)]
    facts.append(f"{len(trace.threads)} thread{'s' if len(trace.threads) != 1 else ''}")
    if trace.documents > 1:
        facts.append(f"{trace.documents} documents")
    title = f"{style.header}trace {terminal_safe(trace_id)}{style.reset}"
    if trace.name:
        title += f"  {terminal_safe(trace.name, _NAME_LIMIT)}"
    out.write(f"{title}\n{style.dim}{' · '.join(facts)}{style.reset}\n")
    if trace.command_line_args:
        command = terminal_safe(" ".join(trace.command_line_args), 4 * _NAME_LIMIT)
        out.write(f"{style.dim}command: {command}{style.reset}\n")
    if trace.root_trace_id not in (None, trace_id):
        root_id = terminal_safe(trace.root_trace_id, _NAME_LIMIT)
        point = trace.meta.get("trace_point") if isinstance(trace.meta, dict) else None
        if isinstance(point, dict):
            function = point.get("co_name")
            function = terminal_safe(function if isinstance(function, str) else "?", _NAME_LIMIT)
            out.write(
                f"{style.dim}a trace point: a call of {function} stored while trace "
                f"{root_id} was recorded{style.reset}\n"
            )
        else:
            out.write(f"{style.dim}a subtree flushed from trace {root_id}{style.reset}\n")
    process = _process_header(trace.process_facts())
    if process:
        out.write(f"{style.dim}{process}{style.reset}\n")
    if getattr(args, "at", None) is not None:
        return max(status, _show_at(args, out, style, trace, flushed_calls))
    by_task = getattr(args, "by", "thread") == "task"
    for thread in trace.ordered_threads():
        root: Any = traceindex.IndexNode(thread, 0)
        view = tasktree.group_by_task(root) if by_task else None
        if view is not None and view.tasks:
            root = tasktree.OutsideRoot(root, view)
        calls = root.calls_below
        ident = f"native {thread.native_id}" if thread.native_id is not None else thread.key
        ident = terminal_safe(ident, _NAME_LIMIT)
        if view is not None and view.tasks:
            ident += f" · {len(view.tasks)} asyncio task{'s' if len(view.tasks) != 1 else ''}"
        lines = _tree_lines(args, root, style, flushed_calls)
        first = next(lines, None)
        if first is None and args.grep is not None:
            continue  # nothing of this thread matches
        out.write(
            f"\n{style.header}thread {terminal_safe(thread.name, _NAME_LIMIT)}{style.reset}"
            f"{style.dim} ({ident}) · "
            f"{calls:,} call{'s' if calls != 1 else ''}{style.reset}\n"
        )
        if first is not None:
            out.write(first + "\n")
        report = None
        if progress is not None and progress.on:
            name = terminal_safe(thread.name, _NAME_LIMIT)

            def report(written: int) -> None:
                progress(f"showing trace {trace_id}: thread {name}, {written:,} lines")

        _write_lines(out, lines, report)
        if view is not None and view.resumes_as_calls:
            out.write(
                f"{style.dim}  (recorded by the profile hook, which sees no resumes: each time "
                f"a task resumes, its coroutines show as new calls; the monitor engine, on "
                f"Python 3.12 and later, records them as resumes){style.reset}\n"
            )
        if view is not None:
            _show_tasks(args, out, style, view, flushed_calls)
    return status


def _write_lines(
    out: TextIO, lines: Iterator[str], report: Callable[[int], None] | None = None
) -> None:
    """Write ``lines``, each ended by a newline, a batch at a time; ``report(lines written)``
    every :data:`_PROGRESS_EVERY` lines."""
    batch: list[str] = []
    written = 0
    for line in lines:
        batch.append(line)
        if len(batch) >= _PROGRESS_EVERY:
            batch.append("")
            out.write("\n".join(batch))
            written += len(batch) - 1
            batch.clear()
            if report is not None:
                report(written)
    if batch:
        batch.append("")
        out.write("\n".join(batch))


def _tree_lines(
    args: argparse.Namespace,
    root: Any,
    style: render.Style,
    flushed_calls: dict[str, int],
    indent: str = "  ",
) -> Iterator[str]:
    """The lines of a call tree as `traces show`'s options ask for them."""
    return render.render_tree(
        root,
        style=style,
        max_depth=args.depth,
        grep=args.grep,
        width=args.max_width,
        flushed_calls=flushed_calls,
        indent=indent,
        show_locals=args.locals,
    )


def _show_at(
    args: argparse.Namespace,
    out: TextIO,
    style: render.Style,
    trace: traceindex.TraceIndex,
    flushed_calls: dict[str, int],
) -> int:
    """One call of the trace with its callers above it and its calls below it."""
    from vask.callsearch import QueryError, parse_node_ref

    try:
        key, node = parse_node_ref(args.at)
    except QueryError as error:
        raise CliError(str(error), 2) from None
    thread = trace.threads.get(key)
    if thread is None or not 0 < node < thread.nodes:
        raise CliError(f"trace {trace.trace_id} has no call {args.at}", 1)
    ident = f"native {thread.native_id}" if thread.native_id is not None else thread.key
    out.write(
        f"\n{style.header}thread {terminal_safe(thread.name, _NAME_LIMIT)}{style.reset}"
        f"{style.dim} ({terminal_safe(ident, _NAME_LIMIT)}){style.reset}\n"
    )
    depth = 0
    for depth, ancestor in enumerate([*thread.ancestors(node), node]):
        line = render.node_line(
            traceindex.IndexNode(thread, ancestor), style=style, width=args.max_width
        )
        mark = f"{style.marker}▶ {style.reset}" if ancestor == node else ""
        out.write(f"  {'  ' * min(depth, render.MAX_INDENT_DEPTH)}{mark}{line}\n")
    lines = _tree_lines(
        args,
        traceindex.IndexNode(thread, node),
        style,
        flushed_calls,
        indent="  " + "  " * min(depth + 1, render.MAX_INDENT_DEPTH),
    )
    for line in lines:
        out.write(line + "\n")
    return 0


def _show_tasks(
    args: argparse.Namespace,
    out: TextIO,
    style: render.Style,
    view: tasktree.TaskView,
    flushed_calls: dict[str, int],
) -> None:
    """Each asyncio task of a thread as a tree of its own, in the order they appear."""
    for task in view.tasks.values():
        lines = _tree_lines(
            args, tasktree.TaskRoot(task, render.format_duration, view), style, flushed_calls
        )
        first = next(lines, None)
        if first is None:
            continue  # nothing of this task matches, or none of its code was recorded
        facts = [plural(task.calls, "call"), plural(len(task.steps), "step")]
        if task.parent_task_id is not None:
            facts.append(f"started by task {task.parent_task_id}")
        if task.created_in is not None:
            site = task.created_in.record
            facts.append(f"in {render.call_label(site)}")
        out.write(
            f"\n{style.header}{terminal_safe(tasktree.task_label(task), _NAME_LIMIT)}"
            f"{style.reset}{style.dim} · {' · '.join(facts)}{style.reset}\n"
        )
        if first is not None:
            out.write(first + "\n")
        out.writelines(line + "\n" for line in lines)


def _process_header(facts: dict[str, Any]) -> str:
    """``process: pid N (NAME) · started by pid M, trace T`` from a trace's process facts."""
    if facts["pid"] is None:
        return ""
    text = f"process: pid {facts['pid']}"
    if facts["name"]:
        text += f" ({terminal_safe(facts['name'], _NAME_LIMIT)})"
    if facts["parent_pid"] is not None:
        text += f" · started by pid {facts['parent_pid']}"
        if facts["parent_trace_id"]:
            text += f", trace {terminal_safe(facts['parent_trace_id'], _NAME_LIMIT)}"
    return text


class _AsciiJson:
    """A text stream for JSON that writes DEL and every non-ASCII character as a JSON escape.

    JSON output is all strings and ASCII syntax, so the escapes are valid JSON;
    a terminal then never sees DEL, C1 controls or bidi overrides from the values
    (JSON itself escapes only the C0 controls).
    """

    _NON_ASCII = re.compile(r"[^\x00-\x7e]")

    def __init__(self, out: TextIO) -> None:
        self._out = out

    @staticmethod
    def _escape(match: re.Match[str]) -> str:
        code = ord(match.group())
        if code < 0x10000:
            return f"\\u{code:04x}"
        code -= 0x10000
        return f"\\u{0xD800 + (code >> 10):04x}\\u{0xDC00 + (code & 0x3FF):04x}"

    def write(self, text: str) -> int:
        return self._out.write(self._NON_ASCII.sub(self._escape, text))


def _loader(
    db_path: Path,
    timeout: float,
    opened: list[traceindex.TraceIndex] | weakref.WeakSet[traceindex.TraceIndex],
) -> Callable[[str], traceindex.TraceIndex | None]:
    """Reads the traces that flushed-subtree markers name, for the exports.

    Each index read is added to ``opened``, for the caller to close (held
    there only while in use when ``opened`` is a WeakSet).
    """
    keep = opened.append if isinstance(opened, list) else opened.add

    def load(trace_id: str) -> traceindex.TraceIndex | None:
        sub = traceindex.open_trace(db_path, trace_id, timeout=timeout)
        keep(sub)
        if not sub.documents:
            say(f"warning: the flushed subtree {trace_id} is not in the database; left as a marker")
            return None
        for number, reason in sub.damaged:
            say(f"warning: flushed subtree {trace_id}: document {number} is damaged ({reason})")
        return sub

    return load


def _cmd_export(args: argparse.Namespace, db_path: Path) -> int:
    (trace_id,) = _resolve_ids(db_path, [args.id], args.busy_timeout)
    progress = _Progress(args.output == "-" and _output_on_terminal())
    opened = [
        traceindex.open_trace(
            db_path, trace_id, timeout=args.busy_timeout, progress=progress.indexing(trace_id)
        )
    ]
    # The flushed subtrees, each closed and let go by the export once written:
    # a large trace's subtrees are not held all at once.
    subtrees: weakref.WeakSet[traceindex.TraceIndex] = weakref.WeakSet()
    try:
        children = (
            _child_processes(db_path, trace_id, args.busy_timeout, opened) if args.children else []
        )
        with held_sources():
            return _export(
                args, opened[0], _loader(db_path, args.busy_timeout, subtrees), children, progress
            )
    finally:
        progress.done()
        for trace in [*opened, *subtrees]:
            trace.close()


def _child_processes(
    db_path: Path, trace_id: str, timeout: float, opened: list[traceindex.TraceIndex]
) -> list[traceindex.TraceIndex]:
    """The traces of the processes the trace's process started, and theirs, in that order.

    Each index read is added to ``opened``, for the caller to close; a trace
    that cannot be read is named and left out.
    """
    found: list[traceindex.TraceIndex] = []
    seen = {trace_id}
    level = [trace_id]
    while level:
        below = query.child_traces(db_path, level, timeout=timeout)
        level = []
        for parent in below.values():
            for child_id in parent:
                if child_id in seen:
                    continue
                seen.add(child_id)
                child = traceindex.open_trace(db_path, child_id, timeout=timeout)
                opened.append(child)
                for number, reason in child.damaged:
                    say(f"warning: trace {child_id}: document {number} is damaged ({reason})")
                if len(child.damaged) < child.documents:
                    found.append(child)
                    level.append(child_id)
    return found


def _is_special_file(path: Path) -> bool:
    """Whether ``path`` names something that exists and is not a regular file or a directory."""
    try:
        mode = path.stat().st_mode
    except OSError:
        return False
    return not (stat.S_ISREG(mode) or stat.S_ISDIR(mode))


def _export(
    args: argparse.Namespace,
    trace: traceindex.TraceIndex,
    load: Callable[[str], traceindex.TraceIndex | None],
    children: list[traceindex.TraceIndex],
    progress: _Progress | None = None,
) -> int:
    trace_id = trace.trace_id
    if trace.size > 50 * 1024 * 1024:
        say(f"exporting trace {trace_id} ({render.format_bytes(trace.size)}) …")
    written = None
    if progress is not None and progress.on:

        def written(events: int) -> None:
            progress(f"exporting trace {trace_id}: {events:,} events written")

    for number, reason in trace.damaged:
        say(f"trace {trace_id}: document {number} is damaged ({reason}); exporting the rest")
    if len(trace.damaged) == trace.documents:
        raise CliError(f"trace {trace_id} cannot be exported: all its documents are damaged", 1)
    chosen = write_speedscope if args.format == "speedscope" else write_chrome_trace
    writer = functools.partial(chosen, by_task=getattr(args, "by", "thread") == "task")
    suffix = ".speedscope.json" if args.format == "speedscope" else ".json"
    output = args.output or f"{trace_id}{suffix}{'.gz' if args.gzip else ''}"
    status = 1 if trace.damaged else 0
    if output == "-":
        # ASCII only: JSON's own escapes keep control characters off a terminal.
        stdout = _AsciiJson(sys.stdout)
        if args.gzip:
            with gzip.open(sys.stdout.buffer, "wt", encoding="utf-8") as f:
                writer(trace, f, load=load, children=children, progress=written)
        else:
            writer(trace, stdout, load=load, children=children, progress=written)
            sys.stdout.write("\n")
        return status
    path = Path(output)

    def write_to(raw: Any) -> int:
        if args.gzip:
            with gzip.open(raw, "wt", encoding="utf-8") as f:
                return writer(trace, f, load=load, children=children, progress=written)
        with io.TextIOWrapper(raw, encoding="utf-8") as f:
            return writer(trace, f, load=load, children=children, progress=written)

    tmp = path.with_name(f".{path.name}.tmp{os.getpid()}")
    created = False
    try:
        if _is_special_file(path):
            # A device or a pipe (/dev/null, a FIFO a reader waits on) is
            # written where it is: renaming a file over it would replace it.
            with open(path, "wb") as raw:
                calls = write_to(raw)
        else:
            # Private, like the database: traces hold the program's local
            # variables. A file is only ever seen whole: written aside, then
            # put in place.
            fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
            created = True
            with open(fd, "wb") as raw:
                calls = write_to(raw)
            os.replace(tmp, path)
    except OSError as error:
        if created:
            tmp.unlink(missing_ok=True)
        raise CliError(f"cannot write {output}: {error.strerror or error}", 1) from None
    except BaseException:
        if created:
            tmp.unlink(missing_ok=True)
        raise
    where = (
        "speedscope"
        if args.format == "speedscope"
        else "Perfetto UI, chrome://tracing or speedscope"
    )
    if progress is not None:
        progress.done()
    processes = ""
    if children:
        processes = f" and {len(children)} child process{'es' if len(children) != 1 else ''}"
    say(
        f"wrote {calls:,} calls of trace {trace_id} in {plural(len(trace.threads), 'thread')}"
        f"{processes} to {output}; open it in {where}"
    )
    return status


def _test_pair(db_path: Path, nodeid: str, timeout: float) -> list[str]:
    """The test's last passing trace and its last failing (or erroring) one, in that order."""
    summaries = [s for s in _summaries(db_path, timeout) if s.trace_name == nodeid]
    if not summaries:
        raise CliError(f"no traces of the test {nodeid} in {display(db_path)}", 1)
    # newest first
    summaries.sort(key=lambda s: (s.timestamp or 0, s.stored_at or 0), reverse=True)
    failing = next((s for s in summaries if s.outcome in ("failed", "error")), None)
    if failing is None:
        raise CliError(f"the test {nodeid} has no failing trace in {display(db_path)}", 1)
    passing = next((s for s in summaries if s.outcome == "passed"), None)
    if passing is None:
        raise CliError(
            f"the test {nodeid} has no passing trace to compare with in {display(db_path)} "
            "(pytest --vask-keep failed+baseline keeps one)",
            1,
        )
    return [passing.trace_id, failing.trace_id]


def _cmd_diff(args: argparse.Namespace, db_path: Path) -> int:
    from vask.diff import diff_traces

    for pattern in args.mask:
        try:
            re.compile(pattern)
        except re.error as error:
            raise CliError(f"--mask {pattern!r} is not a regular expression: {error}", 2) from None
    if args.test is not None:
        if args.ids:
            raise CliError("give either two trace ids or --test NODEID, not both", 2)
        ids = _test_pair(db_path, args.test, args.busy_timeout)
    else:
        if len(args.ids) != 2:
            raise CliError("give two trace ids (or --test NODEID)", 2)
        ids = _resolve_ids(db_path, args.ids, args.busy_timeout)
    opened: list[traceindex.TraceIndex] = []
    try:
        a = traceindex.open_trace(db_path, ids[0], timeout=args.busy_timeout)
        opened.append(a)
        b = traceindex.open_trace(db_path, ids[1], timeout=args.busy_timeout)
        opened.append(b)
        for trace in (a, b):
            for number, reason in trace.damaged:
                say(f"warning: trace {trace.trace_id}: document {number} is damaged ({reason})")
        loader = _loader(db_path, args.busy_timeout, opened)
        result = diff_traces(a, b, masks=args.mask, load_a=loader, load_b=loader)
    finally:
        for trace in opened:
            trace.close()
    out = sys.stdout
    if args.json:
        json.dump(result.to_json(), out, indent=1, ensure_ascii=False)
        out.write("\n")
    else:
        for line in render_diff(result, args.limit).splitlines():
            out.write(terminal_safe(line) + "\n")
    differs = result.changed or result.added or result.removed or result.diffs
    return 1 if differs else 0


def render_diff(result: Any, limit: int) -> str:
    """The text of a diff: the first divergence, the differing calls, the counts."""
    lines = [f"A {result.a}", f"B {result.b}"]
    first = result.first
    if first is None:
        lines.append("no differences")
    else:
        lines.append("")
        lines.append(f"first divergence (thread {first.thread}):")
        for depth, label in enumerate(first.parents):
            lines.append(f"  {'  ' * depth}{label}")
        lines.extend(_diff_lines(first, "  " + "  " * len(first.parents), detail=True))
        lines.append("")
        lines.append("differing calls:")
        last_parents: list[str] | None = None
        for shown, d in enumerate(result.diffs):
            if shown >= limit:
                lines.append(f"  … {len(result.diffs) - shown:,} more (--limit, --json)")
                break
            if d.parents != last_parents:
                where = " › ".join(d.parents) if d.parents else "(top level)"
                lines.append(f"  [{d.thread}] {where}")
                last_parents = d.parents
            lines.extend(_diff_lines(d, "    ", detail=False))
    for name, status in result.threads:
        lines.append(f"thread {name}: only in {'B' if status == 'added' else 'A'}")
    lines.append("")
    lines.append(
        f"{result.matched:,} matched, {result.changed:,} changed, "
        f"{result.added:,} added, {result.removed:,} removed"
    )
    return "\n".join(lines) + "\n"


_MARKS = {"changed": "~", "added": "+", "removed": "-"}


def _diff_lines(d: Any, indent: str, detail: bool) -> list[str]:
    where = f"  {d.path}" if d.path else ""
    inside = f" (and {plural(d.calls_below, 'call')} inside)" if d.calls_below else ""
    side = {"added": "  [only in B]", "removed": "  [only in A]"}.get(d.status, "")
    lines = [f"{indent}{_MARKS[d.status]} {d.label}{side}{inside}{where}"]
    changes = d.changes if detail else d.changes[:5]
    for c in changes:
        what = f"{c.what} {c.name}" if c.name else c.what
        a = "(none)" if c.a is None else c.a
        b = "(none)" if c.b is None else c.b
        if detail:
            lines.append(f"{indent}    {what}:")
            lines.append(f"{indent}      A: {_cut(a)}")
            lines.append(f"{indent}      B: {_cut(b)}")
        else:
            lines.append(f"{indent}    {what}: {_cut(a, 60)}  ≠  {_cut(b, 60)}")
    if len(d.changes) > len(changes):
        lines.append(f"{indent}    … {len(d.changes) - len(changes)} more values")
    return lines


def _cut(text: str, width: int = 500) -> str:
    return text if len(text) <= width else text[: width - 1] + "…"


def _cmd_delete(args: argparse.Namespace, db_path: Path) -> int:
    ids = list(dict.fromkeys(_resolve_ids(db_path, args.ids, args.busy_timeout, roots=True)))
    rows = maintain.delete_traces(db_path, ids, timeout=args.busy_timeout)
    freed = _compact(args, db_path, rows)
    say(f"deleted {len(ids)} trace{'s' if len(ids) != 1 else ''} ({rows} documents){freed}")
    return 0


def _compact(args: argparse.Namespace, db_path: Path, rows: int) -> str:
    """Shrink the database file after deleting ``rows`` rows; the text to report it."""
    if not rows:
        return ""
    try:
        freed = maintain.compact(db_path, timeout=args.busy_timeout)
    except sqlite3.Error as error:
        say(f"warning: could not shrink {display(db_path)}: {error}")
        return ""
    return f"; freed {render.format_bytes(freed)}"


def _cmd_prune(args: argparse.Namespace, db_path: Path) -> int:
    if args.per_test is not None:
        tests_before = len(_summaries(db_path, args.busy_timeout))
        rows = maintain.prune_per_test(db_path, args.per_test, timeout=args.busy_timeout)
        removed = tests_before - len(_summaries(db_path, args.busy_timeout))
        say(
            f"deleted {removed} trace{'s' if removed != 1 else ''} ({rows} documents); "
            f"kept the newest {args.per_test} of each test{_compact(args, db_path, rows)}"
        )
        return 0
    before = len({s.root_trace_id or s.trace_id for s in _summaries(db_path, args.busy_timeout)})
    rows = maintain.prune(db_path, args.keep, timeout=args.busy_timeout)
    removed = max(before - args.keep, 0)
    say(
        f"deleted {removed} trace{'s' if removed != 1 else ''} ({rows} documents); "
        f"kept the newest {min(before, args.keep)}{_compact(args, db_path, rows)}"
    )
    return 0


def _cmd_import(args: argparse.Namespace, db_path: Path) -> int:
    status = 0
    for path in args.files:
        try:
            source = traceindex.FileSource(path)
        except OSError as error:
            say(f"error: cannot read {path}: {error.strerror or error}")
            status = 1
            continue
        except ValueError as error:
            say(f"error: cannot import {path}: {error}")
            status = 1
            continue
        try:
            status = max(status, _import_one(args, db_path, path, source))
        except OSError as error:
            say(f"error: cannot read {path}: {error.strerror or error}")
            status = 1
        finally:
            source.close()
    return status


def _import_one(
    args: argparse.Namespace, db_path: Path, path: Path, source: traceindex.FileSource
) -> int:
    """Store one side file, reading it a part at a time (it may be larger than memory)."""
    # Read it the way show does: what imports can be shown.
    reason = traceindex.source_damage(source)
    if reason is not None:
        say(f"error: cannot import {path}: {reason}")
        return 1
    try:
        head = document.read_head(source.read(0, 1 << 16))
    except ValueError as error:
        say(f"error: cannot import {path}: {error}")
        return 1
    trace_id = head.get("trace_id")
    if not (isinstance(trace_id, str) and trace_id.startswith("trc_")):
        say(f"error: cannot import {path}: not a trace document (it has no trace id)")
        return 1
    if _already_stored(db_path, trace_id, source, args.busy_timeout):
        say(f"trace {trace_id} from {path} is already in {display(db_path)}")
        return 0
    row = store.store_file(trace_id, path, db_path, args.busy_timeout, head)
    say(
        f"imported trace {trace_id} ({row.calls:,} calls) from {path} into {display(db_path)}; "
        f"see it with: vask traces show {trace_id}"
    )
    return 0


def _already_stored(
    db_path: Path, trace_id: str, source: traceindex.FileSource, timeout: float
) -> bool:
    """Whether a document with the same bytes is stored under ``trace_id``."""
    conn = schema.open_reader(db_path, timeout)
    if conn is None:
        return False
    try:
        return query.holds_document(conn, trace_id, source.size, source.read)
    finally:
        conn.close()


def _cmd_view(args: argparse.Namespace, db_path: Path) -> int:
    from vask.viewer.server import Viewer, make_server

    (trace_id,) = _resolve_ids(db_path, [args.id], args.busy_timeout)
    viewer = Viewer(db_path, args.busy_timeout)
    try:
        server = make_server(viewer, args.port)
    except OSError as error:
        raise CliError(
            f"cannot listen on 127.0.0.1:{args.port}: {error.strerror or error}", 1
        ) from None
    url = f"http://127.0.0.1:{server.server_address[1]}/#trace={trace_id}"
    try:
        # Index the trace before the page asks for it, saying so when that takes a while.
        entry = viewer.entry(trace_id)
        if not entry.ready.wait(1.0):
            say(f"indexing trace {trace_id} …")
            while not entry.ready.wait(5.0):
                if entry.total:
                    size = render.format_bytes(entry.total)
                    say(f"indexing: {entry.done * 100 // entry.total}% of {size}")
        if entry.error is not None:
            say(f"warning: {entry.error}")
        elif entry.index is not None:
            for number, reason in entry.index.damaged:
                say(f"warning: trace {trace_id}: document {number} is damaged ({reason})")
        say(f"viewer of {display(db_path)} at {url}  (Ctrl-C stops it)")
        if not args.no_open:
            import webbrowser

            threading.Thread(target=webbrowser.open, args=(url,), daemon=True).start()
        server.serve_forever()
    except KeyboardInterrupt:
        say("viewer stopped")
    finally:
        server.server_close()
        viewer.close()
    return 0


TRACE_COMMANDS = {
    "list": _cmd_list,
    "show": _cmd_show,
    "export": _cmd_export,
    "diff": _cmd_diff,
    "delete": _cmd_delete,
    "prune": _cmd_prune,
    "import": _cmd_import,
    "view": _cmd_view,
}
