"""Plugin descriptions handed to the tracing engines.

A plugin description is a dict that tells an engine which library functions to
watch and what record to make of their events:

================  ========  ===========================================================
key               required  value
================  ========  ===========================================================
``co_names``      yes       function names (``co_name``) to watch: a list/tuple/set of str
``path_fragment`` yes       str that the function's file name must contain
``call_type``     yes       record type (str) of "call" events
``return_type``   yes       record type (str) of "return" events
``unwind_type``   no        record type of "unwind" events (default: ``return_type``)
``resume_type``   no        record type of "resume" events (default: ``call_type``)
``yield_type``    no        record type of "yield" events (default: ``return_type``)
``throw_type``    no        record type of "throw" events (default: ``unwind_type``)
``subtype``       no        str copied into every record
``events``        no        event kinds to make records for (default: all), or None
``build_context`` no        callable(config) -> dict, the context of the callbacks
``call``          no        callable(frame, event, arg, context) -> bool: does it match?
``process``       no        callable(frame, event, arg, context) -> mapping of extra keys
================  ========  ===========================================================

The optional text keys must be ``str`` when present; ``events``,
``build_context``, ``call`` and ``process`` may also be ``None``.

:func:`load_plugin_data` returns the built-in plugins (:data:`BUILTIN_PLUGINS`)
followed by those of the configuration key ``"processors"``: a list whose items
are description dicts or ``"module:attribute"`` import strings naming a
description dict or a list of them.  Every description is checked here, so a
mistake in the configuration fails engine construction with a message naming
the entry instead of surfacing later, at event time.  (The key is
``"processors"`` because the engine never stores it in trace documents: its
value is a list of callables and dicts, not configuration to keep.)
"""

from __future__ import annotations

import importlib
import os
import threading
from collections.abc import Mapping
from types import FrameType
from typing import Any

from vask.asynctasks import task_plugins

__all__ = ["BUILTIN_PLUGINS", "EVENT_KINDS", "load_plugin_data", "validate_description"]

#: The configuration key that lists further plugin descriptions.
CONFIG_KEY = "processors"


# -- built-in plugins ----------------------------------------------------------
#
# They are loaded by every engine, so each watches a function name that
# ordinary programs do not call often, in one named file: a program that uses
# neither pytest, unittest nor Django pays one hash probe per call for them.
#
# Tests.  A "start_test" record starts a trace of its own (with
# one_trace_per_test) and names it "test_class.test_name"; the "end_test"
# record stores it.  The watched call encloses the test's setup and teardown,
# so those belong to the test's trace.
#
#   pytest:   _pytest/runner.py runtestprotocol(item, ...): setup, call and
#             teardown of one item (also each re-run of pytest-rerunfailures).
#   unittest: unittest/case.py TestCase.run(result): setUp, the test method,
#             tearDown and cleanups (setUpClass runs in the suite, outside).
#
# Only the outermost test of a thread counts: a test run inside a test (a
# pytester run, a test suite testing a test runner) stays part of the outer
# test, and a unittest TestCase driven by pytest is pytest's test, not a
# second one.  The open test frames are kept per thread and a frame is "inside"
# when the open one is among its callers; a frame whose return was never seen
# (tracing stopped mid-test) is never among the callers of later frames, so
# it cannot wedge the plugin.
#
# Django requests.  "django_request" (method, path_info) at the call and
# "django_response" (status_code) at the return of the function that turns a
# request into a response name the trace "GET /orders/ 200":
#
#   django/core/handlers/base.py BaseHandler.get_response: the whole
#             request, outside every middleware (a process traced as a whole).
#   vask/middleware.py VaskMiddleware._vask_handle_request: the request as
#             vask.middleware.VaskMiddleware sees it; its own profiler starts
#             inside BaseHandler.get_response and would never see that call.
#
# Async handling (get_response_async) is not watched: a suspended coroutine
# reports returns and calls of its own that would read as many requests.

_open_tests = threading.local()
_CLOSING_EVENTS = ("return", "unwind")


def _path(*parts: str) -> str:
    """A path fragment that starts at a directory boundary: "/unittest/case.py"."""
    return os.sep + os.sep.join(parts)


def _is_caller(frame: FrameType, candidate: FrameType | None) -> bool:
    """Whether ``candidate`` is among the callers of ``frame``."""
    if candidate is None:
        return False
    caller = frame.f_back
    while caller is not None:
        if caller is candidate:
            return True
        caller = caller.f_back
    return False


def _claim_test(frame: FrameType, event: str, slot: str, outer: tuple[str, ...] = ()) -> bool:
    """Whether this event starts or ends the outermost test on the thread.

    A test that runs inside an open test of `slot` or of the `outer` kinds
    belongs to that test and is not claimed.
    """
    if event == "call":
        for kind in (*outer, slot):
            if _is_caller(frame, getattr(_open_tests, kind, None)):
                return False
        setattr(_open_tests, slot, frame)
        return True
    if event in _CLOSING_EVENTS and getattr(_open_tests, slot, None) is frame:
        setattr(_open_tests, slot, None)
        return True
    return False


