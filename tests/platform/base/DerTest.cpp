#include "platform/base/Der.h"

#include <gtest/gtest.h>

namespace {

namespace der = tessaro::der;
using Bytes = std::vector<BYTE>;

Bytes Element(std::initializer_list<BYTE> header, size_t contentLen) {
    Bytes b(header);
    b.resize(b.size() + contentLen, 0x5A);
    return b;
}

TEST(DerReader, RefusesWhatDerForbids) {
    struct Case {
        Bytes der;
        der::Error error;
    } cases[] = {
        {Element({0x04, 0x81, 0x05}, 5), der::Error::kNonMinimal},          // long form for a short length
        {Element({0x04, 0x82, 0x00, 0x80}, 0x80), der::Error::kNonMinimal},  // a leading zero length octet
        {{0x30, 0x80, 0x04, 0x00, 0x00, 0x00}, der::Error::kIndefinite},
        {{0x04, 0x03, 0x01, 0x02}, der::Error::kTruncated},  // length past the end
        {{0x04, 0x84, 0xFF, 0xFF, 0xFF, 0xFF}, der::Error::kTruncated},
        {{0x04, 0x82, 0x01}, der::Error::kTruncated},  // length octets cut short
        {{0x04}, der::Error::kTruncated},
        {Element({0x04, 0x85, 0x00, 0x00, 0x00, 0x00, 0x01}, 1), der::Error::kTooLong},
    };
    for (const auto& c : cases) {
        der::Reader r(c.der.data(), c.der.size());
        der::Element e;
        EXPECT_FALSE(r.ReadAny(&e));
        EXPECT_EQ(r.error(), c.error) << testing::PrintToString(c.der);
        EXPECT_FALSE(r.Read(0x04, &e));  // a failed reader stays failed, with its first reason
        EXPECT_EQ(r.error(), c.error);
    }
    Bytes two{0x02, 0x01, 0x07, 0x05, 0x00};
    der::Reader r(two.data(), two.size());
    der::Element e;
    EXPECT_FALSE(r.Read(0x04, &e));
    EXPECT_EQ(r.error(), der::Error::kUnexpectedTag);
    der::Reader trailing(two.data(), two.size());
    EXPECT_TRUE(trailing.Read(0x02, &e));
    EXPECT_FALSE(trailing.ExpectEnd());
    EXPECT_EQ(trailing.error(), der::Error::kTrailingData);
}

TEST(DerReader, LongFormAndOptionalElements) {
    Bytes b = Element({0x04, 0x81, 0x80}, 0x80);
    b.insert(b.end(), {0xA0, 0x00});
    der::Reader r(b.data(), b.size());
    der::Element e;
    bool present = true;
    ASSERT_TRUE(r.ReadOptional(0x02, &e, &present));
    EXPECT_FALSE(present);
    ASSERT_TRUE(r.Read(0x04, &e));
    EXPECT_EQ(e.header, b.data());
    EXPECT_EQ(e.content, b.data() + 3);
    EXPECT_EQ(e.len, 0x80u);
    EXPECT_EQ(e.size(), 0x83u);
    ASSERT_TRUE(r.ReadOptional(der::ContextConstructed(0), &e, &present));
    EXPECT_TRUE(present);
    EXPECT_EQ(e.len, 0u);
    EXPECT_TRUE(r.ExpectEnd());
    EXPECT_FALSE(r.ReadAny(&e));  // nothing left
}

TEST(DerWriter, WritesMinimalFormsThatReadBack) {
    Bytes body;
    const BYTE padded[] = {0x00, 0x00, 0x80};  // leading zeros go, a sign octet comes
    der::AppendUnsignedInteger(body, padded, sizeof padded);
    Bytes oid;
    ASSERT_TRUE(der::AppendOidContent(oid, "1.2.840.113549"));
    der::AppendElement(body, der::kTagOid, oid);
    Bytes big(200, 0x11);
    der::AppendElement(body, der::kTagOctetString, big);
    Bytes out;
    der::AppendElement(out, der::kTagSequence, body);
    Bytes expected{0x30, 0x81, 0xD7, 0x02, 0x02, 0x00, 0x80, 0x06, 0x06, 0x2A,
                   0x86, 0x48, 0x86, 0xF7, 0x0D, 0x04, 0x81, 0xC8};
    expected.resize(expected.size() + big.size(), 0x11);
    EXPECT_EQ(out, expected);

    der::Element seq, e;
    der::Error err;
    ASSERT_TRUE(der::ReadWhole(out.data(), out.size(), der::kTagSequence, &seq, &err));
    der::Reader r(seq);
    const BYTE* c;
    size_t n;
    ASSERT_TRUE(r.Next(der::kTagInteger, &c, &n));
    BYTE fixed[4];
    ASSERT_TRUE(der::ReadUnsignedFixed(c, n, fixed, sizeof fixed));
    EXPECT_EQ(Bytes(fixed, fixed + 4), (Bytes{0x00, 0x00, 0x00, 0x80}));
    ASSERT_TRUE(r.Read(der::kTagOid, &e));
    EXPECT_EQ(Bytes(e.content, e.end()), oid);
    ASSERT_TRUE(r.Read(der::kTagOctetString, &e));
    EXPECT_EQ(Bytes(e.content, e.end()), big);
    EXPECT_TRUE(r.ExpectEnd());

    for (const char* bad : {"", "1", "3.1", "1.40", "1..2", "1.2."}) {
        Bytes untouched{0xEE};
        EXPECT_FALSE(der::AppendOidContent(untouched, bad)) << bad;
        EXPECT_EQ(untouched, Bytes{0xEE});
    }
}

}  // namespace
