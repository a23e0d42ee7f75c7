// `envelope`: the exact text layout, and round trips opened with OpenSSL and
// the temporary private key the test made for its own request.
#include <gtest/gtest.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/rsa.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>

#include "tests/tools/testca/TestcaSupport.h"

using namespace testca_test;
using tessaro_test::TempDir;
using tessaro_test::ToHex;

namespace {

struct Envelope {
    std::string device, encrypt, sessionType;
    std::string sessionPart, keyPart;
};

bool AllDigits(const std::string& s) { return s.find_first_not_of("0123456789") == std::string::npos; }

// Splits the envelope by its fixed fields, checking widths, lengths and commas.
Envelope Split(const std::string& t) {
    Envelope e;
    EXPECT_GE(t.size(), 80u);
    if (t.size() < 80) return e;
    e.device = t.substr(0, 16);
    e.encrypt = t.substr(16, 16);
    e.sessionType = t.substr(32, 16);
    std::string l1 = t.substr(48, 16);
    EXPECT_TRUE(AllDigits(l1)) << l1;
    size_t n1 = std::stoul(l1);
    e.sessionPart = t.substr(64, n1);
    std::string l2 = t.substr(64 + n1, 16);
    EXPECT_TRUE(AllDigits(l2)) << l2;
    size_t n2 = std::stoul(l2);
    e.keyPart = t.substr(80 + n1, n2);
    EXPECT_EQ(t.size(), 80 + n1 + n2);  // nothing after the private key part
    for (const std::string* part : {&e.sessionPart, &e.keyPart}) {
        if (part->empty()) continue;
        // Base64 on one line, and exactly one comma: the last character.
        EXPECT_EQ(part->find(','), part->size() - 1) << *part;
        EXPECT_EQ(part->find_first_not_of(
                      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=,"),
                  std::string::npos);
    }
    return e;
}

// The content of the OCTET STRING of a part that must be SEQUENCE { INTEGER n, OCTET STRING }.
Bytes Unwrap(const std::string& part, uint8_t integer = 1) {
    Bytes der = UnB64(part);
    size_t hdr = der.size() > 1 && der[1] == 0x82 ? 4 : der.size() > 1 && der[1] == 0x81 ? 3 : 2;
    size_t inner = der.size() < hdr + 5 ? 0 : hdr + 3;
    size_t ohdr = inner && der[inner + 1] == 0x82 ? 4 : inner && der[inner + 1] == 0x81 ? 3 : 2;
    Bytes data(der.begin() + static_cast<long>(std::min(der.size(), inner + ohdr)), der.end());
    // Rebuilding it must give the same bytes: two elements, exact tags and lengths.
    EXPECT_EQ(ToHex(der), ToHex(Tlv(0x30, Cat({{0x02, 0x01, integer}, Tlv(0x04, data)}))));
    return data;
}

struct Outputs {
    std::string json, cert, envelope, keyPem;
    unsigned keyMode = 0;
};

Outputs RunEnvelope(const Bytes& request, const std::vector<std::string>& extra = {}) {
    TempDir t("env");
    std::vector<std::string> args{"envelope",       SharedCaDir(), "--cert-out", t.path() + "/cert.b64",
                                  "--envelope-out", t.path() + "/envelope.txt", "--key-out", t.path() + "/key.pem"};
    args.insert(args.end(), extra.begin(), extra.end());
    auto r = RunCa(args, AgentText(request));
    Outputs o;
    EXPECT_EQ(r.exitCode, 0) << r.err;
    if (r.exitCode != 0) return o;
    o.json = r.out;
    o.cert = ReadFile(t.path() + "/cert.b64");
    o.envelope = ReadFile(t.path() + "/envelope.txt");
    o.keyPem = ReadFile(t.path() + "/key.pem");
    struct stat st;
    if (stat((t.path() + "/key.pem").c_str(), &st) == 0) o.keyMode = st.st_mode & 0777;
    // The JSON line and the files say the same.
    EXPECT_EQ(JsonString(o.json, "certificate") + "\n", o.cert);
    EXPECT_EQ(JsonString(o.json, "envelope"), o.envelope);
    EXPECT_EQ(JsonString(o.json, "privateKeyPem"), o.keyPem);
    EXPECT_EQ(o.keyMode, 0600u);
    return o;
}

Bytes RsaDecrypt(EVP_PKEY* key, const Bytes& c, bool& ok) {
    tessaro::UniquePtr<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
    size_t n = 512;
    Bytes out(n);
    ok = EVP_PKEY_decrypt_init(ctx.get()) == 1 && EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) == 1 &&
         EVP_PKEY_decrypt(ctx.get(), out.data(), &n, c.data(), c.size()) == 1;
    out.resize(ok ? n : 0);
    return out;
}

Bytes TripleDesEcbDecrypt(const Bytes& key, const Bytes& c) {
    tessaro::UniquePtr<EVP_CIPHER_CTX> ctx(EVP_CIPHER_CTX_new());
    Bytes out(c.size() + 8);
    int n1 = 0, n2 = 0;
    if (EVP_DecryptInit_ex(ctx.get(), EVP_des_ede3_ecb(), nullptr, key.data(), nullptr) != 1 ||
        EVP_DecryptUpdate(ctx.get(), out.data(), &n1, c.data(), static_cast<int>(c.size())) != 1 ||
        EVP_DecryptFinal_ex(ctx.get(), out.data() + n1, &n2) != 1)
        return {};
    out.resize(static_cast<size_t>(n1 + n2));
    return out;
}

Bytes Pkcs1Der(EVP_PKEY* key) {
    unsigned char* p = nullptr;
    int n = i2d_PrivateKey(key, &p);
    Bytes out(p, p + n);
    OPENSSL_free(p);
    return out;
}

Bytes MinimalInteger(const uint8_t* p, size_t n) {
    while (n > 1 && *p == 0) ++p, --n;
    Bytes c;
    if (*p & 0x80) c.push_back(0);
    c.insert(c.end(), p, p + n);
    return Tlv(0x02, c);
}

// Raw C1C3C2 to OpenSSL's SEQUENCE { x, y, C3, C2 } and decrypt.
Bytes Sm2Decrypt(EVP_PKEY* key, const Bytes& c1c3c2, bool& ok) {
    Bytes der = Tlv(0x30, Cat({MinimalInteger(c1c3c2.data(), 32), MinimalInteger(c1c3c2.data() + 32, 32),
                               Tlv(0x04, Bytes(c1c3c2.begin() + 64, c1c3c2.begin() + 96)),
                               Tlv(0x04, Bytes(c1c3c2.begin() + 96, c1c3c2.end()))}));
    tessaro::UniquePtr<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
    size_t n = 256;
    Bytes out(n);
    ok = EVP_PKEY_decrypt_init(ctx.get()) == 1 && EVP_PKEY_decrypt(ctx.get(), out.data(), &n, der.data(), der.size()) == 1;
    out.resize(ok ? n : 0);
    return out;
}

Bytes Sm2Scalar(EVP_PKEY* key) {
    BIGNUM* bn = nullptr;
    EXPECT_EQ(EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_PRIV_KEY, &bn), 1);
    Bytes out(32);
    BN_bn2binpad(bn, out.data(), 32);
    BN_free(bn);
    return out;
}

