#!/usr/bin/env bash
# Builds when needed (quietly) and runs the qxcm command line with the given arguments.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${QX_BUILD_DIR:-$root/build}"
"$root/scripts/build.sh" >/dev/null
exec "$build/bin/qxcm" "$@"
