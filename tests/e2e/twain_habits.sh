#!/usr/bin/env bash
# The TWAIN source as imaging programs meet it: the suite installed THROUGH ITS MEDIUM
# (DriverInstallation.cmd in a fresh Wine prefix of its own), then the project's TWAIN client
# started from a folder that holds nothing but the client, going through Wine's manager:
#   - the manager lists "QOR SOURCE" (the source loads without the suite's folder on the path);
#   - 200 opens and closes in one process with handles, threads and private bytes flat;
#   - the manager closed with the source open, then reopened: the source opens and enables again;
#   - MSG_ENABLEDS with ShowUI TRUE (window shown) and FALSE (none), each disabled again;
#   - Cancel pressed in the source's window: MSG_CLOSEDSREQ;
#   - the host-habit cases (a dropped session, unloading while enabled, MSG_PROCESSEVENT with
#     another DAT) against the installed source, from a folder of their own;
#   - a short run of the triplet fuzzer against the installed source.
# Usage: twain_habits.sh SOURCE_DIR BIN_DIR WORK_DIR   (BIN_DIR/../medium: the build's medium)
#   QOR_HABITS_SOURCE=FILE  puts FILE on the medium as QORSRC.ds (to try another build of the
#                           source, for example an older one).
set -euo pipefail
src=$1 bin=$2 work=$3
state=$work/wine
failures=0
check() {  # check "what" command...: counts a failure instead of stopping
    local what=$1; shift
    if "$@"; then echo "ok: $what"; else echo "FAILED: $what" >&2; failures=$((failures + 1)); fi
}

rm -rf "$work"
mkdir -p "$work/out"
# The medium the build made (target installation_medium), copied: the copy may get another source.
made="$bin/../medium/QOR Medium"
cmp -s "$bin/QORSRC.ds" "$made/Files/QORSRC.ds" ||
    { echo "twain_habits: $made is missing or older than the build: cmake --build <build dir> --target installation_medium" >&2; exit 1; }
cp -r "$made" "$work/"
medium="$work/QOR Medium"
[ -f "$medium/Files/QORSRC.ds" ] || { echo "twain_habits: the medium lacks QORSRC.ds; build the source" >&2; exit 1; }
[ -z "${QOR_HABITS_SOURCE:-}" ] || cp "$QOR_HABITS_SOURCE" "$medium/Files/QORSRC.ds"

# Each program in a folder of its own: nothing of the suite beside it.
for program in twain_client qorsrc_host_habits_tests qorsrc_triplet_fuzz; do
    mkdir -p "$work/$program"
    cp "$bin/$program.exe" "$work/$program/"
done

cleanup() { "$src/scripts/wine-harness.sh" stop "$state" >/dev/null 2>&1 || true; }
trap cleanup EXIT
"$src/scripts/wine-harness.sh" start "$state" "$bin/wine_warmup.exe" >/dev/null
# shellcheck disable=SC1091
. "$state/env"
export WINEDLLOVERRIDES="$WINEDLLOVERRIDES;sane.ds=n"
wine() { "$WINE" "$@" </dev/null 2>/dev/null | tr -d '\r'; }
c=$WINEPREFIX/drive_c
# Wine's manager of the build's pointer width looks in its own folder.
twain=$([ "${QOR_WINE_ARCH:-win64}" = win32 ] && echo twain_32 || echo twain_64)
# A machine that never saw QOR: the harness's own seed of the key goes.
wine reg delete 'HKLM\SOFTWARE\Halvex Imaging' /f >/dev/null || true
wine cmd /c "$(wine winepath -w "$medium")\\DriverInstallation.cmd" >"$work/install.log"
check "the medium installed the TWAIN source for Wine's manager" test -f "$c/windows/$twain/sane.ds"
if [ -f "$c/qor/result.txt" ]; then
    echo "twain_habits: the installation reported:"; tr -d '\r' <"$c/qor/result.txt"
fi
installed_source="C:\\windows\\$twain\\sane.ds"

