// The PKCS#11 module in-process, through its function list, over prefixes
// that hold enrolled certificates: the token, the objects, the mechanisms
// (checked with OpenSSL) and the answers to bad calls.
#include "tests/support/TestPki.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "pkcs11/Pkcs11.h"
#include "tests/support/CertTestKit.h"
#include "tests/support/TestSupport.h"
#include "tessaro/Handles.h"
#include "win/wincrypt.h"

namespace {

using Bytes = std::vector<uint8_t>;
namespace pki = tessaro_test::pki;

const char16_t kMicrosoft[] = u"Microsoft Enhanced Cryptographic Provider v1.0";
const char16_t kVendor[] = u"Tessaro RSA Token CSP v1.0";

CK_FUNCTION_LIST_PTR F() {
    CK_FUNCTION_LIST_PTR f = nullptr;
    EXPECT_EQ(CKR_OK, C_GetFunctionList(&f));
    return f;
}

// A container key of 2048 bits and a certificate for it issued by the test
// key; bound in the user's "My" store (Microsoft) or on the key (vendor).
struct Enrolled {
    Bytes der;
    pki::Key pub;
};

Enrolled Enroll(const std::u16string& provider, const std::u16string& container, DWORD spec, const std::string& cn,
                bool inStore) {
    Enrolled e;
    tessaro::UniqueCryptProv prov;
    if (!CryptAcquireContextW(prov.put(), container.c_str(), provider.c_str(), PROV_RSA_FULL, CRYPT_NEWKEYSET))
        return e;
    tessaro::UniqueCryptKey key;
    if (!CryptGenKey(prov.get(), spec, 2048u << 16, key.put())) return e;
    DWORD cb = 0;
    CryptExportPublicKeyInfo(prov.get(), spec, X509_ASN_ENCODING, nullptr, &cb);
    std::vector<BYTE> buf(cb);
    auto* info = reinterpret_cast<PCERT_PUBLIC_KEY_INFO>(buf.data());
    if (!CryptExportPublicKeyInfo(prov.get(), spec, X509_ASN_ENCODING, info, &cb)) return e;
    const unsigned char* p = info->PublicKey.pbData;
    e.pub.reset(d2i_PublicKey(EVP_PKEY_RSA, nullptr, &p, info->PublicKey.cbData));
    certkit::CertSpec spec2;
    spec2.subject = {{"O", "Tessaro"}, {"CN", cn}};
    spec2.issuer = {{"CN", "Test CA"}};
    spec2.subjectKey = e.pub.get();
    spec2.signer = pki::SharedRsaKey();
    e.der = pki::MakeCert(spec2);
    bool ok = inStore ? certkit::AddToMyStore(e.der, container, provider, spec)
                      : CryptSetKeyParam(key.get(), KP_CERTIFICATE, e.der.data(), 0) != FALSE;
    if (!ok) e.der.clear();
    return e;
}

bool Verify(EVP_PKEY* pub, const Bytes& sig, const Bytes& tbs, const EVP_MD* md, bool pss, int salt = -1) {
    tessaro::UniquePtr<EVP_PKEY_CTX> c(EVP_PKEY_CTX_new(pub, nullptr));
    if (EVP_PKEY_verify_init(c.get()) != 1) return false;
    EVP_PKEY_CTX_set_rsa_padding(c.get(), pss ? RSA_PKCS1_PSS_PADDING : RSA_PKCS1_PADDING);
    if (md) EVP_PKEY_CTX_set_signature_md(c.get(), md);
    if (pss) EVP_PKEY_CTX_set_rsa_pss_saltlen(c.get(), salt);
    return EVP_PKEY_verify(c.get(), sig.data(), sig.size(), tbs.data(), tbs.size()) == 1;
}

Bytes Sha(const EVP_MD* md, const Bytes& data) {
    Bytes out(EVP_MD_get_size(md));
    unsigned n = 0;
    EVP_Digest(data.data(), data.size(), out.data(), &n, md, nullptr);
    return out;
}

class Pkcs11Module : public ::testing::Test {
protected:
    void SetUp() override {
        f = F();
        ASSERT_EQ(CKR_OK, f->C_Initialize(nullptr));
        ASSERT_EQ(CKR_OK, f->C_OpenSession(1, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &s));
    }
    void TearDown() override { f->C_Finalize(nullptr); }

