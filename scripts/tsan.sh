#!/usr/bin/env bash
# ThreadSanitizer over the threaded tests, with the GIL off:
#
#   scripts/tsan.sh [pytest arguments]      # or: make tsan
#
# Builds (once, cached; scripts/build-cpython.sh tsan) a free-threaded x86-64 CPython 3.13 with
# ThreadSanitizer from the 32-bit target root's interpreter source, builds brooklet against it
# with -fsanitize=thread (CMake option BROOKLET_TSAN, build/tsan), and runs the threaded tests in
# that interpreter with PYTHON_GIL=0, test subprocesses included. Suppressed are CPython's own
# races: the list CPython keeps for its free-threaded build (Tools/tsan/suppressions_free_threading.txt
# of the same source) and scripts/tsan-cpython.supp, one line each with its reason; nothing in
# brooklet's code is. Any report fails the run; reports are kept in build/tsan/reports.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

build=$root/build/tsan
reports=$build/reports
start=$EPOCHREALTIME

interpreter=$(bash "$root/scripts/build-cpython.sh" tsan | tail -n 1)
venv=$build/venv
requirements="pytest>=8 hypothesis>=6.100"
if [[ ! -x $venv/bin/python ]] || ! stamp_ok "$venv/.requirements" "$interpreter $requirements"; then
    say "setting up $venv"
    rm -rf "$venv"
    "$interpreter" -m venv --without-pip "$venv"
    # The project's own pip installs wheels for the free-threaded interpreter into it: pip under the
    # sanitizer takes minutes.
    bash "$root/scripts/setup-env.sh" >/dev/null
    # shellcheck disable=SC2086 # the requirements are words
    venv_pip "$root/.venv" install --quiet --only-binary :all: \
        --target "$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')" \
        --implementation cp --python-version 3.13 --abi cp313t --abi none \
        --platform manylinux2014_x86_64 --platform any $requirements
    stamp_set "$venv/.requirements" "$interpreter $requirements"
fi
python=$venv/bin/python

# The interpreter's compiler builds the module too, so that both use one ThreadSanitizer runtime.
compiler=$("$python" -c 'import sysconfig; print(sysconfig.get_config_var("CXX").split()[0])')
CXX=$compiler cmake -S "$root" --preset tsan -B "$build" -DPython_EXECUTABLE="$python" >/dev/null
cmake --build "$build" -j "$(nproc)" >/dev/null
say "built $(ls "$build"/brooklet*.so) with $compiler in $(seconds_since "$start" 0) s"

# CPython's suppressions, from the source the interpreter was built from, and ours.
suppressions=$build/suppressions.txt
orig=$(cpython_orig_tarball "$target_root/usr/src/python3.13t")
tar -xOf "$orig" --wildcards '*/Tools/tsan/suppressions_free_threading.txt' >"$suppressions"
cat "$root/scripts/tsan-cpython.supp" >>"$suppressions"

rm -rf "$reports"
mkdir -p "$reports"
status=0
(
    cd "$build"
    export PYTHONPATH=$build PYTHON_GIL=0 PYTHONDONTWRITEBYTECODE=1
    export TSAN_OPTIONS="suppressions=$suppressions:log_path=$reports/tsan:halt_on_error=0:second_deadlock_stack=1"
    imports_from_build "$python" "$build"
    "$python" -c 'import sys; sys.exit("tsan: the GIL is on" if sys._is_gil_enabled() else 0)'
    "$python" -m pytest -p no:cacheprovider -q "$root/tests/test_threads.py" \
        "$root/tests/test_fast_paths.py::test_streamed_list_that_other_threads_change" "$@"
) || status=$?

no_reports "$reports" || status=1
say "$([[ $status == 0 ]] && echo "no ThreadSanitizer report" || echo FAILED) in $(seconds_since "$start" 0) s"
exit "$status"
