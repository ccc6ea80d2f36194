"""vask: a Python call tracer with a native core.

For every call into your own code vask records the arguments, the local
variables, the return value or the exception, the thread and the time, and
stores the result as MessagePack trace documents in SQLite.

    import vask

    with vask.enabled():
        run_my_code()

``vask.enabled`` also works as a decorator; ``vask.enable()`` and
``vask.disable()`` start and stop a process-wide profiler.

``engine`` chooses how calls are recorded: ``"monitor"`` (``sys.monitoring``,
the default on Python 3.12 and later; library code costs almost nothing) or
``"profile"`` (the profile hook, the default before 3.12).

PYTEST_DONT_REWRITE: the package is a pytest plugin too, and under
``vask run -m pytest`` it is imported before pytest starts; it has no asserts
for pytest to rewrite.
"""

from __future__ import annotations

import functools
import logging
import os
from typing import Any, Callable, Mapping, TypeVar

from vask.version import __version__

__all__ = ["__version__", "calls", "enable", "disable", "enabled", "current_profiler"]

_F = TypeVar("_F", bound=Callable[..., Any])
_NO_VALUE: Any = object()


def _slot() -> Any:
    """The process's one enabled recorder and its lock (:data:`vask.engines.lifecycle.current`)."""
    from vask.engines import lifecycle

    return lifecycle.current


def current_profiler() -> Any:
    """The profiler started by :func:`enable`, or ``None``."""
    return _slot().recorder


def enable(
    *,
    config: Mapping[str, Any] | None = None,
    db_path: str | os.PathLike[str] | None = None,
    trace_name: str | None = None,
    source: str = "api",
    engine: str | None = None,
    follow: bool | None = None,
) -> Any:
    """Start tracing this thread and threads started from now on.

    ``engine`` is ``"monitor"``, ``"profile"`` or ``None`` (the default for
    this Python); the monitoring engine records every thread of the process.
    ``follow`` (default: the configuration's ``follow``, else on) traces the
    Python processes the program starts too (``os.fork``, multiprocessing,
    ``subprocess`` running Python), each into a trace of its own linked to
    this one; see :mod:`vask.engines.lifecycle`.
    Returns the :class:`vask.engines.profile.Profiler` or
    :class:`vask.engines.monitor.Monitor`. Raises ``RuntimeError`` when tracing is
    already enabled, ``ValueError`` for an engine this Python lacks.
    """
    from vask.engines.choice import create

    config = _with_follow(config, follow)
    current = _slot()
    with current.lock:
        if current.recorder is not None:
            raise RuntimeError("vask is already enabled; call vask.disable() first")
        profiler = create(
            engine, config=config, db_path=db_path, trace_name=trace_name, source=source
        )
        profiler.start()
        current.recorder = profiler
    return profiler


def _with_follow(config: Mapping[str, Any] | None, follow: bool | None) -> dict[str, Any]:
    """``config`` with ``follow`` set: as asked, else as the configuration says, else on."""
    merged = dict(config or {})
    if follow is not None:
        merged["follow"] = follow
    else:
        merged.setdefault("follow", True)
    return merged


def disable(*, save: bool = True) -> str | None:
    """Stop tracing and (by default) store the trace. Returns its trace id.

    Returns ``None`` when tracing was not enabled.  Never raises because the
    trace could not be stored: a trace the database does not take is kept in
    a side file, and a warning on the "vask" logger names it (see
    :meth:`vask.engines.recorder.Recorder.save`).
    """
    current = _slot()
    with current.lock:
        profiler, current.recorder = current.recorder, None
    if profiler is None:
        return None
    profiler.stop()
    if save:
        _save_quietly(profiler)
    return profiler.trace_id


def _save_quietly(profiler: Any) -> None:
    """Save, reporting on the "vask" logger whatever goes wrong instead of raising it."""
    try:
        profiler.save()
    except Exception:
        logging.getLogger("vask").exception(
            "could not save trace %s to %s", profiler.trace_id, profiler.db_path
        )


