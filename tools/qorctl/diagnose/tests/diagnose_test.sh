#!/usr/bin/env bash
# qorctl diagnose under the running Wine harness with simulated sensors: no sensor, a healthy
# one, one plugged and pulled out again, and a faulty one (damaged flash, failing read-out). Each
# gives its verdicts line by line; the report folder holds the JSON and the pictures; and no run
# changes anything (sensor flash, cache files, registry, temporary files).
#   diagnose_test.sh SOURCE_DIR BIN_DIR WORK_DIR      (QOR_WINE_STATE names the harness)
set -euo pipefail
src=$1 bin=$2 work=$3
failures=0
check() {  # check "what" command...: counts a failure instead of stopping
    local what=$1; shift
    if "$@"; then echo "ok: $what"; else echo "FAILED: $what" >&2; failures=$((failures + 1)); fi
}
rm -rf "$work" && mkdir -p "$work/cwd"
export QOR_SENSOR_SIMULATOR=$work/sim
mkdir -p "$QOR_SENSOR_SIMULATOR"
# shellcheck disable=SC1091
. "${QOR_WINE_STATE:?start the Wine harness first}/env"
# The suite installed as the harness and the medium leave it, whatever earlier tests changed:
# "InstalPath" names the build's folder, and the source lies where Wine's manager of the build's
# pointer width loads it.
"$WINE" reg add 'HKLM\SOFTWARE\Halvex Imaging\QOR' /v InstalPath /t REG_SZ \
    /d "$("$WINE" winepath -w "$bin" 2>/dev/null)" /f </dev/null >/dev/null 2>&1
twain_folder=$WINEPREFIX/drive_c/windows/$([ "${WINEARCH:-win64}" = win32 ] && echo twain_32 || echo twain_64)
mkdir -p "$twain_folder" && cp "$bin/QORSRC.ds" "$twain_folder/sane.ds"
qorctl() { (cd "$work/cwd" && "$src/scripts/wine-run.sh" "$bin/qorctl.exe" "$@" </dev/null 2>>"$work/wine.err" | tr -d '\r'); }
# has FILE VERDICT TEXT: a line of that verdict containing the text
has() { grep -E "^$2 +[a-z]+ +.*$3" "$1" >/dev/null; }
none_of() { ! grep -qE "^($2) +($3) " "$1"; }  # no line of verdict $2 in topics $3
png_of() {  # png_of FILE WIDTH HEIGHT: a PNG of that size
    [ "$(head -c 8 "$1" | od -An -tx1 | xargs)" = "89 50 4e 47 0d 0a 1a 0a" ] &&
    [ "$(od -An -tu1 -j16 -N8 "$1" | awk '{ print $3 * 256 + $4, $7 * 256 + $8 }')" = "$2 $3" ]
}
json() { python3 -c "import json,sys; d=json.load(open(sys.argv[1])); print(eval(sys.argv[2]))" "$@"; }
state() {  # what a diagnosis must not change
    find "$QOR_SENSOR_SIMULATOR" -name flash.bin -exec md5sum {} + | sort
    find "$work/cwd" "$bin" -maxdepth 1 -name '*.dat' | sort
    find "$WINEPREFIX/drive_c/users" -maxdepth 4 -name 'qor-diagnose-*' | sort
    "$WINE" reg query 'HKLM\SOFTWARE\Halvex Imaging' /s 2>/dev/null | tr -d '\r' || true
    "$WINE" reg query 'HKLM\SOFTWARE\Halvex Imaging Corp.' /s 2>/dev/null | tr -d '\r' || true
}
run() {  # run NAME: diagnose with a report; output in NAME.out, exit code in NAME.rc
    state >"$work/$1.before"
    qorctl diagnose --report "$work/$1" >"$work/$1.out" && echo 0 >"$work/$1.rc" || echo $? >"$work/$1.rc"
    state >"$work/$1.after"
    check "$1: nothing changed" diff "$work/$1.before" "$work/$1.after"
}

# No sensor at all: said so, a demo frame instead, no fault.
run nosensor
check "nosensor: exit 0" test "$(cat "$work/nosensor.rc")" = 0
check "nosensor: the sensor line warns" has "$work/nosensor.out" warning "sensor slots: -------- \(no sensor\)"
check "nosensor: a demo frame is measured" has "$work/nosensor.out" ok "demo frame \(no sensor\): mean"
check "nosensor: versions and registry are reported" \
    bash -c "grep -q 'Qor.dll: 5.5.0' '$work/nosensor.out' && grep -q 'InstalPath:' '$work/nosensor.out'"
check "nosensor: the report marks the demo frame" test "$(json "$work/nosensor/report.json" "d['frame']['demo']")" = True
check "nosensor: only the corrected picture" \
    bash -c "[ -f '$work/nosensor/corrected.png' ] && [ ! -e '$work/nosensor/raw.png' ]"

