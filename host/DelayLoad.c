// The binder of the delay-loaded library (see cmake/TessaroDelayLoad.cmake):
// on the first call of any of its functions, loads the library and fills
// every slot at once, so each later call is one indirect jump.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <stdint.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/uio.h>
#include <unistd.h>

// From the generated trampolines.
extern void* tessaro_delay_slots[];
extern void* tessaro_delay_slots_end[];
extern const unsigned tessaro_delay_count;
extern const char tessaro_delay_library[];
extern const char tessaro_delay_names[];  // name and version of each slot, NUL-terminated

void* tessaro_delay_resolve(unsigned index);

// The exit status and the kind of message of the dynamic loader when a
// program's library or one of its symbols is missing: the program could not
// have started without them, and now it cannot go on.
static void Fail(const char* what, const char* detail) {
    const char* program = program_invocation_name;
    struct iovec v[] = {
        {(void*)program, strlen(program)}, {(void*)": ", 2}, {(void*)what, strlen(what)},
        {(void*)": ", 2}, {(void*)detail, strlen(detail)}, {(void*)"\n", 1},
    };
    ssize_t ignored = writev(STDERR_FILENO, v, sizeof v / sizeof v[0]);
    (void)ignored;
    _exit(127);
}

static void SetSlots(int prot) {
    long page = sysconf(_SC_PAGESIZE);
    uintptr_t begin = (uintptr_t)tessaro_delay_slots & ~(uintptr_t)(page - 1);
    uintptr_t end = (uintptr_t)tessaro_delay_slots_end;
    if (mprotect((void*)begin, end - begin, prot) != 0)
        Fail("cannot change the protection of the delay-load slots", strerror(errno));
}

static void BindAll(void) {
    // Global, as a DT_NEEDED library would be: an interposer preloaded ahead
    // of it finds it with RTLD_NEXT.
    void* library = dlopen(tessaro_delay_library, RTLD_NOW | RTLD_GLOBAL);
    if (library == NULL) Fail("error while loading shared libraries", dlerror());
    SetSlots(PROT_READ | PROT_WRITE);
    const char* p = tessaro_delay_names;
    for (unsigned i = 0; i < tessaro_delay_count; ++i) {
        const char* name = p;
        const char* version = name + strlen(name) + 1;
        p = version + strlen(version) + 1;
        // The global scope first, which binds to a preloaded interposer as the
        // link would have; the trampolines themselves are hidden from it.
        void* f = *version ? dlvsym(RTLD_DEFAULT, name, version) : dlsym(RTLD_DEFAULT, name);
        if (f == NULL) f = *version ? dlvsym(library, name, version) : dlsym(library, name);
        if (f == NULL) Fail("symbol lookup error", dlerror());
        tessaro_delay_slots[i] = f;
    }
    SetSlots(PROT_READ);
}

static pthread_once_t g_bound = PTHREAD_ONCE_INIT;

// Called by tessaro_delay_bind with the slot of the function called; other
// threads calling meanwhile wait here for the same fill.
void* tessaro_delay_resolve(unsigned index) {
    pthread_once(&g_bound, BindAll);
    return tessaro_delay_slots[index];
}
