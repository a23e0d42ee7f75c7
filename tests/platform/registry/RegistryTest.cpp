// Registry semantics: Windows error codes, case-insensitive names, sizes,
// enumeration, deletion, handles of deleted keys, prefixes, transactions,
// several processes on one prefix and crashes in the middle of writes.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sqlite3.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/TestSupport.h"
#include "win/platform_prefix.h"
#include "win/platform_registry.h"
#include "win/windows.h"

namespace {

std::u16string U16(const std::string& s) { return std::u16string(s.begin(), s.end()); }

// Creates the key (and its missing parents) and sets one REG_DWORD value.
LSTATUS SetDword(HKEY root, const std::u16string& path, LPCWSTR name, DWORD v) {
    HKEY h;
    LSTATUS st = RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, nullptr);
    if (st != ERROR_SUCCESS) return st;
    st = RegSetValueExW(h, name, 0, REG_DWORD, reinterpret_cast<BYTE*>(&v), 4);
    RegCloseKey(h);
    return st;
}

// Child roles: the test binary re-executed with TESSARO_REG_CHILD set does one
// job against the inherited prefix and exits before any test runs.
int ChildCreateKeys(const std::string& tag, int n) {
    for (int i = 0; i < n; ++i)
        if (SetDword(HKEY_CURRENT_USER, U16("Software\\Race\\" + tag + "-" + std::to_string(i)), u"N",
                     static_cast<DWORD>(i)) != ERROR_SUCCESS)
            return 2;
    return 0;
}

// Creates one shared key many times over; prints how often it was the creator.
int ChildCreateSame(int rounds) {
    int created = 0;
    for (int r = 0; r < rounds; ++r) {
        std::u16string path = U16("Software\\Once\\K" + std::to_string(r));
        HKEY h;
        DWORD disp = 0;
        if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, &disp) !=
            ERROR_SUCCESS)
            return 2;
        if (disp == REG_CREATED_NEW_KEY) ++created;
        RegCloseKey(h);
    }
    std::printf("%d\n", created);
    return 0;
}

// Writes 4 KiB values of one repeated byte until killed.
int ChildWriteForever() {
    HKEY h;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, u"Software\\Crash", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h,
                        nullptr) != ERROR_SUCCESS)
        return 2;
    std::vector<BYTE> buf(4096);
    for (unsigned i = 0;; ++i) {
        std::memset(buf.data(), static_cast<int>(i & 0xFF), buf.size());
        std::u16string name = U16("V" + std::to_string(i % 50));
        tessaro_platform::RegistryTransaction tx(HKEY_CURRENT_USER);
        RegSetValueExW(h, name.c_str(), 0, REG_BINARY, buf.data(), static_cast<DWORD>(buf.size()));
        RegSetValueExW(h, (name + u"-copy").c_str(), 0, REG_BINARY, buf.data(), static_cast<DWORD>(buf.size()));
        tx.Commit();
        if (i == 20) {
            std::printf("ready\n");
            std::fflush(stdout);
        }
    }
}

// The machine hive's "Software\\Fixed" reads V = 7 and refuses a change:
// 0, else the child's exit code for the step that went wrong.
int FixedKeyReadsButRefusesChange() {
    HKEY h;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Fixed", 0, KEY_READ, &h) != ERROR_SUCCESS) return 2;
    DWORD v = 0, cb = 4;
    if (RegQueryValueExW(h, u"V", nullptr, nullptr, reinterpret_cast<BYTE*>(&v), &cb) != ERROR_SUCCESS || v != 7)
        return 3;
    DWORD w = 8;
    if (RegSetValueExW(h, u"V", 0, REG_DWORD, reinterpret_cast<BYTE*>(&w), 4) != ERROR_ACCESS_DENIED) return 4;
    return 0;
}

// Reads and writes a hive that was made read-only.
int ChildReadOnly() {
    if (int rc = FixedKeyReadsButRefusesChange()) return rc;
    HKEY n;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Software\\New", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &n,
                        nullptr) != ERROR_ACCESS_DENIED)
        return 5;
    if (RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"Software\\Fixed") != ERROR_ACCESS_DENIED) return 6;
    // Opening an existing key for writing still succeeds; only changes fail.
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Fixed", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &n,
                        nullptr) != ERROR_SUCCESS)
        return 7;
    // The user hive is still writable.
    if (RegCreateKeyExW(HKEY_CURRENT_USER, u"Software\\Ok", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &n, nullptr) !=
        ERROR_SUCCESS)
        return 8;
    return 0;
}

// Reads a hive in a prefix directory it cannot write.
int ChildReadOnlyDir() {
    if (int rc = FixedKeyReadsButRefusesChange()) return rc;
    HKEY n;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, u"Software\\New", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &n, nullptr) !=
        ERROR_ACCESS_DENIED)
        return 5;
    return 0;
}

