"""Two builds of brooklet in one process, on the same inputs: the time of the second build over the
first for lists, tuples and NumPy arrays of 10^2 to 10^6 values through 1 to 256 sub-reaches, with
every result checked to be identical bit for bit. Thread CPU time, in interleaved rounds that
alternate which build goes first; each line is the median of the per-round ratios with their range.
Without NumPy (as in the 32-bit target root) the arrays are left out and the values drawn by Python.

    python bench/compare_builds.py BEFORE.so AFTER.so
"""

from __future__ import annotations

import gc
import importlib.machinery
import os
import random
import statistics
import sys
import time
from datetime import timedelta

try:
    import numpy as np
except ImportError:
    np = None

from run import calls_per_sample

HOUR = timedelta(hours=1)
SIZES = (10**2, 10**3, 10**4, 10**5, 10**6)
PASSES = (1, 4, 16, 64, 256)


def routing_of(path: str):
    """`muskingum_routing` of the build at `path`, loaded beside any other under the same name."""
    loader = importlib.machinery.ExtensionFileLoader("brooklet", path)
    module = loader.create_module(importlib.machinery.ModuleSpec("brooklet", loader, origin=path))
    return module.reach.muskingum_routing


def per_call(fn, calls: int) -> float:
    gc.collect()
    start = time.thread_time()
    for _ in range(calls):
        fn()
    return (time.thread_time() - start) / calls


def compare(before, after, values, passes: int, rounds: int) -> list[float]:
    def call(route):
        return lambda: route(values, 2 * HOUR, 0.2, HOUR, passes, 10.0)

    first, second = call(before), call(after)
    if [v.hex() for v in first()] != [v.hex() for v in second()]:
        raise SystemExit(f"the builds disagree ({type(values).__name__}, n={len(values)}, passes={passes})")
    calls = calls_per_sample(first)
    ratios = []
    for r in range(rounds):
        if r % 2:
            old, new = per_call(first, calls), per_call(second, calls)
        else:
            new, old = per_call(second, calls), per_call(first, calls)
        ratios.append(new / old)
    return ratios


def main() -> None:
    before, after = routing_of(sys.argv[1]), routing_of(sys.argv[2])
    print(f"load average before {os.getloadavg()[0]:.2f}" + ("" if np else "; no NumPy: lists and tuples only"))
    rng, draw = (np.random.default_rng(3) if np else None), random.Random(3)
    worst = None
    for n in SIZES:
        base = rng.uniform(0, 1000, n) if np else [draw.uniform(0, 1000) for _ in range(n)]
        values = base.tolist() if np else base
        kinds = {"list": values, "tuple": tuple(values)} | ({"numpy": base} if np else {})
        for kind, values in kinds.items():
            for passes in PASSES:
                ratios = compare(before, after, values, passes, rounds=7 if n < 10**6 else 5)
                median = statistics.median(ratios)
                print(f"{kind:>5} n={n:>9,} passes={passes:>3}: after / before {median:.2f} "
                      f"({min(ratios):.2f}-{max(ratios):.2f})", flush=True)
                worst = max(worst or (median, ""), (median, f"{kind} n={n:,} passes={passes}"))
    print(f"load average after {os.getloadavg()[0]:.2f}; slowest after / before: {worst[0]:.2f} ({worst[1]})")


if __name__ == "__main__":
    main()
