// Attribute queries and single-criterion tests on certificate contexts.
#include "store/CertificateChainOperate.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "encoding/Codec.h"
#include "diag/Diagnostics.h"
#include "diag/ResultCode.h"
#include "tessaro/Handles.h"

#define TRACE_UNIT_W u"CertificateChainOperate"

namespace {

const DWORD CERT_ENCODING = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

bool ValidContext(PCCERT_CONTEXT pCertContext) { return pCertContext != nullptr && pCertContext->pCertInfo != nullptr; }

// A text that render(buffer, size) writes, asked for its size first (steps
// 1 and 2 of the trace), in a new zero-terminated array.
template <typename Render>
HRESULT RenderText(LPCWSTR FUNC, LPCWSTR pwszFirst, LPCWSTR pwszSecond, LPCWSTR pwszNoMemory, Render render,
                   LPWSTR* ppwsz, DWORD* pcch) {
    DWORD cch = render(nullptr, 0);
    if (cch == 0) return KEVO_FAILED_W(FUNC, pwszFirst, u"0 == dwLength", LastErrorAsHResult());
    std::unique_ptr<WCHAR[]> text(new (std::nothrow) WCHAR[cch + 1]());
    if (!text) return KEVO_FAILED_W(FUNC, u"new", pwszNoMemory, E_OUTOFMEMORY);
    DWORD cchWritten = render(text.get(), cch);
    if (cchWritten == 0) return KEVO_FAILED_W(FUNC, pwszSecond, u"0 == dwLength", LastErrorAsHResult());
    *ppwsz = text.release();
    *pcch = cchWritten;
    return KEVO_OK;
}

// A name blob rendered by CertNameToStrW, in a new zero-terminated array.
HRESULT NameToString(LPCWSTR FUNC, CERT_NAME_BLOB* pName, DWORD dwStrType, LPWSTR* ppwsz, DWORD* pcch) {
    return RenderText(
        FUNC, u"CertNameToStrW(1)", u"CertNameToStrW(2)", u"Dispatch memory failed.",
        [&](LPWSTR pwsz, DWORD cch) { return CertNameToStrW(CERT_ENCODING, pName, dwStrType, pwsz, cch); }, ppwsz,
        pcch);
}

// The subject or issuer name as the listing shows it, after the checks.
HRESULT CertNameText(LPCWSTR FUNC, PCCERT_CONTEXT pCertContext, CERT_NAME_BLOB CERT_INFO::*pName, DWORD dwStrType,
                     LPWSTR* ppwsz, DWORD* pcch, int nLine = __builtin_LINE()) {
    if (!ValidContext(pCertContext) || ppwsz == nullptr || pcch == nullptr)
        return KevoFailedW(TRACE_UNIT_W, nLine, FUNC, u"Check parameter", u"NULL == pCertContext", E_INVALIDARG);
    return NameToString(FUNC, &(pCertContext->pCertInfo->*pName), dwStrType | CERT_NAME_STR_LISTING_FLAGS, ppwsz,
                        pcch);
}

// A copy of the bytes with one spare zero byte, and their count.
HRESULT CopyBytes(LPCWSTR FUNC, const BYTE* pb, DWORD cb, BYTE** ppbCopy, DWORD* pcbCopy) {
    std::unique_ptr<BYTE[]> copy(new (std::nothrow) BYTE[cb + 1]());
    if (!copy) return KEVO_FAILED_W(FUNC, u"new", u"Dispatch memory failed.", E_OUTOFMEMORY);
    if (cb) memcpy(copy.get(), pb, cb);
    *ppbCopy = copy.release();
    *pcbCopy = cb;
    return KEVO_OK;
}

// An extension of the certificate decoded by its own OID as structure type.
HRESULT DecodeExtension(LPCWSTR FUNC, PCCERT_CONTEXT pCertContext, LPCSTR pszOID, HRESULT hrMissing,
                        std::unique_ptr<BYTE[]>& decoded) {
    const CERT_INFO* pInfo = pCertContext->pCertInfo;
    PCERT_EXTENSION pExt = CertFindExtension(pszOID, pInfo->cExtension, pInfo->rgExtension);
    if (pExt == nullptr) return KEVO_FAILED_W(FUNC, u"CertFindExtension", u"NULL == pCertExtension", hrMissing);
    DWORD cb = 0;
    if (!CryptDecodeObjectEx(CERT_ENCODING, pszOID, pExt->Value.pbData, pExt->Value.cbData, CRYPT_DECODE_NOCOPY_FLAG,
                             nullptr, nullptr, &cb) ||
        cb == 0)
        return KEVO_FAILED_W(FUNC, u"CryptDecodeObjectEx(1)", u"1", LastErrorAsHResult());
    decoded.reset(new (std::nothrow) BYTE[cb]());
    if (!decoded) return KEVO_FAILED_W(FUNC, u"new", u"Dispatch memory failed.", E_OUTOFMEMORY);
    if (!CryptDecodeObjectEx(CERT_ENCODING, pszOID, pExt->Value.pbData, pExt->Value.cbData, CRYPT_DECODE_NOCOPY_FLAG,
                             nullptr, decoded.get(), &cb)) {
        HRESULT hr = LastErrorAsHResult();
        decoded.reset();
        KEVO_FAIL_W(FUNC, u"CryptDecodeObjectEx(2)", u"1", hr);
        return hr;
    }
    return KEVO_OK;
}

// A provider parameter read as 8-bit text, with one spare zero byte.
HRESULT ReadProviderText(LPCWSTR FUNC, HCRYPTPROV hProv, DWORD dwParam, std::unique_ptr<char[]>& text) {
    DWORD cb = 0;
    if (!CryptGetProvParam(hProv, dwParam, nullptr, &cb, 0) || cb == 0)
        return KEVO_FAILED_W(FUNC, u"GetProviderInfo FAILED.", u"FAILED(hResult)",
                             cb == 0 && GetLastError() == 0 ? E_FAIL : LastErrorAsHResult());
    text.reset(new (std::nothrow) char[static_cast<size_t>(cb) + 1]());
    if (!text) return KEVO_FAILED_W(FUNC, u"GetProviderInfo FAILED.", u"Dispatch memory failed.", E_OUTOFMEMORY);
    if (!CryptGetProvParam(hProv, dwParam, reinterpret_cast<BYTE*>(text.get()), &cb, 0)) {
        HRESULT hr = LastErrorAsHResult();
        text.reset();
        KEVO_FAIL_W(FUNC, u"GetProviderInfo FAILED.", u"FAILED(hResult)", hr);
        return hr;
    }
    return KEVO_OK;
}

// PP_NAME or PP_CONTAINER of the provider that holds the certificate's key.
HRESULT GetCertProviderParam(LPCWSTR FUNC, PCCERT_CONTEXT pCertContext, DWORD dwParam, LPWSTR* ppwsz, DWORD* pcch) {
    if (!ValidContext(pCertContext) || ppwsz == nullptr || pcch == nullptr)
        return KEVO_FAILED_W(FUNC, u"Check parameter", u"NULL == pCertContext", E_INVALIDARG);
    tessaro::UniqueCryptProv prov;
    DWORD dwKeySpec = 0;
    if (!CryptAcquireCertificatePrivateKey(pCertContext, 0, nullptr, prov.put(), &dwKeySpec, nullptr))
        return KEVO_FAILED_W(FUNC, u"CryptAcquireCertificatePrivateKey FAILED.", u"1", LastErrorAsHResult());
    std::unique_ptr<char[]> text;
    HRESULT hr = ReadProviderText(FUNC, prov.get(), dwParam, text);
    if (FAILED(hr)) return hr;
    WCHAR* pwsz = nullptr;
    int cch = 0;
    hr = KEVO_CHECK_W(FUNC, u"UTF8ToUTF16 FAILED.", UTF8ToUTF16(text.get(), &pwsz, &cch));
    if (FAILED(hr)) return hr;
    *ppwsz = pwsz;
    *pcch = static_cast<DWORD>(cch);
    return KEVO_OK;
}

HRESULT GetCertDate(LPCWSTR FUNC, const FILETIME* pft, SYSTEMTIME* pstTime, DWORD* pcbTime) {
    if (pstTime == nullptr) return KEVO_FAILED_W(FUNC, u"Check parameter", u"NULL == pstTime", E_INVALIDARG);
    FileTimeToSystemTime(pft, pstTime);
    if (pcbTime) *pcbTime = sizeof(SYSTEMTIME);
    return KEVO_OK;
}

// Does text contain one of the values (or is one of them empty)?
bool ContainsAny(LPCWSTR pwszText, const std::vector<std::u16string>& vtrValues) {
    for (const std::u16string& v : vtrValues) {
        if (v.empty()) return true;
        if (pwszText != nullptr && StrStrIW(pwszText, v.c_str()) != nullptr) return true;
    }
    return false;
}

// A name criterion on the name just fetched (hr and the name, which is
// released here): it must contain one of the values.
HRESULT MatchName(LPCWSTR FUNC, LPCWSTR pwszStep, HRESULT hr, LPWSTR pwszName,
                  const std::vector<std::u16string>& vtrValues, int nLine = __builtin_LINE()) {
    std::unique_ptr<WCHAR[]> hold(pwszName);
    if (FAILED(hr)) {
        KevoTraceFailW(TRACE_UNIT_W, nLine, FUNC, pwszStep, u"FAILED(hResult)", hr);
        return hr;
    }
    return ContainsAny(pwszName, vtrValues) ? KEVO_OK : E_FAIL;
}

}  // namespace

