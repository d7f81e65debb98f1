#!/usr/bin/env bash
# Installs missing packages, builds everything and runs every test: the suite in build/, the
# fuzz targets briefly (clang), then the suite again built with AddressSanitizer and
# UndefinedBehaviorSanitizer in build-asan/. QX_SANITIZE_PASS=0 skips the sanitizer pass and
# QX_FUZZ=0 the fuzz runs (for a quick local loop); CI runs all three.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${QX_BUILD_DIR:-$root/build}"
"$root/scripts/build.sh"
(cd "$build" && ctest --output-on-failure -j"$(nproc)" "$@")
# The fuzz targets build with clang only; with clang present they are built and run briefly.
[ "${QX_FUZZ:-1}" = 0 ] || "$root/scripts/fuzz.sh"
if [ "${QX_SANITIZE_PASS:-1}" != 0 ]; then
  asan="${QX_ASAN_BUILD_DIR:-$root/build-asan}"
  echo "test: the suite again under AddressSanitizer and UndefinedBehaviorSanitizer ($asan)"
  QX_BUILD_DIR="$asan" QX_CMAKE_ARGS="-DQX_SANITIZE=address,undefined" "$root/scripts/build.sh"
  (cd "$asan" && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --output-on-failure -j"$(nproc)" "$@")
fi
