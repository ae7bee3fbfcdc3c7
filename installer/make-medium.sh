#!/usr/bin/env bash
# Builds the installation medium: a folder and a zip of it.
#   make-medium.sh BIN_DIR OUT_DIR [SDK_DIR]
# BIN_DIR holds the built suite (programs and libraries side by side); OUT_DIR receives
# "QOR Medium/" and "QOR Medium.zip". Files listed in suite_files.txt without "optional" must
# exist; missing optional ones are named (the installation then reports them too).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
bin=${1:?usage: make-medium.sh BIN_DIR OUT_DIR}
out=${2:?usage: make-medium.sh BIN_DIR OUT_DIR}
medium="$out/QOR Medium"

rm -rf "$medium" "$out/QOR Medium.zip"
mkdir -p "$medium/Files"

crlf() { sed 's/\r*$/\r/' "$1" >"$2"; }  # Windows scripts and texts end their lines with CR LF

missing=0
: >"$medium/Files/suite_files.txt.tmp"
while IFS= read -r line; do
    line=${line%$'\r'}
    case "$line" in ''|'#'*) continue ;; esac
    name=$(sed -E 's/[[:space:]]+optional[[:space:]]*$//; s/[[:space:]]+$//' <<<"$line")
    echo "$name" >>"$medium/Files/suite_files.txt.tmp"
    if [ -f "$bin/$name" ]; then
        cp "$bin/$name" "$medium/Files/$name"
    elif [[ "$line" =~ [[:space:]]optional[[:space:]]*$ ]]; then
        echo "make-medium: $name is not built; the medium goes without it" >&2
    else
        echo "make-medium: $name is missing in $bin: build the suite first" >&2
        missing=1
    fi
done <"$here/suite_files.txt"
[ "$missing" -eq 0 ] || exit 1
crlf "$medium/Files/suite_files.txt.tmp" "$medium/Files/suite_files.txt"
rm "$medium/Files/suite_files.txt.tmp"

# The TWAIN managers look for sources by pointer width (twain_32 or twain_64): the installation
# reads the folder for this build's source from TwainFolder.txt (its PE header's machine field).
if [ -f "$medium/Files/QORSRC.ds" ]; then
    pe=$(od -An -tu4 -j60 -N4 "$medium/Files/QORSRC.ds" | tr -d ' ')
    machine=$(od -An -tu2 -j$((pe + 4)) -N2 "$medium/Files/QORSRC.ds" | tr -d ' ')
    case "$machine" in
    332) folder=twain_32 ;;    # IMAGE_FILE_MACHINE_I386
    34404) folder=twain_64 ;;  # IMAGE_FILE_MACHINE_AMD64
    *) echo "make-medium: QORSRC.ds is no i386 or x86_64 Windows library (machine $machine)" >&2; exit 1 ;;
    esac
    printf '%s\r\n' "$folder" >"$medium/Files/TwainFolder.txt"
fi

[ -f "$bin/QorWelcomeScreen.exe" ] || { echo "make-medium: QorWelcomeScreen.exe is missing in $bin: build it first" >&2; exit 1; }
cp "$bin/QorWelcomeScreen.exe" "$medium/"
for script in DriverInstallation.cmd UninstallQor.cmd openPDF.bat; do
    crlf "$here/scripts/$script" "$medium/$script"
done
printf '[autorun]\r\nopen=QorWelcomeScreen.exe\r\nicon=QorWelcomeScreen.exe\r\nlabel=QOR Drivers\r\n' \
    >"$medium/autorun.inf"
# The integrators' SDK of Qor.dll (header, import libraries, sample), when it is built.
if [ -n "${3:-}" ] && [ -d "$3" ]; then cp -r "$3" "$medium/SDK"; fi
groff -ms -Tpdf "$here/InstallationInstructions.ms" >"$medium/InstallationInstructions.pdf"

(cd "$out" && rm -f "QOR Medium.zip" && zip -q -r -X "QOR Medium.zip" "QOR Medium")
echo "make-medium: $medium and $out/QOR Medium.zip"
