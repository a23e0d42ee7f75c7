// The certificate listing's store part: one entry per certificate of the
// user's "My" store that is bound to a key and not SM2-signed.
#include "agent/CertificateListing.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "store/CertificateChainOperate.h"
#include "diag/Diagnostics.h"
#include "misc/Misc.h"
#include "diag/ResultCode.h"
#include "tessaro/Handles.h"

#define TRACE_UNIT_W u"CertificateChainOperate"

namespace {

const char SM2_SIGNATURE_ARC[] = "1.2.156.10197";

// A certificate time from the query of that id, in the machine's local time,
// "YYYY-MM-DD hh:mm:ss".
HRESULT AppendLocalTime(LPCWSTR FUNC, PCCERT_CONTEXT pstCertContext, DWORD dwQueryID, std::u16string& wstrEntry) {
    SYSTEMTIME st{};
    DWORD cb = 0;
    const LPCWSTR pwszQuery = dwQueryID == QUERYID_FROMDATE ? u"QueryCertContextInfo(QUERYID_FROMDATE)"
                                                            : u"QueryCertContextInfo(QUERYID_TODATE)";
    HRESULT hr = QueryCertContextInfo(pstCertContext, dwQueryID, &st, &cb);
    if (FAILED(KEVO_CHECK_W(FUNC, pwszQuery, hr))) return hr;
    if (FAILED(hr = KEVO_CHECK_W(FUNC, u"ConvertUTCtimetoLocalTime", ConvertUTCtimetoLocalTime(&st)))) return hr;
    std::u16string wstrTime;
    if (FAILED(hr = KEVO_CHECK_W(FUNC, u"GetTimeString", GetTimeString(wstrTime, &st)))) return hr;
    wstrEntry += wstrTime;
    return KEVO_OK;
}

// Subject, serial number, valid from and valid to, each followed by ";".
HRESULT AppendCertificateFields(LPCWSTR FUNC, PCCERT_CONTEXT pstCertContext, std::u16string& wstrEntry) {
    LPWSTR pwszSubject = nullptr;
    DWORD cchSubject = 0;
    HRESULT hr = QueryCertContextInfo(pstCertContext, QUERYID_SUBJECT_FULL, &pwszSubject, &cchSubject);
    std::unique_ptr<WCHAR[]> holdSubject(pwszSubject);
    if (FAILED(KEVO_CHECK_W(FUNC, u"QueryCertContextInfo(QUERYID_SUBJECT_FULL)", hr))) return hr;
    if (pwszSubject) wstrEntry += pwszSubject;
    wstrEntry += u";";

    BYTE* pbSerial = nullptr;
    DWORD cbSerial = 0;
    hr = QueryCertContextInfo(pstCertContext, QUERYID_SERIALNUMBER, &pbSerial, &cbSerial);
    std::unique_ptr<BYTE[]> holdSerialBytes(pbSerial);
    if (FAILED(KEVO_CHECK_W(FUNC, u"QueryCertContextInfo(QUERYID_SERIALNUMBER)", hr))) return hr;
    LPWSTR pwszSerial = nullptr;
    hr = ConvertBinaryDataToString(&pwszSerial, cbSerial, pbSerial);
    std::unique_ptr<WCHAR[]> holdSerial(pwszSerial);
    if (FAILED(KEVO_CHECK_W(FUNC, u"FormatStringFromData", hr))) return hr;
    if (pwszSerial) wstrEntry += pwszSerial;
    wstrEntry += u";";

    if (FAILED(hr = AppendLocalTime(FUNC, pstCertContext, QUERYID_FROMDATE, wstrEntry))) return hr;
    wstrEntry += u";";
    if (FAILED(hr = AppendLocalTime(FUNC, pstCertContext, QUERYID_TODATE, wstrEntry))) return hr;
    wstrEntry += u";";
    return KEVO_OK;
}

// The fields every entry starts with, once the caller's text is emptied
// (also on failure) and the certificate checked.
HRESULT BeginEntry(LPCWSTR FUNC, PCCERT_CONTEXT pstCertContext, LPCWSTR pwszCondition, std::u16string& wstrCertInfo,
                   std::u16string& wstrEntry) {
    wstrCertInfo.clear();
    if (pstCertContext == nullptr || pstCertContext->pCertInfo == nullptr) {
        KEVO_FAIL_W(FUNC, u"Check parameter", pwszCondition, E_INVALIDARG);
        return E_INVALIDARG;
    }
    return AppendCertificateFields(FUNC, pstCertContext, wstrEntry);
}

// One entry's outcome joined to the listing: a certificate without a key
// provider is left out, any other failure ends the listing with its code.
HRESULT JoinEntry(LPCWSTR FUNC, LPCWSTR pwszStep, HRESULT hr, const std::u16string& wstrEntry,
                  std::u16string& wstrList) {
    if (hr == CRYPT_E_NOT_FOUND) return KEVO_OK;
    if (FAILED(KEVO_CHECK_W(FUNC, pwszStep, hr))) return hr;
    if (!wstrList.empty()) wstrList += u"||";
    wstrList += wstrEntry;
    return KEVO_OK;
}

}  // namespace

