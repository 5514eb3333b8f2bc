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

struct Expiry {
    std::thread::id thread;
    int delayMs;
    Clock::duration after;
};

// Starts one-shots of 300, 100 and 200 ms (the 100 ms one in nanoseconds) on the calling
// thread, then runs its loop until all three came. The spacing keeps the deadline order even
// when the thread is preempted between two starts.
std::vector<Expiry> runThreeOneShots() {
    std::vector<Expiry> seen;
    const Clock::time_point start = Clock::now();
    auto record = [&seen, start](int delayMs) {
        return [&seen, start, delayMs] {
            seen.push_back(Expiry{std::this_thread::get_id(), delayMs, Clock::now() - start});
        };
    };
    Timer late;
    Timer early;
    Timer middle;
    EXPECT_TRUE(late.start(milliseconds(300), record(300)));
    EXPECT_TRUE(early.start(std::chrono::nanoseconds(100000001), record(100)));
    EXPECT_TRUE(middle.start(milliseconds(200), record(200)));
    EXPECT_TRUE(runUntil([&] { return seen.size() == 3; }, 5000));
    SingletonPerThread<TimerManager>::deleteInstance();
    return seen;
}

TEST_F(TimerHandleRealDriverTest, CallablesRunOnTheOwnerThreadInDeadlineOrder) {
    std::vector<std::vector<Expiry>> results(3);
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
            const Expiry& expiry = results[i][k];
            EXPECT_EQ(owners[i], expiry.thread) << i;
            EXPECT_EQ(100 * static_cast<int>(k + 1), expiry.delayMs) << i;
            EXPECT_GE(expiry.after, milliseconds(expiry.delayMs)) << i;
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
