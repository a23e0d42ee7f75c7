#include "platform/csp/Sm2Certificate.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <string_view>

#include "platform/base/OpenSslPtr.h"

namespace tessaro::csp {

namespace {

bool GetCoordinate(const EVP_PKEY* k, const char* name, std::vector<uint8_t>& out) {
    BIGNUM* bn = nullptr;
    if (EVP_PKEY_get_bn_param(k, name, &bn) != 1) return false;
    tessaro::UniquePtr<BIGNUM> h(bn);
    size_t at = out.size();
    out.resize(at + 32);
    return BN_bn2binpad(bn, out.data() + at, 32) == 32;
}
}  // namespace

CertKeyKind ReadCertificatePublicKey(const uint8_t* der, size_t len, std::vector<uint8_t>* keyBytes) {
    keyBytes->clear();
    if (!der || len == 0 || len > 0x7FFFFFFF) return CertKeyKind::None;
    const unsigned char* p = der;
    tessaro::UniquePtr<X509> cert(d2i_X509(nullptr, &p, static_cast<long>(len)));
    // Trailing bytes mean this is not the certificate the caller thinks it is.
    if (!cert || p != der + len) {
        ERR_clear_error();
        return CertKeyKind::None;
    }
    EVP_PKEY* k = X509_get0_pubkey(cert.get());
    if (!k) {
        ERR_clear_error();
        return CertKeyKind::Other;
    }
    CertKeyKind kind = CertKeyKind::Other;
    if (EVP_PKEY_is_a(k, "SM2") ||
        (EVP_PKEY_is_a(k, "EC") && EVP_PKEY_get_bits(k) == 256)) {
        // An EC key counts only on the SM2 curve.
        char group[64] = {0};
        size_t glen = 0;
        if (EVP_PKEY_get_utf8_string_param(k, OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof group, &glen) == 1 &&
            (std::string_view(group) == "SM2" || std::string_view(group) == "sm2")) {
            keyBytes->push_back(0x04);
            if (GetCoordinate(k, OSSL_PKEY_PARAM_EC_PUB_X, *keyBytes) &&
                GetCoordinate(k, OSSL_PKEY_PARAM_EC_PUB_Y, *keyBytes))
                kind = CertKeyKind::Sm2;
            else
                keyBytes->clear();
        }
    } else if (EVP_PKEY_is_a(k, "RSA")) {
        BIGNUM* n = nullptr;
        if (EVP_PKEY_get_bn_param(k, OSSL_PKEY_PARAM_RSA_N, &n) == 1) {
            tessaro::UniquePtr<BIGNUM> h(n);
            keyBytes->resize(static_cast<size_t>(BN_num_bytes(n)));
            BN_bn2bin(n, keyBytes->data());
            kind = CertKeyKind::Rsa;
        }
    }
    ERR_clear_error();
    return kind;
}

}  // namespace tessaro::csp