HRESULT LastErrorAsHResult() {
    DWORD dwError = GetLastError();
    if (dwError == 0) return E_FAIL;
    if (static_cast<LONG>(dwError) < 0) return static_cast<HRESULT>(dwError);
    return static_cast<HRESULT>(0x80070000u | (dwError & 0xFFFFu));
}

HRESULT GetCertCN(PCCERT_CONTEXT pCertContext, LPWSTR* ppwszCN, DWORD* pcchCN) {
    const LPCWSTR FUNC = u"GetCertCN";
    TraceHelper th(FUNC);
    if (!ValidContext(pCertContext) || ppwszCN == nullptr || pcchCN == nullptr)
        return KEVO_FAILED_W(FUNC, u"Check parameter", u"NULL == pCertContext", E_INVALIDARG);
    return RenderText(
        FUNC, u"CertGetNameStringW(1)", u"CertGetNameStringW(2)", u"New memory failed.",
        [&](LPWSTR pwsz, DWORD cch) {
            return CertGetNameStringW(pCertContext, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, pwsz, cch);
        },
        ppwszCN, pcchCN);
}

HRESULT GetCertSubject(PCCERT_CONTEXT pCertContext, LPWSTR* ppwszSubject, DWORD* pcchSubject, DWORD dwStrType) {
    const LPCWSTR FUNC = u"GetCertSubject";
    TraceHelper th(FUNC);
    return CertNameText(FUNC, pCertContext, &CERT_INFO::Subject, dwStrType, ppwszSubject, pcchSubject);
}

