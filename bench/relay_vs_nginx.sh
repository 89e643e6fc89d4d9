#!/bin/bash
# The media server with the relay against nginx as a caching ranged proxy (slice 2m, proxy_cache,
# no upstream keep-alive, two workers), both in front of one fake upstream (the fake remote's media
# role), side by side on equal terms:
#
# - the servers share two cores (PD_BENCH_SERVER_CPUS, default 4,5) and wrk has two others
#   (PD_BENCH_WRK_CPUS, default 6,7); the fake upstream and curl stay on the rest;
# - every case runs in rounds; within a round each side runs once, in an order that rotates from
#   round to round, so a slow spell of a shared machine falls on every side of a ratio;
# - both sides get the same ranges: wrk's Lua is seeded per round and per wrk thread;
# - "Connection: close" on both; only 2xx replies count as replies (a 503 is no reply served);
# - a ratio is the median of the rounds' own ratios (higher is ours better, but for p99), the MB/s
#   ratio with a 95 % interval for that median;
# - beside each ratio: the CPU time of each server's processes per GiB served (from their /proc
#   ticks) and their context switches per reply (voluntary and not, summed over every thread).
#
# Cases: memory hits (a 24 MiB file, all of it in the relay's memory after a warm pass) with 1 MiB
# ranges (half of them on the 2 MiB grid) at 1 and 8 connections and 100-byte ranges at 1 and 8;
# disk hits (a 200 MiB file read once through each, then served from a second token of ours with
# nothing of it in memory, beside nginx's cache) with 1 MiB ranges at 1 and 8 connections and
# 100-byte ranges at 1; then the prefetch rate at the relay's 1 MiB/s over PD_BENCH_PREFETCH_SECONDS
# (default 60; 0 skips it).
#
# The held-out check ("heldout") asks both servers, on the same terms, for what the cases above were
# never tuned on: ranges of 512 B to 4 MiB (spread evenly over the logarithm of the length)
# anywhere in the media, an eighth of them suffix ranges ("bytes=-N") and an eighth open to the end
# ("bytes=N-"), from seeds no other case uses; on the memory file at 1 and 8 connections and on the
# disk file at 1 and 8, each after its own cases.
#
# PD_BENCH_BASE_HOST names a second build of the bench host (another commit's) that takes its turns
# beside ours, so that a change is measured against its base in the same sitting; PD_BENCH_CASES
# picks cases (default "memory disk heldout prefetch"; "disk-1mib" is the disk hits of 1 MiB alone).
# PD_BENCH_CONNS sets the connection counts of the 1 MiB cases (default "1 8").
#
# PD_BENCH_AGAINST=base leaves nginx out: ours takes turns with the base build alone, and each ratio
# is ours against the base. A change of a few percent hides in the spread of a sitting against
# nginx; "disk-1mib" at one connection in 50 rounds of 2 s (under four minutes) tells it apart.
#
# PD_BENCH_NGINX_SENDFILE=on gives nginx sendfile (default off, nginx's own default). On loopback
# it saves nginx CPU but costs it replies (disk hits of 1 MiB: 0.41 -> 0.16 CPU s per GiB, yet
# 2,095 -> 1,491 replies/s at one connection and 4,407 -> 3,069 at eight), so off is the stronger
# peer here.
#
# On a shared machine one build's replies/s can differ twofold between two runs in a row (the
# memory bandwidth and the neighbours' load move under it). A copy of the same build given as the
# base shows how far a sitting spreads on its own; more rounds of fewer seconds (such as 3 s and
# 12 rounds) keep each round's sides closer in time than the defaults do.
#
#   bench/relay_vs_nginx.sh [path/to/relay_bench_host] [seconds per run] [rounds]
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
host=${1:-build/bench/relay_bench_host}
seconds=${2:-10}
rounds=${3:-5}
base_host=${PD_BENCH_BASE_HOST:-}
cases=${PD_BENCH_CASES:-memory disk heldout prefetch}
server_cpus=${PD_BENCH_SERVER_CPUS:-4,5}
wrk_cpus=${PD_BENCH_WRK_CPUS:-6,7}
other_cpus=${PD_BENCH_OTHER_CPUS:-0-3}
nginx_sendfile=${PD_BENCH_NGINX_SENDFILE:-off}
against=${PD_BENCH_AGAINST:-nginx}
big_conns=${PD_BENCH_CONNS:-1 8}
case "$against" in
  nginx) ;;
  base) [ -n "$base_host" ] || { echo "PD_BENCH_AGAINST=base needs PD_BENCH_BASE_HOST" >&2; exit 2; } ;;
  *) echo "PD_BENCH_AGAINST is nginx or base" >&2; exit 2 ;;
