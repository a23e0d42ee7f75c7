#!/usr/bin/env bash
# The Debian package as a customer gets it: lintian reports no errors, it
# installs into a throwaway root (an overlay of / with its own upper layer,
# chrooted into; the machine itself is never changed) as an upgrade from the
# previous version, lays its files where the browsers look, makes the system
# hive HKEY_LOCAL_MACHINE of every user (root's alone to write), its host
# enrolls an unprivileged user of that root against the test CA, a damaged
# system hive fails its configuration and is kept, and a purge leaves none of
# its files and the user's prefix.
#   tests/package/run.sh build/tessaro-enroll_<version>_amd64.deb
# The test CA is tessaro-testca beside the package (the build tree's; or
# TESSARO_TESTCA). With TESSARO_ORIGINS set (make test-package ORIGINS=...),
# the installed extensions must serve exactly those origins.
# Exit 77 when it cannot run (not root, no overlay mounts).
set -euo pipefail
deb=$(realpath "${1:?usage: run.sh PACKAGE.deb}")
dbgsym=${deb/tessaro-enroll_/tessaro-enroll-dbgsym_}
testca=${TESSARO_TESTCA:-$(dirname "$deb")/tessaro-testca}
me=test-package
skip() { echo "$me: skipped: $*"; exit 77; }
fail() { echo "$me: FAIL: $*" >&2; exit 1; }
[ "$(id -u)" = 0 ] || skip "needs root to mount the throwaway root"
[ -f "$deb" ] || fail "no package $deb"
[ -f "$dbgsym" ] || fail "no debug symbols package $dbgsym"
[ -x "$testca" ] || fail "no test CA $testca (cmake --build build --target tessaro-testca)"

echo "$me: lintian"
rc=0
out=$(lintian --fail-on error "$deb" "$dbgsym" 2>&1) || rc=$?
grep -v 'running with root privileges' <<<"$out" || true
[ $rc = 0 ] || fail "lintian reports errors"

tmp=$(mktemp -d /tmp/tessaro-pkgtest.XXXXXX)
root=$tmp/root
mounted=()
site=
cleanup() {
  local i
  if [ -n "$site" ]; then kill "$site" 2>/dev/null || true; wait "$site" 2>/dev/null || true; fi
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do umount -l "${mounted[i]}" 2>/dev/null || true; done
  rm -rf "$tmp"
}
trap cleanup EXIT
mkdir -p "$tmp/upper" "$tmp/work" "$root"
mount -t overlay tessaro-pkgtest -o "lowerdir=/,upperdir=$tmp/upper,workdir=$tmp/work" "$root" 2>/dev/null \
  || skip "cannot mount an overlay of / here"
mounted+=("$root")
mount -t proc proc "$root/proc" && mounted+=("$root/proc")
mount --bind /dev "$root/dev" && mounted+=("$root/dev")
in_root() { chroot "$root" "$@"; }
in_root dpkg -s tessaro-enroll >/dev/null 2>&1 && fail "tessaro-enroll is installed on this machine already"

# libxml2 is opened at run time, out of dpkg-shlibdeps' sight.
for lib in libc6 libssl3 libsqlite3-0 libcjson1 libxml2; do
  dpkg-deb -f "$deb" Depends | grep -qw "$lib" || fail "the package does not depend on $lib"
done

dpkg_in_root() { in_root env DEBIAN_FRONTEND=noninteractive dpkg "$@" >"$tmp/dpkg.log" 2>&1; }
host=/usr/lib/tessaro/TessaroHost.QIRTAL.x86
hive=/var/lib/tessaro/machine.db
# Root's own prefix must not appear through the package's scripts.
in_root test -e /root/.local/share/tessaro && root_prefix_before=1 || root_prefix_before=0

# The previous version: this package relabelled 0.9 (the same files and
# maintainer scripts, so its postinst makes the system hive as this one does).
mkdir "$tmp/old"
dpkg-deb -R "$deb" "$tmp/old/pkg"
sed -i 's/^Version: .*/Version: 0.9/' "$tmp/old/pkg/DEBIAN/control"
dpkg-deb -b "$tmp/old/pkg" "$root/tmp/tessaro-pkgtest-old.deb" >/dev/null
cp "$deb" "$root/tmp/tessaro-pkgtest.deb"
echo "$me: installing 0.9 into $root"
dpkg_in_root -i /tmp/tessaro-pkgtest-old.deb || { cat "$tmp/dpkg.log"; fail "installing 0.9"; }

