"""Internal failures, the PanicException class, and clean-up on every failure path."""

import ast
import math
import os
import sys
import warnings
from datetime import timedelta

import pytest

import brooklet
from support import HOUR, Seq, claimed_bytes

EMPTY = "index out of bounds: the len is 0 but the index is 0"
DOC_TAIL = ("Like SystemExit, this exception is derived from BaseException so that\n"
            "it will typically propagate all the way through the stack and cause the\n"
            "Python interpreter to exit.\n")


def test_panic_class(panic_class):
    assert panic_class.__module__ == "pyo3_runtime"
    assert panic_class.__name__ == panic_class.__qualname__ == "PanicException"
    assert panic_class.__mro__[1:] == (BaseException, object)
    doc = panic_class.__doc__
    assert len(doc) == 235 and doc.endswith("\n\n" + DOC_TAIL)
    assert doc[0] == "\n" and "\n" not in doc[1:-len(DOC_TAIL) - 2]
    assert all(value is not panic_class for value in vars(brooklet).values())


@pytest.mark.parametrize("inflow, changes, message", [
    ([], {}, EMPTY), ((), {"sub_reaches": 0}, EMPTY), (b"", {"initial_outflow": math.nan}, EMPTY),
    (Seq([], 3), {"x": 0.5}, EMPTY),
    # A size hint whose byte size exceeds the largest possible allocation.
    (Seq([], 2**60 if sys.maxsize > 2**32 else 2**28), {}, "capacity overflow"),
    # A buffer as long: read in place or routed with no hydrograph (one pass or several), and
    # one whose format makes it iterated, fail alike before any list or buffer is made.
    (claimed_bytes(), {}, "capacity overflow"), (claimed_bytes(), {"sub_reaches": 3}, "capacity overflow"),
    (claimed_bytes(), {"x": 0.7}, "capacity overflow"), (claimed_bytes("<B"), {}, "capacity overflow"),
])
@pytest.mark.filterwarnings("ignore:`x` is outside")
def test_internal_failure(routing, panic_class, capfd, inflow, changes, message):
    args = dict(inflow=inflow, k=2 * HOUR, x=0.2, time_step=HOUR, sub_reaches=1, initial_outflow=10.0) | changes
    exc = pytest.raises(BaseException, routing, **args).value
    assert type(exc) is panic_class and not isinstance(exc, Exception)
    assert exc.args == (message,) and str(exc) == message
    assert "Error" not in capfd.readouterr().err  # the report only: no interpreter error printed
    # Nothing of the failed call remains: the next call behaves normally.
    assert routing([1.0, 2.0], 2 * HOUR, 0.2, HOUR, 1, 1.0)[0] == 1.0


PANIC_SCRIPT = r"""
import sys
from datetime import timedelta
import brooklet

class Item:
    def __init__(self, exc):
        self.exc = exc
    def __float__(self):
        raise self.exc

class Unprintable:
    def __str__(self):
        raise RuntimeError("no text")

def route(inflow):
    try:
        brooklet.reach.muskingum_routing(inflow, timedelta(1), 0.2, timedelta(1), 1, 0.0)
    except BaseException as exc:
        return exc

Panic = type(route([]))
results = {}
for name, raised in [("boom", Panic("boom")), ("subclass", type("Sub", (Panic,), {})("quiet")),
                     ("unprintable", Panic(Unprintable()))]:
    sys.stderr.write("=== %s ===\n" % name)
    sys.stderr.flush()
    caught = route([1.0, Item(raised)])
    results[name] = (type(caught) is Panic, caught is raised, [a for a in caught.args if type(a) is str])
    sys.stderr.flush()
print(repr(results))
"""


@pytest.fixture(scope="module")
def panic_run(run_python):
    """Runs the script above in a fresh process; gives its results and its stderr per section."""
    proc = run_python(PANIC_SCRIPT)
    assert proc.returncode == 0, proc.stderr
    first, *sections = proc.stderr.split("=== ")
    return ast.literal_eval(proc.stdout), dict([("empty", first)] + [s.split(" ===\n", 1) for s in sections])


