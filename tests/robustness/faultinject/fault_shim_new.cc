// The C++ allocation functions of the fault shim: the Nth call of any of them
// (kind "new") fails the way the library's own would, the throwing forms with
// std::bad_alloc and the nothrow forms with a null pointer. Otherwise the call
// goes to the next definition: the C++ library's, or AddressSanitizer's when
// the host is built with it.
#include <dlfcn.h>

#include <cstddef>
#include <new>

#include "tests/robustness/faultinject/fault_shim.h"

namespace {

using NewFn = void* (*)(std::size_t);
using NewNothrowFn = void* (*)(std::size_t, const std::nothrow_t&);
using NewAlignedFn = void* (*)(std::size_t, std::align_val_t);
using NewAlignedNothrowFn = void* (*)(std::size_t, std::align_val_t, const std::nothrow_t&);

struct Next {
    NewFn pfnNew, pfnNewArray;
    NewNothrowFn pfnNewNothrow, pfnNewArrayNothrow;
    NewAlignedFn pfnNewAligned, pfnNewArrayAligned;
    NewAlignedNothrowFn pfnNewAlignedNothrow, pfnNewArrayAlignedNothrow;
};

template <typename Fn>
Fn Lookup(const char* pszName) {
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, pszName));
}

// Looked up once, on first use: dlsym allocates only through malloc, which
// the shim never fails for this kind, so the lookup cannot recurse here.
const Next& TheNext() {
    static const Next next{
        Lookup<NewFn>("_Znwm"),
        Lookup<NewFn>("_Znam"),
        Lookup<NewNothrowFn>("_ZnwmRKSt9nothrow_t"),
        Lookup<NewNothrowFn>("_ZnamRKSt9nothrow_t"),
        Lookup<NewAlignedFn>("_ZnwmSt11align_val_t"),
        Lookup<NewAlignedFn>("_ZnamSt11align_val_t"),
        Lookup<NewAlignedNothrowFn>("_ZnwmSt11align_val_tRKSt9nothrow_t"),
        Lookup<NewAlignedNothrowFn>("_ZnamSt11align_val_tRKSt9nothrow_t"),
    };
    return next;
}

// Resolved before main, while only one thread runs.
__attribute__((constructor)) void ResolveAtLoad() { TheNext(); }

bool FailNow() { return FaultShimFail(FAULT_KIND_NEW) != 0; }

}  // namespace

void* operator new(std::size_t cb) {
    if (FailNow()) throw std::bad_alloc();
    return TheNext().pfnNew(cb);
}

void* operator new[](std::size_t cb) {
    if (FailNow()) throw std::bad_alloc();
    return TheNext().pfnNewArray(cb);
}

void* operator new(std::size_t cb, const std::nothrow_t& nt) noexcept {
    if (FailNow()) return nullptr;
    return TheNext().pfnNewNothrow(cb, nt);
}

void* operator new[](std::size_t cb, const std::nothrow_t& nt) noexcept {
    if (FailNow()) return nullptr;
    return TheNext().pfnNewArrayNothrow(cb, nt);
}

void* operator new(std::size_t cb, std::align_val_t al) {
    if (FailNow()) throw std::bad_alloc();
    return TheNext().pfnNewAligned(cb, al);
}

void* operator new[](std::size_t cb, std::align_val_t al) {
    if (FailNow()) throw std::bad_alloc();
    return TheNext().pfnNewArrayAligned(cb, al);
}

void* operator new(std::size_t cb, std::align_val_t al, const std::nothrow_t& nt) noexcept {
    if (FailNow()) return nullptr;
    return TheNext().pfnNewAlignedNothrow(cb, al, nt);
}

void* operator new[](std::size_t cb, std::align_val_t al, const std::nothrow_t& nt) noexcept {
    if (FailNow()) return nullptr;
    return TheNext().pfnNewArrayAlignedNothrow(cb, al, nt);
}
