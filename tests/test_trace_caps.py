"""The cap on what one trace stores and the session budget: what they refuse, the record
left in its place, the outcome kept, the summary lines, and turning them off."""

from __future__ import annotations

import os
import re
import subprocess
import sys
import textwrap
from collections.abc import Iterator
from pathlib import Path

import msgpack
import pytest
from tracedocs import big_document, document, frame, plugin
from vask import config, db
from vask.storage import caps, store, writer

ROOT = "trc_01ROOTROOTROOTROOTROOTROOT"


@pytest.fixture(autouse=True)
def fresh_bounds() -> Iterator[None]:
    caps.reset()
    yield
    caps.configure(None, None)
    caps.reset()


def a_test_document(trace_id: str, outcome: str | None, calls: int = 3, root: str | None = None):
    records = [frame("call", 1, 100.0, "main", locals={"data": list(range(300))})]
    for i in range(calls):
        records += [
            frame("call", 10 + i, 100.1, "step", locals={"i": i, "blob": os.urandom(2000).hex()}),
            frame("return", 10 + i, 100.2, "step", arg=i),
        ]
    records.append(frame("return", 1, 100.3, "main", arg=0))
    if outcome is not None:
        records.append(plugin("end_test", 100.4, outcome=outcome))
    return document(trace_id, {"native_1": records}, name=f"t::{trace_id[-4:]}", root=root)


def records_of(path: Path, trace_id: str) -> list[list[dict]]:
    out = []
    for data in db.load_trace(path, trace_id):
        doc = msgpack.unpackb(data, raw=False, strict_map_key=False)
        out.append([r for t in doc["threads"].values() for r in t["frames"]])
    return out


class TestTraceCap:
    def test_a_batch_of_stores_is_held_to_the_cap_as_a_single_store_is(
        self, tmp_path: Path
    ) -> None:
        # The writer stores queued documents in batches; none may pass the cap that way.
        from vask.document import read_head

        path = tmp_path / "db.sqlite3"
        caps.configure(0.02, None)
        small, big = "trc_01SMALLSMALLSMALLSMALLSMA", ROOT
        jobs = [
            writer.Job(trace_id, data, read_head(data), path, 10)
            for trace_id, data in (
                (small, a_test_document(small, "passed", calls=1)),
                (big, a_test_document(big, "failed", calls=20)),
            )
        ]
        assert store.store_batch(jobs, 10) == [None, None]
        assert any(r.get("co_name") == "step" for r in records_of(path, small)[0])
        ((note, end),) = records_of(path, big)
        assert note["type"] == caps.NOT_STORED_TYPE and note["reason"] == "trace_cap"
        assert end["type"] == "end_test" and end["outcome"] == "failed"
        assert [left.trace_id for left in caps.left_out()] == [big]

    def test_past_the_cap_a_record_stands_for_the_rest_and_the_outcome_stays(
        self, tmp_path: Path
    ) -> None:
        path = tmp_path / "db.sqlite3"
        caps.configure(0.02, None)  # about 20 KB stored per trace
        sub = "trc_01SUBSUBSUBSUBSUBSUBSUBSUB"
        db.save_trace(sub, msgpack_data=a_test_document(sub, None, 2, root=ROOT), db_path=path)
        big = a_test_document(ROOT, "failed", calls=20)
        db.save_trace(ROOT, msgpack_data=big, db_path=path)
        ((stored_sub,),) = [records_of(path, sub)]
        assert any(r.get("co_name") == "step" for r in stored_sub)  # under the cap: whole
        ((kept,),) = [records_of(path, ROOT)]
        note, end = kept
        assert note["type"] == caps.NOT_STORED_TYPE and note["reason"] == "trace_cap"
        assert note["size"] == len(big) and note["calls"] == 21 and note["limit"] == 20971
        assert note["stored_size"] > note["limit"] - 2000
        assert end["type"] == "end_test" and end["outcome"] == "failed"
        (summary,) = [s for s in db.list_traces(path) if s.trace_id == ROOT]
        assert summary.outcome == "failed" and summary.trace_name == "t::ROOT"
        (left,) = caps.left_out()
        assert (left.trace_id, left.root_trace_id, left.reason) == (ROOT, ROOT, "trace_cap")
        line = caps.summary(caps.left_out(), "test trace", "--cap", "--budget")
        assert line.startswith("1 test trace not stored in full") and "--cap MB" in line

    def test_a_trace_past_its_cap_stores_nothing_more_but_others_do(self, tmp_path: Path) -> None:
        path = tmp_path / "db.sqlite3"
        caps.configure(0.02, None)
        sub = "trc_01SUBSUBSUBSUBSUBSUBSUBSUB"
        db.save_trace(sub, msgpack_data=a_test_document(sub, None, 20, root=ROOT), db_path=path)
        db.save_trace(ROOT, msgpack_data=a_test_document(ROOT, "passed", 1), db_path=path)
        other = "trc_01OTHEROTHEROTHEROTHEROTH"
        db.save_trace(other, msgpack_data=a_test_document(other, "passed", 1), db_path=path)
        assert [r.trace_id for r in caps.left_out()] == [sub, ROOT]
        assert records_of(path, ROOT)[0][0]["type"] == caps.NOT_STORED_TYPE
        assert records_of(path, other)[0][0]["co_name"] == "main"

    def test_a_count_ends_with_its_trace(self, tmp_path: Path) -> None:
        # One count per trace stored would grow without end in a process
        # that stores a trace per request.
        path = tmp_path / "db.sqlite3"
        caps.configure(64, None)
        sub = "trc_01SUBSUBSUBSUBSUBSUBSUBSUB"
        db.save_trace(sub, msgpack_data=a_test_document(sub, None, 2, root=ROOT), db_path=path)
        assert writer.drain(30)  # a subtree is stored in the background
        assert ROOT in caps._bounds.stored_by_root
        db.save_trace(ROOT, msgpack_data=a_test_document(ROOT, "passed", 1), db_path=path)
        assert caps._bounds.stored_by_root == {}

    def test_off_stores_everything(self, tmp_path: Path) -> None:
        path = tmp_path / "db.sqlite3"
        caps.configure(False, False)
        data = big_document(ROOT, 5_000)
        db.save_trace(ROOT, msgpack_data=data, db_path=path)
        assert db.load_trace(path, ROOT) == [data] and caps.left_out() == []


