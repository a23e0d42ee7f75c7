// Provider registrations in the machine hive: the built-in ones written once
// per prefix, looked up by name (or by type for a null name), enumerated.
#include <initializer_list>
#include <map>
#include <mutex>
#include <new>
#include <string>

#include "platform/csp/CspProvider.h"
#include "tessaro/Handles.h"
#include "win/platform_prefix.h"
#include "win/platform_registry.h"
#include "win/winreg.h"

#include "platform/csp/Pkcs11TokenProvider.h"
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

// The registry's out-of-memory answer is no missing or broken registration:
// it goes up as the exception the CryptoAPI entry points turn into
// NTE_NO_MEMORY.
LSTATUS NoMemoryThrows(LSTATUS st) {
    if (st == ERROR_NOT_ENOUGH_MEMORY || st == ERROR_OUTOFMEMORY) throw std::bad_alloc();
    return st;
}

bool OpenKey(HKEY parent, const char16_t* path, UniqueHkey& k) {
    return NoMemoryThrows(RegOpenKeyExW(parent, path, 0, KEY_READ, k.put())) == ERROR_SUCCESS;
}

// A value to register: a DWORD, or a string when text is set.
struct RegValue {
    const char16_t* name;
    DWORD number;
    const char16_t* text;
};

RegValue Number(const char16_t* name, DWORD v) { return {name, v, nullptr}; }
RegValue Text(const char16_t* name, const char16_t* s) { return {name, 0, s}; }

LSTATUS SetValue(HKEY k, const RegValue& v) {
    if (!v.text) return RegSetValueExW(k, v.name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v.number), sizeof(DWORD));
    std::u16string s(v.text);
    return RegSetValueExW(k, v.name, 0, REG_SZ, reinterpret_cast<const BYTE*>(s.c_str()),
                          static_cast<DWORD>((s.size() + 1) * sizeof(char16_t)));
}

// Creates (or opens) the machine key at path and writes the values in order;
// false at the first failure.
bool WriteKey(const std::u16string& path, std::initializer_list<RegValue> values) {
    UniqueHkey k;
    if (NoMemoryThrows(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                       k.put(), nullptr)) != ERROR_SUCCESS)
        return false;
    for (const RegValue& v : values)
        if (NoMemoryThrows(SetValue(k.get(), v)) != ERROR_SUCCESS) return false;
    return true;
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
bool Registered() {
    UniqueHkey marker;
    DWORD done = 0;
    return OpenKey(HKEY_LOCAL_MACHINE, kMarkerKey, marker) && ReadDword(marker.get(), kMarkerValue, &done) && done;
}

void RegisterBuiltins() {
    // A prefix that has them is only read: no write transaction, so a full or
    // read-only disk does not stop the providers.
    if (Registered()) return;
    tessaro_platform::RegistryTransaction tx(HKEY_LOCAL_MACHINE);
    if (NoMemoryThrows(tx.Status()) != ERROR_SUCCESS) return;  // a read-only machine hive stays as it is
    if (Registered()) return;  // another process was first
    for (const Builtin& b : kBuiltins)
        if (!WriteKey(std::u16string(kProviderRoot) + u"\\" + b.name,
                      {Number(u"Type", b.type), Text(u"Image Path", b.image)}))
            return;
    for (const ProviderType& t : kTypes)
        if (!WriteKey(std::u16string(kProviderTypesRoot) + u"\\" + t.keyName,
                      {Text(u"Name", t.defaultName), Text(u"TypeName", t.typeName)}))
            return;
    if (!WriteKey(kMarkerKey, {Number(kMarkerValue, 1)})) return;
    NoMemoryThrows(tx.Commit());
}

}  // namespace

void CspEnsureBuiltinRegistration() {
    // Once per prefix and process (known by the environment's name for it,
    // so acquiring a context does not examine the directory again); the
    // marker value keeps other processes (and later runs) from writing again.
    static std::mutex s_mutex;
    static std::string s_doneName;
    std::string name = tessaro_platform::PrefixPath();
    std::lock_guard<std::mutex> g(s_mutex);
    if (!s_doneName.empty() && name == s_doneName) return;
    if (tessaro_platform::PrefixDirectory().empty()) return;
    RegisterBuiltins();
    s_doneName = name;
}

namespace {

// Registrations found by name, kept while the machine hive stays as it was:
// every CryptAcquireContextW looks its provider up, a listing once for each
// container it reads.
struct FoundRegistrations {
    std::mutex mutex;
    uint64_t version = 0;
    std::map<std::u16string, CspProviderInfo> byName;
};

FoundRegistrations& Found() {
    static auto* f = new FoundRegistrations();
    return *f;
}

}  // namespace

