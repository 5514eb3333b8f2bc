// DriverInstance: the timer operations (attach, arm, detach) made by application threads.
#include <errno.h>
#include <signal.h>
#include <sys/timerfd.h>

#include <algorithm>
#include <chrono>

#include "driverInstance.h"
#include "driverTime.h"

namespace cmn {
namespace detail {

namespace {

// How long a re-arming, deleting or stopping thread lets a running callback finish before it
// interrupts it: enough for an ordinary callback's last steps. A callback blocked in its send
// loses by the interrupt only an expiry of a timer being re-armed, deleted or stopped, which is
// stale or unwanted anyway; waiting longer would cost every such call the whole wait.
const std::chrono::microseconds kFirstWait(50);
// How long it then waits between interrupts, should one arrive before the callback blocks.
const std::chrono::milliseconds kInterruptInterval(1);
// How long a waiting thread first spins: a callback that is not blocked returns within a few
// microseconds of its send, and a loop thread re-arming the timer whose datagram woke it often
// finds the driver thread just returning from that send.
const int64_t kSpinNs = 10000;

inline void cpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

// True when `running` turned false within kSpinNs. Sleeping on the condition variable instead
// costs two futex calls and two context switches, and the driver thread a pass through the
// mutex.
template <typename Running>
bool returnedWithinSpin(const Running& running) {
    const int64_t giveUpNs = clockNowNs(CLOCK_MONOTONIC) + kSpinNs;
    while (running()) {
        if (clockNowNs(CLOCK_MONOTONIC) >= giveUpNs) {
            return false;
        }
        cpuRelax();
    }
    return true;
}

}  // namespace

// Only a record attached here is guarded by this mutex, so the instance test comes first.
bool DriverInstance::attachedLocked(const TimerRecord* record_p) const {
    return record_p->instance_m.load(std::memory_order_relaxed) == number_m &&
           record_p->run_m == run_m;
}

bool DriverInstance::ownsLocked(const ptimer* user, const RecordRef& ref) const {
    const TimerRecord* record_p = ref.record_p;
    return attachedLocked(record_p) && record_p->owner_mp.load(std::memory_order_relaxed) == user &&
           record_p->generation_m.load(std::memory_order_relaxed) == ref.generation &&
           !record_p->deleting_m;
}

DriverInstance::ClockQueue& DriverInstance::queueOf(const TimerRecord* record_p) {
    return record_p->absolute_m ? realtime_m : monotonic_m;
}

// The one place where arming costs a system call: only when the clock's earliest deadline
// moved before what the timerfd holds. A later or removed earliest deadline leaves the timerfd
// early; the driver thread then wakes once, finds nothing due and programs the new earliest.
int DriverInstance::programIfEarlierLocked(ClockQueue& queue_r) {
    if (queue_r.heap.empty()) {
        return 0;
    }
    const int64_t earliestNs = queue_r.heap.top()->deadlineNs_m;
    if (earliestNs >= queue_r.armedNs) {
        return 0;
    }
    const struct itimerspec setting = toTimerSpec(earliestNs);
    // ECANCELED reports a wall-clock step to a timerfd that asked to be told of steps, after
    // the timer was armed all the same. This driver does not ask, but an armed timer is never a
    // failure.
    if (timerfd_settime(queue_r.fd, TFD_TIMER_ABSTIME, &setting, nullptr) != 0 &&
        errno != ECANCELED) {
        return -1;
    }
    queue_r.armedNs = earliestNs;
    return 0;
}

// Applications use few distinct callbacks (the library one), so a linear search is short.
uint16_t DriverInstance::callbackNumberLocked(ptimer_callback_t callback) {
    for (size_t i = 0; i < callbacks_m.size(); ++i) {
        if (callbacks_m[i] == callback) {
            return static_cast<uint16_t>(i + 1);
        }
    }
    if (callbacks_m.size() >= UINT16_MAX) {
        return 0;
    }
    callbacks_m.push_back(callback);
    return static_cast<uint16_t>(callbacks_m.size());
}

// Before the numbers run out, the queued records are renumbered in their order, which keeps
// equal deadlines in arming order. Records out of the heaps in a taken batch keep their numbers:
// one that the driver thread puts back after a renumbering (an absolute timer held back by a
// step of the wall clock) sorts after later armings of the same deadline.
uint32_t DriverInstance::nextSequenceLocked() {
    if (nextSequence_m == UINT32_MAX) {
        nextSequence_m = std::max(monotonic_m.heap.renumber(), realtime_m.heap.renumber());
    }
    return ++nextSequence_m;
}

int DriverInstance::attach(TimerRecord* record_p, ptimer_callback_t callback, void* context_p,
                           bool absolute) {
    std::lock_guard<std::mutex> lock(mutex_m);
    const uint16_t callbackNumber = stopping_m ? 0 : callbackNumberLocked(callback);
    if (callbackNumber == 0) {
        return -1;
    }
    record_p->callback_m = callbackNumber;
    record_p->context_mp = context_p;
    record_p->absolute_m = absolute;
    record_p->deleting_m = false;
    record_p->batchedBy_m.store(0, std::memory_order_relaxed);
    record_p->heapIndex_m = HeapNode::kNotQueued;
    record_p->run_m = run_m;
    record_p->instance_m.store(number_m, std::memory_order_release);
    return 0;
}

// True when the record was waiting in a taken batch: its callback will not run now. Only the
// driver thread sets batchedBy_m, and only under the mutex, so a record that does not show it
// set needs no compare-exchange (and one cleared by the driver thread's claim shows firing_mp).
bool DriverInstance::dropFromBatchLocked(TimerRecord* record_p) {
    uint16_t batched = number_m;
    return record_p->batchedBy_m.load() == batched &&
           record_p->batchedBy_m.compare_exchange_strong(batched, 0);
}

// A callback re-arming or deleting its own timer must not wait for itself.
bool DriverInstance::firingElsewhereLocked(const TimerRecord* record_p) const {
    return firing_mp.load() == record_p && !pthread_equal(pthread_self(), thread_m);
}

// An expiry of the earlier arming that waits in a taken batch is dropped, and one whose callback
// is running now is waited for (unless this is that callback re-arming its own timer), so that
// none of it overlaps the new arming. The wait releases the lock, so the record is checked again
// after it, and dropped again: the driver thread may have taken a new batch meanwhile.
int DriverInstance::arm(const ptimer* user, const RecordRef& ref, const struct timespec& value) {
    std::unique_lock<std::mutex> lock(mutex_m);
    if (stopping_m || !ownsLocked(user, ref)) {
        return -1;
    }
    TimerRecord* record_p = ref.record_p;
    while (!dropFromBatchLocked(record_p) && firingElsewhereLocked(record_p)) {
        awaitCallbackLocked(lock, record_p);
        if (stopping_m || !ownsLocked(user, ref)) {
            return -1;
        }
    }
    ClockQueue& queue = queueOf(record_p);
    const uint32_t sequence = nextSequenceLocked();
    record_p->deadlineNs_m = record_p->absolute_m
                                 ? addSaturated(0, value)
                                 : addSaturated(clockNowNs(CLOCK_MONOTONIC), value);
    record_p->sequence_m = sequence;
    if (record_p->heapIndex_m == HeapNode::kNotQueued) {
        queue.heap.push(record_p);
    } else {
        queue.heap.update(record_p);
    }
    // While the driver thread fires a batch it programs the timerfds itself before it sleeps
    // again, so a loop thread re-arming the timers of that batch makes no system call.
    if (!firingBatch_m && programIfEarlierLocked(queue) != 0) {
        // The caller is told the timer is not armed, so it must not fire either.
        const int error = errno;
        queue.heap.remove(record_p);
        errno = error;
        return -1;
    }
    // Due by the reading of the batch being fired: it goes before that batch's later absolute
    // timers, which the driver thread therefore puts back (a relative arming is never due
    // before a taken batch's timers).
    if (record_p->absolute_m && record_p->deadlineNs_m < realtime_m.nowNs) {
        dueAbsoluteArmed_m.store(true);
    }
    return 0;
}

// The callback may be blocked in a send whose reader is the very thread waiting here, so the
// wait signals the driver thread until the callback returns. A first short wait lets an
// ordinary callback finish without being interrupted. The driver thread is alive (not joined)
// whenever it is signalled: only stop() joins it, after its own wait. The signal is sent with
// the lock held, and a driver thread that finishes a callback while anyone waits passes through
// the lock before it starts the next one, so the signal cannot interrupt that one.
void DriverInstance::awaitCallbackLocked(std::unique_lock<std::mutex>& lock_r,
                                         const TimerRecord* record_p) {
    const auto running = [this, record_p] {
        const TimerRecord* firing_p = firing_mp.load();
        return firing_p != nullptr && (record_p == nullptr || firing_p == record_p);
    };
    if (returnedWithinSpin(running)) {
        return;
    }
    // Counted before the first look at firing_mp: a driver thread that then finds no waiter
    // has already cleared it.
    waiters_m.fetch_add(1);
    std::chrono::microseconds wait = kFirstWait;
    while (running()) {
        if (callbackDone_m.wait_for(lock_r, wait, [&running] { return !running(); })) {
            break;
        }
        pthread_kill(thread_m, interruptSignal());
        wait = kInterruptInterval;
    }
    waiters_m.fetch_sub(1);
}

DriverInstance::DetachResult DriverInstance::detach(const ptimer* user, const RecordRef& ref) {
    std::unique_lock<std::mutex> lock(mutex_m);
    TimerRecord* record_p = ref.record_p;
    if (record_p->instance_m.load(std::memory_order_relaxed) != number_m) {
        return orphaned_c;
    }
    if (record_p->run_m != run_m) {
        record_p->instance_m.store(0, std::memory_order_release);
        return orphaned_c;
    }
    if (!ownsLocked(user, ref)) {
        return refused_c;
    }
    queueOf(record_p).heap.remove(record_p);
    // Refuses concurrent arming and deleting of this record while we wait, and keeps the driver
    // thread from putting it back into its heap.
    record_p->deleting_m = true;
    while (!dropFromBatchLocked(record_p) && firingElsewhereLocked(record_p)) {
        awaitCallbackLocked(lock, record_p);
    }
    record_p->instance_m.store(0, std::memory_order_release);
    return detached_c;
}

}  // namespace detail
}  // namespace cmn
