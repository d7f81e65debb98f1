#!/usr/bin/env bash
# The crypto and key store commands of qxcm, checked with OpenSSL's own tools.
# Usage: qxcm_crypto.sh <build dir> <source dir>
set -uo pipefail

build="${1:?usage: qxcm_crypto.sh BUILD_DIR SOURCE_DIR}"
source="${2:?usage: qxcm_crypto.sh BUILD_DIR SOURCE_DIR}"
qxcm="$build/bin/qxcm"
install_entry="$build/bin/qx_keystore_install"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
export QX_HOME="$work/home"
unset QX_CONFIG QX_TRACE
export OPENSSL_CONF=/dev/null
umask 022
cd "$work"

# shellcheck source=checks.bash
source "$source/tests/scripts/checks.bash"

# absent DESCRIPTION FILE...: none of the files may exist.
absent() {
  local what="$1" file
  shift
  for file in "$@"; do
    if [[ -e "$file" ]]; then
      fail "$what: $file exists"
      return
    fi
  done
  pass "$what"
}
mode() { stat -c %a "$1"; }
fingerprint() { openssl x509 -in "$1" -noout -fingerprint -sha256; }
key_modulus() { openssl rsa -in "$1" -noout -modulus 2>/dev/null; }
cert_modulus() { openssl x509 -in "$1" -noout -modulus; }
serial_file() { od -An -tu4 "$QX_HOME/data/sec/cs/serial.dat" | tr -d ' '; }
no_temp_files() {
  local left
  left="$(find "$work" -maxdepth 2 -name '.*.tmp.*')"
  equal "$1: no temporary files left" "$left" ""
}

bash "$source/tests/data/make_fixtures.sh" "$work/fx" >/dev/null 2>&1 || {
  echo "fixture script failed" >&2
  exit 1
}
echo fixture-pass >"$work/fx/password"

# --- help --------------------------------------------------------------------------------------
for command in "csr create" "ca create" "cert sign" "pkcs12 export" "pkcs12 import" \
  "keystore list" "keystore export"; do
  # shellcheck disable=SC2086
  check "qxcm $command --help" "$qxcm" $command --help
done
refused "a group without its subcommand" "" "$qxcm" csr
refused "an unknown subcommand" "" "$qxcm" pkcs12 frobnicate

# --- csr create --------------------------------------------------------------------------------
check "csr create" "$qxcm" csr create --cn node-1 --locality Lisbon --out-csr node.csr \
  --out-key node.key
contains "openssl req -verify accepts the request" \
  "$(openssl req -in node.csr -verify -noout 2>&1)" "verify OK"
equal "the subject is CN, L, O, OU in this order" \
  "$(openssl req -in node.csr -noout -subject -nameopt compat)" \
  "subject=/CN=node-1/L=Lisbon/O=Marrow-Tessing/OU=Quillax"
key_text="$(openssl rsa -in node.key -noout -text 2>/dev/null)"
contains "the key has 1024 bits" "$key_text" "Private-Key: (1024 bit"
contains "the key's public exponent is 3" "$key_text" "publicExponent: 3 (0x3)"
equal "request and key belong together" \
  "$(openssl req -in node.csr -noout -modulus)" "$(key_modulus node.key)"
equal "the key file has mode 0600" "$(mode node.key)" 600
equal "the request file has mode 0644" "$(mode node.csr)" 644
refused "csr create into a missing directory" "Could not open file" \
  "$qxcm" csr create --cn x --locality y --out-csr x.csr --out-key "$work/missing/x.key"
refused "a common name with a line break" "The common name (CN) holds a control character" \
  "$qxcm" csr create --cn $'node\nforged' --locality y --out-csr x.csr --out-key x.key
refused "a common name that is not UTF-8" "The value of --cn is not UTF-8 text." \
  "$qxcm" csr create --cn $'caf\xe9' --locality y --out-csr x.csr --out-key x.key
refused "an empty common name" "The common name (CN) is empty" \
  "$qxcm" ca create --cn "" --locality y --out-cert x.csr --out-key x.key
absent "a failed csr create leaves neither file" x.csr x.key "$work/missing/x.key"

# --- ca create ---------------------------------------------------------------------------------
check "ca create" "$qxcm" ca create --cn "Test CA" --locality Lisbon --out-cert ca.pem \
  --out-key ca.key
