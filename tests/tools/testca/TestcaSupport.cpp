#include "tests/tools/testca/TestcaSupport.h"

#include <gtest/gtest.h>
#include <openssl/core_names.h>
#include <openssl/pem.h>

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace testca_test {

Bytes Cat(const std::vector<Bytes>& parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes Str(const std::string& s) { return Bytes(s.begin(), s.end()); }

static Bytes Rdn(const Bytes& oid, uint8_t stringTag, const std::string& value) {
    return Tlv(0x31, Tlv(0x30, Cat({Tlv(0x06, oid), Tlv(stringTag, Str(value))})));
}

Bytes TestSubject() {
    return Tlv(0x30, Cat({Rdn({0x55, 0x04, 0x06}, 0x13, "CN"), Rdn({0x55, 0x04, 0x0A}, 0x0C, "Tessaro Bank"),
                          Rdn({0x55, 0x04, 0x03}, 0x0C, "\xE5\xBC\xA0\xE4\xB8\x89")}));
}

Bytes RsaPublicKeyDer(EVP_PKEY* key) {
    int n = i2d_PublicKey(key, nullptr);
    Bytes out(static_cast<size_t>(n));
    unsigned char* p = out.data();
    i2d_PublicKey(key, &p);
    return out;
}

Bytes Sm2Point(EVP_PKEY* key) {
    Bytes out(65);
    size_t n = 0;
    if (EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_ENCODED_PUBLIC_KEY, out.data(), out.size(), &n) != 1 ||
        n != 65)
        throw std::runtime_error("SM2 point");
    return out;
}

Bytes Sm2ExchangeKeyRecord(EVP_PKEY* key) {
    Bytes point = Sm2Point(key);
    Bytes rec = {0x00, 0xB4, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00};
    Bytes x(point.begin() + 1, point.begin() + 33), y(point.begin() + 33, point.end());
    rec.insert(rec.end(), x.begin(), x.end());
    rec.insert(rec.end(), 32, 0x00);
    rec.insert(rec.end(), y.begin(), y.end());
    rec.insert(rec.end(), 32, 0x00);
    return rec;
}

static const Bytes kRsaAlgorithm = {0x30, 0x0D, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86,
                                    0xF7, 0x0D, 0x01, 0x01, 0x01, 0x05, 0x00};
static const Bytes kSm2Algorithm = {0x30, 0x13, 0x06, 0x07, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x02, 0x01,
                                    0x06, 0x08, 0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x01, 0x82, 0x2D};

static bool IsSm2(EVP_PKEY* key) { return EVP_PKEY_is_a(key, "SM2"); }

Bytes SignAndWrap(const Bytes& requestInfo, EVP_PKEY* key, Hash hash, const std::string& sm2Identity) {
    Bytes sigAlg;
    const char* md = nullptr;
    switch (hash) {
    case Hash::SHA1:
        sigAlg = {0x30, 0x0D, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x05, 0x05, 0x00};
        md = "SHA1";
        break;
    case Hash::MD5:
        sigAlg = {0x30, 0x0D, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x04, 0x05, 0x00};
        md = "MD5";
        break;
    case Hash::SM3:
        sigAlg = {0x30, 0x0C, 0x06, 0x08, 0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x01, 0x83, 0x75, 0x05, 0x00};
        md = "SM3";
        break;
    }
    tessaro::UniquePtr<EVP_MD_CTX> ctx(EVP_MD_CTX_new());
    EVP_PKEY_CTX* pctx = nullptr;
    if (EVP_DigestSignInit_ex(ctx.get(), &pctx, md, nullptr, nullptr, key, nullptr) != 1)
        throw std::runtime_error("sign init");
    if (IsSm2(key) && !sm2Identity.empty() &&
        EVP_PKEY_CTX_set1_id(pctx, sm2Identity.data(), sm2Identity.size()) != 1)
        throw std::runtime_error("sm2 id");
    size_t n = 0;
    EVP_DigestSign(ctx.get(), nullptr, &n, requestInfo.data(), requestInfo.size());
    Bytes sig(n);
    if (EVP_DigestSign(ctx.get(), sig.data(), &n, requestInfo.data(), requestInfo.size()) != 1)
        throw std::runtime_error("sign");
    sig.resize(n);
    Bytes bits{0x00};
    bits.insert(bits.end(), sig.begin(), sig.end());
    return Tlv(0x30, Cat({requestInfo, sigAlg, Tlv(0x03, bits)}));
}

BuiltRequest BuildRequest(const RequestSpec& spec) {
    bool sm2 = IsSm2(spec.signKey);
    Bytes keyBits{0x00};
    Bytes pub = sm2 ? Sm2Point(spec.signKey) : RsaPublicKeyDer(spec.signKey);
    keyBits.insert(keyBits.end(), pub.begin(), pub.end());
    BuiltRequest r;
    r.subjectPublicKeyInfo = Tlv(0x30, Cat({sm2 ? kSm2Algorithm : kRsaAlgorithm, Tlv(0x03, keyBits)}));
    Bytes info = Cat({{0x02, 0x01, 0x00}, spec.subject.empty() ? TestSubject() : spec.subject,
                      r.subjectPublicKeyInfo});
    if (spec.exchangeKey) {
        Bytes challenge = Tlv(0x30, Cat({Tlv(0x06, {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x07}),
                                         Tlv(0x13, Str("493027"))}));
        Bytes exch = sm2 ? Sm2ExchangeKeyRecord(spec.exchangeKey) : RsaPublicKeyDer(spec.exchangeKey);
        Bytes record = Tlv(0x30, Cat({{0x02, 0x01, 0x01}, Tlv(0x04, exch)}));
        Bytes attr = Tlv(0x30, Cat({Tlv(0x06, {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x3F}),
                                    Tlv(0x04, record)}));
        info = Cat({info, Tlv(0xA0, Cat({challenge, attr}))});
    }
    r.requestInfo = Tlv(0x30, info);
    r.der = SignAndWrap(r.requestInfo, spec.signKey, sm2 ? Hash::SM3 : spec.hash, spec.sm2Identity);
    return r;
}

std::string B64(const Bytes& der) {
    std::string out(4 * ((der.size() + 2) / 3) + 1, '\0');
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), der.data(), static_cast<int>(der.size()));
    out.resize(static_cast<size_t>(n));
    return out;
}

