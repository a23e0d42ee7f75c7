// The envelope reader: fields, parts, their unwrapping, and every refusal
// with its exact code.
#include <gtest/gtest.h>

#include "tests/import/ImportTestUtil.h"
#include "diag/ResultCode.h"

using namespace importenc_test;

namespace {

const Bytes kSession = Sequential(24, 0x10);
const Bytes kKey = Sequential(40, 0x80);

std::string GoodSessionPart() { return Base64(Wrapped(kSession)) + ","; }
std::string GoodKeyPart() { return Base64(Wrapped(kKey)) + ","; }

struct Parsed {
    HRESULT hr = E_FAIL;
    tessaro::SecureBytes session, key;
    ALG_ID alg = 0xFFFF;
};

void Parse(const std::string& text, bool ex, Parsed& out) {
    std::u16string w = W(text);
    out.hr = ex ? ParseEncryptCertPrivateKeyDataEx(w, out.session, out.alg, out.key)
                : ParseEncryptCertPrivateKeyData(w, out.session, out.alg, out.key);
}

HRESULT ParseCode(const std::string& text, bool ex) {
    Parsed p;
    Parse(text, ex, p);
    return p.hr;
}

}  // namespace

TEST(EnvelopeReader, FieldsOneOne306GiveBothKeysAnd3DES) {
    for (bool ex : {false, true}) {
        Parsed p;
        Parse(Envelope(1, 1, 306, GoodSessionPart(), GoodKeyPart()), ex, p);
        ASSERT_EQ(p.hr, KEVO_OK) << ex;
        EXPECT_EQ(p.alg, static_cast<ALG_ID>(CALG_3DES));
        EXPECT_EQ(ToBytes(p.session.data(), p.session.size()), kSession);
        EXPECT_EQ(ToBytes(p.key.data(), p.key.size()), kKey);
    }
}

TEST(EnvelopeReader, DeviceEncryptAndSessionTypes) {
    const std::string s = GoodSessionPart(), k = GoodKeyPart();
    for (bool ex : {false, true}) {
        EXPECT_EQ(ParseCode(Envelope(0, 2, 306, s, k), ex), KEVO_OK);
        EXPECT_EQ(ParseCode(Envelope(2, 1, 306, s, k), ex), KEVO_OK);
        EXPECT_EQ(ParseCode(Envelope(3, 1, 306, s, k), ex), KEVO_E_DEVICE_TYPE);
        EXPECT_EQ(ParseCode(Envelope(0, 0, 306, s, k), ex), KEVO_E_ENCRYPT_TYPE);
        EXPECT_EQ(ParseCode(Envelope(0, 3, 306, s, k), ex), KEVO_E_ENCRYPT_TYPE);
        EXPECT_EQ(ParseCode(Envelope(0, 1, 305, s, k), ex), KEVO_E_SESSION_KEY_TYPE);
        // The device type is checked before the encrypt type, that before the session type.
        EXPECT_EQ(ParseCode(Envelope(9, 9, 9, s, k), ex), KEVO_E_DEVICE_TYPE);
        EXPECT_EQ(ParseCode(Envelope(1, 9, 9, s, k), ex), KEVO_E_ENCRYPT_TYPE);
    }
    EXPECT_EQ(ParseCode(Envelope(1, 1, 0, s, k), false), KEVO_E_SESSION_KEY_TYPE);
}

TEST(EnvelopeReader, NumericFieldsReadLikeADecimalConversion) {
    const std::string rest = Field(1) + Field(306) + LengthAndPart(GoodSessionPart()) + LengthAndPart(GoodKeyPart());
    // Leading blanks and a sign, digits up to the first other character;
    // no digits at all reads as 0.
    EXPECT_EQ(ParseCode("   +1abc999     " + rest, false), KEVO_OK);
    EXPECT_EQ(ParseCode("                " + rest, false), KEVO_OK);
    EXPECT_EQ(ParseCode("-000000000000001" + rest, false), KEVO_E_DEVICE_TYPE);
    EXPECT_EQ(ParseCode("9999999999999999" + rest, false), KEVO_E_DEVICE_TYPE);
    // Characters after the private key part are ignored.
    EXPECT_EQ(ParseCode(Envelope(1, 1, 306, GoodSessionPart(), GoodKeyPart()) + "trailing, text", false), KEVO_OK);
}

