#!/usr/bin/env bash
# Builds (once) and caches a CPython for this machine (x86-64, or 32-bit x86 inside an i386 root)
# from Debian's source package of that version: its orig tarball, with the upstream fixes of
# Debian's patch series applied, as the target root's own build of python3.13t does.
#
#   scripts/build-cpython.sh free-threaded [VERSION]  # --disable-gil: python3.13t, python3.14t, ...
#   scripts/build-cpython.sh tsan [VERSION]           # --disable-gil --with-thread-sanitizer
#   scripts/build-cpython.sh gil [VERSION]            # the default build: python3.13, python3.14, ...
#
# VERSION is 3.13 (the default), 3.14 or 3.15. Prints the interpreter's path as its last line.
# The install goes to ${BROOKLET_CPYTHON_CACHE:-/var/cache/brooklet/cpython}/<version>-<variant>-<uname -m>,
# with a stamp keyed by the tarballs, the configure options and the build recipe, so a second run
# takes no time. 3.13's source comes from the target root (prepared first, which needs root), so
# that the host's python3.13t is built from the root's own source; later versions' from Debian's
# unstable archive, the newest release of each that it carries, checked against the archive's
# index. BROOKLET_CPYTHON_SOURCES names a directory that already holds the two tarballs (as in
# the old-system roots of scripts/old-roots.sh). The build logs are kept beside the install.
set -euo pipefail

variant=${1:?usage: build-cpython.sh free-threaded|tsan|gil [VERSION]}
version=${2:-3.13}
case $version in
    3.13 | 3.14 | 3.15) ;;
    *) echo "build-cpython: unknown version '$version' (3.13, 3.14 or 3.15)" >&2; exit 2 ;;
esac
case $variant in
    free-threaded) configure_options=(--disable-gil) ;;
    tsan) configure_options=(--disable-gil --with-thread-sanitizer) ;;
    gil) configure_options=() ;;
    *) echo "build-cpython: unknown variant '$variant' (free-threaded, tsan or gil)" >&2; exit 2 ;;
esac
# Raised when a change to the steps below changes what they build.
recipe=1

say() { echo "build-cpython: $*" >&2; }
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
target=${BROOKLET_TARGET_DIR:-$root/../shared/target}
target_root=${TARGET_ROOT:-/var/cache/brooklet-target/trixie-i386}
cache=${BROOKLET_CPYTHON_CACHE:-/var/cache/brooklet/cpython}
prefix=$cache/$version-$variant-$(uname -m)
python=$prefix/bin/python$version$([[ $variant == gil ]] || echo t)
mirror=${BROOKLET_DEBIAN_MIRROR:-http://deb.debian.org/debian}

# Downloads the orig and debian tarballs of the newest python$version in Debian's unstable archive
# into $1, each checked against the SHA-256 that the archive's source index gives.
fetch_debian_source() {
    local into=$1 index
    mkdir -p "$into"
    index=$(mktemp)
    curl -fsSL "$mirror/dists/sid/main/source/Sources.xz" | xz -dc >"$index"
    # Package stanzas of python$version: "version directory sha256 size name" per tarball.
    awk -v package="python$version" '
        /^Package: / { inside = ($2 == package); version = ""; directory = ""; sums = 0 }
        inside && /^Version: / { version = $2 }
        inside && /^Directory: / { directory = $2 }
        inside && /^Checksums-Sha256:/ { sums = 1; next }
        inside && sums && /^ / { files[++count] = $1 " " $2 " " $3; owner[count] = version; next }
        inside && sums { sums = 0 }
        inside && /^$/ { for (i = start + 1; i <= count; i++) print owner[i], directory, files[i]; start = count }
        END { for (i = start + 1; i <= count; i++) print owner[i], directory, files[i] }
    ' "$index" | grep -E '\.(orig|debian)\.tar\.xz$' | sort -V -k1,1 >"$index.files"
    local newest
    newest=$(tail -n 1 "$index.files" | cut -d' ' -f1)
    [[ -n $newest ]] || { say "no python$version in Debian's unstable archive"; exit 1; }
    local package_version directory sum size name
    while read -r package_version directory sum size name; do
        [[ $package_version == "$newest" ]] || continue
        if [[ ! -f $into/$name ]] || ! sha256sum --status -c <<<"$sum  $into/$name"; then
            say "downloading $name ($((size / 1000000)) MB) from Debian's archive"
            curl -fsSL -o "$into/$name.part" "$mirror/$directory/$name"
            sha256sum --status -c <<<"$sum  $into/$name.part" || { say "$name: checksum mismatch"; exit 1; }
            mv "$into/$name.part" "$into/$name"
        fi
    done <"$index.files"
    rm -f "$index" "$index.files"
}

if [[ -n ${BROOKLET_CPYTHON_SOURCES:-} ]]; then
    sources=$BROOKLET_CPYTHON_SOURCES
elif [[ $version == 3.13 ]]; then
    sources=$target_root/usr/src/python3.13t
    if ! compgen -G "$sources/python3.13_*.orig.tar.*" >/dev/null; then
        say "preparing the target root for its CPython source"
        "$target/prepare" >&2
    fi
else
    sources=$cache/sources/python$version
    # The archive's index is read at most once a day: a rebuild follows a new Debian release.
    if [[ -z $(find "$sources" -maxdepth 1 -name ".fetched" -mtime -1 2>/dev/null) ]]; then
        fetch_debian_source "$sources"
        touch "$sources/.fetched"
    fi
fi
orig=$(ls -v "$sources"/python"$version"_*.orig.tar.* | grep -v '\.asc$' | tail -n 1)
debian=$(ls -v "$sources"/python"$version"_*.debian.tar.* | tail -n 1)

stamp_text="$(basename "$orig") $(basename "$debian") ${configure_options[*]} recipe $recipe"
if [[ -x $python && -f $prefix/.stamp && $(cat "$prefix/.stamp") == "$stamp_text" ]]; then
    echo "$python"
    exit 0
fi

missing=()
for package in build-essential patch curl xz-utils libssl-dev libffi-dev zlib1g-dev libbz2-dev liblzma-dev libsqlite3-dev uuid-dev libmpdec-dev libzstd-dev; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if ((${#missing[@]})); then
    say "installing ${missing[*]}"
    apt-get update >&2
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}" >&2
fi

work=$(mktemp -d /tmp/brooklet-cpython.XXXXXX)
trap 'rm -rf "$work"' EXIT
logs=$cache/logs-$variant
mkdir -p "$logs"
start=$SECONDS
say "building CPython $version ($variant: ${configure_options[*]}) from $(basename "$orig"); logs in $logs"
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
echo "$stamp_text" >"$prefix/.stamp"
say "built $python in $((SECONDS - start)) s"
echo "$python"
