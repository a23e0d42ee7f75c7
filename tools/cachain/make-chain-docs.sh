#!/usr/bin/env bash
# Writes the CA chain documents the installer reads (resources 208-211), and
# the demonstration certificates behind them.
#
#   make-chain-docs.sh doc OUT.xml --roots R1.pem [R2.pem ...] --chain C1.pem [C2.pem ...]
#       One document from certificates you already have: every --roots
#       certificate becomes a root entry (written into the machine's
#       trusted-root registry key), every --chain certificate goes into the
#       PKCS#7 part (its non-self-signed, unexpired members are added to the
#       machine's intermediate store). This is how a deployment makes the
#       documents of its own CAs.
#
#   make-chain-docs.sh demo [REPO_DIR]
#       Makes our demonstration hierarchies (RSA and SM2, production and
#       test) and writes resources/chains/*.xml, the manifest
#       tests/store/data/chains.txt, and the demonstration "former" CAs in
#       tests/store/data/former/ with the removal table to paste into
#       store/CertificateChainDelete.cpp (former/list.txt).
#
# Needs bash, openssl (3.x, for SM2), xxd and base64.
set -euo pipefail

IMPORT_PATH='SOFTWARE\Microsoft\SystemCertificates\ROOT\Certificates'
SM2_ID=1234567812345678

die() { echo "make-chain-docs: $*" >&2; exit 1; }

# Little-endian 32-bit value as raw bytes.
le32() {
    local v=$1
    printf "\\x$(printf %02x $((v & 255)))\\x$(printf %02x $(((v >> 8) & 255)))"
    printf "\\x$(printf %02x $(((v >> 16) & 255)))\\x$(printf %02x $(((v >> 24) & 255)))"
}

# One serialized property record: id, reserved 1, length, value (file).
record() {
    local id=$1 file=$2
    le32 "$id"
    le32 1
    le32 "$(stat -c %s "$file")"
    cat "$file"
}

thumbprint() { openssl x509 -in "$1" -noout -fingerprint -sha1 | sed 's/.*=//; s/://g' | tr 'a-f' 'A-F'; }
serial_hex() { openssl x509 -in "$1" -noout -serial | sed 's/.*=//' | tr 'a-f' 'A-F'; }
# Subject as the installer's queries render it: last RDN first, ", " between.
subject_dn() { openssl x509 -in "$1" -noout -subject -nameopt RFC2253 | sed 's/^subject=//; s/,/, /g'; }
issuer_dn() { openssl x509 -in "$1" -noout -issuer -nameopt RFC2253 | sed 's/^issuer=//; s/,/, /g'; }
xml_escape() { sed 's/&/\&amp;/g; s/</\&lt;/g; s/>/\&gt;/g; s/"/\&quot;/g'; }
b64_lines() { base64 -w 76; }

# The property records a registry store keeps for a certificate: SHA-1 hash
# (3), MD5 hash (4), key identifier (20), then the certificate itself (32),
# last, in ascending order as the certificate stores write them.
property_blob() {
    local pem=$1 out=$2 t
    t=$(mktemp -d)
    openssl x509 -in "$pem" -outform DER -out "$t/der"
    openssl dgst -sha1 -binary "$t/der" > "$t/sha1"
    openssl dgst -md5 -binary "$t/der" > "$t/md5"
    local ski
    ski=$(openssl x509 -in "$pem" -noout -ext subjectKeyIdentifier 2>/dev/null | tail -n +2 | tr -d ' :\n' || true)
    if [ -z "$ski" ]; then
        # No extension: the SHA-1 of the public key, as the stores derive it.
        openssl x509 -in "$pem" -noout -pubkey | openssl pkey -pubin -outform DER | openssl dgst -sha1 -binary > "$t/kid"
    else
        echo "$ski" | xxd -r -p > "$t/kid"
    fi
    { record 3 "$t/sha1"; record 4 "$t/md5"; record 20 "$t/kid"; record 32 "$t/der"; } > "$out"
    rm -rf "$t"
}

