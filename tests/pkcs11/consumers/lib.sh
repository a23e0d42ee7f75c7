# Steps shared by the consumer tests, which source this file after setting
# $me: a private HOME, prefix and SoftHSM2 configuration, real enrollments
# through the host into that prefix (tools/demo), and the enrolled
# certificates kept for comparing with what the consumers read through the
# module. MODULE may name another module for trying the scripts out.

fail() {
  echo "$me: FAILED: $*" >&2
  exit 1
}

skip() {
  echo "$me: SKIPPED: $*"
  exit 77
}

need_tools() {
  local t
  for t in "$@"; do
    command -v "$t" >/dev/null 2>&1 || skip "$t is not installed (make deps)"
  done
}

# consumers_start BUILD: the build's programs, a temporary directory removed
# on every exit, and the environment pointing into it.
consumers_start() {
  build=$(cd "${1:?build directory}" && pwd) || fail "no build directory $1"
  src=$(cd "$(dirname "${BASH_SOURCE[0]}")/../../.." && pwd)
  module=${MODULE:-$build/libtessaro-pkcs11.so}
  [ -f "$module" ] || fail "$module is missing; build first (make build)"
  tmp=$(mktemp -d "${TMPDIR:-/tmp}/tessaro-$me.XXXXXX") || fail "mktemp failed"
  trap 'rm -rf "$tmp"' EXIT
  # The host makes the prefix itself (0700: one open to others is refused).
  mkdir -p "$tmp/home" "$tmp/softhsm"
  export HOME="$tmp/home" TESSARO_PREFIX="$tmp/prefix"
  printf 'directories.tokendir = %s\nobjectstore.backend = file\n' "$tmp/softhsm" >"$tmp/softhsm2.conf"
  export SOFTHSM2_CONF="$tmp/softhsm2.conf"
  # The consumers must find our module by its path alone, not through p11-kit.
  export P11_KIT_NO_USER_CONFIG=1
}

# Base64 DER file $1 (as the CA writes it) into PEM $2 and DER $3.
to_pem_der() {
  tr -d '\r\n ' <"$1" | base64 -d >"$3" || fail "$1 is not Base64"
  openssl x509 -inform DER -in "$3" -out "$2" 2>/dev/null || fail "$1 is not a certificate"
}

# enroll single|double: one run of tools/demo/run-enroll.sh or
# run-double-enroll.sh into the prefix. The certificates it installed are
# left in $tmp/certs/<name>.pem and .der:
#   single: rsa (CN=Tessaro Demo RSA), sm2 (CN=Tessaro Demo SM2)
#   double: ms-sign, ms-enc (CN=Tessaro Double RSA), token-sign, token-enc
#           (CN=Tessaro Double Token), sm2-sign, sm2-enc (CN=Tessaro Double SM2)
enroll() {
  local kind=$1 keep="$tmp/enroll-$1" script
  mkdir -p "$keep" "$tmp/certs"
  case $kind in
    single) script=run-enroll.sh ;;
    double) script=run-double-enroll.sh ;;
  esac
  TESSARO_DEMO_KEEP="$keep" "$src/tools/demo/$script" "$build" >"$tmp/enroll-$kind.log" 2>&1 ||
    { cat "$tmp/enroll-$kind.log" >&2; fail "the $kind enrollment through the host failed"; }
  local pair
  case $kind in
    single) pair="RSA.cert:rsa SM2.cert:sm2" ;;
    double) pair="RSA-MS.sign:ms-sign RSA-MS.enc:ms-enc RSA-Token.sign:token-sign RSA-Token.enc:token-enc"
            pair="$pair SM2.sign:sm2-sign SM2.enc:sm2-enc" ;;
  esac
  local p
  for p in $pair; do
    [ -s "$keep/${p%%:*}" ] || fail "the $kind enrollment left no ${p%%:*}"
    to_pem_der "$keep/${p%%:*}" "$tmp/certs/${p##*:}.pem" "$tmp/certs/${p##*:}.der"
  done
}

# The common name of certificate PEM $1.
common_name() {
  openssl x509 -in "$1" -noout -subject -nameopt sep_multiline,utf8 | sed -n 's/^ *CN=//p'
}

# The modulus (hex, upper case) of certificate PEM $1.
modulus() {
  openssl x509 -in "$1" -noout -modulus | sed 's/^Modulus=//'
}

# find_ids NAME...: each enrolled certificate named is read back through the
# module with pkcs11-tool and must come out byte for byte; its CKA_ID (hex)
# goes into $tmp/ids/NAME. Every certificate object must be one of them.
find_ids() {
  mkdir -p "$tmp/ids" "$tmp/read"
  pkcs11-tool --module "$module" --list-objects --type cert >"$tmp/certs.list" 2>&1 ||
    { cat "$tmp/certs.list" >&2; fail "pkcs11-tool --list-objects --type cert exited non-zero"; }
  local ids id n name matched
  ids=$(sed -n 's/^ *ID: *//p' "$tmp/certs.list")
  n=0
  for id in $ids; do
    n=$((n + 1))
    pkcs11-tool --module "$module" --read-object --type cert --id "$id" -o "$tmp/read/$id.der" \
      >"$tmp/read.log" 2>&1 || { cat "$tmp/read.log" >&2; fail "reading certificate $id failed"; }
    matched=
    for name in "$@"; do
      if cmp -s "$tmp/read/$id.der" "$tmp/certs/$name.der"; then matched=$name; echo "$id" >"$tmp/ids/$name"; fi
    done
    [ -n "$matched" ] || fail "certificate object $id (CKA_VALUE) is none of the enrolled RSA certificates: $*"
  done
  [ "$n" -eq $# ] || { cat "$tmp/certs.list" >&2; fail "$n certificate objects, expected $# ($*)"; }
  for name in "$@"; do
    [ -s "$tmp/ids/$name" ] || fail "the enrolled certificate $name is not among the module's objects"
  done
}
