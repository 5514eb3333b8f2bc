// Many threads, each with its own manager on the real driver, start, cancel and expire timers
// at the same time and then end in random order. Run under ThreadSanitizer too.
#include <algorithm>
#include <future>
#include <numeric>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "timerFixture.h"

namespace cmn::test {
namespace {

const int kThreads = 8;

// Runs one thread's timers; returns what went wrong, empty when nothing did.
std::string work() {
    RecordingClient oneShots("oneShots");
    RecordingClient periodics("periodics");
    std::vector<std::pair<uint32_t, long>> expected;  // id, number of calls
    for (uint32_t i = 0; i < 30; ++i) {
        uint32_t timerId = 0;
        manager().startOneShotTimer(timerId, 1 + i % 6, &oneShots, nullptr, kMs);
        if (i % 5 == 0) {
            manager().cancelTimer(timerId, false);
        }
        expected.emplace_back(timerId, i % 5 == 0 ? 0 : 1);
    }
    for (uint32_t i = 0; i < 4; ++i) {
        uint32_t timerId = 0;
        manager().startPeriodicTimer(timerId, 2000000, &periodics, nullptr, kNs);
    }
    std::string problems =
        runUntil([&] { return oneShots.calls.size() >= 24 && periodics.calls.size() >= 12; }, 30000)
            ? ""
            : "not all delivered; ";
    manager().cancelAllTimersForClient(&periodics, false);
    const size_t periodicCalls = periodics.calls.size();
    runUntil([] { return false; }, 20);
    problems += periodics.calls.size() == periodicCalls ? "" : "periodic called after cancel; ";
    const std::vector<uint32_t> ids = oneShots.ids();
    for (const std::pair<uint32_t, long>& timer : expected) {
        const long calls = std::count(ids.begin(), ids.end(), timer.first);
        if (calls != timer.second) {
            problems += std::to_string(timer.first) + " called " + std::to_string(calls) + "; ";
        }
    }
    return problems;
}

TEST(ThreadsTest, ManagersOfManyThreadsWorkAtOnceAndEndInAnyOrder) {
    ScopedLogCapture log;  // the zombie timeouts' info lines
    std::vector<std::string> paths(kThreads);
    std::vector<std::string> problems(kThreads);
    std::vector<std::promise<void>> worked(kThreads);
    std::vector<std::promise<void>> leave(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t, mayLeave = leave[t].get_future()] {
            paths[t] = manager().getCbAddress().sun_path;
            problems[t] = work();
            worked[t].set_value();
            mayLeave.wait();
        });
    }
    std::vector<int> order(kThreads);
    std::iota(order.begin(), order.end(), 0);
    std::shuffle(order.begin(), order.end(), std::mt19937(std::random_device()()));
    for (std::promise<void>& done : worked) {
        done.get_future().wait();
    }
    for (int t : order) {
        leave[t].set_value();
        threads[t].join();
        EXPECT_FALSE(pathExists(paths[t])) << t;
        EXPECT_EQ("", problems[t]) << t;
    }
    EXPECT_EQ(static_cast<size_t>(kThreads),
              std::set<std::string>(paths.begin(), paths.end()).size());
}

}  // namespace
}  // namespace cmn::test