CspStatus CspLookupProvider(LPCWSTR pszName, DWORD dwProvType, CspProviderInfo* out) {
    uint64_t version = 0;
    const bool bKeep = pszName && tessaro_platform::RegistryHiveVersion(HKEY_LOCAL_MACHINE, &version);
    if (bKeep) {
        FoundRegistrations& f = Found();
        std::lock_guard<std::mutex> g(f.mutex);
        if (f.version != version) f.byName.clear();
        f.version = version;
        auto it = f.byName.find(pszName);
        if (it != f.byName.end()) {
            *out = it->second;
            return CSP_OK;
        }
    }
    std::u16string name;
    if (!pszName) {
        UniqueHkey t;
        char16_t typeKey[16];
        std::u16string path = std::u16string(kProviderTypesRoot) + u"\\Type ";
        DWORD v = dwProvType;
        typeKey[0] = static_cast<char16_t>(u'0' + (v / 100) % 10);
        typeKey[1] = static_cast<char16_t>(u'0' + (v / 10) % 10);
        typeKey[2] = static_cast<char16_t>(u'0' + v % 10);
        typeKey[3] = 0;
        path += typeKey;
        if (!OpenKey(HKEY_LOCAL_MACHINE, path.c_str(), t) || !ReadString(t.get(), u"Name", &name) || name.empty())
            return CspCode(NTE_PROV_TYPE_NOT_DEF);
    } else {
        name = pszName;
    }
    if (name.empty() || name.size() > kCspMaxNameChars || name.find(u'\\') != std::u16string::npos)
        return CspCode(NTE_KEYSET_NOT_DEF);
    UniqueHkey k;
    std::u16string path = std::u16string(kProviderRoot) + u"\\" + name;
    LSTATUS rs = NoMemoryThrows(RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, k.put()));
    // A registry that cannot be read (a refused prefix, a damaged hive) says
    // so; only a missing registration is an unknown provider.
    if (rs != ERROR_SUCCESS && rs != ERROR_FILE_NOT_FOUND && rs != ERROR_KEY_DELETED)
        return CspCode(HRESULT_FROM_WIN32(rs));
    if (rs != ERROR_SUCCESS) return CspCode(NTE_KEYSET_NOT_DEF);
    CspProviderInfo info;
    info.name = name;
    if (!ReadDword(k.get(), u"Type", &info.dwType)) return CspCode(NTE_PROV_TYPE_ENTRY_BAD);
    if (!ReadString(k.get(), u"Image Path", &info.imagePath)) return CspCode(NTE_PROV_DLL_NOT_FOUND);
    *out = info;
    if (bKeep) {
        // Kept under the version read before the registration was: a change
        // in between makes the next call read it again.
        FoundRegistrations& f = Found();
        std::lock_guard<std::mutex> g(f.mutex);
        try {
            if (f.version == version) f.byName.emplace(name, info);
        } catch (const std::bad_alloc&) {
            // Not kept: read again next time.
        }
    }
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
    else
        p = CreatePkcs11TokenProvider(info);  // a PKCS#11 module's path, with the token's label beside it
    if (!p) return CspCode(NTE_PROV_DLL_NOT_FOUND);
    *out = std::move(p);
    return CSP_OK;
}

// Registered providers in registry order; entries without a usable name or
// type are skipped.
CspStatus CspEnumRegistered(DWORD dwIndex, std::u16string* name, DWORD* type) {
    UniqueHkey root;
    // Only a missing key means "no providers"; a hive that cannot be read is
    // a failure, never an empty list reported as success.
    LSTATUS rsOpen = NoMemoryThrows(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProviderRoot, 0, KEY_READ, root.put()));
    if (rsOpen == ERROR_FILE_NOT_FOUND) return ERROR_NO_MORE_ITEMS;
    if (rsOpen != ERROR_SUCCESS) return static_cast<CspStatus>(rsOpen);
    DWORD seen = 0;
    for (DWORD i = 0;; ++i) {
        WCHAR buf[256];
        DWORD cch = 256;
        LSTATUS rs = NoMemoryThrows(RegEnumKeyExW(root.get(), i, buf, &cch, nullptr, nullptr, nullptr, nullptr));
        if (rs == ERROR_NO_MORE_ITEMS) return ERROR_NO_MORE_ITEMS;
        if (rs == ERROR_MORE_DATA) continue;
        if (rs != ERROR_SUCCESS) return CspCode(NTE_FAIL);
        std::u16string n(buf, cch);
        if (n.empty() || n.size() > kCspMaxNameChars) continue;
        UniqueHkey k;
        DWORD t = 0;
        if (!OpenKey(root.get(), n.c_str(), k) || !ReadDword(k.get(), u"Type", &t)) continue;
        if (seen++ == dwIndex) {
            *name = n;
            *type = t;
            return CSP_OK;
        }
    }
}

}  // namespace tessaro::csp
