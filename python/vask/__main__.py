"""The ``vask`` command: ``python -m vask`` and the console script (see :mod:`vask.cli`)."""

import sys

from vask.cli import main

__all__ = ["main"]

if __name__ == "__main__":
    sys.exit(main())
