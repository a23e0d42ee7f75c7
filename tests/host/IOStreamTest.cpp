// Frame reading and writing on real pipes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "tests/host/HostHarness.h"
#include "host/IOStream.h"

namespace {

using host_test::Frame;
using host_test::Prefix;

class Pipe {
public:
    Pipe() {
        int fds[2];
        EXPECT_EQ(0, pipe(fds));
        r = fds[0];
        w = fds[1];
    }
    ~Pipe() {
        CloseRead();
        CloseWrite();
    }
    void CloseRead() {
        if (r >= 0) close(r);
        r = -1;
    }
    void CloseWrite() {
        if (w >= 0) close(w);
        w = -1;
    }
    void Put(const std::string& s) { ASSERT_EQ(static_cast<ssize_t>(s.size()), write(w, s.data(), s.size())); }
    int r = -1;
    int w = -1;
};

// Everything the read end delivers until the writer closes it.
std::string Drain(int fd) {
    std::string s;
    char buf[65536];
    for (;;) {
        ssize_t k = read(fd, buf, sizeof buf);
        if (k <= 0) return s;
        s.append(buf, static_cast<size_t>(k));
    }
}

struct ReadResult {
    int rc = 12345;
    std::unique_ptr<char[]> msg;
    unsigned size = 0xDEAD;
    bool msgTouched = false;
};

ReadResult ReadFrame(int fd) {
    ReadResult res;
    char* sentinel = reinterpret_cast<char*>(&res);  // never a real buffer
    char* p = sentinel;
    res.rc = ReadFromNativeMessaging(fd, &p, &res.size);
    res.msgTouched = p != sentinel;
    if (res.msgTouched) res.msg.reset(p);
    return res;
}

TEST(ReadFromNativeMessaging, ReadsPayloadAndTerminatesIt) {
    Pipe p;
    p.Put(Frame("abc") + Frame("\r\n\x1a"));
    ReadResult a = ReadFrame(p.r);
    ASSERT_EQ(0, a.rc);
    ASSERT_EQ(3u, a.size);
    EXPECT_EQ(0, memcmp(a.msg.get(), "abc\0", 4));
    // CR LF and 0x1A arrive unchanged, and a NUL follows the payload.
    ReadResult b = ReadFrame(p.r);
    ASSERT_EQ(0, b.rc);
    ASSERT_EQ(3u, b.size);
    EXPECT_EQ(0, memcmp(b.msg.get(), "\r\n\x1a\0", 4));
}

TEST(ReadFromNativeMessaging, EmptyAndImpossibleLengthsEndTheConversation) {
    for (uint32_t n : {0u, 0xFFFFFFFFu}) {
        Pipe p;
        p.Put(Prefix(n) + "more bytes that are never read");
        ReadResult r = ReadFrame(p.r);
        EXPECT_EQ(0, r.rc) << n;
        EXPECT_EQ(0u, r.size) << n;
        EXPECT_TRUE(r.msgTouched);
        EXPECT_EQ(nullptr, r.msg.get());
    }
}

TEST(ReadFromNativeMessaging, EndOfInputBeforeAFrameIsACleanEnd) {
    Pipe p;
    p.CloseWrite();
    ReadResult r = ReadFrame(p.r);
    EXPECT_EQ(0, r.rc);
    EXPECT_EQ(0u, r.size);
    EXPECT_EQ(nullptr, r.msg.get());
}

TEST(ReadFromNativeMessaging, EndOfInputInsideAFrameFailsWithoutOutputs) {
    const std::string cases[] = {std::string("\x05", 1), std::string("\x05\x00\x00", 3), Prefix(5) + "ab",
                                 Prefix(0xFFFFFFFEu) + "x"};
    for (const auto& input : cases) {
        Pipe p;
        p.Put(input);
        p.CloseWrite();
        ReadResult r = ReadFrame(p.r);
        EXPECT_EQ(NM_E_TRUNCATED_FRAME, r.rc) << tessaro_test::ToHex(
            reinterpret_cast<const uint8_t*>(input.data()), input.size());
        EXPECT_FALSE(r.msgTouched);
        EXPECT_EQ(0xDEADu, r.size);
    }
}

TEST(ReadFromNativeMessaging, PrefixAndPayloadMayArriveInPieces) {
    Pipe p;
    std::string frame = Frame("{\"function\":\"x\"}");
    std::thread writer([&] {
        for (char c : frame) {
            ASSERT_EQ(1, write(p.w, &c, 1));
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    ReadResult r = ReadFrame(p.r);
    writer.join();
    ASSERT_EQ(0, r.rc);
    EXPECT_EQ(16u, r.size);
    EXPECT_STREQ("{\"function\":\"x\"}", r.msg.get());
}

TEST(ReadFromNativeMessaging, LargePayloadArrivesWhole) {
    Pipe p;
    std::string payload(3 * 1024 * 1024 + 5, 'x');
    for (size_t i = 0; i < payload.size(); i += 4099) payload[i] = static_cast<char>('a' + i % 26);
    std::thread writer([&] {
        std::string f = Frame(payload);
        size_t done = 0;
        while (done < f.size()) {
            ssize_t k = write(p.w, f.data() + done, f.size() - done);
            ASSERT_GT(k, 0);
            done += static_cast<size_t>(k);
        }
    });
    ReadResult r = ReadFrame(p.r);
    writer.join();
    ASSERT_EQ(0, r.rc);
    ASSERT_EQ(payload.size(), r.size);
    EXPECT_EQ(0, memcmp(payload.data(), r.msg.get(), payload.size()));
    EXPECT_EQ('\0', r.msg[payload.size()]);
}

TEST(ReadFromNativeMessaging, NullOutputsStillConsumeTheFrame) {
    Pipe p;
    p.Put(Frame("first") + Frame("second"));
    EXPECT_EQ(0, ReadFromNativeMessaging(p.r, nullptr, nullptr));
    ReadResult r = ReadFrame(p.r);
    ASSERT_EQ(0, r.rc);
    EXPECT_STREQ("second", r.msg.get());
}

TEST(WriteToNativeMessaging, WritesPrefixAndPayloadExactly) {
    Pipe p;
    ASSERT_EQ(0, WriteToNativeMessaging("abc", p.w));
    ASSERT_EQ(0, WriteToNativeMessaging("\r\n\x1a", p.w));
    ASSERT_EQ(0, WriteToNativeMessaging("", p.w));
    p.CloseWrite();
    std::string out = Drain(p.r);
    EXPECT_EQ("0300000061626303000000" "0D0A1A" "00000000",
              tessaro_test::ToHex(reinterpret_cast<const uint8_t*>(out.data()), out.size()));
}

TEST(WriteToNativeMessaging, LimitIsOneMebibyte) {
    {
        Pipe p;
        std::string payload(0x100000, 'a');
        std::string out;
        std::thread reader([&] { out = Drain(p.r); });
        EXPECT_EQ(0, WriteToNativeMessaging(payload.c_str(), p.w));
        p.CloseWrite();
        reader.join();
        ASSERT_EQ(payload.size() + 4, out.size());
        EXPECT_EQ(std::string("\x00\x00\x10\x00", 4), out.substr(0, 4));
        EXPECT_EQ(payload, out.substr(4));
    }
    {
        Pipe p;
        std::string payload(0x100001, 'a');
        std::string out;
        std::thread reader([&] { out = Drain(p.r); });
        EXPECT_EQ(-1, WriteToNativeMessaging(payload.c_str(), p.w));
        p.CloseWrite();
        reader.join();
        EXPECT_EQ(std::string("\xFF\xFF\xFF\xFF", 4), out);
    }
}

TEST(WriteToNativeMessaging, ClosedReaderFailsInsteadOfKillingTheProcess) {
    struct sigaction ignore {}, old{};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &old);
    Pipe p;
    p.CloseRead();
    EXPECT_EQ(-1, WriteToNativeMessaging("abc", p.w));
    EXPECT_EQ(-1, WriteToNativeMessaging(nullptr, p.w));
    sigaction(SIGPIPE, &old, nullptr);
}

}  // namespace
