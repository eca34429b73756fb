"""Two threads routing their own hydrographs at once, against the same two calls one after another.

Meant for the free-threaded interpreter with the GIL kept off (`PYTHON_GIL=0 python3.13t`), where
the two calls can run on two cores; with the GIL on, the ratio shows the calls taking turns.
Wall time is what parallel running saves, so it is what is timed, in interleaved rounds; the
thread CPU time of each call is shown beside it, to show that each call does the same work either
way.

    PYTHON_GIL=0 python3.13t bench/parallel.py [--rounds R] [--sizes N ...] [--sub-reaches S]
"""

from __future__ import annotations

import argparse
import datetime
import os
import random
import statistics
import sys
import threading
import time

import brooklet

HOUR = datetime.timedelta(hours=1)


def route(inflow, sub_reaches, cpu_times, slot):
    started = time.thread_time()
    brooklet.reach.muskingum_routing(inflow, 2 * HOUR, 0.2, HOUR, sub_reaches, inflow[0])
    cpu_times[slot] = time.thread_time() - started


def one_after_another(inflows, sub_reaches, cpu_times):
    started = time.perf_counter()
    for slot, inflow in enumerate(inflows):
        route(inflow, sub_reaches, cpu_times, slot)
    return time.perf_counter() - started


def side_by_side(inflows, sub_reaches, cpu_times):
    start = threading.Barrier(len(inflows) + 1)

    def worker(slot, inflow):
        start.wait()
        route(inflow, sub_reaches, cpu_times, slot)

    threads = [threading.Thread(target=worker, args=(slot, inflow)) for slot, inflow in enumerate(inflows)]
    for thread in threads:
        thread.start()
    start.wait()
    started = time.perf_counter()
    for thread in threads:
        thread.join()
    return time.perf_counter() - started


def measure(n, sub_reaches, rounds):
    rng = random.Random(n)
    inflows = [[rng.uniform(50.0, 700.0) for _ in range(n)] for _ in range(2)]
    ratios, cpu_ratios = [], []
    for round_ in range(rounds):
        sequential_cpu, parallel_cpu = [0.0, 0.0], [0.0, 0.0]
        # Interleaved, alternating which goes first.
        if round_ % 2:
            parallel = side_by_side(inflows, sub_reaches, parallel_cpu)
            sequential = one_after_another(inflows, sub_reaches, sequential_cpu)
        else:
            sequential = one_after_another(inflows, sub_reaches, sequential_cpu)
            parallel = side_by_side(inflows, sub_reaches, parallel_cpu)
        ratios.append(sequential / parallel)
        cpu_ratios.append(sum(parallel_cpu) / sum(sequential_cpu))
    return ratios, cpu_ratios


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=15)
    parser.add_argument("--sizes", type=int, nargs="*", default=[10**5, 10**6])
    parser.add_argument("--sub-reaches", type=int, default=64)
    args = parser.parse_args()
    gil = sys._is_gil_enabled() if hasattr(sys, "_is_gil_enabled") else True
    print(f"{sys.executable} {sys.version.split()[0]}, GIL {'on' if gil else 'off'}, {os.cpu_count()} cores, "
          f"load average before {os.getloadavg()[0]:.2f}")
    for n in args.sizes:
        ratios, cpu_ratios = measure(n, args.sub_reaches, args.rounds)
        quartiles = statistics.quantiles(ratios, n=4)
        print(f"n = {n:,}, {args.sub_reaches} sub-reaches: two calls one after another / side by side "
              f"{statistics.median(ratios):.2f}x (median of {len(ratios)} rounds; quartiles "
              f"{quartiles[0]:.2f}-{quartiles[2]:.2f}, range {min(ratios):.2f}-{max(ratios):.2f}); "
              f"CPU time side by side / one after another {statistics.median(cpu_ratios):.2f}")
    print(f"load average after {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()
