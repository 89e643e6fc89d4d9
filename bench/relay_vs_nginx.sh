#!/bin/bash
# The media server with the relay against nginx as a caching ranged proxy (slice 2m, proxy_cache,
# no upstream keep-alive), both in front of one fake upstream (the fake remote's media role) with
# a 24 MiB file, in one run. After a warm pass through each, wrk ("Connection: close", random
# 1 MiB ranges, half of them on the 2 MiB grid) at 1 and 8 connections. Prints requests/s, MB/s
# and p99 with their ratios to nginx, the upstream requests of each warm pass (ours: each chunk
# once) and our peak RSS (goal below 128 MiB), then the time a request costs beyond its bytes
# (100-byte ranges at one connection). With several rounds, ours and nginx take turns in
# each, which of them goes first alternating from round to round; the figures are medians over
# the rounds, with the spread of MB/s beside them, and each ratio is the median of the rounds'
# own ratios, so that a slow spell of the machine falls on both sides of one ratio: on a shared
# machine one round says little (pin it, too: taskset -c 4-7 ...).
#
# Then the disk-hit run: a 200 MiB file read once through our relay with its disk cache and once
# through nginx's slice cache, then wrk at 1 and 8 connections on a second token of ours (nothing
# of it in memory) beside nginx's cache, in the same rounds and turns, with its ratio to our
# memory hits as well (what the disk step adds); and the prefetch rate at the relay's 1 MiB/s, from the
# upstream requests of a fresh host over 60 s (goal within 5 %). PD_BENCH_PREFETCH_SECONDS shortens it.
#
#   bench/relay_vs_nginx.sh [path/to/relay_bench_host] [seconds per run] [rounds]
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
host=${1:-build/bench/relay_bench_host}
seconds=${2:-10}
rounds=${3:-1}
[ -x "$host" ] || { echo "no bench host at $host" >&2; exit 2; }
for tool in wrk curl /usr/sbin/nginx; do
  command -v "$tool" >/dev/null || { echo "$tool is needed (deps/debian-packages.txt)" >&2; exit 2; }
done

size=$((24 * 1024 * 1024))
source "$(dirname "${BASH_SOURCE[0]}")/wrk_measures.sh"
bench_start
head -c "$size" /dev/urandom >"$work/clip.mp4"

# One line per connection count: the medians over the rounds of the per-round ratios of `$1`'s
# req/s, MB/s and p99 to `$2`'s, from `samples` (one line per round, in round order).
print_ratios() {
  local conns column
  for conns in 1 8; do
    printf "  %s conns:" "$conns"
    for column in 1 2 3; do
      paste -d' ' <(awk 'NF' <<<"${samples[$1/$conns]}") <(awk 'NF' <<<"${samples[$2/$conns]}") |
        awk -v c="$column" '$(c + 3) > 0 { print $c / $(c + 3) }' | median | awk '{ printf " %.2f", $1 }'
    done
    echo
  done
}


# The fake upstream: commands on its stdin; its stdout reports every request.
start_fed fake 1 /usr/bin/python3 "$here/tools/fake-remote/fake_remote.py" --state-dir "$work/fake"
exec 3>"$work/fake.in"
for _ in $(seq 200); do grep -q '"ready"' "$work/fake.out" 2>/dev/null && break; sleep 0.05; done
upstream_port=$(grep -m1 '"ready"' "$work/fake.out" | python3 -c 'import json,sys; print(json.load(sys.stdin)["http_port"])')
echo "{\"media\": \"clip\", \"file\": \"$work/clip.mp4\", \"id\": 1}" >&3
for _ in $(seq 100); do grep -q '"ack"' "$work/fake.out" && break; sleep 0.05; done
upstream="http://127.0.0.1:$upstream_port/media/clip"
upstream_requests() { grep -c '"event": "media"' "$work/fake.out" || true; }

# Ours.
start_fed host 1 "$host" "$upstream" "$size"
host_pid=$fed_pid
read -r port token < <(python3 -c 'import json,sys; d=json.load(sys.stdin); print(d["port"], d["token"])' <"$work/host.out")
declare -A url pidof
url[ours]="http://127.0.0.1:$port/$token"
pidof[ours]=$host_pid

# nginx: a caching proxy that asks the upstream for 2 MiB slices.
p=$(free_port)
mkdir -p "$work/nginx/cache"
url[nginx]="http://127.0.0.1:$p/clip"
start_nginx nginx "" "${url[nginx]}" "  proxy_temp_path $work/nginx/tmp;
  proxy_cache_path $work/nginx/cache levels=1:2 keys_zone=relay:10m max_size=1g inactive=1h use_temp_path=off;
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
  }"
