// Provider registrations in the machine hive: the built-in ones written once
// per prefix, looked up by name (or by type for a null name), enumerated.
#include <mutex>
#include <new>
#include <string>

#include "platform/csp/CspProvider.h"
#include "win/platform_prefix.h"
#include "win/platform_registry.h"
#include "win/winreg.h"

#include "platform/csp/Sm2Provider.h"

namespace tessaro::csp {

namespace {

const char16_t kProviderRoot[] = u"SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider";
const char16_t kProviderTypesRoot[] = u"SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider Types";
const char16_t kMarkerKey[] = u"SOFTWARE\\Tessaro\\Crypto";
const char16_t kMarkerValue[] = u"ProvidersRegistered";

struct Builtin {
    const char16_t* name;
    DWORD type;
    const char16_t* image;
};

const Builtin kBuiltins[] = {
    {MS_DEF_PROV_W, PROV_RSA_FULL, CSP_IMAGE_RSA_BASE},
    {MS_ENHANCED_PROV_W, PROV_RSA_FULL, CSP_IMAGE_RSA_ENHANCED},
    {MS_STRONG_PROV_W, PROV_RSA_FULL, CSP_IMAGE_RSA_STRONG},
    {MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES, CSP_IMAGE_RSA_AES},
    {CSP_VENDOR_SM2_NAME, PROV_RSA_FULL, CSP_IMAGE_SM2_TOKEN},
    {CSP_VENDOR_RSA_NAME, PROV_RSA_FULL, CSP_IMAGE_RSA_TOKEN},
};

struct ProviderType {
    DWORD type;
    const char16_t* keyName;
    const char16_t* defaultName;
    const char16_t* typeName;
};

const ProviderType kTypes[] = {
    {PROV_RSA_FULL, u"Type 001", MS_STRONG_PROV_W, u"RSA Full (Signature and Key Exchange)"},
    {PROV_RSA_AES, u"Type 024", MS_ENH_RSA_AES_PROV_W, u"RSA Full and AES"},
};

struct HkeyCloser {
    HKEY h = nullptr;
    ~HkeyCloser() {
        if (h) RegCloseKey(h);
    }
};

LSTATUS SetDword(HKEY k, const char16_t* name, DWORD v) {
    return RegSetValueExW(k, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), sizeof(v));
}

LSTATUS SetString(HKEY k, const char16_t* name, const char16_t* s) {
    std::u16string v(s);
    return RegSetValueExW(k, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(v.c_str()),
                          static_cast<DWORD>((v.size() + 1) * sizeof(char16_t)));
}

// The registry's out-of-memory answer is no missing or broken registration:
// it goes up as the exception the CryptoAPI entry points turn into
// NTE_NO_MEMORY.
LSTATUS NoMemoryThrows(LSTATUS st) {
    if (st == ERROR_NOT_ENOUGH_MEMORY || st == ERROR_OUTOFMEMORY) throw std::bad_alloc();
    return st;
}

bool ReadDword(HKEY k, const char16_t* name, DWORD* out) {
    DWORD type = 0, v = 0, cb = sizeof(v);
    if (NoMemoryThrows(RegQueryValueExW(k, name, nullptr, &type, reinterpret_cast<BYTE*>(&v), &cb)) != ERROR_SUCCESS)
        return false;
    if (type != REG_DWORD || cb != sizeof(v)) return false;
    *out = v;
    return true;
}

bool ReadString(HKEY k, const char16_t* name, std::u16string* out) {
    DWORD type = 0, cb = 0;
    if (NoMemoryThrows(RegQueryValueExW(k, name, nullptr, &type, nullptr, &cb)) != ERROR_SUCCESS) return false;
    if ((type != REG_SZ && type != REG_EXPAND_SZ) || cb > 4096) return false;
    std::u16string s(cb / 2 + 1, u'\0');
    if (NoMemoryThrows(RegQueryValueExW(k, name, nullptr, &type, reinterpret_cast<BYTE*>(s.data()), &cb)) !=
        ERROR_SUCCESS)
        return false;
    s.resize(cb / 2);
    while (!s.empty() && s.back() == u'\0') s.pop_back();
    *out = s;
    return true;
}

// Running out of memory throws (see NoMemoryThrows) before anything is
// committed, so the registration is tried again by the next call.
void RegisterBuiltins() {
    tessaro_platform::RegistryTransaction tx(HKEY_LOCAL_MACHINE);
    if (NoMemoryThrows(tx.Status()) != ERROR_SUCCESS) return;  // a read-only machine hive stays as it is
    {
        HkeyCloser marker;
        if (NoMemoryThrows(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kMarkerKey, 0, KEY_READ, &marker.h)) == ERROR_SUCCESS) {
            DWORD done = 0;
            if (ReadDword(marker.h, kMarkerValue, &done) && done) return;
        }
    }
    auto created = [](const std::u16string& path, HkeyCloser& k) {
        return NoMemoryThrows(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                              nullptr, &k.h, nullptr)) == ERROR_SUCCESS;
    };
    for (const Builtin& b : kBuiltins) {
        HkeyCloser k;
        if (!created(std::u16string(kProviderRoot) + u"\\" + b.name, k)) return;
        if (NoMemoryThrows(SetDword(k.h, u"Type", b.type)) != ERROR_SUCCESS ||
            NoMemoryThrows(SetString(k.h, u"Image Path", b.image)) != ERROR_SUCCESS)
            return;
    }
    for (const ProviderType& t : kTypes) {
        HkeyCloser k;
        if (!created(std::u16string(kProviderTypesRoot) + u"\\" + t.keyName, k)) return;
        if (NoMemoryThrows(SetString(k.h, u"Name", t.defaultName)) != ERROR_SUCCESS ||
            NoMemoryThrows(SetString(k.h, u"TypeName", t.typeName)) != ERROR_SUCCESS)
            return;
    }
    HkeyCloser marker;
    if (!created(kMarkerKey, marker)) return;
    if (NoMemoryThrows(SetDword(marker.h, kMarkerValue, 1)) != ERROR_SUCCESS) return;
    NoMemoryThrows(tx.Commit());
}

}  // namespace

