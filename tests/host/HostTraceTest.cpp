// The host's diagnostics go to the trace session, never to standard output.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/host/HostHarness.h"

namespace {

using host_test::Frame;
using host_test::Frames;
using tessaro_test::BuildPath;
using tessaro_test::RunProcess;

TEST(HostTrace, StepsGoToTheTraceAndNeverToStandardOutput) {
    tessaro_test::TempDir prefix("trace");
    const std::vector<std::string> env = {"TESSARO_PREFIX=" + prefix.path(), "LC_ALL=", "LANG=C"};
    const std::string trace = BuildPath("tessaro-trace");
    ASSERT_EQ(0, RunProcess({trace, "start", "--flags", "0xF"}, "", env).exitCode);

    auto host = RunProcess({host_test::HostPath()},
                           Frames({"{\"function\":\"KEVO_SetKeyAlgorithm\",\"params\":[\"ECC\"]}",
                                   "{\"function\":\"KEVO_GetVersion\",\"params\":[1]}"}),
                           env);
    EXPECT_EQ(0, host.exitCode);
    EXPECT_EQ(Frame("{\"function\":\"KEVO_SetKeyAlgorithm\",\"errorcode\":-1610144767,\"result\":false}") +
                  Frame("{\"function\":\"KEVO_GetVersion\",\"errorcode\":-2147024809,\"result\":false}"),
              host.out);

    auto shown = RunProcess({trace, "show"}, "", env);
    ASSERT_EQ(0, shown.exitCode);
    const char* expected[] = {
        "Request = {\"function\":\"KEVO_SetKeyAlgorithm\",\"params\":[\"ECC\"]}",
        "Response = {\"function\":\"KEVO_GetVersion\",\"errorcode\":-2147024809,\"result\":false}",
        ":(ReadFromNativeMessaging -- read(payload))\t\t--OK",
        ":(WriteToNativeMessaging -- write)\t\t--OK",
        "[..\\..\\Tessaro\\CryptoAgent(",
        ":] CCryptoAgent::KEVO_SetKeyAlgorithm - Check key algorithm [Reason:key algorithm does not support.]",
        ":] nmKEVO_SetKeyAlgorithm - KEVO_SetKeyAlgorithm [Reason:FAILED(hResult)]",
        ":] nmKEVO_GetVersion - Check parameter(Args count) [Reason:nCount != nExpected]",
        ":(MsgHandleProc -- end of conversation)\t\t--OK",
    };
    for (const char* line : expected) EXPECT_NE(std::string::npos, shown.out.find(line)) << line;
    RunProcess({trace, "stop"}, "", env);
}

TEST(HostTrace, InstallModeRunsItsFourStepsInOrder) {
    tessaro_test::TempDir prefix("install");
    const std::vector<std::string> env = {"TESSARO_PREFIX=" + prefix.path()};
    const std::string trace = BuildPath("tessaro-trace");
    ASSERT_EQ(0, RunProcess({trace, "start", "--flags", "0x5"}, "", env).exitCode);
    auto host = RunProcess({host_test::HostPath(), "-i"}, "", env);
    EXPECT_EQ(0, host.exitCode);
    EXPECT_EQ("", host.out);
    auto shown = RunProcess({trace, "show"}, "", env);
    size_t pos = 0;
    for (const char* step : {"DeleteRSADiscardCert", "DeleteSM2DiscardCert",
                             "ImportCertificateChainfromResoure(RSA Operation)",
                             "ImportCertificateChainfromResoure(RSA Test)"}) {
        std::string line = std::string(":(RunInstallMode -- ") + step + ")\t\t--OK";
        size_t at = shown.out.find(line, pos);
        EXPECT_NE(std::string::npos, at) << step << "\n" << shown.out;
        if (at != std::string::npos) pos = at;
    }
    RunProcess({trace, "stop"}, "", env);
}

}  // namespace
