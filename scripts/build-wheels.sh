#!/usr/bin/env bash
# Builds the release files into dist/ and checks each wheel on its own interpreter:
#
#   scripts/build-wheels.sh            # needs root for the i386 part; run as `make wheels`
#
#   brooklet-<v>-cp313-cp313-manylinux_<glibc>_x86_64.whl   CPython 3.13 on x86-64 (this host)
#   brooklet-<v>-cp313-cp313-manylinux_<glibc>_i686.whl     Debian's CPython 3.13, i386 root
#   brooklet-<v>-cp313-cp313t-manylinux_<glibc>_i686.whl    free-threaded CPython 3.13, i386 root
#   brooklet-<v>.tar.gz                                     the sdist
#
# Each wheel is built without build isolation in a persistent tree build/<wheel tag> (so a warm
# run recompiles only what changed), then checked and tagged by auditwheel with the most
# compatible manylinux policy it finds; auditwheel runs with no ELF patcher, so a wheel that
# would need a shared library grafted into it fails instead of being changed. Each wheel is then
# installed into a new, empty environment of its own interpreter (the i386 ones inside the root)
# and routes the textbook flood to the committed values (scripts/wheel_smoke.py).
#
# Inside the root pip reaches PyPI with this machine's own pip configuration: its certificate
# bundle (the root has none that PyPI's certificate chain verifies against here) and its index
# URL, when one is set. pip itself is put into the root's environments from a wheel downloaded on
# the host, since neither of the root's interpreters brings pip along.
set -euo pipefail

say() { echo "build-wheels: $*"; }
seconds_since() { awk -v from="$1" -v to="$EPOCHREALTIME" 'BEGIN { printf "%.1f", to - from }'; }

# Runs "$@" with its output in a log; on failure shows the end of the log and stops.
logged() {
    local log=$1; shift
    if ! "$@" >"$log" 2>&1; then
        say "FAILED: $*" >&2
        { grep -v "is ignored: it is neither" "$log" || true; } | tail -n 40 >&2
        say "full log: $log" >&2
        exit 1
    fi
}

# Checks that every compile of a build had the flags that make its double arithmetic exact:
# no contraction into fused multiply-adds, and on 32-bit x86 SSE2 instead of the x87 stack.
check_compile_flags() {
    "$1" - "$2" <<'PY'
import json, platform, shlex, sys
commands = json.load(open(sys.argv[1]))
required = ["-ffp-contract=off"]
if platform.machine() in ("i386", "i486", "i586", "i686"):
    required += ["-msse2", "-mfpmath=sse"]
problems = [f"{entry['file']}: {flag} missing" for entry in commands
            for flag in required if flag not in shlex.split(entry["command"])]
if problems or not commands:
    sys.exit("build-wheels: compile flags: " + ("; ".join(problems) or "no compile commands"))
print(f"build-wheels: {len(commands)} files compiled with {' '.join(required)}")
PY
}

