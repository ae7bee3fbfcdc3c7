#!/usr/bin/env bash
# Builds the guest machine that executes the shipped 32-bit build: a Debian 12 amd64 system with
# its own kernel (and so the 32-bit compat layer this kind of host lacks), 32-bit Wine, a virtual
# display and the few tools the tests use. It is made from the Debian archive by debootstrap and
# kept in a cache folder outside the clone, so a machine builds it once; it is made again when its
# recipe (the release and the packages below) changes. The guest's first process is written into
# the disk image in place (debugfs, nothing mounted) whenever it changes.
#
#   scripts/guest/image.sh            prints the cache folder holding root.img, vmlinuz, initrd.img
#
# QOR_GUEST_CACHE names the cache folder (default /var/cache/qor-guest). Run as root.
set -euo pipefail

cache=${QOR_GUEST_CACHE:-/var/cache/qor-guest}
release=bookworm
# debootstrap's first stage and the base system.
base_packages=linux-image-amd64,udev,kmod,procps,xvfb,xauth,x11-utils,xdotool
# Installed in the chroot once the i386 architecture is added. cmake brings ctest.
packages=(wine wine32:i386 wine64 libwine:i386 fonts-wine fonts-liberation python3 imagemagick cmake file
          unzip zip)
image_size=6G
needed_mb=4500

# The first process of the guest: mounts the kernel's file systems and the host's checkout, runs
# the job the host named on the kernel command line, hands back its exit code, and powers off.
# The job is written into the checkout by scripts/guest/run.sh. The share is mounted with
# cache=mmap: without it, programs mapped from the share (every Windows program of the tests,
# mapped by Wine's loader) may read pages of zeros.
guest_init() {
    cat <<'INIT'
#!/bin/sh
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mkdir -p /dev/pts /dev/shm
mount -t devpts devpts /dev/pts
mount -t tmpfs tmpfs /dev/shm
mount -t tmpfs tmpfs /tmp
mount -t tmpfs tmpfs /run
hostname qor-guest
ip link set lo up 2>/dev/null || true
echo "qor-guest: up"
# The host names the shared folder, the job and the result folder on the kernel command line.
for arg in $(cat /proc/cmdline); do
    case $arg in qor_share=*|qor_job=*|qor_out=*|qor_keep=*) export "$arg" ;; esac
done
modprobe 9pnet_virtio && modprobe 9p
# What the guest keeps between runs (the Wine prefix it makes first): its second disk.
if [ -n "${qor_keep:-}" ]; then
    mkdir -p "$qor_keep"
    mount -t ext4 /dev/vdb "$qor_keep" || unset qor_keep
fi
mkdir -p "$qor_share"
if mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144,cache=mmap host "$qor_share"; then
    cd "$qor_share"
    /bin/bash "$qor_share/$qor_job" </dev/null
    rc=$?
else
    echo "qor-guest: the host folder could not be mounted"
    rc=125
fi
echo "qor-guest: job exit code $rc"
mkdir -p "$qor_share/$qor_out" && echo "$rc" >"$qor_share/$qor_out/exit-code"
sync
umount "$qor_share" 2>/dev/null
[ -n "${qor_keep:-}" ] && umount "$qor_keep" 2>/dev/null
# The minimal system has no poweroff program: the kernel's own switch.
echo o >/proc/sysrq-trigger
sleep 30
INIT
}

# The recipe: what goes into the image. Only a change of it makes a new image.
recipe_hash=$(echo "$release $base_packages ${packages[*]} $image_size" | sha256sum | cut -d' ' -f1)
init_hash=$(guest_init | sha256sum | cut -d' ' -f1)

say() { printf 'guest image: %s\n' "$*" >&2; }
fail() { printf 'guest image: %s\n' "$*" >&2; exit 1; }

mkdir -p "$cache" || fail "cannot create the cache folder $cache: set QOR_GUEST_CACHE to a writable folder"
cache=$(cd "$cache" && pwd)
# One builder at a time; a second run waits and then finds the image made.
exec 9>"$cache/.lock"
flock 9

