// One host process kept running across many requests: frames written to its
// standard input, each response frame read back before the next request.
// Shared by the hostile-page and crash-safety tests.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cjson/cJSON.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace host_session {

// An answer's "errorcode" (-12345 when it has none or is no JSON), and its
// "result" text into *pstrResult when there is one.
inline int CodeOf(const std::string& strResponse, std::string* pstrResult = nullptr) {
    int nCode = -12345;
    cJSON* p = cJSON_Parse(strResponse.c_str());
    if (p) {
        const cJSON* c = cJSON_GetObjectItem(p, "errorcode");
        if (cJSON_IsNumber(c)) nCode = c->valueint;
        const cJSON* r = cJSON_GetObjectItem(p, "result");
        if (pstrResult && cJSON_IsString(r)) *pstrResult = r->valuestring;
        cJSON_Delete(p);
    }
    return nCode;
}

class HostSession {
public:
    // Starts the program with the test's environment (and its prefix), plus
    // the given NAME=VALUE settings.
    explicit HostSession(const std::string& strProgram, const std::vector<std::string>& vecEnv = {}) {
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0) return;
        if (pipe2(out, O_CLOEXEC) != 0) {
            close(in[0]);
            close(in[1]);
            return;
        }
        m_pid = fork();
        if (m_pid == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            setenv("LANG", "C", 1);
            for (const std::string& e : vecEnv) putenv(const_cast<char*>(e.c_str()));
            execl(strProgram.c_str(), strProgram.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        m_nIn = in[1];
        m_nOut = out[0];
        signal(SIGPIPE, SIG_IGN);
    }
    ~HostSession() {
        Close();
        Kill();
    }
    HostSession(const HostSession&) = delete;
    HostSession& operator=(const HostSession&) = delete;

    pid_t Pid() const { return m_pid; }
    bool Started() const { return m_pid > 0; }

    // Sends one frame; false when the host no longer reads.
    bool Send(const std::string& strPayload) {
        std::string s;
        uint32_t n = static_cast<uint32_t>(strPayload.size());
        for (int i = 0; i < 4; ++i) s.push_back(static_cast<char>((n >> (8 * i)) & 0xFF));
        s += strPayload;
        return WriteAll(s);
    }
    bool WriteAll(const std::string& s) {
        size_t off = 0;
        while (off < s.size()) {
            ssize_t w = write(m_nIn, s.data() + off, s.size() - off);
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) return false;
            off += static_cast<size_t>(w);
        }
        return true;
    }

    // Reads one response frame; false on end of output or after nTimeoutMs
    // without a byte.
    bool Receive(std::string& strPayload, int nTimeoutMs = 60000) {
        std::string prefix;
        if (!ReadExactly(prefix, 4, nTimeoutMs)) return false;
        uint32_t n = 0;
        for (int i = 0; i < 4; ++i) n |= static_cast<uint32_t>(static_cast<unsigned char>(prefix[i])) << (8 * i);
        if (n > 0x100000) return false;
        return ReadExactly(strPayload, n, nTimeoutMs);
    }

    bool Converse(const std::string& strRequest, std::string& strResponse, int nTimeoutMs = 60000) {
        return Send(strRequest) && Receive(strResponse, nTimeoutMs);
    }

    // The host's resident set in KiB (0 when it cannot be read).
    long ResidentKiB() const {
        std::ifstream f("/proc/" + std::to_string(m_pid) + "/status");
        std::string line;
        while (std::getline(f, line))
            if (line.compare(0, 6, "VmRSS:") == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
        return 0;
    }

    // True while the process has not exited.
    bool Alive() {
        if (m_pid <= 0) return false;
        int status = 0;
        pid_t r = waitpid(m_pid, &status, WNOHANG);
        if (r == m_pid) {
            m_nStatus = status;
            m_pid = -m_pid;
            return false;
        }
        return r == 0;
    }

    // Closes the host's input and waits for it; the wait status.
    int CloseAndWait() {
        Close();
        if (m_pid > 0) {
            int status = 0;
            while (waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
            }
            m_nStatus = status;
            m_pid = -m_pid;
        }
        return m_nStatus;
    }

    void Kill(int nSignal = SIGKILL) {
        if (m_pid > 0) {
            kill(m_pid, nSignal);
            int status = 0;
            while (waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
            }
            m_nStatus = status;
            m_pid = -m_pid;
        }
    }

private:
    void Close() {
        if (m_nIn >= 0) close(m_nIn);
        m_nIn = -1;
        if (m_nOut >= 0) close(m_nOut);
        m_nOut = -1;
    }
    bool ReadExactly(std::string& s, size_t n, int nTimeoutMs) {
        s.assign(n, '\0');
        size_t off = 0;
        while (off < n) {
            pollfd p{m_nOut, POLLIN, 0};
            int r = poll(&p, 1, nTimeoutMs);
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) return false;
            ssize_t got = read(m_nOut, &s[off], n - off);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) return false;
            off += static_cast<size_t>(got);
        }
        return true;
    }

    pid_t m_pid = -1;
    int m_nIn = -1;
    int m_nOut = -1;
    int m_nStatus = 0;
};

}  // namespace host_session