def test_empty_inflow_report(panic_run):
    assert "src/reach_routing/muskingum" in panic_run[1]["empty"] and EMPTY in panic_run[1]["empty"]


@pytest.mark.parametrize("name, result, report", [
    # A PanicException raised by Python code is reported with its traceback, and the caller gets
    # a new one with the same message.
    ("boom", (True, False, ["boom"]), ["Python stack trace below:", "Traceback", "__float__", "boom"]),
    ("unprintable", (True, False, ["Unwrapped panic from Python code"]), ["Python stack trace below:"]),
    # A subclass is an ordinary exception: it reaches the caller unchanged and nothing is printed.
    ("subclass", (False, True, ["quiet"]), None),
])
def test_panic_raised_by_python_code(panic_run, name, result, report):
    results, stderr = panic_run
    assert results[name] == result
    if report is None:
        assert stderr[name] == ""
    else:
        assert all(text in stderr[name] for text in report), stderr[name]


class Odd:
    pass


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


# One call for each way out of the function; Odd instances are refused by every conversion.
FAILURES = {
    "success": {}, "three passes": {"sub_reaches": Index(3)}, "matcher": {"extra": Odd()},
    "inflow": {"inflow": Odd()}, "inflow item": {"inflow": [1.0, Odd(), 2.0]}, "k": {"k": Odd()},
    "x": {"x": Odd()}, "time_step": {"time_step": Odd()}, "sub_reaches": {"sub_reaches": Odd()},
    "initial_outflow": {"initial_outflow": Odd()}, "negative time_step": {"time_step": timedelta(days=-3)},
    "negative k": {"k": timedelta(days=-3)}, "warning": {"x": float("0.9")}, "empty inflow": {"inflow": []},
}


def fresh_args(changes):
    items = [float(i) + 0.5 for i in range(6)]
    args = dict(inflow=items, k=timedelta(hours=2), x=float("0.2"), time_step=timedelta(hours=1),
                sub_reaches=Index(1), initial_outflow=float("10.5"))
    args.update(changes)
    return args, [*args.values(), *items, Odd, Index]


def call_quietly(routing, args):
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            routing(**args)
    except BaseException:  # noqa: BLE001 - PanicException is not an Exception
        pass


@pytest.mark.parametrize("changes", FAILURES.values(), ids=FAILURES.keys())
def test_reference_counts_are_unchanged(routing, changes):
    args, tracked = fresh_args(changes)
    call_quietly(routing, args)
    before = [sys.getrefcount(obj) for obj in tracked]
    for _ in range(200):
        call_quietly(routing, args)
    assert [sys.getrefcount(obj) for obj in tracked] == before


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc/self/statm")
def test_repeated_calls_do_not_grow_memory(routing):
    # Each failing call below owns an 8 kB hydrograph when it fails; a leak of it, or of any
    # error value, would add tens of megabytes.
    big = [float(i) for i in range(1000)]
    calls = [fresh_args({"inflow": big, **changes})[0] for changes in FAILURES.values()]

    def run(rounds):
        for _ in range(rounds):
            for args in calls:
                call_quietly(routing, args)
    run(100)
    before = resident_bytes()
    run(1000)
    assert resident_bytes() - before < 8 * 2**20


@pytest.fixture(scope="module")
def misbehaving(tmp_path_factory):
    """Builds the test-only extension in tests/support with the C compiler, or skips."""
    import importlib
    import shutil
    import subprocess
    import sysconfig

    compiler = shutil.which(os.environ.get("CC", "cc"))
    if compiler is None:
        pytest.skip("no C compiler")
    source = os.path.join(os.path.dirname(__file__), "support", "misbehaving.c")
    target = tmp_path_factory.mktemp("ext") / ("misbehaving" + sysconfig.get_config_var("EXT_SUFFIX"))
    subprocess.run([compiler, "-shared", "-fPIC", "-I", sysconfig.get_paths()["include"], source,
                    "-o", str(target)], check=True)
    sys.path.insert(0, str(target.parent))
    try:
        return importlib.import_module("misbehaving")
    finally:
        sys.path.remove(str(target.parent))


