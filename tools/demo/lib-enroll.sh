# Steps shared by run-enroll.sh and run-double-enroll.sh, which source this
# file after setting $me, the name their messages carry.

fail() {
  echo "$me: $*" >&2
  exit 1
}

# Finds the programs in the build directory $1, makes a private work
# directory named after $2 (removed on exit) and a test certification
# authority in $work/ca.
enroll_start() {
  local build=$1 f
  nm="$build/tessaro-nm"
  host="$build/TessaroHost.QIRTAL.x86"
  testca="$build/tessaro-testca"
  for f in "$nm" "$host" "$testca"; do
    if [ ! -x "$f" ]; then
      echo "$me: $f is missing; build first (make build)" >&2
      exit 1
    fi
  done

  work=$(mktemp -d "${TMPDIR:-/tmp}/$2.XXXXXX") || exit 1
  chmod 700 "$work"
  trap 'rm -rf "$work"' EXIT

  echo "== Test certification authority in $work/ca"
  "$testca" init "$work/ca" >"$work/init.out" 2>&1 || fail "tessaro-testca init failed: $(cat "$work/init.out")"
  echo "   RSA and SM2 hierarchies made (root and issuing CA each)"
  echo
}

# One host process: sends the given JSON requests, prints the exchange and
# keeps the responses (one per line) in $work/responses.
converse() {
  "$nm" --quiet --host "$host" -- "$@" >"$work/responses" 2>"$work/nm.err"
  local rc=$?
  sed 's/^< /    < /' "$work/responses" | cut -c1-160
  [ $rc -eq 0 ] || fail "the host conversation failed (tessaro-nm exit $rc): $(cat "$work/nm.err")"
}

# Field of response number $1 (1-based): errorcode or the result string
# (JSON escapes \r\n turned back into line breaks).
errorcode() { sed -n "${1}p" "$work/responses" | sed -n 's/.*"errorcode":\(-\{0,1\}[0-9]*\).*/\1/p'; }
result_text() {
  sed -n "${1}p" "$work/responses" | sed -n 's/.*"result":"\([^"]*\)".*/\1/p' | sed 's/\\r\\n/\n/g'
}
expect_ok() {
  local code
  code=$(errorcode "$1")
  [ "$code" = "0" ] || fail "$2 answered errorcode ${code:-<none>}"
}

# Base64 DER certificate $1 written as PEM to file $2, for openssl to show.
write_pem() {
  { echo "-----BEGIN CERTIFICATE-----"; fold -w 64 <<<"$1"; echo "-----END CERTIFICATE-----"; } >"$2"
}