HRESULT GetCertificateInfo(PCCERT_CONTEXT pstCertContext, std::u16string& wstrCertInfo) {
    const LPCWSTR FUNC = u"GetCertificateInfo";
    TraceHelper th(FUNC);
    std::u16string wstrEntry;
    HRESULT hr = BeginEntry(FUNC, pstCertContext, u"pstCertContext == NULL", wstrCertInfo, wstrEntry);
    if (FAILED(hr)) return hr;

    BYTE* pbProvInfo = nullptr;
    DWORD cbProvInfo = 0;
    hr = GetCertificateContextProperty(&cbProvInfo, pstCertContext, &pbProvInfo);
    std::unique_ptr<BYTE[]> holdProvInfo(pbProvInfo);
    if (FAILED(KEVO_CHECK_W(FUNC, u"GetCertificateContextProperty", hr))) return hr;
    const CRYPT_KEY_PROV_INFO* pstKeyProvInfo = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(pbProvInfo);
    if (pstKeyProvInfo->pwszProvName == nullptr) {
        KEVO_FAIL_W(FUNC, u"GetCertificateContextProperty", u"NULL == pstKeyProvInfo->pwszProvName",
                    CRYPT_E_NOT_FOUND);
        return CRYPT_E_NOT_FOUND;
    }
    wstrEntry += pstKeyProvInfo->pwszProvName;
    wstrCertInfo.swap(wstrEntry);
    return KEVO_OK;
}

HRESULT GetUnregisteredCertificateInfo(const UNREGISTERED_CERT_CONTEXT* pstUnregisteredCertContext,
                                       std::u16string& wstrCertInfo) {
    const LPCWSTR FUNC = u"GetUnregisteredCertificateInfo";
    TraceHelper th(FUNC);
    std::u16string wstrEntry;
    HRESULT hr = BeginEntry(FUNC, pstUnregisteredCertContext ? pstUnregisteredCertContext->pCertContext : nullptr,
                            u"pstUnregisteredCertContext == NULL", wstrCertInfo, wstrEntry);
    if (FAILED(hr)) return hr;
    // The record's name is terminated within its array by construction.
    wstrEntry += pstUnregisteredCertContext->wszCSPName;
    wstrCertInfo.swap(wstrEntry);
    return KEVO_OK;
}

HRESULT GetAllCertificatesInfoUnregisteredCertSet(UNREGISTERED_CERT_LIST vtrUnregisteredCertSet,
                                                   std::u16string& wstrCertsInfo) {
    const LPCWSTR FUNC = u"GetAllCertificatesInfoUnregisteredCertSet";
    TraceHelper th(FUNC);
    wstrCertsInfo.clear();
    if (vtrUnregisteredCertSet.size() == 0) {
        KEVO_FAIL_W(FUNC, u"Check parameter", u"vtrUnregisteredCertSet.size() == 0", E_INVALIDARG);
        return E_INVALIDARG;
    }
    std::u16string wstrList;
    for (const UNREGISTERED_CERT_CONTEXT* pstRecord : vtrUnregisteredCertSet) {
        std::u16string wstrEntry;
        HRESULT hr = JoinEntry(FUNC, u"GetUnregisteredCertificateInfo",
                               GetUnregisteredCertificateInfo(pstRecord, wstrEntry), wstrEntry, wstrList);
        if (FAILED(hr)) return hr;
    }
    wstrCertsInfo.swap(wstrList);
    return KEVO_OK;
}

HRESULT GetAllRSACertificatesInfoinStore(HCERTSTORE hCertStore, std::u16string& wstrCertsInfo) {
    const LPCWSTR FUNC = u"GetAllRSACertificatesInfoinStore";
    TraceHelper th(FUNC);
    wstrCertsInfo.clear();
    if (hCertStore == nullptr) {
        KEVO_FAIL_W(FUNC, u"Check parameter", u"hCertStore == NULL", E_INVALIDARG);
        return E_INVALIDARG;
    }
    std::u16string wstrList;
    // The enumeration frees the context it is handed and returns the next.
    for (tessaro::UniqueCertContext cert(CertEnumCertificatesInStore(hCertStore, nullptr)); cert;
         cert.reset(CertEnumCertificatesInStore(hCertStore, cert.release()))) {
        if (CheckCertSignatureAlg(cert.get(), SM2_SIGNATURE_ARC) == KEVO_OK) continue;
        // A certificate not bound to a key is not offered to the page.
        std::u16string wstrEntry;
        HRESULT hr = JoinEntry(FUNC, u"GetCertificateInfo", GetCertificateInfo(cert.get(), wstrEntry), wstrEntry,
                               wstrList);
        if (FAILED(hr)) return hr;
    }
    wstrCertsInfo.swap(wstrList);
    return KEVO_OK;
}
