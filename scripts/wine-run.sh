#!/usr/bin/env bash
# Runs a Windows program under the harness started by wine-harness.sh (CTest's emulator).
# QOR_WINE_STATE names the harness state directory.
set -euo pipefail
state=${QOR_WINE_STATE:?QOR_WINE_STATE is not set: start the harness first (scripts/wine-harness.sh)}
[ -f "$state/env" ] || { echo "wine-run: no harness running in $state" >&2; exit 1; }
# shellcheck disable=SC1091
. "$state/env"
exec "$WINE" "$@"
