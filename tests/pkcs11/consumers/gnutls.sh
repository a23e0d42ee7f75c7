#!/usr/bin/env bash
# GnuTLS's p11tool over the module after a double enrollment through the
# host: --list-all names each RSA certificate with its private and public
# key under one ID, each certificate exported by its URL is the enrolled one
# byte for byte, and no SM2 certificate is listed.
# Usage: gnutls.sh BUILD_DIR
set -uo pipefail
me=pkcs11-gnutls
. "$(dirname "$0")/lib.sh"
need_tools p11tool openssl
consumers_start "${1:-build}"
enroll double
rsa="ms-sign ms-enc token-sign token-enc"

p11tool --provider "$module" --list-all "pkcs11:token=Tessaro%20Certificates" >"$tmp/all" 2>"$tmp/all.err" ||
  { cat "$tmp/all" "$tmp/all.err" >&2; fail "p11tool --list-all exited non-zero"; }
# One line per object: type|label|id (hex, no separators)|URL.
awk -F': ' '
  /^Object [0-9]+:/ { if (url != "") print type "|" label "|" id "|" url; url = type = label = id = "" }
  /^\tURL: /   { url = substr($0, 7) }
  /^\tType: /  { type = $2 }
  /^\tLabel: / { label = $2 }
  /^\tID: /    { id = $2; gsub(":", "", id); id = tolower(id) }
  END { if (url != "") print type "|" label "|" id "|" url }' "$tmp/all" >"$tmp/objects"

ncert=$(grep -c '^X.509 Certificate' "$tmp/objects")
[ "$ncert" -eq 4 ] || { cat "$tmp/all" >&2; fail "$ncert certificates listed, expected the 4 RSA ones"; }
seen=
while IFS='|' read -r type label id url; do
  case $type in X.509\ Certificate*) ;; *) continue ;; esac
  p11tool --provider "$module" --export "$url" >"$tmp/export.pem" 2>"$tmp/export.err" ||
    { cat "$tmp/export.err" >&2; fail "p11tool --export $url exited non-zero"; }
  openssl x509 -in "$tmp/export.pem" -outform DER -out "$tmp/export.der" 2>/dev/null || fail "$url exported no certificate"
  name=
  for n in $rsa; do cmp -s "$tmp/export.der" "$tmp/certs/$n.der" && name=$n; done
  [ -n "$name" ] || fail "$url is none of the enrolled RSA certificates"
  cn=$(common_name "$tmp/certs/$name.pem")
  [ "$label" = "$cn" ] || fail "$url is labelled '$label', expected '$cn'"
  grep -q "^X.509 Certificate (RSA-2048)|" <<<"$type|" || fail "$url has type '$type'"
  for key in 'Private key (RSA-2048)' 'Public key (RSA-2048)'; do
    grep -qF "$key|$cn|$id|" "$tmp/objects" || { cat "$tmp/all" >&2; fail "no $key labelled '$cn' with ID $id"; }
  done
  seen="$seen $name"
done <"$tmp/objects"
for n in $rsa; do
  case "$seen " in *" $n "*) ;; *) false ;; esac || fail "the enrolled certificate $n is not listed"
done
! grep -q 'SM2' "$tmp/all" || fail "an SM2 object is listed: $(grep SM2 "$tmp/all")"
echo "$me: p11tool lists the 4 RSA certificates with their keys, exported unchanged"
