// The SM2 primitives and vendor blob formats on their own, checked against
// OpenSSL used independently (see OpenSslHelpers).
#include <gtest/gtest.h>

#include <cstring>

#include "tests/platform/csp/OpenSslHelpers.h"
#include "platform/csp/Sm2Crypto.h"
#include "tests/support/TestSupport.h"
#include "platform/csp/VendorBlob.h"

using namespace tessaro::csp;
using tessaro::SecureBytes;
using sm2csp_test::Bytes;
using tessaro_test::FromHex;
using tessaro_test::ToHex;

namespace {

EvpPkeyPtr KeyOf(const sm2csp_test::Sm2Pair& p) {
    EvpPkeyPtr k;
    EXPECT_EQ(S_OK, Sm2KeyFromPrivate(p.d.data(), p.d.size(), k));
    return k;
}

Bytes Msg(const char* s) { return Bytes(s, s + std::strlen(s)); }

}  // namespace

TEST(Sm2PublicKeyBlob, LayoutIsLittleEndianCoordinatesInSixtyFourByteFields) {
    Bytes x(32), y(32);
    for (int i = 0; i < 32; ++i) {
        x[i] = static_cast<uint8_t>(0x01 + i);
        y[i] = static_cast<uint8_t>(0xA0 + i);
    }
    std::vector<BYTE> b = Sm2BuildPublicKeyBlob(x.data(), y.data(), CALG_SM2_SIGN);
    ASSERT_EQ(140u, b.size());
    EXPECT_EQ("06020000003E000000010000", ToHex(b.data(), 12));
    EXPECT_EQ(0x20, b[12]);       // x least significant byte first
    EXPECT_EQ(0x01, b[12 + 31]);
    EXPECT_EQ(Bytes(32, 0), Bytes(b.begin() + 44, b.begin() + 76));
    EXPECT_EQ(0xBF, b[76]);
    EXPECT_EQ(0xA0, b[76 + 31]);
    EXPECT_EQ(Bytes(32, 0), Bytes(b.begin() + 108, b.end()));

    ALG_ID alg = 0;
    BYTE rx[32], ry[32];
    ASSERT_EQ(S_OK, Sm2ParsePublicKeyBlob(b.data(), b.size(), &alg, rx, ry));
    EXPECT_EQ(static_cast<ALG_ID>(CALG_SM2_SIGN), alg);
    EXPECT_EQ(x, Bytes(rx, rx + 32));
    EXPECT_EQ(y, Bytes(ry, ry + 32));
}

TEST(Sm2PublicKeyBlob, MalformedBlobsAreRefused) {
    auto p = sm2csp_test::NewSm2Pair();
    std::vector<BYTE> b = Sm2BuildPublicKeyBlob(p.x.data(), p.y.data(), CALG_SM2_KEYX);
    BYTE x[32], y[32];
    EXPECT_EQ(NTE_BAD_LEN, Sm2ParsePublicKeyBlob(b.data(), 139, nullptr, x, y));
    std::vector<BYTE> longer = b;
    longer.push_back(0);
    EXPECT_EQ(NTE_BAD_LEN, Sm2ParsePublicKeyBlob(longer.data(), longer.size(), nullptr, x, y));
    auto bad = [&](size_t off, BYTE v) {
        std::vector<BYTE> c = b;
        c[off] = v;
        return Sm2ParsePublicKeyBlob(c.data(), c.size(), nullptr, x, y);
    };
    EXPECT_EQ(NTE_BAD_TYPE, bad(0, PRIVATEKEYBLOB));
    EXPECT_EQ(NTE_BAD_VER, bad(1, 3));
    EXPECT_EQ(NTE_BAD_ALGID, bad(5, 0xA4));
    EXPECT_EQ(NTE_BAD_DATA, bad(9, 0x02));  // 512 bits

    // A point off the curve parses as a blob but is no public key.
    std::vector<BYTE> off = b;
    off[12] ^= 1;
    ASSERT_EQ(S_OK, Sm2ParsePublicKeyBlob(off.data(), off.size(), nullptr, x, y));
    EvpPkeyPtr k;
    EXPECT_EQ(NTE_BAD_PUBLIC_KEY, Sm2KeyFromPublic(x, y, k));
}

