"""``vask calls PATTERN``: calls found across every stored trace; ``traces reindex``."""

from __future__ import annotations

import argparse
import json
import math
import sys
from pathlib import Path
from typing import Any

from vask import callsearch, render
from vask.cli.common import CliError, display, say
from vask.storage import callindex, schema
from vask.textsafe import terminal_safe
from vask.values import ObjectRepr, StoredObject, StoredSet

__all__ = ["cmd_calls", "cmd_reindex"]

_NAME_LIMIT = 200


class _Shown:
    """A match shaped as a call node for the text view's call line."""

    kind = "call"

    def __init__(self, match: callsearch.CallMatch) -> None:
        self.start = match.start_record
        self.end = match.end_record
        self.record = self.start if self.start is not None else (self.end or {})


def _progress(stream: Any) -> Any:
    """Progress of a lazy index build, on a terminal only."""
    if not stream.isatty():
        return None
    state = {"shown": False}

    def show(done: int, total: int) -> None:
        if total < 2:
            return
        state["shown"] = True
        stream.write(f"\rindexing stored traces: {done}/{total}")
        if done == total:
            stream.write("\n")
        stream.flush()

    return show


def _predicates(args: argparse.Namespace) -> list[callsearch.Predicate]:
    out = []
    for where in ("arg", "local", "return"):
        for words in getattr(args, f"{where}_predicates"):
            out.append(callsearch.Predicate.parse(where, words))
    return out


def cmd_calls(args: argparse.Namespace, db_path: Path) -> int:
    try:
        predicates = _predicates(args)
    except callsearch.QueryError as error:
        raise CliError(str(error), 2) from None
    trace = None
    if args.trace is not None:
        from vask.cli.traces import _resolve_ids

        trace = _resolve_ids(db_path, [args.trace], args.busy_timeout)[0]
    matches = callsearch.find_calls(
        db_path,
        args.pattern,
        raised=args.raised,
        returned=args.returned,
        slowest=args.slowest,
        test=args.test,
        outcome=args.outcome,
        trace=trace,
        predicates=predicates,
        limit=args.limit,
        timeout=args.busy_timeout,
        progress=_progress(sys.stderr),
    )
    out = sys.stdout
    if args.json:
        out.write(json.dumps([_as_json(m) for m in matches], indent=1, default=str))
        out.write("\n")
        return 0
    count = 0
    truncated = 0
    for match in matches:
        count += 1
        truncated += match.truncated
        _write_match(out, match, args.max_width, db_path, args.db is not None)
    if count == 0:
        say("no calls match")
    elif truncated:
        say(
            f"{truncated} of {count} matched on values the recording had cut: "
            "only what was kept was compared"
        )
    return 0


def _write_match(out: Any, match: callsearch.CallMatch, width: int, db: Path, named: bool) -> None:
    test = f"  test {match.test} ({match.test_outcome})" if match.test else ""
    thread = match.thread_name or match.thread
    out.write(
        terminal_safe(f"trace {match.trace_id}{test} · thread {thread}", 4 * _NAME_LIMIT) + "\n"
    )
    if match.outcome == "folded":
        line = (
            f"{match.qualname}  ×{match.folded} folded calls"
            f"  {render.format_duration(match.duration) if match.duration is not None else ''}"
            f"  {match.file}:{match.line}"
        )
    elif match.start_record is None and match.end_record is None:
        line = f"{match.qualname}  {match.file}:{match.line}"
    else:
        line = "".join(text for _, text in render._call_parts(_Shown(match), width))
    if match.truncated:
        line += "  (matched on a cut value)"
    out.write("  " + terminal_safe(line, 8 * _NAME_LIMIT) + "\n")
    db_option = f" --db {db}" if named else ""
    out.write(
        terminal_safe(
            f"  vask traces show {match.trace_id} --at {match.ref}{db_option}", 4 * _NAME_LIMIT
        )
        + "\n"
    )


def _as_json(match: callsearch.CallMatch) -> dict[str, Any]:
    return {
        "trace_id": match.trace_id,
        "test": match.test,
        "test_outcome": match.test_outcome,
        "thread": match.thread,
        "thread_name": match.thread_name,
        "node": match.ref,
        "qualname": match.qualname,
        "file": match.file,
        "line": match.line,
        "depth": match.depth,
        "start": match.start,
        # the records are read for the values anyway: their times are exact
        "duration": match.recorded_duration,
        "outcome": match.outcome,
        "exception_type": match.exception_type,
        "folded": match.folded,
        "args": to_json(match.args),
        "return": to_json(match.return_value) if match.outcome == "returned" else None,
        "exception": to_json(match.exception) if match.exception is not None else None,
        "truncated": match.truncated,
    }


def to_json(value: Any, depth: int = 0) -> Any:
    """A stored value as plain JSON: reprs and markers as their text, tuples and sets as lists."""
    if depth > 32:
        return "…"
    if value is None or isinstance(value, (bool, int, str)):
        return value
    if isinstance(value, float):
        return value if math.isfinite(value) else repr(value)
    if isinstance(value, ObjectRepr):
        return value.text
    if isinstance(value, dict):
        return {str(k): to_json(v, depth + 1) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [to_json(v, depth + 1) for v in value]
    if isinstance(value, StoredSet):
        return [to_json(v, depth + 1) for v in value.items]
    if isinstance(value, StoredObject) and not value.fields:
        return render.format_value(value)  # its type, which an empty map would not say
    fields = getattr(value, "fields", None)
    if isinstance(fields, dict):
        return {str(k): to_json(v, depth + 1) for k, v in fields.items()}
    return repr(value)


def cmd_reindex(args: argparse.Namespace, db_path: Path) -> int:
    conn = schema.open_existing(db_path, args.busy_timeout)
    if conn is None:
        raise CliError(f"no trace database at {display(db_path)}", 1)
    try:
        calls = callindex.reindex(conn, _progress(sys.stderr))
        traces = conn.execute("SELECT COUNT(*) FROM call_traces").fetchone()[0]
    finally:
        conn.close()
    say(f"indexed {calls:,} calls of {traces:,} traces")
    return 0
