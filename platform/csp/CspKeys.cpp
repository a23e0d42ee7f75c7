// Key objects, and the key operations a provider offers only by overriding
// them: the framework itself has no algorithm of its own for them.
#include "platform/csp/CspProvider.h"

namespace tessaro::csp {

DWORD CspDefaultPermissions(DWORD dwFlags) {
    return CRYPT_ENCRYPT | CRYPT_DECRYPT | CRYPT_READ | CRYPT_WRITE | CRYPT_MAC |
           ((dwFlags & CRYPT_EXPORTABLE) ? CRYPT_EXPORT : 0);
}

EVP_PKEY* CStoredKeyMaterial::Public() const {
    std::lock_guard<std::mutex> g(m_mutex);
    if (m_pair) return m_pair.get();  // the pair serves public operations as well
    if (!m_public) m_public = MakePublic();
    return m_public.get();
}

EVP_PKEY* CStoredKeyMaterial::Pair() const {
    std::lock_guard<std::mutex> g(m_mutex);
    if (!m_pair) m_pair = MakePair();
    return m_pair.get();
}

CAsymmetricKey::CAsymmetricKey(ContextPtr ctx, ALG_ID algid, EvpPkeyPtr pkey, bool bPrivate)
    : CCspKey(std::move(ctx), algid), m_pkey(std::move(pkey)), m_bPrivate(bPrivate) {}

CAsymmetricKey::CAsymmetricKey(ContextPtr ctx, ALG_ID algid, std::shared_ptr<const CStoredKeyMaterial> stored)
    : CCspKey(std::move(ctx), algid), m_stored(std::move(stored)), m_bPrivate(true) {}

KeyPtr CAsymmetricKey::Clone() const { return std::make_shared<CAsymmetricKey>(*this); }

DWORD CAsymmetricKey::BitLength() const {
    if (m_stored) return m_stored->BitLength();
    return m_pkey ? static_cast<DWORD>(EVP_PKEY_get_bits(m_pkey.get())) : 0;
}

CspStatus CCspProvider::GenKey(const ContextPtr&, ALG_ID, DWORD, KeyPtr*) { return CspCode(NTE_BAD_ALGID); }

CspStatus CCspProvider::ExportKey(CCspKey&, CCspKey*, DWORD, DWORD, BYTE*, DWORD*) { return CspCode(NTE_BAD_TYPE); }

CspStatus CCspProvider::ImportKey(const ContextPtr&, const BYTE*, DWORD, CCspKey*, DWORD, KeyPtr*) {
    return CspCode(NTE_BAD_TYPE);
}

CspStatus CCspProvider::SignHash(CCspHash&, DWORD, DWORD, BYTE*, DWORD*) { return CspCode(NTE_BAD_ALGID); }

CspStatus CCspProvider::VerifySignature(CCspHash&, const BYTE*, DWORD, CCspKey&, DWORD) {
    return CspCode(NTE_BAD_ALGID);
}

CspStatus CCspProvider::SignPadded(CCspKey&, const CspPadding&, const BYTE*, DWORD, BYTE*, DWORD*) {
    return CspCode(NTE_NOT_SUPPORTED);
}

CspStatus CCspProvider::DecryptPadded(CCspKey&, const CspPadding&, const BYTE*, DWORD, BYTE*, DWORD*) {
    return CspCode(NTE_NOT_SUPPORTED);
}

CspStatus CCspProvider::ExportPublicKeyInfo(const ContextPtr&, DWORD, std::string*, std::vector<BYTE>*,
                                            std::vector<BYTE>*) {
    return CspCode(NTE_BAD_ALGID);
}

CspStatus CCspProvider::ImportPublicKeyInfo(const ContextPtr&, const CERT_PUBLIC_KEY_INFO&, KeyPtr*) {
    return CspCode(NTE_BAD_ALGID);
}

}  // namespace tessaro::csp
