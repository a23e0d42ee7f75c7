// The advapi32 CryptoAPI entry points (and the two crypt32 public-key-info
// calls that are provider work): argument and handle checks, dispatch to the
// provider objects, and the thread's last error. A call that runs out of memory
// fails with NTE_NO_MEMORY and leaves the handles as they were.
#include <cstring>
#include <new>

#include "platform/csp/CspProvider.h"

using namespace tessaro::csp;

namespace {

BOOL Done(CspStatus st) {
    if (st == CSP_OK) return TRUE;
    SetLastError(st);
    return FALSE;
}

BOOL Fail(CspStatus st) {
    SetLastError(st);
    return FALSE;
}

// Handle checks: a null handle is an invalid parameter; a stale one, or one
// of another kind, is the kind's own error; a key or hash whose context was
// released answers as a released context.
CspStatus FindLiveContext(HCRYPTPROV h, ContextPtr* out) {
    if (!h) return ERROR_INVALID_PARAMETER;
    ContextPtr c = CspFindContext(h);
    if (!c || c->Released()) return CspCode(NTE_BAD_UID);
    *out = c;
    return CSP_OK;
}

CspStatus FindLiveKey(HCRYPTKEY h, KeyPtr* out) {
    if (!h) return ERROR_INVALID_PARAMETER;
    KeyPtr k = CspFindKey(h);
    if (!k) return CspCode(NTE_BAD_KEY);
    if (k->Context()->Released()) return CspCode(NTE_BAD_UID);
    *out = k;
    return CSP_OK;
}

CspStatus FindLiveHash(HCRYPTHASH h, HashPtr* out) {
    if (!h) return ERROR_INVALID_PARAMETER;
    HashPtr x = CspFindHash(h);
    if (!x) return CspCode(NTE_BAD_HASH);
    if (x->Context()->Released()) return CspCode(NTE_BAD_UID);
    *out = x;
    return CSP_OK;
}

// An optional key handle given beside another object: it must belong to the
// same provider.
CspStatus FindOptionalKey(HCRYPTKEY h, const CCspProvider& prov, KeyPtr* out) {
    out->reset();
    if (!h) return CSP_OK;
    KeyPtr k = CspFindKey(h);
    if (!k) return CspCode(NTE_BAD_KEY);
    if (k->Context()->Released()) return CspCode(NTE_BAD_UID);
    if (k->Context()->Provider().Name() != prov.Name()) return CspCode(NTE_BAD_KEY);
    *out = k;
    return CSP_OK;
}

}  // namespace

BOOL CryptAcquireContextW(HCRYPTPROV* phProv, LPCWSTR szContainer, LPCWSTR szProvider, DWORD dwProvType,
                          DWORD dwFlags) try {
    if (!phProv) return Fail(ERROR_INVALID_PARAMETER);
    *phProv = 0;
    if (dwProvType == 0 || dwProvType > 999) return Fail(CspCode(NTE_BAD_PROV_TYPE));
    CspEnsureBuiltinRegistration();
    CspProviderInfo info;
    if (CspStatus st = CspLookupProvider(szProvider, dwProvType, &info)) return Fail(st);
    if (info.dwType != dwProvType) return Fail(CspCode(NTE_PROV_TYPE_NO_MATCH));
    ProviderPtr prov;
    if (CspStatus st = CspCreateProvider(info, &prov)) return Fail(st);
    ContextPtr ctx;
    if (CspStatus st = prov->AcquireContext(szContainer, dwFlags, &ctx)) return Fail(st);
    if (!ctx) return TRUE;  // a deleted key set leaves no context
    try {
        *phProv = CspAddContext(ctx);
    } catch (const std::bad_alloc&) {
        // No handle for it: a key set this call made goes again.
        if (dwFlags & CRYPT_NEWKEYSET) {
            std::u16string name = ctx->ContainerName();
            ctx.reset();
            ContextPtr gone;
            prov->AcquireContext(name.c_str(), CRYPT_DELETEKEYSET, &gone);
        }
        throw;
    }
    return TRUE;
} catch (const std::bad_alloc&) {
    return Fail(CspCode(NTE_NO_MEMORY));
}

BOOL CryptReleaseContext(HCRYPTPROV hProv, DWORD dwFlags) try {
    ContextPtr ctx;
    if (CspStatus st = FindLiveContext(hProv, &ctx)) return Fail(st);
    if (dwFlags) return Fail(CspCode(NTE_BAD_FLAGS));
    if (--ctx->m_dwRefs == 0) {
        ctx->MarkReleased();
        // A verify context's key pairs point back at the context.
        for (auto& k : ctx->m_ephemeral) k.reset();
        CspRemoveContext(hProv);
    }
    return TRUE;
} catch (const std::bad_alloc&) {
    return Fail(CspCode(NTE_NO_MEMORY));
}

