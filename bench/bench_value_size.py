"""What recording values costs on real code: "safe" against "repr", CPU time and bytes.

Real libraries' objects hold much: a jinja2 Environment holds dicts of its
filters, tests and globals, a pyparsing element its whole grammar. Every
argument, local and return value of every call is written under the byte cap
of one value (``max_value_bytes``), so what "safe" writes of such objects
decides its cost. This benchmark runs, side by side in one run:

* a subset of the test suites of jinja2 3.1.6 and pyparsing 3.2.3 (their
  sdists from PyPI, unpacked under ``build/bench-values/``, the tests run from
  the source tree with ``PYTHONPATH=src`` so that the library is user code):
  untraced, ``pytest --vask`` (safe), ``--vask-values repr``, and, with
  ``--old DIR``, ``pytest --vask`` under another build of vask (DIR holds an
  installed ``vask`` package, put first on ``PYTHONPATH``);
* bench_overhead.py's user-code workload under the monitor engine, safe and
  repr, with each build.

It reports the CPU time (user + system of the pytest process) and its ratio
to the untraced run, and the database's size. The Python running this needs
pytest and a built vask (the test environment: ``build/venv-3.13``);
markupsafe is installed into it when missing. It runs for minutes, so it is
not part of the test suite::

    nice -n 10 build/venv-3.13/bin/python bench/bench_value_size.py
    nice -n 10 build/venv-3.13/bin/python bench/bench_value_size.py --old build/old-vask
"""

from __future__ import annotations

import argparse
import json
import os
import resource
import shutil
import subprocess
import sys
import tarfile
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
WORK = ROOT / "build" / "bench-values"

#: name: (project, version, what pytest runs)
SUITES = {
    "jinja2": ("jinja2", "3.1.6", ["tests/test_core_tags.py", "tests/test_compile.py",
                                   "tests/test_filters.py"]),
    # The parsing tests of one of its two runs (with packrat off): grammars
    # built and parsed under trace, elements holding their whole grammar.
    "pyparsing": ("pyparsing", "3.2.3", ["tests/test_unit.py", "-k",
                                         "Test02_WithoutPackrat and (testParse or testTransform)"]),
}

OVERHEAD = """
import json, sys, time
sys.path[:0] = [{bench!r}]
import bench_overhead
bench_overhead.clock = time.process_time
out = {{}}
for values in ("safe", "repr"):
    run = bench_overhead.vask_run(bench_overhead.workloads.user_heavy, "monitor", values=values)
    out[values] = bench_overhead.timed(run, {repeat})
    out[values + " bytes"] = run.last_trace_size
out["untraced"] = bench_overhead.timed(bench_overhead.workloads.user_heavy, {repeat})
print(json.dumps(out))
"""


def source_tree(name: str, version: str) -> Path:
    tree = WORK / f"{name}-{version}"
    if tree.is_dir():
        return tree
    WORK.mkdir(parents=True, exist_ok=True)
    subprocess.run(
        [sys.executable, "-m", "pip", "download", "-q", "--no-deps", "--no-binary", ":all:",
         f"{name}=={version}", "-d", str(WORK)],
        check=True,
    )
    sdist = next(WORK.glob(f"{name}-{version}.tar.gz"))
    with tarfile.open(sdist) as archive:
        archive.extractall(WORK, filter="data")
    return tree


def ensure_markupsafe() -> None:
    try:
        import markupsafe  # noqa: F401
    except ImportError:
        subprocess.run([sys.executable, "-m", "pip", "install", "-q", "markupsafe"], check=True)


def children_cpu() -> float:
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def env_with(paths: list[str]) -> dict[str, str]:
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(paths)
    return env


def run_suite(tree: Path, files: list[str], vask_args: list[str] | None, old: str | None):
    """(CPU seconds, database bytes, pytest's summary line) of one run."""
    db_dir = Path(tempfile.mkdtemp(prefix="vask-values-", dir=WORK))
    paths = ([old] if old else []) + ["src"]
    command = [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", *files]
    if vask_args is not None:
        command += ["--vask", "--vask-db", str(db_dir / "traces.sqlite3"), *vask_args]
    before = children_cpu()
    done = subprocess.run(command, cwd=tree, env=env_with(paths), capture_output=True, text=True)
    cpu = children_cpu() - before
    size = sum(p.stat().st_size for p in db_dir.iterdir())
    shutil.rmtree(db_dir, ignore_errors=True)
    summary = (done.stdout.strip().splitlines() or ["?"])[-1]
    return cpu, size, summary


def overhead(old: str | None, repeat: int) -> dict[str, float]:
    paths = ([old] if old else []) + [str(ROOT / "bench")]
    code = OVERHEAD.format(bench=str(ROOT / "bench"), repeat=repeat)
    done = subprocess.run([sys.executable, "-c", code], env=env_with(paths), check=True,
                          capture_output=True, text=True)
    return json.loads(done.stdout.strip().splitlines()[-1])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("suites", nargs="*", help=f"of {', '.join(SUITES)} (default: all)")
    parser.add_argument("--old", help="a directory holding another build's installed vask package")
    parser.add_argument("--repeat", type=int, default=3, help="best of N for the workload")
    args = parser.parse_args()
    for suite in args.suites:
        if suite not in SUITES:
            parser.error(f"no suite {suite!r}")
    args.suites = args.suites or list(SUITES)
    old = str(Path(args.old).resolve()) if args.old else None
    ensure_markupsafe()

    lines = ["| run | CPU s | ratio | DB MB | outcome |", "|---|---|---|---|---|"]
    for suite in args.suites:
        name, version, files = SUITES[suite]
        tree = source_tree(name, version)
        runs = [("untraced", None, None)]
        if old:
            runs.append(("safe (old build)", [], old))
        runs += [("safe", [], None), ("repr", ["--vask-values", "repr"], None)]
        base = None
        for label, vask_args, build in runs:
            cpu, size, summary = run_suite(tree, files, vask_args, build)
            base = base or cpu
            row = (f"| {suite} {label} | {cpu:.1f} | {cpu / base:.1f}x | {size / 1e6:.1f} "
                   f"| {summary} |")
            lines.append(row)
            print(row, flush=True)

    builds = ([("old build", old)] if old else []) + [("this build", None)]
    for label, build in builds:
        figures = overhead(build, args.repeat)
        base = figures["untraced"]
        for values in ("safe", "repr"):
            row = (f"| user-code heavy, {label}, {values} | {figures[values]:.3f} | "
                   f"{figures[values] / base:.1f}x | {figures[values + ' bytes'] / 1e6:.1f} | |")
            lines.append(row)
            print(row, flush=True)
    print("\n".join(lines))


if __name__ == "__main__":
    main()
