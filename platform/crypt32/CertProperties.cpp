// Context properties, the serialized CRYPT_KEY_PROV_INFO (offsets instead of
// pointers) and the serialized property records of a store element: the
// layout of a registry store's "Blob" value.
#include <openssl/evp.h>

#include <cstring>
#include <new>

#include "platform/base/LittleEndian.h"
#include "platform/crypt32/Crypt32Internal.h"

namespace crypt32 {

namespace {

using tessaro::LoadLe32;

void PutDword(Bytes& b, DWORD v) {
    b.resize(b.size() + 4);
    tessaro::StoreLe32(&b[b.size() - 4], v);
}
void SetDword(Bytes& b, size_t at, DWORD v) { tessaro::StoreLe32(&b[at], v); }

// Serialized CRYPT_KEY_PROV_INFO: seven DWORDs (offset of the container name,
// offset of the provider name, type, flags, parameter count, offset of the
// parameter array, key spec), then the strings (UTF-16LE, terminated), then
// the parameters (dwParam, data offset, cbData, dwFlags) and their data.
// Offsets count from the start; 0 means absent.
constexpr size_t kKpiHeader = 28;

void PutString16(Bytes& b, const char16_t* s) {
    for (; *s; ++s) {
        b.push_back(static_cast<BYTE>(*s & 0xFF));
        b.push_back(static_cast<BYTE>(*s >> 8));
    }
    b.push_back(0);
    b.push_back(0);
}

// Length in characters of a terminated UTF-16LE string at off, or -1.
long long String16At(const Bytes& b, DWORD off) {
    if (off == 0) return 0;
    if (off < kKpiHeader || off >= b.size()) return -1;
    for (size_t i = off; i + 1 < b.size(); i += 2)
        if (b[i] == 0 && b[i + 1] == 0) return static_cast<long long>((i - off) / 2);
    return -1;
}

size_t Align8(size_t n) { return (n + 7) & ~static_cast<size_t>(7); }

}  // namespace

HRESULT KeyProvInfoFromStruct(const CRYPT_KEY_PROV_INFO* info, Bytes& out) {
    if (!info || (info->cProvParam && !info->rgProvParam)) return E_INVALIDARG;
    for (DWORD i = 0; i < info->cProvParam; ++i)
        if (info->rgProvParam[i].cbData && !info->rgProvParam[i].pbData) return E_INVALIDARG;
    Bytes b(kKpiHeader, 0);
    if (info->pwszContainerName) {
        SetDword(b, 0, static_cast<DWORD>(b.size()));
        PutString16(b, info->pwszContainerName);
    }
    if (info->pwszProvName) {
        SetDword(b, 4, static_cast<DWORD>(b.size()));
        PutString16(b, info->pwszProvName);
    }
    SetDword(b, 8, info->dwProvType);
    SetDword(b, 12, info->dwFlags);
    SetDword(b, 16, info->cProvParam);
    SetDword(b, 24, info->dwKeySpec);
    if (info->cProvParam) {
        while (b.size() % 4) b.push_back(0);
        size_t arr = b.size();
        SetDword(b, 20, static_cast<DWORD>(arr));
        b.resize(arr + 16 * static_cast<size_t>(info->cProvParam), 0);
        for (DWORD i = 0; i < info->cProvParam; ++i) {
            const auto& pp = info->rgProvParam[i];
            size_t rec = arr + 16 * i;
            SetDword(b, rec, pp.dwParam);
            SetDword(b, rec + 4, pp.cbData ? static_cast<DWORD>(b.size()) : 0);
            SetDword(b, rec + 8, pp.cbData);
            SetDword(b, rec + 12, pp.dwFlags);
            b.insert(b.end(), pp.pbData, pp.pbData + pp.cbData);
        }
    }
    out.swap(b);
    return S_OK;
}

bool ValidSerializedKeyProvInfo(const Bytes& b) {
    if (b.size() < kKpiHeader) return false;
    if (String16At(b, LoadLe32(&b[0])) < 0 || String16At(b, LoadLe32(&b[4])) < 0) return false;
    uint64_t count = LoadLe32(&b[16]);
    DWORD arr = LoadLe32(&b[20]);
    if (count == 0) return true;
    if (arr < kKpiHeader || arr + 16 * count > b.size()) return false;
    for (uint64_t i = 0; i < count; ++i) {
        const BYTE* rec = &b[arr + 16 * i];
        uint64_t off = LoadLe32(rec + 4), cb = LoadLe32(rec + 8);
        if (cb && (off < kKpiHeader || off + cb > b.size())) return false;
    }
    return true;
}

Bytes KeyProvInfoToStruct(const Bytes& s) {
    // Caller has validated s.
    DWORD offC = LoadLe32(&s[0]), offP = LoadLe32(&s[4]);
    size_t lenC = static_cast<size_t>(String16At(s, offC)), lenP = static_cast<size_t>(String16At(s, offP));
    DWORD count = LoadLe32(&s[16]);
    DWORD arr = LoadLe32(&s[20]);
    size_t size = Align8(sizeof(CRYPT_KEY_PROV_INFO));
    size_t paramsAt = size;
    size += Align8(sizeof(CRYPT_KEY_PROV_PARAM) * count);
    size_t dataAt = size;
    for (DWORD i = 0; i < count; ++i) size += Align8(LoadLe32(&s[arr + 16 * i + 8]));
    size_t contAt = size;
    if (offC) size += (lenC + 1) * 2;
    size_t provAt = size;
    if (offP) size += (lenP + 1) * 2;
    Bytes out(size, 0);
    auto* info = reinterpret_cast<CRYPT_KEY_PROV_INFO*>(out.data());
    if (offC) {
        auto* w = reinterpret_cast<char16_t*>(&out[contAt]);
        for (size_t i = 0; i < lenC; ++i) w[i] = static_cast<char16_t>(s[offC + 2 * i] | (s[offC + 2 * i + 1] << 8));
        info->pwszContainerName = w;
    }
    if (offP) {
        auto* w = reinterpret_cast<char16_t*>(&out[provAt]);
        for (size_t i = 0; i < lenP; ++i) w[i] = static_cast<char16_t>(s[offP + 2 * i] | (s[offP + 2 * i + 1] << 8));
        info->pwszProvName = w;
    }
    info->dwProvType = LoadLe32(&s[8]);
    info->dwFlags = LoadLe32(&s[12]);
    info->cProvParam = count;
    info->dwKeySpec = LoadLe32(&s[24]);
    if (count) {
        auto* params = reinterpret_cast<CRYPT_KEY_PROV_PARAM*>(&out[paramsAt]);
        info->rgProvParam = params;
        size_t at = dataAt;
        for (DWORD i = 0; i < count; ++i) {
            const BYTE* rec = &s[arr + 16 * i];
            params[i].dwParam = LoadLe32(rec);
            params[i].cbData = LoadLe32(rec + 8);
            params[i].dwFlags = LoadLe32(rec + 12);
            if (params[i].cbData) {
                memcpy(&out[at], &s[LoadLe32(rec + 4)], params[i].cbData);
                params[i].pbData = &out[at];
                at += Align8(params[i].cbData);
            }
        }
    }
    return out;
}

namespace {
bool WritesThrough(const ContextImpl* c) { return c->store && c->inStore && c->store->WritesThrough(); }
}  // namespace

HRESULT ReplaceProperties(ContextImpl* c, PropertyMap props) {
    c->props.swap(props);
    HRESULT hr = WritesThrough(c) ? PersistElement(c) : S_OK;
    if (FAILED(hr)) c->props.swap(props);
    return hr;
}

void EnsureSha1Property(ContextImpl* c) {
    if (!c->props.count(CERT_SHA1_HASH_PROP_ID))
        c->props[CERT_SHA1_HASH_PROP_ID].data.assign(c->data->sha1, c->data->sha1 + 20);
}

bool GetPropertyBytes(ContextImpl* c, DWORD id, Bytes& out) {
    auto it = c->props.find(id);
    if (it != c->props.end()) {
        out = it->second.data;
        return true;
    }
    switch (id) {
        case CERT_SHA1_HASH_PROP_ID:
            EnsureSha1Property(c);
            out = c->props[id].data;
            return true;
        case CERT_MD5_HASH_PROP_ID: {
            BYTE md[16];
            unsigned int len = 0;
            if (!EVP_Digest(c->data->der.data(), c->data->der.size(), md, &len, EVP_md5(), nullptr)) return false;
            c->props[id].data.assign(md, md + 16);
            out = c->props[id].data;
            return true;
        }
        case CERT_KEY_SPEC_PROP_ID: {
            auto kp = c->props.find(CERT_KEY_PROV_INFO_PROP_ID);
            if (kp == c->props.end()) return false;
            out.assign(kp->second.data.begin() + 24, kp->second.data.begin() + 28);
            return true;
        }
        case CERT_KEY_IDENTIFIER_PROP_ID: {
            for (const auto& e : c->data->exts) {
                if (strcmp(e.pszObjId, szOID_SUBJECT_KEY_IDENTIFIER) != 0) continue;
                der::Reader r(e.Value.pbData, e.Value.cbData);
                Element t;
                if (r.Read(der::kTagOctetString, &t)) {
                    out.assign(t.content, t.content + t.len);
                    return true;
                }
            }
            BYTE md[20];
            unsigned int len = 0;
            if (!EVP_Digest(c->data->spkiStart, c->data->spkiLen, md, &len, EVP_sha1(), nullptr)) return false;
            out.assign(md, md + 20);
            return true;
        }
        default:
            return false;
    }
}

namespace {
// One property record: id, a reserved 1, length, data.
void PutRecord(Bytes& b, DWORD id, const Bytes& data) {
    PutDword(b, id);
    PutDword(b, 1);
    PutDword(b, static_cast<DWORD>(data.size()));
    b.insert(b.end(), data.begin(), data.end());
}
}  // namespace

Bytes SerializeElement(ContextImpl* c) {
    EnsureSha1Property(c);
    Bytes b;
    for (const auto& [id, v] : c->props)
        if (v.persist && id != CERT_CERT_PROP_ID && id != CERT_KEY_PROV_HANDLE_PROP_ID) PutRecord(b, id, v.data);
    PutRecord(b, CERT_CERT_PROP_ID, c->data->der);
    return b;
}

HRESULT ParseSerializedElement(const BYTE* p, size_t n, Bytes& der, PropertyMap& props) {
    if (!p || n == 0) return E_INVALIDARG;
    size_t pos = 0;
    PropertyMap found;
    while (true) {
        if (n - pos < 12) return E_INVALIDARG;  // a header that does not fit
        DWORD id = LoadLe32(p + pos);
        DWORD len = LoadLe32(p + pos + 8);
        pos += 12;
        if (len > n - pos) return E_INVALIDARG;
        if (id == 0) return E_INVALIDARG;
        if (id == CERT_CERT_PROP_ID) {
            if (pos + len != n) return E_INVALIDARG;  // the certificate ends the element
            der.assign(p + pos, p + pos + len);
            break;
        }
        found[id].data.assign(p + pos, p + pos + len);
        pos += len;
    }
    auto kp = found.find(CERT_KEY_PROV_INFO_PROP_ID);
    if (kp != found.end() && !ValidSerializedKeyProvInfo(kp->second.data)) return E_INVALIDARG;
    props.swap(found);
    return S_OK;
}

}  // namespace crypt32

