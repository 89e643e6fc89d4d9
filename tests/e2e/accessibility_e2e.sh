#!/usr/bin/env bash
# Drives the built receiver as a user would, through the accessibility bus, on a private X
# server and a private D-Bus session: accept the terms, check the launch lines, bring the
# running instance back from a second launch, and quit.
#
# usage: accessibility_e2e.sh <palendrix-display binary> [driver, default drive_receiver.py]
# Exit status 77 means skipped (a daemon or tool is missing); under CI=true that is a failure.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
binary="${1:?usage: accessibility_e2e.sh <palendrix-display> [driver]}"
driver="${2:-drive_receiver.py}"

skip() {
  if [ "${CI:-}" = "true" ]; then
    echo "FAIL (CI): $*" >&2
    exit 1
  fi
  echo "SKIP: $*" >&2
  exit 77
}

if [ "${PD_E2E_INNER:-}" != "1" ]; then
  [ -x "$binary" ] || { echo "FAIL: no receiver binary at $binary" >&2; exit 1; }
  command -v xvfb-run >/dev/null || skip "xvfb-run is not installed (package xvfb)"
  command -v xauth >/dev/null || skip "xauth is not installed"
  command -v dbus-run-session >/dev/null || skip "dbus-run-session is not installed (package dbus)"
  [ -x /usr/libexec/at-spi-bus-launcher ] || skip "/usr/libexec/at-spi-bus-launcher is missing (package at-spi2-core)"
  /usr/bin/python3 -c 'import pyatspi' 2>/dev/null || skip "python3-pyatspi is not installed"
  export PD_E2E_INNER=1
  # The receiver's instance health checks go to a closed loopback port, never to a real instance.
  export PALENDRIX_HTTP_CONNECT_TO=":443:127.0.0.1:9,:80:127.0.0.1:9"
  # The private X server and session bus end with this command. Without -noreset the server
  # resets whenever its last client leaves, and a client that connects during the reset is turned
  # away.
  exec xvfb-run -a -s "-screen 0 1280x1024x24 -nolisten tcp -noreset" dbus-run-session -- "$0" "$@"
fi

work="$(mktemp -d "${TMPDIR:-/tmp}/pd-e2e-XXXXXX")"
launcher_pid=""
cleanup() {
  if [ -n "$launcher_pid" ]; then kill "$launcher_pid" 2>/dev/null || true; fi
  # With PD_E2E_STDERR_DIR set (scripts/asan.sh sets it) the error output of every process the walk
  # started outlives the walk, in a folder named after its driver, for the caller to read.
  if [ -n "${PD_E2E_STDERR_DIR:-}" ]; then
    keep="$PD_E2E_STDERR_DIR/${driver%.py}"
    mkdir -p "$keep"
    find "$work" -maxdepth 1 -name '*.stderr' -exec cp {} "$keep/" \; || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

/usr/libexec/at-spi-bus-launcher --launch-immediately >"$work/at-spi.log" 2>&1 &
launcher_pid=$!
# The accessibility bus is ready once the launcher answers on the session bus.
for _ in $(seq 1 50); do
  if dbus-send --session --print-reply --dest=org.a11y.Bus /org/a11y/bus org.a11y.Bus.GetAddress \
      >/dev/null 2>&1; then
    ready=1
    break
  fi
  sleep 0.1
done
[ "${ready:-}" = "1" ] || { cat "$work/at-spi.log" >&2; skip "the accessibility bus did not start"; }

mkdir -p "$work/run"
chmod 700 "$work/run"
export XDG_DATA_HOME="$work/data" XDG_CACHE_HOME="$work/cache" XDG_CONFIG_HOME="$work/config"
export XDG_RUNTIME_DIR="$work/run"
export QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 QT_QPA_PLATFORM=xcb QT_ACCESSIBILITY=1 NO_AT_BRIDGE=0
status=0
/usr/bin/python3 "$here/$driver" "$binary" "$work" || status=$?
exit "$status"
