// A deterministic timer driver for tests: it records every call, fails on request, and fires
// a timer only when the test says so, on the test's thread.
//
// Construct one before the thread's manager exists; it installs itself and restores the
// previous driver when destroyed. fire() calls the registered callback just as the driver
// thread would, so an expiry still travels through the manager's real socket and dispatcher.
// The callback socket holds a few hundred datagrams: read (step the loop) between fires.
#ifndef TESTS_SUPPORT_FAKEPTIMERS_H
#define TESTS_SUPPORT_FAKEPTIMERS_H

#include <stdint.h>

#include <mutex>
#include <vector>

#include "ptimersBackend.h"

namespace cmn {
namespace test {

class FakePtimers : public cmn::detail::PtimerBackend {
public:
    struct Creation {
        const ptimer* handle;
        bool absolute;
    };
    struct Arming {
        const ptimer* handle;
        int64_t seconds;
        int64_t nanoseconds;
        bool absolute;
    };

    FakePtimers();
    ~FakePtimers() override;

    // The next call of that kind returns non-zero and changes nothing.
    void failNextInit() { failInit_m = true; }
    void failNextCreate() { failCreate_m = true; }
    void failNextArm() { failArm_m = true; }
    void failNextDelete() { failDelete_m = true; }

    // Fires the timer as its expiry would: disarms it and calls its callback with its context
    // on the calling thread. False (nothing called) when the handle is unknown or not armed.
    bool fire(const ptimer* handle);
    // fire() for the live timer whose context is the TimerContext of timerId.
    bool fireTimer(uint32_t timerId);
    // The live timer whose context names timerId, or null.
    const ptimer* handleOfTimer(uint32_t timerId) const;
    bool isArmed(const ptimer* handle) const;

    std::vector<Creation> creations() const;
    std::vector<Arming> armings() const;
    std::vector<const ptimer*> deletions() const;
    // Armings whose handle is the live timer of timerId, oldest first.
    std::vector<Arming> armingsOfTimer(uint32_t timerId) const;
    int initCount() const;
    int shutdownCount() const;
    size_t liveTimerCount() const;

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
    };
    Timer* findLocked(const ptimer* handle);
    const Timer* findLocked(const ptimer* handle) const;
    const Timer* findByIdLocked(uint32_t timerId) const;

    mutable std::mutex mutex_m;
    cmn::detail::PtimerBackend* previous_mp;
    std::vector<Timer> timers_m;
    std::vector<Creation> creations_m;
    std::vector<Arming> armings_m;
    std::vector<const ptimer*> deletions_m;
    int initCount_m = 0;
    int shutdownCount_m = 0;
    bool failInit_m = false;
    bool failCreate_m = false;
    bool failArm_m = false;
    bool failDelete_m = false;
};

}  // namespace test
}  // namespace cmn

#endif  // TESTS_SUPPORT_FAKEPTIMERS_H
