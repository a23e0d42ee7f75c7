// The host program's install mode end to end, in a fresh prefix: removal of
// the former CAs, then the RSA chains 208 and 210, twice; and the same run
// without write access to the machine hive; and a damaged machine hive.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>

#include "tests/store/CaChainSupport.h"
#include "store/CertificateChainInstall.h"

namespace {

using namespace cachain_test;
using tessaro_test::BuildPath;
using tessaro_test::RunProcess;
using tessaro_test::SourcePath;

// Runs code against another prefix in this process.
class PrefixSwitch {
public:
    explicit PrefixSwitch(const std::string& path) {
        m_saved = getenv("TESSARO_PREFIX") ? getenv("TESSARO_PREFIX") : "";
        setenv("TESSARO_PREFIX", path.c_str(), 1);
    }
    ~PrefixSwitch() { setenv("TESSARO_PREFIX", m_saved.c_str(), 1); }

private:
    std::string m_saved;
};

std::set<std::string> Listed(const std::vector<std::string>& env, const char* location, const char* store) {
    auto r = RunProcess({BuildPath("tessaro-certutil"), "store", location, store}, "", env);
    std::set<std::string> out;
    std::istringstream is(r.out);
    std::string line;
    const std::string key = "  Thumbprint: ";
    while (std::getline(is, line))
        if (line.rfind(key, 0) == 0) out.insert(line.substr(key.size()));
    return out;
}

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
    return n;
}

const char* const kLabels[] = {
    "(RunInstallMode -- DeleteRSADiscardCert)",
    "(RunInstallMode -- DeleteSM2DiscardCert)",
    "(RunInstallMode -- ImportCertificateChainfromResoure(RSA Operation))",
    "(RunInstallMode -- ImportCertificateChainfromResoure(RSA Test))",
};

TEST(InstallMode, FreshPrefixTwiceRemovesFormerCAsAndInstallsChains208And210) {
    tessaro_test::TempDir prefix("install");
    const std::vector<std::string> env = {"TESSARO_PREFIX=" + prefix.path(), "LC_ALL=", "LANG=C"};
    const Bytes keep = Former("rsa_keep_A1");
    {
        PrefixSwitch sw(prefix.path());
        for (const char* n : {"rsa_int_A1", "rsa_int_D_A1", "sm2_int_G2"}) {
            ASSERT_TRUE(AddToStore(CERT_SYSTEM_STORE_LOCAL_MACHINE, u"CA", Former(n)));
            ASSERT_TRUE(AddToStore(CERT_SYSTEM_STORE_CURRENT_USER, u"CA", Former(n)));
        }
        ASSERT_TRUE(AddToStore(CERT_SYSTEM_STORE_LOCAL_MACHINE, u"CA", keep));
        ASSERT_TRUE(AddToStore(CERT_SYSTEM_STORE_CURRENT_USER, u"CA", keep));
        for (const char* n : {"rsa_root_A", "sm2_root_F"}) ASSERT_TRUE(AddToStore(CERT_SYSTEM_STORE_LOCAL_MACHINE, u"ROOT", Former(n)));
    }
    ASSERT_EQ(2u, Listed(env, "machine", "ROOT").size());
    const std::string trace = BuildPath("tessaro-trace");
    ASSERT_EQ(0, RunProcess({trace, "start", "--flags", "0xF"}, "", env).exitCode);

    std::set<std::string> roots, cas = {Thumbprint(keep)};
    for (const auto& m : Manifest()) {
        if (m.resource != 208 && m.resource != 210) continue;
        if (m.kind == "root" && m.status != "EXPIRED") roots.insert(m.thumb);
        if (m.kind == "p7b" && m.status == "ADD") cas.insert(m.thumb);
    }
    ASSERT_EQ(5u, roots.size());
    ASSERT_EQ(6u, cas.size());

    for (int run = 1; run <= 2; ++run) {
        auto host = RunProcess({BuildPath("TessaroHost.QIRTAL.x86"), "-i"}, "", env);
        EXPECT_EQ(0, host.exitCode);
        EXPECT_EQ("", host.out);
        EXPECT_EQ(roots, Listed(env, "machine", "ROOT")) << run;
        EXPECT_EQ(cas, Listed(env, "machine", "CA")) << run;
        EXPECT_EQ(std::set<std::string>{Thumbprint(keep)}, Listed(env, "user", "CA")) << run;
        EXPECT_TRUE(Listed(env, "user", "ROOT").empty());

        auto shown = RunProcess({trace, "show"}, "", env);
        // Each step reported in order, every one a success.
        size_t at = 0;
        for (const char* label : kLabels) {
            EXPECT_EQ(static_cast<size_t>(run), Count(shown.out, std::string(label) + "\t\t--OK")) << label;
            size_t p = shown.out.find(label, at);
            ASSERT_NE(std::string::npos, p) << label;
            at = p;
        }
        EXPECT_EQ(4u * static_cast<size_t>(run), Count(shown.out, "(RunInstallMode -- "));
    }
    // Roots already gone on the second run: their registry steps report the absent key.
    auto shown = RunProcess({trace, "show"}, "", env);
    EXPECT_NE(std::string::npos, shown.out.find("DeleteRSADiscardCert - Step 9: DeleteTrustedRootCert [Reason:FAILED(hResult)] 0x80070002"));
    RunProcess({trace, "stop"}, "", env);
}

