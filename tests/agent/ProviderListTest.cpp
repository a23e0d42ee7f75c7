// The provider list: what is registered, in one "||"-joined text, and how it
// fails when the machine hive cannot be read. An unreadable hive must make
// the list fail (an empty list reported as success would tell the page no
// provider exists), and the list gives up after 16 consecutive failing
// indexes: a hive that fails every read must not keep the page waiting
// forever, and a run of fewer failures must not cost the providers after it.
// Every call the agent makes to CryptEnumProvidersW passes through the
// counter below (the link wraps the symbol for this program, see
// tests/CMakeLists.txt); the trace cannot count them here, since the trace
// session's setting lives in the very hive that is made unreadable.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "tests/agent/AgentTestSupport.h"
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

const char16_t* PROVIDER_ROOT = u"SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider";

using agent_test::FreshPrefix;

std::vector<std::u16string> Split(const std::u16string& s) {
    std::vector<std::u16string> parts;
    if (s.empty()) return parts;
    size_t start = 0;
    for (;;) {
        size_t pos = s.find(u"||", start);
        parts.push_back(s.substr(start, pos == std::u16string::npos ? std::u16string::npos : pos - start));
        if (pos == std::u16string::npos) return parts;
        start = pos + 2;
    }
}

// KEVO_GetCSPInfo's result and list ("<null>" when it hands out none).
HRESULT List(CCryptoAgent& a, std::u16string& out) {
    BSTR b = nullptr;
    HRESULT hr = a.KEVO_GetCSPInfo(&b);
    out = b ? std::u16string(b, SysStringLen(b)) : u"<null>";
    SysFreeString(b);
    return hr;
}

void Register(const std::u16string& name, DWORD type) {
    HKEY k = nullptr;
    std::u16string path = std::u16string(PROVIDER_ROOT) + u"\\" + name;
    ASSERT_EQ(ERROR_SUCCESS,
              RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr));
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(k, u"Type", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&type), 4));
    RegCloseKey(k);
}

// Points the process at a fresh prefix whose machine hive is no database.
class UnreadableHive {
public:
    UnreadableHive() : m_prefix("badhive") {
        std::ofstream f(m_prefix.path() + "/machine.db", std::ios::binary);
        f << std::string(8192, 'x');
    }

private:
    tessaro_test::ScopedPrefix m_prefix;
};

class ProviderList : public ::testing::Test {
protected:
    void SetUp() override {
        g_calls.clear();
        g_failing.clear();
    }
    void TearDown() override { g_failing.clear(); }

    HRESULT List(std::u16string& names) {
        CCryptoAgent agent;
        return ::List(agent, names);
    }
};

TEST_F(ProviderList, ListsEveryRegisteredProviderOnce) {
    FreshPrefix prefix;
    CCryptoAgent a;
    std::u16string list;
    ASSERT_EQ(KEVO_OK, ::List(a, list));
    std::vector<std::u16string> names = Split(list);
    std::sort(names.begin(), names.end());
    std::vector<std::u16string> expected = {
        u"Microsoft Base Cryptographic Provider v1.0", u"Microsoft Enhanced Cryptographic Provider v1.0",
        u"Microsoft Enhanced RSA and AES Cryptographic Provider", u"Microsoft Strong Cryptographic Provider",
        u"Tessaro RSA Token CSP v1.0", u"Tessaro SM2 Token CSP v1.0"};
    EXPECT_EQ(expected, names);
    EXPECT_EQ(KEVO_OK, a.GetLastResult());
}

TEST_F(ProviderList, FollowsTheRegistrations) {
    FreshPrefix prefix;
    CCryptoAgent a;
    std::u16string list;
    ASSERT_EQ(KEVO_OK, ::List(a, list));
    for (const auto& name : Split(list)) {
        std::u16string path = std::u16string(PROVIDER_ROOT) + u"\\" + name;
        ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyW(HKEY_LOCAL_MACHINE, path.c_str()));
    }
    // Nothing installed: an empty list, and still success.
    EXPECT_EQ(KEVO_OK, ::List(a, list));
    EXPECT_EQ(u"", list);
    // Providers of any type are listed, names exactly as registered.
    Register(u"Vendor CSP & Co", 1);
    Register(u"Other Type CSP", 13);
    ASSERT_EQ(KEVO_OK, ::List(a, list));
    std::vector<std::u16string> names = Split(list);
    std::sort(names.begin(), names.end());
    EXPECT_EQ((std::vector<std::u16string>{u"Other Type CSP", u"Vendor CSP & Co"}), names);
}

TEST_F(ProviderList, UnreadableMachineHiveFailsInsteadOfListingNothing) {
    UnreadableHive hive;
    DWORD cb = 0, type = 0;
    SetLastError(0);
    EXPECT_FALSE(CryptEnumProvidersW(0, nullptr, 0, &type, nullptr, &cb));
    EXPECT_NE(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    EXPECT_NE(GetLastError(), 0u);

    std::u16string names;
    HRESULT hr = List(names);
    EXPECT_TRUE(FAILED(hr)) << std::hex << hr;
    EXPECT_EQ(names, u"<null>");
}

TEST_F(ProviderList, UnreadableHiveStopsAfterExactlySixteenFailedIndexes) {
    UnreadableHive hive;
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

    EXPECT_EQ(hr, KevoNormalizeResult(static_cast<LONG>(dwHiveError))) << std::hex << hr << " " << dwHiveError;
    EXPECT_EQ(hr, HRESULT_FROM_WIN32(ERROR_BADDB));  // the hive file is no database
    EXPECT_EQ(names, u"<null>");
    ASSERT_EQ(g_calls.size(), 16u);
    for (DWORD i = 0; i < 16; ++i) {
        EXPECT_EQ(g_calls[i].index, i);
        EXPECT_TRUE(g_calls[i].sizeQuery) << i;
    }
}

TEST_F(ProviderList, FifteenFailedIndexesDoNotHideTheProvidersAfterThem) {
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

TEST_F(ProviderList, SixteenFailedIndexesBeforeTheProvidersEndTheList) {
    FailIndexes(0, 16);
    std::u16string names;
    EXPECT_EQ(List(names), HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED));
    EXPECT_EQ(names, u"<null>");
    ASSERT_EQ(g_calls.size(), 16u);
    EXPECT_EQ(g_calls.back().index, 15u);
}

TEST_F(ProviderList, ASuccessInBetweenStartsTheCountAgain) {
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
