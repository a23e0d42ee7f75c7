// UTF-8 <-> UTF-16 conversion with the contract of MultiByteToWideChar and
// WideCharToMultiByte, and the small wide-string helpers of the C runtime
// and shlwapi. The ANSI and OEM code pages are UTF-8 on this platform.
#include <cstring>
#include <string>

#include "platform/kernel/CaseFold.h"
#include "win/winbase.h"

namespace {

bool IsUtf8CodePage(UINT cp) { return cp == CP_UTF8 || cp == CP_ACP || cp == CP_OEMCP; }

// Decodes one code point starting at p (p < end). Returns the number of bytes
// consumed; *cp is the code point or -1 for an ill-formed maximal subpart
// (which is replaced by one U+FFFD, as Windows does).
size_t DecodeUtf8(const unsigned char* p, const unsigned char* end, long* cp) {
    unsigned char b0 = p[0];
    if (b0 < 0x80) {
        *cp = b0;
        return 1;
    }
    size_t need;
    unsigned char lo = 0x80, hi = 0xBF;
    long v;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        need = 1;
        v = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        need = 2;
        v = b0 & 0x0F;
        if (b0 == 0xE0) lo = 0xA0;
        if (b0 == 0xED) hi = 0x9F;  // no encoded surrogates
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        need = 3;
        v = b0 & 0x07;
        if (b0 == 0xF0) lo = 0x90;
        if (b0 == 0xF4) hi = 0x8F;
    } else {
        *cp = -1;
        return 1;
    }
    size_t i = 1;
    for (; i <= need; ++i) {
        if (p + i >= end) {
            *cp = -1;
            return i;
        }
        unsigned char b = p[i];
        unsigned char l = (i == 1) ? lo : 0x80, h = (i == 1) ? hi : 0xBF;
        if (b < l || b > h) {
            *cp = -1;
            return i;
        }
        v = (v << 6) | (b & 0x3F);
    }
    *cp = v;
    return i;
}

// The code page must be one we treat as UTF-8, and the flags among those
// allowed for it: CP_UTF8 takes only the strictness flag.
bool AcceptCodePage(UINT codePage, DWORD flags, DWORD strictFlag, DWORD otherFlags) {
    if (!IsUtf8CodePage(codePage)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    DWORD allowed = codePage == CP_UTF8 ? strictFlag : strictFlag | otherFlags;
    if (flags & ~allowed) {
        SetLastError(ERROR_INVALID_FLAGS);
        return false;
    }
    return true;
}

}  // namespace

int MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte,
                        LPWSTR lpWideCharStr, int cchWideChar) {
    if (!AcceptCodePage(CodePage, dwFlags, MB_ERR_INVALID_CHARS, MB_PRECOMPOSED | MB_COMPOSITE | MB_USEGLYPHCHARS))
        return 0;
    if (!lpMultiByteStr || cbMultiByte == 0 || cbMultiByte < -1 || cchWideChar < 0 ||
        (cchWideChar > 0 && !lpWideCharStr)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    size_t inLen = cbMultiByte == -1 ? std::strlen(lpMultiByteStr) + 1 : static_cast<size_t>(cbMultiByte);
    const unsigned char* p = reinterpret_cast<const unsigned char*>(lpMultiByteStr);
    const unsigned char* end = p + inLen;
    size_t outCount = 0;
    const bool strict = (dwFlags & MB_ERR_INVALID_CHARS) != 0;
    const bool writing = cchWideChar > 0;
    auto put = [&](char16_t u) -> bool {
        if (writing) {
            if (outCount >= static_cast<size_t>(cchWideChar)) return false;
            lpWideCharStr[outCount] = u;
        }
        ++outCount;
        return true;
    };
    while (p < end) {
        long cp;
        size_t n = DecodeUtf8(p, end, &cp);
        p += n;
        if (cp < 0) {
            if (strict) {
                SetLastError(ERROR_NO_UNICODE_TRANSLATION);
                return 0;
            }
            cp = 0xFFFD;
        }
        bool ok;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            ok = put(static_cast<char16_t>(0xD800 | (cp >> 10))) && put(static_cast<char16_t>(0xDC00 | (cp & 0x3FF)));
        } else {
            ok = put(static_cast<char16_t>(cp));
        }
        if (!ok) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return 0;
        }
        if (outCount > 0x7FFFFFFF) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
    }
    return static_cast<int>(outCount);
}

int WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar,
                        LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR lpDefaultChar, BOOL* lpUsedDefaultChar) {
    if (!AcceptCodePage(CodePage, dwFlags, WC_ERR_INVALID_CHARS,
                        WC_DISCARDNS | WC_SEPCHARS | WC_DEFAULTCHAR | WC_COMPOSITECHECK | WC_NO_BEST_FIT_CHARS))
        return 0;
    // UTF-8 has no default character: Windows refuses both arguments for it.
    if (CodePage == CP_UTF8 && (lpDefaultChar || lpUsedDefaultChar)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (!lpWideCharStr || cchWideChar == 0 || cchWideChar < -1 || cbMultiByte < 0 ||
        (cbMultiByte > 0 && !lpMultiByteStr)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (lpUsedDefaultChar) *lpUsedDefaultChar = FALSE;
    size_t inLen = cchWideChar == -1 ? wcslen(lpWideCharStr) + 1 : static_cast<size_t>(cchWideChar);
    const bool strict = (dwFlags & WC_ERR_INVALID_CHARS) != 0;
    const bool writing = cbMultiByte > 0;
    size_t outCount = 0;
    bool usedDefault = false;
    for (size_t i = 0; i < inLen; ++i) {
        unsigned long cp = lpWideCharStr[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < inLen && lpWideCharStr[i + 1] >= 0xDC00 &&
            lpWideCharStr[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (lpWideCharStr[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            if (strict) {
                SetLastError(ERROR_NO_UNICODE_TRANSLATION);
                return 0;
            }
            cp = 0xFFFD;
            usedDefault = true;
        }
        unsigned char buf[4];
        size_t n;
        if (cp < 0x80) {
            buf[0] = static_cast<unsigned char>(cp);
            n = 1;
        } else if (cp < 0x800) {
            buf[0] = static_cast<unsigned char>(0xC0 | (cp >> 6));
            buf[1] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
            n = 2;
        } else if (cp < 0x10000) {
            buf[0] = static_cast<unsigned char>(0xE0 | (cp >> 12));
            buf[1] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
            buf[2] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
            n = 3;
        } else {
            buf[0] = static_cast<unsigned char>(0xF0 | (cp >> 18));
            buf[1] = static_cast<unsigned char>(0x80 | ((cp >> 12) & 0x3F));
            buf[2] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
            buf[3] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
            n = 4;
        }
        if (writing) {
            // A character that does not fit whole is not written in part.
            if (outCount + n > static_cast<size_t>(cbMultiByte)) {
                SetLastError(ERROR_INSUFFICIENT_BUFFER);
                return 0;
            }
            std::memcpy(lpMultiByteStr + outCount, buf, n);
        }
        outCount += n;
        if (outCount > 0x7FFFFFFF) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
    }
    if (lpUsedDefaultChar && usedDefault) *lpUsedDefaultChar = TRUE;
    return static_cast<int>(outCount);
}

size_t wcslen(LPCWSTR s) {
    size_t n = 0;
    while (s[n]) ++n;
    return n;
}

int _wcsicmp(LPCWSTR a, LPCWSTR b) {
    for (;; ++a, ++b) {
        char16_t x = *a, y = *b;
        if (x >= u'A' && x <= u'Z') x = static_cast<char16_t>(x + 0x20);
        if (y >= u'A' && y <= u'Z') y = static_cast<char16_t>(y + 0x20);
        if (x != y) return static_cast<int>(x) - static_cast<int>(y);
        if (!x) return 0;
    }
}

int _stricmp(const char* a, const char* b) {
    for (;; ++a, ++b) {
        unsigned char x = static_cast<unsigned char>(*a), y = static_cast<unsigned char>(*b);
        if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x + 0x20);
        if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y + 0x20);
        if (x != y) return static_cast<int>(x) - static_cast<int>(y);
        if (!x) return 0;
    }
}

namespace {
template <typename Eq>
LPWSTR FindWide(LPCWSTR first, LPCWSTR srch, Eq eq) {
    // An empty pattern is found nowhere, as shlwapi answers.
    if (!first || !srch || !*srch) return nullptr;
    size_t m = wcslen(srch);
    for (LPCWSTR p = first; *p; ++p) {
        size_t k = 0;
        while (k < m && p[k] && eq(p[k], srch[k])) ++k;
        if (k == m) return const_cast<LPWSTR>(p);
    }
    return nullptr;
}
}  // namespace

LPWSTR StrStrIW(LPCWSTR pszFirst, LPCWSTR pszSrch) {
    return FindWide(pszFirst, pszSrch, [](char16_t a, char16_t b) {
        return tessaro_platform::FoldCase(a) == tessaro_platform::FoldCase(b);
    });
}

LPWSTR StrStrW(LPCWSTR pszFirst, LPCWSTR pszSrch) {
    return FindWide(pszFirst, pszSrch, [](char16_t a, char16_t b) { return a == b; });
}
