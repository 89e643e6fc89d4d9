#!/bin/sh
# Runs a command in a user, mount and network namespace of its own, for tests of name resolution
# and address policy that must not touch the machine's network or resolver.
#
#   netns-run.sh [--hosts FILE] [--resolv FILE] [--] COMMAND [ARG...]
#
# Inside, the only interface is lo, up, with 127.0.0.1, ::1 and 3fff::10 (an address the relay's
# policy counts as global, so a listener on it stands in for a remote server). /etc/hosts and
# /etc/resolv.conf are the given files, bind-mounted (the machine's own stay visible when none is
# given), and name lookups use just those two (hosts: files dns), whatever the machine's
# nsswitch.conf adds. The caller's uid is root there, which lets a test bind port 53.
#
# Exit status: the command's; 77 when the kernel refuses the namespaces (CTest's skip code);
# 2 for bad arguments.
set -eu

hosts=""
resolv=""
while [ $# -gt 0 ]; do
  case "$1" in
    --hosts) hosts="$2"; shift 2 ;;
    --resolv) resolv="$2"; shift 2 ;;
    --) shift; break ;;
    -*) echo "netns-run.sh: unknown option $1" >&2; exit 2 ;;
    *) break ;;
  esac
done
if [ $# -eq 0 ]; then
  echo "usage: netns-run.sh [--hosts FILE] [--resolv FILE] [--] COMMAND [ARG...]" >&2
  exit 2
fi
for file in "$hosts" "$resolv"; do
  if [ -n "$file" ] && [ ! -f "$file" ]; then
    echo "netns-run.sh: no such file: $file" >&2
    exit 2
  fi
done

if ! unshare --user --map-root-user --mount --net /bin/true 2>/dev/null; then
  echo "netns-run.sh: user, mount and network namespaces are refused here" >&2
  exit 77
fi

state="$(mktemp -d "${TMPDIR:-/tmp}/netns-run.XXXXXX")"
trap 'rm -rf "$state"' EXIT INT TERM
printf 'hosts: files dns\n' >"$state/nsswitch.conf"

# Mounts made inside stay inside: unshare makes the new mount namespace's propagation private.
status=0
unshare --user --map-root-user --mount --net /bin/sh -c '
  set -e
  nsswitch="$1" hosts="$2" resolv="$3"
  shift 3
  ip link set lo up
  ip -6 addr add 3fff::10/128 dev lo nodad
  mount --bind "$nsswitch" /etc/nsswitch.conf
  if [ -n "$hosts" ]; then mount --bind "$hosts" /etc/hosts; fi
  if [ -n "$resolv" ]; then mount --bind "$resolv" /etc/resolv.conf; fi
  exec "$@"
' netns-run "$state/nsswitch.conf" "$hosts" "$resolv" "$@" || status=$?
exit "$status"
