"""One trace per test: ``pytest --vask`` and unittest under a per-test profiler.

Every case runs the test runner in a subprocess, as a user would, on a small
suite written into a temporary directory, then reads the stored traces back.
"""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap
from pathlib import Path

import msgpack
import pytest
from vask import db

SUITE = """
import unittest

import pytest


def make(n):
    return n * 2


def cleanup(value):
    return None


def helper(x):
    return x + 1


def add(a, b):
    return a + b


@pytest.fixture
def thing():
    value = make(3)
    yield value
    cleanup(value)


def test_plain(thing):
    assert helper(thing) == 7


def test_fails():
    assert add(1, 1) == 3


@pytest.mark.skip(reason="not today")
def test_skipped():
    pass


class TestGroup:
    @pytest.mark.parametrize("a,b", [(1, 2), (3, 4)])
    def test_param(self, a, b):
        assert add(a, b) == a + b


class Legacy(unittest.TestCase):
    def setUp(self):
        self.value = make(1)

    def test_legacy(self):
        self.assertEqual(add(self.value, 1), 3)
"""


def run(args: list[str], cwd: Path) -> subprocess.CompletedProcess[str]:
    env = {k: v for k, v in os.environ.items() if not k.startswith(("PYTEST_", "PYTHONPATH"))}
    return subprocess.run(
        [sys.executable, *args],
        cwd=cwd,
        env=env,
        capture_output=True,
        text=True,
        timeout=120,
        check=False,
    )


def stored(db_path: Path) -> dict[str, list[dict]]:
    """Trace name -> the records of its (single) thread, decoded."""
    traces = {}
    for summary in db.list_traces(db_path):
        (document,) = db.load_trace(db_path, summary.trace_id)
        doc = msgpack.unpackb(document, raw=False, strict_map_key=False)
        (thread,) = doc["threads"].values()
        assert summary.trace_name not in traces, f"{summary.trace_name} stored twice"
        traces[summary.trace_name] = thread["frames"]
    return traces


def frame_calls(records: list[dict]) -> list[str]:
    """Names of the frames entered: calls, and (monitoring engine) generator resumes."""
    return [
        r["co_name"] for r in records if r["type"] == "frame" and r["event"] in ("call", "resume")
    ]


def write_suite(directory: Path) -> None:
    directory.mkdir(parents=True, exist_ok=True)
    (directory / "test_sample.py").write_text(SUITE)


# A property that fails for x > 10; Hypothesis explains the failure by the lines
# that only failing examples ran.
FAILING_PROPERTY = textwrap.dedent(
    """
    from hypothesis import given, settings, strategies as st

    @settings(database=None, derandomize=True)
    @given(st.integers())
    def test_small(x):
        if x > 10:
            y = x
            assert y <= 10
    """
)


# While the writer stores one test's trace, the next test looks at the process's
# threads and objects; and a program under vask run at its threads.
WHAT_A_TEST_SEES = textwrap.dedent(
    """
    import gc, threading

    def work(n):
        return [str(i) * 3 for i in range(n)]

    def test_first():
        for _ in range(3000):
            work(20)

    def test_only_the_programs_threads_are_seen():
        assert [t.name for t in threading.enumerate()] == ["MainThread"]
        assert threading.active_count() == 1

    def test_first_again():
        test_first()

    def test_the_count_of_objects_is_steady():
        gc.collect()
        counts = []
        for _ in range(20):
            for _ in range(300):
                work(2)
            counts.append(len(gc.get_objects()))
        assert len(set(counts)) == 1, counts
    """
)


