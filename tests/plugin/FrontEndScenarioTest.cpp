// One enrollment scenario through both front ends in one prefix: settings,
// RSA and SM2 requests of both types, signing and encryption certificate
// imports, listing and descriptions. After every step each front end is
// asked for its last error description; the plug-in and the host must agree
// on every flag, code and text, and their requests must have the same form.
#include <cjson/cJSON.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>
#include <sstream>

#include "tests/plugin/BrowserHarness.h"
#include "tests/support/EnrollTestSupport.h"
#include "diag/ResultCode.h"

namespace {

using namespace enroll_test;
namespace pt = plugin_test;

// A script argument, for both front ends.
struct Arg {
    bool number;
    long long n;
    std::string s;
};
Arg N(long long n) { return {true, n, ""}; }
Arg T(const std::string& s) { return {false, 0, s}; }

struct Step {
    std::string method;
    std::vector<Arg> args;
};

// What one front end answered to one step, in common terms.
struct Answer {
    long long code = 0x7FFFFFFF;  // from the description that followed
    bool boolResult = false;
    bool hasText = false;
    std::string text;
    std::string desc;
};

long long CodeOfDescription(const std::string& desc) {
    size_t at = desc.rfind("(0x");
    if (at == std::string::npos) return 0x7FFFFFFF;
    return static_cast<int32_t>(std::stoul(desc.substr(at + 3, 8), nullptr, 16));
}

bool IsBoolMethod(const std::string& m) {
    return m == "KEVO_SetCSPInfo" || m == "KEVO_SetKeyAlgorithm" || m == "KEVO_ImportEncryptCert" ||
           m == "KEVO_ImportSignCert";
}

std::vector<Answer> ThroughPlugin(pt::Browser& b, NPObject* obj, const std::vector<Step>& steps) {
    std::vector<Answer> out;
    for (const Step& s : steps) {
        std::vector<pt::Value> args;
        for (const Arg& a : s.args) args.push_back(a.number ? pt::I(static_cast<int32_t>(a.n)) : pt::S(a.s));
        pt::Result r = b.Call(obj, s.method, args);
        Answer a;
        if (IsBoolMethod(s.method)) {
            EXPECT_EQ(NPVariantType_Bool, r.type) << s.method;
            a.boolResult = r.boolValue;
            EXPECT_EQ(r.ok, r.boolValue) << s.method;
        } else if (r.ok) {
            EXPECT_EQ(NPVariantType_String, r.type) << s.method;
            EXPECT_TRUE(r.textFromAllocator) << s.method;
            a.hasText = true;
            a.text = r.text;
        } else {
            EXPECT_EQ(NPVariantType_Null, r.type) << s.method;
        }
        a.desc = b.Call(obj, "GetLastErrorDesc").text;
        a.code = CodeOfDescription(a.desc);
        out.push_back(a);
    }
    return out;
}

std::vector<Answer> ThroughHost(const std::vector<Step>& steps) {
    std::vector<std::string> requests;
    for (const Step& s : steps) {
        std::vector<std::string> params;
        for (const Arg& a : s.args) params.push_back(a.number ? Num(a.n) : Str(a.s));
        requests.push_back(Call(s.method, params));
        requests.push_back(Call("GetLastErrorDesc", {}));
    }
    std::vector<Response> r = Converse(requests);
    std::vector<Answer> out;
    if (r.size() != requests.size()) {
        ADD_FAILURE() << "host: " << r[0].raw;
        return out;
    }
    for (size_t i = 0; i < steps.size(); ++i) {
        const Response& res = r[2 * i];
        Answer a;
        a.code = res.errorcode;
        a.boolResult = res.hasFlag && res.flag;
        a.hasText = res.hasText && res.errorcode == 0;
        a.text = res.text;
        a.desc = r[2 * i + 1].text;
        EXPECT_EQ(a.code, CodeOfDescription(a.desc)) << steps[i].method << ": " << res.raw;
        out.push_back(a);
    }
    return out;
}

// The request's form: CR LF lines of 64 characters, and what openssl shows
// of it without the key and signature bytes.
std::string RequestForm(const std::string& base64) {
    std::string form;
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos <= base64.size()) {
        size_t e = base64.find("\r\n", pos);
        lines.push_back(base64.substr(pos, e == std::string::npos ? std::string::npos : e - pos));
        if (e == std::string::npos) break;
        pos = e + 2;
    }
    for (size_t i = 0; i < lines.size(); ++i)
        if (lines[i].size() != 64 && !(i + 1 == lines.size() && lines[i].size() <= 64)) form += "bad line length;";
    std::vector<uint8_t> der = Base64Decode(base64);
    auto r = tessaro_test::RunProcess({"openssl", "asn1parse", "-inform", "DER"}, std::string(der.begin(), der.end()));
    if (r.exitCode != 0 || der.empty()) return form + "openssl refused: " + r.err;
    // Depth, form and type of every element; the values of names and
    // identifiers, not those of numbers and bit strings (key bytes).
    static const std::regex element("^\\s*\\d+:(d=\\d+)\\s+hl=\\s*\\d+\\s+l=\\s*\\d+\\s+(cons|prim):\\s*(.*)$");
    std::istringstream in(r.out);
    std::string line;
    while (std::getline(in, line)) {
        std::smatch m;
        if (!std::regex_match(line, m, element)) {
            form += "?" + line + "\n";
            continue;
        }
        std::string rest = m[3];
        for (const char* keyed : {"INTEGER", "BIT STRING", "OCTET STRING"})
            if (rest.rfind(keyed, 0) == 0) rest = keyed;
        while (!rest.empty() && rest.back() == ' ') rest.pop_back();
        form += std::string(m[1]) + " " + std::string(m[2]) + " " + rest + "\n";
    }
    return form;
}

