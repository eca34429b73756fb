#!/usr/bin/env bash
# Times each wheel's module in dist/ against the build the benchmarks measure, with
# bench/compare_builds.py (same process, thread CPU time, interleaved rounds, results checked bit
# for bit), and checks that both hold the same vector versions of the sweep:
#
#   scripts/compare-wheels.sh [KIND...]    # needs root for the i386 kinds; default: all four
#
# KIND is cp313-cp313-x86_64, cp313-cp313t-x86_64, cp313-cp313-i686 or cp313-cp313t-i686. The
# x86-64 modules are compared with those of .venv (make test) and .venv-free-threaded (make
# test-free-threaded), the i386 ones with a CMake build of the project inside the target root.
# Each comparison's lines go to build/compare-wheels/<kind>.txt as well.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

out=$root/build/compare-wheels
cd "$root"
kinds=("$@")
((${#kinds[@]})) || kinds=(cp313-cp313-x86_64 cp313-cp313t-x86_64 cp313-cp313-i686 cp313-cp313t-i686)
mkdir -p "$out"

# The sweep's vector versions in a module, seen in its machine code (installed modules carry no
# symbols): how many instructions use each width of vector register.
vector_versions() {
    objdump -d --no-show-raw-insn "$1" |
        awk '/%zmm/ { z++ } /%ymm/ { y++ } /%xmm/ { x++ } END { printf "%d zmm, %d ymm, %d xmm instructions", z, y, x }'
}

for kind in "${kinds[@]}"; do
    wheel=$(compgen -G "dist/brooklet-*-${kind%-*}-manylinux*_${kind##*-}.whl" | head -n 1) ||
        { say "no $kind wheel in dist/ (make wheels)" >&2; exit 1; }
    rm -rf "${out:?}/$kind"
    mkdir -p "$out/$kind"
    (cd "$out/$kind" && unzip -q "$root/$wheel" 'brooklet.cpython-*.so' && mv brooklet.cpython-*.so wheel.so)
    case $kind in
        *-x86_64)
            venv=.venv$([[ $kind == cp313-cp313t-* ]] && echo -free-threaded || true)
            cp "$(compgen -G "$venv/lib/python3.13*/site-packages/brooklet.cpython-*.so")" "$out/$kind/gcc.so"
            run=("$venv/bin/python")
            ;;
        *-i686)
            python=python3.13$([[ $kind == cp313-cp313t-* ]] && echo t || true)
            "$target/run" --workdir "$root" -- bash -c "
                cmake -S /src --preset target -B /tmp/compare-$kind -DPython_EXECUTABLE=\$(command -v $python) >/dev/null &&
                cmake --build /tmp/compare-$kind --target brooklet >/dev/null &&
                cp /tmp/compare-$kind/brooklet.cpython-*.so /src/build/compare-wheels/$kind/gcc.so &&
                rm -rf /tmp/compare-$kind"
            run=("$target/run" --workdir "$root" -- "$python")
            ;;
    esac
    if [[ $(vector_versions "$out/$kind/gcc.so") != "$(vector_versions "$out/$kind/wheel.so")" ]]; then
        say "$kind: the wheel's vector versions differ from the GCC build's" >&2
        exit 1
    fi
    echo "=== $kind: $(basename "$wheel") against the GCC build; vector versions in both: $(vector_versions "$out/$kind/wheel.so")"
    "${run[@]}" bench/compare_builds.py "build/compare-wheels/$kind/gcc.so" "build/compare-wheels/$kind/wheel.so" |
        tee "$out/$kind.txt"
done
