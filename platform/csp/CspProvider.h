// The provider framework behind the advapi32 CryptoAPI calls.
//
// CryptAcquireContextW looks the provider name up in the machine registry
// (HKLM\SOFTWARE\Microsoft\Cryptography\Defaults\Provider\<name>, values
// "Type" and "Image Path"), builds the provider object that the registration's
// "Image Path" names (see CspImageName* below) and asks it for a context.
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
//   - provide the factory function declared at the end of this file in its
//     own .cpp, and declare it again in a header of the agreed name
//     (Sm2Provider.h) so that CspRegistry.cpp can find it.
#pragma once

#include <openssl/evp.h>

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "win/windows.h"
#include "win/wincrypt.h"

namespace tessaro::csp {

class CCspProvider;
class CCspContext;
class CCspKey;
class CAsymmetricKey;
class CCspHash;

using ContextPtr = std::shared_ptr<CCspContext>;
using KeyPtr = std::shared_ptr<CCspKey>;
using HashPtr = std::shared_ptr<CCspHash>;
using ProviderPtr = std::shared_ptr<CCspProvider>;

// Result of every framework routine: ERROR_SUCCESS or the last-error value.
using CspStatus = DWORD;
constexpr CspStatus CSP_OK = ERROR_SUCCESS;
inline CspStatus CspCode(HRESULT hr) { return static_cast<DWORD>(hr); }

// Owning OpenSSL key pointer (named apart from the SM2 helpers' own alias).
struct CspPkeyFree {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
using CspPkeyPtr = std::unique_ptr<EVP_PKEY, CspPkeyFree>;

// Wipes a buffer that held key material (OPENSSL_cleanse) and empties it.
void CspWipe(std::vector<BYTE>& v);

// Copies a variable-length result to a CryptoAPI out buffer: pb null is a
// size query (TRUE, *pcb = size); a short buffer is ERROR_MORE_DATA with
// *pcb = size; pcb null is ERROR_INVALID_PARAMETER.
CspStatus CspCopyOut(const void* src, DWORD cbSrc, BYTE* pb, DWORD* pcb);

// Byte-order reversal of CryptoAPI's little-endian numbers.
void CspReverse(BYTE* p, size_t n);

// "Image Path" values of the built-in implementations.
#define CSP_IMAGE_RSA_BASE u"tessaro:rsabase"
#define CSP_IMAGE_RSA_ENHANCED u"tessaro:rsaenh"
#define CSP_IMAGE_RSA_STRONG u"tessaro:rsastrong"
#define CSP_IMAGE_RSA_AES u"tessaro:rsaaes"
#define CSP_IMAGE_RSA_TOKEN u"tessaro:rsatoken"
#define CSP_IMAGE_SM2_TOKEN u"tessaro:sm2token"

// Names registered in a new prefix for the vendor providers.
#define CSP_VENDOR_RSA_NAME u"Tessaro RSA Token CSP v1.0"
#define CSP_VENDOR_SM2_NAME u"Tessaro SM2 Token CSP v1.0"

// Container namespaces ("families") in HKCU\Software\Tessaro\Crypto\Keys.
#define CSP_FAMILY_MICROSOFT_RSA u"RSA"
#define CSP_FAMILY_RSA_TOKEN u"RsaToken"
#define CSP_FAMILY_SM2_TOKEN u"Sm2Token"

// Names of 260 UTF-16 units or more are refused, never truncated.
constexpr size_t kCspMaxNameChars = 259;

// ---- Registration --------------------------------------------------------

struct CspProviderInfo {
    std::u16string name;       // as registered
    DWORD dwType = 0;          // "Type"
    std::u16string imagePath;  // "Image Path"
};

// Registers the built-in providers once per prefix (a marker value records it;
// a registration removed later is not added again; a machine hive that cannot
// be written is left alone).
void CspEnsureBuiltinRegistration();

// Reads a registration; NTE_KEYSET_NOT_DEF when the name is not registered
// (or is 260 units or longer), NTE_PROV_TYPE_NOT_DEF when a null name has no
// default provider for the type.
CspStatus CspLookupProvider(LPCWSTR pszName, DWORD dwProvType, CspProviderInfo* out);

// Builds the provider object for a registration; NTE_PROV_DLL_NOT_FOUND when
// the "Image Path" names no implementation of this build.
CspStatus CspCreateProvider(const CspProviderInfo& info, ProviderPtr* out);

// The dwIndex-th registration with a usable name and type (registry order);
// ERROR_NO_MORE_ITEMS past the end.
CspStatus CspEnumRegistered(DWORD dwIndex, std::u16string* name, DWORD* type);

// ---- Persistent key containers -------------------------------------------
//
// HKCU\Software\Tessaro\Crypto\Keys\<family>\<container>, one binary value per
// key spec ("Exchange", "Signature") holding a CContainerKeyRecord, so that
// a key and its certificate change in one registry transaction. Container
// names compare case-insensitively (as registry key names do); '\' and '%'
// are escaped in the key name.

struct CContainerKeyRecord {
    ALG_ID aiKeyAlg = 0;             // CALG_RSA_KEYX, CALG_RSA_SIGN, CALG_SM2_KEYX, ...
    DWORD dwFlags = 0;               // creation flags: CRYPT_EXPORTABLE, CRYPT_ARCHIVABLE, ...
    DWORD dwBitLen = 0;              // key length in bits
    std::vector<BYTE> privateKey;    // provider's serialization (RSA: PKCS#1 DER)
    std::vector<BYTE> certificate;   // KP_CERTIFICATE, DER; empty when none
    CContainerKeyRecord() = default;
    CContainerKeyRecord(const CContainerKeyRecord&) = default;
    CContainerKeyRecord& operator=(const CContainerKeyRecord&) = default;
    ~CContainerKeyRecord();          // wipes privateKey