TEST(Sm2Keys, PrivateScalarRangeIsChecked) {
    EvpPkeyPtr k;
    Bytes zero(32, 0);
    EXPECT_EQ(NTE_BAD_DATA, Sm2KeyFromPrivate(zero.data(), 32, k));
    // n - 1 and n are outside [1, n-2].
    Bytes nMinus1 = FromHex("FFFFFFFEFFFFFFFFFFFFFFFFFFFFFFFF7203DF6B21C6052B53BBF40939D54122");
    Bytes n = FromHex("FFFFFFFEFFFFFFFFFFFFFFFFFFFFFFFF7203DF6B21C6052B53BBF40939D54123");
    EXPECT_EQ(NTE_BAD_DATA, Sm2KeyFromPrivate(nMinus1.data(), 32, k));
    EXPECT_EQ(NTE_BAD_DATA, Sm2KeyFromPrivate(n.data(), 32, k));
    EXPECT_EQ(NTE_BAD_DATA, Sm2KeyFromPrivate(n.data(), 31, k));
    Bytes nMinus2 = FromHex("FFFFFFFEFFFFFFFFFFFFFFFFFFFFFFFF7203DF6B21C6052B53BBF40939D54121");
    EXPECT_EQ(S_OK, Sm2KeyFromPrivate(nMinus2.data(), 32, k));
    Bytes one(32, 0);
    one[31] = 1;
    ASSERT_EQ(S_OK, Sm2KeyFromPrivate(one.data(), 32, k));
    // d = 1 gives the generator as public point.
    BYTE x[32], y[32];
    ASSERT_EQ(S_OK, Sm2GetPublic(k.get(), x, y));
    EXPECT_EQ("32C4AE2C1F1981195F9904466A39C9948FE30BBFF2660BE1715A4589334C74C7", ToHex(x, 32));
    EXPECT_EQ("BC3736A2F4F6779C59BDCEE36B692153D0A9877CC62A474002DF32E52139F0A0", ToHex(y, 32));
}

TEST(Sm2Keys, GeneratedKeyRoundTripsThroughScalarAndPoint) {
    EvpPkeyPtr k;
    ASSERT_EQ(S_OK, Sm2GenerateKey(k));
    SecureBytes d;
    ASSERT_EQ(S_OK, Sm2GetPrivate(k.get(), d));
    EvpPkeyPtr k2;
    ASSERT_EQ(S_OK, Sm2KeyFromPrivate(d.data(), d.size(), k2));
    EXPECT_TRUE(Sm2SamePublic(k.get(), k2.get()));
    std::vector<BYTE> pub;
    ASSERT_EQ(S_OK, Sm2SerializePublic(k.get(), pub));
    EvpPkeyPtr pk;
    ASSERT_EQ(S_OK, Sm2PublicFromSerialized(pub.data(), pub.size(), pk));
    EXPECT_FALSE(Sm2HasPrivate(pk.get()));
    EXPECT_TRUE(Sm2HasPrivate(k.get()));
    EXPECT_EQ(NTE_BAD_KEY, Sm2GetPrivate(pk.get(), d));
}

TEST(Sm2Keys, StoredPairHoldsScalarAndPoint) {
    auto p = sm2csp_test::NewSm2Pair();
    EvpPkeyPtr k = KeyOf(p);
    SecureBytes rec;
    ASSERT_EQ(S_OK, Sm2SerializePair(k.get(), rec));
    ASSERT_EQ(97u, rec.size());
    Bytes expected = p.d;
    expected.push_back(0x04);
    expected.insert(expected.end(), p.x.begin(), p.x.end());
    expected.insert(expected.end(), p.y.begin(), p.y.end());
    EXPECT_EQ(expected, Bytes(rec.data(), rec.data() + rec.size()));

    EvpPkeyPtr back;
    ASSERT_EQ(S_OK, Sm2KeyFromStoredPair(rec.data(), rec.size(), back));
    BYTE sig[64];
    Bytes msg = Msg("stored");
    ASSERT_EQ(S_OK, Sm2SignMessage(back.get(), msg.data(), msg.size(), nullptr, sig));
    EXPECT_TRUE(sm2csp_test::Sm2VerifyWithOpenSsl(p.x, p.y, msg, Bytes(sig, sig + 64)));
    // The scalar alone is read as well.
    ASSERT_EQ(S_OK, Sm2KeyFromStoredPair(p.d.data(), 32, back));
    EXPECT_TRUE(Sm2SamePublic(back.get(), k.get()));
    // Damage: point off the curve, missing 04, wrong size, scalar out of range.
    Bytes bad = expected;
    bad[40] ^= 1;
    EXPECT_EQ(NTE_BAD_DATA, Sm2KeyFromStoredPair(bad.data(), bad.size(), back));
    bad = expected;
    bad[32] = 0x02;
    EXPECT_EQ(NTE_BAD_DATA, Sm2KeyFromStoredPair(bad.data(), bad.size(), back));
    EXPECT_EQ(NTE_BAD_DATA, Sm2KeyFromStoredPair(expected.data(), 96, back));
    bad = expected;
    std::fill(bad.begin(), bad.begin() + 32, 0);
    EXPECT_EQ(NTE_BAD_DATA, Sm2KeyFromStoredPair(bad.data(), bad.size(), back));
}

