// The private key behind a certificate: through the context's key-provider
// property, or through the certificate's registration in the user's "My" store.
#include <gtest/gtest.h>

#include <openssl/x509.h>

#include <cstring>

#include "tests/support/CertTestKit.h"
#include "tests/support/TestPki.h"
#include "tests/support/TestSupport.h"
#include "win/windows.h"

using namespace tessaro_test::pki;

namespace {

constexpr DWORD kEnc = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

using tessaro_test::Tlv;

// The container's public key as an OpenSSL key, from CryptExportPublicKeyInfo.
EVP_PKEY* ContainerKey(HCRYPTPROV prov, DWORD spec) {
    DWORD cb = 0;
    if (!CryptExportPublicKeyInfo(prov, spec, X509_ASN_ENCODING, nullptr, &cb)) return nullptr;
    Bytes buf(cb);
    auto* pki = reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(buf.data());
    if (!CryptExportPublicKeyInfo(prov, spec, X509_ASN_ENCODING, pki, &cb)) return nullptr;
    Bytes alg = Tlv(0x30, {0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01, 0x05, 0x00});
    Bytes bits = {0x00};
    bits.insert(bits.end(), pki->PublicKey.pbData, pki->PublicKey.pbData + pki->PublicKey.cbData);
    Bytes seq = alg;
    Bytes bs = Tlv(0x03, bits);
    seq.insert(seq.end(), bs.begin(), bs.end());
    Bytes spki = Tlv(0x30, seq);
    const unsigned char* p = spki.data();
    return d2i_PUBKEY(nullptr, &p, static_cast<long>(spki.size()));
}

struct Container {
    HCRYPTPROV prov = 0;
    std::u16string name;
    explicit Container(const std::u16string& n) : name(n) {
        if (!CryptAcquireContextW(&prov, name.c_str(), MS_ENHANCED_PROV_W, PROV_RSA_FULL, CRYPT_NEWKEYSET)) prov = 0;
        HCRYPTKEY k = 0;
        if (prov && CryptGenKey(prov, AT_SIGNATURE, (1024u << 16), &k)) CryptDestroyKey(k);
    }
    ~Container() {
        if (prov) CryptReleaseContext(prov, 0);
    }
};

std::string ContainerOfProvider(HCRYPTPROV h) {
    DWORD cb = 0;
    if (!CryptGetProvParam(h, PP_CONTAINER, nullptr, &cb, 0)) return "";
    std::string s(cb, '\0');
    CryptGetProvParam(h, PP_CONTAINER, reinterpret_cast<BYTE*>(s.data()), &cb, 0);
    return std::string(s.c_str());
}

}  // namespace

TEST(AcquirePrivateKey, ThroughThePropertyOrTheUserStoreRegistration) {
    Container box(u"{crypt32-pk-1}");
    ASSERT_NE(box.prov, 0u) << std::hex << GetLastError();
    EVP_PKEY* pub = ContainerKey(box.prov, AT_SIGNATURE);
    ASSERT_NE(pub, nullptr);
    CertSpec spec;
    spec.subjectKey = pub;
    spec.issuer = {{"2.5.4.3", 0x13, "Some CA"}};
    spec.serial = {0x42};
    Bytes der = MakeCert(spec);
    EVP_PKEY_free(pub);

    PCCERT_CONTEXT loose = CertCreateCertificateContext(kEnc, der.data(), static_cast<DWORD>(der.size()));
    HCRYPTPROV h = 1;
    DWORD keySpec = 0;
    BOOL callerFree = FALSE;
    EXPECT_FALSE(CryptAcquireCertificatePrivateKey(loose, 0, nullptr, &h, &keySpec, &callerFree));
    EXPECT_EQ(static_cast<HRESULT>(GetLastError()), CRYPT_E_NO_KEY_PROPERTY);
    EXPECT_EQ(h, 0u);

    // Registered in the user's "My" store: a context without the property finds its key.
    HCERTSTORE my = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, u"MY");
    PCCERT_CONTEXT inStore = nullptr;
    ASSERT_TRUE(CertAddEncodedCertificateToStore(my, kEnc, der.data(), static_cast<DWORD>(der.size()),
                                                 CERT_STORE_ADD_REPLACE_EXISTING, &inStore));
    ASSERT_TRUE(certkit::SetKeyProvInfo(inStore, box.name, MS_ENHANCED_PROV_W, AT_SIGNATURE));
    CertFreeCertificateContext(inStore);
    CertCloseStore(my, 0);
    ASSERT_TRUE(CryptAcquireCertificatePrivateKey(loose, CRYPT_ACQUIRE_COMPARE_KEY_FLAG, nullptr, &h, &keySpec,
                                                  &callerFree))
        << std::hex << GetLastError();
    EXPECT_EQ(keySpec, static_cast<DWORD>(AT_SIGNATURE));
    EXPECT_TRUE(callerFree);
    EXPECT_EQ(ContainerOfProvider(h), "{crypt32-pk-1}");
    CryptReleaseContext(h, 0);

    // Cached on the context: the same handle, not the caller's to release.
    HCRYPTPROV h1 = 0, h2 = 0;
    ASSERT_TRUE(CryptAcquireCertificatePrivateKey(loose, CRYPT_ACQUIRE_CACHE_FLAG, nullptr, &h1, &keySpec, &callerFree));
    EXPECT_FALSE(callerFree);
    ASSERT_TRUE(CryptAcquireCertificatePrivateKey(loose, CRYPT_ACQUIRE_CACHE_FLAG, nullptr, &h2, nullptr, nullptr));
    EXPECT_EQ(h1, h2);
    CertFreeCertificateContext(loose);
}

