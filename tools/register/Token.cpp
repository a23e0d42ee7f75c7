// tessaro-register token add|remove|list: vendor providers whose key
// containers live on a PKCS#11 token, registered in the prefix's machine hive
// (HKLM\SOFTWARE\Microsoft\Cryptography\Defaults\Provider\<name>: "Type"
// PROV_RSA_FULL, "Image Path" the module, "Token Label" the token). The
// token's own module serves its certificates to the browsers: add registers
// it for the user as install does the project's module ("Tessaro token: NAME"
// in the NSS databases, ~/.config/pkcs11/modules/tessaro-token-*.module),
// remove takes that away again.
#include <dlfcn.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tools/common/Utf.h"
#include "tessaro/Handles.h"
#include "win/platform_prefix.h"
#include "win/platform_registry.h"
#include "win/windows.h"
#include "win/wincrypt.h"
#include "win/winreg.h"

#include "tools/register/Token.h"

namespace {

using tools_text::Narrow;
using tools_text::Wide;

const char16_t kProviderRoot[] = u"SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider";
const char16_t kLabelValue[] = u"Token Label";



bool ReadString(HKEY k, const char16_t* name, std::u16string* out) {
    DWORD type = 0, cb = 0;
    if (RegQueryValueExW(k, name, nullptr, &type, nullptr, &cb) != ERROR_SUCCESS || type != REG_SZ || cb > 8192)
        return false;
    std::u16string s(cb / 2 + 1, u'\0');
    if (RegQueryValueExW(k, name, nullptr, &type, reinterpret_cast<BYTE*>(s.data()), &cb) != ERROR_SUCCESS)
        return false;
    s.resize(cb / 2);
    while (!s.empty() && s.back() == u'\0') s.pop_back();
    *out = s;
    return true;
}

bool SetString(HKEY k, const char16_t* name, const std::u16string& v) {
    return RegSetValueExW(k, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(v.c_str()),
                          static_cast<DWORD>((v.size() + 1) * sizeof(char16_t))) == ERROR_SUCCESS;
}

// The provider registrations exist once something asked for them; listing
// them makes sure the built-in names count as taken.
void EnsureBuiltins() {
    DWORD type = 0, cb = 0;
    CryptEnumProvidersW(0, nullptr, 0, &type, nullptr, &cb);
}

bool ContainsMicrosoft(const std::string& name) {
    std::string lower;
    for (char c : name) lower += static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    return lower.find("microsoft") != std::string::npos;
}

// A file name of its own per provider name: the name's letters and digits,
// and a hash of the whole name so that "A B" and "A-B" differ.
tessaro_register::ModuleEntry EntryFor(const std::string& name, const std::string& module) {
    std::string slug;
    uint32_t h = 2166136261u;
    for (unsigned char c : name) {
        h = (h ^ c) * 16777619u;
        bool plain = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
        if (c >= 'A' && c <= 'Z') slug += static_cast<char>(c + 32);
        else if (plain) slug += static_cast<char>(c);
        else if (!slug.empty() && slug.back() != '-') slug += '-';
        if (slug.size() >= 40) break;
    }
    char hash[9];
    std::snprintf(hash, sizeof hash, "%08x", h);
    return {"Tessaro token: " + name, ".config/pkcs11/modules/tessaro-token-" + slug + hash + ".module", module};
}

// The browsers' side for the user running this; no HOME, nothing to do.
int ForBrowsers(bool add, const tessaro_register::ModuleEntry& e) {
    const char* home = std::getenv("HOME");
    if (!home || home[0] != '/') {
        std::printf("browsers: skipped, HOME is not set to an absolute path\n");
        return 0;
    }
    return add ? tessaro_register::InstallModule(home, e) : tessaro_register::UninstallModule(home, e);
}

// The module as an absolute path, or empty with the reason.
std::string CheckModule(const std::string& path, std::string* reason) {
    std::string real = tessaro_register::ResolveFile("module", path, *reason);
    if (real.empty()) return {};
    void* dl = dlopen(real.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!dl) {
        const char* e = dlerror();
        *reason = "module " + path + " does not load: " + (e ? e : "unknown error");
        return {};
    }
    bool has = dlsym(dl, "C_GetFunctionList") != nullptr;
    dlclose(dl);
    if (!has) {
        *reason = "module " + path + " does not export C_GetFunctionList (not a PKCS#11 module)";
        return {};
    }
    return real;
}

int Add(const std::string& name, const std::string& module, const std::string& label) {
    if (name.empty() || name.size() > 259 || name.find('\\') != std::string::npos) {
        std::fprintf(stderr, "tessaro-register: refused: the name must be 1 to 259 characters without '\\'\n");
        return 1;
    }
    if (ContainsMicrosoft(name)) {
        std::fprintf(stderr, "tessaro-register: refused: the name %s contains \"Microsoft\"\n", name.c_str());
        return 1;
    }
    if (label.empty() || label.size() > 32) {
        std::fprintf(stderr, "tessaro-register: refused: a token label is 1 to 32 bytes\n");
        return 1;
    }
    std::string reason;
    std::string path = CheckModule(module, &reason);
    if (path.empty()) {
        std::fprintf(stderr, "tessaro-register: refused: %s\n", reason.c_str());
        return 1;
    }
    EnsureBuiltins();
    tessaro_platform::RegistryTransaction tx(HKEY_LOCAL_MACHINE);
    if (tx.Status() != ERROR_SUCCESS) {
        std::fprintf(stderr, "tessaro-register: the machine hive cannot be written (%ld)\n",
                     static_cast<long>(tx.Status()));
        return 1;
    }
    const std::u16string key = std::u16string(kProviderRoot) + u"\\" + Wide(name);
    tessaro::UniqueHkey existing;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, existing.put()) == ERROR_SUCCESS) {
        std::fprintf(stderr, "tessaro-register: refused: a provider named %s is already registered\n", name.c_str());
        return 1;
    }
    tessaro::UniqueHkey k;
    DWORD type = PROV_RSA_FULL;
    bool ok = RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, k.put(),
                              nullptr) == ERROR_SUCCESS &&
              RegSetValueExW(k.get(), u"Type", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&type), sizeof type) ==
                  ERROR_SUCCESS &&
              SetString(k.get(), u"Image Path", Wide(path)) && SetString(k.get(), kLabelValue, Wide(label));
    k.reset();
    if (!ok || tx.Commit() != ERROR_SUCCESS) {
        std::fprintf(stderr, "tessaro-register: the registration could not be written\n");
        return 1;
    }
    std::printf("registered %s: token \"%s\" through %s\n", name.c_str(), label.c_str(), path.c_str());
    return ForBrowsers(true, EntryFor(name, path));
}

