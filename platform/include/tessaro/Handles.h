// Owning holders for the platform's handles, one per kind: each releases its
// handle with the call Windows pairs with it, on every path. put() hands the
// address of the empty holder to a call that opens a handle.
#pragma once

#include <utility>

#include "win/windows.h"

namespace tessaro {

template <typename Traits>
class UniqueHandle {
public:
    using Handle = typename Traits::Handle;

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
        if (old != Handle{}) Traits::Close(old);
    }

private:
    Handle m_h{};
};

namespace handle_traits {
// HCRYPTPROV, HCRYPTKEY and HCRYPTHASH are the same integer type, so the kind
// is carried by the traits, not by the handle's type.
struct CryptProv {
    using Handle = HCRYPTPROV;
    static void Close(Handle h) { CryptReleaseContext(h, 0); }
};
struct CryptKey {
    using Handle = HCRYPTKEY;
    static void Close(Handle h) { CryptDestroyKey(h); }
};
struct CryptHash {
    using Handle = HCRYPTHASH;
    static void Close(Handle h) { CryptDestroyHash(h); }
};
struct CertStore {
    using Handle = HCERTSTORE;
    static void Close(Handle h) { CertCloseStore(h, 0); }
};
struct CertContext {
    using Handle = PCCERT_CONTEXT;
    static void Close(Handle h) { CertFreeCertificateContext(h); }
};
struct RegKey {
    using Handle = HKEY;
    static void Close(Handle h) { RegCloseKey(h); }
};
struct Bstr {
    using Handle = BSTR;
    static void Close(Handle h) { SysFreeString(h); }
};
}  // namespace handle_traits

using UniqueCryptProv = UniqueHandle<handle_traits::CryptProv>;
using UniqueCryptKey = UniqueHandle<handle_traits::CryptKey>;
using UniqueCryptHash = UniqueHandle<handle_traits::CryptHash>;
using UniqueCertStore = UniqueHandle<handle_traits::CertStore>;
using UniqueCertContext = UniqueHandle<handle_traits::CertContext>;
using UniqueHkey = UniqueHandle<handle_traits::RegKey>;
using UniqueBstr = UniqueHandle<handle_traits::Bstr>;

}  // namespace tessaro
