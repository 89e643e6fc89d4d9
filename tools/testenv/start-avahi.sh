#!/bin/sh
# A private Avahi daemon on the loopback interface, for tests that publish and browse Bonjour services
# without touching the machine's own daemon or network.
#
#   start-avahi.sh [DIR]        start; prints the D-Bus address on stdout (one line)
#   start-avahi.sh --stop DIR   stop what was started for DIR
#
# DIR holds the bus socket, the configurations, the logs and the process ids; without it a fresh
# folder is made and named on stderr. Point both DBUS_SYSTEM_BUS_ADDRESS (avahi-daemon, avahi-browse,
# avahi-publish and libavahi-client all talk to the *system* bus) and, if you like,
# DBUS_SESSION_BUS_ADDRESS at the printed address.
#
# How it works:
#   - dbus-daemon runs with a bus configuration of its own that lets any local user own any name,
#     org.freedesktop.Avahi included (the system bus policy only lets root or "avahi" own it). It
#     also takes anonymous clients: inside a user namespace a client's uid is not the one the bus
#     sees, so the usual uid check fails. The socket sits in the 0700 state folder, so only its
#     owner can reach the bus.
#   - avahi-daemon runs in the foreground with --no-chroot --no-drop-root --no-rlimits and a
#     configuration that allows only "lo", without IPv6 and without wide-area lookups. The host's
#     IPv6 addresses are not published either: a resolver takes whichever address answers first,
#     and a peer listening on IPv4 alone must never be looked for at one of them.
#   - avahi-daemon keeps its pid file at a fixed place, /run/avahi-daemon/pid, and refuses to start
#     when that names a running daemon. When it can, this script therefore starts it in a mount
#     namespace of its own with a fresh tmpfs on /run/avahi-daemon: as root with "unshare -m", as
#     another user with "unshare -rm" (a user namespace, in which avahi-daemon also finds the uid 0
#     it insists on, and user and group files in which "avahi" is that uid). Root in a user namespace
#     that maps only its own uid (inside tools/testenv/netns-run.sh) takes the mount namespace with
#     those same files, as the "avahi" user's own uid does not exist there. Without namespaces it
#     starts the daemon directly, which works as root when no other avahi-daemon runs.
#
# Exit status: 0 started (or stopped), 64 usage, 77 a daemon could not be started (tests skip on it;
# the reason goes to stderr).
set -eu
# The daemons live in the sbin folders, which a normal user's PATH leaves out.
PATH="$PATH:/usr/sbin:/sbin"

die_skip() {
    echo "start-avahi: $*" >&2
    exit 77
}

stop_dir() {
    dir=$1
    for name in avahi dbus; do
        pidfile="$dir/$name.pid"
        [ -f "$pidfile" ] || continue
        pid=$(cat "$pidfile")
        case $pid in '' | *[!0-9]*) rm -f "$pidfile"; continue ;; esac
        if kill -0 "$pid" 2>/dev/null; then
            kill -TERM "$pid" 2>/dev/null || true
            i=0
            while kill -0 "$pid" 2>/dev/null && [ $i -lt 40 ]; do
                sleep 0.05
                i=$((i + 1))
            done
            kill -KILL "$pid" 2>/dev/null || true
        fi
        rm -f "$pidfile"
    done
    rm -f "$dir/bus.sock"
}

