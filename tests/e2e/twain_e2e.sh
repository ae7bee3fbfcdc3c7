#!/usr/bin/env bash
# The whole road as a practice has it: the suite installed from the installation medium
# (DriverInstallation.cmd in a fresh Wine prefix), the imaging program (twain_client) in a folder
# of its own, Wine's own TWAIN manager loading the installed source, and the source starting
# QOR APP from "InstalPath". Simulated sensor -> Qor.dll -> QOR APP -> pipe -> QORSRC ->
# twain_client, by native, file and memory transfer, and by the Stavik queue when QOR APP cannot
# be started; at the end the uninstallation must leave the prefix as it was. Leaves the received
# BMPs, a PNG of each, a contact sheet, a screenshot of the source's dialog and summary.json (with
# the trace of each state-5 exposure: the time from the exposure to each stage of its road) in
# WORK_DIR/out. QOR_E2E_WAIT_EXPOSURES sets the exposures of the state-5 wait (5).
# Usage: twain_e2e.sh BIN_DIR WORK_DIR   (BIN_DIR: a built suite with qorsim.dll, qorctl.exe,
# twain_client.exe and wine_warmup.exe, and beside it the medium the build made, BIN_DIR/../medium
# (target installation_medium); QOR_WINE_ARCH chooses the prefix, as for the harness;
# QOR_TWAIN_CLIENT names another build's twain_client.exe, e.g. the x86_64 one beside the shipped
# suite in a 64-bit prefix, where it reaches the 64-bit source through Wine's 64-bit manager)
set -euo pipefail
bin=$(cd "${1:?bin dir}" && pwd)
work=${2:?work dir}
root=$(cd "$(dirname "$0")/../.." && pwd)
# Wine turns the arguments and environment into Windows text by the locale.
export LC_ALL=C.UTF-8
fail() { echo "twain_e2e: $*" >&2; exit 1; }

rm -rf "$work"
mkdir -p "$work/sim" "$work/out" "$work/client"
work=$(cd "$work" && pwd)
made="$bin/../medium/QOR Medium"
cmp -s "$bin/Qor.dll" "$made/Files/Qor.dll" ||
    fail "$made is missing or older than the build: cmake --build <build dir> --target installation_medium"
cp -r "$made" "$work/"
medium="$work/QOR Medium"
[ -f "$medium/Files/QORSRC.ds" ] || fail "the medium has no QORSRC.ds: build the TWAIN source first"
# The imaging program has a folder of its own: nothing of the suite lies beside it.
cp "${QOR_TWAIN_CLIENT:-$bin/twain_client.exe}" "$work/client/twain_client.exe"

# A prefix of its own, which has never seen QOR.
# QOR_WINE_SCRATCH may name a faster folder for it (the guest's memory disk).
# (One per prefix architecture: the guest runs the 32-bit and the 64-bit prefix's road at once.)
export QOR_WINE_STATE=${QOR_WINE_SCRATCH:-$work}/twain-e2e-wine-${QOR_WINE_ARCH:-win64}
rm -rf "$QOR_WINE_STATE"
stop_harness() {
    # The source's and QOR APP's logs stay with the results.
    mkdir -p "$work/out/logs"
    cp "${c:-/nonexistent}"/windows/twain_*/QorSrcLog.txt "${install:-/nonexistent}/QorAPPLog.txt" \
        "$work/out/logs/" 2>/dev/null || true
    "$root/scripts/wine-harness.sh" stop "$QOR_WINE_STATE" >/dev/null 2>&1 || true
    # A prefix on the scratch folder goes (the guest's disk is small); one in WORK_DIR stays.
    [ -z "${QOR_WINE_SCRATCH:-}" ] || rm -rf "$QOR_WINE_STATE"
}
trap stop_harness EXIT
"$root/scripts/wine-harness.sh" start "$QOR_WINE_STATE" "$bin/wine_warmup.exe" >/dev/null
# shellcheck disable=SC1091
. "$QOR_WINE_STATE/env"
# Wine's own sane.ds is built in; the installed one must be loaded instead.
export WINEDLLOVERRIDES="$WINEDLLOVERRIDES;sane.ds=n"
c=$WINEPREFIX/drive_c
"$WINE" reg delete 'HKLM\SOFTWARE\Halvex Imaging' /f </dev/null >/dev/null 2>&1 || true
# A 64-bit Windows has two registry views; the installation writes both.
views=("")
[ "$QOR_WINE_ARCH" = win64 ] && views=(/reg:32 /reg:64)
snapshot() {  # files of drive C: (without profiles and temporary files) and the suite's keys
    local view
    (cd "$c" && find . -path ./users -prune -o -path ./windows/temp -prune -o -print | sort)
    for view in "${views[@]}"; do
        # shellcheck disable=SC2086
        "$WINE" reg query 'HKLM\SOFTWARE\Halvex Imaging' /s $view </dev/null 2>/dev/null | tr -d '\r' || true
        # shellcheck disable=SC2086
        "$WINE" reg query 'HKLM\SOFTWARE\Halvex Imaging Corp.' /s $view </dev/null 2>/dev/null | tr -d '\r' || true
    done
}
snapshot >"$work/before.txt"

