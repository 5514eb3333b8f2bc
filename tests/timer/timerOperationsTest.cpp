// Timer operations: the start path's trace, period changes and the user-data operations.
#include <functional>
#include <string>
#include <vector>

#include "timerFixture.h"

namespace cmn {
namespace test {
namespace {

using TimerOperationsTest = TimerFixture;

TEST_F(TimerOperationsTest, StartOneShotTracesEachStep) {
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

TEST_F(TimerOperationsTest, ChangePeriodWhileDisabledChangesNothing) {
    RecordingClient client;
    uint32_t timerId = startPeriodic(100, &client);
    runCommand("tmgr-debug-enable");
    runCommand("tmgr-disable-timers");
    EXPECT_TRUE(manager().changeTimerPeriod(timerId, 500, kMs));
    EXPECT_TRUE(manager().changeTimerPeriod(999, 500, kMs));
    EXPECT_TRUE(log.contains(DBGLEVEL_DEBUG, "timersEnabled_m(false)"));
    EXPECT_TRUE(log.texts(DBGLEVEL_CRITICAL).empty());
    EXPECT_EQ(1u, fake.armingsOfTimer(timerId).size());
    runCommand("tmgr-enable-timers");
    ASSERT_EQ(2u, fake.armingsOfTimer(timerId).size());
    EXPECT_EQ(100000000, fake.armingsOfTimer(timerId)[1].nanoseconds);
}

TEST_F(TimerOperationsTest, ChangePeriodOfUnknownIdFails) {
    EXPECT_FALSE(manager().changeTimerPeriod(999, 20, kNs));
    EXPECT_TRUE(log.contains(DBGLEVEL_DEBUG, "timersEnabled_m(true)"));
    EXPECT_TRUE(log.contains(DBGLEVEL_DEBUG,
                             "timerId(999), newPeriodInTimerGranularity(20), "
                             "timerGranularity(nanosecondGranularity_c)"));
    EXPECT_TRUE(log.contains(DBGLEVEL_DEBUG, "can not find out timerId(999)"));
    EXPECT_EQ(std::vector<std::string>{"changeTimerPeriod failed 999"},
              log.texts(DBGLEVEL_CRITICAL));
}

TEST_F(TimerOperationsTest, ChangePeriodRestartsCancelledEntry) {
    RecordingClient client;
    uint32_t timerId = startOneShot(100, &client);
    manager().cancelTimer(timerId, false);
    EXPECT_TRUE(manager().changeTimerPeriod(timerId, 300, kMs));
    EXPECT_TRUE(
        log.contains(DBGLEVEL_DEBUG, " can find out timerId(" + std::to_string(timerId) + ")"));
    EXPECT_EQ(300000000, fake.armingsOfTimer(timerId).back().nanoseconds);
    ASSERT_TRUE(fireAndDeliver(timerId));
    EXPECT_EQ(std::vector<uint32_t>{timerId}, client.ids());
    EXPECT_EQ(0, counters().currentEntries);
    EXPECT_EQ(0, counters().zombieTimeouts);
}

// detachUserDataFromTimer, accessUserDataFromTimer and timerHasUserData share one shape.
struct UserDataOperation {
    const char* name;
    std::function<bool(uint32_t, PAUserData*&)> call;
    bool hands;   // writes userData_rp
    bool clears;  // the entry lets go of the user data
};

class TimerOperationsUserDataTest : public TimerFixture,
                                    public ::testing::WithParamInterface<UserDataOperation> {};

TEST_P(TimerOperationsUserDataTest, FindsKnownAndCancelledIdsOnly) {
    const UserDataOperation& op = GetParam();
    RecordingClient client;
    int deletions = 0;
    CountedUserData* userData_p = new CountedUserData(&deletions);
    uint32_t withData = startPeriodic(100, &client, userData_p);
    uint32_t withoutData = startPeriodic(100, &client);
    manager().cancelTimer(withData, false);
    PAUserData* sentinel_p = reinterpret_cast<PAUserData*>(0x1234);

    PAUserData* out_p = sentinel_p;
    EXPECT_TRUE(op.call(withData, out_p));
    EXPECT_EQ(op.hands ? userData_p : sentinel_p, out_p);
    EXPECT_TRUE(
        log.contains(DBGLEVEL_DEBUG, "can find out timerId(" + std::to_string(withData) + ")"));
    out_p = sentinel_p;
    EXPECT_FALSE(op.call(withoutData, out_p));
    EXPECT_EQ(op.hands ? nullptr : sentinel_p, out_p);
    EXPECT_TRUE(log.texts(DBGLEVEL_CRITICAL).empty());

    out_p = sentinel_p;
    EXPECT_FALSE(op.call(99, out_p));
    EXPECT_EQ(sentinel_p, out_p);
    EXPECT_TRUE(log.contains(DBGLEVEL_DEBUG, " can not find out timerId(99)"));
    EXPECT_EQ(std::vector<std::string>{std::string(op.name) + " failed 99"},
              log.texts(DBGLEVEL_CRITICAL));

    EXPECT_EQ(!op.clears, manager().timerHasUserData(withData));
    EXPECT_EQ(0, deletions);
    log.clear();
    ASSERT_TRUE(fireAndDeliver(withData));
    EXPECT_EQ(op.clears ? 0u : 1u, log.count(DBGLEVEL_CRITICAL));
    delete userData_p;
}

INSTANTIATE_TEST_SUITE_P(
    Operations, TimerOperationsUserDataTest,
    ::testing::Values(
        UserDataOperation{"detachUserDataFromTimer",
                          [](uint32_t id, PAUserData*& userData_rp) {
                              return manager().detachUserDataFromTimer(id, userData_rp);
                          },
                          true, true},
        UserDataOperation{"accessUserDataFromTimer",
                          [](uint32_t id, PAUserData*& userData_rp) {
                              return manager().accessUserDataFromTimer(id, userData_rp);
                          },
                          true, false},
        UserDataOperation{"timerHasUserData",
                          [](uint32_t id, PAUserData*&) { return manager().timerHasUserData(id); },
                          false, false}),
    [](const ::testing::TestParamInfo<UserDataOperation>& info) {
        return std::string(info.param.name);
    });

}  // namespace
}  // namespace test
}  // namespace cmn
