#include <gtest/gtest.h>

#include "test_support.h"

TEST(Smoke, UsageWithoutArguments) {
    ProcessResult r = RunSpiprobe({});
    EXPECT_EQ(1u, r.status);
    EXPECT_EQ("", r.out);
}
