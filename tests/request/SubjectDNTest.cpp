#include <gtest/gtest.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include <memory>

#include "request/SubjectDN.h"
#include "tests/support/TestSupport.h"

// The platform's structure-type constant shadows OpenSSL's type name.
#undef X509_NAME

using tessaro_test::ToHex;

namespace {

std::string Name(const char16_t* subject, HRESULT* phr = nullptr) {
    BYTE* p = nullptr;
    int n = 0;
    HRESULT hr = ComposeSubject(subject, &p, &n);
    std::unique_ptr<BYTE[]> owned(p);
    if (phr) *phr = hr;
    if (hr != 0) {
        EXPECT_EQ(nullptr, p);
        return "";
    }
    return ToHex(p, static_cast<size_t>(n));
}

HRESULT NameFails(const char16_t* subject) {
    HRESULT hr = 0;
    Name(subject, &hr);
    return hr;
}

}  // namespace

TEST(SubjectDN, ExactEncodings) {
    EXPECT_EQ("300D310B3009060355040613024" "34E", Name(u"C=CN"));
    EXPECT_EQ("300C310A300806035504030C0161", Name(u"CN=a"));
    // Blanks and case of the name do not matter; blanks of the value stay.
    EXPECT_EQ("300C310A300806035504030C0161", Name(u" c n =a"));
    EXPECT_EQ("300D310B300906035504030C022061", Name(u"CN= a"));
    EXPECT_EQ(Name(u"C=CN"), Name(u"c=CN"));
    EXPECT_EQ("30123110300E0609" "2A864886F70D010901" "160178", Name(u"E=x"));
    EXPECT_EQ(Name(u"E=x"), Name(u"email=x"));
    EXPECT_EQ("300E310C300A06035504051303313233", Name(u"SERIALNUMBER=123"));
}

TEST(SubjectDN, RdnsInReverseOrderAndNeverMerged) {
    std::string c = "310B3009060355040613024" "34E";
    std::string cn = "310A300806035504030C0161";
    EXPECT_EQ("3019" + c + cn, Name(u"CN=a,C=CN"));
    EXPECT_EQ("3018" + cn + cn, Name(u"CN=a,CN=a"));
}

TEST(SubjectDN, StringTypeByIdentifier) {
    // Non-ASCII text: UTF8String for CN, PrintableString bytes for the country.
    EXPECT_EQ("300D310B300906035504030C02C3A9", Name(u"CN=\u00e9"));
    EXPECT_EQ("300D310B3009060355040613" "02C3A9", Name(u"C=\u00e9"));
    // jurisdictionOfIncorporationCountryName is PrintableString too; the locality one is not.
    std::string j3 = Name(u"jurisdictionOfIncorporationCountryName=CN");
    EXPECT_NE(std::string::npos, j3.find("060B2B0601040182373C0201031302434E"));
    std::string j1 = Name(u"jurisdictionOfIncorporationLocalityName=x");
    EXPECT_NE(std::string::npos, j1.find("060B2B0601040182373C0201010C0178"));
    EXPECT_NE(std::string::npos, Name(u"ST=x").find("0603550408"));
    EXPECT_NE(std::string::npos, Name(u"S=x").find("0603550408"));
    EXPECT_NE(std::string::npos, Name(u"STREET=x").find("0603550409"));
    EXPECT_NE(std::string::npos, Name(u"businessCategory=x").find("060355040F"));
    EXPECT_NE(std::string::npos, Name(u"PostalCode=x").find("0603550411"));
}

TEST(SubjectDN, Refusals) {
    EXPECT_EQ(NTE_BAD_DATA, NameFails(u"CN=a,,O=b"));
    EXPECT_EQ(NTE_BAD_DATA, NameFails(u"CN=a,"));
    EXPECT_EQ(NTE_BAD_DATA, NameFails(u",CN=a"));
    EXPECT_EQ(NTE_BAD_DATA, NameFails(u"CN=a=b"));
    EXPECT_EQ(NTE_BAD_DATA, NameFails(u"CN"));
    EXPECT_EQ(E_FAIL, NameFails(u"CN="));
    EXPECT_EQ(E_FAIL, NameFails(u""));
    EXPECT_EQ(CRYPT_E_OID_FORMAT, NameFails(u"CN=a,b=c"));
    EXPECT_EQ(CRYPT_E_OID_FORMAT, NameFails(u"CN\t=a"));
    EXPECT_EQ(E_INVALIDARG, NameFails(nullptr));
}

