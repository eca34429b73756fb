#!/usr/bin/env bash
# Checks every vector version of the multi-pass sweep that this processor runs (AVX-512, AVX2
# and the baseline SSE2 version on x86-64), in place and streamed in chunks (SweepStream), bit
# for bit against chained single passes: builds the sweep's kernel program
# (bench/kernel_bench.cpp) in build/kernel-bench and runs its check mode (10-25 s),
# saying what it does at each step: a cold compile is silent for half a minute otherwise.
# `make test` runs it before the test suite, which only reaches the version that routing picks
# here. A version the processor cannot run is reported as skipped.
#
#   scripts/check-sweep.sh
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$root/build/kernel-bench

say() { echo "check-sweep: $*"; }
seconds_since() { awk -v from="$1" -v to="$EPOCHREALTIME" 'BEGIN { printf "%.1f", to - from }'; }

# Runs "$@" with its output in a log; on failure shows the log.
logged() {
    local log=$1; shift
    if ! "$@" >"$log" 2>&1; then
        say "FAILED: $*" >&2
        tail -n 40 "$log" >&2
        exit 1
    fi
}

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
