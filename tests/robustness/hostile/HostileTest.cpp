// Hostile pages: thousands of generated requests of every shape a page could
// send (wrong types, huge and invalid UTF-8 strings, deep nesting, garbage,
// every operation in every order) into ONE host process. Each gets exactly
// one response that is a JSON object with a numeric "errorcode" (and the
// request's "randomId" when it carried a usable one); the host never dies,
// its resident memory stops growing after warm-up, and a normal enrollment
// works afterwards.
#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "tests/robustness/hostile/HostSession.h"
#include "tests/support/TestSupport.h"

using host_session::HostSession;

namespace {

#ifdef TESSARO_SANITIZE
// AddressSanitizer makes each request several times slower and keeps freed
// memory in quarantine, so fewer requests and no memory bound there.
constexpr int kRequests = 5000;
constexpr bool kCheckMemory = false;
#else
constexpr int kRequests = 10000;
constexpr bool kCheckMemory = true;
#endif

// `make soak` multiplies the run by TESSARO_SOAK.
int Scaled(int n) {
    const char* psz = getenv("TESSARO_SOAK");
    int f = psz ? atoi(psz) : 1;
    return f > 1 ? n * f : n;
}

const char* const kOperations[] = {
    "KEVO_GetCSPInfo",   "KEVO_SetCSPInfo",         "KEVO_SetKeyAlgorithm",        "KEVO_ImportEncryptCert",
    "KEVO_GetContainer", "KEVO_ImportSignCert",     "KEVO_PKCS10CertRequisition",  "KEVO_GetAllCertInfo",
    "KEVO_GetVersion",   "GetLastErrorDesc",        "KEVO_PKCS10CertRequisitionwithMD5"};

const char* const kProviders[] = {"Microsoft Enhanced Cryptographic Provider v1.0",
                                  "Microsoft Base Cryptographic Provider v1.0", "Tessaro SM2 Token CSP v1.0",
                                  "Tessaro RSA Token CSP v1.0", "Microsoft", ""};

class Generator {
public:
    explicit Generator(uint32_t seed) : m_rng(seed) {}

    uint32_t Below(uint32_t n) { return n ? static_cast<uint32_t>(m_rng() % n) : 0; }
    bool OneIn(uint32_t n) { return Below(n) == 0; }

    // Raw bytes: printable, control characters, quotes and backslashes, and
    // byte sequences that are not UTF-8 (lone continuation bytes, overlong
    // forms, surrogates, truncated sequences).
    std::string Bytes(size_t n) {
        static const char* const kOdd[] = {"\x80", "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xE4\xB8",
                                           "\xFF", "\\",       "\"",           "\x01",             "\x7F",
                                           "中",   "\xEF\xBF\xBD", "%s%n",      "||",               ";#,="};
        std::string s;
        while (s.size() < n) {
            if (OneIn(4))
                s += kOdd[Below(sizeof(kOdd) / sizeof(kOdd[0]))];
            else
                s.push_back(static_cast<char>(' ' + Below(95)));
        }
        return s;
    }

    size_t Length() {
        switch (Below(10)) {
        case 0: return 0;
        case 1: return 20000 + Below(40000);  // large, but the echoed response stays under the frame limit
        case 2: return 256 + Below(1024);
        default: return Below(48);
        }
    }

    // A JSON string literal of hostile content (the bytes inside are left
    // as they are, so invalid UTF-8 reaches the host).
    std::string StringLiteral() { return "\"" + Escape(Bytes(Length())) + "\""; }

    static std::string Escape(const std::string& s) {
        std::string o;
        for (unsigned char c : s) {
            if (c == '"' || c == '\\') {
                o.push_back('\\');
                o.push_back(static_cast<char>(c));
            } else if (c < 0x20) {
                char b[8];
                snprintf(b, sizeof b, "\\u%04x", c);
                o += b;
            } else {
                o.push_back(static_cast<char>(c));
            }
        }
        return o;
    }

