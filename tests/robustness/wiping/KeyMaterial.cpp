#include "tests/robustness/wiping/KeyMaterial.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/x509.h>

#include <ctime>
#include <memory>

#include "tests/support/TestPki.h"

namespace wiping_test {

namespace {

using PkeyPtr = tessaro_test::pki::Key;

Bytes BigEndian(const EVP_PKEY* k, const char* name) {
    BIGNUM* b = nullptr;
    if (EVP_PKEY_get_bn_param(k, name, &b) != 1) return {};
    Bytes out(static_cast<size_t>(BN_num_bytes(b)));
    BN_bn2bin(b, out.data());
    BN_clear_free(b);
    return out;
}

// A certificate for subjectKey, signed by signer; only the public key in it
// matters to the import.
Bytes Certificate(EVP_PKEY* subjectKey, EVP_PKEY* signer, const char* cn) {
    tessaro_test::pki::CertSpec spec;
    spec.subject = {{"CN", cn}};
    spec.serial = {0x51, 0x57};
    const time_t now = time(nullptr);
    spec.notBefore = now - 300;
    spec.notAfter = now + 86400L * 30;
    spec.signer = signer;
    spec.subjectKey = subjectKey;
    return tessaro_test::pki::MakeCert(spec);
}

}  // namespace

bool NewRsaKey(int bits, RsaKeyMaterial& out) {
    PkeyPtr k = tessaro_test::pki::NewRsaKey(bits);
    const auto numbers = tessaro_test::pki::RsaNumbersOf(k.get());
    out.pkcs1 = numbers.pkcs1;
    out.n = numbers.n;
    out.d = numbers.d;
    out.p = numbers.p;
    out.q = numbers.q;
    out.dp = numbers.dp;
    out.dq = numbers.dq;
    out.qinv = numbers.qinv;
    out.certificate = Certificate(k.get(), k.get(), "Wiping Test RSA");
    return !out.d.empty() && !out.p.empty() && !out.certificate.empty();
}

bool NewSm2Key(Sm2KeyMaterial& out) {
    PkeyPtr k = tessaro_test::pki::NewSm2Key();
    PkeyPtr signer = tessaro_test::pki::NewRsaKey(1024);
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