void CspEnsureBuiltinRegistration() {
    // Once per prefix and process; the marker value keeps other processes
    // (and later runs) from writing again.
    static std::mutex s_mutex;
    static std::string s_donePrefix;
    std::string prefix = tessaro_platform::PrefixDirectory();
    std::lock_guard<std::mutex> g(s_mutex);
    if (!prefix.empty() && prefix == s_donePrefix) return;
    RegisterBuiltins();
    s_donePrefix = prefix;
}

CspStatus CspLookupProvider(LPCWSTR pszName, DWORD dwProvType, CspProviderInfo* out) {
    std::u16string name;
    if (!pszName) {
        HkeyCloser t;
        char16_t typeKey[16];
        std::u16string path = std::u16string(kProviderTypesRoot) + u"\\Type ";
        DWORD v = dwProvType;
        typeKey[0] = static_cast<char16_t>(u'0' + (v / 100) % 10);
        typeKey[1] = static_cast<char16_t>(u'0' + (v / 10) % 10);
        typeKey[2] = static_cast<char16_t>(u'0' + v % 10);
        typeKey[3] = 0;
        path += typeKey;
        if (NoMemoryThrows(RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &t.h)) != ERROR_SUCCESS ||
            !ReadString(t.h, u"Name", &name) || name.empty())
            return CspCode(NTE_PROV_TYPE_NOT_DEF);
    } else {
        name = pszName;
    }
    if (name.empty() || name.size() > kCspMaxNameChars || name.find(u'\\') != std::u16string::npos)
        return CspCode(NTE_KEYSET_NOT_DEF);
    HkeyCloser k;
    std::u16string path = std::u16string(kProviderRoot) + u"\\" + name;
    if (NoMemoryThrows(RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &k.h)) != ERROR_SUCCESS)
        return CspCode(NTE_KEYSET_NOT_DEF);
    CspProviderInfo info;
    info.name = name;
    if (!ReadDword(k.h, u"Type", &info.dwType)) return CspCode(NTE_PROV_TYPE_ENTRY_BAD);
    if (!ReadString(k.h, u"Image Path", &info.imagePath)) return CspCode(NTE_PROV_DLL_NOT_FOUND);
    *out = info;
    return CSP_OK;
}

CspStatus CspCreateProvider(const CspProviderInfo& info, ProviderPtr* out) {
    ProviderPtr p;
    const std::u16string& img = info.imagePath;
    if (img == CSP_IMAGE_RSA_BASE || img == CSP_IMAGE_RSA_ENHANCED || img == CSP_IMAGE_RSA_STRONG ||
        img == CSP_IMAGE_RSA_AES)
        p = CreateMicrosoftRsaProvider(info);
    else if (img == CSP_IMAGE_RSA_TOKEN)
        p = CreateRsaTokenProvider(info);
    else if (img == CSP_IMAGE_SM2_TOKEN)
        p = CreateSm2TokenProvider(info);
    if (!p) return CspCode(NTE_PROV_DLL_NOT_FOUND);
    *out = std::move(p);
    return CSP_OK;
}

// Registered providers in registry order; entries without a usable name or
// type are skipped.
CspStatus CspEnumRegistered(DWORD dwIndex, std::u16string* name, DWORD* type) {
    HkeyCloser root;
    // Only a missing key means "no providers"; a hive that cannot be read is
    // a failure, never an empty list reported as success.
    LSTATUS rsOpen = NoMemoryThrows(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProviderRoot, 0, KEY_READ, &root.h));
    if (rsOpen == ERROR_FILE_NOT_FOUND) return ERROR_NO_MORE_ITEMS;
    if (rsOpen != ERROR_SUCCESS) return static_cast<CspStatus>(rsOpen);
    DWORD seen = 0;
    for (DWORD i = 0;; ++i) {
        WCHAR buf[256];
        DWORD cch = 256;
        LSTATUS rs = NoMemoryThrows(RegEnumKeyExW(root.h, i, buf, &cch, nullptr, nullptr, nullptr, nullptr));
        if (rs == ERROR_NO_MORE_ITEMS) return ERROR_NO_MORE_ITEMS;
        if (rs == ERROR_MORE_DATA) continue;
        if (rs != ERROR_SUCCESS) return CspCode(NTE_FAIL);
        std::u16string n(buf, cch);
        if (n.empty() || n.size() > kCspMaxNameChars) continue;
        HkeyCloser k;
        DWORD t = 0;
        if (NoMemoryThrows(RegOpenKeyExW(root.h, n.c_str(), 0, KEY_READ, &k.h)) != ERROR_SUCCESS ||
            !ReadDword(k.h, u"Type", &t))
            continue;
        if (seen++ == dwIndex) {
            *name = n;
            *type = t;
            return CSP_OK;
        }
    }
}

}  // namespace tessaro::csp
