#include "tests/import/OpenSslSide.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ecdsa.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <algorithm>
#include <memory>

namespace importenc_test {

namespace {

struct Free {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
    void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
    void operator()(EVP_CIPHER_CTX* p) const { EVP_CIPHER_CTX_free(p); }
    void operator()(EVP_MD_CTX* p) const { EVP_MD_CTX_free(p); }
    void operator()(X509* p) const { X509_free(p); }
    void operator()(BIO* p) const { BIO_free(p); }
    void operator()(BIGNUM* p) const { BN_free(p); }
    void operator()(ECDSA_SIG* p) const { ECDSA_SIG_free(p); }
};
template <class T>
using Ptr = std::unique_ptr<T, Free>;

Ptr<X509> ParseCert(const Bytes& der) {
    const unsigned char* p = der.data();
    return Ptr<X509>(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
}

Bytes BnBytes(const EVP_PKEY* k, const char* name) {
    BIGNUM* bn = nullptr;
    if (EVP_PKEY_get_bn_param(k, name, &bn) != 1) return {};
    Ptr<BIGNUM> hold(bn);
    Bytes out(static_cast<size_t>(BN_num_bytes(bn)));
    BN_bn2bin(bn, out.data());
    return out;
}

}  // namespace

Bytes TripleDesEcbEncrypt(const Bytes& key, const Bytes& plain) {
    Ptr<EVP_CIPHER_CTX> c(EVP_CIPHER_CTX_new());
    Bytes out(plain.size() + 8);
    int l1 = 0, l2 = 0;
    if (!c || key.size() != 24 || EVP_EncryptInit_ex(c.get(), EVP_des_ede3_ecb(), nullptr, key.data(), nullptr) != 1 ||
        EVP_EncryptUpdate(c.get(), out.data(), &l1, plain.data(), static_cast<int>(plain.size())) != 1 ||
        EVP_EncryptFinal_ex(c.get(), out.data() + l1, &l2) != 1)
        return {};
    out.resize(static_cast<size_t>(l1 + l2));
    return out;
}

RsaKey NewRsaKey(int bits) {
    RsaKey r;
    Ptr<EVP_PKEY> k(EVP_RSA_gen(static_cast<unsigned>(bits)));
    if (!k) return r;
    unsigned char* der = nullptr;
    int n = i2d_PrivateKey(k.get(), &der);
    if (n <= 0) return r;
    r.pkcs1.assign(der, der + n);
    OPENSSL_free(der);
    r.n = BnBytes(k.get(), OSSL_PKEY_PARAM_RSA_N);
    r.e = BnBytes(k.get(), OSSL_PKEY_PARAM_RSA_E);
    r.d = BnBytes(k.get(), OSSL_PKEY_PARAM_RSA_D);
    r.p = BnBytes(k.get(), OSSL_PKEY_PARAM_RSA_FACTOR1);
    r.q = BnBytes(k.get(), OSSL_PKEY_PARAM_RSA_FACTOR2);
    r.dp = BnBytes(k.get(), OSSL_PKEY_PARAM_RSA_EXPONENT1);
    r.dq = BnBytes(k.get(), OSSL_PKEY_PARAM_RSA_EXPONENT2);
    r.qinv = BnBytes(k.get(), OSSL_PKEY_PARAM_RSA_COEFFICIENT1);
    return r;
}

bool CertificateMatchesPrivatePem(const Bytes& certDer, const std::string& privatePem) {
    Ptr<X509> x = ParseCert(certDer);
    Ptr<BIO> bio(BIO_new_mem_buf(privatePem.data(), static_cast<int>(privatePem.size())));
    if (!x || !bio) return false;
    Ptr<EVP_PKEY> k(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
    EVP_PKEY* pub = X509_get0_pubkey(x.get());
    return k && pub && EVP_PKEY_eq(pub, k.get()) == 1;
}

bool VerifyRsaSha1WithCertificate(const Bytes& certDer, const Bytes& msg, const Bytes& sigLe) {
    Ptr<X509> x = ParseCert(certDer);
    if (!x) return false;
    Bytes sig(sigLe.rbegin(), sigLe.rend());
    Ptr<EVP_MD_CTX> md(EVP_MD_CTX_new());
    return md && EVP_DigestVerifyInit(md.get(), nullptr, EVP_sha1(), nullptr, X509_get0_pubkey(x.get())) == 1 &&
           EVP_DigestVerify(md.get(), sig.data(), sig.size(), msg.data(), msg.size()) == 1;
}

bool VerifySm2WithCertificate(const Bytes& certDer, const Bytes& msg, const Bytes& sigLe) {
    Ptr<X509> x = ParseCert(certDer);
    if (!x || sigLe.size() != 64) return false;
    // r is the first half, s the second; each reversed to big-endian.
    Bytes r(sigLe.begin(), sigLe.begin() + 32), s(sigLe.begin() + 32, sigLe.end());
    std::reverse(r.begin(), r.end());
    std::reverse(s.begin(), s.end());
    Ptr<ECDSA_SIG> sig(ECDSA_SIG_new());
    BIGNUM* br = BN_bin2bn(r.data(), 32, nullptr);
    BIGNUM* bs = BN_bin2bn(s.data(), 32, nullptr);
    if (!sig || !br || !bs || ECDSA_SIG_set0(sig.get(), br, bs) != 1) {
        BN_free(br);
        BN_free(bs);
        return false;
    }
    unsigned char* der = nullptr;
    int n = i2d_ECDSA_SIG(sig.get(), &der);
    if (n <= 0) return false;
    Bytes sigDer(der, der + n);
    OPENSSL_free(der);

    Ptr<EVP_PKEY_CTX> pctx(EVP_PKEY_CTX_new(X509_get0_pubkey(x.get()), nullptr));
    static const char kId[] = "1234567812345678";
    if (!pctx || EVP_PKEY_CTX_set1_id(pctx.get(), kId, sizeof kId - 1) != 1) return false;
    Ptr<EVP_MD_CTX> md(EVP_MD_CTX_new());
    if (!md) return false;
    EVP_MD_CTX_set_pkey_ctx(md.get(), pctx.get());
    bool ok = EVP_DigestVerifyInit(md.get(), nullptr, EVP_sm3(), nullptr, X509_get0_pubkey(x.get())) == 1 &&
              EVP_DigestVerify(md.get(), sigDer.data(), sigDer.size(), msg.data(), msg.size()) == 1;
    return ok;
}

}  // namespace importenc_test
