#!/usr/bin/env bash
# The whole test suite on every interpreter of scripts/interpreters.list, or on the tags given:
# each in an environment of its own with the module built for it; a free-threaded one with the GIL
# on (as the module asks on import) and again with it kept off (PYTHON_GIL=0). The i686 ones run
# through scripts/test-target.sh, which also builds and checks the sweep there. Ends with one line
# per run. Needs root for the roots and the interpreters it builds; all of them are cached.
#
#   scripts/test-versions.sh                            # run as `make test-versions`
#   scripts/test-versions.sh cp314-x86_64 cp313t-x86_64
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
cd "$root"
interpreters() { bash scripts/interpreters.sh "$@"; }

tags=("$@")
((${#tags[@]})) || mapfile -t tags < <(interpreters tags)
summary=()
failed=()

# Runs pytest through "$@" (a command that runs python), records its last line under label $1.
suite() {
    local label=$1 log rc=0; shift
    log=$(mktemp)
    say "$label"
    "$@" 2>&1 | tee "$log" || rc=$?
    # pytest's closing line; the target's run closes with one line per interpreter.
    summary+=("$label: $(tail -n "${closing_lines:-1}" "$log" | paste -sd ';' | sed 's/;/; /g')")
    ((rc == 0)) || failed+=("$label")
    rm -f "$log"
}

target_done=
for tag in "${tags[@]}"; do
    where=$(interpreters where "$tag")
    case $where in
        host)
            python=$(interpreters command "$tag")
            venv=.venv-$tag
            [[ $tag == cp313-x86_64 ]] && venv=.venv  # make test's own environment
            wheels_only=
            [[ $tag == *t-* ]] && wheels_only=1
            BROOKLET_VENV=$venv BROOKLET_PYTHON=$python BROOKLET_WHEELS_ONLY=$wheels_only bash scripts/setup-env.sh
            suite "$tag" "$venv/bin/python" -m pytest -q -p no:cacheprovider
            if [[ $tag == *t-* ]]; then
                suite "$tag PYTHON_GIL=0" env PYTHON_GIL=0 "$venv/bin/python" -m pytest -q -p no:cacheprovider
            fi
            ;;
        sid-amd64)
            command=$(interpreters command "$tag")
            name=${command##* }
            run=(bash scripts/debian-roots.sh run sid-amd64 --)
            "${run[@]}" env BROOKLET_VENV="/opt/venvs/$tag" BROOKLET_PYTHON="/usr/bin/$name" \
                bash /src/scripts/setup-env.sh
            suite "$tag" "${run[@]}" env PYTHONDONTWRITEBYTECODE=1 "/opt/venvs/$tag/bin/python" -m pytest -q \
                -p no:cacheprovider
            if [[ $tag == *t-* ]]; then
                suite "$tag PYTHON_GIL=0" "${run[@]}" env PYTHON_GIL=0 PYTHONDONTWRITEBYTECODE=1 \
                    "/opt/venvs/$tag/bin/python" -m pytest -q -p no:cacheprovider
            fi
            ;;
        target)
            # One run builds and tests both of the root's interpreters.
            [[ -z $target_done ]] || continue
            target_done=1
            closing_lines=2 suite "i686" bash scripts/test-target.sh
            ;;
        unavailable)
            say "skipped $( (interpreters command "$tag" 2>&1 || true) | sed 's/^interpreters: //')"
            summary+=("$tag: not run, unavailable here")
            ;;
    esac
done

say "summary"
printf '  %s\n' "${summary[@]}"
if ((${#failed[@]})); then
    say "FAILED: ${failed[*]}" >&2
    exit 1
fi
