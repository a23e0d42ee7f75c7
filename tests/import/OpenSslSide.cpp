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

#include "tests/support/TestPki.h"

namespace importenc_test {

namespace {

template <class T>
using Ptr = tessaro::UniquePtr<T>;

using tessaro_test::pki::ParseCert;

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
    const auto k = tessaro_test::pki::RsaNumbersOf(tessaro_test::pki::NewRsaKey(bits).get());
    return RsaKey{k.pkcs1, k.n, k.e, k.d, k.p, k.q, k.dp, k.dq, k.qinv};
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
