// tessaro-register as a user runs it: manifests written, listed and removed
// for each browser under a temporary HOME or a --destdir root; refused hosts
// and IDs leave nothing behind. The PKCS#11 module is registered in the NSS
// databases of Chromium and the Firefox profiles (checked with modutil -list)
// and as the p11-kit file: ours (build/libtessaro-pkcs11.so, the default) in a
// fresh HOME, elsewhere SoftHSM2's module, with its own configuration in the
// temporary folder.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "tests/support/TestSupport.h"

using namespace tessaro_test;

namespace {

const char kChromiumId[] = "cjeammpeofkbcchcphlnhjkoapomnifi";

const char kSoftHsm[] = "/usr/lib/softhsm/libsofthsm2.so";

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

    std::string softhsmConf = dir.path() + "/softhsm2.conf";
    std::string module;  // resolved, as the tool writes it

    void SetUp() override {
        mkdir(home.c_str(), 0700);
        mkdir((dir.path() + "/bin").c_str(), 0755);
        WriteFile(host, "#!/bin/sh\nexit 0\n", 0755);
        mkdir((dir.path() + "/tokens").c_str(), 0700);
        WriteFile(softhsmConf, "directories.tokendir = " + dir.path() + "/tokens\nobjectstore.backend = file\n", 0644);
        char resolved[PATH_MAX];
        if (realpath(kSoftHsm, resolved)) module = resolved;
    }

    // Registering the module for the user needs NSS's tools and a module modutil can load.
    std::string MissingTools(bool softhsm = true) {
        for (const char* tool : {"/usr/bin/modutil", "/usr/bin/certutil"})
            if (access(tool, X_OK) != 0) return std::string(tool) + " is missing (Debian package libnss3-tools)";
        if (softhsm && module.empty()) return std::string(kSoftHsm) + " is missing (Debian package softhsm2)";
        return {};
    }

    std::vector<std::string> Env() { return {"HOME=" + home, "SOFTHSM2_CONF=" + softhsmConf}; }

    ProcessResult Run(std::vector<std::string> args) {
        args.insert(args.begin(), BuildPath("tessaro-register"));
        return RunProcess(args, "", Env());
    }

    ProcessResult Nss(const std::string& db, std::vector<std::string> args) {
        args.insert(args.begin(), {"-dbdir", "sql:" + db});
        args.push_back("-force");
        args.insert(args.begin(), "modutil");
        return RunProcess(args, "", Env());
    }

    // modutil -list of a database: our module (with its library) and others.
    std::string ModuleList(const std::string& db) {
        ProcessResult r = RunProcess({"modutil", "-dbdir", "sql:" + db, "-list"}, "", Env());
        EXPECT_EQ(0, r.exitCode) << r.out << r.err;
        return r.out;
    }
    bool HasOurModule(const std::string& db, const std::string& lib) {
        std::string list = ModuleList(db);
        return list.find(". Tessaro Certificates\n\tlibrary name: " + lib + "\n") != std::string::npos;
    }

    void MakeNssDb(const std::string& db) {
        ASSERT_EQ(0, system(("mkdir -p '" + db + "'").c_str()));
        ProcessResult r = RunProcess({"certutil", "-N", "-d", "sql:" + db, "--empty-password"}, "", Env());
        ASSERT_EQ(0, r.exitCode) << r.err;
    }

    std::string P11KitFile() { return home + "/.config/pkcs11/modules/tessaro.module"; }

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
    std::string missing = MissingTools();
    if (!missing.empty()) GTEST_SKIP() << missing;
    ProcessResult st = Run({"status", "--host", host});
    EXPECT_EQ(3, st.exitCode);
    EXPECT_NE(std::string::npos, st.out.find("chromium: not registered"));

    ProcessResult r = Run({"install", "--host", host, "--module", kSoftHsm});
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

    st = Run({"status", "--module", kSoftHsm});
    EXPECT_EQ(0, st.exitCode) << st.out;
    EXPECT_NE(std::string::npos, st.out.find("firefox: registered (" + UserManifest(".mozilla/native-messaging-hosts") +
                                             ") -> " + dir.path() + "/bin/my host\".x86"));

    // A host that lost its execute bit shows as broken.
    chmod(host.c_str(), 0644);
    st = Run({"status", "--module", kSoftHsm});
    EXPECT_EQ(3, st.exitCode);
    EXPECT_NE(std::string::npos, st.out.find("chrome: broken")) << st.out;
    EXPECT_NE(std::string::npos, st.out.find("is not executable")) << st.out;

