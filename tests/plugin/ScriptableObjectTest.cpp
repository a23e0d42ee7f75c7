// The scriptable object as page script sees it: method names, argument
// checks and conversions, the values handed back and their memory.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <cstdlib>
#include <limits>

#include "tests/plugin/BrowserHarness.h"
#include "agent/CryptoAgent.h"
#include "tests/support/TestSupport.h"

namespace {

using namespace plugin_test;

const char* const BASE = "Microsoft Base Cryptographic Provider v1.0";

const char* const METHODS[] = {
    "KEVO_GetCSPInfo",     "KEVO_SetCSPInfo",     "KEVO_SetKeyAlgorithm", "KEVO_ImportEncryptCert",
    "KEVO_GetContainer",   "KEVO_ImportSignCert", "KEVO_PKCS10CertRequisition", "KEVO_GetAllCertInfo",
    "KEVO_PKCS10CertRequisitionwithMD5", "KEVO_GetVersion", "GetLastErrorDesc",
};

class ScriptObject : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("LC_ALL", "", 1);
        setenv("LC_MESSAGES", "", 1);
        setenv("LANG", "C", 1);
        ASSERT_TRUE(b.Start()) << b.error();
        inst = b.NewInstance();
        ASSERT_TRUE(inst);
        obj = b.ScriptObject(*inst);
        ASSERT_NE(nullptr, obj);
    }
    void TearDown() override {
        if (obj) b.Release(obj);
        if (inst) {
            EXPECT_EQ(NPERR_NO_ERROR, b.Destroy(*inst));
        }
        EXPECT_EQ(0u, b.LiveObjects());
        EXPECT_EQ(0u, b.LiveAllocations());
        EXPECT_EQ(0, b.strayFrees);
    }
    Result Call(const std::string& m, const std::vector<Value>& args = {}) { return b.Call(obj, m, args); }
    std::string Desc() { return Call("GetLastErrorDesc").text; }

    Browser b;
    std::unique_ptr<Browser::Instance> inst;
    NPObject* obj = nullptr;
};

TEST_F(ScriptObject, KnowsExactlyTheElevenMethodsInTheirOwnCase) {
    for (const char* m : METHODS) EXPECT_TRUE(obj->_class->hasMethod(obj, b.Identifier(m))) << m;
    for (const char* m : {"kevo_getversion", "KEVO_GETVERSION", "getLastErrorDesc", "KEVO_GetLastErrorDesc",
                          "KEVO_GetVersion ", "", "toString"}) {
        EXPECT_FALSE(obj->_class->hasMethod(obj, b.Identifier(m))) << m;
        Result r = Call(m);
        EXPECT_FALSE(r.ok) << m;
        EXPECT_FALSE(b.lastHasMethod) << m;
    }
    EXPECT_FALSE(obj->_class->hasMethod(obj, b.IntIdentifier(0)));
    EXPECT_FALSE(obj->_class->hasMethod(obj, nullptr));
}

TEST_F(ScriptObject, HasNoPropertiesAndADefaultMethod) {
    NPIdentifier id = b.Identifier("KEVO_GetVersion");
    NPVariant v;
    VOID_TO_NPVARIANT(v);
    EXPECT_FALSE(obj->_class->hasProperty(obj, id));
    EXPECT_FALSE(obj->_class->getProperty(obj, id, &v));
    EXPECT_EQ(NPVariantType_Void, v.type);
    NPVariant in;
    INT32_TO_NPVARIANT(1, in);
    EXPECT_FALSE(obj->_class->setProperty(obj, id, &in));
    EXPECT_FALSE(obj->_class->removeProperty(obj, id));
    NPIdentifier* ids = nullptr;
    uint32_t n = 0;
    EXPECT_FALSE(obj->_class->enumerate(obj, &ids, &n));
    EXPECT_FALSE(obj->_class->construct(obj, nullptr, 0, &v));
    obj->_class->invalidate(obj);  // nothing to give up

    ASSERT_TRUE(obj->_class->invokeDefault(obj, nullptr, 0, &v));
    ASSERT_EQ(NPVariantType_String, v.type);
    EXPECT_EQ("default method return val",
              std::string(v.value.stringValue.UTF8Characters, v.value.stringValue.UTF8Length));
    b.browserFuncs.releasevariantvalue(&v);
    EXPECT_EQ(NP_CLASS_STRUCT_VERSION, obj->_class->structVersion);
}

