#!/usr/bin/env bash
# Inside the test guest: runs the selected tests of a build in WORKERS streams, each with a Wine
# harness of its own (prefix, display, wineserver), taking the next test from one queue; the long
# tests go first so that the streams end together. One stream leaves a processor of the guest
# idle most of the time: a test waits on windows, timers and other processes.
#   run-tests-parallel.sh BUILD WORKERS [CTEST SELECTION ARGS...]
# Needs QOR_WINE_STATE (the streams use STATE-1, STATE-2, ...) and QOR_INSTALL_DIR as
# wine-harness.sh does. Prints a ctest-like line per test; exits 1 when any test failed.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$1 workers=$2
shift 2
# The longest runs under emulation, measured; the others follow in the build's order.
long_first=(installation_medium_tests twain_e2e twain_e2e_wow64 installation_medium_wow64
    twain_habits fault_matrix soak_short
    qor_app_e2e_tests driver_sensor_tests qorctl_diagnose_verdicts qorsrc_triplet_fuzz
    corrected_frames_match_native_build qor_app_preview_tests get_kelvo_bitmap_tests
    host_robustness_tests pipe_server_tests msi_install_repair_upgrade_remove store_safety_tests
    welcome_screen_tests imageproc_tests qorsrc_ds_tests driver_core_tests message_box_tests)
mapfile -t selected < <(ctest --test-dir "$build" -N "$@" | sed -n 's/^ *Test *#[0-9]*: //p')
[ "${#selected[@]}" -gt 0 ] || { echo "run-tests-parallel: no test selected" >&2; exit 1; }
queue=$(mktemp -d)
trap 'rm -rf "$queue"' EXIT
{
    for name in "${long_first[@]}"; do
        if printf '%s\n' "${selected[@]}" | grep -qx "$name"; then echo "$name"; fi
    done
    printf '%s\n' "${selected[@]}" | grep -vxF -f <(printf '%s\n' "${long_first[@]}") || true
} >"$queue/todo"
total=$(wc -l <"$queue/todo")
: >"$queue/failed"
echo 0 >"$queue/done"

take() {  # the next test's name, or nothing when the queue is empty
    flock "$queue/lock" bash -c 'head -n 1 "$1/todo"; sed -i 1d "$1/todo"' take "$queue"
}

stream() {
    local n=$1 state=$QOR_WINE_STATE-$1 name line verdict
    if ! "$root/scripts/wine-harness.sh" start "$state" "$build/bin/wine_warmup.exe" >"$queue/harness-$n.log" 2>&1; then
        cat "$queue/harness-$n.log" >&2
        echo "run-tests-parallel: the Wine harness of stream $n did not start" >&2
        echo "(harness of stream $n)" >>"$queue/failed"
        return
    fi
    while name=$(take) && [ -n "$name" ]; do
        QOR_WINE_STATE=$state ctest --test-dir "$build" -R "^${name}\$" --output-on-failure \
            >"$queue/out-$n" 2>&1 && verdict=ok || verdict=failed
        if [ "$verdict" = failed ]; then
            # A full disk or memory disk in the guest shows as a test's failure.
            { echo "--- the guest's disks and memory after $name:"; df -h / /tmp /var/tmp; free -m; } \
                >>"$queue/out-$n" 2>&1 || true
        fi
        # Every test's whole output goes home with the results (win32-tests.sh).
        mkdir -p "$build/Testing/Temporary" && cp "$queue/out-$n" "$build/Testing/Temporary/$name.out"
        line=$(grep -E '^ *[0-9]+/[0-9]+ Test +#' "$queue/out-$n" | tail -n 1)
        flock "$queue/lock" bash -c '
            done=$(( $(cat "$1/done") + 1 )); echo "$done" >"$1/done"
            printf "%3d/%d %s\n" "$done" "$2" "$(sed -E "s/^ *[0-9]+\/[0-9]+ //" <<<"$3")"
            if [ "$4" = failed ]; then
                cat "$1/out-$5"; echo "$6" >>"$1/failed"; cp "$1/out-$5" "$1/failed-$6"
            fi' report "$queue" "$total" "${line:-Test $name: no result}" "$verdict" "$n" "$name"
    done
    "$root/scripts/wine-harness.sh" stop "$state" >/dev/null 2>&1 || true
    cp "$state"/*.log "$QOR_WINE_LOGS/" 2>/dev/null || true
}

export QOR_WINE_LOGS=${QOR_WINE_LOGS:-$queue}
pids=()
for n in $(seq 1 "$workers"); do
    stream "$n" &
    pids+=($!)
done
wait "${pids[@]}"
if [ -s "$queue/failed" ]; then
    # Again at the end, where a console's last lines show it.
    while read -r name; do
        # The failed checks of a test program, then the end of its output.
        echo "--- the failures in $name's output:"
        grep -A 8 -E ': Failure$|^FAILED|Error|error:' "$queue/failed-$name" 2>/dev/null | head -n 60 || true
        echo "--- the end of $name's output:"
        tail -n 15 "$queue/failed-$name" 2>/dev/null || true
    done <"$queue/failed"
    echo "The following tests FAILED:"
    sed 's/^/\t/' "$queue/failed"
    exit 1
fi
echo "100% tests passed, 0 tests failed out of $total"
