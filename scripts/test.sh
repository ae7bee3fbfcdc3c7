#!/usr/bin/env bash
# Runs every test: set-up, the native build with its tests, the 32-bit cores under qemu-i386, the
# x86_64 Windows build with its tests under Wine on this machine, the shipped i686 build (every
# deliverable, tool and test program) with its Windows tests under 32-bit Wine in the test guest
# (scripts/guest/) and its export, import and boundary checks, and the fuzz targets briefly.
# Prints each stage's time at the end.
# Usage: scripts/test.sh   (from anywhere; builds under build/)
#   QOR_GUEST=full (the default): every Windows test of the i686 build in the guest (the short soak
#   and the triplet fuzzer with a fifth of their work); of the x86_64 build the statistical runs
#   with their whole work (fault matrix, short soak, triplet fuzzer: label statistical; their
#   expected bitmaps then serve the guest), the road through Wine's 64-bit TWAIN manager (label
#   pointer-width), the 64-bit road through the 2.x manager (label x64-host) and the checks that
#   need the build machine's tools (label build-machine);
#   QOR_GUEST=quick the guest's quick set (scripts/guest/win32-tests.sh) and every x86_64 test;
#   QOR_GUEST=off no guest stage and every x86_64 test (the quick loop on any machine).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build
jobs=${QOR_JOBS:-2}

bash "$root/scripts/setup.sh"

stage_times=()
stage_name="" stage_start=0
step() {
    [ -n "$stage_name" ] && stage_times+=("$(printf '%5d s  %s' $((SECONDS - stage_start)) "$stage_name")")
    stage_name=$* stage_start=$SECONDS
    printf '\n== %s (%d s so far) ==\n' "$*" "$SECONDS"
}

# The guest image (downloaded and made once per machine, kept outside the clone) is made while
# everything else builds: it waits mostly on the network and the disk.
mkdir -p "$build"
guest_image_log=$build/guest-image.log
guest_image=""
guest=${QOR_GUEST:-full}
case "$guest" in full|quick|off) ;; *) echo "test: QOR_GUEST is '$guest': use full, quick or off" >&2; exit 2 ;; esac
if [ "$guest" != off ]; then
    (exec nice -n 10 bash "$root/scripts/guest/image.sh") >"$guest_image_log" 2>&1 &
    guest_image=$!
fi

# Compiled objects are kept between runs outside the clone, as the guest's image is: a machine
# compiles each unchanged file once for its five build trees (native, 32-bit cores, x86_64, i686,
# sanitizer). Paths are hashed relative to the clone, so any clone of the project hits.
if command -v ccache >/dev/null && [ -z "${CMAKE_CXX_COMPILER_LAUNCHER:-}" ] &&
    mkdir -p "${QOR_CCACHE_DIR:-/var/cache/qor-ccache}" 2>/dev/null; then
    export CCACHE_DIR=${QOR_CCACHE_DIR:-/var/cache/qor-ccache} CCACHE_BASEDIR=$root CCACHE_NOHASHDIR=1
    export CCACHE_MAXSIZE=${CCACHE_MAXSIZE:-8G}
    export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
fi

step "native build and tests"
cmake -S "$root" -B "$build/native" -G Ninja >/dev/null
cmake --build "$build/native" -j "$jobs"
ctest --test-dir "$build/native" -j "$jobs" --output-on-failure

step "32-bit cores under qemu-i386-static: core tests, qorctl bytes against the native build"
bash "$root/scripts/check-32bit.sh" "$build/linux32" "$build/native/tools/qorctl"

step "Windows build (x86_64, run under Wine)"
cmake -S "$root" -B "$build/win64" -G Ninja -DQOR_NATIVE_QORCTL="$build/native/tools/qorctl" \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw-x86_64.cmake" >/dev/null
# With the guest running the Windows suite, this build needs only what its tests here run.
x64_targets=()
case "$guest" in
full) x64_targets=(--target installation_medium twain_client qorctl qorsim qorpipe wine_warmup
    qorsrc_host_habits_tests qorsrc_triplet_fuzz fault_host fault_probe qor_app_test_hooks fake_qor_app twain_probe qorimg qorsrc sdk
    twaindsm) ;;
esac
cmake --build "$build/win64" -j "$jobs" "${x64_targets[@]}"
# The installation medium, which the installation and whole-road tests install from.
cmake --build "$build/win64" -j "$jobs" --target installation_medium

# The shipped i686 build with its tests and tools, then the sanitizer build and its tests and
# fuzzers, start now: at the lowest priority they take the processor time the Wine tests leave
# while these wait for windows, timers and other processes (about half of it). The 32-bit cores
# stay in front: in this chain they slowed the guest stage by more than they saved.
i686_log=$build/i686-build.log
(
    exec setsid nice -n 19 bash -c '
        set -euo pipefail
        root=$1 build=$2 jobs=$3
        # Its medium and packages carry the x86_64 build'"'"'s TWAIN source, built above.
        cmake -S "$root" -B "$build/win32" -G Ninja -DQOR_NATIVE_QORCTL="$build/native/tools/qorctl" \
            -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw-i686.cmake" \
            -DQOR_X64_PARTS="$build/win64/bin" >/dev/null
        cmake --build "$build/win32" -j "$jobs"
        cmake --build "$build/win32" -j "$jobs" --target installation_medium' i686 "$root" "$build" "$jobs"
) >"$i686_log" 2>&1 &
i686=$!
background_log=$build/background-builds.log
(
    # A session of its own, so that a failing test stage can end the whole build.
    exec setsid nice -n 19 bash -c '
        set -euo pipefail
        root=$1 build=$2 jobs=$3 i686=$4
        # After the i686 build: both at once would only slow the Windows tests that wait on it.
        while kill -0 "$i686" 2>/dev/null; do sleep 2; done
        # Line tables are all the sanitizer reports need; -O1 compiles a quarter faster.
        echo "== fuzz and sanitizer build (clang)"
        CC=clang CXX=clang++ cmake -S "$root" -B "$build/fuzz" -G Ninja -DQOR_FUZZ=ON \
            -DQOR_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
            -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1" -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O1 -g1" \
            >/dev/null
        cmake --build "$build/fuzz" -j "$jobs"
        # The fuzzers run for a fixed time each, so they lose nothing but executions here.
        echo "== tests and fuzz targets with AddressSanitizer and UBSan"
        ctest --test-dir "$build/fuzz" -j "$jobs" --output-on-failure' background "$root" "$build" "$jobs" "$i686"
) >"$background_log" 2>&1 &
background=$!

