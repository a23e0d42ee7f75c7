#include "tools/testca/Envelope.h"

#include <openssl/core_names.h>
#include <openssl/rsa.h>

#include <cstdio>

namespace testca {

namespace {

constexpr long long kSessionKey3Des = 306;
constexpr size_t k3DesKeyBytes = 24;

// Length field and part: SEQUENCE { INTEGER, OCTET STRING }, Base64, with the
// terminating comma; or the part damaged as the defects of its name say.
std::string LengthAndPart(const std::string& name, uint32_t integer, const Bytes& data,
                          const std::set<std::string>& defects) {
    if (data.empty()) return EnvelopeField(0);
    auto has = [&](const char* d) { return defects.count(name + "-" + d) != 0; };
    std::vector<Bytes> elements;
    if (!has("one-element")) elements.push_back(DerSmallInteger(integer));
    elements.push_back(DerTlv(kTagOctetString, data));
    if (has("three-elements")) elements.push_back(Bytes{kTagNull, 0x00});
    std::string part = Base64Encode(DerSequence(elements));
    if (!has("no-comma")) part += ",";
    long long length = static_cast<long long>(part.size()) + (has("length-plus-one") ? 1 : 0);
    return EnvelopeField(length) + part;
}

void SetOddParity(uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        uint8_t b = p[i] & 0xFE;
        int ones = __builtin_popcount(b);
        p[i] = static_cast<uint8_t>(b | ((ones & 1) ? 0 : 1));
    }
}

bool RsaEncryptPkcs1(EVP_PKEY* key, const Bytes& plain, Bytes& out, std::string& err) {
    EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
    size_t n = 0;
    if (!ctx || EVP_PKEY_encrypt_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
        EVP_PKEY_encrypt(ctx.get(), nullptr, &n, plain.data(), plain.size()) != 1) {
        err = "cannot start RSA encryption: " + OpenSslErrors();
        return false;
    }
    out.resize(n);
    if (EVP_PKEY_encrypt(ctx.get(), out.data(), &n, plain.data(), plain.size()) != 1) {
        err = "RSA encryption failed: " + OpenSslErrors();
        return false;
    }
    out.resize(n);
    return true;
}

bool TripleDesEcbEncrypt(const uint8_t* key, const Bytes& plain, Bytes& out, std::string& err) {
    tessaro::UniquePtr<EVP_CIPHER> cipher(EVP_CIPHER_fetch(nullptr, "DES-EDE3-ECB", nullptr));
    EvpCipherCtxPtr ctx(EVP_CIPHER_CTX_new());
    if (!cipher || !ctx || EVP_EncryptInit_ex2(ctx.get(), cipher.get(), key, nullptr, nullptr) != 1) {
        err = "cannot start 3DES: " + OpenSslErrors();
        return false;
    }
    // PKCS#5 padding: what CryptDecrypt with Final removes.
    out.resize(plain.size() + 8);
    int n1 = 0, n2 = 0;
    if (EVP_EncryptUpdate(ctx.get(), out.data(), &n1, plain.data(), static_cast<int>(plain.size())) != 1 ||
        EVP_EncryptFinal_ex(ctx.get(), out.data() + n1, &n2) != 1) {
        err = "3DES encryption failed: " + OpenSslErrors();
        return false;
    }
    out.resize(static_cast<size_t>(n1 + n2));
    return true;
}

bool Pkcs1PrivateKey(EVP_PKEY* key, SecureBytes& out, std::string& err) {
    int n = i2d_PrivateKey(key, nullptr);
    if (n <= 0) {
        err = "cannot encode the private key: " + OpenSslErrors();
        return false;
    }
    out.data.resize(static_cast<size_t>(n));
    unsigned char* p = out.data.data();
    if (i2d_PrivateKey(key, &p) != n) {
        err = "cannot encode the private key: " + OpenSslErrors();
        return false;
    }
    return true;
}

bool BuildRsaParts(const ParsedRequest& request, const EnvelopeOptions& options, EVP_PKEY* key,
                   Bytes& encryptedSession, Bytes& encryptedKey, std::string& err) {
    if (options.sessionKeyBytes != 24 && options.sessionKeyBytes != 32) {
        err = "the session key is 24 or 32 bytes";
        return false;
    }
    SecureBytes session(options.sessionKeyBytes);
    if (!RandomBytes(session.data.data(), session.data.size(), err)) return false;
    SetOddParity(session.data.data(), k3DesKeyBytes);

    // Ordinary big-endian PKCS#1 v1.5 ciphertext; the agent turns it round for CryptoAPI itself.
    if (!RsaEncryptPkcs1(request.exchangeKey.get(), session.data, encryptedSession, err)) return false;

    SecureBytes pkcs1;
    return Pkcs1PrivateKey(key, pkcs1, err) &&
           TripleDesEcbEncrypt(session.data.data(), pkcs1.data, encryptedKey, err);
}

// OpenSSL gives SM2 ciphertexts as SEQUENCE { x, y, C3, C2 }; the agent takes them raw.
bool Sm2RawCiphertext(const Bytes& der, bool c1c2c3, Bytes& out, std::string& err) {
    DerElement root;
    std::vector<DerElement> f;
    Bytes x, y;
    if (!ReadDerWhole(der, root, err) || !ReadDerChildren(root, f, err) || f.size() != 4 ||
        !ReadDerUnsignedInteger(f[0], x, err) || !ReadDerUnsignedInteger(f[1], y, err) || x.size() > 32 ||
        y.size() > 32 || f[2].tag != kTagOctetString || f[2].length != 32 || f[3].tag != kTagOctetString) {
        err = "unexpected SM2 ciphertext from OpenSSL";
        return false;
    }
    Bytes c1(64, 0);
    std::copy(x.begin(), x.end(), c1.begin() + static_cast<std::ptrdiff_t>(32 - x.size()));
    std::copy(y.begin(), y.end(), c1.begin() + static_cast<std::ptrdiff_t>(64 - y.size()));
    Bytes c3 = f[2].Content(), c2 = f[3].Content();
    out = c1;
    if (c1c2c3) {
        out.insert(out.end(), c2.begin(), c2.end());
        out.insert(out.end(), c3.begin(), c3.end());
    } else {
        out.insert(out.end(), c3.begin(), c3.end());
        out.insert(out.end(), c2.begin(), c2.end());
    }
    return true;
}

bool BuildSm2Part(const ParsedRequest& request, const EnvelopeOptions& options, EVP_PKEY* key, Bytes& encryptedKey,
                  std::string& err) {
    BIGNUM* priv = nullptr;
    if (EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_PRIV_KEY, &priv) != 1) {
        err = "cannot read the SM2 private key: " + OpenSslErrors();
        return false;
    }
    SecureBytes scalar(32);
    int n = BN_bn2binpad(priv, scalar.data.data(), 32);
    BN_clear_free(priv);
    if (n != 32) {
        err = "SM2 private key longer than 32 bytes";
        return false;
    }
    EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, request.exchangeKey.get(), nullptr));
    size_t len = 0;
    if (!ctx || EVP_PKEY_encrypt_init(ctx.get()) != 1 ||
        EVP_PKEY_encrypt(ctx.get(), nullptr, &len, scalar.data.data(), scalar.data.size()) != 1) {
        err = "cannot start SM2 encryption: " + OpenSslErrors();
        return false;
    }
    Bytes der(len);
    if (EVP_PKEY_encrypt(ctx.get(), der.data(), &len, scalar.data.data(), scalar.data.size()) != 1) {
        err = "SM2 encryption failed: " + OpenSslErrors();
        return false;
    }
    der.resize(len);
    return Sm2RawCiphertext(der, options.c1c2c3, encryptedKey, err);
}

}  // namespace

