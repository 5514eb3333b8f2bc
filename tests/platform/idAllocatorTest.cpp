// The identifier allocator's policy: unique ids, hold-back of freed ids, exhaustion.
#include <stdint.h>

#include <set>
#include <vector>

#include "commonIdAllocator.h"
#include "gtest/gtest.h"

namespace {

using cmn::IdAllocator;

// Allocates every id; true when each came once.
bool exhaust(IdAllocator& allocator_r) {
    std::vector<bool> seen(IdAllocator::idCount, false);
    for (uint32_t i = 0; i < IdAllocator::idCount; ++i) {
        uint16_t id = allocator_r.allocateId();
        if (seen[id]) {
            return false;
        }
        seen[id] = true;
    }
    return true;
}

class IdAllocatorTest : public testing::TestWithParam<uint32_t> {};

// With every id allocated: id 50 is freed, then id 100, then cacheSize - 1 more ids. Only 50
// has seen cacheSize frees after it, so it comes first although 100 and the others are free;
// one more free ends 100's hold-back; with nothing past its hold-back left, the oldest
// held-back id comes next.
TEST_P(IdAllocatorTest, FreedIdWaitsForCacheSizeFrees) {
    const uint32_t cacheSize = GetParam();
    IdAllocator allocator(cacheSize);
    ASSERT_TRUE(exhaust(allocator));
    ASSERT_TRUE(allocator.deallocateId(50));
    ASSERT_TRUE(allocator.deallocateId(100));
    for (uint16_t id = 200; id < 200 + cacheSize - 1; ++id) {
        ASSERT_TRUE(allocator.deallocateId(id));
    }
    EXPECT_EQ(50, allocator.allocateId());
    ASSERT_TRUE(allocator.deallocateId(300));
    EXPECT_EQ(100, allocator.allocateId());
    EXPECT_EQ(cacheSize > 1 ? 200 : 300, allocator.allocateId());
}

INSTANTIATE_TEST_SUITE_P(CacheSizes, IdAllocatorTest, testing::Values(1u, 2u, 8u, 64u));

TEST(IdAllocatorPolicyTest, ExhaustionReturnsAnIdInUseAndFreeRefusesIdsNotAllocated) {
    IdAllocator allocator(0);
    EXPECT_FALSE(allocator.deallocateId(65535));
    ASSERT_TRUE(exhaust(allocator));
    uint16_t inUse = allocator.allocateId();
    EXPECT_TRUE(allocator.deallocateId(inUse));
    EXPECT_FALSE(allocator.deallocateId(inUse));  // a double free taken would hand it out twice
    ASSERT_TRUE(allocator.deallocateId(40000));
    std::set<uint16_t> back = {allocator.allocateId(), allocator.allocateId()};
    EXPECT_EQ((std::set<uint16_t>{inUse, 40000}), back);
}

}  // namespace
