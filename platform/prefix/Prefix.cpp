// Locating and creating the prefix directory and its private files.
#include "win/platform_prefix.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <set>
#include <vector>

#include "win/winerror.h"

namespace tessaro_platform {

namespace {

std::string HomeDirectory() {
    const char* home = std::getenv("HOME");
    if (home && *home) return home;
    std::vector<char> buf(16384);
    struct passwd pw, *res = nullptr;
    if (getpwuid_r(getuid(), &pw, buf.data(), buf.size(), &res) == 0 && res && res->pw_dir) return res->pw_dir;
    return std::string();
}

// mkdir -p with 0700 for every directory we create; existing ones are left alone.
bool MakeDirectories(const std::string& path) {
    if (path.empty()) return false;
    struct stat st;
    if (stat(path.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) return true;
        errno = ENOTDIR;
        return false;
    }
    size_t slash = path.find_last_of('/');
    if (slash != std::string::npos && slash > 0) {
        if (!MakeDirectories(path.substr(0, slash))) return false;
    }
    if (mkdir(path.c_str(), 0700) != 0) {
        if (errno == EEXIST) return true;
        return false;
    }
    if (slash != std::string::npos) SyncDirectory(slash == 0 ? "/" : path.substr(0, slash));
    // mkdir honours the umask; the directory must still be usable by us.
    chmod(path.c_str(), 0700);
    return true;
}

std::string StripTrailingSlashes(std::string s) {
    while (s.size() > 1 && s.back() == '/') s.pop_back();
    return s;
}

}  // namespace

std::string PrefixPath() {
    std::string dir;
    const char* env = std::getenv("TESSARO_PREFIX");
    if (env && *env) {
        dir = env;
    } else {
        const char* xdg = std::getenv("XDG_DATA_HOME");
        if (xdg && *xdg == '/') {
            dir = std::string(xdg) + "/tessaro";
        } else {
            std::string home = HomeDirectory();
            if (home.empty()) {
                errno = ENOENT;
                return std::string();
            }
            dir = home + "/.local/share/tessaro";
        }
    }
    return StripTrailingSlashes(dir);
}

namespace {

std::atomic<DWORD> g_prefixError{ERROR_SUCCESS};

// A refused prefix: the code callers get, and one line on standard error
// (the browser's log for the host) saying why, once per prefix and reason.
std::string Refuse(const std::string& dir, DWORD code, const char* why) {
    g_prefixError = code;
    static std::mutex m;
    static std::set<std::string> told;
    std::lock_guard<std::mutex> g(m);
    if (told.insert(dir + '\n' + why).second)
        std::fprintf(stderr, "tessaro: the prefix %s is not used: %s\n", dir.c_str(), why);
    return std::string();
}

}  // namespace

std::string PrefixDirectory() {
    std::string dir = PrefixPath();
    if (dir.empty()) return Refuse("(none)", ERROR_PATH_NOT_FOUND, "no TESSARO_PREFIX, XDG_DATA_HOME or home directory");
    if (dir[0] != '/') return Refuse(dir, ERROR_BAD_PATHNAME, "it is not an absolute path");
    struct stat st;
    if (stat(dir.c_str(), &st) != 0) {
        if (errno != ENOENT) return Refuse(dir, ERROR_ACCESS_DENIED, "it cannot be examined");
        if (!MakeDirectories(dir)) return Refuse(dir, ERROR_PATH_NOT_FOUND, "it cannot be created");
        if (stat(dir.c_str(), &st) != 0) return Refuse(dir, ERROR_PATH_NOT_FOUND, "it cannot be created");
    }
    // A symlink to a directory of the user's is the user's choice and is used
    // as that directory; what it leads to must still be the user's alone.
    if (!S_ISDIR(st.st_mode)) return Refuse(dir, ERROR_DIRECTORY, "it is not a directory");
    // Root may look after any user's prefix; a user uses only their own.
    if (st.st_uid != geteuid() && geteuid() != 0) return Refuse(dir, ERROR_ACCESS_DENIED, "it belongs to another user");
    if (st.st_mode & 077) return Refuse(dir, ERROR_ACCESS_DENIED, "other users have access to it (chmod 700 it)");
    // Every registry call asks: the resolved path is kept while the name and
    // the directory it names stay the same.
    static std::mutex m;
    static std::string lastName, lastResolved;
    static dev_t lastDev;
    static ino_t lastIno;
    std::lock_guard<std::mutex> g(m);
    if (dir != lastName || st.st_dev != lastDev || st.st_ino != lastIno) {
        char resolved[PATH_MAX];
        if (!realpath(dir.c_str(), resolved)) return Refuse(dir, ERROR_ACCESS_DENIED, "its path cannot be resolved");
        lastName = dir;
        lastResolved = resolved;
        lastDev = st.st_dev;
        lastIno = st.st_ino;
    }
    g_prefixError = ERROR_SUCCESS;
    return lastResolved;
}

DWORD PrefixError() { return g_prefixError; }

std::string PrefixSubdirectory(const char* pszName) {
    std::string base = PrefixDirectory();
    if (base.empty() || !pszName || !*pszName) return std::string();
    std::string dir = base + "/" + pszName;
    // Inside the prefix nothing is followed through a symlink.
    struct stat st;
    if (lstat(dir.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) return std::string();
    if (!MakeDirectories(dir)) return std::string();
    return dir;
}

int OpenPrivateFile(const std::string& path, int flags) {
    if ((flags & O_CREAT) && !(flags & O_EXCL)) {
        // Tell creation apart from opening, so only a file we made is chmod-ed.
        int fd = open(path.c_str(), flags | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd >= 0) {
            fchmod(fd, 0600);  // the umask may have taken bits away
            return fd;
        }
        if (errno != EEXIST) return -1;
        return open(path.c_str(), (flags & ~O_CREAT) | O_CLOEXEC | O_NOFOLLOW);
    }
    int fd = open(path.c_str(), flags | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd >= 0 && (flags & O_CREAT)) fchmod(fd, 0600);
    return fd;
}

void SyncDirectory(const std::string& dir) {
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    fsync(fd);
    close(fd);
}

}  // namespace tessaro_platform
