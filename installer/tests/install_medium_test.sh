#!/usr/bin/env bash
# The installation medium in a fresh Wine prefix of its own: the medium the build made (target
# installation_medium) is copied, installed (from a folder with a blank in its name into one with
# blanks), checked (files, registry values, the record, the TWAIN manager's view, QOR APP started
# from "InstalPath"), installed a second time, then removed; afterwards the prefix's files and
# registry must be as they were before. Then the same into and from folders whose names hold
# & ! ^ ( ) and letters beyond ASCII. The prefix's architecture follows QOR_WINE_ARCH (see
# scripts/wine-harness.sh): in a 64-bit prefix both TWAIN sources are installed (twain_32 and,
# from the medium's "x64" files, twain_64) and the registry values in both views; in a 32-bit
# one the "x64" files are left out.
#   install_medium_test.sh SOURCE_DIR BIN_DIR WORK_DIR MEDIUM_DIR [X64_BIN_DIR]
# (MEDIUM_DIR holds "QOR Medium" and its zip, made from BIN_DIR; the test guest has no groff, so
# the medium is made where the suite is built.) X64_BIN_DIR is an x86_64 build's bin folder: its
# twain_probe.exe asks Wine's 64-bit manager too; when the medium has no "x64" files (the x86_64
# build's own medium, on a machine that runs no 32-bit code) they are added from there, and the
# test's placeholder stands in for the 32-bit source.
set -euo pipefail
# Wine turns the arguments and environment into Windows text by the locale.
export LC_ALL=C.UTF-8
src=$1 bin=$2 work=$3 made=$4 x64bin=${5:-}
arch=${QOR_WINE_ARCH:-win64}
# QOR_WINE_SCRATCH may name a faster folder for the private prefix (the guest's memory disk).
# (One per prefix architecture: the guest runs the 32-bit and the 64-bit prefix's test at once.)
state=${QOR_WINE_SCRATCH:-$work}/install-medium-wine-${QOR_WINE_ARCH:-win64}
failures=0
check() {  # check "what" command...: counts a failure instead of stopping
    local what=$1; shift
    if "$@"; then echo "ok: $what"; else echo "FAILED: $what" >&2; failures=$((failures + 1)); fi
}

rm -rf "$work" "$state"
mkdir -p "$work"
cmp -s "$bin/Qor.dll" "$made/QOR Medium/Files/Qor.dll" || {
    echo "install_medium_test: $made is missing or older than the build: cmake --build <build dir> --target installation_medium" >&2
    exit 1
}
cp -r "$made/QOR Medium" "$work/"
medium="$work/QOR Medium"
check "the medium's zip holds the folder" test -s "$made/QOR Medium.zip"
check "the instructions are a PDF" grep -q '^%PDF-' "$medium/InstallationInstructions.pdf"
pe_width() {  # 32 or 64: the pointer width a Windows program is built for (its PE machine field)
    local pe
    pe=$(od -An -tu4 -j60 -N4 "$1" | tr -d ' ')
    [ "$(od -An -tu2 -j$((pe + 4)) -N2 "$1" | tr -d ' ')" = 34404 ] && echo 64 || echo 32
}
# The real TWAIN source when it is built, otherwise the test's placeholder.
if [ ! -f "$medium/Files/QORSRC.ds" ]; then
    cp "$bin/qorsrc_placeholder.ds" "$medium/Files/QORSRC.ds"
    printf 'twain_%s\r\n' "$(pe_width "$medium/Files/QORSRC.ds")" >"$medium/Files/TwainFolder.txt"
fi
check "the medium names the TWAIN folder of its source's pointer width" \
    grep -qx "twain_$(pe_width "$medium/Files/QORSRC.ds")"$'\r' "$medium/Files/TwainFolder.txt"
if [ -d "$medium/Files/x64" ]; then
    check "the medium's x64 source is a 64-bit library" test "$(pe_width "$medium/Files/x64/QORSRC.ds")" = 64
