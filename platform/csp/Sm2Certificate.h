// Reads the public key out of a DER certificate for the token providers'
// certificate-to-key check. Kept free of the Windows headers: their X509_*
// structure-type macros collide with OpenSSL's certificate API.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tessaro::csp {

enum class CertKeyKind { None, Sm2, Rsa, Other };

// The kind of the certificate's subject public key and its bytes: for SM2 the
// point 04 || x || y (65 bytes), for RSA the big-endian modulus followed by
// nothing else. None when the bytes are not exactly one certificate.
CertKeyKind ReadCertificatePublicKey(const uint8_t* der, size_t len, std::vector<uint8_t>* keyBytes);

}  // namespace tessaro::csp
