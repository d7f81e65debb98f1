#!/usr/bin/env bash
# The administration commands end to end: installation keys and their files, the CA export, the
# server's database read while empty, unreachable servers and bad arguments; then, against a
# running qxcm-server with qxcm-agent nodes, the requests listed, decided in bulk and one by
# one, the events watched by an observer and kept in the database, and the issued certificates.
# Usage: qxcm_admin.sh <build dir> <source dir>
set -uo pipefail

build="${1:?usage: qxcm_admin.sh BUILD_DIR SOURCE_DIR}"
source="${2:?usage: qxcm_admin.sh BUILD_DIR SOURCE_DIR}"
qxcm="$build/bin/qxcm"
server="$build/bin/qxcm-server"
agent="$build/bin/qxcm-agent"

work="$(mktemp -d)"
pids=()
trap 'for p in "${pids[@]}"; do kill -KILL "$p" 2>/dev/null; done; rm -rf "$work"' EXIT
export QX_HOME="$work/server"
unset QX_CONFIG QX_TRACE
export OPENSSL_CONF=/dev/null
cd "$work"
# shellcheck source=checks.bash
source "$source/tests/scripts/checks.bash"

# sql QUERY: a value read from the server's database.
sql() { db_query "$QX_HOME/data/sec/cs/server.db" "$1"; }
port="$(free_port)"
mkdir -p "$QX_HOME/etc"
# The server's TLS listener gets a free port too, so that tests running at once never share one.
printf '[sec.core]\nCORE_ID = cs1\n[zeb.http]\nPORT = %s\nTLS_PORT = %s\n' "$port" "$(free_port)" \
  >"$QX_HOME/etc/qx.conf"

# --- installation keys -------------------------------------------------------------------------
check "installkey create" "$qxcm" installkey create --id k1 --out k1.key
equal "the key file is private" "$(stat -c %a k1.key)" 600
if grep -qxE '[0-9a-f]{64}' k1.key && [[ $(wc -c <k1.key) -eq 65 ]]; then
  pass "the key file is 64 lower-case hex digits and a line feed"
else
  fail "key file content: $(od -c k1.key | head -3)"
fi
equal "the database holds the file's 32 bytes under the id" \
  "$(sql "SELECT lower(hex(key)) FROM install_keys WHERE id = 'k1'")" "$(cat k1.key)"
cp k1.key k1.copy
refused "an existing id is refused" "The installation key 'k1' exists already" \
  "$qxcm" installkey create --id k1 --out other.key
refused "an existing file is refused" "'k1.key' exists already" \
  "$qxcm" installkey create --id k2 --out k1.key
equal "and neither the file nor the store changed" \
  "$(cmp -s k1.key k1.copy && echo same) $("$qxcm" installkey list | tr '\n' ' ')" "same k1 "
refused "the platform key's id 0 is reserved" "" "$qxcm" installkey create --id 0 --out k0.key
check "a second key" "$qxcm" installkey create --id k2 --out k2.key
equal "installkey list" "$("$qxcm" installkey list | tr '\n' ' ')" "k1 k2 "
check "installkey remove" "$qxcm" installkey remove k2
refused "removing it again" "No installation key 'k2'" "$qxcm" installkey remove k2

# --- the CA export (in a home of its own: the server's makes its CA at its first start) ----------
export_home=(env QX_HOME="$work/export")
mkdir -p "$work/export/etc"
printf '[sec.core]\nCORE_ID = cs1\n' >"$work/export/etc/qx.conf"
: >"$work/empty.conf"
openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -subj /CN=Admin-CA -days 30 \
  2>/dev/null
refused "ca export before the CA exists" "The key store" "${export_home[@]}" "$qxcm" ca export --out x.pem
"${export_home[@]}" "$build/bin/qx_keystore_install" CA_cs1 ca.pem ca.key
check "ca export" "${export_home[@]}" "$qxcm" ca export --out exported.pem
contains "exports the CA under CA_<CORE_ID>" \
  "$(openssl x509 -in exported.pem -noout -subject 2>&1)" "Admin-CA"
equal "the same certificate" "$(openssl x509 -in exported.pem -outform DER | sha256sum)" \
  "$(openssl x509 -in ca.pem -outform DER | sha256sum)"
refused "without CORE_ID there is no CA alias" "No CA alias" \
  "${export_home[@]}" QX_CONFIG="$work/empty.conf" "$qxcm" ca export --out y.pem

