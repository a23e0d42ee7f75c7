#include "tests/platform/csp/OpenSslHelpers.h"

#include "platform/base/OpenSslPtr.h"

#include <openssl/asn1.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/obj_mac.h>
#include <openssl/param_build.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <stdexcept>

#include "tests/support/TestPki.h"
#include "tests/support/TestSupport.h"

namespace sm2csp_test {

namespace {

using Pkey = tessaro::UniquePtr<EVP_PKEY>;
using PkeyCtx = tessaro::UniquePtr<EVP_PKEY_CTX>;
using MdCtx = tessaro::UniquePtr<EVP_MD_CTX>;
using Bn = tessaro::UniquePtr<BIGNUM>;

void Check(bool ok, const char* what) {
    if (!ok) throw std::runtime_error(what);
}

std::string ToPem(EVP_PKEY* k, bool priv) {
    BIO* b = BIO_new(BIO_s_mem());
    if (priv)
        PEM_write_bio_PrivateKey(b, k, nullptr, nullptr, 0, nullptr, nullptr);
    else
        PEM_write_bio_PUBKEY(b, k);
    char* p = nullptr;
    long n = BIO_get_mem_data(b, &p);
    std::string s(p, static_cast<size_t>(n));
    BIO_free(b);
    return s;
}

Pkey FromPem(const std::string& pem) {
    BIO* b = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
    EVP_PKEY* k = PEM_read_bio_PrivateKey(b, nullptr, nullptr, nullptr);
    BIO_free(b);
    Check(k != nullptr, "PEM_read_bio_PrivateKey");
    return Pkey(k);
}

Bytes BnBytes(const BIGNUM* bn, int width) {
    Bytes out(static_cast<size_t>(width > 0 ? width : BN_num_bytes(bn)));
    if (width > 0)
        BN_bn2binpad(bn, out.data(), width);
    else
        BN_bn2bin(bn, out.data());
    return out;
}

Bytes GetBnParam(EVP_PKEY* k, const char* name, int width) {
    BIGNUM* bn = nullptr;
    Check(EVP_PKEY_get_bn_param(k, name, &bn) == 1, name);
    Bn h(bn);
    return BnBytes(bn, width);
}

Pkey PublicSm2(const Bytes& x, const Bytes& y) {
    Bytes point{4};
    point.insert(point.end(), x.begin(), x.end());
    point.insert(point.end(), y.begin(), y.end());
    return tessaro_test::pki::Sm2PublicKey(point);
}

}  // namespace

Sm2Pair NewSm2Pair() {
    Pkey key = tessaro_test::pki::NewSm2Key();
    EVP_PKEY* k = key.get();
    Sm2Pair p;
    p.privatePem = ToPem(k, true);
    p.x = GetBnParam(k, OSSL_PKEY_PARAM_EC_PUB_X, 32);
    p.y = GetBnParam(k, OSSL_PKEY_PARAM_EC_PUB_Y, 32);
    p.d = GetBnParam(k, OSSL_PKEY_PARAM_PRIV_KEY, 32);
    return p;
}

std::string Sm2PublicPem(const Bytes& x, const Bytes& y) {
    Pkey k = PublicSm2(x, y);
    return ToPem(k.get(), false);
}

Sm2Ciphertexts Sm2EncryptWithOpenSsl(const Bytes& x, const Bytes& y, const Bytes& msg) {
    Pkey k = PublicSm2(x, y);
    PkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, k.get(), nullptr));
    size_t n = 0;
    Check(ctx && EVP_PKEY_encrypt_init(ctx.get()) == 1 &&
              EVP_PKEY_encrypt(ctx.get(), nullptr, &n, msg.data(), msg.size()) == 1,
          "encrypt size");
    Sm2Ciphertexts out;
    out.der.resize(n);
    Check(EVP_PKEY_encrypt(ctx.get(), out.der.data(), &n, msg.data(), msg.size()) == 1, "encrypt");
    out.der.resize(n);

    // SEQUENCE { INTEGER x, INTEGER y, OCTET STRING C3, OCTET STRING C2 }
    const unsigned char* p = out.der.data();
    ASN1_SEQUENCE_ANY* seq = d2i_ASN1_SEQUENCE_ANY(nullptr, &p, static_cast<long>(n));
    Check(seq && sk_ASN1_TYPE_num(seq) == 4, "ciphertext DER");
    auto integer = [&](int i) {
        ASN1_TYPE* t = sk_ASN1_TYPE_value(seq, i);
        Check(t->type == V_ASN1_INTEGER, "INTEGER");
        Bn bn(ASN1_INTEGER_to_BN(t->value.integer, nullptr));
        return BnBytes(bn.get(), 32);
    };
    auto octets = [&](int i) {
        ASN1_TYPE* t = sk_ASN1_TYPE_value(seq, i);
        Check(t->type == V_ASN1_OCTET_STRING, "OCTET STRING");
        const unsigned char* d = ASN1_STRING_get0_data(t->value.octet_string);
        return Bytes(d, d + ASN1_STRING_length(t->value.octet_string));
    };
    Bytes cx = integer(0), cy = integer(1), c3 = octets(2), c2 = octets(3);
    sk_ASN1_TYPE_pop_free(seq, ASN1_TYPE_free);
    out.c1c3c2 = cx;
    out.c1c3c2.insert(out.c1c3c2.end(), cy.begin(), cy.end());
    out.c1c2c3 = out.c1c3c2;
    out.c1c3c2.insert(out.c1c3c2.end(), c3.begin(), c3.end());
    out.c1c3c2.insert(out.c1c3c2.end(), c2.begin(), c2.end());
    out.c1c2c3.insert(out.c1c2c3.end(), c2.begin(), c2.end());
    out.c1c2c3.insert(out.c1c2c3.end(), c3.begin(), c3.end());
    return out;
}

