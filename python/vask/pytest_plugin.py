"""pytest plugin: ``pytest --vask`` stores one trace per test.

Registered through the ``pytest11`` entry point, so it is loaded by every
pytest run of an environment where vask is installed, and does nothing unless
``--vask`` is given.  With ``--vask``, a profiler with ``one_trace_per_test``
runs from the first test to the end of the session; the built-in test plugin
of :mod:`vask.plugins` cuts the recording into one trace per test item, from
the start of its setup to the end of its teardown.  Each trace is named after
the test's node id (``tests/test_orders.py::TestOrders::test_total[2-3]``),
starts when the test does, and is stored with the test's outcome ("passed",
"failed", "error", "skipped", "xfailed", "xpassed"): ``vask traces list
--outcome failed`` lists the traces of the tests that failed.

Options:

``--vask``                trace each test
``--vask-db PATH``        the trace database, a path or a ``postgresql://`` URL
                          (default: ``$VASK_DB``, else ``db`` of ``[tool.vask]``,
                          else ``.vask/db.sqlite3`` under the rootdir); a relative
                          path is taken from the invocation directory
``--vask-engine E``       ``monitor`` (sys.monitoring, the default on Python 3.12+)
                          or ``profile`` (the profile hook, the default before
                          3.12); default: ``engine`` of ``[tool.vask]``
``--vask-no-follow``      do not trace the Python processes the tests start (by
                          default each is traced into a trace of its own, linked to
                          the trace of the test that started it; see vask.engines.follow)
``--vask-include FRAG``   record frames whose file path contains FRAG (installed
                          packages too); repeatable
``--vask-ignore FRAG``    leave out frames whose file path contains FRAG; repeatable
``--vask-lightweight``    store short reprs instead of full values (faster, smaller)
``--vask-values MODE``    how objects are recorded: safe (default), fields or repr
``--vask-budget-mb MB``   the memory the buffered records may take before the
                          largest finished calls are stored apart (default 256)
``--vask-max-trace-mb MB`` record no more calls of a test past this size; a
                          "calls_dropped" record counts those left out
``--vask-keep MODE``      ``all`` (the default) keeps every test's trace;
                          ``failed`` only those of tests that failed or errored
                          (the others are not stored, and their flushed subtrees
                          are deleted at each test's end); ``failed+baseline`` also keeps
                          each test's newest passing trace, to compare a later
                          failure with: ``vask traces diff --test NODEID``
``--vask-trace-cap-mb MB`` store at most this much (compressed) of one test's trace;
                          past it a "trace_not_stored" record stands for the rest
                          (default 64; 'off' for no cap)
``--vask-session-budget-mb MB`` past this much stored in the session, the traces of
                          passing tests are no longer stored; failing tests' always
                          are (default 2048; 'off' for no budget)
``--vask-fold-after N``   calls of one function recorded in full under one call
                          before the rest are folded (default 20)
``--vask-fold-trace-after N`` calls of one function recorded in full in one test's
                          trace before every later one is folded (default 200)
``--vask-fold-keep-last`` keep the last folded call of each function in full
``--vask-complete``       record every call, folding none

Options override the ``[tool.vask]`` table of the pyproject.toml nearest to
the rootdir; every key of it (see :mod:`vask.config`) means what it means
to ``vask run``: both turn settings into the engine configuration with
:meth:`vask.config.Settings.to_engine_config`.

Calls outside any test (collection, session hooks of conftest files) are not
stored.  Each test's trace is stored in the background while the next test
runs; a trace the database does not take is kept in a side file, and stored
from there once the database takes writes again.  Storing never fails a test.
The terminal summary tells how many traces were stored and where, and how
many were kept aside and where.  ``-p no:vask`` unloads the plugin entirely.
"""

from __future__ import annotations

import logging
import shlex
import sqlite3
import sys
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import pytest

__all__ = ["KEEP_MODES", "VaskSession"]

#: What ``--vask-keep`` may say.
KEEP_MODES = ("all", "failed", "failed+baseline")

_PLUGIN_NAME = "vask-session"


