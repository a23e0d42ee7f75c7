// Attribute queries and single-criterion predicates on certificates made here.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>

#include "tests/support/CertTestKit.h"
#include "store/CertificateChainOperate.h"
#include "diag/ResultCode.h"

using namespace certkit;

namespace {

struct Ctx {
    explicit Ctx(const Bytes& der) : p(NewContext(der)) {}
    explicit Ctx(const CertSpec& spec) : Ctx(MakeCert(spec)) {}
    ~Ctx() {
        if (p) CertFreeCertificateContext(p);
    }
    PCCERT_CONTEXT p;
};

std::u16string QueryText(PCCERT_CONTEXT c, DWORD id, HRESULT* phr, DWORD* pcb = nullptr) {
    LPWSTR pwsz = nullptr;
    DWORD cb = 0;
    *phr = QueryCertContextInfo(c, id, &pwsz, &cb);
    std::unique_ptr<WCHAR[]> hold(pwsz);
    if (pcb) *pcb = cb;
    return pwsz ? std::u16string(pwsz) : std::u16string();
}

Bytes QueryBytes(PCCERT_CONTEXT c, DWORD id, HRESULT* phr) {
    BYTE* pb = nullptr;
    DWORD cb = 0;
    *phr = QueryCertContextInfo(c, id, &pb, &cb);
    std::unique_ptr<BYTE[]> hold(pb);
    return pb ? Bytes(pb, pb + cb) : Bytes();
}

FILETIME FromUnix(time_t t) {
    uint64_t v = (static_cast<uint64_t>(t) + 11644473600ull) * 10000000ull;
    return FILETIME{static_cast<DWORD>(v), static_cast<DWORD>(v >> 32)};
}

using ScopedTZ = tessaro_test::ScopedTimeZone;

}  // namespace

TEST(QueryCertContextInfo, UnknownIdsAreRefusedAndWriteNothing) {
    Ctx c{CertSpec{}};
    ASSERT_NE(c.p, nullptr);
    for (DWORD id : {0u, 12u, 0xFFFFFFFFu}) {
        LPWSTR sentinel = reinterpret_cast<LPWSTR>(0x1234);
        DWORD cb = 77;
        EXPECT_EQ(QueryCertContextInfo(c.p, id, &sentinel, &cb), KEVO_E_QUERY_TYPE) << id;
        EXPECT_EQ(sentinel, reinterpret_cast<LPWSTR>(0x1234));
        EXPECT_EQ(cb, 77u);
    }
}

TEST(QueryCertContextInfo, NamesAreRenderedLastAttributeFirst) {
    CertSpec spec;
    spec.issuer = {{"C", "CN"}, {"O", "Issuing Org"}, {"OU", "Retail"}, {"CN", "Issuer CA"}};
    Ctx c{spec};
    ASSERT_NE(c.p, nullptr);
    HRESULT hr = E_FAIL;
    DWORD cch = 0;
    EXPECT_EQ(QueryText(c.p, QUERYID_SUBJECT_FULL, &hr, &cch), u"CN=Test, O=Org, C=CN");
    EXPECT_EQ(hr, KEVO_OK);
    EXPECT_EQ(cch, 21u);  // with the terminator
    EXPECT_EQ(QueryText(c.p, QUERYID_SUBJECT_SIMPLE, &hr, &cch), u"Test, Org, CN");
    EXPECT_EQ(hr, KEVO_OK);
    EXPECT_EQ(cch, 14u);
    EXPECT_EQ(QueryText(c.p, QUERYID_ISSUER, &hr, &cch), u"CN=Issuer CA, OU=Retail, O=Issuing Org, C=CN");
    EXPECT_EQ(hr, KEVO_OK);
    EXPECT_EQ(QueryText(c.p, QUERYID_CN, &hr, &cch), u"Test");
    EXPECT_EQ(hr, KEVO_OK);
    EXPECT_EQ(cch, 5u);
}

TEST(QueryCertContextInfo, ValuesWithSeparatorsAreNotQuoted) {
    CertSpec spec;
    spec.subject = {{"O", "A, B; C"}, {"CN", "x=\"y\""}};
    Ctx c{spec};
    HRESULT hr = E_FAIL;
    EXPECT_EQ(QueryText(c.p, QUERYID_SUBJECT_FULL, &hr), u"CN=x=\"y\", O=A, B; C");
    EXPECT_EQ(hr, KEVO_OK);
}

