#include "fakePtimers.h"

#include <algorithm>

#include "commonTimerManager.h"

namespace cmn {
namespace test {

FakePtimers::FakePtimers() : previous_mp(cmn::detail::setPtimerBackend(this)) {}

FakePtimers::~FakePtimers() { cmn::detail::setPtimerBackend(previous_mp); }

FakePtimers::Timer* FakePtimers::findLocked(const ptimer* handle) {
    for (Timer& timer : timers_m) {
        if (timer.handle == handle) {
            return &timer;
        }
    }
    return nullptr;
}

const FakePtimers::Timer* FakePtimers::findLocked(const ptimer* handle) const {
    return const_cast<FakePtimers*>(this)->findLocked(handle);
}

const FakePtimers::Timer* FakePtimers::findByIdLocked(uint32_t timerId) const {
    for (const Timer& timer : timers_m) {
        const TimerContext* context_p = static_cast<const TimerContext*>(timer.context_p);
        if (context_p != nullptr && context_p->timerId_m == timerId) {
            return &timer;
        }
    }
    return nullptr;
}

bool FakePtimers::fire(const ptimer* handle) {
    ptimer_callback_t callback;
    void* context_p;
    {
        std::lock_guard<std::mutex> lock(mutex_m);
        Timer* timer_p = findLocked(handle);
        if (timer_p == nullptr || !timer_p->armed) {
            return false;
        }
        timer_p->armed = false;
        callback = timer_p->callback;
        context_p = timer_p->context_p;
    }
    callback(context_p);
    return true;
}

bool FakePtimers::fireTimer(uint32_t timerId) { return fire(handleOfTimer(timerId)); }

const ptimer* FakePtimers::handleOfTimer(uint32_t timerId) const {
    std::lock_guard<std::mutex> lock(mutex_m);
    const Timer* timer_p = findByIdLocked(timerId);
    return timer_p == nullptr ? nullptr : timer_p->handle;
}

bool FakePtimers::isArmed(const ptimer* handle) const {
    std::lock_guard<std::mutex> lock(mutex_m);
    const Timer* timer_p = findLocked(handle);
    return timer_p != nullptr && timer_p->armed;
}

std::vector<FakePtimers::Creation> FakePtimers::creations() const {
    std::lock_guard<std::mutex> lock(mutex_m);
    return creations_m;
}

std::vector<FakePtimers::Arming> FakePtimers::armings() const {
    std::lock_guard<std::mutex> lock(mutex_m);
    return armings_m;
}

std::vector<const ptimer*> FakePtimers::deletions() const {
    std::lock_guard<std::mutex> lock(mutex_m);
    return deletions_m;
}

std::vector<FakePtimers::Arming> FakePtimers::armingsOfTimer(uint32_t timerId) const {
    std::lock_guard<std::mutex> lock(mutex_m);
    std::vector<Arming> result;
    const Timer* timer_p = findByIdLocked(timerId);
    if (timer_p == nullptr) {
        return result;
    }
    for (const Arming& arming : armings_m) {
        if (arming.handle == timer_p->handle) {
            result.push_back(arming);
        }
    }
    return result;
}

int FakePtimers::initCount() const {
    std::lock_guard<std::mutex> lock(mutex_m);
    return initCount_m;
}

int FakePtimers::shutdownCount() const {
    std::lock_guard<std::mutex> lock(mutex_m);
    return shutdownCount_m;
}

size_t FakePtimers::liveTimerCount() const {
    std::lock_guard<std::mutex> lock(mutex_m);
    return timers_m.size();
}

int FakePtimers::init() {
    std::lock_guard<std::mutex> lock(mutex_m);
    if (failInit_m) {
        failInit_m = false;
        return -1;
    }
    ++initCount_m;
    return 0;
}

int FakePtimers::shutdown() {
    std::lock_guard<std::mutex> lock(mutex_m);
    ++shutdownCount_m;
    for (Timer& timer : timers_m) {
        timer.armed = false;
    }
    return 0;
}

int FakePtimers::create(ptimer* user, ptimer_callback_t callback, void* context_p, bool absolute) {
    std::lock_guard<std::mutex> lock(mutex_m);
    if (failCreate_m) {
        failCreate_m = false;
        return -1;
    }
    if (user == nullptr || callback == nullptr || findLocked(user) != nullptr) {
        return -1;
    }
    timers_m.push_back(Timer{user, callback, context_p, absolute, false});
    creations_m.push_back(Creation{user, absolute});
    return 0;
}

int FakePtimers::arm(ptimer* user, const struct timespec* value, int flags) {
    std::lock_guard<std::mutex> lock(mutex_m);
    if (failArm_m) {
        failArm_m = false;
        return -1;
    }
    Timer* timer_p = findLocked(user);
    if (timer_p == nullptr || value == nullptr || flags != 0) {
        return -1;
    }
    timer_p->armed = true;
    armings_m.push_back(Arming{user, static_cast<int64_t>(value->tv_sec),
                               static_cast<int64_t>(value->tv_nsec), timer_p->absolute});
    return 0;
}

int FakePtimers::remove(ptimer* user) {
    std::lock_guard<std::mutex> lock(mutex_m);
    std::vector<Timer>::iterator it =
        std::find_if(timers_m.begin(), timers_m.end(),
                     [user](const Timer& timer) { return timer.handle == user; });
    if (it == timers_m.end()) {
        return -1;
    }
    // A failed delete still forgets the timer: its owner goes away regardless, and the
    // address may be reused by the next timer.
    timers_m.erase(it);
    deletions_m.push_back(user);
    if (failDelete_m) {
        failDelete_m = false;
        return -1;
    }
    return 0;
}

}  // namespace test
}  // namespace cmn
