// The fixture of the cases that run this thread's manager on the real driver: each case ends by
// deleting the manager, and its callback socket file must go with it.
#ifndef TESTS_RELIABILITY_REALDRIVERTEST_H
#define TESTS_RELIABILITY_REALDRIVERTEST_H

#include <chrono>
#include <thread>

#include "timerFixture.h"

namespace cmn::test {

// Sleeps until a few milliseconds past the next whole second of the wall clock, so that a
// clock-sync timer started now falls due almost a second later.
inline void sleepPastWholeSecond() {
    const std::chrono::nanoseconds sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
    std::this_thread::sleep_for(std::chrono::milliseconds(1005) -
                                sinceEpoch % std::chrono::seconds(1));
}

class RealDriverTest : public ::testing::Test {
protected:
    void TearDown() override {
        SingletonPerThread<TimerManager>::deleteInstance();
        EXPECT_FALSE(pathExists(callbackSocketPathOfThisThread()));
    }
    ScopedLogCapture log_m;  // zombie timeouts and refusals
};

}  // namespace cmn::test

#endif  // TESTS_RELIABILITY_REALDRIVERTEST_H
