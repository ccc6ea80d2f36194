"""Runs ``vask run`` on small fork-start multiprocessing programs many times, looking for hangs.

Not a test: a hang at a forked pool's exit is a matter of timing, so this runs
the programs hundreds of times, a few at once (run it under ``nice``), each
with a deadline.  A run past its deadline has the stacks of every process of
its tree dumped (``py-spy dump`` when ``--py-spy`` names it, else gdb) into
the output directory before it is killed.

    nice -n 10 python scripts/stress_fork_exit.py --python build/venv-3.13/bin/python \
        --runs 200 --jobs 3 --engine profile --engine monitor --py-spy /path/to/py-spy
"""

from __future__ import annotations

import argparse
import itertools
import os
import signal
import subprocess
import sys
import tempfile
import textwrap
import threading
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

PROGRAMS = {
    "with_map": """
        import multiprocessing as mp
        def square(x):
            return helper(x) * x
        def helper(x):
            return x
        if __name__ == "__main__":
            with mp.get_context("fork").Pool(2) as pool:
                print(sum(pool.map(square, range(8))))
    """,
    "with_map_builtin": """
        import multiprocessing as mp
        if __name__ == "__main__":
            with mp.get_context("fork").Pool(3) as pool:
                print(sum(pool.map(abs, range(8))))
    """,
    "imap": """
        import multiprocessing as mp
        def square(x):
            return x * x
        if __name__ == "__main__":
            with mp.get_context("fork").Pool(2) as pool:
                print(sum(pool.imap(square, range(20), chunksize=3)))
    """,
    "apply_async": """
        import multiprocessing as mp
        def work(x):
            return sum(i for i in range(x * 50))
        if __name__ == "__main__":
            with mp.get_context("fork").Pool(3) as pool:
                results = [pool.apply_async(work, (x,)) for x in range(6)]
                print(sum(r.get() for r in results))
    """,
    "close_join": """
        import multiprocessing as mp
        def square(x):
            return x * x
        if __name__ == "__main__":
            pool = mp.get_context("fork").Pool(2)
            print(sum(pool.map(square, range(8))))
            pool.close()
            pool.join()
    """,
    "terminate_idle": """
        import multiprocessing as mp
        def square(x):
            return x * x
        if __name__ == "__main__":
            pool = mp.get_context("fork").Pool(4)
            print(pool.apply(square, (3,)))
            pool.terminate()
            pool.join()
    """,
    "terminate_at_once": """
        import multiprocessing as mp
        if __name__ == "__main__":
            pool = mp.get_context("fork").Pool(3)
            pool.terminate()
            pool.join()
            print("done")
    """,
    "threads_then_pool": """
        import multiprocessing as mp, threading
        def square(x):
            return x * x
        def spin(stop):
            while not stop.is_set():
                sum(range(50))
        if __name__ == "__main__":
            stop = threading.Event()
            thread = threading.Thread(target=spin, args=(stop,))
            thread.start()
            with mp.get_context("fork").Pool(2) as pool:
                print(sum(pool.map(square, range(8))))
            stop.set()
            thread.join()
    """,
    "nested_pool": """
        import subprocess, sys
        INNER = (
            "import multiprocessing as mp\\n"
            "def square(x):\\n"
            "    return x * x\\n"
            "with mp.get_context('fork').Pool(2) as pool:\\n"
            "    print(sum(pool.map(square, range(8))))\\n"
        )
        if __name__ == "__main__":
            done = subprocess.run([sys.executable, "-c", INNER], capture_output=True, text=True)
            print(done.stdout.strip(), done.returncode)
    """,
    "preexec_fn": """
        import os, subprocess, sys
        if __name__ == "__main__":
            for _ in range(2):
                subprocess.run([sys.executable, "-c", "pass"], preexec_fn=os.getpid, check=True)
            print("done")
    """,
    "process_pool_executor": """
        import multiprocessing as mp
        from concurrent.futures import ProcessPoolExecutor
        def square(x):
            return x * x
        if __name__ == "__main__":
            with ProcessPoolExecutor(2, mp_context=mp.get_context("fork")) as ex:
                print(sum(ex.map(square, range(8))))
    """,
}


def process_tree(root: int) -> list[int]:
    """``root`` and its descendants, found through /proc."""
    children: dict[int, list[int]] = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            stat = Path(f"/proc/{entry}/stat").read_text()
        except OSError:
            continue
        ppid = int(stat.rsplit(")", 1)[1].split()[1])
        children.setdefault(ppid, []).append(int(entry))
    found, todo = [], [root]
    while todo:
        pid = todo.pop()
        found.append(pid)
        todo.extend(children.get(pid, []))
    return found


