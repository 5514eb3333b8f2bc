// An application's view, at scale: a thousand timers of every kind on the real driver, and a
// manager whose ids are all in use.
#include <map>
#include <string>
#include <vector>

#include "timerFixture.h"

namespace cmn {
namespace test {
namespace {

class UserLevelTest : public ::testing::Test {
protected:
    void SetUp() override { socketPath_m = callbackSocketPathOfThisThread(); }
    void TearDown() override {
        SingletonPerThread<TimerManager>::deleteInstance();
        EXPECT_FALSE(pathExists(socketPath_m));
    }
    std::string socketPath_m;
    ScopedLogCapture log_m;  // keeps the zombie reports off standard error
};

TEST_F(UserLevelTest, ThousandMixedTimersDeliveredThenCancelled) {
    RecordingClient client;
    std::map<uint32_t, bool> oneShot;  // by id
    for (uint32_t i = 0; i < 1000; ++i) {
        uint32_t timerId = 0;
        uint32_t ms = 1 + i % 50;
        bool started = false;
        switch (i % 5) {
            case 0:
                started = manager().startOneShotTimer(timerId, ms, &client, nullptr, kMs);
                break;
            case 1:
                started = manager().startPeriodicTimer(timerId, ms, &client, nullptr, kMs);
                break;
            case 2:
                started =
                    manager().startPeriodicTimer(timerId, ms * 1000000, &client, nullptr, kNs);
                break;
            case 3:
                started =
                    manager().startOneShotClockSyncTimer(timerId, 1 + i % 2, 0, &client, nullptr);
                break;
            default:
                started =
                    manager().startPeriodicClockSyncTimer(timerId, 1 + i % 2, 0, &client, nullptr);
                break;
        }
        ASSERT_TRUE(started) << i;
        ASSERT_EQ(0u, oneShot.count(timerId)) << "id handed out twice: " << timerId;
        oneShot[timerId] = i % 5 == 0 || i % 5 == 3;
    }
    std::map<uint32_t, int> delivered;
    size_t seen = 0;
    auto tally = [&] {
        for (; seen < client.calls.size(); ++seen) {
            ++delivered[client.calls[seen].timerId];
        }
    };
    auto allDelivered = [&] {
        tally();
        for (const auto& timer : oneShot) {
            if (delivered[timer.first] < (timer.second ? 1 : 2)) {
                return false;
            }
        }
        return true;
    };
    auto missing = [&] {
        std::string text;
        for (const auto& timer : oneShot) {
            if (delivered[timer.first] < (timer.second ? 1 : 2)) {
                text += std::to_string(delivered[timer.first]) + "x " + entryState(timer.first);
            }
        }
        return text;
    };
    ASSERT_TRUE(runUntil(allDelivered, 30000)) << missing();
    EXPECT_EQ(600, counters().currentEntries);

    manager().cancelAllTimersForClient(&client, false);
    size_t callsAtCancel = client.calls.size();
    ASSERT_TRUE(runUntil([] { return counters().currentEntries == 0; }, 30000))
        << runCommand("tmgr-show-state");
    EXPECT_EQ(callsAtCancel, client.calls.size());
    tally();
    for (const auto& timer : oneShot) {
        if (timer.second) {
            EXPECT_EQ(1, delivered[timer.first]) << timer.first;
        }
    }
    ManagerCounters after = counters();
    EXPECT_EQ(1000, after.totalUsers);
    EXPECT_EQ(600, after.zombieTimeouts);
    EXPECT_NE(std::string::npos, runCommand("tmgr-show-state").find("Current Entries: 0;\n"));
}

TEST_F(UserLevelTest, StartWithEveryIdInUseIsRefusedAsDuplicate) {
    RecordingClient client;
    uint32_t timerId = 0;
    for (uint32_t i = 0; i < 65536; ++i) {
        ASSERT_TRUE(manager().startOneShotTimer(timerId, 3600000, &client, nullptr, kMs)) << i;
    }
    log_m.clear();
    EXPECT_FALSE(manager().startPeriodicTimer(timerId, 3600000, &client, nullptr, kMs));
    std::vector<std::string> critical = log_m.texts(DBGLEVEL_CRITICAL);
    ASSERT_EQ(2u, critical.size());
    EXPECT_EQ("Duplicate entry attempted " + std::to_string(timerId), critical[0]);
    EXPECT_EQ("registerSubscriberToTimer failed.", critical[1]);
    ManagerCounters after = counters();
    EXPECT_EQ(65536, after.totalUsers);
    EXPECT_EQ(65536, after.currentEntries);
}

}  // namespace
}  // namespace test
}  // namespace cmn
