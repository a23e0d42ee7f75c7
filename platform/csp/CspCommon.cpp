// Shared pieces of the provider framework: buffers, the handle tables, the
// key-container store in the user hive, and the key, hash and context objects.
#include <openssl/crypto.h>
#include <openssl/rand.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <unordered_map>

#include "platform/csp/CspProvider.h"
#include "win/winreg.h"

namespace tessaro::csp {

// ---- Buffers ----------------------------------------------------------------

void CspWipe(std::vector<BYTE>& v) {
    if (!v.empty()) OPENSSL_cleanse(v.data(), v.size());
    v.clear();
}

CspStatus CspCopyOut(const void* src, DWORD cbSrc, BYTE* pb, DWORD* pcb) {
    if (!pcb) return ERROR_INVALID_PARAMETER;
    if (!pb) {
        *pcb = cbSrc;
        return CSP_OK;
    }
    if (*pcb < cbSrc) {
        *pcb = cbSrc;
        return ERROR_MORE_DATA;
    }
    if (cbSrc) memcpy(pb, src, cbSrc);
    *pcb = cbSrc;
    return CSP_OK;
}

void CspReverse(BYTE* p, size_t n) {
    for (size_t i = 0, j = n; i + 1 < j; ++i, --j) std::swap(p[i], p[j - 1]);
}

// ---- Handle tables ------------------------------------------------------------

namespace {

enum : ULONG_PTR { kTagProv = 1, kTagKey = 2, kTagHash = 3 };

struct Tables {
    std::mutex mutex;
    ULONG_PTR next = 0x5A1;  // serials never repeat within a process
    std::unordered_map<ULONG_PTR, ContextPtr> contexts;
    std::unordered_map<ULONG_PTR, KeyPtr> keys;
    std::unordered_map<ULONG_PTR, HashPtr> hashes;
};

Tables& T() {
    static Tables* t = new Tables();  // handles may be released from static destructors
    return *t;
}

ULONG_PTR NewHandle(Tables& t, ULONG_PTR tag) { return ((t.next++) << 4) | tag; }

template <class M, class P>
ULONG_PTR Add(M& map, ULONG_PTR tag, const P& p) {
    Tables& t = T();
    std::lock_guard<std::mutex> g(t.mutex);
    ULONG_PTR h = NewHandle(t, tag);
    map.emplace(h, p);
    return h;
}

template <class M>
typename M::mapped_type Find(M& map, ULONG_PTR h) {
    Tables& t = T();
    std::lock_guard<std::mutex> g(t.mutex);
    auto it = map.find(h);
    return it == map.end() ? typename M::mapped_type() : it->second;
}

template <class M>
bool Remove(M& map, ULONG_PTR h) {
    typename M::mapped_type keep;  // destroyed outside the lock
    Tables& t = T();
    std::lock_guard<std::mutex> g(t.mutex);
    auto it = map.find(h);
    if (it == map.end()) return false;
    keep = std::move(it->second);
    map.erase(it);
    return true;
}

}  // namespace

HCRYPTPROV CspAddContext(const ContextPtr& ctx) { return Add(T().contexts, kTagProv, ctx); }
ContextPtr CspFindContext(HCRYPTPROV h) { return h ? Find(T().contexts, h) : nullptr; }
bool CspRemoveContext(HCRYPTPROV h) { return h && Remove(T().contexts, h); }
HCRYPTKEY CspAddKey(const KeyPtr& key) { return Add(T().keys, kTagKey, key); }
KeyPtr CspFindKey(HCRYPTKEY h) { return h ? Find(T().keys, h) : nullptr; }
bool CspRemoveKey(HCRYPTKEY h) { return h && Remove(T().keys, h); }
HCRYPTHASH CspAddHash(const HashPtr& hash) { return Add(T().hashes, kTagHash, hash); }
HashPtr CspFindHash(HCRYPTHASH h) { return h ? Find(T().hashes, h) : nullptr; }
bool CspRemoveHash(HCRYPTHASH h) { return h && Remove(T().hashes, h); }

// ---- Container key records ------------------------------------------------------

namespace {

constexpr DWORD kRecordMagic = 0x31524B54;  // "TKR1"
constexpr size_t kMaxRecordPart = 1u << 20;

void PutDword(std::vector<BYTE>& v, DWORD d) {
    for (int i = 0; i < 4; ++i) v.push_back(static_cast<BYTE>(d >> (8 * i)));
}

bool GetDword(const BYTE*& p, const BYTE* end, DWORD* d) {
    if (end - p < 4) return false;
    *d = static_cast<DWORD>(p[0]) | static_cast<DWORD>(p[1]) << 8 | static_cast<DWORD>(p[2]) << 16 |
         static_cast<DWORD>(p[3]) << 24;
    p += 4;
    return true;
}

bool GetPart(const BYTE*& p, const BYTE* end, std::vector<BYTE>* out) {
    DWORD n;
    if (!GetDword(p, end, &n) || n > kMaxRecordPart || static_cast<size_t>(end - p) < n) return false;
    out->assign(p, p + n);
    p += n;
    return true;
}

}  // namespace

CContainerKeyRecord::~CContainerKeyRecord() { CspWipe(privateKey); }

std::vector<BYTE> CContainerKeyRecord::Serialize() const {
    std::vector<BYTE> v;
    v.reserve(28 + privateKey.size() + certificate.size());
    PutDword(v, kRecordMagic);
    PutDword(v, aiKeyAlg);
    PutDword(v, dwFlags);
    PutDword(v, dwBitLen);
    PutDword(v, static_cast<DWORD>(privateKey.size()));
    v.insert(v.end(), privateKey.begin(), privateKey.end());
    PutDword(v, static_cast<DWORD>(certificate.size()));
    v.insert(v.end(), certificate.begin(), certificate.end());
    return v;
}

CspStatus CContainerKeyRecord::Parse(const BYTE* p, size_t n) {
    const BYTE* end = p + n;
    DWORD magic;
    CContainerKeyRecord r;
    if (!GetDword(p, end, &magic) || magic != kRecordMagic || !GetDword(p, end, &r.aiKeyAlg) ||
        !GetDword(p, end, &r.dwFlags) || !GetDword(p, end, &r.dwBitLen) || !GetPart(p, end, &r.privateKey) ||
        !GetPart(p, end, &r.certificate) || p != end)
        return CspCode(NTE_KEYSET_ENTRY_BAD);
    *this = r;
    return CSP_OK;
}

// ---- Key container store ----------------------------------------------------------

namespace {

const char16_t kKeysRoot[] = u"Software\\Tessaro\\Crypto\\Keys\\";
constexpr size_t kMaxRegistryKeyName = 255;

struct HkeyCloser {
    HKEY h = nullptr;
    ~HkeyCloser() {
        if (h) RegCloseKey(h);
    }
};

std::u16string Escape(const std::u16string& name) {
    std::u16string r;
    for (char16_t c : name) {
        if (c == u'\\')
            r += u"%5C";
        else if (c == u'%')
            r += u"%25";
        else
            r += c;
    }
    return r;
}

bool Unescape(const std::u16string& s, std::u16string* out) {
    std::u16string r;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != u'%') {
            r += s[i];
            continue;
        }
        if (s.compare(i, 3, u"%5C") == 0 || s.compare(i, 3, u"%5c") == 0)
            r += u'\\';
        else if (s.compare(i, 3, u"%25") == 0)
            r += u'%';
        else
            return false;
        i += 2;
    }
    *out = r;
    return true;
}