elif [ "$arch" = win64 ] && [ -n "$x64bin" ]; then
    # Both widths on a machine that runs 64-bit code only: the x86_64 build's parts as the
    # medium's "x64" files, the placeholder in the 32-bit source's place.
    mkdir "$medium/Files/x64"
    while IFS= read -r name; do
        cp "$x64bin/${name#x64\\}" "$medium/Files/x64/"
        printf '%s\r\n' "$name" >>"$medium/Files/suite_files.txt"
    done < <(sed -nE 's/^(x64\\[^[:space:]]+).*/\1/p' "$src/installer/suite_files.txt")
    cp "$bin/qorsrc_placeholder.ds" "$medium/Files/QORSRC.ds"
    printf 'twain_32\r\n' >"$medium/Files/TwainFolder.txt"
fi
# What goes where: "Files/NAME" of the medium into the installation folder; the 64-bit parts
# ("x64\NAME") only into a 64-bit Windows.
installed_names() {
    local name
    while IFS= read -r name; do
        name=${name%$'\r'}
        [[ "$name" == 'x64\'* ]] && [ "$arch" != win64 ] && continue
        echo "${name//\\//}"
    done <"$medium/Files/suite_files.txt"
}
# The TWAIN sources: "folder file-on-the-medium", one a line.
twain_table=$(
    echo "$(tr -d '\r' <"$medium/Files/TwainFolder.txt") QORSRC.ds"
    [ "$arch" = win64 ] && [ -f "$medium/Files/x64/QORSRC.ds" ] && echo "twain_64 x64/QORSRC.ds"
    true
)
# The registry views the installation writes: both on a 64-bit Windows.
views=(native)
[ "$arch" = win64 ] && views=(32 64)
view_flag() { [ "$1" = native ] || echo "/reg:$1"; }

cleanup() {
    "$src/scripts/wine-harness.sh" stop "$state" >/dev/null 2>&1 || true
    # A prefix on the scratch folder goes (the guest's disk is small); one in WORK_DIR stays.
    [ -z "${QOR_WINE_SCRATCH:-}" ] || rm -rf "$state"
}
trap cleanup EXIT
"$src/scripts/wine-harness.sh" start "$state" "$bin/wine_warmup.exe" >/dev/null
# shellcheck disable=SC1091
. "$state/env"
export WINEDLLOVERRIDES="$WINEDLLOVERRIDES;sane.ds=n"
wine() { "$WINE" "$@" </dev/null 2>/dev/null | tr -d '\r'; }
c=$WINEPREFIX/drive_c
# A machine that never saw QOR: the harness's own seed of the key goes.
wine reg delete 'HKLM\SOFTWARE\Halvex Imaging' /f >/dev/null || true

snapshot() {  # files of drive C: (without profiles and temporary files) and the suite's keys
    local view
    (cd "$c" && find . -path ./users -prune -o -path ./windows/temp -prune -o -print | sort)
    for view in "${views[@]}"; do
        # shellcheck disable=SC2046
        wine reg query 'HKLM\SOFTWARE\Halvex Imaging' /s $(view_flag "$view") || true
        # shellcheck disable=SC2046
        wine reg query 'HKLM\SOFTWARE\Halvex Imaging Corp.' /s $(view_flag "$view") || true
        # shellcheck disable=SC2046
        wine reg query "$run_key" $(view_flag "$view") | grep -F 'QOR APP' || true
    done
}
run_key='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Run'
# The view of 32-bit programs, where the installation lets QOR APP start at log-on.
run_view=${views[0]}
# The folder of 32-bit programs, whichever width of cmd installs.
programs_folder='Program Files'
[ "$arch" = win64 ] && programs_folder='Program Files (x86)'
# A medium without the driver library: a clear reason in the result file, nothing installed.
broken="$work/Broken Medium"
cp -r "$medium" "$broken"
rm "$broken/Files/Qor.dll"
wine cmd /c "$(wine winepath -w "$broken")\\DriverInstallation.cmd" >/dev/null
check "an incomplete medium is reported" grep -q "The installation medium is incomplete: .*Qor.dll" "$c/qor/result.txt"
check "an incomplete medium installs nothing" test ! -e "$c/$programs_folder/Halvex Imaging"
rm -rf "$broken" "$c/qor/result.txt"  # seen; the next installation replaces it anyway

snapshot >"$work/before.txt"

medium_win=$(wine winepath -w "$medium")
install() { wine cmd /c "$medium_win\\DriverInstallation.cmd" >"$work/install.log"; }
target="$c/$programs_folder/Halvex Imaging/QOR"
key='HKLM\SOFTWARE\Halvex Imaging\QOR'
value() {  # value KEY NAME [VIEW]
    # shellcheck disable=SC2046
    wine reg query "$1" /v "$2" $(view_flag "${3:-native}") |
        awk -v name="$2" '$1 == name || index($0, name) { sub(/^.*REG_[A-Z_]+[ \t]+/, ""); print; exit }'
}
# Windows XP (NT 5.1) is refused with a reason, before anything changes.
nt_key='HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion'
nt_version=$(wine reg query "$nt_key" /v CurrentVersion | awk '$1 == "CurrentVersion" { print $3 }')
for view in "${views[@]}"; do
    # shellcheck disable=SC2046
    wine reg add "$nt_key" /v CurrentVersion /t REG_SZ /d 5.1 /f $(view_flag "$view") >/dev/null
done
wine cmd /c "$(wine winepath -w "$medium")\\DriverInstallation.cmd" >/dev/null
check "Windows XP is refused with a reason" grep -q "needs Windows Vista or newer; this computer runs Windows NT 5.1. Nothing was installed" "$c/qor/result.txt"
check "Windows XP gets nothing installed" test ! -e "$c/$programs_folder/Halvex Imaging"
for view in "${views[@]}"; do
    # shellcheck disable=SC2046
    wine reg add "$nt_key" /v CurrentVersion /t REG_SZ /d "$nt_version" /f $(view_flag "$view") >/dev/null
done
rm -f "$c/qor/result.txt"

# The first installation as a person makes it: the welcome screen's button.
(cd "$bin" && QOR_TEST_ARTEFACTS=${QOR_TEST_ARTEFACTS:-$work/artefacts} \
    "$WINE" ./welcome_install_robot.exe "$medium_win" </dev/null 2>"$work/robot.err" | tr -d '\r' \
    >"$work/robot.out") || true
check "the welcome screen ran the installation" test -f "$target/InstalledItems.txt"
# Only files the medium lacks may be reported; each of them with its own line.
expected_result=""
while IFS= read -r name; do
    [ -f "$medium/Files/$name" ] || expected_result+="${name//\//\\} is missing on the installation medium: the part of QOR it belongs to will not work. Use a complete installation medium."$'\n'
done < <(installed_names)
actual_result=$(tr -d '\r' 2>/dev/null <"$c/qor/result.txt" || true)
check "the result file names exactly the files the medium lacks" \
    test "$actual_result" = "${expected_result%$'\n'}"
if [ -n "$expected_result" ]; then
    # The box shows the result text; its lines are joined here as the robot printed them.
    check "the welcome screen showed the result" grep -q "^box: .*is missing on the installation medium" "$work/robot.out"
else
    check "the welcome screen showed no box" grep -qx "no box" "$work/robot.out"
fi
while IFS= read -r name; do
    [ -f "$medium/Files/$name" ] || continue
    check "$name installed" cmp -s "$medium/Files/$name" "$target/$name"
done < <(installed_names)
[ "$arch" = win64 ] || check "a 32-bit Windows gets no 64-bit parts" test ! -e "$target/x64"
for view in "${views[@]}"; do
    check "[$view] InstalPath names the installation folder" \
        test "$(value "$key" InstalPath "$view")" = "C:\\$programs_folder\\Halvex Imaging\\QOR"
    check "[$view] LanguageID 1033, LogLevel 1, Exposure Level 1023" \
        test "$(value "$key" LanguageID "$view") $(value "$key" LogLevel "$view") $(value 'HKLM\SOFTWARE\Halvex Imaging Corp.\QOR CD\5.5.0' 'Exposure Level' "$view")" = "0x409 0x1 0x3ff"
done
check "QOR APP starts at log-on (the Run key of 32-bit programs)" \
    test "$(value "$run_key" "QOR APP" "$run_view")" = "\"C:\\$programs_folder\\Halvex Imaging\\QOR\\QOR APP.exe\""
check "the images folder is there for the practice's users" test -d "$target/Images"
# Wine's manager loads "sane.ds" from twain_32 for 32-bit programs, from twain_64 for 64-bit ones.
while read -r folder file; do
    check "the source $file is in $folder, where Wine's manager loads it" \
        cmp -s "$medium/Files/$file" "$c/windows/$folder/sane.ds"
done <<<"$twain_table"
grep -q twain_64 <<<"$twain_table" || check "no source of ours in twain_64" test ! -e "$c/windows/twain_64/sane.ds"
# Each width's manager finds its source: the build's own probe, and the x86_64 build's.
probes=("$bin/twain_probe.exe")
[ -n "$x64bin" ] && [ "$x64bin" != "$bin" ] && probes+=("$x64bin/twain_probe.exe")
for probe in "${probes[@]}"; do
    # From a folder of its own (the test guest runs no program from its shared folder).
    mkdir -p "$work/probe" && cp "$probe" "$work/probe/"
    source_name=$(cd "$work/probe" && wine ./twain_probe.exe || true)
    rm -r "$work/probe"
    # The real source names itself "QOR SOURCE"; a build without it installs a placeholder.
    check "the $(pe_width "$probe")-bit TWAIN manager finds the source ($source_name)" \
        grep -Eq "QOR SOURCE|QORSRC placeholder" <<<"$source_name"
done
cp "$target/InstalledItems.txt" "$work/items-first.txt"

# QOR APP started from the installation folder, as the TWAIN source starts it.
if [ -f "$target/QOR APP.exe" ]; then
    (cd "$target" && "$WINE" "./QOR APP.exe" </dev/null >/dev/null 2>&1 &)
    for _ in $(seq 1 $((150 * ${QOR_TEST_TIME_SCALE:-1}))); do [ -f "$target/QorAPPLog.txt" ] && break; sleep 0.1; done
    check "QOR APP starts from InstalPath and writes its log there" test -f "$target/QorAPPLog.txt"
    wine taskkill /f /im "QOR APP.exe" >/dev/null || true
    sleep 1
    rm -rf "$target/QorAPPLog.txt" "$target/Images"  # what the program itself wrote
fi

# A technician's setting survives a second installation; nothing is recorded twice.
wine reg add "$key" /v LogLevel /t REG_DWORD /d 2 /f >/dev/null
install
check "a second installation reports the same" \
    test "$(tr -d '\r' 2>/dev/null <"$c/qor/result.txt" || true)" = "${expected_result%$'\n'}"
check "a second installation keeps LogLevel" test "$(value "$key" LogLevel)" = 0x2
check "a second installation adds nothing to the record" \
    cmp -s "$work/items-first.txt" "$target/InstalledItems.txt"

# An image QOR APP stored and its record of delivered images (beside the images, and in the
# user's registry): the uninstallation keeps the image and takes the record.
mkdir -p "$target/Images"
printf 'BM' >"$target/Images/120000000.bmp"
printf '120000001.bmp 0000002A\r\n' >"$target/Images/Delivered Images.txt"
delivered_key='HKCU\SOFTWARE\Halvex Imaging\QOR\Delivered Images'
wine reg add "$delivered_key" /v 120000001.bmp /t REG_DWORD /d 42 /f >/dev/null
wine cmd /c "$medium_win\\UninstallQor.cmd" >"$work/uninstall.log"
check "uninstall keeps the stored image" test -f "$target/Images/120000000.bmp"
check "uninstall takes the record of delivered images" test ! -e "$target/Images/Delivered Images.txt"
left=$(wine reg query "$delivered_key" | grep -c 120000001.bmp || true)
check "uninstall takes the user's record of delivered images ($left left)" test "$left" = 0
# The image kept its folders; they go by hand here.
rm -r "$c/$programs_folder/Halvex Imaging"
snapshot >"$work/after.txt"
check "uninstall leaves nothing behind" diff "$work/before.txt" "$work/after.txt"

# Any folder name: the medium in a folder of that name installs into another one, and the
# uninstallation removes all of it. The script and the folder reach cmd in variables (wine's
# own command line would split at the blank before cmd ever sees it). A "%" is left out: Wine's
# cmd expands a variable's value a second time (Windows does not), so no script can carry a "%"
# folder name under Wine.
printf '@"%%QOR_SCRIPT%%" %%QOR_ARGUMENT%%\r\n' >"$c/qor-run.cmd"
run_script() {  # run_script SCRIPT_PATH [FOLDER]
    QOR_SCRIPT=$1 QOR_ARGUMENT=${2:+\"$2\"} "$WINE" cmd /c 'C:\qor-run.cmd' </dev/null 2>&1 | tr -d '\r'
}
snapshot >"$work/before-names.txt"
for name in "Dental & Co" "Smile! (Praxis) ^ 2" "Zahnärzte Müller" "Řepy Stomatologie"; do
    cp -r "$medium" "$c/$name Medium"
    folder="C:\\$name\\QOR"
    run_script "C:\\$name Medium\\DriverInstallation.cmd" "$folder" >"$work/install-names.log"
    check "[$name] installed" cmp -s "$medium/Files/Qor.dll" "$c/$name/QOR/Qor.dll"
    [ "$arch" = win64 ] && [ -d "$medium/Files/x64" ] &&
        check "[$name] the 64-bit source installed" cmp -s "$medium/Files/x64/QORSRC.ds" "$c/$name/QOR/x64/QORSRC.ds"
    check "[$name] the record names the folders it made" \
        test "$(tr -d '\r' <"$c/$name/QOR/InstalledItems.txt" | grep -cE '^folder \.\.?$')" = 2
    check "[$name] no failure reported" \
        test "$(tr -d '\r' 2>/dev/null <"$c/qor/result.txt" || true)" = "${expected_result%$'\n'}"
    case "$name" in
    *[![:ascii:]]*)
        # The registry value reaches cmd through the console's code page, which may lack a
        # letter: such a folder is named to the uninstallation.
        out=$(run_script "C:\\$name Medium\\UninstallQor.cmd" "$folder") ;;
    *)
        check "[$name] InstalPath" test "$(value "$key" InstalPath)" = "$folder"
        check "[$name] the log-on start names the folder" \
            test "$(value "$run_key" "QOR APP" "$run_view")" = "\"$folder\\QOR APP.exe\""
        out=$(run_script "C:\\$name Medium\\UninstallQor.cmd") ;;
    esac
    check "[$name] the uninstallation names the folder" grep -qF "QOR has been removed from C:" <<<"$out"
    rm -rf "$c/$name Medium"
    snapshot >"$work/after-names.txt"
    check "[$name] uninstall leaves nothing behind" diff "$work/before-names.txt" "$work/after-names.txt"
done
rm -f "$c/qor-run.cmd"

cleanup
trap - EXIT
[ "$failures" -eq 0 ] || { echo "$failures checks failed; the medium and logs are in $work" >&2; exit 1; }
echo "all checks passed"
