// Shared pieces of the timer service's tests: a recording client, user data that counts its
// deletions, stepping the dispatcher loop, the manager's counters and entries as
// "tmgr-show-state" prints them, and a fixture that installs the fake driver and the log capture
// around the calling thread's manager.
//
// Thread: everything here acts on the calling thread's manager and dispatcher loop.
#ifndef TESTS_SUPPORT_TIMERFIXTURE_H
#define TESTS_SUPPORT_TIMERFIXTURE_H

#include <gtest/gtest.h>
#include <stdio.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "commonDispatcher.h"
#include "commonTimerManager.h"
#include "fakePtimers.h"
#include "logCapture.h"
#include "tempPath.h"

namespace cmn {
namespace test {

typedef TimerManager::TimerGranularity Unit;
const Unit kMs = TimerManager::millisecondGranularity_c;
const Unit kNs = TimerManager::nanosecondGranularity_c;

// Runs rounds of the calling thread's loop until `done` holds or budgetMs has passed. Returns
// whether `done` held. The budget is a "never happened" limit, not a timing assertion.
inline bool runUntil(const std::function<bool()>& done, int budgetMs) {
    std::chrono::steady_clock::time_point deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(budgetMs);
    while (!done() && std::chrono::steady_clock::now() < deadline) {
        SingletonHolder<Dispatcher>::getInstance().listenOnce(10);
    }
    return done();
}

// Runs rounds without waiting until one makes no callback; returns the callbacks made.
inline int drainReady() {
    Dispatcher& dispatcher = SingletonHolder<Dispatcher>::getInstance();
    int total = 0;
    for (int made = dispatcher.listenOnce(0); made > 0; made = dispatcher.listenOnce(0)) {
        total += made;
    }
    return total;
}

// Records every expiry; onExpiry (when set) runs inside the callback.
class RecordingClient : public PATimerClient {
public:
    struct Call {
        uint32_t timerId;
        PAUserData* userData_p;
    };
    explicit RecordingClient(const std::string& name = "client") : name_m(name) {}
    bool timerExpired(uint32_t timerId, PAUserData* userData_p) override {
        calls.push_back(Call{timerId, userData_p});
        if (onExpiry) {
            onExpiry(timerId);
        }
        return true;
    }
    std::string getClientName() const override { return name_m; }
    std::vector<uint32_t> ids() const {
        std::vector<uint32_t> result;
        for (const Call& call : calls) {
            result.push_back(call.timerId);
        }
        return result;
    }

    std::vector<Call> calls;
    std::function<void(uint32_t)> onExpiry;

private:
    std::string name_m;
};

// Adds one to *deletions_p when deleted.
class CountedUserData : public PAUserData {
public:
    explicit CountedUserData(int* deletions_p) : deletions_mp(deletions_p) {}
    ~CountedUserData() override { ++*deletions_mp; }

private:
    int* deletions_mp;
};

inline TimerManager& manager() { return SingletonPerThread<TimerManager>::getInstance(); }

inline void setManagerLevel(DebugLogLevelType level) {
    SingletonHolder<DebugLogger>::getInstance().setModuleDebugLevel(
        const_cast<DbgModuleDescriptor*>(manager().getDbgModuleDescriptor()), level);
}

// Runs a command line through the process's command server; returns the response text.
inline std::string runCommand(const std::string& line, bool* result_p = nullptr) {
    std::string out;
    bool result = SingletonHolder<mdf::Server>::getInstance().executeCommand(line, out);
    if (result_p != nullptr) {
        *result_p = result;
    }
    return out;
}

// The counters of "tmgr-show-state"; all -1 when the text cannot be read.
struct ManagerCounters {
    long totalUsers = -1;
    long currentEntries = -1;
    long timeoutCount = -1;
    long zombieTimeouts = -1;
};
inline ManagerCounters counters() {
    std::string text = runCommand("tmgr-show-state");
    ManagerCounters result;
    size_t pos = text.find("Total Users: ");
    sscanf(text.c_str() + (pos == std::string::npos ? text.size() : pos),
           "Total Users: %ld; Current Entries: %ld;\nTimeout Count: %ld Zombie Timeouts: %ld;",
           &result.totalUsers, &result.currentEntries, &result.timeoutCount,
           &result.zombieTimeouts);
    return result;
}

// The two state lines of the entry `timerId` in "tmgr-show-state"; empty when it is absent.
inline std::string entryState(uint32_t timerId) {
    std::string text = runCommand("tmgr-show-state");
    size_t begin = text.find("\n[" + std::to_string(timerId) + "] ");
    if (begin == std::string::npos) {
        return std::string();
    }
    size_t secondEnd = text.find('\n', text.find('\n', begin + 1) + 1);
    return text.substr(begin + 1, secondEnd - begin);
}

// The fake driver and log capture around the thread's manager, at level debug. TearDown
// destroys the manager and checks that its socket file went with it.
class TimerFixture : public ::testing::Test {
protected:
    void SetUp() override { setManagerLevel(DBGLEVEL_DEBUG); }
    void TearDown() override {
        SingletonPerThread<TimerManager>::deleteInstance();
        EXPECT_FALSE(pathExists(socketPath_m)) << socketPath_m;
    }

    uint32_t startOneShot(uint32_t period, PATimerClient* client_p,
                          PAUserData* userData_p = nullptr, Unit unit = kMs) {
        uint32_t timerId = 0;
        EXPECT_TRUE(manager().startOneShotTimer(timerId, period, client_p, userData_p, unit));
        return timerId;
    }
    uint32_t startPeriodic(uint32_t period, PATimerClient* client_p,
                           PAUserData* userData_p = nullptr, Unit unit = kMs) {
        uint32_t timerId = 0;
        EXPECT_TRUE(manager().startPeriodicTimer(timerId, period, client_p, userData_p, unit));
        return timerId;
    }
    // Fires the timer on the fake driver and reads the datagram; false when it was not armed.
    bool fireAndDeliver(uint32_t timerId) { return fake.fireTimer(timerId) && drainReady() > 0; }
    // One round of the loop that does not wait (use while timers are disabled: the socket
    // then stays readable and drainReady would not return).
    int stepOnce() { return SingletonHolder<Dispatcher>::getInstance().listenOnce(0); }

    FakePtimers fake;
    ScopedLogCapture log;
    std::string socketPath_m = callbackSocketPathOfThisThread();
};

}  // namespace test
}  // namespace cmn

#endif  // TESTS_SUPPORT_TIMERFIXTURE_H
