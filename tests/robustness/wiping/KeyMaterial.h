// Key material the wiping tests send through the import, made with OpenSSL
// alone. Kept apart from the platform headers, whose structure-type macros
// clash with OpenSSL's names.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace wiping_test {

using Bytes = std::vector<uint8_t>;

// An RSA key pair: its PKCS#1 RSAPrivateKey as OpenSSL encodes it, its
// numbers big-endian without leading zeros, and a certificate for its public
// key.
struct RsaKeyMaterial {
    Bytes pkcs1;
    Bytes n, d, p, q, dp, dq, qinv;
    Bytes certificate;
};
bool NewRsaKey(int bits, RsaKeyMaterial& out);

// An SM2 key pair: the private key (32 bytes, big-endian) and a certificate
// for its public key.
struct Sm2KeyMaterial {
    Bytes d;
    Bytes certificate;
};
bool NewSm2Key(Sm2KeyMaterial& out);

// 3DES-ECB under a 24-byte key, with PKCS#5 padding, or (pad false) over
// whole blocks as given.
Bytes TripleDesEcbEncrypt(const Bytes& key, const Bytes& plain, bool pad = true);

Bytes RandomBytes(size_t n);

}  // namespace wiping_test
