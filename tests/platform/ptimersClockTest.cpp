// Absolute timers of the real driver across steps of the wall clock, forward and back, with
// timers pending and not: arming after a step succeeds, no timer fires before the wall clock
// has reached its time, and nothing is logged. Real steps of one microsecond where the process
// may set the clock; interposed steps and kernel answers everywhere.
#include <errno.h>
#include <sys/timex.h>
#include <time.h>

#include <atomic>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "ptimers.h"
#include "ptimersFixture.h"
#include "syscallFaults.h"

namespace cmn::test {
namespace {

using std::chrono::milliseconds;

// Timer i's wall-clock time; a relative timer has none.
std::atomic<int64_t> deadlineNs[8];

class PtimersClockTest : public PtimersTest {
protected:
    void SetUp() override {
        takeSyslogLines();
        for (std::atomic<int64_t>& deadline : deadlineNs) {
            deadline = 0;
        }
        PtimersTest::SetUp();
    }
    void TearDown() override {
        PtimersTest::TearDown();
        EXPECT_EQ(std::vector<std::string>(), takeSyslogLines());
    }
    // Arms absolute timer i for `ns` from the wall clock's reading now.
    void armAbsolute(int i, int64_t ns) {
        deadlineNs[i] = nowNs(CLOCK_REALTIME) + ns;
        arm(i, deadlineNs[i]);
    }
    static void expectNoneEarly() {
        for (const Hit& hit : hits()) {
            EXPECT_GE(hit.realtimeNs, deadlineNs[hit.tag].load())
                << "timer " << hit.tag << " fired before its wall-clock time";
        }
    }
};

// Steps of the system's wall clock by 1 us, never more; those not undone by the case (one that
// stopped half-way) are undone when it ends.
class SystemClockSteps {
public:
    ~SystemClockSteps() {
        while (net_m != 0 && step(net_m < 0)) {
        }
    }
    // False when the process may not set the clock.
    bool step(bool forward) {
        struct timex step = {};
        step.modes = ADJ_SETOFFSET;
        step.time.tv_sec = forward ? 0 : -1;
        step.time.tv_usec = forward ? 1 : 999999;
        if (clock_adjtime(CLOCK_REALTIME, &step) == -1) {
            EXPECT_EQ(EPERM, errno) << "clock_adjtime failed";
            return false;
        }
        net_m += forward ? 1 : -1;
        return true;
    }

private:
    int net_m = 0;
};

// Each round arms timer 4 + r before the step, pending across it or (idle rounds) already
// fired, and timer r after it. The steps undo each other pairwise.
struct StepRound {
    bool forward;
    bool pending;
};
const StepRound kRounds[] = {{true, false}, {false, true}, {true, true}, {false, false}};

TEST_F(PtimersClockTest, RealStepsLeaveArmingWorkingAndNothingEarly) {
    SystemClockSteps steps;
    for (int i = 0; i < kTimers; ++i) {
        create(i, true);
    }
    for (int r = 0; r < 4; ++r) {
        armAbsolute(4 + r, (kRounds[r].pending ? 100 : 10) * kMs);
        if (!kRounds[r].pending) {
            ASSERT_TRUE(waitFor([r] { return hits().size() == 2u * r + 1; }));
        }
        if (!steps.step(kRounds[r].forward)) {
            GTEST_SKIP() << "this process may not set the clock";
        }
        armAbsolute(r, 20 * kMs);
        ASSERT_TRUE(waitFor([r] { return hits().size() == 2u * r + 2; })) << "round " << r;
    }
    expectNoneEarly();
}

// The kernel arms the timer and reports ECANCELED, once to the arming thread (nothing pending,
// the timerfd is programmed at once) and once to the driver thread (re-programming the timerfd
// for the later of two timers after the first fired).
class PtimersCancelledSettimeTest : public PtimersClockTest,
                                    public ::testing::WithParamInterface<bool> {};

TEST_P(PtimersCancelledSettimeTest, ArmedTimerFiresAndNothingIsLogged) {
    const bool onDriverThread = GetParam();
    create(0, true);
    create(1, true);
    if (onDriverThread) {
        armAbsolute(0, 20 * kMs);
        armAbsolute(1, 40 * kMs);
    }
    failNextCall(FaultyCall::timerfdSettime_c, ECANCELED);
    if (!onDriverThread) {
        armAbsolute(0, 20 * kMs);
        armAbsolute(1, 40 * kMs);
    }
    ASSERT_TRUE(waitFor([] { return hits().size() == 2; }));
    expectNoneEarly();
}

INSTANTIATE_TEST_SUITE_P(ArmingAndDriverThread, PtimersCancelledSettimeTest, ::testing::Bool());

// Batches taken while the driver thread was held: timers 1 and 2 fall due while it is held in
// timer 0's callback, so one reading of the clock finds both due; timer 1's callback then arms
// timer 3 (see the cases below).
Gate batchGate;
ptimer* timer3_p = nullptr;

void holdDriver(void*) { batchGate.pass(); }

// Arms timer 3, from a callback, for its absolute time deadlineNs[3].
void armTimer3() {
    EXPECT_EQ(0, ptimer_start_once(timer3_p, static_cast<uint32_t>(deadlineNs[3] / 1000000000),
                                   static_cast<uint32_t>(deadlineNs[3] % 1000000000)));
}

class PtimersBatchTest : public PtimersClockTest {
protected:
    // Makes relative timer 0 and absolute timers 1 (calling `timer1Callback`), 2 and 3, arms
    // 0, 1 and 2 while timer 0's callback holds the driver thread, lets it go and waits for 0, 1
    // and 2 and the timer that callback armed to fire.
    bool fireHeldBatch(ptimer_callback_t timer1Callback) {
        batchGate.close();
        EXPECT_EQ(0, ptimer_create(&timers_m[0], holdDriver, nullptr));
        EXPECT_EQ(0, ptimer_create_cs(&timers_m[1], timer1Callback, nullptr));
        created_m[0] = created_m[1] = true;
        create(2, true);
        create(3, true);
        timer3_p = &timers_m[3];
        arm(0, kMs);
        armAbsolute(1, 5 * kMs);
        armAbsolute(2, 10 * kMs);
        std::this_thread::sleep_for(milliseconds(30));
        batchGate.open();
        return waitFor([] { return hits().size() == 3; });
    }
};

// Timer 1's callback steps the wall clock back and arms timer 3 for a time the batch's reading
// had passed. Neither 2 nor 3 may fire before the stepped clock reaches its time.
const int64_t kStepBackNs = 300 * kMs;

void stepBackAndArm(void*) {
    recordHit(reinterpret_cast<void*>(1));
    stepWallClock(-kStepBackNs);
    deadlineNs[3] = nowNs(CLOCK_REALTIME) + 50 * kMs;
    armTimer3();
}

TEST_F(PtimersBatchTest, StepBackDuringABatchHoldsTimersDueByTheEarlierReading) {
    const bool allFired = fireHeldBatch(stepBackAndArm);
    stepWallClock(kStepBackNs);
    ASSERT_TRUE(allFired);
    expectNoneEarly();
}

// Timer 1's callback, in the same batch as timer 2, arms timer 3 for a time between their two
// deadlines, which has passed: deadline order puts timer 3 before timer 2.
void armBetweenOneAndTwo(void*) {
    recordHit(reinterpret_cast<void*>(1));
    deadlineNs[3] = deadlineNs[1] + 1;
    armTimer3();
}

TEST_F(PtimersBatchTest, PastTimeArmedDuringABatchFiresBeforeTheBatchsLaterTimers) {
    ASSERT_TRUE(fireHeldBatch(armBetweenOneAndTwo));
    std::vector<intptr_t> order;
    for (const Hit& hit : hits()) {
        order.push_back(hit.tag);
    }
    EXPECT_EQ((std::vector<intptr_t>{1, 3, 2}), order);
    expectNoneEarly();
}

}  // namespace
}  // namespace cmn::test