    r = Run({"uninstall", "--module", kSoftHsm});
    EXPECT_EQ(0, r.exitCode) << r.err;
    EXPECT_FALSE(Exists(UserManifest(".config/chromium/NativeMessagingHosts")));
    EXPECT_FALSE(Exists(UserManifest(".config/google-chrome/NativeMessagingHosts")));
    EXPECT_FALSE(Exists(UserManifest(".mozilla/native-messaging-hosts")));
    // The folders themselves stay: other hosts may live there.
    EXPECT_TRUE(Exists(home + "/.config/chromium/NativeMessagingHosts"));
    // A second uninstall has nothing to do and says so.
    r = Run({"uninstall", "--module", kSoftHsm});
    EXPECT_EQ(0, r.exitCode);
    EXPECT_NE(std::string::npos, r.out.find("firefox: not registered"));
}

TEST_F(RegisterTest, RelativeHostIsWrittenAbsoluteWithTheGivenExtensionId) {
    std::string missing = MissingTools();
    if (!missing.empty()) GTEST_SKIP() << missing;
    std::string id = "abcdefghijklmnopabcdefghijklmnop";
    ProcessResult r = RunProcess({"/bin/sh", "-c",
                                  "cd '" + dir.path() + "' && '" + BuildPath("tessaro-register") +
                                      "' install --host 'bin/../bin/my host\".x86' --extension-id " + id +
                                      " --module " + kSoftHsm},
                                 "", Env());
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
        {{"install", "--host", host, "--module", dir.path() + "/bin/missing.so"}, 1,
         "refused: module " + dir.path() + "/bin/missing.so does not exist"},
        {{"install", "--host", host, "--module", dir.path() + "/bin"}, 1, "is not a regular file"},
        {{"install", "--host", host, "--module", dir.path() + "/bin/"}, 1, "is not a regular file"},
        {{"install", "--system", "--host", host, "--module", host}, 2, "--module goes without --system"},
        {{"install", "--host", host, "--module"}, 2, "usage:"},
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
    EXPECT_FALSE(Exists(home + "/.local"));
    EXPECT_FALSE(Exists(home + "/.pki"));
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
    // A p11-kit file under our name for another module is left as well.
    ASSERT_EQ(0, system(("mkdir -p '" + home + "/.config/pkcs11/modules'").c_str()));
    WriteFile(P11KitFile(), "module: /usr/lib/x86_64-linux-gnu/opensc-pkcs11.so\n", 0644);
    ProcessResult r = Run({"uninstall", "--module", kSoftHsm});
    EXPECT_EQ(1, r.exitCode);
    EXPECT_NE(std::string::npos, r.err.find("was not written by tessaro-register; left"));
    EXPECT_NE(std::string::npos, r.err.find("p11-kit: " + P11KitFile() + " was not written by tessaro-register; left"))
        << r.err;
    EXPECT_EQ("{\"name\":\"someone.else\"}", Slurp(d + "/com.tessaro.qirtal.json"));
    EXPECT_EQ("module: /usr/lib/x86_64-linux-gnu/opensc-pkcs11.so\n", Slurp(P11KitFile()));
    ProcessResult st = Run({"status", "--module", kSoftHsm});
    EXPECT_NE(std::string::npos, st.out.find("p11-kit: not registered (" + P11KitFile() + " names another module"))
        << st.out;
}

TEST_F(RegisterTest, ReinstallReplacesTheHostAndModulePaths) {
    std::string missing = MissingTools();
    if (!missing.empty()) GTEST_SKIP() << missing;
    std::string other = dir.path() + "/bin/other";
    WriteFile(other, "#!/bin/sh\n", 0755);
    std::string otherModule = dir.path() + "/bin/copy of softhsm.so";
    ASSERT_EQ(0, system(("cp '" + module + "' '" + otherModule + "'").c_str()));
    ProcessResult r = Run({"install", "--host", host, "--module", kSoftHsm});
    ASSERT_EQ(0, r.exitCode) << r.err;
    r = Run({"install", "--host", other, "--module", otherModule});
    ASSERT_EQ(0, r.exitCode) << r.err;
    EXPECT_EQ(ChromiumManifest("\"" + other + "\"", kChromiumId),
              Slurp(UserManifest(".config/chromium/NativeMessagingHosts")));
    std::string db = home + "/.local/share/pki/nssdb";
    EXPECT_TRUE(HasOurModule(db, otherModule)) << ModuleList(db);
    EXPECT_EQ(std::string::npos, ModuleList(db).find(module));
    EXPECT_NE(std::string::npos, Slurp(P11KitFile()).find("module: " + otherModule + "\n"));
    // The same module again changes nothing.
    r = Run({"install", "--host", other, "--module", otherModule});
    EXPECT_EQ(0, r.exitCode) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("chromium nss: already registered")) << r.out;
}

