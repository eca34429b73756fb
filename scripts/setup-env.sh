#!/usr/bin/env bash
# Prepares the project-local virtual environment .venv: finds a CPython 3.13,
# creates the environment with it, and installs brooklet with its test tools (or with the
# optional dependencies named as the argument).
#
#   BROOKLET_PYTHON=/path/to/python3.13 scripts/setup-env.sh   # explicit interpreter
#   scripts/setup-env.sh example                               # matplotlib instead
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
venv=$root/.venv
tried=()

# True when "$1" runs as CPython 3.13 with the venv module and the C headers.
usable() {
    "$1" - <<'PY' >/dev/null 2>&1
import os, sys, sysconfig, venv
assert sys.version_info[:2] == (3, 13) and sys.implementation.name == "cpython"
assert os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h"))
PY
}

candidates() {
    command -v python3.13 || true
    echo /usr/bin/python3.13 /usr/local/bin/python3.13
    local pyenv_root=${PYENV_ROOT:-$HOME/.pyenv}
    ls -d "$pyenv_root"/versions/3.13*/bin/python3.13 2>/dev/null | sort -V -r || true
}

find_python() {
    if [[ -n ${BROOKLET_PYTHON:-} ]]; then
        tried+=("$BROOKLET_PYTHON (BROOKLET_PYTHON)")
        usable "$BROOKLET_PYTHON" && { echo "$BROOKLET_PYTHON"; return; }
        return 1
    fi
    local candidate
    for candidate in $(candidates); do
        [[ -x $candidate ]] || continue
        tried+=("$candidate")
        usable "$candidate" && { echo "$candidate"; return; }
    done
    # Debian's interpreter needs its venv and headers packages.
    if [[ -x /usr/bin/python3.13 && $(id -u) == 0 ]] && command -v apt-get >/dev/null; then
        apt-get install -y -qq python3.13-dev python3.13-venv >/dev/null 2>&1 || true
        usable /usr/bin/python3.13 && { echo /usr/bin/python3.13; return; }
    fi
    return 1
}

if ! python=$(find_python); then
    echo "setup-env: no usable CPython 3.13 (with venv and C headers) found." >&2
    echo "setup-env: tried: ${tried[*]:-nothing on PATH, /usr/bin, /usr/local/bin or pyenv}" >&2
    echo "setup-env: set BROOKLET_PYTHON=/path/to/python3.13 to name one." >&2
    exit 1
fi

stamp=$venv/.brooklet-python
if [[ ! -x $venv/bin/python || $(cat "$stamp" 2>/dev/null) != "$python" ]]; then
    rm -rf "$venv"
    "$python" -m venv "$venv"
    echo "$python" >"$stamp"
fi

"$venv/bin/python" -m pip install --quiet --disable-pip-version-check "$root[${1:-test}]"
