// Names as text: CertNameToStrW's forms, flags and quoting; CertGetNameStringW's
// name types; CryptDecodeObjectEx for the structures read out of certificates.
#include <gtest/gtest.h>

#include "tests/support/TestPki.h"
#include "tests/support/TestSupport.h"
#include "win/windows.h"

using namespace tessaro_test::pki;
using tessaro_test::Narrow;
using tessaro_test::FromHex;
using tessaro_test::ToHex;

namespace {

constexpr DWORD kEnc = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

std::u16string ToStr(const Bytes& name, DWORD type) {
    CERT_NAME_BLOB b{static_cast<DWORD>(name.size()), const_cast<BYTE*>(name.data())};
    DWORD n = CertNameToStrW(kEnc, &b, type, nullptr, 0);
    std::u16string s(n, u'\0');
    DWORD m = CertNameToStrW(kEnc, &b, type, s.data(), n);
    EXPECT_EQ(m, n);
    EXPECT_EQ(s.back(), u'\0');
    s.pop_back();
    return s;
}

// C=CN, O=Some, Org, OU=R"D, {CN=Test User + SERIALNUMBER=123}, 1.2.3.4=x
const std::vector<NameEntry> kMixed = {
    {"2.5.4.6", 0x13, "CN"},
    {"2.5.4.10", 0x0C, "Some, Org"},
    {"2.5.4.11", 0x0C, "R\"D"},
    {"2.5.4.3", 0x0C, "Test User"},
    {"2.5.4.5", 0x13, "123", true},
    {"1.2.3.4", 0x0C, "x"},
};

std::u16string NameString(PCCERT_CONTEXT c, DWORD type, DWORD flags, void* para) {
    DWORD n = CertGetNameStringW(c, type, flags, para, nullptr, 0);
    std::u16string s(n, u'\0');
    EXPECT_EQ(CertGetNameStringW(c, type, flags, para, s.data(), n), n);
    s.pop_back();
    return s;
}

}  // namespace

TEST(NameToStr, FormsAndFlags) {
    Bytes name = EncodeName(kMixed);
    // The multi-valued RDN is a DER SET: its members appear in encoded (sorted) order.
    EXPECT_EQ(Narrow(ToStr(name, CERT_X500_NAME_STR)),
              "C=CN, O=\"Some, Org\", OU=\"R\"\"D\", SERIALNUMBER=123 + CN=Test User, OID.1.2.3.4=x");
    EXPECT_EQ(Narrow(ToStr(name, CERT_SIMPLE_NAME_STR)), "CN, \"Some, Org\", \"R\"\"D\", 123 + Test User, x");
    EXPECT_EQ(Narrow(ToStr(name, CERT_OID_NAME_STR)),
              "2.5.4.6=CN, 2.5.4.10=\"Some, Org\", 2.5.4.11=\"R\"\"D\", 2.5.4.5=123 + 2.5.4.3=Test User, 1.2.3.4=x");
    // The form the certificate queries use: last RDN first, no quoting.
    EXPECT_EQ(Narrow(ToStr(name, CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG | CERT_NAME_STR_NO_QUOTING_FLAG)),
              "OID.1.2.3.4=x, SERIALNUMBER=123 + CN=Test User, OU=R\"D, O=Some, Org, C=CN");
    EXPECT_EQ(Narrow(ToStr(name, CERT_X500_NAME_STR | CERT_NAME_STR_SEMICOLON_FLAG | CERT_NAME_STR_NO_PLUS_FLAG)),
              "C=CN; O=\"Some, Org\"; OU=\"R\"\"D\"; SERIALNUMBER=123 CN=Test User; OID.1.2.3.4=x");
    EXPECT_EQ(Narrow(ToStr(name, CERT_SIMPLE_NAME_STR | CERT_NAME_STR_CRLF_FLAG | CERT_NAME_STR_REVERSE_FLAG)),
              "x\r\n123 + Test User\r\n\"R\"\"D\"\r\n\"Some, Org\"\r\nCN");
}

TEST(NameToStr, QuotingRules) {
    std::vector<NameEntry> e;
    for (const char* v : {" lead", "trail ", "a+b", "a=b", "a<b", "a>b", "#x", "a;b", "line\nbreak", "plain",
                          "back\\slash", "it's", "", "two  blanks"})
        e.push_back({"2.5.4.3", 0x0C, v});
    EXPECT_EQ(Narrow(ToStr(EncodeName(e), CERT_SIMPLE_NAME_STR)),
              "\" lead\", \"trail \", \"a+b\", \"a=b\", \"a<b\", \"a>b\", \"#x\", \"a;b\", \"line\nbreak\", plain, "
              "back\\slash, it's, \"\", two  blanks");
    EXPECT_EQ(Narrow(ToStr(EncodeName(e), CERT_SIMPLE_NAME_STR | CERT_NAME_STR_NO_QUOTING_FLAG)),
              " lead, trail , a+b, a=b, a<b, a>b, #x, a;b, line\nbreak, plain, back\\slash, it's, , two  blanks");
}

