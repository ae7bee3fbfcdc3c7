#!/usr/bin/env bash
# Builds the installation medium: a folder and a zip of it.
#   make-medium.sh BIN_DIR OUT_DIR [--sdk SDK_DIR] [--x64 X64_BIN_DIR] [--msi MSI_DIR]
# BIN_DIR holds the built suite (programs and libraries side by side); OUT_DIR receives
# "QOR Medium/" and "QOR Medium.zip". Files listed in suite_files.txt without "optional" must
# exist; missing optional ones are named (the installation then reports them too).
# X64_BIN_DIR is the x86_64 build's folder of the same: the 64-bit TWAIN source and its libraries
# (the list's "x64\" names, all required then) go into "Files/x64". Without it the medium carries
# the 32-bit source only.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
usage="usage: make-medium.sh BIN_DIR OUT_DIR [--sdk SDK_DIR] [--x64 X64_BIN_DIR] [--msi MSI_DIR]"
bin=${1:?$usage}
out=${2:?$usage}
shift 2
sdk="" x64="" msi=""
while [ $# -gt 0 ]; do
    case "$1" in
    --sdk) sdk=${2:?$usage}; shift 2 ;;
    --x64) x64=${2:?$usage}; shift 2 ;;
    --msi) msi=${2:?$usage}; shift 2 ;;
    *) echo "$usage" >&2; exit 2 ;;
    esac
done
medium="$out/QOR Medium"

# The machine a Windows program is built for, from its PE header: 332 i386, 34404 x86_64.
pe_machine() {
    local pe
    pe=$(od -An -tu4 -j60 -N4 "$1" | tr -d ' ')
    od -An -tu2 -j$((pe + 4)) -N2 "$1" | tr -d ' '
}

rm -rf "$medium" "$out/QOR Medium.zip"
mkdir -p "$medium/Files"

crlf() { sed 's/\r*$/\r/' "$1" >"$2"; }  # Windows scripts and texts end their lines with CR LF

missing=0
: >"$medium/Files/suite_files.txt.tmp"
while IFS= read -r line; do
    line=${line%$'\r'}
    case "$line" in ''|'#'*) continue ;; esac
    name=$(sed -E 's/[[:space:]]+optional[[:space:]]*$//; s/[[:space:]]+$//' <<<"$line")
    if [[ "$name" == 'x64\'* ]]; then
        [ -n "$x64" ] || continue
        part=${name#x64\\}
        mkdir -p "$medium/Files/x64"
        echo "$name" >>"$medium/Files/suite_files.txt.tmp"
        if [ ! -f "$x64/$part" ]; then
            echo "make-medium: $part is missing in $x64: build the x86_64 build's suite first" >&2
            missing=1
            continue
        fi
        case "$part" in
        *.dll|*.ds)
            [ "$(pe_machine "$x64/$part")" = 34404 ] ||
                { echo "make-medium: $x64/$part is no x86_64 Windows library" >&2; exit 1; } ;;
        esac
        cp "$x64/$part" "$medium/Files/x64/$part"
        continue
    fi
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
# The "x64" source always goes into twain_64.
if [ -f "$medium/Files/QORSRC.ds" ]; then
    machine=$(pe_machine "$medium/Files/QORSRC.ds")
    case "$machine" in
    332) folder=twain_32 ;;    # IMAGE_FILE_MACHINE_I386
    34404) folder=twain_64 ;;  # IMAGE_FILE_MACHINE_AMD64
    *) echo "make-medium: QORSRC.ds is no i386 or x86_64 Windows library (machine $machine)" >&2; exit 1 ;;
    esac
    if [ "$folder" = twain_64 ] && [ -n "$x64" ]; then
        echo "make-medium: $bin holds an x86_64 build: the 64-bit parts (--x64) belong on the i686 build's medium" >&2
        exit 1
    fi
    printf '%s\r\n' "$folder" >"$medium/Files/TwainFolder.txt"
fi
if [ -z "$x64" ] && [ "${folder:-}" = twain_32 ]; then
    echo "make-medium: no x86_64 build given (cmake -DQOR_X64_PARTS=<its bin folder>): the medium carries no 64-bit TWAIN source" >&2
fi

[ -f "$bin/QorWelcomeScreen.exe" ] || { echo "make-medium: QorWelcomeScreen.exe is missing in $bin: build it first" >&2; exit 1; }
cp "$bin/QorWelcomeScreen.exe" "$medium/"
for script in DriverInstallation.cmd UninstallQor.cmd openPDF.bat; do
    crlf "$here/scripts/$script" "$medium/$script"
done
printf '[autorun]\r\nopen=QorWelcomeScreen.exe\r\nicon=QorWelcomeScreen.exe\r\nlabel=QOR Drivers\r\n' \
    >"$medium/autorun.inf"
# The integrators' SDK of Qor.dll (header, import libraries, sample), when it is built.
if [ -n "$sdk" ] && [ -d "$sdk" ]; then cp -r "$sdk" "$medium/SDK"; fi
# The silent-installation packages (msiexec /i QOR.msi /qn), for practices that deploy with them.
if [ -n "$msi" ]; then
    ls "$msi"/*.msi >/dev/null 2>&1 || { echo "make-medium: no .msi in $msi: build the msi target first" >&2; exit 1; }
    mkdir -p "$medium/MSI"
    cp "$msi"/*.msi "$medium/MSI/"
fi
groff -ms -Tpdf "$here/InstallationInstructions.ms" >"$medium/InstallationInstructions.pdf"

(cd "$out" && rm -f "QOR Medium.zip" && zip -q -r -X "QOR Medium.zip" "QOR Medium")
echo "make-medium: $medium and $out/QOR Medium.zip"
