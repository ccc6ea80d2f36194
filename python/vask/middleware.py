"""Django middleware that stores one vask trace per request.

Add it to ``MIDDLEWARE``, ideally first, so that the other middleware is
traced too::

    MIDDLEWARE = [
        "vask.middleware.VaskMiddleware",
        ...
    ]

Each request handled on a thread with no other profiler installed gets a
profiler of its own, started before the rest of the chain runs and stopped
when the response comes back; the trace is stored right away and named after
the request by the built-in Django plugin of :mod:`vask.plugins`, as in
``GET /orders/ 200``.  Errors of tracing or storing are logged on the "vask"
logger and never change the response; a trace the database does not take is
kept in a side file, which the warning names.

Settings:

``VASK_ENABLED``  trace requests (default ``True``); ``False`` removes the
                  middleware at start-up
``VASK_DB_PATH``  the trace database, a path or a ``postgresql://`` URL (default:
                  the environment's ``VASK_DB``, else ``db`` of ``[tool.vask]``,
                  else ``.vask/db.sqlite3`` under the working directory at start-up)
``VASK_CONFIG``   configuration dict of the profiler (``filters``, ``redact``,
                  ``redact_extra``, ``lightweight_repr`` ...), laid over what
                  ``[tool.vask]`` says.  ``threads`` and ``follow`` default to
                  ``False`` here: a thread started by one request could be
                  picked up by another request's profiler.
``VASK_VALUES``   how objects are recorded: ``"safe"`` (the default), ``"fields"``
                  or ``"repr"`` (the ``values`` key of ``VASK_CONFIG`` says the same)
``VASK_ENGINE``   ``"monitor"`` (``sys.monitoring``, the default on Python
                  3.12 and later) or ``"profile"`` (the profile hook, the
                  default before 3.12); default: ``engine`` of ``[tool.vask]``

``[tool.vask]`` of the pyproject.toml nearest to the working directory at
start-up applies as it does to ``vask run`` and ``pytest --vask`` (the same
:meth:`vask.config.Settings.to_engine_config` turns it into the
configuration): ``redact_extra = ["colour"]`` redacts ``colour`` in every
request's trace.

The monitoring engine is process-wide and only one can run at a time: a
request handled while no other is in flight is traced with it (and the
trace holds what other threads of the process do meanwhile); a request that
overlaps another is traced with the profile engine, on its own thread only,
and kept out of the other request's trace.  When ``sys.monitoring`` tool id
3 is taken by another tool, requests are traced with the profile engine.

When the whole process is already traced (``vask run manage.py runserver``),
the middleware steps aside: the process-wide trace gets the request records
from ``BaseHandler.get_response`` itself.  The middleware is synchronous;
under ASGI Django runs it in a worker thread.  The body of a streaming
response is produced after the middleware returns and is not in the trace.
"""

from __future__ import annotations

import logging
import os
import sys
import threading
from collections.abc import Callable, Mapping
from pathlib import Path
from typing import Any

__all__ = ["VaskMiddleware"]

logger = logging.getLogger("vask")

# Requests in flight in this process, over every middleware instance, and the
# monitor of the one traced with the monitoring engine. Guarded by _lock.
_lock = threading.Lock()
_in_flight = 0
_request_monitor: Any = None


