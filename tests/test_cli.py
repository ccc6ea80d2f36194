"""The vask command line, run the way a user types it: ``python -m vask ...`` in a directory."""

from __future__ import annotations

import json
import os
import shutil
import stat
import subprocess
import sys
import textwrap
import threading
from pathlib import Path

import msgpack
import pytest
import vask
from engine_driver import ENGINE_PARAMS
from vask import db

REPO = Path(__file__).resolve().parent.parent
# Without VASK_FOLLOW too: a suite run under vask would have each command traced.
ENV = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "NO_COLOR", "VASK_FOLLOW")}


def vask_cmd(*args: str, cwd: Path, check: int | None = 0) -> subprocess.CompletedProcess[str]:
    result = subprocess.run(
        [sys.executable, "-m", "vask", *args],
        check=False,
        cwd=cwd,
        env=ENV,
        capture_output=True,
        text=True,
        timeout=120,
    )
    if check is not None:
        assert result.returncode == check, (result.returncode, result.stdout, result.stderr)
    return result


def decode(data: bytes) -> dict:
    return msgpack.unpackb(data, raw=False, strict_map_key=False)


def records(doc: dict) -> list[dict]:
    return [r for t in doc["threads"].values() for r in t["frames"]]


# -- the example program ---------------------------------------------------


@pytest.fixture(scope="module", params=ENGINE_PARAMS)
def shop(request: pytest.FixtureRequest, tmp_path_factory: pytest.TempPathFactory) -> dict:
    """The example shop traced once per engine with ``vask run -m examples.shop``."""
    work = tmp_path_factory.mktemp("shop")
    shutil.copytree(REPO / "examples", work / "examples")
    run = vask_cmd("run", "--engine", request.param, "-m", "examples.shop", cwd=work)
    (summary,) = db.list_traces(work / ".vask" / "db.sqlite3")
    (data,) = db.load_trace(work / ".vask" / "db.sqlite3", summary.trace_id)
    return {"dir": work, "run": run, "trace_id": summary.trace_id, "doc": decode(data)}


def test_run_traces_the_example_like_python_runs_it(shop: dict) -> None:
    plain = subprocess.run(
        [sys.executable, "-m", "examples.shop"],
        check=True,
        cwd=shop["dir"],
        env=ENV,
        capture_output=True,
    )
    assert shop["run"].stdout == plain.stdout.decode()
    assert "A-1003 carmen: backordered" in shop["run"].stdout
    err = shop["run"].stderr
    assert f"trace {shop['trace_id']} saved in .vask/db.sqlite3" in err
    assert "calls recorded in 3 threads" in err

    doc = shop["doc"]
    assert doc["meta"]["source"] == "cli"
    assert doc["trace_name"] == "-m examples.shop"
    names = {t["name"] for t in doc["threads"].values() if t["frames"]}
    assert names == {"MainThread", "packer-1", "packer-2"}
    qualnames = {r.get("qualname") for r in records(doc)}
    assert "examples.shop.inventory.Inventory.reserve" in qualnames
    assert "examples.shop.inventory.OutOfStock.__init__" in qualnames
    # vask's own frames are never in the trace
    assert not any("vask/" in r["path"] for r in records(doc))


def test_list_and_show(shop: dict) -> None:
    cwd = shop["dir"]
    listing = json.loads(vask_cmd("traces", "list", "--json", cwd=cwd).stdout)
    calls = sum(r["event"] == "call" for r in records(shop["doc"]))
    assert [(t["trace_id"], t["calls"], t["damaged"]) for t in listing] == [
        (shop["trace_id"], calls, [])
    ]
    assert shop["trace_id"] in vask_cmd("traces", "list", cwd=cwd).stdout

    text = vask_cmd("traces", "show", "latest", "--color", "never", cwd=cwd).stdout
    assert "\x1b[" not in text
    lines = text.splitlines()
    assert lines[0].startswith(f"trace {shop['trace_id']}")
    assert any(line.startswith("thread packer-1 (native ") for line in lines)
    # the shortage: reserve's arguments, the exception's constructor one level deeper
    reserve = next(i for i, line in enumerate(lines) if "sku='KTL-03', quantity=3)" in line)
    assert "Inventory.reserve(" in lines[reserve]
    assert "examples/shop/inventory.py:" in lines[reserve]
    nested = lines[reserve + 1]
    assert "OutOfStock.__init__(" in nested
    indent = len(lines[reserve]) - len(lines[reserve].lstrip())
    assert len(nested) - len(nested.lstrip()) == indent + 2
    assert "→ 'packed'" in text and " µs" in text

    colored = vask_cmd("traces", "show", shop["trace_id"], "--color", "always", cwd=cwd).stdout
    assert "\x1b[" in colored

    top = vask_cmd("traces", "show", "--depth", "1", cwd=cwd).stdout.splitlines()
    calls_shown = [line for line in top if line.startswith("  ")]
    assert calls_shown and all(not line.startswith("   ") for line in calls_shown)
    assert any("calls below)" in line for line in calls_shown)

    grep = vask_cmd("traces", "show", "--grep", "reserve", "--max-width", "12", cwd=cwd).stdout
    shown = [line.strip() for line in grep.splitlines() if line.startswith("  ")]
    assert sum("Inventory.reserve(" in line for line in shown) == 6  # one per order line
    # only the matches and their callers
    assert {line.split("(")[0] for line in shown} == {"packer", "fulfil", "Inventory.reserve"}
    assert "thread MainThread" not in grep
    assert "inventory=Inventory(_…" in grep  # an object is shown by its fields


