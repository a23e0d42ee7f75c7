// The key-material buffer wipes its storage whenever it gives it back: on
// destruction and when growing moves it. A plain vector, freed the same way,
// shows that the watch would see the secret.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "tessaro/SecureBuffer.h"
#include "tests/robustness/wiping/FreeWatch.h"

namespace {

const uint8_t kSecret[] = {0x5e, 0xc2, 0xe7, 0x4b, 0x91, 0x0a, 0x33, 0xd6, 0x7f, 0x18, 0xa4, 0x6c, 0xe9, 0x02, 0xbb, 0x4d};

template <typename Buffer>
std::vector<wiping_test::FreedBlock> FreedHoldingSecret() {
    wiping_test::WatchReset();
    wiping_test::WatchNeedle("secret", kSecret, sizeof kSecret);
    wiping_test::WatchArm(true);
    {
        Buffer b(kSecret, kSecret + sizeof kSecret);
        // Growing past the capacity gives the first block back.
        for (int i = 0; i < 64; ++i) b.push_back(0);
    }
    wiping_test::WatchArm(false);
    return wiping_test::WatchRecords();
}

TEST(SecureBytes, NoBlockItGivesBackHoldsTheSecret) {
    if (!wiping_test::WatchAvailable()) GTEST_SKIP() << "the free watch needs the plain allocator";
    EXPECT_EQ(FreedHoldingSecret<tessaro::SecureBytes>().size(), 0u);
    EXPECT_GE(FreedHoldingSecret<std::vector<uint8_t>>().size(), 1u);
}

}  // namespace
