// Filter records applied to certificate lists and single certificates.
#include "store/CertificateFilter.h"

#include <algorithm>
#include <string_view>

#include "store/CertificateChainOperate.h"
#include "diag/Diagnostics.h"
#include "diag/ResultCode.h"
#include "tessaro/Handles.h"

#define TRACE_UNIT_W u"CertificateChainOperate"

namespace {

const size_t MAX_FILTER_PART = 255;

const CERT_FILTER EMPTY_FILTER{};

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
    tessaro::UniqueCryptProv prov;
    DWORD dwKeySpec = 0;
    return CryptAcquireCertificatePrivateKey(pCertContext, 0, nullptr, prov.put(), &dwKeySpec, nullptr);
}

// The parts of a value between separators, each cut to cchMaxPart; with
// bStopAtEmpty the first empty part ends the list.
void SplitParts(LPCWSTR pwszValue, std::u16string_view separator, size_t cchMaxPart, bool bStopAtEmpty,
                std::vector<std::u16string>& vtrParts) {
    vtrParts.clear();
    if (pwszValue == nullptr) return;
    std::u16string_view value(pwszValue);
    size_t pos = 0;
    for (;;) {
        size_t sep = value.find(separator, pos);
        size_t end = sep == std::u16string_view::npos ? value.size() : sep;
        if (bStopAtEmpty && end == pos) break;
        vtrParts.emplace_back(value.substr(pos, std::min(end - pos, cchMaxPart)));
        if (sep == std::u16string_view::npos) break;
        pos = sep + separator.size();
    }
}

}  // namespace

HRESULT ParseFilters(LPCWSTR pwszValue, std::vector<std::u16string>& vtrParts) {
    SplitParts(pwszValue, u"#", MAX_FILTER_PART, false, vtrParts);
    return KEVO_OK;
}

HRESULT SplitStrings(LPCWSTR pwszValue, std::vector<std::u16string>& vtrParts) {
    SplitParts(pwszValue, u"||", std::u16string_view::npos, true, vtrParts);
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
    // The enumeration frees the context it is handed; the holder frees the
    // last one on a way out of the loop.
    for (tessaro::UniqueCertContext cert(CertEnumCertificatesInStore(hCertStore, nullptr)); cert;
         cert.reset(CertEnumCertificatesInStore(hCertStore, cert.release()))) {
        PCCERT_CONTEXT pDuplicate = CertDuplicateCertificateContext(cert.get());
        if (pDuplicate == nullptr) {
            HRESULT hr = LastErrorAsHResult();
            cert.reset();
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
