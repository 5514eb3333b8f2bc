// DriverInstance: the driver thread's batches of due timers.
//
// A batch is taken under one hold of the mutex and fired without it. While a record waits in a
// batch, batchedBy_m holds this instance's number; the driver thread claims the record by
// clearing it just before the callback, and a re-arming or deleting thread drops the record by
// clearing it under the mutex. firing_mp is set before the claim and cleared after the callback,
// so a thread that lost the race to clear batchedBy_m finds the record firing and waits for it.
#include "driverInstance.h"
#include "driverTime.h"

namespace cmn {
namespace detail {

// Of the two clocks' earliest due timers, the one further past its deadline goes first. Taking
// one clock's first whenever it has a due timer would let relative timers that are due again
// and again (a callback socket kept full) hold an absolute timer back for good.
TimerRecord* DriverInstance::popDueLocked() {
    ClockQueue* queues[] = {&monotonic_m, &realtime_m};
    ClockQueue* chosen_p = nullptr;
    int64_t chosenLatenessNs = -1;
    for (ClockQueue* queue_p : queues) {
        if (queue_p->heap.empty()) {
            continue;
        }
        const int64_t latenessNs = queue_p->nowNs - queue_p->heap.top()->deadlineNs_m;
        if (latenessNs >= 0 && latenessNs > chosenLatenessNs) {
            chosen_p = queue_p;
            chosenLatenessNs = latenessNs;
        }
    }
    if (chosen_p == nullptr) {
        return nullptr;
    }
    return static_cast<TimerRecord*>(chosen_p->heap.popDue(chosen_p->nowNs));
}

// A clock with nothing armed is not read: nothing of it can be due.
void DriverInstance::readClocksLocked() {
    for (ClockQueue* queue_p : {&monotonic_m, &realtime_m}) {
        if (!queue_p->heap.empty()) {
            queue_p->nowNs = clockNowNs(queue_p->clock);
        }
    }
}

size_t DriverInstance::takeDueLocked(DueTimer* batch_p) {
    readClocksLocked();
    dueAbsoluteArmed_m.store(false);
    size_t count = 0;
    while (count < kMaxBatch) {
        TimerRecord* record_p = popDueLocked();
        if (record_p == nullptr) {
            break;
        }
        // Read by other threads only under the mutex, which publishes it.
        record_p->batchedBy_m.store(number_m, std::memory_order_relaxed);
        batch_p[count++] =
            DueTimer{record_p, callbacks_m[record_p->callback_m - 1], record_p->context_mp,
                     record_p->deadlineNs_m, record_p->absolute_m};
    }
    return count;
}

// Callbacks run without the lock: they may arm or delete timers, and a slow one must not hold
// up arming from other threads. Timers armed while a batch is fired go to the next batch; a
// relative one cannot be due before the batch's, which were due when it was taken.
void DriverInstance::fireDue(std::unique_lock<std::mutex>& lock_r) {
    DueTimer batch[kMaxBatch];
    while (!stopping_m) {
        const size_t count = takeDueLocked(batch);
        if (count == 0) {
            break;
        }
        firingBatch_m = true;
        lock_r.unlock();
        fireBatch(batch, count);
        lock_r.lock();
    }
    firingBatch_m = false;
}

// After a step back of the wall clock during the batch, an absolute timer due by the batch's
// reading must wait for the clock to come back to its deadline. Once one has gone back to its
// heap, so do the batch's later absolute timers, so that a step forward in between cannot let
// one overtake it. They go back too once an absolute timer was armed for a time that the
// batch's reading had passed, so that it can come before those of them with later deadlines.
void DriverInstance::fireBatch(const DueTimer* batch_p, size_t count) {
    bool holdAbsolute = false;
    for (size_t i = 0; i < count; ++i) {
        const DueTimer& due = batch_p[i];
        if (!claim(due)) {
            if (stopping_m) {
                return;
            }
            continue;
        }
        if (due.absolute && (holdAbsolute || dueAbsoluteArmed_m.load() ||
                             clockNowNs(CLOCK_REALTIME) < due.deadlineNs)) {
            holdAbsolute = true;
            requeue(due.record_p);
        } else {
            due.callback(due.context_p);
        }
        finishFiring();
    }
}

// Marks the record firing, then claims it unless a re-arming or deleting thread dropped it or
// the instance is stopping (the rest of the batch is then abandoned: the stop orphans its
// records). Sequentially consistent, so a thread that finds the record neither batched nor
// firing knows that its callback will not run.
bool DriverInstance::claim(const DueTimer& due) {
    firing_mp.store(due.record_p);
    uint16_t batched = number_m;
    if (!stopping_m && due.record_p->batchedBy_m.compare_exchange_strong(batched, 0)) {
        return true;
    }
    finishFiring();
    return false;
}

// A waiting thread holds the mutex from the moment it sees the record firing until it sleeps,
// and signals the driver thread only while holding it; passing through the mutex here therefore
// both wakes it and keeps its interrupt from reaching the next callback.
void DriverInstance::finishFiring() {
    firing_mp.store(nullptr);
    if (waiters_m.load() != 0) {
        { std::lock_guard<std::mutex> lock(mutex_m); }
        callbackDone_m.notify_all();
    }
}

// The record is claimed, so nobody re-armed it since the batch was taken; a thread that deletes
// it meanwhile waits for firing_mp and has marked it deleting.
void DriverInstance::requeue(TimerRecord* record_p) {
    std::lock_guard<std::mutex> lock(mutex_m);
    if (!record_p->deleting_m && attachedLocked(record_p)) {
        queueOf(record_p).heap.push(record_p);
    }
}

}  // namespace detail
}  // namespace cmn
