// The timer table and the operations on it: the start path's trace, cancelling (the entry stays
// until its armed expiry returns as a zombie), cancel-all order, period changes, user data.
#include <algorithm>
#include <string>
#include <vector>

#include "timerFixture.h"

namespace cmn {
namespace test {
namespace {

using TimerTableTest = TimerFixture;

TEST_F(TimerTableTest, StartOneShotTracesEachStep) {
    RecordingClient client;
    log.clear();
    uint32_t timerId = 77;
    ASSERT_TRUE(manager().startOneShotTimer(timerId, 10, &client, nullptr, kMs));
    EXPECT_EQ(0u, timerId);
    EXPECT_EQ((std::vector<std::string>{
                  "timerId_r(77), periodInTimerGranularity(10), "
                  "timerGranularity(millisecondGranularity_c)",
                  "timerId_r(77), periodInTimerGranularity(10), syncBoundaryInMilliseconds(0)"
                  "                  timerGranularity(millisecondGranularity_c), isOneShot(true), "
                  "isClockSync(false)",
                  "get valid index(0)",
                  "timerId(0), periodInTimerGranularity(10), syncBoundaryInMilliseconds(0)"
                  "                  , timerGranularity(millisecondGranularity_c), "
                  "isOneShotTimer(true), isClockSyncTimer(false)",
                  " can not find out timerId(0)",
                  "isClockSyncTimer_m(false),                   "
                  "timerGranularity_m(millisecondGranularity_c), "
                  "periodInTimerGranularity_m(10)                   , "
                  "syncBoundaryInMilliseconds_m(0)",
                  "finish start Timer", "totalUserCount_m(1), timersEnabled_m(true)",
                  "private start timer successful"}),
              log.texts(DBGLEVEL_DEBUG));
}

TEST_F(TimerTableTest, CancelKeepsEntryUntilZombieTimeout) {
    RecordingClient client;
    manager().cancelTimer(42, true);
    EXPECT_TRUE(log.contains(DBGLEVEL_DEBUG, "can not find out timerId(42), deleteUserData(true)"));
    EXPECT_EQ(std::vector<std::string>{"deregisterSubscriberToTimery failed 42"},
              log.texts(DBGLEVEL_CRITICAL));
    uint32_t timerId = startOneShot(50, &client);
    manager().cancelTimer(timerId, false);
    manager().cancelTimer(timerId, false);
    std::vector<std::string> debug = log.texts(DBGLEVEL_DEBUG);
    EXPECT_EQ(2, std::count(debug.begin(), debug.end(),
                            " can find out timerId(0), deleteUserData(false)"));
    EXPECT_NE(std::string::npos, entryState(timerId).find("[Cancelled]"));
    ASSERT_TRUE(fireAndDeliver(timerId));  // the cancel left the driver timer armed
    EXPECT_TRUE(client.calls.empty());
    EXPECT_EQ(std::vector<std::string>{"Not running timer time out, timerId 0"},
              log.texts(DBGLEVEL_INFO));
    EXPECT_NE(std::string::npos, runCommand("tmgr-show-state")
                                     .find("Total Users: 1; Current Entries: 0;\n"
                                           "Timeout Count: 1 Zombie Timeouts: 1;\n"));
}

TEST_F(TimerTableTest, CancelAllCancelsTheClientsTimersInAscendingIdOrder) {
    RecordingClient mine("mine");
    RecordingClient other("other");
    RecordingClient idle("idle");
    for (uint32_t id = 0; id <= 13; ++id) {
        ASSERT_EQ(id, startPeriodic(100, id == 3 || id == 9 || id == 12 ? &mine : &other));
    }
    log.clear();
    manager().cancelAllTimersForClient(&idle, true);
    EXPECT_TRUE(log.records().empty());
    manager().cancelAllTimersForClient(&mine, true);
    EXPECT_EQ((std::vector<std::string>{" can find out timerId(3), deleteUserData(true)",
                                        " can find out timerId(9), deleteUserData(true)",
                                        " can find out timerId(12), deleteUserData(true)"}),
              log.texts(DBGLEVEL_DEBUG));
    EXPECT_EQ(3u, log.records().size());
    EXPECT_NE(std::string::npos, entryState(12).find("[Cancelled]"));
    EXPECT_NE(std::string::npos, entryState(13).find("[On]"));
}

// An id goes back to the allocator when its entry is removed, after a one-shot expiry or a
// zombie timeout alike, and is handed out again once eight more ids have been freed after it.
TEST_F(TimerTableTest, RemovedIdsAreHandedOutAgainAfterEightMoreRemovals) {
    RecordingClient client;
    for (uint32_t expected = 0; expected <= 8; ++expected) {
        uint32_t timerId = startOneShot(10, &client);
        ASSERT_EQ(expected, timerId);
        if (timerId % 2 == 1) {
            manager().cancelTimer(timerId, false);
        }
        ASSERT_TRUE(fireAndDeliver(timerId));
    }
    EXPECT_EQ(0, counters().currentEntries);
    EXPECT_EQ(0u, startOneShot(10, &client));
    EXPECT_EQ(9u, startOneShot(10, &client));
}

using TimerOperationsTest = TimerFixture;

TEST_F(TimerOperationsTest, ChangePeriodRestartsEntryOrCancelsItOnBadGranularity) {
    RecordingClient client;
    uint32_t badGranularity = startPeriodic(100, &client);
    uint32_t cancelled = startOneShot(100, &client);
    manager().cancelTimer(cancelled, false);
    EXPECT_TRUE(manager().changeTimerPeriod(cancelled, 300, kMs));
    EXPECT_TRUE(manager().changeTimerPeriod(badGranularity, 5,
                                            static_cast<TimerManager::TimerGranularity>(7)));
    EXPECT_FALSE(manager().changeTimerPeriod(999, 20, kNs));
    EXPECT_TRUE(log.contains(DBGLEVEL_DEBUG, " can find out timerId(1)"));
    EXPECT_TRUE(log.contains(DBGLEVEL_DEBUG,
                             "timerId(999), newPeriodInTimerGranularity(20), "
                             "timerGranularity(nanosecondGranularity_c)"));
    EXPECT_TRUE(log.contains(DBGLEVEL_DEBUG,
                             "finish reset period(5), timerGranularity(nanosecondGranularity_c)"));
    EXPECT_EQ((std::vector<std::string>{"wrong granularity type", "changeTimerPeriod failed 999"}),
              log.texts(DBGLEVEL_CRITICAL));
    EXPECT_EQ(300000000, fake.armingsOfTimer(cancelled).back().nanoseconds);
    ASSERT_TRUE(fireAndDeliver(cancelled));
    EXPECT_EQ(std::vector<uint32_t>{cancelled}, client.ids());
    // While timers are disabled a change is accepted for any id and changes nothing.
    runCommand("tmgr-debug-enable");
    runCommand("tmgr-disable-timers");
    EXPECT_TRUE(manager().changeTimerPeriod(badGranularity, 2000, kMs));
    EXPECT_TRUE(manager().changeTimerPeriod(999, 500, kMs));
    EXPECT_TRUE(log.contains(DBGLEVEL_DEBUG, "timersEnabled_m(false)"));
    EXPECT_EQ(
        "[0] client: Type: Periodic [Cancelled] - userData: 0x0\n"
        "  Period: 5 nanoseconds (0 sec : 100000000 nanosec): Timeouts: 0\n",
        entryState(badGranularity));
}

// Timer 0's user data is detached after the cancel, timer 1's deleted by its cancel and timer
// 2's left attached, so only timer 2's removal reports a leak.
TEST_F(TimerOperationsTest, UserDataFollowsCancelAndDetachAndUnknownIdIsRefused) {
    RecordingClient client;
    int deletions = 0;
    CountedUserData detached(&deletions);
    CountedUserData leaked(&deletions);
    startPeriodic(100, &client, &detached);
    startPeriodic(100, &client, new CountedUserData(&deletions));
    startPeriodic(100, &client, &leaked);
    manager().cancelTimer(0, false);
    manager().cancelTimer(1, true);
    manager().cancelTimer(2, false);
    EXPECT_EQ(1, deletions);
    PAUserData* const sentinel_p = reinterpret_cast<PAUserData*>(0x1234);
    PAUserData* got_p[4] = {sentinel_p, sentinel_p, sentinel_p, sentinel_p};
    EXPECT_TRUE(manager().timerHasUserData(0));
    EXPECT_TRUE(manager().accessUserDataFromTimer(0, got_p[0]));
    EXPECT_TRUE(manager().detachUserDataFromTimer(0, got_p[1]));
    EXPECT_FALSE(manager().detachUserDataFromTimer(0, got_p[2]));
    EXPECT_FALSE(manager().accessUserDataFromTimer(1, got_p[3]));
    EXPECT_FALSE(manager().timerHasUserData(0));
    EXPECT_EQ((std::vector<PAUserData*>{&detached, &detached, nullptr, nullptr}),
              std::vector<PAUserData*>(got_p, got_p + 4));
    EXPECT_TRUE(log.contains(DBGLEVEL_DEBUG, "can find out timerId(0)"));
    EXPECT_FALSE(manager().detachUserDataFromTimer(99, got_p[0]));
    EXPECT_FALSE(manager().accessUserDataFromTimer(99, got_p[0]));
    EXPECT_FALSE(manager().timerHasUserData(99));
    EXPECT_EQ(&detached, got_p[0]);
    EXPECT_TRUE(log.contains(DBGLEVEL_DEBUG, " can not find out timerId(99)"));
    for (uint32_t timerId = 0; timerId < 3; ++timerId) {
        ASSERT_TRUE(fireAndDeliver(timerId));
    }
    EXPECT_EQ((std::vector<std::string>{
                  "detachUserDataFromTimer failed 99", "accessUserDataFromTimer failed 99",
                  "timerHasUserData failed 99", "user error - leaking user data"}),
              log.texts(DBGLEVEL_CRITICAL));
    EXPECT_EQ(1, deletions);
}

}  // namespace
}  // namespace test
}  // namespace cmn
