// The real timer driver through the ptimer_* functions: order, re-arming, both clocks,
// deletion and shutdown (also while a callback is blocked in a send), handle checks, idling.
// Firing early is a failure; lateness only meets generous "never delivered" budgets.
#include <dirent.h>
#include <errno.h>
#include <pthread.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "ptimers.h"

namespace {

using std::chrono::milliseconds;

const milliseconds kNeverBudget(5000);
const int64_t kMs = 1000000;

int64_t nowNs(clockid_t clock) {
    struct timespec now;
    clock_gettime(clock, &now);
    return now.tv_sec * 1000000000LL + now.tv_nsec;
}

struct timespec fromNs(int64_t ns) {
    struct timespec value;
    value.tv_sec = ns / 1000000000LL;
    value.tv_nsec = ns % 1000000000LL;
    return value;
}

// Waits for `flag` within the "never happened" budget.
bool waitFor(const std::atomic<bool>& flag, milliseconds budget = kNeverBudget) {
    const auto giveUp = std::chrono::steady_clock::now() + budget;
    while (!flag && std::chrono::steady_clock::now() < giveUp) {
        std::this_thread::sleep_for(milliseconds(1));
    }
    return flag;
}

struct Hit {
    int tag;
    int64_t atNs;  // on the timer's own clock
    pthread_t thread;
};

class Recorder {
public:
    void add(const Hit& hit) {
        std::lock_guard<std::mutex> lock(mutex_m);
        hits_m.push_back(hit);
        cv_m.notify_all();
    }
    bool waitForCount(size_t count, milliseconds budget = kNeverBudget) {
        std::unique_lock<std::mutex> lock(mutex_m);
        return cv_m.wait_for(lock, budget, [&] { return hits_m.size() >= count; });
    }
    std::vector<Hit> hits() {
        std::lock_guard<std::mutex> lock(mutex_m);
        return hits_m;
    }

private:
    std::mutex mutex_m;
    std::condition_variable cv_m;
    std::vector<Hit> hits_m;
};

struct Shot {
    Recorder* recorder_p;
    int tag;
    clockid_t clock;
};

void recordShot(void* context_p) {
    Shot* shot_p = static_cast<Shot*>(context_p);
    shot_p->recorder_p->add(Hit{shot_p->tag, nowNs(shot_p->clock), pthread_self()});
}

class PtimersTest : public ::testing::Test {
protected:
    static const int kTimers = 4;

    void SetUp() override { ASSERT_EQ(0, ptimer_init_default()); }
    void TearDown() override {
        for (int i = 0; i < kTimers; ++i) {
            if (created_m[i]) {
                EXPECT_EQ(0, ptimer_delete(&timers_m[i]));
            }
        }
        if (running_m) {
            EXPECT_EQ(0, ptimer_shutdown());
        }
    }

    void create(int i, bool absolute) {
        shots_m[i] = Shot{&recorder_m, i, absolute ? CLOCK_REALTIME : CLOCK_MONOTONIC};
        ASSERT_EQ(0, absolute ? ptimer_create_cs(&timers_m[i], recordShot, &shots_m[i])
                              : ptimer_create(&timers_m[i], recordShot, &shots_m[i]));
        created_m[i] = true;
    }
    // Arms relative timer i and returns the earliest time it may fire.
    int64_t armIn(int i, int64_t delayNs) {
        const struct timespec delay = fromNs(delayNs);
        const int64_t earliest = nowNs(CLOCK_MONOTONIC) + delayNs;
        EXPECT_EQ(0, ptimer_settime(&timers_m[i], &delay, 0));
        return earliest;
    }
    void armAt(int i, int64_t realtimeNs) {
        const struct timespec at = fromNs(realtimeNs);
        EXPECT_EQ(0, ptimer_settime(&timers_m[i], &at, 0));
    }
    void shutdownNow() {
        EXPECT_EQ(0, ptimer_shutdown());
        running_m = false;
    }
    std::vector<int> tags() {
        std::vector<int> result;
        for (const Hit& hit : recorder_m.hits()) {
            result.push_back(hit.tag);
        }
        return result;
    }

