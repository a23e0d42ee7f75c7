#!/usr/bin/env bash
# OpenSC's pkcs11-tool over the module after single and double enrollments
# through the host: the slot and token as the module describes them, every
# RSA certificate read back byte for byte with a private and a public key
# under its CKA_ID (and no SM2 certificate), and pkcs11-tool's own test of
# signing, verifying and decrypting with every key.
# Usage: opensc.sh BUILD_DIR
set -uo pipefail
me=pkcs11-opensc
. "$(dirname "$0")/lib.sh"
need_tools pkcs11-tool openssl
consumers_start "${1:-build}"
enroll single
enroll double
rsa="rsa ms-sign ms-enc token-sign token-enc"

tool() { pkcs11-tool --module "$module" "$@"; }

tool --list-slots >"$tmp/slots" 2>&1 || { cat "$tmp/slots" >&2; fail "pkcs11-tool --list-slots exited non-zero"; }
for want in 'token label *: Tessaro Certificates$' 'token manufacturer *: Tessaro$' 'token model *: Enrollment$' \
            'serial num *: 0000000000000001$'; do
  grep -q "$want" "$tmp/slots" || { cat "$tmp/slots" >&2; fail "--list-slots shows no line matching '$want'"; }
done

find_ids $rsa
tool --list-objects >"$tmp/objects" 2>&1 || { cat "$tmp/objects" >&2; fail "pkcs11-tool --list-objects exited non-zero"; }
for name in $rsa; do
  id=$(cat "$tmp/ids/$name")
  cn=$(common_name "$tmp/certs/$name.pem")
  for kind in 'Certificate Object' 'Private Key Object' 'Public Key Object'; do
    # The object's block: from its header line to the next object's.
    block=$(awk -v k="$kind" -v id="$id" '
      /^[A-Z][a-z]+( [A-Z][a-z]+)* Object/ { if (inside && found) exit; inside = index($0, k) == 1; found = 0; text = "" }
      inside { text = text $0 "\n"; if ($1 == "ID:" && $2 == id) found = 1 }
      END { if (inside && found) printf "%s", text }' "$tmp/objects")
    [ -n "$block" ] || { cat "$tmp/objects" >&2; fail "no $kind with ID $id ($name)"; }
    if [ "$kind" = 'Certificate Object' ]; then
      grep -q "label: *$cn\$" <<<"$block" || fail "certificate $id is not labelled '$cn': $block"
    fi
  done
done
# Keys only beside the RSA certificates: none of an SM2 container.
for kind in 'Private Key Object' 'Public Key Object'; do
  n=$(grep -c "^$kind" "$tmp/objects")
  [ "$n" -eq 5 ] || { cat "$tmp/objects" >&2; fail "$n objects '$kind', expected 5"; }
done
for cn in "Tessaro Demo SM2" "Tessaro Double SM2"; do
  ! grep -q "$cn" "$tmp/objects" || fail "the SM2 certificate '$cn' is shown: $(grep "$cn" "$tmp/objects")"
done

tool --test >"$tmp/test.log" 2>&1
rc=$?
if [ $rc -ne 0 ] || ! grep -q '^No errors$' "$tmp/test.log"; then
  cat "$tmp/test.log" >&2
  fail "pkcs11-tool --test exited $rc"
fi
echo "$me: pkcs11-tool lists the 5 RSA certificates with their keys and --test passes"
