// The objects behind the CryptoAPI handles (contexts, keys, hashes) and the
// handle tables that find them.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/csp/CspCommon.h"
#include "platform/csp/CspContainerStore.h"

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

// One acquired context (HCRYPTPROV). Reference-counted by CryptContextAddRef /
// CryptReleaseContext; keys and hashes keep their context alive but fail with
// NTE_BAD_UID once it has been released.
class CCspContext {
public:
    CCspContext(ProviderPtr provider, std::u16string container, bool bHasContainer);
    ~CCspContext();

    CCspProvider& Provider() const { return *m_provider; }
    // True when the context is bound to a persistent container.
    bool HasContainer() const { return m_bHasContainer; }
    const std::u16string& ContainerName() const { return m_container; }

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
        SecureBytes stored;
        ALG_ID aiKeyAlg = 0;
        std::shared_ptr<CAsymmetricKey> key;
    };
    CachedPair m_pairCache[3];

    // The container's key records as read when the context was acquired, and
    // the registry's local version before that read. CryptGetUserKey takes
    // the pair from them while this process has changed nothing since, as
    // Windows' software providers load a container when it is opened.
    std::optional<uint64_t> m_recordsReadAt;
    CContainerRecords m_records;

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

// KP_PERMISSIONS of a key made or imported with these flags: everything but
// CRYPT_EXPORT, which CRYPT_EXPORTABLE adds.
DWORD CspDefaultPermissions(DWORD dwFlags);

// A container's key pair as it is stored, made into OpenSSL keys only when an
// operation needs them: the public half for public operations, the whole pair
// for private ones. Reading a container's certificate or public key then never
// decodes its private key. The provider checks the stored form as far as
// decoding it would check it before it makes one, so a damaged record still
// fails where it always did. Shared by the clones of a key; each half is made
// once.
class CStoredKeyMaterial {
public:
    virtual ~CStoredKeyMaterial() = default;
    // Null when the half cannot be made (no memory).
    EVP_PKEY* Public() const;
    EVP_PKEY* Pair() const;
    virtual DWORD BitLength() const = 0;

protected:
    virtual EvpPkeyPtr MakePublic() const = 0;
    virtual EvpPkeyPtr MakePair() const = 0;

private:
    mutable std::mutex m_mutex;
    mutable EvpPkeyPtr m_public, m_pair;
};

class CAsymmetricKey : public CCspKey {
public:
    CAsymmetricKey(ContextPtr ctx, ALG_ID algid, EvpPkeyPtr pkey, bool bPrivate);
    // A key pair made from its stored form when first used.
    CAsymmetricKey(ContextPtr ctx, ALG_ID algid, std::shared_ptr<const CStoredKeyMaterial> stored);
    KeyPtr Clone() const override;
    bool IsSymmetric() const override { return false; }
    DWORD BitLength() const override;

    // The whole key (for a pair: its private operations) and the part that
    // public operations need; either is null only when memory ran out.
    EVP_PKEY* Pkey() const { return m_stored ? m_stored->Pair() : m_pkey.get(); }
    EVP_PKEY* PublicPkey() const { return m_stored ? m_stored->Public() : m_pkey.get(); }
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
    // For a pair read from its container: the certificate stored with it and
    // the registry's local version before that read. KP_CERTIFICATE answers
    // from it while this process has changed nothing since: the certificate
    // kept with the handle's own key, without reading the container again.
    std::vector<BYTE> m_containerCertificate;
    std::optional<uint64_t> m_containerReadAt;

private:
    std::shared_ptr<EVP_PKEY> m_pkey;  // shared between clones; never changed after creation
    std::shared_ptr<const CStoredKeyMaterial> m_stored;  // instead of m_pkey, for a stored pair
    bool m_bPrivate;
};

class CSymmetricKey : public CCspKey {
public:
    // key: the key as given (8, 16, 24, 32 bytes).
    CSymmetricKey(ContextPtr ctx, ALG_ID algid, const BYTE* key, size_t len);
    KeyPtr Clone() const override;
    bool IsSymmetric() const override { return true; }
    DWORD BitLength() const override;  // KP_KEYLEN: 64, 128, 192 for DES, 3DES-112, 3DES; AES 128..256
    DWORD BlockBytes() const;

    SecureBytes m_key;             // as given (8, 16, 24, 32 bytes)
    DWORD m_dwMode = CRYPT_MODE_CBC;
    DWORD m_dwPadding = PKCS5_PADDING;
    std::vector<BYTE> m_iv;        // KP_IV, zero by default
    SecureBytes m_chain;           // CBC chaining between non-final calls
    bool m_bInMessage = false;     // a non-final call has been made
};

// Key length in bytes of a session-key algorithm; 0 for any other.
size_t CspSessionKeyBytes(ALG_ID algid);
// DES keys carry odd parity in the low bit of each byte, as CryptoAPI makes
// them; keys of other algorithms are left as they are.
void CspSetDesParity(ALG_ID algid, SecureBytes& key);

// A hash object (HCRYPTHASH). The default implementation digests with an
// OpenSSL EVP_MD; a provider may derive (an SM2 signer that needs the whole
// message) and override Update/Finish.
class CCspHash {
public:
    CCspHash(ContextPtr ctx, ALG_ID algid, const EVP_MD* md);
    virtual ~CCspHash() = default;
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
    tessaro::UniquePtr<EVP_MD_CTX> m_mdctx;
    bool m_bFinished = false;
    std::vector<BYTE> m_value;
};

// The digest of a CryptoAPI hash algorithm; null for one OpenSSL is not
// asked for here.
const EVP_MD* CspDigestOf(ALG_ID algid);

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

}  // namespace tessaro::csp