TEST(Sm2Signature, VerifiesWithOpenSslAndTheStandardDigest) {
    auto p = sm2csp_test::NewSm2Pair();
    EvpPkeyPtr k = KeyOf(p);
    Bytes msg = Msg("CertificationRequestInfo stand-in");
    BYTE sig[64];
    ASSERT_EQ(S_OK, Sm2SignMessage(k.get(), msg.data(), msg.size(), nullptr, sig));
    Bytes s(sig, sig + 64);
    EXPECT_TRUE(sm2csp_test::Sm2VerifyWithOpenSsl(p.x, p.y, msg, s));
    // e = SM3(Z || M) with Z over the default identity, computed by hand.
    Bytes e = sm2csp_test::Sm2Digest(p.x, p.y, msg, "1234567812345678");
    EXPECT_TRUE(sm2csp_test::Sm2VerifyDigestWithOpenSsl(p.x, p.y, e, s));
    // Not over another identity, another message, or the message without Z.
    EXPECT_FALSE(sm2csp_test::Sm2VerifyWithOpenSsl(p.x, p.y, msg, s, "ALICE123@YAHOO.COM"));
    Bytes other = msg;
    other[0] ^= 1;
    EXPECT_FALSE(sm2csp_test::Sm2VerifyWithOpenSsl(p.x, p.y, other, s));
    BYTE plainHash[32];
    Sm3Digest(msg.data(), msg.size(), plainHash);
    EXPECT_FALSE(sm2csp_test::Sm2VerifyDigestWithOpenSsl(p.x, p.y, Bytes(plainHash, plainHash + 32), s));

    EXPECT_EQ(S_OK, Sm2VerifyMessage(k.get(), msg.data(), msg.size(), nullptr, sig));
    sig[0] ^= 1;
    EXPECT_EQ(NTE_BAD_SIGNATURE, Sm2VerifyMessage(k.get(), msg.data(), msg.size(), nullptr, sig));
}

TEST(Sm2Signature, EmptyMessageAndPublicOnlyKey) {
    auto p = sm2csp_test::NewSm2Pair();
    EvpPkeyPtr k = KeyOf(p);
    BYTE sig[64];
    ASSERT_EQ(S_OK, Sm2SignMessage(k.get(), nullptr, 0, nullptr, sig));
    EXPECT_TRUE(sm2csp_test::Sm2VerifyWithOpenSsl(p.x, p.y, Bytes(), Bytes(sig, sig + 64)));
    EvpPkeyPtr pub;
    ASSERT_EQ(S_OK, Sm2KeyFromPublic(p.x.data(), p.y.data(), pub));
    EXPECT_EQ(NTE_BAD_KEY, Sm2SignMessage(pub.get(), sig, 10, nullptr, sig));
}

TEST(Sm3, KnownAnswer) {
    BYTE h[32];
    Sm3Digest(reinterpret_cast<const BYTE*>("abc"), 3, h);
    EXPECT_EQ("66C7F0F462EEEDD9D1F2D46BDC10E4E24167C4875CF2F7A2297DA02B8F4BA8E0", ToHex(h, 32));
}

TEST(Sm2Decryption, OpenSslCiphertextInC1C3C2OrderDecrypts) {
    auto p = sm2csp_test::NewSm2Pair();
    EvpPkeyPtr k = KeyOf(p);
    Bytes msg = sm2csp_test::RandomBytes(32);
    auto ct = sm2csp_test::Sm2EncryptWithOpenSsl(p.x, p.y, msg);
    ASSERT_EQ(128u, ct.c1c3c2.size());
    SecureBytes plain;
    ASSERT_EQ(S_OK, Sm2DecryptC1C3C2(k.get(), ct.c1c3c2.data(), ct.c1c3c2.size(), plain));
    EXPECT_EQ(msg, Bytes(plain.data(), plain.data() + plain.size()));

    // Our DER conversion matches OpenSSL's own form both ways.
    std::vector<BYTE> raw, der;
    ASSERT_EQ(S_OK, Sm2CiphertextFromDer(ct.der.data(), ct.der.size(), raw));
    EXPECT_EQ(ct.c1c3c2, raw);
    ASSERT_EQ(S_OK, Sm2CiphertextToDer(raw.data(), raw.size(), der));
    EXPECT_EQ(ct.der, der);
}

