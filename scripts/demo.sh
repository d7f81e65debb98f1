#!/usr/bin/env bash
# The road of a certificate request on one machine: builds (installing what is missing), then
# runs one certificate server and N node agents (default 3) on 127.0.0.1, each with its own
# QX_HOME and port and one shared platform key, in a new folder that it prints. It shows the
# pending requests, grants all nodes but the last and denies the last, shows what an observer
# received, waits for the nodes' statuses, verifies each installed certificate with openssl
# against the server's CA, and stops every process it started (also on Ctrl-C). The folder
# stays for a look at the homes, logs and databases it holds.
# Usage: scripts/demo.sh [--nodes N]   (for the test suite: QX_DEMO_BUILD=0 skips
# the build, QX_DEMO_KEEP=0 removes the folder after a success)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${QX_BUILD_DIR:-$root/build}"

nodes=3
while (($#)); do
  case "$1" in
    --nodes) nodes="${2:?--nodes needs a number}"; shift 2 ;;
    -h | --help) sed -n '2,9p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "demo: unknown argument '$1' (see --help)" >&2; exit 2 ;;
  esac
done
if ! [[ "$nodes" =~ ^[0-9]+$ ]] || ((nodes < 2 || nodes > 50)); then
  echo "demo: --nodes takes a number from 2 to 50" >&2
  exit 2
fi

[ "${QX_DEMO_BUILD:-1}" = 0 ] || "$root/scripts/build.sh" >/dev/null
qxcm="$build/bin/qxcm"
server_bin="$build/bin/qxcm-server"
agent_bin="$build/bin/qxcm-agent"

work="$(mktemp -d "${TMPDIR:-/tmp}/qxcm-demo.XXXXXX")"
pids=()
stop_all() {
  local pid
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  pids=()
}
finish() {
  local status=$?
  stop_all
  if [ "${QX_DEMO_KEEP:-1}" = 0 ] && ((status == 0)); then
    rm -rf "$work"
  else
    echo "demo: the homes, logs and databases are in $work"
  fi
  exit "$status"
}
trap finish EXIT
trap 'echo; echo "demo: interrupted"; exit 130' INT TERM
export OPENSSL_CONF=/dev/null
unset QX_CONFIG QX_TRACE

say() { printf '\n== %s\n' "$*"; }
die() { echo "demo: $*" >&2; exit 1; }
free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
# wait_for SECONDS DESCRIPTION COMMAND...: runs COMMAND every 0.2 s until it succeeds.
wait_for() {
  local seconds="$1" what="$2" i
  shift 2
  for ((i = 0; i < seconds * 5; i++)); do
    if "$@" >/dev/null 2>&1; then return 0; fi
    sleep 0.2
  done
  die "timed out waiting for $what"
}
# as HOME_DIR COMMAND...: runs a command with that QX_HOME (processes started in the background
# are started without it, so that $! is the program's own process id).
as() { local home="$1"; shift; QX_HOME="$home" "$@"; }

echo "demo: working in $work"
head -c 32 /dev/urandom >"$work/platform.key"
chmod 600 "$work/platform.key"

# --- the certificate server ------------------------------------------------------------------
server="$work/server"
server_port="$(free_port)"
mkdir -p "$server/etc"
# The server's port serves HTTP and TLS; its TLS port (default 15443) gets a free port as well.
printf '[sec.core]\nCORE_ID = certificateserver\nPLATFORM_KEY_FILE = %s\n[zeb.http]\nTLS_PORT = %s\n' "$work/platform.key" \
  "$(free_port)" >"$server/etc/qx.conf"
say "certificate server on 127.0.0.1:$server_port (QX_HOME=$server)"
QX_HOME="$server" "$server_bin" --port "$server_port" \
  >"$work/server.out" 2>"$work/server.err" &
server_pid=$!
pids+=("$server_pid")
server_ready() {
  kill -0 "$server_pid" 2>/dev/null || die "the server stopped: $(cat "$work/server.err")"
  grep -q 'listening on' "$work/server.out"
}
wait_for 30 "the server's ready line" server_ready
cat "$work/server.out"

# --- an observer, watching from the start ------------------------------------------------------
# Per node: received, then granted or denied, then answered; the granted ones also installed.
expected_events=$((nodes * 3 + nodes - 1))
QX_HOME="$server" "$qxcm" events watch --server "127.0.0.1:$server_port" --count "$expected_events" \
  --timeout 60 >"$work/events.out" 2>"$work/events.err" &
observer_pid=$!
pids+=("$observer_pid")
sleep 0.5

# --- the nodes -------------------------------------------------------------------------------
for ((i = 1; i <= nodes; i++)); do
  node="$work/node$i"
  mkdir -p "$node/etc"
  printf '[sec.core]\nPLATFORM_KEY_FILE = %s\n[sec.cm.client]\nCERTIFICATE_SERVER = 127.0.0.1:%s\nSERVER_PORT = %s\n' \
    "$work/platform.key" "$server_port" "$(free_port)" >"$node/etc/qx.conf"
  QX_HOME="$node" "$agent_bin" --core-id "node$i" >"$work/node$i.out" 2>"$work/node$i.err" &
  pids+=($!)
done
say "$nodes node agents started (QX_HOME=$work/node1 ... node$nodes)"

wait_for 60 "$nodes pending requests" bash -c "(( \$(QX_HOME='$server' '$qxcm' requests ids --server 127.0.0.1:$server_port | grep -c .) >= $nodes ))"

say "pending requests (qxcm requests list)"
as "$server" "$qxcm" requests list --server "127.0.0.1:$server_port"

say "decisions (qxcm requests grant|deny --all --cn NAME)"
for ((i = 1; i < nodes; i++)); do
  as "$server" "$qxcm" requests grant --all --cn "node$i" --server "127.0.0.1:$server_port"
done
as "$server" "$qxcm" requests deny --all --cn "node$nodes" --server "127.0.0.1:$server_port"

# --- the nodes' statuses -----------------------------------------------------------------------
status_of() { as "$work/node$1" "$qxcm" node status 2>/dev/null || true; }
say "node statuses (qxcm node status)"
for ((i = 1; i <= nodes; i++)); do
  want="3 installed"
  ((i == nodes)) && want="4 denied"
  wait_for 60 "node$i to report '$want'" bash -c "[[ \"\$(QX_HOME='$work/node$i' '$qxcm' node status 2>/dev/null)\" == '$want' ]]"
  echo "node$i: $(status_of "$i")"
done

say "events the observer received (qxcm events watch)"
wait "$observer_pid" || die "the observer did not see the $expected_events events: $(cat "$work/events.err")"
cat "$work/events.out"

# --- verify what was installed -----------------------------------------------------------------
say "installed certificates, verified against the server's CA"
as "$server" "$qxcm" ca export --out "$work/ca.pem"
for ((i = 1; i < nodes; i++)); do
  as "$work/node$i" "$qxcm" keystore export "node$i" --out-cert "$work/node$i.pem"
  openssl verify -CAfile "$work/ca.pem" "$work/node$i.pem"
  openssl x509 -in "$work/node$i.pem" -noout -subject -serial -startdate -enddate | sed 's/^/    /'
done

stop_all
say "done: one server and $nodes nodes stopped"
