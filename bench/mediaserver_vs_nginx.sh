#!/bin/bash
# The media server (through its harness) against nginx-light on one 100 MiB file, in the page
# cache for both: wrk with "Connection: close" asking for 1 MiB ranges at seeded random offsets
# (the same sequence for every server), at 1 and 8 connections; nginx with two workers, sendfile
# off and on, each from a private configuration on loopback. A second harness (BENCH_BASELINE,
# say the build of main) runs as one more side, for a before and after in one sitting.
#
# The machine is usually shared: each cell is several rounds, and within a round every server
# runs once, the order rotating from round to round, so no server always runs right after
# another's cache or scheduler state. A ratio is taken within each round and the median of those
# ratios is quoted with their range: the load drifts less between runs seconds apart than across
# the bench. The servers share one pair of cores and wrk another (taskset): two cores for our
# server's threads and for nginx's two workers alike, and none of them shared with the load.
#
# Per run: replies/s and MB/s of 2xx replies only (one file lies on one volume, where our server
# runs at most eight transfers at once and refuses the rest with an instant 503: those are
# counted apart, never as replies, and their bytes are left out), p99 over every reply, the
# server's CPU seconds per GiB of 2xx bodies and its context switches per 2xx reply (both over
# every thread of the server and its children, from /proc), the share of the server's cores left
# idle, and wrk's errors. A ratio is quoted with a 95 % interval for its median: on a shared machine
# rounds spread by several percent, and a few percent apart in one sitting may be no difference.
#
#   bench/mediaserver_vs_nginx.sh [path/to/mediaserver-harness] [seconds per run] [rounds]
#   BENCH_BASELINE=path/to/another/mediaserver-harness adds it as the side "base".
#   BENCH_SERVER_CPUS=2,3 BENCH_CLIENT_CPUS=4,5 to choose the cores; BENCH_CONNS="1 8" the cells;
#   BENCH_SEED=1 the ranges.
# Exits non-zero when ours moves fewer MB/s than nginx without sendfile in any cell, or refused
# any request.
set -euo pipefail

harness=${1:-build/tools/mediaserver-harness/mediaserver-harness}
seconds=${2:-10}
rounds=${3:-5}
baseline=${BENCH_BASELINE:-}
server_cpus=${BENCH_SERVER_CPUS:-2,3}
client_cpus=${BENCH_CLIENT_CPUS:-4,5}
conns_cells=${BENCH_CONNS:-1 8}
seed=${BENCH_SEED:-1}
for exe in "$harness" ${baseline:+"$baseline"}; do
  [ -x "$exe" ] || { echo "no harness at $exe" >&2; exit 2; }
done
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
write_count_lua "$work/ranges.lua"
write_seed_lua "$work/ranges.lua" "$seed"
cat >>"$work/ranges.lua" <<LUA
function request()
  local start = math.random(0, $((file_size - range_size)))
  local headers = {}
  for k, v in pairs(wrk.headers) do headers[k] = v end
  headers["Range"] = "bytes=" .. start .. "-" .. (start + $range_size - 1)
  return wrk.format(nil, nil, headers)
end
LUA

declare -A url pidof
start_harness() { # name executable
  start_fed "$1" 2 taskset -c "$server_cpus" "$2" "$work/clip.mp4"
  pidof[$1]=$fed_pid
  local port token
  port=$(sed -n 1p "$work/$1.out" | python3 -c 'import json,sys; print(json.load(sys.stdin)["port"])')
  token=$(sed -n 2p "$work/$1.out" | python3 -c 'import json,sys; print(json.load(sys.stdin)["token"])')
  url[$1]="http://127.0.0.1:$port/$token"
}
start_nginx_files() { # name sendfile
  local p
  p=$(free_port)
  url[$1]="http://127.0.0.1:$p/clip.mp4"
  start_nginx "$1" "$server_cpus" "${url[$1]}" "  sendfile $2;
  server { listen 127.0.0.1:$p; root $work; default_type video/mp4; }" 2
  pidof[$1]=$nginx_pid
}
servers=(ours)
start_harness ours "$harness"
if [ -n "$baseline" ]; then
  servers+=(base)
  start_harness base "$baseline"
