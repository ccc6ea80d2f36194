"""``pytest --vask-keep``: a suite run twice, one test made to fail the second time.

The traces of passing tests go, a failure keeps its trace and its baseline,
the summary says how to compare them, and ``vask traces diff --test`` names
the planted change.  ``vask traces prune --per-test`` keeps each test's newest.
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
from pathlib import Path

import pytest
from engine_driver import ENGINE_PARAMS
from vask import db

SUITE = """
import os


def discount(total):
    rate = 0.25 if os.environ.get("PLANT") else 0.1
    return round(total * (1 - rate), 2)


def price(items):
    return discount(sum(items))


def test_price():
    assert price([10, 20, 30]) == 54.0


def test_other():
    assert sum([1, 2]) == 3


def test_broken():
    assert price([1]) == 0
"""

ENV = {
    k: v
    for k, v in os.environ.items()
    if not k.startswith(("PYTEST_", "PYTHONPATH")) and k not in ("VASK_FOLLOW", "PLANT")
}


def run(args: list[str], cwd: Path, plant: bool = False) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, *args],
        cwd=cwd,
        env={**ENV, **({"PLANT": "1"} if plant else {})},
        capture_output=True,
        text=True,
        timeout=120,
        check=False,
    )


def pytest_run(work: Path, engine: str, keep: str, plant: bool = False) -> str:
    result = run(
        ["-m", "pytest", "-p", "no:cacheprovider", "--vask", "--vask-engine", engine,
         "--vask-keep", keep, "--vask-db", "db.sqlite3", "test_suite.py"],
        work, plant,
    )  # fmt: skip
    assert result.returncode == 1, result.stdout + result.stderr  # test_broken fails
    return result.stdout


def by_test(db_path: Path) -> dict[str, list[str]]:
    """Node id -> the outcomes of its stored traces (not their subtrees, nor those of
    the processes it started), newest first."""
    out: dict[str, list[str]] = {}
    for s in db.list_traces(db_path):
        if s.root_trace_id not in (None, s.trace_id) or s.parent_trace_id is not None:
            continue
        out.setdefault(s.trace_name.split("::")[-1], []).append(s.outcome)
    return out


@pytest.mark.parametrize("engine", ENGINE_PARAMS)
def test_failed_plus_baseline_then_diff_names_the_planted_change(engine, tmp_path) -> None:
    (tmp_path / "test_suite.py").write_text(SUITE)
    first = pytest_run(tmp_path, engine, "failed+baseline")
    assert by_test(tmp_path / "db.sqlite3") == {
        "test_price": ["passed"],
        "test_other": ["passed"],
        "test_broken": ["failed"],
    }
    # test_broken has never passed: no ready command for it
    assert "vask traces diff --test" not in first

    second = pytest_run(tmp_path, engine, "failed+baseline", plant=True)
    # the new passing run of test_other replaced its baseline; test_price failed
    # and keeps its baseline next to the failure
    assert by_test(tmp_path / "db.sqlite3") == {
        "test_price": ["failed", "passed"],
        "test_other": ["passed"],
        "test_broken": ["failed", "failed"],
    }
    (command,) = [line for line in second.splitlines() if "vask traces diff --test" in line]
    assert "test_suite.py::test_price --db" in command

    out = run(
        ["-m", "vask", "traces", "diff", "--db", "db.sqlite3", "--json",
         "--test", "test_suite.py::test_price"],
        tmp_path,
    )  # fmt: skip
    assert out.returncode == 1, out.stderr
    first_divergence = json.loads(out.stdout)["first_divergence"]
    assert first_divergence["call"] == "discount"
    changes = {(c["what"], c["name"]): (c["a"], c["b"]) for c in first_divergence["changes"]}
    assert changes[("return", "")] == ("54.0", "45.0")
    assert changes[("locals", "rate")] == ("0.1", "0.25")

    # a test with no passing trace cannot be compared, and says so
    out = run(
        ["-m", "vask", "traces", "diff", "--db", "db.sqlite3", "--test",
         "test_suite.py::test_broken"],
        tmp_path,
    )  # fmt: skip
    assert out.returncode == 1 and "no passing trace" in out.stderr


def test_keep_failed_keeps_only_failures_and_leaves_older_traces(tmp_path) -> None:
    (tmp_path / "test_suite.py").write_text(SUITE)
    # an earlier plain run keeps everything
    result = run(
        ["-m", "pytest", "-p", "no:cacheprovider", "--vask", "--vask-db", "db.sqlite3",
         "test_suite.py"],
        tmp_path,
    )  # fmt: skip
    assert "deleted" not in result.stdout
    out = pytest_run(tmp_path, "profile", "failed")
    assert "deleted 2 traces" in out
    assert by_test(tmp_path / "db.sqlite3") == {
        "test_broken": ["failed", "failed"],
        "test_other": ["passed"],
        "test_price": ["passed"],
    }


FLUSHING_SUITE = """
import json
import sqlite3