void ExpectSameAnswers(const std::vector<Step>& steps, const std::vector<Answer>& plugin,
                       const std::vector<Answer>& host, bool compareTexts = true) {
    ASSERT_EQ(steps.size(), plugin.size());
    ASSERT_EQ(steps.size(), host.size());
    for (size_t i = 0; i < steps.size(); ++i) {
        const std::string& m = steps[i].method;
        SCOPED_TRACE(std::to_string(i) + " " + m);
        EXPECT_EQ(host[i].code, plugin[i].code);
        EXPECT_EQ(host[i].desc, plugin[i].desc);
        EXPECT_EQ(host[i].boolResult, plugin[i].boolResult);
        EXPECT_EQ(host[i].hasText, plugin[i].hasText);
        if (!compareTexts || !plugin[i].hasText) continue;
        if (m == "KEVO_PKCS10CertRequisition" || m == "KEVO_PKCS10CertRequisitionwithMD5") {
            EXPECT_EQ(RequestForm(host[i].text), RequestForm(plugin[i].text));
            EXPECT_NE(host[i].text, plugin[i].text);  // keys of their own
        } else if (m == "KEVO_GetContainer") {
            // None before the first request, else a GUID in braces.
            EXPECT_EQ(host[i].text.size(), plugin[i].text.size());
            EXPECT_TRUE(plugin[i].text.empty() || plugin[i].text.size() == 38) << plugin[i].text;
        } else {
            EXPECT_EQ(host[i].text, plugin[i].text);
        }
    }
}

struct EnvelopeIssue {
    std::string certificate, envelope;
};

EnvelopeIssue IssueEnvelope(const std::string& caDir, const std::string& request) {
    auto r = tessaro_test::RunProcess({tessaro_test::BuildPath("tessaro-testca"), "envelope", caDir}, request);
    EnvelopeIssue out;
    cJSON* root = cJSON_Parse(r.out.c_str());
    if (!root) return out;
    if (cJSON* c = cJSON_GetObjectItem(root, "certificate"); cJSON_IsString(c)) out.certificate = c->valuestring;
    if (cJSON* e = cJSON_GetObjectItem(root, "envelope"); cJSON_IsString(e)) out.envelope = e->valuestring;
    cJSON_Delete(root);
    return out;
}

std::string IssueCertificate(const std::string& caDir, const std::string& request) {
    auto r = tessaro_test::RunProcess({tessaro_test::BuildPath("tessaro-testca"), "issue", caDir}, request);
    std::string s;
    for (char c : r.out)
        if (c != '\r' && c != '\n' && c != ' ') s += c;
    return r.exitCode == 0 ? s : "";
}

