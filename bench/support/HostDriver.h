// A running host program driven as a browser drives it: framed JSON
// requests on its stdin, framed answers on its stdout; and its CPU time.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <vector>

extern char** environ;

namespace bench_host {

inline const char kSubject[] = "CN=Bench,OU=Enrollment,O=Tessaro,C=CN";

inline std::string Frame(const std::string& payload) {
    uint32_t n = static_cast<uint32_t>(payload.size());
    std::string s;
    for (int i = 0; i < 4; ++i) s.push_back(static_cast<char>((n >> (8 * i)) & 0xFF));
    return s + payload;
}

// The environment a child gets: ours (as it is when first asked) with
// TESSARO_PREFIX=prefix.
class ChildEnvironment {
public:
    explicit ChildEnvironment(const std::string& prefix) {
        for (char** e = environ; *e; ++e)
            if (std::string(*e).rfind("TESSARO_PREFIX=", 0) != 0) m_texts.emplace_back(*e);
        m_texts.push_back("TESSARO_PREFIX=" + prefix);
        for (auto& t : m_texts) m_env.push_back(t.data());
        m_env.push_back(nullptr);
    }
    char** get() { return m_env.data(); }

private:
    std::vector<std::string> m_texts;
    std::vector<char*> m_env;
};

class Host {
public:
    // The program at path on that prefix, started with posix_spawn: the same
    // way for the host and the echo program, so that the driver's own cost
    // is alike for both.
    Host(const char* path, const std::string& prefix) {
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0) return;
        if (pipe2(out, O_CLOEXEC) != 0) {
            close(in[0]);
            close(in[1]);
            return;
        }
        // Made once per prefix, outside what a cold start measures.
        static std::map<std::string, ChildEnvironment> envs;
        ChildEnvironment& env = envs.try_emplace(prefix, prefix).first->second;
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, in[0], 0);
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        char* argv[] = {const_cast<char*>(path), nullptr};
        if (posix_spawn(&m_pid, path, &fa, nullptr, argv, env.get()) != 0) m_pid = -1;
        posix_spawn_file_actions_destroy(&fa);
        close(in[0]);
        close(out[1]);
        m_to = in[1];
        m_from = out[0];
    }
    ~Host() { Finish(); }
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    pid_t pid() const { return m_pid; }

    // One framed request and its framed answer; false when the pipe broke.
    bool RoundTrip(const std::string& frame, std::string& response) {
        if (write(m_to, frame.data(), frame.size()) != static_cast<ssize_t>(frame.size())) return false;
        unsigned char prefix[4];
        if (!ReadAll(prefix, 4)) return false;
        uint32_t n = prefix[0] | (prefix[1] << 8) | (prefix[2] << 16) | (static_cast<uint32_t>(prefix[3]) << 24);
        response.resize(n);
        return ReadAll(reinterpret_cast<unsigned char*>(&response[0]), n);
    }

    // True when the host answered with errorcode 0.
    bool Ask(const std::string& request) {
        return RoundTrip(Frame(request), m_response) && m_response.find("\"errorcode\":0,") != std::string::npos;
    }
    const std::string& response() const { return m_response; }

    // Ends the conversation; the child's peak resident set in KiB.
    long Finish() {
        rusage ru{};
        if (m_to >= 0) close(m_to);
        if (m_pid > 0) wait4(m_pid, nullptr, 0, &ru);
        if (m_from >= 0) close(m_from);
        m_to = m_from = m_pid = -1;
        return ru.ru_maxrss;
    }

    bool Setup(int keyLength, const char* provider, const char* algorithm) {
        return Ask("{\"function\":\"KEVO_SetCSPInfo\",\"params\":[" + std::to_string(keyLength) + ",\"" + provider +
                   "\"]}") &&
               Ask(std::string("{\"function\":\"KEVO_SetKeyAlgorithm\",\"params\":[\"") + algorithm + "\"]}");
    }

    bool Request(int certType) {
        return Ask(std::string("{\"function\":\"KEVO_PKCS10CertRequisition\",\"params\":[\"") + kSubject + "\"," +
                   std::to_string(certType) + ",0]}");
    }

private:
    bool ReadAll(unsigned char* p, size_t n) {
        size_t got = 0;
        while (got < n) {
            ssize_t k = read(m_from, p + got, n - got);
            if (k <= 0) return false;
            got += static_cast<size_t>(k);
        }
        return true;
    }

    pid_t m_pid = -1;
    int m_to = -1;
    int m_from = -1;
    std::string m_response;
};

// User plus system CPU time of the process so far, in milliseconds.
inline double CpuMs(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string stat;
    std::getline(f, stat);
    // Fields after the command name, which is in parentheses and may hold blanks.
    size_t close = stat.rfind(')');
    if (close == std::string::npos) return 0;
    std::vector<std::string> fields;
    size_t pos = close + 2;
    while (pos < stat.size()) {
        size_t end = stat.find(' ', pos);
        if (end == std::string::npos) end = stat.size();
        fields.push_back(stat.substr(pos, end - pos));
        pos = end + 1;
    }
    if (fields.size() < 13) return 0;
    // utime and stime are the 14th and 15th fields of the line.
    double ticks = atof(fields[11].c_str()) + atof(fields[12].c_str());
    return ticks * 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
}

}  // namespace bench_host