Bytes Sm2DecryptWithOpenSsl(const std::string& privatePem, const Bytes& ct) {
    if (ct.size() < 97) return {};
    // Back to OpenSSL's DER form, built with OpenSSL's own encoder.
    ASN1_SEQUENCE_ANY* seq = sk_ASN1_TYPE_new_null();
    auto pushInt = [&](const unsigned char* p) {
        Bn bn(BN_bin2bn(p, 32, nullptr));
        ASN1_TYPE* t = ASN1_TYPE_new();
        ASN1_TYPE_set(t, V_ASN1_INTEGER, BN_to_ASN1_INTEGER(bn.get(), nullptr));
        sk_ASN1_TYPE_push(seq, t);
    };
    auto pushOct = [&](const unsigned char* p, size_t n) {
        ASN1_OCTET_STRING* s = ASN1_OCTET_STRING_new();
        ASN1_OCTET_STRING_set(s, p, static_cast<int>(n));
        ASN1_TYPE* t = ASN1_TYPE_new();
        ASN1_TYPE_set(t, V_ASN1_OCTET_STRING, s);
        sk_ASN1_TYPE_push(seq, t);
    };
    pushInt(ct.data());
    pushInt(ct.data() + 32);
    pushOct(ct.data() + 64, 32);
    pushOct(ct.data() + 96, ct.size() - 96);
    unsigned char* der = nullptr;
    int derLen = i2d_ASN1_SEQUENCE_ANY(seq, &der);
    sk_ASN1_TYPE_pop_free(seq, ASN1_TYPE_free);
    Pkey k = FromPem(privatePem);
    PkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, k.get(), nullptr));
    Bytes out(ct.size());
    size_t n = out.size();
    bool ok = ctx && EVP_PKEY_decrypt_init(ctx.get()) == 1 &&
              EVP_PKEY_decrypt(ctx.get(), out.data(), &n, der, static_cast<size_t>(derLen)) == 1;
    OPENSSL_free(der);
    if (!ok) return {};
    out.resize(n);
    return out;
}