TEST(EnvelopeReader, SessionTypeZeroOnlyOnTheEnvelopePath) {
    // Accepted by the Ex form: no session key is handed out, and the part is
    // neither decoded nor unwrapped, but must still be well formed.
    Parsed p;
    Parse(Envelope(1, 1, 0, "not base64 and not DER!,", GoodKeyPart()), true, p);
    ASSERT_EQ(p.hr, KEVO_OK);
    EXPECT_EQ(p.alg, 0u);
    EXPECT_EQ(p.session.data(), nullptr);
    EXPECT_EQ(p.session.size(), 0u);
    EXPECT_EQ(ToBytes(p.key.data(), p.key.size()), kKey);

    Parsed empty;
    Parse(Field(1) + Field(1) + Field(0) + Field(0) + LengthAndPart(GoodKeyPart()), true, empty);
    ASSERT_EQ(empty.hr, KEVO_OK);
    EXPECT_EQ(ToBytes(empty.key.data(), empty.key.size()), kKey);

    EXPECT_EQ(ParseCode(Envelope(1, 1, 0, "no comma", GoodKeyPart()), true), KEVO_E_IMPORT_ENCRYPT_CERT);
}

TEST(EnvelopeReader, CommasEndEachPartAndAreRemovedInside) {
    std::string s = GoodSessionPart();
    std::string withCommas = s.substr(0, 5) + "," + s.substr(5, 7) + ",," + s.substr(12);
    Parsed p;
    Parse(Envelope(1, 1, 306, withCommas, GoodKeyPart()), false, p);
    ASSERT_EQ(p.hr, KEVO_OK);
    EXPECT_EQ(ToBytes(p.session.data(), p.session.size()), kSession);

    for (bool ex : {false, true}) {
        EXPECT_EQ(ParseCode(Envelope(1, 1, 306, s.substr(0, s.size() - 1), GoodKeyPart()), ex),
                  KEVO_E_IMPORT_ENCRYPT_CERT);
        std::string k = GoodKeyPart();
        EXPECT_EQ(ParseCode(Envelope(1, 1, 306, s, k.substr(0, k.size() - 1)), ex), KEVO_E_IMPORT_ENCRYPT_CERT);
    }
}

TEST(EnvelopeReader, LengthFieldsAndShortTexts) {
    const std::string s = GoodSessionPart(), k = GoodKeyPart();
    const std::string head = Field(1) + Field(1) + Field(306);
    // One more than follows the field.
    EXPECT_EQ(ParseCode(head + Field(static_cast<long long>(s.size()) + 1) + s + LengthAndPart(k), false),
              KEVO_E_IMPORT_ENCRYPT_CERT);
    EXPECT_EQ(ParseCode(head + LengthAndPart(s) + Field(static_cast<long long>(k.size()) + 1) + k, false),
              KEVO_E_IMPORT_ENCRYPT_CERT);
    EXPECT_EQ(ParseCode(head + "-000000000000005" + s + LengthAndPart(k), false), KEVO_E_IMPORT_ENCRYPT_CERT);
    // Texts that end before a field.
    for (size_t n : {0u, 15u, 40u, 47u, 48u, 63u}) {
        std::string t = Envelope(1, 1, 306, s, k).substr(0, n);
        EXPECT_EQ(ParseCode(t, false), KEVO_E_IMPORT_ENCRYPT_CERT) << n;
        EXPECT_EQ(ParseCode(t, true), KEVO_E_IMPORT_ENCRYPT_CERT) << n;
    }
    EXPECT_EQ(ParseCode(head + LengthAndPart(s), false), KEVO_E_IMPORT_ENCRYPT_CERT);
    // A zero-length session part is empty; the empty text does not decode.
    EXPECT_EQ(ParseCode(head + Field(0) + LengthAndPart(k), false), static_cast<HRESULT>(E_FAIL));
}

