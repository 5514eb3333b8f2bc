// Restarting a timer (a period change, "tmgr-enable-timers") while an expiry of its earlier
// arming is already on its way: that expiry is dropped as stale, and the client is called one
// new period after the restart. On the fake driver the expiry is queued before the restart, or
// its callback finishes during the restart's arming, or the new arming fires at once; on the
// real driver it is queued.
#include <errno.h>
#include <poll.h>
#include <stdint.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "timerFixture.h"

namespace cmn {
namespace test {
namespace {

enum InFlight { queued_c, finishing_c, firedAtOnce_c };
enum Restart { changePeriod_c, enableTimers_c };

struct RestartCase {
    const char* name;
    bool periodic;
    InFlight inFlight;
    Restart restart;
};

void PrintTo(const RestartCase& restartCase, std::ostream* os) { *os << restartCase.name; }

class RestartTest : public TimerFixture, public ::testing::WithParamInterface<RestartCase> {};

TEST_P(RestartTest, ExpiryOfEarlierArmingIsDroppedAndNewArmingIsDelivered) {
    const RestartCase& c = GetParam();
    RecordingClient client;
    uint32_t timerId = c.periodic ? startPeriodic(1000, &client) : startOneShot(1000, &client);
    runCommand("tmgr-debug-enable");
    if (c.inFlight == queued_c) {
        ASSERT_TRUE(fake.fireTimer(timerId));
    } else if (c.inFlight == finishing_c) {
        fake.finishCallbackDuringNextArm();
    } else {
        fake.fireDuringNextArm();
    }
    if (c.restart == changePeriod_c) {
        EXPECT_TRUE(manager().changeTimerPeriod(timerId, 100, kMs));
    } else {
        runCommand("tmgr-disable-timers");
        runCommand("tmgr-enable-timers");
    }
    log.clear();
    EXPECT_EQ(1, drainReady());
    EXPECT_TRUE(client.calls.empty());
    EXPECT_EQ(std::vector<std::string>{"Stale timer time out, timerId 0"},
              log.texts(DBGLEVEL_INFO));
    ManagerCounters afterStale = counters();
    EXPECT_EQ(1, afterStale.timeoutCount);
    EXPECT_EQ(1, afterStale.zombieTimeouts);
    EXPECT_EQ(1, afterStale.currentEntries);
    // A count that moved during the arming parks the timer, counts again and re-arms it.
    std::vector<FakePtimers::Arming> armings = fake.armingsOfTimer(timerId);
    ASSERT_EQ(c.inFlight == queued_c ? 2u : 4u, armings.size());
    if (c.inFlight != queued_c) {
        EXPECT_EQ(UINT32_MAX, armings[2].seconds);
    }
    const int64_t newNanoseconds = c.restart == changePeriod_c ? 100000000 : 0;
    EXPECT_EQ(newNanoseconds, armings.back().nanoseconds);
    ASSERT_TRUE(fireAndDeliver(timerId));
    EXPECT_EQ(std::vector<uint32_t>{timerId}, client.ids());
    EXPECT_EQ(c.periodic ? 1 : 0, counters().currentEntries);
}

INSTANTIATE_TEST_SUITE_P(
    Restarts, RestartTest,
    ::testing::Values(
        RestartCase{"OneShotQueuedChangePeriod", false, queued_c, changePeriod_c},
        RestartCase{"PeriodicQueuedChangePeriod", true, queued_c, changePeriod_c},
        RestartCase{"PeriodicQueuedEnable", true, queued_c, enableTimers_c},
        RestartCase{"OneShotFinishingChangePeriod", false, finishing_c, changePeriod_c},
        RestartCase{"PeriodicFinishingEnable", true, finishing_c, enableTimers_c},
        RestartCase{"PeriodicFiredAtOnceChangePeriod", true, firedAtOnce_c, changePeriod_c}),
    [](const ::testing::TestParamInfo<RestartCase>& info) { return info.param.name; });

using StaleExpiryTest = TimerFixture;

// The simulated expiry is delivered at once and re-arms the timer, so the real one that was
// queued meanwhile is stale. The re-arming after a delivery has no earlier expiry outstanding:
// if it fires before the arming returns, that is a fresh expiry and is delivered. A restart
// after those deliveries counts only the one expiry still queued as stale.
TEST_F(StaleExpiryTest, SimulatedTimeoutDeliversAtOnceAndMakesTheQueuedExpiryStale) {
    RecordingClient client;
    uint32_t timerId = startPeriodic(1000, &client);
    runCommand("tmgr-debug-enable");
    ASSERT_TRUE(fake.fireTimer(timerId));
    bool result = false;
    runCommand("tmgr-simulate-timeout 0", &result);
    EXPECT_TRUE(result);
    EXPECT_EQ(std::vector<uint32_t>{timerId}, client.ids());
    drainReady();
    EXPECT_EQ(1u, client.calls.size());
    EXPECT_EQ(1, counters().zombieTimeouts);
    ASSERT_TRUE(fireAndDeliver(timerId));
    fake.fireDuringNextArm();  // the re-arming of the next delivery fires at once
    ASSERT_TRUE(fireAndDeliver(timerId));
    EXPECT_EQ(4u, client.calls.size());
    EXPECT_EQ(1, counters().zombieTimeouts);
    EXPECT_EQ(5u, fake.armingsOfTimer(timerId).size());  // start and four re-armings: no parking
    ASSERT_TRUE(fake.fireTimer(timerId));
    EXPECT_TRUE(manager().changeTimerPeriod(timerId, 500, kMs));
    ASSERT_TRUE(fireAndDeliver(timerId));
    EXPECT_EQ(5u, client.calls.size());
    EXPECT_EQ(2, counters().zombieTimeouts);
}

// Only the current arming's expiry may remove a cancelled entry: a stale one before it must not,
// or that expiry would later find the id free, or reused by another timer.
TEST_F(StaleExpiryTest, StaleExpiryOfCancelledTimerLeavesItForItsCurrentArming) {
    RecordingClient client;
    uint32_t timerId = startOneShot(1000, &client);
    ASSERT_TRUE(fake.fireTimer(timerId));
    manager().changeTimerPeriod(timerId, 200, kMs);
    manager().cancelTimer(timerId, false);
    drainReady();
    EXPECT_EQ(1, counters().currentEntries);
    ASSERT_TRUE(fireAndDeliver(timerId));
    EXPECT_EQ(0, counters().currentEntries);
    EXPECT_EQ((std::vector<std::string>{"Stale timer time out, timerId 0",
                                        "Not running timer time out, timerId 0"}),
              log.texts(DBGLEVEL_INFO));
    EXPECT_TRUE(log.texts(DBGLEVEL_CRITICAL).empty());
    EXPECT_TRUE(client.calls.empty());
}

using Clock = std::chrono::steady_clock;

// The watchdog pattern on the real driver: the timer's expiry is already queued when the
// period change (the kick) comes, and the client must not hear of it until one new period
// later.
class RestartRealDriverTest : public ::testing::Test {
protected:
    void TearDown() override {
        SingletonPerThread<TimerManager>::deleteInstance();
        EXPECT_FALSE(pathExists(callbackSocketPathOfThisThread()));
    }
    ScopedLogCapture log_m;
};

class RestartKickTest : public RestartRealDriverTest, public ::testing::WithParamInterface<bool> {};

TEST_P(RestartKickTest, KickWithExpiryQueuedFiresOneNewPeriodLater) {
    RecordingClient client;
    std::vector<Clock::time_point> at;
    client.onExpiry = [&](uint32_t) { at.push_back(Clock::now()); };
    uint32_t timerId = 0;
    ASSERT_TRUE(GetParam() ? manager().startPeriodicTimer(timerId, 1, &client, nullptr, kMs)
                           : manager().startOneShotTimer(timerId, 1, &client, nullptr, kMs));
    pollfd readable = {manager().getCbSocket(), POLLIN, 0};
    ASSERT_EQ(1, poll(&readable, 1, 30000));  // queued, not read
    const Clock::time_point kick = Clock::now();
    ASSERT_TRUE(manager().changeTimerPeriod(timerId, 100, kMs));
    ASSERT_TRUE(runUntil([&] { return !at.empty(); }, 30000));
    EXPECT_GE(at[0] - kick, std::chrono::milliseconds(100));
    EXPECT_EQ(1, counters().zombieTimeouts);
}

INSTANTIATE_TEST_SUITE_P(Kinds, RestartKickTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "Periodic" : "OneShot";
                         });

// Whether the manager's own socket can take no more datagrams: a probe that it does take names
// no timer and is reported when read.
bool callbackSocketIsFull() {
    const uint32_t noTimer = UINT32_MAX;
    sockaddr_un destination = manager().getCbAddress();
    return sendto(manager().getCbSocket(), &noTimer, sizeof(noTimer), MSG_DONTWAIT,
                  reinterpret_cast<const sockaddr*>(&destination), sizeof(destination)) == -1 &&
           errno == EAGAIN;
}

// With the socket full, expiries are queued, a callback is blocked in its send and the rest are
// pending when every timer is kicked: the queued ones are stale, the blocked send is interrupted
// and the pending ones replaced, so each timer is delivered once, one new period after its kick.
TEST_F(RestartRealDriverTest, KickWithCallbackSocketFullDeliversEachTimerOnceOnePeriodLater) {
    const uint32_t timers = 600;  // more than the socket holds
    RecordingClient client;
    std::vector<Clock::time_point> kicks(timers);
    std::vector<Clock::duration> sinceKick;
    client.onExpiry = [&](uint32_t timerId) { sinceKick.push_back(Clock::now() - kicks[timerId]); };
    for (uint32_t expected = 0; expected < timers; ++expected) {
        uint32_t timerId = 0;
        ASSERT_TRUE(manager().startOneShotTimer(timerId, 0, &client, nullptr, kMs));
        ASSERT_EQ(expected, timerId);
    }
    const Clock::time_point giveUp = Clock::now() + std::chrono::seconds(30);
    while (!callbackSocketIsFull() && Clock::now() < giveUp) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    for (uint32_t timerId = 0; timerId < timers; ++timerId) {
        kicks[timerId] = Clock::now();
        ASSERT_TRUE(manager().changeTimerPeriod(timerId, 100, kMs));
    }
    ASSERT_TRUE(runUntil([&] { return client.calls.size() >= timers; }, 20000));
    drainReady();
    std::vector<uint32_t> ids = client.ids();
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(timers, std::unique(ids.begin(), ids.end()) - ids.begin());
    EXPECT_EQ(timers, ids.size());
    for (const Clock::duration& delay : sinceKick) {
        ASSERT_GE(delay, std::chrono::milliseconds(100));
    }
    EXPECT_GT(counters().zombieTimeouts, 0);
}

}  // namespace
}  // namespace test
}  // namespace cmn
