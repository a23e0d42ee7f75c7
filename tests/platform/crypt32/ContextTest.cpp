// Certificate contexts: the decoded CERT_INFO, references, bad encodings,
// and the comparison, hash and validity helpers.
#include <gtest/gtest.h>

#include <cstring>

#include "tests/support/TestPki.h"
#include "tests/support/TestSupport.h"
#include "win/windows.h"

using namespace tessaro_test::pki;
using tessaro_test::FromHex;
using tessaro_test::ToHex;

namespace {

// FILETIME value of a Unix time.
uint64_t FileTimeOf(time_t t) { return (static_cast<uint64_t>(t) + 11644473600ull) * 10000000ull; }

constexpr DWORD kEnc = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

template <typename B>
Bytes BlobBytes(const B& b) { return Bytes(b.pbData, b.pbData + b.cbData); }
uint64_t Ft(const FILETIME& f) { return (static_cast<uint64_t>(f.dwHighDateTime) << 32) | f.dwLowDateTime; }

struct Ctx {
    PCCERT_CONTEXT p = nullptr;
    explicit Ctx(const Bytes& der) : p(CertCreateCertificateContext(kEnc, der.data(), static_cast<DWORD>(der.size()))) {}
    ~Ctx() { CertFreeCertificateContext(p); }
};

}  // namespace

TEST(CertContext, DecodesEveryCertInfoFieldOfAnRsaCertificate) {
    CertSpec spec;
    spec.serial = {0x00, 0x8F, 0x01, 0x02};  // high bit: a leading 00 octet
    spec.subject = {{"2.5.4.6", 0x13, "CN"}, {"2.5.4.10", 0x13, "Some Org"}, {"2.5.4.3", 0x0C, "Test User"}};
    spec.issuer = {{"2.5.4.3", 0x13, "Issuing CA"}};
    spec.extensions = {{"2.5.29.15", true, {0x03, 0x02, 0x05, 0xA0}},
                       {"2.5.29.14", false, {0x04, 0x03, 0x0A, 0x0B, 0x0C}}};
    Bytes der = MakeCert(spec);
    Ctx c(der);
    ASSERT_NE(c.p, nullptr) << std::hex << GetLastError();
    EXPECT_EQ(c.p->dwCertEncodingType, kEnc);
    EXPECT_EQ(Bytes(c.p->pbCertEncoded, c.p->pbCertEncoded + c.p->cbCertEncoded), der);
    const CERT_INFO* ci = c.p->pCertInfo;
    EXPECT_EQ(ci->dwVersion, static_cast<DWORD>(CERT_V3));
    EXPECT_EQ(ToHex(BlobBytes(ci->SerialNumber)), "02018F00");
    EXPECT_STREQ(ci->SignatureAlgorithm.pszObjId, "1.2.840.113549.1.1.11");
    EXPECT_EQ(ToHex(BlobBytes(ci->SignatureAlgorithm.Parameters)), "0500");
    EXPECT_EQ(BlobBytes(ci->Issuer), EncodeName(spec.issuer));
    EXPECT_EQ(BlobBytes(ci->Subject), EncodeName(spec.subject));
    EXPECT_EQ(Ft(ci->NotBefore), FileTimeOf(spec.notBefore));
    EXPECT_EQ(Ft(ci->NotAfter), FileTimeOf(spec.notAfter));
    EXPECT_STREQ(ci->SubjectPublicKeyInfo.Algorithm.pszObjId, "1.2.840.113549.1.1.1");
    EXPECT_EQ(ToHex(BlobBytes(ci->SubjectPublicKeyInfo.Algorithm.Parameters)), "0500");
    // The key bits are the SubjectPublicKeyInfo's BIT STRING content after the unused-bits octet.
    Bytes spki = SpkiOf(SharedRsaKey());
    const CRYPT_BIT_STRING_BLOB& pk = ci->SubjectPublicKeyInfo.PublicKey;
    EXPECT_EQ(pk.cUnusedBits, 0u);
    ASSERT_GT(spki.size(), pk.cbData);
    EXPECT_EQ(Bytes(spki.end() - pk.cbData, spki.end()), BlobBytes(pk));
    EXPECT_EQ(ci->IssuerUniqueId.cbData, 0u);
    ASSERT_EQ(ci->cExtension, 2u);
    EXPECT_STREQ(ci->rgExtension[0].pszObjId, "2.5.29.15");
    EXPECT_TRUE(ci->rgExtension[0].fCritical);
    EXPECT_EQ(ToHex(BlobBytes(ci->rgExtension[0].Value)), "030205A0");
    EXPECT_STREQ(ci->rgExtension[1].pszObjId, "2.5.29.14");
    EXPECT_FALSE(ci->rgExtension[1].fCritical);
    EXPECT_EQ(ToHex(BlobBytes(ci->rgExtension[1].Value)), "04030A0B0C");
}

