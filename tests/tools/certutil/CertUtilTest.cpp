// tessaro-certutil: what it shows of stores and key containers, in JSON and
// text, and its deletions.
#include <openssl/evp.h>

#include <gtest/gtest.h>

#include "tests/support/CertTestKit.h"
#include "tests/support/TestSupport.h"

using certkit::Bytes;

namespace {

std::string Thumbprint(const Bytes& der) {
    unsigned char md[20];
    unsigned int n = 0;
    EVP_Digest(der.data(), der.size(), md, &n, EVP_sha1(), nullptr);
    static const char* d = "0123456789ABCDEF";
    std::string s;
    for (unsigned i = 0; i < n; ++i) {
        s += d[md[i] >> 4];
        s += d[md[i] & 15];
    }
    return s;
}

tessaro_test::ProcessResult Tool(const std::vector<std::string>& args) {
    std::vector<std::string> argv{LISTING_CERTUTIL};
    argv.insert(argv.end(), args.begin(), args.end());
    return tessaro_test::RunProcess(argv, "");
}

const std::string SM2 = "Tessaro SM2 Token CSP v1.0";

}  // namespace

TEST(CertUtil, StoreAsJsonAndText) {
    certkit::FreshPrefix prefix;
    certkit::CertSpec keyed;
    keyed.subject = {{"C", "CN"}, {"O", "Tool, Inc."}, {"CN", "Tool \"Cert\""}};
    keyed.issuer = {{"CN", "Tool CA"}};
    keyed.serial = {0x00, 0xF4, 0x01};
    Bytes a = certkit::MakeCert(keyed);
    certkit::CertSpec plain;
    plain.serial = {0x7F};
    Bytes b = certkit::MakeCert(plain);
    ASSERT_TRUE(certkit::AddToMyStore(a, u"{tool}", certkit::SM2_CSP, AT_KEYEXCHANGE));
    ASSERT_TRUE(certkit::AddToMyStore(b, u"", u"", 0));
    auto r = Tool({"store", "user", "my", "--json"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    std::string ja = "{\"thumbprint\":\"" + Thumbprint(a) +
                     "\",\"subject\":\"CN=Tool \\\"Cert\\\", O=Tool, Inc., C=CN\",\"issuer\":\"CN=Tool CA\","
                     "\"serial\":\"00f401\",\"notBefore\":\"2020-09-13T12:26:40Z\",\"notAfter\":\"2030-03-17T17:46:40Z\","
                     "\"provider\":\"" + SM2 + "\",\"container\":\"{tool}\",\"keySpec\":1}";
    std::string jb = "{\"thumbprint\":\"" + Thumbprint(b) +
                     "\",\"subject\":\"CN=Test, O=Org, C=CN\",\"issuer\":\"CN=Test, O=Org, C=CN\","
                     "\"serial\":\"7f\",\"notBefore\":\"2020-09-13T12:26:40Z\",\"notAfter\":\"2030-03-17T17:46:40Z\","
                     "\"provider\":null,\"container\":null,\"keySpec\":null}";
    EXPECT_TRUE(r.out == "[" + ja + "," + jb + "]\n" || r.out == "[" + jb + "," + ja + "]\n") << r.out;
    r = Tool({"store", "user", "My"});
    ASSERT_EQ(r.exitCode, 0);
    EXPECT_NE(r.out.find("Thumbprint: " + Thumbprint(a) + "\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Key:        " + SM2 + " / {tool} / key spec 1\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("2 certificate(s)\n"), std::string::npos);
    r = Tool({"store", "machine", "NeverWritten", "--json"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "[]\n");
    EXPECT_EQ(Tool({"store", "elsewhere", "My"}).exitCode, 2);

    EXPECT_EQ(Tool({"delete-cert", "user", "My", "1234"}).exitCode, 1);
    EXPECT_EQ(Tool({"delete-cert", "user", "My", std::string(40, '0')}).exitCode, 1);
    r = Tool({"delete-cert", "user", "My", Thumbprint(a)});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(Tool({"store", "user", "My", "--json"}).out, "[" + jb + "]\n");
}

TEST(CertUtil, ContainersWithKeysAndCertificates) {
    certkit::FreshPrefix prefix;
    auto c = certkit::CreateSm2Container(u"{TOOL-C}", true, true, false, "Tool");
    ASSERT_TRUE(c.ok);
    // Only the signature key carries its certificate.
    auto bound = certkit::CreateSm2Container(u"{TOOL-D}", false, true, true, "Bound", {0x42});
    ASSERT_TRUE(bound.ok);
    auto r = Tool({"containers", SM2, "--json"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    std::string jc = "{\"container\":\"{TOOL-C}\",\"keys\":[{\"keySpec\":1,\"algorithm\":\"SM2\",\"bits\":256,"
                     "\"certificate\":null},{\"keySpec\":2,\"algorithm\":\"SM2\",\"bits\":256,\"certificate\":null}]}";
    std::string jd = "{\"container\":\"{TOOL-D}\",\"keys\":[{\"keySpec\":2,\"algorithm\":\"SM2\",\"bits\":256,"
                     "\"certificate\":{\"thumbprint\":\"" + Thumbprint(bound.signatureCert) +
                     "\",\"subject\":\"CN=Bound signature, O=Tessaro, C=CN\",\"issuer\":\"CN=SM2 Test CA, C=CN\","
                     "\"serial\":\"4202\",\"notBefore\":\"2020-09-13T12:26:40Z\",\"notAfter\":\"2030-03-17T17:46:40Z\","
                     "\"provider\":\"" + SM2 + "\",\"container\":\"{TOOL-D}\",\"keySpec\":2}}]}";
    EXPECT_TRUE(r.out == "[" + jc + "," + jd + "]\n" || r.out == "[" + jd + "," + jc + "]\n") << r.out;
    ASSERT_TRUE(certkit::CreateRsaContainer(certkit::RSA_CSP, u"tool-rsa", AT_KEYEXCHANGE));
    r = Tool({"containers", "Microsoft Enhanced Cryptographic Provider v1.0"});
    ASSERT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "Container tool-rsa\n  Key spec 1: RSA, 1024 bits\n    no certificate\n1 container(s)\n");
    EXPECT_EQ(Tool({"containers", "No Such Provider"}).exitCode, 1);

    r = Tool({"delete-container", SM2, "{TOOL-C}"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(Tool({"containers", SM2, "--json"}).out, "[" + jd + "]\n");
    EXPECT_EQ(Tool({"delete-container", SM2, "{TOOL-C}"}).exitCode, 1);
    ASSERT_EQ(Tool({"delete-container", "Microsoft Enhanced Cryptographic Provider v1.0", "tool-rsa"}).exitCode, 0);
    EXPECT_EQ(Tool({"containers", "Microsoft Enhanced Cryptographic Provider v1.0", "--json"}).out, "[]\n");
}
