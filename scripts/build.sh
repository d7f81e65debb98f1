#!/usr/bin/env bash
# Installs missing packages, then configures and builds into build/ (QX_BUILD_DIR overrides).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${QX_BUILD_DIR:-$root/build}"
"$root/scripts/deps.sh"
# shellcheck source=compiler-cache.sh
source "$root/scripts/compiler-cache.sh"
if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$root" -B "$build" -G Ninja ${QX_CMAKE_ARGS:-} >/dev/null
fi
cmake --build "$build" -j"$(nproc)"
