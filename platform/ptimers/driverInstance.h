// DriverInstance: one thread's timer driver, with its own driver thread.
//
// The driver thread sleeps in epoll_wait on a CLOCK_MONOTONIC timerfd (relative timers), a
// CLOCK_REALTIME timerfd (absolute timers) and an eventfd that asks it to stop. Both timerfds
// hold absolute times, so the kernel moves the realtime one with every step of the wall clock:
// a step needs no wake-up of its own. Each clock has a deadline heap; a timerfd is
// re-programmed only when an arming makes its clock's earliest deadline earlier than what the
// timerfd holds. Cancelled or re-armed-later deadlines leave the timerfd alone: the driver
// thread wakes once, finds nothing due and re-arms for the new earliest. With nothing armed it
// sleeps without a timeout.
//
// The driver thread takes the due timers as a batch, in deadline order, under one hold of the
// instance's mutex, and then calls their callbacks one by one with no lock held, so that threads
// arming timers meanwhile do not wait for it per expiry. A re-arming or deleting thread drops its
// timer from a taken batch; one whose callback is running waits for it, sending the driver thread
// interruptSignal() meanwhile so that a callback blocked in a send returns. An absolute timer is
// checked against a fresh reading of the wall clock just before it fires, since the clock may
// have stepped back after the batch was taken; one not due any more goes back to its heap.
//
// Ownership: instances are pooled by the backend and never freed, so the instance a record
// names by number stays safe to lock; records belong to the handle table and are attached
// here. Each start() begins a new run; a record remembers the run it was attached in, so stop()
// orphans every record of its run at once, without a list of them.
// Thread: start/stop on the owning thread; attach/arm/detach from any thread; the fork calls
// from the fork handlers only. Records are dropped from a batch and callbacks waited for under
// the mutex; the driver thread claims and finishes them with atomics alone, taking the mutex
// only when a thread waits for a callback.
#ifndef PLATFORM_PTIMERS_DRIVERINSTANCE_H
#define PLATFORM_PTIMERS_DRIVERINSTANCE_H

#include <pthread.h>
#include <sys/timerfd.h>
#include <time.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "deadlineHeap.h"
#include "handleTable.h"

namespace cmn {
namespace detail {

// The signal sent to a driver thread to interrupt a blocked callback: SIGRTMIN + 5. Its
// process-wide handler does nothing and is installed without SA_RESTART.
int interruptSignal();

class DriverInstance {
public:
    // Results of detach().
    enum DetachResult { detached_c, refused_c, orphaned_c };

    // `number` tells the instance's batched records apart from other instances'; never 0.
    explicit DriverInstance(uint16_t number) : number_m(number) {}

    uint16_t number() const { return number_m; }

    // Opens the descriptors and starts the driver thread. 0, or -1 after a refusal of the
    // system (everything opened is closed again).
    int start();
    // Stops and joins the driver thread (interrupting a blocked callback), closes the
    // descriptors and orphans every record still attached: they keep their handles, which only
    // ptimer_delete still accepts.
    void stop();

    // Attaches a fresh record (from HandleTable::acquire) to this instance's current run. -1
    // while stopping, or when the instance already knows 65535 other callback functions.
    int attach(TimerRecord* record_p, ptimer_callback_t callback, void* context_p, bool absolute);
    // Arms the record for one expiry, replacing a pending one. A callback of the record that is
    // running is waited for first (interrupted like detach's), unless the caller is that
    // callback. -1 when the record is no longer the one `ref` validated or is not attached to
    // this run, or when the kernel refuses the timerfd (programmed here unless the driver
    // thread is firing a batch, after which it programs the timerfd itself and logs a refusal).
    int arm(const ptimer* user, const RecordRef& ref, const struct timespec& value);
    // Detaches the record, waiting for its running callback (unless called from it).
    // refused_c: not the record `ref` validated, or already being deleted. orphaned_c: its run
    // was stopped; the record is detached and the caller releases it through the table.
    DetachResult detach(const ptimer* user, const RecordRef& ref);

