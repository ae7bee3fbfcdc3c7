#!/usr/bin/env bash
# The SDK header matches the export table, and the check notices every kind of drift: a changed
# argument size, a moved ordinal, an export added, removed or renamed in the table but not in the
# header, and a declaration in the header that lost its WINAPI or changed an argument's size.
#   header_drift_test.sh TABLE SDK_SOURCE_DIR WORK_DIR
set -euo pipefail
table=$1 sdk=$2 work=$3
here=$(cd "$(dirname "$0")" && pwd)
rm -rf "$work" && mkdir -p "$work"
failures=0
bash "$here/check-header.sh" "$table" "$sdk" "$work/real" "$work/objects" || failures=$((failures + 1))

drift() {  # drift NAME SED_SCRIPT: the check must reject the header against the changed table
    sed -E "$2" "$table" >"$work/$1.table"
    if cmp -s "$table" "$work/$1.table"; then
        echo "FAILED: the mutation $1 changed nothing" >&2; failures=$((failures + 1)); return
    fi
    if bash "$here/check-header.sh" "$work/$1.table" "$sdk" "$work/$1" "$work/objects" 2>"$work/$1.log"; then
        echo "FAILED: a table with $1 passed the check" >&2; failures=$((failures + 1))
    else
        echo "ok: a table with $1 is rejected"
    fi
}
drift argument-bytes 's/^(23 +QorGetImgData +)12/\116/'
drift ordinal 's/^42( +QorSetDemoMode)/43\1/'
drift added-export '$a 44 QorGetTemperature 8'
drift removed-export '/^18 +KelvoCleanup/d'
drift renamed-export 's/^(14 +)GetLowLevelDriverVer/\1GetLowLevelDriverVersion/'
header_drift() {  # header_drift NAME SED_SCRIPT: the check must reject the changed header
    mkdir -p "$work/$1-sdk" && sed -E "$2" "$sdk/qor.h" >"$work/$1-sdk/qor.h"
    cp "$sdk/qor_service.h" "$work/$1-sdk/"
    if cmp -s "$sdk/qor.h" "$work/$1-sdk/qor.h"; then
        echo "FAILED: the mutation $1 changed nothing" >&2; failures=$((failures + 1)); return
    fi
    if bash "$here/check-header.sh" "$table" "$work/$1-sdk" "$work/$1" "$work/objects" 2>"$work/$1.log"; then
        echo "FAILED: a header with $1 passed the check" >&2; failures=$((failures + 1))
    else
        echo "ok: a header with $1 is rejected"
    fi
}
header_drift lost-winapi 's/^(QORAPI INT32) WINAPI (QorGetImgData)/\1 \2/'
header_drift wider-argument 's/^(QORAPI INT32 WINAPI QorSetDemoMode\()INT32 on/\1LONGLONG on/'
[ "$failures" -eq 0 ]
