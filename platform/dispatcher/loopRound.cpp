// cmn::Dispatcher's rounds and posted tasks.
//
// A round waits in epoll_wait without any lock, then, per ready (descriptor, event type) pair,
// takes its own loop's mutex to find the watch through the record index in the kernel's
// report and to check that the pair is still watched and was watched before the wait began;
// that check is what keeps a client removed earlier in the round, or re-added under a reused
// descriptor, from being called. The process-wide registry mutex is never taken by a round.
// No memory is allocated per round.
//
// listenOnce returns 0 only when its time ran out or a signal interrupted the wait: a pass that
// called nobody (a stop() wake-up, a report for a pair removed or added meanwhile) waits again
// for the time that is left. listen() passes the stop generation it serves, so that a stop()
// ends its round.
#include <errno.h>
#include <time.h>

#include <mutex>
#include <utility>

#include "dispatcherImpl.h"

namespace cmn {

using detail::DeferredLog;
using detail::FdEventType;
using detail::FdRecord;
using detail::isReady;
using detail::Loop;
using detail::pairCode;
using detail::readinessBits;
using detail::slotOf;
using detail::TaskList;

namespace {

int64_t monotonicNs() {
    struct timespec now = {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// The whole milliseconds from now until `deadlineNs`, rounded up so that a wait never ends
// before the deadline; 0 once it has passed.
int millisecondsUntil(int64_t deadlineNs) {
    int64_t leftNs = deadlineNs - monotonicNs();
    return leftNs <= 0 ? 0 : static_cast<int>((leftNs + 999999) / 1000000);
}

// Runs its action when the scope is left, also when a callback's or a task's exception passes
// out of the round (the user guide lets it), so that the loop stays usable afterwards.
template <typename Action>
class ScopeExit {
public:
    explicit ScopeExit(Action action) : action_m(action) {}
    ~ScopeExit() { action_m(); }
    ScopeExit(const ScopeExit&) = delete;
    ScopeExit& operator=(const ScopeExit&) = delete;

private:
    Action action_m;
};

}  // namespace

// ---------------------------------------------------------------------------------------------
// Posted tasks
// ---------------------------------------------------------------------------------------------

// The loop is woken only when its queue turns non-empty: a round drains the wake-up before it
// takes the queue, so a task queued after that take always finds the queue empty and wakes it.
// The registry mutex keeps the loop alive and its thread's end ordered against the push.
bool Dispatcher::Impl::enqueue(uint64_t loopId, std::function<void()>& task_r) {
    DeferredLog log;
    bool queued = false;
    {
        std::lock_guard<std::mutex> lock(mutex_m);
        std::unordered_map<uint64_t, Loop*>::iterator it = loops_m.find(loopId);
        if (it != loops_m.end() && !it->second->threadGone_m) {
            Loop* loop_p = it->second;
            bool wasEmpty = false;
            {
                std::lock_guard<std::mutex> loopLock(loop_p->mutex_m);
                wasEmpty = loop_p->tasks_m.empty();
                loop_p->tasks_m.push_back(std::move(task_r));
            }
            int error = wasEmpty ? loop_p->epoll_m.wake() : 0;
            if (error != 0) {
                errno = error;
                log.critical(__FILE__, __LINE__, "write to wake-up eventfd %d failed: %m",
                             loop_p->epoll_m.wakeFd());
            }
            queued = true;
        }
    }
    log.emit(log_mp);
    return queued;
}

// Runs the tasks queued before this call; those they post run in a later round. When a task
// throws, the ones after it go back to the head of the queue for the next round.
int Dispatcher::Impl::runTasks(Loop* loop_p) {
    {
        std::lock_guard<std::mutex> loopLock(loop_p->mutex_m);
        loop_p->running_m.swap(loop_p->tasks_m);
    }
    TaskList& running_r = loop_p->running_m;
    size_t next = 0;
    ScopeExit leave([this, loop_p, &running_r, &next] {
        if (next < running_r.size()) {
            requeueUnrun(loop_p, next);
        }
        running_r.clear();
    });
    while (next < running_r.size()) {
        running_r[next++]();
    }
    return static_cast<int>(next);
}

void Dispatcher::Impl::requeueUnrun(Loop* loop_p, size_t first) {
    TaskList& running_r = loop_p->running_m;
    {
        std::lock_guard<std::mutex> loopLock(loop_p->mutex_m);
        loop_p->tasks_m.insert(loop_p->tasks_m.begin(),
                               std::make_move_iterator(running_r.begin() + first),
                               std::make_move_iterator(running_r.end()));
    }
    int error = loop_p->epoll_m.wake();
    if (error != 0) {
        errno = error;
        log_mp->dbgLog_critical(__FILE__, __LINE__, "write to wake-up eventfd %d failed: %m",
                                loop_p->epoll_m.wakeFd());
    }
}

// ---------------------------------------------------------------------------------------------
// Rounds
// ---------------------------------------------------------------------------------------------

int Dispatcher::Impl::runRound(Loop* loop_p, int timeoutMs, const uint64_t* stopGeneration_p) {
    if (loop_p->inRound_m) {
        log_mp->dbgLog_err(__FILE__, __LINE__, "listenOnce refused: loop %d is already in a round",
                           loop_p->epoll_m.epollFd());
        return -1;
    }
    int64_t deadlineNs = timeoutMs > 0 ? monotonicNs() + timeoutMs * int64_t(1000000) : 0;
    int waitMs = timeoutMs;
    for (;;) {
        // Pairs registered after this point are not served in this pass: their descriptor
        // number may have been reported for an earlier, since closed, descriptor.
        uint64_t snapshot = lastSerial_m.load(std::memory_order_acquire);
        std::vector<struct epoll_event>& events_r = loop_p->events_m;
        int ready =
            loop_p->epoll_m.wait(events_r.data(), static_cast<int>(events_r.size()), waitMs);
        if (ready <= 0) {
            return ready;
        }
        int made = dispatchReports(loop_p, ready, snapshot);
        if (made > 0 || timeoutMs == 0) {
            return made;
        }
        if (stopGeneration_p != nullptr && stopGeneration_m.load() != *stopGeneration_p) {
            return 0;
        }
        if (timeoutMs > 0) {
            waitMs = millisecondsUntil(deadlineNs);
            if (waitMs == 0) {
                return 0;
            }
        }
    }
}

int Dispatcher::Impl::dispatchReports(Loop* loop_p, int ready, uint64_t snapshot) {
    std::vector<struct epoll_event>& events_r = loop_p->events_m;
    loop_p->inRound_m = true;
    ScopeExit leave([loop_p] { loop_p->inRound_m = false; });
    int made = 0;
    for (int i = 0; i < ready; ++i) {
        if (events_r[i].data.u64 == detail::EpollSet::wakeMarker) {
            loop_p->epoll_m.drainWake();
            made += runTasks(loop_p);
            continue;
        }
        made += dispatchDescriptor(loop_p, events_r[i].data.u64, events_r[i].events, snapshot);
    }
    if (ready == static_cast<int>(events_r.size()) && ready < detail::maximumEventCapacity) {
        events_r.resize(events_r.size() * 2);
    }
    return made;
}

int Dispatcher::Impl::dispatchDescriptor(Loop* loop_p, uint64_t data, uint32_t revents,
                                         uint64_t snapshot) {
    static const FdEventType types[] = {ADispatcherClient::fdReadEvent_c,
                                        ADispatcherClient::fdWriteEvent_c,
                                        ADispatcherClient::fdExceptionEvent_c};
    int made = 0;
    for (FdEventType type : types) {
        if ((revents & readinessBits(type)) == 0) {
            continue;
        }
        int fd = -1;
        ADispatcherClient* client_p = claim(loop_p, data, type, revents, snapshot, fd);
        if (client_p == nullptr) {
            continue;
        }
        ScopeExit finish([this, loop_p] { finishCallback(loop_p); });
        // The callback's result is the client's business: a refused event stays watched.
        client_p->handleEvent(fd, type);
        ++made;
    }
    return made;
}

ADispatcherClient* Dispatcher::Impl::claim(Loop* loop_p, uint64_t data, FdEventType type,
                                           uint32_t revents, uint64_t snapshot, int& fd_r) {
    std::lock_guard<std::mutex> loopLock(loop_p->mutex_m);
    uint32_t index = detail::indexOf(data);
    if (index >= loop_p->records_m.size()) {
        return nullptr;
    }
    const FdRecord& record_r = loop_p->records_m[index];
    const detail::Slot& slot_r = record_r.slots[slotOf(type)];
    if (record_r.generation != detail::generationOf(data) || slot_r.client_p == nullptr ||
        slot_r.serial > snapshot || !isReady(type, revents, record_r.mask())) {
        return nullptr;
    }
    fd_r = record_r.fd;
    loop_p->dispatchingPair_m.store(pairCode(record_r.fd, type));
    return slot_r.client_p;
}

// Sequentially consistent store and load pair with the remover's increment and check (see
// waitForCallback): either the remover sees the pair finished, or this sees the remover.
void Dispatcher::Impl::finishCallback(Loop* loop_p) {
    loop_p->dispatchingPair_m.store(detail::noPair);
    if (loop_p->removersWaiting_m.load() > 0) {
        std::lock_guard<std::mutex> loopLock(loop_p->mutex_m);
        loop_p->callbackDone_m.notify_all();
    }
}

}  // namespace cmn
