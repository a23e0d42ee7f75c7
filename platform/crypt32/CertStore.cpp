// Certificate stores: memory stores, PKCS#7 stores (in memory), and the
// registry-backed system stores, whose certificates live as serialized
// property records in "...\SystemCertificates\<store>\Certificates\<thumbprint>"
// value "Blob". Every change to a registry store is written through at once.
#include <openssl/objects.h>
#include <openssl/pkcs7.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <unordered_set>

#include "platform/crypt32/Crypt32Internal.h"

namespace crypt32 {

namespace {

constexpr uint32_t kStoreMagic = 0x53545243;  // "CRTS"
constexpr WCHAR kBlobValue[] = u"Blob";

std::unordered_set<const void*>& LiveStores() {
    static auto* s = new std::unordered_set<const void*>();
    return *s;
}

HRESULT FromWin32(LSTATUS e) { return HRESULT_FROM_WIN32(static_cast<DWORD>(e)); }

StoreImpl* NewStore(StoreKind kind) {
    std::unique_ptr<StoreImpl> s(new StoreImpl());
    s->magic = kStoreMagic;
    s->kind = kind;
    s->openHandles = 1;
    LiveStores().insert(s.get());
    return s.release();
}

void DestroyStore(StoreImpl* s) {
    LiveStores().erase(s);
    std::vector<ContextImpl*> elems;
    elems.swap(s->elements);
    for (ContextImpl* c : elems) ReleaseMembership(c);
    if (s->certsKey && s->ownsKey) RegCloseKey(s->certsKey);
    if (s->provToRelease) DeferProviderRelease(s->provToRelease);
    s->magic = 0;
    delete s;
}

// Appends a new element holding one membership reference.
// Whatever can run out of memory happens before the context exists, so a
// failure leaves neither a stray context nor a half-added element.
ContextImpl* AppendElement(StoreImpl* s, std::shared_ptr<CertData> data, PropertyMap props) {
    std::u16string regKeyName;
    if (s->kind == StoreKind::Registry) regKeyName = ThumbprintName(data->sha1);
    s->elements.reserve(s->elements.size() + 1);
    ContextImpl* c = NewContext(std::move(data));  // refs = 1: the membership
    c->props = std::move(props);
    c->store = s;
    c->inStore = true;
    c->seq = s->nextSeq++;
    c->ctx.hCertStore = s;
    c->regKeyName = std::move(regKeyName);
    s->elements.push_back(c);
    return c;
}

void RemoveElement(StoreImpl* s, ContextImpl* c) {
    auto it = std::find(s->elements.begin(), s->elements.end(), c);
    if (it != s->elements.end()) s->elements.erase(it);
    ReleaseMembership(c);
}

bool QueryBlob(HKEY k, Bytes& out) {
    // Most certificates fit the first read; a larger one costs a second.
    out.assign(4096, 0);
    DWORD type = 0, cb = static_cast<DWORD>(out.size());
    LSTATUS e = RegQueryValueExW(k, kBlobValue, nullptr, &type, out.data(), &cb);
    if (e == ERROR_MORE_DATA) {
        out.assign(cb, 0);
        e = RegQueryValueExW(k, kBlobValue, nullptr, &type, out.data(), &cb);
    }
    if (e != ERROR_SUCCESS || type != REG_BINARY || cb == 0 || cb > out.size()) return false;
    out.resize(cb);
    return true;
}

// Reads every certificate under the store's "Certificates" key. Entries that
// do not hold a usable certificate are passed over, as they would be by the
// system: one damaged value must not hide the rest of the store.
void LoadRegistryElements(StoreImpl* s) {
    if (!s->certsKey) return;
    std::vector<std::u16string> names;
    for (DWORD i = 0;; ++i) {
        WCHAR name[256];
        DWORD cch = 256;
        LSTATUS e = RegEnumKeyExW(s->certsKey, i, name, &cch, nullptr, nullptr, nullptr, nullptr);
        if (e == ERROR_MORE_DATA) continue;
        if (e != ERROR_SUCCESS) break;
        names.emplace_back(name, cch);
    }
    for (const auto& n : names) {
        HKEY k = nullptr;
        if (RegOpenKeyExW(s->certsKey, n.c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS) continue;
        Bytes blob;
        bool ok = QueryBlob(k, blob);
        RegCloseKey(k);
        if (!ok) continue;
        Bytes der;
        PropertyMap props;
        if (FAILED(ParseSerializedElement(blob.data(), blob.size(), der, props))) continue;
        auto data = ParseCertificate(der.data(), der.size(), nullptr, false);
        if (!data) continue;
        ContextImpl* c = AppendElement(s, std::move(data), std::move(props));
        c->regKeyName = n;
    }
}

bool SameCert(const ContextImpl* a, const CertData& d) { return memcmp(a->data->sha1, d.sha1, 20) == 0; }

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
    bool replace = false;
    if (existing) {
        switch (disp) {
            case CERT_STORE_ADD_NEW: return CRYPT_E_EXISTS;
            case CERT_STORE_ADD_USE_EXISTING: {
                PropertyMap merged = existing->props;
                for (const auto& [id, v] : newProps) merged[id] = v;
                if (s->kind == StoreKind::Registry) {
                    PropertyMap old;
                    old.swap(existing->props);
                    existing->props = merged;
                    HRESULT hr = PersistElement(existing);
                    if (FAILED(hr)) {
                        existing->props.swap(old);
                        return hr;
                    }
                } else {
                    existing->props.swap(merged);
                }
                *out = existing;
                return S_OK;
            }
            case CERT_STORE_ADD_REPLACE_EXISTING: replace = true; break;
            case CERT_STORE_ADD_REPLACE_EXISTING_INHERIT_PROPERTIES: {
                PropertyMap merged = existing->props;
                for (const auto& [id, v] : newProps) merged[id] = v;
                newProps.swap(merged);
                replace = true;
                break;
            }
            case CERT_STORE_ADD_NEWER:
            case CERT_STORE_ADD_NEWER_INHERIT_PROPERTIES: {
                if (FileTimeValue(existing->data->info.NotBefore) >= FileTimeValue(data->info.NotBefore))
                    return CRYPT_E_EXISTS;
                if (disp == CERT_STORE_ADD_NEWER_INHERIT_PROPERTIES) {
                    PropertyMap merged = existing->props;
                    for (const auto& [id, v] : newProps) merged[id] = v;
                    newProps.swap(merged);
                }
                replace = true;
                break;
            }
            default: break;
        }
    }
    ContextImpl* c = AppendElement(s, data, std::move(newProps));
    if (s->kind == StoreKind::Registry) {
        EnsureSha1Property(c);
        HRESULT hr = PersistElement(c);
        if (FAILED(hr)) {
            s->elements.pop_back();
            --s->nextSeq;
            ReleaseMembership(c);
            return hr;
        }
    }
    if (replace && existing) RemoveElement(s, existing);
    *out = c;
    return S_OK;
}

std::u16string Upper(std::u16string s) {
    for (auto& ch : s)
        if (ch >= u'a' && ch <= u'z') ch = static_cast<char16_t>(ch - 32);
    return s;
}

HRESULT OpenRegistryStore(StoreImpl* s, HKEY parent, const std::u16string& storePath, DWORD flags) {
    const bool readOnly = (flags & CERT_STORE_READONLY_FLAG) != 0;
    std::u16string certsPath = storePath.empty() ? u"Certificates" : storePath + u"\\Certificates";
    if (flags & (CERT_STORE_OPEN_EXISTING_FLAG | CERT_STORE_CREATE_NEW_FLAG)) {
        HKEY k = nullptr;
        LSTATUS e = storePath.empty() ? ERROR_SUCCESS : RegOpenKeyExW(parent, storePath.c_str(), 0, KEY_READ, &k);
        if (k) RegCloseKey(k);
        if ((flags & CERT_STORE_OPEN_EXISTING_FLAG) && e != ERROR_SUCCESS) return e;
        if ((flags & CERT_STORE_CREATE_NEW_FLAG) && e == ERROR_SUCCESS) return ERROR_FILE_EXISTS;
    }
    HKEY k = nullptr;
    if (!readOnly) {
        LSTATUS e = RegCreateKeyExW(parent, certsPath.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                                    nullptr, &k, nullptr);
        if (e == ERROR_ACCESS_DENIED) {
            s->readOnly = true;  // a hive we may only read
        } else if (e != ERROR_SUCCESS) {
            return e;
        }
    }
    if (!k) {
        LSTATUS e = RegOpenKeyExW(parent, certsPath.c_str(), 0, KEY_READ, &k);
        if (e != ERROR_SUCCESS && e != ERROR_FILE_NOT_FOUND) return e;
        if (e != ERROR_SUCCESS) k = nullptr;
    }
    s->certsKey = k;
    s->ownsKey = true;
    s->readOnly = s->readOnly || readOnly;
    LoadRegistryElements(s);
    return ERROR_SUCCESS;
}

HRESULT LoadPkcs7(StoreImpl* s, const CRYPT_DATA_BLOB* blob) {
    if (!blob || (blob->cbData && !blob->pbData)) return E_INVALIDARG;
    const BYTE* p = blob->pbData;
    const BYTE* end = p + blob->cbData;
    if (blob->cbData == 0) return CRYPT_E_ASN1_EOD;
    Tlv ci, oid, wrap, sd, t;
    HRESULT hr;
    if (FAILED(hr = ReadTagged(p, end, 0x30, ci))) return hr;
    const BYTE* q = ci.content;
    if (FAILED(hr = ReadTagged(q, ci.end(), 0x06, oid))) return hr;
    std::string o;
    if (!DecodeOid(oid.content, oid.len, o)) return CRYPT_E_ASN1_CORRUPT;
    if (o != "1.2.840.113549.1.7.2") return CRYPT_E_INVALID_MSG_TYPE;
    if (FAILED(hr = ReadTagged(q, ci.end(), 0xA0, wrap))) return hr;
    q = wrap.content;
    if (FAILED(hr = ReadTagged(q, wrap.end(), 0x30, sd))) return hr;
    {
        const unsigned char* op = blob->pbData;
        PKCS7* p7 = d2i_PKCS7(nullptr, &op, static_cast<long>(ci.total()));
        bool ok = p7 && PKCS7_type_is_signed(p7);
        PKCS7_free(p7);
        if (!ok) return CRYPT_E_ASN1_CORRUPT;
    }
    q = sd.content;
    if (FAILED(hr = ReadTagged(q, sd.end(), 0x02, t))) return hr;        // version
    if (FAILED(hr = ReadTagged(q, sd.end(), 0x31, t))) return hr;        // digest algorithms
    if (FAILED(hr = ReadTagged(q, sd.end(), 0x30, t))) return hr;        // content
    if (q < sd.end() && *q == 0xA0) {
        Tlv certs;
        if (FAILED(hr = ReadTlv(q, sd.end(), certs))) return hr;
        const BYTE* r = certs.content;
        std::vector<std::shared_ptr<CertData>> parsed;
        while (r < certs.end()) {
            Tlv cert;
            if (FAILED(hr = ReadTlv(r, certs.end(), cert))) return hr;
            if (cert.tag != 0x30) continue;  // other certificate formats are not ours to show
            auto d = ParseCertificate(cert.start, cert.total(), &hr);
            if (!d) return hr;
            parsed.push_back(std::move(d));
        }
        for (auto& d : parsed) {
            bool dup = false;
            for (ContextImpl* c : s->elements) dup = dup || SameCert(c, *d);
            if (!dup) AppendElement(s, std::move(d), {});
        }
    }
    return S_OK;
}

enum class ProvKind { Unknown, Memory, System, SystemA, Reg, Pkcs7 };

ProvKind ProviderOf(LPCSTR prov) {
    auto v = reinterpret_cast<ULONG_PTR>(prov);
    if (v < 0x10000) {
        if (prov == CERT_STORE_PROV_MEMORY) return ProvKind::Memory;
        if (prov == CERT_STORE_PROV_SYSTEM_W) return ProvKind::System;
        if (prov == CERT_STORE_PROV_SYSTEM_A) return ProvKind::SystemA;
        if (prov == CERT_STORE_PROV_REG) return ProvKind::Reg;
        if (prov == CERT_STORE_PROV_PKCS7) return ProvKind::Pkcs7;
        return ProvKind::Unknown;
    }
    if (_stricmp(prov, "Memory") == 0) return ProvKind::Memory;
    if (_stricmp(prov, "System") == 0) return ProvKind::System;
    if (_stricmp(prov, "PKCS7") == 0) return ProvKind::Pkcs7;
    return ProvKind::Unknown;
}

}  // namespace

StoreImpl* LiveStore(HCERTSTORE h) {
    if (!h || !LiveStores().count(h)) return nullptr;
    auto* s = static_cast<StoreImpl*>(h);
    return s->magic == kStoreMagic && s->openHandles > 0 ? s : nullptr;
}

void MaybeDestroyStore(StoreImpl* s) {
    if (s->openHandles == 0 && s->contextRefs == 0) DestroyStore(s);
}

HRESULT PersistElement(ContextImpl* c) {
    StoreImpl* s = c->store;
    if (!s || s->kind != StoreKind::Registry) return S_OK;
    if (s->readOnly || !s->certsKey) return E_ACCESSDENIED;
    Bytes blob = SerializeElement(c);
    HKEY k = nullptr;
    LSTATUS e = RegCreateKeyExW(s->certsKey, c->regKeyName.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                KEY_READ | KEY_SET_VALUE | KEY_CREATE_SUB_KEY, nullptr, &k, nullptr);
    if (e != ERROR_SUCCESS) return FromWin32(e);
    e = RegSetValueExW(k, kBlobValue, 0, REG_BINARY, blob.data(), static_cast<DWORD>(blob.size()));
    RegCloseKey(k);
    return e == ERROR_SUCCESS ? S_OK : FromWin32(e);
}

bool ReadUserMyBlob(const BYTE sha1[20], Bytes& blob) {
    std::u16string path = u"Software\\Microsoft\\SystemCertificates\\MY\\Certificates\\" + ThumbprintName(sha1);
    HKEY k = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS) return false;
    bool ok = QueryBlob(k, blob);
    RegCloseKey(k);
    return ok;
}

}  // namespace crypt32

