// Power cuts: enrollments run in this process, through the host's request
// handling, while a VFS under SQLite records every write, truncation, sync,
// creation and deletion of the prefix's database files. For cut points at
// and between the syncs, the disks a power cut could leave are built (the
// writes since a file's last sync lost, or half of them kept and the next
// torn, or all kept; directory entries made since the directory's last sync
// lost) and opened as a fresh prefix. There, everything answered before the
// cut is present and usable, nothing half-made shows, and both databases
// pass SQLite's integrity check.
#include <dirent.h>
#include <dlfcn.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cjson/cJSON.h>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "host/LumoraHost.h"
#include "tessaro/Handles.h"
#include "tests/import/OpenSslSide.h"
#include "tests/support/EnrollTestSupport.h"
#include "tests/support/TestSupport.h"
#include "win/platform_registry.h"

using namespace enroll_test;
using importenc_test::Bytes;

namespace {

// ---- The record of what reached the files ----

struct Op {
    enum Kind { kCreate, kWrite, kTruncate, kSync, kDirSync, kDelete } kind;
    std::string name;    // the file's name in the prefix
    int64_t offset = 0;  // kWrite: where; kTruncate: the new size
    std::string data;    // kWrite: the bytes; kCreate: what the file held
};

const char* KindName(Op::Kind k) {
    static const char* const names[] = {"create", "write", "truncate", "sync", "dirsync", "delete"};
    return names[k];
}

// The hives and their logs; the shared-memory index is not kept on a disk.
bool Tracked(const std::string& name) {
    for (const char* base : {"machine.db", "user.db"})
        for (const char* suffix : {"", "-wal", "-journal"})
            if (name == std::string(base) + suffix) return true;
    return false;
}

class Recorder {
public:
    void Start(const std::string& dir) {
        std::lock_guard<std::recursive_mutex> g(m_mutex);
        struct stat st {};
        ASSERT_EQ(stat(dir.c_str(), &st), 0) << dir;
        m_dir = dir;
        m_dev = st.st_dev;
        m_ino = st.st_ino;
        m_ops.clear();
        m_names.clear();
        m_on = true;
    }
    void Stop() {
        std::lock_guard<std::recursive_mutex> g(m_mutex);
        m_on = false;
    }
    size_t Size() {
        std::lock_guard<std::recursive_mutex> g(m_mutex);
        return m_ops.size();
    }
    std::vector<Op> Ops() {
        std::lock_guard<std::recursive_mutex> g(m_mutex);
        return m_ops;
    }

    // The file's name when it is one of the recorded prefix's tracked files.
    bool Name(const char* path, std::string& name) {
        std::lock_guard<std::recursive_mutex> g(m_mutex);
        if (!m_on || !path || strncmp(path, m_dir.c_str(), m_dir.size()) != 0 || path[m_dir.size()] != '/')
            return false;
        name = path + m_dir.size() + 1;
        return Tracked(name);
    }

    // A file appears in the record with what it holds when first seen
    // (created by SQLite, or by the platform before SQLite opens it).
    void Seen(const std::string& name) {
        std::lock_guard<std::recursive_mutex> g(m_mutex);
        if (!m_on || m_names.count(name)) return;
        m_names.insert(name);
        m_ops.push_back({Op::kCreate, name, 0, tessaro_test::ReadFile(m_dir + "/" + name)});
    }
    void Add(Op op) {
        std::lock_guard<std::recursive_mutex> g(m_mutex);
        if (!m_on) return;
        if (op.kind == Op::kDelete) m_names.erase(op.name);
        m_ops.push_back(std::move(op));
    }

    // An fsync of the prefix directory: whatever entries it holds now are durable.
    void FdSynced(int fd) {
        std::lock_guard<std::recursive_mutex> g(m_mutex);
        if (!m_on) return;
        struct stat st {};
        if (fstat(fd, &st) != 0 || !S_ISDIR(st.st_mode) || st.st_dev != m_dev || st.st_ino != m_ino) return;
        if (DIR* d = opendir(m_dir.c_str())) {
            while (dirent* e = readdir(d))
                if (Tracked(e->d_name)) Seen(e->d_name);
            closedir(d);
        }
        m_ops.push_back({Op::kDirSync, "", 0, ""});
    }

private:
    std::recursive_mutex m_mutex;
    bool m_on = false;
    std::string m_dir;
    dev_t m_dev = 0;
    ino_t m_ino = 0;
    std::vector<Op> m_ops;
    std::set<std::string> m_names;
};

Recorder& Rec() {
    static Recorder r;
    return r;
}

}  // namespace

// Directory syncs happen outside the VFS (SQLite's after a new log's first
// sync, the platform's after it creates a database), so fsync itself is
// watched.
extern "C" __attribute__((visibility("default"))) int fsync(int fd) {
    static auto real = reinterpret_cast<int (*)(int)>(dlsym(RTLD_NEXT, "fsync"));
    int rc = real(fd);
    if (rc == 0) Rec().FdSynced(fd);
    return rc;
}
extern "C" __attribute__((visibility("default"))) int fdatasync(int fd) {
    static auto real = reinterpret_cast<int (*)(int)>(dlsym(RTLD_NEXT, "fdatasync"));
    int rc = real(fd);
    if (rc == 0) Rec().FdSynced(fd);
    return rc;
}