# --- the database without certificates or events -----------------------------------------------
equal "certs list --json of a database without certificates" "$("$qxcm" certs list --json)" "[]"
equal "events list --json without events" "$("$qxcm" events list --json)" "[]"
out="$(QX_HOME="$work/nowhere" "$qxcm" certs list 2>&1)"
contains "a QX_HOME without server database says where it looked" "$out" \
  "no certificate server database at $work/nowhere/data/sec/cs/server.db"

# --- an unreachable server, unknown arguments --------------------------------------------------
dead="127.0.0.1:$(free_port)"
for command in "requests list" "requests grant r1" "requests remove --all" "events watch"; do
  # shellcheck disable=SC2086
  refused "$command at an unreachable server: message 55" "Call to server failed." \
    "$qxcm" $command --server "$dead"
done
refused "grant without ids or --all" "" "$qxcm" requests grant
contains "says what it needs" "$("$qxcm" requests grant 2>&1)" "ID... or --all is required"
refused "--cn needs --all" "" "$qxcm" requests deny r1 --cn 'n*'
refused "ids and --all exclude each other" "" "$qxcm" requests remove r1 --all
refused "--count must be positive" "" "$qxcm" events watch --count 0

# --- against a running server ------------------------------------------------------------------
if [[ ! -x "$server" ]]; then
  echo "skipped: no qxcm-server in $build/bin, the commands were not run against a server"
  finish_checks
  exit 0
fi

"$server" --port "$port" >server.out 2>server.err &
pids+=($!)
server_pid=$!
for _ in $(seq 100); do grep -q "listening on" server.out && break; sleep 0.1; done
contains "the server starts" "$(cat server.out)" "qxcm-server: listening on"
check "ca export of the server's CA" "$qxcm" ca export --out server-ca.pem
contains "which verifies the server's TLS certificate" \
  "$(openssl s_client -connect "127.0.0.1:$port" -CAfile server-ca.pem -auth_level 0 </dev/null 2>/dev/null)" \
  "Verify return code: 0 (ok)"

node_pids=()
# start_node NAME DEPLOYMENT [CORE_ID]: an agent with its own home that sends to the server.
start_node() {
  local home="$work/$1"
  mkdir -p "$home/etc"
  printf '[sec.cm.client]\nCERTIFICATE_DEPLOYMENT_TYPE = %s\nCERTIFICATE_SERVER = 127.0.0.1:%s\nSERVER_PORT = %s\n' \
    "$2" "$port" "$(free_port)" >"$home/etc/qx.conf"
  QX_HOME="$home" "$agent" --core-id "${3:-$1}" 2>"$work/$1.err" &
  pids+=($!)
  node_pids+=($!)
}
# wait_pending N: until the server holds N pending requests.
wait_pending() {
  for _ in $(seq 100); do
    [[ $("$qxcm" requests ids 2>/dev/null | wc -l) -eq $1 ]] && return
    sleep 0.1
  done
  fail "$1 pending request(s) expected, got: $("$qxcm" requests ids 2>&1)"
}

start_node n1 AUTO
# n2's common name holds what JSON and the tables must escape: a quote, a backslash, non-ASCII.
cn2='n2 "q\ü'
start_node n2 AUTO "$cn2"
wait_pending 2
list="$("$qxcm" requests list --json)"
equal "requests list --json: both nodes, automatic" \
  "$(json '" ".join(sorted(r["commonName"] + ":" + r["installationType"] for r in d))' <<<"$list")" \
  "n1:automatic $cn2:automatic"
n1="$(json '[r["id"] for r in d if r["commonName"] == "n1"][0]' <<<"$list")"
n2="$(json '[r["id"] for r in d if r["commonName"] != "n1"][0]' <<<"$list")"
table="$("$qxcm" requests list)"
contains "requests list: a table with a heading" "$table" "COMMON NAME"
contains "whose backslashes are escaped" "$table" 'n2 "q\\ü'
equal "requests show --json: the node name and a reception time" \
  "$("$qxcm" requests show "$n1" --json | json 'd["id"] == "'"$n1"'" and d["receivedSeconds"] > 1700000000')" \
  "True"
equal "--target-id naming the server's certificate" \
  "$("$qxcm" requests ids --target-id cs1 | wc -l)" 2
refused "--target-id naming another: message 55" "Call to server failed." \
  "$qxcm" requests ids --target-id someone-else