TEST(NameToStr, AttributeNamesAndStringTypes) {
    std::vector<NameEntry> e = {
        {"2.5.4.7", 0x13, "l"},          {"2.5.4.8", 0x13, "s"},        {"2.5.4.9", 0x0C, "st"},
        {"1.2.840.113549.1.9.1", 0x16, "e@x.cn"},                       {"2.5.4.12", 0x0C, "t"},
        {"2.5.4.42", 0x0C, "g"},         {"2.5.4.43", 0x0C, "i"},       {"2.5.4.4", 0x0C, "sn"},
        {"0.9.2342.19200300.100.1.25", 0x16, "dc"},                     {"2.5.4.17", 0x0C, "100"},
        {"2.5.4.13", 0x0C, "d"},         {"2.5.4.11", 0x0C, "ou"},      {"2.5.4.5", 0x13, "9"},
    };
    EXPECT_EQ(Narrow(ToStr(EncodeName(e), CERT_X500_NAME_STR)),
              "L=l, S=s, STREET=st, E=e@x.cn, T=t, G=g, I=i, SN=sn, DC=dc, POSTALCODE=100, Description=d, OU=ou, "
              "SERIALNUMBER=9");
    std::vector<NameEntry> types = {
        {"2.5.4.3", 0x1E, std::string("\x5F\x20\x4E\x09", 4)},  // BMPString, big-endian
        {"2.5.4.3", 0x0C, "Caf\xC3\xA9"},                        // UTF8String
        {"2.5.4.3", 0x14, "Caf\xE9"},                            // T61String, not UTF-8: Latin-1
        {"2.5.4.3", 0x1C, std::string("\x00\x01\xF6\x00", 4)},  // UniversalString beyond the BMP
    };
    std::u16string s = ToStr(EncodeName(types), CERT_SIMPLE_NAME_STR);
    EXPECT_EQ(s, u"\u5F20\u4E09, Caf\u00E9, Caf\u00E9, \U0001F600");
    // A value that is no string is shown as # and the hex of its encoding.
    Bytes raw = FromHex("300F310D300B06032A0304040401020304");
    EXPECT_EQ(Narrow(ToStr(raw, CERT_X500_NAME_STR)), "OID.1.2.3.4=#040401020304");
}

TEST(NameToStr, SizesTruncationAndBadNames) {
    Bytes name = EncodeName({{"2.5.4.3", 0x13, "Hello"}});
    CERT_NAME_BLOB b{static_cast<DWORD>(name.size()), name.data()};
    EXPECT_EQ(CertNameToStrW(kEnc, &b, CERT_X500_NAME_STR, nullptr, 0), 9u);  // "CN=Hello" and the terminator
    WCHAR buf[5] = {u'z', u'z', u'z', u'z', u'z'};
    EXPECT_EQ(CertNameToStrW(kEnc, &b, CERT_X500_NAME_STR, buf, 5), 5u);
    EXPECT_EQ(std::u16string(buf), u"CN=H");
    Bytes empty = {0x30, 0x00};
    CERT_NAME_BLOB e{2, empty.data()};
    EXPECT_EQ(CertNameToStrW(kEnc, &e, CERT_X500_NAME_STR, buf, 5), 1u);
    EXPECT_EQ(buf[0], 0);
    Bytes bad = {0x31, 0x00};
    CERT_NAME_BLOB x{2, bad.data()};
    buf[0] = u'z';
    EXPECT_EQ(CertNameToStrW(kEnc, &x, CERT_X500_NAME_STR, buf, 5), 1u);
    EXPECT_EQ(buf[0], 0);
    EXPECT_EQ(static_cast<HRESULT>(GetLastError()), CRYPT_E_ASN1_BADTAG);
    Bytes cut(name.begin(), name.end() - 2);
    CERT_NAME_BLOB c{static_cast<DWORD>(cut.size()), cut.data()};
    EXPECT_EQ(CertNameToStrW(kEnc, &c, CERT_X500_NAME_STR, buf, 5), 1u);
    EXPECT_EQ(static_cast<HRESULT>(GetLastError()), CRYPT_E_ASN1_EOD);
}

