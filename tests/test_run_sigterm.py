"""SIGTERM under ``vask run``: the trace is kept and the status is the program's."""

from __future__ import annotations

import signal
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest
from test_cli import ENV, vask_cmd
from vask import db

pytestmark = pytest.mark.skipif(sys.platform == "win32", reason="POSIX signals")

BUSY = """
import sys, time

def work(data):
    return sum(len(v) for v in data.values())

def main():
    data = {str(i): list(range(30)) for i in range(40)}
    try:
        print("ready", flush=True)
        while True:
            work(data)
    finally:
        print("cleanup", flush=True)

main()
"""

SLEEPING = """
import time

def wait():
    print("ready", flush=True)
    time.sleep(60)

try:
    wait()
finally:
    print("cleanup", flush=True)
"""

OWN_HANDLER = """
import signal, sys

stop = False

def handler(signum, frame):
    global stop
    stop = True

def step(n):
    return n + 1

signal.signal(signal.SIGTERM, handler)
print("ready", flush=True)
n = 0
while not stop:
    n = step(n)
print("stopped by its own handler", flush=True)
sys.exit(3)
"""

FORKED_CHILD = """
import multiprocessing, time

def child():
    time.sleep(60)

def main():
    process = multiprocessing.get_context("fork").Process(target=child)
    process.start()
    time.sleep(0.2)
    process.terminate()
    process.join()
    print("child", process.exitcode, flush=True)

main()
"""


def run_and_terminate(tmp_path: Path, program: str) -> tuple[int, str, str]:
    (tmp_path / "prog.py").write_text(textwrap.dedent(program))
    process = subprocess.Popen(
        [sys.executable, "-m", "vask", "run", "prog.py"],
        cwd=tmp_path,
        env=ENV,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        assert process.stdout is not None
        assert process.stdout.readline() == "ready\n"
        process.send_signal(signal.SIGTERM)
        out, err = process.communicate(timeout=60)
    finally:
        if process.poll() is None:
            process.kill()
    return process.returncode, "ready\n" + out, err


@pytest.mark.parametrize("program", [BUSY, SLEEPING], ids=["busy", "sleeping"])
def test_sigterm_keeps_the_trace_and_ends_as_the_program_would(
    tmp_path: Path, program: str
) -> None:
    status, out, err = run_and_terminate(tmp_path, program)
    assert status == -signal.SIGTERM, err
    assert out == "ready\ncleanup\n"  # finally blocks ran, as after Ctrl-C
    assert "vask: terminated (SIGTERM); storing what was recorded" in err
    assert "saved in .vask/db.sqlite3" in err and "Traceback" not in err
    (summary,) = db.list_traces(tmp_path / ".vask" / "db.sqlite3")
    assert summary.calls >= 2


def test_a_program_with_its_own_handler_keeps_it(tmp_path: Path) -> None:
    status, out, err = run_and_terminate(tmp_path, OWN_HANDLER)
    assert status == 3
    assert "stopped by its own handler" in out
    assert "terminated" not in err and "saved in" in err


def test_a_forked_child_dies_of_sigterm_as_it_would_untraced(tmp_path: Path) -> None:
    (tmp_path / "prog.py").write_text(textwrap.dedent(FORKED_CHILD))
    result = vask_cmd("run", "prog.py", cwd=tmp_path)
    assert result.stdout == f"child {-signal.SIGTERM}\n"
    assert "Traceback" not in result.stderr


def test_an_ignored_sigterm_stays_ignored(tmp_path: Path) -> None:
    (tmp_path / "prog.py").write_text(
        "import os, signal, time\n"
        "def f():\n    return 1\n"
        "f()\nos.kill(os.getpid(), signal.SIGTERM)\ntime.sleep(0.1)\nprint('alive')\n"
    )
    ignored = signal.signal(signal.SIGTERM, signal.SIG_IGN)  # inherited by the child
    try:
        result = vask_cmd("run", "prog.py", cwd=tmp_path)
    finally:
        signal.signal(signal.SIGTERM, ignored)
    assert result.stdout == "alive\n"
