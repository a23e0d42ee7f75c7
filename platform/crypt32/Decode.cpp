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

// A blob's length and, when it has content, its bytes behind the structure.
template <typename Blob>
void SetBlob(Layout& out, const BYTE* p, size_t n) {
    reinterpret_cast<Blob*>(out.At(0))->cbData = static_cast<DWORD>(n);
    if (n) out.Pointer(FIELD(Blob, pbData), out.Append(p, n));
}

HRESULT DecodeBits(const Element& t, Layout& out) {
    if (t.len < 1 || t.content[0] > 7 || (t.len == 1 && t.content[0] != 0)) return CRYPT_E_ASN1_CORRUPT;
    reinterpret_cast<CRYPT_BIT_STRING_BLOB*>(out.At(0))->cUnusedBits = t.content[0];
    SetBlob<CRYPT_BIT_STRING_BLOB>(out, t.content + 1, t.len - 1);
    return S_OK;
}

HRESULT DecodeOctets(const Element& t, Layout& out) {
    SetBlob<CRYPT_DATA_BLOB>(out, t.content, t.len);
    return S_OK;
}

HRESULT DecodeInteger(const Element& t, Layout& out) {
    if (t.len == 0) return CRYPT_E_ASN1_CORRUPT;
    if (t.len > 4) return CRYPT_E_ASN1_LARGE;
    int32_t v = (t.content[0] & 0x80) ? -1 : 0;
    for (size_t i = 0; i < t.len; ++i) v = static_cast<int32_t>((static_cast<uint32_t>(v) << 8) | t.content[i]);
    memcpy(out.At(0), &v, 4);
    return S_OK;
}

HRESULT DecodeBasicConstraints2(const Element& seq, Layout& out) {
    auto* bc = reinterpret_cast<CERT_BASIC_CONSTRAINTS2_INFO*>(out.At(0));
    der::Reader r(seq);
    Element b, i;
    bool present = false;
    if (!r.ReadOptional(der::kTagBoolean, &b, &present)) return Asn1Code(r);
    if (present) {
        if (b.len != 1) return CRYPT_E_ASN1_CORRUPT;
        bc->fCA = b.content[0] ? TRUE : FALSE;
    }
    if (!r.Empty()) {
        if (!r.Read(der::kTagInteger, &i)) return Asn1Code(r);
        if (i.len == 0 || i.len > 4 || (i.content[0] & 0x80)) return CRYPT_E_ASN1_CORRUPT;
        DWORD v = 0;
        for (size_t k = 0; k < i.len; ++k) v = (v << 8) | i.content[k];
        bc->fPathLenConstraint = TRUE;
        bc->dwPathLenConstraint = v;
    }
    return r.ExpectEnd() ? S_OK : Asn1Code(r);
}

HRESULT DecodeEnhKeyUsage(const Element& seq, Layout& out) {
    std::vector<std::string> oids;
    for (der::Reader r(seq); !r.Empty();) {
        Element o;
        if (!r.Read(der::kTagOid, &o)) return Asn1Code(r);
        std::string s;
        if (!DecodeOid(o, s)) return CRYPT_E_ASN1_CORRUPT;
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

HRESULT DecodeName(const Element& name, Layout& out) {
    std::vector<NameRdn> rdns;
    HRESULT hr = ParseName(name.header, name.size(), rdns);
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
            DWORD type = RdnValueType(a.value.tag);
            Bytes value;
            size_t terminator = 0;
            if (type == CERT_RDN_ENCODED_BLOB) {
                value.assign(a.value.header, a.value.end());
            } else if (type == CERT_RDN_UTF8_STRING || type == CERT_RDN_BMP_STRING) {
                std::u16string s;
                ValueToText(a, s);
                value.assign(reinterpret_cast<const BYTE*>(s.data()),
                             reinterpret_cast<const BYTE*>(s.data()) + s.size() * 2);
                terminator = 2;
            } else if (type == CERT_RDN_UNIVERSAL_STRING) {
                const BYTE* c = a.value.content;
                for (size_t k = 0; k + 3 < a.value.len; k += 4) {
                    uint32_t cp = (static_cast<uint32_t>(c[k]) << 24) | (c[k + 1] << 16) | (c[k + 2] << 8) | c[k + 3];
                    value.insert(value.end(), reinterpret_cast<BYTE*>(&cp), reinterpret_cast<BYTE*>(&cp) + 4);
                }
                terminator = 4;
            } else {
                value.assign(a.value.content, a.value.end());
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

// Each structure type is one element of a known tag.
struct Decoder {
    BYTE tag;
    size_t structSize;
    HRESULT (*decode)(const Element&, Layout&);
};

constexpr Decoder kBits{der::kTagBitString, sizeof(CRYPT_BIT_STRING_BLOB), DecodeBits};
constexpr Decoder kOctets{der::kTagOctetString, sizeof(CRYPT_DATA_BLOB), DecodeOctets};
constexpr Decoder kName{der::kTagSequence, sizeof(CERT_NAME_INFO), DecodeName};
constexpr Decoder kBasic2{der::kTagSequence, sizeof(CERT_BASIC_CONSTRAINTS2_INFO), DecodeBasicConstraints2};
constexpr Decoder kEnhKeyUsage{der::kTagSequence, sizeof(CERT_ENHKEY_USAGE), DecodeEnhKeyUsage};
constexpr Decoder kInteger{der::kTagInteger, sizeof(int), DecodeInteger};

const Decoder* DecoderFor(LPCSTR type) {
    if (type == nullptr) return nullptr;
    if (IS_INTRESOURCE(type)) {
        if (type == X509_KEY_USAGE || type == X509_BITS) return &kBits;
        if (type == X509_OCTET_STRING) return &kOctets;
        if (type == X509_NAME) return &kName;
        if (type == X509_BASIC_CONSTRAINTS2) return &kBasic2;
        if (type == X509_ENHANCED_KEY_USAGE) return &kEnhKeyUsage;
        if (type == X509_INTEGER) return &kInteger;
        return nullptr;
    }
    if (strcmp(type, szOID_KEY_USAGE) == 0) return &kBits;
    if (strcmp(type, szOID_SUBJECT_KEY_IDENTIFIER) == 0) return &kOctets;
    if (strcmp(type, szOID_BASIC_CONSTRAINTS2) == 0) return &kBasic2;
    if (strcmp(type, szOID_ENHANCED_KEY_USAGE) == 0) return &kEnhKeyUsage;
    return nullptr;
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
    const Decoder* decoder = DecoderFor(lpszStructType);
    if (!decoder) {
        SetLastError(ERROR_FILE_NOT_FOUND);  // no decoder for this structure type
        return FALSE;
    }
    Element whole;
    der::Error err = der::Error::kNone;
    Layout out(decoder->structSize);
    HRESULT hr = der::ReadWhole(pbEncoded, cbEncoded, decoder->tag, &whole, &err) ? decoder->decode(whole, out)
                                                                                   : Asn1Code(err);
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
        SetLastError(ERROR_MORE_DATA);
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
