"""Tracing overhead, as a ratio to the untraced run, for two workloads.

    python bench/bench_overhead.py [--repeat N]

Runs, in one process and side by side: untraced, the do-nothing native profile
hook (register_noop_profiler), cProfile, and vask's VaskProfiler. For the
user-code heavy workload it also runs VaskProfiler with trivial dumpers, to
split vask's cost into the engine's own share and the two dumper calls per
event (the Python-side serialisation of arguments and locals).
"""

from __future__ import annotations

import argparse
import cProfile
import gc
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import workloads  # noqa: E402

import vask.serialize  # noqa: E402
from vask import _vask  # noqa: E402
from vask.profiler import Profiler  # noqa: E402

NIL = b"\xc0"


def timed(run, repeat):
    best = float("inf")
    for _ in range(repeat):
        gc.collect()
        t0 = time.perf_counter()
        run()
        best = min(best, time.perf_counter() - t0)
    return best


def untraced(func):
    return func


def noop(func):
    def run():
        _vask.register_noop_profiler()
        try:
            func()
        finally:
            sys.setprofile(None)

    return run


def cprofile(func):
    def run():
        profile = cProfile.Profile()
        profile.enable()
        try:
            func()
        finally:
            profile.disable()

    return run


def vask_run(func, null_dumpers=False):
    def run():
        saved = vask.serialize.dump_msgpack, vask.serialize.dump_msgpack_lightweight_repr
        if null_dumpers:
            vask.serialize.dump_msgpack = vask.serialize.dump_msgpack_lightweight_repr = (
                lambda value: NIL
            )
        profiler = Profiler(config={"threading": False})
        try:
            profiler.start()  # the engine takes the dumpers when it is built
        finally:
            vask.serialize.dump_msgpack, vask.serialize.dump_msgpack_lightweight_repr = saved
        try:
            func()
        finally:
            profiler.stop()
        run.last_trace_size = len(profiler.build_trace())

    run.last_trace_size = 0
    return run


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()

    print(f"Python {sys.version.split()[0]}, best of {args.repeat} runs, ratio to untraced")
    for name, func in (
        ("user-code heavy", workloads.user_heavy),
        ("library heavy", workloads.library_heavy),
    ):
        base = timed(func, args.repeat)
        rows = [
            ("untraced", base),
            ("register_noop_profiler", timed(noop(func), args.repeat)),
            ("cProfile", timed(cprofile(func), args.repeat)),
        ]
        full = vask_run(func)
        rows.append(("VaskProfiler", timed(full, args.repeat)))
        null = vask_run(func, null_dumpers=True)
        rows.append(("VaskProfiler, trivial dumpers", timed(null, args.repeat)))
        print(f"\n{name}: untraced {base * 1000:.1f} ms, trace {full.last_trace_size / 1e6:.1f} MB")
        for label, seconds in rows:
            print(f"  {label:32s} {seconds / base:7.2f}x  {seconds * 1000:9.1f} ms")
        vask_t = rows[3][1]
        null_t = rows[4][1]
        noop_t = rows[1][1]
        if vask_t > base:
            share = (null_t - base) / (vask_t - base)
            print(f"  engine's own share of vask's cost (beyond the dumpers): {share:.0%}")
        print(f"  VaskProfiler / empty hook: {vask_t / noop_t:.2f}x")


if __name__ == "__main__":
    main()