def test_past_the_session_budget_failing_tests_are_still_stored(tmp_path: Path) -> None:
    path = tmp_path / "db.sqlite3"
    caps.configure(None, 0.03)
    ids = [f"trc_01TEST{i}{'X' * 18}" for i in range(6)]
    outcomes = ["passed", "passed", "passed", "failed", "passed", "error"]
    for trace_id, outcome in zip(ids, outcomes):
        db.save_trace(trace_id, msgpack_data=a_test_document(trace_id, outcome, 4), db_path=path)
    whole = {s.trace_id: s for s in db.list_traces(path)}
    assert len(whole) == 6
    assert all(whole[i].outcome == o for i, o in zip(ids, outcomes))
    refused = {r.trace_id for r in caps.left_out()}
    assert refused and ids[0] not in refused
    assert ids[3] not in refused and ids[5] not in refused  # failing: stored in full
    assert all(o == "passed" for i, o in zip(ids, outcomes) if i in refused)
    for trace_id in refused:
        assert records_of(path, trace_id)[0][0]["reason"] == "session_budget"


def test_settings_reach_the_engine_configuration(tmp_path: Path) -> None:
    (tmp_path / "pyproject.toml").write_text(
        "[tool.vask]\ntrace_cap_mb = false\nsession_budget_mb = 100\n"
    )
    settings = config.load_settings(tmp_path / "pyproject.toml")
    engine_config = settings.to_engine_config()
    assert engine_config["trace_cap_mb"] is False and engine_config["session_budget_mb"] == 100
    resolved = config.check_config({})
    config.resolve_limits(resolved)
    assert resolved["trace_cap_mb"] == config.DEFAULT_TRACE_CAP_MB


SUITE = """
def step(i, blob):
    return len(blob) + i


def test_big():
    blob = "x" * 3000
    assert sum(step(i, blob + str(i)) for i in range(300)) > 0


def test_fails():
    blob = "y" * 3000
    assert sum(step(i, blob + str(i)) for i in range(300)) < 0


def test_small():
    assert step(1, "") == 1
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


def test_pytest_caps_each_test_and_says_so(tmp_path: Path) -> None:
    (tmp_path / "test_suite.py").write_text(SUITE)
    path = tmp_path / "db.sqlite3"
    # Every call recorded: folded, these traces would stay under the cap.
    args = ["-m", "pytest", "-q", "-p", "no:cacheprovider", "--vask", "--vask-complete",
            "--vask-db", str(path)]  # fmt: skip
    result = run([*args, "--vask-trace-cap-mb", "0.005"], tmp_path)
    assert "2 passed, 1 failed" in result.stdout.replace("1 failed, 2 passed", "2 passed, 1 failed")
    (line,) = [x for x in result.stdout.splitlines() if "not stored in full" in x]
    assert line.startswith("vask: ") and "test trace" in line and "--vask-trace-cap-mb" in line
    outcomes = {s.trace_name.rpartition("::")[2]: s.outcome for s in db.list_traces(path)}
    assert outcomes == {"test_big": "passed", "test_fails": "failed", "test_small": "passed"}
    # turned off: every trace whole, no line
    path.unlink()
    result = run([*args, "--vask-trace-cap-mb", "off"], tmp_path)
    assert "not stored in full" not in result.stdout
    assert all(s.calls > 1 for s in db.list_traces(path))


def test_vask_run_says_what_its_cap_left_out(tmp_path: Path) -> None:
    (tmp_path / "prog.py").write_text(
        textwrap.dedent("""
        def step(i, blob):
            return len(blob) + i
        print(sum(step(i, "z" * 3000 + str(i)) for i in range(300)))
        """)
    )
    path = tmp_path / "db.sqlite3"
    result = run(["-m", "vask", "run", "--db", str(path), "--complete", "--trace-cap-mb", "0.005",
                  "prog.py"], tmp_path)  # fmt: skip
    assert result.returncode == 0 and result.stdout.strip() == str(
        sum(3000 + len(str(i)) + i for i in range(300))
    )
    (line,) = [x for x in result.stderr.splitlines() if "not stored in full" in x]
    assert "1 trace not stored in full" in line and "--trace-cap-mb" in line
    ((note, *_),) = records_of(path, db.list_traces(path)[0].trace_id)
    assert note["type"] == caps.NOT_STORED_TYPE
    shown = run(["-m", "vask", "traces", "show", "latest", "--db", str(path)], tmp_path).stdout
    # 302 calls; the profile hook also counts each resume of the generator as a call.
    assert re.search(r"\((302|602) calls\) not stored: past the cap per trace of 5\.1 KiB", shown)
