// The SM2 token provider through the CryptoAPI calls the system makes, with
// every signature and ciphertext cross-checked by OpenSSL (API and command
// line) and persistence checked from a second process.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "tests/platform/csp/OpenSslHelpers.h"
#include "tests/support/TestSupport.h"
#include "platform/csp/CspProvider.h"
#include "platform/csp/Sm2Crypto.h"
#include "platform/csp/Sm2Provider.h"
#include "platform/csp/VendorBlob.h"
#include "win/windows.h"
#include "win/wincrypt.h"
#include "tessaro/Handles.h"

using sm2csp_test::Bytes;
using tessaro_test::ToHex;

namespace {

const char16_t* const kSm2 = CSP_VENDOR_SM2_NAME;

using Prov = tessaro::UniqueCryptProv;
using Key = tessaro::UniqueCryptKey;
using Hash = tessaro::UniqueCryptHash;

DWORD LastError() { return GetLastError(); }
DWORD Code(HRESULT hr) { return static_cast<DWORD>(hr); }

std::u16string NewName(const char* tag) {
    static int n = 0;
    std::string s = std::string("{sm2-") + tag + "-" + std::to_string(getpid()) + "-" + std::to_string(++n) + "}";
    return std::u16string(s.begin(), s.end());
}

bool Acquire(Prov& p, const std::u16string& name, DWORD flags) {
    return CryptAcquireContextW(p.put(), name.empty() ? nullptr : name.c_str(), kSm2, PROV_RSA_FULL, flags);
}

Bytes ExportPublic(HCRYPTKEY k) {
    DWORD n = 0;
    if (!CryptExportKey(k, 0, PUBLICKEYBLOB, 0, nullptr, &n)) return {};
    Bytes b(n);
    if (!CryptExportKey(k, 0, PUBLICKEYBLOB, 0, b.data(), &n)) return {};
    b.resize(n);
    return b;
}

Bytes UserPublic(HCRYPTPROV h, DWORD spec) {
    Key k;
    if (!CryptGetUserKey(h, spec, k.put())) return {};
    return ExportPublic(k.get());
}

// Big-endian coordinates out of a 140-byte blob.
Bytes CoordX(const Bytes& blob) { return Bytes(blob.rend() - 44, blob.rend() - 12); }
Bytes CoordY(const Bytes& blob) { return Bytes(blob.rend() - 108, blob.rend() - 76); }

// Hashes msg with SM3 in pieces as the request builder does and signs it.
Bytes SignWithProvider(HCRYPTPROV h, DWORD spec, const Bytes& msg, DWORD piece = 16384) {
    Hash hh;
    if (!CryptCreateHash(h, CALG_SM3, 0, 0, hh.put())) return {};
    for (size_t off = 0; off < msg.size(); off += piece) {
        DWORD n = static_cast<DWORD>(std::min<size_t>(piece, msg.size() - off));
        if (!CryptHashData(hh.get(), msg.data() + off, n, 0)) return {};
    }
    DWORD n = 0;
    if (!CryptSignHashW(hh.get(), spec, nullptr, 0, nullptr, &n)) return {};
    Bytes sig(16384);
    n = static_cast<DWORD>(sig.size());
    if (!CryptSignHashW(hh.get(), spec, nullptr, 0, sig.data(), &n)) return {};
    sig.resize(n);
    return sig;
}

Bytes Text(const char* s) { return Bytes(s, s + std::strlen(s)); }

std::string TempFile(const tessaro_test::TempDir& d, const char* name) { return d.path() + "/" + name; }

std::string NarrowName(const std::u16string& s) { return std::string(s.begin(), s.end()); }

}  // namespace

// ---- contexts and containers ---------------------------------------------------

TEST(Sm2ProviderContainers, NameContainerAndDeletionWithVendorFlag) {
    std::u16string name = NewName("del");
    {
        Prov p;
        ASSERT_TRUE(Acquire(p, name, CRYPT_NEWKEYSET)) << std::hex << LastError();
        char buf[300] = {};
        DWORD n = sizeof buf;
        ASSERT_TRUE(CryptGetProvParam(p.get(), PP_NAME, reinterpret_cast<BYTE*>(buf), &n, 0));
        EXPECT_STREQ("Tessaro SM2 Token CSP v1.0", buf);
        EXPECT_NE(nullptr, std::strstr(buf, "SM2"));
        EXPECT_EQ(nullptr, std::strstr(buf, "Microsoft"));
        n = sizeof buf;
        ASSERT_TRUE(CryptGetProvParam(p.get(), PP_CONTAINER, reinterpret_cast<BYTE*>(buf), &n, 0));
        EXPECT_EQ(NarrowName(name), std::string(buf));
        Key k;
        ASSERT_TRUE(CryptGenKey(p.get(), CALG_SM2_KEYX, 256u << 16, k.put()));
    }
    Prov again;
    EXPECT_FALSE(Acquire(again, name, CRYPT_NEWKEYSET));
    EXPECT_EQ(Code(NTE_EXISTS), LastError());

    Prov del;
    ASSERT_TRUE(Acquire(del, name, CRYPT_SM2_DELETEKEYSET)) << std::hex << LastError();
    EXPECT_EQ(0u, del.get());
    Prov gone;
    EXPECT_FALSE(Acquire(gone, name, 0));
    EXPECT_EQ(Code(NTE_BAD_KEYSET), LastError());
    Prov gone2;
    EXPECT_FALSE(Acquire(gone2, name, CRYPT_SM2_DELETEKEYSET));
    EXPECT_EQ(Code(NTE_BAD_KEYSET), LastError());
    // The name is free again.
    Prov fresh;
    EXPECT_TRUE(Acquire(fresh, name, CRYPT_NEWKEYSET));
    EXPECT_TRUE(UserPublic(fresh.get(), AT_KEYEXCHANGE).empty());
}