TEST(Sm2Decryption, OtherOrderWrongKeyAndDamageFailCleanly) {
    auto p = sm2csp_test::NewSm2Pair();
    EvpPkeyPtr k = KeyOf(p);
    Bytes msg = sm2csp_test::RandomBytes(45);  // C2 longer than C3
    auto ct = sm2csp_test::Sm2EncryptWithOpenSsl(p.x, p.y, msg);
    SecureBytes plain;
    EXPECT_EQ(NTE_BAD_DATA, Sm2DecryptC1C3C2(k.get(), ct.c1c2c3.data(), ct.c1c2c3.size(), plain));
    EXPECT_TRUE(plain.empty());
    EvpPkeyPtr other;
    ASSERT_EQ(S_OK, Sm2GenerateKey(other));
    EXPECT_EQ(NTE_BAD_DATA, Sm2DecryptC1C3C2(other.get(), ct.c1c3c2.data(), ct.c1c3c2.size(), plain));
    Bytes bad = ct.c1c3c2;
    bad.back() ^= 0x40;
    EXPECT_EQ(NTE_BAD_DATA, Sm2DecryptC1C3C2(k.get(), bad.data(), bad.size(), plain));
    bad = ct.c1c3c2;
    bad[5] ^= 0x40;  // C1 off the curve
    EXPECT_EQ(NTE_BAD_DATA, Sm2DecryptC1C3C2(k.get(), bad.data(), bad.size(), plain));
    EXPECT_EQ(NTE_BAD_DATA, Sm2DecryptC1C3C2(k.get(), ct.c1c3c2.data(), 96, plain));
    EvpPkeyPtr pub;
    ASSERT_EQ(S_OK, Sm2KeyFromPublic(p.x.data(), p.y.data(), pub));
    EXPECT_EQ(NTE_BAD_KEY, Sm2DecryptC1C3C2(pub.get(), ct.c1c3c2.data(), ct.c1c3c2.size(), plain));
}

TEST(Sm2Decryption, OwnEncryptionDecryptsWithOpenSsl) {
    auto p = sm2csp_test::NewSm2Pair();
    EvpPkeyPtr pub;
    ASSERT_EQ(S_OK, Sm2KeyFromPublic(p.x.data(), p.y.data(), pub));
    Bytes msg = Msg("exchange me");
    std::vector<BYTE> ct;
    ASSERT_EQ(S_OK, Sm2EncryptC1C3C2(pub.get(), msg.data(), msg.size(), ct));
    EXPECT_EQ(96 + msg.size(), ct.size());
    EXPECT_EQ(msg, sm2csp_test::Sm2DecryptWithOpenSsl(p.privatePem, ct));
}

TEST(Sm2CiphertextDer, MalformedDerRefused) {
    std::vector<BYTE> raw;
    Bytes d = FromHex("3006020101020101");  // two INTEGERs only
    EXPECT_EQ(NTE_BAD_DATA, Sm2CiphertextFromDer(d.data(), d.size(), raw));
    d = FromHex("30820100");  // length past the end
    EXPECT_EQ(NTE_BAD_DATA, Sm2CiphertextFromDer(d.data(), d.size(), raw));
    d = FromHex("3080020101020101040000");  // indefinite length
    EXPECT_EQ(NTE_BAD_DATA, Sm2CiphertextFromDer(d.data(), d.size(), raw));
}

// ---- vendor blobs ----------------------------------------------------------

TEST(VendorBlobLayout, Sm2BlobFieldsAndPointerWidth) {
    Bytes ct(128, 0x5A);
    std::vector<BYTE> b = BuildSm2VendorBlob(ct.data(), ct.size());
    ASSERT_EQ(16 + sizeof(void*), b.size());
    EXPECT_EQ("0702010000BE000000BE000000040000", ToHex(b.data(), 16));
    const BYTE* ptr = nullptr;
    std::memcpy(&ptr, b.data() + 16, sizeof ptr);
    EXPECT_EQ(ct.data(), ptr);
    EXPECT_TRUE(IsVendorImportBlob(b.data(), b.size()));

    const BYTE* got = nullptr;
    size_t n = 0;
    ASSERT_EQ(S_OK, ParseSm2VendorBlob(b.data(), b.size(), &got, &n));
    EXPECT_EQ(ct.data(), got);
    EXPECT_EQ(128u, n);
}