    // fork(): the prepare handler holds the instance's mutex across the fork, so that the child
    // copies no half-made change; the parent then releases it.
    void lockForFork() { mutex_m.lock(); }
    void unlockAfterFork() { mutex_m.unlock(); }
    // In the child, instead of unlockAfterFork: the child has no driver thread, so a run that
    // was going on in the parent ends here, without waking or joining anything. Its records are
    // orphaned and the child's copies of its descriptors closed; the parent's stay open.
    void forgetAfterFork();

private:
    struct ClockQueue {
        explicit ClockQueue(clockid_t clockId) : clock(clockId) {}

        const clockid_t clock;
        int fd = -1;
        int64_t armedNs = 0;  // what the timerfd holds; kNoDeadline when not armed
        int64_t nowNs = 0;    // the clock's reading for the next expiry to be fired
        DeadlineHeap heap;
    };

    // A due timer taken into a batch, with what its firing needs copied under the mutex.
    struct DueTimer {
        TimerRecord* record_p;
        ptimer_callback_t callback;
        void* context_p;
        int64_t deadlineNs;
        bool absolute;
    };
    // Enough to make the mutex's cost per expiry small, small enough for the driver's stack.
    static const size_t kMaxBatch = 256;

    DriverInstance(const DriverInstance&) = delete;
    DriverInstance& operator=(const DriverInstance&) = delete;

    // driverInstance.cpp: lifecycle and the driver thread.
    int openDescriptors();
    void closeDescriptors();
    int startThread();
    static void* threadMain(void* self_p);
    void run();
    void waitForEvents(std::unique_lock<std::mutex>& lock_r);
    void orphanRecordsLocked();
    bool attachedLocked(const TimerRecord* record_p) const;
    void resetLocked();

    // driverFiring.cpp: batches of due timers on the driver thread.
    void fireDue(std::unique_lock<std::mutex>& lock_r);
    size_t takeDueLocked(DueTimer* batch_p);
    TimerRecord* popDueLocked();
    void readClocksLocked();
    void fireBatch(const DueTimer* batch_p, size_t count);
    bool claim(const DueTimer& due);
    void finishFiring();
    void requeue(TimerRecord* record_p);

    // driverTimers.cpp: timer operations.
    bool ownsLocked(const ptimer* user, const RecordRef& ref) const;
    uint16_t callbackNumberLocked(ptimer_callback_t callback);
    uint32_t nextSequenceLocked();
    ClockQueue& queueOf(const TimerRecord* record_p);
    int programIfEarlierLocked(ClockQueue& queue_r);
    bool dropFromBatchLocked(TimerRecord* record_p);
    bool firingElsewhereLocked(const TimerRecord* record_p) const;
    void awaitCallbackLocked(std::unique_lock<std::mutex>& lock_r, const TimerRecord* record_p);

    std::mutex mutex_m;
    std::condition_variable callbackDone_m;
    ClockQueue monotonic_m{CLOCK_MONOTONIC};
    ClockQueue realtime_m{CLOCK_REALTIME};
    int epollFd_m = -1;
    int wakeFd_m = -1;
    pthread_t thread_m = pthread_t();
    const uint16_t number_m;
    // Written under the mutex; read by the driver thread without it between callbacks.
    std::atomic<bool> stopping_m{true};
    uint32_t nextSequence_m = 0;
    uint32_t run_m = 0;  // the current run; moves on at every stop
    // The driver thread is firing a batch; it programs the timerfds before it sleeps again.
    bool firingBatch_m = false;
    // The callbacks of the records attached here; a record holds its callback's index plus
    // one. Only ever grows: a pooled instance keeps it across runs.
    std::vector<ptimer_callback_t> callbacks_m;
    // The record the driver thread is claiming, firing or putting back, or null. Written by the
    // driver thread alone, without the mutex.
    std::atomic<TimerRecord*> firing_mp{nullptr};
    // Set under the mutex when an absolute timer is armed for a time that the last batch's
    // reading of the wall clock had passed; read by the driver thread without it.
    std::atomic<bool> dueAbsoluteArmed_m{false};
    // Threads waiting on callbackDone_m; the driver thread takes the mutex to wake them only
    // when there are any.
    std::atomic<uint32_t> waiters_m{0};
};

}  // namespace detail
}  // namespace cmn

#endif  // PLATFORM_PTIMERS_DRIVERINSTANCE_H
