// Key objects, and the key operations a provider offers only by overriding
// them: the framework itself has no algorithm of its own for them.
#include "platform/csp/CspProvider.h"

namespace tessaro::csp {

DWORD CspDefaultPermissions(DWORD dwFlags) {
    return CRYPT_ENCRYPT | CRYPT_DECRYPT | CRYPT_READ | CRYPT_WRITE | CRYPT_MAC |
           ((dwFlags & CRYPT_EXPORTABLE) ? CRYPT_EXPORT : 0);
}

CAsymmetricKey::CAsymmetricKey(ContextPtr ctx, ALG_ID algid, EvpPkeyPtr pkey, bool bPrivate)
    : CCspKey(std::move(ctx), algid), m_pkey(std::move(pkey)), m_bPrivate(bPrivate) {}

KeyPtr CAsymmetricKey::Clone() const { return std::make_shared<CAsymmetricKey>(*this); }

DWORD CAsymmetricKey::BitLength() const { return m_pkey ? static_cast<DWORD>(EVP_PKEY_get_bits(m_pkey.get())) : 0; }

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
