#!/usr/bin/env bash
# Builds (once) and caches a CPython 3.13 for this machine (x86-64, or 32-bit x86 inside an i386
# root) from the same source as the 32-bit target root's free-threaded interpreter: the orig
# tarball of Debian's python3.13 source package, with the upstream fixes of Debian's patch series
# applied, as the root's own build does.
#
#   scripts/build-cpython.sh free-threaded   # --disable-gil: python3.13t
#   scripts/build-cpython.sh tsan            # --disable-gil --with-thread-sanitizer: python3.13t
#   scripts/build-cpython.sh gil             # the default build: python3.13
#
# Prints the interpreter's path as its last line. The install goes to
# ${BROOKLET_CPYTHON_CACHE:-/var/cache/brooklet/cpython}/3.13-<variant>-<uname -m>, with a stamp
# keyed by the tarballs, the configure options and the build recipe, so a second run takes no
# time. The source comes from the target root (prepared first, which needs root), or from the
# directory BROOKLET_CPYTHON_SOURCES that holds the two tarballs (as in the old-system roots of
# scripts/debian-roots.sh); the build logs are kept beside the install.
set -euo pipefail

variant=${1:?usage: build-cpython.sh free-threaded|tsan|gil}
case $variant in
    free-threaded) configure_options=(--disable-gil) ;;
    tsan) configure_options=(--disable-gil --with-thread-sanitizer) ;;
    gil) configure_options=() ;;
    *) echo "build-cpython: unknown variant '$variant' (free-threaded, tsan or gil)" >&2; exit 2 ;;
esac
# Raised when a change to the steps below changes what they build.
recipe=1

source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
say_fd=2  # standard output carries the interpreter's path
cache=${BROOKLET_CPYTHON_CACHE:-/var/cache/brooklet/cpython}
prefix=$cache/3.13-$variant-$(uname -m)
python=$prefix/bin/python3.13$([[ $variant == gil ]] || echo t)

sources=${BROOKLET_CPYTHON_SOURCES:-$target_root/usr/src/python3.13t}
if [[ -z ${BROOKLET_CPYTHON_SOURCES:-} ]] && ! compgen -G "$sources/python3.13_*.orig.tar.*" >/dev/null; then
    say "preparing the target root for its CPython source"
    "$target/prepare" >&2
fi
orig=$(cpython_orig_tarball "$sources")
debian=$(ls "$sources"/python3.13_*.debian.tar.* | sed -n 1p)

stamp_text="$(basename "$orig") $(basename "$debian") ${configure_options[*]} recipe $recipe"
if [[ -x $python ]] && stamp_ok "$prefix/.stamp" "$stamp_text"; then
    echo "$python"
    exit 0
fi

install_missing_packages --no-install-recommends build-essential patch xz-utils libssl-dev libffi-dev zlib1g-dev \
    libbz2-dev liblzma-dev libsqlite3-dev uuid-dev

work=$(mktemp -d /tmp/brooklet-cpython.XXXXXX)
trap 'rm -rf "$work"' EXIT
logs=$cache/logs-$variant
mkdir -p "$logs"
start=$SECONDS
say "building CPython 3.13 ($variant: ${configure_options[*]}) from $(basename "$orig"); logs in $logs"
tar -C "$work" -xf "$orig"
tar -C "$work" -xf "$debian"
top=$(cd "$work" && ls -d Python-*/ | sed -n 1p)
cd "$work/${top%/}"
# The upstream fixes of Debian's series (named *.patch, or whose header names an upstream
# origin); Debian's layout patches do not fit a prefix of our own.
applied=0
while read -r patch level _; do
    case $patch in '' | '#'*) continue ;; esac
    file=../debian/patches/$patch
    [[ -f $file ]] || continue
    [[ $level == -p* ]] || level=-p1
    if [[ $patch == *.patch ]] ||
        awk '/^(--- |diff |Index: )/ { exit } { print }' "$file" | grep -iqE '^Origin:.*upstream'; then
        if patch "$level" -s -f --dry-run <"$file" >/dev/null 2>&1; then
            patch "$level" -s -f <"$file"
            applied=$((applied + 1))
        fi
    fi
done <../debian/patches/series
say "applied $applied upstream fixes of Debian's patch series"
./configure --prefix="$prefix" --disable-test-modules "${configure_options[@]}" >"$logs/configure.log" 2>&1 ||
    { tail -n 30 "$logs/configure.log" >&2; exit 1; }
make -j"$(nproc)" >"$logs/make.log" 2>&1 || { tail -n 30 "$logs/make.log" >&2; exit 1; }
rm -rf "$prefix"
make altinstall >"$logs/install.log" 2>&1 || { tail -n 30 "$logs/install.log" >&2; exit 1; }
"$python" -c "import sys, ssl, venv; assert sys._is_gil_enabled() == ('$variant' == 'gil')"
stamp_set "$prefix/.stamp" "$stamp_text"
say "built $python in $((SECONDS - start)) s"
echo "$python"
