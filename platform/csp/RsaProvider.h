// The RSA providers: Microsoft's Base, Enhanced, Strong and Enhanced RSA/AES
// software providers (one shared container namespace) and the vendor RSA
// token provider (its own namespace, certificates checked against their key,
// the vendor key-envelope import).
#pragma once

#include "platform/csp/CspProvider.h"

namespace tessaro::csp {

// RSA PKCS#1 v1.5 (or OAEP) with CryptoAPI's byte order: ciphertexts are
// least significant byte first. The exponent-one key pads and unpads here,
// without OpenSSL's RSA operation (it is the identity).
// Both results are SecureBytes: the identity key's "ciphertext" is its
// padded plaintext.
CspStatus RsaEncryptLittleEndian(const CAsymmetricKey& key, const BYTE* pt, size_t n, bool bOaep, SecureBytes* out);
CspStatus RsaDecryptLittleEndian(const CAsymmetricKey& key, const BYTE* ct, size_t n, bool bOaep, SecureBytes* out);

class CRsaProvider : public CCspProvider {
public:
    CRsaProvider(const CspProviderInfo& info, std::u16string family, bool bToken);

    bool VerifyContextOpensContainer() const override { return m_bToken; }
    bool CertificateMustMatchKey() const override { return m_bToken; }

    CspStatus SetProvParam(CCspContext& ctx, DWORD dwParam, const BYTE* pbData, DWORD dwFlags) override;
    CspStatus GenKey(const ContextPtr& ctx, ALG_ID algid, DWORD dwFlags, KeyPtr* out) override;
    CspStatus ExportKey(CCspKey& key, CCspKey* expKey, DWORD dwBlobType, DWORD dwFlags, BYTE* pbData,
                        DWORD* pdwDataLen) override;
    CspStatus ImportKey(const ContextPtr& ctx, const BYTE* pbData, DWORD dwDataLen, CCspKey* pubKey, DWORD dwFlags,
                        KeyPtr* out) override;
    CspStatus Encrypt(CCspKey& key, CCspHash* hash, BOOL bFinal, DWORD dwFlags, BYTE* pbData, DWORD* pdwDataLen,
                      DWORD dwBufLen) override;
    CspStatus Decrypt(CCspKey& key, CCspHash* hash, BOOL bFinal, DWORD dwFlags, BYTE* pbData,
                      DWORD* pdwDataLen) override;
    CspStatus SignHash(CCspHash& hash, DWORD dwKeySpec, DWORD dwFlags, BYTE* pbSignature, DWORD* pdwSigLen) override;
    CspStatus VerifySignature(CCspHash& hash, const BYTE* pbSignature, DWORD dwSigLen, CCspKey& pubKey,
                              DWORD dwFlags) override;
    CspStatus SignPadded(CCspKey& key, const CspPadding& pad, const BYTE* pbHash, DWORD cbHash, BYTE* pbSignature,
                         DWORD* pcbSignature) override;
    CspStatus DecryptPadded(CCspKey& key, const CspPadding& pad, const BYTE* pbInput, DWORD cbInput,
                            BYTE* pbOutput, DWORD* pcbOutput) override;
    CspStatus ExportPublicKeyInfo(const ContextPtr& ctx, DWORD dwKeySpec, std::string* oid,
                                  std::vector<BYTE>* params, std::vector<BYTE>* keyBits) override;
    CspStatus ImportPublicKeyInfo(const ContextPtr& ctx, const CERT_PUBLIC_KEY_INFO& info, KeyPtr* out) override;
    CspStatus DecodeKeyPair(const ContextPtr& ctx, const CContainerKeyRecord& rec,
                            std::shared_ptr<CAsymmetricKey>* out) override;
    std::shared_ptr<CAsymmetricKey> StoredKeyPair(const ContextPtr& ctx, const CContainerKeyRecord& rec) override;

protected:
    // The key pair a padded operation runs on: a container's user key is read
    // from the container again, so a deleted container fails the operation.
    CspStatus CurrentPair(CCspKey& key, std::shared_ptr<CAsymmetricKey>* out);
    CspStatus ImportRsaBlob(const ContextPtr& ctx, const BYTE* pb, DWORD len, DWORD dwFlags, KeyPtr* out);
    CspStatus ImportSessionKey(const ContextPtr& ctx, ALG_ID alg, const BYTE* key, size_t n, DWORD dwFlags,
                               KeyPtr* out);

    bool m_bToken;
};

class CRsaTokenProvider : public CRsaProvider {
public:
    explicit CRsaTokenProvider(const CspProviderInfo& info) : CRsaProvider(info, CSP_FAMILY_RSA_TOKEN, true) {}
    // Adds the vendor envelope blob to the ordinary RSA imports.
    CspStatus ImportKey(const ContextPtr& ctx, const BYTE* pbData, DWORD dwDataLen, CCspKey* pubKey, DWORD dwFlags,
                        KeyPtr* out) override;
};

}  // namespace tessaro::csp