esac
# The name of nginx's side, or nothing when it is left out.
peer() { if [ "$against" = nginx ]; then echo "$1"; fi; }
[ -x "$host" ] || { echo "no bench host at $host" >&2; exit 2; }
[ -z "$base_host" ] || [ -x "$base_host" ] || { echo "no base bench host at $base_host" >&2; exit 2; }
for tool in wrk curl taskset /usr/sbin/nginx; do
  command -v "$tool" >/dev/null || { echo "$tool is needed" >&2; exit 2; }
done
wants() { [[ " $cases " == *" $1 "* ]]; }

size=$((24 * 1024 * 1024))
source "$(dirname "${BASH_SOURCE[0]}")/wrk_measures.sh"
bench_start
head -c "$size" /dev/urandom >"$work/clip.mp4"
echo "load before: $(cut -d' ' -f1-3 /proc/loadavg) on $(machine_setup); servers on $server_cpus, wrk on $wrk_cpus"

usage_of() { echo "$(tree_cpu_seconds "$1") $(tree_switches "$1")"; }

# The fake upstream: commands on its stdin; its stdout reports every request.
start_fed fake 1 taskset -c "$other_cpus" /usr/bin/python3 "$here/tools/fake-remote/fake_remote.py" \
  --state-dir "$work/fake"
exec 3>"$work/fake.in"
for _ in $(seq 200); do grep -q '"ready"' "$work/fake.out" 2>/dev/null && break; sleep 0.05; done
upstream_port=$(grep -m1 '"ready"' "$work/fake.out" | python3 -c 'import json,sys; print(json.load(sys.stdin)["http_port"])')
echo "{\"media\": \"clip\", \"file\": \"$work/clip.mp4\", \"id\": 1}" >&3
for _ in $(seq 100); do grep -q '"ack"' "$work/fake.out" && break; sleep 0.05; done
upstream_requests() { grep -c '"event": "media"' "$work/fake.out" || true; }
fetch() { taskset -c "$other_cpus" curl -sf "$@"; }

declare -A url pidof warm
# A bench host of ours, named $1, built at $2, for the upstream media $3 of length $4, with a disk
# cache when $5 is given; its port and tokens are read from $work/$1.out.
start_host() {
  start_fed "$1" 1 taskset -c "$server_cpus" "$2" "http://127.0.0.1:$upstream_port/media/$3" "$4" ${5:+"$5"}
  pidof[$1]=$fed_pid
}
ours_sides="ours"
[ -n "$base_host" ] && ours_sides="ours base"
host_of() { if [ "$1" = base ]; then echo "$base_host"; else echo "$host"; fi; }

# nginx: a caching proxy that asks the upstream for 2 MiB slices.
p=$(free_port)
mkdir -p "$work/nginx/cache"
url[nginx]="http://127.0.0.1:$p/clip"
url[nginxbig]="http://127.0.0.1:$p/big"
start_nginx nginx "$server_cpus" "${url[nginx]}" "  proxy_temp_path $work/nginx/tmp;
  proxy_cache_path $work/nginx/cache levels=1:2 keys_zone=relay:10m max_size=1g inactive=1h use_temp_path=off;
  sendfile $nginx_sendfile;
  server {
    listen 127.0.0.1:$p;
    location / {
      slice 2m;
      proxy_cache relay;
      proxy_cache_key \$uri\$slice_range;
      proxy_set_header Range \$slice_range;
      proxy_cache_valid 200 206 1h;
      proxy_pass http://127.0.0.1:$upstream_port/media/;
    }
  }" 2
pidof[nginx]=$nginx_pid
pidof[nginxbig]=$nginx_pid

# Reads the whole media once through a side, counting what reaches the upstream; $3: the media.
warm_pass() { # side url media
  local before
  before=$(upstream_requests)
  fetch -o "$work/$1.copy" "$2"
  cmp -s "$work/$1.copy" "$work/$3" || { echo "$1 served other bytes" >&2; exit 1; }
  rm -f "$work/$1.copy"
  warm[$1]=$(($(upstream_requests) - before))
}