def test_export_chrome_pairs_events_with_calls(shop: dict) -> None:
    cwd = shop["dir"]
    result = vask_cmd("traces", "export", "latest", "--format", "chrome", "-o", "t.json", cwd=cwd)
    assert "t.json" in result.stderr
    chrome = json.loads((cwd / "t.json").read_text())
    assert chrome["displayTimeUnit"] == "ms"
    events = chrome["traceEvents"]
    thread_names = {e["tid"]: e["args"]["name"] for e in events if e["name"] == "thread_name"}
    assert sorted(thread_names.values()) == ["MainThread", "packer-1", "packer-2"]

    doc = shop["doc"]
    t0 = doc["timestamp"]
    complete = {e["args"]["frame_id"]: e for e in events if e["ph"] == "X"}
    opened = {}
    closing = {"return": ("return", "arg"), "yield": ("yield", "arg")}
    closing["unwind"] = ("exception", "exception")
    for thread in doc["threads"].values():
        for r in thread["frames"]:
            if r["event"] in ("call", "resume", "throw"):
                opened[r["frame_id"]] = (r, thread["name"])
            else:
                call, thread_name = opened[r["frame_id"]]
                event = complete[r["frame_id"]]
                assert thread_names[event["tid"]] == thread_name
                assert event["ts"] == pytest.approx((call["timestamp"] - t0) * 1e6, abs=0.01)
                end = event["ts"] + event["dur"]
                assert end == pytest.approx((r["timestamp"] - t0) * 1e6, abs=0.01)
                if call["co_name"] == "<module>" or "__qualname__" in r["locals"]:
                    # module and class bodies: their locals are globals, not arguments
                    assert "arguments" not in event["args"]
                else:
                    # the parameters: a method's __class__ cell stays a local
                    params = [k for k in call["locals"] if k != "__class__"]
                    assert list(event["args"]["arguments"]) == params
                    assert event["args"].get("entered_by", "call") == call["event"]
                key, _ = closing[r["event"]]
                assert key in event["args"]
    assert len(complete) == len(opened) == sum(e["ph"] == "X" for e in events)
    # Values as the text view shows them: strings quoted, an object's repr as it stands.
    reserve = next(e["args"] for e in complete.values() if e["name"] == "Inventory.reserve")
    assert reserve["arguments"]["self"].startswith("Inventory(_items={'TEA-01': Item(sku=")
    sku = reserve["arguments"]["sku"]
    assert sku[0] == sku[-1] == "'" and type(reserve["arguments"]["quantity"]) is int
    fulfil = [e["args"]["return"] for e in complete.values() if e["name"] == "fulfil"]
    assert "'packed'" in fulfil


GENERATORS = """
def count(n):
    for i in range(n):
        yield i * 10


def fails():
    raise ValueError("boom")


def main():
    gen = count(3)
    next(gen)
    next(gen)
    gen.throw(KeyError("thrown"))


try:
    main()
except KeyError:
    pass
try:
    fails()
except ValueError:
    pass
"""


