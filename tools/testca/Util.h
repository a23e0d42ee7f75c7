// Small helpers of the test CA: OpenSSL ownership, Base64, files, JSON text.
#pragma once

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>
#include <string>

#include "tools/testca/Der.h"

namespace testca {

struct EvpPkeyFree { void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); } };
struct EvpPkeyCtxFree { void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); } };
struct EvpMdCtxFree { void operator()(EVP_MD_CTX* p) const { EVP_MD_CTX_free(p); } };
struct EvpCipherCtxFree { void operator()(EVP_CIPHER_CTX* p) const { EVP_CIPHER_CTX_free(p); } };
struct X509Free { void operator()(X509* p) const { X509_free(p); } };
struct X509NameFree { void operator()(X509_NAME* p) const { X509_NAME_free(p); } };
struct BioFree { void operator()(BIO* p) const { BIO_free(p); } };
struct BnFree { void operator()(BIGNUM* p) const { BN_free(p); } };

using EvpPkeyPtr = std::unique_ptr<EVP_PKEY, EvpPkeyFree>;
using EvpPkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, EvpPkeyCtxFree>;
using EvpMdCtxPtr = std::unique_ptr<EVP_MD_CTX, EvpMdCtxFree>;
using EvpCipherCtxPtr = std::unique_ptr<EVP_CIPHER_CTX, EvpCipherCtxFree>;
using X509Ptr = std::unique_ptr<X509, X509Free>;
using X509NamePtr = std::unique_ptr<X509_NAME, X509NameFree>;
using BioPtr = std::unique_ptr<BIO, BioFree>;
using BnPtr = std::unique_ptr<BIGNUM, BnFree>;

// Key material held in memory is wiped before it is released.
struct SecureBytes {
    Bytes data;
    SecureBytes() = default;
    explicit SecureBytes(size_t n) : data(n) {}
    SecureBytes(const SecureBytes&) = delete;
    SecureBytes& operator=(const SecureBytes&) = delete;
    ~SecureBytes();
};

// The SM2 user identity every signature of this CA uses and expects.
extern const char kSm2Identity[];
constexpr size_t kSm2IdentityLength = 16;

// The OpenSSL error queue as text ("" when empty); the queue is emptied.
std::string OpenSslErrors();

std::string Base64Encode(const uint8_t* p, size_t n);
inline std::string Base64Encode(const Bytes& b) { return Base64Encode(b.data(), b.size()); }
// Strict decoder: white space and PEM armour lines ("-----...") are skipped,
// anything else outside the alphabet or misplaced padding is refused.
bool Base64Decode(const std::string& text, Bytes& out, std::string& err);

bool RandomBytes(uint8_t* p, size_t n, std::string& err);

bool ReadWholeFile(const std::string& path, std::string& out, std::string& err);
bool ReadInput(const std::string& pathOrDash, std::string& out, std::string& err);
// Writes a file with the given mode, never through a symbolic link. With
// exclusive set an existing file is an error, otherwise it is replaced.
bool WriteFileSafely(const std::string& path, const std::string& data, unsigned mode, bool exclusive,
                     std::string& err);

std::string JsonEscape(const std::string& s);

std::string PemOfCertificate(X509* cert);
std::string PemOfPrivateKey(EVP_PKEY* key);
std::string PemOfPublicKey(EVP_PKEY* key);
Bytes DerOfCertificate(X509* cert);

}  // namespace testca
