// The provider framework behind the advapi32 CryptoAPI calls.
//
// CryptAcquireContextW looks the provider name up in the machine registry
// (HKLM\SOFTWARE\Microsoft\Cryptography\Defaults\Provider\<name>, values
// "Type" and "Image Path"), builds the provider object that the registration's
// "Image Path" names (the CSP_IMAGE_* values) and asks it for a context.
// Every other call finds its object through the handle tables (handles are
// opaque serial numbers, never pointers), checks the handle, and calls the
// provider's virtual method. Each method returns ERROR_SUCCESS or the code the
// CryptoAPI call leaves as the thread's last error (NTE_* HRESULTs are stored
// as DWORDs, as Windows does); the Crypt* entry points do the SetLastError.
//
// A provider that fails must leave every container as it was: validate
// everything first, then write (one registry value per key, one transaction).
//
// Writing a provider (the SM2 token provider is one):
//   - derive from CCspProvider, give the algorithm table and the container
//     family (namespace) to the constructor, override the key methods
//     (GenKey, ImportKey, ExportKey, SignHash, ...) and, where needed,
//     CreateHash / ExportPublicKeyInfo / ImportPublicKeyInfo;
//   - keep key pairs in CAsymmetricKey (any EVP_PKEY) and persist them with
//     SaveKeyPair(); read them back with LoadKeyPair();
//   - provide the factory function declared in CspRegistry.h in its own .cpp,
//     and declare it again in a header of the agreed name (Sm2Provider.h) so
//     that CspRegistry.cpp can find it.
//
// The parts: CspCommon.h (status codes, out buffers, names), CspObjects.h
// (contexts, keys, hashes, handle tables), CspContainerStore.h (persistent
// containers), CspRegistry.h (registrations, factories), CspBlob.h (key blob
// fields). The framework's methods live one concern a file: CspContext.cpp,
// CspAlgorithms.cpp, CspKeys.cpp, CspKeyPersistence.cpp, CspKeyParams.cpp,
// CspCipher.cpp, CspHash.cpp.
#pragma once

#include <string>
#include <vector>

#include "platform/csp/CspCommon.h"
#include "platform/csp/CspContainerStore.h"
#include "platform/csp/CspObjects.h"
#include "platform/csp/CspRegistry.h"

namespace tessaro::csp {

// A PROV_ENUMALGS_EX entry of a provider's algorithm table.
PROV_ENUMALGS_EX CspAlgorithm(ALG_ID algid, DWORD dwDefaultLen, DWORD dwMinLen, DWORD dwMaxLen, DWORD dwProtocols,
                              const char* name, const char* longName);

// Generation flags every provider accepts (CryptGenKey's low word).
constexpr DWORD kCspKnownGenKeyFlags = CRYPT_EXPORTABLE | CRYPT_USER_PROTECTED | CRYPT_CREATE_SALT | CRYPT_UPDATE_KEY |
                                       CRYPT_NO_SALT | CRYPT_PREGEN | CRYPT_ARCHIVABLE |
                                       CRYPT_FORCE_KEY_PROTECTION_HIGH;

// The padding of a CNG-style private operation (CryptSignHashPadded,
// CryptDecryptPadded) as the entry point read it.
struct CspPadding {
    DWORD scheme = 0;         // BCRYPT_PAD_PKCS1, BCRYPT_PAD_PSS or BCRYPT_PAD_OAEP
    ALG_ID hashAlg = 0;       // the hash (PSS: also MGF1's); 0: PKCS#1 over the caller's DigestInfo
    DWORD saltBytes = 0;      // PSS
    std::vector<BYTE> label;  // OAEP
};

// ---- The provider interface ----------------------------------------------
//
// One method per call. Handles are already resolved and checked (non-null,
// right kind, context not released); out pointers that the call requires are
// checked by the entry points too, except the variable-length buffers, which
// methods fill with CspCopyOut.
class CCspProvider : public std::enable_shared_from_this<CCspProvider> {
public:
    CCspProvider(CspProviderInfo info, std::u16string family, std::vector<PROV_ENUMALGS_EX> algs);
    virtual ~CCspProvider() = default;

