// Bursts and back-pressure on the real driver: ten thousand one-shot timers armed for the same
// wall-clock second expire together. The callback socket holds a few hundred datagrams, so the
// driver's sends block until the loop reads; every expiry must still arrive exactly once.
#include <time.h>

#include <chrono>
#include <set>
#include <string>
#include <thread>

#include "realDriverTest.h"
#include "syscallFaults.h"

namespace cmn::test {
namespace {

const uint32_t kBurst = 10000;
const int kBudgetMs = 60000;

// Arms the burst on the next whole second, a few milliseconds after the one now begun.
void armBurst(RecordingClient& client_r) {
    manager();
    takeSyslogLines();
    sleepPastWholeSecond();
    const time_t second = time(nullptr);
    for (uint32_t i = 0; i < kBurst; ++i) {
        uint32_t timerId = 0;
        ASSERT_TRUE(manager().startOneShotClockSyncTimer(timerId, 1, 0, &client_r, nullptr));
    }
    ASSERT_EQ(second, time(nullptr)) << "the burst was not armed within one second";
}

// Waits, without reading, until the driver found the socket full and blocked in its send.
void waitForBlockedSend(const SendCounts& before_r) {
    for (int waitedMs = 0; sendCounts().blocked == before_r.blocked; waitedMs += 5) {
        ASSERT_LT(waitedMs, kBudgetMs) << "the driver's send never blocked";
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

// Every expiry of the burst arrives exactly once; with `disabled`, timers are disabled while the
// burst falls due and enabled afterwards.
void expectBurstDeliveredOnce(bool disabled) {
    RecordingClient client;
    ASSERT_NO_FATAL_FAILURE(armBurst(client));
    const SendCounts before = sendCounts();
    if (disabled) {
        runCommand("tmgr-debug-enable");
        EXPECT_EQ("Timers are disabled\n", runCommand("tmgr-disable-timers"));
    }
    ASSERT_NO_FATAL_FAILURE(waitForBlockedSend(before));
    if (disabled) {
        runUntil([] { return false; }, 100);  // rounds that must deliver nothing
        EXPECT_TRUE(client.calls.empty());
        EXPECT_EQ("Timers are enabled\n", runCommand("tmgr-enable-timers"));
    }
    ASSERT_TRUE(runUntil([&] { return client.calls.size() >= kBurst; }, kBudgetMs));
    ASSERT_TRUE(runUntil([] { return counters().currentEntries == 0; }, kBudgetMs));
    drainReady();
    const std::vector<uint32_t> ids = client.ids();
    EXPECT_EQ(kBurst, std::set<uint32_t>(ids.begin(), ids.end()).size());
    EXPECT_EQ(kBurst, client.calls.size()) << "some timer was delivered twice";
    EXPECT_EQ(before.failed, sendCounts().failed);
    EXPECT_EQ(kBurst, sendCounts().sent - before.sent);
    EXPECT_TRUE(takeSyslogLines().empty());
}

using BurstTest = RealDriverTest;

TEST_F(BurstTest, TenThousandInOneMillisecondArriveExactlyOnce) { expectBurstDeliveredOnce(false); }

TEST_F(BurstTest, BurstWhileDisabledArrivesExactlyOnceAfterEnable) {
    expectBurstDeliveredOnce(true);
}

TEST_F(BurstTest, ManagerDestroyedMidBurstReturnsPromptly) {
    RecordingClient client;
    ASSERT_NO_FATAL_FAILURE(armBurst(client));
    const SendCounts before = sendCounts();
    ASSERT_NO_FATAL_FAILURE(waitForBlockedSend(before));
    ASSERT_TRUE(runUntil([&] { return client.calls.size() >= 1000; }, kBudgetMs));
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    SingletonPerThread<TimerManager>::deleteInstance();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_FALSE(pathExists(callbackSocketPathOfThisThread()));
    // At most the one send that was blocked when the driver stopped is interrupted and lost.
    EXPECT_LE(sendCounts().failed - before.failed, 1);
    EXPECT_LT(client.calls.size(), kBurst);
}

}  // namespace
}  // namespace cmn::test