refused "show of an unknown id: message 56" "Unknown request id 'nope'." \
  "$qxcm" requests show nope

# An observer registered with the server, announced on stderr once registered, sees the
# decisions through the server's event delivery.
"$qxcm" events watch --count 2 --timeout 30 --json >watch.out 2>watch.err &
watch_pid=$!
pids+=($watch_pid)
for _ in $(seq 100); do grep -q "watching" watch.err && break; sleep 0.1; done
equal "the observer is registered in the server's database" "$(sql 'SELECT count(*) FROM observers')" 1
before="$(sql 'SELECT coalesce(max(number), 0) FROM events')"

equal "a dry run names the request it would grant" \
  "$("$qxcm" requests grant --all --cn 'n1*' --dry-run)" "would grant $n1 n1"
equal "and changes nothing" "$("$qxcm" requests ids | wc -l)" 2
equal "grant --all --cn" "$("$qxcm" requests grant --all --cn 'n1*')" "granted $n1 n1"
refused "deny of an unknown id among known ones: message 56" "Unknown request id 'nope'." \
  "$qxcm" requests deny nope "$n2"
equal "the known one is denied all the same" "$("$qxcm" requests ids | wc -l)" 0

wait "$watch_pid"
equal "events watch stops after --count events with status 0" "$?" 0
# The server's delivery may add the nodes' answers between the decisions: what was printed is
# compared with the events the database kept since the observer registered, in their order.
shown="$(python3 -c 'import json, sys; print(" ".join("%d:%s:%s:%s" % (e["type"], e["name"], e["requestId"], e["commonName"]) for e in map(json.loads, sys.stdin)))' <watch.out)"
equal "it printed the grant first, with its request" "${shown%% *}" "2:granted:$n1:n1"
equal "it printed the events the server kept, in order" "$shown" \
  "$("$qxcm" events list --since "$before" --json | json '" ".join("%d:%s:%s:%s" % (e["type"], e["name"], e["requestId"], e["commonName"]) for e in d[:2])')"
equal "and deregistered" "$(sql 'SELECT count(*) FROM observers')" 0

"$qxcm" events watch --timeout 30 >watch2.out 2>watch2.err &
watch_pid=$!
pids+=($watch_pid)
for _ in $(seq 100); do grep -q "watching" watch2.err && break; sleep 0.1; done
kill -INT "$watch_pid"
wait "$watch_pid"
equal "Ctrl-C stops events watch with status 0" "$?" 0
equal "after deregistering" "$(sql 'SELECT count(*) FROM observers')" 0
refused "--count not reached before --timeout" "timed out after 1 s: 0 of 1 event(s) received" \
  "$qxcm" events watch --count 1 --timeout 1

events="$("$qxcm" events list --json)"
equal "events list: received, granted and denied, from the database" \
  "$(json '" ".join(sorted("%s:%s" % (e["name"], e["commonName"]) for e in d if e["type"] <= 3))' <<<"$events")" \
  "denied:$cn2 granted:n1 received:n1 received:$cn2"
last="$(json 'd[-1]["number"]' <<<"$events")"
equal "events list --since the last: nothing" "$("$qxcm" events list --since "$last" --json)" "[]"

certs="$("$qxcm" certs list --json)"
equal "certs list: the certificate of n1" \
  "$(json '" ".join(c["subject"] + ":" + c["node"] + ":" + c["requestId"] for c in d)' <<<"$certs")" \
  "n1:n1:$n1"

# A node requesting with the installation key made above: the server reads its request with it.
start_node n3 MANUAL
for _ in $(seq 50); do QX_HOME="$work/n3" "$qxcm" node status >/dev/null 2>&1 && break; sleep 0.2; done
check "node request with the key file" \
  env QX_HOME="$work/n3" "$qxcm" node request --core-id n3 --install-id k1 --install-key-file k1.key
wait_pending 1
equal "the request came with the installation key" \
  "$("$qxcm" requests list --json | json 'd[0]["commonName"] + ":" + d[0]["installationType"]')" \
  "n3:installation-key"
equal "remove --all" "$("$qxcm" requests remove --all)" "removed 1 request(s)"

kill -TERM "$server_pid" "${node_pids[@]}"
wait "$server_pid" "${node_pids[@]}"
refused "a stopped server: message 55" "Call to server failed." "$qxcm" requests ids

finish_checks
