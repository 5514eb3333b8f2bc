// cmn::Dispatcher::Impl: the dispatcher's state, shared by its source files (registry and
// public operations in dispatcher.cpp, rounds in loopRound.cpp, fork handling in
// dispatcherFork.cpp). Private to the dispatcher.
//
// The registry maps each descriptor to the loop that watches it for each event type, so that
// addClient refuses a pair watched anywhere and removeClient finds the pair's loop from any
// thread; one mutex guards it, the set of loops and the loops' registry-guarded fields. A
// round never takes that mutex: it finds a watch through the index carried in the kernel's
// report and locks only its own loop (see loopState.h).
// Ownership: the Impl owns its loops. Thread: as marked per member.
#ifndef PLATFORM_DISPATCHER_DISPATCHERIMPL_H
#define PLATFORM_DISPATCHER_DISPATCHERIMPL_H

#include <pthread.h>
#include <stdint.h>

#include <array>
#include <atomic>
#include <functional>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "commonDispatcher.h"
#include "dbgLog.h"
#include "deferredLog.h"
#include "loopState.h"

namespace cmn {

namespace detail {

// Which loop watches a descriptor for one event type, and the index of its record there.
struct Owner {
    Loop* loop_p = nullptr;  // null: the pair is not watched
    uint32_t index = 0;
};
typedef std::array<Owner, slotCount> FdOwners;

}  // namespace detail

struct Dispatcher::Impl {
    Impl();
    ~Impl();

    // Loops (dispatcher.cpp).
    detail::Loop* threadLoop() const;
    detail::Loop* callerLoop();
    static void releaseLoop(void* loop_p);
    void destroyIfUnusedLocked(detail::Loop* loop_p);

    // Registry (dispatcher.cpp). Called with mutex_m held.
    bool watchLocked(detail::Loop* loop_p, int fd, detail::FdEventType type,
                     ADispatcherClient* client_p, detail::DeferredLog& log_r);
    detail::Loop* unwatchLocked(int fd, detail::FdEventType type, bool& mustWait_r,
                                detail::DeferredLog& log_r);
    void waitForCallback(detail::Loop* loop_p, int64_t pair);

    // Tasks and rounds (loopRound.cpp), on the loop's thread unless said otherwise.
    bool enqueue(uint64_t loopId, std::function<void()>& task_r);  // any thread
    int runTasks(detail::Loop* loop_p);
    void requeueUnrun(detail::Loop* loop_p, size_t first);
    int runRound(detail::Loop* loop_p, int timeoutMs, const uint64_t* stopGeneration_p);
    int dispatchReports(detail::Loop* loop_p, int ready, uint64_t snapshot);
    int dispatchDescriptor(detail::Loop* loop_p, uint64_t data, uint32_t revents,
                           uint64_t snapshot);
    ADispatcherClient* claim(detail::Loop* loop_p, uint64_t data, detail::FdEventType type,
                             uint32_t revents, uint64_t snapshot, int& fd_r);
    void finishCallback(detail::Loop* loop_p);

    // Fork (dispatcherFork.cpp). The handlers run around every fork() of the process, for
    // every living Impl.
    void registerForFork();
    void unregisterForFork();
    void forgetAfterFork();
    static const int forkHandlersResult_sm;  // of pthread_atfork, when the library loaded
    static std::vector<Impl*>& living();
    static void prepareFork();
    static void resumeParent();
    static void resumeChild();

    const DbgModuleDescriptor* log_mp;
    std::mutex mutex_m;                                   // the registry mutex
    std::unordered_map<int, detail::FdOwners> watches_m;  // guarded by mutex_m
    std::unordered_map<uint64_t, detail::Loop*> loops_m;  // by id; guarded by mutex_m
    // A forked child's inherited loops: their descriptors are closed, and the rest is never
    // touched again, since a thread of the parent may have held their mutexes at the fork.
    std::vector<detail::Loop*> abandoned_m;
    std::atomic<uint64_t> lastSerial_m{0};
    std::atomic<uint64_t> stopGeneration_m{0};
    pthread_key_t loopKey_m;
    bool keyCreated_m;
};

}  // namespace cmn

#endif  // PLATFORM_DISPATCHER_DISPATCHERIMPL_H
