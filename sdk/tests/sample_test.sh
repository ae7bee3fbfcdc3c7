#!/usr/bin/env bash
# The SDK as a vendor gets it: the sample is built from the SDK folder alone (-I SDK -L SDK, no
# project header), linked by name and by ordinal, for this build's architecture and for the
# shipped i686 one (import tables read back with objdump), and run under Wine beside Qor.dll:
# demo mode, no sensor (falls back to demo mode), a simulated sensor with an exposure, the
# simulator asked for but missing (an error, not demo mode); and the second sample, which
# provokes every cause a failing call leaves for GetKelvoError.
#   sample_test.sh SOURCE_DIR BIN_DIR SDK_DIR WORK_DIR      (the Wine harness must be running)
set -euo pipefail
src=$1 bin=$2 sdk_built=$3 work=$4
failures=0
check() {  # check "what" command...: counts a failure instead of stopping
    local what=$1; shift
    if "$@"; then echo "ok: $what"; else echo "FAILED: $what" >&2; failures=$((failures + 1)); fi
}
rm -rf "$work" && mkdir -p "$work/run"
# Only what the medium's SDK folder holds.
cp -r "$sdk_built" "$work/sdk"
sdk=$work/sdk
arch=$(x86_64-w64-mingw32-objdump -f "$bin/Qor.dll" | sed -n 's/.*file format pei\?-//p')
case "$arch" in
    x86-64) prefix=x86_64-w64-mingw32 ;;
    i386) prefix=i686-w64-mingw32 ;;
    *) echo "sample_test: unknown architecture of $bin/Qor.dll: $arch" >&2; exit 1 ;;
esac
cflags=(-std=c99 -Wall -Wextra -Werror -pedantic -O1)