void ExpectEncryptionCert(const std::string& certLine, EVP_PKEY* key, bool sm2) {
    Cert cert = CertFromB64(certLine);
    EXPECT_EQ(X509_check_private_key(cert.get(), key), 1);
    EXPECT_EQ(CertSubjectDer(cert.get()), TestSubject());
    uint32_t ku = KU_KEY_ENCIPHERMENT | KU_DATA_ENCIPHERMENT;
    if (sm2) ku |= KU_KEY_AGREEMENT;
    EXPECT_EQ(X509_get_key_usage(cert.get()), ku);
    Cert ca = CertFromPemFile(SharedCaDir() + (sm2 ? "/sm2-ca.cert.pem" : "/rsa-ca.cert.pem"));
    EXPECT_TRUE(VerifyCert(cert.get(), X509_get0_pubkey(ca.get()), sm2 ? "1234567812345678" : nullptr));
}

}  // namespace

TEST(TestCaEnvelope, RsaEnvelopeLayoutAndRoundTrip) {
    Pkey sign = NewRsaKey(2048), exch = NewRsaKey(1024);
    Outputs o = RunEnvelope(BuildRequest(Spec(sign.get(), exch.get())).der);
    ASSERT_FALSE(o.envelope.empty());
    EXPECT_EQ(o.json.substr(0, 37), "{\"algorithm\":\"RSA\",\"keyBits\":2048,\"ce");
    Envelope e = Split(o.envelope);
    EXPECT_EQ(e.device, "0000000000000001");
    EXPECT_EQ(e.encrypt, "0000000000000001");
    EXPECT_EQ(e.sessionType, "0000000000000306");

    // The session key: big-endian PKCS#1 v1.5 for the 1024-bit exchange key.
    Bytes encSession = Unwrap(e.sessionPart);
    ASSERT_EQ(encSession.size(), 128u);
    bool ok = false;
    Bytes session = RsaDecrypt(exch.get(), encSession, ok);
    ASSERT_TRUE(ok);
    ASSERT_EQ(session.size(), 24u);
    for (uint8_t b : session) EXPECT_EQ(__builtin_popcount(b) % 2, 1) << "3DES key bytes have odd parity";
    Bytes reversed(encSession.rbegin(), encSession.rend());
    Bytes wrongOrder = RsaDecrypt(exch.get(), reversed, ok);
    EXPECT_TRUE(!ok || wrongOrder != session);

    // The private key: PKCS#1 RSAPrivateKey in 3DES-ECB with PKCS#5 padding.
    Bytes encKey = Unwrap(e.keyPart);
    Pkey key = PrivateKeyFromPem(o.keyPem);
    Bytes pkcs1 = Pkcs1Der(key.get());
    EXPECT_EQ(encKey.size(), (pkcs1.size() / 8 + 1) * 8);
    Bytes plain = TripleDesEcbDecrypt(session, encKey);
    EXPECT_EQ(ToHex(plain), ToHex(pkcs1));
    ASSERT_GT(plain.size(), 8u);
    // SEQUENCE with a two-octet length, version 0, then the modulus INTEGER.
    EXPECT_EQ(ToHex(Bytes(plain.begin(), plain.begin() + 2)), "3082");
    EXPECT_EQ(ToHex(Bytes(plain.begin() + 4, plain.begin() + 8)), "02010002");
    EXPECT_EQ(EVP_PKEY_get_bits(key.get()), 2048);
    EXPECT_EQ(EVP_PKEY_eq(key.get(), exch.get()), 0);
    EXPECT_EQ(EVP_PKEY_eq(key.get(), sign.get()), 0);
    ExpectEncryptionCert(o.cert.substr(0, o.cert.size() - 1), key.get(), false);
}

