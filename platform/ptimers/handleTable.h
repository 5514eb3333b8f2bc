// The driver's process-wide table of timer records, and the record itself.
//
// A ptimer handle names a record by slot index; the record lives in a chunk that is never
// freed, so a record's address stays valid for the life of the process and a handle can be
// checked without trusting it: the index must name an existing slot, the handle's ptr must be
// that slot's address and the slot's owner must be the handle itself. A freed slot goes on a
// free list and its generation moves on, so a lookup that raced with a delete notices it.
//
// Ownership: the table owns every record; a driver instance attaches the records of its timers.
// Thread: lookups are lock-free (owner, generation and instance are atomics); acquiring and
// releasing slots take the table's own small mutex, never while an instance mutex is held.
#ifndef PLATFORM_PTIMERS_HANDLETABLE_H
#define PLATFORM_PTIMERS_HANDLETABLE_H

#include <stdint.h>

#include <atomic>
#include <mutex>

#include "deadlineHeap.h"
#include "ptimers.h"

namespace cmn {
namespace detail {

// 48 bytes: every pending timer has one, so its size is most of the driver's memory per timer.
// Instances are named by number (DriverInstance::number(), never 0) and callbacks by their
// number in the instance's own table, so neither costs a pointer per record.
struct TimerRecord : HeapNode {
    // Read without a lock by handle validation.
    std::atomic<ptimer*> owner_mp{nullptr};  // the handle; null while the slot is free
    // Guarded by the owning instance's mutex.
    void* context_mp = nullptr;
    // Read without a lock by handle validation.
    std::atomic<uint32_t> generation_m{0};  // moves on at every release
    // Guarded by the owning instance's mutex. The instance's run in which the record was
    // attached: a record of an earlier run was orphaned when that run stopped.
    uint32_t run_m = 0;
    // The instance the record is attached to, 0 until attached and once detached; read
    // without a lock to find the instance whose mutex guards the rest.
    std::atomic<uint16_t> instance_m{0};
    // The number of the instance whose driver thread has taken the record into a batch of due
    // timers, 0 when none. That thread clears it to claim the record before its callback runs;
    // a re-arming or deleting thread clears it, under the instance's mutex, to drop the record
    // from the batch. Whoever clears it first decides.
    std::atomic<uint16_t> batchedBy_m{0};
    // Guarded by the owning instance's mutex.
    uint16_t callback_m = 0;  // the callback's number in the instance's table
    bool absolute_m = false;
    bool deleting_m = false;
};
static_assert(sizeof(void*) != 8 || sizeof(TimerRecord) == 48, "a timer record grew");

// What a validated handle names: the record, its slot index and the generation seen at
// validation.
struct RecordRef {
    TimerRecord* record_p;
    uint32_t generation;
    uint32_t index;
};

class HandleTable {
public:
    // The process's table; never destroyed, so driver threads may use it until exit.
    static HandleTable& instance();

    // Validates `user` as described above. False for null, zero-filled, never-created,
    // deleted or forged handles.
    bool lookup(const ptimer* user, RecordRef& ref_r) const;
    // Takes a free slot for `user` (owner set, instance null) and writes ptr and magic into
    // it. Null when the table is full.
    TimerRecord* acquire(ptimer* user);
    // Frees the slot if it is still the one `ref` validated for `user`. False otherwise
    // (someone else released it first). The record must not be attached to an instance.
    bool release(const ptimer* user, const RecordRef& ref);

    // fork(): held by the prepare handler, released in the parent and in the child.
    void lockForFork() { mutex_m.lock(); }
    void unlockAfterFork() { mutex_m.unlock(); }

private:
    static const uint32_t kChunkBits = 10;
    static const uint32_t kChunkSize = 1u << kChunkBits;
    static const uint32_t kMaxChunks = 4096;  // about four million timers

    HandleTable() {}
    HandleTable(const HandleTable&) = delete;
    HandleTable& operator=(const HandleTable&) = delete;

    static const uint32_t kNoSlot = UINT32_MAX;

    TimerRecord* slot(uint32_t index) const;
    bool growLocked();

    std::atomic<TimerRecord*> chunks_m[kMaxChunks] = {};
    std::mutex mutex_m;
    // Free slots, linked by index through their heapIndex_m (unused while a slot is free).
    uint32_t freeHead_m = kNoSlot;
    uint32_t chunkCount_m = 0;
};

}  // namespace detail
}  // namespace cmn

#endif  // PLATFORM_PTIMERS_HANDLETABLE_H
