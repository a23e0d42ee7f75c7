// The library's exports and the instance callbacks the browser calls
// through the plug-in's function table.
#include <cstring>
#include <new>

#include "diag/Diagnostics.h"
#include "agent/FrontEnd.h"
#include "plugin/Plugin.h"
#include "plugin/ScriptablePluginObject.h"
#include "plugin/npapi_abi.h"
#include "win/platform_registry.h"

#define TRACE_UNIT_W u"npLumora.cpp"
#define NP_EXPORT extern "C" __attribute__((visibility("default")))

HMODULE g_hModule = nullptr;
NPClass* g_pScriptableClass = nullptr;

namespace {

// Private copy of the browser's table; valid between a successful
// NP_Initialize and NP_Shutdown.
NPNetscapeFuncs g_NPNFuncs;
bool g_bBrowserFuncs = false;

const char MIME_DESCRIPTION[] = "application/npLumora:*:npLumora certificate utilities";
const char PLUGIN_NAME[] = "NPRuntimeTest";
const char PLUGIN_DESCRIPTION[] = "NPRuntime scriptability API test plugin";

// Resources of the CA chain documents.
const UINT IDR_RSA_CHAIN_OPERATION = 208;
const UINT IDR_SM2_CHAIN_OPERATION = 209;
const UINT IDR_RSA_CHAIN_TEST = 210;
const UINT IDR_SM2_CHAIN_TEST = 211;

// The library's own resources, taken when it is loaded into a process.
__attribute__((constructor)) void AttachModule() { g_hModule = GetModuleHandleW(nullptr); }

CPlugin* PluginOf(NPP instance) { return instance ? static_cast<CPlugin*>(instance->pdata) : nullptr; }

void TraceStep(LPCWSTR pwszFunction, LPCWSTR pwszStep, HRESULT hResult) {
    if (FAILED(hResult)) KEVO_FAIL_W(pwszFunction, pwszStep, u"FAILED(hResult)", hResult);
    else KevoTraceStepW(pwszFunction, pwszStep, hResult);
}

}  // namespace

// ---- browser services ----

bool NPN_Available() { return g_bBrowserFuncs; }

void* NPN_MemAlloc(uint32_t size) {
    return g_bBrowserFuncs && g_NPNFuncs.memalloc ? g_NPNFuncs.memalloc(size) : nullptr;
}

void NPN_MemFree(void* ptr) {
    if (ptr && g_bBrowserFuncs && g_NPNFuncs.memfree) g_NPNFuncs.memfree(ptr);
}

NPIdentifier NPN_GetStringIdentifier(const NPUTF8* name) {
    return g_bBrowserFuncs && g_NPNFuncs.getstringidentifier ? g_NPNFuncs.getstringidentifier(name) : nullptr;
}

NPUTF8* NPN_UTF8FromIdentifier(NPIdentifier identifier) {
    return g_bBrowserFuncs && g_NPNFuncs.utf8fromidentifier ? g_NPNFuncs.utf8fromidentifier(identifier) : nullptr;
}

NPObject* NPN_CreateObject(NPP npp, NPClass* aClass) {
    return g_bBrowserFuncs && g_NPNFuncs.createobject ? g_NPNFuncs.createobject(npp, aClass) : nullptr;
}

NPObject* NPN_RetainObject(NPObject* obj) {
    return obj && g_bBrowserFuncs && g_NPNFuncs.retainobject ? g_NPNFuncs.retainobject(obj) : nullptr;
}

void NPN_ReleaseObject(NPObject* obj) {
    if (obj && g_bBrowserFuncs && g_NPNFuncs.releaseobject) g_NPNFuncs.releaseobject(obj);
}

// ---- instance callbacks ----