TEST(VendorBlobLayout, Sm2BlobChecks) {
    Bytes ct(128, 0x5A);
    std::vector<BYTE> b = BuildSm2VendorBlob(ct.data(), ct.size());
    const BYTE* got = nullptr;
    size_t n = 0;
    // Exactly this build's size: the 32-bit form (20) on a 64-bit build, or
    // one byte more or less, is refused.
    EXPECT_EQ(NTE_BAD_LEN, ParseSm2VendorBlob(b.data(), b.size() - 4, &got, &n));
    EXPECT_EQ(NTE_BAD_LEN, ParseSm2VendorBlob(b.data(), b.size() - 1, &got, &n));
    std::vector<BYTE> longer = b;
    longer.push_back(0);
    EXPECT_EQ(NTE_BAD_LEN, ParseSm2VendorBlob(longer.data(), longer.size(), &got, &n));
    auto bad = [&](size_t off, BYTE v) {
        std::vector<BYTE> c = b;
        c[off] = v;
        return ParseSm2VendorBlob(c.data(), c.size(), &got, &n);
    };
    EXPECT_EQ(NTE_BAD_TYPE, bad(0, PUBLICKEYBLOB));
    EXPECT_EQ(NTE_BAD_VER, bad(1, 3));
    EXPECT_EQ(NTE_BAD_DATA, bad(2, 0));      // not the vendor form
    EXPECT_EQ(NTE_BAD_ALGID, bad(5, 0x3E));  // signature algid
    EXPECT_EQ(NTE_BAD_ALGID, bad(9, 0xA4));
    EXPECT_EQ(NTE_BAD_DATA, bad(12, 0x03));  // not whole bytes
    std::vector<BYTE> zeroLen = BuildSm2VendorBlob(ct.data(), 0);
    EXPECT_EQ(NTE_BAD_DATA, ParseSm2VendorBlob(zeroLen.data(), zeroLen.size(), &got, &n));
    std::vector<BYTE> huge = BuildSm2VendorBlob(ct.data(), 0x10000000);
    EXPECT_EQ(NTE_BAD_DATA, ParseSm2VendorBlob(huge.data(), huge.size(), &got, &n));
    std::vector<BYTE> nul = BuildSm2VendorBlob(nullptr, 128);
    EXPECT_EQ(NTE_BAD_DATA, ParseSm2VendorBlob(nul.data(), nul.size(), &got, &n));
}

TEST(VendorBlobLayout, RsaBlobFields) {
    Bytes env(300, 1);
    std::vector<BYTE> b = BuildRsaVendorBlob(2048, env.data(), env.size());
    ASSERT_EQ(20 + sizeof(void*), b.size());
    EXPECT_EQ("07020100" "00A40000" "00A40000" "00080000" "60090000", ToHex(b.data(), 20));
    DWORD bits = 0;
    const BYTE* got = nullptr;
    size_t n = 0;
    ASSERT_EQ(S_OK, ParseRsaVendorBlob(b.data(), b.size(), &bits, &got, &n));
    EXPECT_EQ(2048u, bits);
    EXPECT_EQ(env.data(), got);
    EXPECT_EQ(300u, n);
    EXPECT_EQ(NTE_BAD_LEN, ParseRsaVendorBlob(b.data(), b.size() - 4, &bits, &got, &n));
    std::vector<BYTE> c = b;
    c[4] = 0x00;
    c[5] = 0xBE;
    EXPECT_EQ(NTE_BAD_ALGID, ParseRsaVendorBlob(c.data(), c.size(), &bits, &got, &n));
    std::vector<BYTE> tiny = BuildRsaVendorBlob(256, env.data(), env.size());
    EXPECT_EQ(NTE_BAD_DATA, ParseRsaVendorBlob(tiny.data(), tiny.size(), &bits, &got, &n));
}

