#!/usr/bin/env bash
# Checks every vector version of the multi-pass sweep that this processor runs (AVX-512, AVX2
# and the baseline SSE2 version on x86-64), in place and streamed in chunks (SweepStream), bit
# for bit against chained single passes: builds the sweep's kernel program
# (bench/kernel_bench.cpp) in build/kernel-bench and runs its check mode, about ten seconds.
# `make test` runs it before the test suite, which only reaches the version that routing picks
# here. A version the processor cannot run is reported as skipped.
#
#   scripts/check-sweep.sh
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$root/build/kernel-bench

cmake -S "$root" -B "$build" -DPython_EXECUTABLE="$root/.venv/bin/python" -DBROOKLET_KERNEL_BENCH=ON >/dev/null
cmake --build "$build" --target kernel_bench >/dev/null
"$build/kernel_bench" --check
