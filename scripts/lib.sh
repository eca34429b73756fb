# shellcheck shell=bash
# Helpers shared by the scripts in scripts/, on the host and inside the target and old-system
# roots (where the checkout is /src). Sourced, never run:
#
#   source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
#
# Sets `root` to the checkout, `target` to the directory of the target root's scripts (prepare,
# run) and `target_root` to the target root itself.

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
target=${BROOKLET_TARGET_DIR:-$root/../shared/target}
# shellcheck disable=SC2034 # for the scripts that source this
target_root=${TARGET_ROOT:-/var/cache/brooklet-target/trixie-i386}

# Messages start with the script's name; say_fd=2 sends them to standard error, for a script whose
# standard output is its result.
say_name=${say_name:-$(basename "$0" .sh)}
say() { echo "$say_name: $*" >&"${say_fd:-1}"; }

# Seconds since an $EPOCHREALTIME reading, with $2 decimals (default 1).
seconds_since() { awk -v from="$1" -v to="$EPOCHREALTIME" -v digits="${2:-1}" 'BEGIN { printf "%." digits "f", to - from }'; }

# Runs "$@" with its output in the log $1; on failure shows the end of the log and stops.
logged() {
    local log=$1; shift
    mkdir -p "$(dirname "$log")"
    if ! "$@" >"$log" 2>&1; then
        say "FAILED: $*" >&2
        # pip's notes about build options that the backend does not take are noise here.
        { grep -v "is ignored: it is neither" "$log" || true; } | tail -n 40 >&2
        say "full log: $log" >&2
        exit 1
    fi
}

# A stamp file holds the key a step was last done with; the step reruns when its key changes.
stamp_ok() { [[ -f $1 && $(<"$1") == "$2" ]]; }
stamp_set() { mkdir -p "$(dirname "$1")"; printf '%s\n' "$2" >"$1"; }

# Installs the Debian packages named that are not installed yet (as root, with apt-get), or stops
# naming them. A first argument --no-install-recommends is passed on to apt-get. apt's output goes
# to standard error, so that a script's standard output stays its result.
install_missing_packages() {
    local options=(-y -qq) missing=() package
    if [[ ${1:-} == --no-install-recommends ]]; then
        options+=("$1")
        shift
    fi
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
    done
    ((${#missing[@]})) || return 0
    if [[ $(id -u) != 0 ]] || ! command -v apt-get >/dev/null; then
        say "needs ${missing[*]} (Debian: apt-get install ${missing[*]})" >&2
        exit 1
    fi
    say "installing ${missing[*]}" >&2
    apt-get update -qq >&2
    DEBIAN_FRONTEND=noninteractive apt-get install "${options[@]}" "${missing[@]}" >&2
}

# pip of the virtual environment $1, with "${@:2}" as its arguments.
venv_pip() { "$1/bin/python" -m pip --disable-pip-version-check "${@:2}"; }

# The wheel tag of the modules that interpreter $1 loads, e.g. cp313-cp313t-linux_x86_64.
wheel_tag() {
    "$1" -c 'import sys, sysconfig
python = "cp%d%d" % sys.version_info[:2]
abi = python + ("t" if sysconfig.get_config_var("Py_GIL_DISABLED") else "")
print(f"{python}-{abi}-" + sysconfig.get_platform().replace("-", "_").replace(".", "_"))'
}

# The orig tarball of Debian's python3.13 source package in directory $1 (not its signature).
cpython_orig_tarball() { compgen -G "$1/python3.13_*.orig.tar.*" | grep -v '\.asc$' | sed -n 1p; }

# Stops unless the target root's scripts are at hand and this runs as root, which entering the
# target root needs (mount and chroot).
require_target() {
    if [[ ! -x $target/prepare || ! -x $target/run ]]; then
        say "no target scripts (prepare, run) in $target; set BROOKLET_TARGET_DIR to the directory that holds them" >&2
        exit 1
    fi
    if [[ $(id -u) != 0 ]]; then
        say "must run as root (the target root is entered with mount and chroot)" >&2
        exit 1
    fi
}

# Checks that interpreter $1 imports brooklet from the build directory $2 (on PYTHONPATH), not from
# an installed copy, so that a checking build is the one under test.
imports_from_build() {
    PYTHONPATH=$2 "$1" - "$2" "$say_name" <<'PY'
import os, sys
import brooklet
if not brooklet.__file__.startswith(os.path.join(sys.argv[1], "")):
    sys.exit(f"{sys.argv[2]}: imported {brooklet.__file__}, not the build in {sys.argv[1]}")
PY
}

# Prints every sanitizer report file in directory $1 to standard error; fails when there was one.
no_reports() {
    compgen -G "$1/*" >/dev/null || return 0
    say "sanitizer reports:" >&2
    local report
    for report in "$1"/*; do
        echo "--- $report" >&2
        cat "$report" >&2
    done
    return 1
}
