// File and identifier utilities.
#include "misc/Misc.h"

#include <cstring>
#include <memory>
#include <new>

#include "diag/Diagnostics.h"
#include "diag/ResultCode.h"
#include "tessaro/Handles.h"

#define TRACE_UNIT_W u"Misc"

namespace {

int HexDigitValue(WCHAR c) {
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'a' && c <= u'f') return c - u'a' + 10;
    if (c >= u'A' && c <= u'F') return c - u'A' + 10;
    return -1;
}

// Handles.h has no file handle kind; the platform's holder serves with the
// call Windows pairs with CreateFileW.
void CloseFile(HANDLE h) { CloseHandle(h); }
using UniqueFile = tessaro::UniqueHandle<HANDLE, CloseFile>;

}  // namespace

HRESULT ConvertBinaryDataToString(LPWSTR* ppwszString, DWORD cbData, const BYTE* pbData) {
    TraceHelper trace(u"ConvertBinaryDataToString");
    if (ppwszString == nullptr || (pbData == nullptr && cbData != 0))
        return KEVO_FAILED_W(u"ConvertBinaryDataToString", u"Check parameters", u"pbData == NULL", E_INVALIDARG);
    static const char16_t kHex[] = u"0123456789abcdef";
    size_t cch = 2 * static_cast<size_t>(cbData) + 1;
    WCHAR* pwsz = new (std::nothrow) WCHAR[cch];
    if (pwsz == nullptr) return KEVO_FAILED_W(u"ConvertBinaryDataToString", u"new", u"New Memory", E_OUTOFMEMORY);
    std::memset(pwsz, 0, cch * sizeof(WCHAR));
    for (DWORD i = 0; i < cbData; ++i) {
        BYTE b = pbData[cbData - 1 - i];
        pwsz[2 * i] = kHex[b >> 4];
        pwsz[2 * i + 1] = kHex[b & 0xF];
    }
    *ppwszString = pwsz;
    return KEVO_OK;
}

HRESULT ConvertStringToBinaryData(DWORD* pcbData, LPCWSTR pwszText, BYTE** ppbData) {
    TraceHelper trace(u"ConvertStringToBinaryData");
    if (pcbData == nullptr || pwszText == nullptr || ppbData == nullptr)
        return KEVO_FAILED_W(u"ConvertStringToBinaryData", u"Check parameters", u"pwszText == NULL", E_INVALIDARG);
    size_t cch = 0;
    for (; pwszText[cch] != 0; ++cch) {
        if (HexDigitValue(pwszText[cch]) < 0)
            return KEVO_FAILED_W(u"ConvertStringToBinaryData", u"Check hex digits", u"not a hex digit", E_INVALIDARG);
    }
    size_t n = cch / 2;
    if (n > 0xFFFFFFFFu - 4)
        return KEVO_FAILED_W(u"ConvertStringToBinaryData", u"Check length", u"text too long", E_OUTOFMEMORY);
    BYTE* pb = new (std::nothrow) BYTE[n + 4];
    if (pb == nullptr) return KEVO_FAILED_W(u"ConvertStringToBinaryData", u"new", u"New Memory", E_OUTOFMEMORY);
    std::memset(pb, 0, n + 4);
    // The last pair becomes byte 0: serial numbers are kept least significant byte first.
    for (size_t i = 0; i < n; ++i) {
        size_t pos = 2 * (n - 1 - i);
        pb[i] = static_cast<BYTE>(HexDigitValue(pwszText[pos]) << 4 | HexDigitValue(pwszText[pos + 1]));
    }
    *pcbData = static_cast<DWORD>(n);
    *ppbData = pb;
    return KEVO_OK;
}

