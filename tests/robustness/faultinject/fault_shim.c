/* Preloaded into the host by the fault-injection test: the Nth call (counted
 * over every function of one kind) fails, as a full disk, a failing library or
 * an exhausted heap would. TESSARO_FAULT_KIND is
 *   "sqlite"   SQLite's statement execution,
 *   "openssl"  the OpenSSL calls the providers make,
 *   "new"      the C++ allocation functions (fault_shim_new.cc): the throwing
 *              ones throw std::bad_alloc, the nothrow ones return null,
 *   "malloc"   malloc, calloc and realloc return null, so OpenSSL, SQLite,
 *              cJSON, libxml2 and the C++ library all see an exhausted heap;
 * TESSARO_FAULT_N the call that fails (and every later one when
 * TESSARO_FAULT_STICKY=1); TESSARO_FAULT_MARK names a file created when a
 * fault was injected. Allocations are counted from main on: a host that cannot
 * even start has nothing to answer, and the C library's own start-up must not
 * shift the numbering. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <execinfo.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "tests/robustness/faultinject/fault_shim.h"

static long g_nCount;
static long g_nFailAt = -1;
static int g_nKind; /* FAULT_KIND_* */
static int g_bSticky;
static int g_bInit;
/* Set on entering main: allocations are counted from there. */
static int g_bArmed;
/* Inside the shim's own bookkeeping (the backtrace allocates): not counted. */
static __thread int t_bInShim __attribute__((tls_model("initial-exec")));

/* With TESSARO_FAULT_COUNT set, the number of calls of the kind is written
 * there at exit, so a test knows how far N has to walk. */
static void WriteCount(void) {
    const char* path = getenv("TESSARO_FAULT_COUNT");
    if (!path) return;
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return;
    char buf[32];
    int len = 0;
    long n = g_nCount;
    char tmp[32];
    int t = 0;
    do {
        tmp[t++] = (char)('0' + n % 10);
        n /= 10;
    } while (n > 0);
    while (t > 0) buf[len++] = tmp[--t];
    if (write(fd, buf, (size_t)len) < 0) {
    }
    close(fd);
}

static void Init(void) {
    if (g_bInit) return;
    g_bInit = 1;
    if (getenv("TESSARO_FAULT_COUNT")) atexit(WriteCount);
    const char* kind = getenv("TESSARO_FAULT_KIND");
    const char* n = getenv("TESSARO_FAULT_N");
    const char* sticky = getenv("TESSARO_FAULT_STICKY");
    if (kind && n) {
        g_nKind = strcmp(kind, "sqlite") == 0    ? FAULT_KIND_SQLITE
                  : strcmp(kind, "openssl") == 0 ? FAULT_KIND_OPENSSL
                  : strcmp(kind, "new") == 0     ? FAULT_KIND_NEW
                  : strcmp(kind, "malloc") == 0  ? FAULT_KIND_MALLOC
                                                 : 0;
        g_nFailAt = strtol(n, NULL, 10);
    }
    g_bSticky = sticky && strcmp(sticky, "1") == 0;
}

/* Read in the constructor: once the C library runs constructors the
 * environment is there; until then nothing is counted. */
__attribute__((constructor)) static void InitAtLoad(void) { Init(); }

