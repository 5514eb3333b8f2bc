// The fixture of the cases that run this thread's manager on the real driver: each case ends by
// deleting the manager, and its callback socket file must go with it.
#ifndef TESTS_RELIABILITY_REALDRIVERTEST_H
#define TESTS_RELIABILITY_REALDRIVERTEST_H

#include "timerFixture.h"

namespace cmn::test {

// The "never happened" budget of these cases: what should happen at once, or after a few
// seconds, counts as lost only after this long, on a loaded machine and under valgrind too.
const int kNeverMs = 60000;

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
