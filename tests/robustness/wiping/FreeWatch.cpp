#include "tests/robustness/wiping/FreeWatch.h"

#if !defined(TESSARO_SANITIZE)
#include <dlfcn.h>
#include <elf.h>
#include <execinfo.h>
#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#endif

namespace wiping_test {

#if defined(TESSARO_SANITIZE)

bool WatchAvailable() { return false; }
void WatchReset() {}
void WatchNeedle(const std::string&, const uint8_t*, size_t) {}
void WatchArm(bool) {}
std::vector<FreedBlock> WatchRecords() { return {}; }
size_t WatchExamined() { return 0; }

#else

namespace {

constexpr size_t kMaxNeedles = 32;
constexpr size_t kMaxNeedleBytes = 64;
constexpr size_t kMaxRecords = 128;
constexpr int kMaxFrames = 32;

struct Needle {
    char label[48];
    uint8_t bytes[kMaxNeedleBytes];
    size_t size;
};

struct Record {
    size_t needle;
    size_t size;
    void* frames[kMaxFrames];
    int frameCount;
};

// Plain static storage: nothing here may allocate while free() runs.
Needle g_needles[kMaxNeedles];
std::atomic<size_t> g_needleCount{0};
Record g_records[kMaxRecords];
std::atomic<size_t> g_recordCount{0};
std::atomic<size_t> g_examined{0};
std::atomic<bool> g_armed{false};
thread_local bool t_inside = false;

void Examine(void* p) {
    const size_t size = malloc_usable_size(p);
    g_examined.fetch_add(1, std::memory_order_relaxed);
    const size_t count = g_needleCount.load(std::memory_order_acquire);
    for (size_t i = 0; i < count; ++i) {
        const Needle& n = g_needles[i];
        if (n.size == 0 || n.size > size || memmem(p, size, n.bytes, n.size) == nullptr) continue;
        size_t slot = g_recordCount.fetch_add(1);
        if (slot >= kMaxRecords) return;
        Record& r = g_records[slot];
        r.needle = i;
        r.size = size;
        r.frameCount = backtrace(r.frames, kMaxFrames);
        return;  // one record per block
    }
}

// backtrace() loads its unwinder on first use, which allocates: do it once
// before any block is watched.
struct PrimeUnwinder {
    PrimeUnwinder() {
        void* frames[4];
        backtrace(frames, 4);
    }
} g_prime;

// This program's own functions are hidden from the dynamic symbol table;
// their names come from the file's full symbol table.
struct FunctionSymbol {
    uintptr_t start, size;
    std::string name;
};

std::vector<FunctionSymbol> ReadOwnSymbols() {
    std::vector<FunctionSymbol> out;
    std::ifstream f("/proc/self/exe", std::ios::binary);
    std::vector<char> file((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    if (file.size() < sizeof(Elf64_Ehdr)) return out;
    const auto* eh = reinterpret_cast<const Elf64_Ehdr*>(file.data());
    if (eh->e_shoff == 0 || eh->e_shoff + eh->e_shnum * sizeof(Elf64_Shdr) > file.size()) return out;
    const auto* sh = reinterpret_cast<const Elf64_Shdr*>(file.data() + eh->e_shoff);
    for (int i = 0; i < eh->e_shnum; ++i) {
        if (sh[i].sh_type != SHT_SYMTAB || sh[i].sh_link >= eh->e_shnum) continue;
        const Elf64_Shdr& strtab = sh[sh[i].sh_link];
        if (sh[i].sh_offset + sh[i].sh_size > file.size() || strtab.sh_offset + strtab.sh_size > file.size())
            continue;
        const auto* sym = reinterpret_cast<const Elf64_Sym*>(file.data() + sh[i].sh_offset);
        for (size_t k = 0; k < sh[i].sh_size / sizeof(Elf64_Sym); ++k) {
            if (ELF64_ST_TYPE(sym[k].st_info) != STT_FUNC || sym[k].st_value == 0 ||
                sym[k].st_name >= strtab.sh_size)
                continue;
            out.push_back({sym[k].st_value, sym[k].st_size, file.data() + strtab.sh_offset + sym[k].st_name});
        }
    }
    std::sort(out.begin(), out.end(),
              [](const FunctionSymbol& a, const FunctionSymbol& b) { return a.start < b.start; });
    return out;
}

std::string OwnSymbolAt(uintptr_t offset) {
    static const std::vector<FunctionSymbol> symbols = ReadOwnSymbols();
    auto it = std::upper_bound(symbols.begin(), symbols.end(), offset,
                               [](uintptr_t v, const FunctionSymbol& s) { return v < s.start; });
    if (it == symbols.begin()) return "";
    --it;
    return offset < it->start + std::max<uintptr_t>(it->size, 1) ? it->name : "";
}

std::string ObjectOf(const void* address, std::string* symbol, uintptr_t* offset) {
    Dl_info info{};
    if (dladdr(address, &info) == 0 || info.dli_fname == nullptr) return "?";
    const uintptr_t off = reinterpret_cast<uintptr_t>(address) - reinterpret_cast<uintptr_t>(info.dli_fbase);
    if (symbol) *symbol = info.dli_sname ? info.dli_sname : "";
    if (symbol && symbol->empty()) {
        static const uintptr_t ownBase = [] {
            Dl_info self{};
            dladdr(reinterpret_cast<const void*>(&ReadOwnSymbols), &self);
            return reinterpret_cast<uintptr_t>(self.dli_fbase);
        }();
        // A return address lies just past its call: look up the byte before it.
        if (reinterpret_cast<uintptr_t>(info.dli_fbase) == ownBase) *symbol = OwnSymbolAt(off - 1);
    }
    if (offset) *offset = off;
    return info.dli_fname;
}

bool Contains(const std::string& s, const char* part) { return s.find(part) != std::string::npos; }

std::string ThisProgram() {
    static const std::string self = ObjectOf(reinterpret_cast<const void*>(&ThisProgram), nullptr, nullptr);
    return self;
}

// OpenSSL functions that only release what their caller hands them: a block
// they free belongs to the caller.
bool IsOpenSslRelease(const std::string& symbol) {
    return symbol == "CRYPTO_free" || symbol == "CRYPTO_clear_free" || symbol == "OSSL_PARAM_free" ||
           symbol == "BN_free" || symbol == "BN_clear_free";
}

// The registry functions (this program's hives): the persisted key record
// passes through them by design, on its way to and from SQLite.
bool IsHiveFunction(const std::string& symbol) {
    static const char* const kNames[] = {"RegQueryValueExW", "RegSetValueExW", "RegEnumValueW", "RegGetValueW",
                                         "RegDeleteTreeW",   "RegDeleteKeyW",  "RegCloseKey"};
    for (const char* n : kNames)
        if (symbol.find(n) != std::string::npos) return true;
    return false;
}

// The first frame past free() and the C and C++ runtime's release functions
// decides, unless a registry function is on the way.
FreeSite Classify(const Record& r) {
    for (int i = 1; i < r.frameCount; ++i) {
        std::string symbol;
        ObjectOf(r.frames[i], &symbol, nullptr);
        if (IsHiveFunction(symbol)) return FreeSite::Hive;
    }
    for (int i = 1; i < r.frameCount; ++i) {
        std::string symbol;
        std::string object = ObjectOf(r.frames[i], &symbol, nullptr);
        if (object == ThisProgram()) {
            if (symbol == "free" || symbol == "realloc") continue;  // the watch itself
            return FreeSite::Ours;
        }
        if (Contains(object, "libc.so") || Contains(object, "libstdc++")) continue;
        if (Contains(object, "libcrypto")) {
            if (IsOpenSslRelease(symbol)) continue;
            return FreeSite::OpenSsl;
        }
        if (Contains(object, "libsqlite3")) return FreeSite::Hive;
        return FreeSite::Other;
    }
    return FreeSite::Other;
}

std::string StackText(const Record& r) {
    std::string out;
    for (int i = 1; i < r.frameCount && i < 14; ++i) {
        std::string symbol;
        uintptr_t offset = 0;
        std::string object = ObjectOf(r.frames[i], &symbol, &offset);
        size_t slash = object.rfind('/');
        char line[96];
        snprintf(line, sizeof line, "+0x%zx", static_cast<size_t>(offset));
        out += "    " + object.substr(slash == std::string::npos ? 0 : slash + 1) + line +
               (symbol.empty() ? "" : " " + symbol) + "\n";
    }
    return out;
}

}  // namespace

bool WatchAvailable() { return true; }

void WatchReset() {
    g_armed.store(false);
    g_needleCount.store(0);
    g_recordCount.store(0);
    g_examined.store(0);
}

void WatchNeedle(const std::string& label, const uint8_t* p, size_t n) {
    size_t i = g_needleCount.load();
    if (i >= kMaxNeedles || n == 0) return;
    Needle& needle = g_needles[i];
    snprintf(needle.label, sizeof needle.label, "%s", label.c_str());
    needle.size = n < kMaxNeedleBytes ? n : kMaxNeedleBytes;
    memcpy(needle.bytes, p, needle.size);
    g_needleCount.store(i + 1, std::memory_order_release);
}

void WatchArm(bool on) { g_armed.store(on); }

std::vector<FreedBlock> WatchRecords() {
    std::vector<FreedBlock> out;
    size_t count = g_recordCount.load();
    if (count > kMaxRecords) count = kMaxRecords;
    for (size_t i = 0; i < count; ++i) {
        FreedBlock b;
        b.label = g_needles[g_records[i].needle].label;
        b.size = g_records[i].size;
        b.site = Classify(g_records[i]);
        b.stack = StackText(g_records[i]);
        out.push_back(b);
    }
    return out;
}

size_t WatchExamined() { return g_examined.load(); }

#endif

std::vector<FreedBlock> OursOnly(const std::vector<FreedBlock>& all) {
    std::vector<FreedBlock> out;
    for (const auto& b : all)
        if (b.site == FreeSite::Ours) out.push_back(b);
    return out;
}

std::string Describe(const std::vector<FreedBlock>& blocks) {
    static const char* const kSites[] = {"our", "OpenSSL's", "the hive's", "other"};
    std::string out;
    for (const auto& b : blocks)
        out += b.label + " in a block of " + std::to_string(b.size) + " bytes released by " +
               kSites[static_cast<int>(b.site)] + " code:\n" + b.stack;
    return out;
}

}  // namespace wiping_test

#if !defined(TESSARO_SANITIZE)
extern "C" {
void __libc_free(void*);
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);

// Every allocation and release in the process passes here: the C library's
// functions are looked up after this program's, by the shared libraries as
// well. New blocks are handed out zeroed, so that what a block holds when it
// is released was written during its own life, never left over from an
// earlier owner.
static void* Zeroed(void* p) {
    if (p != nullptr) memset(p, 0, malloc_usable_size(p));
    return p;
}

void free(void* p) {
    if (p != nullptr && wiping_test::g_armed.load(std::memory_order_relaxed) && !wiping_test::t_inside) {
        wiping_test::t_inside = true;
        wiping_test::Examine(p);
        wiping_test::t_inside = false;
    }
    __libc_free(p);
}

void* malloc(size_t n) { return Zeroed(__libc_malloc(n)); }

void* calloc(size_t count, size_t n) { return Zeroed(__libc_calloc(count, n)); }

// Growth moves through malloc() and free(), so that the old block is
// examined like any other release.
void* realloc(void* p, size_t n) {
    if (p == nullptr) return malloc(n);
    if (n == 0) {
        free(p);
        return nullptr;
    }
    const size_t old = malloc_usable_size(p);
    if (n <= old) return p;
    void* q = malloc(n);
    if (q == nullptr) return nullptr;
    memcpy(q, p, old);
    free(p);
    return q;
}

void* memalign(size_t alignment, size_t n) { return Zeroed(__libc_memalign(alignment, n)); }

void* aligned_alloc(size_t alignment, size_t n) { return Zeroed(__libc_memalign(alignment, n)); }

int posix_memalign(void** out, size_t alignment, size_t n) {
    if (alignment < sizeof(void*) || (alignment & (alignment - 1)) != 0) return EINVAL;
    void* p = Zeroed(__libc_memalign(alignment, n));
    if (p == nullptr) return ENOMEM;
    *out = p;
    return 0;
}
}
#endif
