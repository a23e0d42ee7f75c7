// The diagnostic channel: one trace provider whose lines are composed in
// fixed 512-unit buffers and sent with TraceMessage only when the session
// enabled their flag; with no session a message costs one flag test.
//
// For a trace decoder: every message carries TRACE_MESSAGE_SEQUENCE |
// TRACE_MESSAGE_GUID | TRACE_MESSAGE_SYSTEMINFO | TRACE_MESSAGE_TIMESTAMP.
// Failure lines are sent under the message GUID of their source unit (a
// name-based GUID: SHA-1 of the unit name in the namespace of the control
// GUID) with the source line as message number. Lines without a unit go
// under the unit "KevoTrace": 1 step line, 2 traced value, 3 entry, 4 exit.
// Arguments: the composed line (UTF-16 for the wide forms, 8-bit for the
// others, each with its terminator), and for wide lines the result code as
// 8-bit text "0x%08x".
// OpenSSL first: wincrypt's macros (X509_NAME, ...) would clash with its types.

#include "diag/Diagnostics.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <string>

#include "tessaro/Handles.h"
#include "win/evntrace.h"
#include "win/windows.h"

const GUID KEVO_TRACE_CONTROL_GUID = {0x5C8F2A58, 0x369A, 0x44F0, {0x92, 0x35, 0xC0, 0x5E, 0xCB, 0x1D, 0xD7, 0x3E}};

