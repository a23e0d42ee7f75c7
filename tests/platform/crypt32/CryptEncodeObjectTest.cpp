#include <gtest/gtest.h>

#include "tests/support/TestSupport.h"
#include "win/windows.h"

using tessaro_test::ToHex;

namespace {

const DWORD kEnc = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

// Size query, then the value; the size answered is the size written.
std::string EncodeHex(LPCSTR type, const void* info, DWORD* pErr = nullptr) {
    DWORD cb = 0;
    SetLastError(0);
    if (!CryptEncodeObject(kEnc, type, info, nullptr, &cb)) {
        if (pErr) *pErr = GetLastError();
        return "";
    }
    std::vector<BYTE> out(cb + 8, 0xEE);
    DWORD cb2 = cb + 8;
    EXPECT_TRUE(CryptEncodeObject(kEnc, type, info, out.data(), &cb2));
    EXPECT_EQ(cb, cb2);
    EXPECT_EQ(0xEE, out[cb]);
    if (pErr) *pErr = 0;
    return ToHex(out.data(), cb2);
}

}  // namespace

TEST(CryptEncodeObject, NameValueTypes) {
    BYTE ab[] = {'a', 'b'};
    CERT_NAME_VALUE v = {CERT_RDN_PRINTABLE_STRING, {2, ab}};
    EXPECT_EQ("13026162", EncodeHex(X509_ANY_STRING, &v));
    v.dwValueType = CERT_RDN_IA5_STRING;
    EXPECT_EQ("16026162", EncodeHex(X509_ANY_STRING, &v));
    v.dwValueType = CERT_RDN_NUMERIC_STRING;
    EXPECT_EQ("12026162", EncodeHex(X509_NAME_VALUE, &v));
    v.dwValueType = CERT_RDN_T61_STRING;
    EXPECT_EQ("14026162", EncodeHex(X509_NAME_VALUE, &v));
    v.dwValueType = CERT_RDN_OCTET_STRING;
    v.Value = {0, nullptr};
    EXPECT_EQ("0400", EncodeHex(X509_NAME_VALUE, &v));

    const char16_t text[] = u"\u00e9\U0001F600";
    v = {CERT_RDN_UTF8_STRING, {6, reinterpret_cast<BYTE*>(const_cast<char16_t*>(text))}};
    EXPECT_EQ("0C06C3A9F09F9880", EncodeHex(X509_ANY_STRING, &v));
    v.dwValueType = CERT_RDN_BMP_STRING;
    v.Value.cbData = 2;
    EXPECT_EQ("1E0200E9", EncodeHex(X509_ANY_STRING, &v));

    DWORD err = 0;
    v.dwValueType = CERT_RDN_UTF8_STRING;
    v.Value.cbData = 3;
    EncodeHex(X509_ANY_STRING, &v, &err);
    EXPECT_EQ(static_cast<DWORD>(E_INVALIDARG), err);
    v.dwValueType = 99;
    EncodeHex(X509_ANY_STRING, &v, &err);
    EXPECT_EQ(static_cast<DWORD>(CRYPT_E_ASN1_CHOICE), err);
}

TEST(CryptEncodeObject, LongContentUsesLongFormLength) {
    std::vector<BYTE> big(70000, 0x41);
    CERT_NAME_VALUE v = {CERT_RDN_OCTET_STRING, {static_cast<DWORD>(big.size()), big.data()}};
    std::string hex = EncodeHex(X509_ANY_STRING, &v);
    EXPECT_EQ("0483011170", hex.substr(0, 10));
    EXPECT_EQ(10 + 2 * big.size(), hex.size());
}

TEST(CryptEncodeObject, BitsAttributeOctetsAndIdentifier) {
    BYTE ab[] = {0xAA, 0xBF};
    CRYPT_BIT_STRING bits = {2, ab, 0};
    EXPECT_EQ("030300AABF", EncodeHex(X509_BITS, &bits));
    bits.cUnusedBits = 4;  // unused bits are cleared in DER
    EXPECT_EQ("030304AAB0", EncodeHex(X509_BITS, &bits));

    BYTE v1[] = {0x13, 0x01, 0x62};
    BYTE v2[] = {0x13, 0x01, 0x61};
    CRYPT_ATTR_BLOB values[2] = {{3, v1}, {3, v2}};
    CRYPT_ATTRIBUTE attr = {const_cast<LPSTR>("1.2.840.113549.1.9.7"), 2, values};
    // The SET OF values is sorted.
    EXPECT_EQ("301306092A864886F70D010907310613016113016" "2", EncodeHex(PKCS_ATTRIBUTE, &attr));
    attr.cValue = 0;
    EXPECT_EQ("300D06092A864886F70D0109073100", EncodeHex(PKCS_ATTRIBUTE, &attr));

    CRYPT_DATA_BLOB os = {2, ab};
    EXPECT_EQ("0402AABF", EncodeHex(X509_OCTET_STRING, &os));
    LPCSTR oid = "2.999.3";
    EXPECT_EQ("0603883703", EncodeHex(X509_OBJECT_IDENTIFIER, &oid));
    oid = "1.2.840.113549.1.1.11";
    EXPECT_EQ("06092A864886F70D01010B", EncodeHex(X509_OBJECT_IDENTIFIER, &oid));
}

TEST(CryptEncodeObject, RefusesMalformedIdentifiers) {
    DWORD err = 0;
    for (const char* bad : {"", "1", "3.0", "0.40", "1.39.", "1..3", " 1.2", "1.2 ", "1.-2", "1.2.x",
                            "1.99999999999999999999999"}) {
        CRYPT_ATTRIBUTE attr = {const_cast<LPSTR>(bad), 0, nullptr};
        EncodeHex(PKCS_ATTRIBUTE, &attr, &err);
        EXPECT_EQ(static_cast<DWORD>(CRYPT_E_OID_FORMAT), err) << bad;
        EncodeHex(X509_OBJECT_IDENTIFIER, &bad, &err);
        EXPECT_EQ(static_cast<DWORD>(CRYPT_E_OID_FORMAT), err) << bad;
    }
    CRYPT_ATTRIBUTE nullOid = {nullptr, 0, nullptr};
    EncodeHex(PKCS_ATTRIBUTE, &nullOid, &err);
    EXPECT_EQ(static_cast<DWORD>(CRYPT_E_OID_FORMAT), err);
}

TEST(CryptEncodeObject, CallingConventions) {
    BYTE ab[] = {1, 2, 3};
    CRYPT_DATA_BLOB os = {3, ab};
    BYTE out[5] = {};
    DWORD cb = 4;
    EXPECT_FALSE(CryptEncodeObject(kEnc, X509_OCTET_STRING, &os, out, &cb));
    EXPECT_EQ(static_cast<DWORD>(ERROR_MORE_DATA), GetLastError());
    EXPECT_EQ(5u, cb);
    EXPECT_TRUE(CryptEncodeObject(kEnc, X509_OCTET_STRING, &os, out, &cb));
    EXPECT_EQ("0403010203", ToHex(out, cb));

    cb = 0;
    EXPECT_FALSE(CryptEncodeObject(kEnc, X509_CERT_POLICIES, &os, nullptr, &cb));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
    EXPECT_FALSE(CryptEncodeObject(kEnc, "1.2.3.4", &os, nullptr, &cb));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
    EXPECT_FALSE(CryptEncodeObject(X509_NDR_ENCODING, X509_OCTET_STRING, &os, nullptr, &cb));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
    EXPECT_FALSE(CryptEncodeObject(kEnc, X509_OCTET_STRING, &os, nullptr, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
}