// One certificate per case: provider, algorithm, request type and hash variant.
struct Case {
    const char* provider;
    int keyLength;
    const char* algorithm;
    int certType;
    bool md5;
};
const Case CASES[] = {
    {ENHANCED, 1024, " rsa ", 1, true},
    {VENDOR_RSA, 1024, "RSA", 2, false},
    {VENDOR_SM2, 256, "SM2", 1, false},
    {VENDOR_SM2, 256, "sm2", 2, false},
};
const char* const SUBJECT = "CN=Front End,O=Tessaro,C=CN";

TEST(FrontEnds, OneEnrollmentScenarioGivesTheSameAnswersThroughPluginAndHost) {
    setenv("LC_ALL", "", 1);
    setenv("LC_MESSAGES", "", 1);
    setenv("LANG", "C", 1);
    tessaro_test::TempDir caHome("plugin-ca");
    const std::string caDir = caHome.path() + "/ca";
    ASSERT_EQ(0, tessaro_test::RunProcess({tessaro_test::BuildPath("tessaro-testca"), "init", caDir}, "").exitCode);

    pt::Browser b;
    ASSERT_TRUE(b.Start()) << b.error();
    auto inst = b.NewInstance();
    ASSERT_TRUE(inst);
    NPObject* obj = b.ScriptObject(*inst);
    ASSERT_NE(nullptr, obj);

    // Settings, refusals included, and the requests.
    std::vector<Step> requestSteps = {
        {"KEVO_GetVersion", {}},
        {"KEVO_GetCSPInfo", {}},
        {"KEVO_GetContainer", {}},
        {"KEVO_PKCS10CertRequisition", {T(SUBJECT), N(1), N(0)}},  // no provider yet
        {"KEVO_SetCSPInfo", {N(2048), T(BASE)}},
        {"KEVO_SetCSPInfo", {N(1024), T("   ")}},
        {"KEVO_SetKeyAlgorithm", {T("ECC")}},
        {"KEVO_SetKeyAlgorithm", {T("")}},
        {"KEVO_GetAllCertInfo", {T("")}},
    };
    std::vector<size_t> requestAt;
    for (const Case& c : CASES) {
        requestSteps.push_back({"KEVO_SetCSPInfo", {N(c.keyLength), T(c.provider)}});
        requestSteps.push_back({"KEVO_SetKeyAlgorithm", {T(c.algorithm)}});
        requestSteps.push_back({"KEVO_PKCS10CertRequisition", {T(SUBJECT), N(c.certType), N(7)}});  // odd flags
        if (c.algorithm[0] == 's' || c.algorithm[0] == 'S')  // no MD5 with SM2
            requestSteps.push_back({"KEVO_PKCS10CertRequisitionwithMD5", {T(SUBJECT), N(c.certType), N(0)}});
        requestAt.push_back(requestSteps.size());
        requestSteps.push_back(
            {c.md5 ? "KEVO_PKCS10CertRequisitionwithMD5" : "KEVO_PKCS10CertRequisition", {T(SUBJECT), N(c.certType), N(0)}});
        requestSteps.push_back({"KEVO_GetContainer", {}});
    }
    std::vector<Answer> pr = ThroughPlugin(b, obj, requestSteps);
    std::vector<Answer> hr = ThroughHost(requestSteps);
    ExpectSameAnswers(requestSteps, pr, hr);
    ASSERT_EQ(requestSteps.size(), hr.size());
    EXPECT_EQ("3.2.0.2", pr[0].text);
    EXPECT_EQ(Code(KEVO_E_KEY_LENGTH), pr[4].code);
    EXPECT_EQ(Code(KEVO_E_KEY_ALGORITHM), pr[6].code);

    // Certificates for each front end's requests, then the imports.
    std::vector<Step> importSteps;
    std::vector<Step> hostImportSteps;
    for (size_t i = 0; i < std::size(CASES); ++i) {
        const Case& c = CASES[i];
        for (int side = 0; side < 2; ++side) {
            const std::vector<Answer>& a = side == 0 ? pr : hr;
            const std::string& request = a[requestAt[i]].text;
            const std::string& container = a[requestAt[i] + 1].text;
            ASSERT_TRUE(a[requestAt[i]].hasText) << i << " " << a[requestAt[i]].desc;
            std::string sign = IssueCertificate(caDir, request);
            ASSERT_FALSE(sign.empty()) << i;
            std::vector<Step>& steps = side == 0 ? importSteps : hostImportSteps;
            steps.push_back({"KEVO_SetCSPInfo", {N(c.keyLength), T(c.provider)}});
            steps.push_back({"KEVO_SetKeyAlgorithm", {T(c.algorithm)}});
            steps.push_back({"KEVO_ImportSignCert", {N(c.certType), T("MIIBnotacertificate"), T(container)}});
            steps.push_back({"KEVO_ImportSignCert", {N(c.certType), T(sign), T(container)}});
            if (c.certType == 2) {
                EnvelopeIssue enc = IssueEnvelope(caDir, request);
                ASSERT_FALSE(enc.envelope.empty()) << i;
                // The signing certificate in place of the encryption one is refused.
                // (Only for RSA: after that refusal an SM2 container no longer takes
                // its good envelope, through either front end.)
                if (c.algorithm[0] == 'R')
                    steps.push_back({"KEVO_ImportEncryptCert", {T(enc.envelope), T(sign), T(container), N(0)}});
                steps.push_back({"KEVO_ImportEncryptCert", {T(enc.envelope), T(enc.certificate), T(container), N(0)}});
                steps.push_back({"KEVO_GetContainer", {}});
            }
        }
    }
    std::vector<Answer> pi = ThroughPlugin(b, obj, importSteps);
    std::vector<Answer> hi = ThroughHost(hostImportSteps);
    ExpectSameAnswers(importSteps, pi, hi);
    for (size_t i = 0; i < importSteps.size(); ++i) {
        bool good = (importSteps[i].method == "KEVO_ImportSignCert" &&
                     importSteps[i].args[1].s != "MIIBnotacertificate") ||
                    (importSteps[i].method == "KEVO_ImportEncryptCert" && i + 1 < importSteps.size() &&
                     importSteps[i + 1].method == "KEVO_GetContainer");
        if (good) {
            EXPECT_TRUE(pi[i].boolResult) << i << " " << pi[i].desc;
        }
    }

    // Listings of the same prefix, and descriptions in both languages.
    std::vector<Step> listSteps = {
        {"KEVO_GetAllCertInfo", {T(VENDOR_SM2)}},
        {"KEVO_GetAllCertInfo", {T(VENDOR_RSA)}},
        {"KEVO_SetKeyAlgorithm", {T("DSA")}},
    };
    std::vector<Answer> pl = ThroughPlugin(b, obj, listSteps);
    std::vector<Answer> hl = ThroughHost(listSteps);
    ExpectSameAnswers(listSteps, pl, hl);
    ASSERT_EQ(3u, pl.size());
    EXPECT_NE(std::string::npos, pl[0].text.find("Front End")) << pl[0].text;

    setenv("LC_ALL", "zh_CN.UTF-8", 1);
    std::string zhPlugin = b.Call(obj, "GetLastErrorDesc").text;
    setenv("LC_ALL", "", 1);
    auto frame = [](const std::string& payload) {
        std::string f;
        for (int i = 0; i < 4; ++i) f.push_back(static_cast<char>((payload.size() >> (8 * i)) & 0xFF));
        return f + payload;
    };
    auto zhHost = tessaro_test::RunProcess(
        {tessaro_test::BuildPath("TessaroHost.QIRTAL.x86")},
        frame(Call("KEVO_SetKeyAlgorithm", {Str("DSA")})) + frame(Call("GetLastErrorDesc", {})),
        {"LC_ALL=zh_CN.UTF-8"});
    ASSERT_EQ(0, zhHost.exitCode);
    // The second frame is the description.
    ASSERT_GT(zhHost.out.size(), 4u);
    size_t first = static_cast<unsigned char>(zhHost.out[0]) | static_cast<unsigned char>(zhHost.out[1]) << 8;
    ASSERT_GT(zhHost.out.size(), 8 + first);
    Response zh = Decode(zhHost.out.substr(8 + first));
    EXPECT_EQ(zh.text, zhPlugin);
    EXPECT_EQ("无效的密钥算法\n(0xa0072401)", zhPlugin);

    b.Release(obj);
    EXPECT_EQ(NPERR_NO_ERROR, b.Destroy(*inst));
    EXPECT_EQ(0u, b.LiveAllocations());
    EXPECT_EQ(0, b.strayFrees);
}

}  // namespace
