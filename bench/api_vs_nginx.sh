#!/bin/bash
# The API's local search over HTTP (the media server's harness in its API mode) against nginx-light
# serving the same answer as a static file: wrk with 200 connections on /search, the servers
# taking turns for several short runs. Prints requests/s, p99 latency and wrk's errors of each (the
# media server closes connections beyond its 32 unanswered, nginx has no such cap), the median of
# the rounds' req/s ratios, and the harness's RSS before and after.
#
#   bench/api_vs_nginx.sh [path/to/mediaserver-harness] [seconds per run] [runs]
#   BENCH_SERVER_CPUS=2,3 BENCH_CLIENT_CPUS=4,5 to choose the cores.
set -euo pipefail

harness=${1:-build/tools/mediaserver-harness/mediaserver-harness}
seconds=${2:-10}
runs=${3:-3}
server_cpus=${BENCH_SERVER_CPUS:-2,3}
client_cpus=${BENCH_CLIENT_CPUS:-4,5}
[ -x "$harness" ] || { echo "no harness at $harness" >&2; exit 2; }
for tool in wrk /usr/sbin/nginx taskset ffmpeg; do
  command -v "$tool" >/dev/null || { echo "$tool is needed (deps/debian-packages.txt)" >&2; exit 2; }
done

source "$(dirname "${BASH_SOURCE[0]}")/wrk_measures.sh"
bench_start

# 200 names for one short clip; a search answers 50 of them, each with a thumbnail.
mkdir -p "$work/videos" "$work/www"
ffmpeg -nostdin -y -v error -f lavfi -i testsrc2=rate=25:size=320x240 -t 1 -c:v libx264 -pix_fmt yuv420p \
  "$work/clip.mp4"
for i in $(seq 200); do ln "$work/clip.mp4" "$work/videos/item $i.mp4"; done

write_count_lua "$work/count.lua"

start_fed harness 1 taskset -c "$server_cpus" "$harness" --api "$work/videos"
harness_pid=$fed_pid
read -r port token < <(head -1 "$work/harness.out" | python3 -c 'import json,sys; d=json.load(sys.stdin); print(d["port"], d["token"])')
declare -A url pidof
url[ours]="http://127.0.0.1:$port/search?s=$token&q=item"
pidof[ours]=$harness_pid
# Warm: the folder's scan and the answer's thumbnails; the same bytes become nginx's file.
curl -sf -o "$work/www/search.json" "${url[ours]}"
rss_before=$(awk '/VmRSS/ { printf "%.1f", $2 / 1024 }' "/proc/$harness_pid/status")

p=$(free_port)
url[nginx]="http://127.0.0.1:$p/search.json"
start_nginx nginx "$server_cpus" "${url[nginx]}" "  server { listen 127.0.0.1:$p; root $work/www; default_type application/json; }"
pidof[nginx]=$nginx_pid

run_once() { # server -> "req/s p99_ms errors non2xx"
  taskset -c "$client_cpus" wrk -t2 -c200 -d"${seconds}s" --timeout 30s -s "$work/count.lua" \
    -H "Connection: close" "${url[$1]}" | awk '$1 == "bench_result" {
      for (i = 2; i <= NF; i++) { split($i, kv, "="); f[kv[1]] = kv[2] }
      s = f["duration_us"] / 1e6
      printf "%.1f %.2f %d %d\n", f["requests"] / s, f["p99_us"] / 1000, f["errors"], f["non2xx"] }'
}

declare -A samples
ratios=""
for ((round = 0; round < runs; round++)); do
  order=(ours nginx)
  [ $((round % 2)) = 1 ] && order=(nginx ours)
  declare -A this
  for server in "${order[@]}"; do
    this[$server]=$(run_once "$server")
    samples[$server]+="${this[$server]}"$'\n'
  done
  ratios+="$(awk -v a="${this[ours]%% *}" -v b="${this[nginx]%% *}" 'BEGIN { print (b > 0 ? a / b : 0) }')"$'\n'
done

printf '%-6s %10s %10s %8s %8s\n' server req/s p99_ms errors non2xx
for server in ours nginx; do
  col() { awk -v c="$1" 'NF { print $c }' <<<"${samples[$server]}"; }
  printf '%-6s %10.1f %10.2f %8.0f %8.0f\n' "$server" "$(col 1 | median)" "$(col 2 | median)" "$(col 3 | median)" \
    "$(col 4 | median)"
done
echo "req/s ours/nginx, median of the rounds' ratios: $(awk 'NF' <<<"$ratios" | median | awk '{ printf "%.3f", $1 }')"
echo "harness RSS MiB before $rss_before, after $(awk '/VmRSS/ { printf "%.1f", $2 / 1024 }' "/proc/$harness_pid/status"), peak $(peak_rss_mib "$harness_pid")"
echo "medians of $runs runs of ${seconds} s at 200 connections; servers on cores $server_cpus, wrk on $client_cpus; load $(cut -d' ' -f1-3 /proc/loadavg)"
