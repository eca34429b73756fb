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
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

build=$root/build/valgrind
calls=${1:-3000}
cd "$root"

command -v valgrind >/dev/null || install_missing_packages valgrind

bash scripts/setup-env.sh
python=$root/.venv/bin/python
cmake -S "$root" --preset valgrind -B "$build" -DPython_EXECUTABLE="$python" >/dev/null
cmake --build "$build" -j "$(nproc)"
imports_from_build "$python" "$build"

log=$build/memcheck.log
start=$EPOCHREALTIME
status=0
PYTHONPATH=$build PYTHONMALLOC=malloc valgrind --tool=memcheck --error-exitcode=99 --track-origins=yes \
    --leak-check=no --num-callers=40 --log-file="$log" \
    "$python" scripts/soak.py --child "$calls" >/dev/null 2>"$build/stderr.log" || status=$?
summary=$(grep -h 'ERROR SUMMARY' "$log" || true)
say "$calls calls under memcheck in $(seconds_since "$start" 0) s; ${summary#==*== }"
if [[ $status != 0 ]]; then
    in_module=$(grep -c 'brooklet' "$log" || true)
    say "FAILED (exit status $status; $in_module stack lines in the module); see $log" >&2
    grep -v '^==[0-9]*== *$' "$log" | tail -n 60 >&2
    [[ $status == 99 ]] || tail -n 20 "$build/stderr.log" >&2
    exit 1
fi
