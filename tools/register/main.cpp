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
#include "tools/register/Token.h"

namespace {

const char kHostName[] = "com.tessaro.qirtal";
const char kHostFile[] = "TessaroHost.QIRTAL.x86";
const char kDefaultExtensionId[] = "cjeammpeofkbcchcphlnhjkoapomnifi";
const char kDefaultFirefoxId[] = "enroll@tessaro.example";
const char kModuleFile[] = "libtessaro-pkcs11.so";
const char kNssModuleName[] = "Tessaro Certificates";
const char kP11KitFile[] = ".config/pkcs11/modules/tessaro.module";  // below $HOME
const char kP11KitMark[] = "written by tessaro-register";

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

// The module as an absolute, resolved path; empty with a reason when refused.
std::string CheckModule(const std::string& given, std::string& reason) {
    char resolved[PATH_MAX];
    if (!realpath(given.c_str(), resolved)) {
        reason = "module " + given + " does not exist (" + std::strerror(errno) + ")";
        return {};
    }
    struct stat st {};
    if (stat(resolved, &st) != 0 || !S_ISREG(st.st_mode)) {
        reason = "module " + std::string(resolved) + " is not a regular file";
        return {};
    }
    return resolved;
}

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

std::string BaseName(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool IsDir(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsFile(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string Trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return {};
    size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

// A program of that name in $PATH; empty when there is none.
std::string FindProgram(const char* name) {
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    size_t pos = 0;
    while (pos <= dirs.size()) {
        size_t next = dirs.find(':', pos);
        if (next == std::string::npos) next = dirs.size();
        std::string dir = dirs.substr(pos, next - pos);
        if (dir.empty()) dir = ".";
        std::string candidate = dir + "/" + name;
        if (IsFile(candidate) && access(candidate.c_str(), X_OK) == 0) return candidate;
        pos = next + 1;
    }
    return {};
}

// Runs an NSS tool with stdin from /dev/null; its stdout and stderr together
// go to output. Returns its exit code, or -1 when it could not be run.
int RunTool(const std::string& program, const std::vector<std::string>& args, std::string& output) {
    output.clear();
    int fds[2];
    if (pipe(fds) != 0) {
        output = std::string("pipe: ") + std::strerror(errno);
        return -1;
    }
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) {
        output = std::string("fork: ") + std::strerror(errno);
        close(fds[0]);
        close(fds[1]);
        return -1;
    }
    if (pid == 0) {
        int in = open("/dev/null", O_RDONLY);
        if (in < 0 || dup2(in, 0) < 0 || dup2(fds[1], 1) < 0 || dup2(fds[1], 2) < 0) _exit(127);
        close(fds[0]);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(program.c_str()));
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        std::fprintf(stderr, "cannot run %s: %s\n", program.c_str(), std::strerror(errno));
        _exit(127);
    }
    close(fds[1]);
    char buf[4096];
    for (;;) {
        ssize_t n = read(fds[0], buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        output.append(buf, static_cast<size_t>(n));
    }
    close(fds[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    output += "(terminated by signal " + std::to_string(WTERMSIG(status)) + ")\n";
    return -1;
}

void ReportToolFailure(const std::string& label, const std::string& what, int code, const std::string& output) {
    std::string text = Trim(output);
    std::fprintf(stderr, "tessaro-register: %s: %s failed (exit code %d)%s%s\n", label.c_str(), what.c_str(), code,
                 text.empty() ? "" : ":\n", text.c_str());
}

// One NSS database: who uses it and where it is.
struct NssDb {
    std::string label;  // "chromium nss", "firefox nss (NAME)"
    std::string dir;
};

std::string ChromiumOldDb(const std::string& home) { return home + "/.pki/nssdb"; }
// Chromium's own choice when ~/.pki/nssdb is missing: $XDG_DATA_HOME/pki/nssdb.
std::string ChromiumNewDb(const std::string& home) {
    const char* xdg = std::getenv("XDG_DATA_HOME");
    if (xdg && *xdg == '/') return std::string(xdg) + "/pki/nssdb";
    return home + "/.local/share/pki/nssdb";
}

// The database Chromium uses: ~/.pki/nssdb when it exists, else the XDG one.
std::string ChromiumDb(const std::string& home) {
    return IsDir(ChromiumOldDb(home)) ? ChromiumOldDb(home) : ChromiumNewDb(home);
}

bool HasNssDb(const std::string& dir) { return IsFile(dir + "/cert9.db"); }

struct FirefoxProfile {
    std::string name;
    std::string dir;
};

// The profiles in ~/.mozilla/firefox/profiles.ini; false when there is no such file.
bool FirefoxProfiles(const std::string& home, std::vector<FirefoxProfile>& out) {
    std::string base = home + "/.mozilla/firefox";
    std::string text;
    if (!ReadFile(base + "/profiles.ini", text)) return false;
    struct Section {
        bool profile = false;
        std::string name, path, isRelative;
    } cur;
    auto flush = [&]() {
        if (cur.profile && !cur.path.empty()) {
            bool relative = cur.isRelative == "1" || cur.path[0] != '/';
            std::string dir = relative ? base + "/" + cur.path : cur.path;
            while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
            out.push_back({cur.name.empty() ? BaseName(dir) : cur.name, dir});
        }
        cur = Section();
    };
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        line = Trim(line);
        if (line.empty() || line[0] == ';' || line[0] == '#') continue;
        if (line[0] == '[') {
            flush();
            cur.profile = line.compare(0, 8, "[Profile") == 0;
            continue;
        }
        size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        std::string key = Trim(line.substr(0, eq)), value = Trim(line.substr(eq + 1));
        if (key == "Name") cur.name = value;
        else if (key == "Path") cur.path = value;
        else if (key == "IsRelative") cur.isRelative = value;
    }
    flush();
    return true;
}

// The Firefox profile databases; profiles whose folder is missing are said
// and left out, as is Firefox when it has no profiles.ini.
std::vector<NssDb> FirefoxDbs(const std::string& home) {
    std::vector<NssDb> dbs;
    std::vector<FirefoxProfile> profiles;
    if (!FirefoxProfiles(home, profiles)) {
        std::printf("firefox nss: skipped, no Firefox profiles (%s/.mozilla/firefox/profiles.ini does not exist)\n",
                    home.c_str());
        return dbs;
    }
    if (profiles.empty()) std::printf("firefox nss: skipped, profiles.ini lists no profiles\n");
    for (const FirefoxProfile& p : profiles) {
        std::string label = "firefox nss (" + p.name + ")";
        if (!IsDir(p.dir)) {
            std::printf("%s: skipped, the profile folder %s does not exist\n", label.c_str(), p.dir.c_str());
            continue;
        }
        dbs.push_back({label, p.dir});
    }
    return dbs;
}

// The modules of a database, by name, with their library paths (modutil -list).
bool ListModules(const std::string& modutil, const NssDb& db, std::map<std::string, std::string>& modules) {
    std::string output;
    int code = RunTool(modutil, {"-dbdir", "sql:" + db.dir, "-list"}, output);
    if (code != 0) {
        ReportToolFailure(db.label, "modutil -list on sql:" + db.dir, code, output);
        return false;
    }
    std::istringstream in(output);
    std::string line, current;
    bool inModule = false;
    while (std::getline(in, line)) {
        // "  2. Tessaro Certificates" then "\tlibrary name: /path"
        size_t i = line.find_first_not_of(" \t");
        if (i == std::string::npos) continue;
        size_t d = i;
        while (d < line.size() && line[d] >= '0' && line[d] <= '9') ++d;
        if (d > i && line.compare(d, 2, ". ") == 0) {
            current = Trim(line.substr(d + 2));
            modules[current];
            inModule = true;
            continue;
        }
        const std::string lib = "library name: ";
        if (inModule && line.compare(i, lib.size(), lib) == 0) modules[current] = Trim(line.substr(i + lib.size()));
    }
    return true;
}

bool RegisterInNss(const std::string& modutil, const NssDb& db, const std::string& module) {
    std::map<std::string, std::string> modules;
    if (!ListModules(modutil, db, modules)) return false;
    auto it = modules.find(kNssModuleName);
    std::string output;
    if (it != modules.end()) {
        if (it->second == module) {
            std::printf("%s: already registered (sql:%s) -> %s\n", db.label.c_str(), db.dir.c_str(), module.c_str());
            return true;
        }
        // modutil -add refuses a name that is taken: the old entry goes first.
        int code = RunTool(modutil, {"-dbdir", "sql:" + db.dir, "-delete", kNssModuleName, "-force"}, output);
        if (code != 0) {
            ReportToolFailure(db.label, "modutil -delete on sql:" + db.dir, code, output);
            return false;
        }
    }
    int code = RunTool(modutil, {"-dbdir", "sql:" + db.dir, "-add", kNssModuleName, "-libfile", module, "-force"},
                       output);
    if (code != 0) {
        ReportToolFailure(db.label, "modutil -add on sql:" + db.dir, code, output);
        return false;
    }
    std::printf("%s: installed (sql:%s) -> %s\n", db.label.c_str(), db.dir.c_str(), module.c_str());
    return true;
}

// Creates the NSS database Chromium will use (empty password), folder 0700.
bool CreateChromiumDb(const std::string& dir, const std::string& label) {
    std::string certutil = FindProgram("certutil");
    if (certutil.empty()) {
        std::fprintf(stderr, "tessaro-register: %s: skipped, certutil not found to create %s "
                     "(Debian package libnss3-tools)\n", label.c_str(), dir.c_str());
        return false;
    }
    size_t slash = dir.rfind('/');
    std::string parent = dir.substr(0, slash);
    if (!IsDir(parent)) {
        std::string grand = parent.substr(0, parent.rfind('/'));
        if (!MakeDirs(grand) || (mkdir(parent.c_str(), 0700) != 0 && errno != EEXIST)) {
            std::fprintf(stderr, "tessaro-register: %s: cannot create %s (%s)\n", label.c_str(), parent.c_str(),
                         std::strerror(errno));
            return false;
        }
    }
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        std::fprintf(stderr, "tessaro-register: %s: cannot create %s (%s)\n", label.c_str(), dir.c_str(),
                     std::strerror(errno));
        return false;
    }
    std::string output;
    int code = RunTool(certutil, {"-N", "-d", "sql:" + dir, "--empty-password"}, output);
    if (code != 0) {
        ReportToolFailure(label, "certutil -N on sql:" + dir, code, output);
        return false;
    }
    std::printf("%s: created the NSS database sql:%s\n", label.c_str(), dir.c_str());
    return true;
}

// The "module:" value of a p11-kit module file; empty when it has none.
std::string P11KitModulePath(const std::string& text) {
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        line = Trim(line);
        if (line.compare(0, 7, "module:") == 0) return Trim(line.substr(7));
    }
    return {};
}

// Our p11-kit file: it carries our comment line or names our module.
bool P11KitFileIsOurs(const std::string& text, const std::string& module) {
    std::string named = P11KitModulePath(text);
    bool marked = false;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        if (!line.empty() && line[0] == '#' && line.find(kP11KitMark) != std::string::npos) marked = true;
    return marked || (!named.empty() && (named == module || BaseName(named) == kModuleFile));
}

std::string P11KitText(const std::string& module) {
    return std::string("# Tessaro Certificates PKCS#11 module, ") + kP11KitMark + "\n" + "module: " + module + "\n";
}

bool InstallP11Kit(const std::string& home, const std::string& module) {
    std::string file = home + "/" + kP11KitFile;
    std::string text;
    if (ReadFile(file, text) && !P11KitFileIsOurs(text, module)) {
        std::fprintf(stderr, "tessaro-register: p11-kit: %s was not written by tessaro-register; left\n",
                     file.c_str());
        return false;
    }
    std::string dir = file.substr(0, file.rfind('/'));
    if (!MakeDirs(dir) || !WriteAtomically(file, P11KitText(module))) {
        std::fprintf(stderr, "tessaro-register: p11-kit: cannot write %s (%s)\n", file.c_str(), std::strerror(errno));
        return false;
    }
    std::printf("p11-kit: installed %s -> %s\n", file.c_str(), module.c_str());
    return true;
}

bool UninstallP11Kit(const std::string& home, const std::string& module) {
    std::string file = home + "/" + kP11KitFile;
    std::string text;
    if (!ReadFile(file, text)) {
        std::printf("p11-kit: not registered (%s)\n", file.c_str());
        return true;
    }
    if (!P11KitFileIsOurs(text, module)) {
        std::fprintf(stderr, "tessaro-register: p11-kit: %s was not written by tessaro-register; left\n",
                     file.c_str());
        return false;
    }
    if (unlink(file.c_str()) != 0) {
        std::fprintf(stderr, "tessaro-register: p11-kit: cannot remove %s (%s)\n", file.c_str(), std::strerror(errno));
        return false;
    }
    std::printf("p11-kit: removed %s\n", file.c_str());
    return true;
}

// Registered (and the module file there), else a line saying why not.
bool StatusP11Kit(const std::string& home, const std::string& module) {
    std::string file = home + "/" + kP11KitFile;
    std::string text;
    if (!ReadFile(file, text)) {
        std::printf("p11-kit: not registered (%s)\n", file.c_str());
        return false;
    }
    std::string named = P11KitModulePath(text);
    if (!P11KitFileIsOurs(text, module)) {
        std::printf("p11-kit: not registered (%s names another module: %s)\n", file.c_str(), named.c_str());
        return false;
    }
    std::string reason;
    if (named.empty() || CheckModule(named, reason).empty()) {
        std::printf("p11-kit: broken (%s): %s\n", file.c_str(), named.empty() ? "no module line" : reason.c_str());
        return false;
    }
    std::printf("p11-kit: registered (%s) -> %s\n", file.c_str(), named.c_str());
    return true;
}

const char kNoModutil[] =
    "tessaro-register: nss: %s: modutil not found (Debian package libnss3-tools); "
    "the PKCS#11 module was not registered in the NSS databases of Chromium and Firefox\n";

int InstallModule(const std::string& home, const std::string& module) {
    int rc = InstallP11Kit(home, module) ? 0 : 1;
    std::string modutil = FindProgram("modutil");
    if (modutil.empty()) {
        std::fprintf(stderr, kNoModutil, "skipped");
        return 1;
    }
    NssDb chromium{"chromium nss", ChromiumDb(home)};
    if (!(HasNssDb(chromium.dir) || CreateChromiumDb(chromium.dir, chromium.label)) ||
        !RegisterInNss(modutil, chromium, module))
        rc = 1;
    for (const NssDb& db : FirefoxDbs(home)) {
        if (!HasNssDb(db.dir)) {
            std::fprintf(stderr, "tessaro-register: %s: skipped, %s has no NSS database (cert9.db) yet; "
                         "start Firefox with this profile once, then install again\n", db.label.c_str(),
                         db.dir.c_str());
            rc = 1;
            continue;
        }
        if (!RegisterInNss(modutil, db, module)) rc = 1;
    }
    return rc;
}

int UninstallModule(const std::string& home, const std::string& module) {
    int rc = UninstallP11Kit(home, module) ? 0 : 1;
    std::string modutil = FindProgram("modutil");
    if (modutil.empty()) {
        std::fprintf(stderr, kNoModutil, "uninstall skipped");
        return 1;
    }
    // Both places Chromium may have used: a registration made before
    // ~/.pki/nssdb appeared is removed too.
    auto remove = [&](const NssDb& db) {
        if (!HasNssDb(db.dir)) {
            if (db.label != "chromium nss" || db.dir == ChromiumDb(home))
                std::printf("%s: not registered (sql:%s: no NSS database)\n", db.label.c_str(), db.dir.c_str());
            return;
        }
        std::map<std::string, std::string> modules;
        if (!ListModules(modutil, db, modules)) {
            rc = 1;
            return;
        }
        if (modules.find(kNssModuleName) == modules.end()) {
            std::printf("%s: not registered (sql:%s)\n", db.label.c_str(), db.dir.c_str());
            return;
        }
        std::string output;
        int code = RunTool(modutil, {"-dbdir", "sql:" + db.dir, "-delete", kNssModuleName, "-force"}, output);
        if (code != 0) {
            ReportToolFailure(db.label, "modutil -delete on sql:" + db.dir, code, output);
            rc = 1;
            return;
        }
        std::printf("%s: removed %s from sql:%s\n", db.label.c_str(), kNssModuleName, db.dir.c_str());
    };
    remove({"chromium nss", ChromiumOldDb(home)});
    remove({"chromium nss", ChromiumNewDb(home)});
    for (const NssDb& db : FirefoxDbs(home)) remove(db);
    return rc;
}

// 0 every registration there, 3 one missing, 1 one could not be checked.
int StatusModule(const std::string& home, const std::string& module) {
    int rc = StatusP11Kit(home, module) ? 0 : 3;
    std::string modutil = FindProgram("modutil");
    if (modutil.empty()) {
        std::fprintf(stderr, kNoModutil, "not checked");
        return 1;
    }
    bool failed = false;
    auto check = [&](const NssDb& db) {
        if (!HasNssDb(db.dir)) {
            std::printf("%s: not registered (sql:%s: no NSS database)\n", db.label.c_str(), db.dir.c_str());
            rc = 3;
            return;
        }
        std::map<std::string, std::string> modules;
        if (!ListModules(modutil, db, modules)) {
            failed = true;
            return;
        }
        auto it = modules.find(kNssModuleName);
        if (it == modules.end()) {
            std::printf("%s: not registered (sql:%s)\n", db.label.c_str(), db.dir.c_str());
            rc = 3;
            return;
        }
        std::string reason;
        if (CheckModule(it->second, reason).empty()) {
            std::printf("%s: broken (sql:%s): %s\n", db.label.c_str(), db.dir.c_str(), reason.c_str());
            rc = 3;
            return;
        }
        std::printf("%s: registered (sql:%s) -> %s\n", db.label.c_str(), db.dir.c_str(), it->second.c_str());
    };
    check({"chromium nss", ChromiumDb(home)});
    for (const NssDb& db : FirefoxDbs(home)) check(db);
    return failed ? 1 : rc;
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
    if (!o.system && InstallModule(home, module) != 0) rc = 1;
    return rc;
}

int Uninstall(const Options& o, const std::string& home) {
    int rc = UninstallManifests(o, home);
    if (!o.system && UninstallModule(home, ModuleToFind(o)) != 0) rc = 1;
    return rc;
}

int Status(const Options& o, const std::string& home) {
    int rc = StatusManifests(o, home) ? 0 : 3;
    if (!o.system) {
        int m = StatusModule(home, ModuleToFind(o));
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