namespace {

// ---- The recording VFS over "unix" ----

struct ShimFile {
    sqlite3_file base;
    bool tracked;
    char name[32];
};
constexpr size_t kShimHead = (sizeof(ShimFile) + 15) & ~size_t(15);

sqlite3_vfs* g_real = nullptr;

sqlite3_file* Inner(sqlite3_file* f) { return reinterpret_cast<sqlite3_file*>(reinterpret_cast<char*>(f) + kShimHead); }
ShimFile* Shim(sqlite3_file* f) { return reinterpret_cast<ShimFile*>(f); }
const sqlite3_io_methods* M(sqlite3_file* f) { return Inner(f)->pMethods; }

int ShimClose(sqlite3_file* f) { return M(f)->xClose(Inner(f)); }
int ShimRead(sqlite3_file* f, void* p, int n, sqlite3_int64 off) { return M(f)->xRead(Inner(f), p, n, off); }
int ShimWrite(sqlite3_file* f, const void* p, int n, sqlite3_int64 off) {
    int rc = M(f)->xWrite(Inner(f), p, n, off);
    if (rc == SQLITE_OK && Shim(f)->tracked)
        Rec().Add({Op::kWrite, Shim(f)->name, off, std::string(static_cast<const char*>(p), static_cast<size_t>(n))});
    return rc;
}
int ShimTruncate(sqlite3_file* f, sqlite3_int64 size) {
    int rc = M(f)->xTruncate(Inner(f), size);
    if (rc == SQLITE_OK && Shim(f)->tracked) Rec().Add({Op::kTruncate, Shim(f)->name, size, ""});
    return rc;
}
int ShimSync(sqlite3_file* f, int flags) {
    int rc = M(f)->xSync(Inner(f), flags);
    if (rc == SQLITE_OK && Shim(f)->tracked) Rec().Add({Op::kSync, Shim(f)->name, 0, ""});
    return rc;
}
int ShimFileSize(sqlite3_file* f, sqlite3_int64* p) { return M(f)->xFileSize(Inner(f), p); }
int ShimLock(sqlite3_file* f, int l) { return M(f)->xLock(Inner(f), l); }
int ShimUnlock(sqlite3_file* f, int l) { return M(f)->xUnlock(Inner(f), l); }
int ShimCheckReserved(sqlite3_file* f, int* p) { return M(f)->xCheckReservedLock(Inner(f), p); }
int ShimFileControl(sqlite3_file* f, int op, void* p) { return M(f)->xFileControl(Inner(f), op, p); }
int ShimSectorSize(sqlite3_file* f) { return M(f)->xSectorSize(Inner(f)); }
int ShimDeviceCharacteristics(sqlite3_file* f) { return M(f)->xDeviceCharacteristics(Inner(f)); }
int ShimShmMap(sqlite3_file* f, int i, int sz, int ext, void volatile** pp) {
    return M(f)->xShmMap(Inner(f), i, sz, ext, pp);
}
int ShimShmLock(sqlite3_file* f, int off, int n, int flags) { return M(f)->xShmLock(Inner(f), off, n, flags); }
void ShimShmBarrier(sqlite3_file* f) { M(f)->xShmBarrier(Inner(f)); }
int ShimShmUnmap(sqlite3_file* f, int del) { return M(f)->xShmUnmap(Inner(f), del); }
int ShimFetch(sqlite3_file* f, sqlite3_int64 off, int n, void** pp) { return M(f)->xFetch(Inner(f), off, n, pp); }
int ShimUnfetch(sqlite3_file* f, sqlite3_int64 off, void* p) { return M(f)->xUnfetch(Inner(f), off, p); }

// Memory-mapped writes would bypass xWrite; SQLite only maps with mmap_size set, which the platform never does.
const sqlite3_io_methods kShimMethods = {3,
                                         ShimClose,
                                         ShimRead,
                                         ShimWrite,
                                         ShimTruncate,
                                         ShimSync,
                                         ShimFileSize,
                                         ShimLock,
                                         ShimUnlock,
                                         ShimCheckReserved,
                                         ShimFileControl,
                                         ShimSectorSize,
                                         ShimDeviceCharacteristics,
                                         ShimShmMap,
                                         ShimShmLock,
                                         ShimShmBarrier,
                                         ShimShmUnmap,
                                         ShimFetch,
                                         ShimUnfetch};

int ShimOpen(sqlite3_vfs*, sqlite3_filename zName, sqlite3_file* f, int flags, int* pOutFlags) {
    ShimFile* s = Shim(f);
    s->tracked = false;
    std::string name;
    bool tracked = Rec().Name(zName, name) && name.size() < sizeof s->name;
    int rc = g_real->xOpen(g_real, zName, Inner(f), flags, pOutFlags);
    if (rc != SQLITE_OK || Inner(f)->pMethods == nullptr) {
        f->pMethods = nullptr;
        return rc;
    }
    f->pMethods = &kShimMethods;
    if (tracked) {
        s->tracked = true;
        snprintf(s->name, sizeof s->name, "%s", name.c_str());
        Rec().Seen(name);
    }
    return rc;
}
int ShimDelete(sqlite3_vfs*, const char* zName, int syncDir) {
    // Recorded first: a directory sync inside the call comes after it.
    std::string name;
    struct stat st {};
    if (Rec().Name(zName, name) && stat(zName, &st) == 0) Rec().Add({Op::kDelete, name, 0, ""});
    return g_real->xDelete(g_real, zName, syncDir);
}
int ShimAccess(sqlite3_vfs*, const char* z, int flags, int* p) { return g_real->xAccess(g_real, z, flags, p); }
int ShimFullPathname(sqlite3_vfs*, const char* z, int n, char* out) { return g_real->xFullPathname(g_real, z, n, out); }
void* ShimDlOpen(sqlite3_vfs*, const char* z) { return g_real->xDlOpen(g_real, z); }
void ShimDlError(sqlite3_vfs*, int n, char* z) { g_real->xDlError(g_real, n, z); }
void (*ShimDlSym(sqlite3_vfs*, void* p, const char* z))(void) { return g_real->xDlSym(g_real, p, z); }
void ShimDlClose(sqlite3_vfs*, void* p) { g_real->xDlClose(g_real, p); }
int ShimRandomness(sqlite3_vfs*, int n, char* z) { return g_real->xRandomness(g_real, n, z); }
int ShimSleep(sqlite3_vfs*, int us) { return g_real->xSleep(g_real, us); }
int ShimCurrentTime(sqlite3_vfs*, double* p) { return g_real->xCurrentTime(g_real, p); }
int ShimGetLastError(sqlite3_vfs*, int n, char* z) { return g_real->xGetLastError(g_real, n, z); }
int ShimCurrentTimeInt64(sqlite3_vfs*, sqlite3_int64* p) { return g_real->xCurrentTimeInt64(g_real, p); }
int ShimSetSystemCall(sqlite3_vfs*, const char* z, sqlite3_syscall_ptr p) {
    return g_real->xSetSystemCall(g_real, z, p);
}
sqlite3_syscall_ptr ShimGetSystemCall(sqlite3_vfs*, const char* z) { return g_real->xGetSystemCall(g_real, z); }
const char* ShimNextSystemCall(sqlite3_vfs*, const char* z) { return g_real->xNextSystemCall(g_real, z); }

// Made the default before the platform opens a hive.
void RegisterShim() {
    static sqlite3_vfs vfs;
    if (g_real) return;
    g_real = sqlite3_vfs_find("unix");
    ASSERT_NE(g_real, nullptr);
    vfs = *g_real;
    vfs.iVersion = 3;
    vfs.szOsFile = static_cast<int>(kShimHead) + g_real->szOsFile;
    vfs.zName = "powercut";
    vfs.pAppData = nullptr;
    vfs.xOpen = ShimOpen;
    vfs.xDelete = ShimDelete;
    vfs.xAccess = ShimAccess;
    vfs.xFullPathname = ShimFullPathname;
    vfs.xDlOpen = ShimDlOpen;
    vfs.xDlError = ShimDlError;
    vfs.xDlSym = ShimDlSym;
    vfs.xDlClose = ShimDlClose;
    vfs.xRandomness = ShimRandomness;
    vfs.xSleep = ShimSleep;
    vfs.xCurrentTime = ShimCurrentTime;
    vfs.xGetLastError = ShimGetLastError;
    vfs.xCurrentTimeInt64 = ShimCurrentTimeInt64;
    vfs.xSetSystemCall = ShimSetSystemCall;
    vfs.xGetSystemCall = ShimGetSystemCall;
    vfs.xNextSystemCall = ShimNextSystemCall;
    ASSERT_EQ(sqlite3_vfs_register(&vfs, 1), SQLITE_OK);
}

// ---- Disk images ----

enum class Data { kDropped, kTorn, kKept };  // what became of the writes since a file's last sync

struct Inode {
    std::string durable, live;
    std::vector<const Op*> pending;
};

void Apply(std::string& content, const Op& op, size_t limit = SIZE_MAX) {
    if (op.kind == Op::kTruncate) {
        content.resize(static_cast<size_t>(op.offset));
        return;
    }
    size_t n = std::min(op.data.size(), limit), off = static_cast<size_t>(op.offset);
    if (content.size() < off + n) content.resize(off + n, '\0');
    memcpy(&content[off], op.data.data(), n);
}

// The files after ops [0, cut), as the disk has them.
struct DiskState {
    std::map<std::string, std::shared_ptr<Inode>> entries, durableEntries;