TEST(Sm2ProviderContainers, VerifyContextWithNameOpensTheContainer) {
    std::u16string name = NewName("verify");
    Bytes pub;
    {
        Prov p;
        ASSERT_TRUE(Acquire(p, name, CRYPT_NEWKEYSET));
        Key k;
        ASSERT_TRUE(CryptGenKey(p.get(), AT_SIGNATURE, 0, k.put()));
        pub = ExportPublic(k.get());
    }
    Prov v;
    ASSERT_TRUE(Acquire(v, name, CRYPT_VERIFYCONTEXT)) << std::hex << LastError();
    EXPECT_EQ(pub, UserPublic(v.get(), AT_SIGNATURE));
    Prov missing;
    EXPECT_FALSE(Acquire(missing, NewName("nothere"), CRYPT_VERIFYCONTEXT));
    EXPECT_EQ(Code(NTE_BAD_KEYSET), LastError());

    // Without a name: keys live only as long as the context.
    {
        Prov e;
        ASSERT_TRUE(Acquire(e, u"", CRYPT_VERIFYCONTEXT));
        Key k;
        ASSERT_TRUE(CryptGenKey(e.get(), AT_SIGNATURE, 0, k.put()));
        Bytes sig = SignWithProvider(e.get(), AT_SIGNATURE, Text("ephemeral"));
        Bytes eb = ExportPublic(k.get());
        EXPECT_TRUE(sm2csp_test::Sm2VerifyWithOpenSsl(CoordX(eb), CoordY(eb), Text("ephemeral"), sig));
    }
    Prov e2;
    ASSERT_TRUE(Acquire(e2, u"", CRYPT_VERIFYCONTEXT));
    Key none;
    EXPECT_FALSE(CryptGetUserKey(e2.get(), AT_SIGNATURE, none.put()));
    EXPECT_EQ(Code(NTE_NO_KEY), LastError());
}

TEST(Sm2ProviderContainers, EnumerationListsContainersAsNarrowNames) {
    std::u16string a = NewName("enum-a"), b = NewName("enum-b");
    for (const auto& n : {a, b}) {
        Prov p;
        ASSERT_TRUE(Acquire(p, n, CRYPT_NEWKEYSET));
    }
    Prov v;
    ASSERT_TRUE(Acquire(v, u"", CRYPT_VERIFYCONTEXT));
    DWORD max = 0;
    ASSERT_TRUE(CryptGetProvParam(v.get(), PP_ENUMCONTAINERS, nullptr, &max, CRYPT_FIRST));
    ASSERT_GT(max, NarrowName(a).size());
    std::string buf(max + 1, '\0');
    std::vector<std::string> seen;
    DWORD flags = CRYPT_FIRST;
    for (;;) {
        DWORD n = max + 1;
        std::fill(buf.begin(), buf.end(), '\0');
        if (!CryptGetProvParam(v.get(), PP_ENUMCONTAINERS, reinterpret_cast<BYTE*>(buf.data()), &n, flags)) break;
        seen.emplace_back(buf.c_str());
        flags = CRYPT_NEXT;
    }
    EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_ITEMS), LastError());
    EXPECT_NE(seen.end(), std::find(seen.begin(), seen.end(), NarrowName(a)));
    EXPECT_NE(seen.end(), std::find(seen.begin(), seen.end(), NarrowName(b)));
}

TEST(Sm2ProviderContainers, AlgorithmList) {
    Prov v;
    ASSERT_TRUE(Acquire(v, u"", CRYPT_VERIFYCONTEXT));
    std::vector<ALG_ID> algs;
    PROV_ENUMALGS_EX e;
    DWORD flags = CRYPT_FIRST;
    for (;;) {
        DWORD n = sizeof e;
        if (!CryptGetProvParam(v.get(), PP_ENUMALGS_EX, reinterpret_cast<BYTE*>(&e), &n, flags)) break;
        EXPECT_EQ(88u, n);
        algs.push_back(e.aiAlgid);
        if (e.aiAlgid != CALG_SM3) {
            EXPECT_EQ(256u, e.dwMinLen);
            EXPECT_EQ(256u, e.dwMaxLen);
        }
        flags = CRYPT_NEXT;
    }
    EXPECT_EQ((std::vector<ALG_ID>{CALG_SM2_SIGN, CALG_SM2_KEYX, CALG_SM3}), algs);
}

// ---- key generation and export ------------------------------------------------------

TEST(Sm2ProviderKeys, GenerationAlgidsLengthsAndBlob) {
    Prov p;
    ASSERT_TRUE(Acquire(p, NewName("gen"), CRYPT_NEWKEYSET));
    Key s, x;
    ASSERT_TRUE(CryptGenKey(p.get(), CALG_SM2_SIGN, 0x01000000, s.put())) << std::hex << LastError();
    ASSERT_TRUE(CryptGenKey(p.get(), CALG_SM2_KEYX, 0, x.put()));
    DWORD v = 0, n = sizeof v;
    ASSERT_TRUE(CryptGetKeyParam(s.get(), KP_ALGID, reinterpret_cast<BYTE*>(&v), &n, 0));
    EXPECT_EQ(static_cast<DWORD>(CALG_SM2_SIGN), v);
    n = sizeof v;
    ASSERT_TRUE(CryptGetKeyParam(x.get(), KP_KEYLEN, reinterpret_cast<BYTE*>(&v), &n, 0));
    EXPECT_EQ(256u, v);

    DWORD size = 0;
    ASSERT_TRUE(CryptExportKey(s.get(), 0, PUBLICKEYBLOB, 0, nullptr, &size));
    EXPECT_EQ(140u, size);
    Bytes blob = ExportPublic(s.get());
    ASSERT_EQ(140u, blob.size());
    EXPECT_EQ("06020000003E000000010000", ToHex(blob.data(), 12));
    EXPECT_EQ(Bytes(32, 0), Bytes(blob.begin() + 44, blob.begin() + 76));
    EXPECT_EQ(Bytes(32, 0), Bytes(blob.begin() + 108, blob.end()));
    Bytes xb = ExportPublic(x.get());
    EXPECT_EQ("0602000000BE000000010000", ToHex(xb.data(), 12));
    EXPECT_NE(blob, xb);
    // The exported point is a point of the key: OpenSSL checks a signature with it.
    Bytes sig = SignWithProvider(p.get(), AT_SIGNATURE, Text("m"));
    EXPECT_TRUE(sm2csp_test::Sm2VerifyWithOpenSsl(CoordX(blob), CoordY(blob), Text("m"), sig));

    // A short buffer reports the size.
    Bytes small(100);
    size = 100;
    EXPECT_FALSE(CryptExportKey(s.get(), 0, PUBLICKEYBLOB, 0, small.data(), &size));
    EXPECT_EQ(static_cast<DWORD>(ERROR_MORE_DATA), LastError());
    EXPECT_EQ(140u, size);
}

