"""vask traces view, show --locals and the streamed exports, run as a user runs them."""

from __future__ import annotations

import gzip
import json
import signal
import subprocess
import sys
import urllib.request
from pathlib import Path

from test_cli import ENV, vask_cmd
from tracedocs import document, frame, marker

from vask import db

ROOT = "trc_01ROOTROOTROOTROOTROOTROOT"
FLUSHED = "trc_01FLUSHFLUSHFLUSHFLUSHFL"


def flushed_db(tmp_path: Path) -> Path:
    """A root trace whose middle call was flushed apart, as the engines store it."""
    path = tmp_path / ".vask" / "db.sqlite3"
    sub = [
        frame("call", 2, 100.2, "child", locals={"i": 1}),
        frame("call", 3, 100.3, "leaf"),
        frame("return", 3, 100.4, "leaf", arg=3),
        frame("return", 2, 100.5, "child", arg=1),
    ]
    db.save_trace(
        FLUSHED, msgpack_data=document(FLUSHED, {"native_1": sub}, root=ROOT), db_path=path
    )
    root = [
        frame("call", 1, 100.0, "parent", locals={"n": 2}),
        marker(FLUSHED, 100.55, "child", calls=2),
        frame("return", 1, 101.0, "parent", arg="done", locals={"n": 2, "total": 7}),
    ]
    db.save_trace(ROOT, msgpack_data=document(ROOT, {"native_1": root}, name="root"), db_path=path)
    return path


def test_show_locals_prints_them_under_each_call(tmp_path: Path) -> None:
    flushed_db(tmp_path)
    text = vask_cmd("traces", "show", ROOT, "--locals", "--color", "never", cwd=tmp_path).stdout
    lines = text.splitlines()
    at = next(i for i, line in enumerate(lines) if "parent(n=2)" in line)
    assert lines[at + 1].strip() == "locals at call: n=2"
    assert lines[at + 2].strip() == "locals at return: n=2, total=7"
    plain = vask_cmd("traces", "show", ROOT, "--color", "never", cwd=tmp_path).stdout
    assert "locals at" not in plain


def test_exports_stream_stitch_flushed_subtrees_and_compress(tmp_path: Path) -> None:
    flushed_db(tmp_path)
    vask_cmd("traces", "export", ROOT, "--gzip", cwd=tmp_path)
    with gzip.open(tmp_path / f"{ROOT}.json.gz", "rt") as f:
        chrome = json.load(f)
    calls = [e for e in chrome["traceEvents"] if e["ph"] == "X"]
    assert [e["name"] for e in calls] == ["parent", "child", "leaf"]  # stitched in place
    assert calls[1]["args"]["arguments"] == {"i": 1} and calls[2]["args"]["return"] == 3
    assert not [e for e in chrome["traceEvents"] if e.get("cat") == "flushed"]
    assert oct((tmp_path / f"{ROOT}.json.gz").stat().st_mode & 0o777) == "0o600"

    result = vask_cmd("traces", "export", ROOT, "--format", "speedscope", "-o", "-", cwd=tmp_path)
    speedscope = json.loads(result.stdout)
    (profile,) = speedscope["profiles"]
    assert profile["type"] == "evented" and profile["unit"] == "microseconds"
    frames = [f["name"] for f in speedscope["shared"]["frames"]]
    opened = [frames[e["frame"]] for e in profile["events"] if e["type"] == "O"]
    assert opened == ["parent", "child", "leaf"]
    times = [e["at"] for e in profile["events"]]
    assert times == sorted(times)
    depth = 0
    for event in profile["events"]:
        depth += 1 if event["type"] == "O" else -1
        assert depth >= 0
    assert depth == 0


def test_view_serves_on_loopback_and_stops_on_ctrl_c(tmp_path: Path) -> None:
    flushed_db(tmp_path)
    process = subprocess.Popen(
        [sys.executable, "-m", "vask", "traces", "view", ROOT, "--no-open"],
        cwd=tmp_path,
        env=ENV,
        stderr=subprocess.PIPE,
        text=True,
        # A shell's background job starts with SIGINT ignored, and Python
        # keeps an ignored SIGINT ignored: give the server the usual Ctrl-C.
        preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL),
    )
    try:
        line = process.stderr.readline()
        assert "http://127.0.0.1:" in line, line
        url = line.split(" at ", 1)[1].split()[0]
        assert url.endswith(f"/#trace={ROOT}")
        base = url.split("/#")[0]
        with urllib.request.urlopen(f"{base}/api/traces", timeout=30) as response:
            listing = json.load(response)
        assert {t["id"] for t in listing["traces"]} == {ROOT, FLUSHED}
        process.send_signal(signal.SIGINT)
        assert process.wait(timeout=30) == 0
        assert "viewer stopped" in process.stderr.read()
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()


def test_view_refuses_a_port_in_use_and_unknown_traces(tmp_path: Path) -> None:
    flushed_db(tmp_path)
    import socket

    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        port = taken.getsockname()[1]
        result = vask_cmd("traces", "view", "--no-open", "--port", str(port), cwd=tmp_path, check=1)
    assert f"cannot listen on 127.0.0.1:{port}" in result.stderr
    result = vask_cmd("traces", "view", "trc_01NOPE0000", "--no-open", cwd=tmp_path, check=1)
    assert "no trace trc_01NOPE0000" in result.stderr
    assert vask_cmd("traces", "view", "--port", "70000", cwd=tmp_path, check=2).stderr


def test_export_keeps_the_marker_of_a_subtree_that_is_gone(tmp_path: Path) -> None:
    path = flushed_db(tmp_path)
    db.delete_traces(path, [FLUSHED])
    result = vask_cmd("traces", "export", ROOT, "-o", "r.json", cwd=tmp_path)
    assert f"the flushed subtree {FLUSHED} is not in the database" in result.stderr
    events = json.loads((tmp_path / "r.json").read_text())["traceEvents"]
    assert [e["name"] for e in events if e["ph"] == "X"] == ["parent"]
    (flushed,) = [e for e in events if e.get("cat") == "flushed"]
    assert flushed["name"] == f"subtree flushed to {FLUSHED}"
