// An enrollment request through the host, checked with the openssl tool.
#include <gtest/gtest.h>

#include <cjson/cJSON.h>

#include <fstream>
#include <string>
#include <vector>

#include "tests/host/HostHarness.h"

namespace {

using host_test::Converse;

struct Response {
    std::string function;
    int errorcode = 12345;
    std::string text;
    bool hasText = false;
};

Response Decode(const std::string& json) {
    Response r;
    cJSON* root = cJSON_Parse(json.c_str());
    if (!root) return r;
    if (cJSON* f = cJSON_GetObjectItem(root, "function"); cJSON_IsString(f)) r.function = f->valuestring;
    if (cJSON* e = cJSON_GetObjectItem(root, "errorcode"); cJSON_IsNumber(e)) r.errorcode = e->valueint;
    if (cJSON* t = cJSON_GetObjectItem(root, "result"); cJSON_IsString(t)) {
        r.text = t->valuestring;
        r.hasText = true;
    }
    cJSON_Delete(root);
    return r;
}

using tessaro_test::IsContainerName;

TEST(HostEnrollment, RequestIsSignedAndItsContainerReported) {
    auto rsp = Converse({
        "{\"function\":\"KEVO_SetCSPInfo\",\"params\":[1024,\" Microsoft Enhanced Cryptographic Provider v1.0 \"]}",
        "{\"function\":\"KEVO_SetKeyAlgorithm\",\"params\":[\"rsa\"]}",
        "{\"function\":\"KEVO_PKCS10CertRequisition\",\"params\":[\"CN=Host Test,O=Tessaro,C=CN\",1,0]}",
        "{\"function\":\"KEVO_GetContainer\",\"params\":[]}",
        // A refused request leaves the container of the last good one.
        "{\"function\":\"KEVO_PKCS10CertRequisition\",\"params\":[\"CN=Host Test\",3,0]}",
        "{\"function\":\"KEVO_GetContainer\",\"params\":[]}",
        "{\"function\":\"KEVO_PKCS10CertRequisitionwithMD5\",\"params\":[\"CN=Host Test MD5\",1,0]}",
        "{\"function\":\"KEVO_GetContainer\",\"params\":[]}",
    });
    ASSERT_EQ(8u, rsp.size()) << rsp[0];
    Response request = Decode(rsp[2]);
    ASSERT_EQ(0, request.errorcode) << rsp[2];
    EXPECT_EQ("KEVO_PKCS10CertRequisition", request.function);
    Response container = Decode(rsp[3]);
    EXPECT_EQ(0, container.errorcode);
    EXPECT_TRUE(IsContainerName(container.text)) << container.text;
    EXPECT_EQ("{\"function\":\"KEVO_PKCS10CertRequisition\",\"errorcode\":-2147024809,\"result\":false}", rsp[4]);
    EXPECT_EQ(container.text, Decode(rsp[5]).text);
    Response md5 = Decode(rsp[6]);
    ASSERT_EQ(0, md5.errorcode) << rsp[6];
    Response container2 = Decode(rsp[7]);
    EXPECT_TRUE(IsContainerName(container2.text)) << container2.text;
    EXPECT_NE(container.text, container2.text);

    // Lines of 64 characters joined by CR LF, which openssl reads as PEM.
    for (const Response* r : {&request, &md5}) {
        const std::string& b64 = r->text;
        for (size_t pos = 0; pos < b64.size();) {
            size_t end = b64.find("\r\n", pos);
            size_t len = (end == std::string::npos ? b64.size() : end) - pos;
            if (end != std::string::npos) {
                EXPECT_EQ(64u, len);
            } else {
                EXPECT_GE(64u, len);
            }
            pos = end == std::string::npos ? b64.size() : end + 2;
        }
        std::string pem =
            "-----BEGIN CERTIFICATE REQUEST-----\n" + b64 + "\n-----END CERTIFICATE REQUEST-----\n";
        auto v = tessaro_test::RunProcess({"openssl", "req", "-verify", "-noout", "-text"}, pem);
        EXPECT_EQ(0, v.exitCode) << v.err;
        EXPECT_NE(std::string::npos, (v.out + v.err).find("verify OK")) << v.out << v.err;
        const char* alg = r == &request ? "sha1WithRSAEncryption" : "md5WithRSAEncryption";
        EXPECT_NE(std::string::npos, v.out.find(alg)) << v.out;
        EXPECT_NE(std::string::npos, v.out.find("Public-Key: (1024 bit)")) << v.out;
    }
}

// A browser starts the host for every page: a conversation that needs no
// cryptography must not pay for loading libcrypto, at start or at exit, and
// one that does gets it on its first call.
TEST(HostEnrollment, LibcryptoIsLoadedOnlyForARequestThatNeedsIt) {
#ifndef TESSARO_DELAY_LOAD_CRYPTO
    GTEST_SKIP() << "libcrypto is linked into the host as usual in this build";
#endif
    auto elf = tessaro_test::RunProcess({"readelf", "-dW", host_test::HostPath()}, "");
    ASSERT_NE(std::string::npos, elf.out.find("(NEEDED)             Shared library: [libc.so.6]")) << elf.out << elf.err;
    EXPECT_EQ(std::string::npos, elf.out.find("libcrypto")) << elf.out << "(the build warns when the host uses libcrypto's data)";

    // The dynamic loader's trace names every library it maps, up to the exit.
    const std::vector<std::string> env{"LC_ALL=", "LANG=C", "LD_DEBUG=files"};
    const std::string version = "{\"function\":\"KEVO_GetVersion\",\"params\":[]}";
    auto plain = host_test::RunHost(host_test::Frame(version), env);
    ASSERT_EQ(0, plain.exitCode) << plain.err;
    EXPECT_EQ(host_test::Frame("{\"function\":\"KEVO_GetVersion\",\"errorcode\":0,\"result\":\"3.2.0.2\"}"), plain.out);
    ASSERT_NE(std::string::npos, plain.err.find("file=libc.so.6 [0];  needed by")) << plain.err;
    EXPECT_EQ(std::string::npos, plain.err.find("libcrypto")) << plain.err;

    const std::string enroll = host_test::Frames({
        version,
        "{\"function\":\"KEVO_SetCSPInfo\",\"params\":[1024,\"Microsoft Enhanced Cryptographic Provider v1.0\"]}",
        "{\"function\":\"KEVO_SetKeyAlgorithm\",\"params\":[\"rsa\"]}",
        "{\"function\":\"KEVO_PKCS10CertRequisition\",\"params\":[\"CN=Delay Load\",1,0]}",
    });
    auto crypto = host_test::RunHost(enroll, env);
    ASSERT_EQ(0, crypto.exitCode) << crypto.err;
    EXPECT_NE(std::string::npos, crypto.err.find("file=libcrypto.so.3 [0];  dynamically loaded by")) << crypto.err;
    std::vector<std::string> rsp;
    ASSERT_TRUE(host_test::SplitFrames(crypto.out, rsp));
    ASSERT_EQ(4u, rsp.size());
    Response request = Decode(rsp[3]);
    ASSERT_EQ(0, request.errorcode) << rsp[3];
    auto v = tessaro_test::RunProcess({"openssl", "req", "-verify", "-noout", "-subject"},
                                      "-----BEGIN CERTIFICATE REQUEST-----\n" + request.text +
                                          "\n-----END CERTIFICATE REQUEST-----\n");
    EXPECT_EQ(0, v.exitCode) << v.err;
    EXPECT_NE(std::string::npos, (v.out + v.err).find("verify OK")) << v.out << v.err;
    EXPECT_NE(std::string::npos, v.out.find("CN = Delay Load")) << v.out;

    // Without a usable libcrypto the version is still answered; the first
    // call into it ends the host as the dynamic loader would have, with
    // status 127 and one line naming the library.
    tessaro_test::TempDir broken("nocrypto");
    std::ofstream(broken.path() + "/libcrypto.so.3").put('\0');
    auto missing = host_test::RunHost(enroll, {"LC_ALL=", "LANG=C", "LD_LIBRARY_PATH=" + broken.path()});
    EXPECT_EQ(127, missing.exitCode);
    ASSERT_TRUE(host_test::SplitFrames(missing.out, rsp));
    ASSERT_LE(1u, rsp.size());
    EXPECT_EQ("{\"function\":\"KEVO_GetVersion\",\"errorcode\":0,\"result\":\"3.2.0.2\"}", rsp[0]);
    EXPECT_EQ(host_test::HostPath() + ": error while loading shared libraries: " + broken.path() +
                  "/libcrypto.so.3: file too short\n",
              missing.err);
}

}  // namespace
