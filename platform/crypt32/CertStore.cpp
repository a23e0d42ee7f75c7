// The certificate-store API over the kinds of store (StoreKinds.h): opening
// and closing, enumeration and search, adding and deleting elements.
#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <unordered_set>

#include "platform/crypt32/StoreKinds.h"

namespace crypt32 {

namespace {

constexpr uint32_t kStoreMagic = 0x53545243;  // "CRTS"

std::unordered_set<const void*>& LiveStores() { return HandedOut<StoreImpl>(); }

void DestroyStore(StoreImpl* s) {
    LiveStores().erase(s);
    std::vector<ContextImpl*> elems;
    elems.swap(s->elements);
    for (ContextImpl* c : elems) ReleaseMembership(c);
    if (s->provToRelease) DeferProviderRelease(s->provToRelease);
    s->magic = 0;
    delete s;
}

void RemoveElement(StoreImpl* s, ContextImpl* c) {
    auto it = std::find(s->elements.begin(), s->elements.end(), c);
    if (it != s->elements.end()) s->elements.erase(it);
    ReleaseMembership(c);
}

int64_t FileTimeValue(const FILETIME& f) {
    return static_cast<int64_t>((static_cast<uint64_t>(f.dwHighDateTime) << 32) | f.dwLowDateTime);
}

// The common add: a new element made of data and props, or the existing one,
// by disposition. Nothing changes when it fails.
HRESULT AddToStore(StoreImpl* s, const std::shared_ptr<CertData>& data, const PropertyMap& props, DWORD disp,
                   ContextImpl** out) {
    if (disp < CERT_STORE_ADD_NEW || disp > CERT_STORE_ADD_NEWER_INHERIT_PROPERTIES) return E_INVALIDARG;
    if (s->readOnly) return E_ACCESSDENIED;
    ContextImpl* existing = nullptr;
    if (disp != CERT_STORE_ADD_ALWAYS)
        for (ContextImpl* c : s->elements)
            if (SameCert(c, *data)) {
                existing = c;
                break;
            }
    PropertyMap newProps = props;
    newProps.erase(CERT_KEY_PROV_HANDLE_PROP_ID);
    auto inherit = [&] {
        PropertyMap merged = existing->props;
        for (const auto& [id, v] : newProps) merged[id] = v;
        newProps.swap(merged);
    };
    if (existing) {
        switch (disp) {
            case CERT_STORE_ADD_NEW: return CRYPT_E_EXISTS;
            case CERT_STORE_ADD_USE_EXISTING: {
                inherit();
                HRESULT hr = ReplaceProperties(existing, std::move(newProps));
                if (SUCCEEDED(hr)) *out = existing;
                return hr;
            }
            case CERT_STORE_ADD_REPLACE_EXISTING: break;
            case CERT_STORE_ADD_REPLACE_EXISTING_INHERIT_PROPERTIES: inherit(); break;
            case CERT_STORE_ADD_NEWER:
            case CERT_STORE_ADD_NEWER_INHERIT_PROPERTIES:
                if (FileTimeValue(existing->data->info.NotBefore) >= FileTimeValue(data->info.NotBefore))
                    return CRYPT_E_EXISTS;
                if (disp == CERT_STORE_ADD_NEWER_INHERIT_PROPERTIES) inherit();
                break;
            default: break;
        }
    }
    ContextImpl* c = AppendElement(s, data, std::move(newProps));
    if (s->WritesThrough()) {
        EnsureSha1Property(c);
        HRESULT hr = PersistElement(c);
        if (FAILED(hr)) {
            s->elements.pop_back();
            --s->nextSeq;
            ReleaseMembership(c);
            return hr;
        }
    }
    if (existing) RemoveElement(s, existing);
    *out = c;
    return S_OK;
}

// Adds to a store and hands out the element when asked; the last error on
// failure.
BOOL AddAndHandOut(StoreImpl* s, const std::shared_ptr<CertData>& data, const PropertyMap& props, DWORD disp,
                   PCCERT_CONTEXT* handOut) {
    ContextImpl* out = nullptr;
    HRESULT hr = AddToStore(s, data, props, disp, &out);
    if (FAILED(hr)) {
        SetError(hr);
        return FALSE;
    }
    if (handOut) {
        AddRefContext(out);
        *handOut = &out->ctx;
    }
    return TRUE;
}

}  // namespace

StoreImpl* AddStore(std::unique_ptr<StoreImpl> s) {
    s->magic = kStoreMagic;
    s->openHandles = 1;
    LiveStores().insert(s.get());
    return s.release();
}

void DiscardStore(StoreImpl* s) {
    s->openHandles = 0;
    DestroyStore(s);
}

void TakeProvider(StoreImpl* s, HCRYPTPROV_LEGACY prov, DWORD flags) {
    if (prov && !(flags & CERT_STORE_NO_CRYPT_RELEASE_FLAG)) s->provToRelease = prov;
}

// Whatever can run out of memory happens before the context exists, so a
// failure leaves neither a stray context nor a half-added element.
ContextImpl* AppendElement(StoreImpl* s, std::shared_ptr<CertData> data, PropertyMap props) {
    std::u16string name = s->ElementName(*data);
    s->elements.reserve(s->elements.size() + 1);
    ContextImpl* c = NewContext(std::move(data));  // refs = 1: the membership
    c->props = std::move(props);
    c->store = s;
    c->inStore = true;
    c->seq = s->nextSeq++;
    c->ctx.hCertStore = s;
    c->storedName = std::move(name);
    s->elements.push_back(c);
    return c;
}

bool SameCert(const ContextImpl* a, const CertData& d) { return memcmp(a->data->sha1, d.sha1, 20) == 0; }

StoreImpl* LiveStore(HCERTSTORE h) {
    if (!h || !LiveStores().count(h)) return nullptr;
    auto* s = static_cast<StoreImpl*>(h);
    return s->magic == kStoreMagic && s->openHandles > 0 ? s : nullptr;
}

StoreImpl* CheckedStore(HCERTSTORE h) {
    StoreImpl* s = LiveStore(h);
    if (!s) SetError(E_INVALIDARG);
    return s;
}

void MaybeDestroyStore(StoreImpl* s) {
    if (s->openHandles == 0 && s->contextRefs == 0) DestroyStore(s);
}

HRESULT PersistElement(ContextImpl* c) { return c->store ? c->store->Persist(c) : S_OK; }

}  // namespace crypt32

