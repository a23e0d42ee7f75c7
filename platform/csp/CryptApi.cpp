// The advapi32 CryptoAPI entry points (and the two crypt32 public-key-info
// calls that are provider work): argument and handle checks, dispatch to the
// provider objects, and the thread's last error. A call that runs out of memory
// fails with NTE_NO_MEMORY and leaves the handles as they were.
#include <cstring>
#include <new>
#include <string_view>

#include "platform/csp/CspProvider.h"

using namespace tessaro::csp;

namespace {

// Runs the body of one entry point: its status becomes the result (TRUE, or
// FALSE with the status as the last error); running out of memory fails with
// noMemory.
BOOL Answer(CspStatus st) {
    if (st == CSP_OK) return TRUE;
    SetLastError(st);
    return FALSE;
}

template <class Body>
BOOL Run(Body&& body, HRESULT noMemory = NTE_NO_MEMORY) {
    try {
        return Answer(body());
    } catch (const std::bad_alloc&) {
        return Answer(CspCode(noMemory));
    }
}

// Handle checks: a null handle is an invalid parameter; a stale one, or one
// of another kind, is the kind's own error; a key or hash whose context was
// released answers as a released context.
const CCspContext& ContextOf(const CCspContext& ctx) { return ctx; }
const CCspContext& ContextOf(const CCspKey& key) { return *key.Context(); }
const CCspContext& ContextOf(const CCspHash& hash) { return *hash.Context(); }

ContextPtr Lookup(ULONG_PTR h, ContextPtr*) { return CspFindContext(h); }
KeyPtr Lookup(ULONG_PTR h, KeyPtr*) { return CspFindKey(h); }
HashPtr Lookup(ULONG_PTR h, HashPtr*) { return CspFindHash(h); }

HRESULT MissingCode(ContextPtr*) { return NTE_BAD_UID; }
HRESULT MissingCode(KeyPtr*) { return NTE_BAD_KEY; }
HRESULT MissingCode(HashPtr*) { return NTE_BAD_HASH; }

template <class Ptr>
CspStatus FindLive(ULONG_PTR h, Ptr* out) {
    if (!h) return ERROR_INVALID_PARAMETER;
    Ptr p = Lookup(h, out);
    if (!p) return CspCode(MissingCode(out));
    if (ContextOf(*p).Released()) return CspCode(NTE_BAD_UID);
    *out = std::move(p);
    return CSP_OK;
}

// An optional key handle given beside another object: it must belong to the
// same provider.
CspStatus FindOptionalKey(HCRYPTKEY h, const CCspProvider& prov, KeyPtr* out) {
    out->reset();
    if (!h) return CSP_OK;
    if (CspStatus st = FindLive(h, out)) return st;
    if ((*out)->Context()->Provider().Name() == prov.Name()) return CSP_OK;
    out->reset();
    return CspCode(NTE_BAD_KEY);
}

// Runs body on the live object behind h (a ContextPtr, KeyPtr or HashPtr).
template <class Ptr, class Body>
BOOL OnLive(ULONG_PTR h, Body&& body) {
    return Run([&]() -> CspStatus {
        Ptr p;
        if (CspStatus st = FindLive(h, &p)) return st;
        return body(p);
    });
}

CCspProvider& ProviderOf(const CCspContext& ctx) { return ctx.Provider(); }
template <class Object>
CCspProvider& ProviderOf(const Object& object) {
    return ContextOf(object).Provider();
}

// The Get*Param and Set*Param calls of contexts, keys and hashes: the object,
// the pointer the call needs, then the provider's method.
template <class Ptr, class Method>
BOOL GetParam(ULONG_PTR h, Method get, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen, DWORD dwFlags) {
    return OnLive<Ptr>(h, [&](const Ptr& p) -> CspStatus {
        if (!pdwDataLen) return ERROR_INVALID_PARAMETER;
        return (ProviderOf(*p).*get)(*p, dwParam, pbData, pdwDataLen, dwFlags);
    });
}

template <class Ptr, class Method>
BOOL SetParam(ULONG_PTR h, Method set, DWORD dwParam, const BYTE* pbData, DWORD dwFlags) {
    return OnLive<Ptr>(h, [&](const Ptr& p) -> CspStatus {
        if (!pbData) return ERROR_INVALID_PARAMETER;
        return (ProviderOf(*p).*set)(*p, dwParam, pbData, dwFlags);
    });
}

// A call that makes a key or hash: the new object gets its handle in *ph.
template <class Ptr, class Make>
CspStatus MakeHandle(ULONG_PTR* ph, Make&& make, ULONG_PTR (*add)(const Ptr&)) {
    if (!ph) return ERROR_INVALID_PARAMETER;
    Ptr made;
    if (CspStatus st = make(&made)) return st;
    *ph = add(made);
    return CSP_OK;
}

template <class Make>
CspStatus MakeKey(HCRYPTKEY* phKey, Make&& make) {
    return MakeHandle<KeyPtr>(phKey, make, &CspAddKey);
}

// Encrypt and decrypt: the key, the optional hash, then the length pointer.
template <class Body>
BOOL OnKeyAndHash(HCRYPTKEY hKey, HCRYPTHASH hHash, DWORD* pdwDataLen, Body&& body) {
    return OnLive<KeyPtr>(hKey, [&](const KeyPtr& key) -> CspStatus {
        HashPtr hash;
        if (hHash) {
            if (CspStatus st = FindLive(hHash, &hash)) return st;
        }
        if (!pdwDataLen) return ERROR_INVALID_PARAMETER;
        return body(ProviderOf(*key), *key, hash.get());
    });
}

// The padding of a CNG-style operation: exactly one scheme the call offers
// (sign: PKCS#1 or PSS; decrypt: PKCS#1 or OAEP) and its description.
CspStatus ReadPadding(const void* info, DWORD dwFlags, bool bSign, CspPadding* out) {
    const DWORD second = bSign ? BCRYPT_PAD_PSS : BCRYPT_PAD_OAEP;
    if (dwFlags != BCRYPT_PAD_PKCS1 && dwFlags != second) return CspCode(NTE_BAD_FLAGS);
    out->scheme = dwFlags;
    // Decryption with PKCS#1 v1.5 needs no description.
    if (!bSign && dwFlags == BCRYPT_PAD_PKCS1) return CSP_OK;
    if (!info) return CspCode(NTE_INVALID_PARAMETER);
    LPCWSTR alg = dwFlags == BCRYPT_PAD_PSS    ? static_cast<const BCRYPT_PSS_PADDING_INFO*>(info)->pszAlgId
                  : dwFlags == BCRYPT_PAD_OAEP ? static_cast<const BCRYPT_OAEP_PADDING_INFO*>(info)->pszAlgId
                                               : static_cast<const BCRYPT_PKCS1_PADDING_INFO*>(info)->pszAlgId;
    if (alg) {
        static const struct {
            const char16_t* name;
            ALG_ID alg;
        } kHashes[] = {{BCRYPT_SHA1_ALGORITHM, CALG_SHA1},
                       {BCRYPT_SHA256_ALGORITHM, CALG_SHA_256},
                       {BCRYPT_SHA384_ALGORITHM, CALG_SHA_384},
                       {BCRYPT_SHA512_ALGORITHM, CALG_SHA_512}};
        for (const auto& h : kHashes)
            if (std::u16string_view(alg) == h.name) out->hashAlg = h.alg;
        if (!out->hashAlg) return CspCode(NTE_BAD_ALGID);
    } else if (dwFlags != BCRYPT_PAD_PKCS1) {
        return CspCode(NTE_INVALID_PARAMETER);
    }
    if (dwFlags == BCRYPT_PAD_PSS) out->saltBytes = static_cast<const BCRYPT_PSS_PADDING_INFO*>(info)->cbSalt;
    if (dwFlags == BCRYPT_PAD_OAEP) {
        const auto* oaep = static_cast<const BCRYPT_OAEP_PADDING_INFO*>(info);
        if (oaep->cbLabel && !oaep->pbLabel) return CspCode(NTE_INVALID_PARAMETER);
        out->label.assign(oaep->pbLabel, oaep->pbLabel + oaep->cbLabel);
    }
    return CSP_OK;
}

// The crypt32 calls take X.509 encodings only.
bool IsX509(DWORD dwCertEncodingType) { return GET_CERT_ENCODING_TYPE(dwCertEncodingType) == X509_ASN_ENCODING; }

}  // namespace

