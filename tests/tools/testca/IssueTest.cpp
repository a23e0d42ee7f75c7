// `issue` and `check`: requests in the agent's layouts are verified and
// certified; anything whose signature or structure is wrong is refused.
#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <ctime>

#include "tests/tools/testca/TestcaSupport.h"

using namespace testca_test;
using tessaro_test::RunProcess;
using tessaro_test::TempDir;
using tessaro_test::ToHex;

namespace {

const char kId[] = "1234567812345678";

std::string WritePem(const TempDir& t, X509* cert, const std::string& name) {
    std::string path = t.path() + "/" + name;
    FILE* f = fopen(path.c_str(), "w");
    PEM_write_X509(f, cert);
    fclose(f);
    return path;
}

Bytes SubjectKeyId(X509* c) {
    const ASN1_OCTET_STRING* s = X509_get0_subject_key_id(c);
    return s ? Bytes(s->data, s->data + s->length) : Bytes();
}

// Everything an issued end-entity certificate must carry.
void ExpectIssued(X509* cert, const BuiltRequest& req, bool sm2, uint32_t keyUsage, int days) {
    const std::string& dir = SharedCaDir();
    Cert ca = CertFromPemFile(dir + (sm2 ? "/sm2-ca.cert.pem" : "/rsa-ca.cert.pem"));
    EXPECT_EQ(X509_get_version(cert), X509_VERSION_3);
    EXPECT_EQ(CertSubjectDer(cert), TestSubject());
    EXPECT_EQ(CertSpkiDer(cert), req.subjectPublicKeyInfo);
    EXPECT_EQ(X509_NAME_cmp(X509_get_issuer_name(cert), X509_get_subject_name(ca.get())), 0);
    EXPECT_EQ(X509_get_signature_nid(cert), sm2 ? NID_SM2_with_SM3 : NID_sha256WithRSAEncryption);
    if (sm2) {
        EXPECT_TRUE(VerifyCert(cert, X509_get0_pubkey(ca.get()), kId));
        EXPECT_FALSE(VerifyCert(cert, X509_get0_pubkey(ca.get()), "8765432187654321"));
    } else {
        EXPECT_TRUE(VerifyCert(cert, X509_get0_pubkey(ca.get())));
    }

    const ASN1_INTEGER* serial = X509_get0_serialNumber(cert);
    EXPECT_EQ(serial->type, V_ASN1_INTEGER);  // positive
    EXPECT_EQ(serial->length, 16);

    int d = 0, s = 0;
    ASSERT_EQ(ASN1_TIME_diff(&d, &s, X509_get0_notBefore(cert), X509_get0_notAfter(cert)), 1);
    EXPECT_EQ(d, days);
    EXPECT_NEAR(s, 300, 5);
    time_t now = time(nullptr);
    EXPECT_LT(X509_cmp_time(X509_get0_notBefore(cert), &now), 0);
    time_t fourMinutesAgo = now - 240;
    EXPECT_LT(X509_cmp_time(X509_get0_notBefore(cert), &fourMinutesAgo), 0);

    int crit = -1;
    BASIC_CONSTRAINTS* bc =
        static_cast<BASIC_CONSTRAINTS*>(X509_get_ext_d2i(cert, NID_basic_constraints, &crit, nullptr));
    ASSERT_NE(bc, nullptr);
    EXPECT_EQ(bc->ca, 0);
    EXPECT_EQ(crit, 1);
    BASIC_CONSTRAINTS_free(bc);
    ASN1_BIT_STRING* ku = static_cast<ASN1_BIT_STRING*>(X509_get_ext_d2i(cert, NID_key_usage, &crit, nullptr));
    ASSERT_NE(ku, nullptr);
    EXPECT_EQ(crit, 1);
    ASN1_BIT_STRING_free(ku);
    EXPECT_EQ(X509_get_key_usage(cert), keyUsage);

    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int mdLen = 0;
    ASSERT_EQ(X509_pubkey_digest(cert, EVP_sha1(), md, &mdLen), 1);
    EXPECT_EQ(SubjectKeyId(cert), Bytes(md, md + mdLen));
    const ASN1_OCTET_STRING* aki = X509_get0_authority_key_id(cert);
    ASSERT_NE(aki, nullptr);
    EXPECT_EQ(Bytes(aki->data, aki->data + aki->length), SubjectKeyId(ca.get()));
}

// Runs `issue` and returns the one-line certificate.
Cert Issue(const std::string& text, const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args{"issue", SharedCaDir()};
    args.insert(args.end(), extra.begin(), extra.end());
    auto r = RunCa(args, text);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    if (r.exitCode != 0) return nullptr;
    EXPECT_EQ(r.out.find('\n'), r.out.size() - 1);  // one line
    EXPECT_EQ(r.out.find('\r'), std::string::npos);
    return CertFromB64(r.out);
}

// The three elements of a CertificationRequest (test requests stay below 64 KiB).
std::vector<Bytes> Elements(const Bytes& der) {
    std::vector<Bytes> out;
    size_t p = der[1] == 0x82 ? 4 : der[1] == 0x81 ? 3 : 2;
    while (p < der.size()) {
        size_t hdr = der[p + 1] == 0x82 ? 4 : der[p + 1] == 0x81 ? 3 : 2;
        size_t len = hdr == 4 ? (der[p + 2] << 8 | der[p + 3]) : hdr == 3 ? der[p + 2] : der[p + 1];
        out.emplace_back(der.begin() + static_cast<long>(p), der.begin() + static_cast<long>(p + hdr + len));
        p += hdr + len;
    }
    return out;
}

}  // namespace

