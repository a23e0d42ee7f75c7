// Owning holders for the platform's handles, one per kind: each releases its
// handle on every path. put() hands the address of the empty holder to a call
// that opens a handle.
#pragma once

#include <utility>

#include "win/windows.h"

namespace tessaro {

// Close is the call Windows pairs with the handle; HCRYPTPROV, HCRYPTKEY and
// HCRYPTHASH share one integer type, so the kind is carried by Close.
template <typename Handle, void (*Close)(Handle)>
class UniqueHandle {
public:
    UniqueHandle() = default;
    explicit UniqueHandle(Handle h) : m_h(h) {}
    ~UniqueHandle() { reset(); }
    UniqueHandle(UniqueHandle&& o) noexcept : m_h(o.release()) {}
    UniqueHandle& operator=(UniqueHandle&& o) noexcept {
        if (this != &o) reset(o.release());
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;

    Handle get() const { return m_h; }
    explicit operator bool() const { return m_h != Handle{}; }
    // For the out parameter of an opening call: releases what is held first.
    Handle* put() {
        reset();
        return &m_h;
    }
    // Hands ownership to the caller (an interface that returns the handle).
    Handle release() { return std::exchange(m_h, Handle{}); }
    void reset(Handle h = Handle{}) {
        Handle old = std::exchange(m_h, h);
        if (old != Handle{}) Close(old);
    }

private:
    Handle m_h{};
};

namespace close {
inline void CryptProv(HCRYPTPROV h) { CryptReleaseContext(h, 0); }
inline void CryptKey(HCRYPTKEY h) { CryptDestroyKey(h); }
inline void CryptHash(HCRYPTHASH h) { CryptDestroyHash(h); }
inline void CertStore(HCERTSTORE h) { CertCloseStore(h, 0); }
inline void CertContext(PCCERT_CONTEXT h) { CertFreeCertificateContext(h); }
inline void RegKey(HKEY h) { RegCloseKey(h); }
inline void Bstr(BSTR h) { SysFreeString(h); }
}  // namespace close

using UniqueCryptProv = UniqueHandle<HCRYPTPROV, close::CryptProv>;
using UniqueCryptKey = UniqueHandle<HCRYPTKEY, close::CryptKey>;
using UniqueCryptHash = UniqueHandle<HCRYPTHASH, close::CryptHash>;
using UniqueCertStore = UniqueHandle<HCERTSTORE, close::CertStore>;
using UniqueCertContext = UniqueHandle<PCCERT_CONTEXT, close::CertContext>;
using UniqueHkey = UniqueHandle<HKEY, close::RegKey>;
using UniqueBstr = UniqueHandle<BSTR, close::Bstr>;

}  // namespace tessaro