# A healthy sensor with two bad rows and a bad column in its calibration.
qorctl sim plug --name sensor0 --imager-id 3149925 --format 3 --bad-rows 100,200 --bad-columns 50 >/dev/null
run healthy
check "healthy: exit 0" test "$(cat "$work/healthy.rc")" = 0
check "healthy: no warning or fault about the sensor" none_of "$work/healthy.out" "warning|fault" "sensor|acquisition"
check "healthy: identity" has "$work/healthy.out" ok "identity: imager ID 3149925, type 3, 999 x 664"
check "healthy: calibration format and flash checksum" \
    bash -c "grep -q 'calibration format: 3' '$work/healthy.out' && grep -q 'flash checksum: right' '$work/healthy.out'"
check "healthy: the line repair list" has "$work/healthy.out" ok "dead lines: .*mends rows 100,200, columns 50"
check "healthy: the test image is measured" has "$work/healthy.out" ok "test image \(raw\): mean [1-9]"
for picture in raw calibrated corrected; do
    check "healthy: $picture.png is a 999 x 664 picture" png_of "$work/healthy/$picture.png" 999 664
done
check "healthy: report.json lists every printed line" \
    test "$(json "$work/healthy/report.json" "len(d['findings'])")" -eq "$(grep -cE '^(ok|warning|fault) ' "$work/healthy.out")"
check "healthy: report.json has the raw statistics" \
    test "$(json "$work/healthy/report.json" "d['frame']['statistics']['raw']['mean'] > 0")" = True

# The cache QOR APP keeps in its folder: a true copy of the flash, then a damaged one.
install=$("$WINE" winepath -u "$("$WINE" reg query 'HKLM\SOFTWARE\Halvex Imaging\QOR' /v InstalPath 2>/dev/null |
          tr -d '\r' | sed -n 's/.*REG_SZ *//p')" 2>/dev/null)
cache=$install/3149925s.dat
trap 'rm -f "$cache"' EXIT
cp "$QOR_SENSOR_SIMULATOR/sensor0/flash.bin" "$cache"
qorctl diagnose >"$work/cache-copy.out" || true
check "cache: a true copy is ok" has "$work/cache-copy.out" ok "calibration cache: 3149925s.dat: equals the flash, checksum right"
printf '\x00' | dd of="$cache" bs=1 seek=70000 conv=notrunc 2>/dev/null
qorctl diagnose >"$work/cache-damaged.out" || true
check "cache: a damaged copy is a fault that says which file to delete" \
    has "$work/cache-damaged.out" fault "calibration cache: 3149925s.dat: checksum wrong  -> delete .*3149925s.dat"
rm -f "$cache"

# QOR APP running from an installation of its own, holding the sensor: its pipe answers, the
# sensor is left alone.
key='HKLM\SOFTWARE\Halvex Imaging\QOR'
old_path=$("$WINE" reg query "$key" /v InstalPath </dev/null 2>/dev/null | tr -d '\r' | sed -n 's/.*REG_SZ[[:space:]]*//p')
mkdir -p "$work/install"
for f in "QOR APP.exe" Qor.dll qorimg.dll qorsim.dll Orbel.dll QorIcons.dll Language.ini german.dll french.dll; do
    [ -e "$bin/$f" ] && cp "$bin/$f" "$work/install/"
done
finish() {
    "$WINE" taskkill /im "QOR APP.exe" </dev/null >/dev/null 2>&1 || true
    [ -n "$old_path" ] && "$WINE" reg add "$key" /v InstalPath /t REG_SZ /d "$old_path" /f </dev/null >/dev/null 2>&1 || true
    rm -f "$cache"
}
trap finish EXIT
"$WINE" reg add "$key" /v InstalPath /t REG_SZ /d "$("$WINE" winepath -w "$work/install" 2>/dev/null)" /f </dev/null >/dev/null 2>&1
(cd "$work/install" && "$WINE" "./QOR APP.exe" </dev/null >/dev/null 2>&1 &)
for _ in $(seq 1 $((100 * ${QOR_TEST_TIME_SCALE:-1}))); do [ -f "$work/install/QorAPPLog.txt" ] && grep -q . "$work/install/QorAPPLog.txt" && break; sleep 0.1; done
sleep 1
run app
check "app: QOR APP is seen running" has "$work/app.out" ok "QOR APP: running"
check "app: its pipe answers" has "$work/app.out" ok "pipe \"QOR COMM\": answers: 0 image\(s\) waiting"
check "app: the sensor is left to QOR APP" has "$work/app.out" warning "sensor tests: skipped: QOR APP holds the sensor  -> exit QOR APP"
finish
trap 'rm -f "$cache"' EXIT

