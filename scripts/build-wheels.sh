#!/usr/bin/env bash
# Builds the release files into dist/ and checks each wheel on its own interpreter:
#
#   scripts/build-wheels.sh            # needs root for the i386 part; run as `make wheels`
#
#   brooklet-<v>-cp313-cp313-manylinux2014_x86_64.manylinux_2_17_x86_64.whl    CPython 3.13, x86-64
#   brooklet-<v>-cp313-cp313t-manylinux2014_x86_64.manylinux_2_17_x86_64.whl   free-threaded, x86-64
#   brooklet-<v>-cp313-cp313-manylinux2014_i686.manylinux_2_17_i686.whl        Debian's CPython 3.13, i386 root
#   brooklet-<v>-cp313-cp313t-manylinux2014_i686.manylinux_2_17_i686.whl       free-threaded, i386 root
#   brooklet-<v>-cp314-cp314-manylinux2014_x86_64.manylinux_2_17_x86_64.whl    Debian's CPython 3.14, unstable root
#   brooklet-<v>-cp315-cp315-manylinux2014_x86_64.manylinux_2_17_x86_64.whl    Debian's CPython 3.15, unstable root
#   brooklet-<v>.tar.gz                                                         the sdist
#
# The x86-64 wheels are built on this machine with the .venv interpreter and with the cached
# free-threaded CPython of scripts/build-cpython.sh; the i386 ones inside the target root with its
# python3.13 and python3.13t; the cp314 and cp315 ones inside the Debian unstable root
# (scripts/debian-roots.sh) with its python3.14 and python3.15. Each is built without build isolation in a persistent tree
# build/<wheel tag> (so a warm run recompiles only what changed) by the GCC of its machine, the
# compiler the benchmarks measure, with the C++ runtime linked in. Every wheel must then hold to
# glibc 2.17 (manylinux2014): auditwheel, run with no ELF patcher (a wheel that would need a
# shared library grafted into it fails instead of being changed), must tag it manylinux2014, and
# its module must need no GLIBC symbol version above 2.17 and no shared C++ runtime.
#
# Each wheel is then installed as the README says: the README's install block for its wheel runs
# as written (see extract_install_blocks below) in a new directory that holds only that wheel and
# pip's wheel, with the wheel's interpreter on PATH as python3.13 or python3.13t (the i386 ones
# inside the root), and the environment brooklet-env it made routes the textbook flood to the
# committed values (scripts/wheel_smoke.py). scripts/wheels-old-systems.sh does the same on
# Debian 11 (glibc 2.31) for each wheel in dist/.
#
# Inside the root pip reaches PyPI with this machine's own pip configuration: its certificate
# bundle (the root has none that PyPI's certificate chain verifies against here) and its index
# URL, when one is set. pip's wheel is downloaded on the host, since neither of the root's
# interpreters brings pip along.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

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

# The oldest glibc every wheel must load on: manylinux2014.
floor_glibc=2.17
floor_policy=manylinux_2_17

# Checks the extension module in wheel $2 with the ELF reader that auditwheel brings along (in
# the environment of python $1): no GLIBC symbol version above the floor, no shared C++ runtime.
# Prints the highest GLIBC version it needs.
check_module_floor() {
    "$1" - "$2" "$floor_glibc" <<'PY'
import io, sys, zipfile
from elftools.elf.elffile import ELFFile
wheel, floor = sys.argv[1], tuple(map(int, sys.argv[2].split(".")))
with zipfile.ZipFile(wheel) as archive:
    modules = [name for name in archive.namelist() if name.endswith(".so")]
    for name in modules:
        elf = ELFFile(io.BytesIO(archive.read(name)))
        needed = [tag.needed for tag in elf.get_section_by_name(".dynamic").iter_tags()
                  if tag.entry.d_tag == "DT_NEEDED"]
        glibc = [tuple(map(int, aux.name.removeprefix("GLIBC_").split(".")))
                 for _, auxiliaries in elf.get_section_by_name(".gnu.version_r").iter_versions()
                 for aux in auxiliaries if aux.name.startswith("GLIBC_2")]
        highest = ".".join(map(str, max(glibc)))
        runtime = [library for library in needed if library.startswith(("libstdc++", "libc++"))]
        if runtime or max(glibc) > floor:
            sys.exit(f"build-wheels: {name} needs {', '.join(runtime) or 'GLIBC_' + highest}, "
                     f"above the floor glibc {sys.argv[2]} without a shared C++ runtime")
        print(f"{name}: needs GLIBC_{highest} at most; shared libraries {', '.join(needed)}")
if not modules:
    sys.exit(f"build-wheels: no extension module in {wheel}")
PY
}

