// Internal structures of the certificate stores and contexts: the decoded
// certificate shared by every context made from the same bytes, the context
// object handed out as a CERT_CONTEXT, and the store object behind HCERTSTORE.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "win/windows.h"

namespace crypt32 {

using Bytes = std::vector<BYTE>;

// ---- DER reading ----------------------------------------------------------
struct Tlv {
    BYTE tag = 0;
    const BYTE* start = nullptr;    // first byte of the tag
    const BYTE* content = nullptr;  // first content byte
    size_t len = 0;                 // content length
    size_t total() const { return static_cast<size_t>(content - start) + len; }
    const BYTE* end() const { return content + len; }
};

// Reads one TLV at p (before end). On failure returns the CryptoAPI ASN.1 code
// (CRYPT_E_ASN1_EOD when the data ends early, CRYPT_E_ASN1_CORRUPT for an
// unusable length), else S_OK; p moves behind the element.
HRESULT ReadTlv(const BYTE*& p, const BYTE* end, Tlv& out);
// As ReadTlv, and the tag must be the one given (else CRYPT_E_ASN1_BADTAG).
HRESULT ReadTagged(const BYTE*& p, const BYTE* end, BYTE tag, Tlv& out);
// Dotted text of an OID's content octets; false when malformed.
bool DecodeOid(const BYTE* p, size_t n, std::string& out);
// UTCTime (0x17) or GeneralizedTime (0x18) to FILETIME.
bool DecodeTime(const Tlv& t, FILETIME& ft);

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
// bOpenSslCheck: also have OpenSSL decode the whole certificate (its public
// key too). Certificates read back from a store's own records were checked
// when they were added; skipping the check there keeps opening a store cheap.
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
    std::u16string regKeyName;      // registry subkey that holds it (registry stores)
    HCRYPTPROV cachedProv = 0;      // CRYPT_ACQUIRE_CACHE_FLAG
};

enum class StoreKind { Memory, Registry };

struct StoreImpl {
    uint32_t magic = 0;
    StoreKind kind = StoreKind::Memory;
    long openHandles = 0;   // CertOpenStore / CertDuplicateStore references
    long contextRefs = 0;   // handed-out references to its contexts
    bool readOnly = false;
    HKEY certsKey = nullptr;  // "...\<store>\Certificates" of a registry store
    bool ownsKey = false;
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
// released are dereferenced.
ContextImpl* LiveContext(PCCERT_CONTEXT p);
StoreImpl* LiveStore(HCERTSTORE h);  // open handle (openHandles > 0)

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

// Registry persistence of one element (write-through).
HRESULT PersistElement(ContextImpl* c);

// Thumbprint as 40 upper-case hex digits.
std::u16string ThumbprintName(const BYTE sha1[20]);

// Reads the "Blob" of a certificate registered in the current user's "My"
// store, if any.
bool ReadUserMyBlob(const BYTE sha1[20], Bytes& blob);

// Names.
struct NameAttr {
    std::string oid;
    BYTE tag = 0;
    const BYTE* valueStart = nullptr;  // full TLV of the value
    size_t valueTotal = 0;
    const BYTE* content = nullptr;
    size_t len = 0;
};
using NameRdn = std::vector<NameAttr>;
HRESULT ParseName(const BYTE* p, size_t n, std::vector<NameRdn>& out);
// Text of a directory string value; false for a non-string type.
bool ValueToText(const NameAttr& a, std::u16string& out);
std::u16string NameToString(const std::vector<NameRdn>& rdns, DWORD strType);

// Converts HRESULT-or-Win32 codes to the value given to SetLastError.
inline void SetError(HRESULT hr) { SetLastError(static_cast<DWORD>(hr)); }

std::u16string Utf8To16(const std::string& s);

}  // namespace crypt32

