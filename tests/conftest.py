"""Shared pytest set-up: the suite runs against the installed vask only.

The package in ``python/vask`` of the checkout has no compiled ``_vask``;
importing it instead of the built wheel would test stale or missing code, so
collection stops at once if that happens.
"""

from __future__ import annotations

import itertools
import os
import re
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


# -- the trace database of each backend ------------------------------------------
#
# The PostgreSQL tests run against a throwaway cluster (tests/pgcluster.py),
# one per test session (per xdist worker).  They are skipped only when no
# server can be started, and then loudly; with VASK_REQUIRE_POSTGRES=1 (CI)
# they fail instead.

_pg_state: dict[str, object] = {}


def pg_cluster_or_skip():
    """The session's PostgreSQL cluster, started on first use; skips (or fails) without one."""
    reason = os.environ.get("VASK_POSTGRES_SKIP")
    if reason:
        pytest.skip(reason)  # this run leaves them to another Python version's
    if "cluster" not in _pg_state and "error" not in _pg_state:
        try:
            import psycopg  # noqa: F401
            from pgcluster import Cluster

            _pg_state["cluster"] = Cluster()
        except Exception as error:  # noqa: BLE001 - reported below
            _pg_state["error"] = f"{type(error).__name__}: {error}"
    if "error" in _pg_state:
        message = f"PostgreSQL TESTS NOT RUN: no server could be started ({_pg_state['error']})"
        if os.environ.get("VASK_REQUIRE_POSTGRES"):
            pytest.fail(message)
        import warnings

        warnings.warn(message, stacklevel=1)
        pytest.skip(message)
    return _pg_state["cluster"]


def pytest_sessionfinish(session, exitstatus):
    cluster = _pg_state.pop("cluster", None)
    if cluster is not None:
        cluster.remove()
    if "error" in _pg_state:
        reporter = session.config.pluginmanager.get_plugin("terminalreporter")
        if reporter is not None:
            reporter.write_line(
                f"WARNING: PostgreSQL tests skipped: {_pg_state['error']}", red=True, bold=True
            )


@pytest.fixture
def pg_cluster():
    return pg_cluster_or_skip()


_schemas = itertools.count()


@pytest.fixture(params=["sqlite", "postgresql"])
def database(request, tmp_path):
    """A trace database of each backend in turn: an SQLite file's path, or the URL of a
    schema of its own on the session's PostgreSQL cluster."""
    if request.param == "sqlite":
        return tmp_path / "store" / "traces.sqlite3"
    cluster = pg_cluster_or_skip()
    return cluster.url(schema=f"t{os.getpid()}_{next(_schemas)}")


# -- LeakSanitizer's own failures, in the sanitizer run ------------------------------
#
# As a process exits, LeakSanitizer's tracer fails at times ("Tracer caught signal
# 11 ... LeakSanitizer has encountered a fatal error"). It then checked nothing, but
# the process exits with the code of a report, and a test that asserts a program's
# exit status fails on it. Such a test runs once more; any other report (a leak, an
# ASan error) fails it as before, and scripts/test still lists every report.


def _sanitizer_log_prefix() -> Path | None:
    for option in os.environ.get("ASAN_OPTIONS", "").split(":"):
        if option.startswith("log_path="):
            return Path(option.removeprefix("log_path="))
    return None


_SANITIZER_LOG = _sanitizer_log_prefix()
_TRACER_FAILURE = re.compile(
    r"Tracer caught signal.*|==\d+==(LeakSanitizer has encountered a fatal error|HINT: ).*|"
)


def _sanitizer_logs() -> set[Path]:
    assert _SANITIZER_LOG is not None
    return set(_SANITIZER_LOG.parent.glob(_SANITIZER_LOG.name + ".*"))


def tracer_failure_only(text: str) -> bool:
    """Whether a sanitizer log says only that LeakSanitizer's tracer failed (as
    scripts/test's function of that name decides)."""
    return "LeakSanitizer has encountered a fatal error" in text and all(
        _TRACER_FAILURE.fullmatch(line) for line in text.splitlines()
    )


@pytest.hookimpl(tryfirst=True)
def pytest_runtest_protocol(item, nextitem):
    if _SANITIZER_LOG is None:
        return None
    from _pytest.runner import runtestprotocol

    item.ihook.pytest_runtest_logstart(nodeid=item.nodeid, location=item.location)
    for attempt in (1, 2):
        before = _sanitizer_logs()
        reports = runtestprotocol(item, nextitem=nextitem, log=False)
        written = _sanitizer_logs() - before
        if (
            attempt == 1
            and any(report.failed for report in reports)
            and written
            and all(tracer_failure_only(log.read_text(errors="replace")) for log in written)
        ):
            continue
        break
    for report in reports:
        item.ihook.pytest_runtest_logreport(report=report)
    item.ihook.pytest_runtest_logfinish(nodeid=item.nodeid, location=item.location)
    return True