TEST(CertContext, SerialNumbersAreLeastSignificantByteFirst) {
    struct Case {
        Bytes encoded;
        std::string le;
    } cases[] = {{{0x01, 0x02, 0xA3, 0xF4}, "F4A30201"},
                 {{0x00, 0x80}, "8000"},
                 {{0x7F}, "7F"},
                 {{0xFF, 0x01}, "01FF"}};  // negative serials are kept as encoded
    for (const auto& cs : cases) {
        CertSpec spec;
        spec.serial = cs.encoded;
        Ctx c(MakeCert(spec));
        ASSERT_NE(c.p, nullptr);
        EXPECT_EQ(ToHex(BlobBytes(c.p->pCertInfo->SerialNumber)), cs.le);
    }
}

TEST(CertContext, DecodesAnSm2Certificate) {
    CertSpec spec;
    spec.sm2 = true;
    spec.version = 0;
    Ctx c(MakeCert(spec));
    ASSERT_NE(c.p, nullptr) << std::hex << GetLastError();
    const CERT_INFO* ci = c.p->pCertInfo;
    EXPECT_EQ(ci->dwVersion, static_cast<DWORD>(CERT_V1));
    EXPECT_EQ(ci->cExtension, 0u);
    EXPECT_EQ(ci->rgExtension, nullptr);
    EXPECT_STREQ(ci->SignatureAlgorithm.pszObjId, "1.2.156.10197.1.501");
    EXPECT_EQ(ci->SignatureAlgorithm.Parameters.cbData, 0u);
    EXPECT_STREQ(ci->SubjectPublicKeyInfo.Algorithm.pszObjId, "1.2.840.10045.2.1");
    EXPECT_EQ(ToHex(BlobBytes(ci->SubjectPublicKeyInfo.Algorithm.Parameters)), "06082A811CCF5501822D");
    ASSERT_EQ(ci->SubjectPublicKeyInfo.PublicKey.cbData, 65u);
    EXPECT_EQ(ci->SubjectPublicKeyInfo.PublicKey.pbData[0], 0x04);
}

TEST(CertContext, BadEncodingsFailWithAsn1Codes) {
    Bytes good = MakeCert(CertSpec{});
    struct Case {
        Bytes der;
        HRESULT code;
    } cases[] = {
        {{}, CRYPT_E_ASN1_EOD},
        {{0x31, 0x03, 0x02, 0x01, 0x00}, CRYPT_E_ASN1_BADTAG},
        {Bytes(good.begin(), good.begin() + good.size() / 2), CRYPT_E_ASN1_EOD},
        {{0x30, 0x84, 0xFF, 0xFF, 0xFF, 0xFF}, CRYPT_E_ASN1_EOD},
        {{0x30, 0x80, 0x00, 0x00}, CRYPT_E_ASN1_CORRUPT},
        {{0x30, 0x81, 0x03, 0x02, 0x01, 0x00}, CRYPT_E_ASN1_CORRUPT},  // a long length form where DER has a short one
        {{0x30, 0x85, 0x00, 0x00, 0x00, 0x00, 0x03}, CRYPT_E_ASN1_LARGE},
        {{0x30, 0x03, 0x02, 0x01, 0x00}, CRYPT_E_ASN1_BADTAG},  // no TBSCertificate
    };
    for (const auto& cs : cases) {
        SetLastError(0);
        PCCERT_CONTEXT p = CertCreateCertificateContext(kEnc, cs.der.data(), static_cast<DWORD>(cs.der.size()));
        EXPECT_EQ(p, nullptr);
        EXPECT_EQ(static_cast<HRESULT>(GetLastError()), cs.code) << ToHex(cs.der);
    }
    Bytes trailing = good;
    trailing.push_back(0);
    EXPECT_EQ(CertCreateCertificateContext(kEnc, trailing.data(), static_cast<DWORD>(trailing.size())), nullptr);
    EXPECT_EQ(static_cast<HRESULT>(GetLastError()), CRYPT_E_ASN1_CORRUPT);
    EXPECT_EQ(CertCreateCertificateContext(0, good.data(), static_cast<DWORD>(good.size())), nullptr);
    EXPECT_EQ(static_cast<HRESULT>(GetLastError()), E_INVALIDARG);
    EXPECT_EQ(CertCreateCertificateContext(kEnc, nullptr, 10), nullptr);
    EXPECT_EQ(static_cast<HRESULT>(GetLastError()), CRYPT_E_ASN1_EOD);
}