namespace {

constexpr ULONG kMessageFlags =
    TRACE_MESSAGE_SEQUENCE | TRACE_MESSAGE_GUID | TRACE_MESSAGE_SYSTEMINFO | TRACE_MESSAGE_TIMESTAMP;  // 43
constexpr size_t kLineUnits = 512;
constexpr USHORT kMsgStep = 1, kMsgValue = 2, kMsgEntry = 3, kMsgExit = 4;
const char kGeneralUnit[] = "KevoTrace";
const char16_t kGlobalLoggerKey[] = u"SYSTEM\\CurrentControlSet\\Control\\Wmi\\GlobalLogger";

typedef ULONG (*PFN_TRACE_MESSAGE)(TRACEHANDLE, ULONG, LPCGUID, USHORT, ...);

// The provider's control block: written by the enable path, read without a
// lock by every message (a message racing an enable may be lost).
struct ControlBlock {
    std::atomic<TRACEHANDLE> loggerHandle{0};
    std::atomic<DWORD> flags{0};
    std::atomic<UCHAR> level{0};
};
ControlBlock g_control;
TRACEHANDLE g_registration = 0;
bool g_registered = false;
std::atomic<PFN_TRACE_MESSAGE> g_pfnTraceMessage{nullptr};

// Tracing never changes what a following GetLastError returns.
struct KeepLastError {
    DWORD saved = GetLastError();
    ~KeepLastError() { SetLastError(saved); }
};

// UTF-16 line buffer, cleared per line; appends truncate, never overflow.
struct WideLine {
    WCHAR buf[kLineUnits];
    size_t len = 0;
    WideLine() { std::memset(buf, 0, sizeof(buf)); }
    void Append(LPCWSTR s) {
        if (!s) s = u"NULL";
        for (; *s && len + 1 < kLineUnits; ++s) buf[len++] = *s;
    }
    void AppendA(const char* s) {
        if (!s) s = "NULL";
        // 8-bit parts are UTF-8 (unit names, numbers): widen them properly.
        int n = MultiByteToWideChar(CP_UTF8, 0, s, -1, nullptr, 0);
        if (n <= 1) return;
        try {
            std::u16string w(static_cast<size_t>(n), u'\0');
            MultiByteToWideChar(CP_UTF8, 0, s, -1, w.data(), n);
            Append(w.c_str());
        } catch (const std::bad_alloc&) {
            // Tracing never fails the traced call: the part is left out.
        }
    }
    size_t Bytes() const { return (len + 1) * sizeof(WCHAR); }
};

std::string Narrow(LPCWSTR w) {
    if (!w) return "NULL";
    int n = WideCharToMultiByte(CP_UTF8, 0, w, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1) return std::string();
    std::string s(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w, -1, s.data(), n, nullptr, nullptr);
    s.resize(static_cast<size_t>(n - 1));
    return s;
}

// Name-based GUID (version 5) of a unit, cached; named for the trace file.
GUID UnitGuid(const std::string& unit) {
    static std::mutex mutex;
    static std::map<std::string, GUID> cache;
    std::lock_guard<std::mutex> lock(mutex);
    auto it = cache.find(unit);
    if (it != cache.end()) return it->second;
    BYTE ns[16];
    ns[0] = static_cast<BYTE>(KEVO_TRACE_CONTROL_GUID.Data1 >> 24);
    ns[1] = static_cast<BYTE>(KEVO_TRACE_CONTROL_GUID.Data1 >> 16);
    ns[2] = static_cast<BYTE>(KEVO_TRACE_CONTROL_GUID.Data1 >> 8);
    ns[3] = static_cast<BYTE>(KEVO_TRACE_CONTROL_GUID.Data1);
    ns[4] = static_cast<BYTE>(KEVO_TRACE_CONTROL_GUID.Data2 >> 8);
    ns[5] = static_cast<BYTE>(KEVO_TRACE_CONTROL_GUID.Data2);
    ns[6] = static_cast<BYTE>(KEVO_TRACE_CONTROL_GUID.Data3 >> 8);
    ns[7] = static_cast<BYTE>(KEVO_TRACE_CONTROL_GUID.Data3);
    std::memcpy(ns + 8, KEVO_TRACE_CONTROL_GUID.Data4, 8);
    std::string input(reinterpret_cast<char*>(ns), 16);
    input += unit;
    BYTE md[20];
    DWORD mdLen = sizeof md;
    if (!CryptHashCertificate(0, CALG_SHA1, 0, reinterpret_cast<const BYTE*>(input.data()),
                              static_cast<DWORD>(input.size()), md, &mdLen))
        return GUID{};
    GUID g;
    g.Data1 = (static_cast<DWORD>(md[0]) << 24) | (static_cast<DWORD>(md[1]) << 16) |
              (static_cast<DWORD>(md[2]) << 8) | md[3];
    g.Data2 = static_cast<WORD>((md[4] << 8) | md[5]);
    g.Data3 = static_cast<WORD>((((md[6] << 8) | md[7]) & 0x0FFF) | 0x5000);
    std::memcpy(g.Data4, md + 8, 8);
    g.Data4[0] = static_cast<BYTE>((g.Data4[0] & 0x3F) | 0x80);
    cache[unit] = g;
    TraceNameMessageGuid(&g, unit.c_str());
    return g;
}

// Sends one message: the line with its terminator, then an optional code text.
// Tracing runs in destructors and failure paths, so it never throws: a line
// that cannot be sent for want of memory is dropped.
void Send(const char* unit, USHORT number, const void* line, size_t bytes, const char* codeText) noexcept {
    KeepLastError keep;
    PFN_TRACE_MESSAGE pfn = g_pfnTraceMessage.load();
    TRACEHANDLE logger = g_control.loggerHandle.load();
    if (!pfn || !logger) return;
    try {
        GUID guid = UnitGuid(unit);
        if (codeText)
            pfn(logger, kMessageFlags, &guid, number, line, bytes, codeText, std::strlen(codeText) + 1,
                static_cast<const void*>(nullptr));
        else
            pfn(logger, kMessageFlags, &guid, number, line, bytes, static_cast<const void*>(nullptr));
    } catch (const std::bad_alloc&) {
    }
}

void SendWide(const char* unit, USHORT number, const WideLine& l, HRESULT hResult) {
    char code[16];
    std::snprintf(code, sizeof(code), "0x%08x", static_cast<unsigned>(hResult));
    Send(unit, number, l.buf, l.Bytes(), code);
}

void SendNarrow(const char* unit, USHORT number, const char* line) {
    Send(unit, number, line, std::strlen(line) + 1, nullptr);
}

ULONG ControlCallback(WMIDPREQUESTCODE RequestCode, PVOID RequestContext, ULONG* BufferSize, PVOID Buffer) {
    switch (RequestCode) {
    case WMI_ENABLE_EVENTS: {
        TRACEHANDLE h = GetTraceLoggerHandle(Buffer);
        g_control.level = GetTraceEnableLevel(h);
        g_control.flags = GetTraceEnableFlags(h);
        g_control.loggerHandle = h;
        return ERROR_SUCCESS;
    }
    case WMI_DISABLE_EVENTS:
        g_control.flags = 0;
        g_control.level = 0;
        g_control.loggerHandle = 0;
        return ERROR_SUCCESS;
    default:
        return ERROR_INVALID_PARAMETER;
    }
}

bool QueryDword(HKEY h, LPCWSTR name, DWORD* out) {
    DWORD type = 0, cb = sizeof(DWORD);
    return RegQueryValueExW(h, name, nullptr, &type, reinterpret_cast<BYTE*>(out), &cb) == ERROR_SUCCESS &&
           type == REG_DWORD;
}

// The boot-time global logger: "Start" = 1, and this provider's Flags and
// Level under the subkey named by the control GUID.
void EnableFromGlobalLogger() {
    DWORD start = 0, flags = 0, level = 0;
    {
        tessaro::UniqueHkey key, sub;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kGlobalLoggerKey, 0, KEY_READ, key.put()) != ERROR_SUCCESS) return;
        if (!QueryDword(key.get(), u"Start", &start) || start != 1) return;
        WCHAR name[40];
        StringFromGUID2(KEVO_TRACE_CONTROL_GUID, name, 40);
        if (RegOpenKeyExW(key.get(), name, 0, KEY_READ, sub.put()) != ERROR_SUCCESS) return;
        QueryDword(sub.get(), u"Flags", &flags);
        QueryDword(sub.get(), u"Level", &level);
    }
    struct {
        EVENT_TRACE_PROPERTIES props;
        WCHAR names[2 * 1024];
    } query;
    std::memset(&query, 0, sizeof(query));
    query.props.Wnode.BufferSize = sizeof(query);
    query.props.LoggerNameOffset = sizeof(EVENT_TRACE_PROPERTIES);
    if (ControlTraceW(0, u"GlobalLogger", &query.props, EVENT_TRACE_CONTROL_QUERY) != ERROR_SUCCESS) return;
    g_control.level = static_cast<UCHAR>(level);
    g_control.flags = flags & 0x7FFFFFFF;
    g_control.loggerHandle = query.props.Wnode.u1.HistoricalContext;
}

}  // namespace

