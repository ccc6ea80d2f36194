"""vask: a Python call tracer with a native core."""

from vask.version import __version__

__all__ = ["__version__"]
