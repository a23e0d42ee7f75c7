// The vendor import blobs of the token providers. Both are PRIVATEKEYBLOB
// headers with the reserved word set to 1, followed by lengths and the address
// of key material in the caller's memory, encrypted for the container's
// exchange key:
//
//   SM2:  07 02 0001 | BE00 | BE00 | ciphertext bits | ciphertext address
//   RSA:  07 02 0001 | A400 | A400 | key bits | envelope bits | envelope address
//
// The address field is pointer-sized, so on 64-bit builds each blob is 4 bytes
// longer than on 32-bit ones. The providers accept exactly this build's size.
#pragma once

#include <cstddef>
#include <vector>

#include "platform/csp/Sm2Crypto.h"

namespace tessaro::csp {

constexpr DWORD kSm2VendorBlobSize = kBlobHeaderSize + 2 * kBlobDwordSize + sizeof(void*);  // 20 on 32-bit builds
constexpr DWORD kRsaVendorBlobSize = kBlobHeaderSize + 3 * kBlobDwordSize + sizeof(void*);  // 24 on 32-bit builds
constexpr WORD kVendorBlobMark = 1;

// Ceilings on what a blob may point at; far above any real key, they keep a
// corrupt length field from sending us through gigabytes of memory.
constexpr size_t kMaxSm2VendorCiphertext = 4096;
constexpr size_t kMaxRsaVendorEnvelope = 65536;

// True for a PRIVATEKEYBLOB header carrying the vendor mark (any length >= 4),
// so a provider can tell the vendor form from an ordinary private-key blob.
bool IsVendorImportBlob(const BYTE* blob, size_t len);

std::vector<BYTE> BuildSm2VendorBlob(const BYTE* ciphertext, size_t len);
std::vector<BYTE> BuildRsaVendorBlob(DWORD keyBits, const BYTE* envelope, size_t len);

// Field checks of the blobs; hand out the pointed-to material.
// NTE_BAD_LEN (blob size), NTE_BAD_TYPE, NTE_BAD_VER, NTE_BAD_ALGID, NTE_BAD_DATA.
HRESULT ParseSm2VendorBlob(const BYTE* blob, size_t len, const BYTE** ciphertext, size_t* ctLen);
HRESULT ParseRsaVendorBlob(const BYTE* blob, size_t len, DWORD* keyBits, const BYTE** envelope,
                           size_t* envLen);

// The RSA envelope: SEQUENCE { INTEGER 1, OID rsaEncryption, OID 3DES-ECB,
// OCTET STRING encrypted session key, OCTET STRING encrypted private key }.
struct RsaKeyEnvelope {
    const BYTE* sessionKey = nullptr;
    size_t sessionKeyLen = 0;
    const BYTE* privateKey = nullptr;
    size_t privateKeyLen = 0;
};
HRESULT ParseRsaKeyEnvelope(const BYTE* p, size_t n, RsaKeyEnvelope* env);
std::vector<BYTE> BuildRsaKeyEnvelope(const BYTE* encSessionKey, size_t sessionLen,
                                      const BYTE* encPrivateKey, size_t privateLen);

// Opens an RSA envelope with the container's exchange key: the session key is
// PKCS#1 v1.5 encrypted, most significant byte first; 24 bytes (or 32, of which
// the first 24 count) of 3DES key, which decrypts (ECB, PKCS#5 padding) a
// PKCS#1 RSAPrivateKey of exactly keyBits bits. Every plain intermediate is
// wiped. NTE_BAD_DATA for anything that does not decrypt or parse, or whose
// numbers do not make one key pair,
// NTE_BAD_KEY when the exchange key is not an RSA private key,
// NTE_BAD_LEN when the decrypted key has another size than keyBits.
HRESULT OpenRsaKeyEnvelope(const EVP_PKEY* exchangeKey, const BYTE* env, size_t envLen, DWORD keyBits,
                           EvpPkeyPtr& outKey);

// Decrypts an SM2 ciphertext (C1C3C2) of a 32-byte private key with the
// container's SM2 exchange key and returns the key pair it names.
HRESULT OpenSm2VendorCiphertext(const EVP_PKEY* exchangeKey, const BYTE* ct, size_t len,
                                EvpPkeyPtr& outKey);

// Whole blob to key, for each provider.
HRESULT ImportSm2VendorBlob(const EVP_PKEY* exchangeKey, const BYTE* blob, size_t len, EvpPkeyPtr& outKey);
HRESULT ImportRsaVendorBlob(const EVP_PKEY* exchangeKey, const BYTE* blob, size_t len, EvpPkeyPtr& outKey);

}  // namespace tessaro::csp
