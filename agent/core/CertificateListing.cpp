// The certificate listing's store part: one entry per certificate of the
// user's "My" store that is bound to a key and not SM2-signed.
#include "CertificateListing.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "Diagnostics.h"
#include "Misc.h"
#include "ResultCode.h"

#define TRACE_UNIT_W u"CertificateChainOperate"

namespace {

const char SM2_SIGNATURE_ARC[] = "1.2.156.10197";

// Subjects as the listing shows them: last RDN first, ", " between, no quoting.
const DWORD SUBJECT_STR_TYPE = CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG | CERT_NAME_STR_NO_QUOTING_FLAG;

bool IsSM2Signed(PCCERT_CONTEXT pstCertContext) {
    const char* pszObjId = pstCertContext->pCertInfo->SignatureAlgorithm.pszObjId;
    return pszObjId != nullptr && strncmp(pszObjId, SM2_SIGNATURE_ARC, sizeof SM2_SIGNATURE_ARC - 1) == 0;
}

HRESULT AppendSubject(PCCERT_CONTEXT pstCertContext, std::u16string& wstrEntry) {
    CERT_NAME_BLOB* pName = &pstCertContext->pCertInfo->Subject;
    DWORD cch = CertNameToStrW(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, pName, SUBJECT_STR_TYPE, nullptr, 0);
    if (cch == 0) return KevoLastErrorResult();
    std::vector<WCHAR> text(cch + 1, 0);
    if (0 == CertNameToStrW(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, pName, SUBJECT_STR_TYPE, text.data(), cch))
        return KevoLastErrorResult();
    wstrEntry += text.data();
    return KEVO_OK;
}

// A UTC time of the certificate in the machine's local time,
// "YYYY-MM-DD hh:mm:ss".
HRESULT AppendLocalTime(const FILETIME& ftUTC, std::u16string& wstrEntry) {
    FILETIME ftLocal{};
    SYSTEMTIME st{};
    if (!FileTimeToLocalFileTime(&ftUTC, &ftLocal) || !FileTimeToSystemTime(&ftLocal, &st))
        return KevoLastErrorResult();
    char sz[64];
    snprintf(sz, sizeof sz, "%04d-%02d-%02d %02d:%02d:%02d", st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute,
             st.wSecond);
    for (const char* p = sz; *p; ++p) wstrEntry.push_back(static_cast<WCHAR>(*p));
    return KEVO_OK;
}

}  // namespace

HRESULT GetCertificateInfo(PCCERT_CONTEXT pstCertContext, std::u16string& wstrCertInfo) {
    const LPCWSTR FUNC = u"GetCertificateInfo";
    TraceHelper th(FUNC);
    wstrCertInfo.clear();
    if (pstCertContext == nullptr || pstCertContext->pCertInfo == nullptr) {
        KEVO_FAIL_W(FUNC, u"Check parameter", u"pstCertContext == NULL", E_INVALIDARG);
        return E_INVALIDARG;
    }
    const CERT_INFO* pInfo = pstCertContext->pCertInfo;
    std::u16string wstrEntry;
    HRESULT hr = AppendSubject(pstCertContext, wstrEntry);
    if (FAILED(hr)) {
        KEVO_FAIL_W(FUNC, u"QueryCertContextInfo(QUERYID_SUBJECT_FULL)", u"FAILED(hResult)", hr);
        return hr;
    }
    wstrEntry += u";";

    LPWSTR pwszSerial = nullptr;
    hr = ConvertBinaryDataToString(&pwszSerial, pInfo->SerialNumber.cbData, pInfo->SerialNumber.pbData);
    std::unique_ptr<WCHAR[]> holdSerial(pwszSerial);
    if (FAILED(hr)) {
        KEVO_FAIL_W(FUNC, u"FormatStringFromData", u"FAILED(hResult)", hr);
        return hr;
    }
    if (pwszSerial) wstrEntry += pwszSerial;
    wstrEntry += u";";

    if (FAILED(hr = AppendLocalTime(pInfo->NotBefore, wstrEntry))) {
        KEVO_FAIL_W(FUNC, u"ConvertUTCtimetoLocalTime(QUERYID_FROMDATE)", u"FAILED(hResult)", hr);
        return hr;
    }
    wstrEntry += u";";
    if (FAILED(hr = AppendLocalTime(pInfo->NotAfter, wstrEntry))) {
        KEVO_FAIL_W(FUNC, u"ConvertUTCtimetoLocalTime(QUERYID_TODATE)", u"FAILED(hResult)", hr);
        return hr;
    }
    wstrEntry += u";";

    DWORD cbProvInfo = 0;
    if (!CertGetCertificateContextProperty(pstCertContext, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &cbProvInfo)) {
        hr = KevoLastErrorResult();
        KEVO_FAIL_W(FUNC, u"GetCertificateContextProperty", u"FAILED(hResult)", hr);
        return hr;
    }
    std::vector<BYTE> provInfo(cbProvInfo, 0);
    if (cbProvInfo < sizeof(CRYPT_KEY_PROV_INFO) ||
        !CertGetCertificateContextProperty(pstCertContext, CERT_KEY_PROV_INFO_PROP_ID, provInfo.data(), &cbProvInfo)) {
        hr = cbProvInfo < sizeof(CRYPT_KEY_PROV_INFO) ? CRYPT_E_NOT_FOUND : KevoLastErrorResult();
        KEVO_FAIL_W(FUNC, u"GetCertificateContextProperty", u"FAILED(hResult)", hr);
        return hr;
    }
    const CRYPT_KEY_PROV_INFO* pstKeyProvInfo = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(provInfo.data());
    if (pstKeyProvInfo->pwszProvName == nullptr) {
        KEVO_FAIL_W(FUNC, u"GetCertificateContextProperty", u"NULL == pstKeyProvInfo->pwszProvName",
                    CRYPT_E_NOT_FOUND);
        return CRYPT_E_NOT_FOUND;
    }
    wstrEntry += pstKeyProvInfo->pwszProvName;
    wstrCertInfo.swap(wstrEntry);
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
    PCCERT_CONTEXT pstCertContext = nullptr;
    while ((pstCertContext = CertEnumCertificatesInStore(hCertStore, pstCertContext)) != nullptr) {
        if (IsSM2Signed(pstCertContext)) continue;
        std::u16string wstrEntry;
        HRESULT hr = GetCertificateInfo(pstCertContext, wstrEntry);
        if (hr == CRYPT_E_NOT_FOUND) continue;  // not bound to a key: not offered to the page
        if (FAILED(hr)) {
            CertFreeCertificateContext(pstCertContext);
            KEVO_FAIL_W(FUNC, u"GetCertificateInfo", u"FAILED(hResult)", hr);
            return hr;
        }
        if (!wstrList.empty()) wstrList += u"||";
        wstrList += wstrEntry;
    }
    wstrCertsInfo.swap(wstrList);
    return KEVO_OK;
}
