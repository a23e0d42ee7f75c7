// Event tracing emulation: providers register with an enable callback; the
// only session is the global logger, configured in the machine hive; its
// messages go to a rotated text file in the prefix.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "win/evntrace.h"
#include "win/objbase.h"
#include "win/platform_prefix.h"
#include "win/winbase.h"
#include "tessaro/Handles.h"
#include "win/winreg.h"

namespace {

constexpr TRACEHANDLE kGlobalLoggerHandle = 0x4B45564F00000001ULL;
constexpr off_t kMaxTraceFileBytes = 4 * 1024 * 1024;
constexpr auto kSessionRecheck = std::chrono::milliseconds(500);
const char16_t kGlobalLoggerKey[] = u"SYSTEM\\CurrentControlSet\\Control\\Wmi\\GlobalLogger";

struct Provider {
    WMIDPREQUEST callback = nullptr;
    PVOID context = nullptr;
    GUID control{};
    bool enabled = false;
    DWORD flags = 0;
    BYTE level = 0;
};

struct SessionState {
    bool running = false;
    std::chrono::steady_clock::time_point checked{};
    bool known = false;
    std::string prefix;  // the answer holds for this prefix only
};

struct EtwState {
    std::mutex mutex;
    std::map<TRACEHANDLE, Provider> providers;
    TRACEHANDLE nextHandle = 0x100;
    std::map<std::string, std::string> guidNames;  // GUID text -> unit name
    SessionState session;
    std::string dir;
    int logFd = -1;
    int lockFd = -1;
    std::atomic<ULONG> sequence{0};
};

EtwState& State() {
    static EtwState* s = new EtwState();
    return *s;
}

// Saves and restores errno and the thread's last error around tracing.
struct KeepErrors {
    int savedErrno = errno;
    DWORD savedLast = GetLastError();
    ~KeepErrors() {
        errno = savedErrno;
        SetLastError(savedLast);
    }
};

std::string GuidText(const GUID& g) {
    WCHAR w[40];
    StringFromGUID2(g, w, 40);
    return std::string(w, w + 38);
}

bool ReadDword(HKEY h, LPCWSTR name, DWORD* out) {
    DWORD type = 0, v = 0, cb = sizeof(v);
    if (RegQueryValueExW(h, name, nullptr, &type, reinterpret_cast<BYTE*>(&v), &cb) != ERROR_SUCCESS) return false;
    if (type != REG_DWORD || cb != sizeof(v)) return false;
    *out = v;
    return true;
}

// The global logger setting: running, and the flags/level for a provider.
bool ReadGlobalLogger(const GUID* control, DWORD* flags, DWORD* level) {
    tessaro::UniqueHkey h;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kGlobalLoggerKey, 0, KEY_READ, h.put()) != ERROR_SUCCESS) return false;
    DWORD start = 0;
    bool running = ReadDword(h.get(), u"Start", &start) && start == 1;
    if (running && control) {
        WCHAR name[40];
        StringFromGUID2(*control, name, 40);
        tessaro::UniqueHkey sub;
        DWORD f = 0, l = 0;
        if (RegOpenKeyExW(h.get(), name, 0, KEY_READ, sub.put()) == ERROR_SUCCESS) {
            ReadDword(sub.get(), u"Flags", &f);
            ReadDword(sub.get(), u"Level", &l);
        }
        if (flags) *flags = f;
        if (level) *level = l;
    }
    return running;
}

// Whether the session runs, re-read at most every half second. The registry
// is read without our lock held, so a registry user that traces cannot
// deadlock against a tracer that reads the registry.
bool SessionRunning(EtwState& st) {
    auto now = std::chrono::steady_clock::now();
    std::string prefix = tessaro_platform::PrefixDirectory();
    {
        std::lock_guard<std::mutex> lock(st.mutex);
        if (st.session.known && now - st.session.checked <= kSessionRecheck && prefix == st.session.prefix)
            return st.session.running;
    }
    bool running = ReadGlobalLogger(nullptr, nullptr, nullptr);
    std::lock_guard<std::mutex> lock(st.mutex);
    st.session.prefix = prefix;
    st.session.running = running;
    st.session.checked = now;
    st.session.known = true;
    return running;
}