fi
servers+=(nginx_off nginx_on)
start_nginx_files nginx_off off
start_nginx_files nginx_on on

# One run: "replies/s MB/s p99_ms cpu_s_per_GiB switches_per_reply refused errors idle%" of one
# server; idle% is the share of its cores' time left idle, which a server that hands work between
# threads leaves where one that keeps a thread busy on each core does not.
run_once() { # server conns
  local threads cpu0 cpu1 sw0 sw1 out idle0 ticks0 idle1 ticks1
  threads=$([ "$2" -gt 1 ] && echo 2 || echo 1)
  cpu0=$(tree_cpu_seconds "${pidof[$1]}") sw0=$(tree_switches "${pidof[$1]}")
  read -r idle0 ticks0 < <(cores_ticks "$server_cpus")
  # wrk leaves a reply slower than its timeout out of the latencies and counts it as an error.
  out=$(taskset -c "$client_cpus" wrk -t"$threads" -c"$2" -d"${seconds}s" --timeout 120s -s "$work/ranges.lua" \
    -H "Connection: close" "${url[$1]}")
  read -r idle1 ticks1 < <(cores_ticks "$server_cpus")
  cpu1=$(tree_cpu_seconds "${pidof[$1]}") sw1=$(tree_switches "${pidof[$1]}")
  awk -v cpu="$(awk -v a="$cpu1" -v b="$cpu0" 'BEGIN { print a - b }')" -v sw=$((sw1 - sw0)) \
    -v refusal="$refusal_bytes" -v idle=$((idle1 - idle0)) -v ticks=$((ticks1 - ticks0)) '
    $1 == "bench_result" {
      for (i = 2; i <= NF; i++) { split($i, kv, "="); f[kv[1]] = kv[2] }
      s = f["duration_us"] / 1e6
      ok = f["requests"] - f["non2xx"]
      bytes = f["bytes"] - f["non2xx"] * refusal
      printf "%.1f %.1f %.2f %.3f %.2f %d %d %.1f\n", ok / s, bytes / 1048576 / s, f["p99_us"] / 1000,
        (bytes > 0 ? cpu / (bytes / 1073741824) : 0), (ok > 0 ? sw / ok : 0), f["non2xx"], f["errors"],
        (ticks > 0 ? 100 * idle / ticks : 0)
    }' <<<"$out"
}

declare -A runs
printf '%-10s %-5s %10s %9s %8s %9s %9s %8s %7s %6s   %s\n' server conns replies/s MB/s p99_ms cpu_s/GiB switches \
  refused errors idle% "spread% (MB/s p99)"
