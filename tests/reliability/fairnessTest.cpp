// Back-pressure across the driver's two clocks: while relative timers keep the callback socket
// full, an absolute (clock-sync) timer that falls due must still get its turn.
#include "realDriverTest.h"

namespace cmn::test {
namespace {

using FairnessTest = RealDriverTest;

TEST_F(FairnessTest, ClockSyncExpiryIsNotStarvedByFloodOfRelativeTimers) {
    // Periodic timers of period 0 are due again as soon as each expiry is processed: more of
    // them than the socket holds keep the driver's relative queue due for good. The flood runs
    // before the clock-sync timer is started, and its boundary falls due within a second.
    const uint32_t kFlood = 1000;
    RecordingClient flood("flood");
    for (uint32_t i = 0; i < kFlood; ++i) {
        uint32_t timerId = 0;
        ASSERT_TRUE(manager().startPeriodicTimer(timerId, 0, &flood, nullptr, kMs));
    }
    ASSERT_TRUE(runUntil([&] { return flood.calls.size() > 2 * kFlood; }, kNeverMs));
    RecordingClient boundary("boundary");
    uint32_t clockSyncId = 0;
    ASSERT_TRUE(manager().startOneShotClockSyncTimer(clockSyncId, 1, 0, &boundary, nullptr));
    const size_t floodBefore = flood.calls.size();
    EXPECT_TRUE(runUntil([&] { return !boundary.calls.empty(); }, kNeverMs))
        << flood.calls.size() - floodBefore << " relative expiries delivered meanwhile";
}

}  // namespace
}  // namespace cmn::test