class enabled:  # noqa: N801 - used like a function: ``with vask.enabled():``
    """Trace a block or a function and store the trace when it ends.

    Works as a context manager (``with vask.enabled() as profiler:``) and as a
    decorator (``@vask.enabled()``). The trace is saved also when the block
    raises; the exception is not swallowed, and vask raises none of its own
    when the trace cannot be stored (see :func:`disable`). The arguments are
    those of :func:`enable`.
    """

    def __init__(
        self,
        *,
        config: Mapping[str, Any] | None = None,
        db_path: str | os.PathLike[str] | None = None,
        trace_name: str | None = None,
        source: str = "api",
        engine: str | None = None,
        follow: bool | None = None,
    ) -> None:
        self._kwargs = dict(
            config=config,
            db_path=db_path,
            trace_name=trace_name,
            source=source,
            engine=engine,
            follow=follow,
        )
        self.profiler: Any = None
        self._owner = False

    def __enter__(self) -> Any:
        from vask.engines.monitor import active_monitor

        current = _slot()
        with current.lock:
            outer = current.recorder if current.recorder is not None else active_monitor()
        if outer is not None:
            # Already tracing (a recursive decorated function, a block inside
            # another, a program run by `vask run` or `pytest --vask` with the
            # monitoring engine): the outer trace records this one too.
            self._owner = False
            self.profiler = outer
            return outer
        self._owner = True
        self.profiler = enable(**self._kwargs)
        return self.profiler

    def __exit__(self, exc_type: Any, exc: Any, tb: Any) -> None:
        if not self._owner:
            return
        # The block's own outcome is what the program must see, its exception
        # or none: a trace that cannot be stored is kept aside and reported
        # on the "vask" logger.
        disable(save=True)

    def __call__(self, func: _F) -> _F:
        @functools.wraps(func)
        def wrapper(*args: Any, **kwargs: Any) -> Any:
            with enabled(**self._kwargs):
                return func(*args, **kwargs)

        return wrapper  # type: ignore[return-value]


def calls(
    pattern: str = "*",
    *,
    db_path: str | os.PathLike[str] | None = None,
    raised: bool | str = False,
    returned: bool = False,
    slowest: int | None = None,
    test: str | None = None,
    outcome: str | None = None,
    trace: str | None = None,
    args: Mapping[str, Any] | None = None,
    locals: Mapping[str, Any] | None = None,
    returns: Any = _NO_VALUE,
    limit: int | None = None,
) -> list[Any]:
    """The stored calls that match, across every trace, as :class:`vask.callsearch.CallMatch`.

    As ``vask calls``: ``pattern`` a qualified name with ``*``; ``raised``
    (``True`` or an exception type name), ``returned``, ``slowest`` (the N
    longest, longest first), ``test`` (node id), ``outcome`` (the test's),
    ``trace`` (id) narrow the search.  ``args`` and ``locals`` map a name
    (``NAME.FIELD`` reaches into dicts and objects) to a value it must equal,
    or to ``(OP, VALUE)`` with OP one of ``== != < <= > >= ~`` (``~``: a
    regular expression on the stored text); ``returns`` is such a value or
    pair for the return value.  Each match holds ``qualname``, ``args``,
    ``locals``, ``return_value`` or ``exception``, ``trace_id`` and ``test``.
    The database is ``db_path``, else ``[tool.vask]`` db, else
    ``.vask/db.sqlite3``.
    """
    from vask import callsearch
    from vask.storage import backend

    if db_path is None:
        from vask import config as vask_config

        db_path = vask_config.load_settings().db
        if db_path is None:
            from vask.engines.recorder import default_db_path

            db_path = default_db_path()
    predicates = []
    for where, given in (("arg", args), ("local", locals)):
        for name, wanted in (given or {}).items():
            predicates.append(callsearch.Predicate.of(where, name, wanted))
    if returns is not _NO_VALUE:
        predicates.append(callsearch.Predicate.of("return", None, returns))
    if not backend.locate(db_path).exists():  # a URL's database is always there
        return []
    return list(
        callsearch.find_calls(
            db_path,
            pattern,
            raised=raised,
            returned=returned,
            slowest=slowest,
            test=test,
            outcome=outcome,
            trace=trace,
            predicates=predicates,
            limit=limit,
        )
    )
