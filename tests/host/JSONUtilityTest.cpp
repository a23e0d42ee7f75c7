// Request parsing, parameter access and response texts of the host's JSON layer.
#include <gtest/gtest.h>

#include <climits>
#include <memory>
#include <string>

#include "host/JSONUtility.h"

namespace {

struct Parsed {
    int rc = 12345;
    std::unique_ptr<char[]> func, id;
    JSONPtr params;
};

Parsed Parse(const char* text) {
    Parsed p;
    char* func = nullptr;
    char* id = nullptr;
    cJSON* params = nullptr;
    p.rc = ParseRequestMsgToJSON(text, &func, &params, &id);
    p.func.reset(func);
    p.id.reset(id);
    p.params.reset(params);
    return p;
}

JSONPtr List(const char* text) { return JSONPtr(cJSON_Parse(text)); }

std::string ReadString(const char* list, int index, int* rc) {
    JSONPtr l = List(list);
    char* out = nullptr;
    *rc = ConverJSONArrayItemtoNULLEndString(l.get(), index, &out);
    std::unique_ptr<char[]> hold(out);
    return out ? std::string(out) : std::string("<none>");
}

int ReadInt(const char* list, int index, int* rc) {
    JSONPtr l = List(list);
    int value = -777;
    *rc = ConverJSONArrayItemtoint(l.get(), index, &value);
    return value;
}

std::string Respond(const char* func, const char* id, cJSON* response) {
    char* out = nullptr;
    EXPECT_EQ(0, ConvertJSONToResponseMsg(func, id, response, &out));
    std::unique_ptr<char[]> hold(out);
    return out ? std::string(out) : std::string("<none>");
}

std::string Build(const char* func, int code, int kind, const void* value, const char* id = nullptr) {
    cJSON* obj = nullptr;
    int rc = ConstructResponseJSON(func, code, kind, value, &obj);
    JSONPtr hold(obj);
    if (rc != 0) return "<rc " + std::to_string(rc) + ">";
    return Respond(func, id, obj);
}

TEST(ParseRequestMsgToJSON, KeysMatchIgnoringCase) {
    Parsed p = Parse("{\"FUNCTION\":\"KEVO_GETVERSION\",\"Params\":[],\"RANDOMID\":\"r1\",\"other\":1}");
    ASSERT_EQ(0, p.rc);
    EXPECT_STREQ("KEVO_GETVERSION", p.func.get());
    EXPECT_STREQ("r1", p.id.get());
    ASSERT_NE(nullptr, p.params.get());
    EXPECT_TRUE(cJSON_IsArray(p.params.get()));
    EXPECT_EQ(0, GetJSONArrayItemCount(p.params.get()));
}

TEST(ParseRequestMsgToJSON, ParamsAreAnIndependentCopy) {
    Parsed p = Parse("{\"function\":\"f\",\"params\":[1024,{\"param\":\"x\"}]}");
    ASSERT_EQ(0, p.rc);
    EXPECT_EQ(nullptr, p.id.get());
    char* printed = cJSON_PrintUnformatted(p.params.get());
    EXPECT_STREQ("[1024,{\"param\":\"x\"}]", printed);
    cJSON_free(printed);
}

TEST(ParseRequestMsgToJSON, FirstMatchingKeyWins) {
    Parsed p = Parse("{\"function\":\"first\",\"FUNCTION\":\"second\",\"params\":{}}");
    ASSERT_EQ(0, p.rc);
    EXPECT_STREQ("first", p.func.get());
}

TEST(ParseRequestMsgToJSON, BadRequestsHandOverNothing) {
    EXPECT_EQ(87, Parse("").rc);
    EXPECT_EQ(87, Parse(nullptr).rc);
    const char* bad[] = {
        "not json",
        "{\"function\":\"f\",\"params\":[]",
        "{\"params\":[]}",
        "{\"function\":5,\"params\":[]}",
        "{\"function\":null,\"params\":[]}",
        "{\"function\":\"KEVO_GetVersion\",\"randomId\":\"7\"}",
        "{\"function\":\"KEVO_GetVersion\",\"params\":[],\"randomId\":5}",
    };
    for (const char* text : bad) {
        Parsed p = Parse(text);
        EXPECT_EQ(-1, p.rc) << text;
        EXPECT_EQ(nullptr, p.func.get()) << text;
        EXPECT_EQ(nullptr, p.id.get()) << text;
        EXPECT_EQ(nullptr, p.params.get()) << text;
    }
}

TEST(ParseRequestMsgToJSON, EmptyRandomIdIsAccepted) {
    Parsed p = Parse("{\"function\":\"f\",\"params\":[],\"randomId\":\"\"}");
    ASSERT_EQ(0, p.rc);
    ASSERT_NE(nullptr, p.id.get());
    EXPECT_STREQ("", p.id.get());
}

TEST(ConverJSONArrayItemtoNULLEndString, BareOrWrappedStrings) {
    int rc = 0;
    EXPECT_EQ("RSA", ReadString("[\"RSA\"]", 0, &rc));
    EXPECT_EQ(0, rc);
    EXPECT_EQ("RSA", ReadString("[1,{\"param\":\"RSA\"}]", 1, &rc));
    EXPECT_EQ(0, rc);
    EXPECT_EQ("RSA", ReadString("[{\"PARAM\":\"RSA\"}]", 0, &rc));
    EXPECT_EQ(0, rc);
    EXPECT_EQ("", ReadString("[\"\"]", 0, &rc));
    EXPECT_EQ(0, rc);
    EXPECT_EQ("\xE8\xAF\x81", ReadString("[\"\\u8bc1\"]", 0, &rc));
    EXPECT_EQ(0, rc);
}

TEST(ConverJSONArrayItemtoNULLEndString, WrongTypesAndPositions) {
    const int TYPE = static_cast<int>(0xA0073204u);
    const struct {
        const char* list;
        int index;
        int rc;
    } cases[] = {
        {"[2048]", 0, TYPE},
        {"[true]", 0, TYPE},
        {"[null]", 0, TYPE},
        {"[[\"x\"]]", 0, TYPE},
        {"[{\"value\":\"x\"}]", 0, TYPE},
        {"[{\"param\":5}]", 0, TYPE},
        {"[\"a\"]", 1, 87},
        {"[]", 0, 87},
        {"{}", 0, 87},
        {"[\"a\"]", -1, 87},
    };
    for (const auto& c : cases) {
        int rc = 0;
        EXPECT_EQ("<none>", ReadString(c.list, c.index, &rc)) << c.list;
        EXPECT_EQ(c.rc, rc) << c.list << " index " << c.index;
    }
    char* out = nullptr;
    EXPECT_EQ(87, ConverJSONArrayItemtoNULLEndString(nullptr, 0, &out));
    EXPECT_EQ(nullptr, out);
}

TEST(ConverJSONArrayItemtoint, NumbersTruncateTowardZero) {
    int rc = 0;
    EXPECT_EQ(2048, ReadInt("[2048]", 0, &rc));
    EXPECT_EQ(0, rc);
    EXPECT_EQ(2048, ReadInt("[{\"param\":2048}]", 0, &rc));
    EXPECT_EQ(0, rc);
    EXPECT_EQ(2048, ReadInt("[2048.9]", 0, &rc));
    EXPECT_EQ(-2, ReadInt("[\"x\",-2.7]", 1, &rc));
    EXPECT_EQ(0, rc);
    // Members of an object count as parameters too.
    EXPECT_EQ(7, ReadInt("{\"a\":1,\"b\":7}", 1, &rc));
    EXPECT_EQ(0, rc);
    EXPECT_EQ(INT_MAX, ReadInt("[1e20]", 0, &rc));
    EXPECT_EQ(INT_MIN, ReadInt("[-1e20]", 0, &rc));
}

TEST(ConverJSONArrayItemtoint, NonNumbersAreRefused) {
    const int TYPE = static_cast<int>(0xA0073204u);
    int rc = 0;
    EXPECT_EQ(-777, ReadInt("[\"2048\"]", 0, &rc));
    EXPECT_EQ(TYPE, rc);
    EXPECT_EQ(-777, ReadInt("[{\"param\":\"2048\"}]", 0, &rc));
    EXPECT_EQ(TYPE, rc);
    EXPECT_EQ(-777, ReadInt("[{}]", 0, &rc));
    EXPECT_EQ(TYPE, rc);
    EXPECT_EQ(-777, ReadInt("[false]", 0, &rc));
    EXPECT_EQ(TYPE, rc);
    EXPECT_EQ(-777, ReadInt("[1]", 3, &rc));
    EXPECT_EQ(87, rc);
}

TEST(ConstructResponseJSON, ResultsByKind) {
    unsigned char yes = 1, no = 0;
    double d = 2.5;
    int n = -42;
    EXPECT_EQ("{\"function\":\"KEVO_GetVersion\",\"errorcode\":0,\"result\":\"3.2.0.2\",\"randomId\":\"7\"}",
              Build("KEVO_GetVersion", 0, JSON_RESULT_STRING, "3.2.0.2", "7"));
    EXPECT_EQ("{\"function\":\"f\",\"errorcode\":0,\"result\":true}", Build("f", 0, JSON_RESULT_TRUE, &yes));
    EXPECT_EQ("{\"function\":\"f\",\"errorcode\":0,\"result\":false}", Build("f", 0, JSON_RESULT_FALSE, &no));
    EXPECT_EQ("{\"function\":\"f\",\"errorcode\":0,\"result\":2.5}", Build("f", 0, JSON_RESULT_DOUBLE, &d));
    EXPECT_EQ("{\"function\":\"f\",\"errorcode\":0,\"result\":-42}", Build("f", 0, JSON_RESULT_INT, &n));
    EXPECT_EQ("{\"function\":\"f\",\"errorcode\":0}", Build("f", 0, JSON_RESULT_STRING, nullptr));
    EXPECT_EQ("{\"function\":\"f\",\"errorcode\":0,\"result\":\"\xE8\xAF\x81 \\\"q\\\"\"}",
              Build("f", 0, JSON_RESULT_STRING, "\xE8\xAF\x81 \"q\""));
}

TEST(ConstructResponseJSON, FailureAlwaysCarriesFalse) {
    EXPECT_EQ("{\"function\":\"KEVO_GetCSPInfo\",\"errorcode\":-2147024809,\"result\":false}",
              Build("KEVO_GetCSPInfo", static_cast<int>(0x80070057u), JSON_RESULT_STRING, "text"));
    EXPECT_EQ("{\"function\":\"f\",\"errorcode\":-1610141180,\"result\":false}",
              Build("f", static_cast<int>(0xA0073204u), JSON_RESULT_STRING, nullptr));
    // The code is checked before the kind: a failure never reaches the kind table.
    EXPECT_EQ("{\"function\":\"f\",\"errorcode\":-1,\"result\":false}", Build("f", -1, 99, "x"));
}

TEST(ConstructResponseJSON, RefusesWhatCannotBeAnswered) {
    EXPECT_EQ("<rc -1>", Build("f", 0, 2, "x"));
    EXPECT_EQ("<rc 87>", Build("", 0, JSON_RESULT_STRING, "x"));
    EXPECT_EQ("<rc 87>", Build(nullptr, 0, JSON_RESULT_STRING, "x"));
}

TEST(ConvertJSONToResponseMsg, EmptyIdIsNotEchoed) {
    EXPECT_EQ("{\"function\":\"f\",\"errorcode\":0,\"result\":\"v\"}", Build("f", 0, JSON_RESULT_STRING, "v", ""));
}

TEST(ConvertJSONToResponseMsg, FallbackTexts) {
    EXPECT_EQ("{\"function\":\"KEVO_Unknown\", \"errorcode\":-2146893779, \"result\":false, \"randomId\":\"9\"}",
              Respond("KEVO_Unknown", "9", nullptr));
    EXPECT_EQ("{\"function\":\"KEVO_Unknown\", \"errorcode\":-2146893779, \"result\":false}",
              Respond("KEVO_Unknown", "", nullptr));
    EXPECT_EQ("{\"function\":\"\", \"errorcode\":-2146893779, \"result\":false}", Respond(nullptr, nullptr, nullptr));
}

TEST(ConvertJSONToResponseMsg, FallbackEscapesNameAndId) {
    std::string text = Respond("a\"b\\c\n\x01", "\"}, \"x\":\"", nullptr);
    EXPECT_EQ(
        "{\"function\":\"a\\\"b\\\\c\\n\\u0001\", \"errorcode\":-2146893779, \"result\":false, "
        "\"randomId\":\"\\\"}, \\\"x\\\":\\\"\"}",
        text);
    // And the text is one JSON object with exactly the four members.
    JSONPtr parsed(cJSON_Parse(text.c_str()));
    ASSERT_NE(nullptr, parsed.get());
    EXPECT_STREQ("a\"b\\c\n\x01", cJSON_GetObjectItem(parsed.get(), "function")->valuestring);
    EXPECT_STREQ("\"}, \"x\":\"", cJSON_GetObjectItem(parsed.get(), "randomId")->valuestring);
    EXPECT_EQ(4, GetJSONArrayItemCount(parsed.get()));
}

}  // namespace
