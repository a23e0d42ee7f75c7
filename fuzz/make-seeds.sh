#!/usr/bin/env bash
# Writes the seed corpora of the fuzz targets into fuzz/seeds/<target>/ with
# the project's own tools: a double-certificate enrollment through the host
# (tessaro-nm), the test CA's certificates and envelopes (tessaro-testca),
# openssl for PKCS#1 keys and key blobs, and the CA chain documents.
# Usage: fuzz/make-seeds.sh [BUILD_DIR]   (default: build)
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build}" && pwd)
nm="$build/tessaro-nm"
host="$build/TessaroHost.QIRTAL.x86"
testca="$build/tessaro-testca"
for f in "$nm" "$host" "$testca"; do
  [ -x "$f" ] || { echo "make-seeds: $f is missing; build first" >&2; exit 1; }
done
out="$here/seeds"
work=$(mktemp -d "${TMPDIR:-/tmp}/tessaro-seeds.XXXXXX")
trap 'rm -rf "$work"' EXIT
export TESSARO_PREFIX="$work/prefix"
rm -rf "$out"
for t in frame request base64 asn1 subject envelope pkcs1 propblob cachain keyblob pkcs11; do mkdir -p "$out/$t"; done

"$testca" init "$work/ca" >/dev/null

# One host conversation; responses one per line in $work/responses.
converse() { "$nm" --quiet --host "$host" -- "$@" >"$work/responses"; }
field() {  # line, key: the string value of "result" (escapes resolved)
  sed -n "${1}p" "$work/responses" | sed 's/^< //' | python3 -c 'import json,sys; print(json.load(sys.stdin)["result"], end="")'
}

requests=()
n=0
enroll() {  # label length provider algorithm
  local label=$1 length=$2 provider=$3 algorithm=$4
  local setup=("{\"function\":\"KEVO_SetCSPInfo\",\"params\":[$length,\"$provider\"],\"randomId\":\"1\"}"
               "{\"function\":\"KEVO_SetKeyAlgorithm\",\"params\":[\"$algorithm\"],\"randomId\":\"2\"}"
               "{\"function\":\"KEVO_PKCS10CertRequisition\",\"params\":[\"CN=Seed $label,OU=Fuzz,O=Tessaro,C=CN\",2,0],\"randomId\":\"3\"}"
               "{\"function\":\"KEVO_GetContainer\",\"params\":[],\"randomId\":\"4\"}")
  converse "${setup[@]}"
  field 3 >"$work/$label.req"
  local container
  container=$(field 4)
  "$testca" issue "$work/ca" --in "$work/$label.req" >"$work/$label.sign"
  "$testca" envelope "$work/ca" --in "$work/$label.req" --key-out "$work/$label.key.pem" >"$work/$label.env.json"
  python3 - "$work/$label.env.json" "$out" "$label" <<'PY'
import json, sys, base64
env = json.load(open(sys.argv[1])); out = sys.argv[2]; label = sys.argv[3]
open(f"{out}/envelope/{label}.txt", "wb").write(b"\0" + env["envelope"].encode())
open(f"{out}/asn1/{label}-enc-cert.der", "wb").write(base64.b64decode(env["certificate"]))
# The two wrapped parts of the envelope, as the ASN.1 reader sees them.
text = env["envelope"]; pos = 48; parts = []
for _ in range(2):
    length = int(text[pos:pos + 16]); pos += 16
    parts.append(text[pos:pos + length].rstrip(",")); pos += length
for i, p in enumerate(parts):
    if p:
        open(f"{out}/asn1/{label}-wrapped{i}.der", "wb").write(base64.b64decode(p))
PY
  tr -d '\r\n' <"$work/$label.req" | base64 -d >"$out/asn1/$label-request.der"
  cp "$work/$label.req" "$out/base64/$label-request.txt"
  local cert env
  cert=$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["certificate"])' "$work/$label.env.json")
  env=$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["envelope"])' "$work/$label.env.json")
  requests+=("${setup[@]}"
             "{\"function\":\"KEVO_ImportSignCert\",\"params\":[2,\"$(cat "$work/$label.sign")\",\"$container\"],\"randomId\":\"5\"}"
             "{\"function\":\"KEVO_ImportEncryptCert\",\"params\":[\"$env\",\"$cert\",\"$container\",0],\"randomId\":\"6\"}")
}
enroll rsa 1024 "Microsoft Enhanced Cryptographic Provider v1.0" RSA
enroll sm2 256 "Tessaro SM2 Token CSP v1.0" SM2

