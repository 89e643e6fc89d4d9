#!/usr/bin/env bash
# Configures and builds the receiver, its tests and benchmarks into build/ (or $PD_BUILD_DIR).
# Extra arguments go to CMake's configure step. Compiles go through ccache when it is installed,
# keyed on paths relative to the checkout, so a fresh clone on the same machine reuses earlier work.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${PD_BUILD_DIR:-$here/build}"
target="${PD_BUILD_TARGET:-all}"
source "$here/scripts/ccache-env.sh"
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE="${PD_BUILD_TYPE:-Release}" \
  "${pd_launcher[@]}" "$@" >/dev/null
cmake --build "$build" --parallel "$(nproc)" --target "$target"
