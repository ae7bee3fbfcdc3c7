#!/usr/bin/env bash
# Nothing that only tests need may be reachable in what ships: the shipped QOR APP must not obey
# the fault points' environment variable QOR_FAULT_POINT (they can stop it for ever with an image
# half written). Only the test build ("test-hooks/QOR APP.exe" of the build tree) has them.
# The test build must contain the name (else this check would pass without looking at anything);
# every shipped binary given, or found in a folder given (the installation medium), must not, in
# either the narrow or the UTF-16 form.
# Usage: scripts/check-no-test-hooks.sh TEST_HOOKS_EXE SHIPPED_BINARY_OR_FOLDER...
set -euo pipefail
control=${1:?usage: check-no-test-hooks.sh TEST_HOOKS_EXE SHIPPED_BINARY_OR_FOLDER...}
shift
[ $# -gt 0 ] || { echo "check-no-test-hooks: name the shipped binaries or the medium's folder" >&2; exit 2; }
name=QOR_FAULT_POINT

mentions() {  # mentions FILE: the name in its narrow or UTF-16 strings
    { strings -a "$1"; strings -a -el "$1"; } | grep "$name" >/dev/null
}

if ! mentions "$control"; then
    echo "check-no-test-hooks: the test build $control does not mention $name, so this check" \
         "cannot see fault points; look at how app/fault_point.cpp reads the variable" >&2
    exit 1
fi
shipped=()
for item in "$@"; do
    if [ -d "$item" ]; then
        while IFS= read -r -d '' f; do shipped+=("$f"); done < <(find "$item" -type f \
            \( -iname '*.exe' -o -iname '*.dll' -o -iname '*.ds' \) -print0)
    elif [ -f "$item" ]; then
        shipped+=("$item")
    else
        echo "check-no-test-hooks: $item does not exist: build it first" >&2
        exit 1
    fi
done
[ ${#shipped[@]} -gt 0 ] || { echo "check-no-test-hooks: no binaries found in $*" >&2; exit 1; }
failed=0
for f in "${shipped[@]}"; do
    if mentions "$f"; then
        echo "check-no-test-hooks: $f obeys $name: compile fault points only into the test build" \
             "(QOR_TEST_HOOKS, app/qor_app.cmake)" >&2
        failed=1
    fi
done
[ "$failed" -eq 0 ] || exit 1
echo "check-no-test-hooks: ${#shipped[@]} shipped binaries without fault points"