    explicit DiskState(const std::vector<Op>& ops, size_t cut) {
        for (size_t i = 0; i < cut; ++i) {
            const Op& op = ops[i];
            switch (op.kind) {
            case Op::kCreate: {
                auto n = std::make_shared<Inode>();
                n->durable = n->live = op.data;
                entries[op.name] = n;
                break;
            }
            case Op::kWrite:
            case Op::kTruncate:
                if (auto it = entries.find(op.name); it != entries.end()) {
                    Apply(it->second->live, op);
                    it->second->pending.push_back(&op);
                }
                break;
            case Op::kSync:
                if (auto it = entries.find(op.name); it != entries.end()) {
                    it->second->durable = it->second->live;
                    it->second->pending.clear();
                }
                break;
            case Op::kDirSync:
                durableEntries = entries;
                break;
            case Op::kDelete:
                entries.erase(op.name);
                break;
            }
        }
    }

    bool Pending() const {
        for (auto& e : entries)
            if (!e.second->pending.empty()) return true;
        return false;
    }

    // lostEntries: the directory as of its last sync.
    std::map<std::string, std::string> Image(Data data, bool lostEntries) const {
        std::map<std::string, std::string> files;
        for (auto& [name, n] : lostEntries ? durableEntries : entries) {
            std::string c = data == Data::kKept ? n->live : n->durable;
            if (data == Data::kTorn && !n->pending.empty()) {
                // The log's frames count only up to the first bad one, so the
                // first half of what is pending reaches the disk, then a write torn in two.
                const size_t kept = n->pending.size() / 2;
                for (size_t i = 0; i < kept; ++i) Apply(c, *n->pending[i]);
                const Op& torn = *n->pending[kept];
                Apply(c, torn, torn.kind == Op::kWrite ? torn.data.size() / 2 : SIZE_MAX);
            }
            files[name] = c;
        }
        return files;
    }

