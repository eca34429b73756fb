"""The same calls on every CPython of the interpreter matrix (scripts/interpreters.list): the time of
each version over CPython 3.13's for lists, tuples and (where NumPy is installed) NumPy arrays of
10^3 and 10^5 values through 1 to 64 sub-reaches, with every result checked to be identical bit for
bit across the versions, and, as a floor, the interpreter's own making of a list of as many floats
(`array('d').tolist()`). Each interpreter runs in a process of its own, with the module built for it
in the environment that `make test-versions` made; the processes take turns, one round at a time in
rotating order, and each cell's ratio is taken within a round. Thread CPU time; each line is the
median of the per-round ratios with their range.

    python bench/compare_versions.py [--rounds N] [TAG ...]   # default: every x86-64 interpreter made

The first interpreter is the baseline (cp313-x86_64 by default). NAME=COMMAND instead of a tag
names any other interpreter, e.g. Debian's CPython 3.13 in the same root as its 3.14 and 3.15, so
that the module is built by the same compiler for each:
"sid313=bash scripts/debian-roots.sh run sid-amd64 -- /opt/venvs/cp313-sid/bin/python".
"""

from __future__ import annotations

import argparse
import json
import os
import pathlib
import shlex
import statistics
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent

# Runs in each interpreter: times every cell and prints, per cell, the thread CPU seconds per call
# and a digest of the result's bits.
WORKER = r"""
import array, gc, hashlib, json, random, struct, sys, time
from datetime import timedelta
import brooklet
try:
    import numpy as np
except ImportError:
    np = None
route, hour = brooklet.reach.muskingum_routing, timedelta(hours=1)
draw = random.Random(3)
out = {}
for n in (10**3, 10**5):
    values = [float(draw.randrange(0, 1000)) for _ in range(n)]
    kinds = {"list": values, "tuple": tuple(values)} | ({"numpy": np.array(values)} if np else {})
    doubles = array.array("d", values)
    # The interpreter's own part of a call: making a list of n new floats, without brooklet.
    cells = [(f"floor n={n}", doubles.tolist)]
    for kind, inflow in kinds.items():
        for passes in (1, 4, 16, 64):
            cells.append((f"{kind} n={n} passes={passes}",
                          lambda inflow=inflow, passes=passes: route(inflow, 2 * hour, 0.2, hour, passes, 10.0)))
    for cell, call in cells:
        digest = hashlib.sha256(struct.pack(f"{n}d", *call())).hexdigest()[:16]
        start = time.thread_time(); call(); once = time.thread_time() - start
        calls = max(1, min(10_000, round(0.005 / max(once, 1e-7))))
        samples = []
        for _ in range(3):
            gc.collect()
            start = time.thread_time()
            for _ in range(calls):
                call()
            samples.append((time.thread_time() - start) / calls)
        out[cell] = [min(samples), digest]
print(json.dumps(out))
"""


def interpreters(tags: list[str]) -> dict[str, list[str]]:
    """The command that runs the environment of each tag, as make test-versions made it."""
    def helper(*args: str) -> str:
        return subprocess.run(["bash", str(ROOT / "scripts/interpreters.sh"), *args], check=True,
                              capture_output=True, text=True).stdout.strip()
    chosen = tags or [tag for tag in helper("tags").split() if tag.endswith("-x86_64")]
    commands = {}
    for tag in chosen:
        if "=" in tag:
            name, command = tag.split("=", 1)
            commands[name] = shlex.split(command)
            continue
        where = helper("where", tag)
        if where == "host":
            venv = ROOT / (".venv" if tag == "cp313-x86_64" else f".venv-{tag}")
            commands[tag] = [str(venv / "bin/python")]
        elif where == "sid-amd64":
            commands[tag] = ["bash", str(ROOT / "scripts/debian-roots.sh"), "run", "sid-amd64", "--",
                             f"/opt/venvs/{tag}/bin/python"]
        else:
            print(f"{tag}: not compared ({where})", file=sys.stderr)
    return commands


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("tags", nargs="*")
    arguments = parser.parse_args()
    commands = interpreters(arguments.tags)
    baseline = next(iter(commands))
    print(f"load average before {os.getloadavg()[0]:.2f}; {', '.join(commands)}", flush=True)
    rounds: list[dict[str, dict]] = []
    tags = list(commands)
    for r in range(arguments.rounds):
        results = {}
        for tag in tags[r % len(tags):] + tags[:r % len(tags)]:
            proc = subprocess.run([*commands[tag], "-c", WORKER], capture_output=True, text=True)
            if proc.returncode:
                raise SystemExit(f"compare_versions: {tag} failed ({shlex.join(commands[tag])}):\n{proc.stderr}")
            results[tag] = json.loads(proc.stdout.splitlines()[-1])
        rounds.append(results)
    worst = {}
    for cell, (_, digest) in rounds[0][baseline].items():
        line = [f"{cell:>26}:"]
        for tag in tags:
            if tag == baseline:
                continue
            if cell not in rounds[0][tag]:
                line.append(f"{tag} -")
                continue
            if any(result[tag][cell][1] != digest for result in rounds):
                raise SystemExit(f"compare_versions: {tag} routes {cell} to other bits than {baseline}")
            ratios = [result[tag][cell][0] / result[baseline][cell][0] for result in rounds]
            median = statistics.median(ratios)
            line.append(f"{tag} {median:.2f} ({min(ratios):.2f}-{max(ratios):.2f})")
            worst[tag] = max(worst.get(tag, (0.0, "")), (median, cell))
        print("  ".join(line), flush=True)
    print(f"load average after {os.getloadavg()[0]:.2f}; every result identical bit for bit across the versions")
    for tag, (median, cell) in worst.items():
        print(f"slowest cell of {tag} against {baseline}: {median:.2f} ({cell})")


if __name__ == "__main__":
    main()
