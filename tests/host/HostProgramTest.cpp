// The host program driven through its pipes as a browser drives it.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/host/HostHarness.h"

namespace {

using host_test::Converse;
using host_test::Frame;
using host_test::Frames;
using host_test::Prefix;
using host_test::RunHost;
using host_test::SplitFrames;

const char* VERSION_REQ = "{\"function\":\"KEVO_GetVersion\",\"params\":[]}";
const char* VERSION_RSP = "{\"function\":\"KEVO_GetVersion\",\"errorcode\":0,\"result\":\"3.2.0.2\"}";
const char* SUCCESS_DESC_RSP =
    "{\"function\":\"KEVO_GetLastErrorDesc\",\"errorcode\":0,"
    "\"result\":\"The operation completed successfully.\\r\\n\\n(0x00000000)\"}";

TEST(HostProgram, AnswersEveryFrameInOrder) {
    auto rsp = Converse({
        "{\"function\":\"KEVO_GetVersion\",\"params\":[],\"randomId\":\"7\"}",
        "{\"FUNCTION\":\"KEVO_GETVERSION\",\"Params\":[]}",
        "{\"function\":\"kevo_getversion\",\"params\":{}}",
        "{\"function\":\"GetLastErrorDesc\",\"params\":[]}",
    });
    ASSERT_EQ(4u, rsp.size()) << rsp[0];
    EXPECT_EQ("{\"function\":\"KEVO_GetVersion\",\"errorcode\":0,\"result\":\"3.2.0.2\",\"randomId\":\"7\"}", rsp[0]);
    EXPECT_EQ(VERSION_RSP, rsp[1]);
    EXPECT_EQ(VERSION_RSP, rsp[2]);
    // Matched without the prefix, answered with it; nothing has failed yet.
    EXPECT_EQ(SUCCESS_DESC_RSP, rsp[3]);
}

TEST(HostProgram, RequestsThatCannotBeServedGetTheFallback) {
    auto rsp = Converse({
        "{\"function\":\"KEVO_Unknown\",\"params\":[],\"randomId\":\"r-1\"}",
        "{\"function\":\"KEVO_Unknown\",\"params\":[]}",
        "{\"function\":\"KEVO_GetVersion\",\"randomId\":\"8\"}",
        "{\"function\":\"KEVO_GetVersion\",\"params\":[],\"randomId\":5}",
        "{\"function\":\"KEVO_GetVersion\",\"params\":[],\"randomId\":\"\"}",
        "this is not JSON",
        "{\"function\":\"say \\\"hi\\\"\\\\\",\"params\":[],\"randomId\":\"a\\\"b\"}",
    });
    ASSERT_EQ(7u, rsp.size()) << rsp[0];
    EXPECT_EQ("{\"function\":\"KEVO_Unknown\", \"errorcode\":-2146893779, \"result\":false, \"randomId\":\"r-1\"}",
              rsp[0]);
    EXPECT_EQ("{\"function\":\"KEVO_Unknown\", \"errorcode\":-2146893779, \"result\":false}", rsp[1]);
    EXPECT_EQ("{\"function\":\"\", \"errorcode\":-2146893779, \"result\":false}", rsp[2]);
    EXPECT_EQ("{\"function\":\"\", \"errorcode\":-2146893779, \"result\":false}", rsp[3]);
    EXPECT_EQ(VERSION_RSP, rsp[4]);
    EXPECT_EQ("{\"function\":\"\", \"errorcode\":-2146893779, \"result\":false}", rsp[5]);
    EXPECT_EQ(
        "{\"function\":\"say \\\"hi\\\"\\\\\", \"errorcode\":-2146893779, \"result\":false, \"randomId\":\"a\\\"b\"}",
        rsp[6]);
}

TEST(HostProgram, ParameterCountAndTypeCodes) {
    auto rsp = Converse({
        "{\"function\":\"KEVO_GetVersion\",\"params\":[\"x\"]}",
        "{\"function\":\"KEVO_GetCSPInfo\",\"params\":[1]}",
        "{\"function\":\"GetLastErrorDesc\",\"params\":[1,2]}",
        "{\"function\":\"KEVO_SetCSPInfo\",\"params\":[1024]}",
        "{\"function\":\"KEVO_GetContainer\",\"params\":[1]}",
        "{\"function\":\"KEVO_SetCSPInfo\",\"params\":[\"1024\",\"Microsoft Base Cryptographic Provider v1.0\"]}",
        "{\"function\":\"KEVO_SetKeyAlgorithm\",\"params\":[7]}",
        "{\"function\":\"KEVO_ImportSignCert\",\"params\":[1,\"cert\"]}",
        "{\"function\":\"KEVO_PKCS10CertRequisition\",\"params\":[\"CN=a\",\"1\",0]}",
        "{\"function\":\"KEVO_GetAllCertInfo\",\"params\":\"x\"}",
        "{\"function\":\"GetLastErrorDesc\",\"params\":[]}",
    });
    ASSERT_EQ(11u, rsp.size()) << rsp[0];
    EXPECT_EQ("{\"function\":\"KEVO_GetVersion\",\"errorcode\":-2147024809,\"result\":false}", rsp[0]);
    EXPECT_EQ("{\"function\":\"KEVO_GetCSPInfo\",\"errorcode\":-2147024809,\"result\":false}", rsp[1]);
    EXPECT_EQ("{\"function\":\"KEVO_GetLastErrorDesc\",\"errorcode\":-2147024809,\"result\":false}", rsp[2]);
    EXPECT_EQ("{\"function\":\"KEVO_SetCSPInfo\",\"errorcode\":-1,\"result\":false}", rsp[3]);
    EXPECT_EQ("{\"function\":\"KEVO_GetContainer\",\"errorcode\":-1,\"result\":false}", rsp[4]);
    EXPECT_EQ("{\"function\":\"KEVO_SetCSPInfo\",\"errorcode\":-1610141180,\"result\":false}", rsp[5]);
    EXPECT_EQ("{\"function\":\"KEVO_SetKeyAlgorithm\",\"errorcode\":-1610141180,\"result\":false}", rsp[6]);
    EXPECT_EQ("{\"function\":\"KEVO_ImportSignCert\",\"errorcode\":-1,\"result\":false}", rsp[7]);
    EXPECT_EQ("{\"function\":\"KEVO_PKCS10CertRequisition\",\"errorcode\":-1610141180,\"result\":false}", rsp[8]);
    EXPECT_EQ("{\"function\":\"KEVO_GetAllCertInfo\",\"errorcode\":-1,\"result\":false}", rsp[9]);
    // None of these reached the agent, so its last result is still 0.
    EXPECT_EQ(SUCCESS_DESC_RSP, rsp[10]);
}

TEST(HostProgram, SettingsCarryOverAndFailuresAreDescribed) {
    auto rsp = Converse({
        "{\"function\":\"KEVO_SetKeyAlgorithm\",\"params\":[{\"param\":\" sm2 \"}],\"randomId\":\"1\"}",
        "{\"function\":\"KEVO_SetKeyAlgorithm\",\"params\":[\"ECC\"]}",
        "{\"function\":\"GetLastErrorDesc\",\"params\":[]}",
        "{\"function\":\"GetLastErrorDesc\",\"params\":[]}",
        "{\"function\":\"KEVO_SetCSPInfo\",\"params\":[2048,\"Microsoft Base Cryptographic Provider v1.0\"]}",
        "{\"function\":\"GetLastErrorDesc\",\"params\":[]}",
        "{\"function\":\"KEVO_SetCSPInfo\",\"params\":[2048,\"Microsoft Enhanced Cryptographic Provider v1.0\"]}",
        "{\"function\":\"KEVO_GetContainer\",\"params\":[]}",
        // The algorithm " sm2 " set first is still in force: MD5 is refused for it.
        "{\"function\":\"KEVO_PKCS10CertRequisitionwithMD5\",\"params\":[\"\",1,0]}",
        "{\"function\":\"GetLastErrorDesc\",\"params\":[]}",
    });
    ASSERT_EQ(10u, rsp.size()) << rsp[0];
    EXPECT_EQ("{\"function\":\"KEVO_SetKeyAlgorithm\",\"errorcode\":0,\"result\":true,\"randomId\":\"1\"}", rsp[0]);
    EXPECT_EQ("{\"function\":\"KEVO_SetKeyAlgorithm\",\"errorcode\":-1610144767,\"result\":false}", rsp[1]);
    EXPECT_EQ("{\"function\":\"KEVO_GetLastErrorDesc\",\"errorcode\":0,\"result\":\"Invalid key algorithm.\\n(0xa0072401)\"}",
              rsp[2]);
    EXPECT_EQ(rsp[2], rsp[3]);
    EXPECT_EQ("{\"function\":\"KEVO_SetCSPInfo\",\"errorcode\":-1610144768,\"result\":false}", rsp[4]);
    EXPECT_EQ(
        "{\"function\":\"KEVO_GetLastErrorDesc\",\"errorcode\":0,\"result\":\"Key length is not supported.\\n(0xa0072400)\"}",
        rsp[5]);
    EXPECT_EQ("{\"function\":\"KEVO_SetCSPInfo\",\"errorcode\":0,\"result\":true}", rsp[6]);
    EXPECT_EQ("{\"function\":\"KEVO_GetContainer\",\"errorcode\":0,\"result\":\"\"}", rsp[7]);
    EXPECT_EQ("{\"function\":\"KEVO_PKCS10CertRequisitionwithMD5\",\"errorcode\":-1610144767,\"result\":false}",
              rsp[8]);
    EXPECT_EQ("{\"function\":\"KEVO_GetLastErrorDesc\",\"errorcode\":0,\"result\":\"Invalid key algorithm.\\n(0xa0072401)\"}",
              rsp[9]);
}

TEST(HostProgram, DescriptionsFollowTheLocale) {
    const std::vector<std::string> requests = {
        "{\"function\":\"KEVO_SetKeyAlgorithm\",\"params\":[\"ECC\"]}",
        "{\"function\":\"GetLastErrorDesc\",\"params\":[]}",
    };
    auto zh = Converse(requests, {"LC_ALL=", "LC_MESSAGES=", "LANG=zh_CN.UTF-8"});
    ASSERT_EQ(2u, zh.size()) << zh[0];
    EXPECT_EQ("{\"function\":\"KEVO_GetLastErrorDesc\",\"errorcode\":0,\"result\":\"\xE6\x97\xA0\xE6\x95\x88\xE7\x9A\x84"
              "\xE5\xAF\x86\xE9\x92\xA5\xE7\xAE\x97\xE6\xB3\x95\\n(0xa0072401)\"}",
              zh[1]);
    auto en = Converse(requests, {"LC_ALL=", "LC_MESSAGES=", "LANG=en_US.UTF-8"});
    ASSERT_EQ(2u, en.size()) << en[0];
    EXPECT_EQ("{\"function\":\"KEVO_GetLastErrorDesc\",\"errorcode\":0,\"result\":\"Invalid key algorithm.\\n(0xa0072401)\"}",
              en[1]);
}

TEST(HostProgram, ContainerNameIsKeptWhenTheEncryptionImportFails) {
    auto rsp = Converse({
        "{\"function\":\"KEVO_ImportEncryptCert\",\"params\":[\"key\",\"cert\",\"   \",1]}",
        "{\"function\":\"KEVO_GetContainer\",\"params\":[]}",
        "{\"function\":\"KEVO_ImportEncryptCert\",\"params\":[\"key\",\"cert\",\"  abc  \",1]}",
        "{\"function\":\"KEVO_GetContainer\",\"params\":[]}",
    });
    ASSERT_EQ(4u, rsp.size()) << rsp[0];
    // A container of blanks only is refused before anything is stored.
    EXPECT_EQ("{\"function\":\"KEVO_ImportEncryptCert\",\"errorcode\":-2147024809,\"result\":false}", rsp[0]);
    EXPECT_EQ("{\"function\":\"KEVO_GetContainer\",\"errorcode\":0,\"result\":\"\"}", rsp[1]);
    EXPECT_EQ(0u, rsp[2].find("{\"function\":\"KEVO_ImportEncryptCert\",\"errorcode\":-")) << rsp[2];
    EXPECT_NE(std::string::npos, rsp[2].find(",\"result\":false}")) << rsp[2];
    EXPECT_EQ("{\"function\":\"KEVO_GetContainer\",\"errorcode\":0,\"result\":\"abc\"}", rsp[3]);
}

TEST(HostProgram, BytesOutsideTokensPassThrough) {
    // CR LF between tokens is JSON white space; 0x1A inside a string is a
    // control character the answer escapes.
    auto rsp = Converse({"{\r\n\"function\":\"KEVO_GetVersion\",\r\n\"params\":[],\"randomId\":\"\x1a\"}\r\n"});
    ASSERT_EQ(1u, rsp.size()) << rsp[0];
    EXPECT_EQ("{\"function\":\"KEVO_GetVersion\",\"errorcode\":0,\"result\":\"3.2.0.2\",\"randomId\":\"\\u001a\"}", rsp[0]);
}

TEST(HostProgram, ExitCodes) {
    struct Case {
        const char* what;
        std::string input;
        int exitCode;
        size_t responses;
    };
    const Case cases[] = {
        {"no input at all", "", 0, 0},
        {"zero length", Prefix(0) + Frame(VERSION_REQ), 0, 0},
        {"impossible length", Frame(VERSION_REQ) + Prefix(0xFFFFFFFFu) + Frame(VERSION_REQ), 0, 1},
        {"input ends inside a prefix", Frame(VERSION_REQ) + std::string("\x10\x00", 2), 255, 1},
        {"input ends inside a payload", Frame(VERSION_REQ) + Prefix(100) + "{\"function\"", 255, 1},
    };
    for (const Case& c : cases) {
        auto r = RunHost(c.input);
        std::vector<std::string> rsp;
        EXPECT_EQ(c.exitCode, r.exitCode) << c.what;
        ASSERT_TRUE(SplitFrames(r.out, rsp)) << c.what;
        ASSERT_EQ(c.responses, rsp.size()) << c.what;
        if (!rsp.empty()) {
            EXPECT_EQ(VERSION_RSP, rsp[0]) << c.what;
        }
    }
}

TEST(HostProgram, BrowserGoneBeforeTheAnswerEndsTheLoopWithoutASignal) {
    // Nobody reads the host's output any more when the request arrives: the
    // write fails (exit -1) instead of SIGPIPE killing the host.
    int in[2], out[2];
    ASSERT_EQ(0, pipe(in));
    ASSERT_EQ(0, pipe(out));
    pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        for (int fd : {in[0], in[1], out[0], out[1]}) close(fd);
        std::string path = host_test::HostPath();
        execl(path.c_str(), path.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(in[0]);
    close(out[0]);
    close(out[1]);
    std::string frame = Frame(VERSION_REQ);
    ASSERT_EQ(static_cast<ssize_t>(frame.size()), write(in[1], frame.data(), frame.size()));
    close(in[1]);
    int status = 0;
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status);
    EXPECT_EQ(255, WEXITSTATUS(status));
}

TEST(HostProgram, ResponsesAboveOneMebibyteAreRefused) {
    // The fallback for an unknown name is 56 bytes plus the name.
    const size_t nameForLimit = 0x100000 - 56;
    auto request = [](size_t nameLength) {
        return "{\"function\":\"" + std::string(nameLength, 'n') + "\",\"params\":[]}";
    };
    auto atLimit = RunHost(Frames({request(nameForLimit), VERSION_REQ}));
    EXPECT_EQ(0, atLimit.exitCode);
    std::vector<std::string> rsp;
    ASSERT_TRUE(SplitFrames(atLimit.out, rsp));
    ASSERT_EQ(2u, rsp.size());
    EXPECT_EQ(std::string("\x00\x00\x10\x00", 4), atLimit.out.substr(0, 4));
    EXPECT_EQ(0x100000u, rsp[0].size());
    EXPECT_EQ(VERSION_RSP, rsp[1]);

    auto overLimit = RunHost(Frames({VERSION_REQ, request(nameForLimit + 1), VERSION_REQ}));
    EXPECT_EQ(255, overLimit.exitCode);
    EXPECT_EQ(Frame(VERSION_RSP) + std::string("\xFF\xFF\xFF\xFF", 4), overLimit.out);
}

TEST(HostProgram, InstallSwitch) {
    for (const char* sw : {"-i", "-I"}) {
        auto r = RunHost(Frame(VERSION_REQ), {}, {sw});
        EXPECT_EQ(0, r.exitCode) << sw;
        EXPECT_EQ("", r.out) << sw;
    }
    // Any other command line, such as the browser's, serves requests.
    for (std::vector<std::string> args : {std::vector<std::string>{"-i", "extra"},
                                          std::vector<std::string>{"chrome-extension://abcdef/"}}) {
        auto r = RunHost(Frame(VERSION_REQ), {}, args);
        EXPECT_EQ(0, r.exitCode) << args[0];
        EXPECT_EQ(Frame(VERSION_RSP), r.out) << args[0];
    }
}

}  // namespace
