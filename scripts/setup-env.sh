#!/usr/bin/env bash
# Prepares the project-local virtual environment .venv: finds a CPython 3.13 (or takes the 3.13,
# 3.14 or 3.15 that BROOKLET_PYTHON names), creates the
# environment with it, installs the build tools and the optional dependencies named as the
# arguments (default: test), and builds and installs brooklet.
#
#   BROOKLET_PYTHON=/path/to/python3.13 scripts/setup-env.sh   # explicit interpreter
#   scripts/setup-env.sh example                               # the examples' extras instead
#   scripts/setup-env.sh test example                          # both
#   BROOKLET_VENV=.venv-free-threaded BROOKLET_PYTHON=.../python3.13t scripts/setup-env.sh
#                                            # another environment, e.g. of a free-threaded build
#   BROOKLET_WHEELS_ONLY=1 ...               # the extras' tools only from wheels, each on its
#                                            # own; one that has none for the interpreter is left out
#
# Every step is skipped when its inputs are unchanged (stamps in .venv/.brooklet/), so a run with
# nothing changed takes a fraction of a second; pip itself would take seconds to find that the
# module is up to date. Otherwise the module is built without build isolation in the persistent
# tree build/<wheel tag> (scikit-build-core's build-dir), so CMake's cache stays valid and ninja
# recompiles only the C++ files that changed (an isolated build environment lives at a new path
# every time, which makes scikit-build-core start the build tree afresh).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

