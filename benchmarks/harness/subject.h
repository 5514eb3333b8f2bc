// What the harness measures: one timer implementation behind a common face (a "subject"), and
// the log its expiries are recorded in.
//
// Each subject arms timers identified by a dense index and runs its own loop on the calling
// thread; every expiry ends in ExpiryLog::record(index) on that thread. The subjects are the
// library (through its public interface), the floor (benchmarks/floor), and the peers a user
// might pick instead: libuv, libevent and Boost.Asio, when they were found at build time.
//
// Ownership: the caller owns the subject; a subject owns its timers. Thread: a subject is
// made, used and destroyed on one thread; only stop() may come from another.
#ifndef BENCHMARKS_HARNESS_SUBJECT_H
#define BENCHMARKS_HARNESS_SUBJECT_H

#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

#include "floorPath.h"

namespace bench {

// When each timer first expired, how many expiries came in all and, for periodic timers of one
// period, how late each expiry came after the previous one of its timer plus the period (the
// drift a re-arm on delivery adds). Filled by the loop thread.
class ExpiryLog {
public:
    // Forgets everything and makes room for `timers` indexes, so that recording never
    // allocates. A periodNs above 0 also measures the drift of timers of that period.
    void reset(size_t timers, int64_t periodNs = 0) {
        firstNs_m.assign(timers, 0);
        lastNs_m.assign(periodNs > 0 ? timers : 0, 0);
        periodNs_m = periodNs;
        count_m = 0;
        driftSumNs_m = 0;
        driftCount_m = 0;
    }
    void record(uint32_t index) {
        ++count_m;
        if (index >= firstNs_m.size()) {
            return;
        }
        if (periodNs_m > 0) {
            recordPeriodic(index);
        } else if (firstNs_m[index] == 0) {
            firstNs_m[index] = nowNs();
        }
    }
    uint64_t count() const { return count_m; }
    const std::vector<int64_t>& firstNs() const { return firstNs_m; }
    // Mean drift per expiry in µs; 0 before any timer expired twice.
    double meanDriftUs() const {
        return driftCount_m == 0
                   ? 0
                   : static_cast<double>(driftSumNs_m) / 1000.0 / static_cast<double>(driftCount_m);
    }

private:
    void recordPeriodic(uint32_t index) {
        const int64_t now = nowNs();
        if (lastNs_m[index] != 0) {
            driftSumNs_m += now - lastNs_m[index] - periodNs_m;
            ++driftCount_m;
        } else {
            firstNs_m[index] = now;
        }
        lastNs_m[index] = now;
    }

    std::vector<int64_t> firstNs_m;
    std::vector<int64_t> lastNs_m;
    int64_t periodNs_m = 0;
    uint64_t count_m = 0;
    int64_t driftSumNs_m = 0;
    uint64_t driftCount_m = 0;
};

// The calling thread's log: every loop thread records into its own.
ExpiryLog& expiryLog();

class Subject {
public:
    virtual ~Subject() {}

    // Makes room for `timers` indexes in the subject's own bookkeeping (the harness's, not the
    // implementation's), so that it does not count in the memory figure.
    virtual void prepare(size_t timers) = 0;
    // Arms timer `index` for one expiry at or after deadlineNs (CLOCK_MONOTONIC). False when
    // the implementation refused.
    virtual bool startOneShotAt(uint32_t index, int64_t deadlineNs) = 0;
    // Arms timer `index` to expire every periodNs, each period counted from the delivery of
    // the previous expiry (as the library re-arms).
    virtual bool startPeriodic(uint32_t index, int64_t periodNs) = 0;
    // Runs the loop on the calling thread until done() holds (checked after every round) or
    // CLOCK_MONOTONIC passes untilNs.
    virtual void runUntil(const std::function<bool()>& done, int64_t untilNs) = 0;
    // Runs the loop until stop() is called from another thread.
    virtual void runUntilStopped() = 0;
    virtual void stop() = 0;
};

// The subjects built into this harness, the floor first.
std::vector<std::string> subjectNames();
// A new subject made on the calling thread; null for a name not built in.
Subject* makeSubject(const std::string& name);

// The factories, one per source file; the peers' return null when their package was missing.
Subject* makeLibrarySubject();
Subject* makeFloorSubject();
Subject* makeLibuvSubject();
Subject* makeLibeventSubject();
Subject* makeAsioSubject();

// The milliseconds left until untilNs, rounded up; 0 once it has passed. A round of a loop
// waits at most this long, so that runUntil() returns in time.
inline int remainingMs(int64_t untilNs) {
    int64_t left = untilNs - nowNs();
    return left <= 0 ? 0 : static_cast<int>((left + 999999) / 1000000);
}

}  // namespace bench

#endif  // BENCHMARKS_HARNESS_SUBJECT_H
