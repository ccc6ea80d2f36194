"""The value dumpers side by side: native, the former Python ones, msgpack.packb and repr.

    python bench/bench_dumpers.py [--repeat N] [--leak]

For each value: nanoseconds per call of the native ``dump_msgpack`` (and its
lightweight form), of the Python implementation vask had before
(``serialize_main.py``), of ``msgpack.packb`` (objects through
``default=repr``) and of ``repr``, all in one process; then the ratios the
targets speak of: the Python dumper's time over the native one's (at least
4x on built-in values), and the native dumper's time over ``repr``'s (at
most 1.5x on values that are mostly objects).

``--leak`` runs ten million dumps of mixed values and prints the process's
memory every million.
"""

from __future__ import annotations

import argparse
import dataclasses
import gc
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import msgpack
import serialize_main
import workloads
from vask import serialize

# The former dumpers redact with their own names; both run with the defaults.


@dataclasses.dataclass
class Item:
    sku: str
    quantity: int
    price: float


class Opaque:
    """An object with the default repr."""


ITEMS = [Item(f"SKU-{i:04d}", i, i * 1.25) for i in range(40)]
VALUES: list[tuple[str, object, bool]] = [
    # (label, value, built-in values only)
    ("{'total': 123, 'rate': 5}", {"total": 123, "rate": 5}, True),
    ("{'item': <dataclass>}", {"item": ITEMS[0]}, False),
    ("{'items': [40 dataclasses]}", {"items": ITEMS}, False),
    (
        "locals: self, ints, text, list",
        {"self": Opaque(), "n": 3, "name": "order", "values": [1, 2, 3]},
        False,
    ),
    ("list of 100 ints", list(range(100)), True),
    ("list of 100 texts", [f"text number {i}" for i in range(100)], True),
    ("list of 10,000 ints (cut)", list(range(10_000)), True),
    (
        "nested dicts, 3 levels",
        {
            f"k{i}": {f"j{j}": {"a": j, "b": [i, j], "c": "x" * 20} for j in range(5)}
            for i in range(5)
        },
        True,
    ),
    ("tuple of floats and None", (1.5, None, 2.5, None, 3.5), True),
    ("100-char text", "x" * 100, True),
]


def per_call(function, value, repeat: int) -> float:
    """Nanoseconds per call, best of ``repeat`` rounds of about 50 ms."""
    loops = 1
    while True:
        t0 = time.perf_counter()
        for _ in range(loops):
            function(value)
        elapsed = time.perf_counter() - t0
        if elapsed > 0.05:
            break
        loops *= 2
    best = elapsed / loops
    for _ in range(repeat - 1):
        gc.collect()
        t0 = time.perf_counter()
        for _ in range(loops):
            function(value)
        best = min(best, (time.perf_counter() - t0) / loops)
    return best * 1e9


def packb(value):
    return msgpack.packb(value, default=repr)


def run_table(repeat: int) -> None:
    print(f"Python {sys.version.split()[0]}, best of {repeat}, nanoseconds per call")
    columns = ("native", "light", "Python", "packb", "repr", "Python/native", "native/repr")
    print(f"{'value':34s}" + "".join(f"{c:>14s}" for c in columns))
    for label, value, builtin in VALUES:
        native = per_call(serialize.dump_msgpack, value, repeat)
        light = per_call(serialize.dump_msgpack_lightweight_repr, value, repeat)
        former = per_call(serialize_main.dump_msgpack, value, repeat)
        packed = per_call(packb, value, repeat)
        shown = per_call(repr, value, repeat)
        cells = [
            f"{native:14.0f}",
            f"{light:14.0f}",
            f"{former:14.0f}",
            f"{packed:14.0f}",
            f"{shown:14.0f}",
            f"{former / native:13.1f}x",
            f"{native / shown:13.2f}x",
        ]
        mark = "" if builtin else "  (objects)"
        print(f"{label:34s}" + "".join(cells) + mark)


class Account:
    """A plain object with a few fields and the default repr."""

    def __init__(self, i: int) -> None:
        self.owner = f"owner {i}"
        self.balance = i * 10
        self.tags = ["a", "b"]


OBJECT_VALUES = [
    ("a dataclass", ITEMS[0]),
    ("{'items': [40 dataclasses]}", {"items": ITEMS}),
    ("a plain object, 3 fields", Account(1)),
    ("a Vector of the user-code workload", workloads.Vector(1.0, 0.5)),
    ("a grammar element (repr 2^7 nodes)", workloads.grammar_heavy.__globals__["_grammar"](6)),
]


def run_objects(repeat: int) -> None:
    """Objects by their fields ("safe") against their repr ("repr" and repr() itself)."""
    print(f"\nObjects, nanoseconds per call")
    columns = ("safe", "fields", "repr mode", "repr()", "safe/repr()", "safe/repr mode")
    print(f"{'value':38s}" + "".join(f"{c:>15s}" for c in columns))
    for label, value in OBJECT_VALUES:
        times = {}
        for mode in ("safe", "fields", "repr"):
            serialize.configure_values(mode)
            times[mode] = per_call(serialize.dump_msgpack, value, repeat)
        serialize.configure_values()
        shown = per_call(repr, value, repeat)
        cells = [
            f"{times['safe']:15.0f}",
            f"{times['fields']:15.0f}",
            f"{times['repr']:15.0f}",
            f"{shown:15.0f}",
            f"{times['safe'] / shown:14.2f}x",
            f"{times['safe'] / times['repr']:14.2f}x",
        ]
        print(f"{label:38s}" + "".join(cells))


def _rss_mib() -> float:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20


def run_leak() -> None:
    values = [value for _, value, _ in VALUES if not isinstance(value, list) or len(value) < 1000]
    values += [{"password": "x", "self": Opaque()}, (ITEMS[0], {1, 2}), 2**100]
    dumps = (serialize.dump_msgpack, serialize.dump_msgpack_lightweight_repr)
    n = 0
    print(f"{'dumps':>12s}  {'RSS MiB':>8s}  {'blocks':>10s}")
    for million in range(1, 11):
        while n < million * 1_000_000:
            for value in values:
                for dump in dumps:
                    dump(value)
            n += 2 * len(values)
        gc.collect()
        print(f"{n:12,d}  {_rss_mib():8.1f}  {sys.getallocatedblocks():10,d}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--leak", action="store_true", help="watch memory over 10 million dumps")
    parser.add_argument("--objects", action="store_true", help="only the table of objects")
    args = parser.parse_args()
    if args.leak:
        run_leak()
    elif args.objects:
        run_objects(args.repeat)
    else:
        serialize.configure_values("repr", (), 0)  # the table compares reprs as before
        run_table(args.repeat)
        serialize.configure_values()
        run_objects(args.repeat)


if __name__ == "__main__":
    main()
