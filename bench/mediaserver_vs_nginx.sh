#!/bin/bash
# The media server (through its harness) against nginx-light on one 100 MiB file: wrk with
# "Connection: close" at 1 and 32 connections, whole file and 1 MiB ranges; nginx with sendfile
# off and on, each from a private configuration on loopback. Prints requests/s, MB/s, p99
# latency, server CPU and peak RSS, the ratios against nginx and, where perf may count them, the
# server's system calls and context switches per request, and wrk's errors (connections closed or
# reset before a whole reply) beside each ratio. Exits non-zero when, at 32 connections, the server
# moves fewer MB/s than nginx without sendfile, or when its p99 is worse than that nginx's in any
# cell, judged on the rounds where the server refused nothing: an instant 503 is a short latency
# that would flatter it.
#
# The machine this runs on is usually shared, so each cell is the median of several short runs
# that take turns between the servers (the order rotates each round, so no server always runs
# right after another's cache or scheduler state), and the spread of the runs is printed beside
# it. The servers share one set of cores and wrk another (taskset), so they compete for the same
# CPUs and not with the load generator.
#
# One file lies on one volume, where the server runs at most eight transfers at once and answers
# the others 503 at once, which wrk then follows with a fresh request (nginx has no such cap).
# MB/s therefore leaves the refusals' bytes out (wrk counts every byte read, headers and bodies
# that were still arriving when a run ended included), and the refused column counts them;
# req/s counts every reply. p99 is over every reply, refusals included.
#
#   bench/mediaserver_vs_nginx.sh [path/to/mediaserver-harness] [seconds per run] [runs per cell]
#   BENCH_SERVER_CPUS=2,3 BENCH_CLIENT_CPUS=4,5 to choose the cores.
set -euo pipefail

harness=${1:-build/tools/mediaserver-harness/mediaserver-harness}
seconds=${2:-10}
runs=${3:-3}
server_cpus=${BENCH_SERVER_CPUS:-2,3}
client_cpus=${BENCH_CLIENT_CPUS:-4,5}
[ -x "$harness" ] || { echo "no harness at $harness" >&2; exit 2; }
for tool in wrk /usr/sbin/nginx taskset; do
  command -v "$tool" >/dev/null || { echo "$tool is needed (deps/debian-packages.txt)" >&2; exit 2; }
done

source "$(dirname "${BASH_SOURCE[0]}")/wrk_measures.sh"
bench_start
load_at_start=$(cut -d' ' -f1-3 /proc/loadavg)

file_size=$((100 * 1024 * 1024))
range_size=$((1024 * 1024))
refusal="503 Service Unavailable"
refusal_bytes=$(printf 'HTTP/1.1 %s\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: %d\r\nConnection: close\r\n\r\n%s' \
  "$refusal" "${#refusal}" "$refusal" | wc -c)
head -c "$file_size" /dev/urandom >"$work/clip.mp4"
cat "$work/clip.mp4" >/dev/null # in the page cache for every server alike
write_count_lua "$work/count.lua"

start_fed harness 2 taskset -c "$server_cpus" "$harness" "$work/clip.mp4"
harness_pid=$fed_pid
port=$(sed -n 1p "$work/harness.out" | python3 -c 'import json,sys; print(json.load(sys.stdin)["port"])')
token=$(sed -n 2p "$work/harness.out" | python3 -c 'import json,sys; print(json.load(sys.stdin)["token"])')
declare -A url pidof
url[ours]="http://127.0.0.1:$port/$token"
pidof[ours]=$harness_pid

start_nginx_files() { # name sendfile
  local p
  p=$(free_port)
  url[$1]="http://127.0.0.1:$p/clip.mp4"
  start_nginx "$1" "$server_cpus" "${url[$1]}" "  sendfile $2;
  server { listen 127.0.0.1:$p; root $work; default_type video/mp4; }"
  pidof[$1]=$nginx_pid
}
start_nginx_files nginx_off off
start_nginx_files nginx_on on

