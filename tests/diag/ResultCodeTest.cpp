// A failed platform call that leaves the thread's last error at 0 must still
// be reported as a failure: the normalised code is E_FAIL, never KEVO_OK.
#include <gtest/gtest.h>

#include <cstdint>

#include "diag/ResultCode.h"
#include "win/windows.h"

namespace {

TEST(LastErrorResult, ZeroLastErrorIsAFailureNotSuccess) {
    SetLastError(0);
    EXPECT_EQ(KevoLastErrorResult(), E_FAIL);
    EXPECT_TRUE(FAILED(KevoLastErrorResult()));
}

TEST(LastErrorResult, Win32OwnAndHResultCodesByTheRule) {
    SetLastError(ERROR_BADDB);  // 1009
    EXPECT_EQ(KevoLastErrorResult(), static_cast<HRESULT>(0x800703F1));
    SetLastError(0x20001403);  // an own code in its positive form
    EXPECT_EQ(KevoLastErrorResult(), static_cast<HRESULT>(0xA0071403));
    SetLastError(static_cast<DWORD>(NTE_BAD_KEYSET));  // HRESULTs pass through
    EXPECT_EQ(KevoLastErrorResult(), NTE_BAD_KEYSET);
    // Reading the result leaves the last error as it was.
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_KEYSET));
}

TEST(NormalizeResult, SuccessStaysOnlyForZero) {
    EXPECT_EQ(KevoNormalizeResult(0), KEVO_OK);
    EXPECT_EQ(KevoNormalizeResult(1), static_cast<HRESULT>(0x80070001));
    EXPECT_EQ(KevoNormalizeResult(0x7FFFFFFF), static_cast<HRESULT>(0xA007FFFF));
    EXPECT_EQ(KevoNormalizeResult(-1), -1);
}