# The system hive: root's, readable by every user.
[ "$(in_root stat -c '%a %U %G' /var/lib/tessaro)" = "755 root root" ] || fail "/var/lib/tessaro is not 0755 root"
[ "$(in_root stat -c '%F %a %U %G' $hive)" = "regular file 644 root root" ] \
  || fail "$hive is $(in_root stat -c '%F %a %U %G' $hive), not a regular file 0644 root"

# The host, started as a browser would for an unprivileged user: no
# TESSARO_PREFIX, so the prefix is that user's own; HKEY_LOCAL_MACHINE is the
# system hive, so the providers are those root registered there.
user=tessaro-pkgtest
home=/home/$user
prefix=$home/.local/share/tessaro
in_root useradd -m -d $home -s /bin/sh $user
as_user() { chroot --userspec=$user:$user "$root" env -i HOME=$home PATH=/usr/bin:/bin LANG=C.UTF-8 "$@"; }
# One host process, as one page load: each argument a request, each answer a
# line of $tmp/answers; the host's standard error in $tmp/host.err.
cat >"$root/tmp/tessaro-pkgtest-nm.py" <<'PY'
import struct, subprocess, sys
frames = b"".join(struct.pack("<I", len(r)) + r for r in (a.encode() for a in sys.argv[2:]))
p = subprocess.run([sys.argv[1]], input=frames, capture_output=True, timeout=120)
out = p.stdout
while len(out) >= 4:
    n = struct.unpack("<I", out[:4])[0]
    print(out[4:4 + n].decode())
    out = out[4 + n:]
sys.stderr.write(p.stderr.decode(errors="replace"))
PY
converse() { as_user python3 /tmp/tessaro-pkgtest-nm.py $host "$@" >"$tmp/answers" 2>"$tmp/host.err"; }
# Field $2 of answer $1 (1-based).
answer() {
  python3 -c 'import json, sys; print(json.loads(open(sys.argv[1]).read().splitlines()[int(sys.argv[2]) - 1])[sys.argv[3]])' \
    "$tmp/answers" "$1" "$2"
}
expect_ok() { [ "$(answer "$1" errorcode)" = 0 ] || fail "$2 answered $(sed -n "$1p" "$tmp/answers") $(cat "$tmp/host.err")"; }
sm2="Tessaro SM2 Token CSP v1.0"
rsa="Microsoft Enhanced Cryptographic Provider v1.0"
converse '{"function": "KEVO_GetCSPInfo", "params": [], "randomId": "2"}' || fail "the installed host did not answer"
expect_ok 1 KEVO_GetCSPInfo
echo "$me: KEVO_GetCSPInfo -> $(answer 1 result)"
[ "$(answer 1 randomId)" = 2 ] || fail "the host's answer lost its randomId"
for p in "$sm2" "$rsa"; do
  answer 1 result | grep -qF "$p" || fail "KEVO_GetCSPInfo does not list $p"
done
in_root test -d "$prefix" || fail "no prefix in the user's home"
mode=$(in_root stat -c '%a %U' "$prefix")
[ "$mode" = "700 $user" ] || fail "prefix is $mode, not 700 $user"
in_root test -e "$prefix/machine.db" && fail "the user's prefix has a machine hive of its own"

# The machine ROOT store holds the chains install mode wrote: the user reads it.
as_user tessaro-certutil store machine ROOT >"$tmp/roots" 2>&1 || { cat "$tmp/roots"; fail "listing the machine ROOT store"; }
grep -q "Tessaro Demo RSA operation Root CA" "$tmp/roots" || { cat "$tmp/roots"; fail "install mode's root CA is not in the machine ROOT store"; }

# A user may not write the system hive: our tools answer ERROR_ACCESS_DENIED
# and the file stays as it was.
"$testca" init "$tmp/ca" >"$tmp/ca.log" 2>&1 || { cat "$tmp/ca.log"; fail "tessaro-testca init"; }
cp "$tmp/ca/rsa-root.cert.pem" "$root/tmp/tessaro-pkgtest-ca.pem"
sum=$(sha256sum <"$root$hive")
as_user tessaro-certutil -machine -addstore ROOT /tmp/tessaro-pkgtest-ca.pem >"$tmp/denied" 2>&1 \
  && fail "the user wrote the machine ROOT store"
