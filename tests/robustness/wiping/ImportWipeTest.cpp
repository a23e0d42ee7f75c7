// Key material of the encryption-certificate import never goes back to the
// heap readable: the plain session key, the SIMPLEBLOB made of it, the
// decrypted private key, its numbers and the PRIVATEKEYBLOB made of them on
// the plain path, and what the providers open on the envelope and SM2 paths,
// on success and on each way the import can fail. The import runs in this
// process with key material the test made, and every block released
// meanwhile is searched for it (FreeWatch). OpenSSL's internal copies and
// the hive's storage of the persisted key are not this program's to wipe
// and are told apart by the code that releases them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <unistd.h>

#include "tests/robustness/wiping/FreeWatch.h"
#include "import/ImportEncryptCert.h"
#include "tests/robustness/wiping/KeyMaterial.h"
#include "diag/ResultCode.h"
#include "tests/support/TestSupport.h"
#include "win/windows.h"

using namespace wiping_test;

namespace {

const char16_t kEnhanced[] = u"Microsoft Enhanced Cryptographic Provider v1.0";
const char16_t kVendorRsa[] = u"Tessaro RSA Token CSP v1.0";
const char16_t kVendorSm2[] = u"Tessaro SM2 Token CSP v1.0";

// ---- Envelope text --------------------------------------------------------------

std::string Field(long long v) {
    std::string s = std::to_string(v);
    return std::string(16 - s.size(), '0') + s;
}

using tessaro_test::Tlv;

std::string Base64(const Bytes& b) { return tessaro_test::Base64Encode(b); }

std::u16string W(const std::string& s) { return std::u16string(s.begin(), s.end()); }

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// Base64 of SEQUENCE { INTEGER 1, OCTET STRING data } and its comma.
std::string Part(const Bytes& data) {
    if (data.empty()) return "";
    return Base64(Tlv(0x30, Cat({Tlv(0x02, {0x01}), Tlv(0x04, data)}))) + ",";
}

std::u16string Envelope(long long sessionType, const Bytes& encSession, const Bytes& encKey) {
    const std::string sp = Part(encSession), kp = Part(encKey);
    return W(Field(1) + Field(1) + Field(sessionType) + Field(static_cast<long long>(sp.size())) + sp +
             Field(static_cast<long long>(kp.size())) + kp);
}

Bytes Reversed(Bytes b) {
    std::reverse(b.begin(), b.end());
    return b;
}

Bytes Head(const Bytes& b, size_t n) { return Bytes(b.begin(), b.begin() + static_cast<long>(std::min(n, b.size()))); }

Bytes Dword(uint32_t v) { return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; }

// The same PKCS#1 key with the outer length in a longer form (30 84 ...):
// the agent's reader takes it, and no encoder re-creates these bytes, so a
// block holding them holds the decrypted text itself.
Bytes LongFormOuterLength(const Bytes& der) {
    if (der.size() < 4 || der[0] != 0x30 || der[1] != 0x82) return {};
    return Cat({{0x30, 0x84, 0x00, 0x00, der[2], der[3]}, Bytes(der.begin() + 4, der.end())});
}

// ---- Containers -------------------------------------------------------------------

struct Container {
    std::u16string provider, name;
    HCRYPTPROV h = 0;
    HCRYPTKEY exchange = 0;
    ~Container() {
        if (exchange) CryptDestroyKey(exchange);
        if (h) CryptReleaseContext(h, 0);
    }
};

// A container with a temporary exchange key, as the request leaves it.
::testing::AssertionResult MakeContainer(Container& c, const char16_t* provider, DWORD bits) {
    static int serial = 0;
    c.provider = provider;
    c.name = W("wiping-" + std::to_string(getpid()) + "-" + std::to_string(++serial));
    if (!CryptAcquireContextW(&c.h, c.name.c_str(), provider, PROV_RSA_FULL, CRYPT_NEWKEYSET))
        return ::testing::AssertionFailure() << "CryptAcquireContextW " << std::hex << GetLastError();
    if (!CryptGenKey(c.h, AT_KEYEXCHANGE, bits << 16, &c.exchange))
        return ::testing::AssertionFailure() << "CryptGenKey " << std::hex << GetLastError();
    return ::testing::AssertionSuccess();
}

// PKCS#1 v1.5 for the exchange key, most significant byte first as the
// authority sends it.
Bytes EncryptForRsaExchange(const Container& c, const Bytes& plain, DWORD modulusBytes) {
    Bytes buf = plain;
    buf.resize(modulusBytes);
    DWORD n = static_cast<DWORD>(plain.size());
    if (!CryptEncrypt(c.exchange, 0, TRUE, 0, buf.data(), &n, modulusBytes)) return {};
    buf.resize(n);
    return Reversed(buf);
}

// SM2 for the exchange key: C1 (x || y), C3, C2.
Bytes EncryptForSm2Exchange(const Container& c, const Bytes& plain) {
    Bytes buf = plain;
    buf.resize(plain.size() + 96);
    DWORD n = static_cast<DWORD>(plain.size());
    if (!CryptEncrypt(c.exchange, 0, TRUE, 0, buf.data(), &n, static_cast<DWORD>(buf.size()))) return {};
    buf.resize(n);
    return buf;
}

// ---- Needles ----------------------------------------------------------------------

void WatchBytes(const std::string& label, const Bytes& b) { WatchNeedle(label, b.data(), b.size()); }

void WatchSessionKey(const Bytes& session) {
    WatchBytes("plain session key", session);
    WatchBytes("plain session key, reversed", Reversed(session));
    WatchBytes("SIMPLEBLOB", Cat({{0x01, 0x02, 0x00, 0x00}, Dword(CALG_3DES), Dword(CALG_RSA_KEYX), Reversed(session)}));
}

// Each number as the DER holds it (big-endian) and as the agent's numbers
// and the PRIVATEKEYBLOB hold it (least significant byte first); 48 bytes of
// each are enough to tell.
void WatchRsaKey(const RsaKeyMaterial& key, const Bytes& sentDer, DWORD bits) {
    WatchBytes("decrypted private key", Head(sentDer, 48));
    const struct {
        const char* name;
        const Bytes* value;
    } numbers[] = {{"privateExponent", &key.d}, {"prime1", &key.p},      {"prime2", &key.q},
                   {"exponent1", &key.dp},      {"exponent2", &key.dq}, {"coefficient", &key.qinv}};
    for (const auto& n : numbers) {
        WatchBytes(std::string(n.name) + ", big-endian", Head(*n.value, 48));
        WatchBytes(std::string(n.name) + ", little-endian", Head(Reversed(*n.value), 48));
    }
    WatchBytes("PRIVATEKEYBLOB", Cat({{0x07, 0x02, 0x00, 0x00}, Dword(CALG_RSA_KEYX), Dword(0x32415352), Dword(bits),
                                      Dword(65537), Head(Reversed(key.n), 28)}));
}

void WatchSm2Key(const Sm2KeyMaterial& key) {
    WatchBytes("SM2 private key, big-endian", key.d);
    WatchBytes("SM2 private key, little-endian", Reversed(key.d));
}

// The import under the watch; its result.
HRESULT WatchedImport(const Container& c, const std::u16string& algorithm, const std::u16string& envelope,
                      const Bytes& certificate, LONG keyBits) {
    const std::u16string cert = W(Base64(certificate));
    WatchArm(true);
    HRESULT hr = ImportEncryptCertEx(c.provider, c.name, algorithm, envelope, cert, keyBits, 0);
    WatchArm(false);
    return hr;
}

const char kNoWatch[] = "released blocks cannot be watched under AddressSanitizer, which owns the allocator";

class ImportWipe : public ::testing::Test {
protected:
    void SetUp() override { WatchReset(); }
    void TearDown() override { WatchReset(); }

