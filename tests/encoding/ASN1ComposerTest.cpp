#include <gtest/gtest.h>
#include <openssl/ecdsa.h>
#include <openssl/bn.h>

#include <memory>

#include "encoding/ASN1Composer.h"
#include "tests/support/TestSupport.h"

using tessaro_test::FromHex;
using tessaro_test::ToHex;

namespace {

std::string Length(int n) {
    BYTE b[ASN1_MAX_LENGTH_OCTETS];
    int c = 0;
    EXPECT_EQ(0, CalculateASNValueLength(n, b, &c));
    return ToHex(b, static_cast<size_t>(c));
}

// Runs a builder and returns its output as hex, or the failure code.
template <typename F>
std::string Built(F f, HRESULT* phr = nullptr) {
    BYTE* p = nullptr;
    int n = 0;
    HRESULT hr = f(&p, &n);
    if (phr) *phr = hr;
    std::unique_ptr<BYTE[]> owned(p);
    if (hr != 0) {
        EXPECT_EQ(nullptr, p);
        return "";
    }
    return ToHex(p, static_cast<size_t>(n));
}

std::string Attribute(const char* oid, const std::vector<uint8_t>& elem, HRESULT* phr = nullptr) {
    return Built([&](BYTE** p, int* n) {
        return ComposeSpecialAttribute(oid, elem.empty() ? nullptr : elem.data(), static_cast<int>(elem.size()), p, n);
    }, phr);
}

std::string Sm2(const std::vector<uint8_t>& raw, HRESULT* phr = nullptr) {
    return Built([&](BYTE** p, int* n) { return SM2EncodeRawSignature(raw.data(), static_cast<int>(raw.size()), p, n); },
                 phr);
}

}  // namespace

TEST(DerComposer, LengthOctets) {
    EXPECT_EQ("7F", Length(127));
    EXPECT_EQ("8180", Length(128));
    EXPECT_EQ("81C8", Length(200));
    EXPECT_EQ("81FF", Length(255));
    EXPECT_EQ("820100", Length(256));
    EXPECT_EQ("82012C", Length(300));
    EXPECT_EQ("83010000", Length(65536));
    EXPECT_EQ("847FFFFFFF", Length(0x7FFFFFFF));
    BYTE b[ASN1_MAX_LENGTH_OCTETS];
    int c = 0;
    EXPECT_EQ(E_FAIL, CalculateASNValueLength(0, b, &c));
    EXPECT_EQ(E_FAIL, CalculateASNValueLength(-5, b, &c));
}

TEST(DerComposer, ElementTagsAccepted) {
    const BYTE v[] = {0xAB};
    HRESULT hr = 0;
    EXPECT_EQ("3001AB", Built([&](BYTE** p, int* n) { return ASN1Encode(0x130, v, 1, p, n); }));
    EXPECT_EQ("A001AB", Built([&](BYTE** p, int* n) { return ASN1Encode(0xA0, v, 1, p, n); }));
    for (DWORD tag : {0x03u, 0x05u, 0x01u, 0x32u, 0xA1u}) {
        Built([&](BYTE** p, int* n) { return ASN1Encode(tag, v, 1, p, n); }, &hr);
        EXPECT_EQ(E_FAIL, hr) << tag;
    }
    Built([&](BYTE** p, int* n) { return ASN1Encode(0x04, v, 0, p, n); }, &hr);
    EXPECT_EQ(E_FAIL, hr);
    std::vector<uint8_t> big(300, 0x11);
    std::string s = Built([&](BYTE** p, int* n) { return ASN1Encode(0x04, big.data(), 300, p, n); });
    EXPECT_EQ("0482012C" + ToHex(big), s);
}

TEST(DerComposer, StringsAndBitString) {
    const BYTE cn[] = {'C', 'N'};
    EXPECT_EQ("13024344", Built([&](BYTE** p, int* n) {
                  return ComposeAnyString(2, CERT_RDN_PRINTABLE_STRING, reinterpret_cast<const BYTE*>("CD"), p, n);
              }));
    EXPECT_EQ("1602434E", Built([&](BYTE** p, int* n) { return ComposeAnyString(2, CERT_RDN_IA5_STRING, cn, p, n); }));
    EXPECT_EQ("0402434E", Built([&](BYTE** p, int* n) { return ComposeAnyString(2, CERT_RDN_OCTET_STRING, cn, p, n); }));
    const char16_t text[] = u"a\u00e9\u4e2d";
    EXPECT_EQ("0C0661C3A9E4B8AD", Built([&](BYTE** p, int* n) {
                  return ComposeAnyString(6, CERT_RDN_UTF8_STRING, reinterpret_cast<const BYTE*>(text), p, n);
              }));
    const BYTE ab[] = {0xAA, 0xBB};
    EXPECT_EQ("030300AABB", Built([&](BYTE** p, int* n) { return ComposeBITString(2, ab, p, n); }));
}

