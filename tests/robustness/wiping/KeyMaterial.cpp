#include "tests/robustness/wiping/KeyMaterial.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/x509.h>

#include <memory>

namespace wiping_test {

namespace {

struct PkeyFree {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;

PkeyPtr Generate(const char* name, int bits) {
    EVP_PKEY_CTX* c = EVP_PKEY_CTX_new_from_name(nullptr, name, nullptr);
    EVP_PKEY* k = nullptr;
    bool ok = c && EVP_PKEY_keygen_init(c) == 1 && (bits == 0 || EVP_PKEY_CTX_set_rsa_keygen_bits(c, bits) == 1) &&
              EVP_PKEY_generate(c, &k) == 1;
    EVP_PKEY_CTX_free(c);
    if (!ok) {
        EVP_PKEY_free(k);
        return nullptr;
    }
    return PkeyPtr(k);
}

Bytes BigEndian(const EVP_PKEY* k, const char* name) {
    BIGNUM* b = nullptr;
    if (EVP_PKEY_get_bn_param(k, name, &b) != 1) return {};
    Bytes out(static_cast<size_t>(BN_num_bytes(b)));
    BN_bn2bin(b, out.data());
    BN_clear_free(b);
    return out;
}

// A certificate for subjectKey, signed by signer (RSA, SHA-256); only the
// public key in it matters to the import.
Bytes Certificate(EVP_PKEY* subjectKey, EVP_PKEY* signer, const char* cn) {
    X509* x = X509_new();
    if (!x) return {};
    X509_set_version(x, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x), 0x5157);
    X509_gmtime_adj(X509_getm_notBefore(x), -300);
    X509_gmtime_adj(X509_getm_notAfter(x), 86400L * 30);
    X509_NAME* name = X509_get_subject_name(x);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(cn), -1, -1, 0);
    X509_set_issuer_name(x, name);
    Bytes out;
    if (X509_set_pubkey(x, subjectKey) == 1 && X509_sign(x, signer, EVP_sha256()) > 0) {
        int n = i2d_X509(x, nullptr);
        if (n > 0) {
            out.resize(static_cast<size_t>(n));
            unsigned char* p = out.data();
            i2d_X509(x, &p);
        }
    }
    X509_free(x);
    return out;
}

}  // namespace

bool NewRsaKey(int bits, RsaKeyMaterial& out) {
    PkeyPtr k = Generate("RSA", bits);
    if (!k) return false;
    unsigned char* der = nullptr;
    int n = i2d_PrivateKey(k.get(), &der);
    if (n <= 0) return false;
    out.pkcs1.assign(der, der + n);
    OPENSSL_clear_free(der, static_cast<size_t>(n));
    out.n = BigEndian(k.get(), OSSL_PKEY_PARAM_RSA_N);
    out.d = BigEndian(k.get(), OSSL_PKEY_PARAM_RSA_D);
    out.p = BigEndian(k.get(), OSSL_PKEY_PARAM_RSA_FACTOR1);
    out.q = BigEndian(k.get(), OSSL_PKEY_PARAM_RSA_FACTOR2);
    out.dp = BigEndian(k.get(), OSSL_PKEY_PARAM_RSA_EXPONENT1);
    out.dq = BigEndian(k.get(), OSSL_PKEY_PARAM_RSA_EXPONENT2);
    out.qinv = BigEndian(k.get(), OSSL_PKEY_PARAM_RSA_COEFFICIENT1);
    out.certificate = Certificate(k.get(), k.get(), "Wiping Test RSA");
    return !out.d.empty() && !out.p.empty() && !out.certificate.empty();
}

bool NewSm2Key(Sm2KeyMaterial& out) {
    PkeyPtr k = Generate("SM2", 0);
    PkeyPtr signer = Generate("RSA", 1024);
    if (!k || !signer) return false;
    Bytes d = BigEndian(k.get(), OSSL_PKEY_PARAM_PRIV_KEY);
    if (d.empty() || d.size() > 32) return false;
    out.d.assign(32 - d.size(), 0);
    out.d.insert(out.d.end(), d.begin(), d.end());
    out.certificate = Certificate(k.get(), signer.get(), "Wiping Test SM2");
    return !out.certificate.empty();
}

Bytes TripleDesEcbEncrypt(const Bytes& key, const Bytes& plain, bool pad) {
    EVP_CIPHER_CTX* c = EVP_CIPHER_CTX_new();
    Bytes out(plain.size() + 8);
    int l1 = 0, l2 = 0;
    bool ok = c && EVP_EncryptInit_ex(c, EVP_des_ede3_ecb(), nullptr, key.data(), nullptr) == 1 &&
              EVP_CIPHER_CTX_set_padding(c, pad ? 1 : 0) == 1 &&
              EVP_EncryptUpdate(c, out.data(), &l1, plain.data(), static_cast<int>(plain.size())) == 1 &&
              EVP_EncryptFinal_ex(c, out.data() + l1, &l2) == 1;
    EVP_CIPHER_CTX_free(c);
    if (!ok) return {};
    out.resize(static_cast<size_t>(l1 + l2));
    return out;
}

Bytes RandomBytes(size_t n) {
    Bytes b(n);
    RAND_bytes(b.data(), static_cast<int>(n));
    return b;
}

}  // namespace wiping_test
