// The registry: HKEY_LOCAL_MACHINE and HKEY_CURRENT_USER, each a SQLite
// database in the prefix (machine.db, user.db). WAL mode and a busy timeout
// let several processes share one prefix; every change is one transaction,
// so a crash never leaves a half-written key or value.
//
// Names are kept as given (UTF-16 bytes) next to a case-folded copy that all
// lookups compare. Key ids are never reused, so a handle whose key was
// deleted answers ERROR_KEY_DELETED even after new keys were made.
#include <fcntl.h>
#include <pthread.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/kernel/CaseFold.h"
#include "win/platform_prefix.h"
#include "win/platform_registry.h"
#include "win/winbase.h"
#include "win/winreg.h"

namespace {

constexpr int kHiveMachine = 0;
constexpr int kHiveUser = 1;
constexpr int64_t kRootId = 1;
constexpr size_t kMaxKeyNameChars = 255;
constexpr size_t kMaxValueNameChars = 16383;
constexpr uint32_t kKeyMagic = 0x4B455931;  // "KEY1"

// Keys found by path (a starting key's id and the folded names below it),
// kept while the hive holds what it held when they were found: no commit by
// another connection (SQLite's data version) and none of ours.
struct PathCache {
    int64_t dataVersion = -1;
    uint64_t localWrites = 0;
    std::unordered_map<std::u16string, int64_t> ids;
};

struct Hive {
    sqlite3* db = nullptr;
    bool openFailed = false;
    LSTATUS openError = ERROR_SUCCESS;  // why it could not be opened
    bool system = false;  // the machine's own hive, synced at every commit
    int txDepth = 0;        // RegistryTransaction nesting
    uint64_t localWrites = 0;  // bumped by every change of this process
    uint64_t durableWrites = 0;  // localWrites when the hive's log was last synced
    PathCache paths;
};

struct ChildCache {
    bool valid = false;
    int64_t dataVersion = -1;
    uint64_t localWrites = 0;
    std::vector<std::u16string> names;
};

struct RegKey {
    uint32_t magic = kKeyMagic;
    int hive = 0;
    int64_t id = 0;
    uint64_t generation = 0;
    ChildCache keys;
    ChildCache values;
};

struct RegistryState {
    std::recursive_mutex mutex;
    std::string prefix;
    std::string prefixName;  // as the environment named the prefix then
    uint64_t generation = 0;
    Hive hives[2];
    std::set<RegKey*> handles;
    pid_t pid = 0;  // the process that opened the hives
    // Commits are synced by RegistryMakeDurable() instead of one by one.
    bool deferSync = false;
};

// Set in a forked child, so that a call need not ask for the process id.
std::atomic<bool> g_forked{false};

void CloseHivesAtExit();

RegistryState& State() {
    static RegistryState* s = [] {
        pthread_atfork(nullptr, nullptr, [] { g_forked.store(true); });
        auto* state = new RegistryState();  // lives for the process; handles may outlive statics
        atexit(CloseHivesAtExit);
        return state;
    }();
    return *s;
}

// ---- SQLite helpers ----

// Prepared statements are kept per connection and reused: compiling the SQL
// costs more than running it for the small lookups the registry makes.
struct StmtPool {
    std::mutex mutex;
    std::multimap<std::pair<sqlite3*, std::string>, sqlite3_stmt*> idle;
};

StmtPool& Pool() {
    static auto* p = new StmtPool();
    return *p;
}

struct StmtDeleter {
    void operator()(sqlite3_stmt* s) const {
        sqlite3_reset(s);
        sqlite3_clear_bindings(s);
        StmtPool& p = Pool();
        std::lock_guard<std::mutex> g(p.mutex);
        try {
            p.idle.emplace(std::make_pair(sqlite3_db_handle(s), std::string(sqlite3_sql(s))), s);
        } catch (const std::bad_alloc&) {
            // No room to keep it: compiled again next time.
            sqlite3_finalize(s);
        }
    }
};
using Stmt = std::unique_ptr<sqlite3_stmt, StmtDeleter>;

// Finalizes the kept statements of a connection before it is closed.
void DropStatements(sqlite3* db) {
    StmtPool& p = Pool();
    std::lock_guard<std::mutex> g(p.mutex);
    for (auto it = p.idle.begin(); it != p.idle.end();) {
        if (it->first.first == db) {
            sqlite3_finalize(it->second);
            it = p.idle.erase(it);
        } else {
            ++it;
        }
    }
}

thread_local int t_prepareError = SQLITE_OK;

Stmt Prepare(sqlite3* db, const char* sql) {
    {
        StmtPool& p = Pool();
        std::lock_guard<std::mutex> g(p.mutex);
        auto it = p.idle.find(std::make_pair(db, std::string(sql)));
        if (it != p.idle.end()) {
            sqlite3_stmt* kept = it->second;
            p.idle.erase(it);
            return Stmt(kept);
        }
    }
    sqlite3_stmt* s = nullptr;
    int rc = sqlite3_prepare_v2(db, sql, -1, &s, nullptr);
    if (rc != SQLITE_OK) {
        t_prepareError = rc;
        sqlite3_finalize(s);
        return Stmt();
    }
    return Stmt(s);
}

LSTATUS MapSqlite(int rc) {
    switch (rc & 0xFF) {
    case SQLITE_OK:
    case SQLITE_DONE:
    case SQLITE_ROW:
        return ERROR_SUCCESS;
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH:
    case SQLITE_CANTOPEN:
        return ERROR_ACCESS_DENIED;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
        return ERROR_BUSY;
    case SQLITE_NOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
        return ERROR_BADDB;
    case SQLITE_FULL:
        return ERROR_DISK_FULL;
    default:
        return ERROR_REGISTRY_IO_FAILED;
    }
}

// Why the last Prepare failed, as a registry error (a corrupt hive fails here).
LSTATUS PrepareFailure();

// A parameter SQLite could not copy would leave NULL in its place, and the
// statement would run anyway (a lookup finding nothing, a delete deleting
// nothing): running out of memory goes to the Reg* entry point instead,
// which answers ERROR_NOT_ENOUGH_MEMORY.
void BindOrThrow(int rc) {
    if (rc == SQLITE_NOMEM) throw std::bad_alloc();
}

void BindBlob16(sqlite3_stmt* s, int i, const std::u16string& v) {
    BindOrThrow(sqlite3_bind_blob(s, i, v.data(), static_cast<int>(v.size() * sizeof(char16_t)), SQLITE_TRANSIENT));
}

std::u16string ColumnBlob16(sqlite3_stmt* s, int i) {
    const void* p = sqlite3_column_blob(s, i);
    // Null is an empty blob, or a copy SQLite could not make: never a name
    // read as empty.
    if (p == nullptr && sqlite3_errcode(sqlite3_db_handle(s)) == SQLITE_NOMEM) throw std::bad_alloc();
    int n = sqlite3_column_bytes(s, i);
    std::u16string r(static_cast<size_t>(n) / 2, u'\0');
    if (p && n >= 2) std::memcpy(r.data(), p, r.size() * 2);
    return r;
}

LSTATUS PrepareFailure() {
    LSTATUS st = MapSqlite(t_prepareError);
    return st == ERROR_SUCCESS ? ERROR_REGISTRY_IO_FAILED : st;
}

int64_t NowFileTime() {
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    return static_cast<int64_t>((static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime);
}

int Exec(sqlite3* db, const char* sql) { return sqlite3_exec(db, sql, nullptr, nullptr, nullptr); }

// One kept statement without parameters or rows (BEGIN, COMMIT): compiled
// once, not parsed again as Exec would.
int Step(sqlite3* db, const char* sql) {
    Stmt s = Prepare(db, sql);
    return s ? sqlite3_step(s.get()) : t_prepareError;
}

const char* kSchema =
    "CREATE TABLE IF NOT EXISTS keys("
    " id INTEGER PRIMARY KEY AUTOINCREMENT,"
    " parent INTEGER REFERENCES keys(id) ON DELETE CASCADE,"
    " name BLOB NOT NULL, fold BLOB NOT NULL, mtime INTEGER NOT NULL,"
    " UNIQUE(parent, fold));"
    "CREATE TABLE IF NOT EXISTS vals("
    " key INTEGER NOT NULL REFERENCES keys(id) ON DELETE CASCADE,"
    " name BLOB NOT NULL, fold BLOB NOT NULL, type INTEGER NOT NULL, data BLOB NOT NULL,"
    " PRIMARY KEY(key, fold));"
    "INSERT OR IGNORE INTO keys(id, parent, name, fold, mtime) VALUES(1, NULL, x'', x'', 0);";

bool HasSchema(sqlite3* db) {
    Stmt s = Prepare(db, "SELECT count(*) FROM sqlite_master WHERE type='table' AND name IN ('keys','vals')");
    return s && sqlite3_step(s.get()) == SQLITE_ROW && sqlite3_column_int(s.get(), 0) == 2;
}

void CloseHive(Hive& h) {
    if (h.db) {
        DropStatements(h.db);
        sqlite3_close_v2(h.db);
    }
    h = Hive();
}

// A process that opens a hive nobody else has open reads the whole log to
// rebuild its index (a host starts for every page). So the last process to
// leave folds the log into the hive and empties it (the file stays, see
// OpenHive), without waiting: with another connection still there, nothing
// is done. Not from a forked child (the connections are the parent's), nor
// under a call or transaction still running on another thread.
void CloseHivesAtExit() {
    RegistryState& st = State();
    std::unique_lock<std::recursive_mutex> g(st.mutex, std::try_to_lock);
    if (!g.owns_lock() || st.pid != getpid()) return;
    for (auto& h : st.hives)
        if (h.txDepth > 0) return;
    for (auto& h : st.hives) {
        if (!h.db) continue;
        if (!h.system) {
            sqlite3_busy_timeout(h.db, 0);
            Exec(h.db, "PRAGMA wal_checkpoint(TRUNCATE)");
        }
        CloseHive(h);
    }
    st.prefix.clear();  // a later call opens them again
}

// Installed for the whole machine, HKEY_LOCAL_MACHINE is the machine's: one
// hive that root writes (the package's scripts, registrations) and every
// user reads. A build tree has none, and keeps both hives in the prefix.
const char kSystemMachineHive[] = "/var/lib/tessaro/machine.db";

bool SystemMachineHive() {
    struct stat st;
    return lstat(kSystemMachineHive, &st) == 0 && S_ISREG(st.st_mode);
}

// A damaged system hive is every program's problem and none can mend it
// (users may not write it, and root's programs never replace it): one line on
// standard error (the browser's log for the host) says so, once per process.
void ReportDamagedSystemHive(int rc) {
    if ((rc & 0xFF) != SQLITE_CORRUPT && (rc & 0xFF) != SQLITE_NOTADB) return;
    static std::atomic<bool> told{false};
    if (told.exchange(true)) return;
    std::fprintf(stderr,
                 "tessaro: the machine hive %s is damaged (not a registry database): HKEY_LOCAL_MACHINE "
                 "answers ERROR_BADDB (1009); it is left as it is for an administrator to restore\n",
                 kSystemMachineHive);
}

// Opens a hive database, creating it (0600) and its schema when missing. A
// hive that cannot be written is still opened for reading when possible.
void OpenHive(Hive& h, const std::string& prefix, int hive, bool deferSync) {
    // The system hive keeps a rollback journal: its readers, who may not
    // write, then need no shared-memory index of a log.
    const bool system = hive == kHiveMachine && SystemMachineHive();
    std::string path = system ? std::string(kSystemMachineHive)
                              : prefix + (hive == kHiveMachine ? "/machine.db" : "/user.db");
    int fd = tessaro_platform::OpenPrivateFile(path, system ? O_RDONLY : O_RDWR);
    if (fd < 0 && errno == ENOENT && !system) {
        fd = tessaro_platform::OpenPrivateFile(path, O_RDWR | O_CREAT | O_EXCL);
        // The new file's name reaches the disk before anything is kept in it.
        if (fd >= 0) tessaro_platform::SyncDirectory(prefix);
    }
    const bool symlink = fd < 0 && errno == ELOOP;  // never followed inside the prefix
    if (fd >= 0) close(fd);
    sqlite3* db = nullptr;
    int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW, nullptr);
    if (rc != SQLITE_OK) {
        DropStatements(db);
        sqlite3_close_v2(db);
        h.openFailed = true;
        h.openError = symlink ? ERROR_ACCESS_DENIED : MapSqlite(rc);
        return;
    }
    sqlite3_busy_timeout(db, 10000);
    Exec(db, "PRAGMA foreign_keys=ON");
    // Switching to WAL needs a moment without other writers; retry briefly.
    for (int i = 0; i < 50; ++i) {
        Stmt s = Prepare(db, system ? "PRAGMA journal_mode=DELETE" : "PRAGMA journal_mode=WAL");
        int src = s ? sqlite3_step(s.get()) : SQLITE_ERROR;
        if (src == SQLITE_ROW || ((src & 0xFF) != SQLITE_BUSY && (src & 0xFF) != SQLITE_LOCKED)) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    // FULL: a commit is on the disk when it returns (the log synced). A
    // program that syncs before it answers (RegistryMakeDurable) defers that.
    Exec(db, deferSync && !system ? "PRAGMA synchronous=NORMAL" : "PRAGMA synchronous=FULL");
    // The log and its index stay when the last connection closes: a later
    // reader then needs no new file, so reading works on a full disk.
    int persist = 1;
    sqlite3_file_control(db, "main", SQLITE_FCNTL_PERSIST_WAL, &persist);
    // The schema is written once; opening an existing hive only reads.
    if (sqlite3_db_readonly(db, "main") != 1 && !HasSchema(db)) {
        if (Exec(db, "BEGIN IMMEDIATE") == SQLITE_OK) {
            if (Exec(db, kSchema) == SQLITE_OK) Exec(db, "COMMIT");
            else Exec(db, "ROLLBACK");
        }
    }
    // In a prefix we may not write, WAL's side files cannot be made and even
    // reading fails; nobody can change such a hive, so read it as immutable.
    Stmt probe = Prepare(db, "SELECT count(*) FROM keys WHERE id=1");
    int prc = probe ? sqlite3_step(probe.get()) : SQLITE_CANTOPEN;
    probe.reset();
    if (system && prc != SQLITE_ROW) ReportDamagedSystemHive(probe ? prc : t_prepareError);
    if (prc != SQLITE_ROW && (prc & 0xFF) != SQLITE_BUSY) {
        DropStatements(db);
        sqlite3_close_v2(db);
        db = nullptr;
        char* uri = sqlite3_mprintf("file:%s?immutable=1", path.c_str());
        rc = uri ? sqlite3_open_v2(uri, &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI | SQLITE_OPEN_NOFOLLOW, nullptr)
                 : SQLITE_NOMEM;
        sqlite3_free(uri);
        if (rc != SQLITE_OK) {
            sqlite3_close_v2(db);
            h.openFailed = true;
            h.openError = (prc & 0xFF) == SQLITE_CORRUPT || (prc & 0xFF) == SQLITE_NOTADB ? ERROR_BADDB
                                                                                       : ERROR_ACCESS_DENIED;
            return;
        }
    }
    h.db = db;
    h.system = system;
}

// Reopens the hives when the prefix changed (tests switch prefixes).
// Caller holds the mutex.
void RefreshPrefix(RegistryState& st) {
    if ((st.pid == 0 || g_forked.exchange(false)) && st.pid != getpid()) {
        // A forked child must not use (nor close) the connections it
        // inherited: SQLite's locks belong to the parent. They are left as
        // they are and the hives opened again.
        for (auto& h : st.hives) h = Hive{};
        st.pid = getpid();
        st.prefix.clear();  // reopen below; handles of the parent's generation go stale
    }
    for (auto& h : st.hives)
        if (h.txDepth > 0) return;  // never under an open transaction
    // The directory was examined when its hives were opened: while the
    // environment names the same one, a call does not examine it again.
    std::string name = tessaro_platform::PrefixPath();
    if (st.generation != 0 && !st.prefix.empty() && name == st.prefixName) return;
    std::string p = tessaro_platform::PrefixDirectory();
    st.prefixName = name;
    if (st.generation != 0 && p == st.prefix) return;
    for (auto& h : st.hives) CloseHive(h);
    st.prefix = p;
    ++st.generation;
}

Hive* GetHive(RegistryState& st, int hive) {
    Hive& h = st.hives[hive];
    if (!h.db && !h.openFailed && !st.prefix.empty()) OpenHive(h, st.prefix, hive, st.deferSync);
    return h.db ? &h : nullptr;
}

// Why a hive is not there: the prefix's refusal, or the hive's own. Never
// "no such key": a registry that cannot be read is not an empty one.
LSTATUS HiveError(const RegistryState& st, int hive) {
    if (st.prefix.empty()) {
        LSTATUS e = tessaro_platform::PrefixError();
        return e != ERROR_SUCCESS ? e : ERROR_PATH_NOT_FOUND;
    }
    const Hive& h = st.hives[hive];
    return h.openError != ERROR_SUCCESS ? h.openError : ERROR_REGISTRY_IO_FAILED;
}

// ---- Handles ----

struct Resolved {
    int hive = 0;
    int64_t id = 0;
    RegKey* key = nullptr;  // null for a predefined handle
};

LSTATUS ResolveHandle(RegistryState& st, HKEY hKey, Resolved* out) {
    if (hKey == HKEY_LOCAL_MACHINE) {
        *out = Resolved{kHiveMachine, kRootId, nullptr};
        return ERROR_SUCCESS;
    }
    if (hKey == HKEY_CURRENT_USER) {
        *out = Resolved{kHiveUser, kRootId, nullptr};
        return ERROR_SUCCESS;
    }
    RegKey* k = reinterpret_cast<RegKey*>(hKey);
    if (!k || st.handles.find(k) == st.handles.end() || k->magic != kKeyMagic) return ERROR_INVALID_HANDLE;
    if (k->generation != st.generation) return ERROR_KEY_DELETED;  // its prefix is gone
    *out = Resolved{k->hive, k->id, k};
    return ERROR_SUCCESS;
}

// ERROR_SUCCESS while the key is there, ERROR_KEY_DELETED once it is gone;
// a lookup that fails (no memory, a failed read) says so instead.
LSTATUS KeyState(sqlite3* db, int64_t id) {
    Stmt s = Prepare(db, "SELECT 1 FROM keys WHERE id=?");
    if (!s) return PrepareFailure();
    sqlite3_bind_int64(s.get(), 1, id);
    int rc = sqlite3_step(s.get());
    if (rc == SQLITE_ROW) return ERROR_SUCCESS;
    return rc == SQLITE_DONE ? ERROR_KEY_DELETED : MapSqlite(rc);
}

// Splits "a\\b\\c" into components. Leading separators are refused, a single
// trailing one is ignored, empty components in between are refused.
LSTATUS SplitPath(LPCWSTR sub, std::vector<std::u16string>* parts) {
    parts->clear();
    if (!sub || !*sub) return ERROR_SUCCESS;
    if (*sub == u'\\') return ERROR_BAD_PATHNAME;
    std::u16string cur;
    size_t n = wcslen(sub);
    for (size_t i = 0; i < n; ++i) {
        if (sub[i] == u'\\') {
            if (cur.empty()) return ERROR_BAD_PATHNAME;
            parts->push_back(cur);
            cur.clear();
        } else {
            cur.push_back(sub[i]);
        }
    }
    if (!cur.empty()) parts->push_back(cur);
    for (auto& p : *parts)
        if (p.size() > kMaxKeyNameChars) return ERROR_INVALID_PARAMETER;
    return ERROR_SUCCESS;
}

std::u16string Fold(const std::u16string& s) { return tessaro_platform::FoldString(s.data(), s.size()); }

// A statement about one name (compared case-folded) under one key, bound.
Stmt PrepareForName(sqlite3* db, const char* sql, int64_t key, const std::u16string& name) {
    Stmt s = Prepare(db, sql);
    if (s) {
        sqlite3_bind_int64(s.get(), 1, key);
        BindBlob16(s.get(), 2, Fold(name));
    }
    return s;
}

LSTATUS FindChild(sqlite3* db, int64_t parent, const std::u16string& name, int64_t* child) {
    Stmt s = PrepareForName(db, "SELECT id FROM keys WHERE parent=? AND fold=?", parent, name);
    if (!s) return PrepareFailure();
    int rc = sqlite3_step(s.get());
    if (rc == SQLITE_ROW) {
        *child = sqlite3_column_int64(s.get(), 0);
        return ERROR_SUCCESS;
    }
    if (rc == SQLITE_DONE) return ERROR_FILE_NOT_FOUND;
    return MapSqlite(rc);
}

LSTATUS WalkPath(sqlite3* db, int64_t from, const std::vector<std::u16string>& parts, int64_t* id) {
    int64_t cur = from;
    for (const auto& p : parts) {
        LSTATUS st = FindChild(db, cur, p, &cur);
        if (st != ERROR_SUCCESS) return st;
    }
    *id = cur;
    return ERROR_SUCCESS;
}

int64_t DataVersion(sqlite3* db);

// WalkPath for a call that only reads, through the hive's kept paths. Run
// inside the call's read transaction, so that the data version it checks is
// that of the rows it reads.
LSTATUS CachedWalk(Hive& h, int64_t from, const std::vector<std::u16string>& parts, int64_t* id) {
    const int64_t dv = DataVersion(h.db);
    PathCache& cache = h.paths;
    if (dv < 0 || cache.dataVersion != dv || cache.localWrites != h.localWrites) {
        cache.ids.clear();
        cache.dataVersion = dv;
        cache.localWrites = h.localWrites;
    }
    if (dv < 0) return WalkPath(h.db, from, parts, id);
    std::u16string path(reinterpret_cast<const char16_t*>(&from), sizeof from / sizeof(char16_t));
    int64_t cur = from;
    for (const auto& p : parts) {
        path += u'\\';
        path += Fold(p);
        auto it = cache.ids.find(path);
        if (it != cache.ids.end()) {
            cur = it->second;
            continue;
        }
        LSTATUS st = FindChild(h.db, cur, p, &cur);
        if (st != ERROR_SUCCESS) return st;
        cache.ids.emplace(path, cur);
    }
    *id = cur;
    return ERROR_SUCCESS;
}

RegKey* NewHandle(RegistryState& st, int hive, int64_t id) {
    RegKey* k = new (std::nothrow) RegKey();
    if (!k) return nullptr;
    k->hive = hive;
    k->id = id;
    k->generation = st.generation;
    try {
        st.handles.insert(k);
    } catch (const std::bad_alloc&) {
        delete k;
        return nullptr;
    }
    return k;
}

// A write scope: its own IMMEDIATE transaction, or a savepoint inside an open
// RegistryTransaction. Rolls back unless Commit() succeeded.
class WriteScope {
public:
    explicit WriteScope(Hive& h) : m_hive(h) {
        if (h.txDepth > 0) {
            m_nested = true;
            m_rc = Exec(h.db, "SAVEPOINT regop");
        } else {
            m_rc = Exec(h.db, "BEGIN IMMEDIATE");
        }
    }
    ~WriteScope() {
        if (m_rc != SQLITE_OK || m_done) return;
        if (m_nested) {
            Exec(m_hive.db, "ROLLBACK TO regop");
            Exec(m_hive.db, "RELEASE regop");
        } else {
            Exec(m_hive.db, "ROLLBACK");
        }
    }
    LSTATUS Status() const { return MapSqlite(m_rc); }
    LSTATUS Commit() {
        int rc = Exec(m_hive.db, m_nested ? "RELEASE regop" : "COMMIT");
        if (rc != SQLITE_OK) return MapSqlite(rc);
        m_done = true;
        ++m_hive.localWrites;
        return ERROR_SUCCESS;
    }

private:
    Hive& m_hive;
    bool m_nested = false;
    bool m_done = false;
    int m_rc;
};

// Checks a hive that must be written: ERROR_ACCESS_DENIED when read-only.
LSTATUS WritableHive(RegistryState& st, int hive, Hive** out) {
    Hive* h = GetHive(st, hive);
    if (!h) return HiveError(st, hive);
    if (sqlite3_db_readonly(h->db, "main") == 1) return ERROR_ACCESS_DENIED;
    *out = h;
    return ERROR_SUCCESS;
}

LSTATUS TouchKey(sqlite3* db, int64_t id) {
    Stmt s = Prepare(db, "UPDATE keys SET mtime=? WHERE id=?");
    if (!s) return PrepareFailure();
    sqlite3_bind_int64(s.get(), 1, NowFileTime());
    sqlite3_bind_int64(s.get(), 2, id);
    return MapSqlite(sqlite3_step(s.get()));
}

int64_t DataVersion(sqlite3* db) {
    Stmt s = Prepare(db, "PRAGMA data_version");
    if (s && sqlite3_step(s.get()) == SQLITE_ROW) return sqlite3_column_int64(s.get(), 0);
    return -1;
}

// The ordered child names of a key, cached per handle until this process or
// another one changes the hive.
LSTATUS ChildNames(Hive& h, int64_t id, ChildCache* cache, ChildCache* scratch, bool values, DWORD index,
                   const std::vector<std::u16string>** names) {
    ChildCache* c = cache ? cache : scratch;
    int64_t dv = DataVersion(h.db);
    bool fresh = c->valid && c->dataVersion == dv && c->localWrites == h.localWrites && index != 0;
    if (!fresh) {
        c->valid = false;  // a fill cut short (no memory, a failed step) is never reused
        c->names.clear();
        Stmt s = Prepare(h.db, values ? "SELECT name FROM vals WHERE key=? ORDER BY rowid"
                                      : "SELECT name FROM keys WHERE parent=? ORDER BY fold");
        if (!s) return PrepareFailure();
        sqlite3_bind_int64(s.get(), 1, id);
        int rc;
        while ((rc = sqlite3_step(s.get())) == SQLITE_ROW) c->names.push_back(ColumnBlob16(s.get(), 0));
        if (rc != SQLITE_DONE) {
            c->valid = false;
            return MapSqlite(rc);
        }
        c->valid = true;
        c->dataVersion = dv;
        c->localWrites = h.localWrites;
    }
    *names = &c->names;
    return ERROR_SUCCESS;
}

template <class Bytes>
struct ValueRow {
    std::u16string name;
    DWORD type = 0;
    Bytes data;
};

template <class Bytes>
LSTATUS ReadValue(sqlite3* db, int64_t key, const std::u16string& name, ValueRow<Bytes>* row) {
    Stmt s = PrepareForName(db, "SELECT name, type, data FROM vals WHERE key=? AND fold=?", key, name);
    if (!s) return PrepareFailure();
    int rc = sqlite3_step(s.get());
    if (rc == SQLITE_DONE) return ERROR_FILE_NOT_FOUND;
    if (rc != SQLITE_ROW) return MapSqlite(rc);
    row->name = ColumnBlob16(s.get(), 0);
    row->type = static_cast<DWORD>(sqlite3_column_int64(s.get(), 1));
    const BYTE* p = static_cast<const BYTE*>(sqlite3_column_blob(s.get(), 2));
    if (p == nullptr && sqlite3_errcode(sqlite3_db_handle(s.get())) == SQLITE_NOMEM) throw std::bad_alloc();
    int n = sqlite3_column_bytes(s.get(), 2);
    row->data.assign(p, p + (p ? n : 0));
    return ERROR_SUCCESS;
}

// Whether a call only reads, or may change the hive.
enum class Access { kRead, kChange };

// Common start of every call on an existing key: the lock, the prefix, the
// hive and a live key. A call that only reads runs its statements in one read
// transaction of its own: SQLite would otherwise take and give back its file
// locks around each statement, which costs more than the lookups themselves.
struct Call {
    std::unique_lock<std::recursive_mutex> lock;
    RegistryState& st;
    Resolved r;
    Hive* hive = nullptr;
    Access access;
    sqlite3* reading = nullptr;  // the connection whose read transaction this call began
    explicit Call(Access a = Access::kChange) : lock(State().mutex), st(State()), access(a) { RefreshPrefix(st); }
    ~Call() {
        if (!reading) return;
        int rc = SQLITE_ERROR;
        try {
            rc = Step(reading, "COMMIT");
        } catch (const std::bad_alloc&) {
            // No room to look the kept statement up: parsed then.
            if (Exec(reading, "COMMIT") == SQLITE_OK) rc = SQLITE_DONE;
        }
        if (rc != SQLITE_DONE) Exec(reading, "ROLLBACK");
    }
    LSTATUS Open(HKEY hKey) {
        LSTATUS s = ResolveHandle(st, hKey, &r);
        if (s != ERROR_SUCCESS) return s;
        hive = GetHive(st, r.hive);
        if (!hive) return r.key ? ERROR_KEY_DELETED : HiveError(st, r.hive);
        // Inside a RegistryTransaction the statements are already in one.
        if (access == Access::kRead && !reading && sqlite3_get_autocommit(hive->db) &&
            Step(hive->db, "BEGIN") == SQLITE_DONE)
            reading = hive->db;
        if (r.id != kRootId) return KeyState(hive->db, r.id);
        return ERROR_SUCCESS;
    }
};

LSTATUS CopyName(const std::u16string& name, LPWSTR buf, LPDWORD cch) {
    if (!buf || !cch) return ERROR_INVALID_PARAMETER;
    if (*cch < name.size() + 1) return ERROR_MORE_DATA;
    std::memcpy(buf, name.data(), name.size() * sizeof(char16_t));
    buf[name.size()] = 0;
    *cch = static_cast<DWORD>(name.size());
    return ERROR_SUCCESS;
}

// A value's data as the query calls hand it out: the size when asked, the
// bytes when a buffer is given that holds them.
LSTATUS CopyData(const std::vector<BYTE>& data, LPBYTE buf, LPDWORD cb) {
    if (!cb) return ERROR_SUCCESS;
    DWORD need = static_cast<DWORD>(data.size());
    if (buf) {
        if (*cb < need) {
            *cb = need;
            return ERROR_MORE_DATA;
        }
        if (need) std::memcpy(buf, data.data(), need);
    }
    *cb = need;
    return ERROR_SUCCESS;
}

// Starts a change to the call's hive: writable, and in a write scope.
LSTATUS BeginWrite(Call& c, Hive** h, std::optional<WriteScope>& w) {
    LSTATUS st = WritableHive(c.st, c.r.hive, h);
    if (st != ERROR_SUCCESS) return st;
    w.emplace(**h);
    return w->Status();
}

// Opens the handle of a call and splits the subkey path it names.
LSTATUS OpenPath(Call& c, HKEY hKey, LPCWSTR subKey, std::vector<std::u16string>* parts) {
    LSTATUS st = c.Open(hKey);
    return st != ERROR_SUCCESS ? st : SplitPath(subKey, parts);
}

// The key lpSubKey names below hKey, for a call that only reads.
LSTATUS OpenForRead(Call& c, HKEY hKey, LPCWSTR lpSubKey, int64_t* id) {
    std::vector<std::u16string> parts;
    LSTATUS st = OpenPath(c, hKey, lpSubKey, &parts);
    return st != ERROR_SUCCESS ? st : CachedWalk(*c.hive, c.r.id, parts, id);
}

// The index-th subkey or value name of a key, for the enumerating calls.
LSTATUS NthName(Call& c, HKEY hKey, bool values, DWORD index, ChildCache* scratch, const std::u16string** name) {
    LSTATUS st = c.Open(hKey);
    if (st != ERROR_SUCCESS) return st;
    ChildCache* cache = c.r.key ? (values ? &c.r.key->values : &c.r.key->keys) : nullptr;
    const std::vector<std::u16string>* names = nullptr;
    st = ChildNames(*c.hive, c.r.id, cache, scratch, values, index, &names);
    if (st != ERROR_SUCCESS) return st;
    if (index >= names->size()) return ERROR_NO_MORE_ITEMS;
    *name = &(*names)[index];
    return ERROR_SUCCESS;
}

// The end of a change to one key's values: the statement run, the key's time
// touched, the change committed. A change that must touch a row and found
// none fails as not found.
LSTATUS FinishValueChange(WriteScope& w, sqlite3_stmt* s, sqlite3* db, int64_t key, bool mustChange) {
    int rc = sqlite3_step(s);
    if (rc != SQLITE_DONE) return MapSqlite(rc);
    if (mustChange && sqlite3_changes(db) == 0) return ERROR_FILE_NOT_FOUND;
    LSTATUS st = TouchKey(db, key);
    return st != ERROR_SUCCESS ? st : w.Commit();
}

}  // namespace

LSTATUS RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult) try {
    if (!phkResult) return ERROR_INVALID_PARAMETER;
    Call c(Access::kRead);
    std::vector<std::u16string> parts;
    LSTATUS st = OpenPath(c, hKey, lpSubKey, &parts);
    if (st != ERROR_SUCCESS) return st;
    int64_t id;
    st = CachedWalk(*c.hive, c.r.id, parts, &id);
    if (st != ERROR_SUCCESS) return st;
    if (parts.empty() && !c.r.key) {
        *phkResult = hKey;  // a predefined key opens as itself
        return ERROR_SUCCESS;
    }
    RegKey* k = NewHandle(c.st, c.r.hive, id);
    if (!k) return ERROR_NOT_ENOUGH_MEMORY;
    *phkResult = reinterpret_cast<HKEY>(k);
    return ERROR_SUCCESS;
} catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
}