TEST(TestCaIssue, RsaRequestsOfBothTypesAndBothHashes) {
    Pkey sign = NewRsaKey(2048), exch = NewRsaKey(1024);
    struct Case {
        EVP_PKEY* exchange;
        Hash hash;
        bool agentLines;
    } cases[] = {{nullptr, Hash::SHA1, true}, {nullptr, Hash::MD5, false}, {exch.get(), Hash::SHA1, true},
                 {exch.get(), Hash::MD5, true}};
    TempDir t("issue");
    const std::string& dir = SharedCaDir();
    std::string lastSerial;
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.exchange ? "type 2 " : "type 1 ") + (c.hash == Hash::MD5 ? "MD5" : "SHA1"));
        BuiltRequest req = BuildRequest(Spec(sign.get(), c.exchange, c.hash));
        std::string text = c.agentLines ? AgentText(req.der) : B64(req.der);
        if (c.agentLines) {
            ASSERT_NE(text.find("\r\n"), std::string::npos);
        }
        Cert cert = Issue(text);
        ASSERT_TRUE(cert);
        ExpectIssued(cert.get(), req, false, KU_DIGITAL_SIGNATURE | KU_NON_REPUDIATION, 365);

        std::string leaf = WritePem(t, cert.get(), "leaf.pem");
        auto v = RunProcess({"openssl", "verify", "-CAfile", dir + "/rsa-root.cert.pem", "-untrusted",
                             dir + "/rsa-ca.cert.pem", leaf},
                            "");
        EXPECT_EQ(v.exitCode, 0) << v.out << v.err;
        std::string serial = ToHex(X509_get0_serialNumber(cert.get())->data, 16);
        EXPECT_NE(serial, lastSerial);
        lastSerial = serial;
    }
}

TEST(TestCaIssue, Sm2RequestsOfBothTypes) {
    Pkey sign = NewSm2Key(), exch = NewSm2Key();
    TempDir t("issue");
    const std::string& dir = SharedCaDir();
    for (EVP_PKEY* e : {static_cast<EVP_PKEY*>(nullptr), exch.get()}) {
        SCOPED_TRACE(e ? "type 2" : "type 1");
        BuiltRequest req = BuildRequest(Spec(sign.get(), e));
        // The agent's exact SubjectPublicKeyInfo prefix for SM2.
        EXPECT_EQ(ToHex(Bytes(req.subjectPublicKeyInfo.begin(), req.subjectPublicKeyInfo.begin() + 27)),
                  "3059301306072A8648CE3D020106082A811CCF5501822D03420004");
        if (e) {
            // The attribute element and exchange key record of the agent's double-certificate request.
            std::string hex = ToHex(req.requestInfo);
            EXPECT_NE(hex.find("A081B7301306092A864886F70D0109071306" + ToHex(Str("493027")) +
                               "30819F06092A864886F70D01093F04819130818E0201010481880" "0B4000000010000"),
                      std::string::npos);
        }
        Cert cert = Issue(AgentText(req.der));
        ASSERT_TRUE(cert);
        ExpectIssued(cert.get(), req, true, KU_DIGITAL_SIGNATURE | KU_NON_REPUDIATION, 365);
        std::string leaf = WritePem(t, cert.get(), "leaf.pem");
        auto v = RunProcess({"openssl", "verify", "-partial_chain", "-vfyopt", "distid:1234567812345678",
                             "-CAfile", dir + "/sm2-ca.cert.pem", leaf},
                            "");
        EXPECT_EQ(v.exitCode, 0) << v.out << v.err;
    }
}