TEST(TestCaEnvelope, RsaKeySizeFollowsTheSigningKeyUnlessGiven) {
    Pkey sign = NewRsaKey(1024), exch = NewRsaKey(1024);
    Bytes req = BuildRequest(Spec(sign.get(), exch.get(), Hash::MD5)).der;
    Outputs o = RunEnvelope(req);
    EXPECT_EQ(EVP_PKEY_get_bits(PrivateKeyFromPem(o.keyPem).get()), 1024);
    o = RunEnvelope(req, {"--bits", "2048"});
    Pkey key = PrivateKeyFromPem(o.keyPem);
    EXPECT_EQ(EVP_PKEY_get_bits(key.get()), 2048);
    ExpectEncryptionCert(JsonString(o.json, "certificate"), key.get(), false);
}

TEST(TestCaEnvelope, RsaLongSessionKeyAndFieldOptions) {
    Pkey sign = NewRsaKey(1024), exch = NewRsaKey(1024);
    Outputs o = RunEnvelope(BuildRequest(Spec(sign.get(), exch.get())).der,
                            {"--session-key-bytes", "32", "--device", "0", "--encrypt", "2", "--session-type",
                             "1234567890123456", "--part-integer", "7"});
    Envelope e = Split(o.envelope);
    EXPECT_EQ(e.device, "0000000000000000");
    EXPECT_EQ(e.encrypt, "0000000000000002");
    EXPECT_EQ(e.sessionType, "1234567890123456");
    bool ok = false;
    Bytes session = RsaDecrypt(exch.get(), Unwrap(e.sessionPart, 7), ok);
    ASSERT_TRUE(ok);
    ASSERT_EQ(session.size(), 32u);
    // The 3DES key is the first 24 bytes.
    Bytes plain = TripleDesEcbDecrypt(Bytes(session.begin(), session.begin() + 24), Unwrap(e.keyPart, 7));
    EXPECT_EQ(plain, Pkcs1Der(PrivateKeyFromPem(o.keyPem).get()));
}

