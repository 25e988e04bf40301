#include "mbnapi/element_copy.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <vector>

namespace {

// A source array with its own bounds; indexes listed in `unreadable` fail to read, and any
// index outside the bounds fails too, as SafeArrayGetElement does.
struct SourceArray {
    int32_t Lower;
    std::vector<uint32_t> Values;
    std::vector<int32_t> Unreadable;
    mutable uint64_t Reads = 0;

    bool operator()(int32_t index, uint32_t* out) const {
        ++Reads;
        for (int32_t bad : Unreadable) {
            if (bad == index) {
                return false;
            }
        }
        const int64_t offset = static_cast<int64_t>(index) - Lower;
        if (offset < 0 || offset >= static_cast<int64_t>(Values.size())) {
            return false;
        }
        *out = Values[static_cast<size_t>(offset)];
        return true;
    }
};

TEST(CopyReadableElements, CopiesFromNonZeroLowerBoundAndSkipsUnreadableWithoutGaps) {
    SourceArray source{-2, {10, 11, 12, 13, 14}, {-1, 1}};
    uint32_t buffer[8] = {};
    const uint32_t written = CopyReadableElements(-2, 2, source, buffer, 8);
    ASSERT_EQ(written, 3u);
    EXPECT_EQ(buffer[0], 10u);
    EXPECT_EQ(buffer[1], 12u);
    EXPECT_EQ(buffer[2], 14u);
    EXPECT_EQ(buffer[3], 0u);
}

TEST(CopyReadableElements, StopsAtTheBufferAndNeverWritesPastIt) {
    std::vector<uint32_t> values(5000);
    for (uint32_t i = 0; i < values.size(); ++i) {
        values[i] = i + 1;
    }
    SourceArray source{0, values, {}};
    std::vector<uint32_t> buffer(4096 + 1, 0xDEADBEEF);
    const uint32_t written = CopyReadableElements(0, 4999, source, buffer.data(), 4096);
    EXPECT_EQ(written, 4096u);
    EXPECT_EQ(buffer[4095], 4096u);
    EXPECT_EQ(buffer[4096], 0xDEADBEEFu);
    EXPECT_EQ(source.Reads, 4096u) << "nothing is read once the buffer is full";
}

TEST(CopyReadableElements, EmptyAndInvertedBoundsCopyNothing) {
    SourceArray source{0, {1, 2, 3}, {}};
    uint32_t buffer[4] = {};
    EXPECT_EQ(CopyReadableElements(0, -1, source, buffer, 4), 0u);
    EXPECT_EQ(CopyReadableElements(5, 2, source, buffer, 4), 0u);
    EXPECT_EQ(CopyReadableElements(INT32_MAX, INT32_MIN, source, buffer, 4), 0u);
    EXPECT_EQ(source.Reads, 0u);
}

TEST(CopyReadableElements, UpperBoundAtInt32MaxEnds) {
    SourceArray source{INT32_MAX - 2, {7, 8, 9}, {}};
    uint32_t buffer[8] = {};
    EXPECT_EQ(CopyReadableElements(INT32_MAX - 2, INT32_MAX, source, buffer, 8), 3u);
    EXPECT_EQ(buffer[2], 9u);
    EXPECT_EQ(source.Reads, 3u);
}

TEST(ElementCountOf, CountsWithoutOverflow) {
    EXPECT_EQ(ElementCountOf(0, -1), 0u);
    EXPECT_EQ(ElementCountOf(3, 3), 1u);
    EXPECT_EQ(ElementCountOf(-5, 4), 10u);
    EXPECT_EQ(ElementCountOf(INT32_MIN, INT32_MAX), 4294967296ull);
}

}  // namespace
