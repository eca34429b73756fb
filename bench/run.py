"""Benchmark brooklet against what a hydrologist would otherwise use.

Every contender is timed in this one process on the same inputs, and reported
as a ratio to a baseline: the cheapest possible call that reads n floats and
makes a list of n floats (`array.array('d', values).tolist()` for list and tuple
input, `arr.tolist()` for NumPy input). Writes bench/results.md and
bench/results.png next to this file.

    python bench/run.py [--quick]
"""

from __future__ import annotations

import argparse
import array
import datetime
import math
import os
import platform
import random
import statistics
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
from scipy import signal

import brooklet

HERE = Path(__file__).resolve().parent
HOUR = datetime.timedelta(hours=1)
X = 0.2
INITIAL_OUTFLOW = 10.0
PASSES = (1, 4, 16, 64, 256)


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


def scipy_routing(inflow: np.ndarray, passes: int) -> np.ndarray:
    """lfilter for one pass, sosfilt with one first-order section per pass."""
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
    return brooklet.reach.muskingum_routing(values, 2 * HOUR, X, HOUR, passes, INITIAL_OUTFLOW)


def median_time(fn, budget: float) -> float:
    """Median of repeated runs: at least 3, more while they fit in the budget."""
    times = []
    start = time.perf_counter()
    while len(times) < 3 or (time.perf_counter() - start < budget and len(times) < 25):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return statistics.median(times)


def check_same_work(values: np.ndarray, passes: int) -> None:
    ours = np.array(brooklet_call(values, passes))
    theirs = scipy_routing(values, passes)
    scale = np.maximum(np.abs(ours), 1.0)
    worst = float(np.max(np.abs(ours - theirs) / scale))
    if worst > 1e-9:
        raise SystemExit(f"SciPy disagrees with brooklet by {worst:.3g} (passes={passes})")


def contenders(kind: str, values, passes: int, n: int):
    """(name, callable, estimated seconds per call or None) for one input."""
    if kind == "numpy":
        floor = ("floor: arr.tolist()", lambda: values.tolist())
        scipy_in = values
    else:
        floor = ("floor: array('d', v).tolist()", lambda: array.array("d", values).tolist())
        scipy_in = None
    rows = [floor, (f"brooklet", lambda: brooklet_call(values, passes))]
    rows.append(("pure Python", lambda: pure_python(values, passes), 80e-9 * n * passes))
    if scipy_in is not None:
        rows.append(("SciPy + tolist", lambda: scipy_routing(scipy_in, passes).tolist(), 4e-9 * n * passes))
    else:
        rows.append(("SciPy (from list) + tolist",
                     lambda: scipy_routing(np.asarray(values, dtype=float), passes).tolist(),
                     4e-9 * n * passes))
    return [(r[0], r[1], r[2] if len(r) > 2 else None) for r in rows]


def peak_memory_report(n: int, passes: int) -> str:
    """Peak RSS growth of one call on a NumPy input, in a fresh process."""
    code = f"""
import datetime, numpy as np, brooklet

def status(field):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith(field))

values = np.random.default_rng(1).uniform(0, 1000, {n})
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")  # restart the peak resident size from the current one
before = status("VmRSS:")
out = brooklet.reach.muskingum_routing(values, datetime.timedelta(hours=2), 0.2,
                                       datetime.timedelta(hours=1), {passes}, 10.0)
print(status("VmHWM:") - before)
"""
    grown = int(subprocess.run([sys.executable, "-c", code], check=True, capture_output=True,
                               text=True).stdout)
    list_bytes = n * (8 + sys.getsizeof(1.0))  # pointers plus float objects
    buffers = 2 * n * 8
    mb = 1024 * 1024
    return (f"Peak memory of one call, n = {n:,}, sub_reaches = {passes} (NumPy input): "
            f"{grown / mb:.0f} MB over the process before the call; result list {list_bytes / mb:.0f} MB "
            f"+ two buffers of n doubles {buffers / mb:.0f} MB = {(list_bytes + buffers) / mb:.0f} MB; "
            f"slack {(grown - list_bytes - buffers) / mb:+.1f} MB.")


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="smaller sizes, for a smoke run")
    args = parser.parse_args()
    sizes = [10**2, 10**3, 10**4, 10**5] if args.quick else [10**2, 10**3, 10**4, 10**5, 10**6, 10**7]
    budget_per_call = 2.0 if args.quick else 20.0
    rng = random.Random(7)

    for passes in (1, 16):
        check_same_work(np.array([rng.uniform(0, 1000) for _ in range(5000)]), passes)

    results = []  # (kind, n, passes, contender, seconds)
    for n in sizes:
        base = [rng.uniform(0, 1000) for _ in range(n)]
        inputs = {"list": base, "tuple": tuple(base), "numpy": np.array(base)}
        for kind, values in inputs.items():
            for passes in PASSES:
                for name, fn, estimate in contenders(kind, values, passes, n):
                    if name.startswith("floor") and passes != PASSES[0]:
                        continue
                    if estimate is not None and estimate > budget_per_call:
                        continue
                    seconds = median_time(fn, budget=min(2.0, max(0.2, 20 * (estimate or 1e-3))))
                    results.append((kind, n, passes, name, seconds))
                print(f"  {kind:>5} n={n:<9,} passes={passes:<3} done", file=sys.stderr)

    write_report(results, sizes, peak_memory_report(10**6 if args.quick else 10**7, 64))