TEST(TestCaEnvelope, Sm2EnvelopeInBothOrders) {
    Pkey sign = NewSm2Key(), exch = NewSm2Key();
    Bytes req = BuildRequest(Spec(sign.get(), exch.get())).der;
    for (bool c1c2c3 : {false, true}) {
        SCOPED_TRACE(c1c2c3 ? "C1C2C3" : "C1C3C2");
        Outputs o = RunEnvelope(req, c1c2c3 ? std::vector<std::string>{"--c1c2c3"} : std::vector<std::string>{});
        ASSERT_FALSE(o.envelope.empty());
        EXPECT_EQ(o.json.substr(0, 36), "{\"algorithm\":\"SM2\",\"keyBits\":256,\"ce");
        // No session key: type 0 and an empty session part right after its length.
        EXPECT_EQ(o.envelope.substr(0, 64),
                  "0000000000000001000000000000000100000000000000000000000000000000");
        Envelope e = Split(o.envelope);
        EXPECT_EQ(e.sessionPart, "");
        EXPECT_EQ(o.envelope.substr(64, 16), "0000000000000185");  // 184 Base64 characters and the comma
        Bytes ct = Unwrap(e.keyPart);
        ASSERT_EQ(ct.size(), 128u);  // C1 64 + C3 32 + C2 32

        // C1 is x || y without the 04 octet, a point on the curve.
        tessaro::UniquePtr<EC_GROUP> group(EC_GROUP_new_by_curve_name(NID_sm2));
        tessaro::UniquePtr<EC_POINT> point(EC_POINT_new(group.get()));
        Bytes c1{0x04};
        c1.insert(c1.end(), ct.begin(), ct.begin() + 64);
        EXPECT_EQ(EC_POINT_oct2point(group.get(), point.get(), c1.data(), c1.size(), nullptr), 1);

        Bytes asC1C3C2 = ct;
        if (c1c2c3) {
            std::copy(ct.begin() + 96, ct.end(), asC1C3C2.begin() + 64);   // C3 from the end
            std::copy(ct.begin() + 64, ct.begin() + 96, asC1C3C2.begin() + 96);  // C2
        }
        bool ok = false;
        Bytes scalar = Sm2Decrypt(exch.get(), asC1C3C2, ok);
        ASSERT_TRUE(ok);
        Pkey key = PrivateKeyFromPem(o.keyPem);
        EXPECT_EQ(ToHex(scalar), ToHex(Sm2Scalar(key.get())));
        // Read in the other order, C3 does not check.
        if (c1c2c3) {
            Sm2Decrypt(exch.get(), ct, ok);
            EXPECT_FALSE(ok);
        }
        // Only the temporary key opens it.
        Sm2Decrypt(sign.get(), asC1C3C2, ok);
        EXPECT_FALSE(ok);
        EXPECT_EQ(EVP_PKEY_eq(key.get(), exch.get()), 0);
        ExpectEncryptionCert(JsonString(o.json, "certificate"), key.get(), true);
    }
}

TEST(TestCaEnvelope, RefusesSingleCertificateRequests) {
    Pkey rsa = NewRsaKey(1024), sm2 = NewSm2Key();
    TempDir t("env");
    for (EVP_PKEY* k : {rsa.get(), sm2.get()}) {
        std::string keyOut = t.path() + "/key.pem";
        auto r = RunCa({"envelope", SharedCaDir(), "--key-out", keyOut}, AgentText(BuildRequest(Spec(k)).der));
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find("no temporary exchange key"), std::string::npos) << r.err;
        struct stat st;
        EXPECT_NE(stat(keyOut.c_str(), &st), 0) << "nothing written for a refused request";
    }
}

