// A deterministic timer driver for tests: it records every arming, fails on request, and fires
// a timer only when the test says so, on the test's thread.
//
// Construct one before the thread's manager exists; it installs itself and restores the
// previous driver when destroyed. fireTimer() calls the registered callback just as the driver
// thread would, so an expiry still travels through the manager's real socket and dispatcher.
// The callback socket holds a few hundred datagrams: read (step the loop) between fires.
//
// It keeps the real driver's promise that when arm() returns no callback of an earlier arming
// is running or will run: a callback runs only inside fireTimer() or, on request, inside arm()
// as the real driver's in-flight callbacks would (see the two "DuringNextArm" requests).
//
// Thread: the test's own, which is also the thread of the manager that uses the fake.
#ifndef TESTS_SUPPORT_FAKEPTIMERS_H
#define TESTS_SUPPORT_FAKEPTIMERS_H

#include <stdint.h>

#include <vector>

#include "ptimersBackend.h"

namespace cmn {
namespace test {

class FakePtimers : public cmn::detail::PtimerBackend {
public:
    struct Arming {
        int64_t seconds;
        int64_t nanoseconds;
        bool absolute;
    };

    FakePtimers();
    ~FakePtimers() override;

    // The next call of that kind returns non-zero. A failed delete still forgets the timer (its
    // owner goes away regardless); the other failures change nothing.
    void failNextInit() { failInit_m = true; }
    void failNextCreate() { failCreate_m = true; }
    void failNextArm() { failArm_m = true; }
    void failNextDelete() { failDelete_m = true; }
    // The next arm() of an armed timer first runs that timer's callback, as a callback of the
    // earlier arming that was already running finishes while the real driver's arming waits for
    // it.
    void finishCallbackDuringNextArm() { callbackBeforeArm_m = true; }
    // The next arm() fires the new arming before it returns, as a zero or very short delay can
    // on the real driver.
    void fireDuringNextArm() { fireAfterArm_m = true; }

    // Fires the live timer whose context is the TimerContext of timerId as its expiry would:
    // disarms it and calls its callback on the calling thread. False (nothing called) when there
    // is no such timer or it is not armed.
    bool fireTimer(uint32_t timerId);
    // The armings of the live timer of timerId, oldest first.
    std::vector<Arming> armingsOfTimer(uint32_t timerId) const;

    int init() override;
    int shutdown() override;
    int create(ptimer* user, ptimer_callback_t callback, void* context_p, bool absolute) override;
    int arm(ptimer* user, const struct timespec* value, int flags) override;
    int remove(ptimer* user) override;

private:
    struct Timer {
        ptimer* handle;
        ptimer_callback_t callback;
        void* context_p;
        bool absolute;
        bool armed;
        std::vector<Arming> armings;
    };
    // The live timer of `handle`, or whose context names `timerId`; null when there is none.
    Timer* find(const ptimer* handle) const;
    Timer* findById(uint32_t timerId) const;

    cmn::detail::PtimerBackend* previous_mp;
    mutable std::vector<Timer> timers_m;
    bool failInit_m = false;
    bool failCreate_m = false;
    bool failArm_m = false;
    bool failDelete_m = false;
    bool callbackBeforeArm_m = false;
    bool fireAfterArm_m = false;
};

}  // namespace test
}  // namespace cmn

#endif  // TESTS_SUPPORT_FAKEPTIMERS_H