HRESULT CreateGUIDStr(std::u16string& wstrGUID) {
    TraceHelper trace(u"CreateGUIDStr");
    GUID guid = {};
    HRESULT hr = CoCreateGuid(&guid);
    if (FAILED(hr)) return KEVO_FAILED_W(u"CreateGUIDStr", u"CoCreateGuid", u"FAILED(hResult)", hr);
    WCHAR wszGUID[64] = {};
    if (StringFromGUID2(guid, wszGUID, 64) == 0)
        return KEVO_FAILED_W(u"CreateGUIDStr", u"StringFromGUID2", u"1", KevoLastErrorResult());
    try {
        wstrGUID = wszGUID;
    } catch (const std::bad_alloc&) {
        KEVO_FAIL_W(u"CreateGUIDStr", u"new", u"New Memory", E_OUTOFMEMORY);
        return E_OUTOFMEMORY;
    }
    return KEVO_OK;
}

HRESULT GetTempDirPath(std::u16string& wstrPath) {
    TraceHelper trace(u"GetTempDirPath");
    try {
        std::u16string wstrBuffer(MAX_PATH, u'\0');
        DWORD cch = GetTempPathW(MAX_PATH, wstrBuffer.data());
        if (cch >= MAX_PATH) {
            // A longer directory: Windows answers the size it needs.
            wstrBuffer.assign(static_cast<size_t>(cch) + 1, u'\0');
            cch = GetTempPathW(cch + 1, wstrBuffer.data());
            if (cch >= wstrBuffer.size()) cch = 0;
        }
        if (cch == 0) return KEVO_FAILED_W(u"GetTempDirPath", u"GetTempPath", u"1", KevoLastErrorResult());
        wstrBuffer.resize(cch);
        wstrPath = std::move(wstrBuffer);
        return KEVO_OK;
    } catch (const std::bad_alloc&) {
        KEVO_FAIL_W(u"GetTempDirPath", u"new", u"New Memory", E_OUTOFMEMORY);
        return E_OUTOFMEMORY;
    }
}

void DumpDatatoTempFile(std::u16string& wstrPath, const BYTE* pbData, DWORD cbData) {
    TraceHelper trace(u"DumpDatatoTempFile");
    wstrPath.clear();
    if (pbData == nullptr && cbData != 0) {
        KEVO_FAIL_W(u"DumpDatatoTempFile", u"Check parameters", u"pbData == NULL", E_INVALIDARG);
        return;
    }
    std::u16string wstrGUID;
    HRESULT hr = CreateGUIDStr(wstrGUID);
    if (FAILED(hr)) {
        KEVO_FAIL_W(u"DumpDatatoTempFile", u"CreateGUIDStr", u"FAILED(hResult)", hr);
        return;
    }
    std::u16string wstrDir;
    hr = GetTempDirPath(wstrDir);
    if (FAILED(hr)) {
        KEVO_FAIL_W(u"DumpDatatoTempFile", u"GetTempDirPath", u"FAILED(hResult)", hr);
        return;
    }
    try {
        std::u16string wstrFile = wstrDir + wstrGUID + u".KEVO";
        if (PathFileExistsW(wstrFile.c_str()) && !DeleteFileW(wstrFile.c_str())) {
            hr = KevoLastErrorResult();
            KEVO_FAIL_W(u"DumpDatatoTempFile", u"DeleteFile", u"1", hr);
            return;
        }
        // A new file only: whatever appears at the path meanwhile (a file or a
        // symlink planted there) makes the call fail instead of being written
        // through.
        UniqueFile file(CreateFileW(wstrFile.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
        if (file.get() == INVALID_HANDLE_VALUE || !file) {
            file.release();
            hr = KevoLastErrorResult();
            KEVO_FAIL_W(u"DumpDatatoTempFile", u"CreateFile", u"1", hr);
            return;
        }
        DWORD cbWritten = 0;
        if (!WriteFile(file.get(), pbData, cbData, &cbWritten, nullptr) || cbWritten != cbData) {
            hr = KevoLastErrorResult();
            KEVO_FAIL_W(u"DumpDatatoTempFile", u"WriteFile", u"1", hr);
            file.reset();
            DeleteFileW(wstrFile.c_str());
            return;
        }
        file.reset();
        wstrPath = std::move(wstrFile);
        KevoTraceValueW(u"DumpDatatoTempFile path", wstrPath.c_str());
    } catch (const std::bad_alloc&) {
        KEVO_FAIL_W(u"DumpDatatoTempFile", u"new", u"New Memory", E_OUTOFMEMORY);
    }
}
