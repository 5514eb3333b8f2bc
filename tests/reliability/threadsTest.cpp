// Many threads, each with its own manager on the real driver, start, cancel and expire timers
// at the same time and then end in random order. Run under ThreadSanitizer too.
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "timerFixture.h"

namespace cmn {
namespace test {
namespace {

const int kThreads = 8;
const uint32_t kOneShots = 30;
const uint32_t kPeriodics = 4;
const int kBudgetMs = 30000;

// What one thread saw; read by the main thread after the join.
struct Outcome {
    std::string socketPath;
    bool allDelivered = false;
    int wrongDeliveries = 0;  // cancelled timers called, one-shots not called exactly once
    bool periodicStoppedAfterCancel = false;
};

// Lets the workers go together and then one at a time, in an order the main thread picks.
class Gate {
public:
    void waitFor(int turn) {
        std::unique_lock<std::mutex> lock(mutex_m);
        changed_m.wait(lock,
                       [&] { return open_m.size() > static_cast<size_t>(turn) && open_m[turn]; });
    }
    void open(int turn) {
        std::lock_guard<std::mutex> lock(mutex_m);
        if (open_m.size() <= static_cast<size_t>(turn)) {
            open_m.resize(turn + 1, false);
        }
        open_m[turn] = true;
        changed_m.notify_all();
    }

private:
    std::mutex mutex_m;
    std::condition_variable changed_m;
    std::vector<bool> open_m;
};

void work(Outcome& outcome_r) {
    outcome_r.socketPath = manager().getCbAddress().sun_path;
    RecordingClient oneShots("oneShots");
    RecordingClient periodics("periodics");
    std::vector<uint32_t> cancelled;
    std::vector<uint32_t> expected;
    for (uint32_t i = 0; i < kOneShots; ++i) {
        uint32_t timerId = 0;
        manager().startOneShotTimer(timerId, 1 + i % 6, &oneShots, nullptr, kMs);
        if (i % 5 == 0) {
            manager().cancelTimer(timerId, false);
            cancelled.push_back(timerId);
        } else {
            expected.push_back(timerId);
        }
    }
    for (uint32_t i = 0; i < kPeriodics; ++i) {
        uint32_t timerId = 0;
        manager().startPeriodicTimer(timerId, 2000000, &periodics, nullptr, kNs);
    }
    outcome_r.allDelivered = runUntil(
        [&] { return oneShots.calls.size() >= expected.size() && periodics.calls.size() >= 12; },
        kBudgetMs);
    manager().cancelAllTimersForClient(&periodics, false);
    size_t periodicCalls = periodics.calls.size();
    runUntil([] { return false; }, 20);
    outcome_r.periodicStoppedAfterCancel = periodics.calls.size() == periodicCalls;
    std::vector<uint32_t> ids = oneShots.ids();
    for (uint32_t timerId : expected) {
        outcome_r.wrongDeliveries += std::count(ids.begin(), ids.end(), timerId) != 1 ? 1 : 0;
    }
    for (uint32_t timerId : cancelled) {
        outcome_r.wrongDeliveries += static_cast<int>(std::count(ids.begin(), ids.end(), timerId));
    }
}

TEST(ThreadsTest, ManagersOfManyThreadsWorkAtOnceAndEndInAnyOrder) {
    ScopedLogCapture log;  // the zombie timeouts' info lines
    std::vector<Outcome> outcomes(kThreads);
    std::atomic<int> finished{0};
    Gate start;
    Gate leave;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            start.waitFor(0);
            work(outcomes[t]);
            ++finished;
            leave.waitFor(t);
        });
    }
    start.open(0);
    while (finished.load() < kThreads) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::vector<int> order(kThreads);
    for (int t = 0; t < kThreads; ++t) {
        order[t] = t;
    }
    std::shuffle(order.begin(), order.end(), std::mt19937(std::random_device()()));
    for (int t : order) {
        leave.open(t);
        threads[t].join();
        EXPECT_FALSE(pathExists(outcomes[t].socketPath)) << t;
    }
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_TRUE(outcomes[t].allDelivered) << t;
        EXPECT_EQ(0, outcomes[t].wrongDeliveries) << t;
        EXPECT_TRUE(outcomes[t].periodicStoppedAfterCancel) << t;
    }
    std::vector<std::string> paths;
    for (const Outcome& outcome : outcomes) {
        paths.push_back(outcome.socketPath);
    }
    std::sort(paths.begin(), paths.end());
    EXPECT_EQ(paths.end(), std::unique(paths.begin(), paths.end()));
}

}  // namespace
}  // namespace test
}  // namespace cmn
