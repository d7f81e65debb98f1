#!/usr/bin/env bash
# Installs missing packages, builds everything and runs every test.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${QX_BUILD_DIR:-$root/build}"
"$root/scripts/build.sh"
(cd "$build" && ctest --output-on-failure -j"$(nproc)" "$@")
# The fuzz targets build with clang only; with clang present they are built and run briefly.
"$root/scripts/fuzz.sh"