TEST(Sm2ProviderKeys, RefusedGenerationChangesNothing) {
    Prov p;
    ASSERT_TRUE(Acquire(p, NewName("genbad"), CRYPT_NEWKEYSET));
    Key k;
    ASSERT_TRUE(CryptGenKey(p.get(), AT_SIGNATURE, 0, k.put()));
    Bytes before = UserPublic(p.get(), AT_SIGNATURE);
    Key bad;
    EXPECT_FALSE(CryptGenKey(p.get(), AT_SIGNATURE, 512u << 16, bad.put()));
    EXPECT_EQ(Code(NTE_BAD_FLAGS), LastError());
    EXPECT_FALSE(CryptGenKey(p.get(), CALG_RSA_KEYX, 0, bad.put()));
    EXPECT_EQ(Code(NTE_BAD_ALGID), LastError());
    EXPECT_FALSE(CryptGenKey(p.get(), AT_SIGNATURE, 192u << 16, bad.put()));
    EXPECT_EQ(Code(NTE_BAD_FLAGS), LastError());
    EXPECT_FALSE(CryptGenKey(p.get(), AT_SIGNATURE, 0x0020, bad.put()));
    EXPECT_EQ(Code(NTE_BAD_FLAGS), LastError());
    EXPECT_EQ(before, UserPublic(p.get(), AT_SIGNATURE));
}

TEST(Sm2ProviderKeys, PrivateExportOnlyWhenExportable) {
    Prov p;
    ASSERT_TRUE(Acquire(p, NewName("exp"), CRYPT_NEWKEYSET));
    Key locked, open;
    ASSERT_TRUE(CryptGenKey(p.get(), AT_SIGNATURE, 0, locked.put()));
    DWORD n = 0;
    EXPECT_FALSE(CryptExportKey(locked.get(), 0, PRIVATEKEYBLOB, 0, nullptr, &n));
    EXPECT_EQ(Code(NTE_BAD_KEY_STATE), LastError());

    ASSERT_TRUE(CryptGenKey(p.get(), AT_KEYEXCHANGE, CRYPT_EXPORTABLE, open.put()));
    ASSERT_TRUE(CryptExportKey(open.get(), 0, PRIVATEKEYBLOB, 0, nullptr, &n));
    ASSERT_EQ(static_cast<DWORD>(tessaro::csp::kSm2PrivateKeyBlobSize), n);
    Bytes priv(n);
    ASSERT_TRUE(CryptExportKey(open.get(), 0, PRIVATEKEYBLOB, 0, priv.data(), &n));
    EXPECT_EQ("0702000000BE000000010000", ToHex(priv.data(), 12));
    // Imported into another container it is the same key.
    Prov q;
    ASSERT_TRUE(Acquire(q, NewName("exp2"), CRYPT_NEWKEYSET));
    Key imp;
    ASSERT_TRUE(CryptImportKey(q.get(), priv.data(), n, 0, 0, imp.put())) << std::hex << LastError();
    EXPECT_EQ(UserPublic(p.get(), AT_KEYEXCHANGE), UserPublic(q.get(), AT_KEYEXCHANGE));
    // Imported without CRYPT_EXPORTABLE it stays inside.
    DWORD m = 0;
    EXPECT_FALSE(CryptExportKey(imp.get(), 0, PRIVATEKEYBLOB, 0, nullptr, &m));
    EXPECT_EQ(Code(NTE_BAD_KEY_STATE), LastError());
    // A blob whose scalar does not give its point is refused.
    Bytes bad = priv;
    bad[140] ^= 1;
    Key k2;
    EXPECT_FALSE(CryptImportKey(q.get(), bad.data(), n, 0, 0, k2.put()));
    EXPECT_EQ(Code(NTE_BAD_DATA), LastError());
}

TEST(Sm2ProviderKeys, PublicBlobImport) {
    Prov p;
    ASSERT_TRUE(Acquire(p, NewName("pubimp"), CRYPT_NEWKEYSET));
    Key k;
    ASSERT_TRUE(CryptGenKey(p.get(), AT_SIGNATURE, 0, k.put()));
    Bytes blob = ExportPublic(k.get());
    Bytes sig = SignWithProvider(p.get(), AT_SIGNATURE, Text("verify me"));

    Prov v;
    ASSERT_TRUE(Acquire(v, u"", CRYPT_VERIFYCONTEXT));
    Key pub;
    ASSERT_TRUE(CryptImportKey(v.get(), blob.data(), 140, 0, 0, pub.put()));
    EXPECT_EQ(blob, ExportPublic(pub.get()));
    Hash h;
    ASSERT_TRUE(CryptCreateHash(v.get(), CALG_SM3, 0, 0, h.put()));
    ASSERT_TRUE(CryptHashData(h.get(), Text("verify me").data(), 9, 0));
    EXPECT_TRUE(CryptVerifySignatureW(h.get(), sig.data(), 64, pub.get(), nullptr, 0)) << std::hex << LastError();
    Hash h2;
    ASSERT_TRUE(CryptCreateHash(v.get(), CALG_SM3, 0, 0, h2.put()));
    ASSERT_TRUE(CryptHashData(h2.get(), Text("verify mE").data(), 9, 0));
    EXPECT_FALSE(CryptVerifySignatureW(h2.get(), sig.data(), 64, pub.get(), nullptr, 0));
    EXPECT_EQ(Code(NTE_BAD_SIGNATURE), LastError());

    Key bad;
    EXPECT_FALSE(CryptImportKey(v.get(), blob.data(), 139, 0, 0, bad.put()));
    EXPECT_EQ(Code(NTE_BAD_LEN), LastError());
    EXPECT_FALSE(CryptImportKey(v.get(), blob.data(), 4, 0, 0, bad.put()));
    EXPECT_EQ(Code(NTE_BAD_LEN), LastError());
    Bytes off = blob;
    off[12] ^= 1;
    EXPECT_FALSE(CryptImportKey(v.get(), off.data(), 140, 0, 0, bad.put()));
    EXPECT_EQ(Code(NTE_BAD_PUBLIC_KEY), LastError());
    Bytes wrongType = blob;
    wrongType[0] = SIMPLEBLOB;
    EXPECT_FALSE(CryptImportKey(v.get(), wrongType.data(), 140, 0, 0, bad.put()));
    EXPECT_EQ(Code(NTE_BAD_TYPE), LastError());
}

// ---- hashing and signing ---------------------------------------------------------