BOOL CryptAcquireContextW(HCRYPTPROV* phProv, LPCWSTR szContainer, LPCWSTR szProvider, DWORD dwProvType,
                          DWORD dwFlags) {
    return Run([&]() -> CspStatus {
        if (!phProv) return ERROR_INVALID_PARAMETER;
        *phProv = 0;
        if (dwProvType == 0 || dwProvType > 999) return CspCode(NTE_BAD_PROV_TYPE);
        CspEnsureBuiltinRegistration();
        CspProviderInfo info;
        if (CspStatus st = CspLookupProvider(szProvider, dwProvType, &info)) return st;
        if (info.dwType != dwProvType) return CspCode(NTE_PROV_TYPE_NO_MATCH);
        ProviderPtr prov;
        if (CspStatus st = CspCreateProvider(info, &prov)) return st;
        ContextPtr ctx;
        if (CspStatus st = prov->AcquireContext(szContainer, dwFlags, &ctx)) return st;
        if (!ctx) return CSP_OK;  // a deleted key set leaves no context
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
        return CSP_OK;
    });
}

BOOL CryptReleaseContext(HCRYPTPROV hProv, DWORD dwFlags) {
    return OnLive<ContextPtr>(hProv, [&](const ContextPtr& ctx) -> CspStatus {
        if (dwFlags) return CspCode(NTE_BAD_FLAGS);
        if (--ctx->m_dwRefs == 0) {
            ctx->MarkReleased();
            // A verify context's key pairs point back at the context.
            for (auto& k : ctx->m_ephemeral) k.reset();
            CspRemoveContext(hProv);
        }
        return CSP_OK;
    });
}

