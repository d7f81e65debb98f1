#!/usr/bin/env bash
# Builds certificate, request, key and PKCS#12 samples with the openssl command into the
# directory given as the only argument. Tests run it into a temporary directory, so what they
# expect comes from OpenSSL's own tools and not from the library under test.
#
#   ca.key ca.pem          a self-signed CA (RSA 2048)
#   leaf.key leaf.csr      an end-entity key (RSA 1024) and its request
#   leaf.pem               the request's certificate, issued by the CA
#   other.key              an RSA key that matches no certificate here
#   ec.key ec.pem          a self-signed EC (P-256) certificate and key
#   leaf-legacy.p12        leaf.pem, leaf.key and ca.pem; 3DES/RC2-40, SHA-1 MAC (-legacy)
#   leaf-modern.p12        the same with OpenSSL 3's defaults (AES-256, SHA-256 MAC)
#   cert-only.p12          leaf.pem alone (-nokeys)
#   key-only.p12           leaf.key alone (-nocerts)
#   no-mac.p12             leaf.pem and leaf.key without a MAC (-nomac)
#   ec.p12                 ec.pem and ec.key
# Every PKCS#12 sample has the password in PASSWORD below and the friendly name "fixture".
set -euo pipefail

out="${1:?usage: make_fixtures.sh OUTPUT_DIR}"
mkdir -p "$out"
cd "$out"

PASSWORD=fixture-pass
export OPENSSL_CONF=/dev/null

openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 30 -sha256 \
  -subj "/CN=Fixture CA/O=Fixture" 2>/dev/null
openssl req -new -newkey rsa:1024 -nodes -keyout leaf.key -out leaf.csr -sha256 \
  -subj "/CN=fixture-leaf/L=Testing/O=Fixture/OU=Nodes" 2>/dev/null
openssl x509 -req -in leaf.csr -CA ca.pem -CAkey ca.key -set_serial 7 -days 30 -sha256 \
  -out leaf.pem 2>/dev/null
openssl genrsa -out other.key 1024 2>/dev/null
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout ec.key \
  -out ec.pem -days 30 -subj "/CN=fixture-ec" 2>/dev/null

p12() {
  openssl pkcs12 -export -name fixture -passout "pass:$PASSWORD" "$@"
}
p12 -legacy -in leaf.pem -inkey leaf.key -certfile ca.pem -out leaf-legacy.p12
p12 -in leaf.pem -inkey leaf.key -certfile ca.pem -out leaf-modern.p12
p12 -legacy -nokeys -in leaf.pem -out cert-only.p12
p12 -legacy -nocerts -inkey leaf.key -out key-only.p12
p12 -legacy -nomac -in leaf.pem -inkey leaf.key -out no-mac.p12
p12 -in ec.pem -inkey ec.key -out ec.p12