def test_export_writes_into_a_pipe_in_place(shop: dict) -> None:
    # A device or a FIFO named by -o is written where it is, never replaced
    # by a file renamed over it (as root, /dev/null itself would be).
    cwd = shop["dir"]
    fifo = cwd / "events.fifo"
    os.mkfifo(fifo)
    got: list[bytes] = []
    reader = threading.Thread(target=lambda: got.append(fifo.read_bytes()))
    reader.start()
    try:
        vask_cmd("traces", "export", "latest", "-o", str(fifo), cwd=cwd)
    finally:
        reader.join(60)
    assert stat.S_ISFIFO(fifo.stat().st_mode)
    assert json.loads(got[0])["traceEvents"]
    assert not list(cwd.glob(".events.fifo.tmp*"))


@pytest.mark.skipif(sys.version_info < (3, 12), reason="sys.monitoring needs Python 3.12")
def test_show_and_export_monitoring_events(tmp_path: Path) -> None:
    (tmp_path / "gens.py").write_text(GENERATORS)
    vask_cmd("run", "--engine", "monitor", "gens.py", cwd=tmp_path)
    text = vask_cmd("traces", "show", "latest", "--color", "never", cwd=tmp_path).stdout
    lines = [line.strip() for line in text.splitlines()]
    count = [line for line in lines if line.startswith("count(")]
    assert count[0].startswith("count(n=3)  ⇢ 0")
    assert count[1].startswith("count(n=3, i=0) [resume]  ⇢ 10")
    assert count[2].startswith("count(n=3, i=1) [throw]  !! KeyError('thrown')")
    assert any(line.startswith("main()  !! KeyError('thrown')") for line in lines)
    assert any(line.startswith("fails()  !! ValueError('boom')") for line in lines)

    vask_cmd("traces", "export", "latest", "--format", "chrome", "-o", "t.json", cwd=tmp_path)
    chrome = json.loads((tmp_path / "t.json").read_text())
    count_events = [e["args"] for e in chrome["traceEvents"] if e["name"] == "count"]
    assert [(a.get("entered_by"), a.get("yield"), a.get("exception")) for a in count_events] == [
        (None, 0, None),
        ("resume", 10, None),
        ("throw", None, "KeyError('thrown')"),
    ]
    assert count_events[2]["thrown"] == "KeyError('thrown')"


# -- running programs ------------------------------------------------------


def test_run_script_argv_main_path_and_exit_code(tmp_path: Path) -> None:
    (tmp_path / "sub").mkdir()
    (tmp_path / "sub" / "prog.py").write_text(
        textwrap.dedent(
            """
            import json, sys
            def report():
                return json.dumps([sys.argv, __name__, sys.path[0]])
            print(report())
            sys.exit(3)
            """
        )
    )
    result = vask_cmd(
        "run", "--name", "custom", "sub/prog.py", "a", "--db", "x", "-m", cwd=tmp_path, check=3
    )
    argv, name, path0 = json.loads(result.stdout)
    assert argv == ["sub/prog.py", "a", "--db", "x", "-m"]  # the program's, untouched
    assert name == "__main__"
    assert Path(path0) == (tmp_path / "sub").resolve()
    (summary,) = db.list_traces(tmp_path / ".vask" / "db.sqlite3")
    assert summary.trace_name == "custom" and summary.calls == 2  # <module> and report()


def test_every_run_option_keeps_its_value_before_the_script() -> None:
    """The word after an option of ``run`` that takes a value is that value, never the
    script: ``--values fields prog.py`` once ran nothing."""
    from vask.cli.parser import build_parser, split_run_args

    commands = next(a for a in build_parser()._actions if a.dest == "command")
    options = [
        o for a in commands.choices["run"]._actions if a.nargs != 0 for o in a.option_strings
    ]
    assert "--values" in options
    for option in options:
        if option == "-m":
            continue
        ours, program = split_run_args([option, "1", "prog.py", option, "2"])
        assert (ours, program) == ([option, "1", "prog.py"], [option, "2"]), option


def test_uncaught_exception_and_exit_message(tmp_path: Path) -> None:
    (tmp_path / "boom.py").write_text("def f():\n    raise ValueError('boom')\nf()\n")
    result = vask_cmd("run", "boom.py", cwd=tmp_path, check=1)
    err = result.stderr
    assert err.startswith("Traceback (most recent call last):\n")
    assert 'boom.py", line 3, in <module>' in err and "ValueError: boom" in err
    assert "runpy" not in err and "__main__.py" not in err
    assert "saved in .vask/db.sqlite3" in err

    (tmp_path / "bye.py").write_text("import sys\nsys.exit('bye now')\n")
    result = vask_cmd("run", "bye.py", cwd=tmp_path, check=1)
    assert result.stderr.startswith("bye now\n")


