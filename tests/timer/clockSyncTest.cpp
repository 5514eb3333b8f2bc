// Clock-synchronised timers: the allowed periods, the boundary arithmetic on a settable wall
// clock, period changes and the boundary test.
#include <sys/time.h>

#include <deque>
#include <map>
#include <string>
#include <vector>

#include "timerFixture.h"

namespace {

// 2024-01-01 00:00:00 UTC and some times of that day.
const long kDay = 1704067200;
const long k100730 = kDay + 10 * 3600 + 7 * 60 + 30;
const long k1015 = kDay + 10 * 3600 + 15 * 60;
const long k1030 = k1015 + 900;
const long k1045 = k1030 + 900;

// The wall clock the library reads: the scripted readings first, then the fixed time.
std::deque<timeval> scriptedReadings;
timeval fixedTime = {k100730, 250000};

}  // namespace

extern "C" int gettimeofday(struct timeval* __restrict tv, void* __restrict /*tz*/) __THROW {
    *tv = scriptedReadings.empty() ? fixedTime : scriptedReadings.front();
    if (!scriptedReadings.empty()) {
        scriptedReadings.pop_front();
    }
    return 0;
}

namespace cmn {
namespace test {
namespace {

class ClockSyncTest : public TimerFixture {
protected:
    uint32_t startClockSync(bool periodic, uint32_t seconds, uint32_t boundary) {
        uint32_t timerId = 0;
        EXPECT_TRUE(periodic ? manager().startPeriodicClockSyncTimer(timerId, seconds, boundary,
                                                                     &client_m, nullptr)
                             : manager().startOneShotClockSyncTimer(timerId, seconds, boundary,
                                                                    &client_m, nullptr));
        return timerId;
    }
    // The absolute time of the timer's last arming; -1 when it was not an absolute second.
    int64_t lastArmedSeconds(uint32_t timerId) {
        std::vector<FakePtimers::Arming> armings = fake.armingsOfTimer(timerId);
        bool absolute = !armings.empty() && armings.back().absolute;
        return absolute && armings.back().nanoseconds == 0 ? armings.back().seconds : -1;
    }
    RecordingClient client_m;
};

// Even periods go to the one-shot start, odd ones to the periodic start.
TEST_F(ClockSyncTest, AcceptsExactlyTheTwentyNineGridPeriodsAndLogsWhyOthersFail) {
    const std::string invalid =
        "Error! Invalid period received for clock sync timer!\nperiod length = <";
    std::map<uint32_t, std::vector<std::string>> reasons = {
        {0, {"syncPeriodInSeconds is zero.", invalid + "0sec>"}},
        {7, {invalid + "7sec>"}},
        {86400,
         {"FAILED: Periods over one day are not supported.\nperiod length = <86400sec> ",
          invalid + "86400sec>"}}};
    std::vector<uint32_t> accepted;
    for (uint32_t period = 0; period <= 100000; ++period) {
        log.clear();
        uint32_t timerId = 4242;
        if (period % 2 == 0
                ? manager().startOneShotClockSyncTimer(timerId, period, 0, &client_m, nullptr)
                : manager().startPeriodicClockSyncTimer(timerId, period, 0, &client_m, nullptr)) {
            accepted.push_back(period);
        } else {
            EXPECT_EQ(4242u, timerId) << period;
        }
        if (reasons.count(period) > 0) {
            EXPECT_EQ(reasons[period], log.texts(DBGLEVEL_CRITICAL));
        }
    }
    EXPECT_EQ((std::vector<uint32_t>{1,    2,    3,    4,    5,     6,     10,    12,    15,   20,
                                     30,   60,   120,  180,  240,   300,   360,   600,   720,  900,
                                     1200, 1800, 3600, 7200, 10800, 14400, 21600, 28800, 43200}),
              accepted);
    EXPECT_TRUE(log.contains(DBGLEVEL_DEBUG,
                             "timerId_r(4242), syncPeriodInSeconds(100000), "
                             "syncBoundaryInMilliseconds(0)"));
    EXPECT_EQ(29u, startClockSync(true, 60, 0));  // the refusals allocated no id
}

TEST_F(ClockSyncTest, ArmsTheNextBoundaryUnlessNearerThanTheLeadTime) {
    // The remaining time is 449750 ms at 10:07:30.250, and 900000 ms, then 899999 ms, at 10:15.
    const struct {
        timeval reading;
        uint32_t boundary;
        long armed;
    } examples[] = {{{k100730, 250000}, 0, k1015},      {{k100730, 250000}, 449750, k1015},
                    {{k100730, 250000}, 449751, k1030}, {{k1015, 0}, 0, k1030},
                    {{k1015, 999}, 900000, k1030},      {{k1015, 1000}, 900000, k1045}};
    for (const auto& example : examples) {
        fixedTime = example.reading;
        EXPECT_EQ(example.armed, lastArmedSeconds(startClockSync(false, 900, example.boundary)))
            << example.reading.tv_sec << "." << example.reading.tv_usec << " " << example.boundary;
    }
}

TEST_F(ClockSyncTest, PeriodicRearmSkipsBoundaryNearerThanLeadTime) {
    uint32_t plain = startClockSync(true, 900, 0);
    uint32_t lead = startClockSync(true, 900, 899981);
    fixedTime = timeval{k1015, 20000};
    ASSERT_TRUE(fireAndDeliver(plain));
    ASSERT_TRUE(fireAndDeliver(lead));
    EXPECT_EQ(k1030, lastArmedSeconds(plain));
    EXPECT_EQ(k1045, lastArmedSeconds(lead));
    EXPECT_EQ(2u, client_m.calls.size());
}

TEST_F(ClockSyncTest, BoundaryPassingBetweenReadingsArmsThePassedBoundary) {
    scriptedReadings = {timeval{k1015 - 1, 999999}, timeval{k1015, 0}};
    uint32_t timerId = startClockSync(false, 900, 1000);
    EXPECT_TRUE(scriptedReadings.empty());
    EXPECT_EQ(k1015, lastArmedSeconds(timerId));
}

TEST_F(ClockSyncTest, PeriodChangeIsNotCheckedAgainstTheGridButCancelsBadPeriods) {
    uint32_t tooShort = startClockSync(true, 60, 0);
    uint32_t nanoseconds = startClockSync(true, 60, 0);
    EXPECT_TRUE(manager().changeTimerPeriod(tooShort, 500, kMs));
    EXPECT_TRUE(manager().changeTimerPeriod(nanoseconds, 60000, kNs));
    EXPECT_EQ((std::vector<std::string>{
                  "The period must be equal or greater than 1 second.",
                  "Error!Nanosecond Granularity not supported by clock sync timer!"}),
              log.texts(DBGLEVEL_CRITICAL));
    for (uint32_t timerId : {tooShort, nanoseconds}) {
        EXPECT_EQ(1u, fake.armingsOfTimer(timerId).size());
        EXPECT_NE(std::string::npos, entryState(timerId).find("[Cancelled]"));
    }
}

TEST_F(ClockSyncTest, CurrentTimeSyncedForWholeBoundarySecond) {
    fixedTime = timeval{k1015, 999999};
    EXPECT_TRUE(manager().isCurrentTimeSyncedToInterval(900));
    fixedTime = timeval{k1015 + 1, 0};
    EXPECT_FALSE(manager().isCurrentTimeSyncedToInterval(60));
    EXPECT_FALSE(manager().isCurrentTimeSyncedToInterval(0));
    EXPECT_EQ(std::vector<std::string>{"intervalInSeconds is zero."}, log.texts(DBGLEVEL_CRITICAL));
}

}  // namespace
}  // namespace test
}  // namespace cmn