namespace {

NPError NPP_New(NPMIMEType pluginType, NPP instance, uint16_t mode, int16_t argc, char* argn[], char* argv[],
                NPSavedData* saved) {
    TraceHelper th(u"NPP_New");
    if (instance == nullptr) {
        KEVO_FAIL_W(u"NPP_New", u"Check instance", u"NULL == instance", E_INVALIDARG);
        return NPERR_INVALID_INSTANCE_ERROR;
    }
    KevoTraceValueA("pluginType", pluginType);
    KevoTraceValueN("mode", mode);
    // Without the browser's table the instance could never give out its object.
    if (!NPN_Available()) {
        KEVO_FAIL_W(u"NPP_New", u"Check browser", u"browser functions not available", E_FAIL);
        return NPERR_GENERIC_ERROR;
    }
    auto* pPlugin = new (std::nothrow) CPlugin(instance);
    if (pPlugin == nullptr) {
        KEVO_FAIL_W(u"NPP_New", u"new CPlugin", u"New Memory", E_OUTOFMEMORY);
        return NPERR_OUT_OF_MEMORY_ERROR;
    }
    instance->pdata = pPlugin;
    return NPERR_NO_ERROR;
}

NPError NPP_Destroy(NPP instance, NPSavedData** save) {
    TraceHelper th(u"NPP_Destroy");
    if (instance == nullptr) return NPERR_INVALID_INSTANCE_ERROR;
    if (CPlugin* pPlugin = PluginOf(instance)) {
        pPlugin->shut();
        delete pPlugin;
        instance->pdata = nullptr;
    }
    return NPERR_NO_ERROR;
}

NPError NPP_SetWindow(NPP instance, NPWindow* window) {
    TraceHelper th(u"NPP_SetWindow");
    return instance ? NPERR_NO_ERROR : NPERR_INVALID_INSTANCE_ERROR;
}

NPError NPP_NewStream(NPP instance, NPMIMEType type, NPStream* stream, NPBool seekable, uint16_t* stype) {
    TraceHelper th(u"NPP_NewStream");
    return instance ? NPERR_NO_ERROR : NPERR_INVALID_INSTANCE_ERROR;
}

NPError NPP_DestroyStream(NPP instance, NPStream* stream, NPReason reason) {
    TraceHelper th(u"NPP_DestroyStream");
    return instance ? NPERR_NO_ERROR : NPERR_INVALID_INSTANCE_ERROR;
}

void NPP_StreamAsFile(NPP instance, NPStream* stream, const char* fname) {
    TraceHelper th(u"NPP_StreamAsFile");
}

int32_t NPP_WriteReady(NPP instance, NPStream* stream) {
    TraceHelper th(u"NPP_WriteReady");
    return instance ? 0x0FFFFFFF : NPERR_INVALID_INSTANCE_ERROR;
}

// The data is accepted and dropped.
int32_t NPP_Write(NPP instance, NPStream* stream, int32_t offset, int32_t len, void* buffer) {
    TraceHelper th(u"NPP_Write");
    return instance ? len : NPERR_INVALID_INSTANCE_ERROR;
}

void NPP_Print(NPP instance, NPPrint* platformPrint) {
    TraceHelper th(u"NPP_Print");
}

int16_t NPP_HandleEvent(NPP instance, void* event) {
    TraceHelper th(u"NPP_HandleEvent");
    CPlugin* pPlugin = PluginOf(instance);
    return pPlugin ? pPlugin->handleEvent(event) : 0;
}

void NPP_URLNotify(NPP instance, const char* url, NPReason reason, void* notifyData) {
    TraceHelper th(u"NPP_URLNotify");
}

NPError NPP_GetValue(NPP instance, NPPVariable variable, void* value) {
    TraceHelper th(u"NPP_GetValue");
    if (instance == nullptr) return NPERR_INVALID_INSTANCE_ERROR;
    CPlugin* pPlugin = PluginOf(instance);
    KevoTraceValueN("variable", static_cast<LONG>(variable));
    if (pPlugin == nullptr) return NPERR_GENERIC_ERROR;
    // Nothing is made (and no reference taken) that could not be handed over.
    if (value == nullptr) return NPERR_INVALID_PARAM;
    switch (variable) {
        case NPPVpluginNameString:
            *static_cast<const char**>(value) = PLUGIN_NAME;
            return NPERR_NO_ERROR;
        case NPPVpluginDescriptionString:
            *static_cast<const char**>(value) = PLUGIN_DESCRIPTION;
            return NPERR_NO_ERROR;
        case NPPVpluginNeedsXEmbed:
            *static_cast<NPBool*>(value) = 1;
            return NPERR_NO_ERROR;
        case NPPVpluginScriptableNPObject: {
            NPObject* pObject = pPlugin->GetScriptableObject();
            *static_cast<NPObject**>(value) = pObject;
            return pObject ? NPERR_NO_ERROR : NPERR_GENERIC_ERROR;
        }
        default:
            return NPERR_GENERIC_ERROR;
    }
}

NPError NPP_SetValue(NPP instance, NPNVariable variable, void* value) {
    TraceHelper th(u"NPP_SetValue");
    return instance ? NPERR_NO_ERROR : NPERR_INVALID_INSTANCE_ERROR;
}

// Only the entries up to setvalue: a browser's table may end there.
NPError FillTable(NPPluginFuncs* pFuncs) {
    if (pFuncs == nullptr || pFuncs->size < NP_PLUGINFUNCS_MIN_SIZE) return NPERR_INVALID_FUNCTABLE_ERROR;
    pFuncs->version = (NP_VERSION_MAJOR << 8) | NP_VERSION_MINOR;
    pFuncs->newp = NPP_New;
    pFuncs->destroy = NPP_Destroy;
    pFuncs->setwindow = NPP_SetWindow;
    pFuncs->newstream = NPP_NewStream;
    pFuncs->destroystream = NPP_DestroyStream;
    pFuncs->asfile = NPP_StreamAsFile;
    pFuncs->writeready = NPP_WriteReady;
    pFuncs->write = NPP_Write;
    pFuncs->print = NPP_Print;
    pFuncs->event = NPP_HandleEvent;
    pFuncs->urlnotify = NPP_URLNotify;
    pFuncs->javaClass = nullptr;
    pFuncs->getvalue = NPP_GetValue;
    pFuncs->setvalue = NPP_SetValue;
    return NPERR_NO_ERROR;
}

}  // namespace