echo "== installation from the medium =="
medium_win=$("$WINE" winepath -w "$medium" 2>/dev/null)
"$WINE" cmd /c "$medium_win\\DriverInstallation.cmd" </dev/null >"$work/install.log" 2>&1
[ ! -f "$c/qor/result.txt" ] || fail "the installation reported: $(tr -d '\r' <"$c/qor/result.txt")"
# The suite is 32-bit: on a 64-bit Windows it goes into the folder of 32-bit programs.
install="$c/Program Files/Halvex Imaging/QOR"
[ "$QOR_WINE_ARCH" = win64 ] && install="$c/Program Files (x86)/Halvex Imaging/QOR"
[ -f "$install/QOR APP.exe" ] || fail "the installation put no QOR APP.exe into $install"
# The test bench's sensor: the simulated one, plugged in beside the installed driver library.
cp "$bin/qorsim.dll" "$install/"
export QOR_SENSOR_SIMULATOR=$work/sim
# Every process of the road marks its stages in one file (common/core/stage_trace.h), in Windows
# spelling: QOR APP's current folder is not on the drive of the Unix root.
: >"$work/out/stages.txt"
QOR_STAGE_TRACE=$("$WINE" winepath -w "$work/out/stages.txt" 2>/dev/null | tr -d '\r')
export QOR_STAGE_TRACE
waits=${QOR_E2E_WAIT_EXPOSURES:-5}

finish() {
    "$WINE" taskkill /im "QOR APP.exe" </dev/null >/dev/null 2>&1 || true
    stop_harness
}
trap finish EXIT

qorctl() { "$WINE" "$bin/qorctl.exe" "$@" </dev/null; }
client() { (cd "$work/client" && "$WINE" ./twain_client.exe "$@" </dev/null); }
stored() { find "$install/Images" -name '*.bmp' 2>/dev/null | wc -l; }
# The moment of an exposure is when the simulator's exposure file was written, not when the
# Wine program that writes it was started (a Wine start costs some 100 ms of its own).
exposed_ms() { stat -c '%.3Y' "$work/sim/sensor0/exposure.txt" | tr -d .; }
# Waits for the client of a step; one stuck in a window nobody answers is photographed and ended.
# The script's own waits (not the product's) stretch under emulation.
scale=${QOR_TEST_TIME_SCALE:-1}
wait_client() {
    # Past the client's own time limit (60 s, stretched under emulation), below CTest's.
    local step=$1 limit=$((60 * scale + 30)) waited=0
    while kill -0 "$client_pid" 2>/dev/null && [ "$waited" -lt "$limit" ]; do sleep 1; waited=$((waited + 1)); done
    if kill -0 "$client_pid" 2>/dev/null; then
        import -display "$DISPLAY" -window root "$work/out/png/stuck_$step.png" 2>/dev/null || true
        "$WINE" taskkill /f /im twain_client.exe </dev/null >/dev/null 2>&1 || true
        fail "$step: the client did not return within $limit s (screen: $work/out/png/stuck_$step.png): $(cat "$work/out/$step.log")"
    fi
    wait "$client_pid" || fail "$step: the client did not receive its images: $(cat "$work/out/$step.log")"
}

# A QOR APP left from elsewhere would serve another store.
"$WINE" taskkill /im "QOR APP.exe" </dev/null >/dev/null 2>&1 || true
qorctl sim plug --name sensor0 --imager-id 2101349 --format 3 >/dev/null

echo "== QOR APP not running: the source starts it; Acquire before the exposure =="
client acquire --mech native --count 1 --show-ui 1 --timeout-ms $((60000 * scale)) --out "$work/out/first" \
    --json "$work/out/first.json" >"$work/out/first.log" 2>&1 &