TEST_F(RegisterTest, ModuleInAFreshHome) {
    std::string missing = MissingTools(false);
    if (!missing.empty()) GTEST_SKIP() << missing;
    // Our module, the default: the one beside tessaro-register.
    char resolved[PATH_MAX];
#ifdef TESSARO_SANITIZE
    GTEST_SKIP() << "modutil cannot load a module built with the sanitizers";
#endif
    ASSERT_TRUE(realpath(BuildPath("libtessaro-pkcs11.so").c_str(), resolved)) << "build/libtessaro-pkcs11.so";
    std::string module = resolved;
    std::string db = home + "/.local/share/pki/nssdb";
    ProcessResult st = Run({"status"});
    EXPECT_EQ(3, st.exitCode);
    EXPECT_NE(std::string::npos, st.out.find("chromium nss: not registered (sql:" + db + ": no NSS database)"))
        << st.out;
    EXPECT_NE(std::string::npos, st.out.find("p11-kit: not registered (" + P11KitFile() + ")")) << st.out;
    EXPECT_NE(std::string::npos, st.out.find("firefox nss: skipped, no Firefox profiles")) << st.out;
    EXPECT_FALSE(Exists(home + "/.local")) << "status created something";

    ProcessResult r = Run({"install", "--host", host});
    ASSERT_EQ(0, r.exitCode) << r.out << r.err;
    EXPECT_NE(std::string::npos, r.out.find("firefox nss: skipped, no Firefox profiles")) << r.out;
    struct stat sb {};
    ASSERT_EQ(0, stat(db.c_str(), &sb));
    EXPECT_EQ(0700u, sb.st_mode & 0777);
    EXPECT_TRUE(Exists(db + "/cert9.db"));
    EXPECT_FALSE(Exists(home + "/.pki"));
    EXPECT_TRUE(HasOurModule(db, module)) << ModuleList(db);
    EXPECT_EQ("# Tessaro Certificates PKCS#11 module, written by tessaro-register\n"
              "module: " + module + "\n",
              Slurp(P11KitFile()));

    st = Run({"status"});
    EXPECT_EQ(0, st.exitCode) << st.out;
    EXPECT_NE(std::string::npos, st.out.find("chromium nss: registered (sql:" + db + ") -> " + module)) << st.out;
    EXPECT_NE(std::string::npos, st.out.find("p11-kit: registered (" + P11KitFile() + ") -> " + module)) << st.out;

    r = Run({"uninstall"});
    EXPECT_EQ(0, r.exitCode) << r.out << r.err;
    EXPECT_EQ(std::string::npos, ModuleList(db).find("Tessaro Certificates"));
    EXPECT_TRUE(Exists(db + "/cert9.db"));  // the database stays
    EXPECT_FALSE(Exists(P11KitFile()));
    st = Run({"status"});
    EXPECT_EQ(3, st.exitCode);
    EXPECT_NE(std::string::npos, st.out.find("chromium nss: not registered (sql:" + db + ")")) << st.out;
}