    // What a failure report needs: per file, what is not yet durable.
    std::string Describe(const std::vector<Op>& ops, size_t cut) const {
        std::string s = "cut after op " + std::to_string(cut) + " of " + std::to_string(ops.size()) + ";";
        for (auto& [name, n] : entries) {
            s += " " + name + ": durable " + std::to_string(n->durable.size()) + " bytes, live " +
                 std::to_string(n->live.size()) + (durableEntries.count(name) ? "" : " (entry not synced)") + ",";
            if (n->pending.size() > 4) s += " " + std::to_string(n->pending.size() - 4) + " more, then";
            for (size_t i = n->pending.size() > 4 ? n->pending.size() - 4 : 0; i < n->pending.size(); ++i) {
                const Op* p = n->pending[i];
                s += std::string(" ") + KindName(p->kind) + "@" + std::to_string(p->offset) +
                     (p->kind == Op::kWrite ? "+" + std::to_string(p->data.size()) : "");
            }
        }
        for (size_t i = cut > 6 ? cut - 6 : 0; i < cut; ++i)
            s += std::string("\n  op ") + std::to_string(i) + ": " + KindName(ops[i].kind) + " " + ops[i].name +
                 (ops[i].kind == Op::kWrite
                      ? " @" + std::to_string(ops[i].offset) + "+" + std::to_string(ops[i].data.size())
                      : "");
        return s;
    }
};

// ---- The enrollments ----

struct Kind {
    const char* provider;
    int bits;
    const char* algorithm;
    int certType;  // 1 single, 2 double
};

// What an enrollment made, and how far its answers got.
struct Made {
    const Kind* kind;
    std::string container;
    Bytes signDer, encDer;
    bool sm2() const { return std::string(kind->algorithm) == "SM2"; }
    bool microsoft() const { return std::string(kind->provider).find("Microsoft") == 0; }
};
enum Stage { kNothing, kRequested, kSignInstalled, kEncImported };
struct Answer {
    size_t position;  // ops recorded when it was answered
    size_t enrollment;
    Stage stage;
};

std::string JsonText(const std::string& json, const char* field) {
    cJSON* root = cJSON_Parse(json.c_str());
    cJSON* v = root ? cJSON_GetObjectItem(root, field) : nullptr;
    std::string s = cJSON_IsString(v) ? v->valuestring : "";
    cJSON_Delete(root);
    return s;
}

// What was running between two points of the record, for the reports.
struct Span {
    size_t from, to;
    std::string what;
};
std::vector<Span>& Spans() {
    static std::vector<Span> v;
    return v;
}
std::string RunningAt(size_t cut) {
    for (const Span& s : Spans())
        if (s.from < cut && cut <= s.to) return s.what;
    return "between requests";
}

// One page load: a host's agent, answering requests the way the host does,
// with what they changed made durable before the answer.
class Page {
public:
    explicit Page(size_t enrollment) : m_agent(GetModuleHandleW(nullptr)), m_enrollment(enrollment) {}
    Response Ask(const std::string& request) {
        Span span{Rec().Size(), 0, JsonText(request, "function") + " of enrollment " + std::to_string(m_enrollment)};
        g_pobjCryptoAgent = &m_agent;
        char* psz = nullptr;
        ParseAndRespondRequest(request.c_str(), &psz);
        std::unique_ptr<char[]> hold(psz);
        EXPECT_EQ(tessaro_platform::RegistryMakeDurable(), static_cast<LSTATUS>(ERROR_SUCCESS));
        g_pobjCryptoAgent = nullptr;
        span.to = Rec().Size();
        Spans().push_back(span);
        return Decode(psz ? psz : "");
    }
    bool Setup(const Kind& k) {
        return Ask(Call("KEVO_SetCSPInfo", {Num(k.bits), Str(k.provider)})).errorcode == 0 &&
               Ask(Call("KEVO_SetKeyAlgorithm", {Str(k.algorithm)})).errorcode == 0;
    }

private:
    CCryptoAgent m_agent;
    size_t m_enrollment;
};

std::string Testca(const std::vector<std::string>& args, const std::string& input) {
    std::vector<std::string> argv{tessaro_test::BuildPath("tessaro-testca")};
    argv.insert(argv.end(), args.begin(), args.end());
    auto r = tessaro_test::RunProcess(argv, input);
    EXPECT_EQ(r.exitCode, 0) << args[0] << ": " << r.err;
    return r.exitCode == 0 ? r.out : "";
}

std::string Trimmed(std::string s) {
    s.erase(std::remove_if(s.begin(), s.end(), [](char c) { return c == '\r' || c == '\n' || c == ' '; }), s.end());
    return s;
}

// Request, sign install and (double) encryption import, each in a page of
// its own; every answer is noted with the record's length at that moment.
::testing::AssertionResult RunEnrollment(const Kind& k, const std::string& caDir, size_t index, std::vector<Made>& made,
                                         std::vector<Answer>& answers) {
    std::string request;
    Made m{&k, "", {}, {}};
    {
        Page page(index);
        if (!page.Setup(k)) return ::testing::AssertionFailure() << "setup of " << k.provider;
        Response r =
            page.Ask(Call("KEVO_PKCS10CertRequisition",
                          {Str("CN=Power Cut " + std::to_string(index) + ",O=Tessaro,C=CN"), Num(k.certType), Num(0)}));
        if (r.errorcode != 0) return ::testing::AssertionFailure() << "request: " << r.raw;
        const size_t answered = Rec().Size();
        request = r.text;
        Response c = page.Ask(Call("KEVO_GetContainer", {}));
        if (c.errorcode != 0 || !tessaro_test::IsContainerName(c.text))
            return ::testing::AssertionFailure() << "container: " << c.raw;
        m.container = c.text;
        made.push_back(m);
        answers.push_back({answered, index, kRequested});
    }
    std::string signCert = Trimmed(Testca({"issue", caDir}, request));
    std::string envelope, encCert;
    if (k.certType == 2) {
        std::string out = Testca({"envelope", caDir}, request);
        envelope = JsonText(out, "envelope");
        encCert = JsonText(out, "certificate");
        made[index].encDer = Base64Decode(encCert);
        if (envelope.empty() || made[index].encDer.empty()) return ::testing::AssertionFailure() << "envelope: " << out;
    }
    made[index].signDer = Base64Decode(signCert);
    if (made[index].signDer.empty()) return ::testing::AssertionFailure() << "no certificate issued";
    {
        Page page(index);
        if (!page.Setup(k)) return ::testing::AssertionFailure() << "setup of " << k.provider;
        Response r = page.Ask(Call("KEVO_ImportSignCert", {Num(k.certType), Str(signCert), Str(m.container)}));
        if (r.errorcode != 0 || !r.flag) return ::testing::AssertionFailure() << "sign install: " << r.raw;
        answers.push_back({Rec().Size(), index, kSignInstalled});
    }
    if (k.certType == 2) {
        Page page(index);
        if (!page.Setup(k)) return ::testing::AssertionFailure() << "setup of " << k.provider;
        Response r = page.Ask(Call("KEVO_ImportEncryptCert", {Str(envelope), Str(encCert), Str(m.container), Num(0)}));
        if (r.errorcode != 0 || !r.flag) return ::testing::AssertionFailure() << "encryption import: " << r.raw;
        answers.push_back({Rec().Size(), index, kEncImported});
    }
    return ::testing::AssertionSuccess();
}

// ---- What a reopened prefix must show ----

using Prov = tessaro::UniqueCryptProv;

bool OpenContainer(const std::string& provider, bool sm2, const std::u16string& container, Prov& p) {
    DWORD type = provider == AES ? PROV_RSA_AES : PROV_RSA_FULL;
    if (!CryptAcquireContextW(p.put(), container.c_str(), Wide(provider).c_str(), type,
                              sm2 ? CRYPT_VERIFYCONTEXT : 0)) {
        p.release();  // nothing was opened
        return false;
    }
    return true;
}

bool HasKey(HCRYPTPROV p, DWORD spec) {
    HCRYPTKEY k = 0;
    if (!CryptGetUserKey(p, spec, &k)) return false;
    CryptDestroyKey(k);
    return true;
}

// The key of that spec signs, and OpenSSL verifies the signature with the
// certificate's public key.
bool SignsFor(HCRYPTPROV p, bool sm2, DWORD spec, const Bytes& certDer) {
    static const Bytes msg = {'p', 'o', 'w', 'e', 'r', ' ', 'c', 'u', 't'};
    HCRYPTHASH h = 0;
    if (certDer.empty() || !CryptCreateHash(p, sm2 ? CALG_SM3 : CALG_SHA1, 0, 0, &h)) return false;
    Bytes sig(512);
    DWORD n = static_cast<DWORD>(sig.size());
    bool ok = CryptHashData(h, msg.data(), static_cast<DWORD>(msg.size()), 0) &&
              CryptSignHashW(h, spec, nullptr, 0, sig.data(), &n);
    CryptDestroyHash(h);
    if (!ok) return false;
    sig.resize(n);
    return sm2 ? importenc_test::VerifySm2WithCertificate(certDer, msg, sig)
               : importenc_test::VerifyRsaSha1WithCertificate(certDer, msg, sig);
}

Bytes KeyCertificate(HCRYPTPROV p, DWORD spec) {
    HCRYPTKEY k = 0;
    if (!CryptGetUserKey(p, spec, &k)) return {};
    DWORD cb = 0;
    Bytes v;
    if (CryptGetKeyParam(k, KP_CERTIFICATE, nullptr, &cb, 0) && cb > 0) {
        v.resize(cb);
        if (!CryptGetKeyParam(k, KP_CERTIFICATE, v.data(), &cb, 0)) cb = 0;
        v.resize(cb);
    }
    CryptDestroyKey(k);
    return v;
}

const struct {
    const char* provider;
    bool sm2;
} kFamilies[] = {{ENHANCED, false}, {VENDOR_SM2, true}};

// Nothing half-made is visible as made: every certificate kept with a key or
// in "My" belongs to a key that exists and matches it.
void CheckNothingHalfMade(std::vector<std::string>& problems) {
    for (const auto& f : kFamilies) {
        for (const std::string& name : ContainerNames(f.provider)) {
            Prov p;
            if (!OpenContainer(f.provider, f.sm2, Wide(name), p)) {
                problems.push_back("listed container " + name + " does not open");
                continue;
            }
            // A container without a key claims nothing: a request cut
            // before its key was made leaves one, as an abandoned request does.
            for (DWORD spec : {AT_SIGNATURE, AT_KEYEXCHANGE}) {
                if (!HasKey(p.get(), spec)) continue;
                Bytes cert = KeyCertificate(p.get(), spec);
                if (!cert.empty() && !SignsFor(p.get(), f.sm2, spec, cert))
                    problems.push_back("the certificate on key " + std::to_string(spec) + " of " + name +
                                       " is not its key's");
            }
        }
    }
    tessaro::UniqueCertStore store;
    store.reset(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, u"My"));
    if (!store.get()) {
        problems.push_back("\"My\" does not open");
        return;
    }
    for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(store.get(), nullptr); c;
         c = CertEnumCertificatesInStore(store.get(), c)) {
        Bytes der(c->pbCertEncoded, c->pbCertEncoded + c->cbCertEncoded);
        KeyProvInfo info = KeyProvInfoInMyStore(der);
        if (!info.found) continue;
        const std::string provider = tessaro_test::Narrow(info.provider);
        Prov p;
        if (!OpenContainer(provider, false, info.container, p))
            problems.push_back("a certificate in \"My\" names container " + tessaro_test::Narrow(info.container) +
                               ", which does not exist");
        else if (!HasKey(p.get(), info.keySpec) || !SignsFor(p.get(), false, info.keySpec, der))
            problems.push_back("a certificate in \"My\" names key " + std::to_string(info.keySpec) + " of " +
                               tessaro_test::Narrow(info.container) + ", which is missing or another key");
    }
}