def pytest_addoption(parser: pytest.Parser) -> None:
    group = parser.getgroup("vask", "vask call tracing")
    group.addoption(
        "--vask",
        action="store_true",
        default=False,
        help="record a vask trace of each test (setup, call and teardown).",
    )
    group.addoption(
        "--vask-db",
        metavar="PATH",
        default=None,
        help="trace database for --vask (default: .vask/db.sqlite3 under the rootdir).",
    )
    group.addoption(
        "--vask-engine",
        metavar="ENGINE",
        choices=("auto", "monitor", "profile"),
        default=None,
        help="tracing engine for --vask: monitor (sys.monitoring, Python 3.12+) or profile; "
        "default: the fastest this Python has.",
    )
    group.addoption(
        "--vask-no-follow",
        action="store_true",
        default=False,
        help="with --vask, do not trace the Python processes the tests start.",
    )
    for option, what in (
        (
            "--vask-include",
            "record frames whose file path contains FRAGMENT, installed packages too",
        ),
        ("--vask-ignore", "leave out frames whose file path contains FRAGMENT"),
    ):
        group.addoption(
            option, metavar="FRAGMENT", action="append", default=None,
            help=f"for --vask: {what} (repeatable).",
        )  # fmt: skip
    group.addoption(
        "--vask-lightweight",
        action="store_true",
        default=None,
        help="for --vask: store short reprs instead of full values (faster, smaller traces).",
    )
    group.addoption(
        "--vask-values",
        choices=("safe", "fields", "repr"),
        default=None,
        help="for --vask: how objects are recorded: safe (default: by their fields, reprs "
        "only where known to be pure), fields (never a repr) or repr (every repr called).",
    )
    group.addoption(
        "--vask-budget-mb",
        metavar="MB",
        type=_megabytes("memory_budget_mb"),
        default=None,
        help="for --vask: memory the buffered records may take before the largest finished "
        "calls are stored apart (default: 256; 'off' for no budget).",
    )
    group.addoption(
        "--vask-keep",
        metavar="MODE",
        choices=KEEP_MODES,
        default="all",
        help="for --vask: which traces to keep: all (default), failed (tests that failed or "
        "errored), failed+baseline (and each test's newest passing trace, for "
        "vask traces diff --test).",
    )
    group.addoption(
        "--vask-max-trace-mb",
        metavar="MB",
        type=_megabytes("max_trace_mb"),
        default=None,
        help="for --vask: record no more calls of a test once its trace holds this many MiB "
        "(a 'calls_dropped' record counts those left out; default: no limit).",
    )
    group.addoption(
        "--vask-trace-cap-mb",
        metavar="MB",
        type=_megabytes("trace_cap_mb"),
        default=None,
        help="for --vask: store at most this many MiB (compressed) of one test's trace; a "
        "'trace_not_stored' record stands for the rest (default: 64; 'off' for no cap).",
    )
    group.addoption(
        "--vask-session-budget-mb",
        metavar="MB",
        type=_megabytes("session_budget_mb"),
        default=None,
        help="for --vask: once the session stored this many MiB, store the traces of failing "
        "tests only (default: 2048; 'off' for no budget).",
    )
    group.addoption(
        "--vask-fold-after",
        metavar="N",
        type=_fold_after,
        default=None,
        help="for --vask: calls of one function recorded in full under one call before the "
        "rest are folded into one record (default: 20; 'off' folds none).",
    )
    group.addoption(
        "--vask-fold-trace-after",
        metavar="N",
        type=_fold_trace_after,
        default=None,
        help="for --vask: calls of one function recorded in full in one test's trace (per "
        "thread) before every later one is folded under its caller (default: 200; 'off' for "
        "no limit).",
    )
    group.addoption(
        "--vask-fold-keep-last",
        action="store_true",
        default=None,
        help="for --vask: keep the last folded call of each function in full (every folded "
        "call is then dumped, which costs time).",
    )
    group.addoption(
        "--vask-complete",
        action="store_true",
        default=None,
        help="for --vask: record every call, folding none.",
    )


def _fold_after(text: str) -> int | bool:
    from vask.config import parse_fold_after

    try:
        return parse_fold_after(text)
    except ValueError as error:
        raise pytest.UsageError(f"vask: {error}") from None


def _fold_trace_after(text: str) -> int | bool:
    from vask.config import parse_fold_trace_after

    try:
        return parse_fold_trace_after(text)
    except ValueError as error:
        raise pytest.UsageError(f"vask: {error}") from None


def _megabytes(key: str) -> Any:
    def parse(text: str) -> float | bool:
        from vask.config import parse_flush_subtree_mb

        try:
            return parse_flush_subtree_mb(text, key)
        except ValueError as error:
            raise pytest.UsageError(f"vask: {error}") from None

    parse.__name__ = key  # what argparse names in its message
    return parse