# Writes the guest's first process into the disk image without mounting it.
refresh_init() {
    [ -f "$cache/init.sha256" ] && [ "$(cat "$cache/init.sha256")" = "$init_hash" ] && return 0
    command -v debugfs >/dev/null || fail "debugfs is missing: run scripts/setup.sh as root (e2fsprogs)"
    local file commands
    file=$(mktemp)
    commands=$(mktemp)
    guest_init >"$file"
    # /sbin is a link to /usr/sbin, which debugfs does not follow.
    printf 'cd /usr/sbin\nrm qor-guest-init\nwrite %s qor-guest-init\nsif qor-guest-init mode 0100755\n' \
        "$file" >"$commands"
    { debugfs -w -f "$commands" "$cache/root.img" && e2fsck -fp "$cache/root.img"; } >>"$cache/build.log" 2>&1
    rm -f "$file" "$commands"
    debugfs -R "cat /usr/sbin/qor-guest-init" "$cache/root.img" 2>/dev/null | cmp -s - <(guest_init) ||
        fail "the guest's first process could not be written into $cache/root.img: see $cache/build.log"
    echo "$init_hash" >"$cache/init.sha256"
    say "the guest's first process is renewed in the image"
}

if [ -f "$cache/recipe.sha256" ] && [ "$(cat "$cache/recipe.sha256")" = "$recipe_hash" ] &&
   [ -f "$cache/root.img" ] && [ -f "$cache/vmlinuz" ] && [ -f "$cache/initrd.img" ]; then
    refresh_init
    echo "$cache"
    exit 0
fi

[ "$(id -u)" -eq 0 ] || fail "building the image needs root (debootstrap, chroot): run as root"
for tool in debootstrap mke2fs chroot; do
    command -v "$tool" >/dev/null || fail "$tool is missing: run scripts/setup.sh as root"
done
free_mb=$(df -Pm "$cache" | awk 'NR==2 {print $4}')
[ "$free_mb" -ge "$needed_mb" ] ||
    fail "no space: $cache has $free_mb MB free, the image build needs about $needed_mb MB; free space or set QOR_GUEST_CACHE"

started=$SECONDS
work=$cache/build.tmp
root=$work/root
log=$cache/build.log
# A build that was interrupted may have left the chroot's kernel file systems mounted.
for fs in proc sys dev/pts dev; do umount -l "$root/$fs" 2>/dev/null || true; done
rm -f "$cache/recipe.sha256"
# The base system of an interrupted build of this recipe is kept: it is most of the time.
base_done=""
if [ -f "$work/base.done" ] && [ "$(cat "$work/base.done")" = "$recipe_hash" ]; then
    base_done=1
else
    rm -rf "$work"
fi
mkdir -p "$work"
echo "guest image build of $(date -u)" >>"$log"
say "building from the Debian archive (about 8 minutes, 1 GB download); log: $log"

if [ -z "$base_done" ]; then
    say "debootstrap $release"
    debootstrap --variant=minbase --include="$base_packages" "$release" "$root" >>"$log" 2>&1 ||
        { tail -n 20 "$log" >&2; fail "debootstrap failed (network? archive?): see $log"; }
    echo "$recipe_hash" >"$work/base.done"
else
    say "the base system of an interrupted build is complete: kept"
fi

say "32-bit Wine and the test tools"
in_root() { chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin DEBIAN_FRONTEND=noninteractive "$@"; }
{
    in_root dpkg --add-architecture i386 &&
    in_root apt-get update -q &&
    in_root apt-get install -y -q --no-install-recommends "${packages[@]}" &&
    in_root apt-get clean
} >>"$log" 2>&1 || { tail -n 20 "$log" >&2; fail "installing Wine in the image failed: see $log"; }

guest_init >"$root/sbin/qor-guest-init"
chmod 755 "$root/sbin/qor-guest-init"
echo "$init_hash" >"$work/init.sha256"
echo qor-guest >"$root/etc/hostname"

say "kernel and disk image"
cp -L "$root/vmlinuz" "$work/vmlinuz"
cp -L "$root/initrd.img" "$work/initrd.img"
mke2fs -q -t ext4 -d "$root" -L root "$work/root.img" "$image_size" >>"$log" 2>&1 ||
    { tail -n 20 "$log" >&2; fail "mke2fs failed: see $log (space?)"; }
mv "$work/root.img" "$work/vmlinuz" "$work/initrd.img" "$work/init.sha256" "$cache/"
rm -rf "$work"
echo "$recipe_hash" >"$cache/recipe.sha256"
say "made in $((SECONDS - started)) s: $cache ($(du -sh "$cache/root.img" | cut -f1) on disk)"
echo "$cache"
