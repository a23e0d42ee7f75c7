// tessaro-register as a user runs it: manifests written, listed and removed
// for each browser under a temporary HOME or a --destdir root; refused hosts
// and IDs leave nothing behind.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "tests/support/TestSupport.h"

using namespace tessaro_test;

namespace {

const char kChromiumId[] = "cjeammpeofkbcchcphlnhjkoapomnifi";

std::string Slurp(const std::string& path) { return tessaro_test::ReadFile(path); }

bool Exists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

void WriteFile(const std::string& path, const std::string& text, mode_t mode) {
    std::ofstream(path, std::ios::binary) << text;
    chmod(path.c_str(), mode);
}

class RegisterTest : public ::testing::Test {
protected:
    TempDir dir{"register"};
    std::string home = dir.path() + "/home";
    std::string host = dir.path() + "/bin/my host\".x86";  // blank and quote: escaped in JSON

    void SetUp() override {
        mkdir(home.c_str(), 0700);
        mkdir((dir.path() + "/bin").c_str(), 0755);
        WriteFile(host, "#!/bin/sh\nexit 0\n", 0755);
    }

    ProcessResult Run(std::vector<std::string> args) {
        args.insert(args.begin(), BuildPath("tessaro-register"));
        return RunProcess(args, "", {"HOME=" + home});
    }