LSTATUS RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass, DWORD dwOptions,
                        REGSAM samDesired, const LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                        LPDWORD lpdwDisposition) try {
    if (!phkResult) return ERROR_INVALID_PARAMETER;
    Call c;
    LSTATUS st = c.Open(hKey);
    if (st == ERROR_FILE_NOT_FOUND) st = ERROR_ACCESS_DENIED;  // the hive could not be opened at all
    if (st != ERROR_SUCCESS) return st;
    std::vector<std::u16string> parts;
    st = SplitPath(lpSubKey, &parts);
    if (st != ERROR_SUCCESS) return st;
    int64_t id = c.r.id;
    bool created = false;
    // The handle is made before anything is written: a failed call never
    // leaves a new key behind for want of memory to hand it out.
    RegKey* k = nullptr;
    if (!parts.empty() || c.r.key) {
        k = NewHandle(c.st, c.r.hive, id);
        if (!k) return ERROR_NOT_ENOUGH_MEMORY;
    }
    struct DropUnlessKept {
        RegistryState& st;
        RegKey*& k;
        ~DropUnlessKept() {
            if (!k) return;
            st.handles.erase(k);
            delete k;
        }
    } drop{c.st, k};
    // Opening an existing key needs no write access.
    if (WalkPath(c.hive->db, c.r.id, parts, &id) != ERROR_SUCCESS) {
        Hive* h;
        std::optional<WriteScope> w;
        st = BeginWrite(c, &h, w);
        if (st != ERROR_SUCCESS) return st;
        // Walk again under the write lock: whoever inserts the last
        // component is the one that created the key.
        id = c.r.id;
        int64_t now = NowFileTime();
        for (const auto& p : parts) {
            int64_t child;
            st = FindChild(h->db, id, p, &child);
            if (st == ERROR_FILE_NOT_FOUND) {
                Stmt s = Prepare(h->db, "INSERT INTO keys(parent, name, fold, mtime) VALUES(?,?,?,?)");
                if (!s) return PrepareFailure();
                sqlite3_bind_int64(s.get(), 1, id);
                BindBlob16(s.get(), 2, p);
                BindBlob16(s.get(), 3, Fold(p));
                sqlite3_bind_int64(s.get(), 4, now);
                int rc = sqlite3_step(s.get());
                if (rc != SQLITE_DONE) return MapSqlite(rc);
                child = sqlite3_last_insert_rowid(h->db);
                created = true;
            } else if (st != ERROR_SUCCESS) {
                return st;
            } else {
                created = false;
            }
            id = child;
        }
        st = w->Commit();
        if (st != ERROR_SUCCESS) return st;
    }
    if (k) {
        k->id = id;
        *phkResult = reinterpret_cast<HKEY>(k);
        k = nullptr;
    } else {
        *phkResult = hKey;
    }
    if (lpdwDisposition) *lpdwDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return ERROR_SUCCESS;
} catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
}

