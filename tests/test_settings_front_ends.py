"""Every ``[tool.vask]`` key has the same effect under ``vask run``, ``pytest --vask`` and Django.

One small program (``app.main``) runs under each front end, in a project
whose pyproject.toml sets the keys; each case checks the effect the key
should have in what is stored, not how the configuration was built.
"""

from __future__ import annotations

import os
import sqlite3
import subprocess
import sys
import textwrap
from pathlib import Path
from typing import Any

import msgpack
import pytest
from vask import config as vask_config
from vask import db
from vask.values import ext_hook

APP = """
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "vendor", "site-packages"))

import extlib
import skipped_mod


def paint(colour, shade, password, tone):
    mixed = len(colour) + len(shade) + len(password)
    return mixed


def leaf(i):
    return i * 2


def work(n):
    total = 0
    for i in range(n):
        total += leaf(i)
    return total


def main():
    paint("teal-value", "dark-value", "pw-value", {"tone": "warm"})
    skipped_mod.hidden(1)
    extlib.outside(2)
    work(40)
    for i in range(1500):
        leaf(i)
    code = f"import sys; sys.path.insert(0, {HERE!r}); import app; app.leaf(7)"
    subprocess.run([sys.executable, "-c", code], check=True)
"""

DJANGO_DRIVER = """
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
os.environ["DJANGO_SETTINGS_MODULE"] = "vask_settings"
import django

django.setup()
from django.test import Client

assert Client(raise_request_exception=True).get("/").status_code == 200
"""

DJANGO_SETTINGS = """
SECRET_KEY = "vask-tests-only"
DEBUG = False
ALLOWED_HOSTS = ["testserver"]
ROOT_URLCONF = "vask_urls"
INSTALLED_APPS = []
DATABASES = {}
USE_TZ = True
MIDDLEWARE = ["vask.middleware.VaskMiddleware"]
"""

DJANGO_URLS = """
from django.http import HttpResponse
from django.urls import path

import app


def index(request):
    app.main()
    return HttpResponse("ok")


urlpatterns = [path("", index)]
"""

FRONT_ENDS = ("run", "pytest", "django")


def _project(directory: Path, settings: str) -> Path:
    files = {
        "pyproject.toml": '[tool.vask]\ndb = "traces.db"\n' + textwrap.dedent(settings),
        "app.py": APP,
        "skipped_mod.py": "def hidden(x):\n    return x + 1\n",
        "vendor/site-packages/extlib.py": "def outside(x):\n    return x + 2\n",
        "main.py": "import app\n\napp.main()\n",
        "test_app.py": "import app\n\n\ndef test_main():\n    app.main()\n",
        "drive_django.py": DJANGO_DRIVER,
        "vask_settings.py": DJANGO_SETTINGS,
        "vask_urls.py": DJANGO_URLS,
    }
    for name, text in files.items():
        path = directory / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(text)
    return directory / "traces.db"


def _run(front_end: str, directory: Path) -> None:
    if front_end == "django":
        pytest.importorskip("django")
    argv = {
        "run": ["-m", "vask", "run", "main.py"],
        "pytest": ["-m", "pytest", "--vask", "-p", "no:cacheprovider", "-q", "test_app.py"],
        "django": ["drive_django.py"],
    }[front_end]
    env = {
        k: v
        for k, v in os.environ.items()
        if not k.startswith(("VASK_", "PYTEST_", "DJANGO_")) and k != "PYTHONPATH"
    }
    result = subprocess.run(
        [sys.executable, *argv],
        cwd=directory,
        env=env,
        capture_output=True,
        text=True,
        timeout=180,
        check=False,
    )
    assert result.returncode == 0, result.stdout + result.stderr


class Stored:
    """What one front end stored: the documents by trace id, and their rows."""

    def __init__(self, db_path: Path) -> None:
        conn = sqlite3.connect(db_path)
        try:
            rows = conn.execute(
                "SELECT trace_id, root_trace_id, parent_pid FROM traces ORDER BY id"
            ).fetchall()
        finally:
            conn.close()
        self.rows = rows
        self.docs: dict[str, dict[str, Any]] = {}
        self.raw: dict[str, bytes] = {}
        for trace_id, _, _ in rows:
            (data,) = db.load_trace(db_path, trace_id)
            self.raw[trace_id] = data
            self.docs[trace_id] = msgpack.unpackb(
                data, raw=False, strict_map_key=False, ext_hook=ext_hook
            )
        self.points = db.trace_points(db_path)

    def records(self, trace_id: str | None = None) -> list[dict[str, Any]]:
        """The records of one trace, or of every stored trace."""
        docs = [self.docs[trace_id]] if trace_id else self.docs.values()
        return [r for doc in docs for thread in doc["threads"].values() for r in thread["frames"]]

    def called(self, trace_id: str | None = None) -> set[str]:
        return {
            r["co_name"]
            for r in self.records(trace_id)
            if r.get("type") == "frame" and r.get("event") == "call"
        }

    def everything(self) -> bytes:
        return b"".join(self.raw.values())

    @property
    def config(self) -> dict[str, Any]:
        """The stored configuration of the program's trace (not a child's, nor a subtree's)."""
        (main,) = (t for t, root, parent in self.rows if root in (None, t) and parent is None)
        return self.docs[main]["meta"]["config"]

    def children(self) -> list[str]:
        return [t for t, _, parent in self.rows if parent is not None]

    def subtrees(self) -> list[str]:
        return [t for t, root, _ in self.rows if root not in (None, t) and t not in self.points]