HRESULT GetCertIssuer(PCCERT_CONTEXT pCertContext, LPWSTR* ppwszIssuer, DWORD* pcchIssuer) {
    const LPCWSTR FUNC = u"GetCertIssuer";
    TraceHelper th(FUNC);
    return CertNameText(FUNC, pCertContext, &CERT_INFO::Issuer, CERT_X500_NAME_STR, ppwszIssuer, pcchIssuer);
}

HRESULT GetCertSerialNumber(BYTE** ppbSerialNumber, PCCERT_CONTEXT pCertContext, DWORD* pcbSerialNumber) {
    const LPCWSTR FUNC = u"GetCertSerialNumber";
    TraceHelper th(FUNC);
    if (!ValidContext(pCertContext) || ppbSerialNumber == nullptr || pcbSerialNumber == nullptr)
        return KEVO_FAILED_W(FUNC, u"Check parameter", u"NULL == pCertContext", E_INVALIDARG);
    const CRYPT_INTEGER_BLOB& serial = pCertContext->pCertInfo->SerialNumber;
    return CopyBytes(FUNC, serial.pbData, serial.cbData, ppbSerialNumber, pcbSerialNumber);
}

HRESULT GetCertSubjectKeyID(PCCERT_CONTEXT pCertContext, BYTE** ppbKeyID, DWORD* pcbKeyID) {
    const LPCWSTR FUNC = u"GetCertSubjectKeyID";
    TraceHelper th(FUNC);
    if (!ValidContext(pCertContext))
        return KEVO_FAILED_W(FUNC, u"Check parameter", u"NULL == pCertContext", E_INVALIDARG);
    if (ppbKeyID == nullptr) {
        const CERT_INFO* pInfo = pCertContext->pCertInfo;
        if (CertFindExtension(szOID_SUBJECT_KEY_IDENTIFIER, pInfo->cExtension, pInfo->rgExtension) == nullptr)
            return KEVO_FAILED_W(FUNC, u"CertFindExtension", u"NULL == pCertExtension", KEVO_E_NO_SUBJECT_KEY_ID);
        return KEVO_OK;
    }
    if (pcbKeyID == nullptr) return KEVO_FAILED_W(FUNC, u"Check parameter", u"NULL == pdwKeyIDLength", E_INVALIDARG);
    std::unique_ptr<BYTE[]> decoded;
    HRESULT hr = DecodeExtension(FUNC, pCertContext, szOID_SUBJECT_KEY_IDENTIFIER, KEVO_E_NO_SUBJECT_KEY_ID, decoded);
    if (FAILED(hr)) return hr;
    const CRYPT_DATA_BLOB* pBlob = reinterpret_cast<const CRYPT_DATA_BLOB*>(decoded.get());
    return CopyBytes(FUNC, pBlob->pbData, pBlob->cbData, ppbKeyID, pcbKeyID);
}

