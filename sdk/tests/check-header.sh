#!/usr/bin/env bash
# Checks the SDK header against the export table of Qor.dll, so that the two never drift:
#   check-header.sh TABLE HEADER_DIR [WORK_DIR [CACHE_DIR]]
# - every export of the table is declared, and nothing else is (names from the QORAPI lines);
# - the "Ordinal N." comment of each declaration is the table's ordinal;
# - compiled for i686 (C and C++), each declaration is __stdcall with the table's argument bytes:
#   a file that takes the address of every declared entry references _Name@bytes, which must be
#   the table's decorated name (a missing WINAPI or a wrong argument type changes it);
# - the header also compiles for x86_64.
# CACHE_DIR keeps the compiled objects by the checksum of header and source, so that checking
# one header against several tables compiles it once.
set -euo pipefail
table=${1:?usage: check-header.sh TABLE HEADER_DIR [WORK_DIR]}
sdk=${2:?usage: check-header.sh TABLE HEADER_DIR [WORK_DIR]}
work=${3:-$(mktemp -d)}
cache=${4:-$work}
mkdir -p "$work" "$cache"
header=$sdk/qor.h
# The service calls (they write the sensor's flash) have a header of their own beside it.
headers=("$header")
[ -f "$sdk/qor_service.h" ] && headers+=("$sdk/qor_service.h")
failures=0
fail() { echo "check-header: $*" >&2; failures=$((failures + 1)); }

expected=$(grep -E '^[[:space:]]*[0-9]' "$table" | awk '{ print $1, $2, $3 }' | sort -k2)
# name and ordinal of each declaration, from the comment that opens it
declared=$(awk '
    match($0, /Ordinal [0-9]+\./) { ordinal = substr($0, RSTART + 8, RLENGTH - 9) }
    /^QORAPI / {
        line = $0; sub(/\(.*/, "", line); n = split(line, words, /[ *]+/)
        print ordinal, words[n]; ordinal = "?"
    }' "${headers[@]}" | sort -k2)
if [ "$(awk '{ print $1, $2 }' <<<"$expected")" != "$declared" ]; then
    fail "the declarations of ${headers[*]} (ordinal, name) differ from $table:"
    diff <(awk '{ print $1, $2 }' <<<"$expected") <(echo "$declared") >&2 || true
fi

{
    for h in "${headers[@]}"; do echo "#include \"$(basename "$h")\""; done
    echo 'typedef void (*QorAnyEntry)(void);'
    echo 'QorAnyEntry qor_every_entry[] = {'
    awk '{ printf "    (QorAnyEntry)&%s,\n", $2 }' <<<"$declared"
    echo '};'
} >"$work/every_entry.c"
key=$(cat "${headers[@]}" "$work/every_entry.c" | md5sum | cut -c1-16)
compile() {  # compile NAME COMPILER ARGS...: $cache/NAME-KEY.o, or the compiler's messages in $work/NAME.log
    local name=$1; shift
    [ -f "$cache/$name-$key.o" ] && return 0
    "$@" "$work/every_entry.c" -o "$cache/$name-$key.o.tmp" 2>"$work/$name.log" &&
        mv "$cache/$name-$key.o.tmp" "$cache/$name-$key.o"
}
flags=(-Wall -Wextra -Werror -I "$sdk" -c)
cflags=(-std=c99 -pedantic -Werror=implicit-function-declaration "${flags[@]}")
if compile c32 i686-w64-mingw32-gcc "${cflags[@]}"; then
    actual=$(i686-w64-mingw32-nm -u "$cache/c32-$key.o" | awk '{ print $2 }' |
             sed 's/^__imp_//; s/^_//' | sort)
    decorated=$(awk '{ print $2 "@" $3 }' <<<"$expected" | sort)
    if [ "$actual" != "$decorated" ]; then
        fail "the i686 __stdcall names of $header differ from $table (table < > header):"
        diff <(echo "$decorated") <(echo "$actual") >&2 || true
    fi
else
    fail "$header does not compile as i686 C: $(head -5 "$work/c32.log")"
fi
compile cxx32 i686-w64-mingw32-g++ -x c++ "${flags[@]}" ||
    fail "$header does not compile as i686 C++: $(head -5 "$work/cxx32.log")"
compile c64 x86_64-w64-mingw32-gcc "${cflags[@]}" ||
    fail "$header does not compile for x86_64: $(head -5 "$work/c64.log")"

if [ "$failures" -ne 0 ]; then exit 1; fi
echo "check-header: $(wc -l <<<"$expected") exports of $(basename "$table") match $(basename "$header")"
