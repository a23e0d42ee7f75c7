// CryptDecodeObjectEx / CryptDecodeObject for the structures the system reads
// out of certificates: key usage and other bit strings, key identifiers and
// octet strings, names, basic constraints, enhanced key usage, integers.
// The result is one buffer: the structure first, what it points to behind it.
#include <cstring>
#include <new>

#include "platform/crypt32/Crypt32Internal.h"

using namespace crypt32;

namespace {

// Builds the one-buffer result with offsets, then relocates pointers.
class Layout {
public:
    explicit Layout(size_t structSize) : m_buf(structSize, 0) {}
    BYTE* At(size_t off) { return m_buf.data() + off; }
    size_t Append(const void* p, size_t n, size_t extraZeros = 0) {
        size_t off = Align(m_buf.size());
        m_buf.resize(off + n + extraZeros, 0);
        if (n) memcpy(m_buf.data() + off, p, n);
        return off;
    }
    size_t Reserve(size_t n) {
        size_t off = Align(m_buf.size());
        m_buf.resize(off + n, 0);
        return off;
    }
    // The pointer stored at fieldOff is to point at targetOff.
    void Pointer(size_t fieldOff, size_t targetOff) { m_ptrs.emplace_back(fieldOff, targetOff); }
    size_t size() const { return m_buf.size(); }
    void CopyTo(BYTE* dst) const {
        memcpy(dst, m_buf.data(), m_buf.size());
        for (const auto& [field, target] : m_ptrs) {
            BYTE* p = dst + target;
            memcpy(dst + field, &p, sizeof(p));
        }
    }

private:
    static size_t Align(size_t n) { return (n + 7) & ~static_cast<size_t>(7); }
    Bytes m_buf;
    std::vector<std::pair<size_t, size_t>> m_ptrs;
};


#define FIELD(type, member) (offsetof(type, member))

HRESULT WholeElement(const BYTE* p, size_t n, BYTE tag, Tlv& t) {
    const BYTE* q = p;
    HRESULT hr = ReadTagged(q, p + n, tag, t);
    if (FAILED(hr)) return hr;
    return q == p + n ? S_OK : CRYPT_E_ASN1_CORRUPT;
}

HRESULT DecodeBits(const BYTE* p, size_t n, Layout& out) {
    Tlv t;
    HRESULT hr = WholeElement(p, n, 0x03, t);
    if (FAILED(hr)) return hr;
    if (t.len < 1 || t.content[0] > 7 || (t.len == 1 && t.content[0] != 0)) return CRYPT_E_ASN1_CORRUPT;
    auto* b = reinterpret_cast<CRYPT_BIT_STRING_BLOB*>(out.At(0));
    b->cbData = static_cast<DWORD>(t.len - 1);
    b->cUnusedBits = t.content[0];
    if (b->cbData) {
        size_t off = out.Append(t.content + 1, t.len - 1);
        out.Pointer(FIELD(CRYPT_BIT_STRING_BLOB, pbData), off);
    }
    return S_OK;
}

HRESULT DecodeOctets(const BYTE* p, size_t n, Layout& out) {
    Tlv t;
    HRESULT hr = WholeElement(p, n, 0x04, t);
    if (FAILED(hr)) return hr;
    auto* b = reinterpret_cast<CRYPT_DATA_BLOB*>(out.At(0));
    b->cbData = static_cast<DWORD>(t.len);
    if (t.len) {
        size_t off = out.Append(t.content, t.len);
        out.Pointer(FIELD(CRYPT_DATA_BLOB, pbData), off);
    }
    return S_OK;
}

HRESULT DecodeInteger(const BYTE* p, size_t n, Layout& out) {
    Tlv t;
    HRESULT hr = WholeElement(p, n, 0x02, t);
    if (FAILED(hr)) return hr;
    if (t.len == 0) return CRYPT_E_ASN1_CORRUPT;
    if (t.len > 4) return CRYPT_E_ASN1_LARGE;
    int32_t v = (t.content[0] & 0x80) ? -1 : 0;
    for (size_t i = 0; i < t.len; ++i) v = static_cast<int32_t>((static_cast<uint32_t>(v) << 8) | t.content[i]);
    memcpy(out.At(0), &v, 4);
    return S_OK;
}

HRESULT DecodeBasicConstraints2(const BYTE* p, size_t n, Layout& out) {
    Tlv seq;
    HRESULT hr = WholeElement(p, n, 0x30, seq);
    if (FAILED(hr)) return hr;
    auto* bc = reinterpret_cast<CERT_BASIC_CONSTRAINTS2_INFO*>(out.At(0));
    const BYTE* q = seq.content;
    if (q < seq.end() && *q == 0x01) {
        Tlv b;
        if (FAILED(hr = ReadTlv(q, seq.end(), b))) return hr;
        if (b.len != 1) return CRYPT_E_ASN1_CORRUPT;
        bc->fCA = b.content[0] ? TRUE : FALSE;
    }
    if (q < seq.end()) {
        Tlv i;
        if (FAILED(hr = ReadTagged(q, seq.end(), 0x02, i))) return hr;
        if (i.len == 0 || i.len > 4 || (i.content[0] & 0x80)) return CRYPT_E_ASN1_CORRUPT;
        DWORD v = 0;
        for (size_t k = 0; k < i.len; ++k) v = (v << 8) | i.content[k];
        bc->fPathLenConstraint = TRUE;
        bc->dwPathLenConstraint = v;
    }
    return q == seq.end() ? S_OK : CRYPT_E_ASN1_CORRUPT;
}

HRESULT DecodeEnhKeyUsage(const BYTE* p, size_t n, Layout& out) {
    Tlv seq;
    HRESULT hr = WholeElement(p, n, 0x30, seq);
    if (FAILED(hr)) return hr;
    std::vector<std::string> oids;
    const BYTE* q = seq.content;
    while (q < seq.end()) {
        Tlv o;
        if (FAILED(hr = ReadTagged(q, seq.end(), 0x06, o))) return hr;
        std::string s;
        if (!DecodeOid(o.content, o.len, s)) return CRYPT_E_ASN1_CORRUPT;
        oids.push_back(std::move(s));
    }
    reinterpret_cast<CERT_ENHKEY_USAGE*>(out.At(0))->cUsageIdentifier = static_cast<DWORD>(oids.size());
    if (oids.empty()) return S_OK;
    size_t arr = out.Reserve(sizeof(LPSTR) * oids.size());
    out.Pointer(FIELD(CERT_ENHKEY_USAGE, rgpszUsageIdentifier), arr);
    for (size_t i = 0; i < oids.size(); ++i) {
        size_t s = out.Append(oids[i].c_str(), oids[i].size() + 1);
        out.Pointer(arr + i * sizeof(LPSTR), s);
    }
    return S_OK;
}

DWORD RdnValueType(BYTE tag) {
    switch (tag) {
        case 0x04: return CERT_RDN_OCTET_STRING;
        case 0x12: return CERT_RDN_NUMERIC_STRING;
        case 0x13: return CERT_RDN_PRINTABLE_STRING;
        case 0x14: return CERT_RDN_TELETEX_STRING;
        case 0x15: return CERT_RDN_VIDEOTEX_STRING;
        case 0x16: return CERT_RDN_IA5_STRING;
        case 0x19: return CERT_RDN_GRAPHIC_STRING;
        case 0x1A: return CERT_RDN_VISIBLE_STRING;
        case 0x1B: return CERT_RDN_GENERAL_STRING;
        case 0x1C: return CERT_RDN_UNIVERSAL_STRING;
        case 0x1E: return CERT_RDN_BMP_STRING;
        case 0x0C: return CERT_RDN_UTF8_STRING;
        default: return CERT_RDN_ENCODED_BLOB;
    }
}

HRESULT DecodeName(const BYTE* p, size_t n, Layout& out) {
    std::vector<NameRdn> rdns;
    HRESULT hr = ParseName(p, n, rdns);
    if (FAILED(hr)) return hr;
    reinterpret_cast<CERT_NAME_INFO*>(out.At(0))->cRDN = static_cast<DWORD>(rdns.size());
    if (rdns.empty()) return S_OK;
    size_t rdnArr = out.Reserve(sizeof(CERT_RDN) * rdns.size());
    out.Pointer(FIELD(CERT_NAME_INFO, rgRDN), rdnArr);
    for (size_t i = 0; i < rdns.size(); ++i) {
        size_t rdnOff = rdnArr + i * sizeof(CERT_RDN);
        reinterpret_cast<CERT_RDN*>(out.At(rdnOff))->cRDNAttr = static_cast<DWORD>(rdns[i].size());
        if (rdns[i].empty()) continue;
        size_t attrArr = out.Reserve(sizeof(CERT_RDN_ATTR) * rdns[i].size());
        out.Pointer(rdnOff + FIELD(CERT_RDN, rgRDNAttr), attrArr);
        for (size_t j = 0; j < rdns[i].size(); ++j) {
            const NameAttr& a = rdns[i][j];
            size_t attrOff = attrArr + j * sizeof(CERT_RDN_ATTR);
            size_t oidOff = out.Append(a.oid.c_str(), a.oid.size() + 1);
            out.Pointer(attrOff + FIELD(CERT_RDN_ATTR, pszObjId), oidOff);
            DWORD type = RdnValueType(a.tag);
            Bytes value;
            size_t terminator = 0;
            if (type == CERT_RDN_ENCODED_BLOB) {
                value.assign(a.valueStart, a.valueStart + a.valueTotal);
            } else if (type == CERT_RDN_UTF8_STRING || type == CERT_RDN_BMP_STRING) {
                std::u16string s;
                ValueToText(a, s);
                value.assign(reinterpret_cast<const BYTE*>(s.data()),
                             reinterpret_cast<const BYTE*>(s.data()) + s.size() * 2);
                terminator = 2;
            } else if (type == CERT_RDN_UNIVERSAL_STRING) {
                for (size_t k = 0; k + 3 < a.len; k += 4) {
                    uint32_t cp = (static_cast<uint32_t>(a.content[k]) << 24) | (a.content[k + 1] << 16) |
                                  (a.content[k + 2] << 8) | a.content[k + 3];
                    value.insert(value.end(), reinterpret_cast<BYTE*>(&cp), reinterpret_cast<BYTE*>(&cp) + 4);
                }
                terminator = 4;
            } else {
                value.assign(a.content, a.content + a.len);
                terminator = type == CERT_RDN_OCTET_STRING ? 0 : 1;
            }
            reinterpret_cast<CERT_RDN_ATTR*>(out.At(attrOff))->dwValueType = type;
            reinterpret_cast<CERT_RDN_ATTR*>(out.At(attrOff))->Value.cbData = static_cast<DWORD>(value.size());
            if (!value.empty() || terminator) {
                size_t v = out.Append(value.data(), value.size(), terminator);
                out.Pointer(attrOff + FIELD(CERT_RDN_ATTR, Value) + FIELD(CRYPTOAPI_BLOB, pbData), v);
            }
        }
    }
    return S_OK;
}

enum class Kind { Unknown, Bits, Octets, Name, Basic2, EnhKeyUsage, Integer };

Kind KindOf(LPCSTR type, size_t& structSize) {
    auto v = reinterpret_cast<ULONG_PTR>(type);
    Kind k = Kind::Unknown;
    if (v == 0) return Kind::Unknown;
    if (v < 0x10000) {
        if (type == X509_KEY_USAGE || type == X509_BITS) k = Kind::Bits;
        else if (type == X509_OCTET_STRING) k = Kind::Octets;
        else if (type == X509_NAME) k = Kind::Name;
        else if (type == X509_BASIC_CONSTRAINTS2) k = Kind::Basic2;
        else if (type == X509_ENHANCED_KEY_USAGE) k = Kind::EnhKeyUsage;
        else if (type == X509_INTEGER) k = Kind::Integer;
    } else if (strcmp(type, szOID_KEY_USAGE) == 0) {
        k = Kind::Bits;
    } else if (strcmp(type, szOID_SUBJECT_KEY_IDENTIFIER) == 0) {
        k = Kind::Octets;
    } else if (strcmp(type, szOID_BASIC_CONSTRAINTS2) == 0) {
        k = Kind::Basic2;
    } else if (strcmp(type, szOID_ENHANCED_KEY_USAGE) == 0) {
        k = Kind::EnhKeyUsage;
    }
    switch (k) {
        case Kind::Bits: structSize = sizeof(CRYPT_BIT_STRING_BLOB); break;
        case Kind::Octets: structSize = sizeof(CRYPT_DATA_BLOB); break;
        case Kind::Name: structSize = sizeof(CERT_NAME_INFO); break;
        case Kind::Basic2: structSize = sizeof(CERT_BASIC_CONSTRAINTS2_INFO); break;
        case Kind::EnhKeyUsage: structSize = sizeof(CERT_ENHKEY_USAGE); break;
        case Kind::Integer: structSize = sizeof(int); break;
        default: break;
    }
    return k;
}

}  // namespace

