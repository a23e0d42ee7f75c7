// A failed platform call that leaves the thread's last error at 0 must still
// be reported as a failure: the normalised code is E_FAIL, never KEVO_OK.
#include <gtest/gtest.h>

#include "diag/ResultCode.h"
#include "win/windows.h"

namespace {

TEST(LastErrorResult, ZeroLastErrorIsAFailureNotSuccess) {
    SetLastError(0);
    EXPECT_EQ(KevoLastErrorResult(), E_FAIL);
    EXPECT_TRUE(FAILED(KevoLastErrorResult()));
}

TEST(LastErrorResult, Win32OwnAndHResultCodesByTheRule) {
    SetLastError(ERROR_BADDB);  // 1009
    EXPECT_EQ(KevoLastErrorResult(), static_cast<HRESULT>(0x800703F1));
    SetLastError(0x20001403);  // an own code in its positive form
    EXPECT_EQ(KevoLastErrorResult(), static_cast<HRESULT>(0xA0071403));
    SetLastError(static_cast<DWORD>(NTE_BAD_KEYSET));  // HRESULTs pass through
    EXPECT_EQ(KevoLastErrorResult(), NTE_BAD_KEYSET);
    // Reading the result leaves the last error as it was.
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_KEYSET));
}

TEST(NormalizeResult, SuccessStaysOnlyForZero) {
    EXPECT_EQ(KevoNormalizeResult(0), KEVO_OK);
    EXPECT_EQ(KevoNormalizeResult(1), static_cast<HRESULT>(0x80070001));
    EXPECT_EQ(KevoNormalizeResult(0x7FFFFFFF), static_cast<HRESULT>(0xA007FFFF));
    EXPECT_EQ(KevoNormalizeResult(-1), -1);
}

}  // namespace
