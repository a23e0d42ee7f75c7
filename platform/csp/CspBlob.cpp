// The one place that reads and writes BLOBHEADER and RSAPUBKEY.
#include "platform/csp/CspBlob.h"

namespace tessaro::csp {

namespace {

// The header's reserved word; LittleEndian.h has no 16-bit helpers.
WORD LoadLe16(const BYTE* p) { return static_cast<WORD>(p[0] | p[1] << 8); }

void StoreLe16(BYTE* p, WORD v) {
    p[0] = static_cast<BYTE>(v);
    p[1] = static_cast<BYTE>(v >> 8);
}

}  // namespace

BLOBHEADER LoadBlobKind(const BYTE* p) { return BLOBHEADER{p[0], p[1], LoadLe16(p + 2), 0}; }

BLOBHEADER LoadBlobHeader(const BYTE* p) {
    BLOBHEADER h = LoadBlobKind(p);
    h.aiKeyAlg = LoadLe32(p + kBlobKindSize);
    return h;
}

void StoreBlobHeader(BYTE* p, const BLOBHEADER& h) {
    p[0] = h.bType;
    p[1] = h.bVersion;
    StoreLe16(p + 2, h.reserved);
    StoreLe32(p + kBlobKindSize, h.aiKeyAlg);
}

RSAPUBKEY LoadRsaPubKey(const BYTE* p) {
    return RSAPUBKEY{LoadLe32(p), LoadLe32(p + kBlobDwordSize), LoadLe32(p + 2 * kBlobDwordSize)};
}

void StoreRsaPubKey(BYTE* p, const RSAPUBKEY& k) {
    StoreLe32(p, k.magic);
    StoreLe32(p + kBlobDwordSize, k.bitlen);
    StoreLe32(p + 2 * kBlobDwordSize, k.pubexp);
}

bool BlobReader::Take(size_t n, const BYTE** field) {
    if (m_left < n) return false;
    *field = m_p;
    m_p += n;
    m_left -= n;
    return true;
}

bool BlobReader::Header(BLOBHEADER* h) {
    const BYTE* p;
    if (!Take(kBlobHeaderSize, &p)) return false;
    *h = LoadBlobHeader(p);
    return true;
}

bool BlobReader::RsaPubKey(RSAPUBKEY* k) {
    const BYTE* p;
    if (!Take(kRsaPubKeySize, &p)) return false;
    *k = LoadRsaPubKey(p);
    return true;
}

bool BlobReader::Dword(DWORD* v) {
    const BYTE* p;
    if (!Take(kBlobDwordSize, &p)) return false;
    *v = LoadLe32(p);
    return true;
}

bool BlobReader::Pointer(const BYTE** v) {
    const BYTE* p;
    uintptr_t u = 0;
    if (!Take(sizeof u, &p)) return false;
    std::memcpy(&u, p, sizeof u);
    *v = reinterpret_cast<const BYTE*>(u);
    return true;
}

bool BlobReader::ReversedField(size_t fieldSize, BYTE* out, size_t n) {
    const BYTE* p;
    if (n > fieldSize || !Take(fieldSize, &p)) return false;
    std::memcpy(out, p, n);
    ReverseBytes(out, n);
    return true;
}

}  // namespace tessaro::csp