TEST(QueryCertContextInfo, SerialNumberLeastSignificantByteFirst) {
    Ctx c{CertSpec{}};
    HRESULT hr = E_FAIL;
    EXPECT_EQ(QueryBytes(c.p, QUERYID_SERIALNUMBER, &hr), (Bytes{0xF4, 0xA3, 0x02, 0x01}));
    EXPECT_EQ(hr, KEVO_OK);
    CertSpec high;
    high.serial = {0x00, 0x80, 0x01};  // DER keeps the sign byte
    Ctx h{high};
    EXPECT_EQ(QueryBytes(h.p, QUERYID_SERIALNUMBER, &hr), (Bytes{0x01, 0x80, 0x00}));
}

TEST(QueryCertContextInfo, SubjectKeyIdentifierPresentAndMissing) {
    CertSpec spec;
    spec.subjectKeyId = {0xDE, 0xAD, 0xBE, 0xEF, 0x01};
    Ctx c{spec};
    HRESULT hr = E_FAIL;
    EXPECT_EQ(QueryBytes(c.p, QUERYID_SUBJECTKEYID, &hr), spec.subjectKeyId);
    EXPECT_EQ(hr, KEVO_OK);
    EXPECT_EQ(GetCertSubjectKeyID(c.p, nullptr, nullptr), KEVO_OK);  // presence test only

    Ctx none{CertSpec{}};
    BYTE* pb = reinterpret_cast<BYTE*>(0x1);
    pb = nullptr;
    DWORD cb = 0;
    EXPECT_EQ(QueryCertContextInfo(none.p, QUERYID_SUBJECTKEYID, &pb, &cb), KEVO_E_NO_SUBJECT_KEY_ID);
    EXPECT_EQ(pb, nullptr);
    EXPECT_EQ(GetCertSubjectKeyID(none.p, nullptr, nullptr), KEVO_E_NO_SUBJECT_KEY_ID);
}

TEST(QueryCertContextInfo, KeyUsageFirstByteAndMissingExtension) {
    CertSpec spec;
    spec.keyUsage = 0xA0;  // digitalSignature, keyEncipherment
    Ctx c{spec};
    DWORD ku = 0, cb = 0;
    EXPECT_EQ(QueryCertContextInfo(c.p, QUERYID_KEYUSAGE, &ku, &cb), KEVO_OK);
    EXPECT_EQ(ku, 0xA0u);
    EXPECT_EQ(cb, 4u);
    Ctx none{CertSpec{}};
    ku = 0x55;
    EXPECT_EQ(QueryCertContextInfo(none.p, QUERYID_KEYUSAGE, &ku, &cb), KEVO_E_NO_KEY_USAGE);
    EXPECT_EQ(ku, 0x55u);
}

TEST(QueryCertContextInfo, DatesAreUtc) {
    Ctx c{CertSpec{}};
    SYSTEMTIME st{};
    DWORD cb = 0;
    ScopedTZ tz("Asia/Shanghai");
    ASSERT_EQ(QueryCertContextInfo(c.p, QUERYID_FROMDATE, &st, &cb), KEVO_OK);
    EXPECT_EQ(cb, 16u);
    std::u16string text;
    ASSERT_EQ(GetTimeString(text, &st), KEVO_OK);
    EXPECT_EQ(text, u"2020-09-13 12:26:40");
    ASSERT_EQ(QueryCertContextInfo(c.p, QUERYID_TODATE, &st, &cb), KEVO_OK);
    ASSERT_EQ(GetTimeString(text, &st), KEVO_OK);
    EXPECT_EQ(text, u"2030-03-17 17:46:40");
    ASSERT_EQ(ConvertUTCtimetoLocalTime(&st), KEVO_OK);
    ASSERT_EQ(GetTimeString(text, &st), KEVO_OK);
    EXPECT_EQ(text, u"2030-03-18 01:46:40");
}