bool KevoTraceEnabled(DWORD dwFlag) { return (g_control.flags.load(std::memory_order_relaxed) & dwFlag) != 0; }

void KevoTraceRegister() {
    KeepLastError keep;
    if (g_registered) return;
    try {
        if (HMODULE hAdvapi = LoadLibraryW(u"advapi32.dll")) {
            g_pfnTraceMessage = reinterpret_cast<PFN_TRACE_MESSAGE>(GetProcAddress(hAdvapi, "TraceMessage"));
        }
        TRACE_GUID_REGISTRATION reg = {&KEVO_TRACE_CONTROL_GUID, nullptr};
        if (RegisterTraceGuidsW(ControlCallback, nullptr, &KEVO_TRACE_CONTROL_GUID, 1, &reg, nullptr, nullptr,
                                &g_registration) != ERROR_SUCCESS)
            return;
        g_registered = true;
        if (g_control.loggerHandle.load() == 0) EnableFromGlobalLogger();
    } catch (const std::bad_alloc&) {
        // Tracing stays off; the program runs on without it.
    }
}

void KevoTraceUnregister() {
    KeepLastError keep;
    if (g_registered) UnregisterTraceGuids(g_registration);
    g_registered = false;
    g_registration = 0;
    g_control.flags = 0;
    g_control.level = 0;
    g_control.loggerHandle = 0;
}

void KevoTraceFailW(LPCWSTR pwszUnit, int nLine, LPCWSTR pwszFunction, LPCWSTR pwszStep, LPCWSTR pwszReason,
                    HRESULT hResult) {
    DWORD flag = hResult < 0 ? TRACE_FLAG_NEGATIVE_W : TRACE_FLAG_INFO;
    if (!KevoTraceEnabled(flag)) return;
    KeepLastError keep;
    WideLine l;
    char num[16];
    std::snprintf(num, sizeof(num), "%d", nLine);
    l.AppendA("[");
    l.Append(pwszUnit);
    l.AppendA("(");
    l.AppendA(num);
    l.AppendA("):] ");
    l.Append(pwszFunction);
    l.AppendA(" - ");
    l.Append(pwszStep);
    l.AppendA(" [Reason:");
    l.Append(pwszReason);
    l.AppendA("]");
    try {
        SendWide(Narrow(pwszUnit).c_str(), static_cast<USHORT>(nLine), l, hResult);
    } catch (const std::bad_alloc&) {
    }
}

void KevoTraceStepW(LPCWSTR pwszFunction, LPCWSTR pwszStep, HRESULT hResult) {
    DWORD flag = hResult < 0 ? TRACE_FLAG_NEGATIVE_W : TRACE_FLAG_INFO;
    if (!KevoTraceEnabled(flag)) return;
    KeepLastError keep;
    WideLine l;
    l.Append(pwszFunction);
    l.AppendA(" - ");
    l.Append(pwszStep);
    SendWide(kGeneralUnit, kMsgStep, l, hResult);
}

void KevoTraceFailA(const char* pszUnit, int nLine, const char* pszFunction, const char* pszStep, HRESULT hResult,
                    const char* pszReason) {
    if (!KevoTraceEnabled(TRACE_FLAG_FAILURE_A)) return;
    KeepLastError keep;
    char buf[kLineUnits] = {0};
    std::snprintf(buf, sizeof(buf), "[%s(%d):](%s -- %s)\t\t--Failed:(0x%08x) [Reason:%s]\n",
                  pszUnit ? pszUnit : "NULL", nLine, pszFunction ? pszFunction : "NULL",
                  pszStep ? pszStep : "NULL", static_cast<unsigned>(hResult), pszReason ? pszReason : "NULL");
    SendNarrow(pszUnit ? pszUnit : "NULL", static_cast<USHORT>(nLine), buf);
}

