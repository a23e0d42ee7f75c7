// The host's request handlers: JSON parameters in, agent operation, JSON
// response out.
#include "host/nmCryptoAgent.h"

#include <cstring>
#include <memory>
#include <new>

#include "agent/FrontEnd.h"
#include "diag/Diagnostics.h"
#include "host/JSONUtility.h"
#include "diag/ResultCode.h"
#include "tessaro/Handles.h"

#define TRACE_UNIT_W u"nmCryptoAgent"

namespace {

// The steps every handler shares: count check, parameter reading with UTF-16
// conversion, result conversion and the response. A step that fails stores
// its code; later steps are skipped once a code is set.
class Handler {
public:
    Handler(LPCWSTR pwszName, const cJSON* pArgs) : m_pwszName(pwszName), m_pArgs(pArgs) {}

    bool Ok() const { return m_hResult == 0; }
    HRESULT Result() const { return m_hResult; }

    // Exactly nExpected children, else nCountCode.
    bool CheckCount(int nExpected, HRESULT nCountCode, int nLine = __builtin_LINE()) {
        if (m_pArgs == nullptr) {
            Fail(u"Check parameter(pArgs)", u"NULL == pArgs", nCountCode, nLine);
        } else if (GetJSONArrayItemCount(m_pArgs) != nExpected) {
            Fail(u"Check parameter(Args count)", u"nCount != nExpected", nCountCode, nLine);
        }
        return Ok();
    }

    bool ReadString(int nIndex, tessaro::UniqueBstr& bstr, int nLine = __builtin_LINE()) {
        if (!Ok()) return false;
        char* pszUTF8 = nullptr;
        int nResult = ConverJSONArrayItemtoNULLEndString(m_pArgs, nIndex, &pszUTF8);
        std::unique_ptr<char[]> holdUTF8(pszUTF8);
        if (nResult != 0) return Fail(u"ConverJSONArrayItemtoNULLEndString", u"0 != nResult", nResult, nLine);
        WCHAR* pwsz = nullptr;
        int nLen = 0;
        HRESULT hr = UTF8ToUTF16(pszUTF8, &pwsz, &nLen);
        std::unique_ptr<WCHAR[]> holdUTF16(pwsz);
        if (FAILED(hr)) return Fail(u"UTF8ToUTF16", u"FAILED(hResult)", hr, nLine);
        bstr.reset(SysAllocStringLen(pwsz, static_cast<UINT>(nLen)));
        if (!bstr) return Fail(u"SysAllocStringLen", u"NULL == bstr", E_OUTOFMEMORY, nLine);
        return true;
    }

    bool ReadInt(int nIndex, LONG& nValue, int nLine = __builtin_LINE()) {
        if (!Ok()) return false;
        int n = 0;
        int nResult = ConverJSONArrayItemtoint(m_pArgs, nIndex, &n);
        if (nResult != 0) return Fail(u"ConverJSONArrayItemtoint", u"0 != nResult", nResult, nLine);
        nValue = n;
        return true;
    }

    // The agent's result; a failure reports hOverride when given, else its own code.
    bool Agent(LPCWSTR pwszStep, HRESULT hr, HRESULT hOverride = 0, int nLine = __builtin_LINE()) {
        if (FAILED(hr)) return Fail(pwszStep, u"FAILED(hResult)", hOverride ? hOverride : hr, nLine);
        return true;
    }

    // Text result to UTF-8; an absent text stays absent.
    bool ToUTF8(BSTR bstr, HRESULT hOverride = 0, int nLine = __builtin_LINE()) {
        if (!Ok() || bstr == nullptr) return Ok();
        char* psz = nullptr;
        int nLen = 0;
        HRESULT hr = UTF16ToUTF8(bstr, &psz, &nLen);
        m_pszText.reset(psz);
        if (FAILED(hr)) {
            m_pszText.reset();
            return Fail(u"UTF16ToUTF8", u"FAILED(hResult)", hOverride ? hOverride : hr, nLine);
        }
        return true;
    }

    void SetText(const char* psz) {
        size_t n = strlen(psz);
        m_pszText.reset(new (std::nothrow) char[n + 1]);
        if (m_pszText) memcpy(m_pszText.get(), psz, n + 1);
    }