BOOL CryptContextAddRef(HCRYPTPROV hProv, DWORD* pdwReserved, DWORD dwFlags) try {
    if (pdwReserved) return Fail(ERROR_INVALID_PARAMETER);
    ContextPtr ctx;
    if (CspStatus st = FindLiveContext(hProv, &ctx)) return Fail(st);
    if (dwFlags) return Fail(CspCode(NTE_BAD_FLAGS));
    ++ctx->m_dwRefs;
    return TRUE;
} catch (const std::bad_alloc&) {
    return Fail(CspCode(NTE_NO_MEMORY));
}

BOOL CryptEnumProvidersW(DWORD dwIndex, DWORD* pdwReserved, DWORD dwFlags, DWORD* pdwProvType, LPWSTR szProvName,
                         DWORD* pcbProvName) try {
    if (pdwReserved || !pdwProvType || !pcbProvName) return Fail(ERROR_INVALID_PARAMETER);
    if (dwFlags) return Fail(CspCode(NTE_BAD_FLAGS));
    CspEnsureBuiltinRegistration();
    std::u16string name;
    DWORD type = 0;
    if (CspStatus st = CspEnumRegistered(dwIndex, &name, &type)) return Fail(st);
    DWORD cb = static_cast<DWORD>((name.size() + 1) * sizeof(WCHAR));
    *pdwProvType = type;
    if (!szProvName) {
        *pcbProvName = cb;
        return TRUE;
    }
    if (*pcbProvName < cb) {
        *pcbProvName = cb;
        return Fail(ERROR_MORE_DATA);
    }
    memcpy(szProvName, name.c_str(), cb);
    *pcbProvName = cb;
    return TRUE;
} catch (const std::bad_alloc&) {
    return Fail(CspCode(NTE_NO_MEMORY));
}

BOOL CryptGetProvParam(HCRYPTPROV hProv, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen, DWORD dwFlags) try {
    ContextPtr ctx;
    if (CspStatus st = FindLiveContext(hProv, &ctx)) return Fail(st);
    if (!pdwDataLen) return Fail(ERROR_INVALID_PARAMETER);
    return Done(ctx->Provider().GetProvParam(*ctx, dwParam, pbData, pdwDataLen, dwFlags));
} catch (const std::bad_alloc&) {
    return Fail(CspCode(NTE_NO_MEMORY));
}

BOOL CryptSetProvParam(HCRYPTPROV hProv, DWORD dwParam, const BYTE* pbData, DWORD dwFlags) try {
    ContextPtr ctx;
    if (CspStatus st = FindLiveContext(hProv, &ctx)) return Fail(st);
    return Done(ctx->Provider().SetProvParam(*ctx, dwParam, pbData, dwFlags));
} catch (const std::bad_alloc&) {
    return Fail(CspCode(NTE_NO_MEMORY));
}

BOOL CryptGenKey(HCRYPTPROV hProv, ALG_ID Algid, DWORD dwFlags, HCRYPTKEY* phKey) try {
    ContextPtr ctx;
    if (CspStatus st = FindLiveContext(hProv, &ctx)) return Fail(st);
    if (!phKey) return Fail(ERROR_INVALID_PARAMETER);
    KeyPtr key;
    if (CspStatus st = ctx->Provider().GenKey(ctx, Algid, dwFlags, &key)) return Fail(st);
    *phKey = CspAddKey(key);
    return TRUE;
} catch (const std::bad_alloc&) {
    return Fail(CspCode(NTE_NO_MEMORY));
}

BOOL CryptGetUserKey(HCRYPTPROV hProv, DWORD dwKeySpec, HCRYPTKEY* phUserKey) try {
    ContextPtr ctx;
    if (CspStatus st = FindLiveContext(hProv, &ctx)) return Fail(st);
    if (!phUserKey) return Fail(ERROR_INVALID_PARAMETER);
    KeyPtr key;
    if (CspStatus st = ctx->Provider().GetUserKey(ctx, dwKeySpec, &key)) return Fail(st);
    *phUserKey = CspAddKey(key);
    return TRUE;
} catch (const std::bad_alloc&) {
    return Fail(CspCode(NTE_NO_MEMORY));
}

BOOL CryptDestroyKey(HCRYPTKEY hKey) try {
    if (!hKey) return Fail(ERROR_INVALID_PARAMETER);
    return CspRemoveKey(hKey) ? TRUE : Fail(CspCode(NTE_BAD_KEY));
} catch (const std::bad_alloc&) {
    return Fail(CspCode(NTE_NO_MEMORY));
}

