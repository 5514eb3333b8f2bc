// A user's mix on the real driver, end to end through the public interface.
#include <map>
#include <set>

#include "timerFixture.h"

namespace cmn {
namespace test {
namespace {

// Every timer here falls due within two seconds; it counts as lost only after this long.
const int kNeverMs = 60000;

class UserLevelTest : public ::testing::Test {
protected:
    void TearDown() override {
        SingletonPerThread<TimerManager>::deleteInstance();
        EXPECT_FALSE(pathExists(callbackSocketPathOfThisThread()));
    }
};

// A user's mix: 1000 one-shot, periodic and clock-sync timers on the real driver. Every
// one-shot expires exactly once, every periodic at least twice; cancelling them all empties
// the table once their armed expiries have come back.
TEST_F(UserLevelTest, ThousandMixedTimersAreDeliveredThenCancelled) {
    RecordingClient client;
    std::map<uint32_t, int> expiries;
    client.onExpiry = [&](uint32_t timerId) { ++expiries[timerId]; };
    std::set<uint32_t> oneShots;
    std::set<uint32_t> periodics;
    for (uint32_t i = 0; i < 1000; ++i) {
        uint32_t id = 0;
        switch (i % 5) {
            case 0:
                ASSERT_TRUE(manager().startOneShotTimer(id, 1 + i % 50, &client, nullptr, kMs));
                oneShots.insert(id);
                break;
            case 1:
                ASSERT_TRUE(
                    manager().startOneShotTimer(id, 1000000 * (1 + i % 40), &client, nullptr, kNs));
                oneShots.insert(id);
                break;
            case 2:
                ASSERT_TRUE(manager().startPeriodicTimer(id, 10 + i % 90, &client, nullptr, kMs));
                periodics.insert(id);
                break;
            case 3:
                ASSERT_TRUE(
                    manager().startOneShotClockSyncTimer(id, 1 + i % 2, 0, &client, nullptr));
                oneShots.insert(id);
                break;
            default:
                ASSERT_TRUE(
                    manager().startPeriodicClockSyncTimer(id, 1 + i % 2, 0, &client, nullptr));
                periodics.insert(id);
        }
    }
    auto everyTimerSeen = [&] {
        for (uint32_t id : periodics) {
            if (expiries[id] < 2) {
                return false;
            }
        }
        return counters().currentEntries == static_cast<int>(periodics.size());
    };
    ASSERT_TRUE(runUntil(everyTimerSeen, kNeverMs));
    for (uint32_t id : oneShots) {
        EXPECT_EQ(1, expiries[id]) << id;
    }
    manager().cancelAllTimersForClient(&client, false);
    ASSERT_TRUE(runUntil([] { return counters().currentEntries == 0; }, kNeverMs));
    EXPECT_EQ(1000, counters().totalUsers);
}

}  // namespace
}  // namespace test
}  // namespace cmn