# Installs wheel $3 as the README's install block for its kind $2 says, with interpreter $1 on
# PATH under its usual name, in a new directory $4 holding only that wheel and pip's wheel $5;
# then checks the environment brooklet-env it made with scripts/wheel_smoke.py. $6 is the
# checkout. Runs on the host, in the target root and in the old-system roots alike.
install_as_readme_says() {
    local python=$1 kind=$2 wheel=$3 scratch=$4 pip_wheel=$5 src=$6 block name bin
    block=$src/build/wheels/install-blocks/$kind.sh
    [[ -f $block ]] || { say "$kind: no install block extracted from docs/wheels-and-target.md" >&2; exit 1; }
    # cp314-cp314t-x86_64 -> python3.14t
    name=$(sed -E 's/^cp3([0-9]+)-cp3[0-9]+(t?)-.*/python3.\1\2/' <<<"$kind")
    bin=$scratch.bin
    rm -rf "$scratch" "$bin"
    mkdir -p "$scratch" "$bin"
    ln -s "$python" "$bin/$name"
    cp "$wheel" "$pip_wheel" "$scratch/"
    (cd "$scratch" && PATH=$bin:$PATH logged "$scratch.log" bash -euxo pipefail "$block")
    [[ -x $scratch/brooklet-env/bin/python ]] ||
        { say "$kind: the README's install block made no brooklet-env/bin/python" >&2; exit 1; }
    (cd "$(dirname "$scratch")" && "$scratch/brooklet-env/bin/python" -I "$src/scripts/wheel_smoke.py")
    rm -rf "$scratch" "$bin"
}

# Builds a wheel with the build tools of the environment $tools into dist/, checks its floor and
# installs it for interpreter $python as the README says. Runs on the host and inside the root.
build_check_wheel() {
    local python=$1 tools=$2 src=$3 work=$4 pip_wheel=$5 tag kind raw wheel start
    tag=$(wheel_tag "$tools/bin/python")
    kind=${tag/linux_/}
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
    if [[ $(basename "$wheel") != *[-.]"${floor_policy}_"* ]]; then
        say "$tag: auditwheel did not tag the wheel $floor_policy (glibc $floor_glibc):" >&2
        "$tools/bin/auditwheel" show "$wheel" >&2 || true
        exit 1
    fi
    say "$tag: $(check_module_floor "$tools/bin/python" "$wheel")"
    install_as_readme_says "$python" "$kind" "$wheel" "$work/install-$kind" "$pip_wheel" "$src"
    rm -rf "$raw"
}

# Writes the install blocks of docs/wheels-and-target.md to build/wheels/install-blocks/<kind>.sh,
# one for each of the four kinds of wheel (cp313-cp313-x86_64, cp313-cp313t-x86_64, cp313-cp313-i686,
# cp313-cp313t-i686). A block is the fenced ```sh block that follows a line
#
#   <!-- install: <kind> -->
#
# (blank lines may come between). Each block runs as written, as a bash script with -e, -u and
# pipefail, in a directory that holds only the wheel and pip's wheel, with the wheel's
# interpreter on PATH as python3.13 or python3.13t; it must leave an environment brooklet-env
# there with brooklet installed. Every kind needs exactly one block.
extract_install_blocks() {
    "$1" - "$2/docs/wheels-and-target.md" "$2/build/wheels/install-blocks" <<'PY'
import pathlib, re, sys
readme, out = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2])
kinds = ["cp313-cp313-x86_64", "cp313-cp313t-x86_64", "cp313-cp313-i686", "cp313-cp313t-i686",
         "cp314-cp314-x86_64", "cp315-cp315-x86_64"]