client_pid=$!
for _ in $(seq 1 $((600 * scale))); do [ -f "$install/2101349.dat" ] && break; sleep 0.1; done
[ -f "$install/2101349.dat" ] || fail "QOR APP was not started by the source (no calibration cache in $install)"
sleep 1
# The source's status dialog (ShowUI TRUE) while it waits for the exposure.
mkdir -p "$work/out/png"
dialog=$(xdotool search --name '^QOR SRC$' 2>/dev/null | head -1 || true)
[ -n "$dialog" ] && import -display "$DISPLAY" -window "$dialog" "$work/out/png/source_dialog.png" \
    2>/dev/null || true
qorctl sim expose sensor0 --seed 51 >/dev/null
exposed_ms >"$work/out/first.exposed"
wait_client first

echo "== the state-5 wait: $waits exposures while the client waits for each =="
client acquire --mech native --count "$waits" --show-ui 1 --timeout-ms $((20000 * scale)) --out "$work/out/wait" \
    --json "$work/out/wait.json" >"$work/out/wait.log" 2>&1 &
client_pid=$!
: >"$work/out/wait.exposed"
for i in $(seq 1 "$waits"); do
    previous=$(printf '%s/image%02d.bmp' "$work/out/wait" $((i - 1)))
    [ "$i" -eq 1 ] || for _ in $(seq 1 $((300 * scale))); do [ -f "$previous" ] && break; sleep 0.05; done
    sleep 0.5
    qorctl sim expose sensor0 --seed $((90 + i)) >/dev/null
    exposed_ms >>"$work/out/wait.exposed"
done
wait_client wait