run() {  # run PROGRAM ARGS...: from the program's own folder
    # Output through a file, not a pipe: QOR APP, which the source starts, inherits the
    # program's standard handles and would keep a pipe open for as long as it runs.
    local program=$1 status=0; shift
    (cd "$work/$program" && "$WINE" "./$program.exe" "$@" </dev/null >"$work/out/$program.stdout" \
        2>>"$work/out/$program.err") || status=$?
    tr -d '\r' <"$work/out/$program.stdout"
    return "$status"
}
client() { run twain_client "$@"; }

client list >"$work/out/list.json" || true
check "Wine's manager lists \"QOR SOURCE\" to a program started outside the suite's folder" \
    grep -q '"product": "QOR SOURCE"' "$work/out/list.json"

check "200 opens and closes in one process" client cycles --count 200 --sample-every 20 --json "$work/out/cycles.json"
flat() {
    python3 - "$work/out/cycles.json" <<'PY'
import json, sys
s = json.load(open(sys.argv[1]))
samples = s["samples"]
# From the 20th cycle on: the first cycles load the source and the manager's own state.
base = next((x for x in samples if x["cycle"] >= 20), None)
if base is None:
    sys.exit("no samples after the 20th cycle: the cycles did not run")
last = samples[-1]
print("cycles %d..%d: next handle value %d -> %d, threads %d -> %d, committed private bytes %d -> %d, windows %d -> %d" % (
    base["cycle"], last["cycle"], base["nextHandle"], last["nextHandle"], base["threads"], last["threads"],
    base["privateBytes"], last["privateBytes"], base["windows"], last["windows"]))
# A leak per cycle (a handle, a window, a table, a thread) grows by 180 units over these cycles;
# a few handles or 256 KiB of heap the process settles into are no leak.
ok = (last["nextHandle"] - base["nextHandle"] <= 4 * 4 and last["threads"] <= base["threads"] and
      last["windows"] <= base["windows"] and last["privateBytes"] - base["privateBytes"] <= 256 * 1024)
sys.exit(0 if ok else 1)
PY
}
[ -s "$work/out/cycles.json" ] && check "handles, threads, windows and private bytes stay flat over the cycles" flat

check "the manager closed with the source open and reopened: the source opens and enables again" \
    client reopen --json "$work/out/reopen.json"
check "MSG_ENABLEDS with ShowUI FALSE shows no window" client enable --show-ui 0 --json "$work/out/enable0.json"
check "MSG_ENABLEDS with ShowUI TRUE shows the source's window" client enable --show-ui 1 --json "$work/out/enable1.json"
check "Cancel in the source's window sends MSG_CLOSEDSREQ" client cancel --timeout-ms $((20000 * ${QOR_TEST_TIME_SCALE:-1})) --json "$work/out/cancel.json"
wine taskkill /f /im "QOR APP.exe" >/dev/null || true
# The last session's log (the source writes it beside itself): the language table and Orbel
# were found through "InstalPath".
source_log=$c/windows/$twain/QorSrcLog.txt
check "the source found Orbel.dll and Language.ini in the installation folder" \
    bash -c '[ -f "$1" ] && ! grep -Eq "CLanguage::Init failed|LoadSuiteLibrary|SuiteFolder" "$1"' _ "$source_log"

export QOR_SOURCE_UNDER_TEST=$installed_source
run qorsrc_host_habits_tests >"$work/out/host_habits.log" 2>&1 || true
check "host habits against the installed source (a dropped session, unload while enabled, PROCESSEVENT)" \
    grep -q '^\[  PASSED  \] 3 tests' "$work/out/host_habits.log"
run qorsrc_triplet_fuzz --sequences "${QOR_FUZZ_SEQUENCES:-40}" --seed 1 >"$work/out/fuzz.log" 2>&1 || true
check "the triplet fuzzer finds the installed source consistent with its state table" \
    grep -q '^qorsrc_triplet_fuzz: .*: consistent$' "$work/out/fuzz.log"
wine taskkill /f /im "QOR APP.exe" >/dev/null || true

cleanup
trap - EXIT
if [ "$failures" -ne 0 ]; then
    echo "$failures checks failed; the medium, the programs' folders and their output are in $work" >&2
    tail -n 20 "$work"/out/*.err "$work/out/host_habits.log" "$work/out/fuzz.log" 2>/dev/null >&2 || true
    exit 1
fi
echo "twain_habits: every check passed"