// Every own code, and every platform code the tests name, by its number:
// the tests compare results with the names, so a renumbered code must show
// here.
TEST(ResultCodeNames, EachNameHasItsNumber) {
    struct Named {
        const char* name;
        HRESULT code;
        uint32_t number;
    };
    const Named kCodes[] = {
        {"KEVO_E_NO_CERT_IN_STORE", KEVO_E_NO_CERT_IN_STORE, 0xA0071001u},
        {"KEVO_E_USER_CANCELED", KEVO_E_USER_CANCELED, 0xA0071002u},
        {"KEVO_E_QUERY_TYPE", KEVO_E_QUERY_TYPE, 0xA0071003u},
        {"KEVO_E_BASE64_ENCODE", KEVO_E_BASE64_ENCODE, 0xA0071004u},
        {"KEVO_E_BASE64_DECODE", KEVO_E_BASE64_DECODE, 0xA0071005u},
        {"KEVO_E_MALICIOUS_PATH", KEVO_E_MALICIOUS_PATH, 0xA0071006u},
        {"KEVO_E_EMPTY_FILE", KEVO_E_EMPTY_FILE, 0xA0071007u},
        {"KEVO_E_NO_KEY_USAGE", KEVO_E_NO_KEY_USAGE, 0xA0071020u},
        {"KEVO_E_NO_SUBJECT_KEY_ID", KEVO_E_NO_SUBJECT_KEY_ID, 0xA0071021u},
        {"KEVO_E_CHAIN_TIME_INVALID", KEVO_E_CHAIN_TIME_INVALID, 0xA0071031u},
        {"KEVO_E_IN_OFFLINE_CRL", KEVO_E_IN_OFFLINE_CRL, 0xA0071032u},
        {"KEVO_E_CHAIN_NOT_INTEGRATED", KEVO_E_CHAIN_NOT_INTEGRATED, 0xA0071033u},
        {"KEVO_E_CHAIN_SIGNATURE_INVALID", KEVO_E_CHAIN_SIGNATURE_INVALID, 0xA0071034u},
        {"KEVO_E_CERT_NOT_FOUND", KEVO_E_CERT_NOT_FOUND, 0xA0071035u},
        {"KEVO_E_ASN1_DECODE", KEVO_E_ASN1_DECODE, 0xA0071041u},
        {"KEVO_E_PKCS7_DECODE", KEVO_E_PKCS7_DECODE, 0xA0071042u},
        {"KEVO_E_PRIVATE_KEY_INFO", KEVO_E_PRIVATE_KEY_INFO, 0xA0071400u},
        {"KEVO_E_PRIVATE_KEY", KEVO_E_PRIVATE_KEY, 0xA0071401u},
        {"KEVO_E_XML_PARSE", KEVO_E_XML_PARSE, 0xA0071402u},
        {"KEVO_E_IMPORT_ENCRYPT_CERT", KEVO_E_IMPORT_ENCRYPT_CERT, 0xA0071403u},
        {"KEVO_E_DEVICE_TYPE", KEVO_E_DEVICE_TYPE, 0xA0071404u},
        {"KEVO_E_ENCRYPT_TYPE", KEVO_E_ENCRYPT_TYPE, 0xA0071405u},
        {"KEVO_E_SESSION_KEY_TYPE", KEVO_E_SESSION_KEY_TYPE, 0xA0071406u},
        {"KEVO_E_CERT_NOT_READY", KEVO_E_CERT_NOT_READY, 0xA0072001u},
        {"KEVO_E_LANGUAGE", KEVO_E_LANGUAGE, 0xA0072002u},
        {"KEVO_E_CERT_NOT_UNIQUE", KEVO_E_CERT_NOT_UNIQUE, 0xA0072003u},
        {"KEVO_E_HASH_ALG", KEVO_E_HASH_ALG, 0xA0072020u},
        {"KEVO_E_CERT_USAGE", KEVO_E_CERT_USAGE, 0xA0072021u},
        {"KEVO_E_SIGN_TYPE", KEVO_E_SIGN_TYPE, 0xA0072022u},
        {"KEVO_E_ENVELOPE_TYPE", KEVO_E_ENVELOPE_TYPE, 0xA0072023u},
        {"KEVO_E_KEY_LENGTH", KEVO_E_KEY_LENGTH, 0xA0072400u},
        {"KEVO_E_KEY_ALGORITHM", KEVO_E_KEY_ALGORITHM, 0xA0072401u},
        {"S_OK", S_OK, 0x00000000u},
        {"S_FALSE", S_FALSE, 0x00000001u},
        {"E_NOINTERFACE", E_NOINTERFACE, 0x80004002u},
        {"E_POINTER", E_POINTER, 0x80004003u},
        {"E_FAIL", E_FAIL, 0x80004005u},
        {"RPC_E_CHANGED_MODE", RPC_E_CHANGED_MODE, 0x80010106u},
        {"REGDB_E_CLASSNOTREG", REGDB_E_CLASSNOTREG, 0x80040154u},
        {"E_ACCESSDENIED", E_ACCESSDENIED, 0x80070005u},
        {"E_OUTOFMEMORY", E_OUTOFMEMORY, 0x8007000Eu},
        {"E_INVALIDARG", E_INVALIDARG, 0x80070057u},
        {"NTE_BAD_UID", NTE_BAD_UID, 0x80090001u},
        {"NTE_BAD_HASH", NTE_BAD_HASH, 0x80090002u},
        {"NTE_BAD_KEY", NTE_BAD_KEY, 0x80090003u},
        {"NTE_BAD_LEN", NTE_BAD_LEN, 0x80090004u},
        {"NTE_BAD_DATA", NTE_BAD_DATA, 0x80090005u},
        {"NTE_BAD_SIGNATURE", NTE_BAD_SIGNATURE, 0x80090006u},
        {"NTE_BAD_VER", NTE_BAD_VER, 0x80090007u},
        {"NTE_BAD_ALGID", NTE_BAD_ALGID, 0x80090008u},
        {"NTE_BAD_FLAGS", NTE_BAD_FLAGS, 0x80090009u},
        {"NTE_BAD_TYPE", NTE_BAD_TYPE, 0x8009000Au},
        {"NTE_BAD_KEY_STATE", NTE_BAD_KEY_STATE, 0x8009000Bu},
        {"NTE_BAD_HASH_STATE", NTE_BAD_HASH_STATE, 0x8009000Cu},
        {"NTE_NO_KEY", NTE_NO_KEY, 0x8009000Du},
        {"NTE_NO_MEMORY", NTE_NO_MEMORY, 0x8009000Eu},
        {"NTE_EXISTS", NTE_EXISTS, 0x8009000Fu},
        {"NTE_NOT_FOUND", NTE_NOT_FOUND, 0x80090011u},
        {"NTE_BAD_PROV_TYPE", NTE_BAD_PROV_TYPE, 0x80090014u},
        {"NTE_BAD_PUBLIC_KEY", NTE_BAD_PUBLIC_KEY, 0x80090015u},
        {"NTE_BAD_KEYSET", NTE_BAD_KEYSET, 0x80090016u},
        {"NTE_PROV_TYPE_NOT_DEF", NTE_PROV_TYPE_NOT_DEF, 0x80090017u},
        {"NTE_KEYSET_NOT_DEF", NTE_KEYSET_NOT_DEF, 0x80090019u},
        {"NTE_PROV_TYPE_NO_MATCH", NTE_PROV_TYPE_NO_MATCH, 0x8009001Bu},
        {"NTE_PROV_DLL_NOT_FOUND", NTE_PROV_DLL_NOT_FOUND, 0x8009001Eu},
        {"NTE_BAD_KEYSET_PARAM", NTE_BAD_KEYSET_PARAM, 0x8009001Fu},
        {"CRYPT_E_OID_FORMAT", CRYPT_E_OID_FORMAT, 0x80091003u},
        {"CRYPT_E_INVALID_MSG_TYPE", CRYPT_E_INVALID_MSG_TYPE, 0x80091004u},
        {"CRYPT_E_NOT_FOUND", CRYPT_E_NOT_FOUND, 0x80092004u},
        {"CRYPT_E_EXISTS", CRYPT_E_EXISTS, 0x80092005u},
        {"CRYPT_E_NO_KEY_PROPERTY", CRYPT_E_NO_KEY_PROPERTY, 0x8009200Bu},
        {"CRYPT_E_PENDING_CLOSE", CRYPT_E_PENDING_CLOSE, 0x8009200Fu},
        {"CRYPT_E_ASN1_EOD", CRYPT_E_ASN1_EOD, 0x80093102u},
        {"CRYPT_E_ASN1_CORRUPT", CRYPT_E_ASN1_CORRUPT, 0x80093103u},
        {"CRYPT_E_ASN1_BADTAG", CRYPT_E_ASN1_BADTAG, 0x8009310Bu},
        {"CRYPT_E_ASN1_CHOICE", CRYPT_E_ASN1_CHOICE, 0x8009310Cu},
    };
    for (const auto& c : kCodes) EXPECT_EQ(static_cast<uint32_t>(c.code), c.number) << c.name;
}

}  // namespace
