"""The tracing configuration is checked before tracing starts, with errors naming the key."""

from __future__ import annotations

import logging
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest
import vask
from vask.config import check_config
from vask.profiler import Profiler


@pytest.mark.parametrize(
    ("config", "error", "message"),
    [
        ({"threading": 1}, TypeError, "'threading' must be True or False, not int: 1"),
        ({"omit_return_locals": "yes"}, TypeError, "'omit_return_locals' must be True or False"),
        ({"lightweight_repr": None}, TypeError, "'lightweight_repr' must be True or False"),
        ({"processors": 5}, TypeError, "'processors' must be a list"),
        ({"processors": {"co_names": ["f"]}}, TypeError, "'processors' must be a list"),
        ({"processors": [7]}, TypeError, r"processors\[0\]: expected a plugin description"),
        ({"filters": ["tests"]}, TypeError, "'filters' must be a dict"),
        ({"filters": {"include_frames": "tests"}}, TypeError, "'filters.include_frames' must"),
        ({"filters": {"ignore_frames": [b"x"]}}, TypeError, "'filters.ignore_frames' must"),
        ({"filters": {"include_frames": [""]}}, ValueError, "empty fragment"),
        ({"filters": {"include": ["x"]}}, ValueError, "unknown key.*'include'"),
        ({"flush_subtree_mb": "10"}, TypeError, "'flush_subtree_mb' must be a non-negative"),
        ({"flush_subtree_mb": True}, TypeError, "'flush_subtree_mb'"),
        ({"flush_subtree_mb": -1}, ValueError, "'flush_subtree_mb'"),
        ({"flush_subtree_mb": float("nan")}, ValueError, "'flush_subtree_mb'"),
        ({"flush_subtree_mb": 1e300}, ValueError, "'flush_subtree_mb'"),
        ({"sqlite_busy_timeout": -1}, ValueError, "'sqlite_busy_timeout' must be a non-negative"),
        ({"sqlite_busy_timeout": "60"}, TypeError, "'sqlite_busy_timeout' must be a number"),
        ({"sqlite_busy_timeout": 10**12}, ValueError, "'sqlite_busy_timeout' must be at most"),
        ({"trace_points": {"on_return": "f"}}, TypeError, "'trace_points.on_return'"),
        ({"redact": 5}, TypeError, "'redact'"),
        ({1: True}, TypeError, "config keys must be str, not int: 1"),
    ],
)
def test_wrong_values_are_named_before_anything_is_installed(
    config: dict, error: type[Exception], message: str
) -> None:
    with pytest.raises(error, match=message):
        check_config(config)
    with pytest.raises(error, match=message):
        vask.enable(config=config)
    assert sys.getprofile() is None and vask.current_profiler() is None


def test_values_are_normalised_for_the_engine() -> None:
    checked = check_config(
        {
            "threading": False,
            "sqlite_busy_timeout": 2.5,
            "filters": {"include_frames": ("app",), "ignore_frames": None},
            "redact": ["password", "pin"],
            "processors": (),
            "flush_subtree_mb": 0,
        }
    )
    assert checked == {
        "threading": False,
        "sqlite_busy_timeout": 3,
        "filters": {"include_frames": ["app"]},
        "redact": "password,pin",
        "processors": [],
        "flush_subtree_mb": 0,
    }
    # A checked configuration passes again unchanged: recorders check what
    # the middleware checked, and a followed child what its parent did.
    again = {**checked, "redact_extra": "colour,shade"}
    assert check_config(check_config(again)) == again
    assert check_config(None) == {}
    with pytest.raises(TypeError, match="config must be a dict"):
        check_config(["threading"])  # type: ignore[arg-type]


def test_unknown_keys_are_reported_once_and_kept_only_when_storable(
    caplog: pytest.LogCaptureFixture,
) -> None:
    caplog.set_level(logging.WARNING, logger="vask")
    config = {"omit_return_local": True, "plugin_options": {"a": 1}}
    assert check_config(config) == {"omit_return_local": True}
    assert check_config(config) == {"omit_return_local": True}
    messages = [r.getMessage() for r in caplog.records if r.name == "vask"]
    assert len(messages) == 2
    assert "unknown configuration key 'omit_return_local' passed on" in messages[0]
    assert "'plugin_options' left out (its value cannot be stored)" in messages[1]


def test_the_programs_output_stays_its_own(tmp_path: Path) -> None:
    script = tmp_path / "prog.py"
    script.write_text(
        textwrap.dedent(
            f"""
            import vask

            def work():
                return 1

            with vask.enabled(db_path={str(tmp_path / "t.db")!r},
                              config={{"threading": False, "extra": [1, 2], "note": "kept"}}):
                work()
            print("done")
            """
        )
    )
    result = subprocess.run(
        [sys.executable, str(script)], capture_output=True, text=True, timeout=60, check=True
    )
    assert result.stdout == "done\n"
    assert "unknown configuration key 'extra'" in result.stderr


def test_profiler_start_checks_and_keeps_the_checked_config() -> None:
    profiler = Profiler(config={"threading": False, "sqlite_busy_timeout": 0.2})
    profiler.start()
    try:
        assert profiler.config["sqlite_busy_timeout"] == 1
    finally:
        profiler.stop()
    with pytest.raises(TypeError, match="'threading'"):
        Profiler(config={"threading": "no"}).start()


@pytest.mark.parametrize(
    "config", [{"trace_points": ["f"]}, {"assignments": True}, {"line_events": True}]
)
def test_what_only_the_monitoring_engine_has_is_refused_elsewhere(config) -> None:
    recorder = Profiler(config=config)
    wanted = "Python 3.12 or later" if sys.version_info < (3, 12) else "the monitoring engine"
    with pytest.raises(ValueError, match=wanted):
        recorder.start()
    assert recorder.active is False and sys.getprofile() is None
    idle = Profiler(config={"trace_points": [], "assignments": False})  # asks for nothing
    idle.start()
    idle.stop()


def test_assignments_and_trace_points_given_the_short_way() -> None:
    assert check_config({"assignments": True})["line_events"] is True
    assert check_config({"trace_points": ["f", "g"]})["trace_points"] == {"on_return": ["f", "g"]}
    with pytest.raises(ValueError, match="disagree"):
        check_config({"assignments": True, "line_events": False})
    with pytest.raises(TypeError, match="'assignments'"):
        check_config({"assignments": "yes"})
