// GUIDs, their text form and BSTR layout.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "win/windows.h"

TEST(Guid, TextFormAndRoundTrip) {
    GUID g = {0x6B29FC40, 0xCA47, 0x1067, {0xB3, 0x1D, 0x00, 0xDD, 0x01, 0x06, 0x62, 0xDA}};
    WCHAR buf[64];
    ASSERT_EQ(StringFromGUID2(g, buf, 64), 39);
    EXPECT_EQ(std::u16string(buf), u"{6B29FC40-CA47-1067-B31D-00DD010662DA}");
    EXPECT_EQ(StringFromGUID2(g, buf, 38), 0);
    GUID back{};
    ASSERT_EQ(CLSIDFromString(u"{6b29fc40-ca47-1067-b31d-00dd010662da}", &back), S_OK);
    EXPECT_TRUE(back == g);
    EXPECT_EQ(CLSIDFromString(u"{6B29FC40-CA47-1067-B31D-00DD010662D}", &back), CO_E_CLASSSTRING);
    EXPECT_EQ(CLSIDFromString(u"{6B29FC40-CA47-1067-B31D-00DD010662DX}", &back), CO_E_CLASSSTRING);
    EXPECT_EQ(CLSIDFromString(u"6B29FC40-CA47-1067-B31D-00DD010662DA00", &back), CO_E_CLASSSTRING);
}

TEST(Guid, CreatedGuidsAreRandomVersion4) {
    std::set<std::u16string> seen;
    for (int i = 0; i < 200; ++i) {
        GUID g;
        ASSERT_EQ(CoCreateGuid(&g), S_OK);
        EXPECT_EQ(g.Data3 >> 12, 4);
        EXPECT_EQ(g.Data4[0] & 0xC0, 0x80);
        WCHAR buf[39];
        ASSERT_EQ(StringFromGUID2(g, buf, 39), 39);
        seen.insert(buf);
    }
    EXPECT_EQ(seen.size(), 200u);
    EXPECT_EQ(CoCreateGuid(nullptr), E_INVALIDARG);
}

TEST(Com, InitialisationIsCountedPerThread) {
    EXPECT_EQ(CoInitialize(nullptr), S_OK);
    EXPECT_EQ(CoInitialize(nullptr), S_FALSE);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), RPC_E_CHANGED_MODE);
    CoUninitialize();
    CoUninitialize();
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    CoUninitialize();
}

TEST(Bstr, LengthPrefixedLayout) {
    BSTR b = SysAllocString(u"h\u00E9llo");
    ASSERT_NE(b, nullptr);
    DWORD prefix;
    std::memcpy(&prefix, reinterpret_cast<BYTE*>(b) - 4, 4);
    EXPECT_EQ(prefix, 10u);
    EXPECT_EQ(SysStringLen(b), 5u);
    EXPECT_EQ(SysStringByteLen(b), 10u);
    EXPECT_EQ(b[5], 0);
    SysFreeString(b);

    // Embedded zeros are kept: the length comes from the prefix.
    const WCHAR withZero[] = {u'a', 0, u'b'};
    b = SysAllocStringLen(withZero, 3);
    EXPECT_EQ(SysStringLen(b), 3u);
    EXPECT_EQ(b[2], u'b');
    EXPECT_EQ(b[3], 0);
    SysFreeString(b);

    b = SysAllocStringByteLen("abc", 3);
    EXPECT_EQ(SysStringByteLen(b), 3u);
    EXPECT_EQ(SysStringLen(b), 1u);
    EXPECT_EQ(std::memcmp(b, "abc\0\0", 5), 0);
    SysFreeString(b);

    EXPECT_EQ(SysAllocString(nullptr), nullptr);
    EXPECT_EQ(SysStringLen(nullptr), 0u);
    SysFreeString(nullptr);
    b = SysAllocString(u"");
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(SysStringLen(b), 0u);
    SysFreeString(b);
}
