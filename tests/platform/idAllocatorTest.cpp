// The identifier allocator's policy: unique ids, hold-back of freed ids, exhaustion.
#include <stdint.h>

#include <algorithm>
#include <bitset>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <vector>

#include "commonIdAllocator.h"
#include "gtest/gtest.h"

namespace {

using cmn::IdAllocator;

const uint32_t idCount = IdAllocator::idCount;

class IdAllocatorTest : public testing::Test {
protected:
    // Allocates every id, checking that each comes once.
    void exhaust(IdAllocator& allocator_r) {
        std::unique_ptr<std::bitset<idCount>> seen_p(new std::bitset<idCount>());
        for (uint32_t i = 0; i < idCount; ++i) {
            uint16_t id = allocator_r.allocateId();
            ASSERT_FALSE(seen_p->test(id)) << "id " << id << " handed out twice";
            seen_p->set(id);
        }
    }
};

TEST_F(IdAllocatorTest, FreshIdsComeInIncreasingOrderBeforeAHeldBackId) {
    IdAllocator allocator(8);
    for (uint32_t expected = 0; expected < 200; ++expected) {
        EXPECT_EQ(expected, allocator.allocateId());
    }
    ASSERT_TRUE(allocator.deallocateId(5));
    EXPECT_EQ(200, allocator.allocateId());
}

class IdAllocatorHoldBackTest : public IdAllocatorTest,
                                public testing::WithParamInterface<uint32_t> {};

// With every id allocated: id 50 is freed, then id 100, then cacheSize - 1 more ids. Only 50
// has seen cacheSize frees after it, so it comes first although 100 and the others are free;
// one more free ends 100's hold-back; with nothing past its hold-back left, the oldest
// held-back id comes next.
TEST_P(IdAllocatorHoldBackTest, FreedIdWaitsForCacheSizeFrees) {
    const uint32_t cacheSize = GetParam();
    IdAllocator allocator(cacheSize);
    exhaust(allocator);
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

// Once cacheSize ids have been freed after it, a freed id may come back before the ids that
// are still held back.
TEST_P(IdAllocatorHoldBackTest, FreedIdIsReusableAfterCacheSizeFrees) {
    const uint32_t cacheSize = GetParam();
    IdAllocator allocator(cacheSize);
    exhaust(allocator);
    ASSERT_TRUE(allocator.deallocateId(100));
    for (uint16_t id = 200; id < 200 + cacheSize; ++id) {
        ASSERT_TRUE(allocator.deallocateId(id));
    }
    EXPECT_EQ(100, allocator.allocateId());
}

INSTANTIATE_TEST_SUITE_P(CacheSizes, IdAllocatorHoldBackTest, testing::Values(1u, 2u, 8u, 64u));

TEST_F(IdAllocatorTest, ExhaustionReturnsAnIdInUseAndFreedIdsComeBack) {
    IdAllocator allocator(8);
    exhaust(allocator);
    uint16_t inUse = allocator.allocateId();
    // In use: freeing it succeeds exactly once.
    EXPECT_TRUE(allocator.deallocateId(inUse));
    EXPECT_FALSE(allocator.deallocateId(inUse));
    EXPECT_EQ(inUse, allocator.allocateId());
    ASSERT_TRUE(allocator.deallocateId(40000));
    ASSERT_TRUE(allocator.deallocateId(7));
    std::set<uint16_t> back = {allocator.allocateId(), allocator.allocateId()};
    EXPECT_EQ((std::set<uint16_t>{7, 40000}), back);
}

TEST_F(IdAllocatorTest, FreeOfIdNotAllocatedIsRefusedAndChangesNothing) {
    IdAllocator allocator(0);
    EXPECT_FALSE(allocator.deallocateId(65535));
    allocator.allocateId();
    EXPECT_TRUE(allocator.deallocateId(0));
    EXPECT_FALSE(allocator.deallocateId(0));
    // A double free that was taken would hand id 0 out twice.
    EXPECT_EQ(0, allocator.allocateId());
    EXPECT_EQ(1, allocator.allocateId());
}

// Random churn near exhaustion against a model: every id handed out is free, and an id still in
// its hold-back comes out only when every free id is held back, and then the oldest.
class IdAllocatorModelTest : public IdAllocatorTest,
                             public testing::WithParamInterface<uint32_t> {};

TEST_P(IdAllocatorModelTest, RandomChurnKeepsThePolicy) {
    const uint32_t cacheSize = GetParam();
    IdAllocator allocator(cacheSize);
    exhaust(allocator);
    std::mt19937 random(cacheSize);
    std::vector<bool> allocated(idCount, true);
    std::map<uint16_t, uint64_t> freeSerials;  // free id -> number of frees before its own
    uint64_t frees = 0;
    for (int step = 0; step < 20000; ++step) {
        bool doFree = freeSerials.size() < 4 || (freeSerials.size() < 40 && random() % 2 == 0);
        if (doFree) {
            uint16_t id = static_cast<uint16_t>(random() % idCount);
            ASSERT_EQ(static_cast<bool>(allocated[id]), allocator.deallocateId(id));
            if (allocated[id]) {
                allocated[id] = false;
                freeSerials[id] = frees++;
            }
            continue;
        }
        uint64_t oldest = UINT64_MAX;
        for (const std::pair<const uint16_t, uint64_t>& entry : freeSerials) {
            oldest = std::min(oldest, entry.second);
        }
        uint16_t id = allocator.allocateId();
        ASSERT_FALSE(allocated[id]) << "allocated id " << id << " handed out";
        uint64_t serial = freeSerials[id];
        if (frees - serial - 1 < cacheSize) {
            EXPECT_EQ(oldest, serial) << "held-back id " << id << " handed out before the oldest";
            EXPECT_LT(frees - oldest - 1, cacheSize)
                << "held-back id " << id << " handed out while id past its hold-back was free";
        }
        allocated[id] = true;
        freeSerials.erase(id);
    }
}

INSTANTIATE_TEST_SUITE_P(CacheSizes, IdAllocatorModelTest, testing::Values(0u, 1u, 8u, 32u));

}  // namespace
