"""Benchmark brooklet against the floor and against what a hydrologist would otherwise use.

Every contender is timed in this one process on the same inputs, with thread CPU time, in
interleaved rounds: each round runs every contender of one input once, in an order that rotates
from round to round. Each figure is the median of the per-round ratios, with their range
(min-max), so that a slow spell of the machine hits all contenders of a round alike.

    python bench/run.py [--quick] [--write] [--sections list,passes,numpy,memory] [--rounds N]

--quick runs smaller inputs; --write replaces bench/results.md and bench/results.png (`make
bench` asks for it; without it the report is only printed). NumPy, SciPy and matplotlib
(bench/requirements.txt) are installed into the running interpreter's environment when missing.
"""

from __future__ import annotations

import argparse
import array
import datetime
import gc
import importlib
import importlib.util
import os
import platform
import random
import statistics
import struct
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
HOUR = datetime.timedelta(hours=1)
X = 0.2
INITIAL_OUTFLOW = 10.0
NUMPY_PASSES = (1, 2, 4, 8, 16, 64, 256)
LIST_PASSES = (1, 16, 64, 256)
# Cost of a list of 10^6 values through this many sub-reaches, as a ratio to one sub-reach.
PASS_TARGETS = {16: 1.1, 64: 1.35, 256: 2.0}
SECTIONS = ("list", "passes", "numpy", "memory")


def ensure_requirements(need_chart: bool) -> None:
    """Installs bench/requirements.txt into this interpreter's environment when a module is missing."""
    needed = ["numpy", "scipy"] + (["matplotlib"] if need_chart else [])
    missing = [name for name in needed if importlib.util.find_spec(name) is None]
    if missing:
        print(f"installing {', '.join(missing)} (bench/requirements.txt) into {sys.prefix}", file=sys.stderr)
        subprocess.run([sys.executable, "-m", "pip", "install", "--quiet", "--disable-pip-version-check",
                        "-r", str(HERE / "requirements.txt")], check=True)
        importlib.invalidate_caches()


def coefficients(k_seconds: float, dt_seconds: float, x: float) -> tuple[float, float, float]:
    twice = k_seconds + k_seconds
    a = (1.0 - x) * twice
    b = twice * x
    d = a + dt_seconds
    return (dt_seconds - b) / d, (b + dt_seconds) / d, (a - dt_seconds) / d


def pure_python(inflow, passes: int) -> list[float]:
    """The loop a user writes by hand, pass after pass."""
    c0, c1, c2 = coefficients(2 * 3600.0 / passes, 3600.0, X)
    current = list(inflow)
    for _ in range(passes):
        out = [INITIAL_OUTFLOW]
        o = INITIAL_OUTFLOW
        previous = current[0]
        for i in current[1:]:
            o = c2 * o + (c1 * previous + c0 * i)
            out.append(o)
            previous = i
        current = out
    return current


def scipy_routing(inflow, passes: int):
    """lfilter for one pass, sosfilt with one first-order section per pass."""
    import numpy as np
    from scipy import signal

    c0, c1, c2 = coefficients(2 * 3600.0 / passes, 3600.0, X)
    o0, i0 = INITIAL_OUTFLOW, inflow[0]
    if passes == 1:
        out, _ = signal.lfilter([c0, c1], [1.0, -c2], inflow, zi=[o0 - c0 * i0])
        return out
    sos = np.tile([c0, c1, 0.0, 1.0, -c2, 0.0], (passes, 1))
    zi = np.zeros((passes, 2))
    zi[0, 0] = o0 - c0 * i0
    zi[1:, 0] = o0 * (1.0 - c0)  # every later pass starts from the same outflow
    out, _ = signal.sosfilt(sos, inflow, zi=zi)
    return out


def brooklet_call(values, passes: int):
    import brooklet

    return brooklet.reach.muskingum_routing(values, 2 * HOUR, X, HOUR, passes, INITIAL_OUTFLOW)


def check_same_work(passes: int) -> None:
    import numpy as np

    values = np.random.default_rng(passes).uniform(0, 1000, 5000)
    ours = np.array(brooklet_call(values, passes))
    theirs = scipy_routing(values, passes)
    worst = float(np.max(np.abs(ours - theirs) / np.maximum(np.abs(ours), 1.0)))
    if worst > 1e-9:
        raise SystemExit(f"SciPy disagrees with brooklet by {worst:.3g} (passes={passes})")