// Is the certificate listed as the key's: in "My" for Microsoft providers,
// on the key for the token.
bool Bound(const Made& m, HCRYPTPROV p, DWORD spec, const Bytes& der) {
    if (!m.microsoft()) return KeyCertificate(p, spec) == der;
    KeyProvInfo info = KeyProvInfoInMyStore(der);
    return info.found && info.container == Wide(m.container) && info.keySpec == spec;
}

// What was answered before the cut is all there and usable (else lost); an
// encryption certificate is never listed without its key (else halfMade).
void CheckAnswered(const Made& m, Stage stage, std::vector<std::string>& lost, std::vector<std::string>& halfMade) {
    std::vector<std::string>& problems = lost;
    const std::string who = std::string(m.kind->provider) + " " + m.container;
    std::vector<std::string> names = ContainerNames(m.kind->provider);
    const bool listed = std::find(names.begin(), names.end(), m.container) != names.end();
    Prov p;
    const bool opens = OpenContainer(m.kind->provider, m.sm2(), Wide(m.container), p);
    if (stage == kNothing) return;
    if (!listed || !opens) {
        problems.push_back("answered container " + who + " is gone");
        return;
    }
    DWORD signSpec = 0;
    for (DWORD spec : {AT_SIGNATURE, AT_KEYEXCHANGE})
        if (!signSpec && HasKey(p.get(), spec) && SignsFor(p.get(), m.sm2(), spec, m.signDer)) signSpec = spec;
    if (!signSpec) {
        problems.push_back("the requested key of " + who + " does not sign for its certificate");
        return;
    }
    if (stage >= kSignInstalled && !Bound(m, p.get(), signSpec, m.signDer))
        problems.push_back("the installed signing certificate of " + who + " is not listed");
    if (m.kind->certType != 2) return;
    const bool caKey = SignsFor(p.get(), m.sm2(), AT_KEYEXCHANGE, m.encDer);
    const bool bound = Bound(m, p.get(), AT_KEYEXCHANGE, m.encDer);
    if (stage >= kEncImported && !(caKey && bound))
        problems.push_back(std::string("the imported encryption ") + (caKey ? "certificate" : "key") + " of " + who +
                           " is missing");
    // An unanswered import cut after the key and before its certificate
    // shows no encryption certificate: it is not visible as made. A listed
    // certificate without its key would be.
    else if (bound && !caKey)
        halfMade.push_back("the encryption certificate of " + who + " is listed without its key");
}

