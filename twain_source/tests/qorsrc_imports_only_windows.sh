#!/usr/bin/env bash
# The TWAIN source runs inside any imaging program, loaded from the TWAIN folder by a plain
# LoadLibrary: a library it imported would be looked up in the program's folder and the system
# folders, where the suite's libraries are not, and the source would not even be listed. So it
# may import Windows' own libraries only; the suite's are loaded by full path at run time.
# Usage: qorsrc_imports_only_windows.sh OBJDUMP QORSRC.ds
set -euo pipefail
objdump=${1:?objdump}
source_file=${2:?QORSRC.ds}
allowed='^(KERNEL32|USER32|ADVAPI32|GDI32|MSVCRT)\.DLL$'
imports=$("$objdump" -p "$source_file" | awk '/DLL Name:/ { print toupper($3) }' | sort -u)
[ -n "$imports" ] || { echo "qorsrc_imports_only_windows: no import table read from $source_file" >&2; exit 1; }
others=$(grep -Ev "$allowed" <<<"$imports" || true)
if [ -n "$others" ]; then
    echo "qorsrc_imports_only_windows: $(basename "$source_file") imports libraries that are not Windows' own:" >&2
    printf '  %s\n' $others >&2
    echo "  a manager loads the source with a plain LoadLibrary, so these would not be found: load them by" >&2
    echo "  full path from the suite's folder at run time (LoadSuiteLibrary) instead of linking them" >&2
    exit 1
fi
echo "qorsrc_imports_only_windows: $(basename "$source_file") imports only" $imports