grep -Eq "0x(8007|0000)0005" "$tmp/denied" || { cat "$tmp/denied"; fail "the user's write was not refused with ERROR_ACCESS_DENIED"; }
[ "$(sha256sum <"$root$hive")" = "$sum" ] || fail "the user's attempt changed $hive"
# Root (an administrator trusting the bank's CA) may; it must survive the upgrade.
in_root sh -c 'p=$(mktemp -d) && TESSARO_PREFIX=$p tessaro-certutil -machine -addstore ROOT /tmp/tessaro-pkgtest-ca.pem; rc=$?; rm -rf "$p"; exit $rc' \
  >"$tmp/added" 2>&1 || { cat "$tmp/added"; fail "root could not write the machine ROOT store"; }

# An RSA and an SM2 enrollment as that user through the installed host: the
# request (one page load), the test CA's certificate, its installation (a
# second page load).
enroll() {
  local label=$1 length=$2 provider=$3 algorithm=$4 container
  converse "{\"function\":\"KEVO_SetCSPInfo\",\"params\":[$length,\"$provider\"],\"randomId\":\"1\"}" \
    "{\"function\":\"KEVO_SetKeyAlgorithm\",\"params\":[\"$algorithm\"],\"randomId\":\"2\"}" \
    "{\"function\":\"KEVO_PKCS10CertRequisition\",\"params\":[\"CN=Package $label,O=Tessaro,C=CN\",1,0],\"randomId\":\"3\"}" \
    "{\"function\":\"KEVO_GetContainer\",\"params\":[],\"randomId\":\"4\"}" || fail "$label: the host did not answer"
  for i in 1 2 3 4; do expect_ok $i "$label request $i"; done
  answer 3 result >"$tmp/$label.req"
  container=$(answer 4 result)
  [ -n "$container" ] || fail "$label: no container"
  "$testca" issue "$tmp/ca" --in "$tmp/$label.req" >"$tmp/$label.cert" 2>"$tmp/issue.err" \
    || fail "$label: the test CA refused the request: $(cat "$tmp/issue.err")"
  converse "{\"function\":\"KEVO_SetCSPInfo\",\"params\":[$length,\"$provider\"],\"randomId\":\"5\"}" \
    "{\"function\":\"KEVO_SetKeyAlgorithm\",\"params\":[\"$algorithm\"],\"randomId\":\"6\"}" \
    "{\"function\":\"KEVO_ImportSignCert\",\"params\":[1,\"$(tr -d '\r\n ' <"$tmp/$label.cert")\",\"$container\"],\"randomId\":\"7\"}" \
    || fail "$label: the host did not answer the installation"
  expect_ok 3 "$label KEVO_ImportSignCert"
  echo "$me: $label enrollment: container $container"
}
enroll RSA 2048 "$rsa" RSA
enroll SM2 256 "$sm2" SM2
# The user's containers and certificates (the RSA one in the "My" store, the
# SM2 one on its token container too).
containers() {
  as_user tessaro-certutil containers "$rsa" && as_user tessaro-certutil containers "$sm2" &&
    as_user tessaro-certutil store user MY
}
containers >"$tmp/containers.before" 2>&1 || { cat "$tmp/containers.before"; fail "listing the user's containers"; }
[ "$(grep -c '^1 container(s)$' "$tmp/containers.before")" = 2 ] && grep -q "CN=Package RSA" "$tmp/containers.before" \
  && grep -q "CN=Package SM2" "$tmp/containers.before" || { cat "$tmp/containers.before"; fail "the user's enrolled containers"; }

