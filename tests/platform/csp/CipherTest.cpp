// Session keys: DES, two- and three-key 3DES known answers in ECB and CBC with
// PKCS#5 padding, piecewise encryption, key parameters and their errors.
#include <cstring>

#include "tests/platform/csp/CspTestUtil.h"

using namespace csptest;

namespace {

const char kText[] = "The quick brown fox jumps over the lazy dog";

// A session key from its plain bytes (PLAINTEXTKEYBLOB).
bool ImportPlain(HCRYPTPROV h, ALG_ID alg, const Bytes& key, Key* k, DWORD flags = 0) {
    Bytes b = {PLAINTEXTKEYBLOB, 2, 0, 0};
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<BYTE>(alg >> (8 * i)));
    DWORD n = static_cast<DWORD>(key.size());
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<BYTE>(n >> (8 * i)));
    b.insert(b.end(), key.begin(), key.end());
    return CryptImportKey(h, b.data(), static_cast<DWORD>(b.size()), 0, flags, k->put());
}

Bytes EncryptAll(HCRYPTKEY k, const Bytes& in) {
    Bytes buf(in);
    DWORD n = static_cast<DWORD>(in.size());
    if (!CryptEncrypt(k, 0, TRUE, 0, nullptr, &n, 0)) return {};
    buf.resize(n);
    n = static_cast<DWORD>(in.size());
    if (!CryptEncrypt(k, 0, TRUE, 0, buf.data(), &n, static_cast<DWORD>(buf.size()))) return {};
    buf.resize(n);
    return buf;
}

void SetDword(HCRYPTKEY k, DWORD param, DWORD v) {
    ASSERT_TRUE(CryptSetKeyParam(k, param, reinterpret_cast<BYTE*>(&v), 0)) << param;
}

class CspCipher : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(CryptAcquireContextW(m_p.put(), nullptr, kEnh, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT)); }
    Prov m_p;
};

}  // namespace

TEST_F(CspCipher, TripleDesKnownAnswersEcbAndCbc) {
    Bytes key = tessaro_test::FromHex("0123456789ABCDEFFEDCBA987654321089ABCDEF01234567");
    Bytes text(kText, kText + strlen(kText));
    Key k;
    ASSERT_TRUE(ImportPlain(m_p.get(), CALG_3DES, key, &k)) << std::hex << GetLastError();
    SetDword(k.get(), KP_MODE, CRYPT_MODE_ECB);
    EXPECT_EQ("5DE3127F7A416B4DB4D2E7FE238E09EB1FC955BFE20EB75C79B3875BC403C6EA46C57DB8AE316E6F44ADC7811D0A048E",
              tessaro_test::ToHex(EncryptAll(k.get(), text)));
    SetDword(k.get(), KP_MODE, CRYPT_MODE_CBC);
    Bytes iv = tessaro_test::FromHex("1122334455667788");
    ASSERT_TRUE(CryptSetKeyParam(k.get(), KP_IV, iv.data(), 0));
    Bytes ct = EncryptAll(k.get(), text);
    EXPECT_EQ("1A306529FAC70D03A9491A12955E10350E7DA9A8C58E1D9C2DEE4B0F6459F3F4708AB379AD3E4EAE695954FDC12C35D8",
              tessaro_test::ToHex(ct));
    DWORD n = static_cast<DWORD>(ct.size());
    ASSERT_TRUE(CryptDecrypt(k.get(), 0, TRUE, 0, ct.data(), &n));
    EXPECT_EQ(std::string(kText), std::string(ct.begin(), ct.begin() + n));

    Key k2;
    ASSERT_TRUE(ImportPlain(m_p.get(), CALG_3DES_112, Bytes(key.begin(), key.begin() + 16), &k2));
    ASSERT_TRUE(CryptSetKeyParam(k2.get(), KP_IV, iv.data(), 0));
    EXPECT_EQ("7ED09A95778F634313EFF6D8CE163E2A8ACDD99958CDE38CFCA4A0283309840B63710AFC6F98222B6FF41A4893C2D5BE",
              tessaro_test::ToHex(EncryptAll(k2.get(), text)));
}

TEST_F(CspCipher, SingleDesKnownAnswer) {
    Key k;
    ASSERT_TRUE(ImportPlain(m_p.get(), CALG_DES, tessaro_test::FromHex("133457799BBCDFF1"), &k));
    SetDword(k.get(), KP_MODE, CRYPT_MODE_ECB);
    Bytes block = tessaro_test::FromHex("0123456789ABCDEF");
    DWORD n = 8;
    ASSERT_TRUE(CryptEncrypt(k.get(), 0, FALSE, 0, block.data(), &n, 8));
    EXPECT_EQ("85E813540F0AB405", tessaro_test::ToHex(block));
}

TEST_F(CspCipher, PiecewiseEqualsWholeAndStateResetsAfterFinal) {
    Key k;
    ASSERT_TRUE(CryptGenKey(m_p.get(), CALG_3DES, 0, k.put()));
    Bytes data(45);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<BYTE>(i);
    Bytes whole = EncryptAll(k.get(), data);
    ASSERT_EQ(48u, whole.size());
    Bytes a(data.begin(), data.begin() + 16), b(data.begin() + 16, data.end());
    DWORD n = 16;
    ASSERT_TRUE(CryptEncrypt(k.get(), 0, FALSE, 0, a.data(), &n, 16));
    b.resize(32);
    n = 29;
    ASSERT_TRUE(CryptEncrypt(k.get(), 0, TRUE, 0, b.data(), &n, 32));
    a.insert(a.end(), b.begin(), b.end());
    EXPECT_EQ(whole, a);
    EXPECT_EQ(whole, EncryptAll(k.get(), data));
    // Decryption in pieces as well; the final piece loses its padding.
    Bytes c1(whole.begin(), whole.begin() + 24), c2(whole.begin() + 24, whole.end());
    n = 24;
    ASSERT_TRUE(CryptDecrypt(k.get(), 0, FALSE, 0, c1.data(), &n));
    EXPECT_EQ(24u, n);
    n = 24;
    ASSERT_TRUE(CryptDecrypt(k.get(), 0, TRUE, 0, c2.data(), &n));
    EXPECT_EQ(21u, n);
    c1.insert(c1.end(), c2.begin(), c2.begin() + n);
    EXPECT_EQ(data, c1);
}