# Requests: every operation once, with parameters of the right and wrong
# kinds, and the enrollment's own requests.
requests+=('{"function":"KEVO_GetVersion","params":[],"randomId":"7"}'
           '{"function":"KEVO_GetCSPInfo","params":[],"randomId":"8"}'
           '{"function":"KEVO_GetAllCertInfo","params":[{"param":"Microsoft Enhanced Cryptographic Provider v1.0"}],"randomId":"9"}'
           '{"function":"GetLastErrorDesc","params":[],"randomId":"10"}'
           '{"function":"KEVO_SetCSPInfo","params":[{"param":2048},{"param":"x"}],"randomId":"\"q"}'
           '{"function":"KEVO_SetKeyAlgorithm","params":[17],"randomId":"11"}'
           '{"function":"KEVO_ImportSignCert","params":[1,"  ","  "]}'
           '{"function":"kevo_getcontainer","params":{}}')
i=0
for r in "${requests[@]}"; do
  i=$((i + 1))
  # Only requests of a few KiB: the fuzzer mutates short inputs best.
  if [ ${#r} -lt 4096 ]; then printf '%s' "$r" >"$out/request/r$i.json"; fi
done
# Frames: one, two in a row, and a cut-off one.
python3 - "$out" "${requests[@]:0:4}" <<'PY'
import struct, sys
out = sys.argv[1]; reqs = [r.encode() for r in sys.argv[2:]]
frame = lambda b: struct.pack("<I", len(b)) + b
open(f"{out}/frame/one", "wb").write(frame(reqs[0]))
open(f"{out}/frame/two", "wb").write(frame(reqs[1]) + frame(reqs[2]))
open(f"{out}/frame/cut", "wb").write(frame(reqs[3])[:-5])
open(f"{out}/frame/end", "wb").write(frame(reqs[0]) + struct.pack("<I", 0))
PY

# Subjects: plain text (leading 00: read as UTF-8).
for s in "CN=Seed,OU=Fuzz,O=Tessaro,C=CN" "E=a@b.cn,STREET=1 Road,L=Town,S=Prov,CN=x" "CN=\"quoted\",1.2.3.4=v"; do
  printf '\0%s' "$s" >"$out/subject/$(printf '%s' "$s" | md5sum | cut -c1-8)"
done

# PKCS#1 keys: two bytes of key size in 64-bit steps, then the DER.
for bits in 512 1024; do
  openssl genrsa -traditional -out "$work/k$bits.pem" "$bits" 2>/dev/null
  { printf "\\x$(printf %02x $((bits / 64)))\\x00"; openssl rsa -in "$work/k$bits.pem" -outform DER 2>/dev/null; } >"$out/pkcs1/k$bits"
done
{ printf '\x10\x00'; openssl rsa -in "$work/rsa.key.pem" -traditional -outform DER 2>/dev/null; } >"$out/pkcs1/envelope-key"

# Key blobs: PUBLICKEYBLOB and PRIVATEKEYBLOB of a 512-bit key (openssl's
# MSBLOB forms), for each provider; vendor material from the envelopes.
openssl rsa -in "$work/k512.pem" -outform MS\ PUBLICKEYBLOB -pubout -out "$work/pub.blob" 2>/dev/null
openssl rsa -in "$work/k512.pem" -outform MS\ PRIVATEKEYBLOB -out "$work/priv.blob" 2>/dev/null
for m in 0 1 2; do
  { printf "\\x0$m"; cat "$work/pub.blob"; } >"$out/keyblob/pub$m"
  { printf "\\x0$m"; cat "$work/priv.blob"; } >"$out/keyblob/priv$m"
done
# A SIMPLEBLOB header for 3DES under an RSA exchange key, 64 bytes of key block.
{ printf '\x03\x01\x02\x00\x00\x03\x66\x00\x00\x00\xa4\x00\x00'; head -c 64 /dev/zero; } >"$out/keyblob/simple"
python3 - "$work/sm2.env.json" "$out" <<'PY'
import json, sys, base64
env = json.load(open(sys.argv[1])); text = env["envelope"]; pos = 48
for _ in range(2):
    length = int(text[pos:pos + 16]); pos += 16
    part = text[pos:pos + length].rstrip(","); pos += length
ct = base64.b64decode(part)
# SEQUENCE { INTEGER, OCTET STRING ct }: the octets of the last element.
open(f"{sys.argv[2]}/keyblob/sm2-vendor", "wb").write(b"\x07" + ct[-113:] if len(ct) > 113 else b"\x07" + ct)
PY

# Property blobs and CA chain documents.
for doc in "$here"/../resources/chains/ca-chain-rsa-test.xml "$here"/../resources/chains/ca-chain-sm2-test.xml; do
  name=$(basename "$doc" .xml)
  cp "$doc" "$out/cachain/$name.xml"
  python3 - "$doc" "$out/propblob/$name.blob" <<'PY'
import base64, re, sys
text = open(sys.argv[1]).read()
m = re.search(r"<Content>(.*?)</Content>", text, re.S)
open(sys.argv[2], "wb").write(base64.b64decode("".join(m.group(1).split())))
PY
done
# PKCS#11 calls (fuzz/targets/fuzz_pkcs11.cpp): searches, attribute reads
# and sign/decrypt operations as the consumers make them, written by hand.
python3 - "$out/pkcs11" <<'PY'
import struct, sys
out = sys.argv[1]
u16 = lambda v: struct.pack("<H", v)
TYPE = {"class": 0, "label": 3, "value": 4, "issuer": 6, "serial": 7, "key_type": 8, "subject": 9, "id": 10,
        "sign": 14, "modulus": 16, "public_exponent": 18, "allowed": 28}
MECH = {"rsa_pkcs": 0, "pss": 1, "oaep": 2, "sha256_rsa": 5, "sha256_pss": 10}
def ulong(v): return struct.pack("<Q", v)
def find(*attrs, max_=4):
    b = bytes([0, len(attrs)])
    for t, v in attrs:
        b += (bytes([TYPE[t]]) if isinstance(t, str) else b"\xff" + struct.pack("<I", t)) + u16(len(v)) + v
    return b + bytes([max_])
def get(obj, *attrs):
    b = bytes([1, obj, len(attrs)])
    for t, n in attrs: b += bytes([TYPE[t]]) + u16(n)
    return b
def op(kind, key, mech, param, data, outlen, multi=0):
    b = bytes([kind, key, MECH[mech]]) + (u16(0xFFFF) if param is None else u16(len(param)) + param)
    return b + u16(len(data)) + data + u16(outlen) + (bytes([multi]) if kind == 2 else b"")
digest_info = bytes.fromhex("3031300d060960864801650304020105000420") + bytes(range(32))
pss = ulong(0x250) + ulong(2) + ulong(32)       # SHA-256, MGF1-SHA-256, 32 bytes of salt
oaep = ulong(0x250) + ulong(2) + ulong(1) + ulong(0) + ulong(0)
seeds = {
    "find-certificates": find(("class", ulong(1))) + find(("class", ulong(3)), ("id", b"\x01\x02")),
    "find-nss-trust": find(("class", ulong(0xCE534353))) + find((0xCE534353, b"x"), max_=1),
    "find-label": find(("class", ulong(1)), ("label", b"Fuzz RSA")) + find(("key_type", ulong(0)), ("sign", b"\x01")),
    "get-certificate": get(0, ("value", 0xFFFF), ("subject", 0xFFFF), ("issuer", 512), ("serial", 1), ("label", 8)),
    "get-keys": get(1, ("modulus", 0xFFFF), ("modulus", 128), ("public_exponent", 3), ("allowed", 64)) +
                get(2, ("modulus", 127), ("id", 0xFFFF), ("class", 8)),
    "sign-pkcs1": op(2, 1, "rsa_pkcs", None, digest_info, 0xFFFF) + op(2, 1, "rsa_pkcs", None, digest_info, 64),
    "sign-pss": op(2, 1, "pss", pss, bytes(32), 128) + op(2, 1, "sha256_pss", pss, b"hello", 128, 1),
    "sign-hash": op(2, 1, "sha256_rsa", None, b"hello" * 10, 128, 1),
    "decrypt-oaep": op(3, 1, "oaep", oaep, bytes(128), 0xFFFF) + op(3, 1, "rsa_pkcs", None, bytes(128), 128),
}
for name, data in seeds.items():
    open(f"{out}/{name}", "wb").write(data)
PY
echo "make-seeds: seeds written to $out"
