#!/usr/bin/env bash
# The node agent and "qxcm node" across processes: exit statuses of qxcm-agent, the status
# the running agent serves, its TLS identity taken from --core-id, and its stop on SIGTERM.
# Usage: qxcm_agent.sh <build dir> <source dir>
set -uo pipefail

build="${1:?usage: qxcm_agent.sh BUILD_DIR SOURCE_DIR}"
source="${2:?usage: qxcm_agent.sh BUILD_DIR SOURCE_DIR}"
agent="$build/bin/qxcm-agent"
qxcm="$build/bin/qxcm"

work="$(mktemp -d)"
agent_pid=""
trap '[[ -n "$agent_pid" ]] && kill -KILL "$agent_pid" 2>/dev/null; rm -rf "$work"' EXIT
export QX_HOME="$work/home"
unset QX_CONFIG QX_TRACE
export OPENSSL_CONF=/dev/null
cd "$work"
# shellcheck source=checks.bash
source "$source/tests/scripts/checks.bash"

port="$(free_port)"
mkdir -p "$QX_HOME/etc"
printf '[sec.cm.client]\nCERTIFICATE_DEPLOYMENT_TYPE = MANUAL\nSERVER_PORT = %s\n' "$port" \
  >"$QX_HOME/etc/qx.conf"

# run_timed COMMAND...: sets status and ms (milliseconds elapsed) and keeps stderr.
run_timed() {
  local start
  start=$(date +%s%N)
  "$@" >"$work/out" 2>"$work/err"
  status=$?
  ms=$((($(date +%s%N) - start) / 1000000))
}
# quick DESCRIPTION: the last run_timed took less than a second.
quick() { if ((ms < 1000)); then pass "$1"; else fail "$1: took ${ms} ms"; fi; }
# start_agent ARGS...: starts the agent and waits until its service answers.
start_agent() {
  "$agent" "$@" 2>"$work/agent.err" &
  agent_pid=$!
  for _ in $(seq 50); do
    "$qxcm" node status >/dev/null 2>&1 && return
    sleep 0.2
  done
  fail "the agent's service did not come up: $(cat "$work/agent.err")"
}
# stop_agent: SIGTERM, then the agent's exit status in agent_status.
stop_agent() {
  kill -TERM "$agent_pid"
  wait "$agent_pid"
  agent_status=$?
  agent_pid=""
}

# --- exit statuses -----------------------------------------------------------------------------
run_timed "$agent" --wait-installed 3
equal "without a core id the agent exits 2" "$status" 2
contains "and says why on stderr" "$(cat "$work/err")" "qxcm-agent: no core id"
quick "at once"

run_timed "$agent" --core-id n1 --wait-installed 3
equal "--wait-installed without a certificate server exits 2" "$status" 2
if ((ms >= 3000 && ms < 6000)); then pass "after the wait"; else fail "after ${ms} ms"; fi

# --- the status served while it runs, and SIGTERM ----------------------------------------------
start_agent --core-id n1
equal "qxcm node status of a running agent" "$("$qxcm" node status)" "1 none"
refused "an installation key file that is not 64 hex digits" "'bad.key' does not hold" \
  bash -c "echo 0123 >bad.key && '$qxcm' node request --core-id n1 --install-id i --install-key-file bad.key"
stop_agent
equal "SIGTERM stops the agent with status 0" "$agent_status" 0
out="$("$qxcm" node status 2>/dev/null)"
status=$?
equal "qxcm node status without an agent" "$out $status" "0 unknown 1"

# --- an installed certificate: --core-id is the TLS identity -----------------------------------
openssl req -x509 -newkey rsa:2048 -nodes -keyout n1.key -out n1.pem -subj /CN=n1 -days 30 \
  2>/dev/null
"$build/bin/qx_keystore_install" n1 n1.pem n1.key && "$build/bin/qx_keystore_install" root n1.pem
run_timed "$agent" --core-id n1 --wait-installed 3
equal "--wait-installed with the core id's certificate installed exits 0" "$status" 0
quick "at once"

start_agent --core-id n1
contains "the agent's TLS identity follows --core-id (no CORE_ID in the file)" \
  "$(openssl s_client -connect "127.0.0.1:$port" </dev/null 2>/dev/null)" "subject=CN = n1"
equal "qxcm node status of an installed node" "$("$qxcm" node status)" "3 installed"
# The node's answer 1 (no certificate server to ask) shows the call passed the TLS client check.
printf '[sec.core]\nCORE_ID = n1\n' >>"$QX_HOME/etc/qx.conf"
out="$("$qxcm" node update-roots 2>&1)"
equal "qxcm node update-roots over TLS reaches the node" "$out" \
  "1 not updated (see the node's log)"
stop_agent

finish_checks
