"""`traces show` and `traces export` write exactly the text they wrote before they were made fast.

``data/shop.sqlite3`` holds one recording of a varied program (two threads,
generators, a caught exception, a folded loop, assignments, redacted
arguments, asyncio tasks, subtrees flushed apart, a trace point, text with
terminal controls).  Each command's output is compared byte for byte with
the one in ``data/show_export/``, written by the reading code as it was
before; ``VASK_REGOLDEN=1`` writes them anew after a deliberate change of
the output.
"""

from __future__ import annotations

import io
import os
import shutil
import sys
import time
from pathlib import Path

import pytest

import vask
from vask.cli import main

DATA = Path(__file__).parent / "data"
GOLDEN = DATA / "show_export"
ROOT = "trc_01M9CHG64WGXP2RZ98MPDRGMTZ"
SUBTREE = "trc_01M9CHG680FRZ8RZ05B8AV1PQQ"
POINT = "trc_01M9CHG67FDEC1MGNA7S60EAC2"

COMMANDS = {
    "show": ["show", ROOT],
    "show-depth": ["show", "--depth", "2", ROOT],
    "show-grep": ["show", "--grep", "checkout", ROOT],
    "show-locals": ["show", "--locals", "--max-width", "24", ROOT],
    "show-color": ["show", "--color", "always", "--max-width", "0", ROOT],
    "show-tasks": ["show", "--by", "task", ROOT],
    "show-subtree": ["show", SUBTREE, POINT],
    "show-subtree-grep": ["show", "--grep", "price_of", "--depth", "3", SUBTREE],
    "export-chrome": ["export", "-o", "-", ROOT],
    "export-speedscope": ["export", "--format", "speedscope", "-o", "-", ROOT],
    "export-subtree": ["export", "--no-children", "-o", "-", SUBTREE],
}


@pytest.fixture(scope="module")
def database(tmp_path_factory: pytest.TempPathFactory) -> Path:
    # A copy: the file is opened read-only, yet SQLite may leave files beside it.
    path = tmp_path_factory.mktemp("golden") / "shop.sqlite3"
    shutil.copyfile(DATA / "shop.sqlite3", path)
    return path


@pytest.fixture
def utc(monkeypatch: pytest.MonkeyPatch, tmp_path: Path):
    # Times are shown in local time; the recorded source is not at its path
    # here, so arguments are read from the records alone, as they were.
    monkeypatch.setenv("TZ", "UTC")
    monkeypatch.delenv("NO_COLOR", raising=False)
    monkeypatch.chdir(tmp_path)
    time.tzset()
    yield
    monkeypatch.undo()
    time.tzset()


@pytest.mark.parametrize("name", list(COMMANDS))
def test_output_unchanged(name: str, database: Path, utc, capsys: pytest.CaptureFixture[str]):
    status = main(["traces", *COMMANDS[name][:1], "--db", str(database), *COMMANDS[name][1:]])
    out = capsys.readouterr().out.replace(vask.__version__, "VERSION")
    assert status == 0
    golden = GOLDEN / f"{name}.txt"
    if os.environ.get("VASK_REGOLDEN"):
        GOLDEN.mkdir(exist_ok=True)
        golden.write_text(out, encoding="utf-8")
    expected = golden.read_text(encoding="utf-8")
    if out != expected:
        first = next(
            (i for i, (a, b) in enumerate(zip(out.splitlines(), expected.splitlines())) if a != b),
            min(len(out.splitlines()), len(expected.splitlines())),
        )
        got = out.splitlines()[first : first + 1]
        want = expected.splitlines()[first : first + 1]
        pytest.fail(f"{name}: line {first + 1} differs:\n got  {got}\n want {want}")


def test_goldens_cover_the_varied_parts():
    """The recording holds what the comparison is for (a guard against a thinner re-recording)."""
    shown = {p.stem: p.read_text(encoding="utf-8") for p in GOLDEN.glob("*.txt")}
    every = "".join(shown.values())
    for what in (
        "flushed to trace",
        "more calls of tick",
        "[resume]",
        "!! KeyError",
        "thread worker-1",
        "password=<redacted>",
        "\\x1b[31m\\u202e",
        "{1, 2}",
        "total = 1",
        "trace point",
    ):
        assert what in every, what
    assert "asyncio task" in shown["show-tasks"]
    assert "s3cret" not in every



class _Terminal(io.StringIO):
    def isatty(self) -> bool:
        return True


@pytest.mark.parametrize(
    ("command", "golden", "shown"),
    [
        (["export", "-o", "out.json", ROOT], None, "events written"),
        (["show", "--color", "never", SUBTREE, POINT], "show-subtree", "lines"),
    ],
)
def test_progress_on_a_terminal_then_wiped(
    command, golden, shown, database: Path, utc, monkeypatch: pytest.MonkeyPatch
):
    """Long work says how far it got on a terminal's stderr and wipes that line before
    anything else is said; the output stays as it is."""
    from vask import export
    from vask.cli import traces

    for name, value in (("_PROGRESS_AFTER", -1.0), ("_PROGRESS_INTERVAL", -1.0)):
        monkeypatch.setattr(traces, name, value)
    monkeypatch.setattr(traces, "_PROGRESS_EVERY", 1)
    monkeypatch.setattr(export, "_BATCH", 1)
    err, out = _Terminal(), io.StringIO()
    monkeypatch.setattr(sys, "stderr", err)
    monkeypatch.setattr(sys, "stdout", out)
    assert main(["traces", command[0], "--db", str(database), *command[1:]]) == 0
    text = err.getvalue()
    assert text.count(shown) >= 2
    assert text.endswith("\r\033[K") or "\r\033[Kvask: wrote" in text
    if golden is not None:
        expected = (GOLDEN / f"{golden}.txt").read_text(encoding="utf-8")
        assert out.getvalue() == expected


def test_no_progress_while_the_output_is_on_the_terminal(
    database: Path, utc, monkeypatch: pytest.MonkeyPatch
):
    from vask.cli import traces

    monkeypatch.setattr(traces, "_PROGRESS_AFTER", -1.0)
    monkeypatch.setattr(traces, "_PROGRESS_EVERY", 1)
    err, out = _Terminal(), _Terminal()
    monkeypatch.setattr(sys, "stderr", err)
    monkeypatch.setattr(sys, "stdout", out)
    assert main(["traces", "show", "--color", "never", "--db", str(database), SUBTREE]) == 0
    assert "\r" not in err.getvalue() and "thread" in out.getvalue()
