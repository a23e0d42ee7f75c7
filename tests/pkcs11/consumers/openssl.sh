#!/usr/bin/env bash
# OpenSSL through the libp11 engine over the module after single and double
# enrollments through the host: signatures (PKCS#1 v1.5 and PSS, SHA-256)
# with the RSA keys, found by label and by ID, verify with the certificates'
# public keys in plain OpenSSL; data encrypted (PKCS#1 v1.5 and OAEP) to the
# encryption certificates comes back through the engine unchanged.
# Usage: openssl.sh BUILD_DIR
set -uo pipefail
me=pkcs11-openssl
. "$(dirname "$0")/lib.sh"
need_tools openssl pkcs11-tool
engine=$(openssl version -e | sed -n 's/^ENGINESDIR: "\(.*\)"$/\1/p')/pkcs11.so
[ -f "$engine" ] || skip "the libp11 engine ($engine) is not installed (libengine-pkcs11-openssl)"
consumers_start "${1:-build}"
enroll single
enroll double
find_ids rsa ms-sign ms-enc token-sign token-enc
export PKCS11_MODULE_PATH="$module"

token="pkcs11:token=Tessaro%20Certificates"
id_uri() {  # enrolled certificate name: the URI of its private key by CKA_ID
  echo "$token;id=$(sed 's/../%&/g' "$tmp/ids/$1");type=private"
}
head -c 3000 /dev/urandom >"$tmp/data"

sign_verify() {  # key URI, certificate name, padding
  local uri=$1 cert=$2 pad=$3 opts=()
  [ "$pad" = pss ] && opts=(-sigopt rsa_padding_mode:pss -sigopt rsa_pss_saltlen:32)
  openssl x509 -in "$tmp/certs/$cert.pem" -pubkey -noout >"$tmp/$cert.pub"
  rm -f "$tmp/sig"
  openssl dgst -sha256 -engine pkcs11 -keyform engine -sign "$uri" "${opts[@]}" -out "$tmp/sig" "$tmp/data" \
    >"$tmp/sign.log" 2>&1 || { cat "$tmp/sign.log" >&2; fail "signing ($pad) with $uri failed"; }
  [ "$(stat -c %s "$tmp/sig")" -eq 256 ] || fail "the $pad signature with $uri is $(stat -c %s "$tmp/sig") bytes, not 256"
  openssl dgst -sha256 -verify "$tmp/$cert.pub" "${opts[@]}" -signature "$tmp/sig" "$tmp/data" >"$tmp/verify.log" 2>&1 ||
    { cat "$tmp/verify.log" >&2; fail "the $pad signature made with $uri does not verify with $cert's public key"; }
}
for pad in pkcs1 pss; do
  sign_verify "$token;object=Tessaro%20Demo%20RSA;type=private" rsa $pad
  sign_verify "$(id_uri ms-sign)" ms-sign $pad
  sign_verify "$(id_uri token-sign)" token-sign $pad
done

head -c 190 /dev/urandom >"$tmp/secret"
decrypt() {  # certificate name, padding options...
  local cert=$1
  shift
  rm -f "$tmp/ct" "$tmp/pt"
  openssl pkeyutl -encrypt -certin -inkey "$tmp/certs/$cert.pem" "$@" -in "$tmp/secret" -out "$tmp/ct" ||
    fail "openssl could not encrypt to $cert"
  openssl pkeyutl -decrypt -engine pkcs11 -keyform engine -inkey "$(id_uri "$cert")" "$@" -in "$tmp/ct" -out "$tmp/pt" \
    >"$tmp/decrypt.log" 2>&1 || { cat "$tmp/decrypt.log" >&2; fail "decrypting to $cert ($*) through the engine failed"; }
  cmp -s "$tmp/pt" "$tmp/secret" || fail "decrypting to $cert ($*) gave other bytes than were encrypted"
}
for cert in ms-enc token-enc; do
  decrypt $cert
  decrypt $cert -pkeyopt rsa_padding_mode:oaep
  decrypt $cert -pkeyopt rsa_padding_mode:oaep -pkeyopt rsa_oaep_md:sha256 -pkeyopt rsa_mgf1_md:sha256
done
echo "$me: the engine signs (PKCS#1 v1.5, PSS) and decrypts (PKCS#1 v1.5, OAEP) with the enrolled keys"