BOOL CryptDuplicateKey(HCRYPTKEY hKey, DWORD* pdwReserved, DWORD dwFlags, HCRYPTKEY* phKey) try {
    if (pdwReserved || !phKey) return Fail(ERROR_INVALID_PARAMETER);
    KeyPtr key;
    if (CspStatus st = FindLiveKey(hKey, &key)) return Fail(st);
    if (dwFlags) return Fail(CspCode(NTE_BAD_FLAGS));
    KeyPtr copy = key->Clone();
    if (!copy) return Fail(CspCode(NTE_NO_MEMORY));
    *phKey = CspAddKey(copy);
    return TRUE;
} catch (const std::bad_alloc&) {
    return Fail(CspCode(NTE_NO_MEMORY));
}

BOOL CryptExportKey(HCRYPTKEY hKey, HCRYPTKEY hExpKey, DWORD dwBlobType, DWORD dwFlags, BYTE* pbData,
                    DWORD* pdwDataLen) try {
    KeyPtr key, exp;
    if (CspStatus st = FindLiveKey(hKey, &key)) return Fail(st);
    if (!pdwDataLen) return Fail(ERROR_INVALID_PARAMETER);
    CCspProvider& prov = key->Context()->Provider();
    if (CspStatus st = FindOptionalKey(hExpKey, prov, &exp)) return Fail(st);
    return Done(prov.ExportKey(*key, exp.get(), dwBlobType, dwFlags, pbData, pdwDataLen));
} catch (const std::bad_alloc&) {
    return Fail(CspCode(NTE_NO_MEMORY));
}

BOOL CryptImportKey(HCRYPTPROV hProv, const BYTE* pbData, DWORD dwDataLen, HCRYPTKEY hPubKey, DWORD dwFlags,
                    HCRYPTKEY* phKey) try {
    ContextPtr ctx;
    if (CspStatus st = FindLiveContext(hProv, &ctx)) return Fail(st);
    if (!pbData || !phKey) return Fail(ERROR_INVALID_PARAMETER);
    KeyPtr pub;
    if (CspStatus st = FindOptionalKey(hPubKey, ctx->Provider(), &pub)) return Fail(st);
    KeyPtr key;
    if (CspStatus st = ctx->Provider().ImportKey(ctx, pbData, dwDataLen, pub.get(), dwFlags, &key)) return Fail(st);
    *phKey = CspAddKey(key);
    return TRUE;
} catch (const std::bad_alloc&) {
    return Fail(CspCode(NTE_NO_MEMORY));
}

BOOL CryptGetKeyParam(HCRYPTKEY hKey, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen, DWORD dwFlags) try {
    KeyPtr key;
    if (CspStatus st = FindLiveKey(hKey, &key)) return Fail(st);
    if (!pdwDataLen) return Fail(ERROR_INVALID_PARAMETER);
    return Done(key->Context()->Provider().GetKeyParam(*key, dwParam, pbData, pdwDataLen, dwFlags));
} catch (const std::bad_alloc&) {
    return Fail(CspCode(NTE_NO_MEMORY));
}

BOOL CryptSetKeyParam(HCRYPTKEY hKey, DWORD dwParam, const BYTE* pbData, DWORD dwFlags) try {
    KeyPtr key;
    if (CspStatus st = FindLiveKey(hKey, &key)) return Fail(st);
    if (!pbData) return Fail(ERROR_INVALID_PARAMETER);
    return Done(key->Context()->Provider().SetKeyParam(*key, dwParam, pbData, dwFlags));
} catch (const std::bad_alloc&) {
    return Fail(CspCode(NTE_NO_MEMORY));
}

BOOL CryptEncrypt(HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL Final, DWORD dwFlags, BYTE* pbData, DWORD* pdwDataLen,
                  DWORD dwBufLen) try {
    KeyPtr key;
    HashPtr hash;
    if (CspStatus st = FindLiveKey(hKey, &key)) return Fail(st);
    if (hHash) {
        if (CspStatus st = FindLiveHash(hHash, &hash)) return Fail(st);
    }
    if (!pdwDataLen) return Fail(ERROR_INVALID_PARAMETER);
    return Done(key->Context()->Provider().Encrypt(*key, hash.get(), Final, dwFlags, pbData, pdwDataLen, dwBufLen));
} catch (const std::bad_alloc&) {
    return Fail(CspCode(NTE_NO_MEMORY));
}