    int RespondText(cJSON** ppResponseJSON, const char* pszName, int nLine = __builtin_LINE()) {
        return Respond(ppResponseJSON, pszName, JSON_RESULT_STRING, Ok() ? m_pszText.get() : nullptr, nLine);
    }

    int RespondBool(cJSON** ppResponseJSON, const char* pszName, VARIANT_BOOL bFlag, int nLine = __builtin_LINE()) {
        unsigned char byValue = (Ok() && bFlag == VARIANT_TRUE) ? 1 : 0;
        return Respond(ppResponseJSON, pszName, byValue ? JSON_RESULT_TRUE : JSON_RESULT_FALSE, &byValue, nLine);
    }

private:
    // Traced with the line of the handler's own call, so each call site
    // keeps a message number of its own.
    bool Fail(LPCWSTR pwszStep, LPCWSTR pwszReason, HRESULT hr, int nLine) {
        KevoTraceFailW(TRACE_UNIT_W, nLine, m_pwszName, pwszStep, pwszReason, hr);
        m_hResult = hr;
        return false;
    }

    int Respond(cJSON** ppResponseJSON, const char* pszName, int nKind, const void* pValue, int nLine) {
        if (ppResponseJSON == nullptr) return 0;
        *ppResponseJSON = nullptr;
        int nResult = ConstructResponseJSON(pszName, m_hResult, nKind, pValue, ppResponseJSON);
        if (nResult != 0) KevoTraceFailW(TRACE_UNIT_W, nLine, m_pwszName, u"ConstructResponseJSON", u"0 != nResult", nResult);
        return 0;
    }

    LPCWSTR m_pwszName;
    const cJSON* m_pArgs;
    HRESULT m_hResult = 0;
    std::unique_ptr<char[]> m_pszText;
};

// Handlers without an agent answer as if the operation failed unexpectedly.
bool HaveAgent(Handler& h, CCryptoAgent* pobjCryptoAgent, HRESULT hCode, int nLine = __builtin_LINE()) {
    return h.Agent(u"Check agent", pobjCryptoAgent ? KEVO_OK : E_UNEXPECTED, hCode, nLine);
}

// The operations without parameters that answer a text: the count, the
// agent's call and its text, each failure reported as hCode when given.
template <typename Call>
int TextHandler(cJSON** ppResponseJSON, const cJSON* pArgs, CCryptoAgent* pobjCryptoAgent, LPCWSTR pwszName,
                const char* pszResponseName, LPCWSTR pwszStep, HRESULT hCountCode, HRESULT hCode, Call call) {
    TraceHelper th(pwszName);
    Handler h(pwszName, pArgs);
    tessaro::UniqueBstr bstrText;
    if (h.CheckCount(0, hCountCode) && HaveAgent(h, pobjCryptoAgent, hCode) &&
        h.Agent(pwszStep, call(pobjCryptoAgent, bstrText.put()), hCode))
        h.ToUTF8(bstrText.get(), hCode);
    return h.RespondText(ppResponseJSON, pszResponseName);
}

}  // namespace

int nmKEVO_GetCSPInfo(cJSON** ppResponseJSON, const cJSON* pArgs, CCryptoAgent* pobjCryptoAgent) {
    return TextHandler(ppResponseJSON, pArgs, pobjCryptoAgent, u"nmKEVO_GetCSPInfo", "KEVO_GetCSPInfo",
                       u"KEVO_GetCSPInfo", E_INVALIDARG, 0,
                       [](CCryptoAgent* pAgent, BSTR* pbstr) { return pAgent->KEVO_GetCSPInfo(pbstr); });
}