    std::vector<CK_OBJECT_HANDLE> Find(std::vector<CK_ATTRIBUTE> t) {
        std::vector<CK_OBJECT_HANDLE> out(64);
        CK_ULONG n = 0;
        EXPECT_EQ(CKR_OK, f->C_FindObjectsInit(s, t.data(), t.size()));
        EXPECT_EQ(CKR_OK, f->C_FindObjects(s, out.data(), out.size(), &n));
        EXPECT_EQ(CKR_OK, f->C_FindObjectsFinal(s));
        out.resize(n);
        return out;
    }
    std::vector<CK_OBJECT_HANDLE> OfClass(CK_OBJECT_CLASS cls) {
        return Find({{CKA_CLASS, &cls, sizeof cls}});
    }
    Bytes Attr(CK_OBJECT_HANDLE o, CK_ATTRIBUTE_TYPE type) {
        CK_ATTRIBUTE a{type, nullptr, 0};
        if (f->C_GetAttributeValue(s, o, &a, 1) != CKR_OK) return {0xEE};
        Bytes v(a.ulValueLen);
        a.pValue = v.data();
        EXPECT_EQ(CKR_OK, f->C_GetAttributeValue(s, o, &a, 1));
        return v;
    }
    // The private key whose CKA_ID is the certificate's.
    CK_OBJECT_HANDLE KeyOf(const Bytes& der) {
        for (CK_OBJECT_HANDLE c : OfClass(CKO_CERTIFICATE)) {
            if (Attr(c, CKA_VALUE) != der) continue;
            Bytes id = Attr(c, CKA_ID);
            CK_OBJECT_CLASS cls = CKO_PRIVATE_KEY;
            auto keys = Find({{CKA_CLASS, &cls, sizeof cls}, {CKA_ID, id.data(), id.size()}});
            return keys.size() == 1 ? keys[0] : 0;
        }
        return 0;
    }
    CK_RV Sign(CK_OBJECT_HANDLE key, CK_MECHANISM mech, const Bytes& data, Bytes* sig) {
        if (CK_RV rv = f->C_SignInit(s, &mech, key)) return rv;
        CK_ULONG n = 0;
        if (CK_RV rv = f->C_Sign(s, const_cast<uint8_t*>(data.data()), data.size(), nullptr, &n)) return rv;
        sig->resize(n);
        CK_RV rv = f->C_Sign(s, const_cast<uint8_t*>(data.data()), data.size(), sig->data(), &n);
        sig->resize(n);
        return rv;
    }

