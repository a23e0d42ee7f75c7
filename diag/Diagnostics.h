// The diagnostic channel every unit writes to: one trace provider, four enable
// flags, the wide and 8-bit line forms, and the entry/exit helper. With no
// trace session enabled a message costs one flag test.
#pragma once

#include "diag/ResultCode.h"
#include "win/windows.h"

#define TRACE_FLAG_FAILURE_A 0x1   // 8-bit failure lines
#define TRACE_FLAG_NEGATIVE_W 0x2  // wide lines carrying a negative result
#define TRACE_FLAG_INFO 0x4        // success lines, step lines, traced values
#define TRACE_FLAG_ENTRY_EXIT 0x8  // function entry and exit

// Control GUID of the provider: {5C8F2A58-369A-44F0-9235-C05ECB1DD73E}.
extern const GUID KEVO_TRACE_CONTROL_GUID;

// Registration: the host calls these first and last in wmain, the plug-in in
// NP_Initialize / NP_Shutdown. Registration reads the global logger setting
// that `tessaro-trace start [--flags F]` writes; enabled lines then reach
// <prefix>/trace/kevo.log (format in win/evntrace.h; a wide line's text is
// followed by a blank and its result code as 0x%08x).
void KevoTraceRegister();
void KevoTraceUnregister();

// True when the session enabled this flag.
bool KevoTraceEnabled(DWORD dwFlag);

// Wide failure line "[%ws(%d):] %ws - %ws [Reason:%ws]" sent with its result
// code (flag 0x2 when negative, else 0x4).
void KevoTraceFailW(LPCWSTR pwszUnit, int nLine, LPCWSTR pwszFunction, LPCWSTR pwszStep, LPCWSTR pwszReason,
                    HRESULT hResult);
// Wide step line "%ws - %ws" (flag 0x4, or 0x2 when hResult is negative).
void KevoTraceStepW(LPCWSTR pwszFunction, LPCWSTR pwszStep, HRESULT hResult = 0);
// A step's result handed on unchanged; a failure is traced first as a wide
// failure line.
HRESULT KevoCheckStepW(LPCWSTR pwszUnit, int nLine, LPCWSTR pwszFunction, LPCWSTR pwszStep, LPCWSTR pwszReason,
                       HRESULT hResult);
// A step's outcome: a failure as the routine's failure line (reason
// "FAILED(hResult)") with the caller's unit and line, a success as its step
// line; the code goes back unchanged.
inline HRESULT KevoTraceOutcomeW(LPCWSTR pwszUnit, int nLine, LPCWSTR pwszFunction, LPCWSTR pwszStep, HRESULT hr) {
    if (SUCCEEDED(KevoCheckStepW(pwszUnit, nLine, pwszFunction, pwszStep, u"FAILED(hResult)", hr)))
        KevoTraceStepW(pwszFunction, pwszStep);
    return hr;
}
// KevoTraceFailW that returns the code it traced.
inline HRESULT KevoFailedW(LPCWSTR pwszUnit, int nLine, LPCWSTR pwszFunction, LPCWSTR pwszStep, LPCWSTR pwszReason,
                           HRESULT hResult) {
    KevoTraceFailW(pwszUnit, nLine, pwszFunction, pwszStep, pwszReason, hResult);
    return hResult;
}
// 8-bit failure line "[%s(%d):](%s -- %s)\t\t--Failed:(0x%08x) [Reason:%s]\n" (flag 0x1).
void KevoTraceFailA(const char* pszUnit, int nLine, const char* pszFunction, const char* pszStep, HRESULT hResult,
                    const char* pszReason);
// 8-bit success line "[%s(%d)]:(%s -- %s)\t\t--OK\n" (flag 0x4).
void KevoTraceOkA(const char* pszUnit, int nLine, const char* pszFunction, const char* pszStep);
// Traced values (flag 0x4). A null string is sent as "NULL", an empty wide one as "<NULL>".
void KevoTraceValueW(LPCWSTR pwszName, LPCWSTR pwszValue);
void KevoTraceValueA(const char* pszName, const char* pszValue);
void KevoTraceValueN(const char* pszName, LONG nValue);
void KevoTraceValueBytes(const char* pszName, const BYTE* pbData, DWORD cbData);

// Entry and exit messages (flag 0x8); the thread's last error is kept intact.
class TraceHelper {
public:
    explicit TraceHelper(LPCWSTR pwszFunctionName);
    virtual ~TraceHelper();
    TraceHelper(const TraceHelper&) = delete;
    TraceHelper& operator=(const TraceHelper&) = delete;

private:
    LPCWSTR m_pwszFunctionName;
};

// Call-site helpers: each source unit defines TRACE_UNIT_W (wide) or
// TRACE_UNIT_A (8-bit) with its own unit name before using them.
#define KEVO_FAIL_W(func, step, reason, hr) KevoTraceFailW(TRACE_UNIT_W, __LINE__, func, step, reason, hr)
// A failure traced and its code handed back: `return KEVO_FAILED_W(...);`.
#define KEVO_FAILED_W(func, step, reason, hr) KevoFailedW(TRACE_UNIT_W, __LINE__, func, step, reason, hr)
#define KEVO_CHECK_W(func, step, hr) KevoCheckStepW(TRACE_UNIT_W, __LINE__, func, step, u"FAILED(hResult)", hr)
// As KEVO_CHECK_W, and a success written as the routine's step line.
#define KEVO_STEP_W(func, step, hr) KevoTraceOutcomeW(TRACE_UNIT_W, __LINE__, func, step, hr)
// A Win32 status (of a registry call) as its normalised result.
#define KEVO_CHECK_STATUS_W(func, step, status) \
    KevoCheckStepW(TRACE_UNIT_W, __LINE__, func, step, u"ERROR_SUCCESS != lStatus", KevoNormalizeResult(status))
#define KEVO_FAIL_A(func, step, hr, reason) KevoTraceFailA(TRACE_UNIT_A, __LINE__, func, step, hr, reason)
#define KEVO_OK_A(func, step) KevoTraceOkA(TRACE_UNIT_A, __LINE__, func, step)