using namespace crypt32;

BOOL CertGetCertificateContextProperty(PCCERT_CONTEXT pCertContext, DWORD dwPropId, void* pvData, DWORD* pcbData) try {
    ApiLock g;
    ContextImpl* c = LiveContext(pCertContext);
    if (!c || !pcbData) {
        SetError(E_INVALIDARG);
        return FALSE;
    }
    Bytes v;
    if (!GetPropertyBytes(c, dwPropId, v)) {
        SetError(CRYPT_E_NOT_FOUND);
        return FALSE;
    }
    if (dwPropId == CERT_KEY_PROV_INFO_PROP_ID) v = KeyProvInfoToStruct(v);
    DWORD need = static_cast<DWORD>(v.size());
    if (!pvData) {
        *pcbData = need;
        return TRUE;
    }
    if (*pcbData < need) {
        *pcbData = need;
        SetLastError(ERROR_MORE_DATA);
        return FALSE;
    }
    if (dwPropId == CERT_KEY_PROV_INFO_PROP_ID) {
        // The pointers must point into the caller's buffer.
        memcpy(pvData, v.data(), need);
        auto* src = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(v.data());
        auto* dst = static_cast<CRYPT_KEY_PROV_INFO*>(pvData);
        auto rebase = [&](const void* ptr) -> BYTE* {
            if (!ptr) return nullptr;
            return static_cast<BYTE*>(pvData) + (static_cast<const BYTE*>(ptr) - v.data());
        };
        dst->pwszContainerName = reinterpret_cast<LPWSTR>(rebase(src->pwszContainerName));
        dst->pwszProvName = reinterpret_cast<LPWSTR>(rebase(src->pwszProvName));
        dst->rgProvParam = reinterpret_cast<PCRYPT_KEY_PROV_PARAM>(rebase(src->rgProvParam));
        for (DWORD i = 0; i < src->cProvParam; ++i)
            dst->rgProvParam[i].pbData = rebase(src->rgProvParam[i].pbData);
    } else if (need) {
        memcpy(pvData, v.data(), need);
    }
    *pcbData = need;
    return TRUE;
} catch (const std::bad_alloc&) {
    SetError(E_OUTOFMEMORY);
    return FALSE;
}