# CPU seconds of a process and its children (nginx's worker), from /proc.
cpu_seconds() {
  local total=0 pid
  for pid in $1 $(pgrep -P "$1" || true); do
    total=$(awk -v t="$total" -v hz="$(getconf CLK_TCK)" '{ print t + ($14 + $15) / hz }' "/proc/$pid/stat")
  done
  echo "$total"
}

servers=(ours nginx_off nginx_on)
declare -A samples runs
# One run: "req/s MB/s p99_ms cpu non2xx errors" of one server in one cell.
run_once() { # server conns body
  local threads range=() before after out
  threads=$([ "$2" -gt 1 ] && echo 2 || echo 1)
  [ "$3" = 1MiB ] && range=(-H "Range: bytes=0-$((range_size - 1))")
  before=$(cpu_seconds "${pidof[$1]}")
  # wrk leaves a reply slower than its timeout out of the latencies and counts it as an error: a
  # whole file at 32 connections takes longer than its default of 2 s.
  out=$(taskset -c "$client_cpus" wrk -t"$threads" -c"$2" -d"${seconds}s" --timeout 120s -s "$work/count.lua" \
    -H "Connection: close" "${range[@]}" "${url[$1]}")
  after=$(cpu_seconds "${pidof[$1]}")
  awk -v a="$after" -v b="$before" -v refusal="$refusal_bytes" '
    $1 == "bench_result" {
      for (i = 2; i <= NF; i++) { split($i, kv, "="); f[kv[1]] = kv[2] }
      s = f["duration_us"] / 1e6
      printf "%.1f %.1f %.2f %.2f %d %d\n", f["requests"] / s, (f["bytes"] - f["non2xx"] * refusal) / 1048576 / s,
        f["p99_us"] / 1000, (a - b) / s, f["non2xx"], f["errors"]
    }' <<<"$out"
}

printf '%-10s %-6s %-5s %10s %10s %10s %6s %9s %7s   %s\n' server conns body req/s MB/s p99_ms cpu refused errors \
  "spread% (req/s MB/s p99)"
