// The progress bars' arithmetic: a percentage of 64-bit precision, cut toward zero.

#include <gtest/gtest.h>

#include <cstdint>

#include "core/progress_position.h"

TEST(ProgressPosition, CutsTowardZeroAndClampsTo100)
{
    struct Row {
        uint32_t done;
        uint32_t total;
        int expected;
    };
    const Row rows[] = {
        {0, 5, 0},
        {4096, 10000, 40},
        {8192, 10000, 81},
        {9999, 10000, 99},
        {10000, 10000, 100},
        {6000 + 4000, 10000, 100},
        {4000000000u, 4294967295u, 93},  // done * 100 overflows 32 bits
        {4294967295u, 4294967295u, 100},
        {1000, 10, 100},
        {0, 0, 100},
        {7, 0, 100},
    };
    for (const Row& row : rows)
        EXPECT_EQ(progressPosition(row.done, row.total), row.expected) << row.done << " of " << row.total;
}
