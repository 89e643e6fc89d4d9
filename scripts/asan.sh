#!/usr/bin/env bash
# Builds everything but the benchmarks under AddressSanitizer and UndefinedBehaviorSanitizer into
# build-asan/ (or $PD_ASAN_BUILD_DIR) and runs the whole CTest suite there, as scripts/test.sh runs
# it. Not part of CI: the instrumented build and run take too long there. Extra arguments go to
# ctest (for example -R Harness or -L mediaserver). Undefined behaviour halts the process that
# shows it; leaks are reported at exit, except the ones listed in scripts/asan/lsan.supp, which
# come from libraries we load but do not build. Limits meant for a plain build (memory and
# latency figures) can fail under the instrumentation.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${PD_ASAN_BUILD_DIR:-$here/build-asan}"
jobs="${PD_ASAN_JOBS:-$(nproc)}"

source "$here/scripts/ccache-env.sh"
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${pd_launcher[@]}" \
  -DPD_SANITIZE=ON -DPD_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" --parallel "$jobs"

export ASAN_OPTIONS="detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1:${ASAN_OPTIONS:-}"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:${UBSAN_OPTIONS:-}"
export LSAN_OPTIONS="suppressions=$here/scripts/asan/lsan.supp:print_suppressions=0:${LSAN_OPTIONS:-}"

cd "$build"
# As in scripts/test.sh: the UI tests need an X server, which must not reset between clients.
xvfb-run -a -s "-screen 0 1280x800x24 -noreset" \
  ctest --output-on-failure --no-tests=error --timeout 900 -j "$jobs" "$@"