    ptimer timers_m[kTimers] = {};
    Shot shots_m[kTimers] = {};
    bool created_m[kTimers] = {};
    bool running_m = true;
    Recorder recorder_m;
};

// --- order, re-arming, clocks -----------------------------------------------------------

TEST_F(PtimersTest, RelativeTimersFireInDeadlineOrderOnDriverThread) {
    const int64_t delays[] = {90 * kMs, 30 * kMs, 60 * kMs};
    int64_t earliest[3];
    for (int i = 0; i < 3; ++i) {
        create(i, false);
        earliest[i] = armIn(i, delays[i]);
    }
    ASSERT_TRUE(recorder_m.waitForCount(3));
    // Deadline order, measured from each arming: on a slow machine (valgrind) the armings
    // themselves may take long enough to change it.
    std::vector<int> byDeadline = {0, 1, 2};
    std::sort(byDeadline.begin(), byDeadline.end(),
              [&](int a, int b) { return earliest[a] < earliest[b]; });
    EXPECT_EQ(byDeadline, tags());
    for (const Hit& hit : recorder_m.hits()) {
        EXPECT_GE(hit.atNs, earliest[hit.tag]) << "timer " << hit.tag << " fired early";
        EXPECT_FALSE(pthread_equal(hit.thread, pthread_self()));
    }
}

class PtimersEqualDeadlineTest : public PtimersTest,
                                 public ::testing::WithParamInterface<std::vector<int>> {};

TEST_P(PtimersEqualDeadlineTest, AbsoluteTimersWithOneDeadlineFireInArmingOrder) {
    const int64_t at = nowNs(CLOCK_REALTIME) + 30 * kMs;
    for (int i : GetParam()) {
        create(i, true);
    }
    for (int i : GetParam()) {
        armAt(i, at);
    }
    ASSERT_TRUE(recorder_m.waitForCount(3));
    EXPECT_EQ(GetParam(), tags());
    for (const Hit& hit : recorder_m.hits()) {
        EXPECT_GE(hit.atNs, at) << "timer " << hit.tag << " fired early";
    }
}

INSTANTIATE_TEST_SUITE_P(BothOrders, PtimersEqualDeadlineTest,
                         ::testing::Values(std::vector<int>{0, 1, 2}, std::vector<int>{2, 1, 0}));

TEST_F(PtimersTest, RearmingReplacesThePendingExpiry) {
    create(0, false);
    create(1, false);
    armIn(0, 100 * kMs);
    const int64_t later = armIn(0, 150 * kMs);  // moved later
    armIn(1, 300 * kMs);
    const int64_t sooner = armIn(1, 10 * kMs);  // moved sooner
    ASSERT_TRUE(recorder_m.waitForCount(2));
    std::this_thread::sleep_for(milliseconds(400));
    const std::vector<Hit> hits = recorder_m.hits();
    ASSERT_EQ(2u, hits.size()) << "a replaced expiry still fired";
    EXPECT_EQ(1, hits[0].tag);
    EXPECT_GE(hits[0].atNs, sooner);
    EXPECT_GE(hits[1].atNs, later);
}

TEST_F(PtimersTest, ZeroDelayAndPastAbsoluteTimesFirePromptly) {
    create(0, false);
    create(1, true);
    create(2, true);
    armIn(0, 0);
    armAt(1, 0);                                          // the epoch itself
    armAt(2, nowNs(CLOCK_REALTIME) - 3600 * 1000 * kMs);  // an hour ago
    ASSERT_TRUE(recorder_m.waitForCount(3));
}

TEST_F(PtimersTest, CallbackMayRearmAndDeleteItsOwnTimer) {
    static ptimer self;
    static std::atomic<int> expiries{0};
    static std::atomic<int> deleteResult{-2};
    static std::atomic<bool> deleted{false};
    ASSERT_EQ(0, ptimer_create(
                     &self,
                     [](void*) {
                         if (++expiries < 5) {
                             ptimer_start_once(&self, 0, 1000000);
                             return;
                         }
                         deleteResult = ptimer_delete(&self);
                         deleted = true;
                     },
                     nullptr));
    ASSERT_EQ(0, ptimer_start_once(&self, 0, 1000000));
    ASSERT_TRUE(waitFor(deleted));
    EXPECT_EQ(5, expiries);
    EXPECT_EQ(0, deleteResult);
}

// --- deletion and shutdown --------------------------------------------------------------

struct HeldCallback {
    std::atomic<bool> entered{false};
    std::atomic<bool> release{false};
    std::atomic<bool> left{false};
};

// Timer 0 falls due while the driver thread is held in another callback and is deleted before
// the driver gets to it; the held callback's own delete must wait until it returns.
TEST_F(PtimersTest, DeleteStopsADueTimerAndWaitsForARunningCallback) {
    static HeldCallback held;
    ptimer running = {};
    ASSERT_EQ(0, ptimer_create(
                     &running,
                     [](void*) {
                         held.entered = true;
                         for (int i = 0; i < 5000 && !held.release; ++i) {
                             std::this_thread::sleep_for(milliseconds(1));
                         }
                         held.left = true;
                     },
                     nullptr));
    ASSERT_EQ(0, ptimer_start_once(&running, 0, 1000000));
    create(0, false);
    armIn(0, 20 * kMs);
    ASSERT_TRUE(waitFor(held.entered));
    std::this_thread::sleep_for(milliseconds(40));
    EXPECT_EQ(0, ptimer_delete(&timers_m[0]));
    created_m[0] = false;
    std::thread releaser([] {
        std::this_thread::sleep_for(milliseconds(50));
        held.release = true;
    });
    EXPECT_EQ(0, ptimer_delete(&running));
    EXPECT_TRUE(held.left) << "ptimer_delete returned while the callback ran";
    releaser.join();
    std::this_thread::sleep_for(milliseconds(100));
    EXPECT_TRUE(recorder_m.hits().empty()) << "a deleted timer fired";
}

TEST_F(PtimersTest, ShutdownStopsOnlyThisThreadsTimers) {
    create(0, false);
    Recorder otherRecorder;
    std::atomic<bool> otherArmed{false};
    std::atomic<bool> release{false};
    std::thread other([&] {
        ptimer timer = {};
        Shot shot{&otherRecorder, 7, CLOCK_MONOTONIC};
        EXPECT_EQ(0, ptimer_init_default());
        EXPECT_EQ(0, ptimer_create(&timer, recordShot, &shot));
        EXPECT_EQ(0, ptimer_start_once(&timer, 0, 100 * 1000000));
        otherArmed = true;
        EXPECT_TRUE(otherRecorder.waitForCount(1));
        EXPECT_TRUE(waitFor(release));
        EXPECT_EQ(0, ptimer_delete(&timer));
        EXPECT_EQ(0, ptimer_shutdown());
    });
    EXPECT_TRUE(waitFor(otherArmed));
    armIn(0, 50 * kMs);
    shutdownNow();
    EXPECT_NE(0, ptimer_shutdown());
    EXPECT_NE(0, ptimer_start_once(&timers_m[0], 0, 0));
    ptimer late = {};
    EXPECT_NE(0, ptimer_create(&late, recordShot, &shots_m[0]));
    EXPECT_TRUE(otherRecorder.waitForCount(1));
    release = true;
    other.join();
    std::this_thread::sleep_for(milliseconds(100));
    EXPECT_TRUE(recorder_m.hits().empty()) << "a timer fired after its instance was shut down";
    // TearDown deletes timer 0 after the shutdown, which must succeed.
}

TEST(PtimersNoInstanceTest, ThreadWithoutInstanceCannotCreateOrShutDown) {
    ptimer timer = {};
    Shot shot = {};
    EXPECT_NE(0, ptimer_create(&timer, recordShot, &shot));
    EXPECT_NE(0, ptimer_create_cs(&timer, recordShot, &shot));
    EXPECT_NE(0, ptimer_shutdown());
    EXPECT_NE(0, ptimer_delete(&timer));
}

// A callback that blocks in send() on a datagram socket whose queue is full and never read:
// the deleting or stopping thread must interrupt it instead of waiting for ever.
struct BlockedSend {
    int fd = -1;
    std::atomic<bool> entered{false};
    std::atomic<bool> left{false};
    std::atomic<int> error{0};
};

void sendBlocking(void* context_p) {
    BlockedSend* send_p = static_cast<BlockedSend*>(context_p);
    send_p->entered = true;
    const char byte = 0;
    send_p->error = send(send_p->fd, &byte, 1, 0) < 0 ? errno : 0;
    send_p->left = true;
}

class PtimersBlockedSendTest : public PtimersTest, public ::testing::WithParamInterface<bool> {};

TEST_P(PtimersBlockedSendTest, ReturnsPromptlyByInterruptingTheSend) {
    const bool viaShutdown = GetParam();
    int pair[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, pair));
    const char byte = 0;
    while (send(pair[0], &byte, 1, MSG_DONTWAIT) == 1) {
    }
    ASSERT_EQ(EAGAIN, errno);
    BlockedSend blocked;
    blocked.fd = pair[0];
    ptimer timer = {};
    ASSERT_EQ(0, ptimer_create(&timer, sendBlocking, &blocked));
    ASSERT_EQ(0, ptimer_start_once(&timer, 0, 1000000));
    ASSERT_TRUE(waitFor(blocked.entered));
    std::this_thread::sleep_for(milliseconds(20));
    // Should the driver fail to interrupt, the watchdog reads the socket after 2 s so that the
    // test fails instead of hanging.
    std::atomic<bool> done{false};
    std::thread watchdog([&] {
        waitFor(done, milliseconds(2000));
        char sink;
        while (!done && recv(pair[1], &sink, 1, MSG_DONTWAIT) == 1) {
        }
    });
    if (viaShutdown) {
        shutdownNow();
    }
    EXPECT_EQ(0, ptimer_delete(&timer));
    EXPECT_TRUE(blocked.left);
    EXPECT_EQ(EINTR, blocked.error) << "the send was not interrupted";
    done = true;
    watchdog.join();
    close(pair[0]);
    close(pair[1]);
}

