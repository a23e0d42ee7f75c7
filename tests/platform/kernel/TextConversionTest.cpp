// UTF-8 / UTF-16 conversion with the Windows contract: sizes, terminators,
// replacement of ill-formed input, strict mode.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/TestSupport.h"
#include "win/windows.h"

using tessaro_test::FromHex;
using tessaro_test::ToHex;

namespace {

std::u16string ToWide(const std::vector<uint8_t>& in, DWORD flags = 0) {
    int n = MultiByteToWideChar(CP_UTF8, flags, reinterpret_cast<const char*>(in.data()),
                                static_cast<int>(in.size()), nullptr, 0);
    std::u16string out(static_cast<size_t>(n), u'\0');
    if (n > 0) {
        int m = MultiByteToWideChar(CP_UTF8, flags, reinterpret_cast<const char*>(in.data()),
                                    static_cast<int>(in.size()), out.data(), n);
        EXPECT_EQ(m, n);
    }
    return out;
}

std::string ToUtf8Hex(const std::u16string& in, DWORD flags = 0) {
    int n = WideCharToMultiByte(CP_UTF8, flags, in.data(), static_cast<int>(in.size()), nullptr, 0, nullptr,
                                nullptr);
    std::vector<uint8_t> out(static_cast<size_t>(n));
    if (n > 0) {
        int m = WideCharToMultiByte(CP_UTF8, flags, in.data(), static_cast<int>(in.size()),
                                    reinterpret_cast<char*>(out.data()), n, nullptr, nullptr);
        EXPECT_EQ(m, n);
    }
    return ToHex(out);
}

}  // namespace

TEST(MultiByteToWideChar, WellFormedInputIncludingSurrogatePairs) {
    EXPECT_EQ(ToWide(FromHex("C3A9")), std::u16string(u"\u00E9"));
    EXPECT_EQ(ToWide(FromHex("E4B8AD")), std::u16string(u"\u4E2D"));
    std::u16string pair = ToWide(FromHex("F09F9880"));  // U+1F600
    ASSERT_EQ(pair.size(), 2u);
    EXPECT_EQ(pair[0], 0xD83D);
    EXPECT_EQ(pair[1], 0xDE00);
}

TEST(MultiByteToWideChar, IllFormedInputBecomesReplacementCharacters) {
    // Lone continuation byte, truncated sequence, overlong NUL, encoded surrogate, >U+10FFFF.
    EXPECT_EQ(ToWide(FromHex("41 80 42")), std::u16string(u"A\uFFFDB"));
    EXPECT_EQ(ToWide(FromHex("E4B8")), std::u16string(u"\uFFFD"));
    EXPECT_EQ(ToWide(FromHex("C0 80")), std::u16string(u"\uFFFD\uFFFD"));
    EXPECT_EQ(ToWide(FromHex("ED A0 80")), std::u16string(u"\uFFFD\uFFFD\uFFFD"));
    EXPECT_EQ(ToWide(FromHex("F4 90 80 80")), std::u16string(u"\uFFFD\uFFFD\uFFFD\uFFFD"));
    EXPECT_EQ(ToWide(FromHex("E4 B8 41")), std::u16string(u"\uFFFDA"));
}

TEST(MultiByteToWideChar, StrictModeRefusesIllFormedInput) {
    const char bad[] = "a\xC3";
    SetLastError(0);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bad, 2, nullptr, 0), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION));
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, "ok", 2, nullptr, 0), 2);
}

TEST(MultiByteToWideChar, TerminatedInputCountsTheTerminatorAndShortBufferFails) {
    WCHAR buf[8];
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "h\xC3\xA9", -1, nullptr, 0), 3);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "h\xC3\xA9", -1, buf, 8), 3);
    EXPECT_EQ(buf[0], u'h');
    EXPECT_EQ(buf[1], 0x00E9);
    EXPECT_EQ(buf[2], 0);
    SetLastError(0);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abc", -1, buf, 3), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    // Same code page as UTF-8 for the ANSI page.
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "\xC3\xA9", 2, buf, 8), 1);
    EXPECT_EQ(buf[0], 0x00E9);
}

TEST(MultiByteToWideChar, InvalidArguments) {
    WCHAR buf[4];
    SetLastError(0);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "a", 0, buf, 4), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, nullptr, 3, buf, 4), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0x1, "a", 1, buf, 4), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FLAGS));
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, "a", 1, buf, 4), 1);
    EXPECT_EQ(MultiByteToWideChar(1252, 0, "a", 1, buf, 4), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(WideCharToMultiByte, EncodesAndReplacesLoneSurrogates) {
    EXPECT_EQ(ToUtf8Hex(u"\u00E9"), "C3A9");
    EXPECT_EQ(ToUtf8Hex(u"\U0001F600"), "F09F9880");
    std::u16string lone1 = {0xD83D, u'A'};
    std::u16string lone2 = {u'A', 0xDE00};
    std::u16string reversed = {0xDE00, 0xD83D};
    EXPECT_EQ(ToUtf8Hex(lone1), "EFBFBD41");
    EXPECT_EQ(ToUtf8Hex(lone2), "41EFBFBD");
    EXPECT_EQ(ToUtf8Hex(reversed), "EFBFBDEFBFBD");
    SetLastError(0);
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, lone1.data(), 2, nullptr, 0, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION));
}

TEST(WideCharToMultiByte, SizesTerminatorAndShortBuffer) {
    char buf[8];
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"\u4E2Dx", -1, nullptr, 0, nullptr, nullptr), 5);
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"\u4E2Dx", -1, buf, 8, nullptr, nullptr), 5);
    EXPECT_EQ(ToHex(reinterpret_cast<uint8_t*>(buf), 5), "E4B8AD7800");
    // A character is never split across the end of the buffer.
    SetLastError(0);
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"a\u4E2D", 2, buf, 3, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    BOOL used = FALSE;
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"a", 1, buf, 8, nullptr, &used), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(WideStringHelpers, CompareAndSearch) {
    EXPECT_EQ(wcslen(u"abc\u4E2D"), 4u);
    EXPECT_EQ(_wcsicmp(u"RSA", u"rsa"), 0);
    EXPECT_LT(_wcsicmp(u"abc", u"ABD"), 0);
    EXPECT_GT(_wcsicmp(u"abcd", u"ABC"), 0);
    EXPECT_EQ(_stricmp("Sm2", "sM2"), 0);
    EXPECT_NE(_stricmp("a", "b"), 0);
    LPCWSTR hay = u"CN=Test, O=Microsoft Corp";
    EXPECT_EQ(StrStrIW(hay, u"microsoft"), hay + 11);
    EXPECT_EQ(StrStrW(hay, u"microsoft"), nullptr);
    EXPECT_EQ(StrStrW(hay, u"Microsoft"), hay + 11);
    EXPECT_EQ(StrStrIW(hay, u""), nullptr);
    EXPECT_NE(StrStrIW(u"\u00C9COLE", u"\u00E9cole"), nullptr);
    EXPECT_EQ(StrStrIW(u"ab", u"abc"), nullptr);
}
