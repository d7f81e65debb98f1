#!/usr/bin/env bash
# cfssl_compare.sh [N] [IN_FLIGHT]: certificates per server CPU-second, cfssl against qxcm-server.
#
# Makes an RSA-1024 CA with `qxcm ca create` and N RSA-1024 requests with `qxcm csr create` (as a
# node makes them), starts `cfssl serve` with that CA on a free loopback port, posts the requests
# to /api/v1/cfssl/sign with IN_FLIGHT at a time over kept-alive connections, and reads cfssl's
# CPU time (user + system, /proc/<pid>/stat) before and after. Then runs enroll_load with the same
# N and IN_FLIGHT and prints both figures and their ratio. Only the servers' CPU time counts.
#
# QX_BUILD_DIR names the build directory (default: build next to this script's directory).
set -euo pipefail

N=${1:-1000}
IN_FLIGHT=${2:-24}
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${QX_BUILD_DIR:-$ROOT/build}
QXCM=$BUILD/bin/qxcm
ENROLL=$BUILD/bin/enroll_load

for tool in "$QXCM" "$ENROLL"; do
  [[ -x $tool ]] || { echo "missing $tool: build it first (cmake --build $BUILD)" >&2; exit 2; }
done
if ! command -v cfssl > /dev/null; then
  if [[ $(id -u) -eq 0 ]]; then
    apt-get install -y golang-cfssl > /dev/null
  else
    echo "cfssl is not installed: run 'sudo apt-get install golang-cfssl'" >&2
    exit 2
  fi
fi

WORK=$(mktemp -d "${TMPDIR:-/tmp}/cfssl-compare-XXXXXX")
CFSSL_PID=
cleanup() {
  [[ -n $CFSSL_PID ]] && kill "$CFSSL_PID" 2> /dev/null && wait "$CFSSL_PID" 2> /dev/null
  rm -rf "$WORK"
}
trap cleanup EXIT

# cpu_seconds PID: the process's user + system time so far (fields 14 and 15 of its stat line).
cpu_seconds() {
  awk -v hz="$(getconf CLK_TCK)" '{ sub(/.*\) /, ""); printf "%.2f\n", ($12 + $13) / hz }' \
    "/proc/$1/stat"
}

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

export QX_HOME=$WORK/home
"$QXCM" ca create --cn "Compare CA" --locality Bench --out-cert "$WORK/ca.pem" \
  --out-key "$WORK/ca.key" > /dev/null
mkdir -p "$WORK/csr" "$WORK/keys"
echo "making $N RSA-1024 requests with qxcm csr create"
seq 1 "$N" | xargs -P "$(nproc)" -I{} "$QXCM" csr create --cn "node{}.bench" --locality Bench \
  --out-csr "$WORK/csr/{}.pem" --out-key "$WORK/keys/{}.key" > /dev/null

PORT=$(free_port)
cfssl serve -address 127.0.0.1 -port "$PORT" -ca "$WORK/ca.pem" -ca-key "$WORK/ca.key" \
  -loglevel 3 > "$WORK/cfssl.log" 2>&1 &
CFSSL_PID=$!
for _ in $(seq 1 100); do
  (echo > "/dev/tcp/127.0.0.1/$PORT") 2> /dev/null && break
  sleep 0.1
done

echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
CPU_BEFORE=$(cpu_seconds "$CFSSL_PID")
ISSUED=$(python3 - "$WORK/csr" "$PORT" "$IN_FLIGHT" << 'EOF'
import concurrent.futures, http.client, json, os, sys, threading, time
directory, port, in_flight = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
csrs = [open(os.path.join(directory, name)).read() for name in sorted(os.listdir(directory))]
local = threading.local()

def sign(pem):
    # One kept-alive connection per thread, as the messaging layer keeps one per peer.
    if not hasattr(local, "conn"):
        local.conn = http.client.HTTPConnection("127.0.0.1", port, timeout=60)
    local.conn.request("POST", "/api/v1/cfssl/sign", json.dumps({"certificate_request": pem}),
                       {"Content-Type": "application/json"})
    answer = json.loads(local.conn.getresponse().read())
    return answer.get("success") and answer["result"].get("certificate", "").startswith("-----BEGIN")

start = time.monotonic()
with concurrent.futures.ThreadPoolExecutor(in_flight) as pool:
    issued = sum(1 for ok in pool.map(sign, csrs) if ok)
elapsed = time.monotonic() - start
print(f"cfssl: {issued} of {len(csrs)} certificates in {elapsed:.1f} s, {issued / elapsed:.1f}/s",
      file=sys.stderr)
print(issued)
EOF
)
CPU_AFTER=$(cpu_seconds "$CFSSL_PID")
CFSSL_CPU=$(echo "$CPU_AFTER - $CPU_BEFORE" | bc -l)
CFSSL_RATE=$(echo "$ISSUED / $CFSSL_CPU" | bc -l)
printf 'cfssl: server CPU %.2f s, %.2f ms per certificate, %.1f certificates per CPU-second\n' \
  "$CFSSL_CPU" "$(echo "$CFSSL_CPU * 1000 / $ISSUED" | bc -l)" "$CFSSL_RATE"
echo "load average after cfssl: $(cut -d' ' -f1-3 /proc/loadavg)"
kill "$CFSSL_PID"
wait "$CFSSL_PID" 2> /dev/null || true
CFSSL_PID=

echo "--- enroll_load --nodes $N --in-flight $IN_FLIGHT"
"$ENROLL" --nodes "$N" --in-flight "$IN_FLIGHT" | tee "$WORK/enroll.out"
QX_RATE=$(sed -n 's/.* \([0-9.]*\) certificates per CPU-second/\1/p' "$WORK/enroll.out")
printf '\ncertificates per server CPU-second: qxcm-server %.1f, cfssl %.1f, ratio %.2f\n' \
  "$QX_RATE" "$CFSSL_RATE" "$(echo "$QX_RATE / $CFSSL_RATE" | bc -l)"