BOOL CryptDecrypt(HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL Final, DWORD dwFlags, BYTE* pbData, DWORD* pdwDataLen) try {
    KeyPtr key;
    HashPtr hash;
    if (CspStatus st = FindLiveKey(hKey, &key)) return Fail(st);
    if (hHash) {
        if (CspStatus st = FindLiveHash(hHash, &hash)) return Fail(st);
    }
    if (!pdwDataLen) return Fail(ERROR_INVALID_PARAMETER);
    return Done(key->Context()->Provider().Decrypt(*key, hash.get(), Final, dwFlags, pbData, pdwDataLen));
} catch (const std::bad_alloc&) {
    return Fail(CspCode(NTE_NO_MEMORY));
}

BOOL CryptCreateHash(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTKEY hKey, DWORD dwFlags, HCRYPTHASH* phHash) try {
    ContextPtr ctx;
    if (CspStatus st = FindLiveContext(hProv, &ctx)) return Fail(st);
    if (!phHash) return Fail(ERROR_INVALID_PARAMETER);
    KeyPtr key;
    if (CspStatus st = FindOptionalKey(hKey, ctx->Provider(), &key)) return Fail(st);
    HashPtr hash;
    if (CspStatus st = ctx->Provider().CreateHash(ctx, Algid, key.get(), dwFlags, &hash)) return Fail(st);
    *phHash = CspAddHash(hash);
    return TRUE;
} catch (const std::bad_alloc&) {
    return Fail(CspCode(NTE_NO_MEMORY));
}

BOOL CryptHashData(HCRYPTHASH hHash, const BYTE* pbData, DWORD dwDataLen, DWORD dwFlags) try {
    HashPtr hash;
    if (CspStatus st = FindLiveHash(hHash, &hash)) return Fail(st);
    if (dwDataLen && !pbData) return Fail(ERROR_INVALID_PARAMETER);
    if (dwFlags) return Fail(CspCode(NTE_BAD_FLAGS));
    return Done(hash->Update(pbData, dwDataLen));
} catch (const std::bad_alloc&) {
    return Fail(CspCode(NTE_NO_MEMORY));
}

BOOL CryptGetHashParam(HCRYPTHASH hHash, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen, DWORD dwFlags) try {
    HashPtr hash;
    if (CspStatus st = FindLiveHash(hHash, &hash)) return Fail(st);
    if (!pdwDataLen) return Fail(ERROR_INVALID_PARAMETER);
    return Done(hash->Context()->Provider().GetHashParam(*hash, dwParam, pbData, pdwDataLen, dwFlags));
} catch (const std::bad_alloc&) {
    return Fail(CspCode(NTE_NO_MEMORY));
}

BOOL CryptSetHashParam(HCRYPTHASH hHash, DWORD dwParam, const BYTE* pbData, DWORD dwFlags) try {
    HashPtr hash;
    if (CspStatus st = FindLiveHash(hHash, &hash)) return Fail(st);
    if (!pbData) return Fail(ERROR_INVALID_PARAMETER);
    return Done(hash->Context()->Provider().SetHashParam(*hash, dwParam, pbData, dwFlags));
} catch (const std::bad_alloc&) {
    return Fail(CspCode(NTE_NO_MEMORY));
}

BOOL CryptDestroyHash(HCRYPTHASH hHash) try {
    if (!hHash) return Fail(ERROR_INVALID_PARAMETER);
    return CspRemoveHash(hHash) ? TRUE : Fail(CspCode(NTE_BAD_HASH));
} catch (const std::bad_alloc&) {
    return Fail(CspCode(NTE_NO_MEMORY));
}

BOOL CryptSignHashW(HCRYPTHASH hHash, DWORD dwKeySpec, LPCWSTR szDescription, DWORD dwFlags, BYTE* pbSignature,
                    DWORD* pdwSigLen) try {
    HashPtr hash;
    if (CspStatus st = FindLiveHash(hHash, &hash)) return Fail(st);
    if (!pdwSigLen) return Fail(ERROR_INVALID_PARAMETER);
    (void)szDescription;  // ignored, as on Windows since NT 4
    return Done(hash->Context()->Provider().SignHash(*hash, dwKeySpec, dwFlags, pbSignature, pdwSigLen));
} catch (const std::bad_alloc&) {
    return Fail(CspCode(NTE_NO_MEMORY));
}