def _pytest_matches(frame: FrameType, event: str, arg: Any, context: dict[str, Any]) -> bool:
    return _claim_test(frame, event, "pytest")


def _unittest_matches(frame: FrameType, event: str, arg: Any, context: dict[str, Any]) -> bool:
    # A TestCase that pytest runs is pytest's test.
    return _claim_test(frame, event, "unittest", outer=("pytest",))


def _pytest_outcome(reports: Any) -> str:
    """The outcome of a test from its reports.

    One of "passed", "failed", "error" (in setup or teardown), "skipped",
    "xfailed", "xpassed", or "interrupted" when there are no reports.
    """
    if not isinstance(reports, list):
        return "interrupted"
    outcome = "passed"
    for report in reports:
        if getattr(report, "failed", False):
            return "failed" if getattr(report, "when", None) == "call" else "error"
        xfail = hasattr(report, "wasxfail")
        if getattr(report, "skipped", False):
            outcome = "xfailed" if xfail else "skipped"
        elif xfail and outcome == "passed":
            outcome = "xpassed"
    return outcome


def _pytest_record(frame: FrameType, event: str, arg: Any, context: dict[str, Any]) -> Any:
    item = frame.f_locals.get("item")
    record: dict[str, Any] = {"test_name": str(getattr(item, "name", item))}
    cls = getattr(item, "cls", None)
    if isinstance(cls, type):
        record["test_class"] = cls.__qualname__
    nodeid = getattr(item, "nodeid", None)
    if isinstance(nodeid, str):
        record["test_id"] = nodeid
    if event != "call":
        record["outcome"] = _pytest_outcome(arg)
    return record


def _unittest_record(frame: FrameType, event: str, arg: Any, context: dict[str, Any]) -> Any:
    test = frame.f_locals.get("self")
    cls = type(test)
    # Read from the instance dict: no __getattr__ of the test class runs.
    name = getattr(test, "__dict__", {}).get("_testMethodName")
    if not isinstance(name, str):
        name = "runTest"
    return {
        "test_name": name,
        "test_class": cls.__qualname__,
        "test_id": f"{cls.__module__}.{cls.__qualname__}.{name}",
    }


def _text_attribute(obj: Any, name: str) -> str | None:
    value = getattr(obj, name, None)
    return value if isinstance(value, str) else None


def _django_record(frame: FrameType, event: str, arg: Any, context: dict[str, Any]) -> Any:
    if event == "call":
        request = frame.f_locals.get("request")
        # Only method and path: the query string and headers may hold secrets.
        return {
            "method": _text_attribute(request, "method"),
            "path_info": _text_attribute(request, "path_info"),
        }
    status = getattr(arg, "status_code", None)
    return {"status_code": status if type(status) is int else None}


_CALL_AND_RETURN = ["call", "return", "unwind"]

#: Descriptions of the plugins vask ships; always loaded, before configured ones.
BUILTIN_PLUGINS: list[dict[str, Any]] = [
    {
        "co_names": ["runtestprotocol"],
        "path_fragment": _path("_pytest", "runner.py"),
        "call_type": "start_test",
        "return_type": "end_test",
        "subtype": "pytest",
        "events": _CALL_AND_RETURN,
        "call": _pytest_matches,
        "process": _pytest_record,
    },
    {
        "co_names": ["run"],
        "path_fragment": _path("unittest", "case.py"),
        "call_type": "start_test",
        "return_type": "end_test",
        "subtype": "unittest",
        "events": _CALL_AND_RETURN,
        "call": _unittest_matches,
        "process": _unittest_record,
    },
    {
        "co_names": ["get_response"],
        "path_fragment": _path("django", "core", "handlers", "base.py"),
        "call_type": "django_request",
        "return_type": "django_response",
        "subtype": "django",
        "events": _CALL_AND_RETURN,
        "process": _django_record,
    },
    {
        "co_names": ["_vask_handle_request"],
        "path_fragment": _path("vask", "middleware.py"),
        "call_type": "django_request",
        "return_type": "django_response",
        "subtype": "django",
        "events": _CALL_AND_RETURN,
        "process": _django_record,
    },
    # asyncio tasks: which task each step of the event loop runs, and who
    # created it (see vask.asynctasks).
    *task_plugins(),
]

#: The event kinds an engine reports to plugins.
EVENT_KINDS = ("call", "return", "unwind", "resume", "yield", "throw")

_REQUIRED_TEXT = ("path_fragment", "call_type", "return_type")
_OPTIONAL_TEXT = ("unwind_type", "resume_type", "yield_type", "throw_type", "subtype")
_CALLABLES = ("build_context", "call", "process")
_KNOWN_KEYS = frozenset(("co_names", "events", *_REQUIRED_TEXT, *_OPTIONAL_TEXT, *_CALLABLES))