TEST(Sm2ProviderSigning, HashValueIsPlainSm3) {
    Prov v;
    ASSERT_TRUE(Acquire(v, u"", CRYPT_VERIFYCONTEXT));
    Hash h;
    ASSERT_TRUE(CryptCreateHash(v.get(), CALG_SM3, 0, 0, h.put()));
    ASSERT_TRUE(CryptHashData(h.get(), Text("ab").data(), 2, 0));
    ASSERT_TRUE(CryptHashData(h.get(), Text("c").data(), 1, 0));
    BYTE val[32];
    DWORD n = sizeof val;
    ASSERT_TRUE(CryptGetHashParam(h.get(), HP_HASHVAL, val, &n, 0));
    EXPECT_EQ("66C7F0F462EEEDD9D1F2D46BDC10E4E24167C4875CF2F7A2297DA02B8F4BA8E0", ToHex(val, n));
    EXPECT_FALSE(CryptHashData(h.get(), Text("d").data(), 1, 0));
    EXPECT_EQ(Code(NTE_BAD_HASH_STATE), LastError());
    Hash other;
    EXPECT_FALSE(CryptCreateHash(v.get(), CALG_SHA1, 0, 0, other.put()));
    EXPECT_EQ(Code(NTE_BAD_ALGID), LastError());
}

TEST(Sm2ProviderSigning, SignatureVerifiesWithOpenSslApiAndCommandLine) {
    std::u16string name = NewName("sign");
    Prov p;
    ASSERT_TRUE(Acquire(p, name, CRYPT_NEWKEYSET));
    Key k;
    ASSERT_TRUE(CryptGenKey(p.get(), CALG_SM2_SIGN, 0x01000000, k.put()));
    Bytes blob = ExportPublic(k.get());
    Bytes x = CoordX(blob), y = CoordY(blob);
    // More than one piece of 16384 bytes.
    Bytes msg = sm2csp_test::RandomBytes(40000);
    Bytes sig = SignWithProvider(p.get(), AT_SIGNATURE, msg);
    ASSERT_EQ(64u, sig.size());
    EXPECT_TRUE(sm2csp_test::Sm2VerifyWithOpenSsl(x, y, msg, sig));
    // Piece size does not matter: the same message gives a valid signature too.
    Bytes sig2 = SignWithProvider(p.get(), AT_SIGNATURE, msg, 7);
    EXPECT_TRUE(sm2csp_test::Sm2VerifyWithOpenSsl(x, y, msg, sig2));

    tessaro_test::TempDir d("sm2sig");
    ASSERT_TRUE(sm2csp_test::WriteFile(TempFile(d, "pub.pem"), sm2csp_test::Sm2PublicPem(x, y)));
    ASSERT_TRUE(sm2csp_test::WriteFile(TempFile(d, "sig.der"), sm2csp_test::Sm2SignatureDer(sig)));
    ASSERT_TRUE(sm2csp_test::WriteFile(TempFile(d, "data"), msg));
    Bytes tampered = msg;
    tampered[20000] ^= 1;
    ASSERT_TRUE(sm2csp_test::WriteFile(TempFile(d, "other"), tampered));
    auto verify = [&](const char* file) {
        return tessaro_test::RunProcess({"openssl", "dgst", "-sm3", "-verify", TempFile(d, "pub.pem"), "-sigopt",
                                         "distid:1234567812345678", "-signature", TempFile(d, "sig.der"),
                                         TempFile(d, file)},
                                        "");
    };
    auto ok = verify("data");
    EXPECT_EQ(0, ok.exitCode) << ok.out << ok.err;
    EXPECT_NE(std::string::npos, ok.out.find("Verified OK")) << ok.out;
    auto bad = verify("other");
    EXPECT_NE(0, bad.exitCode) << bad.out;
}

TEST(Sm2ProviderSigning, RequestSignedByProviderPassesOpensslReqVerify) {
    Prov p;
    ASSERT_TRUE(Acquire(p, NewName("req"), CRYPT_NEWKEYSET));
    Key k;
    ASSERT_TRUE(CryptGenKey(p.get(), CALG_SM2_SIGN, 0x01000000, k.put()));
    Bytes blob = ExportPublic(k.get());
    Bytes info = sm2csp_test::Sm2RequestInfo(CoordX(blob), CoordY(blob), "SM2 request");
    Bytes sig = SignWithProvider(p.get(), AT_SIGNATURE, info);
    tessaro_test::TempDir d("sm2req");
    ASSERT_TRUE(sm2csp_test::WriteFile(TempFile(d, "req.pem"), sm2csp_test::Sm2RequestPem(info, sig)));
    auto r = tessaro_test::RunProcess({"openssl", "req", "-verify", "-noout", "-in", TempFile(d, "req.pem"),
                                       "-vfyopt", "distid:1234567812345678"},
                                      "");
    EXPECT_EQ(0, r.exitCode) << r.out << r.err;
    EXPECT_NE(std::string::npos, (r.out + r.err).find("verify OK")) << r.out << r.err;
    // The exchange key's signature over the same request does not pass.
    Key xk;
    ASSERT_TRUE(CryptGenKey(p.get(), CALG_SM2_KEYX, 0, xk.put()));
    Bytes wrong = SignWithProvider(p.get(), AT_KEYEXCHANGE, info);
    ASSERT_TRUE(sm2csp_test::WriteFile(TempFile(d, "bad.pem"), sm2csp_test::Sm2RequestPem(info, wrong)));
    auto b = tessaro_test::RunProcess({"openssl", "req", "-verify", "-noout", "-in", TempFile(d, "bad.pem"),
                                       "-vfyopt", "distid:1234567812345678"},
                                      "");
    EXPECT_EQ(std::string::npos, (b.out + b.err).find("verify OK")) << b.out << b.err;
}