blocks = {}
pattern = re.compile(r"^<!-- install: (\S+) -->\n(?:[ \t]*\n)*```sh\n(.*?)^```[ \t]*$", re.M | re.S)
for kind, body in pattern.findall(readme.read_text()):
    if kind not in kinds:
        sys.exit(f"build-wheels: {readme.name} has an install block for {kind!r}, not a kind of wheel: {', '.join(kinds)}")
    if kind in blocks:
        sys.exit(f"build-wheels: {readme.name} has two install blocks for {kind}")
    blocks[kind] = body
missing = [kind for kind in kinds if kind not in blocks]
markers = len(re.findall(r"^<!-- install: ", readme.read_text(), re.M))
if missing or markers != len(blocks):
    sys.exit(f"build-wheels: {readme.name} lacks a ```sh block after <!-- install: KIND --> for "
             f"{', '.join(missing) or 'one of its markers'}")
out.mkdir(parents=True, exist_ok=True)
for kind, body in blocks.items():
    (out / f"{kind}.sh").write_text(body)
print(f"build-wheels: {readme.name}: install blocks for {', '.join(kinds)}")
PY
}

# scripts/build-wheel.sh reads the functions above and builds the host's wheel alone.
if [[ ${BASH_SOURCE[0]} != "$0" ]]; then return; fi

# ------------------------------------------------------------- inside the root

# Arguments: the interpreter, then the pip wheel to bootstrap its build tools with.
wheels_inside() {
    local python=$1 pip_wheel=$2 tools key work=/tmp/brooklet-wheels
    mkdir -p "$work"
    tools=/src/build/target-wheels/tools-$python
    key="$(sha256sum </src/scripts/wheel-requirements.txt) $(basename "$pip_wheel")"
    if [[ ! -x $tools/bin/python ]] || ! stamp_ok "$tools/.key" "$key"; then
        say "$python: creating the build tools environment (pip, scikit-build-core, auditwheel from PyPI)"
        local start=$EPOCHREALTIME
        rm -rf "$tools"
        "$python" -m venv --without-pip "$tools"
        logged "$work/tools-$python.log" "$tools/bin/python" "$pip_wheel/pip" install --no-index "$pip_wheel"
        logged "$work/tools-$python.log" "$tools/bin/python" -m pip install -r /src/scripts/wheel-requirements.txt
        stamp_set "$tools/.key" "$key"
        say "$python: build tools environment created in $(seconds_since "$start") s"
    fi
    build_check_wheel "$(command -v "$python")" "$tools" /src "$work" "$pip_wheel"
}

if [[ ${1:-} == --inside ]]; then
    shift
    export PIP_CACHE_DIR=/src/build/target-wheels/pip-cache PIP_DISABLE_PIP_VERSION_CHECK=1
    wheels_inside "$@"
    exit
fi

# In an old-system root: arguments the interpreter, the kind of wheel, the wheel, pip's wheel.
if [[ ${1:-} == --install-check ]]; then
    shift
    mkdir -p /tmp/brooklet-old-systems
    export PIP_DISABLE_PIP_VERSION_CHECK=1
    install_as_readme_says "$(command -v "$1")" "$2" "$3" "/tmp/brooklet-old-systems/install-$2" "$4" /src
    exit
fi

# ------------------------------------------------------------------ on the host

work=$root/build/wheels
cd "$root"
require_target

