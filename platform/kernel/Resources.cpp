// Module handles, resources and string tables of the calling deliverable.
#include <cstdlib>
#include <cstring>

#include "platform/kernel/CaseFold.h"
#include "win/platform_resources.h"
#include "win/winbase.h"

using tessaro_platform::g_resourceModule;
using tessaro_platform::ResourceEntry;
using tessaro_platform::ResourceModule;

namespace {

constexpr WORD kEnglish = 1033;
constexpr WORD kChinese = 2052;

// Null means the calling deliverable; any other handle must be its table.
const ResourceModule* ModuleOf(HMODULE h) {
    const ResourceModule* own = &g_resourceModule;
    if (!h || reinterpret_cast<const ResourceModule*>(h) == own) return own;
    return nullptr;
}

bool RefMatches(LPCWSTR ref, const char16_t* text, WORD id) {
    if (IS_INTRESOURCE(ref)) return !text && id == static_cast<WORD>(reinterpret_cast<ULONG_PTR>(ref));
    if (!text) {
        // "#208" names resource 208, as on Windows.
        if (ref[0] == u'#') {
            unsigned long v = 0;
            size_t i = 1;
            for (; ref[i] >= u'0' && ref[i] <= u'9' && v <= 0xFFFF; ++i) v = v * 10 + (ref[i] - u'0');
            return i > 1 && ref[i] == 0 && v == id;
        }
        return false;
    }
    size_t i = 0;
    for (; ref[i] && text[i]; ++i)
        if (tessaro_platform::FoldCase(ref[i]) != tessaro_platform::FoldCase(text[i])) return false;
    return ref[i] == 0 && text[i] == 0;
}

bool IsOwnEntry(const ResourceModule* m, HRSRC h) {
    auto* e = reinterpret_cast<const ResourceEntry*>(h);
    return m && e >= m->entries && e < m->entries + m->entryCount && e->data;
}

}  // namespace

LANGID GetUserDefaultUILanguage() {
    // The first of LC_ALL, LC_MESSAGES, LANG that is set decides.
    for (const char* var : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* v = std::getenv(var);
        if (v && *v) return std::strncmp(v, "zh", 2) == 0 ? kChinese : kEnglish;
    }
    return kEnglish;
}

HMODULE GetModuleHandleW(LPCWSTR lpModuleName) {
    if (lpModuleName) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<HMODULE>(const_cast<ResourceModule*>(&g_resourceModule));
}

HRSRC FindResourceExW(HMODULE hModule, LPCWSTR lpType, LPCWSTR lpName, WORD wLanguage) {
    const ResourceModule* m = ModuleOf(hModule);
    if (!m) {
        SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
        return nullptr;
    }
    if (!lpType || !lpName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const ResourceEntry* best = nullptr;
    int bestRank = 99;
    bool typeSeen = false;
    for (size_t i = 0; i < m->entryCount; ++i) {
        const ResourceEntry& e = m->entries[i];
        if (!e.data || !RefMatches(lpType, e.typeName, e.typeId)) continue;
        typeSeen = true;
        if (!RefMatches(lpName, e.name, e.nameId)) continue;
        // Preference: the asked language, neutral, English, anything.
        int rank = e.language == wLanguage ? 0 : e.language == 0 ? 1 : e.language == kEnglish ? 2 : 3;
        if (rank < bestRank) {
            best = &e;
            bestRank = rank;
        }
    }
    if (!best) {
        SetLastError(typeSeen ? ERROR_RESOURCE_NAME_NOT_FOUND : ERROR_RESOURCE_TYPE_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<HRSRC>(const_cast<ResourceEntry*>(best));
}

HRSRC FindResourceW(HMODULE hModule, LPCWSTR lpName, LPCWSTR lpType) {
    return FindResourceExW(hModule, lpType, lpName, GetUserDefaultUILanguage());
}

HGLOBAL LoadResource(HMODULE hModule, HRSRC hResInfo) {
    const ResourceModule* m = ModuleOf(hModule);
    if (!IsOwnEntry(m, hResInfo)) {
        SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
        return nullptr;
    }
    // Resources are read-only data of the image; the "global" is their address.
    return const_cast<BYTE*>(reinterpret_cast<const ResourceEntry*>(hResInfo)->data);
}

LPVOID LockResource(HGLOBAL hResData) { return hResData; }

DWORD SizeofResource(HMODULE hModule, HRSRC hResInfo) {
    const ResourceModule* m = ModuleOf(hModule);
    if (!IsOwnEntry(m, hResInfo)) {
        SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
        return 0;
    }
    return reinterpret_cast<const ResourceEntry*>(hResInfo)->size;
}

int LoadStringW(HINSTANCE hInstance, UINT uID, LPWSTR lpBuffer, int cchBufferMax) {
    if (!lpBuffer || cchBufferMax < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const ResourceModule* m = ModuleOf(hInstance);
    if (!m) {
        SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
        if (cchBufferMax > 0) lpBuffer[0] = 0;
        return 0;
    }
    WORD want = GetUserDefaultUILanguage();
    const tessaro_platform::StringEntry* found = nullptr;
    const tessaro_platform::StringEntry* english = nullptr;
    for (size_t i = 0; i < m->stringCount; ++i) {
        const auto& s = m->strings[i];
        if (s.id != uID || s.length == 0) continue;
        if (s.language == want) found = &s;
        if (s.language == kEnglish) english = &s;
    }
    if (!found) found = english;  // a missing translation falls back to English
    if (!found) {
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        if (cchBufferMax > 0) lpBuffer[0] = 0;
        return 0;
    }
    if (cchBufferMax == 0) {
        // The caller gets a pointer to the read-only string itself.
        *reinterpret_cast<const WCHAR**>(lpBuffer) = found->text;
        return static_cast<int>(found->length);
    }
    size_t n = found->length;
    if (n > static_cast<size_t>(cchBufferMax) - 1) n = static_cast<size_t>(cchBufferMax) - 1;
    std::memcpy(lpBuffer, found->text, n * sizeof(WCHAR));
    lpBuffer[n] = 0;
    return static_cast<int>(n);
}