TEST(TestCaIssue, EncryptUsageAndValidityDays) {
    Pkey rsa = NewRsaKey(1024), sm2 = NewSm2Key();
    BuiltRequest r1 = BuildRequest(Spec(rsa.get()));
    Cert c1 = Issue(B64(r1.der), {"--usage", "encrypt", "--days", "30"});
    ASSERT_TRUE(c1);
    ExpectIssued(c1.get(), r1, false, KU_KEY_ENCIPHERMENT | KU_DATA_ENCIPHERMENT, 30);
    BuiltRequest r2 = BuildRequest(Spec(sm2.get()));
    Cert c2 = Issue(B64(r2.der), {"--usage", "encrypt", "--days", "3650"});
    ASSERT_TRUE(c2);
    ExpectIssued(c2.get(), r2, true, KU_KEY_ENCIPHERMENT | KU_DATA_ENCIPHERMENT | KU_KEY_AGREEMENT, 3650);
}

TEST(TestCaIssue, SavesTheTemporaryExchangeKeyAndWritesTheCertificateFile) {
    TempDir t("exch");
    Pkey rsaSign = NewRsaKey(2048), rsaExch = NewRsaKey(1024), sm2Sign = NewSm2Key(), sm2Exch = NewSm2Key();
    struct Case {
        EVP_PKEY* sign;
        EVP_PKEY* exch;
    } cases[] = {{rsaSign.get(), rsaExch.get()}, {sm2Sign.get(), sm2Exch.get()}};
    for (const auto& c : cases) {
        std::string keyFile = t.path() + "/exchange.pem", certFile = t.path() + "/cert.b64";
        std::string in = t.path() + "/req.b64";
        WriteFile(in, AgentText(BuildRequest(Spec(c.sign, c.exch)).der));
        auto r = RunCa({"issue", SharedCaDir(), "--in", in, "--save-exchange-key", keyFile, "--cert-out", certFile});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(ReadFile(certFile), r.out);
        std::string pem = ReadFile(keyFile);
        tessaro::UniquePtr<BIO> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
        Pkey saved(PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr));
        ASSERT_TRUE(saved);
        EXPECT_EQ(EVP_PKEY_eq(saved.get(), c.exch), 1);
        EXPECT_EQ(EVP_PKEY_eq(saved.get(), c.sign), 0);
    }
    // Without the option the tool says where the key is to be found.
    auto r = RunCa({"issue", SharedCaDir()}, AgentText(BuildRequest(Spec(rsaSign.get(), rsaExch.get())).der));
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_NE(r.err.find("--save-exchange-key"), std::string::npos) << r.err;
}

TEST(TestCaIssue, CheckReportsWhatTheRequestCarries) {
    Pkey sign = NewRsaKey(2048), exch = NewRsaKey(1024), sm2 = NewSm2Key(), sm2e = NewSm2Key();
    auto r = RunCa({"check"}, AgentText(BuildRequest(Spec(sign.get(), exch.get(), Hash::MD5)).der));
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out,
              "{\"algorithm\":\"RSA\",\"keyBits\":2048,\"signatureAlgorithm\":\"md5WithRSAEncryption\",\"type\":2,"
              "\"challengePassword\":\"493027\",\"exchangeKeyBits\":1024,\"attributeForm\":\"bare\"}\n");
    r = RunCa({"check"}, AgentText(BuildRequest(Spec(sm2.get(), sm2e.get())).der));
    EXPECT_EQ(r.out,
              "{\"algorithm\":\"SM2\",\"keyBits\":256,\"signatureAlgorithm\":\"SM2-with-SM3\",\"type\":2,"
              "\"challengePassword\":\"493027\",\"exchangeKeyBits\":256,\"attributeForm\":\"bare\"}\n");

    // A standard request from OpenSSL, attribute values inside a SET, is read as well.
    X509_REQ* x = X509_REQ_new();
    X509_NAME* name = X509_REQ_get_subject_name(x);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("std"), -1, -1, 0);
    X509_REQ_set_pubkey(x, sign.get());
    X509_REQ_add1_attr_by_NID(x, NID_pkcs9_challengePassword, MBSTRING_ASC,
                              reinterpret_cast<const unsigned char*>("secret"), -1);
    ASSERT_GT(X509_REQ_sign(x, sign.get(), EVP_sha256()), 0);
    unsigned char* p = nullptr;
    int n = i2d_X509_REQ(x, &p);
    Bytes der(p, p + n);
    OPENSSL_free(p);
    X509_REQ_free(x);
    r = RunCa({"check"}, "-----BEGIN CERTIFICATE REQUEST-----\n" + B64(der) + "\n-----END CERTIFICATE REQUEST-----\n");
    EXPECT_EQ(r.out,
              "{\"algorithm\":\"RSA\",\"keyBits\":2048,\"signatureAlgorithm\":\"sha256WithRSAEncryption\",\"type\":1,"
              "\"challengePassword\":\"secret\",\"exchangeKeyBits\":0,\"attributeForm\":\"set\"}\n");
}

