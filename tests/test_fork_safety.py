"""Fork under tracing: a forked child hears the SIGTERM it is sent, and only it does; and it
stores its trace whatever the parent's other threads held at the fork.

The unlucky moments are forced rather than waited for: a C-level at-fork
handler holds the next forked child in ``pause()`` before CPython's own
after-fork code runs there, so the SIGTERM the parent sends lands exactly
where a pool's ``terminate()`` finds a worker it has only just forked; and
another thread of the parent holds vask's locks across the fork.
"""

from __future__ import annotations

import ctypes
import subprocess
import sys
import textwrap

import pytest
from test_cli import ENV as CLI_ENV

# What a followed process's daemon threads (its SIGTERM watcher) hold when
# the interpreter ends them is never freed, traced or not: the sanitizer
# run's leak check is off for these programs.
ENV = dict(CLI_ENV)
if "ASAN_OPTIONS" in ENV:
    ENV["ASAN_OPTIONS"] += ":detect_leaks=0"
from vask import db

pytestmark = pytest.mark.skipif(sys.platform != "linux", reason="os.fork, POSIX signals")

needs_glibc_atfork = pytest.mark.skipif(
    sys.platform == "linux" and not hasattr(ctypes.CDLL(None), "__register_atfork"),
    reason="needs glibc's __register_atfork",
)

# Forks a child that is sent SIGTERM before CPython's after-fork code has run
# in it, and prints how the child ended. The child would exit with status 7
# had it run on.
FORK_SENT_SIGTERM_AT_ONCE = """
import ctypes, os, signal, time

def forked_child_sent_sigterm():
    libc = ctypes.CDLL(None)
    signal.signal(signal.SIGUSR2, lambda signum, frame: None)
    # Every later fork's child waits in pause(), inside fork() itself, until
    # a signal is caught there.
    libc.__register_atfork(None, None, ctypes.cast(libc.pause, ctypes.c_void_p), None)
    pid = os.fork()
    if pid == 0:
        os._exit(7)
    os.kill(pid, signal.SIGTERM)
    # SIGUSR2 (caught) lets it out of pause(); again until it has gone, in
    # case the first one came before it was in there.
    for _ in range(100):
        os.kill(pid, signal.SIGUSR2)
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            break
        time.sleep(0.05)
    else:
        done, status = os.waitpid(pid, 0)
    if os.WIFSIGNALED(status):
        return f"signal {os.WTERMSIG(status)}"
    return f"exit {os.WEXITSTATUS(status)}"

print(forked_child_sent_sigterm(), flush=True)
"""

# The traced program starts a (followed) Python process, and that one forks:
# its SIGTERM handling (the wakeup fd, the handler) is vask's own.
FOLLOWED_FORKS = """
import subprocess, sys
result = subprocess.run([sys.executable, "inner.py"], capture_output=True, text=True)
print(result.stdout.strip(), result.returncode, flush=True)
"""


def run_program(
    tmp_path, program: str, *command: str, env: dict[str, str] | None = ENV
) -> subprocess.CompletedProcess[str]:
    """``python *command`` in ``tmp_path`` with ``program`` as its prog.py."""
    (tmp_path / "prog.py").write_text(textwrap.dedent(program))
    return subprocess.run(
        [sys.executable, *command],
        cwd=tmp_path,
        env=env,
        capture_output=True,
        text=True,
        timeout=60,
        check=False,
    )


def run_traced(
    tmp_path, program: str, *options: str, inner: str = FORK_SENT_SIGTERM_AT_ONCE
) -> str:
    (tmp_path / "inner.py").write_text(textwrap.dedent(inner))
    result = run_program(tmp_path, program, "-m", "vask", "run", *options, "prog.py")
    assert result.returncode == 0, (result.stdout, result.stderr)
    return result.stdout


@needs_glibc_atfork
def test_untraced_the_child_dies_of_the_sigterm(tmp_path):
    # What tracing must not change.
    result = run_program(tmp_path, FORK_SENT_SIGTERM_AT_ONCE, "prog.py", env=None)
    assert result.stdout == "signal 15\n"


@needs_glibc_atfork
def test_a_child_of_vask_run_sent_sigterm_as_it_is_forked_dies_of_it(tmp_path, engine):
    # The child inherits vask run's handler; the SIGTERM must still end it
    # (a pool's terminate() waits for the worker to end).
    assert run_traced(tmp_path, FORK_SENT_SIGTERM_AT_ONCE, "--engine", engine.name) == "signal 15\n"


