// Locating and creating the prefix directory and its private files.
#include "win/platform_prefix.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

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

std::string PrefixDirectory() {
    std::string dir = PrefixPath();
    if (dir.empty() || !MakeDirectories(dir)) return std::string();
    return dir;
}

std::string PrefixSubdirectory(const char* pszName) {
    std::string base = PrefixDirectory();
    if (base.empty() || !pszName || !*pszName) return std::string();
    std::string dir = base + "/" + pszName;
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

}  // namespace tessaro_platform