// SQLite checkpoints a log itself once it holds 1,000 pages, far more than
// these enrollments write. A checkpoint by another connection (as another
// host's could be) brings that moment forward, so that cuts also fall while
// the database files are written and while a log starts over on old frames.
void Checkpoint(const std::string& prefix) {
    Span span{Rec().Size(), 0, "a checkpoint"};
    for (const char* db : {"/machine.db", "/user.db"}) {
        sqlite3* c = nullptr;
        int rc = sqlite3_open_v2((prefix + db).c_str(), &c, SQLITE_OPEN_READWRITE, nullptr);
        if (rc == SQLITE_OK) rc = sqlite3_exec(c, "PRAGMA wal_checkpoint(PASSIVE)", nullptr, nullptr, nullptr);
        EXPECT_EQ(rc, SQLITE_OK) << db << ": " << sqlite3_errmsg(c);
        sqlite3_close(c);
    }
    span.to = Rec().Size();
    Spans().push_back(span);
}

void WriteImage(const std::string& dir, const std::map<std::string, std::string>& files) {
    for (auto& [name, content] : files) {
        std::ofstream out(dir + "/" + name, std::ios::binary | std::ios::trunc);
        out.write(content.data(), static_cast<std::streamsize>(content.size()));
    }
}

// `make soak` checks every cut point of TESSARO_SOAK times the enrollments.
int Soak() {
    const char* psz = getenv("TESSARO_SOAK");
    int f = psz ? atoi(psz) : 0;
    return f > 1 ? f : 0;
}

