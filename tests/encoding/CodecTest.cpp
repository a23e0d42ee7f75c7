#include <gtest/gtest.h>

#include <memory>
#include <cstring>
#include <string>

#include "encoding/Codec.h"
#include "tests/support/TestSupport.h"

namespace {

std::string Encode(const std::vector<uint8_t>& in) {
    char* p = nullptr;
    int n = -1;
    EXPECT_EQ(0, Base64EncodeEx(in.data(), static_cast<int>(in.size()), &p, &n));
    std::unique_ptr<char[]> owned(p);
    EXPECT_EQ(std::strlen(p), static_cast<size_t>(n));
    return std::string(p, static_cast<size_t>(n));
}

std::vector<uint8_t> Decode(const std::string& in, HRESULT expect = 0) {
    BYTE* p = nullptr;
    int n = -1;
    EXPECT_EQ(expect, Base64DecodeEx(in.data(), static_cast<int>(in.size()), &p, &n));
    std::unique_ptr<BYTE[]> owned(p);
    if (expect != 0) return {};
    return std::vector<uint8_t>(p, p + n);
}

std::string Rewrap(const std::string& in) {
    char* p = nullptr;
    int n = -1;
    EXPECT_EQ(0, TransformBase64EncodedDatatoHoldCRLFPer64Chars(in.data(), static_cast<int>(in.size()), &p, &n));
    std::unique_ptr<char[]> owned(p);
    return std::string(p, static_cast<size_t>(n));
}

}  // namespace

TEST(Utf, ConvertsBothWaysWithTerminatorNotCounted) {
    char* p = nullptr;
    int n = -1;
    ASSERT_EQ(0, UTF16ToUTF8(u"\u00e9", &p, &n));
    std::unique_ptr<char[]> a(p);
    EXPECT_EQ(2, n);
    EXPECT_EQ("C3A9", tessaro_test::ToHex(reinterpret_cast<uint8_t*>(p), 3).substr(0, 4));
    EXPECT_EQ(0, p[2]);

    WCHAR* w = nullptr;
    ASSERT_EQ(0, UTF8ToUTF16("\xC3\xA9", &w, &n));
    std::unique_ptr<WCHAR[]> b(w);
    EXPECT_EQ(1, n);
    EXPECT_EQ(0x00E9, w[0]);
    EXPECT_EQ(0, w[1]);
}

TEST(Utf, EmptyInputGivesTerminatorOnly) {
    char* p = nullptr;
    int n = -1;
    ASSERT_EQ(0, UTF16ToUTF8(u"", &p, &n));
    std::unique_ptr<char[]> a(p);
    EXPECT_EQ(0, n);
    EXPECT_EQ(0, p[0]);
    WCHAR* w = nullptr;
    ASSERT_EQ(0, UTF8ToUTF16("", &w, &n));
    std::unique_ptr<WCHAR[]> b(w);
    EXPECT_EQ(0, n);
    EXPECT_EQ(0, w[0]);
}

TEST(Utf, NullInputIsPointerErrorAndIllFormedIsReplaced) {
    char* p = nullptr;
    int n = 0;
    EXPECT_EQ(E_POINTER, UTF16ToUTF8(nullptr, &p, &n));
    EXPECT_EQ(nullptr, p);
    WCHAR* w = nullptr;
    EXPECT_EQ(E_POINTER, UTF8ToUTF16(nullptr, &w, &n));
    EXPECT_EQ(nullptr, w);

    const WCHAR lone[] = {0xD800, u'a', 0};
    ASSERT_EQ(0, UTF16ToUTF8(lone, &p, &n));
    std::unique_ptr<char[]> a(p);
    EXPECT_EQ("EFBFBD61", tessaro_test::ToHex(reinterpret_cast<uint8_t*>(p), static_cast<size_t>(n)));

    ASSERT_EQ(0, UTF8ToUTF16("\xFF" "b", &w, &n));
    std::unique_ptr<WCHAR[]> b(w);
    ASSERT_EQ(2, n);
    EXPECT_EQ(0xFFFD, w[0]);
    EXPECT_EQ(u'b', w[1]);
}