TEST(Sm2ProviderSigning, SignHashArgumentsAndState) {
    Prov p;
    ASSERT_TRUE(Acquire(p, NewName("signargs"), CRYPT_NEWKEYSET));
    Key k;
    ASSERT_TRUE(CryptGenKey(p.get(), AT_SIGNATURE, 0, k.put()));
    Hash h;
    ASSERT_TRUE(CryptCreateHash(p.get(), CALG_SM3, 0, 0, h.put()));
    ASSERT_TRUE(CryptHashData(h.get(), Text("abc").data(), 3, 0));
    DWORD n = 0;
    // No exchange key in this container.
    EXPECT_FALSE(CryptSignHashW(h.get(), AT_KEYEXCHANGE, nullptr, 0, nullptr, &n));
    EXPECT_EQ(Code(NTE_NO_KEY), LastError());
    BYTE sig[64];
    n = 63;
    EXPECT_FALSE(CryptSignHashW(h.get(), AT_SIGNATURE, nullptr, 0, sig, &n));
    EXPECT_EQ(static_cast<DWORD>(ERROR_MORE_DATA), LastError());
    EXPECT_EQ(64u, n);
    // The hash value read first does not change what is signed.
    BYTE val[32];
    DWORD vn = sizeof val;
    ASSERT_TRUE(CryptGetHashParam(h.get(), HP_HASHVAL, val, &vn, 0));
    n = sizeof sig;
    ASSERT_TRUE(CryptSignHashW(h.get(), AT_SIGNATURE, nullptr, 0, sig, &n));
    Bytes blob = UserPublic(p.get(), AT_SIGNATURE);
    EXPECT_TRUE(sm2csp_test::Sm2VerifyWithOpenSsl(CoordX(blob), CoordY(blob), Text("abc"), Bytes(sig, sig + 64)));
    EXPECT_FALSE(CryptHashData(h.get(), Text("d").data(), 1, 0));
    EXPECT_EQ(Code(NTE_BAD_HASH_STATE), LastError());
}

TEST(Sm2ProviderSigning, SetHashValueSignsThatDigest) {
    Prov p;
    ASSERT_TRUE(Acquire(p, NewName("sethash"), CRYPT_NEWKEYSET));
    Key k;
    ASSERT_TRUE(CryptGenKey(p.get(), AT_SIGNATURE, 0, k.put()));
    Bytes blob = UserPublic(p.get(), AT_SIGNATURE);
    Bytes e = sm2csp_test::Sm2Digest(CoordX(blob), CoordY(blob), Text("pre-hashed"), "1234567812345678");
    Hash h;
    ASSERT_TRUE(CryptCreateHash(p.get(), CALG_SM3, 0, 0, h.put()));
    ASSERT_TRUE(CryptSetHashParam(h.get(), HP_HASHVAL, e.data(), 0));
    BYTE sig[64];
    DWORD n = sizeof sig;
    ASSERT_TRUE(CryptSignHashW(h.get(), AT_SIGNATURE, nullptr, 0, sig, &n));
    EXPECT_TRUE(sm2csp_test::Sm2VerifyWithOpenSsl(CoordX(blob), CoordY(blob), Text("pre-hashed"), Bytes(sig, sig + 64)));
}

// ---- certificates on keys ---------------------------------------------------------------

TEST(Sm2ProviderCertificates, MatchingCertificateStoredMismatchRefused) {
    std::u16string name = NewName("cert");
    Prov p;
    ASSERT_TRUE(Acquire(p, name, CRYPT_NEWKEYSET));
    Key k;
    ASSERT_TRUE(CryptGenKey(p.get(), AT_SIGNATURE, 0, k.put()));
    Bytes blob = ExportPublic(k.get());
    Bytes cert = sm2csp_test::Sm2CertificateFor(CoordX(blob), CoordY(blob), "mine");
    DWORD n = 0;
    EXPECT_FALSE(CryptGetKeyParam(k.get(), KP_CERTIFICATE, nullptr, &n, 0));

    auto other = sm2csp_test::NewSm2Pair();
    Bytes foreign = sm2csp_test::Sm2CertificateFor(other.x, other.y, "someone else");
    EXPECT_FALSE(CryptSetKeyParam(k.get(), KP_CERTIFICATE, foreign.data(), 0));
    EXPECT_EQ(Code(NTE_BAD_PUBLIC_KEY), LastError());
    n = 0;
    EXPECT_FALSE(CryptGetKeyParam(k.get(), KP_CERTIFICATE, nullptr, &n, 0));

    ASSERT_TRUE(CryptSetKeyParam(k.get(), KP_CERTIFICATE, cert.data(), 0)) << std::hex << LastError();
    // A mismatching one later leaves the stored one in place.
    EXPECT_FALSE(CryptSetKeyParam(k.get(), KP_CERTIFICATE, foreign.data(), 0));
    Key again;
    ASSERT_TRUE(CryptGetUserKey(p.get(), AT_SIGNATURE, again.put()));
    n = 0;
    ASSERT_TRUE(CryptGetKeyParam(again.get(), KP_CERTIFICATE, nullptr, &n, 0));
    Bytes back(n);
    ASSERT_TRUE(CryptGetKeyParam(again.get(), KP_CERTIFICATE, back.data(), &n, 0));
    EXPECT_EQ(cert, back);

    // An RSA certificate is no certificate of an SM2 key; garbage is no certificate.
    auto rsa = sm2csp_test::NewRsaPair(1024);
    Bytes rsaCert = sm2csp_test::SelfSignedCert(rsa.privatePem, "rsa");
    EXPECT_FALSE(CryptSetKeyParam(k.get(), KP_CERTIFICATE, rsaCert.data(), 0));
    EXPECT_EQ(Code(NTE_BAD_PUBLIC_KEY), LastError());
    Bytes junk = {0x30, 0x03, 0x02, 0x01, 0x01};
    EXPECT_FALSE(CryptSetKeyParam(k.get(), KP_CERTIFICATE, junk.data(), 0));
    EXPECT_EQ(Code(NTE_BAD_DATA), LastError());
}

// ---- the vendor import blob ----------------------------------------------------------------