class TestPytestPlugin:
    def test_a_test_sees_neither_vasks_threads_nor_the_writer_at_work(self, engine, tmp_path):
        (tmp_path / "test_seen.py").write_text(WHAT_A_TEST_SEES)
        result = run(
            ["-m", "pytest", "--vask", "--vask-engine", engine.name, "-p", "no:cacheprovider"],
            tmp_path,
        )
        assert result.returncode == 0, result.stdout + result.stderr
        (tmp_path / "prog.py").write_text(
            WHAT_A_TEST_SEES + "test_first()\ntest_only_the_programs_threads_are_seen()\n"
        )
        result = run(["-m", "vask", "run", "--engine", engine.name, "prog.py"], tmp_path)
        assert result.returncode == 0, result.stdout + result.stderr

    def test_each_test_is_one_named_trace_from_setup_to_teardown(self, engine, tmp_path):
        write_suite(tmp_path)
        result = run(
            ["-m", "pytest", "--vask", "--vask-engine", engine.name, "-p", "no:cacheprovider"],
            tmp_path,
        )
        assert result.returncode == 1, result.stdout + result.stderr  # test_fails fails
        db_path = tmp_path / ".vask" / "db.sqlite3"
        assert f"vask: stored 6 traces in {db_path}" in result.stdout
        assert f"vask traces list --db {db_path}" in result.stdout

        traces = stored(db_path)
        # named after the node ids: tests of the same name in other files stay apart
        assert set(traces) == {
            "test_sample.py::test_plain",
            "test_sample.py::test_fails",
            "test_sample.py::test_skipped",
            "test_sample.py::TestGroup::test_param[1-2]",
            "test_sample.py::TestGroup::test_param[3-4]",
            "test_sample.py::Legacy::test_legacy",
        }
        for name, records in traces.items():
            start, end = records[0], records[-1]
            assert start["type"] == "start_test" and end["type"] == "end_test", name
            assert start["subtype"] == end["subtype"] == "pytest", name
            assert start["test_name"] == end["test_name"] == name.split("::")[-1]
            assert start["test_id"] == name
        # fixture setup, the test and the fixture's teardown, in order
        assert frame_calls(traces["test_sample.py::test_plain"]) == [
            "thing", "make", "test_plain", "helper", "thing", "cleanup",
        ]  # fmt: skip
        assert traces["test_sample.py::TestGroup::test_param[3-4]"][0]["test_class"] == "TestGroup"
        assert "test_class" not in traces["test_sample.py::test_plain"][0]
        # a unittest TestCase run by pytest is one trace, pytest's, with setUp in it
        assert frame_calls(traces["test_sample.py::Legacy::test_legacy"]) == [
            "setUp", "make", "test_legacy", "add",
        ]  # fmt: skip
        outcomes = {name.split("::", 1)[1]: r[-1]["outcome"] for name, r in traces.items()}
        assert outcomes["test_fails"] == "failed"
        assert outcomes["test_skipped"] == "skipped"
        assert outcomes["test_plain"] == outcomes["Legacy::test_legacy"] == "passed"

    def test_a_failing_hypothesis_test_fails_as_it_does_untraced(self, engine, tmp_path):
        """Hypothesis explains a failure by tracing it under the tool id the monitoring
        engine holds: it must still do so (and not warn, an error here)."""
        pytest.importorskip("hypothesis")
        (tmp_path / "pytest.ini").write_text("[pytest]\nfilterwarnings = error\n")
        (tmp_path / "test_h.py").write_text(FAILING_PROPERTY)
        args = ["-m", "pytest", "-p", "no:cacheprovider", "-q"]
        untraced = run(args, tmp_path)
        traced = run([*args, "--vask", "--vask-engine", engine.name], tmp_path)
        for result in (untraced, traced):
            assert result.returncode == 1, result.stdout + result.stderr
            assert "Failing test case" in result.stdout, result.stdout
            assert "HypothesisWarning" not in result.stdout, result.stdout
        explained = "always and only run by failing test cases" in untraced.stdout
        assert explained == ("always and only run by failing test cases" in traced.stdout)

    def test_hypothesis_imported_while_traced_explains_as_untraced(self, engine, tmp_path):
        """The same under ``vask run``, Hypothesis imported once tracing has started."""
        pytest.importorskip("hypothesis")
        (tmp_path / "prog.py").write_text(
            'import sys, warnings\nwarnings.simplefilter("error")\n'
            + FAILING_PROPERTY
            + textwrap.dedent(
                """
                try:
                    test_small()
                except BaseException as error:
                    print(type(error).__name__, *getattr(error, "__notes__", ["no notes"]))
                print(any(type(f).__name__ == "_HypothesisImport" for f in sys.meta_path))
                """
            )
        )
        untraced = run(["prog.py"], tmp_path)
        traced = run(["-m", "vask", "run", "--engine", engine.name, "prog.py"], tmp_path)
        assert untraced.stdout.startswith("AssertionError Failing test case"), untraced.stdout
        assert traced.stdout == untraced.stdout, traced.stderr

    def test_off_without_the_option(self, tmp_path):
        write_suite(tmp_path)
        result = run(["-m", "pytest", "-p", "no:cacheprovider", "-k", "plain"], tmp_path)
        assert result.returncode == 0, result.stdout + result.stderr
        assert "vask:" not in result.stdout and "plugins: vask" in result.stdout
        assert not (tmp_path / ".vask").exists()

    def test_default_database_is_under_the_rootdir_and_vask_db_is_from_the_cwd(self, tmp_path):
        (tmp_path / "pytest.ini").write_text("[pytest]\n")
        write_suite(tmp_path / "sub")
        result = run(["-m", "pytest", "--vask", "-p", "no:cacheprovider", "-k", "plain"],
                     tmp_path / "sub")  # fmt: skip
        assert result.returncode == 0, result.stdout + result.stderr
        assert list(stored(tmp_path / ".vask" / "db.sqlite3")) == ["sub/test_sample.py::test_plain"]

        result = run(
            ["-m", "pytest", "--vask", "--vask-db", "traces/t.db", "-p", "no:cacheprovider",
             "-k", "param"],
            tmp_path / "sub",
        )  # fmt: skip
        assert result.returncode == 0, result.stdout + result.stderr
        db_path = tmp_path / "sub" / "traces" / "t.db"
        assert "vask: stored 2 traces in " + str(db_path) in result.stdout
        assert len(stored(db_path)) == 2

    def test_tool_vask_settings_apply(self, tmp_path):
        (tmp_path / "pyproject.toml").write_text(
            '[tool.vask]\ndb = "stored/traces.db"\nignore = ["test_sample"]\n'
        )
        write_suite(tmp_path)
        result = run(["-m", "pytest", "--vask", "-p", "no:cacheprovider", "-k", "plain"], tmp_path)
        assert result.returncode == 0, result.stdout + result.stderr
        traces = stored(tmp_path / "stored" / "traces.db")
        # the test file's frames are ignored; the test's own records remain
        assert [r["type"] for r in traces["test_sample.py::test_plain"]] == [
            "start_test",
            "end_test",
        ]

    def test_a_test_that_runs_pytest_inside_is_one_trace(self, engine, tmp_path):
        # pytester-style nesting: the inner session's tests belong to the outer test
        write_suite(tmp_path / "inner")
        (tmp_path / "test_outer.py").write_text(
            textwrap.dedent(
                f"""
                import pytest

                def test_outer():
                    pytest.main([{str(tmp_path / "inner")!r}, "-q", "-p", "no:cacheprovider",
                                 "-k", "plain or legacy"])
                """
            )
        )
        result = run(["-m", "pytest", "--vask", "--vask-engine", engine.name,
                      "-p", "no:cacheprovider", "test_outer.py"], tmp_path)  # fmt: skip
        assert result.returncode == 0, result.stdout + result.stderr
        traces = stored(tmp_path / ".vask" / "db.sqlite3")
        assert list(traces) == ["test_outer.py::test_outer"]
        calls = frame_calls(traces["test_outer.py::test_outer"])
        assert "test_plain" in calls and "test_legacy" in calls


