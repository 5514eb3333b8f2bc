// cmn::Timer on the real driver: callables run on the thread that owns the handle, in deadline
// order and never early, with several threads each owning a manager; a destroyed handle stays
// silent after "tmgr-enable-timers" while the loop runs past its period; a forked child that
// drops its copy of a handle leaves the parent's timer running.
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "timer.h"
#include "timerFixture.h"

namespace cmn {
namespace test {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

class TimerHandleRealDriverTest : public ::testing::Test {
protected:
    void TearDown() override {
        SingletonPerThread<TimerManager>::deleteInstance();
        EXPECT_FALSE(pathExists(callbackSocketPathOfThisThread()));
    }
};

// One timer of runThreeOneShots: its deadline lies between `earliest` and `latest` (the clock
// read just before and just after its start, plus its delay); `firedAt` is when its callable
// ran and on which thread.
struct OneShot {
    Clock::time_point earliest;
    Clock::time_point latest;
    Clock::time_point firedAt;
    std::thread::id thread;
};

// Starts one-shots of 30, 10 and 20 ms (the 10 ms one in nanoseconds) on the calling thread,
// then runs its loop until all three came. Returns the timers in the order their callables ran.
std::vector<OneShot> runThreeOneShots() {
    std::vector<OneShot> timers(3);
    std::vector<OneShot> fired;
    const std::chrono::nanoseconds delays[] = {milliseconds(30), std::chrono::nanoseconds(10000001),
                                               milliseconds(20)};
    Timer handles[3];
    for (size_t i = 0; i < 3; ++i) {
        timers[i].earliest = Clock::now() + delays[i];
        EXPECT_TRUE(handles[i].start(delays[i], [&timers, &fired, i] {
            timers[i].firedAt = Clock::now();
            timers[i].thread = std::this_thread::get_id();
            fired.push_back(timers[i]);
        }));
        timers[i].latest = Clock::now() + delays[i];
    }
    EXPECT_TRUE(runUntil([&] { return fired.size() == 3; }, 5000));
    SingletonPerThread<TimerManager>::deleteInstance();
    return fired;
}

// Deadline order is checked against what the clock readings around each start allow, so a
// thread preempted between two starts (under valgrind, say) cannot fail it.
TEST_F(TimerHandleRealDriverTest, CallablesRunOnTheOwnerThreadInDeadlineOrder) {
    std::vector<std::vector<OneShot>> results(3);
    std::vector<std::thread::id> owners(3);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < results.size(); ++i) {
        threads.emplace_back([&results, &owners, i] {
            owners[i] = std::this_thread::get_id();
            results[i] = runThreeOneShots();
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (size_t i = 0; i < results.size(); ++i) {
        ASSERT_EQ(3u, results[i].size()) << i;
        for (size_t k = 0; k < 3; ++k) {
            const OneShot& timer = results[i][k];
            EXPECT_EQ(owners[i], timer.thread) << i;
            EXPECT_GE(timer.firedAt, timer.earliest) << i << " fired early";
            if (k > 0) {
                EXPECT_GE(timer.latest, results[i][k - 1].earliest) << i << " out of order";
            }
        }
    }
}

TEST_F(TimerHandleRealDriverTest, DestroyedHandleStaysSilentAfterEnable) {
    int calls = 0;
    std::unique_ptr<Timer> timer(new Timer());
    ASSERT_TRUE(timer->start(
        milliseconds(20), [&] { ++calls; }, Timer::periodic_c));
    ASSERT_TRUE(runUntil([&] { return calls == 1; }, 5000));
    timer.reset();
    runCommand("tmgr-debug-enable");
    ASSERT_EQ("Timers are enabled\n", runCommand("tmgr-enable-timers"));
    // Several periods pass; the restarted entry is cancelled again and leaves as a zombie.
    ASSERT_TRUE(runUntil([] { return counters().currentEntries == 0; }, 5000));
    const Clock::time_point until = Clock::now() + milliseconds(100);
    runUntil([&] { return Clock::now() >= until; }, 1000);
    EXPECT_EQ(1, calls);
}

// The child's copy of a running handle is dropped without a manager of its own being made; the
// parent's timer goes on.
TEST_F(TimerHandleRealDriverTest, ForkedChildDropsItsCopyWithoutTouchingTheParent) {
    int calls = 0;
    std::unique_ptr<Timer> timer(new Timer());
    ASSERT_TRUE(timer->start(
        milliseconds(5), [&] { ++calls; }, Timer::periodic_c));
    ASSERT_TRUE(runUntil([&] { return calls >= 1; }, 5000));
    pid_t child = fork();
    ASSERT_NE(-1, child);
    if (child == 0) {
        timer.reset();
        _exit(pathExists(callbackSocketPathOfThisThread()) ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    const int before = calls;
    EXPECT_TRUE(runUntil([&] { return calls >= before + 3; }, 5000));
    EXPECT_TRUE(timer->running());
}

}  // namespace
}  // namespace test
}  // namespace cmn
