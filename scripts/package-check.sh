#!/usr/bin/env bash
# Builds the Debian package and checks it as a user's machine would see it: the desktop entry and
# the metainfo validate, lintian finds no error, the package holds only what a user installs, the
# installed program carries no path of the build machine and links what the build tree's does,
# and, unpacked into a scratch root, it starts with fresh XDG folders, reaches its main window,
# hands a second start from its desktop entry to the first instance, and quits cleanly.
#
# usage: package-check.sh [build folder, default build/ or $PD_BUILD_DIR]
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$(realpath -m "${1:-${PD_BUILD_DIR:-$here/build}}")"
app_id=tech.quelbo.PalendrixDisplay
program=palendrix-display

PD_BUILD_DIR="$build" PD_BUILD_TARGET=pd_package_files "$here/scripts/build.sh"
out="$build/package"
rm -rf "$out"
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$out" >/dev/null
deb="$(ls "$out"/*.deb)"

work="$(mktemp -d "${TMPDIR:-/tmp}/pd-package-XXXXXX")"
first=""
cleanup() {
  if [ -n "$first" ]; then kill -KILL "$first" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "package-check: FAIL: $*" >&2
  exit 1
}

depends="$(dpkg-deb -f "$deb" Depends)"
echo "package-check: $(basename "$deb"), $(stat -c %s "$deb") bytes"
echo "package-check: Depends: $depends"
echo "package-check: Recommends: $(dpkg-deb -f "$deb" Recommends)"
# A -dev package at run time means the program linked a library through a file of its build.
if grep -Eq '(^|[ ,])[^ ,]+-dev([ ,(]|$)' <<<"$depends"; then fail "a -dev package among the dependencies"; fi

# Warnings are shown but do not fail the check: the one left says that a desktop program, started
# from its entry, has no manual page.
lintian --fail-on error --tag-display-limit 0 "$deb" || fail "lintian reports errors"

root="$work/root"
dpkg -x "$deb" "$root"
unexpected="$(cd "$root" && find . -type f | sort | grep -Ev \
  "^\./usr/(bin/$program|share/applications/$app_id\.desktop|share/metainfo/$app_id\.metainfo\.xml|share/icons/hicolor/(scalable/apps/$app_id\.svg|[0-9]+x[0-9]+/apps/$app_id\.png)|share/doc/$program/(copyright|changelog\.gz))$" || true)"
[ -z "$unexpected" ] || fail "the package holds files a user does not need: $unexpected"
desktop="$root/usr/share/applications/$app_id.desktop"
desktop-file-validate "$desktop" || fail "desktop-file-validate"
grep -qx "Icon=$app_id" "$desktop" || fail "the desktop entry does not name the installed icon"
appstreamcli validate --no-net "$root/usr/share/metainfo/$app_id.metainfo.xml" >/dev/null || fail "appstreamcli validate"
# The metainfo and the package describe the program in the README's own words.
words() { tr -s ' \n' '  ' | sed -E 's/^ +| +$//g'; }
readme="$(awk '/^Palendrix Display is the desktop receiver/,/^$/' "$here/README.md" | words)"
[ "$(sed -n '/<description>/,/<\/description>/p' "$root/usr/share/metainfo/$app_id.metainfo.xml" |
  sed -E 's/<[^>]*>//g' | words)" = "$readme" ] || fail "the metainfo's description is not the README's"
[ "$(dpkg-deb -f "$deb" Description | tail -n +2 | words)" = "$readme" ] ||
  fail "the package's description is not the README's"

# Each rendered icon has the size its folder names (a PNG's width and height follow its signature).
for png in "$root"/usr/share/icons/hicolor/*x*/apps/"$app_id".png; do
  folder="$(basename "$(dirname "$(dirname "$png")")")"
  size="$(od -An -tu4 --endian=big -j16 -N8 "$png" | awk '{print $1 "x" $2}')"
  [ "$size" = "$folder" ] || fail "$folder holds an icon of $size"
done

installed="$root/usr/bin/$program"
# Absolute, or relative to the build folder as ccache passes source files to the compiler.
tree_paths() { strings -a "$installed" | grep -F -e "$here" -e "$build" -e "$(realpath --relative-to="$build" "$here")/src/"; }
if tree_paths >/dev/null; then fail "the installed program holds paths of the source or build tree: $(tree_paths | head -3)"; fi
if readelf -d "$installed" | grep -Eq 'RPATH|RUNPATH'; then fail "the installed program has a run path"; fi
# The licences window lists what the build tree's program links (licenses_metadata_tests); the
# installed one must link the same.
needed() { readelf -d "$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'; }
[ "$(needed "$installed")" = "$(needed "$build/src/app/$program")" ] ||
  fail "the installed program links other libraries than the build tree's"

# The installed program, started as the desktop starts it: the entry's Exec line (without field
# codes) found on the PATH, with fresh XDG folders and no display.
mkdir -p "$work/run" && chmod 700 "$work/run"
export XDG_CONFIG_HOME="$work/config" XDG_DATA_HOME="$work/data" XDG_CACHE_HOME="$work/cache"
export XDG_RUNTIME_DIR="$work/run" QT_QPA_PLATFORM=offscreen PATH="$root/usr/bin:$PATH"
# The instance health checks go to a closed loopback port, never to a real instance.
export PALENDRIX_HTTP_CONNECT_TO=":443:127.0.0.1:9,:80:127.0.0.1:9"
read -ra launch <<<"$(sed -n 's/^Exec=//p' "$desktop" | sed -E 's/ %[a-zA-Z]//g')"
[ "$(command -v "${launch[0]}")" = "$installed" ] || fail "the entry's Exec line does not start the installed program"

# Polls every tenth of a second until the command succeeds or `seconds` have passed.
wait_until() {
  local seconds="$1"
  shift
  local deadline=$((SECONDS + seconds))
  until "$@"; do
    [ "$SECONDS" -lt "$deadline" ] || return 1
    sleep 0.1
  done
}
running() { kill -0 "$first" 2>/dev/null; }
ready_or_gone() { grep -q ' app_ready ' "$work/first.log" || ! running; }
gone() { ! running; }

"${launch[@]}" >/dev/null 2>"$work/first.log" &
first=$!
wait_until 60 ready_or_gone || fail "no app_ready line within 60 s: $(tail -5 "$work/first.log")"
running || fail "the installed program ended at start-up: $(tail -5 "$work/first.log")"
echo "package-check: the installed program reached its main window"

status=0
timeout 30 "${launch[@]}" >/dev/null 2>"$work/second.log" || status=$?
[ "$status" -eq 0 ] || fail "the second start ended with status $status: $(tail -5 "$work/second.log")"
grep -q "lifecycle event=launch_abort action=exit reason=single_instance incumbent_pid=$first\$" "$work/second.log" ||
  fail "the second start did not hand over to the first: $(tail -5 "$work/second.log")"
if grep -q single_instance_reopen_fail "$work/second.log"; then fail "the second start could not raise the first"; fi
running || fail "the first instance ended when the second started"
echo "package-check: a second start from the desktop entry raised the first instance"

kill -TERM "$first"
wait_until 30 gone || fail "the installed program did not end within 30 s of SIGTERM"
status=0
wait "$first" || status=$?
first=""
[ "$status" -eq 0 ] || fail "the installed program ended with status $status on SIGTERM"
echo "package-check: the installed program quit cleanly; $(basename "$deb") passed"