@needs_glibc_atfork
def test_a_child_of_a_followed_process_sent_sigterm_as_it_is_forked_dies_of_it(tmp_path, engine):
    # The followed process's handler writes to its wakeup fd; the child's
    # SIGTERM must end the child, and never reach the parent's pipe.
    assert run_traced(tmp_path, FOLLOWED_FORKS, "--engine", engine.name) == "signal 15 0\n"


# A followed process forks while its wakeup fd's reader is slow to stop (the
# fork does not wait for it at all here), and after each fork counts the
# readers it has left once the slow one has had time to end.
SLOW_READER_FORKS = """
import os, sys, time, warnings
from vask import _threads
from vask.engines import lifecycle

warnings.simplefilter("ignore", DeprecationWarning)  # forking with the reader running
lifecycle._PAUSE_WAIT = 0
left = []
for _ in range(6):
    sys.setswitchinterval(30)  # the reader gets little chance to stop before the fork
    pid = os.fork()
    if pid == 0:
        os._exit(0)
    sys.setswitchinterval(0.005)
    os.waitpid(pid, 0)
    time.sleep(0.05)
    left.append(sum(t.name == "vask-sigterm" for t in _threads.alive()))
print(min(left) >= 1)
"""


def test_a_followed_process_still_reads_its_wakeup_fd_after_a_fork_its_reader_outlasted(
    tmp_path, engine
):
    # Without a reader, a SIGTERM that lands on another thread while the main
    # thread waits in C (a pool worker on its task queue) is never acted on.
    out = run_traced(tmp_path, FOLLOWED_FORKS, "--engine", engine.name, inner=SLOW_READER_FORKS)
    assert out == "True 0\n"


# Another thread holds the locks a store takes while the main thread forks;
# the child stores its trace on its way out (os._exit), or is found hung.
LOCKS_HELD_AT_FORK = """
import os, threading, time
from vask.storage import caps, codec, keep, spool

locks = [caps._bounds.lock, codec._dicts_lock, keep._mode.lock, spool._kept_lock]
held, release = threading.Event(), threading.Event()

def hold():
    for lock in locks:
        lock.acquire()
    held.set()
    release.wait()
    for lock in locks:
        lock.release()

holder = threading.Thread(target=hold)
holder.start()
held.wait()
pid = os.fork()
if pid == 0:
    os._exit(0)
deadline = time.monotonic() + 20
while time.monotonic() < deadline:
    done, status = os.waitpid(pid, os.WNOHANG)
    if done:
        break
    time.sleep(0.05)
else:
    os.kill(pid, 9)
    os.waitpid(pid, 0)
    status = "hung"
release.set()
holder.join()
print(status, flush=True)
"""


def test_a_child_forked_while_another_thread_holds_the_storage_locks_stores_its_trace(tmp_path):
    assert run_traced(tmp_path, LOCKS_HELD_AT_FORK) == "0\n"
    traces = db.list_traces(tmp_path / ".vask" / "db.sqlite3")
    assert len({trace.pid for trace in traces}) == 2  # the parent's trace and the child's


# A lock made after the hook that restarts recorders in a child was
# registered, held by another thread at the fork; and a piece of state the
# child lets go.  The hook restarts the trace (and a SIGTERM may have it
# stored on a thread of its own at once), so both must be the child's own
# by then, whatever the order the hooks were registered in.
LATE_LOCK_AT_FORK = """
import os, threading
from vask import _forksafe
from vask.engines import lifecycle
from vask.storage import writer

late = _forksafe.lock()
held, done = threading.Event(), threading.Event()

def hold():
    with late:
        held.set()
        done.wait()

holder = threading.Thread(target=hold)
holder.start()
held.wait()
parents_writer = writer._state
seen = []
lifecycle.after_fork_in_child(
    lambda: seen.append((late.acquire(blocking=False), writer._state is not parents_writer))
)
pid = os.fork()
if pid == 0:
    os._exit(0 if seen == [(True, True)] else 1)
done.set()
holder.join()
print(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]), flush=True)
"""


def test_a_childs_locks_and_state_are_its_own_before_its_trace_restarts(tmp_path):
    result = run_program(tmp_path, LATE_LOCK_AT_FORK, "-W", "ignore", "prog.py")
    assert (result.stdout, result.stderr) == ("0\n", "")


# subprocess forks to run preexec_fn in the child, which then execs.
PREEXEC = """
import os, subprocess, sys

def before_exec():
    os.environ.get("HOME")

subprocess.run([sys.executable, "-c", "print('child')"], preexec_fn=before_exec, check=True)
"""


