// RSA keys through the providers, cross-checked with OpenSSL: blob layouts,
// byte orders of signatures and ciphertexts, key import paths (including a
// session key through an exponent-one key), exportability and certificates.
#include <openssl/rand.h>
#include <openssl/sha.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>

#include "tests/platform/csp/CspTestUtil.h"

using namespace csptest;

namespace {

DWORD Le32(const Bytes& b, size_t off) {
    return b[off] | b[off + 1] << 8 | b[off + 2] << 16 | static_cast<DWORD>(b[off + 3]) << 24;
}

void WriteFile(const std::string& path, const void* p, size_t n) {
    std::ofstream f(path, std::ios::binary);
    f.write(static_cast<const char*>(p), static_cast<std::streamsize>(n));
}

Bytes OpenSslEncrypt(EVP_PKEY* pub, const Bytes& m) {
    EVP_PKEY_CTX* c = EVP_PKEY_CTX_new(pub, nullptr);
    size_t n = 0;
    Bytes out;
    if (EVP_PKEY_encrypt_init(c) == 1 && EVP_PKEY_CTX_set_rsa_padding(c, RSA_PKCS1_PADDING) == 1 &&
        EVP_PKEY_encrypt(c, nullptr, &n, m.data(), m.size()) == 1) {
        out.resize(n);
        if (EVP_PKEY_encrypt(c, out.data(), &n, m.data(), m.size()) != 1) out.clear();
    }
    EVP_PKEY_CTX_free(c);
    return out;
}

Bytes OpenSslDecrypt(EVP_PKEY* priv, const Bytes& ct) {
    EVP_PKEY_CTX* c = EVP_PKEY_CTX_new(priv, nullptr);
    size_t n = ct.size();
    Bytes out(n);
    if (EVP_PKEY_decrypt_init(c) != 1 || EVP_PKEY_CTX_set_rsa_padding(c, RSA_PKCS1_PADDING) != 1 ||
        EVP_PKEY_decrypt(c, out.data(), &n, ct.data(), ct.size()) != 1)
        n = 0;
    out.resize(n);
    EVP_PKEY_CTX_free(c);
    return out;
}

// The exponent-one key of a PRIVATEKEYBLOB: e, exponent1, exponent2 and d set to 1.
Bytes ExponentOne(Bytes blob) {
    DWORD bits = Le32(blob, 12);
    size_t nb = bits / 8, hb = bits / 16;
    auto one = [&](size_t off, size_t len) {
        std::fill(blob.begin() + off, blob.begin() + off + len, 0);
        blob[off] = 1;
    };
    one(16, 4);
    size_t off = 20 + nb + 2 * hb;
    one(off, hb);
    one(off + hb, hb);
    one(off + 3 * hb, nb);
    return blob;
}

// SIMPLEBLOB of plain key bytes for an exchange key of E bits, laid out as
// CryptoAPI does: header, wrapping algorithm, then the PKCS#1 type-2 block
// least significant byte first.
Bytes PlainSimpleBlob(ALG_ID alg, const Bytes& key, DWORD exchangeBits) {
    size_t k = exchangeBits / 8;
    Bytes b(12 + k, 0);
    b[0] = SIMPLEBLOB;
    b[1] = 2;
    memcpy(&b[4], &alg, 4);
    DWORD wrap = CALG_RSA_KEYX;
    memcpy(&b[8], &wrap, 4);
    for (size_t i = 0; i < key.size(); ++i) b[12 + i] = key[key.size() - 1 - i];
    size_t ps = k - key.size() - 3;
    RAND_bytes(&b[12 + key.size() + 1], static_cast<int>(ps));
    for (size_t i = 0; i < ps; ++i)
        if (!b[12 + key.size() + 1 + i]) b[12 + key.size() + 1 + i] = 1;
    b[12 + k - 2] = 2;
    b[12 + k - 1] = 0;
    return b;
}

}  // namespace

