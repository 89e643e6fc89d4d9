#!/usr/bin/env bash
# Installs what is missing, builds and starts the receiver.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$here/scripts/install-deps.sh"
PD_BUILD_TARGET=palendrix-display "$here/scripts/build.sh"
exec "${PD_BUILD_DIR:-$here/build}/src/app/palendrix-display" "$@"
