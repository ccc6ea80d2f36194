"""Tracing overhead, as a ratio to the untraced run, for three workloads.

    python bench/bench_overhead.py [--repeat N] [--cpu-time] [--workload NAME ...]

Runs, in one process and side by side: untraced, the do-nothing native profile
hook (register_noop_profiler), cProfile, vask's profile-hook engine
(VaskProfiler) and, on Python 3.12 and later, vask's sys.monitoring engine
(VaskMonitor). Each vask engine also runs with trivial dumpers, to split its
cost into the engine's own share and the two dumper calls per event (the
Python-side serialisation of arguments and locals). When viztracer is
installed it runs too, plain and with --log_func_args --log_func_retval.

Each vask engine runs complete (fold_after off, every call recorded) and with
folding as the package sets it (fold_after = 20: past the first 20 calls of
one function under one call, the rest are only counted), side by side; the
"repetitive" workload is one parent calling a few small functions many
times, where folding matters most. A third row keeps the last folded call of
each function in full (``fold_keep_last``): every folded call is then dumped
into a slot the next one overwrites, so it costs the dumpers, not the store.

Every traced row includes turning the recording into the tracer's own
in-memory result: vask builds its trace document, viztracer parses its
buffer. Nothing is written to disk.

Each vask engine runs with the default ``values`` setting ("safe": objects by
their fields) and with ``values="repr"`` (every object's repr called), side by
side; the third workload's objects have a repr that rebuilds a grammar's text.

Beside each ratio: the cost per recorded event in nanoseconds, (traced -
untraced) / events, where events is the number of frame records vask's
profile engine stores for the workload (a call and a return each). Every row
is divided by the same count, so the column compares tracers per event of
the user's code.
"""

from __future__ import annotations

import argparse
import cProfile
import gc
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import msgpack  # noqa: E402
import vask.serialize  # noqa: E402
import workloads  # noqa: E402
from vask import _vask  # noqa: E402
from vask.profiler import create  # noqa: E402

try:
    from viztracer import VizTracer
except ImportError:  # a peer to compare with, when installed
    VizTracer = None

NIL = b"\xc0"
FOLD_AFTER = 20
MONITOR = sys.version_info >= (3, 12)


# The clock of every row: wall time, or with --cpu-time the process's CPU
# time, which a machine shared with other work disturbs far less.
clock = time.perf_counter


WORKLOADS = (
    ("user-code heavy", workloads.user_heavy),
    ("library heavy", workloads.library_heavy),
    ("objects with an expensive repr", workloads.grammar_heavy),
    ("repetitive", workloads.repetitive),
)


def timed(run, repeat):
    best = float("inf")
    for _ in range(repeat):
        gc.collect()
        t0 = clock()
        run()
        best = min(best, clock() - t0)
    return best


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


def vask_run(func, engine, null_dumpers=False, values="safe", fold_after=False, keep_last=False):
    def run():
        saved = vask.serialize.dump_msgpack, vask.serialize.dump_msgpack_lightweight_repr
        if null_dumpers:
            vask.serialize.dump_msgpack = vask.serialize.dump_msgpack_lightweight_repr = (
                lambda value: NIL
            )
        config = {"threading": False, "values": values, "fold_after": fold_after}
        if keep_last:
            config["fold_keep_last"] = True
        recorder = create(engine, config=config)
        try:
            recorder.start()  # the engine takes the dumpers when it is built
        finally:
            vask.serialize.dump_msgpack, vask.serialize.dump_msgpack_lightweight_repr = saved
        try:
            func()
        finally:
            recorder.stop()
        document = recorder.build_trace()
        run.last_trace_size = len(document)
        if run.events is None:
            threads = msgpack.unpackb(document, raw=False, strict_map_key=False)["threads"]
            run.events = sum(len(thread["frames"]) for thread in threads.values())

    run.last_trace_size = 0
    run.events = None
    return run


