"""Locks of vask's that a forked child gets back unlocked.

A forked child has only the thread that forked.  A lock another thread of
the parent held at that moment (the writer storing a document, a program
thread saving) would stay held in the child for good, and the child's own
store, of its trace when it ends, would wait for it for ever.  Every
module-level lock on the path of a store is made by :func:`lock`; the
state such a lock guards is updated by single operations under the GIL, so
a child finds it whole.
"""

from __future__ import annotations

import os
import threading
from typing import Any

__all__ = ["lock"]


def lock() -> Any:
    """A new ``threading.Lock`` that is unlocked again in every child forked from now on."""
    new = threading.Lock()
    if hasattr(os, "register_at_fork"):  # not on Windows, which has no fork
        # The lock's own after-fork reset (Python 3.9 on), as logging's locks use.
        os.register_at_fork(after_in_child=new._at_fork_reinit)
    return new
