// Page script's way into the enrollment agent: argument checks and
// conversions, the agent call, and the script value of the result.
#include "plugin/ScriptablePluginObject.h"

#include <cmath>
#include <cstring>
#include <memory>
#include <new>

#include "agent/FrontEnd.h"
#include "diag/Diagnostics.h"
#include "plugin/Plugin.h"
#include "tessaro/Handles.h"
#include "win/platform_registry.h"

#define TRACE_UNIT_W u"ScriptablePluginObject.cpp"

namespace {

const char* const METHOD_NAMES[] = {
    "KEVO_GetCSPInfo",      "KEVO_SetCSPInfo",     "KEVO_SetKeyAlgorithm",       "KEVO_ImportEncryptCert",
    "KEVO_GetContainer",    "KEVO_ImportSignCert", "KEVO_PKCS10CertRequisition", "KEVO_GetAllCertInfo",
    "KEVO_PKCS10CertRequisitionwithMD5", "KEVO_GetVersion", "GetLastErrorDesc",
};

const char* VariantTypeName(NPVariantType type) {
    switch (type) {
        case NPVariantType_Void: return "Void";
        case NPVariantType_Null: return "Null";
        case NPVariantType_Bool: return "Bool";
        case NPVariantType_Int32: return "Int32";
        case NPVariantType_Double: return "Double";
        case NPVariantType_String: return "String";
        case NPVariantType_Object: return "Object";
    }
    return "Unknown";
}

enum class Arg { String, Number };

// The steps every method shares. The result is preset to what a failure
// shows the page (Bool false or Null); only a complete success replaces it.
// Checks and conversions here are traced only: the agent's last error stays
// the last failure inside the agent.
class MethodCall {
public:
    MethodCall(LPCWSTR pwszFunction, bool bBoolResult, const NPVariant* args, uint32_t argCount, NPVariant* result)
        : m_pwszFunction(pwszFunction), m_bBoolResult(bBoolResult), m_args(args), m_argCount(argCount),
          m_result(result) {
        if (m_bBoolResult) BOOLEAN_TO_NPVARIANT(false, *m_result);
        else NULL_TO_NPVARIANT(*m_result);
        KevoTraceValueN("argCount", static_cast<LONG>(argCount));
        for (uint32_t i = 0; args != nullptr && i < argCount && i < 8; ++i)
            KevoTraceValueA("args[i].type", VariantTypeName(args[i].type));
    }

    // The browser must still be there: after NP_Shutdown nothing is run.
    bool CheckBrowser() {
        if (NPN_Available()) return true;
        KEVO_FAIL_W(m_pwszFunction, u"Check browser", u"browser functions released", E_FAIL);
        return false;
    }

    // Exact count and types; numbers must be 32-bit integers after
    // truncation.
    bool CheckArgs(std::initializer_list<Arg> kinds, LPCWSTR pwszStep, LPCWSTR pwszCondition, HRESULT hCode) {
        bool bOk = m_argCount == kinds.size() && (m_argCount == 0 || m_args != nullptr);
        uint32_t i = 0;
        for (Arg kind : kinds) {
            if (!bOk) break;
            const NPVariant& v = m_args[i++];
            if (kind == Arg::Number) {
                LONG n = 0;
                bOk = SUCCEEDED(NPVariantToLong(v, &n));
            } else {
                // A zero inside the text ends it, as it does in the host's
                // conversion: both front ends take the same argument.
                bOk = v.type == NPVariantType_String &&
                      (v.value.stringValue.UTF8Length == 0 || v.value.stringValue.UTF8Characters != nullptr);
            }
        }
        if (!bOk) KEVO_FAIL_W(m_pwszFunction, pwszStep, pwszCondition, hCode);
        return bOk;
    }

    // The browser still there, then the arguments.
    bool Start(std::initializer_list<Arg> kinds, LPCWSTR pwszStep, LPCWSTR pwszCondition, HRESULT hCode) {
        return CheckBrowser() && CheckArgs(kinds, pwszStep, pwszCondition, hCode);
    }

