#!/usr/bin/env bash
# A complete single-certificate enrollment through the native-messaging host,
# for RSA and for SM2, against a test certification authority made on the
# spot in a temporary directory:
#   1. the page asks for a request (one host process, as one page load),
#   2. the CA issues the certificate,
#   3. the page, reloaded, installs it (a second host process),
#   4. the user's certificates are listed.
# Runs on the default prefix (TESSARO_PREFIX, else $XDG_DATA_HOME/tessaro,
# else ~/.local/share/tessaro). Exits non-zero when a step fails.
set -uo pipefail

me=run-enroll
. "$(dirname "$0")/lib-enroll.sh"
enroll_start "${1:-build}" tessaro-enroll

enroll() {
  local label=$1 length=$2 provider=$3 algorithm=$4 subject=$5
  echo "== $label enrollment with \"$provider\""
  echo "-- 1. request (page load 1)"
  converse \
    "{\"function\":\"KEVO_SetCSPInfo\",\"params\":[$length,\"$provider\"],\"randomId\":\"1\"}" \
    "{\"function\":\"KEVO_SetKeyAlgorithm\",\"params\":[\"$algorithm\"],\"randomId\":\"2\"}" \
    "{\"function\":\"KEVO_PKCS10CertRequisition\",\"params\":[\"$subject\",1,0],\"randomId\":\"3\"}" \
    "{\"function\":\"KEVO_GetContainer\",\"params\":[],\"randomId\":\"4\"}"
  expect_ok 1 KEVO_SetCSPInfo
  expect_ok 2 KEVO_SetKeyAlgorithm
  expect_ok 3 KEVO_PKCS10CertRequisition
  expect_ok 4 KEVO_GetContainer
  local container
  take_request "$work/$label.req"

  echo "-- 2. the CA issues the certificate"
  local issued cert
  issue_cert "$work/$label.req" "$work/$label.cert"
  cert=$issued
  [ -n "$cert" ] || fail "the CA gave no certificate"
  if command -v openssl >/dev/null 2>&1; then
    write_pem "$cert" "$work/$label.pem"
    openssl x509 -in "$work/$label.pem" -noout -subject -issuer -serial 2>/dev/null | sed 's/^/   /'
  else
    echo "   certificate: ${cert:0:60}..."
  fi

  echo "-- 3. install (page load 2)"
  converse \
    "{\"function\":\"KEVO_SetCSPInfo\",\"params\":[$length,\"$provider\"],\"randomId\":\"5\"}" \
    "{\"function\":\"KEVO_SetKeyAlgorithm\",\"params\":[\"$algorithm\"],\"randomId\":\"6\"}" \
    "{\"function\":\"KEVO_ImportSignCert\",\"params\":[1,\"$cert\",\"$container\"],\"randomId\":\"7\"}" \
    "{\"function\":\"GetLastErrorDesc\",\"params\":[],\"randomId\":\"8\"}"
  expect_ok 3 KEVO_ImportSignCert
  echo
}

enroll RSA 2048 "Microsoft Enhanced Cryptographic Provider v1.0" RSA "CN=Tessaro Demo RSA,OU=Enrollment,O=Tessaro,C=CN"
enroll SM2 256 "Tessaro SM2 Token CSP v1.0" SM2 "CN=Tessaro Demo SM2,OU=Enrollment,O=Tessaro,C=CN"

# The listing is informative: a failure code here does not fail the demo.
# First the store's certificates, then with the SM2 provider's containers.
echo "== 4. the user's certificates"
converse \
  "{\"function\":\"KEVO_GetAllCertInfo\",\"params\":[\"\"],\"randomId\":\"9\"}" \
  "{\"function\":\"KEVO_GetAllCertInfo\",\"params\":[\"Tessaro SM2 Token CSP v1.0\"],\"randomId\":\"10\"}"
for n in 2 1; do
  if [ "$(errorcode $n)" = "0" ]; then
    [ $n = 2 ] && echo "   store and SM2 containers:" || echo "   store:"
    show_listing $n
    break
  fi
  [ $n = 2 ] && echo "   (SM2 container listing not available in this build: errorcode $(errorcode 2))"
  [ $n = 1 ] && echo "   (listing not available in this build: errorcode $(errorcode 1))"
done
echo
echo "run-enroll: RSA and SM2 certificates requested, issued and installed"
