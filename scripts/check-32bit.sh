#!/usr/bin/env bash
# The portable cores as 32-bit Linux programs (-m32 -msse2 -mfpmath=sse -ffp-contract=off,
# static) under qemu-i386-static: their own tests, then the byte-for-byte comparison of the
# 32-bit qorctl's calibration images, raw frames, corrected frames and bitmaps with the native
# build's. This kind of machine cannot execute 32-bit code; qemu executes it faithfully.
# Usage: check-32bit.sh BUILD_DIR NATIVE_QORCTL   (from anywhere)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$1 native=$2
jobs=${QOR_JOBS:-2}
command -v qemu-i386-static >/dev/null ||
    { echo "check-32bit: qemu-i386-static is missing: install qemu-user-static (scripts/setup.sh)" >&2; exit 1; }
# Only the core tests and qorctl: the remaining native-only programs add nothing here.
targets=(qorctl)
tests=(common_tests imageproc_tests driver_core_tests qorctl_correct_tests sensor_sim_tests)
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-linux-i686.cmake" \
    ${QOR_CMAKE_LAUNCHER:+-DCMAKE_CXX_COMPILER_LAUNCHER=$QOR_CMAKE_LAUNCHER} >/dev/null
cmake --build "$build" -j "$jobs" --target "${targets[@]}" "${tests[@]}"
# ELF class byte: 1 for a 32-bit program.
[ "$(od -An -tx1 -j4 -N1 "$build/tools/qorctl" | tr -d ' ')" = 01 ] ||
    { echo "check-32bit: $build/tools/qorctl is not a 32-bit program; remove $build and retry" >&2; exit 1; }
regex=$(IFS='|'; echo "^(${tests[*]})\$")
ctest --test-dir "$build" -j "$jobs" -R "$regex" --output-on-failure
bash "$root/scripts/compare-builds.sh" "$native" - "$build/compare-builds" "$build/tools/qorctl"
