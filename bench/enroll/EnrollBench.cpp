// A certificate request through a running host (key pair generated in the
// provider, PKCS#10 composed and signed, framed JSON both ways), beside the
// same key generation and signing done with direct OpenSSL calls in this
// process; and the host's resident memory over 1,000 SM2 requests, read
// from /proc/<pid>/status while it runs.
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <benchmark/benchmark.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench/support/HostDriver.h"

namespace {

using bench_host::CpuMs;

const char* const RSA_PROVIDER = "Microsoft Enhanced Cryptographic Provider v1.0";
const char* const SM2_PROVIDER = "Tessaro SM2 Token CSP v1.0";

// Its own prefix, so the benchmark never touches the user's keys; removed
// with its thousands of containers when the program ends.
struct BenchPrefixDir {
    std::string path;
    BenchPrefixDir() {
        char tmpl[] = "/tmp/tessaro-enroll-bench-XXXXXX";
        if (const char* p = mkdtemp(tmpl)) path = p;
    }
    ~BenchPrefixDir() {
        std::error_code ec;
        if (!path.empty()) std::filesystem::remove_all(path, ec);
    }
};

const std::string& BenchPrefix() {
    static BenchPrefixDir dir;
    return dir.path;
}

// The host of this build on the benchmark's own prefix.
struct Host : bench_host::Host {
    Host() : bench_host::Host(TESSARO_HOST_PATH, BenchPrefix()) {}
};

// "VmRSS" or "VmHWM" of the process in KiB, or -1.
long StatusKiB(pid_t pid, const char* field) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    const size_t n = strlen(field);
    while (std::getline(f, line))
        if (line.compare(0, n, field) == 0 && line.size() > n && line[n] == ':') return atol(line.c_str() + n + 1);
    return -1;
}

void HostRequests(benchmark::State& state, int keyLength, const char* provider, const char* algorithm,
                  int certType) {
    signal(SIGPIPE, SIG_IGN);
    Host host;
    if (!host.Setup(keyLength, provider, algorithm)) {
        state.SkipWithError(("the host refused the settings: " + host.response()).c_str());
        return;
    }
    const double cpuBefore = CpuMs(host.pid());
    for (auto _ : state) {
        if (!host.Request(certType)) {
            state.SkipWithError(("the request failed: " + host.response()).c_str());
            break;
        }
    }
    // The host's own CPU time per request: comparable with the reference's
    // CPU column even when the machine is busy.
    if (state.iterations() > 0)
        state.counters["host_cpu_ms_per_request"] =
            (CpuMs(host.pid()) - cpuBefore) / static_cast<double>(state.iterations());
    state.counters["request_bytes"] = static_cast<double>(host.response().size());
}

// The same work with OpenSSL directly: the key pairs (for a double
// certificate first the temporary exchange key, RSA-1024 or SM2, whatever the
// signing key's size), a PKCS#10 request for the signing key, signed and
// encoded.
bool OpenSSLRequest(bool sm2, int bits, int certType) {
    EVP_PKEY* exchange = nullptr;
    if (certType == 2) {
        exchange = sm2 ? EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2")
                       : EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(1024));
        if (!exchange) return false;
    }
    EVP_PKEY* key = sm2 ? EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2")
                        : EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(bits));
    X509_REQ* req = X509_REQ_new();
    bool ok = key && req;
    if (ok) {
        auto* name = X509_REQ_get_subject_name(req);
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>("Bench"), -1,
                                   -1, 0);
        X509_NAME_add_entry_by_txt(name, "O", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>("Tessaro"), -1,
                                   -1, 0);
        X509_NAME_add_entry_by_txt(name, "C", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("CN"), -1, -1, 0);
        ok = X509_REQ_set_pubkey(req, key) == 1;
    }
    if (ok) {
        EVP_MD_CTX* mctx = EVP_MD_CTX_new();
        EVP_PKEY_CTX* pctx = nullptr;
        ok = mctx && EVP_DigestSignInit(mctx, &pctx, sm2 ? EVP_sm3() : EVP_sha1(), nullptr, key) == 1;
        if (ok && sm2) ok = EVP_PKEY_CTX_set1_id(pctx, "1234567812345678", 16) == 1;
        if (ok) ok = X509_REQ_sign_ctx(req, mctx) > 0;
        EVP_MD_CTX_free(mctx);
    }
    if (ok) {
        unsigned char* der = nullptr;
        int n = i2d_X509_REQ(req, &der);
        ok = n > 0;
        if (ok) {
            std::string b64(4 * ((static_cast<size_t>(n) + 2) / 3) + 1, '\0');
            EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&b64[0]), der, n);
            benchmark::DoNotOptimize(b64.data());
        }
        OPENSSL_free(der);
    }
    X509_REQ_free(req);
    EVP_PKEY_free(key);
    EVP_PKEY_free(exchange);
    return ok;
}

