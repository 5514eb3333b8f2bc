// Bursts and back-pressure on the real driver: ten thousand one-shot timers armed for the same
// wall-clock second expire together. The callback socket holds a few hundred datagrams, so the
// driver's sends block until the loop reads; every expiry must still arrive exactly once.
#include <time.h>

#include <chrono>
#include <iostream>
#include <map>
#include <set>
#include <string>
#include <thread>

#include "syscallFaults.h"
#include "timerFixture.h"

namespace cmn {
namespace test {
namespace {

const uint32_t kBurst = 10000;
const int kBudgetMs = 60000;

// Sleeps until a few milliseconds past the next whole second of the wall clock, so that a burst
// started now has most of a second before its boundary.
void sleepPastWholeSecond() {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    timespec pause;
    pause.tv_sec = 0;
    pause.tv_nsec = 1000000000L - now.tv_nsec + 5000000L;
    if (pause.tv_nsec >= 1000000000L) {
        pause.tv_sec = 1;
        pause.tv_nsec -= 1000000000L;
    }
    nanosleep(&pause, nullptr);
}

// The armed second of every clock-sync entry in "tmgr-show-state".
std::set<long> armedSeconds() {
    std::set<long> seconds;
    std::string text = runCommand("tmgr-show-state");
    for (size_t pos = text.find("milliseconds ("); pos != std::string::npos;
         pos = text.find("milliseconds (", pos + 1)) {
        seconds.insert(atol(text.c_str() + pos + 14));
    }
    return seconds;
}

class BurstTest : public ::testing::Test {
protected:
    void SetUp() override {
        socketPath_m = callbackSocketPathOfThisThread();
        takeSyslogLines();
    }
    void TearDown() override {
        SingletonPerThread<TimerManager>::deleteInstance();
        EXPECT_FALSE(pathExists(socketPath_m));
    }

    // Starts the burst: one-shot timers on the next whole second, all armed before it.
    void startBurst() {
        manager();
        sleepPastWholeSecond();
        for (uint32_t i = 0; i < kBurst; ++i) {
            uint32_t timerId = 0;
            ASSERT_TRUE(manager().startOneShotClockSyncTimer(timerId, 1, 0, &client_m, nullptr));
        }
        ASSERT_EQ(1u, armedSeconds().size()) << "the burst was not armed for one second";
        sendsBefore_m = sendCounts();
    }
    // Waits, without reading, until the driver found the socket full and blocked in its send.
    bool waitForBlockedSend() {
        std::chrono::steady_clock::time_point deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(kBudgetMs);
        while (sendCounts().blocked == sendsBefore_m.blocked) {
            if (std::chrono::steady_clock::now() >= deadline) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        std::cout << "[ burst    ] the socket held " << sendCounts().sent - sendsBefore_m.sent
                  << " datagrams when the driver's send blocked" << std::endl;
        return true;
    }
    void expectEachDeliveredOnce() {
        std::map<uint32_t, int> perId;
        for (const RecordingClient::Call& call : client_m.calls) {
            ++perId[call.timerId];
        }
        EXPECT_EQ(kBurst, perId.size());
        for (const auto& delivered : perId) {
            EXPECT_EQ(1, delivered.second) << "timer " << delivered.first;
        }
    }

    std::string socketPath_m;
    ScopedLogCapture log_m;
    RecordingClient client_m;
    SendCounts sendsBefore_m{};
};

TEST_F(BurstTest, TenThousandInOneMillisecondArriveExactlyOnce) {
    startBurst();
    ASSERT_TRUE(waitForBlockedSend());
    ASSERT_TRUE(runUntil([&] { return client_m.calls.size() >= kBurst; }, kBudgetMs));
    drainReady();
    expectEachDeliveredOnce();
    SendCounts sends = sendCounts();
    std::cout << "[ burst    ] " << client_m.calls.size() << " expiries delivered; "
              << sends.blocked - sendsBefore_m.blocked << " sends waited for room" << std::endl;
    EXPECT_EQ(sendsBefore_m.failed, sends.failed);
    EXPECT_EQ(kBurst, sends.sent - sendsBefore_m.sent);
    EXPECT_EQ(0, counters().currentEntries);
    EXPECT_TRUE(takeSyslogLines().empty());
}

TEST_F(BurstTest, BurstWhileDisabledArrivesExactlyOnceAfterEnable) {
    startBurst();
    runCommand("tmgr-debug-enable");
    EXPECT_EQ("Timers are disabled\n", runCommand("tmgr-disable-timers"));
    ASSERT_TRUE(waitForBlockedSend());
    for (int round = 0; round < 10; ++round) {
        SingletonHolder<Dispatcher>::getInstance().listenOnce(0);
    }
    EXPECT_TRUE(client_m.calls.empty());
    EXPECT_EQ("Timers are enabled\n", runCommand("tmgr-enable-timers"));
    ASSERT_TRUE(runUntil([&] { return client_m.calls.size() >= kBurst; }, kBudgetMs));
    ASSERT_TRUE(runUntil([] { return counters().currentEntries == 0; }, kBudgetMs));
    drainReady();
    expectEachDeliveredOnce();
    EXPECT_EQ(sendsBefore_m.failed, sendCounts().failed);
    EXPECT_TRUE(takeSyslogLines().empty());
}

TEST_F(BurstTest, ManagerDestroyedMidBurstReturnsPromptly) {
    startBurst();
    ASSERT_TRUE(waitForBlockedSend());
    ASSERT_TRUE(runUntil([&] { return client_m.calls.size() >= 1000; }, kBudgetMs));
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    SingletonPerThread<TimerManager>::deleteInstance();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_FALSE(pathExists(socketPath_m));
    // At most the one send that was blocked when the driver stopped is interrupted and lost.
    EXPECT_LE(sendCounts().failed - sendsBefore_m.failed, 1);
    EXPECT_LT(client_m.calls.size(), kBurst);
}

}  // namespace
}  // namespace test
}  // namespace cmn
