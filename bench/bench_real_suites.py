"""vask on the test suites of real pure-Python libraries: ``pytest`` and ``pytest --vask``.

For each library (pinned below) the benchmark downloads its sdist from PyPI
(``pip download --no-deps --no-binary :all:``), unpacks it under
``build/bench/``, makes a virtual environment there with the library's test
requirements and vask (built from this checkout), and runs the library's
whole test suite from the source tree, so that its code is user code: once
untraced and once under ``pytest --vask``.  It prints, side by side:

* the wall time of both runs and the slowdown;
* the peak RSS of both runs (the pytest process, as ``wait4`` reports it);
* the pass/fail counts of both runs (they must be the same);
* the trace database's size, the traces stored (one per test: every test
  must have its trace), the subtrees flushed apart, the outcomes stored
  against pytest's, and whether every stored trace reads back.

The libraries: python-dateutil and attrs; more-itertools, a library built
from generators and iterators (some of its tests yield a million times);
pyparsing, a parser library whose tests make deep, repetitive call trees.
``--heavy`` adds a suite made up here whose one test makes a million calls
(a trace of about a gigabyte): it shows the memory budget at work, which the
libraries' tests, each small, never reach, beside a third run of the same
suite with the budget off (``--vask-budget-mb off``).

``--ref REF`` measures vask as committed at a git ref (``--ref main``) instead
of the working tree: "before" and "after" figures of a change come from two
runs, one with ``--ref main``.  ``--timeout`` ends a run that takes longer
(its row then says so); a traced run that is killed still shows what it
wrote.  ``--vask-arg`` passes an option on to ``pytest --vask`` runs.

It downloads and runs for minutes, so it is not part of the test suite.
Run it from the repository root with the test environment's Python::

    build/venv-3.13/bin/python bench/bench_real_suites.py            # both libraries
    build/venv-3.13/bin/python bench/bench_real_suites.py attrs      # one of them
    build/venv-3.13/bin/python bench/bench_real_suites.py --engine profile
    build/venv-3.13/bin/python bench/bench_real_suites.py --heavy
    build/venv-3.13/bin/python bench/bench_real_suites.py --all --ref main --timeout 900

The aims: at most 5x the untraced time (3x hoped for), at most 1 GB of
database (200 MB hoped for), a peak RSS under 1 GB, the same outcomes, every
test's trace stored and readable.
"""

from __future__ import annotations

import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import tarfile
import threading
import time
from dataclasses import dataclass, field
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
BENCH = ROOT / "build" / "bench"


@dataclass
class Library:
    name: str
    version: str
    #: the test requirements, as pip takes them
    requirements: list[str]
    #: where the importable package lives in the source tree
    source: str
    #: what pytest runs, and how
    pytest_args: list[str] = field(default_factory=list)


LIBRARIES = {
    "python-dateutil": Library(
        "python-dateutil",
        "2.9.0.post0",
        ["pytest==8.3.5", "pytest-cov==6.1.1", "hypothesis", "freezegun", "six"],
        "src",
        ["tests"],
    ),
    "attrs": Library(
        "attrs",
        "25.3.0",
        ["pytest", "hypothesis", "pympler", "cloudpickle"],
        "src",
        ["tests", "--ignore=tests/test_mypy.yml", "-p", "no:mypy-testing"],
    ),
    "more-itertools": Library(
        "more-itertools",
        "10.7.0",
        ["pytest"],
        ".",
        ["tests"],
    ),
    "pyparsing": Library(
        "pyparsing",
        "3.2.3",
        ["pytest", "railroad-diagrams", "jinja2"],
        ".",
        ["tests"],
    ),
}
# What a run of the benchmark measures when no library is named.
DEFAULT = ("python-dateutil", "attrs")

HEAVY = Library("heavy", "1", ["pytest"], ".", ["test_heavy.py"])
HEAVY_TESTS = """
def leaf(i, payload):
    return i + len(payload)


def branch(n):
    payload = "x" * 40
    return sum(leaf(i, payload) for i in range(n))


def test_a_million_calls():
    assert sum(branch(100) for _ in range(10_000)) > 0


def test_small():
    assert branch(10) > 0
"""

_COUNTS = re.compile(r"(\d+) (passed|failed|skipped|xfailed|xpassed|errors?|warnings?)")


def run(cmd: list[str], **kwargs) -> subprocess.CompletedProcess[str]:
    return subprocess.run(cmd, check=True, text=True, capture_output=True, **kwargs)


