// tessaro-register: registers the native-messaging host with the browsers.
//
// Usage:
//   tessaro-register install|uninstall|status [--system] [--host PATH]
//                    [--extension-id ID] [--firefox-id ID] [--destdir DIR]
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
// uninstall removes the manifests (only ones naming our host); status lists
// them. Exit codes: 0 done (status: registered for every browser), 1 refused or
// failed, 2 usage, 3 status: not registered for every browser.
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tools/common/JsonText.h"

namespace {

const char kHostName[] = "com.tessaro.qirtal";
const char kHostFile[] = "TessaroHost.QIRTAL.x86";
const char kDefaultExtensionId[] = "cjeammpeofkbcchcphlnhjkoapomnifi";
const char kDefaultFirefoxId[] = "enroll@tessaro.example";

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
    std::string extensionId = kDefaultExtensionId;
    std::string firefoxId = kDefaultFirefoxId;
    std::string destdir;
};

int Usage() {
    std::fprintf(stderr,
                 "usage: tessaro-register install|uninstall|status [--system] [--host PATH]\n"
                 "                        [--extension-id ID] [--firefox-id ID] [--destdir DIR]\n");
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

std::string SelfDir() {
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return ".";
    buf[n] = 0;
    std::string p(buf);
    size_t slash = p.rfind('/');
    return slash == std::string::npos ? "." : p.substr(0, slash);
}

bool MakeDirs(const std::string& path) {
    std::string cur;
    size_t pos = 0;
    while (pos <= path.size()) {
        size_t next = path.find('/', pos);
        if (next == std::string::npos) next = path.size();
        cur = path.substr(0, next);
        if (!cur.empty() && mkdir(cur.c_str(), 0755) != 0 && errno != EEXIST) return false;
        pos = next + 1;
    }
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool ReadFile(const std::string& path, std::string& out) {
    std::ifstream f(path, std::ios::binary);
    if (!f) return false;
    std::ostringstream ss;
    ss << f.rdbuf();
    out = ss.str();
    return true;
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

// Writes beside the target and renames, so a browser never reads half a manifest.
bool WriteAtomically(const std::string& path, const std::string& text) {
    std::string tmp = path + ".tmp" + std::to_string(getpid());
    FILE* f = std::fopen(tmp.c_str(), "wb");
    if (!f) return false;
    bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    ok = (std::fflush(f) == 0) && ok;
    ok = (fsync(fileno(f)) == 0) && ok;
    ok = (std::fclose(f) == 0) && ok;
    if (ok) ok = chmod(tmp.c_str(), 0644) == 0;
    if (ok) ok = std::rename(tmp.c_str(), path.c_str()) == 0;
    if (!ok) unlink(tmp.c_str());
    return ok;
}

// The host as an absolute, resolved path; empty with a reason when refused.
std::string CheckHost(const std::string& given, std::string& reason) {
    char resolved[PATH_MAX];
    if (!realpath(given.c_str(), resolved)) {
        reason = "host " + given + " does not exist (" + std::strerror(errno) + ")";
        return {};
    }
    struct stat st {};
    if (stat(resolved, &st) != 0 || !S_ISREG(st.st_mode)) {
        reason = "host " + std::string(resolved) + " is not a regular file";
        return {};
    }
    if (access(resolved, X_OK) != 0 || (st.st_mode & 0111) == 0) {
        reason = "host " + std::string(resolved) + " is not executable";
        return {};
    }
    return resolved;
}

int Install(const Options& o, const std::string& home) {
    std::string reason;
    std::string host = CheckHost(o.host.empty() ? SelfDir() + "/" + kHostFile : o.host, reason);
    if (host.empty()) {
        std::fprintf(stderr, "tessaro-register: refused: %s\n", reason.c_str());
        return 1;
    }
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

int Uninstall(const Options& o, const std::string& home) {
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

int Status(const Options& o, const std::string& home) {
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
    return all ? 0 : 3;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (argc < 2) return Usage();
    o.command = argv[1];
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