@pytest.mark.parametrize(
    ("args", "message"),
    [
        (["missing.py"], "can't open file"),
        (["-m", "no_such_module"], "No module named no_such_module"),
    ],
)
def test_missing_target(tmp_path: Path, args: list[str], message: str) -> None:
    result = vask_cmd("run", *args, cwd=tmp_path, check=2)
    assert result.stderr.count("\n") == 1 and message in result.stderr
    assert "Traceback" not in result.stderr
    assert not (tmp_path / ".vask" / "db.sqlite3").exists()


# -- configuration ---------------------------------------------------------


def test_pyproject_settings_and_precedence(tmp_path: Path) -> None:
    (tmp_path / "pyproject.toml").write_text(
        textwrap.dedent(
            """
            [tool.vask]
            db = "traces/t.db"
            omit_return_locals = true
            ignore = ["helpers"]
            threads = false
            colour = "blue"
            """
        )
    )
    work = tmp_path / "pkg"
    work.mkdir()
    (work / "helpers.py").write_text("def helper(x):\n    y = x + 1\n    return y\n")
    (work / "app.py").write_text(
        "import helpers\ndef main(n):\n    return helpers.helper(n)\nmain(1)\n"
    )

    result = vask_cmd("run", "app.py", cwd=work)
    assert "unknown keys in [tool.vask] ignored: colour" in result.stderr
    if sys.version_info >= (3, 12):  # the monitoring engine cannot leave threads out
        assert "(threads = false) has no effect" in result.stderr
    (summary,) = db.list_traces(tmp_path / "traces" / "t.db")  # relative to pyproject.toml
    doc = decode(db.load_trace(tmp_path / "traces" / "t.db", summary.trace_id)[0])
    assert doc["meta"]["config"]["omit_return_locals"] is True
    assert doc["meta"]["config"]["threading"] is False
    assert {r["co_name"] for r in records(doc)} == {"<module>", "main"}
    assert all(r["locals"] is None for r in records(doc) if r["event"] == "return")

    vask_cmd(
        "run", "--db", "cli.db", "--no-omit-return-locals", "--ignore", "zzz", "app.py", cwd=work
    )
    (summary,) = db.list_traces(work / "cli.db")
    doc = decode(db.load_trace(work / "cli.db", summary.trace_id)[0])
    assert doc["meta"]["config"]["omit_return_locals"] is False
    returned = {r["co_name"]: r["locals"] for r in records(doc) if r["event"] == "return"}
    assert returned["helper"] == {"x": 1, "y": 2}

    (tmp_path / "pyproject.toml").write_text("[tool.vask]\nthreads = 'yes'\n")
    result = vask_cmd("traces", "list", cwd=work, check=2)
    assert "pyproject.toml" in result.stderr and "threads must be true or false" in result.stderr


HANDLER = """
def handle(n):
    total = n * 2
    return total

def main():
    for i in range(3):
        handle(i)

main()
"""


def test_trace_points_and_assignments(tmp_path: Path) -> None:
    (tmp_path / "app.py").write_text(HANDLER)
    if sys.version_info < (3, 12):
        for option in ("--trace-point=handle", "--assignments"):
            result = vask_cmd("run", option, "app.py", cwd=tmp_path, check=2)
            assert "Python 3.12 or later" in result.stderr
        return
    result = vask_cmd("run", "--trace-point", "handle", "--assignments", "app.py", cwd=tmp_path)
    assert "3 trace points stored apart" in result.stderr
    listing = vask_cmd("traces", "list", cwd=tmp_path).stdout.splitlines()
    assert "[3 trace points]" in listing[1] and "subtree" not in listing[1]
    assert len(listing) == 5 and all(
        line.startswith("  └ trc_") and line.endswith("trace point handle") for line in listing[2:]
    )
    items = json.loads(vask_cmd("traces", "list", "--json", cwd=tmp_path).stdout)
    (root,) = [item for item in items if "trace_point" not in item]
    assert root["trace_points"] == 3 and root["subtrees"] == 0 and root["total_calls"] == 5
    points = [item["trace_point"] for item in items if "trace_point" in item]
    assert [p["function"] for p in points] == ["handle"] * 3
    shown = vask_cmd("traces", "show", cwd=tmp_path).stdout
    assert "      handle(n=1)  → 2" in shown and "        total = 2\n" in shown
    assert "      i = 2\n" in shown
    assert "3 trace points (handle ×3)" in shown
    point = next(item["trace_id"] for item in items if "trace_point" in item)
    shown = vask_cmd("traces", "show", point, cwd=tmp_path).stdout
    assert f"a trace point: a call of handle stored while trace {root['trace_id']}" in shown

    (tmp_path / "pyproject.toml").write_text(
        '[tool.vask]\ntrace_points = ["handle"]\nassignments = true\ndb = "t.db"\n'
    )
    vask_cmd("run", "app.py", cwd=tmp_path)
    assert len(db.trace_points(tmp_path / "t.db")) == 3
    result = vask_cmd("run", "--engine", "profile", "app.py", cwd=tmp_path, check=2)
    assert "need the monitoring engine" in result.stderr


