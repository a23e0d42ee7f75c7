// Handles (null, stale, of another kind, of a released context), reference
// counting of contexts, hashing, and random bytes.
#include <openssl/sha.h>

#include <cstring>

#include "tests/platform/csp/CspTestUtil.h"

using namespace csptest;

TEST(CspHandles, NullStaleAndWrongKindHandles) {
    HCRYPTPROV hp = 0;
    ASSERT_TRUE(CryptAcquireContextW(&hp, nullptr, kEnh, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    HCRYPTKEY hk = 0;
    ASSERT_TRUE(CryptGenKey(hp, CALG_3DES, 0, &hk));
    HCRYPTHASH hh = 0;
    ASSERT_TRUE(CryptCreateHash(hp, CALG_SHA1, 0, 0, &hh));
    BYTE buf[64];
    DWORD n = sizeof(buf);
    HCRYPTKEY out = 0;
    auto err = [](BOOL ok) { return ok ? 0u : GetLastError(); };

    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), err(CryptGenKey(0, CALG_3DES, 0, &out)));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), err(CryptDestroyKey(0)));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), err(CryptDestroyHash(0)));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), err(CryptReleaseContext(0, 0)));
    // A key handle is no context, a hash handle no key, and so on.
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_UID), err(CryptGenKey(hk, CALG_3DES, 0, &out)));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_KEY), err(CryptGetKeyParam(hh, KP_ALGID, buf, &n, 0)));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_HASH), err(CryptHashData(hk, buf, 1, 0)));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_UID), err(CryptReleaseContext(hh, 0)));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_KEY), err(CryptDestroyKey(hp)));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_UID), err(CryptGetProvParam(0xDEAD0000, PP_NAME, buf, &n, 0)));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_KEY), err(CryptExportKey(hk, hh, SIMPLEBLOB, 0, nullptr, &n)));

    // Stale handles stay invalid.
    ASSERT_TRUE(CryptDestroyHash(hh));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_HASH), err(CryptDestroyHash(hh)));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_HASH), err(CryptHashData(hh, buf, 1, 0)));
    HCRYPTKEY dup = 0;
    ASSERT_TRUE(CryptDuplicateKey(hk, nullptr, 0, &dup));
    ASSERT_TRUE(CryptDestroyKey(hk));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_KEY), err(CryptDestroyKey(hk)));
    n = 4;
    EXPECT_TRUE(CryptGetKeyParam(dup, KP_ALGID, buf, &n, 0));

    // A key of a released context answers as the released context.
    ASSERT_TRUE(CryptReleaseContext(hp, 0));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_UID), err(CryptReleaseContext(hp, 0)));
    n = 4;
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_UID), err(CryptGetKeyParam(dup, KP_ALGID, buf, &n, 0)));
    EXPECT_TRUE(CryptDestroyKey(dup));
}

TEST(CspHandles, AddRefKeepsTheContextUntilTheLastRelease) {
    HCRYPTPROV hp = 0;
    ASSERT_TRUE(CryptAcquireContextW(&hp, nullptr, kEnh, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    DWORD reserved = 0;
    EXPECT_FALSE(CryptContextAddRef(hp, &reserved, 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    EXPECT_FALSE(CryptContextAddRef(hp, nullptr, 1));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_FLAGS), GetLastError());
    ASSERT_TRUE(CryptContextAddRef(hp, nullptr, 0));
    ASSERT_TRUE(CryptReleaseContext(hp, 0));
    BYTE r[8];
    EXPECT_TRUE(CryptGenRandom(hp, sizeof(r), r));
    ASSERT_TRUE(CryptReleaseContext(hp, 0));
    EXPECT_FALSE(CryptGenRandom(hp, sizeof(r), r));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_UID), GetLastError());
}

