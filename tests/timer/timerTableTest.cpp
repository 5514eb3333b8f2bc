// The timer table: cancelling keeps an entry until its armed expiry returns as a zombie,
// user data on cancel and removal, cancel-all order, registration while disabled.
#include <algorithm>
#include <regex>
#include <string>
#include <vector>

#include "timerFixture.h"

namespace cmn {
namespace test {
namespace {

using TimerTableTest = TimerFixture;

TEST_F(TimerTableTest, CancelKeepsEntryUntilZombieTimeout) {
    RecordingClient client;
    uint32_t timerId = startOneShot(50, &client);
    manager().cancelTimer(timerId, false);
    manager().cancelTimer(timerId, false);
    std::string found =
        " can find out timerId(" + std::to_string(timerId) + "), deleteUserData(false)";
    std::vector<std::string> debug = log.texts(DBGLEVEL_DEBUG);
    EXPECT_EQ(2, std::count(debug.begin(), debug.end(), found));
    EXPECT_EQ(1, counters().currentEntries);
    EXPECT_NE(std::string::npos, entryState(timerId).find("[Cancelled]"));
    EXPECT_TRUE(fake.isArmed(fake.handleOfTimer(timerId)));

    ASSERT_TRUE(fireAndDeliver(timerId));
    EXPECT_TRUE(client.calls.empty());
    EXPECT_EQ(
        std::vector<std::string>{"Not running timer time out, timerId " + std::to_string(timerId)},
        log.texts(DBGLEVEL_INFO));
    ManagerCounters after = counters();
    EXPECT_EQ(0, after.currentEntries);
    EXPECT_EQ(1, after.zombieTimeouts);
    EXPECT_EQ(1, after.timeoutCount);
    EXPECT_EQ(1, after.totalUsers);
    EXPECT_EQ(1u, fake.deletions().size());
}

class TimerTableUserDataTest : public TimerFixture, public ::testing::WithParamInterface<bool> {};

TEST_P(TimerTableUserDataTest, CancelDeletesUserDataOnlyWhenAsked) {
    const bool deleteUserData = GetParam();
    RecordingClient client;
    int deletions = 0;
    CountedUserData* userData_p = new CountedUserData(&deletions);
    uint32_t timerId = startPeriodic(100, &client, userData_p);
    manager().cancelTimer(timerId, deleteUserData);
    EXPECT_EQ(deleteUserData ? 1 : 0, deletions);
    EXPECT_EQ(!deleteUserData, manager().timerHasUserData(timerId));
    ASSERT_TRUE(fireAndDeliver(timerId));
    EXPECT_EQ(0, counters().currentEntries);
    EXPECT_EQ(deleteUserData ? 1 : 0, deletions);
    std::vector<std::string> expected;
    if (!deleteUserData) {
        expected.push_back("user error - leaking user data");
        delete userData_p;
    }
    EXPECT_EQ(expected, log.texts(DBGLEVEL_CRITICAL));
}

INSTANTIATE_TEST_SUITE_P(DeleteUserData, TimerTableUserDataTest, ::testing::Bool());

TEST_F(TimerTableTest, CancelOfUnknownIdChangesNothing) {
    RecordingClient client;
    startPeriodic(100, &client);
    manager().cancelTimer(42, true);
    EXPECT_TRUE(log.contains(DBGLEVEL_DEBUG, "can not find out timerId(42), deleteUserData(true)"));
    EXPECT_EQ(std::vector<std::string>{"deregisterSubscriberToTimery failed 42"},
              log.texts(DBGLEVEL_CRITICAL));
    EXPECT_NE(std::string::npos, entryState(0).find("[On]"));
}

TEST_F(TimerTableTest, CancelAllCancelsClientTimersInAscendingIdOrder) {
    RecordingClient mine("mine");
    RecordingClient other("other");
    int deletions = 0;
    for (uint32_t id = 0; id <= 13; ++id) {
        bool isMine = id == 3 || id == 9 || id == 12;
        ASSERT_EQ(id, startPeriodic(100, isMine ? &mine : &other,
                                    isMine ? new CountedUserData(&deletions) : nullptr));
    }
    log.clear();
    manager().cancelAllTimersForClient(&other, false);
    manager().cancelAllTimersForClient(&mine, true);
    std::vector<std::string> mineTrace;
    std::regex cancelTrace("(.*) find out timerId\\((\\d+)\\), deleteUserData\\(true\\)");
    for (const std::string& text : log.texts(DBGLEVEL_DEBUG)) {
        std::smatch match;
        if (std::regex_match(text, match, cancelTrace)) {
            mineTrace.push_back(match[1].str() + ":" + match[2].str());
        }
    }
    EXPECT_EQ((std::vector<std::string>{" can:3", " can:9", " can:12"}), mineTrace);
    EXPECT_EQ(3, deletions);
    EXPECT_TRUE(log.texts(DBGLEVEL_CRITICAL).empty());
    EXPECT_EQ(14, counters().currentEntries);
    for (uint32_t id = 0; id <= 13; ++id) {
        EXPECT_NE(std::string::npos, entryState(id).find("[Cancelled]")) << id;
    }
}

TEST_F(TimerTableTest, CancelAllForClientWithoutTimersLogsNothing) {
    RecordingClient client;
    RecordingClient idle;
    startPeriodic(100, &client);
    log.clear();
    manager().cancelAllTimersForClient(&idle, true);
    EXPECT_TRUE(log.records().empty());
    EXPECT_NE(std::string::npos, entryState(0).find("[On]"));
}

TEST_F(TimerTableTest, RegistrationWhileDisabledEntersWithoutStarting) {
    RecordingClient client;
    runCommand("tmgr-debug-enable");
    EXPECT_EQ("Timers are disabled\n", runCommand("tmgr-disable-timers"));
    uint32_t timerId = 77;
    EXPECT_TRUE(manager().startOneShotTimer(timerId, 10, &client, nullptr, kMs));
    EXPECT_EQ(0u, timerId);
    EXPECT_TRUE(fake.armings().empty());
    EXPECT_EQ(1u, fake.creations().size());
    EXPECT_TRUE(log.contains(DBGLEVEL_DEBUG, "totalUserCount_m(1), timersEnabled_m(false)"));
    EXPECT_EQ(1, counters().totalUsers);
    EXPECT_EQ(
        "[0] client: Type: One-Shot [Cancelled] - userData: 0x0\n"
        "  Period: 10 milliseconds (0 sec : 0 nanosec): Timeouts: 0\n",
        entryState(timerId));
}

}  // namespace
}  // namespace test
}  // namespace cmn
