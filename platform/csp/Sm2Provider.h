// The vendor SM2 token provider: SM2 exchange (0xBE00) and signature (0x3E00)
// key pairs of 256 bits in persistent containers, SM3 hashing (0x800F), SM2
// signatures with the default user identity, the 140-byte PUBLICKEYBLOB, and
// the vendor import blob that carries a private key encrypted for the
// container's exchange key. Like the tokens it stands for, it opens a named
// container also under CRYPT_VERIFYCONTEXT and deletes one for the flag value
// 0xFFFF0002.
#pragma once

#include "platform/csp/CspProvider.h"
#include "platform/csp/Sm2Crypto.h"

namespace tessaro::csp {

// The hash object keeps the message itself: the signature digest
// e = SM3(Z || M) depends on the signing key's public point, and which key
// signs is known only when CryptSignHash names the key spec.
class CSm3Hash : public CCspHash {
public:
    explicit CSm3Hash(ContextPtr ctx);
    CspStatus Update(const BYTE* p, size_t n) override;
    CspStatus SetValue(const BYTE* p) override;
    // Wiping: a session key's decryption may be hashed into it.
    const SecureBytes& Message() const { return m_message; }
    // True when HP_HASHVAL was set by the caller: the value is then taken as
    // the finished signature digest.
    bool ValueWasSet() const { return m_bValueSet; }

private:
    SecureBytes m_message;
    bool m_bValueSet = false;
};

class CSm2TokenProvider : public CCspProvider {
public:
    explicit CSm2TokenProvider(const CspProviderInfo& info);

    bool VerifyContextOpensContainer() const override { return true; }
    bool IsDeleteFlags(DWORD dwFlags) const override {
        return dwFlags == CRYPT_SM2_DELETEKEYSET || CCspProvider::IsDeleteFlags(dwFlags);
    }

    CspStatus GenKey(const ContextPtr& ctx, ALG_ID algid, DWORD dwFlags, KeyPtr* out) override;
    CspStatus ExportKey(CCspKey& key, CCspKey* expKey, DWORD dwBlobType, DWORD dwFlags, BYTE* pbData,
                        DWORD* pdwDataLen) override;
    CspStatus ImportKey(const ContextPtr& ctx, const BYTE* pbData, DWORD dwDataLen, CCspKey* pubKey, DWORD dwFlags,
                        KeyPtr* out) override;
    CspStatus SetKeyParam(CCspKey& key, DWORD dwParam, const BYTE* pbData, DWORD dwFlags) override;
    CspStatus Encrypt(CCspKey& key, CCspHash* hash, BOOL bFinal, DWORD dwFlags, BYTE* pbData, DWORD* pdwDataLen,
                      DWORD dwBufLen) override;
    CspStatus Decrypt(CCspKey& key, CCspHash* hash, BOOL bFinal, DWORD dwFlags, BYTE* pbData,
                      DWORD* pdwDataLen) override;

    CspStatus CreateHash(const ContextPtr& ctx, ALG_ID algid, CCspKey* key, DWORD dwFlags, HashPtr* out) override;
    CspStatus SignHash(CCspHash& hash, DWORD dwKeySpec, DWORD dwFlags, BYTE* pbSignature, DWORD* pdwSigLen) override;
    CspStatus VerifySignature(CCspHash& hash, const BYTE* pbSignature, DWORD dwSigLen, CCspKey& pubKey,
                              DWORD dwFlags) override;

    CspStatus ExportPublicKeyInfo(const ContextPtr& ctx, DWORD dwKeySpec, std::string* oid, std::vector<BYTE>* params,
                                  std::vector<BYTE>* keyBits) override;
    CspStatus ImportPublicKeyInfo(const ContextPtr& ctx, const CERT_PUBLIC_KEY_INFO& info, KeyPtr* out) override;

    CspStatus EncodeKeyPair(const CAsymmetricKey& key, SecureBytes* out) override;
    CspStatus DecodeKeyPair(const ContextPtr& ctx, const CContainerKeyRecord& rec,
                            std::shared_ptr<CAsymmetricKey>* out) override;
    std::shared_ptr<CAsymmetricKey> StoredKeyPair(const ContextPtr& ctx, const CContainerKeyRecord& rec) override;
    CspStatus ImportVendorBlob(const ContextPtr& ctx, const BYTE* pbData, DWORD dwDataLen, DWORD dwFlags,
                               KeyPtr* out);
    // Compares the certificate's SM2 point with the key's own.
    bool KeyMatchesCertificate(const CAsymmetricKey& key, const BYTE* cert, size_t len) const override;
};

ProviderPtr CreateSm2TokenProvider(const CspProviderInfo& info);

}  // namespace tessaro::csp
