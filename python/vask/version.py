"""The version of vask."""

__version__ = "0.1.0"
