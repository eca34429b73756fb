"""How long another thread waits in gc.collect() while a long call routes, and what the call costs,
for one or two builds of brooklet loaded in one process.

With the GIL off, the collector stops the world: it waits until every thread that runs Python has
stepped aside. A thread that collects garbage (by gc.collect() or automatically) while another
thread is inside a long call waits for as long as that call keeps running without stepping aside.
Here the main thread makes long calls on the paths that route without a hydrograph buffer (a
list, an array('d')) and on the general path (a list whose first item is an int), while a second
thread calls gc.collect() over and over; each line gives the longest of its waits during a call
(the median and the largest over the calls) and the same without a call running.

The cost is the thread CPU time of calls alone, short and long, in interleaved rounds that
alternate which build goes first; each cost line is the median of the per-round ratios (second
build over first) with their range. Results are checked to be identical bit for bit.

Meant for the free-threaded interpreter with the GIL kept off; with the GIL on, the collecting
thread cannot run at all until the call returns.

    PYTHON_GIL=0 python3.13t bench/gc_pause.py [BEFORE.so] AFTER.so [--calls C] [--rounds R]
"""

from __future__ import annotations

import argparse
import array
import gc
import importlib.machinery
import os
import platform
import random
import statistics
import sys
import threading
import time
from datetime import timedelta

HOUR = timedelta(hours=1)


def routing_of(path: str):
    """`muskingum_routing` of the build at `path`, loaded beside any other under the same name."""
    loader = importlib.machinery.ExtensionFileLoader("brooklet", path)
    module = loader.create_module(importlib.machinery.ModuleSpec("brooklet", loader, origin=path))
    return module.reach.muskingum_routing


def inflows(n: int) -> dict[str, object]:
    rng = random.Random(n)
    values = [rng.uniform(50.0, 700.0) for _ in range(n)]
    return {
        "list, no buffer": values,
        "array('d'), no buffer": array.array("d", values),
        "list, general path": [int(values[0]), *values[1:]],  # an int item: read into a buffer
    }


class Collector(threading.Thread):
    """Calls gc.collect() again and again while `collecting` is set; keeps the longest wall time
    of one collection since the last `take_longest`."""

    def __init__(self):
        super().__init__(daemon=True)
        self.collecting, self.stop = threading.Event(), threading.Event()
        self.longest, self.count, self.lock = 0.0, 0, threading.Lock()

    def run(self):
        while not self.stop.is_set():
            if not self.collecting.wait(0.01):
                continue
            started = time.perf_counter()
            gc.collect()
            pause = time.perf_counter() - started
            with self.lock:
                self.longest, self.count = max(self.longest, pause), self.count + 1

    def take_longest(self) -> tuple[float, int]:
        with self.lock:
            longest, count, self.longest, self.count = self.longest, self.count, 0.0, 0
        return longest, count


def longest_pause(collector: Collector, call) -> tuple[float, float, int]:
    """Runs `call` while the collector collects; its wall time and the collector's longest wait."""
    collector.take_longest()
    collector.collecting.set()
    time.sleep(0.02)  # the collector is under way before the call starts
    started = time.perf_counter()
    call()
    wall = time.perf_counter() - started
    collector.collecting.clear()
    time.sleep(0.02)
    longest, count = collector.take_longest()
    return wall, longest, count


def idle_pause(collector: Collector, seconds: float = 0.5) -> float:
    collector.take_longest()
    collector.collecting.set()
    time.sleep(seconds)
    collector.collecting.clear()
    time.sleep(0.02)
    return collector.take_longest()[0]


def calls_per_sample(call) -> int:
    """Calls that take about 20 ms of thread CPU time together, so that a short call is not lost
    in the clock's resolution."""
    started = time.thread_time()
    call()
    once = time.thread_time() - started
    return max(1, min(100_000, round(0.02 / max(once, 1e-7))))


def thread_cpu(call, repeat: int) -> float:
    """Thread CPU seconds per call, over `repeat` calls."""
    started = time.thread_time()
    for _ in range(repeat):
        call()
    return (time.thread_time() - started) / repeat


