"""`vask traces show` and `vask traces export` on traces of 100 k and 1 M calls.

    python bench/bench_show_export.py [--calls 100000,1000000] [--keep DIR]
        [--before DIR] [--after DIR] [--only LABELS] [--big-only LABELS]

Run it under ``nice -n 10`` on a shared machine; it reports CPU time (user +
system) besides wall time, the steadier figure there.

Records a synthetic program under ``vask run`` twice per size (every call
recorded, none folded; a second thread, generators, caught exceptions):
once with its finished subtrees flushed to traces of their own every 8 MiB,
once in one document.  Then times, each in a process of its own, with its
peak memory (VmHWM):

* of the flushed recording: ``traces show`` of the root (the subtrees stay
  markers) and of its largest subtree, ``traces export`` of the root in
  both formats (the subtrees stitched back in);
* of the recording in one document: ``traces show`` with default options,
  ``--depth 3`` and ``--grep``, and the Chrome export.

``--before DIR`` names another revision's ``python/`` directory holding the
same built native modules (``git archive REV python | tar -x -C DIR``, then
copy ``vask/_*.so`` of the installed package into it): every command also
runs with it first on ``PYTHONPATH``, in the same run, and the table shows
both with the ratio; outputs are compared byte for byte.  ``--after DIR``
measures such a directory instead of the installed package.
"""

from __future__ import annotations

import argparse
import hashlib
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import textwrap
import time
from pathlib import Path

import vask

# The traced program: ``calls`` calls in batches below main, with a
# generator, a raised-and-caught exception and a worker thread for variety.
PROGRAM = textwrap.dedent(
    """
    import sys, threading

    def leaf(i, text):
        return i * 2 + len(text)

    def fails(i):
        raise ValueError(f"bad {i}")

    def numbers(n):
        for i in range(n):
            yield i

    class Item:
        def __init__(self, i):
            self.i = i
        def price(self):
            return leaf(self.i, "price")

    def step(i):
        total = leaf(i, "a") + leaf(i, "bb")
        if i % 50 == 0:
            try:
                fails(i)
            except ValueError:
                total += 1
        if i % 20 == 0:
            total += sum(numbers(3))
        return total + Item(i).price()

    def batch(start, n):
        return sum(step(i) for i in range(start, start + n))

    def worker(n):
        for b in range(0, n, 100):
            batch(b, 100)

    def main(calls):
        # about 5.3 calls per step() in all
        steps = int(calls / 5.3)
        t = threading.Thread(target=worker, args=(steps // 10,), name="worker")
        t.start()
        mine = steps - steps // 10
        for b in range(0, mine, 200):
            batch(b, 200)
        t.join()

    main(int(sys.argv[1]))
    """
)

PYPROJECT = """
[tool.vask]
db = "traces.sqlite3"
fold_after = false
trace_cap_mb = false
memory_budget_mb = false
flush_subtree_mb = {flush}
"""

# Runs "python -m vask ARGS" and prints its own peak memory (KiB) on stderr last.
_PEAK_WRAPPER = """
import sys
from vask.cli import main
try:
    code = main(sys.argv[1:])
finally:
    for line in open("/proc/self/status"):
        if line.startswith("VmHWM:"):
            print(line.split()[1], file=sys.stderr)
sys.exit(code)
"""


def record(work: Path, calls: int, flushed: bool) -> None:
    work.mkdir(parents=True, exist_ok=True)
    (work / "pyproject.toml").write_text(PYPROJECT.format(flush=8 if flushed else "false"))
    (work / "program.py").write_text(PROGRAM)
    started = time.perf_counter()
    subprocess.run(
        [sys.executable, "-m", "vask", "run", "--name", f"bench {calls}", "program.py", str(calls)],
        cwd=work,
        check=True,
        stdout=subprocess.DEVNULL,
    )
    how = "subtrees flushed" if flushed else "one document"
    print(f"  recorded {calls:,} calls ({how}) in {time.perf_counter() - started:.1f} s", flush=True)


def traces(work: Path) -> tuple[str, str, int, int]:
    """The root trace, its largest subtree, its calls in all and its stored size in all."""
    from vask.storage import query

    db_path = work / "traces.sqlite3"
    summaries = query.list_traces(db_path)
    root = next(s for s in summaries if s.root_trace_id in (None, s.trace_id))
    subs = [s for s in summaries if s.root_trace_id == root.trace_id and s is not root]
    biggest = max(subs, key=lambda s: s.calls) if subs else root
    calls = root.calls + sum(s.calls for s in subs)
    size = root.size + sum(s.size for s in subs)
    return root.trace_id, biggest.trace_id, calls, size


