// Loading libraries and looking up exports. The system DLLs the code asks
// for by name (advapi32, kernel32, ...) are this platform layer itself: they
// answer from a table of the functions we emulate; other names go to dlopen.
#include <dlfcn.h>

#include <cstring>
#include <mutex>
#include <new>
#include <set>
#include <string>

#include "platform/kernel/CaseFold.h"
#include "win/evntrace.h"
#include "win/winbase.h"

namespace {

struct Export {
    const char* name;
    void* address;
};

struct SystemModule {
    const char* name;
    const Export* exports;
    size_t count;
};

const Export kAdvapiExports[] = {
    {"TraceMessage", reinterpret_cast<void*>(&TraceMessage)},
    {"TraceMessageVa", reinterpret_cast<void*>(&TraceMessageVa)},
    {"RegisterTraceGuidsW", reinterpret_cast<void*>(&RegisterTraceGuidsW)},
    {"UnregisterTraceGuids", reinterpret_cast<void*>(&UnregisterTraceGuids)},
    {"GetTraceLoggerHandle", reinterpret_cast<void*>(&GetTraceLoggerHandle)},
    {"GetTraceEnableLevel", reinterpret_cast<void*>(&GetTraceEnableLevel)},
    {"GetTraceEnableFlags", reinterpret_cast<void*>(&GetTraceEnableFlags)},
    {"ControlTraceW", reinterpret_cast<void*>(&ControlTraceW)},
};
const Export kKernelExports[] = {
    {"GetLastError", reinterpret_cast<void*>(&GetLastError)},
    {"SetLastError", reinterpret_cast<void*>(&SetLastError)},
    {"GetCurrentProcessId", reinterpret_cast<void*>(&GetCurrentProcessId)},
    {"GetCurrentThreadId", reinterpret_cast<void*>(&GetCurrentThreadId)},
};

SystemModule g_systemModules[] = {
    {"advapi32", kAdvapiExports, sizeof(kAdvapiExports) / sizeof(kAdvapiExports[0])},
    {"kernel32", kKernelExports, sizeof(kKernelExports) / sizeof(kKernelExports[0])},
    {"ole32", nullptr, 0},
    {"oleaut32", nullptr, 0},
    {"shlwapi", nullptr, 0},
    {"crypt32", nullptr, 0},
};

SystemModule* FindSystemModule(LPCWSTR name) {
    // "ADVAPI32.DLL", "advapi32" and a path ending in either name the module.
    std::u16string n(name);
    size_t slash = n.find_last_of(u"\\/");
    if (slash != std::u16string::npos) n = n.substr(slash + 1);
    for (auto& c : n) c = tessaro_platform::FoldCase(c);
    if (n.size() > 4 && n.compare(n.size() - 4, 4, u".dll") == 0) n.resize(n.size() - 4);
    for (auto& m : g_systemModules) {
        std::u16string mn(m.name, m.name + std::strlen(m.name));
        if (n == mn) return &m;
    }
    return nullptr;
}

bool IsSystemModule(HMODULE h) {
    auto* p = reinterpret_cast<SystemModule*>(h);
    for (auto& m : g_systemModules)
        if (p == &m) return true;
    return false;
}

// Handles from dlopen; only these are handed to dlsym and dlclose.
std::mutex g_loadedMutex;
std::multiset<void*> g_loaded;  // one entry per successful LoadLibraryW

bool IsLoaded(HMODULE h) {
    std::lock_guard<std::mutex> lock(g_loadedMutex);
    return g_loaded.count(reinterpret_cast<void*>(h)) != 0;
}

std::string ToUtf8Path(LPCWSTR w) {
    int n = WideCharToMultiByte(CP_UTF8, 0, w, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 0) return std::string();
    std::string s(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w, -1, s.data(), n, nullptr, nullptr);
    s.resize(static_cast<size_t>(n - 1));
    for (auto& c : s)
        if (c == '\\') c = '/';
    return s;
}

}  // namespace

HMODULE LoadLibraryW(LPCWSTR lpLibFileName) try {
    if (!lpLibFileName || !*lpLibFileName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (SystemModule* m = FindSystemModule(lpLibFileName)) return reinterpret_cast<HMODULE>(m);
    std::string path = ToUtf8Path(lpLibFileName);
    void* h = path.empty() ? nullptr : dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!h) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(g_loadedMutex);
    g_loaded.insert(h);
    return reinterpret_cast<HMODULE>(h);
} catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
}

BOOL FreeLibrary(HMODULE hLibModule) {
    if (!hLibModule) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (IsSystemModule(hLibModule)) return TRUE;
    {
        std::lock_guard<std::mutex> lock(g_loadedMutex);
        auto it = g_loaded.find(reinterpret_cast<void*>(hLibModule));
        if (it == g_loaded.end()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        g_loaded.erase(it);
    }
    dlclose(reinterpret_cast<void*>(hLibModule));
    return TRUE;
}

void* GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
    if (!hModule || !lpProcName || IS_INTRESOURCE(reinterpret_cast<LPCWSTR>(lpProcName))) {
        SetLastError(hModule ? ERROR_PROC_NOT_FOUND : ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (IsSystemModule(hModule)) {
        auto* m = reinterpret_cast<SystemModule*>(hModule);
        for (size_t i = 0; i < m->count; ++i)
            if (std::strcmp(m->exports[i].name, lpProcName) == 0) return m->exports[i].address;
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    if (!IsLoaded(hModule)) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    dlerror();
    void* p = dlsym(reinterpret_cast<void*>(hModule), lpProcName);
    if (!p) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return p;
}
