// SM2/SM3 primitives of the SM2 token provider, on OpenSSL 3. Everything here
// is independent of provider handles and containers so that it can be tested
// (and reused by the key-import code) on its own. Results are HRESULTs of the
// NTE_* family, ready to become the thread's last error.
#pragma once

#include <cstddef>
#include <vector>

#include "platform/csp/CspCommon.h"

#include "platform/csp/CspBlob.h"

namespace tessaro::csp {

// Sizes of the SM2 layouts.
constexpr size_t kSm2CoordSize = 32;
constexpr size_t kSm2FieldSize = 64;  // coordinate field in the key blobs
constexpr DWORD kSm2PublicKeyBlobSize = kBlobHeaderSize + kBlobDwordSize + 2 * kSm2FieldSize;  // 140
// The exportable private-key blob: the public blob's fields followed by a
// field with the private scalar.
constexpr DWORD kSm2PrivateKeyBlobSize = kSm2PublicKeyBlobSize + kSm2FieldSize;  // 204
constexpr DWORD kSm2KeyBits = 256;
constexpr size_t kSm2SignatureSize = 64;                  // r then s, 32 bytes each
constexpr size_t kSm3HashSize = 32;
constexpr size_t kSm2C1Size = 64;                         // x || y, no 04 prefix
constexpr size_t kSm2C3Size = 32;

// The user identity every signature is made with unless a caller sets another.
extern const char kSm2DefaultUserId[];  // "1234567812345678"

// A new random SM2 key pair.
HRESULT Sm2GenerateKey(EvpPkeyPtr& out);

// The key pair for a 32-byte big-endian private scalar; NTE_BAD_DATA when the
// scalar is not in [1, n-2] or the length is not 32.
HRESULT Sm2KeyFromPrivate(const BYTE* d, size_t len, EvpPkeyPtr& out);

// A public key from big-endian coordinates; NTE_BAD_PUBLIC_KEY when the point
// is not on the curve.
HRESULT Sm2KeyFromPublic(const BYTE x[32], const BYTE y[32], EvpPkeyPtr& out);

// Big-endian coordinates of the public point.
HRESULT Sm2GetPublic(const EVP_PKEY* key, BYTE x[32], BYTE y[32]);

// The 32-byte big-endian private scalar (NTE_BAD_KEY for a public-only key).
HRESULT Sm2GetPrivate(const EVP_PKEY* key, SecureBytes& d);

bool Sm2HasPrivate(const EVP_PKEY* key);

// PUBLICKEYBLOB: BLOBHEADER (type 6, version 2, reserved 0, algid), the key
// length in bits, then an X and a Y field of 64 bytes, each holding its
// coordinate least significant byte first in the first 32 bytes.
std::vector<BYTE> Sm2BuildPublicKeyBlob(const BYTE x[32], const BYTE y[32], ALG_ID algid);

// Reads such a blob back: exactly 140 bytes, type PUBLICKEYBLOB, version 2, an
// SM2 algid, 256 bits; returns big-endian coordinates.
HRESULT Sm2ParsePublicKeyBlob(const BYTE* blob, size_t len, ALG_ID* algid, BYTE x[32], BYTE y[32]);

// PRIVATEKEYBLOB: the same fields under type 7, then a 64-byte field with the
// private scalar least significant byte first in its first 32 bytes. Reading
// one checks its public fields as above (NTE_BAD_LEN unless exactly 204
// bytes) and returns the big-endian scalar; whether it belongs to the point
// is the caller's to check.
SecureBytes Sm2BuildPrivateKeyBlob(const BYTE x[32], const BYTE y[32], const SecureBytes& d, ALG_ID algid);
HRESULT Sm2ParsePrivateKeyBlob(const BYTE* blob, size_t len, ALG_ID* algid, BYTE x[32], BYTE y[32], SecureBytes& d);

// SM2 signature over a message (not a digest): e = SM3(Z || M) with
// Z = SM3(ENTL || ID || a || b || Gx || Gy || xA || yA). Output is r then s,
// each 32 bytes least significant byte first.
HRESULT Sm2SignMessage(const EVP_PKEY* key, const BYTE* msg, size_t len, const char* userId,
                       BYTE sig[64]);

// Signature over a digest e the caller has already formed (SM3(Z || M)), for
// hash objects whose value was set rather than computed.
HRESULT Sm2SignDigest(const EVP_PKEY* key, const BYTE e[32], BYTE sig[64]);

// Checks a signature in the same layout; NTE_BAD_SIGNATURE when it does not hold.
HRESULT Sm2VerifyMessage(const EVP_PKEY* key, const BYTE* msg, size_t len, const char* userId,
                         const BYTE sig[64]);

// SM2 decryption of a raw ciphertext C1 (x || y, 64 bytes) || C3 (32) || C2.
// A ciphertext whose C3 does not match (wrong key, other part order, damage)
// fails with NTE_BAD_DATA; so does one shorter than 97 bytes.
HRESULT Sm2DecryptC1C3C2(const EVP_PKEY* key, const BYTE* ct, size_t len, SecureBytes& plain);

// SM2 encryption to the same raw C1C3C2 layout.
HRESULT Sm2EncryptC1C3C2(const EVP_PKEY* key, const BYTE* msg, size_t len, std::vector<BYTE>& ct);

// OpenSSL's ciphertext form, SEQUENCE { INTEGER x, INTEGER y, OCTET STRING C3,
// OCTET STRING C2 }, to and from the raw C1C3C2 layout.
HRESULT Sm2CiphertextFromDer(const BYTE* der, size_t len, std::vector<BYTE>& raw);
HRESULT Sm2CiphertextToDer(const BYTE* raw, size_t len, std::vector<BYTE>& der);

// Plain SM3.
void Sm3Digest(const BYTE* p, size_t n, BYTE out[32]);

// Key pairs for storage: the 32-byte scalar followed by its point 04 || x || y,
// so reading a key back needs no point multiplication. A stored pair of 32
// bytes (the scalar alone) is read too.
HRESULT Sm2SerializePair(const EVP_PKEY* key, SecureBytes& out);
HRESULT Sm2KeyFromStoredPair(const BYTE* p, size_t len, EvpPkeyPtr& out);
// True for a stored scalar and point that Sm2KeyFromStoredPair reads (the
// scalar in range, the point on the curve), checked without making a key;
// false for anything else, the scalar alone among them.
bool Sm2StoredPairIsSound(const BYTE* p, size_t len);
// The point of such a stored pair.
constexpr size_t kSm2StoredPairSize = kSm2CoordSize + 65;
constexpr size_t kSm2StoredPointOffset = kSm2CoordSize;

// Public keys: 04 || x || y.
HRESULT Sm2SerializePublic(const EVP_PKEY* key, std::vector<BYTE>& out);
HRESULT Sm2PublicFromSerialized(const BYTE* p, size_t n, EvpPkeyPtr& out);

// True when both keys have the same public point.
bool Sm2SamePublic(const EVP_PKEY* a, const EVP_PKEY* b);

}  // namespace tessaro::csp
