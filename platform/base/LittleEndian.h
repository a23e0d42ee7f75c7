// CryptoAPI's blobs and property records are little-endian whatever the
// machine; these read and write their fields without relying on alignment.
#pragma once

#include <cstddef>

#include "win/wintypes.h"

namespace tessaro {

inline DWORD LoadLe32(const BYTE* p) {
    return static_cast<DWORD>(p[0]) | static_cast<DWORD>(p[1]) << 8 | static_cast<DWORD>(p[2]) << 16 |
           static_cast<DWORD>(p[3]) << 24;
}

inline void StoreLe32(BYTE* p, DWORD v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<BYTE>(v >> (8 * i));
}

inline ULONGLONG LoadLe64(const BYTE* p) {
    return static_cast<ULONGLONG>(LoadLe32(p)) | static_cast<ULONGLONG>(LoadLe32(p + 4)) << 32;
}

inline void StoreLe64(BYTE* p, ULONGLONG v) {
    StoreLe32(p, static_cast<DWORD>(v));
    StoreLe32(p + 4, static_cast<DWORD>(v >> 32));
}

// Reverses a big-endian number into CryptoAPI's least-significant-first order
// (and back).
inline void ReverseBytes(BYTE* p, size_t n) {
    for (size_t i = 0, j = n; i + 1 < j--; ++i) {
        BYTE t = p[i];
        p[i] = p[j];
        p[j] = t;
    }
}

}  // namespace tessaro
