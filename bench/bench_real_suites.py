"""vask on the test suites of real pure-Python libraries: ``pytest`` and ``pytest --vask``.

For each library (pinned below) the benchmark downloads its sdist from PyPI
(``pip download --no-deps --no-binary :all:``), unpacks it under
``build/bench/``, makes a virtual environment there per vask build with the
library's test requirements and that vask, and runs the library's whole test
suite from the source tree, so that its code is user code.  Per library, back
to back so that the machine's load is alike: once untraced, then once under
``pytest --vask`` for each vask build measured ("after" is this working tree;
``--before REF`` adds vask as committed at a git ref, run first).

For every run it records:

* the wall time and the CPU time (user + system), each against the untraced
  run: on a shared machine the CPU time is the fairer ratio;
* the peak RSS of the pytest process (as ``wait4`` reports it);
* each test's outcome (a small pytest plugin writes them as they come, so a
  killed run still tells how far it got), compared test by test with the
  untraced run: every test whose outcome differs is named;
* the database's size (the database, its WAL and any side files beside it),
  the traces stored against the tests run (every test that ran must have its
  trace, named by its node id), the subtrees flushed apart, the calls, and
  whether every stored trace reads back.

The libraries: python-dateutil and attrs; more-itertools, built from
generators and iterators (some of its tests yield a million times);
pyparsing, a parser whose tests make deep, repetitive call trees; chardet, an
encoding detector whose tests (one per sample file) each make hundreds of
thousands of calls, millions in all, feeding probers byte by byte;
jsonschema, a validator whose every call passes a validator object that holds
a whole metaschema, in a suite of thousands of short tests.
``heavy`` is a suite made up here whose one test makes a million calls.

Every run is ended after ``--timeout`` seconds (600 by default; the row then
says "killed at N s"); with ``--stop-at X`` a traced run is also ended once it
took X times the untraced run's wall time, enough to say it missed a target
of X (``--before-for LIB`` limits the "before" build to the libraries named,
to spare a shared machine).  The benchmark lowers its own priority (``--nice``, 10
by default) so that a shared machine stays usable, and runs one suite at a
time.  The results are printed as a markdown table and written, with every
figure, to ``build/bench/results.md`` and ``build/bench/results.json``.

It downloads and runs for minutes, so it is not part of the test suite.
Run it from the repository root with a Python that can build vask
(scikit-build-core, msgpack-cxx, cmake and ninja; the test environment has
them)::

    build/venv-3.13/bin/python bench/bench_real_suites.py            # dateutil, attrs
    build/venv-3.13/bin/python bench/bench_real_suites.py attrs      # one of them
    build/venv-3.13/bin/python bench/bench_real_suites.py --all --before 7e63f7c
    build/venv-3.13/bin/python bench/bench_real_suites.py --engine profile

The aims: at most 5x the untraced time (3x hoped for), at most 1 GB of
database (200 MB hoped for), a peak RSS under 1 GB, the same outcomes, every
test's trace stored and readable.
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import signal
import subprocess
import sys
import tarfile
import threading
import time
from dataclasses import asdict, dataclass, field
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
    "chardet": Library(
        "chardet",
        "5.2.0",
        ["pytest", "hypothesis"],
        ".",
        ["test.py"],
    ),
    "jsonschema": Library(
        "jsonschema",
        "4.26.0",
        # the released package brings its dependencies (its metaschemas among them); the
        # tree on PYTHONPATH is what the tests import
        ["pytest", "jsonschema==4.26.0", "jsonpath-ng"],
        ".",
        ["jsonschema/tests"],
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

#: A pytest plugin, installed into each environment (so never user code),
#: that writes every test's outcome as a line of JSON as soon as it is known.
OUTCOMES_PLUGIN = """
import json, os

_path = os.environ.get("BENCH_OUTCOMES")
_seen = {}


def pytest_runtest_logreport(report):
    if _path is None:
        return
    if report.when == "call" or report.outcome != "passed":
        outcome = report.outcome
        if report.when != "call" and report.outcome == "failed":
            outcome = "error"
        if hasattr(report, "wasxfail"):
            outcome = "xfailed" if report.outcome == "skipped" else "xpassed"
        _seen.setdefault(report.nodeid, outcome)
    if report.when == "teardown":
        outcome = _seen.pop(report.nodeid, "passed")
        with open(_path, "a") as out:
            out.write(json.dumps([report.nodeid, outcome]) + "\\n")