for conns in 1 32; do
  for body in full 1MiB; do
    for ((round = 0; round < runs; round++)); do
      for ((i = 0; i < ${#servers[@]}; i++)); do
        server=${servers[$(((i + round) % ${#servers[@]}))]}
        samples[$server]+="$(run_once "$server" "$conns" "$body")"$'\n'
      done
    done
    for server in "${servers[@]}"; do
      col() { awk -v c="$1" 'NF { print $c }' <<<"${samples[$server]}"; }
      rps=$(col 1 | median) mbs=$(col 2 | median) p99=$(col 3 | median) cpu=$(col 4 | median)
      refused=$(col 5 | median) errors=$(col 6 | median)
      noise="$(col 1 | spread) $(col 2 | spread) $(col 3 | spread)"
      runs[$server/$conns/$body]=${samples[$server]}
      printf '%-10s %-6s %-5s %10.1f %10.1f %10.2f %6.2f %9.0f %7.0f   %s\n' "$server" "$conns" "$body" "$rps" "$mbs" \
        "$p99" "$cpu" "$refused" "$errors" "$noise"
      samples[$server]=""
    done
  done
done

echo
echo "medians of $runs runs of ${seconds} s; servers on cores $server_cpus, wrk on $client_cpus; load at the start $load_at_start, before the end $(cut -d' ' -f1-3 /proc/loadavg)"
echo "peak RSS MiB: ours $(peak_rss_mib "${pidof[ours]}"), nginx sendfile off $(peak_rss_mib "${pidof[nginx_off]}"), on $(peak_rss_mib "${pidof[nginx_on]}")"
# A ratio is taken within each round, between runs a few seconds apart, and the median of those
# is quoted: the load of a shared machine drifts less within a round than across the whole bench.
echo "ratios ours/nginx, medians of the rounds' own ratios (req/s MB/s p99 cpu; MB/s lowest-highest), on $(nproc) cores;"
echo "p99 judged: the median p99 ratio of the rounds where ours refused nothing; errors: wrk's, medians per run, ours/peer:"
verdict=0
for conns in 1 32; do
  for body in full 1MiB; do
    for peer in nginx_off nginx_on; do
      ratios=$(paste -d' ' <(awk 'NF' <<<"${runs[ours/$conns/$body]}") <(awk 'NF' <<<"${runs[$peer/$conns/$body]}") |
        awk '{ for (c = 1; c <= 4; c++) printf "%s%s", ($(c + 6) > 0 ? $c / $(c + 6) : "nan"), (c < 4 ? " " : "\n") }')
      line=""
      for c in 1 2 3 4; do line+="$(awk -v c="$c" '{ print $c }' <<<"$ratios" | median | awk '{ printf "%.2f", $1 }') "; done
      range=$(awk '{ print $2 }' <<<"$ratios" | sort -g | awk 'NR == 1 { lo = $1 } { hi = $1 } END { printf "%.2f-%.2f", lo, hi }')
      paired=$(paste -d' ' <(awk 'NF' <<<"${runs[ours/$conns/$body]}") <(awk 'NF' <<<"${runs[$peer/$conns/$body]}"))
      judged=$(awk '$5 == 0 && $9 > 0 { print $3 / $9 }' <<<"$paired")
      p99_judged=$([ -n "$judged" ] && median <<<"$judged" | awk '{ printf "%.2f", $1 }' || echo "-")
      errors="$(awk '{ print $6 }' <<<"$paired" | median)/$(awk '{ print $12 }' <<<"$paired" | median)"
      printf '  %-3s conns %-5s vs %-9s %s (%s)  p99 judged %s over %d rounds  errors %s\n' "$conns" "$body" "$peer" \
        "${line% }" "$range" "$p99_judged" "$(grep -c . <<<"$judged" || true)" "$errors"
      if [ "$peer" = nginx_off ]; then
        read -r _ mb _ _ <<<"$line"
        if [ "$conns" = 32 ]; then awk -v m="$mb" 'BEGIN { exit m >= 1 ? 0 : 1 }' || verdict=1; fi
        if [ "$p99_judged" != - ]; then awk -v p="$p99_judged" 'BEGIN { exit p <= 1 ? 0 : 1 }' || verdict=1; fi
      fi
    done
  done
done

# The server's own cost per request, which the machine's load hides in the figures above: system
# calls and context switches of the harness, counted by perf over one more run at 1 connection with
# 1 MiB ranges (no refusals there, so every reply is a whole transfer).
if command -v perf >/dev/null && perf stat -e raw_syscalls:sys_enter true >/dev/null 2>&1; then
  perf stat -x, -e context-switches,raw_syscalls:sys_enter -p "${pidof[ours]}" -o "$work/perf.csv" &
  perf_pid=$!
  sleep 0.5
  out=$(taskset -c "$client_cpus" wrk -t1 -c1 -d"${seconds}s" --timeout 120s -s "$work/count.lua" \
    -H "Connection: close" -H "Range: bytes=0-$((range_size - 1))" "${url[ours]}")
  kill -INT "$perf_pid"
  wait "$perf_pid" || true
  requests=$(awk '$1 == "bench_result" { split($2, kv, "="); print kv[2] }' <<<"$out")
  awk -F, -v r="$requests" 'BEGIN { printf "ours per 1 MiB request at 1 connection (%d requests):", r }
    $3 ~ /^context-switches/ { printf " %.1f context switches", (r > 0 ? $1 / r : 0) }
    $3 ~ /sys_enter/ { printf " %.1f system calls", (r > 0 ? $1 / r : 0) } END { print "" }' "$work/perf.csv"
fi
[ "$verdict" = 0 ] && echo "target met: at 32 connections at least nginx-without-sendfile MB/s; p99 no worse where judged" \
  || echo "target missed against nginx without sendfile (MB/s at 32 connections, or p99 where judged)"
exit "$verdict"