const Kind kKinds[] = {
    {ENHANCED, 1024, "RSA", 1}, {VENDOR_SM2, 256, "SM2", 1}, {ENHANCED, 1024, "RSA", 2}, {VENDOR_SM2, 256, "SM2", 2}};

constexpr size_t kMaxCuts = 400;  // in `make test`: about half a minute, a little more under the sanitizers

// What the cuts showed, by what was wrong: answered changes lost or hives
// unsound; half-made things visible.
struct Findings {
    std::string error;  // the recording itself failed
    size_t cuts = 0, images = 0, lossy = 0, operations = 0, syncs = 0;
    struct Kind {
        size_t images = 0;
        std::map<std::string, int> tally;  // by problem, container names left out
        std::vector<std::string> examples;
        std::string Report() const {
            std::string s = std::to_string(images) + " images; by kind:";
            for (auto& [p, n] : tally) s += "\n  " + std::to_string(n) + " x " + p;
            for (auto& e : examples) s += "\nfirst seen: " + e;
            return s;
        }
    } lost, halfMade;
};

// One example, the first, of every kind of problem.
void Note(Findings::Kind& kind, const char* label, const std::vector<std::string>& problems, const std::string& where) {
    if (problems.empty()) return;
    ++kind.images;
    for (const std::string& p : problems) {
        const std::string key =
            std::string(label) + ": " + std::regex_replace(p, std::regex("\\{[0-9A-F-]+\\}"), "{...}");
        if (++kind.tally[key] == 1) kind.examples.push_back(p + "\n  " + label + ", " + where);
    }
}

