#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>

#include "misc/Misc.h"
#include "tests/support/TestSupport.h"

namespace {

std::string Narrow(const std::u16string& w) {
    std::string s;
    for (char16_t c : w) s.push_back(static_cast<char>(c));
    return s;
}

// "{XXXXXXXX-XXXX-4XXX-[89AB]XXX-XXXXXXXXXXXX}", upper-case hex digits.
bool IsGuidText(const std::string& g) {
    if (g.size() != 38 || g.front() != '{' || g.back() != '}') return false;
    for (size_t i = 1; i < 37; ++i) {
        bool dash = i == 9 || i == 14 || i == 19 || i == 24;
        char c = g[i];
        if (dash ? c != '-' : !((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
    }
    return g[15] == '4' && std::string("89AB").find(g[20]) != std::string::npos;
}

std::u16string Widen(const std::string& s) { return std::u16string(s.begin(), s.end()); }

std::string HexOf(const std::vector<uint8_t>& v) {
    LPWSTR p = nullptr;
    EXPECT_EQ(0, ConvertBinaryDataToString(&p, static_cast<DWORD>(v.size()), v.data()));
    std::unique_ptr<WCHAR[]> owned(p);
    return Narrow(p);
}

// Points the temporary directory of this process at a fresh folder.
class MiscTempDir : public ::testing::Test {
protected:
    void SetUp() override {
        const char* old = std::getenv("TMPDIR");
        m_old = old ? old : "";
        m_hadOld = old != nullptr;
        setenv("TMPDIR", m_dir.path().c_str(), 1);
    }
    void TearDown() override {
        if (m_hadOld)
            setenv("TMPDIR", m_old.c_str(), 1);
        else
            unsetenv("TMPDIR");
    }
    tessaro_test::TempDir m_dir{"misc"};
    std::string m_old;
    bool m_hadOld = false;
};

}  // namespace

TEST(Misc, BinaryToHexLastByteFirst) {
    EXPECT_EQ("f4a30201", HexOf({0x01, 0x02, 0xA3, 0xF4}));
    EXPECT_EQ("", HexOf({}));
    EXPECT_EQ("00ff", HexOf({0xFF, 0x00}));
}

TEST(Misc, HexToBinaryLittleEndian) {
    DWORD cb = 99;
    BYTE* p = nullptr;
    ASSERT_EQ(0, ConvertStringToBinaryData(&cb, u"0102A3F4", &p));
    std::unique_ptr<BYTE[]> a(p);
    ASSERT_EQ(4u, cb);
    EXPECT_EQ("F4A3020100000000", tessaro_test::ToHex(p, 8));  // four spare zero bytes behind

    ASSERT_EQ(0, ConvertStringToBinaryData(&cb, u"ABC", &p));
    std::unique_ptr<BYTE[]> b(p);
    ASSERT_EQ(1u, cb);
    EXPECT_EQ(0xAB, p[0]);

    ASSERT_EQ(0, ConvertStringToBinaryData(&cb, u"", &p));
    std::unique_ptr<BYTE[]> c(p);
    EXPECT_EQ(0u, cb);

    p = nullptr;
    EXPECT_EQ(E_INVALIDARG, ConvertStringToBinaryData(&cb, u"3cfZ", &p));
    EXPECT_EQ(E_INVALIDARG, ConvertStringToBinaryData(&cb, u"12 34", &p));
    EXPECT_EQ(E_INVALIDARG, ConvertStringToBinaryData(&cb, nullptr, &p));
    EXPECT_EQ(nullptr, p);
}

TEST(Misc, HexRoundTripOfAnyLength) {
    std::string text;
    for (int i = 0; i < 5000; ++i) text += "9aF0"[i % 4];
    DWORD cb = 0;
    BYTE* p = nullptr;
    ASSERT_EQ(0, ConvertStringToBinaryData(&cb, Widen(text).c_str(), &p));
    std::unique_ptr<BYTE[]> owned(p);
    ASSERT_EQ(2500u, cb);
    std::string lower = text;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    EXPECT_EQ(lower, HexOf(std::vector<uint8_t>(p, p + cb)));
}

TEST(Misc, GuidStringShape) {
    std::u16string a, b;
    ASSERT_EQ(0, CreateGUIDStr(a));
    ASSERT_EQ(0, CreateGUIDStr(b));
    EXPECT_TRUE(IsGuidText(Narrow(a))) << Narrow(a);
    EXPECT_NE(a, b);
}

TEST_F(MiscTempDir, TempDirAndDumpedFiles) {
    std::u16string dir;
    ASSERT_EQ(0, GetTempDirPath(dir));
    EXPECT_EQ(m_dir.path() + "/", Narrow(dir));

    const BYTE data[] = {0x30, 0x03, 0x02, 0x01, 0x05};
    std::u16string p1, p2;
    DumpDatatoTempFile(p1, data, sizeof(data));
    DumpDatatoTempFile(p2, data, sizeof(data));
    ASSERT_FALSE(p1.empty());
    ASSERT_FALSE(p2.empty());
    EXPECT_NE(p1, p2);
    std::string f1 = Narrow(p1);
    ASSERT_EQ(Narrow(dir).size() + 38 + 5, f1.size());
    EXPECT_EQ(Narrow(dir), f1.substr(0, Narrow(dir).size()));
    EXPECT_TRUE(IsGuidText(f1.substr(Narrow(dir).size(), 38))) << f1;
    EXPECT_EQ(".KEVO", f1.substr(f1.size() - 5));
    std::ifstream in(f1, std::ios::binary);
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(data), sizeof(data)), content);
    struct stat st;
    ASSERT_EQ(0, lstat(f1.c_str(), &st));
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(0600u, st.st_mode & 0777);
}

TEST_F(MiscTempDir, UnusableDirectoryGivesEmptyPath) {
    // Writing into a directory that is not there fails cleanly.
    setenv("TMPDIR", (m_dir.path() + "/missing").c_str(), 1);
    std::u16string path = u"stale";
    const BYTE data[] = {1};
    DumpDatatoTempFile(path, data, 1);
    EXPECT_TRUE(path.empty());
}
