#!/usr/bin/env bash
# Import circles between the translation units of a folder. A unit A depends on a unit B of the
# same folder when A's object file needs (nm: undefined) a symbol that B's object file defines.
# Symbols defined by several units of the folder (inline functions, templates, vtables of
# classes without an out-of-line member: COMDAT copies) make no dependency. The objects are the
# build's own, found through compile_commands.json; a source compiled twice (a test-hooks twin)
# is judged by its shipped object.
#
# Prints each folder's graph ("a.cpp -> b.cpp c.cpp") and fails listing every circle: the units
# that reach each other, with the edges between them and one symbol behind each edge.
# Only the folder's own files count, not its subfolders (a subfolder is a folder of its own).
#
# Usage: scripts/check-import-circles.sh BUILD_DIR DIR...     (NM: the build's nm, default nm)
set -euo pipefail
if [ "$#" -lt 2 ]; then
    echo "usage: $0 BUILD_DIR DIR..." >&2
    exit 2
fi
build=$1
shift
nm_tool=${NM:-nm}
commands=$build/compile_commands.json
if [ ! -f "$commands" ]; then
    echo "check-import-circles: $commands is missing (CMAKE_EXPORT_COMPILE_COMMANDS)" >&2
    exit 2
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# source<TAB>object for every compilation, object made absolute.
python3 -c '
import json, os, shlex, sys
for entry in json.load(open(sys.argv[1])):
    output = entry.get("output")
    if output is None:  # older CMake: the object is the compiler command line -o argument
        words = shlex.split(entry.get("command", ""))
        output = words[words.index("-o") + 1] if "-o" in words[:-1] else None
    if output is not None:
        print(entry["file"] + "\t" + os.path.join(entry["directory"], output))
' "$commands" > "$work/compilations"

status=0
for dir in "$@"; do
    dir=$(cd "$dir" && pwd)
    # One object per source of the folder itself; a twin built for the tests only when no
    # other object exists.
    awk -F'\t' -v dir="$dir/" '
        index($1, dir) == 1 && index(substr($1, length(dir) + 1), "/") == 0 {
            name = substr($1, length(dir) + 1)
            twin = ($2 ~ /test/)
            if (!(name in object) || (chosenTwin[name] && !twin)) {
                object[name] = $2; chosenTwin[name] = twin
            }
        }
        END { for (name in object) print name "\t" object[name] }
    ' "$work/compilations" | sort > "$work/units"
    if [ ! -s "$work/units" ]; then
        echo "check-import-circles: no compiled unit in $dir (is it part of this build?)" >&2
        status=1
        continue
    fi
    : > "$work/symbols"
    while IFS=$'\t' read -r name object; do
        if [ ! -f "$object" ]; then
            echo "check-import-circles: $object is not built (build every target first)" >&2
            exit 2
        fi
        # External symbols: U undefined, any other type defined. nm -C keeps names readable.
        "$nm_tool" -C -g "$object" | awk -v unit="$name" '
            /^ +U / { sub(/^ +U /, ""); print "U\t" unit "\t" $0; next }
            /^[0-9a-fA-F]+ [A-Za-z] / { sub(/^[^ ]+ [^ ] /, ""); print "D\t" unit "\t" $0 }
        ' >> "$work/symbols"
    done < "$work/units"

    echo "== ${dir#"$PWD"/}"
    awk -F'\t' -v units="$work/units" '
        BEGIN { n = 0; while ((getline line < units) > 0) { split(line, f, "\t"); id[f[1]] = n; name[n++] = f[1] } }
        $1 == "D" { if (!(($3, $2) in seen)) { seen[$3, $2] = 1; definers[$3]++; definer[$3] = $2 } next }
        $1 == "U" { need[++needs] = $2; needSymbol[needs] = $3 }
        END {
            for (k = 1; k <= needs; k++) {
                s = needSymbol[k]
                if (definers[s] != 1) continue
                a = id[need[k]]; b = id[definer[s]]
                if (a == b) continue
                if (!((a, b) in edge)) edge[a, b] = s
            }
            for (a = 0; a < n; a++) {
                line = name[a] " ->"
                for (b = 0; b < n; b++) {
                    if ((a, b) in edge) { line = line " " name[b]; reach[a, b] = 1 }
                }
                print line
            }
            # Transitive closure (a folder has tens of units at most).
            for (k = 0; k < n; k++)
                for (a = 0; a < n; a++)
                    if ((a, k) in reach)
                        for (b = 0; b < n; b++)
                            if ((k, b) in reach) reach[a, b] = 1
            circles = 0
            for (a = 0; a < n; a++) {
                if (a in placed || !((a, a) in reach)) continue
                members = name[a]; placed[a] = 1; group[0] = a; size = 1
                for (b = a + 1; b < n; b++) {
                    if (((a, b) in reach) && ((b, a) in reach)) {
                        members = members ", " name[b]; placed[b] = 1; group[size++] = b
                    }
                }
                printf "CIRCLE %d: %s\n", ++circles, members
                for (i = 0; i < size; i++)
                    for (j = 0; j < size; j++)
                        if ((group[i], group[j]) in edge)
                            printf "    %s -> %s (%s)\n", name[group[i]], name[group[j]], edge[group[i], group[j]]
            }
            if (circles == 0) print "no circle"
            exit circles > 0
        }
    ' "$work/symbols" || status=1
done
if [ "$status" -ne 0 ]; then
    echo "check-import-circles: break each circle above, e.g. with an interface the lower unit owns" >&2
fi
exit "$status"