HRESULT GetCertKeyUsage(PCCERT_CONTEXT pCertContext, DWORD* pdwKeyUsage, DWORD* pcbKeyUsage) {
    const LPCWSTR FUNC = u"GetCertKeyUsage";
    TraceHelper th(FUNC);
    if (!ValidContext(pCertContext) || pdwKeyUsage == nullptr)
        return KEVO_FAILED_W(FUNC, u"Check parameter", u"NULL == pCertContext", E_INVALIDARG);
    std::unique_ptr<BYTE[]> decoded;
    HRESULT hr = DecodeExtension(FUNC, pCertContext, szOID_KEY_USAGE, KEVO_E_NO_KEY_USAGE, decoded);
    if (FAILED(hr)) return hr;
    const CRYPT_BIT_STRING_BLOB* pBits = reinterpret_cast<const CRYPT_BIT_STRING_BLOB*>(decoded.get());
    *pdwKeyUsage = pBits->cbData > 0 ? pBits->pbData[0] : 0;
    if (pcbKeyUsage) *pcbKeyUsage = sizeof(DWORD);
    return KEVO_OK;
}

HRESULT GetCertProviderName(PCCERT_CONTEXT pCertContext, LPWSTR* ppwszProvName, DWORD* pcchProvName) {
    const LPCWSTR FUNC = u"GetCertProviderName";
    TraceHelper th(FUNC);
    return GetCertProviderParam(FUNC, pCertContext, PP_NAME, ppwszProvName, pcchProvName);
}

HRESULT GetCertContainerName(PCCERT_CONTEXT pCertContext, LPWSTR* ppwszContainer, DWORD* pcchContainer) {
    const LPCWSTR FUNC = u"GetCertContainerName";
    TraceHelper th(FUNC);
    return GetCertProviderParam(FUNC, pCertContext, PP_CONTAINER, ppwszContainer, pcchContainer);
}

HRESULT GetCertToDate(PCCERT_CONTEXT pCertContext, SYSTEMTIME* pstTime, DWORD* pcbTime) {
    const LPCWSTR FUNC = u"GetCertToDate";
    if (!ValidContext(pCertContext))
        return KEVO_FAILED_W(FUNC, u"Check parameter", u"NULL == pCertContext", E_INVALIDARG);
    return GetCertDate(FUNC, &pCertContext->pCertInfo->NotAfter, pstTime, pcbTime);
}

HRESULT GetCertFromDate(PCCERT_CONTEXT pCertContext, SYSTEMTIME* pstTime, DWORD* pcbTime) {
    const LPCWSTR FUNC = u"GetCertFromDate";
    if (!ValidContext(pCertContext))
        return KEVO_FAILED_W(FUNC, u"Check parameter", u"NULL == pCertContext", E_INVALIDARG);
    return GetCertDate(FUNC, &pCertContext->pCertInfo->NotBefore, pstTime, pcbTime);
}

