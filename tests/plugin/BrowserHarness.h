// A browser as far as the plug-in can tell: it loads the library, hands over
// its function table (memory, identifiers, objects, variants), creates
// instances and calls the scriptable object the way page script would. It
// keeps books on every allocation, identifier and object so that tests can
// see leaks, stray frees and reference counts.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "plugin/npapi_abi.h"

namespace plugin_test {

std::string PluginPath();

// A script value handed to the plug-in: strings keep their bytes alive.
struct Value {
    NPVariant v{};
    std::shared_ptr<std::string> text;
};
Value S(const std::string& s);
Value I(int32_t n);
Value D(double d);
Value B(bool b);
Value Null();
Value Void();
Value O(NPObject* obj);

// What a call returned, copied out before the browser released the value.
struct Result {
    bool ok = false;
    NPVariantType type = NPVariantType_Void;
    bool boolValue = false;
    int32_t intValue = 0;
    std::string text;
    bool textFromAllocator = true;  // a String result's bytes came from the browser's allocator
};

class Browser {
public:
    Browser();
    ~Browser();
    Browser(const Browser&) = delete;
    Browser& operator=(const Browser&) = delete;

    bool loaded() const { return m_lib != nullptr; }
    const std::string& error() const { return m_error; }

    // Exports.
    NP_GetEntryPointsFunc getEntryPoints = nullptr;
    NP_InitializeFunc initialize = nullptr;
    NP_ShutdownFunc shutdown = nullptr;
    NP_GetMIMEDescriptionFunc getMIMEDescription = nullptr;
    NP_InstallFunc install = nullptr;

    // The table the browser hands over (size = the whole structure) and the
    // plug-in's table as the plug-in filled it.
    NPNetscapeFuncs browserFuncs{};
    NPPluginFuncs pluginFuncs{};

    // NP_GetEntryPoints then NP_Initialize, as a browser loads the plug-in.
    bool Start();
    // NP_Shutdown (once).
    void Stop();

    // One embedded object.
    struct Instance {
        NPP_t npp{};
    };
    std::unique_ptr<Instance> NewInstance(int16_t* pErr = nullptr);
    int16_t Destroy(Instance& inst);
    // NPPVpluginScriptableNPObject: the object with one reference for us.
    NPObject* ScriptObject(Instance& inst, int16_t* pErr = nullptr);

    // Page script: obj.method(args...). HasMethod is asked first, as an
    // engine does for a property lookup, and recorded in lastHasMethod.
    Result Call(NPObject* obj, const std::string& method, const std::vector<Value>& args = {});
    bool lastHasMethod = false;

    void Release(NPObject* obj);
    uint32_t RefCount(NPObject* obj) const { return obj->referenceCount; }
    bool Alive(NPObject* obj) const { return m_objects.count(obj) != 0; }

    // Books.
    size_t LiveAllocations() const { return m_allocations.size(); }
    size_t LiveObjects() const { return m_objects.size(); }
    int strayFrees = 0;
    int deallocations = 0;
    NPIdentifier Identifier(const std::string& name);
    NPIdentifier IntIdentifier(int32_t n);

private:
    friend struct BrowserServices;
    void* m_lib = nullptr;
    std::string m_error;
    bool m_started = false;
    std::set<void*> m_allocations;
    std::set<NPObject*> m_objects;
    struct Ident {
        bool isString;
        std::string name;
        int32_t number;
    };
    std::map<std::string, std::unique_ptr<Ident>> m_stringIds;
    std::map<int32_t, std::unique_ptr<Ident>> m_intIds;
};

}  // namespace plugin_test
