// The one byte buffer for key material: a vector whose storage is wiped
// whenever it is given back (destruction, reallocation, shrinking), so no
// exit path has to wipe by hand.
#pragma once

#include <cstddef>
#include <new>
#include <vector>

#include "win/winbase.h"

namespace tessaro {

template <typename T>
struct WipingAllocator {
    using value_type = T;
    WipingAllocator() = default;
    template <typename U>
    WipingAllocator(const WipingAllocator<U>&) noexcept {}
    T* allocate(std::size_t n) { return static_cast<T*>(::operator new(n * sizeof(T))); }
    void deallocate(T* p, std::size_t n) noexcept {
        SecureZeroMemory(p, n * sizeof(T));
        ::operator delete(p);
    }
    template <typename U>
    bool operator==(const WipingAllocator<U>&) const noexcept {
        return true;
    }
};

using SecureBytes = std::vector<BYTE, WipingAllocator<BYTE>>;

}  // namespace tessaro
