#!/usr/bin/env bash
# The interpreter matrix of scripts/interpreters.list.
#
#   scripts/interpreters.sh [make]        # makes any interpreter that is missing (cached), then
#                                         # prints one line each: its tag, then the command that
#                                         # runs it (for a host interpreter, its path)
#   scripts/interpreters.sh tags [WHERE]  # the tags, all or those of one place (host, sid-amd64,
#                                         # target), in the list's order
#   scripts/interpreters.sh command TAG   # the command that runs TAG (makes it first if missing)
#   scripts/interpreters.sh where TAG     # where TAG runs
#
# Making the roots and building interpreters needs root; a second run takes no time.
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
say_fd=2  # standard output carries the list
list=$root/scripts/interpreters.list

# The list's lines without comments: tag where command how...
entries() { grep -vE '^[[:space:]]*(#|$)' "$list"; }
field() { entries | awk -v tag="$1" -v n="$2" '$1 == tag { print $n; found = 1 } END { exit !found }' ||
    { say "no interpreter $1 in $list"; exit 2; }; }
reason() { entries | awk -v tag="$1" '$1 == tag { $1 = $2 = $3 = ""; sub(/^ +/, ""); print }'; }

# Makes TAG's interpreter if it is missing and prints the command that runs it.
command_of() {
    local tag=$1 where name
    where=$(field "$tag" 2)
    name=$(field "$tag" 3)
    case $where in
        host)
            if [[ $name == *t ]]; then
                bash "$root/scripts/build-cpython.sh" free-threaded | tail -n 1
            else
                bash "$root/scripts/setup-env.sh" --find-python
            fi
            ;;
        sid-amd64)
            bash "$root/scripts/debian-roots.sh" prepare sid-amd64 >&2
            echo "scripts/debian-roots.sh run sid-amd64 -- $name"
            ;;
        target)
            "$target/prepare" >/dev/null
            echo "$(realpath --relative-to="$root" "$target")/run -- $name"
            ;;
        unavailable)
            say "$tag: $(reason "$tag")"
            return 1
            ;;
        *) say "$tag: unknown place '$where' in $list"; exit 2 ;;
    esac
}

case ${1:-make} in
    make)
        entries | while read -r tag where _; do
            if [[ $where == unavailable ]]; then
                printf '%-15s unavailable: %s\n' "$tag" "$(reason "$tag")"
            else
                printf '%-15s %s\n' "$tag" "$(command_of "$tag")"
            fi
        done
        ;;
    tags) entries | awk -v where="${2:-}" 'where == "" || $2 == where { print $1 }' ;;
    command) command_of "${2:?name a tag}" ;;
    where) field "${2:?name a tag}" 2 ;;
    *) say "unknown command '$1' (make, tags, command or where)"; exit 2 ;;
esac
