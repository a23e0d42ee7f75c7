// The scriptable object page script calls: the browser-visible NPObject,
// the eleven enrollment methods, and the value conversions between script
// values and the agent's argument types.
#pragma once

#include "agent/CryptoAgent.h"
#include "plugin/npapi_abi.h"
#include "win/windows.h"

// Browser-visible header (class pointer, reference count) plus the instance
// that created the object. The base answers false to everything.
class CScriptablePluginObjectBase : public NPObject {
public:
    explicit CScriptablePluginObjectBase(NPP npp) : m_npp(npp) {
        _class = nullptr;
        referenceCount = 0;
    }
    virtual ~CScriptablePluginObjectBase() = default;
    CScriptablePluginObjectBase(const CScriptablePluginObjectBase&) = delete;
    CScriptablePluginObjectBase& operator=(const CScriptablePluginObjectBase&) = delete;

    virtual void Invalidate();
    virtual bool HasMethod(NPIdentifier name);
    virtual bool Invoke(NPIdentifier name, const NPVariant* args, uint32_t argCount, NPVariant* result);
    virtual bool InvokeDefault(const NPVariant* args, uint32_t argCount, NPVariant* result);
    virtual bool HasProperty(NPIdentifier name);
    virtual bool GetProperty(NPIdentifier name, NPVariant* result);
    virtual bool SetProperty(NPIdentifier name, const NPVariant* value);
    virtual bool RemoveProperty(NPIdentifier name);
    virtual bool Enumerate(NPIdentifier** identifier, uint32_t* count);
    virtual bool Construct(const NPVariant* args, uint32_t argCount, NPVariant* result);

    // The class record's entries: the browser's NPObject pointer back to the
    // owning object, then the matching virtual operation.
    static void _Deallocate(NPObject* npobj);
    static void _Invalidate(NPObject* npobj);
    static bool _HasMethod(NPObject* npobj, NPIdentifier name);
    static bool _Invoke(NPObject* npobj, NPIdentifier name, const NPVariant* args, uint32_t argCount,
                        NPVariant* result);
    static bool _InvokeDefault(NPObject* npobj, const NPVariant* args, uint32_t argCount, NPVariant* result);
    static bool _HasProperty(NPObject* npobj, NPIdentifier name);
    static bool _GetProperty(NPObject* npobj, NPIdentifier name, NPVariant* result);
    static bool _SetProperty(NPObject* npobj, NPIdentifier name, const NPVariant* value);
    static bool _RemoveProperty(NPObject* npobj, NPIdentifier name);
    static bool _Enumerate(NPObject* npobj, NPIdentifier** identifier, uint32_t* count);
    static bool _Construct(NPObject* npobj, const NPVariant* args, uint32_t argCount, NPVariant* result);

protected:
    NPP m_npp;
};

class CScriptablePluginObject final : public CScriptablePluginObjectBase {
public:
    explicit CScriptablePluginObject(NPP npp);

    bool HasMethod(NPIdentifier name) override;
    bool Invoke(NPIdentifier name, const NPVariant* args, uint32_t argCount, NPVariant* result) override;
    bool InvokeDefault(const NPVariant* args, uint32_t argCount, NPVariant* result) override;
    bool HasProperty(NPIdentifier name) override;
    bool GetProperty(NPIdentifier name, NPVariant* result) override;
    bool SetProperty(NPIdentifier name, const NPVariant* value) override;

private:
    bool npKEVO_GetCSPInfo(const NPVariant* args, uint32_t argCount, NPVariant* result);
    bool npKEVO_SetCSPInfo(const NPVariant* args, uint32_t argCount, NPVariant* result);
    bool npKEVO_SetKeyAlgorithm(const NPVariant* args, uint32_t argCount, NPVariant* result);
    bool npKEVO_ImportEncryptCert(const NPVariant* args, uint32_t argCount, NPVariant* result);
    bool npKEVO_GetContainer(const NPVariant* args, uint32_t argCount, NPVariant* result);
    bool npKEVO_ImportSignCert(const NPVariant* args, uint32_t argCount, NPVariant* result);
    bool npKEVO_PKCS10CertRequisition(const NPVariant* args, uint32_t argCount, NPVariant* result);
    bool npKEVO_GetAllCertInfo(const NPVariant* args, uint32_t argCount, NPVariant* result);
    bool npKEVO_PKCS10CertRequisitionwithMD5(const NPVariant* args, uint32_t argCount, NPVariant* result);
    bool npKEVO_GetVersion(const NPVariant* args, uint32_t argCount, NPVariant* result);
    bool npGetLastErrorDesc(const NPVariant* args, uint32_t argCount, NPVariant* result);
    bool PKCS10Requisition(LPCWSTR pwszFunction, bool bMD5, const NPVariant* args, uint32_t argCount,
                           NPVariant* result);

    enum MethodIndex {
        KEVO_GetCSPInfo_ID,
        KEVO_SetCSPInfo_ID,
        KEVO_SetKeyAlgorithm_ID,
        KEVO_ImportEncryptCert_ID,
        KEVO_GetContainer_ID,
        KEVO_ImportSignCert_ID,
        KEVO_PKCS10CertRequisition_ID,
        KEVO_GetAllCertInfo_ID,
        KEVO_PKCS10CertRequisitionwithMD5_ID,
        KEVO_GetVersion_ID,
        GetLastErrorDesc_ID,
        METHOD_COUNT
    };
    int FindMethod(NPIdentifier name) const;

    NPIdentifier m_idMethods[METHOD_COUNT];
    CCryptoAgent m_objCryptoAgent;
};

// The class record of the scriptable object.
extern NPClass g_ScriptablePluginClass;

// Creates the object for the browser's NPN_CreateObject; null when memory is
// exhausted.
NPObject* AllocateCScriptableObject(NPP npp, NPClass* aClass);

// Script value conversions.
// Copies exactly UTF8Length bytes into a new zero-terminated buffer (delete[]).
HRESULT ConverNPStringtoNULLEndString(const NPString& npString, char** ppszString);
// Int32 as it is; a Double truncated toward zero when the result is a 32-bit
// integer. Anything else (another type, NaN, infinities, values outside the
// 32-bit range) is E_INVALIDARG with *pnValue = -1.
HRESULT NPVariantToLong(const NPVariant& npVariant, LONG* pnValue);
// A String result in memory from the browser's allocator; false for a null
// text or when the browser gives no memory (the result is then left alone).
bool ConvertStringToNPVariant(const char* pszText, NPVariant* pResult);