TEST(CertContext, ReferencesAndStaleHandles) {
    Bytes der = MakeCert(CertSpec{});
    PCCERT_CONTEXT a = CertCreateCertificateContext(kEnc, der.data(), static_cast<DWORD>(der.size()));
    ASSERT_NE(a, nullptr);
    PCCERT_CONTEXT b = CertDuplicateCertificateContext(a);
    EXPECT_EQ(a, b);
    EXPECT_TRUE(CertFreeCertificateContext(a));
    // Still alive through the second reference.
    EXPECT_EQ(b->cbCertEncoded, der.size());
    EXPECT_TRUE(CertFreeCertificateContext(b));
    // Gone now: the stale pointer is refused, not followed.
    EXPECT_FALSE(CertFreeCertificateContext(b));
    EXPECT_EQ(static_cast<HRESULT>(GetLastError()), E_INVALIDARG);
    EXPECT_EQ(CertDuplicateCertificateContext(b), nullptr);
    DWORD cb = 0;
    EXPECT_FALSE(CertGetCertificateContextProperty(b, CERT_SHA1_HASH_PROP_ID, nullptr, &cb));
    EXPECT_EQ(static_cast<HRESULT>(GetLastError()), E_INVALIDARG);
    // A structure this layer never handed out is not one of its contexts.
    CERT_CONTEXT forged{};
    EXPECT_FALSE(CertFreeCertificateContext(&forged));
    EXPECT_TRUE(CertFreeCertificateContext(nullptr));
    EXPECT_EQ(CertDuplicateCertificateContext(nullptr), nullptr);
}

TEST(CertContext, TimeValidityAtTheBoundaries) {
    CertSpec spec;
    Ctx c(MakeCert(spec));
    ASSERT_NE(c.p, nullptr);
    auto at = [&](uint64_t v) {
        FILETIME f{static_cast<DWORD>(v), static_cast<DWORD>(v >> 32)};
        return CertVerifyTimeValidity(&f, c.p->pCertInfo);
    };
    EXPECT_EQ(at(FileTimeOf(spec.notBefore) - 1), -1);
    EXPECT_EQ(at(FileTimeOf(spec.notBefore)), 0);
    EXPECT_EQ(at(FileTimeOf(spec.notAfter)), 0);
    EXPECT_EQ(at(FileTimeOf(spec.notAfter) + 1), 1);
    EXPECT_EQ(CertVerifyTimeValidity(nullptr, c.p->pCertInfo), 0);  // now lies inside 2020..2030
}

TEST(CertContext, GeneralizedTimeBeyond2049) {
    CertSpec spec;
    spec.notAfter = 2600000000;  // 2052-05-21: encoded as GeneralizedTime
    Ctx c(MakeCert(spec));
    ASSERT_NE(c.p, nullptr);
    EXPECT_EQ(Ft(c.p->pCertInfo->NotAfter), FileTimeOf(spec.notAfter));
}

TEST(CertCompare, IntegerBlobsCompareByValue) {
    auto cmp = [](Bytes a, Bytes b) {
        CRYPT_INTEGER_BLOB x{static_cast<DWORD>(a.size()), a.data()}, y{static_cast<DWORD>(b.size()), b.data()};
        return CertCompareIntegerBlob(&x, &y) != FALSE;
    };
    EXPECT_TRUE(cmp({0x01}, {0x01, 0x00}));
    EXPECT_TRUE(cmp({0x80, 0x00}, {0x80, 0x00, 0x00}));
    EXPECT_FALSE(cmp({0x80}, {0x80, 0x00}));  // -128 and +128
    EXPECT_TRUE(cmp({0x80}, {0x80, 0xFF}));
    EXPECT_FALSE(cmp({0x01, 0x02}, {0x02, 0x01}));
    EXPECT_TRUE(cmp({}, {0x00}));
}