"""


def run(cmd: list, **kwargs) -> subprocess.CompletedProcess[str]:
    return subprocess.run(cmd, check=True, text=True, capture_output=True, **kwargs)


def git_commit(ref: str) -> str:
    return run(["git", "-C", ROOT, "rev-parse", "--short", f"{ref}^{{commit}}"]).stdout.strip()


def wheel(ref: str | None) -> Path:
    """vask built from this checkout, or as committed at ``ref`` (built once per commit)."""
    if ref is None:
        out, source = BENCH / "wheels" / "after", ROOT
        shutil.rmtree(out, ignore_errors=True)
    else:
        commit = git_commit(ref)
        out, source = BENCH / "wheels" / commit, BENCH / "source" / commit
        built = list(out.glob("vask-*.whl"))
        if built:
            return built[0]
        shutil.rmtree(source, ignore_errors=True)
        source.mkdir(parents=True)
        archive = run_bytes(["git", "-C", ROOT, "archive", "--format=tar", commit])
        subprocess.run(["tar", "-x", "-C", source], input=archive, check=True)
    run(
        [sys.executable, "-m", "pip", "wheel", "--no-deps", "--no-build-isolation", "-w", out, "."],
        cwd=source,
    )
    (built,) = out.glob("vask-*.whl")
    return built


def run_bytes(cmd: list) -> bytes:
    return subprocess.run(cmd, check=True, capture_output=True).stdout


def unpack(lib: Library) -> Path:
    """The library's source tree, from its sdist (downloaded once)."""
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
            top = archive.getnames()[0].split("/")[0]
            archive.extractall(home, filter="data")
        unpacked = home / top
        if unpacked != tree:
            unpacked.rename(tree)
    return tree


def environment(lib: Library, label: str, vask_wheel: Path) -> Path:
    """The Python of the library's environment for one vask build."""
    venv = BENCH / lib.name / f"venv-{label}"
    python = venv / "bin" / "python"
    # Made whole or not at all: an environment whose installation was
    # interrupted is made again.
    ready = venv / "requirements-installed"
    if not ready.exists():
        shutil.rmtree(venv, ignore_errors=True)
        run([sys.executable, "-m", "venv", venv])
        run([python, "-m", "pip", "install", "-q", *lib.requirements])
        ready.touch()
    run([python, "-m", "pip", "install", "-q", "--force-reinstall", "--no-deps", vask_wheel])
    # and what that vask needs (msgpack, zstandard), besides the tests' own
    run([python, "-m", "pip", "install", "-q", vask_wheel])
    site = run([python, "-c", "import sysconfig; print(sysconfig.get_path('purelib'))"])
    (Path(site.stdout.strip()) / "bench_outcomes.py").write_text(OUTCOMES_PLUGIN)
    return python


@dataclass
class Run:
    label: str
    seconds: float
    #: user + system CPU time of the pytest process: on a shared machine the
    #: fairer ratio, since the wall time follows the other users' load
    cpu_seconds: float
    peak_rss_mb: float
    #: node id -> outcome, of the tests that finished
    outcomes: dict[str, str]
    #: pytest's own closing line
    summary: str
    #: vask's lines in pytest's output
    vask_lines: list[str]
    killed_at: float | None = None
    db: dict | None = None

    def counts(self) -> dict[str, int]:
        counts: dict[str, int] = {}
        for outcome in self.outcomes.values():
            counts[outcome] = counts.get(outcome, 0) + 1
        return dict(sorted(counts.items()))


#: Seconds a run may take before it is ended (``--timeout``).
TIMEOUT: float = 600.0


