#!/usr/bin/env bash
# A certificate request from end to end across real processes: qxcm-server, qxcm-agent nodes
# and the qxcm commands. The road of one request (fields, grant, installation in the node's key
# store, configuration, events, root update, installation keys); agents killed with SIGKILL at
# each step of that road and started again; the server killed during a burst of grants.
# Usage: road.sh <build dir> <source dir>
set -uo pipefail

build="${1:?usage: road.sh BUILD_DIR SOURCE_DIR}"
source="${2:?usage: road.sh BUILD_DIR SOURCE_DIR}"
qxcm="$build/bin/qxcm"
server_bin="$build/bin/qxcm-server"
agent_bin="$build/bin/qxcm-agent"

work="$(mktemp -d)"
declare -A pid_of=() # process name -> pid of what runs now
cleanup() {
  local p
  for p in "${pid_of[@]}"; do kill -KILL "$p" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT
unset QX_CONFIG QX_TRACE QX_HOME
export OPENSSL_CONF=/dev/null
cd "$work" || exit 1
# shellcheck source=checks.bash
source "$source/tests/scripts/checks.bash"

if [[ ! -x "$server_bin" || ! -x "$agent_bin" ]]; then
  echo "skipped: no qxcm-server or qxcm-agent in $build/bin"
  exit 0
fi

# sql SERVER QUERY: the rows of a query on a server's database.
sql() { db_query "$work/$1/data/sec/cs/server.db" "$2"; }
# until_true SECONDS COMMAND...: runs COMMAND every 0.1 s until it succeeds; status 1 when it
# never did.
until_true() {
  local tenths=$(($1 * 10))
  shift
  for ((i = 0; i < tenths; i++)); do
    "$@" >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  return 1
}
head -c 32 /dev/urandom >platform.key
chmod 600 platform.key

# fatal DESCRIPTION: a failure the rest cannot go on from.
fatal() {
  fail "$1"
  finish_checks
}

# --- servers and nodes, each in its own home ---------------------------------------------------
declare -A port_of=()
# make_server NAME AUTO_GRANT: the home of a server with its ports.
make_server() {
  port_of[$1]="$(free_port)"
  mkdir -p "$work/$1/etc"
  printf '[sec.core]\nCORE_ID = %s\nPLATFORM_KEY_FILE = %s\n[zeb.http]\nPORT = %s\nTLS_PORT = %s\n[sec.cm.server]\nAUTO_GRANT = %s\n' \
    "$1" "$work/platform.key" "${port_of[$1]}" "$(free_port)" "$2" >"$work/$1/etc/qx.conf"
}
# start_server NAME: starts it and waits for its ready line.
start_server() {
  : >"$work/$1.out"
  QX_HOME="$work/$1" "$server_bin" >>"$work/$1.out" 2>>"$work/$1.err" &
  pid_of[$1]=$!
  until_true 30 grep -q "listening on" "$work/$1.out" || fatal "server $1 did not start: $(cat "$work/$1.err")"
}
# kill9 NAME: SIGKILL to a process started here.
kill9() {
  kill -KILL "${pid_of[$1]}" 2>/dev/null
  wait "${pid_of[$1]}" 2>/dev/null
  unset "pid_of[$1]"
}
# on SERVER COMMAND...: a qxcm command against that server, in its home.
on() {
  local server="$1"
  shift
  QX_HOME="$work/$server" "$qxcm" "$@"
}
# make_node NAME SERVER DEPLOYMENT: the home of a node sending to the server from 127.0.0.1,
# retrying each second.
make_node() {
  mkdir -p "$work/$1/etc"
  printf '[sec.core]\nCORE_ID = %s\nPLATFORM_KEY_FILE = %s\n[sec.cm.client]\nCERTIFICATE_SERVER = 127.0.0.1:%s\nCERTIFICATE_DEPLOYMENT_TYPE = %s\nSERVER_PORT = %s\nRETRY_INTERVAL = 1\nMAX_RETRIES = 1000\n[zeb.http]\nCLIENT_BIND_ADDR = 127.0.0.1\n' \
    "$1" "$work/platform.key" "${port_of[$2]}" "$3" "$(free_port)" >"$work/$1/etc/qx.conf"
}
start_node() {
  QX_HOME="$work/$1" "$agent_bin" --core-id "$1" 2>>"$work/$1.err" &
  pid_of[$1]=$!
}
node_status() { QX_HOME="$work/$1" "$qxcm" node status 2>/dev/null; }
status_is() { [[ "$(node_status "$1")" == "$2" ]]; }
# wait_status NODE STATUS [SECONDS]
wait_status() {
  if until_true "${3:-30}" status_is "$1" "$2"; then
    pass "$1 reaches '$2'"
  else
    fail "$1 did not reach '$2': '$(node_status "$1")' $(tail -3 "$work/$1.err" 2>/dev/null)"
  fi
}
# pending SERVER [CN]: the ids of the pending requests (of one common name).
pending() {
  on "$1" requests list --json --server "127.0.0.1:${port_of[$1]}" |
    json '"\n".join(r["id"] for r in d if r["commonName"] == "'"${2:-}"'" or not "'"${2:-}"'")'
}
count_pending() { [[ $(pending "$1" "${3:-}" | grep -c .) -eq $2 ]]; }
# pubkey_of KIND FILE: the public key of a certificate (x509), CSR (req) or private key (pkey).
pubkey_of() {
  case "$1" in
    x509) openssl x509 -in "$2" -noout -pubkey ;;
    req) openssl req -in "$2" -noout -pubkey ;;
    pkey) openssl pkey -in "$2" -pubout ;;
  esac 2>/dev/null
}
# check_installed SERVER NODE: the node holds exactly one issued certificate, the one of its
# request, with that request's key, verifying against the server's CA.
check_installed() {
  local server="$1" node="$2" certs
  on "$node" keystore export "$node" --out-cert "$node.pem" --out-key "$node.key" >/dev/null 2>&1
  certs="$(sql "$server" "SELECT c.request_id FROM certificates c JOIN requests r ON r.id = c.request_id WHERE r.common_name = '$node'")"
  equal "$node: the server issued exactly one certificate" "$(grep -c . <<<"$certs")" 1
  sql "$server" "SELECT csr FROM requests WHERE id = '$certs'" >"$node.csr"
  local key
  key="$(pubkey_of x509 "$node.pem")"
  if [[ -n "$key" && "$key" == "$(pubkey_of pkey "$node.key")" && "$key" == "$(pubkey_of req "$node.csr")" ]]; then
    pass "$node: installed certificate, its private key and the accepted request's CSR share one key"
  else
    fail "$node: the keys of certificate, private key and CSR differ"
  fi
  on "$server" ca export --out "$server-ca.pem" >/dev/null
  check "$node: the certificate verifies against the exported CA" \
    openssl verify -CAfile "$server-ca.pem" "$node.pem"
}