# The upgrade to this version: the administrator's narrowed origin list, the
# system hive (with root's addition) and the user's containers stay.
policy=/etc/chromium/policies/managed/tessaro-enroll.json
in_root sed -i 's|"allowedOrigins": \[|"allowedOrigins": ["https://narrowed.example"], "was": [|' $policy
inode=$(in_root stat -c %i $hive)
echo "$me: upgrading from 0.9"
dpkg_in_root -i --force-confold /tmp/tessaro-pkgtest.deb || { cat "$tmp/dpkg.log"; fail "upgrading from 0.9"; }
[ "$(in_root dpkg-query -W -f '${Version}' tessaro-enroll)" = "$(dpkg-deb -f "$deb" Version)" ] || fail "not upgraded"
in_root grep -q narrowed.example $policy || fail "the upgrade lost the administrator's origin list"
[ "$(in_root stat -c '%i %a %U' $hive)" = "$inode 644 root" ] || fail "the upgrade replaced $hive"
as_user tessaro-certutil store machine ROOT >"$tmp/roots" 2>&1
grep -q "Tessaro Demo RSA operation Root CA" "$tmp/roots" || fail "install mode's root CA is gone after the upgrade"
grep -q "$(openssl x509 -in "$tmp/ca/rsa-root.cert.pem" -noout -fingerprint -sha1 | sed 's/.*=//; s/://g')" "$tmp/roots" \
  || fail "the upgrade lost root's addition to the machine ROOT store"
containers >"$tmp/containers.after" 2>&1 || { cat "$tmp/containers.after"; fail "listing the containers after the upgrade"; }
diff "$tmp/containers.before" "$tmp/containers.after" >&2 || fail "the upgrade changed the user's containers"
in_root sed -i 's|"allowedOrigins": \["https://narrowed.example"\], "was": \[|"allowedOrigins": [|' $policy
echo "$me: upgraded from 0.9: origin list, system hive and the user's containers kept"

jq_version() { in_root python3 -c 'import json; print(json.load(open("/usr/share/tessaro/extension-chromium/manifest.json"))["version"])'; }
for f in $host /usr/lib/tessaro/npLumora.Tessaro.QIRTAL.so /usr/lib/tessaro/libtessaro-pkcs11.so \
         /usr/bin/tessaro-register /usr/bin/tessaro-certutil /usr/bin/tessaro-trace \
         /usr/share/p11-kit/modules/tessaro.module \
         /etc/chromium/policies/managed/tessaro-enroll.json \
         /usr/lib/mozilla/managed-storage/enroll@tessaro.example.json \
         /usr/share/chromium/extensions/tessaro-enroll/manifest.json \
         "/usr/share/mozilla/extensions/{ec8030f7-c20a-464f-9b0e-13a3a9e97384}/enroll@tessaro.example/manifest.json"; do
  in_root test -e "$f" || fail "missing $f"
done
for p in tessaro-register tessaro-certutil tessaro-trace; do
  in_root man -w "$p" >/dev/null 2>&1 || fail "no manual page for $p"
done
for b in $host /usr/lib/tessaro/libtessaro-pkcs11.so /usr/bin/tessaro-certutil; do
  readelf -S "$root$b" | grep -q '\.debug_info' && fail "$b is not stripped"
done
dpkg-deb -c "$dbgsym" | grep '/usr/lib/debug/\.build-id/.*\.debug$' >/dev/null || fail "no debug symbols in $dbgsym"
grep -qx "module: /usr/lib/tessaro/libtessaro-pkcs11.so" "$root/usr/share/p11-kit/modules/tessaro.module" \
  || fail "p11-kit module file does not name the installed module"

# The manifests name the installed host and our extensions; the Chromium
# extension keeps its ID through its key.
read -ra origins <<<"${TESSARO_ORIGINS:-}"
in_root python3 - "" "$host" ${origins[@]+"${origins[@]}"} <<'PY' || fail "installed manifests"
import base64, hashlib, json, re, sys
root, host, origins = sys.argv[1], sys.argv[2], sys.argv[3:]
cid, fid = "cjeammpeofkbcchcphlnhjkoapomnifi", "enroll@tessaro.example"
for d, key, want in [("/etc/chromium/native-messaging-hosts", "allowed_origins", f"chrome-extension://{cid}/"),
                     ("/etc/opt/chrome/native-messaging-hosts", "allowed_origins", f"chrome-extension://{cid}/"),
                     ("/usr/lib/mozilla/native-messaging-hosts", "allowed_extensions", fid)]:
    m = json.load(open(f"{root}{d}/com.tessaro.qirtal.json"))
    assert m["name"] == "com.tessaro.qirtal" and m["path"] == host and m[key] == [want], (d, m)