TEST(AcquirePrivateKey, AKeyThatIsNotTheCertificatesOrAMissingContainer) {
    Container box(u"{crypt32-pk-2}");
    ASSERT_NE(box.prov, 0u);
    // A certificate of another key that claims this container.
    Bytes der = MakeCert(CertSpec{});
    PCCERT_CONTEXT c = CertCreateCertificateContext(kEnc, der.data(), static_cast<DWORD>(der.size()));
    ASSERT_TRUE(certkit::SetKeyProvInfo(c, box.name, MS_ENHANCED_PROV_W, AT_SIGNATURE));
    HCRYPTPROV h = 0;
    EXPECT_FALSE(CryptAcquireCertificatePrivateKey(c, CRYPT_ACQUIRE_COMPARE_KEY_FLAG, nullptr, &h, nullptr, nullptr));
    EXPECT_EQ(static_cast<HRESULT>(GetLastError()), NTE_BAD_PUBLIC_KEY);
    EXPECT_EQ(h, 0u);
    // Without the comparison the container opens: the property is all there is to follow.
    ASSERT_TRUE(CryptAcquireCertificatePrivateKey(c, 0, nullptr, &h, nullptr, nullptr));
    CryptReleaseContext(h, 0);
    // A container that does not exist: the provider's failure.
    ASSERT_TRUE(certkit::SetKeyProvInfo(c, u"{crypt32-no-such-container}", MS_ENHANCED_PROV_W, AT_SIGNATURE));
    EXPECT_FALSE(CryptAcquireCertificatePrivateKey(c, 0, nullptr, &h, nullptr, nullptr));
    EXPECT_EQ(static_cast<HRESULT>(GetLastError()), NTE_BAD_KEYSET);
    CertFreeCertificateContext(c);
    EXPECT_FALSE(CryptAcquireCertificatePrivateKey(nullptr, 0, nullptr, &h, nullptr, nullptr));
    EXPECT_EQ(static_cast<HRESULT>(GetLastError()), E_INVALIDARG);
}

TEST(StoreProvider, TheStoreReleasesAProviderHandleUnlessToldNotTo) {
    HCRYPTPROV kept = 0, given = 0;
    ASSERT_TRUE(CryptAcquireContextW(&kept, nullptr, MS_ENHANCED_PROV_W, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    ASSERT_TRUE(CryptAcquireContextW(&given, nullptr, MS_ENHANCED_PROV_W, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    HCERTSTORE a = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, kept,
                                 CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_NO_CRYPT_RELEASE_FLAG, u"My");
    HCERTSTORE b = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, given, 0, nullptr);
    ASSERT_TRUE(a && b);
    EXPECT_TRUE(CertCloseStore(a, 0));
    EXPECT_TRUE(CertCloseStore(b, 0));
    EXPECT_TRUE(CryptReleaseContext(kept, 0));
    EXPECT_FALSE(CryptReleaseContext(given, 0));  // already released by the store
}