void CloseFiles(EtwState& st) {
    if (st.logFd >= 0) close(st.logFd);
    if (st.lockFd >= 0) close(st.lockFd);
    st.logFd = st.lockFd = -1;
}

// Appends one line under the cross-process lock, rotating first when the
// file would pass its bound (or another process rotated it).
void AppendLine(EtwState& st, const std::string& line) {
    std::string dir = tessaro_platform::PrefixSubdirectory("trace");
    if (dir.empty()) return;
    if (dir != st.dir) {
        CloseFiles(st);
        st.dir = dir;
    }
    std::string path = dir + "/kevo.log";
    if (st.lockFd < 0) st.lockFd = tessaro_platform::OpenPrivateFile(dir + "/kevo.lock", O_RDWR | O_CREAT);
    if (st.lockFd < 0) return;
    if (flock(st.lockFd, LOCK_EX) != 0) return;
    struct stat onDisk, open;
    if (st.logFd >= 0 && (stat(path.c_str(), &onDisk) != 0 || fstat(st.logFd, &open) != 0 ||
                          onDisk.st_ino != open.st_ino || onDisk.st_dev != open.st_dev)) {
        close(st.logFd);
        st.logFd = -1;
    }
    if (st.logFd < 0) st.logFd = tessaro_platform::OpenPrivateFile(path, O_WRONLY | O_CREAT | O_APPEND);
    if (st.logFd >= 0 && fstat(st.logFd, &open) == 0 && open.st_size > 0 &&
        open.st_size + static_cast<off_t>(line.size()) > kMaxTraceFileBytes) {
        rename(path.c_str(), (path + ".1").c_str());
        close(st.logFd);
        st.logFd = tessaro_platform::OpenPrivateFile(path, O_WRONLY | O_CREAT | O_APPEND);
    }
    if (st.logFd >= 0) {
        size_t done = 0;
        while (done < line.size()) {
            ssize_t n = write(st.logFd, line.data() + done, line.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
    }
    flock(st.lockFd, LOCK_UN);
}

void AppendEscaped(std::string& out, const std::string& text) {
    for (unsigned char c : text) {
        if (c == '\n') out += "\\n";
        else if (c == '\r') out += "\\r";
        else if (c < 0x20 && c != '\t') {
            char b[8];
            std::snprintf(b, sizeof b, "\\x%02X", c);
            out += b;
        } else out.push_back(static_cast<char>(c));
    }
}

std::string RenderArgument(const BYTE* p, size_t n) {
    if (n >= 2 && n % 2 == 0 && p[n - 1] == 0 && p[n - 2] == 0) {
        std::u16string w(n / 2 - 1, u'\0');
        std::memcpy(w.data(), p, w.size() * 2);
        w.resize(std::char_traits<char16_t>::length(w.c_str()));
        if (w.empty()) return std::string();
        int len = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
        std::string s(static_cast<size_t>(len > 0 ? len : 0), '\0');
        if (len > 0)
            WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), s.data(), len, nullptr, nullptr);
        return s;
    }
    if (n >= 1 && p[n - 1] == 0) return std::string(reinterpret_cast<const char*>(p));
    std::string s;
    char b[4];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, "%02X", p[i]);
        s += b;
    }
    return s;
}

}  // namespace

ULONG RegisterTraceGuidsW(WMIDPREQUEST RequestAddress, PVOID RequestContext, LPCGUID ControlGuid, ULONG GuidCount,
                          PTRACE_GUID_REGISTRATION TraceGuidReg, LPCWSTR MofImagePath, LPCWSTR MofResourceName,
                          PTRACEHANDLE RegistrationHandle) try {
    if (!RequestAddress || !ControlGuid || !RegistrationHandle || (GuidCount > 0 && !TraceGuidReg))
        return ERROR_INVALID_PARAMETER;
    EtwState& st = State();
    std::lock_guard<std::mutex> lock(st.mutex);
    Provider p;
    p.callback = RequestAddress;
    p.context = RequestContext;
    p.control = *ControlGuid;
    TRACEHANDLE h = st.nextHandle++;
    st.providers[h] = p;
    for (ULONG i = 0; i < GuidCount; ++i) TraceGuidReg[i].RegHandle = reinterpret_cast<HANDLE>(h);
    *RegistrationHandle = h;
    return ERROR_SUCCESS;
} catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
}

