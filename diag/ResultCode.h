// Result codes of the agent: KEVO_OK, HRESULTs passed through, Win32 errors
// folded into 0x8007xxxx, and the system's own 0xA007xxxx codes.
#pragma once

#include "win/windows.h"

#define KEVO_OK 0

// The system's own codes: 0xA0070000 | id of the message in the error table.
#define KEVO_OWN_CODE(id) (static_cast<HRESULT>(0xA0070000u | (id)))
#define KEVO_E_NO_CERT_IN_STORE KEVO_OWN_CODE(0x1001)
#define KEVO_E_USER_CANCELED KEVO_OWN_CODE(0x1002)
#define KEVO_E_QUERY_TYPE KEVO_OWN_CODE(0x1003)
#define KEVO_E_BASE64_ENCODE KEVO_OWN_CODE(0x1004)
#define KEVO_E_BASE64_DECODE KEVO_OWN_CODE(0x1005)
#define KEVO_E_MALICIOUS_PATH KEVO_OWN_CODE(0x1006)
#define KEVO_E_EMPTY_FILE KEVO_OWN_CODE(0x1007)
#define KEVO_E_NO_KEY_USAGE KEVO_OWN_CODE(0x1020)
#define KEVO_E_NO_SUBJECT_KEY_ID KEVO_OWN_CODE(0x1021)
#define KEVO_E_CHAIN_TIME_INVALID KEVO_OWN_CODE(0x1031)
#define KEVO_E_IN_OFFLINE_CRL KEVO_OWN_CODE(0x1032)
#define KEVO_E_CHAIN_NOT_INTEGRATED KEVO_OWN_CODE(0x1033)
#define KEVO_E_CHAIN_SIGNATURE_INVALID KEVO_OWN_CODE(0x1034)
#define KEVO_E_CERT_NOT_FOUND KEVO_OWN_CODE(0x1035)
#define KEVO_E_ASN1_DECODE KEVO_OWN_CODE(0x1041)
#define KEVO_E_PKCS7_DECODE KEVO_OWN_CODE(0x1042)
#define KEVO_E_PRIVATE_KEY_INFO KEVO_OWN_CODE(0x1400)
#define KEVO_E_PRIVATE_KEY KEVO_OWN_CODE(0x1401)
#define KEVO_E_XML_PARSE KEVO_OWN_CODE(0x1402)
#define KEVO_E_IMPORT_ENCRYPT_CERT KEVO_OWN_CODE(0x1403)
#define KEVO_E_DEVICE_TYPE KEVO_OWN_CODE(0x1404)
#define KEVO_E_ENCRYPT_TYPE KEVO_OWN_CODE(0x1405)
#define KEVO_E_SESSION_KEY_TYPE KEVO_OWN_CODE(0x1406)
#define KEVO_E_CERT_NOT_READY KEVO_OWN_CODE(0x2001)
#define KEVO_E_LANGUAGE KEVO_OWN_CODE(0x2002)
#define KEVO_E_CERT_NOT_UNIQUE KEVO_OWN_CODE(0x2003)
#define KEVO_E_HASH_ALG KEVO_OWN_CODE(0x2020)
#define KEVO_E_CERT_USAGE KEVO_OWN_CODE(0x2021)
#define KEVO_E_SIGN_TYPE KEVO_OWN_CODE(0x2022)
#define KEVO_E_ENVELOPE_TYPE KEVO_OWN_CODE(0x2023)
#define KEVO_E_KEY_LENGTH KEVO_OWN_CODE(0x2400)
#define KEVO_E_KEY_ALGORITHM KEVO_OWN_CODE(0x2401)

// r <= 0 stays; a positive r becomes 0xA007xxxx when it carries bit
// 0x20000000 (an own code in its positive form), else 0x8007xxxx.
inline HRESULT KevoNormalizeResult(LONG r) {
    if (r <= 0) return r;
    DWORD u = static_cast<DWORD>(r);
    if (u & 0x20000000u) return static_cast<HRESULT>(0xA0070000u | (u & 0xFFFFu));
    return static_cast<HRESULT>(0x80070000u | (u & 0xFFFFu));
}

// The normalised last error after a failed platform call. A failure that left
// the last error at 0 is still a failure: E_FAIL, never KEVO_OK.
inline HRESULT KevoLastErrorResult() {
    DWORD e = GetLastError();
    if (e == 0) return E_FAIL;
    return KevoNormalizeResult(static_cast<LONG>(e));
}
