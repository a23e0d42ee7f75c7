// A machine hive that cannot be read must make the provider list fail; an
// empty list reported as success would tell the page no provider exists.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "agent/CryptoAgent.h"
#include "tests/support/TestSupport.h"
#include "win/windows.h"

namespace {

TEST(ProviderList, UnreadableMachineHiveFailsInsteadOfListingNothing) {
    tessaro_test::TempDir prefix("badhive");
    std::string old = getenv("TESSARO_PREFIX") ? getenv("TESSARO_PREFIX") : "";
    setenv("TESSARO_PREFIX", prefix.path().c_str(), 1);
    {
        std::ofstream f(prefix.path() + "/machine.db", std::ios::binary);
        f << std::string(8192, 'x');
    }
    DWORD cb = 0, type = 0;
    SetLastError(0);
    EXPECT_FALSE(CryptEnumProvidersW(0, nullptr, 0, &type, nullptr, &cb));
    EXPECT_NE(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    EXPECT_NE(GetLastError(), 0u);

    CCryptoAgent agent;
    BSTR list = nullptr;
    HRESULT hr = agent.KEVO_GetCSPInfo(&list);
    EXPECT_TRUE(FAILED(hr)) << std::hex << hr;
    EXPECT_EQ(list, nullptr);
    if (list) SysFreeString(list);
    setenv("TESSARO_PREFIX", old.c_str(), 1);
}

}  // namespace