def _text_list(value: Any, what: str, where: str) -> list[str]:
    # A str is iterable too, but "view" meaning ["v", "i", "e", "w"] is never
    # what was meant.
    if not isinstance(value, (list, tuple, set, frozenset)):
        raise TypeError(
            f"{where}: {what} must be a list of str, not {type(value).__name__}: {value!r}"
        )
    items = list(value)
    for item in items:
        if not isinstance(item, str):
            raise TypeError(
                f"{where}: {what} must hold only str, found {type(item).__name__}: {item!r}"
            )
    return items


def validate_description(description: Any, where: str = "plugin") -> dict[str, Any]:
    """Check one plugin description; return a normalised copy.

    The copy has ``co_names`` (and ``events``, when given) as lists, so an
    iterable is not consumed twice.  Raises ``TypeError`` or ``ValueError``
    whose message starts with ``where``.
    """
    if not isinstance(description, dict):
        raise TypeError(
            f"{where}: a plugin description must be a dict, not {type(description).__name__}"
        )
    unknown = sorted(str(k) for k in description if k not in _KNOWN_KEYS)
    if unknown:
        raise ValueError(
            f"{where}: unknown key(s) {', '.join(unknown)}; known keys are "
            f"{', '.join(sorted(_KNOWN_KEYS))}"
        )
    missing = [k for k in ("co_names", *_REQUIRED_TEXT) if k not in description]
    if missing:
        raise ValueError(f"{where}: missing required key(s) {', '.join(missing)}")
    result = dict(description)
    result["co_names"] = _text_list(description["co_names"], "co_names", where)
    if not result["co_names"]:
        raise ValueError(f"{where}: co_names is empty, so the plugin would never run")
    for key in (*_REQUIRED_TEXT, *_OPTIONAL_TEXT):
        if key in description and not isinstance(description[key], str):
            raise TypeError(f"{where}: {key} must be a str, not {type(description[key]).__name__}")
    events = description.get("events")
    if events is not None:
        result["events"] = _text_list(events, "events", where)
        bad = [e for e in result["events"] if e not in EVENT_KINDS]
        if bad:
            raise ValueError(
                f"{where}: unknown event kind(s) {', '.join(map(repr, bad))}; "
                f"event kinds are {', '.join(EVENT_KINDS)}"
            )
    for key in _CALLABLES:
        value = description.get(key)
        if value is not None and not callable(value):
            raise TypeError(f"{where}: {key} must be callable, not {type(value).__name__}")
    return result


def _import(target: str, where: str) -> Any:
    module_name, sep, attribute = target.partition(":")
    if not sep or not module_name or not attribute:
        raise ValueError(f"{where}: {target!r} is not of the form 'module:attribute'")
    try:
        value: Any = importlib.import_module(module_name)
    except Exception as error:
        raise ValueError(f"{where}: cannot import module {module_name!r}: {error}") from error
    for part in attribute.split("."):
        try:
            value = getattr(value, part)
        except AttributeError as error:
            raise ValueError(f"{where}: {target!r}: no attribute {part!r}") from error
    return value


def _entry_descriptions(entry: Any, where: str) -> list[dict[str, Any]]:
    if isinstance(entry, dict):
        return [validate_description(entry, where)]
    if not isinstance(entry, str):
        raise TypeError(
            f"{where}: expected a plugin description dict or a 'module:attribute' string, "
            f"not {type(entry).__name__}"
        )
    value = _import(entry, where)
    where = f"{where} ({entry})"
    if isinstance(value, dict):
        return [validate_description(value, where)]
    if isinstance(value, (list, tuple)):
        return [validate_description(v, f"{where}[{i}]") for i, v in enumerate(value)]
    raise TypeError(
        f"{where}: names a {type(value).__name__}, not a plugin description dict or a list of them"
    )


def load_plugin_data(config: Mapping[str, Any] | None) -> list[dict[str, Any]]:
    """The plugin descriptions for an engine built with ``config``.

    The built-in plugins come first, then those of ``config["processors"]`` in
    their order.  A bad entry raises ``TypeError`` or ``ValueError`` naming it
    (``processors[2]``, with the import string when there is one).
    """
    descriptions = [
        validate_description(d, f"built-in plugin {i}") for i, d in enumerate(BUILTIN_PLUGINS)
    ]
    if config is None:
        return descriptions
    if not isinstance(config, Mapping):
        raise TypeError(f"config must be a dict, not {type(config).__name__}")
    entries = config.get(CONFIG_KEY)
    if entries is None:
        return descriptions
    if not isinstance(entries, (list, tuple)):
        raise TypeError(
            f"config '{CONFIG_KEY}' must be a list of plugin descriptions or import strings, "
            f"not {type(entries).__name__}"
        )
    for index, entry in enumerate(entries):
        descriptions.extend(_entry_descriptions(entry, f"{CONFIG_KEY}[{index}]"))
    return descriptions