BOOL CryptContextAddRef(HCRYPTPROV hProv, DWORD* pdwReserved, DWORD dwFlags) {
    if (pdwReserved) return Answer(ERROR_INVALID_PARAMETER);
    return OnLive<ContextPtr>(hProv, [&](const ContextPtr& ctx) -> CspStatus {
        if (dwFlags) return CspCode(NTE_BAD_FLAGS);
        ++ctx->m_dwRefs;
        return CSP_OK;
    });
}

BOOL CryptEnumProvidersW(DWORD dwIndex, DWORD* pdwReserved, DWORD dwFlags, DWORD* pdwProvType, LPWSTR szProvName,
                         DWORD* pcbProvName) {
    return Run([&]() -> CspStatus {
        if (pdwReserved || !pdwProvType || !pcbProvName) return ERROR_INVALID_PARAMETER;
        if (dwFlags) return CspCode(NTE_BAD_FLAGS);
        CspEnsureBuiltinRegistration();
        std::u16string name;
        DWORD type = 0;
        if (CspStatus st = CspEnumRegistered(dwIndex, &name, &type)) return st;
        *pdwProvType = type;
        return CspCopyOut(name.c_str(), static_cast<DWORD>((name.size() + 1) * sizeof(WCHAR)),
                          reinterpret_cast<BYTE*>(szProvName), pcbProvName);
    });
}

BOOL CryptGetProvParam(HCRYPTPROV hProv, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen, DWORD dwFlags) {
    return GetParam<ContextPtr>(hProv, &CCspProvider::GetProvParam, dwParam, pbData, pdwDataLen, dwFlags);
}

BOOL CryptSetProvParam(HCRYPTPROV hProv, DWORD dwParam, const BYTE* pbData, DWORD dwFlags) {
    // No null check here: a provider's own parameters decide what they need.
    return OnLive<ContextPtr>(hProv, [&](const ContextPtr& ctx) {
        return ctx->Provider().SetProvParam(*ctx, dwParam, pbData, dwFlags);
    });
}

