// OpenSSL's headers come before the Windows headers CertFactory.h brings.
#include <gtest/gtest.h>

#include <openssl/bn.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <stdexcept>

#include "platform/base/OpenSslPtr.h"
#include "tests/platform/crypt32/CertFactory.h"

namespace crypt32_test {

namespace {

EVP_PKEY* Generate(const char* alg, int bits) {
    EVP_PKEY* k = bits ? EVP_PKEY_Q_keygen(nullptr, nullptr, alg, static_cast<size_t>(bits))
                       : EVP_PKEY_Q_keygen(nullptr, nullptr, alg);
    if (!k) throw std::runtime_error("key generation failed");
    return k;
}

using tessaro::UniquePtr;
// X509_NAME, once the Windows headers are in, is a CryptoAPI structure type.
using OwnedName = UniquePtr<X509_name_st>;

OwnedName BuildName(const std::vector<NameEntry>& entries) {
    OwnedName n(X509_NAME_new());
    for (const auto& e : entries) {
        UniquePtr<ASN1_OBJECT> obj(OBJ_txt2obj(e.oid.c_str(), 1));
        UniquePtr<X509_NAME_ENTRY> ne(X509_NAME_ENTRY_create_by_OBJ(
            nullptr, obj.get(), e.type, reinterpret_cast<const unsigned char*>(e.value.data()),
            static_cast<int>(e.value.size())));
        if (!ne) throw std::runtime_error("name entry");
        X509_NAME_add_entry(n.get(), ne.get(), -1, e.samePlus ? -1 : 0);
    }
    return n;
}

// The DER an i2d function writes for an object.
template <typename T, typename Encode>
Bytes Der(T* obj, Encode i2d) {
    unsigned char* der = nullptr;
    int len = i2d(obj, &der);
    if (len <= 0) throw std::runtime_error("encode");
    tessaro::OpenSslBuffer<unsigned char> owned(der);
    return Bytes(der, der + len);
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

Bytes EncodeName(const std::vector<NameEntry>& entries) { return Der(BuildName(entries).get(), i2d_X509_NAME); }

Bytes MakeCert(const CertSpec& spec) {
    EVP_PKEY* key = spec.subjectKey ? spec.subjectKey : (spec.sm2 ? SharedSm2Key() : SharedRsaKey());
    UniquePtr<X509> x(X509_new());
    X509_set_version(x.get(), spec.version);
    {
        // The INTEGER's content octets exactly as given.
        Bytes der = {0x02, static_cast<uint8_t>(spec.serial.size())};
        der.insert(der.end(), spec.serial.begin(), spec.serial.end());
        const unsigned char* p = der.data();
        UniquePtr<ASN1_STRING> parsed(d2i_ASN1_INTEGER(nullptr, &p, static_cast<long>(der.size())));
        if (!parsed) throw std::runtime_error("serial");
        X509_set_serialNumber(x.get(), parsed.get());
    }
    X509_set_subject_name(x.get(), BuildName(spec.subject).get());
    X509_set_issuer_name(x.get(), BuildName(spec.issuer.empty() ? spec.subject : spec.issuer).get());
    ASN1_TIME_set(X509_getm_notBefore(x.get()), spec.notBefore);
    ASN1_TIME_set(X509_getm_notAfter(x.get()), spec.notAfter);
    X509_set_pubkey(x.get(), key);
    for (const auto& e : spec.extensions) {
        UniquePtr<ASN1_OBJECT> obj(OBJ_txt2obj(e.oid.c_str(), 1));
        UniquePtr<ASN1_STRING> os(ASN1_OCTET_STRING_new());
        ASN1_OCTET_STRING_set(os.get(), e.value.data(), static_cast<int>(e.value.size()));
        UniquePtr<X509_EXTENSION> ext(X509_EXTENSION_create_by_OBJ(nullptr, obj.get(), e.critical ? 1 : 0, os.get()));
        X509_add_ext(x.get(), ext.get(), -1);
    }
    // Signed by the shared key of the kind (self-signed when that is the subject key).
    EVP_PKEY* signer = spec.sm2 ? SharedSm2Key() : SharedRsaKey();
    if (!X509_sign(x.get(), signer, spec.sm2 ? EVP_sm3() : EVP_sha256())) throw std::runtime_error("sign");
    return Der(x.get(), i2d_X509);
}

Bytes MakeP7b(const std::vector<Bytes>& certs) {
    UniquePtr<PKCS7> p7(PKCS7_new());
    PKCS7_set_type(p7.get(), NID_pkcs7_signed);
    PKCS7_content_new(p7.get(), NID_pkcs7_data);
    for (const auto& c : certs) {
        const unsigned char* p = c.data();
        UniquePtr<X509> x(d2i_X509(nullptr, &p, static_cast<long>(c.size())));
        PKCS7_add_certificate(p7.get(), x.get());
    }
    return Der(p7.get(), i2d_PKCS7);
}

Bytes SpkiOf(EVP_PKEY* key) { return Der(key, i2d_PUBKEY); }

void SetProvInfo(PCCERT_CONTEXT c, const std::u16string& container, DWORD spec) {
    std::u16string prov = MS_ENHANCED_PROV_W;
    CRYPT_KEY_PROV_INFO kpi{};
    kpi.pwszContainerName = const_cast<char16_t*>(container.c_str());
    kpi.pwszProvName = prov.data();
    kpi.dwProvType = PROV_RSA_FULL;
    kpi.dwKeySpec = spec;
    ASSERT_TRUE(CertSetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, 0, &kpi));
}

uint64_t FileTimeOf(time_t t) { return (static_cast<uint64_t>(t) + 11644473600ull) * 10000000ull; }

std::u16string U16(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

std::string Narrow(const std::u16string& s) {
    std::string r;
    for (char16_t c : s) r += c < 0x80 ? static_cast<char>(c) : '?';
    return r;
}

}  // namespace crypt32_test