int nmKEVO_GetAllCertInfo(cJSON** ppResponseJSON, const cJSON* pArgs, CCryptoAgent* pobjCryptoAgent) {
    TraceHelper th(u"nmKEVO_GetAllCertInfo");
    Handler h(u"nmKEVO_GetAllCertInfo", pArgs);
    tessaro::UniqueBstr bstrCSPName, bstrCertInfo;
    if (h.CheckCount(1, -1) && h.ReadString(0, bstrCSPName) && HaveAgent(h, pobjCryptoAgent, 0) &&
        h.Agent(u"KEVO_GetAllCertInfo", pobjCryptoAgent->KEVO_GetAllCertInfo(bstrCSPName.get(), bstrCertInfo.put())))
        h.ToUTF8(bstrCertInfo.get());
    return h.RespondText(ppResponseJSON, "KEVO_GetAllCertInfo");
}

int nmKEVO_SetCSPInfo(cJSON** ppResponseJSON, const cJSON* pArgs, CCryptoAgent* pobjCryptoAgent) {
    TraceHelper th(u"nmKEVO_SetCSPInfo");
    Handler h(u"nmKEVO_SetCSPInfo", pArgs);
    LONG nKeyLength = 0;
    tessaro::UniqueBstr bstrCSPName;
    VARIANT_BOOL bResult = VARIANT_FALSE;
    if (h.CheckCount(2, -1) && h.ReadInt(0, nKeyLength) && h.ReadString(1, bstrCSPName) &&
        HaveAgent(h, pobjCryptoAgent, 0))
        h.Agent(u"KEVO_SetCSPInfo", pobjCryptoAgent->KEVO_SetCSPInfo(nKeyLength, bstrCSPName.get(), &bResult));
    return h.RespondBool(ppResponseJSON, "KEVO_SetCSPInfo", bResult);
}

int nmKEVO_SetKeyAlgorithm(cJSON** ppResponseJSON, const cJSON* pArgs, CCryptoAgent* pobjCryptoAgent) {
    TraceHelper th(u"nmKEVO_SetKeyAlgorithm");
    Handler h(u"nmKEVO_SetKeyAlgorithm", pArgs);
    tessaro::UniqueBstr bstrKeyAlgorithm;
    VARIANT_BOOL bResult = VARIANT_FALSE;
    if (h.CheckCount(1, -1) && h.ReadString(0, bstrKeyAlgorithm) && HaveAgent(h, pobjCryptoAgent, 0))
        h.Agent(u"KEVO_SetKeyAlgorithm", pobjCryptoAgent->KEVO_SetKeyAlgorithm(bstrKeyAlgorithm.get(), &bResult));
    return h.RespondBool(ppResponseJSON, "KEVO_SetKeyAlgorithm", bResult);
}

int nmKEVO_ImportEncryptCert(cJSON** ppResponseJSON, const cJSON* pArgs, CCryptoAgent* pobjCryptoAgent) {
    TraceHelper th(u"nmKEVO_ImportEncryptCert");
    Handler h(u"nmKEVO_ImportEncryptCert", pArgs);
    tessaro::UniqueBstr bstrEncryptedPrivateKey, bstrEncryptPublicCert, bstrContainerName;
    LONG nFlags = 0;
    VARIANT_BOOL bResult = VARIANT_FALSE;
    if (h.CheckCount(4, -1) && h.ReadString(0, bstrEncryptedPrivateKey) && h.ReadString(1, bstrEncryptPublicCert) &&
        h.ReadString(2, bstrContainerName) && h.ReadInt(3, nFlags) && HaveAgent(h, pobjCryptoAgent, 0))
        h.Agent(u"KEVO_ImportEncryptCert",
                pobjCryptoAgent->KEVO_ImportEncryptCert(bstrEncryptedPrivateKey.get(), bstrEncryptPublicCert.get(),
                                                        bstrContainerName.get(), nFlags, &bResult));
    return h.RespondBool(ppResponseJSON, "KEVO_ImportEncryptCert", bResult);
}

int nmKEVO_GetContainer(cJSON** ppResponseJSON, const cJSON* pArgs, CCryptoAgent* pobjCryptoAgent) {
    return TextHandler(ppResponseJSON, pArgs, pobjCryptoAgent, u"nmKEVO_GetContainer", "KEVO_GetContainer",
                       u"KEVO_GetContainer", -1, -1,
                       [](CCryptoAgent* pAgent, BSTR* pbstr) { return pAgent->KEVO_GetContainer(pbstr); });
}