TEST(Sm2VendorImport, IndependentCiphertextOfPrivateKeyImports) {
    auto exch = sm2csp_test::NewSm2Pair();
    EvpPkeyPtr xk = KeyOf(exch);
    auto target = sm2csp_test::NewSm2Pair();
    auto ct = sm2csp_test::Sm2EncryptWithOpenSsl(exch.x, exch.y, target.d);
    std::vector<BYTE> blob = BuildSm2VendorBlob(ct.c1c3c2.data(), ct.c1c3c2.size());
    EvpPkeyPtr got;
    ASSERT_EQ(S_OK, ImportSm2VendorBlob(xk.get(), blob.data(), blob.size(), got));
    BYTE x[32], y[32];
    ASSERT_EQ(S_OK, Sm2GetPublic(got.get(), x, y));
    EXPECT_EQ(target.x, Bytes(x, x + 32));
    EXPECT_EQ(target.y, Bytes(y, y + 32));

    // The C1C2C3 order of the same ciphertext is refused.
    std::vector<BYTE> other = BuildSm2VendorBlob(ct.c1c2c3.data(), ct.c1c2c3.size());
    EvpPkeyPtr none;
    EXPECT_EQ(NTE_BAD_DATA, ImportSm2VendorBlob(xk.get(), other.data(), other.size(), none));
    EXPECT_FALSE(none);
}

