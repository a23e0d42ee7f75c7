// The host on a prefix whose file system is full, and then read-only: every
// read goes on, every write fails with the cause's code and leaves nothing
// half-made, and once space is back the same request succeeds with nothing
// lost. Needs root to mount a small tmpfs of its own.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/EnrollTestSupport.h"
#include "tests/support/TestSupport.h"
#include "win/winreg.h"

using namespace enroll_test;

namespace {

// A tmpfs of its own as the prefix, unmounted on every path.
class SmallDisk {
public:
    explicit SmallDisk(const char* size) {
        std::string opts = std::string("size=") + size + ",mode=0700";
        m_mounted = mount("tessaro-test", m_dir.path().c_str(), "tmpfs", 0, opts.c_str()) == 0;
        if (m_mounted) {
            m_old = getenv("TESSARO_PREFIX") ? getenv("TESSARO_PREFIX") : "";
            setenv("TESSARO_PREFIX", m_dir.path().c_str(), 1);
        }
    }
    ~SmallDisk() {
        if (!m_mounted) return;
        umount2(m_dir.path().c_str(), MNT_DETACH);
        if (m_old.empty()) unsetenv("TESSARO_PREFIX");
        else setenv("TESSARO_PREFIX", m_old.c_str(), 1);
    }
    bool Mounted() const { return m_mounted; }
    const std::string& path() const { return m_dir.path(); }
    // Takes every free block.
    void Fill() {
        FILE* f = fopen((path() + "/filler").c_str(), "wb");
        ASSERT_NE(nullptr, f);
        std::vector<char> block(4096, 'x');
        while (fwrite(block.data(), 1, block.size(), f) == block.size() && fflush(f) == 0) {
        }
        fclose(f);
    }
    void Free() { ASSERT_EQ(0, unlink((path() + "/filler").c_str())); }
    // This process lets go of its hives there first: a file system with
    // files open for writing cannot become read-only.
    bool Remount(unsigned long flags) {
        tessaro_test::TempDir elsewhere{"elsewhere"};
        setenv("TESSARO_PREFIX", elsewhere.path().c_str(), 1);
        HKEY k = nullptr;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, u"Software", 0, KEY_READ, &k) == ERROR_SUCCESS) RegCloseKey(k);
        bool ok = mount(nullptr, path().c_str(), nullptr, MS_REMOUNT | flags, "size=4m,mode=0700") == 0;
        setenv("TESSARO_PREFIX", path().c_str(), 1);
        return ok;
    }

private:
    tessaro_test::TempDir m_dir{"disk"};
    bool m_mounted = false;
    std::string m_old;
};

