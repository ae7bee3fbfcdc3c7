#!/usr/bin/env bash
# A clinical driver delivers nothing but the sensor's images: the shipped Qor.dll must contain
# no code of the simulated sensor (which lives in qorsim.dll, loaded only for tests and demos).
# The simulator's classes all live in the namespace qor::sim, whose mangled names ("3qor3sim")
# appear in any binary that contains them.
# With a second argument, the installation medium's folder must not contain qorsim.dll either.
# Usage: scripts/check-no-simulator.sh QOR_DLL [MEDIUM_DIR]
set -euo pipefail
dll=${1:?usage: check-no-simulator.sh QOR_DLL [MEDIUM_DIR]}
medium=${2:-}
if [ -n "$medium" ] && [ -n "$(find "$medium" -iname 'qorsim*')" ]; then
    echo "check-no-simulator: the installation medium $medium contains the simulator" >&2
    exit 1
fi
if [ "$(strings -a "$dll" | grep -c '3qor3sim')" != 0 ]; then
    echo "check-no-simulator: $dll contains simulator code; link the simulator only into qorsim.dll" >&2
    exit 1
fi
echo "check-no-simulator: $(basename "$dll") contains no simulator code"
