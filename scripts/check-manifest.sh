#!/usr/bin/env bash
# Checks that each program carries the suite's manifest: run as the logged-on user (asInvoker,
# so Windows neither elevates nor virtualises its files), made for Windows Vista to 11, aware of
# the display's resolution. A program without one is a legacy program to Windows: its images
# would be redirected into each user's VirtualStore.
#   check-manifest.sh PROGRAM...
set -euo pipefail
failed=0
for program in "$@"; do
    missing=()
    for text in 'level="asInvoker"' '{e2011457-1546-43c5-a5fe-008deee3d3f0}' \
        '{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}' '<dpiAware' ; do
        grep -aqF "$text" "$program" || missing+=("$text")
    done
    if [ ${#missing[@]} -ne 0 ]; then
        echo "check-manifest: $program lacks ${missing[*]} in its manifest (app/resources/qor_app.manifest)" >&2
        failed=1
    else
        echo "check-manifest: $(basename "$program") runs as the user, made for Vista to 11, DPI-aware"
    fi
done
exit "$failed"
