#!/usr/bin/env bash
# Inside the test guest: every Windows test of the shipped i686 build (build/win32) under 32-bit
# Wine: the test programs, QOR APP's end-to-end runs, the preview, the welcome screen, the whole
# TWAIN road through Wine's 32-bit TWAIN_32.DLL, and the installation medium; and, in a 64-bit
# (WoW64) prefix (label wow64, when the build carries the x86_64 build's parts: QOR_X64_PARTS),
# the medium's installation of both sources and the whole road from the shipped 32-bit QOR APP
# through the 64-bit source to the x86_64 build's TWAIN client.
#   scripts/guest/run.sh bash scripts/guest/win32-tests.sh [full|quick] [CTEST ARGS...]
# full (the default, what scripts/test.sh runs): every Windows test of the build (the short soak
# and the triplet fuzzer with a fifth of their work).
# quick: the tests of what differs in the 32-bit build on a 32-bit Windows: the export
# decorations and record layouts callers see (the driver, the enhancement, the icons and language
# libraries, the application's bindings, the Stavik queue), the floating-point guard, the
# source's 32-bit TWAIN structures, QOR APP's end-to-end runs, the welcome screen, and the whole
# road installed from the medium through Wine's 32-bit TWAIN_32.DLL, and both wow64 tests.
# Only the 64-bit prefix's tests: scripts/guest/run.sh bash scripts/guest/win32-tests.sh full -L wow64
# Tests labelled build-machine need the cross compilers and binutils, which only the host has
# (scripts/test.sh runs them there).
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
set_name=full
case "${1:-}" in full|quick) set_name=$1; shift ;; esac
# x64-host: the host's x86_64 stage runs them; on-request: only when asked for (-L).
selection=(-LE 'build-machine|x64-host|on-request')
if [ "$set_name" = quick ]; then
    selection=(-R "$(tr -d ' \n' <<'LIST'
^(twain_e2e|qor_app_e2e_tests|host_robustness_tests|sensor_cycle_tests|driver_api_tests
|win32_device_io_tests|qorimg_dll_tests|qorimg_unload_tests|qor_icons_dll_tests|language_tests
|app_binding_tests|app_binding_nodll_tests|app_binding_partial_tests|qorsrc_ds_tests
|qorsrc_host_habits_tests|stavik_queue_tests|welcome_screen_tests|twain_e2e_wow64)$
LIST
)")
fi
build=$root/build/win32
[ -x /usr/lib/wine/wineserver32 ] ||
    { echo "win32-tests: 32-bit Wine is missing: run this in the guest (scripts/guest/run.sh)" >&2; exit 1; }
[ -f "$build/CTestTestfile.cmake" ] ||
    { echo "win32-tests: $build has no tests: configure and build the i686 build with its tests first" >&2; exit 1; }

export QOR_WINE_ARCH=win32
# One exposure in the whole road's state-5 wait: under emulation the host's five cost minutes.
export QOR_E2E_WAIT_EXPOSURES=${QOR_E2E_WAIT_EXPOSURES:-1}
# The tests' own time limits (not the product's) are stretched for emulation.
export QOR_TEST_TIME_SCALE=${QOR_TEST_TIME_SCALE:-5}
step() { printf '== %s (%d s so far)\n' "$*" "$SECONDS"; }
# The harness's prefix lives on the guest's memory disk, the tests' fresh prefixes on its own
# disk (a snapshot), none on the shared folder.
mkdir -p /var/tmp/qor
export QOR_WINE_STATE=/tmp/qor-wine QOR_WINE_SCRATCH=/var/tmp/qor
# One wineboot per Wine version and machine: the later prefixes start as copies of the first,
# kept on the guest's keep disk (run.sh; mounted at $qor_keep).
export QOR_WINE_PREFIX_CACHE=${qor_keep:-$root/build/guest}/wine-prefix-cache
# The programs run from the guest's disk (see local-copy.sh); the results of the whole road and
# of the installation come home at the end.
step "local copy of build/win32 and the native qorctl"
bash "$root/scripts/guest/local-copy.sh" "$build" "$root/build/native/tools"
results=$root/build/guest/results
bring_home() {
    rm -rf "$results"
    mkdir -p "$results"
    cp -r "$build/twain_e2e" "$results/" 2>/dev/null || true
    cp -r "$build/installer/tests/run" "$results/installation" 2>/dev/null || true
    cp -r "$build/twain_e2e_wow64" "$results/" 2>/dev/null || true
    cp -r "$build/installer/tests/run-wow64" "$results/installation-wow64" 2>/dev/null || true
    cp -r "$build/Testing/Temporary" "$results/ctest" 2>/dev/null || true
}
export QOR_TEST_ARTEFACTS=$root/build/artefacts-win32
mkdir -p "$QOR_TEST_ARTEFACTS"
# The harness's logs go home with the results: the guest's own disk is gone after the run.
cleanup() {
    bring_home
    [ -d "$QOR_WINE_STATE" ] || return 0
    "$root/scripts/wine-harness.sh" stop "$QOR_WINE_STATE" || true
    mkdir -p "$root/build/guest/wine-logs"
    cp "$QOR_WINE_STATE"/*.log "$root/build/guest/wine-logs/" 2>/dev/null || true
}
trap cleanup EXIT

# Two streams, each with a harness of its own, keep both of the guest's processors busy
# (run-tests-parallel.sh); QOR_GUEST_WORKERS=1 runs the tests one after the other.
workers=${QOR_GUEST_WORKERS:-2}
mkdir -p "$root/build/guest/wine-logs"
if [ "$workers" -gt 1 ]; then
    step "Windows tests of the i686 build under 32-bit Wine ($set_name set, $workers streams)"
    QOR_INSTALL_DIR=$build/bin QOR_WINE_LOGS=$root/build/guest/wine-logs \
        bash "$root/scripts/guest/run-tests-parallel.sh" "$build" "$workers" "${selection[@]}" "$@"
else
    step "Wine harness (win32)"
    QOR_INSTALL_DIR=$build/bin "$root/scripts/wine-harness.sh" start "$QOR_WINE_STATE" "$build/bin/wine_warmup.exe"
    step "Windows tests of the i686 build under 32-bit Wine ($set_name set)"
    ctest --test-dir "$build" -j 1 --output-on-failure "${selection[@]}" "$@"
fi
step "every Windows test of the i686 build passed"
