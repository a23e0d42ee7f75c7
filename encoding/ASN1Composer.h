// DER composition: length octets, single elements, the platform encoder's
// strings, BIT STRING and attributes, the two-element SEQUENCE of an attribute
// or algorithm identifier, and the DER form of a raw SM2 signature. Every
// builder hands out a new array allocation (release with delete[]); on
// failure nothing is handed out.
#pragma once

#include "win/windows.h"

// Enough room for the longest length octets: 0x84 and four octets.
#define ASN1_MAX_LENGTH_OCTETS 5

// Length octets of a content length (1..0x7FFFFFFF) written into
// pbLengthOctets (at least ASN1_MAX_LENGTH_OCTETS bytes). 0 or less: E_FAIL.
HRESULT CalculateASNValueLength(int nValueLength, BYTE* pbLengthOctets, int* pnLengthOctetCount);

// One element: low 8 bits of dwTag (02 04 06 0C 13 16 1E 30 31 80 A0 only),
// length octets, content. Other tags and empty content: E_FAIL.
HRESULT ASN1Encode(DWORD dwTag, const BYTE* pbValue, int nValueLength, BYTE** ppbEncoded, int* pnEncodedLength);

// The platform encoder's output for one structure (X509_ASN_ENCODING |
// PKCS_7_ASN_ENCODING): size query, then the value.
HRESULT EncodeObject(const void* pvStructInfo, LPCSTR lpszStructType, BYTE** ppbEncoded, int* pnEncodedLength);

// One string element of dwValueType (CERT_RDN_*); CERT_RDN_UTF8_STRING takes
// UTF-16 text with nValueLength = 2 x code units.
HRESULT ComposeAnyString(int nValueLength, DWORD dwValueType, const BYTE* pbValue, BYTE** ppbEncoded,
                         int* pnEncodedLength);

// BIT STRING with no unused bits: 03, length, 00, the bytes.
HRESULT ComposeBITString(int nDataLength, const BYTE* pbData, BYTE** ppbEncoded, int* pnEncodedLength);

// SEQUENCE { OBJECT IDENTIFIER, element }, or SEQUENCE { OBJECT IDENTIFIER,
// NULL } when pbElement is null. The element must be one complete DER element
// with a tag accepted by ASN1Encode and non-empty content.
HRESULT ComposeSpecialAttribute(const char* pszObjId, const BYTE* pbElement, int nElementLength, BYTE** ppbEncoded,
                                int* pnEncodedLength);

// 64 bytes r || s (each big-endian) to SEQUENCE { INTEGER r, INTEGER s } with
// minimal INTEGERs. Any other size: 0x8007000D.
HRESULT SM2EncodeRawSignature(const BYTE* pbRawSignature, int nRawSignatureLength, BYTE** ppbEncoded,
                              int* pnEncodedLength);
