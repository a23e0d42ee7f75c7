// Running out of memory inside one call, in this process: the Nth C++
// allocation (or cJSON allocation) the call makes fails, for N = 1, 2, ...
// until the call completes without reaching N. Every failure is the call's
// own out-of-memory code, never an exception out of a C API or an agent
// operation, and nothing is left half-made behind a failed call.
#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <string>

#include "agent/CryptoAgent.h"
#include "host/JSONUtility.h"
#include "diag/ResultCode.h"
#include "win/windows.h"

namespace {

// The countdown of the replaced allocation functions below: the allocation
// that brings it from 1 to 0 fails; 0 means off.
long g_nFailIn = 0;
bool g_bFired = false;

bool FailNow() {
    if (g_nFailIn <= 0 || --g_nFailIn > 0) return false;
    g_bFired = true;
    return true;
}

void* Allocate(std::size_t cb) {
    void* p = std::malloc(cb ? cb : 1);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}

// Arms the countdown for one call; Fired() tells afterwards whether the call
// reached the Nth allocation.
void Arm(long n) {
    g_bFired = false;
    g_nFailIn = n;
}
bool Fired() {
    g_nFailIn = 0;
    return g_bFired;
}

// A walk never needs more steps than the call makes allocations; this bounds
// a call that would allocate without end.
const long kMaxSteps = 20000;

std::u16string Widen(const std::string& s) { return std::u16string(s.begin(), s.end()); }

}  // namespace

void* operator new(std::size_t cb) {
    if (FailNow()) throw std::bad_alloc();
    return Allocate(cb);
}
void* operator new[](std::size_t cb) {
    if (FailNow()) throw std::bad_alloc();
    return Allocate(cb);
}
void* operator new(std::size_t cb, const std::nothrow_t&) noexcept {
    return FailNow() ? nullptr : std::malloc(cb ? cb : 1);
}
void* operator new[](std::size_t cb, const std::nothrow_t&) noexcept {
    return FailNow() ? nullptr : std::malloc(cb ? cb : 1);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace {

// A key made by a call that then ran out of memory would be a key nobody
// asked for: the call creates it with its handle, or not at all.
TEST(AllocationFailure, RegistryKeyIsCreatedWithItsHandleOrNotAtAll) {
    long nFailed = 0;
    for (long n = 1; n <= kMaxSteps; ++n) {
        const std::u16string wstrPath = u"Software\\Tessaro\\AllocationWalk\\" + Widen(std::to_string(n)) + u"\\Leaf";
        HKEY hKey = nullptr;
        DWORD dwDisposition = 0;
        Arm(n);
        LSTATUS st = RegCreateKeyExW(HKEY_CURRENT_USER, wstrPath.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                     KEY_ALL_ACCESS, nullptr, &hKey, &dwDisposition);
        const bool bFired = Fired();
        if (st == ERROR_SUCCESS) {
            EXPECT_EQ(dwDisposition, static_cast<DWORD>(REG_CREATED_NEW_KEY)) << "N=" << n;
            EXPECT_EQ(RegCloseKey(hKey), ERROR_SUCCESS) << "N=" << n;
            if (!bFired) break;
            continue;
        }
        ++nFailed;
        EXPECT_TRUE(bFired) << "N=" << n;
        EXPECT_EQ(st, ERROR_NOT_ENOUGH_MEMORY) << "N=" << n;
        HKEY hOpen = nullptr;
        EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, wstrPath.c_str(), 0, KEY_READ, &hOpen), ERROR_FILE_NOT_FOUND)
            << "N=" << n << ": the failed call left the key";
        if (hOpen) RegCloseKey(hOpen);
    }
    EXPECT_GT(nFailed, 0);
}

// The same for a key set: a failed CRYPT_NEWKEYSET leaves no container.
TEST(AllocationFailure, NewKeySetIsMadeWithItsHandleOrNotAtAll) {
    const char16_t* const pwszProvider = u"Microsoft Enhanced Cryptographic Provider v1.0";
    long nFailed = 0;
    for (long n = 1; n <= kMaxSteps; ++n) {
        const std::u16string wstrName = u"AllocationWalk-" + Widen(std::to_string(n));
        HCRYPTPROV hProv = 0;
        Arm(n);
        BOOL bMade = CryptAcquireContextW(&hProv, wstrName.c_str(), pwszProvider, PROV_RSA_FULL, CRYPT_NEWKEYSET);
        const DWORD dwError = GetLastError();
        const bool bFired = Fired();
        if (bMade) {
            EXPECT_TRUE(CryptReleaseContext(hProv, 0)) << "N=" << n;
            HCRYPTPROV hDelete = 0;
            EXPECT_TRUE(CryptAcquireContextW(&hDelete, wstrName.c_str(), pwszProvider, PROV_RSA_FULL,
                                             CRYPT_DELETEKEYSET))
                << "N=" << n;
            if (!bFired) break;
            continue;
        }
        ++nFailed;
        EXPECT_TRUE(bFired) << "N=" << n;
        EXPECT_EQ(hProv, 0u) << "N=" << n;
        EXPECT_EQ(dwError, static_cast<DWORD>(NTE_NO_MEMORY)) << "N=" << n;
        HCRYPTPROV hOpen = 0;
        EXPECT_FALSE(CryptAcquireContextW(&hOpen, wstrName.c_str(), pwszProvider, PROV_RSA_FULL, 0))
            << "N=" << n << ": the failed call left the key set";
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_KEYSET)) << "N=" << n;
        if (hOpen) CryptReleaseContext(hOpen, 0);
    }
    EXPECT_GT(nFailed, 0);
}

