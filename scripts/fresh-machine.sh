#!/usr/bin/env bash
# Runs a command the way a newcomer meets Vask: on a pristine Debian 12 root (a minimal debootstrap
# of bookworm, nothing else installed) holding a fresh clone of this repository's committed tree.
# A tool for people, not part of CI; needs root, debootstrap and the Debian mirror.
#
#   sudo bash scripts/fresh-machine.sh [--display :N] [--keep] COMMAND
#
#   COMMAND        runs as root with bash in the clone (/root/vask), e.g. 'bash scripts/test.sh'
#   --display :N   passes an X display of this machine in (its socket in /tmp/.X11-unix and
#                  DISPLAY), e.g. an Xvfb started beforehand for the start command
#   --keep         leaves the root in place afterwards (its path is printed)
#
# The debootstrapped root is made once and cached in $VASK_FRESH_CACHE (default
# /var/cache/vask-fresh-machine; delete its bookworm folder to make it anew); every run works on
# a copy of it, removed afterwards. Uncommitted changes are not in the clone: commit first.
# VASK_FRESH_MIRROR names another Debian mirror; VASK_FUZZ_SECONDS and CMAKE_BUILD_PARALLEL_LEVEL
# are passed in when set. Exits with COMMAND's status.
set -euo pipefail

display=""
keep=0
while [[ $# -gt 0 ]]; do
    case $1 in
    --display)
        [[ $# -ge 2 ]] || { echo "fresh-machine: --display needs a display such as :37" >&2; exit 2; }
        display=$2
        shift 2
        ;;
    --keep) keep=1; shift ;;
    --) shift; break ;;
    -*) echo "fresh-machine: unknown option $1" >&2; exit 2 ;;
    *) break ;;
    esac
done
if [[ $# -ne 1 ]]; then
    echo "usage: scripts/fresh-machine.sh [--display :N] [--keep] COMMAND" >&2
    exit 2
fi
command=$1
if [[ $(id -u) -ne 0 ]]; then
    echo "fresh-machine: needs root (debootstrap, chroot and mounts)" >&2
    exit 2
fi
if [[ -n $display ]]; then
    if ! [[ $display =~ ^:([0-9]+)(\.[0-9]+)?$ ]]; then
        echo "fresh-machine: --display takes a local display such as :37" >&2
        exit 2
    fi
    if [[ ! -S /tmp/.X11-unix/X${BASH_REMATCH[1]} ]]; then
        echo "fresh-machine: no X server on display $display (start one first, e.g. Xvfb $display &)" >&2
        exit 2
    fi
fi
for tool in debootstrap git chroot mount umount; do
    command -v "$tool" >/dev/null || { echo "fresh-machine: needs $tool (apt-get install $tool)" >&2; exit 2; }
done

repo=$(cd "$(dirname "$0")/.." && pwd)
revision=$(git -C "$repo" rev-parse HEAD)
if [[ -n $(git -C "$repo" status --porcelain --untracked-files=no) ]]; then
    echo "fresh-machine: uncommitted changes are left out; the clone is at $revision" >&2
fi

cache=${VASK_FRESH_CACHE:-/var/cache/vask-fresh-machine}
base="$cache/bookworm"
mkdir -p "$cache"
if [[ ! -f $base/.debootstrap-complete ]]; then
    echo "fresh-machine: making the pristine root in $base (once)"
    rm -rf "$base" "$base.partial"
    debootstrap --variant=minbase bookworm "$base.partial" "${VASK_FRESH_MIRROR:-http://deb.debian.org/debian}"
    touch "$base.partial/.debootstrap-complete"
    mv "$base.partial" "$base"
fi

run=$(mktemp -d "$cache/run.XXXXXX")
root="$run/root"
mounted=()
finish() {
    local status=$? i
    # Innermost first; a busy mount is detached lazily so that nothing of the host stays in use.
    for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
        umount "${mounted[i]}" 2>/dev/null || umount -l "${mounted[i]}" 2>/dev/null || true
    done
    if grep -q " $root/" /proc/mounts; then
        echo "fresh-machine: mounts are left under $root; not removing it" >&2
    elif [[ $keep -eq 1 ]]; then
        echo "fresh-machine: root kept in $root"
    else
        rm -rf "$run"
    fi
    exit "$status"
}
trap finish EXIT
trap 'exit 130' INT TERM HUP

echo "fresh-machine: copying the pristine root to $root"
cp -a "$base" "$root"
rm -f "$root/.debootstrap-complete"
cp /etc/resolv.conf "$root/etc/resolv.conf"

# The clone a newcomer makes, at the committed revision of this worktree.
git clone --quiet --no-hardlinks "$repo" "$root/root/vask"
git -C "$root/root/vask" checkout --quiet --detach "$revision"
git -C "$root/root/vask" remote remove origin

mount_in() { # mount_in TARGET mount-arguments...
    local target="$root$1"
    shift
    mkdir -p "$target"
    mount "$@" "$target"
    mounted+=("$target")
}
mount_in /proc -t proc proc
mount_in /sys -t sysfs sysfs
mount_in /dev --bind /dev
mount_in /dev/pts --bind /dev/pts
mount_in /dev/shm -t tmpfs -o mode=1777 shm
env_vars=(HOME=/root TERM="${TERM:-dumb}" PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
    LANG=C.UTF-8)
# Bounds a shared machine may want to pass on.
for name in VASK_FUZZ_SECONDS CMAKE_BUILD_PARALLEL_LEVEL; do
    [[ -n ${!name:-} ]] && env_vars+=("$name=${!name}")
done
if [[ -n $display ]]; then
    mount_in /tmp/.X11-unix --bind /tmp/.X11-unix
    env_vars+=(DISPLAY="$display")
fi
chmod 1777 "$root/tmp"

echo "fresh-machine: running '$command' in $root/root/vask"
start=$SECONDS
status=0
chroot "$root" /usr/bin/env -i "${env_vars[@]}" /bin/bash -c 'cd /root/vask && eval "$1"' bash "$command" ||
    status=$?
echo "fresh-machine: '$command' exited $status after $(((SECONDS - start) / 60)) min $(((SECONDS - start) % 60)) s"
exit "$status"