TEST(QueryCertContextInfo, ProviderAndContainerThroughThePrivateKey) {
    certkit::FreshPrefix prefix;
    ASSERT_TRUE(CreateRsaContainer(RSA_CSP, u"query-container", AT_SIGNATURE));
    Ctx c{CertSpec{}};
    HRESULT hr = E_FAIL;
    // No key-provider property and no registration: no private key.
    EXPECT_EQ(QueryText(c.p, QUERYID_PROVIDERNAME, &hr), u"");
    EXPECT_EQ(hr, static_cast<HRESULT>(CRYPT_E_NO_KEY_PROPERTY));
    ASSERT_TRUE(SetKeyProvInfo(c.p, u"query-container", RSA_CSP, AT_SIGNATURE));
    DWORD cch = 0;
    EXPECT_EQ(QueryText(c.p, QUERYID_PROVIDERNAME, &hr, &cch), RSA_CSP);
    EXPECT_EQ(hr, KEVO_OK);
    EXPECT_EQ(cch, std::u16string(RSA_CSP).size());
    EXPECT_EQ(QueryText(c.p, QUERYID_CONTAINERNAME, &hr), u"query-container");
    EXPECT_EQ(hr, KEVO_OK);
    // A property naming a container that is not there.
    ASSERT_TRUE(SetKeyProvInfo(c.p, u"no-such-container", RSA_CSP, AT_SIGNATURE));
    EXPECT_EQ(QueryText(c.p, QUERYID_CONTAINERNAME, &hr), u"");
    EXPECT_EQ(hr, static_cast<HRESULT>(NTE_BAD_KEYSET));
}

TEST(GetCertificateContextProperty, KeyProviderRecordOrNotFound) {
    Ctx c{CertSpec{}};
    BYTE* pb = nullptr;
    DWORD cb = 0;
    EXPECT_EQ(GetCertificateContextProperty(&cb, c.p, &pb), static_cast<HRESULT>(CRYPT_E_NOT_FOUND));
    EXPECT_EQ(pb, nullptr);
    ASSERT_TRUE(SetKeyProvInfo(c.p, u"{ABC}", SM2_CSP, AT_KEYEXCHANGE));
    ASSERT_EQ(GetCertificateContextProperty(&cb, c.p, &pb), KEVO_OK);
    std::unique_ptr<BYTE[]> hold(pb);
    ASSERT_GE(cb, sizeof(CRYPT_KEY_PROV_INFO));
    auto* info = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(pb);
    EXPECT_EQ(std::u16string(info->pwszProvName), SM2_CSP);
    EXPECT_EQ(std::u16string(info->pwszContainerName), u"{ABC}");
    EXPECT_EQ(info->dwKeySpec, static_cast<DWORD>(AT_KEYEXCHANGE));
}

