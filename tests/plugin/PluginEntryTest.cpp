// The library's exports and instance callbacks as a browser meets them:
// table checks, the callbacks' answers, the scriptable object's references,
// the lifecycle around NP_Shutdown and the installation entry point.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "tests/plugin/BrowserHarness.h"
#include "tests/support/TestSupport.h"

namespace {

using plugin_test::Browser;

const bool k64 = sizeof(void*) == 8;

TEST(PluginLibrary, ExportsExactlyTheFiveEntryPoints) {
    auto r = tessaro_test::RunProcess({"nm", "-D", "--defined-only", plugin_test::PluginPath()}, "");
    ASSERT_EQ(0, r.exitCode) << r.err;
    std::istringstream lines(r.out);
    std::string line, names;
    while (std::getline(lines, line)) names += line.substr(line.rfind(' ') + 1) + "\n";
    EXPECT_EQ("NP_GetEntryPoints\nNP_GetMIMEDescription\nNP_Initialize\nNP_Install\nNP_Shutdown\n", names);
}

TEST(PluginLibrary, TableSizesOfThisBuild) {
    // Up to setvalue and getauthenticationinfo: 60 and 196 bytes on 32-bit.
    EXPECT_EQ(k64 ? 120u : 60u, NP_PLUGINFUNCS_MIN_SIZE);
    EXPECT_EQ(k64 ? 392u : 196u, NP_NETSCAPEFUNCS_MIN_SIZE);
    EXPECT_EQ(k64 ? 8u : 4u, offsetof(NPPluginFuncs, newp));
    EXPECT_EQ(k64 ? 72u : 36u, offsetof(NPNetscapeFuncs, memalloc));
    EXPECT_EQ(k64 ? 176u : 88u, offsetof(NPNetscapeFuncs, getstringidentifier));
    EXPECT_EQ(k64 ? 208u : 104u, offsetof(NPNetscapeFuncs, utf8fromidentifier));
    EXPECT_EQ(k64 ? 240u : 120u, offsetof(NPNetscapeFuncs, releaseobject));
    EXPECT_EQ(k64 ? 24u : 16u, sizeof(NPVariant));
    EXPECT_EQ(k64 ? 104u : 52u, sizeof(NPClass));
}

TEST(PluginLibrary, MimeDescription) {
    Browser b;
    ASSERT_TRUE(b.loaded()) << b.error();
    EXPECT_STREQ("application/npLumora:*:npLumora certificate utilities", b.getMIMEDescription());
}

TEST(PluginLibrary, GetEntryPointsChecksTheTableAndFillsOnlyItsEntries) {
    Browser b;
    ASSERT_TRUE(b.loaded()) << b.error();
    EXPECT_EQ(NPERR_INVALID_FUNCTABLE_ERROR, b.getEntryPoints(nullptr));

    NPPluginFuncs t;
    std::memset(&t, 0xAB, sizeof t);
    t.size = NP_PLUGINFUNCS_MIN_SIZE - 1;
    EXPECT_EQ(NPERR_INVALID_FUNCTABLE_ERROR, b.getEntryPoints(&t));
    EXPECT_EQ(0xABABu, t.version);

    t.size = NP_PLUGINFUNCS_MIN_SIZE;
    ASSERT_EQ(NPERR_NO_ERROR, b.getEntryPoints(&t));
    EXPECT_EQ(NP_PLUGINFUNCS_MIN_SIZE, t.size);
    EXPECT_EQ(22, t.version);
    for (void* p : {(void*)t.newp, (void*)t.destroy, (void*)t.setwindow, (void*)t.newstream, (void*)t.destroystream,
                    (void*)t.asfile, (void*)t.writeready, (void*)t.write, (void*)t.print, (void*)t.event,
                    (void*)t.urlnotify, (void*)t.getvalue, (void*)t.setvalue})
        EXPECT_NE(nullptr, p);
    EXPECT_EQ(nullptr, t.javaClass);
    // A browser's table may end at setvalue: nothing past it is written.
    const auto* bytes = reinterpret_cast<const unsigned char*>(&t);
    for (size_t i = NP_PLUGINFUNCS_MIN_SIZE; i < sizeof t; ++i) ASSERT_EQ(0xAB, bytes[i]) << i;
}

TEST(PluginLibrary, InitializeChecksTableSizeAndMajorVersion) {
    Browser b;
    ASSERT_TRUE(b.loaded()) << b.error();
    EXPECT_EQ(NPERR_INVALID_FUNCTABLE_ERROR, b.initialize(nullptr, nullptr));
    NPNetscapeFuncs f = b.browserFuncs;
    f.size = NP_NETSCAPEFUNCS_MIN_SIZE - 1;
    EXPECT_EQ(NPERR_INVALID_FUNCTABLE_ERROR, b.initialize(&f, nullptr));
    f.size = NP_NETSCAPEFUNCS_MIN_SIZE;
    f.version = 0x0100;
    EXPECT_EQ(NPERR_INCOMPATIBLE_VERSION_ERROR, b.initialize(&f, nullptr));
    f.version = 0x00FF;
    // Browsers on Unix pass their plug-in table here too; a short one fails.
    NPPluginFuncs p{};
    p.size = NP_PLUGINFUNCS_MIN_SIZE - 1;
    EXPECT_EQ(NPERR_INVALID_FUNCTABLE_ERROR, b.initialize(&f, &p));
    p.size = NP_PLUGINFUNCS_MIN_SIZE;
    ASSERT_EQ(NPERR_NO_ERROR, b.initialize(&f, &p));
    EXPECT_EQ(22, p.version);
    EXPECT_NE(nullptr, (void*)p.getvalue);
    EXPECT_EQ(NPERR_NO_ERROR, b.shutdown());
}

TEST(PluginLibrary, AShortBrowserTableIsCopiedOnlyAsFarAsItGoes) {
    Browser b;
    ASSERT_TRUE(b.loaded()) << b.error();
    ASSERT_EQ(NPERR_NO_ERROR, b.getEntryPoints(&b.pluginFuncs));
    // Exactly the minimum: the entries after it are garbage the plug-in must not read.
    NPNetscapeFuncs f = b.browserFuncs;
    f.size = NP_NETSCAPEFUNCS_MIN_SIZE;
    std::memset(reinterpret_cast<char*>(&f) + NP_NETSCAPEFUNCS_MIN_SIZE, 0xCD,
                sizeof f - NP_NETSCAPEFUNCS_MIN_SIZE);
    ASSERT_EQ(NPERR_NO_ERROR, b.initialize(&f, nullptr));
    auto inst = b.NewInstance();
    ASSERT_TRUE(inst);
    NPObject* obj = b.ScriptObject(*inst);
    ASSERT_NE(nullptr, obj);
    EXPECT_EQ("3.2.0.2", b.Call(obj, "KEVO_GetVersion").text);
    b.Release(obj);
    EXPECT_EQ(NPERR_NO_ERROR, b.Destroy(*inst));
    EXPECT_EQ(0u, b.LiveObjects());
    b.shutdown();
}

TEST(PluginLibrary, UnixBrowsersGetBothTablesThroughInitializeAlone) {
    Browser b;
    ASSERT_TRUE(b.loaded()) << b.error();
    ASSERT_EQ(NPERR_NO_ERROR, b.initialize(&b.browserFuncs, &b.pluginFuncs));
    auto inst = b.NewInstance();
    ASSERT_TRUE(inst);
    NPObject* obj = b.ScriptObject(*inst);
    ASSERT_NE(nullptr, obj);
    plugin_test::Result r = b.Call(obj, "KEVO_GetVersion");
    EXPECT_TRUE(r.ok);
    EXPECT_EQ("3.2.0.2", r.text);
    b.Release(obj);
    EXPECT_EQ(NPERR_NO_ERROR, b.Destroy(*inst));
    EXPECT_EQ(NPERR_NO_ERROR, b.shutdown());
    EXPECT_EQ(0u, b.LiveObjects());
    EXPECT_EQ(0u, b.LiveAllocations());
}

TEST(PluginInstance, CallbacksAnswerNullInstancesWithTheInstanceError) {
    Browser b;
    ASSERT_TRUE(b.Start());
    NPPluginFuncs& t = b.pluginFuncs;
    char mime[] = "application/npLumora.Tessaro.QIRTAL.x86";
    EXPECT_EQ(NPERR_INVALID_INSTANCE_ERROR, t.newp(mime, nullptr, 1, 0, nullptr, nullptr, nullptr));
    EXPECT_EQ(NPERR_INVALID_INSTANCE_ERROR, t.destroy(nullptr, nullptr));
    EXPECT_EQ(NPERR_INVALID_INSTANCE_ERROR, t.setwindow(nullptr, nullptr));
    uint16_t stype = 0;
    EXPECT_EQ(NPERR_INVALID_INSTANCE_ERROR, t.newstream(nullptr, mime, nullptr, 0, &stype));
    EXPECT_EQ(NPERR_INVALID_INSTANCE_ERROR, t.destroystream(nullptr, nullptr, 0));
    EXPECT_EQ(NPERR_INVALID_INSTANCE_ERROR, t.writeready(nullptr, nullptr));
    EXPECT_EQ(NPERR_INVALID_INSTANCE_ERROR, t.write(nullptr, nullptr, 0, 77, nullptr));
    EXPECT_EQ(NPERR_INVALID_INSTANCE_ERROR, t.getvalue(nullptr, NPPVpluginNameString, nullptr));
    EXPECT_EQ(NPERR_INVALID_INSTANCE_ERROR, t.setvalue(nullptr, NPNVisOfflineBool, nullptr));
    EXPECT_EQ(0, t.event(nullptr, nullptr));
    t.asfile(nullptr, nullptr, "x");
    t.print(nullptr, nullptr);
    t.urlnotify(nullptr, "http://x", 0, nullptr);
}

TEST(PluginInstance, CallbacksOfALiveInstance) {
    Browser b;
    ASSERT_TRUE(b.Start());
    NPPluginFuncs& t = b.pluginFuncs;
    auto inst = b.NewInstance();
    ASSERT_TRUE(inst);
    ASSERT_NE(nullptr, inst->npp.pdata);
    NPP npp = &inst->npp;
    EXPECT_EQ(NPERR_NO_ERROR, t.setwindow(npp, nullptr));
    uint16_t stype = 0;
    char mime[] = "text/plain";
    NPStream stream{};
    EXPECT_EQ(NPERR_NO_ERROR, t.newstream(npp, mime, &stream, 0, &stype));
    EXPECT_EQ(0x0FFFFFFF, t.writeready(npp, &stream));
    char data[5] = "abcd";
    EXPECT_EQ(4, t.write(npp, &stream, 0, 4, data));
    EXPECT_EQ(123456, t.write(npp, &stream, 0, 123456, data));
    EXPECT_EQ(NPERR_NO_ERROR, t.destroystream(npp, &stream, 0));
    EXPECT_EQ(NPERR_NO_ERROR, t.setvalue(npp, NPNVisOfflineBool, nullptr));
    EXPECT_EQ(0, t.event(npp, data));

    const char* text = nullptr;
    ASSERT_EQ(NPERR_NO_ERROR, t.getvalue(npp, NPPVpluginNameString, &text));
    EXPECT_STREQ("NPRuntimeTest", text);
    ASSERT_EQ(NPERR_NO_ERROR, t.getvalue(npp, NPPVpluginDescriptionString, &text));
    EXPECT_STREQ("NPRuntime scriptability API test plugin", text);
    NPBool xembed = 0;
    ASSERT_EQ(NPERR_NO_ERROR, t.getvalue(npp, NPPVpluginNeedsXEmbed, &xembed));
    EXPECT_EQ(1, xembed);
    for (int v : {3, 4, 5, 6, 7, 10, 11, 12, 13, 16, 17, 18, 1000}) {
        void* out = reinterpret_cast<void*>(0x1);
        EXPECT_EQ(NPERR_GENERIC_ERROR, t.getvalue(npp, static_cast<NPPVariable>(v), &out)) << v;
        EXPECT_EQ(reinterpret_cast<void*>(0x1), out) << v;
    }
    EXPECT_EQ(NPERR_INVALID_PARAM, t.getvalue(npp, NPPVpluginScriptableNPObject, nullptr));
    EXPECT_EQ(0u, b.LiveObjects());

    EXPECT_EQ(NPERR_NO_ERROR, b.Destroy(*inst));
    EXPECT_EQ(nullptr, inst->npp.pdata);
    // No CPlugin any more: every variable is a generic error.
    ASSERT_EQ(NPERR_GENERIC_ERROR, t.getvalue(npp, NPPVpluginNameString, &text));
    NPObject* obj = nullptr;
    EXPECT_EQ(NPERR_GENERIC_ERROR, t.getvalue(npp, NPPVpluginScriptableNPObject, &obj));
    EXPECT_EQ(nullptr, obj);
    EXPECT_EQ(NPERR_NO_ERROR, b.Destroy(*inst));  // nothing left to destroy
}

TEST(PluginInstance, ScriptableObjectIsRetainedPerRequestAndOutlivesTheInstance) {
    Browser b;
    ASSERT_TRUE(b.Start());
    auto inst = b.NewInstance();
    ASSERT_TRUE(inst);
    NPObject* first = b.ScriptObject(*inst);
    ASSERT_NE(nullptr, first);
    EXPECT_EQ(2u, b.RefCount(first));  // the plug-in's and ours
    NPObject* second = b.ScriptObject(*inst);
    EXPECT_EQ(first, second);
    EXPECT_EQ(3u, b.RefCount(first));
    b.Release(second);
    EXPECT_EQ(2u, b.RefCount(first));

    // The instance gives up its reference; page script still holds one.
    EXPECT_EQ(NPERR_NO_ERROR, b.Destroy(*inst));
    ASSERT_TRUE(b.Alive(first));
    EXPECT_EQ(1u, b.RefCount(first));
    EXPECT_EQ(0, b.deallocations);
    EXPECT_EQ("3.2.0.2", b.Call(first, "KEVO_GetVersion").text);
    b.Release(first);
    EXPECT_FALSE(b.Alive(first));
    EXPECT_EQ(1, b.deallocations);
    EXPECT_EQ(0u, b.LiveAllocations());
}

TEST(PluginInstance, ReleasedByScriptFirstTheInstanceStillOwnsItsReference) {
    Browser b;
    ASSERT_TRUE(b.Start());
    auto inst = b.NewInstance();
    ASSERT_TRUE(inst);
    NPObject* obj = b.ScriptObject(*inst);
    ASSERT_NE(nullptr, obj);
    b.Release(obj);
    ASSERT_TRUE(b.Alive(obj));
    EXPECT_EQ(1u, b.RefCount(obj));
    EXPECT_EQ(NPERR_NO_ERROR, b.Destroy(*inst));
    EXPECT_EQ(0u, b.LiveObjects());
    EXPECT_EQ(1, b.deallocations);
}

TEST(PluginInstance, EachInstanceHasItsOwnAgent) {
    Browser b;
    ASSERT_TRUE(b.Start());
    setenv("LC_ALL", "C", 1);
    auto one = b.NewInstance();
    auto two = b.NewInstance();
    ASSERT_TRUE(one && two);
    NPObject* a = b.ScriptObject(*one);
    NPObject* c = b.ScriptObject(*two);
    ASSERT_TRUE(a && c);
    EXPECT_NE(a, c);
    // A failure in one is not the other's last error.
    EXPECT_FALSE(b.Call(a, "KEVO_SetKeyAlgorithm", {plugin_test::S("ECC")}).ok);
    EXPECT_FALSE(b.Call(c, "KEVO_SetCSPInfo", {plugin_test::I(2048), plugin_test::S(
                                                   "Microsoft Base Cryptographic Provider v1.0")}).ok);
    EXPECT_EQ("Invalid key algorithm.\n(0xa0072401)", b.Call(a, "GetLastErrorDesc").text);
    EXPECT_EQ("Key length is not supported.\n(0xa0072400)", b.Call(c, "GetLastErrorDesc").text);
    // A fresh instance starts clean: no last error, no container.
    auto three = b.NewInstance();
    NPObject* d = b.ScriptObject(*three);
    plugin_test::Result fresh = b.Call(d, "GetLastErrorDesc");
    ASSERT_TRUE(fresh.ok);
    EXPECT_EQ("\n(0x00000000)", fresh.text.substr(fresh.text.size() - 13));
    EXPECT_EQ("", b.Call(d, "KEVO_GetContainer").text);
    for (NPObject* o : {a, c, d}) b.Release(o);
    for (auto* i : {one.get(), two.get(), three.get()}) EXPECT_EQ(NPERR_NO_ERROR, b.Destroy(*i));
    EXPECT_EQ(0u, b.LiveObjects());
    EXPECT_EQ(0u, b.LiveAllocations());
}

TEST(PluginLifecycle, NothingRunsBeforeInitializeOrAfterShutdown) {
    Browser b;
    ASSERT_TRUE(b.loaded()) << b.error();
    ASSERT_EQ(NPERR_NO_ERROR, b.getEntryPoints(&b.pluginFuncs));
    int16_t err = 0;
    EXPECT_FALSE(b.NewInstance(&err));
    EXPECT_EQ(NPERR_GENERIC_ERROR, err);

    ASSERT_TRUE(b.Start());
    auto inst = b.NewInstance();
    ASSERT_TRUE(inst);
    NPObject* obj = b.ScriptObject(*inst);
    ASSERT_NE(nullptr, obj);
    auto late = b.NewInstance();
    ASSERT_TRUE(late);
    b.Stop();

    EXPECT_FALSE(b.NewInstance(&err));
    EXPECT_EQ(NPERR_GENERIC_ERROR, err);
    // No object is made for an instance that never asked before.
    NPObject* none = nullptr;
    EXPECT_EQ(NPERR_GENERIC_ERROR, b.pluginFuncs.getvalue(&late->npp, NPPVpluginScriptableNPObject, &none));
    EXPECT_EQ(nullptr, none);
    EXPECT_EQ(1u, b.LiveObjects());
    // The object answers nothing: Null or Bool false, and a false return.
    plugin_test::Result v = b.Call(obj, "KEVO_GetVersion");
    EXPECT_FALSE(v.ok);
    EXPECT_EQ(NPVariantType_Null, v.type);
    EXPECT_FALSE(b.lastHasMethod);
    plugin_test::Result s = b.Call(obj, "KEVO_SetKeyAlgorithm", {plugin_test::S("RSA")});
    EXPECT_FALSE(s.ok);
    EXPECT_EQ(NPVariantType_Bool, s.type);
    EXPECT_FALSE(s.boolValue);
    EXPECT_EQ(NPERR_NO_ERROR, b.Destroy(*late));
    EXPECT_EQ(NPERR_NO_ERROR, b.Destroy(*inst));
    EXPECT_EQ(0u, b.LiveAllocations());
    // The browser drops the page's object when it unloads the library.
}

std::map<std::string, std::map<std::string, std::string>> ReadVersionBlock(const std::string& path) {
    std::map<std::string, std::map<std::string, std::string>> sections;
    std::ifstream in(path);
    std::string line, section;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        if (line[0] == '[') {
            section = line.substr(1, line.find(']') - 1);
            continue;
        }
        size_t eq = line.find('=');
        if (eq != std::string::npos) sections[section][line.substr(0, eq)] = line.substr(eq + 1);
    }
    return sections;
}