ULONG UnregisterTraceGuids(TRACEHANDLE RegistrationHandle) {
    EtwState& st = State();
    std::lock_guard<std::mutex> lock(st.mutex);
    auto it = st.providers.find(RegistrationHandle);
    if (it == st.providers.end()) return ERROR_INVALID_PARAMETER;
    st.providers.erase(it);
    return ERROR_SUCCESS;
}

namespace {
// What the enable callback's Buffer points at, and what the Get* calls read.
struct EnableContext {
    WNODE_HEADER wnode;
    ULONG flags;
    UCHAR level;
};
thread_local const EnableContext* t_enable = nullptr;
}  // namespace

TRACEHANDLE GetTraceLoggerHandle(PVOID Buffer) {
    if (!Buffer) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return static_cast<WNODE_HEADER*>(Buffer)->u1.HistoricalContext;
}

UCHAR GetTraceEnableLevel(TRACEHANDLE TraceHandle) {
    if (t_enable && t_enable->wnode.u1.HistoricalContext == TraceHandle) return t_enable->level;
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
}

ULONG GetTraceEnableFlags(TRACEHANDLE TraceHandle) {
    if (t_enable && t_enable->wnode.u1.HistoricalContext == TraceHandle) return t_enable->flags;
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
}

void TraceRefreshProviders() {
    EtwState& st = State();
    std::vector<std::pair<TRACEHANDLE, GUID>> registered;
    {
        std::lock_guard<std::mutex> lock(st.mutex);
        st.session.known = false;
        for (auto& [h, p] : st.providers) registered.emplace_back(h, p.control);
    }
    struct Setting {
        TRACEHANDLE handle;
        bool on;
        DWORD flags, level;
    };
    std::vector<Setting> settings;
    for (auto& [h, control] : registered) {
        Setting s{h, false, 0, 0};
        s.on = ReadGlobalLogger(&control, &s.flags, &s.level);
        settings.push_back(s);
    }
    std::vector<std::pair<Provider, bool>> calls;
    {
        std::lock_guard<std::mutex> lock(st.mutex);
        for (const Setting& s : settings) {
            auto it = st.providers.find(s.handle);
            if (it == st.providers.end()) continue;  // unregistered meanwhile
            Provider& p = it->second;
            if (s.on == p.enabled && (!s.on || (s.flags == p.flags && s.level == p.level))) continue;
            p.enabled = s.on;
            p.flags = s.flags;
            p.level = static_cast<BYTE>(s.level);
            calls.emplace_back(p, s.on);
        }
    }
    // Callbacks run without our lock: they call back into the Get* functions.
    for (auto& [p, on] : calls) {
        EnableContext ctx{};
        ctx.wnode.BufferSize = sizeof(WNODE_HEADER);
        ctx.wnode.u1.HistoricalContext = on ? kGlobalLoggerHandle : 0;
        ctx.wnode.Guid = p.control;
        ctx.flags = p.flags;
        ctx.level = p.level;
        ULONG size = sizeof(ctx.wnode);
        t_enable = &ctx;
        p.callback(on ? WMI_ENABLE_EVENTS : WMI_DISABLE_EVENTS, p.context, &size, &ctx.wnode);
        t_enable = nullptr;
    }
}

