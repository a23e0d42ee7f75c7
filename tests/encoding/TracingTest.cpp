#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>

#include "encoding/ASN1Composer.h"
#include "encoding/ASN1Engine.h"
#include "encoding/Codec.h"
#include "diag/Diagnostics.h"
#include "tests/support/TestSupport.h"

using tessaro_test::FromHex;
using tessaro_test::ToHex;

namespace {

// Turns on every flag through the boot-time global logger setting.
class TracingOn : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(tessaro_test::SetTraceSession(1, 0xF, 5));
        KevoTraceRegister();
    }
    void TearDown() override { KevoTraceUnregister(); }
};

}  // namespace

TEST_F(TracingOn, ResultsAndLastErrorUnchanged) {
    ASSERT_TRUE(KevoTraceEnabled(TRACE_FLAG_INFO));
    SetLastError(4321);

    auto v = FromHex("30 80 02 01 05 04 02 AA BB 00 00");
    CASN1Node* p = nullptr;
    ASSERT_EQ(0, DecodeASN1Memory(&p, v.data(), static_cast<DWORD>(v.size())));
    std::unique_ptr<CASN1Node> root(p);
    EXPECT_EQ(11u, root->GetTotalLength());
    EXPECT_EQ(2u, root->GetChildCount());
    auto bad = FromHex("30 05 02 01");
    CASN1Node* q = nullptr;
    EXPECT_EQ(ASN1_PARSE_FAILED, DecodeASN1Memory(&q, bad.data(), static_cast<DWORD>(bad.size())));
    delete q;

    BYTE* out = nullptr;
    int n = 0;
    const BYTE elem[] = {0x06, 0x08, 0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x01, 0x82, 0x2D};
    ASSERT_EQ(0, ComposeSpecialAttribute("1.2.840.10045.2.1", elem, sizeof(elem), &out, &n));
    std::unique_ptr<BYTE[]> attr(out);
    EXPECT_EQ("301306072A8648CE3D020106082A811CCF5501822D", ToHex(out, static_cast<size_t>(n)));
    EXPECT_EQ(E_FAIL, ASN1Encode(0x05, elem, 1, &out, &n));

    char* b64 = nullptr;
    ASSERT_EQ(0, Base64EncodeEx(elem, sizeof(elem), &b64, &n));
    std::unique_ptr<char[]> text(b64);
    EXPECT_EQ("BggqgRzPVQGCLQ==", std::string(b64, static_cast<size_t>(n)));

    EXPECT_EQ(4321u, GetLastError());

    // The parser's lines reached the trace file.
    const char* prefix = std::getenv("TESSARO_PREFIX");
    ASSERT_NE(nullptr, prefix);
    std::ifstream in(std::string(prefix) + "/trace/kevo.log");
    std::string log((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(std::string::npos, log.find("ASN1Engine")) << log.substr(0, 400);
    EXPECT_NE(std::string::npos, log.find("Tag:0x30")) << log.substr(0, 400);
}
