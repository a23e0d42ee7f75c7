#!/usr/bin/env bash
# The Debian package as a customer gets it: lintian reports no errors, it
# installs into a throwaway root (an overlay of / with its own upper layer,
# chrooted into; the machine itself is never changed), lays its files where the
# browsers look, its host answers an unprivileged user of that root, and a
# purge leaves none of its files.
#   tests/package/run.sh build/tessaro-enroll_<version>_amd64.deb
# With TESSARO_ORIGINS set (make test-package ORIGINS=...), the installed
# extensions must serve exactly those origins.
# Exit 77 when it cannot run (not root, no overlay mounts).
set -euo pipefail
deb=$(realpath "${1:?usage: run.sh PACKAGE.deb}")
dbgsym=${deb/tessaro-enroll_/tessaro-enroll-dbgsym_}
me=test-package
skip() { echo "$me: skipped: $*"; exit 77; }
fail() { echo "$me: FAIL: $*" >&2; exit 1; }
[ "$(id -u)" = 0 ] || skip "needs root to mount the throwaway root"
[ -f "$deb" ] || fail "no package $deb"
[ -f "$dbgsym" ] || fail "no debug symbols package $dbgsym"

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

cp "$deb" "$root/tmp/tessaro-pkgtest.deb"
echo "$me: installing into $root"
in_root env DEBIAN_FRONTEND=noninteractive dpkg -i /tmp/tessaro-pkgtest.deb >"$tmp/dpkg.log" 2>&1 \
  || { cat "$tmp/dpkg.log"; fail "dpkg -i failed"; }

host=/usr/lib/tessaro/TessaroHost.QIRTAL.x86
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

# The host, started as a browser would for an unprivileged user: no
# TESSARO_PREFIX, so the prefix is that user's own.
user=tessaro-pkgtest
home=/home/$user
in_root useradd -m -d $home -s /bin/sh $user
as_user() { chroot --userspec=$user:$user "$root" env -i HOME=$home PATH=/usr/bin:/bin LANG=C.UTF-8 "$@"; }
answer=$(as_user python3 -c '
import json, struct, subprocess, sys
req = json.dumps({"function": "KEVO_GetCSPInfo", "params": [], "randomId": "2"}).encode()
p = subprocess.run([sys.argv[1]], input=struct.pack("<I", len(req)) + req, capture_output=True, timeout=60)
out = p.stdout
n = struct.unpack("<I", out[:4])[0]
print(out[4:4 + n].decode())
' $host) || fail "the installed host did not answer"
echo "$me: KEVO_GetCSPInfo -> $answer"
python3 -c '
import json, sys
a = json.loads(sys.argv[1])
assert a.get("randomId") == "2" and a.get("errorcode") == 0, a
assert "Cryptographic Provider" in a.get("result", ""), a
' "$answer" || fail "unexpected answer from the host"
prefix=$home/.local/share/tessaro
in_root test -d "$prefix" || fail "no prefix in the user's home"
mode=$(in_root stat -c '%a %U' "$prefix")
[ "$mode" = "700 $user" ] || fail "prefix is $mode, not 700 $user"

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

# Purge: none of the package's files or links stays.
in_root dpkg --purge tessaro-enroll >"$tmp/dpkg.log" 2>&1 || { cat "$tmp/dpkg.log"; fail "dpkg --purge failed"; }
left=""
while read -r path; do
  [ -e "$root$path" ] || [ -L "$root$path" ] && left="$left $path"
done < <(dpkg-deb --fsys-tarfile "$deb" | tar t | sed 's|^\.||' | grep -v '/$')
for d in /usr/lib/tessaro /usr/share/tessaro /etc/tessaro /etc/chromium/policies/managed/tessaro-enroll.json; do
  [ -e "$root$d" ] && left="$left $d"
done
[ -z "$left" ] || fail "left after purge:$left"

# Upgrade from an earlier version (this package relabelled 0.9): the
# administrator's narrowed origin list stays, and the new version's files are there.
mkdir "$tmp/old"
dpkg-deb -R "$deb" "$tmp/old/pkg"
sed -i 's/^Version: .*/Version: 0.9/' "$tmp/old/pkg/DEBIAN/control"
dpkg-deb -b "$tmp/old/pkg" "$root/tmp/tessaro-pkgtest-old.deb" >/dev/null
in_root dpkg -i /tmp/tessaro-pkgtest-old.deb >"$tmp/dpkg.log" 2>&1 || { cat "$tmp/dpkg.log"; fail "installing 0.9"; }
policy=/etc/chromium/policies/managed/tessaro-enroll.json
in_root sed -i 's|"allowedOrigins": \[|"allowedOrigins": ["https://narrowed.example"], "was": [|' $policy
in_root env DEBIAN_FRONTEND=noninteractive dpkg -i --force-confold /tmp/tessaro-pkgtest.deb >"$tmp/dpkg.log" 2>&1 \
  || { cat "$tmp/dpkg.log"; fail "upgrading from 0.9"; }
[ "$(in_root dpkg-query -W -f '${Version}' tessaro-enroll)" = "$(dpkg-deb -f "$deb" Version)" ] || fail "not upgraded"
in_root grep -q narrowed.example $policy || fail "the upgrade lost the administrator's origin list"
in_root test -x $host || fail "no host after the upgrade"
in_root dpkg --purge tessaro-enroll >"$tmp/dpkg.log" 2>&1 || { cat "$tmp/dpkg.log"; fail "purge after upgrade"; }
in_root test -e $policy && fail "purge left $policy"
echo "$me: 1 passed, 0 failed"