venv=$(realpath -m "${BROOKLET_VENV:-$root/.venv}")
stamps=$venv/.brooklet
extras=("$@")
[[ ${1:-} != --find-python ]] || extras=()
((${#extras[@]})) || extras=(test)
tried=()

# Prints why "$1" cannot be used (nothing when it can): it must run as CPython 3.13, 3.14 or 3.15
# with the venv module and the C headers.
python_problem() {
    local python=$1 output
    if [[ $python != */* ]] && ! command -v "$python" >/dev/null; then
        echo "not found on PATH"; return
    fi
    [[ $python != */* ]] || [[ -e $python ]] || { echo "no such file"; return; }
    [[ $python != */* ]] || [[ -x $python ]] || { echo "not executable"; return; }
    if ! output=$("$python" - 2>&1 <<'PY'
import os, sys, sysconfig
version = ".".join(map(str, sys.version_info[:3]))
try:
    import ensurepip, venv
except ImportError:
    has_venv = False
else:
    has_venv = True
minor = f"{sys.version_info[0]}.{sys.version_info[1]}"
if sys.implementation.name != "cpython" or not (3, 13) <= sys.version_info[:2] <= (3, 15):
    name = {"cpython": "CPython", "pypy": "PyPy"}.get(sys.implementation.name, sys.implementation.name)
    print(f"is {name} {version}, not CPython 3.13, 3.14 or 3.15")
elif not has_venv:
    print(f"CPython {version} has no venv or ensurepip module (Debian: apt-get install python{minor}-venv)")
elif not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")):
    print(f"CPython {version} has no C headers: no Python.h in {sysconfig.get_paths()['include']}"
          f" (Debian: apt-get install python{minor}-dev)")
PY
    ); then
        echo "does not run: $(grep -m 1 . <<<"$output")"; return
    fi
    echo "$output"
}

candidates() {
    command -v python3.13 || true
    echo /usr/bin/python3.13 /usr/local/bin/python3.13
    local pyenv_root=${PYENV_ROOT:-$HOME/.pyenv}
    ls -d "$pyenv_root"/versions/3.13*/bin/python3.13 2>/dev/null | sort -V -r || true
}

# Sets `python` to the first usable interpreter; every one looked at goes into `tried`, with
# what is wrong with it.
find_python() {
    local candidate problem
    if [[ -n ${BROOKLET_PYTHON:-} ]]; then
        problem=$(python_problem "$BROOKLET_PYTHON")
        [[ -z $problem ]] && { python=$BROOKLET_PYTHON; return; }
        say "BROOKLET_PYTHON=$BROOKLET_PYTHON cannot be used: $problem" >&2
        exit 1
    fi
    for candidate in $(candidates); do
        [[ -x $candidate ]] || continue
        problem=$(python_problem "$candidate")
        [[ -z $problem ]] && { python=$candidate; return; }
        tried+=("$candidate ($problem)")
    done
    # Debian's interpreter needs its venv and headers packages.
    if [[ -x /usr/bin/python3.13 && $(id -u) == 0 ]] && command -v apt-get >/dev/null; then
        (install_missing_packages python3.13-dev python3.13-venv) || true
        [[ -z $(python_problem /usr/bin/python3.13) ]] && { python=/usr/bin/python3.13; return; }
    fi
    say "no usable CPython 3.13 (with venv and C headers) found." >&2
    if ((${#tried[@]})); then
        say "tried:" >&2
        printf '  %s\n' "${tried[@]}" >&2
    else
        say "tried: nothing; no python3.13 on PATH, in /usr/bin, /usr/local/bin or pyenv's versions" >&2
    fi
    say "install CPython 3.13 or set BROOKLET_PYTHON=/path/to/python3.13 to name one." >&2
    exit 1
}

# A key of everything that goes into the installed module: sources, stubs, build files, metadata,
# and the environment variables that the compiler, CMake and scikit-build-core read.
module_inputs_key() {
    {
        (cd "$root" && find src stubs CMakeLists.txt pyproject.toml LICENSE README.md -type f -print0 |
            LC_ALL=C sort -z | xargs -0 sha256sum)
        env | grep -E '^(CC|CXX|CFLAGS|CXXFLAGS|CPPFLAGS|LDFLAGS|CMAKE_[A-Z_]+|SKBUILD_[A-Z_]+)=' | LC_ALL=C sort || true
    } | sha256sum | cut -c1-32
}

# Where the installed module lives, with its size and time: a reinstall by hand changes it.
installed_module() {
    local so
    so=$(compgen -G "$venv/lib/python3.1*/site-packages/brooklet.cpython-*.so" | head -n 1) || return 0
    stat -c '%n %s %Y' "$so"
}

optional_dependencies() {
    "$venv/bin/python" - "$root/pyproject.toml" "$1" <<'PY'
import sys, tomllib
with open(sys.argv[1], "rb") as f:
    extras = tomllib.load(f)["project"]["optional-dependencies"]
if sys.argv[2] not in extras:
    sys.exit(f"setup-env: no optional dependencies named {sys.argv[2]!r}; there are {', '.join(extras)}")
print("\n".join(extras[sys.argv[2]]))
PY
}

# What the build backend needs beyond itself (cmake, ninja) when none are installed.
build_requirements() {
    (cd "$root" && "$venv/bin/python" - "$root/pyproject.toml" <<'PY'
import sys, tomllib
with open(sys.argv[1], "rb") as f:
    requirements = tomllib.load(f)["build-system"]["requires"]
try:
    from scikit_build_core.build import get_requires_for_build_wheel
except ImportError:
    pass
else:
    requirements += get_requires_for_build_wheel()
print(*requirements, sep="\n")
PY
    )
}

build_and_install() {
    local tag start log=$root/build/setup-env.log
    tag=$(wheel_tag "$venv/bin/python")
    say "building brooklet in build/$tag (ninja compiles what changed), then installing it"
    start=$EPOCHREALTIME
    mkdir -p "$root/build"
    # ninja's progress lines show each file as it is compiled; the rest goes to the log.
    if ! (cd "$root" && venv_pip "$venv" install --no-build-isolation --no-deps -v \
            --config-settings=build-dir="build/{wheel_tag}" .) 2>&1 | tee "$log" |
            sed -un 's|^ *\[[0-9]*/[0-9]*\] Building CXX object CMakeFiles/brooklet[_a-z]*.dir/\(.*\)\.o$|setup-env:   compiling \1|p'; then
        if grep -q '^ *FAILED: ' "$log"; then
            say "FAILED to compile brooklet (full log: $log):" >&2
            # The compiler's messages, from ninja's first failed command to where it stopped.
            sed -n '/^ *FAILED: /,/ninja: build stopped/p' "$log" | head -n 80 >&2
        else
            say "FAILED to build brooklet; the end of $log:" >&2
            { grep -v "is ignored: it is neither" "$log" || true; } | tail -n 40 >&2
        fi
        exit 1
    fi
    say "built and installed brooklet in $(seconds_since "$start") s"
}

# ------------------------------------------------------------------------------------------

python=
find_python
# `setup-env.sh --find-python` only names the interpreter that the set-up would use.
if [[ ${1:-} == --find-python ]]; then
    echo "$python"
    exit 0
fi

if ! stamp_ok "$stamps/python" "$python" || [[ ! -x $venv/bin/python ]]; then
    say "creating $(basename "$venv") with $python ($("$python" -c 'import sys; print(sys.version.split()[0])'))"
    rm -rf "$venv"
    "$python" -m venv "$venv"
    stamp_set "$stamps/python" "$python"
fi

key=$(sha256sum <"$root/pyproject.toml" | cut -c1-32)
if ! stamp_ok "$stamps/build-tools" "$key"; then
    say "installing the build tools (scikit-build-core, and CMake and ninja where none are installed)"
    start=$EPOCHREALTIME
    # Twice: the backend itself first, then whatever it reports missing.
    mapfile -t requirements < <(build_requirements)
    logged "$root/build/setup-env.log" venv_pip "$venv" install "${requirements[@]}"
    mapfile -t requirements < <(build_requirements)
    logged "$root/build/setup-env.log" venv_pip "$venv" install "${requirements[@]}"
    say "build tools installed in $(seconds_since "$start") s"
    stamp_set "$stamps/build-tools" "$key"
fi

for extra in "${extras[@]}"; do
    dependencies=$(optional_dependencies "$extra")
    if ! stamp_ok "$stamps/extra-$extra" "$dependencies"; then
        say "installing the $extra tools: $(tr '\n' ' ' <<<"$dependencies")"
        start=$EPOCHREALTIME
        mapfile -t requirements <<<"$dependencies"
        if [[ -n ${BROOKLET_WHEELS_ONLY:-} ]]; then
            # Each tool from a wheel on its own: one with no wheel for this interpreter is left
            # out, and the tests that need it skip.
            for requirement in "${requirements[@]}"; do
                venv_pip "$venv" install --only-binary=:all: "$requirement" >>"$root/build/setup-env.log" 2>&1 ||
                    say "  $requirement: no wheel for this interpreter; left out"
            done
        else
            logged "$root/build/setup-env.log" venv_pip "$venv" install "${requirements[@]}"
        fi
        say "$extra tools installed in $(seconds_since "$start") s"
        stamp_set "$stamps/extra-$extra" "$dependencies"
    fi
done

inputs=$(module_inputs_key)
if stamp_ok "$stamps/module" "$inputs $(installed_module)"; then
    say "$(basename "$venv") is up to date: brooklet built from the current sources, ${extras[*]} tools installed"
else
    build_and_install
    stamp_set "$stamps/module" "$inputs $(installed_module)"
fi