pidof[nginx]=$nginx_pid

# Warm passes: the whole file once through each, counting what reaches the upstream.
declare -A warm
for server in ours nginx; do
  before=$(upstream_requests)
  curl -sf -o "$work/$server.copy" "${url[$server]}"
  cmp -s "$work/$server.copy" "$work/clip.mp4" || { echo "$server served other bytes" >&2; exit 1; }
  warm[$server]=$(($(upstream_requests) - before))
done

cat >"$work/ranges.lua" <<LUA
math.randomseed(os.time())
local size = $size
local span = 1048576
request = function()
  local start
  if math.random() < 0.5 then
    start = math.random(0, size / 2097152 - 1) * 2097152
  else
    start = math.random(0, size - span - 1)
  end
  return wrk.format("GET", nil, { ["Range"] = "bytes=" .. start .. "-" .. (start + span - 1), ["Connection"] = "close" })
end
LUA


# One wrk run: requests/s, MB/s, p99 in ms and the errors: non-2xx answers and wrk's socket errors
# (connections closed or reset before a whole reply).
measure() { # $1: URL, $2: connections
  local out
  out=$(wrk -t"$([ "$2" -gt 1 ] && echo 2 || echo 1)" -c"$2" -d"${seconds}s" --latency -s "$work/ranges.lua" "$1")
  echo "$(awk '/Requests\/sec/ { print $2 }' <<<"$out") $(awk '/Transfer\/sec/ { print $2 }' <<<"$out" | to_mb)" \
    "$(awk '$1 == "99%" { print $2 }' <<<"$out" | to_ms) $(awk '/Non-2xx/ { n += $5 } /Socket errors/ { n += $4 + $6 + $8 + $10 } END { print n + 0 }' <<<"$out")"
}
declare -A result samples failed
# Rounds in which the two servers take turns at 1 and 8 connections, then a table of the medians
# over the rounds, with the spread of MB/s.
take_turns() { # $1, $2: the servers, $3: the width of the server column
  local conns server rows rps mbs p99 errors spread round order
  for round in $(seq "$rounds"); do
    order="$1 $2"
    ((round % 2)) || order="$2 $1"
    for conns in 1 8; do
      for server in $order; do
        read -r rps mbs p99 errors < <(measure "${url[$server]}" "$conns")
        samples[$server/$conns]+="$rps $mbs $p99"$'\n'
        failed[$server/$conns]=$((${failed[$server/$conns]:-0} + errors))
      done
    done
  done
  printf "%-${3}s %-6s %10s %10s %12s %10s %8s\n" server conns req/s MB/s MB/s_range p99_ms errors
  for conns in 1 8; do
    for server in "$1" "$2"; do
      rows=${samples[$server/$conns]}
      rps=$(awk 'NF { print $1 }' <<<"$rows" | median)
      mbs=$(awk 'NF { print $2 }' <<<"$rows" | median)
      p99=$(awk 'NF { print $3 }' <<<"$rows" | median)
      spread=$(awk 'NF { print $2 }' <<<"$rows" | sort -g | awk 'NR == 1 { lo = $1 } { hi = $1 } END { printf "%.0f-%.0f", lo, hi }')
      result[$server/$conns]="$rps $mbs $p99"
      printf "%-${3}s %-6s %10.1f %10.1f %12s %10.2f %8s\n" "$server" "$conns" "$rps" "$mbs" "$spread" "$p99" "${failed[$server/$conns]}"
    done
  done
}
take_turns ours nginx 6

echo
echo "warm-pass upstream requests: ours ${warm[ours]} (chunks: $((size / 2097152))), nginx ${warm[nginx]}"
rss=$(peak_rss_mib "${pidof[ours]}")
echo "peak RSS MiB: ours $rss (goal < 128), nginx $(peak_rss_mib "${pidof[nginx]}")"
echo "ratios ours/nginx (req/s MB/s p99; goal >= 1.0 for the first two, <= 1.0 for p99), on $(nproc) cores:"
print_ratios ours nginx

# What a request costs beyond its bytes: 100-byte ranges at one connection, in the same turns.
sed 's/^local span = .*/local span = 100/' "$work/ranges.lua" >"$work/small.lua"
declare -A fixed
for round in $(seq "$rounds"); do
  order="ours nginx"
  ((round % 2)) || order="nginx ours"
  for server in $order; do
    fixed[$server]+="$(wrk -t1 -c1 -d"${seconds}s" -s "$work/small.lua" "${url[$server]}" | awk '/Requests\/sec/ { print $2 }')"$'\n'
  done