TEST(CspRsa, PublicKeyBlobAndPublicKeyInfoAgreeWithOpenSSL) {
    Prov p;
    NewContainer(p, FreshName("pub"));
    Key k;
    ASSERT_TRUE(CryptGenKey(p.get(), AT_KEYEXCHANGE, 1024u << 16, k.put()));
    Bytes blob = ExportBlob(k.get(), PUBLICKEYBLOB);
    ASSERT_EQ(20u + 128u, blob.size());
    EXPECT_EQ("0602000000A40000525341310004000001000100", tessaro_test::ToHex(Bytes(blob.begin(), blob.begin() + 20)));
    Pkey pub = PublicKeyOf(p.get(), AT_KEYEXCHANGE);
    ASSERT_TRUE(pub);
    EXPECT_EQ(1024, EVP_PKEY_get_bits(pub.get()));
    EXPECT_EQ(BnBytes(pub.get(), OSSL_PKEY_PARAM_RSA_N, 128), Reversed(Bytes(blob.begin() + 20, blob.end())));

    // CERT_PUBLIC_KEY_INFO: the structure and its data in one buffer.
    DWORD cb = 0;
    ASSERT_TRUE(CryptExportPublicKeyInfo(p.get(), AT_KEYEXCHANGE, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, nullptr, &cb));
    std::vector<ULONG_PTR> buf(cb / sizeof(ULONG_PTR) + 1);
    auto* info = reinterpret_cast<PCERT_PUBLIC_KEY_INFO>(buf.data());
    DWORD small = cb - 1;
    EXPECT_FALSE(CryptExportPublicKeyInfo(p.get(), AT_KEYEXCHANGE, X509_ASN_ENCODING, info, &small));
    EXPECT_EQ(static_cast<DWORD>(ERROR_MORE_DATA), GetLastError());
    ASSERT_TRUE(CryptExportPublicKeyInfo(p.get(), AT_KEYEXCHANGE, X509_ASN_ENCODING, info, &cb));
    const BYTE* lo = reinterpret_cast<const BYTE*>(info);
    EXPECT_STREQ(szOID_RSA_RSA, info->Algorithm.pszObjId);
    ASSERT_EQ(2u, info->Algorithm.Parameters.cbData);
    EXPECT_EQ(0x05, info->Algorithm.Parameters.pbData[0]);
    EXPECT_EQ(0x00, info->Algorithm.Parameters.pbData[1]);
    EXPECT_EQ(0u, info->PublicKey.cUnusedBits);
    EXPECT_GE(info->PublicKey.pbData, lo);
    EXPECT_LE(info->PublicKey.pbData + info->PublicKey.cbData, lo + cb);
    EXPECT_EQ(0x30, info->PublicKey.pbData[0]);
    // And back: an imported public key verifies what the container signs.
    Key imported;
    ASSERT_TRUE(CryptImportPublicKeyInfo(p.get(), X509_ASN_ENCODING, info, imported.put()));
    ALG_ID alg = 0;
    DWORD n = 4;
    ASSERT_TRUE(CryptGetKeyParam(imported.get(), KP_ALGID, reinterpret_cast<BYTE*>(&alg), &n, 0));
    EXPECT_EQ(static_cast<ALG_ID>(CALG_RSA_KEYX), alg);
    EXPECT_EQ(blob, ExportBlob(imported.get(), PUBLICKEYBLOB));
    EXPECT_FALSE(CryptExportPublicKeyInfo(p.get(), AT_SIGNATURE, X509_ASN_ENCODING, nullptr, &cb));
    EXPECT_EQ(static_cast<DWORD>(NTE_NO_KEY), GetLastError());
}

TEST(CspRsa, SignaturesAreLittleEndianPkcs1) {
    Prov p;
    NewContainer(p, FreshName("sig"), kAes);
    Key k;
    ASSERT_TRUE(CryptGenKey(p.get(), AT_SIGNATURE, 1024u << 16, k.put()));
    Pkey pub = PublicKeyOf(p.get(), AT_SIGNATURE);
    ASSERT_TRUE(pub);
    Bytes data(40000);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<BYTE>(i * 7);
    struct {
        ALG_ID alg;
        const EVP_MD* md;
    } cases[] = {{CALG_SHA1, EVP_sha1()}, {CALG_MD5, EVP_md5()}, {CALG_SHA_256, EVP_sha256()}};
    for (const auto& c : cases) {
        Bytes sig = SignWith(p.get(), c.alg, data, AT_SIGNATURE);
        ASSERT_EQ(128u, sig.size()) << c.alg;
        EXPECT_TRUE(OpenSslVerify(pub.get(), c.md, data, Reversed(sig))) << c.alg;
        EXPECT_FALSE(OpenSslVerify(pub.get(), c.md, data, sig)) << c.alg;
    }
    // Without the DigestInfo, the padded block holds the bare digest.
    Bytes raw = Reversed(SignWith(p.get(), CALG_SHA1, data, AT_SIGNATURE, CRYPT_NOHASHOID));
    ASSERT_EQ(128u, raw.size());
    EVP_PKEY_CTX* c = EVP_PKEY_CTX_new(pub.get(), nullptr);
    Bytes rec(128);
    size_t recLen = rec.size();
    ASSERT_EQ(1, EVP_PKEY_verify_recover_init(c));
    ASSERT_EQ(1, EVP_PKEY_CTX_set_rsa_padding(c, RSA_PKCS1_PADDING));
    ASSERT_EQ(1, EVP_PKEY_verify_recover(c, rec.data(), &recLen, raw.data(), raw.size()));
    EVP_PKEY_CTX_free(c);
    BYTE digest[20];
    SHA1(data.data(), data.size(), digest);
    EXPECT_EQ(Bytes(digest, digest + 20), Bytes(rec.begin(), rec.begin() + static_cast<long>(recLen)));
}