# === 1. the road of one request =================================================================
make_server s1 INSTALL_KEY
start_server s1
s1="127.0.0.1:${port_of[s1]}"
on s1 events watch --json --count 4 --timeout 50 --server "$s1" >watch.out 2>watch.err &
pid_of[watch]=$!
until_true 20 grep -q watching watch.err || fail "the observer did not register: $(cat watch.err)"

make_node a1 s1 AUTO
start_node a1
until_true 20 count_pending s1 1 a1 || fatal "no request of a1: $(pending s1)"
a1_id="$(pending s1 a1)"
equal "the request's fields: CN = core id, node name, address" \
  "$(on s1 requests show "$a1_id" --json --server "$s1" | json 'd["commonName"] + " " + d["nodeName"] + " " + d["ipAddress"]')" \
  "a1 $(python3 -c 'import socket; print(socket.gethostname())') 127.0.0.1"
equal "status pending" "$(node_status a1)" "2 pending"
check "grant" on s1 requests grant "$a1_id" --server "$s1"
wait_status a1 "3 installed"
check_installed s1 a1
ca_cn="$(openssl x509 -in s1-ca.pem -noout -subject -nameopt multiline | sed -n 's/^ *commonName *= //p')"
contains "the trusted root is installed under its common name" "$(on a1 keystore list 2>&1)" "$ca_cn"
equal "the node's configuration: CERT_INSTALLED" "$(on a1 config get sec.cm.certificates CERT_INSTALLED)" TRUE
for key in LAST_CERT_UPDATE LAST_TRUSTED_CERT_UPDATE; do
  contains "the node's configuration: $key" "$(on a1 config get sec.cm.certificates "$key")" "$(date -u +%Y)"
done
delivered() {
  [[ "$(on s1 certs list --json | json '" ".join(str(c["delivered"]) + ":" + str(c["installed"]) for c in d if c["node"] == "a1")')" == "True:True" ]]
}
if until_true 20 delivered; then pass "certs list: delivered and installed"; else
  fail "certs list: $(on s1 certs list --json)"
