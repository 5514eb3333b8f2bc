// HandleTable: slot allocation and lock-free handle validation.
#include "handleTable.h"

#include <assert.h>

#include <new>

namespace cmn {
namespace detail {

HandleTable& HandleTable::instance() {
    // Deliberately leaked: driver threads of other instances may still run during exit.
    static HandleTable* table_p = new HandleTable();
    return *table_p;
}

TimerRecord* HandleTable::slot(uint32_t index) const {
    const uint32_t chunk = index >> kChunkBits;
    if (chunk >= kMaxChunks) {
        return nullptr;
    }
    TimerRecord* chunk_p = chunks_m[chunk].load(std::memory_order_acquire);
    if (chunk_p == nullptr) {
        return nullptr;
    }
    return &chunk_p[index & (kChunkSize - 1)];
}

// The handle's fields are read and written with relaxed atomics: a lookup may race with a
// create or delete of the same handle on another thread, which must give a refusal, not a
// data race. The record's own atomics carry the ordering.
bool HandleTable::lookup(const ptimer* user, RecordRef& ref_r) const {
    if (user == nullptr) {
        return false;
    }
    // magic holds the slot index plus one, so a zero-filled handle names no slot.
    const int magic = __atomic_load_n(&user->magic, __ATOMIC_RELAXED);
    if (magic <= 0) {
        return false;
    }
    TimerRecord* record_p = slot(static_cast<uint32_t>(magic - 1));
    if (record_p == nullptr ||
        __atomic_load_n(&user->ptr, __ATOMIC_RELAXED) != static_cast<void*>(record_p)) {
        return false;
    }
    const uint32_t generation = record_p->generation_m.load(std::memory_order_acquire);
    if (record_p->owner_mp.load(std::memory_order_acquire) != user) {
        return false;
    }
    ref_r.record_p = record_p;
    ref_r.generation = generation;
    ref_r.index = static_cast<uint32_t>(magic - 1);
    return true;
}

bool HandleTable::growLocked() {
    if (chunkCount_m == kMaxChunks) {
        return false;
    }
    TimerRecord* chunk_p = new (std::nothrow) TimerRecord[kChunkSize];
    if (chunk_p == nullptr) {
        return false;
    }
    const uint32_t base = chunkCount_m << kChunkBits;
    // Thread the new slots onto the free list so that the lowest index is handed out first.
    for (uint32_t i = kChunkSize; i-- > 0;) {
        chunk_p[i].heapIndex_m = freeHead_m;
        freeHead_m = base + i;
    }
    chunks_m[chunkCount_m].store(chunk_p, std::memory_order_release);
    ++chunkCount_m;
    return true;
}

TimerRecord* HandleTable::acquire(ptimer* user) {
    TimerRecord* record_p;
    uint32_t index;
    {
        std::lock_guard<std::mutex> lock(mutex_m);
        if (freeHead_m == kNoSlot && !growLocked()) {
            return nullptr;
        }
        index = freeHead_m;
        record_p = slot(index);
        freeHead_m = record_p->heapIndex_m;
        record_p->heapIndex_m = HeapNode::kNotQueued;
        record_p->owner_mp.store(user, std::memory_order_release);
    }
    __atomic_store_n(&user->ptr, static_cast<void*>(record_p), __ATOMIC_RELAXED);
    __atomic_store_n(&user->magic, static_cast<int>(index + 1), __ATOMIC_RELAXED);
    return record_p;
}

bool HandleTable::release(const ptimer* user, const RecordRef& ref) {
    TimerRecord* record_p = ref.record_p;
    std::lock_guard<std::mutex> lock(mutex_m);
    if (record_p->owner_mp.load(std::memory_order_relaxed) != user ||
        record_p->generation_m.load(std::memory_order_relaxed) != ref.generation) {
        return false;
    }
    assert(record_p->instance_m.load(std::memory_order_relaxed) == 0);
    record_p->generation_m.store(ref.generation + 1, std::memory_order_release);
    record_p->owner_mp.store(nullptr, std::memory_order_release);
    record_p->heapIndex_m = freeHead_m;
    freeHead_m = ref.index;
    return true;
}

}  // namespace detail
}  // namespace cmn
