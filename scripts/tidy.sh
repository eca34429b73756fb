#!/usr/bin/env bash
# Runs clang-tidy with the checked-in .clang-tidy over every source file in src/ and fails on any
# finding:
#
#   scripts/tidy.sh            # or: make tidy
#
# clang-tidy 17 or later is needed to read the C++23 standard library of GCC 12 (<expected>);
# when none is installed the script installs Debian's clang-tidy-19 (as root, with apt-get). The
# compile commands come from a CMake configure in build/tidy, so the checks see the real flags.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

build=$root/build/tidy
cd "$root"

find_tidy() {
    local candidate major
    for candidate in clang-tidy-22 clang-tidy-19 clang-tidy-18 clang-tidy-17 clang-tidy; do
        command -v "$candidate" >/dev/null || continue
        major=$("$candidate" --version | sed -n 's/.*LLVM version \([0-9]*\).*/\1/p')
        [[ -n $major && $major -ge 17 ]] && { echo "$candidate"; return; }
    done
    return 1
}

# clang-tidy 17 or later; Debian's clang-tidy-19 when there is none.
if ! tidy=$(find_tidy); then
    install_missing_packages clang-tidy-19
    tidy=$(find_tidy)
fi

bash scripts/setup-env.sh
cmake -S "$root" --preset tidy -B "$build" -DPython_EXECUTABLE="$root/.venv/bin/python" >/dev/null

start=$EPOCHREALTIME
mapfile -t sources < <(find src -name '*.cpp' | sort)
status=0
# Findings go to standard output; standard error only counts the warnings in system headers.
printf '%s\0' "${sources[@]}" | xargs -0 -n 1 -P "$(nproc)" "$tidy" --quiet -p "$build" \
    2> >(grep -v -E '^[0-9]+ warnings? generated\.$' >&2) || status=1
say "$("$tidy" --version | sed -n 's/.*LLVM version \([0-9.]*\).*/clang-tidy \1/p'), ${#sources[@]} files," \
    "$([[ $status == 0 ]] && echo "no findings" || echo FINDINGS) in $(seconds_since "$start" 0) s"
exit "$status"