equal "the CA has serial number 0" "$(openssl x509 -in ca.pem -noout -serial)" "serial=00"
equal "the CA's issuer equals its subject" \
  "$(openssl x509 -in ca.pem -noout -issuer -nameopt compat | sed 's/^issuer=//')" \
  "$(openssl x509 -in ca.pem -noout -subject -nameopt compat | sed 's/^subject=//')"
not_before="$(date -d "$(openssl x509 -in ca.pem -noout -startdate | cut -d= -f2)" +%s)"
not_after="$(date -d "$(openssl x509 -in ca.pem -noout -enddate | cut -d= -f2)" +%s)"
equal "the CA is valid for 7300 days from issuing (and one day before)" \
  "$(((not_after - not_before) / 86400))" 7301
contains "the CA is a CA" "$(openssl x509 -in ca.pem -noout -text)" "CA:TRUE"
equal "the CA key file has mode 0600" "$(mode ca.key)" 600
check "the CA verifies itself" openssl verify -CAfile ca.pem ca.pem

# --- cert sign ---------------------------------------------------------------------------------
check "cert sign" "$qxcm" cert sign --ca-cert ca.pem --ca-key ca.key --csr node.csr --out node.pem
check "openssl verify accepts the certificate under the CA" \
  openssl verify -CAfile ca.pem node.pem
equal "the first certificate of a fresh QX_HOME has serial number 1" \
  "$(openssl x509 -in node.pem -noout -serial)" "serial=01"
node_text="$(openssl x509 -in node.pem -noout -text)"
contains "signed with SHA-1 and RSA" "$node_text" "Signature Algorithm: sha1WithRSAEncryption"
extensions="$(echo "$node_text" | grep -E '^ +(X509v3|Netscape) ' | sed 's/^ *//; s/: *$//' | tr '\n' ',')"
equal "the five extensions, in order" "$extensions" \
  "X509v3 extensions,X509v3 Authority Key Identifier,X509v3 Basic Constraints,X509v3 Key Usage,Netscape Comment,X509v3 Subject Key Identifier,"
contains "an end-entity certificate is no CA" "$node_text" "CA:FALSE"
equal "the serial file holds 1" "$(serial_file)" 1

check "cert sign of an openssl-made request, as a CA" "$qxcm" cert sign --ca-cert ca.pem \
  --ca-key ca.key --csr fx/leaf.csr --out leaf.pem --ca
equal "the next certificate has serial number 2" \
  "$(openssl x509 -in leaf.pem -noout -serial)" "serial=02"
contains "--ca issues a CA certificate" "$(openssl x509 -in leaf.pem -noout -text)" "CA:TRUE"
check "openssl verify accepts it" openssl verify -CAfile ca.pem leaf.pem

# A request whose signature no longer matches: one byte of the signature changed.
openssl req -in node.csr -outform DER -out node.der
perl -0777 -pe 'substr($_, -5, 1) ^= "\x01"' node.der >tampered.der
openssl req -inform DER -in tampered.der -out tampered.csr
refused "a tampered request is refused with message 7" \
  "Could not verify signature on certificate request." \
  "$qxcm" cert sign --ca-cert ca.pem --ca-key ca.key --csr tampered.csr --out tampered.pem
absent "no certificate file for the tampered request" tampered.pem
equal "the tampered request drew no serial number" "$(serial_file)" 2
refused "a CA key that is not the CA's" "Could not create key from provided data" \
  "$qxcm" cert sign --ca-cert ca.pem --ca-key node.key --csr node.csr --out other.pem
refused "a request file that is no request" "Could not parse encoded X.509 certificate request" \
  "$qxcm" cert sign --ca-cert ca.pem --ca-key ca.key --csr ca.pem --out other.pem
refused "a missing request file" "Could not open file '$work/nothing.csr'" \
  "$qxcm" cert sign --ca-cert ca.pem --ca-key ca.key --csr "$work/nothing.csr" --out other.pem
absent "no certificate for refused requests" other.pem
no_temp_files "cert sign"

# --- pkcs12 export / import --------------------------------------------------------------------
echo "export pass" >pw
check "pkcs12 export (modern profile by default)" "$qxcm" pkcs12 export --cert node.pem \
  --key node.key --chain ca.pem --name node-1 --out modern.p12 --password-file pw
info="$(openssl pkcs12 -info -noout -in modern.p12 -passin "pass:export pass" 2>&1)"
contains "modern certificate bags: PBES2 AES-256-CBC, 2048 iterations" "$info" \
  "PKCS7 Encrypted data: PBES2, PBKDF2, AES-256-CBC, Iteration 2048, PRF hmacWithSHA256"
