// The CNG-style private operations on CryptoAPI keys: PKCS#1 over a caller's
// DigestInfo is CryptSignHashW's signature in big-endian order, PSS and OAEP
// agree with OpenSSL, and the descriptions are checked before the key is used.
#include "tests/platform/csp/CspTestUtil.h"

using namespace csptest;

namespace {

class PaddedOperation : public ::testing::Test {
protected:
    void SetUp() override {
        NewContainer(prov, name, kAes);
        ASSERT_TRUE(CryptGenKey(prov.get(), AT_KEYEXCHANGE, 1024u << 16, key.put()));
    }
    tessaro_test::ScopedPrefix prefix;
    std::u16string name = FreshName("padded");
    Prov prov;
    Key key;
};

TEST_F(PaddedOperation, SignaturesAndDecryptionsAreCngsBigEndianOnes) {
    const Bytes digest(32, 0x42);
    Hash h;
    ASSERT_TRUE(CryptCreateHash(prov.get(), CALG_SHA_256, 0, 0, h.put()));
    ASSERT_TRUE(CryptSetHashParam(h.get(), HP_HASHVAL, digest.data(), 0));
    Bytes capi(128);
    DWORD cb = 128;
    ASSERT_TRUE(CryptSignHashW(h.get(), AT_KEYEXCHANGE, nullptr, 0, capi.data(), &cb));
    std::reverse(capi.begin(), capi.end());

    BCRYPT_PKCS1_PADDING_INFO named{BCRYPT_SHA256_ALGORITHM};
    Bytes sig(128);
    cb = 0;
    ASSERT_TRUE(CryptSignHashPadded(key.get(), &named, digest.data(), 32, nullptr, &cb, BCRYPT_PAD_PKCS1));
    EXPECT_EQ(128u, cb);
    ASSERT_TRUE(CryptSignHashPadded(key.get(), &named, digest.data(), 32, sig.data(), &cb, BCRYPT_PAD_PKCS1));
    EXPECT_EQ(capi, sig);
    // The same with the DigestInfo given by the caller.
    Bytes info = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65,
                  0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
    info.insert(info.end(), digest.begin(), digest.end());
    BCRYPT_PKCS1_PADDING_INFO raw{nullptr};
    ASSERT_TRUE(CryptSignHashPadded(key.get(), &raw, info.data(), static_cast<DWORD>(info.size()), sig.data(), &cb,
                                    BCRYPT_PAD_PKCS1));
    EXPECT_EQ(capi, sig);

    Pkey pub = PublicKeyOf(prov.get(), AT_KEYEXCHANGE);
    ASSERT_TRUE(pub);
    BCRYPT_PSS_PADDING_INFO pss{BCRYPT_SHA256_ALGORITHM, 20};
    ASSERT_TRUE(CryptSignHashPadded(key.get(), &pss, digest.data(), 32, sig.data(), &cb, BCRYPT_PAD_PSS));
    tessaro::UniquePtr<EVP_PKEY_CTX> v(EVP_PKEY_CTX_new(pub.get(), nullptr));
    ASSERT_EQ(1, EVP_PKEY_verify_init(v.get()));
    EVP_PKEY_CTX_set_rsa_padding(v.get(), RSA_PKCS1_PSS_PADDING);
    EVP_PKEY_CTX_set_signature_md(v.get(), EVP_sha256());
    EVP_PKEY_CTX_set_rsa_pss_saltlen(v.get(), 20);
    EXPECT_EQ(1, EVP_PKEY_verify(v.get(), sig.data(), cb, digest.data(), digest.size()));

    // CryptEncrypt's OAEP (SHA-1, little-endian) opened as CNG's.
    Bytes block(128, 0);
    const Bytes secret = {9, 8, 7};
    std::copy(secret.begin(), secret.end(), block.begin());
    DWORD len = 3;
    ASSERT_TRUE(CryptEncrypt(key.get(), 0, TRUE, CRYPT_OAEP, block.data(), &len, 128));
    std::reverse(block.begin(), block.end());
    BCRYPT_OAEP_PADDING_INFO oaep{BCRYPT_SHA1_ALGORITHM, nullptr, 0};
    Bytes plain(128);
    cb = 128;
    ASSERT_TRUE(CryptDecryptPadded(key.get(), &oaep, block.data(), 128, plain.data(), &cb, BCRYPT_PAD_OAEP));
    plain.resize(cb);
    EXPECT_EQ(secret, plain);
}

TEST_F(PaddedOperation, DescriptionsAreCheckedAndAGoneContainerFails) {
    const Bytes digest(32, 1);
    Bytes sig(128);
    DWORD cb = 128;
    BCRYPT_PSS_PADDING_INFO pss{BCRYPT_SHA256_ALGORITHM, 20};
    auto code = [&](const void* info, DWORD len, DWORD flags) {
        cb = 128;
        SetLastError(0);
        return CryptSignHashPadded(key.get(), info, digest.data(), len, sig.data(), &cb, flags) ? 0u : GetLastError();
    };
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_FLAGS), code(&pss, 32, 0));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_FLAGS), code(&pss, 32, BCRYPT_PAD_PSS | BCRYPT_PAD_PKCS1));
    EXPECT_EQ(static_cast<DWORD>(NTE_INVALID_PARAMETER), code(nullptr, 32, BCRYPT_PAD_PSS));
    BCRYPT_PSS_PADDING_INFO md5{u"MD5", 0};
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_ALGID), code(&md5, 16, BCRYPT_PAD_PSS));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_LEN), code(&pss, 20, BCRYPT_PAD_PSS));
    BCRYPT_PSS_PADDING_INFO salty{BCRYPT_SHA256_ALGORITHM, 128 - 32 - 1};
    EXPECT_EQ(static_cast<DWORD>(NTE_INVALID_PARAMETER), code(&salty, 32, BCRYPT_PAD_PSS));
    cb = 127;
    EXPECT_FALSE(CryptSignHashPadded(key.get(), &pss, digest.data(), 32, sig.data(), &cb, BCRYPT_PAD_PSS));
    EXPECT_EQ(static_cast<DWORD>(ERROR_MORE_DATA), GetLastError());
    EXPECT_EQ(128u, cb);
    Bytes plain(128);
    DWORD pl = 128;
    EXPECT_FALSE(CryptDecryptPadded(key.get(), nullptr, sig.data(), 127, plain.data(), &pl, BCRYPT_PAD_PKCS1));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_LEN), GetLastError());

    HCRYPTPROV gone = 0;
    ASSERT_TRUE(CryptAcquireContextW(&gone, name.c_str(), kAes, PROV_RSA_AES, CRYPT_DELETEKEYSET));
    EXPECT_NE(0u, code(&pss, 32, BCRYPT_PAD_PSS));
}

}  // namespace
