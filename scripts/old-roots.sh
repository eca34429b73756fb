#!/usr/bin/env bash
# Debian 11 "bullseye" roots (glibc 2.31), amd64 and i386, each with a CPython 3.13 and a
# free-threaded CPython 3.13t built there from the same source as the 32-bit target root's
# python3.13t: the oldest systems the wheels are proven on.
#
#   scripts/old-roots.sh prepare ARCH          # amd64 or i386; cached, a second run takes no time
#   scripts/old-roots.sh run ARCH -- CMD...    # runs CMD in the root, the checkout at /src
#
# A root is made with debootstrap (minbase) from the Debian mirror that apt uses here
# (OLD_ROOT_MIRROR overrides it) at /var/cache/brooklet/bullseye-ARCH, with what CPython's build
# needs; the interpreters are built inside it by scripts/build-cpython.sh into /opt/cpython and
# linked from /usr/local/bin as python3.13 and python3.13t. No C++ compiler newer than bullseye's
# GCC 10 is there, which is the point: the wheels must install and run as they are. Each step
# has a stamp keyed by its inputs. Needs root (debootstrap, mount, chroot).
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
say_fd=2
checkout=$root  # `root` names an old-system root in the functions below
suite=bullseye
packages=(build-essential patch xz-utils ca-certificates libssl-dev libffi-dev zlib1g-dev libbz2-dev
          liblzma-dev libsqlite3-dev uuid-dev)

root_of() { echo "/var/cache/brooklet/$suite-$1"; }
persona_of() { [[ $1 == i386 ]] && echo linux32 || echo linux64; }

# Runs "$@" in root $1 with /proc, /sys, /dev and the checkout (at /src) mounted in a private
# mount namespace, which takes the mounts with it when the command ends; the environment is
# cleaned to a standard PATH plus the variables named in OLD_ROOT_PASSENV.
enter() {
    local arch=$1 root; shift
    root=$(root_of "$arch")
    local env=(HOME=/root LANG=C.UTF-8 PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin)
    local name
    for name in CI ${OLD_ROOT_PASSENV:-}; do
        [[ -z ${!name+x} ]] || env+=("$name=${!name}")
    done
    mkdir -p "$root/src"
    unshare --mount --propagation private -- bash -c '
        set -e
        root=$1 src=$2 persona=$3; shift 3
        mount -t proc proc "$root/proc"
        mount -t sysfs sysfs "$root/sys"
        mount --bind /dev "$root/dev"
        mount --bind /dev/pts "$root/dev/pts"
        mount --bind "$src" "$root/src"
        exec "$persona" chroot "$root" "$@"' \
        bash "$root" "$checkout" "$(persona_of "$arch")" /usr/bin/env -i "${env[@]}" "$@"
}

find_mirror() {
    if [[ -n ${OLD_ROOT_MIRROR:-} ]]; then echo "$OLD_ROOT_MIRROR"; return; fi
    { cat /etc/apt/sources.list.d/*.sources /etc/apt/sources.list 2>/dev/null || true; } |
        sed -nE 's|^(URIs:[[:space:]]*\|deb[[:space:]]+(\[[^]]*\][[:space:]]+)?)([^[:space:]]+/debian)/?([[:space:]].*)?$|\3|p' |
        head -n 1
}

prepare() {
    local arch=$1 root logs mirror key start=$SECONDS
    root=$(root_of "$arch")
    logs=$root.logs
    mkdir -p "$logs"
    exec 9>"$root.lock"
    flock 9
    key="$suite $arch minbase ${packages[*]}"
    if ! stamp_ok "$root/.old-root/packages" "$key"; then
        mirror=$(find_mirror)
        [[ -n $mirror ]] || { say "no Debian mirror in apt's sources; set OLD_ROOT_MIRROR"; exit 1; }
        say "$arch: debootstrap $suite from $mirror (log: $logs/debootstrap.log)"
        rm -rf --one-file-system "$root"
        if ! unshare --mount --propagation private -- "$(persona_of "$arch")" debootstrap --arch="$arch" \
                --variant=minbase --include="$(IFS=,; echo "${packages[*]}")" \
                --keyring=/usr/share/keyrings/debian-archive-bullseye-stable.gpg \
                "$suite" "$root" "$mirror" >"$logs/debootstrap.log" 2>&1; then
            tail -n 30 "$logs/debootstrap.log" >&2
            exit 1
        fi
        cp -L /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true
        stamp_set "$root/.old-root/packages" "$key"
        say "$arch: root made in $((SECONDS - start)) s"
    fi
    # The CPython source, as the target root has it.
    local sources=$target_root/usr/src/python3.13t
    if ! compgen -G "$sources/python3.13_*.orig.tar.*" >/dev/null; then
        "$target/prepare" >&2
    fi
    mkdir -p "$root/usr/src/cpython"
    cp -u "$sources"/python3.13_*.orig.tar.xz "$sources"/python3.13_*.debian.tar.* "$root/usr/src/cpython/"
    local variant name
    for variant in gil free-threaded; do
        name=python3.13$([[ $variant == gil ]] || echo t)
        say "$arch: $name (build-cpython.sh $variant; cached after its first build)"
        enter "$arch" env BROOKLET_CPYTHON_SOURCES=/usr/src/cpython BROOKLET_CPYTHON_CACHE=/opt/cpython \
            bash /src/scripts/build-cpython.sh "$variant" >"$logs/$name.path"
        ln -sfn "$(tail -n 1 "$logs/$name.path")" "$root/usr/local/bin/$name"
    done
    say "$arch: ready in $((SECONDS - start)) s: $(enter "$arch" bash -c 'echo "Debian $(cat /etc/debian_version), $(ldd --version | head -n 1 | sed "s/.* //") glibc, $(python3.13 -V), $(python3.13t -V)t, uname -m $(uname -m)"')"
}

command=${1:?usage: old-roots.sh prepare ARCH | run ARCH -- CMD...}
arch=${2:?name the architecture: amd64 or i386}
[[ $arch == amd64 || $arch == i386 ]] || { say "unknown architecture '$arch' (amd64 or i386)"; exit 2; }
[[ $(id -u) == 0 ]] || { say "must run as root (debootstrap, mount and chroot)"; exit 1; }
case $command in
    prepare) prepare "$arch" ;;
    run)
        shift 2
        [[ ${1:-} == -- ]] && shift
        enter "$arch" "$@"
        ;;
    *) say "unknown command '$command' (prepare or run)"; exit 2 ;;
esac
