// cmn::Timer. On the fake driver: the unit chosen from the duration, what a callable may do to
// its own handle, restarts, and the hazard of the manager's design: an entry a handle let go of
// stays in the table and "tmgr-enable-timers" starts it again, yet no callable is called
// through it, not even that of the next handle borrowing the same slot. On the real driver:
// callables on the owner thread in deadline order, the same hazard, fork() and exit().
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <regex>
#include <thread>

#include "gmock/gmock.h"
#include "timer.h"
#include "timerFixture.h"

namespace cmn {
namespace test {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
typedef std::function<bool(Timer&, Timer::Callback)> Starter;

// The ids of the handles' entries in "tmgr-show-state" whose state is `state` ("" for any).
std::vector<uint32_t> handleEntries(const std::string& state = "") {
    std::string text = runCommand("tmgr-show-state");
    std::regex line("\\[([0-9]+)\\] cmn::Timer: Type: [^[]*\\[(On|Cancelled)\\]");
    std::vector<uint32_t> ids;
    for (std::sregex_iterator it(text.begin(), text.end(), line), end; it != end; ++it) {
        if (state.empty() || (*it)[2] == state) {
            ids.push_back(static_cast<uint32_t>(std::stoul((*it)[1])));
        }
    }
    return ids;
}
uint32_t runningEntry() {
    std::vector<uint32_t> ids = handleEntries("On");
    EXPECT_EQ(1u, ids.size());
    return ids.empty() ? UINT32_MAX : ids[0];
}

class TimerHandleTest : public TimerFixture {
protected:
    // A handle's entry never leaves the table with its slot still attached as user data,
    // unless the manager itself goes under a pending handle.
    void TearDown() override {
        EXPECT_EQ(leakReportExpected_m,
                  log.contains(DBGLEVEL_CRITICAL, "user error - leaking user data"));
        TimerFixture::TearDown();
    }
    bool leakReportExpected_m = false;
};

// A row of a table: how its timer is started, and what is expected of it.
template <class Expected>
struct Row {
    const char* name;
    Starter start;
    Expected expected;
};
template <class Param>
std::string rowName(const ::testing::TestParamInfo<Param>& info) {
    return info.param.name;
}
#define START(expr) [](Timer& t, Timer::Callback c) { return expr; }
typedef Row<const char*> UnitRow;  // the text of the entry's period line
typedef Row<bool> KindRow;         // periodic

class TimerHandleUnitTest : public TimerHandleTest,
                            public ::testing::WithParamInterface<UnitRow> {};

TEST_P(TimerHandleUnitTest, DurationPicksUnitAndNeverRoundsDown) {
    Timer timer;
    ASSERT_TRUE(GetParam().start(timer, [] {}));
    EXPECT_THAT(entryState(runningEntry()), ::testing::HasSubstr(GetParam().expected));
}

INSTANTIATE_TEST_SUITE_P(
    Durations, TimerHandleUnitTest,
    ::testing::Values(
        UnitRow{"Milliseconds", START(t.start(milliseconds(250), c)), "250 milliseconds (0 sec"},
        UnitRow{"Microseconds", START(t.start(std::chrono::microseconds(1500), c)),
                "1500000 nanoseconds"},
        UnitRow{"Fractional", START(t.start(std::chrono::duration<double>(1.5e-6), c)),
                "1500 nanoseconds"},
        UnitRow{"BeyondNanoseconds",
                START(t.start(std::chrono::seconds(5) + std::chrono::nanoseconds(1), c)),
                "5001 milliseconds"},
        UnitRow{"Negative", START(t.start(milliseconds(-3), c)), "0 milliseconds (0 sec : 0 nano"}),
    rowName<UnitRow>);

TEST_F(TimerHandleTest, RefusedStartLeavesTheHandleEmpty) {
    Timer timer;
    ASSERT_TRUE(timer.start(milliseconds(10), [] {}));
    EXPECT_FALSE(timer.start(std::chrono::hours(24 * 50), [] {}));
    EXPECT_FALSE(timer.restart());
    EXPECT_FALSE(timer.startClockSync(std::chrono::seconds(7), [] {}));
    EXPECT_FALSE(timer.start(milliseconds(10), Timer::Callback()));
    EXPECT_FALSE(timer.running());
    EXPECT_TRUE(handleEntries("On").empty());
}

class TimerHandleKindTest : public TimerHandleTest,
                            public ::testing::WithParamInterface<KindRow> {};

TEST_P(TimerHandleKindTest, LetGoEntryRestartedByEnableCallsNobody) {
    int oldCalls = 0;
    int newCalls = 0;
    std::unique_ptr<Timer> old(new Timer());
    ASSERT_TRUE(GetParam().start(*old, [&] { ++oldCalls; }));
    const uint32_t oldId = runningEntry();
    old.reset();
    Timer next;  // borrows the slot that old gave back
    ASSERT_TRUE(GetParam().start(next, [&] { ++newCalls; }));
    const uint32_t nextId = runningEntry();

    runCommand("tmgr-debug-enable");
    ASSERT_EQ("Timers are enabled\n", runCommand("tmgr-enable-timers"));
    ASSERT_TRUE(fireAndDeliver(oldId));
    fireAndDeliver(oldId);  // cancelled again by its slot: a periodic one leaves as a zombie
    EXPECT_EQ(std::vector<uint32_t>{nextId}, handleEntries());
    EXPECT_EQ(0, oldCalls + newCalls);

    const bool periodic = GetParam().expected;
    ASSERT_TRUE(fireAndDeliver(nextId));
    EXPECT_EQ(1, newCalls);
    EXPECT_EQ(periodic, next.running());
    EXPECT_EQ(periodic ? 1u : 0u, handleEntries().size());
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, TimerHandleKindTest,
    ::testing::Values(
        KindRow{"OneShot", START(t.start(milliseconds(40), c)), false},
        KindRow{"Periodic", START(t.start(std::chrono::microseconds(700), c, Timer::periodic_c)),
                true},
        KindRow{"ClockSync", START(t.startClockSync(std::chrono::minutes(15), c)), true},
        KindRow{
            "ClockSyncOneShot",
            START(t.startClockSync(std::chrono::seconds(5), c, Timer::oneShot_c, milliseconds(2))),
            false}),
    rowName<KindRow>);

// What a callable may do to its own handle while it runs.
struct Inside {
    const char* name;
    Timer::Repeat repeat;
    std::function<void(std::unique_ptr<Timer>&)> act;
    int callsAfterTwoRounds;
};

class TimerHandleInsideTest : public TimerHandleTest,
                              public ::testing::WithParamInterface<Inside> {};

TEST_P(TimerHandleInsideTest, CallableActsOnItsOwnHandle) {
    int calls = 0;
    std::unique_ptr<Timer> timer(new Timer());
    Timer::Callback callback = [&] {
        ++calls;
        GetParam().act(timer);
    };
    ASSERT_TRUE(timer->start(milliseconds(5), callback, GetParam().repeat));
    for (int round = 0; round < 2; ++round) {
        for (uint32_t timerId : handleEntries()) {
            fireAndDeliver(timerId);
        }
    }
    EXPECT_EQ(GetParam().callsAfterTwoRounds, calls);
    // Only a restarted handle is still running.
    EXPECT_EQ(calls == 2, timer != nullptr && timer->running());
}

INSTANTIATE_TEST_SUITE_P(
    Actions, TimerHandleInsideTest,
    ::testing::Values(Inside{"PeriodicDestroys", Timer::periodic_c,
                             [](std::unique_ptr<Timer>& t) { t.reset(); }, 1},
                      Inside{"PeriodicRestarts", Timer::periodic_c,
                             [](std::unique_ptr<Timer>& t) { t->restart(); }, 2},
                      Inside{"OneShotRestarts", Timer::oneShot_c,
                             [](std::unique_ptr<Timer>& t) { t->restart(); }, 2}),
    rowName<Inside>);

// An expiry already on its way when the timer is restarted never reaches the callable, and a
// watchdog restarted again and again keeps one entry.
TEST_F(TimerHandleTest, RestartDropsTheExpiryOnItsWayAndKeepsOneEntry) {
    int calls = 0;
    Timer timer;
    ASSERT_TRUE(timer.start(milliseconds(30), [&] { ++calls; }));
    ASSERT_TRUE(fake.fireTimer(runningEntry()));
    for (int restart = 0; restart < 3; ++restart) {
        ASSERT_TRUE(timer.restart());
    }
    drainReady();
    EXPECT_EQ(0, calls);
    ASSERT_TRUE(fireAndDeliver(runningEntry()));
    EXPECT_EQ(1, calls);
    EXPECT_TRUE(handleEntries().empty());
}

TEST_F(TimerHandleTest, HandleOutlivingItsManagerCreatesNone) {
    std::unique_ptr<Timer> timer(new Timer());
    ASSERT_TRUE(timer->start(
        milliseconds(10), [] {}, Timer::periodic_c));
    SingletonPerThread<TimerManager>::deleteInstance();
    leakReportExpected_m = true;
    timer.reset();
    EXPECT_FALSE(pathExists(socketPath_m));
}

TEST_F(TimerHandleTest, StaticHandleStillRunningAtExitEndsCleanly) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            static Timer timer;
            timer.start(
                milliseconds(1), [] {}, Timer::periodic_c);
            exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

class TimerHandleRealDriverTest : public ::testing::Test {
protected:
    void TearDown() override {
        SingletonPerThread<TimerManager>::deleteInstance();
        EXPECT_FALSE(pathExists(callbackSocketPathOfThisThread()));
    }
};

// Two threads each start one-shots of 30, 10 and 20 ms. A deadline lies between the clock
// read just before and just after its start, plus the delay: the order is checked against those
// bounds, so a thread held up between two starts cannot fail the test.
TEST_F(TimerHandleRealDriverTest, CallablesRunOnTheOwnerThreadInDeadlineOrder) {
    auto run = [] {
        const std::chrono::nanoseconds delays[] = {
            milliseconds(30), std::chrono::nanoseconds(10000001), milliseconds(20)};
        const std::thread::id owner = std::this_thread::get_id();
        Clock::time_point earliest[3];
        Clock::time_point latest[3];
        std::vector<int> order;
        Timer handles[3];
        for (int i = 0; i < 3; ++i) {
            earliest[i] = Clock::now() + delays[i];
            EXPECT_TRUE(handles[i].start(delays[i], [&, i] {
                EXPECT_EQ(owner, std::this_thread::get_id());
                EXPECT_GE(Clock::now(), earliest[i]) << "early";
                order.push_back(i);
            }));
            latest[i] = Clock::now() + delays[i];
        }
        ASSERT_TRUE(runUntil([&] { return order.size() == 3; }, 30000));
        for (size_t k = 1; k < order.size(); ++k) {
            EXPECT_GE(latest[order[k]], earliest[order[k - 1]]) << "out of order";
        }
    };
    std::thread first(run);
    std::thread second(run);
    first.join();
    second.join();
}

TEST_F(TimerHandleRealDriverTest, DestroyedHandleStaysSilentAfterEnable) {
    int calls = 0;
    std::unique_ptr<Timer> timer(new Timer());
    ASSERT_TRUE(timer->start(
        milliseconds(20), [&] { ++calls; }, Timer::periodic_c));
    ASSERT_TRUE(runUntil([&] { return calls == 1; }, 30000));
    timer.reset();
    runCommand("tmgr-debug-enable");
    ASSERT_EQ("Timers are enabled\n", runCommand("tmgr-enable-timers"));
    // Periods pass; the restarted entry is cancelled again and leaves as a zombie.
    ASSERT_TRUE(runUntil([] { return counters().currentEntries == 0; }, 30000));
    EXPECT_EQ(1, calls);
}

// A forked child drops its copy of a running handle without making a manager of its own; the
// parent's timer goes on.
TEST_F(TimerHandleRealDriverTest, ForkedChildDropsItsCopyWithoutTouchingTheParent) {
    int calls = 0;
    std::unique_ptr<Timer> timer(new Timer());
    ASSERT_TRUE(timer->start(
        milliseconds(5), [&] { ++calls; }, Timer::periodic_c));
    ASSERT_TRUE(runUntil([&] { return calls >= 1; }, 30000));
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
    EXPECT_TRUE(runUntil([&] { return calls >= before + 3; }, 30000));
}

}  // namespace
}  // namespace test
}  // namespace cmn