if [ "${1-}" = "--stop" ]; then
    [ $# -eq 2 ] || { echo "usage: $0 --stop DIR" >&2; exit 64; }
    stop_dir "$2"
    exit 0
fi
[ $# -le 1 ] || { echo "usage: $0 [DIR] | --stop DIR" >&2; exit 64; }

command -v dbus-daemon >/dev/null 2>&1 || die_skip "dbus-daemon not found (Debian package dbus)"
command -v avahi-daemon >/dev/null 2>&1 || die_skip "avahi-daemon not found (Debian package avahi-daemon)"

if [ $# -eq 1 ]; then
    dir=$1
    mkdir -p "$dir"
else
    dir=$(mktemp -d "${TMPDIR:-/tmp}/pd-avahi.XXXXXX")
    echo "start-avahi: state in $dir" >&2
fi
dir=$(cd "$dir" && pwd)
chmod 700 "$dir"
stop_dir "$dir"

# A unix socket path has room for 107 bytes.
[ ${#dir} -le 90 ] || die_skip "state folder path too long for a socket: $dir"

cat >"$dir/bus.conf" <<EOF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=$dir/bus.sock</listen>
  <auth>EXTERNAL</auth>
  <auth>ANONYMOUS</auth>
  <allow_anonymous/>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
EOF

cat >"$dir/avahi-daemon.conf" <<EOF
[server]
use-ipv4=yes
use-ipv6=no
allow-interfaces=lo
enable-dbus=yes
ratelimit-interval-usec=1000000
ratelimit-burst=1000
[wide-area]
enable-wide-area=no
[publish]
publish-aaaa-on-ipv4=no
publish-hinfo=no
publish-workstation=no
[reflector]
enable-reflector=no
EOF

dbus-daemon --config-file="$dir/bus.conf" --fork --print-address=1 --print-pid=3 \
    >"$dir/bus-address" 3>"$dir/dbus.pid" 2>"$dir/dbus.log" </dev/null ||
    die_skip "dbus-daemon did not start: $(cat "$dir/dbus.log")"
address=$(head -n 1 "$dir/bus-address")
[ -n "$address" ] || die_skip "dbus-daemon printed no address"

conf="$dir/avahi-daemon.conf"
# The config path goes in as $0 of the inner shell, so that no path is ever re-parsed as shell text.
# shellcheck disable=SC2016
run_avahi='exec avahi-daemon -f "$0" --no-chroot --no-drop-root --no-rlimits --no-proc-title'
# avahi-daemon insists that its runtime folder belongs to the user and group "avahi". Where that
# user's uid does not exist (a user namespace that maps only our own uid, as tools/testenv/netns-run.sh
# makes), it gets user and group files in which "avahi" is uid 0, bind-mounted over the real ones.
write_avahi_files() {
    grep -v '^avahi:' /etc/passwd >"$dir/passwd" || true
    echo 'avahi:x:0:0:Avahi mDNS daemon:/nonexistent:/usr/sbin/nologin' >>"$dir/passwd"
    grep -v '^avahi:' /etc/group >"$dir/group" || true
    echo 'avahi:x:0:' >>"$dir/group"
    if [ -d /run/avahi-daemon ]; then
        inner="mount -t tmpfs -o mode=0755 tmpfs /run/avahi-daemon"
    else
        inner="mount -t tmpfs -o mode=0755 tmpfs /run && mkdir /run/avahi-daemon"
    fi
    inner="$inner && mount --bind \"\$1\" /etc/passwd && mount --bind \"\$2\" /etc/group"
}
# The whole uid range is ours unless we run in a user namespace that maps only part of it.
all_uids_mapped() {
    [ "$(awk 'NR == 1 { print $1 " " $2 " " $3 }' /proc/self/uid_map 2>/dev/null)" = "0 0 4294967295" ]
}
if [ "$(id -u)" -eq 0 ] && unshare -m true 2>/dev/null && all_uids_mapped; then
    mkdir -p /run/avahi-daemon
    mode="mount namespace"
    set -- unshare -m sh -c \
        "mount --make-rprivate / && mount -t tmpfs -o mode=0755 tmpfs /run/avahi-daemon && $run_avahi" "$conf"
elif [ "$(id -u)" -eq 0 ] && unshare -m true 2>/dev/null; then
    mode="mount namespace in a user namespace"
    write_avahi_files
    set -- unshare -m sh -c "mount --make-rprivate / && $inner && $run_avahi" "$conf" "$dir/passwd" "$dir/group"
elif [ "$(id -u)" -ne 0 ] && unshare -rm true 2>/dev/null; then
    mode="user namespace"
    write_avahi_files
    set -- unshare -rm sh -c "$inner && $run_avahi" "$conf" "$dir/passwd" "$dir/group"
else
    mode="direct"
    set -- sh -c "$run_avahi" "$conf"
fi

# Detached from the caller's session and output, so that $(start-avahi.sh) returns at once.
DBUS_SYSTEM_BUS_ADDRESS=$address setsid "$@" >"$dir/avahi.log" 2>&1 </dev/null &
echo $! >"$dir/avahi.pid"
avahi_pid=$!

i=0
until grep -q "Server startup complete" "$dir/avahi.log" 2>/dev/null; do
    if ! kill -0 "$avahi_pid" 2>/dev/null || [ $i -ge 100 ]; then
        log=$(cat "$dir/avahi.log" 2>/dev/null || true)
        stop_dir "$dir"
        die_skip "avahi-daemon did not start ($mode): $log"
    fi
    sleep 0.1
    i=$((i + 1))
done

echo "$address"