INSTANTIATE_TEST_SUITE_P(DeleteOrShutdown, PtimersBlockedSendTest, ::testing::Bool());

// --- handles and arguments --------------------------------------------------------------

enum BadHandle { zeroFilled_c, garbage_c, deleted_c, copied_c };

class PtimersBadHandleTest : public PtimersTest, public ::testing::WithParamInterface<BadHandle> {};

TEST_P(PtimersBadHandleTest, IsRefusedBySettimeAndDelete) {
    create(0, false);
    ptimer bad = {};
    switch (GetParam()) {
        case zeroFilled_c:
            break;
        case garbage_c:
            bad.ptr = reinterpret_cast<void*>(0xdeadbeefUL);
            bad.magic = 123456;
            bad.isabstime = 7;
            break;
        case deleted_c:
            ASSERT_EQ(0, ptimer_create(&bad, recordShot, &shots_m[0]));
            ASSERT_EQ(0, ptimer_delete(&bad));
            break;
        case copied_c:
            bad = timers_m[0];  // the same fields at another address
            break;
    }
    const struct timespec delay = {0, 1000000};
    EXPECT_NE(0, ptimer_settime(&bad, &delay, 0));
    EXPECT_NE(0, ptimer_delete(&bad));
    EXPECT_NE(0, ptimer_settime(nullptr, &delay, 0));
    EXPECT_NE(0, ptimer_delete(nullptr));
}