TEST(TestCaIssue, RefusesRequestsThatDoNotVerifyOrParse) {
    Pkey rsa = NewRsaKey(1024), rsaExch = NewRsaKey(1024), sm2 = NewSm2Key(), sm2Exch = NewSm2Key();
    BuiltRequest good = BuildRequest(Spec(rsa.get(), rsaExch.get()));
    BuiltRequest goodSm2 = BuildRequest(Spec(sm2.get(), sm2Exch.get()));
    std::vector<Bytes> el = Elements(good.der);
    ASSERT_EQ(el.size(), 3u);
    Bytes subject = TestSubject();
    Bytes version = {0x02, 0x01, 0x00};

    auto signedInfo = [&](const std::vector<Bytes>& infoParts, EVP_PKEY* key) {
        return SignAndWrap(Tlv(0x30, Cat(infoParts)), key, EVP_PKEY_is_a(key, "SM2") ? Hash::SM3 : Hash::SHA1,
                           kId);
    };
    auto attrs = [&](const Bytes& exchangeValue) {
        Bytes oid = Tlv(0x06, {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x3F});
        return Tlv(0xA0, Tlv(0x30, Cat({oid, exchangeValue})));
    };
    Bytes sm2Record = Sm2ExchangeKeyRecord(sm2Exch.get());
    Bytes badHeader = sm2Record;
    badHeader[1] = 0xB5;
    Bytes offCurve = sm2Record;
    offCurve[72 + 31] ^= 0x01;
    auto wrapRecord = [&](const Bytes& rec) { return Tlv(0x04, Tlv(0x30, Cat({{0x02, 0x01, 0x01}, Tlv(0x04, rec)}))); };

    Bytes flippedSig = good.der;
    flippedSig.back() ^= 0x01;
    Bytes flippedSubject = good.der;
    size_t cn = ToHex(flippedSubject).find("E5BCA0") / 2;  // inside the signed subject
    flippedSubject[cn] ^= 0x01;
    Bytes sm3OnRsa = Tlv(0x30, Cat({el[0], {0x30, 0x0C, 0x06, 0x08, 0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x01, 0x83, 0x75,
                                            0x05, 0x00}, el[2]}));
    Bytes sha256Alg = {0x30, 0x0D, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x0B, 0x05, 0x00};
    Bytes wrongHashClaimed = Tlv(0x30, Cat({el[0], sha256Alg, el[2]}));
    Bytes trailing = good.der;
    trailing.push_back(0x00);
    Bytes truncated(good.der.begin(), good.der.end() - 1);
    Bytes indefinite = Cat({{0x30, 0x80}, el[0], el[1], el[2], {0x00, 0x00}});
    ASSERT_EQ(good.der[1], 0x82);
    Bytes paddedLength = Cat({{0x30, 0x83, 0x00, good.der[2], good.der[3]}, el[0], el[1], el[2]});
    RequestSpec otherId = Spec(sm2.get(), sm2Exch.get());
    otherId.sm2Identity = "8765432187654321";
    RequestSpec noId = Spec(sm2.get());
    noId.sm2Identity = "";

    struct Case {
        const char* what;
        std::string text;
        const char* message;
    } cases[] = {
        {"flipped signature bit", B64(flippedSig), "does not verify"},
        {"changed subject", B64(flippedSubject), "does not verify"},
        {"SM2 signed with another identity", B64(BuildRequest(otherId).der), "does not verify"},
        {"SM2 signed without identity", B64(BuildRequest(noId).der), "does not verify"},
        {"SM3withSM2 claimed for an RSA key", B64(sm3OnRsa), "does not fit"},
        {"SHA-256 claimed for a SHA-1 signature", B64(wrongHashClaimed), "does not verify"},
        {"byte after the request", B64(trailing), "bytes after"},
        {"truncated request", B64(truncated), "longer than its buffer"},
        {"indefinite length", B64(indefinite), "indefinite"},
        {"length with a leading zero octet", B64(paddedLength), "leading zero"},
        {"short length in long form",
         B64(signedInfo({{0x02, 0x81, 0x01, 0x00}, subject, good.subjectPublicKeyInfo}, rsa.get())),
         "long form below 128"},
        {"not Base64", "this is not a request!", "not Base64"},
        {"Base64 of garbage", "QUJDREVGR0g=", "not a CertificationRequest"},
        {"empty input", "", "no Base64"},
        {"version 1", B64(signedInfo({{0x02, 0x01, 0x01}, subject, good.subjectPublicKeyInfo}, rsa.get())),
         "version"},
        {"empty subject", B64(signedInfo({version, {0x30, 0x00}, good.subjectPublicKeyInfo}, rsa.get())),
         "subject is empty"},
        {"SM2 exchange record with a wrong header",
         B64(signedInfo({version, subject, goodSm2.subjectPublicKeyInfo, attrs(wrapRecord(badHeader))}, sm2.get())),
         "136 bytes"},
        {"SM2 exchange key off the curve",
         B64(signedInfo({version, subject, goodSm2.subjectPublicKeyInfo, attrs(wrapRecord(offCurve))}, sm2.get())),
         "exchange key"},
        {"exchange key attribute without its OCTET STRING",
         B64(signedInfo({version, subject, good.subjectPublicKeyInfo,
                         attrs(Tlv(0x30, Cat({{0x02, 0x01, 0x01}, Tlv(0x04, RsaPublicKeyDer(rsaExch.get()))})))},
                        rsa.get())),
         "exchange key attribute"},
        {"attributes outside [0]",
         B64(signedInfo({version, subject, good.subjectPublicKeyInfo, Tlv(0x31, Bytes{0x05, 0x00})}, rsa.get())),
         "[0] attributes"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        for (const char* cmd : {"issue", "envelope"}) {
            auto r = RunCa({cmd, SharedCaDir()}, c.text);
            EXPECT_EQ(r.exitCode, 1) << cmd;
            EXPECT_EQ(r.out, "") << cmd;
            EXPECT_NE(r.err.find(c.message), std::string::npos) << cmd << ": " << r.err;
        }
    }
}

namespace {

// The SEQUENCE { r, s } of a request's signature, and the request rebuilt with another one.
Bytes SignatureDer(const Bytes& request) {
    Bytes bits = Elements(request)[2];
    size_t hdr = bits[1] == 0x81 ? 3 : 2;
    return Bytes(bits.begin() + static_cast<long>(hdr + 1), bits.end());
}

Bytes WithSignature(const Bytes& request, const Bytes& sigDer) {
    std::vector<Bytes> el = Elements(request);
    Bytes bits{0x00};
    bits.insert(bits.end(), sigDer.begin(), sigDer.end());
    return Tlv(0x30, Cat({el[0], el[1], Tlv(0x03, bits)}));
}

}  // namespace

// SM2 signatures are DER: r and s in their shortest form. A verifier built on
// OpenSSL refuses anything else, so the CA does too, and it must accept an r
// that is shorter than 32 octets.
TEST(TestCaIssue, Sm2SignatureIntegersMustBeMinimal) {
    Pkey sm2 = NewSm2Key();
    BuiltRequest req = BuildRequest(Spec(sm2.get()));
    Bytes sig = SignatureDer(req.der);
    ASSERT_EQ(sig[0], 0x30);
    size_t rLen = sig[3];
    Bytes r(sig.begin() + 4, sig.begin() + 4 + static_cast<long>(rLen));
    Bytes rest(sig.begin() + 4 + static_cast<long>(rLen), sig.end());
    Bytes padded{0x00};
    padded.insert(padded.end(), r.begin(), r.end());
    Bytes nonMinimal = Tlv(0x30, Cat({Tlv(0x02, padded), rest}));
    auto refused = RunCa({"issue", SharedCaDir()}, B64(WithSignature(req.der, nonMinimal)));
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_NE(refused.err.find("does not verify"), std::string::npos) << refused.err;

    // About one signature in 256 has an r below 2^248.
    Bytes shortR;
    for (int i = 0; i < 20000 && shortR.empty(); ++i) {
        Bytes candidate = SignAndWrap(req.requestInfo, sm2.get(), Hash::SM3, kId);
        if (SignatureDer(candidate)[3] < 32) shortR = candidate;
    }
    ASSERT_FALSE(shortR.empty());
    Cert cert = Issue(B64(shortR));
    EXPECT_TRUE(cert);
}
