#!/usr/bin/env bash
# The main job: builds the deliverables and takes images through Qor.dll under Wine with qorctl,
# in the application's calling order:
#   1. demo mode: the synthetic patterns, no sensor;
#   2. a simulated sensor: plug, initialise (calibration from its flash, cache file), arm, press
#      the X-ray button from another process, read the corrected frame, and check it against an
#      independent correction (native build) of the raw frame with the flash dumped from the sensor;
#   3. QOR APP on the simulated sensor, and the whole road from the installation medium through
#      Wine's TWAIN manager to an imaging program (tests/e2e/twain_e2e.sh), with the trace of
#      each exposure's stages in its summary.json.
# Usage: scripts/demo.sh [--shipped] [OUTPUT_DIR]
#   (default)   the quick road: the x86_64 build under 64-bit Wine on this machine (build/demo)
#   --shipped   the shipped i686 build under 32-bit Wine in the test guest (scripts/guest/;
#               build/demo-shipped; the guest's image is made once per machine)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build
jobs=${QOR_JOBS:-2}
mode=quick
case "${1:-}" in
--shipped) mode=shipped; shift ;;
--in-guest) mode=in-guest; shift ;;  # the second half of --shipped, inside the guest
esac

if [ "$mode" = quick ]; then
    winbuild=$build/win64
    out=${1:-$build/demo}
    toolchain=$root/cmake/toolchain-mingw-x86_64.cmake
else
    winbuild=$build/win32
    out=${1:-$build/demo-shipped}
    toolchain=$root/cmake/toolchain-mingw-i686.cmake
    export QOR_WINE_ARCH=win32
fi
mkdir -p "$out"
out=$(cd "$out" && pwd)

if [ "$mode" != in-guest ]; then
    bash "$root/scripts/setup.sh"
    cmake -S "$root" -B "$build/native" -G Ninja >/dev/null
    cmake --build "$build/native" -j "$jobs" --target qorctl
    x64_parts=()
    if [ "$mode" = shipped ]; then
        # The shipped medium carries the 64-bit TWAIN source: the x86_64 build's parts first.
        cmake -S "$root" -B "$build/win64" -G Ninja \
            -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw-x86_64.cmake" >/dev/null
        cmake --build "$build/win64" -j "$jobs" --target qorsrc Orbel Stavik german french
        x64_parts=(-DQOR_X64_PARTS="$build/win64/bin")
    fi
    cmake -S "$root" -B "$winbuild" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" "${x64_parts[@]}" >/dev/null
    cmake --build "$winbuild" -j "$jobs" --target qorctl Qor qorimg wine_warmup
    cmake --build "$winbuild" -j "$jobs" --target qor_app QorIcons Orbel german french
    cmake --build "$winbuild" -j "$jobs" --target qorsrc Stavik twain_client qorsim_dll \
        installation_medium
