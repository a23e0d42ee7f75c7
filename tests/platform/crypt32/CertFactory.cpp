#include "tests/platform/crypt32/CertFactory.h"

#include <openssl/bn.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <stdexcept>

namespace crypt32_test {

namespace {

EVP_PKEY* Generate(const char* alg, int bits) {
    EVP_PKEY* k = bits ? EVP_PKEY_Q_keygen(nullptr, nullptr, alg, static_cast<size_t>(bits))
                       : EVP_PKEY_Q_keygen(nullptr, nullptr, alg);
    if (!k) throw std::runtime_error("key generation failed");
    return k;
}

X509_NAME* BuildName(const std::vector<NameEntry>& entries) {
    X509_NAME* n = X509_NAME_new();
    for (const auto& e : entries) {
        ASN1_OBJECT* obj = OBJ_txt2obj(e.oid.c_str(), 1);
        X509_NAME_ENTRY* ne = X509_NAME_ENTRY_create_by_OBJ(nullptr, obj, e.type,
                                                            reinterpret_cast<const unsigned char*>(e.value.data()),
                                                            static_cast<int>(e.value.size()));
        ASN1_OBJECT_free(obj);
        if (!ne) throw std::runtime_error("name entry");
        X509_NAME_add_entry(n, ne, -1, e.samePlus ? -1 : 0);
        X509_NAME_ENTRY_free(ne);
    }
    return n;
}

}  // namespace

EVP_PKEY* SharedRsaKey() {
    static EVP_PKEY* k = Generate("RSA", 1024);
    return k;
}
EVP_PKEY* SharedRsaKey2() {
    static EVP_PKEY* k = Generate("RSA", 1024);
    return k;
}
EVP_PKEY* SharedSm2Key() {
    static EVP_PKEY* k = Generate("SM2", 0);
    return k;
}

Bytes EncodeName(const std::vector<NameEntry>& entries) {
    X509_NAME* n = BuildName(entries);
    unsigned char* der = nullptr;
    int len = i2d_X509_NAME(n, &der);
    Bytes out(der, der + len);
    OPENSSL_free(der);
    X509_NAME_free(n);
    return out;
}

Bytes MakeCert(const CertSpec& spec) {
    EVP_PKEY* key = spec.subjectKey ? spec.subjectKey : (spec.sm2 ? SharedSm2Key() : SharedRsaKey());
    X509* x = X509_new();
    X509_set_version(x, spec.version);
    {
        // The INTEGER's content octets exactly as given.
        ASN1_INTEGER* ai = ASN1_INTEGER_new();
        Bytes der = {0x02, static_cast<uint8_t>(spec.serial.size())};
        der.insert(der.end(), spec.serial.begin(), spec.serial.end());
        const unsigned char* p = der.data();
        ASN1_INTEGER* parsed = d2i_ASN1_INTEGER(nullptr, &p, static_cast<long>(der.size()));
        if (!parsed) throw std::runtime_error("serial");
        X509_set_serialNumber(x, parsed);
        ASN1_INTEGER_free(parsed);
        ASN1_INTEGER_free(ai);
    }
    X509_NAME* subj = BuildName(spec.subject);
    X509_NAME* iss = BuildName(spec.issuer.empty() ? spec.subject : spec.issuer);
    X509_set_subject_name(x, subj);
    X509_set_issuer_name(x, iss);
    X509_NAME_free(subj);
    X509_NAME_free(iss);
    ASN1_TIME_set(X509_getm_notBefore(x), spec.notBefore);
    ASN1_TIME_set(X509_getm_notAfter(x), spec.notAfter);
    X509_set_pubkey(x, key);
    for (const auto& e : spec.extensions) {
        ASN1_OBJECT* obj = OBJ_txt2obj(e.oid.c_str(), 1);
        ASN1_OCTET_STRING* os = ASN1_OCTET_STRING_new();
        ASN1_OCTET_STRING_set(os, e.value.data(), static_cast<int>(e.value.size()));
        X509_EXTENSION* ext = X509_EXTENSION_create_by_OBJ(nullptr, obj, e.critical ? 1 : 0, os);
        X509_add_ext(x, ext, -1);
        X509_EXTENSION_free(ext);
        ASN1_OCTET_STRING_free(os);
        ASN1_OBJECT_free(obj);
    }
    // Signed by the shared key of the kind (self-signed when that is the subject key).
    EVP_PKEY* signer = spec.sm2 ? SharedSm2Key() : SharedRsaKey();
    if (!X509_sign(x, signer, spec.sm2 ? EVP_sm3() : EVP_sha256())) throw std::runtime_error("sign");
    unsigned char* der = nullptr;
    int len = i2d_X509(x, &der);
    Bytes out(der, der + len);
    OPENSSL_free(der);
    X509_free(x);
    return out;
}

Bytes MakeP7b(const std::vector<Bytes>& certs) {
    PKCS7* p7 = PKCS7_new();
    PKCS7_set_type(p7, NID_pkcs7_signed);
    PKCS7_content_new(p7, NID_pkcs7_data);
    for (const auto& c : certs) {
        const unsigned char* p = c.data();
        X509* x = d2i_X509(nullptr, &p, static_cast<long>(c.size()));
        PKCS7_add_certificate(p7, x);
        X509_free(x);
    }
    unsigned char* der = nullptr;
    int len = i2d_PKCS7(p7, &der);
    Bytes out(der, der + len);
    OPENSSL_free(der);
    PKCS7_free(p7);
    return out;
}

Bytes SpkiOf(EVP_PKEY* key) {
    unsigned char* der = nullptr;
    int len = i2d_PUBKEY(key, &der);
    Bytes out(der, der + len);
    OPENSSL_free(der);
    return out;
}

uint64_t FileTimeOf(time_t t) { return (static_cast<uint64_t>(t) + 11644473600ull) * 10000000ull; }

std::u16string U16(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

std::string Narrow(const std::u16string& s) {
    std::string r;
    for (char16_t c : s) r += c < 0x80 ? static_cast<char>(c) : '?';
    return r;
}

}  // namespace crypt32_test