TEST(PluginLibrary, VersionBlockBesideTheLibraryRegistersTheMimeTypeInBothLanguages) {
    auto sections = ReadVersionBlock(tessaro_test::BuildPath("npLumora.Tessaro.QIRTAL.version"));
    ASSERT_EQ(2u, sections.size());
    for (const char* lang : {"1033", "2052"}) {
        auto& s = sections[lang];
        EXPECT_EQ("application/npLumora.Tessaro.QIRTAL.x86", s["MIMEType"]) << lang;
        EXPECT_EQ("*", s["FileExtents"]) << lang;
        EXPECT_EQ("npLumora.Tessaro.QIRTAL", s["FileOpenName"]) << lang;
        EXPECT_EQ("3.2.0.2", s["ProductVersion"]) << lang;
        EXPECT_EQ("3.2.0.2", s["FileVersion"]) << lang;
    }
}

std::set<std::string> Listed(const std::vector<std::string>& env, const char* location, const char* store) {
    auto r = tessaro_test::RunProcess({tessaro_test::BuildPath("tessaro-certutil"), location, "-store", store}, "", env);
    std::set<std::string> out;
    std::istringstream is(r.out);
    std::string line;
    const std::string key = "Cert Hash(sha1): ";
    while (std::getline(is, line))
        if (line.rfind(key, 0) == 0) out.insert(line.substr(key.size()));
    return out;
}

