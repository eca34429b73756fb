"""Two threads routing their own hydrographs at once, against the same two calls one after another.

Meant for the free-threaded interpreter with the GIL kept off (`PYTHON_GIL=0 python3.13t`), where
the two calls can run on two cores; with the GIL on, the ratio shows the calls taking turns.
Wall time is what parallel running saves, so it is what is timed, in interleaved rounds; the
thread CPU time of the calls is compared too, to show that they do the same work either way. Two
worker threads live through all rounds, so that both ways use threads whose memory is warm: one
worker makes both calls one after another, or each worker makes one call at the same time.

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


class Worker(threading.Thread):
    """Routes the hydrographs it is given when the round starts; keeps no result."""

    def __init__(self, sub_reaches):
        super().__init__(daemon=True)
        self.sub_reaches, self.jobs, self.cpu = sub_reaches, [], 0.0
        self.start_round, self.end_round = threading.Event(), threading.Event()

    def run(self):
        while True:
            self.start_round.wait()
            self.start_round.clear()
            started = time.thread_time()
            for inflow in self.jobs:
                brooklet.reach.muskingum_routing(inflow, 2 * HOUR, 0.2, HOUR, self.sub_reaches, inflow[0])
            self.cpu = time.thread_time() - started
            self.end_round.set()


def run_round(workers, assignment):
    """Wall time until every worker has routed its share; total thread CPU time."""
    for worker, jobs in zip(workers, assignment):
        worker.jobs = jobs
        worker.end_round.clear()
    started = time.perf_counter()
    for worker in workers:
        worker.start_round.set()
    for worker in workers:
        worker.end_round.wait()
    return time.perf_counter() - started, sum(worker.cpu for worker in workers)


def measure(n, sub_reaches, rounds):
    rng = random.Random(n)
    inflows = [[rng.uniform(50.0, 700.0) for _ in range(n)] for _ in range(2)]
    workers = [Worker(sub_reaches) for _ in range(2)]
    for worker in workers:
        worker.start()
    one_after_another = [inflows, []]
    side_by_side = [[inflows[0]], [inflows[1]]]
    run_round(workers, side_by_side)  # warm-up
    ratios, cpu_ratios = [], []
    for round_ in range(rounds):
        order = (one_after_another, side_by_side) if round_ % 2 else (side_by_side, one_after_another)
        (first, first_cpu), (second, second_cpu) = (run_round(workers, assignment) for assignment in order)
        sequential, parallel = (second, first) if round_ % 2 == 0 else (first, second)
        sequential_cpu, parallel_cpu = (second_cpu, first_cpu) if round_ % 2 == 0 else (first_cpu, second_cpu)
        ratios.append(sequential / parallel)
        cpu_ratios.append(parallel_cpu / sequential_cpu)
    return ratios, cpu_ratios


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=21)
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
