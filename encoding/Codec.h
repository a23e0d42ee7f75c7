// Text and binary codecs: UTF-8/UTF-16, Base64, 64-column request lines and
// byte-order reversal. Every produced buffer is a zero-filled array allocation
// owned by the caller (release with delete[]); text outputs carry a terminating
// zero that the returned length does not count.
#pragma once

#include "win/windows.h"

// Zero-terminated UTF-16 to new UTF-8 text. Ill-formed UTF-16 is converted
// with replacement characters. E_POINTER for a null input or out pointer.
HRESULT UTF16ToUTF8(LPCWSTR pwszInput, char** ppszOutput, int* pnOutputLength);

// Zero-terminated UTF-8 to new UTF-16 text; *pnOutputLength in code units.
HRESULT UTF8ToUTF16(const char* pszInput, WCHAR** ppwszOutput, int* pnOutputLength);

// Standard alphabet with padding, CR LF after every 76 characters.
HRESULT Base64EncodeEx(const BYTE* pbData, int nDataLength, char** ppszBase64, int* pnBase64Length);

// Lenient: characters outside the alphabet are skipped. The output buffer is
// nBase64Length bytes large; *pnDataLength is the number of bytes decoded.
HRESULT Base64DecodeEx(const char* pszBase64, int nBase64Length, BYTE** ppbData, int* pnDataLength);

// Drops every CR and LF and re-wraps into lines of exactly 64 characters
// separated by CR LF (no break after the last line).
HRESULT TransformBase64EncodedDatatoHoldCRLFPer64Chars(const char* pszBase64, int nBase64Length, char** ppszOutput,
                                                       int* pnOutputLength);

// Reverses nLength bytes in place (little-endian provider integers <-> DER).
void SwapByteOrder(BYTE* pbData, int nLength);