INSTANTIATE_TEST_SUITE_P(Kinds, PtimersBadHandleTest,
                         ::testing::Values(zeroFilled_c, garbage_c, deleted_c, copied_c));

TEST_F(PtimersTest, BadArmingArgumentsAreRefused) {
    create(0, false);
    const struct timespec good = {0, 0};
    const struct timespec bad[] = {{0, -1}, {0, 1000000000}, {-1, 0}};
    for (const struct timespec& value : bad) {
        EXPECT_NE(0, ptimer_settime(&timers_m[0], &value, 0));
    }
    EXPECT_NE(0, ptimer_settime(&timers_m[0], &good, 1));
    EXPECT_NE(0, ptimer_settime(&timers_m[0], nullptr, 0));
    EXPECT_NE(0, ptimer_create(&timers_m[0], recordShot, &shots_m[0])) << "created twice";
    std::this_thread::sleep_for(milliseconds(50));
    EXPECT_TRUE(recorder_m.hits().empty());
}

// --- idling -----------------------------------------------------------------------------

std::set<std::string> taskIds() {
    std::set<std::string> ids;
    DIR* dir_p = opendir("/proc/self/task");
    for (struct dirent* entry_p = readdir(dir_p); entry_p != nullptr; entry_p = readdir(dir_p)) {
        if (entry_p->d_name[0] != '.') {
            ids.insert(entry_p->d_name);
        }
    }
    closedir(dir_p);
    return ids;
}

long voluntarySwitches(const std::string& tid) {
    std::ifstream status("/proc/self/task/" + tid + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("voluntary_ctxt_switches:", 0) == 0) {
            return strtol(line.c_str() + line.find(':') + 1, nullptr, 10);
        }
    }
    return -1;
}

TEST_F(PtimersTest, DriverThreadSleepsWhileIdleOrArmedFarAhead) {
    shutdownNow();
    const std::set<std::string> before = taskIds();
    ASSERT_EQ(0, ptimer_init_default());
    running_m = true;
    std::vector<std::string> added;
    for (const std::string& id : taskIds()) {
        if (before.count(id) == 0) {
            added.push_back(id);
        }
    }
    ASSERT_EQ(1u, added.size());
    EXPECT_EQ(0, ptimer_init_default());
    EXPECT_EQ(before.size() + 1, taskIds().size()) << "a second init started another thread";
    create(0, false);
    create(1, false);
    armIn(0, 1 * kMs);
    ASSERT_TRUE(recorder_m.waitForCount(1));
    for (int phase = 0; phase < 2; ++phase) {
        if (phase == 1) {
            armIn(1, 3600 * 1000 * kMs);
        }
        std::this_thread::sleep_for(milliseconds(20));
        const long start = voluntarySwitches(added[0]);
        std::this_thread::sleep_for(milliseconds(300));
        EXPECT_EQ(start, voluntarySwitches(added[0])) << "driver woke up in phase " << phase;
    }
}

}  // namespace
