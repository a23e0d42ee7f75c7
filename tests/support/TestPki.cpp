#include "tests/support/TestPki.h"

#include <openssl/core_names.h>
#include <openssl/objects.h>

#include <stdexcept>

namespace tessaro_test::pki {

namespace {

void Check(bool ok, const char* what) {
    if (!ok) throw std::runtime_error(what);
}

template <typename T, int (*Encode)(T*, unsigned char**)>
Bytes DerOf(T* object) {
    unsigned char* der = nullptr;
    const int len = Encode(object, &der);
    Check(len > 0, "DER encoding");
    tessaro::OpenSslBuffer<unsigned char> owned(der);
    return Bytes(der, der + len);
}

int I2dCert(X509* x, unsigned char** out) { return i2d_X509(x, out); }
int I2dName(X509_NAME* n, unsigned char** out) { return i2d_X509_NAME(n, out); }
int I2dP7(PKCS7* p, unsigned char** out) { return i2d_PKCS7(p, out); }
int I2dSpki(EVP_PKEY* k, unsigned char** out) { return i2d_PUBKEY(k, out); }

tessaro::UniquePtr<X509_NAME> BuildName(const Name& entries) {
    tessaro::UniquePtr<X509_NAME> n(X509_NAME_new());
    for (const auto& e : entries) {
        tessaro::UniquePtr<ASN1_OBJECT> obj(OBJ_txt2obj(e.field.c_str(), 0));
        Check(obj != nullptr, "name field");
        tessaro::UniquePtr<X509_NAME_ENTRY> ne(X509_NAME_ENTRY_create_by_OBJ(
            nullptr, obj.get(), e.type, reinterpret_cast<const unsigned char*>(e.value.data()),
            static_cast<int>(e.value.size())));
        Check(ne && X509_NAME_add_entry(n.get(), ne.get(), -1, e.samePlus ? -1 : 0) == 1, "name entry");
    }
    return n;
}

void SetTime(ASN1_TIME* t, time_t when, const std::string& text) {
    Check(text.empty() ? ASN1_TIME_set(t, when) != nullptr : ASN1_TIME_set_string(t, text.c_str()) == 1, "validity");
}

Key Generate(const char* alg, size_t bits) {
    Key k(bits ? EVP_PKEY_Q_keygen(nullptr, nullptr, alg, bits) : EVP_PKEY_Q_keygen(nullptr, nullptr, alg));
    Check(k != nullptr, "key generation");
    return k;
}

}  // namespace

Key NewRsaKey(int bits) { return Generate("RSA", static_cast<size_t>(bits)); }
Key NewSm2Key() { return Generate("SM2", 0); }
Key NewP256Key() {
    Key k(EVP_EC_gen("P-256"));
    Check(k != nullptr, "key generation");
    return k;
}

Key Sm2PublicKey(const Bytes& point) {
    tessaro::UniquePtr<OSSL_PARAM_BLD> bld(OSSL_PARAM_BLD_new());
    OSSL_PARAM_BLD_push_utf8_string(bld.get(), OSSL_PKEY_PARAM_GROUP_NAME, "SM2", 0);
    OSSL_PARAM_BLD_push_octet_string(bld.get(), OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size());
    tessaro::UniquePtr<OSSL_PARAM> params(OSSL_PARAM_BLD_to_param(bld.get()));
    tessaro::UniquePtr<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_name(nullptr, "SM2", nullptr));
    EVP_PKEY* key = nullptr;
    Check(ctx && EVP_PKEY_fromdata_init(ctx.get()) > 0 &&
              EVP_PKEY_fromdata(ctx.get(), &key, EVP_PKEY_PUBLIC_KEY, params.get()) > 0,
          "SM2 public key");
    return Key(key);
}

RsaNumbers RsaNumbersOf(const EVP_PKEY* key) {
    auto number = [key](const char* name) {
        BIGNUM* raw = nullptr;
        Check(EVP_PKEY_get_bn_param(key, name, &raw) == 1, name);
        tessaro::UniquePtr<BIGNUM> bn(raw);
        Bytes out(static_cast<size_t>(BN_num_bytes(raw)));
        BN_bn2bin(raw, out.data());
        return out;
    };
    RsaNumbers r;
    unsigned char* der = nullptr;
    const int n = i2d_PrivateKey(key, &der);  // RSAPrivateKey for an RSA key
    Check(n > 0, "RSAPrivateKey");
    r.pkcs1.assign(der, der + n);
    OPENSSL_clear_free(der, static_cast<size_t>(n));
    r.n = number(OSSL_PKEY_PARAM_RSA_N);
    r.e = number(OSSL_PKEY_PARAM_RSA_E);
    r.d = number(OSSL_PKEY_PARAM_RSA_D);
    r.p = number(OSSL_PKEY_PARAM_RSA_FACTOR1);
    r.q = number(OSSL_PKEY_PARAM_RSA_FACTOR2);
    r.dp = number(OSSL_PKEY_PARAM_RSA_EXPONENT1);
    r.dq = number(OSSL_PKEY_PARAM_RSA_EXPONENT2);
    r.qinv = number(OSSL_PKEY_PARAM_RSA_COEFFICIENT1);
    return r;
}

EVP_PKEY* SharedRsaKey() {
    static Key k = NewRsaKey();
    return k.get();
}
EVP_PKEY* SharedRsaKey2() {
    static Key k = NewRsaKey();
    return k.get();
}
EVP_PKEY* SharedSm2Key() {
    static Key k = NewSm2Key();
    return k.get();
}