    std::vector<BYTE> Serialize() const;
    // NTE_KEYSET_ENTRY_BAD for a damaged record.
    CspStatus Parse(const BYTE* p, size_t n);
};

class CKeyContainerStore {
public:
    explicit CKeyContainerStore(std::u16string family) : m_family(std::move(family)) {}
    const std::u16string& Family() const { return m_family; }

    // NTE_BAD_KEYSET_PARAM for an empty name, one of 260 units or more, or one
    // that does not fit a registry key name.
    static CspStatus CheckName(const std::u16string& name);

    // Atomic across processes: NTE_EXISTS when the container is already there.
    CspStatus Create(const std::u16string& name) const;
    // NTE_BAD_KEYSET when missing.
    CspStatus Exists(const std::u16string& name) const;
    CspStatus Delete(const std::u16string& name) const;
    // Names as created (long or unreadable names are skipped).
    CspStatus List(std::vector<std::u16string>* names) const;

    // NTE_NO_KEY when the container has no key of that spec,
    // NTE_BAD_KEYSET when the container itself is gone.
    CspStatus ReadKey(const std::u16string& name, DWORD dwKeySpec, CContainerKeyRecord* out) const;
    // Replaces the key of that spec (NTE_BAD_KEYSET when the container is gone).
    CspStatus WriteKey(const std::u16string& name, DWORD dwKeySpec, const CContainerKeyRecord& rec) const;

private:
    std::u16string m_family;
};

// ---- Objects behind the handles ------------------------------------------

// One acquired context (HCRYPTPROV). Reference-counted by CryptContextAddRef /
// CryptReleaseContext; keys and hashes keep their context alive but fail with
// NTE_BAD_UID once it has been released.
class CCspContext {
public:
    CCspContext(ProviderPtr provider, std::u16string container, bool bHasContainer, bool bVerify, DWORD dwFlags);
    ~CCspContext();

    CCspProvider& Provider() const { return *m_provider; }
    const ProviderPtr& ProviderShared() const { return m_provider; }
    // True when the context is bound to a persistent container.
    bool HasContainer() const { return m_bHasContainer; }
    bool IsVerifyContext() const { return m_bVerify; }
    const std::u16string& ContainerName() const { return m_container; }
    DWORD AcquireFlags() const { return m_dwFlags; }

    bool Released() const { return m_bReleased; }
    // Drops what the context holds: its keys point back at it.
    void MarkReleased();
    DWORD m_dwRefs = 1;

    // Key pairs of a context without container (CRYPT_VERIFYCONTEXT): they
    // live as long as the context. Index = key spec (1 or 2).
    KeyPtr m_ephemeral[3];

