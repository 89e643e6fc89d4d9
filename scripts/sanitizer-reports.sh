# Sourced by scripts/asan.sh and scripts/tsan.sh. A sanitizer's report does not always decide the
# exit status of the process that prints it: one printed by a thread still running while static
# objects are destroyed, after the last case's PASSED line, races the main thread's own exit. So
# the scripts also read every passed test's output and fail the tests whose output holds a report.

# The first line of every report of AddressSanitizer, LeakSanitizer, UndefinedBehaviorSanitizer
# and ThreadSanitizer, and the summary line each ends with.
sanitizer_report='^==[0-9]+==ERROR: [A-Za-z]+Sanitizer|^WARNING: ThreadSanitizer: |: runtime error: |^SUMMARY: [A-Za-z]+Sanitizer: '

# For ctest: keep a passed test's output whole (ctest keeps its first KiB by default).
ctest_keep_output=(--test-output-size-passed 67108864)

# Run in the folder ctest ran in, after it: names each test that passed with a report in its output,
# shows the report, and fails when there is one. The caller removes the folder's
# Testing/Temporary/LastTest.log before running ctest, so that no earlier run is read.
fail_passed_tests_with_reports() {
  local log=Testing/Temporary/LastTest.log
  [ -f "$log" ] || return 0
  local found
  found="$(awk -v pattern="$sanitizer_report" '
    /^[0-9]+\/[0-9]+ Test: / { name = substr($0, index($0, " Test: ") + 7); output = 0; shown = 0; report = ""; next }
    /^Output:$/ { output = 1; next }
    /^<end of output>$/ { output = 0; next }
    output && (shown > 0 || $0 ~ pattern) && shown < 60 { report = report "    " $0 "\n"; ++shown; next }
    /^Test Passed\.$/ && shown > 0 { printf "%s\n%s", name, report }
  ' "$log")"
  [ -z "$found" ] && return 0
  echo
  echo "These tests passed, but a sanitizer reported in their output (now failed):"
  printf '%s\n' "$found"
  return 1
}

# Fails when a file in the given folders holds a report, naming the file and showing the report.
fail_files_with_reports() {
  local status=0 file
  while IFS= read -r -d '' file; do
    if grep -qE "$sanitizer_report" "$file"; then
      echo
      echo "A sanitizer reported in $file:"
      grep -E -A 40 -m 1 "$sanitizer_report" "$file" | sed 's/^/    /'
      status=1
    fi
  done < <(find "$@" -type f -print0 2>/dev/null)
  return "$status"
}