ext = json.load(open(f"{root}/usr/share/chromium/extensions/tessaro-enroll/manifest.json"))
h = hashlib.sha256(base64.b64decode(ext["key"])).hexdigest()[:32]
assert "".join(chr(ord("a") + int(c, 16)) for c in h) == cid, "extension ID"
assert ext["storage"]["managed_schema"] == "schema.json"
ff = json.load(open(f"{root}/usr/share/mozilla/extensions/{{ec8030f7-c20a-464f-9b0e-13a3a9e97384}}/{fid}/manifest.json"))
assert ff["browser_specific_settings"]["gecko"]["id"] == fid
pol = json.load(open(f"{root}/etc/chromium/policies/managed/tessaro-enroll.json"))
assert isinstance(pol["3rdparty"]["extensions"][cid]["allowedOrigins"], list)
ms = json.load(open(f"{root}/usr/lib/mozilla/managed-storage/{fid}.json"))
assert ms["name"] == fid and ms["type"] == "storage" and isinstance(ms["data"]["allowedOrigins"], list)
# One list of origins everywhere: the extensions', the administrators' files,
# and the hosts of the content scripts.
for d in ["/usr/share/chromium/extensions/tessaro-enroll",
          f"/usr/share/mozilla/extensions/{{ec8030f7-c20a-464f-9b0e-13a3a9e97384}}/{fid}"]:
    js = open(f"{root}{d}/origins.js").read()
    built = json.loads(re.search(r"var TESSARO_ALLOWED_ORIGINS = (\[.*?\]);", js, re.S).group(1))
    assert not origins or built == origins, (built, origins)
    assert pol["3rdparty"]["extensions"][cid]["allowedOrigins"] == built and ms["data"]["allowedOrigins"] == built
    man = json.load(open(f"{root}{d}/manifest.json"))
    hosts = sorted({re.sub(r":(\d+|\*)$", "", o).lower() + "/*" for o in built})
    assert sorted(man["content_scripts"][0]["matches"]) == hosts, (man["content_scripts"], hosts)
PY

# What a user does once: tessaro-register (through its /usr/bin link) finds the
# installed host and module.
as_user tessaro-register install >"$tmp/register.log" 2>&1 || { cat "$tmp/register.log"; fail "tessaro-register install"; }
grep -q "\"path\": \"$host\"" "$root$home/.config/chromium/NativeMessagingHosts/com.tessaro.qirtal.json" \
  || fail "the user's manifest does not name the installed host"
grep -q "/usr/lib/tessaro/libtessaro-pkcs11.so" "$root$home/.config/pkcs11/modules/tessaro.module" \
  || fail "the user's p11-kit file does not name the installed module"

# Debian's chromium, started through its wrapper as a user would, loads the
# extension from /usr/share/chromium/extensions under its fixed ID.
if in_root test -x /usr/lib/chromium/chromium; then
  as_user timeout 120 chromium --headless=new --no-sandbox --user-data-dir=$home/chromium \
    --dump-dom about:blank >"$tmp/chromium.log" 2>&1 || { tail -20 "$tmp/chromium.log"; fail "chromium did not start"; }
  in_root python3 -c '
import json, sys
s = json.load(open(sys.argv[1] + "/chromium/Default/Preferences"))["extensions"]["settings"]
assert s["cjeammpeofkbcchcphlnhjkoapomnifi"]["path"] == "/usr/share/tessaro/extension-chromium", s
' $home || fail "chromium did not load the installed extension"
  echo "$me: chromium loads the extension from /usr/share/chromium/extensions"
  # A loopback page of the built list gets its answer to "ping" from the
  # installed extension, with the administrator's policy file in place. The
  # page's load waits for /slow, so that the DOM is dumped after the answer.
  if [ -z "${TESSARO_ORIGINS:-}" ]; then
    cat >"$root/tmp/tessaro-pkgtest.html" <<'HTML'
<html><body><p id="r">none</p><script>
addEventListener("message", (e) => {
  if (e.data && e.data.channel === "tessaro-extension" && e.data.type === "pong")
    document.getElementById("r").textContent = "pong " + e.data.version;
});
for (const t of [0, 300, 1000, 2000]) setTimeout(() => postMessage({ channel: "tessaro-page", type: "ping" }, location.origin), t);
</script><img src="/slow"></body></html>
HTML
    chroot --userspec=$user:$user "$root" env -i HOME=$home PATH=/usr/bin:/bin python3 -c '
