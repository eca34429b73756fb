"""Benchmark brooklet against the floor and against what a hydrologist would otherwise use.

Every contender is timed in this one process on the same inputs, with thread CPU time, in
interleaved rounds: each round runs every contender of one input once, in an order that rotates
from round to round. Each figure is the median of the per-round ratios, with their range
(min-max), so that a slow spell of the machine hits all contenders of a round alike.

    python bench/run.py [--quick] [--write] [--sections list,shapes,passes,numpy,memory] [--rounds N]

The floor is a small C extension that this script builds for the running interpreter (its
sysconfig and the system C compiler, in a temporary directory): it reads n values (floats, ints,
float subclasses, or a buffer of doubles) and returns a list of n new floats, which is the least
that any routing into a list must do. Every input shape is reported as a ratio to it.

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
import sysconfig
import tempfile
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
SECTIONS = ("list", "shapes", "passes", "numpy", "memory")


def ensure_requirements(need_chart: bool) -> None:
    """Installs bench/requirements.txt into this interpreter's environment when a module is missing."""
    needed = ["numpy", "scipy", "pandas"] + (["matplotlib"] if need_chart else [])
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


# ------------------------------------------------------------------ the floor

FLOOR_SOURCE = r"""
#define PY_SSIZE_T_CLEAN
#include <Python.h>

/* The value of one item as the routing reads it: a float or float subclass by its stored value,
   an exact int by PyLong_AsDouble, anything else by its __float__. */
static double value_of(PyObject *item)
{
    if (PyFloat_Check(item)) {
        return PyFloat_AS_DOUBLE(item);
    }
    if (PyLong_CheckExact(item)) {
        return PyLong_AsDouble(item);
    }
    return PyFloat_AsDouble(item);
}

/* A list of n new floats, one for each item of a list or tuple. */
static PyObject *floats_from_items(PyObject *module, PyObject *sequence)
{
    (void)module;
    PyObject *fast = PySequence_Fast(sequence, "a list or tuple");
    if (fast == NULL) {
        return NULL;
    }
    Py_ssize_t n = PySequence_Fast_GET_SIZE(fast);
    PyObject **items = PySequence_Fast_ITEMS(fast);
    PyObject *list = PyList_New(n);
    if (list == NULL) {
        Py_DECREF(fast);
        return NULL;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        double value = value_of(items[i]);
        if (value == -1.0 && PyErr_Occurred()) {
            Py_DECREF(list);
            Py_DECREF(fast);
            return NULL;
        }
        PyObject *item = PyFloat_FromDouble(value);
        if (item == NULL) {
            Py_DECREF(list);
            Py_DECREF(fast);
            return NULL;
        }
        PyList_SET_ITEM(list, i, item);
    }
    Py_DECREF(fast);
    return list;
}

/* A list of n new floats from a contiguous buffer of n doubles. */
static PyObject *floats_from_buffer(PyObject *module, PyObject *object)
{
    (void)module;
    Py_buffer view;
    if (PyObject_GetBuffer(object, &view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) < 0) {
        return NULL;
    }
    if (view.itemsize != sizeof(double) || view.format == NULL || strcmp(view.format, "d") != 0) {
        PyBuffer_Release(&view);
        PyErr_SetString(PyExc_TypeError, "a buffer of doubles");
        return NULL;
    }
    Py_ssize_t n = view.len / (Py_ssize_t)sizeof(double);
    const double *values = view.buf;
    PyObject *list = PyList_New(n);
    if (list == NULL) {
        PyBuffer_Release(&view);
        return NULL;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *item = PyFloat_FromDouble(values[i]);
        if (item == NULL) {
            Py_DECREF(list);
            PyBuffer_Release(&view);
            return NULL;
        }
        PyList_SET_ITEM(list, i, item);
    }
    PyBuffer_Release(&view);
    return list;
}

static PyMethodDef methods[] = {
    {"floats_from_items", floats_from_items, METH_O, NULL},
    {"floats_from_buffer", floats_from_buffer, METH_O, NULL},
    {NULL, NULL, 0, NULL},
};

static PyModuleDef_Slot slots[] = {
#ifdef Py_GIL_DISABLED
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, NULL},
};

static struct PyModuleDef definition = {PyModuleDef_HEAD_INIT, "bench_floor", NULL, 0, methods, slots};

PyMODINIT_FUNC PyInit_bench_floor(void) { return PyModuleDef_Init(&definition); }
"""


def build_floor():
    """Compiles the floor extension for this interpreter into a temporary directory and loads it."""
    import importlib.machinery

    compiler = os.environ.get("CC") or sysconfig.get_config_var("CC") or "cc"
    directory = Path(tempfile.mkdtemp(prefix="brooklet-floor-"))
    source = directory / "bench_floor.c"
    source.write_text(FLOOR_SOURCE)
    target = directory / f"bench_floor{sysconfig.get_config_var('EXT_SUFFIX')}"
    command = [*compiler.split()[:1], "-O2", "-shared", "-fPIC", f"-I{sysconfig.get_paths()['include']}",
               str(source), "-o", str(target)]
    subprocess.run(command, check=True)
    loader = importlib.machinery.ExtensionFileLoader("bench_floor", str(target))
    module_spec = importlib.machinery.ModuleSpec("bench_floor", loader, origin=str(target))
    module = loader.create_module(module_spec)
    loader.exec_module(module)
    return module


