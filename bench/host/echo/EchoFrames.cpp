// The reference the host's round trip is measured against: reads
// native-messaging frames from standard input and writes each back
// unchanged, with the same unbuffered descriptor I/O as the host.
#include <errno.h>
#include <unistd.h>

#include <cstdint>
#include <vector>

namespace {

bool ReadAll(int fd, unsigned char* p, size_t n) {
    size_t got = 0;
    while (got < n) {
        ssize_t k = read(fd, p + got, n - got);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) return false;
        got += static_cast<size_t>(k);
    }
    return true;
}

bool WriteAll(int fd, const unsigned char* p, size_t n) {
    size_t done = 0;
    while (done < n) {
        ssize_t k = write(fd, p + done, n - done);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) return false;
        done += static_cast<size_t>(k);
    }
    return true;
}

}  // namespace

int main() {
    std::vector<unsigned char> frame;
    for (;;) {
        unsigned char prefix[4];
        if (!ReadAll(0, prefix, 4)) return 0;
        uint32_t n = prefix[0] | (prefix[1] << 8) | (prefix[2] << 16) | (static_cast<uint32_t>(prefix[3]) << 24);
        if (n == 0 || n == 0xFFFFFFFFu) return 0;
        frame.assign(prefix, prefix + 4);
        frame.resize(4 + static_cast<size_t>(n));
        if (!ReadAll(0, frame.data() + 4, n)) return 1;
        if (!WriteAll(1, frame.data(), frame.size())) return 1;
    }
}