# Who serves the pipe when QOR APP does not: a foreign program that took its name (answering
# or not, it is not asked), and a QOR APP from elsewhere that hangs. Both are faults that name
# the program.
serve() {  # serve FOLDER PROGRAM MODE: the test's pipe server under that name, in that mode
    mkdir -p "$work/$1" && cp "$bin/fake_qor_app.exe" "$work/$1/$2" && echo "$3" >"$work/$1/fake_mode.txt"
    (cd "$work/$1" && "$WINE" "./$2" </dev/null >/dev/null 2>&1 &)
    for _ in $(seq 1 $((100 * ${QOR_TEST_TIME_SCALE:-1}))); do [ -f "$work/$1/fake_state.txt" ] && break; sleep 0.1; done
    sleep 1
}
serve foreign ScanHub.exe "store 1"
run foreign
"$WINE" taskkill /f /im ScanHub.exe </dev/null >/dev/null 2>&1 || true
server_pid() { tr -d '\r' <"$work/$1/fake_state.txt" | sed -n 's/^pid=//p'; }
check "foreign: the pipe's server is named by its file and process" \
    has "$work/foreign.out" fault "pipe \"QOR COMM\": served by .*ScanHub.exe \(process $(server_pid foreign)\), not QOR APP  -> another program holds the name QOR APP needs"
check "foreign: it was sent nothing" grep -qx 'commands=' <(tr -d '\r' <"$work/foreign/fake_state.txt")
serve hung "QOR APP.exe" "mute 0"
run hung
"$WINE" taskkill /f /im "QOR APP.exe" </dev/null >/dev/null 2>&1 || true
check "hung: a silent server is a fault that names it" \
    has "$work/hung.out" fault "pipe \"QOR COMM\": opens but does not answer; served by .*hung.QOR APP.exe \(process $(server_pid hung)\)  -> exit QOR APP"

# Pulled out again: the same as no sensor.
qorctl sim unplug sensor0 >/dev/null
run unplugged
check "unplugged: exit 0, no sensor, demo frame" \
    bash -c "[ \"\$(cat '$work/unplugged.rc')\" = 0 ] && grep -q 'no sensor' '$work/unplugged.out' && grep -q 'demo frame' '$work/unplugged.out'"

# The report as JSON on stdout (no sensor again): who, where and when, the same lines as the
# text; a demo frame has levels, not dead lines.
qorctl diagnose --json >"$work/json.out" || true
check "json: tool, version, computer and time" \
    test "$(json "$work/json.out" "d['tool']['name'], d['tool']['version'], bool(d['computer']), d['time'][:2], d['time'][-1]")" = "('qorctl', '5.5.0', True, '20', 'Z')"
check "json: the findings of a text run" \
    test "$(json "$work/json.out" "len(d['findings'])")" -eq "$(grep -cE '^(ok|warning|fault) ' "$work/unplugged.out")"
check "json: a demo frame is not measured for dead lines" \
    test "$(json "$work/json.out" "d['frame']['demo'], 'dead_rows' in d['frame']['statistics']['corrected']")" = "(True, False)"
check "the text names tool, computer and time first" \
    grep -qE '^qorctl 5\.5\.0 diagnose on .+, 20[0-9-]+T[0-9:]+Z$' "$work/nosensor.out"

# A faulty sensor: one byte of its flash damaged, and its read-out failing.
qorctl gen-calibration --format 3 --imager-id 2101349 --out "$work/damaged.cal" >/dev/null
printf '\x55' | dd of="$work/damaged.cal" bs=1 seek=5000 conv=notrunc 2>/dev/null
qorctl sim plug --name faulty --flash "$work/damaged.cal" >/dev/null
qorctl sim faults faulty 11:data:fail >/dev/null   # every image read-out fails
run faulty
check "faulty: exit 2" test "$(cat "$work/faulty.rc")" = 2
check "faulty: the damaged flash is a fault with advice" has "$work/faulty.out" fault "flash checksum: wrong  -> .*service"
check "faulty: the failed read-out is a fault with advice" has "$work/faulty.out" fault "test image: the read-out failed  -> .*USB"
check "faulty: the overall verdict" grep -q '^verdict: fault' "$work/faulty.out"
check "faulty: report.json says fault" test "$(json "$work/faulty/report.json" "d['verdict']")" = fault

# Every run: exit 2 exactly when a line says fault.
for rc in "$work"/*.rc; do
    name=$(basename "$rc" .rc)
    expected=0
    grep -q '^fault ' "$work/$name.out" && expected=2
    check "$name: exit $expected as its verdicts say" test "$(cat "$rc")" = "$expected"
done

if [ "$failures" -ne 0 ]; then
    echo "diagnose_test: $failures check(s) failed; outputs in $work" >&2
    exit 1
fi
