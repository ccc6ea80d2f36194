"""Choosing an engine: its name resolved for this Python, and its recorder built.

``profile``
    :class:`Profiler`: the profile hook (``sys.setprofile``), per thread. Runs
    on every supported Python.
``monitor``
    :class:`Monitor`: ``sys.monitoring`` (Python 3.12 and later),
    process-wide. Code vask does not record (libraries, the standard
    library) is switched off location by location after its first event, so
    it costs almost nothing. The default where it is available.
"""

from __future__ import annotations

import sys
from typing import Any

from vask.engines.monitor import Monitor
from vask.engines.profile import Profiler
from vask.engines.recorder import Recorder

__all__ = ["ENGINES", "create", "default_engine", "resolve_engine"]

#: The engine names :func:`create` understands.
ENGINES = ("monitor", "profile")


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


def create(engine: str | None = None, **kwargs: Any) -> Recorder:
    """A new, not yet started :class:`Profiler` or :class:`Monitor`.

    ``engine`` is resolved with :func:`resolve_engine`; ``kwargs`` are those
    of :class:`Recorder`.
    """
    if resolve_engine(engine) == "monitor":
        return Monitor(**kwargs)
    return Profiler(**kwargs)
