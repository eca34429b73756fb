"""Eight threads calling at once get exactly what one thread gets, results and exceptions alike."""

import sys
import threading

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
