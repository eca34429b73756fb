"""Soak run: many calls of brooklet.reach.muskingum_routing, spread over every way into and out of
the function, in a fresh interpreter whose resident memory must stay within a few MB of where it
stood after a warm-up.

    .venv/bin/python scripts/soak.py                    # a million calls (make soak)
    .venv/bin/python scripts/soak.py --calls 200000     # fewer
    .venv/bin/python scripts/soak.py --child 3000       # the calls alone, in this process

The child process prints its resident memory after the warm-up and at the end; the parent checks
the growth. Standard error of the child (failure reports, tracebacks of the internal-failure
exception raised by Python code) goes to a temporary file and is shown only if the child fails.
"""

import argparse
import array
import os
import subprocess
import sys
import tempfile
import time
import warnings
from datetime import timedelta

H = timedelta(hours=1)


class Seq:
    """A sequence read by iteration, whose size query may fail and whose items may raise."""

    def __init__(self, items, length=None):
        self.items, self.length = items, length

    def __len__(self):
        if self.length is None:
            raise RuntimeError("no length")
        return self.length

    def __getitem__(self, i):
        item = self.items[i]
        if isinstance(item, type):
            raise item("from the sequence")
        return item


class Number:
    """__float__ and __index__ give `value`, or raise a new exception made by it when it is callable
    (raising one exception object again and again would lengthen its traceback every time)."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        if callable(self.value):
            raise self.value()
        return self.value

    __index__ = __float__


class Unprintable:
    def __str__(self):
        raise RuntimeError("no text")


class UnprintableName(str):
    def __str__(self):
        raise RuntimeError("no text")


def calls(panic):
    """(outcome, positional, keywords, warnings action) for every success and failure path."""
    flows = [float(i % 50) for i in range(200)]

    def caused():
        error = TypeError("refused")
        error.__cause__ = KeyError("the cause")
        return error
    return [
        # Successes: each inflow reader, one pass and the multi-pass sweep, keywords, a warning.
        ("list", (flows, 2 * H, 0.2, H, 1, 10.0), {}, "ignore"),
        ("list", (tuple(flows), 8 * H, 0.2, H, 8, 10.0), {}, "ignore"),
        ("list", (array.array("d", flows), 20 * H, 0.3, H, 20, 10.0), {}, "ignore"),
        ("list", (Seq(flows[:20]), H, Number(0.25), H, Number(3), Number(1.0)), {}, "ignore"),
        ("list", (), dict(initial_outflow=1.0, sub_reaches=2, time_step=H, x=0.1, k=H, inflow=flows), "ignore"),
        ("list", (flows, H, 0.9, H, 1, 1.0), {}, "ignore"),
        # Argument matching.
        ("TypeError", (flows, H, 0.2, H, 1, 1.0, 7), {}, "ignore"),
        ("TypeError", (flows, H), {"x": 0.2, "\ud800": 1}, "ignore"),
        ("TypeError", (flows, H, 0.2), {"x": 0.2}, "ignore"),
        ("TypeError", (flows,), {}, "ignore"),
        ("TypeError", (flows, H, 0.2, H, 1), {UnprintableName("zz"): 1}, "ignore"),
        # Conversions, in parameter order.
        ("TypeError", ("1,2", H, 0.2, H, 1, 1.0), {}, "ignore"),
        ("TypeError", (5, H, 0.2, H, 1, 1.0), {}, "ignore"),
        ("TypeError", ([1.0, "a"], H, 0.2, H, 1, 1.0), {}, "ignore"),
        ("TypeError", ([1.0, Number(caused)], H, 0.2, H, 1, 1.0), {}, "ignore"),
        ("ValueError", (Seq([1.0, ValueError]), H, 0.2, H, 1, 1.0), {}, "ignore"),
        ("PanicException", (Seq([1.0], sys.maxsize), H, 0.2, H, 1, 1.0), {}, "ignore"),
        ("TypeError", (flows, 3600, 0.2, H, 1, 1.0), {}, "ignore"),
        ("ValueError", (flows, H, Number(ValueError), H, 1, 1.0), {}, "ignore"),
        ("TypeError", (flows, H, Number(lambda: TypeError(Unprintable())), H, 1, 1.0), {}, "ignore"),
        ("TypeError", (flows, H, 0.2, None, 1, 1.0), {}, "ignore"),
        ("OverflowError", (flows, H, 0.2, H, 2**63, 1.0), {}, "ignore"),
        ("TypeError", (flows, H, 0.2, H, 2.0, 1.0), {}, "ignore"),
        ("TypeError", (flows, H, 0.2, H, 1, None), {}, "ignore"),
        # Routing: the warning as an error, negative durations, an empty inflow, and the
        # internal-failure exception raised by Python code.
        ("UserWarning", (flows, H, -0.1, H, 1, 1.0), {}, "error"),
        ("ValueError", (flows, H, 0.2, -H, 1, 1.0), {}, "ignore"),
        ("ValueError", (flows, -H, 0.2, H, 1, 1.0), {}, "ignore"),
        ("PanicException", ([], H, 0.2, H, 1, 1.0), {}, "ignore"),
        ("PanicException", ([1.0, Number(lambda: panic("from Python"))], H, 0.2, H, 1, 1.0), {}, "ignore"),
    ]


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def child(total):
    from brooklet import reach

    route = reach.muskingum_routing

    sys.unraisablehook = lambda unraisable: None  # unprintable texts are reported there
    try:
        route([], H, 0.2, H, 1, 1.0)
    except BaseException as exc:  # noqa: BLE001 - the internal-failure class derives from BaseException
        panic = type(exc)
    paths = calls(panic)
    outcomes = {}

    def run(count):
        for n in range(count):
            _, args, kwargs, action = paths[n % len(paths)]
            with warnings.catch_warnings():
                warnings.simplefilter(action)
                try:
                    result = route(*args, **kwargs)
                    outcome = "list" if type(result) is list else repr(type(result))
                except BaseException as exc:  # noqa: BLE001
                    outcome = type(exc).__name__
            outcomes.setdefault(n % len(paths), outcome)

    warm_up = max(len(paths), total // 20)
    run(warm_up)
    before = resident_bytes()
    start = time.perf_counter()
    run(total - warm_up)
    elapsed = time.perf_counter() - start
    wrong = [(i, outcomes[i]) for i, path in enumerate(paths) if outcomes[i] != path[0]]
    print(before, resident_bytes(), elapsed, len(paths), wrong)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--calls", type=int, default=1_000_000)
    parser.add_argument("--limit-mb", type=float, default=2.0, help="allowed growth of resident memory")
    parser.add_argument("--child", type=int, metavar="CALLS", help="make the calls in this process")
    options = parser.parse_args()
    if options.child is not None:
        child(options.child)
        return 0
    with tempfile.TemporaryFile("w+") as stderr:
        start = time.perf_counter()
        proc = subprocess.run([sys.executable, __file__, "--child", str(options.calls)], stdout=subprocess.PIPE,
                              stderr=stderr, text=True)
        wall = time.perf_counter() - start
        if proc.returncode != 0:
            stderr.seek(0)
            print(f"soak: the child process failed with exit status {proc.returncode}; last of its stderr:\n"
                  + stderr.read()[-4000:], file=sys.stderr)
            return 1
    before, after, elapsed, paths, wrong = proc.stdout.split(maxsplit=4)
    growth = (int(after) - int(before)) / 2**20
    print(f"soak: {options.calls} calls over {paths} paths in {float(elapsed):.1f} s after the warm-up "
          f"({wall:.1f} s in all); resident memory {int(before) / 2**20:.1f} MB -> {int(after) / 2**20:.1f} MB "
          f"({growth:+.2f} MB, limit {options.limit_mb} MB)")
    if wrong.strip() != "[]":
        print(f"soak: FAILED: paths that ended otherwise than expected (index, outcome): {wrong}", file=sys.stderr)
        return 1
    if growth > options.limit_mb:
        print("soak: FAILED: resident memory grew beyond the limit", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
