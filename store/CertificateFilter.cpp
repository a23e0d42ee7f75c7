// Filter records applied to certificate lists and single certificates.
#include "store/CertificateFilter.h"

#include "store/CertificateChainOperate.h"
#include "diag/Diagnostics.h"
#include "diag/ResultCode.h"

#define TRACE_UNIT_W u"CertificateChainOperate"

namespace {

const size_t MAX_FILTER_PART = 255;

const CERT_FILTER EMPTY_FILTER{};

HRESULT LastErrorAsHResult() {
    DWORD dwError = GetLastError();
    if (dwError == 0) return E_FAIL;
    if (static_cast<LONG>(dwError) < 0) return static_cast<HRESULT>(dwError);
    return static_cast<HRESULT>(0x80070000u | (dwError & 0xFFFFu));
}

// The criteria both engines share, in their fixed order.
bool MatchesCommonCriteria(PCCERT_CONTEXT pCertContext, const CERT_FILTER& filter,
                           const std::vector<std::u16string>& vtrSubjects,
                           const std::vector<std::u16string>& vtrIssuers) {
    return SUCCEEDED(CheckCertSubjectName(pCertContext, vtrSubjects, CERT_X500_NAME_STR)) &&
           SUCCEEDED(CheckCertIssuer(pCertContext, vtrIssuers)) &&
           SUCCEEDED(CheckCertKeyUsage(pCertContext, filter.dwKeyUsage)) &&
           SUCCEEDED(CheckCertSubjectKeyID(pCertContext, filter.pbSubjectKeyID, filter.cbSubjectKeyID)) &&
           SUCCEEDED(CheckCertSerialNumber(pCertContext, filter.pbSerialNumber, filter.cbSerialNumber)) &&
           SUCCEEDED(CheckCertTimeValidity(pCertContext, filter.pftTime)) &&
           SUCCEEDED(CheckCertSignatureAlg(pCertContext, filter.pszSignatureAlgOID));
}

bool PrivateKeyAcquirable(PCCERT_CONTEXT pCertContext) {
    HCRYPTPROV hProv = 0;
    DWORD dwKeySpec = 0;
    if (!CryptAcquireCertificatePrivateKey(pCertContext, 0, nullptr, &hProv, &dwKeySpec, nullptr)) return false;
    CryptReleaseContext(hProv, 0);
    return true;
}

}  // namespace

HRESULT ParseFilters(LPCWSTR pwszValue, std::vector<std::u16string>& vtrParts) {
    vtrParts.clear();
    if (pwszValue == nullptr) return KEVO_OK;
    std::u16string_view value(pwszValue);
    size_t pos = 0;
    for (;;) {
        size_t sep = value.find(u'#', pos);
        size_t end = sep == std::u16string_view::npos ? value.size() : sep;
        size_t len = end - pos;
        if (len > MAX_FILTER_PART) len = MAX_FILTER_PART;
        vtrParts.emplace_back(value.substr(pos, len));
        if (sep == std::u16string_view::npos) break;
        pos = sep + 1;
    }
    return KEVO_OK;
}

HRESULT SplitStrings(LPCWSTR pwszValue, std::vector<std::u16string>& vtrParts) {
    vtrParts.clear();
    if (pwszValue == nullptr) return KEVO_OK;
    std::u16string_view value(pwszValue);
    size_t pos = 0;
    for (;;) {
        size_t sep = value.find(u"||", pos);
        size_t end = sep == std::u16string_view::npos ? value.size() : sep;
        if (end == pos) break;
        vtrParts.emplace_back(value.substr(pos, end - pos));
        if (sep == std::u16string_view::npos) break;
        pos = sep + 2;
    }
    return KEVO_OK;
}

void RemoveAllCertificates(CERT_CONTEXT_LIST& vtrCertificates) {
    for (PCCERT_CONTEXT p : vtrCertificates) CertFreeCertificateContext(p);
    vtrCertificates.clear();
}

HRESULT ExtractCertificatesFromStore(HCERTSTORE hCertStore, CERT_CONTEXT_LIST& vtrCertificates) {
    const LPCWSTR FUNC = u"ExtractCertificatesFromStore";
    TraceHelper th(FUNC);
    if (hCertStore == nullptr) {
        RemoveAllCertificates(vtrCertificates);
        KEVO_FAIL_W(FUNC, u"Check parameter", u"NULL == hCertStore", E_INVALIDARG);
        return E_INVALIDARG;
    }
    PCCERT_CONTEXT pCertContext = nullptr;
    while ((pCertContext = CertEnumCertificatesInStore(hCertStore, pCertContext)) != nullptr) {
        PCCERT_CONTEXT pDuplicate = CertDuplicateCertificateContext(pCertContext);
        if (pDuplicate == nullptr) {
            HRESULT hr = LastErrorAsHResult();
            CertFreeCertificateContext(pCertContext);
            RemoveAllCertificates(vtrCertificates);
            KEVO_FAIL_W(FUNC, u"CertDuplicateCertificateContext", u"NULL == pCertContext", hr);
            return hr;
        }
        vtrCertificates.push_back(pDuplicate);
    }
    return KEVO_OK;
}

HRESULT FilterCertificates(const CERT_FILTER* pstFilter, CERT_CONTEXT_LIST& vtrOutput, CERT_CONTEXT_LIST vtrInput) {
    const LPCWSTR FUNC = u"FilterCertificates";
    TraceHelper th(FUNC);
    const CERT_FILTER& filter = pstFilter ? *pstFilter : EMPTY_FILTER;
    std::vector<std::u16string> vtrSubjects, vtrIssuers, vtrCSPNames;
    ParseFilters(filter.pwszSubject, vtrSubjects);
    ParseFilters(filter.pwszIssuer, vtrIssuers);
    SplitStrings(filter.pwszCSPNames, vtrCSPNames);
    for (PCCERT_CONTEXT pCertContext : vtrInput) {
        if (pCertContext == nullptr) continue;
        if (!MatchesCommonCriteria(pCertContext, filter, vtrSubjects, vtrIssuers)) continue;
        if (FAILED(CheckCSPName(pCertContext, vtrCSPNames))) continue;
        if (filter.dwPrivateKey == 1 && !PrivateKeyAcquirable(pCertContext)) continue;
        PCCERT_CONTEXT pDuplicate = CertDuplicateCertificateContext(pCertContext);
        if (pDuplicate == nullptr) {
            HRESULT hr = LastErrorAsHResult();
            RemoveAllCertificates(vtrOutput);
            KEVO_FAIL_W(FUNC, u"CertDuplicateCertificateContext", u"NULL == pCertContext", hr);
            return hr;
        }
        vtrOutput.push_back(pDuplicate);
    }
    return KEVO_OK;
}

HRESULT CheckUnregisteredCertficate(PCCERT_CONTEXT pCertContext, const CERT_FILTER* pstFilter) {
    const LPCWSTR FUNC = u"CheckUnregisteredCertficate";
    TraceHelper th(FUNC);
    if (pCertContext == nullptr) return E_FAIL;
    const CERT_FILTER& filter = pstFilter ? *pstFilter : EMPTY_FILTER;
    std::vector<std::u16string> vtrSubjects, vtrIssuers;
    ParseFilters(filter.pwszSubject, vtrSubjects);
    ParseFilters(filter.pwszIssuer, vtrIssuers);
    return MatchesCommonCriteria(pCertContext, filter, vtrSubjects, vtrIssuers) ? KEVO_OK : E_FAIL;
}
