// The enrollment agent's own requests, made with its providers, are what the
// test CA is for: they must verify and be certified without any adjustment.
#include <gtest/gtest.h>

#include <cstring>

// OpenSSL's headers first: the platform's wincrypt.h defines names such as
// X509_NAME as CryptoAPI structure identifiers.
#include "tests/tools/testca/TestcaSupport.h"
// clang-format off
#include "win/windows.h"
#include "request/CertificateRequisition.h"
// clang-format on

using namespace testca_test;

namespace {

const WCHAR kMicrosoft[] = u"Microsoft Enhanced Cryptographic Provider v1.0";
const WCHAR kVendorSm2[] = u"Tessaro SM2 Token CSP v1.0";
const WCHAR kSubject[] = u"CN=Test User,OU=Unit,O=Tessaro,C=CN";

std::string AgentRequest(LPCWSTR provider, LONG type, BOOL bRSA, LONG length, ALG_ID hash) {
    LPWSTR container = nullptr;
    char* text = nullptr;
    int n = 0;
    HRESULT hr = PKCS10CertRequisition(&container, provider, kSubject, type, type == 1 ? AT_KEYEXCHANGE : AT_SIGNATURE,
                                       bRSA, length, 0, hash, &text, &n);
    EXPECT_EQ(hr, 0);
    std::string out = text ? std::string(text, static_cast<size_t>(n)) : std::string();
    delete[] container;
    delete[] text;
    return out;
}

}  // namespace

TEST(TestCaWithAgentRequests, IssuesAndEnvelopesForRsaAndSm2) {
    struct Case {
        const char* what;
        LPCWSTR provider;
        LONG type;
        BOOL bRSA;
        LONG length;
        ALG_ID hash;
        const char* check;
    } cases[] = {
        {"RSA 1024 type 1 SHA-1", kMicrosoft, 1, KEY_ALGORITHM_RSA, 1024, CALG_SHA1,
         "{\"algorithm\":\"RSA\",\"keyBits\":1024,\"signatureAlgorithm\":\"sha1WithRSAEncryption\",\"type\":1,"
         "\"challengePassword\":\"\",\"exchangeKeyBits\":0,\"attributeForm\":\"none\"}\n"},
        {"RSA 2048 type 2 MD5", kMicrosoft, 2, KEY_ALGORITHM_RSA, 2048, CALG_MD5,
         "{\"algorithm\":\"RSA\",\"keyBits\":2048,\"signatureAlgorithm\":\"md5WithRSAEncryption\",\"type\":2,"
         "\"challengePassword\":\"493027\",\"exchangeKeyBits\":1024,\"attributeForm\":\"bare\"}\n"},
        {"SM2 type 1", kVendorSm2, 1, KEY_ALGORITHM_SM2, 256, CALG_SHA1,
         "{\"algorithm\":\"SM2\",\"keyBits\":256,\"signatureAlgorithm\":\"SM2-with-SM3\",\"type\":1,"
         "\"challengePassword\":\"\",\"exchangeKeyBits\":0,\"attributeForm\":\"none\"}\n"},
        {"SM2 type 2", kVendorSm2, 2, KEY_ALGORITHM_SM2, 256, CALG_SHA1,
         "{\"algorithm\":\"SM2\",\"keyBits\":256,\"signatureAlgorithm\":\"SM2-with-SM3\",\"type\":2,"
         "\"challengePassword\":\"493027\",\"exchangeKeyBits\":256,\"attributeForm\":\"bare\"}\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::string text = AgentRequest(c.provider, c.type, c.bRSA, c.length, c.hash);
        ASSERT_FALSE(text.empty());
        auto check = RunCa({"check"}, text);
        EXPECT_EQ(check.exitCode, 0) << check.err;
        EXPECT_EQ(check.out, c.check);

        auto issued = RunCa({"issue", SharedCaDir()}, text);
        ASSERT_EQ(issued.exitCode, 0) << issued.err;
        Cert cert = CertFromB64(issued.out);
        std::string dn(256, '\0');
        X509_NAME_oneline(X509_get_subject_name(cert.get()), dn.data(), static_cast<int>(dn.size()));
        EXPECT_STREQ(dn.c_str(), "/C=CN/O=Tessaro/OU=Unit/CN=Test User");

        auto env = RunCa({"envelope", SharedCaDir()}, text);
        if (c.type == 2) {
            EXPECT_EQ(env.exitCode, 0) << env.err;
            EXPECT_EQ(JsonString(env.out, "algorithm"), c.bRSA ? "RSA" : "SM2");
        } else {
            EXPECT_EQ(env.exitCode, 1);
        }
    }
}