def test_a_program_started_with_preexec_fn_is_linked_to_the_trace_that_started_it(tmp_path, engine):
    run_traced(tmp_path, PREEXEC, "--engine", engine.name)
    traces = db.list_traces(tmp_path / ".vask" / "db.sqlite3")
    (parent,) = [trace for trace in traces if trace.parent_pid is None]
    (child,) = [trace for trace in traces if trace.parent_pid is not None]
    # Not to a trace of the short-lived fork in between (never stored, and
    # with the child's own pid, as exec keeps it).
    assert (child.parent_pid, child.parent_trace_id) == (parent.pid, parent.trace_id)
    assert len(traces) == 2


# A followed process forks a child whose main thread then waits in C for
# good, and SIGTERM is sent to another thread of the child: only the reader
# of the child's own wakeup fd can act on it.
SIGTERM_ON_ANOTHER_THREAD = """
import multiprocessing, os, signal, threading, time

pid = os.fork()
if pid == 0:
    lock = multiprocessing.get_context("fork").Lock()
    lock.acquire()

    def send_to_this_thread():
        time.sleep(0.2)
        signal.pthread_kill(threading.get_ident(), signal.SIGTERM)
        time.sleep(30)

    threading.Thread(target=send_to_this_thread, daemon=True).start()
    lock.acquire()  # never returns: only SIGTERM ends this process
    os._exit(7)
deadline = time.monotonic() + 15
while time.monotonic() < deadline:
    done, status = os.waitpid(pid, os.WNOHANG)
    if done:
        break
    time.sleep(0.05)
else:
    os.kill(pid, signal.SIGKILL)
    os.waitpid(pid, 0)
    status = "hung"
print(f"signal {os.WTERMSIG(status)}" if isinstance(status, int) else status, flush=True)
"""


def test_a_forked_child_of_a_followed_process_acts_on_a_sigterm_another_thread_took(
    tmp_path, engine
):
    out = run_traced(
        tmp_path, FOLLOWED_FORKS, "--engine", engine.name, inner=SIGTERM_ON_ANOTHER_THREAD
    )
    assert out == "signal 15 0\n"


# A side file the parent kept is the parent's to store: a forked child that
# stores its own trace leaves it alone.
SIDE_FILE_BEFORE_FORK = """
import os
from pathlib import Path
from vask.storage import spool

db_path = Path("db.sqlite3").absolute()
side_file = spool.keep_aside("trc_PARENT", b"\\\\x80", db_path, "the database was busy")
pid = os.fork()
if pid == 0:
    print("child:", spool.next_waiting(db_path), flush=True)
    os._exit(0)
os.waitpid(pid, 0)
print("parent:", spool.next_waiting(db_path).path == side_file, flush=True)
"""


def test_a_forked_child_leaves_the_side_files_the_parent_kept_to_the_parent(tmp_path):
    result = run_program(tmp_path, SIDE_FILE_BEFORE_FORK, "prog.py")
    assert result.stdout == "child: None\nparent: True\n", result.stderr


# A followed process forks, noting the warnings it gets: Python warns of a
# fork made while other threads run, and vask's own must not count.
FORK_NOTING_WARNINGS = """
import os, warnings
from vask.engines import lifecycle

lifecycle._PAUSE_WAIT = 30  # however loaded the machine, the reader stops before the fork
with warnings.catch_warnings(record=True) as caught:
    warnings.simplefilter("always")
    pid = os.fork()
    if pid == 0:
        os._exit(0)
os.waitpid(pid, 0)
print([str(warning.message)[:40] for warning in caught], flush=True)
"""


def test_a_followed_process_forks_without_a_warning_of_vask_threads(tmp_path, engine):
    out = run_traced(tmp_path, FOLLOWED_FORKS, "--engine", engine.name, inner=FORK_NOTING_WARNINGS)
    assert out == "[] 0\n"


# A program forks while a thread of its own runs: Python warns of it, naming the
# program's line that forked, where the program's warning filters (as `-W` or a
# pytest `filterwarnings` entry name its module) expect it.
FORK_WITH_A_THREAD = """
import os, threading, warnings

running = threading.Event()
worker = threading.Thread(target=running.wait)
worker.start()
with warnings.catch_warnings(record=True) as caught:
    warnings.simplefilter("always")
    pid = os.fork()
    if pid == 0:
        os._exit(0)
    os.waitpid(pid, 0)
running.set()
worker.join()
print([(os.path.basename(w.filename), w.lineno) for w in caught])
"""


@pytest.mark.skipif(sys.version_info < (3, 12), reason="Python warns of such forks from 3.12")
def test_the_warning_of_a_fork_with_threads_names_the_programs_line(tmp_path, engine):
    untraced = run_program(tmp_path, FORK_WITH_A_THREAD, "prog.py", env=None).stdout
    assert untraced == "[('prog.py', 9)]\n", untraced
    assert run_traced(tmp_path, FORK_WITH_A_THREAD, "--engine", engine.name) == untraced