LSTATUS RegCloseKey(HKEY hKey) try {
    if (hKey == HKEY_LOCAL_MACHINE || hKey == HKEY_CURRENT_USER || hKey == HKEY_CLASSES_ROOT ||
        hKey == HKEY_USERS)
        return ERROR_SUCCESS;
    RegistryState& st = State();
    std::lock_guard<std::recursive_mutex> lock(st.mutex);
    RegKey* k = reinterpret_cast<RegKey*>(hKey);
    auto it = st.handles.find(k);
    if (it == st.handles.end()) return ERROR_INVALID_HANDLE;
    st.handles.erase(it);
    k->magic = 0;
    delete k;
    return ERROR_SUCCESS;
} catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
}

LSTATUS RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData,
                       DWORD cbData) try {
    if (Reserved != 0) return ERROR_INVALID_PARAMETER;
    if (!lpData && cbData != 0) return ERROR_INVALID_PARAMETER;
    std::u16string name = lpValueName ? std::u16string(lpValueName) : std::u16string();
    if (name.size() > kMaxValueNameChars) return ERROR_INVALID_PARAMETER;
    Call c;
    LSTATUS st = c.Open(hKey);
    if (st == ERROR_FILE_NOT_FOUND) st = ERROR_ACCESS_DENIED;
    if (st != ERROR_SUCCESS) return st;
    Hive* h;
    std::optional<WriteScope> w;
    st = BeginWrite(c, &h, w);
    if (st != ERROR_SUCCESS) return st;
    if (c.r.id != kRootId) {
        st = KeyState(h->db, c.r.id);
        if (st != ERROR_SUCCESS) return st;
    }
    Stmt s = Prepare(h->db,
                     "INSERT INTO vals(key, name, fold, type, data) VALUES(?,?,?,?,?) "
                     "ON CONFLICT(key, fold) DO UPDATE SET name=excluded.name, type=excluded.type, "
                     "data=excluded.data");
    if (!s) return PrepareFailure();
    sqlite3_bind_int64(s.get(), 1, c.r.id);
    BindBlob16(s.get(), 2, name);
    BindBlob16(s.get(), 3, Fold(name));
    sqlite3_bind_int64(s.get(), 4, dwType);
    BindOrThrow(sqlite3_bind_blob(s.get(), 5, cbData ? lpData : reinterpret_cast<const BYTE*>(""),
                                  static_cast<int>(cbData), SQLITE_TRANSIENT));
    return FinishValueChange(*w, s.get(), h->db, c.r.id, false);
} catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
}

