// Internal structures of the certificate stores and contexts: the decoded
// certificate shared by every context made from the same bytes, the context
// object handed out as a CERT_CONTEXT, and the store object behind HCERTSTORE.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include "platform/base/Der.h"
#include "win/windows.h"

namespace crypt32 {

using Bytes = std::vector<BYTE>;

// ---- DER reading ----------------------------------------------------------
// The platform's reader (platform/base/Der.h); failures become CryptoAPI's
// ASN.1 codes.
namespace der = tessaro::der;
using der::Element;

// CRYPT_E_ASN1_EOD when the data ends early, CRYPT_E_ASN1_BADTAG for another
// tag, CRYPT_E_ASN1_LARGE for more than four length octets,
// CRYPT_E_ASN1_CORRUPT for any other malformation; S_OK for none.
HRESULT Asn1Code(der::Error e);
inline HRESULT Asn1Code(const der::Reader& r) { return Asn1Code(r.error()); }
// Dotted text of an OBJECT IDENTIFIER element; false when malformed.
bool DecodeOid(const Element& oid, std::string& out);
// UTCTime or GeneralizedTime to FILETIME; false when malformed or before 1601.
bool DecodeTime(const Element& t, FILETIME& ft);

// ---- The decoded certificate ---------------------------------------------
struct CertData {
    Bytes der;
    CERT_INFO info{};
    Bytes serialLE;
    std::string sigOid;
    std::string spkiOid;
    std::vector<std::string> extOids;
    std::vector<CERT_EXTENSION> exts;
    BYTE sha1[20]{};
    // The encoded SubjectPublicKeyInfo (for key identifiers).
    const BYTE* spkiStart = nullptr;
    size_t spkiLen = 0;
};

// Parses a DER certificate; on failure returns null and sets *err.
// bOpenSslCheck: also have OpenSSL read the whole certificate. Certificates
// read back from a store's own records were checked when they were added;
// skipping the check there keeps opening a store cheap.
std::shared_ptr<CertData> ParseCertificate(const BYTE* p, size_t n, HRESULT* err, bool bOpenSslCheck = true);

// ---- Properties ------------------------------------------------------------
struct PropertyValue {
    Bytes data;
    bool persist = true;
};
using PropertyMap = std::map<DWORD, PropertyValue>;

struct StoreImpl;

struct ContextImpl {
    CERT_CONTEXT ctx{};  // first member: PCCERT_CONTEXT points here
    uint32_t magic = 0;
    long refs = 0;                  // handed-out references plus one for store membership
    std::shared_ptr<CertData> data;
    PropertyMap props;
    StoreImpl* store = nullptr;     // null for a context of no store
    bool inStore = false;           // still an element of its store
    uint64_t seq = 0;               // order in the store
    std::u16string storedName;      // what its store keeps it under (stores that write through)
    HCRYPTPROV cachedProv = 0;      // CRYPT_ACQUIRE_CACHE_FLAG
};

// The store object behind HCERTSTORE. The kinds differ in where their
// elements are kept: in memory only (memory and PKCS#7 stores, this base), or
// also written through to the registry (RegistryStore.cpp).
struct StoreImpl {
    virtual ~StoreImpl() = default;
    // Whether every change is written through at once, and so can fail.
    virtual bool WritesThrough() const { return false; }
    // The name an element is kept under where it is written through.
    virtual std::u16string ElementName(const CertData&) const { return {}; }
    // Writes one element (certificate and properties) through.
    virtual HRESULT Persist(ContextImpl*) { return S_OK; }
    // Removes one element from where it is written through.
    virtual HRESULT Unpersist(ContextImpl*) { return S_OK; }