from vask.storage import writer


def build(n):
    return [str(i) * 50 for i in range(n)]


def big():
    return [len(build(300)) for _ in range(20)]


def test_big_passes():
    import subprocess
    import sys

    # a process it starts is traced into a trace of its own, linked to this test's
    subprocess.run([sys.executable, "-c", "def f():\\n    return 1\\nf()"], check=True)
    assert sum(big()) > 0


def test_big_skipped():
    import pytest

    big()
    pytest.skip("not today")


def test_big_fails():
    assert sum(big()) < 0


def test_look():
    writer.drain()  # the traces of the tests before this one are stored (or not)
    conn = sqlite3.connect("db.sqlite3")
    rows = conn.execute(
        "SELECT trace_id, root_trace_id, trace_name, parent_trace_id FROM traces"
    ).fetchall()
    conn.close()
    with open("seen.json", "w") as f:
        json.dump(rows, f)
"""


@pytest.mark.parametrize("keep", ["failed", "failed+baseline"])
@pytest.mark.parametrize("engine", ENGINE_PARAMS)
def test_passing_tests_leave_nothing_once_they_end(engine, keep, tmp_path) -> None:
    """While the session runs, the database holds the failing test's trace and subtrees;
    of the passing and skipped tests before it nothing, their flushed subtrees neither."""
    (tmp_path / "test_suite.py").write_text(FLUSHING_SUITE)
    (tmp_path / "pyproject.toml").write_text("[tool.vask]\nflush_subtree_mb = 0.02\n")
    out = pytest_run(tmp_path, engine, keep)
    seen = json.loads((tmp_path / "seen.json").read_text())
    roots = {
        name.split("::")[-1]: tid
        for tid, root, name, parent in seen
        if root in (None, tid) and parent is None
    }
    subtrees = [root for tid, root, _, parent in seen if root not in (None, tid) and not parent]
    started = {parent for _, _, _, parent in seen if parent}
    kept = {"test_big_fails"} | ({"test_big_passes"} if keep == "failed+baseline" else set())
    assert set(roots) == kept
    # the trace of the process a passing test started goes with the test's, or stays with it
    assert started == ({roots["test_big_passes"]} if keep == "failed+baseline" else set())
    assert subtrees and set(subtrees) <= {roots[name] for name in kept}
    assert roots["test_big_fails"] in subtrees  # the failure keeps its flushed subtrees
    # the summary counts the tests' traces not kept: test_look's too, unless a baseline
    if keep == "failed":
        assert "deleted 3 traces of tests that did not fail" in out
        assert by_test(tmp_path / "db.sqlite3") == {"test_big_fails": ["failed"]}
    else:
        assert "deleted 1 trace of tests that did not fail" in out
        assert by_test(tmp_path / "db.sqlite3") == {
            "test_big_fails": ["failed"],
            "test_big_passes": ["passed"],
            "test_look": ["passed"],
        }


def test_prune_per_test_keeps_the_newest_of_each_test(tmp_path) -> None:
    (tmp_path / "test_suite.py").write_text(SUITE)
    for plant in (False, True, False):
        run(
            ["-m", "pytest", "-p", "no:cacheprovider", "--vask", "--vask-db", "db.sqlite3",
             "test_suite.py"],
            tmp_path, plant,
        )  # fmt: skip
    (tmp_path / "prog.py").write_text("def f():\n    return 1\n\nf()\n")
    assert run(["-m", "vask", "run", "--db", "db.sqlite3", "prog.py"], tmp_path).returncode == 0
    out = run(["-m", "vask", "traces", "prune", "--db", "db.sqlite3", "--per-test", "2"], tmp_path)
    assert out.returncode == 0, out.stderr
    assert "deleted 3 traces" in out.stderr
    left = by_test(tmp_path / "db.sqlite3")
    assert left == {
        "test_price": ["passed", "failed"],
        "test_other": ["passed", "passed"],
        "test_broken": ["failed", "failed"],
        "prog.py": [None],  # not a test's: left alone
    }
    out = run(["-m", "vask", "traces", "prune", "--db", "db.sqlite3", "--per-test", "1",
               "--keep", "1"], tmp_path)  # fmt: skip
    assert out.returncode == 2
