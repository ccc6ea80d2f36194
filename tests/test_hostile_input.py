"""Reading hostile and damaged input: databases, documents and text made to break vask.

Reading changes nothing; a damaged document is named and skipped; a hostile
row or value is bounded; everything printed is safe for a terminal.
"""

from __future__ import annotations

import io
import json
import re
import sqlite3
from contextlib import closing
from pathlib import Path

import msgpack
import pytest
from test_cli import document, frame, vask_cmd
from vask import cli, db
from vask import document as vask_document
from vask.calltree import build_call_tree
from vask import traceindex
from vask.export import write_chrome_trace, write_speedscope
from vask.render import Style, render_tree

ROOT = "trc_01HOSTILEHOSTILEHOSTILEHOS"
GOOD = "trc_01GOODGOODGOODGOODGOODGOO"
# What a terminal acts on: C0 and C1 controls, DEL, bidi controls, separators.
UNSAFE = re.compile("[\x00-\x09\x0b-\x1f\x7f-\x9f\u061c\u200e\u200f\u2028-\u202e\u2066-\u2069]")


def call_and_return(n: int, ts: float, name: str = "f", **extra: object) -> list[dict]:
    return [frame("call", n, ts, name, **extra), frame("return", n, ts + 0.001, name)]


def run(args: list[str], capsys: pytest.CaptureFixture[str]) -> tuple[int, str, str]:
    status = cli.main(args)
    out, err = capsys.readouterr()
    return status, out, err


def snapshot(path: Path) -> dict[str, bytes]:
    return {p.name: p.read_bytes() for p in path.parent.iterdir() if p.name.startswith(path.name)}


# -- reading changes nothing -------------------------------------------------


class TestReadOnly:
    @pytest.fixture
    def vask_db(self, tmp_path: Path) -> Path:
        path = tmp_path / "t.db"
        db.save_trace(
            GOOD, msgpack_data=document(GOOD, {"native_1": call_and_return(1, 1.0)}), db_path=path
        )
        with closing(sqlite3.connect(path)) as conn:  # another program's choice of journal
            conn.execute("PRAGMA journal_mode = DELETE")
        return path

    def test_reading_commands_leave_the_database_as_it_is(
        self, vask_db: Path, capsys: pytest.CaptureFixture[str]
    ) -> None:
        before = snapshot(vask_db)
        for args in (["list"], ["list", "--json"], ["show"], ["export", GOOD, "-o", "-"]):
            status, out, _ = run(["traces", *args, "--db", str(vask_db)], capsys)
            assert status == 0 and GOOD in out
        assert snapshot(vask_db) == before
        with closing(sqlite3.connect(vask_db)) as conn:
            assert conn.execute("PRAGMA journal_mode").fetchone()[0] == "delete"

    def test_another_programs_database_is_refused_untouched(
        self, tmp_path: Path, capsys: pytest.CaptureFixture[str]
    ) -> None:
        path = tmp_path / "app.db"
        with closing(sqlite3.connect(path)) as conn:
            conn.execute("CREATE TABLE users (name TEXT)")
            conn.commit()
        before = snapshot(path)
        for args in (["list"], ["show"], ["export", "latest"]):
            status, _, err = run(["traces", *args, "--db", str(path)], capsys)
            assert status == 1
            assert "is not a vask trace database (no table 'traces')" in err
        assert snapshot(path) == before

    def test_a_missing_database_is_an_error_and_is_not_created(
        self, tmp_path: Path, capsys: pytest.CaptureFixture[str]
    ) -> None:
        for args in (["list"], ["show"], ["export", "latest"]):
            status, _, err = run(["traces", *args, "--db", str(tmp_path / "none.db")], capsys)
            assert status == 1 and "no trace database at" in err
        assert list(tmp_path.iterdir()) == []

    @pytest.mark.parametrize(
        ("schema", "reason"),
        [
            ("CREATE TABLE traces (id INTEGER PRIMARY KEY, trace_id TEXT)", "has no column"),
            (
                (
                    "CREATE TABLE traces (id INTEGER PRIMARY KEY, trace_id, root_trace_id,"
                    " trace_name, timestamp, stored_at, size, calls,"
                    " data BLOB GENERATED ALWAYS AS (zeroblob(900000000)) VIRTUAL)"
                ),
                "has generated column(s) data",
            ),
            (
                (
                    "CREATE VIEW traces AS WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL"
                    " SELECT i + 1 FROM n) SELECT i AS id, 'trc_x' AS trace_id,"
                    " NULL AS root_trace_id, NULL AS trace_name, 0.0 AS timestamp,"
                    " 0.0 AS stored_at, 1 AS size, 0 AS calls, x'80' AS data FROM n"
                ),
                "'traces' is a view, not a table",
            ),
        ],
    )
    def test_a_traces_that_is_not_vasks_table_is_refused(
        self, tmp_path: Path, schema: str, reason: str
    ) -> None:
        with closing(sqlite3.connect(tmp_path / "t.db")) as conn:
            conn.execute(schema)
        # A subprocess: a view that never ends would hang this one.
        for args in (["list"], ["show", "trc_x"], ["export", "trc_x"]):
            result = vask_cmd("traces", *args, "--db", "t.db", cwd=tmp_path, check=1)
            assert reason in result.stderr