namespace {

// Top-level tags of a decoded part (short DER only: test parts stay below 64 KiB).
std::string TopTags(const std::string& part) {
    Bytes der = UnB64(part);
    std::string tags;
    size_t p = der[1] == 0x82 ? 4 : der[1] == 0x81 ? 3 : 2;
    while (p < der.size()) {
        tags += ToHex(&der[p], 1);
        size_t hdr = der[p + 1] == 0x82 ? 4 : der[p + 1] == 0x81 ? 3 : 2;
        size_t len = hdr == 4 ? (der[p + 2] << 8 | der[p + 3]) : hdr == 3 ? der[p + 2] : der[p + 1];
        p += hdr + len;
    }
    return tags;
}

}  // namespace

TEST(TestCaEnvelope, DefectsForRefusalTests) {
    Pkey sign = NewRsaKey(1024), exch = NewRsaKey(1024);
    std::string req = AgentText(BuildRequest(Spec(sign.get(), exch.get())).der);
    auto run = [&](const std::string& defect) {
        auto r = RunCa({"envelope", SharedCaDir(), "--defect", defect}, req);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        return r.exitCode == 0 ? JsonString(r.out, "envelope") : std::string();
    };
    for (const char* which : {"session", "key"}) {
        SCOPED_TRACE(which);
        bool session = std::string(which) == "session";
        // Where the damaged part and its length field are.
        auto part = [&](const std::string& t, size_t* lengthAt) {
            size_t l1 = std::stoul(t.substr(48, 16));
            *lengthAt = session ? 48 : 64 + l1;
            return t.substr(*lengthAt + 16, std::stoul(t.substr(*lengthAt, 16)));
        };
        size_t at = 0;
        std::string t = run(std::string(which) + "-no-comma");
        std::string p = part(t, &at);
        EXPECT_EQ(p.find(','), std::string::npos);
        EXPECT_EQ(TopTags(p), "0204");
        EXPECT_EQ(t.size(), session ? 80 + p.size() + std::stoul(t.substr(64 + p.size(), 16)) : at + 16 + p.size());

        t = run(std::string(which) + "-one-element");
        p = part(t, &at);
        EXPECT_EQ(p.back(), ',');
        EXPECT_EQ(TopTags(p.substr(0, p.size() - 1)), "04");

        t = run(std::string(which) + "-three-elements");
        p = part(t, &at);
        EXPECT_EQ(TopTags(p.substr(0, p.size() - 1)), "020405");

        // The length field claims one character more than the part has.
        t = run(std::string(which) + "-length-plus-one");
        size_t claimed = std::stoul(t.substr(session ? 48 : 64 + std::stoul(t.substr(48, 16)), 16));
        if (session) {
            EXPECT_EQ(t[64 + claimed - 2], ',');
            EXPECT_TRUE(AllDigits(t.substr(64 + claimed - 1, 16)));
        } else {
            size_t keyAt = 64 + std::stoul(t.substr(48, 16)) + 16;
            EXPECT_EQ(t.size(), keyAt + claimed - 1);
            EXPECT_EQ(t.back(), ',');
        }
    }
    EXPECT_EQ(run("truncated"), "0000000000000001000000000000000100000000");
    std::string both = run("session-no-comma,key-three-elements");
    EXPECT_EQ(both.find(','), both.size() - 1);  // only the key part's comma is left

    EXPECT_EQ(RunCa({"envelope", SharedCaDir(), "--defect", "no-such-defect"}, req).exitCode, 2);
    Pkey sm2 = NewSm2Key(), sm2e = NewSm2Key();
    auto r = RunCa({"envelope", SharedCaDir(), "--defect", "session-no-comma"},
                   AgentText(BuildRequest(Spec(sm2.get(), sm2e.get())).der));
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("no session key part"), std::string::npos) << r.err;
}
