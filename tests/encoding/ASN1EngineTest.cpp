#include <gtest/gtest.h>

#include <memory>

#include "encoding/ASN1Engine.h"
#include "tests/support/TestSupport.h"

using tessaro_test::FromHex;

namespace {

struct Parsed {
    LONG r;
    std::unique_ptr<CASN1Node> root;
};

Parsed Parse(const std::vector<uint8_t>& v) {
    CASN1Node* p = reinterpret_cast<CASN1Node*>(1);
    LONG r = DecodeASN1Memory(&p, v.data(), static_cast<DWORD>(v.size()));
    return {r, std::unique_ptr<CASN1Node>(p)};
}

void ExpectNode(const CASN1Node* n, BYTE tag, DWORD valueLength, ULONGLONG valueOffset, DWORD total,
                DWORD children) {
    ASSERT_NE(nullptr, n);
    EXPECT_EQ(tag, n->GetTag());
    EXPECT_EQ(valueLength, n->GetValueLength());
    EXPECT_EQ(valueOffset, n->GetValueOffset());
    EXPECT_EQ(total, n->GetTotalLength());
    EXPECT_EQ(children, n->GetChildCount());
    EXPECT_FALSE(n->IsIndefinite());
}

std::vector<uint8_t> FlatSequenceOfIntegers(int count) {
    std::vector<uint8_t> content;
    for (int i = 0; i < count; ++i) content.insert(content.end(), {0x02, 0x01, static_cast<uint8_t>(i)});
    std::vector<uint8_t> v = {0x30, 0x82, static_cast<uint8_t>(content.size() >> 8),
                              static_cast<uint8_t>(content.size() & 0xFF)};
    v.insert(v.end(), content.begin(), content.end());
    return v;
}

}  // namespace

TEST(ASN1Engine, SequenceOfIntegerNodeFields) {
    auto v = FromHex("30 03 02 01 05");
    Parsed p = Parse(v);
    ASSERT_EQ(0, p.r);
    ExpectNode(p.root.get(), 0x30, 3, 2, 5, 1);
    EXPECT_EQ(nullptr, p.root->GetParent());
    const CASN1Node* c = p.root->GetChild(0);
    ExpectNode(c, 0x02, 1, 4, 3, 0);
    EXPECT_EQ(p.root.get(), c->GetParent());
    EXPECT_EQ(0x05, c->GetValue()[0]);
    EXPECT_EQ(nullptr, p.root->GetChild(1));
}

TEST(ASN1Engine, LeafRuleByTagOctet) {
    Parsed octet = Parse(FromHex("04 03 30 01 00"));
    ASSERT_EQ(0, octet.r);
    EXPECT_EQ(0u, octet.root->GetChildCount());
    Parsed ctxCons = Parse(FromHex("A0 03 02 01 07"));
    ASSERT_EQ(0, ctxCons.r);
    EXPECT_EQ(1u, ctxCons.root->GetChildCount());
    Parsed ctxPrim = Parse(FromHex("80 01 07"));
    ASSERT_EQ(0, ctxPrim.r);
    EXPECT_EQ(0u, ctxPrim.root->GetChildCount());
    Parsed ctx16 = Parse(FromHex("90 03 02 01 07"));
    ASSERT_EQ(0, ctx16.r);
    EXPECT_EQ(1u, ctx16.root->GetChildCount());
}

TEST(ASN1Engine, IndefiniteLengthsAreResolved) {
    Parsed p = Parse(FromHex("30 80 02 01 05 00 00"));
    ASSERT_EQ(0, p.r);
    ExpectNode(p.root.get(), 0x30, 5, 2, 7, 1);
    ExpectNode(p.root->GetChild(0), 0x02, 1, 4, 3, 0);

    // Nested: the inner end-of-contents belongs to the inner node.
    Parsed n = Parse(FromHex("30 80 30 80 02 01 05 00 00 00 00"));
    ASSERT_EQ(0, n.r);
    ExpectNode(n.root.get(), 0x30, 9, 2, 11, 1);
    ExpectNode(n.root->GetChild(0), 0x30, 5, 4, 7, 1);

    // An indefinite primitive is scanned for its two zero octets.
    Parsed leaf = Parse(FromHex("04 80 41 42 00 00"));
    ASSERT_EQ(0, leaf.r);
    ExpectNode(leaf.root.get(), 0x04, 4, 2, 6, 0);

    // An empty indefinite SEQUENCE is its end-of-contents alone.
    Parsed empty = Parse(FromHex("30 80 00 00"));
    ASSERT_EQ(0, empty.r);
    ExpectNode(empty.root.get(), 0x30, 2, 2, 4, 0);
}

TEST(ASN1Engine, LongFormLength) {
    std::vector<uint8_t> v = {0x30, 0x82, 0x01, 0x00};
    v.resize(4 + 256);  // 128 NULLs
    for (size_t i = 4; i < v.size(); i += 2) {
        v[i] = 0x05;
        v[i + 1] = 0x00;
    }
    Parsed p = Parse(v);
    ASSERT_EQ(0, p.r);
    ExpectNode(p.root.get(), 0x30, 256, 4, 260, 128);
    EXPECT_EQ(3u, p.root->GetLengthOctetCount());
    // Leading zero length octets are harmless; five of them still fit.
    Parsed z = Parse(FromHex("04 85 00 00 00 00 01 AA"));
    ASSERT_EQ(0, z.r);
    ExpectNode(z.root.get(), 0x04, 1, 7, 8, 0);
}