    bool StringArg(uint32_t i, tessaro::UniqueBstr& bstr) {
        char* psz = nullptr;
        HRESULT hr = ConverNPStringtoNULLEndString(m_args[i].value.stringValue, &psz);
        std::unique_ptr<char[]> holdUTF8(psz);
        if (FAILED(hr)) return Fail(u"ConverNPStringtoNULLEndString", u"New Memory", hr);
        WCHAR* pwsz = nullptr;
        int nLen = 0;
        hr = UTF8ToUTF16(psz, &pwsz, &nLen);
        std::unique_ptr<WCHAR[]> holdUTF16(pwsz);
        if (FAILED(hr)) return Fail(u"UTF8ToUTF16", u"FAILED(hResult)", hr);
        bstr.reset(SysAllocStringLen(pwsz, static_cast<UINT>(nLen)));
        if (!bstr) return Fail(u"SysAllocStringLen", u"New Memory", E_OUTOFMEMORY);
        return true;
    }

    LONG NumberArg(uint32_t i) const {
        LONG n = -1;
        NPVariantToLong(m_args[i], &n);
        return n;
    }

    bool Agent(LPCWSTR pwszOperation, HRESULT hr) {
        if (FAILED(hr)) return Fail(pwszOperation, u"FAILED(hResult)", hr);
        return true;
    }

    // An agent operation that answers VARIANT_BOOL: true for the page only
    // when it succeeded and said so.
    template <typename Call>
    bool AgentBool(LPCWSTR pwszOperation, Call call) {
        VARIANT_BOOL vbSuccess = VARIANT_FALSE;
        return Agent(pwszOperation, call(&vbSuccess)) && FinishBool(vbSuccess);
    }

    bool FinishBool(VARIANT_BOOL vbSuccess) {
        if (vbSuccess == VARIANT_FALSE) return Fail(u"Check result", u"VARIANT_FALSE == vbSuccess", E_FAIL);
        BOOLEAN_TO_NPVARIANT(true, *m_result);
        return true;
    }

    bool FinishString(BSTR bstrText, LPCWSTR pwszStep) {
        char* psz = nullptr;
        int nLen = 0;
        HRESULT hr = UTF16ToUTF8(bstrText ? bstrText : u"", &psz, &nLen);
        std::unique_ptr<char[]> holdUTF8(psz);
        if (FAILED(hr)) return Fail(pwszStep, u"FAILED(hResult)", E_FAIL);
        return FinishText(psz);
    }

    bool FinishText(const char* pszText) {
        if (!ConvertStringToNPVariant(pszText, m_result))
            return Fail(u"ConvertStringToNPVariant", u"FAILED(hResult)", E_FAIL);
        return true;
    }

private:
    bool Fail(LPCWSTR pwszStep, LPCWSTR pwszReason, HRESULT hr) {
        KEVO_FAIL_W(m_pwszFunction, pwszStep, pwszReason, hr);
        return false;
    }

    LPCWSTR m_pwszFunction;
    bool m_bBoolResult;
    const NPVariant* m_args;
    uint32_t m_argCount;
    NPVariant* m_result;
};

// The methods without arguments that answer the agent's text.
template <typename Call>
bool TextMethod(LPCWSTR F, LPCWSTR pwszCountStep, HRESULT hCountCode, LPCWSTR pwszOperation, LPCWSTR pwszConvertStep,
                const NPVariant* args, uint32_t argCount, NPVariant* result, Call call) {
    TraceHelper th(F);
    MethodCall c(F, false, args, argCount, result);
    if (!c.Start({}, pwszCountStep, u"argCount != 0", hCountCode)) return false;
    tessaro::UniqueBstr bstrText;
    return c.Agent(pwszOperation, call(bstrText.put())) && c.FinishString(bstrText.get(), pwszConvertStep);
}

const WCHAR NUMBER_STRING_CHECK[] =
    u"(argCount != 2 || (args[0].type != NPVariantType_Int32 && args[0].type != NPVariantType_Double) || "
    u"args[1].type != NPVariantType_String)";
const WCHAR STRING_CHECK[] = u"(argCount != 1 || args[0].type != NPVariantType_String)";
const WCHAR IMPORT_ENCRYPT_CHECK[] =
    u"(argCount != 4 || args[0].type != NPVariantType_String || args[1].type != NPVariantType_String || "
    u"args[2].type != NPVariantType_String || (args[3].type != NPVariantType_Int32 && args[3].type != "
    u"NPVariantType_Double))";
const WCHAR IMPORT_SIGN_CHECK[] =
    u"(argCount != 3 || (args[0].type != NPVariantType_Int32 && args[0].type != NPVariantType_Double) || "
    u"args[1].type != NPVariantType_String || args[2].type != NPVariantType_String)";
const WCHAR REQUEST_CHECK[] =
    u"(argCount != 3 || args[0].type != NPVariantType_String || (args[1].type != NPVariantType_Int32 && "
    u"args[1].type != NPVariantType_Double) || (args[2].type != NPVariantType_Int32 && args[2].type != "
    u"NPVariantType_Double))";

}  // namespace