# --old-systems: each wheel in dist/ installed as the README says and checked on Debian 11
# (scripts/debian-roots.sh), amd64 and i386, with each of the root's interpreters it fits; in each
# root the sweep's check program, compiled with the wheels' own compiler and flags and linked
# statically, checks every kernel of the sweep that the processor runs.
old_systems() {
    local arch kind python wheel start=$EPOCHREALTIME
    local -A sweep_check=([amd64]=build/old-systems/sweep-check-x86_64 [i386]=build/old-systems/sweep-check-i686)
    local -A kinds=([amd64]="cp313-cp313-x86_64 cp313-cp313t-x86_64" [i386]="cp313-cp313-i686 cp313-cp313t-i686")
    for kind in ${kinds[amd64]} ${kinds[i386]}; do
        compgen -G "dist/brooklet-*-${kind%-*}-manylinux*_${kind##*-}.whl" >/dev/null ||
            { say "no $kind wheel in dist/; run make wheels first" >&2; exit 1; }
    done
    extract_install_blocks .venv/bin/python "$root"
    pip_wheel=$(compgen -G "build/target-wheels/bootstrap/pip-*.whl" | head -n 1 || true)
    [[ -n $pip_wheel ]] || { say "no pip wheel in build/target-wheels/bootstrap; run make wheels first" >&2; exit 1; }
    for arch in amd64 i386; do
        logged "$work/old-root-$arch.log" bash scripts/debian-roots.sh prepare "bullseye-$arch"
    done
    say "old roots ready in $(seconds_since "$start") s"
    mkdir -p build/old-systems
    cmake -S . --preset kernel-bench-static -B build/old-systems/x86_64 -DPython_EXECUTABLE="$root/.venv/bin/python" \
        >/dev/null
    cmake --build build/old-systems/x86_64 --target sweep_check >/dev/null
    cp build/old-systems/x86_64/sweep_check "${sweep_check[amd64]}"
    logged "$work/sweep-check-i686.log" "$target/run" --workdir "$root" -- bash -c '
        cmake -S /src --preset kernel-bench-static -B /tmp/brooklet-sweep-check -DPython_EXECUTABLE=/usr/bin/python3.13 &&
        cmake --build /tmp/brooklet-sweep-check --target sweep_check &&
        cp /tmp/brooklet-sweep-check/sweep_check /src/'"${sweep_check[i386]}"' && rm -rf /tmp/brooklet-sweep-check'
    for arch in amd64 i386; do
        say "$arch: $(bash scripts/debian-roots.sh run "bullseye-$arch" -- bash -c 'echo "Debian $(cat /etc/debian_version), glibc $(ldd --version | sed -n "1s/.* //p")"')"
        for kind in ${kinds[$arch]}; do
            python=python3.13$([[ $kind == cp313-cp313t-* ]] && echo t || true)
            wheel=$(compgen -G "dist/brooklet-*-${kind%-*}-manylinux*_${kind##*-}.whl")
            bash scripts/debian-roots.sh run "bullseye-$arch" -- \
                bash /src/scripts/build-wheels.sh --install-check "$python" "$kind" "/src/$wheel" "/src/$pip_wheel"
        done
        bash scripts/debian-roots.sh run "bullseye-$arch" -- "/src/${sweep_check[$arch]}"
    done
    say "old systems: every wheel installed and checked in $(seconds_since "$start") s"
}
if [[ ${1:-} == --old-systems ]]; then
    mkdir -p "$work"
    old_systems
    exit
fi

total_start=$EPOCHREALTIME
bash scripts/setup-env.sh
mkdir -p "$work" "$root/build/target-wheels"
key=$(sha256sum <scripts/wheel-requirements.txt)
if ! stamp_ok .venv/.brooklet/wheel-tools "$key"; then
    say "installing the wheel tools into .venv (scripts/wheel-requirements.txt)"
    logged "$work/tools.log" venv_pip "$root/.venv" install -r scripts/wheel-requirements.txt
    stamp_set .venv/.brooklet/wheel-tools "$key"
fi

