# Shared by the side-by-side scripts (sourced): their scratch folder and the processes to end with
# it, servers fed on a fifo, nginx from a private configuration, wrk's exact summary, a free loopback
# port, a process tree's peak RSS, medians and a 95 % interval for them, the idle share of cores, the
# machine's TCP set-up, and wrk's latency and throughput texts in ms and MB.

# Makes $work and ends every pid in $pids, then removes $work, when the script exits.
bench_start() {
  work=$(mktemp -d)
  pids=()
  trap bench_cleanup EXIT
}
bench_cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}

# Runs a command with its stdin held open on $work/NAME.in until the end and its stdout in
# $work/NAME.out (stderr dropped), then waits until that holds LINES lines; the pid in fed_pid.
start_fed() { # name lines command...
  local name=$1 lines=$2
  shift 2
  : >"$work/$name.out"
  mkfifo "$work/$name.in"
  sleep infinity >"$work/$name.in" &
  pids+=($!)
  "$@" <"$work/$name.in" >"$work/$name.out" 2>/dev/null &
  fed_pid=$!
  pids+=($fed_pid)
  for _ in $(seq 100); do [ "$(wc -l <"$work/$name.out")" -ge "$lines" ] && break; sleep 0.05; done
}

# nginx with WORKERS workers (default $BENCH_NGINX_WORKERS, else one), from a configuration in
# $work/NAME whose http block holds BODY (its server blocks listen on a port from free_port), on
# CPUS (empty: any); the pid in nginx_pid. Waits until URL answers.
start_nginx() { # name cpus url body [workers]
  local dir="$work/$1" pin=() workers=${5:-${BENCH_NGINX_WORKERS:-1}}
  mkdir -p "$dir"
  cat >"$dir/nginx.conf" <<CONF
$( [ "$(id -u)" = 0 ] && echo "user root;" )
worker_processes $workers;
daemon off;
pid $dir/nginx.pid;
error_log $dir/error.log;
events { worker_connections 1024; }
http {
  access_log off;
  client_body_temp_path $dir;
$4
}
CONF
  [ -n "$2" ] && pin=(taskset -c "$2")
  "${pin[@]}" /usr/sbin/nginx -p "$dir" -c "$dir/nginx.conf" &
  nginx_pid=$!
  pids+=($nginx_pid)
  for _ in $(seq 100); do curl -sf -o /dev/null -r 0-0 "$3" && break; sleep 0.05; done
}

# wrk's own summary from its Lua hooks, exact counts instead of its rounded, unit-suffixed text:
# one line "bench_result requests= bytes= non2xx= errors= duration_us= p99_us=" (errors: wrk's
# connect, read, write and timeout errors). Only done() is defined, so wrk does not buffer bodies.
write_count_lua() { # file
  cat >"$1" <<'LUA'
done = function(summary, latency, requests)
  io.write(string.format("bench_result requests=%d bytes=%d non2xx=%d errors=%d duration_us=%d p99_us=%d\n",
    summary.requests, summary.bytes, summary.errors.status,
    summary.errors.connect + summary.errors.read + summary.errors.write + summary.errors.timeout,
    summary.duration, latency:percentile(99)))
end
LUA
}

# CPU seconds (user and system) of a process and its children, such as nginx's workers, from /proc.
tree_cpu_seconds() { # pid
  local pid
  for pid in $1 $(pgrep -P "$1" || true); do cat "/proc/$pid/stat" 2>/dev/null || true; done |
    awk -v hz="$(getconf CLK_TCK)" '{ sub(/^.*\) /, ""); t += ($12 + $13) / hz } END { printf "%.2f\n", t }'
}
# Context switches (voluntary and involuntary) over every thread of a process and its children.
tree_switches() { # pid
  local pid
  for pid in $1 $(pgrep -P "$1" || true); do cat /proc/"$pid"/task/*/status 2>/dev/null || true; done |
    awk '/^(voluntary|nonvoluntary)_ctxt_switches:/ { n += $2 } END { print n + 0 }'
}

# Appends wrk hooks that seed each wrk thread's generator from SEED and the thread's number, so
# that the same requests, in the same order, reach every server.
write_seed_lua() { # file seed
  cat >>"$1" <<LUA
local threads = 0
function setup(thread)
  threads = threads + 1
  thread:set("number", threads)
end
function init(args)
  math.randomseed($2 * 1000 + number)
end
LUA
}

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
peak_rss_mib() {
  local peak=0 pid
  for pid in $1 $(pgrep -P "$1" || true); do
    peak=$(awk -v p="$peak" '/VmHWM/ { v = $2 / 1024; print (v > p) ? v : p }' "/proc/$pid/status")
  done
  echo "$peak"
}
# The median of the numbers on stdin, and their spread as (max - min) / median in percent.
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
spread() {
  sort -g | awk '{ v[NR] = $1 } END { m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2;
    printf "%.0f", (m > 0 ? 100 * (v[NR] - v[1]) / m : 0) }'
}
# A distribution-free 95 % interval for the median of the numbers on stdin (one a line), as lo-hi:
# the k-th lowest and the k-th highest, k the largest with P(Binomial(n, 1/2) < k) <= 2.5 %. Under
# six numbers no such k exists, and the whole range is given. A ratio whose interval holds 1 is not
# told apart from parity by the rounds taken.
median_interval() {
  sort -g | awk '{ v[NR] = $1 } END {
    n = NR; k = 1; below = 0; ways = 1
    for (i = 0; i < n; i++) { below += ways / 2 ^ n; if (below > 0.025) break; k = i + 1; ways = ways * (n - i) / (i + 1) }
    if (n > 0) printf "%.2f-%.2f", v[k], v[n + 1 - k] }'
}
# Idle and all ticks of the listed cores (the list as taskset takes it: 2,3 or 4-7), from /proc/stat.
cores_ticks() { # cpus
  awk -v list="$1" 'BEGIN {
      n = split(list, parts, ",")
      for (i = 1; i <= n; i++) {
        if (split(parts[i], r, "-") == 2) { for (c = r[1]; c <= r[2]; c++) want["cpu" c] = 1 } else want["cpu" parts[i]] = 1
      }
    }
    $1 in want { for (f = 2; f <= 9; f++) total += $f; idle += $5 + $6 }
    END { print idle + 0, total + 0 }' /proc/stat
}

# The cores and the TCP congestion control the figures were taken on. On loopback the congestion
# control moves the ratios: cubic in place of bbr left nginx's replies/s at one connection where they
# were and raised our server's by 8 to 17 %, so figures from machines set up apart do not compare.
machine_setup() {
  echo "$(nproc) cores, TCP congestion control $(cat /proc/sys/net/ipv4/tcp_congestion_control 2>/dev/null || echo unknown)"
}

to_ms() { awk '{ v = $1; if (v ~ /us$/) print v / 1000; else if (v ~ /ms$/) print v + 0; else if (v ~ /s$/) print v * 1000; else print v }'; }
to_mb() { awk '{ v = $1; if (v ~ /GB$/) print v * 1024; else if (v ~ /MB$/) print v + 0; else if (v ~ /KB$/) print v / 1024; else print v / 1048576 }'; }