TEST(TimeHelpers, FormatConvertAndMachineTime) {
    SYSTEMTIME st{2020, 12, 3, 16, 9, 5, 3, 999};
    std::u16string text;
    ASSERT_EQ(GetTimeString(text, &st), KEVO_OK);
    EXPECT_EQ(text, u"2020-12-16 09:05:03");
    EXPECT_EQ(GetTimeString(text, nullptr), E_INVALIDARG);
    EXPECT_EQ(ConvertUTCtimetoLocalTime(nullptr), E_INVALIDARG);
    {
        ScopedTZ tz("UTC");
        SYSTEMTIME u = st;
        ASSERT_EQ(ConvertUTCtimetoLocalTime(&u), KEVO_OK);
        ASSERT_EQ(GetTimeString(text, &u), KEVO_OK);
        EXPECT_EQ(text, u"2020-12-16 09:05:03");
    }
    {
        ScopedTZ tz("America/New_York");  // daylight saving of the date itself
        SYSTEMTIME summer{2021, 7, 0, 1, 12, 0, 0, 0}, winter{2021, 1, 0, 1, 12, 0, 0, 0};
        ASSERT_EQ(ConvertUTCtimetoLocalTime(&summer), KEVO_OK);
        ASSERT_EQ(ConvertUTCtimetoLocalTime(&winter), KEVO_OK);
        EXPECT_EQ(summer.wHour, 8);
        EXPECT_EQ(winter.wHour, 7);
    }
    FILETIME now{};
    ASSERT_EQ(GetMachineTime(&now), KEVO_OK);
    FILETIME sys{};
    GetSystemTimeAsFileTime(&sys);
    uint64_t a = (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    uint64_t b = (static_cast<uint64_t>(sys.dwHighDateTime) << 32) | sys.dwLowDateTime;
    EXPECT_LT(b - a, 10ull * 10000000ull);  // the same moment, in UTC, within seconds
}

TEST(CheckCertValidTime, ExpiredOnlyWhenNotAfterLiesBefore) {
    CertSpec spec;
    spec.notBefore = 1700000000;
    spec.notAfter = 1800000000;
    Ctx c{spec};
    DWORD expired = 7;
    FILETIME t = FromUnix(1800000001);
    EXPECT_EQ(CheckCertValidTime(&t, &expired, c.p), KEVO_OK);
    EXPECT_EQ(expired, 1u);
    t = FromUnix(1800000000);
    EXPECT_EQ(CheckCertValidTime(&t, &expired, c.p), KEVO_OK);
    EXPECT_EQ(expired, 0u);
    t = FromUnix(1600000000);  // not yet valid: not expired
    EXPECT_EQ(CheckCertValidTime(&t, &expired, c.p), KEVO_OK);
    EXPECT_EQ(expired, 0u);
    EXPECT_EQ(CheckCertValidTime(nullptr, &expired, c.p), E_INVALIDARG);
    EXPECT_EQ(CheckCertValidTime(&t, &expired, nullptr), E_INVALIDARG);
}

TEST(Predicates, SubjectAndIssuerSubstringsIgnoringCase) {
    Ctx c{CertSpec{}};
    using L = std::vector<std::u16string>;
    EXPECT_EQ(CheckCertSubjectName(c.p, L{u"org"}, CERT_X500_NAME_STR), KEVO_OK);
    EXPECT_EQ(CheckCertSubjectName(c.p, L{u"cn=test"}, CERT_X500_NAME_STR), KEVO_OK);
    EXPECT_EQ(CheckCertSubjectName(c.p, L{u"Org2"}, CERT_X500_NAME_STR), E_FAIL);
    EXPECT_EQ(CheckCertSubjectName(c.p, L{u"Org2", u"C=cn"}, CERT_X500_NAME_STR), KEVO_OK);
    EXPECT_EQ(CheckCertSubjectName(c.p, L{u"Org2", u""}, CERT_X500_NAME_STR), KEVO_OK);
    EXPECT_EQ(CheckCertSubjectName(c.p, L{}, CERT_X500_NAME_STR), KEVO_OK);
    // The simple form has no attribute names to match.
    EXPECT_EQ(CheckCertSubjectName(c.p, L{u"CN="}, CERT_SIMPLE_NAME_STR), E_FAIL);
    EXPECT_EQ(CheckCertIssuer(c.p, L{u"o=ORG, c=cn"}), KEVO_OK);
    EXPECT_EQ(CheckCertIssuer(c.p, L{u"Other CA"}), E_FAIL);
    EXPECT_EQ(CheckCertIssuer(c.p, L{}), KEVO_OK);
    EXPECT_EQ(CheckCertIssuer(nullptr, L{}), KEVO_OK);  // no criterion, no query
}

TEST(Predicates, ProviderNameFromTheKeyProviderProperty) {
    Ctx c{CertSpec{}};
    using L = std::vector<std::u16string>;
    EXPECT_EQ(CheckCSPName(c.p, L{}), KEVO_OK);
    EXPECT_EQ(CheckCSPName(c.p, L{u"SM2"}), static_cast<HRESULT>(CRYPT_E_NOT_FOUND));
    ASSERT_TRUE(SetKeyProvInfo(c.p, u"{X}", SM2_CSP, AT_SIGNATURE));
    EXPECT_EQ(CheckCSPName(c.p, L{u"sm2 token"}), KEVO_OK);
    EXPECT_EQ(CheckCSPName(c.p, L{u"Microsoft", u"tessaro"}), KEVO_OK);
    EXPECT_EQ(CheckCSPName(c.p, L{u"Microsoft"}), E_FAIL);
}

TEST(Predicates, KeyUsageSharesABit) {
    CertSpec spec;
    spec.keyUsage = 0x80;
    Ctx c{spec};
    EXPECT_EQ(CheckCertKeyUsage(c.p, 0xC0), KEVO_OK);
    EXPECT_EQ(CheckCertKeyUsage(c.p, 0x20), KEVO_E_CERT_USAGE);
    EXPECT_EQ(CheckCertKeyUsage(c.p, 0), KEVO_OK);
    Ctx none{CertSpec{}};
    EXPECT_EQ(CheckCertKeyUsage(none.p, 0x80), KEVO_E_NO_KEY_USAGE);
    EXPECT_EQ(CheckCertKeyUsage(none.p, 0), KEVO_OK);
}

TEST(Predicates, KeyIdentifierAndSerialCompareOverTheirOwnLength) {
    CertSpec spec;
    spec.subjectKeyId = {1, 2, 3, 4, 5, 6, 7, 8};
    Ctx c{spec};
    const BYTE id[] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    EXPECT_EQ(CheckCertSubjectKeyID(c.p, id, 8), KEVO_OK);
    EXPECT_EQ(CheckCertSubjectKeyID(c.p, id, 4), E_FAIL);  // a prefix is not the identifier
    EXPECT_EQ(CheckCertSubjectKeyID(c.p, id, 9), E_FAIL);
    EXPECT_EQ(CheckCertSubjectKeyID(c.p, nullptr, 0), KEVO_OK);
    // A one-byte criterion on the heap: reading the certificate's 8 bytes
    // from it would be caught by the address sanitizer.
    std::unique_ptr<BYTE[]> one(new BYTE[1]{1});
    EXPECT_EQ(CheckCertSubjectKeyID(c.p, one.get(), 1), E_FAIL);
    Ctx none{CertSpec{}};
    EXPECT_EQ(CheckCertSubjectKeyID(none.p, id, 8), KEVO_E_NO_SUBJECT_KEY_ID);

    const BYTE serial[] = {0xF4, 0xA3, 0x02, 0x01};
    EXPECT_EQ(CheckCertSerialNumber(c.p, serial, 4), KEVO_OK);
    EXPECT_EQ(CheckCertSerialNumber(c.p, serial, 3), E_FAIL);
    const BYTE reversed[] = {0x01, 0x02, 0xA3, 0xF4};
    EXPECT_EQ(CheckCertSerialNumber(c.p, reversed, 4), E_FAIL);
    std::unique_ptr<BYTE[]> shortSerial(new BYTE[2]{0xF4, 0xA3});
    EXPECT_EQ(CheckCertSerialNumber(c.p, shortSerial.get(), 2), E_FAIL);
    EXPECT_EQ(CheckCertSerialNumber(c.p, nullptr, 0), KEVO_OK);
}

TEST(Predicates, SignatureAlgorithmPrefixAndTimeValidity) {
    Ctx rsa{CertSpec{}};
    CertSpec sm2spec;
    sm2spec.sm2 = true;
    Ctx sm2{sm2spec};
    EXPECT_STREQ(rsa.p->pCertInfo->SignatureAlgorithm.pszObjId, "1.2.840.113549.1.1.11");
    EXPECT_STREQ(sm2.p->pCertInfo->SignatureAlgorithm.pszObjId, "1.2.156.10197.1.501");
    EXPECT_EQ(CheckCertSignatureAlg(rsa.p, "1.2.840.113549"), KEVO_OK);
    EXPECT_EQ(CheckCertSignatureAlg(sm2.p, "1.2.840.113549"), E_FAIL);
    EXPECT_EQ(CheckCertSignatureAlg(sm2.p, "1.2.156.10197"), KEVO_OK);
    EXPECT_EQ(CheckCertSignatureAlg(rsa.p, "1.2.156.10197"), E_FAIL);
    EXPECT_EQ(CheckCertSignatureAlg(rsa.p, "1.2.840.113549.1.1.11.5"), E_FAIL);
    EXPECT_EQ(CheckCertSignatureAlg(rsa.p, nullptr), KEVO_OK);

    FILETIME inside = FromUnix(1700000000), before = FromUnix(1599999999), after = FromUnix(1900000001);
    FILETIME edge = FromUnix(1900000000);
    EXPECT_EQ(CheckCertTimeValidity(rsa.p, &inside), KEVO_OK);
    EXPECT_EQ(CheckCertTimeValidity(rsa.p, &edge), KEVO_OK);
    EXPECT_EQ(CheckCertTimeValidity(rsa.p, &before), E_FAIL);
    EXPECT_EQ(CheckCertTimeValidity(rsa.p, &after), E_FAIL);
    EXPECT_EQ(CheckCertTimeValidity(rsa.p, nullptr), KEVO_OK);
}
