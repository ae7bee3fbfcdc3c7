#!/usr/bin/env bash
# Compares the export table of a built DLL (read with objdump) with its fixed table file:
# every ordinal and plain name, and nothing else.  Usage: check-exports.sh DLL TABLE OBJDUMP
set -euo pipefail
dll=$1 table=$2 objdump=${3:-objdump}
actual=$("$objdump" -p "$dll" | awk '
    /^Ordinal Base/ { base = $3 }
    /\[Ordinal\/Name Pointer\] Table/ { in_table = 1; next }
    in_table && NF == 0 { in_table = 0 }
    in_table { gsub(/[\[\]]/, " "); print $1 + base, $2 }' | sort -n)
expected=$(grep -E '^[[:space:]]*[0-9]' "$table" | awk '{ print $1, $2 }' | sort -n)
if [ "$actual" != "$expected" ]; then
    echo "check-exports: $dll does not match $table" >&2
    diff <(echo "$expected") <(echo "$actual") >&2 || true
    exit 1
fi
echo "check-exports: $(echo "$actual" | wc -l) exports of $(basename "$dll") match $(basename "$table")"