Bytes MakeCert(const CertSpec& spec) {
    EVP_PKEY* signer = spec.signer ? spec.signer : (spec.sm2 ? SharedSm2Key() : SharedRsaKey());
    EVP_PKEY* key = spec.subjectKey ? spec.subjectKey : signer;
    tessaro::UniquePtr<X509> x(X509_new());
    Check(x && X509_set_version(x.get(), spec.version) == 1, "version");
    {
        // The INTEGER's content octets exactly as given.
        Bytes der = {0x02, static_cast<uint8_t>(spec.serial.size())};
        der.insert(der.end(), spec.serial.begin(), spec.serial.end());
        const unsigned char* p = der.data();
        tessaro::UniquePtr<ASN1_INTEGER> serial(d2i_ASN1_INTEGER(nullptr, &p, static_cast<long>(der.size())));
        Check(serial && X509_set_serialNumber(x.get(), serial.get()) == 1, "serial");
    }
    Check(X509_set_subject_name(x.get(), BuildName(spec.subject).get()) == 1 &&
              X509_set_issuer_name(x.get(), BuildName(spec.issuer.empty() ? spec.subject : spec.issuer).get()) == 1,
          "names");
    SetTime(X509_getm_notBefore(x.get()), spec.notBefore, spec.notBeforeText);
    SetTime(X509_getm_notAfter(x.get()), spec.notAfter, spec.notAfterText);
    Check(X509_set_pubkey(x.get(), key) == 1, "public key");
    if (spec.keyUsage >= 0) {
        tessaro::UniquePtr<ASN1_BIT_STRING> bits(ASN1_BIT_STRING_new());
        for (int i = 0; i < 8; ++i)
            if (spec.keyUsage & (0x80 >> i)) ASN1_BIT_STRING_set_bit(bits.get(), i, 1);
        Check(X509_add1_ext_i2d(x.get(), NID_key_usage, bits.get(), 1, X509V3_ADD_DEFAULT) == 1, "key usage");
    }
    if (!spec.subjectKeyId.empty()) {
        tessaro::UniquePtr<ASN1_OCTET_STRING> os(ASN1_OCTET_STRING_new());
        ASN1_OCTET_STRING_set(os.get(), spec.subjectKeyId.data(), static_cast<int>(spec.subjectKeyId.size()));
        Check(X509_add1_ext_i2d(x.get(), NID_subject_key_identifier, os.get(), 0, X509V3_ADD_DEFAULT) == 1,
              "subject key id");
    }
    for (const auto& e : spec.extensions) {
        tessaro::UniquePtr<ASN1_OBJECT> obj(OBJ_txt2obj(e.oid.c_str(), 1));
        tessaro::UniquePtr<ASN1_OCTET_STRING> os(ASN1_OCTET_STRING_new());
        ASN1_OCTET_STRING_set(os.get(), e.value.data(), static_cast<int>(e.value.size()));
        tessaro::UniquePtr<X509_EXTENSION> ext(
            X509_EXTENSION_create_by_OBJ(nullptr, obj.get(), e.critical ? 1 : 0, os.get()));
        Check(ext && X509_add_ext(x.get(), ext.get(), -1) == 1, "extension");
    }
    if (!spec.v3.empty()) {
        X509V3_CTX ctx;
        X509V3_set_ctx_nodb(&ctx);
        X509V3_set_ctx(&ctx, x.get(), x.get(), nullptr, nullptr, 0);
        for (const auto& [name, value] : spec.v3) {
            tessaro::UniquePtr<X509_EXTENSION> ext(
                X509V3_EXT_conf_nid(nullptr, &ctx, OBJ_txt2nid(name.c_str()), value.c_str()));
            Check(ext && X509_add_ext(x.get(), ext.get(), -1) == 1, "extension");
        }
    }
    const EVP_MD* md = EVP_PKEY_is_a(signer, "SM2") ? EVP_sm3() : EVP_sha256();
    Check(X509_sign(x.get(), signer, md) > 0, "signature");
    return DerOf<X509, I2dCert>(x.get());
}

Bytes Serial(long value) {
    tessaro::UniquePtr<ASN1_INTEGER> i(ASN1_INTEGER_new());
    Check(i && ASN1_INTEGER_set(i.get(), value) == 1, "serial");
    return Bytes(ASN1_STRING_get0_data(i.get()), ASN1_STRING_get0_data(i.get()) + ASN1_STRING_length(i.get()));
}

Bytes EncodeName(const Name& entries) {
    auto n = BuildName(entries);
    return DerOf<X509_NAME, I2dName>(n.get());
}

Bytes MakeP7b(const std::vector<Bytes>& certs) {
    tessaro::UniquePtr<PKCS7> p7(PKCS7_new());
    Check(p7 && PKCS7_set_type(p7.get(), NID_pkcs7_signed) == 1 && PKCS7_content_new(p7.get(), NID_pkcs7_data) == 1,
          "PKCS#7");
    for (const auto& c : certs) {
        auto x = ParseCert(c);
        Check(x && PKCS7_add_certificate(p7.get(), x.get()) == 1, "PKCS#7 certificate");
    }
    return DerOf<PKCS7, I2dP7>(p7.get());
}

Bytes SpkiOf(EVP_PKEY* key) { return DerOf<EVP_PKEY, I2dSpki>(key); }

tessaro::UniquePtr<X509> ParseCert(const Bytes& der) {
    const unsigned char* p = der.data();
    return tessaro::UniquePtr<X509>(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
}

}  // namespace tessaro_test::pki
