"""The Python-side objects that drive the native engines.

Two engines record a program's calls:

``profile``
    :class:`Profiler`: the profile hook (``sys.setprofile``), per thread. Runs
    on every supported Python.
``monitor``
    :class:`vask.monitoring.Monitor`: ``sys.monitoring`` (Python 3.12 and
    later), process-wide. Code vask does not record (libraries, the standard
    library) is switched off location by location after its first event, so
    it costs almost nothing. The default where it is available.

:func:`create` builds the one an ``engine`` name asks for.
"""

from __future__ import annotations

import contextlib
import logging
import os
import sqlite3
import sys
import threading
import time
from collections.abc import Mapping
from pathlib import Path
from typing import Any

__all__ = [
    "DEFAULT_CONFIG",
    "DEFAULT_MEMORY_BUDGET_MB",
    "ENGINES",
    "Profiler",
    "Recorder",
    "create",
    "default_db_path",
    "default_engine",
    "new_trace_id",
    "process_facts",
    "resolve_engine",
    "set_parent_process",
]

_CROCKFORD = "0123456789ABCDEFGHJKMNPQRSTVWXYZ"

#: Configuration used when a key is not given. ``threading`` makes threads
#: started while tracing record too (the profile engine; the monitoring
#: engine records every thread of the process while it is active).
DEFAULT_CONFIG: dict[str, Any] = {"threading": True}

#: The memory budget of the process's buffered records when the configuration
#: sets none (``memory_budget_mb``): once they take this much, the largest
#: finished calls of any thread are stored as traces of their own. Unless
#: ``flush_subtree_mb`` is set, a thread alone flushes at half of it, and the
#: documents waiting for the background writer take an eighth of it at most.
DEFAULT_MEMORY_BUDGET_MB = 256

#: The engine names :func:`create` understands.
ENGINES = ("monitor", "profile")


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
    """``.vask/db.sqlite3`` under the current working directory."""
    return Path.cwd() / ".vask" / "db.sqlite3"


def default_engine() -> str:
    """``"monitor"`` where ``sys.monitoring`` exists (Python 3.12+), else ``"profile"``."""
    return "monitor" if sys.version_info >= (3, 12) else "profile"


def resolve_engine(engine: str | None) -> str:
    """The engine to use for ``engine`` (``None`` or ``"auto"``: :func:`default_engine`).

    Raises ``ValueError`` for an unknown name, and for ``"monitor"`` on a
    Python without ``sys.monitoring``.
    """
    if engine is None or engine == "auto":
        return default_engine()
    if engine not in ENGINES:
        raise ValueError(f"unknown engine {engine!r}; choose one of: auto, {', '.join(ENGINES)}")
    if engine == "monitor" and sys.version_info < (3, 12):
        raise ValueError(
            "engine 'monitor' needs sys.monitoring, which Python 3.12 and later have; "
            f"this is Python {sys.version_info.major}.{sys.version_info.minor}: "
            "use engine 'profile'"
        )
    return engine


# -- the process a trace is recorded in -------------------------------------
#
# Every trace document says which process recorded it ("meta" "process": the
# pid, and the traced process that started this one, when one did). The
# engines ask process_facts() when they build a document.

# (pid, trace id) of the traced process that started this one, and a name
# for this process, when vask follows it (see vask.pth_init).
_parent: tuple[int, str | None] | None = None
_process_name: str | None = None


def set_parent_process(pid: int, trace_id: str | None, name: str | None = None) -> None:
    """Link the traces of this process to the trace ``trace_id`` of process ``pid``."""
    global _parent, _process_name
    _parent = (pid, trace_id)
    _process_name = name


