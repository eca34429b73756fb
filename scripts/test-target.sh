#!/usr/bin/env bash
# Builds brooklet for the deployment target, 32-bit x86 Linux, and runs the test suite there:
# inside the prepared Debian i386 root, once with the free-threaded python3.13t and once with
# Debian's python3.13, each with the project's own CMake build.
#
#   scripts/test-target.sh                 # needs root; run as `make test-target`
#   scripts/test-target.sh --sanitize      # the sanitizer build in python3.13t with the GIL off;
#                                          # run as `make sanitize-target`
#
# The target scripts are found beside the checkout (../shared/target); BROOKLET_TARGET_DIR
# names another place. Builds go to /tmp inside the root, never into the checkout, and no
# bytecode or test caches are written into it.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

# ------------------------------------------------------------- inside the root

# Expected extension suffix and GIL-disabled flag of each interpreter on the target.
declare -A suffix=([python3.13t]=.cpython-313t-i386-linux-gnu.so [python3.13]=.cpython-313-i386-linux-gnu.so)
declare -A gil_disabled=([python3.13t]=1 [python3.13]=0)

# Checks what each compile of the build saw, by rerunning its command through the
# preprocessor with Python.h: a 32-bit target, the interpreter's own pyconfig.h (Py_GIL_DISABLED
# exactly for the free-threaded build), and double arithmetic in SSE2 registers rather than on
# the x87 stack (FLT_EVAL_METHOD 0), without fast math or contraction. The sweep and its programs
# include no Python.h: their compiles are checked for the rest.
check_build() {
    local python=$1 build=$2
    [[ -f $build/brooklet${suffix[$python]} ]] || {
        echo "test-target: $python: no brooklet${suffix[$python]} in $build" >&2; ls "$build" >&2; return 1; }
    "$python" - "$build/compile_commands.json" "${gil_disabled[$python]}" <<'PY'
import json, os, shlex, subprocess, sys
commands, gil_disabled = json.load(open(sys.argv[1])), sys.argv[2] == "1"
problems = []
for entry in commands:
    argv = shlex.split(entry["command"])
    source = os.path.relpath(entry["file"], "/src")
    if "-ffp-contract=off" not in argv:
        problems.append(f"{source}: compiled without -ffp-contract=off")
    module = "/brooklet.dir/" in argv[argv.index("-o") + 1]
    for option in ("-o", "-c"):
        del argv[argv.index(option):argv.index(option) + 2]
    probe = subprocess.run([*argv, "-E", "-dM", "-x", "c++", "-"], input="#include <Python.h>\n" if module else "",
                           capture_output=True, text=True, cwd=entry["directory"])
    if probe.returncode:
        problems.append(f"{source}: preprocessing Python.h failed:\n{probe.stderr}")
        continue
    macros = dict((line.split(" ", 2)[1:] + [""])[:2] for line in probe.stdout.splitlines())
    expected = {"__SIZEOF_POINTER__": "4", "__FLT_EVAL_METHOD__": "0", "__SSE2_MATH__": "1",
                "__FAST_MATH__": None}
    if module:
        expected["Py_GIL_DISABLED"] = "1" if gil_disabled else None
    for name, value in expected.items():
        if macros.get(name) != value:
            problems.append(f"{source}: {name} is {macros.get(name)}, expected {value}")
if problems:
    sys.exit("test-target: " + "\n  ".join(["build check failed:", *problems]))
print(f"build check: {len(commands)} sources compiled for 32-bit with SSE2 double math "
      f"(FLT_EVAL_METHOD 0), -ffp-contract=off, Py_GIL_DISABLED {'1' if gil_disabled else 'undefined'}")
PY
}