TEST(CspRsa, SignatureVerifiesWithTheOpensslTool) {
    Prov p;
    NewContainer(p, FreshName("tool"));
    Key k;
    ASSERT_TRUE(CryptGenKey(p.get(), AT_SIGNATURE, 1024u << 16, k.put()));
    Pkey pub = PublicKeyOf(p.get(), AT_SIGNATURE);
    ASSERT_TRUE(pub);
    Bytes data = {'h', 'e', 'l', 'l', 'o', ' ', 'r', 's', 'a'};
    Bytes sig = Reversed(SignWith(p.get(), CALG_SHA1, data, AT_SIGNATURE));
    tessaro_test::TempDir dir("osslsig");
    unsigned char* der = nullptr;
    int n = i2d_PUBKEY(pub.get(), &der);
    WriteFile(dir.path() + "/pub.der", der, static_cast<size_t>(n));
    OPENSSL_free(der);
    WriteFile(dir.path() + "/data", data.data(), data.size());
    WriteFile(dir.path() + "/sig", sig.data(), sig.size());
    auto res = tessaro_test::RunProcess({"/usr/bin/openssl", "dgst", "-sha1", "-keyform", "DER", "-verify",
                                         dir.path() + "/pub.der", "-signature", dir.path() + "/sig",
                                         dir.path() + "/data"},
                                        "");
    EXPECT_EQ(0, res.exitCode) << res.err;
    EXPECT_EQ("Verified OK\n", res.out);
}

TEST(CspRsa, VerifySignatureAcceptsOwnAndRefusesOthers) {
    Prov p;
    NewContainer(p, FreshName("vfy"));
    Key k;
    ASSERT_TRUE(CryptGenKey(p.get(), AT_SIGNATURE, 1024u << 16, k.put()));
    Bytes data = {1, 2, 3};
    Bytes sig = SignWith(p.get(), CALG_MD5, data, AT_SIGNATURE);
    auto verify = [&](const Bytes& s, ALG_ID alg) {
        Hash h;
        EXPECT_TRUE(CryptCreateHash(p.get(), alg, 0, 0, h.put()));
        CryptHashData(h.get(), data.data(), 3, 0);
        SetLastError(0);
        return CryptVerifySignatureW(h.get(), s.data(), static_cast<DWORD>(s.size()), k.get(), nullptr, 0) ? 0u
                                                                                                  : GetLastError();
    };
    EXPECT_EQ(0u, verify(sig, CALG_MD5));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_SIGNATURE), verify(sig, CALG_SHA1));
    Bytes bent = sig;
    bent[0] ^= 0x40;
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_SIGNATURE), verify(bent, CALG_MD5));
    bent = sig;
    bent.pop_back();
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_SIGNATURE), verify(bent, CALG_MD5));
    // No exchange key: nothing to sign with.
    Hash h;
    ASSERT_TRUE(CryptCreateHash(p.get(), CALG_SHA1, 0, 0, h.put()));
    DWORD cb = 0;
    EXPECT_FALSE(CryptSignHashW(h.get(), AT_KEYEXCHANGE, nullptr, 0, nullptr, &cb));
    EXPECT_EQ(static_cast<DWORD>(NTE_NO_KEY), GetLastError());
    cb = 10;
    Bytes shortBuf(10);
    EXPECT_FALSE(CryptSignHashW(h.get(), AT_SIGNATURE, nullptr, 0, shortBuf.data(), &cb));
    EXPECT_EQ(static_cast<DWORD>(ERROR_MORE_DATA), GetLastError());
    EXPECT_EQ(128u, cb);
}

