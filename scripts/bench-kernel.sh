#!/usr/bin/env bash
# Builds and runs the sweep kernel micro-benchmark (bench/kernel_bench.cpp, CMake option
# BROOKLET_KERNEL_BENCH) on the host, then in the 32-bit x86 target root when it can be entered:
#
#   scripts/bench-kernel.sh [--rounds N] [--length N]      # or: make bench-kernel
#
# Each run measures every sweep kernel that its processor and build can run (on x86-64: eight
# doubles and four doubles in the 32 registers of AVX-512, four doubles with AVX2, two doubles;
# 32-bit code has AVX2 and two doubles), at pass counts from 2 to 300, beside the bound that it
# measures for its processor, and marks the kernel that routing picks for each (`--kernel NAME`
# measures one only). scripts/check-sweep.sh checks the kernels.
# BROOKLET_TARGET_DIR names the target scripts (default ../shared/target);
# BROOKLET_BENCH_HOST_ONLY=1 skips the target.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

if [[ ${1:-} == --inside ]]; then  # in the target root, with the checkout at /src
    shift
    mkdir -p /tmp/brooklet-target
    build=$(mktemp -d /tmp/brooklet-target/kernel-bench.XXXXXX)
    cmake -S /src --preset target -B "$build" -DPython_EXECUTABLE="$(command -v python3.13)" \
        >"$build.configure.log" 2>&1 || { cat "$build.configure.log" >&2; exit 1; }
    cmake --build "$build" --target kernel_bench >/dev/null
    status=0
    "$build/kernel_bench" "$@" || status=$?
    rm -rf "$build" "$build.configure.log"
    exit "$status"
fi

bash "$root/scripts/setup-env.sh"
build=$root/build/kernel-bench
cmake -S "$root" --preset kernel-bench -B "$build" -DPython_EXECUTABLE="$root/.venv/bin/python" >/dev/null
cmake --build "$build" --target kernel_bench >/dev/null
echo "=== host ($(uname -m))"
"$build/kernel_bench" "$@"

if [[ ${BROOKLET_BENCH_HOST_ONLY:-} == 1 ]]; then
    exit 0
fi
if [[ ! -x $target/run || $(id -u) != 0 ]]; then
    echo "bench-kernel: no target root here (needs root and $target/run); host only" >&2
    exit 0
fi
"$target/prepare" >/dev/null
echo
echo "=== 32-bit x86 target root"
"$target/run" --workdir "$root" -- bash /src/scripts/bench-kernel.sh --inside "$@"