def lookup(results, kind, n, passes, name):
    for r in results:
        if r[:4] == (kind, n, passes, name):
            return r[4]
    return None


def write_report(results, sizes, memory_line: str) -> None:
    machine = (f"{platform.processor() or platform.machine()}, {os.cpu_count()} cores, "
               f"{platform.python_implementation()} {platform.python_version()} "
               f"({sys.platform}), NumPy {np.__version__}, SciPy {__import__('scipy').__version__}")
    lines = ["# brooklet benchmark", "", f"Machine: {machine}.", "",
             "Times are medians of repeated runs in one process. `floor` is reading n floats and making a",
             "list of n floats; other columns are ratios: brooklet / floor, and the other tool's time",
             "divided by brooklet's (higher is better for brooklet).", ""]
    for kind in ("list", "tuple", "numpy"):
        lines += [f"## {kind} input", "",
                  "| n | passes | floor | brooklet | brooklet / floor | pure Python / brooklet | SciPy / brooklet |",
                  "| ---: | ---: | ---: | ---: | ---: | ---: | ---: |"]
        floor_name = "floor: arr.tolist()" if kind == "numpy" else "floor: array('d', v).tolist()"
        scipy_name = "SciPy + tolist" if kind == "numpy" else "SciPy (from list) + tolist"
        for n in sizes:
            floor = lookup(results, kind, n, PASSES[0], floor_name)
            for passes in PASSES:
                ours = lookup(results, kind, n, passes, "brooklet")
                python = lookup(results, kind, n, passes, "pure Python")
                sci = lookup(results, kind, n, passes, scipy_name)
                ratio = lambda other: f"{other / ours:.1f}x" if other else "-"
                lines.append(f"| {n:,} | {passes} | {floor * 1e3:.3f} ms | {ours * 1e3:.3f} ms | "
                             f"{ours / floor:.2f} | {ratio(python)} | {ratio(sci)} |")
        lines.append("")
    lines += [memory_line, "", "![time per element](results.png)", ""]
    (HERE / "results.md").write_text("\n".join(lines))
    print("\n".join(lines))
    draw_chart(results, sizes)


def draw_chart(results, sizes) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(1, 2, figsize=(13, 5), sharey=True)
    for ax, kind in zip(axes, ("list", "numpy")):
        names = sorted({r[3] for r in results if r[0] == kind})
        for name in names:
            for passes in PASSES if not name.startswith("floor") else (PASSES[0],):
                points = [(n, lookup(results, kind, n, passes, name)) for n in sizes]
                points = [(n, t / n * 1e9) for n, t in points if t]
                if not points or (passes not in (1, 16, 256) and not name.startswith("floor")):
                    continue
                label = name if name.startswith("floor") else f"{name}, {passes} pass{'es' * (passes > 1)}"
                ax.plot(*zip(*points), marker="o", label=label)
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_xlabel("hydrograph length n")
        ax.set_title(f"{kind} input")
        ax.grid(True, which="both", alpha=0.3)
        ax.legend(fontsize=7)
    axes[0].set_ylabel("time per element (ns)")
    fig.tight_layout()
    fig.savefig(HERE / "results.png", dpi=110)


if __name__ == "__main__":
    main()
