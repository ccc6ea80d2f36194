"""Locks and state of vask's that a forked child gets back new.

A forked child has only the thread that forked.  A lock another thread of
the parent held at that moment (the writer storing a document, a program
thread saving) would stay held in the child for good, and the child's own
store, of its trace when it ends, would wait for it for ever.  Every
module-level lock on the path of a store is made by :func:`lock`; the
state such a lock guards is updated by single operations under the GIL, so
a child finds it whole.  State of the parent's that the child must not act
on (documents queued for storing, side files pending) is let go by a reset
registered with :func:`at_fork_in_child`.

Order matters.  A followed child starts its own trace from an after-fork
hook (:mod:`vask.engines.lifecycle`), and from then on threads of vask's may
take these locks: a SIGTERM that comes then has the trace stored on a thread
of its own.  Python runs after-fork hooks one after another in the order they
were registered, so a lock unlocked by a hook of its own could be unlocked
under that thread, after it took it.  So every lock and reset is renewed by
one call, :func:`reset_in_child`, which the child's trace start makes before
anything else; the one at-fork hook registered here makes it too, for the
children where no trace starts.  Invariant: in a forked child, every lock made
here is renewed and every reset has run before any code of vask's runs there,
and each only once.
"""

from __future__ import annotations

import logging
import os
import threading
import weakref
from collections.abc import Callable
from typing import Any

__all__ = ["at_fork_in_child", "lock", "reset_in_child"]

_logger = logging.getLogger("vask")

# Every lock made by lock(), while it lives.
_locks: weakref.WeakSet[Any] = weakref.WeakSet()
# Resets of state, in the order they were registered.
_resets: list[Callable[[], None]] = []
# The process whose locks and state are its own: renewed when it differs.
_owner = os.getpid()


def lock() -> Any:
    """A new ``threading.Lock`` that is unlocked again in every child forked from now on."""
    new = threading.Lock()
    _locks.add(new)
    return new


def at_fork_in_child(reset: Callable[[], None]) -> None:
    """Run ``reset`` in every child forked from now on, with the locks' renewal."""
    _resets.append(reset)


def reset_in_child() -> None:
    """In a forked child: renew every lock and run every reset, unless done already.

    Nothing in a process that did not fork (the pid is the owner's).
    """
    global _owner
    pid = os.getpid()
    if pid == _owner:
        return
    _owner = pid
    for held in list(_locks):
        # The lock's own after-fork reset (Python 3.9 on), as logging's locks use.
        held._at_fork_reinit()
    for reset in list(_resets):
        try:
            reset()
        except Exception:  # noqa: BLE001 - the others still run; the child goes on
            _logger.exception("vask: could not reset %r in the forked process %d", reset, pid)


if hasattr(os, "register_at_fork"):  # not on Windows, which has no fork
    os.register_at_fork(after_in_child=reset_in_child)