    // The last key pair decoded per key spec, with the stored bytes it came
    // from: a later load of the same bytes reuses it (and OpenSSL's
    // precomputation) instead of decoding again. Filled by LoadKeyPair.
    struct CachedPair {
        std::vector<BYTE> stored;  // wiped when dropped
        ALG_ID aiKeyAlg = 0;
        std::shared_ptr<CAsymmetricKey> key;
    };
    CachedPair m_pairCache[3];

    // Enumeration cursors of CryptGetProvParam.
    std::vector<std::u16string> m_enumContainers;
    bool m_bEnumContainersStarted = false;
    size_t m_enumContainerPos = 0;
    size_t m_enumAlgPos = 0;      // PP_ENUMALGS
    size_t m_enumAlgExPos = 0;    // PP_ENUMALGS_EX

private:
    ProviderPtr m_provider;
    std::u16string m_container;
    bool m_bHasContainer;
    bool m_bVerify;
    DWORD m_dwFlags;
    bool m_bReleased = false;
};

// A key (HCRYPTKEY): a key pair or public key (CAsymmetricKey), or a session
// key (CSymmetricKey). Each handle owns its own object; CryptDuplicateKey
// clones it.
class CCspKey {
public:
    CCspKey(ContextPtr ctx, ALG_ID algid) : m_ctx(std::move(ctx)), m_algid(algid) {}
    virtual ~CCspKey() = default;
    virtual KeyPtr Clone() const = 0;
    virtual bool IsSymmetric() const = 0;
    virtual DWORD BitLength() const = 0;

    const ContextPtr& Context() const { return m_ctx; }
    ALG_ID AlgId() const { return m_algid; }

    DWORD m_dwFlags = 0;        // CRYPT_EXPORTABLE etc. as created or imported
    DWORD m_dwPermissions = 0;  // KP_PERMISSIONS

protected:
    ContextPtr m_ctx;
    ALG_ID m_algid;
};

class CAsymmetricKey : public CCspKey {
public:
    CAsymmetricKey(ContextPtr ctx, ALG_ID algid, CspPkeyPtr pkey, bool bPrivate);
    KeyPtr Clone() const override;
    bool IsSymmetric() const override { return false; }
    DWORD BitLength() const override;

    EVP_PKEY* Pkey() const { return m_pkey.get(); }
    bool HasPrivate() const { return m_bPrivate; }

    // Key spec (AT_KEYEXCHANGE / AT_SIGNATURE) when the pair is the context's
    // user key (persisted in its container or held by a verify context);
    // 0 for imported public keys.
    DWORD m_dwKeySpec = 0;
    // An RSA key whose exponents are all 1 (the identity "exponent-one" key):
    // OpenSSL is never asked to use it; its operations are plain byte layouts.
    bool m_bIdentity = false;
    // Certificate of a key that does not live in a container (KP_CERTIFICATE).
    std::vector<BYTE> m_certificate;

private:
    std::shared_ptr<EVP_PKEY> m_pkey;  // shared between clones; never changed after creation
    bool m_bPrivate;
};

class CSymmetricKey : public CCspKey {
public:
    // keyBytes: the full key (24 bytes for every DES flavour, expanded).
    CSymmetricKey(ContextPtr ctx, ALG_ID algid, const BYTE* key, size_t len);
    ~CSymmetricKey() override;
    KeyPtr Clone() const override;
    bool IsSymmetric() const override { return true; }
    DWORD BitLength() const override;  // KP_KEYLEN: 64, 128, 192 for DES, 3DES-112, 3DES; AES 128..256
    DWORD BlockBytes() const;

    std::vector<BYTE> m_key;       // as given (8, 16, 24, 32 bytes)
    DWORD m_dwMode = CRYPT_MODE_CBC;
    DWORD m_dwPadding = PKCS5_PADDING;
    std::vector<BYTE> m_iv;        // KP_IV, zero by default
    std::vector<BYTE> m_chain;     // CBC chaining between non-final calls
    bool m_bInMessage = false;     // a non-final call has been made
    std::vector<BYTE> m_pendingDecrypt;  // last block held back by non-final decryption
};

// A hash object (HCRYPTHASH). The default implementation digests with an
// OpenSSL EVP_MD; a provider may derive (an SM2 signer that needs the whole
// message) and override Update/Finish.
class CCspHash {
public:
    CCspHash(ContextPtr ctx, ALG_ID algid, const EVP_MD* md);
    virtual ~CCspHash();
    const ContextPtr& Context() const { return m_ctx; }
    ALG_ID AlgId() const { return m_algid; }
    virtual DWORD HashSize() const;
    virtual CspStatus Update(const BYTE* p, size_t n);
    // Completes the digest (once); afterwards Update fails NTE_BAD_HASH_STATE.
    virtual CspStatus Finish();
    // HP_HASHVAL set by the caller: the value replaces the digest.
    virtual CspStatus SetValue(const BYTE* p);
    bool Finished() const { return m_bFinished; }
    const std::vector<BYTE>& Value() const { return m_value; }

protected:
    ContextPtr m_ctx;
    ALG_ID m_algid;
    EVP_MD_CTX* m_mdctx = nullptr;
    bool m_bFinished = false;
    std::vector<BYTE> m_value;
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