TEST_F(ScriptObject, StringResultsComeFromTheBrowsersAllocator) {
    Result v = Call("KEVO_GetVersion");
    ASSERT_TRUE(v.ok);
    EXPECT_EQ(NPVariantType_String, v.type);
    EXPECT_EQ("3.2.0.2", v.text);
    EXPECT_TRUE(v.textFromAllocator);

    std::u16string names;
    ASSERT_EQ(0, GetAllCSPName(names));
    Result csp = Call("KEVO_GetCSPInfo");
    ASSERT_TRUE(csp.ok);
    EXPECT_EQ(std::string(names.begin(), names.end()), csp.text);
    EXPECT_NE(std::string::npos, csp.text.find(std::string(BASE) + "||"));
    EXPECT_TRUE(csp.textFromAllocator);

    Result c = Call("KEVO_GetContainer");
    ASSERT_TRUE(c.ok);
    EXPECT_EQ(NPVariantType_String, c.type);
    EXPECT_EQ("", c.text);
    EXPECT_TRUE(c.textFromAllocator);
}

TEST_F(ScriptObject, KeyLengthsAreTruncatedTowardZero) {
    Result r = Call("KEVO_SetCSPInfo", {D(1024.9), S(BASE)});
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(NPVariantType_Bool, r.type);
    EXPECT_TRUE(r.boolValue);
    // 512.99 is 512, allowed; -0.9 is 0, which a Microsoft provider refuses.
    EXPECT_TRUE(Call("KEVO_SetCSPInfo", {D(512.99), S(BASE)}).ok);
    r = Call("KEVO_SetCSPInfo", {D(-0.9), S(BASE)});
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(NPVariantType_Bool, r.type);
    EXPECT_FALSE(r.boolValue);
    EXPECT_EQ("Key length is not supported.\n(0xa0072400)", Desc());
    // The 32-bit range ends are numbers a vendor provider takes.
    EXPECT_TRUE(Call("KEVO_SetCSPInfo", {D(-2147483648.9), S("Vendor CSP")}).ok);
    EXPECT_TRUE(Call("KEVO_SetCSPInfo", {D(2147483647.5), S("Vendor CSP")}).ok);
    EXPECT_TRUE(Call("KEVO_SetCSPInfo", {I(3000), S("Vendor CSP")}).ok);
    EXPECT_TRUE(Call("KEVO_SetCSPInfo", {I(2048), S("  Microsoft Enhanced Cryptographic Provider v1.0  ")}).ok);
}