TEST(CspHandles, UserKeysAndTheirErrors) {
    Prov p;
    NewContainer(p, FreshName("userkey"));
    Key k;
    EXPECT_FALSE(CryptGetUserKey(p.get(), AT_SIGNATURE, k.put()));
    EXPECT_EQ(static_cast<DWORD>(NTE_NO_KEY), GetLastError());
    EXPECT_FALSE(CryptGetUserKey(p.get(), 7, k.put()));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_KEY), GetLastError());
    EXPECT_FALSE(CryptGetUserKey(p.get(), AT_SIGNATURE, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    // CALG_RSA_SIGN names the signature key pair.
    Key g;
    ASSERT_TRUE(CryptGenKey(p.get(), CALG_RSA_SIGN, 512u << 16, g.put()));
    ASSERT_TRUE(CryptGetUserKey(p.get(), AT_SIGNATURE, k.put()));
    EXPECT_EQ(ExportBlob(g.get(), PUBLICKEYBLOB), ExportBlob(k.get(), PUBLICKEYBLOB));
    ALG_ID alg = 0;
    DWORD n = 4;
    ASSERT_TRUE(CryptGetKeyParam(k.get(), KP_ALGID, reinterpret_cast<BYTE*>(&alg), &n, 0));
    EXPECT_EQ(static_cast<ALG_ID>(CALG_RSA_SIGN), alg);
}

TEST(CspHash, DigestsInAnyPiecesMatchOpenSSL) {
    Prov p;
    ASSERT_TRUE(CryptAcquireContextW(p.put(), nullptr, kAes, PROV_RSA_AES, CRYPT_VERIFYCONTEXT));
    Bytes data(100000);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<BYTE>(i * 31 + 7);
    struct {
        ALG_ID alg;
        const EVP_MD* md;
    } cases[] = {{CALG_SHA1, EVP_sha1()}, {CALG_MD5, EVP_md5()}, {CALG_SHA_256, EVP_sha256()}};
    for (const auto& c : cases) {
        Hash h;
        ASSERT_TRUE(CryptCreateHash(p.get(), c.alg, 0, 0, h.put()));
        size_t pos = 0, piece = 1;
        while (pos < data.size()) {
            size_t len = std::min(piece, data.size() - pos);
            ASSERT_TRUE(CryptHashData(h.get(), data.data() + pos, static_cast<DWORD>(len), 0));
            pos += len;
            piece = piece * 3 + 1;
        }
        ASSERT_TRUE(CryptHashData(h.get(), nullptr, 0, 0));
        DWORD size = 0, n = 4;
        ASSERT_TRUE(CryptGetHashParam(h.get(), HP_HASHSIZE, reinterpret_cast<BYTE*>(&size), &n, 0));
        EXPECT_EQ(static_cast<DWORD>(EVP_MD_get_size(c.md)), size);
        ALG_ID alg = 0;
        ASSERT_TRUE(CryptGetHashParam(h.get(), HP_ALGID, reinterpret_cast<BYTE*>(&alg), &n, 0));
        EXPECT_EQ(c.alg, alg);
        n = 0;
        ASSERT_TRUE(CryptGetHashParam(h.get(), HP_HASHVAL, nullptr, &n, 0));
        EXPECT_EQ(size, n);
        Bytes v(n);
        ASSERT_TRUE(CryptGetHashParam(h.get(), HP_HASHVAL, v.data(), &n, 0));
        unsigned char ref[EVP_MAX_MD_SIZE];
        unsigned int refLen = 0;
        EVP_Digest(data.data(), data.size(), ref, &refLen, c.md, nullptr);
        EXPECT_EQ(Bytes(ref, ref + refLen), v) << c.alg;
        EXPECT_FALSE(CryptHashData(h.get(), data.data(), 1, 0));
        EXPECT_EQ(static_cast<DWORD>(NTE_BAD_HASH_STATE), GetLastError());
    }
    Prov enh;
    ASSERT_TRUE(CryptAcquireContextW(enh.put(), nullptr, kEnh, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    Hash h;
    EXPECT_FALSE(CryptCreateHash(enh.get(), CALG_SHA_256, 0, 0, h.put()));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_ALGID), GetLastError());
    EXPECT_FALSE(CryptCreateHash(enh.get(), CALG_3DES, 0, 0, h.put()));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_ALGID), GetLastError());
    EXPECT_FALSE(CryptCreateHash(enh.get(), CALG_SHA1, 0, 4, h.put()));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_FLAGS), GetLastError());
    ASSERT_TRUE(CryptCreateHash(enh.get(), CALG_SHA1, 0, 0, h.put()));
    EXPECT_FALSE(CryptHashData(h.get(), nullptr, 5, 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    BYTE small[4];
    DWORD n = sizeof(small);
    EXPECT_FALSE(CryptGetHashParam(h.get(), HP_HASHVAL, small, &n, 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_MORE_DATA), GetLastError());
    EXPECT_EQ(20u, n);
    // A too-small buffer does not finish the hash.
    EXPECT_TRUE(CryptHashData(h.get(), small, 4, 0));
}

TEST(CspHash, SignAGivenHashValue) {
    Prov p;
    NewContainer(p, FreshName("hashval"));
    Key k;
    ASSERT_TRUE(CryptGenKey(p.get(), AT_SIGNATURE, 1024u << 16, k.put()));
    Bytes data = {'g', 'i', 'v', 'e', 'n'};
    BYTE digest[20];
    SHA1(data.data(), data.size(), digest);
    Hash h;
    ASSERT_TRUE(CryptCreateHash(p.get(), CALG_SHA1, 0, 0, h.put()));
    ASSERT_TRUE(CryptSetHashParam(h.get(), HP_HASHVAL, digest, 0));
    EXPECT_FALSE(CryptHashData(h.get(), data.data(), 1, 0));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_HASH_STATE), GetLastError());
    DWORD cb = 128;
    Bytes sig(cb);
    ASSERT_TRUE(CryptSignHashW(h.get(), AT_SIGNATURE, nullptr, 0, sig.data(), &cb));
    Pkey pub = PublicKeyOf(p.get(), AT_SIGNATURE);
    EXPECT_TRUE(OpenSslVerify(pub.get(), EVP_sha1(), data, Reversed(sig)));
}

TEST(CspRandom, RandomBytes) {
    Prov p;
    ASSERT_TRUE(CryptAcquireContextW(p.put(), nullptr, kBase, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    Bytes a(32, 0), b(32, 0);
    ASSERT_TRUE(CryptGenRandom(p.get(), 32, a.data()));
    ASSERT_TRUE(CryptGenRandom(p.get(), 32, b.data()));
    EXPECT_NE(a, b);
    EXPECT_NE(Bytes(32, 0), a);
    EXPECT_TRUE(CryptGenRandom(p.get(), 0, nullptr));
    EXPECT_FALSE(CryptGenRandom(p.get(), 4, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
}
