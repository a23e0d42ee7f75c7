// The handle tables: serial numbers tagged with their kind, never reused.
#include <mutex>
#include <unordered_map>

#include "platform/csp/CspObjects.h"

namespace tessaro::csp {

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

}  // namespace tessaro::csp
