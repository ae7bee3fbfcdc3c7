# The rig of the whole-road TWAIN tests (sourced, not run): a fresh Wine prefix of its own with
# the suite installed from the build's medium, the simulated sensor plugged in beside the
# installed driver library, and imaging programs started from folders that hold nothing of the
# suite. A script sets `bin` (the build's bin folder), `work` (its output folder, emptied) and
# `root` (the source tree), then calls rig_start; rig_stop runs at exit.
#   rig_start               prefix, installation, sensor; sets c, install, twain, medium, out
#   rig_program EXE         copies a program of the build into a folder of its own
#   rig_run NAME LOG ARGS   runs that program from its folder, output to LOG (never a pipe:
#                           QOR APP, which the source starts, inherits the handles and keeps them);
#                           one stuck is photographed and ended
#   rig_start_app           starts the installed QOR APP and waits until it has read the sensor
#   rig_expose_stored SEED  an exposure, waited for until QOR APP has stored it
#   rig_wait_pid PID STEP   waits for a program started in the background; photographs a stuck one
#   rig_same_images A B     the stored BMPs in folder A equal B/image01.bmp, ... byte for byte
# Times stretch by QOR_TEST_TIME_SCALE (emulation); QOR_WINE_ARCH chooses the prefix.

# Wine turns the arguments and environment into Windows text by the locale.
export LC_ALL=C.UTF-8
scale=${QOR_TEST_TIME_SCALE:-1}

rig_fail() { echo "$(basename "$0"): $*" >&2; exit 1; }

rig_start() {
    rm -rf "$work"
    mkdir -p "$work/sim" "$work/out"
    work=$(cd "$work" && pwd)
    out=$work/out
    local made="$bin/../medium/QOR Medium"
    cmp -s "$bin/Qor.dll" "$made/Files/Qor.dll" && cmp -s "$bin/QORSRC.ds" "$made/Files/QORSRC.ds" ||
        rig_fail "$made is missing or older than the build: cmake --build <build dir> --target installation_medium"
    cp -r "$made" "$work/"
    medium="$work/QOR Medium"
    export QOR_WINE_STATE=${QOR_WINE_SCRATCH:-$work}/wine
    rm -rf "$QOR_WINE_STATE"
    trap rig_stop EXIT
    "$root/scripts/wine-harness.sh" start "$QOR_WINE_STATE" "$bin/wine_warmup.exe" >/dev/null
    # shellcheck disable=SC1091
    . "$QOR_WINE_STATE/env"
    # Wine's own sane.ds is built in; the installed one must be loaded instead.
    export WINEDLLOVERRIDES="$WINEDLLOVERRIDES;sane.ds=n"
    c=$WINEPREFIX/drive_c
    twain=$([ "${QOR_WINE_ARCH:-win64}" = win32 ] && echo twain_32 || echo twain_64)
    # A machine that never saw QOR: the harness's own seed of the key goes.
    "$WINE" reg delete 'HKLM\SOFTWARE\Halvex Imaging' /f </dev/null >/dev/null 2>&1 || true
    "$WINE" cmd /c "$("$WINE" winepath -w "$medium" 2>/dev/null)\\DriverInstallation.cmd" </dev/null \
        >"$work/install.log" 2>&1
    [ ! -f "$c/qor/result.txt" ] || rig_fail "the installation reported: $(tr -d '\r' <"$c/qor/result.txt")"
    # The suite is 32-bit: on a 64-bit Windows the installation puts it into Program Files (x86).
    install="$c/Program Files/Halvex Imaging/QOR"
    [ "${QOR_WINE_ARCH:-win64}" = win64 ] && install="$c/Program Files (x86)/Halvex Imaging/QOR"
    [ -f "$install/QOR APP.exe" ] || rig_fail "the installation put no QOR APP.exe into $install"
    cp "$bin/qorsim.dll" "$install/"
    export QOR_SENSOR_SIMULATOR=$work/sim
    "$WINE" taskkill /im "QOR APP.exe" </dev/null >/dev/null 2>&1 || true
    "$WINE" "$bin/qorctl.exe" sim plug --name sensor0 --imager-id 2101349 --format 3 </dev/null >/dev/null
}

rig_stop() {
    [ -n "${WINE:-}" ] && "$WINE" taskkill /im "QOR APP.exe" </dev/null >/dev/null 2>&1
    mkdir -p "$out/logs"
    cp "${c:-/nonexistent}"/windows/twain_*/QorSrcLog.txt "${c:-/nonexistent}"/windows/twain_*/*/QorSrcLog.txt \
        "${install:-/nonexistent}/QorAPPLog.txt" "$out/logs/" 2>/dev/null || true
    "$root/scripts/wine-harness.sh" stop "$QOR_WINE_STATE" >/dev/null 2>&1 || true
    [ -z "${QOR_WINE_SCRATCH:-}" ] || rm -rf "$QOR_WINE_STATE"
}

rig_program() {
    mkdir -p "$work/$1"
    cp "$bin/$1.exe" "$work/$1/"
}

rig_run() {
    local program=$1 log=$2
    shift 2
    (cd "$work/$program" && exec "$WINE" "./$program.exe" "$@" </dev/null >"$log" 2>&1) &
    rig_wait_pid $! "$(basename "$log" .log)" "$program.exe"
}

rig_start_app() {
    (cd "$install" && "$WINE" "./QOR APP.exe" </dev/null >"$out/qor_app.out" 2>&1 &)
    # Its calibration cache is written once it has read the sensor.
    for _ in $(seq 1 $((600 * scale))); do [ -f "$install/2101349.dat" ] && break; sleep 0.1; done
    sleep 1
}

rig_stored() { find "$install/Images" -name '*.bmp' 2>/dev/null | wc -l; }

rig_expose_stored() {
    local n
    n=$(rig_stored)
    "$WINE" "$bin/qorctl.exe" sim expose sensor0 --seed "$1" </dev/null >/dev/null
    for _ in $(seq 1 $((300 * scale))); do [ "$(rig_stored)" -gt "$n" ] && return 0; sleep 0.1; done
    return 1
}

rig_wait_pid() {  # rig_wait_pid PID STEP [EXE]: a program stuck in a box nobody answers is ended
    # Past the client's own time limit (60 s, stretched under emulation), below CTest's.
    local pid=$1 step=$2 exe=${3:-twain_client.exe} limit=$((60 * scale + 30)) waited=0
    while kill -0 "$pid" 2>/dev/null && [ "$waited" -lt "$limit" ]; do sleep 1; waited=$((waited + 1)); done
    if kill -0 "$pid" 2>/dev/null; then
        mkdir -p "$out/png"
        import -display "$DISPLAY" -window root "$out/png/stuck_$step.png" 2>/dev/null || true
        echo "$step: stuck after $limit s, ended (screen: $out/png/stuck_$step.png)" >&2
        "$WINE" taskkill /f /im "$exe" </dev/null >/dev/null 2>&1 || true
    fi
    wait "$pid"
}

rig_same_images() {
    local i=0 s
    for s in $(ls "$1" | sort); do
        i=$((i + 1))
        cmp -s "$1/$s" "$(printf '%s/image%02d.bmp' "$2" "$i")" || return 1
    done
    [ "$i" -gt 0 ]
}