done
small_ratio=$(paste -d' ' <(awk 'NF' <<<"${fixed[ours]}") <(awk 'NF' <<<"${fixed[nginx]}") |
  awk '$2 > 0 { print $1 / $2 }' | median)
awk -v o="$(awk 'NF' <<<"${fixed[ours]}" | median)" -v n="$(awk 'NF' <<<"${fixed[nginx]}" | median)" -v r="$small_ratio" \
  'BEGIN { printf "per request at 100 bytes, 1 conn: ours %.0f us, nginx %.0f us (req/s ratio %.2f, median of the rounds)\n", 1e6 / o, 1e6 / n, r }'

# --- the disk-hit run ---
big=$((200 * 1024 * 1024))
head -c "$big" /dev/urandom >"$work/big.mp4"
echo "{\"media\": \"big\", \"file\": \"$work/big.mp4\", \"id\": 2}" >&3
for _ in $(seq 100); do [ "$(grep -c '"ack"' "$work/fake.out")" -ge 2 ] && break; sleep 0.05; done
start_cached_host() { # $1: name; its port and tokens in $work/$1.out
  start_fed "$1" 1 "$host" "http://127.0.0.1:$upstream_port/media/big" "$big" "$work/$1-cache"
  pidof[$1]=$fed_pid
}
start_cached_host disk
read -r dport dtoken dsecond < <(python3 -c 'import json,sys; d=json.load(sys.stdin); print(d["port"], d["token"], d["second"])' <"$work/disk.out")
url[disk]="http://127.0.0.1:$dport/$dsecond"
url[nginxbig]="http://127.0.0.1:$p/big"
for server in disk nginxbig; do
  warm_url=${url[$server]}
  [ "$server" = disk ] && warm_url="http://127.0.0.1:$dport/$dtoken"
  before=$(upstream_requests)
  curl -sf -o "$work/$server.copy" "$warm_url"
  cmp -s "$work/$server.copy" "$work/big.mp4" || { echo "$server served other bytes" >&2; exit 1; }
  warm[$server]=$(($(upstream_requests) - before))
  rm -f "$work/$server.copy"
done
# The disk writes of the warm pass finish in the background.
for _ in $(seq 200); do [ "$(find "$work/disk-cache" -name '*.data' -size +199M | wc -l)" -ge 1 ] && break; sleep 0.1; done
# The peak so far belongs to the warm pass (upstream bodies and pending disk writes), the rest of
# it to the disk hits.
warm_rss=$(peak_rss_mib "${pidof[disk]}")
sed -i "s/^local size = .*/local size = $big/" "$work/ranges.lua"

echo
echo 'disk-hit run, 200 MiB'
before=$(upstream_requests)
take_turns disk nginxbig 8
echo "upstream requests while measuring: $(($(upstream_requests) - before)) (goal 0 for ours)"
echo "warm-pass upstream requests: ours ${warm[disk]} (chunks: $((big / 2097152))), nginx ${warm[nginxbig]}"
disk_rss=$(peak_rss_mib "${pidof[disk]}")
echo "peak RSS MiB: ours $disk_rss (goal < 128), $warm_rss of it by the end of the warm pass"
echo "ratios ours/nginx (req/s MB/s p99):"
print_ratios disk nginxbig
# What a disk hit adds to the fixed cost of a relayed request: ranges of the same kind from memory above.
echo "ratios ours disk-hit/memory-hit (req/s MB/s p99):"
print_ratios disk ours

# --- the prefetch rate: one foreground chunk starts it; every later upstream request is prefetch.
window=${PD_BENCH_PREFETCH_SECONDS:-60}
start_cached_host rate
read -r rport rtoken < <(python3 -c 'import json,sys; d=json.load(sys.stdin); print(d["port"], d["token"])' <"$work/rate.out")
curl -sf -o /dev/null -r 0-0 "http://127.0.0.1:$rport/$rtoken"
sleep 1
first=$(upstream_requests)
sleep "$window"
fetched=$(($(upstream_requests) - first))
awk -v n="$fetched" -v s="$window" 'BEGIN { r = n * 2097152 / s; printf "prefetch: %d chunks in %d s = %.0f B/s, %.3f of 1048576 B/s (goal within 5 %%)\n", n, s, r, r / 1048576 }'

awk -v r="$rss" -v d="$disk_rss" 'BEGIN { exit (r < 128 && d < 128) ? 0 : 1 }'
