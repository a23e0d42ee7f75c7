// COM pieces: initialisation, GUIDs, BSTR strings.
#pragma once

#include "win/wintypes.h"
#include "win/winerror.h"

#define COINIT_MULTITHREADED 0x0
#define COINIT_APARTMENTTHREADED 0x2
#ifndef CO_E_CLASSSTRING
#define CO_E_CLASSSTRING _HR(0x800401F3)
#endif

HRESULT CoInitialize(LPVOID pvReserved);
HRESULT CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit);
void CoUninitialize();
// Random version-4 GUIDs from the system's CSPRNG.
HRESULT CoCreateGuid(GUID* pguid);
// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper case; returns the characters
// written including the terminator, 0 when cchMax is too small.
int StringFromGUID2(REFGUID rguid, LPWSTR lpsz, int cchMax);
HRESULT CLSIDFromString(LPCWSTR lpsz, LPCLSID pclsid);

// BSTR: a 32-bit byte count stored before the characters, zero-terminated.
BSTR SysAllocString(const OLECHAR* psz);
BSTR SysAllocStringLen(const OLECHAR* strIn, UINT ui);
BSTR SysAllocStringByteLen(LPCSTR psz, UINT len);
UINT SysStringLen(BSTR pbstr);
UINT SysStringByteLen(BSTR bstr);
void SysFreeString(BSTR bstrString);