BOOL CryptGenKey(HCRYPTPROV hProv, ALG_ID Algid, DWORD dwFlags, HCRYPTKEY* phKey) {
    return OnLive<ContextPtr>(hProv, [&](const ContextPtr& ctx) {
        return MakeKey(phKey, [&](KeyPtr* key) { return ctx->Provider().GenKey(ctx, Algid, dwFlags, key); });
    });
}

BOOL CryptGetUserKey(HCRYPTPROV hProv, DWORD dwKeySpec, HCRYPTKEY* phUserKey) {
    return OnLive<ContextPtr>(hProv, [&](const ContextPtr& ctx) {
        return MakeKey(phUserKey, [&](KeyPtr* key) { return ctx->Provider().GetUserKey(ctx, dwKeySpec, key); });
    });
}

BOOL CryptDestroyKey(HCRYPTKEY hKey) {
    return Run([&]() -> CspStatus {
        if (!hKey) return ERROR_INVALID_PARAMETER;
        return CspRemoveKey(hKey) ? CSP_OK : CspCode(NTE_BAD_KEY);
    });
}

BOOL CryptDuplicateKey(HCRYPTKEY hKey, DWORD* pdwReserved, DWORD dwFlags, HCRYPTKEY* phKey) {
    if (pdwReserved || !phKey) return Answer(ERROR_INVALID_PARAMETER);
    return OnLive<KeyPtr>(hKey, [&](const KeyPtr& key) -> CspStatus {
        if (dwFlags) return CspCode(NTE_BAD_FLAGS);
        return MakeKey(phKey, [&](KeyPtr* copy) -> CspStatus {
            *copy = key->Clone();
            return *copy ? CSP_OK : CspCode(NTE_NO_MEMORY);
        });
    });
}

BOOL CryptExportKey(HCRYPTKEY hKey, HCRYPTKEY hExpKey, DWORD dwBlobType, DWORD dwFlags, BYTE* pbData,
                    DWORD* pdwDataLen) {
    return OnLive<KeyPtr>(hKey, [&](const KeyPtr& key) -> CspStatus {
        if (!pdwDataLen) return ERROR_INVALID_PARAMETER;
        CCspProvider& prov = ProviderOf(*key);
        KeyPtr exp;
        if (CspStatus st = FindOptionalKey(hExpKey, prov, &exp)) return st;
        return prov.ExportKey(*key, exp.get(), dwBlobType, dwFlags, pbData, pdwDataLen);
    });
}

BOOL CryptImportKey(HCRYPTPROV hProv, const BYTE* pbData, DWORD dwDataLen, HCRYPTKEY hPubKey, DWORD dwFlags,
                    HCRYPTKEY* phKey) {
    return OnLive<ContextPtr>(hProv, [&](const ContextPtr& ctx) -> CspStatus {
        if (!pbData || !phKey) return ERROR_INVALID_PARAMETER;
        KeyPtr pub;
        if (CspStatus st = FindOptionalKey(hPubKey, ctx->Provider(), &pub)) return st;
        return MakeKey(phKey, [&](KeyPtr* key) {
            return ctx->Provider().ImportKey(ctx, pbData, dwDataLen, pub.get(), dwFlags, key);
        });
    });
}

BOOL CryptGetKeyParam(HCRYPTKEY hKey, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen, DWORD dwFlags) {
    return GetParam<KeyPtr>(hKey, &CCspProvider::GetKeyParam, dwParam, pbData, pdwDataLen, dwFlags);
}

BOOL CryptSetKeyParam(HCRYPTKEY hKey, DWORD dwParam, const BYTE* pbData, DWORD dwFlags) {
    return SetParam<KeyPtr>(hKey, &CCspProvider::SetKeyParam, dwParam, pbData, dwFlags);
}

