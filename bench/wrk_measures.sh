# Shared by the side-by-side scripts: a free loopback port, a process tree's peak RSS, and wrk's
# latency and throughput texts in milliseconds and MB.

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
peak_rss_mib() {
  local peak=0 pid
  for pid in $1 $(pgrep -P "$1" || true); do
    peak=$(awk -v p="$peak" '/VmHWM/ { v = $2 / 1024; print (v > p) ? v : p }' "/proc/$pid/status")
  done
  echo "$peak"
}
to_ms() { awk '{ v = $1; if (v ~ /us$/) print v / 1000; else if (v ~ /ms$/) print v + 0; else if (v ~ /s$/) print v * 1000; else print v }'; }
to_mb() { awk '{ v = $1; if (v ~ /GB$/) print v * 1024; else if (v ~ /MB$/) print v + 0; else if (v ~ /KB$/) print v / 1024; else print v / 1048576 }'; }