TEST(ASN1Engine, MalformedFirstElementHandsOutNoTree) {
    for (const char* hex : {"05 00", "30", "30 84 00 00", "30 82 01"}) {
        auto v = FromHex(hex);
        CASN1Node* p = reinterpret_cast<CASN1Node*>(1);
        EXPECT_EQ(ASN1_DECODE_FAILED, DecodeASN1Memory(&p, v.data(), static_cast<DWORD>(v.size()))) << hex;
        EXPECT_EQ(nullptr, p) << hex;
    }
    CASN1Node* p = nullptr;
    EXPECT_EQ(ASN1_DECODE_FAILED, DecodeASN1Memory(&p, nullptr, 0));
}

TEST(ASN1Engine, TruncatedAndOverlongInputFailBelowTheRoot) {
    // Constructed content beyond the buffer; a child beyond the buffer; a
    // primitive root whose content passes the end; lengths far beyond.
    for (const char* hex : {"30 05 02 01 05", "30 80 02 05 01 00 00", "04 10 00 00", "30 84 FF FF FF FF 02 01",
                            "30 84 7F FF FF FF 02 01 05",
                            "30 03 02 85 00", "30 80 02 01 05", "30 80 02 01 05 00", "04 80 41 42 00"}) {
        Parsed p = Parse(FromHex(hex));
        EXPECT_EQ(ASN1_PARSE_FAILED, p.r) << hex;
        // The partly built tree is handed out and stays within the buffer.
        ASSERT_NE(nullptr, p.root.get()) << hex;
    }
}

TEST(ASN1Engine, NodeCountLimit) {
    Parsed ok = Parse(FlatSequenceOfIntegers(254));
    EXPECT_EQ(0, ok.r);
    EXPECT_EQ(254u, ok.root->GetChildCount());
    Parsed over = Parse(FlatSequenceOfIntegers(255));
    EXPECT_EQ(ASN1_PARSE_FAILED, over.r);
    ASSERT_NE(nullptr, over.root.get());

    // Deep nesting counts the same way and does not exhaust the stack.
    std::vector<uint8_t> deep = {0x05, 0x00};
    for (int i = 0; i < 300; ++i) {
        std::vector<uint8_t> wrapped = {0x30, 0x82, static_cast<uint8_t>(deep.size() >> 8),
                                        static_cast<uint8_t>(deep.size() & 0xFF)};
        wrapped.insert(wrapped.end(), deep.begin(), deep.end());
        deep.swap(wrapped);
    }
    EXPECT_EQ(ASN1_PARSE_FAILED, Parse(deep).r);
}

TEST(ASN1Engine, EnvelopeShapeGivesContentRange) {
    auto v = FromHex("30 08 02 01 01 04 03 AA BB CC");
    Parsed p = Parse(v);
    ASSERT_EQ(0, p.r);
    ASSERT_EQ(2u, p.root->GetChildCount());
    const CASN1Node* os = p.root->GetChild(1);
    ExpectNode(os, 0x04, 3, 7, 5, 0);
    EXPECT_EQ("AABBCC", tessaro_test::ToHex(os->GetValue(), os->GetValueLength()));
}

namespace {

// Every node of a successful parse lies inside the buffer, children inside
// the buffer in order.
void CheckInside(const CASN1Node* n, size_t size, int* count) {
    ++*count;
    ASSERT_FALSE(n->IsIndefinite());
    ASSERT_LE(n->GetValueOffset() + n->GetValueLength(), size);
    ASSERT_EQ(1 + n->GetLengthOctetCount() + n->GetValueLength(), n->GetTotalLength());
    for (DWORD i = 0; i < n->GetChildCount(); ++i) CheckInside(n->GetChild(i), size, count);
}

}  // namespace

TEST(ASN1Engine, MutatedInputsNeverLeaveTheBuffer) {
    const std::vector<uint8_t> seeds[] = {
        FromHex("30 80 30 80 02 01 05 00 00 04 03 AA BB CC 00 00"),
        FromHex("30 0E 02 01 01 A0 09 30 07 31 05 06 03 55 04 03"),
        FromHex("30 82 00 08 04 80 41 00 00 90 01 07"),
    };
    uint32_t x = 12345;
    auto rnd = [&x]() {
        x = x * 1103515245u + 12345u;
        return x >> 8;
    };
    int parsed = 0;
    for (int iter = 0; iter < 30000; ++iter) {
        std::vector<uint8_t> v = seeds[iter % 3];
        int edits = 1 + static_cast<int>(rnd() % 4);
        for (int e = 0; e < edits; ++e) {
            size_t at = rnd() % v.size();
            switch (rnd() % 4) {
                case 0: v[at] = static_cast<uint8_t>(rnd()); break;
                case 1: v.resize(at + 1); break;
                case 2: v[at] = static_cast<uint8_t>(0x80 | (rnd() % 6)); break;
                default: v.insert(v.begin() + static_cast<long>(at), static_cast<uint8_t>(rnd())); break;
            }
        }
        // An exact-size heap copy, so a read past the end is caught by the sanitizer.
        std::unique_ptr<uint8_t[]> buf(new uint8_t[v.size()]);
        std::copy(v.begin(), v.end(), buf.get());
        CASN1Node* p = nullptr;
        LONG r = DecodeASN1Memory(&p, buf.get(), static_cast<DWORD>(v.size()));
        std::unique_ptr<CASN1Node> root(p);
        ASSERT_TRUE(r == 0 || r == ASN1_PARSE_FAILED || r == ASN1_DECODE_FAILED);
        ASSERT_EQ(r == ASN1_DECODE_FAILED, root == nullptr);
        if (r == 0) {
            int count = 0;
            CheckInside(root.get(), v.size(), &count);
            ASSERT_LE(count, ASN1_MAX_NODES);
            ++parsed;
        }
    }
    EXPECT_GT(parsed, 1000);
}
