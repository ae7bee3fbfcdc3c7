#!/usr/bin/env bash
# Lists what every shipped binary imports from Windows and fails on any import that is not in the
# reviewed list of functions present on the oldest Windows the suite supports (Windows Vista,
# scripts/windows-floor-imports.txt). Imports of the suite's own libraries are not Windows'.
# Usage: scripts/check-imports.sh OBJDUMP BINARY...
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
objdump=$1
shift
allowed=$root/scripts/windows-floor-imports.txt
# 64-bit binaries (the x86_64 objdump reads them) may also import what only 64-bit Windows has.
allowed_lists=("$allowed")
case "$objdump" in *x86_64*) allowed_lists+=("$root/scripts/windows-floor-imports-x64.txt") ;; esac
own='^(QOR\.DLL|QORIMG\.DLL|ORBEL\.DLL|STAVIK\.DLL|LTKRN13N\.DLL|LTDIS13N\.DLL|QORICONS\.DLL) '
status=0
for binary in "$@"; do
    imports=$("$objdump" -p "$binary" | awk '
        /DLL Name:/ { dll = toupper($3); next }
        /^$/ { next }
        dll != "" && NF == 3 && $1 ~ /^[0-9a-f]+$/ && $2 ~ /^[0-9]+$/ { print dll, $3 }
        /The Export Tables/ { exit }' | sort -u | grep -Ev "$own" || true)
    missing=$(comm -23 <(printf '%s\n' "$imports" | sed '/^$/d') <(cat "${allowed_lists[@]}" | grep -v '^#' | sort -u))
    if [ -n "$missing" ]; then
        echo "check-imports: $(basename "$binary") imports what Windows Vista may lack:" >&2
        printf '  %s\n' $missing | paste - - >&2
        echo "  check each on the vendor's documentation; add it to $allowed if Vista has it," >&2
        echo "  otherwise stop using it" >&2
        status=1
    fi
done
[ "$status" -eq 0 ] && echo "check-imports: $# binaries import only what Windows Vista has"
exit "$status"