contains "modern key bag: PBES2 AES-256-CBC, 2048 iterations" "$info" \
  "Shrouded Keybag: PBES2, PBKDF2, AES-256-CBC, Iteration 2048, PRF hmacWithSHA256"
contains "modern MAC: SHA-256, 2048 iterations" "$info" "MAC: sha256, Iteration 2048"
check "pkcs12 import of a modern file" "$qxcm" pkcs12 import --in modern.p12 \
  --out-cert modern.pem --out-key modern.key --password-file pw
equal "the key comes back from a modern file" "$(key_modulus modern.key)" \
  "$(key_modulus node.key)"
refused "an unknown profile" "" "$qxcm" pkcs12 export --cert node.pem --key node.key \
  --name x --out w.p12 --password-file pw --profile rc4

check "pkcs12 export with a chain (legacy profile)" "$qxcm" pkcs12 export --cert node.pem \
  --key node.key --chain ca.pem --name node-1 --out node.p12 --password-file pw --profile legacy
equal "the PKCS#12 file has mode 0600" "$(mode node.p12)" 600
info="$(openssl pkcs12 -info -legacy -noout -in node.p12 -passin "pass:export pass" 2>&1)"
contains "certificate bags: RC2-40, 2048 iterations" "$info" \
  "PKCS7 Encrypted data: pbeWithSHA1And40BitRC2-CBC, Iteration 2048"
contains "key bag: 3DES, 2048 iterations" "$info" \
  "Shrouded Keybag: pbeWithSHA1And3-KeyTripleDES-CBC, Iteration 2048"
contains "MAC: SHA-1, 1 iteration" "$info" "MAC: sha1, Iteration 1"
contains "friendly name" "$(openssl pkcs12 -info -legacy -nodes -in node.p12 \
  -passin "pass:export pass" 2>&1)" "friendlyName: node-1"

check "pkcs12 import" "$qxcm" pkcs12 import --in node.p12 --out-cert back.pem \
  --out-key back.key --out-chain back-chain.pem --password-file pw
equal "the certificate comes back" "$(fingerprint back.pem)" "$(fingerprint node.pem)"
equal "the key comes back" "$(key_modulus back.key)" "$(key_modulus node.key)"
equal "the chain comes back" "$(fingerprint back-chain.pem)" "$(fingerprint ca.pem)"
equal "the imported key file has mode 0600" "$(mode back.key)" 600

check "pkcs12 export without a chain" "$qxcm" pkcs12 export --cert node.pem --key node.key \
  --name solo --out solo.p12 --password-file pw
check "pkcs12 import with an empty chain" "$qxcm" pkcs12 import --in solo.p12 \
  --out-cert solo.pem --out-key solo.key --out-chain solo-chain.pem --password-file pw
equal "no further certificates" "$(wc -c <solo-chain.pem)" 0
equal "the certificate comes back without a chain" "$(fingerprint solo.pem)" \
  "$(fingerprint node.pem)"

cat ca.pem fx/ca.pem >bundle.pem
check "pkcs12 export with a bundle and a second chain file" "$qxcm" pkcs12 export \
  --cert node.pem --key node.key --chain bundle.pem --chain leaf.pem --name n --out three.p12 \
  --password-file pw
check "the three further certificates come back in order" "$qxcm" pkcs12 import \
  --in three.p12 --out-cert t.pem --out-key t.key --out-chain three.pem --password-file pw
equal "chain order" "$(grep -c 'BEGIN CERTIFICATE' three.pem)" 3
cat ca.pem fx/ca.pem leaf.pem >expected-three.pem
check "chain bytes" cmp three.pem expected-three.pem

for sample in leaf-legacy leaf-modern; do
  check "pkcs12 import of openssl's $sample.p12" "$qxcm" pkcs12 import --in "fx/$sample.p12" \
    --out-cert "$sample.pem" --out-key "$sample.key" --out-chain "$sample-chain.pem" \
    --password-file fx/password
  equal "$sample: certificate" "$(fingerprint "$sample.pem")" "$(fingerprint fx/leaf.pem)"
  equal "$sample: key" "$(key_modulus "$sample.key")" "$(key_modulus fx/leaf.key)"
  equal "$sample: chain" "$(fingerprint "$sample-chain.pem")" "$(fingerprint fx/ca.pem)"
done