LSTATUS RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                         LPDWORD lpcbData) try {
    if (lpReserved) return ERROR_INVALID_PARAMETER;
    if (lpData && !lpcbData) return ERROR_INVALID_PARAMETER;
    Call c(Access::kRead);
    LSTATUS st = c.Open(hKey);
    if (st != ERROR_SUCCESS) return st;
    ValueRow<std::vector<BYTE>> row;
    st = ReadValue(c.hive->db, c.r.id, lpValueName ? std::u16string(lpValueName) : std::u16string(), &row);
    if (st != ERROR_SUCCESS) return st;
    if (lpType) *lpType = row.type;
    return CopyData(row.data, lpData, lpcbData);
} catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
}

LSTATUS RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName) try {
    std::u16string name = lpValueName ? std::u16string(lpValueName) : std::u16string();
    Call c;
    LSTATUS st = c.Open(hKey);
    if (st != ERROR_SUCCESS) return st;
    Hive* h;
    ValueRow<std::vector<BYTE>> row;
    st = ReadValue(c.hive->db, c.r.id, name, &row);
    if (st != ERROR_SUCCESS) return st;
    std::optional<WriteScope> w;
    st = BeginWrite(c, &h, w);
    if (st != ERROR_SUCCESS) return st;
    Stmt s = PrepareForName(h->db, "DELETE FROM vals WHERE key=? AND fold=?", c.r.id, name);
    if (!s) return PrepareFailure();
    return FinishValueChange(*w, s.get(), h->db, c.r.id, true);
} catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
}

