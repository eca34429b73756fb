#!/usr/bin/env bash
# Debian roots that the project tests in, made with debootstrap:
#
#   bullseye-amd64, bullseye-i386   Debian 11 (glibc 2.31), each with a CPython 3.13 and a
#                                   free-threaded CPython 3.13t built there from the same source as
#                                   the 32-bit target root's python3.13t: the oldest systems the
#                                   wheels are proven on. No C++ compiler newer than bullseye's
#                                   GCC 10 is there, which is the point: the wheels must install
#                                   and run as they are.
#   sid-amd64                       Debian unstable with Debian's own CPython 3.14 and 3.15 (the
#                                   versions this machine's Debian release does not ship), their
#                                   headers and venv modules, and GCC, CMake and ninja to build with.
#
#   scripts/debian-roots.sh prepare ROOT          # cached: a second run takes no time
#   scripts/debian-roots.sh run ROOT -- CMD...    # runs CMD in the root, in the checkout at /src
#
# A root is made (minbase) from the Debian mirror that apt uses here (DEBIAN_ROOT_MIRROR overrides
# it) at /var/cache/brooklet/ROOT, with this machine's certificate bundle, so that pip reaches
# PyPI from inside as it does here. Each step has a stamp keyed by its inputs. Needs root
# (debootstrap, mount, chroot).
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
say_fd=2
checkout=$root  # `root` names a Debian root in the functions below
cpython_build_packages=(build-essential patch xz-utils ca-certificates libssl-dev libffi-dev zlib1g-dev
                        libbz2-dev liblzma-dev libsqlite3-dev uuid-dev)

root_of() { echo "/var/cache/brooklet/$1"; }
suite_of() { echo "${1%-*}"; }
arch_of() { echo "${1##*-}"; }
persona_of() { [[ $(arch_of "$1") == i386 ]] && echo linux32 || echo linux64; }
packages_of() {
    case $(suite_of "$1") in
        bullseye) echo "${cpython_build_packages[*]}" ;;
        sid) echo "ca-certificates python3.14 python3.14-dev python3.14-venv python3.15 python3.15-dev" \
                  "python3.15-venv g++ make cmake ninja-build" ;;
    esac
}
keyring_of() {
    case $(suite_of "$1") in
        bullseye) echo /usr/share/keyrings/debian-archive-bullseye-stable.gpg ;;
        *) echo /usr/share/keyrings/debian-archive-keyring.gpg ;;
    esac
}

# Runs "$@" in root $1 with /proc, /sys, /dev and the checkout (at /src) mounted in a private
# mount namespace, which takes the mounts with it when the command ends; the environment is
# cleaned to a standard PATH plus the variables named in DEBIAN_ROOT_PASSENV.
enter() {
    local name=$1 root; shift
    root=$(root_of "$name")
    local env=(HOME=/root LANG=C.UTF-8 PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
               PIP_CERT=/etc/ssl/certs/host-ca-certificates.crt PIP_DEFAULT_TIMEOUT=180)
    local variable
    for variable in CI ${DEBIAN_ROOT_PASSENV:-}; do
        [[ -z ${!variable+x} ]] || env+=("$variable=${!variable}")
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
        exec "$persona" chroot "$root" /bin/sh -c "cd /src && exec \"\$@\"" sh "$@"' \
        bash "$root" "$checkout" "$(persona_of "$name")" /usr/bin/env -i "${env[@]}" "$@"
}

find_mirror() {
    if [[ -n ${DEBIAN_ROOT_MIRROR:-} ]]; then echo "$DEBIAN_ROOT_MIRROR"; return; fi
    { cat /etc/apt/sources.list.d/*.sources /etc/apt/sources.list 2>/dev/null || true; } |
        sed -nE 's|^(URIs:[[:space:]]*\|deb[[:space:]]+(\[[^]]*\][[:space:]]+)?)([^[:space:]]+/debian)/?([[:space:]].*)?$|\3|p' |
        head -n 1
}

prepare() {
    local name=$1 root logs mirror key packages start=$SECONDS
    root=$(root_of "$name")
    logs=$root.logs
    packages=$(packages_of "$name")
    mkdir -p "$logs"
    exec 9>"$root.lock"
    flock 9
    key="$(suite_of "$name") $(arch_of "$name") minbase $packages"
    if ! stamp_ok "$root/.old-root/packages" "$key"; then
        mirror=$(find_mirror)
        [[ -n $mirror ]] || { say "no Debian mirror in apt's sources; set DEBIAN_ROOT_MIRROR"; exit 1; }
        install_missing_packages debootstrap
        say "$name: debootstrap $(suite_of "$name") from $mirror (log: $logs/debootstrap.log)"
        rm -rf --one-file-system "$root"
        if ! unshare --mount --propagation private -- "$(persona_of "$name")" debootstrap \
                --arch="$(arch_of "$name")" --variant=minbase --include="${packages// /,}" \
                --keyring="$(keyring_of "$name")" "$(suite_of "$name")" "$root" "$mirror" \
                >"$logs/debootstrap.log" 2>&1; then
            tail -n 30 "$logs/debootstrap.log" >&2
            exit 1
        fi
        stamp_set "$root/.old-root/packages" "$key"
        say "$name: root made in $((SECONDS - start)) s"
    fi
    cp -L /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true
    cp -L /etc/ssl/certs/ca-certificates.crt "$root/etc/ssl/certs/host-ca-certificates.crt"
    [[ $(suite_of "$name") == bullseye ]] || return 0
    # The CPython source, as the target root has it.
    local sources=$target_root/usr/src/python3.13t
    if ! compgen -G "$sources/python3.13_*.orig.tar.*" >/dev/null; then
        "$target/prepare" >&2
    fi
    mkdir -p "$root/usr/src/cpython"
    cp -u "$sources"/python3.13_*.orig.tar.xz "$sources"/python3.13_*.debian.tar.* "$root/usr/src/cpython/"
    local variant interpreter
    for variant in gil free-threaded; do
        interpreter=python3.13$([[ $variant == gil ]] || echo t)
        say "$name: $interpreter (build-cpython.sh $variant; cached after its first build)"
        enter "$name" env BROOKLET_CPYTHON_SOURCES=/usr/src/cpython BROOKLET_CPYTHON_CACHE=/opt/cpython \
            bash /src/scripts/build-cpython.sh "$variant" >"$logs/$interpreter.path"
        ln -sfn "$(tail -n 1 "$logs/$interpreter.path")" "$root/usr/local/bin/$interpreter"
    done
    say "$name: ready in $((SECONDS - start)) s: $(enter "$name" bash -c 'echo "Debian $(cat /etc/debian_version), $(ldd --version | head -n 1 | sed "s/.* //") glibc, $(python3.13 -V), $(python3.13t -V)t, uname -m $(uname -m)"')"
}

roots=(bullseye-amd64 bullseye-i386 sid-amd64)
command=${1:?usage: debian-roots.sh prepare ROOT | run ROOT -- CMD...}
name=${2:?name the root: ${roots[*]}}
[[ " ${roots[*]} " == *" $name "* ]] || { say "unknown root '$name' (${roots[*]})"; exit 2; }
[[ $(id -u) == 0 ]] || { say "must run as root (debootstrap, mount and chroot)"; exit 1; }
case $command in
    prepare) prepare "$name" ;;
    run)
        shift 2
        [[ ${1:-} == -- ]] && shift
        enter "$name" "$@"
        ;;
    *) say "unknown command '$command' (prepare or run)"; exit 2 ;;
esac