using namespace crypt32;

HCERTSTORE CertOpenStore(LPCSTR lpszStoreProvider, DWORD dwEncodingType, HCRYPTPROV_LEGACY hCryptProv,
                         DWORD dwFlags, const void* pvPara) try {
    bool byNumber = IS_INTRESOURCE(lpszStoreProvider);
    auto named = [&](const char* name) { return !byNumber && _stricmp(lpszStoreProvider, name) == 0; };
    if (byNumber ? lpszStoreProvider == CERT_STORE_PROV_MEMORY : named("Memory")) {
        ApiLock g;
        return OpenMemoryStore(dwFlags, hCryptProv);
    }
    if (byNumber ? lpszStoreProvider == CERT_STORE_PROV_PKCS7 : named("PKCS7")) {
        ApiLock g;
        return OpenPkcs7Store(dwFlags, hCryptProv, static_cast<const CRYPT_DATA_BLOB*>(pvPara));
    }
    RegistryStoreName form;
    if (byNumber ? lpszStoreProvider == CERT_STORE_PROV_SYSTEM_W : named("System")) {
        form = RegistryStoreName::Wide;
    } else if (byNumber && lpszStoreProvider == CERT_STORE_PROV_SYSTEM_A) {
        form = RegistryStoreName::Narrow;
    } else if (byNumber && lpszStoreProvider == CERT_STORE_PROV_REG) {
        form = RegistryStoreName::Key;
    } else {
        SetLastError(ERROR_FILE_NOT_FOUND);  // no such store provider
        return nullptr;
    }
    ApiLock g;
    return OpenRegistryStore(form, dwFlags, hCryptProv, pvPara);
} catch (const std::bad_alloc&) {
    SetError(E_OUTOFMEMORY);
    return nullptr;
}

HCERTSTORE CertOpenSystemStoreW(HCRYPTPROV_LEGACY hProv, LPCWSTR szSubsystemProtocol) {
    // The caller keeps its provider handle.
    return CertOpenStore(CERT_STORE_PROV_SYSTEM_W, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, hProv,
                         CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_NO_CRYPT_RELEASE_FLAG, szSubsystemProtocol);
}

