// The manager on the real timer driver: expiries never come early, and a cancelled periodic
// timer's armed expiry still returns, as a zombie.
#include <sys/time.h>

#include <chrono>
#include <vector>

#include "timerFixture.h"

namespace cmn {
namespace test {
namespace {

using Clock = std::chrono::steady_clock;

// What should happen within milliseconds counts as lost only after this long (valgrind, load).
const int kNeverMs = 60000;

class RealDriverTest : public ::testing::TestWithParam<uint32_t> {
protected:
    void TearDown() override {
        SingletonPerThread<TimerManager>::deleteInstance();
        EXPECT_FALSE(pathExists(callbackSocketPathOfThisThread()));
    }
};

TEST_P(RealDriverTest, NeverFiresEarlyAndCancelledPeriodicReturnsAsZombie) {
    const uint32_t periodMs = GetParam();
    RecordingClient client;
    std::vector<Clock::duration> at;
    const Clock::time_point start = Clock::now();
    client.onExpiry = [&](uint32_t) { at.push_back(Clock::now() - start); };
    uint32_t oneShot = 0;
    uint32_t periodic = 0;
    ASSERT_TRUE(manager().startOneShotTimer(oneShot, periodMs, &client, nullptr, kMs));
    ASSERT_TRUE(manager().startPeriodicTimer(periodic, periodMs * 1000000, &client, nullptr, kNs));
    ASSERT_TRUE(
        runUntil([&] { return at.size() >= 6 && counters().currentEntries == 1; }, kNeverMs));
    // A periodic expiry is armed when the previous one is processed: the k-th comes no sooner
    // than k periods after the start.
    uint32_t periodicSeen = 0;
    for (size_t i = 0; i < at.size(); ++i) {
        uint32_t k = client.calls[i].timerId == oneShot ? 1 : ++periodicSeen;
        EXPECT_GE(at[i], std::chrono::milliseconds(periodMs * k)) << i;
    }
    manager().cancelTimer(periodic, false);
    size_t calls = client.calls.size();
    ASSERT_TRUE(runUntil([] { return counters().zombieTimeouts == 1; }, kNeverMs));
    EXPECT_EQ(calls, client.calls.size());
    EXPECT_EQ(0, counters().currentEntries);
}

INSTANTIATE_TEST_SUITE_P(Milliseconds, RealDriverTest, ::testing::Values(1, 5, 50));

int64_t wallClockMicros() {
    timeval now;
    gettimeofday(&now, nullptr);
    return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_usec;
}

// A periodic clock-sync timer of 1 s expires on whole seconds of the wall clock, never before.
// The clock is read before the start, so the timer's own reading is not earlier: its first
// boundary is this one or a later one, even when a second begins between the two readings.
TEST_F(RealDriverTest, ClockSyncSecondExpiresOnTheBoundary) {
    RecordingClient client;
    std::vector<int64_t> at;
    client.onExpiry = [&](uint32_t) { at.push_back(wallClockMicros()); };
    const int64_t firstBoundary = (wallClockMicros() / 1000000 + 1) * 1000000;
    uint32_t id = 0;
    ASSERT_TRUE(manager().startPeriodicClockSyncTimer(id, 1, 0, &client, nullptr));
    ASSERT_TRUE(runUntil([&] { return at.size() >= 2; }, kNeverMs));
    EXPECT_GE(at[0], firstBoundary);
    EXPECT_GE(at[1], firstBoundary + 1000000);
}

}  // namespace
}  // namespace test
}  // namespace cmn
