#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test: the fuzz targets briefly
# under AddressSanitizer and UndefinedBehaviorSanitizer, the benchmarks once as a smoke run,
# then the CTest suite (unit, integration, UI and end-to-end tests) under a virtual X server,
# one program of each folder whole, its cases shuffled, and last the Debian package, installed
# into a scratch root and started (scripts/package-check.sh).
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${PD_BUILD_DIR:-$here/build}"
jobs="$(nproc)"

start=$SECONDS
# The layering first: it needs no build and its verdict is quickest.
python3 "$here/scripts/check-deps.py"
"$here/scripts/install-deps.sh"
# The C++ files changed since the tree was last formatted keep .clang-format's form.
"$here/scripts/check-format.sh"
"$here/scripts/build.sh"
echo "test: build done in $((SECONDS - start)) s"

"$here/scripts/fuzz.sh"
echo "test: fuzzing done at $((SECONDS - start)) s"

# The shortest clips the video benchmarks take: a smoke run only shows that each one runs.
for bench in "$build"/bench/*_bench; do
  [ -x "$bench" ] || continue
  PD_DECODER_BENCH_FRAMES=30 PD_INGEST_BENCH_FRAMES=60 PD_EXPORT_SAVE_BENCH_MB=4 "$bench" --benchmark_min_time=0.01 >/dev/null
done
echo "test: benchmark smoke run done at $((SECONDS - start)) s"

cd "$build"
# -noreset: otherwise the server resets each time its last client leaves, and a test that
# connects during the reset is turned away.
status=0
xvfb-run -a -s "-screen 0 1280x800x24 -noreset" \
  ctest --output-on-failure --no-tests=error --timeout 300 -j "$jobs" || status=$?
echo "test: ctest done at $((SECONDS - start)) s"
# One program of each folder again, whole and its cases shuffled.
xvfb-run -a -s "-screen 0 1280x800x24 -noreset" "$here/scripts/shuffled-tests.sh" "$build" || status=1
echo "test: shuffled programs done at $((SECONDS - start)) s"
"$here/scripts/package-check.sh" "$build" || status=1
echo "test: package checked at $((SECONDS - start)) s"
exit "$status"