BOOL CryptDecodeObjectEx(DWORD dwCertEncodingType, LPCSTR lpszStructType, const BYTE* pbEncoded, DWORD cbEncoded,
                         DWORD dwFlags, void* pDecodePara, void* pvStructInfo, DWORD* pcbStructInfo) try {
    if (!pcbStructInfo) {
        SetError(E_INVALIDARG);
        return FALSE;
    }
    const bool alloc = (dwFlags & CRYPT_DECODE_ALLOC_FLAG) != 0;
    if (alloc && !pvStructInfo) {
        SetError(E_INVALIDARG);
        return FALSE;
    }
    if (alloc) *static_cast<void**>(pvStructInfo) = nullptr;
    if (GET_CERT_ENCODING_TYPE(dwCertEncodingType) != X509_ASN_ENCODING) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    size_t structSize = 0;
    Kind kind = KindOf(lpszStructType, structSize);
    if (kind == Kind::Unknown) {
        SetLastError(ERROR_FILE_NOT_FOUND);  // no decoder for this structure type
        return FALSE;
    }
    if (!pbEncoded || cbEncoded == 0) {
        SetError(CRYPT_E_ASN1_EOD);
        return FALSE;
    }
    Layout out(structSize);
    HRESULT hr = E_FAIL;
    switch (kind) {
        case Kind::Bits: hr = DecodeBits(pbEncoded, cbEncoded, out); break;
        case Kind::Octets: hr = DecodeOctets(pbEncoded, cbEncoded, out); break;
        case Kind::Name: hr = DecodeName(pbEncoded, cbEncoded, out); break;
        case Kind::Basic2: hr = DecodeBasicConstraints2(pbEncoded, cbEncoded, out); break;
        case Kind::EnhKeyUsage: hr = DecodeEnhKeyUsage(pbEncoded, cbEncoded, out); break;
        case Kind::Integer: hr = DecodeInteger(pbEncoded, cbEncoded, out); break;
        default: break;
    }
    if (FAILED(hr)) {
        SetError(hr);
        return FALSE;
    }
    DWORD need = static_cast<DWORD>(out.size());
    if (alloc) {
        auto* para = static_cast<const CRYPT_DECODE_PARA*>(pDecodePara);
        void* mem = nullptr;
        if (para && para->cbSize >= offsetof(CRYPT_DECODE_PARA, pfnFree) && para->pfnAlloc)
            mem = para->pfnAlloc(need);
        else
            mem = LocalAlloc(LMEM_ZEROINIT, need);
        if (!mem) {
            SetError(E_OUTOFMEMORY);
            return FALSE;
        }
        out.CopyTo(static_cast<BYTE*>(mem));
        *static_cast<void**>(pvStructInfo) = mem;
        *pcbStructInfo = need;
        return TRUE;
    }
    if (!pvStructInfo) {
        *pcbStructInfo = need;
        return TRUE;
    }
    if (*pcbStructInfo < need) {
        *pcbStructInfo = need;
        SetError(ERROR_MORE_DATA);
        return FALSE;
    }
    out.CopyTo(static_cast<BYTE*>(pvStructInfo));
    *pcbStructInfo = need;
    return TRUE;
} catch (const std::bad_alloc&) {
    SetError(E_OUTOFMEMORY);
    return FALSE;
}

BOOL CryptDecodeObject(DWORD dwCertEncodingType, LPCSTR lpszStructType, const BYTE* pbEncoded, DWORD cbEncoded,
                       DWORD dwFlags, void* pvStructInfo, DWORD* pcbStructInfo) try {
    return CryptDecodeObjectEx(dwCertEncodingType, lpszStructType, pbEncoded, cbEncoded,
                               dwFlags & ~static_cast<DWORD>(CRYPT_DECODE_ALLOC_FLAG), nullptr, pvStructInfo,
                               pcbStructInfo);
} catch (const std::bad_alloc&) {
    SetError(E_OUTOFMEMORY);
    return FALSE;
}
