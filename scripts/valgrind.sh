#!/usr/bin/env bash
# Runs a representative script under valgrind's memcheck: the soak script's calls over every
# success and failure path (scripts/soak.py --child), against a build of brooklet with debug
# information in build/valgrind, with PYTHONMALLOC=malloc so that memcheck sees every Python
# object. Any invalid read or write, or use of uninitialised memory, fails the run:
#
#   scripts/valgrind.sh [CALLS]        # or: make valgrind; CALLS defaults to 3000
#
# valgrind is installed with apt-get when missing (as root). Leaks are left to the sanitizer run
# (scripts/sanitize.sh) and the soak run.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$root/build/valgrind
calls=${1:-3000}
cd "$root"

if ! command -v valgrind >/dev/null; then
    if [[ $(id -u) != 0 ]] || ! command -v apt-get >/dev/null; then
        echo "valgrind: not installed (Debian: apt-get install valgrind)" >&2
        exit 1
    fi
    echo "valgrind: installing valgrind"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq valgrind >/dev/null
fi

bash scripts/setup-env.sh
python=$root/.venv/bin/python
cmake -S "$root" -B "$build" -DPython_EXECUTABLE="$python" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)"
PYTHONPATH=$build "$python" -c "
import brooklet, sys
sys.exit(0 if brooklet.__file__.startswith('$build/') else 'valgrind: imported ' + brooklet.__file__)"

log=$build/memcheck.log
start=$EPOCHREALTIME
status=0
PYTHONPATH=$build PYTHONMALLOC=malloc valgrind --tool=memcheck --error-exitcode=99 --track-origins=yes \
    --leak-check=no --num-callers=40 --log-file="$log" \
    "$python" scripts/soak.py --child "$calls" >/dev/null 2>"$build/stderr.log" || status=$?
elapsed=$(awk -v s="$start" -v e="$EPOCHREALTIME" 'BEGIN { printf "%.0f", e - s }')
summary=$(grep -h 'ERROR SUMMARY' "$log" || true)
echo "valgrind: $calls calls under memcheck in $elapsed s; ${summary#==*== }"
if [[ $status != 0 ]]; then
    in_module=$(grep -c 'brooklet' "$log" || true)
    echo "valgrind: FAILED (exit status $status; $in_module stack lines in the module); see $log" >&2
    grep -v '^==[0-9]*== *$' "$log" | tail -n 60 >&2
    [[ $status == 99 ]] || tail -n 20 "$build/stderr.log" >&2
    exit 1
fi