_floor = None


def floor():
    global _floor
    if _floor is None:
        _floor = build_floor()
    return _floor


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
               "`floor` is the C floor: it reads n floats and makes a list of n new floats.", "",
               "| n | floor ms | brooklet ms | brooklet / floor | pure Python / brooklet |",
               "| ---: | ---: | ---: | ---: | ---: |")
    rng = random.Random(7)
    before = load_average()
    for n in sizes:
        values = [rng.uniform(0, 1000) for _ in range(n)]
        contenders = {"floor": lambda: floor().floats_from_items(values),
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


def input_shapes(n: int) -> list[tuple[str, object, object, dict]]:
    """(name, inflow, what the floor reads, arguments after the inflow) for every input shape."""
    import numpy as np

    rng = random.Random(5)
    floats = [rng.uniform(0, 1000) for _ in range(n)]
    exact = {"k": 2 * HOUR, "x": X, "time_step": HOUR, "initial_outflow": INITIAL_OUTFLOW}
    shapes = [
        ("list of floats", floats, "items", exact),
        ("tuple of floats", tuple(floats), "items", exact),
        ("list of ints", [rng.randrange(0, 1000) for _ in range(n)], "items", exact),
        ("list of numpy.float64", list(np.array(floats)), "items", exact),
        ("NumPy array", np.array(floats), "buffer", exact),
        ("array('d')", array.array("d", floats), "buffer", exact),
    ]
    try:
        import pandas as pd
    except ImportError:
        pass
    else:
        shapes.append(("list of floats; pd.Timedelta k and time_step, numpy.float64 x and initial_outflow",
                       floats, "items", {"k": pd.Timedelta(hours=2), "x": np.float64(X),
                                         "time_step": pd.Timedelta(hours=1),
                                         "initial_outflow": np.float64(INITIAL_OUTFLOW)}))
    return shapes


def section_shapes(report: Report, sizes: list[int], rounds: int) -> None:
    import brooklet

    route = brooklet.reach.muskingum_routing
    report.add("## Every input shape, one pass, against the C floor", "",
               "The C floor reads the same n values (items of the list or tuple, or the buffer) and makes a",
               "list of n new floats. `exact arguments` is the same call with `timedelta` and `float`",
               "arguments.", "",
               "| input | n | floor ms | brooklet ms | brooklet / floor | / exact arguments |",
               "| --- | ---: | ---: | ---: | ---: | ---: |")
    before = load_average()
    for n in sizes:
        for name, inflow, reads, arguments in input_shapes(n):
            read = floor().floats_from_items if reads == "items" else floor().floats_from_buffer
            contenders = {
                "floor": lambda read=read, inflow=inflow: read(inflow),
                "brooklet": lambda inflow=inflow, a=arguments: route(inflow, a["k"], a["x"], a["time_step"], 1,
                                                                     a["initial_outflow"]),
            }
            plain = type(arguments["k"]) is datetime.timedelta
            if not plain:
                contenders["exact"] = lambda inflow=inflow: brooklet_call(inflow, 1)
            times = interleaved(contenders, rounds)
            exact = "-" if plain else fmt_ratio(ratio(times, "brooklet", "exact"))
            report.add(f"| {name} | {n:,} | {ms(times['floor'])} | {ms(times['brooklet'])} | "
                       f"{fmt_ratio(ratio(times, 'brooklet', 'floor'))} | {exact} |")
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
               "the C floor reading the array's buffer.", "")
    for n in sizes:
        values = np.random.default_rng(3).uniform(0, 1000, n)
        contenders = {"floor": lambda: floor().floats_from_buffer(values)}
        for p in NUMPY_PASSES:
            contenders[f"brooklet {p}"] = lambda p=p: brooklet_call(values, p)
            contenders[f"SciPy {p}"] = lambda p=p: scipy_routing(values, p).tolist()
        before = load_average()
        times = interleaved(contenders, rounds if n < 10**7 else max(3, rounds // 2))
        after = load_average()
        report.add(f"### n = {n:,}", "",
                   f"C floor: {ms(times['floor'])} ms; brooklet with one pass / floor: "
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

def processor() -> str:
    """The processor's model name, family and model, from /proc/cpuinfo where there is one."""
    fields = {}
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if not line.strip():
                    break
                key, _, value = line.partition(":")
                fields[key.strip()] = value.strip()
    except OSError:
        return platform.processor() or platform.machine()
    name = fields.get("model name", platform.machine())
    if "cpu family" in fields and "model" in fields:
        name += f" (family {fields['cpu family']}, model {fields['model']})"
    flags = fields.get("flags", "").split()
    if "hypervisor" in flags:
        name += ", virtualised"
    return name


def machine_line() -> str:
    import numpy as np
    import scipy

    today = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    return (f"Run {today} on {processor()}, {os.cpu_count()} cores, {platform.machine()}; "
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
            left.plot(*zip(*points), marker="o", label=name if name != "floor" else "floor: C loop, n floats to a list")
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
    if "shapes" in sections:
        section_shapes(report, [10**3, 10**5] if args.quick else [10**3, 10**6], rounds)
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
