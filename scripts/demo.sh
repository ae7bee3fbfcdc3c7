#!/usr/bin/env bash
# The main job: builds the Windows deliverables and takes images through the driver library in
# demo mode under Wine, with qorctl, following the application's calling order.
# Usage: scripts/demo.sh [OUTPUT_DIR]   (default build/demo)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build
out=${1:-$build/demo}
jobs=${QOR_JOBS:-2}

bash "$root/scripts/setup.sh"
cmake -S "$root" -B "$build/win64" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw-x86_64.cmake" >/dev/null
cmake --build "$build/win64" -j "$jobs" --target qorctl Qor qorimg wine_warmup

export QOR_WINE_STATE=$build/win64/wine
cleanup() { "$root/scripts/wine-harness.sh" stop "$QOR_WINE_STATE" || true; }
trap cleanup EXIT INT TERM
QOR_INSTALL_DIR=$build/win64/bin "$root/scripts/wine-harness.sh" start "$QOR_WINE_STATE" \
    "$build/win64/bin/wine_warmup.exe"

mkdir -p "$out"
"$root/scripts/wine-run.sh" "$build/win64/bin/qorctl.exe" info --demo
"$root/scripts/wine-run.sh" "$build/win64/bin/qorctl.exe" demo --count 4 --out "$out"
echo "demo: frames in $out"
