// cmn::Timer: a move-only handle to one timer of the calling thread's manager, with a callable,
// std::chrono durations and cancellation when the handle goes out of scope.
//
//   cmn::Timer beat;
//   beat.start(std::chrono::milliseconds(200), [] { puts("beat"); }, cmn::Timer::periodic_c);
//   cmn::SingletonHolder<cmn::Dispatcher>::getInstance().listen();
//
// The handle is built only on cmn::TimerManager's public operations. The manager calls a small
// client object (a slot) that the handle borrows from its thread's slot pool; the slot is also
// attached to its timer as user data, which marks the one entry that is the handle's own. Two
// properties of the manager shape this design:
// - a cancelled entry stays in the manager's table until its armed expiry comes back, and
//   "tmgr-enable-timers" starts every entry in the table again, cancelled ones included, so the
//   manager may call a client long after its timer was cancelled;
// - nothing tells a client when such an entry has finally gone.
// So a slot is never freed while its thread's manager lives: a handle that lets go of its timer
// (cancel, a new start, destruction) detaches the slot from the entry and cancels it, and the slot
// goes back to the pool for the next handle. A slot called for an entry it no longer owns
// cancels that entry again and calls nothing. The pool is freed when the thread ends, after its
// manager; the main thread's pool stays until the process ends.
//
// Ownership: the handle owns its callable (destroyed when the handle is, or replaced by the next
// start; a callable that is running is kept alive until it returns). The slots belong to the
// pool.
// Thread: a Timer is used, moved and destroyed on one thread, the thread that owns the manager
// it starts its timers on; the callable runs on that thread, from its dispatcher loop
// (listen/listenOnce). A timer started while timers are disabled by "tmgr-disable-timers" is
// entered but waits for "tmgr-enable-timers", as with the manager's own operations.
#ifndef EXPORT_TIMER_H
#define EXPORT_TIMER_H

#include <assert.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "commonTimerManager.h"

namespace cmn {

namespace detail {

// What a slot asks its manager for.
struct TimerRequest {
    bool clockSync = false;
    bool periodic = false;
    // In units of `granularity`; whole seconds for a clock-synchronised timer.
    uint32_t period = 0;
    TimerManager::TimerGranularity granularity = TimerManager::millisecondGranularity_c;
    // Clock-synchronised timers: a boundary nearer than this is skipped.
    uint32_t minimumLeadMs = 0;
};

// The period and unit for `delay`: whole milliseconds when the delay is one, otherwise
// nanoseconds while they fit the 32-bit period (below about 4.29 s), otherwise milliseconds
// rounded up, so the timer never expires early. A delay of zero or less expires as soon as it
// can. False for a delay longer than 2^32-1 ms (about 49.7 days).
template <class Rep, class Period>
bool toTimerPeriod(std::chrono::duration<Rep, Period> delay, TimerRequest& request_r) {
    const uint64_t maxPeriod = UINT32_MAX;
    request_r.granularity = TimerManager::millisecondGranularity_c;
    request_r.period = 0;
    if (delay <= delay.zero()) {
        return true;
    }
    // A floating-point check first, so that no conversion below can overflow.
    if (std::chrono::duration<double, std::milli>(delay).count() > static_cast<double>(maxPeriod)) {
        return false;
    }
    const uint64_t ns =
        static_cast<uint64_t>(std::chrono::ceil<std::chrono::nanoseconds>(delay).count());
    const uint64_t nsPerMs = 1000000;
    if (ns % nsPerMs == 0) {
        request_r.period = static_cast<uint32_t>(ns / nsPerMs);
    } else if (ns <= maxPeriod) {
        request_r.granularity = TimerManager::nanosecondGranularity_c;
        request_r.period = static_cast<uint32_t>(ns);
    } else if (ns / nsPerMs + 1 <= maxPeriod) {
        request_r.period = static_cast<uint32_t>(ns / nsPerMs + 1);
    } else {
        return false;
    }
    return true;
}

// The calling thread's manager if it exists; never creates one. Only meaningful once some
// manager has been created in the process (the thread key exists from then on).
inline TimerManager* existingTimerManager() {
    return static_cast<TimerManager*>(
        pthread_getspecific(SingletonPerThread<TimerManager>::getSingletonKey()));
}

// The client that the manager calls for a handle's timer, and the user data that marks the
// handle's own entry. At most one entry carries a slot as user data: the handle's current one.
class TimerSlot : public PATimerClient, public PAUserData {
public:
    typedef std::function<void()> Callback;

