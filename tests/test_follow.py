"""Child processes of a traced program: each traced into a trace of its own, linked, never twice.

Every test runs real processes: ``vask run`` (or pytest, or a script using
the Python API) in a scratch directory, then reads the database back.
"""

from __future__ import annotations

import json
import signal
import sqlite3
import subprocess
import sys
import sysconfig
import textwrap
import threading
from collections import Counter
from dataclasses import dataclass, field
from pathlib import Path

import msgpack
import pytest
from test_cli import ENV
from vask import db
from vask.values import ext_hook

pytestmark = pytest.mark.skipif(sys.platform == "win32", reason="os.fork and POSIX signals")


@dataclass
class Trace:
    summary: db.TraceSummary
    #: co_name -> number of "call" records of it.
    calls: Counter = field(default_factory=Counter)

    @property
    def trace_id(self) -> str:
        return self.summary.trace_id


def run(
    tmp_path: Path,
    program: str,
    *options: str,
    args: tuple[str, ...] = (),
    stderr: list[str] | None = None,
) -> str:
    """``vask run OPTIONS prog.py ARGS`` in tmp_path; returns its standard output.

    Its standard error is appended to ``stderr`` when given.
    """
    (tmp_path / "prog.py").write_text(textwrap.dedent(program))
    result = subprocess.run(
        [sys.executable, "-m", "vask", "run", *options, "prog.py", *args],
        cwd=tmp_path,
        env=ENV,
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert result.returncode == 0, (result.stdout, result.stderr)
    assert "Traceback" not in result.stderr, result.stderr
    if stderr is not None:
        stderr.append(result.stderr)
    return result.stdout


def run_pytest(tmp_path: Path, *options: str) -> str:
    """``pytest --vask OPTIONS`` in tmp_path; returns its standard output."""
    result = subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "--vask", *options],
        cwd=tmp_path,
        env=ENV,
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert result.returncode == 0, result.stdout + result.stderr
    return result.stdout


def traces(tmp_path: Path) -> list[Trace]:
    """Every trace of tmp_path's database, the calls of its documents counted by name."""
    path = tmp_path / ".vask" / "db.sqlite3"
    found = []
    for summary in db.list_traces(path):
        trace = Trace(summary)
        for data in db.load_trace(path, summary.trace_id):
            doc = msgpack.unpackb(data, raw=False, strict_map_key=False, ext_hook=ext_hook)
            for thread in doc["threads"].values():
                for record in thread["frames"]:
                    if record.get("type") == "frame" and record.get("event") == "call":
                        trace.calls[record["co_name"]] += 1
        found.append(trace)
    return found


def family(tmp_path: Path, same_pid: bool = False) -> tuple[Trace, list[Trace]]:
    """The run's trace and its children's, checking the links that make them a family.

    Each trace is of a process of its own, unless ``same_pid`` (an exec).
    """
    found = traces(tmp_path)
    (parent,) = [t for t in found if t.summary.parent_trace_id is None]
    children = [t for t in found if t is not parent]
    for child in children:
        assert child.summary.parent_trace_id == parent.trace_id
        assert child.summary.parent_pid == parent.summary.pid
    pids = [t.summary.pid for t in found]
    assert None not in pids and len(set(pids)) == (1 if same_pid else len(pids)), pids
    return parent, children


def total(found: list[Trace], co_name: str) -> int:
    return sum(t.calls[co_name] for t in found)


# -- os.fork --------------------------------------------------------------------

FORK = """
import os, sys

def before_fork():
    return 1

def in_child(n):
    return n + 1

def in_parent():
    return 2

def inherited_engine():
    # The parent's engine, which the child keeps but never calls: called all
    # the same, it records nothing, hooks nothing and builds nothing.
    from vask.engines.lifecycle import _inherited
    engine = _inherited[-1]
    if hasattr(engine, "monitor_pystart"):
        if engine.monitor_pystart(in_child.__code__, 0) is not None:
            return "answered an event"
    else:
        hook = sys.getprofile()
        engine.register_threading_profiler(None, "call", None)
        if sys.getprofile() is not hook:
            return "hooked"
    try:
        engine.build_trace()
    except RuntimeError as error:
        return "refused" if "inherited through fork()" in str(error) else str(error)
    return "built"

before_fork()
pid = os.fork()
if pid == 0:
    in_child(1)
    print(inherited_engine(), flush=True)
    if sys.argv[1] == "exit":
        os._exit(0)
    # goes on: through the rest of the program and vask run's own end
else:
    os.waitpid(pid, 0)
    in_parent()
"""