TEST(CspRsa, PrivateKeyBlobLayoutAndRoundTrip) {
    Pkey ossl = OpenSslRsa(1024);
    Bytes blob = PrivateBlobOf(ossl.get(), CALG_RSA_KEYX);
    ASSERT_EQ(596u, blob.size());
    Prov p;
    NewContainer(p, FreshName("priv"));
    Key k;
    ASSERT_TRUE(CryptImportKey(p.get(), blob.data(), static_cast<DWORD>(blob.size()), 0, CRYPT_EXPORTABLE, k.put()))
        << std::hex << GetLastError();
    // Exported again byte for byte as laid out independently here.
    EXPECT_EQ(tessaro_test::ToHex(blob), tessaro_test::ToHex(ExportBlob(k.get(), PRIVATEKEYBLOB)));
    // The imported key is the container's exchange key, and decrypts what
    // OpenSSL encrypts (ciphertext handed over least significant byte first).
    Key u;
    ASSERT_TRUE(CryptGetUserKey(p.get(), AT_KEYEXCHANGE, u.put()));
    Bytes msg = {'s', 'e', 's', 's', 'i', 'o', 'n'};
    Bytes ct = Reversed(OpenSslEncrypt(ossl.get(), msg));
    ASSERT_EQ(128u, ct.size());
    DWORD n = static_cast<DWORD>(ct.size());
    ASSERT_TRUE(CryptDecrypt(u.get(), 0, TRUE, 0, ct.data(), &n)) << std::hex << GetLastError();
    EXPECT_EQ(msg, Bytes(ct.begin(), ct.begin() + n));
    // And CryptEncrypt output, reversed, is what OpenSSL decrypts.
    Bytes buf(128);
    memcpy(buf.data(), msg.data(), msg.size());
    n = static_cast<DWORD>(msg.size());
    ASSERT_TRUE(CryptEncrypt(u.get(), 0, TRUE, 0, buf.data(), &n, 128));
    EXPECT_EQ(128u, n);
    EXPECT_EQ(msg, OpenSslDecrypt(ossl.get(), Reversed(buf)));
}

TEST(CspRsa, RsaEncryptDecryptErrors) {
    Prov p;
    NewContainer(p, FreshName("rsaerr"));
    Key k;
    ASSERT_TRUE(CryptGenKey(p.get(), AT_KEYEXCHANGE, 1024u << 16, k.put()));
    Bytes buf(128, 0x41);
    DWORD n = 118;  // k - 10: one byte too many for PKCS#1 v1.5
    EXPECT_FALSE(CryptEncrypt(k.get(), 0, TRUE, 0, buf.data(), &n, 128));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_LEN), GetLastError());
    n = 5;
    EXPECT_FALSE(CryptEncrypt(k.get(), 0, TRUE, 0, buf.data(), &n, 64));
    EXPECT_EQ(static_cast<DWORD>(ERROR_MORE_DATA), GetLastError());
    EXPECT_EQ(128u, n);
    n = 5;
    ASSERT_TRUE(CryptEncrypt(k.get(), 0, TRUE, 0, nullptr, &n, 0));
    EXPECT_EQ(128u, n);
    n = 127;
    EXPECT_FALSE(CryptDecrypt(k.get(), 0, TRUE, 0, buf.data(), &n));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_DATA), GetLastError());
    n = 5;
    ASSERT_TRUE(CryptEncrypt(k.get(), 0, TRUE, 0, buf.data(), &n, 128));
    buf[64] ^= 0x01;
    n = 128;
    EXPECT_FALSE(CryptDecrypt(k.get(), 0, TRUE, 0, buf.data(), &n));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_DATA), GetLastError());
}

TEST(CspRsa, KeyBlobsOfTheWrongShapeAreRefused) {
    Pkey ossl = OpenSslRsa(1024);
    Bytes good = PrivateBlobOf(ossl.get(), CALG_RSA_SIGN);
    Prov p;
    ASSERT_TRUE(CryptAcquireContextW(p.put(), nullptr, kEnh, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    auto err = [&](const Bytes& b) {
        Key k;
        SetLastError(0);
        return CryptImportKey(p.get(), b.data(), static_cast<DWORD>(b.size()), 0, 0, k.put()) ? 0u : GetLastError();
    };
    EXPECT_EQ(0u, err(good));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_DATA), err(Bytes(good.begin(), good.begin() + 7)));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_DATA), err(Bytes(good.begin(), good.begin() + 19)));
    Bytes b = good;
    b.pop_back();
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_DATA), err(b));
    b = good;
    b.push_back(0);
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_DATA), err(b));
    b = good;
    b[0] = 0x55;
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_TYPE), err(b));
    b = good;
    b[1] = 3;
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_VER), err(b));
    b = good;
    b[11] = '1';  // "RSA1" in a private blob
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_DATA), err(b));
    b = good;
    b[4] = 0x03;
    b[5] = 0x66;  // a 3DES algorithm id
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_DATA), err(b));
    b = good;
    b[13] = 0x08;  // bit length 2048 with a 1024-bit body
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_DATA), err(b));
    // Public blob: magic RSA1 and nothing after the modulus.
    Bytes pub(good.begin(), good.begin() + 20 + 128);
    pub[0] = PUBLICKEYBLOB;
    pub[11] = '1';
    EXPECT_EQ(0u, err(pub));
    pub[11] = '2';
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_DATA), err(pub));
    Key k;
    EXPECT_FALSE(CryptImportKey(p.get(), nullptr, 20, 0, 0, k.put()));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
}