HRESULT QueryCertContextInfo(PCCERT_CONTEXT pCertContext, DWORD dwQueryID, void* pvData, DWORD* pcbData) {
    const LPCWSTR FUNC = u"QueryCertContextInfo";
    TraceHelper th(FUNC);
    KevoTraceValueN("dwQueryID", static_cast<LONG>(dwQueryID));
    switch (dwQueryID) {
        case QUERYID_SUBJECT_FULL:
            return GetCertSubject(pCertContext, static_cast<LPWSTR*>(pvData), pcbData, CERT_X500_NAME_STR);
        case QUERYID_SUBJECT_SIMPLE:
            return GetCertSubject(pCertContext, static_cast<LPWSTR*>(pvData), pcbData, CERT_SIMPLE_NAME_STR);
        case QUERYID_ISSUER:
            return GetCertIssuer(pCertContext, static_cast<LPWSTR*>(pvData), pcbData);
        case QUERYID_SERIALNUMBER:
            return GetCertSerialNumber(static_cast<BYTE**>(pvData), pCertContext, pcbData);
        case QUERYID_PROVIDERNAME:
            return GetCertProviderName(pCertContext, static_cast<LPWSTR*>(pvData), pcbData);
        case QUERYID_TODATE:
            return GetCertToDate(pCertContext, static_cast<SYSTEMTIME*>(pvData), pcbData);
        case QUERYID_FROMDATE:
            return GetCertFromDate(pCertContext, static_cast<SYSTEMTIME*>(pvData), pcbData);
        case QUERYID_SUBJECTKEYID:
            return GetCertSubjectKeyID(pCertContext, static_cast<BYTE**>(pvData), pcbData);
        case QUERYID_KEYUSAGE:
            return GetCertKeyUsage(pCertContext, static_cast<DWORD*>(pvData), pcbData);
        case QUERYID_CONTAINERNAME:
            return GetCertContainerName(pCertContext, static_cast<LPWSTR*>(pvData), pcbData);
        case QUERYID_CN:
            return GetCertCN(pCertContext, static_cast<LPWSTR*>(pvData), pcbData);
        default:
            KEVO_FAIL_W(FUNC, u"Check query type", u"Query type is not supported.", KEVO_E_QUERY_TYPE);
            return KEVO_E_QUERY_TYPE;
    }
}

HRESULT GetCertificateContextProperty(DWORD* pcbData, PCCERT_CONTEXT pCertContext, BYTE** ppbData) {
    const LPCWSTR FUNC = u"GetCertificateContextProperty";
    TraceHelper th(FUNC);
    if (pcbData == nullptr || ppbData == nullptr || pCertContext == nullptr)
        return KEVO_FAILED_W(FUNC, u"Check parameter", u"NULL == pCertContext", E_INVALIDARG);
    DWORD cb = 0;
    if (!CertGetCertificateContextProperty(pCertContext, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &cb))
        return KEVO_FAILED_W(FUNC, u"CertGetCertificateContextProperty(1)", u"1", LastErrorAsHResult());
    // A record too small to be a CRYPT_KEY_PROV_INFO would be read past its end.
    if (cb < sizeof(CRYPT_KEY_PROV_INFO))
        return KEVO_FAILED_W(FUNC, u"CertGetCertificateContextProperty(1)", u"dwLength < sizeof(CRYPT_KEY_PROV_INFO)",
                             CRYPT_E_NOT_FOUND);
    std::unique_ptr<BYTE[]> data(new (std::nothrow) BYTE[cb]());
    if (!data) return KEVO_FAILED_W(FUNC, u"new", u"Dispatch memory failed.", E_OUTOFMEMORY);
    if (!CertGetCertificateContextProperty(pCertContext, CERT_KEY_PROV_INFO_PROP_ID, data.get(), &cb))
        return KEVO_FAILED_W(FUNC, u"CertGetCertificateContextProperty(2)", u"1", LastErrorAsHResult());
    *ppbData = data.release();
    *pcbData = cb;
    return KEVO_OK;
}

HRESULT GetTimeString(std::u16string& wstrTime, const SYSTEMTIME* pstTime) {
    const LPCWSTR FUNC = u"GetTimeString";
    if (pstTime == nullptr) return KEVO_FAILED_W(FUNC, u"Check parameter", u"NULL == pstTime", E_INVALIDARG);
    char sz[128];
    int n = snprintf(sz, sizeof sz, "%04d-%02d-%02d %02d:%02d:%02d", pstTime->wYear, pstTime->wMonth, pstTime->wDay,
                     pstTime->wHour, pstTime->wMinute, pstTime->wSecond);
    wstrTime.assign(sz, sz + (n > 0 ? n : 0));
    return KEVO_OK;
}

