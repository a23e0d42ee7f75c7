// Every test process runs against a prefix of its own, made here and removed
// afterwards, so no test sees another's registry, keys or certificates.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "tests/support/TestSupport.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    tessaro_test::TempDir prefix("prefix");
    setenv("TESSARO_PREFIX", prefix.path().c_str(), 1);
    int rc = RUN_ALL_TESTS();
    return rc;
}