TEST_F(ScriptObject, ArgumentChecksLeaveTheAgentsLastErrorAlone) {
    ASSERT_FALSE(Call("KEVO_SetKeyAlgorithm", {S("ECC")}).ok);
    const std::string before = Desc();
    ASSERT_EQ("Invalid key algorithm.\n(0xa0072401)", before);

    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    NPObject* other = obj;  // any object value
    // Arguments that are not numbers where numbers belong.
    const std::vector<Value> notNumbers = {S("1024"), Null(), Void(), B(true), O(other), D(nan), D(inf), D(-inf),
                                           D(2147483648.0), D(-2147483649.0), D(4294967296.0), D(1e300)};
    const std::vector<Value> notStrings = {I(1), D(1.5), Null(), Void(), B(false), O(other)};

    struct Shape {
        const char* method;
        bool boolResult;
        std::vector<Value> good;
        std::vector<bool> numeric;
    };
    const std::vector<Shape> shapes = {
        {"KEVO_SetCSPInfo", true, {I(1024), S(BASE)}, {true, false}},
        {"KEVO_SetKeyAlgorithm", true, {S("RSA")}, {false}},
        {"KEVO_ImportEncryptCert", true, {S("a"), S("b"), S("c"), I(0)}, {false, false, false, true}},
        {"KEVO_ImportSignCert", true, {I(1), S("b"), S("c")}, {true, false, false}},
        {"KEVO_PKCS10CertRequisition", false, {S("CN=x"), I(1), I(0)}, {false, true, true}},
        {"KEVO_PKCS10CertRequisitionwithMD5", false, {S("CN=x"), I(1), I(0)}, {false, true, true}},
        {"KEVO_GetAllCertInfo", false, {S(BASE)}, {false}},
        {"KEVO_GetCSPInfo", false, {}, {}},
        {"KEVO_GetContainer", false, {}, {}},
        {"KEVO_GetVersion", false, {}, {}},
        {"GetLastErrorDesc", false, {}, {}},
    };
    auto expectRefused = [&](const Shape& s, const std::vector<Value>& args, const std::string& what) {
        Result r = Call(s.method, args);
        EXPECT_FALSE(r.ok) << s.method << " " << what;
        if (s.boolResult) {
            EXPECT_EQ(NPVariantType_Bool, r.type) << s.method << " " << what;
            EXPECT_FALSE(r.boolValue) << s.method << " " << what;
        } else {
            EXPECT_EQ(NPVariantType_Null, r.type) << s.method << " " << what;
        }
    };
    for (const Shape& s : shapes) {
        // One too few and one too many.
        if (!s.good.empty())
            expectRefused(s, std::vector<Value>(s.good.begin(), s.good.end() - 1), "short");
        std::vector<Value> longer = s.good;
        longer.push_back(S("extra"));
        expectRefused(s, longer, "long");
        for (size_t i = 0; i < s.good.size(); ++i) {
            for (const Value& bad : s.numeric[i] ? notNumbers : notStrings) {
                std::vector<Value> args = s.good;
                args[i] = bad;
                expectRefused(s, args, "arg " + std::to_string(i) + " type " + std::to_string(bad.v.type));
            }
        }
    }
    EXPECT_EQ(before, Desc());
    // Nothing was stored by a refused call: the key algorithm is still unset.
    Result req = Call("KEVO_PKCS10CertRequisition", {S("CN=x"), I(1), I(0)});
    EXPECT_FALSE(req.ok);
    EXPECT_EQ(NPVariantType_Null, req.type);
    // A zero inside a text ends it, as in the host: "RSA\0x" is "RSA".
    EXPECT_TRUE(Call("KEVO_SetKeyAlgorithm", {S(std::string("RSA\0x", 5))}).ok);
    EXPECT_FALSE(Call("KEVO_SetKeyAlgorithm", {S(std::string("\0RSA", 4))}).ok);
}

TEST_F(ScriptObject, ArgumentsPointingNowhereAreRefused) {
    NPVariant result;
    VOID_TO_NPVARIANT(result);
    NPIdentifier id = b.Identifier("KEVO_SetKeyAlgorithm");
    EXPECT_FALSE(obj->_class->invoke(obj, id, nullptr, 1, &result));
    EXPECT_EQ(NPVariantType_Bool, result.type);
    NPVariant arg;
    STRINGN_TO_NPVARIANT(nullptr, 3, arg);
    EXPECT_FALSE(obj->_class->invoke(obj, id, &arg, 1, &result));
    EXPECT_FALSE(obj->_class->invoke(obj, id, &arg, 1, nullptr));
    // An empty String is a String: the agent refuses it as an empty name.
    STRINGN_TO_NPVARIANT(nullptr, 0, arg);
    EXPECT_FALSE(obj->_class->invoke(obj, id, &arg, 1, &result));
    EXPECT_EQ("The parameter is incorrect.\r\n\n(0x80070057)", Desc());
}

