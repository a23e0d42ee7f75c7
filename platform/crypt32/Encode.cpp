// CryptEncodeObject: our own DER writer for the structure types the system
// encodes (name values, BIT STRING, attributes, OCTET STRING, OBJECT
// IDENTIFIER), with CryptoAPI's calling conventions: a null output buffer asks
// for the size, a short buffer fails with ERROR_MORE_DATA and the size needed,
// an unknown structure type fails with ERROR_FILE_NOT_FOUND (no encoder is
// installed for it), a malformed dotted identifier with CRYPT_E_OID_FORMAT.
#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "platform/base/Der.h"
#include "win/windows.h"

namespace {

typedef std::vector<BYTE> Bytes;

namespace der = tessaro::der;
using der::AppendElement;

// UTF-16 code units (as given in a name value) to UTF-8; a lone surrogate
// becomes U+FFFD.
void AppendUtf8FromUtf16(Bytes& out, const BYTE* pb, size_t cUnits) {
    auto unit = [pb](size_t i) -> DWORD {
        WCHAR w;
        std::memcpy(&w, pb + 2 * i, 2);
        return w;
    };
    for (size_t i = 0; i < cUnits; ++i) {
        DWORD c = unit(i);
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < cUnits && unit(i + 1) >= 0xDC00 && unit(i + 1) <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (unit(i + 1) - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        if (c < 0x80) {
            out.push_back(static_cast<BYTE>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<BYTE>(0xC0 | (c >> 6)));
            out.push_back(static_cast<BYTE>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(static_cast<BYTE>(0xE0 | (c >> 12)));
            out.push_back(static_cast<BYTE>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<BYTE>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<BYTE>(0xF0 | (c >> 18)));
            out.push_back(static_cast<BYTE>(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(static_cast<BYTE>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<BYTE>(0x80 | (c & 0x3F)));
        }
    }
}

bool BlobReadable(const CRYPTOAPI_BLOB& blob) { return blob.cbData == 0 || blob.pbData != nullptr; }

// CERT_NAME_VALUE: one string element. Byte string types take their content
// as given; UTF8 and BMP take UTF-16 text (cbData = 2 x code units). No
// character-set check is made, as for Windows' 8-bit name values.
HRESULT EncodeNameValue(const void* pv, Bytes& out) {
    const CERT_NAME_VALUE* pValue = static_cast<const CERT_NAME_VALUE*>(pv);
    if (!BlobReadable(pValue->Value)) return E_INVALIDARG;
    const BYTE* pb = pValue->Value.pbData;
    size_t cb = pValue->Value.cbData;
    BYTE byTag;
    switch (pValue->dwValueType) {
        case CERT_RDN_ENCODED_BLOB:
            if (cb == 0) return CRYPT_E_ASN1_CORRUPT;
            out.insert(out.end(), pb, pb + cb);
            return S_OK;
        case CERT_RDN_OCTET_STRING: byTag = 0x04; break;
        case CERT_RDN_NUMERIC_STRING: byTag = 0x12; break;
        case CERT_RDN_PRINTABLE_STRING: byTag = 0x13; break;
        case CERT_RDN_T61_STRING: byTag = 0x14; break;
        case CERT_RDN_VIDEOTEX_STRING: byTag = 0x15; break;
        case CERT_RDN_IA5_STRING: byTag = 0x16; break;
        case CERT_RDN_GRAPHIC_STRING: byTag = 0x19; break;
        case CERT_RDN_VISIBLE_STRING: byTag = 0x1A; break;
        case CERT_RDN_GENERAL_STRING: byTag = 0x1B; break;
        case CERT_RDN_UTF8_STRING: {
            if (cb % 2 != 0) return E_INVALIDARG;
            Bytes content;
            AppendUtf8FromUtf16(content, pb, cb / 2);
            AppendElement(out, 0x0C, content);
            return S_OK;
        }
        case CERT_RDN_BMP_STRING: {
            if (cb % 2 != 0) return E_INVALIDARG;
            Bytes content;
            content.reserve(cb);
            for (size_t i = 0; i < cb; i += 2) {
                WCHAR w;
                std::memcpy(&w, pb + i, 2);
                content.push_back(static_cast<BYTE>(w >> 8));
                content.push_back(static_cast<BYTE>(w & 0xFF));
            }
            AppendElement(out, 0x1E, content);
            return S_OK;
        }
        default:
            return CRYPT_E_ASN1_CHOICE;
    }
    AppendElement(out, byTag, pb, cb);
    return S_OK;
}

HRESULT EncodeBits(const void* pv, Bytes& out) {
    const CRYPT_BIT_STRING* pBits = static_cast<const CRYPT_BIT_STRING*>(pv);
    if (pBits->cbData != 0 && pBits->pbData == nullptr) return E_INVALIDARG;
    if (pBits->cUnusedBits > 7 || (pBits->cbData == 0 && pBits->cUnusedBits != 0)) return E_INVALIDARG;
    Bytes content;
    content.reserve(pBits->cbData + 1);
    content.push_back(static_cast<BYTE>(pBits->cUnusedBits));
    content.insert(content.end(), pBits->pbData, pBits->pbData + pBits->cbData);
    // DER: the unused bits of the last octet are zero.
    if (pBits->cbData != 0) content.back() &= static_cast<BYTE>(0xFF << pBits->cUnusedBits);
    AppendElement(out, der::kTagBitString, content);
    return S_OK;
}

// A signed integer given least significant byte first, as CryptoAPI keeps
// serial numbers, in minimal two's-complement form.
HRESULT EncodeMultiByteInteger(const void* pv, Bytes& out) {
    const CRYPT_INTEGER_BLOB* pInt = static_cast<const CRYPT_INTEGER_BLOB*>(pv);
    if (pInt->cbData != 0 && pInt->pbData == nullptr) return E_INVALIDARG;
    Bytes be(pInt->pbData, pInt->pbData + pInt->cbData);
    std::reverse(be.begin(), be.end());
    size_t skip = 0;
    while (skip + 1 < be.size() && ((be[skip] == 0x00 && be[skip + 1] < 0x80) || (be[skip] == 0xFF && be[skip + 1] >= 0x80)))
        ++skip;
    be.erase(be.begin(), be.begin() + static_cast<long>(skip));
    if (be.empty()) be.push_back(0);
    AppendElement(out, der::kTagInteger, be);
    return S_OK;
}

// SEQUENCE { OBJECT IDENTIFIER, SET OF value }; each value is a complete DER
// element copied as given, the SET sorted in DER order.
HRESULT EncodeAttribute(const void* pv, Bytes& out) {
    const CRYPT_ATTRIBUTE* pAttr = static_cast<const CRYPT_ATTRIBUTE*>(pv);
    Bytes oid;
    if (!der::AppendOidContent(oid, pAttr->pszObjId)) return CRYPT_E_OID_FORMAT;
    if (pAttr->cValue != 0 && pAttr->rgValue == nullptr) return E_INVALIDARG;
    std::vector<Bytes> values;
    for (DWORD i = 0; i < pAttr->cValue; ++i) {
        const CRYPT_ATTR_BLOB& v = pAttr->rgValue[i];
        if (!BlobReadable(v)) return E_INVALIDARG;
        if (v.cbData < 2) return CRYPT_E_ASN1_EOD;  // no element is shorter than tag + length
        values.emplace_back(v.pbData, v.pbData + v.cbData);
    }
    std::sort(values.begin(), values.end());
    Bytes set;
    for (const Bytes& v : values) set.insert(set.end(), v.begin(), v.end());
    Bytes seq;
    AppendElement(seq, der::kTagOid, oid);
    AppendElement(seq, der::kTagSet, set);
    AppendElement(out, der::kTagSequence, seq);
    return S_OK;
}

HRESULT EncodeOctetString(const void* pv, Bytes& out) {
    const CRYPT_DATA_BLOB* pBlob = static_cast<const CRYPT_DATA_BLOB*>(pv);
    if (!BlobReadable(*pBlob)) return E_INVALIDARG;
    AppendElement(out, der::kTagOctetString, pBlob->pbData, pBlob->cbData);
    return S_OK;
}

HRESULT EncodeObjectIdentifier(const void* pv, Bytes& out) {
    LPCSTR pszObjId = *static_cast<const LPCSTR*>(pv);
    Bytes oid;
    if (!der::AppendOidContent(oid, pszObjId)) return CRYPT_E_OID_FORMAT;
    AppendElement(out, der::kTagOid, oid);
    return S_OK;
}

// Failure: a Win32 code, or an encoder's HRESULT as Windows sets it for the
// caller's GetLastError.
BOOL FailWin32(DWORD error) {
    SetLastError(error);
    return FALSE;
}
BOOL Fail(HRESULT hr) { return FailWin32(static_cast<DWORD>(hr)); }

}  // namespace

BOOL CryptEncodeObject(DWORD dwCertEncodingType, LPCSTR lpszStructType, const void* pvStructInfo,
                       BYTE* pbEncoded, DWORD* pcbEncoded) {
    if (pcbEncoded == nullptr) return FailWin32(ERROR_INVALID_PARAMETER);
    if (GET_CERT_ENCODING_TYPE(dwCertEncodingType) != X509_ASN_ENCODING) return FailWin32(ERROR_FILE_NOT_FOUND);
    if (pvStructInfo == nullptr) return Fail(E_INVALIDARG);
    // Predefined structure types are small integers; an identifier text names
    // an installable encoder, of which none is installed here.
    if (!IS_INTRESOURCE(lpszStructType)) return FailWin32(ERROR_FILE_NOT_FOUND);

    Bytes out;
    HRESULT hr;
    try {
        switch (reinterpret_cast<ULONG_PTR>(lpszStructType)) {
            case 6: hr = EncodeNameValue(pvStructInfo, out); break;     // X509_NAME_VALUE / X509_ANY_STRING
            case 22: hr = EncodeAttribute(pvStructInfo, out); break;    // PKCS_ATTRIBUTE
            case 25: hr = EncodeOctetString(pvStructInfo, out); break;  // X509_OCTET_STRING
            case 26: hr = EncodeBits(pvStructInfo, out); break;         // X509_BITS
            case 28: hr = EncodeMultiByteInteger(pvStructInfo, out); break;  // X509_MULTI_BYTE_INTEGER
            case 73: hr = EncodeObjectIdentifier(pvStructInfo, out); break;  // X509_OBJECT_IDENTIFIER
            default: return FailWin32(ERROR_FILE_NOT_FOUND);
        }
    } catch (const std::bad_alloc&) {
        return FailWin32(ERROR_NOT_ENOUGH_MEMORY);
    }
    if (hr != S_OK) return Fail(hr);
    if (out.size() > 0xFFFFFFFFull) return Fail(CRYPT_E_ASN1_LARGE);
    DWORD cbNeeded = static_cast<DWORD>(out.size());
    if (pbEncoded == nullptr) {
        *pcbEncoded = cbNeeded;
        return TRUE;
    }
    if (*pcbEncoded < cbNeeded) {
        *pcbEncoded = cbNeeded;
        return FailWin32(ERROR_MORE_DATA);
    }
    std::memcpy(pbEncoded, out.data(), cbNeeded);
    *pcbEncoded = cbNeeded;
    return TRUE;
}
