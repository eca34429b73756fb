#!/usr/bin/env bash
# Builds brooklet for the free-threaded python3.13t in the 32-bit target root and runs
# bench/parallel.py there, first with the GIL kept off (PYTHON_GIL=0), then with it on:
#
#   scripts/bench-parallel.sh [bench/parallel.py arguments]     # or: make bench-parallel
#
# Run it on an otherwise idle machine: the two threads need both cores.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

"$target/prepare" >/dev/null
"$target/run" --workdir "$root" -- bash -c '
set -euo pipefail
build=$(mktemp -d /tmp/brooklet-parallel.XXXXXX)
trap "rm -rf $build" EXIT
cmake -S /src --preset target -B "$build" -DPython_EXECUTABLE="$(command -v python3.13t)" >/dev/null
cmake --build "$build" --target brooklet >/dev/null
cd "$build"
PYTHON_GIL=0 PYTHONPATH=$build python3.13t /src/bench/parallel.py "$@"
PYTHON_GIL=1 PYTHONPATH=$build python3.13t /src/bench/parallel.py --rounds 7 --sizes 1000000
' bash "$@"
