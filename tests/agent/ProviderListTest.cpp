// The provider list: what is registered, in one "||"-joined text.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/agent/AgentTestSupport.h"
#include "agent/CryptoAgent.h"
#include "diag/ResultCode.h"
#include "tests/support/TestSupport.h"

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

TEST(GetCSPInfo, ListsEveryRegisteredProviderOnce) {
    FreshPrefix prefix;
    CCryptoAgent a;
    std::u16string list;
    ASSERT_EQ(KEVO_OK, List(a, list));
    std::vector<std::u16string> names = Split(list);
    std::sort(names.begin(), names.end());
    std::vector<std::u16string> expected = {
        u"Microsoft Base Cryptographic Provider v1.0", u"Microsoft Enhanced Cryptographic Provider v1.0",
        u"Microsoft Enhanced RSA and AES Cryptographic Provider", u"Microsoft Strong Cryptographic Provider",
        u"Tessaro RSA Token CSP v1.0", u"Tessaro SM2 Token CSP v1.0"};
    EXPECT_EQ(expected, names);
    EXPECT_EQ(KEVO_OK, a.GetLastResult());
}

TEST(GetCSPInfo, FollowsTheRegistrations) {
    FreshPrefix prefix;
    CCryptoAgent a;
    std::u16string list;
    ASSERT_EQ(KEVO_OK, List(a, list));
    for (const auto& name : Split(list)) {
        std::u16string path = std::u16string(PROVIDER_ROOT) + u"\\" + name;
        ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyW(HKEY_LOCAL_MACHINE, path.c_str()));
    }
    // Nothing installed: an empty list, and still success.
    EXPECT_EQ(KEVO_OK, List(a, list));
    EXPECT_EQ(u"", list);
    // Providers of any type are listed, names exactly as registered.
    Register(u"Vendor CSP & Co", 1);
    Register(u"Other Type CSP", 13);
    ASSERT_EQ(KEVO_OK, List(a, list));
    std::vector<std::u16string> names = Split(list);
    std::sort(names.begin(), names.end());
    EXPECT_EQ((std::vector<std::u16string>{u"Other Type CSP", u"Vendor CSP & Co"}), names);
}

}  // namespace