LSTATUS RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                      LPWSTR lpClass, LPDWORD lpcchClass, PFILETIME lpftLastWriteTime) try {
    if (!lpName || !lpcchName || lpReserved) return ERROR_INVALID_PARAMETER;
    Call c(Access::kRead);
    ChildCache scratch;
    const std::u16string* found = nullptr;
    LSTATUS st = NthName(c, hKey, false, dwIndex, &scratch, &found);
    if (st != ERROR_SUCCESS) return st;
    const std::u16string& name = *found;
    if (lpClass && lpcchClass) {
        if (*lpcchClass < 1) return ERROR_MORE_DATA;
        lpClass[0] = 0;
    }
    if (lpftLastWriteTime) {
        int64_t child = 0, mtime = 0;
        if (FindChild(c.hive->db, c.r.id, name, &child) == ERROR_SUCCESS) {
            Stmt s = Prepare(c.hive->db, "SELECT mtime FROM keys WHERE id=?");
            if (s) {
                sqlite3_bind_int64(s.get(), 1, child);
                if (sqlite3_step(s.get()) == SQLITE_ROW) mtime = sqlite3_column_int64(s.get(), 0);
            }
        }
        lpftLastWriteTime->dwLowDateTime = static_cast<DWORD>(mtime);
        lpftLastWriteTime->dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(mtime) >> 32);
    }
    st = CopyName(name, lpName, lpcchName);
    if (st == ERROR_SUCCESS && lpcchClass) *lpcchClass = 0;
    return st;
} catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
}