# wrk's script for ranges of `span` bytes in media of `total` bytes: half of them on the 2 MiB grid
# (when the span allows), seeded by the round and the wrk thread so that every side is asked the
# same ranges in one round; exact counts in done(). A span of "heldout" asks the held-out ranges.
ranges_lua() { # file total span seed
  write_count_lua "$1"
  if [ "$3" = heldout ]; then
    write_seed_lua "$1" $(($4 + 1000))
    cat >>"$1" <<LUA
local total = $2
local shortest, longest = math.log(512), math.log(math.min(4194304, total))
request = function()
  local length = math.floor(math.exp(shortest + math.random() * (longest - shortest)))
  local kind = math.random()
  local range
  if kind < 0.125 then
    range = "bytes=-" .. length
  elseif kind < 0.25 then
    range = "bytes=" .. (total - length) .. "-"
  else
    local start = math.random(0, total - length)
    range = "bytes=" .. start .. "-" .. (start + length - 1)
  end
  return wrk.format("GET", nil, { ["Range"] = range, ["Connection"] = "close" })
end
LUA
    return
  fi
  write_seed_lua "$1" "$4"
  cat >>"$1" <<LUA
local total = $2
local span = $3
request = function()
  local start
  if math.random() < 0.5 then
    start = math.random(0, total / 2097152 - 1) * 2097152
  else
    start = math.random(0, total - span - 1)
  end
  return wrk.format("GET", nil, { ["Range"] = "bytes=" .. start .. "-" .. (start + span - 1), ["Connection"] = "close" })
end
LUA
}

# One wrk run against a side: "replies/s MB/s p99_ms cpu_s_per_GiB switches_per_reply refused"
# (refused: non-2xx answers plus wrk's socket errors). Only 2xx replies count.
measure() { # side url connections lua
  local out before after line
  before=$(usage_of "${pidof[$1]}")
  out=$(taskset -c "$wrk_cpus" wrk -t"$([ "$3" -gt 1 ] && echo 2 || echo 1)" -c"$3" -d"${seconds}s" -s "$4" "$2")
  after=$(usage_of "${pidof[$1]}")
  line=$(grep '^bench_result' <<<"$out")
  awk -v b="$before" -v a="$after" '{
      for (i = 2; i <= NF; i++) { split($i, kv, "="); v[kv[1]] = kv[2] }
      split(b, x, " "); split(a, y, " ")
      good = v["requests"] - v["non2xx"]
      s = v["duration_us"] / 1e6
      cpu = y[1] - x[1]
      gib = v["bytes"] / 1073741824
      printf "%.2f %.3f %.3f %.3f %.2f %d\n", good / s, v["bytes"] / 1048576 / s, v["p99_us"] / 1000,
        (gib > 0 ? cpu / gib : 0), (good > 0 ? (y[2] - x[2]) / good : 0), v["non2xx"] + v["errors"]
    }' <<<"$line"
}

declare -A samples refused
# Rounds over the sides (first of them ours) at the given connection counts, the order of the sides
# rotating from round to round; then per connection count a row per side with the medians over the
# rounds, and the median of the per-round ratios of each of ours to the reference side (the last).
take_turns() { # label total span "conns..." sides...
  local label=$1 total=$2 span=$3 conns_list=$4
  shift 4
  local sides=("$@") reference=${*: -1} round conns side i n=$#
  for round in $(seq "$rounds"); do
    ranges_lua "$work/ranges.lua" "$total" "$span" "$round"
    for conns in $conns_list; do
      for i in $(seq 0 $((n - 1))); do
        side=${sides[$(((i + round) % n))]}
        read -r r m p c s e < <(measure "$side" "${url[$side]}" "$conns" "$work/ranges.lua")
        samples[$label/$side/$conns]+="$r $m $p $c $s"$'\n'
        refused[$label/$side/$conns]=$((${refused[$label/$side/$conns]:-0} + e))
      done
    done
  done
  echo
  echo "$label (medians of $rounds rounds of ${seconds}s; ratio = median of per-round ratios to $reference)"
  printf "%-9s %-5s %10s %9s %9s %11s %9s %8s   %s\n" side conns replies/s MB/s p99_ms cpu_s/GiB cs/reply refused \
    "ratio replies/s, MB/s, p99 (cpu_s/GiB, cs/reply ratio)"
  for conns in $conns_list; do
    for side in "${sides[@]}"; do
      local rows=${samples[$label/$side/$conns]} cols=() ratio=""
      for i in 1 2 3 4 5; do cols+=("$(awk -v c="$i" 'NF { print $c }' <<<"$rows" | median)"); done
      if [ "$side" != "$reference" ]; then
        local paired
        paired=$(paste -d' ' <(awk 'NF' <<<"$rows") <(awk 'NF' <<<"${samples[$label/$reference/$conns]}"))
        per_round() { awk -v c="$1" '$(c + 5) > 0 { print $c / $(c + 5) }' <<<"$paired"; }
        for i in 1 2 3 4 5; do ratio+=" $(per_round "$i" | median | awk '{ printf "%.2f", $1 }')"; done
        read -r r1 r2 r3 r4 r5 <<<"$ratio"
        ratio="$r1 $r2 $r3 ($r4 $r5) MB/s 95% $(per_round 2 | median_interval)"
      fi
      printf "%-9s %-5s %10.1f %9.1f %9.2f %11.2f %9.2f %8s   %s\n" "$side" "$conns" "${cols[@]}" \
        "${refused[$label/$side/$conns]}" "$ratio"
    done
  done
}