TEST(InstallMode, WithoutWriteAccessToTheMachineHiveEveryStepFailsAndTheProgramExitsZero) {
    tessaro_test::TempDir prefix("readonly");
    const std::vector<std::string> env = {"TESSARO_PREFIX=" + prefix.path(), "LC_ALL=", "LANG=C",
                                          "HOME=" + prefix.path()};
    const std::string former = SourcePath("tests/store/data/former/rsa_int_A1.pem");
    ASSERT_EQ(0, RunProcess({BuildPath("tessaro-certutil"), "-machine", "-addstore", "CA", former}, "", env).exitCode);
    const std::string trace = BuildPath("tessaro-trace");
    ASSERT_EQ(0, RunProcess({trace, "start", "--flags", "0xF"}, "", env).exitCode);

    std::vector<std::string> argv = {BuildPath("TessaroHost.QIRTAL.x86"), "-i"};
    const std::string db = prefix.path() + "/machine.db";
    if (geteuid() == 0) {
        // File modes do not bind root: run the program as an unprivileged
        // user who owns the prefix but not the machine hive.
        ASSERT_EQ(0, RunProcess({"chown", "-R", "65534:65534", prefix.path()}, "").exitCode);
        ASSERT_EQ(0, RunProcess({"sh", "-c", "chown 0:0 '" + db + "'* && chmod 0644 '" + db + "'*"}, "").exitCode);
        argv.insert(argv.begin(), {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
    } else {
        ASSERT_EQ(0, chmod(db.c_str(), 0400));
    }
    auto host = RunProcess(argv, "", env);
    EXPECT_EQ(0, host.exitCode) << host.err;
    EXPECT_EQ("", host.out);

    auto shown = RunProcess({trace, "show"}, "", env);
    // The removals report success (their steps are only traced), each failure with its code.
    EXPECT_NE(std::string::npos, shown.out.find("(RunInstallMode -- DeleteRSADiscardCert)\t\t--OK"));
    EXPECT_NE(std::string::npos, shown.out.find("(RunInstallMode -- DeleteSM2DiscardCert)\t\t--OK"));
    EXPECT_NE(std::string::npos,
              shown.out.find("DeleteCertificateFromStore - CertDeleteCertificateFromStore [Reason:1] 0x80070005"));
    EXPECT_NE(std::string::npos,
              shown.out.find("(RunInstallMode -- ImportCertificateChainfromResoure(RSA Operation))\t\t--Failed:(0x80070005)"));
    EXPECT_NE(std::string::npos,
              shown.out.find("(RunInstallMode -- ImportCertificateChainfromResoure(RSA Test))\t\t--Failed:(0x80070005)"));
    EXPECT_NE(std::string::npos, shown.out.find("ParseRootCACertificateNode - ParseCertificateNode [Reason:FAILED(hResult)] 0x8007000"));
    RunProcess({trace, "stop"}, "", env);

    // Nothing changed in the machine hive.
    EXPECT_EQ(std::set<std::string>{Thumbprint(ReadPem(former))}, Listed(env, "machine", "CA"));
    EXPECT_TRUE(Listed(env, "machine", "ROOT").empty());
}

}  // namespace

namespace {

// A damaged machine hive: install mode says so with its code, exits 1, runs
// no step and leaves the file byte for byte as it was.
TEST(InstallMode, DamagedMachineHiveIsReportedAndLeftAsItIs) {
    tessaro_test::TempDir prefix("damaged");
    const std::vector<std::string> env = {"TESSARO_PREFIX=" + prefix.path(), "LC_ALL=", "LANG=C"};
    const std::string db = prefix.path() + "/machine.db";
    const std::string garbage(8192, '\x5a');
    {
        std::ofstream f(db, std::ios::binary);
        f << garbage;
    }
    ASSERT_EQ(0, chmod(db.c_str(), 0600));
    auto host = RunProcess({BuildPath("TessaroHost.QIRTAL.x86"), "-i"}, "", env);
    EXPECT_EQ(1, host.exitCode);
    EXPECT_EQ("", host.out);
    EXPECT_NE(std::string::npos, host.err.find("machine hive " + db + " is damaged (ERROR_BADDB, 1009, 0x800703F1)"))
        << host.err;
    std::ifstream f(db, std::ios::binary);
    std::string now((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    EXPECT_TRUE(now == garbage);
}

}  // namespace
