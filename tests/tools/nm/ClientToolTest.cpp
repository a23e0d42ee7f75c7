// tessaro-nm, the browser stand-in: what it prints and when it reports failure.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/host/HostHarness.h"

namespace {

using tessaro_test::BuildPath;
using tessaro_test::RunProcess;

tessaro_test::ProcessResult Client(std::vector<std::string> args, const std::string& input = "") {
    args.insert(args.begin(), {BuildPath("tessaro-nm"), "--timeout", "20"});
    return RunProcess(args, input, {"LC_ALL=", "LANG=C"}, 60);
}

TEST(ClientTool, PrintsEachRequestAndResponse) {
    auto r = Client({}, "{\"function\": \"KEVO_GetVersion\", \"params\": []}\n\n"
                        "{\"function\":\"KEVO_GetContainer\",\"params\":[],\"randomId\":\"2\"}\r\n");
    EXPECT_EQ(0, r.exitCode) << r.err;
    EXPECT_EQ("> {\"function\":\"KEVO_GetVersion\",\"params\":[]}\n"
              "< {\"function\":\"KEVO_GetVersion\",\"errorcode\":0,\"result\":\"3.2.0.2\"}\n"
              "> {\"function\":\"KEVO_GetContainer\",\"params\":[],\"randomId\":\"2\"}\n"
              "< {\"function\":\"KEVO_GetContainer\",\"errorcode\":0,\"result\":\"\",\"randomId\":\"2\"}\n",
              r.out);
}

TEST(ClientTool, RequestsAsArgumentsAndQuiet) {
    auto r = Client({"--quiet", "--host", host_test::HostPath(), "--",
                     "{\"function\":\"KEVO_GetVersion\",\"params\":[]}"});
    EXPECT_EQ(0, r.exitCode) << r.err;
    EXPECT_EQ("< {\"function\":\"KEVO_GetVersion\",\"errorcode\":0,\"result\":\"3.2.0.2\"}\n", r.out);
}

TEST(ClientTool, RawSendsInvalidTextUnchanged) {
    auto refused = Client({"not json"});
    EXPECT_EQ(2, refused.exitCode);
    EXPECT_EQ("", refused.out);
    auto raw = Client({"--raw", "not json"});
    EXPECT_EQ(0, raw.exitCode) << raw.err;
    EXPECT_EQ("> not json\n< {\"function\":\"\", \"errorcode\":-2146893779, \"result\":false}\n", raw.out);
}

TEST(ClientTool, BrokenHostsAreFailures) {
    const char* req = "{\"function\":\"KEVO_GetVersion\",\"params\":[]}";
    // Exits without answering.
    EXPECT_EQ(3, Client({"--host", "/bin/true", "--", req}).exitCode);
    // Cannot be started.
    EXPECT_EQ(3, Client({"--host", "/nonexistent/host", "--", req}).exitCode);
    // Answers something that is not a JSON object.
    EXPECT_EQ(3, Client({"--host", "/bin/sh", "-c", "head -c 46 >/dev/null; printf '\\002\\000\\000\\000{]'", "--",
                         req})
                     .exitCode);
    // Echoes the request back (a JSON object) but exits with a failure.
    EXPECT_EQ(3, Client({"--host", "/bin/sh", "-c", "head -c 46; exit 4", "--", req}).exitCode);
}

}  // namespace
