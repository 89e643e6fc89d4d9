#!/usr/bin/env bash
# Runs one quick test program of each folder as a single process, its cases in a random order,
# several programs side by side. CTest gives every case a process of its own, so a case that
# leans on what an earlier one left behind in the process (or spoils a later one) is found only
# here. The seed is printed; PD_SHUFFLE_SEED repeats a run. Argument: the build directory.
# Cases that measure load or memory and run alone under CTest are left out here.
set -euo pipefail
build="$(cd "${1:?usage: shuffled-tests.sh <build directory>}" && pwd)"
seed="${PD_SHUFFLE_SEED:-$((RANDOM * 32768 + RANDOM + 1))}"
jobs="${PD_SHUFFLE_JOBS:-$(nproc)}"
programs=(
  "runtime/runtime_tests"
  "platform/platform_tests"
  "settings/settings_tests"
  "diagnostics/diagnostics_tests"
  "video/video_tests"
  "link/link_tests"
  "deckinput/deckinput_tests -OSCLoad.*"
  "remotesource/remotesource_tests"
  "relay/relay_unit_tests"
  "mediaserver/mediaserver_tests -HarnessProcessTest.ConnectionChurnLeavesNothingBehind"
  "receiver/receiver_tests"
  "app/single_instance_tests"
  "ui/ui_main_model_tests"
  "tools/tablet_emulator_tests"
)
echo "shuffled: seed $seed"
logs="$build/shuffled-logs"
mkdir -p "$logs"

run() {
  local program="$1" filter="${2:-}" log
  log="$logs/$(basename "$program").log"
  if ! (cd "$build/tests/$(dirname "$program")" &&
    QT_QPA_PLATFORM=offscreen "./$(basename "$program")" --gtest_shuffle --gtest_random_seed="$seed" \
      ${filter:+"--gtest_filter=$filter"} >"$log" 2>&1); then
    echo "shuffled: $program failed (seed $seed)"
    grep -E '^\[  FAILED  \]|Failure' "$log" | head -n 20
    return 1
  fi
  echo "shuffled: $program passed"
}
export -f run
export build logs seed
printf '%s\n' "${programs[@]}" | xargs -P "$jobs" -L 1 bash -c 'run "$@"' _