TEST(Sm2ProviderVendorImport, CiphertextFromOpenSslReplacesTheExchangeKey) {
    std::u16string name = NewName("vimp");
    Prov p;
    ASSERT_TRUE(Acquire(p, name, CRYPT_NEWKEYSET));
    Key tmp, sign;
    ASSERT_TRUE(CryptGenKey(p.get(), CALG_SM2_KEYX, 0x01000000, tmp.put()));
    ASSERT_TRUE(CryptGenKey(p.get(), CALG_SM2_SIGN, 0x01000000, sign.put()));
    Bytes tmpBlob = ExportPublic(tmp.get());
    Bytes signBlob = ExportPublic(sign.get());
    Bytes signCert = sm2csp_test::Sm2CertificateFor(CoordX(signBlob), CoordY(signBlob), "signer");
    ASSERT_TRUE(CryptSetKeyParam(sign.get(), KP_CERTIFICATE, signCert.data(), 0));

    // What a certification authority returns: a new key pair, its private
    // scalar encrypted with OpenSSL's SM2 for the temporary exchange key.
    auto enc = sm2csp_test::NewSm2Pair();
    auto ct = sm2csp_test::Sm2EncryptWithOpenSsl(CoordX(tmpBlob), CoordY(tmpBlob), enc.d);
    ASSERT_EQ(128u, ct.c1c3c2.size());

    Key stale;
    ASSERT_TRUE(CryptGetUserKey(p.get(), AT_KEYEXCHANGE, stale.put()));
    Bytes tmpCert = sm2csp_test::Sm2CertificateFor(CoordX(tmpBlob), CoordY(tmpBlob), "temporary");

    // The C1C2C3 order fails cleanly and changes nothing.
    std::vector<BYTE> wrongOrder = tessaro::csp::BuildSm2VendorBlob(ct.c1c2c3.data(), ct.c1c2c3.size());
    Key none;
    EXPECT_FALSE(CryptImportKey(p.get(), wrongOrder.data(), static_cast<DWORD>(wrongOrder.size()), 0, 0, none.put()));
    EXPECT_EQ(Code(NTE_BAD_DATA), LastError());
    EXPECT_EQ(tmpBlob, UserPublic(p.get(), AT_KEYEXCHANGE));
    // So does the 32-bit length of the blob on a 64-bit build.
    std::vector<BYTE> blob = tessaro::csp::BuildSm2VendorBlob(ct.c1c3c2.data(), ct.c1c3c2.size());
    if (sizeof(void*) == 8) {
        EXPECT_FALSE(CryptImportKey(p.get(), blob.data(), 20, 0, 0, none.put()));
        EXPECT_EQ(Code(NTE_BAD_LEN), LastError());
    }

    Key imported;
    ASSERT_TRUE(CryptImportKey(p.get(), blob.data(), static_cast<DWORD>(blob.size()), 0, 0, imported.put()))
        << std::hex << LastError();
    Bytes nowBlob = UserPublic(p.get(), AT_KEYEXCHANGE);
    EXPECT_EQ(enc.x, CoordX(nowBlob));
    EXPECT_EQ(enc.y, CoordY(nowBlob));
    EXPECT_EQ(nowBlob, ExportPublic(imported.get()));
    // The signing key and its certificate are untouched.
    EXPECT_EQ(signBlob, UserPublic(p.get(), AT_SIGNATURE));
    Key s2;
    ASSERT_TRUE(CryptGetUserKey(p.get(), AT_SIGNATURE, s2.put()));
    DWORD n = 0;
    ASSERT_TRUE(CryptGetKeyParam(s2.get(), KP_CERTIFICATE, nullptr, &n, 0));
    EXPECT_EQ(signCert.size(), n);

    // A handle to the replaced key cannot attach that key's certificate to the new one.
    EXPECT_FALSE(CryptSetKeyParam(stale.get(), KP_CERTIFICATE, tmpCert.data(), 0));
    EXPECT_EQ(Code(NTE_BAD_PUBLIC_KEY), LastError());
    n = 0;
    EXPECT_FALSE(CryptGetKeyParam(imported.get(), KP_CERTIFICATE, nullptr, &n, 0));

    // The imported key signs and decrypts as the original pair.
    Bytes sig = SignWithProvider(p.get(), AT_KEYEXCHANGE, Text("encryption key"));
    EXPECT_TRUE(sm2csp_test::Sm2VerifyWithOpenSsl(enc.x, enc.y, Text("encryption key"), sig));
    auto msgCt = sm2csp_test::Sm2EncryptWithOpenSsl(enc.x, enc.y, Text("for the new key"));
    Bytes buf = msgCt.c1c3c2;
    DWORD len = static_cast<DWORD>(buf.size());
    ASSERT_TRUE(CryptDecrypt(imported.get(), 0, TRUE, 0, buf.data(), &len)) << std::hex << LastError();
    EXPECT_EQ(Text("for the new key"), Bytes(buf.begin(), buf.begin() + len));
    // ... and what the provider encrypts for it, OpenSSL decrypts with the original.
    Bytes plain = Text("other way round");
    Bytes out(plain.size() + 96);
    std::copy(plain.begin(), plain.end(), out.begin());
    len = static_cast<DWORD>(plain.size());
    ASSERT_TRUE(CryptEncrypt(imported.get(), 0, TRUE, 0, out.data(), &len, static_cast<DWORD>(out.size())));
    ASSERT_EQ(plain.size() + 96, len);
    EXPECT_EQ(plain, sm2csp_test::Sm2DecryptWithOpenSsl(enc.privatePem, out));

    // The encryption certificate binds to the imported key, not to another.
    Bytes encCert = sm2csp_test::Sm2CertificateFor(enc.x, enc.y, "encryption");
    EXPECT_FALSE(CryptSetKeyParam(imported.get(), KP_CERTIFICATE, signCert.data(), 0));
    EXPECT_EQ(Code(NTE_BAD_PUBLIC_KEY), LastError());
    EXPECT_TRUE(CryptSetKeyParam(imported.get(), KP_CERTIFICATE, encCert.data(), 0)) << std::hex << LastError();
}