TEST_F(RegisterTest, ModuleInChromiumsDatabaseAndFirefoxProfilesLeavesOtherModules) {
    std::string missing = MissingTools();
    if (!missing.empty()) GTEST_SKIP() << missing;
    std::string chromium = home + "/.pki/nssdb";
    std::string ff = home + "/.mozilla/firefox";
    std::string relative = ff + "/abcd1234.default-release";
    std::string absolute = dir.path() + "/elsewhere/work profile";
    MakeNssDb(chromium);
    MakeNssDb(relative);
    MakeNssDb(absolute);
    WriteFile(ff + "/profiles.ini",
              "[Install4F96D1932A9F858E]\r\nDefault=abcd1234.default-release\r\n\r\n"
              "[Profile1]\r\nName=work\r\nIsRelative=0\r\nPath=" + absolute + "\r\n\r\n"
              "[Profile0]\r\nName=default-release\r\nIsRelative=1\r\nPath=abcd1234.default-release\r\nDefault=1\r\n\r\n"
              "[Profile2]\r\nName=gone\r\nIsRelative=1\r\nPath=gone.profile\r\n\r\n"
              "[General]\r\nStartWithLastProfile=1\r\nVersion=2\r\n",
              0644);
    // Someone else's module, in NSS and for p11-kit.
    std::string otherModule = dir.path() + "/other softhsm.so";
    ASSERT_EQ(0, system(("cp '" + module + "' '" + otherModule + "'").c_str()));
    for (const std::string& db : {chromium, relative}) {
        ProcessResult a = Nss(db, {"-add", "SoftHSM Other", "-libfile", otherModule});
        ASSERT_EQ(0, a.exitCode) << a.out << a.err;
    }
    std::string otherP11Kit = home + "/.config/pkcs11/modules/other.module";
    ASSERT_EQ(0, system(("mkdir -p '" + home + "/.config/pkcs11/modules'").c_str()));
    WriteFile(otherP11Kit, "module: " + otherModule + "\n", 0644);

    ProcessResult st = Run({"status", "--module", kSoftHsm});
    EXPECT_EQ(3, st.exitCode);
    EXPECT_NE(std::string::npos, st.out.find("firefox nss (work): not registered (sql:" + absolute + ")")) << st.out;

    ProcessResult r = Run({"install", "--host", host, "--module", kSoftHsm});
    ASSERT_EQ(0, r.exitCode) << r.out << r.err;
    EXPECT_NE(std::string::npos, r.out.find("firefox nss (gone): skipped, the profile folder " + ff +
                                            "/gone.profile does not exist"))
        << r.out;
    EXPECT_FALSE(Exists(home + "/.local/share/pki"));  // ~/.pki/nssdb is Chromium's
    for (const std::string& db : {chromium, relative, absolute}) EXPECT_TRUE(HasOurModule(db, module)) << db;

    st = Run({"status", "--module", kSoftHsm});
    EXPECT_EQ(0, st.exitCode) << st.out;
    EXPECT_NE(std::string::npos, st.out.find("chromium nss: registered (sql:" + chromium + ") -> " + module)) << st.out;
    EXPECT_NE(std::string::npos,
              st.out.find("firefox nss (default-release): registered (sql:" + relative + ") -> " + module))
        << st.out;
    EXPECT_NE(std::string::npos, st.out.find("firefox nss (work): registered (sql:" + absolute + ") -> " + module))
        << st.out;

    r = Run({"uninstall", "--module", kSoftHsm});
    EXPECT_EQ(0, r.exitCode) << r.out << r.err;
    for (const std::string& db : {chromium, relative, absolute}) {
        std::string list = ModuleList(db);
        EXPECT_EQ(std::string::npos, list.find("Tessaro Certificates")) << db;
        EXPECT_EQ(db != absolute, list.find(". SoftHSM Other\n\tlibrary name: " + otherModule) != std::string::npos)
            << db << "\n" << list;
    }
    EXPECT_FALSE(Exists(P11KitFile()));
    EXPECT_EQ("module: " + otherModule + "\n", Slurp(otherP11Kit));
    EXPECT_EQ(3, Run({"status", "--module", kSoftHsm}).exitCode);
}

TEST_F(RegisterTest, AFailedModutilIsReportedWithItsOutput) {
    std::string missing = MissingTools();
    if (!missing.empty()) GTEST_SKIP() << missing;
    // A shell script is a regular file, but no PKCS#11 module: modutil -add fails.
    ProcessResult r = Run({"install", "--host", host, "--module", host});
    EXPECT_EQ(1, r.exitCode);
    EXPECT_NE(std::string::npos,
              r.err.find("chromium nss: modutil -add on sql:" + home + "/.local/share/pki/nssdb failed"))
        << r.err;
    EXPECT_NE(std::string::npos, r.err.find("Failed to add module \"Tessaro Certificates\"")) << r.err;
    EXPECT_EQ(std::string::npos, ModuleList(home + "/.local/share/pki/nssdb").find("Tessaro Certificates"));
    EXPECT_TRUE(Exists(P11KitFile()));  // the rest is written
    EXPECT_EQ(3, Run({"status", "--module", host}).exitCode);
}

TEST_F(RegisterTest, WithoutModutilTheRestIsWrittenAndNssIsSaidSkipped) {
    std::vector<std::string> env = Env();
    env.push_back("PATH=" + dir.path() + "/bin");  // no modutil, no certutil
    // Nothing loads the module here: any regular file will do.
    ProcessResult r = RunProcess({BuildPath("tessaro-register"), "install", "--host", host, "--module", host}, "", env);
    EXPECT_EQ(1, r.exitCode);
    EXPECT_NE(std::string::npos, r.err.find("modutil not found")) << r.err;
    EXPECT_NE(std::string::npos, r.err.find("was not registered in the NSS databases")) << r.err;
    EXPECT_TRUE(Exists(UserManifest(".config/chromium/NativeMessagingHosts")));
    EXPECT_TRUE(Exists(P11KitFile()));
    EXPECT_FALSE(Exists(home + "/.local/share/pki"));
}

}  // namespace
