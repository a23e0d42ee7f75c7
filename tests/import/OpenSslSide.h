// The independent side of the import tests: what OpenSSL alone says about
// keys, certificates and ciphertexts. Kept apart from the platform headers,
// whose structure-type macros clash with OpenSSL's names.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace importenc_test {

using Bytes = std::vector<uint8_t>;

// 3DES-ECB with PKCS#5 padding under a 24-byte key.
Bytes TripleDesEcbEncrypt(const Bytes& key, const Bytes& plain);

// A new RSA key: its PKCS#1 RSAPrivateKey DER and its numbers, big-endian
// without leading zeros.
struct RsaKey {
    Bytes pkcs1;
    Bytes n, e, d, p, q, dp, dq, qinv;
};
RsaKey NewRsaKey(int bits);

// True when the DER certificate's public key is the public half of the PEM
// private key.
bool CertificateMatchesPrivatePem(const Bytes& certDer, const std::string& privatePem);

// Checks a provider signature over msg against the certificate's public key:
// RSA with SHA-1 (signature least significant byte first); SM2 with SM3 and
// the identity 1234567812345678 (r then s, each least significant byte first).
bool VerifyRsaSha1WithCertificate(const Bytes& certDer, const Bytes& msg, const Bytes& sigLe);
bool VerifySm2WithCertificate(const Bytes& certDer, const Bytes& msg, const Bytes& sigLe);

}  // namespace importenc_test