    // No block holding a needle was released by our code, and the watch saw
    // the import's traffic at all. Under AddressSanitizer the imports still
    // run (and their results are checked); only this part is skipped.
    void ExpectNothingLeftReadable() {
        if (!WatchAvailable()) GTEST_SKIP() << kNoWatch;
        EXPECT_GT(WatchExamined(), 100u);
        const auto all = WatchRecords();
        const auto ours = OursOnly(all);
        EXPECT_TRUE(ours.empty()) << Describe(ours);
        if (getenv("WIPING_SHOW_ALL")) printf("%s", Describe(all).c_str());
    }

    // The plain path (Microsoft provider, 1024-bit keys).
    struct PlainRun {
        Container c;
        RsaKeyMaterial key;
        Bytes session, sentDer;
    };
    void PreparePlain(PlainRun& r) {
        ASSERT_TRUE(MakeContainer(r.c, kEnhanced, 1024));
        ASSERT_TRUE(NewRsaKey(1024, r.key));
        r.session = RandomBytes(24);
        r.sentDer = LongFormOuterLength(r.key.pkcs1);
        ASSERT_FALSE(r.sentDer.empty());
        WatchSessionKey(r.session);
        WatchRsaKey(r.key, r.sentDer, 1024);
    }
};

// A heap copy of the bytes, released with or without a wipe first. The
// pointer goes through a volatile so that the compiler keeps the allocation.
void ReleaseCopy(const Bytes& secret, bool bWipe) {
    static BYTE* volatile s_copy;
    s_copy = new BYTE[100]();
    memcpy(s_copy + 40, secret.data(), secret.size());
    if (bWipe) SecureZeroMemory(s_copy, 100);
    delete[] s_copy;
}

TEST_F(ImportWipe, TheWatchSeesAnUnwipedBlockAndNotAWipedOne) {
    if (!WatchAvailable()) GTEST_SKIP() << kNoWatch;
    const Bytes secret = RandomBytes(32);
    WatchBytes("secret", secret);
    WatchArm(true);
    ReleaseCopy(secret, false);
    ReleaseCopy(secret, true);
    WatchArm(false);
    const auto records = WatchRecords();
    ASSERT_EQ(records.size(), 1u) << Describe(records);
    EXPECT_EQ(records[0].label, "secret");
    EXPECT_EQ(records[0].site, FreeSite::Ours);
    EXPECT_GE(records[0].size, 100u);
}

TEST_F(ImportWipe, PlainPathImport) {
    PlainRun r;
    PreparePlain(r);
    const Bytes encSession = EncryptForRsaExchange(r.c, r.session, 128);
    const Bytes encKey = TripleDesEcbEncrypt(r.session, r.sentDer);
    ASSERT_EQ(encSession.size(), 128u);
    EXPECT_EQ(WatchedImport(r.c, u"RSA", Envelope(306, encSession, encKey), r.key.certificate, 1024), KEVO_OK);
    ExpectNothingLeftReadable();
}

TEST_F(ImportWipe, PlainPathCertificateOfAnotherKey) {
    PlainRun r;
    PreparePlain(r);
    RsaKeyMaterial other;
    ASSERT_TRUE(NewRsaKey(1024, other));
    const Bytes encSession = EncryptForRsaExchange(r.c, r.session, 128);
    const Bytes encKey = TripleDesEcbEncrypt(r.session, r.sentDer);
    EXPECT_EQ(WatchedImport(r.c, u"RSA", Envelope(306, encSession, encKey), other.certificate, 1024),
              NTE_BAD_PUBLIC_KEY);
    ExpectNothingLeftReadable();
}

TEST_F(ImportWipe, PlainPathKeyLengthOtherThanTheKeys) {
    // Microsoft providers take the plain path at any length; the numbers
    // are decoded before the length refuses them.
    PlainRun r;
    PreparePlain(r);
    const Bytes encSession = EncryptForRsaExchange(r.c, r.session, 128);
    const Bytes encKey = TripleDesEcbEncrypt(r.session, r.sentDer);
    EXPECT_EQ(WatchedImport(r.c, u"RSA", Envelope(306, encSession, encKey), r.key.certificate, 2048),
              KEVO_E_IMPORT_ENCRYPT_CERT);
    ExpectNothingLeftReadable();
}

TEST_F(ImportWipe, PlainPathPrivateKeyThatIsNoKey) {
    // Decrypts, but is not a nine-element RSAPrivateKey.
    PlainRun r;
    PreparePlain(r);
    Bytes damaged = r.sentDer;
    damaged[1] = 0x30;  // a SEQUENCE tag where the length form was
    const Bytes encSession = EncryptForRsaExchange(r.c, r.session, 128);
    const Bytes encKey = TripleDesEcbEncrypt(r.session, damaged);
    EXPECT_EQ(WatchedImport(r.c, u"RSA", Envelope(306, encSession, encKey), r.key.certificate, 1024),
              KEVO_E_ASN1_DECODE);
    ExpectNothingLeftReadable();
}

TEST_F(ImportWipe, PlainPathPrivateKeyWithBrokenPadding) {
    // The whole key decrypts into the buffer before the last block's padding
    // is found wrong.
    PlainRun r;
    PreparePlain(r);
    Bytes padded = r.sentDer;
    padded.resize((padded.size() / 8 + 1) * 8, 0x00);
    const Bytes encSession = EncryptForRsaExchange(r.c, r.session, 128);
    const Bytes encKey = TripleDesEcbEncrypt(r.session, padded, false);
    EXPECT_EQ(WatchedImport(r.c, u"RSA", Envelope(306, encSession, encKey), r.key.certificate, 1024), NTE_BAD_DATA);
    ExpectNothingLeftReadable();
}

// The envelope path (vendor RSA provider, 2048-bit key).
TEST_F(ImportWipe, EnvelopePathImportAndRefusals) {
    Container c;
    ASSERT_TRUE(MakeContainer(c, kVendorRsa, 1024));
    RsaKeyMaterial key, other;
    ASSERT_TRUE(NewRsaKey(2048, key));
    ASSERT_TRUE(NewRsaKey(2048, other));
    const Bytes session = RandomBytes(24);
    WatchSessionKey(session);
    WatchRsaKey(key, key.pkcs1, 2048);
    const Bytes encSession = EncryptForRsaExchange(c, session, 128);
    ASSERT_EQ(encSession.size(), 128u);

    // Broken padding: the provider opens the whole key, then refuses it.
    Bytes padded = key.pkcs1;
    padded.resize((padded.size() / 8 + 1) * 8, 0x00);
    EXPECT_EQ(WatchedImport(c, u"RSA", Envelope(306, encSession, TripleDesEcbEncrypt(session, padded, false)),
                            key.certificate, 2048),
              NTE_BAD_DATA);
    ExpectNothingLeftReadable();

    // A certificate of another key: the key goes in, the binding fails.
    const Bytes encKey = TripleDesEcbEncrypt(session, key.pkcs1);
    EXPECT_EQ(WatchedImport(c, u"RSA", Envelope(306, encSession, encKey), other.certificate, 2048),
              NTE_BAD_PUBLIC_KEY);
    ExpectNothingLeftReadable();
}

TEST_F(ImportWipe, EnvelopePathImport) {
    Container c;
    ASSERT_TRUE(MakeContainer(c, kVendorRsa, 1024));
    RsaKeyMaterial key;
    ASSERT_TRUE(NewRsaKey(2048, key));
    const Bytes session = RandomBytes(24);
    WatchSessionKey(session);
    WatchRsaKey(key, key.pkcs1, 2048);
    const Bytes encSession = EncryptForRsaExchange(c, session, 128);
    const Bytes encKey = TripleDesEcbEncrypt(session, key.pkcs1);
    EXPECT_EQ(WatchedImport(c, u"RSA", Envelope(306, encSession, encKey), key.certificate, 2048), KEVO_OK);
    ExpectNothingLeftReadable();
}

TEST_F(ImportWipe, Sm2PathImport) {
    Container c;
    ASSERT_TRUE(MakeContainer(c, kVendorSm2, 0));
    Sm2KeyMaterial key;
    ASSERT_TRUE(NewSm2Key(key));
    WatchSm2Key(key);
    const Bytes ct = EncryptForSm2Exchange(c, key.d);
    ASSERT_EQ(ct.size(), 128u);
    EXPECT_EQ(WatchedImport(c, u"SM2", Envelope(0, {}, ct), key.certificate, 256), KEVO_OK);
    ExpectNothingLeftReadable();
}

TEST_F(ImportWipe, Sm2PathRefusals) {
    Container c;
    ASSERT_TRUE(MakeContainer(c, kVendorSm2, 0));
    Sm2KeyMaterial key, other;
    ASSERT_TRUE(NewSm2Key(key));
    ASSERT_TRUE(NewSm2Key(other));
    WatchSm2Key(key);
    Bytes ct = EncryptForSm2Exchange(c, key.d);
    ASSERT_EQ(ct.size(), 128u);

    // A damaged ciphertext: refused in all three orders.
    Bytes damaged = ct;
    damaged[64] ^= 0x01;  // first byte of C3
    EXPECT_EQ(WatchedImport(c, u"SM2", Envelope(0, {}, damaged), key.certificate, 256), NTE_BAD_DATA);
    ExpectNothingLeftReadable();

    // A certificate of another key: the key goes in, the binding fails.
    EXPECT_EQ(WatchedImport(c, u"SM2", Envelope(0, {}, ct), other.certificate, 256), NTE_BAD_PUBLIC_KEY);
    ExpectNothingLeftReadable();
}

}  // namespace
