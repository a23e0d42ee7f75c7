// The vendor RSA token provider's import blob end to end: an envelope made
// here the way a certification authority makes it (3DES session key
// PKCS#1-encrypted for the container's exchange key, PKCS#1 private key under
// 3DES-ECB) goes in through CryptImportKey and comes out as the container's
// exchange key.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <string>

#include "tests/platform/csp/OpenSslHelpers.h"
#include "tests/support/TestSupport.h"
#include "platform/csp/CspProvider.h"
#include "platform/csp/VendorBlob.h"
#include "win/windows.h"
#include "win/wincrypt.h"
#include "tessaro/Handles.h"

using sm2csp_test::Bytes;
using tessaro_test::ToHex;

namespace {

using Prov = tessaro::UniqueCryptProv;
using Key = tessaro::UniqueCryptKey;

DWORD Code(HRESULT hr) { return static_cast<DWORD>(hr); }

std::u16string NewName(const char* tag) {
    static int n = 0;
    std::string s = std::string("{rsa-") + tag + "-" + std::to_string(getpid()) + "-" + std::to_string(++n) + "}";
    return std::u16string(s.begin(), s.end());
}

bool Acquire(Prov& p, const std::u16string& name, DWORD flags) {
    return CryptAcquireContextW(p.put(), name.c_str(), CSP_VENDOR_RSA_NAME, PROV_RSA_FULL, flags);
}

struct RsaPublic {
    Bytes modulus, exponent;  // big-endian
};

// Modulus and exponent out of a CryptoAPI PUBLICKEYBLOB (little-endian).
RsaPublic UserPublic(HCRYPTPROV h, DWORD spec) {
    Key k;
    RsaPublic r;
    if (!CryptGetUserKey(h, spec, k.put())) return r;
    DWORD n = 0;
    if (!CryptExportKey(k.get(), 0, PUBLICKEYBLOB, 0, nullptr, &n)) return r;
    Bytes b(n);
    if (!CryptExportKey(k.get(), 0, PUBLICKEYBLOB, 0, b.data(), &n)) return r;
    DWORD bits = b[12] | b[13] << 8 | b[14] << 16 | static_cast<DWORD>(b[15]) << 24;
    r.modulus.assign(b.rend() - 20 - bits / 8, b.rend() - 20);
    r.exponent.assign(b.rend() - 20, b.rend() - 16);
    while (r.exponent.size() > 1 && r.exponent[0] == 0) r.exponent.erase(r.exponent.begin());
    return r;
}

struct Envelope {
    sm2csp_test::RsaPair target;
    Bytes envelope;
};

Envelope MakeEnvelopeFor(const RsaPublic& exchange, int targetBits) {
    Envelope e;
    e.target = sm2csp_test::NewRsaPair(targetBits);
    Bytes session = sm2csp_test::RandomBytes(24);
    Bytes encSession = sm2csp_test::RsaEncryptPkcs1Public(exchange.modulus, exchange.exponent, session);
    Bytes encPrivate = sm2csp_test::TripleDesEcbEncrypt(session, e.target.pkcs1);
    e.envelope = tessaro::csp::BuildRsaKeyEnvelope(encSession.data(), encSession.size(), encPrivate.data(),
                                                   encPrivate.size());
    return e;
}

Bytes SignSha1(HCRYPTPROV h, DWORD spec, const Bytes& msg) {
    HCRYPTHASH hh = 0;
    if (!CryptCreateHash(h, CALG_SHA1, 0, 0, &hh)) return {};
    Bytes sig(512);
    DWORD n = static_cast<DWORD>(sig.size());
    bool ok = CryptHashData(hh, msg.data(), static_cast<DWORD>(msg.size()), 0) &&
              CryptSignHashW(hh, spec, nullptr, 0, sig.data(), &n);
    CryptDestroyHash(hh);
    if (!ok) return {};
    sig.resize(n);
    std::reverse(sig.begin(), sig.end());  // CryptoAPI signatures are little-endian
    return sig;
}

}  // namespace

TEST(RsaVendorImport, EnvelopeBecomesTheExchangeKey) {
    std::u16string name = NewName("env");
    Prov p;
    ASSERT_TRUE(Acquire(p, name, CRYPT_NEWKEYSET)) << std::hex << GetLastError();
    Key tmp, sign;
    ASSERT_TRUE(CryptGenKey(p.get(), AT_KEYEXCHANGE, 1024u << 16, tmp.put())) << std::hex << GetLastError();
    ASSERT_TRUE(CryptGenKey(p.get(), AT_SIGNATURE, 2048u << 16, sign.put()));
    RsaPublic exch = UserPublic(p.get(), AT_KEYEXCHANGE);
    ASSERT_EQ(128u, exch.modulus.size());
    RsaPublic signPub = UserPublic(p.get(), AT_SIGNATURE);

    Envelope e = MakeEnvelopeFor(exch, 2048);
    std::vector<BYTE> blob = tessaro::csp::BuildRsaVendorBlob(2048, e.envelope.data(), e.envelope.size());
    ASSERT_EQ(20 + sizeof(void*), blob.size());
    Key imported;
    ASSERT_TRUE(CryptImportKey(p.get(), blob.data(), static_cast<DWORD>(blob.size()), 0, CRYPT_EXPORTABLE, imported.put()))
        << std::hex << GetLastError();

    RsaPublic now = UserPublic(p.get(), AT_KEYEXCHANGE);
    EXPECT_EQ(e.target.modulus, now.modulus);
    EXPECT_EQ(e.target.publicExp, now.exponent);
    EXPECT_EQ(signPub.modulus, UserPublic(p.get(), AT_SIGNATURE).modulus);
    DWORD bits = 0, n = sizeof bits;
    ASSERT_TRUE(CryptGetKeyParam(imported.get(), KP_KEYLEN, reinterpret_cast<BYTE*>(&bits), &n, 0));
    EXPECT_EQ(2048u, bits);

    // The container signs with the CA's key now, also when opened afresh.
    Prov again;
    ASSERT_TRUE(Acquire(again, name, 0));
    Bytes msg = {'e', 'n', 'c'};
    Bytes sig = SignSha1(again.get(), AT_KEYEXCHANGE, msg);
    ASSERT_EQ(256u, sig.size());
    EXPECT_TRUE(sm2csp_test::RsaVerifySha1(e.target.privatePem, msg, sig));

    // The encryption certificate binds to it; the signing key's does not.
    Bytes cert = sm2csp_test::SelfSignedCert(e.target.privatePem, "encryption");
    auto stranger = sm2csp_test::NewRsaPair(1024);
    Bytes foreign = sm2csp_test::SelfSignedCert(stranger.privatePem, "stranger");
    EXPECT_FALSE(CryptSetKeyParam(imported.get(), KP_CERTIFICATE, foreign.data(), 0));
    EXPECT_EQ(Code(NTE_BAD_PUBLIC_KEY), GetLastError());
    EXPECT_TRUE(CryptSetKeyParam(imported.get(), KP_CERTIFICATE, cert.data(), 0)) << std::hex << GetLastError();
}

