"""Scripts run in a fresh interpreter with the GIL kept off where the build allows it: a list that
other threads change while routing threads read it."""

import os
import subprocess
import sys
import sysconfig

import brooklet

# The tests directory, whose support package the scripts import.
TESTS = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


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
from support import route_identity
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
    """Runs `script` in a fresh interpreter that can import brooklet and the tests' support package,
    with the GIL kept off on the free-threaded build; returns its output lines, after the GIL line
    that it must print first, which is checked."""
    free_threaded = sysconfig.get_config_var("Py_GIL_DISABLED")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        [TESTS, os.path.dirname(brooklet.__file__), os.environ.get("PYTHONPATH", "")]))
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
