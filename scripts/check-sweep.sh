#!/usr/bin/env bash
# Checks every block shape of the multi-pass sweep that this processor runs (on x86-64: eight
# doubles and four doubles in the 32 registers of AVX-512, four doubles in the 16 of AVX2, and
# two doubles; every version routes with some of them), at every pass count from 1 to 300, in
# place and streamed in chunks (SweepStream, including the chunk length that it picks itself),
# bit for bit against chained single passes: builds the sweep's kernel program
# (bench/kernel_bench.cpp) in build/kernel-bench and runs its check mode, about ten seconds.
# `make test` runs it before the test suite, which only reaches the shapes that routing picks
# here. A shape the processor cannot run is reported as skipped.
#
#   scripts/check-sweep.sh
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$root/build/kernel-bench

cmake -S "$root" -B "$build" -DPython_EXECUTABLE="$root/.venv/bin/python" -DBROOKLET_KERNEL_BENCH=ON >/dev/null
cmake --build "$build" --target kernel_bench >/dev/null
"$build/kernel_bench" --check