for mech in native file memory; do
    echo "== three exposures by $mech transfer =="
    before=$(stored)
    for seed in 61 62 63; do
        n=$(stored)
        qorctl sim expose sensor0 --seed "$seed" >/dev/null
        for _ in $(seq 1 $((300 * scale))); do [ "$(stored)" -gt "$n" ] && break; sleep 0.1; done
    done
    [ "$(stored)" -eq $((before + 3)) ] || fail "QOR APP did not store three images"
    mkdir -p "$work/out/$mech/stored"
    cp "$install"/Images/*.bmp "$work/out/$mech/stored/"
    caps=()
    [ "$mech" = native ] && caps=(--caps)
    client acquire --mech "$mech" --count 3 --show-ui 0 --timeout-ms $((20000 * scale)) --out "$work/out/$mech" \
        --json "$work/out/$mech.json" "${caps[@]}" >"$work/out/$mech.log" 2>&1 ||
        fail "$mech transfer failed: $(cat "$work/out/$mech.log")"
    i=0
    for s in $(ls "$work/out/$mech/stored" | sort); do
        i=$((i + 1))
        cmp "$work/out/$mech/stored/$s" "$(printf '%s/image%02d.bmp' "$work/out/$mech" "$i")" ||
            fail "$mech image $i differs from what QOR APP stored ($s)"
    done
    [ "$(stored)" -eq 0 ] || fail "QOR APP's store is not empty after the $mech transfers"
done

echo "== two sessions in a row without unloading the source =="
for seed in 71 72; do
    n=$(stored)
    qorctl sim expose sensor0 --seed "$seed" >/dev/null
    for _ in $(seq 1 $((300 * scale))); do [ "$(stored)" -gt "$n" ] && break; sleep 0.1; done
done
client acquire --mech memory --count 1 --sessions 2 --show-ui 0 --timeout-ms $((20000 * scale)) \
    --out "$work/out/sessions" --json "$work/out/sessions.json" >"$work/out/sessions.log" 2>&1 ||
    fail "two sessions failed: $(cat "$work/out/sessions.log")"
# The image announced when the first session stopped stayed in the store for the second one.
[ "$(stored)" -eq 0 ] || fail "QOR APP's store is not empty after the two sessions"

echo "== QOR APP cannot be started: the Stavik queue serves the store on disk =="
for seed in 81 82; do
    n=$(stored)
    qorctl sim expose sensor0 --seed "$seed" >/dev/null
    for _ in $(seq 1 $((300 * scale))); do [ "$(stored)" -gt "$n" ] && break; sleep 0.1; done
done
mkdir -p "$work/out/disk/stored"
cp "$install"/Images/*.bmp "$work/out/disk/stored/"
"$WINE" taskkill /im "QOR APP.exe" </dev/null >/dev/null 2>&1 || true
for _ in $(seq 1 $((100 * scale))); do pgrep -f 'QOR APP.exe' >/dev/null || break; sleep 0.1; done
mv "$install/QOR APP.exe" "$install/QOR APP.off"
client acquire --mech file --count 2 --show-ui 0 --timeout-ms $((20000 * scale)) --out "$work/out/disk" \
    --json "$work/out/disk.json" >"$work/out/disk.log" 2>&1 || fail "disk queue: $(cat "$work/out/disk.log")"
mv "$install/QOR APP.off" "$install/QOR APP.exe"
i=0
for s in $(ls "$work/out/disk/stored" | sort); do
    i=$((i + 1))
    cmp "$work/out/disk/stored/$s" "$(printf '%s/image%02d.bmp' "$work/out/disk" "$i")" ||
        fail "disk queue image $i differs from the stored file ($s)"
done
[ "$(stored)" -eq 0 ] || fail "the store on disk is not empty after the disk-queue transfers"

# A PNG of every received image and a contact sheet of them; not under emulation (the test
# guest), where they cost a minute and the x86_64 run makes them from the same images.
if [ "$scale" -le 1 ]; then
    for bmp in "$work"/out/*/image*.bmp; do
        part=$(basename "$(dirname "$bmp")")
        convert "$bmp" "$work/out/png/${part}_$(basename "$bmp" .bmp).png" 2>/dev/null || true
    done
    montage -label '%t' "$work"/out/png/*_image*.png -tile 6x -geometry 240x172+4+4 \
        "$work/out/contact_sheet.png" 2>/dev/null || true
fi

python3 - "$work/out" "$waits" <<'PY'
import json, sys, os
out, waits = sys.argv[1], int(sys.argv[2])
def load(n): return json.load(open(os.path.join(out, n + ".json")))
problems = []
def check(cond, text):
    if not cond: problems.append(text)
first = load("first")
check(first["received"] == 1 and first["announcements"] == 1, "the state-5 wait did not announce the image once")
exposed = int(open(os.path.join(out, "first.exposed")).read())
img = first["images"][0]
timing = {"exposureToXferReadyMs": img["readyMs"] - exposed, "exposureToImageMs": img["receivedMs"] - exposed}
print("time from exposure to MSG_XFERREADY: %d ms, to the image in the client: %d ms"
      % (timing["exposureToXferReadyMs"], timing["exposureToImageMs"]))
wait = load("wait")
exposures = [int(x) for x in open(os.path.join(out, "wait.exposed")).read().split()]
check(wait["received"] == waits, "the state-5 wait did not deliver %d images" % waits)
times = sorted(i["receivedMs"] - e for i, e in zip(wait["images"], exposures))
if times:
    timing["waitLoopExposureToImageMs"] = times
    timing["waitLoopMedianMs"] = times[len(times) // 2]
    print("state-5 wait, exposure to the image in the client over %d exposures: median %d ms (%s)"
          % (len(times), times[len(times) // 2], ", ".join(str(t) for t in times)))

# The trace: for every state-5 exposure, each stage as ms after the exposure. The marks of Qor.dll,
# QOR APP and the source (stages.txt, microseconds) and the client's times (ms) share the wall
# clock the exposure file's time is given in. A stage's mark is its first one after the exposure
# and before the image reached the client; "announced" stays empty for a QOR APP without it.
stages = ["readout", "corrected", "stored", "announced", "xferready", "ready", "image"]
marks = []
for line in open(os.path.join(out, "stages.txt")):
    parts = line.split()
    if len(parts) == 2 and parts[0].isdigit():
        marks.append((int(parts[0]) / 1000.0, parts[1]))
marks.sort()
def trace(name, exposedMs, image):
    run = {"run": name, "exposedMs": exposedMs}
    for stage in stages[:5]:
        at = next((t for t, s in marks if s == stage and exposedMs <= t <= image["receivedMs"] + 1), None)
        run[stage] = None if at is None else round(at - exposedMs, 1)
    run["ready"] = image["readyMs"] - exposedMs
    run["image"] = image["receivedMs"] - exposedMs
    return run
traced = [trace("first", exposed, img)] + [trace("wait%d" % (n + 1), e, i)
                                           for n, (e, i) in enumerate(zip(exposures, wait["images"]))]
def statistics(pick):
    result = {}
    for stage in stages:
        values = sorted(r[stage] for r in traced if r[stage] is not None)
        if values:
            result[stage] = pick(values)
    return result
def median(v): return v[len(v) // 2] if len(v) % 2 else (v[len(v) // 2 - 1] + v[len(v) // 2]) / 2
traceSummary = {"unit": "ms after the exposure", "stages": stages, "runs": traced,
                "median": statistics(median), "min": statistics(lambda v: v[0]),
                "max": statistics(lambda v: v[-1])}
print("trace of %d exposures, ms after the exposure (median / min / max):" % len(traced))
for stage in stages:
    if stage in traceSummary["median"]:
        print("  %-10s %8.1f %8.1f %8.1f" % (stage, traceSummary["median"][stage],
                                           traceSummary["min"][stage], traceSummary["max"][stage]))
    else:
        print("  %-10s %8s" % (stage, "-"))
for stage in ("readout", "corrected", "stored", "xferready"):
    check(any(r[stage] is not None for r in traced), "the trace has no %s mark" % stage)
runs = {n: load(n) for n in ("first", "wait", "native", "file", "memory", "sessions", "disk")}
json.dump({"timing": timing, "trace": traceSummary, "runs": runs},
          open(os.path.join(out, "summary.json"), "w"), indent=2)
for mech in ("native", "file", "memory"):
    s = load(mech)
    check(s["received"] == 3, mech + ": not three images")
    check(s["announcements"] == 1, mech + ": MSG_XFERREADY not announced exactly once")
    check(not s["lateAnnouncement"], mech + ": MSG_XFERREADY after the session")
    check([i["pendingBefore"] for i in s["images"]] == [3, 2, 1], mech + ": DAT_PENDINGXFERS MSG_GET does not count the images to come")
    check([i["pendingAfter"] for i in s["images"]] == [2, 1, 0], mech + ": MSG_ENDXFER counts")
    for i in s["images"]:
        c = i["checks"]
        if mech == "file":
            check(c["setupGet"].endswith(i["file"]), "file: MSG_GET does not report the target set")
            check(c["setupDefault"] == "c:\\twain.bmp", "file: MSG_GETDEFAULT")
        if mech == "memory":
            check(c["tinyBufferRc"] == 1 and c["tinyBufferCc"] == 10, "memory: a buffer shorter than a row was not refused")
            check(c["buffers"] >= 2, "memory: handle and pointer buffers were not both used")
caps = load("native")["capabilities"]
check([(x["rc"], x["cc"]) for x in caps["sets"]] == [(1, 10), (0, 0), (0, 0), (1, 10), (0, 0), (0, 0), (0, 0), (1, 14)],
      "capability set rules: %s" % [(x["rc"], x["cc"]) for x in caps["sets"]])
check(caps["0x1005"]["get"]["container"].startswith("04001000000005100301"), "CAP_SUPPORTEDCAPS")
check(caps["0x1005"]["current"]["cc"] == 14, "CAP_SUPPORTEDCAPS MSG_GETCURRENT")
check(caps["0x112b"]["get"]["container"] == "0400" + "01000000" + "00000000" * 2 + "0800" + "00", "ICAP_BITDEPTH enumeration")
check(caps["0x0102"]["support"]["container"][:12] == "05001f000000", "ICAP_UNITS MSG_QUERYSUPPORT")
disk = load("disk")
check(disk["received"] == 2 and [i["pendingBefore"] for i in disk["images"]] == [2, 1], "disk queue counts")
sessions = load("sessions")
check(sessions["received"] == 2, "two sessions in a row")
if problems:
    print("\n".join(problems), file=sys.stderr)
    sys.exit(1)
print("twain_e2e: every check passed")
PY

echo "== uninstallation =="
"$WINE" taskkill /im "QOR APP.exe" </dev/null >/dev/null 2>&1 || true
for _ in $(seq 1 $((100 * scale))); do pgrep -f 'QOR APP.exe' >/dev/null || break; sleep 0.1; done
# What the suite wrote while it ran (images, logs, the calibration cache) stays by design, and
# the simulated sensor is the bench's: they go first.
rm -rf "$install/Images" "$install/qorsim.dll" "$install"/*.dat "$install"/*Log*.txt
"$WINE" cmd /c "$medium_win\\UninstallQor.cmd" </dev/null >"$work/uninstall.log" 2>&1
snapshot >"$work/after.txt"
diff "$work/before.txt" "$work/after.txt" >"$work/uninstall.diff" ||
    fail "the uninstallation left the prefix changed: $(cat "$work/uninstall.diff")"
echo "twain_e2e: the uninstallation left the prefix as it was"