// Replaces Software\Kept\Leaf (N=1) by a new key of that name (N=2), with a
// sibling beside it.
int ChildReplaceKey() {
    if (RegDeleteTreeW(HKEY_CURRENT_USER, u"Software\\Kept\\Leaf") != ERROR_SUCCESS) return 2;
    for (const char16_t* name : {u"Software\\Kept\\Leaf", u"Software\\Kept\\Other"})
        if (SetDword(HKEY_CURRENT_USER, name, u"N", 2) != ERROR_SUCCESS) return 3;
    return 0;
}

// One value written, then a normal exit (the process's exit handlers run).
int ChildWriteAndExit() {
    if (SetDword(HKEY_CURRENT_USER, u"Software\\Left", u"N", 3) != ERROR_SUCCESS) return 2;
    exit(0);
}

int RunChildRole() {
    const char* role = std::getenv("TESSARO_REG_CHILD");
    if (!role) return 0;
    std::string r = role;
    int rc = 1;
    if (r.rfind("create:", 0) == 0) rc = ChildCreateKeys(r.substr(7), 200);
    else if (r == "same") rc = ChildCreateSame(100);
    else if (r == "crash") rc = ChildWriteForever();
    else if (r == "readonly") rc = ChildReadOnly();
    else if (r == "readonly-dir") rc = ChildReadOnlyDir();
    else if (r == "replace") rc = ChildReplaceKey();
    else if (r == "write-and-exit") rc = ChildWriteAndExit();
    std::fflush(stdout);
    _exit(rc);
}
const int g_childRole = RunChildRole();

pid_t SpawnChild(const std::string& role, int* outFd = nullptr, uid_t asUser = 0) {
    int p[2] = {-1, -1};
    if (outFd && pipe(p) != 0) return -1;
    pid_t pid = fork();
    if (pid == 0) {
        if (outFd) {
            dup2(p[1], 1);
            close(p[0]);
            close(p[1]);
        }
        if (asUser && (setgid(asUser) != 0 || setuid(asUser) != 0)) _exit(90);
        setenv("TESSARO_REG_CHILD", role.c_str(), 1);
        execl("/proc/self/exe", "child", static_cast<char*>(nullptr));
        _exit(91);
    }
    if (outFd) {
        close(p[1]);
        *outFd = p[0];
    }
    return pid;
}

int WaitChild(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string ReadAll(int fd) {
    std::string s;
    char buf[256];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) s.append(buf, static_cast<size_t>(n));
    close(fd);
    return s;
}

using ScopedPrefix = tessaro_test::ScopedPrefix;

HKEY Create(HKEY root, LPCWSTR path, DWORD* disp = nullptr) {
    HKEY h = nullptr;
    EXPECT_EQ(RegCreateKeyExW(root, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, disp), ERROR_SUCCESS);
    return h;
}

}  // namespace