import http.server, socketserver, time
class H(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *a): pass
    def do_GET(self):
        if self.path == "/slow":
            time.sleep(3)
            self.send_response(204)
            self.end_headers()
            return
        super().do_GET()
s = socketserver.ThreadingTCPServer(("127.0.0.1", 0), lambda *a: H(*a, directory="/tmp"))
print(s.server_address[1], flush=True)
s.serve_forever()
' >"$tmp/site.port" 2>/dev/null &
    site=$!
    for _ in $(seq 50); do [ -s "$tmp/site.port" ] && break; sleep 0.1; done
    url="http://127.0.0.1:$(cat "$tmp/site.port")/tessaro-pkgtest.html"
    got=$(as_user timeout 120 chromium --headless=new --no-sandbox --user-data-dir=$home/chromium \
            --dump-dom "$url" 2>/dev/null | grep -o '<p id="r">[^<]*</p>') || true
    kill $site 2>/dev/null || true
    wait $site 2>/dev/null || true
    site=
    [ "$got" = "<p id=\"r\">pong $(jq_version)</p>" ] || fail "the page got no answer from the extension: $got"
    echo "$me: chromium's extension answers a page of the built list"
    # The demonstration site (its test CA the build tree's, copied into the
    # root) and its page enrolling unattended (?auto=): an RSA and an SM2
    # single-certificate enrollment from the page through the installed
    # extension and host; the page reports the outcome to the site.
    if in_root test -x /usr/bin/node; then
      src=$(cd "$(dirname "$0")/../.." && pwd)
      mkdir -p "$root/tmp/tessaro-pkgtest-site/site" "$root/tmp/tessaro-pkgtest-site/client"
      cp "$src"/browser/site/{server.js,index.html,app.js,style.css} "$root/tmp/tessaro-pkgtest-site/site/"
      cp "$src/browser/client/tessaro-client.js" "$root/tmp/tessaro-pkgtest-site/client/"
      install -m0755 "$testca" "$root/tmp/tessaro-pkgtest-site/tessaro-testca"
      report=$home/demo-report.json
      rm -f "$tmp/site.port"
      chroot --userspec=$user:$user "$root" env -i HOME=$home PATH=/usr/bin:/bin node /tmp/tessaro-pkgtest-site/site/server.js \
        --testca /tmp/tessaro-pkgtest-site/tessaro-testca --report $report >"$tmp/site.port" 2>"$tmp/site.err" &
      site=$!
      for _ in $(seq 100); do grep -q '^listening http' "$tmp/site.port" 2>/dev/null && break; sleep 0.1; done
      url=$(sed -n 's/^listening \(http:[^ ]*\)$/\1/p' "$tmp/site.port")
      [ -n "$url" ] || fail "the demonstration site did not start: $(cat "$tmp/site.err")"
      # The page asks for the extension once, when it opens: a page opened
      # with the browser may come before the extension is up. So the browser
      # opens a page that goes there after a while; on a loaded machine the
      # extension may still be late (EXTENSION_MISSING): tried again, with
      # a longer while, at most twice (each run a profile of its own).
      for attempt in 1 2 3; do
        in_root rm -f $report
        as_user timeout 150 chromium --headless=new --no-sandbox --user-data-dir=$home/chromium-demo$attempt \
          "data:text/html,<script>setTimeout(()=>location.href='${url}?auto=RSA:1,SM2:1',$((attempt * 2000)))</script>" \
          >"$tmp/chromium-demo.log" 2>&1 &
        browser=$!
        for _ in $(seq 1200); do in_root test -s $report && break; kill -0 $browser 2>/dev/null || break; sleep 0.1; done
        kill $browser 2>/dev/null || true
        wait $browser 2>/dev/null || true
        in_root grep -q '"EXTENSION_MISSING"' $report 2>/dev/null || break
        echo "$me: the demonstration page found no extension yet (run $attempt); again"
      done
      kill $site 2>/dev/null || true
      wait $site 2>/dev/null || true
      site=
      in_root test -s $report || { tail -20 "$tmp/chromium-demo.log"; fail "the demonstration page reported nothing"; }
      python3 - "$root$report" <<'PY' || fail "the demonstration page's enrollments in chromium"