HRESULT ConvertUTCtimetoLocalTime(SYSTEMTIME* pstTime) {
    const LPCWSTR FUNC = u"ConvertUTCtimetoLocalTime";
    if (pstTime == nullptr) return KEVO_FAILED_W(FUNC, u"Check parameter", u"NULL == pstTime", E_INVALIDARG);
    FILETIME ftUTC{}, ftLocal{};
    SYSTEMTIME stLocal{};
    if (!SystemTimeToFileTime(pstTime, &ftUTC))
        return KEVO_FAILED_W(FUNC, u"SystemTimeToFileTime", u"1", LastErrorAsHResult());
    if (!FileTimeToLocalFileTime(&ftUTC, &ftLocal))
        return KEVO_FAILED_W(FUNC, u"FileTimeToLocalFileTime", u"1", LastErrorAsHResult());
    if (!FileTimeToSystemTime(&ftLocal, &stLocal))
        return KEVO_FAILED_W(FUNC, u"FileTimeToSystemTime", u"1", LastErrorAsHResult());
    *pstTime = stLocal;
    return KEVO_OK;
}

HRESULT GetMachineTime(FILETIME* pftMachineTime) {
    const LPCWSTR FUNC = u"GetMachineTime";
    if (pftMachineTime == nullptr)
        return KEVO_FAILED_W(FUNC, u"Check parameter", u"NULL == pftMachineTime", E_INVALIDARG);
    // Local time back to UTC through the current time zone.
    SYSTEMTIME stLocal{};
    GetLocalTime(&stLocal);
    FILETIME ftLocal{};
    if (!SystemTimeToFileTime(&stLocal, &ftLocal) || !LocalFileTimeToFileTime(&ftLocal, pftMachineTime))
        return KEVO_FAILED_W(FUNC, u"TzSpecificLocalTimeToSystemTime", u"1", LastErrorAsHResult());
    return KEVO_OK;
}

HRESULT CheckCertValidTime(const FILETIME* pftMachineTime, DWORD* pdwExpired, PCCERT_CONTEXT pCertContext) {
    const LPCWSTR FUNC = u"CheckCertValidTime";
    TraceHelper th(FUNC);
    if (!ValidContext(pCertContext) || pftMachineTime == nullptr || pdwExpired == nullptr)
        return KEVO_FAILED_W(FUNC, u"Check parameter", u"NULL == pCertContext || NULL == pftMachineTime", E_INVALIDARG);
    *pdwExpired = 0;
    LPWSTR pwszSubject = nullptr;
    DWORD cch = 0;
    HRESULT hr = QueryCertContextInfo(pCertContext, QUERYID_SUBJECT_FULL, &pwszSubject, &cch);
    std::unique_ptr<WCHAR[]> holdSubject(pwszSubject);
    if (FAILED(hr)) return KEVO_FAILED_W(FUNC, u"QueryCertContextInfo(QUERYID_SUBJECT_FULL)", u"FAILED(hResult)", hr);
    KevoTraceValueW(u"Subject", pwszSubject);
    if (CompareFileTime(&pCertContext->pCertInfo->NotAfter, pftMachineTime) == -1) *pdwExpired = 1;
    return KEVO_OK;
}

HRESULT CheckCertSubjectName(PCCERT_CONTEXT pCertContext, const std::vector<std::u16string>& vtrSubjects,
                             DWORD dwStrType) {
    const LPCWSTR FUNC = u"CheckCertSubjectName";
    if (vtrSubjects.empty()) return KEVO_OK;
    LPWSTR pwszSubject = nullptr;
    DWORD cch = 0;
    HRESULT hr = GetCertSubject(pCertContext, &pwszSubject, &cch, dwStrType);
    return MatchName(FUNC, u"GetCertSubject", hr, pwszSubject, vtrSubjects);
}

HRESULT CheckCertIssuer(PCCERT_CONTEXT pCertContext, const std::vector<std::u16string>& vtrIssuers) {
    const LPCWSTR FUNC = u"CheckCertIssuer";
    if (vtrIssuers.empty()) return KEVO_OK;
    LPWSTR pwszIssuer = nullptr;
    DWORD cch = 0;
    HRESULT hr = GetCertIssuer(pCertContext, &pwszIssuer, &cch);
    return MatchName(FUNC, u"GetCertIssuer", hr, pwszIssuer, vtrIssuers);
}