    std::string Number() {
        static const char* const kNumbers[] = {"0",          "-1",          "1",       "2",   "512", "1024",
                                               "2048",       "4096",        "65536",   "1e308", "-1e308", "2147483648",
                                               "-2147483649", "4294967296", "0.5",     "-0",  "1e-300", "256",
                                               "99999999999999999999999"};
        return kNumbers[Below(sizeof(kNumbers) / sizeof(kNumbers[0]))];
    }

    std::string Nested(size_t nDepth) {
        std::string o, c;
        for (size_t i = 0; i < nDepth; ++i) {
            bool bObject = OneIn(2);
            o += bObject ? "{\"param\":" : "[";
            c.insert(c.begin(), bObject ? '}' : ']');
        }
        return o + "1" + c;
    }

    std::string Value(int nDepth = 0) {
        switch (Below(nDepth > 2 ? 7 : 10)) {
        case 0: return "null";
        case 1: return OneIn(2) ? "true" : "false";
        case 2: return Number();
        case 3:
        case 4: return StringLiteral();
        case 5: return "\"" + std::string(kProviders[Below(6)]) + "\"";
        case 6: return "{\"param\":" + Value(nDepth + 1) + "}";
        case 7: return "[" + Value(nDepth + 1) + "," + Value(nDepth + 1) + "]";
        case 8: return Nested(1 + Below(OneIn(8) ? 3000 : 40));
        default: return "{\"param\":" + Value(nDepth + 1) + ",\"other\":" + Value(nDepth + 1) + "}";
        }
    }

    // A subject that can never be composed, so no request builds a key.
    std::string BadSubject() {
        std::string s = Bytes(Length());
        for (char& c : s)
            if (c == '=') c = '~';
        return "\"" + Escape(s) + "\"";
    }

    std::string FunctionName() {
        if (OneIn(12)) return OneIn(2) ? StringLiteral() : Value();
        std::string s = kOperations[Below(11)];
        if (OneIn(4))
            for (char& c : s) c = OneIn(2) ? static_cast<char>(toupper(c)) : static_cast<char>(tolower(c));
        if (OneIn(20)) s = "  " + s;
        return "\"" + s + "\"";
    }

    std::string Params(const std::string& strFunction) {
        if (OneIn(10)) return Value();
        size_t n = Below(5);
        std::string s = "[";
        bool bRequest = strFunction.find("PKCS10") != std::string::npos ||
                        strFunction.find("pkcs10") != std::string::npos ||
                        strFunction.find("Pkcs10") != std::string::npos;
        for (size_t i = 0; i < n; ++i) {
            if (i) s += ",";
            // The subject of a request is always unusable, as said above.
            if (bRequest && i == 0)
                s += OneIn(3) ? "{\"param\":" + BadSubject() + "}" : BadSubject();
            else
                s += Value();
        }
        if (bRequest && n == 0 && OneIn(2)) s += BadSubject();
        return s + "]";
    }