// ---- conversions ----

HRESULT ConverNPStringtoNULLEndString(const NPString& npString, char** ppszString) {
    if (ppszString == nullptr) return E_POINTER;
    *ppszString = nullptr;
    if (npString.UTF8Length != 0 && npString.UTF8Characters == nullptr) return E_INVALIDARG;
    char* psz = new (std::nothrow) char[static_cast<size_t>(npString.UTF8Length) + 1];
    if (psz == nullptr) return KEVO_FAILED_W(u"ConverNPStringtoNULLEndString", u"new", u"New Memory", E_OUTOFMEMORY);
    if (npString.UTF8Length) std::memcpy(psz, npString.UTF8Characters, npString.UTF8Length);
    psz[npString.UTF8Length] = '\0';
    *ppszString = psz;
    return S_OK;
}

HRESULT NPVariantToLong(const NPVariant& npVariant, LONG* pnValue) {
    if (pnValue == nullptr) return E_POINTER;
    *pnValue = -1;
    if (npVariant.type == NPVariantType_Int32) {
        *pnValue = npVariant.value.intValue;
        return S_OK;
    }
    if (npVariant.type == NPVariantType_Double) {
        double d = npVariant.value.doubleValue;
        // Truncation of anything else would be undefined and name a
        // different key length or flag than the page gave.
        if (!std::isfinite(d)) return E_INVALIDARG;
        double t = std::trunc(d);
        if (t < -2147483648.0 || t > 2147483647.0) return E_INVALIDARG;
        *pnValue = static_cast<LONG>(t);
        return S_OK;
    }
    return E_INVALIDARG;
}

bool ConvertStringToNPVariant(const char* pszText, NPVariant* pResult) {
    if (pszText == nullptr || pResult == nullptr) return false;
    size_t cch = std::strlen(pszText);
    if (cch >= 0xFFFFFFFFu) return false;
    auto* p = static_cast<char*>(NPN_MemAlloc(static_cast<uint32_t>(cch + 1)));
    if (p == nullptr) return false;
    std::memset(p, 0, cch + 1);
    std::memcpy(p, pszText, cch);
    STRINGN_TO_NPVARIANT(p, static_cast<uint32_t>(cch), *pResult);
    return true;
}

// ---- the base object and the trampolines ----

void CScriptablePluginObjectBase::Invalidate() {}
bool CScriptablePluginObjectBase::HasMethod(NPIdentifier) { return false; }
bool CScriptablePluginObjectBase::Invoke(NPIdentifier, const NPVariant*, uint32_t, NPVariant*) { return false; }
bool CScriptablePluginObjectBase::InvokeDefault(const NPVariant*, uint32_t, NPVariant*) { return false; }
bool CScriptablePluginObjectBase::HasProperty(NPIdentifier) { return false; }
bool CScriptablePluginObjectBase::GetProperty(NPIdentifier, NPVariant*) { return false; }
bool CScriptablePluginObjectBase::SetProperty(NPIdentifier, const NPVariant*) { return false; }
bool CScriptablePluginObjectBase::RemoveProperty(NPIdentifier) { return false; }
bool CScriptablePluginObjectBase::Enumerate(NPIdentifier**, uint32_t*) { return false; }
bool CScriptablePluginObjectBase::Construct(const NPVariant*, uint32_t, NPVariant*) { return false; }

