#!/usr/bin/env bash
# Builds brooklet with AddressSanitizer and UndefinedBehaviorSanitizer (CMake option
# BROOKLET_SANITIZE) in build/sanitize and runs the whole test suite against that build with the
# project's ordinary interpreter (.venv):
#
#   scripts/sanitize.sh [pytest arguments]      # or: make sanitize
#
# The interpreter is not instrumented, so the sanitizer runtime is preloaded (LD_PRELOAD), and
# PYTHONMALLOC=malloc sends every Python object through the sanitized malloc so that a use after
# release or a stray write into an object is seen. Test subprocesses inherit all of this. Leaks
# are checked at every process exit; scripts/lsan-interpreter.supp suppresses only memory that
# the interpreter itself allocates and keeps until the process ends. Any sanitizer report fails
# the run; reports are kept in build/sanitize/reports.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

build=$root/build/sanitize
reports=$build/reports
cd "$root"

bash scripts/setup-env.sh
python=$root/.venv/bin/python

start=$EPOCHREALTIME
cmake -S "$root" --preset sanitize -B "$build" -DPython_EXECUTABLE="$python" >/dev/null
cmake --build "$build" -j "$(nproc)"
module=$(ls "$build"/brooklet*.so)
say "built $module in $(seconds_since "$start") s"

# The C++ runtime is preloaded with the sanitizer so that the sanitizer finds the exception
# functions it wraps at start-up; the interpreter would only load it with the module.
preload=
for library in libasan.so libstdc++.so; do
    path=$("${CXX:-c++}" -print-file-name=$library)
    [[ -f $path ]] || { say "no $library from ${CXX:-c++}" >&2; exit 1; }
    preload+="${preload:+ }$path"
done

# The test that builds a helper extension runs the C compiler; the compiler is not checked.
mkdir -p "$build/bin"
cat >"$build/bin/cc" <<'SH'
#!/bin/sh
exec env -u LD_PRELOAD -u ASAN_OPTIONS -u LSAN_OPTIONS -u UBSAN_OPTIONS cc "$@"
SH
chmod +x "$build/bin/cc"

rm -rf "$reports"
mkdir -p "$reports"
status=0
(
    cd "$build"  # the Hypothesis database and pytest's cache land here, not in the checkout
    export PYTHONPATH=$build PYTHONMALLOC=malloc PYTHONDONTWRITEBYTECODE=1 CC=$build/bin/cc
    export ASAN_OPTIONS="detect_leaks=1:log_path=$reports/asan:allocator_may_return_null=1:detect_stack_use_after_return=1"
    export LSAN_OPTIONS="suppressions=$root/scripts/lsan-interpreter.supp:print_suppressions=0"
    export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$reports/ubsan"
    LD_PRELOAD=$preload imports_from_build "$python" "$build"
    # The tests that cannot run under a sanitizer, with the reasons, are in scripts/sanitizer-skips.
    mapfile -t skips < <(grep -v -e '^#' -e '^$' "$root/scripts/sanitizer-skips")
    LD_PRELOAD=$preload "$python" -m pytest -p no:cacheprovider -q "$root/tests" \
        "${skips[@]/#/--deselect=}" "$@"
) || status=$?

no_reports "$reports" || status=1
say "$([[ $status == 0 ]] && echo "no sanitizer report" || echo FAILED) in $(seconds_since "$start" 0) s"
exit "$status"