    // One request text and the randomId the response must carry ("" when
    // none is expected to be echoed).
    std::string Request(std::string& strRandomId) {
        strRandomId.clear();
        switch (Below(20)) {
        case 0: return "x" + Bytes(Length());  // not JSON (an empty frame would end the conversation)
        case 1: return std::string(1 + Below(5000), '[');                   // unterminated nesting
        case 2: return Nested(1 + Below(2000));                             // not an object
        case 3: return "{\"function\":" + FunctionName() + ",\"params\":";  // cut off
        default: break;
        }
        std::string strFunction = FunctionName();
        std::string s = "{";
        if (!OneIn(15)) s += "\"function\":" + strFunction + ",";
        if (!OneIn(15)) s += "\"params\":" + Params(strFunction) + ",";
        if (OneIn(3)) {
            std::string strId = std::to_string(m_rng());
            s += "\"randomId\":\"" + strId + "\",";
            strRandomId = strId;
        } else if (OneIn(3)) {
            s += "\"randomId\":" + Value() + ",";
        }
        if (OneIn(10)) s += "\"function\":" + FunctionName() + ",";  // duplicate key
        if (s.back() == ',') s.pop_back();
        return s + "}";
    }

private:
    std::mt19937 m_rng;
};

// The randomId a response must echo: a request that parses, names its
// function with a string, has "params" and a string "randomId" (keys found
// ignoring case, the first one winning, as the browser's page would expect).
std::string ExpectedRandomId(const std::string& strRequest) {
    std::string strId;
    cJSON* p = cJSON_ParseWithLength(strRequest.data(), strRequest.size());
    if (p == nullptr) return strId;
    const cJSON* f = cJSON_GetObjectItem(p, "function");
    const cJSON* id = cJSON_GetObjectItem(p, "randomId");
    if (cJSON_IsString(f) && cJSON_GetObjectItem(p, "params") != nullptr && cJSON_IsString(id))
        strId = id->valuestring;
    cJSON_Delete(p);
    return strId;
}

// A response is one JSON object with a numeric errorcode.
::testing::AssertionResult ValidResponse(const std::string& strResponse, const std::string& strRandomId) {
    cJSON* p = cJSON_ParseWithLength(strResponse.data(), strResponse.size());
    if (p == nullptr) return ::testing::AssertionFailure() << "not JSON: " << strResponse.substr(0, 200);
    ::testing::AssertionResult r = ::testing::AssertionSuccess();
    const cJSON* code = cJSON_GetObjectItem(p, "errorcode");
    if (!cJSON_IsObject(p) || !cJSON_IsNumber(code)) {
        r = ::testing::AssertionFailure() << "no errorcode: " << strResponse.substr(0, 200);
    } else if (!strRandomId.empty()) {
        const cJSON* id = cJSON_GetObjectItem(p, "randomId");
        if (!cJSON_IsString(id) || strRandomId != id->valuestring)
            r = ::testing::AssertionFailure() << "randomId " << strRandomId << " not echoed: " << strResponse;
    }
    cJSON_Delete(p);
    return r;
}

std::string ResultOf(const std::string& strResponse, int* pnCode) {
    std::string s;
    cJSON* p = cJSON_Parse(strResponse.c_str());
    *pnCode = -12345;
    if (p) {
        const cJSON* code = cJSON_GetObjectItem(p, "errorcode");
        if (cJSON_IsNumber(code)) *pnCode = code->valueint;
        const cJSON* r = cJSON_GetObjectItem(p, "result");
        if (cJSON_IsString(r)) s = r->valuestring;
        cJSON_Delete(p);
    }
    return s;
}

TEST(HostilePages, EveryRequestAnsweredMemoryFlatThenEnrollmentWorks) {
    HostSession host(tessaro_test::BuildPath("TessaroHost.QIRTAL.x86"));
    ASSERT_TRUE(host.Started());
    const int nRequests = Scaled(kRequests), nWarmUp = nRequests / 4;
    Generator gen(20261208);
    long lWarmKiB = 0, lPeakAfterWarmKiB = 0;
    for (int i = 0; i < nRequests; ++i) {
        std::string strRandomId;
        std::string strRequest = gen.Request(strRandomId);
        strRandomId = ExpectedRandomId(strRequest);
        std::string strResponse;
        ASSERT_TRUE(host.Converse(strRequest, strResponse))
            << "request " << i << " got no response; host alive: " << host.Alive()
            << "; request: " << strRequest.substr(0, 300);
        ASSERT_TRUE(ValidResponse(strResponse, strRandomId)) << "request " << i << ": " << strRequest.substr(0, 300);
        if (i == nWarmUp) lWarmKiB = host.ResidentKiB();
        if (i > nWarmUp && i % 250 == 0) lPeakAfterWarmKiB = std::max(lPeakAfterWarmKiB, host.ResidentKiB());
    }
    ASSERT_TRUE(host.Alive());
    long lEndKiB = host.ResidentKiB();
    RecordProperty("rss_warm_kib", std::to_string(lWarmKiB));
    RecordProperty("rss_end_kib", std::to_string(lEndKiB));
    if (kCheckMemory) {
        // The heap and SQLite's page caches reach their size during warm-up
        // (the same mix of requests); after it a leak of even a few bytes
        // per request would add megabytes over the rest of the run.
        ASSERT_GT(lWarmKiB, 0);
        EXPECT_LE(lEndKiB, lWarmKiB + 4096) << "warm " << lWarmKiB << " KiB, end " << lEndKiB << " KiB";
        EXPECT_LE(lPeakAfterWarmKiB, lWarmKiB + 4096);
    }

    // The same process then serves a whole enrollment.
    tessaro_test::TempDir ca("hostile-ca");
    auto init = tessaro_test::RunProcess({tessaro_test::BuildPath("tessaro-testca"), "init", ca.path()}, "");
    ASSERT_EQ(init.exitCode, 0) << init.err;
    std::string strResponse;
    int nCode = 0;
    ASSERT_TRUE(host.Converse(
        R"({"function":"KEVO_SetCSPInfo","params":[1024,"Microsoft Enhanced Cryptographic Provider v1.0"],"randomId":"a"})",
        strResponse));
    ResultOf(strResponse, &nCode);
    ASSERT_EQ(nCode, 0) << strResponse;
    ASSERT_TRUE(host.Converse(R"({"function":"KEVO_SetKeyAlgorithm","params":["RSA"],"randomId":"b"})", strResponse));
    ResultOf(strResponse, &nCode);
    ASSERT_EQ(nCode, 0) << strResponse;
    ASSERT_TRUE(host.Converse(
        R"({"function":"KEVO_PKCS10CertRequisition","params":["CN=After Hostile,O=Tessaro,C=CN",1,0],"randomId":"c"})",
        strResponse));
    std::string strRequest = ResultOf(strResponse, &nCode);
    ASSERT_EQ(nCode, 0) << strResponse;
    ASSERT_TRUE(host.Converse(R"({"function":"KEVO_GetContainer","params":[],"randomId":"d"})", strResponse));
    std::string strContainer = ResultOf(strResponse, &nCode);
    ASSERT_EQ(nCode, 0);
    ASSERT_EQ(strContainer.size(), 38u) << strContainer;
    std::string strReqFile = ca.path() + "/req.txt";
    std::ofstream(strReqFile) << strRequest;
    auto issue = tessaro_test::RunProcess({tessaro_test::BuildPath("tessaro-testca"), "issue", ca.path(), "--in", strReqFile}, "");
    ASSERT_EQ(issue.exitCode, 0) << issue.err;
    std::string strCert = issue.out;
    while (!strCert.empty() && (strCert.back() == '\n' || strCert.back() == '\r')) strCert.pop_back();
    ASSERT_TRUE(host.Converse(R"({"function":"KEVO_ImportSignCert","params":[1,")" + strCert + R"(",")" + strContainer +
                                  R"("],"randomId":"e"})",
                              strResponse));
    ResultOf(strResponse, &nCode);
    ASSERT_EQ(nCode, 0) << strResponse;
    ASSERT_TRUE(host.Converse(
        R"({"function":"KEVO_GetAllCertInfo","params":["Microsoft Enhanced Cryptographic Provider v1.0"],"randomId":"f"})",
        strResponse));
    std::string strListing = ResultOf(strResponse, &nCode);
    ASSERT_EQ(nCode, 0) << strResponse;
    EXPECT_NE(strListing.find("After Hostile"), std::string::npos) << strListing;
    EXPECT_EQ(host.CloseAndWait(), 0);
}

}  // namespace
