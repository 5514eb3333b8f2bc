// The dispatcher's bookkeeping types: a loop (one per thread) with its watch records (one per
// watched descriptor, one slot per event type) and its queue of posted tasks. Private to the
// dispatcher.
//
// Ownership: the dispatcher owns every loop; a record names its client without owning it.
// Thread: a loop's records and task queue are guarded by the loop's own mutex, so a round
// locks only its own loop; the fields marked as registry-guarded are guarded by the
// dispatcher's registry mutex. Lock order: registry mutex, then a loop's mutex.
#ifndef PLATFORM_DISPATCHER_LOOPSTATE_H
#define PLATFORM_DISPATCHER_LOOPSTATE_H

#include <stdint.h>
#include <sys/epoll.h>

#include <array>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <vector>

#include "commonDispatcher.h"
#include "epollSet.h"

namespace cmn {
namespace detail {

typedef ADispatcherClient::FdEventType FdEventType;
typedef std::vector<std::function<void()>> TaskList;

const int initialEventCapacity = 64;
const int maximumEventCapacity = 4096;
const int64_t noPair = -1;
const size_t slotCount = 3;

// True for the read, write and exception event types, the ones a descriptor can be watched for.
inline bool isWatchable(FdEventType type) {
    return type == ADispatcherClient::fdReadEvent_c || type == ADispatcherClient::fdWriteEvent_c ||
           type == ADispatcherClient::fdExceptionEvent_c;
}

// Index of a watchable event type in a record's slots.
inline size_t slotOf(FdEventType type) { return static_cast<size_t>(type) - 1; }

inline FdEventType typeOfSlot(size_t slot) { return static_cast<FdEventType>(slot + 1); }

inline const char* typeName(FdEventType type) {
    static const char* const names[] = {"read", "write", "exception"};
    return isWatchable(type) ? names[slotOf(type)] : "undefined";
}

// The epoll event bit of a slot: EPOLLIN for read, EPOLLOUT for write, EPOLLPRI for exception.
inline uint32_t kernelMask(size_t slot) {
    static const uint32_t masks[] = {EPOLLIN, EPOLLOUT, EPOLLPRI};
    return masks[slot];
}

// One number naming a (descriptor, event type) pair.
inline int64_t pairCode(int fd, FdEventType type) { return static_cast<int64_t>(fd) * 4 + type; }

// The epoll bits that can make a pair of `type` ready; a cheap filter before the lock.
inline uint32_t readinessBits(FdEventType type) {
    static const uint32_t bits[] = {EPOLLIN | EPOLLRDHUP | EPOLLERR | EPOLLHUP,
                                    EPOLLOUT | EPOLLERR | EPOLLHUP, EPOLLPRI | EPOLLERR | EPOLLHUP};
    return bits[slotOf(type)];
}

// Whether `revents` makes the pair of `type` ready, for a descriptor that its loop watches for
// `watchedMask`. Errors and hang-ups count as readable and writable, so the client finds out
// through its read or write; on a descriptor watched for exceptions only they count as an
// exception, so that they reach somebody instead of waking the loop in vain.
inline bool isReady(FdEventType type, uint32_t revents, uint32_t watchedMask) {
    if ((revents & readinessBits(type)) == 0) {
        return false;
    }
    if (type != ADispatcherClient::fdExceptionEvent_c || (revents & EPOLLPRI) != 0) {
        return true;
    }
    return (watchedMask & ~static_cast<uint32_t>(EPOLLPRI)) == 0;
}

// One event type's watch of a descriptor.
struct Slot {
    ADispatcherClient* client_p = nullptr;  // null: not watched
    uint64_t serial = 0;  // order of registration, to skip pairs added after a wait began
};

// What one loop watches one descriptor for. Its index and generation travel in the kernel's
// reports (eventData), so a round finds it without a search, and a report made for a record
// since freed and reused is recognised as stale.
struct FdRecord {
    int fd = -1;
    uint32_t generation = 0;
    std::array<Slot, slotCount> slots;

    uint32_t mask() const {
        uint32_t bits = 0;
        for (size_t slot = 0; slot < slotCount; ++slot) {
            if (slots[slot].client_p != nullptr) {
                bits |= kernelMask(slot);
            }
        }
        return bits;
    }
};

inline uint64_t eventData(uint32_t index, uint32_t generation) {
    return (static_cast<uint64_t>(generation) << 32) | index;
}
inline uint32_t indexOf(uint64_t data) { return static_cast<uint32_t>(data); }
inline uint32_t generationOf(uint64_t data) { return static_cast<uint32_t>(data >> 32); }

// One thread's loop.
struct Loop {
    Loop() : events_m(initialEventCapacity) {}

    // Set once when made.
    EpollSet epoll_m;
    void* owner_p = nullptr;  // the Dispatcher::Impl
    uint64_t id_m = 0;        // its Dispatcher::LoopId, unique in the process

    // The loop's thread only.
    std::vector<struct epoll_event> events_m;
    bool inRound_m = false;
    TaskList running_m;  // the tasks of the current round

    // Guarded by mutex_m.
    std::mutex mutex_m;
    std::vector<FdRecord> records_m;
    std::vector<uint32_t> freeRecords_m;
    TaskList tasks_m;  // posted, in order

    // A remover on another thread waits on callbackDone_m (with mutex_m) while the loop's
    // thread is inside the callback of the pair it removed; dispatchingPair_m is set under
    // mutex_m and cleared without it.
    std::condition_variable callbackDone_m;
    std::atomic<int64_t> dispatchingPair_m{noPair};
    std::atomic<int> removersWaiting_m{0};  // changed under the registry mutex

    // Registry-guarded.
    uint32_t watchCount_m = 0;
    bool threadGone_m = false;

    // The index of a new record for `fd`. Guarded by mutex_m.
    uint32_t allocateRecord(int fd) {
        uint32_t index = 0;
        if (freeRecords_m.empty()) {
            index = static_cast<uint32_t>(records_m.size());
            records_m.emplace_back();
        } else {
            index = freeRecords_m.back();
            freeRecords_m.pop_back();
        }
        records_m[index].fd = fd;
        return index;
    }
    // Frees a record that watches nothing; its generation changes so stale reports miss it.
    // Guarded by mutex_m.
    void freeRecord(uint32_t index) {
        FdRecord& record_r = records_m[index];
        record_r.fd = -1;
        ++record_r.generation;
        freeRecords_m.push_back(index);
    }
};

}  // namespace detail
}  // namespace cmn

#endif  // PLATFORM_DISPATCHER_LOOPSTATE_H
