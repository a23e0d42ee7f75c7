// The diagnostic channel end to end: the global logger setting enables the
// provider, lines reach the trace file in their exact forms only under their
// flags, nothing is written with tracing off, the file is bounded, private
// and never written through a symlink, and tracing keeps the last error.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "diag/Diagnostics.h"
#include "tests/support/TestSupport.h"
#include "win/evntrace.h"
#include "win/windows.h"
#include "diag/ResultCode.h"

namespace {


struct TraceLine {
    std::string time, pid, tid, seq, unit, number, text;
};

// A fresh prefix per test, the provider unregistered afterwards.
class DiagnosticsTest : public ::testing::Test {
protected:
    void SetUp() override {
        const char* old = std::getenv("TESSARO_PREFIX");
        m_old = old ? old : "";
        setenv("TESSARO_PREFIX", m_dir.path().c_str(), 1);
    }
    void TearDown() override {
        KevoTraceUnregister();
        setenv("TESSARO_PREFIX", m_old.c_str(), 1);
    }

    void SetSession(DWORD start, DWORD flags, DWORD level = 4) {
        ASSERT_TRUE(tessaro_test::SetTraceSession(start, flags, level));
    }

    std::string TracePath() const { return m_dir.path() + "/trace/kevo.log"; }

    std::vector<TraceLine> ReadTrace() const {
        std::vector<TraceLine> out;
        std::ifstream f(TracePath());
        std::string line;
        while (std::getline(f, line)) {
            TraceLine t;
            std::string* fields[] = {&t.time, &t.pid, &t.tid, &t.seq, &t.unit, &t.number};
            size_t pos = 0;
            for (auto* fld : fields) {
                size_t tab = line.find('\t', pos);
                if (tab == std::string::npos) break;
                *fld = line.substr(pos, tab - pos);
                pos = tab + 1;
            }
            t.text = line.substr(pos);
            out.push_back(t);
        }
        return out;
    }

    std::vector<std::string> Texts() const {
        std::vector<std::string> r;
        for (auto& l : ReadTrace()) r.push_back(l.text);
        return r;
    }

    tessaro_test::TempDir m_dir{"diag"};
    std::string m_old;
};

// Child role: the test binary re-executed with TESSARO_DIAG_CHILD=<tag>
// registers and writes 3000 lines, then exits before any test runs.
int RunChildRole() {
    const char* tag = std::getenv("TESSARO_DIAG_CHILD");
    if (!tag) return 0;
    KevoTraceRegister();
    if (!KevoTraceEnabled(TRACE_FLAG_INFO)) _exit(2);
    std::string value(400, 'v');
    value += tag;
    for (int i = 0; i < 3000; ++i) KevoTraceValueA("k", value.c_str());
    KevoTraceUnregister();
    _exit(0);
}
const int g_childRole = RunChildRole();

pid_t SpawnTracer(const char* tag) {
    pid_t pid = fork();
    if (pid == 0) {
        setenv("TESSARO_DIAG_CHILD", tag, 1);
        execl("/proc/self/exe", "child", static_cast<char*>(nullptr));
        _exit(91);
    }
    return pid;
}

void EmitOneOfEach() {
    KevoTraceFailW(u"..\\..\\Tessaro\\CryptoAgent", 120, u"CCryptoAgent::KEVO_SetCSPInfo", u"check key length",
                   u"key length doesnot support(base).", KEVO_E_KEY_LENGTH);
    KevoTraceFailW(u"Misc", 7, u"CreateGUIDStr", u"StringFromGUID2", u"1", 0);
    KevoTraceStepW(u"CCryptoAgent::KEVO_GetCSPInfo", u"GetAllCSPName");
    KevoTraceFailA("IOStream", 42, "ReadFromNativeMessaging", "read", E_INVALIDARG, "-1 == nResult");
    KevoTraceOkA("JSONUtility", 9, "ParseRequest", "cJSON_Parse");
    KevoTraceValueW(u"wstrCSPName", u"");
    KevoTraceValueA("pszRequest", nullptr);
    KevoTraceValueN("nKeyLength", -1);
    const BYTE bytes[] = {0x30, 0x0D, 0xFF};
    KevoTraceValueBytes("pbCert", bytes, 3);
    TraceHelper t(u"CCryptoAgent::KEVO_GetVersion");
}

}  // namespace

TEST_F(DiagnosticsTest, NothingIsWrittenWithoutASession) {
    KevoTraceRegister();
    for (DWORD f : {0x1u, 0x2u, 0x4u, 0x8u}) EXPECT_FALSE(KevoTraceEnabled(f));
    EmitOneOfEach();
    struct stat st;
    EXPECT_NE(stat((m_dir.path() + "/trace").c_str(), &st), 0);

    // A configured but stopped logger enables nothing either.
    KevoTraceUnregister();
    SetSession(0, 0xF);
    KevoTraceRegister();
    EXPECT_FALSE(KevoTraceEnabled(0xF));
    EmitOneOfEach();
    EXPECT_NE(stat((m_dir.path() + "/trace").c_str(), &st), 0);
}