BOOL CryptVerifySignatureW(HCRYPTHASH hHash, const BYTE* pbSignature, DWORD dwSigLen, HCRYPTKEY hPubKey,
                           LPCWSTR szDescription, DWORD dwFlags) try {
    HashPtr hash;
    KeyPtr key;
    if (CspStatus st = FindLiveHash(hHash, &hash)) return Fail(st);
    if (CspStatus st = FindLiveKey(hPubKey, &key)) return Fail(st);
    if (!pbSignature) return Fail(ERROR_INVALID_PARAMETER);
    (void)szDescription;
    return Done(hash->Context()->Provider().VerifySignature(*hash, pbSignature, dwSigLen, *key, dwFlags));
} catch (const std::bad_alloc&) {
    return Fail(CspCode(NTE_NO_MEMORY));
}

BOOL CryptGenRandom(HCRYPTPROV hProv, DWORD dwLen, BYTE* pbBuffer) try {
    ContextPtr ctx;
    if (CspStatus st = FindLiveContext(hProv, &ctx)) return Fail(st);
    return Done(ctx->Provider().GenRandom(*ctx, dwLen, pbBuffer));
} catch (const std::bad_alloc&) {
    return Fail(CspCode(NTE_NO_MEMORY));
}

// ---- crypt32: public key info -------------------------------------------------------

BOOL CryptExportPublicKeyInfo(HCRYPTPROV hCryptProv, DWORD dwKeySpec, DWORD dwCertEncodingType,
                              PCERT_PUBLIC_KEY_INFO pInfo, DWORD* pcbInfo) try {
    ContextPtr ctx;
    if (CspStatus st = FindLiveContext(hCryptProv, &ctx)) return Fail(st);
    if (!pcbInfo) return Fail(ERROR_INVALID_PARAMETER);
    if (GET_CERT_ENCODING_TYPE(dwCertEncodingType) != X509_ASN_ENCODING) return Fail(ERROR_FILE_NOT_FOUND);
    std::string oid;
    std::vector<BYTE> params, bits;
    if (CspStatus st = ctx->Provider().ExportPublicKeyInfo(ctx, dwKeySpec, &oid, &params, &bits)) return Fail(st);
    // One buffer: the structure, then the identifier text, the parameters
    // and the key bits, each pointed to from the structure.
    const size_t align = alignof(void*);
    size_t offOid = (sizeof(CERT_PUBLIC_KEY_INFO) + align - 1) / align * align;
    size_t offParams = offOid + oid.size() + 1;
    size_t offBits = offParams + params.size();
    size_t total = offBits + bits.size();
    if (!pInfo) {
        *pcbInfo = static_cast<DWORD>(total);
        return TRUE;
    }
    if (*pcbInfo < total) {
        *pcbInfo = static_cast<DWORD>(total);
        return Fail(ERROR_MORE_DATA);
    }
    BYTE* base = reinterpret_cast<BYTE*>(pInfo);
    memset(base, 0, total);
    memcpy(base + offOid, oid.c_str(), oid.size() + 1);
    if (!params.empty()) memcpy(base + offParams, params.data(), params.size());
    if (!bits.empty()) memcpy(base + offBits, bits.data(), bits.size());
    pInfo->Algorithm.pszObjId = reinterpret_cast<LPSTR>(base + offOid);
    pInfo->Algorithm.Parameters.cbData = static_cast<DWORD>(params.size());
    pInfo->Algorithm.Parameters.pbData = params.empty() ? nullptr : base + offParams;
    pInfo->PublicKey.cbData = static_cast<DWORD>(bits.size());
    pInfo->PublicKey.pbData = bits.empty() ? nullptr : base + offBits;
    pInfo->PublicKey.cUnusedBits = 0;
    *pcbInfo = static_cast<DWORD>(total);
    return TRUE;
} catch (const std::bad_alloc&) {
    return Fail(CspCode(E_OUTOFMEMORY));
}

BOOL CryptImportPublicKeyInfo(HCRYPTPROV hCryptProv, DWORD dwCertEncodingType, PCERT_PUBLIC_KEY_INFO pInfo,
                              HCRYPTKEY* phKey) try {
    ContextPtr ctx;
    if (CspStatus st = FindLiveContext(hCryptProv, &ctx)) return Fail(st);
    if (!pInfo || !phKey) return Fail(ERROR_INVALID_PARAMETER);
    if (GET_CERT_ENCODING_TYPE(dwCertEncodingType) != X509_ASN_ENCODING) return Fail(ERROR_FILE_NOT_FOUND);
    KeyPtr key;
    if (CspStatus st = ctx->Provider().ImportPublicKeyInfo(ctx, *pInfo, &key)) return Fail(st);
    *phKey = CspAddKey(key);
    return TRUE;
} catch (const std::bad_alloc&) {
    return Fail(CspCode(E_OUTOFMEMORY));
}
