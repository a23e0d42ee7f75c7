// A step's outcome in the calling routine's trace, written where the step is
// taken: a failure as the routine's failure line (reason "FAILED(hResult)")
// with the caller's unit and line, a success (KEVO_STEP_W only) as its step
// line. The code goes back unchanged. These belong with the diagnostics.
#pragma once

#include "diag/Diagnostics.h"

inline HRESULT KevoTraceIfFailedW(LPCWSTR pwszUnit, int nLine, LPCWSTR pwszFunction, LPCWSTR pwszStep, HRESULT hr) {
    if (FAILED(hr)) KevoTraceFailW(pwszUnit, nLine, pwszFunction, pwszStep, u"FAILED(hResult)", hr);
    return hr;
}

inline HRESULT KevoTraceOutcomeW(LPCWSTR pwszUnit, int nLine, LPCWSTR pwszFunction, LPCWSTR pwszStep, HRESULT hr) {
    if (FAILED(hr)) {
        KevoTraceFailW(pwszUnit, nLine, pwszFunction, pwszStep, u"FAILED(hResult)", hr);
        return hr;
    }
    KevoTraceStepW(pwszFunction, pwszStep);
    return hr;
}

#define KEVO_CHECK_W(func, step, hr) KevoTraceIfFailedW(TRACE_UNIT_W, __LINE__, func, step, hr)
#define KEVO_STEP_W(func, step, hr) KevoTraceOutcomeW(TRACE_UNIT_W, __LINE__, func, step, hr)
