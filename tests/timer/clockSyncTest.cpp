// Clock-synchronised timers: the allowed periods, the boundary arithmetic on a settable wall
// clock, period changes and the boundary test.
#include <sys/time.h>
#include <time.h>

#include <deque>
#include <string>
#include <vector>

#include "timerFixture.h"

namespace {

// The wall clock the library reads: scripted readings first, then the fixed time, else the
// real clock.
std::deque<timeval> scriptedReadings;
bool fixedTimeSet = false;
timeval fixedTime;

}  // namespace

extern "C" int gettimeofday(struct timeval* __restrict tv, void* __restrict /*tz*/) __THROW {
    if (!scriptedReadings.empty()) {
        *tv = scriptedReadings.front();
        scriptedReadings.pop_front();
        return 0;
    }
    if (fixedTimeSet) {
        *tv = fixedTime;
        return 0;
    }
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    tv->tv_sec = now.tv_sec;
    tv->tv_usec = now.tv_nsec / 1000;
    return 0;
}

namespace cmn {
namespace test {
namespace {

// 2024-01-01 00:00:00 UTC and some times of that day.
const long kDay = 1704067200;
const long k100730 = kDay + 10 * 3600 + 7 * 60 + 30;
const long k1015 = kDay + 10 * 3600 + 15 * 60;
const long k1030 = k1015 + 900;
const long k1045 = k1030 + 900;

void setClock(long seconds, long microseconds) {
    fixedTimeSet = true;
    fixedTime.tv_sec = seconds;
    fixedTime.tv_usec = microseconds;
}

class ClockSyncTest : public TimerFixture {
protected:
    void SetUp() override {
        setClock(k100730, 250000);
        TimerFixture::SetUp();
    }
    void TearDown() override {
        TimerFixture::TearDown();
        fixedTimeSet = false;
        scriptedReadings.clear();
    }
    uint32_t startClockSync(bool periodic, uint32_t seconds, uint32_t boundary) {
        uint32_t timerId = 0;
        bool started = periodic ? manager().startPeriodicClockSyncTimer(timerId, seconds, boundary,
                                                                        &client_m, nullptr)
                                : manager().startOneShotClockSyncTimer(timerId, seconds, boundary,
                                                                       &client_m, nullptr);
        EXPECT_TRUE(started);
        return timerId;
    }
    int64_t lastArmedSeconds(uint32_t timerId) {
        std::vector<FakePtimers::Arming> armings = fake.armingsOfTimer(timerId);
        EXPECT_FALSE(armings.empty());
        if (armings.empty()) {
            return -1;
        }
        EXPECT_TRUE(armings.back().absolute);
        EXPECT_EQ(0, armings.back().nanoseconds);
        return armings.back().seconds;
    }
    RecordingClient client_m;
};

TEST_F(ClockSyncTest, AcceptsExactlyTheTwentyNineGridPeriods) {
    setManagerLevel(DBGLEVEL_INFO);
    std::vector<uint32_t> accepted;
    for (uint32_t period = 0; period <= 100000; ++period) {
        uint32_t timerId = 0;
        if (manager().startOneShotClockSyncTimer(timerId, period, 0, &client_m, nullptr)) {
            accepted.push_back(period);
        }
    }
    EXPECT_EQ((std::vector<uint32_t>{1,    2,    3,    4,    5,     6,     10,    12,    15,   20,
                                     30,   60,   120,  180,  240,   300,   360,   600,   720,  900,
                                     1200, 1800, 3600, 7200, 10800, 14400, 21600, 28800, 43200}),
              accepted);
}

struct RefusedCase {
    uint32_t period;
    std::vector<std::string> critical;
};

class ClockSyncRefusalTest : public ClockSyncTest,
                             public ::testing::WithParamInterface<RefusedCase> {};

TEST_P(ClockSyncRefusalTest, RefusesWithoutAllocating) {
    for (bool periodic : {false, true}) {
        log.clear();
        uint32_t timerId = 4242;
        uint32_t period = GetParam().period;
        EXPECT_FALSE(
            periodic
                ? manager().startPeriodicClockSyncTimer(timerId, period, 0, &client_m, nullptr)
                : manager().startOneShotClockSyncTimer(timerId, period, 0, &client_m, nullptr));
        EXPECT_EQ(4242u, timerId);
        EXPECT_EQ(GetParam().critical, log.texts(DBGLEVEL_CRITICAL));
        EXPECT_TRUE(log.contains(DBGLEVEL_DEBUG, "timerId_r(4242), syncPeriodInSeconds(" +
                                                     std::to_string(period) +
                                                     "), syncBoundaryInMilliseconds(0)"));
    }
    EXPECT_TRUE(fake.creations().empty());
    EXPECT_EQ(0, counters().totalUsers);
}

std::string invalid(uint32_t period) {
    return "Error! Invalid period received for clock sync timer!\nperiod length = <" +
           std::to_string(period) + "sec>";
}
std::string overOneDay(uint32_t period) {
    return "FAILED: Periods over one day are not supported.\nperiod length = <" +
           std::to_string(period) + "sec> ";
}

INSTANTIATE_TEST_SUITE_P(
    Periods, ClockSyncRefusalTest,
    ::testing::Values(RefusedCase{0, {"syncPeriodInSeconds is zero.", invalid(0)}},
                      RefusedCase{7, {invalid(7)}}, RefusedCase{45, {invalid(45)}},
                      RefusedCase{90, {invalid(90)}}, RefusedCase{5400, {invalid(5400)}},
                      RefusedCase{50400, {invalid(50400)}},
                      RefusedCase{86400, {overOneDay(86400), invalid(86400)}},
                      RefusedCase{100000, {overOneDay(100000), invalid(100000)}}));

struct WorkedExample {
    long seconds;
    long microseconds;
    uint32_t boundary;
    uint32_t remaining;
    long armed;
};

class ClockSyncExampleTest : public ClockSyncTest,
                             public ::testing::WithParamInterface<WorkedExample> {};

TEST_P(ClockSyncExampleTest, ArmsAbsoluteBoundary) {
    const WorkedExample& example = GetParam();
    setClock(example.seconds, example.microseconds);
    uint32_t timerId = startClockSync(false, 900, example.boundary);
    ASSERT_EQ(1u, fake.creations().size());
    EXPECT_TRUE(fake.creations()[0].absolute);
    EXPECT_EQ(example.armed, lastArmedSeconds(timerId));
    EXPECT_TRUE(log.contains(DBGLEVEL_DEBUG,
                             "get remaining milliseconds in period successful : "
                             "periodInMilliseconds(900000), millisecondsRemainingInPeriod_r(" +
                                 std::to_string(example.remaining) + ")"));
    EXPECT_EQ(
        "[0] client: Type: One-Shot - clock-sync [On] - userData: 0x0\n"
        "  Period: 900000 milliseconds (" +
            std::to_string(example.armed) + " sec : 0 nanosec): Timeouts: 0\n",
        entryState(timerId));
}

INSTANTIATE_TEST_SUITE_P(Readings, ClockSyncExampleTest,
                         ::testing::Values(WorkedExample{k100730, 250000, 0, 449750, k1015},
                                           WorkedExample{k100730, 250000, 449750, 449750, k1015},
                                           WorkedExample{k100730, 250000, 449751, 449750, k1030},
                                           WorkedExample{k1015, 0, 0, 900000, k1030},
                                           WorkedExample{k1015, 999, 900000, 900000, k1030},
                                           WorkedExample{k1015, 1000, 900000, 899999, k1045}));

TEST_F(ClockSyncTest, PeriodicRearmSkipsBoundaryNearerThanLeadTime) {
    uint32_t plain = startClockSync(true, 900, 0);
    uint32_t lead = startClockSync(true, 900, 899981);
    EXPECT_EQ(k1015, lastArmedSeconds(plain));
    EXPECT_EQ(k1030, lastArmedSeconds(lead));
    setClock(k1015, 20000);
    ASSERT_TRUE(fireAndDeliver(plain));
    ASSERT_TRUE(fireAndDeliver(lead));
    EXPECT_EQ(k1030, lastArmedSeconds(plain));
    EXPECT_EQ(k1045, lastArmedSeconds(lead));
    EXPECT_EQ(2u, client_m.calls.size());
}

TEST_F(ClockSyncTest, BoundaryPassingBetweenReadingsArmsThePassedBoundary) {
    setClock(k1015, 500000);  // any later reading
    scriptedReadings.push_back(timeval{k1015 - 1, 999999});
    scriptedReadings.push_back(timeval{k1015, 0});
    uint32_t timerId = startClockSync(false, 900, 1000);
    EXPECT_TRUE(scriptedReadings.empty());
    EXPECT_EQ(k1015, lastArmedSeconds(timerId));
}

struct ResetCase {
    uint32_t period;
    TimerManager::TimerGranularity granularity;
    std::string critical;
};

class ClockSyncResetTest : public ClockSyncTest, public ::testing::WithParamInterface<ResetCase> {};

TEST_P(ClockSyncResetTest, ChangeOfPeriodIsNotCheckedAgainstGrid) {
    uint32_t timerId = startClockSync(true, 60, 0);
    EXPECT_TRUE(manager().changeTimerPeriod(timerId, GetParam().period, GetParam().granularity));
    if (GetParam().critical.empty()) {
        EXPECT_TRUE(log.texts(DBGLEVEL_CRITICAL).empty());
        EXPECT_EQ(2u, fake.armingsOfTimer(timerId).size());
        EXPECT_EQ(k100730 + 1, lastArmedSeconds(timerId));
    } else {
        EXPECT_EQ(std::vector<std::string>{GetParam().critical}, log.texts(DBGLEVEL_CRITICAL));
        EXPECT_EQ(1u, fake.armingsOfTimer(timerId).size());
        EXPECT_NE(std::string::npos, entryState(timerId).find("[Cancelled]"));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Periods, ClockSyncResetTest,
    ::testing::Values(
        ResetCase{1500, kMs, ""},
        ResetCase{500, kMs, "The period must be equal or greater than 1 second."},
        ResetCase{60000, kNs, "Error!Nanosecond Granularity not supported by clock sync timer!"}));

TEST_F(ClockSyncTest, CurrentTimeSyncedForWholeBoundarySecond) {
    const long minute = k100730 + 30;
    struct {
        long seconds;
        long microseconds;
        uint16_t interval;
        bool synced;
    } cases[] = {{minute, 0, 60, true},
                 {minute, 999999, 60, true},
                 {minute + 1, 0, 60, false},
                 {k1015, 500000, 900, true},
                 {k1015 + 60, 0, 900, false},
                 {k1015 + 60, 0, 65535, false},
                 {kDay, 0, 65535, kDay % 65535 == 0}};
    for (const auto& c : cases) {
        setClock(c.seconds, c.microseconds);
        EXPECT_EQ(c.synced, manager().isCurrentTimeSyncedToInterval(c.interval))
            << c.seconds << "." << c.microseconds << " / " << c.interval;
    }
    EXPECT_TRUE(log.texts(DBGLEVEL_CRITICAL).empty());
    EXPECT_FALSE(manager().isCurrentTimeSyncedToInterval(0));
    EXPECT_EQ(std::vector<std::string>{"intervalInSeconds is zero."}, log.texts(DBGLEVEL_CRITICAL));
}

}  // namespace
}  // namespace test
}  // namespace cmn
