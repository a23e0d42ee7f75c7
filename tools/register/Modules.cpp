// What tessaro-register shares between its commands: files, and the
// registration of a PKCS#11 module with NSS (Chromium's database and every
// Firefox profile's, through modutil) and p11-kit (a module file below
// $HOME), for the project's own module and for the modules of token providers.
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

#include "tools/register/Modules.h"

namespace tessaro_register {

namespace {

const char kP11KitMark[] = "written by tessaro-register";

}  // namespace

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

std::string ResolveFile(const std::string& what, const std::string& given, std::string& reason) {
    char resolved[PATH_MAX];
    if (!realpath(given.c_str(), resolved)) {
        reason = what + " " + given + " does not exist (" + std::strerror(errno) + ")";
        return {};
    }
    struct stat st {};
    if (stat(resolved, &st) != 0 || !S_ISREG(st.st_mode)) {
        reason = what + " " + std::string(resolved) + " is not a regular file";
        return {};
    }
    return resolved;
}

std::string CheckModule(const std::string& given, std::string& reason) { return ResolveFile("module", given, reason); }


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

namespace {

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

bool RegisterInNss(const std::string& modutil, const NssDb& db, const ModuleEntry& m) {
    const std::string& module = m.module;
    std::map<std::string, std::string> modules;
    if (!ListModules(modutil, db, modules)) return false;
    // NSS would load the library twice and show each certificate twice.
    for (const auto& [name, lib] : modules) {
        if (name != m.nssName && lib == module) {
            std::printf("%s: already registered as \"%s\" (sql:%s) -> %s\n", db.label.c_str(), name.c_str(),
                        db.dir.c_str(), module.c_str());
            return true;
        }
    }
    auto it = modules.find(m.nssName);
    std::string output;
    if (it != modules.end()) {
        if (it->second == module) {
            std::printf("%s: already registered (sql:%s) -> %s\n", db.label.c_str(), db.dir.c_str(), module.c_str());
            return true;
        }
        // modutil -add refuses a name that is taken: the old entry goes first.
        int code = RunTool(modutil, {"-dbdir", "sql:" + db.dir, "-delete", m.nssName, "-force"}, output);
        if (code != 0) {
            ReportToolFailure(db.label, "modutil -delete on sql:" + db.dir, code, output);
            return false;
        }
    }
    int code = RunTool(modutil, {"-dbdir", "sql:" + db.dir, "-add", m.nssName, "-libfile", module, "-force"},
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
    return marked || (!named.empty() && (named == module || BaseName(named) == BaseName(module)));
}

std::string P11KitText(const ModuleEntry& m) {
    return "# " + m.nssName + " PKCS#11 module, " + kP11KitMark + "\n" + "module: " + m.module + "\n";
}

// A p11-kit file someone else wrote is left as it is, and said so.
bool ForeignP11KitFile(const std::string& file, const std::string& text, const std::string& module) {
    if (P11KitFileIsOurs(text, module)) return false;
    std::fprintf(stderr, "tessaro-register: p11-kit: %s was not written by tessaro-register; left\n", file.c_str());
    return true;
}

bool InstallP11Kit(const std::string& home, const ModuleEntry& m) {
    const std::string& module = m.module;
    std::string file = home + "/" + m.p11kitFile;
    std::string text;
    if (ReadFile(file, text) && ForeignP11KitFile(file, text, module)) return false;
    std::string dir = file.substr(0, file.rfind('/'));
    if (!MakeDirs(dir) || !WriteAtomically(file, P11KitText(m))) {
        std::fprintf(stderr, "tessaro-register: p11-kit: cannot write %s (%s)\n", file.c_str(), std::strerror(errno));
        return false;
    }
    std::printf("p11-kit: installed %s -> %s\n", file.c_str(), module.c_str());
    return true;
}

bool UninstallP11Kit(const std::string& home, const ModuleEntry& m) {
    const std::string& module = m.module;
    std::string file = home + "/" + m.p11kitFile;
    std::string text;
    if (!ReadFile(file, text)) {
        std::printf("p11-kit: not registered (%s)\n", file.c_str());
        return true;
    }
    if (ForeignP11KitFile(file, text, module)) return false;
    if (unlink(file.c_str()) != 0) {
        std::fprintf(stderr, "tessaro-register: p11-kit: cannot remove %s (%s)\n", file.c_str(), std::strerror(errno));
        return false;
    }
    std::printf("p11-kit: removed %s\n", file.c_str());
    return true;
}

// Registered (and the module file there), else a line saying why not.
bool StatusP11Kit(const std::string& home, const ModuleEntry& m) {
    const std::string& module = m.module;
    std::string file = home + "/" + m.p11kitFile;
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

}  // namespace

int InstallModule(const std::string& home, const ModuleEntry& m) {
    int rc = InstallP11Kit(home, m) ? 0 : 1;
    std::string modutil = FindProgram("modutil");
    if (modutil.empty()) {
        std::fprintf(stderr, kNoModutil, "skipped");
        return 1;
    }
    NssDb chromium{"chromium nss", ChromiumDb(home)};
    if (!(HasNssDb(chromium.dir) || CreateChromiumDb(chromium.dir, chromium.label)) ||
        !RegisterInNss(modutil, chromium, m))
        rc = 1;
    for (const NssDb& db : FirefoxDbs(home)) {
        if (!HasNssDb(db.dir)) {
            std::fprintf(stderr, "tessaro-register: %s: skipped, %s has no NSS database (cert9.db) yet; "
                         "start Firefox with this profile once, then install again\n", db.label.c_str(),
                         db.dir.c_str());
            rc = 1;
            continue;
        }
        if (!RegisterInNss(modutil, db, m)) rc = 1;
    }
    return rc;
}

int UninstallModule(const std::string& home, const ModuleEntry& m) {
    int rc = UninstallP11Kit(home, m) ? 0 : 1;
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
        if (modules.find(m.nssName) == modules.end()) {
            std::printf("%s: not registered (sql:%s)\n", db.label.c_str(), db.dir.c_str());
            return;
        }
        std::string output;
        int code = RunTool(modutil, {"-dbdir", "sql:" + db.dir, "-delete", m.nssName, "-force"}, output);
        if (code != 0) {
            ReportToolFailure(db.label, "modutil -delete on sql:" + db.dir, code, output);
            rc = 1;
            return;
        }
        std::printf("%s: removed %s from sql:%s\n", db.label.c_str(), m.nssName.c_str(), db.dir.c_str());
    };
    remove({"chromium nss", ChromiumOldDb(home)});
    remove({"chromium nss", ChromiumNewDb(home)});
    for (const NssDb& db : FirefoxDbs(home)) remove(db);
    return rc;
}

// 0 every registration there, 3 one missing, 1 one could not be checked.
int StatusModule(const std::string& home, const ModuleEntry& m) {
    int rc = StatusP11Kit(home, m) ? 0 : 3;
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
        auto it = modules.find(m.nssName);
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

}  // namespace tessaro_register