    TimerSlot() : owner_m(pthread_self()) {}

    // Lets go of the current timer, then starts `request` with `callback_p`. False when the
    // manager refused the start (the slot then has no timer).
    bool start(const TimerRequest& request, std::shared_ptr<const Callback> callback_p) {
        abandon();
        request_m = request;
        callback_mp = std::move(callback_p);
        return startEntry();
    }

    // Starts the last request again, timed from now. A pending entry of this slot is restarted
    // in place (the manager drops its expiries still on their way), so restarts leave no
    // cancelled entries behind; otherwise a new entry is started. False when there was no
    // request or the manager refused it.
    bool restart() {
        if (callback_mp == nullptr) {
            return false;
        }
        TimerManager* manager_p = managerOfOwnEntry();
        if (manager_p != nullptr) {
            return manager_p->changeTimerPeriod(timerId_m, entryPeriod(), request_m.granularity);
        }
        armed_m = false;
        return startEntry();
    }

    // Lets go of the current timer: its entry loses the slot as user data and is cancelled.
    // Nothing is done when the entry is gone (a one-shot that expired, the manager destroyed,
    // a forked child) or is no longer this slot's (cancelled by "tmgr-cancel-timer" and its id
    // reused since).
    void abandon() {
        TimerManager* manager_p = managerOfOwnEntry();
        armed_m = false;
        if (manager_p == nullptr) {
            return;
        }
        PAUserData* userData_p = nullptr;
        manager_p->detachUserDataFromTimer(timerId_m, userData_p);
        manager_p->cancelTimer(timerId_m, false);
    }

    // abandon(), and the callable is dropped: the slot is ready for another handle.
    void clear() {
        abandon();
        callback_mp.reset();
    }

    // A timer is pending: started and neither expired (one-shot) nor let go of.
    bool isArmed() const { return armed_m; }
    bool isOwnerThread() const { return pthread_equal(owner_m, pthread_self()) != 0; }

    bool timerExpired(uint32_t timerId, PAUserData* userData_p) override {
        TimerManager& manager = SingletonPerThread<TimerManager>::getInstance();
        if (userData_p != this || !armed_m || timerId != timerId_m) {
            // An entry this slot let go of, started again by "tmgr-enable-timers".
            manager.cancelTimer(timerId, false);
            return true;
        }
        if (!request_m.periodic) {
            // The manager removes the entry after this call; the slot is not its to keep.
            PAUserData* detached_p = nullptr;
            manager.detachUserDataFromTimer(timerId, detached_p);
            armed_m = false;
        }
        // The callable may destroy, restart or re-start its own handle.
        std::shared_ptr<const Callback> callback_p = callback_mp;
        (*callback_p)();
        return true;
    }

    std::string getClientName() const override { return "cmn::Timer"; }

private:
    TimerSlot(const TimerSlot&) = delete;
    TimerSlot& operator=(const TimerSlot&) = delete;

    bool startEntry() {
        TimerManager& manager = SingletonPerThread<TimerManager>::getInstance();
        uint32_t timerId = 0;
        bool started;
        if (request_m.clockSync) {
            started = request_m.periodic
                          ? manager.startPeriodicClockSyncTimer(timerId, request_m.period,
                                                                request_m.minimumLeadMs, this, this)
                          : manager.startOneShotClockSyncTimer(timerId, request_m.period,
                                                               request_m.minimumLeadMs, this, this);
        } else {
            started = request_m.periodic
                          ? manager.startPeriodicTimer(timerId, request_m.period, this, this,
                                                       request_m.granularity)
                          : manager.startOneShotTimer(timerId, request_m.period, this, this,
                                                      request_m.granularity);
        }
        // After a refused start timerId may name another client's timer: it is not kept.
        if (started) {
            timerId_m = timerId;
            manager_mp = &manager;
        }
        armed_m = started;
        return started;
    }

