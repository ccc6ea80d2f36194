"""Drives either tracing engine the same way, for the suites both engines share.

The ``engine`` fixture of conftest.py yields an :class:`EngineDriver` for
"profile" and for "monitor" (the latter skipped before Python 3.12).
"""

from __future__ import annotations

import sys
from collections.abc import Callable
from typing import Any

import msgpack
import pytest
from vask.profiler import Recorder, create
from vask.values import ext_hook

ENGINE_NAMES = ("profile", "monitor")

ENGINE_PARAMS = [
    pytest.param("profile", id="profile"),
    pytest.param(
        "monitor",
        id="monitor",
        marks=pytest.mark.skipif(
            sys.version_info < (3, 12), reason="sys.monitoring needs Python 3.12"
        ),
    ),
]


def decode(document: bytes) -> Any:
    return msgpack.unpackb(document, raw=False, strict_map_key=False, ext_hook=ext_hook)


def records_of(doc: dict) -> dict[str, list[dict]]:
    """Thread key -> decoded records of that thread."""
    return {
        key: [decode(r) if isinstance(r, bytes) else r for r in thread["frames"]]
        for key, thread in doc["threads"].items()
    }


def all_records(doc: dict) -> list[dict]:
    return [r for records in records_of(doc).values() for r in records]


def frames_named(doc: dict, co_name: str) -> list[dict]:
    return [r for r in all_records(doc) if r.get("type") == "frame" and r["co_name"] == co_name]


class EngineDriver:
    """Starts, stops, saves and builds traces of one engine."""

    def __init__(self, name: str) -> None:
        self.name = name

    def __repr__(self) -> str:
        return f"EngineDriver({self.name!r})"

    @property
    def monitor(self) -> bool:
        return self.name == "monitor"

    @property
    def exception_exit(self) -> str:
        """The event of a function left by an exception."""
        return "unwind" if self.monitor else "return"

    def recorder(self, *, config: dict | None = None, **kwargs: Any) -> Recorder:
        """A new, not started recorder; ``threading`` is off and every call is recorded
        (``fold_after`` off) unless ``config`` says so."""
        cfg: dict[str, Any] = {"threading": False, "fold_after": False}
        cfg.update(config or {})
        return create(self.name, config=cfg, **kwargs)

    def run(
        self, func: Callable[..., Any], *args: Any, config: dict | None = None, **kwargs: Any
    ) -> tuple[Any, dict]:
        """Runs func under a fresh recorder; returns (result, decoded document)."""
        recorder = self.recorder(config=config, **kwargs)
        recorder.start()
        try:
            result = func(*args)
        finally:
            recorder.stop()
        return result, decode(recorder.build_trace())
