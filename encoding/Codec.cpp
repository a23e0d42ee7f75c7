// Text and binary codecs.
#include "encoding/Codec.h"

#include <climits>
#include <cstring>
#include <memory>
#include <new>

#include "diag/Diagnostics.h"
#include "diag/ResultCode.h"

#define TRACE_UNIT_W u"Codec"

namespace {

const char g_szBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Value of a Base64 character, or -1 for anything outside the alphabet.
struct Base64Table {
    signed char value[256];
    Base64Table() {
        for (int i = 0; i < 256; ++i) value[i] = -1;
        for (int i = 0; i < 64; ++i) value[static_cast<unsigned char>(g_szBase64Alphabet[i])] = static_cast<signed char>(i);
    }
};
const Base64Table g_base64Table;

template <typename T>
T* NewZeroed(size_t n) {
    T* p = new (std::nothrow) T[n];
    if (p) std::memset(p, 0, n * sizeof(T));
    return p;
}

// A zeroed text buffer of ullSize bytes (terminator included); a size past
// INT_MAX fails like an allocation, traced as FUNC's "new" step.
char* NewText(LPCWSTR FUNC, LPCWSTR pwszReason, unsigned long long ullSize, int nLine = __builtin_LINE()) {
    char* psz =
        ullSize > static_cast<unsigned long long>(INT_MAX) ? nullptr : NewZeroed<char>(static_cast<size_t>(ullSize));
    if (psz == nullptr) KevoTraceFailW(TRACE_UNIT_W, nLine, FUNC, u"new", pwszReason, E_OUTOFMEMORY);
    return psz;
}

// Both UTF directions: the input with its terminator measured by one call of
// convert, then converted by a second into a zeroed buffer. FUNC names the
// routine in the trace, the steps its two calls.
template <typename Out, typename Convert>
HRESULT ConvertUTF(LPCWSTR FUNC, LPCWSTR pwszSizeStep, LPCWSTR pwszValueStep, const char* pszLengthName, size_t nUnits,
                   Out** ppOutput, int* pnOutputLength, Convert convert) {
    if (nUnits >= static_cast<size_t>(INT_MAX)) {
        KEVO_FAIL_W(FUNC, u"Check length", u"too long", E_OUTOFMEMORY);
        return E_OUTOFMEMORY;
    }
    int nSource = static_cast<int>(nUnits) + 1;
    int nSize = convert(nSource, nullptr, 0);
    if (nSize == 0) {
        HRESULT hr = KevoLastErrorResult();
        KEVO_FAIL_W(FUNC, pwszSizeStep, u"0 == nSize", hr);
        return hr;
    }
    std::unique_ptr<Out[]> output(NewZeroed<Out>(static_cast<size_t>(nSize)));
    if (!output) {
        KEVO_FAIL_W(FUNC, u"new", u"New Memory", E_OUTOFMEMORY);
        return E_OUTOFMEMORY;
    }
    if (convert(nSource, output.get(), nSize) == 0) {
        HRESULT hr = KevoLastErrorResult();
        KEVO_FAIL_W(FUNC, pwszValueStep, u"0 == nSize", hr);
        return hr;
    }
    *ppOutput = output.release();
    *pnOutputLength = nSize - 1;
    KevoTraceValueN(pszLengthName, *pnOutputLength);
    return KEVO_OK;
}

}  // namespace

HRESULT UTF16ToUTF8(LPCWSTR pwszInput, char** ppszOutput, int* pnOutputLength) {
    TraceHelper trace(u"UTF16ToUTF8");
    if (pwszInput == nullptr || ppszOutput == nullptr || pnOutputLength == nullptr) {
        KEVO_FAIL_W(u"UTF16ToUTF8", u"Check parameters", u"pwszInput == NULL", E_POINTER);
        return E_POINTER;
    }
    return ConvertUTF(
        u"UTF16ToUTF8", u"WideCharToMultiByte - get length", u"WideCharToMultiByte - get value", "UTF16ToUTF8 length",
        wcslen(pwszInput), ppszOutput, pnOutputLength, [&](int nSource, char* pszOutput, int nSize) {
            return WideCharToMultiByte(CP_UTF8, 0, pwszInput, nSource, pszOutput, nSize, nullptr, nullptr);
        });
}