import json, sys
r = json.load(open(sys.argv[1]))
assert not r["start"].get("error"), r["start"]
runs = [(x["label"], x["certType"], x["ok"], x.get("failedAt"), x.get("error")) for x in r["runs"]]
assert [(l, c, ok) for l, c, ok, _, _ in runs] == [("RSA", 1, True), ("SM2", 1, True)], runs
PY
      echo "$me: chromium enrolls RSA and SM2 from the demonstration page through the installed extension and host"
    else
      echo "$me: node is not installed: no enrollment from the demonstration page in chromium"
    fi
  fi
else
  echo "$me: chromium is not installed: its loading of the extension is not checked"
fi

# Firefox ESR enables the system-scope add-on for a new profile.
if in_root test -x /usr/bin/firefox-esr; then
  as_user mkdir -p $home/firefox
  as_user env MOZ_HEADLESS=1 timeout 60 firefox-esr --headless --no-remote --profile $home/firefox \
    --screenshot $home/firefox.png about:blank \
    >"$tmp/firefox.log" 2>&1 || true
  in_root python3 -c '
import json, sys
a = [a for a in json.load(open(sys.argv[1] + "/firefox/extensions.json"))["addons"] if a["id"] == "enroll@tessaro.example"]
assert a and a[0]["location"] == "app-system-share" and a[0]["active"], a
' $home || { tail -20 "$tmp/firefox.log"; fail "firefox did not enable the installed add-on"; }
  echo "$me: firefox enables the add-on from /usr/share/mozilla/extensions"
else
  echo "$me: firefox-esr is not installed: its loading of the add-on is not checked"
fi

# A damaged system hive: the host answers ERROR_BADDB and says so; a second
# install of this version fails its configuration with a message and keeps
# the file as it was; removing the package keeps it too.
cp -p "$root$hive" "$tmp/hive.good"
head -c 8192 /dev/urandom >"$root$hive"
sum=$(sha256sum <"$root$hive")
converse '{"function": "KEVO_GetCSPInfo", "params": [], "randomId": "9"}' || fail "the host did not answer with a damaged hive"
[ "$(answer 1 errorcode)" = "$(( 0x800703F1 - 0x100000000 ))" ] || fail "with a damaged hive the host answered $(cat "$tmp/answers")"
grep -q "machine hive $hive is damaged" "$tmp/host.err" || fail "the host did not report the damaged hive: $(cat "$tmp/host.err")"
dpkg_in_root -i /tmp/tessaro-pkgtest.deb && fail "configuring over a damaged system hive succeeded"
grep -q "tessaro-register: machine-hive: the machine hive $hive is damaged" "$tmp/dpkg.log" \
  && grep -q "tessaro-enroll: the system hive $hive could not be made or used" "$tmp/dpkg.log" \
  || { cat "$tmp/dpkg.log"; fail "no clear message for the damaged system hive"; }
[ "$(sha256sum <"$root$hive")" = "$sum" ] || fail "the failed configuration changed $hive"
echo "$me: a damaged system hive fails the configuration, dpkg says:"
grep -E '^(tessaro|dpkg: error)' "$tmp/dpkg.log" | sed "s/^/$me:   /"
dpkg_in_root -r tessaro-enroll || { cat "$tmp/dpkg.log"; fail "dpkg -r after the failed configuration"; }
[ "$(sha256sum <"$root$hive")" = "$sum" ] || fail "dpkg -r changed $hive"

# Purge (after that failed install): none of the package's files or links
# stays, nor /var/lib/tessaro; the user's prefix stays.
dpkg_in_root --purge tessaro-enroll || { cat "$tmp/dpkg.log"; fail "dpkg --purge failed"; }
left=""
while read -r path; do
  [ -e "$root$path" ] || [ -L "$root$path" ] && left="$left $path"
done < <(dpkg-deb --fsys-tarfile "$deb" | tar t | sed 's|^\.||' | grep -v '/$')
for d in /usr/lib/tessaro /usr/share/tessaro /etc/tessaro $policy /var/lib/tessaro; do
  [ -e "$root$d" ] && left="$left $d"
done
[ -z "$left" ] || fail "left after purge:$left"
in_root test -f "$prefix/user.db" || fail "the purge removed the user's prefix"
if [ $root_prefix_before = 0 ]; then
  in_root test -e /root/.local/share/tessaro && fail "the package's scripts made a prefix in root's home"
fi
echo "$me: 1 passed, 0 failed"