# -- failures --------------------------------------------------------------


def test_locked_database_keeps_status_and_trace(tmp_path: Path) -> None:
    (tmp_path / "prog.py").write_text("def f():\n    return 7\nf()\nraise SystemExit(3)\n")
    path = tmp_path / ".vask" / "db.sqlite3"
    lock = db.connect(path)
    try:
        lock.execute("BEGIN EXCLUSIVE")
        result = vask_cmd("run", "--busy-timeout", "1", "prog.py", cwd=tmp_path, check=3)
    finally:
        lock.close()
    err = result.stderr
    assert "could not store trace trc_" in err and ".vask/db.sqlite3" in err and "locked" in err
    (side,) = (tmp_path / ".vask" / "unsaved").iterdir()
    assert side.name.endswith(".msgpack.zst") and side.name.startswith("trc_")
    assert stat.S_IMODE(side.stat().st_mode) == 0o600
    assert f"vask traces import .vask/unsaved/{side.name}" in err
    assert db.list_traces(path) == []

    vask_cmd("traces", "import", str(side.relative_to(tmp_path)), cwd=tmp_path)
    (summary,) = db.list_traces(path)
    assert summary.trace_id == side.name.split(".")[0] and summary.calls == 2  # <module> and f()
    again = vask_cmd("traces", "import", str(side), cwd=tmp_path)
    assert "already in" in again.stderr
    assert db.list_traces(path)[0].documents == 1


def frame(event: str, n: int, ts: float, name: str = "f", **extra: object) -> dict:
    record = {
        "path": f"app.py:{n}",
        "co_name": name,
        "qualname": f"app.{name}",
        "event": event,
        "frame_id": f"frm_{n:026d}",
        "arg": None,
        "locals": {},
        "timestamp": ts,
        "type": "frame",
        "user_code_call_site": None,
    }
    record.update(extra)
    return record


def document(trace_id: str, threads: dict[str, list[dict]], ts: float = 100.0) -> bytes:
    return msgpack.packb(
        {
            "trace_id": trace_id,
            "trace_name": None,
            "current_thread_id": "native_1",
            "timestamp": ts,
            "current_commit_sha": None,
            "root_trace_id": trace_id,
            "meta": {"version": vask.__version__, "source": "api", "environment": {}, "config": {}},
            "command_line_args": ["app.py"],
            "threads": {
                key: {
                    "name": "MainThread" if key == "native_1" else f"worker-{key}",
                    "ident": int(key.split("_")[1]),
                    "native_id": int(key.split("_")[1]),
                    "daemon": False,
                    "is_alive": True,
                    "frames": frames,
                }
                for key, frames in threads.items()
            },
            "frames_of_interest": [],
            "frames": {},
        }
    )


ROOT = "trc_01AAAAAAAAAAAAAAAAAAAAAAAA"
FLUSHED = "trc_01BBBBBBBBBBBBBBBBBBBBBBBB"


