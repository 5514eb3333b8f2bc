// The identifier allocator's policy.
//
// An id is in exactly one of four places: allocated (ids[id] true), held back in the
// recentlyFreedIds ring, ready for reuse in freeIds_m, or fresh (at or above nextFreshId_m,
// never handed out). allocateId() takes from the first non-empty of: ready ids, fresh ids in
// increasing order, the oldest held-back id. Every step is O(1) (amortised for the growth of
// ids and freeIds_m).
#include <stdio.h>

#include <algorithm>

#include "commonIdAllocator.h"

namespace cmn {

const uint32_t IdAllocator::idCount;

namespace {

// Ring slots: no more ids than exist can ever be held back.
uint32_t ringCapacity(uint32_t cacheSize) { return std::min(cacheSize, IdAllocator::idCount); }

// The ring index `index` stands for, for an index below twice the capacity: a compare instead of
// a division on every free.
uint32_t wrapRingIndex(uint32_t index, uint32_t capacity) {
    return index >= capacity ? index - capacity : index;
}

}  // namespace

uint16_t IdAllocator::allocateId() {
    uint16_t id = 0;
    if (!freeIds_m.empty()) {
        id = freeIds_m.back();
        freeIds_m.pop_back();
    } else if (nextFreshId_m < idCount) {
        id = static_cast<uint16_t>(nextFreshId_m++);
        if (id >= ids.size()) {
            ids.resize(std::min<size_t>(ids.size() * 2, idCount), false);
        }
    } else if (heldBackCount_m > 0) {
        id = recentlyFreedIds[oldestFreedIndex_m];
        oldestFreedIndex_m =
            wrapRingIndex(oldestFreedIndex_m + 1, static_cast<uint32_t>(recentlyFreedIds.size()));
        --heldBackCount_m;
    } else {
        // Every id is allocated: hand out one in use so that the caller's duplicate check
        // refuses it.
        return 0;
    }
    ids[id] = true;
    ++allocatedCount_m;
    return id;
}

bool IdAllocator::deallocateId(uint16_t id) {
    if (id >= ids.size() || !ids[id]) {
        return false;
    }
    ids[id] = false;
    --allocatedCount_m;
    uint32_t capacity = ringCapacity(cacheSize);
    if (capacity == 0) {
        freeIds_m.push_back(id);
        return true;
    }
    if (recentlyFreedIds.size() != capacity) {
        recentlyFreedIds.assign(capacity, 0);
    }
    if (heldBackCount_m == capacity) {
        // The oldest id has now seen cacheSize ids freed after it: its hold-back is over, and
        // `id`, the newest, takes its slot.
        uint16_t& oldest_r = recentlyFreedIds[oldestFreedIndex_m];
        freeIds_m.push_back(oldest_r);
        oldest_r = id;
        oldestFreedIndex_m = wrapRingIndex(oldestFreedIndex_m + 1, capacity);
        return true;
    }
    recentlyFreedIds[wrapRingIndex(oldestFreedIndex_m + heldBackCount_m, capacity)] = id;
    ++heldBackCount_m;
    return true;
}

void IdAllocator::print() {
    printf(
        "IdAllocator: cacheSize %u, allocated %u, next fresh id %u, ready for reuse %zu, "
        "held back %u:",
        cacheSize, allocatedCount_m, nextFreshId_m, freeIds_m.size(), heldBackCount_m);
    for (uint32_t i = 0; i < heldBackCount_m; ++i) {
        printf(" %u", static_cast<unsigned>(
                          recentlyFreedIds[(oldestFreedIndex_m + i) % recentlyFreedIds.size()]));
    }
    printf("\n");
}

}  // namespace cmn
