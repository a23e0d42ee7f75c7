// Round trip of one request through the host's real pipes, beside the same
// frame echoed by a minimal program over the same kind of pipes, and the
// host's peak resident memory; and the cold start of both, from exec to the
// first answer, with every process of the run pinned to one core.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

extern char** environ;

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

// The environment the children get: ours with the bench's prefix.
char** ChildEnvironment() {
    static std::vector<std::string> texts;
    static std::vector<char*> env;
    if (env.empty()) {
        for (char** e = environ; *e; ++e)
            if (std::string(*e).rfind("TESSARO_PREFIX=", 0) != 0) texts.emplace_back(*e);
        texts.push_back("TESSARO_PREFIX=" + BenchPrefix());
        for (auto& t : texts) env.push_back(t.data());
        env.push_back(nullptr);
    }
    return env.data();
}

class Child {
public:
    // Started with posix_spawn, the same way for the host and the echo
    // program, so the driver's own cost is alike for both.
    explicit Child(const char* path) {
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0) return;
        if (pipe2(out, O_CLOEXEC) != 0) {
            close(in[0]);
            close(in[1]);
            return;
        }
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, in[0], 0);
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        char* argv[] = {const_cast<char*>(path), nullptr};
        if (posix_spawn(&m_pid, path, &fa, nullptr, argv, ChildEnvironment()) != 0) m_pid = -1;
        posix_spawn_file_actions_destroy(&fa);
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
        if (m_pid > 0) wait4(m_pid, &status, 0, &ru);
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

// Exec to first answer. The run is pinned to one core, children included,
// so a start cannot hide work on the other core.
void ColdStarts(benchmark::State& state, const char* path) {
    signal(SIGPIPE, SIG_IGN);
    cpu_set_t all, one;
    sched_getaffinity(0, sizeof all, &all);
    CPU_ZERO(&one);
    for (int c = 0; c < CPU_SETSIZE; ++c)
        if (CPU_ISSET(c, &all)) {
            CPU_SET(c, &one);
            break;
        }
    sched_setaffinity(0, sizeof one, &one);
    const std::string frame = Frame(REQUEST);
    std::string response;
    {
        // The first start in the prefix makes its hives: not a cold start.
        Child warm(path);
        warm.RoundTrip(frame, response);
        warm.Finish();
    }
    for (auto _ : state) {
        const auto t0 = std::chrono::steady_clock::now();
        Child child(path);
        const bool answered = child.RoundTrip(frame, response);
        const auto t1 = std::chrono::steady_clock::now();
        state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
        child.Finish();
        if (!answered) {
            state.SkipWithError("the child did not answer");
            break;
        }
    }
    sched_setaffinity(0, sizeof all, &all);
    state.counters["response_bytes"] = static_cast<double>(response.size());
}

void BM_HostGetVersionRoundTrip(benchmark::State& state) { RoundTrips(state, TESSARO_HOST_PATH); }
void BM_EchoRoundTrip(benchmark::State& state) { RoundTrips(state, TESSARO_ECHO_PATH); }
void BM_HostColdStart(benchmark::State& state) { ColdStarts(state, TESSARO_HOST_PATH); }
void BM_EchoColdStart(benchmark::State& state) { ColdStarts(state, TESSARO_ECHO_PATH); }

BENCHMARK(BM_EchoRoundTrip)->UseRealTime();
BENCHMARK(BM_HostGetVersionRoundTrip)->UseRealTime();
BENCHMARK(BM_EchoColdStart)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_HostColdStart)->UseManualTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
