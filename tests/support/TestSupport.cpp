#include "tests/support/TestSupport.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "win/windows.h"

namespace tessaro_test {

TempDir::TempDir(const std::string& tag) {
    std::string tmpl = "/tmp/tessaro-" + tag + "-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
    m_path = buf.data();
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
}

ScopedPrefix::ScopedPrefix(const std::string& tag) : m_dir(tag) {
    const char* old = getenv("TESSARO_PREFIX");
    m_old = old ? old : "";
    setenv("TESSARO_PREFIX", m_dir.path().c_str(), 1);
}

ScopedPrefix::~ScopedPrefix() { setenv("TESSARO_PREFIX", m_old.c_str(), 1); }

ScopedTimeZone::ScopedTimeZone(const char* tz) {
    const char* old = getenv("TZ");
    m_had = old != nullptr;
    if (old) m_old = old;
    setenv("TZ", tz, 1);
    tzset();
}

ScopedTimeZone::~ScopedTimeZone() {
    if (m_had)
        setenv("TZ", m_old.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

std::vector<uint8_t> FromHex(const std::string& hex) {
    std::vector<uint8_t> out;
    int hi = -1;
    for (char c : hex) {
        if (std::isspace(static_cast<unsigned char>(c))) continue;
        int v;
        if (c >= '0' && c <= '9') v = c - '0';
        else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
        else throw std::invalid_argument("bad hex digit");
        if (hi < 0) {
            hi = v;
        } else {
            out.push_back(static_cast<uint8_t>(hi << 4 | v));
            hi = -1;
        }
    }
    if (hi >= 0) throw std::invalid_argument("odd hex length");
    return out;
}

std::string ToHex(const uint8_t* p, size_t n) {
    static const char* d = "0123456789ABCDEF";
    std::string s;
    s.reserve(n * 2);
    for (size_t i = 0; i < n; ++i) {
        s.push_back(d[p[i] >> 4]);
        s.push_back(d[p[i] & 15]);
    }
    return s;
}

ProcessResult RunProcess(const std::vector<std::string>& argv, const std::string& input,
                         const std::vector<std::string>& extraEnv, int timeoutSeconds) {
    ProcessResult r;
    int in[2], out[2], err[2];
    // Close-on-exec, so a child started by another thread never inherits our
    // pipe ends and keeps them open (its stdin would then never see EOF).
    if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC)) return r;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) close(fd);
        for (const auto& e : extraEnv) putenv(strdup(e.c_str()));
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    signal(SIGPIPE, SIG_IGN);
    size_t written = 0;
    if (input.empty()) {
        close(in[1]);
        in[1] = -1;
    } else {
        fcntl(in[1], F_SETFL, O_NONBLOCK);
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    bool outOpen = true, errOpen = true;
    while (outOpen || errOpen) {
        pollfd fds[3];
        int n = 0;
        int outIdx = -1, errIdx = -1, inIdx = -1;
        if (outOpen) { fds[n] = {out[0], POLLIN, 0}; outIdx = n++; }
        if (errOpen) { fds[n] = {err[0], POLLIN, 0}; errIdx = n++; }
        if (in[1] >= 0) { fds[n] = {in[1], POLLOUT, 0}; inIdx = n++; }
        int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        deadline - std::chrono::steady_clock::now()).count());
        if (left <= 0) {
            kill(pid, SIGKILL);
            break;
        }
        if (poll(fds, n, left) < 0) break;
        char buf[65536];
        if (outIdx >= 0 && fds[outIdx].revents) {
            ssize_t k = read(out[0], buf, sizeof buf);
            if (k <= 0) outOpen = false; else r.out.append(buf, k);
        }
        if (errIdx >= 0 && fds[errIdx].revents) {
            ssize_t k = read(err[0], buf, sizeof buf);
            if (k <= 0) errOpen = false; else r.err.append(buf, k);
        }
        if (inIdx >= 0 && fds[inIdx].revents) {
            ssize_t k = write(in[1], input.data() + written, input.size() - written);
            if (k > 0) written += k;
            if (k < 0 || written == input.size()) {
                close(in[1]);
                in[1] = -1;
            }
        }
    }
    if (in[1] >= 0) close(in[1]);
    close(out[0]);
    close(err[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status)) r.exitCode = WEXITSTATUS(status);
    else if (WIFSIGNALED(status)) r.exitCode = 128 + WTERMSIG(status);
    return r;
}

std::string ReadFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

std::string Base64Encode(const std::vector<uint8_t>& b) {
    static const char* t = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 2 < b.size(); i += 3) {
        uint32_t v = b[i] << 16 | b[i + 1] << 8 | b[i + 2];
        for (int k = 3; k >= 0; --k) out += t[(v >> (6 * k)) & 63];
    }
    if (b.size() - i == 1) {
        uint32_t v = b[i] << 16;
        out += {t[(v >> 18) & 63], t[(v >> 12) & 63], '=', '='};
    } else if (b.size() - i == 2) {
        uint32_t v = b[i] << 16 | b[i + 1] << 8;
        out += {t[(v >> 18) & 63], t[(v >> 12) & 63], t[(v >> 6) & 63], '='};
    }
    return out;
}

