// User key pairs: kept in the context's container (or, for a verify context,
// in the context itself), encoded for storage and decoded again, with the
// last decoded pair of each key spec cached on the context. A key handle gets
// the pair in its stored form, decoded when an operation first needs it.
#include "platform/csp/CspProvider.h"
#include "win/platform_registry.h"

namespace tessaro::csp {

namespace {

bool IsKeySpec(DWORD dwKeySpec) { return dwKeySpec == AT_KEYEXCHANGE || dwKeySpec == AT_SIGNATURE; }

void Remember(CCspContext::CachedPair& cache, const CContainerKeyRecord& rec, const CAsymmetricKey& key) {
    cache.stored = rec.privateKey;
    cache.aiKeyAlg = rec.aiKeyAlg;
    cache.key = std::static_pointer_cast<CAsymmetricKey>(key.Clone());
}

}  // namespace

CspStatus CCspProvider::GetUserKey(const ContextPtr& ctx, DWORD dwKeySpec, KeyPtr* out) {
    std::shared_ptr<CAsymmetricKey> k;
    if (CspStatus st = ReadKeyPair(ctx, dwKeySpec, true, true, &k)) return st;
    *out = k;
    return CSP_OK;
}

CspStatus CCspProvider::LoadKeyPair(const ContextPtr& ctx, DWORD dwKeySpec, std::shared_ptr<CAsymmetricKey>* out) {
    return ReadKeyPair(ctx, dwKeySpec, false, false, out);
}

CspStatus CCspProvider::OpenKeyPair(const ContextPtr& ctx, DWORD dwKeySpec, std::shared_ptr<CAsymmetricKey>* out) {
    return ReadKeyPair(ctx, dwKeySpec, true, false, out);
}

std::shared_ptr<CAsymmetricKey> CCspProvider::StoredKeyPair(const ContextPtr&, const CContainerKeyRecord&) {
    return nullptr;
}

CspStatus CCspProvider::ReadKeyPair(const ContextPtr& ctx, DWORD dwKeySpec, bool bStoredForm, bool bAsAcquired,
                                    std::shared_ptr<CAsymmetricKey>* out) {
    if (!IsKeySpec(dwKeySpec)) return CspCode(NTE_BAD_KEY);
    if (!ctx->HasContainer()) {
        auto k = std::dynamic_pointer_cast<CAsymmetricKey>(ctx->m_ephemeral[dwKeySpec]);
        if (!k) return CspCode(NTE_NO_KEY);
        *out = std::static_pointer_cast<CAsymmetricKey>(k->Clone());
        return CSP_OK;
    }
    const uint64_t readAt = tessaro_platform::RegistryLocalVersion();
    CContainerKeyRecord rec;
    // What the acquire read, when it read a pair or found none; any other
    // outcome is read again for its own code.
    const CspStatus acquired = ctx->m_records.status[dwKeySpec];
    if (bAsAcquired && ctx->m_recordsReadAt == readAt && (acquired == CSP_OK || acquired == CspCode(NTE_NO_KEY))) {
        if (acquired != CSP_OK) return acquired;
        rec = ctx->m_records.record[dwKeySpec];
    } else if (CspStatus st = m_store.ReadKey(ctx->ContainerName(), dwKeySpec, &rec)) {
        return st;
    }
    std::shared_ptr<CAsymmetricKey> k;
    CCspContext::CachedPair& cache = ctx->m_pairCache[dwKeySpec];
    if (cache.key && cache.aiKeyAlg == rec.aiKeyAlg && cache.stored == rec.privateKey) {
        k = std::static_pointer_cast<CAsymmetricKey>(cache.key->Clone());
    } else {
        if (bStoredForm) k = StoredKeyPair(ctx, rec);
        if (!k) {
            if (CspStatus st = DecodeKeyPair(ctx, rec, &k)) return st;
            Remember(cache, rec, *k);
        }
    }
    k->m_dwKeySpec = dwKeySpec;
    k->m_dwFlags = rec.dwFlags;
    k->m_dwPermissions = CspDefaultPermissions(rec.dwFlags);
    k->m_containerCertificate = std::move(rec.certificate);
    k->m_containerReadAt = readAt;
    *out = k;
    return CSP_OK;
}

CspStatus CCspProvider::SaveKeyPair(const ContextPtr& ctx, DWORD dwKeySpec, const std::shared_ptr<CAsymmetricKey>& key) {
    if (!IsKeySpec(dwKeySpec)) return CspCode(NTE_BAD_KEY);
    key->m_dwKeySpec = dwKeySpec;
    if (!ctx->HasContainer()) {
        ctx->m_ephemeral[dwKeySpec] = key->Clone();
        return CSP_OK;
    }
    CContainerKeyRecord rec;
    rec.aiKeyAlg = key->AlgId();
    rec.dwFlags = key->m_dwFlags;
    rec.dwBitLen = key->BitLength();
    if (CspStatus st = EncodeKeyPair(*key, &rec.privateKey)) return st;
    if (CspStatus st = m_store.WriteKey(ctx->ContainerName(), dwKeySpec, rec)) return st;
    Remember(ctx->m_pairCache[dwKeySpec], rec, *key);
    return CSP_OK;
}

// PKCS#1 (or the key type's own) DER, written straight into the wiping buffer.
CspStatus CCspProvider::EncodeKeyPair(const CAsymmetricKey& key, SecureBytes* out) {
    if (!key.HasPrivate() || !key.Pkey()) return CspCode(NTE_BAD_KEY);
    // OpenSSL allocates the encoding itself: handed a buffer of ours, its
    // encoder frees that buffer when an allocation inside it fails.
    unsigned char* der = nullptr;
    int n = i2d_PrivateKey(key.Pkey(), &der);
    if (n <= 0) return CspCode(NTE_FAIL);
    // Wiped and released even when the copy runs out of memory.
    struct Wipe {
        unsigned char* p;
        size_t n;
        ~Wipe() { OPENSSL_clear_free(p, n); }
    } hold{der, static_cast<size_t>(n)};
    out->assign(der, der + n);
    return CSP_OK;
}

CspStatus CCspProvider::DecodeKeyPair(const ContextPtr& ctx, const CContainerKeyRecord& rec,
                                      std::shared_ptr<CAsymmetricKey>* out) {
    const unsigned char* p = rec.privateKey.data();
    EvpPkeyPtr pk(d2i_AutoPrivateKey(nullptr, &p, static_cast<long>(rec.privateKey.size())));
    if (!pk) return CspCode(NTE_KEYSET_ENTRY_BAD);
    *out = std::make_shared<CAsymmetricKey>(ctx, rec.aiKeyAlg, std::move(pk), true);
    return CSP_OK;
}

}  // namespace tessaro::csp