BOOL CertSetCertificateContextProperty(PCCERT_CONTEXT pCertContext, DWORD dwPropId, DWORD dwFlags,
                                       const void* pvData) try {
    ApiLock g;
    ContextImpl* c = LiveContext(pCertContext);
    if (!c || dwPropId == 0 || dwPropId > 0xFFFF || dwPropId == CERT_CERT_PROP_ID || dwPropId == CERT_CRL_PROP_ID ||
        dwPropId == CERT_CTL_PROP_ID || dwPropId == CERT_KEY_CONTEXT_PROP_ID) {
        SetError(E_INVALIDARG);
        return FALSE;
    }
    if (WritesThrough(c) && c->store->readOnly) {
        SetError(E_ACCESSDENIED);
        return FALSE;
    }
    PropertyMap updated = c->props;
    if (!pvData) {
        updated.erase(dwPropId);
    } else {
        PropertyValue v;
        v.persist = !(dwFlags & CERT_SET_PROPERTY_INHIBIT_PERSIST_FLAG);
        switch (dwPropId) {
            case CERT_KEY_PROV_INFO_PROP_ID: {
                HRESULT hr = KeyProvInfoFromStruct(static_cast<const CRYPT_KEY_PROV_INFO*>(pvData), v.data);
                if (FAILED(hr)) {
                    SetError(hr);
                    return FALSE;
                }
                break;
            }
            case CERT_KEY_PROV_HANDLE_PROP_ID: {
                HCRYPTPROV h = *static_cast<const HCRYPTPROV*>(pvData);
                v.data.assign(reinterpret_cast<const BYTE*>(&h), reinterpret_cast<const BYTE*>(&h) + sizeof(h));
                v.persist = false;
                break;
            }
            case CERT_KEY_SPEC_PROP_ID: {
                DWORD spec = *static_cast<const DWORD*>(pvData);
                v.data.assign(reinterpret_cast<const BYTE*>(&spec), reinterpret_cast<const BYTE*>(&spec) + 4);
                break;
            }
            default: {
                auto* blob = static_cast<const CRYPT_DATA_BLOB*>(pvData);
                if (blob->cbData && !blob->pbData) {
                    SetError(E_INVALIDARG);
                    return FALSE;
                }
                if ((dwPropId == CERT_SHA1_HASH_PROP_ID && blob->cbData != 20) ||
                    (dwPropId == CERT_MD5_HASH_PROP_ID && blob->cbData != 16)) {
                    SetError(E_INVALIDARG);
                    return FALSE;
                }
                v.data.assign(blob->pbData, blob->pbData + blob->cbData);
            }
        }
        updated[dwPropId] = std::move(v);
    }
    if (HRESULT hr = ReplaceProperties(c, std::move(updated)); FAILED(hr)) {
        SetError(hr);
        return FALSE;
    }
    return TRUE;
} catch (const std::bad_alloc&) {
    SetError(E_OUTOFMEMORY);
    return FALSE;
}

