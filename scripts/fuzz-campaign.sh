#!/usr/bin/env bash
# A fuzzing campaign over every libFuzzer target of a fuzz build, one target at a time at low
# priority, with a corpus that is kept between campaigns and a summary table at the end.
#
# Usage: scripts/fuzz-campaign.sh [options] [target ...]
#   --build DIR          the fuzz build (default build/fuzz; made as scripts/test.sh makes it)
#   --corpus DIR         corpus folder, one subfolder per target, kept and grown between
#                        campaigns (default $QOR_FUZZ_CORPUS, else build/fuzz-corpus)
#   --runs N             executions of each parser target (default 1000000)
#   --pipeline-runs N    executions of each whole-pipeline target (default 100000)
#   --time S             instead of counts: S seconds for every target
#   --out DIR            logs, crash inputs and summary (default build/fuzz-campaign)
#   target ...           only these targets, in this order (default: every target the build
#                        registers)
# The build is configured and its fuzz targets built when it does not exist yet. Exit status 1
# when any target reported a fault (sanitizer report, crash, time-out, leak); its input is kept
# under DIR/artifacts and can be replayed with: <target> <input>.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/fuzz
corpus_root=${QOR_FUZZ_CORPUS:-$root/build/fuzz-corpus}
out=$root/build/fuzz-campaign
runs=1000000
pipeline_runs=100000
seconds=
only=()

while [ $# -gt 0 ]; do
    case "$1" in
    --build) build=$(realpath -m "$2"); shift 2 ;;
    --corpus) corpus_root=$(realpath -m "$2"); shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    --pipeline-runs) pipeline_runs=$2; shift 2 ;;
    --time) seconds=$2; shift 2 ;;
    --out) out=$(realpath -m "$2"); shift 2 ;;
    -h|--help) sed -n '2,18p' "$0"; exit 0 ;;
    -*) echo "fuzz-campaign: unknown option $1 (see --help)" >&2; exit 2 ;;
    *) only+=("$1"); shift ;;
    esac
done

# Targets that run a whole chain (a parser and everything behind it) get the smaller count.
pipeline_targets=" fuzz_load_calibration fuzz_load_legacy_calibration imageproc_fuzz sensor_sim_protocol_fuzz triplet_sequence_fuzz "

if [ ! -f "$build/build.ninja" ]; then
    echo "== configuring the fuzz build in $build"
    CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DQOR_FUZZ=ON -DQOR_SANITIZE=ON \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1" -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O1 -g1" >/dev/null
fi

# Every fuzz target the build registers with CTest (label "fuzz"); each test is named after its
# executable target. The executables' paths are known once they are built.
fuzz_tests() {
    ctest --test-dir "$build" -L fuzz --show-only=json-v1 | python3 -c '
import json, sys
for test in json.load(sys.stdin)["tests"]:
    command = test.get("command") or ["-"]
    print(test["name"], command[0])'
}
mapfile -t registered < <(fuzz_tests)
if [ ${#registered[@]} -eq 0 ]; then
    echo "fuzz-campaign: $build registers no fuzz targets; configure it with -DQOR_FUZZ=ON" >&2
    exit 2
fi
targets=()
declare -A known
for line in "${registered[@]}"; do
    name=${line%% *}
    known[$name]=1
    [ ${#only[@]} -eq 0 ] && targets+=("$name")
done
# Named targets run in the order given.
for name in "${only[@]}"; do
    [ -n "${known[$name]:-}" ] || { echo "fuzz-campaign: no fuzz target named $name" >&2; exit 2; }
    targets+=("$name")
done

echo "== building ${#targets[@]} fuzz targets"
nice -n 10 cmake --build "$build" -j "${QOR_JOBS:-2}" --target "${targets[@]}" >"$build/campaign-build.log" 2>&1 ||
    { tail -n 40 "$build/campaign-build.log"; echo "fuzz-campaign: the build failed ($build/campaign-build.log)" >&2; exit 1; }
declare -A executable
while read -r name path; do
    executable[$name]=$path
done < <(fuzz_tests)

mkdir -p "$out/logs" "$out/artifacts"
summary=$out/summary.md
{
    echo "| target | executions | exec/s | coverage (cov / ft) | corpus (files / KiB) | sanitizer reports |"
    echo "|---|---:|---:|---:|---:|---:|"
} >"$summary"
faults=0
index=0
for name in "${targets[@]}"; do
    index=$((index + 1))
    corpus=$corpus_root/$name
    mkdir -p "$corpus"
    log=$out/logs/$name.log
    if [ -n "$seconds" ]; then
        budget=(-max_total_time="$seconds")
        goal="$seconds s"
    elif [[ "$pipeline_targets" == *" $name "* ]]; then
        budget=(-runs="$pipeline_runs")
        goal="$pipeline_runs executions"
    else
        budget=(-runs="$runs")
        goal="$runs executions"
    fi
    echo "== [$index/${#targets[@]}] $name: $goal, corpus $corpus"
    rm -f "$out/artifacts/$name-"*
    set +e
    # Progress: libFuzzer's periodic lines ("#N pulse/NEW ... cov: ft: exec/s:"), thinned out.
    nice -n 10 "${executable[$name]}" "${budget[@]}" -rss_limit_mb=4096 -timeout=60 \
        -print_final_stats=1 -artifact_prefix="$out/artifacts/$name-" "$corpus" >"$log" 2>&1 &
    fuzzer=$!
    waited=0
    while kill -0 "$fuzzer" 2>/dev/null; do
        sleep 1
        waited=$((waited + 1))
        if [ $((waited % 30)) -eq 0 ]; then
            progress=$(grep -E '^#[0-9]+' "$log" | tail -n 1)
            [ -n "$progress" ] && echo "   $name: $progress"
        fi
    done
    wait "$fuzzer"
    status=$?
    set -e
    grep -E '^#[0-9]+.*DONE' "$log" | tail -n 1 | sed "s/^/   $name: /" || true
    executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)
    coverage=$(grep -oE 'cov: [0-9]+ ft: [0-9]+' "$log" | tail -n 1 | awk '{print $2 " / " $4}')
    files=$(find "$corpus" -type f | wc -l)
    kib=$(( $(du -sk "$corpus" | cut -f1) ))
    reports=$(grep -cE 'ERROR: (AddressSanitizer|LeakSanitizer|UndefinedBehaviorSanitizer|libFuzzer)|runtime error:' "$log" || true)
    artifacts=$(find "$out/artifacts" -name "$name-*" -type f | wc -l)
    if [ "$status" -ne 0 ] && [ "$reports" -eq 0 ]; then
        reports=1  # a crash without a report of its own (an abort, a time-out)
    fi
    if [ "$reports" -ne 0 ] || [ "$artifacts" -ne 0 ]; then
        faults=$((faults + 1))
        echo "   $name: FAULT (exit $status); log $log; input(s): $(find "$out/artifacts" -name "$name-*" -type f | tr '\n' ' ')"
    fi
    printf '| %s | %s | %s | %s | %s / %s | %s |\n' "$name" "${executions:-?}" "${speed:-?}" \
        "${coverage:-?}" "$files" "$kib" "$reports" >>"$summary"
done

echo
cat "$summary"
echo
echo "Summary: $summary; logs: $out/logs; corpus: $corpus_root"
if [ "$faults" -ne 0 ]; then
    echo "fuzz-campaign: $faults target(s) reported faults; replay each kept input with its target to see the report" >&2
    exit 1
fi
