// Bursts and back-pressure on the real driver: ten thousand one-shot clock-sync timers armed for
// the next whole second, while the loop reads nothing, fall due together. The callback socket
// holds a few hundred datagrams, so the driver's sends block until the loop reads; every expiry
// must still arrive exactly once.
//
// On a loaded machine the arming may outlast that second: the timers armed after the boundary
// fall due one second later. Nothing here depends on it; the loop still reads nothing until the
// whole burst is armed, so far more expiries are due than the socket holds.
#include <chrono>
#include <set>
#include <string>
#include <thread>

#include "realDriverTest.h"
#include "syscallFaults.h"

namespace cmn::test {
namespace {

const uint32_t kBurst = 10000;

// Sleeps until a few milliseconds past the next whole second of the wall clock.
void sleepPastWholeSecond() {
    const std::chrono::nanoseconds sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
    std::this_thread::sleep_for(std::chrono::milliseconds(1005) -
                                sinceEpoch % std::chrono::seconds(1));
}

// Starts the burst a few milliseconds after a whole second, so that on a quiet machine all of it
// shares one deadline.
void armBurst(RecordingClient& client_r) {
    sleepPastWholeSecond();
    for (uint32_t i = 0; i < kBurst; ++i) {
        uint32_t timerId = 0;
        ASSERT_TRUE(manager().startOneShotClockSyncTimer(timerId, 1, 0, &client_r, nullptr));
    }
}

// Waits, without reading, until the driver found the socket full and blocked in a send since
// `before_r` was taken (during the arming, perhaps).
void waitForBlockedSend(const SendCounts& before_r) {
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::milliseconds(kNeverMs);
    while (sendCounts().blocked == before_r.blocked) {
        ASSERT_LT(std::chrono::steady_clock::now(), giveUp) << "the driver's send never blocked";
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

// Reads until every timer of the burst has been delivered and removed; expects each delivered
// exactly once.
void expectEachDeliveredOnce(RecordingClient& client_r) {
    ASSERT_TRUE(runUntil([&] { return client_r.calls.size() >= kBurst; }, kNeverMs));
    ASSERT_TRUE(runUntil([] { return counters().currentEntries == 0; }, kNeverMs));
    drainReady();
    const std::vector<uint32_t> ids = client_r.ids();
    EXPECT_EQ(kBurst, std::set<uint32_t>(ids.begin(), ids.end()).size());
    EXPECT_EQ(kBurst, client_r.calls.size()) << "some timer was delivered twice";
}

class BurstTest : public RealDriverTest {
protected:
    void SetUp() override {
        manager();
        takeSyslogLines();
        before_m = sendCounts();
    }
    RecordingClient client_m;
    SendCounts before_m = {};
};

// Every expiry is sent once: none lost, none repeated, no failure reported.
TEST_F(BurstTest, TenThousandDueTogetherArriveExactlyOnce) {
    ASSERT_NO_FATAL_FAILURE(armBurst(client_m));
    ASSERT_NO_FATAL_FAILURE(waitForBlockedSend(before_m));
    ASSERT_NO_FATAL_FAILURE(expectEachDeliveredOnce(client_m));
    EXPECT_EQ(before_m.failed, sendCounts().failed);
    EXPECT_EQ(kBurst, sendCounts().sent - before_m.sent);
    EXPECT_TRUE(takeSyslogLines().empty());
}

// Enabling restarts every timer, so the datagrams already sent are stale then; only the client
// calls are counted.
TEST_F(BurstTest, BurstWhileDisabledArrivesExactlyOnceAfterEnable) {
    ASSERT_NO_FATAL_FAILURE(armBurst(client_m));
    runCommand("tmgr-debug-enable");
    EXPECT_EQ("Timers are disabled\n", runCommand("tmgr-disable-timers"));
    ASSERT_NO_FATAL_FAILURE(waitForBlockedSend(before_m));
    runUntil([] { return false; }, 100);  // rounds that must deliver nothing
    EXPECT_TRUE(client_m.calls.empty());
    EXPECT_EQ("Timers are enabled\n", runCommand("tmgr-enable-timers"));
    expectEachDeliveredOnce(client_m);
}

// Destroying the manager must not wait for the loop to read: the blocked send is interrupted. A
// destructor that waited would never return, as this thread is the loop.
TEST_F(BurstTest, ManagerDestroyedMidBurstReturns) {
    ASSERT_NO_FATAL_FAILURE(armBurst(client_m));
    ASSERT_NO_FATAL_FAILURE(waitForBlockedSend(before_m));
    ASSERT_TRUE(runUntil([&] { return client_m.calls.size() >= 1000; }, kNeverMs));
    const auto start = std::chrono::steady_clock::now();
    SingletonPerThread<TimerManager>::deleteInstance();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(kNeverMs));
    EXPECT_FALSE(pathExists(callbackSocketPathOfThisThread()));
    // At most the one send that was blocked when the driver stopped is interrupted and lost.
    EXPECT_LE(sendCounts().failed - before_m.failed, 1);
    EXPECT_LT(client_m.calls.size(), kBurst);
}

}  // namespace
}  // namespace cmn::test