def measure(
    label: str,
    python: Path,
    tree: Path,
    lib: Library,
    extra: list,
    env: dict,
    timeout: float | None = None,
) -> Run:
    outcomes_file = BENCH / lib.name / f"outcomes-{label}.jsonl"
    outcomes_file.unlink(missing_ok=True)
    env = {**env, "BENCH_OUTCOMES": str(outcomes_file)}
    # The suite's tree is its rootdir. An empty configuration above it stops
    # pytest's search for one there, which would otherwise reach this
    # repository's own pyproject.toml when the suite has none of its own.
    (BENCH / lib.name / "pytest.ini").write_text("[pytest]\n")
    cmd = [python, "-m", "pytest", "-q", "-p", "no:cacheprovider", "-p", "bench_outcomes",
           "--rootdir", tree, *lib.pytest_args, *extra]  # fmt: skip
    started = time.monotonic()
    # A session of its own: a run that is ended takes its child processes along.
    proc = subprocess.Popen(
        cmd, cwd=tree, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
        start_new_session=True,
    )  # fmt: skip
    chunks: list[str] = []
    reader = threading.Thread(target=lambda: chunks.append(proc.stdout.read()), daemon=True)
    reader.start()
    reader.join(TIMEOUT if timeout is None else min(timeout, TIMEOUT))
    killed_at = None
    if reader.is_alive():
        killed_at = time.monotonic() - started
        os.killpg(proc.pid, signal.SIGKILL)
        reader.join()
    output = "".join(chunks)
    _, _, usage = os.wait4(proc.pid, 0)
    proc.returncode = 0
    seconds = time.monotonic() - started
    lines = [line for line in output.splitlines() if line.strip()]
    summary = next((line for line in reversed(lines) if " in " in line), "")
    outcomes: dict[str, str] = {}
    if outcomes_file.exists():
        for line in outcomes_file.read_text().splitlines():
            nodeid, outcome = json.loads(line)
            outcomes[nodeid] = outcome
    (BENCH / lib.name / f"output-{label}.txt").write_text(output)
    vask_lines = [line for line in lines if line.startswith("vask")]
    cpu = usage.ru_utime + usage.ru_stime
    return Run(
        label, seconds, cpu, usage.ru_maxrss / 1024, outcomes, summary, vask_lines, killed_at
    )


def check_database(python: Path, db_path: Path, read_back: bool) -> dict:
    """What the traced run stored, read back in its own environment (every
    trace opened only when ``read_back``: not after a killed run)."""
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
unreadable = []
for s in summaries if read_back else ():
    index = traceindex.open_trace(path, s.trace_id)
    try:
        if index.damaged or index.documents == 0:
            unreadable.append(s.trace_name)
    finally:
        index.close()