const std::set<std::string>& EnvelopeDefectNames() {
    static const std::set<std::string> names = {
        "session-no-comma",      "key-no-comma",          "session-one-element",     "key-one-element",
        "session-three-elements", "key-three-elements",   "session-length-plus-one", "key-length-plus-one",
        "truncated"};
    return names;
}

std::string EnvelopeField(long long value) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%016lld", value);
    return buf;
}

bool BuildEnvelope(const Issuer& issuer, const ParsedRequest& request, const EnvelopeOptions& options,
                   EnvelopeResult& out, std::string& err) {
    if (!request.hasExchangeKey) {
        err = "the request carries no temporary exchange key (a single-certificate request?)";
        return false;
    }
    if (issuer.algorithm != request.algorithm) {
        err = "issuing CA and request use different key algorithms";
        return false;
    }
    bool rsa = request.algorithm == KeyAlgorithm::RSA;
    for (const auto& d : options.defects) {
        if (!EnvelopeDefectNames().count(d)) {
            err = "unknown envelope defect " + d;
            return false;
        }
        if (!rsa && d.compare(0, 8, "session-") == 0) {
            err = "an SM2 envelope has no session key part to damage";
            return false;
        }
    }
    long long sessionType = options.sessionKeyType >= 0 ? options.sessionKeyType : (rsa ? kSessionKey3Des : 0);
    for (long long v : {options.deviceType, options.encryptType, sessionType}) {
        if (v < 0 || v > kMaxFieldValue) {
            err = "an envelope field must be 0 to 9999999999999999";
            return false;
        }
    }
    // The agent's key length is that of its signing key; the encryption key matches it.
    int bits = options.bits > 0 ? options.bits : request.publicKeyBits;
    EvpPkeyPtr key;
    if (!GenerateKey(request.algorithm, bits, key, err)) return false;
    X509Ptr cert;
    if (!IssueCertificate(issuer, request.subject, key.get(), options.days, Usage::Encrypt, cert, err)) return false;

    Bytes encryptedSession, encryptedKey;
    if (rsa) {
        if (!BuildRsaParts(request, options, key.get(), encryptedSession, encryptedKey, err)) return false;
    } else if (!BuildSm2Part(request, options, key.get(), encryptedKey, err)) {
        return false;
    }
    out.text = EnvelopeField(options.deviceType) + EnvelopeField(options.encryptType) + EnvelopeField(sessionType) +
               LengthAndPart("session", options.partInteger, encryptedSession, options.defects) +
               LengthAndPart("key", options.partInteger, encryptedKey, options.defects);
    if (options.defects.count("truncated")) out.text.resize(40);
    out.certificate = std::move(cert);
    out.privateKey = std::move(key);
    return true;
}

}  // namespace testca
