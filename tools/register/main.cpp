// tessaro-register: registers the native-messaging host with the browsers and
// the PKCS#11 module with NSS and p11-kit.
//
// Usage:
//   tessaro-register install|uninstall|status [--system] [--host PATH]
//                    [--module PATH] [--extension-id ID] [--firefox-id ID]
//                    [--destdir DIR]
//   tessaro-register token add|remove|list ...   (token providers, see Token.cpp)
//   tessaro-register machine-hive                (root: the system hive, see MachineHive.cpp)
//
// install writes one host manifest per browser:
//   Chromium        ~/.config/chromium/NativeMessagingHosts
//   Google Chrome   ~/.config/google-chrome/NativeMessagingHosts
//   Firefox         ~/.mozilla/native-messaging-hosts
// or, with --system, /etc/chromium/native-messaging-hosts,
// /etc/opt/chrome/native-messaging-hosts and /usr/lib/mozilla/native-messaging-hosts.
// The manifest names the host by its absolute path; a host that does not exist,
// is not a regular file or is not executable is refused and nothing is written.
// The default host is TessaroHost.QIRTAL.x86 beside this program; the default
// extension IDs are those of browser/extension and browser/extension-firefox.
// --destdir puts the system folders below DIR (packaging, tests).
//
// For the user (not with --system), install also registers the PKCS#11 module
// (default libtessaro-pkcs11.so beside this program, or --module PATH; written
// as an absolute path; one that does not exist or is not a regular file is
// refused and nothing is written) as "Tessaro Certificates":
//   in the NSS database Chromium uses: ~/.pki/nssdb when it exists, else
//     $XDG_DATA_HOME/pki/nssdb, by default ~/.local/share/pki/nssdb (created,
//     empty password, when neither exists);
//   in the NSS database of every Firefox profile in ~/.mozilla/firefox/profiles.ini;
//   as the p11-kit module file ~/.config/pkcs11/modules/tessaro.module.
// The modules of the token providers registered in the machine hive
// (tessaro-register token add) are registered the same way, each under its
// own name (see Token.cpp), so that a user of a machine-wide installation
// gets them too.
// NSS databases are changed only through modutil (Debian's libnss3-tools),
// always with -force and stdin from /dev/null; without modutil the NSS part is
// skipped, said so, and the exit code is 1.
//
// uninstall removes the manifests (only ones naming our host), the module
// "Tessaro Certificates" from those NSS databases (other modules and the
// databases stay) and the p11-kit file when it is ours; status lists them,
// one line per manifest, NSS database and the p11-kit file. Exit codes: 0 done
// (status: everything registered), 1 refused or failed, 2 usage, 3 status:
// something is not registered.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tools/common/JsonText.h"
#include "win/platform_registry.h"
#include "tools/register/MachineHive.h"
#include "tools/register/Modules.h"
#include "tools/register/Token.h"