TEST(CspRsa, ExportabilityFollowsTheCreationFlags) {
    Prov p;
    NewContainer(p, FreshName("exp"));
    Key plain, exportable;
    ASSERT_TRUE(CryptGenKey(p.get(), AT_SIGNATURE, 512u << 16, plain.put()));
    DWORD cb = 0;
    EXPECT_FALSE(CryptExportKey(plain.get(), 0, PRIVATEKEYBLOB, 0, nullptr, &cb));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_KEY_STATE), GetLastError());
    EXPECT_FALSE(ExportBlob(plain.get(), PUBLICKEYBLOB).empty());
    DWORD perm = 0, n = 4;
    ASSERT_TRUE(CryptGetKeyParam(plain.get(), KP_PERMISSIONS, reinterpret_cast<BYTE*>(&perm), &n, 0));
    EXPECT_EQ(0u, perm & CRYPT_EXPORT);
    // Permissions can be narrowed, never widened.
    perm |= CRYPT_EXPORT;
    EXPECT_FALSE(CryptSetKeyParam(plain.get(), KP_PERMISSIONS, reinterpret_cast<BYTE*>(&perm), 0));
    ASSERT_TRUE(CryptGenKey(p.get(), AT_KEYEXCHANGE, (512u << 16) | CRYPT_EXPORTABLE, exportable.put()));
    Bytes priv = ExportBlob(exportable.get(), PRIVATEKEYBLOB);
    ASSERT_EQ(20u + 9u * 512 / 16, priv.size());
    // The flag is kept with the container: a later handle may export too,
    // and an import without the flag may not.
    Key again;
    ASSERT_TRUE(CryptGetUserKey(p.get(), AT_KEYEXCHANGE, again.put()));
    EXPECT_EQ(priv, ExportBlob(again.get(), PRIVATEKEYBLOB));
    Prov q;
    NewContainer(q, FreshName("exp2"));
    Key imported;
    ASSERT_TRUE(CryptImportKey(q.get(), priv.data(), static_cast<DWORD>(priv.size()), 0, 0, imported.put()));
    EXPECT_FALSE(CryptExportKey(imported.get(), 0, PRIVATEKEYBLOB, 0, nullptr, &cb));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_KEY_STATE), GetLastError());
}

