#!/usr/bin/env bash
# Checks the SDK header against the export table of Qor.dll, so that the two never drift:
#   check-header.sh TABLE HEADER_DIR [WORK_DIR]
# - every export of the table is declared, and nothing else is (names from the QORAPI lines);
# - the "Ordinal N." comment of each declaration is the table's ordinal;
# - compiled for i686 (C and C++), each declaration is __stdcall with the table's argument bytes:
#   a file that takes the address of every export references _Name@bytes, which must be the
#   table's decorated name (a missing WINAPI or a wrong argument type changes it);
# - the header also compiles for x86_64.
set -euo pipefail
table=${1:?usage: check-header.sh TABLE HEADER_DIR [WORK_DIR]}
sdk=${2:?usage: check-header.sh TABLE HEADER_DIR [WORK_DIR]}
work=${3:-$(mktemp -d)}
mkdir -p "$work"
header=$sdk/qor.h
failures=0
fail() { echo "check-header: $*" >&2; failures=$((failures + 1)); }

expected=$(grep -E '^[[:space:]]*[0-9]' "$table" | awk '{ print $1, $2, $3 }' | sort -k2)
# name and ordinal of each declaration, from the comment that opens it
declared=$(awk '
    match($0, /Ordinal [0-9]+\./) { ordinal = substr($0, RSTART + 8, RLENGTH - 9) }
    /^QORAPI / {
        line = $0; sub(/\(.*/, "", line); n = split(line, words, /[ *]+/)
        print ordinal, words[n]; ordinal = "?"
    }' "$header" | sort -k2)
if [ "$(awk '{ print $1, $2 }' <<<"$expected")" != "$declared" ]; then
    fail "the declarations of $header (ordinal, name) differ from $table:"
    diff <(awk '{ print $1, $2 }' <<<"$expected") <(echo "$declared") >&2 || true
fi

{
    echo '#include "qor.h"'
    echo 'typedef void (*QorAnyEntry)(void);'
    echo 'QorAnyEntry qor_every_entry[] = {'
    awk '{ printf "    (QorAnyEntry)&%s,\n", $2 }' <<<"$expected"
    echo '};'
} >"$work/every_entry.c"
flags=(-Wall -Wextra -Werror -I "$sdk" -c)
cflags=(-std=c99 -pedantic -Werror=implicit-function-declaration "${flags[@]}")
if i686-w64-mingw32-gcc "${cflags[@]}" "$work/every_entry.c" -o "$work/every_entry32.o" 2>"$work/cc.log"; then
    actual=$(i686-w64-mingw32-nm -u "$work/every_entry32.o" | awk '{ print $2 }' |
             sed 's/^__imp_//; s/^_//' | sort)
    decorated=$(awk '{ print $2 "@" $3 }' <<<"$expected" | sort)
    if [ "$actual" != "$decorated" ]; then
        fail "the i686 __stdcall names of $header differ from $table (table < > header):"
        diff <(echo "$decorated") <(echo "$actual") >&2 || true
    fi
else
    fail "$header does not declare every export for i686 C: $(head -5 "$work/cc.log")"
fi
i686-w64-mingw32-g++ -x c++ "${flags[@]}" "$work/every_entry.c" -o "$work/every_entry32pp.o" 2>"$work/cxx.log" ||
    fail "$header does not compile as i686 C++: $(head -5 "$work/cxx.log")"
x86_64-w64-mingw32-gcc "${cflags[@]}" "$work/every_entry.c" -o "$work/every_entry64.o" 2>"$work/cc64.log" ||
    fail "$header does not compile for x86_64: $(head -5 "$work/cc64.log")"

if [ "$failures" -ne 0 ]; then exit 1; fi
echo "check-header: $(wc -l <<<"$expected") exports of $(basename "$table") match $(basename "$header")"