if wants memory; then
  for side in $ours_sides; do
    start_host "$side" "$(host_of "$side")" clip "$size"
    read -r port token < <(python3 -c 'import json,sys; d=json.load(sys.stdin); print(d["port"], d["token"])' <"$work/$side.out")
    url[$side]="http://127.0.0.1:$port/$token"
  done
  for side in $ours_sides $(peer nginx); do warm_pass "$side" "${url[$side]}" clip.mp4; done
  echo "warm-pass upstream requests (chunks: $((size / 2097152))):$(for s in $ours_sides $(peer nginx); do printf " %s %s" "$s" "${warm[$s]}"; done)"
  take_turns "memory hits, 1 MiB" "$size" 1048576 "$big_conns" $ours_sides $(peer nginx)
  take_turns "memory hits, 100 B" "$size" 100 "1 8" $ours_sides $(peer nginx)
  if wants heldout; then
    take_turns "held-out: memory hits, 512 B to 4 MiB anywhere" "$size" heldout "1 8" $ours_sides $(peer nginx)
  fi
  echo "peak RSS MiB:$(for s in $ours_sides nginx; do printf " %s %s" "$s" "$(peak_rss_mib "${pidof[$s]}")"; done) (goal < 128 for ours)"
fi

if wants disk || wants disk-1mib; then
  big=$((200 * 1024 * 1024))
  head -c "$big" /dev/urandom >"$work/big.mp4"
  echo "{\"media\": \"big\", \"file\": \"$work/big.mp4\", \"id\": 2}" >&3
  for _ in $(seq 100); do [ "$(grep -c '"ack"' "$work/fake.out")" -ge 2 ] && break; sleep 0.05; done
  disk_sides=""
  for side in $ours_sides; do
    name=disk${side#ours}
    disk_sides+="$name "
    start_host "$name" "$(host_of "$side")" big "$big" "$work/$name-cache"
    read -r dport dtoken dsecond < <(python3 -c 'import json,sys; d=json.load(sys.stdin); print(d["port"], d["token"], d["second"])' <"$work/$name.out")
    url[$name]="http://127.0.0.1:$dport/$dsecond"
    warm_pass "$name" "http://127.0.0.1:$dport/$dtoken" big.mp4
    # The disk writes of the warm pass finish in the background.
    for _ in $(seq 200); do [ "$(find "$work/$name-cache" -name '*.data' -size +199M | wc -l)" -ge 1 ] && break; sleep 0.1; done
  done
  [ -z "$(peer nginxbig)" ] || warm_pass nginxbig "${url[nginxbig]}" big.mp4
  before=$(upstream_requests)
  take_turns "disk hits, 1 MiB, 200 MiB file" "$big" 1048576 "$big_conns" $disk_sides $(peer nginxbig)
  if wants disk; then
    take_turns "disk hits, 100 B, 200 MiB file" "$big" 100 "1" $disk_sides $(peer nginxbig)
  fi
  if wants disk && wants heldout; then
    take_turns "held-out: disk hits, 512 B to 4 MiB anywhere, 200 MiB file" "$big" heldout "1 8" $disk_sides \
      $(peer nginxbig)
  fi
  echo "upstream requests while measuring: $(($(upstream_requests) - before)) (goal 0 for ours)"
  echo "warm-pass upstream requests (chunks: $((big / 2097152))):$(for s in $disk_sides $(peer nginxbig); do printf " %s %s" "$s" "${warm[$s]}"; done)"
  echo "peak RSS MiB:$(for s in $disk_sides; do printf " %s %s" "$s" "$(peak_rss_mib "${pidof[$s]}")"; done) (goal < 128)"
fi

# The prefetch rate: one foreground chunk starts it; every later upstream request is prefetch.
window=${PD_BENCH_PREFETCH_SECONDS:-60}
if wants prefetch && [ "$window" -gt 0 ] && wants disk; then
  start_host rate "$host" big "$big" "$work/rate-cache"
  read -r rport rtoken < <(python3 -c 'import json,sys; d=json.load(sys.stdin); print(d["port"], d["token"])' <"$work/rate.out")
  fetch -o /dev/null -r 0-0 "http://127.0.0.1:$rport/$rtoken"
  sleep 1
  first=$(upstream_requests)
  sleep "$window"
  fetched=$(($(upstream_requests) - first))
  awk -v n="$fetched" -v s="$window" 'BEGIN { r = n * 2097152 / s; printf "prefetch: %d chunks in %d s = %.0f B/s, %.3f of 1048576 B/s (goal within 5 %%)\n", n, s, r, r / 1048576 }'
fi
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
