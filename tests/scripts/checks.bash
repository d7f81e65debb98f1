# Checks shared by the scripted tests: each prints "ok: ..." or counts a failure; finish with
# finish_checks. Sourced by the scripts, not run by itself; check writes to $work/out.

failures=0

# free_port prints a TCP port that was free a moment ago, taken below the system's ephemeral
# range: a port from that range can be given to any outgoing connection of a test running
# beside this one before the program meant to listen on it binds it.
free_port() {
  python3 - <<'EOF'
import random, socket
low = int(open("/proc/sys/net/ipv4/ip_local_port_range").read().split()[0])
candidates = [random.randint(10000, low - 1) for _ in range(200)] if low > 10000 else []
for port in candidates + [0]:
    s = socket.socket()
    try:
        s.bind(("0.0.0.0", port))
        print(s.getsockname()[1])
        break
    except OSError:
        pass
    finally:
        s.close()
EOF
}
# json EXPRESSION: evaluates EXPRESSION on the JSON document read from standard input as "d".
json() { python3 -c "import json, sys; d = json.load(sys.stdin); print($1)"; }
# db_query DATABASE QUERY: the rows of a query, read by SQLite itself (not by our store), one
# line each with the columns joined by "|".
db_query() {
  python3 - "$1" "$2" <<'EOF'
import sqlite3, sys
for row in sqlite3.connect(sys.argv[1], timeout=10).execute(sys.argv[2]):
    print("|".join(str(v) for v in row))
EOF
}
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
