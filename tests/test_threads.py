"""Eight threads calling at once get exactly what one thread gets, results and exceptions alike."""

import sys
import threading

import pytest

import brooklet
from support import HOUR
from support.threads import changing_list_script, run_without_gil

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
from support import HOUR
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
