// Native-messaging frames on raw descriptors: no stdio buffering in between,
// so nothing ever needs flushing and a frame leaves in one system call.
#include "host/IOStream.h"

#include <errno.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include "diag/Diagnostics.h"

#define TRACE_UNIT_A "IOStream"

namespace {

// A payload larger than this is received into a buffer that grows as the
// bytes arrive, so a length prefix that promises gigabytes costs nothing
// until they really come.
const size_t INITIAL_PAYLOAD_CAPACITY = 0x100000;

// Reads once, retrying only when a signal interrupted the call.
ssize_t ReadSome(int nFd, void* pBuf, size_t cb) {
    for (;;) {
        ssize_t r = read(nFd, pBuf, cb);
        if (r >= 0 || errno != EINTR) return r;
    }
}

// Writes everything, retrying after a signal; the first call carries all
// bytes, and only an interrupted transfer needs another.
bool WriteAll(int nFd, const unsigned char* pb, size_t cb) {
    size_t done = 0;
    while (done < cb) {
        ssize_t r = write(nFd, pb + done, cb - done);
        if (r < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (r == 0) return false;
        done += static_cast<size_t>(r);
    }
    return true;
}

// Prefix and payload in one gathering write; only an interrupted transfer
// needs another call for the rest.
bool WriteFrame(int nFd, const unsigned char* pbPrefix, const unsigned char* pb, size_t cb) {
    struct iovec iov[2] = {{const_cast<unsigned char*>(pbPrefix), 4}, {const_cast<unsigned char*>(pb), cb}};
    int nIov = 2;
    struct iovec* pIov = iov;
    while (nIov > 0) {
        ssize_t r = writev(nFd, pIov, nIov);
        if (r < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (r == 0) return false;
        size_t done = static_cast<size_t>(r);
        while (nIov > 0 && done >= pIov->iov_len) {
            done -= pIov->iov_len;
            ++pIov;
            --nIov;
        }
        if (nIov > 0) {
            pIov->iov_base = static_cast<unsigned char*>(pIov->iov_base) + done;
            pIov->iov_len -= done;
        }
    }
    return true;
}

// A read inside a frame that gave no byte: the input ended there
// (NM_E_TRUNCATED_FRAME) or the read failed (its errno).
int FrameReadFailure(const char* pszStep, ssize_t r, int nLine = __builtin_LINE()) {
    const char* FUNC = "ReadFromNativeMessaging";
    if (r == 0) {
        KevoTraceFailA(TRACE_UNIT_A, nLine, FUNC, pszStep, NM_E_TRUNCATED_FRAME, "0 == nReadSize");
        return NM_E_TRUNCATED_FRAME;
    }
    int nErr = errno ? errno : -1;
    KevoTraceFailA(TRACE_UNIT_A, nLine, FUNC, pszStep, nErr, "-1 == nReadSize");
    return nErr;
}

char* NewZeroed(size_t cb) { return new (std::nothrow) char[cb](); }

// The rest of a frame whose payload has no buffer, read and thrown away so
// the conversation stays in step: NM_E_NO_MEMORY once it is all read.
int SkipPayload(int nFd, size_t cbLeft) {
    const char* FUNC = "ReadFromNativeMessaging";
    char byDiscard[4096];
    while (cbLeft > 0) {
        ssize_t r = ReadSome(nFd, byDiscard, cbLeft < sizeof byDiscard ? cbLeft : sizeof byDiscard);
        if (r <= 0) return FrameReadFailure("read(payload)", r);
        cbLeft -= static_cast<size_t>(r);
    }
    KEVO_FAIL_A(FUNC, "New memory", NM_E_NO_MEMORY, "!pszInputMsg");
    return NM_E_NO_MEMORY;
}

}  // namespace

int SetTranslationMode() {
    // Linux streams carry bytes unchanged: CR LF and 0x1A need no protection,
    // so both switches succeed at once.
    KEVO_OK_A("SetTranslationMode", "_setmode(stdin)");
    KEVO_OK_A("SetTranslationMode", "_setmode(stdin)");
    return 0;
}

int ReadFromNativeMessaging(int nFd, char** ppszMsg, unsigned* pnSize) {
    const char* FUNC = "ReadFromNativeMessaging";
    unsigned char byPrefix[4] = {0, 0, 0, 0};
    size_t cbPrefix = 0;
    while (cbPrefix < sizeof byPrefix) {
        ssize_t r = ReadSome(nFd, byPrefix + cbPrefix, sizeof byPrefix - cbPrefix);
        if (r > 0) {
            cbPrefix += static_cast<size_t>(r);
            continue;
        }
        if (cbPrefix == 0) {
            // The browser closed the pipe between frames: the conversation is over.
            KEVO_OK_A(FUNC, r == 0 ? "read(prefix) end of input" : "read(prefix) failed before any byte");
            if (ppszMsg) *ppszMsg = nullptr;
            if (pnSize) *pnSize = 0;
            return 0;
        }
        return FrameReadFailure("read(prefix)", r);
    }
    const uint32_t nSize = static_cast<uint32_t>(byPrefix[0]) | (static_cast<uint32_t>(byPrefix[1]) << 8) |
                           (static_cast<uint32_t>(byPrefix[2]) << 16) | (static_cast<uint32_t>(byPrefix[3]) << 24);
    KevoTraceValueN("nMsgSize", static_cast<LONG>(nSize));
    if (nSize == 0 || nSize == 0xFFFFFFFFu) {
        KEVO_OK_A(FUNC, "read(prefix) empty frame");
        if (ppszMsg) *ppszMsg = nullptr;
        if (pnSize) *pnSize = 0;
        return 0;
    }

    size_t cbCapacity = nSize < INITIAL_PAYLOAD_CAPACITY ? nSize : INITIAL_PAYLOAD_CAPACITY;
    std::unique_ptr<char[]> pszInputMsg(NewZeroed(cbCapacity + 1));
    if (!pszInputMsg) return SkipPayload(nFd, nSize);
    size_t cbReceived = 0;
    while (cbReceived < nSize) {
        if (cbReceived == cbCapacity) {
            size_t cbNew = cbCapacity * 2 < nSize ? cbCapacity * 2 : nSize;
            std::unique_ptr<char[]> pszGrown(NewZeroed(cbNew + 1));
            if (!pszGrown) return SkipPayload(nFd, nSize - cbReceived);
            memcpy(pszGrown.get(), pszInputMsg.get(), cbReceived);
            pszInputMsg = std::move(pszGrown);
            cbCapacity = cbNew;
        }
        ssize_t r = ReadSome(nFd, pszInputMsg.get() + cbReceived, cbCapacity - cbReceived);
        // The pipe closed inside the payload: the rest can never come.
        if (r <= 0) return FrameReadFailure("read(payload)", r);
        cbReceived += static_cast<size_t>(r);
    }
    KEVO_OK_A(FUNC, "read(payload)");
    if (pnSize) *pnSize = nSize;
    if (ppszMsg) *ppszMsg = pszInputMsg.release();
    return 0;
}

int WriteToNativeMessaging(const char* pszMsg, int nFd) {
    const char* FUNC = "WriteToNativeMessaging";
    if (pszMsg == nullptr) {
        KEVO_FAIL_A(FUNC, "Check parameter", -1, "NULL == pszMsg");
        return -1;
    }
    const size_t nMsgSize = strlen(pszMsg);
    KevoTraceValueN("nMsgSize", static_cast<LONG>(nMsgSize > 0x7FFFFFFF ? 0x7FFFFFFF : nMsgSize));
    if (nMsgSize > NM_MAX_OUTGOING_PAYLOAD) {
        // An impossible length tells the browser the answer was dropped.
        const unsigned char byTooLong[4] = {0xFF, 0xFF, 0xFF, 0xFF};
        WriteAll(nFd, byTooLong, sizeof byTooLong);
        KEVO_FAIL_A(FUNC, "Check message size", -1, "nMsgSize > 0x100000");
        return -1;
    }
    unsigned char byPrefix[4] = {
        static_cast<unsigned char>(nMsgSize & 0xFF), static_cast<unsigned char>((nMsgSize >> 8) & 0xFF),
        static_cast<unsigned char>((nMsgSize >> 16) & 0xFF), static_cast<unsigned char>((nMsgSize >> 24) & 0xFF)};
    if (!WriteFrame(nFd, byPrefix, reinterpret_cast<const unsigned char*>(pszMsg), nMsgSize)) {
        KEVO_FAIL_A(FUNC, "write", -1, "nWriteSize != nWriteBufSize");
        return -1;
    }
    KEVO_OK_A(FUNC, "write");
    return 0;
}