print(json.dumps({
    "names": [s.trace_name for s in roots],
    "subtrees": len(summaries) - len(roots),
    "calls": sum(s.calls for s in summaries),
    "outcomes": outcomes,
    "unreadable": unreadable,
    "largest_mb": round(max((s.size for s in summaries), default=0) / 2**20, 1),
}))
"""
    if not db_path.exists():
        return {"names": [], "subtrees": 0, "calls": 0, "outcomes": {}, "unreadable": [],
                "largest_mb": 0, "db_mb": 0, "error": "no database"}  # fmt: skip
    try:
        result = run([python, "-c", script, db_path, "1" if read_back else "0"], timeout=TIMEOUT)
        facts = json.loads(result.stdout)
    except (subprocess.SubprocessError, ValueError) as error:
        facts = {"names": [], "subtrees": 0, "calls": 0, "outcomes": {}, "unreadable": [],
                 "largest_mb": 0, "error": str(error)[-500:]}  # fmt: skip
    # the database, its WAL and journal, and the side files kept beside it
    size = sum(f.stat().st_size for f in db_path.parent.rglob("*") if f.is_file())
    facts["db_mb"] = round(size / 2**20, 1)
    return facts


def compare(untraced: Run, traced: Run) -> dict:
    """Outcomes test by test, and the tests that ran without a stored trace."""
    differ = {
        nodeid: [outcome, traced.outcomes[nodeid]]
        for nodeid, outcome in untraced.outcomes.items()
        if nodeid in traced.outcomes and traced.outcomes[nodeid] != outcome
    }
    extra = sorted(set(traced.outcomes) - set(untraced.outcomes))
    stored = set(traced.db["names"]) if traced.db else set()
    # A test skipped before it ran has no call to record.
    ran = {n for n, o in traced.outcomes.items() if o != "skipped"}
    return {
        "differ": differ,
        "not_in_untraced": extra,
        "not_finished": 0
        if traced.killed_at is None
        else len(set(untraced.outcomes) - set(traced.outcomes)),
        "tests_ran": len(ran),
        "stored_of_ran": len(ran & stored),
        "ran_not_stored": sorted(ran - stored)[:20],
    }


#: A traced run is ended at this many times the untraced run's wall time (``--stop-at``).
STOP_AT: float | None = None


def bench(lib: Library, builds: list[tuple[str, Path]], engine: str, vask_args: list) -> dict:
    tree = unpack(lib)
    pythons = {label: environment(lib, label, w) for label, w in builds}
    env = {k: v for k, v in os.environ.items() if not k.startswith(("PYTEST_", "PYTHON", "VASK"))}
    env["PYTHONPATH"] = str(tree / lib.source)
    print(f"\n{lib.name} {lib.version}, engine {engine}", flush=True)
    # The untraced run in the first environment: the test requirements are the same in all.
    untraced = measure("untraced", pythons[builds[0][0]], tree, lib, [], env)
    print(
        f"  untraced  {untraced.seconds:.1f} s (CPU {untraced.cpu_seconds:.0f} s)  "
        f"{untraced.counts()}",
        flush=True,
    )
    result = {"library": lib.name, "version": lib.version, "untraced": untraced, "traced": {}}
    for label, _ in builds:
        db_dir = BENCH / lib.name / f"db-{label}"
        shutil.rmtree(db_dir, ignore_errors=True)
        db_dir.mkdir()
        db_path = db_dir / "traces.sqlite3"
        limit = None if STOP_AT is None else STOP_AT * untraced.seconds
        traced = measure(
            label, pythons[label], tree, lib,
            ["--vask", "--vask-db", db_path, "--vask-engine", engine, *vask_args], env, limit,
        )  # fmt: skip
        traced.db = check_database(pythons[label], db_path, traced.killed_at is None)
        result["traced"][label] = traced
        result.setdefault("compare", {})[label] = compare(untraced, traced)
        print(f"  {label:<9} {row_time(untraced, traced)}  {traced.counts()}  "
              f"{traced.db['db_mb']} MB", flush=True)  # fmt: skip
    return result


def row_time(untraced: Run, traced: Run) -> str:
    if traced.killed_at is not None:
        return (
            f"killed at {traced.killed_at:.0f} s (>{traced.killed_at / untraced.seconds:.0f}x; "
            f"CPU {traced.cpu_seconds:.0f} s, >{traced.cpu_seconds / untraced.cpu_seconds:.1f}x)"
        )
    return (
        f"{traced.seconds:.1f} s ({traced.seconds / untraced.seconds:.1f}x; "
        f"CPU {traced.cpu_seconds:.0f} s, {traced.cpu_seconds / untraced.cpu_seconds:.1f}x)"
    )


def markdown(results: list[dict], note: str) -> str:
    out = [note, ""]
    out.append(
        "| suite | untraced | vask | time (CPU time) | peak RSS | database | stored traces "
        "| outcomes | unreadable |"
    )
    out.append("|---|---|---|---|---|---|---|---|---|")
    for r in results:
        u: Run = r["untraced"]
        for label, t in r["traced"].items():
            c = r["compare"][label]
            if t.killed_at is not None:
                same = f"{len(t.outcomes)} of {len(u.outcomes)} finished"
                if c["differ"]:
                    same += f", {len(c['differ'])} differ"
            else:
                same = (
                    "same"
                    if not c["differ"] and not c["not_in_untraced"]
                    else (f"{len(c['differ'])} differ")
                )
            out.append(
                f"| {r['library']} {r['version']} | {u.seconds:.1f} s (CPU {u.cpu_seconds:.0f} s), "
                f"{u.peak_rss_mb:.0f} MB "
                f"| {label} | {row_time(u, t)} | {t.peak_rss_mb:.0f} MB | {t.db['db_mb']} MB "
                f"| {c['stored_of_ran']} of {c['tests_ran']} | {same} "
                f"| {len(t.db['unreadable']) if t.killed_at is None else 'not read'} |"
            )
    out.append("")
    for r in results:
        for label, c in r["compare"].items():
            for nodeid, (was, now) in c["differ"].items():
                out.append(f"- {r['library']} ({label}): `{nodeid}` {was} untraced, {now} traced")
            for nodeid in c["ran_not_stored"]:
                out.append(f"- {r['library']} ({label}): `{nodeid}` ran but has no stored trace")
            t = r["traced"][label]
            if t.db.get("error"):
                out.append(f"- {r['library']} ({label}): reading the database: {t.db['error']}")
            for line in t.vask_lines[-3:]:
                out.append(f"- {r['library']} ({label}) says: {line}")
    return "\n".join(out) + "\n"


def to_json(results: list[dict], note: str) -> str:
    def plain(run: Run) -> dict:
        data = asdict(run)
        data["counts"] = run.counts()
        if run.db is not None:
            data["db"] = {k: v for k, v in run.db.items() if k != "names"}
        data["outcomes"] = None  # in outcomes-*.jsonl beside the suite
        return data

    return json.dumps(
        {
            "note": note,
            "suites": [
                {
                    "library": r["library"],
                    "version": r["version"],
                    "untraced": plain(r["untraced"]),
                    "traced": {label: plain(t) for label, t in r["traced"].items()},
                    "compare": r["compare"],
                }
                for r in results
            ],
        },
        indent=1,
    )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument(
        "libraries", nargs="*", metavar="LIBRARY", help=", ".join([*LIBRARIES, "heavy"])
    )
    parser.add_argument("--engine", default="monitor", choices=("monitor", "profile"))
    parser.add_argument("--all", action="store_true", help="every library (not heavy)")
    parser.add_argument(
        "--before", metavar="REF", help="also measure vask as committed at this git ref, first"
    )
    parser.add_argument(
        "--timeout", type=float, default=600.0, help="end a run after this many seconds (600)"
    )
    parser.add_argument(
        "--stop-at", type=float, metavar="X",
        help="end a traced run once it took X times the untraced run's wall time",
    )  # fmt: skip
    parser.add_argument(
        "--before-for", action="append", default=[], metavar="LIBRARY",
        help="measure the --before build on this library only (repeatable; default: all)",
    )  # fmt: skip
    parser.add_argument(
        "--after-wheel", type=Path, metavar="WHEEL",
        help="a wheel of this tree built already (by an earlier run), instead of building it",
    )  # fmt: skip
    parser.add_argument(
        "--no-after", action="store_true", help="measure the --before build only"
    )
    parser.add_argument("--nice", type=int, default=10, help="lower the priority by this (10)")
    parser.add_argument(
        "--dir", type=Path, help="where the suites, environments and databases go "
        "(default build/bench; two runs at once need two)",
    )  # fmt: skip
    parser.add_argument(
        "--vask-arg", action="append", default=[], help="an option for pytest --vask runs"
    )
    args = parser.parse_args()
    known = {**LIBRARIES, "heavy": HEAVY}
    unknown = sorted(set(args.libraries) - set(known))
    if unknown:
        parser.error(f"unknown library {', '.join(unknown)}; choose from {', '.join(known)}")
    global TIMEOUT, BENCH, STOP_AT
    TIMEOUT = args.timeout
    STOP_AT = args.stop_at
    if args.dir is not None:
        BENCH = args.dir.resolve()
    BENCH.mkdir(parents=True, exist_ok=True)
    os.nice(args.nice)
    builds = []
    if args.before:
        builds.append((f"before-{git_commit(args.before)}", wheel(args.before)))
    if not (args.no_after and args.before):
        builds.append(("after", args.after_wheel.resolve() if args.after_wheel else wheel(None)))
    names = list(LIBRARIES) if args.all else args.libraries or DEFAULT
    load = os.getloadavg()
    started = time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime())
    results = []
    for name in names:
        wanted = builds
        if args.before and args.before_for and name not in args.before_for and builds[1:]:
            wanted = builds[1:]
        results.append(bench(known[name], wanted, args.engine, args.vask_arg))
        write(results, args, started, load)


def write(results: list[dict], args: argparse.Namespace, started: str, load: tuple) -> None:
    after = run(["git", "-C", ROOT, "rev-parse", "--short", "HEAD"]).stdout.strip()
    dirty = run(["git", "-C", ROOT, "status", "--porcelain", "--untracked-files=no"]).stdout
    note = (
        f"Started {started}; Python {sys.version.split()[0]}, engine {args.engine}; "
        f"'after' is {after}{' with changes' if dirty.strip() else ''}; timeout {TIMEOUT:.0f} s"
        + (f", traced runs ended at {STOP_AT:g}x the untraced wall time" if STOP_AT else "")
        + "; "
        f"load average at the start {load[0]:.1f}/{load[1]:.1f}/{load[2]:.1f}, now "
        + "/".join(f"{x:.1f}" for x in os.getloadavg())
        + f" on {os.cpu_count()} CPUs."
    )
    text = markdown(results, note)
    (BENCH / "results.md").write_text(text)
    (BENCH / "results.json").write_text(to_json(results, note))
    print("\n" + text, flush=True)


if __name__ == "__main__":
    main()
