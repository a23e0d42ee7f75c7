// Framing helpers for driving the host program through its pipes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/TestSupport.h"

namespace host_test {

inline std::string Prefix(uint32_t n) {
    std::string s;
    for (int i = 0; i < 4; ++i) s.push_back(static_cast<char>((n >> (8 * i)) & 0xFF));
    return s;
}

inline std::string Frame(const std::string& payload) {
    return Prefix(static_cast<uint32_t>(payload.size())) + payload;
}

inline std::string Frames(const std::vector<std::string>& payloads) {
    std::string s;
    for (const auto& p : payloads) s += Frame(p);
    return s;
}

// Splits the host's output into payloads; false when bytes are left over
// that do not form a whole frame.
inline bool SplitFrames(const std::string& out, std::vector<std::string>& payloads) {
    payloads.clear();
    size_t pos = 0;
    while (pos < out.size()) {
        if (out.size() - pos < 4) return false;
        uint32_t n = 0;
        for (int i = 0; i < 4; ++i) n |= static_cast<uint32_t>(static_cast<unsigned char>(out[pos + i])) << (8 * i);
        pos += 4;
        if (out.size() - pos < n) return false;
        payloads.push_back(out.substr(pos, n));
        pos += n;
    }
    return true;
}

inline std::string HostPath() { return tessaro_test::BuildPath("TessaroHost.QIRTAL.x86"); }

// Runs the host with the given frames (or raw bytes) and a C locale unless
// env says otherwise.
inline tessaro_test::ProcessResult RunHost(const std::string& input, std::vector<std::string> env = {},
                                           std::vector<std::string> args = {}) {
    std::vector<std::string> argv{HostPath()};
    argv.insert(argv.end(), args.begin(), args.end());
    if (env.empty()) env = {"LC_ALL=", "LC_MESSAGES=", "LANG=C"};
    return tessaro_test::RunProcess(argv, input, env, 60);
}

// The responses of the host to the given requests, one per request.
inline std::vector<std::string> Converse(const std::vector<std::string>& requests,
                                         const std::vector<std::string>& env = {}) {
    auto r = RunHost(Frames(requests), env);
    std::vector<std::string> responses;
    if (r.exitCode != 0 || !SplitFrames(r.out, responses)) return {"<host failed: exit " + std::to_string(r.exitCode) + ">"};
    return responses;
}

}  // namespace host_test
