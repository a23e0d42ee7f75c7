// Independent OpenSSL-side helpers for the SM2 token provider tests: they make
// and check keys, ciphertexts, envelopes and certificates without any of the
// provider's own code, so the tests compare two implementations. Kept apart
// from the Windows headers, whose X509_* structure-type macros clash with
// OpenSSL's names.
#pragma once

#include <openssl/evp.h>

#include <cstdint>
#include <string>
#include <vector>

namespace sm2csp_test {

using Bytes = std::vector<uint8_t>;

// SM2 key pairs, kept as PEM so the tests need no OpenSSL types.
struct Sm2Pair {
    std::string privatePem;
    Bytes x, y;  // big-endian, 32 bytes each
    Bytes d;     // big-endian private scalar, 32 bytes
};
Sm2Pair NewSm2Pair();

// Public key PEM from big-endian coordinates.
std::string Sm2PublicPem(const Bytes& x, const Bytes& y);

// OpenSSL's SM2 encryption (DER SEQUENCE { x, y, C3, C2 }), turned into the raw
// C1C3C2 and C1C2C3 orders.
struct Sm2Ciphertexts {
    Bytes der, c1c3c2, c1c2c3;
};
Sm2Ciphertexts Sm2EncryptWithOpenSsl(const Bytes& x, const Bytes& y, const Bytes& msg);

// OpenSSL's SM2 decryption of a raw C1C3C2 ciphertext (empty on failure).
Bytes Sm2DecryptWithOpenSsl(const std::string& privatePem, const Bytes& c1c3c2);

// Checks a provider signature (r then s, least significant byte first) over msg
// with EVP_DigestVerify and the given identity.
bool Sm2VerifyWithOpenSsl(const Bytes& x, const Bytes& y, const Bytes& msg, const Bytes& sigLe,
                          const std::string& id = "1234567812345678");

// e = SM3(Z || M) computed step by step from the curve constants, and a check of
// the signature on e alone (no identity handling in OpenSSL involved).
Bytes Sm2Digest(const Bytes& x, const Bytes& y, const Bytes& msg, const std::string& id);
bool Sm2VerifyDigestWithOpenSsl(const Bytes& x, const Bytes& y, const Bytes& e, const Bytes& sigLe);

// DER ECDSA-Sig-Value from a provider signature.
Bytes Sm2SignatureDer(const Bytes& sigLe);

// RSA.
struct RsaPair {
    std::string privatePem;
    Bytes pkcs1;       // RSAPrivateKey DER
    Bytes modulus;     // big-endian
    Bytes publicExp;   // big-endian
};
RsaPair NewRsaPair(int bits);
// PKCS#1 v1.5 encryption with the public half, big-endian output.
Bytes RsaEncryptPkcs1(const std::string& privatePem, const Bytes& msg);
// The same with a public key given by modulus and exponent (big-endian).
Bytes RsaEncryptPkcs1Public(const Bytes& modulus, const Bytes& exponent, const Bytes& msg);
// 3DES-ECB with PKCS#5 padding.
Bytes TripleDesEcbEncrypt(const Bytes& key24, const Bytes& plain);
// Raw RSA signature check (PKCS#1 v1.5, SHA-1) with the key in the PEM.
bool RsaVerifySha1(const std::string& privatePem, const Bytes& msg, const Bytes& sigBigEndian);

// A self-signed certificate (DER) for the key in the PEM.
Bytes SelfSignedCert(const std::string& privatePem, const std::string& cn);

// A certificate (DER) for the SM2 public key (x, y), issued by a throw-away SM2
// key, and one for an RSA public key given by its PEM private key.
Bytes Sm2CertificateFor(const Bytes& x, const Bytes& y, const std::string& cn);

// The DER CertificationRequestInfo of a request for the SM2 key (x, y), and the
// request PEM assembled from it and a provider signature (SM3withSM2).
Bytes Sm2RequestInfo(const Bytes& x, const Bytes& y, const std::string& cn);
std::string Sm2RequestPem(const Bytes& info, const Bytes& sigLe);

// The key in a PEM, owned by the caller.
EVP_PKEY* LoadPrivateKey(const std::string& pem);

// Random bytes.
Bytes RandomBytes(size_t n);

// Writes bytes to a file; true on success.
bool WriteFile(const std::string& path, const Bytes& data);
bool WriteFile(const std::string& path, const std::string& data);

}  // namespace sm2csp_test
