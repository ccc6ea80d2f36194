"""Loading a Python file of a test as a module of its own, without importing it by name."""

from __future__ import annotations

import importlib.machinery
import types
from pathlib import Path


def load_source(name: str, path: Path) -> types.ModuleType:
    """The module that the file at ``path`` makes when run, named ``name``.

    It is not put into ``sys.modules``: each call runs the file afresh, and
    its code objects carry ``path`` as their file name.
    """
    loader = importlib.machinery.SourceFileLoader(name, str(path))
    module = types.ModuleType(name)
    module.__file__ = str(path)
    module.__loader__ = loader
    loader.exec_module(module)
    return module