// Token providers only: a registration without a token label is not ours to remove.
bool IsTokenProvider(const std::u16string& name, std::u16string* module, std::u16string* label) {
    tessaro::UniqueHkey k;
    std::u16string key = std::u16string(kProviderRoot) + u"\\" + name;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, k.put()) != ERROR_SUCCESS) return false;
    return ReadString(k.get(), kLabelValue, label) && ReadString(k.get(), u"Image Path", module);
}

int Remove(const std::string& name) {
    std::u16string module, label;
    tessaro_platform::RegistryTransaction tx(HKEY_LOCAL_MACHINE);
    if (tx.Status() != ERROR_SUCCESS) {
        std::fprintf(stderr, "tessaro-register: the machine hive cannot be written\n");
        return 1;
    }
    if (!IsTokenProvider(Wide(name), &module, &label)) {
        std::fprintf(stderr, "tessaro-register: no token provider named %s is registered\n", name.c_str());
        return 1;
    }
    tessaro::UniqueHkey root;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProviderRoot, 0, KEY_ALL_ACCESS, root.put()) != ERROR_SUCCESS ||
        RegDeleteTreeW(root.get(), Wide(name).c_str()) != ERROR_SUCCESS) {
        std::fprintf(stderr, "tessaro-register: %s could not be removed\n", name.c_str());
        return 1;
    }
    root.reset();
    if (tx.Commit() != ERROR_SUCCESS) {
        std::fprintf(stderr, "tessaro-register: %s could not be removed\n", name.c_str());
        return 1;
    }
    std::printf("removed %s\n", name.c_str());
    int rc = ForBrowsers(false, EntryFor(name, Narrow(module)));
    // Another provider on the same module keeps it in the browsers, now under its own name.
    for (const tessaro_register::ModuleEntry& e : TokenModules())
        if (e.module == Narrow(module) && ForBrowsers(true, e) != 0) rc = 1;
    return rc;
}

struct TokenProvider {
    std::string name, label, module;
};

std::vector<TokenProvider> TokenProviders() {
    std::vector<TokenProvider> out;
    tessaro::UniqueHkey root;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProviderRoot, 0, KEY_READ, root.put()) != ERROR_SUCCESS) return out;
    for (DWORD i = 0;; ++i) {
        WCHAR buf[260];
        DWORD cch = 260;
        LSTATUS rs = RegEnumKeyExW(root.get(), i, buf, &cch, nullptr, nullptr, nullptr, nullptr);
        if (rs == ERROR_NO_MORE_ITEMS) break;
        if (rs != ERROR_SUCCESS) continue;
        std::u16string name(buf, cch), module, label;
        if (IsTokenProvider(name, &module, &label)) out.push_back({Narrow(name), Narrow(label), Narrow(module)});
    }
    return out;
}

// One line per token provider: name, token label, module (tab-separated).
int List() {
    for (const TokenProvider& t : TokenProviders())
        std::printf("%s\t%s\t%s\n", t.name.c_str(), t.label.c_str(), t.module.c_str());
    return 0;
}

int TokenUsage() {
    std::fprintf(stderr,
                 "usage: tessaro-register token add --name NAME --module PATH --token LABEL\n"
                 "       tessaro-register token remove --name NAME\n"
                 "       tessaro-register token list\n");
    return 2;
}

}  // namespace

std::vector<tessaro_register::ModuleEntry> TokenModules() {
    std::vector<tessaro_register::ModuleEntry> out;
    struct stat st {};
    const std::string prefix = tessaro_platform::PrefixPath();
    const bool system = stat(tessaro_platform::RegistrySystemHivePath(), &st) == 0;
    if (!system && (prefix.empty() || stat(prefix.c_str(), &st) != 0)) return out;
    for (const TokenProvider& t : TokenProviders()) out.push_back(EntryFor(t.name, t.module));
    return out;
}

int TokenCommand(int argc, char** argv) {
    if (argc < 1) return TokenUsage();
    std::string verb = argv[0], name, module, label;
    bool hasName = false, hasModule = false, hasLabel = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (i + 1 >= argc) return TokenUsage();
        if (a == "--name") {
            name = argv[++i], hasName = true;
        } else if (a == "--module") {
            module = argv[++i], hasModule = true;
        } else if (a == "--token") {
            label = argv[++i], hasLabel = true;
        } else {
            return TokenUsage();
        }
    }
    if (verb == "add" && hasName && hasModule && hasLabel) return Add(name, module, label);
    if (verb == "remove" && hasName && !hasModule && !hasLabel) return Remove(name);
    if (verb == "list" && !hasName && !hasModule && !hasLabel) return List();
    return TokenUsage();
}
