#!/bin/bash
# The API's local search over HTTP (the media server's harness in its API mode) against nginx-light
# listing the same folder as JSON (autoindex_format json): per request both read the folder and
# describe each of its videos, distinct files (copies of a few short clips, 200 unless
# BENCH_VIDEOS says otherwise); ours also matches the query, sorts by name and answers 50 of them,
# each with its thumbnail (made once before the runs). wrk at 1 connection and at 32, our cap of
# unanswered connections (more would have ours close the excess at once, which flatters its
# p99), "Connection: close" on both; the servers take turns within each round (the order swapping
# every round) on the same cores, nginx with one worker per core, wrk on other cores. Per side:
# req/s, p99, wrk's errors and non-2xx replies, and the server's CPU milliseconds and context
# switches per request (from /proc, over every thread of the server and its children). Then ours
# on /resolve of one listed video at 1 connection: its CPU and context switches per request; with
# a second harness (BENCH_BASELINE, say the build of main) on the same folder and cores, the two
# take turns within each round (the order swapping every round) and the median of the rounds'
# ratios of CPU and of switches per request (ours over base) is quoted.
#
#   bench/api_vs_nginx.sh [path/to/mediaserver-harness] [seconds per run] [runs]
#   BENCH_SERVER_CPUS=2,3 BENCH_CLIENT_CPUS=4,5 to choose the cores, BENCH_VIDEOS=2000 for a larger folder,
#   BENCH_BASELINE=path/to/another/mediaserver-harness for the /resolve side "base", BENCH_SEARCH=0 to
#   leave out the search against nginx.
set -euo pipefail

harness=${1:-build/tools/mediaserver-harness/mediaserver-harness}
seconds=${2:-10}
runs=${3:-3}
server_cpus=${BENCH_SERVER_CPUS:-2,3}
client_cpus=${BENCH_CLIENT_CPUS:-4,5}
videos=${BENCH_VIDEOS:-200}
baseline=${BENCH_BASELINE:-}
search=${BENCH_SEARCH:-1}
for exe in "$harness" ${baseline:+"$baseline"}; do
  [ -x "$exe" ] || { echo "no harness at $exe" >&2; exit 2; }
done
for tool in wrk /usr/sbin/nginx taskset ffmpeg; do
  command -v "$tool" >/dev/null || { echo "$tool is needed (deps/debian-packages.txt)" >&2; exit 2; }
done

source "$(dirname "${BASH_SOURCE[0]}")/wrk_measures.sh"
bench_start
load_at_start=$(cut -d' ' -f1-3 /proc/loadavg)

# Four short clips with sound (so that a resolve's tempo analysis ends with a tempo), copied
# round-robin into one flat folder: every name its own file.
mkdir -p "$work/videos"
sources=(testsrc2 smptebars rgbtestsrc mandelbrot)
for i in "${!sources[@]}"; do
  ffmpeg -nostdin -y -v error -f lavfi -i "${sources[$i]}=rate=25:size=320x240" -f lavfi -i "sine=f=$((220 * (i + 1)))" \
    -t 1 -c:v libx264 -pix_fmt yuv420p -c:a aac -shortest "$work/clip$i.mp4"
done
for i in $(seq "$videos"); do cp "$work/clip$((i % ${#sources[@]})).mp4" "$work/videos/item $i.mp4"; done

write_count_lua "$work/count.lua"

declare -A url pidof resolve_url
# Warm: the folder in the page cache, the answer's thumbnails made; one listed id to resolve (the
# same for both harnesses: the id derives from the file).
start_api() { # side harness
  local port token id
  start_fed "$1" 1 taskset -c "$server_cpus" "$2" --api "$work/videos"
  pidof[$1]=$fed_pid
  read -r port token < <(head -1 "$work/$1.out" | python3 -c 'import json,sys; d=json.load(sys.stdin); print(d["port"], d["token"])')
  url[$1]="http://127.0.0.1:$port/search?s=$token&q=item"
  id=$(curl -sf "${url[$1]}" | python3 -c 'import json,sys; print(json.load(sys.stdin)["items"][0]["videoID"])')
  resolve_url[$1]="http://127.0.0.1:$port/resolve?s=$token&v=$id"
  curl -sf -o /dev/null "${resolve_url[$1]}"
}
start_api ours "$harness"
harness_pid=${pidof[ours]}
resolvers=(ours)
if [ -n "$baseline" ]; then
  start_api base "$baseline"
  resolvers+=(base)
fi
rss_before=$(awk '/VmRSS/ { printf "%.1f", $2 / 1024 }' "/proc/$harness_pid/status")

p=$(free_port)
url[nginx]="http://127.0.0.1:$p/videos/"
start_nginx nginx "$server_cpus" "${url[nginx]}" \
  "  server { listen 127.0.0.1:$p; location /videos/ { alias $work/videos/; autoindex on; autoindex_format json; } }" \
  "$(tr ',' '\n' <<<"$server_cpus" | grep -c .)"
pidof[nginx]=$nginx_pid

