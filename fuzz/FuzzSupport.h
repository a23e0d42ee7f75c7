// Shared set-up of the fuzz targets: a private prefix for the process, so
// registry and key writes of one run never touch the user's or another run's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tessaro_fuzz {

// Makes (once) a fresh prefix under the temporary directory and points
// TESSARO_PREFIX at it; removed when the process exits normally.
void UsePrivatePrefix();

// Bytes as UTF-16 code units (pairs, little-endian; an odd last byte alone).
std::u16string BytesToUTF16(const uint8_t* pb, size_t cb);

}  // namespace tessaro_fuzz
