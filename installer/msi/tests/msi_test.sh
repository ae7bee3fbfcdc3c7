#!/usr/bin/env bash
# The silent-installation package in a fresh Wine prefix of its own: two versions are built from
# the suite; install (msiexec /i /qn), a repair after a file and a value went missing, an upgrade
# in place that keeps the values a technician set, a refused downgrade, and removal through the
# command the Windows list of programs runs, which keeps the images stored meanwhile and removes
# QOR APP's record of delivered images (an upgrade keeps it). Afterwards
# the prefix's files and the suite's registry keys must be as they were before.
# From an x86_64 build (a machine that runs no 32-bit code) the package is the x64 one for 64-bit
# Windows, with the build's own files in the 32-bit suite's place: both TWAIN sources (twain_32,
# and twain_64 from the "x64" folder) and both registry views are checked, the 64-bit source is
# loaded. From an i686 build it is the x86 package.
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
# The TWAIN sources ("folder file", the file relative to BIN_DIR) and the registry views.
case "$(x86_64-w64-mingw32-objdump -f "$bin/Qor.dll" | sed -n 's/.*file format pei\?-//p')" in
    x86-64) arch=x64 x64_args=(--x64-bin "$bin") twain_table=$'twain_32 QORSRC.ds\ntwain_64 QORSRC.ds' views=(32 64) ;;
    *) arch=x86 x64_args=() twain_table='twain_32 QORSRC.ds' views=(native) ;;
esac
view_flag() { [ "$1" = native ] || echo "/reg:$1"; }
# The list of programs' icon and help file, as the build's msi target passes them.
help_pdf=$work/InstallationInstructions.pdf
groff -ms -Tpdf "$src/installer/InstallationInstructions.ms" >"$help_pdf"
make_msi() { python3 "$src/installer/msi/make-msi.py" --bin "$bin" --arch "$arch" "${x64_args[@]}" --version "$1" \
    --icon "$bin/../icons/qor_app.ico" --help-file "$help_pdf" --out "$work/QOR-$1.msi" 2>>"$work/make-msi.log"; }
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
    local view
    (cd "$c" && find . -path ./users -prune -o -path ./windows/temp -prune \
        -o -path ./windows/Installer -prune -o -print | sort)
    (cd "$c/windows" && find twain_32 twain_64 -type f -exec md5sum {} + 2>/dev/null | sort) || true
    for view in "${views[@]}"; do
        # shellcheck disable=SC2046
        wine reg query 'HKLM\SOFTWARE\Halvex Imaging' /s $(view_flag "$view") || true
        # shellcheck disable=SC2046
        wine reg query 'HKLM\SOFTWARE\Halvex Imaging Corp.' /s $(view_flag "$view") || true
        # shellcheck disable=SC2046
        wine reg query 'HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Run' $(view_flag "$view") |
            grep -F 'QOR APP' || true
    done
    wine reg query "$uninstall_key" /s | grep -E 'DisplayName|DisplayVersion' | sort || true
}
value() {  # value KEY NAME [VIEW]
    # shellcheck disable=SC2046
    wine reg query "$1" /v "$2" $(view_flag "${3:-native}") |
        awk -v name="$2" 'index($0, name) { sub(/^.*REG_[A-Z_]+[ \t]+/, ""); print; exit }'
}
type_of() {  # type_of KEY NAME [VIEW]
    # shellcheck disable=SC2046
    wine reg query "$1" /v "$2" $(view_flag "${3:-native}") | grep -o 'REG_[A-Z_]*' | head -1
}
key='HKLM\SOFTWARE\Halvex Imaging\QOR'
exposure_key='HKLM\SOFTWARE\Halvex Imaging Corp.\QOR CD\5.5.0'
# The suite's folder: the 32-bit Program Files folder of a 64-bit Windows for the x64 package.
programs_folder='Program Files'
[ "$arch" = x64 ] && programs_folder='Program Files (x86)'
target="$c/$programs_folder/Halvex Imaging/QOR"
# Every (view, value): "REG_DWORD 0x..." for each view, as one line.
values_of() {  # values_of NAME...: "type value" of each named value of the suite's key in each view
    local view name
    for view in "${views[@]}"; do
        for name in "$@"; do printf '%s %s;' "$(type_of "$key" "$name" "$view")" "$(value "$key" "$name" "$view")"; done
    done
}
# The key of the suite's entry in the Windows list of programs.
program_key() {
    local k
    for k in $(wine reg query "$uninstall_key" | grep -o '{[0-9A-F-]*}'); do
        [ "$(value "$uninstall_key\\$k" DisplayName)" = "QOR driver suite" ] && echo "$uninstall_key\\$k"
    done
}
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
if [ "$arch" = x64 ]; then
    all_parts=1
    while IFS= read -r name; do
        cmp -s "$bin/$name" "$target/x64/$name" || { echo "missing or different: x64\\$name" >&2; all_parts=0; }
    done < <(sed -nE 's/^x64\\([^[:space:]]+).*/\1/p' "$src/installer/suite_files.txt")
    check "the 64-bit source and its libraries are in the x64 folder" test "$all_parts" -eq 1
