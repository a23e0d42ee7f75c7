// Every include of the product code points down the layers:
//   host, plugin -> agent -> request, import, store -> misc -> encoding -> diag -> platform
// with nothing sideways between request, import and store, the front ends
// reaching the units below only through the agent, only the platform seeing
// its own internals (the others use its public headers) or the libraries it is built on, and every header named
// by its layer's path.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "tests/support/TestSupport.h"

namespace {

namespace fs = std::filesystem;

// The layers by height; folders of equal height must not include each other.
const std::map<std::string, int> kHeight = {
    {"platform", 0}, {"diag", 1},  {"encoding", 2}, {"misc", 3}, {"request", 4},
    {"import", 4},   {"store", 4}, {"agent", 5},    {"host", 6}, {"plugin", 6},
    {"pkcs11", 6},
};

// What a front end may name besides its own folder: the host and the plug-in
// reach the system through the agent; the PKCS#11 module uses the platform
// alone.
const std::set<std::string> kFrontEndReach = {"agent", "diag", "platform"};
const std::set<std::string> kModuleReach = {"diag", "platform"};

// Libraries the layers above the platform must not call directly, by the
// include that would reach them. cJSON is the host's own message format.
const std::vector<std::pair<std::string, std::string>> kPlatformOnly = {
    {"openssl/", "OpenSSL"}, {"sqlite3.h", "SQLite"}, {"libxml/", "libxml2"}};

// The platform's public headers, which every layer may name: the Windows API
// ("win/...") and the owning types ("tessaro/...").
bool IsPlatformApi(const std::string& include) {
    return include.rfind("win/", 0) == 0 || include.rfind("tessaro/", 0) == 0;
}

// The layer a quoted include names: its first folder.
std::string LayerOf(const std::string& include) {
    if (IsPlatformApi(include)) return "platform";
    const auto slash = include.find('/');
    return slash == std::string::npos ? "" : include.substr(0, slash);
}

std::string Check(const std::string& from, const std::string& include, bool quoted) {
    if (!quoted) {
        if (from == "platform") return "";
        for (const auto& [prefix, name] : kPlatformOnly)
            if (include.rfind(prefix, 0) == 0) return from + " includes " + name + ", which only the platform may";
        return "";
    }
    const std::string to = LayerOf(include);
    if (to == from) return "";
    auto it = kHeight.find(to);
    if (it == kHeight.end()) return "\"" + include + "\" is not named by its layer's path";
    if (to == "platform" && !IsPlatformApi(include))
        return from + " -> " + include + " reaches into the platform's internals";
    const int fromHeight = kHeight.at(from), toHeight = it->second;
    if (toHeight > fromHeight) return from + " -> " + to + " points up";
    if (toHeight == fromHeight) return from + " -> " + to + " points sideways";
    if ((from == "host" || from == "plugin") && !kFrontEndReach.count(to))
        return from + " -> " + to + " goes around the agent";
    if (from == "pkcs11" && !kModuleReach.count(to)) return from + " -> " + to + " reaches above the platform";
    return "";
}

// One line per include against the rule: "<file>:<line>: <why>".
std::vector<std::string> Violations(const fs::path& root) {
    static const std::regex kInclude(R"(^\s*#\s*include\s*([<"])([^>"]+)[>"])");
    std::vector<std::string> out;
    for (const auto& [layer, height] : kHeight) {
        if (!fs::is_directory(root / layer)) continue;
        std::vector<fs::path> files;
        for (const auto& e : fs::recursive_directory_iterator(root / layer)) {
            const auto ext = e.path().extension();
            if (e.is_regular_file() && (ext == ".cpp" || ext == ".h")) files.push_back(e.path());
        }
        std::sort(files.begin(), files.end());
        for (const auto& file : files) {
            std::ifstream in(file);
            std::string text;
            for (int line = 1; std::getline(in, text); ++line) {
                std::smatch m;
                if (!std::regex_search(text, m, kInclude)) continue;
                const std::string why = Check(layer, m[2], m[1] == "\"");
                if (!why.empty())
                    out.push_back(fs::relative(file, root).string() + ":" + std::to_string(line) + ": " + why);
            }
        }
    }
    return out;
}

TEST(IncludeRule, EveryProductIncludePointsDown) {
    const auto found = Violations(tessaro_test::SourcePath(""));
    std::string report;
    for (const auto& v : found) report += v + "\n";
    EXPECT_TRUE(found.empty()) << report;
}

TEST(IncludeRule, EachKindOfWrongArrowIsNamedWithFileAndLine) {
    tessaro_test::TempDir dir;
    const fs::path root = dir.path();
    auto write = [&](const std::string& name, const std::string& text) {
        fs::create_directories((root / name).parent_path());
        std::ofstream(root / name) << text;
    };
    write("store/Filter.cpp", "#include \"store/Filter.h\"\n#include \"import/Install.h\"\n");
    write("misc/Misc.cpp", "// text\n#include \"request/SubjectDN.h\"\n#include \"win/windows.h\"\n");
    write("host/Host.cpp", "#include \"agent/CryptoAgent.h\"\n#include \"encoding/Codec.h\"\n");
    write("agent/Agent.cpp", "#include <openssl/evp.h>\n#include \"platform/csp/CspProvider.h\"\n");
    write("diag/Diag.cpp", "#include \"Local.h\"\n#include <sqlite3.h>\n");
    write("platform/Base.cpp", "#include <openssl/evp.h>\n#include \"platform/base/Der.h\"\n");
    EXPECT_EQ(Violations(root), (std::vector<std::string>{
                                    "agent/Agent.cpp:1: agent includes OpenSSL, which only the platform may",
                                    "agent/Agent.cpp:2: agent -> platform/csp/CspProvider.h reaches into the "
                                    "platform's internals",
                                    "diag/Diag.cpp:1: \"Local.h\" is not named by its layer's path",
                                    "diag/Diag.cpp:2: diag includes SQLite, which only the platform may",
                                    "host/Host.cpp:2: host -> encoding goes around the agent",
                                    "misc/Misc.cpp:2: misc -> request points up",
                                    "store/Filter.cpp:2: store -> import points sideways",
                                }));
}

}  // namespace
