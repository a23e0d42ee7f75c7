// File and identifier utilities shared by several units: hexadecimal text of
// serial numbers, GUID strings, the temporary directory and temporary files.
#pragma once

#include <string>

#include "win/windows.h"

// Hex text of the bytes, two lowercase digits each, last byte first (serial
// numbers are kept least significant byte first). *ppwszString is a new
// WCHAR[2 * cbData + 1] released with delete[].
HRESULT ConvertBinaryDataToString(LPWSTR* ppwszString, DWORD cbData, const BYTE* pbData);

// The inverse: hex digits only (E_INVALIDARG otherwise), the last pair
// becomes byte 0, a trailing odd digit is ignored. *ppbData is a new
// BYTE[*pcbData + 4] (four spare zero bytes) released with delete[].
HRESULT ConvertStringToBinaryData(DWORD* pcbData, LPCWSTR pwszText, BYTE** ppbData);

// A fresh GUID as "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" (38 characters).
HRESULT CreateGUIDStr(std::u16string& wstrGUID);

// The temporary directory, ending with a separator.
HRESULT GetTempDirPath(std::u16string& wstrPath);

// Writes the bytes to a new file <temp dir><GUID>.KEVO (mode 0600, never
// through a symlink) and sets wstrPath to its path; wstrPath is left empty on
// failure. The file is not removed here.
void DumpDatatoTempFile(std::u16string& wstrPath, const BYTE* pbData, DWORD cbData);