CspStatus MapRegistryError(LSTATUS st, CspStatus missing) {
    switch (st) {
        case ERROR_SUCCESS:
            return CSP_OK;
        case ERROR_FILE_NOT_FOUND:
        case ERROR_KEY_DELETED:
            return missing;
        case ERROR_ACCESS_DENIED:
            return CspCode(NTE_PERM);
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY:
            return CspCode(NTE_NO_MEMORY);
        default:
            return CspCode(NTE_FAIL);
    }
}

const char16_t* KeyValueName(DWORD dwKeySpec) { return dwKeySpec == AT_SIGNATURE ? u"Signature" : u"Exchange"; }

}  // namespace

CspStatus CKeyContainerStore::CheckName(const std::u16string& name) {
    if (name.empty() || name.size() > kCspMaxNameChars) return CspCode(NTE_BAD_KEYSET_PARAM);
    if (name.find(u'\0') != std::u16string::npos) return CspCode(NTE_BAD_KEYSET_PARAM);
    if (Escape(name).size() > kMaxRegistryKeyName) return CspCode(NTE_BAD_KEYSET_PARAM);
    return CSP_OK;
}

static std::u16string ContainerPath(const std::u16string& family, const std::u16string& name) {
    return std::u16string(kKeysRoot) + family + u"\\" + Escape(name);
}