TEST(CspRsa, SessionKeyThroughAnExponentOneKey) {
    std::u16string name = FreshName("expone");
    Prov p;
    NewContainer(p, name);
    Key gen;
    ASSERT_TRUE(CryptGenKey(p.get(), AT_KEYEXCHANGE, CRYPT_EXPORTABLE, gen.put()));
    Bytes blob = ExportBlob(gen.get(), PRIVATEKEYBLOB);
    ASSERT_EQ(596u, blob.size());
    Bytes one = ExponentOne(blob);
    Key ek;
    ASSERT_TRUE(CryptImportKey(p.get(), one.data(), static_cast<DWORD>(one.size()), 0, 0, ek.put())) << std::hex
                                                                                             << GetLastError();
    Bytes sessionKey = tessaro_test::FromHex("0123456789ABCDEFFEDCBA987654321089ABCDEF01234567");
    Bytes simple = PlainSimpleBlob(CALG_3DES, sessionKey, 1024);
    Key sk;
    ASSERT_TRUE(CryptImportKey(p.get(), simple.data(), static_cast<DWORD>(simple.size()), ek.get(), CRYPT_EXPORTABLE, sk.put()))
        << std::hex << GetLastError();
    DWORD mode = CRYPT_MODE_ECB;
    ASSERT_TRUE(CryptSetKeyParam(sk.get(), KP_MODE, reinterpret_cast<BYTE*>(&mode), 0));
    // A 3DES-ECB ciphertext made by OpenSSL with that key.
    Bytes ct = tessaro_test::FromHex(
        "5de3127f7a416b4db4d2e7fe238e09eb1fc955bfe20eb75c79b3875bc403c6ea46c57db8ae316e6f44adc7811d0a048e");
    DWORD n = static_cast<DWORD>(ct.size());
    ASSERT_TRUE(CryptDecrypt(sk.get(), 0, TRUE, 0, ct.data(), &n)) << std::hex << GetLastError();
    EXPECT_EQ("The quick brown fox jumps over the lazy dog", std::string(ct.begin(), ct.begin() + n));
    Bytes plainBlob = ExportBlob(sk.get(), PLAINTEXTKEYBLOB);
    ASSERT_EQ(36u, plainBlob.size());
    EXPECT_EQ(sessionKey, Bytes(plainBlob.begin() + 12, plainBlob.end()));
    // The exponent-one key is the container's exchange key now, also for a
    // later context, and unwraps again.
    Prov later;
    ASSERT_TRUE(CryptAcquireContextW(later.put(), name.c_str(), kEnh, PROV_RSA_FULL, 0));
    Key k2, sk2;
    ASSERT_TRUE(CryptGetUserKey(later.get(), AT_KEYEXCHANGE, k2.put()));
    ASSERT_TRUE(CryptImportKey(later.get(), simple.data(), static_cast<DWORD>(simple.size()), k2.get(), 0, sk2.put()));
    // A block whose type byte is wrong, or the wrong wrapping algorithm, fails cleanly.
    Bytes bad = simple;
    bad[12 + 128 - 2] = 1;
    EXPECT_FALSE(CryptImportKey(later.get(), bad.data(), static_cast<DWORD>(bad.size()), k2.get(), 0, sk2.put()));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_DATA), GetLastError());
    bad = simple;
    bad[9] = 0x24;  // CALG_RSA_SIGN
    EXPECT_FALSE(CryptImportKey(later.get(), bad.data(), static_cast<DWORD>(bad.size()), k2.get(), 0, sk2.put()));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_ALGID), GetLastError());
    bad = simple;
    bad.pop_back();
    EXPECT_FALSE(CryptImportKey(later.get(), bad.data(), static_cast<DWORD>(bad.size()), k2.get(), 0, sk2.put()));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_DATA), GetLastError());
    // A 16-byte key in a 3DES blob has the wrong length for its algorithm.
    bad = PlainSimpleBlob(CALG_3DES, Bytes(sessionKey.begin(), sessionKey.begin() + 16), 1024);
    EXPECT_FALSE(CryptImportKey(later.get(), bad.data(), static_cast<DWORD>(bad.size()), k2.get(), 0, sk2.put()));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_DATA), GetLastError());
}

TEST(CspRsa, SimpleBlobExportedForAnExchangeKey) {
    Pkey ossl = OpenSslRsa(1024);
    Bytes blob = PrivateBlobOf(ossl.get(), CALG_RSA_KEYX);
    Prov p;
    NewContainer(p, FreshName("simple"));
    Key xk, sk, nonExp;
    ASSERT_TRUE(CryptImportKey(p.get(), blob.data(), static_cast<DWORD>(blob.size()), 0, 0, xk.put()));
    ASSERT_TRUE(CryptGenKey(p.get(), CALG_3DES, CRYPT_EXPORTABLE, sk.put()));
    Bytes simple = ExportBlob(sk.get(), SIMPLEBLOB, xk.get());
    ASSERT_EQ(12u + 128u, simple.size());
    EXPECT_EQ("010200000366000000A40000", tessaro_test::ToHex(Bytes(simple.begin(), simple.begin() + 12)));
    Bytes key = OpenSslDecrypt(ossl.get(), Reversed(Bytes(simple.begin() + 12, simple.end())));
    Bytes plain = ExportBlob(sk.get(), PLAINTEXTKEYBLOB);
    ASSERT_EQ(24u, key.size());
    EXPECT_EQ(Bytes(plain.begin() + 12, plain.end()), key);
    // Imported again without a key handle: the container's exchange key unwraps.
    Key back;
    ASSERT_TRUE(CryptImportKey(p.get(), simple.data(), static_cast<DWORD>(simple.size()), 0, 0, back.put()));
    BYTE data[16] = "block of text!!";
    DWORD n = 8;
    BYTE a[16], b[16];
    memcpy(a, data, 16);
    memcpy(b, data, 16);
    ASSERT_TRUE(CryptEncrypt(sk.get(), 0, TRUE, 0, a, &n, 16));
    n = 8;
    ASSERT_TRUE(CryptEncrypt(back.get(), 0, TRUE, 0, b, &n, 16));
    EXPECT_EQ(0, memcmp(a, b, 16));
    DWORD cb = 0;
    EXPECT_FALSE(CryptExportKey(back.get(), xk.get(), SIMPLEBLOB, 0, nullptr, &cb));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_KEY_STATE), GetLastError());
    EXPECT_FALSE(CryptExportKey(sk.get(), 0, SIMPLEBLOB, 0, nullptr, &cb));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_PUBLIC_KEY), GetLastError());
    EXPECT_FALSE(CryptExportKey(sk.get(), 0, 0x42, 0, nullptr, &cb));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_TYPE), GetLastError());
}