TEST(EnvelopeReader, PartsMustHaveExactlyTwoElements) {
    const Bytes one = Tlv(0x30, Tlv(0x04, kKey));
    const Bytes three = Tlv(0x30, Cat({Tlv(0x02, {1}), Tlv(0x04, kKey), Bytes{0x05, 0x00}}));
    const Bytes notDer = {0xFF, 0xFF, 0xFF};
    for (bool ex : {false, true}) {
        for (const Bytes& bad : {one, three, notDer}) {
            EXPECT_EQ(ParseCode(Envelope(1, 1, 306, Base64(bad) + ",", GoodKeyPart()), ex),
                      KEVO_E_IMPORT_ENCRYPT_CERT);
            EXPECT_EQ(ParseCode(Envelope(1, 1, 306, GoodSessionPart(), Base64(bad) + ","), ex),
                      KEVO_E_IMPORT_ENCRYPT_CERT);
        }
    }
    // Only the number of elements counts, not their tags.
    Bytes swapped = Tlv(0x31, Cat({Tlv(0x04, {9}), Tlv(0x02, kKey)}));
    Parsed p;
    Parse(Envelope(1, 1, 306, GoodSessionPart(), Base64(swapped) + ","), false, p);
    ASSERT_EQ(p.hr, KEVO_OK);
    EXPECT_EQ(ToBytes(p.key.data(), p.key.size()), kKey);
}

TEST(EnvelopeReader, Base64PartsAdvanceThePosition) {
    const std::string text = Field(7) + "ab,cd,," + Field(0) + Field(3) + "xyz";
    size_t pos = 0;
    std::u16string part;
    ASSERT_EQ(GetBase64KeyFromEncryptedData(W(text), pos, part), KEVO_OK);
    EXPECT_EQ(part, u"abcd");
    EXPECT_EQ(pos, 23u);
    ASSERT_EQ(GetBase64KeyFromEncryptedData(W(text), pos, part), KEVO_OK);
    EXPECT_EQ(part, u"");
    EXPECT_EQ(pos, 39u);
    EXPECT_EQ(GetBase64KeyFromEncryptedData(W(text), pos, part), KEVO_E_IMPORT_ENCRYPT_CERT);
    EXPECT_EQ(pos, 39u);
    pos = text.size();
    EXPECT_EQ(GetBase64KeyFromEncryptedData(W(text), pos, part), KEVO_E_IMPORT_ENCRYPT_CERT);
}

TEST(EnvelopeReader, CertificateTextIgnoresCommas) {
    const Bytes der = Sequential(50, 1);
    std::string b64 = Base64(der);
    tessaro::SecureBytes out;
    ASSERT_EQ(ParseEncryptCertPublicKeyCert(W("," + b64.substr(0, 9) + ",,," + b64.substr(9) + ","), out),
              KEVO_OK);
    EXPECT_EQ(ToBytes(out.data(), out.size()), der);
    EXPECT_EQ(ParseEncryptCertPublicKeyCert(u",,,", out), static_cast<HRESULT>(E_FAIL));
}