void OpenSSLRequests(benchmark::State& state, bool sm2, int bits, int certType) {
    for (auto _ : state) {
        if (!OpenSSLRequest(sm2, bits, certType)) {
            state.SkipWithError("OpenSSL failed");
            break;
        }
    }
}

void BM_Host_SM2_Type1(benchmark::State& s) { HostRequests(s, 256, SM2_PROVIDER, "SM2", 1); }
void BM_OpenSSL_SM2_Type1(benchmark::State& s) { OpenSSLRequests(s, true, 256, 1); }
void BM_Host_SM2_Type2(benchmark::State& s) { HostRequests(s, 256, SM2_PROVIDER, "SM2", 2); }
void BM_OpenSSL_SM2_Type2(benchmark::State& s) { OpenSSLRequests(s, true, 256, 2); }
void BM_Host_RSA2048_Type1(benchmark::State& s) { HostRequests(s, 2048, RSA_PROVIDER, "RSA", 1); }
void BM_OpenSSL_RSA2048_Type1(benchmark::State& s) { OpenSSLRequests(s, false, 2048, 1); }
void BM_Host_RSA2048_Type2(benchmark::State& s) { HostRequests(s, 2048, RSA_PROVIDER, "RSA", 2); }
void BM_OpenSSL_RSA2048_Type2(benchmark::State& s) { OpenSSLRequests(s, false, 2048, 2); }

// 1,000 SM2 requests through one host; its resident set read after every
// request. Warm-up is the first 100; growth is measured from there. Every
// request adds a container to the user hive, so the registry database's page
// cache (SQLite's default, 2 MiB per connection) fills slowly: a few hundred
// KiB over these 1,000 requests, flat once the cache is full (about 5,000).
void BM_Host_SM2_Memory_1000Requests(benchmark::State& state) {
    signal(SIGPIPE, SIG_IGN);
    const int kRequests = 1000, kWarmup = 100;
    for (auto _ : state) {
        Host host;
        if (!host.Setup(256, SM2_PROVIDER, "SM2")) {
            state.SkipWithError("the host refused the settings");
            return;
        }
        long rssWarm = -1, rssMaxAfterWarm = 0, rssFinal = -1;
        std::string series;
        for (int i = 1; i <= kRequests; ++i) {
            if (!host.Request(1)) {
                state.SkipWithError(("request failed: " + host.response()).c_str());
                return;
            }
            long rss = StatusKiB(host.pid(), "VmRSS");
            if (i == kWarmup) rssWarm = rss;
            if (i >= kWarmup) rssMaxAfterWarm = std::max(rssMaxAfterWarm, rss);
            if (i % 100 == 0) series += " " + std::to_string(i) + ":" + std::to_string(rss);
            rssFinal = rss;
        }
        long hwm = StatusKiB(host.pid(), "VmHWM");
        fprintf(stderr, "host VmRSS KiB after N requests:%s; VmHWM %ld KiB\n", series.c_str(), hwm);
        state.counters["VmHWM_KiB"] = static_cast<double>(hwm);
        state.counters["VmRSS_warm_KiB"] = static_cast<double>(rssWarm);
        state.counters["VmRSS_max_after_warm_KiB"] = static_cast<double>(rssMaxAfterWarm);
        state.counters["VmRSS_final_KiB"] = static_cast<double>(rssFinal);
        state.counters["growth_after_warm_KiB"] = static_cast<double>(rssMaxAfterWarm - rssWarm);
    }
}

// Host and reference side by side, each pair in the same run.
BENCHMARK(BM_Host_SM2_Type1)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_OpenSSL_SM2_Type1)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_Host_SM2_Type2)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_OpenSSL_SM2_Type2)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_Host_RSA2048_Type1)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(20.0);
BENCHMARK(BM_OpenSSL_RSA2048_Type1)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(20.0);
BENCHMARK(BM_Host_RSA2048_Type2)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(20.0);
BENCHMARK(BM_OpenSSL_RSA2048_Type2)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(20.0);
BENCHMARK(BM_Host_SM2_Memory_1000Requests)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
