#!/bin/sh
# Saves a 200 MB export over an existing file (a copy beside it, then a rename over it) and lets
# cp copy the same file to the same place, in turns within one run of export_save_bench, and
# prints the save's time as a multiple of cp's (target: at most 1.2). The files go to
# $PD_BENCH_DIR, else the temporary folder.
#
#   bench/export_save_vs_cp.sh [path/to/export_save_bench] [repetitions]
set -eu

bench=${1:-build/bench/export_save_bench}
repetitions=${2:-5}
[ -x "$bench" ] || { echo "no benchmark binary at $bench" >&2; exit 2; }
command -v jq >/dev/null || { echo "jq is needed to read the results" >&2; exit 2; }

report=$(mktemp)
trap 'rm -f "$report"' EXIT
"$bench" --benchmark_repetitions="$repetitions" --benchmark_report_aggregates_only=true \
  --benchmark_enable_random_interleaving=true --benchmark_format=json >"$report"

median() {
  jq -r --arg name "$1" \
    '.benchmarks[] | select(.run_name == $name and .aggregate_name == "median") | .real_time' "$report"
}
save_ms=$(median BM_SaveExport/iterations:3/real_time)
cp_ms=$(median BM_CpExport/iterations:3/real_time)
ratio=$(echo "$save_ms $cp_ms" | awk '{ printf "%.2f", $1 / $2 }')
echo "save (median of $repetitions): ${save_ms} ms"
echo "cp   (median of $repetitions): ${cp_ms} ms"
echo "ratio save/cp: $ratio (target <= 1.20), in $(df -P "${PD_BENCH_DIR:-${TMPDIR:-/tmp}}" | awk 'NR==2 { print $1 }')"
awk -v r="$ratio" 'BEGIN { exit (r <= 1.2) ? 0 : 1 }'
