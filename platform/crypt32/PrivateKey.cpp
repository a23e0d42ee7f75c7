// The private key behind a certificate: the context's key-provider property,
// or for a context without one, the same certificate's registration in the
// current user's "My" store.
#include <cstring>
#include <new>

#include "platform/crypt32/Crypt32Internal.h"
#include "tessaro/Handles.h"

using namespace crypt32;

BOOL CryptAcquireCertificatePrivateKey(PCCERT_CONTEXT pCert, DWORD dwFlags, void* pvParameters,
                                       HCRYPTPROV_OR_NCRYPT_KEY_HANDLE* phCryptProvOrNCryptKey, DWORD* pdwKeySpec,
                                       BOOL* pfCallerFreeProvOrNCryptKey) try {
    if (!phCryptProvOrNCryptKey) {
        SetError(E_INVALIDARG);
        return FALSE;
    }
    *phCryptProvOrNCryptKey = 0;
    Bytes kpi;
    std::shared_ptr<CertData> data;
    HCRYPTPROV cached = 0;
    {
        ApiLock g;
        ContextImpl* c = CheckedContext(pCert);
        if (!c) return FALSE;
        data = c->data;
        cached = c->cachedProv;
        auto it = c->props.find(CERT_KEY_PROV_INFO_PROP_ID);
        if (it != c->props.end()) kpi = it->second.data;
    }
    if (kpi.empty()) {
        Bytes blob, der;
        PropertyMap props;
        if (ReadUserMyBlob(data->sha1, blob) && SUCCEEDED(ParseSerializedElement(blob.data(), blob.size(), der, props)) &&
            der == data->der) {
            auto it = props.find(CERT_KEY_PROV_INFO_PROP_ID);
            if (it != props.end()) kpi = it->second.data;
        }
    }
    if (kpi.empty()) {
        SetError(CRYPT_E_NO_KEY_PROPERTY);
        return FALSE;
    }
    Bytes st = KeyProvInfoToStruct(kpi);
    auto* info = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(st.data());
    if ((dwFlags & CRYPT_ACQUIRE_CACHE_FLAG) && cached) {
        if (pdwKeySpec) *pdwKeySpec = info->dwKeySpec;
        if (pfCallerFreeProvOrNCryptKey) *pfCallerFreeProvOrNCryptKey = FALSE;
        *phCryptProvOrNCryptKey = cached;
        return TRUE;
    }
    DWORD acquireFlags = info->dwFlags & CRYPT_MACHINE_KEYSET;
    if (dwFlags & CRYPT_ACQUIRE_SILENT_FLAG) acquireFlags |= CRYPT_SILENT;
    tessaro::UniqueCryptProv prov;
    if (!CryptAcquireContextW(prov.put(), info->pwszContainerName, info->pwszProvName, info->dwProvType,
                              acquireFlags))
        return FALSE;  // the provider's error stays the last error
    const HCRYPTPROV hProv = prov.get();
    if (dwFlags & CRYPT_ACQUIRE_COMPARE_KEY_FLAG) {
        DWORD cb = 0;
        DWORD err = static_cast<DWORD>(NTE_BAD_PUBLIC_KEY);
        bool same = false;
        if (CryptExportPublicKeyInfo(hProv, info->dwKeySpec, X509_ASN_ENCODING, nullptr, &cb) && cb) {
            Bytes buf(cb, 0);
            auto* pki = reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(buf.data());
            if (CryptExportPublicKeyInfo(hProv, info->dwKeySpec, X509_ASN_ENCODING, pki, &cb))
                same = CertComparePublicKeyInfo(X509_ASN_ENCODING, pki, &data->info.SubjectPublicKeyInfo) != FALSE;
        } else {
            err = GetLastError();  // no key of that spec, for one
        }
        if (!same) {
            prov.reset();
            SetLastError(err);
            return FALSE;
        }
    }
    if (dwFlags & CRYPT_ACQUIRE_CACHE_FLAG) {
        ApiLock g;
        ContextImpl* c = LiveContext(pCert);
        if (c && !c->cachedProv) {
            c->cachedProv = prov.release();
            if (pdwKeySpec) *pdwKeySpec = info->dwKeySpec;
            if (pfCallerFreeProvOrNCryptKey) *pfCallerFreeProvOrNCryptKey = FALSE;
            *phCryptProvOrNCryptKey = hProv;
            return TRUE;
        }
    }
    if (pdwKeySpec) *pdwKeySpec = info->dwKeySpec;
    if (pfCallerFreeProvOrNCryptKey) *pfCallerFreeProvOrNCryptKey = TRUE;
    *phCryptProvOrNCryptKey = prov.release();
    return TRUE;
} catch (const std::bad_alloc&) {
    SetError(E_OUTOFMEMORY);
    return FALSE;
}
