// The real timer driver through the ptimer_* functions: deadline order on both clocks,
// re-arming, deletion and shutdown, also while a callback runs or is blocked in a send, and
// fork().
#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <stdint.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "ptimers.h"
#include "ptimersFixture.h"

namespace cmn::test {
namespace {

using std::chrono::milliseconds;

// Relative timers: 0 is moved later, 1 sooner. Absolute timers: 3 to 5 are created in that order
// and armed for one deadline in the order 5, 3, 4; timer 6 is armed for the epoch itself.
TEST_F(PtimersTest, TimersFireInDeadlineOrderOfTheirClockAndRearmingReplaces) {
    for (int i = 0; i < 7; ++i) {
        create(i, i >= 3);
    }
    arm(0, 100 * kMs);
    arm(1, 300 * kMs);
    arm(6, 0);
    const int64_t earliest[] = {arm(0, 150 * kMs), arm(1, 10 * kMs), arm(2, 60 * kMs)};
    const int64_t at = nowNs(CLOCK_REALTIME) + 30 * kMs;
    for (int i : {5, 3, 4}) {
        arm(i, at);
    }
    ASSERT_TRUE(waitFor([] { return hits().size() == 7; }));
    std::this_thread::sleep_for(milliseconds(300));
    std::vector<intptr_t> relativeOrder, absoluteOrder;
    for (const Hit& hit : hits()) {
        const bool relative = hit.tag < 3;
        (relative ? relativeOrder : absoluteOrder).push_back(hit.tag);
        const int64_t notBefore = relative ? earliest[hit.tag] : (hit.tag < 6 ? at : 0);
        EXPECT_GE(relative ? hit.monotonicNs : hit.realtimeNs, notBefore)
            << "timer " << hit.tag << " fired early";
        EXPECT_FALSE(pthread_equal(hit.thread, pthread_self()));
    }
    // Deadline order, measured from each arming: on a slow machine (valgrind) the armings
    // themselves may take long enough to change it.
    std::vector<intptr_t> byDeadline = {0, 1, 2};
    std::sort(byDeadline.begin(), byDeadline.end(),
              [&](intptr_t a, intptr_t b) { return earliest[a] < earliest[b]; });
    EXPECT_EQ(byDeadline, relativeOrder) << "a replaced expiry fired";
    EXPECT_EQ((std::vector<intptr_t>{6, 5, 3, 4}), absoluteOrder);
}

TEST_F(PtimersTest, ShutdownStopsOnlyThisThreadsTimers) {
    create(0, false);
    std::atomic<bool> otherArmed{false};
    std::thread other([&] {
        ptimer timer = {};
        EXPECT_EQ(0, ptimer_init_default());
        EXPECT_EQ(0, ptimer_create(&timer, recordHit, reinterpret_cast<void*>(7)));
        EXPECT_EQ(0, ptimer_start_once(&timer, 0, 100 * kMs));
        otherArmed = true;
        EXPECT_TRUE(waitFor([] { return hits().size() == 1; }));
        EXPECT_EQ(0, ptimer_delete(&timer));
        EXPECT_EQ(0, ptimer_shutdown());
    });
    EXPECT_TRUE(waitFor([&] { return otherArmed.load(); }));
    // Far enough ahead that the shutdown normally stops timer 0 before it is due; a thread
    // held up past the deadline makes the case inconclusive rather than failed.
    const int64_t deadline = arm(0, 2000 * kMs);
    EXPECT_EQ(0, ptimer_shutdown());
    const bool stoppedBeforeDue = nowNs(CLOCK_MONOTONIC) < deadline;
    running_m = false;
    EXPECT_NE(0, ptimer_shutdown());
    EXPECT_NE(0, ptimer_start_once(&timers_m[0], 0, 0));
    EXPECT_NE(0, ptimer_create(&timers_m[1], recordHit, nullptr));
    other.join();
    while (nowNs(CLOCK_MONOTONIC) < deadline + 200 * kMs) {
        std::this_thread::sleep_for(milliseconds(50));
    }
    if (!stoppedBeforeDue) {
        GTEST_SKIP() << "the shutdown returned after timer 0 was due";
    }
    ASSERT_EQ(1u, hits().size()) << "a timer fired after its instance stopped";
    EXPECT_EQ(7, hits()[0].tag);
    // TearDown deletes timer 0 after the shutdown, which must succeed.
}

// A callback blocked in send() on a full datagram socket that nobody reads.
std::atomic<bool> sendEntered{false};
std::atomic<int> sendError{0};

void sendBlocking(void* fd_p) {
    sendEntered = true;
    sendError = send(static_cast<int>(reinterpret_cast<intptr_t>(fd_p)), "", 1, 0) < 0 ? errno : 0;
}

// The call that must wait for the blocked callback: re-arming its timer, deleting it, or
// shutting its instance down (then deleting it).
enum class Waiter { rearm_c, remove_c, shutdown_c };

class PtimersBlockedSendTest : public PtimersTest, public ::testing::WithParamInterface<Waiter> {};

// A driver that failed to interrupt the send would hang here until the test's time limit.
TEST_P(PtimersBlockedSendTest, WaitingCallReturnsPromptlyByInterruptingTheSend) {
    sendEntered = false;
    sendError = 0;
    int pair[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, pair));
    while (send(pair[0], "", 1, MSG_DONTWAIT) == 1) {
    }
    create(0, false);
    ASSERT_EQ(0, ptimer_create(&timers_m[1], sendBlocking, reinterpret_cast<void*>(pair[0])));
    created_m[1] = true;
    arm(1, kMs);
    ASSERT_TRUE(waitFor([] { return sendEntered.load(); }));
    std::this_thread::sleep_for(milliseconds(20));
    if (GetParam() == Waiter::rearm_c) {
        arm(1, 3600 * 1000 * kMs);
        // Timer 0 proves the driver thread went back to work.
        arm(0, kMs);
        EXPECT_TRUE(waitFor([] { return hits().size() == 1; }));
    }
    if (GetParam() == Waiter::shutdown_c) {
        EXPECT_EQ(0, ptimer_shutdown());
        running_m = false;
    }
    EXPECT_EQ(0, ptimer_delete(&timers_m[1]));
    created_m[1] = false;
    EXPECT_EQ(EINTR, sendError) << "the send was not interrupted";
    close(pair[0]);
    close(pair[1]);
}

std::string waiterName(const ::testing::TestParamInfo<Waiter>& info) {
    const char* const names[] = {"Rearm", "Delete", "Shutdown"};
    return names[static_cast<int>(info.param)];
}

INSTANTIATE_TEST_SUITE_P(AllWaiters, PtimersBlockedSendTest,
                         ::testing::Values(Waiter::rearm_c, Waiter::remove_c, Waiter::shutdown_c),
                         waiterName);

// Timer 2's callback holds the driver thread while timers 1 and 0 fall due, so that both are
// taken in one batch. Timer 1's callback re-arms its own timer (it must not wait for itself) and
// is then held at a gate. Meanwhile timer 0, waiting behind it in the batch, is re-armed an hour
// ahead or deleted, and another thread does the same to timer 1: that call must not return
// before the callback has, and timer 0 must not fire.
Gate driverGate;
Gate heldGate;
std::atomic<bool> heldEntered{false};

void holdDriver(void*) { driverGate.pass(); }

void heldCallback(void* self_p) {
    heldEntered = true;
    EXPECT_EQ(0, ptimer_start_once(static_cast<ptimer*>(self_p), 3600, 0));
    heldGate.pass();
    recordHit(nullptr);
}

class PtimersRunningCallbackTest : public PtimersTest,
                                   public ::testing::WithParamInterface<Waiter> {};

TEST_P(PtimersRunningCallbackTest, CallFromAnotherThreadReturnsAfterTheCallback) {
    driverGate.close();
    heldGate.close();
    heldEntered = false;
    create(0, false);
    ASSERT_EQ(0, ptimer_create(&timers_m[1], heldCallback, &timers_m[1]));
    ASSERT_EQ(0, ptimer_create(&timers_m[2], holdDriver, nullptr));
    created_m[1] = created_m[2] = true;
    arm(2, kMs);
    arm(1, 5 * kMs);
    arm(0, 10 * kMs);
    std::this_thread::sleep_for(milliseconds(40));
    driverGate.open();
    ASSERT_TRUE(waitFor([] { return heldEntered.load(); }));
    const bool rearm = GetParam() == Waiter::rearm_c;
    EXPECT_EQ(0, rearm ? ptimer_start_once(&timers_m[0], 3600, 0) : ptimer_delete(&timers_m[0]));
    created_m[0] = rearm;
    std::atomic<bool> returned{false};
    size_t hitsOnReturn = 0;
    std::thread other([&] {
        EXPECT_EQ(0,
                  rearm ? ptimer_start_once(&timers_m[1], 3600, 0) : ptimer_delete(&timers_m[1]));
        hitsOnReturn = hits().size();
        returned = true;
    });
    // Order, not speed: however long this waits, the call must not return meanwhile.
    std::this_thread::sleep_for(milliseconds(100));
    EXPECT_FALSE(returned) << "the call returned while a callback of the timer ran";
    heldGate.open();
    other.join();
    created_m[1] = rearm;
    EXPECT_EQ(1u, hitsOnReturn) << "the callback had not finished";
    std::this_thread::sleep_for(milliseconds(50));
    EXPECT_EQ(1u, hits().size()) << "a re-armed or deleted timer fired";
}

INSTANTIATE_TEST_SUITE_P(RearmAndDelete, PtimersRunningCallbackTest,
                         ::testing::Values(Waiter::rearm_c, Waiter::remove_c), waiterName);

// fork(): the child starts with no instance, refuses to arm what it inherited, runs a fresh
// instance of its own, and leaves the parent's pending timers alone whatever it does. The fork
// is made from the test's thread, whose child ends with exit(), and from a thread with an
// instance of its own, whose child ends by returning from that thread.
std::atomic<int> childHits{0};

void countChildHit(void*) { ++childHits; }

// Each failed check sets a bit of the child's exit status.
int checkInChild(ptimer* inherited_p) {
    int failures = 0;
    if (ptimer_start_once(inherited_p, 0, 0) == 0) {
        failures |= 1;
    }
    if (ptimer_shutdown() == 0) {
        failures |= 2;
    }
    ptimer own = {};
    if (ptimer_init_default() != 0 || ptimer_create(&own, countChildHit, nullptr) != 0 ||
        ptimer_start_once(&own, 0, kMs) != 0) {
        failures |= 4;
    } else if (!waitFor([] { return childHits == 1; })) {
        failures |= 8;
    }
    // Released or refused: either way the parent's timer must not notice.
    ptimer_delete(inherited_p);
    if (ptimer_delete(&own) != 0 || ptimer_shutdown() != 0) {
        failures |= 16;
    }
    return failures;
}

// The child's exit status, or -1 when it has not ended within the budget (it is then killed).
int awaitChild(pid_t child) {
    int status = 0;
    bool ended = false;
    if (!waitFor([&] { return ended || (ended = waitpid(child, &status, WNOHANG) == child); })) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// This toolchain's AddressSanitizer does not hold its allocator's lock across fork(), so a child
// hangs in its first allocation if another thread was allocating at the fork. A driver thread
// allocates only while it starts (and recordHit never, see the fixture), so the fork waits until
// the calling thread's driver thread has fired a timer.
std::atomic<bool> settled{false};

void markSettled(void*) { settled = true; }

void settleDriverThread() {
    settled = false;
    ptimer timer = {};
    ASSERT_EQ(0, ptimer_create(&timer, markSettled, nullptr));
    EXPECT_EQ(0, ptimer_start_once(&timer, 0, 0));
    EXPECT_TRUE(waitFor([] { return settled.load(); }));
    EXPECT_EQ(0, ptimer_delete(&timer));
}

class PtimersForkTest : public PtimersTest, public ::testing::WithParamInterface<bool> {};

TEST_P(PtimersForkTest, ChildRunsItsOwnInstanceAndLeavesTheParentsAlone) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer cannot follow threads started in a child of a threaded "
                    "process (it still knows the parent's threads by the same ids)";
#endif
    const bool fromOwnThread = GetParam();
    settleDriverThread();
    create(0, false);
    create(1, true);
    arm(0, 200 * kMs);
    arm(1, nowNs(CLOCK_REALTIME) + 200 * kMs);
    pid_t child = -1;
    const auto forkAndCheck = [&](bool endByThreadExit) {
        settleDriverThread();
        child = fork();
        if (child != 0) {
            return;
        }
        const int failures = checkInChild(&timers_m[0]);
        if (failures != 0 || !endByThreadExit) {
            exit(failures);
        }
    };
    if (fromOwnThread) {
        std::thread forking([&] {
            ASSERT_EQ(0, ptimer_init_default());
            forkAndCheck(true);
            if (child != 0) {
                EXPECT_EQ(0, ptimer_shutdown());
            }
        });
        forking.join();
    } else {
        forkAndCheck(false);
    }
    ASSERT_GT(child, 0);
    EXPECT_EQ(0, awaitChild(child));
    create(2, false);
    arm(2, 0);
    EXPECT_TRUE(waitFor([] { return hits().size() == 3; }))
        << "a timer of the parent did not fire after the child was done";
}

INSTANTIATE_TEST_SUITE_P(FromTestAndOwnThread, PtimersForkTest, ::testing::Bool());

// The driver thread sleeps while nothing is due: no wake-up with no timer armed, nor with one
// armed an hour ahead. Its voluntary context switches are read from /proc.
long voluntarySwitches(pid_t tid) {
    std::ifstream status("/proc/self/task/" + std::to_string(tid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("voluntary_ctxt_switches:", 0) == 0) {
            return strtol(line.c_str() + line.find(':') + 1, nullptr, 10);
        }
    }
    return -1;
}

// The state letter of a thread: 'S' while it sleeps in a wait, 'R' while it runs.
char threadState(pid_t tid) {
    std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const size_t nameEnd = text.rfind(')');
    return nameEnd == std::string::npos || nameEnd + 2 >= text.size() ? '?' : text[nameEnd + 2];
}

// The thread sleeps and stayed asleep, without a context switch, for a few milliseconds.
bool settledInWait(pid_t tid) {
    const long before = voluntarySwitches(tid);
    if (threadState(tid) != 'S') {
        return false;
    }
    std::this_thread::sleep_for(milliseconds(5));
    return threadState(tid) == 'S' && voluntarySwitches(tid) == before;
}

TEST_F(PtimersTest, DriverThreadSleepsWhileIdleOrArmedFarAhead) {
    create(0, false);
    arm(0, 1 * kMs);
    ASSERT_TRUE(waitFor([] { return !hits().empty(); }));
    const pid_t driverTid = hits().back().tid;
    for (int phase = 0; phase < 2; ++phase) {
        if (phase == 1) {
            arm(0, 3600 * 1000 * kMs);
        }
        ASSERT_TRUE(waitFor([&] { return settledInWait(driverTid); }, milliseconds(30000)))
            << "driver never settled in phase " << phase;
        const long start = voluntarySwitches(driverTid);
        std::this_thread::sleep_for(milliseconds(300));
        EXPECT_EQ(start, voluntarySwitches(driverTid)) << "driver woke up in phase " << phase;
    }
}

}  // namespace
}  // namespace cmn::test