    certkit::FreshPrefix prefix;
    CK_FUNCTION_LIST_PTR f = nullptr;
    CK_SESSION_HANDLE s = 0;
};

TEST_F(Pkcs11Module, OneWriteProtectedTokenThatNeedsNoLogin) {
    CK_ULONG n = 0;
    ASSERT_EQ(CKR_OK, f->C_GetSlotList(CK_TRUE, nullptr, &n));
    EXPECT_EQ(1u, n);
    CK_TOKEN_INFO info;
    ASSERT_EQ(CKR_OK, f->C_GetTokenInfo(1, &info));
    EXPECT_EQ(std::string("Tessaro Certificates            "), std::string(reinterpret_cast<char*>(info.label), 32));
    EXPECT_EQ(std::string("0000000000000001"), std::string(reinterpret_cast<char*>(info.serialNumber), 16));
    EXPECT_EQ(static_cast<CK_FLAGS>(CKF_TOKEN_INITIALIZED | CKF_WRITE_PROTECTED | CKF_RNG), info.flags);
    EXPECT_EQ(CKR_SLOT_ID_INVALID, f->C_GetTokenInfo(2, &info));

    EXPECT_EQ(CKR_OK, f->C_Login(s, CKU_USER, reinterpret_cast<CK_UTF8CHAR*>(const_cast<char*>("any")), 3));
    EXPECT_EQ(CKR_USER_ALREADY_LOGGED_IN, f->C_Login(s, CKU_USER, nullptr, 0));
    CK_SESSION_INFO si;
    ASSERT_EQ(CKR_OK, f->C_GetSessionInfo(s, &si));
    EXPECT_EQ(static_cast<CK_STATE>(CKS_RW_USER_FUNCTIONS), si.state);
    EXPECT_EQ(CKR_OK, f->C_Logout(s));

    CK_OBJECT_CLASS cls = CKO_DATA;
    CK_ATTRIBUTE t{CKA_CLASS, &cls, sizeof cls};
    CK_OBJECT_HANDLE h = 0;
    EXPECT_EQ(CKR_TOKEN_WRITE_PROTECTED, f->C_CreateObject(s, &t, 1, &h));
    EXPECT_EQ(CKR_TOKEN_WRITE_PROTECTED, f->C_DestroyObject(s, 1));
    EXPECT_EQ(CKR_TOKEN_WRITE_PROTECTED, f->C_SetAttributeValue(s, 1, &t, 1));
    CK_MECHANISM gen{CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
    CK_OBJECT_HANDLE a, b;
    EXPECT_EQ(CKR_TOKEN_WRITE_PROTECTED, f->C_GenerateKeyPair(s, &gen, nullptr, 0, nullptr, 0, &a, &b));
    Bytes random(64, 0);
    EXPECT_EQ(CKR_OK, f->C_GenerateRandom(s, random.data(), random.size()));
    EXPECT_NE(Bytes(64, 0), random);
}

TEST_F(Pkcs11Module, ShowsEnrolledRsaCertificatesWithTheirKeysAndNothingElse) {
    Enrolled store = Enroll(kMicrosoft, u"{store}", AT_KEYEXCHANGE, "Store User", true);
    Enrolled vendor = Enroll(kVendor, u"{vendor}", AT_SIGNATURE, "Vendor User", false);
    ASSERT_FALSE(store.der.empty());
    ASSERT_FALSE(vendor.der.empty());
    // Not shown: an SM2 certificate, and a store certificate whose container is gone.
    ASSERT_TRUE(certkit::CreateSm2Container(u"{sm2}", true, true, true, "SM2 User").ok);
    certkit::CertSpec orphan;
    orphan.subject = {{"CN", "Orphan"}};
    ASSERT_TRUE(certkit::AddToMyStore(pki::MakeCert(orphan), u"{missing}", kMicrosoft, AT_KEYEXCHANGE));

    auto certs = OfClass(CKO_CERTIFICATE);
    ASSERT_EQ(2u, certs.size());
    EXPECT_EQ(2u, OfClass(CKO_PRIVATE_KEY).size());
    EXPECT_EQ(2u, OfClass(CKO_PUBLIC_KEY).size());
    CK_OBJECT_CLASS trust = 0xCE534353;  // NSS's trust objects: never held
    EXPECT_TRUE(OfClass(trust).empty());

    CK_OBJECT_HANDLE cert = 0;
    for (auto c : certs)
        if (Attr(c, CKA_VALUE) == store.der) cert = c;
    ASSERT_NE(0u, cert);
    EXPECT_EQ(Bytes({'S', 't', 'o', 'r', 'e', ' ', 'U', 's', 'e', 'r'}), Attr(cert, CKA_LABEL));
    EXPECT_EQ(Bytes({0x02, 0x04, 0x01, 0x02, 0xA3, 0xF4}), Attr(cert, CKA_SERIAL_NUMBER));
    EXPECT_EQ(pki::EncodeName({{"CN", "Test CA"}}), Attr(cert, CKA_ISSUER));
    EXPECT_EQ(pki::EncodeName({{"O", "Tessaro"}, {"CN", "Store User"}}), Attr(cert, CKA_SUBJECT));

    CK_OBJECT_HANDLE priv = KeyOf(store.der), vpriv = KeyOf(vendor.der);
    ASSERT_NE(0u, priv);
    ASSERT_NE(0u, vpriv);
    EXPECT_EQ(Bytes{CK_TRUE}, Attr(priv, CKA_DECRYPT));
    EXPECT_EQ(Bytes{CK_FALSE}, Attr(vpriv, CKA_DECRYPT));  // a signature key
    EXPECT_EQ(Bytes{CK_TRUE}, Attr(priv, CKA_SENSITIVE));
    EXPECT_EQ(Bytes{CK_FALSE}, Attr(priv, CKA_EXTRACTABLE));
    EXPECT_EQ(Bytes({0x01, 0x00, 0x01}), Attr(priv, CKA_PUBLIC_EXPONENT));
    EXPECT_EQ(256u, Attr(priv, CKA_MODULUS).size());

    // One call, three answers: sensitive, unknown, too small; the rest filled.
    CK_BYTE exponent[8], small[2];
    CK_KEY_TYPE type = 0;
    CK_ATTRIBUTE t[] = {{CKA_PRIVATE_EXPONENT, exponent, sizeof exponent},
                        {0x7FFFFFF0, exponent, sizeof exponent},
                        {CKA_MODULUS, small, sizeof small},
                        {CKA_KEY_TYPE, &type, sizeof type}};
    CK_RV rv = f->C_GetAttributeValue(s, priv, t, 4);
    EXPECT_TRUE(rv == CKR_ATTRIBUTE_SENSITIVE || rv == CKR_ATTRIBUTE_TYPE_INVALID || rv == CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(CK_UNAVAILABLE_INFORMATION, t[0].ulValueLen);
    EXPECT_EQ(CK_UNAVAILABLE_INFORMATION, t[1].ulValueLen);
    EXPECT_EQ(CK_UNAVAILABLE_INFORMATION, t[2].ulValueLen);
    EXPECT_EQ(static_cast<CK_KEY_TYPE>(CKK_RSA), type);
    CK_ATTRIBUTE one{CKA_PRIVATE_EXPONENT, exponent, sizeof exponent};
    EXPECT_EQ(CKR_ATTRIBUTE_SENSITIVE, f->C_GetAttributeValue(s, priv, &one, 1));
}

TEST_F(Pkcs11Module, SignsAndDecryptsInsideTheProvider) {
    Enrolled e = Enroll(kMicrosoft, u"{mech}", AT_KEYEXCHANGE, "Mechanisms", true);
    ASSERT_FALSE(e.der.empty());
    CK_OBJECT_HANDLE key = KeyOf(e.der);
    ASSERT_NE(0u, key);
    const Bytes msg = {'h', 'e', 'l', 'l', 'o'};
    const Bytes digest = Sha(EVP_sha256(), msg);
    Bytes sig;

    // PKCS#1 v1.5 over the caller's DigestInfo.
    static const Bytes kSha256Prefix = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                        0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
    Bytes info = kSha256Prefix;
    info.insert(info.end(), digest.begin(), digest.end());
    ASSERT_EQ(CKR_OK, Sign(key, {CKM_RSA_PKCS, nullptr, 0}, info, &sig));
    EXPECT_TRUE(Verify(e.pub.get(), sig, digest, EVP_sha256(), false));

    CK_RSA_PKCS_PSS_PARAMS pss{CKM_SHA256, CKG_MGF1_SHA256, 32};
    ASSERT_EQ(CKR_OK, Sign(key, {CKM_RSA_PKCS_PSS, &pss, sizeof pss}, digest, &sig));
    EXPECT_TRUE(Verify(e.pub.get(), sig, digest, EVP_sha256(), true, 32));

    CK_RSA_PKCS_PSS_PARAMS pss384{CKM_SHA384, CKG_MGF1_SHA384, 48};
    ASSERT_EQ(CKR_OK, Sign(key, {CKM_SHA384_RSA_PKCS_PSS, &pss384, sizeof pss384}, msg, &sig));
    EXPECT_TRUE(Verify(e.pub.get(), sig, Sha(EVP_sha384(), msg), EVP_sha384(), true, 48));

    // The hashing mechanisms in parts.
    CK_MECHANISM sha512{CKM_SHA512_RSA_PKCS, nullptr, 0};
    ASSERT_EQ(CKR_OK, f->C_SignInit(s, &sha512, key));
    ASSERT_EQ(CKR_OK, f->C_SignUpdate(s, const_cast<uint8_t*>(msg.data()), 2));
    ASSERT_EQ(CKR_OK, f->C_SignUpdate(s, const_cast<uint8_t*>(msg.data()) + 2, 3));
    CK_ULONG n = 10;
    sig.assign(256, 0);
    EXPECT_EQ(CKR_BUFFER_TOO_SMALL, f->C_SignFinal(s, sig.data(), &n));  // keeps the operation
    EXPECT_EQ(256u, n);
    ASSERT_EQ(CKR_OK, f->C_SignFinal(s, sig.data(), &n));
    EXPECT_TRUE(Verify(e.pub.get(), sig, Sha(EVP_sha512(), msg), EVP_sha512(), false));

    // Decryption: PKCS#1 v1.5 and OAEP with SHA-256 and a label.
    const Bytes secret = {1, 2, 3, 4, 5, 6, 7, 8};
    auto encrypt = [&](bool oaep, const Bytes& label) {
        tessaro::UniquePtr<EVP_PKEY_CTX> c(EVP_PKEY_CTX_new(e.pub.get(), nullptr));
        EVP_PKEY_encrypt_init(c.get());
        EVP_PKEY_CTX_set_rsa_padding(c.get(), oaep ? RSA_PKCS1_OAEP_PADDING : RSA_PKCS1_PADDING);
        if (oaep) {
            EVP_PKEY_CTX_set_rsa_oaep_md(c.get(), EVP_sha256());
            EVP_PKEY_CTX_set_rsa_mgf1_md(c.get(), EVP_sha256());
            if (!label.empty())
                EVP_PKEY_CTX_set0_rsa_oaep_label(c.get(), OPENSSL_memdup(label.data(), label.size()), label.size());
        }
        size_t len = 256;
        Bytes ct(len);
        EVP_PKEY_encrypt(c.get(), ct.data(), &len, secret.data(), secret.size());
        return ct;
    };
    auto decrypt = [&](CK_MECHANISM mech, Bytes ct, Bytes* out) {
        if (CK_RV rv = f->C_DecryptInit(s, &mech, key)) return rv;
        CK_ULONG len = 0;
        if (CK_RV rv = f->C_Decrypt(s, ct.data(), ct.size(), nullptr, &len)) return rv;
        out->resize(len);
        CK_RV rv = f->C_Decrypt(s, ct.data(), ct.size(), out->data(), &len);
        out->resize(len);
        return rv;
    };
    Bytes plain;
    ASSERT_EQ(CKR_OK, decrypt({CKM_RSA_PKCS, nullptr, 0}, encrypt(false, {}), &plain));
    EXPECT_EQ(secret, plain);
    Bytes label = {'m', 'a', 'i', 'l'};
    CK_RSA_PKCS_OAEP_PARAMS oaep{CKM_SHA256, CKG_MGF1_SHA256, CKZ_DATA_SPECIFIED, label.data(), label.size()};
    ASSERT_EQ(CKR_OK, decrypt({CKM_RSA_PKCS_OAEP, &oaep, sizeof oaep}, encrypt(true, label), &plain));
    EXPECT_EQ(secret, plain);
    Bytes wrongLabel = {'x'};
    oaep.pSourceData = wrongLabel.data();
    oaep.ulSourceDataLen = 1;
    EXPECT_EQ(CKR_ENCRYPTED_DATA_INVALID, decrypt({CKM_RSA_PKCS_OAEP, &oaep, sizeof oaep}, encrypt(true, label), &plain));
    EXPECT_EQ(CKR_ENCRYPTED_DATA_LEN_RANGE, decrypt({CKM_RSA_PKCS, nullptr, 0}, Bytes(255, 1), &plain));
}

TEST_F(Pkcs11Module, BadCallsGetTheirCodesAndLeaveThePrefixAlone) {
    Enrolled e = Enroll(kMicrosoft, u"{bad}", AT_SIGNATURE, "Bad Calls", true);
    ASSERT_FALSE(e.der.empty());
    CK_OBJECT_HANDLE key = KeyOf(e.der);
    ASSERT_NE(0u, key);
    Bytes sig(256), data(32, 7);
    CK_ULONG n = sig.size();

    EXPECT_EQ(CKR_CRYPTOKI_ALREADY_INITIALIZED, f->C_Initialize(nullptr));
    EXPECT_EQ(CKR_SESSION_HANDLE_INVALID, f->C_FindObjectsFinal(999));
    EXPECT_EQ(CKR_OPERATION_NOT_INITIALIZED, f->C_Sign(s, data.data(), data.size(), sig.data(), &n));
    EXPECT_EQ(CKR_OPERATION_NOT_INITIALIZED, f->C_FindObjects(s, &key, 1, &n));
    EXPECT_EQ(CKR_ARGUMENTS_BAD, f->C_FindObjectsInit(s, nullptr, 1));
    EXPECT_EQ(CKR_ARGUMENTS_BAD, f->C_GetTokenInfo(1, nullptr));
    CK_ATTRIBUTE a{CKA_VALUE, nullptr, 0};
    EXPECT_EQ(CKR_OBJECT_HANDLE_INVALID, f->C_GetAttributeValue(s, 0xFFFF, &a, 1));
    CK_MECHANISM raw{CKM_RSA_PKCS, nullptr, 0};
    EXPECT_EQ(CKR_KEY_HANDLE_INVALID, f->C_SignInit(s, &raw, 0xFFFF));
    EXPECT_EQ(CKR_KEY_FUNCTION_NOT_PERMITTED, f->C_DecryptInit(s, &raw, key));  // a signature key

    ASSERT_EQ(CKR_OK, f->C_SignInit(s, &raw, key));
    EXPECT_EQ(CKR_OPERATION_ACTIVE, f->C_SignInit(s, &raw, key));
    Bytes big(246, 1);  // a DigestInfo leaves eleven bytes of padding at least
    n = sig.size();
    EXPECT_EQ(CKR_DATA_LEN_RANGE, f->C_Sign(s, big.data(), big.size(), sig.data(), &n));
    EXPECT_EQ(CKR_OPERATION_NOT_INITIALIZED, f->C_Sign(s, big.data(), big.size(), sig.data(), &n));

    CK_RSA_PKCS_PSS_PARAMS pss{CKM_SHA256, CKG_MGF1_SHA256, 32};
    CK_MECHANISM mismatch{CKM_SHA384_RSA_PKCS_PSS, &pss, sizeof pss};
    EXPECT_EQ(CKR_MECHANISM_PARAM_INVALID, f->C_SignInit(s, &mismatch, key));
    CK_RSA_PKCS_PSS_PARAMS longSalt{CKM_SHA256, CKG_MGF1_SHA256, 256 - 32 - 1};
    CK_MECHANISM tooLong{CKM_RSA_PKCS_PSS, &longSalt, sizeof longSalt};
    EXPECT_EQ(CKR_MECHANISM_PARAM_INVALID, f->C_SignInit(s, &tooLong, key));
    CK_MECHANISM missing{CKM_RSA_PKCS_PSS, nullptr, 0};
    EXPECT_EQ(CKR_MECHANISM_PARAM_INVALID, f->C_SignInit(s, &missing, key));
    CK_MECHANISM pssOk{CKM_RSA_PKCS_PSS, &pss, sizeof pss};
    ASSERT_EQ(CKR_OK, f->C_SignInit(s, &pssOk, key));
    n = sig.size();
    EXPECT_EQ(CKR_DATA_LEN_RANGE, f->C_Sign(s, data.data(), 20, sig.data(), &n));  // not a SHA-256 hash
    CK_MECHANISM unknown{CKM_MD5_RSA_PKCS, nullptr, 0};
    EXPECT_EQ(CKR_MECHANISM_INVALID, f->C_SignInit(s, &unknown, key));

    // A container deleted under a prepared operation.
    ASSERT_EQ(CKR_OK, f->C_SignInit(s, &raw, key));
    HCRYPTPROV gone = 0;
    ASSERT_TRUE(CryptAcquireContextW(&gone, u"{bad}", kMicrosoft, PROV_RSA_FULL, CRYPT_DELETEKEYSET));
    n = sig.size();
    EXPECT_EQ(CKR_KEY_HANDLE_INVALID, f->C_Sign(s, data.data(), data.size(), sig.data(), &n));
    EXPECT_TRUE(OfClass(CKO_PRIVATE_KEY).empty());
    EXPECT_EQ(CKR_KEY_HANDLE_INVALID, f->C_SignInit(s, &raw, key));
}

TEST_F(Pkcs11Module, EverySearchSeesThePrefixAsItIsNow) {
    Enrolled first = Enroll(kMicrosoft, u"{first}", AT_KEYEXCHANGE, "First", true);
    auto before = OfClass(CKO_CERTIFICATE);
    ASSERT_EQ(1u, before.size());
    Enrolled second = Enroll(kVendor, u"{second}", AT_KEYEXCHANGE, "Second", false);
    auto after = OfClass(CKO_CERTIFICATE);
    ASSERT_EQ(2u, after.size());
    EXPECT_NE(after.end(), std::find(after.begin(), after.end(), before[0]));  // the handle stays
}

TEST(Pkcs11Prefix, AMissingPrefixIsAnEmptyTokenAndIsNotCreated) {
    tessaro_test::TempDir dir;
    const std::string missing = dir.path() + "/none";
    const char* old = getenv("TESSARO_PREFIX");
    std::string saved = old ? old : "";
    setenv("TESSARO_PREFIX", missing.c_str(), 1);
    CK_FUNCTION_LIST_PTR f = F();
    ASSERT_EQ(CKR_OK, f->C_Initialize(nullptr));
    CK_SESSION_HANDLE s;
    ASSERT_EQ(CKR_OK, f->C_OpenSession(1, CKF_SERIAL_SESSION, nullptr, nullptr, &s));
    CK_OBJECT_HANDLE h;
    CK_ULONG n = 1;
    ASSERT_EQ(CKR_OK, f->C_FindObjectsInit(s, nullptr, 0));
    ASSERT_EQ(CKR_OK, f->C_FindObjects(s, &h, 1, &n));
    EXPECT_EQ(0u, n);
    f->C_Finalize(nullptr);
    struct stat st;
    EXPECT_NE(0, stat(missing.c_str(), &st));
    if (old) setenv("TESSARO_PREFIX", saved.c_str(), 1);
    else unsetenv("TESSARO_PREFIX");
}

TEST_F(Pkcs11Module, ThreadsSignAtOnceAndAForkedChildStartsOver) {
    Enrolled e = Enroll(kMicrosoft, u"{threads}", AT_KEYEXCHANGE, "Threads", true);
    CK_OBJECT_HANDLE key = KeyOf(e.der);
    ASSERT_NE(0u, key);
    const Bytes digest(32, 0x5A);
    std::vector<int> good(4, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            CK_SESSION_HANDLE mine;
            if (f->C_OpenSession(1, CKF_SERIAL_SESSION, nullptr, nullptr, &mine) != CKR_OK) return;
            for (int i = 0; i < 10; ++i) {
                CK_RSA_PKCS_PSS_PARAMS pss{CKM_SHA256, CKG_MGF1_SHA256, 32};
                CK_MECHANISM m{CKM_RSA_PKCS_PSS, &pss, sizeof pss};
                Bytes sig(256);
                CK_ULONG n = sig.size();
                if (f->C_SignInit(mine, &m, key) == CKR_OK &&
                    f->C_Sign(mine, const_cast<uint8_t*>(digest.data()), digest.size(), sig.data(), &n) == CKR_OK &&
                    Verify(e.pub.get(), sig, digest, EVP_sha256(), true, 32))
                    ++good[t];
            }
            f->C_CloseSession(mine);
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(std::vector<int>(4, 10), good);

    pid_t child = fork();
    if (child == 0) {
        CK_SESSION_HANDLE cs;
        int code = 0;
        if (f->C_OpenSession(1, CKF_SERIAL_SESSION, nullptr, nullptr, &cs) != CKR_CRYPTOKI_NOT_INITIALIZED) code |= 1;
        if (f->C_Initialize(nullptr) != CKR_OK) code |= 2;
        Bytes sig(256);
        CK_ULONG n = sig.size();
        CK_MECHANISM raw{CKM_RSA_PKCS, nullptr, 0};
        CK_OBJECT_CLASS cls = CKO_PRIVATE_KEY;
        CK_ATTRIBUTE t{CKA_CLASS, &cls, sizeof cls};
        CK_OBJECT_HANDLE k = 0;
        CK_ULONG found = 0;
        if (f->C_OpenSession(1, CKF_SERIAL_SESSION, nullptr, nullptr, &cs) != CKR_OK ||
            f->C_FindObjectsInit(cs, &t, 1) != CKR_OK || f->C_FindObjects(cs, &k, 1, &found) != CKR_OK || found != 1 ||
            f->C_SignInit(cs, &raw, k) != CKR_OK ||
            f->C_Sign(cs, const_cast<uint8_t*>(digest.data()), 20, sig.data(), &n) != CKR_OK)
            code |= 4;
        _exit(code);
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status));
}

}  // namespace