test_inside() {
    local python build scratch failed=()
    local -A summary=()
    for python in python3.13t python3.13; do
        echo "=== $python ($(command -v "$python")), uname -m $(uname -m)"
        # A directory of this run's own, so that runs from several checkouts do not collide.
        build=$(mktemp -d "/tmp/brooklet-target/build-$python.XXXXXX")
        local start=$EPOCHREALTIME
        # The GIL build routes with the baseline (SSE2) kernel of the vectorised sweep only,
        # which a processor with wider vector units would otherwise never route with.
        local kernel=""
        [[ $python == python3.13 ]] && kernel=two-double
        if ! cmake -S /src --preset target -B "$build" -DPython_EXECUTABLE="$(command -v "$python")" \
                -DBROOKLET_SWEEP_KERNEL="$kernel" >"$build.configure.log" 2>&1; then
            cat "$build.configure.log" >&2; failed+=("$python: configure"); continue
        fi
        grep -E '^-- Found Python' "$build.configure.log" || true
        if ! cmake --build "$build"; then failed+=("$python: build"); continue; fi
        check_build "$python" "$build" || { failed+=("$python: build check"); continue; }
        echo "built brooklet${suffix[$python]} and the sweep's programs in $(seconds_since "$start" 2) s"
        # Every kernel of the sweep in this build, bit for bit against chained passes, and the
        # kernels' objects free of symbols outside their namespaces.
        ctest --test-dir "$build" --output-on-failure || failed+=("$python: sweep check")
        # The suite runs from a scratch directory (the Hypothesis database lands there) with the
        # build directory first on the import path.
        scratch=$(mktemp -d /tmp/brooklet-target/pytest.XXXXXX)
        start=$EPOCHREALTIME
        local log=$scratch/pytest.log rc=0
        (cd "$scratch" && PYTHONPATH=$build PYTHONDONTWRITEBYTECODE=1 \
            "$python" -m pytest -q -rs -p no:cacheprovider /src/tests) 2>&1 | tee "$log" || rc=$?
        summary[$python]="$(tail -n 1 "$log") ($(seconds_since "$start" 2) s)"
        [[ $rc == 0 ]] || failed+=("$python: tests")
        rm -rf "$scratch" "$build" "$build.configure.log"
    done
    echo "=== summary"
    for python in python3.13t python3.13; do
        echo "$python: ${summary[$python]:-not run}"
    done
    if ((${#failed[@]})); then
        printf 'test-target: FAILED: %s\n' "${failed[@]}" >&2
        return 1
    fi
}

# The AddressSanitizer and UndefinedBehaviorSanitizer build of the module, loaded into the
# free-threaded python3.13t with the GIL kept off (PYTHON_GIL=0), runs the whole suite; its
# threads test routes lists that other threads change all the while. The interpreter is not
# instrumented, so the sanitizer runtime is preloaded; its allocator has a debugging mode
# (PYTHONMALLOC=mimalloc_debug) that fills freed blocks, so that a read of a freed item shows.
sanitize_inside() {
    local python=python3.13t build reports scratch rc=0 start=$EPOCHREALTIME
    build=$(mktemp -d /tmp/brooklet-target/sanitize.XXXXXX)
    reports=$build/reports
    mkdir -p "$reports"
    cmake -S /src --preset target-sanitize -B "$build" -DPython_EXECUTABLE="$(command -v $python)" \
        >"$build/configure.log" 2>&1 || { cat "$build/configure.log" >&2; return 1; }
    cmake --build "$build" >/dev/null || return 1
    echo "built the sanitizer build for $python in $(seconds_since "$start" 2) s"
    local preload
    preload="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"
    mapfile -t skips < <(grep -v -e '^#' -e '^$' /src/scripts/sanitizer-skips)
    scratch=$(mktemp -d /tmp/brooklet-target/pytest.XXXXXX)
    (cd "$scratch" && PYTHON_GIL=0 PYTHONMALLOC=mimalloc_debug PYTHONPATH=$build PYTHONDONTWRITEBYTECODE=1 \
        ASAN_OPTIONS="detect_leaks=0:log_path=$reports/asan:allocator_may_return_null=1" \
        UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$reports/ubsan" LD_PRELOAD=$preload \
        "$python" -m pytest -q -p no:cacheprovider /src/tests "${skips[@]/#/--deselect=}") || rc=$?
    no_reports "$reports" || rc=1
    rm -rf "$build" "$scratch"
    echo "test-target --sanitize: $([[ $rc == 0 ]] && echo "no sanitizer report" || echo FAILED) in $(seconds_since "$start" 2) s"
    return "$rc"
}

if [[ ${1:-} == --inside ]]; then
    mkdir -p /tmp/brooklet-target
    test_inside
    exit
fi
if [[ ${1:-} == --inside-sanitize ]]; then
    mkdir -p /tmp/brooklet-target
    sanitize_inside
    exit
fi

# ------------------------------------------------------------------ on the host

require_target
command -v debootstrap >/dev/null 2>&1 || install_missing_packages debootstrap

start=$EPOCHREALTIME
"$target/prepare"
echo "prepare: $(seconds_since "$start" 2) s"
if [[ ${1:-} == --sanitize ]]; then
    "$target/run" --workdir "$root" -- bash /src/scripts/test-target.sh --inside-sanitize
else
    "$target/run" --workdir "$root" -- bash /src/scripts/test-target.sh --inside
fi
