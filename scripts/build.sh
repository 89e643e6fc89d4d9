#!/usr/bin/env bash
# Configures and builds the receiver, its tests and benchmarks into build/ (or $PD_BUILD_DIR).
# Extra arguments go to CMake's configure step. Compiles go through ccache, keyed on paths
# relative to the checkout, so a fresh clone on the same machine reuses earlier work.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${PD_BUILD_DIR:-$here/build}"
target="${PD_BUILD_TARGET:-all}"
export CCACHE_BASEDIR="$here" CCACHE_NOHASHDIR=true
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE="${PD_BUILD_TYPE:-Release}" \
  -DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache "$@" >/dev/null
cmake --build "$build" --parallel "$(nproc)" --target "$target"