using namespace crypt32;

HCERTSTORE CertOpenStore(LPCSTR lpszStoreProvider, DWORD dwEncodingType, HCRYPTPROV_LEGACY hCryptProv,
                         DWORD dwFlags, const void* pvPara) try {
    ProvKind kind = ProviderOf(lpszStoreProvider);
    if (kind == ProvKind::Unknown) {
        SetLastError(ERROR_FILE_NOT_FOUND);  // no such store provider
        return nullptr;
    }
    ApiLock g;
    if (kind == ProvKind::Memory || kind == ProvKind::Pkcs7) {
        if (dwFlags & CERT_STORE_DELETE_FLAG) {
            SetLastError(0);
            return nullptr;
        }
        StoreImpl* s = NewStore(StoreKind::Memory);
        if (kind == ProvKind::Pkcs7) {
            HRESULT hr;
            try {
                hr = LoadPkcs7(s, static_cast<const CRYPT_DATA_BLOB*>(pvPara));
            } catch (const std::bad_alloc&) {
                hr = E_OUTOFMEMORY;  // the half-loaded store goes below
            }
            if (FAILED(hr)) {
                s->openHandles = 0;
                DestroyStore(s);
                SetError(hr);
                return nullptr;
            }
        }
        s->readOnly = (dwFlags & CERT_STORE_READONLY_FLAG) != 0;
        if (hCryptProv && !(dwFlags & CERT_STORE_NO_CRYPT_RELEASE_FLAG)) s->provToRelease = hCryptProv;
        return s;
    }
    HKEY parent = nullptr;
    std::u16string storePath;
    if (kind == ProvKind::Reg) {
        parent = static_cast<HKEY>(const_cast<void*>(pvPara));
        if (!parent) {
            SetError(E_INVALIDARG);
            return nullptr;
        }
    } else {
        std::u16string name;
        if (kind == ProvKind::System) {
            auto* w = static_cast<LPCWSTR>(pvPara);
            if (w) name = w;
        } else if (pvPara) {
            name = Utf8To16(static_cast<const char*>(pvPara));
        }
        if (name.empty() || name.find(u'\\') != std::u16string::npos) {
            SetError(E_INVALIDARG);
            return nullptr;
        }
        DWORD loc = dwFlags & CERT_SYSTEM_STORE_LOCATION_MASK;
        if (loc == CERT_SYSTEM_STORE_CURRENT_USER) {
            parent = HKEY_CURRENT_USER;
            storePath = u"Software\\Microsoft\\SystemCertificates\\";
        } else if (loc == CERT_SYSTEM_STORE_LOCAL_MACHINE) {
            parent = HKEY_LOCAL_MACHINE;
            storePath = u"SOFTWARE\\Microsoft\\SystemCertificates\\";
        } else {
            SetError(E_INVALIDARG);
            return nullptr;
        }
        // Store names compare case-insensitively; "My" is the key MY.
        storePath += Upper(name);
    }
    if (dwFlags & CERT_STORE_DELETE_FLAG) {
        LSTATUS e = storePath.empty() ? ERROR_INVALID_PARAMETER : RegDeleteTreeW(parent, storePath.c_str());
        SetLastError(static_cast<DWORD>(e));
        return nullptr;
    }
    StoreImpl* s = NewStore(StoreKind::Registry);
    HRESULT e;
    try {
        e = OpenRegistryStore(s, parent, storePath, dwFlags);
    } catch (const std::bad_alloc&) {
        e = E_OUTOFMEMORY;  // the half-read store goes below
    }
    if (e != ERROR_SUCCESS) {
        s->openHandles = 0;
        DestroyStore(s);
        SetLastError(static_cast<DWORD>(e));
        return nullptr;
    }
    // The store owns the provider handle it was given unless told otherwise.
    if (hCryptProv && !(dwFlags & CERT_STORE_NO_CRYPT_RELEASE_FLAG)) s->provToRelease = hCryptProv;
    return s;
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
    StoreImpl* s = LiveStore(hCertStore);
    if (!s) {
        SetError(E_INVALIDARG);
        return nullptr;
    }
    ++s->openHandles;
    return s;
}

