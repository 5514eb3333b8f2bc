// cmn::Dispatcher: one process-wide registry, one epoll loop per thread.
//
// The registry maps each descriptor to its watches, one slot per event type, each naming the
// loop and the client; one mutex guards it and every loop's bookkeeping, so removeClient works
// from any thread. A loop is made for a thread on its first addClient or listenOnce and kept
// in a pthread key whose destructor releases it at thread exit; a loop that still has watches
// then lingers (its thread gone) until the last of them is removed, because other key
// destructors of the same thread, a timer manager's among them, may still remove theirs.
//
// A round waits in epoll_wait without the lock, then takes the lock once per ready (descriptor,
// event type) pair to check that the pair is still watched by this loop and was watched before
// the wait began; that check is what keeps a client removed earlier in the round, or re-added
// under a reused descriptor, from being called. No memory is allocated per round.
#include <errno.h>
#include <limits.h>
#include <string.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "commonDispatcher.h"
#include "dbgLog.h"
#include "loopState.h"

namespace cmn {

template <>
volatile Dispatcher* SingletonHolder<Dispatcher>::instance_spm = nullptr;
template <>
pthread_mutex_t SingletonHolder<Dispatcher>::mutex_sm = PTHREAD_MUTEX_INITIALIZER;

namespace {

using detail::FdEventType;
using detail::FdWatches;
using detail::isReady;
using detail::isUnwatched;
using detail::isWatchable;
using detail::kernelMask;
using detail::Loop;
using detail::maskInLoop;
using detail::noPair;
using detail::pairCode;
using detail::readinessBits;
using detail::slotOf;
using detail::typeName;
using detail::Watch;

using detail::TaskList;

// Loop ids are unique in the process, across dispatcher objects, so a stale id never names a
// newer loop.
std::atomic<uint64_t> lastLoopId{0};

int clampTimeout(time_t timeoutMs) {
    if (timeoutMs < 0) {
        return -1;
    }
    return timeoutMs > INT_MAX ? INT_MAX : static_cast<int>(timeoutMs);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Registry and loops
// ---------------------------------------------------------------------------------------------

struct Dispatcher::Impl {
    Impl();
    ~Impl();

    Loop* threadLoop() const;
    Loop* callerLoop();
    static void releaseLoop(void* loop_p);
    void destroyIfUnusedLocked(Loop* loop_p);
    bool enqueue(uint64_t loopId, std::function<void()>& task_r);
    int runTasks(Loop* loop_p);

    bool watchLocked(Loop* loop_p, int fd, FdEventType type, ADispatcherClient* client_p);
    bool unwatchLocked(int fd, FdEventType type, Loop*& loop_rp);
    void waitForCallbackLocked(std::unique_lock<std::mutex>& lock_r, Loop* loop_p, int64_t pair);

    int runRound(Loop* loop_p, int timeoutMs);
    int dispatchDescriptor(Loop* loop_p, int fd, uint32_t revents, uint64_t snapshot);
    ADispatcherClient* claim(Loop* loop_p, int fd, FdEventType type, uint32_t revents,
                             uint64_t snapshot);
    void finishCallback(Loop* loop_p);

    const DbgModuleDescriptor* log_mp;
    std::mutex mutex_m;
    std::condition_variable callbackDone_m;
    std::unordered_map<int, FdWatches> watches_m;
    std::unordered_map<uint64_t, Loop*> loops_m;  // by id
    std::atomic<uint64_t> lastSerial_m{0};
    std::atomic<uint64_t> stopGeneration_m{0};
    pthread_key_t loopKey_m;
    bool keyCreated_m;
};

Dispatcher::Impl::Impl()
    : log_mp(SingletonHolder<DebugLogger>::getInstance().registerModule("Dispatcher")),
      loopKey_m(),
      keyCreated_m(false) {
    int result = pthread_key_create(&loopKey_m, &Impl::releaseLoop);
    if (result != 0) {
        errno = result;
        log_mp->dbgLog_critical(__FILE__, __LINE__, "pthread_key_create for loops failed: %m");
        return;
    }
    keyCreated_m = true;
}

Dispatcher::Impl::~Impl() {
    std::lock_guard<std::mutex> lock(mutex_m);
    for (const auto& entry_r : loops_m) {
        delete entry_r.second;
    }
    loops_m.clear();
    if (keyCreated_m) {
        pthread_key_delete(loopKey_m);
    }
}

Loop* Dispatcher::Impl::threadLoop() const {
    return keyCreated_m ? static_cast<Loop*>(pthread_getspecific(loopKey_m)) : nullptr;
}

Loop* Dispatcher::Impl::callerLoop() {
    Loop* loop_p = threadLoop();
    if (loop_p != nullptr || !keyCreated_m) {
        return loop_p;
    }
    std::unique_ptr<Loop> created_p(new Loop());
    if (!created_p->epoll_m.open(log_mp)) {
        return nullptr;
    }
    int result = pthread_setspecific(loopKey_m, created_p.get());
    if (result != 0) {
        errno = result;
        log_mp->dbgLog_critical(__FILE__, __LINE__, "pthread_setspecific of loop %d failed: %m",
                                created_p->epoll_m.epollFd());
        return nullptr;
    }
    created_p->owner_p = this;
    created_p->id_m = lastLoopId.fetch_add(1) + 1;
    std::lock_guard<std::mutex> lock(mutex_m);
    loops_m[created_p->id_m] = created_p.get();
    return created_p.release();
}

// Tasks still queued are destroyed unrun, after the lock is released: their destructors may
// call the dispatcher.
void Dispatcher::Impl::releaseLoop(void* loop_p) {
    Loop* dying_p = static_cast<Loop*>(loop_p);
    Impl* impl_p = static_cast<Impl*>(dying_p->owner_p);
    TaskList dropped;
    {
        std::lock_guard<std::mutex> lock(impl_p->mutex_m);
        dying_p->threadGone_m = true;
        {
            std::lock_guard<std::mutex> tasksLock(dying_p->tasksMutex_m);
            dropped.swap(dying_p->tasks_m);
        }
        impl_p->destroyIfUnusedLocked(dying_p);
    }
}

void Dispatcher::Impl::destroyIfUnusedLocked(Loop* loop_p) {
    if (!loop_p->threadGone_m || loop_p->watchCount_m != 0 || loop_p->removersWaiting_m > 0) {
        return;
    }
    loops_m.erase(loop_p->id_m);
    delete loop_p;
}

bool Dispatcher::Impl::watchLocked(Loop* loop_p, int fd, FdEventType type,
                                   ADispatcherClient* client_p) {
    FdWatches& watches_r = watches_m[fd];
    Watch& watch_r = watches_r[slotOf(type)];
    if (watch_r.loop_p != nullptr) {
        log_mp->dbgLog_err(__FILE__, __LINE__,
                           "addClient refused: descriptor %d already watched for %s", fd,
                           typeName(type));
        return false;
    }
    uint32_t oldMask = maskInLoop(watches_r, loop_p);
    if (!loop_p->epoll_m.update(fd, oldMask, oldMask | kernelMask(slotOf(type)))) {
        if (isUnwatched(watches_r)) {
            watches_m.erase(fd);
        }
        return false;
    }
    watch_r.loop_p = loop_p;
    watch_r.client_p = client_p;
    watch_r.serial = lastSerial_m.fetch_add(1, std::memory_order_acq_rel) + 1;
    ++loop_p->watchCount_m;
    return true;
}

bool Dispatcher::Impl::unwatchLocked(int fd, FdEventType type, Loop*& loop_rp) {
    std::unordered_map<int, FdWatches>::iterator it = watches_m.find(fd);
    if (it == watches_m.end() || it->second[slotOf(type)].loop_p == nullptr) {
        return false;
    }
    Watch& watch_r = it->second[slotOf(type)];
    loop_rp = watch_r.loop_p;
    watch_r = Watch();
    uint32_t remaining = maskInLoop(it->second, loop_rp);
    // A failure is logged there; the pair is no longer watched either way, and the registry
    // check keeps any report the kernel still makes for it from reaching the client.
    loop_rp->epoll_m.update(fd, remaining | kernelMask(slotOf(type)), remaining);
    if (isUnwatched(it->second)) {
        watches_m.erase(it);
    }
    --loop_rp->watchCount_m;
    return true;
}

// The loop's thread may be inside the client's callback for this very pair; a remover on
// another thread waits for it to return, so the client may be destroyed once removeClient has
// returned.
void Dispatcher::Impl::waitForCallbackLocked(std::unique_lock<std::mutex>& lock_r, Loop* loop_p,
                                             int64_t pair) {
    loop_p->removersWaiting_m.fetch_add(1);
    callbackDone_m.wait(lock_r, [loop_p, pair] { return loop_p->dispatchingPair_m != pair; });
    loop_p->removersWaiting_m.fetch_sub(1);
    destroyIfUnusedLocked(loop_p);
}

// The loop is woken only when its queue turns non-empty: a round drains the wake-up before it
// takes the queue, so a task queued after that take always finds the queue empty and wakes it.
bool Dispatcher::Impl::enqueue(uint64_t loopId, std::function<void()>& task_r) {
    std::lock_guard<std::mutex> lock(mutex_m);
    std::unordered_map<uint64_t, Loop*>::iterator it = loops_m.find(loopId);
    if (it == loops_m.end() || it->second->threadGone_m) {
        return false;
    }
    Loop* loop_p = it->second;
    bool wasEmpty = false;
    {
        std::lock_guard<std::mutex> tasksLock(loop_p->tasksMutex_m);
        wasEmpty = loop_p->tasks_m.empty();
        loop_p->tasks_m.push_back(std::move(task_r));
    }
    if (wasEmpty) {
        loop_p->epoll_m.wake();
    }
    return true;
}

// Runs the tasks queued before this call; those they post run in a later round.
int Dispatcher::Impl::runTasks(Loop* loop_p) {
    {
        std::lock_guard<std::mutex> tasksLock(loop_p->tasksMutex_m);
        loop_p->running_m.swap(loop_p->tasks_m);
    }
    int made = 0;
    for (std::function<void()>& task_r : loop_p->running_m) {
        task_r();
        ++made;
    }
    loop_p->running_m.clear();
    return made;
}

// ---------------------------------------------------------------------------------------------
// Rounds
// ---------------------------------------------------------------------------------------------

int Dispatcher::Impl::runRound(Loop* loop_p, int timeoutMs) {
    if (loop_p->inRound_m) {
        log_mp->dbgLog_err(__FILE__, __LINE__, "listenOnce refused: loop %d is already in a round",
                           loop_p->epoll_m.epollFd());
        return -1;
    }
    // Pairs registered after this point are not served until the next round: their descriptor
    // number may have been reported for an earlier, since closed, descriptor.
    uint64_t snapshot = lastSerial_m.load(std::memory_order_acquire);
    std::vector<struct epoll_event>& events_r = loop_p->events_m;
    int ready = loop_p->epoll_m.wait(events_r.data(), static_cast<int>(events_r.size()), timeoutMs);
    if (ready <= 0) {
        return ready;
    }
    loop_p->inRound_m = true;
    int made = 0;
    for (int i = 0; i < ready; ++i) {
        if (events_r[i].data.u64 == detail::EpollSet::wakeMarker) {
            loop_p->epoll_m.drainWake();
            made += runTasks(loop_p);
            continue;
        }
        made += dispatchDescriptor(loop_p, static_cast<int>(events_r[i].data.u64),
                                   events_r[i].events, snapshot);
    }
    loop_p->inRound_m = false;
    if (ready == static_cast<int>(events_r.size()) && ready < detail::maximumEventCapacity) {
        events_r.resize(events_r.size() * 2);
    }
    return made;
}

int Dispatcher::Impl::dispatchDescriptor(Loop* loop_p, int fd, uint32_t revents,
                                         uint64_t snapshot) {
    static const FdEventType types[] = {ADispatcherClient::fdReadEvent_c,
                                        ADispatcherClient::fdWriteEvent_c,
                                        ADispatcherClient::fdExceptionEvent_c};
    int made = 0;
    for (FdEventType type : types) {
        if ((revents & readinessBits(type)) == 0) {
            continue;
        }
        ADispatcherClient* client_p = claim(loop_p, fd, type, revents, snapshot);
        if (client_p == nullptr) {
            continue;
        }
        // The callback's result is the client's business: a refused event stays watched.
        client_p->handleEvent(fd, type);
        finishCallback(loop_p);
        ++made;
    }
    return made;
}

ADispatcherClient* Dispatcher::Impl::claim(Loop* loop_p, int fd, FdEventType type, uint32_t revents,
                                           uint64_t snapshot) {
    std::lock_guard<std::mutex> lock(mutex_m);
    std::unordered_map<int, FdWatches>::const_iterator it = watches_m.find(fd);
    if (it == watches_m.end()) {
        return nullptr;
    }
    const Watch& watch_r = it->second[slotOf(type)];
    if (watch_r.loop_p != loop_p || watch_r.serial > snapshot ||
        !isReady(type, revents, it->second, loop_p)) {
        return nullptr;
    }
    loop_p->dispatchingPair_m.store(pairCode(fd, type));
    return watch_r.client_p;
}

// Sequentially consistent store and load pair with the remover's increment and check in
// waitForCallbackLocked: either the remover sees the pair finished, or this sees the remover.
void Dispatcher::Impl::finishCallback(Loop* loop_p) {
    loop_p->dispatchingPair_m.store(noPair);
    if (loop_p->removersWaiting_m.load() > 0) {
        std::lock_guard<std::mutex> lock(mutex_m);
        callbackDone_m.notify_all();
    }
}

// ---------------------------------------------------------------------------------------------
// Public operations
// ---------------------------------------------------------------------------------------------

Dispatcher::Dispatcher() : impl_mp(new Impl()) {}

Dispatcher::~Dispatcher() { delete impl_mp; }

bool Dispatcher::addClient(ADispatcherClient* client_p, ADispatcherClient::FdEventType eventType) {
    if (client_p == nullptr) {
        impl_mp->log_mp->dbgLog_err(__FILE__, __LINE__, "%s", "addClient refused: null client");
        return false;
    }
    if (!isWatchable(eventType)) {
        impl_mp->log_mp->dbgLog_err(__FILE__, __LINE__, "addClient refused: event type %d",
                                    static_cast<int>(eventType));
        return false;
    }
    int fd = client_p->getPrimarySocket();
    if (fd < 0) {
        impl_mp->log_mp->dbgLog_err(__FILE__, __LINE__, "addClient refused: descriptor %d", fd);
        return false;
    }
    Loop* loop_p = impl_mp->callerLoop();
    if (loop_p == nullptr) {
        return false;
    }
    std::lock_guard<std::mutex> lock(impl_mp->mutex_m);
    return impl_mp->watchLocked(loop_p, fd, eventType, client_p);
}

bool Dispatcher::removeClient(int fd, ADispatcherClient::FdEventType eventType) {
    if (fd < 0 || !isWatchable(eventType)) {
        return false;
    }
    std::unique_lock<std::mutex> lock(impl_mp->mutex_m);
    Loop* loop_p = nullptr;
    if (!impl_mp->unwatchLocked(fd, eventType, loop_p)) {
        return false;
    }
    if (loop_p != impl_mp->threadLoop() &&
        loop_p->dispatchingPair_m.load() == pairCode(fd, eventType)) {
        impl_mp->waitForCallbackLocked(lock, loop_p, pairCode(fd, eventType));
        return true;
    }
    impl_mp->destroyIfUnusedLocked(loop_p);
    return true;
}

int Dispatcher::listenOnce(time_t timeoutMs) {
    Loop* loop_p = impl_mp->callerLoop();
    if (loop_p == nullptr) {
        return -1;
    }
    return impl_mp->runRound(loop_p, clampTimeout(timeoutMs));
}

void Dispatcher::listen() {
    Loop* loop_p = impl_mp->callerLoop();
    if (loop_p == nullptr) {
        return;
    }
    uint64_t generation = impl_mp->stopGeneration_m.load(std::memory_order_acquire);
    while (impl_mp->stopGeneration_m.load(std::memory_order_acquire) == generation) {
        // A failed round is logged; the loop's epoll set is then broken for good.
        if (impl_mp->runRound(loop_p, -1) < 0) {
            return;
        }
    }
}

void Dispatcher::stop() {
    impl_mp->stopGeneration_m.fetch_add(1, std::memory_order_acq_rel);
    std::lock_guard<std::mutex> lock(impl_mp->mutex_m);
    for (const auto& entry_r : impl_mp->loops_m) {
        if (!entry_r.second->threadGone_m) {
            entry_r.second->epoll_m.wake();
        }
    }
}

Dispatcher::LoopId Dispatcher::currentLoop() {
    Loop* loop_p = impl_mp->callerLoop();
    return loop_p == nullptr ? 0 : loop_p->id_m;
}

bool Dispatcher::post(LoopId loop, std::function<void()> task) {
    if (!task) {
        impl_mp->log_mp->dbgLog_err(__FILE__, __LINE__, "post refused: empty task for loop %lu",
                                    static_cast<unsigned long>(loop));
        return false;
    }
    if (impl_mp->enqueue(loop, task)) {
        return true;
    }
    task = nullptr;
    return false;
}

int Dispatcher::getLoopDescriptor() {
    Loop* loop_p = impl_mp->callerLoop();
    return loop_p == nullptr ? -1 : loop_p->epoll_m.epollFd();
}

}  // namespace cmn
