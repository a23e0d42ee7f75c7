// The provider list gives up after 16 consecutive failing indexes: a hive
// that fails every read must not keep the page waiting forever, and a run of
// fewer failures must not cost the providers after it. Every call the agent
// makes to CryptEnumProvidersW passes through the counter below (the link
// wraps the symbol for this program, see tests/CMakeLists.txt); the trace cannot
// count them here, since the trace session's setting lives in the very hive
// that is made unreadable.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "agent/CryptoAgent.h"
#include "diag/ResultCode.h"
#include "tests/support/TestSupport.h"
#include "win/windows.h"

namespace {

struct EnumCall {
    DWORD index;
    bool sizeQuery;
};

std::vector<EnumCall> g_calls;
// Indexes marked here fail with ERROR_ACCESS_DENIED; every other index is
// the platform's index shifted down by the marked ones before it.
std::vector<bool> g_failing;

void FailIndexes(DWORD from, DWORD to) {
    if (g_failing.size() < to) g_failing.resize(to, false);
    for (DWORD i = from; i < to; ++i) g_failing[i] = true;
}

}  // namespace

// The mangled name of BOOL CryptEnumProvidersW(DWORD, DWORD*, DWORD, DWORD*, LPWSTR, DWORD*).
extern "C" BOOL __real__Z19CryptEnumProvidersWjPjjS_PDsS_(DWORD, DWORD*, DWORD, DWORD*, LPWSTR, DWORD*);
extern "C" BOOL __wrap__Z19CryptEnumProvidersWjPjjS_PDsS_(DWORD dwIndex, DWORD* pdwReserved, DWORD dwFlags,
                                                          DWORD* pdwProvType, LPWSTR szProvName,
                                                          DWORD* pcbProvName) {
    g_calls.push_back({dwIndex, szProvName == nullptr});
    if (g_calls.size() > 1000) {
        // Far past any cap: stop the loop so that the test reports instead of hanging.
        SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    DWORD dwShift = 0;
    for (DWORD i = 0; i < dwIndex && i < g_failing.size(); ++i) dwShift += g_failing[i] ? 1 : 0;
    if (dwIndex < g_failing.size() && g_failing[dwIndex]) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    return __real__Z19CryptEnumProvidersWjPjjS_PDsS_(dwIndex - dwShift, pdwReserved, dwFlags, pdwProvType, szProvName,
                                                     pcbProvName);
}

namespace {

class ProviderEnumerationCap : public ::testing::Test {
protected:
    void SetUp() override {
        g_calls.clear();
        g_failing.clear();
    }
    void TearDown() override { g_failing.clear(); }

    // KEVO_GetCSPInfo's result and list.
    HRESULT List(std::u16string& names) {
        CCryptoAgent agent;
        BSTR list = nullptr;
        HRESULT hr = agent.KEVO_GetCSPInfo(&list);
        names = list ? std::u16string(list) : std::u16string();
        if (list) SysFreeString(list);
        return hr;
    }
};

TEST_F(ProviderEnumerationCap, UnreadableHiveStopsAfterExactlySixteenFailedIndexes) {
    tessaro_test::TempDir prefix("enumcap");
    std::string old = getenv("TESSARO_PREFIX") ? getenv("TESSARO_PREFIX") : "";
    setenv("TESSARO_PREFIX", prefix.path().c_str(), 1);
    {
        std::ofstream f(prefix.path() + "/machine.db", std::ios::binary);
        f << std::string(8192, 'x');
    }
    // What one enumeration call reports on this hive.
    DWORD cb = 0, type = 0;
    SetLastError(0);
    ASSERT_FALSE(CryptEnumProvidersW(0, nullptr, 0, &type, nullptr, &cb));
    const DWORD dwHiveError = GetLastError();
    ASSERT_NE(dwHiveError, 0u);
    ASSERT_NE(dwHiveError, static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    g_calls.clear();

    std::u16string names;
    HRESULT hr = List(names);
    setenv("TESSARO_PREFIX", old.c_str(), 1);

    EXPECT_EQ(hr, KevoNormalizeResult(static_cast<LONG>(dwHiveError))) << std::hex << hr << " " << dwHiveError;
    EXPECT_EQ(static_cast<uint32_t>(hr), 0x800703F1u);  // ERROR_BADDB (1009): the hive file is no database
    EXPECT_TRUE(names.empty());
    ASSERT_EQ(g_calls.size(), 16u);
    for (DWORD i = 0; i < 16; ++i) {
        EXPECT_EQ(g_calls[i].index, i);
        EXPECT_TRUE(g_calls[i].sizeQuery) << i;
    }
}

TEST_F(ProviderEnumerationCap, FifteenFailedIndexesDoNotHideTheProvidersAfterThem) {
    std::u16string expected;
    ASSERT_EQ(List(expected), KEVO_OK);
    ASSERT_NE(expected.find(u"Microsoft Enhanced Cryptographic Provider v1.0"), std::u16string::npos);
    const size_t plainCalls = g_calls.size();

    g_calls.clear();
    FailIndexes(0, 15);
    std::u16string names;
    EXPECT_EQ(List(names), KEVO_OK);
    EXPECT_EQ(names, expected);
    // The fifteen refused size queries come on top of the plain run's calls.
    EXPECT_EQ(g_calls.size(), plainCalls + 15);
}

TEST_F(ProviderEnumerationCap, SixteenFailedIndexesBeforeTheProvidersEndTheList) {
    FailIndexes(0, 16);
    std::u16string names;
    EXPECT_EQ(static_cast<uint32_t>(List(names)), 0x80070005u);  // ERROR_ACCESS_DENIED as an HRESULT
    EXPECT_TRUE(names.empty());
    ASSERT_EQ(g_calls.size(), 16u);
    EXPECT_EQ(g_calls.back().index, 15u);
}

TEST_F(ProviderEnumerationCap, ASuccessInBetweenStartsTheCountAgain) {
    std::u16string expected;
    ASSERT_EQ(List(expected), KEVO_OK);
    const size_t plainCalls = g_calls.size();

    // Indexes 0-14 fail, 15 is the platform's first provider, 16-30 fail
    // again: 30 failures in all, never 16 in a row.
    g_calls.clear();
    FailIndexes(0, 15);
    FailIndexes(16, 31);
    std::u16string names;
    EXPECT_EQ(List(names), KEVO_OK);
    EXPECT_EQ(names, expected);
    EXPECT_EQ(g_calls.size(), plainCalls + 30);
}

}  // namespace