def run(
    args: list[str], cwd: Path, out: Path, python_path: str | None
) -> tuple[float, float, int, str]:
    """Wall time, CPU time (user + system), peak memory (KiB) and output digest of one
    vask command.  On a shared machine the CPU time is the steadier figure."""
    env = dict(os.environ)
    env.pop("PYTHONPATH", None)
    if python_path:
        env["PYTHONPATH"] = python_path
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    started = time.perf_counter()
    with open(out, "wb") as sink:
        process = subprocess.run(
            [sys.executable, "-c", _PEAK_WRAPPER, *args],
            cwd=cwd,
            env=env,
            stdout=sink,
            stderr=subprocess.PIPE,
            text=True,
            check=False,
        )
    took = time.perf_counter() - started
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    lines = process.stderr.strip().splitlines()
    if process.returncode != 0:
        raise SystemExit(f"{' '.join(args)} failed:\n{process.stderr}")
    digest = hashlib.sha256(out.read_bytes()).hexdigest()[:12]
    return took, cpu, int(lines[-1]), digest


def mib(kib: float) -> str:
    return f"{kib / 1024:.0f} MiB"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--calls", default="100000,1000000", help="comma-separated call counts")
    parser.add_argument("--keep", type=Path, help="keep the recorded databases in this directory")
    parser.add_argument("--before", type=Path, help="another revision's python/ directory")
    parser.add_argument("--after", type=Path, help="python/ directory to measure (default: vask as installed)")
    parser.add_argument(
        "--only", default="", help="comma-separated command labels to run (default: all)"
    )
    parser.add_argument(
        "--big-only", default="", help="comma-separated command labels to run at a million calls"
    )
    options = parser.parse_args()
    before = str(options.before.resolve()) if options.before else None
    after_path = str(options.after.resolve()) if options.after else None
    if before and not (Path(before) / "vask").is_dir():
        raise SystemExit(f"{before} holds no vask package")
    base = options.keep or Path(tempfile.mkdtemp(prefix="vask-bench-show-"))
    print(f"vask {vask.__version__} from {after_path or Path(vask.__file__).parent}")
    rows = []
    only = [o for o in options.only.split(",") if o]
    big = [o for o in options.big_only.split(",") if o]
    try:
        for calls in (int(c) for c in options.calls.split(",")):
            for flushed in (True, False):
                work = base / f"calls-{calls}{'' if flushed else '-whole'}"
                if not (work / "traces.sqlite3").exists():
                    record(work, calls, flushed)
                root, sub, total, size = traces(work)
                print(f"  {total:,} calls stored in {size / 2**20:.1f} MiB; root {root}", flush=True)
                db = ["--db", str(work / "traces.sqlite3")]
                # the flushed recording's root and subtree; the whole one's only tree
                commands = (
                    {
                        "show": ["traces", "show", *db, root],
                        "show subtree": ["traces", "show", *db, sub],
                        "export chrome": ["traces", "export", *db, "-o", "-", root],
                        "export speedscope": [
                            "traces", "export", *db, "--format", "speedscope", "-o", "-", root,
                        ],
                    }
                    if flushed
                    else {
                        "show whole": ["traces", "show", *db, root],
                        "show whole --depth 3": ["traces", "show", *db, "--depth", "3", root],
                        "show whole --grep": ["traces", "show", *db, "--grep", "fails", root],
                        "export whole chrome": ["traces", "export", *db, "-o", "-", root],
                    }
                )
                for label, args in commands.items():
                    if only and label not in only:
                        continue
                    if calls >= 1_000_000 and big and label not in big:
                        continue
                    out = work / "out"
                    after = run(args, work, out, after_path)
                    prior = run(args, work, out, before) if before else None
                    rows.append((calls, size, label, prior, after))
                    same = "" if prior is None else ("same" if prior[3] == after[3] else "DIFFERS")
                    then = "" if prior is None else (
                        f" (before: {prior[0]:.1f} s, {prior[1]:.1f} s CPU, {mib(prior[2])})"
                    )
                    print(
                        f"  {label}: {after[0]:.1f} s, {after[1]:.1f} s CPU, {mib(after[2])}"
                        f"{then} {same}",
                        flush=True,
                    )
    finally:
        if options.keep is None:
            shutil.rmtree(base, ignore_errors=True)
    print()
    head = f"{'calls':>9}  {'command':<22} {'after CPU s':>11} {'wall s':>7} {'RSS':>8}"
    if before:
        head += f" {'before CPU s':>12} {'wall s':>7} {'RSS':>8} {'CPU ratio':>9}  output"
    print(head + f"  {'stored':>8}")
    for calls, size, label, prior, after in rows:
        line = f"{calls:>9,}  {label:<22} {after[1]:>11.1f} {after[0]:>7.1f} {mib(after[2]):>8}"
        if prior is not None:
            same = "same" if prior[3] == after[3] else "DIFFERS"
            ratio = prior[1] / after[1] if after[1] else float("nan")
            line += (
                f" {prior[1]:>12.1f} {prior[0]:>7.1f} {mib(prior[2]):>8} {ratio:>8.1f}x  {same:<6}"
            )
        print(line + f"  {size / 2**20:>5.0f} MiB")
    return 0


if __name__ == "__main__":
    sys.exit(main())