TEST(PluginInstall, SixStepsInOrderIntoTheTraceAndAllFourChainsInstalled) {
    const char* prefix = std::getenv("TESSARO_PREFIX");
    ASSERT_NE(nullptr, prefix);
    const std::string trace = tessaro_test::BuildPath("tessaro-trace");
    ASSERT_EQ(0, tessaro_test::RunProcess({trace, "start", "--flags", "0xF"}, "").exitCode);
    {
        Browser b;
        ASSERT_TRUE(b.Start());  // tracing is registered here
        b.install();
    }
    std::ifstream in(std::string(prefix) + "/trace/kevo.log", std::ios::binary);
    std::string log((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    tessaro_test::RunProcess({trace, "stop"}, "");
    const char* steps[] = {
        "NP_Install - DeleteRSADiscardCert",
        "NP_Install - DeleteSM2DiscardCert",
        "NP_Install - ImportCertificateChainfromResoure(RSA operation)",
        "NP_Install - ImportCertificateChainfromResoure(SM2 operation)",
        "NP_Install - ImportCertificateChainfromResoure(RSA test)",
        "NP_Install - ImportCertificateChainfromResoure(SM2 test)",
    };
    size_t pos = 0;
    for (const char* step : steps) {
        // Each step once, in order, and a success in a fresh prefix.
        const std::string line = std::string(step) + " 0x00000000";
        size_t at = log.find(line, pos);
        ASSERT_NE(std::string::npos, at) << step << "\n" << log;
        EXPECT_EQ(std::string::npos, log.find(std::string(step) + " ", at + 1)) << step;
        pos = at + line.size();
    }

    // The host's install mode takes the RSA chains only; the plug-in's also
    // brings the SM2 chains 209 and 211.
    tessaro_test::TempDir hostPrefix("host-install");
    const std::vector<std::string> hostEnv = {"TESSARO_PREFIX=" + hostPrefix.path()};
    ASSERT_EQ(0, tessaro_test::RunProcess({tessaro_test::BuildPath("TessaroHost.QIRTAL.x86"), "-i"}, "", hostEnv)
                     .exitCode);
    for (const char* store : {"ROOT", "CA"}) {
        std::set<std::string> plugin = Listed({}, "-machine", store);
        std::set<std::string> host = Listed(hostEnv, "-machine", store);
        EXPECT_FALSE(host.empty()) << store;
        EXPECT_GT(plugin.size(), host.size()) << store;
        for (const std::string& t : host) EXPECT_EQ(1u, plugin.count(t)) << store << " " << t;
    }
}

}  // namespace
