#!/bin/bash
# The media server (through its harness) against nginx-light on one 100 MiB file, in one run:
# wrk with "Connection: close" at 1 and 32 connections, whole file and 1 MiB ranges; nginx with
# sendfile off and on, each from a private configuration on loopback. Prints requests/s, MB/s,
# p99 latency, server CPU and peak RSS, and the ratios against nginx. Exits non-zero when, at 32
# connections, the server moves fewer MB/s than nginx without sendfile or its p99 is worse.
# One file lies on one volume, where the server runs at most eight transfers at once and answers
# the others 503 at once: the "refused" column counts them (nginx has no such cap).
#
#   bench/mediaserver_vs_nginx.sh [path/to/mediaserver-harness] [seconds per run]
set -euo pipefail

harness=${1:-build/tools/mediaserver-harness/mediaserver-harness}
seconds=${2:-10}
[ -x "$harness" ] || { echo "no harness at $harness" >&2; exit 2; }
for tool in wrk /usr/sbin/nginx; do
  command -v "$tool" >/dev/null || { echo "$tool is needed (deps/debian-packages.txt)" >&2; exit 2; }
done

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

head -c $((100 * 1024 * 1024)) /dev/urandom >"$work/clip.mp4"
cat "$work/clip.mp4" >/dev/null # in the page cache for every server alike

source "$(dirname "${BASH_SOURCE[0]}")/wrk_measures.sh"

# The harness: its stdin stays open on a fifo until the end.
mkfifo "$work/harness.in"
sleep infinity >"$work/harness.in" &
pids+=($!)
"$harness" "$work/clip.mp4" <"$work/harness.in" >"$work/harness.out" 2>/dev/null &
harness_pid=$!
pids+=($harness_pid)
for _ in $(seq 100); do [ "$(wc -l <"$work/harness.out")" -ge 2 ] && break; sleep 0.05; done
port=$(sed -n 1p "$work/harness.out" | python3 -c 'import json,sys; print(json.load(sys.stdin)["port"])')
token=$(sed -n 2p "$work/harness.out" | python3 -c 'import json,sys; print(json.load(sys.stdin)["token"])')
declare -A url pidof
url[ours]="http://127.0.0.1:$port/$token"
pidof[ours]=$harness_pid

start_nginx() { # name sendfile
  local dir="$work/$1" p
  p=$(free_port)
  mkdir -p "$dir"
  cat >"$dir/nginx.conf" <<CONF
$( [ "$(id -u)" = 0 ] && echo "user root;" )
worker_processes 1;
daemon off;
pid $dir/nginx.pid;
error_log $dir/error.log;
events { worker_connections 1024; }
http {
  access_log off;
  sendfile $2;
  client_body_temp_path $dir;
  server { listen 127.0.0.1:$p; root $work; default_type video/mp4; }
}
CONF
  /usr/sbin/nginx -p "$dir" -c "$dir/nginx.conf" &
  pids+=($!)
  pidof[$1]=$!
  url[$1]="http://127.0.0.1:$p/clip.mp4"
  for _ in $(seq 100); do curl -sf -o /dev/null -r 0-0 "${url[$1]}" && break; sleep 0.05; done
}
start_nginx nginx_off off
start_nginx nginx_on on

# CPU seconds of a process and its children (nginx's worker), from /proc.
cpu_seconds() {
  local total=0 pid
  for pid in $1 $(pgrep -P "$1" || true); do
    total=$(awk -v t="$total" -v hz="$(getconf CLK_TCK)" '{ print t + ($14 + $15) / hz }' "/proc/$pid/stat")
  done
  echo "$total"
}

declare -A result
printf '%-10s %-6s %-5s %10s %10s %10s %8s %8s\n' server conns body req/s MB/s p99_ms cpu refused
for conns in 1 32; do
  threads=$([ "$conns" -gt 1 ] && echo 2 || echo 1)
  for body in full 1MiB; do
    range=()
    [ "$body" = 1MiB ] && range=(-H "Range: bytes=0-1048575")
    for server in ours nginx_off nginx_on; do
      before=$(cpu_seconds "${pidof[$server]}")
      out=$(wrk -t"$threads" -c"$conns" -d"${seconds}s" --latency -H "Connection: close" "${range[@]}" "${url[$server]}")
      after=$(cpu_seconds "${pidof[$server]}")
      rps=$(awk '/Requests\/sec/ { print $2 }' <<<"$out")
      mbs=$(awk '/Transfer\/sec/ { print $2 }' <<<"$out" | to_mb)
      p99=$(awk '$1 == "99%" { print $2 }' <<<"$out" | to_ms)
      cpu=$(awk -v a="$after" -v b="$before" -v s="$seconds" 'BEGIN { printf "%.2f", (a - b) / s }')
      refused=$(awk '/Non-2xx/ { print $5 }' <<<"$out")
      key="$server/$conns/$body"
      result[$key]="$rps $mbs $p99 $cpu"
      printf '%-10s %-6s %-5s %10.1f %10.1f %10.2f %8s %8s\n' "$server" "$conns" "$body" "$rps" "$mbs" "$p99" "$cpu" "${refused:-0}"
    done
  done
done

echo
echo "peak RSS MiB: ours $(peak_rss_mib "${pidof[ours]}"), nginx sendfile off $(peak_rss_mib "${pidof[nginx_off]}"), on $(peak_rss_mib "${pidof[nginx_on]}")"
echo "ratios ours/nginx (req/s MB/s p99 cpu), on $(nproc) cores:"
verdict=0
for conns in 1 32; do
  for body in full 1MiB; do
    for peer in nginx_off nginx_on; do
      read -r r1 m1 p1 c1 <<<"${result[ours/$conns/$body]}"
      read -r r2 m2 p2 c2 <<<"${result[$peer/$conns/$body]}"
      line=$(awk -v r1="$r1" -v r2="$r2" -v m1="$m1" -v m2="$m2" -v p1="$p1" -v p2="$p2" -v c1="$c1" -v c2="$c2" \
        'function q(a, b) { return b > 0 ? sprintf("%.2f", a / b) : "-" } BEGIN { print q(r1, r2), q(m1, m2), q(p1, p2), q(c1, c2) }')
      printf '  %-3s conns %-5s vs %-9s %s\n' "$conns" "$body" "$peer" "$line"
      if [ "$conns" = 32 ] && [ "$peer" = nginx_off ]; then
        awk -v m1="$m1" -v m2="$m2" -v p1="$p1" -v p2="$p2" 'BEGIN { exit (m1 >= m2 && p1 <= p2) ? 0 : 1 }' || verdict=1
      fi
    done
  done
done
[ "$verdict" = 0 ] && echo "target met: at 32 connections at least nginx-without-sendfile MB/s, p99 no worse" \
  || echo "target missed at 32 connections against nginx without sendfile"
exit "$verdict"