TEST(Sm2ProviderVendorImport, RefusalsLeaveTheContainerAsItWas) {
    Prov p;
    ASSERT_TRUE(Acquire(p, NewName("vbad"), CRYPT_NEWKEYSET));
    auto enc = sm2csp_test::NewSm2Pair();
    Bytes ctBytes(128, 0x11);
    std::vector<BYTE> blob = tessaro::csp::BuildSm2VendorBlob(ctBytes.data(), ctBytes.size());
    Key none;
    // No exchange key to decrypt with.
    EXPECT_FALSE(CryptImportKey(p.get(), blob.data(), static_cast<DWORD>(blob.size()), 0, 0, none.put()));
    EXPECT_EQ(Code(NTE_NO_KEY), LastError());

    Key tmp;
    ASSERT_TRUE(CryptGenKey(p.get(), AT_KEYEXCHANGE, 0, tmp.put()));
    Bytes tmpBlob = ExportPublic(tmp.get());
    // Garbage, a ciphertext for another key, a short one.
    EXPECT_FALSE(CryptImportKey(p.get(), blob.data(), static_cast<DWORD>(blob.size()), 0, 0, none.put()));
    EXPECT_EQ(Code(NTE_BAD_DATA), LastError());
    auto other = sm2csp_test::Sm2EncryptWithOpenSsl(enc.x, enc.y, enc.d);
    blob = tessaro::csp::BuildSm2VendorBlob(other.c1c3c2.data(), other.c1c3c2.size());
    EXPECT_FALSE(CryptImportKey(p.get(), blob.data(), static_cast<DWORD>(blob.size()), 0, 0, none.put()));
    EXPECT_EQ(Code(NTE_BAD_DATA), LastError());
    auto good = sm2csp_test::Sm2EncryptWithOpenSsl(CoordX(tmpBlob), CoordY(tmpBlob), enc.d);
    blob = tessaro::csp::BuildSm2VendorBlob(good.c1c3c2.data(), 96);
    EXPECT_FALSE(CryptImportKey(p.get(), blob.data(), static_cast<DWORD>(blob.size()), 0, 0, none.put()));
    EXPECT_EQ(Code(NTE_BAD_DATA), LastError());
    // Header defects.
    blob = tessaro::csp::BuildSm2VendorBlob(good.c1c3c2.data(), good.c1c3c2.size());
    std::vector<BYTE> v = blob;
    v[1] = 3;
    EXPECT_FALSE(CryptImportKey(p.get(), v.data(), static_cast<DWORD>(v.size()), 0, 0, none.put()));
    EXPECT_EQ(Code(NTE_BAD_VER), LastError());
    v = blob;
    v[5] = 0x3E;
    EXPECT_FALSE(CryptImportKey(p.get(), v.data(), static_cast<DWORD>(v.size()), 0, 0, none.put()));
    EXPECT_EQ(Code(NTE_BAD_ALGID), LastError());
    EXPECT_FALSE(CryptImportKey(p.get(), blob.data(), static_cast<DWORD>(blob.size()), 0, 0x0020, none.put()));
    EXPECT_EQ(Code(NTE_BAD_FLAGS), LastError());
    EXPECT_EQ(tmpBlob, UserPublic(p.get(), AT_KEYEXCHANGE));
    // The intact blob still works afterwards; CRYPT_EXPORTABLE makes the key exportable.
    Key ok;
    ASSERT_TRUE(CryptImportKey(p.get(), blob.data(), static_cast<DWORD>(blob.size()), 0, CRYPT_EXPORTABLE, ok.put()));
    EXPECT_EQ(enc.x, CoordX(UserPublic(p.get(), AT_KEYEXCHANGE)));
    Key reread;
    ASSERT_TRUE(CryptGetUserKey(p.get(), AT_KEYEXCHANGE, reread.put()));
    DWORD n = 0;
    ASSERT_TRUE(CryptExportKey(reread.get(), 0, PRIVATEKEYBLOB, 0, nullptr, &n));
    Bytes priv(n);
    ASSERT_TRUE(CryptExportKey(reread.get(), 0, PRIVATEKEYBLOB, 0, priv.data(), &n));
    EXPECT_EQ(Bytes(enc.d.rbegin(), enc.d.rend()), Bytes(priv.begin() + 140, priv.begin() + 172));
}

// ---- persistence across processes -----------------------------------------------------------

// Run only as the child of the test below, which hands over its prefix and
// what the container must hold.
TEST(Sm2ProviderPersistence, DISABLED_ChildReadsContainer) {
    const char* prefix = std::getenv("SM2CSP_PARENT_PREFIX");
    const char* container = std::getenv("SM2CSP_CONTAINER");
    ASSERT_TRUE(prefix && container);
    setenv("TESSARO_PREFIX", prefix, 1);
    std::string c = container;
    std::u16string name(c.begin(), c.end());
    Prov p;
    ASSERT_TRUE(Acquire(p, name, 0)) << std::hex << LastError();
    Bytes sblob = UserPublic(p.get(), AT_SIGNATURE), xblob = UserPublic(p.get(), AT_KEYEXCHANGE);
    Key k;
    ASSERT_TRUE(CryptGetUserKey(p.get(), AT_KEYEXCHANGE, k.put()));
    DWORD n = 0;
    ASSERT_TRUE(CryptGetKeyParam(k.get(), KP_CERTIFICATE, nullptr, &n, 0));
    Bytes cert(n);
    ASSERT_TRUE(CryptGetKeyParam(k.get(), KP_CERTIFICATE, cert.data(), &n, 0));
    Bytes sig = SignWithProvider(p.get(), AT_SIGNATURE, Text("from the child"));
    std::printf("SIGN=%s\nEXCH=%s\nCERT=%s\nSIG=%s\n", ToHex(sblob).c_str(), ToHex(xblob).c_str(),
                ToHex(cert).c_str(), ToHex(sig).c_str());
    if (std::getenv("SM2CSP_DELETE")) {
        Prov del;
        ASSERT_TRUE(Acquire(del, name, CRYPT_SM2_DELETEKEYSET));
    }
}

TEST(Sm2ProviderPersistence, ContainerKeysAndCertificateSeenByAnotherProcess) {
    std::u16string name = NewName("persist");
    Bytes sblob, xblob, cert;
    auto enc = sm2csp_test::NewSm2Pair();
    {
        Prov p;
        ASSERT_TRUE(Acquire(p, name, CRYPT_NEWKEYSET));
        Key s, x;
        ASSERT_TRUE(CryptGenKey(p.get(), AT_SIGNATURE, 0, s.put()));
        ASSERT_TRUE(CryptGenKey(p.get(), AT_KEYEXCHANGE, 0, x.put()));
        sblob = ExportPublic(s.get());
        Bytes tmp = ExportPublic(x.get());
        auto ct = sm2csp_test::Sm2EncryptWithOpenSsl(CoordX(tmp), CoordY(tmp), enc.d);
        std::vector<BYTE> blob = tessaro::csp::BuildSm2VendorBlob(ct.c1c3c2.data(), ct.c1c3c2.size());
        Key imp;
        ASSERT_TRUE(CryptImportKey(p.get(), blob.data(), static_cast<DWORD>(blob.size()), 0, 0, imp.put()));
        xblob = ExportPublic(imp.get());
        cert = sm2csp_test::Sm2CertificateFor(enc.x, enc.y, "persisted");
        ASSERT_TRUE(CryptSetKeyParam(imp.get(), KP_CERTIFICATE, cert.data(), 0));
    }
    std::string self(4096, '\0');
    ssize_t len = readlink("/proc/self/exe", self.data(), self.size());
    ASSERT_GT(len, 0);
    self.resize(static_cast<size_t>(len));
    auto r = tessaro_test::RunProcess(
        {self, "--gtest_also_run_disabled_tests", "--gtest_filter=Sm2ProviderPersistence.DISABLED_ChildReadsContainer"},
        "",
        {std::string("SM2CSP_PARENT_PREFIX=") + std::getenv("TESSARO_PREFIX"),
         "SM2CSP_CONTAINER=" + NarrowName(name), "SM2CSP_DELETE=1"});
    ASSERT_EQ(0, r.exitCode) << r.out << r.err;
    EXPECT_NE(std::string::npos, r.out.find("SIGN=" + ToHex(sblob) + "\n"));
    EXPECT_NE(std::string::npos, r.out.find("EXCH=" + ToHex(xblob) + "\n"));
    EXPECT_NE(std::string::npos, r.out.find("CERT=" + ToHex(cert) + "\n"));
    size_t at = r.out.find("SIG=");
    ASSERT_NE(std::string::npos, at);
    Bytes sig = tessaro_test::FromHex(r.out.substr(at + 4, 128));
    EXPECT_TRUE(sm2csp_test::Sm2VerifyWithOpenSsl(CoordX(sblob), CoordY(sblob), Text("from the child"), sig));
    // The child deleted the container with the vendor flag.
    Prov gone;
    EXPECT_FALSE(Acquire(gone, name, 0));
    EXPECT_EQ(Code(NTE_BAD_KEYSET), LastError());
}

