#!/usr/bin/env bash
# Runs every fuzz target for a bounded time, then replays what it found.
#   fuzz/run.sh [SECONDS] [REPLAY_BUILD]
# SECONDS per target (default 60). The targets come from the fuzz preset
# (build/fuzz); each starts from its seed corpus (made at build time) and
# its saved crash inputs (fuzz/regressions/<target>/) with the dictionary
# fuzz/cpio.dict, and grows its corpus in build/fuzz/corpus/<target>. A
# crash leaves its input in build/fuzz/artifacts/: keep it under
# fuzz/regressions/<target>/ once the fault is fixed. With REPLAY_BUILD (a
# build with tests, such as build/asan), the grown corpora are replayed
# there too, by the targets' ordinary replay executables.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
replay_build=${2:-}
build=build/fuzz
declare -A seeds=([read_bounded]=read_bounded [ex_read]=block [differential]=block [write_roundtrip]=write_roundtrip)
mkdir -p "$build"/artifacts
status=0
for t in read_bounded ex_read differential write_roundtrip; do
    corpus=$build/corpus/$t
    mkdir -p "$corpus"
    cp -n "$build"/fuzz/seeds/"${seeds[$t]}"/* "$corpus"/
    inputs=("$corpus")
    [ -d fuzz/regressions/$t ] && inputs+=(fuzz/regressions/$t)
    log=$build/fuzz-$t.log
    if "$build"/fuzz/fuzz_$t "${inputs[@]}" -dict=fuzz/cpio.dict -max_total_time="$seconds" -timeout=20 \
        -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$build/artifacts/$t-" >"$log" 2>&1; then
        runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
        rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
        echo "fuzz $t: $runs runs in ${seconds} s ($rate/s), corpus $(ls "$corpus" | wc -l) inputs"
    else
        echo "fuzz $t: FAILED (log $log)"
        grep -E "ERROR|oracle failed|SUMMARY|Test unit written" "$log" || tail -20 "$log"
        status=1
    fi
    if [ -n "$replay_build" ]; then
        "$replay_build"/fuzz/${t}_replay "$corpus" || status=1
    fi
done
exit $status