def pytest_configure(config: pytest.Config) -> None:
    if not config.getoption("vask"):
        return
    rootpath = Path(config.rootpath)
    settings = _file_settings(rootpath)
    option = config.getoption("vask_db")
    from vask.config import database_from_environment
    from vask.storage import backend

    try:
        from_environment = database_from_environment()
    except ValueError as error:
        raise pytest.UsageError(f"vask: {error}") from None
    if option and backend.is_url(option):
        try:
            db_path = backend.locate(option)
        except ValueError as error:
            raise pytest.UsageError(f"vask: --vask-db: {error}") from None
        warning = backend.password_warning(db_path, "--vask-db")
        if warning is not None:
            config.issue_config_time_warning(pytest.PytestConfigWarning(f"vask: {warning}"), 2)
    elif option:
        db_path = Path(config.invocation_params.dir) / Path(option).expanduser()
    elif from_environment is not None:
        db_path = from_environment
    elif settings is not None and settings.db is not None:
        db_path = settings.db
    else:
        db_path = rootpath / ".vask" / "db.sqlite3"
    try:
        first_row = _last_row_id(db_path)
    except (OSError, sqlite3.Error) as error:
        raise pytest.UsageError(f"vask: cannot use the trace database: {error}") from error
    engine = config.getoption("vask_engine") or (settings.engine if settings is not None else None)
    from vask.profiler import resolve_engine

    try:
        engine = resolve_engine(engine)
    except ValueError as error:
        raise pytest.UsageError(f"vask: {error}") from error
    tracing_config = _tracing_config(config, settings)
    session = VaskSession(config, db_path, tracing_config, first_row, engine)
    config.pluginmanager.register(session, _PLUGIN_NAME)


def _file_settings(rootpath: Path) -> Any:
    """``[tool.vask]`` of the pyproject.toml nearest to the rootdir, or ``None``."""
    try:
        from vask import config as file_config
    except ImportError:  # a vask without the command line
        return None
    pyproject = file_config.find_pyproject(rootpath)
    if pyproject is None:
        return None
    try:
        return file_config.load_settings(pyproject)
    except file_config.ConfigError as error:
        raise pytest.UsageError(f"vask: {error}") from error


def _tracing_config(config: pytest.Config, settings: Any) -> dict[str, Any]:
    """The engine configuration: the command-line options over ``[tool.vask]``."""
    from vask import config as file_config

    if settings is None:
        settings = file_config.FileSettings()
    options = settings.overlaid(
        include=config.getoption("vask_include"),
        ignore=config.getoption("vask_ignore"),
        lightweight_repr=config.getoption("vask_lightweight"),
        values=config.getoption("vask_values"),
        memory_budget_mb=config.getoption("vask_budget_mb"),
        max_trace_mb=config.getoption("vask_max_trace_mb"),
        trace_cap_mb=config.getoption("vask_trace_cap_mb"),
        session_budget_mb=config.getoption("vask_session_budget_mb"),
        follow=False if config.getoption("vask_no_follow") else None,
        fold_after=config.getoption("vask_fold_after"),
        fold_trace_after=config.getoption("vask_fold_trace_after"),
        fold_keep_last=config.getoption("vask_fold_keep_last"),
        complete=config.getoption("vask_complete"),
    ).defaulted(session_budget_mb=file_config.DEFAULT_SESSION_BUDGET_MB)
    return options.to_engine_config()


def _last_row_id(db_path: Path) -> int:
    """The id of the newest stored document, 0 for a missing or empty database."""
    if not db_path.exists():
        return 0
    from vask import db

    try:
        conn = db.connect_readonly(db_path)
    except FileNotFoundError:
        return 0  # a server's database vask has not stored in yet
    try:
        (row_id,) = conn.execute("SELECT COALESCE(MAX(id), 0) FROM traces").fetchone()
    finally:
        conn.close()
    return int(row_id)


def _traces_since(db_path: Path, row_id: int) -> tuple[int, int, int]:
    """Traces stored after the row ``row_id``: the tests', those of the processes the
    tests started, and the subtrees flushed apart from any of them.

    A subtree flushed from a trace stored before that row counts with the traces.
    """
    if not db_path.exists():
        return 0, 0, 0
    from vask import db

    from vask.storage.schema import columns as stored_columns

    try:
        conn = db.connect_readonly(db_path)
    except FileNotFoundError:
        return 0, 0, 0
    try:
        columns = stored_columns(conn)
        child = "parent_trace_id IS NOT NULL" if "parent_trace_id" in columns else "1 = 0"
        tests, children, subtrees = conn.execute(
            f"SELECT COUNT(DISTINCT CASE WHEN NOT ({child}) THEN COALESCE(root_trace_id, trace_id)"
            f" END), COUNT(DISTINCT CASE WHEN {child} THEN COALESCE(root_trace_id, trace_id) END),"
            " COUNT(DISTINCT CASE WHEN root_trace_id <> trace_id THEN trace_id END)"
            " FROM traces WHERE id > ?",
            (row_id,),
        ).fetchone()
    finally:
        conn.close()
    return int(tests), int(children), int(subtrees)