UNITTEST_DRIVER = """
import sys
import unittest

from vask.profiler import create

profiler = create(sys.argv[2], db_path=sys.argv[1], one_trace_per_test=True, source="unittest")
profiler.start()
try:
    unittest.main(module="test_sample", argv=["driver", "-q"], exit=False)
finally:
    profiler.stop()
"""

NESTED_UNITTEST = """
import unittest


def make(n):
    return n * 2


class Inner(unittest.TestCase):
    def test_inner(self):
        make(5)


class Outer(unittest.TestCase):
    def test_runs_a_suite(self):
        suite = unittest.defaultTestLoader.loadTestsFromTestCase(Inner)
        result = unittest.TestResult()
        suite.run(result)
        self.assertTrue(result.wasSuccessful())
"""


class TestUnittest:
    def test_one_trace_per_test_method(self, engine, tmp_path):
        write_suite(tmp_path)
        (tmp_path / "driver.py").write_text(UNITTEST_DRIVER)
        result = run(["driver.py", str(tmp_path / "t.db"), engine.name], tmp_path)
        assert result.returncode == 0, result.stdout + result.stderr
        traces = stored(tmp_path / "t.db")
        assert list(traces) == ["test_sample.Legacy.test_legacy"]
        records = traces["test_sample.Legacy.test_legacy"]
        assert [records[0]["type"], records[-1]["type"]] == ["start_test", "end_test"]
        assert records[0]["subtype"] == "unittest"
        assert records[0]["test_id"] == "test_sample.Legacy.test_legacy"
        assert frame_calls(records) == ["setUp", "make", "test_legacy", "add"]

    def test_a_suite_run_inside_a_test_is_part_of_it(self, engine, tmp_path):
        (tmp_path / "test_sample.py").write_text(NESTED_UNITTEST)
        (tmp_path / "driver.py").write_text(UNITTEST_DRIVER)
        result = run(["driver.py", str(tmp_path / "t.db"), engine.name], tmp_path)
        assert result.returncode == 0, result.stdout + result.stderr
        traces = stored(tmp_path / "t.db")
        assert set(traces) == {
            "test_sample.Inner.test_inner",
            "test_sample.Outer.test_runs_a_suite",
        }
        assert "test_inner" in frame_calls(traces["test_sample.Outer.test_runs_a_suite"])


PER_TEST_SUITE = {
    "test_a.py": """
import time

import pytest


def work(n):
    time.sleep(0.05)
    return n


def test_one():
    assert work(1) == 1


def test_fails():
    assert work(2) == 3


@pytest.fixture
def broken():
    raise RuntimeError("setup fails")


def test_error(broken):
    pass


@pytest.mark.xfail(reason="known")
def test_xfail():
    assert work(3) == 4


@pytest.mark.skip(reason="not today")
def test_skip():
    pass
""",
    "sub/test_b.py": "def test_one():\n    pass\n",
}


