#!/usr/bin/env bash
# The silent-installation package in a fresh Wine prefix of its own: two versions are built from
# the suite; install (msiexec /i /qn), a repair after a file and a value went missing, an upgrade
# in place that keeps the values a technician set, a refused downgrade, and removal through the
# command the Windows list of programs runs, which keeps the images stored meanwhile and removes
# QOR APP's record of delivered images (an upgrade keeps it). Afterwards
# the prefix's files and the suite's registry keys must be as they were before.
#   msi_test.sh SOURCE_DIR BIN_DIR WORK_DIR
set -euo pipefail
src=$1 bin=$2 work=$3
state=$work/wine
failures=0
check() {  # check "what" command...: counts a failure instead of stopping
    local what=$1; shift
    if "$@"; then echo "ok: $what"; else echo "FAILED: $what" >&2; failures=$((failures + 1)); fi
}
rm -rf "$work" && mkdir -p "$work"
case "$(x86_64-w64-mingw32-objdump -f "$bin/Qor.dll" | sed -n 's/.*file format pei\?-//p')" in
    x86-64) arch=x64 twain=twain_64 ;;
    *) arch=x86 twain=twain_32 ;;
esac
make_msi() { python3 "$src/installer/msi/make-msi.py" --bin "$bin" --arch "$arch" --version "$1" --out "$work/QOR-$1.msi" 2>>"$work/make-msi.log"; }
make_msi 5.5.0 || { cat "$work/make-msi.log" >&2; exit 1; }
make_msi 5.5.1 || { cat "$work/make-msi.log" >&2; exit 1; }
# The real TWAIN source when it is built; the medium's list names it optional.
check "the package carries the TWAIN source" test -f "$bin/QORSRC.ds"

cleanup() { "$src/scripts/wine-harness.sh" stop "$state" >/dev/null 2>&1 || true; }
trap cleanup EXIT
"$src/scripts/wine-harness.sh" start "$state" "$bin/wine_warmup.exe" >/dev/null
# shellcheck disable=SC1091
. "$state/env"
export WINEDLLOVERRIDES="$WINEDLLOVERRIDES;sane.ds=n"
wine() { "$WINE" "$@" </dev/null 2>/dev/null | tr -d '\r'; }
msiexec() { "$WINE" msiexec "$@" </dev/null >/dev/null 2>&1; }
c=$WINEPREFIX/drive_c
wine reg delete 'HKLM\SOFTWARE\Halvex Imaging' /f >/dev/null || true  # the harness's seed
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'
snapshot() {  # drive C: (without profiles, temporary files and the installer's cache), suite keys
    (cd "$c" && find . -path ./users -prune -o -path ./windows/temp -prune \
        -o -path ./windows/Installer -prune -o -print | sort)
    (cd "$c/windows" && find "$twain" -type f -exec md5sum {} + 2>/dev/null | sort)
    wine reg query 'HKLM\SOFTWARE\Halvex Imaging' /s || true
    wine reg query 'HKLM\SOFTWARE\Halvex Imaging Corp.' /s || true
    wine reg query "$uninstall_key" /s | grep -E 'DisplayName|DisplayVersion' | sort || true
}
value() { wine reg query "$1" /v "$2" | awk -v name="$2" 'index($0, name) { sub(/^.*REG_[A-Z_]+[ \t]+/, ""); print; exit }'; }
type_of() { wine reg query "$1" /v "$2" | grep -o 'REG_[A-Z_]*' | head -1; }
key='HKLM\SOFTWARE\Halvex Imaging\QOR'
exposure_key='HKLM\SOFTWARE\Halvex Imaging Corp.\QOR CD\5.5.0'
target="$c/Program Files/Halvex Imaging/QOR"
# The entries of the Windows list of programs named "QOR driver suite": "version uninstall-command"
programs() {
    local k
    for k in $(wine reg query "$uninstall_key" | grep -o '{[0-9A-F-]*}'); do
        if [ "$(value "$uninstall_key\\$k" DisplayName)" = "QOR driver suite" ]; then
            echo "$(value "$uninstall_key\\$k" DisplayVersion) $(value "$uninstall_key\\$k" UninstallString)"
        fi
    done
}
snapshot >"$work/before.txt"

# Install.
msiexec /i "$(wine winepath -w "$work/QOR-5.5.0.msi")" /qn && rc=0 || rc=$?
check "msiexec /i /qn succeeds ($rc)" test "$rc" -eq 0
all_files=1
while IFS= read -r name; do
    [ -f "$target/$name" ] && cmp -s "$bin/$name" "$target/$name" || { echo "missing or different: $name" >&2; all_files=0; }
done < <(grep -E '^[^#]' "$src/installer/suite_files.txt" | sed -E 's/[[:space:]]+optional[[:space:]]*$//; s/[[:space:]]+$//' |
         while IFS= read -r n; do [ -f "$bin/$n" ] && echo "$n"; done)
check "every built file of the suite is in the installation folder" test "$all_files" -eq 1
check "InstalPath names the folder without a trailing backslash" \
    test "$(value "$key" InstalPath)" = 'C:\Program Files\Halvex Imaging\QOR'
check "LanguageID is REG_DWORD 1033" test "$(type_of "$key" LanguageID) $(value "$key" LanguageID)" = "REG_DWORD 0x409"
check "LogLevel is REG_DWORD 1" test "$(type_of "$key" LogLevel) $(value "$key" LogLevel)" = "REG_DWORD 0x1"
check "Exposure Level is REG_DWORD 1023" \
    test "$(type_of "$exposure_key" "Exposure Level") $(value "$exposure_key" "Exposure Level")" = "REG_DWORD 0x3ff"