extract_install_blocks .venv/bin/python "$root"
pip_wheel=$(compgen -G "build/target-wheels/bootstrap/pip-*.whl" | head -n 1 || true)
if [[ -z $pip_wheel ]]; then
    say "downloading pip's wheel, for environments of interpreters without pip"
    logged "$work/pip-download.log" venv_pip "$root/.venv" download --no-deps --only-binary=:all: -d build/target-wheels/bootstrap pip
    pip_wheel=$(compgen -G "build/target-wheels/bootstrap/pip-*.whl" | head -n 1)
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
build_check_wheel "$(cat .venv/.brooklet/python)" "$root/.venv" "$root" "$work" "$root/$pip_wheel"
say "x86-64 wheel built and checked in $(seconds_since "$start") s"

# The free-threaded x86-64 wheel, built with the environment of `make test-free-threaded`.
start=$EPOCHREALTIME
free_threaded=$(bash scripts/build-cpython.sh free-threaded)
BROOKLET_VENV=.venv-cp313t-x86_64 BROOKLET_WHEELS_ONLY=1 BROOKLET_PYTHON=$free_threaded bash scripts/setup-env.sh
if ! stamp_ok .venv-cp313t-x86_64/.brooklet/wheel-tools "$key"; then
    say "installing the wheel tools into .venv-cp313t-x86_64 (scripts/wheel-requirements.txt)"
    logged "$work/tools.log" .venv-cp313t-x86_64/bin/python -m pip install -r scripts/wheel-requirements.txt
    stamp_set .venv-cp313t-x86_64/.brooklet/wheel-tools "$key"
fi
build_check_wheel "$free_threaded" "$root/.venv-cp313t-x86_64" "$root" "$work" "$root/$pip_wheel"
say "free-threaded x86-64 wheel built and checked in $(seconds_since "$start") s"

# The root's side: this machine's certificate bundle and index for pip, and a pip wheel.
start=$EPOCHREALTIME
say "preparing the i386 root (cached after its first preparation)"
logged "$work/prepare.log" "$target/prepare"
passenv=(PIP_DEFAULT_TIMEOUT)
cert=${PIP_CERT:-$(venv_pip "$root/.venv" config get global.cert 2>/dev/null || true)}
for candidate in "$cert" /etc/ssl/certs/ca-certificates.crt; do
    if [[ -n $candidate && -f $candidate ]]; then
        cp "$candidate" build/target-wheels/ca-certificates.crt
        export PIP_CERT=/src/build/target-wheels/ca-certificates.crt
        passenv+=(PIP_CERT)
        break
    fi
done
index=${PIP_INDEX_URL:-$(venv_pip "$root/.venv" config get global.index-url 2>/dev/null || true)}
[[ -z $index ]] || { export PIP_INDEX_URL=$index; passenv+=(PIP_INDEX_URL); }
for python in python3.13t python3.13; do
    TARGET_PASSENV="${passenv[*]}" "$target/run" --workdir "$root" -- \
        bash /src/scripts/build-wheels.sh --inside "$python" "/src/$pip_wheel"
done
say "i386 wheels built and checked in $(seconds_since "$start") s"

# The wheels of the versions this machine's Debian does not ship, built in the Debian unstable
# root with its interpreters (scripts/interpreters.list), the same checks inside.
start=$EPOCHREALTIME
for tag in $(bash scripts/interpreters.sh tags sid-amd64); do
    python=$(bash scripts/interpreters.sh command "$tag")
    DEBIAN_ROOT_PASSENV="${passenv[*]}" bash scripts/debian-roots.sh run sid-amd64 -- \
        bash /src/scripts/build-wheels.sh --inside "${python##* }" "/src/$pip_wheel"
done
say "Debian unstable's wheels built and checked in $(seconds_since "$start") s"

say "done in $(seconds_since "$total_start") s:"
ls -l dist/brooklet-* | awk '{ printf "  %s (%d kB)\n", $NF, $5 / 1024 }'
