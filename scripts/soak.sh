#!/usr/bin/env bash
# The soak of the image road: N exposures through QOR APP and the TWAIN road with faults mixed in
# at random, the processes' handles, threads and private bytes sampled every 50 images.
# Usage: scripts/soak.sh [--count N] [--seed S] [--without KIND,...]   (as root; builds build/native's qorctl and the
# Windows build's programs first; the figures go to build/soak/summary.json)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build
count=1000
seed=""
without=""
while [ $# -gt 0 ]; do
    case "$1" in
    --count) count=$2; shift 2 ;;
    --seed) seed=$2; shift 2 ;;
    --without) without=$2; shift 2 ;;
    *) echo "soak: unknown option $1; use --count N --seed S --without KIND,..." >&2; exit 2 ;;
    esac
done

bash "$root/scripts/setup.sh"
cmake -S "$root" -B "$build/native" -G Ninja >/dev/null
cmake --build "$build/native" --target qorctl
cmake -S "$root" -B "$build/win64" -G Ninja -DQOR_NATIVE_QORCTL="$build/native/tools/qorctl" \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw-x86_64.cmake" >/dev/null
cmake --build "$build/win64" --target qor_app Qor qorimg qorsim_dll Orbel QorIcons german french \
    qorsrc Stavik qorctl qorpipe wine_warmup fault_host fault_probe

export QOR_WINE_STATE=$build/win64/wine
trap '"$root/scripts/wine-harness.sh" stop "$QOR_WINE_STATE" || true' EXIT INT TERM
QOR_INSTALL_DIR=$build/win64/bin "$root/scripts/wine-harness.sh" start "$QOR_WINE_STATE" \
    "$build/win64/bin/wine_warmup.exe"
mkdir -p "$build/soak"
python3 "$root/tests/e2e/faults/soak.py" --bin "$build/win64/bin" \
    --native-qorctl "$build/native/tools/qorctl" --work "$build/soak/work" --count "$count" \
    ${seed:+--seed "$seed"} ${without:+--without "$without"} --json "$build/soak/summary.json"