namespace {
CScriptablePluginObjectBase* Owner(NPObject* npobj) { return static_cast<CScriptablePluginObjectBase*>(npobj); }
}  // namespace

void CScriptablePluginObjectBase::_Deallocate(NPObject* npobj) {
    if (npobj == nullptr) return;
    delete Owner(npobj);
}
void CScriptablePluginObjectBase::_Invalidate(NPObject* npobj) {
    if (npobj) Owner(npobj)->Invalidate();
}
bool CScriptablePluginObjectBase::_HasMethod(NPObject* npobj, NPIdentifier name) {
    return npobj && Owner(npobj)->HasMethod(name);
}
bool CScriptablePluginObjectBase::_Invoke(NPObject* npobj, NPIdentifier name, const NPVariant* args,
                                          uint32_t argCount, NPVariant* result) {
    const bool ok = npobj && result && Owner(npobj)->Invoke(name, args, argCount, result);
    // What the call changed is on the disk before the page hears of it.
    if (tessaro_platform::RegistryMakeDurable() != ERROR_SUCCESS)
        KEVO_FAIL_W(u"Invoke", u"RegistryMakeDurable", u"the changes may not be on the disk", E_FAIL);
    return ok;
}
bool CScriptablePluginObjectBase::_InvokeDefault(NPObject* npobj, const NPVariant* args, uint32_t argCount,
                                                 NPVariant* result) {
    return npobj && result && Owner(npobj)->InvokeDefault(args, argCount, result);
}
bool CScriptablePluginObjectBase::_HasProperty(NPObject* npobj, NPIdentifier name) {
    return npobj && Owner(npobj)->HasProperty(name);
}
bool CScriptablePluginObjectBase::_GetProperty(NPObject* npobj, NPIdentifier name, NPVariant* result) {
    return npobj && result && Owner(npobj)->GetProperty(name, result);
}
bool CScriptablePluginObjectBase::_SetProperty(NPObject* npobj, NPIdentifier name, const NPVariant* value) {
    return npobj && Owner(npobj)->SetProperty(name, value);
}
bool CScriptablePluginObjectBase::_RemoveProperty(NPObject* npobj, NPIdentifier name) {
    return npobj && Owner(npobj)->RemoveProperty(name);
}
bool CScriptablePluginObjectBase::_Enumerate(NPObject* npobj, NPIdentifier** identifier, uint32_t* count) {
    return npobj && Owner(npobj)->Enumerate(identifier, count);
}
bool CScriptablePluginObjectBase::_Construct(NPObject* npobj, const NPVariant* args, uint32_t argCount,
                                             NPVariant* result) {
    return npobj && result && Owner(npobj)->Construct(args, argCount, result);
}

NPObject* AllocateCScriptableObject(NPP npp, NPClass* aClass) {
    TraceHelper th(u"AllocateCScriptableObject");
    auto* p = new (std::nothrow) CScriptablePluginObject(npp);
    if (p == nullptr) {
        KEVO_FAIL_W(u"AllocateCScriptableObject", u"new", u"New Memory", E_OUTOFMEMORY);
        return nullptr;
    }
    return p;
}

NPClass g_ScriptablePluginClass = {
    NP_CLASS_STRUCT_VERSION,
    AllocateCScriptableObject,
    CScriptablePluginObjectBase::_Deallocate,
    CScriptablePluginObjectBase::_Invalidate,
    CScriptablePluginObjectBase::_HasMethod,
    CScriptablePluginObjectBase::_Invoke,
    CScriptablePluginObjectBase::_InvokeDefault,
    CScriptablePluginObjectBase::_HasProperty,
    CScriptablePluginObjectBase::_GetProperty,
    CScriptablePluginObjectBase::_SetProperty,
    CScriptablePluginObjectBase::_RemoveProperty,
    CScriptablePluginObjectBase::_Enumerate,
    CScriptablePluginObjectBase::_Construct,
};

// ---- the scriptable object ----

CScriptablePluginObject::CScriptablePluginObject(NPP npp)
    : CScriptablePluginObjectBase(npp), m_objCryptoAgent(g_hModule) {
    for (int i = 0; i < METHOD_COUNT; ++i) m_idMethods[i] = NPN_GetStringIdentifier(METHOD_NAMES[i]);
}