    // The manager whose table holds this slot's pending entry, or null when there is none: the
    // slot is not armed, the thread's manager is not the one that took the entry, or the entry
    // of timerId_m no longer carries this slot as its user data.
    TimerManager* managerOfOwnEntry() {
        if (!armed_m) {
            return nullptr;
        }
        TimerManager* manager_p = existingTimerManager();
        if (manager_p == nullptr || manager_p != manager_mp) {
            return nullptr;
        }
        PAUserData* userData_p = nullptr;
        if (!manager_p->accessUserDataFromTimer(timerId_m, userData_p) || userData_p != this) {
            return nullptr;
        }
        return manager_p;
    }

    // The request's period as its entry holds it: clock-synchronised periods in milliseconds.
    uint32_t entryPeriod() const {
        return request_m.clockSync ? request_m.period * 1000 : request_m.period;
    }

    const pthread_t owner_m;
    TimerRequest request_m;
    std::shared_ptr<const Callback> callback_mp;
    TimerManager* manager_mp = nullptr;
    uint32_t timerId_m = 0;
    bool armed_m = false;
};

// The calling thread's slots: every slot ever handed out, and those free for the next handle.
class TimerSlotPool {
public:
    // The calling thread's pool, created on first use (with the thread's manager, whose thread
    // key must exist before the pool's destructor can look for it). Ends the process with a
    // message on standard error when the thread key cannot be made or set.
    static TimerSlotPool& ofThisThread() {
        pthread_key_t key = poolKey();
        void* pool_p = pthread_getspecific(key);
        if (pool_p == nullptr) {
            SingletonPerThread<TimerManager>::getInstance();
            pool_p = new TimerSlotPool();
            if (pthread_setspecific(key, pool_p) != 0) {
                fatal("cmn::Timer: pthread_setspecific failed, no slot pool for this thread");
            }
        }
        return *static_cast<TimerSlotPool*>(pool_p);
    }

    TimerSlot* acquire() {
        if (free_m.empty()) {
            slots_m.emplace_back(new TimerSlot());
            return slots_m.back().get();
        }
        TimerSlot* slot_p = free_m.back();
        free_m.pop_back();
        return slot_p;
    }

    // Takes the slot back after clearing it.
    void release(TimerSlot* slot_p) {
        slot_p->clear();
        free_m.push_back(slot_p);
    }

private:
    TimerSlotPool() = default;
    TimerSlotPool(const TimerSlotPool&) = delete;
    TimerSlotPool& operator=(const TimerSlotPool&) = delete;

    [[noreturn]] static void fatal(const char* message_p) {
        fputs(message_p, stderr);
        fputc('\n', stderr);
        abort();
    }

    static pthread_key_t poolKey() {
        static const pthread_key_t key = [] {
            pthread_key_t created;
            if (pthread_key_create(&created, destroyAfterManager) != 0) {
                fatal("cmn::Timer: pthread_key_create failed, no slot pool");
            }
            return created;
        }();
        return key;
    }

    // Thread exit: the slots may be called until the thread's manager is destroyed, so while it
    // still exists the pool is put back and the threads library calls this again after the
    // manager's own key destructor has run.
    static void destroyAfterManager(void* pool_p) {
        if (existingTimerManager() != nullptr && pthread_setspecific(poolKey(), pool_p) == 0) {
            return;
        }
        delete static_cast<TimerSlotPool*>(pool_p);
    }

    std::vector<std::unique_ptr<TimerSlot>> slots_m;
    std::vector<TimerSlot*> free_m;
};

}  // namespace detail

// A move-only handle to at most one timer of the calling thread's manager.
class Timer {
public:
    // What the timer calls on each expiry, on the owner thread.
    typedef std::function<void()> Callback;
    // One expiry, or one every period.
    enum Repeat { oneShot_c = 0, periodic_c = 1 };

    // A handle with no timer; creates nothing.
    Timer() noexcept {}
    // Cancels the timer; the callable is never called again.
    ~Timer() { release(); }

