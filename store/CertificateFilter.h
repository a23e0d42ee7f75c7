// Certificate filters: a record of up to nine criteria, the splitters of its
// multi-value fields, and the engines that apply it to certificate lists and
// to single certificates found in key containers.
#pragma once

#include <string>
#include <vector>

#include "win/windows.h"

// Every field may be null or zero, which switches that criterion off.
struct CERT_FILTER {
    LPCWSTR pwszSubject;       // subject substrings joined by "#"
    LPCWSTR pwszIssuer;        // issuer substrings joined by "#"
    LPCWSTR pwszCSPNames;      // provider-name substrings joined by "||"
    const BYTE* pbSubjectKeyID;
    DWORD cbSubjectKeyID;      // length of pbSubjectKeyID: the criterion never reads past it
    const BYTE* pbSerialNumber;  // least significant byte first
    DWORD cbSerialNumber;      // length of pbSerialNumber
    DWORD dwKeyUsage;          // any one of these key-usage bits
    LONG dwPrivateKey;         // 1: the private key must be acquirable
    LPCSTR pszSignatureAlgOID; // prefix of the signature algorithm OID
    FILETIME* pftTime;         // moment at which the certificate must be valid
};
typedef CERT_FILTER* PCERT_FILTER;

// Certificate lists hold one reference per context.
typedef std::vector<PCCERT_CONTEXT> CERT_CONTEXT_LIST;

// "#"-separated parts, each cut to 255 characters; empty parts are kept, so
// "A#" gives "A" and "", "" gives one empty part, null gives none.
HRESULT ParseFilters(LPCWSTR pwszValue, std::vector<std::u16string>& vtrParts);
// "||"-separated parts up to the first empty one: "A||||B" gives only "A".
HRESULT SplitStrings(LPCWSTR pwszValue, std::vector<std::u16string>& vtrParts);

HRESULT ExtractCertificatesFromStore(HCERTSTORE hCertStore, CERT_CONTEXT_LIST& vtrCertificates);
// Appends the matching certificates of vtrInput (which is left alone).
HRESULT FilterCertificates(const CERT_FILTER* pstFilter, CERT_CONTEXT_LIST& vtrOutput, CERT_CONTEXT_LIST vtrInput);
// 0 when the certificate matches every criterion but the provider-name and
// private-key ones, E_FAIL otherwise.
HRESULT CheckUnregisteredCertficate(PCCERT_CONTEXT pCertContext, const CERT_FILTER* pstFilter);
// Releases every context of the list and empties it.
void RemoveAllCertificates(CERT_CONTEXT_LIST& vtrCertificates);

// Empties a certificate list on every way out of the scope it is made in.
struct CertContextListReleaser {
    CERT_CONTEXT_LIST& list;
    ~CertContextListReleaser() { RemoveAllCertificates(list); }
};
