// CryptoAPI key blobs field by field. Every blob starts with a BLOBHEADER
// (type, version, reserved word, key algorithm); the RSA blobs go on with an
// RSAPUBKEY, the others with 32-bit words, pointers and byte fields. Numbers
// are little-endian whatever the machine and nothing is assumed aligned.
// BlobReader and BlobWriter walk a blob front to back, so that the layouts
// are written as their fields in order, never as byte offsets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "platform/csp/CspCommon.h"

#include "platform/base/LittleEndian.h"

namespace tessaro::csp {

// The declared structures have no padding: their sizes are the blob's.
static_assert(sizeof(BLOBHEADER) == 8 && sizeof(RSAPUBKEY) == 12, "BLOBHEADER and RSAPUBKEY are packed");
constexpr size_t kBlobHeaderSize = sizeof(BLOBHEADER);
constexpr size_t kRsaPubKeySize = sizeof(RSAPUBKEY);
constexpr size_t kBlobDwordSize = sizeof(DWORD);
// Type, version and reserved word: what tells the kinds of blob apart,
// before the key algorithm.
constexpr size_t kBlobKindSize = offsetof(BLOBHEADER, aiKeyAlg);

// A header of the current blob version.
inline BLOBHEADER MakeBlobHeader(BYTE bType, ALG_ID aiKeyAlg, WORD reserved = 0) {
    return BLOBHEADER{bType, CUR_BLOB_VERSION, reserved, aiKeyAlg};
}

// The first kBlobKindSize bytes of a header (aiKeyAlg left 0).
BLOBHEADER LoadBlobKind(const BYTE* p);
// kBlobHeaderSize bytes.
BLOBHEADER LoadBlobHeader(const BYTE* p);
void StoreBlobHeader(BYTE* p, const BLOBHEADER& h);
// kRsaPubKeySize bytes.
RSAPUBKEY LoadRsaPubKey(const BYTE* p);
void StoreRsaPubKey(BYTE* p, const RSAPUBKEY& k);

// Reads fields off the front of a blob; a field past the end fails and
// leaves the reader where it was.
class BlobReader {
public:
    BlobReader(const BYTE* p, size_t n) : m_p(p), m_left(n) {}
    size_t Left() const { return m_left; }

    // The next n bytes, in place.
    bool Take(size_t n, const BYTE** field);
    bool Header(BLOBHEADER* h);
    bool RsaPubKey(RSAPUBKEY* k);
    bool Dword(DWORD* v);
    // A pointer-sized field holding an address in the caller's memory.
    bool Pointer(const BYTE** v);
    // A field of fieldSize bytes whose first n hold a number least
    // significant byte first; out gets it most significant byte first.
    bool ReversedField(size_t fieldSize, BYTE* out, size_t n);

private:
    const BYTE* m_p;
    size_t m_left;
};

// Appends fields to a blob (std::vector<BYTE>, or SecureBytes for one that
// carries key material).
template <class Bytes>
class BlobWriter {
public:
    explicit BlobWriter(Bytes& out) : m_out(out) { m_out.clear(); }

    // n zero bytes for the caller to fill at once (a later field may move them).
    BYTE* Grow(size_t n) {
        size_t at = m_out.size();
        m_out.resize(at + n, 0);
        return m_out.data() + at;
    }
    void Header(const BLOBHEADER& h) { StoreBlobHeader(Grow(kBlobHeaderSize), h); }
    void RsaPubKey(const RSAPUBKEY& k) { StoreRsaPubKey(Grow(kRsaPubKeySize), k); }
    void Dword(DWORD v) { StoreLe32(Grow(kBlobDwordSize), v); }
    void Pointer(const void* p) {
        uintptr_t v = reinterpret_cast<uintptr_t>(p);
        std::memcpy(Grow(sizeof v), &v, sizeof v);
    }
    void Append(const BYTE* p, size_t n) {
        if (n) std::memcpy(Grow(n), p, n);
    }
    // A big-endian number of n bytes, least significant byte first in a
    // zero-filled field of fieldSize bytes.
    void ReversedField(const BYTE* number, size_t n, size_t fieldSize) {
        BYTE* f = Grow(fieldSize);
        std::memcpy(f, number, n);
        ReverseBytes(f, n);
    }

private:
    Bytes& m_out;
};

}  // namespace tessaro::csp
