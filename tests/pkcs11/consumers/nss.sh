#!/usr/bin/env bash
# NSS over the module after single and double enrollments through the host:
# the module added to a fresh database, certutil shows every enrolled RSA
# certificate under the token as a user certificate (u,u,u: NSS found its
# private key), gives back exactly the enrolled certificates under each
# nickname, and shows no SM2 certificate.
# Usage: nss.sh BUILD_DIR
set -uo pipefail
me=pkcs11-nss
. "$(dirname "$0")/lib.sh"
need_tools certutil modutil openssl
consumers_start "${1:-build}"
enroll single
enroll double

db="$tmp/nssdb"
mkdir -p "$db"
certutil -N -d "sql:$db" --empty-password >"$tmp/n.log" 2>&1 || { cat "$tmp/n.log" >&2; fail "certutil -N exited non-zero"; }
modutil -dbdir "sql:$db" -add tessaro -libfile "$module" -force </dev/null >"$tmp/add.log" 2>&1 ||
  { cat "$tmp/add.log" >&2; fail "modutil -add exited non-zero"; }
certutil -L -d "sql:$db" -h all >"$tmp/list" 2>&1 || { cat "$tmp/list" >&2; fail "certutil -L -h all exited non-zero"; }

# Enrolled RSA certificates by nickname (the token's label and the subject's
# common name); the sign and encryption certificates of a double enrollment
# share theirs.
check_nick() {  # common name, certificate names
  local cn=$1 nick="Tessaro Certificates:$1"
  shift
  grep -qE "^$nick +u,u,u\$" "$tmp/list" || { cat "$tmp/list" >&2; fail "'$nick' is not listed with trust u,u,u"; }
  certutil -L -d "sql:$db" -n "$nick" -a >"$tmp/nick.pem" 2>"$tmp/nick.err" ||
    { cat "$tmp/nick.err" >&2; fail "certutil -L -n '$nick' exited non-zero"; }
  # Every certificate given back, as DER, must be one of the expected ones,
  # and every expected one must be given back.
  rm -f "$tmp"/nick-*.pem
  awk -v d="$tmp" '/BEGIN CERT/ { n++ } n { print > (d "/nick-" n ".pem") } /END CERT/ { close(d "/nick-" n ".pem") }' "$tmp/nick.pem"
  local got=0 f c found
  for f in "$tmp"/nick-*.pem; do
    [ -f "$f" ] || break
    got=$((got + 1))
    openssl x509 -in "$f" -outform DER -out "$f.der" 2>/dev/null || fail "'$nick' gave back no certificate"
    found=
    for c in "$@"; do cmp -s "$f.der" "$tmp/certs/$c.der" && found=$c; done
    [ -n "$found" ] || fail "'$nick' gave back a certificate that is none of: $*"
  done
  [ "$got" -eq $# ] || fail "'$nick' gave back $got certificates, expected $# ($*)"
}
check_nick "Tessaro Demo RSA" rsa
check_nick "Tessaro Double RSA" ms-sign ms-enc
check_nick "Tessaro Double Token" token-sign token-enc
n=$(grep '^Tessaro Certificates:' "$tmp/list" | sed -E 's/ +[^ ]*,[^ ]*,[^ ]*$//' | sort -u | wc -l)
[ "$n" -eq 3 ] || { cat "$tmp/list" >&2; fail "$n nicknames under the token, expected 3"; }
! grep -q 'SM2' "$tmp/list" || fail "an SM2 certificate is listed: $(grep SM2 "$tmp/list")"
echo "$me: NSS lists the RSA certificates as user certificates, and no SM2 certificate"
