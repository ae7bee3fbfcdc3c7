#!/usr/bin/env bash
# Runs every test: set-up, the native build with its tests, the Windows build with its tests under
# Wine, the shipped i686 build with its export checks, and the fuzz targets briefly.
# Usage: scripts/test.sh   (from anywhere; builds under build/)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build
jobs=${QOR_JOBS:-2}

bash "$root/scripts/setup.sh"

step() { printf '\n== %s (%d s so far) ==\n' "$*" "$SECONDS"; }

step "native build and tests"
cmake -S "$root" -B "$build/native" -G Ninja >/dev/null
cmake --build "$build/native" -j "$jobs"
ctest --test-dir "$build/native" -j "$jobs" --output-on-failure

step "32-bit cores under qemu-i386-static: core tests, qorctl bytes against the native build"
bash "$root/scripts/check-32bit.sh" "$build/linux32" "$build/native/tools/qorctl"

step "Windows build (x86_64, run under Wine)"
cmake -S "$root" -B "$build/win64" -G Ninja -DQOR_NATIVE_QORCTL="$build/native/tools/qorctl" \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw-x86_64.cmake" >/dev/null
cmake --build "$build/win64" -j "$jobs"

# The shipped i686 build, the sanitizer build and its tests and fuzzers start now: at the lowest
# priority they take the processor time the Wine tests leave while these wait for windows,
# timers and other processes (about half of it).
background_log=$build/background-builds.log
(
    # A session of its own, so that a failing test stage can end the whole build.
    exec setsid nice -n 19 bash -c '
        set -euo pipefail
        root=$1 build=$2 jobs=$3
        echo "== shipped build (i686)"
        cmake -S "$root" -B "$build/win32" -G Ninja -DQOR_TESTS=OFF \
            -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw-i686.cmake" >/dev/null
        # Only the deliverables: the medium depends on every one of them.
        cmake --build "$build/win32" -j "$jobs" --target installation_medium
        # Line tables are all the sanitizer reports need; -O1 compiles a quarter faster.
        echo "== fuzz and sanitizer build (clang)"
        CC=clang CXX=clang++ cmake -S "$root" -B "$build/fuzz" -G Ninja -DQOR_FUZZ=ON \
            -DQOR_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
            -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1" -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O1 -g1" \
            >/dev/null
        cmake --build "$build/fuzz" -j "$jobs"
        # The fuzzers run for a fixed time each, so they lose nothing but executions here.
        echo "== tests and fuzz targets with AddressSanitizer and UBSan"
        ctest --test-dir "$build/fuzz" -j "$jobs" --output-on-failure' background "$root" "$build" "$jobs"
) >"$background_log" 2>&1 &
background=$!

export QOR_WINE_STATE=$build/win64/wine
cleanup() {
    "$root/scripts/wine-harness.sh" stop "$QOR_WINE_STATE" || true
    kill -- "-$background" 2>/dev/null || true
}
trap cleanup EXIT INT TERM
QOR_INSTALL_DIR=$build/win64/bin "$root/scripts/wine-harness.sh" start "$QOR_WINE_STATE" \
    "$build/win64/bin/wine_warmup.exe"
step "Windows tests under Wine (the i686 and sanitizer builds and tests run beside them)"
# Every window the tests drive leaves a PNG here.
export QOR_TEST_ARTEFACTS=$build/artefacts
mkdir -p "$QOR_TEST_ARTEFACTS"
ctest --test-dir "$build/win64" -j 1 --output-on-failure
"$root/scripts/wine-harness.sh" stop "$QOR_WINE_STATE" || true

step "finishing the i686 build and the sanitizer build and tests"
if ! wait "$background"; then
    tail -n 80 "$background_log"
    echo "test: the i686 build or the sanitizer build or tests failed; the whole log: $background_log" >&2
    exit 1
fi
trap - EXIT INT TERM
grep -E '^== |tests passed|Total Test time' "$background_log" || true

step "shipped build (i686): export tables, the medium, imports and boundaries"
"$root/scripts/check-exports.sh" "$build/win32/bin/Qor.dll" "$root/driver/win/exports.table" \
    i686-w64-mingw32-objdump
"$root/scripts/check-exports.sh" "$build/win32/bin/qorimg.dll" "$root/imageproc/exports.table" \
    i686-w64-mingw32-objdump
"$root/scripts/check-exports.sh" "$build/win32/bin/kelvowrap2.dll" "$root/wrapper/exports.table" \
    i686-w64-mingw32-objdump
for part in kernel display; do
    dll=$([ "$part" = kernel ] && echo LTKRN13N || echo LTDIS13N)
    "$root/scripts/check-exports.sh" "$build/win32/bin/$dll.dll" \
        "$root/external/imaging_toolkit/${part}_exports.table" i686-w64-mingw32-objdump
done
"$root/scripts/check-no-simulator.sh" "$build/win32/bin/Qor.dll" "$build/win32/medium"
# Every shipped binary: nothing Windows Vista lacks. The simulator, the tools and the test
# support programs are not shipped.
shipped=()
for f in "$build/win32/bin/"*.dll "$build/win32/bin/"*.exe "$build/win32/bin/"*.ds; do
    case "$(basename "$f")" in
    qorsim.*|qorctl.exe|qorpipe.exe|twain_client.exe|wine_warmup.exe|toolkit_client.exe|*_tests.exe) ;;
    *) [ -e "$f" ] && shipped+=("$f") ;;
    esac
done
"$root/scripts/check-imports.sh" i686-w64-mingw32-objdump "${shipped[@]}"
"$root/scripts/check-boundaries.sh" "$root/driver/win" "$root/imageproc" "$root/app" "$root/common" \
    "$root/twain_source" "$root/wrapper" "$root/welcome" "$root/external"


step "all tests passed"
