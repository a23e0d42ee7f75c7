// The tests' one maker of keys and certificates, with OpenSSL: RSA, SM2 and
// P-256 keys; self-signed or issued certificates with a chosen subject,
// issuer, serial, validity (as a time or as the raw text) and extensions;
// DER out. Like every OpenSSL header it comes before the platform's Windows
// headers, whose structure-type macros (X509_NAME, ...) share OpenSSL's names.
#pragma once

#include "platform/base/OpenSslPtr.h"

#include <cstdint>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

namespace tessaro_test::pki {

using Bytes = std::vector<uint8_t>;
using Key = tessaro::UniquePtr<EVP_PKEY>;

Key NewRsaKey(int bits = 1024);
Key NewSm2Key();
Key NewP256Key();
// The SM2 public key of an uncompressed point (04||x||y).
Key Sm2PublicKey(const Bytes& point);

// An RSA key's PKCS#1 RSAPrivateKey as OpenSSL encodes it, and its numbers
// big-endian without leading zeros.
struct RsaNumbers {
    Bytes pkcs1;
    Bytes n, e, d, p, q, dp, dq, qinv;
};
RsaNumbers RsaNumbersOf(const EVP_PKEY* key);

// Keys made once per process, for certificates whose key does not matter.
EVP_PKEY* SharedRsaKey();
EVP_PKEY* SharedRsaKey2();
EVP_PKEY* SharedSm2Key();

// One attribute of a name: {"CN", "text"} is UTF-8 text converted as OpenSSL
// does, {"2.5.4.3", V_ASN1_PRINTABLESTRING, "raw"} the content octets as given
// under that string type. samePlus puts it into the previous RDN.
struct NameEntry {
    NameEntry(std::string f, std::string v, bool plus = false)
        : field(std::move(f)), value(std::move(v)), samePlus(plus) {}
    NameEntry(std::string f, int t, std::string v, bool plus = false)
        : field(std::move(f)), value(std::move(v)), type(t), samePlus(plus) {}
    std::string field;  // short name ("CN") or dotted OID
    std::string value;
    int type = MBSTRING_UTF8;
    bool samePlus = false;
};
using Name = std::vector<NameEntry>;

// An extension with its value's DER as given.
struct Extension {
    std::string oid;
    bool critical = false;
    Bytes value;
};

struct CertSpec {
    Name subject = {{"2.5.4.3", V_ASN1_PRINTABLESTRING, "Test"}};  // in encoding order
    Name issuer;                       // empty: the subject
    Bytes serial = {0x01};             // content octets of the INTEGER, as encoded
    time_t notBefore = 1600000000;     // 2020-09-13 12:26:40 UTC
    time_t notAfter = 1900000000;      // 2030-03-17 17:46:40 UTC
    // When set, the validity exactly as this UTCTime or GeneralizedTime text.
    std::string notBeforeText, notAfterText;
    int version = 2;                   // 0 = v1, 2 = v3
    bool sm2 = false;                  // the shared SM2 key signs with SM3 (else the shared RSA key, SHA-256)
    EVP_PKEY* signer = nullptr;        // null: the shared key of the kind
    EVP_PKEY* subjectKey = nullptr;    // null: the signer's (self-signed)
    int keyUsage = -1;                 // first key-usage byte (critical), or -1 for none
    Bytes subjectKeyId;                // empty: no extension
    std::vector<Extension> extensions;
    // Extensions in OpenSSL's configuration form, e.g. {"basicConstraints", "critical,CA:TRUE"}.
    std::vector<std::pair<std::string, std::string>> v3;
};

// The DER; throws std::runtime_error when OpenSSL refuses.
Bytes MakeCert(const CertSpec& spec);

// Content octets of a (non-negative) INTEGER, as ASN1_INTEGER_set makes them.
Bytes Serial(long value);

// DER of a name alone.
Bytes EncodeName(const Name& entries);
// PKCS#7 SignedData (degenerate: no signers) carrying the certificates.
Bytes MakeP7b(const std::vector<Bytes>& certs);
// SubjectPublicKeyInfo DER of a key.
Bytes SpkiOf(EVP_PKEY* key);
// A certificate parsed back (null when it does not parse).
tessaro::UniquePtr<X509> ParseCert(const Bytes& der);

}  // namespace tessaro_test::pki
