"""Every reader of stored traces over mutated real documents.

The seed is the example shop traced once; hypothesis mutates its bytes
(flips, inserts, cuts, splices) and its structure (any value, deep in a
record or at the top, replaced by a hostile one: huge or odd numbers, escape
sequences, containers where texts belong, nesting a thousand levels deep).
Every reader must then either read the document or name it as damaged: no
other exception, no output a terminal would act on, no JSON that is not JSON.

Examples are derandomized so that CI is stable; ``VASK_FUZZ_RANDOM=1`` draws new
ones and ``VASK_FUZZ_EXAMPLES=N`` runs N of them per test.
"""

from __future__ import annotations

import copy
import io
import json
import math
import os
import re
import shutil
import tempfile
from contextlib import closing, redirect_stderr, redirect_stdout
from pathlib import Path
from typing import Any

import msgpack
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from test_cli import REPO, vask_cmd
from vask import cli, db, document
from vask.calltree import build_call_tree
from vask import traceindex
from vask.export import write_chrome_trace, write_speedscope
from vask.render import Style, render_tree

# A line of output a terminal would act on (a forged line break included).
UNSAFE = re.compile("[\x00-\x1f\x7f-\x9f\u061c\u200e\u200f\u2028-\u202e\u2066-\u2069]")
DEEP = "VASK_FUZZ_DEEP"


def fuzz_settings(examples: int) -> settings:
    return settings(
        # VASK_FUZZ_EXAMPLES sets every test's number; VASK_FUZZ_SCALE scales
        # each one's own (the sanitizer run, where each costs more, tries fewer).
        max_examples=int(
            os.environ.get(
                "VASK_FUZZ_EXAMPLES",
                max(20, round(examples * float(os.environ.get("VASK_FUZZ_SCALE", "1")))),
            )
        ),
        derandomize="VASK_FUZZ_RANDOM" not in os.environ,
        deadline=None,
        database=None,
        suppress_health_check=list(HealthCheck),
    )


@pytest.fixture(scope="module")
def seed(tmp_path_factory: pytest.TempPathFactory) -> dict[str, Any]:
    """The example shop traced once: its trace id and stored document."""
    work = tmp_path_factory.mktemp("fuzz-seed")
    shutil.copytree(REPO / "examples", work / "examples")
    vask_cmd("run", "-m", "examples.shop", cwd=work)
    path = work / ".vask" / "db.sqlite3"
    (summary,) = db.list_traces(path)
    (data,) = db.load_trace(path, summary.trace_id)
    return {"trace_id": summary.trace_id, "data": data}


HOSTILE = st.one_of(
    st.sampled_from(
        [
            None,
            True,
            0,
            -1,
            2**64 - 1,
            -(2**63),
            1e300,
            -1e300,
            math.inf,
            -math.inf,
            math.nan,
            "",
            "\x1b]0;owned\x07\x1b[2J\r",
            "\u202eevil\u2028line\nbreak",
            "<Obj \x1b[31mred\x1b[0m>",
            "x" * 5000,
            b"\x00\xff",
            [],
            {},
            ["frm_unhashable"],
            {"event": "call", "frame_id": None},
            {1: "int key", None: "nil key", b"k": "bin key", 2.5: "float key"},
            msgpack.ExtType(5, b"ext"),
            DEEP,
        ]
    ),
    st.integers(-(2**63), 2**64 - 1),
    st.floats(),
    st.text(max_size=20),
    st.binary(max_size=20),
)


def _pick(draw: Any, node: Any) -> tuple[Any, Any] | None:
    """A (container, key or index) pair inside ``node``, or None when it is empty."""
    if isinstance(node, dict) and node:
        return node, draw(st.sampled_from(list(node)))
    if isinstance(node, list) and node:
        return node, draw(st.integers(0, len(node) - 1))
    return None


class Seed(bytes):
    """The seed's bytes, with a short repr for hypothesis to print."""

    def __repr__(self) -> str:
        return f"<seed document, {len(self)} bytes>"


@st.composite
def restructured(draw: Any, data: Seed) -> bytes:
    """The seed document with one to three values (or keys) replaced by hostile ones."""
    doc = msgpack.unpackb(data, raw=False, strict_map_key=False)
    for _ in range(draw(st.integers(1, 3))):
        node: Any = doc
        threads = doc.get("threads") if isinstance(doc, dict) else None
        if isinstance(threads, dict) and draw(st.booleans()):
            # most of a document is records: start in one
            lists = [
                t["frames"] for t in threads.values() if isinstance(t, dict) and t.get("frames")
            ]
            if lists:
                node = draw(st.sampled_from(lists))
        spot = _pick(draw, node)
        for _ in range(draw(st.integers(0, 4))):
            below = _pick(draw, spot[0][spot[1]]) if spot else None
            if below is None:
                break
            spot = below
        if spot is None:
            continue
        container, key = spot
        if isinstance(container, dict) and draw(st.integers(0, 4)) == 0:
            new_key = draw(st.sampled_from([1, None, b"key", 2.5, "", "\x1b[2J"]))
            container[new_key] = container.pop(key)
        else:
            # A copy: the sampled containers are shared between examples.
            container[key] = copy.deepcopy(draw(HOSTILE))
    data = msgpack.packb(doc, use_bin_type=True)
    depth = draw(st.integers(100, 1030))
    return data.replace(msgpack.packb(DEEP), b"\x91" * depth + b"\xc0", 1)


