// Single attributes of a certificate context and single-criterion tests on
// it: the vocabulary the listing, the filters and the container scan use.
// Strings and byte arrays handed out are new[] allocations the caller
// releases with delete[]; on failure nothing is handed out.
#pragma once

#include <string>
#include <vector>

#include "win/windows.h"

#define QUERYID_SUBJECT_FULL 1    // LPWSTR*, size in characters with the terminator
#define QUERYID_SUBJECT_SIMPLE 2  // LPWSTR*, same
#define QUERYID_ISSUER 3          // LPWSTR*, same
#define QUERYID_SERIALNUMBER 4    // BYTE*, least significant byte first; size in bytes
#define QUERYID_PROVIDERNAME 5    // LPWSTR*, size in UTF-16 units without the terminator
#define QUERYID_TODATE 6          // caller's SYSTEMTIME (UTC), size 16
#define QUERYID_FROMDATE 7        // caller's SYSTEMTIME (UTC), size 16
#define QUERYID_SUBJECTKEYID 8    // BYTE*, size in bytes
#define QUERYID_KEYUSAGE 9        // caller's DWORD, size 4
#define QUERYID_CONTAINERNAME 10  // LPWSTR*, as QUERYID_PROVIDERNAME
#define QUERYID_CN 11             // LPWSTR*, size in characters with the terminator

// Names as the listing shows them: last RDN first, ", " between, no quoting.
#define CERT_NAME_STR_LISTING_FLAGS (CERT_NAME_STR_REVERSE_FLAG | CERT_NAME_STR_NO_QUOTING_FLAG)

// The last error after a failed CryptoAPI call of this layer as an HRESULT:
// values that already are one stay, others become 0x8007xxxx, none is E_FAIL.
// (Unlike KevoLastErrorResult it gives no own codes.)
HRESULT LastErrorAsHResult();

// The one dispatcher. pvData is the address of the out pointer for strings
// and byte arrays (LPWSTR*, BYTE**), or the caller's SYSTEMTIME / DWORD.
// An unknown id gives KEVO_E_QUERY_TYPE and writes nothing.
HRESULT QueryCertContextInfo(PCCERT_CONTEXT pCertContext, DWORD dwQueryID, void* pvData, DWORD* pcbData);

HRESULT GetCertCN(PCCERT_CONTEXT pCertContext, LPWSTR* ppwszCN, DWORD* pcchCN);
// dwStrType is CERT_X500_NAME_STR or CERT_SIMPLE_NAME_STR.
HRESULT GetCertSubject(PCCERT_CONTEXT pCertContext, LPWSTR* ppwszSubject, DWORD* pcchSubject, DWORD dwStrType);
HRESULT GetCertIssuer(PCCERT_CONTEXT pCertContext, LPWSTR* ppwszIssuer, DWORD* pcchIssuer);
HRESULT GetCertSerialNumber(BYTE** ppbSerialNumber, PCCERT_CONTEXT pCertContext, DWORD* pcbSerialNumber);
// With ppbKeyID null only tests for the extension.
HRESULT GetCertSubjectKeyID(PCCERT_CONTEXT pCertContext, BYTE** ppbKeyID, DWORD* pcbKeyID);
HRESULT GetCertKeyUsage(PCCERT_CONTEXT pCertContext, DWORD* pdwKeyUsage, DWORD* pcbKeyUsage);
HRESULT GetCertProviderName(PCCERT_CONTEXT pCertContext, LPWSTR* ppwszProvName, DWORD* pcchProvName);
HRESULT GetCertContainerName(PCCERT_CONTEXT pCertContext, LPWSTR* ppwszContainer, DWORD* pcchContainer);
HRESULT GetCertToDate(PCCERT_CONTEXT pCertContext, SYSTEMTIME* pstTime, DWORD* pcbTime);
HRESULT GetCertFromDate(PCCERT_CONTEXT pCertContext, SYSTEMTIME* pstTime, DWORD* pcbTime);

// The CERT_KEY_PROV_INFO_PROP_ID record (a CRYPT_KEY_PROV_INFO) as a new
// zero-filled byte array.
HRESULT GetCertificateContextProperty(DWORD* pcbData, PCCERT_CONTEXT pCertContext, BYTE** ppbData);

// "YYYY-MM-DD hh:mm:ss" of the time's fields.
HRESULT GetTimeString(std::u16string& wstrTime, const SYSTEMTIME* pstTime);
// A UTC time converted in place into the machine's local time.
HRESULT ConvertUTCtimetoLocalTime(SYSTEMTIME* pstTime);
// The present moment as a UTC FILETIME.
HRESULT GetMachineTime(FILETIME* pftMachineTime);
// *pdwExpired = 1 when NotAfter lies before the machine time, else 0.
HRESULT CheckCertValidTime(const FILETIME* pftMachineTime, DWORD* pdwExpired, PCCERT_CONTEXT pCertContext);

// Predicates: 0 when the certificate satisfies the criterion or the
// criterion is absent (empty list, zero mask, null pointer).
HRESULT CheckCertSubjectName(PCCERT_CONTEXT pCertContext, const std::vector<std::u16string>& vtrSubjects,
                             DWORD dwStrType);
HRESULT CheckCertIssuer(PCCERT_CONTEXT pCertContext, const std::vector<std::u16string>& vtrIssuers);
HRESULT CheckCSPName(PCCERT_CONTEXT pCertContext, const std::vector<std::u16string>& vtrCSPNames);
HRESULT CheckCertKeyUsage(PCCERT_CONTEXT pCertContext, DWORD dwKeyUsage);
// The identifier and the serial number criteria carry their own length: they
// match only a value of exactly that length and those bytes.
HRESULT CheckCertSubjectKeyID(PCCERT_CONTEXT pCertContext, const BYTE* pbKeyID, DWORD cbKeyID);
HRESULT CheckCertSerialNumber(PCCERT_CONTEXT pCertContext, const BYTE* pbSerialNumber, DWORD cbSerialNumber);
// Prefix test on the signature algorithm OID text.
HRESULT CheckCertSignatureAlg(PCCERT_CONTEXT pCertContext, LPCSTR pszSignatureAlgOID);
HRESULT CheckCertTimeValidity(PCCERT_CONTEXT pCertContext, FILETIME* pftTime);
