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
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

build=$root/build/kernel-bench

mkdir -p "$build"
start=$EPOCHREALTIME
if [[ ! -f $build/build.ninja && ! -f $build/Makefile ]]; then
    say "compiling the sweep's check program in build/kernel-bench (first time: about half a minute)"
else
    say "bringing the sweep's check program in build/kernel-bench up to date"
fi
logged "$build/configure.log" cmake -S "$root" -B "$build" -DPython_EXECUTABLE="$root/.venv/bin/python" -DBROOKLET_KERNEL_BENCH=ON
logged "$build/build.log" cmake --build "$build" --target kernel_bench
if grep -qE "Building CXX|Linking CXX" "$build/build.log"; then
    say "compiled in $(seconds_since "$start") s"
else
    say "up to date ($(seconds_since "$start") s)"
fi

say "checking every vector version of the multi-pass sweep this processor runs, bit for bit against" \
    "chained single passes (ten to twenty-five seconds)"
start=$EPOCHREALTIME
# Line-buffered, so that each version's verdict shows as soon as it is known.
stdbuf -oL "$build/kernel_bench" --check
say "sweep checked in $(seconds_since "$start") s"
