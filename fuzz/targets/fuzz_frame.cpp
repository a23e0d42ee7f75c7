// The frame reader on any byte stream: the input is put in a memory file and
// frames are read from it until the conversation ends or a read fails.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "fuzz/FuzzSupport.h"
#include "host/IOStream.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pb, size_t cb) {
    static int s_nFd = memfd_create("frames", 0);
    if (s_nFd < 0) abort();
    if (ftruncate(s_nFd, 0) != 0 || lseek(s_nFd, 0, SEEK_SET) != 0) abort();
    if (cb && write(s_nFd, pb, cb) != static_cast<ssize_t>(cb)) abort();
    lseek(s_nFd, 0, SEEK_SET);
    for (int nFrames = 0; nFrames < 64; ++nFrames) {
        char* psz = nullptr;
        unsigned n = 0;
        int nResult = ReadFromNativeMessaging(s_nFd, &psz, &n);
        if (nResult != 0) {
            if (psz != nullptr) abort();  // failures hand nothing out
            break;
        }
        if (psz == nullptr) {
            if (n != 0) abort();
            break;
        }
        if (n == 0 || n > cb || psz[n] != '\0') abort();
        volatile size_t len = strnlen(psz, n + 1);  // touches every byte handed out
        (void)len;
        delete[] psz;
    }
    return 0;
}