echo "wrong" >wrong
echo "old content" >keep.pem
refused "a wrong password gives message 58" "Wrong password." \
  "$qxcm" pkcs12 import --in node.p12 --out-cert keep.pem --out-key w.key --password-file wrong
equal "a failed import leaves an existing file alone" "$(cat keep.pem)" "old content"
refused "bytes that are no PKCS#12 give message 63" \
  "Could not read PKCS12 structure from memory buffer" \
  "$qxcm" pkcs12 import --in node.pem --out-cert w.pem --out-key w.key --password-file pw
refused "a PKCS#12 file without a key is refused" "'fx/cert-only.p12' holds no private key." \
  "$qxcm" pkcs12 import --in fx/cert-only.p12 --out-cert w.pem --out-key w.key \
  --password-file fx/password
refused "a PKCS#12 file without a certificate is refused" \
  "'fx/key-only.p12' holds no certificate that matches its private key." \
  "$qxcm" pkcs12 import --in fx/key-only.p12 --out-cert w.pem --out-key w.key \
  --password-file fx/password
: >empty.p12
refused "an empty PKCS#12 file says so" "'empty.p12' is empty (0 bytes), not a PKCS#12 file." \
  "$qxcm" pkcs12 import --in empty.p12 --out-cert w.pem --out-key w.key --password-file pw
refused "a directory given as the PKCS#12 file says so" "'fx' is a directory, not a PKCS#12 file." \
  "$qxcm" pkcs12 import --in fx --out-cert w.pem --out-key w.key --password-file pw
refused "a failing third output file" "Could not open file" \
  "$qxcm" pkcs12 import --in node.p12 --out-cert w.pem --out-key w.key \
  --out-chain "$work/missing/chain.pem" --password-file pw
refused "the same output file twice" "The output file 'w.pem' is given twice." \
  "$qxcm" pkcs12 import --in node.p12 --out-cert w.pem --out-key ./w.pem --password-file pw
absent "failed imports leave no output file" w.pem w.key
refused "a key that does not match the certificate gives message 57" \
  "Could not create PKCS12 structure" \
  "$qxcm" pkcs12 export --cert node.pem --key ca.key --name x --out w.p12 --password-file pw
refused "no password and no terminal" "A password is needed" \
  "$qxcm" pkcs12 export --cert node.pem --key node.key --name x --out w.p12 </dev/null
refused "a chain file without certificates" "'pw' holds no PEM certificate." \
  "$qxcm" pkcs12 export --cert node.pem --key node.key --chain pw --name x --out w.p12 \
  --password-file pw
absent "failed exports leave no output file" w.p12
no_temp_files "pkcs12"

# --- outputs that would destroy a file, inputs that would hang, unusable passwords ------------
serial_before="$(serial_file)"
mkdir adir
mkfifo afifo
ln -s node.pem alink
nodes=(adir afifo alink)
if [[ $(id -u) -eq 0 ]] && mknod anull c 1 3; then nodes+=(anull); else echo "skip: mknod needs root"; fi
for node in "${nodes[@]}"; do
  refused "cert sign --out $node" "Could not open file '$node'" timeout 5 \
    "$qxcm" cert sign --ca-cert ca.pem --ca-key ca.key --csr node.csr --out "$node"
done
if [[ -d adir && -p afifo && -L alink && (! -e anull || -c anull) ]]; then
  pass "the nodes stay as they were"
else
  fail "a node was replaced"
fi
cp ca.key ca.key.orig
ln ca.key ca-hard.key
refused "--out is the CA key" "The output file 'ca.key' is the input file 'ca.key'" \
  "$qxcm" cert sign --ca-cert ca.pem --ca-key ca.key --csr node.csr --out ca.key
refused "--out is a hard link to the CA key" "The output file 'ca-hard.key' is the input file" \
  "$qxcm" cert sign --ca-cert ca.pem --ca-key ca.key --csr node.csr --out ca-hard.key
refused "--out is the request" "The output file '$work/node.csr' is the input file './node.csr'" \
  "$qxcm" cert sign --ca-cert ca.pem --ca-key ca.key --csr ./node.csr --out "$work/node.csr"
check "the CA key is intact" cmp ca.key ca.key.orig
equal "refused outputs drew no serial number" "$(serial_file)" "$serial_before"

check "cert sign --out - writes to standard output" \
  bash -c "'$qxcm' cert sign --ca-cert ca.pem --ca-key ca.key --csr node.csr --out - >stdout.pem"