TEST(Base64, EncodesGroupsPaddingAndLineBreaks) {
    EXPECT_EQ("YWJj", Encode({0x61, 0x62, 0x63}));
    EXPECT_EQ("AA==", Encode({0x00}));
    EXPECT_EQ("AAA=", Encode({0x00, 0x00}));
    EXPECT_EQ("", Encode({}));
    // 57 bytes fill one 76-character line exactly; one more byte starts a new line.
    std::vector<uint8_t> v(57, 0xFF);
    EXPECT_EQ(std::string(76, '/'), Encode(v));
    v.push_back(0xFF);
    EXPECT_EQ(std::string(76, '/') + "\r\n/w==", Encode(v));
    std::vector<uint8_t> w(114, 0);
    EXPECT_EQ(std::string(76, 'A') + "\r\n" + std::string(76, 'A'), Encode(w));
}

TEST(Base64, DecodesLenientlySkippingJunk) {
    EXPECT_EQ(std::vector<uint8_t>({0x61, 0x62, 0x63}), Decode("YW J\x01j\r\n"));
    EXPECT_EQ(std::vector<uint8_t>({0x61}), Decode("YQ=="));
    EXPECT_EQ(std::vector<uint8_t>(), Decode("Y"));
    EXPECT_EQ(std::vector<uint8_t>({0x61, 0x62}), Decode("YWI"));
    Decode("", E_FAIL);
    BYTE* p = reinterpret_cast<BYTE*>(1);
    int n = 0;
    EXPECT_EQ(E_FAIL, Base64DecodeEx("YWJj", -4, &p, &n));
    EXPECT_EQ(reinterpret_cast<BYTE*>(1), p);
}

TEST(Base64, StopsAtZeroAtGroupStartAndRespectsGivenLength) {
    const char text[] = "YWJj\0YWJj";
    EXPECT_EQ(std::vector<uint8_t>({0x61, 0x62, 0x63}), Decode(std::string(text, 9)));
    // Only the given length is read, even though more text follows.
    BYTE* p = nullptr;
    int n = 0;
    ASSERT_EQ(0, Base64DecodeEx("YWJjYWJj", 4, &p, &n));
    std::unique_ptr<BYTE[]> owned(p);
    EXPECT_EQ(3, n);
}

TEST(Base64, RoundTripsAllByteValues) {
    std::vector<uint8_t> v;
    for (int i = 0; i < 1000; ++i) v.push_back(static_cast<uint8_t>(i * 7 + 3));
    EXPECT_EQ(v, Decode(Encode(v)));
}

TEST(Rewrap, LinesOf64WithoutTrailingBreak) {
    std::string s100(100, 'A');
    EXPECT_EQ(std::string(64, 'A') + "\r\n" + std::string(36, 'A'), Rewrap(s100));
    EXPECT_EQ(std::string(64, 'A'), Rewrap(std::string(64, 'A')));
    EXPECT_EQ(std::string(64, 'A') + "\r\n" + std::string(64, 'A'), Rewrap(std::string(128, 'A')));
    EXPECT_EQ("", Rewrap(""));
}

TEST(Rewrap, IgnoresExistingBreaks) {
    std::string plain;
    for (int i = 0; i < 300; ++i) plain.push_back("ABCDEFGHIJ"[i % 10]);
    std::string broken;
    for (size_t i = 0; i < plain.size(); i += 76) broken += plain.substr(i, 76) + "\r\n";
    EXPECT_EQ(Rewrap(plain), Rewrap(broken));
    EXPECT_EQ(300u + 4 * 2, Rewrap(plain).size());
}

TEST(SwapByteOrder, ReversesInPlace) {
    BYTE a[] = {1, 2, 3};
    SwapByteOrder(a, 3);
    EXPECT_EQ("030201", tessaro_test::ToHex(a, 3));
    BYTE b[] = {1, 2, 3, 4};
    SwapByteOrder(b, 4);
    EXPECT_EQ("04030201", tessaro_test::ToHex(b, 4));
    BYTE c[] = {9};
    SwapByteOrder(c, 1);
    EXPECT_EQ(9, c[0]);
    SwapByteOrder(nullptr, 5);
}