# -- hostile rows ------------------------------------------------------------


def test_hostile_rows_are_bounded_and_named(
    tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    path = tmp_path / "t.db"
    with closing(sqlite3.connect(path)) as conn:  # vask's columns, without their constraints
        conn.execute(
            "CREATE TABLE traces (id INTEGER PRIMARY KEY AUTOINCREMENT, trace_id, root_trace_id,"
            " trace_name, timestamp, stored_at, size, calls, data)"
        )
    good = document(GOOD, {"native_1": call_and_return(1, 1.0)})
    db.save_trace(GOOD, msgpack_data=good, db_path=path)
    rows = [
        # trace_id, size, data, timestamp, stored_at
        (ROOT, 7_800_000_000, 7_800_000_000, 1.0, 2.0),  # an integer where the bytes go
        (ROOT, 10, "some text", float("inf"), "yesterday"),
        (ROOT, None, None, 1e300, float("nan")),
        (None, 1, b"\x80", 1.0, 1.0),  # no trace id
        (7, "x", b"\x80", None, None),
    ]
    with closing(sqlite3.connect(path)) as conn:
        conn.executemany(
            "INSERT INTO traces (trace_id, size, data, timestamp, stored_at, calls)"
            " VALUES (?, ?, ?, ?, ?, 'many')",
            rows,
        )
        conn.commit()

    status, out, err = run(["traces", "list", "--json", "--db", str(path)], capsys)
    listing = {t["trace_id"]: t for t in json.loads(out)}
    assert status == 0 and set(listing) == {GOOD, ROOT}
    assert listing[ROOT]["documents"] == 3 and listing[ROOT]["timestamp"] is None
    assert [d["reason"] for d in listing[ROOT]["damaged"]] == [
        "no document (integer)",
        "truncated: 9 of 10 bytes stored",
        "no document (null)",
    ]
    status, out, _ = run(["traces", "list", "--db", str(path)], capsys)
    assert status == 0 and "[DAMAGED]" in out

    status, out, err = run(["traces", "show", ROOT, GOOD, "--db", str(path)], capsys)
    assert status == 1
    assert f"trace {ROOT}: document 1 of 3 is damaged (empty document)" in err
    assert f"trace {ROOT} cannot be shown: all its documents are damaged" in err
    assert f"trace {GOOD}" in out and "f()" in out


# -- damaged documents ---------------------------------------------------------


def test_an_impossible_timestamp_does_not_break_the_listing(
    tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    path = tmp_path / "t.db"
    imported = tmp_path / "imported.msgpack"
    imported.write_bytes(document(ROOT, {"native_1": call_and_return(1, 1e300)}, ts=1e300))
    db.save_trace(
        GOOD, msgpack_data=document(GOOD, {"native_1": call_and_return(1, 1.0)}), db_path=path
    )
    assert run(["traces", "import", str(imported), "--db", str(path)], capsys)[0] == 0
    status, out, _ = run(["traces", "list", "--db", str(path)], capsys)
    assert status == 0 and ROOT in out and GOOD in out
    status, out, _ = run(["traces", "show", ROOT, "--db", str(path)], capsys)
    assert status == 0 and "started -" in out
    status, out, _ = run(["traces", "export", ROOT, "-o", "-", "--db", str(path)], capsys)
    assert status == 0 and json.loads(out)["traceEvents"]


# Values nested deeper than msgpack packs: spliced in as bytes for the
# placeholder texts (msgpack decodes 1024 levels, the document's own included).
DEEP = {
    msgpack.packb("DEEP_LIST"): b"\x91" * 1010 + msgpack.packb("bottom"),
    msgpack.packb("DEEP_DICT"): b"\x81\xa1k" * 1000 + b"\x80",
    msgpack.packb("DEEP_COUNT"): b"\x91" * 900 + b"\x01",
}


def deepened(data: bytes) -> bytes:
    for placeholder, deep in DEEP.items():
        data = data.replace(placeholder, deep)
    return data


def damaged_records() -> list[dict]:
    return [
        frame("call", 1, 1.0, "unhashable", frame_id=["not", "hashable"]),
        frame("return", 1, 1.1, "unhashable", frame_id={"no": "id"}),
        frame("call", 2, float("nan"), "nan_time"),
        frame("return", 2, float("inf"), "nan_time", arg="DEEP_LIST"),
        frame("call", 3, -1e300, "far_time", locals={"deep": "DEEP_DICT", "list": "DEEP_LIST"}),
        frame("return", 3, 1e300, "far_time"),
        {**frame("call", 4, 1.0, "bad_event"), "event": ["call"]},
        {"type": "subtree_flushed", "flushed_segment_count": "DEEP_COUNT", "timestamp": 1.0},
        *call_and_return(5, 2.0, "survivor"),
    ]


def test_damaged_records_are_read_around(
    tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    data = deepened(document(ROOT, {"native_1": damaged_records()}))
    trace = vask_document.merge_documents(ROOT, [data, b"\x81\xa3abc", data[:-5]])
    assert [n for n, _ in trace.damaged] == [2, 3]
    root = build_call_tree(trace.threads["native_1"].records)
    lines = list(render_tree(root, style=Style(), width=60))
    assert any("survivor(" in line for line in lines)
    index = traceindex.build_index(ROOT, [data, b"\x81\xa3abc", data[:-5]])
    assert [n for n, _ in index.damaged] == [2, 3]
    node = traceindex.IndexNode(index.threads["native_1"], 0)
    assert any("survivor(" in line for line in render_tree(node, style=Style(), width=60))
    for writer in (write_chrome_trace, write_speedscope):
        out = io.StringIO()
        writer(index, out)
        json.loads(out.getvalue(), parse_constant=lambda name: pytest.fail(name))

    path = tmp_path / "t.db"
    db.save_trace(ROOT, msgpack_data=data, db_path=path)
    for args in (["show", ROOT, "--max-width", "0"], ["export", ROOT, "-o", "-"]):
        status, out, _ = run(["traces", *args, "--db", str(path)], capsys)
        assert status == 0 and "survivor" in out


@pytest.mark.parametrize(
    "data",
    [
        b"",
        b"\xc1",
        b"\x81",
        b"\x81\xa8trace_id\xc1",
        b"\x91\x01",
        b"\x81\xa7threads\x05",
        b"\xdf\xff",
        b"\x81\xa7threads" + b"\x91" * 5000,
    ],
)
def test_facts_and_heads_of_bad_bytes_raise_only_their_own_error(data: bytes) -> None:
    with pytest.raises(vask_document.DamagedDocument):
        vask_document.document_facts(data)
    try:
        vask_document.read_head(data)
    except ValueError:
        pass


# -- terminal safety -----------------------------------------------------------


def test_printed_text_cannot_act_on_the_terminal(
    tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    evil = "\x1b]0;owned\x07\x1b[2J\r\u202eevil\nline\x7f"
    records = call_and_return(
        1,
        1.0,
        name=f"f{evil}",
        path=f"app{evil}.py:1",
        locals={f"k{evil}": f"<Obj {evil}>", "plain": evil},
    )
    raw = msgpack.unpackb(document(ROOT, {"native_1": records}))
    raw["trace_name"] = f"name {evil}"
    raw["command_line_args"] = [evil]
    raw["threads"]["native_1"]["name"] = f"thread {evil}"
    path = tmp_path / "t.db"
    db.save_trace(ROOT, msgpack_data=msgpack.packb(raw), db_path=path)
    db.save_trace(f"{ROOT}{evil}", msgpack_data=msgpack.packb(raw), db_path=path)

    outputs = []
    for args in (
        ["list"],
        ["list", "--json"],
        ["show", ROOT, "--max-width", "0"],
        ["export", ROOT, "-o", "-"],
        ["show", "trc_NONE"],
    ):
        _, out, err = run(["traces", *args, "--db", str(path)], capsys)
        outputs.append(out + err)
    for text in outputs:
        assert not UNSAFE.search(text), text
    assert "\\x1b]0;owned\\x07" in outputs[2] and "\\u202eevil\\nline" in outputs[2]


def test_deep_trees_stop_indenting_and_say_so(
    tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    depth = 3000
    records = [frame("call", n, 1.0 + n, "down") for n in range(depth)]
    records += [frame("return", n, 9000.0 - n, "down") for n in reversed(range(depth))]
    path = tmp_path / "t.db"
    db.save_trace(ROOT, msgpack_data=document(ROOT, {"native_1": records}), db_path=path)
    status, out, _ = run(["traces", "show", "--db", str(path)], capsys)
    lines = [line for line in out.splitlines() if "down(" in line]
    assert status == 0 and len(lines) == depth
    assert max(len(line) - len(line.lstrip()) for line in lines) <= 2 + 2 * 50
    assert lines[-1].lstrip().startswith(f"[depth {depth - 1}] down(")
    assert "not indented further" in out
