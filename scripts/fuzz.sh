#!/usr/bin/env bash
# Builds the libFuzzer targets with clang under ASan and UBSan and runs each for a short time
# (PD_FUZZ_SECONDS, default 10) from its seed corpus in fuzz/corpus/<target>.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${PD_FUZZ_BUILD_DIR:-$here/build-fuzz}"
seconds="${PD_FUZZ_SECONDS:-10}"

source "$here/scripts/ccache-env.sh"
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release "${pd_launcher[@]}" \
  -DCMAKE_C_COMPILER=clang-16 -DCMAKE_CXX_COMPILER=clang++-16 \
  -DPD_BUILD_APP=OFF -DPD_BUILD_TESTS=OFF -DPD_BUILD_BENCH=OFF -DPD_BUILD_FUZZ=ON -DPD_SANITIZE=ON >/dev/null
start=$SECONDS
cmake --build "$build" --parallel "$(nproc)" --target pd_fuzz_all
echo "fuzz: build done in $((SECONDS - start)) s"

# One target a core at a time: each is a single process, and the run's length is its wall time.
run() {
  local target="$1" name work seeds=()
  name="$(basename "$target")"
  work="$build/fuzz-work/$name"
  mkdir -p "$work"
  [ -d "$here/fuzz/corpus/$name" ] && seeds+=("$here/fuzz/corpus/$name")
  echo "fuzz: $name for ${seconds} s"
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 ASAN_OPTIONS=detect_leaks=1 \
    LSAN_OPTIONS="suppressions=$here/fuzz/lsan.supp" \
    "$target" -max_total_time="$seconds" -max_len=65536 -print_final_stats=0 -artifact_prefix="$work/" \
    "$work" "${seeds[@]}" >"$work/log.txt" 2>&1 || { tail -n 60 "$work/log.txt"; return 1; }
}

jobs="$(nproc)"
running=0
failed=0
for target in "$build"/fuzz/*_fuzz; do
  [ -x "$target" ] || continue
  if [ "$running" -ge "$jobs" ]; then
    wait -n || failed=1
    running=$((running - 1))
  fi
  run "$target" &
  running=$((running + 1))
done
while [ "$running" -gt 0 ]; do
  wait -n || failed=1
  running=$((running - 1))
done
exit "$failed"