fi
for view in "${views[@]}"; do
    check "[$view] InstalPath names the installation folder" \
        test "$(value "$key" InstalPath "$view")" = "C:\\$programs_folder\\Halvex Imaging\\QOR\\"
    check "[$view] Exposure Level is REG_DWORD 1023" \
        test "$(type_of "$exposure_key" "Exposure Level" "$view") $(value "$exposure_key" "Exposure Level" "$view")" = "REG_DWORD 0x3ff"
done
check "LanguageID REG_DWORD 1033, LogLevel REG_DWORD 1 in each view" \
    test "$(values_of LanguageID LogLevel)" = "$(for _ in "${views[@]}"; do printf 'REG_DWORD 0x409;REG_DWORD 0x1;'; done)"
while read -r folder file; do
    check "the source $file is in $folder, where Wine's manager loads it" cmp -s "$bin/$file" "$c/windows/$folder/sane.ds"
    check "the Windows place of the source in $folder is left alone under Wine" test ! -e "$c/windows/$folder/Halvex"
done <<<"$twain_table"
source_name=$(cd "$bin" && wine ./twain_probe.exe || true)
check "the TWAIN manager finds the source ($source_name)" grep -q "QOR SOURCE" <<<"$source_name"
check "the list of programs shows version 5.5.0" test "$(programs | cut -d' ' -f1)" = "5.5.0"
run_key='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Run'
check "QOR APP starts at log-on (the Run key of 32-bit programs)" \
    test "$(value "$run_key" "QOR APP" "${views[0]}")" = "\"C:\\$programs_folder\\Halvex Imaging\\QOR\\QOR APP.exe\""
check "the images folder is there for the practice's users" test -d "$target/Images"
entry=$(program_key)
check "the list of programs names whom to call" \
    test "$(value "$entry" Contact)|$(value "$entry" HelpTelephone)" = \
         "Halvex Imaging Technical Support, 1-800-555-0142|1-800-555-0142"
help_link=$(value "$entry" HelpLink)
check "its help link opens the installed instructions ($help_link)" \
    test "$help_link" = "C:\\$programs_folder\\Halvex Imaging\\QOR\\InstallationInstructions.pdf" -a -s "$target/InstallationInstructions.pdf"
# Wine's installer publishes neither size nor icon; Windows' takes them from the package.
package_property() { msiinfo export "$work/QOR-5.5.0.msi" Property | tr -d '\r' | awk -v p="$1" '$1 == p { print $2 }'; }
check "the package gives the suite's size ($(package_property ARPSIZE) KB)" test "$(package_property ARPSIZE)" -gt 1000
check "the package carries QOR APP's icon for the list" \
    bash -c "[ '$(package_property ARPPRODUCTICON)' = QorApp.ico ] && msiinfo export '$work/QOR-5.5.0.msi' Icon | grep -q QorApp.ico"

# Repair: a deleted library and value come back; a value a technician changed stays.
# (In the view the 32-bit suite reads: the package keeps what it finds there, in every view.)
suite_view=$(view_flag "${views[0]}")
wine reg add "$key" /v LogLevel /t REG_DWORD /d 2 /f $suite_view >/dev/null
wine reg add "$key" /v LanguageID /t REG_DWORD /d 1031 /f $suite_view >/dev/null
rm "$target/Qor.dll"
wine reg delete "$key" /v InstalPath /f $suite_view >/dev/null
# (Wine's msiexec does not implement /f; REINSTALL is the same repair on Windows and Wine.)
msiexec /i "$(wine winepath -w "$work/QOR-5.5.0.msi")" REINSTALL=ALL REINSTALLMODE=omus /qn && rc=0 || rc=$?
check "msiexec /i REINSTALL=ALL REINSTALLMODE=omus repairs ($rc)" test "$rc" -eq 0
check "the repair restores Qor.dll" cmp -s "$bin/Qor.dll" "$target/Qor.dll"
check "the repair restores InstalPath" test "$(value "$key" InstalPath "${views[0]}")" = "C:\\$programs_folder\\Halvex Imaging\\QOR\\"
check "the repair keeps LogLevel 2 in each view" \
    test "$(values_of LogLevel)" = "$(for _ in "${views[@]}"; do printf 'REG_DWORD 0x2;'; done)"