# ------------------------------------------------------------------ timing

def load_average() -> tuple[float, float, float]:
    return os.getloadavg()


def loaded(load: tuple[float, float, float]) -> bool:
    """More runnable work than this benchmark (one thread) and a spare core can absorb."""
    return load[0] > (os.cpu_count() or 1) - 0.5


def calls_per_sample(fn) -> int:
    """Calls of `fn` that take about 5 ms of thread CPU time together, so that a sample of a short
    call is not lost in the clock's resolution and the cost of reading it."""
    start = time.thread_time()
    fn()
    once = time.thread_time() - start
    return max(1, min(10_000, round(0.005 / max(once, 1e-7))))


def interleaved(contenders: dict, rounds: int) -> dict[str, list[float]]:
    """Thread CPU seconds per call of each contender, one sample per round, in rotating order."""
    names = list(contenders)
    times = {name: [] for name in names}
    for fn in contenders.values():  # warm up: first-touch page faults, imports, caches
        fn()
    repeat = {name: calls_per_sample(fn) for name, fn in contenders.items()}
    for r in range(rounds):
        order = names[r % len(names):] + names[:r % len(names)]
        for name in order:
            fn, calls = contenders[name], repeat[name]
            gc.collect()
            start = time.thread_time()
            if calls == 1:
                result = fn()
            else:
                for _ in range(calls):
                    fn()
                result = None
            times[name].append((time.thread_time() - start) / calls)
            del result  # a single long call's result is freed outside the timed region
    return times


def ratio(times: dict[str, list[float]], numerator: str, denominator: str) -> tuple[float, float, float]:
    """Median, minimum and maximum of the per-round ratios."""
    ratios = [a / b for a, b in zip(times[numerator], times[denominator])]
    return statistics.median(ratios), min(ratios), max(ratios)


def fmt_ratio(stats: tuple[float, float, float]) -> str:
    median, low, high = stats
    return f"{median:.2f} ({low:.2f}–{high:.2f})"


def ms(seconds: list[float]) -> str:
    return f"{statistics.median(seconds) * 1e3:.3f}"


class Report:
    def __init__(self) -> None:
        self.lines: list[str] = []
        self.chart: dict = {}

    def add(self, *lines: str) -> None:
        for line in lines:
            print(line, flush=True)
            self.lines.append(line)

    def load_line(self, before, after) -> None:
        state = "LOADED" if loaded(before) or loaded(after) else "not loaded"
        self.add(f"Load average (1, 5, 15 min) before: {before[0]:.2f} {before[1]:.2f} {before[2]:.2f}, "
                 f"after: {after[0]:.2f} {after[1]:.2f} {after[2]:.2f} — machine {state}.", "")


# ------------------------------------------------------------------ sections