def wheel(ref: str | None) -> Path:
    """vask built from this checkout (or as committed at ``ref``), once per run."""
    out = BENCH / "wheel"
    shutil.rmtree(out, ignore_errors=True)
    source = ROOT
    if ref is not None:
        source = BENCH / "source"
        shutil.rmtree(source, ignore_errors=True)
        source.mkdir(parents=True)
        archive = subprocess.run(
            ["git", "-C", ROOT, "archive", "--format=tar", ref], check=True, capture_output=True
        ).stdout
        subprocess.run(["tar", "-x", "-C", source], input=archive, check=True)
    run(
        [sys.executable, "-m", "pip", "wheel", "--no-deps", "--no-build-isolation", "-w", out, "."],
        cwd=source,
    )
    (built,) = out.glob("vask-*.whl")
    return built


def prepare(lib: Library, vask_wheel: Path) -> tuple[Path, Path]:
    """The unpacked source tree and the environment's Python."""
    home = BENCH / lib.name
    home.mkdir(parents=True, exist_ok=True)
    tree = home / f"{lib.name}-{lib.version}"
    if lib is HEAVY:
        tree.mkdir(exist_ok=True)
        (tree / "test_heavy.py").write_text(HEAVY_TESTS)
    elif not tree.exists():
        downloads = home / "sdist"
        run(
            [sys.executable, "-m", "pip", "download", "--no-deps", "--no-binary", ":all:",
             "-d", downloads, f"{lib.name}=={lib.version}"],
        )  # fmt: skip
        (sdist,) = downloads.glob("*.tar.gz")
        with tarfile.open(sdist) as archive:
            archive.extractall(home, filter="data")
        unpacked = next(p for p in home.iterdir() if p.is_dir() and p.name != "sdist")
        if unpacked != tree:
            unpacked.rename(tree)
    venv = home / "venv"
    python = venv / "bin" / "python"
    if not python.exists():
        run([sys.executable, "-m", "venv", venv])
        run([python, "-m", "pip", "install", "-q", *lib.requirements])
    run([python, "-m", "pip", "install", "-q", "--force-reinstall", "--no-deps", vask_wheel])
    # and what that vask needs (msgpack, zstandard), besides the tests' own
    run([python, "-m", "pip", "install", "-q", vask_wheel])
    return tree, python


@dataclass
class Run:
    seconds: float
    peak_rss_mb: float
    counts: dict[str, int]
    tail: str
    killed: bool = False


#: Seconds a run may take before it is ended (``--timeout``).
TIMEOUT: float | None = None


def measure(python: Path, tree: Path, lib: Library, extra: list[str], env: dict) -> Run:
    cmd = [python, "-m", "pytest", "-q", "-p", "no:cacheprovider", *lib.pytest_args, *extra]
    started = time.monotonic()
    proc = subprocess.Popen(
        cmd, cwd=tree, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True
    )
    chunks: list[str] = []
    reader = threading.Thread(target=lambda: chunks.append(proc.stdout.read()), daemon=True)
    reader.start()
    reader.join(TIMEOUT)
    killed = reader.is_alive()
    if killed:
        proc.kill()
        reader.join()
    output = "".join(chunks)
    _, _, usage = os.wait4(proc.pid, 0)
    proc.returncode = 0
    seconds = time.monotonic() - started
    lines = [line for line in output.splitlines() if line.strip()]
    summary = next(
        (line for line in reversed(lines) if " in " in line and _COUNTS.search(line)), ""
    )
    counts: dict[str, int] = {}
    for number, what in _COUNTS.findall(summary):
        what = "errors" if what.startswith("error") else what
        if not what.startswith("warning"):
            counts[what] = int(number)
    # vask's own summary: before pytest's short summary of failures, if any
    tail = "\n".join(line for line in lines if line.startswith("vask: "))
    if killed:
        tail = f"KILLED after {TIMEOUT:.0f} s\n{tail}".strip()
    return Run(seconds, usage.ru_maxrss / 1024, counts, tail or summary, killed)


def check_database(python: Path, db_path: Path, read_back: bool) -> dict:
    """What the traced run stored, read back in the library's environment
    (every trace opened only when ``read_back``: not after a killed run)."""
    script = r"""
import json, sys
from vask import db, traceindex
path = sys.argv[1]
read_back = sys.argv[2] == "1"
summaries = db.list_traces(path)
roots = [s for s in summaries if s.root_trace_id in (None, s.trace_id)]
outcomes = {}
for s in roots:
    outcomes[s.outcome or "none"] = outcomes.get(s.outcome or "none", 0) + 1
unreadable = 0
for s in summaries if read_back else ():
    index = traceindex.open_trace(path, s.trace_id)
    try:
        if index.damaged or index.documents == 0:
            unreadable += 1
    finally:
        index.close()
print(json.dumps({
    "tests_traced": len(roots),
    "named_by_node_id": sum("::" in (s.trace_name or "") for s in roots),
    "subtrees": len(summaries) - len(roots),
    "calls": sum(s.calls for s in summaries),
    "outcomes": outcomes,
    "unreadable": unreadable,
    "largest_mb": round(max((s.size for s in summaries), default=0) / 2**20, 1),
}))
"""
    result = run([python, "-c", script, db_path, "1" if read_back else "0"])
    facts = json.loads(result.stdout)
    files = [db_path, db_path.with_name(db_path.name + "-wal")]
    facts["db_mb"] = round(sum(f.stat().st_size for f in files if f.exists()) / 2**20, 1)
    return facts