int CScriptablePluginObject::FindMethod(NPIdentifier name) const {
    if (name == nullptr) return -1;
    for (int i = 0; i < METHOD_COUNT; ++i)
        if (m_idMethods[i] == name) return i;
    return -1;
}

bool CScriptablePluginObject::HasMethod(NPIdentifier name) {
    return NPN_Available() && FindMethod(name) >= 0;
}

bool CScriptablePluginObject::Invoke(NPIdentifier name, const NPVariant* args, uint32_t argCount,
                                     NPVariant* result) {
    TraceHelper th(u"CScriptablePluginObject::Invoke");
    try {
        switch (FindMethod(name)) {
            case KEVO_GetCSPInfo_ID: return npKEVO_GetCSPInfo(args, argCount, result);
            case KEVO_SetCSPInfo_ID: return npKEVO_SetCSPInfo(args, argCount, result);
            case KEVO_SetKeyAlgorithm_ID: return npKEVO_SetKeyAlgorithm(args, argCount, result);
            case KEVO_ImportEncryptCert_ID: return npKEVO_ImportEncryptCert(args, argCount, result);
            case KEVO_GetContainer_ID: return npKEVO_GetContainer(args, argCount, result);
            case KEVO_ImportSignCert_ID: return npKEVO_ImportSignCert(args, argCount, result);
            case KEVO_PKCS10CertRequisition_ID: return npKEVO_PKCS10CertRequisition(args, argCount, result);
            case KEVO_GetAllCertInfo_ID: return npKEVO_GetAllCertInfo(args, argCount, result);
            case KEVO_PKCS10CertRequisitionwithMD5_ID:
                return npKEVO_PKCS10CertRequisitionwithMD5(args, argCount, result);
            case KEVO_GetVersion_ID: return npKEVO_GetVersion(args, argCount, result);
            case GetLastErrorDesc_ID: return npGetLastErrorDesc(args, argCount, result);
            default: break;
        }
    } catch (const std::bad_alloc&) {
        // The agent answers its own exhaustion; this catches what the
        // conversions around it ran out of. No exception may reach the
        // browser: the page sees a failed call.
        KEVO_FAIL_W(u"CScriptablePluginObject::Invoke", u"std::bad_alloc", u"out of memory", E_OUTOFMEMORY);
        if (result) NULL_TO_NPVARIANT(*result);
        return false;
    }
    // The name is asked for only when someone reads the trace.
    if (name != nullptr && KevoTraceEnabled(TRACE_FLAG_NEGATIVE_W)) {
        NPUTF8* pszName = NPN_UTF8FromIdentifier(name);
        KevoTraceValueA("Unknown method", pszName);
        NPN_MemFree(pszName);
    }
    KEVO_FAIL_W(u"CScriptablePluginObject::Invoke", u"Find method", u"no method of this name", E_NOTIMPL);
    return false;
}

bool CScriptablePluginObject::InvokeDefault(const NPVariant*, uint32_t, NPVariant* result) {
    TraceHelper th(u"CScriptablePluginObject::InvokeDefault");
    return ConvertStringToNPVariant("default method return val", result);
}

bool CScriptablePluginObject::HasProperty(NPIdentifier) { return false; }
bool CScriptablePluginObject::GetProperty(NPIdentifier, NPVariant*) { return false; }
bool CScriptablePluginObject::SetProperty(NPIdentifier, const NPVariant*) { return false; }

bool CScriptablePluginObject::npKEVO_GetCSPInfo(const NPVariant* args, uint32_t argCount, NPVariant* result) {
    return TextMethod(u"CScriptablePluginObject::npKEVO_GetCSPInfo", u"Check parameter", E_INVALIDARG,
                      u"KEVO_GetCSPInfo", u"UTF16ToUTF8 - CSPInfo", args, argCount, result,
                      [this](BSTR* pbstr) { return m_objCryptoAgent.KEVO_GetCSPInfo(pbstr); });
}

