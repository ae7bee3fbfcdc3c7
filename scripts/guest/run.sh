#!/usr/bin/env bash
# Runs a command in the test guest (scripts/guest/image.sh) over this checkout and hands back its
# exit code. The guest sees the checkout at the same path over a 9p share, so build trees and
# CTest files work unchanged; its own disk is a snapshot, so every run starts from the image.
#
#   scripts/guest/run.sh COMMAND [ARG...]      e.g. scripts/guest/run.sh bash scripts/guest/win32-tests.sh
#
# The guest's console goes to build/guest/console.log; lines starting with "== " or "qor-guest:",
# and CTest's lines, are shown as they come. The guest is always powered off at the end.
# Settings (environment):
#   QOR_GUEST_CACHE     the image's cache folder (default /var/cache/qor-guest)
#   QOR_GUEST_TIMEOUT   seconds the command may take (default 3600)
#   QOR_GUEST_BOOT_TIMEOUT  seconds until the guest must be up (default 300)
#   QOR_GUEST_ACCEL     tcg (default) or kvm (a direct-boot microvm; see docs/platform.md)
#   QOR_GUEST_SMP, QOR_GUEST_MEM   processors (2) and memory in MB (4096)
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
[ $# -gt 0 ] || { echo "usage: scripts/guest/run.sh COMMAND [ARG...]" >&2; exit 2; }
fail() { printf 'guest: %s\n' "$*" >&2; exit 1; }

command -v qemu-system-x86_64 >/dev/null ||
    fail "qemu-system-x86_64 is missing: run scripts/setup.sh as root (package qemu-system-x86)"
case "$root" in *[[:space:]]*) fail "the checkout's path '$root' has a blank; the guest's kernel command line cannot carry it: clone into a path without blanks" ;; esac

started=$SECONDS
echo "== guest: image"
cache=$(bash "$root/scripts/guest/image.sh")
echo "== guest: image ready ($((SECONDS - started)) s)"

out=$root/build/guest
mkdir -p "$out"
rm -f "$out/exit-code" "$out/console.log"
free_mb=$(df -Pm "$out" | awk 'NR==2 {print $4}')
[ "$free_mb" -ge 500 ] || fail "no space: $out has $free_mb MB free; the guest's results need some 500 MB"
# The job: the command, run from the checkout's root; then the exit code for the host, and the
# power switch (the image's minimal system has no poweroff program).
{
    echo '#!/bin/bash'
    printf 'cd %q || exit 125\n' "$root"
    printf '%q ' "$@"
    echo
    echo 'rc=$?'
    echo 'echo "qor-guest: job exit code $rc"'
    echo 'echo "$rc" >build/guest/exit-code'
    echo 'sync'
    echo 'echo o >/proc/sysrq-trigger'
    echo 'sleep 30'
} >"$out/job.sh"

# What a run in the guest makes once per machine and image (its first Wine prefix, 600 MB) is kept
# on a disk of its own beside the image, made anew with it; the guest mounts it at $qor_keep.
# (Over the 9p share, unpacking the kept prefix took longer than making a new one.)
keep=$cache/keep-$(cat "$cache/recipe.sha256" 2>/dev/null | head -c 12).img
if [ ! -f "$keep" ]; then
    rm -rf "$cache"/keep-*
    truncate -s 4G "$keep.new" && mke2fs -q -t ext4 -F "$keep.new" && mv "$keep.new" "$keep" ||
        fail "cannot make the guest's keep disk $keep (space? mke2fs from e2fsprogs?)"
fi
# One guest at a time writes it.
exec 8>"$cache/.run-lock"
flock 8

accel=${QOR_GUEST_ACCEL:-tcg}
machine=()
case "$accel" in
tcg) machine=(-accel tcg,thread=multi -cpu Haswell-noTSX) ;;
# The direct-boot machine: no BIOS, virtio devices on MMIO.
kvm) machine=(-M microvm,x-option-roms=off,rtc=on -enable-kvm -cpu ${QOR_GUEST_KVM_CPU:-Haswell-noTSX}) ;;
*) fail "QOR_GUEST_ACCEL is '$accel': use tcg or kvm" ;;
esac
if [ "$accel" = kvm ]; then
    disk=(-drive "id=root,file=$cache/root.img,format=raw,if=none,snapshot=on" -device virtio-blk-device,drive=root)
    share=(-fsdev "local,id=host,path=$root,security_model=none" -device virtio-9p-device,fsdev=host,mount_tag=host)
    disk+=(-drive "id=keep,file=$keep,format=raw,if=none" -device virtio-blk-device,drive=keep)