/* True when this call of a function of the kind must fail. */
int FaultShimFail(int nKind) {
    if (!g_bInit || t_bInShim) return 0;
    if (nKind != g_nKind || g_nFailAt < 0) return 0;
    if ((nKind == FAULT_KIND_NEW || nKind == FAULT_KIND_MALLOC) && !__atomic_load_n(&g_bArmed, __ATOMIC_ACQUIRE))
        return 0;
    long n = __atomic_add_fetch(&g_nCount, 1, __ATOMIC_SEQ_CST);
    if (g_nFailAt == 0) return 0; /* counting only */
    if (n == g_nFailAt || (g_bSticky && n > g_nFailAt)) {
        /* TESSARO_FAULT_BACKTRACE=1: where the fault lands, on stderr. */
        const char* bt = getenv("TESSARO_FAULT_BACKTRACE");
        if (bt && strcmp(bt, "1") == 0) {
            t_bInShim = 1;
            void* frames[32];
            backtrace_symbols_fd(frames, backtrace(frames, 32), 2);
            t_bInShim = 0;
        }
        const char* mark = getenv("TESSARO_FAULT_MARK");
        if (mark) {
            int fd = open(mark, O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
            if (fd >= 0) close(fd);
        }
        return 1;
    }
    return 0;
}

static int Fail(int nKind) {
    Init();
    return FaultShimFail(nKind);
}

#define NEXT(name) ((__typeof__(&name))dlsym(RTLD_NEXT, #name))

/* ---- SQLite ---- */
typedef struct sqlite3 sqlite3;
typedef struct sqlite3_stmt sqlite3_stmt;
int sqlite3_step(sqlite3_stmt* st);
int sqlite3_exec(sqlite3* db, const char* sql, int (*cb)(void*, int, char**, char**), void* arg, char** err);
#define FAULT_SQLITE_IOERR 10

/* sqlite3_exec steps its statements through the exported sqlite3_step and
 * then reports the statement's own result, which a faked step failure never
 * set: so a step inside exec is never failed here; exec fails as a whole. */
static __thread int t_bInExec;

int sqlite3_step(sqlite3_stmt* st) {
    if (!t_bInExec && Fail(FAULT_KIND_SQLITE)) return FAULT_SQLITE_IOERR;
    return NEXT(sqlite3_step)(st);
}
int sqlite3_exec(sqlite3* db, const char* sql, int (*cb)(void*, int, char**, char**), void* arg, char** err) {
    if (Fail(FAULT_KIND_SQLITE)) {
        if (err) *err = NULL;
        return FAULT_SQLITE_IOERR;
    }
    t_bInExec = 1;
    int rc = NEXT(sqlite3_exec)(db, sql, cb, arg, err);
    t_bInExec = 0;
    return rc;
}

/* ---- OpenSSL: key generation, private-key operations, randomness,
 * digests and certificate parsing ---- */
typedef struct evp_pkey_ctx_st EVP_PKEY_CTX;
typedef struct evp_pkey_st EVP_PKEY;
typedef struct evp_md_ctx_st EVP_MD_CTX;
typedef struct x509_st X509;
typedef struct ossl_param_st OSSL_PARAM;
int EVP_PKEY_generate(EVP_PKEY_CTX* ctx, EVP_PKEY** ppkey);
int EVP_PKEY_keygen(EVP_PKEY_CTX* ctx, EVP_PKEY** ppkey);
int EVP_PKEY_sign(EVP_PKEY_CTX* ctx, unsigned char* sig, size_t* siglen, const unsigned char* tbs, size_t tbslen);
int EVP_PKEY_decrypt(EVP_PKEY_CTX* ctx, unsigned char* out, size_t* outlen, const unsigned char* in, size_t inlen);
int EVP_PKEY_fromdata(EVP_PKEY_CTX* ctx, EVP_PKEY** ppkey, int selection, OSSL_PARAM* params);
int EVP_DigestSign(EVP_MD_CTX* ctx, unsigned char* sigret, size_t* siglen, const unsigned char* tbs, size_t tbslen);
int EVP_DigestFinal_ex(EVP_MD_CTX* ctx, unsigned char* md, unsigned int* s);
int RAND_bytes(unsigned char* buf, int num);
X509* d2i_X509(X509** a, const unsigned char** in, long len);

int EVP_PKEY_generate(EVP_PKEY_CTX* ctx, EVP_PKEY** ppkey) {
    return Fail(FAULT_KIND_OPENSSL) ? 0 : NEXT(EVP_PKEY_generate)(ctx, ppkey);
}
int EVP_PKEY_keygen(EVP_PKEY_CTX* ctx, EVP_PKEY** ppkey) {
    return Fail(FAULT_KIND_OPENSSL) ? 0 : NEXT(EVP_PKEY_keygen)(ctx, ppkey);
}
int EVP_PKEY_sign(EVP_PKEY_CTX* ctx, unsigned char* sig, size_t* siglen, const unsigned char* tbs, size_t tbslen) {
    return Fail(FAULT_KIND_OPENSSL) ? 0 : NEXT(EVP_PKEY_sign)(ctx, sig, siglen, tbs, tbslen);
}
int EVP_PKEY_decrypt(EVP_PKEY_CTX* ctx, unsigned char* out, size_t* outlen, const unsigned char* in, size_t inlen) {
    return Fail(FAULT_KIND_OPENSSL) ? 0 : NEXT(EVP_PKEY_decrypt)(ctx, out, outlen, in, inlen);
}
int EVP_PKEY_fromdata(EVP_PKEY_CTX* ctx, EVP_PKEY** ppkey, int selection, OSSL_PARAM* params) {
    return Fail(FAULT_KIND_OPENSSL) ? 0 : NEXT(EVP_PKEY_fromdata)(ctx, ppkey, selection, params);
}
int EVP_DigestSign(EVP_MD_CTX* ctx, unsigned char* sigret, size_t* siglen, const unsigned char* tbs, size_t tbslen) {
    return Fail(FAULT_KIND_OPENSSL) ? 0 : NEXT(EVP_DigestSign)(ctx, sigret, siglen, tbs, tbslen);
}
int EVP_DigestFinal_ex(EVP_MD_CTX* ctx, unsigned char* md, unsigned int* s) {
    return Fail(FAULT_KIND_OPENSSL) ? 0 : NEXT(EVP_DigestFinal_ex)(ctx, md, s);
}
int RAND_bytes(unsigned char* buf, int num) {
    return Fail(FAULT_KIND_OPENSSL) ? 0 : NEXT(RAND_bytes)(buf, num);
}
X509* d2i_X509(X509** a, const unsigned char** in, long len) {
    return Fail(FAULT_KIND_OPENSSL) ? NULL : NEXT(d2i_X509)(a, in, len);
}

/* ---- main: counting of allocations starts here ---- */
typedef int (*MainFn)(int, char**, char**);
static MainFn g_pfnMain;

/* OpenSSL builds its table of algorithm names once, on the first fetch of
 * any algorithm; when an allocation inside that fails, or a later one while
 * the table grows, OpenSSL drops names it had copied. That is the library's
 * own leak, not the host's: so for the malloc kind the table is built before
 * counting starts, its blocks are allocated through OpenSslNameTableAlloc,
 * and LeakSanitizer is told to leave exactly those alone. Looked up, not
 * linked: the shim has no library of its own beyond libc. */
static int g_bBuildingNameTable;

__attribute__((noinline)) void* OpenSslNameTableAlloc(void* p, size_t n, size_t cb, int nHow);

static void BuildOpenSslNameTable(void) {
    typedef void* (*FetchFn)(void*, const char*, const char*);
    typedef void (*FreeFn)(void*);
    FetchFn fetch = (FetchFn)dlsym(RTLD_DEFAULT, "EVP_KEYMGMT_fetch");
    FreeFn release = (FreeFn)dlsym(RTLD_DEFAULT, "EVP_KEYMGMT_free");
    if (!fetch || !release) return;
    g_bBuildingNameTable = 1;
    release(fetch(NULL, "RSA", NULL));
    g_bBuildingNameTable = 0;
}

const char* __lsan_default_suppressions(void) { return "leak:OpenSslNameTableAlloc\n"; }

/* A library context of the host's own (one holding only the null provider
 * reads certificates) has a table of its own, built on its first fetch: it
 * is built here, the same way, once the host has loaded a provider into it. */
typedef struct ossl_lib_ctx_st OSSL_LIB_CTX;
typedef struct ossl_provider_st OSSL_PROVIDER;
OSSL_PROVIDER* OSSL_PROVIDER_load(OSSL_LIB_CTX* libctx, const char* name);

OSSL_PROVIDER* OSSL_PROVIDER_load(OSSL_LIB_CTX* libctx, const char* name) {
    OSSL_PROVIDER* p = NEXT(OSSL_PROVIDER_load)(libctx, name);
    if (p && libctx && g_nKind == FAULT_KIND_MALLOC) {
        typedef void* (*FetchFn)(OSSL_LIB_CTX*, const char*, const char*);
        typedef void (*FreeFn)(void*);
        FetchFn fetch = (FetchFn)dlsym(RTLD_DEFAULT, "EVP_KEYMGMT_fetch");
        FreeFn release = (FreeFn)dlsym(RTLD_DEFAULT, "EVP_KEYMGMT_free");
        if (fetch && release) {
            g_bBuildingNameTable = 1;
            void* k = fetch(libctx, "RSA", NULL);
            if (k) release(k);
            g_bBuildingNameTable = 0;
        }
    }
    return p;
}

/* The host loads libcrypto on its first call into it. Loaded here, before
 * counting starts, as the host's start used to map it: a fault in the loader
 * is not the host's to survive, and the loader's global scope, allocated
 * through this shim, is not taken for a leak (LeakSanitizer tells the
 * loader's blocks by their caller, which would be the shim). */
extern void __lsan_disable(void) __attribute__((weak));
extern void __lsan_enable(void) __attribute__((weak));

static void LoadOpenSsl(void) {
    if (__lsan_disable) __lsan_disable();
    dlopen("libcrypto.so.3", RTLD_NOW | RTLD_GLOBAL);
    if (__lsan_enable) __lsan_enable();
}

static int ArmedMain(int argc, char** argv, char** envp) {
    LoadOpenSsl();
    if (g_nKind == FAULT_KIND_MALLOC) BuildOpenSslNameTable();
    __atomic_store_n(&g_bArmed, 1, __ATOMIC_RELEASE);
    return g_pfnMain(argc, argv, envp);
}

int __libc_start_main(MainFn main, int argc, char** argv, void (*init)(void), void (*fini)(void),
                      void (*rtld_fini)(void), void* stack_end) {
    typedef int (*StartFn)(MainFn, int, char**, void (*)(void), void (*)(void), void (*)(void), void*);
    StartFn next = (StartFn)dlsym(RTLD_NEXT, "__libc_start_main");
    g_pfnMain = main;
    return next(ArmedMain, argc, argv, init, fini, rtld_fini, stack_end);
}

/* ---- malloc, calloc, realloc ----
 * Under AddressSanitizer the shim is preloaded ahead of its runtime, which
 * exports its allocator as __interceptor_*; without it glibc's own entry
 * points serve. Neither needs dlsym, which itself allocates. free and the
 * aligned allocators are left alone: they reach the same allocator. */
extern void* __interceptor_malloc(size_t) __attribute__((weak));
extern void* __interceptor_calloc(size_t, size_t) __attribute__((weak));
extern void* __interceptor_realloc(void*, size_t) __attribute__((weak));
extern void* __libc_malloc(size_t);
extern void* __libc_calloc(size_t, size_t);
extern void* __libc_realloc(void*, size_t);

static void* NextMalloc(size_t cb) { return __interceptor_malloc ? __interceptor_malloc(cb) : __libc_malloc(cb); }
static void* NextCalloc(size_t n, size_t cb) {
    return __interceptor_calloc ? __interceptor_calloc(n, cb) : __libc_calloc(n, cb);
}
static void* NextRealloc(void* p, size_t cb) {
    return __interceptor_realloc ? __interceptor_realloc(p, cb) : __libc_realloc(p, cb);
}

/* Named in the leak suppression: a frame of its own on every stack. */
void* OpenSslNameTableAlloc(void* p, size_t n, size_t cb, int nHow) {
    void* r = nHow == 0 ? NextMalloc(cb) : nHow == 1 ? NextCalloc(n, cb) : NextRealloc(p, cb);
    __asm__ volatile("" ::: "memory"); /* not a tail call: the frame stays */
    return r;
}

void* malloc(size_t cb) {
    if (g_bBuildingNameTable) return OpenSslNameTableAlloc(NULL, 0, cb, 0);
    if (FaultShimFail(FAULT_KIND_MALLOC)) return NULL;
    return NextMalloc(cb);
}
void* calloc(size_t n, size_t cb) {
    if (g_bBuildingNameTable) return OpenSslNameTableAlloc(NULL, n, cb, 1);
    if (FaultShimFail(FAULT_KIND_MALLOC)) return NULL;
    return NextCalloc(n, cb);
}
void* realloc(void* p, size_t cb) {
    if (g_bBuildingNameTable) return OpenSslNameTableAlloc(p, 0, cb, 2);
    /* realloc(p, 0) frees: only a growth or a first allocation can fail. */
    if (cb != 0 && FaultShimFail(FAULT_KIND_MALLOC)) return NULL;
    return NextRealloc(p, cb);
}

