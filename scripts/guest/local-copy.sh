#!/usr/bin/env bash
# Inside the test guest: puts a copy of each named folder of the checkout on the guest's own disk
# and mounts it over the original, so that programs run from a local file. Programs mapped from
# the 9p share (Wine's loader mapping a Windows program, whatever the share's cache mode) read
# pages of zeros and crash at their first instruction. Object files and static libraries stay
# behind. Writes into these folders stay in the guest.
#   scripts/guest/local-copy.sh DIR...
set -euo pipefail
local_root=/var/tmp/qor-local
for dir in "$@"; do
    dir=$(cd "$dir" && pwd)
    copy=$local_root$dir
    mkdir -p "$copy"
    tar -C "$dir" --exclude='*.obj' --exclude='*.o' --exclude='*.a' --exclude='wine-prefix-cache' \
        -cf - . | tar -C "$copy" -xf -
    mount --bind "$copy" "$dir"
done
