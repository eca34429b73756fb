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

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$root/build/tsan
reports=$build/reports
target_root=${TARGET_ROOT:-/var/cache/brooklet-target/trixie-i386}
say() { echo "tsan: $*"; }
start=$EPOCHREALTIME
elapsed() { awk -v s="$start" -v e="$EPOCHREALTIME" 'BEGIN { printf "%.0f", e - s }'; }

interpreter=$(bash "$root/scripts/build-cpython.sh" tsan | tail -n 1)
venv=$build/venv
requirements="pytest>=8 hypothesis>=6.100"
if [[ ! -x $venv/bin/python || $(cat "$venv/.requirements" 2>/dev/null) != "$interpreter $requirements" ]]; then
    say "setting up $venv"
    rm -rf "$venv"
    "$interpreter" -m venv --without-pip "$venv"
    # The project's own pip installs wheels for the free-threaded interpreter into it: pip under the
    # sanitizer takes minutes.
    bash "$root/scripts/setup-env.sh" >/dev/null
    # shellcheck disable=SC2086 # the requirements are words
    "$root/.venv/bin/python" -m pip install --quiet --disable-pip-version-check --only-binary :all: \
        --target "$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')" \
        --implementation cp --python-version 3.13 --abi cp313t --abi none \
        --platform manylinux2014_x86_64 --platform any $requirements
    echo "$interpreter $requirements" >"$venv/.requirements"
fi
python=$venv/bin/python

# The interpreter's compiler builds the module too, so that both use one ThreadSanitizer runtime.
compiler=$("$python" -c 'import sysconfig; print(sysconfig.get_config_var("CXX").split()[0])')
CXX=$compiler cmake -S "$root" -B "$build" -DPython_EXECUTABLE="$python" -DBROOKLET_TSAN=ON \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)" >/dev/null
say "built $(ls "$build"/brooklet*.so) with $compiler in $(elapsed) s"

# CPython's suppressions, from the source the interpreter was built from, and ours.
suppressions=$build/suppressions.txt
orig=$(ls "$target_root"/usr/src/python3.13t/python3.13_*.orig.tar.* | grep -v '\.asc$' | sed -n 1p)
tar -xOf "$orig" --wildcards '*/Tools/tsan/suppressions_free_threading.txt' >"$suppressions"
cat "$root/scripts/tsan-cpython.supp" >>"$suppressions"

rm -rf "$reports"
mkdir -p "$reports"
status=0
(
    cd "$build"
    export PYTHONPATH=$build PYTHON_GIL=0 PYTHONDONTWRITEBYTECODE=1
    export TSAN_OPTIONS="suppressions=$suppressions:log_path=$reports/tsan:halt_on_error=0:second_deadlock_stack=1"
    "$python" - <<'PY'
import brooklet, os, sys
if not brooklet.__file__.startswith(os.path.join(os.environ["PYTHONPATH"], "")):
    sys.exit(f"tsan: imported {brooklet.__file__}, not the ThreadSanitizer build")
if sys._is_gil_enabled():
    sys.exit("tsan: the GIL is on")
PY
    "$python" -m pytest -p no:cacheprovider -q "$root/tests/test_threads.py" \
        "$root/tests/test_fast_paths.py::test_streamed_list_that_other_threads_change" "$@"
) || status=$?

if compgen -G "$reports/*" >/dev/null; then
    say "ThreadSanitizer reports:" >&2
    for report in "$reports"/*; do
        echo "--- $report" >&2
        cat "$report" >&2
    done
    status=1
fi
say "$([[ $status == 0 ]] && echo "no ThreadSanitizer report" || echo FAILED) in $(elapsed) s"
exit "$status"
