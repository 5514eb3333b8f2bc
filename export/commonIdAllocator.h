// cmn::IdAllocator: hands out 16-bit identifiers and takes them back.
//
// allocateId() returns a free id in O(1); it never returns an allocated id while some id is
// free. A freed id is held back in recentlyFreedIds until cacheSize further ids have been freed
// after it, unless no other id is free. When all 65536 ids are allocated, allocateId() returns
// an id that is in use (its caller's duplicate check then refuses it). deallocateId() of an id
// that is not allocated returns false and changes nothing.
// Thread: an allocator belongs to one thread; it takes no lock.
#ifndef EXPORT_COMMONIDALLOCATOR_H
#define EXPORT_COMMONIDALLOCATOR_H

#include <stdint.h>

#include <vector>

namespace cmn {

// The 16-bit id allocator of one timer manager; policy in the paragraph above.
class IdAllocator {
public:
    // No id allocated; a freed id waits for cacheSizeToUse further frees before it is reused.
    explicit IdAllocator(uint32_t cacheSizeToUse)
        : ids(64, false),
          recentlyFreedIds(),
          cacheSize(cacheSizeToUse),
          freeIds_m(),
          oldestFreedIndex_m(0),
          heldBackCount_m(0),
          nextFreshId_m(0),
          allocatedCount_m(0) {}
    ~IdAllocator() {}

    // A free id, marked allocated; an id in use when all idCount ids are allocated.
    uint16_t allocateId();
    // Frees `id`; false, nothing changed, when it is not allocated.
    bool deallocateId(uint16_t id);
    // Writes the allocator's counts and held-back ids to standard output.
    void print();

    // How many ids exist: 0 to 65535.
    static const uint32_t idCount = 65536;

private:
    IdAllocator(const IdAllocator&) = delete;
    IdAllocator& operator=(const IdAllocator&) = delete;

    // ids[i]: id i is allocated. Grows from 64 elements as fresh ids are handed out.
    std::vector<bool> ids;
    // Freed ids waiting out their hold-back: a ring of min(cacheSize, idCount) slots holding
    // heldBackCount_m ids, the oldest at oldestFreedIndex_m.
    std::vector<uint16_t> recentlyFreedIds;
    const uint32_t cacheSize;
    // Freed ids whose hold-back is over, ready for reuse.
    std::vector<uint16_t> freeIds_m;
    uint32_t oldestFreedIndex_m;
    uint32_t heldBackCount_m;
    // Ids from here up to idCount have never been handed out.
    uint32_t nextFreshId_m;
    uint32_t allocatedCount_m;
};

}  // namespace cmn

#endif  // EXPORT_COMMONIDALLOCATOR_H
