// Exhaustion and memory on the real driver: all 65,536 ids live in one manager, and a million
// start/expire cycles leave the process's resident memory where it was after a warm-up.
#include <unistd.h>

#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "realDriverTest.h"

namespace cmn::test {
namespace {

const uint32_t kAllIds = 65536;
const uint32_t kFarMs = 3600000;

long residentBytes() {
    long pages = -1;
    long resident = -1;
    std::ifstream("/proc/self/statm") >> pages >> resident;
    return resident * sysconf(_SC_PAGESIZE);
}

class ExhaustionTest : public RealDriverTest {
protected:
    // Starts `count` one-shot timers that expire at once and waits for all their expiries, in
    // batches that the callback socket holds; counts them in `expiries_m`. The log capture is
    // emptied after each batch, so that what it keeps does not count as the library's memory.
    void runCycles(long count) {
        for (long done = 0; done < count; done += 250) {
            for (long i = 0; i < 250; ++i) {
                uint32_t timerId = 0;
                ASSERT_TRUE(manager().startOneShotTimer(timerId, 0, &client_m, nullptr, kMs));
            }
            ASSERT_TRUE(runUntil([&] { return client_m.calls.size() == 250u; }, kNeverMs));
            expiries_m += 250;
            client_m.calls.clear();
            log_m.clear();
        }
    }
    RecordingClient client_m;
    long expiries_m = 0;
};

TEST_F(ExhaustionTest, FullTableRefusesNextStartAndIdsComeBackAfterRemovals) {
    for (uint32_t i = 0; i < kAllIds; ++i) {
        uint32_t timerId = 0;
        ASSERT_TRUE(manager().startOneShotTimer(timerId, kFarMs, &client_m, nullptr, kMs)) << i;
    }
    ASSERT_EQ(kAllIds, counters().currentEntries);
    const std::string before = runCommand("tmgr-show-state");
    log_m.clear();
    uint32_t refused = 0;
    EXPECT_FALSE(manager().startPeriodicTimer(refused, 10, &client_m, nullptr, kMs));
    EXPECT_EQ((std::vector<std::string>{"Duplicate entry attempted " + std::to_string(refused),
                                        "registerSubscriberToTimer failed."}),
              log_m.texts(DBGLEVEL_CRITICAL));
    EXPECT_EQ(before, runCommand("tmgr-show-state"));

    std::set<uint32_t> removed;
    for (uint32_t id = 7; id < kAllIds; id += 655) {
        ASSERT_TRUE(manager().changeTimerPeriod(id, 0, kMs));
        removed.insert(id);
    }
    ASSERT_TRUE(runUntil(
        [&] { return counters().currentEntries == static_cast<long>(kAllIds - removed.size()); },
        kNeverMs));
    std::set<uint32_t> returned;
    for (size_t i = 0; i < removed.size(); ++i) {
        uint32_t timerId = 0;
        ASSERT_TRUE(manager().startOneShotTimer(timerId, kFarMs, &client_m, nullptr, kMs));
        returned.insert(timerId);
    }
    EXPECT_EQ(removed, returned);
    EXPECT_EQ(removed.size(), client_m.calls.size());
}

TEST_F(ExhaustionTest, MillionStartExpireCyclesKeepMemoryFlat) {
    const long warmUp = 50000;
#ifdef __SANITIZE_ADDRESS__  // set by the compiler under -fsanitize=address
    // The sanitizer holds freed memory back, so the resident size says nothing here; a shorter
    // run still lets it find leaks and misuse.
    const long soak = 50000;
#else
    const long soak = 950000;
#endif
    runCycles(warmUp);
    const long before = residentBytes();
    runCycles(soak);
    EXPECT_EQ(warmUp + soak, expiries_m);
    EXPECT_EQ(warmUp + soak, counters().totalUsers);
    EXPECT_EQ(0, counters().currentEntries);
    // Each timer was started once and never cancelled or restarted: no expiry of it was stale.
    EXPECT_EQ(0, counters().zombieTimeouts);
    ASSERT_GT(before, 0);
#ifndef __SANITIZE_ADDRESS__
    // A leak of even 8 bytes a cycle would add more than 7 MiB.
    EXPECT_LT(residentBytes() - before, 4L << 20);
#endif
}

}  // namespace
}  // namespace cmn::test
