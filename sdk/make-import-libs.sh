#!/usr/bin/env bash
# Makes the SDK's import libraries of Qor.dll from its export table, with the toolchain's own
# dlltool:
#   make-import-libs.sh TABLE MINGW_PREFIX OUT_DIR
# MINGW_PREFIX is i686-w64-mingw32 (the shipped library) or x86_64-w64-mingw32. OUT_DIR receives
#   libqor.a, qor.lib                  bind by name (mingw ld; Microsoft's link.exe)
#   libqor_ordinal.a, qor_ordinal.lib  bind by ordinal
# and the two .def files they are made from. On i686 the .def lists the decorated __stdcall
# names (name@bytes) so that the library resolves what a compiler emits for a WINAPI call
# (_QorInitSystem@4, __imp__QorInitSystem@4); -k gives the DLL's plain export names.
# The .lib and .a files hold the same GNU import objects: link.exe reads them as it reads its
# own long-format import libraries.
set -euo pipefail
table=${1:?usage: make-import-libs.sh TABLE MINGW_PREFIX OUT_DIR}
prefix=${2:?usage: make-import-libs.sh TABLE MINGW_PREFIX OUT_DIR}
out=${3:?usage: make-import-libs.sh TABLE MINGW_PREFIX OUT_DIR}
case "$prefix" in
    i686-*) machine=i386 decorate=1 ;;
    x86_64-*) machine=i386:x86-64 decorate=0 ;;
    *) echo "make-import-libs: unknown toolchain $prefix (i686-w64-mingw32 or x86_64-w64-mingw32)" >&2; exit 1 ;;
esac
mkdir -p "$out"
write_def() {  # write_def FILE SUFFIX
    {
        echo 'LIBRARY "Qor.dll"'
        echo 'EXPORTS'
        grep -E '^[[:space:]]*[0-9]' "$table" | while read -r ordinal name bytes _; do
            if [ "$decorate" = 1 ]; then name="$name@$bytes"; fi
            echo "  $name @$ordinal$2"
        done
    } >"$1"
}
write_def "$out/qor.def" ""
write_def "$out/qor_ordinal.def" " NONAME"
dlltool="$prefix-dlltool"
for lib in libqor.a qor.lib; do
    "$dlltool" -m "$machine" -k -d "$out/qor.def" -D Qor.dll -l "$out/$lib"
done
for lib in libqor_ordinal.a qor_ordinal.lib; do
    "$dlltool" -m "$machine" -k -d "$out/qor_ordinal.def" -D Qor.dll -l "$out/$lib"
done