// ---- exports ----

NP_EXPORT NPError NP_GetEntryPoints(NPPluginFuncs* pFuncs) {
    TraceHelper th(u"NP_GetEntryPoints");
    g_pScriptableClass = &g_ScriptablePluginClass;
    NPError err = FillTable(pFuncs);
    if (err != NPERR_NO_ERROR)
        KEVO_FAIL_W(u"NP_GetEntryPoints", u"Check table", u"NULL == pFuncs || pFuncs->size < minimum", E_INVALIDARG);
    return err;
}

NP_EXPORT NPError NP_Initialize(NPNetscapeFuncs* bFuncs, NPPluginFuncs* pFuncs) {
    bool bWasInitialized = g_bBrowserFuncs;
    KevoTraceRegister();
    // Every scripted call syncs what it changed before it returns, once.
    tessaro_platform::RegistryDeferDurability(true);
    TraceHelper th(u"NP_Initialize");
    NPError err = NPERR_NO_ERROR;
    if (bFuncs == nullptr || bFuncs->size < NP_NETSCAPEFUNCS_MIN_SIZE) {
        KEVO_FAIL_W(u"NP_Initialize", u"Check table", u"NULL == bFuncs || bFuncs->size < minimum", E_INVALIDARG);
        err = NPERR_INVALID_FUNCTABLE_ERROR;
    } else if ((bFuncs->version >> 8) > NP_VERSION_MAJOR) {
        KEVO_FAIL_W(u"NP_Initialize", u"Check version", u"major version above 0", E_INVALIDARG);
        err = NPERR_INCOMPATIBLE_VERSION_ERROR;
    } else if (pFuncs != nullptr && NP_GetEntryPoints(pFuncs) != NPERR_NO_ERROR) {
        err = NPERR_INVALID_FUNCTABLE_ERROR;
    }
    if (err != NPERR_NO_ERROR) {
        // A failed start leaves nothing registered that no NP_Shutdown would undo.
        if (!bWasInitialized) KevoTraceUnregister();
        return err;
    }
    // Entries past the browser's table stay empty.
    std::memset(&g_NPNFuncs, 0, sizeof(g_NPNFuncs));
    std::memcpy(&g_NPNFuncs, bFuncs, bFuncs->size < sizeof(g_NPNFuncs) ? bFuncs->size : sizeof(g_NPNFuncs));
    g_bBrowserFuncs = true;
    return NPERR_NO_ERROR;
}

NP_EXPORT NPError NP_Shutdown(void) {
    {
        TraceHelper th(u"NP_Shutdown");
        // The browser's services are not to be called once it has let go.
        g_bBrowserFuncs = false;
        std::memset(&g_NPNFuncs, 0, sizeof(g_NPNFuncs));
    }
    KevoTraceUnregister();
    return NPERR_NO_ERROR;
}

NP_EXPORT const char* NP_GetMIMEDescription(void) {
    TraceHelper th(u"NP_GetMIMEDescription");
    return MIME_DESCRIPTION;
}

NP_EXPORT void NP_Install(void) {
    LPCWSTR F = u"NP_Install";
    TraceHelper th(F);
    // The platform's apartment state is private to this library, so no
    // caller can initialise it for us.
    HRESULT hrCom = CoInitialize(nullptr);
    if (FAILED(hrCom)) KEVO_FAIL_W(F, u"CoInitialize", u"FAILED(hResult)", hrCom);
    TraceStep(F, u"DeleteRSADiscardCert", DeleteRSADiscardCert());
    TraceStep(F, u"DeleteSM2DiscardCert", DeleteSM2DiscardCert());
    TraceStep(F, u"ImportCertificateChainfromResoure(RSA operation)",
              ImportCertificateChainfromResoure(IDR_RSA_CHAIN_OPERATION));
    TraceStep(F, u"ImportCertificateChainfromResoure(SM2 operation)",
              ImportCertificateChainfromResoure(IDR_SM2_CHAIN_OPERATION));
    TraceStep(F, u"ImportCertificateChainfromResoure(RSA test)", ImportCertificateChainfromResoure(IDR_RSA_CHAIN_TEST));
    TraceStep(F, u"ImportCertificateChainfromResoure(SM2 test)", ImportCertificateChainfromResoure(IDR_SM2_CHAIN_TEST));
    if (SUCCEEDED(hrCom)) CoUninitialize();
}