TEST(GetNameString, DisplayEmailAttributeAndIssuer) {
    CertSpec spec;
    spec.subject = {{"2.5.4.6", 0x13, "CN"}, {"2.5.4.10", 0x13, "Org"}, {"2.5.4.3", 0x0C, "Alice"}};
    spec.issuer = {{"2.5.4.10", 0x13, "Issuer Org"}, {"2.5.4.11", 0x13, "Issuer Unit"}};
    spec.extensions = {{"2.5.29.17", false, FromHex("300A8108616C40782E6F7267")}};  // rfc822Name al@x.org
    Bytes der = MakeCert(spec);
    PCCERT_CONTEXT c = CertCreateCertificateContext(kEnc, der.data(), static_cast<DWORD>(der.size()));
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(Narrow(NameString(c, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr)), "Alice");
    // The issuer has no CN: the organisational unit comes before the organisation.
    EXPECT_EQ(Narrow(NameString(c, CERT_NAME_SIMPLE_DISPLAY_TYPE, CERT_NAME_ISSUER_FLAG, nullptr)), "Issuer Unit");
    EXPECT_EQ(Narrow(NameString(c, CERT_NAME_EMAIL_TYPE, 0, nullptr)), "al@x.org");
    EXPECT_EQ(Narrow(NameString(c, CERT_NAME_EMAIL_TYPE, CERT_NAME_ISSUER_FLAG, nullptr)), "");
    char org[] = "2.5.4.10";
    EXPECT_EQ(Narrow(NameString(c, CERT_NAME_ATTR_TYPE, 0, org)), "Org");
    char none[] = "2.5.4.7";
    EXPECT_EQ(CertGetNameStringW(c, CERT_NAME_ATTR_TYPE, 0, none, nullptr, 0), 1u);
    DWORD type = CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG;
    EXPECT_EQ(Narrow(NameString(c, CERT_NAME_RDN_TYPE, 0, &type)), "CN=Alice, O=Org, C=CN");
    WCHAR small[3];
    EXPECT_EQ(CertGetNameStringW(c, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, small, 3), 3u);
    EXPECT_EQ(std::u16string(small), u"Al");
    CertFreeCertificateContext(c);

    CertSpec mailOnly;
    mailOnly.subject = {{"2.5.4.6", 0x13, "CN"}, {"1.2.840.113549.1.9.1", 0x16, "m@x.cn"}};
    der = MakeCert(mailOnly);
    c = CertCreateCertificateContext(kEnc, der.data(), static_cast<DWORD>(der.size()));
    EXPECT_EQ(Narrow(NameString(c, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr)), "m@x.cn");
    EXPECT_EQ(Narrow(NameString(c, CERT_NAME_EMAIL_TYPE, 0, nullptr)), "m@x.cn");
    CertFreeCertificateContext(c);
    WCHAR buf[4] = {u'z'};
    EXPECT_EQ(CertGetNameStringW(c, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, buf, 4), 1u);  // stale context
    EXPECT_EQ(buf[0], 0);
    EXPECT_EQ(static_cast<HRESULT>(GetLastError()), E_INVALIDARG);
}

TEST(DecodeObject, KeyUsageAndKeyIdentifierWithSizeQueries) {
    Bytes ku = FromHex("030205A0");
    DWORD cb = 0;
    ASSERT_TRUE(CryptDecodeObjectEx(kEnc, szOID_KEY_USAGE, ku.data(), 4, CRYPT_DECODE_NOCOPY_FLAG, nullptr, nullptr, &cb));
    ASSERT_GE(cb, sizeof(CRYPT_BIT_STRING_BLOB) + 1);
    Bytes buf(cb);
    DWORD small = cb - 1;
    EXPECT_FALSE(CryptDecodeObjectEx(kEnc, X509_KEY_USAGE, ku.data(), 4, 0, nullptr, buf.data(), &small));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(small, cb);
    ASSERT_TRUE(CryptDecodeObject(kEnc, X509_KEY_USAGE, ku.data(), 4, 0, buf.data(), &cb));
    auto* bits = reinterpret_cast<CRYPT_BIT_STRING_BLOB*>(buf.data());
    EXPECT_EQ(bits->cbData, 1u);
    EXPECT_EQ(bits->cUnusedBits, 5u);
    EXPECT_EQ(bits->pbData[0], 0xA0);

    Bytes ski = FromHex("04040A0B0C0D");
    void* mem = nullptr;
    cb = 0;
    ASSERT_TRUE(CryptDecodeObjectEx(kEnc, szOID_SUBJECT_KEY_IDENTIFIER, ski.data(), 6, CRYPT_DECODE_ALLOC_FLAG, nullptr,
                                    &mem, &cb));
    ASSERT_NE(mem, nullptr);
    auto* blob = static_cast<CRYPT_DATA_BLOB*>(mem);
    EXPECT_EQ(ToHex(blob->pbData, blob->cbData), "0A0B0C0D");
    EXPECT_EQ(LocalFree(mem), nullptr);
}