Bytes Sm2SignatureDer(const Bytes& sigLe) {
    Bytes r(sigLe.begin(), sigLe.begin() + 32), s(sigLe.begin() + 32, sigLe.end());
    std::reverse(r.begin(), r.end());
    std::reverse(s.begin(), s.end());
    ECDSA_SIG* sig = ECDSA_SIG_new();
    ECDSA_SIG_set0(sig, BN_bin2bn(r.data(), 32, nullptr), BN_bin2bn(s.data(), 32, nullptr));
    unsigned char* der = nullptr;
    int n = i2d_ECDSA_SIG(sig, &der);
    Bytes out(der, der + n);
    OPENSSL_free(der);
    ECDSA_SIG_free(sig);
    return out;
}

bool Sm2VerifyWithOpenSsl(const Bytes& x, const Bytes& y, const Bytes& msg, const Bytes& sigLe,
                          const std::string& id) {
    if (sigLe.size() != 64) return false;
    Pkey k = PublicSm2(x, y);
    Bytes der = Sm2SignatureDer(sigLe);
    MdCtx md(EVP_MD_CTX_new());
    PkeyCtx pctx(EVP_PKEY_CTX_new_from_pkey(nullptr, k.get(), nullptr));
    EVP_PKEY_CTX_set1_id(pctx.get(), id.data(), static_cast<int>(id.size()));
    EVP_MD_CTX_set_pkey_ctx(md.get(), pctx.get());
    bool ok = EVP_DigestVerifyInit(md.get(), nullptr, EVP_sm3(), nullptr, k.get()) == 1 &&
              EVP_DigestVerify(md.get(), der.data(), der.size(), msg.data(), msg.size()) == 1;
    md.reset();
    return ok;
}

Bytes Sm2Digest(const Bytes& x, const Bytes& y, const Bytes& msg, const std::string& id) {
    EC_GROUP* g = EC_GROUP_new_by_curve_name(NID_sm2);
    BIGNUM *p = BN_new(), *a = BN_new(), *b = BN_new(), *gx = BN_new(), *gy = BN_new();
    EC_GROUP_get_curve(g, p, a, b, nullptr);
    EC_POINT_get_affine_coordinates(g, EC_GROUP_get0_generator(g), gx, gy, nullptr);
    Bytes z;
    size_t entl = id.size() * 8;
    z.push_back(static_cast<uint8_t>(entl >> 8));
    z.push_back(static_cast<uint8_t>(entl));
    z.insert(z.end(), id.begin(), id.end());
    for (BIGNUM* v : {a, b, gx, gy}) {
        Bytes c = BnBytes(v, 32);
        z.insert(z.end(), c.begin(), c.end());
    }
    z.insert(z.end(), x.begin(), x.end());
    z.insert(z.end(), y.begin(), y.end());
    for (BIGNUM* v : {p, a, b, gx, gy}) BN_free(v);
    EC_GROUP_free(g);
    Bytes zh(32);
    unsigned int n = 32;
    EVP_Digest(z.data(), z.size(), zh.data(), &n, EVP_sm3(), nullptr);
    Bytes m = zh;
    m.insert(m.end(), msg.begin(), msg.end());
    Bytes e(32);
    EVP_Digest(m.data(), m.size(), e.data(), &n, EVP_sm3(), nullptr);
    return e;
}

bool Sm2VerifyDigestWithOpenSsl(const Bytes& x, const Bytes& y, const Bytes& e, const Bytes& sigLe) {
    Pkey k = PublicSm2(x, y);
    Bytes der = Sm2SignatureDer(sigLe);
    PkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, k.get(), nullptr));
    // The SM2 verify operation on a digest takes e as it is.
    return ctx && EVP_PKEY_verify_init(ctx.get()) == 1 &&
           EVP_PKEY_verify(ctx.get(), der.data(), der.size(), e.data(), e.size()) == 1;
}