fi
if [ "$mode" = shipped ]; then
    case "$out" in "$root"/*) ;; *) echo "demo: with --shipped the output folder must lie inside $root (the guest sees only the checkout)" >&2; exit 2 ;; esac
    exec bash "$root/scripts/guest/run.sh" bash scripts/demo.sh --in-guest "$out"
fi

# The prefix of the guest lives on its own memory disk, not on the shared folder. The whole
# road's fresh prefix starts as a copy of the first one Wine made for this build.
export QOR_WINE_STATE=$winbuild/wine QOR_WINE_PREFIX_CACHE=$winbuild/wine-prefix-cache
twain_work=$out/twain
if [ "$mode" = in-guest ]; then
    export QOR_WINE_STATE=/tmp/qor-demo-wine QOR_WINE_SCRATCH=/var/tmp
    export QOR_WINE_PREFIX_CACHE=${qor_keep:-$build/guest}/wine-prefix-cache
    # Programs run from the guest's disk, not from the share (see scripts/guest/local-copy.sh).
    bash "$root/scripts/guest/local-copy.sh" "$winbuild" "$build/native/tools"
    twain_work=/var/tmp/qor-demo-twain
fi
cleanup() { "$root/scripts/wine-harness.sh" stop "$QOR_WINE_STATE" || true; }
trap cleanup EXIT INT TERM
QOR_INSTALL_DIR=$winbuild/bin "$root/scripts/wine-harness.sh" start "$QOR_WINE_STATE" \
    "$winbuild/bin/wine_warmup.exe"
qorctl() { "$root/scripts/wine-run.sh" "$winbuild/bin/qorctl.exe" "$@"; }

rm -rf "${out:?}"/*
mkdir -p "$out/demo" "$out/sensor" "$out/sim"
echo "== demo mode =="
qorctl info --demo
qorctl demo --count 4 --out "$out/demo"

echo "== simulated sensor =="
export QOR_SENSOR_SIMULATOR=$out/sim
qorctl sim plug --name sensor0 --imager-id 2101349 --format 3 --bad-rows 300,301 --bad-columns 77
qorctl list
# The cache file of the calibration is written into the current folder.
cd "$out/sensor"
qorctl acquire --count 1 --out "$out/sensor" --wait 60 &
acquire=$!
sleep 3
qorctl sim expose sensor0 --seed 42
wait "$acquire"
# A second initialisation takes the calibration from the cache file: only the header is read.
qorctl acquire --count 1 --out "$out/sensor/again" --wait 60 &
acquire=$!
sleep 3
qorctl sim expose sensor0 --seed 43
wait "$acquire"
qorctl verify-cache "$out/sensor/2101349.dat"
qorctl dump-flash --out "$out/sensor/flash.bin"
qorctl sim frame-for-seed sensor0 --seed 42 --out "$out/sensor/raw_42.raw"
"$build/native/tools/qorctl" correct --calibration "$out/sensor/flash.bin" \
    --raw "$out/sensor/raw_42.raw" --out "$out/sensor/expected.raw"
if cmp -s "$out/sensor/frame_000.raw" "$out/sensor/expected.raw"; then
    echo "demo: the acquired image equals the independent correction of the raw frame"
else
    echo "demo: the acquired image differs from the independent correction" >&2
    exit 1
fi
convert "$out/sensor/frame_000.pgm" "$out/sensor/frame_000.png" 2>/dev/null || true
echo "demo: frames in $out/demo and $out/sensor"

echo "== QOR APP on the simulated sensor =="
# The tray program keeps sensor0 armed and stores every exposure in "Images" below its
# installation folder; its language table and libraries lie in its current folder.
app=$out/app
mkdir -p "$app/png"
cp "$winbuild/bin/Language.ini" "$winbuild/bin/german.dll" "$winbuild/bin/french.dll" "$app/"
. "$QOR_WINE_STATE/env"
"$WINE" reg add 'HKLM\SOFTWARE\Halvex Imaging\QOR' /v InstalPath /t REG_SZ \
    /d "$("$WINE" winepath -w "$app" 2>/dev/null)" /f </dev/null >/dev/null 2>&1
cd "$app"
"$root/scripts/wine-run.sh" "$winbuild/bin/QOR APP.exe" </dev/null >"$app/qor_app.out" 2>&1 &
qor_app=$!
stored() { find "$app/Images" -name '*.bmp' 2>/dev/null | wc -l; }
# Armed once the sensor's calibration is cached in the program's folder.
for _ in $(seq 1 300); do [ -f "$app/2101349.dat" ] && break; sleep 0.1; done
sleep 1
for seed in 51 52 53; do
    before=$(stored)
    qorctl sim expose sensor0 --seed "$seed"
    for _ in $(seq 1 300); do [ "$(stored)" -gt "$before" ] && break; sleep 0.1; done
done
echo "demo: QOR APP stored $(stored) images in $app/Images:"
ls -l "$app/Images"
# The first stored image is the correction of its raw frame turned into the 8-bit bitmap.
qorctl sim frame-for-seed sensor0 --seed 51 --out "$app/raw_51.raw"
"$build/native/tools/qorctl" correct --calibration "$out/sensor/flash.bin" --raw "$app/raw_51.raw" \
    --out "$app/expected_51.raw"
"$build/native/tools/qorctl" bitmap --frame "$app/expected_51.raw" --width 1201 --height 861 \
    --out "$app/expected_51.bmp"
first=$(find "$app/Images" -name '*.bmp' | sort | head -1)
if cmp -s "$first" "$app/expected_51.bmp"; then
    echo "demo: QOR APP's first image equals qorctl correct + qorctl bitmap of its raw frame"
else
    echo "demo: QOR APP's first image differs from qorctl correct + qorctl bitmap" >&2
    exit 1
fi
tray=$(xdotool search --name "Wine System Tray" 2>/dev/null | head -1 || true)
if [ -n "$tray" ]; then
    import -display "$DISPLAY" -window "$tray" "$app/png/tray.png" 2>/dev/null || true
fi
for bmp in "$app"/Images/*.bmp; do
    convert "$bmp" "$app/png/$(basename "$bmp" .bmp).png"
done
# Closing the program's window runs the same orderly exit as "Exit QOR"; the images stay.
"$WINE" taskkill /im "QOR APP.exe" </dev/null >/dev/null 2>&1 || true
for _ in $(seq 1 200); do kill -0 "$qor_app" 2>/dev/null || break; sleep 0.1; done
kill -0 "$qor_app" 2>/dev/null && echo "demo: QOR APP did not end after taskkill" >&2
echo "demo: screenshots of the tray and of each stored image in $app/png"

echo "== the whole road, installed from the medium: simulated sensor -> QOR APP -> pipe -> QORSRC (Wine's TWAIN manager) -> twain_client =="
# Ten exposures in the state-5 wait: the trace's median is taken over them and the first one.
QOR_E2E_WAIT_EXPOSURES=${QOR_E2E_WAIT_EXPOSURES:-10} bash "$root/tests/e2e/twain_e2e.sh" "$winbuild/bin" "$twain_work"
[ "$twain_work" = "$out/twain" ] || cp -r "$twain_work" "$out/twain"
echo "demo: received BMPs, their PNGs, contact_sheet.png and summary.json (with the trace of each exposure) in $out/twain/out"
