#!/usr/bin/env bash
# Checks every kernel of the multi-pass sweep that this processor runs (on x86-64: eight doubles
# and four doubles in the 32 registers of AVX-512, four doubles in the 16 of AVX2, and two
# doubles; routing picks among them per number of passes), each forced at every pass count from
# 1 to 300, in place and streamed in chunks (SweepStream, including the chunk length that it
# picks itself), bit for bit against chained single passes, and that each kernel's object defines
# nothing outside its own namespace: builds the sweep's check program (tests/sweep_check.cpp) in
# build/kernel-bench and runs it with the symbol check through ctest, ten to twenty-five seconds.
# `make test` runs it before the test suite, which only reaches the kernels that routing picks
# here. A kernel the processor cannot run is reported as skipped.
#
#   scripts/check-sweep.sh
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

build=$root/build/kernel-bench

mkdir -p "$build"
start=$EPOCHREALTIME
if [[ ! -f $build/build.ninja && ! -f $build/Makefile ]]; then
    say "compiling the sweep's check program in build/kernel-bench"
else
    say "bringing the sweep's check program in build/kernel-bench up to date"
fi
logged "$build/configure.log" cmake -S "$root" --preset kernel-bench -B "$build" -DPython_EXECUTABLE="$root/.venv/bin/python"
logged "$build/build.log" cmake --build "$build" --target sweep_check brooklet_sweep
if grep -qE "Building CXX|Linking CXX" "$build/build.log"; then
    say "compiled in $(seconds_since "$start") s"
else
    say "up to date ($(seconds_since "$start") s)"
fi

say "checking every kernel of the multi-pass sweep this processor runs, bit for bit against" \
    "chained single passes (ten to twenty-five seconds)"
start=$EPOCHREALTIME
# Each kernel's verdict shows as soon as it is known.
ctest --test-dir "$build" --output-on-failure -V |
    grep -E --line-buffered "^[0-9]+: |tests passed|tests failed" | grep -vE --line-buffered "^[0-9]+: (Test |Working Dir)"
say "sweep checked in $(seconds_since "$start") s"
