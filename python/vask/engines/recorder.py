"""What both engines' Python objects share: settings, starting and stopping, saving.

:class:`Recorder` is the base of :class:`vask.engines.profile.Profiler` (the
profile hook) and :class:`vask.engines.monitor.Monitor` (``sys.monitoring``);
each starts and stops its native engine, and everything else is here: the
configuration checked and the value dumpers set up before the engine is
built, the trace stored through the storage writer with its one failure
policy, and the process's lifecycle (fork, exec, SIGTERM, exit) through
:mod:`vask.engines.lifecycle`.
"""

from __future__ import annotations

import logging
import os
import sys
import threading
import time
from collections.abc import Mapping
from pathlib import Path
from typing import Any

from vask import config as _config
from vask._process import set_parent_process
from vask.document import read_head
from vask.engines import lifecycle
from vask.storage import backend, caps, spool, writer
from vask.storage.schema import failure_reason
from vask.storage.store import STORE_ERRORS

__all__ = [
    "DEFAULT_CONFIG",
    "DEFAULT_MEMORY_BUDGET_MB",
    "PACKAGE_DIR",
    "PACKAGE_DIR_KEY",
    "Recorder",
    "default_db_path",
    "new_trace_id",
]

_CROCKFORD = "0123456789ABCDEFGHJKMNPQRSTVWXYZ"

#: Configuration used when a key is not given. ``threading`` makes threads
#: started while tracing record too (the profile engine; the monitoring
#: engine records every thread of the process while it is active).
DEFAULT_CONFIG: dict[str, Any] = {"threading": True}

#: The directory of this package. The native filter leaves the frames of every
#: file under it out of the trace, so the package's modules may live anywhere
#: in it; the engine configuration carries it under :data:`PACKAGE_DIR_KEY`.
PACKAGE_DIR = os.path.dirname(sys.modules[__name__.partition(".")[0]].__file__ or "")
PACKAGE_DIR_KEY = "package_dir"

#: The memory budget when the configuration sets none (see :mod:`vask.config`).
DEFAULT_MEMORY_BUDGET_MB = _config.DEFAULT_MEMORY_BUDGET_MB