BOOL CryptEncrypt(HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL Final, DWORD dwFlags, BYTE* pbData, DWORD* pdwDataLen,
                  DWORD dwBufLen) {
    return OnKeyAndHash(hKey, hHash, pdwDataLen, [&](CCspProvider& prov, CCspKey& key, CCspHash* hash) {
        return prov.Encrypt(key, hash, Final, dwFlags, pbData, pdwDataLen, dwBufLen);
    });
}

BOOL CryptDecrypt(HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL Final, DWORD dwFlags, BYTE* pbData, DWORD* pdwDataLen) {
    return OnKeyAndHash(hKey, hHash, pdwDataLen, [&](CCspProvider& prov, CCspKey& key, CCspHash* hash) {
        return prov.Decrypt(key, hash, Final, dwFlags, pbData, pdwDataLen);
    });
}

BOOL CryptCreateHash(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTKEY hKey, DWORD dwFlags, HCRYPTHASH* phHash) {
    return OnLive<ContextPtr>(hProv, [&](const ContextPtr& ctx) -> CspStatus {
        if (!phHash) return ERROR_INVALID_PARAMETER;
        KeyPtr key;
        if (CspStatus st = FindOptionalKey(hKey, ctx->Provider(), &key)) return st;
        return MakeHandle<HashPtr>(
            phHash, [&](HashPtr* hash) { return ctx->Provider().CreateHash(ctx, Algid, key.get(), dwFlags, hash); },
            &CspAddHash);
    });
}

BOOL CryptHashData(HCRYPTHASH hHash, const BYTE* pbData, DWORD dwDataLen, DWORD dwFlags) {
    return OnLive<HashPtr>(hHash, [&](const HashPtr& hash) -> CspStatus {
        if (dwDataLen && !pbData) return ERROR_INVALID_PARAMETER;
        if (dwFlags) return CspCode(NTE_BAD_FLAGS);
        return hash->Update(pbData, dwDataLen);
    });
}

BOOL CryptGetHashParam(HCRYPTHASH hHash, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen, DWORD dwFlags) {
    return GetParam<HashPtr>(hHash, &CCspProvider::GetHashParam, dwParam, pbData, pdwDataLen, dwFlags);
}

BOOL CryptSetHashParam(HCRYPTHASH hHash, DWORD dwParam, const BYTE* pbData, DWORD dwFlags) {
    return SetParam<HashPtr>(hHash, &CCspProvider::SetHashParam, dwParam, pbData, dwFlags);
}

BOOL CryptDestroyHash(HCRYPTHASH hHash) {
    return Run([&]() -> CspStatus {
        if (!hHash) return ERROR_INVALID_PARAMETER;
        return CspRemoveHash(hHash) ? CSP_OK : CspCode(NTE_BAD_HASH);
    });
}

BOOL CryptSignHashW(HCRYPTHASH hHash, DWORD dwKeySpec, LPCWSTR, DWORD dwFlags, BYTE* pbSignature,
                    DWORD* pdwSigLen) {
    // The description is ignored, as on Windows since NT 4.
    return OnLive<HashPtr>(hHash, [&](const HashPtr& hash) -> CspStatus {
        if (!pdwSigLen) return ERROR_INVALID_PARAMETER;
        return ProviderOf(*hash).SignHash(*hash, dwKeySpec, dwFlags, pbSignature, pdwSigLen);
    });
}

BOOL CryptVerifySignatureW(HCRYPTHASH hHash, const BYTE* pbSignature, DWORD dwSigLen, HCRYPTKEY hPubKey, LPCWSTR,
                           DWORD dwFlags) {
    return OnLive<HashPtr>(hHash, [&](const HashPtr& hash) -> CspStatus {
        KeyPtr key;
        if (CspStatus st = FindLive(hPubKey, &key)) return st;
        if (!pbSignature) return ERROR_INVALID_PARAMETER;
        return ProviderOf(*hash).VerifySignature(*hash, pbSignature, dwSigLen, *key, dwFlags);
    });
}

