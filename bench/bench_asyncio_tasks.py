"""What recording asyncio tasks costs: the built-in task plugins on and off.

    python bench/bench_asyncio_tasks.py [--repeat N]

Runs in one process, side by side, for each engine available: an asyncio
program of 5,000 gathered tasks (two steps each), and a plain loop of
100,000 calls, each traced with the task plugins of vask.asynctasks left out
of the built-in plugins and with them in. Prints the best time of each and
the ratio; the plain program's ratio shows that a program without asyncio
pays nothing for them.
"""

from __future__ import annotations

import argparse
import asyncio
import os
import sys
import time

from vask import plugins
from vask.profiler import create


async def leaf(i: int) -> int:
    await asyncio.sleep(0)
    return i


async def fetch(i: int) -> int:
    return await leaf(i)


async def gathered(n: int) -> list[int]:
    return await asyncio.gather(*(fetch(i) for i in range(n)))


def plain(n: int) -> int:
    def step(i: int) -> int:
        return i + 1

    return sum(step(i) for i in range(n))


def timed(engine: str, program: str, with_tasks: bool, n: int) -> float:
    saved = list(plugins.BUILTIN_PLUGINS)
    if not with_tasks:
        plugins.BUILTIN_PLUGINS[:] = [d for d in saved if d.get("subtype") != "asyncio"]
    try:
        config = {"threading": False, "fold_after": False}
        recorder = create(engine, config=config, db_path=os.devnull)
        recorder.start()
        start = time.perf_counter()
        if program == "asyncio":
            asyncio.run(gathered(n))
        else:
            plain(n)
        elapsed = time.perf_counter() - start
        recorder.stop()
        return elapsed
    finally:
        plugins.BUILTIN_PLUGINS[:] = saved


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    engines = ["profile"] + (["monitor"] if sys.version_info >= (3, 12) else [])
    for engine in engines:
        for program, n in (("asyncio", 5_000), ("plain", 100_000)):
            off = min(timed(engine, program, False, n) for _ in range(args.repeat))
            on = min(timed(engine, program, True, n) for _ in range(args.repeat))
            print(
                f"{engine:8} {program:8} task plugins off {off * 1e3:8.1f} ms, "
                f"on {on * 1e3:8.1f} ms, ratio {on / off:.2f}"
            )


if __name__ == "__main__":
    main()