TEST_F(DiagnosticsTest, AllFlagsGiveEveryLineInItsExactForm) {
    SetSession(1, 0x8000000F);  // the top bit is not a flag
    KevoTraceRegister();
    EXPECT_TRUE(KevoTraceEnabled(0x1));
    EXPECT_TRUE(KevoTraceEnabled(0x8));
    EXPECT_FALSE(KevoTraceEnabled(0x80000000));
    EmitOneOfEach();
    std::vector<std::string> expected = {
        "[..\\..\\Tessaro\\CryptoAgent(120):] CCryptoAgent::KEVO_SetCSPInfo - check key length "
        "[Reason:key length doesnot support(base).] 0xa0072400",
        "[Misc(7):] CreateGUIDStr - StringFromGUID2 [Reason:1] 0x00000000",
        "CCryptoAgent::KEVO_GetCSPInfo - GetAllCSPName 0x00000000",
        "[IOStream(42):](ReadFromNativeMessaging -- read)\t\t--Failed:(0x80070057) [Reason:-1 == nResult]\\n",
        "[JSONUtility(9)]:(ParseRequest -- cJSON_Parse)\t\t--OK\\n",
        "wstrCSPName = <NULL>",
        "pszRequest = NULL",
        "nKeyLength = -1 (0xffffffff)",
        "pbCert = (3 bytes) 300DFF",
        "CCryptoAgent::KEVO_GetVersion - Enter",
        "CCryptoAgent::KEVO_GetVersion - Exit",
    };
    std::vector<TraceLine> lines = ReadTrace();
    ASSERT_EQ(lines.size(), expected.size());
    for (size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(lines[i].text, expected[i]) << i;

    // Columns: time, this process and thread, rising sequence, unit, message number.
    EXPECT_EQ(lines[0].unit, "..\\..\\Tessaro\\CryptoAgent");
    EXPECT_EQ(lines[0].number, "120");
    EXPECT_EQ(lines[3].unit, "IOStream");
    EXPECT_EQ(lines[3].number, "42");
    EXPECT_EQ(lines[2].unit, "KevoTrace");
    EXPECT_EQ(lines[0].pid, std::to_string(getpid()));
    EXPECT_EQ(lines[0].tid, std::to_string(GetCurrentThreadId()));
    EXPECT_EQ(lines[0].time.size(), 26u);  // YYYY-MM-DD hh:mm:ss.uuuuuu
    for (size_t i = 1; i < lines.size(); ++i)
        EXPECT_EQ(std::stoul(lines[i].seq), std::stoul(lines[i - 1].seq) + 1);

    struct stat st;
    ASSERT_EQ(stat(TracePath().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(DiagnosticsTest, EachFlagSelectsItsLines) {
    struct Case {
        DWORD flags;
        std::vector<std::string> prefixes;
    };
    const Case cases[] = {
        {0x1, {"[IOStream(42):]"}},
        {0x2, {"[..\\..\\Tessaro\\CryptoAgent(120):]"}},
        {0x4,
         {"[Misc(7):]", "CCryptoAgent::KEVO_GetCSPInfo - GetAllCSPName", "[JSONUtility(9)]", "wstrCSPName",
          "pszRequest", "nKeyLength", "pbCert"}},
        {0x8, {"CCryptoAgent::KEVO_GetVersion - Enter", "CCryptoAgent::KEVO_GetVersion - Exit"}},
    };
    for (const Case& c : cases) {
        unlink(TracePath().c_str());
        KevoTraceUnregister();
        SetSession(1, c.flags);
        KevoTraceRegister();
        EmitOneOfEach();
        std::vector<std::string> texts = Texts();
        ASSERT_EQ(texts.size(), c.prefixes.size()) << "flags " << c.flags;
        for (size_t i = 0; i < texts.size(); ++i) EXPECT_EQ(texts[i].rfind(c.prefixes[i], 0), 0u) << texts[i];
    }
    // A step line with a negative result goes with the failures.
    unlink(TracePath().c_str());
    KevoTraceStepW(u"F", u"step", E_FAIL);
    KevoTraceStepW(u"F", u"ok", 0);
    KevoTraceUnregister();
    SetSession(1, 0x2);
    KevoTraceRegister();
    KevoTraceStepW(u"F", u"step", E_FAIL);
    KevoTraceStepW(u"F", u"ok", 0);
    EXPECT_EQ(Texts(), (std::vector<std::string>{"F - step 0x80004005"}));
}

TEST_F(DiagnosticsTest, LongPartsAreTruncatedToTheLineBuffer) {
    SetSession(1, 0xF);
    KevoTraceRegister();
    std::u16string longName(2000, u'x');
    std::string longA(2000, 'y');
    KevoTraceFailW(u"Unit", 1, longName.c_str(), u"step", u"reason", E_FAIL);
    KevoTraceFailA("Unit", 2, longA.c_str(), "step", E_FAIL, "reason");
    KevoTraceValueW(u"v", longName.c_str());
    std::vector<BYTE> big(1000, 0xAB);
    KevoTraceValueBytes("b", big.data(), static_cast<DWORD>(big.size()));
    std::vector<std::string> texts = Texts();
    ASSERT_EQ(texts.size(), 4u);
    // 511 characters of line, then the code text.
    EXPECT_EQ(texts[0], "[Unit(1):] " + std::string(500, 'x') + " 0x80004005");
    EXPECT_EQ(texts[1], "[Unit(2):](" + std::string(500, 'y'));
    EXPECT_EQ(texts[2].size(), 511u);
    EXPECT_LE(texts[3].size(), 511u);
    EXPECT_GT(texts[3].size(), 500u);
    EXPECT_EQ(texts[3].substr(texts[3].size() - 3), "...");
    // Non-ASCII text survives as UTF-8.
    unlink(TracePath().c_str());
    KevoTraceValueW(u"name", u"\u4E2D\u6587");
    EXPECT_EQ(Texts(), (std::vector<std::string>{"name = \xE4\xB8\xAD\xE6\x96\x87"}));
}

TEST_F(DiagnosticsTest, TracingKeepsTheLastError) {
    SetSession(1, 0xF);
    KevoTraceRegister();
    SetLastError(1234);
    {
        TraceHelper t(u"F");
        EXPECT_EQ(GetLastError(), 1234u);
        KevoTraceFailW(u"U", 1, u"F", u"s", u"r", E_FAIL);
        KevoTraceFailA("U", 1, "F", "s", E_FAIL, "r");
        KevoTraceValueN("n", 1);
        EXPECT_EQ(GetLastError(), 1234u);
        SetLastError(5);
    }
    EXPECT_EQ(GetLastError(), 5u);
    EXPECT_EQ(ReadTrace().size(), 5u);
    // Registration itself leaves it alone too.
    KevoTraceUnregister();
    SetLastError(77);
    KevoTraceRegister();
    EXPECT_EQ(GetLastError(), 77u);
}

TEST_F(DiagnosticsTest, TraceFileIsBoundedByRotation) {
    SetSession(1, 0x4);
    KevoTraceRegister();
    std::string value(400, 'v');
    // About 5 MiB of lines.
    for (int i = 0; i < 12000; ++i) KevoTraceValueA("k", value.c_str());
    struct stat cur, old;
    ASSERT_EQ(stat(TracePath().c_str(), &cur), 0);
    ASSERT_EQ(stat((TracePath() + ".1").c_str(), &old), 0);
    EXPECT_LE(cur.st_size, 4 * 1024 * 1024);
    EXPECT_LE(old.st_size, 4 * 1024 * 1024);
    EXPECT_GT(old.st_size, 4 * 1024 * 1024 - 1000);
    EXPECT_EQ(old.st_mode & 0777, 0600u);
    // No line is split across the two files.
    std::ifstream f(TracePath() + ".1");
    std::string last, line;
    while (std::getline(f, line)) last = line;
    EXPECT_EQ(last.substr(last.size() - 4), "vvvv");
}

TEST_F(DiagnosticsTest, ProcessesSharingTheTraceFileKeepWholeLines) {
    SetSession(1, 0x4);
    pid_t a = SpawnTracer("A"), b = SpawnTracer("B");
    int sa = 0, sb = 0;
    waitpid(a, &sa, 0);
    waitpid(b, &sb, 0);
    ASSERT_TRUE(WIFEXITED(sa) && WEXITSTATUS(sa) == 0);
    ASSERT_TRUE(WIFEXITED(sb) && WEXITSTATUS(sb) == 0);
    std::string va = "k = " + std::string(400, 'v') + "A", vb = "k = " + std::string(400, 'v') + "B";
    int countA = 0, countB = 0;
    std::map<std::string, unsigned long> lastSeq;
    for (const TraceLine& l : ReadTrace()) {
        ASSERT_TRUE(l.text == va || l.text == vb) << l.text.substr(0, 60);
        (l.text == va ? countA : countB)++;
        // Each process numbers its own lines in order.
        unsigned long seq = std::stoul(l.seq);
        EXPECT_GT(seq, lastSeq[l.pid]);
        lastSeq[l.pid] = seq;
    }
    EXPECT_EQ(countA, 3000);
    EXPECT_EQ(countB, 3000);
}

TEST_F(DiagnosticsTest, NeverWritesThroughASymlink) {
    SetSession(1, 0xF);
    tessaro_test::TempDir elsewhere("victim");
    std::string victim = elsewhere.path() + "/victim";
    { std::ofstream(victim) << "keep"; }
    mkdir((m_dir.path() + "/trace").c_str(), 0700);
    ASSERT_EQ(symlink(victim.c_str(), TracePath().c_str()), 0);
    KevoTraceRegister();
    KevoTraceValueA("k", "v");
    std::ifstream f(victim);
    std::stringstream ss;
    ss << f.rdbuf();
    EXPECT_EQ(ss.str(), "keep");
}

TEST_F(DiagnosticsTest, SessionStartAndStopReachARegisteredProvider) {
    KevoTraceRegister();
    EXPECT_FALSE(KevoTraceEnabled(0x4));
    SetSession(1, 0x6, 3);
    TraceRefreshProviders();  // what starting the session does to running providers
    EXPECT_TRUE(KevoTraceEnabled(0x4));
    EXPECT_TRUE(KevoTraceEnabled(0x2));
    EXPECT_FALSE(KevoTraceEnabled(0x8));
    KevoTraceValueA("k", "on");
    SetSession(0, 0x6);
    TraceRefreshProviders();
    EXPECT_FALSE(KevoTraceEnabled(0x4));
    KevoTraceValueA("k", "off");
    EXPECT_EQ(Texts(), (std::vector<std::string>{"k = on"}));
}

TEST_F(DiagnosticsTest, TraceToolStartsShowsAndStops) {
    std::string tool = tessaro_test::BuildPath("tessaro-trace");
    auto r = tessaro_test::RunProcess({tool, "start", "--flags", "0x5", "--level", "4"}, "");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    KevoTraceRegister();
    EXPECT_TRUE(KevoTraceEnabled(0x1));
    EXPECT_TRUE(KevoTraceEnabled(0x4));
    EXPECT_FALSE(KevoTraceEnabled(0x2));
    KevoTraceOkA("LumoraHost", 3, "wmain", "RegisterTrace");
    r = tessaro_test::RunProcess({tool, "show"}, "");
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_NE(r.out.find("\tLumoraHost\t3\t[LumoraHost(3)]:(wmain -- RegisterTrace)\t\t--OK\\n\n"), std::string::npos)
        << r.out;
    r = tessaro_test::RunProcess({tool, "stop"}, "");
    EXPECT_EQ(r.exitCode, 0);
    KevoTraceUnregister();
    KevoTraceRegister();
    EXPECT_FALSE(KevoTraceEnabled(0x4));
    EXPECT_EQ(tessaro_test::RunProcess({tool, "start", "--flags"}, "").exitCode, 2);
    EXPECT_EQ(tessaro_test::RunProcess({tool, "bogus"}, "").exitCode, 2);
}

TEST(EventTrace, ControlAndRegistrationArguments) {
    EVENT_TRACE_PROPERTIES props{};
    props.Wnode.BufferSize = sizeof(props);
    EXPECT_EQ(ControlTraceW(0, u"NoSuchSession", &props, EVENT_TRACE_CONTROL_QUERY),
              static_cast<ULONG>(ERROR_WMI_INSTANCE_NOT_FOUND));
    EXPECT_EQ(ControlTraceW(0, u"GlobalLogger", nullptr, EVENT_TRACE_CONTROL_QUERY),
              static_cast<ULONG>(ERROR_INVALID_PARAMETER));
    TRACEHANDLE h = 0;
    EXPECT_EQ(RegisterTraceGuidsW(nullptr, nullptr, &KEVO_TRACE_CONTROL_GUID, 0, nullptr, nullptr, nullptr, &h),
              static_cast<ULONG>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(UnregisterTraceGuids(0xDEAD), static_cast<ULONG>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(TraceMessage(0x1234, 43, &KEVO_TRACE_CONTROL_GUID, 1, static_cast<const void*>(nullptr)),
              static_cast<ULONG>(ERROR_INVALID_HANDLE));
    HMODULE adv = LoadLibraryW(u"ADVAPI32.DLL");
    ASSERT_NE(adv, nullptr);
    EXPECT_EQ(GetProcAddress(adv, "TraceMessage"), reinterpret_cast<void*>(&TraceMessage));
    SetLastError(0);
    EXPECT_EQ(GetProcAddress(adv, "TraceEvent"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
    EXPECT_TRUE(FreeLibrary(adv));
    EXPECT_EQ(LoadLibraryW(u"/nonexistent/libnothing.so"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
}
