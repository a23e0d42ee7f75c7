// tessaro-trace: controls the diagnostic trace of the installation in the
// prefix. The session is the global logger setting of the machine hive; a
// program registers its provider at start and reads it then, so start the
// trace before starting the program.
//
//   tessaro-trace start [--flags F] [--level L]   (F defaults to 0xF, L to 5)
//   tessaro-trace stop
//   tessaro-trace show                             (prints the trace file)
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "win/platform_prefix.h"
#include "win/windows.h"

namespace {

const char16_t kGlobalLoggerKey[] = u"SYSTEM\\CurrentControlSet\\Control\\Wmi\\GlobalLogger";
const char16_t kProviderSubkey[] = u"{5C8F2A58-369A-44F0-9235-C05ECB1DD73E}";

int Usage() {
    std::fprintf(stderr,
                 "usage: tessaro-trace start [--flags F] [--level L]\n"
                 "       tessaro-trace stop\n"
                 "       tessaro-trace show\n"
                 "flags: 0x1 8-bit failures, 0x2 wide failures, 0x4 steps and values, 0x8 entry/exit\n");
    return 2;
}

bool ParseNumber(const char* s, DWORD* out) {
    if (!s || !*s) return false;
    errno = 0;
    char* end = nullptr;
    unsigned long v = std::strtoul(s, &end, 0);
    if (errno || *end || v > 0xFFFFFFFFul || s[0] == '-') return false;
    *out = static_cast<DWORD>(v);
    return true;
}

int Fail(const char* what, LSTATUS st) {
    std::fprintf(stderr, "tessaro-trace: %s failed (error %ld)\n", what, static_cast<long>(st));
    return 1;
}

LSTATUS SetDword(HKEY h, LPCWSTR name, DWORD v) {
    return RegSetValueExW(h, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), sizeof(v));
}

int Start(DWORD flags, DWORD level) {
    HKEY hKey, hSub;
    LSTATUS st = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kGlobalLoggerKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                 &hKey, nullptr);
    if (st != ERROR_SUCCESS) return Fail("opening the global logger key", st);
    st = RegCreateKeyExW(hKey, kProviderSubkey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &hSub, nullptr);
    if (st == ERROR_SUCCESS) {
        st = SetDword(hSub, u"Flags", flags);
        if (st == ERROR_SUCCESS) st = SetDword(hSub, u"Level", level);
        RegCloseKey(hSub);
    }
    if (st == ERROR_SUCCESS) st = SetDword(hKey, u"Start", 1);
    RegCloseKey(hKey);
    if (st != ERROR_SUCCESS) return Fail("writing the global logger setting", st);
    std::printf("trace started: flags 0x%X, level %u\n", static_cast<unsigned>(flags), static_cast<unsigned>(level));
    return 0;
}

int Stop() {
    HKEY hKey;
    LSTATUS st = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kGlobalLoggerKey, 0, KEY_ALL_ACCESS, &hKey);
    if (st == ERROR_FILE_NOT_FOUND) {
        std::printf("trace stopped\n");
        return 0;
    }
    if (st != ERROR_SUCCESS) return Fail("opening the global logger key", st);
    st = SetDword(hKey, u"Start", 0);
    RegCloseKey(hKey);
    if (st != ERROR_SUCCESS) return Fail("writing the global logger setting", st);
    std::printf("trace stopped\n");
    return 0;
}

int ShowFile(const std::string& path) {
    int fd = tessaro_platform::OpenPrivateFile(path, O_RDONLY);
    if (fd < 0) return errno == ENOENT ? 0 : -1;
    char buf[65536];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) std::fwrite(buf, 1, static_cast<size_t>(n), stdout);
    close(fd);
    return 0;
}

int Show() {
    std::string dir = tessaro_platform::PrefixDirectory();
    if (dir.empty()) {
        std::fprintf(stderr, "tessaro-trace: no prefix directory\n");
        return 1;
    }
    // Older lines first: the rotated file, then the current one.
    if (ShowFile(dir + "/trace/kevo.log.1") != 0 || ShowFile(dir + "/trace/kevo.log") != 0) {
        std::fprintf(stderr, "tessaro-trace: cannot read the trace file: %s\n", std::strerror(errno));
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return Usage();
    std::string cmd = argv[1];
    if (cmd == "start") {
        DWORD flags = 0xF, level = 5;
        for (int i = 2; i < argc; ++i) {
            std::string a = argv[i];
            if ((a == "--flags" || a == "--level") && i + 1 < argc) {
                DWORD v;
                if (!ParseNumber(argv[++i], &v)) return Usage();
                (a == "--flags" ? flags : level) = v;
            } else {
                return Usage();
            }
        }
        if (level > 0xFF) return Usage();
        return Start(flags, level);
    }
    if (argc != 2) return Usage();
    if (cmd == "stop") return Stop();
    if (cmd == "show") return Show();
    return Usage();
}
