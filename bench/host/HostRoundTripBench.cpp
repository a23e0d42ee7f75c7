// Round trip of one request through the host's real pipes, beside the same
// frame echoed by a minimal program over the same kind of pipes, and the
// host's peak resident memory.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

const char* REQUEST = "{\"function\":\"KEVO_GetVersion\",\"params\":[],\"randomId\":\"42\"}";

std::string Frame(const std::string& payload) {
    uint32_t n = static_cast<uint32_t>(payload.size());
    std::string s;
    for (int i = 0; i < 4; ++i) s.push_back(static_cast<char>((n >> (8 * i)) & 0xFF));
    return s + payload;
}

// Its own prefix, so the benchmark never touches the user's.
const std::string& BenchPrefix() {
    static std::string path = [] {
        char tmpl[] = "/tmp/tessaro-bench-XXXXXX";
        const char* p = mkdtemp(tmpl);
        return std::string(p ? p : "/tmp");
    }();
    return path;
}

class Child {
public:
    explicit Child(const char* path) {
        int in[2], out[2];
        if (pipe(in) != 0 || pipe(out) != 0) return;
        m_pid = fork();
        if (m_pid == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            close(in[0]);
            close(in[1]);
            close(out[0]);
            close(out[1]);
            setenv("TESSARO_PREFIX", BenchPrefix().c_str(), 1);
            execl(path, path, static_cast<char*>(nullptr));
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        m_to = in[1];
        m_from = out[0];
    }

    bool RoundTrip(const std::string& frame, std::string& response) {
        if (write(m_to, frame.data(), frame.size()) != static_cast<ssize_t>(frame.size())) return false;
        unsigned char prefix[4];
        if (!ReadAll(prefix, 4)) return false;
        uint32_t n = prefix[0] | (prefix[1] << 8) | (prefix[2] << 16) | (static_cast<uint32_t>(prefix[3]) << 24);
        response.resize(n);
        return ReadAll(reinterpret_cast<unsigned char*>(&response[0]), n);
    }

    // Ends the conversation; the child's peak resident set in KiB.
    long Finish() {
        close(m_to);
        int status = 0;
        rusage ru{};
        wait4(m_pid, &status, 0, &ru);
        close(m_from);
        return ru.ru_maxrss;
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
};

void RoundTrips(benchmark::State& state, const char* path) {
    signal(SIGPIPE, SIG_IGN);
    Child child(path);
    const std::string frame = Frame(REQUEST);
    std::string response;
    if (!child.RoundTrip(frame, response)) {
        state.SkipWithError("the child did not answer");
        child.Finish();
        return;
    }
    for (auto _ : state) {
        if (!child.RoundTrip(frame, response)) {
            state.SkipWithError("the child stopped answering");
            break;
        }
        benchmark::DoNotOptimize(response.data());
    }
    long maxRssKiB = child.Finish();
    state.counters["peak_rss_KiB"] = static_cast<double>(maxRssKiB);
    state.counters["response_bytes"] = static_cast<double>(response.size());
}

void BM_HostGetVersionRoundTrip(benchmark::State& state) { RoundTrips(state, TESSARO_HOST_PATH); }
void BM_EchoRoundTrip(benchmark::State& state) { RoundTrips(state, TESSARO_ECHO_PATH); }

BENCHMARK(BM_EchoRoundTrip)->UseRealTime();
BENCHMARK(BM_HostGetVersionRoundTrip)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