def signal_state(pid: int) -> str:
    """The signal masks, pending signals and open files of every thread of ``pid``."""
    lines = []
    try:
        for task in sorted(os.listdir(f"/proc/{pid}/task")):
            status = Path(f"/proc/{pid}/task/{task}/status").read_text().splitlines()
            wanted = [line for line in status if line.startswith(("Name", "Sig", "ShdPnd"))]
            lines.append(f"task {task}: " + "; ".join(wanted))
        for fd in sorted(os.listdir(f"/proc/{pid}/fd"), key=int):
            lines.append(f"fd {fd} -> {os.readlink(f'/proc/{pid}/fd/{fd}')}")
    except OSError as error:
        lines.append(f"(no signal state: {error})")
    return "\n".join(lines)


def dump_stacks(pids: list[int], py_spy: str | None) -> str:
    out = []
    for pid in pids:
        out.append(
            f"===== pid {pid}: {Path(f'/proc/{pid}/cmdline').read_bytes()!r}"
            if Path(f"/proc/{pid}").exists()
            else f"===== pid {pid} (gone)"
        )
        if py_spy:
            command = [py_spy, "dump", "--native", "--locals", "--pid", str(pid)]
        else:
            command = ["gdb", "-p", str(pid), "-batch", "-ex", "thread apply all bt"]
        out.append(signal_state(pid))
        try:
            result = subprocess.run(
                command, capture_output=True, text=True, timeout=60, check=False
            )
            out.append(result.stdout + result.stderr)
        except (OSError, subprocess.TimeoutExpired) as error:
            out.append(f"(no stacks: {error})")
    return "\n".join(out)


def run_one(python: str, engine: str, name: str, n: int, args: argparse.Namespace) -> str:
    with tempfile.TemporaryDirectory(prefix="vask-stress-") as tmp:
        Path(tmp, "prog.py").write_text(textwrap.dedent(PROGRAMS[name]))
        env = dict(os.environ, VASK_DB=str(Path(tmp, "db.sqlite3")))
        command = [python, "-m", "vask", "run", "--engine", engine, "prog.py"]
        started = time.monotonic()
        proc = subprocess.Popen(
            command,
            cwd=tmp,
            env=env,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            start_new_session=True,
        )
        try:
            out, err = proc.communicate(timeout=args.timeout)
        except subprocess.TimeoutExpired:
            pids = process_tree(proc.pid)
            stacks = dump_stacks(pids, args.py_spy)
            report = Path(args.out, f"hang-{engine}-{name}-{n}-{proc.pid}.txt")
            report.write_text(f"{command}\n{stacks}")
            os.killpg(proc.pid, signal.SIGKILL)
            proc.communicate()
            return f"HANG {engine} {name} #{n}: stacks in {report}"
        took = time.monotonic() - started
        if proc.returncode != 0 or b"Traceback" in err:
            report = Path(args.out, f"fail-{engine}-{name}-{n}.txt")
            report.write_bytes(out + b"\n----\n" + err)
            return f"FAIL {engine} {name} #{n} (status {proc.returncode}): {report}"
        return f"ok   {engine} {name} #{n} {took:.1f}s"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--python", default=sys.executable)
    parser.add_argument("--engine", action="append", choices=["profile", "monitor"])
    parser.add_argument("--program", action="append", choices=sorted(PROGRAMS))
    parser.add_argument("--runs", type=int, default=100, help="runs in all")
    parser.add_argument("--jobs", type=int, default=3, help="runs at once")
    parser.add_argument("--timeout", type=float, default=60.0)
    parser.add_argument("--py-spy", help="the py-spy executable (else gdb)")
    parser.add_argument("--out", default="stress-out")
    args = parser.parse_args()
    Path(args.out).mkdir(parents=True, exist_ok=True)
    engines = args.engine or ["profile"]
    programs = args.program or sorted(PROGRAMS)
    plan = list(itertools.islice(itertools.cycle(itertools.product(engines, programs)), args.runs))
    lock = threading.Lock()
    bad = 0

    def one(item: tuple[int, tuple[str, str]]) -> None:
        nonlocal bad
        n, (engine, name) = item
        line = run_one(args.python, engine, name, n, args)
        with lock:
            if not line.startswith("ok"):
                bad += 1
            print(line, flush=True)

    with ThreadPoolExecutor(args.jobs) as pool:
        list(pool.map(one, enumerate(plan)))
    print(f"{len(plan)} runs, {bad} hung or failed")
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
