"""Eight threads calling at once get exactly what one thread gets, results and exceptions alike."""

import os
import subprocess
import sys
import sysconfig
import threading

import pytest

import brooklet
from conftest import HOUR

route = brooklet.reach.muskingum_routing
INFLOW = [100.0 + (i % 17) * 3.5 for i in range(300)]


class Refuses:
    """Re-wording its TypeError instantiates an error value, which lets other threads run meanwhile."""

    def __float__(self):
        raise TypeError("refused") from KeyError("cause")


CALLS = [  # every way out of a call, none of them warning
    ((INFLOW, 6 * HOUR, 0.3, HOUR, 6, 90.0), {}), ((INFLOW, 2 * HOUR, 0.0, HOUR, 1, -0.0), {}),
    ((), dict(inflow=tuple(INFLOW[:9]), k=HOUR, x=0.5, time_step=HOUR, sub_reaches=3, initial_outflow=1.0)),
    ((INFLOW, HOUR, 0.2, HOUR, 1), {"initial_outflow": 1.0, "K": 1}), ((INFLOW, HOUR, 0.2, HOUR), {}),
    (([*INFLOW, "a"], HOUR, 0.2, HOUR, 1, 1.0), {}), ((INFLOW, HOUR, Refuses(), HOUR, 1, 1.0), {}),
    ((INFLOW, 3600, 0.2, HOUR, 1, 1.0), {}), ((INFLOW, HOUR, 0.2, -HOUR, 1, 1.0), {}),
    ((INFLOW, HOUR, 0.2, HOUR, 2**63, 1.0), {}), (([], HOUR, 0.2, HOUR, 1, 1.0), {}),
]


def outcome(args, kwargs):
    try:
        return [value.hex() for value in route(*args, **kwargs)]
    except BaseException as exc:  # noqa: BLE001 - the internal-failure class derives from BaseException
        return type(exc), str(exc), type(exc.__cause__)


def test_eight_threads_get_the_single_threaded_outcomes():
    expected = [outcome(*call) for call in CALLS]
    start, mismatches = threading.Barrier(8), []

    def worker(offset):
        start.wait()
        for step in range(100 * len(CALLS)):
            i = (offset + step) % len(CALLS)
            if (got := outcome(*CALLS[i])) != expected[i]:
                mismatches.append((i, got))

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)  # switch threads as often as the interpreter allows
    try:
        threads = [threading.Thread(target=worker, args=(n,)) for n in range(8)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        sys.setswitchinterval(interval)
    assert mismatches == []
    assert [type(e) for e in expected] == [list] * 3 + [tuple] * (len(CALLS) - 3)


# Routing threads read a list that writer threads change all the while: they assign items (floats
# and ints, so that both ways of reading an item run), pop the last item and put it back, and
# reverse the list, which is a palindrome of allowed values. Position t of the list only ever holds
# m or m + 0.5 with m = min(t, N - 1 - t), and the first and last items stay 0.0, so every routed
# value can be checked against what its position can hold. A collector thread collects garbage
# all the while, so that with the GIL off the routers step aside for it in mid-call, which sets
# the list's lock aside; with no int items, the calls that step aside stay on the paths without a
# hydrograph buffer and may find the list shorter afterwards. On the free-threaded build the GIL
# stays off for it.
CHANGING_LIST_SCRIPT = r"""
import gc, sys, threading, time
from conftest import route_identity
N, SECONDS, CALLS, INT_ITEMS = 5000, 3.0, 400, True
def allowed(t):
    m = float(min(t, N - 1 - t))
    return (m, m + 0.5)
shared = [allowed(t)[0] for t in range(N)]
stop, failures, calls = threading.Event(), [], [0]
def assign():
    j = 0
    while not stop.is_set():
        t = 1 + j % (N - 2)
        shared[t] = allowed(t)[1] if j % 3 else (int if INT_ITEMS else float)(allowed(t)[0])
        j += 7
order = threading.Lock()  # keeps a reversal out of the gap between a pop and its extend
def pop_and_extend():
    j = 0
    while not stop.is_set():
        with order:
            last = shared.pop()
            if j % 64 == 0:
                time.sleep(0.001)  # one short for a while, so that a router that steps aside may find it so
            shared.extend([last])
        j += 1
def reverse():
    while not stop.is_set():
        with order:
            shared.reverse()
def collect():
    while not stop.is_set():
        gc.collect()
def router():
    while not stop.is_set() and calls[0] < CALLS:
        calls[0] += 1
        out = route_identity(shared, 0.0)
        if not N - 1 <= len(out) <= N or any(v not in allowed(t) for t, v in enumerate(out)):
            failures.append([(t, v) for t, v in enumerate(out) if v not in allowed(t)][:5] or len(out))
threads = [threading.Thread(target=f) for f in (assign, pop_and_extend, reverse, collect, router, router)]
for thread in threads:
    thread.start()
deadline = time.monotonic() + SECONDS
while time.monotonic() < deadline and calls[0] < CALLS:
    time.sleep(0.01)
stop.set()
for thread in threads:
    thread.join()
print(calls[0], "calls", "gil" if getattr(sys, "_is_gil_enabled", lambda: True)() else "no gil")
print(failures[:3])
"""


def run_without_gil(script, tmp_path):
    """Runs `script` in a fresh interpreter that can import brooklet and conftest, with the GIL kept
    off on the free-threaded build; returns its output lines, after the GIL line that it must print
    first, which is checked."""
    free_threaded = sysconfig.get_config_var("Py_GIL_DISABLED")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        [os.path.dirname(__file__), os.path.dirname(brooklet.__file__), os.environ.get("PYTHONPATH", "")]))
    if free_threaded:
        env["PYTHON_GIL"] = "0"
    proc = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          env=env, timeout=120, cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    summary, *lines = proc.stdout.splitlines()
    assert summary.endswith("no gil" if free_threaded else "gil"), summary
    return summary, lines