def describe_cpu() -> str:
    """The processor's model name, family and model, as /proc/cpuinfo gives them."""
    fields = {}
    try:
        with open("/proc/cpuinfo") as info:
            for line in info:
                key, _, value = line.partition(":")
                fields.setdefault(key.strip(), value.strip())
    except OSError:
        return platform.processor() or "unknown CPU"
    return f"{fields.get('model name', 'unknown CPU')}, family {fields.get('cpu family', '?')} model {fields.get('model', '?')}"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("builds", nargs="+", help="one or two brooklet shared objects")
    parser.add_argument("--size", type=int, default=1_600_000, help="values in the inflow")
    parser.add_argument("--passes", type=int, default=4_096, help="sub-reaches of the long calls")
    parser.add_argument("--calls", type=int, default=3, help="long calls per build and path")
    parser.add_argument("--cost-passes", type=int, default=4_096, help="sub-reaches of the longest timed calls")
    parser.add_argument("--rounds", type=int, default=9, help="rounds of the timed calls")
    args = parser.parse_args()
    if len(args.builds) > 2:
        parser.error("one or two builds")
    routes = [routing_of(path) for path in args.builds]
    gil = sys._is_gil_enabled() if hasattr(sys, "_is_gil_enabled") else True
    print(f"{sys.executable} {sys.version.split()[0]}, GIL {'on' if gil else 'off'}; {describe_cpu()}, "
          f"{os.cpu_count()} cores, load average before {os.getloadavg()[0]:.2f}")
    for number, path in enumerate(args.builds, 1):
        print(f"build {number}: {path}")

    cases = inflows(args.size)
    collector = Collector()
    collector.start()
    print(f"gc.collect() without a call running: longest {idle_pause(collector) * 1e3:.1f} ms")
    print(f"\nlongest gc.collect() during a call, n = {args.size:,}, {args.passes:,} sub-reaches "
          f"(median and largest over {args.calls} calls):")
    for name, inflow in cases.items():
        for number, route in enumerate(routes, 1):
            def call(route=route, inflow=inflow):
                route(inflow, 2 * HOUR, 0.2, HOUR, args.passes, 100.0)
            measured = [longest_pause(collector, call) for _ in range(args.calls)]
            walls, pauses, counts = zip(*measured)
            print(f"  {name:22} build {number}: call {statistics.median(walls):.2f} s, longest pause "
                  f"median {statistics.median(pauses) * 1e3:.1f} ms, largest {max(pauses) * 1e3:.1f} ms "
                  f"({min(counts)}-{max(counts)} collections per call)")
    collector.stop.set()

    print(f"\nthread CPU time of a call, no collector ({args.rounds} interleaved rounds):")
    for n, passes in ((100, 1), (10_000, 1), (10_000, 4), (args.size, args.cost_passes)):
        for name, inflow in inflows(n).items():
            calls = [lambda route=route, inflow=inflow: route(inflow, 2 * HOUR, 0.2, HOUR, passes, 100.0)
                     for route in routes]
            results = [[value.hex() for value in call()] for call in calls]
            if any(result != results[0] for result in results):
                raise SystemExit(f"the builds disagree ({name}, n = {n}, {passes} sub-reaches)")
            repeat = calls_per_sample(calls[0])
            times: list[list[float]] = [[] for _ in calls]
            for round_ in range(args.rounds):
                order = range(len(calls)) if round_ % 2 == 0 else reversed(range(len(calls)))
                for index in order:
                    times[index].append(thread_cpu(calls[index], repeat))
            line = (f"  {name:22} n = {n:>9,}, {passes:>5,} sub-reaches: build 1 "
                    f"{statistics.median(times[0]) * 1e6:,.1f} us")
            if len(calls) == 2:
                ratios = [after / before for before, after in zip(*times)]
                line += (f", build 2 / build 1 {statistics.median(ratios):.3f} "
                         f"(range {min(ratios):.3f}-{max(ratios):.3f})")
            print(line, flush=True)
    print(f"load average after {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()
