#!/usr/bin/env bash
# qorctl bitmap on a 3 x 2 frame: exact pixel bytes, thumbnail size, and a refused geometry.
set -euo pipefail
# Usage: qorctl_bitmap_test.sh [EMULATOR] QORCTL
qorctl=("$@")
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
# Little-endian int32: 0 2048 4095 / 1 17 4094 (first row first).
printf '\x00\x00\x00\x00\x00\x08\x00\x00\xff\x0f\x00\x00\x01\x00\x00\x00\x11\x00\x00\x00\xfe\x0f\x00\x00' \
    >"$dir/frame.raw"
"${qorctl[@]}" bitmap --frame "$dir/frame.raw" --width 3 --height 2 --out "$dir/x.bmp" \
    --thumbnail "$dir/t.bmp" >/dev/null
[ "$(stat -c %s "$dir/x.bmp")" = 1086 ] || { echo "bitmap size $(stat -c %s "$dir/x.bmp")"; exit 1; }
[ "$(stat -c %s "$dir/t.bmp")" = 11398 ] || { echo "thumbnail size"; exit 1; }
# Bottom row first: 0 1 254 pad, then 0 127 255 pad.
pixels=$(tail -c 8 "$dir/x.bmp" | od -An -tu1 | tr -s ' ')
[ "$pixels" = " 0 1 254 0 0 127 255 0" ] || { echo "pixels:$pixels"; exit 1; }
if "${qorctl[@]}" bitmap --frame "$dir/frame.raw" --width 4 --height 2 --out "$dir/y.bmp" 2>"$dir/err"; then
    echo "a wrong geometry was accepted"; exit 1
fi
grep -q "needs 8" "$dir/err" || { cat "$dir/err"; exit 1; }
[ ! -e "$dir/y.bmp" ]
echo "qorctl bitmap: ok"