void Sweep(Findings& f) {
    RegisterShim();
    tessaro_test::TempDir ca("powercut-ca");
    const std::string caDir = ca.path() + "/ca";
    Testca({"init", caDir}, "");

    const int soak = Soak();
    std::vector<Made> made;
    std::vector<Answer> answers;
    std::vector<Op> ops;
    {
        tessaro_test::ScopedPrefix prefix("powercut");
        Rec().Start(prefix.path());
        // As the host runs; the images are checked so too, sparing their
        // throw-away changes a sync per commit.
        tessaro_platform::RegistryDeferDurability(true);
        const int rounds = soak ? soak : 1;
        for (int r = 0; r < rounds && f.error.empty(); ++r)
            for (const Kind& k : kKinds) {
                auto ok = RunEnrollment(k, caDir, made.size(), made, answers);
                if (!ok) {
                    f.error = std::string(k.provider) + " type " + std::to_string(k.certType) + ": " + ok.message();
                    break;
                }
                if (made.size() % 2 == 0) Checkpoint(prefix.path());
            }
        Rec().Stop();
        ops = Rec().Ops();
    }
    for (const Op& op : ops) f.syncs += op.kind == Op::kSync;
    f.operations = ops.size();
    if (::testing::Test::HasFailure() && f.error.empty()) f.error = "the recording failed";
    if (!f.error.empty()) return tessaro_platform::RegistryDeferDurability(false);

    // Every operation boundary; in `make test` those at the syncs and an
    // even sample of the rest.
    std::vector<size_t> cuts, others;
    for (size_t i = 0; i <= ops.size(); ++i) {
        const bool atSync = (i < ops.size() && (ops[i].kind == Op::kSync || ops[i].kind == Op::kDirSync)) ||
                            (i > 0 && (ops[i - 1].kind == Op::kSync || ops[i - 1].kind == Op::kDirSync));
        (atSync || i == ops.size() ? cuts : others).push_back(i);
    }
    const size_t room =
        std::min(others.size(), soak ? others.size() : (kMaxCuts > cuts.size() ? kMaxCuts - cuts.size() : 0));
    for (size_t i = 0; i < room; ++i) cuts.push_back(others[i * others.size() / room]);
    std::sort(cuts.begin(), cuts.end());
    cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
    f.cuts = cuts.size();

    std::set<size_t> seen;  // images already checked with the same answers
    for (size_t cut : cuts) {
        std::vector<Stage> stage(made.size(), kNothing);
        for (const Answer& a : answers)
            if (a.position <= cut) stage[a.enrollment] = std::max(stage[a.enrollment], a.stage);
        const DiskState disk(ops, cut);
        struct Variant {
            Data data;
            bool lostEntries;
            const char* label;
        };
        std::vector<Variant> variants{{Data::kDropped, false, "unsynced writes lost"}};
        if (disk.Pending()) {
            variants.push_back({Data::kTorn, false, "half the unsynced writes kept, the next torn"});
            variants.push_back({Data::kKept, false, "unsynced writes kept"});
        }
        if (disk.entries.size() != disk.durableEntries.size() ||
            !std::equal(disk.entries.begin(), disk.entries.end(), disk.durableEntries.begin()))
            variants.push_back({Data::kDropped, true, "unsynced writes and directory entries lost"});
        for (const Variant& v : variants) {
            const auto files = disk.Image(v.data, v.lostEntries);
            std::string key;
            for (Stage s : stage) key += static_cast<char>('0' + s);
            for (auto& [name, content] : files) key += "|" + name + "|" + content;
            if (!seen.insert(std::hash<std::string>()(key)).second) continue;
            ++f.images;
            if (files != disk.Image(Data::kKept, false)) ++f.lossy;

            std::vector<std::string> lost, halfMade;
            {
                tessaro_test::TempDir image("powercut-image");
                WriteImage(image.path(), files);
                for (const char* db : {"machine.db", "user.db"})
                    if (files.count(db)) {
                        std::string verdict = tessaro_test::IntegrityCheck(image.path() + "/" + db);
                        if (verdict != "ok") lost.push_back(std::string(db) + ": " + verdict);
                    }
                const std::string old = getenv("TESSARO_PREFIX");
                setenv("TESSARO_PREFIX", image.path().c_str(), 1);
                CheckNothingHalfMade(halfMade);
                for (size_t i = 0; i < made.size(); ++i) CheckAnswered(made[i], stage[i], lost, halfMade);
                setenv("TESSARO_PREFIX", old.c_str(), 1);
                ContainerNames(ENHANCED);  // the platform lets go of the image before it is removed
            }
            const std::string where = "in " + RunningAt(cut) + ", " + disk.Describe(ops, cut);
            Note(f.lost, v.label, lost, where);
            Note(f.halfMade, v.label, halfMade, where);
        }
    }
    tessaro_platform::RegistryDeferDurability(false);
}

TEST(PowerCut, AnsweredEnrollmentsSurviveEveryCutAndNothingHalfMadeShows) {
    Findings f;
    Sweep(f);
    ASSERT_EQ(f.error, "");
    printf(
        "power-cut: %zu cut points checked (%zu disk images, %zu losing unsynced changes; %zu operations, %zu "
        "syncs recorded)\n",
        f.cuts, f.images, f.lossy, f.operations, f.syncs);
    RecordProperty("cut_points", std::to_string(f.cuts));
    EXPECT_EQ(f.lost.images, 0u) << "answered changes lost or hives unsound after cuts: " << f.lost.Report();
    // A crash between two commits of one request is enough for these.
    EXPECT_EQ(f.halfMade.images, 0u) << "half-made containers or imports visible after cuts: " << f.halfMade.Report();
    // Cuts that lost nothing would test nothing.
    EXPECT_GT(f.lossy, f.cuts / 4);
    EXPECT_GT(f.syncs, 0u);
}

}  // namespace
