// Back-pressure across the driver's two clocks: while relative timers keep the callback socket
// full, an absolute (clock-sync) timer that falls due must still get its turn.
#include "realDriverTest.h"

namespace cmn::test {
namespace {

using FairnessTest = RealDriverTest;

TEST_F(FairnessTest, ClockSyncExpiryIsNotStarvedByFloodOfRelativeTimers) {
    // Periodic timers of period 0 are due again as soon as each expiry is processed: more of
    // them than the socket holds keep the driver's relative queue due for good.
    // The boundary then falls due almost a second after the flood starts.
    sleepPastWholeSecond();
    RecordingClient flood("flood");
    for (int i = 0; i < 400; ++i) {
        uint32_t timerId = 0;
        ASSERT_TRUE(manager().startPeriodicTimer(timerId, 0, &flood, nullptr, kMs));
    }
    RecordingClient boundary("boundary");
    uint32_t clockSyncId = 0;
    ASSERT_TRUE(manager().startOneShotClockSyncTimer(clockSyncId, 1, 0, &boundary, nullptr));
    EXPECT_TRUE(runUntil([&] { return !boundary.calls.empty(); }, 10000))
        << flood.calls.size() << " relative expiries delivered meanwhile";
    EXPECT_GT(flood.calls.size(), 400u);
}

}  // namespace
}  // namespace cmn::test