    const std::u16string& Name() const { return m_info.name; }
    // The table entry of an algorithm, or null when the provider lacks it.
    const PROV_ENUMALGS_EX* FindAlgorithm(ALG_ID algid) const;

    // -- contexts
    // Opens, creates (CRYPT_NEWKEYSET) or deletes (CRYPT_DELETEKEYSET, *out
    // left null) a container, or makes a verify context. pszContainer may be
    // null (the default container: the user's login name).
    virtual CspStatus AcquireContext(LPCWSTR pszContainer, DWORD dwFlags, ContextPtr* out);
    // True when CRYPT_VERIFYCONTEXT with a container name opens that container
    // (token providers); Microsoft's refuse the combination (NTE_BAD_FLAGS).
    virtual bool VerifyContextOpensContainer() const { return false; }
    // Extra flag values that delete a container (the SM2 provider's 0xFFFF0002).
    virtual bool IsDeleteFlags(DWORD dwFlags) const {
        return (dwFlags & ~static_cast<DWORD>(CRYPT_SILENT)) == CRYPT_DELETEKEYSET;
    }

    virtual CspStatus GetProvParam(CCspContext& ctx, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen, DWORD dwFlags);
    virtual CspStatus SetProvParam(CCspContext& ctx, DWORD dwParam, const BYTE* pbData, DWORD dwFlags);
    virtual CspStatus GenRandom(CCspContext& ctx, DWORD dwLen, BYTE* pbBuffer);

    // -- keys
    virtual CspStatus GenKey(const ContextPtr& ctx, ALG_ID algid, DWORD dwFlags, KeyPtr* out);
    // The container's key pair of that spec (NTE_NO_KEY when there is none).
    virtual CspStatus GetUserKey(const ContextPtr& ctx, DWORD dwKeySpec, KeyPtr* out);
    virtual CspStatus ExportKey(CCspKey& key, CCspKey* expKey, DWORD dwBlobType, DWORD dwFlags, BYTE* pbData,
                                DWORD* pdwDataLen);
    virtual CspStatus ImportKey(const ContextPtr& ctx, const BYTE* pbData, DWORD dwDataLen, CCspKey* pubKey,
                                DWORD dwFlags, KeyPtr* out);
    virtual CspStatus GetKeyParam(CCspKey& key, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen, DWORD dwFlags);
    virtual CspStatus SetKeyParam(CCspKey& key, DWORD dwParam, const BYTE* pbData, DWORD dwFlags);
    virtual CspStatus Encrypt(CCspKey& key, CCspHash* hash, BOOL bFinal, DWORD dwFlags, BYTE* pbData,
                              DWORD* pdwDataLen, DWORD dwBufLen);
    virtual CspStatus Decrypt(CCspKey& key, CCspHash* hash, BOOL bFinal, DWORD dwFlags, BYTE* pbData,
                              DWORD* pdwDataLen);

    // -- hashes
    virtual CspStatus CreateHash(const ContextPtr& ctx, ALG_ID algid, CCspKey* key, DWORD dwFlags, HashPtr* out);
    virtual CspStatus GetHashParam(CCspHash& hash, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen, DWORD dwFlags);
    virtual CspStatus SetHashParam(CCspHash& hash, DWORD dwParam, const BYTE* pbData, DWORD dwFlags);
    virtual CspStatus SignHash(CCspHash& hash, DWORD dwKeySpec, DWORD dwFlags, BYTE* pbSignature,
                               DWORD* pdwSigLen);
    virtual CspStatus VerifySignature(CCspHash& hash, const BYTE* pbSignature, DWORD dwSigLen, CCspKey& pubKey,
                                      DWORD dwFlags);

    // -- the key pair's private operation with CNG's paddings; providers
    // without it answer NTE_NOT_SUPPORTED
    virtual CspStatus SignPadded(CCspKey& key, const CspPadding& pad, const BYTE* pbHash, DWORD cbHash,
                                 BYTE* pbSignature, DWORD* pcbSignature);
    virtual CspStatus DecryptPadded(CCspKey& key, const CspPadding& pad, const BYTE* pbInput, DWORD cbInput,
                                    BYTE* pbOutput, DWORD* pcbOutput);