TEST(SubjectDN, SplitAndReplaceHelpers) {
    using V = std::vector<std::u16string>;
    EXPECT_EQ(V{}, SplidWstr(u"", u','));
    EXPECT_EQ((V{u"a", u"b"}), SplidWstr(u"a,b", u','));
    EXPECT_EQ((V{u"a", u""}), SplidWstr(u"a,", u','));
    EXPECT_EQ((V{u"", u"a"}), SplidWstr(u",a", u','));
    EXPECT_EQ((V{u"a", u"", u"b"}), SplidWstr(u"a,,b", u','));
    EXPECT_EQ((V{u"", u""}), SplidWstr(u",", u','));
    EXPECT_EQ(u"CN", ReplaceWchar(u" C N ", u' '));
    EXPECT_EQ("2.5.4.11", GetObjectID(u"ou"));
    EXPECT_EQ("", GetObjectID(u"X"));

    std::vector<SUBJECT_PAIR> pairs;
    ASSERT_EQ(0, ParseSubject(u"CN=Zhang San, O=Bank", pairs));
    ASSERT_EQ(2u, pairs.size());
    EXPECT_EQ("2.5.4.3", pairs[0].strObjId);
    EXPECT_EQ(u"Zhang San", pairs[0].wstrValue);
    EXPECT_EQ("2.5.4.10", pairs[1].strObjId);
    EXPECT_EQ(u"Bank", pairs[1].wstrValue);
}

TEST(SubjectDN, OpenSslReadsTheNameBack) {
    const char16_t* subject =
        u"CN=Zhang San,OU=Retail,O=Example Bank,L=Beijing,S=Beijing,C=CN,E=zs@example.com,CN=\u5f20\u4e09";
    BYTE* p = nullptr;
    int n = 0;
    ASSERT_EQ(0, ComposeSubject(subject, &p, &n));
    std::unique_ptr<BYTE[]> owned(p);
    const unsigned char* q = p;
    X509_NAME* name = d2i_X509_NAME(nullptr, &q, n);
    ASSERT_NE(nullptr, name);
    EXPECT_EQ(p + n, q);
    ASSERT_EQ(8, X509_NAME_entry_count(name));
    const int expectNid[] = {NID_commonName, NID_pkcs9_emailAddress, NID_countryName, NID_stateOrProvinceName,
                             NID_localityName, NID_organizationName, NID_organizationalUnitName, NID_commonName};
    const int expectType[] = {V_ASN1_UTF8STRING, V_ASN1_IA5STRING, V_ASN1_PRINTABLESTRING, V_ASN1_UTF8STRING,
                              V_ASN1_UTF8STRING, V_ASN1_UTF8STRING, V_ASN1_UTF8STRING, V_ASN1_UTF8STRING};
    for (int i = 0; i < 8; ++i) {
        X509_NAME_ENTRY* e = X509_NAME_get_entry(name, i);
        EXPECT_EQ(expectNid[i], OBJ_obj2nid(X509_NAME_ENTRY_get_object(e))) << i;
        EXPECT_EQ(expectType[i], ASN1_STRING_type(X509_NAME_ENTRY_get_data(e))) << i;
        EXPECT_EQ(i, X509_NAME_ENTRY_set(e)) << "one attribute per RDN";
    }
    ASN1_STRING* first = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, 0));
    EXPECT_EQ("E5BCA0E4B889", ToHex(ASN1_STRING_get0_data(first), static_cast<size_t>(ASN1_STRING_length(first))));
    // OpenSSL re-encodes it to the same bytes.
    unsigned char* der = nullptr;
    int m = i2d_X509_NAME(name, &der);
    EXPECT_EQ(ToHex(p, static_cast<size_t>(n)), ToHex(der, static_cast<size_t>(m)));
    OPENSSL_free(der);
    X509_NAME_free(name);
}
