#!/usr/bin/env bash
# Every exported function and every Windows callback (window, dialog, timer, thread and
# enumeration procedures: WINAPI or CALLBACK definitions) must catch everything at its boundary:
# in the shipped 32-bit build an exception cannot unwind through the caller's or Windows' frames.
# The rule checked here: the body of each such definition runs inside CatchAll(...) or Guarded(...)
# (which also sets the floating-point state), or has its own try/catch.
# Usage: scripts/check-boundaries.sh DIR...   (the Windows shells to check)
set -euo pipefail
status=0
for dir in "$@"; do
    while IFS= read -r file; do
        awk -v file="$file" '
            # A definition starts at column 0 with WINAPI or CALLBACK before the name.
            # Members of a class count too (Class::Function).
            !inside && /^[A-Za-z_].*(WINAPI|CALLBACK) +([A-Za-z_0-9]+::)?[A-Za-z_0-9]+\(/ && !/;[ \t]*$/ {
                match($0, /(WINAPI|CALLBACK) +([A-Za-z_0-9]+::)?[A-Za-z_0-9]+/)
                name = substr($0, RSTART, RLENGTH); sub(/.* /, "", name)
                header = 1; guarded = 0
            }
            header && /\{[ \t]*$/ { inside = 1; header = 0; next }
            header && /\{.*\}[ \t]*$/ { header = 0; printf "%s: %s has a one-line body\n", file, name; bad = 1; next }
            inside && (/Guarded/ || /CatchAll/ || /try[ \t]*\{/) { guarded = 1 }
            inside && /^\}/ {
                inside = 0
                if (!guarded) { printf "%s: %s does not catch at its boundary\n", file, name; bad = 1 }
            }
            END { exit bad }
        ' "$file" || status=1
    done < <(find "$dir" -name '*.cpp' -not -path '*/tests/*' -not -path '*/fuzz/*' -not -path '*/bench/*' | sort)
done
if [ "$status" -ne 0 ]; then
    echo "check-boundaries: wrap the bodies above in CatchAll(...) (common/core/catch_all.h) or Guarded(...)" >&2
else
    echo "check-boundaries: every entry point and callback catches at its boundary"
fi
exit "$status"