else
    disk=(-drive "file=$cache/root.img,if=virtio,format=raw,snapshot=on")
    share=(-virtfs "local,path=$root,mount_tag=host,security_model=none")
    disk+=(-drive "file=$keep,if=virtio,format=raw")
fi
# The guest is a throw-away test machine: without the kernel's speculation mitigations (the page
# table switch at every system call costs a translation-cache flush under emulation) the Windows
# tests run about a quarter faster.
console="console=ttyS0 mitigations=off"
serial=(-serial "file:$out/console.log")

echo "== guest: boot ($accel, ${QOR_GUEST_SMP:-2} processors, ${QOR_GUEST_MEM:-4096} MB)"
booted=$SECONDS
qemu-system-x86_64 "${machine[@]}" -smp "${QOR_GUEST_SMP:-2}" -m "${QOR_GUEST_MEM:-4096}" \
    -display none -monitor none -no-reboot -nodefaults \
    -kernel "$cache/vmlinuz" -initrd "$cache/initrd.img" \
    -append "root=/dev/vda rw $console init=/sbin/qor-guest-init quiet panic=1 ${QOR_GUEST_KERNEL_ARGS:-} qor_share=$root qor_keep=/var/cache/qor-keep qor_job=build/guest/job.sh qor_out=build/guest" \
    "${disk[@]}" "${share[@]}" "${serial[@]}" </dev/null >"$out/qemu.log" 2>&1 &
qemu=$!
power_off() { kill "$qemu" 2>/dev/null || true; wait "$qemu" 2>/dev/null || true; }
trap power_off EXIT INT TERM
touch "$out/console.log"
# Progress lines from the console while the guest runs.
tail --pid="$qemu" -n +1 -F "$out/console.log" 2>/dev/null | sed -u 's/\r//g' |
    grep --line-buffered -E '^(== |qor-guest:| *[0-9]+/[0-9]+ Test|[0-9]+% tests passed|The following tests)' &
follower=$!
trap 'kill $follower 2>/dev/null || true; power_off' EXIT INT TERM

last_lines() { echo "--- the guest console's last lines ($out/console.log):" >&2; tr -d '\r' <"$out/console.log" | tail -n 30 >&2; cat "$out/qemu.log" >&2; }
boot_limit=${QOR_GUEST_BOOT_TIMEOUT:-300}
limit=${QOR_GUEST_TIMEOUT:-3600}
up=""
while kill -0 "$qemu" 2>/dev/null; do
    if [ -z "$up" ]; then
        if grep -q '^qor-guest: up' "$out/console.log" 2>/dev/null; then
            up=$((SECONDS - booted))
            echo "== guest: up after $up s"
        elif [ $((SECONDS - booted)) -gt "$boot_limit" ]; then
            power_off; last_lines; fail "the guest did not come up within $boot_limit s (QOR_GUEST_BOOT_TIMEOUT)"
        fi
    elif [ $((SECONDS - booted)) -gt "$limit" ]; then
        power_off; last_lines; fail "the command exceeded $limit s in the guest and was stopped (QOR_GUEST_TIMEOUT)"
    fi
    sleep 1
done
wait "$qemu" || true
sleep 0.5
kill "$follower" 2>/dev/null || true
trap - EXIT INT TERM
[ -n "$up" ] || { last_lines; fail "the guest ended before it came up"; }
[ -f "$out/exit-code" ] || { last_lines; fail "the guest ended without handing back an exit code"; }
rc=$(cat "$out/exit-code")
echo "== guest: command ended with exit code $rc after $((SECONDS - booted)) s (console: $out/console.log)"
[ "$rc" -eq 0 ] || tr -d '\r' <"$out/console.log" | tail -n 80 >&2
exit "$rc"
