#!/usr/bin/env bash
# Installs the built tree into a temporary prefix, builds tests/consumer/consumer.cpp against it
# with nothing but pkg-config, and checks what the program traces: with the level taken from
# QX_TRACE, from the [mox.trace] configuration section, and with a broken configuration.
# Arguments: <build dir> <source dir>.
set -euo pipefail

build=$(cd "$1" && pwd)
source=$(cd "$2" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/qx-consumer-XXXXXX")
trap 'rm -rf "$work"' EXIT

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

cmake --install "$build" --prefix "$work/prefix" >"$work/install.log" 2>&1 ||
  { cat "$work/install.log" >&2; fail "cmake --install"; }
[ -f "$work/prefix/include/QxSecCm.h" ] || fail "QxSecCm.h not installed"

# GNUInstallDirs may have chosen lib or lib/<multiarch>.
pc=$(find "$work/prefix" -name qxseccm.pc -path '*/pkgconfig/*' | head -n 1)
[ -n "$pc" ] || fail "qxseccm.pc not installed"
pcdir=$(dirname "$pc")

# A sanitized build's libraries need the same runtime in the program.
sanitize=$(sed -n 's/^QX_SANITIZE:STRING=//p' "$build/CMakeCache.txt")
extra=()
[ -n "$sanitize" ] && extra=("-fsanitize=$sanitize")

flags=$(PKG_CONFIG_PATH="$pcdir" pkg-config --cflags --libs qxseccm) || fail "pkg-config"
case "$flags" in
  *"$work/prefix"*) ;;
  *) fail "pkg-config flags do not point into the install prefix: $flags" ;;
esac
# shellcheck disable=SC2086
c++ "${extra[@]}" -o "$work/consumer" "$source/tests/consumer/consumer.cpp" $flags ||
  fail "compiling the consumer"

# run <name> [VAR=value ...]: runs the consumer in a fresh home; the trace goes to $work/<name>.log
run() {
  local name=$1
  shift
  mkdir -p "$work/$name.home"
  [ -n "${config:-}" ] && mkdir -p "$work/$name.home/etc" &&
    printf '%b' "$config" >"$work/$name.home/etc/qx.conf"
  env -u QX_TRACE -u QX_CONFIG QX_HOME="$work/$name.home" QX_TRACE_FILE="$work/$name.log" "$@" \
    "$work/consumer" || fail "$name: consumer exited with $?"
}

# expect_one_throw <name>: exactly one line, from the exception area, none from the client area.
expect_one_throw() {
  local log="$work/$1.log"
  [ -f "$log" ] || fail "$1: no trace file"
  [ "$(wc -l <"$log")" -eq 1 ] || { cat "$log" >&2; fail "$1: expected one trace line"; }
  local want=" sec.cm.exception:2 2 consumer.cpp:[0-9]* Throwing exception"
  want+=" 'UnknownRequestIdException': \[sec.cm.client:56\] Unknown request id 'abc'.$"
  grep -q "$want" "$log" || { cat "$log" >&2; fail "$1: exception line missing"; }
  ! grep -q "sec.cm.client:7" "$log" || fail "$1: client area written"
}

config='' run env QX_TRACE='sec.cm.exception:2=2'
expect_one_throw env

# The same level from the configuration file, read while the library loads.
config='[sec.cm.client]\nMAX_RETRIES = 3\n[mox.trace]\nsec.cm.exception:2 = 0x2\n' run config
expect_one_throw config

# A configuration that cannot be parsed must not stop the program; nothing is traced.
config='[mox.trace\nthis is = not [ valid\n\x01\n' run broken
[ ! -s "$work/broken.log" ] || fail "broken: unexpected trace lines"

echo "consumer: OK"