CspStatus CKeyContainerStore::Create(const std::u16string& name) const {
    if (CspStatus st = CheckName(name)) return st;
    HkeyCloser k;
    DWORD disp = 0;
    LSTATUS rs = RegCreateKeyExW(HKEY_CURRENT_USER, ContainerPath(m_family, name).c_str(), 0, nullptr,
                                 REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &k.h, &disp);
    if (rs != ERROR_SUCCESS) return MapRegistryError(rs, CspCode(NTE_FAIL));
    return disp == REG_CREATED_NEW_KEY ? CSP_OK : CspCode(NTE_EXISTS);
}

CspStatus CKeyContainerStore::Exists(const std::u16string& name) const {
    if (CspStatus st = CheckName(name)) return st;
    HkeyCloser k;
    LSTATUS rs = RegOpenKeyExW(HKEY_CURRENT_USER, ContainerPath(m_family, name).c_str(), 0, KEY_READ, &k.h);
    return MapRegistryError(rs, CspCode(NTE_BAD_KEYSET));
}

CspStatus CKeyContainerStore::Delete(const std::u16string& name) const {
    if (CspStatus st = CheckName(name)) return st;
    LSTATUS rs = RegDeleteTreeW(HKEY_CURRENT_USER, ContainerPath(m_family, name).c_str());
    return MapRegistryError(rs, CspCode(NTE_BAD_KEYSET));
}

CspStatus CKeyContainerStore::List(std::vector<std::u16string>* names) const {
    names->clear();
    HkeyCloser k;
    std::u16string path = std::u16string(kKeysRoot) + m_family;
    LSTATUS rs = RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &k.h);
    if (rs == ERROR_FILE_NOT_FOUND) return CSP_OK;  // no container made yet
    if (rs != ERROR_SUCCESS) return MapRegistryError(rs, CspCode(NTE_FAIL));
    for (DWORD i = 0;; ++i) {
        WCHAR buf[kMaxRegistryKeyName + 1];
        DWORD cch = kMaxRegistryKeyName + 1;
        rs = RegEnumKeyExW(k.h, i, buf, &cch, nullptr, nullptr, nullptr, nullptr);
        if (rs == ERROR_NO_MORE_ITEMS) break;
        if (rs == ERROR_MORE_DATA) continue;  // cannot be one of ours
        if (rs != ERROR_SUCCESS) return MapRegistryError(rs, CspCode(NTE_FAIL));
        std::u16string name;
        if (!Unescape(std::u16string(buf, cch), &name) || CheckName(name) != CSP_OK) continue;
        names->push_back(name);
    }
    return CSP_OK;
}

CspStatus CKeyContainerStore::ReadKey(const std::u16string& name, DWORD dwKeySpec, CContainerKeyRecord* out) const {
    if (CspStatus st = CheckName(name)) return st;
    HkeyCloser k;
    LSTATUS rs = RegOpenKeyExW(HKEY_CURRENT_USER, ContainerPath(m_family, name).c_str(), 0, KEY_READ, &k.h);
    if (rs != ERROR_SUCCESS) return MapRegistryError(rs, CspCode(NTE_BAD_KEYSET));
    // Most records fit the first buffer; a larger one is read again at its
    // size (and again if it grew in between).
    DWORD cb = 4096;
    for (int attempt = 0; attempt < 4; ++attempt) {
        DWORD type = 0;
        std::vector<BYTE> buf(cb);
        rs = RegQueryValueExW(k.h, KeyValueName(dwKeySpec), nullptr, &type, buf.data(), &cb);
        if (rs == ERROR_MORE_DATA) {
            CspWipe(buf);
            continue;
        }
        if (rs == ERROR_SUCCESS && type != REG_BINARY) {
            CspWipe(buf);
            return CspCode(NTE_KEYSET_ENTRY_BAD);
        }
        if (rs == ERROR_FILE_NOT_FOUND) return CspCode(NTE_NO_KEY);
        if (rs != ERROR_SUCCESS) return MapRegistryError(rs, CspCode(NTE_BAD_KEYSET));
        CspStatus st = out->Parse(buf.data(), cb);
        CspWipe(buf);
        return st;
    }
    return CspCode(NTE_FAIL);
}

CspStatus CKeyContainerStore::WriteKey(const std::u16string& name, DWORD dwKeySpec,
                                       const CContainerKeyRecord& rec) const {
    if (CspStatus st = CheckName(name)) return st;
    HkeyCloser k;
    LSTATUS rs =
        RegOpenKeyExW(HKEY_CURRENT_USER, ContainerPath(m_family, name).c_str(), 0, KEY_READ | KEY_SET_VALUE, &k.h);
    if (rs != ERROR_SUCCESS) return MapRegistryError(rs, CspCode(NTE_BAD_KEYSET));
    std::vector<BYTE> v = rec.Serialize();
    rs = RegSetValueExW(k.h, KeyValueName(dwKeySpec), 0, REG_BINARY, v.data(), static_cast<DWORD>(v.size()));
    CspWipe(v);
    return MapRegistryError(rs, CspCode(NTE_BAD_KEYSET));
}