// An agent operation that runs out of memory answers E_OUTOFMEMORY, keeps
// its out-flag false, records the code, and the description says so.
TEST(AllocationFailure, AgentOperationAnswersOutOfMemoryAndDescribesIt) {
    CCryptoAgent agent;
    long nFailed = 0;
    for (long n = 1; n <= kMaxSteps; ++n) {
        BSTR bstrName = SysAllocString(u"  Microsoft Enhanced Cryptographic Provider v1.0 ");
        ASSERT_NE(bstrName, nullptr);
        VARIANT_BOOL vb = VARIANT_FALSE;
        Arm(n);
        HRESULT hr = agent.KEVO_SetCSPInfo(1024, bstrName, &vb);
        const bool bFired = Fired();
        SysFreeString(bstrName);
        if (hr == KEVO_OK) {
            EXPECT_EQ(vb, VARIANT_TRUE) << "N=" << n;
            EXPECT_EQ(agent.GetCSPName(), u"Microsoft Enhanced Cryptographic Provider v1.0") << "N=" << n;
            if (!bFired) break;
            continue;
        }
        ++nFailed;
        EXPECT_EQ(hr, E_OUTOFMEMORY) << "N=" << n;
        EXPECT_EQ(vb, VARIANT_FALSE) << "N=" << n;
        EXPECT_EQ(agent.GetLastResult(), E_OUTOFMEMORY) << "N=" << n;
        BSTR bstrDesc = nullptr;
        ASSERT_EQ(agent.GetLastErrorDesc(&bstrDesc), KEVO_OK) << "N=" << n;
        std::u16string wstrDesc(bstrDesc);
        SysFreeString(bstrDesc);
        const std::u16string wstrCode = u"(0x8007000e)";
        ASSERT_GE(wstrDesc.size(), wstrCode.size() + 2) << "N=" << n;
        EXPECT_EQ(wstrDesc.substr(wstrDesc.size() - wstrCode.size()), wstrCode) << "N=" << n;
    }
    EXPECT_GT(nFailed, 0);
}

// The provider list is complete or the call fails: a provider that could not
// be read for want of memory is not skipped as a broken registration.
TEST(AllocationFailure, ProviderListIsCompleteOrFails) {
    CCryptoAgent agent;
    BSTR bstrAll = nullptr;
    ASSERT_EQ(agent.KEVO_GetCSPInfo(&bstrAll), KEVO_OK);
    const std::u16string wstrAll(bstrAll);
    SysFreeString(bstrAll);
    ASSERT_NE(wstrAll.find(u"||"), std::u16string::npos);
    long nFailed = 0;
    for (long n = 1; n <= kMaxSteps; ++n) {
        BSTR bstr = nullptr;
        Arm(n);
        HRESULT hr = agent.KEVO_GetCSPInfo(&bstr);
        const bool bFired = Fired();
        if (hr == KEVO_OK) {
            ASSERT_NE(bstr, nullptr);
            EXPECT_EQ(std::u16string(bstr), wstrAll) << "N=" << n;
            SysFreeString(bstr);
            if (!bFired) break;
            continue;
        }
        ++nFailed;
        EXPECT_EQ(bstr, nullptr) << "N=" << n;
        // The agent's own, the provider layer's, or the registry's answer
        // passed through as the last error.
        EXPECT_TRUE(hr == E_OUTOFMEMORY || hr == NTE_NO_MEMORY || hr == HRESULT(0x80070008u))
            << "N=" << n << ": 0x" << std::hex << hr;
    }
    EXPECT_GT(nFailed, 0);
}

// cJSON's own allocations, failed one at a time through its hooks.
long g_nJsonFailIn = 0;
bool g_bJsonFired = false;
void* JsonMalloc(size_t cb) {
    if (g_nJsonFailIn > 0 && --g_nJsonFailIn == 0) {
        g_bJsonFired = true;
        return nullptr;
    }
    return std::malloc(cb);
}

struct JsonHooks {
    JsonHooks() {
        cJSON_Hooks hooks = {JsonMalloc, std::free};
        cJSON_InitHooks(&hooks);
    }
    ~JsonHooks() { cJSON_InitHooks(nullptr); }
};

// A response is made whole or not at all: never an answer that lacks its
// error code, and never one without the page's random id.
TEST(AllocationFailure, ResponseIsWholeOrFallsBack) {
    JsonHooks hooks;
    long nFailed = 0;
    for (long n = 1; n <= kMaxSteps; ++n) {
        const unsigned char byTrue = 1;
        cJSON* pResponse = nullptr;
        g_bJsonFired = false;
        g_nJsonFailIn = n;
        int nResult = ConstructResponseJSON("KEVO_SetCSPInfo", 0, JSON_RESULT_TRUE, &byTrue, &pResponse);
        char* pszMsg = nullptr;
        ConvertJSONToResponseMsg("KEVO_SetCSPInfo", "r-42", pResponse, &pszMsg);
        g_nJsonFailIn = 0;
        cJSON_Delete(pResponse);
        ASSERT_NE(pszMsg, nullptr) << "N=" << n;
        const std::string strMsg(pszMsg);
        delete[] pszMsg;
        if (!g_bJsonFired) {
            EXPECT_EQ(nResult, 0);
            EXPECT_EQ(strMsg, R"({"function":"KEVO_SetCSPInfo","errorcode":0,"result":true,"randomId":"r-42"})");
            break;
        }
        if (strMsg == R"({"function":"KEVO_SetCSPInfo","errorcode":0,"result":true,"randomId":"r-42"})") continue;
        ++nFailed;
        EXPECT_EQ(strMsg, R"({"function":"KEVO_SetCSPInfo", "errorcode":-2146893779, "result":false, "randomId":"r-42"})")
            << "N=" << n << " (response " << nResult << ")";
    }
    EXPECT_GT(nFailed, 0);
}

}  // namespace