fi
wait "${pid_of[watch]}"
equal "the observer stopped after 4 events" "$?" 0
unset "pid_of[watch]"
equal "the observer saw the request received, granted, answered, installed" \
  "$(python3 -c 'import json, sys; print(" ".join(e["name"] for e in map(json.loads, sys.stdin) if e["requestId"] == sys.argv[1]))' "$a1_id" <watch.out)" \
  "received granted answered installed"

# The administrator has the node fetch the roots again after one was added on the server.
openssl req -x509 -newkey rsa:2048 -nodes -keyout extra.key -out extra.pem -subj /CN=Extra-Root \
  -days 30 2>/dev/null
QX_HOME="$work/s1" "$build/bin/qx_keystore_install" extra extra.pem
equal "update-roots" "$(on a1 node update-roots 2>&1)" "0 updated"
contains "the root added on the server is in the node's store" "$(on a1 keystore list 2>&1)" "Extra-Root"
contains "and the CA still is" "$(on a1 keystore list 2>&1)" "$ca_cn"

# Installation keys: granted without an administrator, and a wrong key refused.
check "installkey create" on s1 installkey create --id k1 --out k1.key
head -c 32 /dev/urandom | od -An -tx1 | tr -d ' \n' >wrong.key && echo >>wrong.key
for node in m1 m2; do
  make_node "$node" s1 MANUAL
  start_node "$node"
done
until_true 20 status_is m1 "1 none"
until_true 20 status_is m2 "1 none"
check "node request with the installation key" \
  on m1 node request --core-id m1 --install-id k1 --install-key-file k1.key
wait_status m1 "3 installed"
check_installed s1 m1
on m2 node request --core-id m2 --install-id k1 --install-key-file wrong.key >/dev/null 2>&1
# The server refuses it: the node's client fails (its state 1), which its status shows as 0.
wait_status m2 "0 unknown"
equal "no request of m2 is pending" "$(pending s1 m2)" ""

# === 2. agents killed at each step ==============================================================
make_server s2 NONE
make_node c1 s2 AUTO
start_node c1 # the server is not up: the agent retries
sleep 1.5
kill9 c1
start_node c1
start_server s2
s2="127.0.0.1:${port_of[s2]}"
for node in c2 c3; do
  make_node "$node" s2 AUTO
  start_node "$node"
done
until_true 30 count_pending s2 3 || fatal "three pending requests expected: $(pending s2)"
c2_id="$(pending s2 c2)"
c3_id="$(pending s2 c3)"
kill9 c2 # after acceptance
start_node c2
sleep 1.5 # the restarted agent would send again by now
for node in c1 c2 c3; do
  equal "$node: one pending request after the kills" "$(pending s2 "$node" | grep -c .)" 1
done
equal "c2: the same request as before its kill" "$(pending s2 c2)" "$c2_id"
on s2 requests grant "$c3_id" --server "$s2" >/dev/null
kill9 c3 # while the answer is on its way
start_node c3
check "grant the others" on s2 requests grant --all --server "$s2"
for node in c1 c2 c3; do
  wait_status "$node" "3 installed"
  check_installed s2 "$node"
done
kill9 c2 # after installation
start_node c2
sleep 1.5
wait_status c2 "3 installed"
equal "c2: nothing pending after a restart once installed" "$(pending s2)" ""
check_installed s2 c2

# === 3. the server killed during a burst of grants ==============================================
make_server s3 NONE
start_server s3
s3="127.0.0.1:${port_of[s3]}"
burst=(d1 d2 d3 d4 d5)
for node in "${burst[@]}"; do
  make_node "$node" s3 AUTO
  start_node "$node"
done
until_true 30 count_pending s3 "${#burst[@]}" || fatal "${#burst[@]} pending expected: $(pending s3)"
acknowledged="$(pending s3 | LC_ALL=C sort)"
on s3 requests grant --all --server "$s3" >grant.out 2>&1 &
pid_of[grant]=$!
sleep 0.3
kill9 s3
wait "${pid_of[grant]}" 2>/dev/null
unset "pid_of[grant]"
start_server s3
equal "every acknowledged request is still there after the kill" \
  "$(sql s3 "SELECT id FROM requests" | LC_ALL=C sort)" "$acknowledged"
on s3 requests grant --all --server "$s3" >/dev/null 2>&1 # those the kill left undecided
for node in "${burst[@]}"; do
  wait_status "$node" "3 installed"
  check_installed s3 "$node"
done
equal "no serial number is used twice" \
  "$(on s3 certs list --json | json 'len(d) == len(set(c["serial"] for c in d)) == '"${#burst[@]}")" True

finish_checks
