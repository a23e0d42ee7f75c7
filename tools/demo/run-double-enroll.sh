#!/usr/bin/env bash
# A complete double-certificate enrollment through the native-messaging host,
# for RSA (a Microsoft provider, where the agent opens the key envelope
# itself, and the vendor RSA token, which opens it inside) and for SM2,
# against a test certification authority made on the spot:
#   1. the page asks for a signing/encryption request (type 2): the container
#      gets a temporary exchange key pair and the signing key pair,
#   2. the CA issues the signing certificate,
#   3. the CA generates the encryption key pair, issues its certificate and
#      wraps the private key for the temporary exchange key,
#   4. the page, reloaded, installs the signing certificate (a second host
#      process) and then the encryption certificate with its key,
#   5. the user's certificates are listed.
# Runs on the default prefix (TESSARO_PREFIX, else $XDG_DATA_HOME/tessaro,
# else ~/.local/share/tessaro). Exits non-zero when a step fails.
set -uo pipefail

me=run-double-enroll
. "$(dirname "$0")/lib-enroll.sh"
enroll_start "${1:-build}" tessaro-double

show_cert() {  # Base64 DER certificate, label
  if command -v openssl >/dev/null 2>&1; then
    write_pem "$1" "$work/show.pem"
    openssl x509 -in "$work/show.pem" -noout -subject -serial -ext keyUsage 2>/dev/null |
      grep -v '^X509v3' | sed "s/^ */   $2: /"
  else
    echo "   $2: ${1:0:60}..."
  fi
}

double_enroll() {
  local label=$1 length=$2 provider=$3 algorithm=$4 subject=$5
  local setup=(
    "{\"function\":\"KEVO_SetCSPInfo\",\"params\":[$length,\"$provider\"],\"randomId\":\"1\"}"
    "{\"function\":\"KEVO_SetKeyAlgorithm\",\"params\":[\"$algorithm\"],\"randomId\":\"2\"}")
  echo "== $label double-certificate enrollment with \"$provider\", $length bits"
  echo "-- 1. signing/encryption request, type 2 (page load 1)"
  converse "${setup[@]}" \
    "{\"function\":\"KEVO_PKCS10CertRequisition\",\"params\":[\"$subject\",2,0],\"randomId\":\"3\"}" \
    "{\"function\":\"KEVO_GetContainer\",\"params\":[],\"randomId\":\"4\"}"
  expect_ok 3 KEVO_PKCS10CertRequisition
  local container
  take_request "$work/$label.req"
  "$testca" check --in "$work/$label.req" 2>/dev/null | sed 's/^/   request: /'

  echo "-- 2. the CA issues the signing certificate"
  local issued sign
  issue_cert "$work/$label.req" "$work/$label.sign"
  sign=$issued
  show_cert "$sign" "signing"

  echo "-- 3. the CA generates the encryption key and wraps it for the temporary exchange key"
  "$testca" envelope "$work/ca" --in "$work/$label.req" --cert-out "$work/$label.enc" \
    --envelope-out "$work/$label.env" >/dev/null 2>"$work/envelope.err" ||
    fail "tessaro-testca envelope refused the request: $(cat "$work/envelope.err")"
  local enc envelope
  enc=$(tr -d '\r\n ' <"$work/$label.enc")
  envelope=$(tr -d '\r\n' <"$work/$label.env")
  show_cert "$enc" "encryption"
  echo "   envelope: device type $((10#${envelope:0:16})), encrypt type $((10#${envelope:16:16})), session key" \
    "type $((10#${envelope:32:16})), session key part $((10#${envelope:48:16})) characters, ${#envelope} in all"

  echo "-- 4. install both certificates (page load 2)"
  converse "${setup[@]}" \
    "{\"function\":\"KEVO_ImportSignCert\",\"params\":[2,\"$sign\",\"$container\"],\"randomId\":\"5\"}" \
    "{\"function\":\"KEVO_ImportEncryptCert\",\"params\":[\"$envelope\",\"$enc\",\"$container\",0],\"randomId\":\"6\"}" \
    "{\"function\":\"GetLastErrorDesc\",\"params\":[],\"randomId\":\"7\"}"
  expect_ok 3 KEVO_ImportSignCert
  expect_ok 4 KEVO_ImportEncryptCert
  echo
}

double_enroll RSA-MS 2048 "Microsoft Enhanced Cryptographic Provider v1.0" RSA \
  "CN=Tessaro Double RSA,OU=Enrollment,O=Tessaro,C=CN"
double_enroll RSA-Token 2048 "Tessaro RSA Token CSP v1.0" RSA "CN=Tessaro Double Token,OU=Enrollment,O=Tessaro,C=CN"
double_enroll SM2 256 "Tessaro SM2 Token CSP v1.0" SM2 "CN=Tessaro Double SM2,OU=Enrollment,O=Tessaro,C=CN"

# The listing is informative: a failure code here does not fail the demo.
echo "== 5. the user's certificates, with the SM2 provider's containers"
converse \
  "{\"function\":\"KEVO_GetAllCertInfo\",\"params\":[\"Tessaro SM2 Token CSP v1.0\"],\"randomId\":\"8\"}"
if [ "$(errorcode 1)" = "0" ]; then
  show_listing 1
else
  echo "   (listing not available in this build: errorcode $(errorcode 1))"
fi
echo
echo "run-double-enroll: both RSA paths and SM2 enrolled a signing and an encryption certificate"
