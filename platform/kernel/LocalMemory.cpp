// The local heap: buffers that calls allocate for their callers, released
// with LocalFree.
#include <cstdlib>

#include "win/winbase.h"

HLOCAL LocalAlloc(UINT uFlags, SIZE_T uBytes) {
    if (uFlags & ~static_cast<UINT>(LMEM_FIXED | LMEM_ZEROINIT)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    // A zero-byte request still yields a block that LocalFree accepts.
    size_t n = uBytes ? uBytes : 1;
    void* p = (uFlags & LMEM_ZEROINIT) ? std::calloc(1, n) : std::malloc(n);
    if (!p) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return p;
}

HLOCAL LocalFree(HLOCAL hMem) {
    std::free(hMem);
    return nullptr;
}