    // -- public key info (CryptExportPublicKeyInfo / CryptImportPublicKeyInfo)
    // The parts of a SubjectPublicKeyInfo for the user key of that spec.
    virtual CspStatus ExportPublicKeyInfo(const ContextPtr& ctx, DWORD dwKeySpec, std::string* oid,
                                          std::vector<BYTE>* params, std::vector<BYTE>* keyBits);
    virtual CspStatus ImportPublicKeyInfo(const ContextPtr& ctx, const CERT_PUBLIC_KEY_INFO& info, KeyPtr* out);

    // -- helpers for derived providers
    // The user key pair of the context: verify-context memory or container.
    // Decoding of the stored record is DecodeKeyPair's job.
    CspStatus LoadKeyPair(const ContextPtr& ctx, DWORD dwKeySpec, std::shared_ptr<CAsymmetricKey>* out);
    // The same pair in its stored form where the provider keeps one
    // (StoredKeyPair), for handles and public operations: its private key is
    // decoded only if an operation needs it. Fails where LoadKeyPair fails.
    CspStatus OpenKeyPair(const ContextPtr& ctx, DWORD dwKeySpec, std::shared_ptr<CAsymmetricKey>* out);
    // Makes a key pair the context's user key of that spec: persisted in the
    // container (replacing an earlier one and its certificate) or kept in the
    // verify context.
    CspStatus SaveKeyPair(const ContextPtr& ctx, DWORD dwKeySpec, const std::shared_ptr<CAsymmetricKey>& key);
    // Serialization of key pairs for the container (RSA: PKCS#1 DER).
    virtual CspStatus EncodeKeyPair(const CAsymmetricKey& key, SecureBytes* out);
    virtual CspStatus DecodeKeyPair(const ContextPtr& ctx, const CContainerKeyRecord& rec,
                                    std::shared_ptr<CAsymmetricKey>* out);
    // A key over the record's stored form (CStoredKeyMaterial), when the
    // record is one that DecodeKeyPair certainly accepts; null for any other,
    // which is then decoded at once, so that it fails as it always did.
    virtual std::shared_ptr<CAsymmetricKey> StoredKeyPair(const ContextPtr& ctx, const CContainerKeyRecord& rec);
    // KP_CERTIFICATE: checks the certificate against the key (vendor
    // providers refuse another key's certificate with NTE_BAD_PUBLIC_KEY).
    virtual bool CertificateMustMatchKey() const { return true; }
    // True when the DER certificate carries this key's public key.
    virtual bool KeyMatchesCertificate(const CAsymmetricKey& key, const BYTE* cert, size_t len) const;

protected:
    // PP_ENUMALGS and PP_ENUMALGS_EX: the algorithm table through the
    // context's cursors.
    CspStatus EnumAlgorithms(CCspContext& ctx, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen, DWORD dwFlags);
    // PP_ENUMCONTAINERS: the containers (ListContainers) through the context's cursor.
    CspStatus EnumContainers(CCspContext& ctx, BYTE* pbData, DWORD* pdwDataLen, DWORD dwFlags);
    // The provider's container names: the family's in the prefix, or those a
    // provider keeps elsewhere (on a token).
    virtual CspStatus ListContainers(std::vector<std::u16string>* out);

    CspProviderInfo m_info;
    CKeyContainerStore m_store;
    std::vector<PROV_ENUMALGS_EX> m_algs;

private:
    // LoadKeyPair, or with bStoredForm OpenKeyPair; bAsAcquired (for
    // CryptGetUserKey) takes the record the context's acquire read while it
    // is still this process's latest view.
    CspStatus ReadKeyPair(const ContextPtr& ctx, DWORD dwKeySpec, bool bStoredForm, bool bAsAcquired,
                          std::shared_ptr<CAsymmetricKey>* out);
};

}  // namespace tessaro::csp
