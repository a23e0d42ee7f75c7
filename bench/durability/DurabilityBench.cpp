// What durable answers cost a certificate request. Each request (SM2 type 1,
// SM2 type 2, RSA-2048 type 1) goes through the host's request handling in
// this process, twice: (a) as the host runs now, commits deferred and the
// changed hives' logs synced before the answer (RegistryMakeDurable); (b)
// deferred and never synced, as before. Beside them, (c) one fdatasync of a
// 4 KiB page in a file of a prefix like theirs, overwritten in place and,
// as a growing log is written, appended. A VFS under SQLite counts the syncs
// and bytes of every request and the hives it wrote to.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/LumoraHost.h"
#include "win/platform_registry.h"

namespace {

// ---- Counting VFS over "unix" ----

struct Counts {
    std::mutex mutex;
    std::map<std::string, long> syncs, writes;  // by file name, e.g. "user.db-wal"
    long bytes = 0;                             // written to any file
};
Counts& Counted() {
    static Counts c;
    return c;
}

struct CountedFile {
    sqlite3_file base;
    char name[64];
};
constexpr size_t kHead = (sizeof(CountedFile) + 15) & ~size_t(15);
sqlite3_vfs* g_unix = nullptr;
sqlite3_io_methods g_methods;

sqlite3_file* Inner(sqlite3_file* f) { return reinterpret_cast<sqlite3_file*>(reinterpret_cast<char*>(f) + kHead); }
const char* NameOf(sqlite3_file* f) { return reinterpret_cast<CountedFile*>(f)->name; }
void Bump(std::map<std::string, long> Counts::*which, sqlite3_file* f) {
    std::lock_guard<std::mutex> g(Counted().mutex);
    ++(Counted().*which)[NameOf(f)];
}

int Close(sqlite3_file* f) { return Inner(f)->pMethods->xClose(Inner(f)); }
int Read(sqlite3_file* f, void* p, int n, sqlite3_int64 o) { return Inner(f)->pMethods->xRead(Inner(f), p, n, o); }
int Write(sqlite3_file* f, const void* p, int n, sqlite3_int64 o) {
    Bump(&Counts::writes, f);
    {
        std::lock_guard<std::mutex> g(Counted().mutex);
        Counted().bytes += n;
    }
    return Inner(f)->pMethods->xWrite(Inner(f), p, n, o);
}
int Truncate(sqlite3_file* f, sqlite3_int64 n) { return Inner(f)->pMethods->xTruncate(Inner(f), n); }
int Sync(sqlite3_file* f, int flags) {
    Bump(&Counts::syncs, f);
    return Inner(f)->pMethods->xSync(Inner(f), flags);
}
int FileSize(sqlite3_file* f, sqlite3_int64* p) { return Inner(f)->pMethods->xFileSize(Inner(f), p); }
int Lock(sqlite3_file* f, int l) { return Inner(f)->pMethods->xLock(Inner(f), l); }
int Unlock(sqlite3_file* f, int l) { return Inner(f)->pMethods->xUnlock(Inner(f), l); }
int CheckReserved(sqlite3_file* f, int* p) { return Inner(f)->pMethods->xCheckReservedLock(Inner(f), p); }
int FileControl(sqlite3_file* f, int op, void* p) { return Inner(f)->pMethods->xFileControl(Inner(f), op, p); }
int SectorSize(sqlite3_file* f) { return Inner(f)->pMethods->xSectorSize(Inner(f)); }
int Characteristics(sqlite3_file* f) { return Inner(f)->pMethods->xDeviceCharacteristics(Inner(f)); }
int ShmMap(sqlite3_file* f, int i, int sz, int ext, void volatile** pp) {
    return Inner(f)->pMethods->xShmMap(Inner(f), i, sz, ext, pp);
}
int ShmLock(sqlite3_file* f, int o, int n, int fl) { return Inner(f)->pMethods->xShmLock(Inner(f), o, n, fl); }
void ShmBarrier(sqlite3_file* f) { Inner(f)->pMethods->xShmBarrier(Inner(f)); }
int ShmUnmap(sqlite3_file* f, int d) { return Inner(f)->pMethods->xShmUnmap(Inner(f), d); }
int Fetch(sqlite3_file* f, sqlite3_int64 o, int n, void** pp) { return Inner(f)->pMethods->xFetch(Inner(f), o, n, pp); }
int Unfetch(sqlite3_file* f, sqlite3_int64 o, void* p) { return Inner(f)->pMethods->xUnfetch(Inner(f), o, p); }

int Open(sqlite3_vfs*, sqlite3_filename zName, sqlite3_file* f, int flags, int* pOut) {
    auto* c = reinterpret_cast<CountedFile*>(f);
    const char* slash = zName ? strrchr(zName, '/') : nullptr;
    snprintf(c->name, sizeof c->name, "%s", slash ? slash + 1 : (zName ? zName : ""));
    int rc = g_unix->xOpen(g_unix, zName, Inner(f), flags, pOut);
    f->pMethods = (rc == SQLITE_OK && Inner(f)->pMethods) ? &g_methods : nullptr;
    return rc;
}

void RegisterCountingVfs() {
    static sqlite3_vfs vfs;
    g_unix = sqlite3_vfs_find("unix");
    g_methods = {3,        Close,         Read,        Write,      Truncate,        Sync,   FileSize, Lock,
                 Unlock,   CheckReserved, FileControl, SectorSize, Characteristics, ShmMap, ShmLock,  ShmBarrier,
                 ShmUnmap, Fetch,         Unfetch};
    vfs = *g_unix;  // every other call goes straight to "unix" with its own data
    vfs.szOsFile = static_cast<int>(kHead) + g_unix->szOsFile;
    vfs.zName = "counting";
    vfs.xOpen = Open;
    sqlite3_vfs_register(&vfs, 1);
}

// ---- Prefixes ----

// A fresh prefix per benchmark, inside the one the run was given, so that
// (a) and (b) start alike; the hives, their logs and the reference file live there.
class BenchPrefix {
public:
    BenchPrefix() {
        const char* base = getenv("TESSARO_PREFIX");
        m_old = base ? base : "";
        std::string tmpl = (base ? std::string(base) : std::string("/tmp")) + "/durability-XXXXXX";
        std::vector<char> buf(tmpl.begin(), tmpl.end());
        buf.push_back('\0');
        if (mkdtemp(buf.data())) m_path = buf.data();
        setenv("TESSARO_PREFIX", m_path.c_str(), 1);
    }
    ~BenchPrefix() {
        if (m_old.empty())
            unsetenv("TESSARO_PREFIX");
        else
            setenv("TESSARO_PREFIX", m_old.c_str(), 1);
        std::error_code ec;
        std::filesystem::remove_all(m_path, ec);
    }
    const std::string& path() const { return m_path; }

private:
    std::string m_path, m_old;
};

// ---- Requests ----

struct Kind {
    const char* label;
    const char* provider;
    int bits;
    const char* algorithm;
    int certType;
};
const Kind kKinds[] = {{"SM2-type1", "Tessaro SM2 Token CSP v1.0", 256, "SM2", 1},
                       {"SM2-type2", "Tessaro SM2 Token CSP v1.0", 256, "SM2", 2},
                       {"RSA2048-type1", "Microsoft Enhanced Cryptographic Provider v1.0", 2048, "RSA", 1}};

bool Ask(CCryptoAgent& agent, const std::string& request, bool durable) {
    g_pobjCryptoAgent = &agent;
    char* psz = nullptr;
    ParseAndRespondRequest(request.c_str(), &psz);
    std::unique_ptr<char[]> hold(psz);
    bool ok = psz && strstr(psz, "\"errorcode\":0,") != nullptr;
    if (durable) ok = tessaro_platform::RegistryMakeDurable() == ERROR_SUCCESS && ok;
    g_pobjCryptoAgent = nullptr;
    return ok;
}

std::string RequestText(const Kind& k) {
    return std::string("{\"function\":\"KEVO_PKCS10CertRequisition\",\"params\":[\"CN=Durability,O=Tessaro,C=CN\",") +
           std::to_string(k.certType) + ",0]}";
}

long Sum(const std::map<std::string, long>& m) {
    long n = 0;
    for (auto& e : m) n += e.second;
    return n;
}

// The hives whose database or log was written between the two counts.
int HivesWritten(const std::map<std::string, long>& before, const std::map<std::string, long>& after) {
    int n = 0;
    for (const char* hive : {"machine.db", "user.db"}) {
        bool written = false;
        for (const char* suffix : {"", "-wal"}) {
            std::string name = std::string(hive) + suffix;
            auto a = after.find(name);
            auto b = before.find(name);
            written = written || (a != after.end() && a->second != (b == before.end() ? 0 : b->second));
        }
        n += written;
    }
    return n;
}

void BM_Request(benchmark::State& state, const Kind* k, bool durable) {
    BenchPrefix prefix;
    tessaro_platform::RegistryDeferDurability(true);
    CCryptoAgent agent(GetModuleHandleW(nullptr));
    const std::string setCsp =
        "{\"function\":\"KEVO_SetCSPInfo\",\"params\":[" + std::to_string(k->bits) + ",\"" + k->provider + "\"]}";
    const std::string setAlg =
        std::string("{\"function\":\"KEVO_SetKeyAlgorithm\",\"params\":[\"") + k->algorithm + "\"]}";
    // The first request also creates the hives and their logs.
    if (!Ask(agent, setCsp, durable) || !Ask(agent, setAlg, durable) || !Ask(agent, RequestText(*k), durable)) {
        state.SkipWithError("the request failed");
        return;
    }
    const std::string request = RequestText(*k);
    long syncs = 0, hives = 0, worst = 0, bytes = 0;
    double syncSeconds = 0;
    for (auto _ : state) {
        std::map<std::string, long> syncsBefore, writesBefore;
        long bytesBefore = 0;
        {
            std::lock_guard<std::mutex> g(Counted().mutex);
            syncsBefore = Counted().syncs;
            writesBefore = Counted().writes;
            bytesBefore = Counted().bytes;
        }
        g_pobjCryptoAgent = &agent;
        char* psz = nullptr;
        ParseAndRespondRequest(request.c_str(), &psz);
        std::unique_ptr<char[]> hold(psz);
        g_pobjCryptoAgent = nullptr;
        if (!psz || !strstr(psz, "\"errorcode\":0,")) {
            state.SkipWithError("the request failed");
            break;
        }
        if (durable) {
            auto t0 = std::chrono::steady_clock::now();
            if (tessaro_platform::RegistryMakeDurable() != ERROR_SUCCESS) {
                state.SkipWithError("RegistryMakeDurable failed");
                break;
            }
            syncSeconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        }
        std::lock_guard<std::mutex> g(Counted().mutex);
        long s = Sum(Counted().syncs) - Sum(syncsBefore);
        int h = HivesWritten(writesBefore, Counted().writes);
        syncs += s;
        hives += h;
        bytes += Counted().bytes - bytesBefore;
        worst = std::max(worst, s - h);
    }
    const double n = static_cast<double>(state.iterations() ? state.iterations() : 1);
    state.counters["syncs"] = syncs / n;
    state.counters["hives_written"] = hives / n;
    state.counters["worst_syncs_over_hives"] = static_cast<double>(worst);
    state.counters["make_durable_us"] = syncSeconds * 1e6 / n;
    state.counters["bytes_written"] = bytes / n;
    tessaro_platform::RegistryDeferDurability(false);
}

// The reference: one page written and fdatasync-ed, in a file beside the
// hives; overwritten in place (as a log that has wrapped is), or appended
// (as a growing log is, which makes the sync commit the file's size too).
void BM_Fdatasync(benchmark::State& state, bool append) {
    BenchPrefix prefix;
    int fd = open((prefix.path() + "/reference").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    std::vector<char> page(4096, 'x');
    if (fd < 0 || pwrite(fd, page.data(), page.size(), 0) != 4096 || fsync(fd) != 0) {
        state.SkipWithError("cannot write the reference file");
        if (fd >= 0) close(fd);
        return;
    }
    off_t end = 4096;
    for (auto _ : state) {
        ++page[0];
        if (append && end >= (off_t(16) << 20)) {  // a log this long would have been checkpointed and reset
            state.PauseTiming();
            end = ftruncate(fd, 4096) == 0 && fsync(fd) == 0 ? 4096 : -1;
            state.ResumeTiming();
        }
        const off_t at = append ? end : 0;
        if (at < 0 || pwrite(fd, page.data(), page.size(), at) != 4096 || fdatasync(fd) != 0) {
            state.SkipWithError("fdatasync failed");
            break;
        }
        end += 4096;
    }
    close(fd);
}

}  // namespace

int main(int argc, char** argv) {
    RegisterCountingVfs();  // before any hive is opened
    for (const Kind& k : kKinds) {
        // RSA key generation varies a lot from key to key: a fixed, larger sample.
        const bool rsa = std::string(k.algorithm) == "RSA";
        for (bool durable : {true, false}) {
            auto* b = benchmark::RegisterBenchmark(
                (std::string("Request/") + k.label + (durable ? "/a-durable" : "/b-deferred-unsynced")).c_str(),
                BM_Request, &k, durable);
            b->Unit(benchmark::kMillisecond)->UseRealTime();
            if (rsa) b->Iterations(20);
        }
    }
    for (bool append : {false, true})
        benchmark::RegisterBenchmark(append ? "Fdatasync/c-4KiB-appended" : "Fdatasync/c-4KiB-in-place", BM_Fdatasync,
                                     append)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
    // A sync costs about as much as the noise of a shared disk: repeated runs,
    // interleaved, unless the command line says otherwise.
    std::vector<char*> args{argv[0]};
    static char repetitions[] = "--benchmark_repetitions=3",
                interleave[] = "--benchmark_enable_random_interleaving=true",
                aggregates[] = "--benchmark_report_aggregates_only=true";
    args.insert(args.end(), {repetitions, interleave, aggregates});
    args.insert(args.end(), argv + 1, argv + argc);
    int n = static_cast<int>(args.size());
    args.push_back(nullptr);
    benchmark::Initialize(&n, args.data());
    if (benchmark::ReportUnrecognizedArguments(n, args.data())) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