TEST(RsaVendorImport, DefectsFailCleanlyAndChangeNothing) {
    Prov p;
    ASSERT_TRUE(Acquire(p, NewName("envbad"), CRYPT_NEWKEYSET));
    Key tmp;
    ASSERT_TRUE(CryptGenKey(p.get(), AT_KEYEXCHANGE, 1024u << 16, tmp.put()));
    RsaPublic exch = UserPublic(p.get(), AT_KEYEXCHANGE);
    Envelope e = MakeEnvelopeFor(exch, 2048);
    Key none;
    auto import = [&](const std::vector<BYTE>& blob, DWORD len) {
        return CryptImportKey(p.get(), blob.data(), len, 0, 0, none.put());
    };

    // Announced key length differs from the key inside.
    std::vector<BYTE> blob = tessaro::csp::BuildRsaVendorBlob(1024, e.envelope.data(), e.envelope.size());
    EXPECT_FALSE(import(blob, static_cast<DWORD>(blob.size())));
    EXPECT_EQ(Code(NTE_BAD_LEN), GetLastError());
    // The 32-bit blob size on this build, and one byte more.
    blob = tessaro::csp::BuildRsaVendorBlob(2048, e.envelope.data(), e.envelope.size());
    EXPECT_FALSE(import(blob, static_cast<DWORD>(blob.size() - 4)));
    EXPECT_EQ(Code(NTE_BAD_LEN), GetLastError());
    std::vector<BYTE> longer = blob;
    longer.push_back(0);
    EXPECT_FALSE(import(longer, static_cast<DWORD>(longer.size())));
    EXPECT_EQ(Code(NTE_BAD_LEN), GetLastError());
    // The envelope length cut short.
    std::vector<BYTE> cut = tessaro::csp::BuildRsaVendorBlob(2048, e.envelope.data(), e.envelope.size() - 1);
    EXPECT_FALSE(import(cut, static_cast<DWORD>(cut.size())));
    EXPECT_EQ(Code(NTE_BAD_DATA), GetLastError());
    // An envelope made for another exchange key.
    auto other = sm2csp_test::NewRsaPair(1024);
    Envelope e2 = MakeEnvelopeFor({other.modulus, other.publicExp}, 2048);
    std::vector<BYTE> wrongKey = tessaro::csp::BuildRsaVendorBlob(2048, e2.envelope.data(), e2.envelope.size());
    EXPECT_FALSE(import(wrongKey, static_cast<DWORD>(wrongKey.size())));
    EXPECT_EQ(Code(NTE_BAD_DATA), GetLastError());
    // A wrong type word.
    std::vector<BYTE> typed = blob;
    typed[0] = PUBLICKEYBLOB;
    EXPECT_FALSE(import(typed, static_cast<DWORD>(typed.size())));

    EXPECT_EQ(exch.modulus, UserPublic(p.get(), AT_KEYEXCHANGE).modulus);

    // And the intact blob is still accepted afterwards.
    Key ok;
    EXPECT_TRUE(CryptImportKey(p.get(), blob.data(), static_cast<DWORD>(blob.size()), 0, 0, ok.put())) << std::hex
                                                                                                 << GetLastError();
    EXPECT_EQ(e.target.modulus, UserPublic(p.get(), AT_KEYEXCHANGE).modulus);
}

TEST(RsaVendorImport, MicrosoftProvidersDoNotTakeTheVendorBlob) {
    Prov p;
    std::u16string name = NewName("ms");
    ASSERT_TRUE(CryptAcquireContextW(p.put(), name.c_str(), MS_ENHANCED_PROV_W, PROV_RSA_FULL, CRYPT_NEWKEYSET));
    Key tmp;
    ASSERT_TRUE(CryptGenKey(p.get(), AT_KEYEXCHANGE, 1024u << 16, tmp.put()));
    Bytes env(64, 1);
    std::vector<BYTE> blob = tessaro::csp::BuildRsaVendorBlob(2048, env.data(), env.size());
    Key none;
    EXPECT_FALSE(CryptImportKey(p.get(), blob.data(), static_cast<DWORD>(blob.size()), 0, 0, none.put()));
    Key still;
    EXPECT_TRUE(CryptGetUserKey(p.get(), AT_KEYEXCHANGE, still.put()));
}
