"""Shared pytest set-up: the suite runs against the installed vask only.

The package in ``python/vask`` of the checkout has no compiled ``_vask``;
importing it instead of the built wheel would test stale or missing code, so
collection stops at once if that happens.
"""

from __future__ import annotations

import sys
from pathlib import Path

import pytest

SOURCE_PACKAGE_ROOT = (Path(__file__).resolve().parent.parent / "python").resolve()


def _is_source_root(entry: str) -> bool:
    try:
        return Path(entry or ".").resolve() == SOURCE_PACKAGE_ROOT
    except OSError:
        return False


sys.path[:] = [entry for entry in sys.path if not _is_source_root(entry)]

import vask  # noqa: E402  (after the sys.path clean-up on purpose)

_vask_location = Path(vask.__file__).resolve()
if _vask_location.is_relative_to(SOURCE_PACKAGE_ROOT):
    raise pytest.UsageError(
        f"vask was imported from the source tree ({_vask_location}), not from the installed "
        "package. Build and install it first (scripts/test does this, or "
        "`pip install --no-build-isolation .` in a virtual environment) and do not put "
        "python/ on PYTHONPATH or install it in editable mode."
    )


from engine_driver import ENGINE_PARAMS, EngineDriver  # noqa: E402


@pytest.fixture(params=ENGINE_PARAMS)
def engine(request: pytest.FixtureRequest) -> EngineDriver:
    """Each tracing engine in turn, as an :class:`engine_driver.EngineDriver`."""
    return EngineDriver(request.param)


@pytest.fixture(autouse=True)
def _default_value_settings():
    """Every test starts with the dumpers' default value settings (a profiler sets them)."""
    from vask import serialize

    yield
    serialize.configure_values()
