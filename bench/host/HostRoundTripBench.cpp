// Round trip of one request through the host's real pipes, beside the same
// frame echoed by a minimal program over the same kind of pipes, and the
// host's peak resident memory; and the cold start of both, from exec to the
// first answer, with every process of the run pinned to one core.
#include <benchmark/benchmark.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "bench/support/HostDriver.h"

namespace {

const char* REQUEST = "{\"function\":\"KEVO_GetVersion\",\"params\":[],\"randomId\":\"42\"}";

// Its own prefix, so the benchmark never touches the user's; removed with
// its hives when the run ends.
struct OwnPrefix {
    std::string path;
    OwnPrefix() {
        char tmpl[] = "/tmp/tessaro-bench-XXXXXX";
        const char* p = mkdtemp(tmpl);
        path = p ? p : "/tmp";
    }
    ~OwnPrefix() {
        std::error_code ignored;
        if (path != "/tmp") std::filesystem::remove_all(path, ignored);
    }
};

const std::string& BenchPrefix() {
    static OwnPrefix prefix;
    return prefix.path;
}

// The program at path on the benchmark's prefix.
struct Child : bench_host::Host {
    explicit Child(const char* path) : bench_host::Host(path, BenchPrefix()) {}
};

void RoundTrips(benchmark::State& state, const char* path) {
    signal(SIGPIPE, SIG_IGN);
    Child child(path);
    const std::string frame = bench_host::Frame(REQUEST);
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
    const std::string frame = bench_host::Frame(REQUEST);
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
