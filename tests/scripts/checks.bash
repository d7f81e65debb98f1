# Checks shared by the scripted tests: each prints "ok: ..." or counts a failure; finish with
# finish_checks. Sourced by the scripts, not run by itself; check writes to $work/out.

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
pass() { echo "ok: $*"; }

# check DESCRIPTION COMMAND...: the command must succeed.
check() {
  local what="$1"
  shift
  if "$@" >"$work/out" 2>&1; then pass "$what"; else fail "$what: $(cat "$work/out")"; fi
}
# contains DESCRIPTION TEXT NEEDLE
contains() {
  if [[ "$2" == *"$3"* ]]; then pass "$1"; else fail "$1: '$3' not in: $2"; fi
}
# equal DESCRIPTION ACTUAL EXPECTED
equal() {
  if [[ "$2" == "$3" ]]; then pass "$1"; else fail "$1: got '$2', expected '$3'"; fi
}
# refused DESCRIPTION MESSAGE COMMAND...: the command must fail and print "qxcm: MESSAGE" (any
# message when MESSAGE is empty).
refused() {
  local what="$1" message="$2"
  shift 2
  local output status
  output="$("$@" 2>&1)"
  status=$?
  if [[ $status -eq 0 ]]; then
    fail "$what: exit status 0"
  elif [[ -n "$message" && "$output" != *"qxcm: $message"* ]]; then
    fail "$what: '$message' not in: $output"
  else
    pass "$what"
  fi
}
# finish_checks exits 1 when a check failed.
finish_checks() {
  if [[ $failures -ne 0 ]]; then
    echo "$failures check(s) failed" >&2
    exit 1
  fi
  echo "all checks passed"
}