TEST_F(ScriptObject, StringArgumentsAreReadByTheirLengthAndAsUTF8) {
    // Bytes past the length are not part of the value.
    std::string buffer = "RSAxyz";
    NPVariant arg;
    STRINGN_TO_NPVARIANT(buffer.data(), 3, arg);
    NPVariant result;
    VOID_TO_NPVARIANT(result);
    ASSERT_TRUE(obj->_class->invoke(obj, b.Identifier("KEVO_SetKeyAlgorithm"), &arg, 1, &result));
    EXPECT_TRUE(result.value.boolValue);
    EXPECT_TRUE(Call("KEVO_SetKeyAlgorithm", {S(" sm2 ")}).ok);
    // A non-ASCII provider name passes as UTF-16 and a non-Microsoft name takes any length.
    EXPECT_TRUE(Call("KEVO_SetCSPInfo", {I(777), S("国密 CSP")}).ok);
}

TEST_F(ScriptObject, LastErrorDescriptionInBothLanguages) {
    ASSERT_FALSE(Call("KEVO_SetKeyAlgorithm", {S("ECC")}).ok);
    EXPECT_EQ("Invalid key algorithm.\n(0xa0072401)", Desc());
    setenv("LC_ALL", "zh_CN.UTF-8", 1);
    Result zh = Call("GetLastErrorDesc");
    setenv("LC_ALL", "", 1);
    ASSERT_TRUE(zh.ok);
    EXPECT_EQ("无效的密钥算法\n(0xa0072401)", zh.text);
    EXPECT_TRUE(zh.textFromAllocator);
    // Fetched repeatedly, the description stays.
    EXPECT_EQ("Invalid key algorithm.\n(0xa0072401)", Desc());
}

}  // namespace

namespace {

using namespace plugin_test;

TEST(ScriptObjectTrace, RefusedCallsNameTheUnitMethodCheckAndCode) {
    const char* prefix = std::getenv("TESSARO_PREFIX");
    ASSERT_NE(nullptr, prefix);
    const std::string trace = tessaro_test::BuildPath("tessaro-trace");
    ASSERT_EQ(0, tessaro_test::RunProcess({trace, "start", "--flags", "0xF"}, "").exitCode);
    {
        Browser b;
        ASSERT_TRUE(b.Start());
        auto inst = b.NewInstance();
        NPObject* obj = b.ScriptObject(*inst);
        ASSERT_NE(nullptr, obj);
        EXPECT_FALSE(b.Call(obj, "KEVO_SetCSPInfo", {S("1024"), S(BASE)}).ok);
        EXPECT_FALSE(b.Call(obj, "KEVO_GetVersion", {I(1)}).ok);
        EXPECT_FALSE(b.Call(obj, "KEVO_GetCSPInfo", {I(1)}).ok);
        EXPECT_FALSE(b.Call(obj, "KEVO_SetKeyAlgorithm", {S("ECC")}).ok);
        EXPECT_FALSE(b.Call(obj, "kevo_getversion").ok);
        b.Release(obj);
        b.Destroy(*inst);
        // The unknown name was fetched for the trace and given back.
        EXPECT_EQ(0u, b.LiveAllocations());
        EXPECT_EQ(0, b.strayFrees);
    }
    tessaro_test::RunProcess({trace, "stop"}, "");
    std::ifstream in(std::string(prefix) + "/trace/kevo.log", std::ios::binary);
    std::string log((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const char* expected[] = {
        "[ScriptablePluginObject.cpp(",
        ":] CScriptablePluginObject::npKEVO_SetCSPInfo - Invalid parameters [Reason:(argCount != 2 || "
        "(args[0].type != NPVariantType_Int32 && args[0].type != NPVariantType_Double) || args[1].type != "
        "NPVariantType_String)] 0x80070057",
        ":] CScriptablePluginObject::npKEVO_GetVersion - Check parameters. [Reason:argCount != 0] 0x80004005",
        ":] CScriptablePluginObject::npKEVO_GetCSPInfo - Check parameter [Reason:argCount != 0] 0x80070057",
        ":] CScriptablePluginObject::npKEVO_SetKeyAlgorithm - KEVO_SetKeyAlgorithm [Reason:FAILED(hResult)] "
        "0xa0072401",
        "Unknown method = kevo_getversion",
        "args[i].type = String",
    };
    for (const char* line : expected) EXPECT_NE(std::string::npos, log.find(line)) << line << "\n" << log;
}

}  // namespace