    const CspProviderInfo& Info() const { return m_info; }
    const std::u16string& Name() const { return m_info.name; }
    const CKeyContainerStore& Store() const { return m_store; }
    const std::vector<PROV_ENUMALGS_EX>& Algorithms() const { return m_algs; }
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

    // -- public key info (CryptExportPublicKeyInfo / CryptImportPublicKeyInfo)
    // The parts of a SubjectPublicKeyInfo for the user key of that spec.
    virtual CspStatus ExportPublicKeyInfo(const ContextPtr& ctx, DWORD dwKeySpec, std::string* oid,
                                          std::vector<BYTE>* params, std::vector<BYTE>* keyBits);
    virtual CspStatus ImportPublicKeyInfo(const ContextPtr& ctx, const CERT_PUBLIC_KEY_INFO& info, KeyPtr* out);

    // -- helpers for derived providers
    // The user key pair of the context: verify-context memory or container.
    // Decoding of the stored record is DecodeKeyPair's job.
    CspStatus LoadKeyPair(const ContextPtr& ctx, DWORD dwKeySpec, std::shared_ptr<CAsymmetricKey>* out);
    // Makes a key pair the context's user key of that spec: persisted in the
    // container (replacing an earlier one and its certificate) or kept in the
    // verify context.
    CspStatus SaveKeyPair(const ContextPtr& ctx, DWORD dwKeySpec, const std::shared_ptr<CAsymmetricKey>& key);
    // Serialization of key pairs for the container (RSA: PKCS#1 DER).
    virtual CspStatus EncodeKeyPair(const CAsymmetricKey& key, std::vector<BYTE>* out);
    virtual CspStatus DecodeKeyPair(const ContextPtr& ctx, const CContainerKeyRecord& rec,
                                    std::shared_ptr<CAsymmetricKey>* out);
    // KP_CERTIFICATE: checks the certificate against the key (vendor
    // providers refuse another key's certificate with NTE_BAD_PUBLIC_KEY).
    virtual bool CertificateMustMatchKey() const { return true; }
    // True when the DER certificate carries this key's public key.
    virtual bool KeyMatchesCertificate(const CAsymmetricKey& key, const BYTE* cert, size_t len) const;

protected:
    CspProviderInfo m_info;
    CKeyContainerStore m_store;
    std::vector<PROV_ENUMALGS_EX> m_algs;
};

// ---- Handle tables ---------------------------------------------------------
//
// Handles are serial numbers tagged with their kind; a serial is never reused,
// so a stale handle stays invalid. Lookups of null handles, stale ones or
// handles of another kind return null.
HCRYPTPROV CspAddContext(const ContextPtr& ctx);
ContextPtr CspFindContext(HCRYPTPROV h);
bool CspRemoveContext(HCRYPTPROV h);
HCRYPTKEY CspAddKey(const KeyPtr& key);
KeyPtr CspFindKey(HCRYPTKEY h);
bool CspRemoveKey(HCRYPTKEY h);
HCRYPTHASH CspAddHash(const HashPtr& hash);
HashPtr CspFindHash(HCRYPTHASH h);
bool CspRemoveHash(HCRYPTHASH h);

// ---- Factories of the built-in providers ---------------------------------
ProviderPtr CreateMicrosoftRsaProvider(const CspProviderInfo& info);  // by info.imagePath
ProviderPtr CreateRsaTokenProvider(const CspProviderInfo& info);
// Supplied by Sm2Provider.cpp (declared again in Sm2Provider.h).
ProviderPtr CreateSm2TokenProvider(const CspProviderInfo& info);

}  // namespace tessaro::csp