def test_documents_markers_plugins_and_unreturned_calls(tmp_path: Path) -> None:
    path = tmp_path / ".vask" / "db.sqlite3"
    flushed = document(FLUSHED, {"native_1": [frame("call", 9, 100.3), frame("return", 9, 100.4)]})
    db.save_trace(FLUSHED, msgpack_data=flushed, db_path=path)
    # One trace saved as two documents: "handle" opens in the first and returns in the second.
    first = document(
        ROOT,
        {
            "native_1": [
                frame("call", 1, 100.0, "handle", locals={"order": "A-1"}),
                {
                    "frame_id": "frm_x",
                    "timestamp": 100.1,
                    "user_code_call_site": None,
                    "type": "start_test",
                    "test_name": "test_order",
                },
                frame("call", 2, 100.1, "check"),
                frame("return", 2, 100.2, "check", arg=True),
            ],
            "native_7": [frame("call", 3, 100.5, "spin")],  # never returns
        },
    )
    second = document(
        ROOT,
        {
            "native_1": [
                {
                    "type": "subtree_flushed",
                    "frame_id": "frm_y",
                    "co_name": "check",
                    "flushed_trace_id": FLUSHED,
                    "flushed_bytes": 5000,
                    "flushed_segment_count": 1,
                    "timestamp": 100.6,
                },
                frame("return", 1, 101.0, "handle", arg="done"),
            ]
        },
    )
    db.save_trace(ROOT, msgpack_data=first, db_path=path)
    db.save_trace(ROOT, msgpack_data=second, db_path=path)

    text = vask_cmd("traces", "show", "trc_01AAAA", "--color", "never", cwd=tmp_path).stdout
    assert "2 documents" in text
    assert "  handle(order='A-1')  → 'done'  1 s  app.py:1" in text
    assert "    ◆ start_test  test_name='test_order'" in text
    assert "    check()  → True  100 ms" in text
    assert f"    … 1 call flushed to trace {FLUSHED}, see: vask traces show {FLUSHED}" in text
    assert "spin()  (no return recorded)" in text

    vask_cmd("traces", "export", ROOT, "-o", "r.json", cwd=tmp_path)
    events = json.loads((tmp_path / "r.json").read_text())["traceEvents"]
    spans = {e["name"]: e for e in events if e["ph"] == "X"}
    assert spans["handle"]["dur"] == pytest.approx(1e6)
    assert spans["spin"]["args"]["returned"] is False
    assert spans["spin"]["ts"] + spans["spin"]["dur"] == pytest.approx(1e6)  # the trace's end
    # the flushed subtree is stitched back where its marker stood
    assert {e["cat"] for e in events if e["ph"] == "i"} == {"plugin"}
    (stitched,) = [e for e in events if e["ph"] == "X" and e["args"]["frame_id"] == f"frm_{9:026d}"]
    assert stitched["tid"] == spans["handle"]["tid"]
    assert stitched["ts"] == pytest.approx(0.3e6) and stitched["dur"] == pytest.approx(0.1e6)

    # A truncated document: list and show name it and go on.
    broken = "trc_01CCCCCCCCCCCCCCCCCCCCCCCC"
    whole = document(broken, {"native_1": [frame("call", 5, 100.0)]})
    db.save_trace(broken, msgpack_data=whole[: len(whole) // 2], db_path=path)
    result = vask_cmd("traces", "list", cwd=tmp_path)
    assert f"trace {broken}: document 1 is damaged (truncated" in result.stderr
    assert result.stdout.count("trc_") == 3 and "[DAMAGED]" in result.stdout
    result = vask_cmd("traces", "show", broken, ROOT, cwd=tmp_path, check=1)
    assert f"trace {broken} cannot be shown" in result.stderr
    assert "handle(order='A-1')" in result.stdout

    # delete, prune, unknown ids
    result = vask_cmd("traces", "delete", "trc_NOPE", cwd=tmp_path, check=1)
    assert "no trace trc_NOPE in .vask/db.sqlite3" in result.stderr
    vask_cmd("traces", "delete", broken, cwd=tmp_path)
    assert {s.trace_id for s in db.list_traces(path)} == {ROOT, FLUSHED}
    vask_cmd("traces", "prune", "--keep", "0", cwd=tmp_path)
    assert db.list_traces(path) == []


def test_usage_version_and_unknown_trace(tmp_path: Path) -> None:
    result = vask_cmd(cwd=tmp_path, check=2)
    assert "usage: vask" in result.stderr and "traces" in result.stderr
    assert vask_cmd("--version", cwd=tmp_path).stdout.strip() == f"vask {vask.__version__}"
    result = vask_cmd("traces", "show", "trc_NOPE", cwd=tmp_path, check=1)
    assert result.stderr.strip() == "vask: error: no trace database at .vask/db.sqlite3"
    assert not (tmp_path / ".vask").exists()  # reading created nothing


def test_run_pytest_under_the_tracer_without_warnings(tmp_path: Path) -> None:
    (tmp_path / "test_small.py").write_text("def test_one():\n    assert 1 + 1 == 2\n")
    result = vask_cmd("run", "-m", "pytest", "-q", "-p", "no:cacheprovider", cwd=tmp_path)
    assert "1 passed" in result.stdout
    assert "warning" not in result.stdout.lower()
    assert "calls recorded" in result.stderr