// ---- Objects ----------------------------------------------------------------------

CCspContext::CCspContext(ProviderPtr provider, std::u16string container, bool bHasContainer, bool bVerify,
                         DWORD dwFlags)
    : m_provider(std::move(provider)),
      m_container(std::move(container)),
      m_bHasContainer(bHasContainer),
      m_bVerify(bVerify),
      m_dwFlags(dwFlags) {}

CCspContext::~CCspContext() { MarkReleased(); }

void CCspContext::MarkReleased() {
    m_bReleased = true;
    for (auto& k : m_ephemeral) k.reset();
    for (auto& c : m_pairCache) {
        CspWipe(c.stored);
        c.key.reset();
    }
}

CAsymmetricKey::CAsymmetricKey(ContextPtr ctx, ALG_ID algid, CspPkeyPtr pkey, bool bPrivate)
    : CCspKey(std::move(ctx), algid), m_pkey(pkey.release(), [](EVP_PKEY* p) { EVP_PKEY_free(p); }),
      m_bPrivate(bPrivate) {}

KeyPtr CAsymmetricKey::Clone() const { return std::make_shared<CAsymmetricKey>(*this); }

DWORD CAsymmetricKey::BitLength() const { return m_pkey ? static_cast<DWORD>(EVP_PKEY_get_bits(m_pkey.get())) : 0; }

CSymmetricKey::CSymmetricKey(ContextPtr ctx, ALG_ID algid, const BYTE* key, size_t len)
    : CCspKey(std::move(ctx), algid), m_key(key, key + len), m_iv(BlockBytes(), 0) {}

CSymmetricKey::~CSymmetricKey() {
    CspWipe(m_key);
    CspWipe(m_chain);
    CspWipe(m_pendingDecrypt);
}

KeyPtr CSymmetricKey::Clone() const { return std::make_shared<CSymmetricKey>(*this); }

DWORD CSymmetricKey::BitLength() const { return static_cast<DWORD>(m_key.size() * 8); }

DWORD CSymmetricKey::BlockBytes() const {
    switch (m_algid) {
        case CALG_AES_128:
        case CALG_AES_192:
        case CALG_AES_256:
            return 16;
        default:
            return 8;
    }
}

CCspHash::CCspHash(ContextPtr ctx, ALG_ID algid, const EVP_MD* md) : m_ctx(std::move(ctx)), m_algid(algid) {
    if (md) {
        m_mdctx = EVP_MD_CTX_new();
        if (m_mdctx && EVP_DigestInit_ex(m_mdctx, md, nullptr) != 1) {
            EVP_MD_CTX_free(m_mdctx);
            m_mdctx = nullptr;
        }
    }
}

CCspHash::~CCspHash() {
    if (m_mdctx) EVP_MD_CTX_free(m_mdctx);
}

DWORD CCspHash::HashSize() const {
    if (!m_mdctx) return static_cast<DWORD>(m_value.size());
    const EVP_MD* md = EVP_MD_CTX_get0_md(m_mdctx);
    return md ? static_cast<DWORD>(EVP_MD_get_size(md)) : 0;
}

CspStatus CCspHash::Update(const BYTE* p, size_t n) {
    if (m_bFinished) return CspCode(NTE_BAD_HASH_STATE);
    if (!m_mdctx) return CspCode(NTE_BAD_HASH);
    if (n && EVP_DigestUpdate(m_mdctx, p, n) != 1) return CspCode(NTE_FAIL);
    return CSP_OK;
}

CspStatus CCspHash::Finish() {
    if (m_bFinished) return CSP_OK;
    if (!m_mdctx) return CspCode(NTE_BAD_HASH);
    BYTE buf[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    if (EVP_DigestFinal_ex(m_mdctx, buf, &n) != 1) return CspCode(NTE_FAIL);
    m_value.assign(buf, buf + n);
    m_bFinished = true;
    return CSP_OK;
}

CspStatus CCspHash::SetValue(const BYTE* p) {
    DWORD n = HashSize();
    if (!p) return ERROR_INVALID_PARAMETER;
    if (!n) return CspCode(NTE_BAD_HASH);
    m_value.assign(p, p + n);
    m_bFinished = true;
    return CSP_OK;
}

}  // namespace tessaro::csp
