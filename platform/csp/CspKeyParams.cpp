// Key parameters (KP_*): algorithm, lengths, permissions, the session-key
// mode, padding and IV, and a key pair's certificate (KP_CERTIFICATE), which
// lives in the container beside its key.
#include <openssl/x509.h>

#include <cstring>

#include "platform/base/CheckedCertificates.h"
#include "platform/csp/CspProvider.h"
#include "win/platform_registry.h"

namespace tessaro::csp {

namespace {

// The whole DER element at p; its length comes from its own header, since
// KP_CERTIFICATE carries no size. Zero for anything that is not a SEQUENCE.
size_t DerElementLength(const BYTE* p) {
    if (p[0] != 0x30) return 0;
    BYTE b = p[1];
    if (b < 0x80) return 2 + b;
    size_t n = b & 0x7F;
    if (n == 0 || n > 3) return 0;  // certificates stay far below 16 MiB
    size_t len = 0;
    for (size_t i = 0; i < n; ++i) len = (len << 8) | p[2 + i];
    return 2 + n + len;
}

constexpr size_t kMaxCertificate = 64 * 1024;

// Exactly one certificate, nothing after it.
bool IsWholeCertificate(const BYTE* p, size_t n) {
    const unsigned char* q = p;
    tessaro::UniquePtr<X509> x(d2i_X509(nullptr, &q, static_cast<long>(n)));
    return x && q == p + n;
}

}  // namespace

bool CCspProvider::KeyMatchesCertificate(const CAsymmetricKey& key, const BYTE* cert, size_t len) const {
    const unsigned char* p = cert;
    tessaro::UniquePtr<X509> x(d2i_X509(nullptr, &p, static_cast<long>(len)));
    if (!x) return false;
    EVP_PKEY* pub = X509_get0_pubkey(x.get());
    EVP_PKEY* own = key.PublicPkey();
    return pub && own && EVP_PKEY_eq(pub, own) == 1;
}

CspStatus CCspProvider::GetKeyParam(CCspKey& key, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen, DWORD dwFlags) {
    if (CspStatus st = CspCheckParamCall(pdwDataLen, dwFlags)) return st;
    auto* sym = key.IsSymmetric() ? static_cast<CSymmetricKey*>(&key) : nullptr;
    auto* asym = key.IsSymmetric() ? nullptr : static_cast<CAsymmetricKey*>(&key);
    switch (dwParam) {
        case KP_ALGID:
            return CspCopyDword(key.AlgId(), pbData, pdwDataLen);
        case KP_KEYLEN:
            return CspCopyDword(key.BitLength(), pbData, pdwDataLen);
        case KP_BLOCKLEN:
            return CspCopyDword(sym ? sym->BlockBytes() * 8 : key.BitLength(), pbData, pdwDataLen);
        case KP_PERMISSIONS:
            return CspCopyDword(key.m_dwPermissions, pbData, pdwDataLen);
        case KP_MODE:
            if (!sym) return CspCode(NTE_BAD_TYPE);
            return CspCopyDword(sym->m_dwMode, pbData, pdwDataLen);
        case KP_PADDING:
            if (!sym) return CspCode(NTE_BAD_TYPE);
            return CspCopyDword(sym->m_dwPadding, pbData, pdwDataLen);
        case KP_MODE_BITS:
            if (!sym) return CspCode(NTE_BAD_TYPE);
            return CspCopyDword(8, pbData, pdwDataLen);
        case KP_IV:
            if (!sym) return CspCode(NTE_BAD_TYPE);
            return CspCopyOut(sym->m_iv.data(), static_cast<DWORD>(sym->m_iv.size()), pbData, pdwDataLen);
        case KP_CERTIFICATE: {
            if (!asym) return CspCode(NTE_BAD_TYPE);
            const std::vector<BYTE>* cert = &asym->m_certificate;
            CContainerKeyRecord rec;
            if (asym->m_dwKeySpec && key.Context()->HasContainer()) {
                if (asym->m_containerReadAt == tessaro_platform::RegistryLocalVersion()) {
                    cert = &asym->m_containerCertificate;
                } else {
                    if (CspStatus st = m_store.ReadKey(key.Context()->ContainerName(), asym->m_dwKeySpec, &rec))
                        return st;
                    cert = &rec.certificate;
                }
                // Stored only after OpenSSL read it (below): a context made
                // of these bytes need not have them read again.
                if (pbData && !cert->empty()) tessaro::NoteCheckedCertificate(cert->data(), cert->size());
            }
            if (cert->empty()) return CspCode(NTE_NOT_FOUND);
            return CspCopyOut(cert->data(), static_cast<DWORD>(cert->size()), pbData, pdwDataLen);
        }
        default:
            return CspCode(NTE_BAD_TYPE);
    }
}

CspStatus CCspProvider::SetKeyParam(CCspKey& key, DWORD dwParam, const BYTE* pbData, DWORD dwFlags) {
    if (CspStatus st = CspCheckParamCall(pbData, dwFlags)) return st;
    auto* sym = key.IsSymmetric() ? static_cast<CSymmetricKey*>(&key) : nullptr;
    auto* asym = key.IsSymmetric() ? nullptr : static_cast<CAsymmetricKey*>(&key);
    // The DWORD parameters; KP_IV and KP_CERTIFICATE have their own sizes.
    DWORD v = 0;
    if (dwParam == KP_MODE || dwParam == KP_PADDING || dwParam == KP_PERMISSIONS) memcpy(&v, pbData, sizeof(v));
    switch (dwParam) {
        case KP_MODE:
            if (!sym) return CspCode(NTE_BAD_TYPE);
            if (v != CRYPT_MODE_CBC && v != CRYPT_MODE_ECB) return CspCode(NTE_BAD_DATA);
            sym->m_dwMode = v;
            sym->m_bInMessage = false;
            return CSP_OK;
        case KP_PADDING:
            if (!sym) return CspCode(NTE_BAD_TYPE);
            if (v != PKCS5_PADDING) return CspCode(NTE_BAD_DATA);
            sym->m_dwPadding = v;
            return CSP_OK;
        case KP_IV:
            if (!sym) return CspCode(NTE_BAD_TYPE);
            sym->m_iv.assign(pbData, pbData + sym->BlockBytes());
            sym->m_bInMessage = false;
            return CSP_OK;
        case KP_PERMISSIONS:
            // Permissions can be taken away, never added.
            if (v & ~key.m_dwPermissions) return CspCode(NTE_BAD_DATA);
            key.m_dwPermissions = v;
            return CSP_OK;
        case KP_CERTIFICATE: {
            if (!asym) return CspCode(NTE_BAD_TYPE);
            size_t n = DerElementLength(pbData);
            if (n == 0 || n > kMaxCertificate || !IsWholeCertificate(pbData, n)) return CspCode(NTE_BAD_DATA);
            if (CertificateMustMatchKey() && !KeyMatchesCertificate(*asym, pbData, n))
                return CspCode(NTE_BAD_PUBLIC_KEY);
            if (asym->m_dwKeySpec && key.Context()->HasContainer()) {
                CContainerKeyRecord rec;
                if (CspStatus st = m_store.ReadKey(key.Context()->ContainerName(), asym->m_dwKeySpec, &rec))
                    return st;
                rec.certificate.assign(pbData, pbData + n);
                asym->m_containerReadAt.reset();
                return m_store.WriteKey(key.Context()->ContainerName(), asym->m_dwKeySpec, rec);
            }
            asym->m_certificate.assign(pbData, pbData + n);
            if (asym->m_dwKeySpec) {
                auto& eph = key.Context()->m_ephemeral[asym->m_dwKeySpec];
                if (auto e = std::dynamic_pointer_cast<CAsymmetricKey>(eph)) e->m_certificate = asym->m_certificate;
            }
            return CSP_OK;
        }
        default:
            return CspCode(NTE_BAD_TYPE);
    }
}

}  // namespace tessaro::csp