# doc OUT --roots ... --chain ...
write_doc() {
    local out=$1; shift
    local roots=() chain=() mode=
    while [ $# -gt 0 ]; do
        case $1 in
            --roots) mode=roots ;;
            --chain) mode=chain ;;
            *) [ -n "$mode" ] || die "certificate $1 given before --roots or --chain"
               [ -f "$1" ] || die "no such file: $1"
               if [ "$mode" = roots ]; then roots+=("$1"); else chain+=("$1"); fi ;;
        esac
        shift
    done
    [ ${#roots[@]} -gt 0 ] || die "a document needs at least one root (--roots)"
    [ ${#chain[@]} -gt 0 ] || die "a document needs a PKCS#7 part (--chain)"
    local t
    t=$(mktemp -d)
    {
        echo '<?xml version="1.0" encoding="UTF-8"?>'
        echo "<!-- CA chain document written by make-chain-docs.sh on $(date -u +%Y-%m-%d). -->"
        echo '<!-- Root entries go to the machine trusted-root registry key; the PKCS#7 part to the machine CA store. -->'
        echo '<root>'
        echo '  <RootCACertificate>'
        local r
        for r in "${roots[@]}"; do
            property_blob "$r" "$t/blob"
            echo "    <Certificate SerialNum=\"$(serial_hex "$r")\" SubjectDN=\"$(subject_dn "$r" | xml_escape)\">"
            echo "      <ImportPath>$IMPORT_PATH</ImportPath>"
            echo "      <EntryPoint>$(thumbprint "$r")</EntryPoint>"
            echo '      <Content>'
            b64_lines < "$t/blob"
            echo '      </Content>'
            echo '    </Certificate>'
        done
        echo '  </RootCACertificate>'
        cat "${chain[@]}" > "$t/chain.pem"
        openssl crl2pkcs7 -nocrl -certfile "$t/chain.pem" -outform DER -out "$t/p7b"
        echo '  <P7bContent>'
        b64_lines < "$t/p7b"
        echo '  </P7bContent>'
        echo '</root>'
    } | sed 's/$/\r/' > "$out"
    rm -rf "$t"
}

# ---- demonstration hierarchies ------------------------------------------------

WORK=
YEAR=$(date -u +%Y)

ca_config() {
    cat > "$WORK/ca.cnf" <<'EOF'
[ ca ]
default_ca = demo
[ demo ]
database = index.txt
new_certs_dir = newcerts
serial = serial
default_md = sha256
policy = policy_any
unique_subject = no
email_in_dn = no
copy_extensions = none
[ policy_any ]
commonName = supplied
organizationName = optional
organizationalUnitName = optional
countryName = optional
[ v3_root ]
basicConstraints = critical, CA:true
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[ v3_int ]
basicConstraints = critical, CA:true, pathlen:0
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[ req ]
distinguished_name = dn
[ dn ]
EOF
}

# new_key NAME rsa|sm2
new_key() {
    if [ "$2" = sm2 ]; then
        openssl genpkey -algorithm SM2 -out "$WORK/$1.key" 2>/dev/null
    else
        openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$WORK/$1.key" 2>/dev/null
    fi
}

# issue NAME ALG "/C=CN/O=.../CN=..." SERIAL_HEX START END ISSUER|self
# START and END are YYYYMMDDHHMMSSZ. Writes $WORK/NAME.pem (and NAME.key).
issue() {
    local name=$1 alg=$2 subj=$3 serial=$4 start=$5 end=$6 issuer=$7
    [ -f "$WORK/$name.key" ] || new_key "$name" "$alg"
    local md=sha256 sigopts=()
    if [ "$alg" = sm2 ]; then
        md=sm3
        sigopts=(-sigopt "distid:$SM2_ID" -vfyopt "distid:$SM2_ID")
    fi
    local d="$WORK/ca.$name"
    rm -rf "$d"; mkdir -p "$d/newcerts"; : > "$d/index.txt"; echo "$serial" > "$d/serial"
    local reqopts=()
    [ "$alg" = sm2 ] && reqopts=(-sigopt "distid:$SM2_ID")
    openssl req -new -config "$WORK/ca.cnf" -key "$WORK/$name.key" -subj "$subj" -"$md" "${reqopts[@]}" \
        -out "$d/req.csr" 2>/dev/null
    local signer=()
    if [ "$issuer" = self ]; then
        signer=(-selfsign -keyfile "$WORK/$name.key" -extensions v3_root)
    else
        signer=(-cert "$WORK/$issuer.pem" -keyfile "$WORK/$issuer.key" -extensions v3_int)
    fi
    (cd "$d" && openssl ca -config "$WORK/ca.cnf" -batch -notext -preserveDN -md "$md" "${sigopts[@]}" \
        "${signer[@]}" -in req.csr -out "$WORK/$name.pem" -startdate "$start" -enddate "$end" >/dev/null 2>&1) ||
        die "could not issue $name"
}

rand_serial() { printf '%X%X%s' $((RANDOM % 7 + 1)) $((RANDOM % 16)) "$(openssl rand -hex 7 | tr 'a-f' 'A-F')"; }

# Validity windows relative to today: current, long expired, not yet begun.
NOW_START="$((YEAR - 1))0101000000Z"
NOW_END="$((YEAR + 19))1231235959Z"
OLD_START="$((YEAR - 16))0101000000Z"
OLD_END="$((YEAR - 6))1231235959Z"
NEW_START="$((YEAR + 9))0101000000Z"
NEW_END="$((YEAR + 29))1231235959Z"

MANIFEST=

# chain ID ALG LABEL ROOTS(3|4)
demo_chain() {
    local id=$1 alg=$2 label=$3 nroots=$4 up
    up=$(echo "$alg" | tr a-z A-Z)
    local base="/C=CN/O=Tessaro Demo/OU=$label"
    local p="c$id"
    issue "${p}_root1" "$alg" "$base/CN=Tessaro Demo $up $label Root CA" "$(rand_serial)" "$NOW_START" "$NOW_END" self
    issue "${p}_rootold" "$alg" "$base/CN=Tessaro Demo $up $label Root CA 2010" "$(rand_serial)" "$OLD_START" "$OLD_END" self
    issue "${p}_rootnew" "$alg" "$base/CN=Tessaro Demo $up $label Root CA 2040" "$(rand_serial)" "$NEW_START" "$NEW_END" self
    local roots=("$WORK/${p}_root1.pem")
    echo "$id root VALID $(thumbprint "$WORK/${p}_root1.pem")" >> "$MANIFEST"
    if [ "$nroots" = 4 ]; then
        issue "${p}_root2" "$alg" "$base/CN=Tessaro Demo $up $label Root CA G2" "$(rand_serial)" "$NOW_START" "$NOW_END" self
        roots+=("$WORK/${p}_root2.pem")
        echo "$id root VALID $(thumbprint "$WORK/${p}_root2.pem")" >> "$MANIFEST"
    fi
    roots+=("$WORK/${p}_rootold.pem" "$WORK/${p}_rootnew.pem")
    echo "$id root EXPIRED $(thumbprint "$WORK/${p}_rootold.pem")" >> "$MANIFEST"
    echo "$id root NOTYETVALID $(thumbprint "$WORK/${p}_rootnew.pem")" >> "$MANIFEST"

    issue "${p}_int1" "$alg" "$base/CN=Tessaro Demo $up $label Issuing CA 1" "$(rand_serial)" "$NOW_START" "$NOW_END" "${p}_root1"
    issue "${p}_intold" "$alg" "$base/CN=Tessaro Demo $up $label Issuing CA 2010" "$(rand_serial)" "$OLD_START" "$OLD_END" "${p}_rootold"
    local chain=("$WORK/${p}_int1.pem" "$WORK/${p}_intold.pem" "$WORK/${p}_root1.pem")
    echo "$id p7b ADD $(thumbprint "$WORK/${p}_int1.pem")" >> "$MANIFEST"
    echo "$id p7b EXPIRED $(thumbprint "$WORK/${p}_intold.pem")" >> "$MANIFEST"
    echo "$id p7b SELFSIGNED $(thumbprint "$WORK/${p}_root1.pem")" >> "$MANIFEST"
    if [ "$nroots" = 4 ]; then
        issue "${p}_int2" "$alg" "$base/CN=Tessaro Demo $up $label Issuing CA 2" "$(rand_serial)" "$NOW_START" "$NOW_END" "${p}_root2"
        chain+=("$WORK/${p}_int2.pem" "$WORK/${p}_root2.pem")
        echo "$id p7b ADD $(thumbprint "$WORK/${p}_int2.pem")" >> "$MANIFEST"
        echo "$id p7b SELFSIGNED $(thumbprint "$WORK/${p}_root2.pem")" >> "$MANIFEST"
    fi
    # The not-yet-valid root is a trust anchor to come: its intermediate is
    # shipped too and, not being expired, is installed.
    issue "${p}_intnew" "$alg" "$base/CN=Tessaro Demo $up $label Issuing CA 2040" "$(rand_serial)" "$NEW_START" "$NEW_END" "${p}_rootnew"
    chain+=("$WORK/${p}_intnew.pem")
    echo "$id p7b ADD $(thumbprint "$WORK/${p}_intnew.pem")" >> "$MANIFEST"
    write_doc "$OUT_DOCS/ca-chain-$(echo "$alg-$label" | tr 'A-Z' 'a-z').xml" --roots "${roots[@]}" --chain "${chain[@]}"
}

# The CAs that earlier versions installed and the removal lists name.
FORMER_LIST=
former() {
    local name=$1 alg=$2 cn=$3 serial=$4 issuer=$5
    issue "$name" "$alg" "/C=CN/O=Tessaro Demo Former/CN=$cn" "$serial" "$NOW_START" "$NOW_END" "$issuer"
    cp "$WORK/$name.pem" "$OUT_FORMER/$name.pem"
}
list_int() {  # list_int LIST STEP CERT
    printf '    // %s %s\n    {kIntermediate, u"%s",\n     u"%s", u"%s",\n     nullptr},\n' "$1" "$2" "$(issuer_dn "$WORK/$3.pem")" \
        "$(serial_hex "$WORK/$3.pem")" "$(subject_dn "$WORK/$3.pem")" >> "$FORMER_LIST"
}
list_root() {  # list_root LIST STEP CERT
    printf '    // %s %s\n    {kRoot, u"%s",\n     u"%s", u"%s",\n     u"%s"},\n' "$1" "$2" \
        "$(subject_dn "$WORK/$3.pem")" "$(serial_hex "$WORK/$3.pem")" "$(subject_dn "$WORK/$3.pem")" \
        "$(thumbprint "$WORK/$3.pem")" >> "$FORMER_LIST"
}

demo() {
    local repo=${1:-$(cd "$(dirname "$0")/../.." && pwd)}
    OUT_DOCS="$repo/resources/chains"
    OUT_FORMER="$repo/tests/store/data/former"
    MANIFEST="$repo/tests/store/data/chains.txt"
    mkdir -p "$OUT_DOCS" "$OUT_FORMER"
    WORK=$(mktemp -d)
    trap 'rm -rf "$WORK"' EXIT
    ca_config
    {
        echo "# resource kind status SHA-1 thumbprint, written by make-chain-docs.sh"
        echo "# root: VALID and NOTYETVALID are written to the registry, EXPIRED is skipped"
        echo "# p7b: ADD goes to the machine CA store, EXPIRED and SELFSIGNED are skipped"
    } > "$MANIFEST"
    demo_chain 208 rsa operation 4
    demo_chain 209 sm2 operation 4
    demo_chain 210 rsa test 3
    demo_chain 211 sm2 test 3

    FORMER_LIST="$OUT_FORMER/list.txt"
    : > "$FORMER_LIST"
    local g
    for g in A B C D; do
        former "rsa_root_$g" rsa "Tessaro Former RSA Root $g" "4${g}00000000000000" self
        former "rsa_int_${g}1" rsa "Tessaro Former RSA Issuing CA ${g}1" "4${g}000000000000${g}1" "rsa_root_$g"
    done
    # Re-issued under root D with the serial and subject of A1.
    issue rsa_int_D_A1 rsa "/C=CN/O=Tessaro Demo Former/CN=Tessaro Former RSA Issuing CA A1" 4A000000000000A1 \
        "$NOW_START" "$NOW_END" rsa_root_D
    cp "$WORK/rsa_int_D_A1.pem" "$OUT_FORMER/rsa_int_D_A1.pem"
    # Same issuer and subject as A1, another serial: not on any list.
    issue rsa_keep_A1 rsa "/C=CN/O=Tessaro Demo Former/CN=Tessaro Former RSA Issuing CA A1" 4A000000000000A9 \
        "$NOW_START" "$NOW_END" rsa_root_A
    cp "$WORK/rsa_keep_A1.pem" "$OUT_FORMER/rsa_keep_A1.pem"
    former sm2_root_E sm2 "Tessaro Former SM2 Root E" 5E00000000000000 self
    former sm2_int_E1 sm2 "Tessaro Former SM2 Issuing CA E1" 5E000000000000E1 sm2_root_E
    former sm2_int_E2 sm2 "Tessaro Former SM2 Issuing CA E2" 5E000000000000E2 sm2_root_E
    former sm2_root_F sm2 "Tessaro Former SM2 Root F" 5F00000000000000 self
    former sm2_int_F1 sm2 "Tessaro Former SM2 Issuing CA F1" 5F000000000000F1 sm2_root_F
    former sm2_root_G sm2 "Tessaro Former SM2 Root G" 5C00000000000000 self
    former sm2_int_G1 sm2 "Tessaro Former SM2 Issuing CA G1" 5C000000000000C1 sm2_root_G
    former sm2_int_G2 sm2 "Tessaro Former SM2 Issuing CA G2" 5C000000000000C2 sm2_root_G

    echo "// RSA list" >> "$FORMER_LIST"
    list_int RSA 1 rsa_int_A1; list_root RSA 2 rsa_root_A
    list_int RSA 3 rsa_int_B1; list_root RSA 4 rsa_root_B
    list_int RSA 5 rsa_int_C1; list_root RSA 6 rsa_root_C
    list_int RSA 7 rsa_int_D1; list_int RSA 8 rsa_int_D_A1; list_root RSA 9 rsa_root_D
    echo "// SM2 list" >> "$FORMER_LIST"
    list_int SM2 1 sm2_int_E1; list_int SM2 2 sm2_int_E2; list_root SM2 3 sm2_root_E
    list_int SM2 4 sm2_int_F1; list_root SM2 5 sm2_root_F
    list_int SM2 6 sm2_int_G1; list_int SM2 7 sm2_int_G2; list_root SM2 8 sm2_root_G
    echo "documents in $OUT_DOCS, manifest $MANIFEST, former CAs and removal table in $OUT_FORMER"
}

case ${1:-} in
    doc) shift; [ $# -ge 1 ] || die "doc needs an output file"; out=$1; shift; write_doc "$out" "$@" ;;
    demo) shift; demo "$@" ;;
    *) sed -n '2,20p' "$0" | sed 's/^# \{0,1\}//'; exit 2 ;;
esac