@st.composite
def damaged_bytes(draw: Any, data: bytes) -> bytes:
    """``data`` with one to four byte-level changes."""
    for _ in range(draw(st.integers(1, 4))):
        at = draw(st.integers(0, len(data)))
        kind = draw(st.sampled_from(["flip", "insert", "delete", "truncate", "splice"]))
        if kind == "flip" and at < len(data):
            data = data[:at] + bytes([draw(st.integers(0, 255))]) + data[at + 1 :]
        elif kind == "insert":
            data = data[:at] + draw(st.binary(min_size=1, max_size=8)) + data[at:]
        elif kind == "delete":
            data = data[:at] + data[at + draw(st.integers(1, 64)) :]
        elif kind == "truncate":
            data = data[:at]
        else:  # a piece of the document put elsewhere in it
            start = draw(st.integers(0, len(data)))
            data = data[:at] + data[start : start + draw(st.integers(1, 200))] + data[at:]
    return data


def mutations(seed: dict[str, Any]) -> st.SearchStrategy[bytes]:
    data = Seed(seed["data"])
    structural = restructured(data)
    return st.one_of(
        structural,
        damaged_bytes(data),
        structural.map(Seed).flatmap(damaged_bytes),
    )


def check_lines(lines: list[str]) -> None:
    for line in lines:
        assert not UNSAFE.search(line), line


def reject_constant(name: str) -> None:
    raise AssertionError(f"the export wrote {name}, which JSON does not have")


def read_everything(trace_id: str, data: bytes, good: bytes) -> None:
    """Every reader over ``data``; only the readers' own errors may come out."""
    assert document.check_document(data) is None or isinstance(document.check_document(data), str)
    try:
        facts = document.document_facts(data)
    except document.DamagedDocument:
        pass
    else:
        timestamp = facts.get("timestamp")
        assert timestamp is None or math.isfinite(timestamp)
    try:
        document.read_head(data)
    except ValueError:
        pass
    trace = document.merge_documents(trace_id, [data, good])
    assert [n for n, _ in trace.damaged] in ([], [1])
    for thread in trace.ordered_threads():
        root = build_call_tree(thread.records)
        for options in ({"width": 40}, {"width": 0, "max_depth": 3}, {"width": 80, "grep": "e"}):
            check_lines(list(render_tree(root, style=Style(), **options)))
    # The index is what show, the exports and the viewer read through.
    index = traceindex.build_index(trace_id, [data, good])
    assert [n for n, _ in index.damaged] in ([], [1])
    for thread in index.ordered_threads():
        node = traceindex.IndexNode(thread, 0)
        check_lines(list(render_tree(node, style=Style(), width=40, show_locals=True)))
    for writer in (write_chrome_trace, write_speedscope):
        out = io.StringIO()
        writer(index, out)
        json.loads(out.getvalue(), parse_constant=reject_constant)


def test_the_readers_read_or_name_every_mutated_document(seed: dict[str, Any]) -> None:
    @fuzz_settings(350)
    @given(data=mutations(seed))
    def readers(data: bytes) -> None:
        read_everything(seed["trace_id"], data, seed["data"])

    readers()


def store(path: Path, trace_id: str, data: bytes) -> None:
    """Store ``data`` as it is, the way damage at rest or an old import leaves it."""
    with closing(db.connect(path)) as conn:
        conn.execute(
            "INSERT INTO traces (trace_id, root_trace_id, trace_name, timestamp, stored_at,"
            " size, calls, data) VALUES (?, ?, NULL, ?, 0, ?, 1, ?)",
            (trace_id, trace_id, 1e300, len(data), data),
        )


def run_cli(args: list[str]) -> tuple[int, str]:
    out, err = io.StringIO(), io.StringIO()
    with redirect_stdout(out), redirect_stderr(err):
        status = cli.main(args)
    return status, out.getvalue() + err.getvalue()


def test_the_commands_read_or_name_every_mutated_document(seed: dict[str, Any]) -> None:
    mutated_id = "trc_01MUTATEDMUTATEDMUTATEDMU"

    @fuzz_settings(80)
    @given(data=mutations(seed))
    def commands(data: bytes) -> None:
        with tempfile.TemporaryDirectory() as work:
            path = Path(work) / "t.db"
            store(path, seed["trace_id"], seed["data"])
            store(path, mutated_id, data)
            for args in (
                ["list"],
                ["list", "--json"],
                ["show", mutated_id, "--max-width", "30"],
                ["export", mutated_id, "-o", "-"],
            ):
                status, output = run_cli(["traces", *args, "--db", str(path)])
                assert status in (0, 1), output
                check_lines(output.splitlines())
                assert "Traceback" not in output

    commands()


def test_the_native_index_agrees_with_the_python_reader_on_mutated_documents(
    seed: dict[str, Any], monkeypatch: pytest.MonkeyPatch
) -> None:
    from test_trace_scanner import Pieces, snapshot

    monkeypatch.setattr(document, "CHUNK", 509)  # many chunk boundaries inside records

    @fuzz_settings(150)
    @given(data=mutations(seed))
    def agree(data: bytes) -> None:
        for pieces in (False, True):
            sources = [Pieces(data) if pieces else data, seed["data"]]
            native = snapshot(traceindex.build_index(seed["trace_id"], sources))
            with monkeypatch.context() as m:
                m.setattr(traceindex, "_scan_records", None)
                m.setattr(traceindex, "_link_records", None)
                python = snapshot(traceindex.build_index(seed["trace_id"], sources))
            assert native == python

    agree()
