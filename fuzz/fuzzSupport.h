// Pieces shared by the fuzzers: a quiet logger, the fake timer driver, a fresh timer manager for
// each input, and bounded stepping of the calling thread's dispatcher loop.
//
// Every fuzzer runs on one thread, which owns the manager and steps its loop. An input leaves
// nothing behind (its manager is destroyed at its end), so a crash replays from its input alone.
#ifndef FUZZ_FUZZSUPPORT_H
#define FUZZ_FUZZSUPPORT_H

#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "commonDispatcher.h"
#include "commonTimerManager.h"
#include "dbgLog.h"
#include "fakePtimers.h"
#include "mdfServer.h"

namespace cmn {
namespace fuzz {

// Ends the run as a crash, which libFuzzer reports with the input that caused it.
[[noreturn]] inline void fail(const char* what) {
    fprintf(stderr, "fuzz invariant broken: %s\n", what);
    abort();
}

inline void check(bool holds, const char* what) {
    if (!holds) {
        fail(what);
    }
}

inline void setLevel(const DbgModuleDescriptor* module_p, DebugLogLevelType level) {
    SingletonHolder<DebugLogger>::getInstance().setModuleDebugLevel(
        const_cast<DbgModuleDescriptor*>(module_p), level);
}

// Once per process: every message goes to a sink that drops it (it is still formatted, so the
// formats meet the fuzzed values).
inline void setUpProcess() {
    static bool done = false;
    if (done) {
        return;
    }
    done = true;
    DebugLogger& logger = SingletonHolder<DebugLogger>::getInstance();
    logger.setSink(
        [](const DbgModuleDescriptor&, DebugLogLevelType, const char*, int, const std::string&) {});
    setLevel(logger.registerModule("mdf::Server"), DBGLEVEL_DEBUG);
}

// The fake driver of the current input: an expiry happens only when the fuzzer fires it, on
// its own thread. A fresh one per input, so its records do not pile up over a long run.
inline test::FakePtimers*& currentFake() {
    static test::FakePtimers* fake_p = nullptr;
    return fake_p;
}

inline test::FakePtimers& fakeDriver() { return *currentFake(); }

inline bool runCommand(const std::string& line, std::string& out_r) {
    return SingletonHolder<mdf::Server>::getInstance().executeCommand(line, out_r);
}

// The thread's manager, made afresh on a fresh fake driver, tracing at level debug, with the
// extra commands added.
inline TimerManager& freshManager() {
    setUpProcess();
    check(currentFake() == nullptr, "the previous input dropped its manager");
    currentFake() = new test::FakePtimers();
    TimerManager& manager_r = SingletonPerThread<TimerManager>::getInstance();
    setLevel(manager_r.getDbgModuleDescriptor(), DBGLEVEL_DEBUG);
    std::string out;
    check(runCommand("tmgr-debug-enable", out), "tmgr-debug-enable runs");
    return manager_r;
}

// Destroys the thread's manager, then the fake driver it ran on.
inline void dropManager() {
    SingletonPerThread<TimerManager>::deleteInstance();
    delete currentFake();
    currentFake() = nullptr;
}

inline int stepLoop() { return SingletonHolder<Dispatcher>::getInstance().listenOnce(0); }

// Rounds without waiting until one makes no callback. Only while timers are enabled: a
// disabled manager leaves its datagrams queued, so its socket never stops being ready.
inline void drainLoop() {
    const int maxRounds = 100000;
    for (int round = 0; round < maxRounds; ++round) {
        if (stepLoop() <= 0) {
            return;
        }
    }
    fail("the loop never ran out of ready descriptors");
}

}  // namespace fuzz
}  // namespace cmn

#endif  // FUZZ_FUZZSUPPORT_H