LSTATUS RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, LPDWORD lpcchValueName, LPDWORD lpReserved,
                      LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) try {
    if (!lpValueName || !lpcchValueName || lpReserved) return ERROR_INVALID_PARAMETER;
    if (lpData && !lpcbData) return ERROR_INVALID_PARAMETER;
    Call c(Access::kRead);
    ChildCache scratch;
    const std::u16string* name = nullptr;
    LSTATUS st = NthName(c, hKey, true, dwIndex, &scratch, &name);
    if (st != ERROR_SUCCESS) return st;
    ValueRow<std::vector<BYTE>> row;
    st = ReadValue(c.hive->db, c.r.id, *name, &row);
    if (st == ERROR_FILE_NOT_FOUND) return ERROR_NO_MORE_ITEMS;  // deleted meanwhile
    if (st != ERROR_SUCCESS) return st;
    if (*lpcchValueName < row.name.size() + 1) return ERROR_MORE_DATA;
    if (lpType) *lpType = row.type;
    st = CopyData(row.data, lpData, lpcbData);
    return st != ERROR_SUCCESS ? st : CopyName(row.name, lpValueName, lpcchValueName);
} catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
}

LSTATUS RegQueryInfoKeyW(HKEY hKey, LPWSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved, LPDWORD lpcSubKeys,
                         LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen, LPDWORD lpcValues,
                         LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen, LPDWORD lpcbSecurityDescriptor,
                         PFILETIME lpftLastWriteTime) try {
    if (lpReserved) return ERROR_INVALID_PARAMETER;
    Call c(Access::kRead);
    LSTATUS st = c.Open(hKey);
    if (st != ERROR_SUCCESS) return st;
    sqlite3* db = c.hive->db;
    // Character counts exclude the terminator, as Windows reports them.
    Stmt s = Prepare(db, "SELECT count(*), coalesce(max(length(name)),0) FROM keys WHERE parent=?");
    Stmt v = Prepare(db,
                     "SELECT count(*), coalesce(max(length(name)),0), coalesce(max(length(data)),0) "
                     "FROM vals WHERE key=?");
    Stmt m = Prepare(db, "SELECT mtime FROM keys WHERE id=?");
    if (!s || !v || !m) return PrepareFailure();
    sqlite3_bind_int64(s.get(), 1, c.r.id);
    sqlite3_bind_int64(v.get(), 1, c.r.id);
    sqlite3_bind_int64(m.get(), 1, c.r.id);
    if (sqlite3_step(s.get()) != SQLITE_ROW || sqlite3_step(v.get()) != SQLITE_ROW) return ERROR_REGISTRY_IO_FAILED;
    int64_t mtime = sqlite3_step(m.get()) == SQLITE_ROW ? sqlite3_column_int64(m.get(), 0) : 0;
    if (lpClass && lpcchClass) {
        if (*lpcchClass < 1) return ERROR_MORE_DATA;
        lpClass[0] = 0;
    }
    if (lpcchClass) *lpcchClass = 0;
    if (lpcSubKeys) *lpcSubKeys = static_cast<DWORD>(sqlite3_column_int64(s.get(), 0));
    if (lpcbMaxSubKeyLen) *lpcbMaxSubKeyLen = static_cast<DWORD>(sqlite3_column_int64(s.get(), 1) / 2);
    if (lpcbMaxClassLen) *lpcbMaxClassLen = 0;
    if (lpcValues) *lpcValues = static_cast<DWORD>(sqlite3_column_int64(v.get(), 0));
    if (lpcbMaxValueNameLen) *lpcbMaxValueNameLen = static_cast<DWORD>(sqlite3_column_int64(v.get(), 1) / 2);
    if (lpcbMaxValueLen) *lpcbMaxValueLen = static_cast<DWORD>(sqlite3_column_int64(v.get(), 2));
    if (lpcbSecurityDescriptor) *lpcbSecurityDescriptor = 0;
    if (lpftLastWriteTime) {
        lpftLastWriteTime->dwLowDateTime = static_cast<DWORD>(mtime);
        lpftLastWriteTime->dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(mtime) >> 32);
    }
    return ERROR_SUCCESS;
} catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
}

