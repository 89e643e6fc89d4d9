#!/usr/bin/env bash
# Fails when a C++ file changed since the tree was formatted (or since BASE, if given) is not in
# the form .clang-format gives it. Prints the files and how to fix them.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$here"
formatter="${PD_CLANG_FORMAT:-clang-format-16}"
command -v "$formatter" >/dev/null || { echo "check-format: $formatter not found" >&2; exit 1; }
base="${1:-$(git log -1 --format=%H -- .clang-format 2>/dev/null || true)}"
if [ -z "$base" ]; then
  echo "check-format: not a git checkout, nothing to compare against; skipped"
  exit 0
fi
mapfile -t files < <(git diff --name-only --diff-filter=ACMR "$base" -- '*.cpp' '*.hpp' | grep -v '^deps/' || true)
bad=()
for f in "${files[@]}"; do
  [ -f "$f" ] || continue
  "$formatter" --dry-run --Werror "$f" >/dev/null 2>&1 || bad+=("$f")
done
if [ ${#bad[@]} -gt 0 ]; then
  echo "check-format: not formatted (run: $formatter -i <file>):" >&2
  printf '  %s\n' "${bad[@]}" >&2
  exit 1
fi
echo "check-format: ${#files[@]} changed files formatted"