class VaskMiddleware:
    """Traces each request as a trace of its own (see the module documentation)."""

    sync_capable = True
    async_capable = False

    def __init__(self, get_response: Callable[[Any], Any]) -> None:
        from django.conf import settings
        from django.core.exceptions import ImproperlyConfigured, MiddlewareNotUsed

        from vask.config import ConfigError, check_config, load_settings
        from vask.profiler import default_db_path, resolve_engine

        self.get_response = get_response
        if not getattr(settings, "VASK_ENABLED", True):
            raise MiddlewareNotUsed("VASK_ENABLED is false")
        config = getattr(settings, "VASK_CONFIG", None)
        if config is None:
            config = {}
        if not isinstance(config, Mapping):
            raise ImproperlyConfigured(f"VASK_CONFIG must be a dict, not {type(config).__name__}")
        values = getattr(settings, "VASK_VALUES", None)
        if values is not None:
            config = {**config, "values": values}
        try:
            file_settings = load_settings()
        except ConfigError as error:
            raise ImproperlyConfigured(f"vask: {error}") from error
        if file_settings.unknown_keys:
            logger.warning(
                "vask: %s: unknown keys in [tool.vask] ignored: %s",
                file_settings.path,
                ", ".join(file_settings.unknown_keys),
            )
        base = file_settings.defaulted(threads=False, follow=False).to_engine_config()
        # Mistakes in the configuration show at start-up, not as a warning
        # logged for every request.
        try:
            self.config: dict[str, Any] = check_config({**base, **config})
        except (TypeError, ValueError) as error:
            raise ImproperlyConfigured(f"VASK_CONFIG: {error}") from error
        db_path = getattr(settings, "VASK_DB_PATH", None)
        if db_path is not None and not isinstance(db_path, (str, os.PathLike)):
            raise ImproperlyConfigured(f"VASK_DB_PATH must be a path, not {type(db_path).__name__}")
        from vask.config import database_from_environment
        from vask.storage import backend

        try:
            from_environment = database_from_environment()
            located = backend.locate(db_path) if db_path else None
        except ValueError as error:
            raise ImproperlyConfigured(f"VASK_DB_PATH: {error}") from error
        if located is not None:
            self.db_path = located.absolute()
        elif from_environment is not None:
            self.db_path = from_environment
        elif file_settings.db is not None:
            self.db_path = Path(file_settings.db).absolute()
        else:
            self.db_path = default_db_path()
        engine = getattr(settings, "VASK_ENGINE", None)
        try:
            self.engine = resolve_engine(engine if engine is not None else file_settings.engine)
        except ValueError as error:
            raise ImproperlyConfigured(f"VASK_ENGINE: {error}") from error

    def __call__(self, request: Any) -> Any:
        from vask import monitoring

        outer = monitoring.active_monitor()
        if sys.getprofile() is not None or (outer is not None and outer.source != "django"):
            # The whole process is traced already.
            return self.get_response(request)
        global _in_flight
        with _lock:
            _in_flight += 1
        try:
            return self._traced(request)
        finally:
            with _lock:
                _in_flight -= 1

    def _traced(self, request: Any) -> Any:
        global _request_monitor
        from vask.profiler import Profiler, create

        suspended_on = None
        try:
            with _lock:
                # Started under the lock, so that a request arriving meanwhile
                # sees the monitor and keeps its own thread out of it.
                profiler = None
                if self.engine == "monitor" and _in_flight == 1 and _request_monitor is None:
                    profiler = create("monitor", **self._recorder_settings())
                    try:
                        profiler.start()
                    except RuntimeError as error:  # tool id 3 is taken
                        logger.warning(
                            "vask: %s; tracing the request with the profile engine", error
                        )
                        profiler = None
                    else:
                        _request_monitor = profiler
                if profiler is None and _request_monitor is not None:
                    suspended_on = _request_monitor
                    suspended_on.set_suspended(True)
            if profiler is None:
                profiler = Profiler(**self._recorder_settings())
                profiler.start()
        except Exception:
            logger.exception("vask: cannot trace the request %s", _describe(request))
            if suspended_on is not None:
                suspended_on.set_suspended(False)
            return self.get_response(request)
        try:
            response = self._vask_handle_request(request)
        finally:
            with _lock:
                profiler.stop()
                if profiler is _request_monitor:
                    _request_monitor = None
            if suspended_on is not None:
                suspended_on.set_suspended(False)
            try:
                profiler.save()  # a trace the database does not take is kept aside, and logged
            except Exception:
                logger.exception(
                    "vask: cannot store the trace of the request %s in %s",
                    _describe(request),
                    self.db_path,
                )
        return response

    def _recorder_settings(self) -> dict[str, Any]:
        return {"config": self.config, "db_path": self.db_path, "source": "django"}

    def _vask_handle_request(self, request: Any) -> Any:
        # Watched by the built-in Django plugin: its call and return are the
        # request and response records, the first and last of the trace.
        return self.get_response(request)


def _describe(request: Any) -> str:
    return f"{getattr(request, 'method', '?')} {getattr(request, 'path_info', '?')}"