HRESULT UTF8ToUTF16(const char* pszInput, WCHAR** ppwszOutput, int* pnOutputLength) {
    TraceHelper trace(u"UTF8ToUTF16");
    if (pszInput == nullptr || ppwszOutput == nullptr || pnOutputLength == nullptr) {
        KEVO_FAIL_W(u"UTF8ToUTF16", u"Check parameters", u"pszInput == NULL", E_POINTER);
        return E_POINTER;
    }
    return ConvertUTF(u"UTF8ToUTF16", u"MultiByteToWideChar - get length", u"MultiByteToWideChar - get value",
                      "UTF8ToUTF16 length", std::strlen(pszInput), ppwszOutput, pnOutputLength,
                      [&](int nSource, WCHAR* pwszOutput, int nSize) {
                          return MultiByteToWideChar(CP_UTF8, 0, pszInput, nSource, pwszOutput, nSize);
                      });
}

HRESULT Base64EncodeEx(const BYTE* pbData, int nDataLength, char** ppszBase64, int* pnBase64Length) {
    TraceHelper trace(u"Base64EncodeEx");
    if ((pbData == nullptr && nDataLength > 0) || nDataLength < 0 || ppszBase64 == nullptr ||
        pnBase64Length == nullptr) {
        KEVO_FAIL_W(u"Base64EncodeEx", u"Check parameters", u"pbData == NULL || nDataLength < 0", E_INVALIDARG);
        return E_INVALIDARG;
    }
    // Worst case: four characters per started group, CR LF per 76 characters.
    unsigned long long ullChars = (static_cast<unsigned long long>(nDataLength) + 2) / 3 * 4;
    unsigned long long ullSize = ullChars + ullChars / 76 * 2 + 1;
    char* pszOut = NewText(u"Base64EncodeEx", u"New Memory", ullSize);
    if (pszOut == nullptr) return E_OUTOFMEMORY;
    char* p = pszOut;
    int nGroupsOnLine = 0;
    int i = 0;
    for (; i + 3 <= nDataLength; i += 3) {
        if (nGroupsOnLine == 19) {
            *p++ = '\r';
            *p++ = '\n';
            nGroupsOnLine = 0;
        }
        DWORD v = (static_cast<DWORD>(pbData[i]) << 16) | (static_cast<DWORD>(pbData[i + 1]) << 8) | pbData[i + 2];
        *p++ = g_szBase64Alphabet[(v >> 18) & 0x3F];
        *p++ = g_szBase64Alphabet[(v >> 12) & 0x3F];
        *p++ = g_szBase64Alphabet[(v >> 6) & 0x3F];
        *p++ = g_szBase64Alphabet[v & 0x3F];
        ++nGroupsOnLine;
    }
    int nRest = nDataLength - i;
    if (nRest > 0) {
        if (nGroupsOnLine == 19) {
            *p++ = '\r';
            *p++ = '\n';
        }
        DWORD v = static_cast<DWORD>(pbData[i]) << 16;
        if (nRest == 2) v |= static_cast<DWORD>(pbData[i + 1]) << 8;
        *p++ = g_szBase64Alphabet[(v >> 18) & 0x3F];
        *p++ = g_szBase64Alphabet[(v >> 12) & 0x3F];
        *p++ = nRest == 2 ? g_szBase64Alphabet[(v >> 6) & 0x3F] : '=';
        *p++ = '=';
    }
    *ppszBase64 = pszOut;
    *pnBase64Length = static_cast<int>(p - pszOut);
    return KEVO_OK;
}