int nmKEVO_ImportSignCert(cJSON** ppResponseJSON, const cJSON* pArgs, CCryptoAgent* pobjCryptoAgent) {
    TraceHelper th(u"nmKEVO_ImportSignCert");
    Handler h(u"nmKEVO_ImportSignCert", pArgs);
    LONG nCertType = 0;
    tessaro::UniqueBstr bstrSignCert, bstrContainerName;
    VARIANT_BOOL bResult = VARIANT_FALSE;
    if (h.CheckCount(3, -1) && h.ReadInt(0, nCertType) && h.ReadString(1, bstrSignCert) &&
        h.ReadString(2, bstrContainerName) && HaveAgent(h, pobjCryptoAgent, 0))
        h.Agent(u"KEVO_ImportSignCert",
                pobjCryptoAgent->KEVO_ImportSignCert(nCertType, bstrSignCert.get(), bstrContainerName.get(), &bResult));
    return h.RespondBool(ppResponseJSON, "KEVO_ImportSignCert", bResult);
}

namespace {
int RequestHandler(cJSON** ppResponseJSON, const cJSON* pArgs, CCryptoAgent* pobjCryptoAgent, bool bMD5) {
    LPCWSTR pwszName = bMD5 ? u"nmKEVO_PKCS10CertRequisitionwithMD5" : u"nmKEVO_PKCS10CertRequisition";
    TraceHelper th(pwszName);
    Handler h(pwszName, pArgs);
    tessaro::UniqueBstr bstrSubjectDN, bstrPKCS10;
    LONG nCertType = 0, nFlags = 0;
    if (h.CheckCount(3, -1) && h.ReadString(0, bstrSubjectDN) && h.ReadInt(1, nCertType) && h.ReadInt(2, nFlags) &&
        HaveAgent(h, pobjCryptoAgent, 0)) {
        HRESULT hr = bMD5 ? pobjCryptoAgent->KEVO_PKCS10CertRequisitionwithMD5(bstrSubjectDN.get(), nCertType, nFlags,
                                                                               bstrPKCS10.put())
                          : pobjCryptoAgent->KEVO_PKCS10CertRequisition(bstrSubjectDN.get(), nCertType, nFlags,
                                                                        bstrPKCS10.put());
        if (h.Agent(bMD5 ? u"KEVO_PKCS10CertRequisitionwithMD5" : u"KEVO_PKCS10CertRequisition", hr))
            h.ToUTF8(bstrPKCS10.get());
    }
    return h.RespondText(ppResponseJSON, bMD5 ? "KEVO_PKCS10CertRequisitionwithMD5" : "KEVO_PKCS10CertRequisition");
}
}  // namespace

int nmKEVO_PKCS10CertRequisition(cJSON** ppResponseJSON, const cJSON* pArgs, CCryptoAgent* pobjCryptoAgent) {
    return RequestHandler(ppResponseJSON, pArgs, pobjCryptoAgent, false);
}

int nmKEVO_PKCS10CertRequisitionwithMD5(cJSON** ppResponseJSON, const cJSON* pArgs, CCryptoAgent* pobjCryptoAgent) {
    return RequestHandler(ppResponseJSON, pArgs, pobjCryptoAgent, true);
}

int nmKEVO_GetVersion(cJSON** ppResponseJSON, const cJSON* pArgs) {
    TraceHelper th(u"nmKEVO_GetVersion");
    Handler h(u"nmKEVO_GetVersion", pArgs);
    if (h.CheckCount(0, E_INVALIDARG)) h.SetText(KEVO_VERSION_TEXT);
    return h.RespondText(ppResponseJSON, "KEVO_GetVersion");
}

int nmGetLastErrorDesc(cJSON** ppResponseJSON, const cJSON* pArgs, CCryptoAgent* pobjCryptoAgent) {
    return TextHandler(ppResponseJSON, pArgs, pobjCryptoAgent, u"nmGetLastErrorDesc", "KEVO_GetLastErrorDesc",
                       u"GetLastErrorDesc", E_INVALIDARG, 0,
                       [](CCryptoAgent* pAgent, BSTR* pbstr) { return pAgent->GetLastErrorDesc(pbstr); });
}
