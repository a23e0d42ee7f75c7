// One CPlugin per embedded object: it owns the plug-in's reference to the
// instance's scriptable object.
#include "plugin/Plugin.h"

#include "diag/Diagnostics.h"

#define TRACE_UNIT_W u"Plugin.cpp"

CPlugin::CPlugin(NPP pNPInstance)
    : m_pNPInstance(pNPInstance), m_pScriptableObject(nullptr), m_Window(nullptr), m_bInitialized(0) {}

CPlugin::~CPlugin() {
    TraceHelper th(u"CPlugin::~CPlugin");
    if (m_pScriptableObject) NPN_ReleaseObject(m_pScriptableObject);
    m_pScriptableObject = nullptr;
}

void CPlugin::shut() {
    m_Window = nullptr;
    m_bInitialized = 0;
}

NPObject* CPlugin::GetScriptableObject() {
    TraceHelper th(u"CPlugin::GetScriptableObject");
    if (m_pScriptableObject == nullptr) {
        if (g_pScriptableClass == nullptr) {
            KEVO_FAIL_W(u"CPlugin::GetScriptableObject", u"NPN_CreateObject", u"NULL == g_pScriptableClass", E_FAIL);
            return nullptr;
        }
        m_pScriptableObject = NPN_CreateObject(m_pNPInstance, g_pScriptableClass);
        if (m_pScriptableObject == nullptr) {
            KEVO_FAIL_W(u"CPlugin::GetScriptableObject", u"NPN_CreateObject", u"NULL == m_pScriptableObject",
                        E_OUTOFMEMORY);
            return nullptr;
        }
    }
    // The caller of NPPVpluginScriptableNPObject owns one reference.
    return NPN_RetainObject(m_pScriptableObject);
}

int16_t CPlugin::handleEvent(void* event) { return 0; }
