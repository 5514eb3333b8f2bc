// What the real driver's tests share: clock readings, a "never happened" wait, the record of
// every expiry, a gate for callbacks, and a fixture that owns up to eight timers of the
// calling thread's instance.
// Firing early is a failure; lateness only meets generous "never delivered" budgets.
#ifndef TESTS_PLATFORM_PTIMERSFIXTURE_H
#define TESTS_PLATFORM_PTIMERSFIXTURE_H

#include <pthread.h>
#include <stdint.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "ptimers.h"

namespace cmn::test {

const int64_t kMs = 1000000;

inline int64_t nowNs(clockid_t clock) {
    timespec now;
    clock_gettime(clock, &now);
    return now.tv_sec * 1000000000LL + now.tv_nsec;
}

// Polls `done` until it holds or the "never happened" budget has passed.
inline bool waitFor(const std::function<bool()>& done,
                    std::chrono::milliseconds budget = std::chrono::milliseconds(30000)) {
    const auto giveUp = std::chrono::steady_clock::now() + budget;
    while (!done() && std::chrono::steady_clock::now() < giveUp) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return done();
}

// Every expiry: the timer's tag (its context) and when and where it fired.
struct Hit {
    intptr_t tag;
    int64_t monotonicNs;
    int64_t realtimeNs;
    pthread_t thread;
    pid_t tid;
};
inline std::mutex hitsMutex;
inline std::vector<Hit> hitsSoFar;

inline void recordHit(void* tag_p) {
    Hit hit{reinterpret_cast<intptr_t>(tag_p), nowNs(CLOCK_MONOTONIC), nowNs(CLOCK_REALTIME),
            pthread_self(), gettid()};
    std::lock_guard<std::mutex> lock(hitsMutex);
    hitsSoFar.push_back(hit);
}

inline std::vector<Hit> hits() {
    std::lock_guard<std::mutex> lock(hitsMutex);
    return hitsSoFar;
}

// Holds callbacks until the test opens it. Closed at the start of each case that uses it, as
// a run of the whole executable (valgrind, --gtest_repeat) keeps it from the case before.
class Gate {
public:
    void close() {
        std::lock_guard<std::mutex> lock(mutex_m);
        open_m = false;
    }
    void open() {
        std::lock_guard<std::mutex> lock(mutex_m);
        open_m = true;
        opened_m.notify_all();
    }
    void pass() {
        std::unique_lock<std::mutex> lock(mutex_m);
        opened_m.wait(lock, [this] { return open_m; });
    }

private:
    std::mutex mutex_m;
    std::condition_variable opened_m;
    bool open_m = false;
};

// Timer i has tag i. TearDown deletes the timers still created, then shuts the instance down.
class PtimersTest : public ::testing::Test {
protected:
    // Earlier cases of the same process (a run of the whole executable) leave their hits. The
    // room reserved keeps recordHit from allocating, so a driver thread firing while another
    // thread forks is never inside the allocator (see PtimersForkTest).
    void SetUp() override {
        {
            std::lock_guard<std::mutex> lock(hitsMutex);
            hitsSoFar.clear();
            hitsSoFar.reserve(64);
        }
        ASSERT_EQ(0, ptimer_init_default());
    }
    void TearDown() override {
        for (int i = 0; i < kTimers; ++i) {
            EXPECT_TRUE(!created_m[i] || ptimer_delete(&timers_m[i]) == 0) << i;
        }
        EXPECT_TRUE(!running_m || ptimer_shutdown() == 0);
    }
    void create(int i, bool absolute) {
        void* tag_p = reinterpret_cast<void*>(static_cast<intptr_t>(i));
        ASSERT_EQ(0, absolute ? ptimer_create_cs(&timers_m[i], recordHit, tag_p)
                              : ptimer_create(&timers_m[i], recordHit, tag_p));
        created_m[i] = true;
    }
    // Arms timer i with a delay, or an absolute time, of `ns`; returns the monotonic time
    // before which a relative timer must not fire.
    int64_t arm(int i, int64_t ns) {
        const int64_t earliest = nowNs(CLOCK_MONOTONIC) + ns;
        EXPECT_EQ(0, ptimer_start_once(&timers_m[i], static_cast<uint32_t>(ns / 1000000000),
                                       static_cast<uint32_t>(ns % 1000000000)));
        return earliest;
    }

    static const int kTimers = 8;
    ptimer timers_m[kTimers] = {};
    bool created_m[kTimers] = {};
    bool running_m = true;
};

}  // namespace cmn::test

#endif  // TESTS_PLATFORM_PTIMERSFIXTURE_H