TEST(EnvelopeReader, EntryRefusesEmptyInputs) {
    const std::u16string e = W(Envelope(1, 1, 306, GoodSessionPart(), GoodKeyPart()));
    const std::u16string csp = u"Microsoft Enhanced Cryptographic Provider v1.0", c = u"{C}", alg = u"RSA", cert = u"MIIB";
    EXPECT_EQ(ImportEncryptCertEx(csp, c, alg, u"", cert, 1024, 0), E_INVALIDARG);
    EXPECT_EQ(ImportEncryptCertEx(csp, c, alg, e, u"", 1024, 0), E_INVALIDARG);
    EXPECT_EQ(ImportEncryptCertEx(u"", c, alg, e, cert, 1024, 0), E_INVALIDARG);
    EXPECT_EQ(ImportEncryptCertEx(csp, u"", alg, e, cert, 1024, 0), E_INVALIDARG);
    EXPECT_EQ(ImportEncryptCertEx(csp, c, u"", e, cert, 1024, 0), E_INVALIDARG);
    EXPECT_EQ(ImportEncryptCertByEncryptedFormat(csp, c, u"SM2", e, u"", 256, 0), E_INVALIDARG);
}

// ---- SM2 ciphertext orders --------------------------------------------------

TEST(Sm2Ciphertext, ReorderingsMoveC3AroundC2) {
    const Bytes c1 = Sequential(64, 0x00), c3 = Sequential(32, 0x40), c2 = Sequential(40, 0xA0);
    const Bytes c1c3c2 = Cat({c1, c3, c2}), c1c2c3 = Cat({c1, c2, c3});
    tessaro::SecureBytes out;
    ASSERT_EQ(ConvertC1C3C2ToC1C2C3(c1c3c2.data(), 136, out), KEVO_OK);
    ASSERT_EQ(out.size(), 137u);
    EXPECT_EQ(ToBytes(out.data(), 136), c1c2c3);
    EXPECT_EQ(out[136], 0);  // the extra byte stays zero
    ASSERT_EQ(ConvertC1C2C3ToC1C3C2(c1c2c3.data(), 136, out), KEVO_OK);
    ASSERT_EQ(out.size(), 137u);
    EXPECT_EQ(ToBytes(out.data(), 136), c1c3c2);
    EXPECT_EQ(out[136], 0);
}

TEST(Sm2Ciphertext, A32ByteC2SwapsTheSameWayBothTimes) {
    const Bytes ct = Cat({Sequential(64, 0), Sequential(32, 0x40), Sequential(32, 0x80)});
    tessaro::SecureBytes x, y;
    ASSERT_EQ(ConvertC1C3C2ToC1C2C3(ct.data(), 128, x), KEVO_OK);
    ASSERT_EQ(ConvertC1C2C3ToC1C3C2(ct.data(), 128, y), KEVO_OK);
    EXPECT_EQ(ToBytes(x.data(), 128), ToBytes(y.data(), 128));
    EXPECT_EQ(ToBytes(x.data(), 128), Cat({Sequential(64, 0), Sequential(32, 0x80), Sequential(32, 0x40)}));
}

TEST(Sm2Ciphertext, ShorterThanC1AndC3IsRefused) {
    const Bytes ct = Sequential(95, 0);
    tessaro::SecureBytes out = {0x5A};
    EXPECT_EQ(ConvertC1C3C2ToC1C2C3(ct.data(), 95, out), KEVO_E_IMPORT_ENCRYPT_CERT);
    EXPECT_EQ(ConvertC1C2C3ToC1C3C2(ct.data(), 95, out), KEVO_E_IMPORT_ENCRYPT_CERT);
    EXPECT_EQ(ConvertC1C2C3ToC1C3C2(ct.data(), 0, out), KEVO_E_IMPORT_ENCRYPT_CERT);
    EXPECT_EQ(out, tessaro::SecureBytes{0x5A});  // nothing handed out
    // Exactly C1 and C3 with an empty C2 is the shortest reorderable text.
    tessaro::SecureBytes ok;
    const Bytes min = Sequential(96, 0);
    ASSERT_EQ(ConvertC1C3C2ToC1C2C3(min.data(), 96, ok), KEVO_OK);
    EXPECT_EQ(ToBytes(ok.data(), 96), min);
}