bool CScriptablePluginObject::npKEVO_SetCSPInfo(const NPVariant* args, uint32_t argCount, NPVariant* result) {
    LPCWSTR F = u"CScriptablePluginObject::npKEVO_SetCSPInfo";
    TraceHelper th(F);
    MethodCall c(F, true, args, argCount, result);
    tessaro::UniqueBstr bstrCSPName;
    if (!c.Start({Arg::Number, Arg::String}, u"Invalid parameters", NUMBER_STRING_CHECK, E_INVALIDARG) ||
        !c.StringArg(1, bstrCSPName))
        return false;
    return c.AgentBool(u"KEVO_SetCSPInfo", [&](VARIANT_BOOL* pvbSuccess) {
        return m_objCryptoAgent.KEVO_SetCSPInfo(c.NumberArg(0), bstrCSPName.get(), pvbSuccess);
    });
}

bool CScriptablePluginObject::npKEVO_SetKeyAlgorithm(const NPVariant* args, uint32_t argCount, NPVariant* result) {
    LPCWSTR F = u"CScriptablePluginObject::npKEVO_SetKeyAlgorithm";
    TraceHelper th(F);
    MethodCall c(F, true, args, argCount, result);
    tessaro::UniqueBstr bstrKeyAlgorithm;
    if (!c.Start({Arg::String}, u"Invalid parameters", STRING_CHECK, E_INVALIDARG) || !c.StringArg(0, bstrKeyAlgorithm))
        return false;
    return c.AgentBool(u"KEVO_SetKeyAlgorithm", [&](VARIANT_BOOL* pvbSuccess) {
        return m_objCryptoAgent.KEVO_SetKeyAlgorithm(bstrKeyAlgorithm.get(), pvbSuccess);
    });
}

bool CScriptablePluginObject::npKEVO_ImportEncryptCert(const NPVariant* args, uint32_t argCount,
                                                       NPVariant* result) {
    LPCWSTR F = u"CScriptablePluginObject::npKEVO_ImportEncryptCert";
    TraceHelper th(F);
    MethodCall c(F, true, args, argCount, result);
    tessaro::UniqueBstr bstrEncryptedPrivateKey, bstrEncryptPublicCert, bstrContainerName;
    if (!c.Start({Arg::String, Arg::String, Arg::String, Arg::Number}, u"Invalid parameters", IMPORT_ENCRYPT_CHECK,
                 E_INVALIDARG) ||
        !c.StringArg(0, bstrEncryptedPrivateKey) || !c.StringArg(1, bstrEncryptPublicCert) ||
        !c.StringArg(2, bstrContainerName))
        return false;
    return c.AgentBool(u"KEVO_ImportEncryptCert", [&](VARIANT_BOOL* pvbSuccess) {
        return m_objCryptoAgent.KEVO_ImportEncryptCert(bstrEncryptedPrivateKey.get(), bstrEncryptPublicCert.get(),
                                                       bstrContainerName.get(), c.NumberArg(3), pvbSuccess);
    });
}

bool CScriptablePluginObject::npKEVO_GetContainer(const NPVariant* args, uint32_t argCount, NPVariant* result) {
    return TextMethod(u"CScriptablePluginObject::npKEVO_GetContainer", u"Check parameters.", E_FAIL,
                      u"KEVO_GetContainer", u"UTF16ToUTF8 - ContainerName", args, argCount, result,
                      [this](BSTR* pbstr) { return m_objCryptoAgent.KEVO_GetContainer(pbstr); });
}

bool CScriptablePluginObject::npKEVO_ImportSignCert(const NPVariant* args, uint32_t argCount, NPVariant* result) {
    LPCWSTR F = u"CScriptablePluginObject::npKEVO_ImportSignCert";
    TraceHelper th(F);
    MethodCall c(F, true, args, argCount, result);
    tessaro::UniqueBstr bstrSignCert, bstrContainerName;
    if (!c.Start({Arg::Number, Arg::String, Arg::String}, u"Invalid parameters", IMPORT_SIGN_CHECK, E_INVALIDARG) ||
        !c.StringArg(1, bstrSignCert) || !c.StringArg(2, bstrContainerName))
        return false;
    return c.AgentBool(u"KEVO_ImportSignCert", [&](VARIANT_BOOL* pvbSuccess) {
        return m_objCryptoAgent.KEVO_ImportSignCert(c.NumberArg(0), bstrSignCert.get(), bstrContainerName.get(),
                                                    pvbSuccess);
    });
}

