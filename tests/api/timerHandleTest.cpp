// cmn::Timer on the fake driver: the unit chosen from the duration, expiry and the one-shot's
// end, and the hazard of the manager's design: an entry that a handle let go of stays in the
// table and "tmgr-enable-timers" starts it again, yet no callable is ever called through it.
#include <chrono>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "timer.h"
#include "timerFixture.h"

namespace cmn {
namespace test {
namespace {

using std::chrono::milliseconds;

// The entries of cmn::Timer handles in "tmgr-show-state": id and "On" or "Cancelled".
struct HandleEntry {
    uint32_t timerId;
    std::string state;
};
std::vector<HandleEntry> handleEntries() {
    std::vector<HandleEntry> result;
    std::string text = runCommand("tmgr-show-state");
    const std::string marker = "] cmn::Timer: Type: ";
    for (size_t at = text.find(marker); at != std::string::npos; at = text.find(marker, at + 1)) {
        size_t open = text.rfind('[', at);
        size_t stateOpen = text.find('[', at + marker.size());
        size_t stateClose = text.find(']', stateOpen);
        result.push_back(
            HandleEntry{static_cast<uint32_t>(std::stoul(text.substr(open + 1, at - open - 1))),
                        text.substr(stateOpen + 1, stateClose - stateOpen - 1)});
    }
    return result;
}

// The id of the only running handle entry; fails the test when there is not exactly one.
uint32_t runningEntry() {
    std::vector<uint32_t> running;
    for (const HandleEntry& entry : handleEntries()) {
        if (entry.state == "On") {
            running.push_back(entry.timerId);
        }
    }
    EXPECT_EQ(1u, running.size());
    return running.empty() ? UINT32_MAX : running[0];
}

class TimerHandleTest : public TimerFixture {
protected:
    void enableAllTimers() {
        runCommand("tmgr-debug-enable");
        bool enabled = false;
        EXPECT_EQ("Timers are enabled\n", runCommand("tmgr-enable-timers", &enabled));
        EXPECT_TRUE(enabled);
    }
    // No handle entry may be removed with its slot still attached as user data, unless the
    // manager itself is destroyed under a pending handle.
    void TearDown() override {
        EXPECT_EQ(leakReportExpected_m,
                  log.contains(DBGLEVEL_CRITICAL, "user error - leaking user data"));
        TimerFixture::TearDown();
    }
    bool leakReportExpected_m = false;
};

// How a start call of the table is made.
typedef std::function<bool(Timer&, Timer::Callback)> Starter;

struct UnitCase {
    const char* name;
    Starter start;
    const char* periodLine;
};

void PrintTo(const UnitCase& row, std::ostream* out_p) { *out_p << row.name; }

class TimerHandleUnitTest : public TimerHandleTest,
                            public ::testing::WithParamInterface<UnitCase> {};

TEST_P(TimerHandleUnitTest, DurationPicksUnitAndNeverRoundsDown) {
    Timer timer;
    ASSERT_TRUE(GetParam().start(timer, [] {}));
    EXPECT_NE(std::string::npos, entryState(runningEntry()).find(GetParam().periodLine))
        << entryState(runningEntry());
}

INSTANTIATE_TEST_SUITE_P(
    Durations, TimerHandleUnitTest,
    ::testing::Values(
        UnitCase{"WholeMilliseconds",
                 [](Timer& t, Timer::Callback c) { return t.start(milliseconds(250), c); },
                 "Period: 250 milliseconds (0 sec : 250000000 nanosec)"},
        UnitCase{"Minutes",
                 [](Timer& t, Timer::Callback c) { return t.start(std::chrono::minutes(2), c); },
                 "Period: 120000 milliseconds (120 sec : 0 nanosec)"},
        UnitCase{
            "Microseconds",
            [](Timer& t, Timer::Callback c) { return t.start(std::chrono::microseconds(1500), c); },
            "Period: 1500000 nanoseconds (0 sec : 1500000 nanosec)"},
        UnitCase{"FractionalSeconds",
                 [](Timer& t, Timer::Callback c) {
                     return t.start(std::chrono::duration<double>(0.0000015), c);
                 },
                 "Period: 1500 nanoseconds (0 sec : 1500 nanosec)"},
        UnitCase{"NanosecondsBeyond32Bits",
                 [](Timer& t, Timer::Callback c) {
                     return t.start(std::chrono::seconds(5) + std::chrono::nanoseconds(1), c);
                 },
                 "Period: 5001 milliseconds (5 sec : 1000000 nanosec)"},
        UnitCase{"Negative",
                 [](Timer& t, Timer::Callback c) { return t.start(milliseconds(-3), c); },
                 "Period: 0 milliseconds (0 sec : 0 nanosec)"}),
    [](const ::testing::TestParamInfo<UnitCase>& info) { return info.param.name; });

TEST_F(TimerHandleTest, RefusedStartLeavesNothingPending) {
    Timer timer;
    ASSERT_TRUE(timer.start(milliseconds(10), [] {}));
    EXPECT_FALSE(timer.start(std::chrono::hours(24 * 50), [] {}));
    EXPECT_FALSE(timer.running());
    EXPECT_FALSE(timer.start(milliseconds(10), Timer::Callback()));
    EXPECT_FALSE(timer.startClockSync(std::chrono::seconds(7), [] {}));
    EXPECT_FALSE(timer.running());
    for (const HandleEntry& entry : handleEntries()) {
        EXPECT_EQ("Cancelled", entry.state) << entry.timerId;
    }
    EXPECT_FALSE(timer.restart());
}

// Every kind of timer the handle starts: its expiries reach the callable, a one-shot's entry
// leaves the table after its one expiry, and a handle that let go of its entry is never called
// through it, even after "tmgr-enable-timers" restarted it; nor is the next handle, which
// borrows the same slot.
struct KindCase {
    const char* name;
    Starter start;
    bool periodic;
};

void PrintTo(const KindCase& row, std::ostream* out_p) { *out_p << row.name; }

class TimerHandleKindTest : public TimerHandleTest,
                            public ::testing::WithParamInterface<KindCase> {};

TEST_P(TimerHandleKindTest, ExpiryReachesCallableAndOneShotEnds) {
    int calls = 0;
    Timer timer;
    ASSERT_TRUE(GetParam().start(timer, [&] { ++calls; }));
    ASSERT_TRUE(timer.running());
    const uint32_t timerId = runningEntry();
    ASSERT_TRUE(fireAndDeliver(timerId));
    EXPECT_EQ(1, calls);
    EXPECT_EQ(GetParam().periodic, timer.running());
    if (GetParam().periodic) {
        ASSERT_TRUE(fireAndDeliver(timerId));
        EXPECT_EQ(2, calls);
    } else {
        EXPECT_TRUE(handleEntries().empty());
    }
}

TEST_P(TimerHandleKindTest, DestroyedHandleIsNeverCalledAfterEnable) {
    int oldCalls = 0;
    int newCalls = 0;
    std::unique_ptr<Timer> old(new Timer());
    ASSERT_TRUE(GetParam().start(*old, [&] { ++oldCalls; }));
    const uint32_t oldId = runningEntry();
    old.reset();
    Timer next;
    ASSERT_TRUE(GetParam().start(next, [&] { ++newCalls; }));
    const uint32_t nextId = runningEntry();

    enableAllTimers();
    ASSERT_EQ(2u, handleEntries().size());
    ASSERT_TRUE(fireAndDeliver(oldId));
    // The slot cancelled the restarted entry again: a periodic one leaves as a zombie.
    fireAndDeliver(oldId);
    EXPECT_EQ(0, oldCalls);
    EXPECT_EQ(0, newCalls);
    ASSERT_EQ(1u, handleEntries().size());
    EXPECT_EQ(nextId, handleEntries()[0].timerId);

    ASSERT_TRUE(fireAndDeliver(nextId));
    EXPECT_EQ(1, newCalls);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, TimerHandleKindTest,
    ::testing::Values(
        KindCase{"OneShot",
                 [](Timer& t, Timer::Callback c) { return t.start(milliseconds(40), c); }, false},
        KindCase{"Periodic",
                 [](Timer& t, Timer::Callback c) {
                     return t.start(std::chrono::microseconds(700), c, Timer::periodic_c);
                 },
                 true},
        KindCase{"ClockSync",
                 [](Timer& t, Timer::Callback c) {
                     return t.startClockSync(std::chrono::minutes(15), c);
                 },
                 true},
        KindCase{"ClockSyncOneShot",
                 [](Timer& t, Timer::Callback c) {
                     return t.startClockSync(std::chrono::seconds(5), c, Timer::oneShot_c,
                                             milliseconds(200));
                 },
                 false}),
    [](const ::testing::TestParamInfo<KindCase>& info) { return info.param.name; });

TEST_F(TimerHandleTest, ClockSyncArmsTheNextBoundary) {
    Timer timer;
    ASSERT_TRUE(timer.startClockSync(std::chrono::seconds(60), [] {}));
    const uint32_t timerId = runningEntry();
    const std::string state = entryState(timerId);
    EXPECT_NE(std::string::npos, state.find("Type: Periodic - clock-sync [On]")) << state;
    EXPECT_NE(std::string::npos, state.find("Period: 60000 milliseconds")) << state;
    std::vector<FakePtimers::Arming> armings = fake.armingsOfTimer(timerId);
    ASSERT_EQ(1u, armings.size());
    EXPECT_TRUE(armings[0].absolute);
    EXPECT_EQ(0, armings[0].seconds % 60);
}

// What a callable may do to its own handle while it runs, and what follows.
struct InsideCase {
    const char* name;
    bool periodic;
    std::function<void(std::unique_ptr<Timer>&)> act;
    int callsAfterTwoFires;
    bool runningAfter;
};

void PrintTo(const InsideCase& row, std::ostream* out_p) { *out_p << row.name; }

class TimerHandleInsideTest : public TimerHandleTest,
                              public ::testing::WithParamInterface<InsideCase> {};

TEST_P(TimerHandleInsideTest, CallableActsOnItsOwnHandle) {
    int calls = 0;
    std::unique_ptr<Timer> timer(new Timer());
    Timer::Callback callback = [&] {
        ++calls;
        GetParam().act(timer);
    };
    ASSERT_TRUE(timer->start(milliseconds(5), callback,
                             GetParam().periodic ? Timer::periodic_c : Timer::oneShot_c));
    for (int fire = 0; fire < 2; ++fire) {
        std::vector<HandleEntry> entries = handleEntries();
        for (const HandleEntry& entry : entries) {
            fireAndDeliver(entry.timerId);
        }
    }
    EXPECT_EQ(GetParam().callsAfterTwoFires, calls);
    EXPECT_EQ(GetParam().runningAfter, timer != nullptr && timer->running());
}

INSTANTIATE_TEST_SUITE_P(
    Actions, TimerHandleInsideTest,
    ::testing::Values(InsideCase{"PeriodicDestroysHandle", true,
                                 [](std::unique_ptr<Timer>& t) { t.reset(); }, 1, false},
                      InsideCase{"PeriodicCancels", true,
                                 [](std::unique_ptr<Timer>& t) { t->cancel(); }, 1, false},
                      InsideCase{"PeriodicRestarts", true,
                                 [](std::unique_ptr<Timer>& t) { t->restart(); }, 2, true},
                      InsideCase{"OneShotRestarts", false,
                                 [](std::unique_ptr<Timer>& t) { t->restart(); }, 2, true},
                      InsideCase{"OneShotStartsAnother", false,
                                 [](std::unique_ptr<Timer>& t) {
                                     t->start(
                                         milliseconds(1), [] {}, Timer::periodic_c);
                                 },
                                 1, true}),
    [](const ::testing::TestParamInfo<InsideCase>& info) { return info.param.name; });

// An expiry already on its way when the timer is restarted never reaches the callable; the
// restart reuses the entry, so a watchdog restarted again and again leaves nothing behind.
TEST_F(TimerHandleTest, RestartDropsTheExpiryOnItsWayAndKeepsOneEntry) {
    int calls = 0;
    Timer timer;
    ASSERT_TRUE(timer.start(milliseconds(30), [&] { ++calls; }));
    const uint32_t timerId = runningEntry();
    ASSERT_TRUE(fake.fireTimer(timerId));
    for (int restart = 0; restart < 3; ++restart) {
        ASSERT_TRUE(timer.restart());
    }
    drainReady();
    EXPECT_EQ(0, calls);
    ASSERT_EQ(1u, handleEntries().size());
    ASSERT_TRUE(fireAndDeliver(runningEntry()));
    EXPECT_EQ(1, calls);
    EXPECT_TRUE(handleEntries().empty());
}

TEST_F(TimerHandleTest, MoveCarriesTheTimerAndAssignmentCancelsTheTarget) {
    std::vector<std::string> calls;
    Timer first;
    Timer second;
    ASSERT_TRUE(first.start(milliseconds(10), [&] { calls.push_back("first"); }));
    const uint32_t firstId = runningEntry();
    ASSERT_TRUE(second.start(milliseconds(20), [&] { calls.push_back("second"); }));
    second = std::move(first);
    EXPECT_FALSE(first.running());
    EXPECT_TRUE(second.running());
    Timer third(std::move(second));
    EXPECT_EQ(firstId, runningEntry());
    for (const HandleEntry& entry : handleEntries()) {
        fireAndDeliver(entry.timerId);
    }
    EXPECT_EQ(std::vector<std::string>{"first"}, calls);
}

// A handle that outlives its thread's manager neither touches the next manager nor creates one.
TEST_F(TimerHandleTest, HandleOutlivingItsManagerCreatesNone) {
    std::unique_ptr<Timer> timer(new Timer());
    ASSERT_TRUE(timer->start(
        milliseconds(10), [] {}, Timer::periodic_c));
    SingletonPerThread<TimerManager>::deleteInstance();
    leakReportExpected_m = true;
    timer->cancel();
    timer.reset();
    EXPECT_FALSE(pathExists(socketPath_m));
}

// A static handle still running at exit() is cancelled before its manager goes.
TEST_F(TimerHandleTest, StaticHandleAtExitEndsCleanly) {
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

}  // namespace
}  // namespace test
}  // namespace cmn
