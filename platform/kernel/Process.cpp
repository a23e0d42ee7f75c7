// Process and thread identities.
#include <sys/syscall.h>
#include <unistd.h>

#include "win/winbase.h"

DWORD GetCurrentProcessId() { return static_cast<DWORD>(getpid()); }

DWORD GetCurrentThreadId() { return static_cast<DWORD>(syscall(SYS_gettid)); }