@pytest.mark.parametrize("ending", ["goes-on", "exit"])
def test_a_forked_child_has_a_trace_of_its_own(tmp_path, engine, ending):
    out = run(tmp_path, FORK, "--engine", engine.name, args=(ending,))
    assert out == "refused\n"
    parent, (child,) = family(tmp_path)
    assert parent.calls["before_fork"] == child.calls["before_fork"] + 1 == 1
    assert parent.calls["in_parent"] == 1 and parent.calls["in_child"] == 0
    assert child.calls["in_child"] == 1 and child.calls["in_parent"] == 0
    assert child.summary.process_name is None
    assert child.summary.trace_name is None and parent.summary.trace_name == f"prog.py {ending}"


def test_a_forked_child_runs_the_registered_hooks_once_its_recorder_restarted(tmp_path, engine):
    program = """
    import os
    import vask
    from vask.engines import lifecycle

    recorder = vask.enable(engine=ENGINE)
    at_fork = recorder.trace_id
    seen = []

    def first():
        seen.append(("first", recorder.active, recorder.trace_id != at_fork))

    def broken():
        raise RuntimeError("a hook that fails")

    lifecycle.after_fork_in_child(first)
    lifecycle.after_fork_in_child(broken)
    lifecycle.after_fork_in_child(lambda: seen.append(("last", len(seen))))
    pid = os.fork()
    if pid == 0:
        print(seen, flush=True)
        os._exit(0)
    os.waitpid(pid, 0)
    print(seen, flush=True)
    vask.disable()
    """
    (tmp_path / "prog.py").write_text(textwrap.dedent(program).replace("ENGINE", repr(engine.name)))
    result = subprocess.run(
        [sys.executable, "prog.py"],
        cwd=tmp_path,
        env=ENV,
        capture_output=True,
        text=True,
        timeout=120,
        check=False,
    )
    assert result.returncode == 0, result.stderr
    # The child: its own trace already recording when the hooks run, all of
    # them, in order, a failing one reported; the parent runs none.
    assert result.stdout.splitlines()[:2] == ["[('first', True, True), ('last', 1)]", "[]"]
    assert "a hook that fails" in result.stderr
    parent, (child,) = family(tmp_path)
    assert child.summary.parent_trace_id == parent.trace_id


def test_without_following_a_forked_child_is_not_traced(tmp_path):
    run(tmp_path, FORK, "--no-follow", args=("goes-on",))
    (only,) = traces(tmp_path)
    assert only.calls["in_child"] == 0 and only.calls["before_fork"] == 1
    assert only.summary.parent_trace_id is None


def test_following_is_turned_off_in_pyproject_too(tmp_path):
    (tmp_path / "pyproject.toml").write_text("[tool.vask]\nfollow = false\n")
    run(tmp_path, FORK, args=("exit",))
    (only,) = traces(tmp_path)
    assert only.calls["in_child"] == 0 and only.calls["before_fork"] == 1


def test_a_fork_while_another_thread_records_neither_hangs_nor_copies(tmp_path, engine):
    # The other thread is inside the engine (its buffer, its locks) when the
    # main thread forks: a child that touched the inherited engine would hang
    # on a lock no thread of its own holds, or store the parent's records.
    program = """
    import os, threading, warnings

    warnings.simplefilter("ignore", DeprecationWarning)  # forking with threads

    def work(n):
        return n + 1

    def in_child():
        return 0

    def busy(started, stop, done):
        started.set()
        while not stop.is_set():
            done.append(work(1))

    started, stop, done = threading.Event(), threading.Event(), []
    thread = threading.Thread(target=busy, args=(started, stop, done))
    thread.start()
    started.wait()
    children = []
    for _ in range(4):
        pid = os.fork()
        if pid == 0:
            in_child()
            os._exit(0)
        children.append(pid)
    for pid in children:
        os.waitpid(pid, 0)
    stop.set()
    thread.join()
    print(len(done), flush=True)
    """
    made = int(run(tmp_path, program, "--engine", engine.name, "--complete"))
    parent, children = family(tmp_path)
    assert len(children) == 4
    assert all(c.calls == Counter(in_child=1) for c in children)
    assert parent.calls["work"] == made and parent.calls["in_child"] == 0


