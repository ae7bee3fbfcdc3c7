#!/usr/bin/env bash
# The corrected image must not depend on the build: generates calibration images of every
# format and raw phantom frames with both builds of qorctl, corrects them with both, and compares
# the files byte for byte.
# Usage: compare-builds.sh NATIVE_QORCTL WINDOWS_QORCTL WORK_DIR   (QOR_WINE_STATE set)
set -euo pipefail
native=$1 windows=$2 work=$3
here=$(cd "$(dirname "$0")" && pwd)
win() { "$here/wine-run.sh" "$windows" "$@"; }
rm -rf "$work"
mkdir -p "$work"
failures=0
check() {  # check NAME FILE_A FILE_B
    if cmp -s "$2" "$3"; then
        echo "same: $1"
    else
        echo "DIFFERENT: $1 ($2 vs $3)" >&2
        failures=$((failures + 1))
    fi
}
cases=(
    "format1:--format 1 --imager-id 1050000 --bad-rows 5,6,7 --bad-columns 0,9"
    "format2:--format 2 --imager-id 2101349 --bad-rows 1,2,3,40 --bad-columns 3,4"
    "format3:--format 3 --imager-id 3149925 --bad-rows 0,1,300 --bad-columns 3,5,998"
    "format4:--format 4 --imager-id 4200001 --bad-rows 859,860 --bad-columns 10,11,12"
    "legacy:--format 2 --legacy --imager-id 2100007 --bad-rows 9 --bad-columns 7,20 --column-corrections -12,30"
)
for entry in "${cases[@]}"; do
    name=${entry%%:*}
    # shellcheck disable=SC2206
    args=(${entry#*:})
    legacy=()
    [[ $name == legacy ]] && legacy=(--legacy)
    "$native" gen-calibration "${args[@]}" --seed 5 --out "$work/$name.cal" >/dev/null
    win gen-calibration "${args[@]}" --seed 5 --out "$work/$name.win.cal" >/dev/null
    check "$name calibration image" "$work/$name.cal" "$work/$name.win.cal"
    "$native" gen-raw --calibration "$work/$name.cal" "${legacy[@]}" --seed 9 --out "$work/$name.raw" >/dev/null
    win gen-raw --calibration "$work/$name.cal" "${legacy[@]}" --seed 9 --out "$work/$name.win.raw" >/dev/null
    check "$name raw frame" "$work/$name.raw" "$work/$name.win.raw"
    for flag in 0 1 2; do
        "$native" correct --calibration "$work/$name.cal" --raw "$work/$name.raw" "${legacy[@]}" \
            --process-flag $flag --threshold 0 --out "$work/$name.$flag.out" >/dev/null
        win correct --calibration "$work/$name.cal" --raw "$work/$name.raw" "${legacy[@]}" \
            --process-flag $flag --threshold 0 --out "$work/$name.$flag.win.out" >/dev/null
        check "$name corrected, process flag $flag" "$work/$name.$flag.out" "$work/$name.$flag.win.out"
    done
done
echo "$((${#cases[@]} * 5 - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
