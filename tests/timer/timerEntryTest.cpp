// Timer entries: arming arithmetic, expiry handling, state lines and driver failures.
#include <algorithm>
#include <string>

#include "timerFixture.h"

namespace cmn {
namespace test {
namespace {

struct ArmingCase {
    uint32_t period;
    TimerManager::TimerGranularity granularity;
    int64_t seconds;
    int64_t nanoseconds;
};

class TimerEntryArmingTest : public TimerFixture,
                             public ::testing::WithParamInterface<ArmingCase> {};

TEST_P(TimerEntryArmingTest, ArmsRelativeDelayFromPeriod) {
    RecordingClient client;
    const ArmingCase& c = GetParam();
    uint32_t oneShot = startOneShot(c.period, &client, nullptr, c.granularity);
    uint32_t periodic = startPeriodic(c.period, &client, nullptr, c.granularity);
    for (uint32_t timerId : {oneShot, periodic}) {
        std::vector<FakePtimers::Arming> armings = fake.armingsOfTimer(timerId);
        ASSERT_EQ(1u, armings.size());
        EXPECT_EQ(c.seconds, armings[0].seconds);
        EXPECT_EQ(c.nanoseconds, armings[0].nanoseconds);
        EXPECT_FALSE(armings[0].absolute);
    }
    std::vector<std::string> debug = log.texts(DBGLEVEL_DEBUG);
    EXPECT_EQ(2, std::count(debug.begin(), debug.end(), "finish start Timer"));
    EXPECT_EQ(0u, log.count(DBGLEVEL_CRITICAL));
}

INSTANTIATE_TEST_SUITE_P(
    Periods, TimerEntryArmingTest,
    ::testing::Values(ArmingCase{1500, kMs, 1, 500000000}, ArmingCase{250, kMs, 0, 250000000},
                      ArmingCase{0, kMs, 0, 0}, ArmingCase{4294967295u, kMs, 4294967, 295000000},
                      ArmingCase{2500000000u, kNs, 2, 500000000},
                      ArmingCase{999999999, kNs, 0, 999999999}, ArmingCase{0, kNs, 0, 0},
                      ArmingCase{4294967295u, kNs, 4, 294967295}));

using TimerEntryTest = TimerFixture;

TEST_F(TimerEntryTest, OneShotIsRemovedAfterItsCallback) {
    RecordingClient client;
    uint32_t timerId = startOneShot(1500, &client);
    EXPECT_TRUE(log.contains(DBGLEVEL_DEBUG,
                             "isClockSyncTimer_m(false),                   "
                             "timerGranularity_m(millisecondGranularity_c), "
                             "periodInTimerGranularity_m(1500)                   , "
                             "syncBoundaryInMilliseconds_m(0)"));
    ASSERT_TRUE(fireAndDeliver(timerId));
    ASSERT_EQ(1u, client.calls.size());
    EXPECT_EQ(timerId, client.calls[0].timerId);
    EXPECT_EQ(nullptr, client.calls[0].userData_p);
    EXPECT_TRUE(log.contains(DBGLEVEL_DEBUG,
                             "timerId_m(" + std::to_string(timerId) +
                                 "), isOneShotTimer_m(true), isClockSyncTimer_m(false), "
                                 "timerRunning_m(true)                   , timeoutCount_m(1)"));
    EXPECT_EQ(1u, fake.deletions().size());
    EXPECT_EQ(0, counters().currentEntries);
    EXPECT_EQ(1, counters().timeoutCount);
}

TEST_F(TimerEntryTest, PeriodicIsRearmedBeforeClientCall) {
    RecordingClient client;
    uint32_t timerId = startPeriodic(100, &client);
    std::vector<size_t> armingsAtCall;
    client.onExpiry = [&](uint32_t id) { armingsAtCall.push_back(fake.armingsOfTimer(id).size()); };
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(fireAndDeliver(timerId));
    }
    EXPECT_EQ((std::vector<size_t>{2, 3, 4}), armingsAtCall);
    EXPECT_EQ(0u, fake.deletions().size());
    EXPECT_EQ(
        "[0] client: Type: Periodic [On] - userData: 0x0\n"
        "  Period: 100 milliseconds (0 sec : 100000000 nanosec): Timeouts: 3\n",
        entryState(timerId));
}

TEST_F(TimerEntryTest, FailedRearmStillCallsClientAndCancels) {
    RecordingClient client;
    uint32_t timerId = startPeriodic(100, &client);
    fake.failNextArm();
    ASSERT_TRUE(fireAndDeliver(timerId));
    EXPECT_EQ(1u, client.calls.size());
    EXPECT_EQ(std::vector<std::string>{"ptimer_start_once failed"}, log.texts(DBGLEVEL_CRITICAL));
    EXPECT_NE(std::string::npos, entryState(timerId).find("[Cancelled]"));
}

TEST_F(TimerEntryTest, NullClientIsNeitherCalledNorRearmedNorShown) {
    uint32_t timerId = startPeriodic(100, nullptr);
    ASSERT_TRUE(fireAndDeliver(timerId));
    EXPECT_EQ(1u, fake.armingsOfTimer(timerId).size());
    EXPECT_EQ("", entryState(timerId));
    EXPECT_EQ(1, counters().currentEntries);
    EXPECT_EQ(
        (std::vector<std::string>{"client_mp is NULL", "client_mp is NULL", "client_mp is NULL"}),
        log.texts(DBGLEVEL_CRITICAL));
}

TEST_F(TimerEntryTest, ShowStateOfEntrySeven) {
    RecordingClient other;
    RecordingClient alarm("alarm");
    for (int i = 0; i < 7; ++i) {
        startPeriodic(1000, &other);
    }
    ASSERT_EQ(7u, startOneShot(250, &alarm));
    EXPECT_EQ(
        "[7] alarm: Type: One-Shot [On] - userData: 0x0\n"
        "  Period: 250 milliseconds (0 sec : 250000000 nanosec): Timeouts: 0\n",
        entryState(7));
}

TEST_F(TimerEntryTest, ShowStateCutsLongLineAt99Characters) {
    RecordingClient client(std::string(200, 'x'));
    uint32_t timerId = startOneShot(250, &client);
    std::string lines = "\n[0] " + std::string(95, 'x') +
                        "  Period: 250 milliseconds (0 sec : 250000000 nanosec): Timeouts: 0\n";
    EXPECT_NE(std::string::npos, runCommand("tmgr-show-state").find(lines)) << timerId;
}

TEST_F(TimerEntryTest, ResetRearmsWithNewPeriodAndRejectsBadGranularity) {
    RecordingClient client;
    uint32_t timerId = startPeriodic(1000, &client);
    EXPECT_TRUE(manager().changeTimerPeriod(timerId, 2000, kMs));
    ASSERT_EQ(2u, fake.armingsOfTimer(timerId).size());
    EXPECT_EQ(2, fake.armingsOfTimer(timerId)[1].seconds);
    EXPECT_EQ(0, fake.armingsOfTimer(timerId)[1].nanoseconds);
    EXPECT_TRUE(log.contains(
        DBGLEVEL_DEBUG, "finish reset period(2000), timerGranularity(millisecondGranularity_c)"));

    EXPECT_TRUE(
        manager().changeTimerPeriod(timerId, 5, static_cast<TimerManager::TimerGranularity>(7)));
    EXPECT_EQ(2u, fake.armingsOfTimer(timerId).size());
    EXPECT_EQ(std::vector<std::string>{"wrong granularity type"}, log.texts(DBGLEVEL_CRITICAL));
    EXPECT_TRUE(log.contains(DBGLEVEL_DEBUG,
                             "finish reset period(5), timerGranularity(nanosecondGranularity_c)"));
    EXPECT_NE(std::string::npos, entryState(timerId).find("[Cancelled]"));
}

TEST_F(TimerEntryTest, DriverFailuresAreLoggedAndEntryKept) {
    RecordingClient client;
    uint32_t timerId = 0;
    fake.failNextCreate();
    startPeriodic(10, &client);
    fake.failNextArm();
    uint32_t unarmed = startPeriodic(10, &client);
    fake.failNextCreate();
    EXPECT_TRUE(manager().startPeriodicClockSyncTimer(timerId, 60, 0, &client, nullptr));
    uint32_t deleted = startOneShot(10, &client);
    fake.failNextDelete();
    ASSERT_TRUE(fireAndDeliver(deleted));
    // An entry whose driver timer was not created is still armed, and that arming fails.
    EXPECT_EQ((std::vector<std::string>{"ptimer_create failed", "ptimer_start_once failed",
                                        "ptimer_start_once failed", "clockSyncTimer_create failed",
                                        "ptimer_start_once failed", "ptimer_delete failed"}),
              log.texts(DBGLEVEL_CRITICAL));
    EXPECT_EQ(3, counters().currentEntries);
    EXPECT_NE(std::string::npos, entryState(unarmed).find("[Cancelled]"));
}

}  // namespace
}  // namespace test
}  // namespace cmn