Bytes UnB64(const std::string& text) {
    std::string clean;
    for (char c : text)
        if (c != '\r' && c != '\n' && c != ',') clean.push_back(c);
    Bytes out(clean.size() / 4 * 3 + 3);
    int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(clean.data()),
                            static_cast<int>(clean.size()));
    if (n < 0) throw std::runtime_error("bad base64 in test");
    size_t pad = 0;
    if (!clean.empty() && clean.back() == '=') ++pad;
    if (clean.size() > 1 && clean[clean.size() - 2] == '=') ++pad;
    out.resize(static_cast<size_t>(n) - pad);
    return out;
}

std::string AgentText(const Bytes& der) {
    std::string b = B64(der), out;
    for (size_t i = 0; i < b.size(); i += 64) {
        if (i) out += "\r\n";
        out += b.substr(i, 64);
    }
    return out;
}

tessaro_test::ProcessResult RunCa(const std::vector<std::string>& args, const std::string& input) {
    std::vector<std::string> argv{tessaro_test::BuildPath("tessaro-testca")};
    argv.insert(argv.end(), args.begin(), args.end());
    return tessaro_test::RunProcess(argv, input);
}

const std::string& SharedCaDir() {
    static tessaro_test::TempDir dir("testca");
    static std::string ca = [] {
        std::string p = dir.path() + "/ca";
        auto r = RunCa({"init", p});
        if (r.exitCode != 0) throw std::runtime_error("init failed: " + r.err);
        return p;
    }();
    return ca;
}

Cert CertFromB64(const std::string& b64line) {
    Bytes der = UnB64(b64line);
    const unsigned char* p = der.data();
    Cert c(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
    if (!c || p != der.data() + der.size()) throw std::runtime_error("not a certificate");
    return c;
}

Cert CertFromPemFile(const std::string& path) {
    FILE* f = fopen(path.c_str(), "r");
    if (!f) throw std::runtime_error("open " + path);
    Cert c(PEM_read_X509(f, nullptr, nullptr, nullptr));
    fclose(f);
    if (!c) throw std::runtime_error("pem " + path);
    return c;
}

Pkey PrivateKeyFromPem(const std::string& pem) {
    tessaro::UniquePtr<BIO> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    Pkey k(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
    if (!k) throw std::runtime_error("private key pem");
    return k;
}

void WriteFile(const std::string& path, const std::string& data) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << data;
}

std::string JsonString(const std::string& json, const std::string& key) {
    std::string pat = "\"" + key + "\":\"";
    size_t p = json.find(pat);
    if (p == std::string::npos) throw std::runtime_error("no JSON key " + key);
    std::string out;
    for (p += pat.size(); p < json.size() && json[p] != '"'; ++p) {
        if (json[p] != '\\') {
            out.push_back(json[p]);
            continue;
        }
        char e = json[++p];
        switch (e) {
        case 'n': out.push_back('\n'); break;
        case 'r': out.push_back('\r'); break;
        case 't': out.push_back('\t'); break;
        case 'u': out.push_back(static_cast<char>(std::stoi(json.substr(p + 1, 4), nullptr, 16))); p += 4; break;
        default: out.push_back(e);
        }
    }
    return out;
}

bool VerifyCert(X509* cert, EVP_PKEY* key, const char* sm2Identity) {
    if (sm2Identity) {
        ASN1_OCTET_STRING* id = ASN1_OCTET_STRING_new();
        ASN1_OCTET_STRING_set(id, reinterpret_cast<const unsigned char*>(sm2Identity),
                              static_cast<int>(strlen(sm2Identity)));
        X509_set0_distinguishing_id(cert, id);
    }
    int rc = X509_verify(cert, key);
    if (sm2Identity) X509_set0_distinguishing_id(cert, nullptr);
    return rc == 1;
}

Bytes CertSubjectDer(X509* cert) {
    unsigned char* p = nullptr;
    int n = i2d_X509_NAME(X509_get_subject_name(cert), &p);
    Bytes out(p, p + n);
    OPENSSL_free(p);
    return out;
}

Bytes CertSpkiDer(X509* cert) {
    unsigned char* p = nullptr;
    int n = i2d_X509_PUBKEY(X509_get_X509_PUBKEY(cert), &p);
    Bytes out(p, p + n);
    OPENSSL_free(p);
    return out;
}

}  // namespace testca_test