TEST(Sm2VendorImport, PlaintextMustBeAValidScalar) {
    auto exch = sm2csp_test::NewSm2Pair();
    EvpPkeyPtr xk = KeyOf(exch);
    EvpPkeyPtr got;
    for (const Bytes& plain : {sm2csp_test::RandomBytes(31), sm2csp_test::RandomBytes(33), Bytes(32, 0),
                               Bytes(32, 0xFF)}) {
        auto ct = sm2csp_test::Sm2EncryptWithOpenSsl(exch.x, exch.y, plain);
        EXPECT_EQ(NTE_BAD_DATA, OpenSm2VendorCiphertext(xk.get(), ct.c1c3c2.data(), ct.c1c3c2.size(), got))
            << plain.size();
    }
    // An RSA exchange key cannot open an SM2 ciphertext.
    EvpPkeyPtr rsa(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", size_t{1024}));
    Bytes ct(128, 1);
    EXPECT_EQ(NTE_BAD_KEY, OpenSm2VendorCiphertext(rsa.get(), ct.data(), ct.size(), got));
}

// ---- RSA envelope ------------------------------------------------------------

namespace {

struct RsaEnvelopeCase {
    sm2csp_test::RsaPair exch, target;
    Bytes session, encSession, encPrivate, envelope;
};

RsaEnvelopeCase MakeRsaEnvelope(int exchBits, int targetBits, size_t sessionLen = 24) {
    RsaEnvelopeCase c;
    c.exch = sm2csp_test::NewRsaPair(exchBits);
    c.target = sm2csp_test::NewRsaPair(targetBits);
    c.session = sm2csp_test::RandomBytes(sessionLen);
    c.encSession = sm2csp_test::RsaEncryptPkcs1(c.exch.privatePem, c.session);
    c.encPrivate = sm2csp_test::TripleDesEcbEncrypt(Bytes(c.session.begin(), c.session.begin() + 24), c.target.pkcs1);
    c.envelope = BuildRsaKeyEnvelope(c.encSession.data(), c.encSession.size(), c.encPrivate.data(), c.encPrivate.size());
    return c;
}

EvpPkeyPtr PrivateFromPem(const std::string& pem) { return EvpPkeyPtr(sm2csp_test::LoadPrivateKey(pem)); }

}  // namespace

TEST(RsaKeyEnvelope, ExactLayout) {
    Bytes sk(128, 0x11), pk(8, 0x22);
    std::vector<BYTE> env = BuildRsaKeyEnvelope(sk.data(), sk.size(), pk.data(), pk.size());
    ASSERT_EQ(3u + 166u, env.size());
    EXPECT_EQ("3081A6" "020101" "06092A864886F70D010101" "06092B06010401A6410107" "048180",
              ToHex(env.data(), 31));
    EXPECT_EQ("0408" "2222222222222222", ToHex(env.data() + 159, 10));
}

TEST(RsaKeyEnvelope, OpensWithTheExchangeKey) {
    for (size_t sessionLen : {24u, 32u}) {
        RsaEnvelopeCase c = MakeRsaEnvelope(1024, 2048, sessionLen);
        EvpPkeyPtr xk = PrivateFromPem(c.exch.privatePem);
        std::vector<BYTE> blob = BuildRsaVendorBlob(2048, c.envelope.data(), c.envelope.size());
        EvpPkeyPtr got;
        ASSERT_EQ(S_OK, ImportRsaVendorBlob(xk.get(), blob.data(), blob.size(), got)) << sessionLen;
        unsigned char* der = nullptr;
        int n = i2d_PrivateKey(got.get(), &der);
        ASSERT_GT(n, 0);
        EXPECT_EQ(c.target.pkcs1, Bytes(der, der + n));
        OPENSSL_free(der);
    }
}

TEST(RsaKeyEnvelope, DefectsFailWithCleanCodes) {
    RsaEnvelopeCase c = MakeRsaEnvelope(1024, 1024);
    EvpPkeyPtr xk = PrivateFromPem(c.exch.privatePem);
    EvpPkeyPtr got;
    // Wrong key length announced.
    EXPECT_EQ(NTE_BAD_LEN, OpenRsaKeyEnvelope(xk.get(), c.envelope.data(), c.envelope.size(), 2048, got));
    // Another exchange key.
    auto other = sm2csp_test::NewRsaPair(1024);
    EvpPkeyPtr ok = PrivateFromPem(other.privatePem);
    EXPECT_EQ(NTE_BAD_DATA, OpenRsaKeyEnvelope(ok.get(), c.envelope.data(), c.envelope.size(), 1024, got));
    // Session key byte-reversed (the little-endian CryptoAPI form) is not accepted.
    Bytes rev(c.encSession.rbegin(), c.encSession.rend());
    std::vector<BYTE> e2 = BuildRsaKeyEnvelope(rev.data(), rev.size(), c.encPrivate.data(), c.encPrivate.size());
    EXPECT_EQ(NTE_BAD_DATA, OpenRsaKeyEnvelope(xk.get(), e2.data(), e2.size(), 1024, got));
    // A 16-byte session key.
    Bytes s16 = sm2csp_test::RsaEncryptPkcs1(c.exch.privatePem, sm2csp_test::RandomBytes(16));
    e2 = BuildRsaKeyEnvelope(s16.data(), s16.size(), c.encPrivate.data(), c.encPrivate.size());
    EXPECT_EQ(NTE_BAD_DATA, OpenRsaKeyEnvelope(xk.get(), e2.data(), e2.size(), 1024, got));
    // Private key ciphertext cut by one block.
    e2 = BuildRsaKeyEnvelope(c.encSession.data(), c.encSession.size(), c.encPrivate.data(), c.encPrivate.size() - 8);
    EXPECT_EQ(NTE_BAD_DATA, OpenRsaKeyEnvelope(xk.get(), e2.data(), e2.size(), 1024, got));
    // Truncated and extended envelopes.
    EXPECT_EQ(NTE_BAD_DATA, OpenRsaKeyEnvelope(xk.get(), c.envelope.data(), c.envelope.size() - 1, 1024, got));
    Bytes longer = c.envelope;
    longer.push_back(0);
    EXPECT_EQ(NTE_BAD_DATA, OpenRsaKeyEnvelope(xk.get(), longer.data(), longer.size(), 1024, got));
    // Another symmetric algorithm identifier (last arc 7 -> 8).
    Bytes wrongOid = c.envelope;
    size_t hdr = (c.envelope[1] & 0x80) ? 2 + (c.envelope[1] & 0x7F) : 2;
    size_t at = hdr + 3 + 11 + 11 - 1;
    ASSERT_EQ(0x07, wrongOid[at]);
    wrongOid[at] = 0x08;
    EXPECT_EQ(NTE_BAD_ALGID, OpenRsaKeyEnvelope(xk.get(), wrongOid.data(), wrongOid.size(), 1024, got));
    // Version 2.
    Bytes wrongVer = c.envelope;
    ASSERT_EQ(0x01, wrongVer[hdr + 2]);
    wrongVer[hdr + 2] = 2;
    EXPECT_EQ(NTE_BAD_VER, OpenRsaKeyEnvelope(xk.get(), wrongVer.data(), wrongVer.size(), 1024, got));
    // A private exponent that does not belong to the modulus (the DER still parses).
    Bytes tamperedKey = c.target.pkcs1;
    ASSERT_EQ(0x02, tamperedKey[139]);  // publicExponent
    ASSERT_EQ(0x02, tamperedKey[144]);  // privateExponent, which the flipped byte lies in
    tamperedKey[200] ^= 0x01;
    Bytes encTampered = sm2csp_test::TripleDesEcbEncrypt(Bytes(c.session.begin(), c.session.begin() + 24), tamperedKey);
    e2 = BuildRsaKeyEnvelope(c.encSession.data(), c.encSession.size(), encTampered.data(), encTampered.size());
    EXPECT_EQ(NTE_BAD_DATA, OpenRsaKeyEnvelope(xk.get(), e2.data(), e2.size(), 1024, got));
    // An SM2 key is no exchange key for it.
    EvpPkeyPtr sm2;
    ASSERT_EQ(S_OK, Sm2GenerateKey(sm2));
    EXPECT_EQ(NTE_BAD_KEY, OpenRsaKeyEnvelope(sm2.get(), c.envelope.data(), c.envelope.size(), 1024, got));
    EXPECT_FALSE(got);
}


// ---- key blob fields ---------------------------------------------------------

TEST(BlobFields, HeaderAndRsaPubKeyAreLittleEndianFieldByField) {
    std::vector<BYTE> b;
    BlobWriter w(b);
    w.Header(MakeBlobHeader(PRIVATEKEYBLOB, CALG_RSA_KEYX, 0x0102));
    w.RsaPubKey(RSAPUBKEY{RSA2_MAGIC, 2048, 65537});
    EXPECT_EQ("07020201" "00A40000" "52534132" "00080000" "01000100", ToHex(b.data(), b.size()));

    BlobReader rd(b.data(), b.size());
    BLOBHEADER h;
    RSAPUBKEY k;
    ASSERT_TRUE(rd.Header(&h));
    ASSERT_TRUE(rd.RsaPubKey(&k));
    EXPECT_EQ(PRIVATEKEYBLOB, h.bType);
    EXPECT_EQ(0x0102, h.reserved);
    EXPECT_EQ(static_cast<ALG_ID>(CALG_RSA_KEYX), h.aiKeyAlg);
    EXPECT_EQ(static_cast<DWORD>(RSA2_MAGIC), k.magic);
    EXPECT_EQ(2048u, k.bitlen);
    EXPECT_EQ(65537u, k.pubexp);
    // A field past the end fails and leaves the reader where it was.
    DWORD v = 0;
    EXPECT_FALSE(rd.Dword(&v));
    EXPECT_EQ(0u, rd.Left());
    BlobReader part(b.data(), 6);
    EXPECT_FALSE(part.Header(&h));
    EXPECT_EQ(6u, part.Left());
    EXPECT_EQ(0x0102, LoadBlobKind(b.data()).reserved);
}

TEST(Sm2PrivateKeyBlob, RoundTripsAndChecksItsFields) {
    auto p = sm2csp_test::NewSm2Pair();
    SecureBytes d(p.d.begin(), p.d.end());
    SecureBytes b = Sm2BuildPrivateKeyBlob(p.x.data(), p.y.data(), d, CALG_SM2_KEYX);
    ASSERT_EQ(204u, b.size());
    std::vector<BYTE> pub = Sm2BuildPublicKeyBlob(p.x.data(), p.y.data(), CALG_SM2_KEYX);
    EXPECT_EQ(PRIVATEKEYBLOB, b[0]);
    EXPECT_EQ(ToHex(pub.data() + 1, 139), ToHex(b.data() + 1, 139));  // the public fields as they are
    EXPECT_EQ(p.d[31], b[140]);                                       // the scalar least significant byte first
    EXPECT_EQ(Bytes(32, 0), Bytes(b.begin() + 172, b.end()));

    ALG_ID alg = 0;
    BYTE x[32], y[32];
    SecureBytes got;
    ASSERT_EQ(S_OK, Sm2ParsePrivateKeyBlob(b.data(), b.size(), &alg, x, y, got));
    EXPECT_EQ(static_cast<ALG_ID>(CALG_SM2_KEYX), alg);
    EXPECT_EQ(p.x, Bytes(x, x + 32));
    EXPECT_EQ(p.y, Bytes(y, y + 32));
    EXPECT_EQ(p.d, Bytes(got.begin(), got.end()));
    EXPECT_EQ(NTE_BAD_LEN, Sm2ParsePrivateKeyBlob(b.data(), 203, &alg, x, y, got));
    EXPECT_EQ(NTE_BAD_LEN, Sm2ParsePrivateKeyBlob(pub.data(), pub.size(), &alg, x, y, got));
    SecureBytes c = b;
    c[0] = PUBLICKEYBLOB;
    EXPECT_EQ(NTE_BAD_TYPE, Sm2ParsePrivateKeyBlob(c.data(), c.size(), &alg, x, y, got));
    c = b;
    c[9] = 0x02;  // 512 bits
    EXPECT_EQ(NTE_BAD_DATA, Sm2ParsePrivateKeyBlob(c.data(), c.size(), &alg, x, y, got));
}