# -- multiprocessing --------------------------------------------------------------

POOL = """
import multiprocessing, sys

def square(x):
    return x * x

def main():
    with multiprocessing.get_context(sys.argv[1]).Pool(2) as pool:
        print(sum(pool.map(square, range(6))), flush=True)

if __name__ == "__main__":
    main()
"""


@pytest.mark.parametrize("method", ["fork", "spawn", "forkserver"])
def test_pool_workers_are_traced_under_every_start_method(tmp_path, method):
    assert run(tmp_path, POOL, args=(method,)) == "55\n"
    parent, children = family(tmp_path)
    # Each call is in the worker that made it, and in no other trace; a
    # worker the pool's terminate() stopped before it took a task may have
    # stored an empty trace or none.
    assert parent.calls["square"] == 0 and total(children, "square") == 6
    assert parent.calls["main"] == 1 and total(children, "main") == 0
    workers = [c for c in children if c.calls["square"]]
    prefix = {"fork": "ForkPoolWorker-", "spawn": "SpawnPoolWorker-"}.get(method, "ForkServer")
    assert workers and all(c.summary.process_name.startswith(prefix) for c in workers)
    # No trace of the fork server or the resource tracker themselves.
    assert len(children) <= 2


def test_process_pool_executor_workers_are_traced(tmp_path, engine):
    program = """
    from concurrent.futures import ProcessPoolExecutor

    def cube(x):
        return x ** 3

    if __name__ == "__main__":
        with ProcessPoolExecutor(2) as pool:
            print(sum(pool.map(cube, range(4))), flush=True)
    """
    assert run(tmp_path, program, "--engine", engine.name) == "36\n"
    parent, children = family(tmp_path)
    assert parent.calls["cube"] == 0 and total(children, "cube") == 4


def test_a_worker_ended_by_sigterm_stores_its_trace_and_dies_of_it(tmp_path):
    program = """
    import multiprocessing, time

    def started(queue):
        queue.put("up")

    def wait(queue):
        started(queue)
        time.sleep(60)

    if __name__ == "__main__":
        queue = multiprocessing.get_context("spawn").Queue()
        worker = multiprocessing.get_context("spawn").Process(target=wait, args=(queue,))
        worker.start()
        queue.get(timeout=60)
        worker.terminate()
        worker.join()
        print(worker.exitcode, flush=True)
    """
    assert run(tmp_path, program) == f"{-signal.SIGTERM}\n"
    _, (child,) = family(tmp_path)
    assert child.calls["started"] == 1 and child.calls["wait"] == 1
    assert child.summary.process_name == "SpawnProcess-1"


# -- new interpreters -------------------------------------------------------------

HELPER = """
import sys

def double(text):
    return int(text) * 2

print(double(sys.argv[1]), flush=True)
"""


def test_a_python_subprocess_is_traced_and_linked(tmp_path, engine):
    (tmp_path / "helper.py").write_text(textwrap.dedent(HELPER))
    program = """
    import subprocess, sys

    def main():
        done = subprocess.run([sys.executable, "helper.py", "21"], capture_output=True, text=True)
        print(done.stdout.strip(), done.stderr.strip(), flush=True)

    main()
    """
    assert run(tmp_path, program, "--engine", engine.name).strip() == "42"
    parent, (child,) = family(tmp_path)
    assert child.calls["double"] == 1 and parent.calls["double"] == 0
    assert child.summary.process_name == "helper.py 21"