HCERTSTORE CertDuplicateStore(HCERTSTORE hCertStore) {
    ApiLock g;
    StoreImpl* s = CheckedStore(hCertStore);
    if (!s) return nullptr;
    ++s->openHandles;
    return s;
}

BOOL CertCloseStore(HCERTSTORE hCertStore, DWORD dwFlags) try {
    if (!hCertStore) return TRUE;
    ApiLock g;
    StoreImpl* s = CheckedStore(hCertStore);
    if (!s) return FALSE;
    --s->openHandles;
    bool pending = s->openHandles == 0 && s->contextRefs > 0;
    MaybeDestroyStore(s);
    if ((dwFlags & CERT_CLOSE_STORE_CHECK_FLAG) && pending) {
        SetError(CRYPT_E_PENDING_CLOSE);
        return FALSE;
    }
    return TRUE;
} catch (const std::bad_alloc&) {
    SetError(E_OUTOFMEMORY);
    return FALSE;
}

namespace {

// Shared walk of CertEnum/CertFind: releases prev, returns the first element
// after it that matches, with a reference.
template <typename Pred>
PCCERT_CONTEXT NextMatching(HCERTSTORE h, PCCERT_CONTEXT prev, Pred pred) {
    StoreImpl* s = LiveStore(h);
    ContextImpl* pc = prev ? LiveContext(prev) : nullptr;
    if (prev && !pc) {
        SetError(E_INVALIDARG);
        return nullptr;
    }
    if (!s || (pc && pc->store != s)) {
        if (pc) ReleaseContext(pc);
        SetError(E_INVALIDARG);
        return nullptr;
    }
    uint64_t after = pc ? pc->seq : 0;
    if (pc) ReleaseContext(pc);
    auto it = std::upper_bound(s->elements.begin(), s->elements.end(), after,
                               [](uint64_t v, const ContextImpl* c) { return v < c->seq; });
    for (; it != s->elements.end(); ++it) {
        if (pred(*it)) {
            AddRefContext(*it);
            return &(*it)->ctx;
        }
    }
    SetError(CRYPT_E_NOT_FOUND);
    return nullptr;
}

}  // namespace

PCCERT_CONTEXT CertEnumCertificatesInStore(HCERTSTORE hCertStore, PCCERT_CONTEXT pPrevCertContext) try {
    ApiLock g;
    return NextMatching(hCertStore, pPrevCertContext, [](ContextImpl*) { return true; });
} catch (const std::bad_alloc&) {
    SetError(E_OUTOFMEMORY);
    return nullptr;
}