class _FailedStores(logging.Handler):
    """Counts the stores of test traces that failed even to be kept aside, as the engine
    reports them (the tracer tries them again at the next test's end)."""

    def __init__(self) -> None:
        super().__init__(logging.WARNING)
        self.count = 0
        self.reason: str | None = None

    def emit(self, record: logging.LogRecord) -> None:
        error = record.exc_info[1] if record.exc_info else None
        if isinstance(error, (sqlite3.Error, OSError)):
            self.count += 1
            self.reason = self.reason or str(error)


class VaskSession:
    """The per-session part of the plugin, registered when ``--vask`` is given."""

    def __init__(
        self,
        config: pytest.Config,
        db_path: Path,
        tracing_config: dict[str, Any],
        first_row: int,
        engine: str = "profile",
    ) -> None:
        self.config = config
        self.db_path = db_path
        self.tracing_config = tracing_config
        self.engine = engine
        self.profiler: Any = None
        #: Documents stored after this row id are this session's.
        self.first_row = first_row
        self.stored: int | None = None
        self.subtrees = 0
        #: The documents of the session kept in side files, as vask.db lists them.
        self.kept: list[Any] = []
        self._kept_mark = 0
        #: Of the traces stored, those of the processes the tests started.
        self.stored_children = 0
        self.problem: str | None = None
        self.failed_stores = _FailedStores()
        self.keep = str(config.getoption("vask_keep", "all") or "all")
        #: The traces the keep mode deleted (root traces), and the failing
        #: tests with a passing trace to compare with: node id -> its trace id.
        self.discarded = 0
        self.baselines: dict[str, str] = {}
        #: What the trace cap and the session budget left out (vask.storage.caps).
        self.left_out: list[Any] = []

    @pytest.hookimpl(tryfirst=True)
    def pytest_runtestloop(self, session: pytest.Session) -> None:
        # Started after collection: what collection imports belongs to no test.
        if self.profiler is not None or session.config.option.collectonly:
            return
        import vask
        from vask import monitoring
        from vask.profiler import create

        if (
            vask.current_profiler() is not None
            or sys.getprofile() is not None
            or monitoring.active_monitor() is not None
        ):
            # `vask run -m pytest` (or another profiler) is already recording;
            # replacing its hook would silently end its trace.
            self.problem = (
                "another profiler is active, so --vask traced nothing; "
                "under `vask run`, the tests are traced by it"
            )
            return
        from vask.storage import caps

        caps.reset()
        if self.keep != "all":
            from vask.storage import keep

            # a passing test's trace is not stored: its subtrees go at its end
            keep.configure(self.db_path, self.keep)
        profiler = create(
            self.engine,
            config=self.tracing_config,
            db_path=self.db_path,
            source="pytest",
            one_trace_per_test=True,
        )
        try:
            profiler.start()
        except Exception as error:  # noqa: BLE001 - the tests run untraced; the summary says why
            self.problem = f"cannot start tracing, so --vask traced nothing: {error}"
            return
        from vask import db

        self._kept_mark = len(db.kept_aside())
        self.profiler = profiler
        from vask.storage import writer

        writer.hold_spare_time(True)
        logging.getLogger("vask").addHandler(self.failed_stores)

    @pytest.hookimpl(tryfirst=True)
    def pytest_runtest_setup(self, item: pytest.Item) -> None:
        if self.profiler is None:
            return
        # Each test has a trace of its own from here on: the processes it
        # starts are linked to that one.
        if self.profiler.follows:
            from vask.engines import lifecycle

            lifecycle.publish()
        if "hypothesis" in sys.modules:
            from vask.engines import monitor

            monitor.make_room_for_hypothesis()

    @pytest.hookimpl(hookwrapper=True)
    def pytest_runtest_call(self, item: pytest.Item) -> Iterator[None]:
        if self.profiler is None:
            yield
            return
        # The test's body runs with the writer at rest, its objects out of the
        # process's counts: leak tests count them (gc.get_objects(),
        # tracemalloc), and the previous test's trace is stored meanwhile.
        from vask.storage import writer

        with writer.quiet():
            yield

    @pytest.hookimpl(trylast=True)
    def pytest_sessionfinish(self, session: pytest.Session) -> None:
        profiler, self.profiler = self.profiler, None
        if profiler is None:
            return
        # Each test's trace was handed to the background writer at its end;
        # what is left ran outside every test and is dropped with the engine.
        profiler.stop()
        from vask import db
        from vask.storage import writer

        writer.drain()
        writer.hold_spare_time(False)
        from vask.storage import caps, keep

        dropped = keep.dropped()
        keep.configure(None, "all")

        self.left_out = caps.left_out()
        logging.getLogger("vask").removeHandler(self.failed_stores)
        self.kept = [k for k in db.kept_aside(self._kept_mark) if db.still_kept_aside(k)]
        if self.keep != "all":
            try:
                self._keep_failed(dropped)
            except (OSError, sqlite3.Error) as error:
                self.problem = f"cannot delete the traces of passing tests: {error}"
        try:
            self.stored, self.stored_children, self.subtrees = _traces_since(
                self.db_path, self.first_row
            )
        except (OSError, sqlite3.Error) as error:
            self.problem = f"cannot read {self.db_path}: {error}"

    def _keep_failed(self, dropped: set[str]) -> None:
        """Delete what ``--vask-keep`` does not keep of the traces this session stored
        (``dropped``: the tests' traces not stored at their end)."""
        from vask import db
        from vask.storage import maintain

        self.discarded = len(dropped)
        if not self.db_path.exists():
            return
        conn = db.connect_readonly(self.db_path)
        try:
            ours = [
                str(row[0])
                for row in conn.execute(
                    "SELECT DISTINCT trace_id FROM traces WHERE id > ?", (self.first_row,)
                )
            ]
        finally:
            conn.close()
        before = len(ours)
        _, self.baselines = maintain.keep_failed_tests(
            self.db_path, ours, baseline=self.keep == "failed+baseline"
        )
        conn = db.connect_readonly(self.db_path)
        try:
            (after,) = conn.execute(
                "SELECT COUNT(DISTINCT trace_id) FROM traces WHERE id > ?", (self.first_row,)
            ).fetchone()
        finally:
            conn.close()
        self.discarded += before - int(after)

    def pytest_terminal_summary(self, terminalreporter: Any) -> None:
        if self.problem is not None:
            terminalreporter.write_sep("-", "vask")
            terminalreporter.write_line(f"vask: {self.problem}")
            return
        if self.stored is None:
            return
        terminalreporter.write_sep("-", "vask")
        noun = "trace" if self.stored == 1 else "traces"
        flushed = ""
        if self.subtrees:
            flushed = f" (and {self.subtrees} subtree{'s' if self.subtrees != 1 else ''} "
            flushed += "of large ones, stored apart)"
        children = ""
        if self.stored_children:
            n = self.stored_children
            children = f" (and {n} of processes the tests started)"
        see = (
            f"; see them with: vask traces list --db {shlex.quote(str(self.db_path))}"
            if self.stored or self.stored_children or self.subtrees
            else ""
        )
        terminalreporter.write_line(
            f"vask: stored {self.stored} {noun}{children}{flushed} in {self.db_path}{see}"
        )
        from vask.storage import caps

        line = caps.summary(
            self.left_out, "test trace", "--vask-trace-cap-mb", "--vask-session-budget-mb"
        )
        if line is not None:
            terminalreporter.write_line(f"vask: {line}", yellow=True)
        if self.kept:
            places = sorted({str(k.path.parent) for k in self.kept})
            count = len(self.kept)
            reason = self.kept[0].reason
            them = "them" if count != 1 else "it"
            from vask._paths import REFUSAL

            if reason.startswith(REFUSAL):
                # the database named is one vask never writes: another one, then
                where = "in a database of your own with: vask traces import --db DB"
            else:
                where = f"with: vask traces import --db {shlex.quote(str(self.db_path))}"
            terminalreporter.write_line(
                f"vask: {count} trace{'s' if count != 1 else ''} the database did not take "
                f"({reason}) {'are' if count != 1 else 'is'} kept in "
                f"{', '.join(places)}; store {them} {where} {places[0]}/*.msgpack*",
                red=True,
            )
        if self.keep != "all":
            terminalreporter.write_line(
                f"vask: --vask-keep {self.keep}: deleted {self.discarded} "
                f"trace{'s' if self.discarded != 1 else ''} of tests that did not fail"
            )
        db_option = f" --db {shlex.quote(str(self.db_path))}"
        for nodeid in sorted(self.baselines):
            terminalreporter.write_line(
                f"vask: compare with its last passing run: vask traces diff --test "
                f"{shlex.quote(nodeid)}{db_option}"
            )
        failed = self.failed_stores.count
        if failed:
            terminalreporter.write_line(
                f"vask: {failed} attempt{'s' if failed != 1 else ''} to store a test's trace "
                f"failed ({self.failed_stores.reason}), also in a side file; a trace not "
                "stored by a later test's end was lost",
                red=True,
            )
