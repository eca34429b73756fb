#!/usr/bin/env bash
# Coverage-guided fuzzing with libFuzzer, under AddressSanitizer and UndefinedBehaviorSanitizer:
#
#   scripts/fuzz.sh [seconds per target]      # or: make fuzz [FUZZ_SECONDS=600]; default 30
#
# Two targets, each run for the given time from its committed seed corpus (fuzz/corpus/<target>)
# plus what earlier runs on this machine found (build/fuzz/corpus-<target>, not committed):
#   kernel  fuzz/kernel_target.cpp: every sweep version this processor runs, in place and streamed
#           in drawn chunks, against chained single passes, bit for bit; no interpreter.
#   call    fuzz/call_target.py: the module, with coverage instrumentation, called through Atheris
#           with drawn call shapes and hostile argument objects; every call ends in a list or one
#           exception, plain calls match the tests' reference, nothing leaks a reference.
# libFuzzer needs clang: Debian's clang-19 and its runtime libraries are installed when missing.
# A finding stops its target, keeps the input in build/fuzz/findings/ and fails the run. The
# closing lines give each target's executions, coverage (cov: edges, ft: features) and corpus.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

seconds=${1:-${FUZZ_SECONDS:-30}}
build=$root/build/fuzz
clang_version=19
start=$EPOCHREALTIME

install_missing_packages --no-install-recommends clang-$clang_version libclang-rt-$clang_version-dev llvm-$clang_version
clangxx=clang++-$clang_version
runtime=$(dirname "$("$clangxx" -print-file-name=libclang_rt.asan-x86_64.so)")
symbolizer=$(command -v llvm-symbolizer-$clang_version || echo "/usr/lib/llvm-$clang_version/bin/llvm-symbolizer")

# The call target's interpreter: a virtual environment of the project's CPython 3.13 with Atheris.
bash "$root/scripts/setup-env.sh" >/dev/null
venv=$build/venv
requirements=$root/fuzz/requirements.txt
key=$(sha256sum <"$requirements")
if [[ ! -x $venv/bin/python ]] || ! stamp_ok "$venv/.requirements" "$key"; then
    say "setting up $venv"
    rm -rf "$venv"
    "$(readlink -f "$root/.venv/bin/python")" -m venv "$venv"
    venv_pip "$venv" install --quiet -r "$requirements"
    stamp_set "$venv/.requirements" "$key"
fi

CXX=$clangxx cmake -S "$root" --preset fuzz -B "$build" -DPython_EXECUTABLE="$venv/bin/python" >/dev/null
cmake --build "$build" >/dev/null
# Atheris finds the libFuzzer preloaded here; preloaded ahead of the sanitizer runtime, it provides
# the coverage callbacks of the module's instrumentation (the runtime has empty ones of its own).
libfuzzer=$build/libfuzzer-no-main.so
if [[ ! -f $libfuzzer || $runtime/libclang_rt.fuzzer_no_main-x86_64.a -nt $libfuzzer ]]; then
    "$clangxx" -shared -o "$libfuzzer" -Wl,--whole-archive "$runtime/libclang_rt.fuzzer_no_main-x86_64.a" \
        -Wl,--no-whole-archive -lpthread -ldl -lm
fi
say "built the targets in $(seconds_since "$start" 0) s"

findings=$build/findings
mkdir -p "$findings"
export ASAN_SYMBOLIZER_PATH=$symbolizer UBSAN_SYMBOLIZER_PATH=$symbolizer
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
# Inputs of any length up to the most from the start (a short input draws mostly defaults).
options=(-max_total_time="$seconds" -print_final_stats=1 -print_funcs=0 -timeout=20 -rss_limit_mb=4096
         -len_control=0 -artifact_prefix="$findings/")
status=0
summaries=()

run_target() {
    local name=$1 max_len=$2 log=$build/$1.log
    shift 2
    mkdir -p "$build/corpus-$name"
    say "$name: $seconds s"
    if ! "$@" "${options[@]}" -max_len="$max_len" "$build/corpus-$name" "$root/fuzz/corpus/$name" >"$log" 2>&1; then
        status=1
        say "$name: FINDING (log: $log)"
        grep -E -A30 "ERROR|runtime error|Traceback|Uncaught|differs|AssertionError" "$log" | head -60 || tail -40 "$log"
    fi
    summaries+=("$name: $(awk '/^stat::number_of_executed_units/ { runs = $2 }
        /(DONE|pulse|NEW|REDUCE|INITED) +cov:/ { for (i = 1; i <= NF; i++) { if ($i == "cov:") cov = $(i + 1); if ($i == "ft:") ft = $(i + 1); if ($i == "corp:") corp = $(i + 1) } }
        END { printf "%s executions, cov %s edges, ft %s features, corpus %s", runs, cov, ft, corp }' "$log")")
}

(
    export ASAN_OPTIONS="detect_leaks=1:allocator_may_return_null=1"
    run_target kernel 4096 "$build/kernel_target"
    for summary in "${summaries[@]}"; do say "$summary"; done
    exit "$status"
) || status=1
summaries=()
(
    cd "$build"
    # The interpreter is not instrumented: its memory goes through the sanitizer's malloc, and the
    # leak check at exit is off (the interpreter keeps much of its memory to the end on purpose);
    # the target itself checks that every object a call was given is freed after it.
    export PYTHONPATH=$build PYTHONMALLOC=malloc PYTHONDONTWRITEBYTECODE=1
    export ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:verify_asan_link_order=0"
    libstdcxx=$(g++ -print-file-name=libstdc++.so)
    export LD_PRELOAD="$libfuzzer $runtime/libclang_rt.asan-x86_64.so $libstdcxx"
    run_target call 1024 "$venv/bin/python" "$root/fuzz/call_target.py"
    for summary in "${summaries[@]}"; do say "$summary"; done
    exit "$status"
) || status=1

say "$([[ $status == 0 ]] && echo "no finding" || echo FAILED) in $(seconds_since "$start" 0) s"
exit "$status"