@pytest.fixture(scope="module")
def stored(tmp_path_factory):
    """(settings, front end) -> Stored, each combination run once."""
    cache: dict[tuple[str, str], Stored] = {}

    def get(settings: str, front_end: str) -> Stored:
        key = (settings, front_end)
        if key not in cache:
            directory = tmp_path_factory.mktemp(front_end)
            db_path = _project(directory, settings)
            _run(front_end, directory)
            cache[key] = Stored(db_path)
        return cache[key]

    return get


FILTERS_AND_VALUES = """
    redact_extra = ["colour"]
    ignore = ["skipped_mod"]
    include = ["extlib"]
    omit_return_locals = true
    follow = true
    memory_budget_mb = 64
"""
REPLACED_NAMES = """
    redact = ["shade"]
    lightweight_repr = true
    follow = false
    memory_budget_mb = false
    flush_subtree_mb = 0
"""
CAPPED = """
    max_trace_mb = 0.05
    redact = false
    complete = true
"""
FOLDED = """
    fold_after = 1
    fold_trace_after = 1
"""
MONITOR_ONLY = """
    engine = "monitor"
    trace_points = ["work"]
    assignments = true
"""


def _return_of(records: list[dict[str, Any]], name: str) -> dict[str, Any]:
    (record,) = (
        r
        for r in records
        if r.get("type") == "frame" and r["co_name"] == name and r["event"] == "return"
    )
    return record


# Each key, and what it must do to what is stored.
def _redact_extra(s: Stored) -> None:
    everything = s.everything()
    assert b"teal-value" not in everything  # the extra name
    assert b"pw-value" not in everything  # the defaults stay


def _redact(s: Stored) -> None:
    everything = s.everything()
    assert b"dark-value" not in everything  # the name given
    assert b"pw-value" in everything  # the defaults replaced


def _redact_off(s: Stored) -> None:
    assert b"pw-value" in s.everything()


def _include(s: Stored) -> None:
    assert "outside" in s.called()


def _ignore(s: Stored) -> None:
    assert "hidden" not in s.called() and "paint" in s.called()


def _omit_return_locals(s: Stored) -> None:
    assert not _return_of(s.records(), "paint").get("locals")


def _locals_kept(s: Stored) -> None:
    assert "mixed" in _return_of(s.records(), "paint")["locals"]


def _lightweight_repr(s: Stored) -> None:
    assert s.config["lightweight_repr"] is True
    assert b"{'tone': 'warm'}" in s.everything()


def _follow(s: Stored) -> None:
    (child,) = s.children()
    assert "leaf" in s.called(child)


def _no_follow(s: Stored) -> None:
    assert s.children() == []


def _memory_budget_mb(s: Stored) -> None:
    assert s.config["memory_budget_mb"] == 64


def _flush_subtree_mb(s: Stored) -> None:
    assert s.config["memory_budget_mb"] is False
    assert s.subtrees(), "a threshold of 0 flushes finished subtrees"


def _max_trace_mb(s: Stored) -> None:
    assert any(r.get("type") == "calls_dropped" for r in s.records())


def _fold_after(s: Stored) -> None:
    assert s.config["fold_after"] == 1
    assert any(r.get("type") == "folded" for r in s.records())


def _fold_trace_after(s: Stored) -> None:
    # leaf is recorded once under work(); under main() its first call is
    # past the budget already.
    assert s.config["fold_trace_after"] == 1
    (main,) = (t for t, root, parent in s.rows if root in (None, t) and parent is None)
    calls = [
        r
        for r in s.records(main)
        if r.get("type") == "frame" and r["co_name"] == "leaf" and r["event"] == "call"
    ]
    assert len(calls) == 1


def _complete(s: Stored) -> None:
    assert s.config["fold_after"] is False
    assert not any(r.get("type") == "folded" for r in s.records())


