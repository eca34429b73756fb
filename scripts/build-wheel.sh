#!/usr/bin/env bash
# Builds, checks and installs the wheel of this machine's interpreter alone, the one .venv is made
# with (found as scripts/setup-env.sh finds it): no root, no target root.
#
#   scripts/build-wheel.sh        # run as `make wheel`; the wheel lands in dist/
#
# The wheel is built as `make wheels` builds its x86-64 wheel, in the persistent tree
# build/<wheel tag> that .venv's module is built in (so a warm run compiles nothing), repaired
# and tagged manylinux2014 by auditwheel without an ELF patcher, its module checked for the
# glibc 2.17 floor, installed by the install block for its kind in docs/wheels-and-target.md in
# a new directory, and made to route the textbook flood to the committed values.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=build-wheels.sh
source "$root/scripts/build-wheels.sh"

work=$root/build/wheels
cd "$root"
total_start=$EPOCHREALTIME
bash scripts/setup-env.sh
mkdir -p "$work"
key=$(sha256sum <scripts/wheel-requirements.txt)
if [[ $(cat .venv/.brooklet/wheel-tools 2>/dev/null) != "$key" ]]; then
    say "installing the wheel tools into .venv (scripts/wheel-requirements.txt)"
    logged "$work/tools.log" .venv/bin/python -m pip --disable-pip-version-check install -r scripts/wheel-requirements.txt
    echo "$key" >.venv/.brooklet/wheel-tools
fi
python=$(cat .venv/.brooklet/python)
extract_install_blocks .venv/bin/python "$root"
# The install check copies pip's wheel beside brooklet's; the one the interpreter ships serves.
pip_wheel=$("$python" -c 'import ensurepip, pathlib
print(next((pathlib.Path(ensurepip.__file__).parent / "_bundled").glob("pip-*.whl")))')

rm -f dist/brooklet-*-cp313-cp313-manylinux*_"$(uname -m)".whl
build_check_wheel "$python" "$root/.venv" "$root" "$work" "$pip_wheel"
say "done in $(seconds_since "$total_start") s: $(ls dist/brooklet-*-cp313-cp313-manylinux*_"$(uname -m)".whl)"
