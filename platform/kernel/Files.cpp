// Files on UTF-16 paths and the temporary directory. Files are created 0600
// and never opened through a symlink; only regular files are opened.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <new>
#include <set>
#include <string>

#include "win/winbase.h"

namespace {

constexpr DWORD kErrorTooManyOpenFiles = 4;
constexpr DWORD kErrorDiskFull = 112;
constexpr DWORD kFileMagic = 0x46494C45;  // "FILE"

struct FileHandle {
    DWORD magic = kFileMagic;
    int fd = -1;
};

std::mutex g_filesMutex;
std::set<FileHandle*> g_files;

FileHandle* Lookup(HANDLE h) {
    std::lock_guard<std::mutex> lock(g_filesMutex);
    auto* f = static_cast<FileHandle*>(h);
    return g_files.count(f) ? f : nullptr;
}

DWORD ErrorFromErrno(int e, bool creating) {
    switch (e) {
    case ENOENT:
        return creating ? ERROR_PATH_NOT_FOUND : ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
        return ERROR_PATH_NOT_FOUND;
    case EEXIST:
        return ERROR_FILE_EXISTS;
    case EACCES:
    case EPERM:
    case EROFS:
    case ELOOP:  // a symlink where a file was expected
    case EISDIR:
    case ETXTBSY:
        return ERROR_ACCESS_DENIED;
    case ENAMETOOLONG:
        return ERROR_FILENAME_EXCED_RANGE;
    case EMFILE:
    case ENFILE:
        return kErrorTooManyOpenFiles;
    case ENOSPC:
    case EDQUOT:
        return kErrorDiskFull;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    case EINVAL:
        return ERROR_INVALID_PARAMETER;
    default:
        return ERROR_INVALID_FUNCTION;
    }
}

// UTF-16 path to the file system's UTF-8, '\\' read as '/'. Empty on
// ill-formed text.
bool ToNativePath(LPCWSTR w, std::string* out) {
    if (!w || !*w) return false;
    int n = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, w, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1) return false;
    std::string s(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, w, -1, s.data(), n, nullptr, nullptr);
    s.resize(static_cast<size_t>(n - 1));
    for (auto& c : s)
        if (c == '\\') c = '/';
    *out = s;
    return true;
}

}  // namespace

DWORD GetTempPathW(DWORD nBufferLength, LPWSTR lpBuffer) try {
    const char* env = std::getenv("TMPDIR");
    std::string dir = (env && env[0] == '/') ? env : "/tmp";
    if (dir.back() != '/') dir.push_back('/');
    int n = MultiByteToWideChar(CP_UTF8, 0, dir.c_str(), -1, nullptr, 0);
    if (n <= 0) {
        SetLastError(ERROR_INVALID_NAME);
        return 0;
    }
    // Too small: the size needed, terminator included; else the length copied.
    if (!lpBuffer || nBufferLength < static_cast<DWORD>(n)) return static_cast<DWORD>(n);
    MultiByteToWideChar(CP_UTF8, 0, dir.c_str(), -1, lpBuffer, n);
    return static_cast<DWORD>(n - 1);
} catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
}

HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) try {
    std::string path;
    if (!ToNativePath(lpFileName, &path)) {
        SetLastError(lpFileName && *lpFileName ? ERROR_INVALID_NAME : ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    int access;
    bool rd = dwDesiredAccess & GENERIC_READ, wr = dwDesiredAccess & GENERIC_WRITE;
    access = rd && wr ? O_RDWR : wr ? O_WRONLY : O_RDONLY;
    int base = access | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
    int fd = -1;
    bool existed = false;
    switch (dwCreationDisposition) {
    case CREATE_NEW:
        fd = open(path.c_str(), base | O_CREAT | O_EXCL, 0600);
        break;
    case CREATE_ALWAYS:
    case OPEN_ALWAYS:
        fd = open(path.c_str(), base | O_CREAT | O_EXCL, 0600);
        if (fd < 0 && errno == EEXIST) {
            existed = true;
            fd = open(path.c_str(), base | (dwCreationDisposition == CREATE_ALWAYS ? O_TRUNC : 0));
        }
        break;
    case OPEN_EXISTING:
        fd = open(path.c_str(), base);
        break;
    case TRUNCATE_EXISTING:
        if (!wr) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return INVALID_HANDLE_VALUE;
        }
        fd = open(path.c_str(), base | O_TRUNC);
        break;
    default:
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    if (fd < 0) {
        bool creating = dwCreationDisposition != OPEN_EXISTING && dwCreationDisposition != TRUNCATE_EXISTING;
        SetLastError(ErrorFromErrno(errno, creating));
        return INVALID_HANDLE_VALUE;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    if (!existed && dwCreationDisposition != OPEN_EXISTING && dwCreationDisposition != TRUNCATE_EXISTING)
        fchmod(fd, 0600);  // the umask may have taken bits away
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    FileHandle* h = new (std::nothrow) FileHandle();
    if (!h) {
        close(fd);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    h->fd = fd;
    try {
        std::lock_guard<std::mutex> lock(g_filesMutex);
        g_files.insert(h);
    } catch (const std::bad_alloc&) {
        delete h;
        close(fd);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    // As on Windows: success, and the last error tells that the file was there.
    SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return h;
} catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return INVALID_HANDLE_VALUE;
}

namespace {

// ReadFile and WriteFile: the whole count moved, interrupted calls retried; a
// read that meets the end of the file succeeds with what it read.
template <typename Io>
BOOL Transfer(HANDLE hFile, bool hasBuffer, DWORD count, LPDWORD moved, void* overlapped, Io io) {
    if (moved) *moved = 0;
    FileHandle* f = Lookup(hFile);
    if (!f) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (overlapped || (!hasBuffer && count)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    DWORD done = 0;
    while (done < count) {
        ssize_t n = io(f->fd, done, count - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (moved) *moved = done;
            SetLastError(errno == EBADF ? ERROR_ACCESS_DENIED : ErrorFromErrno(errno, false));
            return FALSE;
        }
        if (n == 0) break;
        done += static_cast<DWORD>(n);
    }
    if (moved) *moved = done;
    return TRUE;
}

}  // namespace

BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
               void* lpOverlapped) {
    const char* p = static_cast<const char*>(lpBuffer);
    return Transfer(hFile, p != nullptr, nNumberOfBytesToWrite, lpNumberOfBytesWritten, lpOverlapped,
                    [p](int fd, DWORD at, DWORD n) { return write(fd, p + at, n); });
}

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
              void* lpOverlapped) {
    char* p = static_cast<char*>(lpBuffer);
    return Transfer(hFile, p != nullptr, nNumberOfBytesToRead, lpNumberOfBytesRead, lpOverlapped,
                    [p](int fd, DWORD at, DWORD n) { return read(fd, p + at, n); });
}

BOOL CloseHandle(HANDLE hObject) {
    FileHandle* f;
    {
        std::lock_guard<std::mutex> lock(g_filesMutex);
        f = static_cast<FileHandle*>(hObject);
        auto it = g_files.find(f);
        if (it == g_files.end()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        g_files.erase(it);
    }
    close(f->fd);
    f->magic = 0;
    delete f;
    return TRUE;
}

BOOL DeleteFileW(LPCWSTR lpFileName) try {
    std::string path;
    if (!ToNativePath(lpFileName, &path)) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    if (unlink(path.c_str()) != 0) {
        SetLastError(ErrorFromErrno(errno, false));
        return FALSE;
    }
    return TRUE;
} catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
}

BOOL PathFileExistsW(LPCWSTR pszPath) try {
    std::string path;
    struct stat st;
    if (!ToNativePath(pszPath, &path) || stat(path.c_str(), &st) != 0) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    return TRUE;
} catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
}