bool CScriptablePluginObject::PKCS10Requisition(LPCWSTR F, bool bMD5, const NPVariant* args, uint32_t argCount,
                                                NPVariant* result) {
    TraceHelper th(F);
    MethodCall c(F, false, args, argCount, result);
    tessaro::UniqueBstr bstrSubjectDN;
    if (!c.Start({Arg::String, Arg::Number, Arg::Number}, u"Invalid parameters", REQUEST_CHECK, E_INVALIDARG) ||
        !c.StringArg(0, bstrSubjectDN))
        return false;
    tessaro::UniqueBstr bstrPKCS10;
    HRESULT hr = bMD5 ? m_objCryptoAgent.KEVO_PKCS10CertRequisitionwithMD5(bstrSubjectDN.get(), c.NumberArg(1),
                                                                          c.NumberArg(2), bstrPKCS10.put())
                      : m_objCryptoAgent.KEVO_PKCS10CertRequisition(bstrSubjectDN.get(), c.NumberArg(1),
                                                                   c.NumberArg(2), bstrPKCS10.put());
    return c.Agent(bMD5 ? u"KEVO_PKCS10CertRequisitionwithMD5" : u"KEVO_PKCS10CertRequisition", hr) &&
           c.FinishString(bstrPKCS10.get(),
                          bMD5 ? u"UTF16ToUTF8 - P10CertRequisition." : u"UTF16ToUTF8 - PKCS10CertRequisition");
}

bool CScriptablePluginObject::npKEVO_PKCS10CertRequisition(const NPVariant* args, uint32_t argCount,
                                                           NPVariant* result) {
    return PKCS10Requisition(u"CScriptablePluginObject::npKEVO_PKCS10CertRequisition", false, args, argCount, result);
}

bool CScriptablePluginObject::npKEVO_PKCS10CertRequisitionwithMD5(const NPVariant* args, uint32_t argCount,
                                                                  NPVariant* result) {
    return PKCS10Requisition(u"CScriptablePluginObject::npKEVO_PKCS10CertRequisitionwithMD5", true, args, argCount,
                             result);
}

bool CScriptablePluginObject::npKEVO_GetAllCertInfo(const NPVariant* args, uint32_t argCount, NPVariant* result) {
    LPCWSTR F = u"CScriptablePluginObject::npKEVO_GetAllCertInfo";
    TraceHelper th(F);
    MethodCall c(F, false, args, argCount, result);
    tessaro::UniqueBstr bstrCSPName;
    if (!c.Start({Arg::String}, u"Invalid parameters", STRING_CHECK, E_INVALIDARG) || !c.StringArg(0, bstrCSPName))
        return false;
    tessaro::UniqueBstr bstrCertInfo;
    return c.Agent(u"KEVO_GetAllCertInfo", m_objCryptoAgent.KEVO_GetAllCertInfo(bstrCSPName.get(), bstrCertInfo.put())) &&
           c.FinishString(bstrCertInfo.get(), u"UTF16ToUTF8 - AllCertInfo");
}

bool CScriptablePluginObject::npKEVO_GetVersion(const NPVariant* args, uint32_t argCount, NPVariant* result) {
    LPCWSTR F = u"CScriptablePluginObject::npKEVO_GetVersion";
    TraceHelper th(F);
    MethodCall c(F, false, args, argCount, result);
    if (!c.Start({}, u"Check parameters.", u"argCount != 0", E_FAIL)) return false;
    return c.FinishText(KEVO_VERSION_TEXT);
}

bool CScriptablePluginObject::npGetLastErrorDesc(const NPVariant* args, uint32_t argCount, NPVariant* result) {
    return TextMethod(u"CScriptablePluginObject::npGetLastErrorDesc", u"Check parameters.", E_FAIL,
                      u"GetLastErrorDesc", u"UTF16ToUTF8 - LastErrorDesc", args, argCount, result,
                      [this](BSTR* pbstr) { return m_objCryptoAgent.GetLastErrorDesc(pbstr); });
}