def test_a_child_whose_recording_would_not_stop_still_stores_its_trace(tmp_path, engine):
    # Stopping fails at the child's end: what it recorded is stored all the same.
    (tmp_path / "helper.py").write_text(
        textwrap.dedent(
            """
            from vask.engines import lifecycle

            def broken():
                raise RuntimeError("the engine would not stop")

            lifecycle._saver._stop_engine = broken

            def double(n):
                return n * 2

            print(double(21), flush=True)
            """
        )
    )
    program = """
    import subprocess, sys

    done = subprocess.run([sys.executable, "helper.py"], capture_output=True, text=True)
    print(done.stdout.strip(), flush=True)
    print(done.stderr, file=sys.stderr, flush=True)
    """
    (tmp_path / "prog.py").write_text(textwrap.dedent(program))
    result = subprocess.run(
        [sys.executable, "-m", "vask", "run", "--engine", engine.name, "prog.py"],
        cwd=tmp_path,
        env=ENV,
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert (result.returncode, result.stdout.strip()) == (0, "42"), result.stderr
    assert "could not stop recording in process" in result.stderr
    assert "could not store" not in result.stderr
    _, (child,) = family(tmp_path)
    assert child.calls["double"] == 1


def test_grandchildren_link_to_their_parent_which_forks_as_if_vask_had_no_thread(tmp_path):
    program = """
    import os, subprocess, sys

    def grandchild():
        return 1

    if sys.argv[1:] == ["child"]:
        pid = os.fork()  # a warning of threads at fork would be an error here
        if pid == 0:
            grandchild()
            os._exit(0)
        _, status = os.waitpid(pid, 0)
        sys.exit(os.waitstatus_to_exitcode(status))
    else:
        subprocess.run(
            [sys.executable, "-W", "error::DeprecationWarning", "prog.py", "child"], check=True
        )
    """
    run(tmp_path, program)
    found = traces(tmp_path)
    by_id = {t.trace_id: t for t in found}
    (grandchild,) = [t for t in found if t.calls["grandchild"]]
    child = by_id[grandchild.summary.parent_trace_id]
    top = by_id[child.summary.parent_trace_id]
    assert top.summary.parent_trace_id is None and len(found) == 3
    assert grandchild.summary.parent_pid == child.summary.pid != top.summary.pid


def test_exec_stores_the_trace_so_far_and_the_new_program_links_to_it(tmp_path):
    (tmp_path / "helper.py").write_text(textwrap.dedent(HELPER))
    program = """
    import os, sys

    def before_exec():
        return 0

    before_exec()
    os.execv(sys.executable, [sys.executable, "helper.py", "5"])
    """
    assert run(tmp_path, program).strip() == "10"
    parent, (child,) = family(tmp_path, same_pid=True)
    assert parent.calls["before_exec"] == 1 and child.calls["double"] == 1
    # the same process, running another program
    assert child.summary.pid == child.summary.parent_pid == parent.summary.pid


# -- the Python API and pytest ---------------------------------------------------------


def test_the_python_api_follows_children_unless_told_not_to(tmp_path):
    script = tmp_path / "api.py"
    script.write_text(
        textwrap.dedent(
            """
            import multiprocessing, sys
            import vask

            def square(x):
                return x * x

            if __name__ == "__main__":
                follow = sys.argv[1] == "follow"
                with vask.enabled(db_path=".vask/db.sqlite3", follow=follow):
                    with multiprocessing.get_context("fork").Pool(2) as pool:
                        pool.map(square, range(4))
            """
        )
    )
    for mode in ("no", "follow"):
        subprocess.run(
            [sys.executable, "api.py", mode], cwd=tmp_path, env=ENV, check=True, timeout=120
        )
        if mode == "no":
            (only,) = traces(tmp_path)
            assert only.calls["square"] == 0
            (tmp_path / ".vask" / "db.sqlite3").unlink()
    _, children = family(tmp_path)
    assert total(children, "square") == 4


def test_pytest_links_each_child_to_the_test_that_started_it(tmp_path):
    (tmp_path / "helper.py").write_text(textwrap.dedent(HELPER))
    (tmp_path / "test_children.py").write_text(
        textwrap.dedent(
            """
            import multiprocessing, subprocess, sys

            def square(x):
                return x * x

            def test_pool():
                with multiprocessing.get_context("fork").Pool(2) as pool:
                    assert pool.map(square, [1, 2, 3]) == [1, 4, 9]

            def test_subprocess():
                done = subprocess.run([sys.executable, "helper.py", "4"], capture_output=True)
                assert done.stdout.strip() == b"8"
            """
        )
    )
    assert "of processes the tests started" in run_pytest(tmp_path)
    found = traces(tmp_path)
    tests = {t.summary.trace_name: t for t in found if t.summary.parent_trace_id is None}
    pool, run = "test_children.py::test_pool", "test_children.py::test_subprocess"
    assert set(tests) == {pool, run}
    children = [t for t in found if t.summary.parent_trace_id is not None]
    by_parent = Counter()
    for child in children:
        by_parent[child.summary.parent_trace_id] += child.calls["square"] + child.calls["double"]
    assert by_parent[tests[pool].trace_id] == 3
    assert by_parent[tests[run].trace_id] == 1


def test_pytest_follows_no_children_when_told_not_to(tmp_path):
    (tmp_path / "helper.py").write_text(textwrap.dedent(HELPER))
    (tmp_path / "test_child.py").write_text(
        textwrap.dedent(
            """
            import subprocess, sys

            def test_subprocess():
                done = subprocess.run([sys.executable, "helper.py", "4"], capture_output=True)
                assert done.stdout.strip() == b"8"
            """
        )
    )
    run_pytest(tmp_path, "--vask-no-follow")
    (only,) = traces(tmp_path)
    assert only.summary.trace_name == "test_child.py::test_subprocess"
    assert only.calls["double"] == 0


# -- the start-up hook ------------------------------------------------------------


def test_the_start_up_hook_is_installed_and_costs_an_unfollowed_process_nothing():
    site = Path(sysconfig.get_path("purelib"))
    line = (site / "vask_follow.pth").read_text().strip()
    assert line.startswith("import os; os.environ.get('VASK_FOLLOW') and ")
    env = {k: v for k, v in ENV.items() if k != "VASK_FOLLOW"}
    code = "import sys; print(sorted(m for m in sys.modules if m.split('.')[0] == 'vask'))"
    result = subprocess.run(
        [sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=60
    )
    assert result.stdout == "[]\n", result.stderr


def test_an_unusable_variable_leaves_the_process_untraced_and_running(tmp_path):
    env = {**ENV, "VASK_FOLLOW": json.dumps({"format": 99})}
    result = subprocess.run(
        [sys.executable, "-c", "print('ran')"],
        cwd=tmp_path,
        env=env,
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert result.stdout == "ran\n"
    assert "VASK_FOLLOW is not usable" in result.stderr
    assert not (tmp_path / ".vask").exists()


@pytest.mark.skipif(sys.version_info < (3, 12), reason="trace points need sys.monitoring")
def test_trace_points_fired_in_a_forked_child_belong_to_its_trace(tmp_path):
    program = """
    import os, warnings

    # The trace points' worker steps aside: Python sees no thread to warn of.
    warnings.simplefilter("error", DeprecationWarning)

    def point(n):
        return n

    point(1)
    pid = os.fork()
    if pid == 0:
        point(2)
        os._exit(0)
    os.waitpid(pid, 0)
    point(3)
    """
    run(tmp_path, program, "--engine", "monitor", "--trace-point", "point")
    path = tmp_path / ".vask" / "db.sqlite3"
    points = db.trace_points(path)
    found = [t for t in traces(tmp_path) if t.trace_id not in points]
    (parent,) = [t for t in found if t.summary.parent_trace_id is None]
    (child,) = [t for t in found if t is not parent]
    assert child.summary.parent_trace_id == parent.trace_id
    fired = Counter(point.root_trace_id for point in points.values())
    # the parent's two, never re-stored by the child; the child's one, under its trace
    assert fired == {parent.trace_id: 2, child.trace_id: 1}
    assert parent.calls["point"] == 2 and child.calls["point"] == 1


def test_a_fork_after_stores_in_the_background_is_not_warned_of(tmp_path, engine):
    # Cut subtrees are stored by the background writer's thread; it ends
    # before a fork (its queue stored first) and starts again after.
    program = """
    import os, warnings

    warnings.simplefilter("error", DeprecationWarning)

    def leaf(n):
        return [n] * 200

    def branch(n):
        for i in range(50):
            leaf(i)
        return n

    def round_(n):
        for i in range(20):
            branch(i)
        pid = os.fork()
        if pid == 0:
            leaf(-1)
            os._exit(0)
        _, status = os.waitpid(pid, 0)
        assert os.waitstatus_to_exitcode(status) == 0

    for n in range(3):
        round_(n)
    """
    run(tmp_path, program, "--engine", engine.name, "--flush-subtree-mb", "0.05", "--complete")
    found = traces(tmp_path)
    main_pid = next(t.summary.pid for t in found if t.calls["round_"])
    children = [t for t in found if t.summary.pid != main_pid]
    assert len(children) == 3 and all(t.calls["leaf"] == 1 for t in children)
    parents = [t for t in found if t not in children]
    assert sum(t.calls["leaf"] for t in parents) == 3 * 20 * 50
    assert sum(t.calls["branch"] for t in parents) == 3 * 20
    assert len(parents) > 1  # subtrees were cut and stored apart


# -- the views ---------------------------------------------------------------------


def test_list_show_and_export_present_the_processes_of_a_run(tmp_path):
    said: list[str] = []
    run(tmp_path, POOL, args=("fork",), stderr=said)
    parent, children = family(tmp_path)
    worker = next(c for c in children if c.calls["square"])
    processes = f"{len(children)} process{'' if len(children) == 1 else 'es'}"
    assert f"vask: the traces of {processes} it started are stored too" in said[0]
    vask = [sys.executable, "-m", "vask", "traces"]

    def cli(*args: str) -> str:
        return subprocess.run(
            [*vask, *args], cwd=tmp_path, env=ENV, capture_output=True, text=True, check=True
        ).stdout

    lines = cli("list").splitlines()[1:]
    assert lines[0].startswith(parent.trace_id) and f"pid {parent.summary.pid}" in lines[0]
    assert len(lines) == 1 + len(children)
    for line in lines[1:]:
        assert line.startswith("  trc_") and f"(parent {parent.summary.pid})" in line
    listed = {item["trace_id"]: item for item in json.loads(cli("list", "--json"))}
    assert listed[worker.trace_id]["parent_trace_id"] == parent.trace_id
    assert listed[worker.trace_id]["pid"] == worker.summary.pid
    assert listed[worker.trace_id]["process_name"] == worker.summary.process_name

    assert f"process: pid {parent.summary.pid}\n" in cli("show", "latest")
    assert (
        f"process: pid {worker.summary.pid} ({worker.summary.process_name}) · started by pid "
        f"{parent.summary.pid}, trace {parent.trace_id}"
    ) in cli("show", worker.trace_id)

    events = json.loads(cli("export", "latest", "-o", "-"))["traceEvents"]
    names = {e["pid"]: e["args"]["name"] for e in events if e["name"] == "process_name"}
    assert set(names) == {t.summary.pid for t in (parent, *children)}
    assert {e["pid"] for e in events if e["name"] == "square"} <= {c.summary.pid for c in children}
    alone = json.loads(cli("export", "latest", "--no-children", "-o", "-"))["traceEvents"]
    assert {e["pid"] for e in alone} == {parent.summary.pid}


# -- storage -----------------------------------------------------------------------


def test_a_database_without_the_process_columns_is_read_and_then_given_them(tmp_path):
    path = tmp_path / "old.sqlite3"
    conn = sqlite3.connect(path)
    conn.executescript(
        """
        CREATE TABLE traces (id INTEGER PRIMARY KEY AUTOINCREMENT, trace_id TEXT NOT NULL,
            root_trace_id TEXT, trace_name TEXT, timestamp REAL, stored_at REAL NOT NULL,
            size INTEGER NOT NULL, calls INTEGER NOT NULL, data BLOB NOT NULL);
        INSERT INTO traces VALUES (1, 'trc_OLD', 'trc_OLD', 'old', 1.0, 2.0, 1, 0, x'80');
        PRAGMA user_version = 1;
        """
    )
    conn.close()
    (old,) = db.list_traces(path)
    assert (old.trace_id, old.pid, old.parent_trace_id) == ("trc_OLD", None, None)
    assert db.child_traces(path, ["trc_OLD"]) == {"trc_OLD": []}
    document = msgpack.packb(
        {
            "trace_id": "trc_NEW",
            "root_trace_id": "trc_NEW",
            "meta": {"process": {"pid": 7, "parent_pid": 3, "parent_trace_id": "trc_OLD"}},
        }
    )
    db.save_trace("trc_NEW", msgpack_data=document, db_path=path)
    conn = sqlite3.connect(path)
    # the columns come without a version of their own (the store upgrades the
    # schema for its other changes)
    assert conn.execute("PRAGMA user_version").fetchone() == (db.SCHEMA_VERSION,)
    conn.close()
    new = next(s for s in db.list_traces(path) if s.trace_id == "trc_NEW")
    assert (new.pid, new.parent_pid, new.parent_trace_id, new.process_name) == (
        7,
        3,
        "trc_OLD",
        None,
    )
    assert db.child_traces(path, ["trc_OLD"]) == {"trc_OLD": ["trc_NEW"]}


def test_a_new_database_another_process_is_writing_is_waited_for(tmp_path):
    # A program's children and the program store their first traces at the
    # same moment; turning the new database to WAL mode takes a lock that
    # SQLite does not wait for, and the first store would fail at once.
    path = tmp_path / "db.sqlite3"
    holder = sqlite3.connect(path, isolation_level=None, check_same_thread=False)
    # Another process, still in the rollback-journal mode of a new database,
    # in the middle of a write: the switch to WAL mode is refused at once.
    holder.execute("BEGIN IMMEDIATE")
    timer = threading.Timer(0.3, holder.execute, ("COMMIT",))
    timer.start()
    try:
        db.save_trace("trc_A", msgpack_data=msgpack.packb({"trace_id": "trc_A"}), db_path=path)
    finally:
        timer.join()
        holder.close()
    (stored,) = db.list_traces(path)
    assert stored.trace_id == "trc_A"


def test_process_facts_of_the_wrong_type_are_not_stored():
    assert db.read_process(msgpack.packb({"meta": {"process": {"pid": "7"}}}))["pid"] is None
    facts = db.read_process_facts({"pid": True, "parent_pid": -2, "parent_trace_id": 5})
    assert facts == {"pid": None, "parent_pid": None, "parent_trace_id": None, "name": None}
    assert db.read_process(b"\xc1") == facts


def _summary(trace_id: str, parent: str | None = None, root: str | None = None, t: float = 0):
    return db.TraceSummary(trace_id, root or trace_id, None, t, t, 1, 1, 0, parent_trace_id=parent)


def test_the_process_tree_keeps_runs_together_in_storage_order():
    # newest first, as list_traces gives them; children stored before the run
    summaries = [
        _summary("other"),
        _summary("child-2", parent="run", t=2),
        _summary("run", t=0),
        _summary("grandchild", parent="child-1", t=3),
        _summary("child-1", parent="run", t=1),
        _summary("flushed", parent="run", root="child-1"),
        _summary("orphan", parent="gone"),
        _summary("loop-a", parent="loop-b"),
        _summary("loop-b", parent="loop-a"),
    ]
    tree = [(depth, s.trace_id) for depth, s in db.process_tree(summaries)]
    assert tree[:5] == [
        (0, "other"),
        (0, "run"),
        (1, "child-1"),
        (2, "grandchild"),
        (1, "child-2"),
    ]
    assert sorted(tree[5:]) == [(0, "flushed"), (0, "loop-a"), (0, "orphan"), (1, "loop-b")]
    assert len(tree) == len(summaries)