TEST(CspRsa, KeyLengthsAndDefaults) {
    auto keylen = [](const char16_t* prov, DWORD flags, DWORD* err) -> DWORD {
        Prov p;
        EXPECT_TRUE(CryptAcquireContextW(p.put(), nullptr, prov, TypeOf(prov), CRYPT_VERIFYCONTEXT));
        Key k;
        *err = 0;
        if (!CryptGenKey(p.get(), AT_SIGNATURE, flags, k.put())) {
            *err = GetLastError();
            return 0;
        }
        DWORD bits = 0, n = 4;
        EXPECT_TRUE(CryptGetKeyParam(k.get(), KP_KEYLEN, reinterpret_cast<BYTE*>(&bits), &n, 0));
        return bits;
    };
    DWORD err = 0;
    EXPECT_EQ(512u, keylen(kBase, 0, &err));
    EXPECT_EQ(1024u, keylen(kEnh, 0, &err));
    EXPECT_EQ(1024u, keylen(kStrong, 0, &err));
    EXPECT_EQ(1024u, keylen(kAes, 0, &err));
    EXPECT_EQ(2048u, keylen(kEnh, 2048u << 16, &err));
    EXPECT_EQ(0u, keylen(kEnh, 1004u << 16, &err));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_FLAGS), err);
    EXPECT_EQ(0u, keylen(kEnh, 256u << 16, &err));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_FLAGS), err);
    EXPECT_EQ(0u, keylen(kEnh, 16392u << 16, &err));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_FLAGS), err);
    EXPECT_EQ(0u, keylen(kTokenRsa, 8192u << 16, &err));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_FLAGS), err);
    EXPECT_EQ(0u, keylen(kEnh, 0x4000000u | 0x800, &err));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_FLAGS), err);
}