TEST(DecodeObject, NamesConstraintsAndUsages) {
    Bytes name = EncodeName({{"2.5.4.6", 0x13, "CN"}, {"2.5.4.3", 0x1E, std::string("\x00\x41", 2)},
                             {"2.5.4.10", 0x0C, "O", true}});
    void* mem = nullptr;
    DWORD cb = 0;
    ASSERT_TRUE(CryptDecodeObjectEx(kEnc, X509_NAME, name.data(), static_cast<DWORD>(name.size()),
                                    CRYPT_DECODE_ALLOC_FLAG, nullptr, &mem, &cb));
    auto* ni = static_cast<CERT_NAME_INFO*>(mem);
    ASSERT_EQ(ni->cRDN, 2u);
    ASSERT_EQ(ni->rgRDN[0].cRDNAttr, 1u);
    EXPECT_STREQ(ni->rgRDN[0].rgRDNAttr[0].pszObjId, "2.5.4.6");
    EXPECT_EQ(ni->rgRDN[0].rgRDNAttr[0].dwValueType, static_cast<DWORD>(CERT_RDN_PRINTABLE_STRING));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(ni->rgRDN[0].rgRDNAttr[0].Value.pbData)), "CN");
    ASSERT_EQ(ni->rgRDN[1].cRDNAttr, 2u);
    bool sawBmp = false;
    for (DWORD i = 0; i < 2; ++i) {
        const CERT_RDN_ATTR& a = ni->rgRDN[1].rgRDNAttr[i];
        if (a.dwValueType == CERT_RDN_BMP_STRING) {
            sawBmp = true;
            EXPECT_EQ(a.Value.cbData, 2u);
            EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(a.Value.pbData)), u"A");
        }
    }
    EXPECT_TRUE(sawBmp);
    LocalFree(mem);

    Bytes bc = FromHex("30060101FF020102");
    CERT_BASIC_CONSTRAINTS2_INFO info{};
    cb = sizeof(info);
    ASSERT_TRUE(CryptDecodeObject(kEnc, X509_BASIC_CONSTRAINTS2, bc.data(), 8, 0, &info, &cb));
    EXPECT_TRUE(info.fCA);
    EXPECT_TRUE(info.fPathLenConstraint);
    EXPECT_EQ(info.dwPathLenConstraint, 2u);

    Bytes eku = FromHex("301406082B0601050507030206082B06010505070304");
    ASSERT_TRUE(CryptDecodeObjectEx(kEnc, X509_ENHANCED_KEY_USAGE, eku.data(), static_cast<DWORD>(eku.size()),
                                    CRYPT_DECODE_ALLOC_FLAG, nullptr, &mem, &cb));
    auto* usage = static_cast<CERT_ENHKEY_USAGE*>(mem);
    ASSERT_EQ(usage->cUsageIdentifier, 2u);
    EXPECT_STREQ(usage->rgpszUsageIdentifier[0], "1.3.6.1.5.5.7.3.2");
    EXPECT_STREQ(usage->rgpszUsageIdentifier[1], "1.3.6.1.5.5.7.3.4");
    LocalFree(mem);
}

TEST(DecodeObject, BadInputCodes) {
    BYTE out[64];
    DWORD cb = sizeof(out);
    Bytes octets = FromHex("0402AABB");
    EXPECT_FALSE(CryptDecodeObject(kEnc, X509_KEY_USAGE, octets.data(), 4, 0, out, &cb));
    EXPECT_EQ(static_cast<HRESULT>(GetLastError()), CRYPT_E_ASN1_BADTAG);
    Bytes cut = FromHex("030305A0");
    cb = sizeof(out);
    EXPECT_FALSE(CryptDecodeObject(kEnc, X509_KEY_USAGE, cut.data(), 4, 0, out, &cb));
    EXPECT_EQ(static_cast<HRESULT>(GetLastError()), CRYPT_E_ASN1_EOD);
    Bytes unused = FromHex("030108");  // eight unused bits
    cb = sizeof(out);
    EXPECT_FALSE(CryptDecodeObject(kEnc, X509_BITS, unused.data(), 3, 0, out, &cb));
    EXPECT_EQ(static_cast<HRESULT>(GetLastError()), CRYPT_E_ASN1_CORRUPT);
    cb = sizeof(out);
    EXPECT_FALSE(CryptDecodeObject(kEnc, "1.2.3.4", octets.data(), 4, 0, out, &cb));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(CryptDecodeObject(kEnc, X509_OCTET_STRING, nullptr, 0, 0, out, &cb));
    EXPECT_EQ(static_cast<HRESULT>(GetLastError()), CRYPT_E_ASN1_EOD);
    EXPECT_FALSE(CryptDecodeObject(kEnc, X509_OCTET_STRING, octets.data(), 4, 0, out, nullptr));
    EXPECT_EQ(static_cast<HRESULT>(GetLastError()), E_INVALIDARG);
}