namespace {

using namespace tessaro_register;

const char kHostName[] = "com.tessaro.qirtal";
const char kHostFile[] = "TessaroHost.QIRTAL.x86";
const char kDefaultExtensionId[] = "cjeammpeofkbcchcphlnhjkoapomnifi";
const char kDefaultFirefoxId[] = "enroll@tessaro.example";
const char kModuleFile[] = "libtessaro-pkcs11.so";
const char kNssModuleName[] = "Tessaro Certificates";
const char kP11KitFile[] = ".config/pkcs11/modules/tessaro.module";  // below $HOME

struct Browser {
    const char* label;
    const char* userDir;    // below $HOME
    const char* systemDir;  // absolute
    bool firefox;
};

const Browser kBrowsers[] = {
    {"chromium", ".config/chromium/NativeMessagingHosts", "/etc/chromium/native-messaging-hosts", false},
    {"chrome", ".config/google-chrome/NativeMessagingHosts", "/etc/opt/chrome/native-messaging-hosts", false},
    {"firefox", ".mozilla/native-messaging-hosts", "/usr/lib/mozilla/native-messaging-hosts", true},
};

struct Options {
    std::string command;
    bool system = false;
    std::string host;
    std::string module;
    std::string extensionId = kDefaultExtensionId;
    std::string firefoxId = kDefaultFirefoxId;
    std::string destdir;
};

int Usage() {
    std::fprintf(stderr,
                 "usage: tessaro-register install|uninstall|status [--system] [--host PATH]\n"
                 "                        [--module PATH] [--extension-id ID] [--firefox-id ID]\n"
                 "                        [--destdir DIR]\n"
                 "  install    host manifests for Chromium, Google Chrome and Firefox; for the\n"
                 "             user also the PKCS#11 module (default %s beside this\n"
                 "             program) in the NSS databases of Chromium and the Firefox\n"
                 "             profiles (with modutil) and as ~/%s\n"
                 "  uninstall  removes those registrations (only ours)\n"
                 "  status     one line per registration; exit code 3 when one is missing\n"
                 "  --system   host manifests for all users (below --destdir DIR); no module\n"
                 "       tessaro-register token add --name NAME --module PATH --token LABEL\n"
                 "       tessaro-register token remove --name NAME | token list\n"
                 "       tessaro-register machine-hive   (root: makes and checks %s)\n",
                 kModuleFile, kP11KitFile, tessaro_platform::RegistrySystemHivePath());
    return 2;
}

std::string JsonString(const std::string& s) { return tools_json::Quoted(s); }

// A Chromium extension ID: 32 letters a-p (the hex digits of a key hash, shifted).
bool ValidChromiumId(const std::string& id) {
    if (id.size() != 32) return false;
    for (char c : id)
        if (c < 'a' || c > 'p') return false;
    return true;
}

// A Firefox add-on ID: an e-mail-like name or a braced GUID; no quotes or controls.
bool ValidFirefoxId(const std::string& id) {
    if (id.empty() || id.size() > 255) return false;
    for (unsigned char c : id)
        if (c < 0x21 || c == '"' || c == '\\' || c >= 0x7f) return false;
    return id.find('@') != std::string::npos || (id.front() == '{' && id.back() == '}');
}


// The value of "path" in a manifest we wrote (our writer's layout, one key a line).
std::string ManifestHostPath(const std::string& text) {
    const std::string key = "\"path\": \"";
    size_t p = text.find(key);
    if (p == std::string::npos) return {};
    p += key.size();
    std::string out;
    for (; p < text.size() && text[p] != '"'; ++p) {
        if (text[p] == '\\' && p + 1 < text.size()) ++p;
        out += text[p];
    }
    return out;
}

std::string ManifestText(const Options& o, const std::string& host, bool firefox) {
    std::string s = "{\n";
    s += "  \"name\": " + JsonString(kHostName) + ",\n";
    s += "  \"description\": \"Tessaro certificate enrollment host\",\n";
    s += "  \"path\": " + JsonString(host) + ",\n";
    s += "  \"type\": \"stdio\",\n";
    if (firefox)
        s += "  \"allowed_extensions\": [" + JsonString(o.firefoxId) + "]\n";
    else
        s += "  \"allowed_origins\": [" + JsonString("chrome-extension://" + o.extensionId + "/") + "]\n";
    return s + "}\n";
}

std::string ManifestDir(const Options& o, const Browser& b, const std::string& home) {
    if (o.system) return o.destdir + b.systemDir;
    return home + "/" + b.userDir;
}


// The host as an absolute, resolved path; empty with a reason when refused.
std::string CheckHost(const std::string& given, std::string& reason) {
    std::string resolved = ResolveFile("host", given, reason);
    struct stat st {};
    if (!resolved.empty() && (access(resolved.c_str(), X_OK) != 0 || stat(resolved.c_str(), &st) != 0 ||
                              (st.st_mode & 0111) == 0)) {
        reason = "host " + resolved + " is not executable";
        return {};
    }
    return resolved;
}

int InstallManifests(const Options& o, const std::string& home, const std::string& host) {
    int rc = 0;
    for (const Browser& b : kBrowsers) {
        std::string dir = ManifestDir(o, b, home);
        std::string file = dir + "/" + kHostName + ".json";
        if (!MakeDirs(dir) || !WriteAtomically(file, ManifestText(o, host, b.firefox))) {
            std::fprintf(stderr, "tessaro-register: %s: cannot write %s (%s)\n", b.label, file.c_str(),
                         std::strerror(errno));
            rc = 1;
            continue;
        }
        std::printf("%s: installed %s -> %s\n", b.label, file.c_str(), host.c_str());
    }
    return rc;
}

int UninstallManifests(const Options& o, const std::string& home) {
    int rc = 0;
    for (const Browser& b : kBrowsers) {
        std::string file = ManifestDir(o, b, home) + "/" + kHostName + ".json";
        std::string text;
        if (!ReadFile(file, text)) {
            std::printf("%s: not registered (%s)\n", b.label, file.c_str());
            continue;
        }
        if (text.find(std::string("\"name\": \"") + kHostName + "\"") == std::string::npos) {
            // Someone else's file under our name: leave it.
            std::fprintf(stderr, "tessaro-register: %s: %s was not written by tessaro-register; left\n",
                         b.label, file.c_str());
            rc = 1;
            continue;
        }
        if (unlink(file.c_str()) != 0) {
            std::fprintf(stderr, "tessaro-register: %s: cannot remove %s (%s)\n", b.label, file.c_str(),
                         std::strerror(errno));
            rc = 1;
            continue;
        }
        std::printf("%s: removed %s\n", b.label, file.c_str());
    }
    return rc;
}

bool StatusManifests(const Options& o, const std::string& home) {
    bool all = true;
    for (const Browser& b : kBrowsers) {
        std::string file = ManifestDir(o, b, home) + "/" + kHostName + ".json";
        std::string text;
        if (!ReadFile(file, text)) {
            std::printf("%s: not registered (%s)\n", b.label, file.c_str());
            all = false;
            continue;
        }
        std::string host = ManifestHostPath(text);
        std::string reason;
        if (host.empty() || CheckHost(host, reason).empty()) {
            std::printf("%s: broken (%s): %s\n", b.label, file.c_str(),
                        host.empty() ? "no host path" : reason.c_str());
            all = false;
            continue;
        }
        std::printf("%s: registered (%s) -> %s\n", b.label, file.c_str(), host.c_str());
    }
    return all;
}

// ---- The PKCS#11 module -------------------------------------------------

std::string DefaultModule() { return SelfDir() + "/" + kModuleFile; }

// The module uninstall and status look for: resolved when it exists, else
// made absolute as given (the file may be gone already).
std::string ModuleToFind(const Options& o) {
    std::string given = o.module.empty() ? DefaultModule() : o.module;
    char resolved[PATH_MAX];
    if (realpath(given.c_str(), resolved)) return resolved;
    if (given[0] == '/') return given;
    char cwd[PATH_MAX];
    return getcwd(cwd, sizeof cwd) ? std::string(cwd) + "/" + given : given;
}
// ---- The commands ----------------------------------------------------------

int Install(const Options& o, const std::string& home) {
    // Everything is checked before anything is written.
    std::string reason;
    std::string host = CheckHost(o.host.empty() ? SelfDir() + "/" + kHostFile : o.host, reason);
    if (host.empty()) {
        std::fprintf(stderr, "tessaro-register: refused: %s\n", reason.c_str());
        return 1;
    }
    std::string module;
    if (!o.system) {
        module = CheckModule(o.module.empty() ? DefaultModule() : o.module, reason);
        if (module.empty()) {
            std::fprintf(stderr, "tessaro-register: refused: %s\n", reason.c_str());
            return 1;
        }
    }
    int rc = InstallManifests(o, home, host);
    if (o.system) return rc;
    if (InstallModule(home, {kNssModuleName, kP11KitFile, module}) != 0) rc = 1;
    for (const ModuleEntry& t : TokenModules())
        if (InstallModule(home, t) != 0) rc = 1;
    return rc;
}

int Uninstall(const Options& o, const std::string& home) {
    int rc = UninstallManifests(o, home);
    if (o.system) return rc;
    if (UninstallModule(home, {kNssModuleName, kP11KitFile, ModuleToFind(o)}) != 0) rc = 1;
    for (const ModuleEntry& t : TokenModules())
        if (UninstallModule(home, t) != 0) rc = 1;
    return rc;
}

int Status(const Options& o, const std::string& home) {
    int rc = StatusManifests(o, home) ? 0 : 3;
    if (!o.system) {
        int m = StatusModule(home, {kNssModuleName, kP11KitFile, ModuleToFind(o)});
        if (m == 1 || (m == 3 && rc == 0)) rc = m;
    }
    return rc;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (argc < 2) return Usage();
    o.command = argv[1];
    if (o.command == "token") return TokenCommand(argc - 2, argv + 2);
    if (o.command == "machine-hive") return MachineHiveCommand(argc - 2, argv + 2);
    for (int i = 2; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc) return false;
            out = argv[++i];
            return true;
        };
        if (a == "--system") {
            o.system = true;
        } else if (a == "--host") {
            if (!value(o.host) || o.host.empty()) return Usage();
        } else if (a == "--module") {
            if (!value(o.module) || o.module.empty()) return Usage();
        } else if (a == "--extension-id") {
            if (!value(o.extensionId)) return Usage();
        } else if (a == "--firefox-id") {
            if (!value(o.firefoxId)) return Usage();
        } else if (a == "--destdir") {
            if (!value(o.destdir)) return Usage();
        } else {
            std::fprintf(stderr, "tessaro-register: unknown argument %s\n", a.c_str());
            return Usage();
        }
    }
    if (!ValidChromiumId(o.extensionId)) {
        std::fprintf(stderr, "tessaro-register: refused: extension ID %s is not 32 letters a-p\n",
                     o.extensionId.c_str());
        return 2;
    }
    if (!ValidFirefoxId(o.firefoxId)) {
        std::fprintf(stderr, "tessaro-register: refused: Firefox add-on ID %s is not valid\n", o.firefoxId.c_str());
        return 2;
    }
    if (!o.destdir.empty() && !o.system) {
        std::fprintf(stderr, "tessaro-register: --destdir goes with --system\n");
        return 2;
    }
    if (!o.module.empty() && o.system) {
        std::fprintf(stderr, "tessaro-register: --module goes without --system (--system writes the host "
                             "manifests only)\n");
        return 2;
    }
    std::string home;
    if (!o.system) {
        const char* h = std::getenv("HOME");
        if (!h || h[0] != '/') {
            std::fprintf(stderr, "tessaro-register: HOME is not set to an absolute path\n");
            return 1;
        }
        home = h;
    }
    if (o.command == "install") return Install(o, home);
    if (o.command == "uninstall") return Uninstall(o, home);
    if (o.command == "status") return Status(o, home);
    return Usage();
}