# Builds a wheel with the build tools of the environment $tools into dist/ and smoke-checks it in
# a new environment of $python. Runs on the host and inside the root alike.
build_check_wheel() {
    local python=$1 tools=$2 src=$3 work=$4 tag raw wheel smoke start
    tag=$("$tools/bin/python" -c 'import sysconfig
abi = "cp313t" if sysconfig.get_config_var("Py_GIL_DISABLED") else "cp313"
print(f"cp313-{abi}-" + sysconfig.get_platform().replace("-", "_").replace(".", "_"))')
    raw=$work/raw-$tag
    rm -rf "$raw"
    mkdir -p "$raw" "$src/dist"

    start=$EPOCHREALTIME
    say "$tag: building the wheel in build/$tag (only changed C++ files are recompiled)"
    (cd "$src" && logged "$work/build-$tag.log" "$tools/bin/python" -m pip wheel -v \
        --no-build-isolation --no-deps --config-settings=build-dir="build/{wheel_tag}" \
        --config-settings=cmake.define.CMAKE_EXPORT_COMPILE_COMMANDS=ON -w "$raw" .)
    say "$tag: compiled $(grep -c 'Building CXX object' "$work/build-$tag.log" || true) files, wheel built in $(seconds_since "$start") s"
    check_compile_flags "$tools/bin/python" "$src/build/$tag/compile_commands.json"

    logged "$work/auditwheel-$tag.log" "$tools/bin/auditwheel" repair --patcher none -w "$src/dist" "$raw"/*.whl
    wheel=$(sed -n 's/.*Fixed-up wheel written to //p' "$work/auditwheel-$tag.log")
    [[ -f $wheel ]] || { say "$tag: auditwheel wrote no wheel" >&2; cat "$work/auditwheel-$tag.log" >&2; exit 1; }
    say "$tag: auditwheel: $(basename "$wheel")"

    smoke=$work/smoke-$tag
    rm -rf "$smoke"
    "$python" -m venv --without-pip "$smoke"
    logged "$work/install-$tag.log" "$tools/bin/python" -m pip --python "$smoke/bin/python" install \
        --no-index --no-deps "$wheel"
    (cd "$work" && "$smoke/bin/python" -I "$src/scripts/wheel_smoke.py")
    rm -rf "$smoke" "$raw"
}

# ------------------------------------------------------------- inside the root

# Arguments: the interpreter, then the pip wheel to bootstrap its build tools with.
inside() {
    local python=$1 pip_wheel=$2 tools key work=/tmp/brooklet-wheels
    mkdir -p "$work"
    tools=/src/build/target-wheels/tools-$python
    key="$(sha256sum </src/scripts/wheel-requirements.txt) $(basename "$pip_wheel")"
    if [[ ! -x $tools/bin/python || $(cat "$tools/.key" 2>/dev/null) != "$key" ]]; then
        say "$python: creating the build tools environment (pip, scikit-build-core, auditwheel from PyPI)"
        local start=$EPOCHREALTIME
        rm -rf "$tools"
        "$python" -m venv --without-pip "$tools"
        logged "$work/tools-$python.log" "$tools/bin/python" "$pip_wheel/pip" install --no-index "$pip_wheel"
        logged "$work/tools-$python.log" "$tools/bin/python" -m pip install -r /src/scripts/wheel-requirements.txt
        echo "$key" >"$tools/.key"
        say "$python: build tools environment created in $(seconds_since "$start") s"
    fi
    build_check_wheel "$(command -v "$python")" "$tools" /src "$work"
}

if [[ ${1:-} == --inside ]]; then
    shift
    export PIP_CACHE_DIR=/src/build/target-wheels/pip-cache PIP_DISABLE_PIP_VERSION_CHECK=1
    inside "$@"
    exit
fi

# ------------------------------------------------------------------ on the host

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
target=${BROOKLET_TARGET_DIR:-$root/../shared/target}
work=$root/build/wheels
cd "$root"
if [[ ! -x $target/prepare || ! -x $target/run ]]; then
    say "no target scripts (prepare, run) in $target; set BROOKLET_TARGET_DIR to the directory that holds them" >&2
    exit 1
fi
if [[ $(id -u) != 0 ]]; then
    say "must run as root (the i386 wheels are built in the target root, entered with mount and chroot)" >&2
    exit 1
fi

total_start=$EPOCHREALTIME
bash scripts/setup-env.sh
mkdir -p "$work" "$root/build/target-wheels"
pip() { "$root/.venv/bin/python" -m pip --disable-pip-version-check "$@"; }
key=$(sha256sum <scripts/wheel-requirements.txt)
if [[ $(cat .venv/.brooklet/wheel-tools 2>/dev/null) != "$key" ]]; then
    say "installing the wheel tools into .venv (scripts/wheel-requirements.txt)"
    logged "$work/tools.log" pip install -r scripts/wheel-requirements.txt
    echo "$key" >.venv/.brooklet/wheel-tools
fi

# dist/ holds exactly this run's files.
rm -f dist/brooklet-*.whl dist/brooklet-*.tar.gz

say "sdist"
start=$EPOCHREALTIME
sdist=$(.venv/bin/python -c 'from scikit_build_core.build import build_sdist; print(build_sdist("dist"))' 2>"$work/sdist.log" | tail -n 1) ||
    { cat "$work/sdist.log" >&2; exit 1; }
# Everything a build from the sdist needs must be in it: the tracked sources, stubs and build files.
.venv/bin/python - "dist/$sdist" <<'PY'
import subprocess, sys, tarfile
with tarfile.open(sys.argv[1]) as archive:
    top, *_ = archive.getnames()[0].split("/")
    members = {name.removeprefix(top + "/") for name in archive.getnames()}
needed = subprocess.run(["git", "ls-files", "src", "stubs", "CMakeLists.txt", "pyproject.toml", "LICENSE",
                         "README.md"], capture_output=True, text=True, check=True).stdout.split()
missing = sorted(set(needed) - members) + ([] if "PKG-INFO" in members else ["PKG-INFO"])
if missing:
    sys.exit(f"build-wheels: the sdist lacks {', '.join(missing)}")
print(f"build-wheels: dist/{sys.argv[1].split('/')[-1]}: {len(members)} files, every tracked source among them")
PY
say "sdist built and checked in $(seconds_since "$start") s"

start=$EPOCHREALTIME
build_check_wheel "$(cat .venv/.brooklet/python)" "$root/.venv" "$root" "$work"
say "x86-64 wheel built and checked in $(seconds_since "$start") s"

# The root's side: this machine's certificate bundle and index for pip, and a pip wheel.
start=$EPOCHREALTIME
say "preparing the i386 root (cached after its first preparation)"
logged "$work/prepare.log" "$target/prepare"
passenv=(PIP_DEFAULT_TIMEOUT)
cert=${PIP_CERT:-$(pip config get global.cert 2>/dev/null || true)}
for candidate in "$cert" /etc/ssl/certs/ca-certificates.crt; do
    if [[ -n $candidate && -f $candidate ]]; then
        cp "$candidate" build/target-wheels/ca-certificates.crt
        export PIP_CERT=/src/build/target-wheels/ca-certificates.crt
        passenv+=(PIP_CERT)
        break
    fi
done
index=${PIP_INDEX_URL:-$(pip config get global.index-url 2>/dev/null || true)}
[[ -z $index ]] || { export PIP_INDEX_URL=$index; passenv+=(PIP_INDEX_URL); }
pip_wheel=$(compgen -G "build/target-wheels/bootstrap/pip-*.whl" | head -n 1 || true)
if [[ -z $pip_wheel ]]; then
    say "downloading a pip wheel for the root's environments"
    logged "$work/pip-download.log" pip download --no-deps --only-binary=:all: -d build/target-wheels/bootstrap pip
    pip_wheel=$(compgen -G "build/target-wheels/bootstrap/pip-*.whl" | head -n 1)
fi
for python in python3.13t python3.13; do
    TARGET_PASSENV="${passenv[*]}" "$target/run" --workdir "$root" -- \
        bash /src/scripts/build-wheels.sh --inside "$python" "/src/$pip_wheel"
done
say "i386 wheels built and checked in $(seconds_since "$start") s"

say "done in $(seconds_since "$total_start") s:"
ls -l dist/brooklet-* | awk '{ printf "  %s (%d kB)\n", $NF, $5 / 1024 }'
