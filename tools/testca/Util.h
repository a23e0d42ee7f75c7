// Small helpers of the test CA: OpenSSL ownership, Base64, files, JSON text.
#pragma once

#include <memory>
#include <string>

#include "platform/base/OpenSslPtr.h"
#include "tools/testca/Der.h"

namespace testca {

// OpenSSL ownership: the header-only deleters the platform declares.
using EvpPkeyPtr = tessaro::UniquePtr<EVP_PKEY>;
using EvpPkeyCtxPtr = tessaro::UniquePtr<EVP_PKEY_CTX>;
using EvpMdCtxPtr = tessaro::UniquePtr<EVP_MD_CTX>;
using EvpCipherCtxPtr = tessaro::UniquePtr<EVP_CIPHER_CTX>;
using X509Ptr = tessaro::UniquePtr<X509>;
using X509NamePtr = tessaro::UniquePtr<X509_NAME>;
using BioPtr = tessaro::UniquePtr<BIO>;
using BnPtr = tessaro::UniquePtr<BIGNUM>;

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