TEST(Registry, CreateOpenAndCaseInsensitiveNames) {
    ScopedPrefix prefix;
    DWORD disp = 0;
    HKEY h = Create(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Microsoft\\SystemCertificates\\ROOT", &disp);
    EXPECT_EQ(disp, static_cast<DWORD>(REG_CREATED_NEW_KEY));
    HKEY again = Create(HKEY_LOCAL_MACHINE, u"software\\MICROSOFT\\systemcertificates\\root", &disp);
    EXPECT_EQ(disp, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
    HKEY opened;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\microsoft", 0, KEY_READ, &opened), ERROR_SUCCESS);
    // The name is kept as first given.
    WCHAR name[64];
    DWORD cch = 64;
    ASSERT_EQ(RegEnumKeyExW(opened, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(std::u16string(name), u"SystemCertificates");
    EXPECT_EQ(cch, 18u);
    // Relative to an opened key, with a trailing separator.
    HKEY rel;
    EXPECT_EQ(RegOpenKeyExW(opened, u"SYSTEMCERTIFICATES\\Root\\", 0, KEY_READ, &rel), ERROR_SUCCESS);
    // The hives are separate.
    HKEY none;
    EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Microsoft", 0, KEY_READ, &none), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Missing\\Deeper", 0, KEY_READ, &none),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"\\Software", 0, KEY_READ, &none), ERROR_BAD_PATHNAME);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\\\Microsoft", 0, KEY_READ, &none), ERROR_BAD_PATHNAME);
    EXPECT_EQ(RegOpenKeyExW(reinterpret_cast<HKEY>(0x1234), u"x", 0, KEY_READ, &none), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software", 0, KEY_READ, nullptr), ERROR_INVALID_PARAMETER);
    for (HKEY k : {h, again, opened, rel}) EXPECT_EQ(RegCloseKey(k), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(h), ERROR_INVALID_HANDLE);  // closed twice
}

TEST(Registry, ValuesKeepTypeAndBytesAndReportSizes) {
    ScopedPrefix prefix;
    HKEY h = Create(HKEY_CURRENT_USER, u"Software\\Values");
    const WCHAR sz[] = u"h\u00E9llo";
    ASSERT_EQ(RegSetValueExW(h, u"Text", 0, REG_SZ, reinterpret_cast<const BYTE*>(sz), sizeof(sz)), ERROR_SUCCESS);
    DWORD dw = 0x01020304;
    ASSERT_EQ(RegSetValueExW(h, u"Num", 0, REG_DWORD, reinterpret_cast<BYTE*>(&dw), 4), ERROR_SUCCESS);
    ULONGLONG q = 0x1122334455667788ULL;
    ASSERT_EQ(RegSetValueExW(h, u"Big", 0, REG_QWORD, reinterpret_cast<BYTE*>(&q), 8), ERROR_SUCCESS);
    const WCHAR multi[] = u"a\0bc\0";
    ASSERT_EQ(RegSetValueExW(h, u"Multi", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(multi), sizeof(multi)),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(h, u"Empty", 0, REG_BINARY, nullptr, 0), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(h, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(u"def"), 8), ERROR_SUCCESS);

    DWORD type = 0, cb = 0;
    // Size query: no buffer.
    ASSERT_EQ(RegQueryValueExW(h, u"TEXT", nullptr, &type, nullptr, &cb), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(cb, sizeof(sz));
    // Short buffer: ERROR_MORE_DATA with the needed size, buffer untouched.
    BYTE small[4] = {0xAA, 0xAA, 0xAA, 0xAA};
    cb = sizeof(small);
    EXPECT_EQ(RegQueryValueExW(h, u"text", nullptr, &type, small, &cb), ERROR_MORE_DATA);
    EXPECT_EQ(cb, sizeof(sz));
    EXPECT_EQ(small[0], 0xAA);
    std::vector<BYTE> buf(cb);
    ASSERT_EQ(RegQueryValueExW(h, u"Text", nullptr, &type, buf.data(), &cb), ERROR_SUCCESS);
    EXPECT_EQ(std::memcmp(buf.data(), sz, sizeof(sz)), 0);

    BYTE num[8] = {};
    cb = 8;
    ASSERT_EQ(RegQueryValueExW(h, u"Num", nullptr, &type, num, &cb), ERROR_SUCCESS);
    EXPECT_EQ(cb, 4u);
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(tessaro_test::ToHex(num, 4), "04030201");
    cb = 8;
    ASSERT_EQ(RegQueryValueExW(h, u"Big", nullptr, &type, num, &cb), ERROR_SUCCESS);
    EXPECT_EQ(tessaro_test::ToHex(num, 8), "8877665544332211");
    EXPECT_EQ(type, static_cast<DWORD>(REG_QWORD));
    cb = 0;
    ASSERT_EQ(RegQueryValueExW(h, u"Multi", nullptr, &type, nullptr, &cb), ERROR_SUCCESS);
    EXPECT_EQ(cb, 12u);
    EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
    cb = 5;
    ASSERT_EQ(RegQueryValueExW(h, u"Empty", nullptr, &type, num, &cb), ERROR_SUCCESS);
    EXPECT_EQ(cb, 0u);
    cb = 8;
    ASSERT_EQ(RegQueryValueExW(h, u"", nullptr, &type, num, &cb), ERROR_SUCCESS);
    EXPECT_EQ(std::memcmp(num, u"def", 8), 0);

    // Overwriting keeps one value with the new type.
    const BYTE bin[] = {1, 2, 3};
    ASSERT_EQ(RegSetValueExW(h, u"num", 0, REG_BINARY, bin, 3), ERROR_SUCCESS);
    cb = 8;
    ASSERT_EQ(RegQueryValueExW(h, u"Num", nullptr, &type, num, &cb), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
    EXPECT_EQ(tessaro_test::ToHex(num, cb), "010203");

    EXPECT_EQ(RegQueryValueExW(h, u"Nope", nullptr, &type, nullptr, &cb), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegQueryValueExW(h, u"Num", nullptr, &type, num, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegSetValueExW(h, u"Bad", 0, REG_BINARY, nullptr, 4), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegDeleteValueW(h, u"MULTI"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueW(h, u"Multi"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegQueryValueExW(h, u"Multi", nullptr, &type, nullptr, &cb), ERROR_FILE_NOT_FOUND);
    RegCloseKey(h);
}

TEST(Registry, EnumerationByIndex) {
    ScopedPrefix prefix;
    HKEY h = Create(HKEY_CURRENT_USER, u"Software\\Enum");
    for (const char16_t* n : {u"beta", u"Alpha", u"GAMMA"}) RegCloseKey(Create(h, n));
    DWORD v = 1;
    RegSetValueExW(h, u"Second", 0, REG_DWORD, reinterpret_cast<BYTE*>(&v), 4);
    RegSetValueExW(h, u"First", 0, REG_DWORD, reinterpret_cast<BYTE*>(&v), 4);
    // Overwriting a value keeps its place.
    v = 2;
    RegSetValueExW(h, u"second", 0, REG_DWORD, reinterpret_cast<BYTE*>(&v), 4);

    std::vector<std::u16string> names;
    WCHAR name[32];
    DWORD i = 0;
    for (;; ++i) {
        DWORD cch = 32;
        LSTATUS st = RegEnumKeyExW(h, i, name, &cch, nullptr, nullptr, nullptr, nullptr);
        if (st == ERROR_NO_MORE_ITEMS) break;
        ASSERT_EQ(st, ERROR_SUCCESS);
        names.push_back(name);
    }
    EXPECT_EQ(names, (std::vector<std::u16string>{u"Alpha", u"beta", u"GAMMA"}));
    DWORD cch = 5;  // "Alpha" needs 6 with its terminator
    EXPECT_EQ(RegEnumKeyExW(h, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);

    names.clear();
    for (i = 0;; ++i) {
        DWORD cchName = 32, type = 0, cb = 4;
        BYTE data[4];
        LSTATUS st = RegEnumValueW(h, i, name, &cchName, nullptr, &type, data, &cb);
        if (st == ERROR_NO_MORE_ITEMS) break;
        ASSERT_EQ(st, ERROR_SUCCESS);
        EXPECT_EQ(cchName, wcslen(name));
        names.push_back(name);
    }
    EXPECT_EQ(names, (std::vector<std::u16string>{u"second", u"First"}));
    DWORD cchName = 32, cb = 2;
    BYTE data[4];
    EXPECT_EQ(RegEnumValueW(h, 0, name, &cchName, nullptr, nullptr, data, &cb), ERROR_MORE_DATA);
    EXPECT_EQ(cb, 4u);

    DWORD subKeys = 0, maxSub = 0, values = 0, maxValueName = 0, maxValue = 0;
    ASSERT_EQ(RegQueryInfoKeyW(h, nullptr, nullptr, nullptr, &subKeys, &maxSub, nullptr, &values, &maxValueName,
                               &maxValue, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(subKeys, 3u);
    EXPECT_EQ(maxSub, 5u);
    EXPECT_EQ(values, 2u);
    EXPECT_EQ(maxValueName, 6u);
    EXPECT_EQ(maxValue, 4u);

    // A key added between enumerations is seen when enumeration restarts.
    RegCloseKey(Create(h, u"Delta"));
    cch = 32;
    ASSERT_EQ(RegEnumKeyExW(h, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    cch = 32;
    ASSERT_EQ(RegEnumKeyExW(h, 2, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(std::u16string(name), u"Delta");
    RegCloseKey(h);
}

TEST(Registry, ThousandSubkeysEnumerateOneIndexAtATime) {
    ScopedPrefix prefix;
    HKEY h = Create(HKEY_CURRENT_USER, u"Software\\Many");
    {
        tessaro_platform::RegistryTransaction tx(HKEY_CURRENT_USER);
        ASSERT_EQ(tx.Status(), ERROR_SUCCESS);
        for (int i = 0; i < 1000; ++i) {
            char n[16];
            std::snprintf(n, sizeof n, "K%04d", i);
            RegCloseKey(Create(h, U16(n).c_str()));
        }
        ASSERT_EQ(tx.Commit(), ERROR_SUCCESS);
    }
    DWORD count = 0;
    WCHAR name[16];
    for (DWORD i = 0;; ++i) {
        DWORD cch = 16;
        LSTATUS st = RegEnumKeyExW(h, i, name, &cch, nullptr, nullptr, nullptr, nullptr);
        if (st != ERROR_SUCCESS) {
            EXPECT_EQ(st, ERROR_NO_MORE_ITEMS);
            break;
        }
        char want[16];
        std::snprintf(want, sizeof want, "K%04u", i);
        ASSERT_EQ(std::u16string(name), U16(want));
        ++count;
    }
    EXPECT_EQ(count, 1000u);
    RegCloseKey(h);
}

TEST(Registry, DeleteKeyTreeAndDeletedHandles) {
    ScopedPrefix prefix;
    HKEY parent = Create(HKEY_LOCAL_MACHINE, u"Software\\Del");
    HKEY child = Create(parent, u"Child\\Grand");
    DWORD v = 5;
    RegSetValueExW(child, u"V", 0, REG_DWORD, reinterpret_cast<BYTE*>(&v), 4);
    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"Software\\Del"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteKeyW(parent, u"Missing"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteKeyW(parent, u"CHILD\\grand"), ERROR_SUCCESS);
    // The handle of a deleted key answers ERROR_KEY_DELETED, even after new keys.
    RegCloseKey(Create(parent, u"Other"));
    DWORD cb = 4;
    EXPECT_EQ(RegQueryValueExW(child, u"V", nullptr, nullptr, reinterpret_cast<BYTE*>(&v), &cb), ERROR_KEY_DELETED);
    EXPECT_EQ(RegSetValueExW(child, u"V", 0, REG_DWORD, reinterpret_cast<BYTE*>(&v), 4), ERROR_KEY_DELETED);
    HKEY x;
    EXPECT_EQ(RegCreateKeyExW(child, u"Sub", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &x, nullptr), ERROR_KEY_DELETED);
    EXPECT_EQ(RegCloseKey(child), ERROR_SUCCESS);

    // A tree goes with everything below it; its values are gone with it.
    HKEY deep = Create(parent, u"T\\A\\B\\C");
    RegSetValueExW(deep, u"V", 0, REG_DWORD, reinterpret_cast<BYTE*>(&v), 4);
    RegCloseKey(deep);
    EXPECT_EQ(RegDeleteTreeW(parent, u"t"), ERROR_SUCCESS);
    EXPECT_EQ(RegOpenKeyExW(parent, u"T", 0, KEY_READ, &x), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteTreeW(parent, u"T"), ERROR_FILE_NOT_FOUND);
    RegCloseKey(Create(parent, u"T\\A"));
    EXPECT_EQ(RegOpenKeyExW(parent, u"T\\A\\B", 0, KEY_READ, &x), ERROR_FILE_NOT_FOUND);

    // Without a subkey name the tree call empties the key and keeps it.
    RegSetValueExW(parent, u"Kept", 0, REG_DWORD, reinterpret_cast<BYTE*>(&v), 4);
    EXPECT_EQ(RegDeleteTreeW(parent, nullptr), ERROR_SUCCESS);
    DWORD subKeys = 9, values = 9;
    ASSERT_EQ(RegQueryInfoKeyW(parent, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, &values, nullptr,
                               nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(subKeys, 0u);
    EXPECT_EQ(values, 0u);
    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"Software\\Del"), ERROR_SUCCESS);
    EXPECT_EQ(RegQueryInfoKeyW(parent, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, nullptr, nullptr,
                               nullptr, nullptr, nullptr),
              ERROR_KEY_DELETED);
    RegCloseKey(parent);
}

TEST(Registry, TransactionCommitsTogetherOrNotAtAll) {
    ScopedPrefix prefix;
    {
        tessaro_platform::RegistryTransaction tx(HKEY_CURRENT_USER);
        ASSERT_EQ(tx.Status(), ERROR_SUCCESS);
        RegCloseKey(Create(HKEY_CURRENT_USER, u"Software\\Tx\\A"));
        RegCloseKey(Create(HKEY_CURRENT_USER, u"Software\\Tx\\B"));
        // no Commit: rolled back
    }
    HKEY h;
    EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Tx", 0, KEY_READ, &h), ERROR_FILE_NOT_FOUND);
    {
        tessaro_platform::RegistryTransaction tx(HKEY_CURRENT_USER);
        RegCloseKey(Create(HKEY_CURRENT_USER, u"Software\\Tx\\A"));
        {
            tessaro_platform::RegistryTransaction inner(HKEY_CURRENT_USER);
            RegCloseKey(Create(HKEY_CURRENT_USER, u"Software\\Tx\\Inner"));
        }
        EXPECT_EQ(tx.Commit(), ERROR_SUCCESS);
    }
    EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Tx\\A", 0, KEY_READ, &h), ERROR_SUCCESS);
    RegCloseKey(h);
    EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Tx\\Inner", 0, KEY_READ, &h), ERROR_FILE_NOT_FOUND);
    tessaro_platform::RegistryTransaction bad(reinterpret_cast<HKEY>(0x99));
    EXPECT_EQ(bad.Status(), ERROR_INVALID_HANDLE);
}

TEST(Registry, SwitchingPrefixReopensHivesWithPrivateFiles) {
    std::string first, second;
    {
        ScopedPrefix a;
        first = a.path();
        RegCloseKey(Create(HKEY_LOCAL_MACHINE, u"Software\\OnlyInA"));
        {
            ScopedPrefix b;
            second = b.path();
            HKEY h;
            EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\OnlyInA", 0, KEY_READ, &h), ERROR_FILE_NOT_FOUND);
            struct stat st;
            ASSERT_EQ(stat((second + "/machine.db").c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 0777, 0600u);
            ASSERT_EQ(stat(second.c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 0777, 0700u);
        }
        HKEY h;
        EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\OnlyInA", 0, KEY_READ, &h), ERROR_SUCCESS);
        RegCloseKey(h);
    }
}

TEST(Registry, PrefixDefaultsAndPrivateFiles) {
    tessaro_test::TempDir home("home");
    const char* oldPrefix = std::getenv("TESSARO_PREFIX");
    std::string saved = oldPrefix ? oldPrefix : "";
    const char* oldXdg = std::getenv("XDG_DATA_HOME");
    std::string savedXdg = oldXdg ? oldXdg : "";
    const char* oldHome = std::getenv("HOME");
    std::string savedHome = oldHome ? oldHome : "";
    unsetenv("TESSARO_PREFIX");
    unsetenv("XDG_DATA_HOME");
    setenv("HOME", home.path().c_str(), 1);
    mode_t oldMask = umask(0277);
    EXPECT_EQ(tessaro_platform::PrefixDirectory(), home.path() + "/.local/share/tessaro");
    setenv("XDG_DATA_HOME", (home.path() + "/xdg").c_str(), 1);
    std::string xdg = tessaro_platform::PrefixDirectory();
    EXPECT_EQ(xdg, home.path() + "/xdg/tessaro");
    struct stat st;
    ASSERT_EQ(stat(xdg.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    int fd = tessaro_platform::OpenPrivateFile(xdg + "/f", O_RDWR | O_CREAT);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(fstat(fd, &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    close(fd);
    ASSERT_EQ(symlink((xdg + "/f").c_str(), (xdg + "/link").c_str()), 0);
    EXPECT_EQ(tessaro_platform::OpenPrivateFile(xdg + "/link", O_RDWR | O_CREAT), -1);
    umask(oldMask);
    setenv("TESSARO_PREFIX", saved.c_str(), 1);
    if (savedXdg.empty()) unsetenv("XDG_DATA_HOME");
    else setenv("XDG_DATA_HOME", savedXdg.c_str(), 1);
    setenv("HOME", savedHome.c_str(), 1);
}

TEST(RegistryProcesses, TwoWritersLoseNothing) {
    ScopedPrefix prefix;
    pid_t a = SpawnChild("create:a");
    pid_t b = SpawnChild("create:b");
    EXPECT_EQ(WaitChild(a), 0);
    EXPECT_EQ(WaitChild(b), 0);
    HKEY h;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Race", 0, KEY_READ, &h), ERROR_SUCCESS);
    DWORD subKeys = 0;
    ASSERT_EQ(RegQueryInfoKeyW(h, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, nullptr, nullptr, nullptr,
                               nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(subKeys, 400u);
    for (int i = 0; i < 200; i += 37) {
        for (const char* tag : {"a-", "b-"}) {
            HKEY k;
            ASSERT_EQ(RegOpenKeyExW(h, U16(tag + std::to_string(i)).c_str(), 0, KEY_READ, &k), ERROR_SUCCESS);
            DWORD v = 0, cb = 4;
            EXPECT_EQ(RegQueryValueExW(k, u"N", nullptr, nullptr, reinterpret_cast<BYTE*>(&v), &cb), ERROR_SUCCESS);
            EXPECT_EQ(v, static_cast<DWORD>(i));
            RegCloseKey(k);
        }
    }
    RegCloseKey(h);
}

// A process leaving a hive nobody else is reading folds its log into it and
// empties it: the next process to open the hive has no log to read again.
TEST(RegistryProcesses, TheLastProcessToLeaveEmptiesTheLog) {
    ScopedPrefix prefix;
    EXPECT_EQ(WaitChild(SpawnChild("write-and-exit")), 0);
    struct stat st {};
    ASSERT_EQ(stat((prefix.path() + "/user.db-wal").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 0);
    HKEY k;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Left", 0, KEY_READ, &k), ERROR_SUCCESS);
    DWORD v = 0, cb = 4;
    EXPECT_EQ(RegQueryValueExW(k, u"N", nullptr, nullptr, reinterpret_cast<BYTE*>(&v), &cb), ERROR_SUCCESS);
    EXPECT_EQ(v, 3u);
    RegCloseKey(k);
}

// Reads keep the keys they found by path while the hive is unchanged: a key
// another process deleted and made again is found anew, and one this
// process deleted is gone.
TEST(RegistryProcesses, KeptPathsFollowChangesOfOtherProcesses) {
    ScopedPrefix prefix;
    ASSERT_EQ(SetDword(HKEY_CURRENT_USER, u"Software\\Kept\\Leaf", u"N", 1), ERROR_SUCCESS);
    auto read = [](LSTATUS* st) {
        bool found = false;
        DWORD type = 0;
        tessaro::SecureBytes data;
        *st = tessaro_platform::RegistryGetValue(HKEY_CURRENT_USER, u"Software\\Kept\\Leaf", u"N", &found, &type,
                                                 &data);
        return data.size() == 4 && found && type == REG_DWORD ? data[0] : 0;
    };
    LSTATUS st;
    ASSERT_EQ(read(&st), 1);
    ASSERT_EQ(WaitChild(SpawnChild("replace")), 0);
    EXPECT_EQ(read(&st), 2);
    std::vector<std::u16string> names;
    EXPECT_EQ(tessaro_platform::RegistryGetSubkeyNames(HKEY_CURRENT_USER, u"Software\\Kept", &names), ERROR_SUCCESS);
    EXPECT_EQ(names, (std::vector<std::u16string>{u"Leaf", u"Other"}));
    ASSERT_EQ(RegDeleteTreeW(HKEY_CURRENT_USER, u"Software\\Kept\\Leaf"), ERROR_SUCCESS);
    EXPECT_EQ(read(&st), 0);
    EXPECT_EQ(st, ERROR_FILE_NOT_FOUND);
    HKEY h;
    EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Kept\\Leaf", 0, KEY_READ, &h), ERROR_FILE_NOT_FOUND);
}

TEST(RegistryProcesses, ExactlyOneCreatorPerKey) {
    ScopedPrefix prefix;
    int fa, fb;
    pid_t a = SpawnChild("same", &fa);
    pid_t b = SpawnChild("same", &fb);
    std::string outA = ReadAll(fa), outB = ReadAll(fb);
    ASSERT_EQ(WaitChild(a), 0);
    ASSERT_EQ(WaitChild(b), 0);
    EXPECT_EQ(std::atoi(outA.c_str()) + std::atoi(outB.c_str()), 100) << outA << " " << outB;
}

TEST(RegistryProcesses, KilledWriterLeavesConsistentHive) {
    ScopedPrefix prefix;
    int fd;
    pid_t pid = SpawnChild("crash", &fd);
    char buf[8] = {};
    ASSERT_GT(read(fd, buf, 6), 0);  // "ready": it is in the middle of writing
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    kill(pid, SIGKILL);
    EXPECT_EQ(WaitChild(pid), 128 + SIGKILL);
    close(fd);

    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((prefix.path() + "/user.db").c_str(), &db), SQLITE_OK);
    sqlite3_stmt* s = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &s, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(s), SQLITE_ROW);
    EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(s, 0)), "ok");
    sqlite3_finalize(s);
    sqlite3_close(db);

    // Every value is whole, and each pair written in one transaction agrees.
    HKEY h;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Crash", 0, KEY_READ, &h), ERROR_SUCCESS);
    for (int i = 0; i < 50; ++i) {
        std::u16string name = U16("V" + std::to_string(i));
        std::vector<BYTE> a(4096), b(4096);
        DWORD ca = 4096, cbb = 4096;
        LSTATUS sa = RegQueryValueExW(h, name.c_str(), nullptr, nullptr, a.data(), &ca);
        LSTATUS sb = RegQueryValueExW(h, (name + u"-copy").c_str(), nullptr, nullptr, b.data(), &cbb);
        ASSERT_EQ(sa, sb);
        if (sa != ERROR_SUCCESS) continue;
        ASSERT_EQ(ca, 4096u);
        ASSERT_EQ(cbb, 4096u);
        for (BYTE x : a) ASSERT_EQ(x, a[0]);
        EXPECT_EQ(a, b);
    }
    RegCloseKey(h);
    // And the hive still takes changes.
    RegCloseKey(Create(HKEY_CURRENT_USER, u"Software\\AfterCrash"));
}

TEST(RegistryProcesses, ReadOnlyHiveRefusesChangesButReads) {
    ScopedPrefix prefix;
    ASSERT_EQ(SetDword(HKEY_LOCAL_MACHINE, u"Software\\Fixed", u"V", 7), ERROR_SUCCESS);
    RegCloseKey(Create(HKEY_CURRENT_USER, u"Software"));
    uid_t user = 0;
    if (geteuid() == 0) {
        // Root writes anything: check as an unprivileged user owning the files.
        user = 65534;
        for (const char* f : {"", "/machine.db", "/machine.db-wal", "/machine.db-shm", "/user.db", "/user.db-wal",
                              "/user.db-shm"})
            chown((prefix.path() + f).c_str(), user, user);
    }
    ASSERT_EQ(chmod((prefix.path() + "/machine.db").c_str(), 0400), 0);
    pid_t pid = SpawnChild("readonly", nullptr, user);
    EXPECT_EQ(WaitChild(pid), 0);
}

TEST(RegistryProcesses, ReadOnlyPrefixDirectoryStillReads) {
    ScopedPrefix other;
    tessaro_test::TempDir ro("ro");
    const std::string& dir = ro.path();
    setenv("TESSARO_PREFIX", dir.c_str(), 1);
    ASSERT_EQ(SetDword(HKEY_LOCAL_MACHINE, u"Software\\Fixed", u"V", 7), ERROR_SUCCESS);
    RegCloseKey(Create(HKEY_CURRENT_USER, u"Software"));
    // Leaving the prefix closes its hives (their WAL side files stay, so a
    // later reader needs no new file); then the directory, still the
    // reader's own, and its hives are made unwritable.
    setenv("TESSARO_PREFIX", other.path().c_str(), 1);
    HKEY probe;
    RegOpenKeyExW(HKEY_CURRENT_USER, u"Software", 0, KEY_READ, &probe);
    uid_t user = 0;
    if (geteuid() == 0) {
        user = 65534;
        chown(dir.c_str(), user, user);
        for (const char* f : {"/machine.db", "/user.db", "/machine.db-wal", "/user.db-wal", "/machine.db-shm",
                              "/user.db-shm"})
            chown((dir + f).c_str(), user, user);
    }
    // With its log kept, a hive in an unwritable directory could still be
    // changed; the hives themselves are made read-only too.
    ASSERT_EQ(chmod((dir + "/machine.db").c_str(), 0400), 0);
    ASSERT_EQ(chmod((dir + "/user.db").c_str(), 0400), 0);
    ASSERT_EQ(chmod(dir.c_str(), 0500), 0);
    setenv("TESSARO_PREFIX", dir.c_str(), 1);
    pid_t pid = SpawnChild("readonly-dir", nullptr, user);
    int rc = WaitChild(pid);
    setenv("TESSARO_PREFIX", other.path().c_str(), 1);
    chmod(dir.c_str(), 0700);
    EXPECT_EQ(rc, 0);
}

TEST(Registry, CorruptHiveAnswersErrorsWithoutCrashing) {
    ScopedPrefix other;
    tessaro_test::TempDir bad("badhive");
    {
        std::FILE* f = std::fopen((bad.path() + "/machine.db").c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::string junk(8192, '\x5A');
        std::fwrite(junk.data(), 1, junk.size(), f);
        std::fclose(f);
    }
    setenv("TESSARO_PREFIX", bad.path().c_str(), 1);
    HKEY h;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software", 0, KEY_READ, &h), ERROR_BADDB);
    LSTATUS st = RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Software", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, nullptr);
    EXPECT_TRUE(st == ERROR_BADDB || st == ERROR_ACCESS_DENIED) << st;
    // The other hive is unaffected.
    EXPECT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, u"Software", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(h);
    setenv("TESSARO_PREFIX", other.path().c_str(), 1);
}

namespace {

// In a mount namespace of its own (a tmpfs over /var/lib/tessaro): root
// writes the installed machine hive, a user reads it and is refused a change,
// and the user's own hive stays in the prefix.
int SystemHiveChild(const std::string& rootPrefix, const std::string& userPrefix) {
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tessaro-test", "/var/lib/tessaro", "tmpfs", 0, "mode=0755") != 0)
        return 10;
    int fd = open("/var/lib/tessaro/machine.db", O_CREAT | O_WRONLY, 0644);
    if (fd < 0) return 11;
    close(fd);
    setenv("TESSARO_PREFIX", rootPrefix.c_str(), 1);
    if (SetDword(HKEY_LOCAL_MACHINE, u"Software\\Installed", u"V", 9) != ERROR_SUCCESS) return 12;
    struct stat st;
    if (stat((rootPrefix + "/machine.db").c_str(), &st) == 0) return 13;  // not in the prefix
    pid_t user = fork();
    if (user == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(20);
        setenv("TESSARO_PREFIX", userPrefix.c_str(), 1);
        HKEY k;
        DWORD got = 0, cb = 4;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Installed", 0, KEY_READ, &k) != ERROR_SUCCESS ||
            RegQueryValueExW(k, u"V", nullptr, nullptr, reinterpret_cast<BYTE*>(&got), &cb) != ERROR_SUCCESS ||
            got != 9)
            _exit(21);
        DWORD w = 1;
        if (RegSetValueExW(k, u"V", 0, REG_DWORD, reinterpret_cast<BYTE*>(&w), 4) != ERROR_ACCESS_DENIED) _exit(22);
        HKEY mine = Create(HKEY_CURRENT_USER, u"Software\\Mine");
        if (!mine || stat((userPrefix + "/user.db").c_str(), &st) != 0) _exit(23);
        _exit(0);
    }
    int rc = WaitChild(user);
    if (rc != 0) return rc;
    if (tessaro_platform::RegistryCheckHive(HKEY_LOCAL_MACHINE) != ERROR_SUCCESS) return 14;
    // Damaged: root's check and a user's reads answer ERROR_BADDB, and the
    // bytes stay as they were.
    const std::string garbage(8192, '\x5a');
    fd = open("/var/lib/tessaro/machine.db", O_WRONLY | O_TRUNC);
    if (fd < 0 || write(fd, garbage.data(), garbage.size()) != static_cast<ssize_t>(garbage.size())) return 15;
    close(fd);
    setenv("TESSARO_PREFIX", userPrefix.c_str(), 1);  // a prefix switch reopens the hives
    if (tessaro_platform::RegistryCheckHive(HKEY_LOCAL_MACHINE) != ERROR_BADDB) return 16;
    user = fork();
    if (user == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(30);
        HKEY k;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Installed", 0, KEY_READ, &k) != ERROR_BADDB) _exit(31);
        if (tessaro_platform::RegistryCheckHive(HKEY_LOCAL_MACHINE) != ERROR_BADDB) _exit(32);
        _exit(0);
    }
    if ((rc = WaitChild(user)) != 0) return rc;
    std::string now(garbage.size() + 1, '\0');
    fd = open("/var/lib/tessaro/machine.db", O_RDONLY);
    if (fd < 0 || read(fd, now.data(), now.size()) != static_cast<ssize_t>(garbage.size())) return 17;
    close(fd);
    now.resize(garbage.size());
    return now == garbage ? 0 : 18;
}

TEST(RegistryProcesses, TheInstalledMachineHiveIsTheMachinesAndUsersOnlyReadIt) {
    if (geteuid() != 0) GTEST_SKIP() << "a mount namespace of its own needs root";
    struct stat st;
    if (stat("/var/lib/tessaro", &st) == 0) GTEST_SKIP() << "/var/lib/tessaro exists: the package is installed here";
    ScopedPrefix other;
    tessaro_test::TempDir rootPrefix("sysroot"), userPrefix("sysuser");
    ASSERT_EQ(0, chown(userPrefix.path().c_str(), 65534, 65534));
    // An empty folder for the child's own mount, removed on every path; other
    // tests see no hive in it.
    ASSERT_EQ(0, mkdir("/var/lib/tessaro", 0755));
    pid_t pid = fork();
    if (pid == 0) _exit(SystemHiveChild(rootPrefix.path(), userPrefix.path()));
    int rc = WaitChild(pid);
    rmdir("/var/lib/tessaro");
    EXPECT_EQ(0, rc);
}

}  // namespace