def changing_list_script(int_items):
    assert CHANGING_LIST_SCRIPT.count("400, True") == 1
    return CHANGING_LIST_SCRIPT.replace("400, True", f"400, {int_items}")


@pytest.mark.parametrize("int_items", [True, False])
def test_routing_a_list_that_other_threads_change(tmp_path, int_items):
    summary, (failures,) = run_without_gil(changing_list_script(int_items), tmp_path)
    assert failures == "[]", summary


# Four threads route one shared array('d'), and a memoryview of another, on the paths that read a
# buffer (one pass and several without a hydrograph buffer, and the general path, which a bool
# initial outflow takes). Afterwards each exporter must count no export: with one memoryview
# taken, the array refuses to resize, and once it is released the array resizes; the shared
# memoryview releases.
SHARED_BUFFER_SCRIPT = r"""
import sys, threading
from array import array
from conftest import HOUR
import brooklet
def resizes_exactly_when_unexported(a):
    probe = memoryview(a)
    try:
        a.append(0.0)
        return "resized while exported"
    except BufferError:
        pass
    finally:
        probe.release()
    a.append(0.0)
    a.pop()
    return "ok"
shared = array("d", [float(i % 7) for i in range(64)])
view = memoryview(array("d", shared))
start, failures = threading.Barrier(4), []
def router(n):
    start.wait()
    for j in range(20000):
        for inflow in (shared, view):
            try:
                brooklet.reach.muskingum_routing(inflow, HOUR, 0.2, HOUR, (1, 3)[j % 2], (1.0, True)[n % 2])
            except BaseException as exc:
                failures.append(repr(exc))
threads = [threading.Thread(target=router, args=(n,)) for n in range(4)]
for thread in threads:
    thread.start()
for thread in threads:
    thread.join()
base = view.obj
view.release()
print("gil" if getattr(sys, "_is_gil_enabled", lambda: True)() else "no gil")
print(resizes_exactly_when_unexported(shared), resizes_exactly_when_unexported(base), failures[:3])
"""


def test_threads_sharing_a_buffer_leave_it_unexported(tmp_path):
    _, (outcome,) = run_without_gil(SHARED_BUFFER_SCRIPT, tmp_path)
    assert outcome == "ok ok []"
