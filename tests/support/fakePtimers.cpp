#include "fakePtimers.h"

#include <utility>

#include "commonTimerManager.h"

namespace cmn {
namespace test {

FakePtimers::FakePtimers() : previous_mp(cmn::detail::setPtimerBackend(this)) {}

FakePtimers::~FakePtimers() { cmn::detail::setPtimerBackend(previous_mp); }

FakePtimers::Timer* FakePtimers::find(const ptimer* handle) const {
    for (Timer& timer : timers_m) {
        if (timer.handle == handle) {
            return &timer;
        }
    }
    return nullptr;
}

FakePtimers::Timer* FakePtimers::findById(uint32_t timerId) const {
    for (Timer& timer : timers_m) {
        const TimerContext* context_p = static_cast<const TimerContext*>(timer.context_p);
        if (context_p != nullptr && context_p->timerId_m == timerId) {
            return &timer;
        }
    }
    return nullptr;
}

bool FakePtimers::fireTimer(uint32_t timerId) {
    Timer* timer_p = findById(timerId);
    if (timer_p == nullptr || !timer_p->armed) {
        return false;
    }
    timer_p->armed = false;
    timer_p->callback(timer_p->context_p);
    return true;
}

std::vector<FakePtimers::Arming> FakePtimers::armingsOfTimer(uint32_t timerId) const {
    const Timer* timer_p = findById(timerId);
    return timer_p == nullptr ? std::vector<Arming>() : timer_p->armings;
}

int FakePtimers::init() { return std::exchange(failInit_m, false) ? -1 : 0; }

int FakePtimers::shutdown() {
    for (Timer& timer : timers_m) {
        timer.armed = false;
    }
    return 0;
}

int FakePtimers::create(ptimer* user, ptimer_callback_t callback, void* context_p, bool absolute) {
    if (std::exchange(failCreate_m, false) || user == nullptr || callback == nullptr ||
        find(user) != nullptr) {
        return -1;
    }
    timers_m.push_back(Timer{user, callback, context_p, absolute, false, {}});
    return 0;
}

int FakePtimers::arm(ptimer* user, const struct timespec* value, int flags) {
    Timer* timer_p = find(user);
    if (std::exchange(failArm_m, false) || timer_p == nullptr || value == nullptr || flags != 0) {
        return -1;
    }
    if (timer_p->armed && std::exchange(callbackBeforeArm_m, false)) {
        timer_p->callback(timer_p->context_p);
    }
    timer_p->armed = true;
    timer_p->armings.push_back(Arming{static_cast<int64_t>(value->tv_sec),
                                      static_cast<int64_t>(value->tv_nsec), timer_p->absolute});
    if (std::exchange(fireAfterArm_m, false)) {
        timer_p->armed = false;
        timer_p->callback(timer_p->context_p);
    }
    return 0;
}

int FakePtimers::remove(ptimer* user) {
    for (std::vector<Timer>::iterator it = timers_m.begin(); it != timers_m.end(); ++it) {
        if (it->handle == user) {
            // The address may be reused by the next timer.
            timers_m.erase(it);
            return std::exchange(failDelete_m, false) ? -1 : 0;
        }
    }
    return -1;
}

}  // namespace test
}  // namespace cmn
