#!/usr/bin/env bash
# The corrected image must not depend on the build: generates calibration images of every
# format and raw phantom frames with each build of qorctl, corrects them with each, turns the
# corrected frames into the application's bitmaps, and compares the files byte for byte with the
# native build's.
# Usage: compare-builds.sh NATIVE_QORCTL WINDOWS_QORCTL WORK_DIR [LINUX32_QORCTL]
#   The Windows build runs under the Wine harness (QOR_WINE_STATE set); the optional 32-bit Linux
#   build (static, -m32 -msse2 -mfpmath=sse) under qemu-i386-static. A build given as "-" is
#   left out.
set -euo pipefail
native=$1 windows=$2 work=$3 linux32=${4:--}
here=$(cd "$(dirname "$0")" && pwd)
builds=()
[ "$windows" != - ] && builds+=(win)
[ "$linux32" != - ] && builds+=(x32)
run() {  # run BUILD qorctl-arguments...
    local build=$1
    shift
    case $build in
        native) "$native" "$@" ;;
        win) "$here/wine-run.sh" "$windows" "$@" ;;
        x32) qemu-i386-static "$linux32" "$@" ;;
    esac
}
rm -rf "$work"
mkdir -p "$work"
failures=0
checks=0
check() {  # check NAME FILE_A FILE_B
    checks=$((checks + 1))
    if cmp -s "$2" "$3"; then
        echo "same: $1"
    else
        echo "DIFFERENT: $1 ($2 vs $3)" >&2
        failures=$((failures + 1))
    fi
}
# Width and height from the header of the PGM beside a corrected frame ("P5\nW H\n4095\n").
geometry() { head -c 32 "$1" | tr '\n' ' ' | awk '{print $2, $3}'; }
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
    run native gen-calibration "${args[@]}" --seed 5 --out "$work/$name.cal" >/dev/null
    run native gen-raw --calibration "$work/$name.cal" "${legacy[@]}" --seed 9 --out "$work/$name.raw" >/dev/null
    for flag in 0 1 2; do
        run native correct --calibration "$work/$name.cal" --raw "$work/$name.raw" "${legacy[@]}" \
            --process-flag $flag --threshold 0 --out "$work/$name.$flag.out" >/dev/null 2>&1
    done
    read -r width height < <(geometry "$work/$name.1.pgm")
    run native bitmap --frame "$work/$name.1.out" --width "$width" --height "$height" \
        --out "$work/$name.bmp" --thumbnail "$work/$name.thumb.bmp" >/dev/null
    for b in "${builds[@]}"; do
        run "$b" gen-calibration "${args[@]}" --seed 5 --out "$work/$name.$b.cal" >/dev/null
        check "$name calibration image ($b)" "$work/$name.cal" "$work/$name.$b.cal"
        run "$b" gen-raw --calibration "$work/$name.cal" "${legacy[@]}" --seed 9 --out "$work/$name.$b.raw" >/dev/null
        check "$name raw frame ($b)" "$work/$name.raw" "$work/$name.$b.raw"
        for flag in 0 1 2; do
            run "$b" correct --calibration "$work/$name.cal" --raw "$work/$name.raw" "${legacy[@]}" \
                --process-flag $flag --threshold 0 --out "$work/$name.$flag.$b.out" >/dev/null 2>&1
            check "$name corrected, process flag $flag ($b)" "$work/$name.$flag.out" "$work/$name.$flag.$b.out"
        done
        run "$b" bitmap --frame "$work/$name.1.out" --width "$width" --height "$height" \
            --out "$work/$name.$b.bmp" --thumbnail "$work/$name.thumb.$b.bmp" >/dev/null
        check "$name bitmap ($b)" "$work/$name.bmp" "$work/$name.$b.bmp"
        check "$name thumbnail ($b)" "$work/$name.thumb.bmp" "$work/$name.thumb.$b.bmp"
    done
done
echo "$((checks - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