# imports PROGRAM: the Qor.dll part of its import table, one "hint-or-ordinal name" a line
imports() {
    "${2:-$prefix}-objdump" -p "$1" | awk '
        /DLL Name:/ { in_qor = ($3 == "Qor.dll"); next }
        in_qor && /^[ \t]+[0-9a-f]+[ \t]+[0-9]+/ { print $2, $3 }
        in_qor && NF == 0 { in_qor = 0 }' |
    while read -r ordinal name; do  # x86_64 objdump prints ordinals as 9 hex digits
        if [ ${#ordinal} -ge 9 ]; then ordinal=$((16#$ordinal)); fi
        echo "$ordinal $name"
    done
}
by_name_ok() {  # every import is a plain (undecorated) name
    local list; list=$(imports "$@")
    [ -n "$list" ] && ! grep -q -e '<none>' -e '@' <<<"$list"
}
by_ordinal_ok() {  # every import is an ordinal; QorInitSystem is 20
    local list; list=$(imports "$@")
    [ -n "$list" ] && ! grep -qv '<none>' <<<"$list" && grep -qx '20 <none>' <<<"$list"
}

for toolchain in "$prefix" i686-w64-mingw32; do
    lib_dir=$sdk
    if [ "$toolchain" != "$prefix" ]; then
        # The shipped architecture's libraries, made as the SDK target makes them.
        lib_dir=$work/sdk-$toolchain
        mkdir -p "$lib_dir" && cp "$sdk/qor.h" "$lib_dir/"
        bash "$src/sdk/make-import-libs.sh" "$src/driver/win/exports.table" "$toolchain" "$lib_dir"
    fi
    out=$work/$toolchain && mkdir -p "$out"
    check "$toolchain: the sample builds against libqor.a with -I SDK -L SDK -lqor" \
        "$toolchain-gcc" "${cflags[@]}" -I "$lib_dir" "$sdk/sample/acquire.c" -L "$lib_dir" -lqor -o "$out/acquire.exe"
    check "$toolchain: libqor.a imports by name" by_name_ok "$out/acquire.exe" "$toolchain"
    check "$toolchain: the causes sample builds the same way" \
        "$toolchain-gcc" "${cflags[@]}" -I "$lib_dir" "$sdk/sample/error_causes.c" -L "$lib_dir" -lqor -o "$out/error_causes.exe"
    check "$toolchain: the sample links with qor.lib" \
        "$toolchain-gcc" "${cflags[@]}" -I "$lib_dir" "$sdk/sample/acquire.c" "$lib_dir/qor.lib" -o "$out/acquire_lib.exe"
    check "$toolchain: qor.lib imports by name" by_name_ok "$out/acquire_lib.exe" "$toolchain"
    for lib in libqor_ordinal.a qor_ordinal.lib; do
        check "$toolchain: the sample links with $lib" \
            "$toolchain-gcc" "${cflags[@]}" -I "$lib_dir" "$sdk/sample/acquire.c" "$lib_dir/$lib" -o "$out/acquire_${lib%.*}.exe"
        check "$toolchain: $lib imports by ordinal" by_ordinal_ok "$out/acquire_${lib%.*}.exe" "$toolchain"
    done
    # The import objects name the DLL and carry the undecorated export names.
    check "$toolchain: qor.lib's members are import objects of Qor.dll" \
        bash -c "'$toolchain-nm' '$lib_dir/qor.lib' | grep -q '__imp_.*QorInitSystem' && strings '$lib_dir/qor.lib' | grep -qx 'Qor.dll'"
done

# Run this build's programs under Wine beside the library, as a vendor installs them.
for dll in Qor.dll qorimg.dll qorsim.dll; do cp "$bin/$dll" "$work/run/"; done
cp "$work/$prefix/acquire.exe" "$work/$prefix/acquire_libqor_ordinal.exe" "$work/run/"
cd "$work/run"
wine() { "$src/scripts/wine-run.sh" "$@" </dev/null 2>>"$work/wine.err" | tr -d '\r'; }
bmp_ok() {  # an 8-bit grey bottom-up BMP of WIDTH x HEIGHT
    local f=$1 w=$2 h=$3 row=$(( ($2 + 3) / 4 * 4 ))
    [ "$(stat -c %s "$f")" -eq $((1078 + row * h)) ] &&
    [ "$(od -An -tu4 -j18 -N8 "$f" | xargs)" = "$w $h" ] &&
    [ "$(od -An -tu2 -j28 -N2 "$f" | xargs)" = "8" ]
}
export QOR_SENSOR_SIMULATOR=$work/sim
mkdir -p "$QOR_SENSOR_SIMULATOR"
wine ./acquire.exe --demo demo.bmp >demo.out || true
check "demo mode gives a 1201 x 861 image" bmp_ok demo.bmp 1201 861
check "demo mode names the library version" grep -qx 'Qor.dll 5.5.0' demo.out
wine ./acquire.exe nosensor.bmp >nosensor.out || true
check "without a sensor the sample says so and uses demo mode" grep -qx 'no sensor: demo mode' nosensor.out
check "without a sensor the demo image is written" bmp_ok nosensor.bmp 1201 861

qorctl() { "$src/scripts/wine-run.sh" "$bin/qorctl.exe" "$@" </dev/null >/dev/null 2>>"$work/wine.err"; }
qorctl sim plug --name sensor0 --imager-id 3149925 --format 3
qorctl sim expose sensor0 --seed 7   # pending until the sample arms the sensor
wine ./acquire_libqor_ordinal.exe --wait 60 sensor.bmp >sensor.out || true
check "a simulated sensor is listed in slot 0" grep -q '^sensor slots: present' sensor.out
check "the sensor's identity is reported" grep -qx 'sensor: 999 x 664, type 3, imager ID 3149925' sensor.out
check "the exposure is saved as a 999 x 664 image" bmp_ok sensor.bmp 999 664
check "the sensor image is not the demo image" bash -c '! cmp -s sensor.bmp nosensor.bmp'

# The simulator asked for, but qorsim.dll not beside Qor.dll: an error, not demo images.
mkdir -p "$work/nosim" && cp "$work/run/acquire.exe" "$work/run/Qor.dll" "$work/run/qorimg.dll" "$work/nosim/"
(cd "$work/nosim" && "$src/scripts/wine-run.sh" ./acquire.exe nosim.bmp </dev/null >nosim.out 2>nosim.err) && rc=0 || rc=$?
check "a missing simulator is an error ($rc) that says what to do, not demo mode" \
    bash -c "[ $rc -ne 0 ] && grep -q 'qorsim.dll is not beside Qor.dll: copy it there' '$work/nosim/nosim.err' && [ ! -e '$work/nosim/nosim.bmp' ]"

# Every cause, as the second sample provokes it: the sensor's second status query fails once,
# its first image read-out fails; the exposure comes once the sample is armed.
cp "$work/$prefix/error_causes.exe" "$work/run/"
qorctl sim faults sensor0 12:command:fail:1:1 11:data:fail
(wine ./error_causes.exe --wait 60 >causes.out) &
causes=$!
for _ in $(seq 1 $((300 * ${QOR_TEST_TIME_SCALE:-1}))); do grep -q '^armed' causes.out 2>/dev/null && break; sleep 0.1; done
sleep 1
qorctl sim expose sensor0 --seed 8
wait "$causes" || true
expected='QorGetCapStatus with no device: QOR_ERR_INVALID_DEVICE (4099): pass the handle QorInitSystem returned
QorInitSystem of the empty slot 7: QOR_ERR_NO_SENSOR (4100): plug the sensor in, or use another slot
QorInitSystem of slot 0: ok
QorGetCapStatus without a place for the status: QOR_ERR_BUFFER_TOO_SMALL (4103): pass a buffer of QOR_IMAGE_BUFFER_BYTES
QorAcquireImage: ok
armed: waiting for the exposure
QorGetImgData before the exposure: QOR_ERR_NO_IMAGE_YET (4105): no exposure yet: keep polling
QorGetCapStatus: QOR_ERR_TIMEOUT (4102): the sensor did not answer: check its cable, then open it again
QorGetImgData of 16 bytes: QOR_ERR_BUFFER_TOO_SMALL (4103): pass a buffer of QOR_IMAGE_BUFFER_BYTES
QorGetImgData: QOR_ERR_READOUT_FAILED (4104): the image was lost on the way: arm again and repeat the exposure
QorAcquireImage after QorShutDown: QOR_ERR_NOT_INITIALISED (4101): call QorInitSystem first
QorGetHWInfo after QorShutDown: QOR_ERR_NOT_INITIALISED (4101): call QorInitSystem first'
check "each failing call leaves its own cause" diff <(echo "$expected") causes.out
if [ "$failures" -ne 0 ]; then
    echo "sample_test: $failures check(s) failed; outputs in $work" >&2
    exit 1
fi