    std::string UserManifest(const std::string& sub) { return home + "/" + sub + "/com.tessaro.qirtal.json"; }
};

std::string ChromiumManifest(const std::string& hostJson, const std::string& id) {
    return "{\n"
           "  \"name\": \"com.tessaro.qirtal\",\n"
           "  \"description\": \"Tessaro certificate enrollment host\",\n"
           "  \"path\": " + hostJson + ",\n"
           "  \"type\": \"stdio\",\n"
           "  \"allowed_origins\": [\"chrome-extension://" + id + "/\"]\n"
           "}\n";
}

TEST_F(RegisterTest, InstallStatusUninstallForTheUser) {
    ProcessResult st = Run({"status", "--host", host});
    EXPECT_EQ(3, st.exitCode);
    EXPECT_NE(std::string::npos, st.out.find("chromium: not registered"));

    ProcessResult r = Run({"install", "--host", host});
    ASSERT_EQ(0, r.exitCode) << r.err;
    std::string hostJson = "\"" + dir.path() + "/bin/my host\\\".x86\"";
    EXPECT_EQ(ChromiumManifest(hostJson, kChromiumId), Slurp(UserManifest(".config/chromium/NativeMessagingHosts")));
    EXPECT_EQ(ChromiumManifest(hostJson, kChromiumId),
              Slurp(UserManifest(".config/google-chrome/NativeMessagingHosts")));
    EXPECT_EQ("{\n"
              "  \"name\": \"com.tessaro.qirtal\",\n"
              "  \"description\": \"Tessaro certificate enrollment host\",\n"
              "  \"path\": " + hostJson + ",\n"
              "  \"type\": \"stdio\",\n"
              "  \"allowed_extensions\": [\"enroll@tessaro.example\"]\n"
              "}\n",
              Slurp(UserManifest(".mozilla/native-messaging-hosts")));
    struct stat sb {};
    ASSERT_EQ(0, stat(UserManifest(".mozilla/native-messaging-hosts").c_str(), &sb));
    EXPECT_EQ(0644u, sb.st_mode & 0777);

    st = Run({"status"});
    EXPECT_EQ(0, st.exitCode) << st.out;
    EXPECT_NE(std::string::npos, st.out.find("firefox: registered (" + UserManifest(".mozilla/native-messaging-hosts") +
                                             ") -> " + dir.path() + "/bin/my host\".x86"));

    // A host that lost its execute bit shows as broken.
    chmod(host.c_str(), 0644);
    st = Run({"status"});
    EXPECT_EQ(3, st.exitCode);
    EXPECT_NE(std::string::npos, st.out.find("chrome: broken")) << st.out;
    EXPECT_NE(std::string::npos, st.out.find("is not executable")) << st.out;

    r = Run({"uninstall"});
    EXPECT_EQ(0, r.exitCode) << r.err;
    EXPECT_FALSE(Exists(UserManifest(".config/chromium/NativeMessagingHosts")));
    EXPECT_FALSE(Exists(UserManifest(".config/google-chrome/NativeMessagingHosts")));
    EXPECT_FALSE(Exists(UserManifest(".mozilla/native-messaging-hosts")));
    // The folders themselves stay: other hosts may live there.
    EXPECT_TRUE(Exists(home + "/.config/chromium/NativeMessagingHosts"));
    // A second uninstall has nothing to do and says so.
    r = Run({"uninstall"});
    EXPECT_EQ(0, r.exitCode);
    EXPECT_NE(std::string::npos, r.out.find("firefox: not registered"));
}

TEST_F(RegisterTest, RelativeHostIsWrittenAbsoluteWithTheGivenExtensionId) {
    std::string id = "abcdefghijklmnopabcdefghijklmnop";
    ProcessResult r = RunProcess({"/bin/sh", "-c",
                                  "cd '" + dir.path() + "' && '" + BuildPath("tessaro-register") +
                                      "' install --host 'bin/../bin/my host\".x86' --extension-id " + id},
                                 "", {"HOME=" + home});
    ASSERT_EQ(0, r.exitCode) << r.err;
    std::string hostJson = "\"" + dir.path() + "/bin/my host\\\".x86\"";
    EXPECT_EQ(ChromiumManifest(hostJson, id), Slurp(UserManifest(".config/chromium/NativeMessagingHosts")));
}

TEST_F(RegisterTest, RefusedHostsAndIdsWriteNothing) {
    std::string plain = dir.path() + "/bin/plain";
    WriteFile(plain, "not a program", 0644);
    struct Case {
        std::vector<std::string> args;
        int code;
        std::string message;
    } cases[] = {
        {{"install", "--host", dir.path() + "/bin/missing"}, 1, "does not exist"},
        {{"install", "--host", plain}, 1, "is not executable"},
        {{"install", "--host", dir.path() + "/bin"}, 1, "is not a regular file"},
        {{"install", "--host", host, "--extension-id", "ABCDEFGHIJKLMNOPABCDEFGHIJKLMNOP"}, 2, "is not 32 letters a-p"},
        {{"install", "--host", host, "--extension-id", "abcdefghijklmnopqabcdefghijklmno"}, 2, "is not 32 letters a-p"},
        {{"install", "--host", host, "--extension-id", "abc"}, 2, "is not 32 letters a-p"},
        {{"install", "--host", host, "--firefox-id", "a\"b@c"}, 2, "is not valid"},
        {{"install", "--host", host, "--firefox-id", "plainname"}, 2, "is not valid"},
        {{"install", "--host", host, "--destdir", dir.path()}, 2, "--destdir goes with --system"},
        {{"install", "--host"}, 2, "usage:"},
        {{"install", "--bogus"}, 2, "unknown argument --bogus"},
        {{"frobnicate"}, 2, "usage:"},
    };
    for (const Case& c : cases) {
        ProcessResult r = Run(c.args);
        EXPECT_EQ(c.code, r.exitCode) << c.args.back();
        EXPECT_NE(std::string::npos, r.err.find(c.message)) << c.args.back() << ": " << r.err;
    }
    EXPECT_FALSE(Exists(home + "/.config"));
    EXPECT_FALSE(Exists(home + "/.mozilla"));
}

TEST_F(RegisterTest, SystemWideBelowDestdir) {
    std::string root = dir.path() + "/root";
    ProcessResult r = Run({"install", "--system", "--destdir", root, "--host", host});
    ASSERT_EQ(0, r.exitCode) << r.err;
    std::string hostJson = "\"" + dir.path() + "/bin/my host\\\".x86\"";
    EXPECT_EQ(ChromiumManifest(hostJson, kChromiumId),
              Slurp(root + "/etc/chromium/native-messaging-hosts/com.tessaro.qirtal.json"));
    EXPECT_EQ(ChromiumManifest(hostJson, kChromiumId),
              Slurp(root + "/etc/opt/chrome/native-messaging-hosts/com.tessaro.qirtal.json"));
    EXPECT_TRUE(Exists(root + "/usr/lib/mozilla/native-messaging-hosts/com.tessaro.qirtal.json"));
    EXPECT_FALSE(Exists(home + "/.config"));  // the user's folders are untouched

    EXPECT_EQ(0, Run({"status", "--system", "--destdir", root}).exitCode);
    EXPECT_EQ(3, Run({"status"}).exitCode);
    EXPECT_EQ(0, Run({"uninstall", "--system", "--destdir", root}).exitCode);
    EXPECT_FALSE(Exists(root + "/etc/chromium/native-messaging-hosts/com.tessaro.qirtal.json"));
    EXPECT_FALSE(Exists(root + "/usr/lib/mozilla/native-messaging-hosts/com.tessaro.qirtal.json"));
}

TEST_F(RegisterTest, UninstallLeavesAForeignFileUnderOurName) {
    std::string d = home + "/.config/chromium/NativeMessagingHosts";
    ASSERT_EQ(0, system(("mkdir -p '" + d + "'").c_str()));
    WriteFile(d + "/com.tessaro.qirtal.json", "{\"name\":\"someone.else\"}", 0644);
    ProcessResult r = Run({"uninstall"});
    EXPECT_EQ(1, r.exitCode);
    EXPECT_NE(std::string::npos, r.err.find("was not written by tessaro-register; left"));
    EXPECT_EQ("{\"name\":\"someone.else\"}", Slurp(d + "/com.tessaro.qirtal.json"));
}

TEST_F(RegisterTest, ReinstallReplacesTheHostPath) {
    std::string other = dir.path() + "/bin/other";
    WriteFile(other, "#!/bin/sh\n", 0755);
    ASSERT_EQ(0, Run({"install", "--host", host}).exitCode);
    ASSERT_EQ(0, Run({"install", "--host", other}).exitCode);
    EXPECT_EQ(ChromiumManifest("\"" + other + "\"", kChromiumId),
              Slurp(UserManifest(".config/chromium/NativeMessagingHosts")));
}

}  // namespace