HRESULT Base64DecodeEx(const char* pszBase64, int nBase64Length, BYTE** ppbData, int* pnDataLength) {
    TraceHelper trace(u"Base64DecodeEx");
    if (nBase64Length <= 0) {
        KEVO_FAIL_W(u"Base64DecodeEx", u"Check length", u"nBase64Length <= 0", E_FAIL);
        return E_FAIL;
    }
    if (pszBase64 == nullptr || ppbData == nullptr || pnDataLength == nullptr) {
        KEVO_FAIL_W(u"Base64DecodeEx", u"Check parameters", u"pszBase64 == NULL", E_POINTER);
        return E_POINTER;
    }
    BYTE* pbOut = NewZeroed<BYTE>(static_cast<size_t>(nBase64Length));
    if (pbOut == nullptr) {
        KEVO_FAIL_W(u"Base64DecodeEx", u"new", u"New Memory", E_OUTOFMEMORY);
        return E_OUTOFMEMORY;
    }
    const unsigned char* p = reinterpret_cast<const unsigned char*>(pszBase64);
    const unsigned char* pEnd = p + nBase64Length;
    BYTE* q = pbOut;
    while (p < pEnd && *p != 0) {
        DWORD v = 0;
        int k = 0;
        while (k < 4 && p < pEnd) {
            signed char c = g_base64Table.value[*p++];
            if (c < 0) continue;
            v = (v << 6) | static_cast<DWORD>(c);
            ++k;
        }
        // k characters carry 6k bits; the top floor(6k / 8) bytes are whole.
        v <<= 6 * (4 - k);
        int nBytes = 6 * k / 8;
        for (int b = 0; b < nBytes; ++b) *q++ = static_cast<BYTE>(v >> (16 - 8 * b));
    }
    *ppbData = pbOut;
    *pnDataLength = static_cast<int>(q - pbOut);
    KevoTraceValueN("Base64DecodeEx length", *pnDataLength);
    return KEVO_OK;
}

HRESULT TransformBase64EncodedDatatoHoldCRLFPer64Chars(const char* pszBase64, int nBase64Length, char** ppszOutput,
                                                       int* pnOutputLength) {
    TraceHelper trace(u"TransformBase64EncodedDatatoHoldCRLFPer64Chars");
    if ((pszBase64 == nullptr && nBase64Length > 0) || nBase64Length < 0 || ppszOutput == nullptr ||
        pnOutputLength == nullptr) {
        KEVO_FAIL_W(u"TransformBase64EncodedDatatoHoldCRLFPer64Chars", u"Check parameters",
                    u"pszBase64 == NULL || nBase64Length < 0", E_INVALIDARG);
        return E_INVALIDARG;
    }
    unsigned long long ullSize =
        static_cast<unsigned long long>(nBase64Length) + static_cast<unsigned long long>(nBase64Length) / 64 * 2 + 1;
    char* pszOut = NewText(u"TransformBase64EncodedDatatoHoldCRLFPer64Chars", u"new memory failed.", ullSize);
    if (pszOut == nullptr) return E_OUTOFMEMORY;
    char* q = pszOut;
    int nOnLine = 0;
    for (int i = 0; i < nBase64Length; ++i) {
        char c = pszBase64[i];
        if (c == '\r' || c == '\n') continue;
        if (nOnLine == 64) {
            *q++ = '\r';
            *q++ = '\n';
            nOnLine = 0;
        }
        *q++ = c;
        ++nOnLine;
    }
    *ppszOutput = pszOut;
    *pnOutputLength = static_cast<int>(q - pszOut);
    return KEVO_OK;
}

void SwapByteOrder(BYTE* pbData, int nLength) {
    if (pbData == nullptr || nLength < 2) return;
    for (int i = 0, j = nLength - 1; i < j; ++i, --j) {
        BYTE t = pbData[i];
        pbData[i] = pbData[j];
        pbData[j] = t;
    }
}
