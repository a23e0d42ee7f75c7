// COM initialisation bookkeeping, GUIDs and BSTR strings.
#include <sys/random.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "win/objbase.h"
#include "win/winbase.h"

namespace {
// Per-thread apartment state: how often initialised and with which model.
thread_local int t_comInitCount = 0;
thread_local DWORD t_comModel = 0;
}  // namespace

HRESULT CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit) {
    if (pvReserved) return E_INVALIDARG;
    DWORD model = dwCoInit & COINIT_APARTMENTTHREADED;
    if (t_comInitCount > 0) {
        if (model != t_comModel) return RPC_E_CHANGED_MODE;
        ++t_comInitCount;
        return S_FALSE;
    }
    t_comModel = model;
    t_comInitCount = 1;
    return S_OK;
}

HRESULT CoInitialize(LPVOID pvReserved) { return CoInitializeEx(pvReserved, COINIT_APARTMENTTHREADED); }

void CoUninitialize() {
    if (t_comInitCount > 0) --t_comInitCount;
}

HRESULT CoCreateGuid(GUID* pguid) {
    if (!pguid) return E_INVALIDARG;
    BYTE raw[16];
    size_t got = 0;
    while (got < sizeof(raw)) {
        ssize_t n = getrandom(raw + got, sizeof(raw) - got, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            return E_FAIL;
        }
        got += static_cast<size_t>(n);
    }
    std::memcpy(pguid, raw, sizeof(GUID));
    pguid->Data3 = static_cast<WORD>((pguid->Data3 & 0x0FFF) | 0x4000);  // version 4
    pguid->Data4[0] = static_cast<BYTE>((pguid->Data4[0] & 0x3F) | 0x80);  // RFC 4122 variant
    std::memset(raw, 0, sizeof(raw));
    return S_OK;
}

int StringFromGUID2(REFGUID rguid, LPWSTR lpsz, int cchMax) {
    static const char* hex = "0123456789ABCDEF";
    if (!lpsz || cchMax < 39) return 0;
    char16_t* o = lpsz;
    auto putHex = [&](unsigned long long v, int digits) {
        for (int i = digits - 1; i >= 0; --i) *o++ = static_cast<char16_t>(hex[(v >> (4 * i)) & 0xF]);
    };
    *o++ = u'{';
    putHex(rguid.Data1, 8);
    *o++ = u'-';
    putHex(rguid.Data2, 4);
    *o++ = u'-';
    putHex(rguid.Data3, 4);
    *o++ = u'-';
    putHex(rguid.Data4[0], 2);
    putHex(rguid.Data4[1], 2);
    *o++ = u'-';
    for (int i = 2; i < 8; ++i) putHex(rguid.Data4[i], 2);
    *o++ = u'}';
    *o = 0;
    return 39;
}

HRESULT CLSIDFromString(LPCWSTR lpsz, LPCLSID pclsid) {
    if (!pclsid) return E_INVALIDARG;
    if (!lpsz) {
        std::memset(pclsid, 0, sizeof(*pclsid));
        return S_OK;
    }
    // Exactly "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", hex digits of either case.
    static const char* shape = "{________-____-____-____-____________}";
    size_t len = wcslen(lpsz);
    if (len != 38) return CO_E_CLASSSTRING;
    BYTE nib[32];
    int k = 0;
    for (size_t i = 0; i < 38; ++i) {
        char16_t c = lpsz[i];
        if (shape[i] != '_') {
            if (c != static_cast<char16_t>(shape[i])) return CO_E_CLASSSTRING;
            continue;
        }
        int v;
        if (c >= u'0' && c <= u'9') v = c - u'0';
        else if (c >= u'a' && c <= u'f') v = c - u'a' + 10;
        else if (c >= u'A' && c <= u'F') v = c - u'A' + 10;
        else return CO_E_CLASSSTRING;
        nib[k++] = static_cast<BYTE>(v);
    }
    auto take = [&](int from, int digits) {
        unsigned long long v = 0;
        for (int i = 0; i < digits; ++i) v = (v << 4) | nib[from + i];
        return v;
    };
    GUID g;
    g.Data1 = static_cast<DWORD>(take(0, 8));
    g.Data2 = static_cast<WORD>(take(8, 4));
    g.Data3 = static_cast<WORD>(take(12, 4));
    for (int i = 0; i < 8; ++i) g.Data4[i] = static_cast<BYTE>(take(16 + 2 * i, 2));
    *pclsid = g;
    return S_OK;
}

namespace {
// Layout: DWORD byte count, the characters, a zero WCHAR. The BSTR points
// at the characters.
BSTR AllocBstrBytes(const void* src, UINT cb) {
    if (cb > 0x7FFFFFF0u) return nullptr;
    size_t total = sizeof(DWORD) + static_cast<size_t>(cb) + sizeof(OLECHAR) + 1;
    BYTE* block = static_cast<BYTE*>(std::malloc(total));
    if (!block) return nullptr;
    DWORD dw = cb;
    std::memcpy(block, &dw, sizeof(dw));
    BYTE* chars = block + sizeof(DWORD);
    if (src) std::memcpy(chars, src, cb);
    else std::memset(chars, 0, cb);
    // Terminator: one zero WCHAR after the data (plus a byte for odd counts).
    std::memset(chars + cb, 0, sizeof(OLECHAR) + 1);
    return reinterpret_cast<BSTR>(chars);
}
}  // namespace

BSTR SysAllocString(const OLECHAR* psz) {
    if (!psz) return nullptr;
    size_t n = wcslen(psz);
    if (n > 0x3FFFFFF0u) return nullptr;
    return AllocBstrBytes(psz, static_cast<UINT>(n * sizeof(OLECHAR)));
}

BSTR SysAllocStringLen(const OLECHAR* strIn, UINT ui) {
    if (ui > 0x3FFFFFF0u) return nullptr;
    return AllocBstrBytes(strIn, ui * static_cast<UINT>(sizeof(OLECHAR)));
}

BSTR SysAllocStringByteLen(LPCSTR psz, UINT len) { return AllocBstrBytes(psz, len); }

UINT SysStringByteLen(BSTR bstr) {
    if (!bstr) return 0;
    DWORD dw;
    std::memcpy(&dw, reinterpret_cast<BYTE*>(bstr) - sizeof(DWORD), sizeof(dw));
    return dw;
}

UINT SysStringLen(BSTR pbstr) { return SysStringByteLen(pbstr) / sizeof(OLECHAR); }

void SysFreeString(BSTR bstrString) {
    if (!bstrString) return;
    std::free(reinterpret_cast<BYTE*>(bstrString) - sizeof(DWORD));
}
