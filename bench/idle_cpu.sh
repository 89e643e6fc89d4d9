#!/bin/sh
# CPU use of the receiver while it sits idle: no tablet, no frames. Starts the application under
# Xvfb with fresh home and XDG folders (the terms already accepted, so the main window is live),
# lets it settle, then samples utime+stime of the process and of each of its threads from /proc
# over a window and prints the share of one core.
#
#   bench/idle_cpu.sh [build-dir] [seconds]     (defaults: build, 30)
#
# The acceptance line is "idle_cpu percent_of_core=<x>"; the threads that used any CPU follow,
# busiest first, with their wakeup counts (voluntary context switches) over the same window.
set -eu

build=${1:-build}
window=${2:-30}
settle=${PD_IDLE_SETTLE:-5}
app="$build/src/app/palendrix-display"
[ -x "$app" ] || { echo "no $app: build first" >&2; exit 2; }
command -v xvfb-run >/dev/null || { echo "xvfb-run is missing" >&2; exit 2; }

home=$(mktemp -d "${TMPDIR:-/tmp}/pd-idle.XXXXXX")
trap 'rm -rf "$home"' EXIT
mkdir -p "$home/config/tech.quelbo.PalendrixDisplay" "$home/data" "$home/cache" "$home/runtime"
chmod 700 "$home/runtime"
printf '{"acceptedTermsVersion": 2}\n' >"$home/config/tech.quelbo.PalendrixDisplay/defaults.json"

ticks=$(getconf CLK_TCK)

# Fields 14 and 15 of a stat line (utime, stime); the command name may hold spaces, so cut after ')'.
cpu_of() { sed 's/.*) //' "$1" 2>/dev/null | awk '{ print $12 + $13 }'; }
switches_of() { awk '/^voluntary_ctxt_switches/ { print $2 }' "$1" 2>/dev/null; }

snapshot() { # pid -> lines "tid name ticks wakeups"
  for task in /proc/"$1"/task/*; do
    tid=${task##*/}
    name=$(cat "$task/comm" 2>/dev/null || echo '?')
    printf '%s %s %s %s\n' "$tid" "$(echo "$name" | tr ' ' '_')" "$(cpu_of "$task/stat")" "$(switches_of "$task/status")"
  done
}

HOME="$home" XDG_CONFIG_HOME="$home/config" XDG_DATA_HOME="$home/data" XDG_CACHE_HOME="$home/cache" \
XDG_RUNTIME_DIR="$home/runtime" PALENDRIX_HTTP_CONNECT_TO=":443:127.0.0.1:9,:80:127.0.0.1:9" \
  xvfb-run -a -s "-screen 0 1280x800x24" "$app" >"$home/app.log" 2>&1 &
runner=$!

pid=""
for _ in $(seq 1 100); do
  pid=$(pgrep -P "$runner" -f palendrix-display 2>/dev/null || true)
  [ -z "$pid" ] && pid=$(pgrep -n -f "^$app" 2>/dev/null || true)
  [ -n "$pid" ] && break
  sleep 0.1
done
[ -n "$pid" ] || { echo "the application did not start" >&2; cat "$home/app.log" >&2; kill "$runner" 2>/dev/null; exit 1; }

sleep "$settle"
before=$(snapshot "$pid"); total_before=$(cpu_of /proc/"$pid"/stat)
sleep "$window"
after=$(snapshot "$pid"); total_after=$(cpu_of /proc/"$pid"/stat)
kill "$pid" 2>/dev/null || true
wait "$runner" 2>/dev/null || true

awk -v used="$((total_after - total_before))" -v hz="$ticks" -v secs="$window" \
  'BEGIN { printf "idle_cpu percent_of_core=%.2f window_s=%d\n", 100 * used / hz / secs, secs }'
printf '%s\n' "$before" >"$home/before"
printf '%s\n' "$after" | awk -v hz="$ticks" -v secs="$window" 'NR == FNR { t[$1] = $3; w[$1] = $4; next }
  { d = $3 - t[$1]; s = $4 - w[$1]; if (d > 0 || s > secs) printf "  thread=%s tid=%s percent=%.2f wakeups_per_s=%.1f\n", $2, $1, 100 * d / hz / secs, s / secs }' \
  "$home/before" - | sort -t= -k4 -rn