TEST_F(CspCipher, LengthPaddingAndBufferErrors) {
    Key k;
    ASSERT_TRUE(CryptGenKey(m_p.get(), CALG_3DES, 0, k.put()));
    Bytes buf(16, 7);
    DWORD n = 7;
    EXPECT_FALSE(CryptEncrypt(k.get(), 0, FALSE, 0, buf.data(), &n, 16));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_DATA), GetLastError());
    n = 8;
    EXPECT_FALSE(CryptEncrypt(k.get(), 0, TRUE, 0, buf.data(), &n, 8));
    EXPECT_EQ(static_cast<DWORD>(ERROR_MORE_DATA), GetLastError());
    EXPECT_EQ(16u, n);
    n = 12;
    EXPECT_FALSE(CryptDecrypt(k.get(), 0, TRUE, 0, buf.data(), &n));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_DATA), GetLastError());
    // A final block whose padding does not check out. In CBC a change to the
    // previous ciphertext block flips the same bits of the padding: the last
    // byte becomes 0x08 ^ 0x5A, never a valid pad length (garbling the final
    // block itself would pass by chance about once in 256 runs).
    Bytes enc = EncryptAll(k.get(), Bytes(8, 1));
    ASSERT_EQ(16u, enc.size());
    enc[7] ^= 0x5A;
    n = 16;
    EXPECT_FALSE(CryptDecrypt(k.get(), 0, TRUE, 0, enc.data(), &n));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_DATA), GetLastError());
    DWORD v = 9;
    EXPECT_FALSE(CryptSetKeyParam(k.get(), KP_MODE, reinterpret_cast<BYTE*>(&v), 0));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_DATA), GetLastError());
    v = ZERO_PADDING;
    EXPECT_FALSE(CryptSetKeyParam(k.get(), KP_PADDING, reinterpret_cast<BYTE*>(&v), 0));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_DATA), GetLastError());
}

TEST_F(CspCipher, KeyParametersAndAlgorithmsPerProvider) {
    Key k;
    ASSERT_TRUE(CryptGenKey(m_p.get(), CALG_3DES, CRYPT_EXPORTABLE, k.put()));
    auto get = [&](DWORD param) {
        DWORD v = 0, n = 4;
        EXPECT_TRUE(CryptGetKeyParam(k.get(), param, reinterpret_cast<BYTE*>(&v), &n, 0)) << param;
        return v;
    };
    EXPECT_EQ(static_cast<DWORD>(CALG_3DES), get(KP_ALGID));
    EXPECT_EQ(192u, get(KP_KEYLEN));
    EXPECT_EQ(64u, get(KP_BLOCKLEN));
    EXPECT_EQ(static_cast<DWORD>(CRYPT_MODE_CBC), get(KP_MODE));
    EXPECT_EQ(static_cast<DWORD>(PKCS5_PADDING), get(KP_PADDING));
    BYTE iv[8] = {1};
    DWORD n = 8;
    ASSERT_TRUE(CryptGetKeyParam(k.get(), KP_IV, iv, &n, 0));
    EXPECT_EQ(Bytes(8, 0), Bytes(iv, iv + 8));
    // DES keys come with odd parity in every byte.
    Bytes plain = ExportBlob(k.get(), PLAINTEXTKEYBLOB);
    ASSERT_EQ(36u, plain.size());
    for (size_t i = 12; i < plain.size(); ++i) EXPECT_EQ(1, __builtin_popcount(plain[i]) % 2) << i;
    Key bad;
    EXPECT_FALSE(CryptGenKey(m_p.get(), CALG_3DES, 128u << 16, bad.put()));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_FLAGS), GetLastError());
    EXPECT_TRUE(CryptGenKey(m_p.get(), CALG_3DES_112, 112u << 16, bad.put()));
    Key rc4;
    EXPECT_FALSE(CryptGenKey(m_p.get(), CALG_RC4, 0, rc4.put()));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_ALGID), GetLastError());
    Prov base;
    ASSERT_TRUE(CryptAcquireContextW(base.put(), nullptr, kBase, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    Key b3;
    EXPECT_FALSE(CryptGenKey(base.get(), CALG_3DES, 0, b3.put()));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_ALGID), GetLastError());
    Prov aes;
    ASSERT_TRUE(CryptAcquireContextW(aes.put(), nullptr, kAes, PROV_RSA_AES, CRYPT_VERIFYCONTEXT));
    Key a;
    ASSERT_TRUE(CryptGenKey(aes.get(), CALG_AES_256, 0, a.put()));
    n = 4;
    DWORD blk = 0;
    ASSERT_TRUE(CryptGetKeyParam(a.get(), KP_BLOCKLEN, reinterpret_cast<BYTE*>(&blk), &n, 0));
    EXPECT_EQ(128u, blk);
    EXPECT_EQ(32u, EncryptAll(a.get(), Bytes(16, 3)).size());
}