DWORD CertEnumCertificateContextProperties(PCCERT_CONTEXT pCertContext, DWORD dwPropId) try {
    ApiLock g;
    ContextImpl* c = CheckedContext(pCertContext);
    if (!c) return 0;
    auto it = c->props.upper_bound(dwPropId);
    return it == c->props.end() ? 0 : it->first;
} catch (const std::bad_alloc&) {
    SetError(E_OUTOFMEMORY);
    return 0;
}

BOOL CertSerializeCertificateStoreElement(PCCERT_CONTEXT pCertContext, DWORD dwFlags, BYTE* pbElement,
                                          DWORD* pcbElement) try {
    ApiLock g;
    ContextImpl* c = LiveContext(pCertContext);
    if (!c || !pcbElement) {
        SetError(E_INVALIDARG);
        return FALSE;
    }
    Bytes b = SerializeElement(c);
    if (!pbElement) {
        *pcbElement = static_cast<DWORD>(b.size());
        return TRUE;
    }
    if (*pcbElement < b.size()) {
        *pcbElement = static_cast<DWORD>(b.size());
        SetLastError(ERROR_MORE_DATA);
        return FALSE;
    }
    memcpy(pbElement, b.data(), b.size());
    *pcbElement = static_cast<DWORD>(b.size());
    return TRUE;
} catch (const std::bad_alloc&) {
    SetError(E_OUTOFMEMORY);
    return FALSE;
}