def write_files(directory: Path, files: dict[str, str]) -> None:
    for name, text in files.items():
        (directory / name).parent.mkdir(parents=True, exist_ok=True)
        (directory / name).write_text(text)


def vask_list(directory: Path, *args: str) -> str:
    result = run(["-m", "vask", "traces", "list", *args], directory)
    assert result.returncode == 0, result.stderr
    return result.stdout


class TestPerTestTraces:
    # With --vask-lightweight the test records hold the same names and outcomes.
    @pytest.mark.parametrize("lightweight", [False, True], ids=["full", "lightweight"])
    def test_node_ids_start_times_and_outcomes(self, engine, tmp_path, lightweight):
        write_files(tmp_path, PER_TEST_SUITE)
        options = ["--vask-lightweight"] if lightweight else []
        result = run(
            ["-m", "pytest", "--vask", "--vask-engine", engine.name, *options]
            + ["-p", "no:cacheprovider"],
            tmp_path,
        )
        assert "1 failed, 2 passed, 1 skipped, 1 xfailed, 1 error" in result.stdout, result.stdout
        db_path = tmp_path / ".vask" / "db.sqlite3"
        assert f"vask: stored 6 traces in {db_path}" in result.stdout
        summaries = db.list_traces(db_path)
        assert {s.trace_name: s.outcome for s in summaries} == {
            "test_a.py::test_one": "passed",
            "test_a.py::test_fails": "failed",
            "test_a.py::test_error": "error",
            "test_a.py::test_xfail": "xfailed",
            "test_a.py::test_skip": "skipped",
            "sub/test_b.py::test_one": "passed",
        }
        # Each trace starts when its test does: with its "start_test" record,
        # in the order the tests ran, not with the session.
        starts = {}
        for s in reversed(summaries):
            (document,) = db.load_trace(db_path, s.trace_id)
            doc = msgpack.unpackb(document, raw=False, strict_map_key=False)
            first = next(iter(doc["threads"].values()))["frames"][0]
            assert first["type"] == "start_test"
            assert abs(doc["timestamp"] - first["timestamp"]) < 0.5
            starts[s.trace_name] = doc["timestamp"]
        times = list(starts.values())
        assert times == sorted(times) and len(set(times)) == len(times)
        # test_one's own work came between its start and the next test's
        assert starts["test_a.py::test_fails"] - starts["test_a.py::test_one"] >= 0.05

        failed = vask_list(tmp_path, "--outcome", "failed").splitlines()
        assert len(failed) == 2 and "test_a.py::test_fails [failed]" in failed[1]
        shown = run(["-m", "vask", "traces", "show", failed[1].split()[0]], tmp_path).stdout
        assert "test_a.py::test_fails" in shown.splitlines()[0]
        assert shown.splitlines()[1].startswith("test failed · started ")
        assert len(vask_list(tmp_path, "--grep", "TEST_ONE").splitlines()) == 3
        newest = vask_list(tmp_path, "--grep", "test_one", "--limit", "1").splitlines()
        last = max(("sub/test_b.py::test_one", "test_a.py::test_one"), key=starts.get)
        assert len(newest) == 2 and f"{last} [passed]" in newest[1]
        assert (
            "no traces that match"
            in run(["-m", "vask", "traces", "list", "--outcome", "xpassed"], tmp_path).stderr
        )

    def test_options_for_the_common_settings(self, tmp_path):
        write_files(tmp_path, PER_TEST_SUITE)
        result = run(
            ["-m", "pytest", "--vask", "-p", "no:cacheprovider", "-k", "test_one",
             "--vask-lightweight", "--vask-ignore", "sub/", "--vask-budget-mb", "64",
             "--vask-max-trace-mb", "5"],
            tmp_path,
        )  # fmt: skip
        assert "2 passed" in result.stdout, result.stdout + result.stderr
        traces = stored(tmp_path / ".vask" / "db.sqlite3")
        assert frame_calls(traces["test_a.py::test_one"]) == ["test_one", "work"]
        assert frame_calls(traces["sub/test_b.py::test_one"]) == []  # ignored
        (summary,) = db.list_traces(tmp_path / ".vask" / "db.sqlite3", grep="test_a")
        (document,) = db.load_trace(tmp_path / ".vask" / "db.sqlite3", summary.trace_id)
        config = msgpack.unpackb(document, raw=False, strict_map_key=False)["meta"]["config"]
        assert config["lightweight_repr"] is True
        assert (config["memory_budget_mb"], config["max_trace_mb"]) == (64, 5)

        bad = run(["-m", "pytest", "--vask", "--vask-budget-mb", "lots"], tmp_path)
        assert bad.returncode != 0 and "memory_budget_mb" in bad.stderr
