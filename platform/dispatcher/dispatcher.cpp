// cmn::Dispatcher: one process-wide registry, one epoll loop per thread; the loops' lifecycle,
// the registry and the public operations.
//
// A loop is made for a thread on its first addClient, listenOnce, currentLoop or
// getLoopDescriptor and kept in a pthread key whose destructor releases it at thread exit; a
// loop that still has watches then lingers (its thread gone) until the last of them is
// removed, because other key destructors of the same thread, a timer manager's among them, may
// still remove theirs. Nothing is logged while a dispatcher lock is held: a log sink may wait
// for another thread that is calling the dispatcher.
#include <errno.h>
#include <limits.h>

#include <memory>
#include <mutex>
#include <utility>

#include "commonDispatcher.h"
#include "dbgLog.h"
#include "dispatcherImpl.h"

namespace cmn {

template <>
volatile Dispatcher* SingletonHolder<Dispatcher>::instance_spm = nullptr;
template <>
pthread_mutex_t SingletonHolder<Dispatcher>::mutex_sm = PTHREAD_MUTEX_INITIALIZER;

using detail::DeferredLog;
using detail::FdEventType;
using detail::FdOwners;
using detail::FdRecord;
using detail::isWatchable;
using detail::kernelMask;
using detail::Loop;
using detail::Owner;
using detail::pairCode;
using detail::slotOf;
using detail::TaskList;
using detail::typeName;

namespace {

// Loop ids are unique in the process, across dispatcher objects, so a stale id never names a
// newer loop.
std::atomic<uint64_t> lastLoopId{0};

int clampTimeout(time_t timeoutMs) {
    if (timeoutMs < 0) {
        return -1;
    }
    return timeoutMs > INT_MAX ? INT_MAX : static_cast<int>(timeoutMs);
}

bool isUnowned(const FdOwners& owners_r) {
    for (const Owner& owner_r : owners_r) {
        if (owner_r.loop_p != nullptr) {
            return false;
        }
    }
    return true;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Loops
// ---------------------------------------------------------------------------------------------

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
    registerForFork();
}

// Loops are deleted after the lock is released: deleting one destroys its queued tasks, whose
// destructors may call the dispatcher.
Dispatcher::Impl::~Impl() {
    unregisterForFork();
    std::unordered_map<uint64_t, Loop*> loops;
    {
        std::lock_guard<std::mutex> lock(mutex_m);
        loops.swap(loops_m);
    }
    for (const auto& entry_r : loops) {
        delete entry_r.second;
    }
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

// Tasks still queued are destroyed unrun, after the lock is released.
void Dispatcher::Impl::releaseLoop(void* loop_p) {
    Loop* dying_p = static_cast<Loop*>(loop_p);
    Impl* impl_p = static_cast<Impl*>(dying_p->owner_p);
    TaskList dropped;
    {
        std::lock_guard<std::mutex> lock(impl_p->mutex_m);
        dying_p->threadGone_m = true;
        {
            std::lock_guard<std::mutex> loopLock(dying_p->mutex_m);
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

// ---------------------------------------------------------------------------------------------
// Registry
// ---------------------------------------------------------------------------------------------

bool Dispatcher::Impl::watchLocked(Loop* loop_p, int fd, FdEventType type,
                                   ADispatcherClient* client_p, DeferredLog& log_r) {
    FdOwners& owners_r = watches_m[fd];
    size_t slot = slotOf(type);
    if (owners_r[slot].loop_p != nullptr) {
        log_r.err(__FILE__, __LINE__, "addClient refused: descriptor %d already watched for %s", fd,
                  typeName(type));
        return false;
    }
    const Owner* sibling_p = nullptr;
    for (const Owner& owner_r : owners_r) {
        if (owner_r.loop_p == loop_p) {
            sibling_p = &owner_r;
        }
    }
    std::lock_guard<std::mutex> loopLock(loop_p->mutex_m);
    uint32_t index = sibling_p != nullptr ? sibling_p->index : loop_p->allocateRecord(fd);
    FdRecord& record_r = loop_p->records_m[index];
    uint32_t oldMask = record_r.mask();
    uint32_t newMask = oldMask | kernelMask(slot);
    int error =
        loop_p->epoll_m.update(fd, oldMask, newMask, detail::eventData(index, record_r.generation));
    if (error != 0) {
        errno = error;
        log_r.critical(__FILE__, __LINE__, "epoll_ctl(%s) of descriptor %d on epoll %d failed: %m",
                       detail::EpollSet::operationName(oldMask, newMask), fd,
                       loop_p->epoll_m.epollFd());
        if (sibling_p == nullptr) {
            loop_p->freeRecord(index);
        }
        if (isUnowned(owners_r)) {
            watches_m.erase(fd);
        }
        return false;
    }
    record_r.slots[slot].client_p = client_p;
    record_r.slots[slot].serial = lastSerial_m.fetch_add(1, std::memory_order_acq_rel) + 1;
    owners_r[slot].loop_p = loop_p;
    owners_r[slot].index = index;
    ++loop_p->watchCount_m;
    return true;
}

// Returns the loop that watched the pair (null: not watched). mustWait_r tells whether the
// loop's thread is inside this pair's callback and the caller, on another thread, is to wait
// for it; the loop is then kept alive until waitForCallback is done.
Loop* Dispatcher::Impl::unwatchLocked(int fd, FdEventType type, bool& mustWait_r,
                                      DeferredLog& log_r) {
    std::unordered_map<int, FdOwners>::iterator it = watches_m.find(fd);
    size_t slot = slotOf(type);
    if (it == watches_m.end() || it->second[slot].loop_p == nullptr) {
        return nullptr;
    }
    Owner owner = it->second[slot];
    it->second[slot] = Owner();
    if (isUnowned(it->second)) {
        watches_m.erase(it);
    }
    Loop* loop_p = owner.loop_p;
    --loop_p->watchCount_m;
    std::lock_guard<std::mutex> loopLock(loop_p->mutex_m);
    FdRecord& record_r = loop_p->records_m[owner.index];
    record_r.slots[slot] = detail::Slot();
    uint32_t remaining = record_r.mask();
    // The pair is no longer watched either way; the emptied slot keeps any report the kernel
    // still makes for it from reaching the client.
    int error = loop_p->epoll_m.update(fd, remaining | kernelMask(slot), remaining,
                                       detail::eventData(owner.index, record_r.generation));
    if (error != 0) {
        errno = error;
        log_r.critical(__FILE__, __LINE__, "epoll_ctl(%s) of descriptor %d on epoll %d failed: %m",
                       detail::EpollSet::operationName(remaining | kernelMask(slot), remaining), fd,
                       loop_p->epoll_m.epollFd());
    }
    if (remaining == 0) {
        loop_p->freeRecord(owner.index);
    }
    mustWait_r = loop_p != threadLoop() && loop_p->dispatchingPair_m.load() == pairCode(fd, type);
    if (mustWait_r) {
        loop_p->removersWaiting_m.fetch_add(1);
    }
    return loop_p;
}

// The loop's thread may be inside the client's callback for this very pair; a remover on
// another thread waits for it to return, so the client may be destroyed once removeClient has
// returned. removersWaiting_m, raised by unwatchLocked, keeps the loop alive meanwhile; the
// increment and the loop thread's clearing of dispatchingPair_m are sequentially consistent,
// so either the loop's thread sees the remover and notifies, or the remover sees the pair done.
void Dispatcher::Impl::waitForCallback(Loop* loop_p, int64_t pair) {
    {
        std::unique_lock<std::mutex> loopLock(loop_p->mutex_m);
        loop_p->callbackDone_m.wait(loopLock,
                                    [loop_p, pair] { return loop_p->dispatchingPair_m != pair; });
    }
    std::lock_guard<std::mutex> lock(mutex_m);
    loop_p->removersWaiting_m.fetch_sub(1);
    destroyIfUnusedLocked(loop_p);
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
    DeferredLog log;
    bool added = false;
    {
        std::lock_guard<std::mutex> lock(impl_mp->mutex_m);
        added = impl_mp->watchLocked(loop_p, fd, eventType, client_p, log);
    }
    log.emit(impl_mp->log_mp);
    return added;
}

bool Dispatcher::removeClient(int fd, ADispatcherClient::FdEventType eventType) {
    if (fd < 0 || !isWatchable(eventType)) {
        return false;
    }
    DeferredLog log;
    bool mustWait = false;
    Loop* loop_p = nullptr;
    {
        std::lock_guard<std::mutex> lock(impl_mp->mutex_m);
        loop_p = impl_mp->unwatchLocked(fd, eventType, mustWait, log);
        if (loop_p != nullptr && !mustWait) {
            impl_mp->destroyIfUnusedLocked(loop_p);
        }
    }
    log.emit(impl_mp->log_mp);
    if (mustWait) {
        impl_mp->waitForCallback(loop_p, pairCode(fd, eventType));
    }
    return loop_p != nullptr;
}

int Dispatcher::listenOnce(time_t timeoutMs) {
    Loop* loop_p = impl_mp->callerLoop();
    if (loop_p == nullptr) {
        return -1;
    }
    return impl_mp->runRound(loop_p, clampTimeout(timeoutMs), nullptr);
}

void Dispatcher::listen() {
    Loop* loop_p = impl_mp->callerLoop();
    if (loop_p == nullptr) {
        return;
    }
    uint64_t generation = impl_mp->stopGeneration_m.load(std::memory_order_acquire);
    while (impl_mp->stopGeneration_m.load(std::memory_order_acquire) == generation) {
        // A failed round is logged; the loop's epoll set is then broken for good.
        if (impl_mp->runRound(loop_p, -1, &generation) < 0) {
            return;
        }
    }
}

void Dispatcher::stop() {
    impl_mp->stopGeneration_m.fetch_add(1, std::memory_order_acq_rel);
    DeferredLog log;
    {
        std::lock_guard<std::mutex> lock(impl_mp->mutex_m);
        for (const auto& entry_r : impl_mp->loops_m) {
            Loop* loop_p = entry_r.second;
            int error = loop_p->threadGone_m ? 0 : loop_p->epoll_m.wake();
            if (error != 0) {
                errno = error;
                log.critical(__FILE__, __LINE__, "write to wake-up eventfd %d failed: %m",
                             loop_p->epoll_m.wakeFd());
            }
        }
    }
    log.emit(impl_mp->log_mp);
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