# Upgrade in place. QOR APP's record of delivered images (beside the images, and in the user's
# registry) is kept by an upgrade and goes with the removal.
mkdir -p "$target/Images" && printf '120000000.bmp 0000002A\r\n' >"$target/Images/Delivered Images.txt"
delivered_key='HKCU\SOFTWARE\Halvex Imaging\QOR\Delivered Images'
wine reg add "$delivered_key" /v 120000001.bmp /t REG_DWORD /d 42 /f >/dev/null
msiexec /i "$(wine winepath -w "$work/QOR-5.5.1.msi")" /qn && rc=0 || rc=$?
check "the newer package installs over the older ($rc)" test "$rc" -eq 0
check "the list of programs shows only version 5.5.1" test "$(programs | cut -d' ' -f1 | xargs)" = "5.5.1"
check "the upgrade keeps the files" cmp -s "$bin/Qor.dll" "$target/Qor.dll"
check "the upgrade keeps LogLevel 2 and LanguageID 1031 in each view" \
    test "$(values_of LogLevel LanguageID)" = "$(for _ in "${views[@]}"; do printf 'REG_DWORD 0x2;REG_DWORD 0x407;'; done)"
while read -r folder file; do
    check "the upgrade keeps the TWAIN source in $folder" cmp -s "$bin/$file" "$c/windows/$folder/sane.ds"
done <<<"$twain_table"
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
# QOR APP runs, as in a practice: the removal ends it first (as its "Exit QOR" does) and then
# takes every file, QOR APP.exe and the libraries it holds among them.
check "the package installed qorctl.exe" test -f "$target/qorctl.exe"
# Every line of its log, so that its orderly exit shows.
for view in "${views[@]}"; do
    # shellcheck disable=SC2046
    wine reg add "$key" /v LogLevel /t REG_DWORD /d 0 /f $(view_flag "$view") >/dev/null
done
(cd "$target" && "$WINE" "./QOR APP.exe" </dev/null >/dev/null 2>&1) &
app_pid=$!
sleep $((4 * ${QOR_TEST_TIME_SCALE:-1}))
check "QOR APP runs before the removal" kill -0 "$app_pid"
# shellcheck disable=SC2086
"$WINE" $uninstall /qn </dev/null >/dev/null 2>&1 && rc=0 || rc=$?
check "the removal succeeds ($rc)" test "$rc" -eq 0
for _ in $(seq 1 $((20 * ${QOR_TEST_TIME_SCALE:-1}))); do kill -0 "$app_pid" 2>/dev/null || break; sleep 1; done
check "the removal ended QOR APP" bash -c "! kill -0 $app_pid 2>/dev/null"
check "QOR APP ended as \"Exit QOR\" does (its log)" grep -q 'OnExitqor' "$target/QorAPPLog.txt"
for file in "QOR APP.exe" Qor.dll qorimg.dll Orbel.dll german.dll qorctl.exe; do
    check "the removal took $file although QOR APP ran" test ! -e "$target/$file"
done
check "the removal keeps the stored image" test -f "$target/Images/120000000.bmp"
check "the removal takes the record of delivered images" test ! -e "$target/Images/Delivered Images.txt"
left=$(wine reg query "$delivered_key" | grep -c 120000001.bmp || true)
check "the removal takes the user's record of delivered images ($left left)" test "$left" = 0
rm -r "$c/$programs_folder/Halvex Imaging"
snapshot >"$work/after.txt"
check "the prefix is as before the installation" diff "$work/before.txt" "$work/after.txt"
# An installation folder of the administrator's choosing, inside a folder of the practice's own,
# without the start at log-on: the suite goes there and names it; its removal leaves the
# practice's folder as it was.
mkdir -p "$c/Dental"
msiexec /i "$(wine winepath -w "$work/QOR-5.5.1.msi")" /qn 'INSTALLFOLDER=C:\Dental\QOR' STARTATLOGON=0 && rc=0 || rc=$?
check "msiexec /i INSTALLFOLDER=C:\\Dental\\QOR succeeds ($rc)" test "$rc" -eq 0
check "the suite is in the chosen folder" cmp -s "$bin/Qor.dll" "$c/Dental/QOR/Qor.dll"
check "the default folder stays unused" test ! -e "$target"
check "STARTATLOGON=0: QOR APP does not start at log-on" test -z "$(value "$run_key" "QOR APP" "${views[0]}")"
check "InstalPath names the chosen folder" test "$(value "$key" InstalPath "${views[0]}")" = 'C:\Dental\QOR\'
uninstall=$(programs | cut -d' ' -f2-)
# shellcheck disable=SC2086
"$WINE" $uninstall /qn </dev/null >/dev/null 2>&1 && rc=0 || rc=$?
check "its removal succeeds ($rc) and takes the chosen folder" test "$rc" -eq 0 -a ! -e "$c/Dental/QOR"
check "the practice's own folder stays" test -d "$c/Dental"
if [ "$failures" -ne 0 ]; then
    echo "msi_test: $failures check(s) failed; details in $work" >&2
    exit 1
fi