for conns in $conns_cells; do
  for ((round = 0; round < rounds; round++)); do
    for ((i = 0; i < ${#servers[@]}; i++)); do
      server=${servers[$(((i + round) % ${#servers[@]}))]}
      runs[$server/$conns]+="$(run_once "$server" "$conns")"$'\n'
    done
  done
  for server in "${servers[@]}"; do
    col() { awk -v c="$1" 'NF { print $c }' <<<"${runs[$server/$conns]}"; }
    printf '%-10s %-5s %10.1f %9.1f %8.2f %9.3f %9.2f %8d %7d %6.1f   %s %s\n' "$server" "$conns" \
      "$(col 1 | median)" "$(col 2 | median)" "$(col 3 | median)" "$(col 4 | median)" "$(col 5 | median)" \
      "$(col 6 | awk '{ n += $1 } END { print n + 0 }')" "$(col 7 | awk '{ n += $1 } END { print n + 0 }')" \
      "$(col 8 | median)" "$(col 2 | spread)" "$(col 3 | spread)"
  done
done

echo
echo "medians of $rounds rounds of ${seconds} s (refused and errors: sums); servers on cores $server_cpus, wrk on $client_cpus;"
echo "load at the start $load_at_start, before the end $(cut -d' ' -f1-3 /proc/loadavg), on $(machine_setup)"
echo "peak RSS MiB: ours $(peak_rss_mib "${pidof[ours]}")${baseline:+, base $(peak_rss_mib "${pidof[base]:-0}")}, nginx sendfile off $(peak_rss_mib "${pidof[nginx_off]}"), on $(peak_rss_mib "${pidof[nginx_on]}")"
echo "ratios X/peer, medians of the rounds' own ratios: MB/s (the median's 95 % interval; lowest-highest),"
echo "p99 (lower is better), CPU per GiB (lower is better); beside them each side's median context switches per"
echo "reply and share of its cores left idle, and X's refusals:"
verdict=0
for conns in $conns_cells; do
  for side in ours ${baseline:+base}; do
    for peer in nginx_off nginx_on $([ "$side" = ours ] && [ -n "$baseline" ] && echo base); do
      paired=$(paste -d' ' <(awk 'NF' <<<"${runs[$side/$conns]}") <(awk 'NF' <<<"${runs[$peer/$conns]}"))
      ratio() { awk -v c="$1" '$(c + 8) > 0 { print $c / $(c + 8) }' <<<"$paired"; }
      mb=$(ratio 2 | median | awk '{ printf "%.2f", $1 }')
      mb_range="$(ratio 2 | median_interval); $(ratio 2 | sort -g | awk 'NR == 1 { lo = $1 } { hi = $1 } END { printf "%.2f-%.2f", lo, hi }')"
      p99=$(ratio 3 | median | awk '{ printf "%.2f", $1 }')
      cpu=$(ratio 4 | median | awk '{ printf "%.2f", $1 }')
      sw="$(awk '{ print $5 }' <<<"$paired" | median | awk '{ printf "%.1f", $1 }')/$(awk '{ print $13 }' <<<"$paired" |
        median | awk '{ printf "%.1f", $1 }')"
      idle="$(awk '{ print $8 }' <<<"$paired" | median | awk '{ printf "%.0f", $1 }')/$(awk '{ print $16 }' <<<"$paired" |
        median | awk '{ printf "%.0f", $1 }')"
      refused=$(awk '{ n += $6 } END { print n + 0 }' <<<"$paired")
      printf '  %-3s conns %-4s vs %-9s MB/s %s (%s)  p99 %s  CPU/GiB %s  switches/reply %s  idle%% %s  refused %d\n' \
        "$conns" "$side" "$peer" "$mb" "$mb_range" "$p99" "$cpu" "$sw" "$idle" "$refused"
      if [ "$side" = ours ] && [ "$peer" = nginx_off ]; then
        awk -v m="$mb" -v r="$refused" 'BEGIN { exit (m >= 1 && r == 0) ? 0 : 1 }' || verdict=1
      fi
    done
  done
done

# The server's own cost per reply, which the machine's load hides in the figures above: system
# calls and context switches of every side, counted by perf over one more run at 1 connection.
if command -v perf >/dev/null && perf stat -e raw_syscalls:sys_enter true >/dev/null 2>&1; then
  for server in "${servers[@]}"; do
    targets=$(echo "${pidof[$server]}" $(pgrep -P "${pidof[$server]}" || true) | tr ' ' ,)
    perf stat -x, -e context-switches,raw_syscalls:sys_enter -p "$targets" -o "$work/perf.csv" &
    perf_pid=$!
    sleep 0.5
    out=$(taskset -c "$client_cpus" wrk -t1 -c1 -d"${seconds}s" --timeout 120s -s "$work/ranges.lua" \
      -H "Connection: close" "${url[$server]}")
    kill -INT "$perf_pid"
    wait "$perf_pid" || true
    requests=$(awk '$1 == "bench_result" { split($2, kv, "="); print kv[2] }' <<<"$out")
    awk -F, -v r="$requests" -v s="$server" 'BEGIN { printf "%-9s per 1 MiB reply at 1 connection (%d replies):", s, r }
      $3 ~ /^context-switches/ { printf " %.1f context switches", (r > 0 ? $1 / r : 0) }
      $3 ~ /sys_enter/ { printf " %.1f system calls", (r > 0 ? $1 / r : 0) } END { print "" }' "$work/perf.csv"
  done
fi
[ "$verdict" = 0 ] && echo "target met: at every connection count at least nginx-without-sendfile MB/s, nothing refused" ||
  echo "target missed against nginx without sendfile (MB/s, or refusals)"
exit "$verdict"