namespace {

// Deletes key `id` (and with cascade, everything below it) after checking
// what the caller requires. Runs in its own write scope.
LSTATUS DeleteKeyRow(Call& c, const std::vector<std::u16string>& parts, bool tree, bool keepSelf) {
    int64_t id;
    LSTATUS st = WalkPath(c.hive->db, c.r.id, parts, &id);
    if (st != ERROR_SUCCESS) return st;
    Hive* h;
    std::optional<WriteScope> w;
    st = BeginWrite(c, &h, w);
    if (st != ERROR_SUCCESS) return st;
    st = WalkPath(h->db, c.r.id, parts, &id);  // again, under the write lock
    if (st != ERROR_SUCCESS) return st;
    if (!tree) {
        Stmt s = Prepare(h->db, "SELECT 1 FROM keys WHERE parent=? LIMIT 1");
        if (!s) return PrepareFailure();
        sqlite3_bind_int64(s.get(), 1, id);
        if (sqlite3_step(s.get()) == SQLITE_ROW) return ERROR_ACCESS_DENIED;
    }
    if (keepSelf || id == kRootId) {
        if (!tree) return ERROR_ACCESS_DENIED;  // a hive root is never deleted
        Stmt a = Prepare(h->db, "DELETE FROM keys WHERE parent=?");
        Stmt b = Prepare(h->db, "DELETE FROM vals WHERE key=?");
        if (!a || !b) return PrepareFailure();
        sqlite3_bind_int64(a.get(), 1, id);
        sqlite3_bind_int64(b.get(), 1, id);
        int rc = sqlite3_step(a.get());
        if (rc != SQLITE_DONE) return MapSqlite(rc);
        rc = sqlite3_step(b.get());
        if (rc != SQLITE_DONE) return MapSqlite(rc);
        st = TouchKey(h->db, id);
        if (st != ERROR_SUCCESS) return st;
    } else {
        Stmt s = Prepare(h->db, "DELETE FROM keys WHERE id=?");
        if (!s) return PrepareFailure();
        sqlite3_bind_int64(s.get(), 1, id);
        int rc = sqlite3_step(s.get());
        if (rc != SQLITE_DONE) return MapSqlite(rc);
    }
    return w->Commit();
}

}  // namespace

LSTATUS RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey) try {
    if (!lpSubKey) return ERROR_INVALID_PARAMETER;
    Call c;
    std::vector<std::u16string> parts;
    LSTATUS st = OpenPath(c, hKey, lpSubKey, &parts);
    if (st != ERROR_SUCCESS) return st;
    return DeleteKeyRow(c, parts, false, false);
} catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
}

LSTATUS RegDeleteTreeW(HKEY hKey, LPCWSTR lpSubKey) try {
    Call c;
    std::vector<std::u16string> parts;
    LSTATUS st = OpenPath(c, hKey, lpSubKey, &parts);
    if (st != ERROR_SUCCESS) return st;
    // Without a subkey the key's contents go and the key itself stays.
    return DeleteKeyRow(c, parts, true, lpSubKey == nullptr || *lpSubKey == 0);
} catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
}

namespace {

// FNV-1a over what tells a hive's contents apart: the prefix opened, SQLite's
// count of other connections' commits, and our own writes.
uint64_t VersionOf(const uint64_t* parts, size_t n) {
    uint64_t v = 1469598103934665603ull;
    for (size_t k = 0; k < n; ++k)
        for (int i = 0; i < 8; ++i) v = (v ^ ((parts[k] >> (8 * i)) & 0xFF)) * 1099511628211ull;
    return v;
}

}  // namespace

