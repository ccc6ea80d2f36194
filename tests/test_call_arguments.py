"""A call's arguments are its parameters: what show, the viewer and the exports list.

The locals at a call also hold a closure's free variables and the ``__class__``
cell of a method that uses ``super()``; those stay locals.  The stored records
are unchanged: the parameters come from the function's source.
"""

from __future__ import annotations

import json
from pathlib import Path
from unittest.mock import ANY

import pytest
from engine_driver import all_records
from source_modules import load_source
from vask import arguments
from vask.arguments import call_arguments, split_call_locals
from vask.calltree import build_call_tree
from vask.render import Style, render_tree

SOURCE = """\
import functools


class Base:
    def greet(self, who):
        return who


class Child(Base):
    def greet(self, who, /, loud=False, *rest, sep=" ", **more):
        return super().greet(who)


def outer(factor):
    def scaled(value, *, twice=False):
        return value * factor * (2 if twice else 1)

    return scaled


def passthrough(func):
    @functools.wraps(func)
    def wrapper(*args, **kwargs):
        return func(*args, **kwargs)

    return wrapper


@passthrough
def decorated(a, b=2):
    return a + b


def main():
    Child().greet("ann", True, 7, sep="-", extra=1)
    outer(3)(4, twice=True)
    decorated(1)
    square = lambda n: n * n  # noqa: E731
    return square(5)
"""


@pytest.fixture
def program(tmp_path: Path):
    path = tmp_path / "shapes_prog.py"
    path.write_text(SOURCE)
    module = load_source("shapes_prog", path)
    arguments._cache.clear()
    return path, module


def _calls(doc: dict) -> dict[str, dict]:
    """The first call record of each function of the program."""
    found: dict[str, dict] = {}
    for r in all_records(doc):
        if r.get("type") == "frame" and r.get("event") == "call" and "shapes_prog" in r["path"]:
            # by co_name (qualified names of nested functions need 3.11): a
            # second function of the same name gets "#2"
            key = r["co_name"] if r["co_name"] not in found else r["co_name"] + "#2"
            found.setdefault(key, r)
    return found


def test_arguments_are_the_parameters_and_the_rest_stays_locals(engine, program):
    path, module = program
    _, doc = engine.run(module.main)
    calls = _calls(doc)

    args, other = split_call_locals(calls["greet"])
    assert list(args) == ["self", "who", "loud", "sep", "rest", "more"]
    assert args["who"] == "ann" and args["more"] == {"extra": 1}
    assert list(other) == ["__class__"]
    # the record itself still holds every local
    assert "__class__" in calls["greet"]["locals"]

    args, other = split_call_locals(calls["scaled"])
    assert args == {"value": 4, "twice": True}
    assert other == {"factor": 3}

    assert split_call_locals(calls["decorated"]) == ({"a": 1, "b": 2}, {})
    assert split_call_locals(calls["wrapper"])[1] == {"func": ANY}
    assert split_call_locals(calls["<lambda>"]) == ({"n": 5}, {})
    assert split_call_locals(calls["greet#2"]) == ({"self": ANY, "who": "ann"}, {})

    # show lists the parameters only
    text = "\n".join(render_tree(build_call_tree(all_records(doc)), style=Style(), width=200))
    greet_line = next(line for line in text.splitlines() if "Child.greet(" in line)
    assert "who=" in greet_line and "__class__" not in greet_line
    scaled_line = next(line for line in text.splitlines() if "scaled(" in line)
    assert "factor" not in scaled_line and "twice=True" in scaled_line


def test_a_changed_or_missing_source_falls_back_safely(engine, program):
    path, module = program
    _, doc = engine.run(module.main)
    calls = _calls(doc)
    # the file changes after the run: its parameters no longer match the locals
    path.write_text(SOURCE.replace("def greet(self, who, /,", "def greet(self, whom, /,"))
    args, other = split_call_locals(calls["greet"])
    assert "__class__" not in args and list(other) == ["__class__"]
    assert list(args)[:2] == ["self", "who"]
    # a free variable cannot be told from a parameter without the source: kept
    path.unlink()
    args, other = split_call_locals(calls["scaled"])
    assert args == {"value": 4, "twice": True, "factor": 3} and other == {}


@pytest.mark.parametrize(
    "record",
    [
        {"event": "call", "path": "nowhere.py:3", "co_name": "f", "locals": "<dict repr>"},
        {"event": "call", "path": None, "co_name": None, "locals": {"x": 1}},
        {"event": "call", "path": "nowhere.py:x", "co_name": "f", "locals": {1: 2}},
        {"event": "resume", "path": "nowhere.py:9", "co_name": "g", "locals": {"__class__": 1}},
    ],
)
def test_records_of_any_shape_are_read(record):
    result = call_arguments(record)
    if isinstance(record["locals"], dict):
        assert result == {k: v for k, v in record["locals"].items() if k != "__class__"}
    else:
        assert result == record["locals"]


def test_a_source_that_does_not_parse_falls_back(tmp_path: Path):
    path = tmp_path / "broken.py"
    path.write_text("def f(a:\n")
    record = {"event": "call", "path": f"{path}:1", "co_name": "f", "locals": {"a": 1, "k": 2}}
    assert split_call_locals(record) == ({"a": 1, "k": 2}, {})


def test_the_chrome_export_and_the_viewer_list_the_parameters(program, tmp_path: Path):
    from engine_driver import EngineDriver
    from vask import traceindex
    from vask.export import write_chrome_trace
    from vask.viewer import queries

    _, module = program
    recorder = EngineDriver("profile").recorder()
    recorder.start()
    try:
        module.main()
    finally:
        recorder.stop()
    index = traceindex.build_index("t", [recorder.build_trace()])
    out = tmp_path / "chrome.json"
    with out.open("w") as f:
        write_chrome_trace(index, f)
    events = json.loads(out.read_text())["traceEvents"]
    greet = next(e for e in events if e.get("name", "").endswith("Child.greet"))
    assert "__class__" not in greet["args"]["arguments"]
    thread = next(iter(index.threads.values()))
    node = next(
        n
        for n in range(len(thread.kind))
        if (info := thread.node_name(n)) is not None and info.qualname.endswith("Child.greet")
    )
    detail = queries.details(index, thread, node)
    # values as the page reads them (tagged JSON): the names are in the text
    assert "__class__" not in json.dumps(detail["arguments"])
    assert '"who"' in json.dumps(detail["arguments"])
    assert "__class__" in json.dumps(detail["locals_call_other"])
    assert "__class__" in json.dumps(detail["locals_call"])
