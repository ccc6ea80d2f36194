"""The traced program is never broken by its tracer: both engines, in subprocesses.

Each program here does something a tracer meets in real programs (stops
tracing from inside a value's repr or a signal handler, raises from a signal
handler, installs a profile hook of its own, catches RecursionError, runs
daemon threads at exit) and must behave exactly as it does untraced.
"""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

pytestmark = pytest.mark.skipif(sys.platform == "win32", reason="POSIX signals")


def run_program(
    source: str, engine_name: str, tmp_path: Path, *args: str, timeout: float = 60
) -> subprocess.CompletedProcess[str]:
    """Runs ``source`` (with ``ENGINE`` and ``DB`` defined) in a fresh interpreter."""
    script = tmp_path / "program.py"
    header = f"ENGINE = {engine_name!r}\nDB = {str(tmp_path / 'db.sqlite3')!r}\n"
    script.write_text(header + textwrap.dedent(source))
    return subprocess.run(
        [sys.executable, str(script), *args],
        capture_output=True,
        text=True,
        timeout=timeout,
        cwd=tmp_path,
    )


def assert_clean(result: subprocess.CompletedProcess[str], stdout: str) -> None:
    assert (result.returncode, result.stdout.strip()) == (0, stdout), result.stderr
    assert result.stderr == ""


# ---- stopping from inside a callback ------------------------------------------------------

STOP_IN_REPR = """
import os, vask

class Stopper:
    def __repr__(self):
        # Stops tracing, dropping the engine, while it writes this very value.
        vask.disable(save=False)
        return "Stopper()"

def f(value, pad):
    return len(pad)

pad = {str(i): list(range(30)) for i in range(30)}
vask.enable(config={"threading": False}, db_path=os.devnull, engine=ENGINE)
f(Stopper(), pad)
for i in range(200):
    f(i, pad)
print("done")
"""

STOP_IN_SIGTERM_HANDLER = """
import os, signal, sys, threading, vask

class Value:
    def __repr__(self):
        return "Value(%d)" % sum(range(50))

def work(data, value):
    return len(data)

def handler(signum, frame):
    vask.disable()
    sys.exit(0)

def spin():
    data = {str(i): list(range(20)) for i in range(50)}
    while True:
        work(data, Value())

signal.signal(signal.SIGTERM, handler)
vask.enable(config={"threading": False}, db_path=DB, engine=ENGINE)
threading.Timer(0.05, os.kill, (os.getpid(), signal.SIGTERM)).start()
spin()
"""


class TestStopInsideACallback:
    def test_a_repr_that_stops_tracing(self, engine, tmp_path):
        assert_clean(run_program(STOP_IN_REPR, engine.name, tmp_path), "done")

    def test_a_sigterm_handler_that_stops_tracing_and_exits(self, engine, tmp_path):
        # The signal lands wherever the program is, often inside the engine.
        for _ in range(5):
            result = run_program(STOP_IN_SIGTERM_HANDLER, engine.name, tmp_path)
            assert result.returncode == 0, result.stderr
            assert "Traceback" not in result.stderr, result.stderr
