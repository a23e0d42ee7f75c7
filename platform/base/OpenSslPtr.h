// Owning pointers for OpenSSL objects, one deleter per type, declared once:
// tessaro::UniquePtr<EVP_PKEY> frees with EVP_PKEY_free on every path.
// BIGNUMs are cleared before they are freed, since most of ours hold key
// numbers. Like every OpenSSL header, it comes before the platform's Windows
// headers, whose structure-type macros (X509_NAME, ...) share OpenSSL's names.
#pragma once

#ifdef TESSARO_STRUCT_TYPE
#error "include OpenSSL headers before the platform's Windows headers"
#endif

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>

namespace tessaro {

template <typename T>
struct Deleter;

template <typename T>
using UniquePtr = std::unique_ptr<T, Deleter<T>>;

#define TESSARO_MAKE_DELETER(type, free_fn)       \
    template <>                                   \
    struct Deleter<type> {                        \
        void operator()(type* p) const noexcept { \
            free_fn(p);                           \
        }                                         \
    };

// ASN1_INTEGER, ASN1_OCTET_STRING, ASN1_BIT_STRING and the other string
// types are all ASN1_STRING.
TESSARO_MAKE_DELETER(ASN1_STRING, ASN1_STRING_free)
TESSARO_MAKE_DELETER(ASN1_OBJECT, ASN1_OBJECT_free)
TESSARO_MAKE_DELETER(ASN1_TYPE, ASN1_TYPE_free)
TESSARO_MAKE_DELETER(BASIC_CONSTRAINTS, BASIC_CONSTRAINTS_free)
TESSARO_MAKE_DELETER(BIGNUM, BN_clear_free)
TESSARO_MAKE_DELETER(BIO, BIO_free)
TESSARO_MAKE_DELETER(BN_CTX, BN_CTX_free)
TESSARO_MAKE_DELETER(EC_GROUP, EC_GROUP_free)
TESSARO_MAKE_DELETER(EC_POINT, EC_POINT_free)
TESSARO_MAKE_DELETER(ECDSA_SIG, ECDSA_SIG_free)
TESSARO_MAKE_DELETER(EVP_CIPHER, EVP_CIPHER_free)
TESSARO_MAKE_DELETER(EVP_CIPHER_CTX, EVP_CIPHER_CTX_free)
TESSARO_MAKE_DELETER(EVP_ENCODE_CTX, EVP_ENCODE_CTX_free)
TESSARO_MAKE_DELETER(EVP_MD_CTX, EVP_MD_CTX_free)
TESSARO_MAKE_DELETER(EVP_PKEY, EVP_PKEY_free)
TESSARO_MAKE_DELETER(EVP_PKEY_CTX, EVP_PKEY_CTX_free)
TESSARO_MAKE_DELETER(OSSL_PARAM, OSSL_PARAM_free)
TESSARO_MAKE_DELETER(OSSL_PARAM_BLD, OSSL_PARAM_BLD_free)
TESSARO_MAKE_DELETER(PKCS7, PKCS7_free)
TESSARO_MAKE_DELETER(X509, X509_free)
TESSARO_MAKE_DELETER(X509_EXTENSION, X509_EXTENSION_free)
TESSARO_MAKE_DELETER(X509_NAME, X509_NAME_free)
TESSARO_MAKE_DELETER(X509_NAME_ENTRY, X509_NAME_ENTRY_free)
TESSARO_MAKE_DELETER(X509_REQ, X509_REQ_free)

#undef TESSARO_MAKE_DELETER

// Memory OpenSSL hands out (i2d_*, BN_bn2hex, OBJ text): freed with
// OPENSSL_free.
struct OpenSslFree {
    void operator()(void* p) const noexcept { OPENSSL_free(p); }
};
template <typename T>
using OpenSslBuffer = std::unique_ptr<T, OpenSslFree>;

}  // namespace tessaro