TEST(CspRsa, CertificateStoredWithTheKey) {
    std::u16string msName = FreshName("certms");
    Prov p;
    NewContainer(p, msName);
    Key k;
    ASSERT_TRUE(CryptGenKey(p.get(), AT_KEYEXCHANGE, 1024u << 16, k.put()));
    DWORD cb = 0;
    EXPECT_FALSE(CryptGetKeyParam(k.get(), KP_CERTIFICATE, nullptr, &cb, 0));
    Pkey pub = PublicKeyOf(p.get(), AT_KEYEXCHANGE);
    Bytes cert = CertificateFor(pub.get(), "holder");
    Pkey other = OpenSslRsa(1024);
    Bytes otherCert = CertificateFor(other.get(), "other");
    ASSERT_TRUE(CryptSetKeyParam(k.get(), KP_CERTIFICATE, cert.data(), 0)) << std::hex << GetLastError();
    // Read back through another context.
    auto certOf = [](HCRYPTKEY h) {
        DWORD n = 0;
        if (!CryptGetKeyParam(h, KP_CERTIFICATE, nullptr, &n, 0)) return Bytes();
        Bytes b(n);
        if (!CryptGetKeyParam(h, KP_CERTIFICATE, b.data(), &n, 0)) return Bytes();
        b.resize(n);
        return b;
    };
    Prov q;
    ASSERT_TRUE(CryptAcquireContextW(q.put(), msName.c_str(), kStrong, PROV_RSA_FULL, 0));
    Key u, early;
    ASSERT_TRUE(CryptGetUserKey(q.get(), AT_KEYEXCHANGE, u.put()));
    ASSERT_TRUE(CryptGetUserKey(q.get(), AT_KEYEXCHANGE, early.put()));
    Bytes got = certOf(u.get());
    EXPECT_EQ(cert, got);
    // Bytes read back from a container are read by OpenSSL again once they
    // differ: here a name that is not UTF-8.
    Bytes bad = got;
    const std::string cn = "holder";
    auto at = std::search(bad.begin(), bad.end(), cn.begin(), cn.end());
    ASSERT_NE(at, bad.end());
    *at = 0xFF;
    EXPECT_EQ(nullptr, CertCreateCertificateContext(X509_ASN_ENCODING, bad.data(), static_cast<DWORD>(bad.size())));
    EXPECT_EQ(static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT), GetLastError());
    // Microsoft's providers keep whatever certificate they are given.
    EXPECT_TRUE(CryptSetKeyParam(u.get(), KP_CERTIFICATE, otherCert.data(), 0));
    // A handle taken before this process's change answers with the change,
    // and so does one taken after it from a context acquired before it.
    EXPECT_EQ(otherCert, certOf(early.get()));
    Key late;
    ASSERT_TRUE(CryptGetUserKey(q.get(), AT_KEYEXCHANGE, late.put()));
    EXPECT_EQ(otherCert, certOf(late.get()));
    // Another process's change is read through the contexts acquired after it.
    Bytes thirdCert = CertificateFor(pub.get(), "third");
    pid_t pid = fork();
    if (pid == 0) {
        Prov c;
        Key ck;
        bool ok = CryptAcquireContextW(c.put(), msName.c_str(), kEnh, PROV_RSA_FULL, 0) &&
                  CryptGetUserKey(c.get(), AT_KEYEXCHANGE, ck.put()) &&
                  CryptSetKeyParam(ck.get(), KP_CERTIFICATE, thirdCert.data(), 0);
        _exit(ok ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    Prov fresh;
    ASSERT_TRUE(CryptAcquireContextW(fresh.put(), msName.c_str(), kEnh, PROV_RSA_FULL, 0));
    Key after;
    ASSERT_TRUE(CryptGetUserKey(fresh.get(), AT_KEYEXCHANGE, after.put()));
    EXPECT_EQ(thirdCert, certOf(after.get()));
    Bytes junk = {0x30, 0x03, 0x02, 0x01, 0x01};
    EXPECT_FALSE(CryptSetKeyParam(u.get(), KP_CERTIFICATE, junk.data(), 0));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_DATA), GetLastError());

    // The token provider refuses another key's certificate and keeps its own.
    Prov t;
    NewContainer(t, FreshName("certtok"), kTokenRsa);
    Key tk;
    ASSERT_TRUE(CryptGenKey(t.get(), AT_SIGNATURE, 1024u << 16, tk.put()));
    Pkey tpub = PublicKeyOf(t.get(), AT_SIGNATURE);
    Bytes tcert = CertificateFor(tpub.get(), "token");
    ASSERT_TRUE(CryptSetKeyParam(tk.get(), KP_CERTIFICATE, tcert.data(), 0));
    EXPECT_FALSE(CryptSetKeyParam(tk.get(), KP_CERTIFICATE, otherCert.data(), 0));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_PUBLIC_KEY), GetLastError());
    cb = static_cast<DWORD>(got.size() + 4096);
    got.assign(cb, 0);
    ASSERT_TRUE(CryptGetKeyParam(tk.get(), KP_CERTIFICATE, got.data(), &cb, 0));
    got.resize(cb);
    EXPECT_EQ(tcert, got);
}

TEST(CspRsa, EveryRsaProviderSignsAndDecryptsAlike) {
    for (const char16_t* prov : {kBase, kEnh, kStrong, kAes, kTokenRsa}) {
        Prov p;
        NewContainer(p, FreshName("each"), prov);
        Key k;
        ASSERT_TRUE(CryptGenKey(p.get(), AT_KEYEXCHANGE, 1024u << 16, k.put()));
        Pkey pub = PublicKeyOf(p.get(), AT_KEYEXCHANGE);
        ASSERT_TRUE(pub);
        Bytes data = {'e', 'a', 'c', 'h'};
        Bytes sig = SignWith(p.get(), CALG_SHA1, data, AT_KEYEXCHANGE);
        EXPECT_TRUE(OpenSslVerify(pub.get(), EVP_sha1(), data, Reversed(sig)));
        Bytes ct = Reversed(OpenSslEncrypt(pub.get(), data));
        DWORD n = static_cast<DWORD>(ct.size());
        ASSERT_TRUE(CryptDecrypt(k.get(), 0, TRUE, 0, ct.data(), &n));
        EXPECT_EQ(data, Bytes(ct.begin(), ct.begin() + n));
    }
}