def bench(lib: Library, vask_wheel: Path, engine: str, vask_args: list[str]) -> None:
    tree, python = prepare(lib, vask_wheel)
    env = {k: v for k, v in os.environ.items() if not k.startswith(("PYTEST_", "PYTHON"))}
    env["PYTHONPATH"] = str(tree / lib.source)
    db_path = BENCH / lib.name / "traces.sqlite3"
    for f in db_path.parent.glob(db_path.name + "*"):
        f.unlink()
    print(f"\n{lib.name} {lib.version} ({tree.relative_to(ROOT)}), engine {engine}", flush=True)
    untraced = measure(python, tree, lib, [], env)
    traced = measure(
        python, tree, lib,
        ["--vask", "--vask-db", db_path, "--vask-engine", engine, *vask_args], env,
    )  # fmt: skip
    facts = check_database(python, db_path, not traced.killed)
    tests = sum(untraced.counts.values())
    rows = [
        ("wall time", f"{untraced.seconds:.1f} s", f"{traced.seconds:.1f} s",
         f"{traced.seconds / untraced.seconds:.1f}x"),
        ("peak RSS", f"{untraced.peak_rss_mb:.0f} MB", f"{traced.peak_rss_mb:.0f} MB",
         f"+{traced.peak_rss_mb - untraced.peak_rss_mb:.0f} MB"),
        ("results", json.dumps(untraced.counts), json.dumps(traced.counts),
         "same" if untraced.counts == traced.counts else "DIFFERENT"),
    ]  # fmt: skip
    for what, a, b, c in rows:
        print(f"  {what:<10} untraced {a:<40} traced {b:<40} {c}")
    print(
        f"  database   {facts['db_mb']} MB; {facts['tests_traced']} test traces for {tests} "
        f"tests ({facts['named_by_node_id']} named by node id), {facts['subtrees']} subtrees "
        f"flushed apart, {facts['calls']:,} calls, the largest document "
        f"{facts['largest_mb']} MB; unreadable: {facts['unreadable']}"
    )
    print(f"  outcomes   stored {json.dumps(facts['outcomes'])}")
    print(f"  summary    {traced.tail}")
    if lib is HEAVY:
        # The same run with no process budget: what the budget saves.
        unbounded_db = db_path.with_name("traces-no-budget.sqlite3")
        for f in unbounded_db.parent.glob(unbounded_db.name + "*"):
            f.unlink()
        unbounded = measure(
            python, tree, lib,
            ["--vask", "--vask-db", unbounded_db, "--vask-engine", engine,
             "--vask-budget-mb", "off"],
            env,
        )  # fmt: skip
        print(
            f"  no budget  {unbounded.seconds:.1f} s ({unbounded.seconds / untraced.seconds:.1f}x),"
            f" peak RSS {unbounded.peak_rss_mb:.0f} MB "
            f"(+{unbounded.peak_rss_mb - untraced.peak_rss_mb:.0f} MB); results "
            f"{'same' if unbounded.counts == untraced.counts else 'DIFFERENT'}"
        )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("libraries", nargs="*", metavar="LIBRARY", help=", ".join(LIBRARIES))
    parser.add_argument("--engine", default="monitor", choices=("monitor", "profile"))
    parser.add_argument(
        "--heavy", action="store_true", help="also a made-up test of a million calls"
    )
    parser.add_argument("--all", action="store_true", help="every library and --heavy")
    parser.add_argument("--ref", help="measure vask as committed at this git ref")
    parser.add_argument("--timeout", type=float, help="end a run after this many seconds")
    parser.add_argument(
        "--dir", type=Path, help="where the suites, environments and databases go "
        "(default build/bench; two runs at once need two)",
    )  # fmt: skip
    parser.add_argument(
        "--vask-arg", action="append", default=[], help="an option for pytest --vask runs"
    )
    args = parser.parse_args()
    unknown = sorted(set(args.libraries) - set(LIBRARIES))
    if unknown:
        parser.error(f"unknown library {', '.join(unknown)}; choose from {', '.join(LIBRARIES)}")
    global TIMEOUT, BENCH
    TIMEOUT = args.timeout
    if args.dir is not None:
        BENCH = args.dir.resolve()
    vask_wheel = wheel(args.ref)
    names = list(LIBRARIES) if args.all else args.libraries or DEFAULT
    for name in names:
        bench(LIBRARIES[name], vask_wheel, args.engine, args.vask_arg)
    if args.heavy or args.all:
        bench(HEAVY, vask_wheel, args.engine, args.vask_arg)


if __name__ == "__main__":
    main()
