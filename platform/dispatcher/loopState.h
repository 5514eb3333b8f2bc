// The dispatcher's bookkeeping types: a loop (one per thread) and the watches of one
// descriptor (one slot per event type). Private to the dispatcher.
//
// Ownership: the dispatcher owns every loop; a watch names its loop and client without owning
// them. Thread: the fields marked as guarded are read and written under the dispatcher's mutex.
#ifndef PLATFORM_DISPATCHER_LOOPSTATE_H
#define PLATFORM_DISPATCHER_LOOPSTATE_H

#include <stdint.h>
#include <sys/epoll.h>

#include <array>
#include <atomic>
#include <functional>
#include <mutex>
#include <vector>

#include "commonDispatcher.h"
#include "epollSet.h"

namespace cmn {
namespace detail {

typedef ADispatcherClient::FdEventType FdEventType;

const int initialEventCapacity = 64;
const int maximumEventCapacity = 4096;
const int64_t noPair = -1;

// True for the read, write and exception event types, the ones a descriptor can be watched for.
inline bool isWatchable(FdEventType type) {
    return type == ADispatcherClient::fdReadEvent_c || type == ADispatcherClient::fdWriteEvent_c ||
           type == ADispatcherClient::fdExceptionEvent_c;
}

// Index of a watchable event type in FdWatches.
inline size_t slotOf(FdEventType type) { return static_cast<size_t>(type) - 1; }

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

typedef std::vector<std::function<void()>> TaskList;

// One thread's loop.
struct Loop {
    Loop() : events_m(initialEventCapacity) {}

    EpollSet epoll_m;
    std::vector<struct epoll_event> events_m;
    void* owner_p = nullptr;  // the Dispatcher::Impl
    uint64_t id_m = 0;        // its Dispatcher::LoopId, unique in the process
    bool inRound_m = false;   // the loop's thread only
    TaskList running_m;       // the loop's thread only: the tasks of the current round
    // Posted tasks, in order; guarded by tasksMutex_m.
    std::mutex tasksMutex_m;
    TaskList tasks_m;
    // Guarded by the dispatcher's mutex; the atomics are also read without it.
    uint32_t watchCount_m = 0;
    bool threadGone_m = false;
    std::atomic<int> removersWaiting_m{0};
    std::atomic<int64_t> dispatchingPair_m{noPair};
};

// A watched (descriptor, event type) pair.
struct Watch {
    Loop* loop_p = nullptr;  // null: the pair is not watched
    ADispatcherClient* client_p = nullptr;
    uint64_t serial = 0;  // order of registration, to skip pairs added after a wait began
};

typedef std::array<Watch, 3> FdWatches;

// The epoll bits that `loop_p` watches the descriptor for.
inline uint32_t maskInLoop(const FdWatches& watches_r, const Loop* loop_p) {
    uint32_t mask = 0;
    for (size_t slot = 0; slot < watches_r.size(); ++slot) {
        if (watches_r[slot].loop_p == loop_p) {
            mask |= kernelMask(slot);
        }
    }
    return mask;
}

// True when no loop watches the descriptor for any event type.
inline bool isUnwatched(const FdWatches& watches_r) {
    for (const Watch& watch_r : watches_r) {
        if (watch_r.loop_p != nullptr) {
            return false;
        }
    }
    return true;
}

// The epoll bits that can make a pair of `type` ready; a cheap filter before the lookup.
inline uint32_t readinessBits(FdEventType type) {
    static const uint32_t bits[] = {EPOLLIN | EPOLLRDHUP | EPOLLERR | EPOLLHUP,
                                    EPOLLOUT | EPOLLERR | EPOLLHUP, EPOLLPRI | EPOLLERR | EPOLLHUP};
    return bits[slotOf(type)];
}

// Whether `revents` makes the pair of `type` ready. Errors and hang-ups count as readable and
// writable, so the client finds out through its read or write; on a descriptor watched for
// exceptions only they count as an exception, so that they reach somebody instead of waking
// the loop in vain.
inline bool isReady(FdEventType type, uint32_t revents, const FdWatches& watches_r,
                    const Loop* loop_p) {
    if ((revents & readinessBits(type)) == 0) {
        return false;
    }
    if (type != ADispatcherClient::fdExceptionEvent_c || (revents & EPOLLPRI) != 0) {
        return true;
    }
    return (maskInLoop(watches_r, loop_p) & ~static_cast<uint32_t>(EPOLLPRI)) == 0;
}

}  // namespace detail
}  // namespace cmn

#endif  // PLATFORM_DISPATCHER_LOOPSTATE_H
