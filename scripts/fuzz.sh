#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer + UBSan) into build-fuzz/ and runs
# each for QX_FUZZ_SECONDS (default 10) seconds. A target's seeds in tests/fuzz/corpus/<target>/
# are read alongside its working corpus (new inputs go to the working corpus only), and
# tests/fuzz/<target>.dict is passed as its dictionary when present. Without clang and its
# runtime it says so and succeeds: the targets are only buildable with clang.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${QX_FUZZ_BUILD_DIR:-$root/build-fuzz}"
seconds="${QX_FUZZ_SECONDS:-10}"

if ! command -v clang++ >/dev/null 2>&1 ||
   ! ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1; then
  echo "fuzz: clang or its fuzzer runtime (libclang-rt-dev) is missing; fuzz targets skipped"
  exit 0
fi
# shellcheck source=compiler-cache.sh
source "$root/scripts/compiler-cache.sh"
if [ ! -f "$build/build.ninja" ]; then
  CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja \
    -DQX_SANITIZE=address,undefined -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
targets=$(cd "$root/tests/fuzz" && ls ./*_fuzz.cpp 2>/dev/null | sed 's|^\./||; s|\.cpp$||')
[ -n "$targets" ] || { echo "fuzz: no targets"; exit 0; }
# shellcheck disable=SC2086
cmake --build "$build" -j"$(nproc)" --target $targets
# run_target T runs one target; its findings go to its log, and it fails on a fault.
run_target() {
  local t="$1" corpus="$build/corpus/$1" dict="$root/tests/fuzz/$1.dict" seeds="$root/tests/fuzz/corpus/$1"
  local log="$build/$1.log" extra=()
  mkdir -p "$corpus"
  [ -f "$dict" ] && extra+=("-dict=$dict")
  [ -d "$seeds" ] && extra+=("$seeds")
  echo "fuzz: $t for ${seconds}s"
  if ! "$build/bin/$t" -max_total_time="$seconds" -print_final_stats=1 "$corpus" \
    ${extra[@]+"${extra[@]}"} >"$log" 2>&1; then
    tail -n 40 "$log"
    echo "fuzz: $t found a fault (log: $log)"
    return 1
  fi
  echo "fuzz: $t: $(grep -E "^Done" "$log" || true)"
}
# As many targets at once as there are cores.
status=0
running=0
for t in $targets; do
  run_target "$t" &
  running=$((running + 1))
  if ((running >= $(nproc))); then
    wait -n || status=1
    running=$((running - 1))
  fi
done
while ((running > 0)); do
  wait -n || status=1
  running=$((running - 1))
done
exit "$status"