    uint32_t magic = 0;
    long openHandles = 0;   // CertOpenStore / CertDuplicateStore references
    long contextRefs = 0;   // handed-out references to its contexts
    bool readOnly = false;
    uint64_t nextSeq = 1;
    HCRYPTPROV provToRelease = 0;  // handed to CertOpenStore without CERT_STORE_NO_CRYPT_RELEASE_FLAG
    std::vector<ContextImpl*> elements;  // in seq order
};

// One lock for the whole certificate layer: the agent runs one thread per
// agent, and contention is not a concern; correctness under threads is.
std::recursive_mutex& Lock();
// Holds Lock() for one call. Provider handles cached on contexts that died
// during the call are released after the lock is let go, so this layer never
// waits on a provider while holding it.
class ApiLock {
public:
    ApiLock();
    ~ApiLock();
    ApiLock(const ApiLock&) = delete;
    ApiLock& operator=(const ApiLock&) = delete;
};
void DeferProviderRelease(HCRYPTPROV h);

// Handle validation: only pointers this layer handed out and not yet
// released are dereferenced. The set of one kind's live objects lives for the
// process: handles may be released from static destructors.
template <typename T>
std::unordered_set<const void*>& HandedOut() {
    static auto* s = new std::unordered_set<const void*>();
    return *s;
}
ContextImpl* LiveContext(PCCERT_CONTEXT p);
StoreImpl* LiveStore(HCERTSTORE h);  // open handle (openHandles > 0)
// The same, with E_INVALIDARG as the last error for a handle that is not.
ContextImpl* CheckedContext(PCCERT_CONTEXT p);
StoreImpl* CheckedStore(HCERTSTORE h);

// A new context of no store sharing the decoded certificate.
ContextImpl* NewContext(std::shared_ptr<CertData> data);
// Adds one handed-out reference.
void AddRefContext(ContextImpl* c);
// Drops one handed-out reference; frees the context and, when it was the
// last thing keeping it, its closed store.
void ReleaseContext(ContextImpl* c);
// Drops one store-membership reference.
void ReleaseMembership(ContextImpl* c);
void MaybeDestroyStore(StoreImpl* s);

// Property helpers (all under Lock()).
bool GetPropertyBytes(ContextImpl* c, DWORD id, Bytes& out);  // computes hashes on demand
void EnsureSha1Property(ContextImpl* c);
Bytes SerializeElement(ContextImpl* c);
// Parses serialized property records: the certificate (property 32) and the
// others. Returns S_OK or the failure code.
HRESULT ParseSerializedElement(const BYTE* p, size_t n, Bytes& der, PropertyMap& props);
// Checks a serialized CRYPT_KEY_PROV_INFO.
bool ValidSerializedKeyProvInfo(const Bytes& b);
// Pointer form of a serialized CRYPT_KEY_PROV_INFO, in one buffer.
Bytes KeyProvInfoToStruct(const Bytes& serialized);
HRESULT KeyProvInfoFromStruct(const CRYPT_KEY_PROV_INFO* info, Bytes& serialized);

// Writes one element through to its store's backing, if it has one.
HRESULT PersistElement(ContextImpl* c);
// Replaces a context's properties, written through when it is an element of
// such a store; on failure they stay as they were.
HRESULT ReplaceProperties(ContextImpl* c, PropertyMap props);

// Thumbprint as 40 upper-case hex digits.
std::u16string ThumbprintName(const BYTE sha1[20]);

// Reads the "Blob" of a certificate registered in the current user's "My"
// store, if any.
bool ReadUserMyBlob(const BYTE sha1[20], Bytes& blob);

// Names.
struct NameAttr {
    std::string oid;
    Element value;  // as encoded, header included
};
using NameRdn = std::vector<NameAttr>;
HRESULT ParseName(const BYTE* p, size_t n, std::vector<NameRdn>& out);
// Text of a directory string value; false for a non-string type.
bool ValueToText(const NameAttr& a, std::u16string& out);
std::u16string NameToString(const std::vector<NameRdn>& rdns, DWORD strType);

// CryptoAPI hands its HRESULTs to the caller as the last error unchanged.
inline void SetError(HRESULT hr) { SetLastError(static_cast<DWORD>(hr)); }

std::u16string Utf8To16(const std::string& s);

}  // namespace crypt32

