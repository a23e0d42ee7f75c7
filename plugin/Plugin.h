// The plug-in instance object and the module-wide state the entry points
// keep: the library's module handle, the browser's services and the class
// of the scriptable object.
#pragma once

#include "plugin/npapi_abi.h"
#include "win/windows.h"

// Handle of this library's resources (error texts, CA chain documents).
extern HMODULE g_hModule;
// The scriptable object's class; null until NP_GetEntryPoints.
extern NPClass* g_pScriptableClass;

// The browser services the plug-in uses, through the private copy of the
// browser's table. Each answers null/false/nothing when the browser has not
// handed over its table, has taken it back (NP_Shutdown), or left the entry
// empty.
bool NPN_Available();
void* NPN_MemAlloc(uint32_t size);
void NPN_MemFree(void* ptr);
NPIdentifier NPN_GetStringIdentifier(const NPUTF8* name);
NPUTF8* NPN_UTF8FromIdentifier(NPIdentifier identifier);
NPObject* NPN_CreateObject(NPP npp, NPClass* aClass);
NPObject* NPN_RetainObject(NPObject* obj);
void NPN_ReleaseObject(NPObject* obj);

class CPlugin {
public:
    explicit CPlugin(NPP pNPInstance);
    ~CPlugin();
    CPlugin(const CPlugin&) = delete;
    CPlugin& operator=(const CPlugin&) = delete;

    // Gives the plug-in's reference to the scriptable object back.
    void shut();
    // The scriptable object, created on first demand and retained once more
    // for the caller on every call; null when it cannot be created.
    NPObject* GetScriptableObject();
    int16_t handleEvent(void* event);

private:
    NPP m_pNPInstance;
    NPObject* m_pScriptableObject;
    // Window state of the instance; the plug-in draws nothing.
    void* m_Window;
    NPBool m_bInitialized;
};