def viztracer_run(func, log_values):
    def run():
        tracer = VizTracer(
            verbose=0, log_func_args=log_values, log_func_retval=log_values, register_global=False
        )
        tracer.start()
        try:
            func()
        finally:
            tracer.stop()
        tracer.parse()

    return run


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument(
        "--cpu-time", action="store_true", help="time by the process's CPU time, not wall time"
    )
    parser.add_argument(
        "--workload",
        action="append",
        choices=[name for name, _ in WORKLOADS],
        help="run only this workload (repeatable; default: all)",
    )
    args = parser.parse_args()
    global clock
    if args.cpu_time:
        clock = time.process_time

    peers = "viztracer" if VizTracer is not None else "no viztracer"
    print(
        f"Python {sys.version.split()[0]}, best of {args.repeat} runs, ratio to untraced ({peers})"
    )
    engines = ["profile", "monitor"] if MONITOR else ["profile"]
    labels = {"profile": "VaskProfiler", "monitor": "VaskMonitor"}
    for name, func in WORKLOADS:
        if args.workload and name not in args.workload:
            continue
        base = timed(func, args.repeat)
        rows = [
            ("untraced", base),
            ("register_noop_profiler", timed(noop(func), args.repeat)),
            ("cProfile", timed(cprofile(func), args.repeat)),
        ]
        full, trivial, sizes, events, reprs = {}, {}, {}, {}, {}
        folded, folded_sizes, kept = {}, {}, {}
        for engine in engines:
            run = vask_run(func, engine)
            full[engine] = timed(run, args.repeat)
            sizes[engine] = run.last_trace_size
            events[engine] = run.events
            trivial[engine] = timed(vask_run(func, engine, null_dumpers=True), args.repeat)
            reprs[engine] = timed(vask_run(func, engine, values="repr"), args.repeat)
            fold_run = vask_run(func, engine, fold_after=FOLD_AFTER)
            folded[engine] = timed(fold_run, args.repeat)
            folded_sizes[engine] = fold_run.last_trace_size
            kept[engine] = timed(
                vask_run(func, engine, fold_after=FOLD_AFTER, keep_last=True), args.repeat
            )
            rows.append((labels[engine], full[engine]))
            rows.append((f'{labels[engine]}, values="repr"', reprs[engine]))
            rows.append((f"{labels[engine]}, trivial dumpers", trivial[engine]))
            rows.append((f"{labels[engine]}, folded (fold_after={FOLD_AFTER})", folded[engine]))
            rows.append((f"{labels[engine]}, folded, last kept", kept[engine]))
        if VizTracer is not None:
            rows.append(("viztracer", timed(viztracer_run(func, False), args.repeat)))
            rows.append(
                (
                    "viztracer --log_func_args --log_func_retval",
                    timed(viztracer_run(func, True), args.repeat),
                )
            )
        trace = ", ".join(f"{labels[e]} {sizes[e] / 1e6:.1f} MB" for e in engines)
        count = events["profile"]
        print(f"\n{name}: untraced {base * 1000:.1f} ms; trace {trace}; {count} events")
        print(f"  {'':44s} {'ratio':>8s}  {'time':>9s}     {'ns/event':>8s}")
        for label, seconds in rows:
            # Per event only where events are what the run is made of.
            per_event = f"{(seconds - base) / count * 1e9:8.0f}" if count >= 1000 else f"{'-':>8s}"
            print(f"  {label:44s} {seconds / base:7.2f}x  {seconds * 1000:9.1f} ms  {per_event}")
        noop_t = rows[1][1]
        for engine in engines:
            # Within 5% of untraced, the split is noise.
            if full[engine] > base * 1.05:
                share = (trivial[engine] - base) / (full[engine] - base)
                print(f"  {labels[engine]}: engine's own share beyond the dumpers: {share:.0%}")
        for engine in engines:
            print(f'  {labels[engine]}: "safe" / "repr": {full[engine] / reprs[engine]:.2f}x')
            print(
                f"  {labels[engine]} folded / complete: time {folded[engine] / full[engine]:.2f}x,"
                f" trace {folded_sizes[engine] / 1e6:.2f} MB vs {sizes[engine] / 1e6:.2f} MB"
                f" ({folded_sizes[engine] / max(sizes[engine], 1):.3f}x);"
                f" last kept / folded: {kept[engine] / folded[engine]:.2f}x,"
                f" / complete: {kept[engine] / full[engine]:.2f}x"
            )
        print(f"  VaskProfiler / empty hook: {full['profile'] / noop_t:.2f}x")
        if MONITOR:
            print(f"  VaskMonitor / VaskProfiler: {full['monitor'] / full['profile']:.2f}x")


if __name__ == "__main__":
    main()