void KevoTraceOkA(const char* pszUnit, int nLine, const char* pszFunction, const char* pszStep) {
    if (!KevoTraceEnabled(TRACE_FLAG_INFO)) return;
    KeepLastError keep;
    char buf[kLineUnits] = {0};
    std::snprintf(buf, sizeof(buf), "[%s(%d)]:(%s -- %s)\t\t--OK\n", pszUnit ? pszUnit : "NULL", nLine,
                  pszFunction ? pszFunction : "NULL", pszStep ? pszStep : "NULL");
    SendNarrow(pszUnit ? pszUnit : "NULL", static_cast<USHORT>(nLine), buf);
}

void KevoTraceValueW(LPCWSTR pwszName, LPCWSTR pwszValue) {
    if (!KevoTraceEnabled(TRACE_FLAG_INFO)) return;
    KeepLastError keep;
    WideLine l;
    l.Append(pwszName);
    l.AppendA(" = ");
    l.Append(!pwszValue ? u"NULL" : (*pwszValue ? pwszValue : u"<NULL>"));
    Send(kGeneralUnit, kMsgValue, l.buf, l.Bytes(), nullptr);
}

void KevoTraceValueA(const char* pszName, const char* pszValue) {
    if (!KevoTraceEnabled(TRACE_FLAG_INFO)) return;
    KeepLastError keep;
    char buf[kLineUnits] = {0};
    std::snprintf(buf, sizeof(buf), "%s = %s", pszName ? pszName : "NULL", pszValue ? pszValue : "NULL");
    SendNarrow(kGeneralUnit, kMsgValue, buf);
}

void KevoTraceValueN(const char* pszName, LONG nValue) {
    if (!KevoTraceEnabled(TRACE_FLAG_INFO)) return;
    KeepLastError keep;
    char buf[kLineUnits] = {0};
    std::snprintf(buf, sizeof(buf), "%s = %d (0x%08x)", pszName ? pszName : "NULL", static_cast<int>(nValue),
                  static_cast<unsigned>(nValue));
    SendNarrow(kGeneralUnit, kMsgValue, buf);
}

void KevoTraceValueBytes(const char* pszName, const BYTE* pbData, DWORD cbData) {
    if (!KevoTraceEnabled(TRACE_FLAG_INFO)) return;
    KeepLastError keep;
    char buf[kLineUnits] = {0};
    int n = std::snprintf(buf, sizeof(buf), "%s = (%u bytes) ", pszName ? pszName : "NULL",
                          static_cast<unsigned>(cbData));
    size_t pos = n > 0 ? static_cast<size_t>(n) : 0;
    static const char* hex = "0123456789ABCDEF";
    // As many bytes as fit; a cut-off dump ends in "...".
    for (DWORD i = 0; pbData && i < cbData; ++i) {
        if (pos + 2 + 3 + 1 > sizeof(buf)) {
            std::memcpy(buf + pos, "...", 4);
            pos += 3;
            break;
        }
        buf[pos++] = hex[pbData[i] >> 4];
        buf[pos++] = hex[pbData[i] & 15];
        buf[pos] = 0;
    }
    SendNarrow(kGeneralUnit, kMsgValue, buf);
}

namespace {

// Entry and exit lines: the function's name and what happens to it.
void SendEntryExit(LPCWSTR pwszFunctionName, const char* pszWhat, USHORT nMsg) {
    if (!KevoTraceEnabled(TRACE_FLAG_ENTRY_EXIT)) return;
    KeepLastError keep;
    WideLine l;
    l.Append(pwszFunctionName);
    l.AppendA(pszWhat);
    Send(kGeneralUnit, nMsg, l.buf, l.Bytes(), nullptr);
}

}  // namespace

HRESULT KevoCheckStepW(LPCWSTR pwszUnit, int nLine, LPCWSTR pwszFunction, LPCWSTR pwszStep, LPCWSTR pwszReason,
                       HRESULT hResult) {
    if (FAILED(hResult)) KevoTraceFailW(pwszUnit, nLine, pwszFunction, pwszStep, pwszReason, hResult);
    return hResult;
}

TraceHelper::TraceHelper(LPCWSTR pwszFunctionName) : m_pwszFunctionName(pwszFunctionName) {
    SendEntryExit(m_pwszFunctionName, " - Enter", kMsgEntry);
}

TraceHelper::~TraceHelper() { SendEntryExit(m_pwszFunctionName, " - Exit", kMsgExit); }