def section_list(report: Report, sizes: list[int], rounds: int, python_limit: int) -> None:
    report.add("## Lists of floats, one pass, against the floor", "",
               "`floor` is `array('d', v).tolist()`: reading n floats and making a list of n floats.", "",
               "| n | floor ms | brooklet ms | brooklet / floor | pure Python / brooklet |",
               "| ---: | ---: | ---: | ---: | ---: |")
    rng = random.Random(7)
    before = load_average()
    for n in sizes:
        values = [rng.uniform(0, 1000) for _ in range(n)]
        contenders = {"floor": lambda: array.array("d", values).tolist(),
                      "brooklet": lambda: brooklet_call(values, 1)}
        if n <= python_limit:
            contenders["pure Python"] = lambda: pure_python(values, 1)
        times = interleaved(contenders, rounds if n < 10**7 else max(3, rounds // 2))
        python = fmt_ratio(ratio(times, "pure Python", "brooklet")) if "pure Python" in times else "-"
        report.add(f"| {n:,} | {ms(times['floor'])} | {ms(times['brooklet'])} | "
                   f"{fmt_ratio(ratio(times, 'brooklet', 'floor'))} | {python} |")
        report.chart.setdefault("list", []).append((n, times))
    report.add("")
    report.load_line(before, load_average())


def section_passes(report: Report, n: int, rounds: int) -> None:
    report.add(f"## A list of {n:,} values through several sub-reaches", "",
               "Ratios to the same call with one sub-reach, measured in the same rounds.", "",
               "| sub-reaches | brooklet ms | ratio to one | target | met |", "| ---: | ---: | ---: | ---: | :---: |")
    rng = random.Random(11)
    values = [rng.uniform(0, 1000) for _ in range(n)]
    contenders = {f"{p}": (lambda p=p: brooklet_call(values, p)) for p in LIST_PASSES}
    before = load_average()
    times = interleaved(contenders, rounds)
    after = load_average()
    for p in LIST_PASSES:
        stats = ratio(times, f"{p}", "1")
        target = PASS_TARGETS.get(p)
        met = "-" if target is None else ("yes" if stats[0] <= target else "NO")
        report.add(f"| {p} | {ms(times[f'{p}'])} | {fmt_ratio(stats)} | "
                   f"{'-' if target is None else f'≤ {target}'} | {met} |")
    report.add("")
    report.load_line(before, after)


def section_numpy(report: Report, sizes: list[int], rounds: int) -> None:
    import numpy as np

    for passes in (1, 16):
        check_same_work(passes)
    report.add("## NumPy float64 input against SciPy", "",
               "SciPy is `lfilter` for one pass and `sosfilt` with one first-order section per pass,",
               "each followed by `.tolist()` (checked to agree with brooklet to 1e-9). The floor is",
               "`arr.tolist()`.", "")
    for n in sizes:
        values = np.random.default_rng(3).uniform(0, 1000, n)
        contenders = {"floor": lambda: values.tolist()}
        for p in NUMPY_PASSES:
            contenders[f"brooklet {p}"] = lambda p=p: brooklet_call(values, p)
            contenders[f"SciPy {p}"] = lambda p=p: scipy_routing(values, p).tolist()
        before = load_average()
        times = interleaved(contenders, rounds if n < 10**7 else max(3, rounds // 2))
        after = load_average()
        report.add(f"### n = {n:,}", "",
                   f"Floor `arr.tolist()`: {ms(times['floor'])} ms; brooklet with one pass / floor: "
                   f"{fmt_ratio(ratio(times, 'brooklet 1', 'floor'))}.", "",
                   "| passes | brooklet ms | brooklet / one pass | SciPy ms | SciPy / brooklet |",
                   "| ---: | ---: | ---: | ---: | ---: |")
        for p in NUMPY_PASSES:
            report.add(f"| {p} | {ms(times[f'brooklet {p}'])} | "
                       f"{fmt_ratio(ratio(times, f'brooklet {p}', 'brooklet 1'))} | "
                       f"{ms(times[f'SciPy {p}'])} | {fmt_ratio(ratio(times, f'SciPy {p}', f'brooklet {p}'))} |")
        report.add("")
        report.load_line(before, after)
        report.chart.setdefault("numpy", []).append((n, times))


def float_in_list_bytes() -> int:
    """A float in a list: the list's pointer plus the float's block from the object allocator,
    whose blocks are multiples of 16 bytes on 64-bit platforms and of 8 on 32-bit ones."""
    pointer = struct.calcsize("P")
    alignment = 16 if pointer == 8 else 8
    return pointer + -(-sys.getsizeof(1.0) // alignment) * alignment


MEMORY_PROBE = """
import datetime, sys, numpy as np, brooklet

def status(field):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith(field))

n, passes, kind, warm = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3], sys.argv[4] == "warm"
route = brooklet.reach.muskingum_routing
hour = datetime.timedelta(hours=1)
if warm:  # a first call loads what later calls may use
    route([1.0, 2.0], 2 * hour, 0.2, hour, 2, 10.0)
values = np.random.default_rng(1).uniform(0, 1000, n)
if kind == "list":
    values = values.tolist()
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")  # restart the peak resident size from the current one
before = status("VmRSS:")
out = route(values, 2 * hour, 0.2, hour, passes, 10.0)
print(status("VmHWM:") - before)
"""

# (input kind, sub-reaches, warm): the first call of a process reads its inflow into a buffer of n
# doubles, because only that path loads the datetime API; later calls with plain arguments make
# the result list with no buffer at all.
MEMORY_CASES = (("numpy", 64, "first"), ("numpy", 64, "warm"), ("list", 1, "warm"))


def section_memory(report: Report, n: int) -> None:
    """Peak RSS growth of one call, each in a fresh process."""
    per_float = float_in_list_bytes()
    list_bytes = n * per_float
    buffer = n * 8
    mb = 1024 * 1024
    lines = [f"One call on n = {n:,} values; the result list takes {list_bytes / mb:.0f} MB ({per_float} "
             f"bytes a float: its pointer in the list, {struct.calcsize('P')} bytes, and its block), a buffer "
             f"of n doubles {buffer / mb:.0f} MB.", "",
             "| input | sub-reaches | call | peak over the process before the call | over the result list |",
             "| --- | ---: | --- | ---: | ---: |"]
    for kind, passes, warm in MEMORY_CASES:
        grown = int(subprocess.run([sys.executable, "-c", MEMORY_PROBE, str(n), str(passes), kind, warm],
                                   check=True, capture_output=True, text=True).stdout)
        call = "first of the process" if warm == "first" else "later"
        lines.append(f"| {kind} | {passes} | {call} | {grown / mb:.0f} MB | {(grown - list_bytes) / mb:+.1f} MB |")
    report.add("## Peak memory", "", *lines, "")


# ------------------------------------------------------------------ output

def machine_line() -> str:
    import numpy as np
    import scipy

    return (f"Machine: {platform.processor() or platform.machine()}, {os.cpu_count()} cores, "
            f"{platform.python_implementation()} {platform.python_version()} ({sys.platform}), "
            f"NumPy {np.__version__}, SciPy {scipy.__version__}.")


def draw_chart(chart: dict, path: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(1, 2, figsize=(13, 5))
    left, right = axes
    for name in ("floor", "brooklet", "pure Python"):
        points = [(n, statistics.median(times[name]) / n * 1e9) for n, times in chart.get("list", [])
                  if name in times]
        if points:
            left.plot(*zip(*points), marker="o", label=name if name != "floor" else "floor: array('d', v).tolist()")
    left.set_xscale("log")
    left.set_yscale("log")
    left.set_xlabel("hydrograph length n")
    left.set_ylabel("time per value (ns)")
    left.set_title("list input, one pass")
    for n, times in chart.get("numpy", []):
        for tool in ("brooklet", "SciPy"):
            points = [(p, statistics.median(times[f"{tool} {p}"]) / n * 1e9) for p in NUMPY_PASSES]
            right.plot(*zip(*points), marker="o", label=f"{tool}, n = {n:,}")
    right.set_xscale("log", base=2)
    right.set_yscale("log")
    right.set_xlabel("sub-reaches")
    right.set_ylabel("time per value (ns)")
    right.set_title("NumPy float64 input, result as a list")
    for ax in axes:
        ax.grid(True, which="both", alpha=0.3)
        ax.legend(fontsize=7)
    fig.tight_layout()
    fig.savefig(path, dpi=110)


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="smaller inputs, for a smoke run")
    parser.add_argument("--write", action="store_true", help="replace bench/results.md and bench/results.png")
    parser.add_argument("--sections", default=",".join(SECTIONS),
                        help=f"comma-separated subset of {', '.join(SECTIONS)}")
    parser.add_argument("--rounds", type=int, default=None, help="interleaved rounds per input")
    args = parser.parse_args()
    sections = [s for s in args.sections.split(",") if s]
    if unknown := set(sections) - set(SECTIONS):
        parser.error(f"unknown sections: {', '.join(sorted(unknown))}")
    ensure_requirements(need_chart=args.write)

    rounds = args.rounds or (5 if args.quick else 9)
    report = Report()
    report.add("# brooklet benchmark", "", machine_line(), "",
               "Thread CPU time, interleaved rounds (every contender of an input once per round, in",
               f"rotating order), {rounds} rounds per input (half as many at 10^7 values); each ratio is",
               "the median of the per-round ratios with their range (min–max).", "")
    if "list" in sections:
        sizes = [10**k for k in range(2, 6 if args.quick else 8)]
        section_list(report, sizes, rounds, python_limit=10**4 if args.quick else 10**6)
    if "passes" in sections:
        section_passes(report, 10**6, rounds)
    if "numpy" in sections:
        section_numpy(report, [10**5, 10**6] if args.quick else [10**6, 10**7], max(3, rounds // 2) if args.quick else rounds)
    if "memory" in sections:
        section_memory(report, 10**6 if args.quick else 10**7)
    if args.write:
        report.add("![time per value](results.png)", "")
        (HERE / "results.md").write_text("\n".join(report.lines))
        draw_chart(report.chart, HERE / "results.png")
        print(f"wrote {HERE / 'results.md'} and {HERE / 'results.png'}", file=sys.stderr)


if __name__ == "__main__":
    main()