// ---- the calls as the import and listing code makes them ----------------------------------------

TEST(Sm2ProviderFlows, ImportAndBindThroughVerifyContextWithContainerName) {
    std::u16string name = NewName("flow");
    Bytes tmpBlob, signBlob;
    {
        Prov p;
        ASSERT_TRUE(Acquire(p, name, CRYPT_NEWKEYSET));
        Key x, s;
        ASSERT_TRUE(CryptGenKey(p.get(), CALG_SM2_KEYX, 0x01000000, x.put()));
        ASSERT_TRUE(CryptGenKey(p.get(), CALG_SM2_SIGN, 0x01000000, s.put()));
        tmpBlob = ExportPublic(x.get());
        signBlob = ExportPublic(s.get());
    }
    // Signing certificate: bound through a verify context opened by name.
    {
        Prov v;
        ASSERT_TRUE(Acquire(v, name, CRYPT_VERIFYCONTEXT));
        Key s;
        ASSERT_TRUE(CryptGetUserKey(v.get(), AT_SIGNATURE, s.put()));
        Bytes cert = sm2csp_test::Sm2CertificateFor(CoordX(signBlob), CoordY(signBlob), "sign");
        ASSERT_TRUE(CryptSetKeyParam(s.get(), KP_CERTIFICATE, cert.data(), 0)) << std::hex << LastError();
    }
    // Encryption key: imported the same way.
    auto enc = sm2csp_test::NewSm2Pair();
    auto ct = sm2csp_test::Sm2EncryptWithOpenSsl(CoordX(tmpBlob), CoordY(tmpBlob), enc.d);
    {
        Prov v;
        ASSERT_TRUE(Acquire(v, name, CRYPT_VERIFYCONTEXT));
        std::vector<BYTE> blob = tessaro::csp::BuildSm2VendorBlob(ct.c1c3c2.data(), ct.c1c3c2.size());
        Key k;
        ASSERT_TRUE(CryptImportKey(v.get(), blob.data(), static_cast<DWORD>(blob.size()), 0, 0, k.put()))
            << std::hex << LastError();
        Bytes cert = sm2csp_test::Sm2CertificateFor(enc.x, enc.y, "enc");
        ASSERT_TRUE(CryptSetKeyParam(k.get(), KP_CERTIFICATE, cert.data(), 0));
    }
    // What the container scan then finds with an ordinary context.
    Prov p;
    ASSERT_TRUE(Acquire(p, name, 0));
    for (DWORD spec : {AT_KEYEXCHANGE, AT_SIGNATURE}) {
        Key k;
        ASSERT_TRUE(CryptGetUserKey(p.get(), spec, k.put()));
        DWORD n = 0;
        ASSERT_TRUE(CryptGetKeyParam(k.get(), KP_CERTIFICATE, nullptr, &n, 0)) << spec;
        EXPECT_GT(n, 100u);
    }
    EXPECT_EQ(enc.x, CoordX(UserPublic(p.get(), AT_KEYEXCHANGE)));
    EXPECT_EQ(signBlob, UserPublic(p.get(), AT_SIGNATURE));
}

TEST(Sm2ProviderFlows, PublicKeyInfoIsEcOnTheSm2Curve) {
    Prov p;
    ASSERT_TRUE(Acquire(p, NewName("pki"), CRYPT_NEWKEYSET));
    Key k;
    ASSERT_TRUE(CryptGenKey(p.get(), AT_SIGNATURE, 0, k.put()));
    Bytes blob = ExportPublic(k.get());
    DWORD n = 0;
    ASSERT_TRUE(CryptExportPublicKeyInfo(p.get(), AT_SIGNATURE, X509_ASN_ENCODING, nullptr, &n)) << std::hex
                                                                                             << LastError();
    std::vector<BYTE> buf(n);
    auto* info = reinterpret_cast<PCERT_PUBLIC_KEY_INFO>(buf.data());
    ASSERT_TRUE(CryptExportPublicKeyInfo(p.get(), AT_SIGNATURE, X509_ASN_ENCODING, info, &n));
    EXPECT_STREQ("1.2.840.10045.2.1", info->Algorithm.pszObjId);
    EXPECT_EQ("06082A811CCF5501822D", ToHex(info->Algorithm.Parameters.pbData, info->Algorithm.Parameters.cbData));
    Bytes point(1, 0x04);
    Bytes x = CoordX(blob), y = CoordY(blob);
    point.insert(point.end(), x.begin(), x.end());
    point.insert(point.end(), y.begin(), y.end());
    EXPECT_EQ(point, Bytes(info->PublicKey.pbData, info->PublicKey.pbData + info->PublicKey.cbData));

    Key pub;
    ASSERT_TRUE(CryptImportPublicKeyInfo(p.get(), X509_ASN_ENCODING, info, pub.put())) << std::hex << LastError();
    Bytes again = ExportPublic(pub.get());
    EXPECT_EQ(Bytes(blob.begin() + 12, blob.end()), Bytes(again.begin() + 12, again.end()));
}
