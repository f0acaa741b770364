#!/usr/bin/env bash
# Builds the benchmarks, runs every one of them (medians over REPS runs),
# counts the instructions of the listing loops and writes bench/RESULTS.md.
#   bench/run.sh            full workloads (about 10 minutes)
#   REPS=3 bench/run.sh     fewer repetitions
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --workflow --preset bench
out=build/bench
"$out"/bench/viredovozu_bench --benchmark_repetitions="${REPS:-5}" --benchmark_report_aggregates_only=true \
    --benchmark_out="$out"/results.json --benchmark_out_format=json
bench/count.sh "$out" >"$out"/instructions.tsv
python3 bench/report.py "$out"/results.json "$out"/instructions.tsv "${REPS:-5}" >bench/RESULTS.md
echo "wrote bench/RESULTS.md"