TEST(CertCompare, NamesAndPublicKeys) {
    CertSpec a, b;
    b.subjectKey = SharedRsaKey2();
    b.subject = {{"2.5.4.3", 0x13, "Other"}};
    Ctx ca(MakeCert(a)), cb(MakeCert(b));
    ASSERT_TRUE(ca.p && cb.p);
    CERT_INFO* ia = ca.p->pCertInfo;
    CERT_INFO* ib = cb.p->pCertInfo;
    EXPECT_TRUE(CertCompareCertificateName(kEnc, &ia->Subject, &ia->Issuer));
    EXPECT_FALSE(CertCompareCertificateName(kEnc, &ia->Subject, &ib->Subject));
    EXPECT_TRUE(CertComparePublicKeyInfo(kEnc, &ia->SubjectPublicKeyInfo, &ia->SubjectPublicKeyInfo));
    EXPECT_FALSE(CertComparePublicKeyInfo(kEnc, &ia->SubjectPublicKeyInfo, &ib->SubjectPublicKeyInfo));
    // The same RSA key with a redundant leading zero in its modulus still compares equal.
    const CRYPT_BIT_STRING_BLOB& k = ia->SubjectPublicKeyInfo.PublicKey;
    Bytes key(k.pbData, k.pbData + k.cbData);
    // SEQUENCE { INTEGER n, INTEGER e } with long-form lengths: 30 81 89 02 81 81 00 <128> 02 03 ...
    ASSERT_EQ(key[0], 0x30);
    ASSERT_EQ(key[3], 0x02);
    Bytes padded = {0x30, 0x81, static_cast<uint8_t>(key[2] + 1), 0x02, 0x81, static_cast<uint8_t>(key[5] + 1), 0x00};
    padded.insert(padded.end(), key.begin() + 6, key.end());
    CERT_PUBLIC_KEY_INFO alt = ia->SubjectPublicKeyInfo;
    alt.PublicKey.pbData = padded.data();
    alt.PublicKey.cbData = static_cast<DWORD>(padded.size());
    EXPECT_TRUE(CertComparePublicKeyInfo(kEnc, &ia->SubjectPublicKeyInfo, &alt));
    EXPECT_FALSE(CertComparePublicKeyInfo(kEnc, nullptr, &alt));
}

TEST(CertHash, Sha1AndMd5OfTheEncoding) {
    Bytes data = {'a', 'b', 'c'};
    BYTE h[64];
    DWORD cb = 0;
    ASSERT_TRUE(CryptHashCertificate(0, CALG_SHA1, 0, data.data(), 3, nullptr, &cb));
    EXPECT_EQ(cb, 20u);
    cb = sizeof(h);
    ASSERT_TRUE(CryptHashCertificate(0, 0, 0, data.data(), 3, h, &cb));
    EXPECT_EQ(ToHex(h, cb), "A9993E364706816ABA3E25717850C26C9CD0D89D");
    cb = sizeof(h);
    ASSERT_TRUE(CryptHashCertificate(0, CALG_MD5, 0, data.data(), 3, h, &cb));
    EXPECT_EQ(ToHex(h, cb), "900150983CD24FB0D6963F7D28E17F72");
    cb = 19;
    EXPECT_FALSE(CryptHashCertificate(0, CALG_SHA1, 0, data.data(), 3, h, &cb));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(cb, 20u);
    cb = sizeof(h);
    EXPECT_FALSE(CryptHashCertificate(0, CALG_3DES, 0, data.data(), 3, h, &cb));
    EXPECT_EQ(static_cast<HRESULT>(GetLastError()), NTE_BAD_ALGID);
}

TEST(CertExtension, FindAndIntendedKeyUsage) {
    CertSpec spec;
    spec.extensions = {{"2.5.29.19", true, {0x30, 0x00}}, {"2.5.29.15", true, {0x03, 0x02, 0x01, 0x86}}};
    Ctx c(MakeCert(spec));
    ASSERT_NE(c.p, nullptr);
    CERT_INFO* ci = c.p->pCertInfo;
    PCERT_EXTENSION e = CertFindExtension(szOID_KEY_USAGE, ci->cExtension, ci->rgExtension);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e, &ci->rgExtension[1]);
    EXPECT_EQ(CertFindExtension("2.5.29.14", ci->cExtension, ci->rgExtension), nullptr);
    EXPECT_EQ(static_cast<HRESULT>(GetLastError()), CRYPT_E_NOT_FOUND);
    BYTE ku[2] = {0xEE, 0xEE};
    ASSERT_TRUE(CertGetIntendedKeyUsage(kEnc, ci, ku, 2));
    EXPECT_EQ(ku[0], 0x86);
    EXPECT_EQ(ku[1], 0x00);
    Ctx plain(MakeCert(CertSpec{}));
    SetLastError(5);
    EXPECT_FALSE(CertGetIntendedKeyUsage(kEnc, plain.p->pCertInfo, ku, 2));
    EXPECT_EQ(GetLastError(), 0u);
}
