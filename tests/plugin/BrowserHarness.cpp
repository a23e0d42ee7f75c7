#include "tests/plugin/BrowserHarness.h"

#include <dlfcn.h>

#include <cstdlib>
#include <cstring>

namespace plugin_test {

namespace {
Browser* g_browser = nullptr;
}  // namespace

std::string PluginPath() { return TESSARO_PLUGIN_PATH; }

Value S(const std::string& s) {
    Value v;
    v.text = std::make_shared<std::string>(s);
    STRINGN_TO_NPVARIANT(v.text->data(), static_cast<uint32_t>(v.text->size()), v.v);
    return v;
}
Value I(int32_t n) {
    Value v;
    INT32_TO_NPVARIANT(n, v.v);
    return v;
}
Value D(double d) {
    Value v;
    DOUBLE_TO_NPVARIANT(d, v.v);
    return v;
}
Value B(bool b) {
    Value v;
    BOOLEAN_TO_NPVARIANT(b, v.v);
    return v;
}
Value Null() {
    Value v;
    NULL_TO_NPVARIANT(v.v);
    return v;
}
Value Void() {
    Value v;
    VOID_TO_NPVARIANT(v.v);
    return v;
}
Value O(NPObject* obj) {
    Value v;
    OBJECT_TO_NPVARIANT(obj, v.v);
    return v;
}

// The browser's side of the table.
struct BrowserServices {
    static void* MemAlloc(uint32_t size) {
        void* p = std::malloc(size ? size : 1);
        if (p) g_browser->m_allocations.insert(p);
        return p;
    }
    static void MemFree(void* p) {
        if (!p) return;
        if (g_browser->m_allocations.erase(p) == 0) {
            ++g_browser->strayFrees;
            return;
        }
        std::free(p);
    }
    static NPIdentifier GetStringIdentifier(const NPUTF8* name) {
        return name ? g_browser->Identifier(name) : nullptr;
    }
    static void GetStringIdentifiers(const NPUTF8** names, int32_t count, NPIdentifier* ids) {
        for (int32_t i = 0; i < count; ++i) ids[i] = GetStringIdentifier(names[i]);
    }
    static NPIdentifier GetIntIdentifier(int32_t n) { return g_browser->IntIdentifier(n); }
    static bool IdentifierIsString(NPIdentifier id) { return id && static_cast<Browser::Ident*>(id)->isString; }
    static NPUTF8* UTF8FromIdentifier(NPIdentifier id) {
        if (!IdentifierIsString(id)) return nullptr;
        const std::string& s = static_cast<Browser::Ident*>(id)->name;
        auto* p = static_cast<NPUTF8*>(MemAlloc(static_cast<uint32_t>(s.size() + 1)));
        if (p) std::memcpy(p, s.c_str(), s.size() + 1);
        return p;
    }
    static int32_t IntFromIdentifier(NPIdentifier id) {
        return id && !IdentifierIsString(id) ? static_cast<Browser::Ident*>(id)->number : 0;
    }
    static NPObject* CreateObject(NPP npp, NPClass* cls) {
        if (!cls) return nullptr;
        NPObject* obj = cls->allocate ? cls->allocate(npp, cls) : static_cast<NPObject*>(std::malloc(sizeof(NPObject)));
        if (!obj) return nullptr;
        obj->_class = cls;
        obj->referenceCount = 1;
        g_browser->m_objects.insert(obj);
        return obj;
    }
    static NPObject* RetainObject(NPObject* obj) {
        if (obj) ++obj->referenceCount;
        return obj;
    }
    static void ReleaseObject(NPObject* obj) {
        if (!obj) return;
        if (--obj->referenceCount == 0) {
            g_browser->m_objects.erase(obj);
            ++g_browser->deallocations;
            if (obj->_class && obj->_class->deallocate) obj->_class->deallocate(obj);
            else std::free(obj);
        }
    }
    static void ReleaseVariantValue(NPVariant* v) {
        if (v->type == NPVariantType_String) MemFree(const_cast<NPUTF8*>(v->value.stringValue.UTF8Characters));
        else if (v->type == NPVariantType_Object) ReleaseObject(v->value.objectValue);
        VOID_TO_NPVARIANT(*v);
    }
    static NPError GetValue(NPP, NPNVariable, void*) { return NPERR_GENERIC_ERROR; }
    static NPError SetValue(NPP, NPPVariable, void*) { return NPERR_GENERIC_ERROR; }
    static void SetException(NPObject*, const NPUTF8*) {}
};

Browser::Browser() {
    g_browser = this;
    // Kept mapped after dlclose, as browsers keep plug-ins that ask to: the
    // library's process-wide caches stay reachable for the leak checker.
    m_lib = dlopen(PluginPath().c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (!m_lib) {
        const char* e = dlerror();
        m_error = e ? e : "dlopen failed";
        return;
    }
    getEntryPoints = reinterpret_cast<NP_GetEntryPointsFunc>(dlsym(m_lib, "NP_GetEntryPoints"));
    initialize = reinterpret_cast<NP_InitializeFunc>(dlsym(m_lib, "NP_Initialize"));
    shutdown = reinterpret_cast<NP_ShutdownFunc>(dlsym(m_lib, "NP_Shutdown"));
    getMIMEDescription = reinterpret_cast<NP_GetMIMEDescriptionFunc>(dlsym(m_lib, "NP_GetMIMEDescription"));
    install = reinterpret_cast<NP_InstallFunc>(dlsym(m_lib, "NP_Install"));
    if (!getEntryPoints || !initialize || !shutdown || !getMIMEDescription || !install) m_error = "missing export";

    browserFuncs.size = sizeof(NPNetscapeFuncs);
    browserFuncs.version = (NP_VERSION_MAJOR << 8) | 27;
    browserFuncs.memalloc = BrowserServices::MemAlloc;
    browserFuncs.memfree = BrowserServices::MemFree;
    browserFuncs.getvalue = BrowserServices::GetValue;
    browserFuncs.setvalue = BrowserServices::SetValue;
    browserFuncs.getstringidentifier = BrowserServices::GetStringIdentifier;
    browserFuncs.getstringidentifiers = BrowserServices::GetStringIdentifiers;
    browserFuncs.getintidentifier = BrowserServices::GetIntIdentifier;
    browserFuncs.identifierisstring = BrowserServices::IdentifierIsString;
    browserFuncs.utf8fromidentifier = BrowserServices::UTF8FromIdentifier;
    browserFuncs.intfromidentifier = BrowserServices::IntFromIdentifier;
    browserFuncs.createobject = BrowserServices::CreateObject;
    browserFuncs.retainobject = BrowserServices::RetainObject;
    browserFuncs.releaseobject = BrowserServices::ReleaseObject;
    browserFuncs.releasevariantvalue = BrowserServices::ReleaseVariantValue;
    browserFuncs.setexception = BrowserServices::SetException;
    pluginFuncs.size = sizeof(NPPluginFuncs);
}

Browser::~Browser() {
    // Objects page script still holds go when the page goes.
    while (!m_objects.empty()) {
        NPObject* obj = *m_objects.begin();
        m_objects.erase(obj);
        if (obj->_class && obj->_class->deallocate) obj->_class->deallocate(obj);
    }
    Stop();
    for (void* p : m_allocations) std::free(p);
    if (m_lib) dlclose(m_lib);
    g_browser = nullptr;
}

bool Browser::Start() {
    if (!m_lib || !m_error.empty()) return false;
    if (getEntryPoints(&pluginFuncs) != NPERR_NO_ERROR) return false;
    if (initialize(&browserFuncs, nullptr) != NPERR_NO_ERROR) return false;
    m_started = true;
    return true;
}

void Browser::Stop() {
    if (m_started && shutdown) shutdown();
    m_started = false;
}

std::unique_ptr<Browser::Instance> Browser::NewInstance(int16_t* pErr) {
    auto inst = std::make_unique<Instance>();
    char mime[] = "application/npLumora.Tessaro.QIRTAL.x86";
    int16_t err = pluginFuncs.newp ? pluginFuncs.newp(mime, &inst->npp, 1, 0, nullptr, nullptr, nullptr)
                                   : NPERR_INVALID_FUNCTABLE_ERROR;
    if (pErr) *pErr = err;
    return err == NPERR_NO_ERROR ? std::move(inst) : nullptr;
}

int16_t Browser::Destroy(Instance& inst) { return pluginFuncs.destroy(&inst.npp, nullptr); }

NPObject* Browser::ScriptObject(Instance& inst, int16_t* pErr) {
    NPObject* obj = nullptr;
    int16_t err = pluginFuncs.getvalue(&inst.npp, NPPVpluginScriptableNPObject, &obj);
    if (pErr) *pErr = err;
    return err == NPERR_NO_ERROR ? obj : nullptr;
}

Result Browser::Call(NPObject* obj, const std::string& method, const std::vector<Value>& args) {
    Result r;
    NPIdentifier id = Identifier(method);
    lastHasMethod = obj->_class->hasMethod(obj, id);
    std::vector<NPVariant> argv;
    for (const Value& v : args) argv.push_back(v.v);
    NPVariant result;
    VOID_TO_NPVARIANT(result);
    r.ok = obj->_class->invoke(obj, id, argv.empty() ? nullptr : argv.data(), static_cast<uint32_t>(argv.size()),
                               &result);
    r.type = result.type;
    if (result.type == NPVariantType_Bool) r.boolValue = result.value.boolValue;
    if (result.type == NPVariantType_Int32) r.intValue = result.value.intValue;
    if (result.type == NPVariantType_String) {
        const NPString& s = result.value.stringValue;
        r.text.assign(s.UTF8Characters, s.UTF8Length);
        r.textFromAllocator = m_allocations.count(const_cast<NPUTF8*>(s.UTF8Characters)) != 0 &&
                              s.UTF8Characters[s.UTF8Length] == '\0';
    }
    BrowserServices::ReleaseVariantValue(&result);
    return r;
}

void Browser::Release(NPObject* obj) { BrowserServices::ReleaseObject(obj); }

NPIdentifier Browser::Identifier(const std::string& name) {
    auto& slot = m_stringIds[name];
    if (!slot) slot.reset(new Ident{true, name, 0});
    return slot.get();
}

NPIdentifier Browser::IntIdentifier(int32_t n) {
    auto& slot = m_intIds[n];
    if (!slot) slot.reset(new Ident{false, "", n});
    return slot.get();
}

}  // namespace plugin_test