BOOL CryptSignHashPadded(HCRYPTKEY hKey, const void* pPaddingInfo, const BYTE* pbHashValue, DWORD cbHashValue,
                         BYTE* pbSignature, DWORD* pcbSignature, DWORD dwFlags) {
    return OnLive<KeyPtr>(hKey, [&](const KeyPtr& key) -> CspStatus {
        if (!pcbSignature || !pbHashValue || !cbHashValue) return ERROR_INVALID_PARAMETER;
        CspPadding pad;
        if (CspStatus st = ReadPadding(pPaddingInfo, dwFlags, true, &pad)) return st;
        return ProviderOf(*key).SignPadded(*key, pad, pbHashValue, cbHashValue, pbSignature, pcbSignature);
    });
}

BOOL CryptDecryptPadded(HCRYPTKEY hKey, const void* pPaddingInfo, const BYTE* pbInput, DWORD cbInput,
                        BYTE* pbOutput, DWORD* pcbOutput, DWORD dwFlags) {
    return OnLive<KeyPtr>(hKey, [&](const KeyPtr& key) -> CspStatus {
        if (!pcbOutput || !pbInput) return ERROR_INVALID_PARAMETER;
        CspPadding pad;
        if (CspStatus st = ReadPadding(pPaddingInfo, dwFlags, false, &pad)) return st;
        return ProviderOf(*key).DecryptPadded(*key, pad, pbInput, cbInput, pbOutput, pcbOutput);
    });
}

BOOL CryptGenRandom(HCRYPTPROV hProv, DWORD dwLen, BYTE* pbBuffer) {
    return OnLive<ContextPtr>(hProv,
                              [&](const ContextPtr& ctx) { return ctx->Provider().GenRandom(*ctx, dwLen, pbBuffer); });
}

// ---- crypt32: public key info -------------------------------------------------------

BOOL CryptExportPublicKeyInfo(HCRYPTPROV hCryptProv, DWORD dwKeySpec, DWORD dwCertEncodingType,
                              PCERT_PUBLIC_KEY_INFO pInfo, DWORD* pcbInfo) {
    return Run(
        [&]() -> CspStatus {
            ContextPtr ctx;
            if (CspStatus st = FindLive(hCryptProv, &ctx)) return st;
            if (!pcbInfo) return ERROR_INVALID_PARAMETER;
            if (!IsX509(dwCertEncodingType)) return ERROR_FILE_NOT_FOUND;
            std::string oid;
            std::vector<BYTE> params, bits;
            if (CspStatus st = ctx->Provider().ExportPublicKeyInfo(ctx, dwKeySpec, &oid, &params, &bits)) return st;
            // One buffer: the structure, then the identifier text, the parameters
            // and the key bits, each pointed to from the structure.
            const size_t align = alignof(void*);
            size_t offOid = (sizeof(CERT_PUBLIC_KEY_INFO) + align - 1) / align * align;
            size_t offParams = offOid + oid.size() + 1;
            size_t offBits = offParams + params.size();
            DWORD total = static_cast<DWORD>(offBits + bits.size());
            BYTE* base = reinterpret_cast<BYTE*>(pInfo);
            if (auto answer = CspSizeAnswer(total, base, *pcbInfo, pcbInfo)) return *answer;
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
            *pcbInfo = total;
            return CSP_OK;
        },
        E_OUTOFMEMORY);
}

BOOL CryptImportPublicKeyInfo(HCRYPTPROV hCryptProv, DWORD dwCertEncodingType, PCERT_PUBLIC_KEY_INFO pInfo,
                              HCRYPTKEY* phKey) {
    return Run(
        [&]() -> CspStatus {
            ContextPtr ctx;
            if (CspStatus st = FindLive(hCryptProv, &ctx)) return st;
            if (!pInfo || !phKey) return ERROR_INVALID_PARAMETER;
            if (!IsX509(dwCertEncodingType)) return ERROR_FILE_NOT_FOUND;
            return MakeKey(phKey, [&](KeyPtr* key) { return ctx->Provider().ImportPublicKeyInfo(ctx, *pInfo, key); });
        },
        E_OUTOFMEMORY);
}
