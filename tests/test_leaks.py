"""Engines created, used and dropped many times leave nothing behind.

Each cycle builds a recorder, traces a small program (arguments and locals of
many kinds, an exception caught, a generator, a second thread), stores or
builds the trace and drops the recorder. After a warm-up, 1,000 more cycles
must leave the number of live Python objects, CPython's allocated blocks and
the resident memory flat: a leak of one object, one buffer or one per-thread
state per cycle shows up as at least 1,000 of them.
"""

from __future__ import annotations

import gc
import os
import sys
import threading

import pytest

CYCLES = 1000
WARM_UP = 200


class Opaque:
    def __init__(self, n: int) -> None:
        self.n = n

    def __repr__(self) -> str:
        return f"Opaque({self.n})"


def leaf(n, text, blob, mapping):
    items = [Opaque(n), (n, text), {n: blob}]
    return len(items) + len(mapping)


def failing(n):
    raise ValueError(f"bad {n}")


def numbers(n):
    yield from range(n)


def workload(n: int) -> int:
    total = 0
    for i in range(3):
        total += leaf(i, "caf\udce9" * i, b"\x00\xff" * i, {"password": "hunter2", "k": [i]})
    try:
        failing(n)
    except ValueError:
        total += 1
    total += sum(numbers(4))
    worker = threading.Thread(target=leaf, args=(n, "t", b"", {}), name=f"leak-{n}")
    worker.start()
    worker.join()
    return total


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def live_counts() -> tuple[int, int]:
    gc.collect()
    gc.collect()
    return len(gc.get_objects()), sys.getallocatedblocks()


def one_cycle(engine, db_path, n: int) -> None:
    recorder = engine.recorder(config={"threading": True}, db_path=db_path)
    recorder.start()
    try:
        assert workload(n) == 22
    finally:
        recorder.stop()
    # Every tenth cycle stores its trace (a save waits for the disk), the
    # others only build it.
    if n % 10 == 0:
        recorder.save()
    else:
        assert recorder.build_trace()


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc/self/statm")
def test_create_trace_drop_cycles_leave_nothing_behind(engine, tmp_path):
    db_path = tmp_path / "leaks.sqlite3"
    for n in range(WARM_UP):
        one_cycle(engine, db_path, n)
    objects_before, blocks_before = live_counts()
    rss_before = rss_bytes()

    for n in range(WARM_UP, WARM_UP + CYCLES):
        one_cycle(engine, db_path, n)

    objects_after, blocks_after = live_counts()
    rss_after = rss_bytes()
    print(
        f"objects {objects_after - objects_before:+}, blocks {blocks_after - blocks_before:+}, "
        f"RSS {(rss_after - rss_before) / 1e6:+.1f} MB over {CYCLES} cycles"
    )
    # Well under one per cycle: caches that fill once (interned names, code
    # extras, the logging module) are warm by now.
    assert objects_after - objects_before < CYCLES // 4, (objects_before, objects_after)
    # Zero under PYTHONMALLOC=malloc, where CPython counts no blocks.
    assert blocks_after - blocks_before < CYCLES // 2, (blocks_before, blocks_after)
    if "ASAN_OPTIONS" not in os.environ:
        # ASan keeps freed memory in quarantine; there only the counts hold.
        assert rss_after - rss_before < 16 * 1024 * 1024, (rss_before, rss_after)