def test_failure_without_pending_exception_is_a_system_error(routing, misbehaving):
    exc = pytest.raises(SystemError, routing, misbehaving.BrokenIter(), HOUR, 0.2, HOUR, 1, 1.0).value
    assert type(exc) is SystemError and str(exc) == "attempted to fetch exception but none was set"


class Unprintable:
    def __str__(self):
        raise RuntimeError("no text")


class UnprintableName(str):
    def __str__(self):
        raise RuntimeError("no text")


class RaisesUnprintable:
    def __float__(self):
        raise TypeError(Unprintable())  # a plain TypeError whose text cannot be made


@pytest.mark.parametrize("call, message", [
    (lambda f: f([1.0], HOUR, 0.2, HOUR, 1, 1.0, **{UnprintableName("zz"): 1}),
     "muskingum_routing() got an unexpected keyword argument '<unprintable UnprintableName object>'"),
    (lambda f: f([1.0], HOUR, RaisesUnprintable(), HOUR, 1, 1.0), "argument 'x': <unprintable TypeError object>"),
])
def test_text_that_cannot_be_rendered(routing, monkeypatch, call, message):
    unraisable = []
    monkeypatch.setattr(sys, "unraisablehook", unraisable.append)
    assert str(pytest.raises(TypeError, call, routing).value) == message
    assert [type(u.exc_value) for u in unraisable] == [RuntimeError]


def test_datetime_api_that_cannot_be_imported(run_python):
    proc = run_python(
        "import sys; sys.modules['datetime'] = None\n"
        "import brooklet\n"
        "try:\n"
        "    brooklet.reach.muskingum_routing([1.0], 1, 0.2, 1, 1, 1.0)\n"
        "except BaseException as exc:\n"
        "    print(type(exc).__name__, exc)\n")
    assert proc.stdout.startswith("PanicException failed to import `datetime` C API: PyErr { type: "
                                  "<class 'ImportError'>, value: ImportError("), proc.stdout
    assert proc.stdout.rstrip().endswith(", traceback: None }") and "failed to import" in proc.stderr


# An inflow item, or x, whose conversion calls the function again without end.
ENDLESS_RECURSION = """
import sys
from datetime import timedelta
import brooklet
route = brooklet.reach.muskingum_routing
sys.setrecursionlimit(LIMIT)
class Again:
    def __float__(self):
        return route(ARGUMENTS)[0]
try:
    route(ARGUMENTS)
except RecursionError:
    print("RecursionError")
"""


@pytest.mark.parametrize("limit", [1000, 5000, 10**5, 10**6])
@pytest.mark.parametrize("arguments", ["[1.0, Again()], timedelta(0), 0.0, timedelta(1), 1, 1.0",
                                       "[1.0, 2.0], timedelta(0), Again(), timedelta(1), 1, 1.0"])
def test_endless_recursion_through_a_conversion_is_a_recursion_error(run_python, limit, arguments):
    # Whatever limit the program sets, the C stack does not run out first.
    proc = run_python(ENDLESS_RECURSION.replace("LIMIT", str(limit)).replace("ARGUMENTS", arguments))
    assert (proc.returncode, proc.stdout) == (0, "RecursionError\n"), proc.stderr[-2000:]


@pytest.mark.skipif(sys.maxsize < 2**62, reason="needs a 64-bit address space")
def test_hint_beyond_memory_is_a_memory_error(routing):
    # 2**59 doubles fit the largest allocation size but no address space: the call fails with
    # MemoryError and the process goes on.
    exc = pytest.raises(MemoryError, routing, Seq([], 2**59), HOUR, 0.2, HOUR, 1, 1.0).value
    assert type(exc) is MemoryError
    assert routing([1.0, 2.0], 2 * HOUR, 0.2, HOUR, 1, 1.0)[0] == 1.0
