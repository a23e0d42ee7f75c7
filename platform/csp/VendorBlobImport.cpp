#include "VendorBlobImport.h"

namespace tessaro::csp {

namespace {

// Flags a key keeps from the import call; the key length bits and anything
// unknown are not part of the key's state.
constexpr DWORD kKeptImportFlags = CRYPT_EXPORTABLE | CRYPT_USER_PROTECTED | CRYPT_ARCHIVABLE;

using Opener = HRESULT (*)(const EVP_PKEY*, const BYTE*, size_t, EvpPkeyPtr&);

CspStatus ImportToContainer(CCspProvider& provider, const ContextPtr& ctx, const BYTE* pbData, DWORD dwDataLen,
                            DWORD dwFlags, ALG_ID algid, Opener open, KeyPtr* out) {
    if (!ctx || !out) return ERROR_INVALID_PARAMETER;
    std::shared_ptr<CAsymmetricKey> exchange;
    CspStatus st = provider.LoadKeyPair(ctx, AT_KEYEXCHANGE, &exchange);
    if (st != CSP_OK) return st;
    if (!exchange || !exchange->HasPrivate()) return CspCode(NTE_NO_KEY);

    EvpPkeyPtr opened;
    HRESULT hr = open(exchange->Pkey(), pbData, dwDataLen, opened);
    if (FAILED(hr)) return CspCode(hr);

    auto key = std::make_shared<CAsymmetricKey>(ctx, algid, CspPkeyPtr(opened.release()), true);
    key->m_dwKeySpec = AT_KEYEXCHANGE;
    key->m_dwFlags = dwFlags & kKeptImportFlags;
    // As a container key read back later would have them.
    key->m_dwPermissions = CRYPT_ENCRYPT | CRYPT_DECRYPT | CRYPT_READ | CRYPT_WRITE | CRYPT_MAC |
                           ((dwFlags & CRYPT_EXPORTABLE) ? CRYPT_EXPORT : 0);
    st = provider.SaveKeyPair(ctx, AT_KEYEXCHANGE, key);
    if (st != CSP_OK) return st;
    *out = key;
    return CSP_OK;
}

}  // namespace

CspStatus ImportSm2VendorBlobToContainer(CCspProvider& provider, const ContextPtr& ctx, const BYTE* pbData,
                                         DWORD dwDataLen, DWORD dwFlags, KeyPtr* out) {
    return ImportToContainer(provider, ctx, pbData, dwDataLen, dwFlags, CALG_SM2_KEYX, &ImportSm2VendorBlob, out);
}

CspStatus ImportRsaVendorBlobToContainer(CCspProvider& provider, const ContextPtr& ctx, const BYTE* pbData,
                                         DWORD dwDataLen, DWORD dwFlags, KeyPtr* out) {
    return ImportToContainer(provider, ctx, pbData, dwDataLen, dwFlags, CALG_RSA_KEYX, &ImportRsaVendorBlob, out);
}

}  // namespace tessaro::csp