check "the TWAIN source is where Wine's manager loads it" cmp -s "$bin/QORSRC.ds" "$c/windows/$twain/sane.ds"
check "the Windows place of the source is left alone under Wine" test ! -e "$c/windows/$twain/Halvex"
source_name=$(cd "$bin" && wine ./twain_probe.exe || true)
check "the TWAIN manager finds the source ($source_name)" grep -q "QOR SOURCE" <<<"$source_name"
check "the list of programs shows version 5.5.0" test "$(programs | cut -d' ' -f1)" = "5.5.0"

# Repair: a deleted library and value come back; a value a technician changed stays.
wine reg add "$key" /v LogLevel /t REG_DWORD /d 2 /f >/dev/null
wine reg add "$key" /v LanguageID /t REG_DWORD /d 1031 /f >/dev/null
rm "$target/Qor.dll"
wine reg delete "$key" /v InstalPath /f >/dev/null
# (Wine's msiexec does not implement /f; REINSTALL is the same repair on Windows and Wine.)
msiexec /i "$(wine winepath -w "$work/QOR-5.5.0.msi")" REINSTALL=ALL REINSTALLMODE=omus /qn && rc=0 || rc=$?
check "msiexec /i REINSTALL=ALL REINSTALLMODE=omus repairs ($rc)" test "$rc" -eq 0
check "the repair restores Qor.dll" cmp -s "$bin/Qor.dll" "$target/Qor.dll"
check "the repair restores InstalPath" test "$(value "$key" InstalPath)" = 'C:\Program Files\Halvex Imaging\QOR'
check "the repair keeps LogLevel 2" test "$(type_of "$key" LogLevel) $(value "$key" LogLevel)" = "REG_DWORD 0x2"

# Upgrade in place. QOR APP's record of delivered images (beside the images, and in the user's
# registry) is kept by an upgrade and goes with the removal.
mkdir -p "$target/Images" && printf '120000000.bmp 0000002A\r\n' >"$target/Images/Delivered Images.txt"
delivered_key='HKCU\SOFTWARE\Halvex Imaging\QOR\Delivered Images'
wine reg add "$delivered_key" /v 120000001.bmp /t REG_DWORD /d 42 /f >/dev/null
msiexec /i "$(wine winepath -w "$work/QOR-5.5.1.msi")" /qn && rc=0 || rc=$?
check "the newer package installs over the older ($rc)" test "$rc" -eq 0
check "the list of programs shows only version 5.5.1" test "$(programs | cut -d' ' -f1 | xargs)" = "5.5.1"
check "the upgrade keeps the files" cmp -s "$bin/Qor.dll" "$target/Qor.dll"
check "the upgrade keeps LogLevel 2 and LanguageID 1031" \
    test "$(value "$key" LogLevel) $(value "$key" LanguageID)" = "0x2 0x407"
check "the upgrade keeps the TWAIN source" cmp -s "$bin/QORSRC.ds" "$c/windows/$twain/sane.ds"
check "the upgrade keeps the record of delivered images" test -f "$target/Images/Delivered Images.txt"
check "the upgrade leaves no mark beside it" test ! -e "$target/Images/Delivered Images.upgrading"
check "the upgrade keeps the user's record of delivered images" \
    test "$(value "$delivered_key" 120000001.bmp)" = 0x2a
msiexec /i "$(wine winepath -w "$work/QOR-5.5.0.msi")" /qn && rc=0 || rc=$?
check "an older package is refused ($rc)" test "$rc" -ne 0
# Wine's installer may still be rolling the refused package back when msiexec returns: the list
# is read again for a while before it counts as changed.
for _ in $(seq 1 $((10 * ${QOR_TEST_TIME_SCALE:-1}))); do
    after_refusal=$(programs | cut -d' ' -f1 | xargs)
    [ "$after_refusal" = 5.5.1 ] && break
    sleep 1
done
check "after the refused downgrade 5.5.1 stays (the list shows: ${after_refusal:-nothing})" \
    test "$after_refusal" = "5.5.1"

# Removal as the list of programs runs it (its UninstallString), silently. An image the suite
# stored meanwhile stays, and with it its folders.
mkdir -p "$target/Images" && printf 'BM' >"$target/Images/120000000.bmp"
uninstall=$(programs | cut -d' ' -f2-)
check "the list of programs removes with msiexec ($uninstall)" grep -qi '^msiexec.exe /x{' <<<"$uninstall"
# shellcheck disable=SC2086
"$WINE" $uninstall /qn </dev/null >/dev/null 2>&1 && rc=0 || rc=$?
check "the removal succeeds ($rc)" test "$rc" -eq 0
check "the removal keeps the stored image" test -f "$target/Images/120000000.bmp"
check "the removal takes the record of delivered images" test ! -e "$target/Images/Delivered Images.txt"
left=$(wine reg query "$delivered_key" | grep -c 120000001.bmp || true)
check "the removal takes the user's record of delivered images ($left left)" test "$left" = 0
rm -r "$c/Program Files/Halvex Imaging"
snapshot >"$work/after.txt"
check "the prefix is as before the installation" diff "$work/before.txt" "$work/after.txt"
if [ "$failures" -ne 0 ]; then
    echo "msi_test: $failures check(s) failed; details in $work" >&2
    exit 1
fi
