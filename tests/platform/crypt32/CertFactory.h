// Test certificates made with OpenSSL: RSA or SM2 keys, chosen serial bytes,
// names with chosen string types, raw extensions, validity.
#pragma once

#include <openssl/evp.h>

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "win/windows.h"

namespace crypt32_test {

using Bytes = std::vector<uint8_t>;

struct NameEntry {
    std::string oid;     // dotted
    int type;            // V_ASN1_PRINTABLESTRING, V_ASN1_UTF8STRING, V_ASN1_BMPSTRING, ...
    std::string value;   // the raw content octets
    bool samePlus = false;  // part of the previous RDN (multi-valued)
};

struct Extension {
    std::string oid;
    bool critical = false;
    Bytes value;  // DER of the extension value
};

struct CertSpec {
    bool sm2 = false;
    Bytes serial = {0x01};  // content octets of the INTEGER, as encoded
    std::vector<NameEntry> subject = {{"2.5.4.3", 0x13, "Test"}};
    std::vector<NameEntry> issuer;  // empty: same as subject
    time_t notBefore = 1600000000;  // 2020-09-13 12:26:40 UTC
    time_t notAfter = 1900000000;   // 2030-03-17 17:46:40 UTC
    std::vector<Extension> extensions;
    EVP_PKEY* subjectKey = nullptr;  // null: a shared key of the kind
    int version = 2;                 // 0 = v1, 2 = v3
};

EVP_PKEY* SharedRsaKey();
EVP_PKEY* SharedRsaKey2();
EVP_PKEY* SharedSm2Key();

Bytes MakeCert(const CertSpec& spec);
Bytes EncodeName(const std::vector<NameEntry>& entries);
// PKCS#7 SignedData (degenerate: no signers) carrying the certificates.
Bytes MakeP7b(const std::vector<Bytes>& certs);
// SubjectPublicKeyInfo DER of a key.
Bytes SpkiOf(EVP_PKEY* key);

// FILETIME value of a Unix time.
uint64_t FileTimeOf(time_t t);
// Points the certificate's key-provider property at a container of the
// enhanced RSA provider; the assertion fails the calling test.
void SetProvInfo(PCCERT_CONTEXT c, const std::u16string& container, DWORD spec = AT_SIGNATURE);

std::u16string U16(const std::string& ascii);
std::string Narrow(const std::u16string& s);  // for messages; non-ASCII becomes '?'

}  // namespace crypt32_test