PCCERT_CONTEXT CertFindCertificateInStore(HCERTSTORE hCertStore, DWORD dwCertEncodingType, DWORD dwFindFlags,
                                          DWORD dwFindType, const void* pvFindPara,
                                          PCCERT_CONTEXT pPrevCertContext) try {
    ApiLock g;
    auto bad = [&]() -> PCCERT_CONTEXT {
        if (ContextImpl* pc = LiveContext(pPrevCertContext)) ReleaseContext(pc);
        SetError(E_INVALIDARG);
        return nullptr;
    };
    DWORD compare = dwFindType >> CERT_COMPARE_SHIFT;
    DWORD infoFlag = dwFindType & 0xFFFF;
    switch (compare) {
        case CERT_COMPARE_ANY:
            return NextMatching(hCertStore, pPrevCertContext, [](ContextImpl*) { return true; });
        case CERT_COMPARE_SHA1_HASH:
        case CERT_COMPARE_MD5_HASH:
        case CERT_COMPARE_KEY_IDENTIFIER: {
            auto* blob = static_cast<const CRYPT_HASH_BLOB*>(pvFindPara);
            if (!blob || (blob->cbData && !blob->pbData)) return bad();
            DWORD prop = compare == CERT_COMPARE_SHA1_HASH  ? CERT_SHA1_HASH_PROP_ID
                         : compare == CERT_COMPARE_MD5_HASH ? CERT_MD5_HASH_PROP_ID
                                                            : CERT_KEY_IDENTIFIER_PROP_ID;
            Bytes want(blob->pbData, blob->pbData + blob->cbData);
            return NextMatching(hCertStore, pPrevCertContext, [&](ContextImpl* c) {
                Bytes v;
                return GetPropertyBytes(c, prop, v) && v == want;
            });
        }
        case CERT_COMPARE_NAME: {
            auto* name = static_cast<const CERT_NAME_BLOB*>(pvFindPara);
            if (!name || (infoFlag != CERT_INFO_SUBJECT_FLAG && infoFlag != CERT_INFO_ISSUER_FLAG)) return bad();
            return NextMatching(hCertStore, pPrevCertContext, [&](ContextImpl* c) {
                CERT_NAME_BLOB n = infoFlag == CERT_INFO_SUBJECT_FLAG ? c->data->info.Subject : c->data->info.Issuer;
                return CertCompareCertificateName(X509_ASN_ENCODING, &n, const_cast<CERT_NAME_BLOB*>(name)) != FALSE;
            });
        }
        case CERT_COMPARE_NAME_STR_W: {
            auto* text = static_cast<LPCWSTR>(pvFindPara);
            if (!text || (infoFlag != CERT_INFO_SUBJECT_FLAG && infoFlag != CERT_INFO_ISSUER_FLAG)) return bad();
            return NextMatching(hCertStore, pPrevCertContext, [&](ContextImpl* c) {
                const CERT_NAME_BLOB& n =
                    infoFlag == CERT_INFO_SUBJECT_FLAG ? c->data->info.Subject : c->data->info.Issuer;
                std::vector<NameRdn> rdns;
                if (FAILED(ParseName(n.pbData, n.cbData, rdns))) return false;
                // Values alone, or with their attribute names ("cn=...").
                std::u16string simple = NameToString(rdns, CERT_SIMPLE_NAME_STR);
                std::u16string x500 = NameToString(rdns, CERT_X500_NAME_STR | CERT_NAME_STR_NO_QUOTING_FLAG);
                return StrStrIW(simple.c_str(), text) != nullptr || StrStrIW(x500.c_str(), text) != nullptr;
            });
        }
        case CERT_COMPARE_PUBLIC_KEY: {
            auto* key = static_cast<const CERT_PUBLIC_KEY_INFO*>(pvFindPara);
            if (!key) return bad();
            return NextMatching(hCertStore, pPrevCertContext, [&](ContextImpl* c) {
                return CertComparePublicKeyInfo(X509_ASN_ENCODING, &c->data->info.SubjectPublicKeyInfo,
                                                const_cast<CERT_PUBLIC_KEY_INFO*>(key)) != FALSE;
            });
        }
        case CERT_COMPARE_EXISTING: {
            ContextImpl* other = LiveContext(static_cast<PCCERT_CONTEXT>(pvFindPara));
            if (!other) return bad();
            auto data = other->data;
            return NextMatching(hCertStore, pPrevCertContext, [&](ContextImpl* c) { return SameCert(c, *data); });
        }
        case CERT_COMPARE_SUBJECT_CERT: {
            auto* info = static_cast<const CERT_INFO*>(pvFindPara);
            if (!info) return bad();
            return NextMatching(hCertStore, pPrevCertContext, [&](ContextImpl* c) {
                CERT_INFO& ci = c->data->info;
                return CertCompareCertificateName(X509_ASN_ENCODING, &ci.Issuer,
                                                  const_cast<CERT_NAME_BLOB*>(&info->Issuer)) &&
                       CertCompareIntegerBlob(&ci.SerialNumber, const_cast<CRYPT_INTEGER_BLOB*>(&info->SerialNumber));
            });
        }
        case CERT_COMPARE_PROPERTY: {
            auto* id = static_cast<const DWORD*>(pvFindPara);
            if (!id) return bad();
            DWORD want = *id;
            return NextMatching(hCertStore, pPrevCertContext, [&](ContextImpl* c) { return c->props.count(want) > 0; });
        }
        case CERT_COMPARE_KEY_SPEC: {
            auto* spec = static_cast<const DWORD*>(pvFindPara);
            if (!spec) return bad();
            DWORD want = *spec;
            return NextMatching(hCertStore, pPrevCertContext, [&](ContextImpl* c) {
                Bytes v;
                return GetPropertyBytes(c, CERT_KEY_SPEC_PROP_ID, v) && v.size() == 4 &&
                       (want == 0 || memcmp(v.data(), &want, 4) == 0);
            });
        }
        default:
            return bad();
    }
} catch (const std::bad_alloc&) {
    SetError(E_OUTOFMEMORY);
    return nullptr;
}