BOOL CertCloseStore(HCERTSTORE hCertStore, DWORD dwFlags) try {
    if (!hCertStore) return TRUE;
    ApiLock g;
    StoreImpl* s = LiveStore(hCertStore);
    if (!s) {
        SetError(E_INVALIDARG);
        return FALSE;
    }
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
    ContextImpl* out = nullptr;
    HRESULT hr = AddToStore(s, data, props, dwAddDisposition, &out);
    if (FAILED(hr)) {
        SetError(hr);
        return FALSE;
    }
    if (ppStoreContext) {
        AddRefContext(out);
        *ppStoreContext = &out->ctx;
    }
    return TRUE;
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
    if (!s) {
        SetError(E_INVALIDARG);
        return FALSE;
    }
    if (!data) {
        SetError(hr);
        return FALSE;
    }
    ContextImpl* out = nullptr;
    hr = AddToStore(s, data, {}, dwAddDisposition, &out);
    if (FAILED(hr)) {
        SetError(hr);
        return FALSE;
    }
    if (ppCertContext) {
        AddRefContext(out);
        *ppCertContext = &out->ctx;
    }
    return TRUE;
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
    if (FAILED(hr)) {
        SetError(hr);
        return FALSE;
    }
    auto data = ParseCertificate(der.data(), der.size(), &hr);
    if (!data) {
        SetError(hr);
        return FALSE;
    }
    ApiLock g;
    ContextImpl* out = nullptr;
    if (hCertStore) {
        StoreImpl* s = LiveStore(hCertStore);
        if (!s) {
            SetError(E_INVALIDARG);
            return FALSE;
        }
        hr = AddToStore(s, data, props, dwAddDisposition, &out);
        if (FAILED(hr)) {
            SetError(hr);
            return FALSE;
        }
        if (ppvContext) AddRefContext(out);
    } else if (ppvContext) {
        out = NewContext(data);
        out->props = std::move(props);
    }
    if (pdwContextType) *pdwContextType = CERT_STORE_CERTIFICATE_CONTEXT;
    if (ppvContext) *ppvContext = &out->ctx;
    return TRUE;
} catch (const std::bad_alloc&) {
    SetError(E_OUTOFMEMORY);
    return FALSE;
}

BOOL CertDeleteCertificateFromStore(PCCERT_CONTEXT pCertContext) try {
    ApiLock g;
    ContextImpl* c = LiveContext(pCertContext);
    if (!c) {
        SetError(E_INVALIDARG);
        return FALSE;
    }
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
    if (s->kind == StoreKind::Registry) {
        if (!s->certsKey) {
            ReleaseContext(c);
            SetError(E_ACCESSDENIED);
            return FALSE;
        }
        LSTATUS e = RegDeleteTreeW(s->certsKey, c->regKeyName.c_str());
        if (e != ERROR_SUCCESS && e != ERROR_FILE_NOT_FOUND) {
            ReleaseContext(c);
            SetError(FromWin32(e));
            return FALSE;
        }
    }
    RemoveElement(s, c);
    ReleaseContext(c);
    return TRUE;
} catch (const std::bad_alloc&) {
    SetError(E_OUTOFMEMORY);
    return FALSE;
}
