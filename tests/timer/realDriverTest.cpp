// The manager on the real timer driver: expiries never come early, periodic timers keep
// their spacing, a cancelled timer's expiry returns as a zombie, and a clock-sync timer
// expires on its boundary.
#include <stdio.h>
#include <sys/time.h>

#include <chrono>
#include <string>
#include <vector>

#include "timerFixture.h"

namespace cmn {
namespace test {
namespace {

using Clock = std::chrono::steady_clock;
const int kBudgetMs = 5000;

// Notes the monotonic and the wall-clock time of each expiry.
class TimingClient : public RecordingClient {
public:
    bool timerExpired(uint32_t timerId, PAUserData* userData_p) override {
        at.push_back(Clock::now());
        timeval now;
        gettimeofday(&now, nullptr);
        wallAt.push_back(now);
        return RecordingClient::timerExpired(timerId, userData_p);
    }
    std::vector<Clock::time_point> at;
    std::vector<timeval> wallAt;
};

class RealDriverTest : public ::testing::Test {
protected:
    void SetUp() override { socketPath_m = callbackSocketPathOfThisThread(); }
    void TearDown() override {
        SingletonPerThread<TimerManager>::deleteInstance();
        EXPECT_FALSE(pathExists(socketPath_m));
    }
    std::string socketPath_m;
    TimingClient client_m;
};

class RealDriverPeriodTest : public RealDriverTest,
                             public ::testing::WithParamInterface<uint32_t> {};

TEST_P(RealDriverPeriodTest, OneShotNeverFiresEarly) {
    const uint32_t periodMs = GetParam();
    uint32_t timerId = 0;
    Clock::time_point start = Clock::now();
    ASSERT_TRUE(manager().startOneShotTimer(timerId, periodMs, &client_m, nullptr, kMs));
    ASSERT_TRUE(runUntil([&] { return !client_m.calls.empty(); }, kBudgetMs));
    EXPECT_GE(client_m.at[0] - start, std::chrono::milliseconds(periodMs));
    EXPECT_EQ(0, counters().currentEntries);
}

TEST_P(RealDriverPeriodTest, PeriodicKeepsSpacingAndCancelReturnsAsZombie) {
    const uint32_t periodMs = GetParam();
    uint32_t timerId = 0;
    Clock::time_point start = Clock::now();
    ASSERT_TRUE(manager().startPeriodicTimer(timerId, periodMs * 1000000, &client_m, nullptr, kNs));
    ASSERT_TRUE(runUntil([&] { return client_m.calls.size() >= 5; }, kBudgetMs));
    // Each expiry is armed when the previous one is processed, so the k-th comes no sooner
    // than k periods after the start.
    for (size_t k = 0; k < client_m.at.size(); ++k) {
        EXPECT_GE(client_m.at[k] - start, std::chrono::milliseconds(periodMs * (k + 1))) << k;
    }
    manager().cancelTimer(timerId, false);
    size_t calls = client_m.calls.size();
    ASSERT_TRUE(runUntil([] { return counters().zombieTimeouts == 1; }, kBudgetMs));
    EXPECT_EQ(calls, client_m.calls.size());
    EXPECT_EQ(0, counters().currentEntries);
}

INSTANTIATE_TEST_SUITE_P(Milliseconds, RealDriverPeriodTest, ::testing::Values(1, 2, 5, 20, 50));

TEST_F(RealDriverTest, ClockSyncExpiresOnTheBoundaryNeverBefore) {
    uint32_t timerId = 0;
    ASSERT_TRUE(manager().startPeriodicClockSyncTimer(timerId, 1, 0, &client_m, nullptr));
    std::vector<long> armed;
    for (size_t k = 0; k < 3; ++k) {
        std::string state = entryState(timerId);
        long seconds = 0;
        size_t pos = state.find("milliseconds (");
        ASSERT_NE(std::string::npos, pos) << state;
        ASSERT_EQ(1, sscanf(state.c_str() + pos, "milliseconds (%ld sec", &seconds)) << state;
        armed.push_back(seconds);
        ASSERT_TRUE(runUntil([&] { return client_m.calls.size() > k; }, kBudgetMs));
        EXPECT_GE(client_m.wallAt[k].tv_sec, armed[k]) << "expiry before its boundary";
    }
    EXPECT_LT(armed[0], armed[1]);
    EXPECT_LT(armed[1], armed[2]);
}

}  // namespace
}  // namespace test
}  // namespace cmn