check "the certificate on standard output verifies" openssl verify -CAfile ca.pem stdout.pem
refused "a PKCS#12 file is not written to standard output" "A PKCS#12 file is binary" \
  "$qxcm" pkcs12 export --cert node.pem --key node.key --name x --out - --password-file pw

echo "old key" >keep.key
echo "old cert" >keep.pem
refused "csr create with a directory as request" "Could not open file 'adir'" \
  "$qxcm" csr create --cn x --locality y --out-csr adir --out-key keep.key
refused "pkcs12 import with an unwritable chain" "Could not open file" \
  "$qxcm" pkcs12 import --in node.p12 --out-cert keep.pem --out-key keep.key \
  --out-chain "$work/missing/chain.pem" --password-file pw
equal "failed commands keep the existing files" "$(cat keep.key keep.pem)" "old key
old cert"

refused "a FIFO as request" "Could not open file 'afifo'" timeout 5 \
  "$qxcm" cert sign --ca-cert ca.pem --ca-key ca.key --csr afifo --out w.pem
refused "a FIFO as password file" \
  "Could not open file 'afifo'. (Cannot read afifo: it is a FIFO, not a regular file)" timeout 5 \
  "$qxcm" pkcs12 import --in node.p12 --out-cert w.pem --out-key w.key --password-file afifo
refused "a FIFO as configuration file" "Cannot read $work/afifo: it is a FIFO, not a regular file" \
  env QX_CONFIG="$work/afifo" timeout 5 "$qxcm" config list
check "--password-file - reads standard input" "$qxcm" pkcs12 import --in node.p12 \
  --out-cert stdin.pem --out-key stdin.key --password-file - <pw
: >empty-pw
printf 'export\0pass\n' >nul-pw
refused "an empty password" "The password from the password file 'empty-pw' is empty." \
  "$qxcm" pkcs12 export --cert node.pem --key node.key --name x --out w.p12 \
  --password-file empty-pw
refused "a password with a NUL byte" "The password from the password file 'nul-pw' holds a NUL" \
  "$qxcm" pkcs12 import --in node.p12 --out-cert w.pem --out-key w.key --password-file nul-pw
absent "refused commands leave no output file" w.pem w.key w.p12
no_temp_files "refused outputs"

# --- keystore ----------------------------------------------------------------------------------
check "keystore list of an empty store" "$qxcm" keystore list
contains "an empty store says so and where it is" "$(cat "$work/out")" \
  "the key store $QX_HOME/data/keystore.db holds no entries"
equal "an empty store lists nothing on standard output" "$("$qxcm" keystore list 2>/dev/null)" ""
check "install an own entry" "$install_entry" node-1 node.pem node.key
check "install a trusted entry" "$install_entry" CA_root ca.pem
check "keystore list" "$qxcm" keystore list
listing="$(cat "$work/out")"
contains "the own entry is listed" "$listing" "node-1	own	node-1	1	"
contains "the trusted entry is listed" "$listing" "CA_root	trusted	Test CA	0	"
check "keystore export of an own entry" "$qxcm" keystore export node-1 --out-cert ks.pem \
  --out-key ks.key
contains "keystore export says what it wrote" "$(cat "$work/out")" "to ks.pem and its private key to ks.key"
equal "exported certificate" "$(fingerprint ks.pem)" "$(fingerprint node.pem)"
equal "exported key" "$(key_modulus ks.key)" "$(key_modulus node.key)"
equal "the exported key file has mode 0600" "$(mode ks.key)" 600
check "keystore export of a trusted entry's certificate" "$qxcm" keystore export CA_root \
  --out-cert ks-ca.pem
equal "exported trusted certificate" "$(fingerprint ks-ca.pem)" "$(fingerprint ca.pem)"
refused "a trusted entry has no key to export" "" \
  "$qxcm" keystore export CA_root --out-cert w.pem --out-key w.key
refused "an unknown alias" "" "$qxcm" keystore export nobody --out-cert w.pem
absent "failed key store exports leave no output file" w.pem w.key
no_temp_files "keystore"
# An alias stored with control characters (by an older release) is listed escaped, on one line.
sqlite3 "$QX_HOME/data/keystore.db" "UPDATE entries SET alias = 'CA' || char(9) || 'own' ||
  char(10) || 'x' || char(127) || '\' WHERE alias = 'CA_root'"
listing="$("$qxcm" keystore list)"
equal "one line per entry" "$(wc -l <<<"$listing")" 2
contains "control characters are escaped" "$listing" 'CA\town\nx\x7f\\	trusted	Test CA'

finish_checks
