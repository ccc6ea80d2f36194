"""The version of vask."""

__version__ = "0.2.0"