    // The timer moves with the handle; `other` is left with none.
    Timer(Timer&& other) noexcept : slot_mp(other.slot_mp) { other.slot_mp = nullptr; }
    // Cancels this handle's timer, then takes over other's.
    Timer& operator=(Timer&& other) noexcept {
        if (this != &other) {
            release();
            slot_mp = other.slot_mp;
            other.slot_mp = nullptr;
        }
        return *this;
    }

    // Cancels the current timer and starts one that calls `callback` once after `delay`, or
    // every `delay` with periodic_c (each period timed from the moment the previous expiry is
    // processed). The unit is milliseconds for a whole number of them, otherwise nanoseconds
    // while the delay is below about 4.29 s, otherwise milliseconds rounded up: never early.
    // A delay of zero or less expires as soon as the loop runs. False for an empty callback, a
    // delay over 2^32-1 ms, or a start the manager refused (logged there); the handle is then
    // left as if default-constructed (restart() has nothing to start).
    template <class Rep, class Period>
    bool start(std::chrono::duration<Rep, Period> delay, Callback callback,
               Repeat repeat = oneShot_c) {
        detail::TimerRequest request;
        if (!detail::toTimerPeriod(delay, request)) {
            release();
            return false;
        }
        request.periodic = repeat == periodic_c;
        return startRequest(request, std::move(callback));
    }

    // As start, for a timer that expires on wall-clock boundaries: instants whose seconds since
    // the epoch are a multiple of `period` (every quarter hour on the quarter hour for 15 min).
    // A boundary nearer than minimumLead is skipped. `period` must divide the day on the clock
    // grid (1..30 s dividing a minute, whole minutes dividing an hour, whole hours dividing a
    // day, below 24 h); false otherwise.
    bool startClockSync(std::chrono::seconds period, Callback callback, Repeat repeat = periodic_c,
                        std::chrono::milliseconds minimumLead = std::chrono::milliseconds(0)) {
        if (period.count() <= 0 || period.count() > UINT32_MAX || minimumLead.count() < 0 ||
            minimumLead.count() > UINT32_MAX) {
            release();
            return false;
        }
        detail::TimerRequest request;
        request.clockSync = true;
        request.periodic = repeat == periodic_c;
        request.period = static_cast<uint32_t>(period.count());
        request.minimumLeadMs = static_cast<uint32_t>(minimumLead.count());
        return startRequest(request, std::move(callback));
    }

    // Starts the last timer started again, timed from now, with the same callable; a pending
    // expiry of it (fired but not yet delivered) is dropped, so the callable is never called
    // before the new delay has passed. A pending timer is restarted in place, the cheap way to
    // push a deadline back (a watchdog). False when nothing was started yet or the manager
    // refused it.
    bool restart() {
        assert(slot_mp == nullptr || slot_mp->isOwnerThread());
        return slot_mp != nullptr && slot_mp->restart();
    }

    // The callable is not called again until the next start or restart. Allowed inside the
    // callable.
    void cancel() {
        if (slot_mp != nullptr) {
            assert(slot_mp->isOwnerThread());
            slot_mp->abandon();
        }
    }

    // A timer is pending: started, and neither cancelled nor (one-shot) expired.
    bool running() const { return slot_mp != nullptr && slot_mp->isArmed(); }

private:
    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;

    bool startRequest(const detail::TimerRequest& request, Callback callback) {
        if (!callback) {
            release();
            return false;
        }
        if (slot_mp == nullptr) {
            slot_mp = detail::TimerSlotPool::ofThisThread().acquire();
        }
        assert(slot_mp->isOwnerThread());
        if (!slot_mp->start(request, std::make_shared<const Callback>(std::move(callback)))) {
            release();
            return false;
        }
        return true;
    }

    void release() {
        if (slot_mp != nullptr) {
            assert(slot_mp->isOwnerThread());
            detail::TimerSlotPool::ofThisThread().release(slot_mp);
            slot_mp = nullptr;
        }
    }

    detail::TimerSlot* slot_mp = nullptr;
};

}  // namespace cmn

#endif  // EXPORT_TIMER_H
