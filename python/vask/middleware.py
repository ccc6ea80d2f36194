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
``VASK_DB_PATH``  the trace database (default ``.vask/db.sqlite3`` under the
                  working directory at start-up)
``VASK_CONFIG``   configuration dict of the profiler (``filters``, ``redact``,
                  ``redact_extra``, ``lightweight_repr`` ...).  ``threading`` defaults to
                  ``False`` here: a thread started by one request could be
                  picked up by another request's profiler.

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
from collections.abc import Callable, Mapping
from pathlib import Path
from typing import Any

__all__ = ["VaskMiddleware"]

logger = logging.getLogger("vask")


class VaskMiddleware:
    """Traces each request as a trace of its own (see the module documentation)."""

    sync_capable = True
    async_capable = False

    def __init__(self, get_response: Callable[[Any], Any]) -> None:
        from django.conf import settings
        from django.core.exceptions import ImproperlyConfigured, MiddlewareNotUsed

        from vask.config import check_config
        from vask.profiler import default_db_path

        self.get_response = get_response
        if not getattr(settings, "VASK_ENABLED", True):
            raise MiddlewareNotUsed("VASK_ENABLED is false")
        config = getattr(settings, "VASK_CONFIG", None)
        if config is None:
            config = {}
        if not isinstance(config, Mapping):
            raise ImproperlyConfigured(f"VASK_CONFIG must be a dict, not {type(config).__name__}")
        # Mistakes in the configuration show at start-up, not as a warning
        # logged for every request.
        try:
            self.config: dict[str, Any] = check_config({"threading": False, **config})
        except (TypeError, ValueError) as error:
            raise ImproperlyConfigured(f"VASK_CONFIG: {error}") from error
        db_path = getattr(settings, "VASK_DB_PATH", None)
        if db_path is not None and not isinstance(db_path, (str, os.PathLike)):
            raise ImproperlyConfigured(f"VASK_DB_PATH must be a path, not {type(db_path).__name__}")
        self.db_path = Path(db_path).absolute() if db_path else default_db_path()

    def __call__(self, request: Any) -> Any:
        if sys.getprofile() is not None:
            return self.get_response(request)
        from vask.profiler import Profiler

        try:
            profiler = Profiler(config=self.config, db_path=self.db_path, source="django")
            profiler.start()
        except Exception:
            logger.exception("vask: cannot trace the request %s", _describe(request))
            return self.get_response(request)
        try:
            response = self._vask_handle_request(request)
        finally:
            profiler.stop()
            try:
                profiler.save()  # a trace the database does not take is kept aside, and logged
            except Exception:
                logger.exception(
                    "vask: cannot store the trace of the request %s in %s",
                    _describe(request),
                    self.db_path,
                )
        return response

    def _vask_handle_request(self, request: Any) -> Any:
        # Watched by the built-in Django plugin: its call and return are the
        # request and response records, the first and last of the trace.
        return self.get_response(request)


def _describe(request: Any) -> str:
    return f"{getattr(request, 'method', '?')} {getattr(request, 'path_info', '?')}"