ULONG ControlTraceW(TRACEHANDLE SessionHandle, LPCWSTR SessionName, PEVENT_TRACE_PROPERTIES Properties,
                    ULONG ControlCode) try {
    if (!Properties || Properties->Wnode.BufferSize < sizeof(EVENT_TRACE_PROPERTIES)) return ERROR_INVALID_PARAMETER;
    if (ControlCode != EVENT_TRACE_CONTROL_QUERY) return ERROR_NOT_SUPPORTED;
    bool named = SessionName && _wcsicmp(SessionName, GLOBAL_LOGGER_NAMEW) == 0;
    bool byHandle = !SessionName && SessionHandle == kGlobalLoggerHandle;
    if (!named && !byHandle) return ERROR_WMI_INSTANCE_NOT_FOUND;
    if (!ReadGlobalLogger(nullptr, nullptr, nullptr)) return ERROR_WMI_INSTANCE_NOT_FOUND;
    Properties->Wnode.u1.HistoricalContext = kGlobalLoggerHandle;
    Properties->LogFileMode = 0;
    return ERROR_SUCCESS;
} catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
}

void TraceNameMessageGuid(LPCGUID MessageGuid, const char* pszUnitName) {
    if (!MessageGuid || !pszUnitName) return;
    EtwState& st = State();
    std::lock_guard<std::mutex> lock(st.mutex);
    st.guidNames[GuidText(*MessageGuid)] = pszUnitName;
}

ULONG TraceMessageVa(TRACEHANDLE LoggerHandle, ULONG MessageFlags, LPCGUID MessageGuid, USHORT MessageNumber,
                     va_list MessageArgList) try {
    if (LoggerHandle != kGlobalLoggerHandle) return ERROR_INVALID_HANDLE;
    KeepErrors keep;
    // Collect the arguments first, so the list is always consumed whole.
    std::string text;
    bool first = true;
    for (;;) {
        const void* p = va_arg(MessageArgList, const void*);
        if (!p) break;
        size_t n = va_arg(MessageArgList, size_t);
        if (!first) text.push_back(' ');
        first = false;
        AppendEscaped(text, RenderArgument(static_cast<const BYTE*>(p), n));
    }
    EtwState& st = State();
    if (!SessionRunning(st)) return ERROR_SUCCESS;  // stopped: dropped, as a real session would
    std::lock_guard<std::mutex> lock(st.mutex);
    std::string line;
    char head[160];
    if (MessageFlags & TRACE_MESSAGE_TIMESTAMP) {
        struct timespec ts;
        clock_gettime(CLOCK_REALTIME, &ts);
        struct tm tmv;
        gmtime_r(&ts.tv_sec, &tmv);
        std::snprintf(head, sizeof head, "%04d-%02d-%02d %02d:%02d:%02d.%06ld", tmv.tm_year + 1900, tmv.tm_mon + 1,
                      tmv.tm_mday, tmv.tm_hour, tmv.tm_min, tmv.tm_sec, static_cast<long>(ts.tv_nsec / 1000));
        line += head;
    }
    line.push_back('\t');
    if (MessageFlags & TRACE_MESSAGE_SYSTEMINFO) {
        std::snprintf(head, sizeof head, "%u\t%u", static_cast<unsigned>(GetCurrentProcessId()),
                      static_cast<unsigned>(GetCurrentThreadId()));
        line += head;
    } else {
        line += "\t";
    }
    line.push_back('\t');
    if (MessageFlags & TRACE_MESSAGE_SEQUENCE) line += std::to_string(++st.sequence);
    line.push_back('\t');
    if ((MessageFlags & TRACE_MESSAGE_GUID) && MessageGuid) {
        std::string g = GuidText(*MessageGuid);
        auto it = st.guidNames.find(g);
        line += it != st.guidNames.end() ? it->second : g;
    }
    line.push_back('\t');
    line += std::to_string(MessageNumber);
    line.push_back('\t');
    line += text;
    line.push_back('\n');
    AppendLine(st, line);
    return ERROR_SUCCESS;
} catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
}

ULONG TraceMessage(TRACEHANDLE LoggerHandle, ULONG MessageFlags, LPCGUID MessageGuid, USHORT MessageNumber, ...) {
    va_list ap;
    va_start(ap, MessageNumber);
    ULONG rc = TraceMessageVa(LoggerHandle, MessageFlags, MessageGuid, MessageNumber, ap);
    va_end(ap);
    return rc;
}
