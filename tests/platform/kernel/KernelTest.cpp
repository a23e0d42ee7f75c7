// Kernel pieces: time conversions, files and the temporary directory,
// system message texts, compiled-in resources and string tables.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "tests/support/TestSupport.h"
#include "win/windows.h"

namespace {

std::u16string W(const std::string& s) { return std::u16string(s.begin(), s.end()); }

// Sets an environment variable for one scope.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : m_name(name) {
        const char* old = std::getenv(name);
        m_had = old != nullptr;
        if (old) m_old = old;
        if (value) setenv(name, value, 1);
        else unsetenv(name);
    }
    ~ScopedEnv() {
        if (m_had) setenv(m_name.c_str(), m_old.c_str(), 1);
        else unsetenv(m_name.c_str());
    }

private:
    std::string m_name, m_old;
    bool m_had;
};

std::u16string Format(DWORD id, DWORD flags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS) {
    WCHAR buf[512];
    DWORD n = FormatMessageW(flags, nullptr, id, 0, buf, 512, nullptr);
    return std::u16string(buf, n);
}

}  // namespace

TEST(Time, FileTimeAndSystemTimeConvertBothWays) {
    // 2026-12-08 16:40:16.123 UTC, a Tuesday.
    SYSTEMTIME st = {2026, 12, 0, 8, 16, 40, 16, 123};
    FILETIME ft;
    ASSERT_TRUE(SystemTimeToFileTime(&st, &ft));
    ULONGLONG v = (static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    EXPECT_EQ(v, 116444736000000000ULL + 1796748016ULL * 10000000ULL + 1230000ULL);
    SYSTEMTIME back{};
    ASSERT_TRUE(FileTimeToSystemTime(&ft, &back));
    EXPECT_EQ(back.wYear, 2026);
    EXPECT_EQ(back.wMonth, 12);
    EXPECT_EQ(back.wDay, 8);
    EXPECT_EQ(back.wDayOfWeek, 2);
    EXPECT_EQ(back.wHour, 16);
    EXPECT_EQ(back.wMinute, 40);
    EXPECT_EQ(back.wSecond, 16);
    EXPECT_EQ(back.wMilliseconds, 123);

    // Before 1970, and the first day of FILETIME.
    FILETIME zero = {0, 0};
    ASSERT_TRUE(FileTimeToSystemTime(&zero, &back));
    EXPECT_EQ(back.wYear, 1601);
    EXPECT_EQ(back.wMonth, 1);
    EXPECT_EQ(back.wDay, 1);
    EXPECT_EQ(back.wDayOfWeek, 1);  // a Monday
    SYSTEMTIME leap = {2000, 2, 0, 29, 23, 59, 59, 999};
    ASSERT_TRUE(SystemTimeToFileTime(&leap, &ft));
    ASSERT_TRUE(FileTimeToSystemTime(&ft, &back));
    EXPECT_EQ(back.wDay, 29);
    EXPECT_EQ(back.wMilliseconds, 999);

    SYSTEMTIME bad = {2023, 2, 0, 29, 0, 0, 0, 0};
    SetLastError(0);
    EXPECT_FALSE(SystemTimeToFileTime(&bad, &ft));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    SYSTEMTIME early = {1600, 12, 0, 31, 0, 0, 0, 0};
    EXPECT_FALSE(SystemTimeToFileTime(&early, &ft));
    FILETIME huge = {0, 0x80000000u};
    EXPECT_FALSE(FileTimeToSystemTime(&huge, &back));

    FILETIME a = {5, 1}, b = {4, 2};
    EXPECT_EQ(CompareFileTime(&a, &b), -1);
    EXPECT_EQ(CompareFileTime(&b, &a), 1);
    EXPECT_EQ(CompareFileTime(&a, &a), 0);
}

TEST(Time, LocalTimeFollowsTheTimeZoneWithDaylightSaving) {
    ScopedEnv tz("TZ", "Europe/Berlin");
    tzset();
    SYSTEMTIME winter = {2024, 1, 0, 15, 12, 0, 0, 0}, summer = {2024, 7, 0, 15, 12, 0, 0, 0};
    FILETIME ft, local;
    SYSTEMTIME out;
    ASSERT_TRUE(SystemTimeToFileTime(&winter, &ft));
    ASSERT_TRUE(FileTimeToLocalFileTime(&ft, &local));
    FileTimeToSystemTime(&local, &out);
    EXPECT_EQ(out.wHour, 13);
    FILETIME utc;
    ASSERT_TRUE(LocalFileTimeToFileTime(&local, &utc));
    EXPECT_EQ(CompareFileTime(&utc, &ft), 0);
    ASSERT_TRUE(SystemTimeToFileTime(&summer, &ft));
    ASSERT_TRUE(FileTimeToLocalFileTime(&ft, &local));
    FileTimeToSystemTime(&local, &out);
    EXPECT_EQ(out.wHour, 14);
    ASSERT_TRUE(LocalFileTimeToFileTime(&local, &utc));
    EXPECT_EQ(CompareFileTime(&utc, &ft), 0);
    {
        ScopedEnv utcZone("TZ", "UTC");
        tzset();
        ASSERT_TRUE(FileTimeToLocalFileTime(&ft, &local));
        EXPECT_EQ(CompareFileTime(&local, &ft), 0);
    }
    tzset();
}

TEST(Files, TemporaryPathAnswersWindowsSizes) {
    ScopedEnv tmp("TMPDIR", "/var/tmp");
    WCHAR buf[MAX_PATH];
    EXPECT_EQ(GetTempPathW(MAX_PATH, buf), 9u);
    EXPECT_EQ(std::u16string(buf), u"/var/tmp/");
    // Too small: the size needed with the terminator, nothing written.
    buf[0] = u'x';
    EXPECT_EQ(GetTempPathW(9, buf), 10u);
    EXPECT_EQ(buf[0], u'x');
    ScopedEnv none("TMPDIR", nullptr);
    EXPECT_EQ(GetTempPathW(MAX_PATH, buf), 5u);
    EXPECT_EQ(std::u16string(buf), u"/tmp/");
}

TEST(Files, CreateWriteReadDelete) {
    tessaro_test::TempDir dir("files");
    std::u16string path = W(dir.path()) + u"\\{6B29FC40-CA47-1067-B31D-00DD010662DA}.KEVO";
    EXPECT_FALSE(PathFileExistsW(path.c_str()));
    mode_t old = umask(0);
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    umask(old);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(h, "\x30\x82\x00\x01", 4, &written, nullptr));
    EXPECT_EQ(written, 4u);
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_FALSE(CloseHandle(h));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

    std::string native = dir.path() + "/{6B29FC40-CA47-1067-B31D-00DD010662DA}.KEVO";
    struct stat st;
    ASSERT_EQ(stat(native.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_TRUE(PathFileExistsW(path.c_str()));

    // CREATE_ALWAYS on an existing file truncates and says so.
    h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    ASSERT_TRUE(WriteFile(h, "ab", 2, &written, nullptr));
    CloseHandle(h);
    EXPECT_EQ(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));

    h = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    char buf[8] = {};
    DWORD got = 0;
    ASSERT_TRUE(ReadFile(h, buf, 8, &got, nullptr));
    EXPECT_EQ(got, 2u);
    EXPECT_EQ(std::string(buf, got), "ab");
    ASSERT_TRUE(ReadFile(h, buf, 8, &got, nullptr));
    EXPECT_EQ(got, 0u);  // end of file
    EXPECT_FALSE(WriteFile(h, "x", 1, &written, nullptr));  // opened for reading only
    CloseHandle(h);

    EXPECT_TRUE(DeleteFileW(path.c_str()));
    EXPECT_FALSE(DeleteFileW(path.c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    std::u16string noDir = W(dir.path()) + u"/missing/f";
    EXPECT_EQ(CreateFileW(noDir.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, 99, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(Files, NeverThroughASymlinkNorIntoADeviceOrDirectory) {
    tessaro_test::TempDir dir("links");
    std::string victim = dir.path() + "/victim";
    { std::ofstream(victim) << "keep"; }
    std::string link = dir.path() + "/link.KEVO";
    ASSERT_EQ(symlink(victim.c_str(), link.c_str()), 0);
    for (DWORD disp : {CREATE_ALWAYS, OPEN_ALWAYS, OPEN_EXISTING, TRUNCATE_EXISTING}) {
        EXPECT_EQ(CreateFileW(W(link).c_str(), GENERIC_WRITE, 0, nullptr, disp, 0, nullptr), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    }
    std::ifstream f(victim);
    std::string content;
    f >> content;
    EXPECT_EQ(content, "keep");
    // A FIFO would block the opener; a directory is no file.
    std::string fifo = dir.path() + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(CreateFileW(W(fifo).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(CreateFileW(W(dir.path()).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
}

TEST(FormatMessage, SystemTextsOfWin32ErrorsAndHresults) {
    EXPECT_EQ(Format(0), u"The operation completed successfully.\r\n");
    EXPECT_EQ(Format(ERROR_FILE_NOT_FOUND), u"The system cannot find the file specified.\r\n");
    EXPECT_EQ(Format(ERROR_ACCESS_DENIED), u"Access is denied.\r\n");
    EXPECT_EQ(Format(static_cast<DWORD>(E_INVALIDARG)), u"The parameter is incorrect.\r\n");
    EXPECT_EQ(Format(static_cast<DWORD>(E_OUTOFMEMORY)),
              u"Not enough memory resources are available to complete this operation.\r\n");
    EXPECT_EQ(Format(static_cast<DWORD>(E_FAIL)), u"Unspecified error\r\n");
    EXPECT_EQ(Format(static_cast<DWORD>(E_POINTER)), u"Invalid pointer\r\n");
    EXPECT_EQ(Format(static_cast<DWORD>(NTE_BAD_KEYSET)), u"Keyset does not exist\r\n");
    EXPECT_EQ(Format(static_cast<DWORD>(NTE_BAD_DATA)), u"Bad Data.\r\n");
    EXPECT_EQ(Format(static_cast<DWORD>(NTE_EXISTS)), u"Object already exists.\r\n");
    EXPECT_EQ(Format(static_cast<DWORD>(CRYPT_E_NOT_FOUND)), u"Cannot find object or property.\r\n");
    EXPECT_EQ(Format(static_cast<DWORD>(CRYPT_E_ASN1_BADTAG)), u"ASN1 bad tag value met.\r\n");
    EXPECT_EQ(Format(static_cast<DWORD>(HRESULT_FROM_WIN32(ERROR_NO_MORE_ITEMS))), u"No more data is available.\r\n");
    // Every NTE_ code of the header has a text.
    for (DWORD id = 0x80090001; id <= 0x8009002D; ++id) EXPECT_FALSE(Format(id).empty()) << std::hex << id;

    // Unknown: nothing, with ERROR_MR_MID_NOT_FOUND; own codes are not system messages.
    WCHAR buf[64];
    SetLastError(0);
    EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, 0xA0072400, 0, buf,
                             64, nullptr),
              0u);
    EXPECT_EQ(GetLastError(), 317u);
    EXPECT_EQ(Format(0x80070000u | 9999), u"");
}

TEST(FormatMessage, BuffersInsertsAndLanguages) {
    WCHAR buf[64];
    const DWORD sys = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
    // The terminator must fit too.
    SetLastError(0);
    EXPECT_EQ(FormatMessageW(sys, nullptr, 5, 0, buf, 19, nullptr), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(FormatMessageW(sys, nullptr, 5, 0, buf, 20, nullptr), 19u);

    LPWSTR allocated = nullptr;
    DWORD n = FormatMessageW(sys | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr, static_cast<DWORD>(E_FAIL), 0,
                             reinterpret_cast<LPWSTR>(&allocated), 0, nullptr);
    ASSERT_EQ(n, 19u);
    ASSERT_NE(allocated, nullptr);
    EXPECT_EQ(std::u16string(allocated), u"Unspecified error\r\n");
    EXPECT_EQ(LocalFree(allocated), nullptr);

    // Inserts left alone when ignored; refused without arguments otherwise.
    EXPECT_EQ(Format(317).substr(0, 59), u"The system cannot find message text for message number 0x%1");
    SetLastError(0);
    EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 317, 0, buf, 64, nullptr), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    LPCWSTR args[] = {u"2A", u"Tessaro"};
    WCHAR big[256];
    n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ARGUMENT_ARRAY, nullptr, 317, 0, big, 256,
                       reinterpret_cast<va_list*>(args));
    EXPECT_EQ(std::u16string(big, n),
              u"The system cannot find message text for message number 0x2A in the message file for Tessaro.\r\n");
    // Width 0xFF drops the line break.
    EXPECT_EQ(Format(5, sys | FORMAT_MESSAGE_MAX_WIDTH_MASK), u"Access is denied.");
    // English and neutral are installed; Chinese system texts are not.
    EXPECT_EQ(FormatMessageW(sys, nullptr, 5, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), buf, 64, nullptr), 19u);
    EXPECT_EQ(FormatMessageW(sys, nullptr, 5, MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED), buf, 64, nullptr),
              0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_LANG_NOT_FOUND));
}

TEST(Resources, StringTablesFollowTheLocale) {
    HMODULE self = GetModuleHandleW(nullptr);
    ASSERT_NE(self, nullptr);
    WCHAR buf[512];
    {
        ScopedEnv all("LC_ALL", nullptr), msgs("LC_MESSAGES", nullptr), lang("LANG", "C");
        EXPECT_EQ(GetUserDefaultUILanguage(), 1033);
        int n = LoadStringW(self, 0x2400, buf, 512);
        EXPECT_EQ(std::u16string(buf, static_cast<size_t>(n)), u"Key length is not supported.");
        n = LoadStringW(self, 0x1020, buf, 512);
        EXPECT_EQ(std::u16string(buf), u"Specified certificate doesn't contain key usage attribute.");
        EXPECT_EQ(n, 58);
    }
    {
        ScopedEnv all("LC_ALL", nullptr), msgs("LC_MESSAGES", nullptr), lang("LANG", "zh_CN.UTF-8");
        EXPECT_EQ(GetUserDefaultUILanguage(), 2052);
        int n = LoadStringW(self, 0x2401, buf, 512);
        EXPECT_EQ(std::u16string(buf, static_cast<size_t>(n)), u"无效的密钥算法");
        LoadStringW(nullptr, 0x1042, buf, 512);
        EXPECT_EQ(std::u16string(buf), u"PKCS#7签名解码失败");
    }
    {
        // LC_ALL wins over LANG; LC_MESSAGES over LANG.
        ScopedEnv all("LC_ALL", "en_US.UTF-8"), lang("LANG", "zh_CN.UTF-8");
        EXPECT_EQ(GetUserDefaultUILanguage(), 1033);
        ScopedEnv noAll("LC_ALL", ""), msgs("LC_MESSAGES", "zh_TW");
        EXPECT_EQ(GetUserDefaultUILanguage(), 2052);
    }
    ScopedEnv all("LC_ALL", "C");
    // Truncation to cchBufferMax - 1 with a terminator.
    EXPECT_EQ(LoadStringW(self, 0x1007, buf, 4), 3);
    EXPECT_EQ(std::u16string(buf), u"Emp");
    // cchBufferMax 0: a pointer to the read-only text.
    LPCWSTR ro = nullptr;
    EXPECT_EQ(LoadStringW(self, 0x1007, reinterpret_cast<LPWSTR>(&ro), 0), 10);
    ASSERT_NE(ro, nullptr);
    EXPECT_EQ(std::u16string(ro, 10), u"Empty file");
    // Missing id.
    SetLastError(0);
    buf[0] = u'x';
    EXPECT_EQ(LoadStringW(self, 0x1008, buf, 512), 0);
    EXPECT_EQ(buf[0], 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_NAME_NOT_FOUND));
}

TEST(Resources, BinaryResourcesByTypeAndId) {
    HMODULE self = GetModuleHandleW(nullptr);
    HRSRC r = FindResourceW(self, MAKEINTRESOURCEW(1), u"productversion");
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r, FindResourceW(nullptr, u"#1", u"PRODUCTVERSION"));
    HGLOBAL g = LoadResource(self, r);
    ASSERT_NE(g, nullptr);
    EXPECT_EQ(SizeofResource(self, r), 7u);
    EXPECT_EQ(std::string(static_cast<const char*>(LockResource(g)), 7), "3.2.0.2");

    SetLastError(0);
    EXPECT_EQ(FindResourceW(self, MAKEINTRESOURCEW(2), u"PRODUCTVERSION"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_NAME_NOT_FOUND));
    EXPECT_EQ(FindResourceW(self, MAKEINTRESOURCEW(208), u"NOSUCHTYPE"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_TYPE_NOT_FOUND));
    // A handle that is not a resource entry is refused, never read.
    int notAnEntry = 0;
    EXPECT_EQ(LoadResource(self, reinterpret_cast<HRSRC>(&notAnEntry)), nullptr);
    EXPECT_EQ(SizeofResource(self, reinterpret_cast<HRSRC>(&notAnEntry)), 0u);
    EXPECT_EQ(GetModuleHandleW(u"other.dll"), nullptr);
}

TEST(LocalMemory, ZeroedAndFreed) {
    BYTE* p = static_cast<BYTE*>(LocalAlloc(LPTR, 64));
    ASSERT_NE(p, nullptr);
    for (int i = 0; i < 64; ++i) ASSERT_EQ(p[i], 0);
    EXPECT_EQ(LocalFree(p), nullptr);
    EXPECT_EQ(LocalFree(nullptr), nullptr);
    p = static_cast<BYTE*>(LocalAlloc(LMEM_FIXED, 0));
    EXPECT_NE(p, nullptr);
    LocalFree(p);
}

TEST(Modules, LibrariesLoadAndExportsResolve) {
    HMODULE libc = LoadLibraryW(u"libc.so.6");
    ASSERT_NE(libc, nullptr);
    void* p = GetProcAddress(libc, "strlen");
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(reinterpret_cast<size_t (*)(const char*)>(p)("abc"), 3u);
    SetLastError(0);
    EXPECT_EQ(GetProcAddress(libc, "no_such_export_here"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
    EXPECT_TRUE(FreeLibrary(libc));
    // Freed once per load; a handle that was never loaded is refused, never dereferenced.
    EXPECT_FALSE(FreeLibrary(libc));
    int junk = 0;
    EXPECT_EQ(GetProcAddress(reinterpret_cast<HMODULE>(&junk), "strlen"), nullptr);
    EXPECT_EQ(GetProcAddress(GetModuleHandleW(nullptr), "strlen"), nullptr);
    // The emulated system libraries answer from the platform itself.
    HMODULE k32 = LoadLibraryW(u"C:\\Windows\\System32\\KERNEL32.dll");
    ASSERT_NE(k32, nullptr);
    EXPECT_EQ(GetProcAddress(k32, "GetLastError"), reinterpret_cast<void*>(&GetLastError));
    EXPECT_TRUE(FreeLibrary(k32));
    EXPECT_EQ(GetCurrentProcessId(), static_cast<DWORD>(getpid()));
}