def new_trace_id() -> str:
    """A new trace id: ``trc_`` followed by a ULID (time-ordered, 80 random bits)."""
    ms = max(time.time_ns() // 1_000_000, 0) & ((1 << 48) - 1)
    value = (ms << 80) | int.from_bytes(os.urandom(10), "big")
    chars = []
    for _ in range(26):
        chars.append(_CROCKFORD[value & 31])
        value >>= 5
    return "trc_" + "".join(reversed(chars))


def default_db_path() -> Path:
    """The database ``VASK_DB`` names, else ``.vask/db.sqlite3`` under the current
    working directory."""
    named = _config.database_from_environment()
    return named if named is not None else Path.cwd() / ".vask" / "db.sqlite3"


class Recorder:
    """What both engines' Python objects share: settings, starting, saving and building.

    Subclasses start and stop their engine (:meth:`_start_engine`,
    :meth:`_stop_engine`); the native engine object is what :meth:`_engine`
    returns once started.

    With the configuration key ``follow`` true, the Python processes the
    program starts are traced too, each into a trace of its own linked to
    this one (see :mod:`vask.engines.lifecycle`). After ``os.fork()`` the child never
    records into the parent's engine: with ``follow`` it starts a new trace
    of its own, linked to the parent's, and without it the child is not
    traced.
    """

    #: The engine name (see :data:`ENGINES`).
    engine: str = ""

    def __init__(
        self,
        *,
        config: Mapping[str, Any] | None = None,
        db_path: str | os.PathLike[str] | None = None,
        trace_name: str | None = None,
        source: str = "api",
        one_trace_per_test: bool = False,
    ) -> None:
        merged = dict(DEFAULT_CONFIG)
        if config:
            merged.update(config)
        self.config: dict[str, Any] = merged
        # Absolute from the start: the program may change directory before the save.
        self.db_path: Path = (
            backend.locate(db_path).absolute() if db_path is not None else default_db_path()
        )
        self.trace_name: str | None = trace_name
        self.source: str = source
        self.one_trace_per_test: bool = bool(one_trace_per_test)
        #: Side files of this recorder's traces that the database did not take
        #: (they are stored from there once it takes writes again).
        self.side_files: list[Path] = []
        # Where the process's list of documents kept aside stood when the
        # side files above were last brought up to date.
        self._kept_mark = len(spool.kept_aside())
        # Documents that could be neither stored nor kept in a file; the next
        # save tries them again.
        self._unstored: list[tuple[str, bytes]] = []
        self._started = False
        # Whether records may be in the engine that no save or build took out.
        self._pending = False
        # The trace being recorded when this process last forked.
        self._trace_at_fork: str | None = None

    def _note_kept_aside(self) -> None:
        """Add what the spool kept aside for this recorder's database to :attr:`side_files`."""
        kept = spool.kept_aside(self._kept_mark)
        self._kept_mark += len(kept)
        for entry in kept:
            if entry.db_path == self.db_path and entry.path not in self.side_files:
                self.side_files.append(entry.path)

    @property
    def active(self) -> bool:
        """Whether the engine is recording."""
        return self._started

    @property
    def follows(self) -> bool:
        """Whether the Python processes the program starts are traced too (``follow``)."""
        return self.config.get("follow") is True

    @property
    def pending(self) -> bool:
        """Whether records may be waiting in the engine: started, and not saved since it stopped."""
        return self._pending

    def _configure_values(self) -> None:
        """Checks the configuration and sets up the value dumpers, before the
        native engine is built."""
        from vask import serialize
        from vask.config import check_config, monitor_only_features, resolve_limits

        # The package's directory is the host's to say, never the caller's.
        config = {key: value for key, value in self.config.items() if key != PACKAGE_DIR_KEY}
        self.config = check_config(config)
        features = monitor_only_features(self.config)
        if features and self.engine != "monitor":
            what = " and ".join(features)
            verb = "needs" if len(features) == 1 and what.startswith("assignment") else "need"
            if sys.version_info < (3, 12):
                raise ValueError(
                    f"{what} {verb} Python 3.12 or later, where the monitoring engine runs; "
                    f"this is Python {sys.version_info.major}.{sys.version_info.minor}"
                )
            raise ValueError(
                f"{what} {verb} the monitoring engine (engine 'monitor'); "
                f"the {self.engine} engine has none"
            )
        resolve_limits(self.config)
        caps.configure(self.config.get("trace_cap_mb"), self.config.get("session_budget_mb"))
        budget = self.config["memory_budget_mb"]
        if isinstance(budget, (int, float)) and not isinstance(budget, bool):
            writer.set_queue_limit(max(int(budget * (1 << 20)) // 8, 8 << 20))

        # Secrets are redacted by the value dumpers, which take no options.
        names = serialize.redaction_from_config(
            self.config.get("redact", True), self.config.get("redact_extra")
        )
        serialize.configure_redaction(names)
        serialize.configure_values(*serialize.values_from_config(self.config))
        self.config[PACKAGE_DIR_KEY] = PACKAGE_DIR

    def _native(self) -> Any:
        """The native engine object, or ``None`` before :meth:`start`."""
        raise NotImplementedError

    @property
    def native(self) -> Any:
        """The native engine (``VaskProfiler`` or ``VaskMonitor``), or ``None``
        before :meth:`start`. Its own ``save()`` raises when the store fails."""
        return self._native()

    def _engine(self) -> Any:
        native = self._native()
        if native is None:
            raise RuntimeError("the profiler has not been started, so there is no trace")
        return native

    def start(self) -> None:
        """Build the native engine and start recording."""
        if self._started:
            raise RuntimeError("this profiler is already running")
        self._start_engine()
        self._started = True
        self._pending = True
        writer.recording(self, True)
        lifecycle.started(self)

    def stop(self) -> None:
        """Stop recording; what was recorded stays in the engine until it is saved."""
        if not self._started:
            return
        self._stop_engine()
        self._started = False
        writer.recording(self, False)
        lifecycle.stopped(self)

    def _start_engine(self) -> None:
        raise NotImplementedError

    def _stop_engine(self) -> None:
        raise NotImplementedError

    def _drop_engine_in_child(self) -> None:
        """In a forked child: unhook the inherited engine without calling it, and let go of it."""
        raise NotImplementedError

    def _note_fork(self) -> None:
        """In the parent, just before a fork: the trace the child's trace is linked to."""
        try:
            self._trace_at_fork = self.trace_id
        except Exception:  # noqa: BLE001 - the child's trace is then linked by pid alone
            self._trace_at_fork = None

    def _restart_in_child(self, parent_pid: int, trace: bool = True) -> None:
        """In a forked child: a trace of the child's own, or none without ``follow``
        (nor without ``trace``: a child that only execs).

        The inherited engine holds the parent's records (the parent stores
        them) and possibly locks held by threads the child does not have; it
        is left alone for good.
        """
        lifecycle.inherited(self._native())
        self._drop_engine_in_child()
        self._started = False
        self._pending = False
        writer.recording(self, False)
        # The parent's to store, not the child's.
        self._unstored = []
        self.side_files = []
        if not self.follows or not trace:
            return
        set_parent_process(parent_pid, self._trace_at_fork)
        # The child is one trace, whatever the parent was cut into.
        self.one_trace_per_test = False
        self.trace_name = None
        self._reset_trace_id()
        self.start()
        lifecycle.save_at_exit(self)

    def _reset_trace_id(self) -> None:
        """A new trace id for the next start, where the host chooses it."""

    def save(self) -> str:
        """Store everything recorded since the last save; returns the trace id.

        A trace the database does not take (locked past the busy timeout,
        not writable, refused as unsafe) is not lost and does not raise: it
        is kept in a side file (see :func:`vask.storage.writer.save_trace`, listed in
        :attr:`side_files`) and a warning on the "vask" logger says where;
        it is stored from there once the database takes writes again, or by
        ``vask traces import``.  Should no file take it either, it stays in
        memory and the next save tries again.  Subtrees flushed while the
        program ran are stored before the trace that points at them.
        """
        engine = self._engine()
        self._store_unstored()
        try:
            with writer.saving():  # this store waits, and raises what it raised
                engine.save()
        except STORE_ERRORS as error:
            # The failed save put the records back in the engine.
            self._keep_aside(engine.build_trace(), error)
        self._note_kept_aside()
        self._pending = self._started
        return self.trace_id

    @property
    def trace_id(self) -> str:
        raise NotImplementedError

    def build_trace(self) -> bytes:
        """The trace document of everything recorded since the last build or save."""
        document = self._engine().build_trace()
        self._pending = self._started
        return document

    def upload_trace_in_thread(self) -> threading.Thread:
        """Build the document now and store it from a background thread.

        The returned thread is started; ``join()`` it to wait for the store.
        An error of the store is kept as the thread's ``error`` attribute; a
        trace the database does not take is kept aside as by :meth:`save`.
        """
        trace_id = self.trace_id
        document = self.build_trace()
        timeout = self._timeout()

        def store() -> None:
            try:
                writer.save_trace(
                    trace_id,
                    timeout=timeout,
                    msgpack_data=document,
                    db_path=self.db_path,
                    keep_aside=False,
                )
            except STORE_ERRORS as exc:  # kept for the caller to inspect, and kept aside
                worker.error = exc  # type: ignore[attr-defined]
                self._keep_aside(document, exc)
            except BaseException as exc:
                worker.error = exc  # type: ignore[attr-defined]
                raise

        worker = threading.Thread(target=store, name="vask-upload", daemon=False)
        worker.error = None  # type: ignore[attr-defined]
        worker.start()
        return worker

    def _timeout(self) -> int:
        return int(self.config.get("sqlite_busy_timeout", 60))

    def _store(self, data: bytes) -> None:
        """Store one built document; a failure keeps it aside (see :meth:`save`)."""
        trace_id = _document_trace_id(data, self.trace_id)
        try:
            writer.save_trace(
                trace_id,
                timeout=self._timeout(),
                msgpack_data=data,
                db_path=self.db_path,
                keep_aside=False,
            )
        except STORE_ERRORS as error:
            self._keep_aside(data, error)

    def _store_unstored(self) -> None:
        unstored, self._unstored = self._unstored, []
        for _, data in unstored:
            self._store(data)

    def _keep_aside(self, data: bytes, error: BaseException) -> None:
        trace_id = _document_trace_id(data, self.trace_id)
        reason = failure_reason(error, self.db_path)
        try:
            side = spool.keep_aside(trace_id, data, self.db_path, reason, error)
        except STORE_ERRORS:
            self._unstored.append((trace_id, data))
            _logger.error(
                "trace %s stays in memory until profiler.save() is called again", trace_id
            )
            return
        self._note_kept_aside()
        if side not in self.side_files:
            self.side_files.append(side)


_logger = logging.getLogger("vask")


def _document_trace_id(data: bytes, default: str) -> str:
    """The trace id a built document carries (per-test traces have their own)."""
    try:
        trace_id = read_head(data).get("trace_id")
    except ValueError:
        return default
    return trace_id if isinstance(trace_id, str) else default
