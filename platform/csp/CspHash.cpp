// Hash objects and their parameters (HP_*): MD5 and the SHA family through
// OpenSSL's digests.
#include "platform/csp/CspProvider.h"

namespace tessaro::csp {

const EVP_MD* CspDigestOf(ALG_ID algid) {
    switch (algid) {
        case CALG_MD5:
            return EVP_md5();
        case CALG_SHA1:
            return EVP_sha1();
        case CALG_SHA_256:
            return EVP_sha256();
        case CALG_SHA_384:
            return EVP_sha384();
        case CALG_SHA_512:
            return EVP_sha512();
        default:
            return nullptr;
    }
}

// ---- Hash objects ------------------------------------------------------------------------

CCspHash::CCspHash(ContextPtr ctx, ALG_ID algid, const EVP_MD* md) : m_ctx(std::move(ctx)), m_algid(algid) {
    if (md) {
        m_mdctx.reset(EVP_MD_CTX_new());
        if (m_mdctx && EVP_DigestInit_ex(m_mdctx.get(), md, nullptr) != 1) m_mdctx.reset();
    }
}

DWORD CCspHash::HashSize() const {
    if (!m_mdctx) return static_cast<DWORD>(m_value.size());
    const EVP_MD* md = EVP_MD_CTX_get0_md(m_mdctx.get());
    return md ? static_cast<DWORD>(EVP_MD_get_size(md)) : 0;
}

CspStatus CCspHash::Update(const BYTE* p, size_t n) {
    if (m_bFinished) return CspCode(NTE_BAD_HASH_STATE);
    if (!m_mdctx) return CspCode(NTE_BAD_HASH);
    if (n && EVP_DigestUpdate(m_mdctx.get(), p, n) != 1) return CspCode(NTE_FAIL);
    return CSP_OK;
}

CspStatus CCspHash::Finish() {
    if (m_bFinished) return CSP_OK;
    if (!m_mdctx) return CspCode(NTE_BAD_HASH);
    BYTE buf[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    if (EVP_DigestFinal_ex(m_mdctx.get(), buf, &n) != 1) return CspCode(NTE_FAIL);
    m_value.assign(buf, buf + n);
    m_bFinished = true;
    return CSP_OK;
}

CspStatus CCspHash::SetValue(const BYTE* p) {
    DWORD n = HashSize();
    if (!p) return ERROR_INVALID_PARAMETER;
    if (!n) return CspCode(NTE_BAD_HASH);
    m_value.assign(p, p + n);
    m_bFinished = true;
    return CSP_OK;
}

// ---- The provider's hash calls -------------------------------------------------------------

CspStatus CCspProvider::CreateHash(const ContextPtr& ctx, ALG_ID algid, CCspKey* key, DWORD dwFlags, HashPtr* out) {
    if (dwFlags) return CspCode(NTE_BAD_FLAGS);
    const PROV_ENUMALGS_EX* a = FindAlgorithm(algid);
    const EVP_MD* md = CspDigestOf(algid);
    if (!a || GET_ALG_CLASS(algid) != ALG_CLASS_HASH || !md) return CspCode(NTE_BAD_ALGID);
    if (key) return CspCode(NTE_BAD_KEY);
    auto h = std::make_shared<CCspHash>(ctx, algid, md);
    if (!h->HashSize()) return CspCode(NTE_NO_MEMORY);
    *out = h;
    return CSP_OK;
}

CspStatus CCspProvider::GetHashParam(CCspHash& hash, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen, DWORD dwFlags) {
    if (CspStatus st = CspCheckParamCall(pdwDataLen, dwFlags)) return st;
    if (dwParam == HP_ALGID) return CspCopyDword(hash.AlgId(), pbData, pdwDataLen);
    if (dwParam == HP_HASHSIZE) return CspCopyDword(hash.HashSize(), pbData, pdwDataLen);
    if (dwParam != HP_HASHVAL) return CspCode(NTE_BAD_TYPE);
    // A size query or a short buffer leaves the hash open.
    if (auto answer = CspSizeAnswer(hash.HashSize(), pbData, *pdwDataLen, pdwDataLen)) return *answer;
    if (CspStatus st = hash.Finish()) return st;
    return CspCopyOut(hash.Value().data(), static_cast<DWORD>(hash.Value().size()), pbData, pdwDataLen);
}

CspStatus CCspProvider::SetHashParam(CCspHash& hash, DWORD dwParam, const BYTE* pbData, DWORD dwFlags) {
    if (CspStatus st = CspCheckParamCall(pbData, dwFlags)) return st;
    return dwParam == HP_HASHVAL ? hash.SetValue(pbData) : CspCode(NTE_BAD_TYPE);
}

}  // namespace tessaro::csp