RsaPair NewRsaPair(int bits) {
    Pkey key = tessaro_test::pki::NewRsaKey(bits);
    EVP_PKEY* k = key.get();
    RsaPair r;
    r.privatePem = ToPem(k, true);
    unsigned char* der = nullptr;
    int n = i2d_PrivateKey(k, &der);  // RSAPrivateKey for an RSA key
    Check(n > 0, "i2d_PrivateKey");
    r.pkcs1.assign(der, der + n);
    OPENSSL_free(der);
    r.modulus = GetBnParam(k, OSSL_PKEY_PARAM_RSA_N, 0);
    r.publicExp = GetBnParam(k, OSSL_PKEY_PARAM_RSA_E, 0);
    return r;
}

Bytes RsaEncryptPkcs1(const std::string& privatePem, const Bytes& msg) {
    Pkey k = FromPem(privatePem);
    PkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, k.get(), nullptr));
    size_t n = 0;
    Check(ctx && EVP_PKEY_encrypt_init(ctx.get()) == 1 &&
              EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) == 1 &&
              EVP_PKEY_encrypt(ctx.get(), nullptr, &n, msg.data(), msg.size()) == 1,
          "rsa encrypt size");
    Bytes out(n);
    Check(EVP_PKEY_encrypt(ctx.get(), out.data(), &n, msg.data(), msg.size()) == 1, "rsa encrypt");
    out.resize(n);
    return out;
}

Bytes RsaEncryptPkcs1Public(const Bytes& modulus, const Bytes& exponent, const Bytes& msg) {
    Bn n(BN_bin2bn(modulus.data(), static_cast<int>(modulus.size()), nullptr));
    Bn e(BN_bin2bn(exponent.data(), static_cast<int>(exponent.size()), nullptr));
    OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_N, n.get());
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_E, e.get());
    OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(bld);
    PkeyCtx fctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    EVP_PKEY* k = nullptr;
    bool ok = fctx && EVP_PKEY_fromdata_init(fctx.get()) == 1 &&
              EVP_PKEY_fromdata(fctx.get(), &k, EVP_PKEY_PUBLIC_KEY, params) == 1;
    OSSL_PARAM_free(params);
    OSSL_PARAM_BLD_free(bld);
    Check(ok, "rsa public key");
    Pkey key(k);
    PkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, k, nullptr));
    size_t outLen = 0;
    Check(ctx && EVP_PKEY_encrypt_init(ctx.get()) == 1 &&
              EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) == 1 &&
              EVP_PKEY_encrypt(ctx.get(), nullptr, &outLen, msg.data(), msg.size()) == 1,
          "rsa encrypt size");
    Bytes out(outLen);
    Check(EVP_PKEY_encrypt(ctx.get(), out.data(), &outLen, msg.data(), msg.size()) == 1, "rsa encrypt");
    out.resize(outLen);
    return out;
}

Bytes TripleDesEcbEncrypt(const Bytes& key24, const Bytes& plain) {
    EVP_CIPHER_CTX* c = EVP_CIPHER_CTX_new();
    Bytes out(plain.size() + 8);
    int l1 = 0, l2 = 0;
    Check(EVP_EncryptInit_ex(c, EVP_des_ede3_ecb(), nullptr, key24.data(), nullptr) == 1 &&
              EVP_EncryptUpdate(c, out.data(), &l1, plain.data(), static_cast<int>(plain.size())) == 1 &&
              EVP_EncryptFinal_ex(c, out.data() + l1, &l2) == 1,
          "3des");
    EVP_CIPHER_CTX_free(c);
    out.resize(static_cast<size_t>(l1 + l2));
    return out;
}

