"""The traced program is never broken by its tracer: both engines, in subprocesses.

Each program here does something a tracer meets in real programs (stops
tracing from inside a value's repr or a signal handler, raises from a signal
handler, installs a profile hook of its own, catches RecursionError, runs
daemon threads at exit) and must behave exactly as it does untraced.
"""

from __future__ import annotations

import gc
import logging
import os
import signal
import subprocess
import sys
import textwrap
import threading
from pathlib import Path

import pytest
import vask
import vask.plugins
import vask.serialize
from engine_driver import EngineDriver, decode, frames_named

pytestmark = pytest.mark.skipif(sys.platform == "win32", reason="POSIX signals")


def run_program(
    source: str,
    engine_name: str,
    tmp_path: Path,
    *args: str,
    timeout: float = 60,
    env: dict[str, str] | None = None,
) -> subprocess.CompletedProcess[str]:
    """Runs ``source`` (with ``ENGINE`` and ``DB`` defined) in a fresh interpreter."""
    script = tmp_path / "program.py"
    header = f"ENGINE = {engine_name!r}\nDB = {str(tmp_path / 'db.sqlite3')!r}\n"
    script.write_text(header + textwrap.dedent(source))
    return subprocess.run(
        [sys.executable, str(script), *args],
        check=False,
        capture_output=True,
        text=True,
        timeout=timeout,
        cwd=tmp_path,
        env=env,
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

# SIGTERM lands while the program spins through traced calls whose values
# take time to write: often inside the engine. HANDLER is the handler's body.
SIGTERM_IN_A_LOOP = """
import os, signal, sys, threading, vask

class Value:
    def __repr__(self):
        return "Value(%d)" % sum(range(100))

def work(data, value):
    return len(data)

def handler(signum, frame):
    HANDLER

signal.signal(signal.SIGTERM, handler)
vask.enable(config={"threading": False}, db_path=DB, engine=ENGINE)
threading.Timer(0.05, os.kill, (os.getpid(), signal.SIGTERM)).start()
data = {str(i): list(range(20)) for i in range(50)}
while True:
    work(data, Value())
"""


STOP_IN_A_FLUSH = """
import signal, sys, vask, vask.db

real_save_trace = vask.db.save_trace
stores = []

def save_trace(trace_id, **kwargs):
    stores.append(trace_id)
    if len(stores) == 1:
        # The handler runs inside the store of a flushed subtree, which
        # holds the trace lock on this thread.
        signal.raise_signal(signal.SIGTERM)
    return real_save_trace(trace_id, **kwargs)

def handler(signum, frame):
    vask.disable()
    sys.exit(0)

def leaf(i):
    return i

def parent():
    for i in range(5000):
        leaf(i)

vask.db.save_trace = save_trace
signal.signal(signal.SIGTERM, handler)
config = {"threading": False, "flush_subtree_mb": 0.01, "fold_after": False}
vask.enable(config=config, db_path=DB, engine=ENGINE)
parent()
print("not stopped")
"""


class TestStopInsideACallback:
    def test_a_repr_that_stops_tracing(self, engine, tmp_path):
        assert_clean(run_program(STOP_IN_REPR, engine.name, tmp_path), "done")

    def test_a_sigterm_handler_that_stops_tracing_and_exits(self, engine, tmp_path):
        # The signal lands wherever the program is, often inside the engine.
        for _ in range(5):
            program = SIGTERM_IN_A_LOOP.replace("HANDLER", "vask.disable(); sys.exit(0)")
            result = run_program(program, engine.name, tmp_path)
            assert result.returncode == 0, result.stderr
            assert "Traceback" not in result.stderr, result.stderr

    def test_a_signal_handler_that_saves_during_a_subtree_flush(self, engine, tmp_path):
        # It used to wait for the trace lock its own thread held, for ever.
        result = run_program(STOP_IN_A_FLUSH, engine.name, tmp_path, timeout=30)
        assert (result.returncode, result.stdout) == (0, ""), result.stderr
        assert "cannot save or switch the trace from code that runs while" in result.stderr


# ---- exceptions of the program raised inside recording code ------------------------------


class Timeout(Exception):
    """What a SIGALRM handler of the program raises."""


@pytest.fixture
def alarm_raises():
    """A SIGALRM handler that raises Timeout, as a program's timeout does."""

    def on_alarm(signum, frame):
        raise Timeout("too slow")

    previous = signal.signal(signal.SIGALRM, on_alarm)
    yield
    signal.signal(signal.SIGALRM, previous)


class AlarmingValue:
    """A value whose repr is where the signal handler happens to run."""

    def __repr__(self):
        signal.raise_signal(signal.SIGALRM)
        return "AlarmingValue()"


class RaisingValue:
    def __repr__(self):
        raise ValueError("a repr of the value's own")


def takes(value):
    return 1


def after(n):
    return n + 1


def call_and_catch(make):
    try:
        takes(make())
    except Timeout:
        return "timed out"
    return "finished"


class TestExceptionsOfTheProgram:
    def test_a_signal_handlers_exception_raised_in_a_dumper_reaches_the_program(
        self, engine, alarm_raises, caplog
    ):
        caplog.set_level(logging.WARNING, logger="vask")
        # The value's repr is where the signal arrives: the "repr" setting calls it.
        result, doc = engine.run(
            lambda: (call_and_catch(AlarmingValue), after(1)), config={"values": "repr"}
        )
        assert result == ("timed out", 2)
        assert not [r for r in caplog.records if r.name == "vask"]
        # Recording goes on after it.
        assert [r["event"] for r in frames_named(doc, "after")] == ["call", "return"]

    def test_an_error_of_the_value_itself_stays_contained(self, engine, caplog):
        result, doc = engine.run(lambda: call_and_catch(RaisingValue), config={"values": "repr"})
        assert result == "finished"
        assert [r["event"] for r in frames_named(doc, "takes")] == ["call", "return"]

    def test_raised_in_a_plugin(self, engine, alarm_raises, monkeypatch):
        def process(frame, event, arg, context):
            signal.raise_signal(signal.SIGALRM)
            return {}

        plugin = {
            "co_names": ["takes"],
            "path_fragment": "test_program_safety",
            "call_type": "takes_call",
            "return_type": "takes_return",
            "process": process,
        }
        monkeypatch.setattr(vask.plugins, "load_plugin_data", lambda config: [plugin])
        result, _ = engine.run(lambda: call_and_catch(int))
        assert result == "timed out"

    def test_raised_in_the_logging_of_an_error(self, engine, alarm_raises, monkeypatch):
        class AlarmingHandler(logging.Handler):
            def emit(self, record):
                signal.raise_signal(signal.SIGALRM)

        handler = AlarmingHandler()
        logger = logging.getLogger("vask")
        logger.addHandler(handler)
        real = vask.serialize.dump_msgpack

        def failing_dumper(value):
            if value == 1:
                raise RuntimeError("a fault of recording")
            return real(value)

        monkeypatch.setattr(vask.serialize, "dump_msgpack", failing_dumper)
        try:
            result, _ = engine.run(lambda: call_and_catch(dict))
        finally:
            logger.removeHandler(handler)
        # The return value 1 of takes() fails to dump; logging that, the
        # program's handler raised.
        assert result == "timed out"

    def test_system_exit_from_a_signal_handler_ends_the_program(self, engine, tmp_path):
        program = SIGTERM_IN_A_LOOP.replace("HANDLER", "sys.exit(3)")
        for _ in range(3):
            result = run_program(program, engine.name, tmp_path, timeout=20)
            assert result.returncode == 3, result.stderr


# ---- the recursion limit -------------------------------------------------------------------


def down(n):
    return down(n + 1)


def catches_recursion():
    try:
        down(0)
    except RecursionError:
        return "caught"


class TestRecursionLimit:
    def test_a_program_that_catches_recursion_error_prints_nothing_more(self, engine, tmp_path):
        program = """
            import os, vask

            def down(n):
                return down(n + 1)

            vask.enable(config={"threading": False}, db_path=os.devnull, engine=ENGINE)
            try:
                down(0)
            except RecursionError:
                print("caught")
            vask.disable(save=False)
            """
        assert_clean(run_program(program, engine.name, tmp_path), "caught")

    def test_the_events_dropped_are_counted_once_at_the_build(self, engine, caplog, monkeypatch):
        # Dumpers written in Python: calling them fails at the limit, so both
        # engines lose records there (the engines themselves make no
        # Python-level call per event).
        monkeypatch.setattr(vask.serialize, "dump_msgpack", lambda value: b"\xc0")
        caplog.set_level(logging.INFO, logger="vask")
        result, doc = engine.run(catches_recursion)
        assert result == "caught"
        reports = [r for r in caplog.records if r.name == "vask"]
        assert len(reports) == 1
        for report in reports:
            assert report.levelno == logging.INFO
            assert "not recorded in full: the program was at its recursion limit" in (
                report.getMessage()
            )
        # The calls that could be recorded are there.
        assert len(frames_named(doc, "down")) > 100


# ---- the profile hook: put back, replaced, stopped from another thread ---------------------


def first(x):
    y = x + 1
    return y * 2


def second(x):
    y = x + 1
    return y * 2


def shape(record):
    """What a record says beside its ids, times, names and line."""
    ignored = ("frame_id", "timestamp", "user_code_call_site", "co_name", "qualname", "path")
    return {key: value for key, value in record.items() if key not in ignored}


class TestProfileHook:
    def test_putting_back_the_hook_found_goes_on_recording_the_same(self):
        def program():
            first(1)
            old = sys.getprofile()
            sys.setprofile(old)  # the engine, now called as a Python function
            second(1)
            return sys.getprofile() is old

        profile = EngineDriver("profile")
        result, doc = profile.run(program)
        assert result is True
        a, b = frames_named(doc, "first"), frames_named(doc, "second")
        assert [r["event"] for r in b] == ["call", "return"]
        assert [shape(r) for r in a] == [shape(r) for r in b]
        assert b[1]["arg"] == 4 and b[1]["qualname"] == "test_program_safety.second"
        assert b[0]["path"].startswith("tests/test_program_safety.py:")
        assert b[0]["user_code_call_site"] == a[0]["user_code_call_site"] | {
            "line_number": b[0]["user_code_call_site"]["line_number"]
        }
        assert sys.getprofile() is None

    def test_a_hook_of_the_program_that_chains_to_the_old_one(self):
        seen = []

        def program():
            old = sys.getprofile()

            def mine(frame, event, arg):
                seen.append(event)
                old(frame, event, arg)

            sys.setprofile(mine)
            second(1)
            sys.setprofile(old)

        _, doc = EngineDriver("profile").run(program)
        assert [r["event"] for r in frames_named(doc, "second")] == ["call", "return"]
        assert "call" in seen

    def test_the_program_is_told_once_where_its_own_hook_ended_the_recording(self, caplog):
        caplog.set_level(logging.WARNING, logger="vask")

        def mine(frame, event, arg):
            return None

        def program():
            first(1)
            sys.setprofile(mine)
            second(1)

        profile = EngineDriver("profile")
        recorder = profile.recorder()
        recorder.start()
        try:
            program()
            assert sys.getprofile() is mine
            recorder.stop()
            # The program's hook is its own to remove.
            assert sys.getprofile() is mine
        finally:
            sys.setprofile(None)
        (warning,) = [r for r in caplog.records if r.name == "vask"]
        assert "sys.setprofile" in warning.getMessage()
        assert "'MainThread'" in warning.getMessage()
        doc = decode(recorder.build_trace())
        assert frames_named(doc, "first") and not frames_named(doc, "second")

    def test_a_replaced_hook_for_new_threads_is_told_too(self, caplog):
        caplog.set_level(logging.WARNING, logger="vask")

        def mine(frame, event, arg):
            return None

        recorder = EngineDriver("profile").recorder(config={"threading": True})
        recorder.start()
        try:
            threading.setprofile(mine)
            recorder.stop()
            assert threading.getprofile() is mine
        finally:
            threading.setprofile(None)
        (warning,) = [r for r in caplog.records if r.name == "vask"]
        assert "threading.setprofile" in warning.getMessage()


def test_stopping_on_another_thread_stops_the_thread_that_started(engine):
    recorder = engine.recorder()
    started, stopped = threading.Event(), threading.Event()
    hooks_after = []

    def worker():
        recorder.start()
        first(1)
        started.set()
        stopped.wait(10)
        for i in range(300):
            first(i)  # after the stop: nothing is recorded, nothing grows
        hooks_after.append(sys.getprofile())

    thread = threading.Thread(target=worker)
    thread.start()
    started.wait(10)
    recorder.stop()
    stopped.set()
    thread.join()
    assert [r["event"] for r in frames_named(decode(recorder.build_trace()), "first")] == [
        "call",
        "return",
    ]
    assert hooks_after == [None]


def test_stopped_and_dropped_while_another_thread_is_inside_the_engine(engine):
    # The worker waits inside a dumper (the GIL released) while the main
    # thread stops the engine and drops every reference it holds to it: the
    # stop takes the worker's hook away (at once on 3.12+, at the worker's
    # next event before), and with it the last reference but the callback's.
    inside, release = threading.Event(), threading.Event()

    class Blocking:
        def __repr__(self):
            inside.set()
            release.wait(10)
            return "Blocking()"

    def worker():
        takes(Blocking())
        for i in range(50):
            after(i)

    recorder = engine.recorder(config={"threading": True, "values": "repr"})
    recorder.start()
    thread = threading.Thread(target=worker)
    thread.start()
    try:
        assert inside.wait(10)
        recorder.stop()
        del recorder
        gc.collect()
    finally:
        release.set()
        thread.join(10)
    assert not thread.is_alive()
    assert sys.getprofile() is None and threading.getprofile() is None


# ---- text that is not valid UTF-8 ----------------------------------------------------------

UNDECODABLE = "caf\udce9"  # b"caf\xe9" as Python reads it from argv or the file system
ESCAPED = "caf\\udce9"  # as vask writes it


ARGV_PROGRAM = """
import sys, threading

def show(arg):
    return len(arg)

def work():
    return show(sys.argv[1])

thread = threading.Thread(target=work, name=sys.argv[1])
thread.start()
thread.join()
print(work())
"""


class TestUndecodableText:
    def test_vask_run_with_an_undecodable_argument(self, engine, tmp_path):
        from test_cli import vask_cmd

        (tmp_path / "prog.py").write_text(ARGV_PROGRAM)
        run = vask_cmd(
            "run", "--engine", engine.name, "prog.py", UNDECODABLE + ".txt", cwd=tmp_path
        )
        assert run.stdout.startswith("8\n")
        listing = vask_cmd("traces", "list", cwd=tmp_path)
        assert f"prog.py {ESCAPED}.txt" in listing.stdout
        shown = vask_cmd("traces", "show", "latest", cwd=tmp_path).stdout
        assert f"thread {ESCAPED}.txt" in shown
        assert f"show(arg='{ESCAPED}.txt'".replace("\\", "\\\\") in shown

    def test_vask_run_in_an_undecodable_directory(self, engine, tmp_path):
        from test_cli import vask_cmd

        where = tmp_path / UNDECODABLE
        where.mkdir()
        (where / "prog.py").write_text(ARGV_PROGRAM)
        vask_cmd(
            "run", "--engine", engine.name, "--db", str(where / "t.db"), "prog.py", "x", cwd=where
        )
        shown = vask_cmd("traces", "show", "latest", "--db", str(where / "t.db"), cwd=where).stdout
        # The file's path is shown relative to the working directory.
        assert "show(arg='x')  → 1" in shown and " prog.py:4" in shown

    def test_code_thread_names_and_rules_with_lone_surrogates(self, engine):
        # A library path: recorded only because the include rule names it.
        filename = f"/venv/site-packages/{UNDECODABLE}/app.py"
        namespace: dict = {}
        exec(compile("def greet(who):\n    return 'hi ' + who\n", filename, "exec"), namespace)
        greet = namespace["greet"]

        def program():
            thread = threading.Thread(target=greet, args=(UNDECODABLE,), name=UNDECODABLE)
            thread.start()
            thread.join()
            return greet("x")

        config = {
            "threading": True,
            "filters": {"include_frames": [UNDECODABLE]},
            "team_note": UNDECODABLE,  # unknown keys are kept, and stored
        }
        result, doc = engine.run(program, config=config)
        assert result == "hi x"
        records = frames_named(doc, "greet")
        assert len(records) == 4
        assert records[0]["path"] == f"/venv/site-packages/{ESCAPED}/app.py:1"
        assert ESCAPED in {t["name"] for t in doc["threads"].values()}
        assert doc["meta"]["config"]["team_note"] == ESCAPED


# ---- daemon threads busy inside the tracer at exit -------------------------------------------

DAEMONS_AT_EXIT = """
import os, threading, time, vask

class Sleepy:
    def __repr__(self):
        time.sleep(0.0001)  # the GIL goes away inside a dumper
        return "Sleepy()"

class Busy:
    def __repr__(self):
        return "Busy(%d)" % sum(range(300))

def leaf(value, others, n):
    return n + 1

def spin(value):
    others = {str(i): [Busy()] for i in range(5)}
    n = 0
    while True:
        n = leaf(value, others, n)

vask.enable(config={"threading": True}, db_path=os.devnull, engine=ENGINE)
for i in range(6):
    threading.Thread(target=spin, args=(Sleepy() if i % 2 else Busy(),), daemon=True).start()
time.sleep(0.1)
print("bye")
# The interpreter exits with the daemon threads inside the engine: it ends
# each one where it waits for the GIL.
"""


@pytest.mark.skipif(
    sys.version_info < (3, 11),
    reason="3.10's own teardown races with daemon threads that wake for the GIL after the "
    "interpreter is freed (a crash in take_gil), more often the longer the exit takes",
)
def test_daemon_threads_inside_the_tracer_at_exit(engine, tmp_path):
    # What the daemon threads hold when the interpreter ends them is never
    # freed, traced or not: the sanitizer run's leak check is off for them.
    env = dict(os.environ)
    if "ASAN_OPTIONS" in env:
        env["ASAN_OPTIONS"] += ":detect_leaks=0"
    for _ in range(4):
        assert_clean(run_program(DAEMONS_AT_EXIT, engine.name, tmp_path, env=env), "bye")
