# Steps shared by the demo scripts (run-demo.sh, run-enroll.sh and
# run-double-enroll.sh), which source this file after setting $me, the name
# their messages carry.

fail() {
  echo "$me: $*" >&2
  exit 1
}

# Every program named must have been built.
need_programs() {
  local f
  for f in "$@"; do
    if [ ! -x "$f" ]; then
      echo "$me: $f is missing; build first (make build)" >&2
      exit 1
    fi
  done
}

# Finds the programs in the build directory $1, makes a private work
# directory named after $2 (removed on exit) and a test certification
# authority in $work/ca. With TESSARO_DEMO_KEEP naming a directory, the work
# directory's files (the CA, requests and certificates) are copied there
# first, for callers that check the enrolled certificates afterwards.
enroll_start() {
  local build=$1
  nm="$build/tessaro-nm"
  host="$build/TessaroHost.QIRTAL.x86"
  testca="$build/tessaro-testca"
  need_programs "$nm" "$host" "$testca"

  work=$(mktemp -d "${TMPDIR:-/tmp}/$2.XXXXXX") || exit 1
  chmod 700 "$work"
  trap 'if [ -n "${TESSARO_DEMO_KEEP:-}" ]; then cp -a "$work"/. "$TESSARO_DEMO_KEEP"/; fi; rm -rf "$work"' EXIT

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

# After a request conversation: the request (response 3) into file $1 and the
# key container response 4 named, in $container.
take_request() {
  result_text 3 >"$1"
  container=$(result_text 4)
  [ -n "$container" ] || fail "no container was named"
  echo "   key container: $container"
}

# The CA issues a certificate for the request file $1 into file $2; its
# Base64 text, line breaks removed, in $issued.
issue_cert() {
  "$testca" issue "$work/ca" --in "$1" >"$2" 2>"$work/issue.err" ||
    fail "tessaro-testca issue refused the request: $(cat "$work/issue.err")"
  issued=$(tr -d '\r\n ' <"$2")
}

# The certificate listing of response $1, one entry a line.
show_listing() {
  result_text "$1" | sed 's/||/\n/g' | sed 's/^/     /' | cut -c1-200
}