HRESULT CheckCSPName(PCCERT_CONTEXT pCertContext, const std::vector<std::u16string>& vtrCSPNames) {
    const LPCWSTR FUNC = u"CheckCSPName";
    if (vtrCSPNames.empty()) return KEVO_OK;
    if (pCertContext == nullptr) return KEVO_FAILED_W(FUNC, u"Check parameter", u"NULL == pCertContext", E_INVALIDARG);
    DWORD cb = 0;
    if (!CertGetCertificateContextProperty(pCertContext, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &cb))
        return KEVO_FAILED_W(FUNC, u"CertGetCertificateContextProperty", u"1", static_cast<HRESULT>(GetLastError()));
    if (cb < sizeof(CRYPT_KEY_PROV_INFO)) return CRYPT_E_NOT_FOUND;
    std::vector<BYTE> data(cb, 0);
    if (!CertGetCertificateContextProperty(pCertContext, CERT_KEY_PROV_INFO_PROP_ID, data.data(), &cb))
        return KEVO_FAILED_W(FUNC, u"CertGetCertificateContextProperty", u"1", static_cast<HRESULT>(GetLastError()));
    const CRYPT_KEY_PROV_INFO* pInfo = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(data.data());
    return ContainsAny(pInfo->pwszProvName, vtrCSPNames) ? KEVO_OK : E_FAIL;
}

HRESULT CheckCertKeyUsage(PCCERT_CONTEXT pCertContext, DWORD dwKeyUsage) {
    if (dwKeyUsage == 0) return KEVO_OK;
    DWORD dwCertKeyUsage = 0;
    DWORD cb = 0;
    HRESULT hr = GetCertKeyUsage(pCertContext, &dwCertKeyUsage, &cb);
    if (FAILED(hr)) return hr;
    return (dwCertKeyUsage & dwKeyUsage) != 0 ? KEVO_OK : KEVO_E_CERT_USAGE;
}

HRESULT CheckCertSubjectKeyID(PCCERT_CONTEXT pCertContext, const BYTE* pbKeyID, DWORD cbKeyID) {
    if (pbKeyID == nullptr) return KEVO_OK;
    BYTE* pbCertKeyID = nullptr;
    DWORD cbCertKeyID = 0;
    HRESULT hr = GetCertSubjectKeyID(pCertContext, &pbCertKeyID, &cbCertKeyID);
    std::unique_ptr<BYTE[]> hold(pbCertKeyID);
    if (FAILED(hr)) return hr;
    if (cbCertKeyID != cbKeyID || (cbKeyID != 0 && memcmp(pbCertKeyID, pbKeyID, cbKeyID) != 0)) return E_FAIL;
    return KEVO_OK;
}

HRESULT CheckCertSerialNumber(PCCERT_CONTEXT pCertContext, const BYTE* pbSerialNumber, DWORD cbSerialNumber) {
    if (pbSerialNumber == nullptr) return KEVO_OK;
    if (!ValidContext(pCertContext)) return E_INVALIDARG;
    const CRYPT_INTEGER_BLOB& serial = pCertContext->pCertInfo->SerialNumber;
    if (serial.cbData != cbSerialNumber ||
        (cbSerialNumber != 0 && memcmp(serial.pbData, pbSerialNumber, cbSerialNumber) != 0))
        return E_FAIL;
    return KEVO_OK;
}

HRESULT CheckCertSignatureAlg(PCCERT_CONTEXT pCertContext, LPCSTR pszSignatureAlgOID) {
    if (pszSignatureAlgOID == nullptr) return KEVO_OK;
    if (!ValidContext(pCertContext)) return E_INVALIDARG;
    const char* pszObjId = pCertContext->pCertInfo->SignatureAlgorithm.pszObjId;
    if (pszObjId == nullptr) return E_FAIL;
    return strncmp(pszObjId, pszSignatureAlgOID, strlen(pszSignatureAlgOID)) == 0 ? KEVO_OK : E_FAIL;
}

HRESULT CheckCertTimeValidity(PCCERT_CONTEXT pCertContext, FILETIME* pftTime) {
    if (pftTime == nullptr) return KEVO_OK;
    if (!ValidContext(pCertContext)) return E_INVALIDARG;
    return CertVerifyTimeValidity(pftTime, pCertContext->pCertInfo) == 0 ? KEVO_OK : E_FAIL;
}