def _trace_points(s: Stored) -> None:
    assert [p.co_name for p in s.points.values()] == ["work"]


def _assignments(s: Stored) -> None:
    assert any(r.get("assign") is not None for r in s.records())


TABLE = [
    ("redact_extra", FILTERS_AND_VALUES, _redact_extra),
    ("include", FILTERS_AND_VALUES, _include),
    ("ignore", FILTERS_AND_VALUES, _ignore),
    ("omit_return_locals", FILTERS_AND_VALUES, _omit_return_locals),
    ("follow", FILTERS_AND_VALUES, _follow),
    ("memory_budget_mb", FILTERS_AND_VALUES, _memory_budget_mb),
    ("redact", REPLACED_NAMES, _redact),
    ("lightweight_repr", REPLACED_NAMES, _lightweight_repr),
    ("follow=false", REPLACED_NAMES, _no_follow),
    ("flush_subtree_mb", REPLACED_NAMES, _flush_subtree_mb),
    ("max_trace_mb", CAPPED, _max_trace_mb),
    ("redact=false", CAPPED, _redact_off),
    ("complete", CAPPED, _complete),
    ("fold_after", FOLDED, _fold_after),
    ("fold_trace_after", FOLDED, _fold_trace_after),
    ("omit_return_locals unset", REPLACED_NAMES, _locals_kept),
    ("trace_points", MONITOR_ONLY, _trace_points),
    ("assignments", MONITOR_ONLY, _assignments),
]


@pytest.mark.parametrize("front_end", FRONT_ENDS)
@pytest.mark.parametrize(("settings", "check"), [pytest.param(s, c, id=key) for key, s, c in TABLE])
def test_key_has_its_effect_under_every_front_end(stored, settings, check, front_end):
    if settings is MONITOR_ONLY and sys.version_info < (3, 12):
        pytest.skip("trace points and assignments need sys.monitoring (Python 3.12)")
    check(stored(settings, front_end))


class TestToEngineConfig:
    def test_every_setting_is_turned_into_the_configuration(self):
        settings = vask_config.Settings(
            include=["inc"],
            ignore=["ign"],
            omit_return_locals=True,
            lightweight_repr=True,
            threads=False,
            follow=False,
            flush_subtree_mb=3,
            memory_budget_mb=False,
            max_trace_mb=9.5,
            redact=["a"],
            redact_extra=["b"],
            trace_points=["f", "g", "f"],
            assignments=True,
            fold_after=4,
        )
        assert settings.to_engine_config() == {
            "threading": False,
            "follow": False,
            "filters": {"include_frames": ["inc"], "ignore_frames": ["ign"]},
            "omit_return_locals": True,
            "lightweight_repr": True,
            "flush_subtree_mb": 3,
            "memory_budget_mb": False,
            "max_trace_mb": 9.5,
            "redact": ["a"],
            "redact_extra": ["b"],
            "trace_points": {"on_return": ["f", "g"]},
            "line_events": True,
            "fold_after": 4,
        }

    def test_unset_settings_give_the_defaults(self):
        assert vask_config.Settings().to_engine_config() == {
            "threading": True,
            "follow": True,
            "fold_after": vask_config.DEFAULT_FOLD_AFTER,
        }

    def test_options_win_and_front_end_defaults_fill_only_the_gaps(self):
        settings = vask_config.Settings(include=["file"], follow=True)
        laid = settings.overlaid(include=["option"], ignore=None, threads=False)
        assert (laid.include, laid.ignore, laid.threads) == (["option"], None, False)
        filled = laid.defaulted(follow=False, threads=True, lightweight_repr=True)
        assert (filled.follow, filled.threads, filled.lightweight_repr) == (True, False, True)
        with pytest.raises(TypeError, match="colour"):
            settings.overlaid(colour=True)

    @pytest.mark.parametrize(
        ("given", "budget", "flush"),
        [
            ({}, vask_config.DEFAULT_MEMORY_BUDGET_MB, vask_config.DEFAULT_MEMORY_BUDGET_MB / 2),
            ({"memory_budget_mb": 100}, 100, 50),
            ({"memory_budget_mb": False}, False, vask_config.DEFAULT_FLUSH_SUBTREE_MB),
            ({"flush_subtree_mb": None}, vask_config.DEFAULT_MEMORY_BUDGET_MB, None),
            ({"flush_subtree_mb": 7, "memory_budget_mb": 100}, 100, 7),
        ],
    )
    def test_limits_are_resolved_once_for_the_engine(self, given, budget, flush):
        config = dict(given)
        vask_config.resolve_limits(config)
        assert (config["memory_budget_mb"], config["flush_subtree_mb"]) == (budget, flush)