bool RsaVerifySha1(const std::string& privatePem, const Bytes& msg, const Bytes& sig) {
    Pkey k = FromPem(privatePem);
    MdCtx md(EVP_MD_CTX_new());
    return EVP_DigestVerifyInit(md.get(), nullptr, EVP_sha1(), nullptr, k.get()) == 1 &&
           EVP_DigestVerify(md.get(), sig.data(), sig.size(), msg.data(), msg.size()) == 1;
}

Bytes SelfSignedCert(const std::string& privatePem, const std::string& cn) {
    Pkey k = FromPem(privatePem);
    tessaro_test::pki::CertSpec spec;
    spec.subject = {{"CN", cn}};
    spec.serial = {0x12, 0x34};
    spec.notBefore = time(nullptr);
    spec.notAfter = spec.notBefore + 86400L * 365;
    spec.signer = k.get();
    return tessaro_test::pki::MakeCert(spec);
}

Bytes Sm2CertificateFor(const Bytes& x, const Bytes& y, const std::string& cn) {
    Pkey subject = PublicSm2(x, y);
    Pkey issuer = tessaro_test::pki::NewSm2Key();
    tessaro_test::pki::CertSpec spec;
    spec.subject = {{"CN", cn}};
    spec.issuer = {{"CN", "Test Issuer"}};
    spec.serial = {0x56, 0x78};
    spec.notBefore = time(nullptr);
    spec.notAfter = spec.notBefore + 86400L * 365;
    spec.signer = issuer.get();
    spec.subjectKey = subject.get();
    return tessaro_test::pki::MakeCert(spec);
}

Bytes Sm2RequestInfo(const Bytes& x, const Bytes& y, const std::string& cn) {
    Pkey k = PublicSm2(x, y);
    X509_REQ* r = X509_REQ_new();
    X509_REQ_set_version(r, 0);
    auto* name = X509_REQ_get_subject_name(r);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(cn.c_str()), -1,
                               -1, 0);
    X509_REQ_set_pubkey(r, k.get());
    unsigned char* der = nullptr;
    int n = i2d_re_X509_REQ_tbs(r, &der);
    Check(n > 0, "i2d_re_X509_REQ_tbs");
    Bytes out(der, der + n);
    OPENSSL_free(der);
    X509_REQ_free(r);
    return out;
}

std::string Sm2RequestPem(const Bytes& info, const Bytes& sigLe) {
    Bytes body = info;
    const uint8_t alg[] = {0x30, 0x0C, 0x06, 0x08, 0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x01, 0x83, 0x75, 0x05, 0x00};
    body.insert(body.end(), alg, alg + sizeof alg);
    Bytes bits(1, 0);
    Bytes sig = Sm2SignatureDer(sigLe);
    bits.insert(bits.end(), sig.begin(), sig.end());
    const Bytes bitString = tessaro_test::Tlv(0x03, bits);
    body.insert(body.end(), bitString.begin(), bitString.end());
    const Bytes req = tessaro_test::Tlv(0x30, body);
    const unsigned char* p = req.data();
    X509_REQ* r = d2i_X509_REQ(nullptr, &p, static_cast<long>(req.size()));
    Check(r != nullptr, "d2i_X509_REQ");
    BIO* b = BIO_new(BIO_s_mem());
    PEM_write_bio_X509_REQ(b, r);
    char* data = nullptr;
    long n = BIO_get_mem_data(b, &data);
    std::string pem(data, static_cast<size_t>(n));
    BIO_free(b);
    X509_REQ_free(r);
    return pem;
}

EVP_PKEY* LoadPrivateKey(const std::string& pem) { return FromPem(pem).release(); }

Bytes RandomBytes(size_t n) {
    Bytes b(n);
    RAND_bytes(b.data(), static_cast<int>(n));
    return b;
}

bool WriteFile(const std::string& path, const Bytes& data) {
    std::ofstream f(path, std::ios::binary);
    f.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    return static_cast<bool>(f);
}

bool WriteFile(const std::string& path, const std::string& data) {
    return WriteFile(path, Bytes(data.begin(), data.end()));
}

}  // namespace sm2csp_test