std::string IntegrityOf(const std::string& db) {
    sqlite3* h = nullptr;
    std::string out = "cannot open";
    if (sqlite3_open_v2(db.c_str(), &h, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* s = nullptr;
        if (sqlite3_prepare_v2(h, "PRAGMA integrity_check", -1, &s, nullptr) == SQLITE_OK &&
            sqlite3_step(s) == SQLITE_ROW)
            out = reinterpret_cast<const char*>(sqlite3_column_text(s, 0));
        sqlite3_finalize(s);
    }
    sqlite3_close(h);
    return out;
}

const std::vector<std::string> kReads = {
    Call("KEVO_GetVersion", {}), Call("KEVO_GetCSPInfo", {}), Call("KEVO_GetAllCertInfo", {Str(ENHANCED)}),
    Call("KEVO_GetContainer", {}), Call("GetLastErrorDesc", {})};

std::vector<std::string> Request() {
    return {Call("KEVO_SetCSPInfo", {Num(1024), Str(ENHANCED)}), Call("KEVO_SetKeyAlgorithm", {Str("RSA")}),
            Call("KEVO_PKCS10CertRequisition", {Str("CN=Disk Test,O=Tessaro,C=CN"), Num(1), Num(0)}),
            Call("GetLastErrorDesc", {})};
}

void ExpectReadsWork(const std::string& when) {
    auto r = Converse(kReads);
    ASSERT_EQ(kReads.size(), r.size()) << when;
    for (const Response& each : r) EXPECT_EQ(0, each.errorcode) << when << ": " << each.raw;
    const std::string certutil = tessaro_test::BuildPath("tessaro-certutil");
    for (const std::vector<std::string>& argv : {std::vector<std::string>{certutil, "store", "user", "My"},
                                                 std::vector<std::string>{certutil, "containers", ENHANCED}}) {
        auto r = tessaro_test::RunProcess(argv, "");
        EXPECT_EQ(0, r.exitCode) << when << ": " << argv[1] << ": " << r.out << r.err;
    }
    // The PKCS#11 module shows the certificate made before, through OpenSC's
    // tool (which cannot load a module built with the sanitizers).
    bool tool = access("/usr/bin/pkcs11-tool", X_OK) == 0;
#ifdef TESSARO_SANITIZE
    tool = false;
#endif
    if (tool) {
        auto r = tessaro_test::RunProcess(
            {"/usr/bin/pkcs11-tool", "--module", tessaro_test::BuildPath("libtessaro-pkcs11.so"), "--list-objects"},
            "");
        EXPECT_EQ(0, r.exitCode) << when << ": " << r.err;
        EXPECT_NE(std::string::npos, r.out.find("label:      Before")) << when << ": " << r.out;
    }
}

TEST(Disk, FullThenReadOnlyPrefixKeepsReadsAndRefusesWritesWithTheirCause) {
    if (geteuid() != 0) GTEST_SKIP() << "mounting a small tmpfs as the prefix needs root";
    SmallDisk disk("4m");
    if (!disk.Mounted()) GTEST_SKIP() << "tmpfs cannot be mounted here (" << strerror(errno) << ")";
    TestCA ca;
    Enrollment made = Enroll(ca, ENHANCED, 1024, "RSA", 1, false, "CN=Before,O=Tessaro,C=CN");
    ASSERT_EQ(0, made.import.errorcode) << made.import.raw;
    const std::string before = Snapshot();

    disk.Fill();
    ExpectReadsWork("full");
    auto w = Converse(Request());
    ASSERT_EQ(4u, w.size());
    EXPECT_EQ(Code(0x80070070), w[2].errorcode) << w[2].raw;
    EXPECT_EQ("There is not enough space on the disk.\r\n\n(0x80070070)", w[3].text);
    EXPECT_EQ(before, Snapshot());

    disk.Free();
    w = Converse(Request());
    EXPECT_EQ(0, w[2].errorcode) << w[2].raw;
    EXPECT_NE(before, Snapshot());
    const std::string afterSpace = Snapshot();
    EXPECT_EQ(1, CountInMyStore(made.der));

    ASSERT_TRUE(disk.Remount(MS_RDONLY)) << strerror(errno);
    ExpectReadsWork("read-only");
    w = Converse(Request());
    EXPECT_NE(0, w[2].errorcode) << w[2].raw;
    EXPECT_EQ(afterSpace, Snapshot());
    ASSERT_TRUE(disk.Remount(0)) << strerror(errno);
    EXPECT_EQ("ok", IntegrityOf(disk.path() + "/user.db"));
    EXPECT_EQ("ok", IntegrityOf(disk.path() + "/machine.db"));
}

}  // namespace

namespace {

// Sets TESSARO_PREFIX for the life of the object.
struct PrefixNamed {
    explicit PrefixNamed(const std::string& p) { setenv("TESSARO_PREFIX", p.c_str(), 1); }
    ~PrefixNamed() { unsetenv("TESSARO_PREFIX"); }
};

TEST(Disk, APrefixThatIsNotTheUsersOwnIsRefusedAndLeftAsItIs) {
    tessaro_test::TempDir top("prefixes");
    const std::string real = top.path() + "/real", open = top.path() + "/open", file = top.path() + "/file";
    ASSERT_EQ(0, mkdir(real.c_str(), 0700));
    ASSERT_EQ(0, mkdir(open.c_str(), 0755));
    std::ofstream(file) << "x";
    ASSERT_EQ(0, symlink(real.c_str(), (top.path() + "/link").c_str()));
    const std::vector<std::string> csp = {Call("KEVO_GetCSPInfo", {})};

    for (const std::string& bad : {std::string("relative/prefix"), open, file}) {
        PrefixNamed p(bad);
        auto r = Converse(csp);
        ASSERT_EQ(1u, r.size()) << bad;
        EXPECT_NE(0, r[0].errorcode) << bad << ": " << r[0].raw;
    }
    struct stat st;
    EXPECT_EQ(0, stat(open.c_str(), &st));
    EXPECT_EQ(0755u, st.st_mode & 0777);  // not "fixed" behind the user's back
    EXPECT_NE(0, stat((open + "/machine.db").c_str(), &st));
    EXPECT_NE(0, stat("relative", &st));

    {
        // A symlink to the user's own directory is that directory.
        PrefixNamed p(top.path() + "/link");
        auto r = Converse(csp);
        EXPECT_EQ(0, r[0].errorcode) << r[0].raw;
        EXPECT_NE(std::string::npos, r[0].text.find(ENHANCED)) << r[0].raw;
    }
    EXPECT_EQ(0, stat((real + "/machine.db").c_str(), &st));
    // Inside the prefix nothing is followed: a hive replaced by a symlink fails.
    ASSERT_EQ(0, rename((real + "/machine.db").c_str(), (real + "/moved.db").c_str()));
    ASSERT_EQ(0, symlink((real + "/moved.db").c_str(), (real + "/machine.db").c_str()));
    PrefixNamed p(real);
    auto r = Converse(csp);
    EXPECT_NE(0, r[0].errorcode) << r[0].raw;
}

}  // namespace