::testing::AssertionResult SetTraceSession(uint32_t start, uint32_t flags, uint32_t level) {
    HKEY h = nullptr, sub = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Control\\Wmi\\GlobalLogger", 0, nullptr, 0,
                        KEY_ALL_ACCESS, nullptr, &h, nullptr) != ERROR_SUCCESS)
        return ::testing::AssertionFailure() << "cannot create the session key";
    const LONG rc = RegCreateKeyExW(h, u"{5C8F2A58-369A-44F0-9235-C05ECB1DD73E}", 0, nullptr, 0, KEY_ALL_ACCESS,
                                    nullptr, &sub, nullptr);
    bool ok = rc == ERROR_SUCCESS;
    if (ok) {
        DWORD f = flags, l = level;
        ok = RegSetValueExW(sub, u"Flags", 0, REG_DWORD, reinterpret_cast<BYTE*>(&f), 4) == ERROR_SUCCESS &&
             RegSetValueExW(sub, u"Level", 0, REG_DWORD, reinterpret_cast<BYTE*>(&l), 4) == ERROR_SUCCESS;
        RegCloseKey(sub);
    }
    DWORD s = start;
    ok = ok && RegSetValueExW(h, u"Start", 0, REG_DWORD, reinterpret_cast<BYTE*>(&s), 4) == ERROR_SUCCESS;
    RegCloseKey(h);
    return ok ? ::testing::AssertionSuccess() : ::testing::AssertionFailure() << "cannot write the session values";
}

bool IsContainerName(const std::string& s) {
    if (s.size() != 38 || s.front() != '{' || s.back() != '}') return false;
    for (size_t i = 1; i < 37; ++i) {
        bool dash = i == 9 || i == 14 || i == 19 || i == 24;
        if (dash ? s[i] != '-' : !isxdigit(static_cast<unsigned char>(s[i]))) return false;
    }
    return true;
}

std::u16string Wide(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

std::string Narrow(const std::u16string& s) {
    std::string r;
    for (char16_t c : s) r += c < 0x80 ? static_cast<char>(c) : '?';
    return r;
}

std::vector<uint8_t> Tlv(uint8_t tag, const std::vector<uint8_t>& content) {
    std::vector<uint8_t> out{tag};
    size_t n = content.size();
    if (n < 0x80) {
        out.push_back(static_cast<uint8_t>(n));
    } else if (n < 0x100) {
        out.push_back(0x81);
        out.push_back(static_cast<uint8_t>(n));
    } else {
        out.push_back(0x82);
        out.push_back(static_cast<uint8_t>(n >> 8));
        out.push_back(static_cast<uint8_t>(n));
    }
    out.insert(out.end(), content.begin(), content.end());
    return out;
}

std::vector<uint8_t> Base64Decode(const std::string& text) {
    static const std::string kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::vector<uint8_t> out;
    uint32_t acc = 0;
    int bits = 0;
    for (char c : text) {
        size_t v = kAlphabet.find(c);
        if (v == std::string::npos) continue;
        acc = (acc << 6) | static_cast<uint32_t>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<uint8_t>(acc >> bits));
        }
    }
    return out;
}

std::string BuildPath(const std::string& rel) { return std::string(TESSARO_BUILD_DIR) + "/" + rel; }
std::string SourcePath(const std::string& rel) { return std::string(TESSARO_SOURCE_DIR) + "/" + rel; }

::testing::AssertionResult ContainerSigns(const std::string& provider, const std::string& container, uint32_t algHash) {
    const std::u16string wContainer(container.begin(), container.end()), wProvider(provider.begin(), provider.end());
    HCRYPTPROV hProv = 0;
    if (!CryptAcquireContextW(&hProv, wContainer.c_str(), wProvider.c_str(), PROV_RSA_FULL, 0))
        return ::testing::AssertionFailure() << "CryptAcquireContextW " << std::hex << GetLastError();
    ::testing::AssertionResult result = ::testing::AssertionFailure() << "no key pair";
    for (DWORD dwSpec : {static_cast<DWORD>(AT_SIGNATURE), static_cast<DWORD>(AT_KEYEXCHANGE)}) {
        HCRYPTKEY hKey = 0;
        if (!CryptGetUserKey(hProv, dwSpec, &hKey)) continue;
        CryptDestroyKey(hKey);
        HCRYPTHASH hHash = 0;
        const BYTE data[] = "signed by the container";
        DWORD cbSig = 0;
        bool bSigned = CryptCreateHash(hProv, algHash, 0, 0, &hHash) && CryptHashData(hHash, data, sizeof data, 0) &&
                       CryptSignHashW(hHash, dwSpec, nullptr, 0, nullptr, &cbSig) && cbSig > 0;
        std::vector<BYTE> sig(cbSig);
        bSigned = bSigned && CryptSignHashW(hHash, dwSpec, nullptr, 0, sig.data(), &cbSig);
        if (hHash) CryptDestroyHash(hHash);
        result = bSigned ? ::testing::AssertionSuccess()
                         : ::testing::AssertionFailure() << "signing failed " << std::hex << GetLastError();
        break;
    }
    CryptReleaseContext(hProv, 0);
    return result;
}

std::string IntegrityCheck(const std::string& path) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        return "cannot open";
    }
    std::string result;
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &st, nullptr) == SQLITE_OK) {
        while (sqlite3_step(st) == SQLITE_ROW) result += reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
    } else {
        result = sqlite3_errmsg(db);
    }
    sqlite3_finalize(st);
    sqlite3_close(db);
    return result;
}

}  // namespace tessaro_test
