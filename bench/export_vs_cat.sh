#!/bin/sh
# Exports five launches of 10 MiB each and lets cat concatenate the same segment files, in one
# run of logring_bench, and prints the export's time as a multiple of cat's (target: at most 2).
#
#   bench/export_vs_cat.sh [path/to/logring_bench] [repetitions]
set -eu

bench=${1:-build/bench/logring_bench}
repetitions=${2:-10}
[ -x "$bench" ] || { echo "no benchmark binary at $bench" >&2; exit 2; }
command -v jq >/dev/null || { echo "jq is needed to read the results" >&2; exit 2; }

report=$(mktemp)
trap 'rm -f "$report"' EXIT
"$bench" --benchmark_filter='BM_(Export|Cat)FiveLaunches' \
  --benchmark_repetitions="$repetitions" --benchmark_report_aggregates_only=true \
  --benchmark_format=json >"$report"

median() {
  jq -r --arg name "$1" \
    '.benchmarks[] | select(.run_name == $name and .aggregate_name == "median") | .real_time' "$report"
}
export_ms=$(median BM_ExportFiveLaunches/real_time)
cat_ms=$(median BM_CatFiveLaunches/real_time)
ratio=$(echo "$export_ms $cat_ms" | awk '{ printf "%.2f", $1 / $2 }')
echo "export (median of $repetitions): ${export_ms} ms"
echo "cat    (median of $repetitions): ${cat_ms} ms"
echo "ratio export/cat: $ratio (target <= 2.00), on $(nproc) cores"
awk -v r="$ratio" 'BEGIN { exit (r <= 2.0) ? 0 : 1 }'