TEST(DerComposer, SpecialAttributeWithoutElementEndsWithNull) {
    EXPECT_EQ("300D06092A864886F70D0101010500", Attribute("1.2.840.113549.1.1.1", {}));
    // The bare identifier the request builder cuts out of it.
    EXPECT_EQ("300C06082A811CCF5501822D0500", Attribute("1.2.156.10197.1.301", {}));
}

TEST(DerComposer, SpecialAttributeWithElementFollowsTheIdentifier) {
    EXPECT_EQ("301306072A8648CE3D020106082A811CCF5501822D",
              Attribute("1.2.840.10045.2.1", FromHex("06 08 2A 81 1C CF 55 01 82 2D")));
    EXPECT_EQ("300B06032A0304040401020304", Attribute("1.2.3.4", FromHex("04 04 01 02 03 04")));
}

TEST(DerComposer, SpecialAttributeRefusals) {
    HRESULT hr = 0;
    Attribute("2.5.4.3", FromHex("0C 00"), &hr);
    EXPECT_EQ(E_FAIL, hr);
    Attribute("2.5.4.3", FromHex("03 02 00 AA"), &hr);  // BIT STRING cannot be re-encoded
    EXPECT_EQ(E_FAIL, hr);
    Attribute("2.5.4.3", FromHex("0C 01 61 0C 01 62"), &hr);  // two elements
    EXPECT_LT(hr, 0);
    Attribute("2.5.4.3", FromHex("0C 05 61"), &hr);  // truncated element
    EXPECT_LT(hr, 0);
    for (const char* oid : {"", "1", "3.1", "1.40", "1..2", "1.2.", ".1.2", "1.2a", "a.b"}) {
        Attribute(oid, FromHex("0C 01 61"), &hr);
        EXPECT_EQ(CRYPT_E_OID_FORMAT, hr) << oid;
        Attribute(oid, {}, &hr);
        EXPECT_EQ(CRYPT_E_OID_FORMAT, hr) << oid;
    }
}

TEST(DerComposer, Sm2SignatureIsMinimalDer) {
    std::vector<uint8_t> raw(64, 0);
    raw[0] = 0x80;
    raw[32] = 0x01;
    std::string s = Sm2(raw);
    EXPECT_EQ("3045022100" "80" + std::string(62, '0') + "0220" "01" + std::string(62, '0'), s);

    // Leading zero octets are dropped: 00 7F ... gives 31 content octets.
    raw.assign(64, 0x11);
    raw[0] = 0x00;
    raw[1] = 0x7F;
    raw[32] = 0x00;
    raw[33] = 0x00;
    raw[34] = 0x90;
    s = Sm2(raw);
    EXPECT_EQ("3042021F7F" + std::string(60, '1') + "021F0090" + std::string(58, '1'), s);

    // Zero is INTEGER 0.
    raw.assign(64, 0);
    raw[63] = 0x05;
    EXPECT_EQ("3006020100020105", Sm2(raw));

    HRESULT hr = 0;
    Sm2(std::vector<uint8_t>(63, 1), &hr);
    EXPECT_EQ(static_cast<HRESULT>(0x8007000Du), hr);
    Sm2(std::vector<uint8_t>(65, 1), &hr);
    EXPECT_EQ(static_cast<HRESULT>(0x8007000Du), hr);
}

TEST(DerComposer, Sm2SignatureParsesAsEcdsaSigWithSameValues) {
    for (int seed = 0; seed < 300; ++seed) {
        std::vector<uint8_t> raw(64);
        for (int i = 0; i < 64; ++i) raw[i] = static_cast<uint8_t>((seed * 131 + i * 29) >> (seed % 5));
        if (seed % 3 == 0) raw[0] = 0;
        if (seed % 7 == 0) raw[32] = 0x80;
        BYTE* p = nullptr;
        int n = 0;
        ASSERT_EQ(0, SM2EncodeRawSignature(raw.data(), 64, &p, &n));
        std::unique_ptr<BYTE[]> owned(p);
        const unsigned char* q = p;
        ECDSA_SIG* sig = d2i_ECDSA_SIG(nullptr, &q, n);
        ASSERT_NE(nullptr, sig) << seed;
        EXPECT_EQ(p + n, q);
        const BIGNUM* r = nullptr;
        const BIGNUM* s = nullptr;
        ECDSA_SIG_get0(sig, &r, &s);
        unsigned char rb[32], sb[32];
        BN_bn2binpad(r, rb, 32);
        BN_bn2binpad(s, sb, 32);
        EXPECT_EQ(ToHex(raw.data(), 32), ToHex(rb, 32));
        EXPECT_EQ(ToHex(raw.data() + 32, 32), ToHex(sb, 32));
        // Re-encoding by OpenSSL gives the same bytes: ours is DER.
        unsigned char* der = nullptr;
        int m = i2d_ECDSA_SIG(sig, &der);
        EXPECT_EQ(ToHex(p, static_cast<size_t>(n)), ToHex(der, static_cast<size_t>(m)));
        OPENSSL_free(der);
        ECDSA_SIG_free(sig);
    }
}