run_once() { # url pid conns -> "req/s p99_ms errors non2xx cpu_ms_per_request switches_per_request"
  local threads cpu_before switches_before out
  threads=$([ "$3" -gt 1 ] && echo 2 || echo 1)
  cpu_before=$(tree_cpu_seconds "$2")
  switches_before=$(tree_switches "$2")
  out=$(taskset -c "$client_cpus" wrk -t"$threads" -c"$3" -d"${seconds}s" --timeout 30s -s "$work/count.lua" \
    -H "Connection: close" "$1")
  awk -v cpu="$(awk -v b="$cpu_before" -v a="$(tree_cpu_seconds "$2")" 'BEGIN { print a - b }')" \
    -v sw="$(($(tree_switches "$2") - switches_before))" '$1 == "bench_result" {
      for (i = 2; i <= NF; i++) { split($i, kv, "="); f[kv[1]] = kv[2] }
      s = f["duration_us"] / 1e6; r = f["requests"] > 0 ? f["requests"] : 1
      printf "%.1f %.2f %d %d %.3f %.1f\n", f["requests"] / s, f["p99_us"] / 1000, f["errors"], f["non2xx"],
        cpu * 1000 / r, sw / r }' <<<"$out"
}

printf '%-6s %5s %10s %10s %7s %7s %10s %9s\n' server conns req/s p99_ms errors non2xx cpu_ms/req switch/req
for conns in $([ "$search" = 0 ] || echo 1 32); do
  declare -A samples=()
  ratios=""
  for ((round = 0; round < runs; round++)); do
    order=(ours nginx)
    [ $((round % 2)) = 1 ] && order=(nginx ours)
    declare -A this=()
    for server in "${order[@]}"; do
      this[$server]=$(run_once "${url[$server]}" "${pidof[$server]}" "$conns")
      samples[$server]+="${this[$server]}"$'\n'
    done
    ratios+="$(awk -v a="${this[ours]%% *}" -v b="${this[nginx]%% *}" 'BEGIN { print (b > 0 ? a / b : 0) }')"$'\n'
  done
  for server in ours nginx; do
    col() { awk -v c="$1" 'NF { print $c }' <<<"${samples[$server]}"; }
    printf '%-6s %5d %10.1f %10.2f %7.0f %7.0f %10.3f %9.1f\n' "$server" "$conns" "$(col 1 | median)" \
      "$(col 2 | median)" "$(col 3 | median)" "$(col 4 | median)" "$(col 5 | median)" "$(col 6 | median)"
  done
  echo "  req/s ours/nginx at $conns: median of the rounds' ratios $(awk 'NF' <<<"$ratios" | median | awk '{ printf "%.3f", $1 }'), spread $(awk 'NF' <<<"$ratios" | spread)%"
done

declare -A resolves=()
cpu_ratios=""
switch_ratios=""
for ((round = 0; round < runs; round++)); do
  order=("${resolvers[@]}")
  [ $((round % 2)) = 1 ] && [ ${#order[@]} = 2 ] && order=(base ours)
  declare -A this=()
  for side in "${order[@]}"; do
    this[$side]=$(run_once "${resolve_url[$side]}" "${pidof[$side]}" 1)
    resolves[$side]+="${this[$side]}"$'\n'
  done
  if [ -n "$baseline" ]; then
    read -r -a o <<<"${this[ours]}"
    read -r -a b <<<"${this[base]}"
    cpu_ratios+="$(awk -v a="${o[4]}" -v b="${b[4]}" 'BEGIN { print (b > 0 ? a / b : 0) }')"$'\n'
    switch_ratios+="$(awk -v a="${o[5]}" -v b="${b[5]}" 'BEGIN { print (b > 0 ? a / b : 0) }')"$'\n'
  fi
done
for side in "${resolvers[@]}"; do
  col() { awk -v c="$1" 'NF { print $c }' <<<"${resolves[$side]}"; }
  printf '%s /resolve at 1 connection: %.1f req/s, p99 %.2f ms, %.3f ms of CPU and %.1f context switches per request\n' \
    "$side" "$(col 1 | median)" "$(col 2 | median)" "$(col 5 | median)" "$(col 6 | median)"
done
if [ -n "$baseline" ]; then
  echo "  /resolve ours/base: CPU per request, median of the rounds' ratios $(awk 'NF' <<<"$cpu_ratios" | median | awk '{ printf "%.3f", $1 }') (spread $(awk 'NF' <<<"$cpu_ratios" | spread)%); switches per request $(awk 'NF' <<<"$switch_ratios" | median | awk '{ printf "%.3f", $1 }') (spread $(awk 'NF' <<<"$switch_ratios" | spread)%)"
fi

echo "harness RSS MiB before $rss_before, after $(awk '/VmRSS/ { printf "%.1f", $2 / 1024 }' "/proc/$harness_pid/status"), peak $(peak_rss_mib "$harness_pid")"
echo "medians of $runs runs of ${seconds} s over $videos videos; servers on cores $server_cpus, wrk on $client_cpus, on $(machine_setup); load at the start $load_at_start, at the end $(cut -d' ' -f1-3 /proc/loadavg)"