export QOR_WINE_STATE=$build/win64/wine
# The tests that need a fresh prefix start from a copy of the first one made.
export QOR_WINE_PREFIX_CACHE=$build/win64/wine-prefix-cache
cleanup() {
    "$root/scripts/wine-harness.sh" stop "$QOR_WINE_STATE" || true
    kill -- "-$background" 2>/dev/null || true
    kill -- "-$i686" 2>/dev/null || true
    [ -n "$guest_image" ] && kill "$guest_image" 2>/dev/null || true
}
trap cleanup EXIT INT TERM
QOR_INSTALL_DIR=$build/win64/bin "$root/scripts/wine-harness.sh" start "$QOR_WINE_STATE" \
    "$build/win64/bin/wine_warmup.exe"
# With the whole Windows suite on the shipped build in the guest, this build runs what only it
# can (the road through Wine's 64-bit TWAIN manager, the checks that need the cross tools) and
# the statistical runs with their whole work, which leave the guest their expected bitmaps.
x64_selection=()
if [ "$guest" = full ]; then x64_selection=(-L 'pointer-width|build-machine|statistical|x64-host'); fi
step "Windows tests of the x86_64 build under Wine (${x64_selection[*]:-every test}; the i686 and sanitizer builds run beside them)"
# Every window the tests drive leaves a PNG here.
export QOR_TEST_ARTEFACTS=$build/artefacts
mkdir -p "$QOR_TEST_ARTEFACTS"
ctest --test-dir "$build/win64" -j 1 --output-on-failure "${x64_selection[@]}"
"$root/scripts/wine-harness.sh" stop "$QOR_WINE_STATE" || true

step "finishing the i686 build (every deliverable, tool and test program)"
if ! wait "$i686"; then
    tail -n 80 "$i686_log"
    echo "test: the i686 build failed; the whole log: $i686_log" >&2
    exit 1
fi

if [ -n "$guest_image" ]; then
    step "the test guest's image (made once per machine)"
    if ! wait "$guest_image"; then
        cat "$guest_image_log" >&2
        echo "test: the guest image could not be made (see above); QOR_GUEST=off leaves the guest stage out" >&2
        exit 1
    fi
    grep '^guest image:' "$guest_image_log" || true
    step "Windows tests of the shipped i686 build under 32-bit Wine in the guest ($guest set)"
    bash "$root/scripts/guest/run.sh" bash scripts/guest/win32-tests.sh "$guest"
fi

step "finishing the sanitizer build and tests"
if ! wait "$background"; then
    tail -n 80 "$background_log"
    echo "test: the sanitizer build or its tests failed; the whole log: $background_log" >&2
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
medium="$build/win32/medium/QOR Medium"
"$root/scripts/check-no-simulator.sh" "$build/win32/bin/Qor.dll" "$medium"
"$root/scripts/check-no-test-hooks.sh" "$build/win32/bin/test-hooks/QOR APP.exe" \
    "$build/win32/bin/QOR APP.exe" "$medium"
"$root/scripts/check-manifest.sh" "$medium/Files/QOR APP.exe"
# Every shipped binary (what the medium carries, the 64-bit ones in Files/x64): nothing Windows
# Vista lacks.
[ -f "$medium/Files/x64/QORSRC.ds" ] || { echo "test: the medium carries no 64-bit TWAIN source" >&2; exit 1; }
shipped=() shipped64=()
while IFS= read -r -d '' f; do shipped+=("$f"); done < <(find "$medium" -path "$medium/Files/x64" -prune \
    -o -type f \( -iname '*.dll' -o -iname '*.exe' -o -iname '*.ds' \) -print0)
while IFS= read -r -d '' f; do shipped64+=("$f"); done < <(find "$medium/Files/x64" -type f \
    \( -iname '*.dll' -o -iname '*.ds' \) -print0)
[ ${#shipped[@]} -ge 10 ] || { echo "test: the medium holds only ${#shipped[@]} binaries" >&2; exit 1; }
"$root/scripts/check-imports.sh" i686-w64-mingw32-objdump "${shipped[@]}"
"$root/scripts/check-imports.sh" x86_64-w64-mingw32-objdump "${shipped64[@]}"
# The source runs inside other programs: it may import nothing but Windows' own libraries.
bash "$root/twain_source/tests/qorsrc_imports_only_windows.sh" i686-w64-mingw32-objdump \
    "$build/win32/bin/QORSRC.ds"
bash "$root/twain_source/tests/qorsrc_imports_only_windows.sh" x86_64-w64-mingw32-objdump \
    "$medium/Files/x64/QORSRC.ds"
"$root/scripts/check-boundaries.sh" "$root/driver/win" "$root/imageproc" "$root/app" "$root/common" \
    "$root/twain_source" "$root/wrapper" "$root/welcome" "$root/external"

step "all tests passed"
printf '%s\n' "${stage_times[@]}"
