// tessaro-register machine-hive: makes HKEY_LOCAL_MACHINE the machine's. Run
// by root (the package's postinst runs it at every configure):
//   - /var/lib/tessaro is made (0755 root) when missing;
//   - the system hive /var/lib/tessaro/machine.db is made (0644 root, empty)
//     when missing; the registry then writes its schema into it;
//   - the hive is read whole; a damaged one is reported (ERROR_BADDB) and
//     left exactly as it is, never replaced;
//   - the built-in providers are registered in it (once: a hive that has
//     them is only read).
// A folder or a hive that another user could write, or a hive that is not a
// regular file, is refused: every user's programs trust what it says.
// HKEY_CURRENT_USER is not used, but the registry opens a prefix all the
// same; the package's scripts point TESSARO_PREFIX at a throwaway folder so
// that root's home gets none.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "win/platform_registry.h"
#include "win/windows.h"
#include "win/wincrypt.h"

#include "tools/register/MachineHive.h"

namespace {

int Refuse(const std::string& what) {
    std::fprintf(stderr, "tessaro-register: machine-hive: %s\n", what.c_str());
    return 1;
}

// Root's alone to change: owned by root, writable by nobody else.
bool RootsAlone(const struct stat& st) { return st.st_uid == 0 && (st.st_mode & 022) == 0; }

void SyncPath(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    fsync(fd);
    close(fd);
}

}  // namespace

int MachineHiveCommand(int argc, char** argv) {
    (void)argv;
    if (argc != 0) {
        std::fprintf(stderr, "usage: tessaro-register machine-hive\n");
        return 2;
    }
    const std::string hive = tessaro_platform::RegistrySystemHivePath();
    const std::string dir = hive.substr(0, hive.rfind('/'));
    if (geteuid() != 0) return Refuse("only root makes and writes the machine hive " + hive);

    struct stat st {};
    if (lstat(dir.c_str(), &st) != 0) {
        if (errno != ENOENT) return Refuse("cannot examine " + dir + " (" + std::strerror(errno) + ")");
        if (mkdir(dir.c_str(), 0755) != 0 || chmod(dir.c_str(), 0755) != 0)
            return Refuse("cannot create " + dir + " (" + std::strerror(errno) + ")");
        SyncPath(dir.substr(0, dir.rfind('/')));
        std::printf("machine hive: created %s\n", dir.c_str());
        if (lstat(dir.c_str(), &st) != 0) return Refuse("cannot examine " + dir);
    }
    if (!S_ISDIR(st.st_mode)) return Refuse(dir + " is not a directory; left as it is");
    if (!RootsAlone(st)) return Refuse(dir + " is not root's alone (owner or write permission); left as it is");

    if (lstat(hive.c_str(), &st) != 0) {
        if (errno != ENOENT) return Refuse("cannot examine " + hive + " (" + std::strerror(errno) + ")");
        int fd = open(hive.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd < 0 || fchmod(fd, 0644) != 0 || fsync(fd) != 0) {
            int e = errno;
            if (fd >= 0) {
                close(fd);
                unlink(hive.c_str());
            }
            return Refuse("cannot create " + hive + " (" + std::strerror(e) + ")");
        }
        close(fd);
        SyncPath(dir);
        std::printf("machine hive: created %s\n", hive.c_str());
        if (lstat(hive.c_str(), &st) != 0) return Refuse("cannot examine " + hive);
    }
    if (!S_ISREG(st.st_mode)) return Refuse(hive + " is not a regular file; left as it is");
    if (!RootsAlone(st)) return Refuse(hive + " is not root's alone (owner or write permission); left as it is");
    if (!tessaro_platform::RegistryHasSystemHive()) return Refuse(hive + " is not taken as the machine hive");

    LSTATUS check = tessaro_platform::RegistryCheckHive(HKEY_LOCAL_MACHINE);
    if (check == ERROR_BADDB) {
        return Refuse("the machine hive " + hive +
                      " is damaged (ERROR_BADDB, 1009): it was left as it is. Restore a copy of it, or move it "
                      "away to have it made anew (its provider registrations and CA chains are written again), "
                      "then run this again (dpkg --configure -a)");
    }
    if (check != ERROR_SUCCESS)
        return Refuse("the machine hive " + hive + " cannot be used (error " + std::to_string(check) + ")");

    // Listing the providers registers the built-in ones in a hive without them.
    int count = 0;
    for (DWORD i = 0;; ++i) {
        DWORD type = 0, cb = 0;
        if (!CryptEnumProvidersW(i, nullptr, 0, &type, nullptr, &cb)) {
            DWORD e = GetLastError();
            if (e == ERROR_NO_MORE_ITEMS) break;
            char code[16];
            std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(e));
            return Refuse("the providers of " + hive + " cannot be listed (" + code + ")");
        }
        ++count;
    }
    if (count == 0) return Refuse("no providers could be registered in " + hive);
    if (tessaro_platform::RegistryMakeDurable() != ERROR_SUCCESS)
        return Refuse("the machine hive " + hive + " could not be synced to the disk");
    std::printf("machine hive: %s, %d providers registered\n", hive.c_str(), count);
    return 0;
}
