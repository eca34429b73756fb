"""Two builds of brooklet in one process, on the same inputs: the time of the second build over the
first for lists, tuples and NumPy arrays of 10^2 to 10^6 values through 1 to 256 sub-reaches, with
every result checked to be identical bit for bit. Thread CPU time, in interleaved rounds that
alternate which build goes first; each line is the median of the per-round ratios with their range.

    python bench/compare_builds.py BEFORE.so AFTER.so
"""
import gc, importlib.machinery, statistics, sys, time, types, os
from datetime import timedelta
import numpy as np

def load(path):
    spec = importlib.machinery.ModuleSpec("brooklet", importlib.machinery.ExtensionFileLoader("brooklet", path), origin=path)
    mod = spec.loader.create_module(spec)
    return mod.reach.muskingum_routing

old = load(sys.argv[1]); new = load(sys.argv[2])
H = timedelta(hours=1)
def per_call(fn):
    s = time.thread_time(); fn(); once = time.thread_time() - s
    return max(1, min(10000, round(0.005 / max(once, 1e-7))))
def sample(fn, k):
    gc.collect(); s = time.thread_time()
    for _ in range(k): fn()
    return (time.thread_time() - s) / k
rng = np.random.default_rng(3)
rows = []
print("load", os.getloadavg())
for n in (10**2, 10**3, 10**4, 10**5, 10**6):
    base = rng.uniform(0, 1000, n)
    inputs = {"list": base.tolist(), "tuple": tuple(base.tolist()), "numpy": base}
    for kind, values in inputs.items():
        for passes in (1, 4, 16, 64, 256):
            if n * passes > 3 * 10**8: continue
            f_old = lambda: old(values, 2*H, 0.2, H, passes, 10.0)
            f_new = lambda: new(values, 2*H, 0.2, H, passes, 10.0)
            assert [x.hex() for x in f_old()] == [x.hex() for x in f_new()]
            k = per_call(f_old)
            rounds = 7 if n < 10**6 else 5
            ratios = []
            for r in range(rounds):
                if r % 2: a = sample(f_old, k); b = sample(f_new, k)
                else: b = sample(f_new, k); a = sample(f_old, k)
                ratios.append(b / a)
            med = statistics.median(ratios)
            rows.append((kind, n, passes, med, min(ratios), max(ratios)))
            print(f"{kind:>5} n={n:>8} passes={passes:>3} new/old {med:.2f} ({min(ratios):.2f}-{max(ratios):.2f})", flush=True)
print("load", os.getloadavg())
worst = max(rows, key=lambda r: r[3])
print("worst", worst)