BOOL CertAddCertificateContextToStore(HCERTSTORE hCertStore, PCCERT_CONTEXT pCertContext, DWORD dwAddDisposition,
                                      PCCERT_CONTEXT* ppStoreContext) try {
    ApiLock g;
    if (ppStoreContext) *ppStoreContext = nullptr;
    StoreImpl* s = LiveStore(hCertStore);
    ContextImpl* src = LiveContext(pCertContext);
    if (!s || !src) {
        SetError(E_INVALIDARG);
        return FALSE;
    }
    auto data = src->data;
    PropertyMap props = src->props;
    return AddAndHandOut(s, data, props, dwAddDisposition, ppStoreContext);
} catch (const std::bad_alloc&) {
    SetError(E_OUTOFMEMORY);
    return FALSE;
}

BOOL CertAddEncodedCertificateToStore(HCERTSTORE hCertStore, DWORD dwCertEncodingType, const BYTE* pbCertEncoded,
                                      DWORD cbCertEncoded, DWORD dwAddDisposition, PCCERT_CONTEXT* ppCertContext) try {
    if (ppCertContext) *ppCertContext = nullptr;
    if (GET_CERT_ENCODING_TYPE(dwCertEncodingType) != X509_ASN_ENCODING) {
        SetError(E_INVALIDARG);
        return FALSE;
    }
    HRESULT hr = S_OK;
    auto data = ParseCertificate(pbCertEncoded, cbCertEncoded, &hr);
    ApiLock g;
    StoreImpl* s = LiveStore(hCertStore);
    if (!s || !data) {
        SetError(s ? hr : E_INVALIDARG);
        return FALSE;
    }
    return AddAndHandOut(s, data, {}, dwAddDisposition, ppCertContext);
} catch (const std::bad_alloc&) {
    SetError(E_OUTOFMEMORY);
    return FALSE;
}

BOOL CertAddSerializedElementToStore(HCERTSTORE hCertStore, const BYTE* pbElement, DWORD cbElement,
                                     DWORD dwAddDisposition, DWORD dwFlags, DWORD dwContextTypeFlags,
                                     DWORD* pdwContextType, const void** ppvContext) try {
    if (ppvContext) *ppvContext = nullptr;
    if (!(dwContextTypeFlags & CERT_STORE_CERTIFICATE_CONTEXT_FLAG)) {
        SetError(E_INVALIDARG);
        return FALSE;
    }
    Bytes der;
    PropertyMap props;
    HRESULT hr = ParseSerializedElement(pbElement, cbElement, der, props);
    std::shared_ptr<CertData> data;
    if (SUCCEEDED(hr)) data = ParseCertificate(der.data(), der.size(), &hr);
    if (!data) {
        SetError(hr);
        return FALSE;
    }
    ApiLock g;
    PCCERT_CONTEXT handed = nullptr;
    if (hCertStore) {
        StoreImpl* s = CheckedStore(hCertStore);
        if (!s) return FALSE;
        if (!AddAndHandOut(s, data, props, dwAddDisposition, ppvContext ? &handed : nullptr)) return FALSE;
    } else if (ppvContext) {
        ContextImpl* out = NewContext(data);
        out->props = std::move(props);
        handed = &out->ctx;
    }
    if (pdwContextType) *pdwContextType = CERT_STORE_CERTIFICATE_CONTEXT;
    if (ppvContext) *ppvContext = handed;
    return TRUE;
} catch (const std::bad_alloc&) {
    SetError(E_OUTOFMEMORY);
    return FALSE;
}

BOOL CertDeleteCertificateFromStore(PCCERT_CONTEXT pCertContext) try {
    ApiLock g;
    ContextImpl* c = CheckedContext(pCertContext);
    if (!c) return FALSE;
    StoreImpl* s = c->store;
    if (!s || !c->inStore) {  // no store, or already gone from it
        ReleaseContext(c);
        return TRUE;
    }
    if (s->readOnly) {
        ReleaseContext(c);
        SetError(E_ACCESSDENIED);
        return FALSE;
    }
    if (HRESULT hr = s->Unpersist(c); FAILED(hr)) {
        ReleaseContext(c);
        SetError(hr);
        return FALSE;
    }
    RemoveElement(s, c);
    ReleaseContext(c);
    return TRUE;
} catch (const std::bad_alloc&) {
    SetError(E_OUTOFMEMORY);
    return FALSE;
}