namespace tessaro_platform {

RegistryTransaction::RegistryTransaction(HKEY hKey) : m_status(ERROR_SUCCESS) {
    RegistryState& st = State();
    st.mutex.lock();  // held for the transaction's life; other threads wait
    try {
        Begin(hKey);
    } catch (const std::bad_alloc&) {
        // Nothing was begun: the destructor only lets the lock go.
        m_status = ERROR_NOT_ENOUGH_MEMORY;
    }
}

void RegistryTransaction::Begin(HKEY hKey) {
    RegistryState& st = State();
    RefreshPrefix(st);
    Resolved r;
    m_status = ResolveHandle(st, hKey, &r);
    if (m_status != ERROR_SUCCESS) return;
    Hive* h;
    m_status = WritableHive(st, r.hive, &h);
    if (m_status != ERROR_SUCCESS) return;
    m_hive = r.hive;
    m_outermost = h->txDepth == 0;
    int rc = Exec(h->db, m_outermost ? "BEGIN IMMEDIATE" : "SAVEPOINT regtx");
    if (rc != SQLITE_OK) {
        m_status = MapSqlite(rc);
        return;
    }
    ++h->txDepth;
}

LSTATUS RegistryTransaction::Commit() {
    if (m_status != ERROR_SUCCESS) return m_status;
    if (m_done) return ERROR_INVALID_PARAMETER;
    Hive& h = State().hives[m_hive];
    int rc = Exec(h.db, m_outermost ? "COMMIT" : "RELEASE regtx");
    if (rc != SQLITE_OK) return MapSqlite(rc);
    ++h.localWrites;
    m_done = true;
    --h.txDepth;
    return ERROR_SUCCESS;
}

RegistryTransaction::~RegistryTransaction() {
    RegistryState& st = State();
    if (m_status == ERROR_SUCCESS && !m_done) {
        Hive& h = st.hives[m_hive];
        if (m_outermost) {
            Exec(h.db, "ROLLBACK");
        } else {
            Exec(h.db, "ROLLBACK TO regtx");
            Exec(h.db, "RELEASE regtx");
        }
        ++h.localWrites;
        --h.txDepth;
    }
    st.mutex.unlock();
}

void RegistryDeferDurability(bool bDefer) {
    RegistryState& st = State();
    std::lock_guard<std::recursive_mutex> g(st.mutex);
    st.deferSync = bDefer;
    for (auto& h : st.hives)
        if (h.db && !h.system) Exec(h.db, bDefer ? "PRAGMA synchronous=NORMAL" : "PRAGMA synchronous=FULL");
}

LSTATUS RegistryMakeDurable() {
    RegistryState& st = State();
    std::lock_guard<std::recursive_mutex> g(st.mutex);
    if (st.pid != getpid()) return ERROR_SUCCESS;  // nothing of this process to sync
    for (auto& h : st.hives) {
        if (!h.db || h.localWrites == h.durableWrites) continue;
        // The log holds every commit since the last sync: syncing it (and, the
        // first time, its directory entry) makes them all durable at once.
        sqlite3_file* log = nullptr;
        if (sqlite3_file_control(h.db, "main", SQLITE_FCNTL_JOURNAL_POINTER, &log) != SQLITE_OK)
            return ERROR_REGISTRY_IO_FAILED;
        if (log && log->pMethods) {
            int rc = log->pMethods->xSync(log, SQLITE_SYNC_NORMAL);
            if (rc != SQLITE_OK) return MapSqlite(rc);
        }
        h.durableWrites = h.localWrites;
    }
    return ERROR_SUCCESS;
}

LSTATUS RegistryGetValues(HKEY hKey, LPCWSTR lpSubKey, const LPCWSTR* ppValueNames, size_t count,
                          RegistryValueRead* pValues) try {
    Call c(Access::kRead);
    int64_t id = 0;
    LSTATUS st = OpenForRead(c, hKey, lpSubKey, &id);
    if (st != ERROR_SUCCESS) return st;
    for (size_t i = 0; i < count; ++i) {
        ValueRow<tessaro::SecureBytes> row;
        RegistryValueRead& v = pValues[i];
        v.status = ReadValue(c.hive->db, id, ppValueNames[i] ? std::u16string(ppValueNames[i]) : std::u16string(), &row);
        v.type = v.status == ERROR_SUCCESS ? row.type : 0;
        v.data.swap(row.data);
    }
    return ERROR_SUCCESS;
} catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
}

LSTATUS RegistryGetValue(HKEY hKey, LPCWSTR lpSubKey, LPCWSTR lpValueName, bool* pbKeyFound, DWORD* pdwType,
                         tessaro::SecureBytes* pData) {
    RegistryValueRead v;
    LSTATUS st = RegistryGetValues(hKey, lpSubKey, &lpValueName, 1, &v);
    *pbKeyFound = st == ERROR_SUCCESS;
    if (st != ERROR_SUCCESS) return st;
    if (v.status != ERROR_SUCCESS) return v.status;
    *pdwType = v.type;
    pData->swap(v.data);
    return ERROR_SUCCESS;
}

LSTATUS RegistryGetSubkeyNames(HKEY hKey, LPCWSTR lpSubKey, std::vector<std::u16string>* pNames) try {
    pNames->clear();
    Call c(Access::kRead);
    int64_t id = 0;
    LSTATUS st = OpenForRead(c, hKey, lpSubKey, &id);
    if (st != ERROR_SUCCESS) return st;
    ChildCache names;
    const std::vector<std::u16string>* found = nullptr;
    st = ChildNames(*c.hive, id, nullptr, &names, false, 0, &found);
    if (st == ERROR_SUCCESS) pNames->swap(names.names);
    return st;
} catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
}

bool RegistryHiveVersion(HKEY hHive, uint64_t* pVersion) {
    const int hive = hHive == HKEY_LOCAL_MACHINE ? kHiveMachine : kHiveUser;
    if (hHive != HKEY_LOCAL_MACHINE && hHive != HKEY_CURRENT_USER) return false;
    RegistryState& st = State();
    std::lock_guard<std::recursive_mutex> g(st.mutex);
    RefreshPrefix(st);
    Hive* h = GetHive(st, hive);
    const int64_t dv = h ? DataVersion(h->db) : -1;
    if (dv < 0) return false;
    const uint64_t parts[] = {st.generation, static_cast<uint64_t>(dv), h->localWrites};
    *pVersion = VersionOf(parts, 3);
    return true;
}

uint64_t RegistryLocalVersion() {
    RegistryState& st = State();
    std::lock_guard<std::recursive_mutex> g(st.mutex);
    RefreshPrefix(st);
    const uint64_t parts[] = {st.generation, st.hives[0].localWrites, st.hives[1].localWrites};
    return VersionOf(parts, 3);
}

uint64_t RegistryVersion() {
    RegistryState& st = State();
    std::lock_guard<std::recursive_mutex> g(st.mutex);
    RefreshPrefix(st);
    uint64_t parts[5] = {st.generation};
    for (int hive = 0; hive < 2; ++hive) {
        Hive* h = GetHive(st, hive);
        parts[1 + 2 * hive] = h ? static_cast<uint64_t>(DataVersion(h->db)) : ~0ull;
        parts[2 + 2 * hive] = h ? h->localWrites : 0;
    }
    return VersionOf(parts, 5);
}

const char* RegistrySystemHivePath() { return kSystemMachineHive; }

bool RegistryHasSystemHive() { return SystemMachineHive(); }

LSTATUS RegistryCheckHive(HKEY hKey) try {
    const int hive = hKey == HKEY_LOCAL_MACHINE ? kHiveMachine : hKey == HKEY_CURRENT_USER ? kHiveUser : -1;
    if (hive < 0) return ERROR_INVALID_HANDLE;
    RegistryState& st = State();
    std::lock_guard<std::recursive_mutex> g(st.mutex);
    RefreshPrefix(st);
    Hive* h = GetHive(st, hive);
    if (!h) return HiveError(st, hive);
    // Every page and the schema, read: a damaged file answers here rather
    // than at the first lookup that happens to touch the damage.
    Stmt s = Prepare(h->db, "PRAGMA quick_check");
    if (!s) return PrepareFailure();
    int rc = sqlite3_step(s.get());
    if (rc != SQLITE_ROW) {
        LSTATUS e = MapSqlite(rc);
        return e == ERROR_SUCCESS ? ERROR_REGISTRY_IO_FAILED : e;
    }
    const unsigned char* text = sqlite3_column_text(s.get(), 0);
    const bool whole = text && std::strcmp(reinterpret_cast<const char*>(text), "ok") == 0;
    s.reset();
    return whole && HasSchema(h->db) ? ERROR_SUCCESS : ERROR_BADDB;
} catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
}

}  // namespace tessaro_platform
