#!/bin/sh
# Instructions per control datagram from the receive loop to its handler on the main thread
# (link_bench's BM_ControlDispatch), counted by callgrind over every thread, so the figure holds
# however loaded the machine is. Two runs differ only in their iteration count; the difference
# in instructions, over the datagrams that make it, leaves out start-up and set-up.
#
#   bench/dispatch_instructions.sh [link_bench] [low] [high]   (defaults: build/bench/link_bench, 100, 400)
#
# Prints "control_dispatch instructions_per_datagram=<n>".
set -eu

bench=${1:-build/bench/link_bench}
low=${2:-100}
high=${3:-400}
batch=64 # datagrams per iteration, as in BM_ControlDispatch
[ -x "$bench" ] || { echo "no $bench: build link_bench first" >&2; exit 2; }
command -v valgrind >/dev/null || { echo "valgrind is missing" >&2; exit 2; }
[ "$high" -gt "$low" ] || { echo "the second count must be the larger" >&2; exit 2; }

out=$(mktemp -d "${TMPDIR:-/tmp}/pd-dispatch.XXXXXX")
trap 'rm -rf "$out"' EXIT

count() {
  PD_BENCH_ITERATIONS=$1 valgrind --tool=callgrind --callgrind-out-file="$out/$1.out" \
    "$bench" --benchmark_filter='^BM_ControlDispatch' >/dev/null 2>"$out/$1.log" ||
    { cat "$out/$1.log" >&2; exit 1; }
  awk '/^summary:/ { print $2 }' "$out/$1.out"
}

at_low=$(count "$low")
at_high=$(count "$high")
awk -v a="$at_low" -v b="$at_high" -v n=$(((high - low) * batch)) \
  'BEGIN { printf "control_dispatch instructions_per_datagram=%.0f\n", (b - a) / n }'