def process_facts() -> dict[str, Any]:
    """The "process" facts of the trace documents this process builds, besides its pid.

    ``parent_pid`` and ``parent_trace_id``: the traced process that started
    this one and the trace it was recording then (``None`` for a process
    vask did not follow); ``name``: a multiprocessing child's process name
    (``ForkPoolWorker-1``), else the command a followed process runs.
    """
    name = _process_name
    mp = sys.modules.get("multiprocessing")
    # A name is a nicety: a multiprocessing that cannot say never fails a build.
    with contextlib.suppress(Exception):
        if mp is not None and mp.parent_process() is not None:
            name = mp.current_process().name
    parent_pid, parent_trace_id = _parent if _parent is not None else (None, None)
    return {"parent_pid": parent_pid, "parent_trace_id": parent_trace_id, "name": name}


# The recorders started in this process and not stopped: a fork gives each a
# new engine in the child.
_running: set[Recorder] = set()
# Native engines a forked child inherited. They are never called again (a
# thread the child does not have may have held one of their locks) and never
# freed: their destructors would write to every page of the parent's
# buffered records, copying them into the child for nothing.
_inherited: list[Any] = []


class Recorder:
    """What both engines' Python objects share: settings, starting, saving and building.

    Subclasses start and stop their engine (:meth:`_start_engine`,
    :meth:`_stop_engine`); the native engine object is what :meth:`_engine`
    returns once started.

    With the configuration key ``follow`` true, the Python processes the
    program starts are traced too, each into a trace of its own linked to
    this one (see :mod:`vask.pth_init`). After ``os.fork()`` the child never
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
        self.db_path: Path = Path(db_path).absolute() if db_path is not None else default_db_path()
        self.trace_name: str | None = trace_name
        self.source: str = source
        self.one_trace_per_test: bool = bool(one_trace_per_test)
        #: Side files of this recorder's traces that the database did not take
        #: (they are stored from there once it takes writes again).
        self.side_files: list[Path] = []
        from vask import db

        # Where the process's list of documents kept aside stood when the
        # side files above were last brought up to date.
        self._kept_mark = len(db.kept_aside())
        # Documents that could be neither stored nor kept in a file; the next
        # save tries them again.
        self._unstored: list[tuple[str, bytes]] = []
        self._started = False
        # Whether records may be in the engine that no save or build took out.
        self._pending = False
        # The trace being recorded when this process last forked.
        self._trace_at_fork: str | None = None

    def _note_kept_aside(self) -> None:
        """Add what vask.db kept aside for this recorder's database to :attr:`side_files`."""
        from vask import db

        kept = db.kept_aside(self._kept_mark)
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
        from vask import serialize, writer
        from vask.config import check_config, monitor_only_features

        self.config = check_config(self.config)
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
        budget = self.config.setdefault("memory_budget_mb", DEFAULT_MEMORY_BUDGET_MB)
        if isinstance(budget, (int, float)) and not isinstance(budget, bool):
            self.config.setdefault("flush_subtree_mb", budget / 2)
            writer.set_queue_limit(max(int(budget * (1 << 20)) // 8, 8 << 20))

        # Secrets are redacted by the value dumpers, which take no options.
        names = serialize.redaction_from_config(
            self.config.get("redact", True), self.config.get("redact_extra")
        )
        serialize.configure_redaction(names)
        serialize.configure_values(*serialize.values_from_config(self.config))

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
        _running.add(self)
        if self.follows:
            from vask import pth_init

            pth_init.begin_following(self)

    def stop(self) -> None:
        """Stop recording; what was recorded stays in the engine until it is saved."""
        if not self._started:
            return
        self._stop_engine()
        self._started = False
        _running.discard(self)
        if self.follows:
            from vask import pth_init

            pth_init.end_following(self)

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

    def _restart_in_child(self, parent_pid: int) -> None:
        """In a forked child: a trace of the child's own, or none without ``follow``.

        The inherited engine holds the parent's records (the parent stores
        them) and possibly locks held by threads the child does not have; it
        is left alone for good.
        """
        _inherited.append(self._native())
        self._drop_engine_in_child()
        self._started = False
        self._pending = False
        _running.discard(self)
        # The parent's to store, not the child's.
        self._unstored = []
        self.side_files = []
        if not self.follows:
            return
        set_parent_process(parent_pid, self._trace_at_fork)
        # The child is one trace, whatever the parent was cut into.
        self.one_trace_per_test = False
        self.trace_name = None
        self._reset_trace_id()
        self.start()
        from vask import pth_init

        pth_init.save_at_exit(self)

    def _reset_trace_id(self) -> None:
        """A new trace id for the next start, where the host chooses it."""

    def save(self) -> str:
        """Store everything recorded since the last save; returns the trace id.

        A trace the database does not take (locked past the busy timeout,
        not writable, refused as unsafe) is not lost and does not raise: it
        is kept in a side file (see :func:`vask.db.save_trace`, listed in
        :attr:`side_files`) and a warning on the "vask" logger says where;
        it is stored from there once the database takes writes again, or by
        ``vask traces import``.  Should no file take it either, it stays in
        memory and the next save tries again.  Subtrees flushed while the
        program ran are stored before the trace that points at them.
        """
        engine = self._engine()
        self._store_unstored()
        try:
            engine.save()
        except _STORE_ERRORS as error:
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
            from vask import db

            try:
                db.save_trace(
                    trace_id,
                    timeout=timeout,
                    msgpack_data=document,
                    db_path=self.db_path,
                    keep_aside=False,
                )
            except _STORE_ERRORS as exc:  # kept for the caller to inspect, and kept aside
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
        from vask import db

        trace_id = _document_trace_id(data, self.trace_id)
        try:
            db.save_trace(
                trace_id,
                timeout=self._timeout(),
                msgpack_data=data,
                db_path=self.db_path,
                keep_aside=False,
            )
        except _STORE_ERRORS as error:
            self._keep_aside(data, error)

    def _store_unstored(self) -> None:
        unstored, self._unstored = self._unstored, []
        for _, data in unstored:
            self._store(data)

    def _keep_aside(self, data: bytes, error: BaseException) -> None:
        from vask import db

        trace_id = _document_trace_id(data, self.trace_id)
        reason = db.failure_reason(error, self.db_path)
        try:
            side = db.keep_aside(trace_id, data, self.db_path, reason, error)
        except _STORE_ERRORS:
            self._unstored.append((trace_id, data))
            _logger.error(
                "trace %s stays in memory until profiler.save() is called again", trace_id
            )
            return
        self._note_kept_aside()
        if side not in self.side_files:
            self.side_files.append(side)


class Profiler(Recorder):
    """Records the calls of the running program into a trace, with the profile hook.

    The native engine is built from this object by ``vask._vask.register_profiler``
    and kept as :attr:`rust_profiler`. :meth:`start` installs it as the profile
    hook of the calling thread (and of threads started afterwards when the
    ``threading`` configuration key is true); :meth:`stop` removes it again;
    :meth:`save` stores what was recorded into the SQLite database at
    :attr:`db_path`.
    """

    engine = "profile"
    #: The native engine, set by ``register_profiler``.
    rust_profiler: Any = None
    _threading_hook: Any = None

    def __init__(self, **settings: Any) -> None:
        """``settings`` are those of :class:`Recorder`."""
        super().__init__(**settings)
        self._trace_id: str = new_trace_id()

    @property
    def trace_id(self) -> str:
        """The id of the trace being recorded (a new one for each test's trace).

        Before :meth:`start` it is the id the engine will start with; setting
        it then chooses that id.
        """
        if self.rust_profiler is not None:
            return self.rust_profiler.trace_id
        return self._trace_id

    @trace_id.setter
    def trace_id(self, value: str) -> None:
        self._trace_id = value

    def _reset_trace_id(self) -> None:
        self._trace_id = new_trace_id()

    def __call__(self, frame: Any, event: str, arg: Any) -> None:
        """Profile-function signature; the native engine does the recording."""
        return

    def _native(self) -> Any:
        return self.rust_profiler

    def start(self) -> None:
        """Build the native engine and install it on this thread (and new threads)."""
        super().start()

    def stop(self) -> None:
        """Stop recording on every thread the engine runs on, and on threads started later.

        Any thread may call it. Hooks the program installed itself are left
        alone; the program is told once, on the "vask" logger, about threads
        where such a hook had stopped the recording early.
        """
        super().stop()

    def _start_engine(self) -> None:
        from vask import _vask

        self._configure_values()
        _vask.register_profiler(self)
        # Only the hook this engine installed for new threads is ours to remove.
        if self.config.get("threading") is True:
            self._threading_hook = self.rust_profiler.register_threading_profiler

    def _stop_engine(self) -> None:
        # The engine leaves this thread's hook now and the others' at once or
        # at their next event, whichever thread started it. Hooks the program
        # installed itself are left alone; the program is told once, on the
        # "vask" logger, about threads where such a hook had stopped the
        # recording early.
        replaced = self.rust_profiler.stop()
        threading_replaced = False
        if self._threading_hook is not None:
            # threading.getprofile() exists from 3.10 on, like this package.
            hook = threading.getprofile()
            if hook == self._threading_hook:
                threading.setprofile(None)
            elif hook is not None:
                threading_replaced = True
        self._threading_hook = None
        _report_replaced_hooks(replaced, threading_replaced)

    def _drop_engine_in_child(self) -> None:
        # The forking thread is the child's only thread: its hook and the one
        # for new threads are all there is to remove.
        sys.setprofile(None)
        if self._threading_hook is not None and threading.getprofile() == self._threading_hook:
            threading.setprofile(None)
        self._threading_hook = None
        self.rust_profiler = None


def _report_replaced_hooks(idents: list[int], threading_replaced: bool) -> None:
    """One warning about the threads whose recording a hook of the program's own ended."""
    parts = []
    if idents:
        names = {thread.ident: thread.name for thread in threading.enumerate()}
        threads = ", ".join(repr(names.get(ident, f"ident {ident}")) for ident in idents)
        parts.append(
            f"the program installed a profile function of its own (sys.setprofile) on "
            f"{'thread' if len(idents) == 1 else 'threads'} {threads}, so their calls "
            "after that are not in the trace"
        )
    if threading_replaced:
        parts.append(
            "the program replaced vask's hook for new threads (threading.setprofile), so "
            "threads it started after that are not in the trace"
        )
    if parts:
        _logger.warning("tracing stopped early: %s", "; ".join(parts))


def create(engine: str | None = None, **kwargs: Any) -> Recorder:
    """A new, not yet started :class:`Profiler` or :class:`vask.monitoring.Monitor`.

    ``engine`` is resolved with :func:`resolve_engine`; ``kwargs`` are those
    of :class:`Recorder`.
    """
    if resolve_engine(engine) == "monitor":
        from vask.monitoring import Monitor

        return Monitor(**kwargs)
    return Profiler(**kwargs)


_logger = logging.getLogger("vask")


def _before_fork() -> None:
    for recorder in list(_running):
        recorder._note_fork()


def _after_fork_in_child(parent_pid: int) -> None:
    following = sys.modules.get("vask.pth_init")
    if following is not None:
        following.reset_after_fork()
    for recorder in list(_running):
        try:
            recorder._restart_in_child(parent_pid)
        except Exception:  # noqa: BLE001 - the child runs on untraced
            _logger.exception("vask: could not trace the forked process %d", os.getpid())


def _register_fork_hooks() -> None:
    # The pid is read in the parent, before the fork: the child's link.
    parent = [0]

    def before() -> None:
        parent[0] = os.getpid()
        _before_fork()

    os.register_at_fork(before=before, after_in_child=lambda: _after_fork_in_child(parent[0]))


if hasattr(os, "register_at_fork"):  # not on Windows, which has no fork
    _register_fork_hooks()

# The errors of a store that a side file answers: the database could not be
# written (locked, read-only, full, refused as unsafe), as opposed to a
# document the engine could not build.
_STORE_ERRORS = (sqlite3.Error, OSError)


def _document_trace_id(data: bytes, default: str) -> str:
    """The trace id a built document carries (per-test traces have their own)."""
    from vask import db

    try:
        trace_id = db._read_head(data).get("trace_id")
    except ValueError:
        return default
    return trace_id if isinstance(trace_id, str) else default
